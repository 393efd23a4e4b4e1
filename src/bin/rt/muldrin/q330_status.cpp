// q330_status.cpp - the status readout (see q330_status.h).
#include "q330_status.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/timetext.h"
#include "q330_qdp.h"
#include "support/dlclock.h"
#include "support/stdtime.h"

namespace {

enum { C1_SLOG = 0x17, C1_RQLOG = 0x18, C1_RQSTAT = 0x1F, C1_LOG = 0xA5, C1_STAT = 0xA9 };

#define LOG(...) q330_output(q330, Q330_OUT_LOG, __VA_ARGS__)

// Why the acquisition state breaks a status readout off, or none: beside the states that
// break every exchange off, those that redo the registration or give the link up.
const char *status_breakout(Q330AcqState state) {
  if (const char *why = q330_breakout(state, "re-registration")) return why;
  switch (state) {
    case Q330_ACQ_REGISTER:
      return "re-registration";
    case Q330_ACQ_SLEEPING:
      return "sleep for re-registration";
    case Q330_ACQ_HIBERNATING:
      return "hibernation";
    default:
      return nullptr;
  }
}

// The datalogger's time of the glob block: seconds since 1970, with the half second
// that centres it.
double datalogger_time(const Q330 *q330, const Q330GLOBSTATPkt &g) {
  return static_cast<double>(g.current_data_sequence_number) +
         static_cast<double>(g.seconds_offset) + static_cast<double>(g.usec_offset) * 0.000001 +
         q330->epoch_2000 + 0.5;
}

// Result of the collection: 0 complete (or ended early, partial), -1 failed, 1 the
// session is no longer registered.
int collect(Q330 *q330, unsigned request, unsigned *answered, char *error, int err_sz) {
  const int max = q330->params.maxretries_control;
  auto work = std::make_unique<Q330STATPkt>();
  {
    std::lock_guard<std::mutex> lock(q330->status.status_pkt_mutex);
    *work = q330->status.status_pkt;
  }
  unsigned want = request, got = 0;
  int requests = 0, tries = 0;
  bool send = true;
  auto finish = [&](int rc) {
    *answered = got;
    std::lock_guard<std::mutex> lock(q330->status.status_pkt_mutex);
    q330->status.status_pkt.status_bitmap = got;
    return rc;
  };
  for (;;) {
    if (send) {
      if (!q330->state_registered) return finish(1);
      requests++;
      q330_output_debugc(q330, 0, "q330_set_status_pvt: Requesting status bitmap = 0x%x", want);
      if (q330_sendcmd(q330, C1_RQSTAT, want) < 0) {
        elog_clear_register(0);
        q330_set_error(error, err_sz, "q330_get_status_pvt: q330_sendcmd(RQSTAT) error");
        return finish(-1);
      }
    }
    // Every receive counts as a try, also one after a bad acknowledgement.
    tries++;
    send = true;
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, C1_STAT, 0, 1, &command, work.get(), &ack);
    if (const char *why = status_breakout(q330->state_acquisition.load())) {
      LOG("Status breakout due to %s\n", why);
      return finish(-1);
    }
    if (!q330->state_registered) return finish(1);
    switch (rc) {
      case Q330_RECV_OK: {
        unsigned returned = work->status_bitmap;
        {
          std::lock_guard<std::mutex> lock(q330->status.status_pkt_mutex);
          q330->status.status_pkt = *work;
        }
        q330_output_debugc(q330, 0, "q330_set_status_pvt: Returned status bitmap = 0x%x", returned);
        got |= returned;
        // Blocks answered without being asked must not wrap the request.
        want = request & ~(got & Q330_STATUS_BLOCKS);
        if (want == 0 || returned == 0) return finish(0);
        if (got & Q330_STATUS_TOKENS) {
          LOG("DP tokens change causing breakout...probably partial status\n");
          return finish(0);
        }
        if (requests >= Q330_STATUS_MAX_REQUESTS) {
          LOG("Too many requests for status...probably partial status\n");
          return finish(0);
        }
        tries = 0;
        break;
      }
      case Q330_RECV_WOULDBLOCK:
      case Q330_RECV_TIMEOUT:
        if (rc == Q330_RECV_WOULDBLOCK) LOG("ERROR: udp_read() returns EWOULDBLOCK\n");
        if (q330->params.verbose_log > 2 || q330->params.debug_control)
          LOG("Status timeout - retrying\n");
        if (tries >= max) {
          LOG("ERROR: too many status timeouts.\n");
          return finish(-1);
        }
        break;
      case Q330_RECV_CRC:
        if (tries > max) {
          LOG("ERROR: too many status CRC errors\n");
          return finish(-1);
        }
        LOG("ERROR: Bad status CRC - retrying\n");
        break;
      case Q330_RECV_ACK:
        if (tries > max) {
          LOG("ERROR: Bad status acknowledgment %d need %d - too many errors\n", ack,
              q330->sequence);
          return finish(-1);
        }
        LOG("ERROR: Bad status acknowledgment %d need %d - retrying\n", ack, q330->sequence);
        send = false;
        break;
      case Q330_RECV_WRONGCMD:
        if (command == Q330_C1_CERR) {
          char text[128] = "";
          q330_code2str(Q330_C1_CERR, q330->last_cerr_code, text, sizeof text);
          if (tries > max) {
            LOG("ERROR: Status Q330 ERROR: %d: %s - too many errors\n", q330->last_cerr_code, text);
            return finish(-1);
          }
          LOG("ERROR: Status Q330 ERROR: %d: %s - retrying\n", q330->last_cerr_code, text);
        } else {
          if (tries > max) {
            LOG("ERROR: Wrong status response (0x%2.2x) - too many errors\n", command);
            return finish(-1);
          }
          LOG("ERROR: Wrong status response (0x%2.2x) - retrying\n", command);
        }
        myusleep(1.0);
        break;
      default:
        LOG("ERROR: Bad status read packet from q330.\n");
        return finish(-1);
    }
  }
}

// C1_RQLOG into a copy of the configuration's LOG block; 0 or -1 (reported).
int read_log_block(Q330 *q330, Q330LOGPkt *log) {
  char error[256] = "";
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    *log = q330->config.config_pkt.log;
  }
  if (q330_exec_cmd_pvt(q330, C1_RQLOG, C1_LOG, reinterpret_cast<char *>(log), 1, nullptr, error,
                        sizeof error) < 0) {
    elog_complain(0, "ERROR: q330_exec_cmd_pvt(C1_RQLOG) error: %s.\n", error);
    LOG("ERROR: q330_exec_cmd_pvt(C1_RQLOG) error: %s.\n", error);
    return -1;
  }
  q330_output_debugc(q330, 0, "q330_set_status_pvt: C1_RQLOG ok");
  return 0;
}

void user_message(Q330 *q330, const Q330MSGSTATPkt &msg) {
  char ip[256] = "";
  if (my_ip2str(msg.senders_ip_address, ip, q330->noipresolv, sizeof ip) < 0 || !ip[0]) {
    elog_clear_register(0);
    LOG("UMSG: ip = %8.8X, msg = %s\n", msg.senders_ip_address, msg.msg);
    return;
  }
  LOG("UMSG: ip = %s, msg = %s\n", ip, msg.msg);
}

void logical_port_change(Q330 *q330) {
  LOG("logical port change indicated in returned status\n");
  LOG("Resetting link parameters to process status port config change.\n");
  LOG("Getting configuration\n");
  int old_window;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    old_window = q330->config.config_pkt.log.window_size;
  }
  Q330LOGPkt log{};
  if (read_log_block(q330, &log) < 0) {
    LOG("Recycling link...\n");
    q330_restart_link(q330, 0);
    return;
  }
  Q330DLParams &p = q330->params;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    q330->config.config_pkt.log = log;
    if (log.window_size == old_window) {
      p.ack_timeout_data = static_cast<double>(log.acknowledge_timeout) * 0.1;
      p.udp_timeout_data = p.ack_timeout_data + 0.005;
      if (p.udp_timeout_data > 10.0) p.udp_timeout_data = 10.0;
      p.maxretries_data = static_cast<int>(p.timeout_data / p.udp_timeout_data + 0.5);
      q330->packets_received_since_last_ack = 0;
      q330->time_last_dack = 0;
    }
  }
  if (log.window_size != old_window) {
    LOG("Window size change (%d -> %d) - Recycling link...\n", old_window, log.window_size);
    q330_restart_link(q330, 0);
    return;
  }
  LOG("Resetting ack link parameters...\n");
}

void flush_buffer(Q330 *q330) {
  Q330DLParams &p = q330->params;
  q330->flush_buffer_lockout = 1;
  double threshold = std::trunc(std_now() - p.flush_buffer_age);
  char *text = epoch2str(threshold, "%Y%j %H:%M:%S");
  LOG("STATUS: Flushing Q330 packet buffer for packets prior to %s...\n", text ? text : "");
  free(text);
  Q330LOGPkt log{};
  if (read_log_block(q330, &log) < 0) {
    LOG("ERROR: Unable to flush packet buffer.\n");
    return;
  }
  log.flags |= 0x02;
  log.old_data_threshold_time =
      p.flush_buffer_age > 0 ? static_cast<uint32_t>(threshold - q330->epoch_2000) : 0;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    q330->config.config_pkt.log = log;
  }
  char error[256] = "";
  if (q330_exec_cmd_pvt(q330, C1_SLOG, Q330_C1_CACK, nullptr, 1, nullptr, error, sizeof error) <
      0) {
    elog_complain(0, "ERROR: q330_exec_cmd_pvt(C1_SLOG) error: %s.\n", error);
    LOG("ERROR: q330_exec_cmd_pvt(C1_SLOG) error: %s.\n", error);
    LOG("ERROR: Unable to flush packet buffer.\n");
  }
}

void comm_efficiency(Q330 *q330, const Q330LOGSTATPkt &log) {
  Q330DLParams &p = q330->params;
  Q330Status &st = q330->status;
  int sent = static_cast<int>(log.total_data_packets_sent + log.total_fill_packets_sent);
  int resent = static_cast<int>(log.total_packets_resent);
  if (q330->first_status) {
    q330->first_status = 0;
    q330->packets_sent = sent;
    q330->packets_resent = resent;
  }
  // Without a report interval there is no bin width: no averagers, commeff stays -1.
  if (q330->packets_sent > 0 && p.statusreport_interval > 0) {
    int nbin = static_cast<int>((p.commeff_interval + 10.0) / p.statusreport_interval);
    if (nbin < 1) nbin = 1;
    if (!st.ta_commeff_sent &&
        !(st.ta_commeff_sent = taverage_create(st.datarate_origin, p.statusreport_interval, nbin)))
      elog_die(0, "q330_get_status_pvt: taverage_create(commeff_sent) error");
    if (!st.ta_commeff_resent && !(st.ta_commeff_resent = taverage_create(
                                       st.datarate_origin, p.statusreport_interval, nbin)))
      elog_die(0, "q330_get_status_pvt: taverage_create(commeff_resent) error");
    if (sent - q330->packets_sent > 0) {
      taverage_put(st.ta_commeff_sent, sent - q330->packets_sent);
      if (resent - q330->packets_resent > 0)
        taverage_put(st.ta_commeff_resent, resent - q330->packets_resent);
    }
  }
  q330->packets_sent = sent;
  q330->packets_resent = resent;
}

// Seconds the datalogger's own time may lie behind the last time fed before its clock
// counts as set back: more than the half second its time text is centred by.
constexpr double CLOCK_SETBACK_SLACK = 2.0;

// The shared-memory clock, fed with the last good 1PPS time of a locked clock. A time no
// later than the last one fed is not published while the datalogger's own time is not
// behind that one (a 1PPS in hold): the host's clock daemon then holds, instead of being
// steered by a stale time. A datalogger whose own time is behind it had its clock set
// back: its time is published again, with one log line, rather than withheld until it
// passes the old one.
void feed_clock(Q330 *q330, unsigned answered) {
  if (!q330->dlclock || (answered & 3u) != 3u) return;
  Q330GLOBSTATPkt glob;
  Q330GPSSTATPkt gps;
  {
    std::lock_guard<std::mutex> lock(q330->status.status_pkt_mutex);
    glob = q330->status.status_pkt.glob;
    gps = q330->status.status_pkt.gps;
  }
  if (!(glob.clock_quality & 0xC0)) return;
  double t = static_cast<double>(gps.time_of_last_good_1pps) + q330->epoch_2000 + 1.0;
  if (q330->params.debug_control) {
    char *text = strtime(t);
    q330_output_debugc(q330, 0, "q330_set_status_pvt: Time set from '%s' '%s' (%s)\n",
                       gps.gps_date_string, gps.gps_time_string, text ? text : "");
    free(text);
  }
  if (t <= q330->dlclock_fed) {
    const double now = datalogger_time(q330, glob);
    if (now >= q330->dlclock_fed - CLOCK_SETBACK_SLACK) {
      q330_output_debugc(q330, 0, "q330_set_status_pvt: 1PPS time %.0f not after %.0f, not set\n",
                         t, q330->dlclock_fed);
      return;
    }
    char *was = strtime(q330->dlclock_fed);
    char *is = strtime(now);
    q330_output(q330, Q330_OUT_LOG,
                "Datalogger clock set back from %s to %s: its 1PPS time is published again.\n",
                was ? was : "", is ? is : "");
    free(was);
    free(is);
  }
  q330->dlclock_fed = t;
  set_Dlclock(t);
}

// The buffer fill the watchdog reports and the status-request thread clears.
void set_bufpcnt(Q330 *q330, double pcnt) {
  {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.bufpcnt = pcnt;
  }
  // Outside states 5 and 6 the status-request thread clears a fill again.
  if (pcnt != -1) q330_wake(q330);
}

}  // namespace

int q330_get_status_pvt(Q330 *q330, Pf *pf, unsigned int status_bitmap, char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_status_pvt: Must register server first");
    return -1;
  }
  unsigned request = status_bitmap;
  if (pf) {
    int bits = 0;
    if (parse_param(pf, "status_bitmap", P_LINT, 1, &bits) != 0) {
      elog_clear_register(0);
      q330_set_error(error, err_sz, "q330_status_pvt: parse_param(status_bitmap) error");
      return -1;
    }
    request = static_cast<unsigned>(bits);
  }
  if (request == 0) return 0;
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_get_status_pvt: Must register server first");
    return -1;
  }
  if (q330->full_status) request = Q330_STATUS_ALL;
  uint16_t flags;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    flags = q330->config.config_pkt.fix.flags;
  }
  if (!(flags & 0x02)) request &= ~(1u << 17);
  if (!(flags & 0x04)) request &= ~(1u << 18);
  if (!(flags & 0x10)) request &= ~(1u << 19);
  q330_output_debugc(q330, 0, "q330_status_pvt: Requesting status bitmap = 0x%x", request);

  if (request == 0) {  // only blocks the datalogger cannot serve were asked
    q330->full_status = 0;
    return 0;
  }
  unsigned answered = 0;
  int rc = collect(q330, request, &answered, error, err_sz);
  q330->full_status = 0;
  Q330DLParams &p = q330->params;
  Q330Status &st = q330->status;
  if (rc == 1) {
    // Deregistered meanwhile: a data-port open must not go on without status.
    q330_set_error(error, err_sz, "q330_get_status_pvt: not registered");
    set_bufpcnt(q330, -1);
    return -1;
  }
  if (rc < 0) {
    set_bufpcnt(q330, -1);
    feed_clock(q330, answered);
    return -1;
  }

  std::unique_ptr<Q330STATPkt> s = std::make_unique<Q330STATPkt>();
  {
    std::lock_guard<std::mutex> lock(st.status_pkt_mutex);
    *s = st.status_pkt;
  }
  const int port = p.q330_port_logical >= 1 && p.q330_port_logical <= 4 ? p.q330_port_logical : 1;
  if (answered & Q330_STATUS_UMSG) user_message(q330, s->msg);
  if (answered & Q330_STATUS_TOKENS) {
    LOG("DP tokens change indicated in returned status\n");
    LOG("Recycling link...\n");
    q330->need_rqmem = 1;
    q330_restart_link(q330, 0);
  }
  if (answered & Q330_STATUS_LOGCHANGE) logical_port_change(q330);

  // Clock comparison: the stored host time moves half a second later when the two clocks
  // drifted more than that apart since the last readout.
  double now = std_now();
  double t = datalogger_time(q330, s->glob);
  {
    std::lock_guard<std::mutex> lock(st.status_mutex);
    double d = (now - st.time_last_status_pkt) - (t - st.q330_time);
    if (std::fabs(d) > 0.5) now += 0.5;
    st.time_last_status_pkt = now;
    st.q330_time = t;
  }
  if (p.output_time_packet && (s->glob.clock_quality & 0xC0) == 0xC0)
    q330_output(q330, Q330_OUT_TIME, &t);
  {
    std::lock_guard<std::mutex> lock(q330->timeout_mutex);
    q330->control_timeout =
        p.control_inactivity_timeout > 0 ? now + p.control_inactivity_timeout : 0;
  }

  if (answered & (1u << (8 + port - 1))) q330->flush_buffer_lockout = 0;
  const Q330LOGSTATPkt &log = s->log[port - 1];
  double used = static_cast<double>(log.bytes_of_packet_currently_used);
  double size;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    size =
        static_cast<double>(q330->config.config_pkt.fix.logical_port_packet_memory_size[port - 1]);
  }
  const double pcnt = size > 0 ? used * 100.0 / size : -1;
  set_bufpcnt(q330, pcnt);
  if (size > 0 && p.flush_buffer_thresh > 0 && !q330->flush_buffer_lockout &&
      pcnt >= p.flush_buffer_thresh)
    flush_buffer(q330);
  st.status_pkt_null = 0;
  q330_output_debugc(q330, 0, "q330_set_status_pvt: Status packet received.\n");

  if (p.disposition == 2) {
    LOG("STATUS: Percent buffer = %.3f\n", pcnt);
    if (size > 0 && pcnt <= p.shutdown_buffer_thresh && q330->buffer_thresh_flag) {
      q330->buffer_thresh_flag = 0;
      double wait = p.shutdown_buffer_wait > 0 ? p.shutdown_buffer_wait : 0;
      double now2 = std_now();
      double at = now2 + wait;
      std::lock_guard<std::mutex> lock(q330->timeout_mutex);
      if (q330->acquisition_timeout == 0 || q330->acquisition_timeout > at)
        q330->acquisition_timeout = at;
      LOG("STATUS: Shutdown due to buffer threshold in %.1f seconds...\n", at - now2);
    }
  }
  comm_efficiency(q330, log);
  feed_clock(q330, answered);
  return 0;
}
