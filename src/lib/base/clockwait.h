// clockwait.h - waiting for an event or a clock deadline, whichever comes first.
//
// A thread that owes work at a deadline (a status interval, a heartbeat, a hang test) and
// must also react at once to a change (a shutdown, a halt, a new packet) waits here instead
// of waking in short sleep slices to look. Deadlines are clock_monotonic() instants of the
// clock seam: with a scale the wait lasts the scaled real time, and under a test's driven
// clock the wait goes through the driver's sleep in slices, so driven time advances as it
// does for clock_sleep and driven tests stay deterministic. A deadline of HUGE_VAL means
// no deadline.
//
// ClockEvent is a wake-up count. A waiter reads it (clock_event_seen) before it looks at
// the state it waits on, then waits for the count to move past what it saw; a signal given
// between the look and the wait is therefore not lost. Any thread may signal, any number
// may wait; the event's own mutex guards the count.
#pragma once

#include <condition_variable>
#include <mutex>

struct ClockEvent {
  std::mutex mutex;
  std::condition_variable cond;
  unsigned long count = 0;  // wake-ups given; under mutex
};

// The wake-up count now, to pass to clock_event_wait.
unsigned long clock_event_seen(ClockEvent *ev);
// Wakes every waiter of `ev`.
void clock_event_signal(ClockEvent *ev);
// Waits until `ev` is signalled after `seen` was read, or until clock_monotonic() reaches
// `deadline`. Returns 1 when signalled (also when the signal came before the call), 0 at
// the deadline.
int clock_event_wait(ClockEvent *ev, unsigned long seen, double deadline);

// One piece of a wait on a caller's own condition variable (lock held on entry and on
// return): until a notify, a spurious wake, or `deadline`. Returns false once the deadline
// has passed. Use through clock_cond_wait_until, which loops on the caller's predicate.
bool clock_cond_wait_piece(std::condition_variable &cond, std::unique_lock<std::mutex> &lock,
                           double deadline);

// Waits on `cond` until `pred()` holds or clock_monotonic() reaches `deadline`; returns
// pred() as it stands at the end.
template <class Pred>
bool clock_cond_wait_until(std::condition_variable &cond, std::unique_lock<std::mutex> &lock,
                           double deadline, Pred pred) {
  while (!pred()) {
    if (!clock_cond_wait_piece(cond, lock, deadline)) return pred();
  }
  return true;
}
