#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "ring/orb.h"
#include "ringtest.h"
#include "testkit/testkit.h"

namespace {

double elapsed_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class OrbThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    path = dir.file("ring");
    ASSERT_EQ(orbcreate(path.c_str(), 4 << 20), 0);
    orbfault_reset();
  }
  void TearDown() override {
    orbfault_reset();
    elog_clear_register(0);
  }
  TempDir dir;
  std::string path;
};

// A blocked orbreap sleeps without polling and is woken by the put (well before the
// one-second re-check), and by orbclose from another thread.
TEST_F(OrbThreads, BlockedReapWakesOnPutAndOnClose) {
  int w = orbopen(path.c_str(), "w");
  int r = orbopen(path.c_str(), "r");
  ASSERT_GE(w, 0);
  ASSERT_GE(r, 0);
  auto t0 = std::chrono::steady_clock::now();
  std::thread writer([&] {
    clock_sleep(0.1);
    put(w, "AA/log", "wake");
  });
  Reaped p = reap(r, true);
  writer.join();
  EXPECT_EQ(p.rc, 0);
  EXPECT_EQ(p.bytes, "wake");
  EXPECT_LT(elapsed_since(t0), 0.8);

  t0 = std::chrono::steady_clock::now();
  std::thread closer([&] {
    clock_sleep(0.1);
    orbclose(r);
  });
  p = reap(r, true);
  closer.join();
  EXPECT_EQ(p.rc, -1);
  EXPECT_LT(elapsed_since(t0), 0.8);
  orbclose(w);
}

// Writers in several threads, readers on their own connections and two threads sharing
// one connection: every reader sees every packet once, in id order, and each writer's
// packets in its own order.
TEST_F(OrbThreads, ConcurrentWritersAndReaders) {
  constexpr int kWriters = 4, kEach = 1500;
  int r1 = orbopen(path.c_str(), "r");
  int shared = orbopen(path.c_str(), "r");
  ASSERT_GE(r1, 0);
  ASSERT_GE(shared, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; t++) {
    threads.emplace_back([&, t] {
      int w = orbopen(path.c_str(), "w");
      for (int i = 0; i < kEach; i++) {
        char body[32];
        snprintf(body, sizeof body, "%d", i);
        ASSERT_GE(put(w, "W" + std::to_string(t), body), 0);
      }
      orbclose(w);
    });
  }
  std::vector<int> order;
  std::thread reader([&] {
    std::map<std::string, int> last;
    int prev = -1;
    for (int n = 0; n < kWriters * kEach; n++) {
      Reaped p = reap(r1, true);
      ASSERT_EQ(p.rc, 0);
      EXPECT_EQ(p.pktid, prev + 1);
      prev = p.pktid;
      int v = std::stoi(p.bytes);
      auto it = last.find(p.srcname);
      EXPECT_EQ(v, it == last.end() ? 0 : it->second + 1) << p.srcname;
      last[p.srcname] = v;
    }
  });
  std::atomic<int> shared_count{0};
  std::vector<std::vector<int>> shared_ids(2);
  for (int k = 0; k < 2; k++) {
    threads.emplace_back([&, k] {
      while (shared_count.load() < kWriters * kEach) {
        Reaped p = reap(shared, false);
        if (p.rc == -2) {
          std::this_thread::yield();
          continue;
        }
        ASSERT_EQ(p.rc, 0);
        shared_ids[k].push_back(p.pktid);
        shared_count++;
      }
    });
  }
  for (auto &t : threads) t.join();
  reader.join();
  std::vector<bool> seen(kWriters * kEach, false);
  for (auto &ids : shared_ids) {
    for (size_t i = 0; i < ids.size(); i++) {
      ASSERT_LT(ids[i], kWriters * kEach);
      EXPECT_FALSE(seen[(size_t)ids[i]]) << "packet " << ids[i] << " reaped twice";
      seen[(size_t)ids[i]] = true;
      if (i > 0) {
        EXPECT_GT(ids[i], ids[i - 1]);
      }
    }
  }
  EXPECT_EQ(shared_count.load(), kWriters * kEach);
  orbclose(r1);
  orbclose(shared);
}

// The fault hook's blocking put holds the ring's lock until released; meanwhile other
// users of the ring give up after the bounded lock wait instead of hanging.
TEST_F(OrbThreads, BlockedPutHoldsTheLockUntilReleased) {
  ClockScale fast(0.02);  // the 10 s lock wait lasts 0.2 s
  int w = orbopen(path.c_str(), "w");
  int r = orbopen(path.c_str(), "r");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  orbfault_block_puts(fds[1]);
  std::atomic<int> result{99};
  std::thread blocked([&] { result = put(w, "AA/log", "held"); });
  pollfd pfd{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 5000), 1) << "the put did not block";
  char b;
  ASSERT_EQ(read(fds[0], &b, 1), 1);
  EXPECT_EQ(result.load(), 99);
  std::thread other([&] {
    EXPECT_EQ(reap(r).rc, -1);
    std::vector<std::string> msgs = take_registered_list();
    ASSERT_GE(msgs.size(), 1u);
    EXPECT_NE(msgs.back().find("locked by another process"), std::string::npos);
  });
  other.join();
  orbfault_release();
  blocked.join();
  EXPECT_EQ(result.load(), 0);
  Reaped p = reap(r);
  EXPECT_EQ(p.bytes, "held");
  EXPECT_EQ(put(w, "AA/log", "free"), 1) << "puts no longer block";
  close(fds[0]);
  close(fds[1]);
  orbclose(w);
  orbclose(r);
}

}  // namespace
