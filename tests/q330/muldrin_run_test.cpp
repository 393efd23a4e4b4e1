// Tests of muldrin's halt entry, stop flags and the wait for the write thread.
#include "muldrin_run.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>

#include "muldrin_write.h"
#include "testkit/testkit.h"

namespace {

TEST(MuldrinRun, HaltSetsTheFlagAndASecondChangesNothing) {
  myshutdown = 0;
  muldrin_halt();
  EXPECT_EQ(myshutdown.load(), 1);
  muldrin_halt();
  EXPECT_EQ(myshutdown.load(), 1);
  myshutdown = 0;
}

TEST(MuldrinRun, MystrncpyAlwaysTerminates) {
  char buf[5];
  memset(buf, 'x', sizeof buf);
  mystrncpy(buf, "abcdefgh", sizeof buf);
  EXPECT_STREQ(buf, "abcd");
  mystrncpy(buf, "ab", sizeof buf);
  EXPECT_STREQ(buf, "ab");
}

TEST(MuldrinRun, WriterThatStopsIsWaitedFor) {
  ClockScale scale(0.001);
  Muldrin m;
  m.target_name = const_cast<char *>("TA");
  ASSERT_EQ(muldrin_write_setup(&m), 0);
  pthread_t thr;
  ASSERT_EQ(pthread_create(&thr, nullptr, run_write_thread, nullptr), 0);
  ElogCapture cap;
  EXPECT_EQ(muldrin_stop_writer(&m), 0);
  pthread_join(thr, nullptr);
  EXPECT_TRUE(cap.contains("TA: Write thread done...")) << cap.text();
  muldrin_write_teardown(&m);
}

TEST(MuldrinRun, WriterThatNeverStopsEndsTheWaitAfterAThousandSteps) {
  ClockWatch watch(0.0001);
  Muldrin m;
  ASSERT_EQ(muldrin_write_setup(&m), 0);  // no write thread runs
  ElogCapture cap;
  EXPECT_EQ(muldrin_stop_writer(&m), -1);
  EXPECT_EQ(watch.sleeps(0.1), 2 + 1000);
  EXPECT_FALSE(cap.contains("Write thread done"));
  muldrin_write_teardown(&m);
}

}  // namespace
