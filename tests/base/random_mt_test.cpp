// disordered: its spread over [0, 1), and draws from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "base/random.h"

TEST(Disordered, IsUniformInTheHalfOpenUnitInterval) {
  const int n = 100000;
  double sum = 0, lo = 1, hi = 0;
  int buckets[10] = {};
  for (int i = 0; i < n; i++) {
    double v = disordered();
    ASSERT_GE(v, 0.0);
    ASSERT_LT(v, 1.0);
    sum += v;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    buckets[(int)(v * 10)]++;
  }
  EXPECT_NEAR(sum / n, 0.5, 0.01);
  for (int b : buckets) EXPECT_NEAR(b, n / 10, n / 50);
  EXPECT_LT(lo, 0.001);
  EXPECT_GT(hi, 0.999);
}

TEST(Disordered, ThreadsDrawInRangeAndApart) {
  const int nthreads = 4, n = 2000;
  std::vector<std::vector<double>> drawn(nthreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < nthreads; t++)
    threads.emplace_back([&, t] {
      for (int i = 0; i < n; i++) drawn[t].push_back(disordered());
    });
  for (auto &th : threads) th.join();
  std::set<double> firsts;
  for (const auto &values : drawn) {
    ASSERT_EQ(values.size(), (size_t)n);
    for (double v : values) {
      ASSERT_GE(v, 0.0);
      ASSERT_LT(v, 1.0);
    }
    firsts.insert(values[0]);
  }
  EXPECT_EQ(firsts.size(), (size_t)nthreads) << "threads drew the same sequence";
}
