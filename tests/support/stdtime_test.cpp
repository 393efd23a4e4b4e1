// Tests of the time, signal-name, signal-wait and timer functions.
#include "support/stdtime.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "testkit/testkit.h"

namespace {

TEST(StdTime, NowReadsTheClockSeam) {
  struct Driven {
    double t = 1234567890.25;
  } driven;
  ClockDriver driver{[](void *u) { return static_cast<Driven *>(u)->t; },
                     [](void *u) { return static_cast<Driven *>(u)->t; },
                     [](double s, void *u) { static_cast<Driven *>(u)->t += s; }, &driven};
  clock_set_driver(&driver);
  EXPECT_EQ(std_now(), 1234567890.25);
  clock_sleep(2.5);
  EXPECT_EQ(now_(), 1234567892.75);
  clock_set_driver(nullptr);

  timeval tv;
  gettimeofday(&tv, nullptr);
  EXPECT_NEAR(std_now(), (double)tv.tv_sec + tv.tv_usec / 1e6, 1.0);
}

TEST(StdTime, SignalNamesAndNumbers) {
  struct Case {
    const char *name;
    int number;  // -1: not a name
  } names[] = {{"SIGTERM", 15}, {"TERM", 15}, {"sigterm", -1}, {"Term", -1},    {"IOT", 6},
               {"ABRT", 6},     {"CLD", 17},  {"SIGCHLD", 17}, {"SIGKILL", -1}, {"SIG", -1},
               {"sigTERM", -1}, {"XFSZ", 25}, {"SYS", 31},     {"BUS", 7},      {"", -1}};
  for (const Case &c : names) {
    int n = -99;
    EXPECT_EQ(str2sig(c.name, &n), c.number < 0 ? -1 : 0) << c.name;
    if (c.number >= 0) {
      EXPECT_EQ(n, c.number) << c.name;
    }
  }

  struct Back {
    int number;
    const char *name;  // none: not in the table
  } numbers[] = {{6, "SIGIOT"}, {17, "SIGCLD"}, {1, "SIGHUP"}, {26, "SIGVTALRM"},
                 {9, nullptr},  {0, nullptr},   {64, nullptr}};
  for (const Back &b : numbers) {
    char name[SIG2STR_MAX] = "unchanged";
    EXPECT_EQ(sig2str(b.number, name), b.name ? 0 : -1) << b.number;
    EXPECT_STREQ(name, b.name ? b.name : "unchanged") << b.number;
  }

  // Every row names its own number back through the table.
  ASSERT_EQ(Nsig, 30);
  for (int k = 0; k < Nsig; ++k) {
    int n = 0;
    EXPECT_EQ(str2sig(Siglist[k].name, &n), 0);
    EXPECT_EQ(n, Siglist[k].sig) << Siglist[k].name;
  }
}

TEST(StdTime, SigwaitReturnsThePendingSignal) {
  sigset_t set, old;
  sigemptyset(&set);
  sigaddset(&set, SIGUSR2);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, &old), 0);
  raise(SIGUSR2);
  EXPECT_EQ(std_sigwait(&set), SIGUSR2);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

std::atomic<int> g_alarms{0};
void on_alarm(int) { g_alarms.fetch_add(1); }

void disarm() {
  itimerval zero{};
  setitimer(ITIMER_REAL, &zero, nullptr);
  signal(SIGALRM, SIG_DFL);
}

// Waits (at most two seconds of real time) for the alarm handler to run.
bool alarm_arrives() {
  const double scale = clock_get_scale();
  const double end = clock_monotonic() + 2.0 / scale;
  while (g_alarms.load() == 0 && clock_monotonic() < end) clock_sleep(0.001 / scale);
  return g_alarms.load() > 0;
}

TEST(StdTime, SetTimerArmsOneShotForWholeAndFractionalSeconds) {
  ASSERT_EQ(std_set_timer(on_alarm, 2.5), 0);
  itimerval now{};
  ASSERT_EQ(getitimer(ITIMER_REAL, &now), 0);
  disarm();
  double left = now.it_value.tv_sec + now.it_value.tv_usec / 1e6;
  EXPECT_GT(left, 2.4);
  EXPECT_LE(left, 2.5);
  EXPECT_EQ(now.it_interval.tv_sec, 0);
  EXPECT_EQ(now.it_interval.tv_usec, 0);
}

TEST(StdTime, SetTimerFiresTheHandlerEvenBelowAMicrosecond) {
  // A zero timer value would disarm the timer; these must still fire.
  for (double seconds : {0.0, 1e-7, 0.02}) {
    g_alarms = 0;
    ASSERT_EQ(std_set_timer(on_alarm, seconds), 0) << seconds;
    EXPECT_TRUE(alarm_arrives()) << seconds;
    disarm();
  }
}

TEST(StdTime, SetTimerRunsOnScaledClockTime) {
  ClockScale fast(0.01);
  g_alarms = 0;
  ASSERT_EQ(std_set_timer(on_alarm, 30.0), 0);  // 0.3 s of real time
  itimerval now{};
  getitimer(ITIMER_REAL, &now);
  EXPECT_EQ(now.it_value.tv_sec, 0);
  EXPECT_TRUE(alarm_arrives());
  disarm();
}

TEST(StdTime, IgnoreSigpipeSetsIgnoreWithRestart) {
  struct sigaction old {};
  sigaction(SIGPIPE, nullptr, &old);
  ignoreSIGPIPE();
  struct sigaction now {};
  sigaction(SIGPIPE, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_IGN);
  EXPECT_TRUE(now.sa_flags & SA_RESTART);
  sigaction(SIGPIPE, &old, nullptr);
}

}  // namespace
