// The overlap window of data sent again, and the newest samples per channel of a ring.
#include "ringsvc/linkoverlap.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "base/elog.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

namespace {

TEST(LinkOverlap, WindowAndLeadingSamples) {
  const double last = 1000.0;
  struct Case {
    const char *name;
    double last, t, dt;
    int nsamp, want;
  } cases[] = {
      {"no output yet", 0, 5, 1, 4, 0},
      {"at the last sample", last, last, 1, 4, 1},
      {"wholly before it", last, last - 10, 1, 4, 4},
      {"across it", last, last - 1.5, 0.5, 6, 4},
      {"after it", last, last + 0.5, 0.5, 4, 0},
      {"older than the window", last, last - 181, 1, 4, 0},
      {"just inside the window", last, last - 179, 1, 400, 180},
      {"no interval: the block", last, last - 1, 0, 5, 5},
      {"no samples", last, last, 1, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(link_overlap_samples(c.last, c.t, c.dt, c.nsamp), c.want);
    EXPECT_EQ(link_overlap(c.last, c.t), c.want > 0 || (c.nsamp == 0 && c.last != 0));
  }
}

void put_wf(int orb, const char *suffix, const std::vector<std::string> &chans, double t,
            int nsamp) {
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype(suffix);
  for (const std::string &name : chans) {
    PktChannel *pc = newPktChannel();
    strcpy(pc->net, "XX");
    strcpy(pc->sta, "STA");
    strcpy(pc->chan, name.c_str());
    pc->time = t;
    pc->samprate = 10;
    pc->calib = 1;
    pc->nsamp = pc->datasz = nsamp;
    pc->data = static_cast<int32_t *>(calloc(nsamp, sizeof(int32_t)));
    pushtbl(pkt->channels, pc);
  }
  pkt->nchannels = static_cast<int>(chans.size());
  char src[PKT_SRCNAME_SIZE], *buf = nullptr;
  double time = 0;
  int nbytes = 0, bufsize = 0;
  ASSERT_EQ(stuffPkt(pkt, src, &time, &buf, &nbytes, &bufsize), 0);
  ASSERT_EQ(orbput(orb, src, time, buf, nbytes), 0);
  free(buf);
  freePkt(pkt);
}

TEST(LinkOverlap, NewestSamplesOfEachChannelOfARing) {
  TempDir dir;
  const std::string ring = dir.file("ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  int orb = orbopen(ring.c_str(), "w");
  ASSERT_GE(orb, 0);
  put_wf(orb, "GENC", {"HHZ"}, 100, 10);                    // 100.0 .. 100.9
  put_wf(orb, "GENC", {"HHZ"}, 101, 10);                    // newest of its source: to 101.9
  put_wf(orb, "MGENC", {"HHZ", "HHN"}, 99, 20);             // HHZ older here, HHN to 100.9
  ASSERT_EQ(orbput(orb, "XX_STA/log", 200, "text", 5), 0);  // not a waveform
  orbclose(orb);
  std::map<std::string, double> last;
  ASSERT_EQ(ring_newest_sample_times(ring.c_str(), &last), 0);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_DOUBLE_EQ(last["XX_STA_HHZ"], 101.9);
  EXPECT_DOUBLE_EQ(last["XX_STA_HHN"], 100.9);
  std::map<std::string, double> none;
  EXPECT_EQ(ring_newest_sample_times(dir.file("missing").c_str(), &none), -1);
  elog_clear_register(0);
}

}  // namespace
