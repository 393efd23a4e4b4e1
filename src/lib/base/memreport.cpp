// memreport.cpp - the summed mappings of /proc/self/maps and the opt-in report at exit.
#include "base/memreport.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// The peaks under a mutex: 64-bit atomics would need the atomic library on the 32-bit
// target.
std::mutex g_mutex;
long long g_peak = 0, g_peak_accessible = 0;

void raise_to(long long *peak, long long now) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (now > *peak) *peak = now;
}

long long peak_of(const long long *peak) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return *peak;
}

std::atomic<bool> g_printed{false};

void print_report() {
  if (g_printed.exchange(true)) return;
  memreport_sample();
  fprintf(stderr, "memreport: virtual %lld peak %lld accessible %lld peak %lld\n",
          memreport_virtual(), peak_of(&g_peak), memreport_virtual(true),
          peak_of(&g_peak_accessible));
}

bool reporting() {
  static const bool on = [] {
    if (getenv("VANTREL_MEMORY_REPORT") == nullptr) return false;
    atexit(print_report);
    return true;
  }();
  return on;
}

}  // namespace

namespace {

// Sums the mappings of /proc/self/maps in one pass: all of them, and those not mapped
// "---". False when the file cannot be read.
bool sum_maps(long long *all, long long *accessible) {
  FILE *f = fopen("/proc/self/maps", "r");
  if (f == nullptr) return false;
  *all = *accessible = 0;
  char line[512];
  bool line_start = true;
  while (fgets(line, sizeof line, f) != nullptr) {
    // A line longer than the buffer (a long path name) arrives in pieces: only the
    // piece at the start of a line holds the range.
    if (line_start) {
      uintmax_t lo = 0, hi = 0;
      char perms[8] = "";
      if (sscanf(line, "%jx-%jx %7s", &lo, &hi, perms) == 3 && hi > lo) {
        *all += (long long)(hi - lo);
        if (strncmp(perms, "---", 3) != 0) *accessible += (long long)(hi - lo);
      }
    }
    line_start = false;
    for (const char *p = line; *p; p++) {
      if (*p == '\n') line_start = true;
    }
  }
  fclose(f);
  return true;
}

}  // namespace

long long memreport_virtual(bool accessible) {
  long long all = 0, acc = 0;
  if (!sum_maps(&all, &acc)) return -1;
  return accessible ? acc : all;
}

void memreport_print(void) {
  if (reporting()) print_report();
}

void memreport_sample(void) {
  if (!reporting()) return;
  long long all = 0, acc = 0;
  if (!sum_maps(&all, &acc)) return;
  raise_to(&g_peak, all);
  raise_to(&g_peak_accessible, acc);
}
