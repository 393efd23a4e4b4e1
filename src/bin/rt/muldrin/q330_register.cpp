// q330_register.cpp - reaching a datalogger: endpoints, the serial-number poll, the
// challenge-and-response registration, deregistration and the generic command exchange.
// All of it runs on the session's control thread; the heartbeat pair is shared with the
// watchdog under last_control_thread_time_mutex. The address texts and the trial of an
// announced address are under address_mutex, which any thread may take to copy them.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "q330_qdp.h"
#include "q330_state.h"
#include "support/hostid.h"
#include "support/stdtime.h"

namespace {

// A decode target for a reply of any command: larger than every control-port structure.
struct AnyReply {
  std::vector<uint64_t> words = std::vector<uint64_t>(32768);
  void *data() { return words.data(); }
};

void verbose_callback(void *pvt, const char *line) {
  q330_print_udp(static_cast<Q330 *>(pvt), line);
}

// Creates an endpoint with its cache, drop rate and verbose output, and with `averages`
// its averagers from `origin`. 0, or the failing step: 1 udp_new, 2 the cache, 3 averagers.
int make_endpoint(Q330 *q330, UDP **udp, int cache_size, double drop, bool averages,
                  double origin) {
  if (udp_new(udp) < 0 || !*udp) return 1;
  if (udp_new_packet_cache(*udp, cache_size) < 0) return 2;
  (*udp)->drop_packet_pcnt = drop;
  udp_set_verbose(*udp, q330->params.debug_udp);
  (*udp)->verbose_callback = verbose_callback;
  (*udp)->verbose_callback_pvt = q330;
  if (averages && udp_setup_averages(*udp, origin, 3600.0, 90000.0, 3600.0, 90000.0, 1.0,
                                     q330->params.datarate_interval + 10.0) < 0)
    return 3;
  return 0;
}

int make_control(Q330 *q330, bool averages) {
  double origin = 0;
  if (averages) {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.datarate_origin = origin = clock_now();
  }
  return make_endpoint(q330, &q330->udp_control, q330->params.udp_packetcache_size_control,
                       q330->params.control_drop_packet_pcnt, averages, origin);
}

const char *const endpoint_steps[] = {"", "udp_new", "udp_new_packet_cache", "udp_setup_averages"};

bool no_address(const char *addr) { return !addr || !addr[0] || strcmp(addr, "-") == 0; }

// Copy of a text member under address_mutex ("" for none).
std::string copy_text(Q330 *q330, char *const *text) {
  std::lock_guard<std::mutex> lock(q330->address_mutex);
  return *text ? *text : "";
}

// Under address_mutex: the next registration goes to `ip`.
void move_to(Q330 *q330, const std::string &ip) {
  set_q330_str(&q330->params.q330_ipaddress, ip.c_str());
  q330->params.q330_reset_ipaddress = 1;
}

// Ports, host:port texts and link text for `ip` ("" none), and the endpoints closed for a
// fresh start (created when missing). 0 or -1 as set_q330_hostport.
int hostport_at(Q330 *q330, const std::string &ip);

}  // namespace

int q330_make_endpoint(Q330 *q330, UDP **udp, int cache_size, double drop, bool averages,
                       double origin) {
  return make_endpoint(q330, udp, cache_size, drop, averages, origin);
}

int q330_digest_text(const Q330SRVCHPkt *ch, unsigned auth_high, unsigned auth_low,
                     unsigned serial_high, unsigned serial_low, char *text) {
  snprintf(text, 81, "%-8.8x%-8.8x%-8.8x%-4.4x%-4.4x%-8.8x%-8.8x%-8.8x%-8.8x%-8.8x%-8.8x",
           ch->challenge_value_high, ch->challenge_value_low, ch->server_ip_address,
           static_cast<unsigned>(ch->server_udp_port),
           static_cast<unsigned>(ch->registration_number), auth_high, auth_low, serial_high,
           serial_low, 0u, 0u);
  return 0;
}

int set_q330_hostport(Q330 *q330) { return hostport_at(q330, q330_address(q330)); }

namespace {

int hostport_at(Q330 *q330, const std::string &ip) {
  Q330DLParams &p = q330->params;
  if (p.q330_port_logical < 1 || p.q330_port_logical > 4) {
    elog_complain(0, "set_q330_hostport: Illegal q330 logical port number %d.\n",
                  p.q330_port_logical);
    return -1;
  }
  if (ip.empty()) {
    elog_complain(0, "set_q330_hostport: No value for q330_ipaddress.\n");
    return -1;
  }
  p.q330_port_control = p.q330_port_base + 2 * p.q330_port_logical;
  p.q330_port_data = p.q330_port_control + 1;
  char text[512];
  snprintf(text, sizeof text, "%s:%d", ip.c_str(), p.q330_port_control);
  set_q330_str(&q330->q330_hostport_control, text);
  snprintf(text, sizeof text, "%s:%d", ip.c_str(), p.q330_port_data);
  set_q330_str(&q330->q330_hostport_data, text);
  char dotted[64] = "-";
  if (!no_address(ip.c_str())) {
    unsigned addr = 0;
    if (name2ip(ip.c_str(), &addr, dotted) < 0) {
      elog_complain(0, "set_q330_hostport: Unable to resolve ip name '%s'.\n", ip.c_str());
      return -1;
    }
  }
  snprintf(text, sizeof text, "udp:%s:%d:L%d:%s:%d:%d", dotted, p.q330_port_control,
           p.q330_port_logical, p.disposition_str ? p.disposition_str : "", p.local_port_control,
           p.local_port_data);
  {
    std::lock_guard<std::mutex> lock(q330->address_mutex);
    set_q330_str(&p.q330_com, text);
  }
  if (q330->udp_control) {
    q330_output_debugc(q330, 0, "set_q330_hostport: Closing local control port %d.\n",
                       p.local_port_control);
    udp_close(q330->udp_control);
  } else if (int step = make_control(q330, true)) {
    elog_complain(0, "set_q330_hostport: %s(udp_control) error.\n", endpoint_steps[step]);
    return -1;
  }
  if (q330->udp_data) {
    if (p.debug_data)
      q330_output(q330, Q330_OUT_LOG, "DEBUGD: Closing local data port %d.\n", p.local_port_data);
    udp_close(q330->udp_data);
    return 0;
  }
  if (int step = make_endpoint(q330, &q330->udp_data, p.udp_packetcache_size_data,
                               p.data_drop_packet_pcnt, true, q330->status.datarate_origin)) {
    elog_complain(0, "set_q330_hostport: %s(udp_data) error.\n", endpoint_steps[step]);
    return -1;
  }
  q330_read_state_udp(q330, 1);
  q330_read_state_udp(q330, 2);
  return 0;
}

}  // namespace

std::string q330_address(Q330 *q330) { return copy_text(q330, &q330->params.q330_ipaddress); }
std::string q330_link_text(Q330 *q330) { return copy_text(q330, &q330->params.q330_com); }
std::string q330_serial_text(Q330 *q330) {
  return copy_text(q330, &q330->params.q330_serial_number);
}

std::string q330_address_settled(Q330 *q330) {
  std::lock_guard<std::mutex> lock(q330->address_mutex);
  if (!q330->trial_ipaddress.empty()) return q330->registered_ipaddress;
  return q330->params.q330_ipaddress ? q330->params.q330_ipaddress : "";
}

int q330_address_set(Q330 *q330, const char *ip) {
  std::lock_guard<std::mutex> lock(q330->address_mutex);
  q330->trial_ipaddress.clear();
  move_to(q330, ip ? ip : "");
  return 0;
}

int q330_address_announce(Q330 *q330, const char *ip, std::string *old) {
  const std::string to = ip ? ip : "";
  std::lock_guard<std::mutex> lock(q330->address_mutex);
  const char *cur = q330->params.q330_ipaddress;
  const std::string heading =
      !q330->trial_ipaddress.empty() ? q330->trial_ipaddress : (cur && cur[0] ? cur : "-");
  if (to == heading) return 0;
  if (old) *old = heading;
  // An announcement carries no signature: the address it names is tried in turn with the
  // last one that registered, so that a false one costs a try now and then, and a true
  // one is reached even when its first try finds the datalogger not yet answering.
  if (q330->registered_ipaddress.empty() || to == q330->registered_ipaddress)
    q330->trial_ipaddress.clear();
  else
    q330->trial_ipaddress = to;
  move_to(q330, to);
  return 1;
}

int q330_get_serial_number(Q330 *q330, unsigned *serial_high, unsigned *serial_low) {
  if (!q330->udp_control) {
    if (int step = make_control(q330, false)) {
      elog_complain(0, "q330_get_serial_number: %s(udp_control) error.\n", endpoint_steps[step]);
      return -1;
    }
  }
  if (!q330->q330_hostport_control) {
    elog_complain(0, "q330_get_serial_number: No q330_hostport_control specified.\n");
    return -1;
  }
  q330_output(q330, Q330_OUT_LOG, "Getting serial number for ip address %s.\n",
              q330->q330_hostport_control);
  AnyReply reply;
  int tries = 0;
  const int max = q330->params.maxretries_control;
  bool send = true;
  for (;;) {
    if (send) {
      if (q330_sendcmd(q330, Q330_C1_POLLSN) < 0) {
        elog_complain(0, "q330_get_serial_number: q330_sendcmd(POLLSN) error.\n");
        return -1;
      }
    }
    // Every reply and every time-out counts against the tries, so a stream of stale
    // replies cannot hold the poll for ever.
    tries++;
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, Q330_CMD_ANY, 1, 1, &command, reply.data(), &ack);
    send = true;
    if (rc == 0 && command == Q330_C1_MYSN) {
      const auto *sn = static_cast<const Q330MYSNPkt *>(reply.data());
      *serial_high = sn->serial_number_high;
      *serial_low = sn->serial_number_low;
      q330_output(q330, Q330_OUT_LOG, "Q330 serial number = %-8.8X%-8.8X\n", *serial_high,
                  *serial_low);
      return 0;
    }
    if (rc == 0 && command == Q330_C1_CERR) {
      elog_log(0, "q330_get_serial_number: Q330 ERROR: %d.\n",
               static_cast<const Q330CERRPkt *>(reply.data())->error_code);
      return -1;
    }
    const bool within = tries <= max;
    if (rc == 0) {
      elog_log(0, "q330_get_serial_number: Wrong response on read packet from q330 (0x%2.2x).\n",
               command);
      if (!within) break;
      q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response (0x%2.2x) - retrying\n", command);
    } else if (rc == Q330_RECV_TIMEOUT || rc == Q330_RECV_WOULDBLOCK) {
      if (rc == Q330_RECV_WOULDBLOCK)
        q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
      if (!within) {
        elog_complain(0, "q330_get_serial_number: too many timeouts.\n");
        return -1;
      }
    } else if (rc == Q330_RECV_CRC) {
      elog_log(0, "q330_get_serial_number: Bad CRC on read packet from q330.\n");
      if (!within) break;
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad CRC - retrying\n");
    } else if (rc == Q330_RECV_ACK) {
      elog_log(0, "q330_get_serial_number: Bad acknowledgment on read packet from q330.\n");
      if (!within) break;
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad acknowledgment %d need %d - retrying\n", ack,
                  q330->sequence);
      send = false;
    } else {
      elog_complain(0, "q330_get_serial_number: Bad read packet from q330.\n");
      return -1;
    }
  }
  elog_complain(0, "q330_get_serial_number: too many errors.\n");
  return -1;
}

// The stash decision made when a serial number is learnt.
static void decide_stash(Q330 *q330) {
  Q330DLParams &p = q330->params;
  if (q330->nowritestash) {
    q330->pendingstashrequest = 0;
    return;
  }
  q330->pendingstashrequest = 1;
  for (auto &row : p.data_chan)
    for (Q330Chan &c : row)
      if (c.outputthischan && c.user_data && c.stafromproptag) q330->pendingstashrequest = 0;
  for (Q330Chan *c : p.ep_channels)
    if (c && c->user_data && c->stafromproptag) q330->pendingstashrequest = 0;
  if (q330->pendingstashrequest)
    q330_output(q330, Q330_OUT_LOG, "--------q330 %s sending stash--------\n",
                p.dlname ? p.dlname : "");
}

namespace {

// Set-up: the address (*ip, the one tried), the control endpoint, and a serial number and
// authentication code that can be sent. 0, or -1 with `error` set.
int register_prepare(Q330 *q330, std::string *ip, char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  Q330DLParams &p = q330->params;
  q330->state_registered = 0;
  bool reset = false;
  {
    std::lock_guard<std::mutex> lock(q330->address_mutex);
    reset = p.q330_reset_ipaddress != 0;
    p.q330_reset_ipaddress = 0;
    *ip = p.q330_ipaddress ? p.q330_ipaddress : "";
  }
  if (reset) {
    if (hostport_at(q330, *ip) < 0) {
      elog_clear_register(0);
      q330_set_error(error, err_sz, "q330_register_pvt: set_q330_hostport() error");
      q330_output(q330, Q330_OUT_LOG, "ERROR: set_q330_hostport(%s) error.\n", ip->c_str());
      return -1;
    }
  }
  if (no_address(ip->c_str())) {
    q330_output(q330, Q330_OUT_LOG, "NULL Q330 ip address.\n");
    return -1;
  }
  if (q330->udp_control) {
    q330_output_debugc(q330, 0, "q330_register_pvt: Closing local control port %d.\n",
                       p.local_port_control);
    udp_close(q330->udp_control);
  } else if (int step = make_control(q330, true)) {
    elog_clear_register(0);
    q330_set_error(error, err_sz, "q330_register_pvt: %s(udp_control) error", endpoint_steps[step]);
    return -1;
  }
  q330_read_state_udp(q330, 1);
  if (!q330->q330_hostport_control) {
    q330_set_error(error, err_sz, "q330_register_pvt: No q330_hostport_control specified");
    return -1;
  }
  if (!p.q330_serial_number || !p.q330_serial_number[0] || strcmp(p.q330_serial_number, "-") == 0) {
    unsigned high = 0, low = 0;
    if (q330_get_serial_number(q330, &high, &low) < 0) {
      q330_set_error(error, err_sz, "q330_register_pvt: q330_get_serial_number() error.\n");
      return -1;
    }
    char sn[32];
    snprintf(sn, sizeof sn, "%-8.8X%-8.8X", high, low);
    {
      std::lock_guard<std::mutex> lock(q330->address_mutex);
      set_q330_str(&p.q330_serial_number, sn);
    }
    decide_stash(q330);
  }
  // Both texts must be hexadecimal; words from anything else would be undefined.
  unsigned h = 0, l = 0;
  if (unstuff_a2uint8(&h, &l, p.q330_serial_number) < 0) {
    q330_set_error(error, err_sz, "q330_register_pvt: q330_serial_number is not hexadecimal");
    return -1;
  }
  const char *code = p.q330_authentication_codes
                         ? static_cast<const char *>(gettbl(p.q330_authentication_codes,
                                                            p.q330_authentication_codes_last_entry))
                         : nullptr;
  if (unstuff_a2uint8(&h, &l, code) < 0) {
    q330_set_error(error, err_sz,
                   "q330_register_pvt: q330_authentication_codes entry %d is not hexadecimal",
                   p.q330_authentication_codes_last_entry);
    return -1;
  }
  q330_output(q330, Q330_OUT_LOG, "Registering for ip address %s, serial no. %s.\n", ip->c_str(),
              p.q330_serial_number);
  return 0;
}

// A try of a registration phase is a request sent: a late reply to an earlier request (a
// bad acknowledgement) is passed over and the reply waited for again, without a try. Only
// a run of them longer than a datalogger's duplicates makes the request go out again.
constexpr int STALE_REPLIES_MAX = 8;

// Challenge phase: asks for the server challenge until it comes. 0 with it in *challenge;
// -1 when the tries are used up or the reply cannot be read (`error` set where the send
// failed); -2 when the acquisition state breaks registration off.
int register_challenge(Q330 *q330, Q330SRVCHPkt *challenge, char *error, int err_sz) {
  const Q330DLParams &p = q330->params;
  const int max = p.maxretries_control;
  int tries = 0, stale = 0;
  bool send = true;
  for (;;) {
    if (send) {
      q330_control_heartbeat(q330);
      q330_output_debugc(q330, 0,
                         "q330_register_pvt: sending request server registration command.\n");
      if (q330_sendcmd(q330, Q330_C1_RQSRV) < 0) {
        q330_set_error(error, err_sz, "ERROR: q330_sendcmd(RQSRV) error");
        q330_output(q330, Q330_OUT_LOG, "ERROR: q330_sendcmd(RQSRV) error.\n");
        return -1;
      }
      tries++;
      stale = 0;
    }
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, Q330_C1_SRVCH, 0, 1, &command, challenge, &ack);
    elog_clear_register(0);
    Q330AcqState state = q330->state_acquisition.load();
    if (const char *why = q330_breakout(state, "link restart")) {
      q330_output(q330, Q330_OUT_LOG, "Registration breakout due to %s\n", why);
      return -2;
    }
    const bool beyond = tries > max;
    send = true;
    if (rc == 0) break;
    if (rc == Q330_RECV_TIMEOUT || rc == Q330_RECV_WOULDBLOCK) {
      if (rc == Q330_RECV_WOULDBLOCK)
        q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG,
                    "ERROR: Too many server challenge timeouts - registration breakout\n");
        return -1;
      }
      if (p.verbose_log > 1) q330_output(q330, Q330_OUT_LOG, "ERROR: UDP timeout - retrying\n");
      clock_sleep(2.0);
    } else if (rc == Q330_RECV_CRC) {
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Bad CRC - too many errors.\n");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad CRC - retrying\n");
      clock_sleep(2.0);
    } else if (rc == Q330_RECV_ACK) {
      const bool flood = ++stale > STALE_REPLIES_MAX;
      if (flood && beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Too many errors.\n");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad acknowledgment %d need %d - retrying\n", ack,
                  q330->sequence);
      clock_sleep(1.0);
      send = flood;
    } else if (rc == Q330_RECV_WRONGCMD && command == Q330_C1_CERR) {
      char msg[128];
      q330_code2str(Q330_C1_CERR, q330->last_cerr_code, msg, sizeof msg);
      q330_output(q330, Q330_OUT_LOG, "ERROR: C1_CERR: %s\n", msg);
      q330_output(q330, Q330_OUT_LOG, "ERROR: registration request server C1_CERR: %s\n", msg);
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response - too many errors.\n");
        return -1;
      }
      clock_sleep(10.0);
    } else if (rc == Q330_RECV_WRONGCMD) {
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response - too many errors.\n");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response (0x%2.2x) - retrying\n", command);
      clock_sleep(10.0);
    } else {
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad read packet from q330.\n");
      return -1;
    }
  }
  return 0;
}

// Response phase: answers the challenge until the datalogger acknowledges it, switching
// the authentication code when it is refused and more are given. 0, -1 or -2 as the
// challenge phase.
int register_response(Q330 *q330, Q330SRVCHPkt *challenge, char *error, int err_sz) {
  Q330DLParams &p = q330->params;
  const int max = p.maxretries_control;
  q330_output_debugc(q330, 0, "q330_register_pvt: Server challenge packet received.\n");
  AnyReply reply;
  int tries = 0, stale = 0;
  bool send = true;
  for (;;) {
    if (send) {
      q330_control_heartbeat(q330);
      q330_output_debugc(q330, 0, "q330_register_pvt: Sending server response.\n");
      if (q330_sendcmd(q330, Q330_C1_SRVRSP, challenge) < 0) {
        elog_clear_register(0);
        q330_set_error(error, err_sz, "ERROR: q330_sendcmd(SRVRSP) error");
        q330_output(q330, Q330_OUT_LOG, "ERROR: q330_sendcmd(SRVRSP) error.\n");
        return -1;
      }
      tries++;
      stale = 0;
    }
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, Q330_CMD_ANY, 1, 1, &command, reply.data(), &ack);
    Q330AcqState state = q330->state_acquisition.load();
    if (const char *why = q330_breakout(state, "re-registration")) {
      q330_output(q330, Q330_OUT_LOG, "Registration breakout due to %s\n", why);
      return -2;
    }
    const bool beyond = tries > max;
    send = true;
    if (rc == 0 && command == Q330_C1_CACK) break;
    if (rc == 0 && command == Q330_C1_CERR) {
      int code_recv = static_cast<const Q330CERRPkt *>(reply.data())->error_code;
      char msg[128];
      q330_code2str(Q330_C1_CERR, code_recv, msg, sizeof msg);
      q330_output(q330, Q330_OUT_LOG, "ERROR: registration server response C1_CERR: %s\n", msg);
      if (code_recv == 3 && !q330->auth_hint_given) {
        // The datalogger refused the digest: almost always a wrong code in the parameter
        // file. Said once a session, on standard error and in the ring.
        q330->auth_hint_given = true;
        q330_output(q330, Q330_OUT_STDOUT,
                    "ERROR: the datalogger refused the registration digest: check "
                    "q330_authentication_code for %s in the parameter file\n",
                    p.dlname ? p.dlname : "this datalogger");
      }
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG,
                    "ERROR: Too many Q330 packet errors - registration breakout\n");
        return -1;
      }
      long ncodes = maxtbl(p.q330_authentication_codes);
      if (code_recv == 3 && ncodes > 1) {
        p.q330_authentication_codes_last_entry =
            static_cast<int>((p.q330_authentication_codes_last_entry + 1) % ncodes);
        q330_output(q330, Q330_OUT_LOG, "Switching authentication code to entry %d\n",
                    p.q330_authentication_codes_last_entry);
      }
      clock_sleep(2.0);
    } else if (rc == 0) {
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response (0x%2.2x) - too many errors\n",
                    command);
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong response (0x%2.2x) - retrying\n", command);
      clock_sleep(2.0);
    } else if (rc == Q330_RECV_TIMEOUT || rc == Q330_RECV_WOULDBLOCK) {
      if (rc == Q330_RECV_WOULDBLOCK)
        q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG,
                    "ERROR: Too many acknowledgment timeouts - registration breakout\n");
        return -1;
      }
      if (p.verbose_log > 1) q330_output(q330, Q330_OUT_LOG, "ERROR: UDP timeout - retrying\n");
      clock_sleep(2.0);
    } else if (rc == Q330_RECV_CRC) {
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Bad CRC - too many errors.\n");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad CRC - retrying\n");
      clock_sleep(2.0);
    } else if (rc == Q330_RECV_ACK) {
      const bool flood = ++stale > STALE_REPLIES_MAX;
      if (flood && beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Bad acknowledgment %d need %d - too many errors\n",
                    ack, q330->sequence);
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad acknowledgment %d need %d - retrying\n", ack,
                  q330->sequence);
      clock_sleep(1.0);
      send = flood;
    } else {
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad read packet from q330.\n");
      return -1;
    }
  }
  return 0;
}

// Registered: the link's start time and count.
void register_done(Q330 *q330) {
  q330_output(q330, Q330_OUT_LOG, "Registration successful.\n");
  q330_output_debugc(q330, 0, "q330_register_pvt: server response acknowledged.\n");
  q330->state_registered = 1;
  {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.starttime = clock_now();
    q330->status.endtime = 0;
  }
  if (q330->status.ta_nlinks_24h) taverage_put(q330->status.ta_nlinks_24h, 1.0);
}

int register_session(Q330 *q330, std::string *ip, char *error, int err_sz) {
  if (register_prepare(q330, ip, error, err_sz) < 0) return -1;
  Q330SRVCHPkt challenge{};
  if (int rc = register_challenge(q330, &challenge, error, err_sz)) return rc;
  if (int rc = register_response(q330, &challenge, error, err_sz)) return rc;
  register_done(q330);
  return 0;
}

// After a registration at `ip` (result rc): one that succeeded makes `ip` the address that
// last registered and ends a trial there or back at the last registered address. One that
// failed while an announced address is on trial sends the next registration to the other
// of the two, unless the address was changed meanwhile. Breakouts change nothing.
void register_settle(Q330 *q330, const std::string &ip, int rc) {
  std::string next;
  bool to_trial = false;
  {
    std::lock_guard<std::mutex> lock(q330->address_mutex);
    const char *cur = q330->params.q330_ipaddress ? q330->params.q330_ipaddress : "";
    std::string &trial = q330->trial_ipaddress;
    if (rc == 0) {
      q330->registered_ipaddress = ip;
      if (ip == trial || ip == cur) trial.clear();
      return;
    }
    if (rc != -1 || trial.empty() || ip != cur || q330->params.q330_reset_ipaddress) return;
    to_trial = ip != trial;
    next = to_trial ? trial : q330->registered_ipaddress;
    move_to(q330, next);
  }
  if (to_trial)
    q330_output(q330, Q330_OUT_LOG,
                "q330_register_pvt: no registration at %s, where it last registered - trying "
                "%s, named by a point of contact, again.\n",
                ip.c_str(), next.c_str());
  else
    q330_output(q330, Q330_OUT_LOG,
                "q330_register_pvt: no registration at %s, named by a point of contact - trying "
                "%s, where it last registered, and then %s again.\n",
                ip.c_str(), next.c_str(), ip.c_str());
}

}  // namespace

int q330_register_pvt(Q330 *q330, char *error, int err_sz) {
  std::string ip;
  const int rc = register_session(q330, &ip, error, err_sz);
  register_settle(q330, ip, rc);
  return rc;
}

int q330_deregister_pvt(Q330 *q330, char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  Q330DLParams &p = q330->params;
  {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    if (q330->status.endtime == 0) q330->status.endtime = clock_now();
    q330->status.starttime = 0;
  }
  if (!q330->udp_control) {
    if (int step = make_control(q330, false)) {
      elog_clear_register(0);
      q330_set_error(error, err_sz, "q330_deregister_pvt: %s(udp_control) error",
                     endpoint_steps[step]);
      return -1;
    }
  }
  if (!p.q330_serial_number) {
    q330_set_error(error, err_sz, "q330_deregister_pvt: No q330_serial_number specified");
    return -1;
  }
  if (!q330->q330_hostport_control) {
    q330_set_error(error, err_sz, "q330_deregister_pvt: No q330_hostport_control specified");
    return -1;
  }
  if (no_address(q330_address(q330).c_str())) return 0;
  int result = 0;
  q330_output_debugc(q330, 0, "q330_deregister_pvt: sending C1_DSRV");
  if (q330_sendcmd(q330, Q330_C1_DSRV) < 0) {
    result = -1;
  } else {
    AnyReply reply;
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, Q330_CMD_ANY, 1, 1, &command, reply.data(), &ack);
    if (rc == 0 && command == Q330_C1_CACK) {
      q330_output_debugc(q330, 0, "q330_deregister_pvt: C1_CACK ok");
    } else {
      clock_sleep(1.0);
      q330_output_debugc(q330, 0, "q330_deregister_pvt: sending C1_DSRV");
      // A silent datalogger is the usual case at shutdown and re-registration: the
      // second request goes out unanswered and deregistration ends well.
      if (q330_sendcmd(q330, Q330_C1_DSRV) < 0) result = -1;
    }
  }
  if (result == -1) {
    elog_clear_register(1);
    q330_set_error(error, err_sz, "q330_deregister_pvt: q330_sendcmd(C1_DSRV) error");
  }
  q330->state_registered = 0;
  if (result == 0) q330_output(q330, Q330_OUT_LOG, "Deregister successful\n");
  if (q330->udp_data) {
    if (p.debug_data)
      q330_output(q330, Q330_OUT_LOG, "DEBUGD: Closing local data port %d.\n", p.local_port_data);
    udp_close(q330->udp_data);
  }
  q330_output_debugc(q330, 0, "q330_deregister_pvt: Closing local control port %d.\n",
                     p.local_port_control);
  udp_close(q330->udp_control);
  return result;
}

namespace {

// Sends `cmd` with `params`, its name left in `name`. 0, or -1 with `error` set.
int exec_send(Q330 *q330, int cmd, char *params, char *name, int name_sz, char *error, int err_sz) {
  q330_control_heartbeat(q330);
  if (q330_code2str(cmd, -1, name, name_sz) < 0) {
    elog_clear_register(1);
    q330_output(q330, Q330_OUT_LOG, "ERROR: q330_code2str(0x%x) error in q330_exec_cmd_pvt().\n",
                cmd);
  }
  if (!q330->state_registered) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: not registered.\n");
    q330_set_error(error, err_sz, "q330_exec_cmd_pvt: not registered");
    return -1;
  }
  // C1_RQSTAT and C2_RQPHY take an integer: `params` points at it.
  int sent;
  if ((cmd == 0x1F || cmd == 0x51) && params) {
    int value = 0;
    memcpy(&value, params, sizeof value);
    sent = cmd == 0x1F ? q330_sendcmd(q330, cmd, static_cast<unsigned>(value))
                       : q330_sendcmd(q330, cmd, value);
  } else {
    sent = q330_sendcmd(q330, cmd, params);
  }
  if (sent < 0) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: q330_sendcmd(%s) error.\n", name);
    q330_set_error(error, err_sz, "ERROR: q330_sendcmd(%s) error", name);
    return -1;
  }
  return 0;
}

// A kill, shutdown or data restart breaks the command off once the shutdown time is
// over: -1 with `error` set. 0 otherwise (a link restart waits for the command).
int exec_breakout(Q330 *q330, char *error, int err_sz) {
  if (const char *why = q330_breakout(q330->state_acquisition.load(), nullptr)) {
    double left = q330->params.shutdown_timeout - (clock_now() - q330->request_shutdown_time);
    if (left <= 0) {
      q330_output(q330, Q330_OUT_LOG, "Exec cmd breakout due to %s\n", why);
      q330_set_error(error, err_sz, "Exec cmd breakout due to %s", why);
      return -1;
    }
    q330_output(q330, Q330_OUT_LOG, "Exec cmd %s breakout in %.1f seconds\n", why, left);
  }
  return 0;
}

}  // namespace

int q330_exec_cmd_pvt(Q330 *q330, int cmd, int rsp, char *response, int check_acq, char *params,
                      char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_exec_cmd_pvt: Must register server first.");
    return -1;
  }
  const int max = q330->params.maxretries_control;
  AnyReply own;
  void *target = response ? static_cast<void *>(response) : own.data();
  int tries = 0;
  bool send = true;
  char name[64] = "";
  for (;;) {
    if (send && exec_send(q330, cmd, params, name, sizeof name, error, err_sz) < 0) return -1;
    tries++;
    send = true;
    int command = -1;
    unsigned short ack = 0;
    int rc = q330_recv_pkt(q330, rsp, check_acq, 1, &command, target, &ack);
    if (exec_breakout(q330, error, err_sz) < 0) return -1;
    const bool beyond = tries > max;
    if (rc == 0) return 0;
    if (rc == Q330_RECV_TIMEOUT || rc == Q330_RECV_WOULDBLOCK) {
      if (rc == Q330_RECV_WOULDBLOCK)
        q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
      if (beyond) {
        q330_set_error(error, err_sz, "ERROR: too many exec cmd timeouts");
        return -1;
      }
    } else if (rc == Q330_RECV_CRC) {
      if (beyond) {
        q330_set_error(error, err_sz, "ERROR: too many exec cmd errors");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad exec cmd CRC - retrying\n");
      clock_sleep(1.0);
    } else if (rc == Q330_RECV_ACK) {
      if (beyond) {
        q330_set_error(error, err_sz, "ERROR: too many exec cmd errors");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Bad exec cmd acknowledgment %d need %d - retrying\n",
                  ack, q330->sequence);
      clock_sleep(1.0);
      send = false;
    } else if (rc == Q330_RECV_WRONGCMD && command == Q330_C1_CERR) {
      if (beyond) {
        q330_output(q330, Q330_OUT_LOG, "ERROR: Too many exec cmd errors.\n");
        q330_set_error(error, err_sz, "ERROR: too many exec cmd errors");
        return -1;
      }
      char msg[128];
      q330_code2str(Q330_C1_CERR, q330->last_cerr_code, msg, sizeof msg);
      q330_output(q330, Q330_OUT_LOG, "ERROR: Exec cmd %s C1_CERR: %s\n", name, msg);
      q330_set_error(error, err_sz, "C1_CERR: %s", msg);
      return -1;
    } else if (rc == Q330_RECV_WRONGCMD) {
      q330_output(q330, Q330_OUT_LOG,
                  "ERROR: Wrong exec cmd response on read packet from q330 (0x%2.2x).\n", command);
      if (beyond) {
        q330_set_error(error, err_sz, "ERROR: too many exec cmd errors");
        return -1;
      }
      q330_output(q330, Q330_OUT_LOG, "ERROR: Wrong exec cmd response (%s need %s) - retrying\n",
                  q330_cmdstr(static_cast<unsigned>(command)), "C1_CACK");
    } else {
      q330_set_error(error, err_sz, "ERROR: Bad exec cmd read packet from q330");
      return -1;
    }
  }
}
