// The simulated datalogger's streams as a peer sees them: which channel each stream
// carries before and after a parameter write, the rate the header sets, and the sample
// clock that runs on through a counter reset while the sequence starts again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "altuscomsubs_getblock.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/elog.h"
#include "bytestream/fixtures.h"
#include "kessaro.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Sim;

namespace {

// One stream packet as it arrived.
struct Got {
  int stream;
  uint32_t seq;
  double time;  // seconds after the sample clock's sample 0 at 1000000 s
  std::vector<int32_t> data;
};

struct Rig {
  Recorder rec;
  Sim sim;
  Record buf;
  unsigned char seq = 10;
  std::vector<Got> got;
  StrdataCallback handler{collect, this};

  explicit Rig(int nstreams, int samples, int rate) {
    sim.set_streams(nstreams, samples, rate, 0);
    sim.set_send_buffer(4096);  // the stream waits for its reader
    int port = sim.listen_tcp();
    sim.start();
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 8192, 300, 300, 3, nullptr, nullptr,
                                         Recorder::log, &rec, nullptr, nullptr, nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    buf.get()->userdata = &handler;
  }
  ~Rig() {
    buf.get()->userdata = nullptr;
    sim.stop();
    elog_clear_register(0);
  }
  static int collect(void *record, int kind, void *user, int) {
    auto *r = static_cast<Rig *>(user);
    if (kind == STRDATA_KIND_DATA) {
      auto *b = static_cast<AltusBlockStrdata *>(record);
      r->got.push_back(Got{b->stream, b->dataSeq,
                           b->time_altusepoch - 1000000.0 + b->time_msec / 1000.0,
                           std::vector<int32_t>(b->data, b->data + b->nsamp)});
    }
    free(record);
    return 0;
  }
  int command(int cmd, const void *data) {
    void *out = nullptr;
    int r = get_block(buf.get(), cmd, const_cast<void *>(data), &seq, &out, nullptr, 0, nullptr,
                      nullptr);
    free(out);
    return r;
  }
  int strctrl(unsigned char arg) { return command(PKC_STRCTRL, &arg); }
  // Listens until `n` more packets came, then stops the stream (what is still on the line
  // is taken too).
  void take(size_t n) {
    const size_t want = got.size() + n;
    for (int tries = 0; got.size() < want && tries < 1000; tries++) {
      void *out = nullptr;
      get_block(buf.get(), 255, nullptr, &seq, &out, nullptr, 0, nullptr, nullptr);
      free(out);
    }
    ASSERT_GE(got.size(), want);
    EXPECT_EQ(strctrl(0), 0);
  }
};

// A header with the stream channels and rate given.
Bytes header(uint32_t map, int rate) {
  AltusSimHeaderValues v;
  v.numbers["rw_stream.TxChanMap"] = map;
  v.numbers["rw_stream.SampleRate"] = rate;
  v.numbers["rw_stream.sps"] = rate;
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_header(0, 1, v, &out), 0);
  return Bytes(out.begin(), out.end());
}

TEST(SimStreams, ParameterWriteSetsTheChannelsAndTheRate) {
  struct Case {
    const char *name;
    bool write;
    uint32_t map;
    int rate;                  // the header's SampleRate (0: the configured rate stays)
    std::vector<int> streams;  // the channel of each stream
    int want_rate;
  } cases[] = {
      {"no parameter write: stream s carries channel s", false, 0, 0, {0, 1, 2}, 100},
      {"the same channels", true, 0x7, 100, {0, 1, 2}, 100},
      {"another third channel, another rate", true, 0xB, 50, {0, 1, 3}, 50},
      {"fewer channels, no rate", true, 0x22, 0, {1, 5}, 100},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r(3, 10, 100);
    if (c.write) {
      Bytes h = header(c.map, c.rate);
      ASSERT_EQ(r.command(PKC_SETPARAMS, h.data()), 0);
      EXPECT_EQ(r.sim.params(), h);
    }
    EXPECT_EQ(r.sim.stream_channels(), c.streams);
    ASSERT_EQ(r.strctrl(1), 0);
    r.take(4 * c.streams.size());
    const size_t n = c.streams.size();
    for (size_t i = 0; i < r.got.size(); i++) {
      const Got &g = r.got[i];
      ASSERT_EQ(g.stream, (int)(i % n));
      ASSERT_EQ(g.seq, i / n);
      const uint32_t first = g.seq * 10;
      EXPECT_DOUBLE_EQ(g.time, (double)first / c.want_rate);
      for (size_t j = 0; j < g.data.size(); j++)
        ASSERT_EQ(g.data[j], Sim::stream_sample(c.streams[(size_t)g.stream], first + (uint32_t)j));
    }
  }
}

// Each packet's samples and time from the sample clock's index `first`; the packets of
// one stream follow one another without a gap. The first samples, by stream.
std::map<int, std::vector<uint32_t>> check_run(const std::vector<Got> &v, size_t from, size_t to,
                                               uint32_t base, int nstreams, int samples, int rate) {
  std::map<int, std::vector<uint32_t>> firsts;
  for (size_t i = from; i < to; i++) {
    const Got &g = v[i];
    EXPECT_EQ(g.stream, (int)((i - from) % (size_t)nstreams));
    EXPECT_EQ(g.seq, (uint32_t)((i - from) / (size_t)nstreams));
    const uint32_t first = base + g.seq * (uint32_t)samples;
    EXPECT_DOUBLE_EQ(g.time, (double)first / rate);
    for (size_t j = 0; j < g.data.size(); j++)
      EXPECT_EQ(g.data[j], Sim::stream_sample(g.stream, first + (uint32_t)j));
    firsts[g.stream].push_back(first);
  }
  for (const auto &[stream, f] : firsts)
    for (size_t i = 1; i < f.size(); i++) EXPECT_EQ(f[i], f[i - 1] + (uint32_t)samples);
  return firsts;
}

TEST(SimStreams, ACounterResetStartsTheSequenceAgainButNotTheSampleClock) {
  // Two streams of 10 samples. A reset before any packet leaves the clock at 0; one after
  // a stopped run starts the next run's sequence at 0 and its samples after the last
  // round begun.
  Rig r(2, 10, 100);
  ASSERT_EQ(r.strctrl(3), 0);
  EXPECT_EQ(r.sim.stream_reset_sample(), 0u);
  ASSERT_EQ(r.strctrl(1), 0);
  r.take(6);
  const size_t first_run = r.got.size();
  ASSERT_EQ(r.strctrl(3), 0);
  const uint32_t base = (uint32_t)(first_run + 1) / 2 * 10;
  EXPECT_EQ(r.sim.stream_reset_sample(), base);
  EXPECT_EQ(r.sim.stream_seq(), 0u);
  EXPECT_EQ(r.sim.stream_resets(), 2);
  ASSERT_EQ(r.strctrl(1), 0);
  r.take(6);
  auto before = check_run(r.got, 0, first_run, 0, 2, 10, 100);
  auto after = check_run(r.got, first_run, r.got.size(), base, 2, 10, 100);
  for (int s : {0, 1}) {
    SCOPED_TRACE(s);
    ASSERT_FALSE(before[s].empty());
    ASSERT_FALSE(after[s].empty());
    EXPECT_EQ(after[s].front(), base);
    EXPECT_LE(before[s].back() + 10, base);  // never back, never twice
    EXPECT_GE(before[s].back() + 20, base);  // at most the round under way lost
  }
}

TEST(SimStreams, ACounterResetInTheMiddleOfARoundLosesOnlyThatRoundsRest) {
  // The datalogger resets itself before its 4th packet: stream 0 has sent rounds 0 and
  // 1, stream 1 only round 0. Sequence 0 after the reset starts at sample 20: stream 1
  // loses samples 10..19, and nothing is sent twice.
  Rig r(2, 10, 100);
  Sim::StreamFaults f;
  f.reset_at = 4;
  r.sim.set_stream_faults(f);
  ASSERT_EQ(r.strctrl(1), 0);
  r.take(8);
  ASSERT_EQ(r.got.size() >= 3, true);
  auto before = check_run(r.got, 0, 3, 0, 2, 10, 100);
  auto after = check_run(r.got, 3, r.got.size(), 20, 2, 10, 100);
  EXPECT_EQ(before[0], (std::vector<uint32_t>{0, 10}));
  EXPECT_EQ(before[1], (std::vector<uint32_t>{0}));
  EXPECT_EQ(after[0].front(), 20u);
  EXPECT_EQ(after[1].front(), 20u);
  EXPECT_EQ(r.sim.stream_resets(), 1);
}

}  // namespace
