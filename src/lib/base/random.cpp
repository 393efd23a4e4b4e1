// random.cpp - per-thread generators seeded apart from each other.
#include "base/random.h"

#include <unistd.h>

#include <cstdint>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "base/clock.h"

double disordered(void) {
  thread_local std::mt19937_64 engine = [] {
    // Seeded from the system's entropy, mixed with the time, the thread and the process,
    // so that threads and processes draw different sequences even where the entropy
    // source is missing or deterministic.
    std::vector<uint32_t> seed;
    try {
      std::random_device rd;
      for (int i = 0; i < 4; i++) seed.push_back(rd());
    } catch (...) {
    }
    uint64_t t = (uint64_t)(clock_now() * 1e6);
    uint64_t id = (uint64_t)std::hash<std::thread::id>{}(std::this_thread::get_id());
    for (uint64_t v : {t, id, (uint64_t)getpid()}) {
      seed.push_back((uint32_t)v);
      seed.push_back((uint32_t)(v >> 32));
    }
    std::seed_seq seq(seed.begin(), seed.end());
    return std::mt19937_64(seq);
  }();
  // The top 53 bits as a fraction: exactly representable, never 1.0.
  return (double)(engine() >> 11) * 0x1.0p-53;
}
