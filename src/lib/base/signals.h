// signals.h - signal names and the shutdown-signal handling of the programs.
//
// signal_table is the one table of signal names, numbers and descriptions (constant
// data; safe in a signal handler and from any thread). signal_bysig looks a number up
// in it; the support library's name list (Siglist) is its `listed` rows.
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

#include <signal.h>

struct Signal_info {
  int sig;                  // signal number
  const char *name;         // "SIGTERM"
  const char *description;  // "Terminated"
};

// One row of the table. The `listed` rows, in table order, are the traditional name
// list, searched from the top: where an alias is listed before its signal, the alias
// names the number there (6 is IOT, 17 is CLD). An `alias` row is another name of a
// signal that has its own row, and never the answer of signal_bysig.
struct Signal_row {
  Signal_info info;
  bool listed;  // in the traditional name list
  bool alias;   // another name of a signal with its own row
};

inline constexpr Signal_row signal_table[] = {
    {{SIGHUP, "SIGHUP", "Hangup"}, true, false},
    {{SIGINT, "SIGINT", "Interrupt"}, true, false},
    {{SIGQUIT, "SIGQUIT", "Quit"}, true, false},
    {{SIGILL, "SIGILL", "Illegal instruction"}, true, false},
    {{SIGTRAP, "SIGTRAP", "Trace/breakpoint trap"}, true, false},
    {{SIGIOT, "SIGIOT", "Aborted"}, true, true},
    {{SIGABRT, "SIGABRT", "Aborted"}, true, false},
    {{SIGFPE, "SIGFPE", "Floating point exception"}, true, false},
    {{SIGBUS, "SIGBUS", "Bus error"}, true, false},
    {{SIGSEGV, "SIGSEGV", "Segmentation fault"}, true, false},
    {{SIGSYS, "SIGSYS", "Bad system call"}, true, false},
    {{SIGPIPE, "SIGPIPE", "Broken pipe"}, true, false},
    {{SIGALRM, "SIGALRM", "Alarm clock"}, true, false},
    {{SIGTERM, "SIGTERM", "Terminated"}, true, false},
    {{SIGUSR1, "SIGUSR1", "User defined signal 1"}, true, false},
    {{SIGUSR2, "SIGUSR2", "User defined signal 2"}, true, false},
    {{SIGCHLD, "SIGCLD", "Child exited"}, true, true},
    {{SIGCHLD, "SIGCHLD", "Child exited"}, true, false},
    {{SIGPWR, "SIGPWR", "Power failure"}, true, false},
    {{SIGWINCH, "SIGWINCH", "Window changed"}, true, false},
    {{SIGURG, "SIGURG", "Urgent I/O condition"}, true, false},
    {{SIGPOLL, "SIGPOLL", "I/O possible"}, true, true},
    {{SIGTSTP, "SIGTSTP", "Stopped"}, true, false},
    {{SIGCONT, "SIGCONT", "Continued"}, true, false},
    {{SIGTTIN, "SIGTTIN", "Stopped (tty input)"}, true, false},
    {{SIGTTOU, "SIGTTOU", "Stopped (tty output)"}, true, false},
    {{SIGVTALRM, "SIGVTALRM", "Virtual timer expired"}, true, false},
    {{SIGPROF, "SIGPROF", "Profiling timer expired"}, true, false},
    {{SIGXCPU, "SIGXCPU", "CPU time limit exceeded"}, true, false},
    {{SIGXFSZ, "SIGXFSZ", "File size limit exceeded"}, true, false},
    {{SIGKILL, "SIGKILL", "Killed"}, false, false},
    {{SIGSTOP, "SIGSTOP", "Stopped (signal)"}, false, false},
    {{SIGIO, "SIGIO", "I/O possible"}, false, false},
#ifdef SIGSTKFLT
    {{SIGSTKFLT, "SIGSTKFLT", "Stack fault"}, false, false},
#endif
};

// The table entry of signal number `sig`, or none for a number the table does not hold
// (0, negative numbers, real-time signals).
const Signal_info *signal_bysig(int sig);

// The shutdown signals: hang-up, interrupt, quit and terminate, as a set.
void signal_shutdown_set(sigset_t *set);

// Directs SIGHUP, SIGINT, SIGQUIT and SIGTERM to `handler` (see above); a later call
// replaces the handler. In a child process made by fork after the call, these signals
// keep their default action (they end the child) instead of reaching the parent's
// handler. Returns 0, or -1 with a registered message when the handler is none or the
// pipe, the thread or an installation fails.
int setup_signal_handlers(void (*handler)(int sig));
