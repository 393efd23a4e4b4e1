// signals.h - signal names and the shutdown-signal handling of the programs.
//
// signal_bysig looks a signal number up in a fixed table of names and descriptions
// (constant data; safe in a signal handler and from any thread).
//
// setup_signal_handlers routes the shutdown signals - hang-up, interrupt, quit and
// terminate - to a handler of the program. The handler the system calls is internal
// and async-signal-safe: it only writes the signal number into a pipe. A dispatch
// thread, started on the first call, reads the pipe and calls the program's handler
// with the number in ordinary thread context, so the handler may log, lock, join
// threads and exit. Signals are handled one at a time, in the order they arrived.
// The system handler is installed with SA_RESTART, so that system calls interrupted in
// the other threads resume instead of failing with EINTR.
#pragma once

struct Signal_info {
  int sig;                  // signal number
  const char *name;         // "SIGTERM"
  const char *description;  // "Terminated"
};

// The table entry of signal number `sig`, or none for a number the table does not hold
// (0, negative numbers, real-time signals).
const Signal_info *signal_bysig(int sig);

// Directs SIGHUP, SIGINT, SIGQUIT and SIGTERM to `handler` (see above); a later call
// replaces the handler. In a child process made by fork after the call, these signals
// keep their default action (they end the child) instead of reaching the parent's
// handler. Returns 0, or -1 with a registered message when the handler is none or the
// pipe, the thread or an installation fails.
int setup_signal_handlers(void (*handler)(int sig));
