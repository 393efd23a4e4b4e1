// The remote-command handler on a real command service over a temporary ring: signed
// commands in, responses read back, three sessions whose control threads are scripted.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "muldrin_cmd.h"
#include "muldrin_run.h"
#include "muldrin_write.h"
#include "q330_fixture.h"
#include "q330sim.h"
#include "q330sim_commands.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringsvc/dlcmpkt.h"
#include "support/hostid.h"
#include "testkit/testkit.h"

namespace {

using namespace std::chrono_literals;

int fake_forward(const char *, unsigned *address, std::string *official) {
  *address = htonl(0x7f000005);
  *official = "svchost";
  return 0;
}
int fake_reverse(unsigned, std::string *) { return -1; }
const HostResolver kResolver = {fake_forward, fake_reverse};

struct Response {
  Pf *pf = nullptr;
  std::string text;
  std::string get(const char *key) const {
    const char *v = pf ? pfget_string(pf, key) : nullptr;
    return v ? v : "(none)";
  }
};

class Handler : public ::testing::Test {
 protected:
  void SetUp() override {
    hostid_set_resolver(&kResolver);
    hostid_reset();
    myshutdown = 0;
    m_.target_name = strdup("q1");
    m_.q330s_tbl = newtbl(3);
    ASSERT_EQ(muldrin_write_setup(&m_), 0);
    const char *names[] = {"dl1", "dl2", "dl3"};
    for (int i = 0; i < 3; i++) {
      Q330 *q = q330_create(OutputRecorder::callback, nullptr);
      recs_[i].attach(q);
      set_q330_str(&q->params.dlname, names[i]);
      set_q330_str(&q->params.q330_serial_number, ("010000000000000" + std::to_string(i)).c_str());
      set_q330_str(&q->params.q330_com, "udp:test");
      q->params.statusrequest_interval = 5;
      ASSERT_EQ(q330_thread_start(q), 0);
      q330s_[i] = q;
      pushtbl(m_.q330s_tbl, q);
    }
    path_ = dir_.file("cmd.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 20), 0);
    orbcmd_ = orbopen(path_.c_str(), "r");
    orbrsp_ = orbopen(path_.c_str(), "w");
    sender_ = orbopen(path_.c_str(), "w");
    listener_ = orbopen(path_.c_str(), "r");
    ASSERT_EQ(orbselect(listener_, "op/pf/rsp"), 0);
    cth_ = cmdthread_new(nullptr, orbcmd_, orbrsp_, "q1", "q330", muldrin::cmdthread_callback, &m_);
    ASSERT_NE(cth_, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(cmdthread_destroy(cth_), 0);
    for (int orb : {orbcmd_, orbrsp_, sender_, listener_}) orbclose(orb);
    for (auto &c : controls_) c.reset();
    for (Q330 *q : q330s_) {
      free(q->params.q330_serial_number);
      free(q->params.q330_com);
      free(q->params.q330_ipaddress);
      free_session(q);
    }
    muldrin_write_teardown(&m_);
    freetbl(m_.q330s_tbl, nullptr);
    free(m_.target_name);
    myshutdown = 0;
    hostid_set_resolver(nullptr);
    hostid_reset();
    elog_clear_register(0);
  }
  void script(int i, std::deque<ScriptedControl::Step> steps) {
    controls_[i] = std::make_unique<ScriptedControl>(q330s_[i], std::move(steps));
  }
  void send(const std::string &cmd, const std::string &dlnames = "") {
    std::string text = "command " + cmd + "\n" + cmdtime_line() +
                       "username op\nhostname ophost\nip 127.0.0.9\nsequence s1\nreply "
                       "op/pf/rsp\n" +
                       (dlnames.empty() ? "" : "dlnames " + dlnames + "\n");
    ASSERT_EQ(pfcmdstring2orb(text.c_str(), "q1/pf/dlcm", sender_), 0);
  }
  // The next response, waiting up to 10 s of real time.
  Response response() {
    Response r;
    auto end = std::chrono::steady_clock::now() + 10s;
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0, pktid;
    char src[ORBSRCNAME_SIZE];
    double t;
    while (std::chrono::steady_clock::now() < end) {
      if (orbreap_nd(listener_, &pktid, src, &t, &buf, &nbytes, &bufsize) == 0) {
        EXPECT_EQ(dlcm_decode(buf, nbytes, &r.text), 1);
        EXPECT_EQ(pfcompile(r.text.c_str(), &r.pf), 0);
        break;
      }
      std::this_thread::sleep_for(1ms);
    }
    free(buf);
    EXPECT_NE(r.pf, nullptr) << "no response";
    return r;
  }
  // (dlname, disposition, error text) of the next n responses.
  std::vector<std::vector<std::string>> responses(int n) {
    std::vector<std::vector<std::string>> out;
    for (int i = 0; i < n; i++) {
      Response r = response();
      const char *err = r.pf ? pfget_string(r.pf, "error") : nullptr;
      out.push_back({r.get("dlname"), r.get("disposition"), err ? err : ""});
      pffree(r.pf);
    }
    return out;
  }

  ClockScale scale_{0.01};
  TempDir dir_;
  std::string path_;
  int orbcmd_ = -1, orbrsp_ = -1, sender_ = -1, listener_ = -1;
  Muldrin m_;
  Q330 *q330s_[3] = {};
  OutputRecorder recs_[3];
  std::unique_ptr<ScriptedControl> controls_[3];
  CmdThread *cth_ = nullptr;
};

using R = std::vector<std::vector<std::string>>;

TEST_F(Handler, DelayedDispositions) {
  send("start", "dl1|dl2");
  EXPECT_EQ(responses(2), (R{{"dl1", "donedl", ""}, {"dl2", "done", ""}}));
  EXPECT_EQ(q330s_[0]->state_acquisition.load(), Q330_ACQ_REGISTER);
  EXPECT_EQ(q330s_[1]->state_acquisition.load(), Q330_ACQ_REGISTER);
  EXPECT_EQ(q330s_[2]->state_acquisition.load(), Q330_ACQ_STOPPED);
  bool seen = false;
  for (const std::string &l : recs_[0].lines())
    seen |= l.find("Processing user command start") != std::string::npos;
  EXPECT_TRUE(seen);

  // The first of two fails its calibration: its own error, "errordl"; the second "done".
  script(0, {{ScriptedControl::Reply, "ERROR: calibrate 0 duration not allowed - too small."}});
  script(1, {});
  send("calibrate -sensor_control_bitmap 1", "dl[12]");
  EXPECT_EQ(responses(2),
            (R{{"dl1", "errordl", "ERROR: calibrate 0 duration not allowed - too small."},
               {"dl2", "done", ""}}));
  {
    std::lock_guard<std::mutex> lock(controls_[1]->mutex);
    EXPECT_EQ(controls_[1]->commands, std::vector<std::string>{"calibrate"});
  }

  // A failed calibration stop is an error, never "done".
  script(2, {{ScriptedControl::Reply, "q330_calibrate_stop_pvt() error"}});
  send("calstop", "dl3");
  EXPECT_EQ(responses(1), (R{{"dl3", "error", "q330_stop_calibration() error"}}));

  // A user message: the text after "umsg "; alone, an empty one.
  send("umsg hello there", "dl2");
  send("umsg", "dl2");
  EXPECT_EQ(responses(2), (R{{"dl2", "done", ""}, {"dl2", "done", ""}}));
  std::lock_guard<std::mutex> lock(controls_[1]->mutex);
  ASSERT_EQ(controls_[1]->kept.size(), 3u);
  EXPECT_STREQ(pfget_string(controls_[1]->kept[1], "msg"), "hello there");
  EXPECT_STREQ(pfget_string(controls_[1]->kept[2], "msg"), "");
}

TEST_F(Handler, SetAndArgumentErrors) {
  send("set throttle -5", "dl1");
  send("set local_port_data 70000", "dl1");
  send("set data_drop_packet_pcnt 150", "dl1");
  send("set debug_udp 2", "dl1");
  EXPECT_EQ(
      responses(4),
      (R{{"dl1", "done", ""}, {"dl1", "done", ""}, {"dl1", "done", ""}, {"dl1", "done", ""}}));
  const Q330DLParams &p = q330s_[0]->params;
  EXPECT_EQ(p.throttle, 0);
  EXPECT_EQ(p.local_port_data, 65535);
  EXPECT_EQ(p.data_drop_packet_pcnt, 100.0);
  EXPECT_EQ(p.debug_udp, 2);
  EXPECT_EQ(q330s_[1]->params.debug_udp, 0);

  send("set q330_ipaddress 127.0.0.7");  // every datalogger
  EXPECT_EQ(responses(3), (R{{"dl1", "donedl", ""}, {"dl2", "donedl", ""}, {"dl3", "done", ""}}));
  EXPECT_STREQ(q330s_[2]->params.q330_ipaddress, "127.0.0.7");
  EXPECT_EQ(q330s_[2]->params.q330_reset_ipaddress, 1);

  // Argument errors: one "error" without names, nothing changed.
  send("set throttle", "dl1");
  send("set frobnicate 1", "dl1");
  send("set", "dl1");
  send("set throttle 5", "dl1");
  send("frobnicate now", "dl1");
  EXPECT_EQ(responses(5), (R{{"(none)", "error", "no set value"},
                             {"(none)", "error", "unrecognized set key 'frobnicate'"},
                             {"(none)", "error", "no set key"},
                             {"(none)", "error", "set throttle 5 not allowed"},
                             {"(none)", "error", "unrecognized command"}}));
  EXPECT_EQ(p.throttle, 0);

  // No datalogger matches: no response at all; the next command's answer comes first.
  send("start", "zz");
  send("set frobnicate 2", "zz");
  EXPECT_EQ(responses(1), (R{{"(none)", "error", "unrecognized set key 'frobnicate'"}}));
  EXPECT_EQ(q330s_[0]->state_acquisition.load(), Q330_ACQ_STOPPED);
}

// Every number "set" takes refuses NaN, infinities, numbers too large for it and values
// outside its range with one "error" saying why; no datalogger changes.
TEST_F(Handler, SetNumbersRefuseNanInfinityAndOutOfRange) {
  struct Key {
    const char *key;
    const char *out_of_range;
  } keys[] = {
      {"throttle", "2147483648"},
      {"local_port_control", "-2147483649"},
      {"local_port_data", "2147483648"},
      {"data_drop_packet_pcnt", "1001"},
      {"control_drop_packet_pcnt", "-1001"},
      {"freeze_datathread_time", "86401"},
      {"freeze_controlthread_time", "-1"},
      {"log_packet_cache", "-1"},
      {"verbose_log", "2147483648"},
      {"debug_data", "2147483648"},
      {"debug_ack", "2147483648"},
      {"debug_control", "2147483648"},
      {"debug_udp", "2147483648"},
      {"stop_acks", "2147483648"},
  };
  const Q330DLParams &p = q330s_[0]->params;
  const int throttle = p.throttle, port = p.local_port_data, freeze = p.freeze_controlthread_time,
            udp = p.debug_udp;
  const double drop = p.data_drop_packet_pcnt;
  for (const Key &k : keys) {
    for (const char *bad : {"nan", "inf", "-inf", "1e999", k.out_of_range}) {
      SCOPED_TRACE(std::string(k.key) + " " + bad);
      send(std::string("set ") + k.key + " " + bad, "dl1");
      R got = responses(1);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0][0], "(none)");
      EXPECT_EQ(got[0][1], "error");
      EXPECT_EQ(got[0][2].rfind(std::string("key '") + k.key + "': '" + bad + "' is ", 0), 0u)
          << got[0][2];
    }
  }
  EXPECT_EQ(p.throttle, throttle);
  EXPECT_EQ(p.local_port_data, port);
  EXPECT_EQ(p.data_drop_packet_pcnt, drop);
  EXPECT_EQ(p.freeze_controlthread_time, freeze);
  EXPECT_EQ(p.debug_udp, udp);
}

TEST_F(Handler, ConfigAndStatusReports) {
  // A failed forced readout is answered with its error, not with the old configuration.
  script(0, {{ScriptedControl::Reply, "ERROR: config readout failed"}});
  script(1, {});
  send("getconfig -force", "dl1|dl2");
  EXPECT_EQ(responses(2),
            (R{{"dl1", "errordl", "ERROR: config readout failed"}, {"dl2", "done", ""}}));
  EXPECT_EQ(q330s_[1]->need_config.load(), 1);

  q330s_[1]->config.config_pkt.fix.flags = 0x40;
  q330s_[1]->config.c3_annc_time = 1.0;
  q330s_[1]->config.c3_annc.number_of_active_entries = 1;
  send("getconfig", "dl2");
  Response r = response();
  EXPECT_EQ(r.get("disposition"), "done");
  Pf *config = nullptr;
  ASSERT_EQ(pfget(r.pf, "config", reinterpret_cast<void **>(&config)), PFARR);
  for (const char *key : {"time", "fix", "glob", "sc", "log", "phyc1", "man", "spp", "gid", "dcp",
                          "dev", "epcfg", "epd", "phyc2", "gpsc2", "amassc2", "annc"})
    EXPECT_NE(pfget(config, key, nullptr), PFINVALID) << key;
  pffree(r.pf);

  // Forced status that never arrives: all matching dataloggers share one 2 x interval wait.
  double start = clock_monotonic();
  send("getstatus -force", "dl1|dl2");
  R got = responses(2);
  double waited = clock_monotonic() - start;
  EXPECT_EQ(got, (R{{"dl1", "donedl", ""}, {"dl2", "done", ""}}));
  EXPECT_GE(waited, 9.0);
  EXPECT_LT(waited, 19.0);
  EXPECT_EQ(q330s_[0]->full_status, 1);
  EXPECT_EQ(q330s_[2]->full_status, 0);
  send("getstatus", "dl3");
  r = response();
  Pf *status = nullptr;
  ASSERT_EQ(pfget(r.pf, "status", reinterpret_cast<void **>(&status)), PFARR);
  for (const char *key : {"time", "glob", "gps", "pwr", "boom", "thread", "pll", "log", "serial",
                          "eth", "baler", "dynip", "aux"})
    EXPECT_NE(pfget(status, key, nullptr), PFINVALID) << key;
  pffree(r.pf);
}

TEST_F(Handler, ControlThroughTheConfigurationPort) {
  Q330Sim sim{Q330SimOptions{}};
  ASSERT_EQ(sim.start(), 0);
  auto model = sim.commands();
  {
    std::lock_guard<std::mutex> lock(model->mutex);
    model->auth_code = 0x77;
    model->annc.active = 1;
    model->annc.entries[0].port = 5330;
  }
  Q330DLParams &p = q330s_[1]->params;
  set_q330_str(&p.q330_ipaddress, "127.0.0.1");
  set_q330_str(&p.q330_serial_number, "0100000012345678");
  p.q330_port_base = sim.base_port();
  p.q330_authentication_codes = newtbl(2);
  pushtbl(p.q330_authentication_codes, strdup("1"));
  pushtbl(p.q330_authentication_codes, strdup("77"));
  p.q330_authentication_codes_last_entry = 1;

  send("control eeprom reboot", "dl2");
  EXPECT_EQ(responses(1), (R{{"dl2", "done", ""}}));
  send("control getannc", "dl2");
  Response r = response();
  EXPECT_EQ(r.get("disposition"), "done");
  Pf *annc = nullptr;
  ASSERT_EQ(pfget(r.pf, "annc", reinterpret_cast<void **>(&annc)), PFARR) << r.text;
  EXPECT_STREQ(pfget_string(annc, "number_of_active_entries"), "1");
  pffree(r.pf);
  EXPECT_GT(q330s_[1]->config.c3_annc_time, 0);
  EXPECT_EQ(q330s_[1]->config.c3_annc.entries[0].dp_udp_port, 5330);
  send("control sbpwr serial9", "dl2");
  EXPECT_EQ(responses(1),
            (R{{"dl2", "error", "q330config_C2_SBPWR: Unrecognized interface 'serial9'."}}));
  // A datalogger that cannot be registered answers with the registration's error.
  send("control resync", "dl1");
  EXPECT_EQ(responses(1), (R{{"dl1", "error", "q330config_register: NULL q330 ip address."}}));
  std::lock_guard<std::mutex> lock(model->mutex);
  EXPECT_EQ(model->ctrl_flags, std::vector<uint16_t>{0x03});
  EXPECT_FALSE(model->registered);  // deregistered after each exchange
  freetbl(p.q330_authentication_codes, free);
  p.q330_authentication_codes = nullptr;
}

TEST_F(Handler, QuitTakesNoFurtherCommand) {
  ClockWatch watch(0.01);
  send("quit");
  Response r = response();
  EXPECT_EQ(r.get("disposition"), "done");
  EXPECT_EQ(r.get("dlname"), "(none)");
  pffree(r.pf);
  EXPECT_EQ(myshutdown.load(), 1);
  send("start", "dl1");
  send("set frobnicate 3");
  // The command thread stays in the quit, pausing 1 s at a time: while it does, the
  // commands sent after it are not carried out.
  int before = watch.sleeps(1.0);
  ASSERT_TRUE(watch.wait_sleeps(1.0, before + 2));
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0, pktid;
  char src[ORBSRCNAME_SIZE];
  double t;
  EXPECT_NE(orbreap_nd(listener_, &pktid, src, &t, &buf, &nbytes, &bufsize), 0);
  free(buf);
  EXPECT_EQ(q330s_[0]->state_acquisition.load(), Q330_ACQ_STOPPED);
  // Ending the service lets the quit go, before the watched clock goes away.
  EXPECT_EQ(cmdthread_destroy(cth_), 0);
  cth_ = nullptr;
}

}  // namespace
