#include "support/gx.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "testkit/testkit.h"

namespace {

// Every (result, text) pair gxline gives for handle h until it returns 0.
std::vector<std::pair<int, std::string>> read_all(int h, int size) {
  std::vector<std::pair<int, std::string>> out;
  std::vector<char> buf((size_t)size + 8, 'Z');
  for (int i = 0; i < 100000; i++) {
    int r = gxline(h, buf.data(), size);
    out.emplace_back(r, buf.data());
    if (r <= 0) break;
  }
  return out;
}

std::string joined_lines(int h) {
  std::string text;
  char buf[256];
  int r;
  while ((r = gxline(h, buf, sizeof buf)) > 0) {
    text += buf;
    if (r == 1) text += '\n';
  }
  return text;
}

bool no_children_left() {
  int status;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

}  // namespace

TEST(Gx, LinesOfAMappedFile) {
  using R = std::vector<std::pair<int, std::string>>;
  struct Case {
    std::string text;
    int size;
    R expect;
  } cases[] = {
      {"a\n\nbc", 10, {{1, "a"}, {1, ""}, {1, "bc"}, {0, ""}}},
      {"0123456789", 5, {{2, "0123"}, {2, "4567"}, {1, "89"}, {0, ""}}},
      {"0123456789\nx\n", 5, {{2, "0123"}, {2, "4567"}, {1, "89"}, {1, "x"}, {0, ""}}},
      // A line that exactly fills the buffer is one line, not a part and an empty line.
      {"01234567\nx", 5, {{2, "0123"}, {1, "4567"}, {1, "x"}, {0, ""}}},
      {"abcd", 5, {{1, "abcd"}, {0, ""}}},
      {"\n", 2, {{1, ""}, {0, ""}}},
      {"xy", 2, {{2, "x"}, {1, "y"}, {0, ""}}},
      // A NUL ends the text.
      {std::string("ab\0cd\nef", 8), 10, {{1, "ab"}, {0, ""}}},
      {std::string("\0ab", 3), 10, {{0, ""}}},
  };
  TempDir dir;
  for (const Case &c : cases) {
    int h = gxopen(dir.write("f", c.text).c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(read_all(h, c.size), c.expect) << "text '" << c.text << "' size " << c.size;
    char buf[4];
    EXPECT_EQ(gxline(h, buf, sizeof buf), 0) << "after the end, still the end";
    EXPECT_EQ(gxclose(h), 0);
  }
}

TEST(Gx, OpenFailuresAreComplained) {
  TempDir dir;
  std::string empty = dir.write("empty", "");
  struct Case {
    std::string path, message;
  } cases[] = {
      {dir.file("missing"), "gxopen: Couldn't open " + dir.file("missing")},
      {empty, "gxopen: '" + empty + "' is empty"},
      {dir.path(), "gxopen: Can't map file " + dir.path()},
  };
  for (const Case &c : cases) {
    ElogCapture cap;
    EXPECT_EQ(gxopen(c.path.c_str()), -1) << c.path;
    EXPECT_TRUE(cap.contains(c.message)) << cap.text();
  }
}

TEST(Gx, HandlesTellSeekAndClose) {
  TempDir dir;
  std::string f = dir.write("f", "one\ntwo\n");
  int a = gxopen(f.c_str()), b = gxopen(f.c_str()), c = gxopen(f.c_str());
  ASSERT_GE(a, 0);
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, a + 2);
  EXPECT_EQ(gxclose(b), 0);
  EXPECT_EQ(gxopen(f.c_str()), b) << "a new handle takes the lowest free slot";

  char buf[16];
  EXPECT_EQ(gxline(a, buf, sizeof buf), 1);
  EXPECT_EQ(gxtell(a), 4);
  EXPECT_EQ(gxseek(a, 8), 0) << "the size itself is a valid position";
  EXPECT_EQ(gxline(a, buf, sizeof buf), 0);
  EXPECT_EQ(gxseek(a, 9), -1);
  EXPECT_EQ(gxseek(a, -1), -1);
  EXPECT_EQ(gxtell(a), 8);
  EXPECT_EQ(gxseek(a, 4), 0);
  EXPECT_EQ(gxline(a, buf, sizeof buf), 1);
  EXPECT_STREQ(buf, "two");

  for (int unknown : {-1, c + 100}) {
    EXPECT_EQ(gxtell(unknown), -1);
    EXPECT_EQ(gxseek(unknown, 0), -1);
    EXPECT_EQ(gxline(unknown, buf, sizeof buf), 0);
    EXPECT_EQ(gxclose(unknown), -1);
  }
  for (int h : {a, b, c}) EXPECT_EQ(gxclose(h), 0);
  EXPECT_EQ(gxtell(a), -1) << "a closed handle is unknown";
}

TEST(Gx, BufferTooSmallIsRefused) {
  TempDir dir;
  int h = gxopen(dir.write("f", "abc\n").c_str());
  ASSERT_GE(h, 0);
  ElogCapture cap;
  char buf[1] = {'Z'};
  EXPECT_EQ(gxline(h, buf, 1), -1);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_EQ(gxline(h, buf, 0), -1);
  EXPECT_TRUE(cap.contains("gxline:"));
  EXPECT_EQ(gxtell(h), 0) << "nothing was consumed";
  gxclose(h);
}

TEST(Gx, PipeReadsTheCommandOutput) {
  struct Case {
    std::string command;
    std::string expect;
  } cases[] = {
      {"/bin/echo hello   world", "hello world\n"},
      {"/bin/echo", "\n"},
      {"/bin/sh -c exit", ""},  // no output: the reader is empty
  };
  for (const Case &c : cases) {
    int fd = -1;
    int h = gxpipe(c.command.c_str(), nullptr, &fd);
    ASSERT_GE(h, 0) << c.command;
    EXPECT_GE(fd, 3);
    EXPECT_EQ(joined_lines(h), c.expect) << c.command;
    EXPECT_EQ(gxclose(h), 0);
  }
  EXPECT_TRUE(no_children_left());
}

TEST(Gx, PipeGivesOnlyTheEnvironmentPassed) {
  char lang[] = "LANG=C", other[] = "GX_TEST=1";
  char *env[] = {lang, other, nullptr};
  int h = gxpipe("/usr/bin/env", env, nullptr);
  ASSERT_GE(h, 0);
  EXPECT_EQ(joined_lines(h), "LANG=C\nGX_TEST=1\n");
  gxclose(h);
}

TEST(Gx, PipeWithLargeOutputAndStandardError) {
  TempDir dir;
  // 200000 numbered lines (about 1.3 MB) on standard output, one line on standard error.
  std::string script =
      dir.write("big.sh",
                "i=0\nwhile [ $i -lt 200000 ]; do echo \"line $i\"; i=$((i+1)); done\n"
                "echo done >&2\n");
  int h = gxpipe(("/bin/sh " + script).c_str(), nullptr, nullptr);
  ASSERT_GE(h, 0);
  char buf[64];
  int n = 0, r;
  std::string last;
  bool in_order = true;
  while ((r = gxline(h, buf, sizeof buf)) == 1) {
    if (n < 200000 && std::string(buf) != "line " + std::to_string(n)) in_order = false;
    last = buf;
    n++;
  }
  EXPECT_EQ(r, 0);
  EXPECT_TRUE(in_order);
  EXPECT_EQ(n, 200001);
  EXPECT_EQ(last, "done");
  gxclose(h);
}

TEST(Gx, PipeChildInheritsNoOtherDescriptor) {
  TempDir dir;
  std::string marker = dir.write("leak-marker", "x");
  int leaky = open(marker.c_str(), O_RDONLY);  // deliberately not close-on-exec
  ASSERT_GE(leaky, 0);
  int h = gxpipe("/bin/ls -l /proc/self/fd", nullptr, nullptr);
  ASSERT_GE(h, 0);
  std::string out = joined_lines(h);
  gxclose(h);
  close(leaky);
  EXPECT_NE(out.find("0 ->"), std::string::npos) << out;
  EXPECT_EQ(out.find("leak-marker"), std::string::npos) << out;
  // The output file is fds 1 and 2 of the command, and no other.
  size_t copies = 0;
  for (size_t at = out.find("/tmp/gxpipe"); at != std::string::npos;
       at = out.find("/tmp/gxpipe", at + 1))
    copies++;
  EXPECT_EQ(copies, 2u) << out;
}

TEST(Gx, PipeWhoseProgramCannotRunReadsEmpty) {
  for (const char *command : {"nosuchprogram -a", "/nonexistent/prog x"}) {
    ElogCapture cap;
    int h = gxpipe(command, nullptr, nullptr);
    ASSERT_GE(h, 0) << command;
    EXPECT_TRUE(cap.contains("gxpipe: Couldn't exec")) << cap.text();
    char buf[16] = "Z";
    EXPECT_EQ(gxline(h, buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "");
    gxclose(h);
  }
  EXPECT_TRUE(no_children_left());
}

TEST(Gx, EmptyCommandFails) {
  for (const char *command : {"", "   "}) EXPECT_EQ(gxpipe(command, nullptr, nullptr), -1);
}

TEST(Gx, ClosingAnUnreadPipeReapsItsChild) {
  int h = gxpipe("/bin/echo never read", nullptr, nullptr);
  ASSERT_GE(h, 0);
  EXPECT_FALSE(no_children_left());
  EXPECT_EQ(gxclose(h), 0);
  EXPECT_TRUE(no_children_left());
}
