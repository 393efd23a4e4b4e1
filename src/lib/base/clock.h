// clock.h - the one seam through which the tree reads time and sleeps.
//
// Every wait, time-out and pause of the libraries and programs goes through these
// functions, so that tests can run time faster (clock_set_scale) or drive it by hand
// (clock_set_driver). In production the scale is 1 and the functions are the system's
// clocks and nanosleep.
//
// With a scale s (0 < s <= 1), a sleep of d seconds lasts d*s real seconds and both
// clocks advance 1/s seconds per real second, so deadlines computed from clock_now or
// clock_monotonic keep their meaning. Thread-safe; the scale and driver are process-wide
// and meant to be set once by a test before threads start.
#pragma once

#include <ctime>

// Wall-clock time: seconds since 1970-01-01 00:00:00 UTC with microseconds.
double clock_now(void);
// Monotonic seconds from an arbitrary origin; never goes backwards.
double clock_monotonic(void);
// Sleeps d seconds of clock time (nothing for d <= 0); a signal does not cut it short.
void clock_sleep(double seconds);
// How many real seconds a wait of `seconds` clock seconds lasts (for condition-variable
// and poll time-outs that cannot call clock_sleep).
double clock_real_seconds(double seconds);
// The same as a poll()-style millisecond count, rounded up; -1 stays -1 (no limit).
int clock_real_ms(int ms);

// `seconds` as a timespec, rounded to the nanosecond; zero for zero, negative or NaN.
timespec clock_timespec(double seconds);
// The CLOCK_REALTIME instant `real_seconds` real seconds from now (now for zero or less),
// as pthread timed waits take their deadlines.
timespec clock_realtime_after(double real_seconds);

void clock_set_scale(double scale);
double clock_get_scale(void);

// A driven clock for tests: now/monotonic return the driver's values and sleep calls
// the driver's sleep, which may advance the driven time. Pass none to go back to the
// real clocks.
struct ClockDriver {
  double (*now)(void *user);
  double (*monotonic)(void *user);
  void (*sleep)(double seconds, void *user);
  void *user;
};
void clock_set_driver(const ClockDriver *driver);
// Whether a driver is installed.
bool clock_driven(void);
