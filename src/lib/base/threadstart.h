// threadstart.h - the one place where threads of the programs and libraries get their stacks.
//
// Every thread is started with an explicit stack size chosen for its kind, never the C
// library's default (8 MB of address space each, which a 32-bit target with hundreds of
// threads cannot give). The sizes are the measured peak of each kind's deepest path with a
// margin; tests/base/threadstart_test.cpp runs those paths on the configured stacks behind a
// guard page. Sanitizer builds scale every size, since their frames are several times larger.
//
// threadstart_create is thread-safe; threadstart_stack_peak reads the calling thread's own
// stack only.
#pragma once

#include <pthread.h>

#include <cstddef>

enum ThreadKind {
  THREAD_Q330_CONTROL,   // muldrin: a datalogger's control thread (commands, registration)
  THREAD_Q330_DATA,      // muldrin: a datalogger's data thread (datagrams, decode, repackaging)
  THREAD_Q330_STATUS,    // muldrin: a datalogger's status-request thread
  THREAD_Q330_WATCHDOG,  // muldrin: a datalogger's watchdog and status channels
  THREAD_WRITER,         // both: the packet writer into the ring
  THREAD_STATUS,         // both: the program's status report
  THREAD_POCD,           // both: a point-of-contact source
  THREAD_ALTUS_LINK,     // kessaro: a link (modem, serial, TCP client or server) thread
  THREAD_ALTUS_DL,       // kessaro: a datalogger's own thread
  THREAD_SMALL,          // helpers with shallow paths: signal waiters, data-rate, keep-alive
  THREAD_RING_WORKER,    // ring client: reap, put and command-service worker threads
  THREAD_KIND_COUNT
};

// The stack size in bytes configured for `kind` in this build (scaled in sanitizer builds).
size_t threadstart_stack_size(ThreadKind kind);
// The kind's name, for messages and reports.
const char *threadstart_kind_name(ThreadKind kind);

enum { THREADSTART_DETACHED = 1, THREADSTART_SYSTEM_SCOPE = 2 };

// pthread_create with the stack size of `kind` and a guard page; `flags` is a mask of the
// THREADSTART_ values. Returns pthread_create's result (0 on success).
int threadstart_create(pthread_t *tid, ThreadKind kind, void *(*fn)(void *), void *arg,
                       int flags = 0);

// Prints the stack report (VANTREL_STACK_REPORT) and the memory report (base/memreport.h)
// now, each once and only when it is on: for a program that leaves with _exit, where the
// handlers at exit do not run. Threads still running have not recorded their peaks yet.
void threadstart_report(void);

// For measurements: fills the unused part of the calling thread's stack with a pattern
// (threadstart_stack_paint) and later reports the deepest byte reached below the point of
// painting (threadstart_stack_peak), in bytes from the top of the stack. -1 when the stack's
// bounds cannot be read.
long threadstart_stack_paint(void);
long threadstart_stack_peak(void);
