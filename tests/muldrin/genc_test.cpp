// Waveform packets from data records: compressed and slow-rate entries, records without a
// time tag, entries without samples, the EP filter delay, and the link-overlap trim across
// a flush request.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/bigendian.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "calibfixture.h"
#include "muldrin.h"
#include "muldrin_genc.h"
#include "packet/pkt.h"
#include "parse_pf.h"
#include "q330_dblk.h"
#include "q330_fixture.h"
#include "q330sim_frames.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

namespace {

struct Chan {
  std::string sta;
  double time, samprate;
  std::vector<int32_t> data;
};

struct Entry {
  int channel, stream, nsamp;
  int32_t value;
  uint32_t filter_delay;
  std::vector<int> samples;  // compressed when more than one
};

std::vector<unsigned char> record(uint32_t seconds, const std::vector<Entry> &entries) {
  std::vector<unsigned char> r(Q330_DATA_RECORD_HEADER, 0);
  be_put16(&r[0], static_cast<uint16_t>(entries.size()));
  be_put32(&r[12], seconds);
  for (const Entry &e : entries) {
    std::vector<uint8_t> map, words;
    if (e.samples.size() > 1) {
      EXPECT_EQ(q330sim_frames_pack(e.samples.data(), static_cast<int>(e.samples.size()), e.value,
                                    {}, &map, &words),
                0);
    }
    size_t size = 16 + map.size() + words.size() + 2;
    std::vector<unsigned char> b(size, 0);
    b[0] = static_cast<unsigned char>(e.channel);
    b[1] = static_cast<unsigned char>(e.stream);
    be_put16(&b[2], static_cast<uint16_t>(size));
    be_put32(&b[4], e.filter_delay);
    be_put16(&b[8], static_cast<uint16_t>(static_cast<int16_t>(e.nsamp)));
    be_put16(&b[10], static_cast<uint16_t>(16 + map.size()));
    be_put32(&b[12], static_cast<uint32_t>(e.value));
    std::copy(map.begin(), map.end(), b.begin() + 16);
    std::copy(words.begin(), words.end(), b.begin() + 16 + static_cast<long>(map.size()));
    be_put16(&b[size - 2], 77);
    r.insert(r.end(), b.begin(), b.end());
  }
  return r;
}

// A session's user_data is its packet-definition list here, so the log lines go to a
// plain list of this test.
std::vector<std::string> g_lines;
int keep_lines(Q330 *, int type, void *data, int) {
  if (type == Q330_OUT_LOG || type == Q330_OUT_STDOUT) {
    g_lines.push_back(static_cast<char *>(data));
    free(data);
  } else if (type == Q330_OUT_TIME) {
    free(data);
  }
  return 0;
}

class Genc : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("r.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 22), 0);
    tag_.orbw = orbopen(path_.c_str(), "w");
    r_ = orbopen(path_.c_str(), "r");
    q_ = q330_create(keep_lines, nullptr);
    g_lines.clear();
    defs_ = newtbl(4);
    for (PacketDef &d : pdefs_) {
      d.orbtag = &tag_;
      strcpy(d.suffix, "GENC");
      d.twin = 1;
      pushtbl(defs_, &d);
    }
    q_->user_data = defs_;
    chan(&q_->params.data_chan[0][0], "AAA", &pdefs_[0]);
    chan(&q_->params.data_chan[1][0], "BBB", &pdefs_[1]);
    ep_.ep_channel = 3;
    chan(&ep_, "EEE", &pdefs_[2]);
    ep_.outputthischan = 0;  // EP channels are written whatever the flag
    q_->params.ep_channels[3] = &ep_;
  }
  void TearDown() override {
    for (PacketDef &d : pdefs_) freePkt(d.pkt);
    freetbl(defs_, nullptr);
    free_session(q_);
    orbclose(r_);
    orbclose(tag_.orbw);
  }
  static void chan(Q330Chan *c, const char *sta, PacketDef *d) {
    c->outputthischan = 1;
    c->user_data = d;
    c->calib = 1;
    strcpy(c->net, "XX");
    strcpy(c->sta, sta);
    strcpy(c->chan, "BHZ");
    strcpy(c->segtype, "V");
    snprintf(c->channel_name, sizeof c->channel_name, "%s", sta);
  }
  std::vector<Chan> reap() {
    std::vector<Chan> got;
    char *buf = nullptr;
    int bufsize = 0, nbytes = 0, id = 0;
    char src[ORBSRCNAME_SIZE];
    double t = 0;
    while (orbreap_nd(r_, &id, src, &t, &buf, &nbytes, &bufsize) == 0) {
      Packet *p = nullptr;
      EXPECT_EQ(unstuffPkt(src, t, buf, nbytes, &p), 1);
      for (int i = 0; p && i < p->nchannels; i++) {
        auto *c = static_cast<PktChannel *>(gettbl(p->channels, i));
        got.push_back({c->sta, c->time, c->samprate, {c->data, c->data + c->nsamp}});
      }
      freePkt(p);
    }
    free(buf);
    return got;
  }
  int put(std::vector<unsigned char> r) {
    // The callback would own the record; q330_genc_orbpkts only reads it.
    return q330_genc_orbpkts(q_, r.data(), static_cast<int>(r.size()));
  }
  TempDir dir_;
  std::string path_;
  Orbtag tag_;
  int r_ = -1;
  Q330 *q_ = nullptr;
  PacketDef pdefs_[3] = {};
  Tbl *defs_ = nullptr;
  Q330Chan ep_{};
};

std::vector<int> ramp(int n, int start) {
  std::vector<int> v;
  for (int i = 0; i < n; i++) v.push_back(start + i * i - 3 * i);
  return v;
}

TEST_F(Genc, CompressedSlowAndEpEntries) {
  std::vector<int> a = ramp(100, 1000);
  ASSERT_EQ(
      put(record(100, {{0, 0, 100, 990, 0, a}, {0, 1, -10, 42, 0, {}}, {3, 10, 1, -7, 5, {}}})), 0);
  std::vector<Chan> got = reap();
  ASSERT_EQ(got.size(), 3u);
  const double t = 100 + q_->epoch_2000;
  EXPECT_EQ(got[0].sta, "AAA");
  EXPECT_EQ(got[0].time, t);
  EXPECT_EQ(got[0].samprate, 100);
  EXPECT_EQ(got[0].data, std::vector<int32_t>(a.begin(), a.end()));
  EXPECT_EQ(got[1].sta, "BBB");
  EXPECT_DOUBLE_EQ(got[1].samprate, 0.1);
  EXPECT_EQ(got[1].data, std::vector<int32_t>{42});
  EXPECT_EQ(got[2].sta, "EEE");
  EXPECT_NEAR(got[2].time, t - 0.0001, 1e-6);  // filter delay 5 x 20 us
  EXPECT_EQ(got[2].data, std::vector<int32_t>{-7});
}

TEST_F(Genc, BadRecordsAndEntries) {
  EXPECT_EQ(put(record(0, {{0, 1, 1, 5, 0, {}}})), -1);  // no time tag
  EXPECT_TRUE(reap().empty());
  // No samples, and an expansion count that disagrees: skipped; the good entry goes on.
  std::vector<int> a = ramp(50, 0);
  ASSERT_EQ(put(record(100, {{0, 0, 0, 1, 0, {}}, {0, 0, 60, 0, 0, a}, {0, 1, 1, 8, 0, {}}})), 0);
  std::vector<Chan> got = reap();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].sta, "BBB");
  ASSERT_EQ(g_lines.size(), 1u);
  EXPECT_NE(g_lines[0].find("no samples"), std::string::npos) << g_lines[0];
  std::vector<unsigned char> shortrec(10, 0);
  EXPECT_EQ(put(shortrec), -1);
}

TEST_F(Genc, OverlapTrimAfterFlushRequest) {
  for (int trim : {1, 0}) {
    SCOPED_TRACE(trim);
    q_->params.trim_link_overlaps = trim;
    q_->params.data_chan[1][0].last_link_time = 0;
    q_->params.data_chan[1][0].last_output_time = 0;
    ASSERT_EQ(put(record(200, {{0, 1, 1, 8, 0, {}}})), 0);
    EXPECT_EQ(reap().size(), 1u);
    q330_write_flush(q_);
    ASSERT_EQ(put(record(200, {{0, 1, 1, 8, 0, {}}})), 0);  // the same record again
    ASSERT_EQ(put(record(20, {{0, 1, 1, 8, 0, {}}})), 0);   // long before: not trimmed
    EXPECT_EQ(reap().size(), trim ? 1u : 2u);
  }
}

// Calibration from the site database: a channel found takes its calib; a lookup that fails
// gives calib 0 and segtype "V" with a complaint, not the values of the last good lookup.
TEST_F(Genc, CalibrationLookup) {
  SiteDb db;
  ASSERT_TRUE(db.ok());
  const double t = 100 + q_->epoch_2000;
  db.table("site", {{"AAA", "1999001", "-1", "1.0", "2.0", "0.1"}});
  db.table("sensor", {{"AAA", "BHZ", tt(t - 3600), "-1", "1"}});
  db.table("instrument", {{"1", "paz", "resp", "bhz.resp"}});
  db.table("calibration", {{"AAA", "BHZ", tt(t - 3600), "-1", "1.5", "2.0"}});
  Muldrin m;
  m.calib_stuff = pktchannelcalib_new(db.path.c_str(), 1, 0, 0);
  ASSERT_NE(m.calib_stuff, nullptr);
  q_->muldrin = &m;
  Q330Chan *c = &q_->params.data_chan[1][0];
  c->calibfromdb = 1;
  struct Row {
    const char *sta;
    double calib, calper;
    const char *segtype;
    bool complaint;
  } rows[] = {
      {"AAA", 1.5, 2.0, "paz", false},
      {"A\"B'C", 0, 0, "V", true},  // a name the lookup cannot quote
      {"AAA", 1.5, 2.0, "paz", false},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.sta);
    ElogCapture log;
    strcpy(c->sta, r.sta);
    ASSERT_EQ(put(record(100, {{0, 1, 1, 8, 0, {}}})), 0);
    reap();
    EXPECT_DOUBLE_EQ(c->calib, r.calib);
    EXPECT_DOUBLE_EQ(c->calper, r.calper);
    EXPECT_STREQ(c->segtype, r.segtype);
    EXPECT_EQ(log.contains("q330_genc_orbpkts: pktchannelcalib_new() error."), r.complaint)
        << log.text();
  }
  q_->muldrin = nullptr;
  pktchannelcalib_free(m.calib_stuff);
  m.calib_stuff = nullptr;
}

}  // namespace
