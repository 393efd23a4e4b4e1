// muldrin_faults.h - muldrin against two simulated Q330s, both as child programs, with
// faults: one unit rebooting, one on 127.0.0.2, muldrin stopped and started again with its
// state file while the units keep buffering, and datagrams lost, duplicated, reordered and
// corrupted on both units' data ports in both directions when asked for. Every sample the
// units made must be in the ring exactly once. Its cases are two test programs, which run
// side by side.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "muldrin_e2e.h"

// Under ThreadSanitizer the programs run several times slower: the runs make fewer records
// (a quarter on clean datagrams, half with faults), through the same reboot, restart,
// move and faults.
#if defined(__SANITIZE_THREAD__)
inline constexpr int kE2eRecordsDivisor = 4;
#else
inline constexpr int kE2eRecordsDivisor = 1;
#endif

// Two units of `records` records each, one on 127.0.0.2 that reboots after a quarter of
// them, `faults` the simulator's datagram fault probabilities (loss,reorder,duplicate,
// badcrc), and a muldrin restart at half of them. Unit 0 moves from 127.0.0.1 to 127.0.0.2
// by point of contact, and a signed getstatus is sent through the command ring.
inline void two_units_reboot_and_restart(const char *faults, int records) {
  E2eRun run;
  run.poc_port = e2e_free_port();
  ASSERT_GT(run.poc_port, 0);
  // Records come every 0.05 s: the 512-packet buffer holds well over the outage.
  const std::string move =
      std::to_string(records * 3 / 4) + ":127.0.0.2:" + std::to_string(run.poc_port) + ":0";
  const std::string reboot = std::to_string(records / 4) + ":1.5:1";
  ASSERT_TRUE(run.start_sim(
      {"-s", "0100000000000001", "-n", "2", "-A", "127.0.0.1,127.0.0.2", "-g", "11", "-r",
       std::to_string(records), "-i", "0.05", "-f", faults, "-R", reboot, "-P", move},
      2))
      << read_file(run.sim_out);
  run.start_muldrin();
  // Stop muldrin once unit 0's data passed half of its records, then start it again.
  double half = E2E_EPOCH_2000 + 100000 + records / 2;
  bool reached = false;
  for (double waited = 0; waited < 120 && !reached; waited += 0.2) {
    reached = e2e_ring_reached(run.ring, "TA_Q1_LHE") >= half;
    if (!reached) clock_sleep(0.2);
  }
  if (!reached) {
    E2eSamples s;
    e2e_read_ring(run.ring, &s);
    FAIL() << read_file(run.sim_out) << s.log;
  }
  int status = run.stop_muldrin();
  ASSERT_TRUE(WIFEXITED(status)) << read_file(run.muldrin_out(1));
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(run.muldrin_out(1));
  // Unit 0 moves once three quarters of its records were acknowledged: mostly while the
  // second run streams; on a slow machine the first run may still acknowledge that many
  // before it stops, and the unit then moves while no program runs (it announces itself
  // until a registration reaches it). Either way nothing may be lost.
  clock_sleep(1.0);
  run.start_muldrin();
  // A signed getstatus through the command ring, answered by the restarted program: its
  // command service reads every packet put after the ring was opened, before the startup
  // banner was written.
  ASSERT_TRUE(e2e_wait_text(run.muldrin_out(2), "muldrin startup", 1, 60))
      << read_file(run.muldrin_out(2));
  const std::string reply = run.dir.file("ringtool.out");
  pid_t tool = e2e_start({RINGTOOL_BIN, "command", "-w", "60", run.ring, "TA", "getstatus"},
                         run.dir.path(), reply);
  int tool_status = e2e_stop(tool, 0, 120);
  ASSERT_TRUE(WIFEXITED(tool_status)) << read_file(reply);
  EXPECT_EQ(WEXITSTATUS(tool_status), 0) << read_file(reply);
  // One answer per datalogger, the last one "done".
  EXPECT_NE(read_file(reply).find("\ndisposition done\n"), std::string::npos) << read_file(reply);
  ASSERT_TRUE(e2e_wait_text(run.sim_out,
                            ": all " + std::to_string(records) + " records acknowledged", 2, 180))
      << read_file(run.sim_out) << read_file(run.muldrin_out(2));
  status = run.stop_muldrin();
  ASSERT_TRUE(WIFEXITED(status)) << read_file(run.muldrin_out(2));
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(run.muldrin_out(2));
  EXPECT_EQ(e2e_count_text(run.sim_out, "unit 1 reboots"), 1) << read_file(run.sim_out);
  EXPECT_EQ(e2e_count_text(run.sim_out, "unit 0 moves from 127.0.0.1 to 127.0.0.2 once " +
                                            std::to_string(records * 3 / 4) +
                                            " of its records were acknowledged\n"),
            1)
      << read_file(run.sim_out);

  E2eSamples s;
  ASSERT_EQ(e2e_read_ring(run.ring, &s), 0);
  // Every output packet decodes; the signed packets of the command exchange (the command
  // and its answers) are not the program's output.
  std::string undecodable;
  for (const auto &[src, n] : s.undecodable_sources) {
    bool command = src == "TA/pf/dlcm" || src.ends_with("/pf/rsp");
    if (!command) undecodable += src + " ";
  }
  EXPECT_EQ(undecodable, "");
  std::string text;
  for (int unit = 0; unit < 2; unit++)
    for (const auto &f : e2e_check_unit(s, unit, 11 + unit, 100000, records)) text += f + "\n";
  EXPECT_TRUE(text.empty()) << text << s.log;
  EXPECT_NE(s.log.find("POC change in datalogger ipaddress - resetting from 127.0.0.1 to "
                       "127.0.0.2"),
            std::string::npos)
      << s.log;
  // Both runs wrote status reports, the last one after their shutdown began.
  EXPECT_EQ(std::count(s.marks.begin(), s.marks.end(), 'U'), 2) << s.marks;
  for (size_t at = s.marks.find('S'); at != std::string::npos; at = s.marks.find('S', at + 1)) {
    size_t next_start = s.marks.find('U', at);
    size_t report = s.marks.find('T', at);
    EXPECT_TRUE(report != std::string::npos && report < next_start) << s.marks;
  }
  EXPECT_EQ(std::count(s.marks.begin(), s.marks.end(), 'S'), 2) << s.marks;
}
