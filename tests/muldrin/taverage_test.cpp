// Time-window averagers on a driven clock: where bin-mode puts land as the ring advances,
// the window a get widens to, event-mode growth and expiry, and the arguments creation
// refuses.
#include "taverage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "testkit/testkit.h"

namespace {

struct Put {
  double at;
  double value;
};

// Stands for a state-file restore: replaces the averager's members as that reader does.
struct Restore {
  bool on = false;
  double time = 0;
  std::vector<double> bins;  // empty: keep the bins
};

struct Case {
  const char *name;
  double time, tbin;  // creation arguments
  int nbin;
  Restore restore;
  std::vector<Put> puts;
  double get_time, get_twin;
  // Expected: the bins after the puts (empty: not checked), and what the get returns.
  std::vector<double> bins;
  double sum, twin_out, time_out;
  int nbin_out;
};

TEST(TAverage, PutsAndGetsOnADrivenClock) {
  // Bin mode rows are created at 1000 with 10 s bins: bin 0 first ends at 1010.
  const Case cases[] = {
      {"a put lands in the bin of its time",
       1000,
       10,
       5,
       {},
       {{1005, 1}, {1009.5, 2}},
       1010,
       50,
       {3, 0, 0, 0, 0},
       3,
       50,
       1010,
       5},
      {"an exact multiple of tbin after the newest bin lands in bin 1",
       1000,
       10,
       5,
       {},
       {{1005, 1}, {1030, 4}},
       1040,
       50,
       {0, 4, 0, 1, 0},
       5,
       50,
       1040,
       5},
      {"silence of nbin bins or more clears the ring",
       1000,
       10,
       5,
       {},
       {{1005, 1}, {1015, 2}, {1100, 4}},
       1110,
       50,
       {0, 4, 0, 0, 0},
       4,
       50,
       1110,
       5},
      {"a step back within the ring lands in its bin, beyond it is dropped",
       1000,
       10,
       5,
       {},
       {{1005, 1}, {985, 3}, {900, 7}},
       1010,
       50,
       {1, 0, 3, 0, 0},
       4,
       50,
       1010,
       5},
      {"a get past the oldest bin sums what exists over the whole window",
       1000,
       10,
       5,
       {},
       {{1005, 10}},
       1010,
       100,
       {10, 0, 0, 0, 0},
       10,
       100,
       1010,
       5},
      {"a get ending in the future widens to a boundary past the newest bin",
       1000,
       10,
       5,
       {},
       {{1005, 2}},
       1025,
       20,
       {2, 0, 0, 0, 0},
       2,
       30,
       1030,
       5},
      {"a get of an inner window is widened to whole bins",
       1000,
       10,
       5,
       {},
       {{1005, 1}, {1015, 2}, {1025, 4}},
       1023,
       9,
       {4, 2, 1, 0, 0},
       6,
       20,
       1030,
       5},
      {"a get of a window before the ring sums nothing",
       1000,
       10,
       5,
       {},
       {{1005, 1}},
       900,
       20,
       {1, 0, 0, 0, 0},
       0,
       20,
       900,
       5},
      {"a restored time of 0 clears the ring and advances it in one step",
       1000,
       10,
       5,
       {true, 0, {1, 1, 1, 1, 1}},
       {{1e9 + 5, 3}},
       1e9 + 10,
       50,
       {3, 0, 0, 0, 0},
       3,
       50,
       1e9 + 10,
       5},
      // Event mode: the first creation argument is the retention window.
      {"events inside the window are counted",
       100,
       -1,
       0,
       {},
       {{1000, 0}, {1050, 0}, {1090, 0}},
       1095,
       100,
       {1090, 1050, 1000},
       3,
       100,
       1095,
       100},
      {"events after the window's end are skipped without ending the count",
       100,
       -1,
       0,
       {},
       {{1000, 0}, {1050, 0}, {1090, 0}},
       1060,
       100,
       {1090, 1050, 1000},
       2,
       100,
       1060,
       100},
      {"a get skips expired events that no put has cleared yet",
       100,
       -1,
       0,
       {},
       {{1000, 0}, {1050, 0}, {1090, 0}},
       1200,
       100,
       {1090, 1050, 1000},
       0,
       100,
       1200,
       100},
      {"a put clears the events older than the window",
       100,
       -1,
       0,
       {},
       {{1000, 0}, {1050, 0}, {1120, 0}},
       1120,
       1000,
       {1120, 1050},
       2,
       1000,
       1120,
       100},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    DrivenClock clock;
    clock.now = 1000;
    TAverage *ta = taverage_create(c.time, c.tbin, c.nbin);
    ASSERT_NE(ta, nullptr);
    if (c.restore.on) {
      std::lock_guard<std::mutex> lock(ta->mutex);
      ta->time = c.restore.time;
      if (!c.restore.bins.empty()) ta->bins = c.restore.bins;
    }
    for (const Put &p : c.puts) {
      clock.now = p.at;
      taverage_put(ta, p.value);
    }
    EXPECT_EQ(ta->nbin, c.nbin_out);
    if (!c.bins.empty()) {
      std::vector<double> used(ta->bins.begin(), ta->bins.begin() + (long)c.bins.size());
      EXPECT_EQ(used, c.bins);
      if (c.tbin < 0) {  // the rest are empty slots
        for (size_t i = c.bins.size(); i < ta->bins.size(); ++i) EXPECT_EQ(ta->bins[i], 0.0);
      }
    }
    double t = c.get_time, w = c.get_twin, sum = -1, ave = -1;
    taverage_get(ta, &t, &w, &sum, &ave);
    EXPECT_DOUBLE_EQ(sum, c.sum);
    EXPECT_DOUBLE_EQ(w, c.twin_out);
    EXPECT_DOUBLE_EQ(t, c.time_out);
    EXPECT_DOUBLE_EQ(ave, c.tbin > 0 ? c.sum / c.twin_out : 0.0);
    taverage_destroy(ta);
  }
}

TEST(TAverage, TinyBinsFarFromTheRestoredTimeDoNotOverflow) {
  DrivenClock clock;
  clock.now = 0;
  TAverage *ta = taverage_create(0, 1e-6, 10);
  ASSERT_NE(ta, nullptr);
  clock.now = 1.7e9;  // 1.7e15 bins later: far beyond an int
  taverage_put(ta, 5);
  EXPECT_GE(ta->time, clock.now);
  EXPECT_LE(ta->time, clock.now + 2e-6);
  double t = ta->time, w = 1, sum = 0, ave = 0;
  taverage_get(ta, &t, &w, &sum, &ave);
  EXPECT_DOUBLE_EQ(sum, 5);
  taverage_destroy(ta);
}

TEST(TAverage, EventSlotsGrowByHalfPlusOne) {
  DrivenClock clock;
  TAverage *ta = taverage_create(86400, -1, 100);
  ASSERT_NE(ta, nullptr);
  const struct {
    int puts;  // in all so far
    int nbin;
  } steps[] = {{100, 100}, {101, 151}, {151, 151}, {152, 227}};
  int done = 0;
  for (const auto &s : steps) {
    for (; done < s.puts; ++done) {
      clock.now = 1000 + done;
      taverage_put(ta, 0);
    }
    EXPECT_EQ(ta->nbin, s.nbin) << s.puts << " events";
    EXPECT_EQ(ta->bins.size(), (size_t)s.nbin);
    double t = clock.now, w = 86400, sum = 0, ave = 0;
    taverage_get(ta, &t, &w, &sum, &ave);
    EXPECT_EQ(sum, s.puts);
  }
  taverage_destroy(ta);
}

TEST(TAverage, EventsStopGrowingAtTheCapAndDropTheOldest) {
  DrivenClock clock;
  take_registered();
  // Near the cap, growth stops at it.
  TAverage *ta = taverage_create(1e9, -1, TAVERAGE_MAX_EVENTS - 10);
  ASSERT_NE(ta, nullptr);
  {
    // A full list, as a state file could bring it: events at 1 .. nbin, newest first.
    std::lock_guard<std::mutex> lock(ta->mutex);
    for (int i = 0; i < ta->nbin; ++i) ta->bins[(size_t)i] = ta->nbin - i;
  }
  clock.now = 1e6;
  taverage_put(ta, 0);
  EXPECT_EQ(ta->nbin, TAVERAGE_MAX_EVENTS);
  {
    std::lock_guard<std::mutex> lock(ta->mutex);
    for (int i = 0; i < ta->nbin; ++i) ta->bins[(size_t)i] = ta->nbin - i;
  }
  for (int k = 1; k <= 3; ++k) {
    clock.now = 1e6 + k;
    taverage_put(ta, 0);
    EXPECT_EQ(ta->nbin, TAVERAGE_MAX_EVENTS);
    EXPECT_EQ(ta->bins.front(), clock.now);
    EXPECT_EQ(ta->bins.back(), 1 + k) << "the oldest event is dropped";
  }
  std::string log = take_registered();
  size_t first = log.find("taverage_put: more than 100000 events");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("taverage_put:", first + 1), std::string::npos) << "logged once: " << log;
  taverage_destroy(ta);
}

TEST(TAverage, CreationRefusesBadArguments) {
  const struct {
    double time, tbin;
    int nbin;
    const char *message;  // none: created
    int nbin_out;
  } cases[] = {
      {1000, 0, 5, "tbin cannot be == 0", 0},
      {1000, NAN, 5, "must be finite", 0},
      {1000, INFINITY, 5, "must be finite", 0},
      {1000, 10, 0, "nbin = 0 must be > 0", 0},
      {1000, 10, -3, "nbin = -3 must be > 0", 0},
      {1000, 10, TAVERAGE_MAX_BINS + 1, "nbin = 1000001 must be <=", 0},
      {NAN, 10, 5, "must be finite", 0},
      {1000, 10, TAVERAGE_MAX_BINS, nullptr, TAVERAGE_MAX_BINS},
      {-1, -1, 10, "retention window -1", 0},
      {NAN, -1, 10, "retention window nan", 0},
      {86400, -1, 0, nullptr, TAVERAGE_DEFAULT_EVENTS},
      {86400, -1, -7, nullptr, TAVERAGE_DEFAULT_EVENTS},
      {86400, -1, TAVERAGE_MAX_EVENTS * 2, nullptr, TAVERAGE_MAX_EVENTS},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.time) + " " + std::to_string(c.tbin) + " " +
                 std::to_string(c.nbin));
    take_registered();
    TAverage *ta = taverage_create(c.time, c.tbin, c.nbin);
    std::string log = take_registered();
    if (c.message) {
      EXPECT_EQ(ta, nullptr);
      EXPECT_NE(log.find(c.message), std::string::npos) << log;
      EXPECT_EQ(log.rfind("taverage_create: ", 0), 0u) << log;
    } else {
      ASSERT_NE(ta, nullptr);
      EXPECT_EQ(ta->nbin, c.nbin_out);
      EXPECT_EQ(ta->bins.size(), (size_t)c.nbin_out);
    }
    taverage_destroy(ta);
  }
}

}  // namespace
