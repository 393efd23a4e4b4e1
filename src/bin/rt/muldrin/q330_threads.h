// q330_threads.h - the four threads of a Q330 session: control (runs queued commands
// one at a time through an executor table), data (the acquisition state machine),
// status request (periodic status readouts while the stream is open) and watchdog
// (hang detection, statistics and the program status channels).
//
// Locking: the threads share the session record. The acquisition state and the flags
// are atomics; the heartbeats sit under their last_*_thread_time_mutex, the statistics
// under status.status_mutex (never held while the output callback runs). Every thread
// ends when the state becomes 10 (q330_kill_thread); the control thread then closes its
// queue so that every caller of q330_cmd is released.
#pragma once

#include "base/pf.h"
#include "q330.h"

// One row of the control thread's executor table: the command word, and the executor
// that runs it with the command's parameter object (none for commands that take none)
// and an error buffer. The executor returns 0 or more on success, a negative number with
// a text in the buffer on failure; `failure` replaces that text when set.
struct Q330Executor {
  const char *cmd;
  int (*run)(Q330 *q330, Pf *pf, char *error, int err_sz);
  const char *failure;
};

// The executor table, ended by a row with a none cmd. Later command groups add rows here.
extern const Q330Executor q330_executors[];

// Finds a command word's row; none for a word outside the table.
const Q330Executor *q330_executor_find(const char *cmd);

// Thread entries; each takes the session (void * for pthread_create) and returns none.
void *q330_run_control_thread(void *q330);
void *q330_run_data_thread(void *q330);
void *q330_run_status_request_thread(void *q330);
void *q330_run_watchdog_thread(void *q330);

// q330_thread_start, then the four threads. 0, or -1 (logged) when the queue or a thread
// could not be made; threads already started are then killed and joined.
int q330_threads_start(Q330 *q330);
// Waits for the four threads of a session started by q330_threads_start to end (after a
// kill). 0; nothing when they were never started.
int q330_threads_join(Q330 *q330);
// As q330_threads_join, but a thread still running after `seconds` (real time, counted
// from the call) is let go (detached) instead of holding up the caller: an exit is never
// wedged by a hung thread. 0 when all four were collected, -1 when one was let go.
int q330_threads_join_bounded(Q330 *q330, double seconds);

// One turn of the status-request thread. `counted` is the time the data stream has been
// open since the last request turn, in place of a counter of 0.1 s ticks: the limit is
// the interval x 10 - 4 ticks. 0 while no request is due, with *pause the time until one
// can be (the tick limit or the last status interval - 0.4 s old, whichever comes first,
// put on the half second as the request will be); 1 when a request is due after a pause
// of *pause seconds (the count is reset). The pause aligns the request on the half second. An
// interval of 0 or below makes every turn due, so status keeps the control port alive; a request in
// the second half of the current second waits for the next half second, so that it never runs
// faster than once a second. `last_status` is the time of the last status received and
// `last_request` of the last request sent (0 for none).
int q330_status_request_due(double *counted, double interval, double now, double last_status,
                            double last_request, double *pause);

// Status request bitmap of the status-request thread.
inline constexpr unsigned Q330_STATUSREQUEST_BITMAP = 0xA0F2F;
// Seconds between inactivity reports of a silent data or control thread.
inline constexpr double Q330_INACTIVE_REPORT = 1200.0;
