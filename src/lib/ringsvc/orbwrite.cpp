// orbwrite.cpp - puts that wait out a ring refusing packets, with one complaint a minute.
#include "ringsvc/orbwrite.h"

#include <cinttypes>

#include "base/clock.h"
#include "base/elog.h"
#include "ring/orb.h"

namespace {

constexpr double kFirstPause = 0.01;
constexpr double kLongestPause = 1.0;
constexpr double kTellEvery = 60.0;   // seconds between complaints
constexpr double kCheckEvery = 60.0;  // seconds between looks at the ring file

// Writes the complaints that are due (each kind at its first occurrence, then once a
// minute); called with the mutex held.
void tell_locked(OrbWrite *w, const char *srcname, double now, bool force) {
  if (w->refused > 0 && (force || now - w->told >= kTellEvery)) {
    w->told = now;
    elog_complain(0,
                  "orbwrite_put: the ring refused %" PRId64
                  " puts (the last of srcname %s) in a stall of %.0f s.\n",
                  w->refused, srcname ? srcname : "",
                  w->refused_since > 0 ? now - w->refused_since : 0.0);
    w->refused = 0;
  }
  if (w->dropped > 0 && (force || now - w->told_drop >= kTellEvery)) {
    w->told_drop = now;
    elog_complain(0,
                  "orbwrite_put: %" PRId64
                  " waveform packets dropped while the ring refused everything (%" PRId64
                  " in all).\n",
                  w->dropped, w->dropped_total);
    w->dropped = 0;
  }
}

// A refused put: counts it and starts the stall. True when the stall is past drop_after.
bool refused(OrbWrite *w, const char *srcname) {
  elog_clear_register(0);
  double now = clock_monotonic();
  std::lock_guard<std::mutex> lock(w->mutex);
  if (w->refused_since == 0) w->refused_since = now;
  w->refused++;
  tell_locked(w, srcname, now, false);
  return w->drop_after > 0 && now - w->refused_since > w->drop_after;
}

// The end of a stall is told at once, with what it cost since the last complaint.
void taken(OrbWrite *w, const char *srcname) {
  std::lock_guard<std::mutex> lock(w->mutex);
  if (w->refused_since == 0) return;
  double now = clock_monotonic();
  elog_notify(0,
              "orbwrite_put: the ring takes packets again (srcname %s) after a stall of %.0f s; "
              "%" PRId64 " more puts refused, %" PRId64 " more waveform packets dropped.\n",
              srcname ? srcname : "", now - w->refused_since, w->refused, w->dropped);
  w->refused = w->dropped = 0;
  w->refused_since = 0;
}

}  // namespace

OrbWrite *orbwrite_default(void) {
  static OrbWrite *w = new OrbWrite;
  return w;
}

int orbwrite_put(OrbWrite *w, int orb, const char *srcname, double time, const char *packet,
                 int nbytes, OrbWriteKind kind) {
  double pause = kFirstPause, mark = -1;
  for (int tries = 1;; tries++) {
    if (orbput(orb, srcname, time, packet, nbytes) == 0) {
      taken(w, srcname);
      return 0;
    }
    bool stalled = refused(w, srcname);
    if (kind == ORBWRITE_ONCE) return -1;
    // The ring file is looked at on the first refusal and every second of a long one.
    int state = orbwrite_check(w, orb, tries == 1 || pause >= kLongestPause);
    if (kind == ORBWRITE_WAVEFORM && stalled) {
      orbwrite_dropped(w, 1);
      return -1;
    }
    if (w->give_up && w->give_up(w->user, srcname, state, &mark)) return -1;
    if (stalled && w->waiting) w->waiting(w->user);
    clock_sleep(pause);
    pause = pause * 2 < kLongestPause ? pause * 2 : kLongestPause;
  }
}

void orbwrite_reset(OrbWrite *w) {
  std::lock_guard<std::mutex> lock(w->mutex);
  w->refused_since = 0;
  w->told = w->told_drop = w->checked = -1e300;
  w->refused = w->dropped = w->dropped_total = 0;
}

void orbwrite_dropped(OrbWrite *w, int64_t n) {
  if (n <= 0) return;
  std::lock_guard<std::mutex> lock(w->mutex);
  w->dropped += n;
  w->dropped_total += n;
  tell_locked(w, nullptr, clock_monotonic(), false);
}

bool orbwrite_stalled(OrbWrite *w) {
  std::lock_guard<std::mutex> lock(w->mutex);
  return w->drop_after > 0 && w->refused_since > 0 &&
         clock_monotonic() - w->refused_since > w->drop_after;
}

int orbwrite_check(OrbWrite *w, int orb, int now_too) {
  double now = clock_monotonic();
  {
    std::lock_guard<std::mutex> lock(w->mutex);
    tell_locked(w, nullptr, now, false);
    if (!now_too && now - w->checked < kCheckEvery) return ORBRING_HERE;
    w->checked = now;
  }
  int state = orbring_state(orb);
  if (state < 0) {
    elog_clear_register(0);
    return ORBRING_HERE;
  }
  return state;
}
