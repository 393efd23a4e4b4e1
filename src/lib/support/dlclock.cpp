// dlclock.cpp - the shared-memory reference clock of a datalogger.
#include "support/dlclock.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <atomic>
#include <cmath>
#include <mutex>

#include "base/clock.h"
#include "base/elog.h"

namespace {

std::mutex g_mutex;  // guards the attachment and the key base
Dlclock *g_clock = nullptr;
int g_shmid = -1;
long g_key_base = DLCLOCK_KEY;

// The segment is read by another process. Each word is stored atomically, and with
// release order, so that no store becomes visible before an earlier one: the reader sees
// valid cleared before any field changes and set only after they all have.
void store(int32_t &field, int32_t value) {
  std::atomic_ref<int32_t>(field).store(value, std::memory_order_release);
}

}  // namespace

Dlclock *AttachSharedMemory(int unit, int *shmid) {
  long base;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    base = g_key_base;
  }
  key_t key = base == IPC_PRIVATE ? IPC_PRIVATE : (key_t)(base + unit);
  int id = shmget(key, sizeof(Dlclock), IPC_CREAT | 0777);
  if (shmid) *shmid = id;
  if (id < 0) {
    elog_log(1, "AttachSharedMemory: can't get the segment of unit %d\n", unit);
    return nullptr;
  }
  void *p = shmat(id, nullptr, 0);
  if (p == (void *)-1) {
    elog_log(1, "AttachSharedMemory: can't attach the segment of unit %d\n", unit);
    return nullptr;
  }
  return static_cast<Dlclock *>(p);
}

void PutTimeStamp(const struct timeval *host, long dl_sec, long dl_usec, Dlclock *clock, int leap) {
  store(clock->mode, 1);
  store(clock->valid, 0);
  store(clock->leap, leap);
  store(clock->precision, -1);
  store(clock->clockTimeStampSec, (int32_t)dl_sec);
  store(clock->clockTimeStampUSec, (int32_t)dl_usec);
  store(clock->receiveTimeStampSec, (int32_t)host->tv_sec);
  store(clock->receiveTimeStampUSec, (int32_t)host->tv_usec);
  uint32_t count = (uint32_t)std::atomic_ref<int32_t>(clock->count).load(std::memory_order_relaxed);
  store(clock->count, (int32_t)(count + 1u));
  store(clock->valid, 1);
}

void _init_Dlclock(int unit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  if (g_clock) return;
  if (unit < 0 || unit > 3) {
    lock.unlock();
    elog_die(0, "_init_Dlclock: called with unit=%d (should be in range 0..3)\n", unit);
  }
  lock.unlock();
  int id;
  Dlclock *clock = AttachSharedMemory(unit, &id);
  if (!clock) elog_die(1, "_init_Dlclock: unable to attach shared memory\n");
  lock.lock();
  if (g_clock) {  // another thread got there first
    shmdt(clock);
    return;
  }
  g_clock = clock;
  g_shmid = id;
}

void set_Dlclock(double datalogger_time) {
  Dlclock *clock;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    clock = g_clock;
  }
  if (!clock) return;
  // The host time through the clock seam, split back into seconds and microseconds
  // (rounded: the double holds the microseconds exactly enough).
  double now = clock_now();
  double whole = std::floor(now);
  long usec = std::lround((now - whole) * 1e6);
  struct timeval host;
  host.tv_sec = (time_t)whole;
  host.tv_usec = usec;
  if (usec >= 1000000) {
    host.tv_sec += 1;
    host.tv_usec = usec - 1000000;
  }
  // The datalogger time is truncated toward zero, never rounded up to the next second.
  double sec = std::trunc(datalogger_time);
  long dl_usec = (long)((datalogger_time - sec) * 1e6);
  PutTimeStamp(&host, (long)sec, dl_usec, clock, 0);
}

long dlclock_set_key_base(long base) {
  std::lock_guard<std::mutex> lock(g_mutex);
  long old = g_key_base;
  g_key_base = base;
  return old;
}

Dlclock *dlclock_attached(int *shmid) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (shmid) *shmid = g_shmid;
  return g_clock;
}

void dlclock_detach(void) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_clock) shmdt(g_clock);
  g_clock = nullptr;
  g_shmid = -1;
}
