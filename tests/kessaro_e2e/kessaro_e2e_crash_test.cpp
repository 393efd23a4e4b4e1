// kessaro end to end through crashes: altussim streams one datalogger (three channels)
// over a TCP-client link, and kessaro, acquiring it into a real ring file with the example
// parameter file and a state file, is killed with SIGKILL a few times while the stream
// runs and started again on the same state file each time; the last run ends with SIGTERM.
// Every sample the simulator sent from the first one on must be in the ring exactly once:
// a crash loses nothing the datalogger still holds (its resend buffer is far larger than
// any outage here) and writes nothing twice.
//
// The number of crashes and the stream time before each can be raised for a longer run:
// KESSARO_CRASH_KILLS (default 3) and KESSARO_CRASH_SECONDS "min:max" (default "2:6",
// seconds of stream before each kill, drawn from a fixed seed). The figures per channel
// (seconds missing, seconds written twice, steps back in time) are printed.
// KESSARO_CRASH_PROGRAM names another kessaro to run (to measure another build).
//
// The children run at real speed; the test waits for them through the clock seam, with
// bounds that only end a run that went wrong. When the kill falls does not decide the
// verdict: every moment of the run must keep the promise.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
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

constexpr int kRate = 100;

int env_int(const char *name, int def) {
  const char *v = getenv(name);
  return v && *v ? atoi(v) : def;
}

TEST(KessaroEndToEnd, KilledWhileStreamingLosesNothingAndWritesNothingTwice) {
  const int kills = env_int("KESSARO_CRASH_KILLS", 3);
  double lo = 2, hi = 6;
  if (const char *v = getenv("KESSARO_CRASH_SECONDS")) sscanf(v, "%lf:%lf", &lo, &hi);
  TempDir dir;
  const std::string ring = dir.file("ring"), simout = dir.file("altussim.out"),
                    kesout = dir.file("kessaro.out");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 27), 0);
  int stream_port = 0;
  pid_t sim = start_stream_sim(dir.path(), simout, 60000, &stream_port);
  ASSERT_GT(sim, 0);
  ASSERT_GT(stream_port, 0) << read_file(simout);
  const std::string pf = example_pf(stream_port);
  ASSERT_FALSE(pf.empty());
  dir.write("kes.pf", pf);
  const char *program = getenv("KESSARO_CRASH_PROGRAM");
  const std::vector<std::string> kessaro = {program && *program ? program : KESSARO_BIN,
                                            "-pf",
                                            dir.file("kes"),
                                            "-state",
                                            dir.file("state"),
                                            "kes",
                                            "cmd",
                                            ring,
                                            "out",
                                            ring};

  unsigned rng = 20261211;
  for (int run = 1; run <= kills + 1; run++) {
    SCOPED_TRACE(run);
    pid_t kes = e2e_start(kessaro, dir.path(), kesout);
    ASSERT_GT(kes, 0);
    ASSERT_TRUE(
        e2e_wait_text(simout, "unit 0: streaming on connection " + std::to_string(run), 1, 120))
        << read_file(simout) << read_file(kesout);
    rng = rng * 1103515245u + 12345u;
    const double wait = lo + (hi - lo) * (((rng >> 8) & 0xFFFF) / 65535.0);
    clock_sleep(wait);
    if (run <= kills) {
      kill(kes, SIGKILL);
      e2e_stop(kes, 0, 30);
      clock_sleep(1);
    } else {
      ASSERT_TRUE(stopped_cleanly(kes, kesout));
    }
  }
  e2e_stop(sim, SIGTERM, 10);

  std::map<std::string, Channel> r = read_channels(ring, {{"HHZ", 0}, {"HHN", 1}, {"HHE", 2}});
  for (const char *c : {"HHZ", "HHN", "HHE"}) {
    SCOPED_TRACE(c);
    ASSERT_TRUE(r.count(c)) << read_file(kesout);
    const Channel &ch = r[c];
    long missing = 0, twice = 0;
    long expect = 0;
    std::string gaps;  // the samples missing, as from-to ranges
    for (const auto &[k, n] : ch.seen) {
      if (k > expect) {
        missing += k - expect;
        gaps += " " + std::to_string(expect) + "-" + std::to_string(k - 1);
      }
      expect = k + 1;
      twice += n > 1;
    }
    if (missing > 0) printf("%s: samples missing:%s\n", c, gaps.c_str());
    printf("%s: %.2f s in the ring, %.2f s missing, %.2f s written twice, %ld steps back\n", c,
           (double)ch.seen.size() / kRate, (double)missing / kRate, (double)twice / kRate, ch.back);
    EXPECT_EQ(ch.wrong, 0);
    EXPECT_EQ(ch.seen.begin()->first, 0);
    EXPECT_EQ(missing, 0);
    EXPECT_EQ(twice, 0);
    EXPECT_EQ(ch.back, 0);
  }
}

}  // namespace
