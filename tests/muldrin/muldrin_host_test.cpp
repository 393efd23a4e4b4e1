// muldrin's host and ring-server texts and the small process helpers (the version line is
// shown in the start-up banner and the status packet: muldrin_start_test).
#include "muldrin_host.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>

#include "base/pf.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

namespace {

TEST(MuldrinHost, RingServerTexts) {
  TempDir dir;
  std::string ring = dir.file("r.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  int orb = orbopen(ring.c_str(), "r&");
  ASSERT_GE(orb, 0);
  char name[64];
  EXPECT_EQ(my_gethoststuff(orb, nullptr, name, 0, sizeof name), 0);
  EXPECT_STREQ(name, "127.0.0.1:0");  // a ring named by its path has no port
  char small[6];
  my_gethoststuff(orb, nullptr, small, 0, sizeof small);
  EXPECT_STREQ(small, "127.0");  // cut to the buffer, always terminated
  orbclose(orb);

  ElogCapture cap;
  my_gethoststuff(-1, nullptr, name, 0, sizeof name);
  EXPECT_STREQ(name, "-");
  my_gethoststuff(orb, nullptr, name, 0, sizeof name);  // closed: the server cannot be asked
  EXPECT_STREQ(name, "-");
  EXPECT_TRUE(cap.contains("my_gethoststuff: orbstat() error.")) << cap.text();
}

TEST(MuldrinHost, HostTextIsNameBlankAddress) {
  char host[512];
  ElogCapture cap;  // a host without a resolvable name still gives a text
  EXPECT_EQ(my_gethoststuff(-1, host, nullptr, sizeof host, 0), 0);
  std::string h = host;
  size_t blank = h.rfind(' ');
  ASSERT_NE(blank, std::string::npos) << h;
  unsigned a, b, c, d;
  EXPECT_EQ(sscanf(h.c_str() + blank + 1, "%u.%u.%u.%u", &a, &b, &c, &d), 4) << h;
}

TEST(MuldrinHost, PfNotifyLogsTheText) {
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("key value\n", &pf), 0);
  ElogCapture cap;
  EXPECT_EQ(pfnotify(pf), 0);
  EXPECT_TRUE(cap.contains("key")) << cap.text();
  EXPECT_TRUE(cap.contains("value")) << cap.text();
  pffree(pf);
}

TEST(MuldrinHost, IgnoredAlarmDoesNotEndTheProcess) {
  struct sigaction old {};
  sigaction(SIGALRM, nullptr, &old);
  EXPECT_EQ(ignoreSIGALRM(), 0);
  raise(SIGALRM);
  struct sigaction now {};
  sigaction(SIGALRM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, ignore);
  EXPECT_TRUE(now.sa_flags & SA_RESTART);
  sigaction(SIGALRM, &old, nullptr);
}

}  // namespace
