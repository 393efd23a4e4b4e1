// taverage.h - time-window averagers: sums or event counts over a sliding window of the
// wall clock (std_now).
//
// Bin mode (tbin > 0): a ring of nbin bins of tbin seconds; bin 0 is the newest and ends
// at `time`, bin i covers (time - (i+1)*tbin, time - i*tbin]. A put adds its value into
// the bin of the current time; a get sums the bins that cover a window.
// Event mode (tbin < 0): `bins` holds event times, newest first, 0.0 marking the empty
// slots after the used ones; each put records the current time and forgets the events
// older than `twin`. A get counts the events in a window.
//
// Ownership: the creator owns the record and frees it with taverage_destroy once no
// other thread uses it. Locking: every function here holds `mutex` for its whole work on
// the record; code that reads or replaces the members directly (the state file) must hold
// it too. Invariant: nbin == bins.size().
#pragma once

#include <mutex>
#include <vector>

// Most bins of a bin-mode averager.
inline constexpr int TAVERAGE_MAX_BINS = 1000000;
// Most events an event-mode averager keeps; past it the oldest are dropped.
inline constexpr int TAVERAGE_MAX_EVENTS = 100000;
// Event-mode slots when creation asks for fewer than one.
inline constexpr int TAVERAGE_DEFAULT_EVENTS = 100;

typedef struct taverage_ {
  std::mutex mutex;
  double tbin = 0;  // bin width (> 0), or < 0 for event mode
  double twin = 0;  // bin mode: tbin * nbin; event mode: retention window
  int nbin = 0;
  std::vector<double> bins;
  double time = 0;          // bin mode: end of bin 0; event mode: 0
  bool cap_logged = false;  // event mode: the drop at TAVERAGE_MAX_EVENTS was logged
} TAverage;

// Bin mode: `time` is the start (the first bin ends at time + tbin), nbin 1 to
// TAVERAGE_MAX_BINS. Event mode: `time` is the retention window (finite, >= 0) and nbin the
// first slot count (below 1: 100; at most TAVERAGE_MAX_EVENTS). Returns the record, or none
// after logging why (tbin 0 or not finite, a bad nbin or window).
TAverage *taverage_create(double time, double tbin, int nbin);
// Frees the record (none accepted). 0.
int taverage_destroy(TAverage *ta);
// Bin mode: adds value at the current time. Event mode: records the current time as an
// event (value ignored). 0.
int taverage_put(TAverage *ta, double value);
// On entry *time is the end of the wanted window and *twin its length. Bin mode: *time
// and *twin become the window actually summed, widened to whole bins; *sum is the sum
// and *ave = *sum / *twin (0 for an empty window). Event mode: *sum is the number of
// events in (*time - *twin, *time], *ave 0, *time and *twin unchanged. 0.
int taverage_get(TAverage *ta, double *time, double *twin, double *sum, double *ave);
