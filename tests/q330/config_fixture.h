// config_fixture.h - a session that the Q330 simulator answers as registered, for the
// configuration readout and channel set-up tests. Pauses return at once (driven sleep);
// receive time-outs are real and short.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "parse_pf.h"
#include "q330_config.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330sim.h"
#include "q330sim_config.h"

struct InstantSleeps {
  ClockDriver driver{
      [](void *) {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
      },
      [](void *) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
      },
      [](double, void *) {}, nullptr};
  InstantSleeps() { clock_set_driver(&driver); }
  ~InstantSleeps() { clock_set_driver(nullptr); }
};

struct ConfigRig {
  InstantSleeps clock;
  Q330Sim sim;
  Q330 *q;
  OutputRecorder rec;
  PacketDef pdef{};  // what a produced channel is bound to
  char error[512] = "";

  explicit ConfigRig(int logical = 1) : sim(options(logical)) {
    EXPECT_EQ(sim.start(), 0);
    q = q330_create(OutputRecorder::callback, nullptr);
    rec.attach(q);
    Q330DLParams &p = q->params;
    set_q330_str(&p.q330_ipaddress, "127.0.0.1");
    set_q330_str(&p.local_ipaddr, "127.0.0.1");
    set_q330_str(&p.q330_serial_number, "0100000012345678");
    p.q330_port_base = sim.base_port();
    p.q330_port_logical = logical;
    p.timeout_control = 0.2;
    p.maxretries_control = 2;
    p.shutdown_timeout = 1000;
    EXPECT_EQ(set_q330_hostport(q), 0);
    q->state_registered = 1;  // the simulator answers any session
  }
  ~ConfigRig() {
    sim.stop();
    udp_free(q->udp_control);
    udp_free(q->udp_data);
    Q330DLParams &p = q->params;
    for (char *s :
         {q->q330_hostport_control, q->q330_hostport_data, p.q330_ipaddress, p.local_ipaddr,
          p.q330_serial_number, p.q330_com, p.dptokens_port_1, p.dptokens_port_2})
      free(s);
    for (Q330Chan *c : p.ep_channels) delete c;
    for (Qtpb14Tokens *t : q->config.dptokens)
      if (t) q330_free_qtpb14_tokens(t), free(t);
    free_session(q);
  }
  static Q330SimOptions options(int logical) {
    Q330SimOptions o;
    o.logical = logical;
    return o;
  }
  // The session produces data_chan[stream][physical] with these codes.
  void produce(int stream, int physical, const char *net = "XX", const char *sta = "STA",
               const char *chan = "BHZ", const char *loc = "") {
    Q330Chan &c = q->params.data_chan[stream][physical];
    c.outputthischan = 1;
    c.user_data = &pdef;
    snprintf(c.net, sizeof c.net, "%s", net);
    snprintf(c.sta, sizeof c.sta, "%s", sta);
    snprintf(c.chan, sizeof c.chan, "%s", chan);
    snprintf(c.loc, sizeof c.loc, "%s", loc);
  }
  // An EP channel of the parameters; bound to a packet definition or not.
  Q330Chan *ep_channel(int number, bool wanted) {
    Q330Chan *&c = q->params.ep_channels[number];
    if (!c) c = new Q330Chan{};
    c->ep_channel = number;
    c->outputthischan_pf = wanted ? 1 : 0;
    return c;
  }
  bool logged(const std::string &needle) {
    for (const std::string &l : rec.lines())
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  int logged_count(const std::string &needle) {
    int n = 0;
    for (const std::string &l : rec.lines()) n += l.find(needle) != std::string::npos;
    return n;
  }
  int sent(int command) { return sim.count(command); }
};
