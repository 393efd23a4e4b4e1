// testkit.h - small fixtures shared by the tests: error-log capture, fatal-exit trap,
// temporary directories and the clock scale.
#pragma once

#include <string>
#include <vector>

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

std::string read_file(const std::string &path);

// The messages registered on this thread (elog_log) since the last call, joined; the
// register is emptied.
std::string take_registered();
