// The session record: creation, throttle words, the time text, the acquisition-state
// setters, typed output, the control debug dumps and the packet-cache dump.
#include "q330.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/pf.h"
#include "q330_fixture.h"
#include "testkit/testkit.h"

namespace {

// "YYYYDDD hh:mm:ss.mmm"
bool is_time_text(const std::string &t) {
  const std::string form = "9999999 99:99:99.999";
  if (t.size() != form.size()) return false;
  for (size_t i = 0; i < t.size(); i++)
    if (form[i] == '9' ? !isdigit(static_cast<unsigned char>(t[i])) : t[i] != form[i]) return false;
  return true;
}

// The text after the "time: target: dlname: " prefix of a line, or "<no prefix>".
std::string after_prefix(const std::string &line, const std::string &names) {
  if (line.size() < 22 || !is_time_text(line.substr(0, 20)) || line.compare(20, 2, ": ") != 0 ||
      line.compare(22, names.size(), names) != 0)
    return "<no prefix>";
  return line.substr(22 + names.size());
}

bool ends_with(const std::string &s, const std::string &tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

struct Session {
  Q330 *q330 = q330_create(OutputRecorder::callback, nullptr);
  OutputRecorder out;
  Session() {
    EXPECT_NE(q330, nullptr);
    out.attach(q330);
    set_q330_str(&q330->target_name, "tgt");
    set_q330_str(&q330->params.dlname, "XX_STA");
  }
  ~Session() { free_session(q330); }
};

TEST(Q330Throttle, Words) {
  struct Row {
    int throttle, word;
  };
  const Row rows[] = {{0, 0},  {-1, -1}, {10000, 1024}, {100, 102400}, {10, 1024000},
                      {1, -1}, {5, -1},  {9, -1},       {19, 1024000}, {2147483647, 0}};
  for (const Row &r : rows) EXPECT_EQ(q330_throttle(r.throttle), r.word) << r.throttle;
  Session s;
  q330_set_throttle(s.q330, 100);
  EXPECT_EQ(s.q330->params.throttle, 100);
  EXPECT_EQ(s.q330->params.throttle_q330, 102400);
}

TEST(Q330Strtime, RoundsAndCarries) {
  const double y2011 = 1293840000.0;  // 2011-01-01 00:00:00 UTC
  const double y2013 = 1356998400.0;  // 2013-01-01, after the leap year 2012
  struct Row {
    double epoch;
    const char *text;
  };
  const Row rows[] = {
      {y2011 + 300.9996, "2011001 00:05:01.000"},  // next second, 000 ms
      {y2011 - 0.0004, "2011001 00:00:00.000"},    // carries through into the new year
      {y2013 - 0.001, "2012366 23:59:59.999"},     // last millisecond of a leap year
      {y2013 - 0.0004, "2013001 00:00:00.000"},
      {y2011 + 86400 * 59 + 3723.25, "2011060 01:02:03.250"},
  };
  for (const Row &r : rows) {
    char *t = q330_strtime(r.epoch);
    EXPECT_STREQ(t, r.text) << std::fixed << r.epoch;
    free(t);
  }
}

// The averagers a session is made with, read over the windows the status report uses: a
// data gap counts in the hour it fell in and for a day, a link, reboot, point-of-contact
// or address change counts for a day after it happened.
TEST(Q330Create, GapsAndEventsCountOverTheirWindows) {
  const double t0 = 1700000000.0;
  DrivenClock clock(t0);
  Session s;
  Q330Status &st = s.q330->status;
  auto sum = [](TAverage *ta, double end, double window) {
    double t = end, w = window, total = 0, ave = 0;
    EXPECT_EQ(taverage_get(ta, &t, &w, &total, &ave), 0);
    return total;
  };
  auto gap = [&](double at, double seconds) {
    clock.now = at;
    ASSERT_EQ(taverage_put(st.ta_datagap_24h, seconds), 0);
    ASSERT_EQ(taverage_put(st.ta_datagap_1h, seconds), 0);
  };
  gap(t0 + 1800, 5);
  gap(t0 + 2 * 3600 + 1800, 3);
  double now = t0 + 2 * 3600 + 1860;
  EXPECT_EQ(sum(st.ta_datagap_1h, now, 3600), 3);  // the first gap is past the hour
  EXPECT_EQ(sum(st.ta_datagap_24h, now, 86400), 8);
  now = t0 + 26 * 3600 + 1800;
  EXPECT_EQ(sum(st.ta_datagap_24h, now, 86400), 3);  // the first gap is past the day
  EXPECT_EQ(sum(st.ta_datagap_1h, now, 3600), 0);

  for (TAverage *ta : {st.ta_nlinks_24h, st.ta_nreboots_24h, st.ta_npocs_24h, st.ta_nipchs_24h}) {
    clock.now = t0 + 100;
    ASSERT_EQ(taverage_put(ta, 1), 0);
    clock.now = t0 + 20 * 3600;
    ASSERT_EQ(taverage_put(ta, 1), 0);
    EXPECT_EQ(sum(ta, t0 + 21 * 3600, 86400), 2);
    EXPECT_EQ(sum(ta, t0 + 25 * 3600, 86400), 1);  // the first is a day old
  }
}

TEST(Q330Create, NullStatusResetsStatusChannels) {
  Session s;
  Q330 *q = s.q330;
  Q330StatusChan a{}, b{};
  a.time = 12.5;
  b.time = 99;
  Arr *arr = newarr(nullptr);
  setarr(arr, "a", &a);
  setarr(arr, "b", &b);
  q->params.status_chan_arr = arr;
  q->status.status_pkt_null = 0;
  q->status.status_pkt.status_bitmap = 7;
  q->status.lat = 4;
  q330_null_status(q);
  EXPECT_EQ(a.time, 0);
  EXPECT_EQ(b.time, 0);
  EXPECT_EQ(q->status.status_pkt.status_bitmap, 0u);
  EXPECT_EQ(q->status.status_pkt_null, 1);
  EXPECT_EQ(q->status.lat, 0);
  EXPECT_EQ(q->status.status_pkt.gps.elev, -999.0);
  freearr(arr, nullptr);
  q->params.status_chan_arr = nullptr;
}

TEST(Q330ThreadStart, ControlQueueAndStash) {
  struct Row {
    const char *what;
    int nowritestash;
    const char *serial;
    bool proptag_chan;
    int stash;
  };
  PacketDef *pdef = reinterpret_cast<PacketDef *>(&pdef);  // only tested for being set
  const Row rows[] = {
      {"default", 0, "0100000A1B2C3D4E", false, 1},
      {"nowritestash", 1, "0100000A1B2C3D4E", false, 0},
      {"serial unknown", 0, "-", false, 0},
      {"station from the property tag", 0, "0100000A1B2C3D4E", true, 0},
  };
  for (const Row &r : rows) {
    Session s;
    s.q330->nowritestash = r.nowritestash;
    s.q330->params.q330_serial_number = const_cast<char *>(r.serial);
    Q330Chan &c = s.q330->params.data_chan[2][3];
    c.outputthischan = 1;
    c.user_data = pdef;
    c.stafromproptag = r.proptag_chan ? 1 : 0;
    EXPECT_EQ(q330_thread_start(s.q330), 0) << r.what;
    EXPECT_NE(s.q330->control_mtfifo_in, nullptr);
    EXPECT_EQ(s.q330->state_thread, 1);
    EXPECT_EQ(s.q330->pendingstashrequest, r.stash) << r.what;
    auto lines = s.out.lines();
    EXPECT_EQ(lines.size(), static_cast<size_t>(r.stash)) << r.what;
    if (r.stash) {
      EXPECT_TRUE(ends_with(lines[0], "--------q330 XX_STA sending stash--------"));
    }
    Pmtfifo *queue = s.q330->control_mtfifo_in;
    EXPECT_EQ(q330_thread_start(s.q330), 0);  // already started: nothing new
    EXPECT_EQ(s.q330->control_mtfifo_in, queue);
    s.q330->params.q330_serial_number = nullptr;
  }
  Session s;
  s.q330->state_thread = 5;
  EXPECT_EQ(q330_thread_start(s.q330), -1);
  EXPECT_TRUE(ends_with(s.out.lines().at(0), "q330_thread_start: Unknown thread state."));
}

// (state before, call) -> (state after, log line, retries, status flags raised).
TEST(Q330Setters, StateTable) {
  enum Call { Start, Stop, StopWait, Kill, Link, Data, ModeSleeping };
  struct Row {
    const char *what;
    Q330AcqState before;
    Call call;
    Q330AcqState after;
    const char *log;  // "" none
    int retries;      // register_retries after (5 before)
    int flags;        // pendingstatusrequest after
  };
  const Row rows[] = {
      {"start in 6 does nothing", Q330_ACQ_ACQUIRING, Start, Q330_ACQ_ACQUIRING, "", 5, 0},
      {"start in 2", Q330_ACQ_HIBERNATING, Start, Q330_ACQ_REGISTER, "", 0, 1},
      {"start in 0", Q330_ACQ_STOPPED, Start, Q330_ACQ_REGISTER, "", 0, 1},
      {"start after kill", Q330_ACQ_KILL, Start, Q330_ACQ_KILL, "", 5, 0},
      {"stop in 0 with wait", Q330_ACQ_STOPPED, StopWait, Q330_ACQ_STOPPED, "", 5, 0},
      {"stop in 6", Q330_ACQ_ACQUIRING, Stop, Q330_ACQ_SHUTDOWN, "", 5, 1},
      {"stop after kill, with wait", Q330_ACQ_KILL, StopWait, Q330_ACQ_KILL, "", 5, 0},
      {"kill", Q330_ACQ_ACQUIRING, Kill, Q330_ACQ_KILL, "", 5, 1},
      {"restart link outside 6", Q330_ACQ_OPEN_DATA, Link, Q330_ACQ_OPEN_DATA, "Restart link.", 5,
       0},
      {"restart link in 6", Q330_ACQ_ACQUIRING, Link, Q330_ACQ_RESTART_LINK, "Restart link.", 5, 0},
      {"restart link after kill", Q330_ACQ_KILL, Link, Q330_ACQ_KILL, "Restart link.", 5, 0},
      {"restart data in 6", Q330_ACQ_ACQUIRING, Data, Q330_ACQ_RESTART_DATA, "Restart data.", 5, 0},
      {"restart data outside 6", Q330_ACQ_REGISTER, Data, Q330_ACQ_REGISTER, "Restart data.", 5, 0},
      {"mode after kill", Q330_ACQ_KILL, ModeSleeping, Q330_ACQ_KILL, "", 5, 0},
      {"mode", Q330_ACQ_ACQUIRING, ModeSleeping, Q330_ACQ_SLEEPING, "", 5, 1},
  };
  for (const Row &r : rows) {
    Session s;
    Q330 *q = s.q330;
    std::atomic<int> program_flag{0};
    q->pendingstatusrequests = &program_flag;
    q->state_acquisition = r.before;
    q->register_retries = 5;
    q->ch98_time = 1234.5;
    switch (r.call) {
      case Start:
        EXPECT_EQ(q330_start_acquisition(q), 0);
        break;
      case Stop:
        EXPECT_EQ(q330_stop_acquisition(q, 0), 0);
        break;
      case StopWait:
        EXPECT_EQ(q330_stop_acquisition(q, 1), 0);
        break;
      case Kill:
        EXPECT_EQ(q330_kill_thread(q), 0);
        break;
      case Link:
        EXPECT_EQ(q330_restart_link(q, 0), 0);
        break;
      case Data:
        EXPECT_EQ(q330_restart_data(q, 0), 0);
        break;
      case ModeSleeping:
        q330_set_acquisition_mode(q, Q330_ACQ_SLEEPING);
        break;
    }
    EXPECT_EQ(q->state_acquisition, r.after) << r.what;
    EXPECT_EQ(q->register_retries, r.retries) << r.what;
    EXPECT_EQ(q->pendingstatusrequest, r.flags) << r.what;
    EXPECT_EQ(program_flag, r.flags) << r.what;
    auto lines = s.out.lines();
    if (*r.log) {
      ASSERT_EQ(lines.size(), 1u) << r.what;
      EXPECT_TRUE(ends_with(lines[0], std::string(": tgt: XX_STA: ") + r.log)) << lines[0];
    } else {
      EXPECT_TRUE(lines.empty()) << r.what;
    }
    const bool restarted = (r.call == Link || r.call == Data) && r.before == Q330_ACQ_ACQUIRING;
    EXPECT_EQ(q->ch98_time_restart, restarted ? 1234.5 : 0.0) << r.what;
    const bool timed = restarted || (r.call == Stop && r.before == Q330_ACQ_ACQUIRING);
    EXPECT_EQ(q->request_shutdown_time != 0, timed) << r.what;
  }
}

// The waits end on the state change the setters signal; through the clock seam a driven
// clock plays the data thread, moving the state on (as its setter does) after a few pauses.
struct DataThreadClock {
  Q330 *q330;
  int pauses = 0, move_at;
  Q330AcqState to;
  double now = 1e9;
  ClockDriver driver{};
  DataThreadClock(Q330 *q, int at, Q330AcqState state) : q330(q), move_at(at), to(state) {
    driver.now = [](void *u) { return static_cast<DataThreadClock *>(u)->now; };
    driver.monotonic = driver.now;
    driver.sleep = [](double sec, void *u) {
      auto *self = static_cast<DataThreadClock *>(u);
      self->now += sec;
      if (++self->pauses == self->move_at) q330_set_acquisition_mode(self->q330, self->to);
    };
    driver.user = this;
    clock_set_driver(&driver);
  }
  ~DataThreadClock() { clock_set_driver(nullptr); }
};

TEST(Q330Setters, WaitsEndOnTheirStateOrKill) {
  struct Row {
    const char *what;
    bool link;        // else stop
    Q330AcqState to;  // state the "data thread" moves to
  };
  const Row rows[] = {{"link back to acquiring", true, Q330_ACQ_ACQUIRING},
                      {"link killed", true, Q330_ACQ_KILL},
                      {"stop reaches hibernating", false, Q330_ACQ_HIBERNATING},
                      {"stop killed", false, Q330_ACQ_KILL}};
  for (const Row &r : rows) {
    Session s;
    s.q330->state_acquisition = Q330_ACQ_ACQUIRING;
    DataThreadClock clock(s.q330, 4, r.to);
    if (r.link)
      q330_restart_link(s.q330, 1);
    else
      q330_stop_acquisition(s.q330, 1);
    EXPECT_EQ(clock.pauses, 4) << r.what;
    EXPECT_NEAR(clock.now - 1e9, 0.4, 1e-6) << r.what;
    EXPECT_EQ(s.q330->state_acquisition, r.to) << r.what;
  }
}

TEST(Q330Output, Types) {
  Session s;
  for (int type : {6, 7, 8, 9, 10, 11, 12, 14, 0, 18, -1}) q330_output(s.q330, type, "x %d\n", 1);
  EXPECT_TRUE(s.out.items.empty());

  double t = 1.25e9;
  q330_output(s.q330, Q330_OUT_TIME, &t);
  ASSERT_EQ(s.out.items.size(), 1u);
  EXPECT_EQ(s.out.items[0].type, Q330_OUT_TIME);
  EXPECT_NE(s.out.items[0].address, static_cast<const void *>(&t));  // its own copy
  EXPECT_EQ(s.out.items[0].time, t);
  EXPECT_EQ(s.out.items[0].size, 0);
  s.out.clear();

  struct Row {
    int type;
    std::string fmt_arg;
    std::string text;
  };
  const Row rows[] = {
      {Q330_OUT_STDOUT, "hello\n", "hello"},
      {Q330_OUT_LOG, "two\n\n", "two\n"},  // only one newline dropped
      {Q330_OUT_LOG, "none", "none"},
      {Q330_OUT_LOG, std::string(700, 'a'), std::string(512, 'a')},  // cut to 512
  };
  for (const Row &r : rows) {
    s.out.clear();
    q330_output(s.q330, r.type, "%s", r.fmt_arg.c_str());
    ASSERT_EQ(s.out.items.size(), 1u);
    EXPECT_EQ(s.out.items[0].type, r.type);
    EXPECT_EQ(s.out.items[0].size, 0);
    EXPECT_EQ(after_prefix(s.out.items[0].text, "tgt: XX_STA: "), r.text);
  }
  // A target name long enough to pass the line limit is cut, not overflowed.
  set_q330_str(&s.q330->target_name, std::string(3000, 't').c_str());
  s.out.clear();
  q330_output(s.q330, Q330_OUT_LOG, "tail");
  ASSERT_EQ(s.out.items.size(), 1u);
  EXPECT_EQ(s.out.items[0].text.size(), 2048u);

  // No callback: nothing, no fault.
  s.q330->out_callback = nullptr;
  q330_output(s.q330, Q330_OUT_LOG, "dropped");
  q330_output(s.q330, Q330_OUT_TIME, &t);
}

TEST(Q330Output, UdpAndPfLines) {
  Session s;
  q330_print_udp(s.q330, "sent 12 bytes");
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("b 2\na 1\n", &pf), 0);
  q330_output_pf(s.q330, pf, "pre: ");
  pffree(pf);
  q330_output_pf(s.q330, nullptr, "pre: ");
  auto lines = s.out.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_TRUE(ends_with(lines[0], ": XX_STA: DEBUGU: sent 12 bytes"));
  EXPECT_TRUE(ends_with(lines[1], ": XX_STA: pre: a 1"));
  EXPECT_TRUE(ends_with(lines[2], ": XX_STA: pre: b 2"));
  EXPECT_TRUE(ends_with(lines[3], ": XX_STA: ERROR: pre: pf2string() error on parameter file."));

  Arr *arr = newarr(nullptr);
  setarr(arr, "zeta", const_cast<char *>("last"));
  setarr(arr, "alpha", const_cast<char *>("first"));
  testing::internal::CaptureStdout();
  dump_array(arr, "Title");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "\nTitle:\n  alpha    :  first\n  zeta    :  last\n");
  freearr(arr, nullptr);
}

TEST(Q330DebugControl, Levels) {
  Session s;
  Q330 *q = s.q330;
  q->config.config_pkt.fix.kmi_property_tag = 4242;
  const std::string head = ": tgt: XX_STA: DEBUGC: ";

  q->params.debug_control = 0;
  for (int structure : {0, 167, 999}) q330_output_debugc(q, structure, "quiet %d\n", structure);
  EXPECT_TRUE(s.out.items.empty());

  q->params.debug_control = 1;
  for (int structure : {0, 167, 999}) q330_output_debugc(q, structure, "plain\n");
  auto lines = s.out.lines();
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string &l : lines) EXPECT_TRUE(ends_with(l, head + "plain")) << l;
  s.out.clear();
  q330_output_debugc(q, 0, "%s", std::string(900, 'm').c_str());  // cut to 512
  EXPECT_TRUE(ends_with(s.out.lines().at(0), head + std::string(512, 'm')));
  s.out.clear();

  q->params.debug_control = 2;
  q330_output_debugc(q, 0, "plain again\n");
  q330_output_debugc(q, 999, "what\n");
  lines = s.out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(ends_with(lines[0], head + "plain again"));
  EXPECT_TRUE(ends_with(lines[1], head + "what Unknown structure 999"));
  s.out.clear();

  q330_output_debugc(q, 167, "fix\n");
  lines = s.out.lines();
  ASSERT_GT(lines.size(), 3u);
  for (const std::string &l : lines) EXPECT_NE(l.find(head + "fix "), std::string::npos) << l;
  EXPECT_TRUE(ends_with(lines.front(), head + "fix fix &Arr{"));
  EXPECT_TRUE(ends_with(lines.back(), head + "fix }"));
  bool tag = false;
  for (const std::string &l : lines) tag |= ends_with(l, "kmi_property_tag 4242");
  EXPECT_TRUE(tag);
}

TEST(Q330DebugControl, CompositeDumps) {
  Session s;
  Q330 *q = s.q330;
  q->params.debug_control = 2;
  auto dump = [&](int structure) {
    s.out.clear();
    q330_output_debugc(q, structure, "m");
    std::vector<std::string> bodies;
    for (const std::string &l : s.out.lines()) {
      size_t at = l.find("DEBUGC: m ");
      EXPECT_NE(at, std::string::npos) << l;
      bodies.push_back(l.substr(at + 10));
    }
    return bodies;
  };
  // FLGS: the four blocks of config_pkt in order.
  auto flgs = dump(177);
  std::vector<std::string> heads;
  for (const std::string &b : flgs)
    if (ends_with(b, "&Arr{")) heads.push_back(b);
  EXPECT_EQ(heads, (std::vector<std::string>{"fix &Arr{", "glob &Arr{", "sc &Arr{", "log &Arr{"}));

  auto phy = dump(243);
  ASSERT_GE(phy.size(), 3u);
  EXPECT_EQ(phy.front(), "phyc2_3 &Arr{");
  EXPECT_EQ(phy.back(), "}");
  EXPECT_EQ(std::count(phy.begin(), phy.end(), "}"), 1);  // no inner header

  EXPECT_EQ(dump(245), (std::vector<std::string>{"dptokens_2 &Arr{", "}"}));
  Qtpb14Tokens tokens{};
  tokens.version = 3;
  q->config.dptokens[3] = &tokens;
  auto tok = dump(247);
  EXPECT_EQ(tok.front(), "dptokens_4 &Arr{");
  EXPECT_NE(std::find(tok.begin(), tok.end(), "version 3"), tok.end());
  q->config.dptokens[3] = nullptr;

  for (int structure : {164, 165, 166, 168, 170, 172, 174, 175, 178, 179, 193, 196, 208, 209})
    EXPECT_GT(dump(structure).size(), 1u) << structure;
}

TEST(Q330PacketCache, Dump) {
  Session s;
  Q330 *q = s.q330;
  q330_log_packet_cache(q, 1000000);
  EXPECT_EQ(s.out.lines().size(), 2u);
  EXPECT_TRUE(ends_with(s.out.lines()[0], "DEBUGPCTRL: Port not open."));
  EXPECT_TRUE(ends_with(s.out.lines()[1], "DEBUGPDATA: Port not open."));
  s.out.clear();

  ASSERT_EQ(udp_new(&q->udp_control), 0);
  udp_new_packet_cache(q->udp_control, 4);
  snprintf(q->udp_control->send_hostport, sizeof q->udp_control->send_hostport, "127.0.0.1:5330");
  std::vector<unsigned char> pkt(70);
  for (size_t i = 0; i < pkt.size(); i++) pkt[i] = static_cast<unsigned char>(i * 7);
  udp_put_packet_cache(q->udp_control, 1, 5, pkt.data());  // older
  udp_put_packet_cache(q->udp_control, 1, 70, pkt.data());

  q330_log_packet_cache(q, 0);
  auto lines = s.out.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(ends_with(lines[0], "DEBUGPCTRL: open=0, wait=0, sendto=0, recvfrom=0"));
  EXPECT_TRUE(ends_with(lines[1], "DEBUGPDATA: Port not open."));
  s.out.clear();

  q330_log_packet_cache(q, 1);  // the newest only
  lines = s.out.lines();
  ASSERT_EQ(lines.size(), 6u);
  const std::string header = after_prefix(lines[1], "tgt: XX_STA: ");
  ASSERT_EQ(header.size(), 37u + 42u) << lines[1];
  EXPECT_EQ(header.substr(0, 17), "DEBUGPCTRL: time=");
  EXPECT_TRUE(is_time_text(header.substr(17, 20))) << header;
  EXPECT_EQ(header.substr(37), ", type=1, hostport=127.0.0.1:5330, size=70");
  std::string expect[3];
  for (int i = 0; i < 70; i++) {
    char b[4];
    snprintf(b, sizeof b, "%2.2X", (i * 7) & 0xFF);
    expect[i / 32] += std::string(" ") + b;
  }
  for (int i = 0; i < 3; i++) EXPECT_TRUE(ends_with(lines[2 + i], "DEBUGPCTRL: " + expect[i])) << i;
  s.out.clear();

  q330_log_packet_cache(q, 1000000);
  EXPECT_EQ(s.out.lines().size(), 8u);  // both packets: 1 + 3 + 1 + 1 lines, then data
  udp_free(q->udp_control);
  q->udp_control = nullptr;
}

}  // namespace
