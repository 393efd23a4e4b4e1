// A state restore while another thread puts into the same averagers: the restore swaps
// the bins in under the averager's lock, so the putting thread never touches freed or
// resized bins (ThreadSanitizer and AddressSanitizer watch this). A state write while the
// write thread flushes and the data thread moves on: each block is one view of both.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "muldrin_genc.h"
#include "q330_data.h"
#include "q330_fixture.h"
#include "q330_state.h"
#include "taverage.h"
#include "testkit/testkit.h"

namespace {

TEST(StateRestoreMt, RestoreWhilePutting) {
  Q330StateStore *bins = nullptr, *events = nullptr;
  ASSERT_EQ(
      q330_statestore_compile("time 1700000000\ntbin 60\ntwin 600\nnbin 10\nbins &Tbl{\n1\n2\n}\n",
                              "bins", &bins),
      0);
  ASSERT_EQ(q330_statestore_compile("time 0\ntbin -1\ntwin 86400\nnbin 3\nbins &Tbl{\n30\n20\n}\n",
                                    "events", &events),
            0);
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
    ASSERT_EQ(taverage_read_state(bin_ta, "bins", q330_statestore_root(bins)), 0);
    ASSERT_EQ(taverage_read_state(event_ta, "events", q330_statestore_root(events)), 0);
  }
  stop = true;
  putter.join();
  for (TAverage *ta : {bin_ta, event_ta}) {
    std::lock_guard<std::mutex> lock(ta->mutex);
    EXPECT_EQ(static_cast<size_t>(ta->nbin), ta->bins.size());
  }
  taverage_destroy(bin_ta);
  taverage_destroy(event_ta);
  q330_statestore_free(bins);
  q330_statestore_free(events);
}

// The write thread's flush sets the link times of three channels to one value per round,
// the data thread moves its position on a packet per round; every block written meanwhile
// holds the three times of one flush and the position of one packet.
TEST(StateWriteMt, EachBlockIsOneViewOfTheFlushAndThePosition) {
  Q330 *q = q330_create(nullptr, nullptr);
  set_q330_str(&q->params.dlname, "DL1");
  static int pdef;
  for (int c = 0; c < 3; c++) {
    q->params.data_chan[0][c].outputthischan = 1;
    q->params.data_chan[0][c].user_data = reinterpret_cast<PacketDef *>(&pdef);
  }
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 1; !stop.load(); i++) {
      for (int c = 0; c < 3; c++) q->params.data_chan[0][c].last_output_time = 1e9 + i;
      q330_write_flush(q);
    }
  });
  std::thread data([&] {
    for (unsigned i = 1; !stop.load(); i++) {
      q->data_boot_known = true;
      q->last_good_sequence = static_cast<uint16_t>(i);
      q->ch98_time_qdp_sequence = static_cast<uint16_t>(i);
      q->ch98_time_data_sequence = i;
      q->ch98_time = 1e9 + i;
      q330_publish_data_mark(q);
    }
  });
  TempDir dir;
  const std::string path = dir.file("state");
  for (int round = 0; round < 300; round++) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(q330_write_state(q, fd), 0);
    close(fd);
    const std::string text = read_file(path);
    double t[3] = {0, 0, 0}, ch98 = 0;
    for (int c = 0; c < 3; c++) {
      const std::string key = "data:0:" + std::to_string(c) + " ";
      size_t at = text.find(key);
      if (at != std::string::npos) t[c] = atof(text.c_str() + at + key.size());
    }
    EXPECT_TRUE(t[0] == t[1] && t[1] == t[2]) << text;
    size_t at = text.find("ch98_time ");
    ASSERT_NE(at, std::string::npos);
    ch98 = atof(text.c_str() + at + 10);
    unsigned good = 0, qdp = 0, record = 0;
    at = text.find("data_sequence ");
    if (at != std::string::npos) {
      ASSERT_EQ(sscanf(text.c_str() + at, "data_sequence %u %u %u", &good, &qdp, &record), 3);
      EXPECT_TRUE(good == qdp && record % 65536 == good && ch98 == 1e9 + record) << text;
    }
  }
  stop = true;
  writer.join();
  data.join();
  free_session(q);
}

}  // namespace
