// Tests of the process helpers: offsets, executable paths, user lookup, library
// loading, string removal and the banner.
#include "support/stdproc.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "base/elog.h"
#include "support/version.h"
#include "testkit/testkit.h"

namespace {

TEST(StdProc, TellGivesTheCurrentOffset) {
  TempDir dir;
  int fd = open(dir.write("f", "hello world").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(tell(fd), 0);
  char buf[5];
  ASSERT_EQ(read(fd, buf, 5), 5);
  EXPECT_EQ(tell(fd), 5);
  close(fd);
  EXPECT_EQ(tell(fd), -1);
}

TEST(StdProc, UnimplementedRegistersAndReturnsTheValue) {
  int mark = elog_mark();
  EXPECT_EQ(UNIMPLEMENTED("frobnicate", 42), 42);
  auto msgs = take_registered_list(mark);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_NE(msgs[0].find("frobnicate is unimplemented on this platform"), std::string::npos);
}

TEST(StdProc, DelstrRemovesTheFirstOccurrenceOnly) {
  struct Case {
    const char *text, *part, *after;
    int result;
  } cases[] = {{"abcabc", "bc", "aabc", 1},
               {"hello", "hello", "", 1},
               {"hello", "xyz", "hello", 0},
               {"hello", "", "hello", 0},
               {"", "a", "", 0},
               {"aaa", "aa", "a", 1},
               {"path/to/file", "/to", "path/file", 1}};
  for (const Case &c : cases) {
    std::string buf = c.text;
    std::vector<char> text(buf.begin(), buf.end());
    text.push_back('\0');
    EXPECT_EQ(delstr(text.data(), c.part), c.result) << c.text << " - " << c.part;
    EXPECT_STREQ(text.data(), c.after) << c.text << " - " << c.part;
  }
}

// The path of the loaded mathematics library, as the loader names it.
std::string libm_path() {
  Dl_info info{};
  double (*fn)(double) = std::cos;
  if (!dladdr(reinterpret_cast<void *>(fn), &info) || !info.dli_fname) return "";
  return info.dli_fname;
}

TEST(StdProc, DlopenTakesAbsolutePathsOrNamesUnderTheInstallRoot) {
  std::string lib = libm_path();
  ASSERT_FALSE(lib.empty());
  ASSERT_EQ(lib[0], '/') << lib;
  void *h = std_dlopen(lib.c_str());
  EXPECT_NE(h, nullptr) << dlerror();
  if (h) dlclose(h);

  // A plain name is looked for as <root>/lib/lib<name>.so.3.
  TempDir root;
  ASSERT_EQ(mkdir(root.file("lib").c_str(), 0755), 0);
  {
    std::ifstream in(lib, std::ios::binary);
    std::ofstream out(root.file("lib/libmymath.so.3"), std::ios::binary);
    out << in.rdbuf();
  }
  const char *old = getenv("VANTREL");
  std::string saved = old ? old : "";
  setenv("VANTREL", root.path().c_str(), 1);
  h = std_dlopen("mymath");
  EXPECT_NE(h, nullptr) << dlerror();
  if (h) dlclose(h);
  EXPECT_EQ(std_dlopen("nosuchlibrary"), nullptr);
  if (old)
    setenv("VANTREL", saved.c_str(), 1);
  else
    unsetenv("VANTREL");

  int mark = elog_mark();
  std::string too_long = "/" + std::string(5000, 'x');
  EXPECT_EQ(std_dlopen(too_long.c_str()), nullptr);
  EXPECT_EQ(take_registered_list(mark).size(), 1u);
}

TEST(StdProc, GetpwnamFillsTheCallersRecordFromTheCallersBuffer) {
  struct passwd root {
  }, daemon{};
  std::vector<char> b1(4096), b2(4096);
  ASSERT_EQ(std_getpwnam("root", &root, b1.data(), b1.size()), 0);
  ASSERT_EQ(std_getpwnam("daemon", &daemon, b2.data(), b2.size()), 0);
  // The second lookup leaves the first record intact: each lives in its own buffer.
  EXPECT_STREQ(root.pw_name, "root");
  EXPECT_EQ(root.pw_uid, 0u);
  EXPECT_STREQ(daemon.pw_name, "daemon");
  EXPECT_NE(daemon.pw_uid, 0u);
  EXPECT_GE(root.pw_name, b1.data());
  EXPECT_LT(root.pw_name, b1.data() + b1.size());

  struct passwd none;
  std::memset(&none, 0x55, sizeof none);
  EXPECT_EQ(std_getpwnam("no-such-user-here", &none, b1.data(), b1.size()), -1);
  EXPECT_EQ(none.pw_name, nullptr);
  EXPECT_EQ(none.pw_uid, 0u);

  char tiny[4];
  EXPECT_EQ(std_getpwnam("root", &none, tiny, sizeof tiny), -1);
  EXPECT_EQ(errno, ERANGE);
  EXPECT_EQ(none.pw_name, nullptr);
}

std::string self_exe() {
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  return n > 0 ? std::string(buf, (size_t)n) : "";
}

TEST(StdProc, ExecutablePaths) {
  std::string exe = self_exe();
  ASSERT_FALSE(exe.empty());
  const char *name = getexecname();
  EXPECT_EQ(name, exe);
  EXPECT_EQ(getexecname(), name);  // cached

  char *mine = pidexecname(getpid());
  EXPECT_EQ(std::string(mine), exe);
  free(mine);

  int mark = elog_mark();
  char *none = pidexecname(INT_MAX);
  EXPECT_STREQ(none, "");
  free(none);
  auto msgs = take_registered_list(mark);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_NE(msgs[0].find("failed to read /proc/2147483647/cmdline"), std::string::npos);
}

TEST(StdProc, PidexecnameFallsBackToTheCommandLine) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to become another user";
  // An unprivileged process cannot read the executable link of process 1 but can read
  // its command line.
  std::string want = read_file("/proc/1/cmdline");
  for (char &c : want)
    if (c == '\0') c = ' ';
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(fds[0]);
    if (setuid(65534) != 0) _exit(3);
    char *got = pidexecname(1);
    ssize_t w = write(fds[1], got, strlen(got));
    _exit(w < 0 ? 4 : 0);
  }
  close(fds[1]);
  std::string got;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, (size_t)n);
  close(fds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 3) GTEST_SKIP() << "setuid refused";
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, want);
}

// Runs banner with standard error sent to a file; returns what it printed.
std::string banner_output(const char *program, const char *revision, int *result) {
  TempDir dir;
  std::string path = dir.file("err");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  fflush(stderr);
  int saved = dup(2);
  dup2(fd, 2);
  close(fd);
  *result = banner(program, revision);
  fflush(stderr);
  dup2(saved, 2);
  close(saved);
  return read_file(path);
}

TEST(StdProc, BannerPrintsProgramRevisionAndTheBuildsVersion) {
  const std::string tail = std::string("** Vantrel ") + vantrel_version + "**\n";

  std::string long_rev(600, 'r');
  struct Case {
    const char *program, *revision;
    std::string first_line;
  } cases[] = {
      {"muldrin", "$Revision: 1.4 $", "muldrin 1.4"},
      {"muldrin", "", "muldrin "},
      {"p", "$Revision: 2.1 $ $Date: 2024/01/02 10:00:00 $", "p 2.1 2024/01/02 10:00:00"},
      {"p", "$Date: 2024/01/02 $ and $", "p 2024/01/02 and $"},
      {"p", "costs $ 5 $", "p costs $ 5 $"},
      {"p", long_rev.c_str(), "p " + long_rev.substr(0, 511)},
      {nullptr, "1.0", std::string(Program_Name) + " 1.0"},
  };
  for (const Case &c : cases) {
    int result = 0;
    std::string out = banner_output(c.program, c.revision, &result);
    EXPECT_EQ(out, "\n" + c.first_line + "\n" + tail) << c.first_line;
    EXPECT_EQ(result, (int)tail.size());
  }
}

}  // namespace
