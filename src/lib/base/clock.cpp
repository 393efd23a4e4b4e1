// clock.cpp - real and scaled clocks behind the time seam.
#include "base/clock.h"

#include <cerrno>
#include <cmath>
#include <ctime>
#include <atomic>
#include <mutex>

namespace {

std::atomic<double> g_scale{1.0};
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

Origin origin() {
  std::lock_guard<std::mutex> lock(g_origin_mutex);
  return g_origin;
}

void real_sleep(double seconds) {
  if (!(seconds > 0)) return;
  timespec req{};
  double whole = std::floor(seconds);
  req.tv_sec = (time_t)whole;
  req.tv_nsec = (long)std::lround((seconds - whole) * 1e9);
  if (req.tv_nsec >= 1000000000L) {
    req.tv_sec += 1;
    req.tv_nsec -= 1000000000L;
  }
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

}  // namespace

double clock_now(void) {
  if (const ClockDriver *d = g_driver.load()) return d->now(d->user);
  double s = g_scale.load();
  if (s == 1.0) return real_clock(CLOCK_REALTIME);
  Origin o = origin();
  return o.wall + (real_clock(CLOCK_MONOTONIC) - o.real_mono) / s;
}

double clock_monotonic(void) {
  if (const ClockDriver *d = g_driver.load()) return d->monotonic(d->user);
  double s = g_scale.load();
  double m = real_clock(CLOCK_MONOTONIC);
  if (s == 1.0) return m;
  Origin o = origin();
  return o.mono + (m - o.real_mono) / s;
}

void clock_sleep(double seconds) {
  if (const ClockDriver *d = g_driver.load()) {
    d->sleep(seconds, d->user);
    return;
  }
  real_sleep(seconds * g_scale.load());
}

double clock_real_seconds(double seconds) { return seconds * g_scale.load(); }

int clock_real_ms(int ms) {
  if (ms < 0) return -1;
  double s = g_scale.load();
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
  }
  g_scale.store(scale);
}

double clock_get_scale(void) { return g_scale.load(); }

void clock_set_driver(const ClockDriver *driver) {
  if (driver == nullptr) {
    g_driver.store(nullptr);
    return;
  }
  g_driver_copy = *driver;
  g_driver.store(&g_driver_copy);
}
