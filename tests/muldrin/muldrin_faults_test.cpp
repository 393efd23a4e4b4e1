// muldrin against two simulated Q330s, both as child programs, with faults: one unit
// rebooting, one on 127.0.0.2, muldrin stopped and started again with its state file
// while the units keep buffering, and (in the second case) datagrams lost, duplicated,
// reordered and corrupted on both units' data ports in both directions.
// Every sample the units made must be in the ring exactly once.
#include <gtest/gtest.h>

#include "muldrin_e2e.h"

namespace {

// Two units, one on 127.0.0.2 that reboots after 40 records, `faults` the simulator's
// datagram fault probabilities (loss,reorder,duplicate,badcrc), and a muldrin restart.
void two_units_reboot_and_restart(const char *faults) {
  E2eRun run;
  const int records = 160;
  // Records come every 0.05 s: the 512-packet buffer holds well over the outage.
  ASSERT_TRUE(
      run.start_sim({"-s", "0100000000000001", "-n", "2", "-A", "127.0.0.1,127.0.0.2", "-g", "11",
                     "-r", std::to_string(records), "-i", "0.05", "-f", faults, "-R", "40:1.5:1"},
                    2))
      << read_file(run.sim_out);
  run.start_muldrin();
  // Stop muldrin once unit 0's data passed its 80th record, then start it again.
  double half = E2E_EPOCH_2000 + 100000 + 80;
  bool reached = false;
  for (double waited = 0; waited < 120 && !reached; waited += 0.5) {
    reached = e2e_ring_reached(run.ring, "TA_SIM1_LHE") >= half;
    if (!reached) clock_sleep(0.5);
  }
  if (!reached) {
    E2eSamples s;
    e2e_read_ring(run.ring, &s);
    FAIL() << read_file(run.sim_out) << s.log;
  }
  int status = run.stop_muldrin();
  ASSERT_TRUE(WIFEXITED(status)) << read_file(run.muldrin_out(1));
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(run.muldrin_out(1));
  clock_sleep(1.0);
  run.start_muldrin();
  ASSERT_TRUE(e2e_wait_text(run.sim_out, "records acknowledged", 2, 180))
      << read_file(run.sim_out) << read_file(run.muldrin_out(2));
  status = run.stop_muldrin();
  ASSERT_TRUE(WIFEXITED(status)) << read_file(run.muldrin_out(2));
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(run.muldrin_out(2));
  EXPECT_EQ(e2e_count_text(run.sim_out, "unit 1 reboots"), 1) << read_file(run.sim_out);

  E2eSamples s;
  ASSERT_EQ(e2e_read_ring(run.ring, &s), 0);
  EXPECT_EQ(s.undecodable, 0);
  std::string text;
  for (int unit = 0; unit < 2; unit++)
    for (const auto &f : e2e_check_unit(s, unit, 11 + unit, 100000, records)) text += f + "\n";
  EXPECT_TRUE(text.empty()) << text << s.log;
}

TEST(MuldrinEndToEnd, TwoUnitsThroughARebootAndARestart) { two_units_reboot_and_restart("0"); }

// Through loss, reordering, duplicates and bad checksums the stream keeps going through
// every re-open, the reboot, and the restart, which may come in the middle of a record.
TEST(MuldrinEndToEnd, TwoUnitsThroughDatagramFaultsARebootAndARestart) {
  two_units_reboot_and_restart("0.05,0.05,0.05,0.05");
}

}  // namespace
