// clock.cpp - real and scaled clocks behind the time seam.
#include "base/clock.h"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <mutex>

namespace {

// The scale is kept under the origin mutex; g_scaled lets the common unscaled path skip
// the lock. (No 64-bit atomics: the 32-bit ARM target has no lock-free ones.)
std::atomic<bool> g_scaled{false};
double g_scale = 1.0;
// The origin of the scaled clocks: real monotonic and wall times at the moment the scale
// was last set, and the clock times they stand for.
struct Origin {
  double real_mono = 0, real_wall = 0, mono = 0, wall = 0;
};
std::mutex g_origin_mutex;
Origin g_origin;
std::atomic<const ClockDriver *> g_driver{nullptr};
ClockDriver g_driver_copy;

double real_clock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return (double)ts.tv_sec + (double)(ts.tv_nsec / 1000) / 1e6;
}

Origin origin(double *scale) {
  std::lock_guard<std::mutex> lock(g_origin_mutex);
  *scale = g_scale;
  return g_origin;
}

double current_scale() {
  if (!g_scaled.load()) return 1.0;
  std::lock_guard<std::mutex> lock(g_origin_mutex);
  return g_scale;
}

void real_sleep(double seconds) {
  if (!(seconds > 0)) return;
  timespec req = clock_timespec(seconds);
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace

timespec clock_timespec(double seconds) {
  timespec ts{};
  if (!(seconds > 0)) return ts;
  double whole = std::floor(seconds);
  ts.tv_sec = (time_t)whole;
  ts.tv_nsec = (long)std::lround((seconds - whole) * 1e9);
  if (ts.tv_nsec >= 1000000000L) {
    ts.tv_sec += 1;
    ts.tv_nsec -= 1000000000L;
  }
  return ts;
}

timespec clock_realtime_after(double real_seconds) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  timespec add = clock_timespec(real_seconds);
  now.tv_sec += add.tv_sec;
  now.tv_nsec += add.tv_nsec;
  if (now.tv_nsec >= 1000000000L) {
    now.tv_sec += 1;
    now.tv_nsec -= 1000000000L;
  }
  return now;
}

double clock_now(void) {
  if (const ClockDriver *d = g_driver.load()) return d->now(d->user);
  if (!g_scaled.load()) return real_clock(CLOCK_REALTIME);
  double s;
  Origin o = origin(&s);
  return o.wall + (real_clock(CLOCK_MONOTONIC) - o.real_mono) / s;
}

double clock_monotonic(void) {
  if (const ClockDriver *d = g_driver.load()) return d->monotonic(d->user);
  double m = real_clock(CLOCK_MONOTONIC);
  if (!g_scaled.load()) return m;
  double s;
  Origin o = origin(&s);
  return o.mono + (m - o.real_mono) / s;
}

void clock_sleep(double seconds) {
  if (const ClockDriver *d = g_driver.load()) {
    d->sleep(seconds, d->user);
    return;
  }
  real_sleep(seconds * current_scale());
}

double clock_real_seconds(double seconds) { return seconds * current_scale(); }

int clock_real_ms(int ms) {
  if (ms < 0) return -1;
  double s = current_scale();
  if (s == 1.0) return ms;
  return (int)std::ceil(ms * s);
}

void clock_set_scale(double scale) {
  if (!(scale > 0) || scale > 1) scale = 1.0;
  double mono = clock_monotonic();
  double wall = clock_now();
  {
    std::lock_guard<std::mutex> lock(g_origin_mutex);
    g_origin.real_mono = real_clock(CLOCK_MONOTONIC);
    g_origin.real_wall = real_clock(CLOCK_REALTIME);
    g_origin.mono = mono;
    g_origin.wall = wall;
    g_scale = scale;
  }
  g_scaled.store(scale != 1.0);
}

double clock_get_scale(void) { return current_scale(); }

void clock_set_driver(const ClockDriver *driver) {
  if (driver == nullptr) {
    g_driver.store(nullptr);
    return;
  }
  g_driver_copy = *driver;
  g_driver.store(&g_driver_copy);
}

bool clock_driven(void) { return g_driver.load() != nullptr; }
