// fdwait on pipes, with writers and signals from other threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/fdwait.h"
#include "testkit/testkit.h"

namespace {

struct Pipe {
  int rd = -1, wr = -1;
  Pipe() {
    int fds[2];
    if (pipe(fds) == 0) {
      rd = fds[0];
      wr = fds[1];
    }
  }
  ~Pipe() {
    if (rd >= 0) close(rd);
    if (wr >= 0) close(wr);
  }
  void close_writer() {
    close(wr);
    wr = -1;
  }
};

std::atomic<int> g_signals{0};
void on_signal(int) { g_signals++; }

// Catches SIGUSR1 without SA_RESTART while it lives, so a blocked poll sees EINTR.
class SignalCatcher {
 public:
  SignalCatcher() {
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGUSR1, &sa, &old_);
  }
  ~SignalCatcher() { sigaction(SIGUSR1, &old_, nullptr); }

 private:
  struct sigaction old_;
};

}  // namespace

TEST(Fdwait, PipeStates) {
  ClockScale scale(0.2);
  struct Case {
    const char *name;
    bool write_byte;
    bool close_writer;
    int ms;
    int result;
    double min_wait;  // clock seconds the call must at least take
  } cases[] = {
      {"empty pipe times out", false, false, 100, 0, 0.1},
      {"empty pipe, no wait", false, false, 0, 0, 0},
      {"a byte waiting", true, false, 1000, 1, 0},
      {"a byte waiting, no limit", true, false, -1, 1, 0},
      {"writer closed", false, true, 1000, 1, 0},
  };
  for (const Case &c : cases) {
    Pipe p;
    ASSERT_GE(p.rd, 0);
    if (c.write_byte) {
      ASSERT_EQ(write(p.wr, "x", 1), 1);
    }
    if (c.close_writer) p.close_writer();
    double t0 = clock_monotonic();
    EXPECT_EQ(fdwait(p.rd, c.ms), c.result) << c.name;
    double took = clock_monotonic() - t0;
    EXPECT_GE(took, c.min_wait * 0.99) << c.name;
    if (c.result == 1) {
      EXPECT_LT(took, 0.5) << c.name;
    }
  }
}

TEST(Fdwait, BadDescriptors) {
  Pipe p;
  int closed = p.rd;
  close(p.rd);
  p.rd = -1;
  for (int fd : {-1, closed}) {
    errno = 0;
    EXPECT_EQ(fdwait(fd, 1000), -1) << fd;
    EXPECT_EQ(errno, EBADF) << fd;
  }
}

TEST(Fdwait, WakesWhenAnotherThreadWrites) {
  Pipe p;
  std::thread writer([&] {
    clock_sleep(0.05);
    EXPECT_EQ(write(p.wr, "x", 1), 1);
  });
  double t0 = clock_monotonic();
  EXPECT_EQ(fdwait(p.rd, -1), 1);
  EXPECT_GE(clock_monotonic() - t0, 0.04);
  writer.join();
}

// A signal in the middle of the wait neither ends it early nor starts the full limit
// again: the wait goes on for the time that is left.
TEST(Fdwait, SignalsDoNotCutTheWaitShort) {
  SignalCatcher catcher;
  pthread_t waiter = pthread_self();
  struct Case {
    const char *name;
    double signal_at;
    double write_at;  // clock seconds; negative: nothing is written
    int ms;
    int result;
    double min_wait, max_wait;
  } cases[] = {
      {"times out at the limit", 0.2, -1, 300, 0, 0.3, 0.45},
      {"data after the signal", 0.03, 0.08, 2000, 1, 0.07, 1.0},
  };
  for (const Case &c : cases) {
    Pipe p;
    int before = g_signals.load();
    std::thread other([&] {
      clock_sleep(c.signal_at);
      pthread_kill(waiter, SIGUSR1);
      if (c.write_at >= 0) {
        clock_sleep(c.write_at - c.signal_at);
        EXPECT_EQ(write(p.wr, "x", 1), 1);
      }
    });
    double t0 = clock_monotonic();
    EXPECT_EQ(fdwait(p.rd, c.ms), c.result) << c.name;
    double took = clock_monotonic() - t0;
    other.join();
    EXPECT_EQ(g_signals.load(), before + 1) << c.name;
    EXPECT_GE(took, c.min_wait * 0.99) << c.name;
    EXPECT_LT(took, c.max_wait) << c.name;
  }
}
