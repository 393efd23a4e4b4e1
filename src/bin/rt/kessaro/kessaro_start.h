// kessaro_start.h - kessaro's process shell: the command line, the start-up in its fixed
// order, the termination-signal thread and the main loop that reaps the ended
// connection threads of TCP servers.
//
// Signals: the termination signals are blocked before any thread starts, so every thread
// inherits the mask, and one thread takes them with std_sigwait; the shutdown then runs
// outside signal context, once (a second signal does nothing).
#pragma once

#include <cstdio>

#include "kessaro.h"

// The one-line release text ("Release <n> <system> <date> ").
extern const char *const kessaro_Version;

// The usage text, one line per option, onto `out`.
void kessaro_usage(FILE *out);
// The usage text on standard error; exits 1 when `exitflag` is set.
void usage(int exitflag);
// The start-up box: to the error log (log 0) or through the program's logger (log 1).
void startup_banner(int log);

// Blocks the termination signals in the calling thread (and the threads it starts later),
// ignores SIGPIPE and SIGALRM, and starts the thread that takes the termination signals
// and runs the shutdown. 0.
int kessaro_setup_signals(Kessaro *altus);

// Joins and frees every link whose `exit` flag is set; a datalogger that still names such
// a link is disconnected first (with a complaint). Once kessaro_halt is set it reaps
// nothing (the shutdown joins the links then).
void kessaro_reap_links(Kessaro *altus);
// One pass of the main loop: reaps the ended links. A halt raised without a shutdown (a
// fatal error of a link thread) claims the shutdown, runs it (kessaro_stop), logs the
// cause and returns 1: the caller ends the process with status 1. Otherwise 0.
int kessaro_main_pass(Kessaro *altus);

// The program: start-up, then the main loop (never returns).
int kessaro_main(int argc, char **argv);
