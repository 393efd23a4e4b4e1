// config_fixture.h - a session that the Q330 simulator answers as registered, for the
// configuration readout and channel set-up tests. Pauses return at once (recorded);
// receive time-outs are real: 2 s, in which the simulator's thread answers however busy
// the machine (a late answer would be taken for a lost one, and its late arrival for a
// stale acknowledgement).
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
#include "sim_session.h"

struct ConfigRig {
  SleepRecorder clock;
  Q330Sim sim;
  Q330 *q;
  OutputRecorder rec;
  PacketDef pdef{};  // what a produced channel is bound to
  char error[512] = "";

  explicit ConfigRig(int logical = 1) : sim(options(logical)) {
    EXPECT_EQ(sim.start(), 0);
    q = q330_create(OutputRecorder::callback, nullptr);
    rec.attach(q);
    q->params.shutdown_timeout = 1000;
    sim_session_point(q, sim, logical, 2.0, 2, "0100000012345678");
    q->state_registered = 1;  // the simulator answers any session
  }
  ~ConfigRig() {
    sim.stop();
    sim_session_release(q);
    Q330DLParams &p = q->params;
    for (char *s : {p.dptokens_port_1, p.dptokens_port_2}) free(s);
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
