// muldrin_run.h - muldrin's program-wide stop flags, the halt entry and the write-thread
// part of the orderly shutdown.
//
// Locking: the flags are atomics that only go from 0 to 1; muldrin_halt may be called
// from any thread. muldrin_stop_writer runs on the main thread.
#pragma once

#include <atomic>
#include <cstddef>

#include "muldrin.h"

extern std::atomic<int> myshutdown;        // 1: leave the main loop and shut down
extern std::atomic<int> myshutdown_pocds;  // 1: point-of-contact threads stop

// Asks for an orderly shutdown; returns at once.
void muldrin_halt(void);
// Copies at most size bytes and always stores a zero at dst[size - 1]; 0.
int mystrncpy(char *dst, const char *src, size_t size);
// Asks the write thread to stop (kill 1) and waits, up to 1000 pauses of 0.1 s, until it
// has written everything queued (kill 2). 0 when it stopped, -1 when the wait ran out.
int muldrin_stop_writer(Muldrin *muldrin);
