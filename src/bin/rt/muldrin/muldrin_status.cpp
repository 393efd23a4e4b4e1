// muldrin_status.cpp - the status report and the status thread.
#include "muldrin_status.h"

#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "base/threadstart.h"
#include "muldrin_datastatus.h"
#include "muldrin_write.h"
#include "q330_dblk.h"

namespace {

bool g_status_started = false;  // main thread only
// Raised by the status thread as it ends, so that the shutdown's wait for it is bounded.
std::atomic<int> g_status_ended{0};

void add(std::string &s, const char *f, ...) __attribute__((format(printf, 2, 3)));
void add(std::string &s, const char *f, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  s += buf;
  s += '\n';
}

long rnd(double v) { return std::lround(v); }

void status_chan_line(std::string &s, const Q330StatusChan *sc) {
  const char *key = sc->pfkey;
  if (sc->time == 0) return add(s, "%s -", key);
  int kind = muldrin_status_kind(sc->stdef);
  if (kind == 2) {
    auto *def = static_cast<const Q330DataStatusDef *>(sc->stdef);
    uint32_t v = sc->value;
    switch (def->type) {
      case 1:
      case 2:
      case 8:
      case 17:
      case 18:
      case 19:
        return add(s, "%s %d", key, static_cast<int>(v));
      case 3:
        if (v < 16 && def->entries[v].name != nullptr)
          return add(s, "%s %s", key, def->entries[v].name);
        return add(s, "%s %u", key, v);
      case 4:
        return add(s, "%s%s", key, muldrin_status_bit_names(def, v).c_str());
      case 6:
        return add(s, "%s flag", key);
      case 11:
        return add(s, "%s %.3f", key, static_cast<int32_t>(v) * def->calib);
      case 13:
        return add(s, "%s %ld", key, rnd(v * def->calib));
      default:
        return add(s, "%s %.3f", key, v * def->calib);
    }
  }
  if (kind == 1) {
    auto *def = static_cast<const Q330StatusDef *>(sc->stdef);
    double d = sc->dvalue;
    switch (def->type) {
      case 1:
      case 2:
        return add(s, "%s %ld", key, rnd(d));
      case 6:
        return add(s, "%s flag", key);
      case 13:
        if (d == def->null_value) return add(s, "%s -", key);
        return add(s, "%s %ld", key, rnd(d));
      case 14:
        return add(s, "%s %.1f", key, d);
      default:
        if (d == def->null_value) return add(s, "%s -", key);
        return add(s, "%s %.3f", key, d);
    }
  }
  add(s, "%s -", key);
}

void datalogger_block(std::string &s, Muldrin *m, Q330 *q, int partial) {
  add(s, "%s &Arr{", q->params.dlname != nullptr ? q->params.dlname : "");
  add(s, "%s", muldrin_status_conword(q->state_acquisition.load(), q->first_data.load()));
  if (partial && m->statusreport_verbosity <= 1) {
    add(s, "}");
    return;
  }
  Q330DLParams &p = q->params;
  uint32_t ptag, nrb, trb;
  {
    std::lock_guard<std::mutex> lock(q->config.config_mutex);
    ptag = q->config.config_pkt.fix.kmi_property_tag;
    nrb = q->config.config_pkt.fix.total_number_of_reboots;
    trb = q->config.config_pkt.fix.time_of_last_reboot;
  }
  uint32_t resyncs, tresync;
  uint16_t logflags = 0;
  double glat, glon, gelev;
  {
    std::lock_guard<std::mutex> lock(q->status.status_pkt_mutex);
    const Q330STATPkt &st = q->status.status_pkt;
    resyncs = st.glob.total_number_of_resyncs;
    tresync = st.glob.time_of_last_resync;
    int port = p.q330_port_logical;
    if (port >= 1 && port <= 4) logflags = st.log[port - 1].flags;
    glat = st.gps.lat;
    glon = st.gps.lon;
    gelev = st.gps.elev;
  }
  add(s, "inp %s", q330_link_text(q).c_str());
  add(s, "sn %s", q330_serial_text(q).c_str());
  add(s, "pt %u", ptag);
  add(s, "nrb %u", nrb);
  add(s, "trb %u", static_cast<unsigned>(trb + q->epoch_2000 + 0.5));
  add(s, "nc %d", q->unit_nchannels);
  add(s, "dbd %d", p.debug_data);
  add(s, "dbc %d", p.debug_control);
  add(s, "dbu %d", p.debug_udp);
  std::lock_guard<std::mutex> lock(q->status.status_mutex);
  Tbl *keys = p.status_chan_arr != nullptr ? keysarr(p.status_chan_arr) : nullptr;
  for (long i = 0; i < maxtbl(keys); i++) {
    auto *sc = static_cast<Q330StatusChan *>(
        getarr(p.status_chan_arr, static_cast<char *>(gettbl(keys, i))));
    if (sc != nullptr && sc->outputthischan_pf) status_chan_line(s, sc);
  }
  freetbl(keys, nullptr);
  for (Q330Chan *c : p.ep_channels) {
    if (c == nullptr || !c->outputthischan_pf || c->pfkey[0] == '\0' || strcmp(c->pfkey, "-") == 0)
      continue;
    if (c->pf_dvalue > 1.0e30)
      add(s, "%s -", c->pfkey);
    else
      add(s, "%s %.3g", c->pfkey, static_cast<double>(c->pf_dvalue));
  }
  if (q->status.status_pkt_null) {
    add(s, "nrs -");
    add(s, "trs -");
    add(s, "meme -");
  } else {
    add(s, "nrs %u", resyncs);
    add(s, "trs %u", static_cast<unsigned>(tresync + q->epoch_2000 + 0.5));
    add(s, "meme %d", (logflags & 0x8000) != 0 ? 1 : 0);
    // The kept position follows the GPS while it reports one.
    if (gelev != -999) q->status.elev = gelev;
    if (glat != -999) q->status.lat = glat;
    if (glon != -999) q->status.lon = glon;
  }
  Q330Status &st = q->status;
  bool none = st.elev == 0 && st.lat == 0 && st.lon == 0;
  if (none) {
    add(s, "elev -");
    add(s, "lat -");
    add(s, "lon -");
  } else {
    add(s, "elev %.4f", st.elev / 1000.0);
    add(s, "lat %.6f", st.lat);
    add(s, "lon %.6f", st.lon);
  }
  add(s, "}");
}

}  // namespace

const char *muldrin_status_conword(Q330AcqState state, int first_data) {
  switch (state) {
    case Q330_ACQ_WAITING:
      return "con waiting";
    case Q330_ACQ_HIBERNATING:
      return "con hibernating";
    case Q330_ACQ_SLEEPING:
      return "con sleeping";
    case Q330_ACQ_STOPPED:
    case Q330_ACQ_KILL:
      return "con stopped";
    case Q330_ACQ_REGISTER:
      return "con reg";
    case Q330_ACQ_OPEN_DATA:
    case Q330_ACQ_SHUTDOWN:
    case Q330_ACQ_RESTART_LINK:
    case Q330_ACQ_RESTART_DATA:
      return "con su";
    case Q330_ACQ_ACQUIRING:
      return first_data ? "con su" : "con yes";
    default:
      return "con no";
  }
}

char *muldrin_make_status(int partial) {
  Muldrin *m = muldrin_write_program();
  if (m == nullptr) return nullptr;
  std::string s;
  add(s, "target %s", m->target_name != nullptr ? m->target_name : "");
  add(s, "ver %s", m->version != nullptr ? m->version : "");
  add(s, "type dl");
  add(s, "model q330");
  add(s, "rtm %.3f", clock_now() - m->start_time);
  if (!partial || m->statusreport_verbosity > 1) {
    add(s, "hostname %s", m->hostname != nullptr ? m->hostname : "");
    if (m->cmd != nullptr) {
      const char *n = m->cmd->orbname_resolved != nullptr ? m->cmd->orbname_resolved
                      : m->cmd->orbname != nullptr        ? m->cmd->orbname
                                                          : "";
      add(s, "orbc %s", n);
    }
    add(s, "pid %d", static_cast<int>(getpid()));
    int itvl = m->statusreport_interval;
    add(s, "itvl %d", itvl < 1 ? 1 : itvl);
  }
  add(s, "dls &Arr{");
  for (long i = 0; i < maxtbl(m->dlnames_tbl); i++) {
    auto *name = static_cast<const char *>(gettbl(m->dlnames_tbl, i));
    auto *q = name != nullptr && m->q330s_arr != nullptr
                  ? static_cast<Q330 *>(getarr(m->q330s_arr, name))
                  : nullptr;
    if (q == nullptr) continue;
    if (partial) {
      if (q->pendingstatusrequest.exchange(0) == 0) continue;
    } else {
      q->pendingstatusrequest.store(0);
    }
    datalogger_block(s, m, q, partial);
  }
  add(s, "}");
  return strdup(s.c_str());
}

void *run_status_thread(void *) {
  Muldrin *m = muldrin_write_program();
  double next = 0;
  for (;;) {
    double now = clock_now();
    // Taken before the report is made, so a request that comes in meanwhile is answered
    // by the next turn.
    int requested = m->pendingstatusrequests.exchange(0);
    bool flush = m->flushstatus.load() != 0;
    if (flush || now > next) {
      next = now + m->statusreport_interval;
      char *text = muldrin_make_status(0);
      if (text == nullptr) {
        elog_complain(0, "run_status_thread: muldrin_make_status(0) error.\n");
      } else {
        muldrin_output(Q330_OUT_STATUS, text);
        free(text);
      }
      if (flush) {
        g_status_ended.store(1);
        return nullptr;
      }
    } else if (requested != 0 && m->statusreport_verbosity > 0) {
      char *text = muldrin_make_status(1);
      if (text == nullptr) {
        elog_complain(0, "run_status_thread: muldrin_make_status(1) error.\n");
      } else {
        muldrin_output(Q330_OUT_STATUS, text);
        free(text);
      }
    }
    clock_sleep(1.0);
  }
}

int muldrin_status_start(Muldrin *muldrin) {
  g_status_ended.store(0);
  if (threadstart_create(&muldrin->status_thread, THREAD_STATUS, run_status_thread, nullptr) != 0) {
    elog_log(1, "muldrin_status_start: pthread_create() error.\n");
    return -1;
  }
  g_status_started = true;
  return 0;
}

int muldrin_status_join(Muldrin *muldrin) {
  if (!g_status_started) return 0;
  for (int step = 0; step < MULDRIN_STATUS_JOIN_STEPS && g_status_ended.load() == 0; step++)
    clock_sleep(0.1);
  if (g_status_ended.load() == 0) {
    elog_complain(0, "muldrin_status_join: the status thread has not ended; not waited for.\n");
    return -1;
  }
  pthread_join(muldrin->status_thread, nullptr);
  g_status_started = false;
  return 0;
}
