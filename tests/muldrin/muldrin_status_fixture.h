// A program record writing into a ring file, one datalogger session with status channels,
// and a recording stand-in for the repackager; shared by the status-channel, status-report,
// stash and point-of-contact tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "muldrin_datastatus.h"
#include "muldrin_write.h"
#include "packet/pkt.h"
#include "parse_pf.h"
#include "q330_dblk.h"
#include "q330_fixture.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

struct RepktPut {
  double time, twin, samptime, dt, calib, calper;
  std::string code, segtype;
  int sample;
};
inline std::vector<RepktPut> g_puts;
inline int g_flushes = 0;

inline Q330RepktBuf *fake_create(const char *, const char *, int) {
  static char token;
  return reinterpret_cast<Q330RepktBuf *>(&token);
}
inline int fake_put(Q330RepktBuf *, double t, double twin, const char *net, const char *sta,
                    const char *chan, const char *loc, double st, double dt, double calib,
                    double calper, const char *seg, int, const int32_t *data) {
  g_puts.push_back({t, twin, st, dt, calib, calper,
                    std::string(net) + "_" + sta + "_" + chan + "_" + loc, seg, data[0]});
  return 0;
}
inline int fake_flush(Q330RepktBuf *) { return ++g_flushes, 0; }

inline const Q330DataStatusDef *data_def(const char *name) {
  for (const auto &d : q330_data_status_defs)
    if (strcmp(d.name, name) == 0) return &d;
  return nullptr;
}
inline const Q330StatusDef *prog_def(const char *name) {
  for (const auto &d : q330_status_defs)
    if (strcmp(d.name, name) == 0) return &d;
  return nullptr;
}

struct RingPacket {
  std::string srcname;
  double time;
  std::string bytes;
};

class StatusFixture : public ::testing::Test {
 protected:
  MuldrinRepkt saved_repkt_;
  void SetUp() override {
    q330_dblk_init();
    path_ = dir_.file("r.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 20), 0);
    tag_.orbw = orbopen(path_.c_str(), "w");
    tag_.orbname = const_cast<char *>("ring1");
    reader_ = orbopen(path_.c_str(), "r");
    m_.target_name = const_cast<char *>("TA");
    m_.log_srcname = const_cast<char *>("TA/log");
    m_.status_srcname = const_cast<char *>("TA/pf/st");
    m_.log = m_.status = &tag_;
    m_.pendingstashrequest = 0;
    m_.dlnames_tbl = newtbl(0);
    m_.q330s_tbl = newtbl(0);
    m_.q330s_arr = newarr(nullptr);
    ASSERT_EQ(muldrin_write_setup(&m_), 0);
    q_ = add_session("SIM1", 1);
    saved_repkt_ = muldrin_repkt;
    muldrin_repkt = {fake_create, fake_put, fake_flush};
    g_puts.clear();
    g_flushes = 0;
    muldrin_datastatus_reset();
    pdef_ = PacketDef{};
    pdef_.orbtag = &tag_;
    snprintf(pdef_.name, sizeof pdef_.name, "genc");
    snprintf(pdef_.suffix, sizeof pdef_.suffix, "GENC");
    pdef_.twin = 60;
  }
  void TearDown() override {
    muldrin_repkt = saved_repkt_;
    muldrin_write_teardown(&m_);
    for (Q330 *q : sessions_) {
      freearr(q->params.status_chan_arr, [](void *p) { delete static_cast<Q330StatusChan *>(p); });
      free(q->params.q330_serial_number);
      free(q->params.q330_ipaddress);
      free(q->out_srcname_log);
      free_session(q);
    }
    freetbl(m_.dlnames_tbl, nullptr);
    freetbl(m_.q330s_tbl, nullptr);
    freearr(m_.q330s_arr, nullptr);
    if (pdef_.pkt != nullptr) freePkt(pdef_.pkt);
    orbclose(reader_);
    orbclose(tag_.orbw);
  }
  Q330 *add_session(const char *name, int port) {
    Q330 *q = q330_create(nullptr, nullptr);
    set_q330_str(&q->params.dlname, name);
    set_q330_str(&q->params.q330_serial_number, "0100000000000ABC");
    q->params.q330_port_logical = port;
    q->target_name = strdup("TA");
    q->out_srcname_log = strdup((std::string("TA_") + name + "/log").c_str());
    q->params.status_chan_arr = newarr(nullptr);
    pushtbl(m_.dlnames_tbl, q->params.dlname);
    pushtbl(m_.q330s_tbl, q);
    setarr(m_.q330s_arr, name, q);
    sessions_.push_back(q);
    return q;
  }
  // A status channel named after its definition, with its pf key and log output.
  Q330StatusChan *add_chan(Q330 *q, const char *name, bool waveform, const char *chan = "VEP") {
    auto *sc = new Q330StatusChan{};
    int type = 0;
    sc->stdef = q330_get_status_from_name(name, &type);
    sc->type = type;
    snprintf(sc->pfkey, sizeof sc->pfkey, "%s", name);
    snprintf(sc->net, sizeof sc->net, "TA");
    snprintf(sc->sta, sizeof sc->sta, "SIM1");
    snprintf(sc->chan, sizeof sc->chan, "%s", chan);
    sc->outputthischan_log = 1;
    sc->outputthischan_pf = 1;
    sc->output_wf_pdef = waveform ? &pdef_ : nullptr;
    setarr(q->params.status_chan_arr, name, sc);
    return sc;
  }
  std::vector<RingPacket> reap() {
    std::vector<RingPacket> got;
    char *buf = nullptr;
    int bufsize = 0, nbytes = 0, id = 0;
    char src[ORBSRCNAME_SIZE];
    double t = 0;
    while (orbreap_nd(reader_, &id, src, &t, &buf, &nbytes, &bufsize) == 0)
      got.push_back({src, t, std::string(buf != nullptr ? buf : "", nbytes)});
    free(buf);
    return got;
  }
  // The texts of the log packets in the ring.
  std::vector<std::string> log_lines() {
    std::vector<std::string> out;
    for (auto &p : reap())
      if (p.srcname.size() > 4 && p.srcname.compare(p.srcname.size() - 4, 4, "/log") == 0)
        out.push_back(p.bytes.substr(8, strnlen(p.bytes.data() + 8, p.bytes.size() - 8)));
    return out;
  }
  // Items queued by muldrin_output, as (type, text of types 3 and 4), freed.
  std::vector<std::pair<int, std::string>> drain_queue() {
    std::vector<std::pair<int, std::string>> out;
    for (Pmtfifo *f : {m_.mtfifo_urgent, m_.mtfifo_write}) {
      void *item = nullptr;
      while (pmtfifo_data_available(f) > 0 && pmtfifo_pop(f, &item) == 1) {
        auto *o = static_cast<Q330Output *>(item);
        if (o == nullptr) continue;
        if (o->type == Q330_OUT_STATUS) {
          char *s = pf2string(static_cast<Pf *>(o->q330data));
          out.emplace_back(o->type, s != nullptr ? s : "");
          free(s);
          pffree(static_cast<Pf *>(o->q330data));
        } else {
          out.emplace_back(o->type, o->q330data != nullptr ? static_cast<char *>(o->q330data) : "");
          free(o->q330data);
        }
        delete o;
      }
    }
    return out;
  }

  TempDir dir_;
  std::string path_;
  Orbtag tag_;
  int reader_ = -1;
  Muldrin m_;
  Q330 *q_ = nullptr;
  std::vector<Q330 *> sessions_;
  PacketDef pdef_{};
  ClockScale scale_{0.001};
};
