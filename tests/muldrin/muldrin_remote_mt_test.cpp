// End to end: muldrin runs in-process on the shipped parameter file with a command ring;
// the ring tool sends it a signed "getstatus" and reads the answer.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "muldrin_run.h"
#include "muldrin_start.h"
#include "ring/orb.h"
#include "ringtool.h"
#include "testkit/testkit.h"

namespace {

std::vector<char *> words(std::vector<std::string> &w) {
  std::vector<char *> argv;
  for (std::string &s : w) argv.push_back(s.data());
  return argv;
}

TEST(MuldrinRemote, SignedGetstatusIsAnsweredDone) {
  TempDir dir;
  ClockScale scale(0.001);
  std::string ring = dir.file("r.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 22), 0);
  myshutdown = 0;
  int status = -1;
  std::vector<std::string> args = {"muldrin", "-pf", MULDRIN_PF, "TA", "data", ring,
                                   "cmd",     ring,  "log",      ring, "st",   ring};
  std::thread program([&] {
    auto argv = words(args);
    status = muldrin_main(static_cast<int>(argv.size()), argv.data());
  });
  // The command service is reading once its first keep-alive packet is in the ring.
  int r = orbopen(ring.c_str(), "r");
  ASSERT_GE(r, 0);
  ASSERT_EQ(orbselect(r, "TA/pf/dlcm"), 0);
  char *buf = nullptr;
  int bufsize = 0, nbytes = 0, id = 0;
  char src[ORBSRCNAME_SIZE];
  double t = 0;
  EXPECT_EQ(orbreap(r, &id, src, &t, &buf, &nbytes, &bufsize), 0);
  free(buf);
  orbclose(r);

  char *out = nullptr;
  size_t outsize = 0;
  FILE *f = open_memstream(&out, &outsize);
  std::vector<std::string> cmd = {"ringtool", "command", "-w", "300", ring, "TA", "getstatus"};
  auto argv = words(cmd);
  int rc = ringtool_command(static_cast<int>(argv.size()), argv.data(), f);
  fclose(f);
  std::string text = out ? out : "";
  free(out);
  EXPECT_EQ(rc, 0) << text;
  EXPECT_NE(text.find("response 1: done\ncommand getstatus\n"), std::string::npos) << text;
  EXPECT_NE(text.find("dlname TA_SIM1\ndlserial 0100000000000001\n"), std::string::npos) << text;
  EXPECT_NE(text.find("status &Arr{"), std::string::npos) << text;

  muldrin_halt();
  program.join();
  EXPECT_EQ(status, 0);
  myshutdown = 0;
}

}  // namespace
