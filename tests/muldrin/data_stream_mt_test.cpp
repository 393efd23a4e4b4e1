// Whole data streams from the simulator under loss, reordering, duplicates and bad CRCs in
// both directions, odd payloads, an undecodable packet and a busy consumer: every
// one-second record reaches the callback once, in order, across the sequence wrap, and
// equals the simulator's sample generator.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "data_fixture.h"
#include "q330_data.h"
#include "q330_qdp.h"
#include "q330pkt.h"
#include "q330sim.h"
#include "q330sim_data.h"
#include "testkit/testkit.h"

namespace {

uint32_t be32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// ---- Whole streams from the simulator ---------------------------------------------------

struct StreamCase {
  const char *what;
  double loss;
  int window, ack_count;
  bool base96;
  std::vector<std::pair<int, int>> odd;
  std::vector<int> garbage;
  int busy = 0;         // busy answers the consumer gives first
  int stall_opens = 0;  // the simulator sends nothing until this many DT_OPENs came
};

void run_stream(const StreamCase &c) {
  SCOPED_TRACE(c.what);
  ClockScale fast(0.05);
  Q330SimOptions o;
  Q330Sim sim(o);
  Q330SimDataKnobs k;
  k.seed = 1234;
  k.window_size = c.window;
  k.acknowledge_count = c.ack_count;
  k.acknowledge_timeout = 2;
  k.data_sequence_number = 65500;
  k.first_record = 700000;
  const int records = 24;
  k.records = records + 1;  // the last record goes out when the next time tag arrives
  k.resend_timeout = 1.0;
  k.base96 = c.base96;
  k.send = {c.loss, c.loss, c.loss, c.loss / 2};
  k.recv = {c.loss, c.loss, c.loss, c.loss / 2};
  k.odd_payloads = c.odd;
  k.garbage_after = c.garbage;
  k.stall = c.stall_opens > 0;
  sim.data().set_knobs(k);
  ASSERT_EQ(sim.start(), 0);
  std::thread release([&] {
    if (c.stall_opens == 0) return;
    sim.wait_count(Q330_DT_OPEN, c.stall_opens, 600);
    Q330SimDataKnobs go = sim.data().get_knobs();
    go.stall = false;
    sim.data().set_knobs(go);
  });

  Records out;
  out.rec.busy = c.busy;
  Q330 *q = q330_create(Records::callback, nullptr);
  q->user_data = &out;
  set_q330_str(&q->params.q330_ipaddress, "127.0.0.1");
  set_q330_str(&q->params.local_ipaddr, "127.0.0.1");
  set_q330_str(&q->target_name, "tgt");
  set_q330_str(&q->params.dlname, "XX_STA");
  q->params.q330_port_base = sim.base_port();
  q->params.q330_port_logical = o.logical;
  q->params.udp_packetcache_size_data = 16;
  q->params.timeout_data = 120;
  q->params.throttle_q330 = -1;
  q->unit_nchannels = 6;
  q->state_registered = 1;
  ASSERT_EQ(set_q330_hostport(q), 0);
  {
    // What the configuration readout would leave: the simulator's LOG and FIX values.
    StubControl control(q, [&](const std::string &cmd) {
      if (cmd == "cfg_channels_auto") {
        Q330SimDataKnobs now = sim.data().get_knobs();
        Q330LOGPkt &log = q->config.config_pkt.log;
        log.window_size = static_cast<uint16_t>(now.window_size);
        log.data_sequence_number = sim.data().get_counters().data_sequence_number;
        log.acknowledge_count = static_cast<uint16_t>(now.acknowledge_count);
        log.acknowledge_timeout = static_cast<uint16_t>(now.acknowledge_timeout);
        log.flags = now.base96 ? 0x4000 : 0;
        for (int i = 0; i < 8; i++)
          q->config.config_pkt.fix.bit_frequency[i] = q330sim_data_rate_codes[i];
      }
      return std::string("OK");
    });
    char error[256] = "";
    int open = q330_open_data(q, error, sizeof error);
    EXPECT_EQ(open, 0) << error;
    // Until every record is in, or the simulator has idled (filled) for 30 s after its last.
    // No read may give up: the stream never stops for as long as timeout_data.
    int reads = 0;
    while (open == 0 && out.records.size() < static_cast<size_t>(records) && reads < 20000 &&
           sim.data().get_counters().fills < 30) {
      int rc = q330_read_data(q, error, sizeof error);
      reads++;
      if (rc != 0) {
        ADD_FAILURE() << "q330_read_data: " << rc << " " << error;
        break;
      }
    }
    EXPECT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  }
  release.join();
  sim.stop();
  Q330SimDataCounters counters = sim.data().get_counters();

  ASSERT_GE(out.records.size(), static_cast<size_t>(records));
  for (size_t r = 0; r < static_cast<size_t>(records); r++) {
    const auto &rec = out.records[r];
    const uint32_t record = 700000 + static_cast<uint32_t>(r);
    ASSERT_EQ(be32(&rec[12]), record) << r;
    std::map<int, RecordEntry> by_channel;
    for (const RecordEntry &e : record_entries(rec)) {
      ASSERT_EQ(by_channel.count(e.channel), 0u) << "channel " << e.channel << " twice in " << r;
      by_channel[e.channel] = e;
    }
    ASSERT_EQ(by_channel.size(), 4u) << r;
    EXPECT_EQ(by_channel[2].value, q330sim_sample(1234, 2, record));
    for (const Q330SimDataChannel &ch : q330sim_data_channels) {
      const RecordEntry &e = by_channel[ch.channel];
      EXPECT_EQ(e.stream, ch.stream);
      std::vector<int> want;
      for (int i = 0; i < ch.rate; i++)
        want.push_back(
            q330sim_sample(1234, ch.channel, static_cast<int64_t>(record) * ch.rate + i));
      EXPECT_EQ(e.samples, want) << "record " << r << " channel " << ch.channel;
    }
  }
  if (c.loss > 0) {
    EXPECT_GT(counters.total_packets_resent, 0);
  }
  EXPECT_GT(counters.packets_sent, 36);  // the sequence wrapped after 65535
  EXPECT_EQ(q->npkts_undecodable, static_cast<int>(c.garbage.size()));
  udp_free(q->udp_data);
  udp_free(q->udp_control);
  free(q->q330_hostport_control);
  free(q->q330_hostport_data);
  free(q->params.q330_ipaddress);
  free(q->params.local_ipaddr);
  free(q->params.q330_com);
  free_session(q);
}

TEST(DataStream, EveryRecordOnceInOrderUnderFaults) {
  const StreamCase cases[] = {
      {"5% loss, window 1", 0.05, 1, 1, false, {}, {}},
      {"10% loss, window 8, base-96", 0.10, 8, 4, true, {}, {}},
      {"20% loss, window 128", 0.20, 128, 16, false, {}, {}},
      {"odd payloads, an undecodable packet, a busy consumer",
       0.0,
       8,
       4,
       false,
       {{3, 2}, {6, 721}, {8, 0}},
       {5},
       40},
      {"a stalled datalogger gets DT_OPEN again", 0.0, 8, 4, false, {}, {}, 0, 2},
  };
  for (const StreamCase &c : cases) run_stream(c);
}

}  // namespace
