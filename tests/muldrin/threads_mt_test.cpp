// The four session threads: a kill in any state ends them all and releases callers of
// q330_cmd; the executor table's answers; registration back-off against the simulator;
// the watchdog's hang halt and its program status channels.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/tbl.h"
#include "muldrin_run.h"
#include "q330_dblk.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330_status.h"
#include "q330_threads.h"
#include "q330sim.h"
#include "q330sim_config.h"
#include "sim_session.h"
#include "testkit/testkit.h"
#include "udp.h"

namespace {

// Clocks run a thousand times faster, so back-offs and polls pass quickly.
struct FastClock {
  FastClock() { clock_set_scale(0.001); }
  ~FastClock() { clock_set_scale(1.0); }
};

// Records the lines and the status records, and signals each item, so a test can wait.
struct Waiter {
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<std::string> text;
  std::vector<Q330DataStatus> statuses;
  static int callback(Q330 *q, int type, void *data, int size) {
    auto *self = static_cast<Waiter *>(q->user_data);
    {
      std::lock_guard<std::mutex> lock(self->mutex);
      if (type == Q330_OUT_DATASTATUS) {
        Q330DataStatus s;
        memcpy(&s, data, sizeof s);
        self->statuses.push_back(s);
      } else if (type == Q330_OUT_LOG || type == Q330_OUT_STDOUT) {
        self->text.push_back(static_cast<char *>(data));
        free(data);
      } else if (type == Q330_OUT_TIME) {
        free(data);
      }
    }
    self->cv.notify_all();
    return 0;
  }
  void attach(Q330 *q) {
    q->user_data = this;
    q->out_callback = callback;
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex);
    return text;
  }
  bool has(const std::string &needle) {
    for (const std::string &l : lines())
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  int count(const std::string &needle) {
    int n = 0;
    for (const std::string &l : lines())
      if (l.find(needle) != std::string::npos) n++;
    return n;
  }
  // Waits (without a time limit: a hang fails the test run) until pred holds; woken by
  // every output item, and re-checks now and then for changes that make no output.
  template <class P>
  void wait(P pred) {
    for (;;) {
      if (pred()) return;
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
};

Q330 *new_session(Waiter &w) {
  Q330 *q = q330_create(Waiter::callback, nullptr);
  w.attach(q);
  set_q330_str(&q->params.dlname, "XX_TEST");
  q->params.register_retry_sleep = 5;
  q->params.statusrequest_interval = 10;
  // Statistics only where a test asks for them: the endpoints they read are made by the
  // control thread in these sessions.
  q->params.statusreport_interval = INT_MAX;
  return q;
}

// Frees a session of these tests with the endpoints its threads made.
void end_session(Q330 *q) {
  udp_free(q->udp_control);
  udp_free(q->udp_data);
  free_session(q);
}

const char *const kEnds[] = {"control thread ending", "data thread ending",
                             "status request thread ending", "watchdog thread ending"};

TEST(Threads, KillInEveryStateEndsAllFourAndReleasesCallers) {
  FastClock fast;
  for (int state = Q330_ACQ_STOPPED; state < Q330_ACQ_KILL; state++) {
    SCOPED_TRACE(state);
    Waiter w;
    Q330 *q = new_session(w);
    q->state_acquisition = static_cast<Q330AcqState>(state);
    ASSERT_EQ(q330_threads_start(q), 0);
    // A caller waiting on the control thread while the kill comes.
    int rc = 0;
    char err[128] = "";
    std::thread caller([&] { rc = q330_cmd(q, "nosuch", nullptr, err, sizeof err); });
    caller.join();
    EXPECT_EQ(rc, -1);
    EXPECT_STREQ(err, "unknown command");
    q330_kill_thread(q);
    q330_threads_join(q);
    for (const char *end : kEnds) EXPECT_TRUE(w.has(end)) << end;
    EXPECT_EQ(q330_cmd(q, "register", nullptr, err, sizeof err), -1);
    EXPECT_NE(std::string(err).find("control thread not running"), std::string::npos);
    end_session(q);
  }
}

TEST(Threads, KillWakesCallersBlockedBehindABusyQueue) {
  FastClock fast;
  Waiter w;
  Q330 *q = new_session(w);
  ASSERT_EQ(q330_threads_start(q), 0);
  std::vector<std::thread> callers;
  std::vector<int> rcs(6, 0);
  for (int i = 0; i < 6; i++)
    callers.emplace_back([&, i] {
      char err[128];
      rcs[static_cast<size_t>(i)] =
          q330_cmd(q, i % 2 ? "nosuch" : "deregister", nullptr, err, sizeof err);
    });
  q330_kill_thread(q);
  for (std::thread &t : callers) t.join();
  q330_threads_join(q);
  for (int r : rcs) EXPECT_EQ(r, -1);  // refused, failed or released: never "OK"
  end_session(q);
}

TEST(Threads, ExecutorTable) {
  for (const char *c :
       {"register", "deregister", "status", "config", "cfg_channels", "cfg_channels_auto"})
    EXPECT_NE(q330_executor_find(c), nullptr) << c;
  EXPECT_EQ(q330_executor_find("Register"), nullptr);
  EXPECT_EQ(q330_executor_find(""), nullptr);
  EXPECT_EQ(q330_executor_find(nullptr), nullptr);
}

// ---- Registration back-off against the simulator ----------------------------------------

struct SimSession {
  Q330Sim sim;
  Waiter w;
  Q330 *q;
  explicit SimSession(const Q330SimOptions &o, const char *code) : sim(o) {
    EXPECT_EQ(sim.start(), 0);
    q = new_session(w);
    sim_session_point(q, sim, o.logical, 0.2, 2, nullptr, {code});
  }
  ~SimSession() {
    sim.stop();
    sim_session_release(q);
    free_session(q);
  }
};

Q330SimOptions sim_options() {
  Q330SimOptions o;
  o.serial = 0x0100000012345678ull;
  o.auth_code = 0x2;
  return o;
}

TEST(Threads, RegistrationRetriesThenHibernates) {
  FastClock fast;
  // A refused authentication code: every registration fails.
  struct Row {
    int maxretries;
    int wait_for_sleeps;  // back-off lines to wait for
    bool hibernates;
  } rows[] = {{3, 2, true}, {0, 5, false}};
  for (const Row &row : rows) {
    SCOPED_TRACE(row.maxretries);
    SimSession s(sim_options(), "7");
    s.q->params.maxretries_register = row.maxretries;
    q330_start_acquisition(s.q);
    ASSERT_EQ(q330_threads_start(s.q), 0);
    const char *sleep_line = "Breakout to re-register after sleep";
    if (row.hibernates) {
      s.w.wait([&] { return s.w.has("Going into hibernation"); });
      EXPECT_EQ(s.w.count(sleep_line), 2);
      // The hibernating session stays hibernating.
      s.w.wait([&] { return s.q->state_acquisition.load() == Q330_ACQ_HIBERNATING; });
    } else {
      s.w.wait([&] { return s.w.count(sleep_line) >= row.wait_for_sleeps; });
      EXPECT_FALSE(s.w.has("Going into hibernation"));
    }
    q330_kill_thread(s.q);
    q330_threads_join(s.q);
  }
}

// A start from another thread (a remote command) wakes a hibernating session while its
// data thread keeps clearing the retry count on every pass of state 2.
TEST(Threads, StartFromAnotherThreadWakesAHibernatingSession) {
  FastClock fast;
  SimSession s(sim_options(), "7");
  s.q->params.maxretries_register = 1;
  q330_start_acquisition(s.q);
  ASSERT_EQ(q330_threads_start(s.q), 0);
  // Polled on the state and counted at the simulator: waiting on the session's output
  // would order the threads through the recorder's lock and hide an unguarded count.
  auto hibernate = [&] {
    return wait_until([&] { return s.q->state_acquisition.load() == Q330_ACQ_HIBERNATING; });
  };
  bool hibernated = hibernate();
  const int first = s.sim.count(Q330_C1_SRVRSP);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // passes of state 2
  EXPECT_EQ(q330_start_acquisition(s.q), 0);
  bool woke = wait_until([&] { return s.sim.count(Q330_C1_SRVRSP) != first; });
  bool again = woke && hibernate();
  q330_kill_thread(s.q);
  q330_threads_join(s.q);
  std::string log;
  for (const std::string &line : s.w.lines()) log += line;
  ASSERT_TRUE(hibernated && woke && again)
      << "hibernated " << hibernated << ", woke " << woke << ", again " << again << "\n"
      << log;
  EXPECT_EQ(s.w.count("Going into hibernation"), 2);
  EXPECT_FALSE(s.w.has("Breakout to re-register after sleep"));
}

// The status-request thread's turns, on a clock the rows set: the time counted while the
// stream is open holds the request back until the tick limit ((interval x 10 - 4) x 0.1 s)
// or until the last status is interval - 0.4 s old, and the pause says how long until one
// of them comes, on the half second; a request waits for the half second. An interval of 0 or below
// asks on every turn, at most once a second, so the control port never goes idle.
TEST(Threads, StatusRequestTicks) {
  struct Row {
    const char *what;
    double interval;
    double counted;
    double now, last_status, last_request;
    int due;
    double counted_after, pause;
  } rows[] = {
      {"counting up: the status age comes first", 10, 0, 1000.2, 999.9, 999.5, 0, 0, 9.3},
      {"counting up: the tick limit comes first", 10, 5, 1000.2, 999.9, 999.5, 0, 5, 4.6},
      {"just below the limit: on to the half second", 10, 9.5, 1000.2, 999.9, 999.5, 0, 9.5, 0.3},
      {"limit reached", 10, 9.6, 1000.2, 999.9, 999.5, 1, 0, 0.3},
      {"limit reached but for the rounding", 10, 9.6 - 1e-9, 1000.2, 999.9, 999.5, 1, 0, 0.3},
      {"status old enough", 10, 0.3, 1009.8, 1000.0, 999.5, 1, 0, 0.0},
      {"status just too young", 10, 0.3, 1009.5, 1000.0, 999.5, 0, 0.3, 0.1},
      {"status a hair too young: the least pause", 10, 0.3, 1009.5999, 1000.0, 999.5, 0, 0.3,
       0.001},
      {"second half: at once", 10, 9.6, 1000.7, 999.9, 990.5, 1, 0, 0.0},
      {"interval 0: due on the first turn", 0, 0, 1000.25, 0, 0, 1, 0, 0.25},
      {"interval 0: again the next second", 0, 0, 1001.25, 1000.5, 1000.5, 1, 0, 0.25},
      {"interval 0: not twice a second", 0, 0, 1000.52, 1000.51, 1000.5, 1, 0, 0.98},
      {"interval -5", -5, 0, 1000.6, 0, 999.5, 1, 0, 0.0},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    double counted = r.counted;
    double pause = -1;
    EXPECT_EQ(
        q330_status_request_due(&counted, r.interval, r.now, r.last_status, r.last_request, &pause),
        r.due);
    EXPECT_NEAR(counted, r.counted_after, 1e-9);
    EXPECT_NEAR(pause, r.pause, 1e-6);
  }
}

// Status readouts on one thread while the status-request thread reads the time of the
// last status and clears the buffer fill: both go through status_mutex.
TEST(Threads, StatusReadoutsWhileTheRequestThreadRuns) {
  ClockScale fast(0.01);
  Q330SimOptions o = sim_options();
  Q330Sim sim(o);
  ASSERT_EQ(sim.start(), 0);
  Waiter w;
  Q330 *q = new_session(w);
  q->noipresolv = 1;
  q->config.config_pkt.fix.flags = 0x16;
  q->config.config_pkt.fix.logical_port_packet_memory_size[0] = 1000;
  sim_session_point(q, sim, o.logical, 50, 3, nullptr, {"2"});
  char err[256] = "";
  ASSERT_EQ(q330_register_pvt(q, err, sizeof err), 0) << err;
  q->state_acquisition =
      Q330_ACQ_STOPPED;   // not acquiring: each pass of the thread clears the fill
  q->state_dataopen = 1;  // and it watches the time of the last status
  std::thread t(q330_run_status_request_thread, q);
  for (int i = 0; i < 20; i++) {
    EXPECT_EQ(q330_get_status_pvt(q, nullptr, 1, err, sizeof err), 0) << err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  q330_kill_thread(q);
  t.join();
  {
    std::lock_guard<std::mutex> lock(q->status.status_mutex);
    EXPECT_GT(q->status.time_last_status_pkt, 0);
  }
  sim.stop();
  sim_session_release(q);
  free_session(q);
}

// ---- Watchdog -----------------------------------------------------------------------------

struct StatusChans {
  Arr *arr = newarr(nullptr);
  std::vector<Q330StatusChan *> chans;
  StatusChans() {
    for (int i = 0; i < Q330_STATUS_DEFS; i++) {
      auto *c = new Q330StatusChan{};
      c->type = 1;
      c->stdef = &q330_status_defs[i];
      setarr(arr, q330_status_defs[i].name, c);
      chans.push_back(c);
    }
  }
  ~StatusChans() {
    for (Q330StatusChan *c : chans) delete c;
    freearr(arr, nullptr);
  }
};

TEST(Threads, WatchdogProgramStatusChannels) {
  FastClock fast;
  Waiter w;
  Q330 *q = new_session(w);
  StatusChans sc;
  q->params.status_chan_arr = sc.arr;
  q->params.statusreport_interval = 60;
  q->params.throttle = 2000;
  Q330Status &st = q->status;
  st.datagap = 4;
  st.npkts_processed_total = 7;
  st.npkts_wrongsize_error = 8;
  st.npkts_checksum_error = 9;
  st.bufpcnt = 19;
  st.starttime = 0;
  st.endtime = 0;
  q->ch98_time = 0;
  std::thread t(q330_run_watchdog_thread, q);
  w.wait([&] {
    std::lock_guard<std::mutex> lock(w.mutex);
    return w.statuses.size() >= static_cast<size_t>(Q330_STATUS_DEFS);
  });
  q330_kill_thread(q);
  t.join();
  std::vector<Q330DataStatus> got;
  {
    std::lock_guard<std::mutex> lock(w.mutex);
    got.assign(w.statuses.begin(), w.statuses.begin() + Q330_STATUS_DEFS);
  }
  int seen = 0;
  for (const Q330DataStatus &r : got) {
    auto *d = static_cast<const Q330StatusDef *>(r.entries[0].stdef);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(r.n, 1);
    EXPECT_EQ(r.index, d->index);
    EXPECT_EQ(r.entries[0].type, 1);
    EXPECT_EQ(r.time, got[0].time);
    EXPECT_EQ(r.time, std::floor(r.time));
    const double v = r.entries[0].dvalue;
    switch (d->iname) {
      case 2:
        EXPECT_EQ(v, 2000);
        break;
      case 4:
        EXPECT_EQ(v, 4);
        break;
      case 5:  // neither start nor end time: the null value
      case 6:
        EXPECT_EQ(v, d->null_value);
        break;
      case 7:
        EXPECT_EQ(v, 7);
        break;
      case 8:
        EXPECT_EQ(v, 8);
        break;
      case 9:
        EXPECT_EQ(v, 9);
        break;
      case 19:
        EXPECT_EQ(v, 19);
        break;
      case 3:  // nothing sent or resent yet
        EXPECT_EQ(v, -1);
        break;
      default:
        EXPECT_EQ(v, 0) << d->name;
        break;
    }
    seen |= 1 << d->iname;
  }
  EXPECT_EQ(seen, ((1 << 20) - 1) & ~1);  // each of the 19 once
  q->params.status_chan_arr = nullptr;
  free_session(q);
}

TEST(Threads, WatchdogSendsNothingWithReportIntervalZero) {
  FastClock fast;
  Waiter w;
  Q330 *q = new_session(w);
  StatusChans sc;
  q->params.status_chan_arr = sc.arr;
  q->params.statusreport_interval = 0;
  std::thread t(q330_run_watchdog_thread, q);
  // The statistics run on every pass with an interval of 0: wait for several passes.
  double last = 0;
  int passes = 0;
  while (passes < 20) {
    double now;
    {
      std::lock_guard<std::mutex> lock(q->status.status_mutex);
      now = q->status.datarate_time;
    }
    if (now != last) passes++;
    last = now;
    std::this_thread::yield();
  }
  q330_kill_thread(q);
  t.join();
  std::lock_guard<std::mutex> lock(w.mutex);
  EXPECT_TRUE(w.statuses.empty());
  q->params.status_chan_arr = nullptr;
  free_session(q);
}

TEST(Threads, WatchdogHaltsOnAHungDataThreadBeforeTheInactivityReport) {
  FastClock fast;
  Waiter w;
  Q330 *q = new_session(w);
  q->params.timeout_datathread_hang = 600;
  q->params.freeze_datathread_time = 1;
  {
    std::lock_guard<std::mutex> lock(q->last_data_thread_time_mutex);
    q->last_data_thread_time = q->last_data_thread_time2 = clock_now() - 700;
  }
  myshutdown.store(0);
  std::thread t(q330_run_watchdog_thread, q);
  w.wait([&] { return myshutdown.load() == 1; });
  q330_kill_thread(q);
  t.join();
  EXPECT_EQ(w.count("Shutting down program due to apparent datathread hang"), 1);
  // 700 s of silence: no inactivity report yet (those come every 1200 s).
  EXPECT_FALSE(w.has("datathread inactive"));
  EXPECT_FALSE(w.has("controlthread"));
  myshutdown.store(0);
  free_session(q);
}

}  // namespace
