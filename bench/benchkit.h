// benchkit.h - shared helpers of the benchmarks: the sizes a benchmark measures, cut to
// the smallest in smoke mode (VANTREL_BENCH_SMOKE set; see bench/CMakeLists.txt).
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <initializer_list>

// Registers each size as an argument of b, smallest first, or only the first one when
// VANTREL_BENCH_SMOKE is set (and not "0"). Called from a function given to ->Apply().
inline void bench_sizes(benchmark::internal::Benchmark *b, std::initializer_list<int64_t> sizes) {
  const char *smoke = getenv("VANTREL_BENCH_SMOKE");
  const bool first_only = smoke && *smoke && *smoke != '0';
  for (int64_t n : sizes) {
    b->Arg(n);
    if (first_only) break;
  }
}
