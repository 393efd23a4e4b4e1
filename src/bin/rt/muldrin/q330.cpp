// q330.cpp - the Q330 session record, its queued commands, the acquisition-state setters
// and typed output (see q330.h).
#include "q330.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "base/timetext.h"
#include "q330_opcmds.h"
#include "support/stdtime.h"

namespace {

const char *nz(const char *s) { return s ? s : ""; }

// Drops one trailing newline.
void chomp(std::string *s) {
  if (!s->empty() && s->back() == '\n') s->pop_back();
}

// vsnprintf into a text of at most `limit` characters.
std::string vformat(size_t limit, const char *fmt, va_list ap) {
  std::string out(limit + 1, '\0');
  int n = vsnprintf(out.data(), out.size(), fmt ? fmt : "", ap);
  out.resize(n < 0 ? 0 : std::min(static_cast<size_t>(n), limit));
  return out;
}

std::string format(size_t limit, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
std::string format(size_t limit, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string s = vformat(limit, fmt, ap);
  va_end(ap);
  return s;
}

char *heap_copy(const std::string &s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (!p) return nullptr;
  memcpy(p, s.c_str(), s.size() + 1);
  return p;
}

std::string strtime_now() {
  char *t = q330_strtime(std_now());
  std::string s = t ? t : "";
  free(t);
  return s;
}

// Hands a log line, one trailing newline dropped, to the callback as a heap copy.
void deliver_line(Q330 *q330, int type, std::string line) {
  chomp(&line);
  char *copy = heap_copy(line);
  if (copy) q330->out_callback(q330, type, copy, 0);
}

void raise_status_flags(Q330 *q330) {
  q330->pendingstatusrequest = 1;
  if (q330->pendingstatusrequests) *q330->pendingstatusrequests = 1;
  q330_wake(q330);
}

// Waits until `done` holds for the acquisition state; every state change wakes it.
template <class Done>
void wait_for_state(Q330 *q330, Done done) {
  for (;;) {
    unsigned long seen = clock_event_seen(&q330->wake);
    if (done(q330->state_acquisition.load())) return;
    clock_event_wait(&q330->wake, seen, HUGE_VAL);
  }
}

void wake_cmd_waiters(Q330 *q330) {
  { std::lock_guard<std::mutex> lock(q330->cmd_mutex); }
  q330->cmd_cv.notify_all();
}

void copy_error(char *error, int err_sz, const std::string &text) {
  if (error && err_sz > 0) snprintf(error, static_cast<size_t>(err_sz), "%s", text.c_str());
}

void destroy_averages(Q330Status *st) {
  TAverage **all[] = {&st->ta_datagap_24h,  &st->ta_datagap_1h,   &st->ta_nlinks_24h,
                      &st->ta_nreboots_24h, &st->ta_npocs_24h,    &st->ta_nipchs_24h,
                      &st->ta_tput,         &st->ta_commeff_sent, &st->ta_commeff_resent};
  for (TAverage **ta : all) {
    taverage_destroy(*ta);
    *ta = nullptr;
  }
}

}  // namespace

// ---- Construction and start ---------------------------------------------------------------

int q330_params_initialize(Q330DLParams *qp) {
  *qp = Q330DLParams{};
  qp->local_port_control = qp->local_port_data = -1;
  qp->timeout_control = qp->timeout_data = -1.0;
  qp->maxretries_control = qp->maxretries_data = -1;
  qp->q330_port_base = qp->q330_port_logical = -1;
  qp->throttle = qp->throttle_q330 = -1;
  qp->log_flags = qp->log_mtu = qp->log_group_count = -1;
  qp->log_maximum_resend_timeout_dbl = -1.0;
  qp->log_maximum_resend_timeout = -1;
  qp->log_group_timeout_dbl = -1.0;
  qp->log_group_timeout = -1;
  qp->log_minimum_resend_timeout_dbl = -1.0;
  qp->log_minimum_resend_timeout = -1;
  qp->log_window_size = qp->log_acknowledge_count = -1;
  qp->log_acknowledge_timeout_dbl = -1.0;
  qp->log_acknowledge_timeout = -1;
  return 0;
}

Q330 *q330_create(Q330OutCallback out_callback, const Q330StateStore *statepf) {
  if (q330_pktdefs_init() != 0) {
    elog_complain(0, "q330_create: q330_pktdefs_init() error.\n");
    return nullptr;
  }
  q330_dblk_init();
  Q330 *q330 = new (std::nothrow) Q330;
  if (!q330) {
    elog_complain(0, "q330_create: malloc() error.\n");
    return nullptr;
  }
  q330->out_callback = out_callback;
  q330->epoch_2000 = str2epoch("1/1/2000 00:00:00");
  q330->sequence = 0;
  q330->data_out_size = 2000;
  q330->data_out = static_cast<unsigned char *>(calloc(q330->data_out_size, 1));
  if (!q330->data_out) {
    elog_complain(0, "q330_create: malloc() error.\n");
    delete q330;
    return nullptr;
  }
  q330->data_out_offset = 20;
  q330->state_thread = 0;
  q330->statepf = statepf;
  q330->need_config = 1;
  q330_params_initialize(&q330->params);
  q330_null_status(q330);

  struct Average {
    TAverage **member;
    double tbin, window;
    int nbin;
    const char *name;
  };
  Q330Status *st = &q330->status;
  const Average averages[] = {
      {&st->ta_datagap_24h, 3600, 0, 25, "datagap_24h"},
      {&st->ta_datagap_1h, 60, 0, 61, "datagap_1h"},
      {&st->ta_nlinks_24h, -1, 86400, 100, "nlinks_24h"},
      {&st->ta_nreboots_24h, -1, 86400, 100, "nreboots_24h"},
      {&st->ta_npocs_24h, -1, 86400, 100, "npocs_24h"},
      {&st->ta_nipchs_24h, -1, 86400, 100, "nipchs_24h"},
  };
  const double now = std_now();
  for (const Average &a : averages) {
    // Bin mode starts at the current time; event mode takes its retention window there.
    *a.member = taverage_create(a.tbin > 0 ? now : a.window, a.tbin, a.nbin);
    if (!*a.member) {
      elog_complain(0, "q330_create: taverage_create(%s) error.\n", a.name);
      destroy_averages(st);
      free(q330->data_out);
      delete q330;
      return nullptr;
    }
  }
  q330->state_acquisition = Q330_ACQ_STOPPED;
  return q330;
}

int q330_thread_start(Q330 *q330) {
  if (q330->state_thread == 1) return 0;
  if (q330->state_thread != 0) {
    q330_output(q330, Q330_OUT_LOG, "q330_thread_start: Unknown thread state.\n");
    return -1;
  }
  q330->control_mtfifo_in = pmtfifo_create(10, 1, 0);
  if (!q330->control_mtfifo_in) {
    q330_output(q330, Q330_OUT_LOG,
                "q330_thread_start: pmtfifo_create(control_mtfifo_in) error.\n");
    return -1;
  }
  q330->state_thread = 1;

  // A stash packet is due unless a channel's station name has to come from the
  // datalogger's property tag first, or the serial number is unknown.
  int stash = q330->nowritestash ? 0 : 1;
  const Q330DLParams &p = q330->params;
  for (int i = 0; stash && i < 8; i++)
    for (int j = 0; stash && j < 6; j++) {
      const Q330Chan &c = p.data_chan[i][j];
      if (c.outputthischan && c.user_data && c.stafromproptag) stash = 0;
    }
  for (int i = 0; stash && i < 256; i++) {
    const Q330Chan *c = p.ep_channels[i];
    if (c && c->user_data && c->stafromproptag) stash = 0;
  }
  if (stash && p.q330_serial_number && strcmp(p.q330_serial_number, "-") == 0) stash = 0;
  q330->pendingstashrequest = stash;
  if (stash)
    q330_output(q330, Q330_OUT_LOG, "--------q330 %s sending stash--------\n", nz(p.dlname));
  return 0;
}

int q330_throttle(int throttle) {
  if (throttle <= 0) return throttle;
  if (throttle < 10) return -1;
  return 1024000 / (throttle / 10);
}

int q330_set_throttle(Q330 *q330, int throttle) {
  q330->params.throttle = throttle;
  q330->params.throttle_q330 = q330_throttle(throttle);
  return 0;
}

// ---- Queued commands --------------------------------------------------------------------------

namespace {

// Queues `cmd` with `pf` (consumed) for the control thread, with `reply` to fill (none: no
// answer is wanted). 0, or -1 with the reason logged and in `error`.
int push_cmd(Q330 *q330, const char *cmd, Pf *pf, const std::shared_ptr<Q330CmdReply> &reply,
             char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  auto fail = [&](const std::string &why) {
    copy_error(error, err_sz, why);
    q330_output(q330, Q330_OUT_LOG, "%s", why.c_str());
    return -1;
  };
  q330_output_debugc(q330, 0, "q330_cmd: creating output mtfifo for '%s'.\n", nz(cmd));
  if (!pf && (pfcompile("", &pf) != 0 || !pf)) return fail("q330_cmd: pfcompile() error.\n");
  pfput_string(pf, "cmd", nz(cmd));

  Q330Cmd *item = new (std::nothrow) Q330Cmd;
  if (item) {
    item->pf = pf;
    item->reply = reply;
  } else {
    pffree(pf);
    return fail("q330_cmd: Unable to create mtfifo for response.\n");
  }
  {
    std::lock_guard<std::mutex> lock(q330->cmd_mutex);
    if (!q330->control_mtfifo_in || q330->control_closed ||
        q330->state_acquisition == Q330_ACQ_KILL) {
      q330_cmd_free(item);
      item = nullptr;
    }
  }
  if (!item) return fail("q330_cmd: control thread not running");
  q330_output_debugc(q330, 0, "q330_cmd: pushing '%s'.\n", nz(cmd));
  if (pmtfifo_push(q330->control_mtfifo_in, item) != 0) {
    q330_cmd_free(item);
    return fail("q330_cmd: pmtfifo_push() error.\n");
  }
  return 0;
}

}  // namespace

int q330_cmd(Q330 *q330, const char *cmd, Pf *pf, char *error, int err_sz) {
  auto reply = std::make_shared<Q330CmdReply>();
  if (push_cmd(q330, cmd, pf, reply, error, err_sz) != 0) return -1;
  // From here the control thread owns the item; only the reply is shared.
  std::string text;
  bool answered = false;
  {
    std::unique_lock<std::mutex> lock(q330->cmd_mutex);
    q330->cmd_cv.wait(lock, [&] {
      return reply->done || q330->control_closed || q330->state_acquisition == Q330_ACQ_KILL;
    });
    answered = reply->done;
    text = reply->text;
  }
  if (!answered) {
    copy_error(error, err_sz, "q330_cmd: control thread not running");
    q330_output(q330, Q330_OUT_LOG, "%s", "q330_cmd: control thread not running");
    return -1;
  }
  if (text == "OK") return 0;
  copy_error(error, err_sz, text);
  return -1;
}

int q330_cmd_post(Q330 *q330, const char *cmd, Pf *pf, char *error, int err_sz) {
  return push_cmd(q330, cmd, pf, nullptr, error, err_sz);
}

int q330_cmd_answer(Q330 *q330, Q330Cmd *item, const char *text) {
  if (!item || !item->reply) return 0;
  {
    std::lock_guard<std::mutex> lock(q330->cmd_mutex);
    item->reply->text = nz(text);
    item->reply->done = true;
  }
  q330->cmd_cv.notify_all();
  return 0;
}

void q330_cmd_free(void *item) {
  Q330Cmd *c = static_cast<Q330Cmd *>(item);
  if (!c) return;
  pffree(c->pf);
  delete c;
}

int q330_control_close(Q330 *q330) {
  {
    std::lock_guard<std::mutex> lock(q330->cmd_mutex);
    q330->control_closed = true;
  }
  if (q330->control_mtfifo_in) pmtfifo_release_block(q330->control_mtfifo_in);
  q330->cmd_cv.notify_all();
  return 0;
}

int q330_register(Q330 *q330, char *error, int err_sz) {
  return q330_cmd(q330, "register", nullptr, error, err_sz);
}

int q330_deregister(Q330 *q330, char *error, int err_sz) {
  return q330_cmd(q330, "deregister", nullptr, error, err_sz);
}

int q330_cfg_channels(Q330 *q330, Pf *pf, char *error, int err_sz) {
  return q330_cmd(q330, "cfg_channels", pf, error, err_sz);
}

int q330_cfg_channels_auto(Q330 *q330, char *error, int err_sz) {
  return q330_cmd(q330, "cfg_channels_auto", nullptr, error, err_sz);
}

int q330_get_status(Q330 *q330, Pf *pf, unsigned int status_bitmap, char *error, int err_sz) {
  if (!pf) {
    if (pfcompile("", &pf) != 0 || !pf) elog_die(0, "q330_get_status: pfcompile() error.\n");
    pfput_int(pf, "status_bitmap", static_cast<int>(status_bitmap));
  }
  return q330_cmd(q330, "status", pf, error, err_sz);
}

int q330_get_config(Q330 *q330, char *error, int err_sz) {
  return q330_cmd(q330, "config", nullptr, error, err_sz);
}

int q330_stop_calibration(Q330 *q330) { return q330_cmd(q330, "cal_stop", nullptr, nullptr, 0); }

// ---- Direct acquisition control -----------------------------------------------------------

int q330_set_acquisition_mode(Q330 *q330, Q330AcqState mode) {
  Q330AcqState cur = q330->state_acquisition.load();
  do {
    if (cur == mode) return 0;
    if (cur == Q330_ACQ_KILL) return -1;
  } while (!q330->state_acquisition.compare_exchange_weak(cur, mode));
  raise_status_flags(q330);
  if (mode == Q330_ACQ_KILL) {
    clock_event_signal(&q330->killed);
    // A none item wakes the control thread waiting for a command.
    if (q330->control_mtfifo_in) pmtfifo_unpop(q330->control_mtfifo_in, nullptr);
    wake_cmd_waiters(q330);
  }
  return 0;
}

const char *q330_breakout(Q330AcqState state, const char *restart_link) {
  switch (state) {
    case Q330_ACQ_KILL:
      return "thread kill";
    case Q330_ACQ_SHUTDOWN:
      return "shutdown";
    case Q330_ACQ_RESTART_DATA:
      return "data restart";
    case Q330_ACQ_RESTART_LINK:
      return restart_link;
    default:
      return nullptr;
  }
}

int q330_start_acquisition(Q330 *q330) {
  Q330AcqState cur = q330->state_acquisition.load();
  do {
    if (!q330_acq_idle(cur)) return 0;
  } while (!q330->state_acquisition.compare_exchange_weak(cur, Q330_ACQ_REGISTER));
  q330->register_retries = 0;
  raise_status_flags(q330);
  return 0;
}

int q330_stop_acquisition(Q330 *q330, int wait) {
  const Q330AcqState state = q330->state_acquisition;
  if (state == Q330_ACQ_STOPPED) return 0;
  // After a kill the shutdown is timed from the kill's own request.
  if (state != Q330_ACQ_KILL) {
    q330->request_shutdown_time = std_now();
    q330_set_acquisition_mode(q330, Q330_ACQ_SHUTDOWN);
  }
  if (!wait) return 0;
  // A kill ends the threads that would bring the state down: stop waiting then.
  wait_for_state(q330, [](Q330AcqState s) { return q330_acq_idle(s) || s == Q330_ACQ_KILL; });
  return 0;
}

int q330_kill_thread(Q330 *q330) {
  q330_set_acquisition_mode(q330, Q330_ACQ_KILL);
  return 0;
}

void q330_wake(Q330 *q330) { clock_event_signal(&q330->wake); }

namespace {

int restart(Q330 *q330, int wait, const char *what, Q330AcqState to) {
  q330_output(q330, Q330_OUT_LOG, "%s", what);
  Q330AcqState cur = Q330_ACQ_ACQUIRING;
  if (q330->state_acquisition != Q330_ACQ_ACQUIRING) return 0;
  q330->request_shutdown_time = std_now();
  if (!q330->state_acquisition.compare_exchange_strong(cur, to)) return 0;
  q330->ch98_time_restart = q330->ch98_time;
  q330_wake(q330);
  if (!wait) return 0;
  wait_for_state(q330,
                 [](Q330AcqState s) { return s == Q330_ACQ_ACQUIRING || s == Q330_ACQ_KILL; });
  return 0;
}

}  // namespace

int q330_restart_link(Q330 *q330, int wait) {
  return restart(q330, wait, "Restart link.\n", Q330_ACQ_RESTART_LINK);
}

int q330_restart_data(Q330 *q330, int wait) {
  return restart(q330, wait, "Restart data.\n", Q330_ACQ_RESTART_DATA);
}

// ---- Output and text services ---------------------------------------------------------------

void q330_set_error(char *error, int err_sz, const char *fmt, ...) {
  if (!error || err_sz <= 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(error, static_cast<size_t>(err_sz), fmt, ap);
  va_end(ap);
}

void q330_control_heartbeat(Q330 *q330) {
  std::lock_guard<std::mutex> lock(q330->last_control_thread_time_mutex);
  if (!q330->params.freeze_controlthread_time) q330->last_control_thread_time = clock_now();
  q330->last_control_thread_time2 = q330->last_control_thread_time;
}

int q330_output(Q330 *q330, int type, ...) {
  if (!q330 || !q330->out_callback) return 0;
  va_list ap;
  va_start(ap, type);
  switch (type) {
    case Q330_OUT_STDOUT:
    case Q330_OUT_LOG:
    case Q330_OUT_UMSG: {
      const char *fmt = va_arg(ap, const char *);
      std::string msg = vformat(Q330_OUTPUT_MSG_MAX, fmt, ap);
      std::string line = format(
          Q330_OUTPUT_LINE_MAX, type == Q330_OUT_UMSG ? "vtl: %s: %s: %s: %s" : "%s: %s: %s: %s",
          strtime_now().c_str(), nz(q330->target_name), nz(q330->params.dlname), msg.c_str());
      // User messages go to the datalogger through the control thread, never to the
      // callback; a session without a control queue has nobody to send them, and the
      // control thread itself cannot wait for its own queue.
      if (type != Q330_OUT_UMSG)
        deliver_line(q330, type, line);
      else if (q330->control_mtfifo_in && !pthread_equal(pthread_self(), q330->control_thread))
        q330_umsg(q330, line.c_str());
      break;
    }
    case Q330_OUT_TIME: {
      const double *t = va_arg(ap, const double *);
      if (!t) break;
      double *copy = static_cast<double *>(malloc(sizeof(double)));
      if (!copy) break;
      *copy = *t;
      q330->out_callback(q330, type, copy, 0);
      break;
    }
    default:
      break;
  }
  va_end(ap);
  return 0;
}

char *q330_strtime(double epoch) {
  int year, doy, hour, minute;
  double second;
  char buf[64];
  if (e2h(epoch, &year, &doy, &hour, &minute, &second) != 0) {
    snprintf(buf, sizeof buf, "%.3f", epoch);
    return heap_copy(buf);
  }
  double whole = std::floor(second);
  int sec = static_cast<int>(whole);
  int msec = static_cast<int>((second - whole) * 1000.0 + 0.5);
  if (msec >= 1000) {
    msec -= 1000;
    sec++;
  }
  if (sec >= 60) {
    sec -= 60;
    minute++;
  }
  if (minute >= 60) {
    minute -= 60;
    hour++;
  }
  if (hour >= 24) {
    hour -= 24;
    doy++;
  }
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (doy > (leap ? 366 : 365)) {
    doy = 1;
    year++;
  }
  snprintf(buf, sizeof buf, "%4.4d%3.3d %2.2d:%2.2d:%2.2d.%3.3d", year, doy, hour, minute, sec,
           msec);
  return heap_copy(buf);
}

int q330_null_status(Q330 *q330) {
  Q330Status *st = &q330->status;
  std::lock_guard<std::mutex> lock(st->status_mutex);
  st->status_pkt = Q330STATPkt{};
  st->status_pkt_null = 1;
  st->time_last_status_pkt = 0;
  st->lat = st->lon = st->elev = 0;
  st->commeff = -1.0;
  st->bufpcnt = -1.0;
  st->status_pkt.gps.lat = st->status_pkt.gps.lon = st->status_pkt.gps.elev = -999.0;
  if (Arr *arr = q330->params.status_chan_arr) {
    Tbl *keys = keysarr(arr);
    for (long i = 0; i < maxtbl(keys); i++) {
      auto *chan =
          static_cast<Q330StatusChan *>(getarr(arr, static_cast<const char *>(gettbl(keys, i))));
      if (chan) chan->time = 0;
    }
    freetbl(keys, nullptr);
  }
  return 0;
}

int set_q330_str(char **q330_str, const char *str) {
  free(*q330_str);
  *q330_str = str ? heap_copy(str) : nullptr;
  return 0;
}

// ---- Diagnostic output ----------------------------------------------------------------------

namespace {

// Pushes the text form of the configuration block named by `structure`; false when the
// code names none.
bool push_block(Q330 *q330, int structure, void **stack) {
  Q330DLConfig &c = q330->config;
  const int nr = q330->noipresolv;
  struct Block {
    int code;
    void *block;
  };
  const Block blocks[] = {
      {0xA4, &c.phy},
      {0xA5, &c.config_pkt.log},
      {0xA6, &c.config_pkt.glob},
      {0xA7, &c.config_pkt.fix},
      {0xA8, &c.man},
      {0xAA, &c.rt},
      {0xAC, &c.gid},
      {0xAE, &c.spp},
      {0xAF, &c.config_pkt.sc},
      {0xB2, &c.dcp},
      {0xB3, &c.dev},
      {0xC1, &c.c2_gps},
      {0xC4, &c.c2_amass},
      {0xD0, &c.c2_epd},
      {0xD1, &c.c2_epcfg},
  };
  for (const Block &b : blocks)
    if (b.code == structure) {
      q330_pfstuff_qpkt(b.code, stack, b.block, 1, nr);
      return true;
    }
  if (structure == 0xB1) {
    q330_pfstuff_qpkt(0xA7, stack, &c.config_pkt.fix, 1, nr);
    q330_pfstuff_qpkt(0xA6, stack, &c.config_pkt.glob, 1, nr);
    q330_pfstuff_qpkt(0xAF, stack, &c.config_pkt.sc, 1, nr);
    q330_pfstuff_qpkt(0xA5, stack, &c.config_pkt.log, 1, nr);
    return true;
  }
  if (structure >= 241 && structure <= 243) {
    static const int phy_number[] = {0, 1, 3};
    Q330C2PHYPkt *phy[] = {&c.c2_phy_0, &c.c2_phy_1, &c.c2_phy_3};
    mypushstr(stack, "phyc2_%d &Arr{\n", phy_number[structure - 241]);
    q330_pfstuff_qpkt(0xC0, stack, phy[structure - 241], 0, nr);
    mypushstr(stack, "}\n");
    return true;
  }
  if (structure >= 244 && structure <= 247) {
    int port = structure - 243;
    mypushstr(stack, "dptokens_%d &Arr{\n", port);
    if (const Qtpb14Tokens *t = c.dptokens[port - 1]) q330_pfstuff_qtpb14_tokens(port, stack, t);
    mypushstr(stack, "}\n");
    return true;
  }
  return false;
}

void output_logline(Q330 *q330, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void output_logline(Q330 *q330, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string line = vformat(Q330_OUTPUT_LINE_MAX, fmt, ap);
  va_end(ap);
  deliver_line(q330, Q330_OUT_LOG, line);
}

}  // namespace

int q330_output_debugc(Q330 *q330, int structure, const char *fmt, ...) {
  if (!q330 || !q330->out_callback || q330->params.debug_control <= 0) return 0;
  va_list ap;
  va_start(ap, fmt);
  std::string msg = vformat(Q330_OUTPUT_MSG_MAX, fmt, ap);
  va_end(ap);
  const std::string now = strtime_now();
  const char *target = nz(q330->target_name);
  const char *dlname = nz(q330->params.dlname);
  if (structure == 0 || q330->params.debug_control == 1) {
    output_logline(q330, "%s: %s: %s: DEBUGC: %s", now.c_str(), target, dlname, msg.c_str());
    return 0;
  }
  // The message heads every dump line, so it loses its newline first.
  chomp(&msg);
  void *stack = nullptr;
  if (!push_block(q330, structure, &stack)) {
    popstr(&stack, 0);
    output_logline(q330, "%s: %s: %s: DEBUGC: %s Unknown structure %d", now.c_str(), target, dlname,
                   msg.c_str(), structure);
    return 0;
  }
  char *text = popstr(&stack, 1);
  const char *p = text ? text : "";
  while (*p) {
    const char *end = strchr(p, '\n');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    std::string line(p, len);
    output_logline(q330, "%s: %s: %s: DEBUGC: %s %s", now.c_str(), target, dlname, msg.c_str(),
                   line.c_str());
    p += len + (end ? 1 : 0);
  }
  free(text);
  return 0;
}

int q330_print_udp(Q330 *q330, const char *msg) {
  q330_output(q330, Q330_OUT_LOG, "DEBUGU: %s\n", nz(msg));
  return 0;
}

int q330_output_pf(Q330 *q330, Pf *pf, const char *pre) {
  char *text = pf ? pf2string(pf) : nullptr;
  if (!text) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: %spf2string() error on parameter file.\n", nz(pre));
    return 0;
  }
  const char *p = text;
  while (*p) {
    const char *end = strchr(p, '\n');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    std::string line(p, len);
    q330_output(q330, Q330_OUT_LOG, "%s%s\n", nz(pre), line.c_str());
    p += len + (end ? 1 : 0);
  }
  free(text);
  return 0;
}

int dump_array(Arr *arr, const char *title) {
  printf("\n%s:\n", nz(title));
  if (!arr) return 0;
  Tbl *keys = keysarr(arr);
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    printf("  %s    :  %s\n", key, nz(static_cast<const char *>(getarr(arr, key))));
  }
  freetbl(keys, nullptr);
  return 0;
}

namespace {

void log_cache(Q330 *q330, UDP *udp, const char *prefix, int size) {
  if (!udp) {
    q330_output(q330, Q330_OUT_LOG, "%s: Port not open.\n", prefix);
    return;
  }
  q330_output(q330, Q330_OUT_LOG, "%s: open=%d, wait=%d, sendto=%d, recvfrom=%d\n", prefix,
              udp->open_call.load(), udp->wait_call.load(), udp->sendto_call.load(),
              udp->recvfrom_call.load());
  if (size <= 0) return;
  Tbl *copy = nullptr;
  if (udp_get_packet_cache(udp, &copy) != 0) {
    q330_output(q330, Q330_OUT_LOG, "%s: udp_get_packet_cache() error.\n", prefix);
    return;
  }
  long n = std::min<long>(maxtbl(copy), size);
  for (long i = 0; i < n; i++) {
    const auto *pc = static_cast<const UDPPacketCache *>(gettbl(copy, i));
    char *t = q330_strtime(pc->time);
    q330_output(q330, Q330_OUT_LOG, "%s: time=%s, type=%d, hostport=%s, size=%d\n", prefix, nz(t),
                pc->type, pc->hostport, pc->size);
    free(t);
    const int nbytes = std::min<int>(pc->size, static_cast<int>(pc->packet.size()));
    std::string hex;
    for (int j = 0; j < nbytes; j++) {
      char b[8];
      snprintf(b, sizeof b, " %2.2X", pc->packet[j]);
      hex += b;
      if (j % 32 == 31 || j == nbytes - 1) {
        while (!hex.empty() && hex.back() == ' ') hex.pop_back();
        q330_output(q330, Q330_OUT_LOG, "%s: %s\n", prefix, hex.c_str());
        hex.clear();
      }
    }
  }
  udp_free_packet_cache_tbl(copy);
}

}  // namespace

int q330_log_packet_cache(Q330 *q330, int size) {
  log_cache(q330, q330->udp_control, "DEBUGPCTRL", size);
  log_cache(q330, q330->udp_data, "DEBUGPDATA", size);
  return 0;
}
