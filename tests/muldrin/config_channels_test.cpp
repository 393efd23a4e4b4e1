// Data-port channel set-up against the simulator: what is sent (C1_SLOG, C2_SEPCFG, the
// second readout) for a model and parameters, and what the datalogger holds afterwards.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "base/pf.h"
#include "config_fixture.h"

namespace {

Pf *pf_of(const char *text) {
  Pf *pf = nullptr;
  EXPECT_EQ(pfcompile(text, &pf), 0) << text;
  return pf;
}

struct Row {
  const char *name;
  int logical;
  std::function<void(ConfigRig &)> before;  // model and parameters
  const char *pf;                           // none: the automatic form
  int result;
  int slog, sepcfg, readouts;  // requests the simulator got
  std::function<void(ConfigRig &)> after;
};

// Parameters that leave every LOG field alone.
void no_log_params(Q330DLParams &p) {
  p.log_flags = p.log_mtu = p.log_group_count = p.log_maximum_resend_timeout = -1;
  p.log_group_timeout = p.log_minimum_resend_timeout = p.log_window_size = -1;
  p.log_acknowledge_count = p.log_acknowledge_timeout = -1;
}

const Q330SimLog &sim_log(ConfigRig &rig, int logical) { return rig.sim.config().log[logical - 1]; }

TEST(ConfigChannels, Table) {
  const std::vector<Row> rows = {
      {"nothing differs", 1,
       [](ConfigRig &r) {
         r.sim.config().log[0].channel_freqs[0] = 0x01;
         r.produce(0, 0);
       },
       nullptr, 0, 0, 0, 1, [](ConfigRig &r) { EXPECT_TRUE(r.logged("EP Configuration ok...")); }},
      {"channel mask only", 1,
       [](ConfigRig &r) {
         r.sim.config().log[0].channel_freqs[0] = 0x01;
         r.sim.config().log[0].channel_freqs[2] = 0x04;
         r.produce(1, 0);
         r.produce(0, 0);
       },
       nullptr, 1, 1, 0, 2,
       [](ConfigRig &r) {
         const Q330SimLog &l = sim_log(r, 1);
         EXPECT_EQ(l.channel_freqs[0], 0x03);
         EXPECT_EQ(l.channel_freqs[2], 0);
         EXPECT_EQ(l.window_size, 64);
         EXPECT_TRUE(r.logged("Reconfiguring channel-stream mask to 0x03 0x00 0x00"));
         EXPECT_TRUE(r.logged("Reconfiguration successful."));
         // The stored block is the datalogger's after the second readout.
         EXPECT_EQ(r.q->config.config_pkt.log.channel_freqs[0], 0x03);
         EXPECT_EQ(r.q->nchans, 2);
       }},
      {"LOG fields; -1 leaves a field alone; bit 0x04 cleared", 1,
       [](ConfigRig &r) {
         r.q->params.log_window_size = 32;
         r.q->params.log_mtu = 576;
         r.sim.config().log[0].flags = 0x04;
       },
       nullptr, 1, 1, 0, 2,
       [](ConfigRig &r) {
         const Q330SimLog &l = sim_log(r, 1);
         EXPECT_EQ(l.window_size, 32);
         EXPECT_EQ(l.acknowledge_count, 5);
         EXPECT_EQ(l.flags, 0);
         EXPECT_TRUE(r.logged("Reconfiguring LOG window_size value to 32..."));
         EXPECT_TRUE(r.logged("LOG mtu ok..."));
         EXPECT_FALSE(r.logged("LOG acknowledge_count"));
       }},
      {"flag 0x20: the mask applies, throttle and LOG fields do not", 1,
       [](ConfigRig &r) {
         r.sim.config().log[0].flags = 0x20;
         r.q->params.log_window_size = 32;
       },
       "cfg_channels &Tbl{\n0 1 1\n9 1 1\nnot a line\n}\nthrottle 1000\n", 1, 1, 0, 2,
       [](ConfigRig &r) {
         const Q330SimLog &l = sim_log(r, 1);
         EXPECT_EQ(l.channel_freqs[0], 0x02);
         EXPECT_EQ(l.window_size, 64);
         EXPECT_EQ(l.ethernet_throttle, 0);
         EXPECT_EQ(l.flags, 0x20);
         EXPECT_TRUE(r.logged("C1_LOG configuration disabled due to flags bit"));
       }},
      {"throttle only leaves the mask", 1,
       [](ConfigRig &r) { r.sim.config().log[0].channel_freqs[1] = 0x05; }, "throttle 10000\n", 1,
       1, 0, 2,
       [](ConfigRig &r) {
         const Q330SimLog &l = sim_log(r, 1);
         EXPECT_EQ(l.ethernet_throttle, 1024);
         EXPECT_EQ(l.channel_freqs[1], 0x05);
         EXPECT_TRUE(r.logged("Reconfiguring ethernet throttle value to 10000..."));
       }},
      {"EP channel appended with this port's bit", 2,
       [](ConfigRig &r) {
         r.sim.config().epcfg = {{0x03, 0x01}};
         r.ep_channel(0x05, true);
       },
       nullptr, 1, 0, 1, 2,
       [](ConfigRig &r) {
         using E = std::vector<std::pair<uint8_t, uint8_t>>;
         EXPECT_EQ(r.sim.config().epcfg, (E{{0x03, 0x01}, {0x05, 0x02}}));
         EXPECT_TRUE(r.logged("Adding EP channel 5"));
         EXPECT_TRUE(r.logged("EP channel 5 output_mask changed from 0 to 2"));
       }},
      {"EP channel no longer wanted loses only this port's bit", 2,
       [](ConfigRig &r) {
         r.sim.config().epcfg = {{0x05, 0x07}};
         r.ep_channel(0x05, false);
       },
       nullptr, 1, 0, 1, 2,
       [](ConfigRig &r) {
         using E = std::vector<std::pair<uint8_t, uint8_t>>;
         EXPECT_EQ(r.sim.config().epcfg, (E{{0x05, 0x05}}));
       }},
      {"no environmental processor: no C2_SEPCFG", 1,
       [](ConfigRig &r) {
         r.sim.config().flags = 0;
         r.ep_channel(0x05, true);
       },
       nullptr, 1, 0, 0, 2,
       [](ConfigRig &r) { EXPECT_TRUE(r.logged("EP Configuration change not possible...")); }},
      {"packet memory 0 fails before anything is sent", 1,
       [](ConfigRig &r) {
         r.sim.config().packet_memory_size[0] = 0;
         r.produce(0, 0);
       },
       nullptr, -1, 0, 0, 1,
       [](ConfigRig &r) {
         EXPECT_TRUE(r.logged("ERROR: Data port 1 disabled...cannot open data port"));
       }},
  };
  for (const Row &row : rows) {
    SCOPED_TRACE(row.name);
    ConfigRig rig(row.logical);
    rig.q->need_config = 0;
    no_log_params(rig.q->params);
    row.before(rig);
    Pf *pf = row.pf ? pf_of(row.pf) : nullptr;
    EXPECT_EQ(q330_cfg_channels_pvt(rig.q, pf, rig.error, sizeof rig.error), row.result)
        << rig.error;
    pffree(pf);
    EXPECT_EQ(rig.sent(0x17), row.slog);
    EXPECT_EQ(rig.sent(0x72), row.sepcfg);
    EXPECT_EQ(rig.sent(0x34), row.readouts);
    row.after(rig);
  }
}

TEST(ConfigChannels, RefusedParameterObjects) {
  struct Case {
    const char *pf;
    const char *error;
  } cases[] = {
      {"other 1\n", "q330_cfg_channels_pvt: Nothing to configure"},
      {"throttle abc\n", "q330_cfg_channels_pvt: parse_param(throttle) error"},
      {"throttle 5\n", "q330_cfg_channels_pvt: Illegal throttle 5"},
      {"cfg_channels &Arr{\na 1\n}\n", "q330_cfg_channels_pvt: parse_param(cfg_channels) error"},
  };
  ConfigRig rig;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.pf);
    Pf *pf = pf_of(c.pf);
    EXPECT_EQ(q330_cfg_channels_pvt(rig.q, pf, rig.error, sizeof rig.error), -1);
    pffree(pf);
    EXPECT_STREQ(rig.error, c.error);
  }
  EXPECT_EQ(rig.sent(0x34), 0);
  rig.q->state_registered = 0;
  EXPECT_EQ(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), -1);
  EXPECT_STREQ(rig.error, "q330_cfg_channels_pvt: Must register server first");
}

double reboot_events(Q330 *q) {
  double time = clock_now() + 1, twin = 86400, sum = 0, ave = 0;
  taverage_get(q->status.ta_nreboots_24h, &time, &twin, &sum, &ave);
  return sum;
}

TEST(ConfigChannels, RebootEvents) {
  ConfigRig rig;
  rig.q->need_config = 0;
  // First set-up: the count becomes known, no events.
  ASSERT_GE(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), 0) << rig.error;
  EXPECT_EQ(rig.q->status.nreboots, 5);
  EXPECT_EQ(reboot_events(rig.q), 0);
  // Three reboots later: three events.
  rig.sim.config().total_number_of_reboots = 8;
  ASSERT_GE(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), 0) << rig.error;
  EXPECT_EQ(rig.q->status.nreboots, 8);
  EXPECT_EQ(reboot_events(rig.q), 3);
  // A count that went backwards, or jumped too far: none, and the count is taken over.
  for (uint32_t total : {2u, 5000u}) {
    rig.sim.config().total_number_of_reboots = total;
    ASSERT_GE(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), 0) << rig.error;
    EXPECT_EQ(rig.q->status.nreboots, static_cast<int>(total));
    EXPECT_EQ(reboot_events(rig.q), 3);
  }
  EXPECT_EQ(rig.logged_count("Reboot count was reset"), 2);
}

TEST(ConfigChannels, FailedSettingReadsTheConfigurationAgain) {
  {  // C1_SLOG refused every time: the stored LOG is the datalogger's, not the wanted one.
    ConfigRig rig;
    rig.q->need_config = 0;
    no_log_params(rig.q->params);
    rig.q->params.log_window_size = 32;
    rig.q->params.maxretries_control = 1;
    rig.sim.config().cerr_command = 0x17;
    rig.sim.config().cerr_code = 4;
    EXPECT_EQ(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "q330_cfg_channels_pvt: too many Q330 errors");
    EXPECT_EQ(rig.sent(0x17), 2);
    EXPECT_EQ(rig.sent(0x34), 2);
    EXPECT_EQ(rig.q->config.config_pkt.log.window_size, 64);
    EXPECT_TRUE(rig.logged("q330_cfg_channels_pvt: Q330 ERROR: 4."));
    EXPECT_TRUE(rig.logged("ERROR: Q330 error - retrying"));
  }
  {  // C2_SEPCFG never answered, and the readout after it fails too: the stored EP
     // configuration is still the datalogger's.
    ConfigRig rig;
    rig.q->need_config = 0;
    no_log_params(rig.q->params);
    rig.q->params.maxretries_control = 0;
    rig.ep_channel(0x05, true);
    rig.sim.add_fault({0x72, 0, Q330SIM_DROP, 0, 0});
    rig.sim.add_fault({0x34, 2, Q330SIM_DROP, 0, 1});
    EXPECT_EQ(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "q330_cfg_channels_pvt: too many timeouts");
    EXPECT_EQ(rig.q->config.c2_epcfg.channel_count, 0);
    EXPECT_TRUE(rig.logged("ERROR: configuration not read again"));
  }
  {  // A stale acknowledgement: received again without a new request, then a time-out
     // and the request again.
    ConfigRig rig;
    rig.q->need_config = 0;
    no_log_params(rig.q->params);
    rig.q->params.log_window_size = 32;
    rig.sim.add_fault({0x17, 1, Q330SIM_STALEACK, 0, 1});
    EXPECT_EQ(q330_cfg_channels_pvt(rig.q, nullptr, rig.error, sizeof rig.error), 1) << rig.error;
    EXPECT_EQ(rig.sent(0x17), 2);
    EXPECT_TRUE(rig.logged("ERROR: Bad acknowledgment"));
    EXPECT_EQ(rig.q->config.config_pkt.log.window_size, 32);
  }
}

}  // namespace
