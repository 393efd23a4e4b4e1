// thrcompat.cpp - the older thread library's calls over POSIX threads.
#include "support/thrcompat.h"

#include <cerrno>
#include <climits>

#include "base/clock.h"
#include "base/elog.h"
#include "base/threadstart.h"

namespace {

void unlock_mutex(void *mutex) { pthread_mutex_unlock(static_cast<pthread_mutex_t *>(mutex)); }

}  // namespace

int thr_create(void *stack_base, size_t stack_size, void *(*start)(void *), void *arg, long flags,
               thread_t *new_thread) {
  if (stack_base && stack_size == 0) return EINVAL;
  if (flags & (THR_SUSPENDED | THR_DAEMON)) return ENOTSUP;
  thread_t tid;
  int r;
  // A caller's stack memory is never used; a size large enough for a thread is. Any other
  // thread gets the ring workers' size, never the C library's default of several megabytes.
  if (stack_size < (size_t)PTHREAD_STACK_MIN) {
    r = threadstart_create(&tid, THREAD_RING_WORKER, start, arg,
                           (flags & THR_DETACHED) ? THREADSTART_DETACHED : 0);
  } else {
    pthread_attr_t attr;
    r = pthread_attr_init(&attr);
    if (r != 0) return r;
    r = pthread_attr_setstacksize(&attr, stack_size);
    if (r == 0 && (flags & THR_DETACHED))
      r = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (r == 0) r = pthread_create(&tid, &attr, start, arg);
    pthread_attr_destroy(&attr);
  }
  if (r == 0 && new_thread) *new_thread = tid;
  return r;
}

int thr_join(thread_t thread, thread_t *departed, void **status) {
  int r = pthread_join(thread, status);
  if (departed) *departed = thread;
  return r;
}

int thr_setprio(thread_t, int) { return 0; }

int thr_getprio(thread_t, int *priority) {
  if (priority) *priority = 0;
  return 0;
}

int thr_setconcurrency(int) { return 0; }
int thr_getconcurrency(void) { return 0; }
int thr_suspend(thread_t) { return ENOSYS; }
int thr_continue(thread_t) { return ENOSYS; }

int thr_getspecific(thread_key_t key, void **value) {
  if (value) *value = pthread_getspecific(key);
  return 0;
}

int setpshared(int type, int *flag) {
  switch (type) {
    case USYNC_THREAD:
      *flag = PTHREAD_PROCESS_PRIVATE;
      return 0;
    case USYNC_PROCESS:
      *flag = PTHREAD_PROCESS_SHARED;
      return 0;
    default:
      return EINVAL;
  }
}

int mutex_init(mutex_t *mutex, int type, void *) {
  int pshared;
  if (setpshared(type, &pshared) != 0) return EINVAL;
  pthread_mutexattr_t attr;
  int r = pthread_mutexattr_init(&attr);
  if (r != 0) return r;
  r = pthread_mutexattr_setpshared(&attr, pshared);
  if (r == 0) r = pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
  return r;
}

int cond_init(cond_t *cond, int type, void *) {
  pthread_condattr_t attr;
  int r = pthread_condattr_init(&attr);
  if (r != 0) {
    elog_log(0, "cond_init: pthread_condattr_init fails: %d\n", r);
    return r;
  }
  int pshared;
  if (setpshared(type, &pshared) != 0) {
    pthread_condattr_destroy(&attr);
    return EINVAL;
  }
  r = pthread_condattr_setpshared(&attr, pshared);
  if (r == 0) r = pthread_cond_init(cond, &attr);
  pthread_condattr_destroy(&attr);
  return r;
}

int cond_timedwait(cond_t *cond, mutex_t *mutex, const timestruc_t *abstime) {
  // The deadline is clock-seam time; the wait itself is on the real clock, for the
  // real length of what remains.
  double deadline = (double)abstime->tv_sec + (double)abstime->tv_nsec / 1e9;
  timespec until = clock_realtime_after(clock_real_seconds(deadline - clock_now()));
  return pthread_cond_timedwait(cond, mutex, &until);
}

int sema_init(sema_t *sema, unsigned count, int type, void *) {
  int pshared;
  if (setpshared(type, &pshared) != 0) return EINVAL;
  pthread_mutexattr_t ma;
  pthread_condattr_t ca;
  pthread_mutexattr_init(&ma);
  pthread_condattr_init(&ca);
  pthread_mutexattr_setpshared(&ma, pshared);
  pthread_condattr_setpshared(&ca, pshared);
  int r = pthread_mutex_init(&sema->mutex, &ma);
  if (r == 0) {
    r = pthread_cond_init(&sema->cond, &ca);
    if (r != 0) pthread_mutex_destroy(&sema->mutex);
  }
  pthread_mutexattr_destroy(&ma);
  pthread_condattr_destroy(&ca);
  if (r == 0) sema->count = count;
  return r;
}

int sema_destroy(sema_t *sema) {
  pthread_mutex_destroy(&sema->mutex);
  pthread_cond_destroy(&sema->cond);
  return 0;
}

int sema_wait(sema_t *sema) {
  pthread_mutex_lock(&sema->mutex);
  pthread_cleanup_push(unlock_mutex, &sema->mutex);
  while (sema->count == 0) pthread_cond_wait(&sema->cond, &sema->mutex);
  sema->count--;
  pthread_cleanup_pop(1);
  return 0;
}

int sema_trywait(sema_t *sema) {
  pthread_mutex_lock(&sema->mutex);
  int r = EBUSY;
  if (sema->count > 0) {
    sema->count--;
    r = 0;
  }
  pthread_mutex_unlock(&sema->mutex);
  return r;
}

int sema_post(sema_t *sema) {
  // Every post wakes a waiter: signalling only on a count of 0 loses a wake-up when two
  // posts come before the first woken waiter runs.
  pthread_mutex_lock(&sema->mutex);
  sema->count++;
  pthread_cond_signal(&sema->cond);
  pthread_mutex_unlock(&sema->mutex);
  return 0;
}
