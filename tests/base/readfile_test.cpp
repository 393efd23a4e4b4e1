// Whole files and streams: contents exactly, the size limit, and the failures.
#include "base/readfile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "testkit/testkit.h"

TEST(Readfile, ReadsWholeFilesAndRefusesWhatItCannot) {
  TempDir dir;
  std::string big(20000, 'x');  // more than one read
  big[0] = '\0';                // bytes, not texts
  big[19999] = 'z';
  struct Case {
    const char *name;
    std::string bytes;
    size_t limit;
    int rc, err;
  } cases[] = {
      {"empty", "", 10, 0, 0},
      {"big", big, (size_t)-1, 0, 0},
      {"at the limit", "12345", 5, 0, 0},
      {"over the limit", big, 8192, -1, EFBIG},
  };
  for (const Case &c : cases) {
    std::string path = dir.write(c.name, c.bytes);
    std::string got = "stale";
    errno = 0;
    EXPECT_EQ(readfile(path.c_str(), &got, c.limit), c.rc) << c.name;
    if (c.rc == 0)
      EXPECT_EQ(got, c.bytes) << c.name;
    else
      EXPECT_EQ(errno, c.err) << c.name;
  }
  std::string got;
  EXPECT_EQ(readfile(dir.file("missing").c_str(), &got), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(readfile(dir.path().c_str(), &got), -1);  // a directory cannot be read
}

TEST(Readfile, StreamAppendsWhatIsLeft) {
  TempDir dir;
  std::string path = dir.write("f", "head:tail");
  FILE *f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char head[6];
  ASSERT_EQ(fread(head, 1, 5, f), 5u);
  std::string out = "kept:";
  EXPECT_EQ(readfile_stream(f, &out), 0);
  EXPECT_EQ(out, "kept:tail");
  fclose(f);
}
