// The kessaro binary: command-line refusals, and a run with the example parameter file
// stopped by SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace {

struct Outcome {
  int status = -1;
  std::string err;
};

// Runs the binary with `args`, standard error into a file; with `term_after` > 0 the
// program is sent SIGTERM twice once its log shows the status thread started.
Outcome run(const std::vector<std::string> &args, bool term = false) {
  TempDir dir;
  std::string errfile = dir.file("err");
  pid_t pid = fork();
  if (pid == 0) {
    FILE *f = freopen(errfile.c_str(), "w", stderr);
    (void)f;
    std::vector<char *> argv;
    std::string bin = KESSARO_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  Outcome r;
  if (term) {
    for (int i = 0; i < 6000; i++) {  // until the start-up is done (bounded)
      if (read_file(errfile).find("Starting status report thread") != std::string::npos) break;
      usleep(10000);
    }
    kill(pid, SIGTERM);
    kill(pid, SIGTERM);  // a second signal changes nothing
  }
  waitpid(pid, &r.status, 0);
  r.err = read_file(errfile);
  return r;
}

TEST(KessaroProgram, CommandLineRefusals) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"kes", "out"}, "usage: kessaro"},
      {{"-v", "kes", "out"}, "Wrong number of command line arguments - need an orbname"},
      {{"-start", "notatime", "kes", "out", "o"}, "Unable to parse starttime."},
      {{"-x", "kes", "out", "o"}, "Unrecognized option '-x'."},
      {{"-msglevel", "3", "-pf", "/nonexistent/none", "kes", "out", "o"}, "parse_pf("},
      {{"-v", "-V", "-pf"}, "Need -pf argument."},
  };
  for (const Case &c : cases) {
    Outcome r = run(c.args);
    SCOPED_TRACE(c.message);
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (std::string(c.message) != "parse_pf(") {
      EXPECT_NE(r.err.find("usage: kessaro"), std::string::npos);
    } else {
      EXPECT_EQ(r.err.find("Unrecognized option"), std::string::npos);  // -msglevel taken
    }
  }
}

TEST(KessaroProgram, RunsWithTheExampleFileAndStopsInOrderOnSigterm) {
  TempDir dir;
  Outcome r = run({"-pf", KESSARO_PF_NAME, "-state", dir.file("state"), "kes", "cmd",
                   dir.file("cmd"), "out", dir.file("out")},
                  true);
  ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
  for (const char *line :
       {"kessaro startup", "Starting modem thread for tcp1.",

        "haltbysignal: received signal #15", "kessaro_stop: modem threads finished",
        "kessaro_stop: Flushing output buffers.", "haltbysignal: halted by signal #15"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
  // One shutdown only.
  EXPECT_EQ(r.err.find("received signal"), r.err.rfind("received signal"));
  EXPECT_EQ(access(dir.file("state").c_str(), F_OK), 0);
}

}  // namespace
