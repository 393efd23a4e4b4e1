// The windowed repackager against a ring file, under the rules of each program: window
// edges, segments and gaps, calibration changes, sample rates, packets of one channel,
// growth of the storage, passes that cannot be encoded and the flush callback. Packets
// are read back with unstuffPkt.
#include "ringsvc/repacker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

namespace {

const double T0 = 1704067200.0;  // 2024-01-01 00:00:00 UTC

// The rules each program gives its repackagers.
const RepackerRules kMuldrin = {.inclusive_edges = false, .tolerance_by_rate = true};
const RepackerRules kKessaro = {.inclusive_edges = true, .tolerance_by_rate = false};

using Written = RingWaveform;
using Chan = RingChannel;

// A block of n samples counting up from `first`.
std::vector<int32_t> ramp(int n, int first = 0) {
  std::vector<int32_t> v(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) v[static_cast<size_t>(i)] = first + i;
  return v;
}

// One put: channel XX_<sta>_HHZ, window time and first-sample time relative to T0.
struct Put {
  const char *sta;
  double window, time;
  int nsamp;
  double dt = 0.01;
  int first = 0;  // value of the first sample; the others count up from it
  double calib = 1.0, calper = 1.0;
  const char *segtype = "V";
};

class Repack : public ::testing::Test {
 protected:
  void SetUp() override {
    orbwrite_reset(orbwrite_default());
    orbwrite_default()->drop_after = 0;
    std::string ring = dir_.file("test.ring");
    ASSERT_EQ(orbcreate(ring.c_str(), 1 << 22), 0);
    wr_ = orbopen(ring.c_str(), "w");
    rd_ = orbopen(ring.c_str(), "r");
    ASSERT_GE(wr_, 0);
    ASSERT_GE(rd_, 0);
  }
  void TearDown() override {
    for (auto &r : made_) repacker_fini(r.get());
    orbclose(wr_);
    orbclose(rd_);
  }

  Repacker *make(const RepackerRules &rules, const char *suffix = "MGENC", const char *subcode = "",
                 RepackerFlushCallback callback = nullptr, void *user = nullptr) {
    made_.push_back(std::make_unique<Repacker>());
    Repacker *r = made_.back().get();
    repacker_init(r, "repack", rules, suffix2pkttype(suffix), subcode, wr_, callback, user);
    return r;
  }

  static int put(Repacker *r, const Put &p, double twin = 10.0) {
    std::vector<int32_t> d = ramp(p.nsamp, p.first);
    return repacker_put(r, T0 + p.window, twin, "XX", p.sta, "HHZ", "", T0 + p.time, p.dt, p.calib,
                        p.calper, p.segtype, p.nsamp, d.data());
  }

  // Every packet written since the last call.
  std::vector<Written> read_back() { return ring_take_waveforms(rd_); }

  TempDir dir_;
  int wr_ = -1, rd_ = -1;
  std::vector<std::unique_ptr<Repacker>> made_;
};

// A first block of A opens the window at T0; where the second block's window time falls
// decides whether A is written first and where the window stands afterwards.
TEST_F(Repack, WindowEdges) {
  struct Case {
    const char *what;
    const RepackerRules *rules;
    const char *sta;  // channel of the second block
    double window;    // its window time, relative to T0
    double time;      // its first sample, relative to T0
    bool flushed;     // the second block made the record write the first
    double after;     // window start afterwards, relative to T0
  } cases[] = {
      {"inside the window", &kKessaro, "B", 5.0, 5.0, false, 0.0},
      {"2 ms before the end", &kKessaro, "B", 10.0 - 0.002, 10.0 - 0.002, false, 0.0},
      {"1 ms before the end, edges inclusive", &kKessaro, "B", 10.0 - 0.001, 10.0 - 0.001, true,
       10.0 - 0.001},
      {"1 ms before the end, edges exclusive", &kMuldrin, "B", 10.0 - 0.001, 10.0 - 0.001, false,
       0.0},
      {"at the end", &kKessaro, "B", 10.0, 10.0, true, 10.0},
      {"at the end, edges exclusive", &kMuldrin, "B", 10.0, 10.0, true, 10.0},
      {"after the end", &kKessaro, "B", 25.0, 25.0, true, 25.0},
      {"under 1 ms before the start", &kKessaro, "B", -0.0005, -0.0005, false, 0.0},
      {"1 ms before the start, edges inclusive", &kKessaro, "B", -0.001, -0.001, true, -0.001},
      {"1 ms before the start, edges exclusive", &kMuldrin, "B", -0.001, -0.001, false, 0.0},
      {"well before the start", &kKessaro, "B", -5.0, -5.0, true, -5.0},
      // The window is decided by the window time, not by the samples' time.
      {"record tagged under 1 ms early", &kMuldrin, "A", -0.0005, 1.0, false, 0.0},
      {"record tagged 2 ms early", &kMuldrin, "A", -0.002, 1.0, true, -0.002},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Repacker *r = make(*c.rules);
    ASSERT_EQ(put(r, {"A", 0.0, 0.0, 100}), 0);
    EXPECT_DOUBLE_EQ(r->time, T0);
    EXPECT_DOUBLE_EQ(r->endtime, T0 + 10.0);
    ASSERT_EQ(put(r, {c.sta, c.window, c.time, 100}), 0);
    std::vector<Written> w = read_back();
    ASSERT_EQ(w.size(), c.flushed ? 1u : 0u);
    if (c.flushed) {
      ASSERT_EQ(w[0].chans.size(), 1u);
      EXPECT_EQ(w[0].chans[0].sta, "A");
      EXPECT_EQ(w[0].chans[0].samples, ramp(100));
    }
    EXPECT_NEAR(r->time, T0 + c.after, 1e-6);
    EXPECT_NEAR(r->endtime, T0 + c.after + 10.0, 1e-6);
    repacker_flush(r);
    read_back();
  }
}

// What a flush writes after a run of puts: which segments join, which packets they form,
// what the packets say.
TEST_F(Repack, SegmentsAndPackets) {
  struct Want {
    const char *sta;
    double time;  // relative to T0
    int nsamp;
    int first = 0;            // value of the first sample (they count up), -1: not checked
    double samprate = 100.0;  // 0: not checked
  };
  struct WantPacket {
    const char *srcname;  // "": not checked
    std::vector<Want> chans;
  };
  struct Case {
    const char *what;
    const RepackerRules *rules;
    const char *suffix, *subcode;
    double twin;
    std::vector<Put> puts;
    std::vector<WantPacket> packets;
  } cases[] = {
      {"a gap in one channel gives a second packet with only that channel",
       &kKessaro,
       "MGENC",
       "sub",
       10,
       {{"A", 0, 0, 100},
        {"B", 0, 0, 100},
        {"A", 1, 1, 100, 0.01, 100},
        {"B", 1, 1, 100, 0.01, 100},
        {"A", 3, 3, 100, 0.01, 300}},
       {{"XX_A/MGENC/sub", {{"A", 0, 200}, {"B", 0, 200}}}, {"", {{"A", 3, 100, 300}}}}},
      {"a channel missing a second",
       &kMuldrin,
       "MGENC",
       "",
       10,
       {{"A", 0, 0, 100}, {"B", 0, 0, 100}, {"A", 1, 1, 100, 0.01, 100}, {"B", 2, 2, 100}},
       {{"XX_A/MGENC", {{"A", 0, 200}, {"B", 0, 100}}}, {"", {{"B", 2, 100}}}}},
      {"a change of interval alone starts a segment, no flush",
       &kKessaro,
       "MGENC",
       "",
       10,
       {{"A", 0, 0, 100, 0.01}, {"A", 1, 1, 100, 0.02}},
       {{"", {{"A", 0, 100, 0, 100.0}}}, {"", {{"A", 1, 100, 0, 50.0}}}}},
      {"a block starting inside the window is taken whole",
       &kKessaro,
       "MGENC",
       "",
       10,
       {{"A", 0, 0, 100}, {"A", 9.5, 9.5, 300}},
       {{"", {{"A", 0, 100}}}, {"", {{"A", 9.5, 300}}}}},
      {"1000 samples/s: a record 1 ms late is one missing sample",
       &kMuldrin,
       "GENC",
       "",
       60,
       {{"F", 0, 0, 1000, 0.001}, {"F", 1, 1.001, 1000, 0.001}},
       {{"", {{"F", 0, 1000, 0, 1000.0}}}, {"", {{"F", 1.001, 1000, 0, 1000.0}}}}},
      {"2000 samples/s, 0.5 ms late, tolerance by rate: a gap",
       &kMuldrin,
       "GENC",
       "",
       60,
       {{"F", 0, 0, 2000, 0.0005}, {"F", 1, 1.0005, 2000, 0.0005, 2000}},
       {{"", {{"F", 0, 2000, 0, 2000.0}}}, {"", {{"F", 1.0005, 2000, 2000, 2000.0}}}}},
      {"2000 samples/s, 0.5 ms late, tolerance 1 ms: joined",
       &kKessaro,
       "GENC",
       "",
       60,
       {{"F", 0, 0, 2000, 0.0005}, {"F", 1, 1.0005, 2000, 0.0005, 2000}},
       {{"", {{"F", 0, 4000, 0, 2000.0}}}}},
      {"one sample every 10 s",
       &kMuldrin,
       "GENC",
       "",
       60,
       {{"S", 0, 0, 1, 10.0, 0}, {"S", 10, 10, 1, 10.0, 1}, {"S", 20, 20, 1, 10.0, 2}},
       {{"", {{"S", 0, 3, 0, 0.1}}}}},
      {"interval 0 is written as one sample per second",
       &kKessaro,
       "MGENC",
       "",
       10,
       {{"A", 0, 0, 10, 0.0}},
       {{"", {{"A", 0, 10, 0, 1.0}}}}},
      {"negative interval is written as one sample per second",
       &kKessaro,
       "MGENC",
       "",
       10,
       {{"A", 0, 0, 10, -0.5}},
       {{"", {{"A", 0, 10, 0, 1.0}}}}},
      {"GENC: one packet per channel",
       &kKessaro,
       "GENC",
       "",
       10,
       {{"A", 0, 0, 50}, {"B", 0, 0, 50}},
       {{"XX_A_HHZ/GENC", {{"A", 0, 50}}}, {"XX_B_HHZ/GENC", {{"B", 0, 50}}}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Repacker *r = make(*c.rules, c.suffix, c.subcode);
    for (const Put &p : c.puts) ASSERT_EQ(put(r, p, c.twin), 0);
    EXPECT_TRUE(read_back().empty());  // every put stayed in the window
    repacker_flush(r);
    std::vector<Written> w = read_back();
    ASSERT_EQ(w.size(), c.packets.size());
    for (size_t i = 0; i < w.size(); i++) {
      SCOPED_TRACE(i);
      const WantPacket &want = c.packets[i];
      if (*want.srcname) {
        EXPECT_EQ(w[i].srcname, want.srcname);
      }
      ASSERT_EQ(w[i].chans.size(), want.chans.size());
      for (size_t k = 0; k < want.chans.size(); k++) {
        const Chan &got = w[i].chans[k];
        const Want &ch = want.chans[k];
        EXPECT_EQ(got.sta, ch.sta);
        EXPECT_NEAR(got.time, T0 + ch.time, 1e-6);
        EXPECT_EQ(got.samples.size(), static_cast<size_t>(ch.nsamp));
        if (ch.first >= 0) {
          EXPECT_EQ(got.samples, ramp(ch.nsamp, ch.first));
        }
        if (ch.samprate > 0) {
          EXPECT_DOUBLE_EQ(got.samprate, ch.samprate);
        }
      }
    }
  }
}

// A new segtype, calib or calper of one channel writes every channel first, with the old
// values, and opens a new window at the block.
TEST_F(Repack, CalibrationChangeFlushesEveryChannelFirst) {
  struct Case {
    const char *what;
    const RepackerRules *rules;
    const char *sta;  // the channel whose calibration changes
    double calib, calper;
    const char *segtype;
  } cases[] = {
      {"calib", &kKessaro, "A", 2.0, 1.0, "V"},
      {"calper", &kKessaro, "A", 1.0, 2.0, "V"},
      {"segtype", &kKessaro, "A", 1.0, 1.0, "A"},
      {"calib of the second channel", &kMuldrin, "B", 2.0, 1.0, "V"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Repacker *r = make(*c.rules);
    ASSERT_EQ(put(r, {"A", 0, 0, 100}), 0);
    ASSERT_EQ(put(r, {"B", 0, 0, 100}), 0);
    ASSERT_EQ(put(r, {c.sta, 1, 1, 100, 0.01, 100, c.calib, c.calper, c.segtype}), 0);
    std::vector<Written> w = read_back();
    ASSERT_EQ(w.size(), 1u);
    ASSERT_EQ(w[0].chans.size(), 2u);
    for (const Chan &ch : w[0].chans) {
      EXPECT_EQ(ch.calib, 1.0);
      EXPECT_EQ(ch.calper, 1.0);
      EXPECT_EQ(ch.segtype, "V");
      EXPECT_EQ(ch.samples.size(), 100u);
    }
    EXPECT_DOUBLE_EQ(r->time, T0 + 1.0);
    repacker_flush(r);
    w = read_back();
    ASSERT_EQ(w.size(), 1u);
    ASSERT_EQ(w[0].chans.size(), 1u);
    EXPECT_EQ(w[0].chans[0].sta, c.sta);
    EXPECT_EQ(w[0].chans[0].calib, c.calib);
    EXPECT_EQ(w[0].chans[0].calper, c.calper);
    EXPECT_EQ(w[0].chans[0].segtype, c.segtype);
    EXPECT_EQ(w[0].chans[0].samples, ramp(100, 100));
  }
}

TEST_F(Repack, SamplesKeepValueAndOrderAcrossGrowth) {
  Repacker *r = make(kKessaro);
  std::vector<int32_t> expect;
  uint32_t x = 12345;
  double t = T0;
  // Blocks of several sizes: under the 500-sample minimum, across it, and far beyond.
  for (int n : {120, 300, 81, 1000, 7, 2000, 2000, 333}) {
    std::vector<int32_t> d(static_cast<size_t>(n));
    for (int32_t &v : d) {
      x = x * 1103515245u + 12345u;
      v = static_cast<int32_t>(x);  // the full 32-bit range, both signs
    }
    ASSERT_EQ(repacker_put(r, t, 3600, "XX", "A", "HHZ", "00", t, 0.01, 1.0, 1.0, "V", n, d.data()),
              0);
    expect.insert(expect.end(), d.begin(), d.end());
    t += n * 0.01;
  }
  repacker_flush(r);
  std::vector<Written> w = read_back();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].srcname, "XX_A/MGENC");
  EXPECT_EQ(w[0].chans[0].loc, "00");
  EXPECT_EQ(w[0].chans[0].samples, expect);
  EXPECT_DOUBLE_EQ(w[0].time, T0);

  // The storage kept from the flush serves the next window, shorter blocks included.
  ASSERT_EQ(put(r, {"A", t - T0, t - T0, 50, 0.01, 7}, 3600), 0);
  repacker_flush(r);
  w = read_back();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].chans[0].samples, ramp(50, 7));
}

// A pass that stuffPkt refuses (a station code with a blank) is dropped with one complaint,
// under both programs' rules: the passes after it are written.
TEST_F(Repack, PassThatCannotBeEncoded) {
  for (const RepackerRules *rules : {&kMuldrin, &kKessaro}) {
    SCOPED_TRACE(rules == &kMuldrin ? "muldrin" : "kessaro");
    ElogCapture log;
    Repacker *r = make(*rules);
    ASSERT_EQ(put(r, {"A", 0, 0, 100}), 0);
    ASSERT_EQ(put(r, {"B C", 0, 0, 100}), 0);
    ASSERT_EQ(put(r, {"A", 5, 5, 100}), 0);  // a second segment: a second pass
    repacker_flush(r);
    repacker_flush(r);
    int n = 0;
    for (const std::string &line : log.lines())
      if (line.find("repack_flush: stuffPkt() error.") != std::string::npos) n++;
    EXPECT_EQ(n, 1) << log.text();
    std::vector<Written> w = read_back();
    ASSERT_EQ(w.size(), 1u);  // the second pass, A alone
    ASSERT_EQ(w[0].chans.size(), 1u);
    EXPECT_NEAR(w[0].chans[0].time, T0 + 5, 1e-6);
  }
}

// The callback follows every flush: an outside one, one a put triggers, and one run by a
// caller that holds the lock; an empty flush writes nothing but still calls it.
TEST_F(Repack, FlushCallback) {
  int flushes = 0;
  auto count = [](void *user) { ++*static_cast<int *>(user); };
  Repacker *r = make(kKessaro, "MGENC", "", count, &flushes);
  repacker_flush(r);
  EXPECT_EQ(flushes, 1);
  EXPECT_TRUE(read_back().empty());
  ASSERT_EQ(put(r, {"A", 0, 0, 10}), 0);
  ASSERT_EQ(put(r, {"A", 20, 20, 10}), 0);  // new window: the put flushes too
  EXPECT_EQ(flushes, 2);
  EXPECT_EQ(read_back().size(), 1u);
  {
    std::lock_guard<std::mutex> held(r->mutex);
    repacker_flush_locked(r);
  }
  EXPECT_EQ(flushes, 3);
  std::vector<Written> w = read_back();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_NEAR(w[0].chans[0].time, T0 + 20, 1e-6);
}

}  // namespace
