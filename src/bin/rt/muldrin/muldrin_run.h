// muldrin_run.h - muldrin's program-wide stop flags, the halt entry and the write-thread
// part of the orderly shutdown.
//
// Locking: the flags are atomics that only go from 0 to 1; muldrin_halt may be called
// from any thread. muldrin_stop_writer runs on the main thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstddef>

#include "muldrin.h"

extern std::atomic<int> myshutdown;        // 1: leave the main loop and shut down
extern std::atomic<int> myshutdown_pocds;  // 1: point-of-contact threads stop

// Asks for an orderly shutdown; returns at once.
void muldrin_halt(void);
// Waits until muldrin_halt (or a stop signal) has asked for the shutdown.
void muldrin_wait_halt(void);
// Copies at most size bytes and always stores a zero at dst[size - 1]; 0.
int mystrncpy(char *dst, const char *src, size_t size);
// The orderly shutdown, on the main thread: stops the point-of-contact threads and every
// session, queues a flush per session behind what is queued, waits up to
// shutdown_wait_time (at least one step of 0.1 s) for the sessions to stop and kills
// those still running, asks for the last status report (waiting a bounded time for it),
// then stops the write thread. Every wait is bounded. Returns 0.
int muldrin_shutdown(Muldrin *muldrin);
// HUP, INT, QUIT and TERM ask for shutdown (handled on a thread, not in signal context);
// the signals of q330_ignored_signals get a handler that does nothing, so that none of
// them ends or stops the program without its orderly shutdown. 0, or dies naming the
// signal that could not be set.
int q330_setup_signals(void);
inline constexpr int q330_ignored_signals[] = {
    SIGABRT, SIGIOT,  SIGSYS,  SIGPIPE, SIGALRM, SIGUSR1,   SIGUSR2, SIGCHLD, SIGWINCH, SIGURG,
    SIGIO,   SIGTSTP, SIGCONT, SIGTTIN, SIGTTOU, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ};
// Asks the write thread to stop (kill MULDRIN_KILL_STOP) and waits, up to 1000 pauses of
// 0.1 s, until it has written everything queued (kill MULDRIN_KILL_ENDED). 0 when it
// stopped, -1 when the wait ran out.
int muldrin_stop_writer(Muldrin *muldrin);
