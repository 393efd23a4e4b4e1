// muldrin run in-process: start-up on the shipped parameter file, a halt, the shutdown.
#include "muldrin_start.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "muldrin_host.h"
#include "muldrin_run.h"
#include "ring/orb.h"
#include "support/dlclock.h"
#include "testkit/testkit.h"

namespace {

int run(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &s : args) argv.push_back(s.data());
  return muldrin_main(static_cast<int>(argv.size()), argv.data());
}

TEST(MuldrinStart, CommandLineErrorExitsOne) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(run({"muldrin", "-x"}), 1);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("usage: muldrin"), std::string::npos);
}

TEST(MuldrinStartDeathTest, RingThatCannotBeOpenedEndsStartup) {
  TempDir dir;
  std::string ring = dir.file("r.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  // A ring name under a plain file cannot be opened.
  std::string bad = dir.write("plain", "x") + "/r.ring";
  EXPECT_EXIT(
      run({"muldrin", "-pf", MULDRIN_PF, "TA", "data", ring, "cmd", ring, "log", bad, "st", ring}),
      [](int status) { return WIFEXITED(status) && WEXITSTATUS(status) != 0; },
      "orbopen\\(.*plain/r.ring\\) error");
}

// A parameter file whose ports or intervals cannot work ends start-up with status 1 and a
// message naming the datalogger and the key, as every other parameter error does.
TEST(MuldrinStartDeathTest, ParameterFileOutOfRangeExitsOne) {
  TempDir dir;
  std::string ring = dir.file("r.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  const std::string shipped = read_file(MULDRIN_PF);
  ASSERT_FALSE(shipped.empty());
  struct Row {
    const char *extra, *message;
  } rows[] = {
      {"q330_port_base 70000\n", "Illegal q330_port_base 70000 for TA_SIM1"},
      {"local_port_base 99999\n", "Illegal local_port_control 'auto_fixed' for TA_SIM1"},
      {"pfstatusreport_interval -5\n", "Illegal pfstatusreport_interval -5"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.extra);
    std::string pf = dir.write("bad.pf", shipped + "\n" + r.extra);
    EXPECT_EXIT(
        run({"muldrin", "-pf", pf, "TA", "data", ring, "cmd", ring, "log", ring, "st", ring}),
        testing::ExitedWithCode(1), r.message);
  }
}

// The text as a regular expression that matches it literally.
std::string literal(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (strchr("\\^$.|?*+()[]{}", c) != nullptr) out += '\\';
    out += c;
  }
  return out;
}

// A bad value in one line of the shipped file: start-up ends with status 1 and a message
// naming the file, the line, the key and the value (or, for a slip of the keyboard in a
// required key, the word typed and the key it stands for).
TEST(MuldrinStartDeathTest, BadValueNamesFileLineKeyAndValue) {
  TempDir dir;
  std::string ring = dir.file("r.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  const std::string shipped = read_file(MULDRIN_PF);
  ASSERT_FALSE(shipped.empty());
  struct Row {
    const char *from, *to, *message;
  } rows[] = {
      {"mtfifo_write_queue 0", "mtfifo_write_queue -1",
       "key 'mtfifo_write_queue': '-1' is outside 0 .. 10000000"},
      {"calibration_amplitude 1", "calibration_amplitude -5",
       "key 'calibration_amplitude': '-5' is outside 0 .. 65535"},
      {"shutdown_wait_time 20.0", "shutdown_wait_time nan",
       "key 'shutdown_wait_time': 'nan' is not a finite number (NaN)"},
      {"udp_packetcache_size_data 100", "udp_packetcache_size_data 1e999",
       "key 'udp_packetcache_size_data': '1e999' is not an integer"},
      {"udp_packetcache_size_data 100", "udp_packetcache_size_data 1000000",
       "key 'udp_packetcache_size_data': '1000000' is outside 0 .. 100000"},
      {"timeout_control 2.0", "timeout_control -inf",
       "key 'timeout_control': '-inf' is not a finite number (infinite)"},
      {"calibration_period 1", "calibration_period 0",
       "key 'calibration_period': '0' is outside 1 .. 255"},
      {"massrecenter_sensors AB", "massrecenter_sensors 1",
       "key 'massrecenter_sensors': '1' is none of A, B, AB"},
      {"maxretries_control 5", "maxretries_contrl 5",
       "key 'maxretries_contrl' is no known key: required key 'maxretries_control' is missing"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.to);
    std::string text = shipped;
    const size_t at = text.find(std::string("\n") + r.from + "\n");
    ASSERT_NE(at, std::string::npos);
    text.replace(at + 1, strlen(r.from), r.to);
    const long line = 2 + std::count(text.begin(), text.begin() + static_cast<long>(at), '\n');
    std::string pf = dir.write("bad.pf", text);
    EXPECT_EXIT(
        run({"muldrin", "-pf", pf, "TA", "data", ring, "cmd", ring, "log", ring, "st", ring}),
        testing::ExitedWithCode(1),
        literal("'" + pf + "' line " + std::to_string(line) + ": " + r.message));
  }
}

TEST(MuldrinStart, StartsWritesStartupLinesAndShutsDownOnHalt) {
  TempDir dir;
  // Ten times faster, no more: the shutdown gives the write thread 100 s of clock time
  // (10 s here) to write the final status report, however slowly the machine runs it.
  ClockScale scale(0.1);
  std::string ring = dir.file("r.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  std::string pid = dir.file("pid");
  muldrin_halt();  // the main loop ends at once and shutdown runs
  ElogCapture cap;
  // The shipped file's datalogger is the timing source (on a private clock segment).
  long old_base = dlclock_set_key_base(IPC_PRIVATE);
  EXPECT_EQ(run({"muldrin", "-pf", MULDRIN_PF, "-pidfile", pid, "-dlclock", "TA_SIM1", "TA", "data",
                 ring, "cmd", ring, "log", ring, "st", ring}),
            0);
  int shmid = -1;
  EXPECT_NE(dlclock_attached(&shmid), nullptr);
  if (shmid >= 0) shmctl(shmid, IPC_RMID, nullptr);
  dlclock_detach();
  dlclock_set_key_base(old_base);
  EXPECT_TRUE(cap.contains("TA: normal program exit")) << cap.text();
  EXPECT_NE(access(pid.c_str(), F_OK), 0);  // removed at exit
  int r = orbopen(ring.c_str(), "r");
  ASSERT_GE(r, 0);
  orbseek(r, ORBOLDEST);
  std::string all;
  char *buf = nullptr;
  int bufsize = 0, nbytes = 0, id = 0;
  char src[ORBSRCNAME_SIZE];
  double t = 0;
  int nstatus = 0;
  bool status_after_stop = false;  // the last status packet came after acquisition stopped
  std::string status_text;
  while (orbreap_nd(r, &id, src, &t, &buf, &nbytes, &bufsize) == 0) {
    std::string s = src;
    if (s.size() > 4 && s.compare(s.size() - 4, 4, "/log") == 0 && nbytes > 8)
      all += std::string(buf + 8, strnlen(buf + 8, static_cast<size_t>(nbytes - 8))) + "\n";
    if (s == "TA/pf/st") {
      nstatus++;
      status_text.assign(buf, static_cast<size_t>(nbytes));
      status_after_stop = all.find("Acquisition stopped") != std::string::npos;
    }
  }
  free(buf);
  orbclose(r);
  // The banner: the version line boxed in stars, every line of the box as wide.
  const std::string version = Muldrin_Version;
  const std::string rule = ": " + std::string(version.size() + 12, '*') + "\n";
  const size_t top = all.find(rule), title = all.find(": *     muldrin startup"),
               boxed = all.find(": *     " + version + "     *\n"), bottom = all.rfind(rule);
  EXPECT_TRUE(top < title && title < boxed && boxed < bottom && bottom != std::string::npos) << all;
  // The status packet names the system and the release the program was built as.
  EXPECT_NE(status_text.find(std::string("ver ") + Muldrin_Os + " " + Muldrin_Release + " "),
            std::string::npos)
      << status_text;
  EXPECT_NE(all.find("Using datalogger TA_SIM1 as timing source"), std::string::npos) << all;
  EXPECT_NE(all.find("Shutting down write thread"), std::string::npos) << all;
  // The program stash and at least the final report at shutdown.
  EXPECT_GE(nstatus, 2);
  EXPECT_TRUE(status_after_stop) << all;
  myshutdown = 0;
}

}  // namespace
