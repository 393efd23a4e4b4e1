// testkit.h - small fixtures shared by the tests: error-log capture, fatal-exit trap,
// temporary directories and the clock scale.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/threadstart.h"

// Collects every line the error log prints while it lives.
class ElogCapture {
 public:
  ElogCapture();
  ~ElogCapture();
  ElogCapture(const ElogCapture &) = delete;
  ElogCapture &operator=(const ElogCapture &) = delete;
  std::vector<std::string> lines() const;
  std::string text() const;  // all lines joined
  bool contains(const std::string &needle) const;
  void clear();
};

// Thrown in place of the process exit of elog_die and elog_fault while an ElogExitTrap
// lives.
struct ElogExit {
  int status;
};
class ElogExitTrap {
 public:
  ElogExitTrap();
  ~ElogExitTrap();
};

// A fresh directory under $TMPDIR (or /tmp), removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }
  // Writes `text` to name in the directory and returns its path.
  std::string write(const std::string &name, const std::string &text) const;

 private:
  std::string path_;
};

// Runs clock time faster (scale 0.01: a 1 s pause takes 10 ms) while it lives.
class ClockScale {
 public:
  explicit ClockScale(double scale);
  ~ClockScale();
};

// A clock that stands where the test puts it: wall and monotonic time are `now`, and a
// pause moves it on by its length. Installed as the clock driver while it lives.
class DrivenClock {
 public:
  explicit DrivenClock(double start = 0);
  ~DrivenClock();
  DrivenClock(const DrivenClock &) = delete;
  DrivenClock &operator=(const DrivenClock &) = delete;
  double now;

 private:
  ClockDriver driver_{};
};

// Clock time run faster as with ClockScale, with every clock_sleep counted by its length,
// so that a test can wait until a thread has begun a pause (a worker gone idle, a retry
// after a failure) instead of sleeping itself. Restores the scale it found and removes
// its clock driver at the end; one at a time.
class ClockWatch {
 public:
  explicit ClockWatch(double scale);
  ~ClockWatch();
  ClockWatch(const ClockWatch &) = delete;
  ClockWatch &operator=(const ClockWatch &) = delete;
  // How many sleeps of exactly `seconds` have begun so far.
  int sleeps(double seconds);
  // Waits (at most a minute of real time) until more than `count` sleeps of `seconds`
  // have begun; false when they did not.
  bool wait_sleeps(double seconds, int count);

  struct State;

 private:
  State *state_;
  double old_scale_;
};

// Waits, at most `seconds` of real time, until `done` returns true (asked every
// millisecond); false when it never did. For a test that waits on another thread: it
// asserts the result and prints what the threads logged, never sleeps and then asserts.
bool wait_until(const std::function<bool()> &done, double seconds = 60);

std::string read_file(const std::string &path);

// The "cmdtime" line of a hand-written command text: the clock's time now, to the
// microsecond, so that two commands of one "sequence" are two commands.
std::string cmdtime_line();

// The messages registered on this thread (elog_log) since `mark` (elog_mark; 0: all),
// one per entry, dropped from the register.
std::vector<std::string> take_registered_list(int mark = 0);
// The same joined into one text.
std::string take_registered(int mark = 0);

// Runs `fn` on a thread started like the programs' threads of `kind` (its configured stack
// behind a guard page) and returns the deepest stack use it reached, in bytes; an overflow
// hits the guard page and ends the test. -1 when the use cannot be measured.
long run_on_thread_stack(ThreadKind kind, const std::function<void()> &fn);
