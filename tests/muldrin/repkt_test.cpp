// muldrin's repackager against a real ring: a window completed by the record tagged at its
// end, unknown suffixes and bad counts. The shared rules (edges, segments, calibration
// changes, rates) are covered with the shared repackager in tests/ringsvc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "packet/pkt.h"
#include "q330_repkt.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

namespace {

struct Chan {
  std::string sta, chan;
  double time, samprate, calib;
  std::vector<int32_t> data;
};
struct Pkt {
  std::string srcname;
  std::vector<Chan> chans;
};

class Repkt : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("r.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 22), 0);
    w_ = orbopen(path_.c_str(), "w");
    r_ = orbopen(path_.c_str(), "r");
    ASSERT_GE(w_, 0);
    ASSERT_GE(r_, 0);
  }
  void TearDown() override {
    for (Q330RepktBuf *b : made_) q330_repkt_free(b);
    orbclose(r_);
    orbclose(w_);
  }
  std::vector<Pkt> reap() {
    std::vector<Pkt> got;
    char *buf = nullptr;
    int bufsize = 0, nbytes = 0, id = 0;
    char src[ORBSRCNAME_SIZE];
    double t = 0;
    while (orbreap_nd(r_, &id, src, &t, &buf, &nbytes, &bufsize) == 0) {
      Packet *p = nullptr;
      EXPECT_EQ(unstuffPkt(src, t, buf, nbytes, &p), 1) << src;
      Pkt k{src, {}};
      for (int i = 0; p && i < p->nchannels; i++) {
        auto *c = static_cast<PktChannel *>(gettbl(p->channels, i));
        k.chans.push_back(
            {c->sta, c->chan, c->time, c->samprate, c->calib, {c->data, c->data + c->nsamp}});
      }
      freePkt(p);
      got.push_back(k);
    }
    free(buf);
    return got;
  }
  // One second of channel sta/chan at `rate` from t, values t*1000 + i.
  static std::vector<int32_t> second(double t, int n) {
    std::vector<int32_t> v;
    for (int i = 0; i < n; i++) v.push_back(static_cast<int32_t>(t * 1000) + i);
    return v;
  }
  int put(Q330RepktBuf *b, double tag, const char *sta, double t, double dt, int n,
          double calib = 1.0, double twin = 10) {
    std::vector<int32_t> v = second(t, n);
    return q330_repkt_put(b, tag, twin, "XX", sta, "BHZ", "", t, dt, calib, 1.0, "V", n, v.data());
  }
  Q330RepktBuf *make(const char *suffix, const char *subcode) {
    Q330RepktBuf *b = q330_repkt_create(suffix, subcode, w_);
    if (b) made_.push_back(b);
    return b;
  }
  TempDir dir_;
  std::string path_;
  int w_ = -1, r_ = -1;
  std::vector<Q330RepktBuf *> made_;
  const double T0 = 1.6e9;
};

TEST_F(Repkt, TenSecondWindowEmitsOnTheRecordAtItsEnd) {
  Q330RepktBuf *b = make("MGENC", "sub");
  ASSERT_NE(b, nullptr);
  for (int s = 0; s < 10; s++) {
    ASSERT_EQ(put(b, T0 + s, "A", T0 + s, 0.01, 100), 0);
    ASSERT_EQ(put(b, T0 + s, "B", T0 + s, 0.01, 100), 0);
  }
  EXPECT_TRUE(reap().empty());  // the record at 9 does not complete the window
  ASSERT_EQ(put(b, T0 + 10, "A", T0 + 10, 0.01, 100), 0);
  std::vector<Pkt> got = reap();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].srcname.find("/sub"), std::string::npos) << got[0].srcname;
  ASSERT_EQ(got[0].chans.size(), 2u);
  for (const Chan &c : got[0].chans) {
    EXPECT_EQ(c.time, T0);
    EXPECT_EQ(c.samprate, 100);
    ASSERT_EQ(c.data.size(), 1000u);
    for (int s = 0; s < 10; s++)
      EXPECT_EQ(c.data[static_cast<size_t>(s * 100)], static_cast<int32_t>((T0 + s) * 1000));
  }
  EXPECT_EQ(b->time, T0 + 10);
  q330_repkt_flush(b);
  got = reap();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].chans[0].time, T0 + 10);
}

TEST_F(Repkt, UnknownSuffixAndBadCount) {
  EXPECT_EQ(q330_repkt_create("XYZ", "", w_), nullptr);
  Q330RepktBuf *b = make("GENC", "");
  EXPECT_EQ(q330_repkt_put(b, T0, 10, "XX", "A", "BHZ", "", T0, 0.01, 1, 1, "V", -1, nullptr), -1);
}

}  // namespace
