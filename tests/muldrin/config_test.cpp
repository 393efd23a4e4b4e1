// The configuration readout against the simulator: the blocks it stores, the channel
// table, the EP delays, the token areas and their names, the retry rules and the
// failures that must leave the stored configuration alone.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/arr.h"
#include "base/tbl.h"
#include "config_fixture.h"
#include "q330sim_config.h"
#include "q330sim_data.h"

namespace {

// Token area builder: version, net and station, logical channel queues, filler.
struct Area {
  std::vector<unsigned char> b;
  Area &version(int v) { return add({0x01, static_cast<unsigned char>(v)}); }
  Area &netsta(const char *net2, const char *sta5) {
    b.push_back(0x02);
    for (int i = 0; i < 2; i++) b.push_back(static_cast<unsigned char>(net2[i]));
    for (int i = 0; i < 5; i++) b.push_back(static_cast<unsigned char>(sta5[i]));
    return *this;
  }
  // loc (2), chan (3), lcqref, channel, stream, options (4), rate (2).
  Area &lcq(const char *chan3, int channel, int stream) {
    add({0x80, 15, ' ', ' '});
    for (int i = 0; i < 3; i++) b.push_back(static_cast<unsigned char>(chan3[i]));
    return add({1, static_cast<unsigned char>(channel), static_cast<unsigned char>(stream), 0, 0, 0,
                0, 0, 40});
  }
  Area &filler(size_t n) {
    b.insert(b.end(), n, 0);
    return *this;
  }
  Area &add(std::initializer_list<unsigned char> bytes) {
    b.insert(b.end(), bytes);
    return *this;
  }
};

const char *token_name(Q330 *q, int port, long i) {
  auto *c = static_cast<Qtpb14ChannelTokens *>(gettbl(q->config.dptokens[port - 1]->channels, i));
  return c ? c->q330_netstachanloc : "(none)";
}

// The simulator's own LOG layout against bytes laid out by hand from the layout table:
// the program's decoder is checked against it elsewhere, so neither can mirror the other.
TEST(ConfigReadout, SimulatorLogLayout) {
  Q330SimLog log{};
  log.logical_port_number = 0x0102;
  log.flags = 0x0304;
  log.window_size = 0x1112;
  log.data_sequence_number = 0x1314;
  log.channel_freqs[0] = 0x1516;
  log.channel_freqs[5] = 0x1F20;
  log.acknowledge_count = 0x2122;
  log.acknowledge_timeout = 0x2324;
  log.old_data_threshold_time = 0x25262728;
  log.manual_filters = 0x2F30;
  log.spare1 = 0x31323334;
  std::vector<unsigned char> want(52, 0);
  auto at = [&](size_t off, std::vector<unsigned char> bytes) {
    for (size_t i = 0; i < bytes.size(); i++) want[off + i] = bytes[i];
  };
  at(0, {0x01, 0x02});
  at(2, {0x03, 0x04});
  at(16, {0x11, 0x12});
  at(18, {0x13, 0x14});
  at(20, {0x15, 0x16});
  at(30, {0x1F, 0x20});
  at(32, {0x21, 0x22});
  at(34, {0x23, 0x24});
  at(36, {0x25, 0x26, 0x27, 0x28});
  at(46, {0x2F, 0x30});
  at(48, {0x31, 0x32, 0x33, 0x34});
  EXPECT_EQ(q330sim_log_encode(log), want);
  Q330SimLog back{};
  ASSERT_TRUE(q330sim_log_decode(want, &back));
  EXPECT_EQ(q330sim_log_encode(back), want);
  want.pop_back();
  EXPECT_FALSE(q330sim_log_decode(want, &back));
}

TEST(ConfigReadout, FullReadoutStoresEveryBlock) {
  ConfigRig rig;
  Q330SimConfig &sim = rig.sim.config();
  sim.log[0].channel_freqs[0] = 0x03;  // streams 0 and 1 of channel 0
  sim.log[0].channel_freqs[5] = 0x80;  // stream 7: rate byte 0 is 0 Hz, still a channel
  sim.epcfg = {{0x10, 0x01}};
  sim.epd = {{0x10, 2500}, {0x11, 77}};
  sim.token_segments = 3;
  // Data channels 0 (stream 0, produced), 1 (stream 1, not produced), a status channel
  // and a data channel with a stream outside the table.
  sim.tokens[0] = Area()
                      .version(3)
                      .netsta("ZZ", "OTHER")
                      .lcq("BHZ", 0xE0, 0)
                      .lcq("BHN", 0xE1, 1)
                      .lcq("VCO", 0x88, 0)
                      .lcq("BAD", 0xE0, 9)
                      .filler(5)
                      .b;
  rig.produce(0, 0, "XX", "STA", "BHZ", "10");
  static Q330StatusChan vco{};
  vco.output_wf_pdef = &rig.pdef;
  strcpy(vco.net, "XX");
  strcpy(vco.sta, "STA");
  strcpy(vco.chan, "VCO");
  rig.q->params.status_chan_arr = newarr(nullptr);
  setarr(rig.q->params.status_chan_arr, "data_vco", &vco);
  set_q330_str(&rig.q->params.dptokens_port_1, "qtpb14");
  rig.ep_channel(0x10, true);
  rig.ep_channel(0x12, true);  // not in C2_EPD

  ASSERT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  Q330DLConfig &c = rig.q->config;
  EXPECT_EQ(c.config_pkt.fix.total_number_of_reboots, 5u);
  EXPECT_EQ(c.config_pkt.glob.user_tag, 42u);
  EXPECT_EQ(c.config_pkt.sc.sensor_output_1_definition, 3u);
  // The data port's LOG tells where its stream stands.
  EXPECT_EQ(c.config_pkt.log.data_sequence_number,
            rig.sim.data().get_counters().data_sequence_number);
  EXPECT_EQ(rig.q->unit_nchannels, 6);
  ASSERT_EQ(rig.q->nchans, 3);
  EXPECT_EQ(rig.q->chan_defs[1].stream, 1);
  EXPECT_EQ(rig.q->chan_defs[1].samprate, 1.0);
  EXPECT_EQ(rig.q->chan_defs[2].physical, 5);
  EXPECT_EQ(c.phy.base_port, rig.sim.base_port());
  EXPECT_EQ(c.man.model_number, 330);
  EXPECT_EQ(c.rt.nentries, 1);
  EXPECT_EQ(c.rt.entries[0].seconds_since_heard, 7u);
  EXPECT_EQ(c.spp.maximum_main_current, 400);
  EXPECT_STREQ(c.gid.id_1_string, "q330sim");
  EXPECT_EQ(c.dcp.channel_counts_with_grounded_input[0], 11u);
  EXPECT_EQ(c.dev.unit_id, 9);
  EXPECT_EQ(c.c2_phy_0.physical_interface_number, 0);
  EXPECT_EQ(c.c2_phy_1.physical_interface_number, 1);
  EXPECT_EQ(c.c2_phy_3.physical_interface_number, 3);
  EXPECT_EQ(c.c2_gps.timing_mode, 1);
  EXPECT_EQ(c.c2_amass.maximum_tries_1, 3);
  EXPECT_EQ(c.c2_epcfg.channel_count, 1);
  // EP delays: found, and absent from C2_EPD (all bits set).
  EXPECT_EQ(rig.q->params.ep_channels[0x10]->filter_delay, 2500u);
  EXPECT_EQ(rig.q->params.ep_channels[0x12]->filter_delay, 0xFFFFFFFFu);
  // The token area came in three segments, joined in order.
  EXPECT_EQ(rig.sent(0x41), 3 + 4);
  const Qtpb14Tokens *t = c.dptokens[0];
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->version, 3);
  ASSERT_EQ(maxtbl(t->channels), 4);
  EXPECT_STREQ(token_name(rig.q, 1, 0), "XX_STA_BHZ_10");
  EXPECT_STREQ(token_name(rig.q, 1, 1), "-");
  EXPECT_STREQ(token_name(rig.q, 1, 2), "XX_STA_VCO");
  EXPECT_STREQ(token_name(rig.q, 1, 3), "-");
  EXPECT_TRUE(
      rig.logged("WARNING: DP1 TOKENS net_sta ZZ_OTHER different from muldrin net_sta "
                 "XX_STA for pchan0"));
  EXPECT_EQ(rig.q->need_config.load(), 0);
  EXPECT_GT(c.time, 0);
  freearr(rig.q->params.status_chan_arr, nullptr);
  rig.q->params.status_chan_arr = nullptr;

  // A second readout reads only the flags and EP blocks.
  rig.sim.config().total_number_of_reboots = 6;
  ASSERT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  EXPECT_EQ(c.config_pkt.fix.total_number_of_reboots, 6u);
  EXPECT_EQ(rig.sent(0x16), 1);
  EXPECT_EQ(rig.sent(0x41), 7);
  EXPECT_EQ(rig.sent(0x34), 2);
}

TEST(ConfigReadout, ThreeChannelUnit) {
  ConfigRig rig;
  rig.sim.config().qapchp_2_serial_number = 0;
  rig.sim.config().flags = 0;
  // A bit on channels 3-5 is not a channel of a three-channel unit.
  for (int ch = 0; ch < 6; ch++) rig.sim.config().log[0].channel_freqs[ch] = 0x01;
  rig.q->need_config = 0;
  ASSERT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  EXPECT_EQ(rig.q->unit_nchannels, 3);
  EXPECT_EQ(rig.q->nchans, 3);
  EXPECT_EQ(rig.sent(0x71), 0);  // no environmental processor, no EP blocks
}

TEST(ConfigReadout, FlagsRetries) {
  {  // maxretries_control 0: one request, the first time-out fails.
    ConfigRig rig;
    rig.q->params.maxretries_control = 0;
    rig.sim.add_fault({0x34, 0, Q330SIM_DROP, 0, 0});
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "q330_get_config_pvt: too many timeouts");
    EXPECT_EQ(rig.sent(0x34), 1);
    EXPECT_TRUE(rig.logged("ERROR: C1_RQFLGS error: q330_get_config_pvt: too many timeouts."));
  }
  {  // A stale reply is not answered by a new request, but it uses up a try.
    ConfigRig rig;
    rig.q->params.maxretries_control = 1;
    rig.sim.add_fault({0x34, 1, Q330SIM_STALEACK, 0, 1});
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "q330_get_config_pvt: too many timeouts");
    EXPECT_EQ(rig.sent(0x34), 1);
    EXPECT_TRUE(rig.logged("ERROR: Bad config acknowledgement"));
  }
  {  // Bad CRC, wrong command, then the block: within three tries.
    ConfigRig rig;
    rig.sim.add_fault({0x34, 1, Q330SIM_BADCRC, 0, 1});
    rig.sim.add_fault({0x34, 2, Q330SIM_WRONGCOMMAND, 0xA0, 1});
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    EXPECT_EQ(rig.sent(0x34), 3);
    EXPECT_TRUE(rig.logged("ERROR: Bad config CRC - retrying"));
    EXPECT_TRUE(rig.logged("ERROR: Wrong config response (0xa0) - retrying"));
  }
  {  // Unregistered: nothing is sent.
    ConfigRig rig;
    rig.q->state_registered = 0;
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "q330_get_config_pvt: Must register server first");
    EXPECT_EQ(rig.sent(0x34), 0);
  }
}

TEST(ConfigReadout, PendingShutdown) {
  {  // Within shutdown_timeout every receive logs the seconds left, and the readout goes on.
    ConfigRig rig;
    rig.q->need_config = 0;
    rig.q->state_acquisition = Q330_ACQ_SHUTDOWN;
    rig.q->request_shutdown_time = clock_now();
    rig.sim.add_fault({0x34, 1, Q330SIM_DROP, 0, 1});
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    EXPECT_EQ(rig.logged_count("Config shutdown breakout in"), 2);
  }
  {  // Past it, the first receive breaks the readout off.
    ConfigRig rig;
    rig.q->state_acquisition = Q330_ACQ_KILL;
    rig.q->params.shutdown_timeout = 5;
    rig.q->request_shutdown_time = clock_now() - 6;
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "q330_get_config_pvt: Config breakout due to thread kill");
    EXPECT_TRUE(rig.logged("Config breakout due to thread kill"));
    EXPECT_EQ(rig.sent(0x34), 1);
  }
}

TEST(ConfigReadout, FailuresKeepWhatWasStored) {
  ConfigRig rig;
  ASSERT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  const double first = rig.q->config.time;
  {  // Offsets past the flags block: refused, the stored block stays.
    std::lock_guard<std::mutex> lock(rig.sim.config().mutex);
    rig.sim.config().flgs_bad_offsets = true;
    rig.sim.config().total_number_of_reboots = 99;
  }
  EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
  EXPECT_STREQ(rig.error, "q330_get_config_pvt: Bad read packet from q330");
  EXPECT_EQ(rig.q->config.config_pkt.fix.total_number_of_reboots, 5u);
  EXPECT_EQ(rig.q->config.time, first);

  // C1_CERR for one block ends the readout there: the blocks before it are stored, the
  // block itself and those after it are not, and need_config stays set.
  rig.sim.config().flgs_bad_offsets = false;
  rig.q->need_config = 1;
  rig.q->config.dcp = {};
  rig.q->config.dev = {};
  rig.q->config.gid = {};
  rig.sim.add_fault({0x35, 0, Q330SIM_CERR, 1, 0});
  EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
  EXPECT_EQ(std::string(rig.error).rfind("ERROR: q330_exec_cmd_pvt(C1_RQDCP) error: C1_CERR: ", 0),
            0u)
      << rig.error;
  EXPECT_STREQ(rig.q->config.gid.id_1_string, "q330sim");
  EXPECT_EQ(rig.q->config.dcp.channel_counts_with_grounded_input[0], 0u);
  EXPECT_EQ(rig.q->config.dev.unit_id, 0);
  EXPECT_EQ(rig.q->need_config.load(), 1);
  EXPECT_EQ(rig.q->config.config_pkt.fix.total_number_of_reboots, 99u);
}

TEST(ConfigReadout, TokenAreas) {
  {  // need_rqmem alone, no port with tokens: only the four closing requests.
    ConfigRig rig;
    rig.q->need_config = 0;
    rig.q->need_rqmem = 1;
    ASSERT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    auto got = rig.sim.received();
    std::vector<int> types;
    for (const auto &d : got)
      if (d.command == 0x41) types.push_back(d.payload[6] << 8 | d.payload[7]);
    EXPECT_EQ(types, (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(rig.sent(0x16), 0);
    EXPECT_EQ(rig.q->need_rqmem.load(), 0);
  }
  {  // An area over 8192 bytes fails with the overflow line, on port 2.
    ConfigRig rig;
    rig.q->need_config = 0;
    rig.q->need_rqmem = 1;
    set_q330_str(&rig.q->params.dptokens_port_2, "qtpb14");
    rig.sim.config().tokens[1] = Area().version(1).filler(9000).b;
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_STREQ(rig.error, "ERROR: q330_read_tokens(DP2) error");
    EXPECT_TRUE(rig.logged("ERROR: Attempt to overflow token buffer (1000 > 192)."));
    EXPECT_EQ(rig.q->need_rqmem.load(), 1);
  }
  {  // No produced channel: nothing to compare the tokens' net and station with.
    ConfigRig rig;
    rig.q->need_config = 0;
    rig.q->need_rqmem = 1;
    set_q330_str(&rig.q->params.dptokens_port_1, "qtpb14");
    rig.sim.config().tokens[0] = Area().netsta("ZZ", "OTHER").lcq("BHZ", 0xE0, 0).b;
    ASSERT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    EXPECT_STREQ(token_name(rig.q, 1, 0), "-");
    EXPECT_FALSE(rig.logged("WARNING: DP1 TOKENS"));
  }
  {  // A segment holding no data is refused.
    ConfigRig rig;
    rig.q->need_config = 0;
    rig.q->need_rqmem = 1;
    set_q330_str(&rig.q->params.dptokens_port_1, "qtpb14");
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_TRUE(rig.logged("ERROR: Improper token buffer byte count (0)."));
  }
  {  // A failed closing request is logged, and the readout still succeeds.
    ConfigRig rig;
    rig.q->need_config = 0;
    rig.q->need_rqmem = 1;
    rig.sim.add_fault({0x41, 3, Q330SIM_CERR, 2, 1});
    EXPECT_EQ(q330_get_config_pvt(rig.q, rig.error, sizeof rig.error), 0);
    EXPECT_TRUE(rig.logged("ERROR: q330_exec_cmd_pvt(C1_RQMEM) error: C1_CERR: "));
    EXPECT_EQ(rig.sent(0x41), 4);
  }
}

}  // namespace
