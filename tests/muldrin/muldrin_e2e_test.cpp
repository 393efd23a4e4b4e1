// muldrin against one simulated Q330, both as child programs: a clean run in which every
// sample the simulator made reaches the ring once, with the generator's value, and the
// simulator resent nothing once the stream ran.
#include "muldrin_e2e.h"

#include <gtest/gtest.h>

namespace {

TEST(MuldrinEndToEnd, OneUnitCleanRunSampleBySample) {
  E2eRun run;
  const int records = 60;
  ASSERT_TRUE(
      run.start_sim({"-s", "0100000000000001", "-g", "7", "-r", std::to_string(records)}, 1))
      << read_file(run.sim_out);
  run.start_muldrin();
  ASSERT_TRUE(e2e_wait_text(run.sim_out, "records acknowledged", 1, 120))
      << read_file(run.sim_out) << read_file(run.muldrin_out(1));
  int status = run.stop_muldrin();
  ASSERT_TRUE(WIFEXITED(status)) << read_file(run.muldrin_out(1));
  EXPECT_EQ(WEXITSTATUS(status), 0) << read_file(run.muldrin_out(1));
  // With no fault, every packet is acknowledged before the datalogger's resend timer runs
  // out; only the packets sent before the first acknowledgement (muldrin waits a while
  // after the first packet) may go out again. Counted until all were acknowledged.
  const std::string sim_text = read_file(run.sim_out);
  size_t at = sim_text.find("records acknowledged; ");
  ASSERT_NE(at, std::string::npos) << sim_text;
  int sent = -1, resent = -1, stream_resent = -1;
  ASSERT_EQ(sscanf(sim_text.c_str() + at,
                   "records acknowledged; %d data packets sent, %d resent, %d of those", &sent,
                   &resent, &stream_resent),
            3)
      << sim_text;
  EXPECT_EQ(stream_resent, 0) << sim_text;

  E2eSamples s;
  ASSERT_EQ(e2e_read_ring(run.ring, &s), 0);
  EXPECT_EQ(s.undecodable, 0);
  std::vector<std::string> faults = e2e_check_unit(s, 0, 7, 100000, records);
  std::string text;
  for (const auto &f : faults) text += f + "\n";
  EXPECT_TRUE(faults.empty()) << text << s.log;
  // The log and the status records of the run are there too.
  EXPECT_GT(s.sources["TA_Q1/log"], 0);
  EXPECT_GT(s.sources["TA/pf/st"], 0);
}

}  // namespace
