#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "base/clock.h"
#include "base/clockwait.h"
#include "testkit/testkit.h"

namespace {

// A driven clock whose sleep advances time by what was asked.
struct Driven {
  std::atomic<int> sleeps{0};
  double t = 500.0;
  std::mutex m;
};

ClockDriver driver_of(Driven *d) {
  return ClockDriver{[](void *u) {
                       auto *dd = static_cast<Driven *>(u);
                       std::lock_guard<std::mutex> l(dd->m);
                       return dd->t;
                     },
                     [](void *u) {
                       auto *dd = static_cast<Driven *>(u);
                       std::lock_guard<std::mutex> l(dd->m);
                       return dd->t;
                     },
                     [](double s, void *u) {
                       auto *dd = static_cast<Driven *>(u);
                       std::lock_guard<std::mutex> l(dd->m);
                       dd->t += s;
                       dd->sleeps++;
                     },
                     d};
}

}  // namespace

TEST(ClockWait, SignalBeforeTheWaitIsNotLost) {
  ClockEvent ev;
  unsigned long seen = clock_event_seen(&ev);
  clock_event_signal(&ev);
  // The deadline is far: only the earlier signal can end this wait.
  EXPECT_EQ(clock_event_wait(&ev, seen, clock_monotonic() + 3600), 1);
  // Seen afresh, the same signal no longer counts; a deadline already passed returns at once.
  EXPECT_EQ(clock_event_wait(&ev, clock_event_seen(&ev), clock_monotonic() - 1), 0);
}

TEST(ClockWait, SignalFromAnotherThreadEndsAWaitWithNoDeadline) {
  ClockEvent ev;
  std::atomic<int> result{-1};
  // Seen before the waiter starts, so the signal ends the wait whether it comes before or
  // after the waiter blocks.
  unsigned long seen = clock_event_seen(&ev);
  std::thread waiter([&] { result = clock_event_wait(&ev, seen, HUGE_VAL); });
  clock_event_signal(&ev);
  waiter.join();
  EXPECT_EQ(result.load(), 1);
}

TEST(ClockWait, ScaledDeadlineEndsTheWaitInClockTime) {
  ClockScale scale(0.001);
  ClockEvent ev;
  double t0 = clock_monotonic();
  EXPECT_EQ(clock_event_wait(&ev, clock_event_seen(&ev), t0 + 20.0), 0);
  EXPECT_GE(clock_monotonic() - t0, 20.0 - 1e-3);
}

TEST(ClockWait, DrivenClockAdvancesThroughTheDriverAndSeesSignals) {
  Driven d;
  ClockDriver drv = driver_of(&d);
  clock_set_driver(&drv);
  ClockEvent ev;
  // A 5 s deadline is reached by driver sleeps of at most 0.1 s, with no real wait.
  EXPECT_EQ(clock_event_wait(&ev, clock_event_seen(&ev), 505.0), 0);
  EXPECT_GE(clock_monotonic(), 505.0);
  EXPECT_GE(d.sleeps.load(), 50);
  // A predicate that holds ends a caller's own wait without sleeping.
  std::condition_variable cv;
  std::mutex m;
  std::unique_lock<std::mutex> lock(m);
  int before = d.sleeps.load();
  EXPECT_TRUE(clock_cond_wait_until(cv, lock, HUGE_VAL, [] { return true; }));
  EXPECT_EQ(d.sleeps.load(), before);
  clock_set_driver(nullptr);
}
