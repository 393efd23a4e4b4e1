// q330_threads.cpp - the four threads of a Q330 session.
#include "q330_threads.h"

#include <pthread.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/clockwait.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "base/threadstart.h"
#include "muldrin_run.h"
#include "q330_config.h"
#include "q330_data.h"
#include "q330_dblk.h"
#include "q330_opcmds.h"
#include "q330_qdp.h"
#include "q330_status.h"
#include "support/stdtime.h"
#include "taverage.h"
#include "udp.h"

namespace {

constexpr int ERR_SZ = 512;

// ---- Executors ------------------------------------------------------------------------------

int x_register(Q330 *q, Pf *, char *e, int n) { return q330_register_pvt(q, e, n); }
int x_deregister(Q330 *q, Pf *, char *e, int n) { return q330_deregister_pvt(q, e, n); }
int x_status(Q330 *q, Pf *pf, char *e, int n) { return q330_get_status_pvt(q, pf, 0, e, n); }
int x_config(Q330 *q, Pf *, char *e, int n) { return q330_get_config_pvt(q, e, n); }
int x_cfg_channels(Q330 *q, Pf *pf, char *e, int n) { return q330_cfg_channels_pvt(q, pf, e, n); }
int x_cfg_channels_auto(Q330 *q, Pf *, char *e, int n) {
  return q330_cfg_channels_pvt(q, nullptr, e, n);
}
void heartbeat(std::mutex &m, double &t, double &t2, int freeze) {
  std::lock_guard<std::mutex> lock(m);
  if (!freeze) t = std_now();
  t2 = t;
}

void data_heartbeat(Q330 *q) {
  heartbeat(q->last_data_thread_time_mutex, q->last_data_thread_time, q->last_data_thread_time2,
            q->params.freeze_datathread_time);
}

const char *nz(const char *s) { return s ? s : ""; }

// The clock_monotonic() instant of the std_now() time `wall`: the deadlines of the
// session are wall-clock times, the waits take monotonic ones.
double monotonic_at(double wall) { return clock_monotonic() + (wall - std_now()); }

// A pause of the session's threads that a state change ends early.
void idle(Q330 *q, double seconds) {
  clock_event_wait(&q->wake, clock_event_seen(&q->wake), clock_monotonic() + seconds);
}

}  // namespace

const Q330Executor q330_executors[] = {
    {"register", x_register, nullptr},
    {"deregister", x_deregister, nullptr},
    {"status", x_status, nullptr},
    {"config", x_config, nullptr},
    {"cfg_channels", x_cfg_channels, nullptr},
    {"cfg_channels_auto", x_cfg_channels_auto, nullptr},
    {nullptr, nullptr, nullptr},
};

const Q330Executor *q330_executor_find(const char *cmd) {
  if (!cmd) return nullptr;
  for (const Q330Executor *x = q330_executors; x->cmd; x++)
    if (strcmp(x->cmd, cmd) == 0) return x;
  return nullptr;
}

// ---- Control thread -------------------------------------------------------------------------

namespace {

// The longest wait for a command. The heartbeat it gives must stay well inside the
// watchdog's hang time-out and its inactivity report; never more often than once a second.
double control_wait(const Q330DLParams &p) {
  double limit = Q330_INACTIVE_REPORT;
  if (p.timeout_controlthread_hang > 0) limit = std::min(limit, p.timeout_controlthread_hang);
  return std::max(1.0, limit / 2);
}

}  // namespace

// Waits on the queue for a command or the heartbeat's time-out. A kill puts a none item at
// the head of the queue, which ends the wait at once; q330_control_close then releases
// every caller.
void *q330_run_control_thread(void *arg) {
  auto *q = static_cast<Q330 *>(arg);
  q330_output(q, Q330_OUT_LOG, "--------q330 %s control thread starting--------\n",
              nz(q->params.dlname));
  pmtfifo_set_timeout(q->control_mtfifo_in, control_wait(q->params));
  while (q->state_acquisition.load() != Q330_ACQ_KILL) {
    q330_control_heartbeat(q);
    q330_output_debugc(q, 0, "q330_run_control_thread: Waiting for command.\n");
    void *p = nullptr;
    int r = pmtfifo_pop(q->control_mtfifo_in, &p);
    if (r == 3) continue;  // time-out: heartbeat and kill check
    if (r == 2) break;     // queue closed
    if (r != 1) elog_die(0, "q330_run_control_thread: pmtfifo_pop() error.\n");
    q330_control_heartbeat(q);
    auto *item = static_cast<Q330Cmd *>(p);
    if (!item) continue;
    const char *cmd = item->pf ? pfget_string(item->pf, "cmd") : nullptr;
    if (!cmd) {
      elog_complain(0, "q330_run_control_thread: parse_param(cmd) error.\n");
      q330_cmd_answer(q, item, "q330_run_control_thread: parse_param(cmd) error.\n");
      q330_cmd_free(item);
      continue;
    }
    std::string word = cmd;
    q330_output_debugc(q, 0, "q330_run_control_thread: Executing '%s' command...\n", word.c_str());
    std::string reply;
    char answer[ERR_SZ] = "";
    const Q330Executor *x = q330_executor_find(word.c_str());
    if (q330_opcmds_exec(q, word.c_str(), item->pf, answer, ERR_SZ) == 1) {
      reply = answer;  // the operator commands answer in their own words
    } else if (!x) {
      q330_output(q, Q330_OUT_LOG, "q330_run_control_thread: Unknown cmd '%s'.\n", word.c_str());
      reply = "unknown command";
    } else {
      char err[ERR_SZ] = "";
      int rc = x->run(q, item->pf, err, ERR_SZ);
      if (rc >= 0)
        reply = "OK";
      else
        reply = x->failure ? x->failure : (err[0] ? err : "error");
    }
    q330_cmd_answer(q, item, reply.c_str());
    q330_cmd_free(item);
  }
  q330_control_close(q);
  // Commands still queued are answered by the close (their callers are released).
  q330_output(q, Q330_OUT_LOG, "--------q330 %s control thread ending--------\n",
              nz(q->params.dlname));
  return nullptr;
}

// ---- Data thread ----------------------------------------------------------------------------

namespace {

void close_data(Q330 *q) {
  char err[ERR_SZ] = "";
  if (q330_close_data(q, err, ERR_SZ) < 0)
    q330_output(q, Q330_OUT_LOG, "q330_close_data() error: %s\n", err);
}

void deregister(Q330 *q) {
  char err[ERR_SZ] = "";
  if (q330_deregister(q, err, ERR_SZ) < 0)
    q330_output(q, Q330_OUT_LOG, "q330_deregister() error: %s\n", err);
}

void inactivity_check(Q330 *q) {
  if (q->params.inactivity_timeout > 0 && std_now() > q->inactivity_wakeup) {
    q330_output(q, Q330_OUT_LOG, "Inactivity timeout....\n");
    q330_start_acquisition(q);
  }
}

void do_register(Q330 *q) {
  elog_clear_register(1);
  q->inactivity_wakeup = std_now() + q->params.inactivity_timeout;
  q330_output(q, Q330_OUT_LOG, "Data connection startup.\n");
  char err[ERR_SZ] = "";
  int rc = q330_register(q, err, ERR_SZ);
  q->inactivity_wakeup = std_now() + q->params.inactivity_timeout;
  if (rc >= 0) {
    Q330AcqState cur = Q330_ACQ_REGISTER;
    if (q->state_acquisition.compare_exchange_strong(cur, Q330_ACQ_OPEN_DATA)) q330_wake(q);
    return;
  }
  Q330AcqState s = q->state_acquisition.load();
  if (s == Q330_ACQ_SHUTDOWN || s == Q330_ACQ_RESTART_DATA || s == Q330_ACQ_KILL) return;
  q->register_retries++;
  const int max = q->params.maxretries_register;
  if (max < 1 || q->register_retries < max) {
    q330_output(q, Q330_OUT_LOG, "q330_register() error: Breakout to re-register after sleep...\n");
    deregister(q);
    q->register_wakeup = std_now() + q->params.register_retry_sleep;
    q330_set_acquisition_mode(q, Q330_ACQ_SLEEPING);
  } else {
    q330_output(q, Q330_OUT_LOG, "q330_register() error: Going into hibernation....\n");
    deregister(q);
    q->register_retries = 0;
    q330_set_acquisition_mode(q, Q330_ACQ_HIBERNATING);
  }
}

void do_open(Q330 *q) {
  q330_output(q, Q330_OUT_LOG, "Opening data connection.\n");
  char err[ERR_SZ] = "";
  int rc = q330_open_data(q, err, ERR_SZ);
  if (rc == -2) {
    Q330AcqState s = q->state_acquisition.load();
    if (s >= Q330_ACQ_SHUTDOWN && s <= Q330_ACQ_KILL) return;
    rc = -1;
  }
  if (rc < 0) {
    q->state_dataopen = 0;
    q330_wake(q);
    q->register_retries++;
    const int max = q->params.maxretries_register;
    if (max >= 1 && q->register_retries >= max) {
      q330_output(q, Q330_OUT_LOG, "q330_open_data() error: Going into hibernation....\n");
      deregister(q);
      q->register_retries = 0;
      q330_set_acquisition_mode(q, Q330_ACQ_HIBERNATING);
    } else {
      q330_output(q, Q330_OUT_LOG,
                  "q330_open_data() error: Breakout to re-register after sleep...\n");
      deregister(q);
      q->register_wakeup = std_now() + q->params.register_retry_sleep;
      q330_set_acquisition_mode(q, Q330_ACQ_SLEEPING);
    }
    return;
  }
  q->buffer_thresh_flag = 1;
  {
    std::lock_guard<std::mutex> lock(q->timeout_mutex);
    q->acquisition_timeout =
        q->params.shutdown_timeout > 0 ? std_now() + q->params.shutdown_timeout : 0;
  }
  q330_set_acquisition_mode(q, Q330_ACQ_ACQUIRING);
  q330_output(q, Q330_OUT_LOG, "Reading data...\n");
}

void reregister_after_read(Q330 *q, const char *err) {
  q330_output(q, Q330_OUT_LOG, "q330_read_data() error: %s\n", err);
  q330_output(q, Q330_OUT_LOG, "Breakout to re-register...\n");
  close_data(q);
  deregister(q);
  q->state_dataopen = 0;
  q330_wake(q);
  q330_set_acquisition_mode(q, Q330_ACQ_REGISTER);
}

void do_acquire(Q330 *q) {
  const double now = std_now();
  double acquisition_timeout, control_timeout;
  {
    std::lock_guard<std::mutex> lock(q->timeout_mutex);
    acquisition_timeout = q->acquisition_timeout;
    control_timeout = q->control_timeout;
  }
  if (acquisition_timeout > 0 && now > acquisition_timeout) {
    q330_output(q, Q330_OUT_LOG, "Acquisition timeout....\n");
    if (q->params.disposition == 2) {
      q330_set_acquisition_mode(q, Q330_ACQ_SHUTDOWN);
    } else {
      q->ch98_time_restart = q->ch98_time;
      q330_set_acquisition_mode(q, Q330_ACQ_RESTART_LINK);
    }
    q->request_shutdown_time = now;
    return;
  }
  if (control_timeout > 0 && now > control_timeout) {
    q330_output(q, Q330_OUT_LOG, "Control inactivity timeout...restarting link\n");
    q->request_shutdown_time = now;
    q->ch98_time_restart = q->ch98_time;
    q330_set_acquisition_mode(q, Q330_ACQ_RESTART_LINK);
    return;
  }
  char err[ERR_SZ] = "";
  int rc = q330_read_data(q, err, ERR_SZ);
  if (rc == 0) {
    q->register_retries = 0;
  } else if (rc == -2) {
    Q330AcqState s = q->state_acquisition.load();
    if (s == Q330_ACQ_SHUTDOWN || s == Q330_ACQ_RESTART_DATA || s == Q330_ACQ_KILL) {
      q->request_shutdown_time = std_now();
    } else {
      q330_output(q, Q330_OUT_LOG, "q330_read_data() error: %s\n", err);
      q330_output(q, Q330_OUT_LOG, "Breakout to re-register.\n");
      close_data(q);
      deregister(q);
      q->state_dataopen = 0;
      q330_wake(q);
      q330_set_acquisition_mode(q, Q330_ACQ_REGISTER);
    }
    q->register_retries = 0;
  } else {
    reregister_after_read(q, err);
  }
}

// Close and deregister; a failed deregistration that left the session killed stays so.
void shutdown_link(Q330 *q, const char *line) {
  q330_output(q, Q330_OUT_LOG, "%s", line);
  close_data(q);
  deregister(q);
}

}  // namespace

void *q330_run_data_thread(void *arg) {
  auto *q = static_cast<Q330 *>(arg);
  q330_output(q, Q330_OUT_LOG, "--------q330 %s data thread starting--------\n",
              nz(q->params.dlname));
  for (;;) {
    data_heartbeat(q);
    const Q330AcqState s = q->state_acquisition.load();
    if (s == Q330_ACQ_KILL) break;
    switch (s) {
      case Q330_ACQ_STOPPED:
        idle(q, 0.5);
        q->register_retries = 0;
        break;
      case Q330_ACQ_WAITING:
      case Q330_ACQ_HIBERNATING:
        idle(q, 0.5);
        q->register_retries = 0;
        inactivity_check(q);
        break;
      case Q330_ACQ_SLEEPING:
        idle(q, 0.5);
        if (std_now() >= q->register_wakeup) {
          Q330AcqState cur = Q330_ACQ_SLEEPING;
          if (q->state_acquisition.compare_exchange_strong(cur, Q330_ACQ_REGISTER)) {
            if (q->pendingstatusrequests) q->pendingstatusrequests->store(1);
            q->pendingstatusrequest = 1;
            q330_wake(q);
          }
        }
        break;
      case Q330_ACQ_REGISTER:
        do_register(q);
        break;
      case Q330_ACQ_OPEN_DATA:
        do_open(q);
        break;
      case Q330_ACQ_ACQUIRING:
        do_acquire(q);
        break;
      case Q330_ACQ_SHUTDOWN:
        shutdown_link(q, "Shutting down data connection.\n");
        q330_set_acquisition_mode(q,
                                  q->params.disposition == 2 ? Q330_ACQ_WAITING : Q330_ACQ_STOPPED);
        break;
      case Q330_ACQ_RESTART_LINK:
        shutdown_link(q, "Shutting down data connection.\n");
        q->register_retries = 0;
        q330_set_acquisition_mode(q, Q330_ACQ_REGISTER);
        break;
      case Q330_ACQ_RESTART_DATA: {
        q330_output(q, Q330_OUT_LOG, "Shutting down data connection for restart.\n");
        close_data(q);
        Q330AcqState cur = Q330_ACQ_RESTART_DATA;
        if (q->state_acquisition.compare_exchange_strong(cur, Q330_ACQ_OPEN_DATA)) q330_wake(q);
        break;
      }
      default:
        myusleep(0.5);
        break;
    }
  }
  q330_output(q, Q330_OUT_LOG, "--------q330 %s data thread ending--------\n",
              nz(q->params.dlname));
  return nullptr;
}

// ---- Status-request thread ------------------------------------------------------------------

int q330_status_request_due(double *counted, double interval, double now, double last_status,
                            double last_request, double *pause) {
  // The count of whole ticks as a time; the slack takes up the rounding of the sums.
  const double limit = (static_cast<int>(interval * 10) - 4) * 0.1, slack = 1e-6;
  const double young = interval - 0.4;
  if (*counted < limit - slack && now - last_status < young) {
    // The turn that will be due, put on the half second as the request will be.
    const double due = now + std::min(limit - *counted, last_status + young - now);
    const double half = std::floor(due) + 0.5;
    *pause = std::max((due < half ? half : due) - now, 0.001);
    return 0;
  }
  *counted = 0;
  const double second = std::floor(now), frac = now - second;
  if (frac < 0.5)
    *pause = 0.5 - frac;
  else if (last_request >= second + 0.5)
    *pause = 1.5 - frac;
  else
    *pause = 0;
  return 1;
}

void *q330_run_status_request_thread(void *arg) {
  auto *q = static_cast<Q330 *>(arg);
  q330_output(q, Q330_OUT_LOG, "--------q330 %s status request thread starting--------\n",
              nz(q->params.dlname));
  const double interval = q->params.statusrequest_interval;
  double counted = 0, last_request = 0;
  double counted_to = -1;  // std_now() up to which the open time is counted; -1 while closed
  for (;;) {
    // Seen before the state is looked at, so that a change meanwhile ends the wait below.
    const unsigned long seen = clock_event_seen(&q->wake);
    const Q330AcqState s = q->state_acquisition.load();
    if (s == Q330_ACQ_KILL) break;
    if (s != Q330_ACQ_OPEN_DATA && s != Q330_ACQ_ACQUIRING) {
      std::lock_guard<std::mutex> lock(q->status.status_mutex);
      q->status.bufpcnt = -1.0;
    }
    if (!q->state_dataopen.load()) {
      counted_to = -1;
      clock_event_wait(&q->wake, seen, HUGE_VAL);
      continue;
    }
    double last;
    {
      std::lock_guard<std::mutex> lock(q->status.status_mutex);
      last = q->status.time_last_status_pkt;
    }
    const double now = std_now();
    if (counted_to >= 0) counted += std::max(now - counted_to, 0.0);
    counted_to = now;
    double pause = 0;
    if (!q330_status_request_due(&counted, interval, now, last, last_request, &pause)) {
      clock_event_wait(&q->wake, seen, clock_monotonic() + pause);
      continue;
    }
    // The pause to the half second ends early only for a kill.
    const double end = clock_monotonic() + pause;
    for (;;) {
      const unsigned long again = clock_event_seen(&q->wake);
      if (q->state_acquisition.load() == Q330_ACQ_KILL || !clock_event_wait(&q->wake, again, end))
        break;
    }
    if (q->state_acquisition.load() == Q330_ACQ_ACQUIRING) {
      last_request = std_now();
      char err[ERR_SZ] = "";
      q330_get_status(q, nullptr, Q330_STATUSREQUEST_BITMAP, err, ERR_SZ);
      elog_clear_register(0);
    }
    counted_to = std_now();
  }
  q330_output(q, Q330_OUT_LOG, "--------q330 %s status request thread ending--------\n",
              nz(q->params.dlname));
  return nullptr;
}

// ---- Watchdog -------------------------------------------------------------------------------

namespace {

// The watchdog's wait past a time it waits for, so that the strict comparisons of the
// tests hold when it wakes; and its pass while the statistics run on every pass.
constexpr double kPassSlack = 0.001;
constexpr double kWatchdogPass = 0.1;

double ta_sum(TAverage *ta, double end, double window) {
  if (!ta) return 0;
  double t = end, w = window, sum = 0, ave = 0;
  if (taverage_get(ta, &t, &w, &sum, &ave) < 0) return 0;
  return sum;
}

// The hang test of one thread: an inactivity line at most every Q330_INACTIVE_REPORT
// seconds, and a halt on every pass once the silence passes the hang time-out.
// True once it has halted the program (the halt is asked for once). Otherwise *next
// becomes the earliest std_now() time at which the test may find something, when that is
// before it (a heartbeat meanwhile only moves the time on).
bool hang_check(Q330 *q, std::mutex &m, double &t, double &t2, double timeout, const char *what,
                double *next) {
  bool halt = false;
  {
    std::lock_guard<std::mutex> lock(m);
    const double now = std_now();
    if (t <= 0) return false;
    if (now - t2 > Q330_INACTIVE_REPORT) {
      q330_output(q, Q330_OUT_LOG, "ERROR: %s inactive for %f minutes\n", what, (now - t) / 60);
      t2 = now;
    }
    if (timeout > 0 && now - t > timeout) {
      q330_output(q, Q330_OUT_LOG, "ERROR: Shutting down program due to apparent %s hang\n", what);
      halt = true;
    }
    *next = std::min(*next, t2 + Q330_INACTIVE_REPORT + kPassSlack);
    if (timeout > 0) *next = std::min(*next, t + timeout + kPassSlack);
  }
  if (halt) {
    q330_log_packet_cache(q, 1000000);
    muldrin_halt();
  }
  return halt;
}

void statistics(Q330 *q, double now) {
  Q330Status &st = q->status;
  const Q330DLParams &p = q->params;
  UDP *eps[2] = {q->udp_control, q->udp_data};
  double rate_sum = 0, rate_win = 0;
  for (UDP *u : eps) {
    if (!u || !u->datarate) continue;
    double t = now, w = p.datarate_interval, sum = 0, ave = 0;
    if (taverage_get(u->datarate, &t, &w, &sum, &ave) == 0) {
      rate_sum += sum * 8;
      if (w > rate_win) rate_win = w;
    }
  }
  double rate = rate_sum != 0 && rate_win > 0 ? rate_sum / rate_win : 0;
  if (st.ta_commeff_sent && st.ta_commeff_resent) {
    double resent = ta_sum(st.ta_commeff_resent, now, p.commeff_interval);
    double sent = ta_sum(st.ta_commeff_sent, now, p.commeff_interval);
    st.commeff = sent != 0 || resent != 0 ? 100.0 * sent / (sent + resent) : -1.0;
  }
  double rd = 0, wr = 0;
  for (UDP *u : eps) {
    if (!u) continue;
    rd += ta_sum(u->bytes_read, now, 86400);
    wr += ta_sum(u->bytes_written, now, 86400);
  }
  st.nbytes_read_24h = rd;
  st.nbytes_write_24h = wr;
  st.nlinks_24h = ta_sum(st.ta_nlinks_24h, now, 86400);
  st.nreboots_24h = ta_sum(st.ta_nreboots_24h, now, 86400);
  st.npocs_24h = ta_sum(st.ta_npocs_24h, now, 86400);
  st.nipchs_24h = ta_sum(st.ta_nipchs_24h, now, 86400);
  st.datagap_24h = ta_sum(st.ta_datagap_24h, now, 86400);
  st.datagap_1h = ta_sum(st.ta_datagap_1h, now, 3600);
  if (!st.ta_tput) {
    st.ta_tput = taverage_create(now, 1.0, static_cast<int>(p.thruput_interval) + 10);
    if (!st.ta_tput) elog_complain(0, "q330_run_watchdog_thread: taverage_create(tput) error.\n");
  }
  if (st.ta_tput) {
    double t = now - 1, w = p.thruput_interval, sum = 0, ave = 0;
    st.thruput =
        taverage_get(st.ta_tput, &t, &w, &sum, &ave) == 0 && sum != 0 && w > 0 ? sum / w : 0;
  }
  st.datarate_time = now;
  st.datarate = rate;
}

double program_value(Q330 *q, const Q330StatusDef *d, double now) {
  const Q330Status &st = q->status;
  switch (d->iname) {
    case 1:
      return st.datarate;
    case 2:
      return q->params.throttle;
    case 3:
      return st.commeff;
    case 4:
      return st.datagap;
    case 5:
      if (st.starttime > 0) return now - st.starttime;
      if (st.endtime > 0) return st.endtime - now;
      return d->null_value;
    case 6:
      return q->ch98_time > 0 ? now - q->ch98_time + 1.0 : d->null_value;
    case 7:
      return st.npkts_processed_total;
    case 8:
      return st.npkts_wrongsize_error;
    case 9:
      return st.npkts_checksum_error;
    case 10:
      return st.nbytes_read_24h;
    case 11:
      return st.nbytes_write_24h;
    case 12:
      return st.datagap_24h;
    case 13:
      return st.nlinks_24h;
    case 14:
      return st.nreboots_24h;
    case 15:
      return st.npocs_24h;
    case 16:
      return st.nipchs_24h;
    case 17:
      return st.datagap_1h;
    case 18:
      return st.thruput;
    case 19:
      return st.bufpcnt;
    default:
      return d->null_value;
  }
}

// The records are built under status_mutex and handed to the callback after it is let
// go, so a slow consumer never holds up the threads that update the statistics. *next
// becomes the time of the next records when that is before it.
void program_status(Q330 *q, double now, double *next) {
  Q330Status &st = q->status;
  const double interval = q->params.statusreport_interval;
  std::vector<Q330DataStatus> records;
  {
    std::lock_guard<std::mutex> lock(st.status_mutex);
    if (st.client_status_time == 0) st.client_status_time = std::floor(now) - interval;
    if (!q->out_callback || interval <= 0) return;
    if (now - st.client_status_time < interval) {
      *next = std::min(*next, st.client_status_time + interval);
      return;
    }
    st.client_status_time += interval;
    if (std::fabs(st.client_status_time - now) > 0.5) st.client_status_time = std::floor(now);
    *next = std::min(*next, st.client_status_time + interval);
    Arr *arr = q->params.status_chan_arr;
    Tbl *keys = arr ? keysarr(arr) : nullptr;
    for (long i = 0; i < maxtbl(keys); i++) {
      auto *c = static_cast<Q330StatusChan *>(getarr(arr, static_cast<char *>(gettbl(keys, i))));
      if (!c || c->type != 1 || !c->stdef) continue;
      auto *d = static_cast<const Q330StatusDef *>(c->stdef);
      Q330DataStatus r;
      memset(&r, 0, sizeof r);
      r.time = st.client_status_time;
      r.index = d->index;
      r.n = 1;
      r.entries[0].stdef = d;
      r.entries[0].type = 1;
      r.entries[0].dvalue = program_value(q, d, now);
      records.push_back(r);
    }
    freetbl(keys, nullptr);
  }
  for (Q330DataStatus &r : records)
    q->out_callback(q, Q330_OUT_DATASTATUS, &r, static_cast<int>(sizeof r));
}

}  // namespace

void *q330_run_watchdog_thread(void *arg) {
  auto *q = static_cast<Q330 *>(arg);
  q330_output(q, Q330_OUT_LOG, "--------q330 %s watchdog thread starting--------\n",
              nz(q->params.dlname));
  bool halted = false;
  for (;;) {
    // Seen before the state is looked at: a kill meanwhile ends the wait below.
    const unsigned long seen = clock_event_seen(&q->killed);
    if (q->state_acquisition.load() == Q330_ACQ_KILL) break;
    // The earliest time the next pass has something to do: a hang test, the statistics,
    // the program status records.
    double next = HUGE_VAL;
    if (!halted)
      halted = hang_check(q, q->last_data_thread_time_mutex, q->last_data_thread_time,
                          q->last_data_thread_time2, q->params.timeout_datathread_hang,
                          "datathread", &next);
    if (!halted)
      halted = hang_check(q, q->last_control_thread_time_mutex, q->last_control_thread_time,
                          q->last_control_thread_time2, q->params.timeout_controlthread_hang,
                          "controlthread", &next);
    const double now = std_now();
    {
      std::lock_guard<std::mutex> lock(q->status.status_mutex);
      const int interval = q->params.statusreport_interval;
      if (now - q->status.datarate_time >= interval) statistics(q, now);
      // An interval of 0 or below runs them on every pass.
      next = std::min(next, interval > 0 ? q->status.datarate_time + interval + kPassSlack
                                         : now + kWatchdogPass);
    }
    program_status(q, now, &next);
    clock_event_wait(&q->killed, seen, next == HUGE_VAL ? HUGE_VAL : monotonic_at(next));
  }
  q330_output(q, Q330_OUT_LOG, "--------q330 %s watchdog thread ending--------\n",
              nz(q->params.dlname));
  return nullptr;
}

// ---- Start and join -------------------------------------------------------------------------

int q330_threads_start(Q330 *q330) {
  if (q330->threads_running) return 0;
  if (q330_thread_start(q330) < 0) return -1;
  struct Entry {
    pthread_t *thread;
    void *(*run)(void *);
    const char *name;
    ThreadKind kind;
  } entries[] = {
      {&q330->control_thread, q330_run_control_thread, "control", THREAD_Q330_CONTROL},
      {&q330->data_thread, q330_run_data_thread, "data", THREAD_Q330_DATA},
      {&q330->statusrq_thread, q330_run_status_request_thread, "statusrq", THREAD_Q330_STATUS},
      {&q330->watchdog_thread, q330_run_watchdog_thread, "watchdog", THREAD_Q330_WATCHDOG},
  };
  for (int i = 0; i < 4; i++) {
    if (threadstart_create(entries[i].thread, entries[i].kind, entries[i].run, q330) != 0) {
      q330_output(q330, Q330_OUT_LOG, "q330_thread_start: pthread_create(%s) error.\n",
                  entries[i].name);
      q330_kill_thread(q330);
      q330_threads_join(q330);
      return -1;
    }
    q330->threads_running |= 1 << i;
  }
  return 0;
}

int q330_threads_join_bounded(Q330 *q330, double seconds) {
  pthread_t *threads[] = {&q330->control_thread, &q330->data_thread, &q330->statusrq_thread,
                          &q330->watchdog_thread};
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(seconds);
  int rc = 0;
  for (int i = 0; i < 4; i++) {
    if (!(q330->threads_running & (1 << i))) continue;
    if (pthread_timedjoin_np(*threads[i], nullptr, &deadline) != 0) {
      pthread_detach(*threads[i]);
      rc = -1;
    }
  }
  q330->threads_running = 0;
  return rc;
}

int q330_threads_join(Q330 *q330) {
  pthread_t *threads[] = {&q330->control_thread, &q330->data_thread, &q330->statusrq_thread,
                          &q330->watchdog_thread};
  for (int i = 0; i < 4; i++)
    if (q330->threads_running & (1 << i)) pthread_join(*threads[i], nullptr);
  q330->threads_running = 0;
  return 0;
}
