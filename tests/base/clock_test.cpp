#include "base/clock.h"

#include <gtest/gtest.h>

#include <chrono>

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
