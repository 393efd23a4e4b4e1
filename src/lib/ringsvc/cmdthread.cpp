// cmdthread.cpp - the remote-command service: command thread, responses, keep-alive.
#include "ringsvc/cmdthread.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/textutil.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/dlcmpkt.h"
#include "ringsvc/orbreapthr.h"
#include "support/hostid.h"
#include "support/stdtime.h"
#include "support/thrcompat.h"

namespace {

constexpr double kReapErrorPause = 1.0;  // a reap failed
// The longest the command thread waits in the ring before it looks at the stop flag again,
// and so the longest cmdthread_destroy waits for an idle command thread.
constexpr double kReapSlice = 1.0;
constexpr double kKeepAliveInterval = 60.0;
constexpr double kDestroyWait = 10.0;
constexpr size_t kShownCommand = 100;  // characters of a command shown in log lines
constexpr size_t kTargetMax = ORBSRCNAME_MAX - (sizeof(DLCM_SUFFIX) - 1);

char *dup_or_none(const char *s) {
  if (!s) return nullptr;
  char *p = strdup(s);
  if (!p) OUT_OF_MEMORY(strlen(s) + 1, "CmdThread text");
  return p;
}

void replace(char **field, char *value) {
  free(*field);
  *field = value;
}

// A POSIX extended expression matching exactly the text.
std::string regex_quote(const char *text) {
  std::string out;
  for (const char *p = text; *p; p++) {
    if (strchr(".[]\\()*+?{}|^$", *p)) out += '\\';
    out += *p;
  }
  return out;
}

void cleanup(CmdThread *cth) {
  if (cth->put_thr) {
    orbputthr_stop(cth->put_thr);
    orbputthr_destroy(cth->put_thr);
  }
  for (char **f : {&cth->pfname_auth, &cth->target, &cth->type, &cth->username, &cth->hostname,
                   &cth->ip, &cth->cmd, &cth->cmd_username, &cth->cmd_hostname, &cth->cmd_ip,
                   &cth->cmd_dlnames, &cth->sequence_target})
    free(*f);
  delete cth;
}

// The service whose command thread this is (none on other threads): a destroy called
// from the callback does not wait for its own thread.
thread_local const CmdThread *own_service = nullptr;

void release(CmdThread *cth) {
  if (cth->refs.fetch_sub(1) == 1) cleanup(cth);
}

// Logs an error through the callback, then drops what the failed call registered (a
// callback that prints the log has already printed it).
#define CMD_ERROR(cth, ...)                                               \
  do {                                                                    \
    (cth)->callback((cth), (cth)->user, CMDTHREAD_ERROR, 0, __VA_ARGS__); \
    elog_clear_register(0);                                               \
  } while (0)

void log_text(CmdThread *cth, const std::string &text) {
  std::vector<char> copy(text.begin(), text.end());
  copy.push_back('\0');
  cth->callback(cth, cth->user, CMDTHREAD_LINE, copy.data());
}

// Frees a request when the handling of a packet ends.
struct RequestGuard {
  Pf *pf;
  ~RequestGuard() { pffree(pf); }
};

struct OptText {
  char *p = nullptr;
  ~OptText() { free(p); }
};

// Reads one text key of a request. False after reporting the error.
bool read_key(CmdThread *cth, Pf *request, const char *key, int required, OptText *out) {
  if (parse_param(request, key, P_STR, required, &out->p) < 0) {
    CMD_ERROR(cth, "cmdthread_run: parse_param(%s) error.\n", key);
    return false;
  }
  return true;
}

// True when the request's optional expression `key` is absent or matches `text`. An
// error reading it is reported; an expression that does not compile matches nothing.
bool key_matches(CmdThread *cth, Pf *request, const char *key, const char *text) {
  OptText pattern;
  if (!read_key(cth, request, key, 0, &pattern)) return false;
  if (!pattern.p) return true;
  int m = strmatches(text, pattern.p, nullptr);
  if (m < 0) elog_clear_register(0);
  return m == 1;
}

int send_response(CmdThread *cth, const char *command, Pf *request, const char *dlname,
                  const char *dlserial, const char *dlcom, Pf *response, const char *disposition);

// Why a signed command must not run, or "" when it may. A command is known by its
// "sequence" and "cmdtime" together: a sender's sequence names its host, process id and
// counter, and a process id used again later starts its counter again.
std::string refusal(CmdThread *cth, const char *sequence, const char *cmdtime, std::string *key) {
  if (!sequence || !*sequence) return "command without sequence refused";
  if (!cmdtime || !*cmdtime) return "command without cmdtime refused";
  char *end = nullptr;
  double t = strtod(cmdtime, &end);
  if (end == cmdtime || *end != '\0' || !(t == t)) return "cmdtime is not a time: refused";
  double off = t - std_now();
  if (off > CMDTHREAD_CMDTIME_SLACK || off < -CMDTHREAD_CMDTIME_SLACK)
    return string_printf("cmdtime %s is %.0f s %s this machine's time (more than %.0f s): refused",
                         cmdtime, off < 0 ? -off : off, off < 0 ? "before" : "after",
                         CMDTHREAD_CMDTIME_SLACK);
  *key = std::string(sequence) + " " + cmdtime;
  std::lock_guard<std::mutex> lock(cth->lock);
  if (cth->done.count(*key))
    return string_printf("sequence %s already executed: refused", sequence);
  return "";
}

void remember(CmdThread *cth, const std::string &key) {
  std::lock_guard<std::mutex> lock(cth->lock);
  cth->done.insert(key);
  cth->done_order.push_back(key);
  while (cth->done_order.size() > CMDTHREAD_SEQUENCES_KEPT) {
    cth->done.erase(cth->done_order.front());
    cth->done_order.pop_front();
  }
}

// Answers a refused command "error" with the reason, under the refused command's words.
void refuse(CmdThread *cth, Pf *request, const char *command, const std::string &why) {
  Pf *rsp = pfnew(PFFILE);
  if (rsp) pfput_string(rsp, "error", why.c_str());
  send_response(cth, command, request, nullptr, nullptr, nullptr, rsp, "error");
  pffree(rsp);
}

void handle_packet(CmdThread *cth, const char *srcname, const char *packet, int nbytes) {
  if (nbytes <= 9) return;
  char target[DLCM_TARGET_SIZE];
  Pf *pf = nullptr;
  int verified = 0;
  if (orbpkt2cmdpf(srcname, packet, nbytes, target, &pf, &verified) < 0) {
    CMD_ERROR(cth, "cmdthread_run: orbpkt2cmdpf() error.\n");
    return;
  }
  if (!pf) return;
  RequestGuard guard{pf};
  if (target[0] == '\0') {
    if (!key_matches(cth, pf, "targets", cth->target)) return;
  } else if (strcmp(target, cth->target) != 0) {
    return;
  }
  if (!key_matches(cth, pf, "types", cth->type)) return;

  OptText command, username, hostname, ip, dlnames;
  if (!read_key(cth, pf, "command", 1, &command) || !read_key(cth, pf, "username", 1, &username) ||
      !read_key(cth, pf, "hostname", 1, &hostname) || !read_key(cth, pf, "ip", 1, &ip) ||
      !read_key(cth, pf, "dlnames", 0, &dlnames))
    return;

  std::string shown = command.p;
  if (shown.size() > kShownCommand) shown = shown.substr(0, kShownCommand) + "...";
  std::string who =
      string_printf("'%s' from %s at %s(%s)", shown.c_str(), username.p, hostname.p, ip.p);
  if (dlnames.p) who += string_printf(" to %s", dlnames.p);

  if (!verified) {
    log_text(cth, "Munged command " + who + "...ignoring");
    return;
  }
  OptText sequence, cmdtime;
  if (!read_key(cth, pf, "sequence", 0, &sequence) || !read_key(cth, pf, "cmdtime", 0, &cmdtime))
    return;
  std::string key;
  std::string why = refusal(cth, sequence.p, cmdtime.p, &key);
  if (!why.empty()) {
    log_text(cth, "Refused command " + who + ": " + why);
    if (sequence.p) refuse(cth, pf, command.p, why);  // else there is nothing to answer to
    return;
  }
  remember(cth, key);
  {
    std::lock_guard<std::mutex> lock(cth->lock);
    replace(&cth->cmd, dup_or_none(command.p));
    replace(&cth->cmd_username, dup_or_none(username.p));
    replace(&cth->cmd_hostname, dup_or_none(hostname.p));
    replace(&cth->cmd_ip, dup_or_none(ip.p));
    replace(&cth->cmd_dlnames, dup_or_none(dlnames.p));
    replace(&cth->sequence_target, nullptr);
    cth->cmd_count++;
  }
  log_text(cth, "posting command " + who);
  if (strcmp(command.p, "pingt") == 0) {
    if (cmdthread_send_rsp(cth, pf, nullptr, nullptr, nullptr, nullptr, "done") < 0)
      CMD_ERROR(cth, "cmdthread_run: cmdthread_send_rsp(%s) error.\n", command.p);
  } else {
    cth->callback(cth, cth->user, CMDTHREAD_COMMAND, command.p, pf);
  }
}

void *cmdthread_run(void *arg) {
  auto *cth = static_cast<CmdThread *>(arg);
  own_service = cth;
  std::string select = "/pf/dlcm|" + regex_quote(cth->target) + "/pf/dlcm";
  if (orbselect(cth->orbcmd, select.c_str()) < 0) {
    cth->callback(cth, cth->user, CMDTHREAD_ERROR, 0, "cmdthread_run: orbselect(%s) error.\n",
                  select.c_str());
    exit(1);
  }
  char *packet = nullptr;
  int bufsize = 0;
  while (cth->halt.load() < 1) {
    int pktid = -1, nbytes = 0;
    double time = 0.0;
    char srcname[ORBSRCNAME_SIZE] = "";
    cth->reaping = 1;
    // Waits in the ring for the next command, or the next look at the stop flag.
    int rc = orbreap_timeout(cth->orbcmd, kReapSlice, &pktid, srcname, &time, &packet, &nbytes,
                             &bufsize);
    cth->reaping = 0;
    if (cth->halt.load() > 0) {
      elog_clear_register(0);  // a reap ended by the owner's closing of the connection
      break;
    }
    if (rc == -2) continue;
    if (rc < 0) {
      CMD_ERROR(cth, "cmdthread_run: orbreap() error.\n");
      clock_sleep(kReapErrorPause);
      continue;
    }
    handle_packet(cth, srcname, packet, nbytes);
  }
  free(packet);
  release(cth);
  return nullptr;
}

// The keep-alive packet: a parameter-file packet of the text "noop", which the command
// thread does not take for a command. Empty when it cannot be built (logged).
std::vector<char> keepalive_packet() {
  std::vector<char> out;
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("pf");
  char *bytes = nullptr;
  int nbytes = 0, bufsize = 0;
  if (pfcompile("noop\n", &pkt->pf) < 0 ||
      stuffPkt(pkt, nullptr, nullptr, &bytes, &nbytes, &bufsize) < 0) {
    elog_complain(0, "cmdkeepalive_run: can't build the keep-alive packet.\n");
  } else {
    out.assign(bytes, bytes + nbytes);
  }
  free(bytes);
  freePkt(pkt);
  return out;
}

void *cmdkeepalive_run(void *arg) {
  auto *cth = static_cast<CmdThread *>(arg);
  const std::vector<char> packet = keepalive_packet();
  const std::string srcname = std::string(cth->target) + DLCM_SUFFIX;
  double next = clock_monotonic() + kKeepAliveInterval;
  for (;;) {
    unsigned long seen = clock_event_seen(&cth->wake);
    if (cth->halt.load() >= 1) break;
    double now = clock_monotonic();
    if (now < next || packet.empty()) {
      clock_event_wait(&cth->wake, seen, packet.empty() ? HUGE_VAL : next);
      continue;
    }
    next = now + kKeepAliveInterval;
    orbputthr_put(cth->put_thr, srcname.c_str(), std_now(), packet.data(),
                  static_cast<int>(packet.size()));
    elog_clear_register(0);
  }
  release(cth);
  return nullptr;
}

// Fills the identity caches outside the record's lock (the lookups may be slow).
void fill_identity(CmdThread *cth) {
  {
    std::lock_guard<std::mutex> lock(cth->lock);
    if (cth->username && cth->hostname && cth->ip) return;
  }
  char user[HOSTID_NAME_SIZE], host[HOSTID_NAME_SIZE] = "localhost",
                               dotted[HOSTID_DOTTED_SIZE] = "?";
  my_username(user);  // "u#<uid>" when the user has no login name
  unsigned address = 0;
  if (my_ip(host, dotted, &address) < 0) {
    elog_clear_register(0);
    snprintf(dotted, sizeof dotted, "?");
  }
  std::lock_guard<std::mutex> lock(cth->lock);
  if (!cth->username) cth->username = dup_or_none(user);
  if (!cth->hostname || !cth->ip) {
    replace(&cth->hostname, dup_or_none(host));
    replace(&cth->ip, dup_or_none(dotted));
  }
}

}  // namespace

CmdThread *cmdthread_new(const char *pfname_auth, int orbcmd, int orbrsp, const char *target,
                         const char *type, CmdThreadCallback callback, void *user) {
  if (!target || !type || !callback) {
    elog_log(0, "cmdthread_new: target, type and callback are required.\n");
    return nullptr;
  }
  if (strlen(target) > kTargetMax) {
    elog_log(0, "cmdthread_new: target name '%s' is longer than %d characters.\n", target,
             static_cast<int>(kTargetMax));
    return nullptr;
  }
  auto *cth = new (std::nothrow) CmdThread;
  if (!cth) {
    elog_log(1, "cmdthread_new: malloc(CmdThread) error.\n");
    return nullptr;
  }
  cth->pfname_auth = dup_or_none(pfname_auth);
  cth->target = dup_or_none(target);
  cth->type = dup_or_none(type);
  cth->username = cth->hostname = cth->ip = nullptr;
  cth->pf_auth = nullptr;
  cth->orbcmd = orbcmd;
  cth->orbrsp = orbrsp;
  cth->user = user;
  cth->reap_thread = cth->keepalive_thread = pthread_t();
  cth->reaping = 0;
  cth->halt = 0;
  cth->cmd = cth->cmd_username = cth->cmd_hostname = cth->cmd_ip = cth->cmd_dlnames = nullptr;
  cth->sequence_target = nullptr;
  cth->cmd_count = 0;
  cth->callback = callback;
  cth->refs = 1;
  cth->put_thr = orbputthr_new(orbrsp, 10);
  if (!cth->put_thr) {
    elog_log(0, "cmdthread_new: orbputthr_new(put_thr) error.\n");
    cmdthread_destroy(cth);
    return nullptr;
  }
  cth->refs++;
  if (thr_create(nullptr, 0, cmdthread_run, cth, THR_DETACHED, &cth->reap_thread) != 0) {
    cth->refs--;
    elog_log(1, "cmdthread_new: thr_create(cmdthread_run) error.\n");
    cmdthread_destroy(cth);
    return nullptr;
  }
  cth->refs++;
  if (thr_create(nullptr, 0, cmdkeepalive_run, cth, THR_DETACHED, &cth->keepalive_thread) != 0) {
    cth->refs--;
    elog_log(1, "cmdthread_new: thr_create(cmdkeepalive_run) error.\n");
    cmdthread_destroy(cth);
    return nullptr;
  }
  return cth;
}

int cmdthread_destroy(CmdThread *cth) {
  if (!cth) return 0;
  cth->halt = 1;
  clock_event_signal(&cth->wake);
  const double start = clock_monotonic();
  // Waits for the threads to end: an idle command thread within one reap slice, one with a
  // command in progress when the command is done; from the callback, the command thread
  // is the caller and ends after it.
  const int own = own_service == cth ? 1 : 0;
  while (cth->refs.load() > 1 + own) {
    if (clock_monotonic() - start >= kDestroyWait) {
      elog_complain(0,
                    "cmdthread_destroy: the service's threads are still running; they "
                    "free the service when they end.\n");
      break;
    }
    clock_sleep(0.1);
  }
  // The answers still queued are written now (bounded), not when the last thread lets go:
  // a program that ends after this call would drop them.
  OrbputThr *put = cth->put_thr;
  if (put && (pmtfifo_data_available(put->mtfifo) > 0 || put->putting.load())) orbputthr_stop(put);
  release(cth);
  return 0;
}

int cmdthread_send_rsp(CmdThread *cth, Pf *request, const char *dlname, const char *dlserial,
                       const char *dlcom, Pf *response, const char *disposition) {
  return send_response(cth, nullptr, request, dlname, dlserial, dlcom, response, disposition);
}

namespace {

// The response under the record's latest command, or under `command` (with a sequence
// target of its own) for a command that was refused and never became the latest.
int send_response(CmdThread *cth, const char *command_given, Pf *request, const char *dlname,
                  const char *dlserial, const char *dlcom, Pf *response, const char *disposition) {
  if (!cth) return -1;
  fill_identity(cth);
  std::string reply, text, command;
  int rc;
  {
    std::lock_guard<std::mutex> lock(cth->lock);
    char *own_target = nullptr;
    command = command_given ? command_given : cth->cmd ? cth->cmd : "";
    rc = initrsp(command.c_str(), cth->target, cth->type, dlname, dlserial, dlcom, request,
                 cth->cmd_count, &cth->username, &cth->hostname, &cth->ip,
                 command_given ? &own_target : &cth->sequence_target, disposition, &reply, &text);
    free(own_target);
  }
  if (rc < 0) {
    elog_complain(0, "cmdthread_send_rsp: initrsp(%s) error.\n", command.c_str());
    return -1;
  }
  if (rc == 0) return 0;
  if (response) {
    char *s = pf2string(response);
    if (!s) {
      elog_complain(0, "cmdthread_send_rsp: pf2string(pfrsp) error.\n");
      return -1;
    }
    text += s;
    free(s);
  }
  std::vector<char> packet;
  if (dlcm_encode(text, &packet) < 0) {
    elog_complain(0, "cmdthread_send_rsp: response of %lu characters is too long.\n",
                  static_cast<unsigned long>(text.size()));
    return -1;
  }
  int n = static_cast<int>(packet.size());
  if (orbputthr_put(cth->put_thr, reply.c_str(), std_now(), packet.data(), n) < 0) {
    elog_complain(0, "cmdthread_send_rsp: orbputthr_put(packet,%d) error.\n", n);
    return -1;
  }
  return 0;
}

}  // namespace
