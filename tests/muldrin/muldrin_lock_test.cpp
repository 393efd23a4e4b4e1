// One muldrin per state file and per process-id file: a second one started on either
// refuses to start, naming the first one's process id, and leaves the first one's files
// alone; once the first one ended, the next one starts.
#include <gtest/gtest.h>

#include <string>

#include "muldrin_e2e.h"

namespace {

TEST(MuldrinLock, SecondInstanceOnTheSameStateOrPidFileRefusesToStart) {
  E2eRun run;
  ASSERT_TRUE(run.start_sim({"-s", "0100000000000001"}, 1)) << read_file(run.sim_out);
  FILE *f = fopen(run.pf.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fputs(e2e_pf(MULDRIN_PF, run.units, 0).c_str(), f);
  fclose(f);
  const std::string pidfile = run.dir.file("muldrin.pid");
  auto start = [&](const std::string &state, const std::string &pid, const std::string &out) {
    return e2e_start({MULDRIN_BIN, "-pf", run.pf, "-S", state, "-pidfile", pid, "TA", "data",
                      run.ring, "cmd", run.ring, "log", run.ring, "st", run.ring},
                     run.dir.path(), run.dir.file(out));
  };
  pid_t first = start(run.state, pidfile, "first.out");
  ASSERT_TRUE(e2e_wait_text(run.dir.file("first.out"), "Write thread started.", 1, 60))
      << read_file(run.dir.file("first.out"));
  const std::string holder = "locked by process " + std::to_string(first);

  struct Case {
    std::string state, pid, out, message;
  } cases[] = {
      {run.state, run.dir.file("other.pid"), "second.out",
       "muldrin: *fatal* muldrin_main: state-file lock " + run.state + ".lock is " + holder},
      {run.dir.file("other-state"), pidfile, "third.out",
       "muldrin: *fatal* muldrin_main: process-id file " + pidfile + " is " + holder},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.out);
    pid_t second = start(c.state, c.pid, c.out);
    int status = e2e_stop(second, 0, 60);
    ASSERT_TRUE(status != -1 && WIFEXITED(status)) << read_file(run.dir.file(c.out));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text = read_file(run.dir.file(c.out));
    EXPECT_NE(text.find(c.message), std::string::npos) << text;
    EXPECT_EQ(text.find("startup"), std::string::npos) << "refused before it started: " << text;
    EXPECT_EQ(read_file(pidfile), std::to_string(first)) << "the first one's pid file stays";
  }
  EXPECT_EQ(waitpid(first, nullptr, WNOHANG), 0) << "the first one runs on";
  int status = e2e_stop(first, SIGTERM, 60);
  ASSERT_TRUE(status != -1 && WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // The lock ends with its holder.
  pid_t next = start(run.state, pidfile, "next.out");
  EXPECT_TRUE(e2e_wait_text(run.dir.file("next.out"), "Write thread started.", 1, 60))
      << read_file(run.dir.file("next.out"));
  EXPECT_EQ(e2e_stop(next, SIGTERM, 60) != -1, true);
}

}  // namespace
