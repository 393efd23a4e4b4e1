// Writing every byte to a descriptor: short writes go on, errors are reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "base/writefile.h"

namespace {

TEST(WriteFile, AllBytesThroughAPipeThatTakesThemInPieces) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string data(300000, '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7);
  std::string got;
  std::thread reader([&] {
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
  });
  EXPECT_EQ(writefile_all(fds[1], data.data(), data.size()), 0);
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(got, data);
}

TEST(WriteFile, ErrorsAreReported) {
  int full = open("/dev/full", O_WRONLY);
  if (full >= 0) {
    errno = 0;
    EXPECT_EQ(writefile_all(full, "abc", 3), -1);
    EXPECT_EQ(errno, ENOSPC);
    close(full);
  }
  EXPECT_EQ(writefile_all(-1, "abc", 3), -1);
  EXPECT_EQ(writefile_all(-1, "", 0), 0);             // nothing to write
  writefile_sync_folder("/nonexistent/folder/file");  // not reported, no crash
}

}  // namespace
