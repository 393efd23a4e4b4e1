#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/elog.h"
#include "base/timetext.h"
#include "timetext_zones.h"

namespace {

// Threads that read and write times in several zones at once, starting together so
// that their first zone lookups race for the cache.
TEST(TimetextThreads, ZoneConversionsRunConcurrently) {
  ZoneDir zd;
  add_test_zones(zd);
  const char *zones[] = {"UTC", "Test/East", "Test/South", "Test/Old", "Test/Jul"};
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int i = 0; i < 300; ++i) {
        const char *zone = zones[(t + i) % 5];
        const double when = 1100000000.0 + i * 86400.0 * 7.3 + t * 3637.125;
        char *text = zepoch2str(when, "%Y-%m-%d %H:%M:%S.%s", zone);
        double back = 0;
        // Times in a repeated hour read back as the earlier one: compare the texts.
        const std::string with_zone = std::string(text) + " " + zone;
        if (zstr2epoch(with_zone.c_str(), &back) != 0) {
          failures.fetch_add(1);
        } else {
          char *again = zepoch2str(back, "%Y-%m-%d %H:%M:%S.%s", zone);
          if (std::string(again) != text) failures.fetch_add(1);
          free(again);
        }
        free(text);
        char *utc = strtime(when);
        if (std::fabs(str2epoch(utc) - when) > 0.0005) failures.fetch_add(1);
        free(utc);
      }
      if (elog_clear_register(0) != 0) failures.fetch_add(1);
    });
  }
  for (auto &th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
