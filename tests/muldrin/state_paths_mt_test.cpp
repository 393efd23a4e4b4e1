// The acquisition states a session's four threads go through against the simulator, one
// table of (start, simulator behaviour, parameters) -> (state path, log lines): registration
// retries and hibernation, a silent datalogger, the acquisition time-out in listen and in
// acquisition mode, control inactivity and the status requests at interval 0 that keep it
// off, and a data stall that re-registers and resumes the stream with every record once.
//
// The path is sampled on the clock seam: every pause of every session thread records the
// state it sees, and so does every log line. The data thread pauses in each state without
// a line of its own (0 to 3) and logs in each of the others, so no state of the path goes
// unseen; consecutive repeats are folded.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "pwb.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330_threads.h"
#include "q330sim.h"
#include "q330sim_data.h"
#include "sim_session.h"
#include "testkit/testkit.h"

namespace {

constexpr double kScale = 0.02;  // clock seconds last 20 ms

struct Recorder;
// The recorder the clock's pauses sample into (the simulator's loop pauses too).
std::atomic<Recorder *> g_recorder{nullptr};

// The state path, the log lines and the data records of one session.
struct Recorder {
  std::mutex mutex;
  Q330 *q = nullptr;
  bool sampling = true;
  std::vector<int> path;
  std::vector<std::string> lines;
  std::vector<uint32_t> records;  // data record sequence of each record handed over

  void sample_locked() {
    if (!sampling || !q) return;
    const int s = q->state_acquisition.load();
    if (path.empty() || path.back() != s) path.push_back(s);
  }
  void sample() {
    std::lock_guard<std::mutex> lock(mutex);
    sample_locked();
  }
  static int callback(Q330 *q, int type, void *data, int size) {
    auto *self = static_cast<Recorder *>(q->user_data);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (type == Q330_OUT_LOG || type == Q330_OUT_STDOUT) {
      self->sample_locked();
      self->lines.emplace_back(static_cast<char *>(data));
      free(data);
    } else if (type == Q330_OUT_TIME) {
      free(data);
    } else if (type == Q330_OUT_DATA && size >= 16) {
      const auto *p = static_cast<const unsigned char *>(data);
      self->records.push_back(static_cast<uint32_t>(p[12]) << 24 | p[13] << 16 | p[14] << 8 |
                              p[15]);
    }
    return 0;
  }
  std::vector<int> get_path() {
    std::lock_guard<std::mutex> lock(mutex);
    return path;
  }
  size_t nrecords() {
    std::lock_guard<std::mutex> lock(mutex);
    return records.size();
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex);
    std::string all;
    for (const std::string &l : lines) all += l;
    return all;
  }
  int count(const std::string &needle) {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const std::string &l : lines) n += l.find(needle) != std::string::npos;
    return n;
  }
};

// Scaled clocks whose pauses sample the state first.
struct SamplingClock {
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  double wall0 = static_cast<double>(time(nullptr));
  ClockDriver driver{[](void *u) {
                       return static_cast<SamplingClock *>(u)->elapsed() +
                              static_cast<SamplingClock *>(u)->wall0;
                     },
                     [](void *u) { return static_cast<SamplingClock *>(u)->elapsed(); },
                     [](double s, void *) {
                       if (Recorder *r = g_recorder.load()) r->sample();
                       if (s > 0)
                         std::this_thread::sleep_for(std::chrono::duration<double>(s * kScale));
                     },
                     this};
  double elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / kScale;
  }
  SamplingClock() {
    clock_set_scale(kScale);  // waits that do not pause through the seam
    clock_set_driver(&driver);
  }
  ~SamplingClock() {
    clock_set_driver(nullptr);
    clock_set_scale(1.0);
  }
};

struct PathCase {
  const char *what;
  Q330AcqState start;  // acquisition state the threads start in
  const char *code;    // authentication code the session offers ("2" is accepted)
  bool silent;         // the simulator answers nothing on its control port
  int maxretries_register;
  int disposition;            // 0 acquire, 2 listen
  double shutdown_timeout;    // acquisition time-out after each open; 0 none
  double control_inactivity;  // 0 none
  int statusrequest_interval;
  bool stall;             // the data port stops after 5 records until the next open
  std::vector<int> path;  // the path, from the start
  bool stays;             // the path ends in a state the session keeps
  std::vector<std::pair<const char *, int>> lines;  // (text, how many times; -1 at least once)
  double hold = 0;          // clock seconds the session runs on once the path is reached
  int status_requests = 0;  // C1_RQSTAT the simulator must have had by then, at least
};

void run_case(const PathCase &c) {
  SCOPED_TRACE(c.what);
  SamplingClock clock;
  Q330SimOptions o;
  o.auth_code = 0x2;
  Q330Sim sim(o);
  if (c.silent) sim.add_fault({-1, 0, Q330SIM_DROP, 0, 0});
  Q330SimDataKnobs k = sim.data().get_knobs();
  k.seed = 99;
  k.record_interval = 0.25;
  sim.data().set_knobs(k);
  ASSERT_EQ(sim.start(), 0);

  Recorder rec;
  Q330 *q = q330_create(Recorder::callback, nullptr);
  q->user_data = &rec;
  Q330DLParams &p = q->params;
  set_q330_str(&p.dlname, "XX_PATH");
  set_q330_str(&q->target_name, "tgt");
  p.register_retry_sleep = 5;
  p.maxretries_register = c.maxretries_register;
  p.disposition = c.disposition;
  p.shutdown_timeout = c.shutdown_timeout;
  p.control_inactivity_timeout = c.control_inactivity;
  p.statusrequest_interval = c.statusrequest_interval;
  p.statusreport_interval = INT_MAX;  // no program statistics
  p.udp_packetcache_size_data = 16;
  p.timeout_data = 20;
  p.throttle_q330 = -1;
  sim_session_point(q, sim, o.logical, 5, 2, nullptr, {c.code});
  q->state_acquisition = c.start;
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.q = q;
  }
  g_recorder = &rec;

  std::thread staller;
  std::atomic<bool> given_up{false};  // the path was not reached: the staller stops waiting
  if (c.stall)
    staller = std::thread([&] {
      wait_until([&] { return given_up || rec.nrecords() >= 5; });
      Q330SimDataKnobs s = sim.data().get_knobs();
      s.stall = true;
      sim.data().set_knobs(s);
      const int opens = sim.data().get_counters().opens;
      wait_until([&] { return given_up || sim.data().get_counters().opens != opens; });
      s.stall = false;
      sim.data().set_knobs(s);
    });

  ASSERT_EQ(q330_threads_start(q), 0);
  auto reached = [&] {
    std::vector<int> got = rec.get_path();
    return got.size() >= c.path.size() && (!c.stall || rec.nrecords() >= 15);
  };
  const bool was_reached = wait_until(reached);
  given_up = !was_reached;
  // A state the session keeps: a few more of its passes change nothing.
  if (was_reached && c.stays)
    std::this_thread::sleep_for(std::chrono::duration<double>(3 * kScale));
  if (was_reached && c.hold > 0)
    std::this_thread::sleep_for(std::chrono::duration<double>(c.hold * kScale));
  {
    std::lock_guard<std::mutex> lock(rec.mutex);
    rec.sampling = false;
  }
  q330_kill_thread(q);
  q330_threads_join(q);
  if (staller.joinable()) staller.join();
  g_recorder = nullptr;
  EXPECT_TRUE(was_reached) << "the path was not reached; the session logged:\n" << rec.text();
  const int status_requests = sim.count(0x1F);  // C1_RQSTAT
  sim.stop();
  EXPECT_GE(status_requests, c.status_requests);

  std::vector<int> got = rec.get_path();
  if (c.stays) {
    EXPECT_EQ(got, c.path);
  } else {
    ASSERT_GE(got.size(), c.path.size());
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + static_cast<long>(c.path.size())),
              c.path);
  }
  for (const auto &[text, n] : c.lines) {
    if (n < 0)
      EXPECT_GT(rec.count(text), 0) << text;
    else
      EXPECT_EQ(rec.count(text), n) << text;
  }
  if (c.stall) {
    // Every record once, in order, across the stall and the new link.
    std::lock_guard<std::mutex> lock(rec.mutex);
    for (size_t i = 1; i < rec.records.size(); i++)
      EXPECT_EQ(rec.records[i], rec.records[i - 1] + 1) << "record " << i;
  }
  packet_window_buffer_free(q->pwb);  // the kill leaves the last link open
  q->pwb = nullptr;
  sim_session_release(q);
  free_session(q);
}

// The states by short names, for the path table.
constexpr Q330AcqState kStopped = Q330_ACQ_STOPPED, kWaiting = Q330_ACQ_WAITING,
                       kHibernating = Q330_ACQ_HIBERNATING, kSleeping = Q330_ACQ_SLEEPING,
                       kRegister = Q330_ACQ_REGISTER, kOpenData = Q330_ACQ_OPEN_DATA,
                       kAcquiring = Q330_ACQ_ACQUIRING, kShutdown = Q330_ACQ_SHUTDOWN,
                       kRestartLink = Q330_ACQ_RESTART_LINK;

TEST(StatePaths, Table) {
  const char *sleep = "Breakout to re-register after sleep";
  const char *hibernate = "Going into hibernation";
  const std::vector<PathCase> cases = {
      {"refused code, three tries: hibernation after the third failure",
       kRegister,
       "7",
       false,
       3,
       0,
       0,
       0,
       10,
       false,
       {kRegister, kSleeping, kRegister, kSleeping, kRegister, kHibernating},
       true,
       {{sleep, 2}, {hibernate, 1}}},
      {"refused code, no limit: retries for ever",
       kRegister,
       "7",
       false,
       0,
       0,
       0,
       0,
       10,
       false,
       {kRegister, kSleeping, kRegister, kSleeping, kRegister, kSleeping, kRegister, kSleeping,
        kRegister},
       false,
       {{hibernate, 0}}},
      {"silent datalogger, two tries",
       kRegister,
       "2",
       true,
       2,
       0,
       0,
       0,
       10,
       false,
       {kRegister, kSleeping, kRegister, kHibernating},
       true,
       {{sleep, 1}, {hibernate, 1}, {"q330_register() error", -1}}},
      {"listen: the acquisition time-out ends the link and listens again",
       kRegister,
       "2",
       false,
       0,
       2,
       20,
       0,
       10,
       false,
       {kRegister, kOpenData, kAcquiring, kShutdown, kWaiting},
       true,
       {{"Acquisition timeout....", 1}, {"Shutting down data connection.", 1}}},
      {"acquire: the acquisition time-out restarts the link through 8",
       kRegister,
       "2",
       false,
       0,
       0,
       20,
       0,
       10,
       false,
       {kRegister, kOpenData, kAcquiring, kRestartLink, kRegister, kOpenData, kAcquiring},
       false,
       {{"Acquisition timeout....", -1}, {hibernate, 0}}},
      {"no status for the control inactivity time: the link restarts",
       kRegister,
       "2",
       false,
       0,
       0,
       0,
       15,
       1000,  // no status request within the inactivity time
       false,
       {kRegister, kOpenData, kAcquiring, kRestartLink, kRegister, kOpenData, kAcquiring},
       false,
       {{"Control inactivity timeout...restarting link", -1}}},
      {"status requests at interval 0 keep the control port alive",
       kRegister,
       "2",
       false,
       0,
       0,
       0,
       15,
       0,
       false,
       {kRegister, kOpenData, kAcquiring},
       true,
       {{"Control inactivity timeout", 0}},
       40,   // well past the inactivity time
       10},  // about one request a second, at least a quarter of them
      {"a data stall re-registers and resumes",
       kRegister,
       "2",
       false,
       0,
       0,
       0,
       0,
       10,
       true,
       {kRegister, kOpenData, kAcquiring, kRegister, kOpenData, kAcquiring},
       false,
       {{"Breakout to re-register...", 1}, {hibernate, 0}}},
      {"stopped: nothing happens",
       kStopped,
       "2",
       false,
       0,
       0,
       0,
       0,
       10,
       false,
       {kStopped},
       true,
       {{"Data connection startup.", 0}}},
  };
  for (const PathCase &c : cases) run_case(c);
}

}  // namespace
