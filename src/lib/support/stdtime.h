// stdtime.h - the current time as a double, signal names and numbers, signal waits,
// the one-shot timer and the broken-pipe setting.
//
// std_now reads the clock seam (base/clock.h), so tests can scale or drive it; the
// timer is armed for the real duration that the seam gives. Siglist is read-only.
// Every function may be called from any thread; std_set_timer and ignoreSIGPIPE change
// process-wide signal dispositions.
#pragma once

#include <signal.h>

// Seconds since 1970-01-01 00:00:00 UTC, with microseconds. Cannot fail.
double std_now(void);
double now_(void);

// Sleeps sec seconds through the clock seam (nothing for sec <= 0 or not finite); a
// signal does not cut the pause short. The pause of both programs' polling loops.
void myusleep(double sec);

// Signal names without "SIG", searched from the top: where two names share a number
// the first one names it (6 is IOT, 17 is CLD). The listed rows of base/signals.h's table.
struct Signame {
  const char *name;
  int sig;
};
extern const Signame *const Siglist;
extern const int Nsig;

// Longest text sig2str writes, with its terminating zero.
inline constexpr int SIG2STR_MAX = 16;

// Number of a signal name, with or without a leading "SIG" (case matters): 0 with the
// number in *number, or -1 for a name not in the table.
int str2sig(const char *name, int *number);
// "SIG" and the first table name of the number into name (SIG2STR_MAX bytes): 0, or
// -1 for a number not in the table (name untouched).
int sig2str(int number, char *name);

// Waits with sigwait for a signal of the set (which the caller has blocked) and returns
// its number, or -1 when the wait fails.
int std_sigwait(const sigset_t *set);

// Installs handler for SIGALRM (a failure is fatal) and arms the real-time timer once
// for `seconds`; a duration below one microsecond arms the shortest timer. 0, or -1
// after logging when the timer cannot be read or set.
int std_set_timer(void (*handler)(int), double seconds);

// SIGPIPE ignored, with SA_RESTART and an empty mask; a failure is fatal.
void ignoreSIGPIPE(void);
// A signal handler that does nothing, and its installer for SIGALRM (interrupted calls
// restart). The installer dies when the handler cannot be set; 0 otherwise.
void ignore(int sig);
int ignoreSIGALRM(void);
