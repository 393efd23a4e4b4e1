#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/elog.h"
#include "ring/orb.h"
#include "ringtest.h"
#include "testkit/testkit.h"

namespace {

// Runs fn in a child process; returns its exit status (fn's result), or -1 when it died.
template <typename Fn>
pid_t spawn(Fn fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

class OrbProcesses : public ::testing::Test {
 protected:
  void TearDown() override { elog_clear_register(0); }
  TempDir dir;
};

// A writer process and a reader process with a selection; the reader sleeps in orbreap
// until the writer's packets arrive.
TEST_F(OrbProcesses, WriterAndSelectingReader) {
  std::string path = dir.file("ring");
  ASSERT_EQ(orbcreate(path.c_str(), 1 << 20), 0);
  int r = orbopen(path.c_str(), "r");
  ASSERT_GE(r, 0);
  ASSERT_EQ(orbselect(r, "AA_.*/log"), 0);
  constexpr int kPackets = 600;
  pid_t child = spawn([&] {
    int w = orbopen(path.c_str(), "w");
    if (w < 0) return 2;
    for (int i = 0; i < kPackets; i++) {
      const char *src = i % 3 == 0 ? "AA_STA/log" : i % 3 == 1 ? "AA_STA/pf/st" : "BB_STA/log";
      std::string body = std::to_string(i);
      if (put(w, src, body, 1000.0 + i) != i) return 3;
    }
    return 0;
  });
  for (int i = 0; i < kPackets; i += 3) {
    Reaped p = reap(r, true);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.pktid, i);
    EXPECT_EQ(p.srcname, "AA_STA/log");
    EXPECT_EQ(p.bytes, std::to_string(i));
    EXPECT_EQ(p.time, 1000.0 + i);
  }
  EXPECT_EQ(wait_status(child), 0);
  EXPECT_EQ(reap(r).rc, -2);
  orbclose(r);
}

// Processes that create a missing ring at the same moment end up on one ring (one of
// them made it, the others were told it exists), and no temporary file is left behind.
TEST_F(OrbProcesses, SimultaneousCreationMakesOneRing) {
  std::string path = dir.file("ring");
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int k = 0; k < 6; k++) {
    children.push_back(spawn([&, k] {
      char b;
      close(go[1]);
      if (read(go[0], &b, 1) != 0) return 2;  // starts when the pipe closes
      bool made = orbcreate(path.c_str(), 64 << 10) == 0;
      int w = orbopen(path.c_str(), "w");
      if (w < 0) return 3;
      if (put(w, "C" + std::to_string(k), "x") < 0) return 4;
      return made ? 10 : 0;
    }));
  }
  close(go[0]);
  close(go[1]);
  int makers = 0;
  for (pid_t c : children) {
    int st = wait_status(c);
    EXPECT_TRUE(st == 0 || st == 10) << st;
    makers += st == 10;
  }
  EXPECT_EQ(makers, 1);
  int r = orbopen(path.c_str(), "r");
  ASSERT_GE(r, 0);
  Orbstat s;
  ASSERT_EQ(orbstat(r, &s), 0);
  EXPECT_EQ(s.npackets, 6);
  orbclose(r);
  std::vector<std::string> files;
  DIR *d = opendir(dir.path().c_str());
  while (dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') files.push_back(e->d_name);
  }
  closedir(d);
  EXPECT_EQ(files, std::vector<std::string>{"ring"});
}

}  // namespace
