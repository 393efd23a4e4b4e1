// Data blockettes into data records and state-of-health blocks: time tags and clock
// quality, gap accounting, status extraction, split blocks, the busy probe, close then
// time tag, log suppression, rate codes and channel definitions, configuration changes,
// and records expanded sample by sample against the simulator's compressor input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "q330.h"
#include "q330_dblk.h"
#include "q330_fixture.h"
#include "q330pkt.h"
#include "q330sim_frames.h"
#include "testkit/testkit.h"

namespace {

uint32_t be32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t be16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

struct Entry {
  int channel, stream, size, nsamp, data_offset, qdp_sequence;
  uint32_t filter_delay;
  int32_t value;
  std::vector<unsigned char> body;  // map and data
};
struct Record {
  int nchans, clock_quality;
  uint32_t sn_high, sn_low, seconds, usec;
  std::vector<Entry> entries;
};

Record parse(const std::vector<unsigned char> &r) {
  Record rec{};
  rec.nchans = be16(&r[0]);
  rec.clock_quality = r[3];
  rec.sn_high = be32(&r[4]);
  rec.sn_low = be32(&r[8]);
  rec.seconds = be32(&r[12]);
  rec.usec = be32(&r[16]);
  size_t at = 20;
  while (at + 18 <= r.size()) {
    const unsigned char *e = &r[at];
    Entry en{};
    en.channel = e[0];
    en.stream = e[1];
    en.size = be16(e + 2);
    en.filter_delay = be32(e + 4);
    en.nsamp = static_cast<int16_t>(be16(e + 8));
    en.data_offset = be16(e + 10);
    en.value = static_cast<int32_t>(be32(e + 12));
    if (en.size < 18 || at + static_cast<size_t>(en.size) > r.size()) break;
    en.body.assign(e + 16, e + en.size - 2);
    en.qdp_sequence = be16(e + en.size - 2);
    rec.entries.push_back(en);
    at += static_cast<size_t>(en.size);
  }
  return rec;
}

// Expands a compressed entry as the waveform writer does.
std::vector<int> expand(const Entry &e) {
  int cmap = e.data_offset - 16, data = e.size - e.data_offset - 2;
  std::vector<unsigned int> words((e.body.size() + 3) / 4 + 1, 0);
  memcpy(words.data(), e.body.data(), e.body.size());
  std::vector<int> diffs(static_cast<size_t>(data / 4) * 7 + 1);
  int n = q330_convert_frame(static_cast<uint16_t>(data), static_cast<uint16_t>(cmap), words.data(),
                             diffs.data());
  std::vector<int> s;
  uint32_t x = static_cast<uint32_t>(e.value);
  for (int i = 0; i < n; i++) {
    x += static_cast<uint32_t>(diffs[static_cast<size_t>(i)]);
    s.push_back(static_cast<int>(x));
  }
  return s;
}

// Copies the records and status blocks, which stay the session's.
struct Capture {
  OutputRecorder rec;
  std::vector<std::vector<unsigned char>> records;
  std::vector<Q330DataStatus> statuses;
  static int callback(Q330 *q330, int type, void *data, int size) {
    auto *self = static_cast<Capture *>(q330->user_data);
    if (type == Q330_OUT_DATA) {
      auto *p = static_cast<unsigned char *>(data);
      self->records.emplace_back(p, p + size);
    } else if (type == Q330_OUT_DATASTATUS) {
      Q330DataStatus ds;
      memcpy(&ds, data, sizeof ds);
      self->statuses.push_back(ds);
    }
    q330->user_data = &self->rec;
    int r = OutputRecorder::callback(q330, type, data, size);
    q330->user_data = self;
    return r;
  }
};

struct Session {
  Q330 *q330 = q330_create(Capture::callback, nullptr);
  Capture cap;
  Session() {
    q330->user_data = &cap;
    set_q330_str(&q330->target_name, "tgt");
    set_q330_str(&q330->params.dlname, "XX_STA");
    q330->unit_nchannels = 6;
    const uint8_t codes[8] = {1, 10, 40, 0x84, 0xFF, 20, 0, 0};
    Q330FIXPkt &fix = q330->config.config_pkt.fix;
    for (int s = 0; s < 8; s++) {
      fix.bit_frequency[s] = codes[s];
      fix.chans_1to3_bit_frequency_delay[s] = 100u + s;
      fix.chans_4to6_bit_frequency_delay[s] = 200u + s;
    }
  }
  ~Session() { free_session(q330); }
  int timetag(uint32_t seq, uint8_t par1, uint16_t par2, uint32_t par3, uint32_t par4) {
    q330->data_record_sequence = seq;
    Q330DATABLK5Pkt b{0x98, par1, par2, par3, par4};
    return q330_process_dblk(q330, 0x98, 5, &b);
  }
  int single(int channel, uint8_t par1, int32_t value) {
    Q330DATABLK4Pkt b{static_cast<uint8_t>(0xE0 | channel), par1, 0, static_cast<uint32_t>(value)};
    return q330_process_dblk(q330, b.channel, 4, &b);
  }
  // Feeds raw layout-6/7 blockette bytes through the decoders.
  int feed(const std::vector<uint8_t> &raw) {
    std::vector<uint8_t> copy = raw;
    unsigned char *p = copy.data();
    int layout = q330_blockette_layout(copy[0]);
    unsigned int *none = nullptr;
    int free_words = 0;
    if (layout == 6) {
      Q330DATABLK6Pkt b{};
      if (q330_decode_DATABLK6(&b, &p, static_cast<int>(copy.size()), &none, &free_words) != 0)
        return -99;
      int r = q330_process_dblk(q330, b.channel, 6, &b);
      free(b.data);
      return r;
    }
    Q330DATABLK7Pkt b{};
    if (q330_decode_DATABLK7(&b, &p, static_cast<int>(copy.size()), &none, &free_words) != 0)
      return -99;
    int r = q330_process_dblk(q330, b.channel, 7, &b);
    free(b.data);
    return r;
  }
  std::vector<std::string> logs() { return cap.rec.lines(); }
};

std::vector<int> walk(std::mt19937 &rng, int n, int start, int spread) {
  std::vector<int> s;
  int x = start;
  for (int i = 0; i < n; i++) {
    x += static_cast<int>(rng() % static_cast<unsigned>(2 * spread + 1)) - spread;
    s.push_back(x);
  }
  return s;
}

bool any_line(const std::vector<std::string> &lines, const std::string &needle) {
  for (const std::string &l : lines)
    if (l.find(needle) != std::string::npos) return true;
  return false;
}

}  // namespace

TEST(Q330Dblk, Tables) {
  q330_dblk_init();
  EXPECT_EQ(q330_dblk[60].channel, 0xFC);
  EXPECT_EQ(q330_dblk[26].channel, 0x98);
  Tbl *t = q330_channel2stdefs(0x98);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(maxtbl(t), 5);
  EXPECT_EQ(q330_channel2stdefs(0x07), nullptr);
  int type = 0;
  auto *d = static_cast<const Q330DataStatusDef *>(q330_get_status_from_name("data_m4", &type));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(type, 2);
  EXPECT_EQ(d->dblk_channel, 0xA1);
  auto *sd = static_cast<const Q330StatusDef *>(q330_get_status_from_name("q330_data_bufr", &type));
  ASSERT_NE(sd, nullptr);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(sd->index, 79);
  q330_dblk_init();  // a second call leaves the indexes as they are
  EXPECT_EQ(sd->index, 79);
  EXPECT_EQ(q330_get_status_from_name("nothing", &type), nullptr);
}

TEST(Q330Dblk, TimeTagsAndClockQuality) {
  struct Row {
    uint32_t seq;
    uint8_t par1;
    uint16_t par2;
    uint32_t par3, par4;
    uint32_t seconds;
    double lcq;
  };
  const double track = 60, locked = 100;
  const Row rows[] = {
      {100, 0xC0, 0, 5, 250000, 105, locked},
      {100, 0x80, 0, 5, 999990, 105, track + (locked - track) * 0.9 * (1 - 5.0 / 95)},
      {100, 0x80, 0, 5, 3, 105, track + (locked - track) * 0.9},
      {100, 0x80, 0, 5, 200, 105, track},
      {100, 0x10, 60, 5, 0, 105, 70},
      {100, 0x10, 200, 5, 0, 105, 20},
      {100, 0x01, 0, 5, 0, 105, 5},
      {100, 0x42, 0, 5, 0, 105, 50},
      {100, 0x40, 0, 5, 0, 105, 5},
      {0xFFFFFFF0u, 0xC0, 0, 0x20, 0, 0x10, locked},           // the sum wraps 32 bits
      {0xFFFFFFFFu, 0xC0, 0, 0, 999999, 0xFFFFFFFFu, locked},  // rounding wraps too
  };
  for (const Row &r : rows) {
    Session s;
    Q330DLParams &p = s.q330->params;
    p.lcq_locked = locked;
    p.lcq_track = track;
    p.lcq_hold = 50;
    p.lcq_off = 10;
    p.lcq_high = 100;
    p.lcq_degrade_time = 2;
    p.lcq_low = 20;
    p.lcq_never = 5;
    s.q330->qdp_sequence = 77;
    ASSERT_EQ(s.timetag(r.seq, r.par1, r.par2, r.par3, r.par4), 0);
    const unsigned char *h = s.q330->data_out;
    EXPECT_EQ(be32(h + 12), r.seconds) << r.seq;
    EXPECT_EQ(be32(h + 16), r.par4);
    EXPECT_EQ(h[3], r.par1);
    EXPECT_DOUBLE_EQ(s.q330->ch98_time, s.q330->epoch_2000 + r.seconds + r.par4 * 1e-6);
    EXPECT_EQ(
        s.q330->ch98_time_q330,
        static_cast<uint32_t>(static_cast<uint64_t>(std::floor(r.seconds + r.par4 * 1e-6 + 0.5)) &
                              0xFFFFFFFFu));
    EXPECT_EQ(s.q330->ch98_time_qdp_sequence_first, 77);
    EXPECT_NEAR(s.q330->ch98_lcq, r.lcq, 1e-9) << int(r.par1) << " " << r.par4;
    // The same blockette yields the clock status block: lcq x 10 first.
    ASSERT_EQ(s.cap.statuses.size(), 1u);
    EXPECT_EQ(s.cap.statuses[0].n, 5);
    EXPECT_EQ(s.cap.statuses[0].entries[0].value, static_cast<uint32_t>(std::lround(r.lcq * 10)));
  }
}

TEST(Q330Dblk, GapAccounting) {
  Session s;
  s.timetag(100, 0xC0, 0, 0, 0);
  s.timetag(101, 0xC0, 0, 0, 0);
  s.timetag(102, 0xC0, 0, 0, 0);
  EXPECT_EQ(s.q330->status.datagap, 0.0);
  EXPECT_DOUBLE_EQ(s.q330->ch98_time_next, s.q330->epoch_2000 + 102);
  s.timetag(103, 0xC0, 0, 0, 500000);      // 0.5 s after ch98_time_next
  EXPECT_EQ(s.q330->status.datagap, 0.0);  // counted when the record is closed
  s.timetag(104, 0xC0, 0, 0, 500000);
  EXPECT_DOUBLE_EQ(s.q330->status.datagap, 0.5);
}

TEST(Q330Dblk, StateOfHealth) {
  struct Row {
    const char *what;
    unsigned char code;
    int layout;
    uint8_t par1;
    uint32_t par2, par3, par4;
    int n;
    std::vector<uint32_t> values;
    std::vector<int> types;
  };
  const Row rows[] = {
      {"gps cold start", 0x00, 1, 4, 2, 0, 0, 2, {4, 2}, {2, 2}},
      {"gps other", 0x00, 1, 5, 2, 0, 0, 1, {5}, {2}},
      {"gps beyond the enumeration", 0x00, 1, 20, 2, 0, 0, 1, {20}, {2}},
      {"temperature sign", 0x80, 1, 0x10, 0xF6, 0, 0, 2, {0x10, 0xFFFFFFF6u}, {2, 2}},
      {"mass positions signed",
       0xA0,
       1,
       0x80,
       0x7F,
       0xFF,
       0,
       3,
       {0xFFFFFF80u, 0x7F, 0xFFFFFFFFu},
       {2, 2, 2}},
      {"pll and quality", 0x98, 5, 0xC5, 0, 0, 0, 5, {0, 5, 3, 0, 0}, {2, 2, 2, 2, 2}},
      {"drift type 8",
       0x98,
       5,
       0xC0,
       7,
       0,
       999990,
       5,
       {0, 0, 3, 7, static_cast<uint32_t>(-10)},
       {2, 2, 2, 2, 2}},
      {"event without value", 0x04, 1, 0xFF, 0, 0, 0, 1, {0}, {2}},
      {"por drift 16 bits", 0x41, 3, 0, 0x12345, 0, 0, 1, {0x2345}, {2}},
      {"aux flags",
       0xD1,
       3,
       0x01 | 0x02 << 2 | 0x03 << 4,
       0x8001,
       0x8002,
       0x8003,
       3,
       {0x8001, 0xFFFF8002u, 0x8003},
       {2, 2, 3}},
      {"aux flag 0", 0xD2, 3, 0, 1, 2, 3, 3, {1, 2, 3}, {3, 3, 3}},
      {"battery reads par2 twice", 0xC0, 3, 0x05, 0x33, 0, 0, 3, {5, 0x33, 0x33}, {2, 2, 2}},
  };
  for (const Row &r : rows) {
    Session s;
    s.q330->ch98_time = 1000;
    Q330DATABLK1Pkt b1{r.code, r.par1, static_cast<uint8_t>(r.par2), static_cast<uint8_t>(r.par3)};
    Q330DATABLK3Pkt b3{r.code, r.par1, static_cast<uint16_t>(r.par2), static_cast<uint16_t>(r.par3),
                       static_cast<uint16_t>(r.par4)};
    Q330DATABLK5Pkt b5{r.code, r.par1, static_cast<uint16_t>(r.par2), r.par3, r.par4};
    void *blk = r.layout == 1   ? static_cast<void *>(&b1)
                : r.layout == 3 ? static_cast<void *>(&b3)
                                : static_cast<void *>(&b5);
    ASSERT_EQ(q330_process_dblk(s.q330, r.code, r.layout, blk), 0) << r.what;
    ASSERT_EQ(s.cap.statuses.size(), 1u) << r.what;
    const Q330DataStatus &ds = s.cap.statuses[0];
    EXPECT_EQ(ds.n, r.n) << r.what;
    for (int i = 0; i < r.n && i < static_cast<int>(r.values.size()); i++) {
      EXPECT_EQ(ds.entries[i].value, r.values[static_cast<size_t>(i)]) << r.what << " " << i;
      EXPECT_EQ(ds.entries[i].type, r.types[static_cast<size_t>(i)]) << r.what << " " << i;
    }
  }
}

TEST(Q330Dblk, SerialSensorAndSmallUnit) {
  Session s;
  Q330SCHANSTATPkt &sc = s.q330->status.status_pkt.schan;
  sc.number_of_subblocks = 2;
  sc.subblock[1].sensor_type = 1;
  sc.subblock[1].calibT = 0.01;
  snprintf(sc.subblock[1].segtypeT, 4, "t");
  sc.filled[1] = 1;
  sc.subblock[0].sensor_type = 1;  // a slot the last answer did not fill
  sc.subblock[0].calibT = 9;
  sc.filled[0] = 0;
  Q330DATABLK5Pkt b{0x93, 7, 20, 1234, 0};
  ASSERT_EQ(q330_process_dblk(s.q330, 0x93, 5, &b), 0);
  b.channel = 0x92;
  ASSERT_EQ(q330_process_dblk(s.q330, 0x92, 5, &b), 0);
  ASSERT_EQ(s.cap.statuses.size(), 2u);
  const Q330DataStatusEntry &e = s.cap.statuses[0].entries[0];
  EXPECT_EQ(e.value, 1234u);
  EXPECT_EQ(e.dt, 7);
  EXPECT_DOUBLE_EQ(e.delay, 0.1);
  EXPECT_DOUBLE_EQ(e.calib, 0.01);
  EXPECT_STREQ(e.segtype, "t");
  EXPECT_DOUBLE_EQ(s.cap.statuses[1].entries[0].calib, 0.0);
  EXPECT_STREQ(s.cap.statuses[1].entries[0].segtype, "-");

  s.q330->unit_nchannels = 3;
  Q330DATABLK1Pkt m{0xA1, 1, 2, 3};
  EXPECT_EQ(q330_process_dblk(s.q330, 0xA1, 1, &m), 0);
  EXPECT_EQ(s.cap.statuses.size(), 2u);
  ElogCapture elog;
  EXPECT_EQ(q330_process_dblk(s.q330, 0x07, 1, &m), -1);
  EXPECT_TRUE(elog.contains("Processing for channel 0x07 not defined"));
}

TEST(Q330Dblk, RecordsMatchCompressorInput) {
  Session s;
  s.q330->params.q330_serial_number = strdup("0100000A12345678");
  std::mt19937 rng(7);
  std::vector<int> sent6 = walk(rng, 40, 1000, 300);
  std::vector<int> sent7 = walk(rng, 400, -5000, 100000);
  std::vector<uint8_t> b6;
  ASSERT_EQ(q330sim_frames_blk6(4, 2, sent6.data(), 40, 1000, {}, &b6), 0);
  std::vector<std::vector<uint8_t>> segs;
  ASSERT_EQ(q330sim_frames_blk7(1, 3, sent7.data(), 400, -5000, {}, 200, &segs), 0);
  ASSERT_GT(segs.size(), 3u);
  s.timetag(500, 0xC0, 0, 0, 0);
  s.q330->qdp_sequence = 9;
  EXPECT_EQ(s.feed(b6), 0);
  for (size_t i = segs.size(); i-- > 0;) EXPECT_EQ(s.feed(segs[i]), 0);  // reversed order
  EXPECT_EQ(s.single(2, 1, -77), 0);
  EXPECT_EQ(s.single(5, 0, 12), 0);  // slower than 1 Hz: the 0.1 Hz stream
  Q330Chan ep{};
  ep.filter_delay = 33;
  s.q330->params.ep_channels[3] = &ep;
  Q330DATABLKEP1Pkt e1{0xFC, 3, 8, -9};
  EXPECT_EQ(q330_process_dblk(s.q330, 0xFC, 13, &e1), 0);
  // EP2: the layout-6 bytes under code 0xFC; its count is the configured rate of the EP
  // channel (here the block's own 40), whatever the block holds.
  ep.samprate = 40;
  std::vector<uint8_t> raw = b6;
  raw[0] = 0xFC;
  raw[1] = 3;
  Q330DATABLKEP2Pkt e2{};
  unsigned char *cur = raw.data();
  unsigned int *none = nullptr;
  int free_words = 0;
  ASSERT_EQ(q330_decode_DATABLKEP2(&e2, &cur, static_cast<int>(raw.size()), &none, &free_words), 0);
  EXPECT_EQ(q330_process_dblk(s.q330, 0xFC, 14, &e2), 0);
  e2.epchannel = 4;  // no such EP channel
  EXPECT_EQ(q330_process_dblk(s.q330, 0xFC, 14, &e2), -1);
  free(e2.data);
  s.timetag(501, 0xC0, 0, 0, 0);
  free(s.q330->params.q330_serial_number);
  s.q330->params.q330_serial_number = nullptr;

  ASSERT_EQ(s.cap.records.size(), 1u);
  Record rec = parse(s.cap.records[0]);
  EXPECT_EQ(rec.seconds, 500u);
  EXPECT_EQ(rec.sn_high, 0x0100000Au);  // filled on the first delivery
  EXPECT_EQ(rec.sn_low, 0x12345678u);
  ASSERT_EQ(rec.nchans, 6);
  ASSERT_EQ(rec.entries.size(), 6u);
  const Entry &c6 = rec.entries[0];
  EXPECT_EQ(c6.channel, 4);
  EXPECT_EQ(c6.stream, 2);
  EXPECT_EQ(c6.filter_delay, 202u);
  EXPECT_EQ(c6.nsamp, 40);
  EXPECT_EQ(c6.qdp_sequence, 9);
  EXPECT_EQ(expand(c6), sent6);
  const Entry &c7 = rec.entries[1];
  EXPECT_EQ(c7.channel, 1);
  EXPECT_EQ(c7.stream, 3);
  EXPECT_EQ(c7.nsamp, 400);
  EXPECT_EQ(expand(c7), sent7);
  EXPECT_EQ(rec.entries[2].stream, 0);
  EXPECT_EQ(rec.entries[2].nsamp, 1);
  EXPECT_EQ(rec.entries[2].value, -77);
  EXPECT_EQ(rec.entries[2].size, 18);
  EXPECT_EQ(rec.entries[3].stream, 4);
  EXPECT_EQ(rec.entries[3].nsamp, -10);
  EXPECT_EQ(rec.entries[4].channel, 3);
  EXPECT_EQ(rec.entries[4].stream, 10);
  EXPECT_EQ(rec.entries[4].filter_delay, 33u);
  EXPECT_EQ(rec.entries[4].value, -9);
  EXPECT_EQ(rec.entries[5].channel, 3);
  EXPECT_EQ(rec.entries[5].stream, 10);
  EXPECT_EQ(rec.entries[5].nsamp, 40);
  EXPECT_EQ(expand(rec.entries[5]), sent6);
}

// EP2 entries take their count from the parameter file's EP channel, not from the block:
// a channel configured at 1 sample per second says 1 even when the block holds 40.
TEST(Q330Dblk, Ep2CountIsTheConfiguredRate) {
  std::mt19937 rng(11);
  std::vector<int> sent = walk(rng, 40, 0, 200);
  std::vector<uint8_t> raw;
  ASSERT_EQ(q330sim_frames_blk6(0, 0, sent.data(), 40, 0, {}, &raw), 0);
  raw[0] = 0xFC;
  raw[1] = 2;
  struct Row {
    int samprate;
    int nsamp;
  } rows[] = {{40, 40}, {1, 1}, {10, 10}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.samprate);
    Session s;
    Q330Chan ep{};
    ep.samprate = r.samprate;
    s.q330->params.ep_channels[2] = &ep;
    Q330DATABLKEP2Pkt e2{};
    std::vector<uint8_t> bytes = raw;
    unsigned char *cur = bytes.data();
    unsigned int *none = nullptr;
    int free_words = 0;
    ASSERT_EQ(q330_decode_DATABLKEP2(&e2, &cur, static_cast<int>(bytes.size()), &none, &free_words),
              0);
    s.timetag(700, 0xC0, 0, 0, 0);
    EXPECT_EQ(q330_process_dblk(s.q330, 0xFC, 14, &e2), 0);
    s.timetag(701, 0xC0, 0, 0, 0);
    free(e2.data);
    ASSERT_EQ(s.cap.records.size(), 1u);
    Record rec = parse(s.cap.records[0]);
    ASSERT_EQ(rec.entries.size(), 1u);
    EXPECT_EQ(rec.entries[0].stream, 10);
    EXPECT_EQ(rec.entries[0].nsamp, r.nsamp);
  }
}

TEST(Q330Dblk, SplitSegments) {
  std::mt19937 rng(3);
  std::vector<int> samples = walk(rng, 300, 0, 5000);
  std::vector<std::vector<uint8_t>> segs;
  ASSERT_EQ(q330sim_frames_blk7(0, 1, samples.data(), 300, 0, {}, 120, &segs), 0);
  ASSERT_GE(segs.size(), 4u);
  size_t n = segs.size();
  struct Row {
    const char *what;
    std::vector<size_t> order;  // indexes into segs; n + k: segment k under the next sequence
    int entries;
  };
  std::vector<size_t> all, dup_missing, later;
  for (size_t i = 0; i < n; i++) all.push_back(i);
  // A duplicate of segment 0 in place of segment 1, then the last one.
  dup_missing = {0, 0, 2};
  for (size_t i = 3; i < n; i++) dup_missing.push_back(i);
  for (size_t i = 0; i + 1 < n; i++) later.push_back(i);  // all but the last...
  for (size_t i = 0; i < n; i++) later.push_back(n + i);  // ...then the next record's whole
  std::vector<size_t> shuffled = all;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  std::vector<size_t> with_dup = all;
  with_dup.insert(with_dup.begin() + 1, 2);
  const Row rows[] = {
      {"in order", all, 1},
      {"shuffled", shuffled, 1},
      {"with a duplicate", with_dup, 1},
      {"duplicate in place of a missing one", dup_missing, 0},
      {"overtaken by a later sequence", later, 1},
  };
  for (const Row &r : rows) {
    Session s;
    s.timetag(10, 0xC0, 0, 0, 0);
    for (size_t k : r.order) {
      s.q330->data_record_sequence = k >= n ? 11 : 10;
      EXPECT_EQ(s.feed(segs[k % n]), 0) << r.what;
    }
    EXPECT_EQ(s.q330->data_out_nchans, r.entries) << r.what;
    if (r.entries == 1) {
      s.q330->data_record_sequence = 12;
      Record rec;
      q330_flush_data(s.q330, 1, 0);
      ASSERT_EQ(s.cap.records.size(), 1u) << r.what;
      rec = parse(s.cap.records[0]);
      ASSERT_EQ(rec.entries.size(), 1u);
      EXPECT_EQ(expand(rec.entries[0]), samples) << r.what;
    }
    if (std::string(r.what) == "overtaken by a later sequence") {
      EXPECT_TRUE(any_line(s.logs(), "Split data for c=0 st=1 discarded due to missing segments."));
    }
  }
}

TEST(Q330Dblk, SplitHostileOffsetAndOversize) {
  Session s;
  s.timetag(10, 0xC0, 0, 0, 0);
  ElogCapture elog;
  // One last segment whose data offset points past its own bytes.
  std::vector<uint8_t> seg = {0xF0, 0x00, 0x80, 16, 0, 0, 0, 1, 0x03, 0xE8, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(s.feed(seg), -1);
  seg[8] = 0;
  seg[9] = 4;  // below 10
  EXPECT_EQ(s.feed(seg), -1);
  EXPECT_EQ(s.q330->data_out_nchans, 0);
  EXPECT_TRUE(any_line(s.logs(), "dropped: bad data offset"));
  // 5 segments of 1000 bytes join to more than 1000 words.
  for (int k = 0; k < 5; k++) {
    std::vector<uint8_t> big(1004, 0);
    big[0] = 0xF0;
    big[1] = static_cast<uint8_t>(k << 3);
    big[2] = static_cast<uint8_t>((k == 4 ? 0x80 : 0) | (1004 >> 8));
    big[3] = 1004 & 0xFF;
    if (k == 0) big[9] = 10;
    int r = s.feed(big);
    EXPECT_EQ(r, k == 4 ? -1 : 0) << k;
  }
  EXPECT_TRUE(elog.contains("data buffer too small for"));
  EXPECT_EQ(s.q330->data_out_nchans, 0);
}

TEST(Q330Dblk, BusyProbeAndClose) {
  ClockScale fast(0.001);
  Session s;
  s.timetag(100, 0xC0, 0, 0, 0);
  s.single(0, 1, 5);
  s.cap.rec.busy = 11;
  EXPECT_EQ(s.timetag(101, 0xC0, 0, 0, 0), 15);
  EXPECT_EQ(s.cap.records.size(), 0u);
  EXPECT_EQ(s.q330->data_out_nchans, 1);
  EXPECT_DOUBLE_EQ(s.q330->ch98_time, s.q330->epoch_2000 + 100);
  s.cap.rec.busy = 10;
  EXPECT_EQ(s.timetag(101, 0xC0, 0, 0, 0), 0);
  EXPECT_EQ(s.cap.records.size(), 1u);

  // Close (deliver without clearing), then the next time tag: nothing twice.
  s.single(1, 1, 6);
  EXPECT_EQ(q330_flush_data(s.q330, 1, 0), 0);
  ASSERT_EQ(s.cap.records.size(), 2u);
  EXPECT_EQ(parse(s.cap.records[1]).seconds, 101u);
  EXPECT_DOUBLE_EQ(s.q330->ch98_time, s.q330->epoch_2000 + 101);
  s.timetag(102, 0xC0, 0, 0, 0);
  EXPECT_EQ(s.cap.records.size(), 2u);
}

TEST(Q330Dblk, LogSuppression) {
  Session s;
  s.q330->ch98_time = s.q330->epoch_2000 + 0.6;
  q330_output_log(s.q330, 31, "same %d\n", 1);
  q330_output_log(s.q330, 31, "same %d\n", 1);
  q330_output_log(s.q330, -1, "again\n");
  q330_output_log(s.q330, -1, "again\n");
  q330_output_log(s.q330, 31, "other\n");
  std::vector<std::string> l = s.logs();
  ASSERT_EQ(l.size(), 4u);
  EXPECT_NE(l[0].find("LOG: 2000001 00:00:01: same 1"), std::string::npos) << l[0];
  EXPECT_EQ(s.q330->log_buffer[31].msg, "other\n");
  EXPECT_NE(l[1].find("again"), std::string::npos);
  EXPECT_NE(l[2].find("again"), std::string::npos);
}

TEST(Q330Dblk, RateCodes) {
  ElogCapture elog;
  struct Two {
    double rate;
    int byte;  // -1 fails
  };
  const Two to_byte[] = {{0, 0},    {0.1, 0xFF}, {1, 1},    {125, 125}, {200, 0x84}, {1000, 0x8A},
                         {0.5, -1}, {126, -1},   {150, -1}, {-1, -1},   {NAN, -1}};
  for (const Two &r : to_byte) {
    unsigned char b = 0x55;
    EXPECT_EQ(q330_samprate2byte(r.rate, &b), r.byte < 0 ? -1 : 0) << r.rate;
    EXPECT_EQ(b, r.byte < 0 ? 0x55 : r.byte) << r.rate;
  }
  const Two to_rate[] = {{0, 0},       {0.1, 0xFF}, {125, 125}, {200, 0x84}, {800, 0x89},
                         {1000, 0x8A}, {200, 0x94}, {-1, 0x7E}, {-1, 0x80},  {-1, 0x8B}};
  for (const Two &r : to_rate) {
    double rate = -5;
    EXPECT_EQ(q330_byte2samprate(static_cast<unsigned char>(r.byte), &rate), r.rate < 0 ? -1 : 0)
        << r.byte;
    EXPECT_EQ(rate, r.rate < 0 ? -5 : r.rate) << r.byte;
  }
  EXPECT_TRUE(elog.contains("q330_byte2samprate: illegal byte_frequency value (0x7e)."));
  EXPECT_TRUE(elog.contains("q330_samprate2byte: illegal samprate value (0.500)."));
}

TEST(Q330Dblk, ChannelDefinitions) {
  Session s;
  ElogCapture elog;
  Q330FIXPkt &fix = s.q330->config.config_pkt.fix;
  Q330LOGPkt log{};
  log.channel_freqs[4] = 0x0A;  // streams 1 and 3
  Q330ChannelDef d{};
  EXPECT_EQ(q330_get_channel_def_from_LOG(s.q330, &fix, &log, 4, 0, &d), 0);
  ASSERT_EQ(q330_get_channel_def_from_LOG(s.q330, &fix, &log, 4, 3, &d), 1);
  EXPECT_EQ(d.physical, 4);
  EXPECT_EQ(d.stream, 3);
  EXPECT_EQ(d.samprate, 200);
  EXPECT_EQ(d.tdelay, 203);
  EXPECT_EQ(q330_get_channel_def_from_LOG(s.q330, &fix, &log, 6, 0, &d), -1);
  EXPECT_EQ(q330_get_channel_def_from_LOG(s.q330, &fix, &log, 0, 8, &d), -1);
  s.q330->unit_nchannels = 3;
  EXPECT_EQ(q330_get_channel_def_from_LOG(s.q330, &fix, &log, 4, 3, &d), -1);
  s.q330->unit_nchannels = 6;
  fix.bit_frequency[1] = 0x80;
  EXPECT_EQ(q330_get_channel_def_from_LOG(s.q330, &fix, &log, 4, 1, &d), 0);

  Q330ChannelDef c{2, 0, 40, 0};
  EXPECT_EQ(q330_chg_channel_def_to_LOG(s.q330, &fix, &c, &log, 2), 1);
  EXPECT_EQ(log.channel_freqs[2], 1u << 2);
  EXPECT_EQ(q330_chg_channel_def_to_LOG(s.q330, &fix, &c, &log, 1), 1);
  EXPECT_EQ(log.channel_freqs[2], 0u);
  EXPECT_EQ(q330_chg_channel_def_to_LOG(s.q330, &fix, &c, &log, 3), -1);
  c.samprate = 50;
  EXPECT_EQ(q330_chg_channel_def_to_LOG(s.q330, &fix, &c, &log, 2), -1);
  EXPECT_TRUE(elog.contains("Cannot find bit_frequency 0x32"));
  c.samprate = 0.5;
  EXPECT_EQ(q330_chg_channel_def_to_LOG(s.q330, &fix, &c, &log, 2), -1);
  c.physical = 6;
  EXPECT_EQ(q330_chg_channel_def_to_LOG(s.q330, &fix, &c, &log, 2), -1);
}

TEST(Q330Dblk, ConfigurationChange) {
  Q330FIXPkt want{};
  want.qapchp_2_serial_number = 0;
  const uint8_t codes[8] = {1, 10, 40, 0x84, 0xFF, 20, 0, 0};
  for (int i = 0; i < 8; i++) want.bit_frequency[i] = codes[i];
  for (uint32_t serial2 : {0u, 77u}) {
    Session s;
    s.q330->params.verbose_log = 2;
    s.q330->config.config_pkt.log.channel_freqs[0] = 0x3;
    s.q330->config.config_pkt.log.channel_freqs[4] = 0x8;
    want.qapchp_2_serial_number = serial2;
    Q330DATABLKBPkt b{};
    b.channel = 0xFB;
    b.structure_type = 2;
    b.blockette_size = 4 + 188;
    unsigned char *p = b.data;
    ASSERT_EQ(q330_stuff_qpkt(0xA7, &p, &want), 0);
    ASSERT_EQ(q330_process_dblk(s.q330, 0xFB, 11, &b), 0);
    EXPECT_EQ(s.q330->unit_nchannels, serial2 ? 6 : 3);
    EXPECT_EQ(s.q330->nchans, serial2 ? 3 : 2);
    EXPECT_EQ(s.q330->chan_defs[1].stream, 1);
    EXPECT_EQ(s.q330->chan_defs[1].samprate, 10);
    EXPECT_TRUE(any_line(s.logs(), "Data port configuration change received: FIX."));

    b.structure_type = 1;
    b.blockette_size = 4 + 160;
    memset(b.data, 0, 160);
    b.data[0] = 0x1F;  // clock_timeout 8080
    b.data[1] = 0x90;
    ASSERT_EQ(q330_process_dblk(s.q330, 0xFB, 11, &b), 0);
    EXPECT_EQ(s.q330->config.config_pkt.glob.clock_timeout, 8080);
    b.structure_type = 9;
    ASSERT_EQ(q330_process_dblk(s.q330, 0xFB, 11, &b), 0);
    EXPECT_TRUE(any_line(s.logs(), "Data port configuration change received: Unknown."));
  }
}

TEST(Q330Dblk, Calibration) {
  Session s;
  PacketDef *pd = reinterpret_cast<PacketDef *>(&s);  // any non-null definition
  Q330Chan &c = s.q330->params.data_chan[2][1];
  c.outputthischan = 1;
  c.user_data = pd;
  snprintf(c.chan, sizeof c.chan, "BHZ");
  s.timetag(100, 0xC0, 0, 0, 0);
  s.q330->calcache.starting_time = 100;
  s.q330->calcache.waveform = 0x43;
  s.q330->calcache.settling_time = 7;
  Q330DATABLK8Pkt cal{};
  cal.channel = 0xF8;
  cal.waveform = 0x43;
  cal.amplitude = 2;
  cal.duration = 30;
  cal.calibration_bitmap = 0x2;
  cal.monitor_bitmap = 0x2;
  cal.frequency_divider = 4;
  ASSERT_EQ(q330_process_dblk(s.q330, 0xF8, 8, &cal), 0);
  ASSERT_EQ(s.q330->cal_rows.size(), 1u);
  const Q330CalRow &r = s.q330->cal_rows[0];
  EXPECT_EQ(r.chan, "BHZ");
  EXPECT_EQ(r.type, "step,neg");
  EXPECT_EQ(r.input, "d");
  EXPECT_EQ(r.samprate, 40);
  EXPECT_DOUBLE_EQ(r.amplitude, 1.25);
  EXPECT_DOUBLE_EQ(r.frequency, 0.25);
  EXPECT_EQ(r.settle, 7);
  EXPECT_DOUBLE_EQ(r.endtime - r.time, 30);
  EXPECT_EQ(r.calseq, "XX_STA-2000001:00:01:40");
  EXPECT_STREQ(s.q330->lastcal_calseq, "XX_STA-2000001:00:01:40");
  EXPECT_TRUE(any_line(s.logs(), "Calibration start: waveform=0x43, amplitude=2, duration=30"));

  s.timetag(110, 0xC0, 0, 0, 0);
  Q330DATABLK9Pkt ab{0xF9, 0, 0x2, 0x0, 0};
  ASSERT_EQ(q330_process_dblk(s.q330, 0xF9, 9, &ab), 0);
  ASSERT_EQ(s.q330->cal_rows.size(), 1u);
  EXPECT_EQ(s.q330->cal_rows[0].error, "err");
  EXPECT_EQ(s.q330->cal_rows[0].input, "s");
  EXPECT_EQ(s.q330->cal_rows[0].calseq, "XX_STA-2000001:00:01:40");
  EXPECT_STREQ(s.q330->lastcal_calseq, "");
  ASSERT_EQ(q330_process_dblk(s.q330, 0xF9, 9, &ab), 0);  // nothing on record
  EXPECT_TRUE(s.q330->cal_rows.empty());
}
