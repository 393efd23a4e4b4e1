#include "base/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>

#include "testkit/testkit.h"

namespace {
double real_elapsed(void (*fn)()) {
  auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

TEST(Clock, ScaledSleepIsShortAndClocksKeepMeaning) {
  ClockScale scale(0.01);
  double mono0 = clock_monotonic();
  double wall0 = clock_now();
  double real = real_elapsed([] { clock_sleep(2.0); });
  EXPECT_LT(real, 0.5);
  EXPECT_GE(clock_monotonic() - mono0, 2.0 - 1e-3);
  EXPECT_GE(clock_now() - wall0, 2.0 - 1e-3);
  EXPECT_DOUBLE_EQ(clock_real_seconds(3.0), 0.03);
  EXPECT_EQ(clock_real_ms(1000), 10);
  EXPECT_EQ(clock_real_ms(-1), -1);
}

TEST(Clock, UnscaledClocksAreTheSystemOnes) {
  EXPECT_NEAR(clock_now(), (double)time(nullptr), 2.0);
  EXPECT_EQ(clock_real_ms(250), 250);
  double real = real_elapsed([] { clock_sleep(0.02); });
  EXPECT_GE(real, 0.019);
  clock_sleep(-1);  // nothing
}

TEST(Clock, ScaleChangesDoNotMakeTimeGoBack) {
  double m0 = clock_monotonic();
  {
    ClockScale scale(0.001);
    clock_sleep(5.0);
  }
  double m1 = clock_monotonic();
  EXPECT_GE(m1, m0);
}

TEST(Clock, DriverReplacesTheClocks) {
  struct Driven {
    double t = 1000.0;
  } driven;
  ClockDriver d{[](void *u) { return static_cast<Driven *>(u)->t; },
                [](void *u) { return static_cast<Driven *>(u)->t; },
                [](double s, void *u) { static_cast<Driven *>(u)->t += s; }, &driven};
  clock_set_driver(&d);
  clock_sleep(3600);
  EXPECT_DOUBLE_EQ(clock_now(), 4600.0);
  EXPECT_DOUBLE_EQ(clock_monotonic(), 4600.0);
  clock_set_driver(nullptr);
  EXPECT_GT(clock_now(), 1e9);
}

TEST(Clock, TimespecOfSeconds) {
  struct Case {
    double seconds;
    time_t sec;
    long nsec;
  } cases[] = {
      {0, 0, 0},
      {-1.5, 0, 0},
      {NAN, 0, 0},
      {1.25, 1, 250000000},
      {2.0, 2, 0},
      {0.3, 0, 300000000},
      {1e-9, 0, 1},          // rounded, not cut
      {0.9999999999, 1, 0},  // carried into seconds
      {4e9, 4000000000, 0},  // past 2038 on 32-bit too
  };
  for (const Case &c : cases) {
    timespec ts = clock_timespec(c.seconds);
    EXPECT_EQ(ts.tv_sec, c.sec) << c.seconds;
    EXPECT_EQ(ts.tv_nsec, c.nsec) << c.seconds;
  }
  timespec before{};
  clock_gettime(CLOCK_REALTIME, &before);
  timespec until = clock_realtime_after(2.5);
  double gap = (double)(until.tv_sec - before.tv_sec) + (until.tv_nsec - before.tv_nsec) / 1e9;
  EXPECT_GE(gap, 2.5);
  EXPECT_LT(gap, 3.5);
  EXPECT_LT(until.tv_nsec, 1000000000L);
}
