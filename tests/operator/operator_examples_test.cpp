// The examples an operator copies are facts: each program starts on its example parameter
// file against its simulator, and every `ringtool command` line that the README and the
// reference show runs against it and ends in "done". The operator commands whose defaults
// come from the example file (mass recentre, lock and unlock, calibration) are run too, so
// that a default the program refuses cannot stay in the example.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "testkit/e2e_process.h"
#include "testkit/testkit.h"

namespace {

const std::string kRoot = SOURCE_DIR;

struct Ran {
  int status = -1;  // exit code; -1 when it did not exit by itself
  std::string text;
};

Ran run(const std::vector<std::string> &argv, const std::string &cwd, const std::string &out,
        double seconds) {
  pid_t pid = e2e_start(argv, cwd, out);
  Ran r;
  int ws = e2e_stop(pid, 0, seconds);
  if (ws != -1 && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  r.text = e2e_read_text(out);
  return r;
}

// The documented command lines ("    ringtool command ...") of `doc` whose ring is the
// demo ring `demo_ring`, with their words after "ringtool".
std::vector<std::vector<std::string>> documented(const std::string &doc,
                                                 const std::string &demo_ring) {
  std::vector<std::vector<std::string>> out;
  std::stringstream ss(doc);
  for (std::string line; std::getline(ss, line);) {
    if (line.rfind("    ringtool command ", 0) != 0 || line.find(demo_ring) == std::string::npos)
      continue;
    std::stringstream words(line);
    std::vector<std::string> argv;
    for (std::string w; words >> w;) argv.push_back(w);
    argv.erase(argv.begin());  // "ringtool"
    out.push_back(argv);
  }
  return out;
}

// Runs `argv` (after "ringtool") with the demo ring replaced by `ring`; the command's
// responses, and whether it ended in "done".
Ran ringtool(std::vector<std::string> argv, const std::string &demo_ring, const std::string &ring,
             const std::string &dir, int n) {
  for (auto &a : argv)
    if (a.find(demo_ring) != std::string::npos) a = ring;
  argv.insert(argv.begin(), RINGTOOL_BIN);
  return run(argv, dir, dir + "/command" + std::to_string(n) + ".out", 180);
}

// Waits (at most two minutes of clock time) until the ring holds a packet of `source`:
// the program is up and its datalogger delivers.
bool wait_source(const std::string &ring, const std::string &source, const std::string &dir) {
  for (int i = 0; i < 240; i++) {
    Ran r = run({RINGTOOL_BIN, "status", ring}, dir, dir + "/ringstatus" + std::to_string(i), 30);
    if (r.text.find(source) != std::string::npos) return true;
    clock_sleep(0.5);
  }
  return false;
}

std::string shown(const std::vector<std::string> &argv) {
  std::string s;
  for (const auto &a : argv) s += " " + a;
  return s;
}

TEST(OperatorExamples, MuldrinExampleFileAndDocumentedCommands) {
  TempDir dir;
  const std::string ring = dir.file("ring1");
  ASSERT_EQ(
      run({RINGTOOL_BIN, "create", "-s", "16M", ring}, dir.path(), dir.file("create"), 60).status,
      0);
  // The simulated unit answers on the example file's address, ports and serial number.
  pid_t sim = e2e_start({Q330SIM_BIN, "-s", "0100000000000001"}, dir.path(), dir.file("sim.log"));
  pid_t prog = e2e_start({MULDRIN_BIN, "-pf", kRoot + "/src/bin/rt/muldrin/muldrin.pf", "-S",
                          "state", "TA", "data", ring, "cmd", ring, "log", ring, "st", ring},
                         dir.path(), dir.file("muldrin.log"));
  ASSERT_GT(prog, 0);
  ASSERT_TRUE(wait_source(ring, "TA_SIM1_BHZ/GENC", dir.path()))
      << e2e_read_text(dir.file("muldrin.log")) << e2e_read_text(dir.file("sim.log"));
  std::vector<std::vector<std::string>> commands;
  for (const char *doc : {"/README.md", "/doc/reference.md"})
    for (auto &c : documented(read_file(kRoot + doc), "/tmp/muldrin-demo.XXXXXX/ring1"))
      commands.push_back(c);
  ASSERT_FALSE(commands.empty()) << "no documented muldrin command";
  int n = 0;
  for (const auto &argv : commands) {
    SCOPED_TRACE("ringtool" + shown(argv));
    Ran r = ringtool(argv, "/tmp/muldrin-demo.XXXXXX/ring1", ring, dir.path(), n++);
    EXPECT_EQ(r.status, 0) << r.text << "\n" << e2e_read_text(dir.file("muldrin.log"));
    EXPECT_NE(r.text.find("disposition done"), std::string::npos) << r.text;
  }
  // The operator commands that take their defaults from the example file: the defaults
  // are taken; the simulated unit has no sensor control lines, so the command itself may
  // end there.
  for (const char *word : {"massrecenter", "masslock", "massunlock", "calibrate", "calstop"}) {
    SCOPED_TRACE(word);
    Ran r = ringtool({"command", "-w", "60", "/tmp/muldrin-demo.XXXXXX/ring1", "TA", word},
                     "/tmp/muldrin-demo.XXXXXX/ring1", ring, dir.path(), n++);
    EXPECT_TRUE(r.text.find("disposition done") != std::string::npos ||
                r.text.find("settings in control mappings") != std::string::npos)
        << r.text;
    EXPECT_EQ(r.text.find("Unrecognized"), std::string::npos) << r.text;
    EXPECT_EQ(r.text.find("Need "), std::string::npos) << r.text;
  }
  int status = e2e_stop(prog, SIGTERM, 120);
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << e2e_read_text(dir.file("muldrin.log"));
  EXPECT_EQ(WEXITSTATUS(status), 0) << e2e_read_text(dir.file("muldrin.log"));
  e2e_stop(sim, SIGTERM, 30);
}

TEST(OperatorExamples, KessaroExampleFileAndDocumentedCommands) {
  TempDir dir;
  const std::string ring = dir.file("ring1");
  ASSERT_EQ(
      run({RINGTOOL_BIN, "create", "-s", "16M", ring}, dir.path(), dir.file("create"), 60).status,
      0);
  // As the demo: K1234 streams on the example file's client link (port 5001).
  pid_t sim = e2e_start({ALTUSSIM_BIN, "-tcpserver", "5001", "-serial", "1234", "-station", "K1234",
                         "-model", "K2", "-streams", "3:100:100:30", "-paced"},
                        dir.path(), dir.file("sim.log"));
  pid_t prog = e2e_start({KESSARO_BIN, "-pf", kRoot + "/src/bin/rt/kessaro/kessaro", "-state",
                          "state", "kes", "cmd", ring, "out", ring},
                         dir.path(), dir.file("kessaro.log"));
  ASSERT_GT(prog, 0);
  ASSERT_TRUE(wait_source(ring, "K2_1234_HHZ/GENC", dir.path()))
      << e2e_read_text(dir.file("kessaro.log")) << e2e_read_text(dir.file("sim.log"));
  std::vector<std::vector<std::string>> commands;
  for (const char *doc : {"/README.md", "/doc/reference.md"})
    for (auto &c : documented(read_file(kRoot + doc), "/tmp/kessaro-demo.XXXXXX/ring1"))
      commands.push_back(c);
  ASSERT_FALSE(commands.empty()) << "no documented kessaro command";
  int n = 0;
  for (const auto &argv : commands) {
    SCOPED_TRACE("ringtool" + shown(argv));
    Ran r = ringtool(argv, "/tmp/kessaro-demo.XXXXXX/ring1", ring, dir.path(), n++);
    EXPECT_EQ(r.status, 0) << r.text << "\n" << e2e_read_text(dir.file("kessaro.log"));
    EXPECT_NE(r.text.find("disposition done"), std::string::npos) << r.text;
  }
  int status = e2e_stop(prog, SIGTERM, 120);
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << e2e_read_text(dir.file("kessaro.log"));
  EXPECT_EQ(WEXITSTATUS(status), 0) << e2e_read_text(dir.file("kessaro.log"));
  e2e_stop(sim, SIGTERM, 30);
}

}  // namespace
