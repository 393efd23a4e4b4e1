// The configuration blocks read by another thread (as the command handler reads them,
// under config_mutex) while readouts store them: run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "config_fixture.h"

namespace {

TEST(ConfigConcurrency, ReaderDuringReadouts) {
  ConfigRig rig;
  rig.q->params.timeout_control = 5;  // slow under the sanitizer; nothing is dropped here
  rig.ep_channel(0x10, true);
  {
    std::lock_guard<std::mutex> lock(rig.sim.config().mutex);
    rig.sim.config().epd = {{0x10, 250}};
  }
  std::atomic<bool> done{false};
  std::atomic<long> reads{0};
  std::thread reader([&] {
    uint64_t sum = 0;
    while (!done) {
      std::lock_guard<std::mutex> lock(rig.q->config.config_mutex);
      const Q330DLConfig &c = rig.q->config;
      sum += c.config_pkt.fix.total_number_of_reboots + c.phy.base_port + c.man.model_number +
             c.c2_phy_3.physical_interface_number + c.c2_epcfg.channel_count +
             c.gid.id_1_string[0] + static_cast<uint64_t>(rig.q->nchans) +
             rig.q->params.ep_channels[0x10]->filter_delay;
      if (c.time > 0) reads++;
      std::this_thread::yield();
    }
    EXPECT_GT(sum, 0u);
  });
  for (int i = 0; i < 3; i++) {
    rig.q->need_config = 1;
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  }
  // Let the reader see a finished readout before it stops.
  while (reads == 0) std::this_thread::yield();
  done = true;
  reader.join();
  EXPECT_EQ(rig.sent(0x16), 3);
}

}  // namespace
