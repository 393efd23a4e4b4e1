#include "testkit/testkit.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>

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

ClockScale::ClockScale(double scale) { clock_set_scale(scale); }
ClockScale::~ClockScale() { clock_set_scale(1.0); }

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string take_registered() {
  Elog_msg *list = nullptr;
  int n = elog_query(2, 0, &list);
  std::string out;
  for (int i = 0; i < n; i++) {
    out += list[i].msg;
    elog_free_msg(&list[i]);
  }
  free(list);
  return out;
}
