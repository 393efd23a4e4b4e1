// Several producers feeding muldrin's writer while a stop is asked: nothing queued is lost.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "muldrin_write.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

namespace {

TEST(MuldrinWriteMt, ProducersAndAStopTogether) {
  TempDir dir;
  std::string path = dir.file("r.ring");
  ASSERT_EQ(orbcreate(path.c_str(), 4 << 20), 0);
  Orbtag tag;
  tag.orbw = orbopen(path.c_str(), "w");
  int reader = orbopen(path.c_str(), "r");
  ASSERT_GE(tag.orbw, 0);
  ASSERT_GE(reader, 0);
  ClockScale scale(0.001);
  Muldrin m;
  m.target_name = const_cast<char *>("TA");
  m.log_srcname = const_cast<char *>("TA_prog/log");
  m.log = &tag;
  ASSERT_EQ(muldrin_write_setup(&m), 0);
  pthread_t writer;
  ASSERT_EQ(pthread_create(&writer, nullptr, run_write_thread, nullptr), 0);

  const int kProducers = 4, kItems = 200;
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; p++)
    producers.emplace_back([p] {
      for (int i = 0; i < kItems; i++) {
        // Debug lines, which the flood gate lets through, so that every item must arrive.
        std::string text =
            "2026345 02:10:00.000: TA: DEBUGD: " + std::to_string(p) + ":" + std::to_string(i);
        int type = i % 10 == 0 ? Q330_OUT_STDOUT : Q330_OUT_LOG;
        myout_callback(nullptr, type, strdup(text.c_str()), 0);
      }
    });
  for (auto &t : producers) t.join();
  // Every item is queued: the writer must write them all before stopping.
  m.kill = MULDRIN_KILL_STOP;
  pthread_join(writer, nullptr);
  EXPECT_EQ(m.kill.load(), MULDRIN_KILL_ENDED);

  std::set<std::string> seen;
  char *buf = nullptr;
  int bufsize = 0, nbytes = 0, id = 0;
  char src[ORBSRCNAME_SIZE];
  double t = 0;
  while (orbreap_nd(reader, &id, src, &t, &buf, &nbytes, &bufsize) == 0)
    seen.insert(std::string(buf + 8));
  free(buf);
  EXPECT_EQ(seen.size(), static_cast<size_t>(kProducers * kItems));
  muldrin_write_teardown(&m);
  orbclose(reader);
  orbclose(tag.orbw);
}

}  // namespace
