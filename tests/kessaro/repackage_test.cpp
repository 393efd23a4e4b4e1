// kessaro's repackager against a ring file: refused writes, halting, bad input and
// buffers it refuses to make, read back with unstuffPkt. The shared rules (edges,
// segments, calibration changes, rates, growth, the flush callback) are covered with the
// shared repackager in tests/ringsvc.
#include "repackage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "kessaro.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

namespace {

const double T0 = 1704067200.0;  // 2024-01-01 00:00:00 UTC

// Buffers live until the process ends (there is no destructor); they stay reachable here.
std::vector<RepackageBuf *> &kept = *new std::vector<RepackageBuf *>;

using Written = RingWaveform;

// A driven clock: sleeps advance it at once, so refused-write pauses cost no real time.
// When halt_at is set, the sleep that reaches it raises the halt flag.
struct DrivenClock {
  double t = 1000.0;
  double halt_at = -1.0;
  static void sleep(double s, void *u) {
    auto *c = static_cast<DrivenClock *>(u);
    c->t += s;
    if (c->halt_at >= 0.0 && c->t >= c->halt_at) kessaro_halt = 1;
  }
  ClockDriver driver{[](void *u) { return static_cast<DrivenClock *>(u)->t; },
                     [](void *u) { return static_cast<DrivenClock *>(u)->t; }, sleep, this};
  DrivenClock() { clock_set_driver(&driver); }
  ~DrivenClock() { clock_set_driver(nullptr); }
};

class Repackage : public ::testing::Test {
 protected:
  void SetUp() override {
    // Refusals are retried without a limit unless a test sets one.
    orbwrite_reset(orbwrite_default());
    orbwrite_default()->drop_after = 0;
    std::string ring = dir.file("test.ring");
    ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
    wr = orbopen(ring.c_str(), "w");
    rd = orbopen(ring.c_str(), "r");
    ASSERT_GE(wr, 0);
    ASSERT_GE(rd, 0);
  }
  void TearDown() override {
    orbfault_reset();
    kessaro_halt = 0;
    orbclose(wr);
    orbclose(rd);
  }

  RepackageBuf *make(const char *suffix = "MGENC", double twin = 10.0, const char *subcode = "") {
    RepackageBuf *buf = repackage_create(twin, suffix, subcode, wr, count_flush, &flushes);
    EXPECT_NE(buf, nullptr);
    kept.push_back(buf);
    return buf;
  }

  // Every packet written since the last call.
  std::vector<Written> read_back() { return ring_take_waveforms(rd); }

  static void count_flush(void *user) { ++*static_cast<int *>(user); }

  // A block of n samples counting up from `first`.
  static std::vector<int> ramp(int n, int first = 0) {
    std::vector<int> v(n);
    for (int i = 0; i < n; i++) v[i] = first + i;
    return v;
  }

  int put(RepackageBuf *buf, const char *sta, double time, int n, double dt = 0.01,
          double calib = 1.0, double calper = 1.0, const char *segtype = "V", int first = 0) {
    std::vector<int> d = ramp(n, first);
    return repackage_put(buf, "XX", sta, "HHZ", "", time, dt, calib, calper, segtype, n, d.data());
  }

  TempDir dir;
  int wr = -1, rd = -1;
  int flushes = 0;
};

TEST_F(Repackage, RefusedWritesArriveOnceTheRingAccepts) {
  DrivenClock clock;
  ElogCapture log;
  RepackageBuf *buf = make();
  ASSERT_EQ(put(buf, "A", T0, 100), 0);
  ASSERT_EQ(put(buf, "A", T0 + 5.0, 100), 0);  // two segments: two packets
  orbfault_fail(ORBFAULT_PUT, 150);
  repackage_flush(buf);
  std::vector<Written> w = read_back();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(w[0].chans[0].samples, ramp(100));
  EXPECT_DOUBLE_EQ(w[1].chans[0].time, T0 + 5.0);
  // 150 refusals, pauses growing to 1 s: about 143 s, complained about once a minute.
  int complaints = 0;
  for (const std::string &line : log.lines())
    if (line.find("orbwrite_put: the ring refused") != std::string::npos &&
        line.find("srcname XX_A/MGENC") != std::string::npos)
      complaints++;
  EXPECT_EQ(complaints, 3);
  EXPECT_TRUE(log.contains("the ring takes packets again (srcname XX_A/MGENC)")) << log.text();
  EXPECT_GT(clock.t - 1000.0, 140.0);
  EXPECT_LT(clock.t - 1000.0, 150.0);
}

// A ring that refuses everything for longer than the limit: waveform packets are dropped
// and counted instead of holding the writer (and everything queued behind it).
TEST_F(Repackage, ARingRefusingForLongerThanTheLimitDropsPacketsWithACount) {
  DrivenClock clock;
  ElogCapture log;
  orbwrite_default()->drop_after = 60;
  RepackageBuf *buf = make();
  orbfault_fail(ORBFAULT_PUT, 1000000);
  for (int i = 0; i < 4; i++) ASSERT_EQ(put(buf, "A", T0 + 5.0 * i, 100), 0);
  repackage_flush(buf);
  orbfault_fail(ORBFAULT_PUT, 0);
  EXPECT_TRUE(read_back().empty());
  EXPECT_LT(clock.t - 1000.0, 62.0);  // one stall of the limit, not one per packet
  EXPECT_TRUE(log.contains("waveform packets dropped while the ring refused everything"))
      << log.text();
  EXPECT_LE(log.lines().size(), 4u) << log.text();
}

TEST_F(Repackage, WhileHaltingARefusedWriteIsDroppedWithinItsBound) {
  // Halting before the flush, or while a write has been refused for 100 s already: each
  // packet is given up 10 s (and at most one pause) after the refusals met the halt.
  struct Case {
    const char *what;
    double halt_after;  // clock seconds into the flush; -1: halting from the start
    double min, max;    // clock seconds the flush takes
  } cases[] = {
      {"halting from the start", -1.0, 20.0, 22.0},
      {"halt while refused", 100.0, 120.0, 122.0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DrivenClock clock;
    ElogCapture log;
    flushes = 0;
    RepackageBuf *buf = make();
    ASSERT_EQ(put(buf, "A", T0, 100), 0);
    ASSERT_EQ(put(buf, "A", T0 + 5.0, 100), 0);
    if (c.halt_after < 0)
      kessaro_halt = 1;
    else
      clock.halt_at = clock.t + c.halt_after;
    orbfault_fail(ORBFAULT_PUT, 1000000);
    repackage_flush(buf);
    EXPECT_EQ(flushes, 1);
    EXPECT_TRUE(log.contains("still refused after 10 s while halting; packet dropped"));
    EXPECT_GE(clock.t - 1000.0, c.min);
    EXPECT_LE(clock.t - 1000.0, c.max);
    orbfault_fail(ORBFAULT_PUT, 0);
    kessaro_halt = 0;
    EXPECT_TRUE(read_back().empty());
  }
}

TEST_F(Repackage, BadPutsAreRefusedAndKeepWhatIsStored) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<int> d = ramp(10);
  struct Case {
    const char *what;
    const char *net, *sta, *chan, *loc, *segtype;
    double time, dt, calib, calper;
    int nsamp;
    const int *data;
  } cases[] = {
      {"negative count", "XX", "A", "HHZ", "", "V", T0 + 1, 0.01, 1, 1, -1, d.data()},
      {"time not finite", "XX", "A", "HHZ", "", "V", nan, 0.01, 1, 1, 10, d.data()},
      {"dt not finite", "XX", "A", "HHZ", "", "V", T0 + 1, inf, 1, 1, 10, d.data()},
      {"dt too small for a rate", "XX", "A", "HHZ", "", "V", T0 + 1, 1e-320, 1, 1, 10, d.data()},
      {"calib not finite", "XX", "A", "HHZ", "", "V", T0 + 1, 0.01, nan, 1, 10, d.data()},
      {"calper not finite", "XX", "A", "HHZ", "", "V", T0 + 1, 0.01, 1, -inf, 10, d.data()},
      {"samples missing", "XX", "A", "HHZ", "", "V", T0 + 1, 0.01, 1, 1, 10, nullptr},
      {"net too long", "NETWORKS", "A", "HHZ", "", "V", T0 + 1, 0.01, 1, 1, 10, d.data()},
      {"sta with '_'", "XX", "A_B", "HHZ", "", "V", T0 + 1, 0.01, 1, 1, 10, d.data()},
      {"chan with '/'", "XX", "A", "HH/Z", "", "V", T0 + 1, 0.01, 1, 1, 10, d.data()},
      {"loc with a blank", "XX", "A", "HHZ", "0 ", "V", T0 + 1, 0.01, 1, 1, 10, d.data()},
      {"segtype too long", "XX", "A", "HHZ", "", "VVVV", T0 + 1, 0.01, 1, 1, 10, d.data()},
  };
  RepackageBuf *buf = make();
  ASSERT_EQ(put(buf, "A", T0, 100), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(repackage_put(buf, c.net, c.sta, c.chan, c.loc, c.time, c.dt, c.calib, c.calper,
                            c.segtype, c.nsamp, c.data),
              -1);
    EXPECT_EQ(take_registered().rfind("repackage_put: ", 0), 0u);
  }
  // Nothing stored is lost, and no refusal moved the window.
  EXPECT_TRUE(read_back().empty());
  EXPECT_DOUBLE_EQ(buf->time, T0);
  // 0 samples: accepted, nothing stored, even far outside the window.
  EXPECT_EQ(repackage_put(buf, "XX", "A", "HHZ", "", T0 + 100, 0.01, 1, 1, "V", 0, nullptr), 0);
  EXPECT_DOUBLE_EQ(buf->time, T0);
  repackage_flush(buf);
  std::vector<Written> w = read_back();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].chans[0].samples, ramp(100));
}

TEST_F(Repackage, CreateRefusesWhatItCannotWrite) {
  struct Case {
    const char *what;
    double twin;
    const char *suffix, *subcode;
  } cases[] = {
      {"not a waveform type", 10, "pf", ""},
      {"unknown suffix", 10, "XYZ", ""},
      {"no suffix", 10, nullptr, ""},
      {"subcode too long", 10, "MGENC", "elevenchars"},
      {"subcode with '/'", 10, "MGENC", "a/b"},
      {"window of 0", 0, "MGENC", ""},
      {"window not finite", std::numeric_limits<double>::infinity(), "GENC", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(repackage_create(c.twin, c.suffix, c.subcode, wr, nullptr, nullptr), nullptr);
    EXPECT_NE(take_registered().find("repackage_create: "), std::string::npos);
  }
  RepackageBuf *ok = repackage_create(10, "GENC", "tencharsab", wr, nullptr, nullptr);
  EXPECT_NE(ok, nullptr);
  kept.push_back(ok);
}

}  // namespace
