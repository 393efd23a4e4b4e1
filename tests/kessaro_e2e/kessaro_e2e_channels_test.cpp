// kessaro end to end with a change of stream channels: altussim streams one datalogger
// over a TCP-client link, kessaro acquires it into a real ring file with the example
// parameter file; kessaro is stopped by SIGTERM, the datalogger's third stream channel
// is replaced by another one in the parameter file, and kessaro starts again with its
// state file. The stream count stays, the channels change: the counters must start
// afresh, the kept channels go on, the dropped one ends and the new one flows.
//
// The children run at real speed; the test waits for them through the clock seam, with
// bounds that only end a run that went wrong.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "altussim_block.h"
#include "base/tbl.h"
#include "kessaro_e2e_kit.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "testkit/e2e_process.h"
#include "testkit/testkit.h"

namespace {

using namespace kes_e2e;

// The unbroken runs of samples [from, to) of a channel; the samples seen twice.
std::vector<std::pair<long, long>> runs(const Channel &ch, long *twice) {
  std::vector<std::pair<long, long>> v;
  *twice = 0;
  for (const auto &[k, n] : ch.seen) {
    *twice += n > 1;
    if (v.empty() || v.back().second != k)
      v.emplace_back(k, k + 1);
    else
      v.back().second = k + 1;
  }
  return v;
}

TEST(KessaroEndToEnd, ARestartWithOtherStreamChannelsResetsTheCountersAndFlowsOnce) {
  TempDir dir;
  const std::string ring = dir.file("ring"), simout = dir.file("altussim.out"),
                    kesout = dir.file("kessaro.out");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 26), 0);
  int stream_port = 0;
  pid_t sim = start_stream_sim(dir.path(), simout, 3000, &stream_port);
  ASSERT_GT(sim, 0);
  ASSERT_GT(stream_port, 0) << read_file(simout);
  std::string pf = example_pf(stream_port);
  ASSERT_FALSE(pf.empty());
  dir.write("kes.pf", pf);
  const std::vector<std::string> kessaro = {
      KESSARO_BIN, "-pf", dir.file("kes"), "-state", dir.file("state"), "kes",
      "cmd",       ring,  "out",           ring};

  // Each run streams for a while after its counter reset, which the simulator announces.
  pid_t kes = e2e_start(kessaro, dir.path(), kesout);
  ASSERT_GT(kes, 0);
  ASSERT_TRUE(e2e_wait_text(simout, "counters reset", 1, 60)) << read_file(kesout);
  clock_sleep(8);
  ASSERT_TRUE(stopped_cleanly(kes, kesout));

  // HHE (channel 2) gives way to HH3 (channel 3): three streams still.
  ASSERT_TRUE(replace_once(&pf, "    2   $DLNET_$DLSTA_HNE   $DLNET_$DLSTA_HHE   $DATA   1.0 A\n",
                           "    2   $DLNET_$DLSTA_HNE   $DLNET_$DLSTA_HHE   $DATA   1.0 A\n"
                           "    3   $DLNET_$DLSTA_HN3   $DLNET_$DLSTA_HH3   $DATA   1.0 A\n"));
  ASSERT_TRUE(replace_once(&pf, "    mux10 0\n    mux10 0\n    mux10 0\n",
                           "    mux10 0\n    mux10 0\n    mux10 0\n    mux10 0\n"));
  ASSERT_TRUE(replace_once(&pf,
                           "            mux10 sc1\n            mux10 sc1\n            mux10 sc1\n",
                           "            mux10 sc1\n            mux10 sc1\n            mux10 0\n"
                           "            mux10 sc1\n"));
  dir.write("kes.pf", pf);
  clock_sleep(2);
  kes = e2e_start(kessaro, dir.path(), kesout);
  ASSERT_GT(kes, 0);
  ASSERT_TRUE(e2e_wait_text(simout, "counters reset", 2, 60))
      << read_file(kesout) << read_file(simout);
  clock_sleep(8);
  ASSERT_TRUE(stopped_cleanly(kes, kesout));
  e2e_stop(sim, SIGTERM, 10);

  // Where the datalogger's clock stood at its last counter reset: the first sample after
  // the restart.
  const std::string s = read_file(simout);
  const std::string mark = "counters reset, samples from ";
  size_t at = s.rfind(mark);
  ASSERT_NE(at, std::string::npos) << s << read_file(kesout).substr(0, 6000);
  const long reset_at = atol(s.c_str() + at + mark.size());
  ASSERT_GT(reset_at, 0) << s;

  std::string log;
  std::map<std::string, Channel> r =
      read_channels(ring, {{"HHZ", 0}, {"HHN", 1}, {"HHE", 2}, {"HH3", 3}}, "1234", &log);
  int resets = 0;
  for (size_t p = log.find("resetting counters"); p != std::string::npos;
       p = log.find("resetting counters", p + 1))
    resets++;
  EXPECT_EQ(resets, 2) << log;  // on the restart too
  for (const char *c : {"HHZ", "HHN", "HHE", "HH3"}) {
    SCOPED_TRACE(c);
    ASSERT_TRUE(r.count(c)) << log;
    EXPECT_EQ(r[c].wrong, 0);
    long twice = 0;
    auto v = runs(r[c], &twice);
    EXPECT_EQ(twice, 0);
    ASSERT_FALSE(v.empty());
    const std::string name = c;
    if (name == "HHZ" || name == "HHN") {
      // The first run from sample 0; after the outage, from the reset on. The datalogger
      // emptied its resend buffer with the reset: what it sent before and kessaro did not
      // take is the only gap.
      ASSERT_EQ(v.size(), 2u);
      EXPECT_EQ(v[0].first, 0);
      EXPECT_LE(v[0].second, reset_at);
      EXPECT_EQ(v[1].first, reset_at);
      EXPECT_GT(v[1].second - v[1].first, 5 * 100);
    } else if (name == "HHE") {  // dropped: the first run only
      ASSERT_EQ(v.size(), 1u);
      EXPECT_EQ(v[0].first, 0);
      EXPECT_LE(v[0].second, reset_at);
    } else {  // added: from its first packet on
      ASSERT_EQ(v.size(), 1u);
      EXPECT_EQ(v[0].first, reset_at);
      EXPECT_GT(v[0].second - v[0].first, 5 * 100);
    }
  }
}

}  // namespace
