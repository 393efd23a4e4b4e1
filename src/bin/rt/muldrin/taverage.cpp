// taverage.cpp - time-window averagers in bin mode and event mode.
#include "taverage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>

#include "base/elog.h"
#include "support/stdtime.h"

namespace {

// Sort order of event mode: newest first, so the empty 0.0 slots sort last.
int mycompare(const void *a, const void *b) {
  double x = *static_cast<const double *>(a);
  double y = *static_cast<const double *>(b);
  if (x > y) return -1;
  if (y > x) return 1;
  return 0;
}

void sort_events(TAverage *ta) {
  qsort(ta->bins.data(), ta->bins.size(), sizeof(double), mycompare);
}

// Adds value to the bin that ends d seconds after the value's time, when the ring has it.
// The index is compared in double, so a far-off time cannot overflow an int.
void add_to_bin(TAverage *ta, double d, double value) {
  if (!(d >= 0)) return;
  double i = std::trunc(d / ta->tbin);
  if (i < (double)ta->bins.size()) ta->bins[(size_t)i] += value;
}

void put_bin(TAverage *ta, double value) {
  double now = std_now();
  double d = ta->time - now;
  if (d >= 0) {
    add_to_bin(ta, d, value);
    return;
  }
  // Now lies past the newest bin: advance by whole bins, so that the ring keeps its phase.
  // n is computed in double: a restored time of 0 or a tiny tbin gives a count far
  // beyond an int, and every bin is then cleared.
  double n = std::trunc(-d / ta->tbin) + 1;
  ta->time += n * ta->tbin;
  size_t nbin = ta->bins.size();
  size_t shift = n < (double)nbin ? (size_t)n : nbin;
  if (shift < nbin)
    std::copy_backward(ta->bins.begin(), ta->bins.end() - (long)shift, ta->bins.end());
  std::fill(ta->bins.begin(), ta->bins.begin() + (long)shift, 0.0);
  add_to_bin(ta, ta->time - now, value);
}

void put_event(TAverage *ta, std::unique_lock<std::mutex> &lock) {
  double now = std_now();
  auto empty = std::find(ta->bins.begin(), ta->bins.end(), 0.0);
  size_t slot = (size_t)(empty - ta->bins.begin());
  if (empty == ta->bins.end()) {
    if (ta->nbin < TAVERAGE_MAX_EVENTS) {
      long grown = std::min((long)(ta->nbin * 1.5) + 1, (long)TAVERAGE_MAX_EVENTS);
      try {
        ta->bins.resize((size_t)grown, 0.0);
      } catch (const std::bad_alloc &) {
        lock.unlock();
        elog_die(0, "taverage_put: realloc (%ld) error.\n", grown * (long)sizeof(double));
      }
      ta->nbin = (int)grown;
    } else {
      // Full at the cap: the oldest event makes room.
      if (!ta->cap_logged) {
        ta->cap_logged = true;
        elog_log(0, "taverage_put: more than %d events, the oldest are dropped.\n", ta->nbin);
      }
      sort_events(ta);
      slot = ta->bins.size() - 1;
    }
  }
  ta->bins[slot] = now;
  sort_events(ta);
  for (double &t : ta->bins)
    if (t != 0.0 && now - t > ta->twin) t = 0.0;
}

}  // namespace

TAverage *taverage_create(double time, double tbin, int nbin) {
  if (tbin == 0) {
    elog_log(0, "taverage_create: tbin cannot be == 0\n");
    return nullptr;
  }
  if (!std::isfinite(tbin)) {
    elog_log(0, "taverage_create: tbin = %g must be finite\n", tbin);
    return nullptr;
  }
  if (tbin > 0) {
    if (nbin < 1) {
      elog_log(0, "taverage_create: nbin = %d must be > 0\n", nbin);
      return nullptr;
    }
    if (nbin > TAVERAGE_MAX_BINS) {
      elog_log(0, "taverage_create: nbin = %d must be <= %d\n", nbin, TAVERAGE_MAX_BINS);
      return nullptr;
    }
    if (!std::isfinite(time) || !std::isfinite(tbin * nbin)) {
      elog_log(0, "taverage_create: time = %g and tbin x nbin must be finite\n", time);
      return nullptr;
    }
  } else if (!std::isfinite(time) || time < 0) {
    elog_log(0, "taverage_create: retention window %g must be finite and >= 0\n", time);
    return nullptr;
  }
  TAverage *ta = new (std::nothrow) TAverage;
  if (!ta) {
    elog_log(0, "taverage_create: malloc(TAverage,%ld) error.\n", (long)sizeof(TAverage));
    return nullptr;
  }
  ta->tbin = tbin;
  if (tbin > 0) {
    ta->nbin = nbin;
    ta->twin = tbin * nbin;
    ta->time = time + tbin;
  } else {
    ta->nbin = nbin < 1 ? TAVERAGE_DEFAULT_EVENTS : std::min(nbin, TAVERAGE_MAX_EVENTS);
    ta->twin = time;
    ta->time = 0;
  }
  try {
    ta->bins.assign((size_t)ta->nbin, 0.0);
  } catch (const std::bad_alloc &) {
    elog_log(0, "taverage_create: malloc(TAverage->bins,%ld) error.\n",
             (long)ta->nbin * (long)sizeof(double));
    delete ta;
    return nullptr;
  }
  return ta;
}

int taverage_destroy(TAverage *ta) {
  if (!ta) return 0;
  // Waits out a put or get still running; the owner makes sure none starts after.
  { std::lock_guard<std::mutex> lock(ta->mutex); }
  delete ta;
  return 0;
}

int taverage_put(TAverage *ta, double value) {
  if (!ta) return 0;
  std::unique_lock<std::mutex> lock(ta->mutex);
  if (ta->tbin > 0 && !ta->bins.empty())
    put_bin(ta, value);
  else if (ta->tbin < 0)
    put_event(ta, lock);
  return 0;
}

int taverage_get(TAverage *ta, double *time, double *twin, double *sum, double *ave) {
  *sum = 0;
  *ave = 0;
  if (!ta) return 0;
  double start = *time - *twin;
  std::unique_lock<std::mutex> lock(ta->mutex);
  if (ta->tbin < 0) {
    for (double t : ta->bins) {
      if (t == 0.0 || t <= start) break;
      if (t <= *time) *sum += 1;
    }
    return 0;
  }
  if (!(ta->tbin > 0)) return 0;
  double tbin = ta->tbin;
  // i1 and i2: the bins of the window's end and start, counted back from bin 0 (negative
  // for bins after `time`). The 1 ms slack lets a boundary reached to within 1 ms count
  // as that boundary.
  double i1, i2;
  double d1 = ta->time - *time;
  if (d1 >= 0) {
    i1 = std::trunc(d1 / tbin);
  } else {
    d1 = std::min(d1, -0.001);
    i1 = -(std::trunc((-0.001 - d1) / tbin) + 1);
  }
  double d2 = ta->time - start;
  if (d2 > 0) {
    d2 = std::max(d2, 0.001);
    i2 = std::trunc((d2 - 0.001) / tbin);
  } else {
    i2 = -(std::trunc(-d2 / tbin) + 1);
  }
  *time = ta->time - i1 * tbin;
  *twin = *time - (ta->time - (i2 + 1) * tbin);
  double first = std::max(i1, 0.0);
  double last = std::min(i2, (double)ta->bins.size() - 1);
  for (double i = first; i <= last; i += 1) *sum += ta->bins[(size_t)i];
  lock.unlock();
  if (*twin != 0) *ave = *sum / *twin;
  return 0;
}
