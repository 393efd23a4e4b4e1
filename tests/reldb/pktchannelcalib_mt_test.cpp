// The calibration lookup from two threads at once: one handle, shared channels, times on
// both sides of window ends and table checks, every answer right.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "calibfixture.h"

namespace {

const double T0 = epoch(2020010);
const double T1 = T0 + 86400.0;

TEST(CalibThreads, TwoThreadsShareOneHandle) {
  SiteDb db;
  ASSERT_TRUE(db.ok());
  db.table("site", {{"AAA", "2020001", "2020010", "10.0", "20.0", "0.5"},
                    {"AAA", "2020011", "-1", "11.0", "21.0", "0.6"}});
  db.table("sensor", {{"AAA", "BHZ", tt(T0), "-1", "1"}, {"AAA", "BHN", tt(T0), "-1", "1"}});
  db.table("instrument", {{"1", "paz", "-", "-"}});
  db.table("calibration", {{"AAA", "BHZ", tt(T0), tt(T1), "1.5", "1.0"},
                           {"AAA", "BHZ", tt(T1 + 1), "-1", "2.5", "1.0"},
                           {"AAA", "BHN", tt(T0), "-1", "3.5", "1.0"}});
  PktChannelCalib *h = pktchannelcalib_new(db.path.c_str(), 1, 0, 1);
  ASSERT_NE(h, nullptr);

  std::atomic<int> wrong{0};
  auto run = [&](const char *chan, int seed) {
    for (int i = 0; i < 200; i++) {
      bool late = ((i + seed) % 3) == 0;
      double t = late ? T1 + 10 : T0 + 10;
      Answer a = ask(h, "XX", "AAA", chan, "", t, i % 10 == 0);
      double want_calib = chan[2] == 'N' ? 3.5 : late ? 2.5 : 1.5;
      double want_lat = late ? 11.0 : 10.0;
      if (a.bits != 0x3f || a.calib != want_calib || a.lat != want_lat || a.rsptype != "paz")
        wrong++;
    }
  };
  std::thread one(run, "BHZ", 0), two(run, "BHZ", 1), three(run, "BHN", 2);
  one.join();
  two.join();
  three.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(pktchannelcalib_free(h), 0);
}

}  // namespace
