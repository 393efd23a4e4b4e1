// A close from another thread while a reader waits on the same record: the reader wakes
// and returns as on a time-out, and never polls or reads a descriptor that was closed or
// handed to someone else meanwhile.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "udp.h"

namespace {

int free_udp_port() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  close(fd);
  return ntohs(sa.sin_port);
}

int read_once(UDP *udp, int port, double timeout) {
  char buf[512], from[256];
  int n = sizeof buf;
  return udp_read(udp, port, "127.0.0.1", from, buf, &n, timeout);
}

TEST(UdpThreads, CloseWakesAReaderInItsWait) {
  UDP *udp = nullptr;
  ASSERT_EQ(udp_new(&udp), 0);
  int port = free_udp_port();
  std::atomic<int> rc{-99};
  // A minute-long wait: only the close can end it in time.
  std::thread reader([&] { rc = read_once(udp, port, 60); });
  while (udp->wait_call.load() == 0 && rc.load() == -99) std::this_thread::yield();
  EXPECT_EQ(udp_close(udp), 0);
  reader.join();
  EXPECT_EQ(rc.load(), 1);
  EXPECT_EQ(udp->fd, -1);
  EXPECT_EQ(read_once(udp, port, -1), 3) << "the next read opens again";
  udp_free(udp);
}

TEST(UdpThreads, ClosesRacingReadsAndWritesNeverMisuseADescriptor) {
  UDP *udp = nullptr;
  ASSERT_EQ(udp_new(&udp), 0);
  int port = free_udp_port();
  int sink = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(sink, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(sink, reinterpret_cast<sockaddr *>(&sa), &len);
  std::string to = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));

  std::atomic<bool> done{false};
  std::vector<int> read_results, write_results;
  std::thread reader([&] {
    for (int i = 0; i < 300; ++i) read_results.push_back(read_once(udp, port, 60));
  });
  std::thread writer([&] {
    while (!done.load() && write_results.size() < 2000) {
      write_results.push_back(udp_write(udp, port, "127.0.0.1", to.c_str(), "x", 1));
      std::this_thread::yield();
    }
  });
  // Freed descriptor numbers are taken at once by pipes, so a reader that kept a closed
  // number would poll or read a pipe and fail.
  std::thread churn([&] {
    while (!done.load()) {
      int p[2];
      if (pipe(p) == 0) {
        close(p[0]);
        close(p[1]);
      }
    }
  });
  std::thread closer([&] {
    while (!done.load()) {
      udp_close(udp);
      std::this_thread::yield();
    }
  });
  reader.join();
  done = true;
  writer.join();
  churn.join();
  closer.join();
  for (int r : read_results) EXPECT_EQ(r, 1);
  for (int r : write_results) EXPECT_EQ(r, 1);
  close(sink);
  udp_free(udp);
}

}  // namespace
