// threadstart.cpp - stack sizes per thread kind and the thread starter that applies them.
#include "base/threadstart.h"

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/memreport.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kScale = 4;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kScale = 4;
#else
constexpr size_t kScale = 1;
#endif
#else
constexpr size_t kScale = 1;
#endif

constexpr size_t KiB = 1024;

struct KindInfo {
  const char *name;
  size_t stack;
};

// The peaks measured with VANTREL_STACK_REPORT (release build, x86-64 and armel, a run
// against the simulators) are in the comment of each row. Each size leaves at least four
// times the peak, and never less than 64 KiB, so that the C library's own calls (name
// resolution, formatted output) always have room.
const KindInfo kKinds[THREAD_KIND_COUNT] = {
    {"q330 control", 128 * KiB},  // 17 KiB: registration, command executors
    {"q330 data", 128 * KiB},     // 14 KiB: datagram decode, decompression, repackaging
    {"q330 status", 64 * KiB},    // 11 KiB: status request and its decode
    {"q330 watchdog", 64 * KiB},  // 11 KiB: status channels and statistics
    {"writer", 128 * KiB},        // 12 KiB: packet encode, compression and ring put
    {"status", 128 * KiB},        // 11 KiB: the longest status report
    {"pocd", 128 * KiB},          // parameter-file packet decode and parse
    {"altus link", 256 * KiB},    // block-mode decode, event download, file commands
    {"altus datalogger", 128 * KiB},
    {"small", 64 * KiB},         // signal waiters, data-rate and keep-alive loops
    {"ring worker", 128 * KiB},  // 28 KiB: reap, put and command threads of the ring client
};

size_t page_size() {
  long p = sysconf(_SC_PAGESIZE);
  return p > 0 ? (size_t)p : 4096;
}

constexpr unsigned char kPaint = 0xA5;
// Left untouched below the painter's own frame: the calls that paint and scan use it.
constexpr size_t kPaintGap = 4 * KiB;

thread_local unsigned char *t_paint_lo = nullptr;
thread_local unsigned char *t_stack_top = nullptr;

bool stack_bounds(unsigned char **lo, unsigned char **hi) {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
  void *addr = nullptr;
  size_t size = 0;
  size_t guard = 0;
  int r = pthread_attr_getstack(&attr, &addr, &size);
  pthread_attr_getguardsize(&attr, &guard);
  pthread_attr_destroy(&attr);
  if (r != 0 || addr == nullptr) return false;
  *lo = static_cast<unsigned char *>(addr) + guard;
  *hi = static_cast<unsigned char *>(addr) + size;
  return *lo < *hi;
}

// With VANTREL_STACK_REPORT set in the environment, every thread paints its stack when it
// starts and records its deepest use per kind when it ends; the program prints the table
// at exit. For measuring the sizes above, never on in service.
std::atomic<long> g_peak[THREAD_KIND_COUNT];
std::atomic<long> g_started[THREAD_KIND_COUNT];

struct Trampoline {
  ThreadKind kind;
  void *(*fn)(void *);
  void *arg;
};

// Records the peak when the thread ends, by return or by pthread_exit.
struct PeakRecorder {
  ThreadKind kind = THREAD_KIND_COUNT;
  ~PeakRecorder() {
    if (kind >= THREAD_KIND_COUNT) return;
    long peak = threadstart_stack_peak();
    long seen = g_peak[kind].load();
    while (peak > seen && !g_peak[kind].compare_exchange_weak(seen, peak)) {
    }
  }
};
thread_local PeakRecorder t_recorder;

std::atomic<bool> g_printed{false};

void print_report() {
  if (g_printed.exchange(true)) return;
  for (int k = 0; k < THREAD_KIND_COUNT; k++) {
    if (g_started[k].load() == 0) continue;
    fprintf(stderr, "threadstart: %-16s threads %ld stack %zu peak %ld\n", kKinds[k].name,
            g_started[k].load(), threadstart_stack_size(static_cast<ThreadKind>(k)),
            g_peak[k].load());
  }
}

bool reporting() {
  static const bool on = [] {
    if (getenv("VANTREL_STACK_REPORT") == nullptr) return false;
    atexit(print_report);
    return true;
  }();
  return on;
}

void *trampoline(void *arg) {
  Trampoline t = *static_cast<Trampoline *>(arg);
  delete static_cast<Trampoline *>(arg);
  threadstart_stack_paint();
  t_recorder.kind = t.kind;
  return t.fn(t.arg);
}

}  // namespace

void threadstart_report(void) {
  if (reporting()) print_report();
  memreport_print();
}

size_t threadstart_stack_size(ThreadKind kind) {
  if (kind < 0 || kind >= THREAD_KIND_COUNT) kind = THREAD_SMALL;
  size_t size = kKinds[kind].stack * kScale;
  size_t page = page_size();
  return (size + page - 1) / page * page;
}

const char *threadstart_kind_name(ThreadKind kind) {
  if (kind < 0 || kind >= THREAD_KIND_COUNT) return "unknown";
  return kKinds[kind].name;
}

int threadstart_create(pthread_t *tid, ThreadKind kind, void *(*fn)(void *), void *arg, int flags) {
  pthread_attr_t attr;
  int r = pthread_attr_init(&attr);
  if (r != 0) return r;
  r = pthread_attr_setstacksize(&attr, threadstart_stack_size(kind));
  if (r == 0) r = pthread_attr_setguardsize(&attr, page_size());
  if (r == 0 && (flags & THREADSTART_DETACHED))
    r = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  if (r == 0 && (flags & THREADSTART_SYSTEM_SCOPE))
    r = pthread_attr_setscope(&attr, PTHREAD_SCOPE_SYSTEM);
  pthread_t local;
  if (r == 0 && reporting() && kind >= 0 && kind < THREAD_KIND_COUNT) {
    auto *t = new (std::nothrow) Trampoline{kind, fn, arg};
    if (t != nullptr) {
      g_started[kind]++;
      r = pthread_create(tid ? tid : &local, &attr, trampoline, t);
      if (r != 0) delete t;
      pthread_attr_destroy(&attr);
      memreport_sample();
      return r;
    }
  }
  if (r == 0) r = pthread_create(tid ? tid : &local, &attr, fn, arg);
  pthread_attr_destroy(&attr);
  memreport_sample();
  return r;
}

__attribute__((noinline)) long threadstart_stack_paint(void) {
  unsigned char *lo = nullptr;
  unsigned char *hi = nullptr;
  if (!stack_bounds(&lo, &hi)) return -1;
  // The real frame (never a sanitizer's separate frame for locals).
  uintptr_t top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  uintptr_t bottom = reinterpret_cast<uintptr_t>(lo);
  if (top <= bottom + kPaintGap) return -1;
  uintptr_t end = top - kPaintGap;
  // Plain stores, so that no library call's frame lands in the region being painted.
  for (uintptr_t p = bottom; p < end; ++p) *reinterpret_cast<volatile unsigned char *>(p) = kPaint;
  t_paint_lo = lo;
  t_stack_top = hi;
  return (long)(reinterpret_cast<uintptr_t>(hi) - end);
}

long threadstart_stack_peak(void) {
  if (t_paint_lo == nullptr) return -1;
  unsigned char *p = t_paint_lo;
  while (p < t_stack_top && *p == kPaint) ++p;
  return (long)(t_stack_top - p);
}
