#include "base/elog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "base/oom.h"
#include "testkit/testkit.h"

TEST(Elog, RegisteredMessagesWaitForTheNextComplaint) {
  ElogCapture cap;
  elog_log(0, "first: %d\n", 1);
  elog_log(0, "second\n");
  EXPECT_TRUE(cap.lines().empty());
  elog_complain(0, "caller: failed\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("first: 1"), std::string::npos);
  EXPECT_NE(lines[1].find("second"), std::string::npos);
  EXPECT_NE(lines[2].find("caller: failed"), std::string::npos);
  EXPECT_EQ(elog_mark(), 0);
}

TEST(Elog, ClearRegisterPrintsOrDrops) {
  struct Case {
    int flag;
    size_t printed;
  } cases[] = {{0, 0}, {1, 2}};
  for (const Case &c : cases) {
    ElogCapture cap;
    elog_log(0, "a\n");
    elog_log(0, "b\n");
    EXPECT_EQ(elog_clear_register(c.flag), 2);
    EXPECT_EQ(cap.lines().size(), c.printed) << "flag " << c.flag;
    EXPECT_EQ(elog_clear_register(1), 0);
  }
}

TEST(Elog, LinesArePrefixedAndFlagOneAddsTheSystemError) {
  ElogCapture cap;
  errno = ENOENT;
  elog_complain(1, "open_it: open(%s) error.\n", "/x");
  errno = ENOENT;
  elog_complain(0, "plain\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind(std::string(Program_Name) + ": open_it: open(/x) error.", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[0].find("No such file"), std::string::npos);
  EXPECT_EQ(lines[1].find("No such file"), std::string::npos);
  EXPECT_EQ(lines[1].back(), '\n');
}

TEST(Elog, MultiLineMessagesGetOnePrefixPerLine) {
  ElogCapture cap;
  elog_notify(0, "one\n\ttwo\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(": \ttwo"), std::string::npos);
}

TEST(Elog, QueryHandsOverFromAMark) {
  ElogCapture cap;
  elog_log(0, "before\n");
  int mark = elog_mark();
  errno = EACCES;
  elog_log(1, "after\n");
  Elog_msg *list = nullptr;
  int n = elog_query(1, mark, &list);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(list[0].msg, "after\n");
  EXPECT_STRNE(list[0].sys, "");
  EXPECT_EQ(list[0].severity, ELOG_LOG);
  elog_free_msg(&list[0]);
  free(list);
  EXPECT_EQ(elog_mark(), 2);  // flag 1 leaves them
  n = elog_query(2, 0, &list);
  EXPECT_EQ(n, 2);
  for (int i = 0; i < n; i++) elog_free_msg(&list[i]);
  free(list);
  EXPECT_EQ(elog_mark(), 0);  // flag 2 takes them
}

TEST(Elog, RegisterIsPerThread) {
  ElogCapture cap;
  elog_log(0, "main thread\n");
  std::thread t([] { EXPECT_EQ(elog_clear_register(0), 0); });
  t.join();
  EXPECT_EQ(elog_clear_register(0), 1);
}

TEST(Elog, DieAndFaultGoThroughTheExitHook) {
  ElogCapture cap;
  ElogExitTrap trap;
  try {
    elog_die(0, "fatal thing\n");
    FAIL() << "elog_die returned";
  } catch (const ElogExit &e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_TRUE(cap.contains("fatal thing"));
  try {
    elog_fault(0, "broken\n");
  } catch (const ElogExit &e) {
    EXPECT_EQ(e.status, 2);
  }
}

TEST(Elog, OutOfMemoryMessage) {
  ElogCapture cap;
  ElogExitTrap trap;
  EXPECT_THROW(out_of_memory(42, "x.cpp", 100, "thing"), ElogExit);
  EXPECT_TRUE(cap.contains("Out of memory at line 42 in 'x.cpp'"));
  EXPECT_TRUE(cap.contains("\tCan't malloc 100 bytes for thing"));
}

TEST(Elog, DebugOnlyWhenVerbose) {
  ElogCapture cap;
  Verbose = 0;
  elog_debug(0, "quiet\n");
  EXPECT_TRUE(cap.lines().empty());
  Verbose = 1;
  elog_debug(0, "loud\n");
  Verbose = 0;
  EXPECT_TRUE(cap.contains("loud"));
}

TEST(Elog, InitTakesTheBaseName) {
  char arg0[] = "/usr/local/bin/muldrin";
  char *argv[] = {arg0, nullptr};
  elog_init(1, argv);
  EXPECT_STREQ(Program_Name, "muldrin");
}
