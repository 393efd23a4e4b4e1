#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <vector>

#include "base/clock.h"
#include "support/thrcompat.h"
#include "testkit/testkit.h"

namespace {

void *return_arg(void *arg) { return arg; }

struct Gate {
  sema_t sema;
  Gate() { sema_init(&sema, 0, USYNC_THREAD, nullptr); }
  ~Gate() { sema_destroy(&sema); }
};

// Polls `done` until it reaches `want` or `seconds` of clock time pass.
bool reaches(const std::atomic<int> &done, int want, double seconds) {
  double until = clock_monotonic() + seconds;
  while (done.load() < want) {
    if (clock_monotonic() > until) return false;
    clock_sleep(0.001);
  }
  return true;
}

timestruc_t deadline_in(double seconds) {
  double t = clock_now() + seconds;
  timestruc_t ts;
  ts.tv_sec = (time_t)std::floor(t);
  ts.tv_nsec = (long)((t - std::floor(t)) * 1e9);
  return ts;
}

}  // namespace

TEST(ThrCreate, FlagsAndStackArguments) {
  char stack[64];
  struct Case {
    void *stack_base;
    size_t stack_size;
    long flags;
    int result;
  } cases[] = {
      {stack, 0, 0, EINVAL},
      {nullptr, 0, THR_SUSPENDED, ENOTSUP},
      {nullptr, 0, THR_DAEMON, ENOTSUP},
      {nullptr, 0, THR_BOUND | THR_NEW_LWP, 0},
      {stack, sizeof stack, 0, 0},  // the memory is not used, nor a size too small
  };
  for (const Case &c : cases) {
    thread_t t;
    int arg = 7;
    EXPECT_EQ(thr_create(c.stack_base, c.stack_size, return_arg, &arg, c.flags, &t), c.result)
        << c.flags;
    if (c.result != 0) continue;
    thread_t departed;
    void *status = nullptr;
    EXPECT_EQ(thr_join(t, &departed, &status), 0);
    EXPECT_TRUE(pthread_equal(departed, t));
    EXPECT_EQ(status, &arg);
  }
}

TEST(ThrCreate, DetachedThread) {
  struct Arg {
    Gate gate;
    std::atomic<int> done{0};
  } arg;
  thread_t t;
  ASSERT_EQ(thr_create(
                nullptr, 0,
                [](void *p) -> void * {
                  Arg *a = static_cast<Arg *>(p);
                  sema_wait(&a->gate.sema);
                  a->done.store(1);
                  return nullptr;
                },
                &arg, THR_DETACHED, &t),
            0);
  pthread_attr_t attr;
  ASSERT_EQ(pthread_getattr_np(t, &attr), 0);
  int state = -1;
  pthread_attr_getdetachstate(&attr, &state);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(state, PTHREAD_CREATE_DETACHED);
  sema_post(&arg.gate.sema);
  EXPECT_TRUE(reaches(arg.done, 1, 5));  // the thread is done with arg
}

TEST(ThrCompat, SharingTypes) {
  struct Case {
    int type, result, flag;
  } cases[] = {{USYNC_THREAD, 0, PTHREAD_PROCESS_PRIVATE},
               {USYNC_PROCESS, 0, PTHREAD_PROCESS_SHARED},
               {0, EINVAL, -1},
               {3, EINVAL, -1}};
  for (const Case &c : cases) {
    int flag = -1;
    EXPECT_EQ(setpshared(c.type, &flag), c.result) << c.type;
    EXPECT_EQ(flag, c.flag) << c.type;
    mutex_t m;
    cond_t cv;
    sema_t s;
    EXPECT_EQ(mutex_init(&m, c.type, nullptr), c.result) << c.type;
    EXPECT_EQ(cond_init(&cv, c.type, nullptr), c.result) << c.type;
    EXPECT_EQ(sema_init(&s, 1, c.type, nullptr), c.result) << c.type;
    if (c.result != 0) continue;
    EXPECT_EQ(mutex_lock(&m), 0);
    EXPECT_EQ(mutex_trylock(&m), EBUSY);
    EXPECT_EQ(mutex_unlock(&m), 0);
    mutex_destroy(&m);
    cond_destroy(&cv);
    sema_destroy(&s);
  }
}

TEST(ThrCompat, Stubs) {
  thread_t self = thr_self();
  int prio = 5;
  EXPECT_EQ(thr_getprio(self, &prio), 0);
  EXPECT_EQ(prio, 0);
  EXPECT_EQ(thr_suspend(self), ENOSYS);
  EXPECT_EQ(thr_continue(self), ENOSYS);
  thread_key_t key;
  ASSERT_EQ(thr_keycreate(&key, nullptr), 0);
  int x;
  thr_setspecific(key, &x);
  void *v = nullptr;
  EXPECT_EQ(thr_getspecific(key, &v), 0);
  EXPECT_EQ(v, &x);
  pthread_key_delete(key);
}

TEST(Sema, CountsAndTryWait) {
  sema_t s;
  ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
  EXPECT_EQ(sema_trywait(&s), EBUSY);
  EXPECT_EQ(sema_post(&s), 0);
  EXPECT_EQ(sema_post(&s), 0);
  EXPECT_EQ(sema_trywait(&s), 0);
  EXPECT_EQ(sema_wait(&s), 0);
  EXPECT_EQ(sema_trywait(&s), EBUSY);
  sema_destroy(&s);
  ASSERT_EQ(sema_init(&s, 2, USYNC_THREAD, nullptr), 0);
  EXPECT_EQ(sema_trywait(&s), 0);
  EXPECT_EQ(sema_trywait(&s), 0);
  EXPECT_EQ(sema_trywait(&s), EBUSY);
  sema_destroy(&s);
}

// Several posts in a row must release as many waiters: a post that signals only when the
// count was 0 leaves a waiter asleep when the second post comes before the first woken
// waiter has run.
TEST(Sema, EveryPostWakesAWaiter) {
  constexpr int kWaiters = 4, kRounds = 40;
  for (int round = 0; round < kRounds; round++) {
    sema_t s;
    ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
    std::atomic<int> started{0}, done{0};
    struct Arg {
      sema_t *s;
      std::atomic<int> *started, *done;
    } arg{&s, &started, &done};
    auto body = [](void *p) -> void * {
      Arg *a = static_cast<Arg *>(p);
      a->started->fetch_add(1);
      sema_wait(a->s);
      a->done->fetch_add(1);
      return nullptr;
    };
    std::vector<thread_t> threads(kWaiters);
    for (thread_t &t : threads) ASSERT_EQ(thr_create(nullptr, 0, body, &arg, 0, &t), 0);
    ASSERT_TRUE(reaches(started, kWaiters, 5));
    clock_sleep(0.002);  // let them reach the wait
    for (int i = 0; i < kWaiters; i++) sema_post(&s);
    bool all = reaches(done, kWaiters, 2);
    EXPECT_TRUE(all) << "round " << round << ": " << done.load() << " of " << kWaiters << " woke";
    // Free any waiter left asleep, whatever sema_post does.
    while (done.load() < kWaiters) {
      mutex_lock(&s.mutex);
      s.count++;
      cond_broadcast(&s.cond);
      mutex_unlock(&s.mutex);
      clock_sleep(0.01);
    }
    for (thread_t t : threads) thr_join(t, nullptr, nullptr);
    sema_destroy(&s);
    if (!all) break;
  }
}

TEST(Sema, CancelledWaiterReleasesTheMutex) {
  sema_t s;
  ASSERT_EQ(sema_init(&s, 0, USYNC_THREAD, nullptr), 0);
  std::atomic<int> started{0};
  struct Arg {
    sema_t *s;
    std::atomic<int> *started;
  } arg{&s, &started};
  thread_t t;
  ASSERT_EQ(thr_create(
                nullptr, 0,
                [](void *p) -> void * {
                  Arg *a = static_cast<Arg *>(p);
                  a->started->store(1);
                  sema_wait(a->s);
                  return nullptr;
                },
                &arg, 0, &t),
            0);
  ASSERT_TRUE(reaches(started, 1, 5));
  clock_sleep(0.005);
  ASSERT_EQ(pthread_cancel(t), 0);
  void *status = nullptr;
  ASSERT_EQ(thr_join(t, nullptr, &status), 0);
  EXPECT_EQ(status, PTHREAD_CANCELED);
  EXPECT_EQ(mutex_trylock(&s.mutex), 0) << "the cancelled waiter left the mutex locked";
  mutex_unlock(&s.mutex);
  EXPECT_EQ(sema_post(&s), 0);
  EXPECT_EQ(sema_trywait(&s), 0);
  sema_destroy(&s);
}

TEST(CondTimedwait, TimesOutOnTheClockSeamAndWakesWhenSignalled) {
  ClockScale fast(0.01);
  mutex_t m;
  cond_t cv;
  ASSERT_EQ(mutex_init(&m, USYNC_THREAD, nullptr), 0);
  ASSERT_EQ(cond_init(&cv, USYNC_THREAD, nullptr), 0);

  double start = clock_monotonic();
  mutex_lock(&m);
  timestruc_t until = deadline_in(2.0);
  int r;
  do r = cond_timedwait(&cv, &m, &until);
  while (r == 0);
  mutex_unlock(&m);
  double waited = clock_monotonic() - start;
  EXPECT_EQ(r, ETIMEDOUT);
  EXPECT_GE(waited, 1.9);
  EXPECT_LT(waited, 60.0);

  struct Arg {
    mutex_t *m;
    cond_t *cv;
    bool flag;
  } arg{&m, &cv, false};
  thread_t t;
  ASSERT_EQ(thr_create(
                nullptr, 0,
                [](void *p) -> void * {
                  Arg *a = static_cast<Arg *>(p);
                  clock_sleep(0.5);
                  mutex_lock(a->m);
                  a->flag = true;
                  cond_signal(a->cv);
                  mutex_unlock(a->m);
                  return nullptr;
                },
                &arg, 0, &t),
            0);
  mutex_lock(&m);
  until = deadline_in(300.0);
  r = 0;
  while (!arg.flag && r == 0) r = cond_timedwait(&cv, &m, &until);
  mutex_unlock(&m);
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(arg.flag);
  thr_join(t, nullptr, nullptr);
  cond_destroy(&cv);
  mutex_destroy(&m);
}

// A process-shared semaphore in shared memory wakes a waiter in another process.
TEST(Sema, ProcessSharedAcrossFork) {
  void *mem =
      mmap(nullptr, sizeof(sema_t), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  sema_t *s = static_cast<sema_t *>(mem);
  ASSERT_EQ(sema_init(s, 0, USYNC_PROCESS, nullptr), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    sema_wait(s);
    _exit(0);
  }
  clock_sleep(0.02);  // let the child reach the wait
  sema_post(s);
  int status = -1;
  pid_t got = 0;
  double until = clock_monotonic() + 10;
  while ((got = waitpid(pid, &status, WNOHANG)) == 0 && clock_monotonic() < until)
    clock_sleep(0.005);
  if (got == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  EXPECT_EQ(got, pid) << "the child was never woken";
  sema_destroy(s);
  munmap(mem, sizeof(sema_t));
}
