// A state restore while another thread puts into the same averagers: the restore swaps
// the bins in under the averager's lock, so the putting thread never touches freed or
// resized bins (ThreadSanitizer and AddressSanitizer watch this).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/pf.h"
#include "q330_state.h"
#include "taverage.h"

namespace {

TEST(StateRestoreMt, RestoreWhilePutting) {
  Pf *bins = nullptr, *events = nullptr;
  ASSERT_EQ(pfcompile("time 1700000000\ntbin 60\ntwin 600\nnbin 10\nbins &Tbl{\n1\n2\n}\n", &bins),
            0);
  ASSERT_EQ(pfcompile("time 0\ntbin -1\ntwin 86400\nnbin 3\nbins &Tbl{\n30\n20\n}\n", &events), 0);
  TAverage *bin_ta = taverage_create(1700000000, 3600, 25);
  TAverage *event_ta = taverage_create(86400, -1, 100);
  std::atomic<bool> stop{false};
  std::thread putter([&] {
    while (!stop.load()) {
      taverage_put(bin_ta, 1);
      taverage_put(event_ta, 1);
      double t = 1700000000, w = 3600, sum, ave;
      taverage_get(bin_ta, &t, &w, &sum, &ave);
    }
  });
  for (int i = 0; i < 500; i++) {
    ASSERT_EQ(taverage_read_state(bin_ta, "bins", bins), 0);
    ASSERT_EQ(taverage_read_state(event_ta, "events", events), 0);
  }
  stop = true;
  putter.join();
  for (TAverage *ta : {bin_ta, event_ta}) {
    std::lock_guard<std::mutex> lock(ta->mutex);
    EXPECT_EQ(static_cast<size_t>(ta->nbin), ta->bins.size());
  }
  taverage_destroy(bin_ta);
  taverage_destroy(event_ta);
  pffree(bins);
  pffree(events);
}

}  // namespace
