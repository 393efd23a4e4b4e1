// Tests of muldrin's halt entry, stop flags and the wait for the write thread.
#include "muldrin_run.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <cstring>
#include <thread>

#include "base/tbl.h"
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

TEST(MuldrinRun, ShutdownKillsASessionStuckWhenTheStepsRunOut) {
  ClockScale scale(0.001);
  for (double wait : {0.0, 0.35}) {
    Muldrin m;
    m.target_name = const_cast<char *>("TA");
    m.shutdown_wait_time = wait;  // 0 still gives one step
    ASSERT_EQ(muldrin_write_setup(&m), 0);
    Q330 q;
    q.state_acquisition = Q330_ACQ_OPEN_DATA;
    m.q330s_tbl = newtbl(1);
    settbl(m.q330s_tbl, 0, &q);
    pthread_t thr;
    ASSERT_EQ(pthread_create(&thr, nullptr, run_write_thread, nullptr), 0);
    ElogCapture cap;
    EXPECT_EQ(muldrin_shutdown(&m), 0);
    pthread_join(thr, nullptr);
    EXPECT_EQ(q.state_acquisition.load(), Q330_ACQ_KILL) << wait;
    EXPECT_TRUE(cap.contains("Timeout waiting for acquisition to stop")) << cap.text();
    EXPECT_TRUE(cap.contains("TA: Write thread done...")) << cap.text();
    EXPECT_EQ(m.flushstatus.load(), 1);
    EXPECT_EQ(myshutdown_pocds.load(), 1);
    freetbl(m.q330s_tbl, nullptr);
    muldrin_write_teardown(&m);
  }
}

// Every signal of the list passes without ending, stopping or shutting down the program
// (SIGCHLD keeps a handler, not SIG_IGN, so that children are still reaped by their
// waiter); then a terminate signal asks for the orderly shutdown.
TEST(MuldrinRun, TermSignalAsksForShutdownAndTheOthersAreIgnored) {
  myshutdown = 0;
  ASSERT_EQ(q330_setup_signals(), 0);
  for (int sig : q330_ignored_signals) {
    SCOPED_TRACE(sig);
    struct sigaction sa;
    ASSERT_EQ(sigaction(sig, nullptr, &sa), 0);
    EXPECT_NE(sa.sa_handler, SIG_DFL);
    EXPECT_NE(sa.sa_handler, SIG_IGN);
    raise(sig);  // the process goes on
    EXPECT_EQ(myshutdown.load(), 0);
  }
  raise(SIGTERM);
  for (int i = 0; i < 100000000 && myshutdown.load() == 0; i++) std::this_thread::yield();
  EXPECT_EQ(myshutdown.load(), 1);
  raise(SIGTERM);  // a second signal changes nothing
  EXPECT_EQ(myshutdown.load(), 1);
  myshutdown = 0;
}

}  // namespace
