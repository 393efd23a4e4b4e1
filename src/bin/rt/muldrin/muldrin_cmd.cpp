// muldrin_cmd.cpp - muldrin's remote-command handler.
#include "muldrin_cmd.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "muldrin_run.h"
#include "muldrin_write.h"
#include "q330_opcmds.h"
#include "q330configport.h"
#include "ringsvc/cmdthread.h"

namespace {

const char *nz(const char *s) { return s ? s : ""; }

// The outcome of one datalogger's command, kept until its response can be sent.
struct Outcome {
  Q330 *q330 = nullptr;
  int rc = 0;
  std::string error;
  std::string body;  // parameter-file text of the response, "" for none
};

Q330 *session(Muldrin *m, long i) { return static_cast<Q330 *>(gettbl(m->q330s_tbl, i)); }

// A text member's copy as the responses take it: none when it is empty.
const char *opt(const std::string &text) { return text.empty() ? nullptr : text.c_str(); }

bool matches(CmdThread *cth, Q330 *q330) {
  return !cth->cmd_dlnames || strmatches(nz(q330->params.dlname), cth->cmd_dlnames, nullptr) == 1;
}

int send_body(CmdThread *cth, Pf *request, Q330 *q330, const std::string &body,
              const char *disposition) {
  Pf *pf = nullptr;
  if (!body.empty() && pfcompile(body.c_str(), &pf) != 0) pf = nullptr;
  const std::string sn = q330_serial_text(q330), com = q330_link_text(q330);
  cmdthread_send_rsp(cth, request, q330->params.dlname, opt(sn), opt(com), pf, disposition);
  pffree(pf);
  return 0;
}

// Walks the matching dataloggers in order: `act` issues the command to one and returns its
// outcome; `respond` sends an outcome (last: it is the final response) once the next
// datalogger's command was issued.
void walk(Muldrin *m, CmdThread *cth, const char *cmd, const std::function<Outcome(Q330 *)> &act,
          const std::function<void(const Outcome &, bool last)> &respond) {
  std::optional<Outcome> previous;
  for (long i = 0; i < maxtbl(m->q330s_tbl); i++) {
    Q330 *q330 = session(m, i);
    if (!matches(cth, q330)) continue;
    q330_output(q330, Q330_OUT_LOG, "Processing user command %s", cmd);
    Outcome now = act(q330);
    now.q330 = q330;
    if (previous) respond(*previous, false);
    previous = std::move(now);
  }
  if (previous) respond(*previous, true);
}

// The plain response: success "donedl"/"done" with the body, failure through cmd_error.
void respond_plain(CmdThread *cth, Pf *request, const Outcome &o, bool last) {
  if (o.rc < 0)
    cmd_error(cth, request, o.q330->params.dlname, opt(q330_serial_text(o.q330)),
              opt(q330_link_text(o.q330)), o.error.c_str(), last);
  else
    send_body(cth, request, o.q330, o.body, last ? "done" : "donedl");
}

void push(void **stack, const char *text) { pushstr(stack, text); }

std::string take(void **stack) {
  char *text = popstr(stack, 1);
  std::string out = nz(text);
  free(text);
  return out;
}

std::string config_body(Q330 *q330, int noipresolv) {
  Q330DLConfig &c = q330->config;
  void *stack = nullptr;
  std::lock_guard<std::mutex> lock(c.config_mutex);
  mypushstr(&stack, "config &Arr{\n");
  mypushstr(&stack, "time %.3f\n", c.time);
  Q330FLGSPkt &f = c.config_pkt;
  q330_pfstuff_qpkt(0xA7, &stack, &f.fix, 1, noipresolv);
  q330_pfstuff_qpkt(0xA6, &stack, &f.glob, 1, noipresolv);
  q330_pfstuff_qpkt(0xAF, &stack, &f.sc, 1, noipresolv);
  q330_pfstuff_qpkt(0xA5, &stack, &f.log, 1, noipresolv);
  q330_pfstuff_qpkt(0xA4, &stack, &c.phy, 1, noipresolv);
  q330_pfstuff_qpkt(0xA8, &stack, &c.man, 1, noipresolv);
  q330_pfstuff_qpkt(0xAA, &stack, &c.rt, 0, noipresolv);
  q330_pfstuff_qpkt(0xAE, &stack, &c.spp, 1, noipresolv);
  q330_pfstuff_qpkt(0xAC, &stack, &c.gid, 1, noipresolv);
  q330_pfstuff_qpkt(0xB2, &stack, &c.dcp, 1, noipresolv);
  q330_pfstuff_qpkt(0xB3, &stack, &c.dev, 1, noipresolv);
  if (f.fix.flags & 0x40) {
    q330_pfstuff_qpkt(0xD1, &stack, &c.c2_epcfg, 1, noipresolv);
    q330_pfstuff_qpkt(0xD0, &stack, &c.c2_epd, 1, noipresolv);
  }
  if (c.dptokens[0] || c.dptokens[1] || c.dptokens[2] || c.dptokens[3]) {
    push(&stack, "dptokens &Arr{\n");
    for (int i = 0; i < 4; i++)
      if (c.dptokens[i]) q330_pfstuff_qtpb14_tokens(i + 1, &stack, c.dptokens[i]);
    push(&stack, "}\n");
  }
  push(&stack, "phyc2 &Arr{\n");
  const struct {
    const char *key;
    Q330C2PHYPkt *block;
  } phys[] = {{"0 &Arr{\n", &c.c2_phy_0}, {"1 &Arr{\n", &c.c2_phy_1}, {"3 &Arr{\n", &c.c2_phy_3}};
  for (const auto &p : phys) {
    push(&stack, p.key);
    q330_pfstuff_qpkt(0xC0, &stack, p.block, 0, noipresolv);
    push(&stack, "}\n");
  }
  push(&stack, "}\n");
  q330_pfstuff_qpkt(0xC1, &stack, &c.c2_gps, 1, noipresolv);
  q330_pfstuff_qpkt(0xC4, &stack, &c.c2_amass, 1, noipresolv);
  if (c.c3_annc_time > 0) {
    push(&stack, "annc &Arr{\n");
    q330_pfstuff_ANNC(&stack, &c.c3_annc, noipresolv);
    push(&stack, "}\n");
  }
  push(&stack, "}\n");
  return take(&stack);
}

std::string status_body(Q330 *q330, int noipresolv) {
  Q330Status &s = q330->status;
  void *stack = nullptr;
  double time;
  {
    std::lock_guard<std::mutex> lock(s.status_mutex);
    time = s.time_last_status_pkt;
  }
  std::lock_guard<std::mutex> lock(s.status_pkt_mutex);
  Q330STATPkt &st = s.status_pkt;
  mypushstr(&stack, "status &Arr{\n");
  mypushstr(&stack, "time %.3f\n", time);
  q330_pfstuff_qpkt(0x103, &stack, &st.glob, 1, noipresolv);
  q330_pfstuff_qpkt(0x104, &stack, &st.gps, 1, noipresolv);
  q330_pfstuff_qpkt(0x105, &stack, &st.pwr, 1, noipresolv);
  q330_pfstuff_qpkt(0x106, &stack, &st.boom, 1, noipresolv);
  q330_pfstuff_qpkt(0x107, &stack, &st.thread, 1, noipresolv);
  q330_pfstuff_qpkt(0x108, &stack, &st.pll, 1, noipresolv);
  q330_pfstuff_qpkt(0x109, &stack, &st.gpss, 0, noipresolv);
  q330_pfstuff_qpkt(0x10A, &stack, &st.arp, 0, noipresolv);
  auto group = [&](const char *name, int code, void *blocks, size_t size, int n) {
    mypushstr(&stack, "%s &Arr{\n", name);
    for (int i = 0; i < n; i++) {
      mypushstr(&stack, "%d &Arr{\n", i);
      q330_pfstuff_qpkt(code, &stack, static_cast<char *>(blocks) + size * static_cast<size_t>(i),
                        0, noipresolv);
      push(&stack, "}\n");
    }
    push(&stack, "}\n");
  };
  group("log", 0x10B, st.log, sizeof st.log[0], 4);
  group("serial", 0x10C, st.serial, sizeof st.serial[0], 3);
  q330_pfstuff_qpkt(0x10D, &stack, &st.eth, 1, noipresolv);
  group("baler", 0x10E, st.baler, sizeof st.baler[0], 4);
  q330_pfstuff_qpkt(0x10F, &stack, &st.dynip, 1, noipresolv);
  q330_pfstuff_qpkt(0x110, &stack, &st.aux, 1, noipresolv);
  q330_pfstuff_qpkt(0x111, &stack, &st.schan, 0, noipresolv);
  push(&stack, "}\n");
  return take(&stack);
}

// ---- Commands -----------------------------------------------------------------------------

void do_quit(Muldrin *m, CmdThread *cth, Pf *request) {
  muldrin_output(Q330_OUT_STDOUT, "Shutting down due to command.\n");
  muldrin_halt();
  elog_notify(0, "%s: Shutdown complete.\n", nz(m->target_name));
  cmdthread_send_rsp(cth, request, nullptr, nullptr, nullptr, nullptr, "done");
  // The main thread ends the process; no later command is taken meanwhile. Only the
  // service's own end (which the program never asks for) lets the thread go.
  while (cth->halt.load() <= 0) clock_sleep(1.0);
}

// One control command on the datalogger's configuration port at `ip` (the serial number
// `sn`): register, the subcommand (sbpwr, getannc, setannc, else the control functions),
// deregister. 0, or -1 with the text in msg.
int control_exchange(const Q330DLParams &p, const std::string &ip, const std::string &sn,
                     const std::string &sub, int argc, char **argv, Q330C3ANNCPkt *annc, char *msg,
                     int msg_sz) {
  char hostport[512] = "";
  const char *auth = p.q330_authentication_codes
                         ? static_cast<const char *>(gettbl(p.q330_authentication_codes,
                                                            p.q330_authentication_codes_last_entry))
                         : nullptr;
  UDP *udp = nullptr;
  int rc = q330config_register(&udp, p.local_ipaddr, hostport, ip.empty() ? nullptr : ip.c_str(),
                               sn.empty() ? nullptr : sn.c_str(), p.q330_port_base, auth, msg,
                               static_cast<int>(sizeof hostport), msg_sz);
  if (rc < 0) {
    udp_free(udp);
    return rc;
  }
  if (sub.empty()) {
    rc = -1;
    snprintf(msg, static_cast<size_t>(msg_sz),
             "q330config_C1_CTRL: Need at least one control function.");
  } else if (sub == "sbpwr") {
    rc = q330config_C2_SBPWR(udp, p.local_ipaddr, hostport, msg, msg_sz, argc - 2, argv + 2);
  } else if (sub == "getannc") {
    rc = q330config_C3_RQANNC(udp, p.local_ipaddr, hostport, msg, msg_sz, annc);
  } else if (sub == "setannc") {
    rc = q330config_C3_SANNC(udp, p.local_ipaddr, hostport, annc, msg, msg_sz, argc - 2, argv + 2);
  } else {
    rc = q330config_C1_CTRL(udp, p.local_ipaddr, hostport, msg, msg_sz, argc - 1, argv + 1);
  }
  q330config_deregister(udp, p.local_ipaddr, hostport, sn.empty() ? nullptr : sn.c_str(), nullptr,
                        0);
  udp_free(udp);
  return rc;
}

void do_control(Muldrin *m, CmdThread *cth, Pf *request, const char *cmd, int argc, char **argv) {
  std::string line;
  for (int i = 1; i < argc; i++) {
    if (i > 1) line += " ";
    line += argv[i];
  }
  if (line.size() > 511) line.resize(511);
  long last = -1;
  for (long i = 0; i < maxtbl(m->q330s_tbl); i++)
    if (matches(cth, session(m, i))) last = i;
  const std::string sub = argc > 1 ? argv[1] : "";
  for (long i = 0; i <= last; i++) {
    Q330 *q330 = session(m, i);
    if (!matches(cth, q330)) continue;
    const Q330DLParams &p = q330->params;
    q330_output(q330, Q330_OUT_LOG, "Processing user command %s", cmd);
    q330_output(q330, Q330_OUT_LOG, "Issuing control commands to config port: %s ...",
                line.c_str());
    std::string com = q330_link_text(q330);
    if (com.size() > 511) com.resize(511);
    const std::string sn = q330_serial_text(q330);
    char msg[512] = "";
    Q330C3ANNCPkt annc{};
    int rc = control_exchange(p, q330_address(q330), sn, sub, argc, argv, &annc, msg, sizeof msg);
    std::string body;
    if (rc == 0) {
      q330_output(q330, Q330_OUT_LOG, "Control commands accepted.");
      if (sub == "getannc" || sub == "setannc") {
        {
          std::lock_guard<std::mutex> lock(q330->config.config_mutex);
          q330->config.c3_annc = annc;
          q330->config.c3_annc_time = clock_now();
        }
        void *stack = nullptr;
        push(&stack, "annc &Arr{\n");
        q330_pfstuff_ANNC(&stack, &annc, m->noipresolv);
        push(&stack, "}\n");
        body = take(&stack);
      }
    } else {
      q330_output(q330, Q330_OUT_LOG, "Error on control commands: %s", msg);
    }
    bool final = i == last;
    if (rc >= 0) {
      Pf *pf = nullptr;
      if (!body.empty() && pfcompile(body.c_str(), &pf) != 0) pf = nullptr;
      cmdthread_send_rsp(cth, request, p.dlname, opt(sn), com.c_str(), pf,
                         final ? "done" : "donedl");
      pffree(pf);
    } else {
      cmd_error(cth, request, p.dlname, opt(sn), com.c_str(), msg, final);
    }
  }
}

// The keys of "set" and what each does to one datalogger; the message is emitted as a
// standard-output line of that datalogger. "" when done, else the error text.
std::string apply_set(Q330 *q330, const std::string &key, const char *value) {
  Q330DLParams &p = q330->params;
  auto store = [](int &member, int v) { std::atomic_ref<int>(member).store(v); };
  if (key == "throttle") {
    int v = std::max(atoi(value), 0);
    q330_output(q330, Q330_OUT_STDOUT, "Setting dynamic throttle value to %d...\n", v);
    q330_set_throttle(q330, v);
  } else if (key == "local_port_control" || key == "local_port_data") {
    int v = std::clamp(atoi(value), 0, 65535);
    q330_output(q330, Q330_OUT_STDOUT, "Setting %s value to %d...\n", key.c_str(), v);
    store(key == "local_port_control" ? p.local_port_control : p.local_port_data, v);
  } else if (key == "q330_ipaddress") {
    q330_output(q330, Q330_OUT_STDOUT, "Setting q330_ipaddress to %s...\n", value);
    // The operator's word: taken as it is, with no trial against the last address.
    q330_address_set(q330, value);
  } else if (key == "data_drop_packet_pcnt" || key == "control_drop_packet_pcnt") {
    double v = std::clamp(atof(value), 0.0, 100.0);
    q330_output(q330, Q330_OUT_STDOUT, "Setting %s value to %f...\n", key.c_str(), v);
    bool data = key == "data_drop_packet_pcnt";
    (data ? p.data_drop_packet_pcnt : p.control_drop_packet_pcnt) = v;
    UDP *udp = data ? q330->udp_data : q330->udp_control;
    if (udp) {
      std::lock_guard<std::mutex> lock(udp->mutex);
      udp->drop_packet_pcnt = v;
    }
  } else if (key == "freeze_datathread_time" || key == "freeze_controlthread_time") {
    int v = atoi(value);
    q330_output(q330, Q330_OUT_STDOUT, "Setting %s value to %d...\n", key.c_str(), v);
    store(key == "freeze_datathread_time" ? p.freeze_datathread_time : p.freeze_controlthread_time,
          v);
  } else if (key == "log_packet_cache") {
    q330_output(q330, Q330_OUT_STDOUT, "Logging packet cache\n");
    // The failure is this datalogger's answer: it gets one final disposition only.
    if (q330_log_packet_cache(q330, atoi(value)) < 0) {
      elog_log(0, "q330_log_packet_cache() error\n");
      return "q330_log_packet_cache() error";
    }
  } else {
    static const struct {
      const char *key;
      int Q330DLParams::*member;
    } flags[] = {{"verbose_log", &Q330DLParams::verbose_log},
                 {"debug_data", &Q330DLParams::debug_data},
                 {"debug_ack", &Q330DLParams::debug_ack},
                 {"debug_control", &Q330DLParams::debug_control},
                 {"debug_udp", &Q330DLParams::debug_udp},
                 {"stop_acks", &Q330DLParams::stop_acks}};
    for (const auto &f : flags) {
      if (key != f.key) continue;
      int v = atoi(value);
      q330_output(q330, Q330_OUT_STDOUT, "Setting %s to %d...\n", f.key, v);
      store(p.*f.member, v);
      if (key == "debug_udp") {
        if (q330->udp_control) udp_set_verbose(q330->udp_control, v);
        if (q330->udp_data) udp_set_verbose(q330->udp_data, v);
      }
      break;
    }
  }
  return "";
}

// The numbers "set" takes: a value outside its range, NaN or an infinity is refused
// before any datalogger is touched. Within the range, throttle, the local ports and the
// drop percentages are still brought into their working bounds by apply_set.
constexpr PfRange kAnyInt = {-2147483648.0, 2147483647.0};
const PfNumberKey set_numbers[] = {
    {"throttle", P_LINT, kAnyInt},
    {"local_port_control", P_LINT, kAnyInt},
    {"local_port_data", P_LINT, kAnyInt},
    {"data_drop_packet_pcnt", P_DBL, {-1000.0, 1000.0}},
    {"control_drop_packet_pcnt", P_DBL, {-1000.0, 1000.0}},
    {"freeze_datathread_time", P_LINT, {0, 86400}},
    {"freeze_controlthread_time", P_LINT, {0, 86400}},
    {"log_packet_cache", P_LINT, {0, kAnyInt.max}},
    {"verbose_log", P_LINT, kAnyInt},
    {"debug_data", P_LINT, kAnyInt},
    {"debug_ack", P_LINT, kAnyInt},
    {"debug_control", P_LINT, kAnyInt},
    {"debug_udp", P_LINT, kAnyInt},
    {"stop_acks", P_LINT, kAnyInt},
};

// "" when `value` suits the number key `key` (or the key takes no number), else why not.
// A word that does not begin like a number reads as 0, as it always has.
std::string check_set_number(const std::string &key, const char *value) {
  char why[256];
  return pfnumber_check(set_numbers, static_cast<int>(std::size(set_numbers)), key.c_str(), value,
                        why, sizeof why) == 0
             ? ""
             : why;
}

bool known_set_key(const std::string &key) {
  static const char *const keys[] = {"throttle",
                                     "local_port_control",
                                     "local_port_data",
                                     "q330_ipaddress",
                                     "data_drop_packet_pcnt",
                                     "control_drop_packet_pcnt",
                                     "freeze_datathread_time",
                                     "freeze_controlthread_time",
                                     "log_packet_cache",
                                     "verbose_log",
                                     "debug_data",
                                     "debug_ack",
                                     "debug_control",
                                     "debug_udp",
                                     "stop_acks"};
  for (const char *k : keys)
    if (key == k) return true;
  return false;
}

// start, stop and calstop on each addressed datalogger.
void do_acquisition(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request,
                    const std::string &word) {
  walk(
      m, cth, cmd,
      [&](Q330 *q330) {
        if (word == "start")
          q330_start_acquisition(q330);
        else if (word == "stop")
          q330_stop_acquisition(q330, 0);
        else if (q330_stop_calibration(q330) < 0)
          return Outcome{nullptr, -1, "q330_stop_calibration() error", ""};
        return Outcome{};
      },
      [&](const Outcome &o, bool last) { respond_plain(cth, request, o, last); });
}

// umsg: the text after the command word to each addressed datalogger.
void do_umsg(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request) {
  const char *text = strlen(cmd) > 5 ? cmd + 5 : "";
  walk(
      m, cth, cmd,
      [&](Q330 *q330) {
        if (q330_umsg(q330, text) < 0) return Outcome{nullptr, -1, "q330_umsg() error", ""};
        return Outcome{};
      },
      [&](const Outcome &o, bool last) {
        if (o.rc < 0) {
          elog_log(0, "cmdthread_callback: q330_umsg() error.\n");
          muldrin_output(Q330_OUT_STDOUT, "cmdthread_callback: q330_umsg() error.\n");
        }
        respond_plain(cth, request, o, last);
      });
}

// massrecenter, masslock, massunlock and calibrate, with the command's arguments.
void do_sensor(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request, int argc, char **argv) {
  const std::string word = argv[0];
  const bool cal = word == "calibrate";
  const int which = word == "massrecenter" ? 0 : word == "masslock" ? 1 : 2;
  const char *fn = cal ? "q330_calibrate" : "q330_masscmds";
  walk(
      m, cth, cmd,
      [&](Q330 *q330) {
        char msg[512] = "";
        int rc = cal ? q330_calibrate(q330, argc, argv, msg, sizeof msg)
                     : q330_masscmds(q330, which, argc, argv, msg, sizeof msg);
        return Outcome{nullptr, rc < 0 ? -1 : 0, msg, ""};
      },
      [&](const Outcome &o, bool last) {
        if (o.rc < 0) {
          elog_log(0, "cmdthread_callback: %s() error.\n", fn);
          muldrin_output(Q330_OUT_STDOUT, "cmdthread_callback: %s() error: %s.\n", fn,
                         o.error.c_str());
        }
        respond_plain(cth, request, o, last);
      });
}

// A configuration or status answer, logged as sent ("done" with the last datalogger's).
void respond_sending(CmdThread *cth, Pf *request, const Outcome &o, bool last, const char *what) {
  muldrin_output(Q330_OUT_LOG, last ? "Sending %s for %s done\n" : "Sending %s for %s\n", what,
                 nz(o.q330->params.dlname));
  respond_plain(cth, request, o, last);
}

// getconfig [-force]: each addressed datalogger's configuration, read again when forced.
void do_getconfig(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request, bool force) {
  walk(
      m, cth, cmd,
      [&](Q330 *q330) {
        Outcome o;
        if (force) {
          char msg[512] = "";
          q330->need_config = 1;
          // A failed readout is answered with its error, not with the old configuration.
          if (q330_get_config(q330, msg, sizeof msg) < 0) return Outcome{nullptr, -1, msg, ""};
        }
        o.body = config_body(q330, m->noipresolv);
        return o;
      },
      [&](const Outcome &o, bool last) { respond_sending(cth, request, o, last, "config"); });
}

// getstatus [-force]: each addressed datalogger's status; when forced, after a full
// status readout (or the longest request interval twice over).
void do_getstatus(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request, bool force) {
  double deadline = 0;
  if (force) {
    int longest = 0;
    for (long i = 0; i < maxtbl(m->q330s_tbl); i++) {
      Q330 *q330 = session(m, i);
      if (!matches(cth, q330)) continue;
      std::atomic_ref<int>(q330->full_status).store(1);
      longest = std::max(longest, q330->params.statusrequest_interval);
    }
    // One deadline for all: the waits of several dataloggers do not add up.
    deadline = clock_now() + 2.0 * longest;
  }
  walk(
      m, cth, cmd,
      [&](Q330 *q330) {
        while (force && std::atomic_ref<int>(q330->full_status).load() != 0 &&
               clock_now() < deadline)
          clock_sleep(1.0);
        Outcome o;
        o.body = status_body(q330, m->noipresolv);
        return o;
      },
      [&](const Outcome &o, bool last) { respond_sending(cth, request, o, last, "status"); });
}

// set key value: the key checked once, then applied to each addressed datalogger.
void do_set(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request, int argc, char **argv) {
  if (argc < 3) {
    cmd_error(cth, request, nullptr, nullptr, nullptr, argc < 2 ? "no set key" : "no set value", 1);
    return;
  }
  const std::string key = argv[1];
  if (!known_set_key(key)) {
    std::string msg = "unrecognized set key '" + key + "'";
    cmd_error(cth, request, nullptr, nullptr, nullptr, msg.c_str(), 1);
    return;
  }
  std::string bad = check_set_number(key, argv[2]);
  if (!bad.empty()) {
    cmd_error(cth, request, nullptr, nullptr, nullptr, bad.c_str(), 1);
    return;
  }
  // Throttles of 1 to 9 bytes per second have no datalogger word.
  if (key == "throttle" && atoi(argv[2]) >= 1 && atoi(argv[2]) <= 9) {
    std::string msg = "set throttle " + std::to_string(atoi(argv[2])) + " not allowed";
    cmd_error(cth, request, nullptr, nullptr, nullptr, msg.c_str(), 1);
    return;
  }
  walk(
      m, cth, cmd,
      [&](Q330 *q330) {
        std::string error = apply_set(q330, key, argv[2]);
        return Outcome{nullptr, error.empty() ? 0 : -1, error, ""};
      },
      [&](const Outcome &o, bool last) { respond_plain(cth, request, o, last); });
}

void do_command(Muldrin *m, CmdThread *cth, const char *cmd, Pf *request, int argc, char **argv) {
  const std::string word = argc > 0 ? argv[0] : "";
  const bool force = argc == 2 && strcmp(argv[1], "-force") == 0;
  if (word == "quit") {
    do_quit(m, cth, request);
  } else if (word == "start" || word == "stop" || word == "calstop") {
    do_acquisition(m, cth, cmd, request, word);
  } else if (word == "umsg") {
    do_umsg(m, cth, cmd, request);
  } else if (word == "massrecenter" || word == "masslock" || word == "massunlock" ||
             word == "calibrate") {
    do_sensor(m, cth, cmd, request, argc, argv);
  } else if (word == "control") {
    do_control(m, cth, request, cmd, argc, argv);
  } else if (word == "getconfig") {
    do_getconfig(m, cth, cmd, request, force);
  } else if (word == "getstatus") {
    do_getstatus(m, cth, cmd, request, force);
  } else if (word == "set") {
    do_set(m, cth, cmd, request, argc, argv);
  } else {
    muldrin_output(Q330_OUT_STDOUT, "Unrecognized user command %s\n", cmd);
    cmd_error(cth, request, nullptr, nullptr, nullptr, "unrecognized command", 1);
  }
}

}  // namespace

int cmd_error(CmdThread *cth, Pf *pfcmd, const char *dlname, const char *dlserial,
              const char *dlcom, const char *msg, int done) {
  void *stack = nullptr;
  pushstr(&stack, "error &Literal{\n");
  pushstr(&stack, nz(msg));
  pushstr(&stack, "}\n");
  std::string text = take(&stack);
  Pf *pf = nullptr;
  if (pfcompile(text.c_str(), &pf) != 0) pf = nullptr;
  cmdthread_send_rsp(cth, pfcmd, dlname, dlserial, dlcom, pf, done ? "error" : "errordl");
  pffree(pf);
  return 0;
}

int muldrin::cmdthread_callback(CmdThread *cth, void *user, int what, ...) {
  auto *m = static_cast<Muldrin *>(user);
  va_list ap;
  va_start(ap, what);
  if (what == CMDTHREAD_ERROR) {
    int level = va_arg(ap, int);
    const char *fmt = va_arg(ap, const char *);
    char message[512];
    vsnprintf(message, sizeof message, nz(fmt), ap);
    elog_complain(level, "%s", message);
  } else if (what == CMDTHREAD_LINE) {
    const char *text = va_arg(ap, const char *);
    muldrin_output(Q330_OUT_STDOUT, "%s\n", nz(text));
  } else if (what != CMDTHREAD_COMMAND) {
    elog_log(0, "cmdthread_callback: Unknown what = %d.\n", what);
  } else {
    const char *cmd = va_arg(ap, const char *);
    Pf *request = va_arg(ap, Pf *);
    int argc = 0;
    char **argv = nullptr;
    if (splitlist(nz(cmd), &argc, &argv) != 0) {
      muldrin_output(Q330_OUT_STDOUT, "cmdthread_callback: splitlist(%s) error.\n", nz(cmd));
    } else {
      do_command(m, cth, cmd, request, argc, argv);
      freeargs(argc, argv);
    }
  }
  va_end(ap);
  return 0;
}
