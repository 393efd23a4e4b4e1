// Status channels in the writer, the status report, and stash packets.
#include "muldrin_status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/elog.h"
#include "base/pf.h"
#include "muldrin_stash.h"
#include "muldrin_status_fixture.h"
#include "packet/pkt.h"
#include "testkit/testkit.h"

namespace {

constexpr double T0 = 1500000000.0;

Q330DataStatus block(int index, std::vector<Q330DataStatusEntry> entries, double time = T0) {
  Q330DataStatus d{};
  d.time = time;
  d.index = index;
  d.n = static_cast<int>(entries.size());
  for (size_t i = 0; i < entries.size(); i++) d.entries[i] = entries[i];
  return d;
}
Q330DataStatusEntry entry(const void *def, int type, uint32_t value, double dvalue = 0) {
  Q330DataStatusEntry e{};
  e.stdef = def;
  e.type = type;
  e.value = value;
  e.dvalue = dvalue;
  return e;
}
// The part of a log line after "LOG: <time>: ".
std::string body(const std::string &line) {
  size_t p = line.find(": LOG: ");
  if (p == std::string::npos) return line;
  p = line.find(": ", p + 7);
  return p == std::string::npos ? line : line.substr(p + 2);
}

using DataStatusTest = StatusFixture;

TEST_F(DataStatusTest, RepeatedValuesGiveOneLogPacketAndTheChannelHoldsTheValue) {
  Q330StatusChan *volt = add_chan(q_, "data_sys_volt", true);
  add_chan(q_, "data_cal_error", false);
  auto d =
      block(7, {entry(data_def("data_sys_volt"), 2, 80), entry(data_def("data_cal_error"), 2, 5)});
  q330_write_datastatus(q_, &d);
  q330_write_datastatus(q_, &d);
  d.entries[0].value = 81;
  q330_write_datastatus(q_, &d);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(body(lines[0]), "data_sys_volt = 12.000 volt, data_cal_error = ch0 ch2");
  EXPECT_NE(lines[0].find(": TA: SIM1: LOG: 2017195 02:40:00: "), std::string::npos) << lines[0];
  EXPECT_EQ(body(lines[1]), "data_sys_volt = 12.150 volt, data_cal_error = ch0 ch2");
  EXPECT_EQ(volt->time, T0);
  EXPECT_EQ(volt->value, 81u);
  // One waveform sample per block, with the definition's interval and calib.
  ASSERT_EQ(g_puts.size(), 3u);
  EXPECT_EQ(g_puts[0].code, "TA_SIM1_VEP_");
  EXPECT_EQ(g_puts[0].dt, 10);
  EXPECT_EQ(g_puts[0].twin, 60);
  EXPECT_DOUBLE_EQ(g_puts[0].calib, 0.15);
  EXPECT_EQ(g_puts[0].calper, -1.0);
  EXPECT_EQ(g_puts[0].segtype, "v");
  EXPECT_EQ(g_puts[2].sample, 81);
}

TEST_F(DataStatusTest, InvalidEntriesZeroTheTimeAndWriteNothing) {
  Q330StatusChan *volt = add_chan(q_, "data_sys_volt", true);
  Q330StatusChan *thr = add_chan(q_, "q330_throttle", true);
  volt->time = thr->time = 1;
  auto d = block(
      1, {entry(data_def("data_sys_volt"), 3, 80), entry(prog_def("q330_throttle"), 3, 0, 500)});
  q330_write_datastatus(q_, &d);
  EXPECT_EQ(volt->time, 0);
  EXPECT_EQ(thr->time, 0);
  EXPECT_TRUE(g_puts.empty());
  EXPECT_TRUE(log_lines().empty());
}

TEST_F(DataStatusTest, ProgramEntriesAreReadAsProgramDefinitionsWhateverTheirValidityCode) {
  add_chan(q_, "q330_throttle", true);
  add_chan(q_, "q330_comm_eff", false);
  // A valid program entry may carry code 1 or 2; both are program records.
  auto d = block(2, {entry(prog_def("q330_throttle"), 2, 0, 1024.4),
                     entry(prog_def("q330_comm_eff"), 1, 0, 99.5)});
  q_->params.statusreport_interval = 0;
  q330_write_datastatus(q_, &d);
  EXPECT_TRUE(g_puts.empty());  // interval 0: logged, no waveform
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(body(lines[0]), "q330_throttle = 1024 bps, q330_comm_eff = 99.500 %");
  q_->params.statusreport_interval = 10;
  d.entries[0].dvalue = 2048.6;
  q330_write_datastatus(q_, &d);
  ASSERT_EQ(g_puts.size(), 1u);
  EXPECT_EQ(g_puts[0].dt, 10);
  EXPECT_EQ(g_puts[0].sample, 2049);
  EXPECT_EQ(g_puts[0].segtype, "b");
}

TEST_F(DataStatusTest, SamplingIntervalFromTheGlobRatesWord) {
  add_chan(q_, "data_batt_temp", true);           // interval -2: bits 0-1
  add_chan(q_, "data_status_port", true, "VST");  // interval -1: bits 8-9
  struct Row {
    uint16_t rates;
    std::vector<std::pair<std::string, double>> puts;
  } rows[] = {
      {0x0000, {}},
      {0x0001, {{"TA_SIM1_VEP_", 1.0}}},
      {0x0002, {{"TA_SIM1_VEP_", 10.0}}},
      {0x0003, {}},
      {0x0100, {{"TA_SIM1_VST_", 1.0}}},
      {0x0201, {{"TA_SIM1_VEP_", 1.0}, {"TA_SIM1_VST_", 10.0}}},
  };
  double t = T0;
  for (const Row &r : rows) {
    q_->config.config_pkt.glob.aux_stat_sampling_rates = r.rates;
    g_puts.clear();
    t += 1;
    auto d = block(3,
                   {entry(data_def("data_batt_temp"), 2, 0xFFFFFFFEu),
                    entry(data_def("data_status_port"), 2, 3)},
                   t);
    q330_write_datastatus(q_, &d);
    ASSERT_EQ(g_puts.size(), r.puts.size()) << r.rates;
    for (size_t i = 0; i < r.puts.size(); i++) {
      EXPECT_EQ(g_puts[i].code, r.puts[i].first);
      EXPECT_EQ(g_puts[i].dt, r.puts[i].second);
    }
  }
  EXPECT_EQ(body(log_lines().at(0)), "data_batt_temp = -2.000 C, data_status_port = 3");
}

TEST_F(DataStatusTest, SerialSensorsTakeTheEntrysIntervalDelayCalibAndSegmentType) {
  add_chan(q_, "data_serial_chan0", true);
  for (const char *seg : {"P", "K", "t"}) {
    g_puts.clear();
    auto e = entry(data_def("data_serial_chan0"), 2, 101325);
    e.dt = 1;
    e.delay = 0.25;
    e.calib = 0.001;
    snprintf(e.segtype, sizeof e.segtype, "%s", seg);
    auto d = block(4, {e});
    q330_write_datastatus(q_, &d);
    ASSERT_EQ(g_puts.size(), 1u) << seg;
    EXPECT_EQ(g_puts[0].segtype, seg);
    EXPECT_EQ(g_puts[0].dt, 1);
    EXPECT_EQ(g_puts[0].time, T0);
    EXPECT_EQ(g_puts[0].samptime, T0 - 0.25);
    EXPECT_EQ(g_puts[0].calib, 0.001);
  }
}

TEST_F(DataStatusTest, LinkOverlapsAreTrimmedAndUntimedBlocksDropped) {
  Q330StatusChan *volt = add_chan(q_, "data_sys_volt", true);
  q_->params.trim_link_overlaps = 1;
  volt->last_link_time = T0 + 100;
  auto d = block(5, {entry(data_def("data_sys_volt"), 2, 80)});
  q330_write_datastatus(q_, &d);
  EXPECT_TRUE(g_puts.empty());
  volt->last_link_time = T0 - 1;
  q330_write_datastatus(q_, &d);
  EXPECT_EQ(g_puts.size(), 1u);
  EXPECT_EQ(volt->first_output_time, T0);
  ElogCapture cap;
  auto none = block(5, {entry(data_def("data_sys_volt"), 2, 90)}, 0);
  q330_write_datastatus(q_, &none);
  EXPECT_TRUE(cap.contains("q330_write_datastatus: status with no time tag - dropped."));
  EXPECT_EQ(volt->value, 80u);
}

TEST_F(DataStatusTest, WriterTypeTwoStoresAndFreesTheBlock) {
  add_chan(q_, "data_sys_volt", false);
  auto d = block(6, {entry(data_def("data_sys_volt"), 2, 100)});
  ASSERT_EQ(myout_callback(q_, Q330_OUT_DATASTATUS, &d, sizeof d), 0);
  m_.kill = MULDRIN_KILL_STOP;
  run_write_thread(nullptr);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(body(lines[0]), "data_sys_volt = 15.000 volt");
}

// ---- Status report ----------------------------------------------------------------------

class StatusReportTest : public StatusFixture {
 protected:
  void SetUp() override {
    StatusFixture::SetUp();
    m_.version = const_cast<char *>("v1");
    m_.hostname = const_cast<char *>("host1");
    m_.statusreport_interval = 0;
    m_.statusreport_verbosity = 1;
  }
  std::string report(int partial) {
    char *t = muldrin_make_status(partial);
    std::string s = t != nullptr ? t : "";
    free(t);
    // rtm depends on the clock
    size_t p = s.find("rtm ");
    if (p != std::string::npos) s.replace(p, s.find('\n', p) - p, "rtm X");
    return s;
  }
};

TEST_F(StatusReportTest, PartialReportAtVerbosityOneHoldsOnlyTheRequestingDataloggers) {
  Q330 *q2 = add_session("SIM2", 2);
  q2->state_acquisition = Q330_ACQ_ACQUIRING;
  q2->pendingstatusrequest = 1;
  EXPECT_EQ(report(1),
            "target TA\nver v1\ntype dl\nmodel q330\nrtm X\ndls &Arr{\n"
            "SIM2 &Arr{\ncon yes\n}\n}\n");
  EXPECT_EQ(q2->pendingstatusrequest.load(), 0);
  // Nothing asked any more: no datalogger block.
  EXPECT_EQ(report(1).find("SIM2"), std::string::npos);
  m_.statusreport_verbosity = 2;
  q_->pendingstatusrequest = 1;
  std::string v2 = report(1);
  EXPECT_NE(v2.find("hostname host1\n"), std::string::npos);
  EXPECT_NE(v2.find("itvl 1\n"), std::string::npos);  // interval 0 prints 1
  EXPECT_NE(v2.find("SIM1 &Arr{\ncon stopped\ninp"), std::string::npos) << v2;
}

TEST_F(StatusReportTest, FullReportDetailLines) {
  Q330StatusChan *volt = add_chan(q_, "data_sys_volt", false);
  Q330StatusChan *gps = add_chan(q_, "data_gps", false);
  Q330StatusChan *thr = add_chan(q_, "q330_throttle", false);
  Q330StatusChan *eff = add_chan(q_, "q330_comm_eff", false);
  Q330StatusChan *cal = add_chan(q_, "data_cal_error", false);
  volt->time = gps->time = thr->time = eff->time = 1;
  volt->value = 80;
  gps->value = 5;
  thr->dvalue = -1.0;  // the definition's null value
  eff->dvalue = 99.25;
  cal->time = 0;
  q_->status.status_pkt_null = 1;
  q_->config.config_pkt.fix.kmi_property_tag = 4242;
  q_->epoch_2000 = 946684800;
  q_->config.config_pkt.fix.time_of_last_reboot = 100;
  std::string s = report(0);
  EXPECT_NE(s.find("pid "), std::string::npos);
  EXPECT_NE(s.find("pt 4242\n"), std::string::npos);
  EXPECT_NE(s.find("trb 946684900\n"), std::string::npos);
  EXPECT_NE(s.find("data_cal_error -\ndata_gps ona\ndata_sys_volt 12.000\n"
                   "q330_comm_eff 99.250\nq330_throttle -\n"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find("nrs -\ntrs -\nmeme -\nelev -\nlat -\nlon -\n}\n}\n"), std::string::npos) << s;
  // A fix is kept when the GPS reports -999 again.
  q_->status.status_pkt_null = 0;
  q_->status.status_pkt.gps.lat = 45.5;
  q_->status.status_pkt.gps.lon = -120.25;
  q_->status.status_pkt.gps.elev = 1500;
  q_->status.status_pkt.log[0].flags = 0x8000;
  q_->status.status_pkt.glob.total_number_of_resyncs = 3;
  report(0);
  q_->status.status_pkt.gps.lat = q_->status.status_pkt.gps.lon = q_->status.status_pkt.gps.elev =
      -999;
  s = report(0);
  EXPECT_NE(s.find("nrs 3\ntrs 946684800\nmeme 1\nelev 1.5000\nlat 45.500000\nlon -120.250000\n"),
            std::string::npos)
      << s;
}

TEST(StatusConword, EveryState) {
  const struct {
    Q330AcqState state;
    int first_data;
    const char *word;
  } rows[] = {
      {Q330_ACQ_STOPPED, 0, "con stopped"},
      {Q330_ACQ_WAITING, 0, "con waiting"},
      {Q330_ACQ_HIBERNATING, 0, "con hibernating"},
      {Q330_ACQ_SLEEPING, 0, "con sleeping"},
      {Q330_ACQ_REGISTER, 0, "con reg"},
      {Q330_ACQ_OPEN_DATA, 0, "con su"},
      {Q330_ACQ_ACQUIRING, 0, "con yes"},
      {Q330_ACQ_ACQUIRING, 1, "con su"},  // acquiring, but no data yet
      {Q330_ACQ_SHUTDOWN, 0, "con su"},
      {Q330_ACQ_RESTART_LINK, 0, "con su"},
      {Q330_ACQ_RESTART_DATA, 0, "con su"},
      {Q330_ACQ_KILL, 0, "con stopped"},
      {static_cast<Q330AcqState>(11), 0, "con no"},  // no state of the machine
  };
  for (const auto &r : rows)
    EXPECT_STREQ(muldrin_status_conword(r.state, r.first_data), r.word) << r.state;
}

TEST_F(StatusReportTest, StatusThreadSendsAFinalReportWhenFlushed) {
  m_.flushstatus = 1;
  ASSERT_EQ(muldrin_status_start(&m_), 0);
  muldrin_status_join(&m_);
  auto items = drain_queue();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].first, Q330_OUT_STATUS);
  EXPECT_NE(items[0].second.find("SIM1"), std::string::npos);
}

// ---- Stash packets -----------------------------------------------------------------------

class StashTest : public StatusFixture {
 protected:
  void TearDown() override {
    muldrin_stash_reset();
    StatusFixture::TearDown();
  }
  // Data channel 0 of rate slot 0 with the packet definition.
  Q330Chan *data_chan(const char *loc) {
    Q330Chan &c = q_->params.data_chan[0][0];
    c.outputthischan = 1;
    c.user_data = &pdef_;
    snprintf(c.channel_name, sizeof c.channel_name, "data0:0");
    snprintf(c.net, sizeof c.net, "TA");
    snprintf(c.sta, sizeof c.sta, "SIM1");
    snprintf(c.chan, sizeof c.chan, "BHZ");
    snprintf(c.loc, sizeof c.loc, "%s", loc);
    return &c;
  }
  std::string stash_text(const RingPacket &p) {
    Packet *pkt = nullptr;
    int kind = unstuffPkt(p.srcname.c_str(), p.time, p.bytes.data(),
                          static_cast<int>(p.bytes.size()), &pkt);
    std::string s = kind >= 0 && pkt->string != nullptr ? pkt->string : "";
    freePkt(pkt);
    return s;
  }
};

TEST_F(StashTest, DataloggerStashListsChannelsWithTheirWaveformSourceNames) {
  data_chan("");
  add_chan(q_, "data_sys_volt", true);
  q_->pendingstashrequest = 1;
  ASSERT_EQ(q330_make_orbstash(q_), 0);
  EXPECT_EQ(q_->pendingstashrequest, 0);
  auto got = reap();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].srcname, "TA_SIM1/log");
  EXPECT_EQ(stash_text(got[0]),
            "model q330\nsn 0100000000000ABC\nchannels &Tbl{\n"
            "TA_SIM1_BHZ data0:0 ring1 TA_SIM1_BHZ/GENC\n"
            "TA_SIM1_VEP data_sys_volt ring1 TA_SIM1_VEP/GENC\n}\n");
}

TEST_F(StashTest, SourceNamesAreComputedOnceAndCarryTheSubcode) {
  snprintf(pdef_.subcode, sizeof pdef_.subcode, "mgenc60");
  Q330Chan *c = data_chan("00");
  std::string first = muldrin_dl_stash_text(q_);
  EXPECT_STREQ(c->srcname, "TA_SIM1_BHZ_00/GENC/mgenc60");
  EXPECT_NE(first.find("TA_SIM1_BHZ_00 data0:0 ring1 TA_SIM1_BHZ_00/GENC/mgenc60\n"),
            std::string::npos)
      << first;
  snprintf(c->chan, sizeof c->chan, "BHN");
  muldrin_dl_stash_text(q_);
  EXPECT_STREQ(c->srcname, "TA_SIM1_BHZ_00/GENC/mgenc60");
  // The waveform writer's packet is left as it was.
  EXPECT_EQ(pdef_.pkt->nchannels, 0);
}

TEST_F(StashTest, RequestsFlagsAndOrbtags) {
  q_->pendingstashrequest = 1;
  m_.pendingstashrequest = 1;
  m_.nowritestash = 1;  // -nostash: never, whatever the flags
  q330_make_orbstash(q_);
  q330_make_orbstash(nullptr);
  EXPECT_TRUE(reap().empty());
  m_.nowritestash = 0;
  m_.status = nullptr;  // no status orbtag: the program request stays pending
  q330_make_orbstash(nullptr);
  EXPECT_EQ(m_.pendingstashrequest.load(), 1);
  m_.log = nullptr;
  q330_make_orbstash(q_);
  EXPECT_EQ(q_->pendingstashrequest, 1);
  EXPECT_TRUE(reap().empty());
  // Through the writer: a datalogger's log line brings its stash first.
  m_.log = &tag_;
  q330_write(q_, Q330_OUT_LOG, strdup("hello"), 0);
  auto got = reap();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(stash_text(got[0]).rfind("model q330\n", 0), 0u);
  EXPECT_EQ(got[1].bytes.substr(8, 5), "hello");
}

TEST_F(StashTest, ProgramStashWithUnreachableDatabaseComplainsOnce) {
  m_.commandline = const_cast<char *>("muldrin -pf x TA");
  ASSERT_EQ(pfcompile("a 1\nb &Tbl{\nx\n}\n", &m_.pf), 0);
  m_.dbname_calib = const_cast<char *>("/nonexistent/dir/db");
  m_.pendingstashrequest = 1;
  ElogCapture cap;
  q330_make_orbstash(nullptr);
  m_.pendingstashrequest = 1;
  q330_write(nullptr, Q330_OUT_STATUS, nullptr, 0);
  auto got = reap();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].srcname, "TA/pf/st");
  std::string text = stash_text(got[0]);
  EXPECT_EQ(text.rfind("commandline &Literal{\nmuldrin -pf x TA}\nmuldrin.pf &Arr{\n", 0), 0u)
      << text;
  EXPECT_EQ(text.find("dlsite"), std::string::npos);
  std::string all = cap.text();
  size_t first = all.find("unable to open /nonexistent/dir/db for stash srcname TA/pf/st");
  EXPECT_NE(first, std::string::npos) << all;
  EXPECT_EQ(all.find("unable to open", first + 1), std::string::npos) << all;
  pffree(m_.pf);
  m_.pf = nullptr;
}

}  // namespace

// The longest report (every datalogger at full detail, with status channels) fits the
// status thread's stack, with room to spare.
TEST_F(StatusReportTest, LongestReportFitsTheStatusThreadStack) {
  m_.statusreport_verbosity = 2;
  for (int i = 2; i <= 20; i++) {
    Q330 *q = add_session(("SIM" + std::to_string(i)).c_str(), i);
    q->state_acquisition = Q330_ACQ_ACQUIRING;
    for (const char *name : {"data_sys_volt", "data_gps", "q330_throttle", "q330_comm_eff"})
      add_chan(q, name, false)->time = 1;
  }
  std::string s;
  long peak = run_on_thread_stack(THREAD_STATUS, [&] { s = report(0); });
  EXPECT_NE(s.find("SIM20"), std::string::npos);
  ASSERT_GT(peak, 0);
  EXPECT_LT((size_t)peak, threadstart_stack_size(THREAD_STATUS) / 2);
}
