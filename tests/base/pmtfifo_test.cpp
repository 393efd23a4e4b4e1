// Single-thread behaviour of the queue: order, unpop, limit, release, time-out, errors
// and destroy.
#include "base/pmtfifo.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <vector>

#include "base/elog.h"
#include "testkit/testkit.h"

namespace {

void *item_of(intptr_t n) { return reinterpret_cast<void *>(n); }

enum class Op { Push, Unpop, Pop, Count, Release };

struct Step {
  Op op;
  intptr_t item;  // pushed or unpopped item; expected item of a pop
  int result;     // expected result (Count: the number of items)
};

struct Script {
  const char *name;
  int limit;
  int blocking;
  std::vector<Step> steps;
};

}  // namespace

TEST(Pmtfifo, BehaviourTable) {
  const Script scripts[] = {
      {"items come out in the order pushed",
       0,
       0,
       {{Op::Push, 1, 0},
        {Op::Push, 2, 0},
        {Op::Push, 3, 0},
        {Op::Count, 0, 3},
        {Op::Pop, 1, 1},
        {Op::Pop, 2, 1},
        {Op::Pop, 3, 1},
        {Op::Count, 0, 0}}},
      {"unpop puts the item at the head",
       0,
       1,
       {{Op::Push, 1, 0},
        {Op::Push, 2, 0},
        {Op::Unpop, 3, 0},
        {Op::Pop, 3, 1},
        {Op::Unpop, 4, 0},
        {Op::Unpop, 5, 0},
        {Op::Pop, 5, 1},
        {Op::Pop, 4, 1},
        {Op::Pop, 1, 1},
        {Op::Pop, 2, 1}}},
      {"unpop onto an empty queue",
       0,
       0,
       {{Op::Unpop, 7, 0}, {Op::Push, 8, 0}, {Op::Pop, 7, 1}, {Op::Pop, 8, 1}}},
      {"the none item is an item",
       0,
       0,
       {{Op::Push, 0, 0},
        {Op::Push, 9, 0},
        {Op::Count, 0, 2},
        {Op::Pop, 0, 1},
        {Op::Pop, 9, 1},
        {Op::Pop, 0, 0}}},
      {"non-blocking empty pop returns 0",
       0,
       0,
       {{Op::Pop, 0, 0}, {Op::Push, 1, 0}, {Op::Pop, 1, 1}, {Op::Pop, 0, 0}}},
      {"a full non-blocking queue refuses a push, unpop still goes in",
       2,
       0,
       {{Op::Push, 1, 0},
        {Op::Push, 2, 0},
        {Op::Push, 3, -2},
        {Op::Count, 0, 2},
        {Op::Unpop, 4, 0},
        {Op::Count, 0, 3},
        {Op::Pop, 4, 1},
        {Op::Pop, 1, 1},
        {Op::Push, 5, 0},
        {Op::Pop, 2, 1},
        {Op::Pop, 5, 1},
        {Op::Pop, 0, 0}}},
      {"released: queued items still come out, then 2",
       0,
       1,
       {{Op::Push, 1, 0},
        {Op::Release, 0, 0},
        {Op::Pop, 1, 1},
        {Op::Pop, 0, 2},
        {Op::Push, 2, 0},
        {Op::Pop, 2, 1},
        {Op::Pop, 0, 2},
        {Op::Release, 0, 0},
        {Op::Pop, 0, 2}}},
      {"released non-blocking empty pop returns 2", 0, 0, {{Op::Release, 0, 0}, {Op::Pop, 0, 2}}},
      {"released full blocking queue refuses a push at once",
       1,
       1,
       {{Op::Push, 1, 0},
        {Op::Release, 0, 0},
        {Op::Push, 2, -2},
        {Op::Count, 0, 1},
        {Op::Pop, 1, 1},
        {Op::Push, 3, 0},
        {Op::Pop, 3, 1}}},
  };
  for (const Script &s : scripts) {
    SCOPED_TRACE(s.name);
    Pmtfifo *q = pmtfifo_create(s.limit, s.blocking, 0);
    ASSERT_NE(q, nullptr);
    for (size_t i = 0; i < s.steps.size(); i++) {
      const Step &st = s.steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      switch (st.op) {
        case Op::Push:
          EXPECT_EQ(pmtfifo_push(q, item_of(st.item)), st.result);
          break;
        case Op::Unpop:
          EXPECT_EQ(pmtfifo_unpop(q, item_of(st.item)), st.result);
          break;
        case Op::Pop: {
          void *got = item_of(-1);  // must be overwritten, also without an item
          EXPECT_EQ(pmtfifo_pop(q, &got), st.result);
          EXPECT_EQ(got, item_of(st.item));
          break;
        }
        case Op::Count:
          EXPECT_EQ(pmtfifo_data_available(q), st.result);
          break;
        case Op::Release:
          EXPECT_EQ(pmtfifo_release_block(q), st.result);
          break;
      }
    }
    EXPECT_EQ(pmtfifo_destroy(q, nullptr), 0);
  }
}

TEST(Pmtfifo, BadArgumentsAreErrors) {
  ElogCapture cap;
  Pmtfifo *q = pmtfifo_create(0, 1, 1);
  ASSERT_NE(q, nullptr);
  void *got = item_of(-1);
  struct Case {
    const char *what;
    std::function<int()> call;
  } cases[] = {
      {"pmtfifo_push", [] { return pmtfifo_push(nullptr, item_of(1)); }},
      {"pmtfifo_unpop", [] { return pmtfifo_unpop(nullptr, item_of(1)); }},
      {"pmtfifo_pop", [&] { return pmtfifo_pop(nullptr, &got); }},
      {"pmtfifo_pop", [&] { return pmtfifo_pop(q, nullptr); }},
      {"pmtfifo_data_available", [] { return pmtfifo_data_available(nullptr); }},
      {"pmtfifo_set_timeout", [] { return pmtfifo_set_timeout(nullptr, 1.0); }},
      {"pmtfifo_set_timeout", [&] { return pmtfifo_set_timeout(q, -0.5); }},
      {"pmtfifo_set_timeout", [&] { return pmtfifo_set_timeout(q, std::nan("")); }},
      {"pmtfifo_release_block", [] { return pmtfifo_release_block(nullptr); }},
  };
  for (const Case &c : cases) {
    EXPECT_LT(c.call(), 0) << c.what;
    EXPECT_EQ(elog_clear_register(1), 1) << c.what;
    EXPECT_TRUE(cap.contains(std::string(c.what) + ": ")) << c.what;
    cap.clear();
  }
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(pmtfifo_create(-1, 1, 0), nullptr);
  EXPECT_EQ(elog_clear_register(1), 1);
  EXPECT_TRUE(cap.contains("pmtfifo_create: "));
  // The queue itself is untouched by the refused calls.
  EXPECT_EQ(pmtfifo_data_available(q), 0);
  EXPECT_EQ(pmtfifo_destroy(nullptr, free), 0);
  EXPECT_EQ(pmtfifo_destroy(q, nullptr), 0);
}

TEST(Pmtfifo, TimeOutIsClockTime) {
  ClockScale fast(0.01);
  Pmtfifo *q = pmtfifo_create(0, 1, 0);
  ASSERT_EQ(pmtfifo_set_timeout(q, 2.0), 0);
  void *got = item_of(-1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pmtfifo_pop(q, &got), 3);
  std::chrono::duration<double> waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(got, nullptr);
  // 2 clock seconds at scale 0.01 are 20 ms of real time.
  EXPECT_GE(waited.count(), 0.019);
  EXPECT_LT(waited.count(), 1.0);

  // A queued item is taken at once, time-out or not.
  ASSERT_EQ(pmtfifo_push(q, item_of(5)), 0);
  EXPECT_EQ(pmtfifo_pop(q, &got), 1);
  EXPECT_EQ(got, item_of(5));

  // The time-out does not apply to a non-blocking queue.
  Pmtfifo *nb = pmtfifo_create(0, 0, 0);
  ASSERT_EQ(pmtfifo_set_timeout(nb, 2.0), 0);
  EXPECT_EQ(pmtfifo_pop(nb, &got), 0);
  pmtfifo_destroy(nb, nullptr);
  pmtfifo_destroy(q, nullptr);
}

namespace {
int g_destroyed = 0;
void count_and_free(void *p) {
  g_destroyed++;
  free(p);
}
}  // namespace

TEST(Pmtfifo, DestroyHandsRemainingItemsToTheDestructor) {
  // Three heap items and a none item (which the destructor must not see); the leak
  // checker shows an item left unfreed.
  Pmtfifo *q = pmtfifo_create(0, 1, 0);
  for (int i = 0; i < 3; i++) ASSERT_EQ(pmtfifo_push(q, malloc(16)), 0);
  ASSERT_EQ(pmtfifo_push(q, nullptr), 0);
  void *taken = nullptr;
  ASSERT_EQ(pmtfifo_pop(q, &taken), 1);  // popped: the caller's now
  g_destroyed = 0;
  EXPECT_EQ(pmtfifo_destroy(q, count_and_free), 0);
  EXPECT_EQ(g_destroyed, 2);
  free(taken);

  // Without a destructor the items stay the caller's.
  std::vector<void *> mine;
  q = pmtfifo_create(0, 0, 0);
  for (int i = 0; i < 2; i++) {
    mine.push_back(malloc(8));
    ASSERT_EQ(pmtfifo_push(q, mine.back()), 0);
  }
  EXPECT_EQ(pmtfifo_destroy(q, nullptr), 0);
  for (void *p : mine) free(p);
}
