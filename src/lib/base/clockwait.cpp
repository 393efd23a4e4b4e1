// clockwait.cpp - event and deadline waits behind the clock seam.
#include "base/clockwait.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "base/clock.h"

namespace {

// Under a driven clock a wait is cut into driver sleeps of at most this much clock time,
// so that a signal is seen within one slice of driven time.
constexpr double kDrivenSlice = 0.1;
// The longest single real wait; a longer one is taken in pieces (a far or absent deadline
// must not overflow the steady clock's arithmetic).
constexpr double kLongestPiece = 3600.0;

}  // namespace

bool clock_cond_wait_piece(std::condition_variable &cond, std::unique_lock<std::mutex> &lock,
                           double deadline) {
  double left = deadline - clock_monotonic();
  if (!(left > 0)) return false;
  if (clock_driven()) {
    // The driver replaces clock_sleep: a real condition wait would not advance driven time.
    lock.unlock();
    clock_sleep(std::min(left, kDrivenSlice));
    lock.lock();
    return true;
  }
  double real = clock_real_seconds(std::min(left, kLongestPiece));
  cond.wait_for(lock, std::chrono::duration<double>(real));
  return true;
}

unsigned long clock_event_seen(ClockEvent *ev) {
  std::lock_guard<std::mutex> lock(ev->mutex);
  return ev->count;
}

void clock_event_signal(ClockEvent *ev) {
  {
    std::lock_guard<std::mutex> lock(ev->mutex);
    ev->count++;
  }
  ev->cond.notify_all();
}

int clock_event_wait(ClockEvent *ev, unsigned long seen, double deadline) {
  std::unique_lock<std::mutex> lock(ev->mutex);
  return clock_cond_wait_until(ev->cond, lock, deadline, [&] { return ev->count != seen; }) ? 1 : 0;
}
