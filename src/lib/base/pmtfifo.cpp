// pmtfifo.cpp - the thread-safe queue: a deque under one mutex, with one condition
// variable for consumers waiting for an item and one for producers waiting for room.
// A push or pop signals the other side only when a thread of it waits, and does so after
// letting the mutex go, so that the woken thread does not at once block on the mutex the
// signalling thread still holds.
#include "base/pmtfifo.h"

#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>

#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"

namespace {

// Time-outs longer than this (about 30 years) mean waiting without limit; the bound
// keeps the deadline arithmetic far from overflow.
constexpr double kLongestTimeout = 30.0 * 365.25 * 86400.0;

}  // namespace

struct Pmtfifo {
  std::mutex mutex;
  std::condition_variable not_empty;  // consumers wait here for an item
  std::condition_variable not_full;   // producers wait here for room
  std::condition_variable idle;       // destroy waits here for the waiters to leave
  std::condition_variable blocked;    // pmtfifo_wait_blocked waits here for blocked calls
  std::deque<void *> items;
  size_t limit = 0;  // 0: no limit
  bool blocking = false;
  bool released = false;
  bool destroying = false;
  double timeout = 0;      // clock seconds; 0: wait without limit
  int waiters = 0;         // threads inside pop or push (they may wait)
  int blocked_pops = 0;    // pops waiting for an item
  int blocked_pushes = 0;  // pushes waiting for room
  // Calls signalling a condition variable after letting the mutex go; raised under the
  // mutex, lowered without it. Destroy waits for it to drop to 0.
  std::atomic<int> signalling{0};

  bool full() const { return limit > 0 && items.size() >= limit; }
};

namespace {

// Counts the calling thread as inside a waiting call while it lives; the count drops
// also when the thread is cancelled during the wait (the unwinding runs the destructor
// with the mutex held again).
class Waiter {
 public:
  explicit Waiter(Pmtfifo *q) : q_(q) { ++q_->waiters; }
  ~Waiter() {
    if (--q_->waiters == 0 && q_->destroying) q_->idle.notify_all();
  }
  Waiter(const Waiter &) = delete;
  Waiter &operator=(const Waiter &) = delete;

 private:
  Pmtfifo *q_;
};

// Counts a pop or push as blocked while it lives (also through a cancellation's
// unwinding), and tells pmtfifo_wait_blocked of each one that begins to wait.
class Blocked {
 public:
  Blocked(Pmtfifo *q, int *count) : q_(q), count_(count) {
    ++*count_;
    q_->blocked.notify_all();
  }
  ~Blocked() { --*count_; }
  Blocked(const Blocked &) = delete;
  Blocked &operator=(const Blocked &) = delete;

 private:
  Pmtfifo *q_;
  int *count_;
};

void add(Pmtfifo *q, void *item, bool at_head) {
  try {
    if (at_head)
      q->items.push_front(item);
    else
      q->items.push_back(item);
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(sizeof item, "pmtfifo item");
  }
}

// Lets the mutex go and then wakes one thread waiting on `cv`, when `waiting` threads do
// (a count read under the mutex). The queue stays counted as in use until the signal is
// given, so that destroy cannot free it in between.
void signal_one(Pmtfifo *q, std::unique_lock<std::mutex> &lock, std::condition_variable &cv,
                int waiting) {
  if (waiting == 0) return;
  q->signalling.fetch_add(1, std::memory_order_relaxed);
  lock.unlock();
  cv.notify_one();
  q->signalling.fetch_sub(1, std::memory_order_release);
}

}  // namespace

Pmtfifo *pmtfifo_create(int limit, int blocking, int opt) {
  (void)opt;  // reserved
  if (limit < 0) {
    elog_log(0, "pmtfifo_create: negative limit %d.\n", limit);
    return nullptr;
  }
  Pmtfifo *q = new (std::nothrow) Pmtfifo;
  if (q == nullptr) OUT_OF_MEMORY(sizeof(Pmtfifo), "Pmtfifo");
  q->limit = (size_t)limit;
  q->blocking = blocking != 0;
  return q;
}

int pmtfifo_push(Pmtfifo *queue, void *item) {
  if (queue == nullptr) {
    elog_log(0, "pmtfifo_push: no queue.\n");
    return PMTFIFO_NOQUEUE;
  }
  std::unique_lock<std::mutex> lock(queue->mutex);
  {
    Waiter waiter(queue);
    while (queue->full()) {
      if (!queue->blocking || queue->released) return PMTFIFO_FULL;
      Blocked blocked(queue, &queue->blocked_pushes);
      queue->not_full.wait(lock);
    }
    add(queue, item, false);
  }
  signal_one(queue, lock, queue->not_empty, queue->blocked_pops);
  return PMTFIFO_QUEUED;
}

int pmtfifo_unpop(Pmtfifo *queue, void *item) {
  if (queue == nullptr) {
    elog_log(0, "pmtfifo_unpop: no queue.\n");
    return PMTFIFO_NOQUEUE;
  }
  std::unique_lock<std::mutex> lock(queue->mutex);
  add(queue, item, true);
  signal_one(queue, lock, queue->not_empty, queue->blocked_pops);
  return PMTFIFO_QUEUED;
}

namespace {

// The pop under the mutex: takes the head item into *item, waiting for one as the
// queue's settings say. Returns pmtfifo_pop's result.
int pop_locked(Pmtfifo *queue, void **item, std::unique_lock<std::mutex> &lock) {
  Waiter waiter(queue);
  if (queue->items.empty()) {
    if (queue->released) return PMTFIFO_RELEASED;
    if (!queue->blocking) return PMTFIFO_EMPTY;
    Blocked blocked(queue, &queue->blocked_pops);
    if (queue->timeout > 0) {
      // The deadline is fixed at the start: wake-ups for items that another consumer
      // took first do not lengthen the wait.
      auto wait = std::chrono::duration<double>(clock_real_seconds(queue->timeout));
      auto deadline = std::chrono::steady_clock::now() +
                      std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait);
      while (queue->items.empty() && !queue->released) {
        if (queue->not_empty.wait_until(lock, deadline) == std::cv_status::timeout &&
            queue->items.empty() && !queue->released)
          return PMTFIFO_TIMEOUT;
      }
    } else {
      while (queue->items.empty() && !queue->released) queue->not_empty.wait(lock);
    }
    if (queue->items.empty()) return PMTFIFO_RELEASED;
  }
  *item = queue->items.front();
  queue->items.pop_front();
  return PMTFIFO_TAKEN;
}

}  // namespace

int pmtfifo_pop(Pmtfifo *queue, void **item) {
  if (item != nullptr) *item = nullptr;
  if (queue == nullptr || item == nullptr) {
    elog_log(0, "pmtfifo_pop: %s.\n", queue == nullptr ? "no queue" : "no place for the item");
    return PMTFIFO_BADARGS;
  }
  std::unique_lock<std::mutex> lock(queue->mutex);
  int r = pop_locked(queue, item, lock);
  if (r == PMTFIFO_TAKEN) signal_one(queue, lock, queue->not_full, queue->blocked_pushes);
  return r;
}

int pmtfifo_data_available(Pmtfifo *queue) {
  if (queue == nullptr) {
    elog_log(0, "pmtfifo_data_available: no queue.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  size_t n = queue->items.size();
  return n > (size_t)INT_MAX ? INT_MAX : (int)n;
}

int pmtfifo_set_timeout(Pmtfifo *queue, double seconds) {
  if (queue == nullptr || std::isnan(seconds) || seconds < 0) {
    if (queue == nullptr)
      elog_log(0, "pmtfifo_set_timeout: no queue.\n");
    else
      elog_log(0, "pmtfifo_set_timeout: bad time-out %f.\n", seconds);
    return -1;
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->timeout = seconds > kLongestTimeout ? 0 : seconds;
  return 0;
}

int pmtfifo_wait_blocked(Pmtfifo *queue, int pops, int pushes, double seconds) {
  if (queue == nullptr) {
    elog_log(0, "pmtfifo_wait_blocked: no queue.\n");
    return -1;
  }
  std::unique_lock<std::mutex> lock(queue->mutex);
  Waiter waiter(queue);
  auto wait = std::chrono::duration<double>(clock_real_seconds(seconds > 0 ? seconds : 0));
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait);
  while (queue->blocked_pops < pops || queue->blocked_pushes < pushes) {
    if (queue->destroying || queue->blocked.wait_until(lock, deadline) == std::cv_status::timeout)
      return queue->blocked_pops >= pops && queue->blocked_pushes >= pushes;
  }
  return 1;
}

int pmtfifo_release_block(Pmtfifo *queue) {
  if (queue == nullptr) {
    elog_log(0, "pmtfifo_release_block: no queue.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(queue->mutex);
  queue->released = true;
  queue->not_empty.notify_all();
  queue->not_full.notify_all();
  return 0;
}

int pmtfifo_destroy(Pmtfifo *queue, void (*destructor)(void *)) {
  if (queue == nullptr) return 0;
  {
    std::unique_lock<std::mutex> lock(queue->mutex);
    queue->released = true;
    queue->destroying = true;
    queue->not_empty.notify_all();
    queue->not_full.notify_all();
    queue->blocked.notify_all();
    while (queue->waiters > 0) queue->idle.wait(lock);
  }
  // A call that signals after letting the mutex go is a moment from done.
  while (queue->signalling.load(std::memory_order_acquire) != 0) std::this_thread::yield();
  if (destructor != nullptr) {
    for (void *item : queue->items)
      if (item != nullptr) destructor(item);
  }
  delete queue;
  return 0;
}
