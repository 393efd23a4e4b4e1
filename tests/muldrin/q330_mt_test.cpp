// Threads around a session: queued commands answered by a scripted control thread, and a
// caller that never waits for ever once the session is killed or its queue is closed; a
// link restart racing a kill.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/pf.h"
#include "q330.h"
#include "q330_fixture.h"
#include "testkit/testkit.h"

namespace {

struct Session {
  Q330 *q330 = q330_create(OutputRecorder::callback, nullptr);
  OutputRecorder out;
  Session() {
    EXPECT_NE(q330, nullptr);
    out.attach(q330);
  }
  ~Session() { free_session(q330); }
};

using Step = ScriptedControl::Step;

TEST(Q330Cmd, Replies) {
  Session s;
  ASSERT_EQ(q330_thread_start(s.q330), 0);
  ScriptedControl control(s.q330, {{ScriptedControl::Reply, "OK"},
                                   {ScriptedControl::Reply, "q330_register_pvt: no answer"},
                                   {ScriptedControl::Reply, "OK"},
                                   {ScriptedControl::Reply, "Not OK"},
                                   {ScriptedControl::Reply, "OK"}});
  char error[12] = "stale";
  EXPECT_EQ(q330_register(s.q330, error, sizeof error), 0);
  EXPECT_STREQ(error, "");
  // Any other text fails with the text, cut to the buffer.
  EXPECT_EQ(q330_deregister(s.q330, error, sizeof error), -1);
  EXPECT_STREQ(error, "q330_regist");
  EXPECT_EQ(q330_get_status(s.q330, nullptr, 0x1F, error, sizeof error), 0);
  EXPECT_EQ(q330_stop_calibration(s.q330), -1);  // no error buffer wanted
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("channels &Tbl{\n}\n", &pf), 0);
  EXPECT_EQ(q330_cfg_channels(s.q330, pf, error, sizeof error), 0);

  std::lock_guard<std::mutex> lock(control.mutex);
  EXPECT_EQ(control.commands, (std::vector<std::string>{"register", "deregister", "status",
                                                        "cal_stop", "cfg_channels"}));
  EXPECT_EQ(pfget_int(control.kept[2], "status_bitmap"), 0x1F);
  void *channels = nullptr;
  EXPECT_EQ(pfget(control.kept[4], "channels", &channels), PFTBL);
}

TEST(Q330Cmd, NotRunning) {
  struct Row {
    const char *what;
    ScriptedControl::Action action;
  };
  // The control thread takes the command, then the session is killed or its queue closed
  // instead of an answer: the caller must come back.
  const Row rows[] = {{"kill while waiting", ScriptedControl::Kill},
                      {"queue closed while waiting", ScriptedControl::Close}};
  for (const Row &r : rows) {
    Session s;
    ASSERT_EQ(q330_thread_start(s.q330), 0);
    {
      ScriptedControl control(s.q330, {Step{r.action, ""}});
      char error[64];
      EXPECT_EQ(q330_get_config(s.q330, error, sizeof error), -1) << r.what;
      EXPECT_STREQ(error, "q330_cmd: control thread not running") << r.what;
      // Later commands fail at once; their parameter objects are freed.
      Pf *pf = nullptr;
      ASSERT_EQ(pfcompile("x 1\n", &pf), 0);
      EXPECT_EQ(q330_cfg_channels(s.q330, pf, error, sizeof error), -1) << r.what;
      EXPECT_STREQ(error, "q330_cmd: control thread not running");
    }
  }
  // Before the threads are started there is no control queue.
  Session s;
  char error[64];
  EXPECT_EQ(q330_register(s.q330, error, sizeof error), -1);
  EXPECT_STREQ(error, "q330_cmd: control thread not running");
}

TEST(Q330Cmd, KillFromAnotherThreadWakesEveryCaller) {
  Session s;
  ASSERT_EQ(q330_thread_start(s.q330), 0);
  // No control thread: the commands stay queued until the kill.
  std::atomic<int> done{0};
  std::thread callers[3];
  for (auto &t : callers)
    t = std::thread([&] {
      char error[64];
      EXPECT_EQ(q330_register(s.q330, error, sizeof error), -1);
      done++;
    });
  while (pmtfifo_data_available(s.q330->control_mtfifo_in) < 3) std::this_thread::yield();
  q330_kill_thread(s.q330);
  for (auto &t : callers) t.join();
  EXPECT_EQ(done, 3);
}

TEST(Q330Restart, KillAlwaysWins) {
  ClockScale scale(0.0001);
  for (int i = 0; i < 200; i++) {
    Session s;
    s.q330->state_acquisition = Q330_ACQ_ACQUIRING;
    std::atomic<bool> go{false};
    std::thread restarter([&] {
      while (!go) std::this_thread::yield();
      q330_restart_link(s.q330, i % 2);  // with wait, it ends on the kill
    });
    std::thread killer([&] {
      while (!go) std::this_thread::yield();
      q330_kill_thread(s.q330);
    });
    go = true;
    restarter.join();
    killer.join();
    ASSERT_EQ(s.q330->state_acquisition, Q330_ACQ_KILL) << i;
  }
}

}  // namespace
