// The queue under threads: no lost or repeated items, no lost wake-ups, and waits that
// end on release, pop, destroy and cancellation.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/pmtfifo.h"
#include "testkit/testkit.h"

namespace {

void *item_of(intptr_t n) { return reinterpret_cast<void *>(n); }
intptr_t id_of(void *p) { return reinterpret_cast<intptr_t>(p); }

// Returns once `pops` pops and `pushes` pushes wait inside the queue: the threads just
// started have reached their wait.
void until_blocked(Pmtfifo *q, int pops, int pushes) {
  ASSERT_EQ(pmtfifo_wait_blocked(q, pops, pushes, 60.0), 1) << "the waits were not reached";
}

}  // namespace

TEST(PmtfifoThreads, ManyProducersSeveralConsumersLoseAndRepeatNothing) {
  constexpr int kProducers = 4, kConsumers = 3, kPerProducer = 4000;
  // A small limit makes producers wait for room and consumers wait for items.
  Pmtfifo *q = pmtfifo_create(8, 1, 0);
  ASSERT_NE(q, nullptr);
  std::vector<std::vector<intptr_t>> got(kConsumers);
  std::vector<int> pop_errors(kConsumers, 0), push_errors(kProducers, 0);
  std::vector<std::thread> consumers, producers;
  for (int c = 0; c < kConsumers; c++)
    consumers.emplace_back([&, c] {
      for (;;) {
        void *it = nullptr;
        if (pmtfifo_pop(q, &it) != 1) {
          pop_errors[c]++;
          return;
        }
        if (it == nullptr) return;  // stopper
        got[c].push_back(id_of(it));
      }
    });
  for (int p = 0; p < kProducers; p++)
    producers.emplace_back([&, p] {
      for (int i = 0; i < kPerProducer; i++)
        if (pmtfifo_push(q, item_of((intptr_t)p * kPerProducer + i + 1)) != 0) push_errors[p]++;
    });
  for (auto &t : producers) t.join();
  for (int c = 0; c < kConsumers; c++) EXPECT_EQ(pmtfifo_push(q, nullptr), 0);
  for (auto &t : consumers) t.join();

  std::vector<intptr_t> all;
  for (int c = 0; c < kConsumers; c++) {
    EXPECT_EQ(pop_errors[c], 0);
    // Each consumer sees every producer's items in the order they were pushed.
    std::vector<intptr_t> last(kProducers, 0);
    for (intptr_t id : got[c]) {
      int p = (int)((id - 1) / kPerProducer);
      EXPECT_GT(id, last[p]) << "consumer " << c;
      last[p] = id;
    }
    all.insert(all.end(), got[c].begin(), got[c].end());
  }
  for (int p = 0; p < kProducers; p++) EXPECT_EQ(push_errors[p], 0);
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), (size_t)kProducers * kPerProducer);
  for (size_t i = 0; i < all.size(); i++) ASSERT_EQ(all[i], (intptr_t)i + 1);
  EXPECT_EQ(pmtfifo_data_available(q), 0);
  pmtfifo_destroy(q, nullptr);
}

TEST(PmtfifoThreads, ReleaseEndsWaitingPopsWhateverTheTimeOut) {
  // 0 removes the bound; 1e300 and infinity are too long to be a bound. A pop that
  // treated any of them as a deadline already passed would return 3 instead of 2.
  const double timeouts[] = {0.0, 100.0, 1e300, INFINITY};
  for (double t : timeouts) {
    SCOPED_TRACE(t);
    Pmtfifo *q = pmtfifo_create(0, 1, 0);
    ASSERT_EQ(pmtfifo_set_timeout(q, 5.0), 0);
    ASSERT_EQ(pmtfifo_set_timeout(q, t), 0);
    int results[3] = {-9, -9, -9};
    void *items[3] = {item_of(-1), item_of(-1), item_of(-1)};
    std::vector<std::thread> consumers;
    for (int c = 0; c < 3; c++)
      consumers.emplace_back([&, c] { results[c] = pmtfifo_pop(q, &items[c]); });
    until_blocked(q, 3, 0);
    EXPECT_EQ(pmtfifo_release_block(q), 0);
    for (auto &th : consumers) th.join();
    for (int c = 0; c < 3; c++) {
      EXPECT_EQ(results[c], 2);
      EXPECT_EQ(items[c], nullptr);
    }
    pmtfifo_destroy(q, nullptr);
  }
}

TEST(PmtfifoThreads, TimedPopTakesAnItemPushedWhileItWaits) {
  Pmtfifo *q = pmtfifo_create(0, 1, 0);
  ASSERT_EQ(pmtfifo_set_timeout(q, 30.0), 0);
  int result = -9;
  void *item = nullptr;
  std::thread consumer([&] { result = pmtfifo_pop(q, &item); });
  until_blocked(q, 1, 0);
  ASSERT_EQ(pmtfifo_push(q, item_of(42)), 0);
  consumer.join();
  EXPECT_EQ(result, 1);
  EXPECT_EQ(item, item_of(42));
  pmtfifo_destroy(q, nullptr);
}

TEST(PmtfifoThreads, ProducerWaitingOnAFullQueueIsWokenByAPop) {
  Pmtfifo *q = pmtfifo_create(1, 1, 0);
  ASSERT_EQ(pmtfifo_push(q, item_of(1)), 0);
  std::atomic<bool> done{false};
  int result = -9;
  std::thread producer([&] {
    result = pmtfifo_push(q, item_of(2));
    done = true;
  });
  until_blocked(q, 0, 1);
  EXPECT_FALSE(done.load()) << "push went past the limit";
  EXPECT_EQ(pmtfifo_data_available(q), 1);
  void *item = nullptr;
  EXPECT_EQ(pmtfifo_pop(q, &item), 1);
  EXPECT_EQ(item, item_of(1));
  producer.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(pmtfifo_pop(q, &item), 1);
  EXPECT_EQ(item, item_of(2));
  pmtfifo_destroy(q, nullptr);
}

TEST(PmtfifoThreads, ReleaseEndsWaitingPushes) {
  Pmtfifo *q = pmtfifo_create(1, 1, 0);
  ASSERT_EQ(pmtfifo_push(q, item_of(1)), 0);
  int results[2] = {-9, -9};
  std::vector<std::thread> producers;
  for (int p = 0; p < 2; p++)
    producers.emplace_back([&, p] { results[p] = pmtfifo_push(q, item_of(10 + p)); });
  until_blocked(q, 0, 2);
  EXPECT_EQ(pmtfifo_release_block(q), 0);
  for (auto &t : producers) t.join();
  EXPECT_EQ(results[0], -2);
  EXPECT_EQ(results[1], -2);
  EXPECT_EQ(pmtfifo_data_available(q), 1);
  pmtfifo_destroy(q, nullptr);
}

TEST(PmtfifoThreads, UnpopRacingPopsLosesNothing) {
  // Consumers hand every item back once (unpop) before keeping it, while the others
  // keep popping; each item must be kept exactly once.
  constexpr int kItems = 3000, kConsumers = 4;
  Pmtfifo *q = pmtfifo_create(0, 0, 0);
  for (int i = 0; i < kItems; i++) ASSERT_EQ(pmtfifo_push(q, item_of(i + 1)), 0);
  std::vector<std::atomic<int>> seen(kItems + 1);
  std::vector<std::vector<intptr_t>> kept(kConsumers);
  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; c++)
    consumers.emplace_back([&, c] {
      void *it = nullptr;
      while (pmtfifo_pop(q, &it) == 1) {
        intptr_t id = id_of(it);
        if (seen[id].fetch_add(1) == 0)
          pmtfifo_unpop(q, it);
        else
          kept[c].push_back(id);
      }
    });
  for (auto &t : consumers) t.join();
  std::vector<intptr_t> all;
  for (auto &k : kept) all.insert(all.end(), k.begin(), k.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), (size_t)kItems);
  for (int i = 0; i < kItems; i++) ASSERT_EQ(all[i], i + 1);
  for (int i = 1; i <= kItems; i++) ASSERT_EQ(seen[i].load(), 2);
  pmtfifo_destroy(q, nullptr);
}

TEST(PmtfifoThreads, UnpopWakesWaitingConsumers) {
  constexpr int kItems = 2000, kConsumers = 3;
  Pmtfifo *q = pmtfifo_create(0, 1, 0);
  // A lost wake-up shows as a time-out (result 3) instead of a hang.
  ASSERT_EQ(pmtfifo_set_timeout(q, 30.0), 0);
  std::atomic<int> taken{0}, bad{0};
  std::vector<std::thread> consumers;
  for (int c = 0; c < kConsumers; c++)
    consumers.emplace_back([&] {
      for (;;) {
        void *it = nullptr;
        if (pmtfifo_pop(q, &it) != 1) {
          bad++;
          return;
        }
        if (it == nullptr) return;
        taken++;
      }
    });
  for (int i = 0; i < kItems; i++) {
    ASSERT_EQ(pmtfifo_unpop(q, item_of(i + 1)), 0);
    if (i % 100 == 0) std::this_thread::yield();
  }
  for (int c = 0; c < kConsumers; c++) ASSERT_EQ(pmtfifo_push(q, nullptr), 0);
  for (auto &t : consumers) t.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(taken.load(), kItems);
  pmtfifo_destroy(q, nullptr);
}

TEST(PmtfifoThreads, PingPongLosesNoWakeUp) {
  constexpr int kRounds = 3000;
  Pmtfifo *ping = pmtfifo_create(1, 1, 0), *pong = pmtfifo_create(1, 1, 0);
  ASSERT_EQ(pmtfifo_set_timeout(ping, 30.0), 0);
  ASSERT_EQ(pmtfifo_set_timeout(pong, 30.0), 0);
  std::atomic<int> echo_errors{0};
  std::thread echo([&] {
    for (int i = 0; i < kRounds; i++) {
      void *it = nullptr;
      if (pmtfifo_pop(ping, &it) != 1 || pmtfifo_push(pong, it) != 0) {
        echo_errors++;
        return;
      }
    }
  });
  int errors = 0;
  for (int i = 0; i < kRounds && errors == 0; i++) {
    void *it = nullptr;
    if (pmtfifo_push(ping, item_of(i + 1)) != 0 || pmtfifo_pop(pong, &it) != 1 ||
        it != item_of(i + 1))
      errors++;
  }
  if (errors) pmtfifo_release_block(ping);
  echo.join();
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(echo_errors.load(), 0);
  pmtfifo_destroy(ping, nullptr);
  pmtfifo_destroy(pong, nullptr);
}

TEST(PmtfifoThreads, DestroyReleasesWaitingThreadsBeforeFreeing) {
  // An empty queue with a waiting consumer and a full one with a waiting producer.
  // destroy must wake them and let them leave before it frees the queue; the
  // sanitizers report a use after free otherwise. The threads must be inside their
  // call before destroy begins.
  Pmtfifo *empty = pmtfifo_create(0, 1, 0);
  Pmtfifo *full = pmtfifo_create(1, 1, 0);
  void *kept = malloc(4);
  ASSERT_EQ(pmtfifo_push(full, kept), 0);
  std::atomic<int> started{0};
  int pop_result = -9, push_result = -9;
  std::thread consumer([&] {
    void *it = nullptr;
    started++;
    pop_result = pmtfifo_pop(empty, &it);
  });
  std::thread producer([&] {
    started++;
    push_result = pmtfifo_push(full, item_of(7));
  });
  while (started.load() < 2) std::this_thread::yield();
  until_blocked(empty, 1, 0);
  until_blocked(full, 0, 1);
  EXPECT_EQ(pmtfifo_destroy(empty, free), 0);
  EXPECT_EQ(pmtfifo_destroy(full, free), 0);  // frees `kept`
  consumer.join();
  producer.join();
  EXPECT_EQ(pop_result, 2);
  EXPECT_EQ(push_result, -2);
}

TEST(PmtfifoThreads, ConsumerMayDestroyTheQueueOnTheItemThatWokeIt) {
  // A push wakes the waiting consumer only after letting the mutex go; the consumer,
  // once it has the item, may destroy the queue while the push is still signalling.
  // destroy must wait for that signal to be given; the sanitizers report a use after
  // free otherwise.
  for (int round = 0; round < 200; round++) {
    Pmtfifo *q = pmtfifo_create(0, 1, 0);
    int pop_result = -9;
    std::thread consumer([&] {
      void *it = nullptr;
      pop_result = pmtfifo_pop(q, &it);
      pmtfifo_destroy(q, nullptr);
    });
    until_blocked(q, 1, 0);
    ASSERT_EQ(pmtfifo_push(q, item_of(1)), 0);
    consumer.join();
    ASSERT_EQ(pop_result, 1) << "round " << round;
  }
}

namespace {
struct CancelArgs {
  Pmtfifo *q;
  std::atomic<int> started{0};
};
void *push_until_cancelled(void *arg) {
  auto *a = static_cast<CancelArgs *>(arg);
  a->started = 1;
  pmtfifo_push(a->q, item_of(2));  // waits on the full queue until cancelled
  return nullptr;
}
}  // namespace

TEST(PmtfifoThreads, ProducerCancelledWhileWaitingLeavesTheQueueUsable) {
  // A stopper that gives up on a thread cancels it, possibly while it waits for room.
  // The queue's mutex must be free afterwards and destroy must not wait for the
  // cancelled thread.
  CancelArgs args;
  args.q = pmtfifo_create(1, 1, 0);
  ASSERT_EQ(pmtfifo_push(args.q, item_of(1)), 0);
  pthread_t th;
  ASSERT_EQ(pthread_create(&th, nullptr, push_until_cancelled, &args), 0);
  while (args.started.load() == 0) std::this_thread::yield();
  until_blocked(args.q, 0, 1);
  ASSERT_EQ(pthread_cancel(th), 0);
  void *status = nullptr;
  ASSERT_EQ(pthread_join(th, &status), 0);
  EXPECT_EQ(status, PTHREAD_CANCELED);
  EXPECT_EQ(pmtfifo_data_available(args.q), 1);
  void *it = nullptr;
  EXPECT_EQ(pmtfifo_pop(args.q, &it), 1);
  EXPECT_EQ(it, item_of(1));
  EXPECT_EQ(pmtfifo_push(args.q, item_of(3)), 0);
  EXPECT_EQ(pmtfifo_destroy(args.q, nullptr), 0);
}
