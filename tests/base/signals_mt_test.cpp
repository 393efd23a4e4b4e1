// Signal names and the dispatch of the shutdown signals to the program's handler.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/signals.h"
#include "testkit/testkit.h"

TEST(Signals, BysigNamesEveryClassicSignal) {
  // The C library's own abbreviations and descriptions are the reference; SIGIO is
  // the name kept for the number the C library calls POLL.
  for (int sig = 1; sig < 32; sig++) {
    SCOPED_TRACE(sig);
    const Signal_info *s = signal_bysig(sig);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->sig, sig);
    std::string abbrev = sigabbrev_np(sig);
    EXPECT_EQ(s->name, sig == SIGIO ? std::string("SIGIO") : "SIG" + abbrev);
    EXPECT_STREQ(s->description, sigdescr_np(sig));
  }
  const int unknown[] = {0, -1, -15, 32, SIGRTMIN, SIGRTMAX, 1000};
  for (int sig : unknown) EXPECT_EQ(signal_bysig(sig), nullptr) << sig;
}

namespace {

// What the program's handler saw, in order, with the thread it ran on.
std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<int> g_seen;
std::vector<std::thread::id> g_threads;
std::string g_tag;

void record(int sig, const char *tag) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seen.push_back(sig);
  g_threads.push_back(std::this_thread::get_id());
  g_tag = tag;
  g_cond.notify_all();
}
void handler_a(int sig) { record(sig, "a"); }
void handler_b(int sig) { record(sig, "b"); }

void forget() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_seen.clear();
  g_threads.clear();
  g_tag.clear();
}

// Waits (up to 10 s of clock time) until the handler has seen n signals.
bool wait_seen(size_t n) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_cond.wait_for(lock, std::chrono::duration<double>(clock_real_seconds(10.0)),
                         [n] { return g_seen.size() >= n; });
}

std::vector<int> seen() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_seen;
}

}  // namespace

TEST(Signals, SetupRefusesNoHandler) {
  ElogCapture cap;
  EXPECT_EQ(setup_signal_handlers(nullptr), -1);
  elog_clear_register(1);
  EXPECT_TRUE(cap.contains("setup_signal_handlers: no handler"));
}

TEST(Signals, ShutdownSignalsReachTheHandlerOnAnotherThread) {
  ASSERT_EQ(setup_signal_handlers(handler_a), 0);
  forget();
  const int sigs[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};
  size_t n = 0;
  for (int sig : sigs) {
    SCOPED_TRACE(sig);
    // raise() delivers to this thread; kill() to whichever thread the system picks.
    ASSERT_EQ(raise(sig), 0);
    ASSERT_TRUE(wait_seen(++n));
    ASSERT_EQ(kill(getpid(), sig), 0);
    ASSERT_TRUE(wait_seen(++n));
  }
  std::vector<int> want;
  for (int sig : sigs) want.insert(want.end(), {sig, sig});
  EXPECT_EQ(seen(), want);
  std::lock_guard<std::mutex> lock(g_mutex);
  // The handler runs on the dispatch thread, never inside the interrupted one.
  for (auto id : g_threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST(Signals, LaterSetupReplacesTheHandler) {
  ASSERT_EQ(setup_signal_handlers(handler_a), 0);
  ASSERT_EQ(setup_signal_handlers(handler_b), 0);
  forget();
  ASSERT_EQ(raise(SIGTERM), 0);
  ASSERT_TRUE(wait_seen(1));
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_EQ(g_tag, "b");
  EXPECT_EQ(g_seen.size(), 1u);
}

#if !defined(__SANITIZE_THREAD__)
// ThreadSanitizer holds a signal for a thread blocked in read() until the read returns,
// so under it the handler would never run here.
TEST(Signals, InterruptedReadIsRestarted) {
  // A thread blocked in read() takes the signal; with restart it goes on waiting and
  // gets the byte written afterwards instead of failing with EINTR.
  ASSERT_EQ(setup_signal_handlers(handler_a), 0);
  forget();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::atomic<int> started{0};
  ssize_t got = -9;
  int read_errno = 0;
  char byte = 0;
  std::thread reader([&] {
    started = 1;
    got = read(fds[0], &byte, 1);
    read_errno = errno;
  });
  while (started.load() == 0) std::this_thread::yield();
  clock_sleep(0.05);
  EXPECT_EQ(pthread_kill(reader.native_handle(), SIGHUP), 0);
  EXPECT_TRUE(wait_seen(1));
  clock_sleep(0.05);
  EXPECT_EQ(write(fds[1], "x", 1), 1);
  reader.join();
  EXPECT_EQ(got, 1) << strerror(read_errno);
  EXPECT_EQ(byte, 'x');
  close(fds[0]);
  close(fds[1]);
}
#endif

TEST(Signals, ForkedChildKeepsTheDefaultAction) {
  // A signal sent to a child must end the child and must not reach the parent's
  // handler through the pipe they share.
  ASSERT_EQ(setup_signal_handlers(handler_a), 0);
  forget();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a child the signal failed to end dies by SIGALRM instead of hanging
    for (;;) clock_sleep(1.0);
  }
  ASSERT_EQ(kill(child, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  // Bytes are handled in order: had the child written one, it would come first.
  ASSERT_EQ(raise(SIGHUP), 0);
  ASSERT_TRUE(wait_seen(1));
  EXPECT_EQ(seen(), std::vector<int>{SIGHUP});
}

#if !defined(__SANITIZE_THREAD__)
// ThreadSanitizer does not support starting threads in the child of a threaded
// process, which is what this case does.
TEST(Signals, ChildThatSetsUpGetsItsOwnDispatch) {
  // User-mode qemu (the 32-bit ARM test runs) aborts itself when the child of a
  // threaded process starts a thread; the process then shows as qemu in /proc.
  if (read_file("/proc/self/status").find("Name:\tqemu-") != std::string::npos)
    GTEST_SKIP() << "thread start in a forked child is not supported under qemu-user";
  ASSERT_EQ(setup_signal_handlers(handler_a), 0);
  forget();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);
    if (setup_signal_handlers([](int sig) { _exit(100 + sig); }) != 0) _exit(1);
    raise(SIGQUIT);
    for (;;) clock_sleep(1.0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 100 + SIGQUIT);
  ASSERT_EQ(raise(SIGINT), 0);
  ASSERT_TRUE(wait_seen(1));
  EXPECT_EQ(seen(), std::vector<int>{SIGINT});
}
#endif
