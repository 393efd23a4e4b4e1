#include "testkit/testkit.h"

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "base/clock.h"
#include "base/elog.h"

namespace {
std::mutex g_mutex;
std::vector<std::string> g_lines;

void sink(const std::string &line, void *) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.push_back(line);
}

void throw_exit(int status) { throw ElogExit{status}; }
}  // namespace

ElogCapture::ElogCapture() {
  clear();
  elog_clear_register(0);
  elog_set_sink(sink, nullptr);
}
ElogCapture::~ElogCapture() { elog_set_sink(nullptr, nullptr); }
std::vector<std::string> ElogCapture::lines() const {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_lines;
}
std::string ElogCapture::text() const {
  std::string out;
  for (const auto &l : lines()) out += l;
  return out;
}
bool ElogCapture::contains(const std::string &needle) const {
  return text().find(needle) != std::string::npos;
}
void ElogCapture::clear() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_lines.clear();
}

ElogExitTrap::ElogExitTrap() { elog_set_exit_hook(throw_exit); }
ElogExitTrap::~ElogExitTrap() { elog_set_exit_hook(nullptr); }

TempDir::TempDir() {
  const char *base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/vantrel-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
  path_ = buf.data();
}
TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}
std::string TempDir::write(const std::string &name, const std::string &text) const {
  std::string p = file(name);
  std::ofstream out(p, std::ios::binary);
  out << text;
  return p;
}

namespace {
// The driven clock's time is read by threads of the code under test while a pause on
// another thread moves it on: both go through this lock (32-bit ARM has no lock-free
// 8-byte atomics).
std::mutex g_driven_mutex;
}  // namespace

DrivenClock::DrivenClock(double start) : now(start) {
  driver_.now = [](void *u) {
    std::lock_guard<std::mutex> g(g_driven_mutex);
    return static_cast<DrivenClock *>(u)->now;
  };
  driver_.monotonic = driver_.now;
  driver_.sleep = [](double s, void *u) {
    std::lock_guard<std::mutex> g(g_driven_mutex);
    static_cast<DrivenClock *>(u)->now += s;
  };
  driver_.user = this;
  clock_set_driver(&driver_);
}

DrivenClock::~DrivenClock() { clock_set_driver(nullptr); }

ClockScale::ClockScale(double scale) { clock_set_scale(scale); }
ClockScale::~ClockScale() { clock_set_scale(1.0); }

struct ClockWatch::State {
  double scale = 1;
  double real_mono0 = 0;        // the real monotonic clock when the watch began
  double mono0 = 0, wall0 = 0;  // the seam's clocks then
  std::mutex mutex;
  std::condition_variable began;
  std::map<double, int> counts;  // sleeps begun, by length
  ClockDriver driver{};
};

namespace {

double real_clock(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

double watch_monotonic(void *user) {
  auto *s = static_cast<ClockWatch::State *>(user);
  return s->mono0 + (real_clock(CLOCK_MONOTONIC) - s->real_mono0) / s->scale;
}

double watch_now(void *user) {
  auto *s = static_cast<ClockWatch::State *>(user);
  return s->wall0 + (real_clock(CLOCK_MONOTONIC) - s->real_mono0) / s->scale;
}

void watch_sleep(double seconds, void *user) {
  auto *s = static_cast<ClockWatch::State *>(user);
  {
    std::lock_guard<std::mutex> lock(s->mutex);
    s->counts[seconds]++;
  }
  s->began.notify_all();
  if (seconds > 0) std::this_thread::sleep_for(std::chrono::duration<double>(seconds * s->scale));
}

}  // namespace

ClockWatch::ClockWatch(double scale) : state_(new State), old_scale_(clock_get_scale()) {
  state_->scale = scale;
  state_->real_mono0 = real_clock(CLOCK_MONOTONIC);
  state_->mono0 = clock_monotonic();
  state_->wall0 = clock_now();
  state_->driver = {watch_now, watch_monotonic, watch_sleep, state_};
  clock_set_scale(scale);  // for the waits measured with clock_real_seconds
  clock_set_driver(&state_->driver);
}

ClockWatch::~ClockWatch() {
  clock_set_driver(nullptr);
  clock_set_scale(old_scale_);
  delete state_;
}

int ClockWatch::sleeps(double seconds) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->counts.find(seconds);
  return it == state_->counts.end() ? 0 : it->second;
}

bool ClockWatch::wait_sleeps(double seconds, int count) {
  std::unique_lock<std::mutex> lock(state_->mutex);
  return state_->began.wait_for(lock, std::chrono::seconds(60),
                                [&] { return state_->counts[seconds] > count; });
}

bool wait_until(const std::function<bool()> &done, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> take_registered_list(int mark) {
  Elog_msg *list = nullptr;
  int n = elog_query(2, mark, &list);
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) {
    out.push_back(list[i].msg);
    elog_free_msg(&list[i]);
  }
  free(list);
  return out;
}

std::string take_registered(int mark) {
  std::string out;
  for (const std::string &m : take_registered_list(mark)) out += m;
  return out;
}

namespace {

struct StackRun {
  const std::function<void()> *fn;
  long peak;
};

void *stack_run(void *arg) {
  auto *run = static_cast<StackRun *>(arg);
  long painted = threadstart_stack_paint();
  (*run->fn)();
  run->peak = painted < 0 ? -1 : threadstart_stack_peak();
  return nullptr;
}

}  // namespace

long run_on_thread_stack(ThreadKind kind, const std::function<void()> &fn) {
  StackRun run{&fn, -1};
  pthread_t tid;
  if (threadstart_create(&tid, kind, stack_run, &run) != 0) return -1;
  pthread_join(tid, nullptr);
  return run.peak;
}

std::string cmdtime_line() {
  char line[48];
  snprintf(line, sizeof line, "cmdtime %.6f\n", clock_now());
  return line;
}
