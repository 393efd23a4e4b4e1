// Tests of muldrin's parameter file: parse_pf over whole files, parse_dlparams and the
// channel-map parsers over compiled blocks, and deep copies of the parameters.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "parse_pf_fixture.h"
#include "testkit/testkit.h"

namespace {

// Every key the defaults require, two packet definitions and one datalogger. Tests append
// lines: a later key replaces an earlier one.
const char kBase[] = R"(pf_revision_time 1700000000
pfstatusreport_interval 60
pfstatusreport_verbosity 1
local_port_base 5000
cmd_orbtag cmd
log_orbtag none
packet_defs &Arr{
  genc &Arr{
    data_orbtag data
    twin 1
    multiplexed no
    suffix GENC
  }
  mgenc &Arr{
    data_orbtag data
    twin 60
    multiplexed yes
    suffix MGENC
    subcode raw
  }
  lost &Arr{
    data_orbtag nowhere
    twin 1
    multiplexed 0
    suffix GENC
  }
}
q330_port_base 5330
local_port_control auto_fixed
local_port_data auto_fixed
maxretries_control 5
maxretries_register 10
udp_packetcache_size_data 100
udp_packetcache_size_control 100
datarate_interval 60
commeff_interval 3600
thruput_interval 3600
statusrequest_interval 10
statusreport_interval 60
timeout_control 2
timeout_data 10
control_inactivity_timeout 60
register_retry_sleep 10
user_message_level 1
verbose_log 0
debug_data 0
debug_control 0
debug_udp 0
throttle 0
massrecenter_duration 1
massrecenter_sensors AB
masslockunlock_duration 1
masslockunlock_sensors AB
calibration_duration 60
calibration_amplitude 1
calibration_settling_time 10
calibration_trailer_time 10
calibration_period 1
calibration_waveform sine
calibration_sensors 1
calibration_monitor_channels 4
calibration_capacitive no
shutdown_timeout 60
shutdown_buffer_thresh 0
shutdown_buffer_wait 0
flush_buffer_thresh 0
flush_buffer_age 0
trim_link_overlaps yes
inactivity_timeout 300
q330_authentication_code 0123456789abcdef
pchan_map &Arr{
  0 $DLNET_$DLSTA_BHZ 1.5 1.0 V
  1 $DLNET_$DLSTA_BHN 1.5 1.0 V
}
rate_mask &Arr{
  0 HH.
  1 LH. 10
}
acq_matrix &Tbl{
  genc mgenc 0 0 0 0 0 0
  genc mgenc 0 0 0 0 0 0
}
status_map &Arr{
  data_sys_volt volt $DLNET_$DLSTA_VEP
  q330_drate_tot drate
}
status_disposition &Arr{
  data_sys_volt 0 1 genc
  q330_drate_tot 1 1 0
}
ep_map &Arr{
  ep_pressure 10 press XX_$PROPTG_LDO_EP 1 K 1.0 1.0
}
ep_disposition &Arr{
  ep_pressure 1 genc
}
datalogger_templates &Arr{
  quiet &Arr{
    debug_udp 1
  }
}
dataloggers &Tbl{
  DL1 TA STA1 0100000000000abc 127.0.0.1 1 default startacq
}
pocds &Tbl{
}
)";

struct Parsed {
  TempDir dir;
  MuldrinFixture fx;
  int rc;
  std::string log;
  explicit Parsed(const std::string &extra, bool with_calib = false) {
    if (with_calib) fx.m.dbname_calib = strdup("calib");
    std::string path = dir.write("muldrin.pf", std::string(kBase) + extra);
    take_registered();
    rc = parse_pf(path.c_str(), nullptr, &fx.m);
    log = take_registered();
  }
  Q330 *dl(const char *name) { return static_cast<Q330 *>(getarr(fx.m.q330s_arr, name)); }
  PacketDef *def(const char *name) {
    return static_cast<PacketDef *>(getarr(fx.m.packet_defs, name));
  }
};

TEST(ParsePf, BaseFileFillsTheProgramRecordAndOneSession) {
  Parsed p("");
  ASSERT_EQ(p.rc, 0) << p.log;
  Muldrin &m = p.fx.m;
  EXPECT_EQ(m.statusreport_interval, 60);
  EXPECT_DOUBLE_EQ(m.shutdown_wait_time, 20.0);
  ASSERT_NE(m.cmd, nullptr);
  EXPECT_STREQ(m.cmd_srcname, "TA/pf/cm");
  EXPECT_EQ(m.log, nullptr);
  EXPECT_EQ(m.log_srcname, nullptr);
  EXPECT_STREQ(p.def("mgenc")->subcode, "raw");
  EXPECT_EQ(p.def("lost")->orbtag, nullptr);
  EXPECT_EQ(m.q330_default.lcq_locked, 100);
  EXPECT_EQ(m.q330_default.lcq_degrade_time, 10);

  Q330 *q = p.dl("DL1");
  ASSERT_NE(q, nullptr);
  Q330DLParams &d = q->params;
  EXPECT_STREQ(d.q330_serial_number, "0100000000000ABC");
  EXPECT_EQ(d.disposition, 3);
  EXPECT_EQ(d.q330_port_logical, 1);
  EXPECT_EQ(d.trim_link_overlaps, 1);
  EXPECT_EQ(q->state_acquisition.load(), Q330_ACQ_STOPPED);

  // Rate 0 "HH." over BHZ; rate 1 "LH." with loc mask "10" over an empty loc.
  Q330Chan &hh = d.data_chan[0][0];
  EXPECT_STREQ(hh.chan, "HHZ");
  EXPECT_STREQ(hh.net, "TA");
  EXPECT_STREQ(hh.sta, "STA1");
  EXPECT_STREQ(hh.channel_name, "data0:0");
  EXPECT_STREQ(d.data_chan[1][1].chan, "LHN");
  EXPECT_STREQ(d.data_chan[1][1].loc, "");
  EXPECT_EQ(d.data_chan[2][0].outputthischan, 0);

  // GENC copies are per channel; the multiplexed MGENC copy is shared by the datalogger.
  ASSERT_NE(hh.user_data, nullptr);
  EXPECT_NE(hh.user_data, p.def("genc"));
  EXPECT_NE(hh.user_data, d.data_chan[0][1].user_data);
  EXPECT_EQ(d.data_chan[1][0].user_data, d.data_chan[1][1].user_data);
  EXPECT_NE(d.data_chan[1][0].user_data, p.def("mgenc"));
  EXPECT_EQ(getarr(m.data_orbtags, "data"), getarr(m.orbtags, "data"));

  auto *volt = static_cast<Q330StatusChan *>(getarr(d.status_chan_arr, "data_sys_volt"));
  ASSERT_NE(volt, nullptr);
  EXPECT_STREQ(volt->sta, "STA1");
  EXPECT_STREQ(volt->pfkey, "volt");
  EXPECT_NE(volt->output_wf_pdef, nullptr);
  EXPECT_EQ(volt->type, 2);

  // The ep channel takes its station from the property tag and keeps its own net.
  Q330Chan *ep = d.ep_channels[0x10];
  ASSERT_NE(ep, nullptr);
  EXPECT_EQ(ep, getarr(d.ep_chan_arr, "ep_pressure"));
  EXPECT_EQ(ep->stafromproptag, 1);
  EXPECT_STREQ(ep->sta, "");
  EXPECT_STREQ(ep->net, "XX");
  EXPECT_FLOAT_EQ(ep->pf_dvalue, 2.0e30f);
}

TEST(ParsePf, LocalPortsAndTableRows) {
  Parsed p(R"(
dataloggers &Tbl{
  DL1 TA STA1 - 127.0.0.1 1 default startacq

  DL2 TA STA2 - 127.0.0.1 2 quiet listen
}
DL3 &Arr{
}
pocds &Tbl{
  udp:5330
  5330
  data .*/pf/poc
}
)");
  // The last pocds row opens a ring buffer that does not exist here.
  ASSERT_EQ(p.rc, -1);
  EXPECT_NE(p.log.find("orbopen(POCDaemon:127.0.0.1:6510)"), std::string::npos) << p.log;
  ASSERT_EQ(maxtbl(p.fx.m.q330s_tbl), 2);
  EXPECT_EQ(p.dl("DL1")->params.local_port_control, 5000);
  EXPECT_EQ(p.dl("DL1")->params.local_port_data, 5001);
  EXPECT_EQ(p.dl("DL2")->params.local_port_control, 5002);
  EXPECT_EQ(p.dl("DL2")->params.local_port_data, 5003);
  EXPECT_EQ(p.dl("DL2")->params.debug_udp, 1);
  EXPECT_EQ(p.dl("DL2")->state_acquisition.load(), Q330_ACQ_WAITING);
  EXPECT_EQ(p.dl("DL2")->buffer_thresh_flag, 1);
  Tbl *pocds = p.fx.m.pocds_tbl;
  ASSERT_EQ(maxtbl(pocds), 2);
  for (long i = 0; i < 2; i++) {
    auto *pd = static_cast<POCDaemon *>(gettbl(pocds, i));
    EXPECT_EQ(pd->port, 5330);
    EXPECT_STREQ(pd->label, "POC5330");
    EXPECT_NE(pd->udp, nullptr);
  }
}

TEST(ParsePf, FixedLocalPortsAreNumbers) {
  Parsed p("local_port_control 6000\nlocal_port_data 6001\n");
  ASSERT_EQ(p.rc, 0) << p.log;
  EXPECT_EQ(p.dl("DL1")->params.local_port_control, 6000);
  EXPECT_EQ(p.dl("DL1")->params.local_port_data, 6001);
  EXPECT_EQ(p.fx.m.local_port_base, 5000);
}

// Each text appended to the base file, and a part of the message it must give.
struct BadCase {
  const char *extra;
  const char *message;
};

TEST(ParsePf, BadFilesAreRefusedWithTheirMessage) {
  const BadCase cases[] = {
      {"dataloggers &Tbl{\n DL1 TA STA1 - 127.0.0.1 1 default\n}\n",
       "Unable to scan 'DL1 TA STA1 - 127.0.0.1 1 default' dataloggers table entry"},
      {"dataloggers &Tbl{\n D TA S1 - 127.0.0.1 1 default startacq\n"
       " D TA S2 - 127.0.0.1 2 default startacq\n}\n",
       "Cannot list dlname D more than once"},
      {"dataloggers &Tbl{\n D TAX S1 - 127.0.0.1 1 default startacq\n}\n",
       "Illegal dlnet code 'TAX' for D"},
      {"dataloggers &Tbl{\n D TA STA123 - 127.0.0.1 1 default startacq\n}\n",
       "Illegal dlsta code 'STA123' for D"},
      {"dataloggers &Tbl{\n D TA S - 127.0.0.1 1 loud startacq\n}\n",
       "Cannot find template 'loud' for datalogger D"},
      {"dataloggers &Tbl{\n D TA S - 127.0.0.1 1 default sleep\n}\n",
       "Unrecognized disposition 'sleep' for D"},
      {"dataloggers &Tbl{\n D TA S 12G 127.0.0.1 1 default startacq\n}\n",
       "Illegal serial number '12G' for D"},
      {"dataloggers &Tbl{\n D TA S 0 127.0.0.1 x default startacq\n}\n", "Unable to scan"},
      {"dataloggers &Tbl{\n D TA S - 127.0.0.1 5 default startacq\n}\n",
       "Unable to set q330_hostport parameters"},
      {"packet_defs &Arr{\n g &Arr{\n data_orbtag data\n twin 1\n multiplexed 1\n"
       " suffix GENC\n }\n}\n",
       "packet_defs->g: Cannot multiplex with GENC suffix"},
      {"packet_defs &Arr{\n g &Arr{\n data_orbtag data\n twin 1\n multiplexed 0\n"
       " suffix SEED\n }\n}\n",
       "packet_defs->g: suffix 'SEED' not implemented"},
      {"packet_defs &Arr{\n g &Arr{\n data_orbtag data\n twin 1\n multiplexed 0\n }\n}\n",
       "parse_param(packet_defs->g->suffix)"},
      {"packet_defs &Arr{\n abcdefghijabcdefghijabcdefghijabc &Arr{\n data_orbtag data\n"
       " twin 1\n multiplexed 0\n suffix GENC\n }\n}\n",
       "name longer than 31 characters"},
      {"log_orbtag elsewhere\n", "Cannot find log_orbtag 'elsewhere' in command line"},
      {"pchan_map &Arr{\n 0 TA_S_BHZ $DB\n}\n",
       "A calib database is needed for DL1 but none was specified"},
      {"acq_matrix &Tbl{\n lost 0 0 0 0 0 0 0\n}\n",
       "packet_def 'lost' has an undefined orbtag for acq_matrix"},
      {"acq_matrix &Tbl{\n nosuch 0 0 0 0 0 0 0\n}\n", "Cannot find packet_def 'nosuch'"},
      {"acq_matrix &Tbl{\n genc 0 0 0 0 0 0\n}\n", "Wrong number of rates"},
      {"pocds &Tbl{\n nowhere .*\n}\n", "Cannot find pocd_orbtag 'nowhere' in command line"},
      {"pocds &Tbl{\n data\n}\n", "Unable to scan 'data' pocds table entry"},
      {"pocds &Tbl{\n udp:70000\n}\n", "Unable to scan"},
      {"DL1 &Arr{\n throttle 5\n}\n", "parse_dlparams(DL1) error"},
      {"datalogger_templates &Arr{\n t &Arr{\n disposition x\n }\n}\n",
       "parse_dlparams(datalogger_templates->t) error"},
      {"maxretries_control many\n", "parse_dlparams(q330_default) error"},
      // Ports a socket cannot use, negative intervals and an empty time window are refused
      // when the file is read, not by a session that then retries for ever.
      {"q330_port_base 70000\n",
       "Illegal q330_port_base 70000 for DL1 (its control and data ports 70002 and 70003 are "
       "outside 1-65535)"},
      {"q330_port_base 65533\n", "Illegal q330_port_base 65533 for DL1"},
      {"q330_port_base -2\n", "Illegal q330_port_base -2 for DL1"},
      {"DL1 &Arr{\n q330_port_base 99999\n}\n", "Illegal q330_port_base 99999 for DL1"},
      {"local_port_base 99999\n",
       "Illegal local_port_control 'auto_fixed' for DL1 (port 99999 from local_port_base is "
       "outside 1-65535)"},
      {"local_port_base 65535\n", "Illegal local_port_data 'auto_fixed' for DL1 (port 65536"},
      {"local_port_base 0\n", "Illegal local_port_control 'auto_fixed' for DL1 (port 0"},
      {"pfstatusreport_interval -5\n",
       "Illegal pfstatusreport_interval -5 (an interval cannot be negative)"},
      {"datarate_interval -1\n", "Illegal datarate_interval -1 for DL1"},
      {"DL1 &Arr{\n statusreport_interval -60\n}\n", "Illegal statusreport_interval -60 for DL1"},
      {"commeff_interval -0.5\n", "Illegal commeff_interval -0.5 for DL1"},
      {"thruput_interval -3600\n", "Illegal thruput_interval -3600 for DL1"},
      {"packet_defs &Arr{\n g &Arr{\n data_orbtag data\n twin 0\n multiplexed 0\n"
       " suffix GENC\n }\n}\n",
       "Illegal packet_defs->g->twin 0 (one second or more)"},
      {"packet_defs &Arr{\n g &Arr{\n data_orbtag data\n twin -60\n multiplexed 0\n"
       " suffix GENC\n }\n}\n",
       "Illegal packet_defs->g->twin -60"},
  };
  for (const BadCase &c : cases) {
    Parsed p(c.extra);
    EXPECT_EQ(p.rc, -1) << c.extra;
    EXPECT_NE(p.log.find(c.message), std::string::npos) << c.extra << "\n" << p.log;
  }
}

TEST(ParsePf, PortsAtTheTopOfTheRange) {
  Parsed p("q330_port_base 65532\nlocal_port_base 65534\npfstatusreport_interval 0\n");
  ASSERT_EQ(p.rc, 0) << p.log;
  const Q330DLParams &d = p.dl("DL1")->params;
  EXPECT_EQ(d.q330_port_data, 65535);
  EXPECT_EQ(d.local_port_control, 65534);
  EXPECT_EQ(d.local_port_data, 65535);
}

TEST(ParsePf, AcceptedEdges) {
  // An undefined orbtag is fine until a channel uses it; $DB with a calibration database.
  Parsed p("pchan_map &Arr{\n 0 TA_S_BHZ $DB\n}\n", true);
  ASSERT_EQ(p.rc, 0) << p.log;
  EXPECT_EQ(p.dl("DL1")->params.data_chan[0][0].calibfromdb, 1);
  EXPECT_EQ(p.dl("DL1")->params.data_chan[0][1].outputthischan, 0);
}

TEST(ParsePf, RevisionAndFileFailures) {
  TempDir dir;
  MuldrinFixture fx;
  struct {
    const char *text;
    const char *message;
  } cases[] = {
      {"pfstatusreport_interval 1\n", "pf_revision_time not present in"},
      {"pf_revision_time 1000\n", "out of date - stop processing"},
      {"pf_revision_time 1700000000\nx &Arr{\n", "syntax error in"},
  };
  for (const auto &c : cases) {
    std::string path = dir.write("f.pf", c.text);
    take_registered();
    EXPECT_EQ(parse_pf(path.c_str(), nullptr, &fx.m), -1);
    EXPECT_NE(take_registered().find(c.message), std::string::npos) << c.text;
  }
  EXPECT_EQ(parse_pf(dir.file("none.pf").c_str(), nullptr, &fx.m), -1);
  EXPECT_NE(take_registered().find("cannot find"), std::string::npos);
}

TEST(ParsePf, ShippedExampleParses) {
  MuldrinFixture fx;
  take_registered();
  ASSERT_EQ(parse_pf(MULDRIN_PF, nullptr, &fx.m), 0) << take_registered();
  Q330 *q = static_cast<Q330 *>(getarr(fx.m.q330s_arr, "TA_SIM1"));
  ASSERT_NE(q, nullptr);
  EXPECT_STREQ(q->params.q330_ipaddress, "127.0.0.1");
  EXPECT_EQ(q->params.trim_link_overlaps, 1);
  // A station that keeps its link: no acquisition time-out re-registering every minute.
  EXPECT_EQ(q->params.shutdown_timeout, 0);
  EXPECT_NE(fx.m.log, nullptr);
  EXPECT_NE(fx.m.status, nullptr);
  EXPECT_STREQ(q->params.data_chan[1][2].chan, "LHE");
}

// Keys nothing reads are said once each at start, naming file, key and line, with the
// known key they are a slip for; the file is still taken. The shipped file has none.
TEST(ParsePf, KeysNothingReadsAreWarnedWithFileAndLine) {
  {
    ElogCapture cap;
    MuldrinFixture fx;
    take_registered();
    ASSERT_EQ(parse_pf(MULDRIN_PF, nullptr, &fx.m), 0) << take_registered();
    EXPECT_FALSE(cap.contains("is not read by this program")) << cap.text();
  }
  const long first = 1 + std::count(kBase, kBase + strlen(kBase), '\n');
  ElogCapture cap;
  Parsed p(
      "passwrd secret\n"
      "DL1 &Arr{\n debug_udpp 1\n}\n"
      "datalogger_templates &Arr{\n quiet &Arr{\n  debug_udp 1\n  thrtotle 5\n }\n}\n"
      "packet_defs &Arr{\n genc &Arr{\n  data_orbtag data\n  twin 1\n  multiplexed 0\n"
      "  suffix GENC\n  subcod x\n }\n"
      " mgenc &Arr{\n  data_orbtag data\n  twin 60\n  multiplexed yes\n  suffix MGENC\n }\n"
      " lost &Arr{\n  data_orbtag nowhere\n  twin 1\n  multiplexed 0\n  suffix GENC\n }\n"
      "}\n");
  ASSERT_EQ(p.rc, 0) << p.log;
  const std::string at = "parse_pf: '" + p.dir.file("muldrin.pf") + "' line ";
  struct {
    long line;
    const char *text;
  } want[] = {
      {first, "key 'passwrd' is not read by this program - ignored"},
      {first + 2,
       "key 'DL1->debug_udpp' is not read by this program - ignored (a slip for "
       "'debug_udp'?)"},
      {first + 7,
       "key 'datalogger_templates->quiet->thrtotle' is not read by this program - "
       "ignored (a slip for 'throttle'?)"},
      {first + 16,
       "key 'packet_defs->genc->subcod' is not read by this program - ignored (a "
       "slip for 'subcode'?)"},
  };
  for (const auto &w : want) {
    const std::string line = at + std::to_string(w.line) + ": " + w.text;
    EXPECT_TRUE(cap.contains(line)) << line << "\n" << cap.text();
  }
  long said = 0;
  for (const std::string &l : cap.lines()) said += l.find("is not read by this program") != l.npos;
  EXPECT_EQ(said, 4) << cap.text();
}

// ---- Parameter blocks -----------------------------------------------------------------

// Applies block texts in order to one parameter record, with the base file's packet
// definitions.
struct Blocks {
  Parsed base{""};
  Q330DLParams dlp{};
  std::string log;
  Blocks() {
    q330_copy_params(&dlp, &base.fx.m.q330_default);
    set_q330_str(&dlp.dlnet, "NN");
    set_q330_str(&dlp.dlsta, "SSS");
  }
  ~Blocks() { q330_free_params(&dlp); }
  int apply(const char *text, int is_default = 0) {
    Pf *pf = nullptr;
    EXPECT_EQ(pfcompile(text, &pf), 0) << text;
    take_registered();
    int rc = parse_dlparams(pf, &base.fx.m, &dlp, is_default);
    log = take_registered();
    pffree(pf);
    return rc;
  }
};

TEST(ParseDlparams, ChannelMapsAndSubstitutions) {
  Blocks b;
  ASSERT_EQ(
      b.apply("pchan_map &Arr{\n 2 $DLNET_$DLSTA_EHZ_01 1 1 V\n 3 $DLNET_$PROPTG_EHN 1 1 V\n}\n"
              "acq_matrix &Tbl{\n 0 0 0 0 0 0 0 0\n 0 0 0 0 0 0 0 0\n genc 0 0 0 0 0 0 0\n}\n"),
      0)
      << b.log;
  Q330Chan &c = b.dlp.data_chan[0][2];
  EXPECT_STREQ(c.net, "NN");
  EXPECT_STREQ(c.sta, "SSS");
  EXPECT_STREQ(c.chan, "HHZ");
  EXPECT_STREQ(c.loc, "01");
  EXPECT_EQ(c.user_data, b.base.def("genc"));
  EXPECT_EQ(b.dlp.data_chan[0][3].stafromproptag, 1);
  EXPECT_EQ(b.dlp.data_chan[0][3].user_data, nullptr);
  // The old pchans are gone.
  EXPECT_EQ(b.dlp.data_chan[0][0].outputthischan, 0);
}

TEST(ParseDlparams, RebuiltChannelsKeepTheMatrixInForce) {
  Blocks b;
  ASSERT_EQ(b.apply("rate_mask &Arr{\n 0 EH.\n}\n"), 0) << b.log;
  EXPECT_STREQ(b.dlp.data_chan[0][0].chan, "EHZ");
  EXPECT_EQ(b.dlp.data_chan[0][0].user_data, b.base.def("genc"));
  EXPECT_EQ(b.dlp.data_chan[1][0].outputthischan, 0);
}

TEST(ParseDlparams, AuthenticationCodesAndTimeouts) {
  Blocks b;
  ASSERT_EQ(b.apply("debug_ack 1\n"), 0);
  ASSERT_EQ(maxtbl(b.dlp.q330_authentication_codes), 1);
  EXPECT_STREQ(static_cast<char *>(gettbl(b.dlp.q330_authentication_codes, 0)), "0123456789abcdef");
  ASSERT_EQ(b.apply("q330_authentication_code &Tbl{\n 0000000000000001\n FFFFFFFFFFFFFFFF\n}\n"),
            0);
  EXPECT_EQ(maxtbl(b.dlp.q330_authentication_codes), 2);

  struct {
    const char *text;
    const char *message;
  } bad[] = {
      {"q330_authentication_code 0123456789abcde\n",
       "'0123456789abcde', entry 0, must be exactly 16 characters long"},
      {"q330_authentication_code &Tbl{\n 0000000000000001\n 000000000000000g\n}\n",
       "entry 1, must be 16 hexadecimal digits"},
      {"throttle 9\n", "Illegal throttle 9"},
      {"disposition later\n", "Unrecognized disposition 'later'"},
      {"rate_mask &Arr{\n 8 HH.\n}\n", "Illegal rate = 8"},
      {"rate_mask &Arr{\n 0 HHHH\n}\n", "Illegal chanm code"},
      {"rate_mask &Arr{\n 0 HH. 123\n}\n", "Illegal locm code"},
      {"pchan_map &Arr{\n 6 TA_S_BHZ 1 1 V\n}\n", "Illegal pchan = 6"},
      {"pchan_map &Arr{\n 0 TA_S_BHZ\n}\n", "Need calib in"},
      {"pchan_map &Arr{\n 0 TA_S_BHZ $DB x\n}\n", "Too many arguments"},
      {"pchan_map &Arr{\n 0 TA_S_BHZ 1 1\n}\n", "Wrong number of arguments"},
      {"pchan_map &Arr{\n 0 TA_S_BHZ 1 1 VV\n}\n", "Illegal segtype code"},
      {"pchan_map &Arr{\n 0 TA_S_BHZZ 1 1 V\n}\n", "Illegal chan code in 'TA_S_BHZZ'"},
      {"pchan_map &Arr{\n 0 TA_S_BHZ_001 1 1 V\n}\n", "Illegal loc code"},
      {"pchan_map &Arr{\n 0 TAX_S_BHZ 1 1 V\n}\n", "Illegal net code"},
      {"pchan_map &Arr{\n 0 TA_STATION_BHZ 1 1 V\n}\n", "Illegal sta code"},
      {"pchan_map &Arr{\n 0 $NET_S_BHZ 1 1 V\n}\n", "Illegal net substitution code"},
      {"pchan_map &Arr{\n 0 TA_$STA_BHZ 1 1 V\n}\n", "Illegal sta substitution code"},
      {"pchan_map &Arr{\n 0 TA_S 1 1 V\n}\n", "Need chan code"},
      {"status_disposition &Arr{\n data_sys_volt 0 1 genc 5\n}\n", "extra parameters in"},
      {"status_disposition &Arr{\n data_sys_volt 0\n}\n", "Need in_pf in"},
      {"status_disposition &Arr{\n q330_drate_tot 0 1 genc\n}\n",
       "No net_sta_chan_loc defined for status q330_drate_tot"},
      {"status_disposition &Arr{\n data_sys_volt 0 1 lost\n}\n",
       "packet_def 'lost' has an undefined orbtag for status data_sys_volt"},
      {"status_map &Arr{\n data_gps gps TA_S_VGP\n}\nstatus_disposition &Arr{\n data_gps 0 1 "
       "genc\n}\n",
       "You cannot define waveform packets for data_gps"},
      {"status_map &Arr{\n data_sys_volt "
       "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\n}\n",
       "pfkey"},
      {"ep_map &Arr{\n e 12C k TA_S_LDO 1 K 1 1\n}\n", "ep channel number 12C out of range"},
      {"ep_map &Arr{\n e 1 k TA_S_LDO 1 K 1\n}\n", "too few parameters"},
      {"ep_map &Arr{\n e 1 k TA_S_LDO 1 KKKK 1 1\n}\n", "segtype 'KKKK' too long"},
      {"ep_disposition &Arr{\n ep_pressure 1\n}\n", "too few parameters"},
      {"ep_disposition &Arr{\n ep_pressure 1 nosuch\n}\n",
       "Cannot find packet_def 'nosuch' for ep channel ep_pressure"},
  };
  for (const auto &c : bad) {
    Blocks fresh;
    EXPECT_EQ(fresh.apply(c.text), -1) << c.text;
    EXPECT_NE(fresh.log.find(c.message), std::string::npos) << c.text << "\n" << fresh.log;
  }

  struct {
    const char *text;
    int tenths;
  } times[] = {{"0.25", 3}, {"0", -1}, {"-2", -1}, {"1.04", 10}, {"12", 120}};
  for (const auto &t : times) {
    Blocks fresh;
    std::string text = std::string("log_group_timeout ") + t.text + "\n";
    ASSERT_EQ(fresh.apply(text.c_str()), 0);
    EXPECT_EQ(fresh.dlp.log_group_timeout, t.tenths) << t.text;
  }
  EXPECT_EQ(b.dlp.log_acknowledge_timeout, -1);
}

TEST(ParseDlparams, DefaultsRequireTheirKeys) {
  Blocks b;
  EXPECT_EQ(b.apply("debug_ack 1\n", 1), -1);
  EXPECT_NE(b.log.find("parse_param(q330_port_base) error"), std::string::npos) << b.log;
}

TEST(ParseDlparams, StatusAndEpMapsComplainAndSkip) {
  Blocks b;
  ASSERT_EQ(b.apply("status_map &Arr{\n bogus x\n data_sys_temp t\n}\n"
                    "status_disposition &Arr{\n data_sys_temp 1 0 0 text\n nothere 1 1\n}\n"
                    "ep_map &Arr{\n e1 zz k TA_S_LDO 1 K 1 1\n}\n"),
            0)
      << b.log;
  EXPECT_EQ(getarr(b.dlp.status_chan_arr, "bogus"), nullptr);
  auto *t = static_cast<Q330StatusChan *>(getarr(b.dlp.status_chan_arr, "data_sys_temp"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->outputthischan_log, 1);
  EXPECT_EQ(getarr(b.dlp.status_chan_arr, "data_sys_volt"), nullptr);
  EXPECT_EQ(b.dlp.ep_chan_arr != nullptr && cntarr(b.dlp.ep_chan_arr) == 0, true);
  EXPECT_EQ(b.dlp.ep_channels[0x10], nullptr);
}

TEST(ParsePfStatus, DefaultLookupReadsTheBlocketteTables) {
  int type = 0;
  const void *def = nullptr;
  double dt = -1;
  ASSERT_EQ(q330_status_lookup("data_sys_volt", &type, &def, &dt), 0);
  EXPECT_EQ(type, 2);
  EXPECT_STREQ(static_cast<const Q330DataStatusDef *>(def)->name, "data_sys_volt");
  EXPECT_EQ(dt, static_cast<const Q330DataStatusDef *>(def)->dt);
  const char *program = q330_status_defs[0].name;
  ASSERT_EQ(q330_status_lookup(program, &type, &def, &dt), 0) << program;
  EXPECT_EQ(type, 1);
  EXPECT_EQ(def, &q330_status_defs[0]);
  EXPECT_EQ(q330_status_lookup("bogus", &type, &def, &dt), -1);
}

TEST(ParsePfText, BoolNumberAndSplit) {
  struct {
    const char *text;
    int value;
  } bools[] = {{"1", 1},  {"0", 0}, {"12", 1}, {"yes", 1}, {"True", 1},
               {"no", 0}, {"", 0},  {"x", 0},  {"00", 0},  {"y", 1}};
  for (const auto &c : bools) EXPECT_EQ(parse_bool(c.text), c.value) << c.text;
  EXPECT_EQ(strisnumber(""), 1);
  EXPECT_EQ(strisnumber("5330"), 1);
  EXPECT_EQ(strisnumber("53a"), 0);
  std::string n, s, c, l;
  split_netstachanloc("TA_STA_BHZ", n, s, c, l);
  EXPECT_EQ(n + "|" + s + "|" + c + "|" + l, "TA|STA|BHZ|");
  split_netstachanloc("TA_STA_BHZ_00_x", n, s, c, l);
  EXPECT_EQ(l, "00_x");
}

TEST(QCopyParams, CopiesAreDeep) {
  Parsed p("");
  ASSERT_EQ(p.rc, 0) << p.log;
  auto *tmpl = static_cast<Q330DLParams *>(getarr(p.fx.m.datalogger_templates, "quiet"));
  ASSERT_NE(tmpl, nullptr);
  Q330DLParams copy{};
  q330_copy_params(&copy, tmpl);
  auto *st = static_cast<Q330StatusChan *>(getarr(copy.status_chan_arr, "data_sys_volt"));
  strcpy(st->pfkey, "changed");
  copy.ep_channels[0x10]->calib = 99;
  copy.massrecenter_sensors[0] = 'X';
  static_cast<char *>(gettbl(copy.q330_authentication_codes, 0))[0] = 'F';
  auto *orig = static_cast<Q330StatusChan *>(getarr(tmpl->status_chan_arr, "data_sys_volt"));
  EXPECT_STREQ(orig->pfkey, "volt");
  EXPECT_EQ(tmpl->ep_channels[0x10]->calib, 1.0);
  EXPECT_EQ(copy.ep_channels[0x10], getarr(copy.ep_chan_arr, "ep_pressure"));
  EXPECT_STREQ(tmpl->massrecenter_sensors, "AB");
  EXPECT_EQ(static_cast<char *>(gettbl(tmpl->q330_authentication_codes, 0))[0], '0');
  // A block applied to the copy replaces its maps without touching the template's.
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("ep_map &Arr{\n}\nstatus_map &Arr{\n}\n", &pf), 0);
  ASSERT_EQ(parse_dlparams(pf, &p.fx.m, &copy, 0), 0) << take_registered();
  pffree(pf);
  EXPECT_EQ(cntarr(tmpl->ep_chan_arr), 1);
  EXPECT_EQ(cntarr(tmpl->status_chan_arr), 2);
  q330_free_params(&copy);
}

}  // namespace
