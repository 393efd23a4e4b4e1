// altuscomthread.cpp - link threads, connection locks, byte-stream callbacks and the
// orderly shutdown of kessaro.
#include "altuscomthread.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "altuscom_dial.h"
#include "altuscom_hooks.h"
#include "altuscomsubs_block.h"  // AltusLogKind
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"  // AltusStreamState
#include "base/arr.h"
#include "base/clock.h"
#include "base/clockwait.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "bytestream/serialbuf.h"
#include "ringsvc/cmdthread.h"
#include "support/hostid.h"

int debug_lock_datalogger = 0, debug_unlock_datalogger = 0;
int debug_lock_modem = 0, debug_unlock_modem = 0;

// ---- host address, serial tags ----

int my_my_ip(char *name, char *dotted, unsigned *ip) {
  static std::mutex lookup;
  std::lock_guard<std::mutex> g(lookup);
  return my_ip(name, dotted, ip);
}

int make_dlserial(Modem *modem, const char *model, int serialno, char *dlserial) {
  static const struct {
    const char *model;
    char letter;
  } tags[] = {{"ROCK", 'R'},      {"Etna", 'E'},    {"K2", 'K'},
              {"MtWhitney", 'W'}, {"Everest", 'V'}, {"Makalu", 'L'}};
  for (const auto &t : tags) {
    if (model != nullptr && strcmp(model, t.model) == 0) {
      snprintf(dlserial, 32, "%c%d", t.letter, serialno);
      return 0;
    }
  }
  altuscom_log_register_error(modem, nullptr, 0, "make_dlserial: Unrecognized model '%s'.\n",
                              model ? model : "");
  return -1;
}

// ---- connection locks ----

namespace {

void lock_trace(int on, const char *label, const char *what) {
  if (!on) return;
  if (label != nullptr && *label != '\0') {
    altuscom_log_message(nullptr, nullptr, 1, "DEBUGCON: %s: %s", label, what);
  } else {
    altuscom_log_message(nullptr, nullptr, 1, "DEBUGCON: %s", what);
  }
}

int conn_lock(KessaroMutex &m, const char *label, int try_, int trace, const char *kind) {
  std::string k(kind);
  if (try_) {
    lock_trace(trace, label, ("Trying " + k + " lock...").c_str());
    if (!m.m.try_lock()) {
      lock_trace(trace, label, (k == "datalogger" ? "Datalogger lock busy" : "Modem lock busy"));
      return 16;
    }
  } else {
    lock_trace(trace, label, ("Getting " + k + " lock...").c_str());
    m.m.lock();
  }
  m.owner.store(std::this_thread::get_id());
  lock_trace(trace, label, ("Got " + k + " lock").c_str());
  return 0;
}

int conn_unlock(KessaroMutex &m, const char *label, int trace, const char *text) {
  if (m.owner.load() != std::this_thread::get_id()) return 0;
  lock_trace(trace, label, text);
  m.owner.store(std::thread::id());
  m.m.unlock();
  return 0;
}

}  // namespace

int lock_datalogger_connection(AltusDatalogger *dl, const char *label, int try_) {
  if (dl == nullptr) return 0;
  return conn_lock(dl->connection_mutex, label, try_, debug_lock_datalogger, "datalogger");
}

int lock_modem_connection(Modem *modem, const char *label, int try_) {
  if (modem == nullptr) return 0;
  return conn_lock(modem->connection_mutex, label, try_, debug_lock_modem, "modem");
}

int unlock_datalogger_connection(AltusDatalogger *dl, const char *label) {
  if (dl == nullptr) return 0;
  return conn_unlock(dl->connection_mutex, label, debug_unlock_datalogger,
                     "Unlocking datalogger lock");
}

int unlock_modem_connection(Modem *modem, const char *label) {
  if (modem == nullptr) return 0;
  return conn_unlock(modem->connection_mutex, label, debug_unlock_modem, "Unlocking modem lock...");
}

bool datalogger_connection_held(AltusDatalogger *dl) {
  return dl != nullptr && dl->connection_mutex.owner.load() == std::this_thread::get_id();
}

bool modem_connection_held(Modem *modem) {
  return modem != nullptr && modem->connection_mutex.owner.load() == std::this_thread::get_id();
}

// ---- records ----

Modem *altuscom_modem_copy(Modem *modem) {
  if (modem == nullptr) return nullptr;
  Modem *copy = modem_copy(modem);
  // modem_copy leaves the copy without connection; the caller hands it one.
  copy->userdata = modem->userdata;
  copy->instance = modem->instance;
  return copy;
}

void altuscom_modem_free(Modem *modem) {
  if (modem == nullptr) return;
  if (modem->buf_handle != nullptr) serialbuf_free(modem->buf_handle);
  if (modem->buf_handle_server != nullptr) serialbuf_free(modem->buf_handle_server);
  modem->buf_handle = nullptr;
  modem->buf_handle_server = nullptr;
  modem_free(modem);
}

namespace {

const char *control_suffix(int modem_control) {
  switch (modem_control) {
    case MODEM_CONTROL_LOCAL:
      return ":local";
    case MODEM_CONTROL_REMOTE:
      return ":remote";
    default:
      return ":none";
  }
}

std::string dotted_of(const char *host) {
  if (host == nullptr || *host == '\0') return "-";
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo *res = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &res) != 0 || res == nullptr) return "-";
  char text[INET_ADDRSTRLEN] = "-";
  inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(res->ai_addr)->sin_addr, text, sizeof text);
  freeaddrinfo(res);
  return text;
}

}  // namespace

int altuscom_start_thread(pthread_t *tid, ThreadKind kind, void *(*fn)(void *), void *arg) {
  return threadstart_create(tid, kind, fn, arg, THREADSTART_SYSTEM_SCOPE);
}

int altuscom_new_modem(Kessaro *altus, Modem *modem) {
  modem->buf_handle = nullptr;
  modem->connected_dl = nullptr;
  modem->cmd = nullptr;
  modem->interrupt = 0;
  modem->devname[0] = '\0';
  modem->userdata = altus;
  // A TCP server always takes dial-ins and nothing else; its id text shows the forced
  // settings.
  if (modem->com_mode == SERIALBUF_TCPSERVER) {
    if (modem->modem_control != 0) {
      modem->modem_control = MODEM_CONTROL_NONE;
      altuscom_log_register_error(
          modem, nullptr, 0,
          "altuscom_new_modem: modem_control for tcpserver modem reset to none.\n");
    }
    if (!modem->dialin) {
      modem->dialin = 1;
      altuscom_log_register_error(modem, nullptr, 0,
                                  "altuscom_new_modem: dialin for tcpserver modem reset to yes.\n");
    }
    if (modem->dialout) {
      modem->dialout = 0;
      altuscom_log_register_error(modem, nullptr, 0,
                                  "altuscom_new_modem: dialout for tcpserver modem reset to no.\n");
    }
  }
  char com[256];
  switch (modem->com_mode) {
    case SERIALBUF_SERIAL:
      snprintf(com, sizeof com, "serial:%s:%d:%s", modem->dev ? modem->dev : "", modem->baud,
               modem->name);
      break;
    case SERIALBUF_TCPCLIENT:
      snprintf(com, sizeof com, "tcp:%s:%d:%s", dotted_of(modem->ipaddr).c_str(), modem->port,
               modem->name);
      break;
    default: {
      char host[256] = "", dotted[64] = "";
      unsigned ip = 0;
      if (my_my_ip(host, dotted, &ip) == 0 && dotted[0] != '\0') {
        snprintf(com, sizeof com, "tcps:%s:%d:%s", dotted, modem->port, modem->name);
      } else {
        snprintf(com, sizeof com, "tcps:-:%d:%s", modem->port, modem->name);
      }
      break;
    }
  }
  std::string text = std::string(com) + control_suffix(modem->modem_control);
  kessaro_copytext(modem->com, text.c_str());
  int rc;
  if (modem->com_mode == SERIALBUF_TCPSERVER) {
    rc =
        altuscom_start_thread(&modem->run_thread, THREAD_ALTUS_LINK, altuscom_run_tcpserver, modem);
    if (rc == 0) altus->ntcpservers++;
  } else {
    rc = altuscom_start_thread(&modem->run_thread, THREAD_ALTUS_LINK, altuscom_run_modem, modem);
  }
  if (rc != 0) {
    altuscom_log_register_error(modem, nullptr, 0,
                                "altuscom_new_modem: pthread_create(%s) error.\n", modem->name);
    return -1;
  }
  clock_sleep(0.1);
  return 0;
}

int altuscom_new_datalogger(Kessaro *altus, AltusDatalogger *dl) {
  dl->connected_modem = nullptr;
  dl->connected_modem_status = nullptr;
  dl->userdata = altus;
  // A change of what the scheduling pass looks at wakes the scheduling threads.
  for (std::atomic<ClockEvent *> *w : {&dl->stream_status.watch, &dl->getevents_status.watch,
                                       &dl->alarm.watch, &dl->request_getevents.watch})
    *w = &kessaro_wake;
  if (!dl->auto_stream && dl->auto_getevents_at_startup) dl->alarm = 1;
  if (altuscom_start_thread(&dl->run_thread, THREAD_ALTUS_DL, altuscom_run_datalogger, dl) != 0) {
    altuscom_log_register_error(
        nullptr, dl, 0, "altuscom_new_datalogger: pthread_create(%s) error.\n", dl->target_name);
    return -1;
  }
  clock_sleep(0.1);
  return 0;
}

// ---- address hand-off ----

namespace {

// The address the link aims at next: a posted one, else the announced one on trial, else
// the one in use ("-" for none). address_mutex held.
std::string next_host(const Modem *m, int *port) {
  const char *host = m->ipaddr;
  *port = m->port;
  if (m->reset_ipaddress != 0 && m->posted_ipaddr != nullptr) {
    host = m->posted_ipaddr;
    *port = m->posted_port;
  } else if (m->address_unconfirmed && m->announced_ipaddr != nullptr) {
    host = m->announced_ipaddr;
    *port = m->announced_port;
  }
  return host != nullptr && *host != '\0' ? host : "-";
}

}  // namespace

int altuscom_post_address(Modem *modem, const char *host, int port, AltusAddressChange *change) {
  if (modem == nullptr || host == nullptr) return -1;
  int old_port = 0;
  {
    std::lock_guard<KessaroMutex> g(modem->address_mutex);
    if (next_host(modem, &old_port) == host) return ALTUSCOM_ADDRESS_SAME;
  }
  // Resolved outside the lock: a name lookup may take a while.
  unsigned ip = 0;
  char dotted[64] = "";
  if (name2ip(host, &ip, dotted) != 0 || dotted[0] == '\0') {
    elog_clear_register(0);
    kessaro_copytext(dotted, "-");
  }
  std::lock_guard<KessaroMutex> g(modem->address_mutex);
  const std::string old_host = next_host(modem, &old_port);
  if (old_host == host) return ALTUSCOM_ADDRESS_SAME;  // posted meanwhile
  const int new_port = old_port < 0 ? port : old_port;
  free(modem->posted_ipaddr);
  modem->posted_ipaddr = strdup(host);
  modem->posted_port = new_port;
  snprintf(modem->posted_com, sizeof modem->posted_com, "tcp:%s:%d:%s", dotted, new_port,
           modem->name ? modem->name : "");
  modem->reset_ipaddress = 1;
  modem->interrupt = 1;  // a wait for a caller on the old address ends
  if (change != nullptr) {
    change->old_host = old_host;
    change->old_port = old_port;
    change->new_host = host;
    change->new_port = new_port;
  }
  return ALTUSCOM_ADDRESS_POSTED;
}

namespace {

// The address in use becomes the confirmed one (address_mutex held).
void keep_as_confirmed(Modem *modem) {
  free(modem->confirmed_ipaddr);
  modem->confirmed_ipaddr = modem->ipaddr ? strdup(modem->ipaddr) : nullptr;
  modem->confirmed_port = modem->port;
  kessaro_copytext(modem->confirmed_com, modem->com);
}

// The trial ends: no announced address is kept (address_mutex held).
void end_trial(Modem *modem) {
  free(modem->announced_ipaddr);
  modem->announced_ipaddr = nullptr;
  modem->announced_com[0] = '\0';
  modem->address_unconfirmed = 0;
}

// The link's next calls go to `host` (address_mutex held).
void use_address(Modem *modem, const char *host, int port, const char *com) {
  char *copy = host ? strdup(host) : nullptr;
  free(modem->ipaddr);
  modem->ipaddr = copy;
  modem->port = port;
  kessaro_copytext(modem->com, com);
  modem->ipaddr_count = 0;
}

bool same_address(const char *host, int port, const char *other, int other_port) {
  return host != nullptr && other != nullptr && strcmp(host, other) == 0 && port == other_port;
}

}  // namespace

int altuscom_apply_address(Modem *modem) {
  if (modem == nullptr || modem->reset_ipaddress == 0) return 0;
  std::lock_guard<KessaroMutex> g(modem->address_mutex);
  if (modem->reset_ipaddress.exchange(0) == 0 || modem->posted_ipaddr == nullptr) return 0;
  // Until an identification confirms an address, the configured one stands for it.
  if (modem->confirmed_ipaddr == nullptr && modem->ipaddr != nullptr) keep_as_confirmed(modem);
  char *posted = modem->posted_ipaddr;
  modem->posted_ipaddr = nullptr;
  if (same_address(posted, modem->posted_port, modem->confirmed_ipaddr, modem->confirmed_port)) {
    // Announced where the datalogger identified last: no trial, the link goes back there.
    end_trial(modem);
    use_address(modem, modem->confirmed_ipaddr, modem->confirmed_port, modem->confirmed_com);
    free(posted);
    return 1;
  }
  // A later announcement takes the place of one still on trial; the confirmed address
  // stays the other one of the trial.
  free(modem->announced_ipaddr);
  modem->announced_ipaddr = posted;
  modem->announced_port = modem->posted_port;
  kessaro_copytext(modem->announced_com, modem->posted_com);
  modem->address_unconfirmed = 1;
  use_address(modem, modem->announced_ipaddr, modem->announced_port, modem->announced_com);
  return 1;
}

void altuscom_confirm_address(Modem *modem) {
  if (modem == nullptr) return;
  std::lock_guard<KessaroMutex> g(modem->address_mutex);
  keep_as_confirmed(modem);
  end_trial(modem);
}

int altuscom_address_failed(Modem *modem, AltusDatalogger *dl) {
  if (modem == nullptr || !modem->address_unconfirmed) return ALTUSCOM_TURN_NONE;
  std::string tried, next;
  bool to_confirmed;
  {
    std::lock_guard<KessaroMutex> g(modem->address_mutex);
    if (modem->confirmed_ipaddr == nullptr || modem->announced_ipaddr == nullptr)
      return ALTUSCOM_TURN_NONE;  // nowhere else to go
    to_confirmed =
        same_address(modem->ipaddr, modem->port, modem->announced_ipaddr, modem->announced_port);
    tried = string_printf("%s:%d", modem->ipaddr ? modem->ipaddr : "-", modem->port);
    if (to_confirmed) {
      use_address(modem, modem->confirmed_ipaddr, modem->confirmed_port, modem->confirmed_com);
    } else {
      use_address(modem, modem->announced_ipaddr, modem->announced_port, modem->announced_com);
    }
    next = string_printf("%s:%d", modem->ipaddr, modem->port);
  }
  const std::string who = dl && dl->target_name ? std::string(" ") + dl->target_name : "";
  const char *name = modem->name ? modem->name : "";
  if (to_confirmed) {
    altuscom_log_complain(modem, dl, 1, 0,
                          "%s: datalogger%s did not identify at the announced address %s - "
                          "going back to %s, where it identified last\n",
                          name, who.c_str(), tried.c_str(), next.c_str());
    return ALTUSCOM_TURN_CONFIRMED;
  }
  altuscom_log_complain(modem, dl, 1, 0,
                        "%s: datalogger%s did not identify at %s either - trying the announced "
                        "address %s again\n",
                        name, who.c_str(), tried.c_str(), next.c_str());
  return ALTUSCOM_TURN_ANNOUNCED;
}

// ---- datalogger scheduling thread ----

namespace {

bool modem_may_dialout(const Modem *m) { return m != nullptr && m->dialout; }

void post_internal(AltusDatalogger *dl, const char *command) {
  Pf *req = pfnew(PFARR);
  pfput_string(req, "datalogger_target", dl->target_name);
  pfput_string(req, "command", command);
  altuscom_post_request(dl, req, 1);
  pffree(req);
}

}  // namespace

bool altuscom_post_getevents(AltusDatalogger *dl) {
  int gs = dl->getevents_status;
  if (gs == GETEVENTS_POSTED) return false;
  bool post = (dl->dialout_if_getevents_incomplete && gs == GETEVENTS_INCOMPLETE) ||
              (dl->auto_getevents && dl->alarm && gs != GETEVENTS_RUNNING) ||
              (dl->auto_getevents && dl->request_getevents && gs != GETEVENTS_RUNNING);
  if (!post) return false;
  altuscom_log_message(nullptr, dl, 0, "altuscom_run_datalogger: posting getevents command.\n");
  post_internal(dl, "getevents");
  dl->getevents_status = GETEVENTS_POSTED;
  return true;
}

void altuscom_datalogger_pass(Kessaro *altus, AltusDatalogger *dl, int *busy) {
  if (dl->auto_stream && dl->stream_status == STRSTATUS_IDLE) {
    altuscom_log_message(nullptr, dl, 0, "altuscom_run_datalogger: posting strstart command.\n");
    post_internal(dl, "strstart");
    dl->stream_status = STRSTATUS_POSTED;
  }
  altuscom_post_getevents(dl);
  if (!dl->command_mutex.try_lock()) return;
  std::lock_guard<KessaroMutex> cmdlock(dl->command_mutex, std::adopt_lock);
  if (maxtbl(dl->commands) < 1 || dl->connected_modem != nullptr) return;
  bool serving = false;
  {
    if (!altus->modems_mutex.try_lock()) return;
    std::lock_guard<KessaroMutex> list(altus->modems_mutex, std::adopt_lock);
    Tbl *links = valsarr(altus->modems_array);
    for (long i = 0; i < maxtbl(links); i++) {
      auto *m = static_cast<Modem *>(gettbl(links, i));
      if (modem_may_dialout(m) && m->connected_dl == dl) serving = true;
    }
    freetbl(links, nullptr);
  }
  if (serving) return;
  for (long i = 0; i < maxtbl(dl->dialout_modems); i++) {
    auto *m = static_cast<Modem *>(gettbl(dl->dialout_modems, i));
    if (modem_may_dialout(m) && m->connected_dl == nullptr) {
      m->interrupt = 1;
      *busy = 0;
      return;
    }
  }
  if (*busy == 0) altuscom_log_message(nullptr, dl, 0, "all modems busy...\n");
  if (++*busy > 300) *busy = 0;
}

namespace {

// The pause after a pass of a loop that looks again every 0.1 s: 0.1 s when `again`;
// otherwise until kessaro_wake moves past `seen`, then on to the next 0.1 s step after the
// pass, so that a change is taken up when such a loop would have seen it, and an idle
// loop does not wake for nothing.
void pause_between_passes(unsigned long seen, bool again) {
  constexpr double kStep = 0.1;
  double next = clock_monotonic() + kStep;
  if (!again && clock_event_wait(&kessaro_wake, seen, HUGE_VAL) == 1) {
    double now = clock_monotonic();
    if (now > next) next += std::ceil((now - next) / kStep) * kStep;
  }
  double left = next - clock_monotonic();
  if (left > 0) clock_sleep(left);
}

// Whether the datalogger's queue is empty; a busy queue lock counts as not empty.
bool nothing_queued(AltusDatalogger *dl) {
  if (!dl->command_mutex.try_lock()) return false;
  std::lock_guard<KessaroMutex> cmdlock(dl->command_mutex, std::adopt_lock);
  return maxtbl(dl->commands) < 1;
}

}  // namespace

void *altuscom_run_datalogger(void *arg) {
  auto *dl = static_cast<AltusDatalogger *>(arg);
  auto *altus = static_cast<Kessaro *>(dl->userdata);
  altuscom_log_message(nullptr, dl, 0, "altuscom_run_datalogger: thread started for %s\n",
                       dl->target_name);
  int busy = 0;
  while (!kessaro_halt) {
    unsigned long seen = clock_event_seen(&kessaro_wake);
    altuscom_datalogger_pass(altus, dl, &busy);
    // With requests queued (or the queue's lock busy) the pass is repeated after 0.1 s, as
    // it waits for a link; otherwise nothing is due until a watched flag changes, a request
    // is posted or the halt is raised, each of which signals kessaro_wake.
    pause_between_passes(seen, !nothing_queued(dl));
  }
  altuscom_log_message(nullptr, dl, 0, "altuscom_run_datalogger: exiting\n");
  return nullptr;
}

// ---- link threads ----

namespace {

// Requests queued for the datalogger without waiting for its command lock (0 when busy).
long queued_requests(AltusDatalogger *dl) { return altuscom_count_requests(dl, 1); }

bool in_dialout_list(const AltusDatalogger *dl, const Modem *m) {
  for (long i = 0; i < maxtbl(dl->dialout_modems); i++) {
    if (gettbl(dl->dialout_modems, i) == m) return true;
  }
  return false;
}

void set_userdata3(Modem *m, void *dl) {
  if (m->buf_handle != nullptr) m->buf_handle->userdata3 = dl;
}

void dialout_scan(Kessaro *altus, Modem *modem, Tbl *dls) {
  const char *label = "altuscom_run_modem: dialout";
  for (long i = 0; i < maxtbl(dls) && !kessaro_halt; i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    if (!dl->dialout) continue;
    if (queued_requests(dl) < 1) continue;
    if (!in_dialout_list(dl, modem)) continue;
    if (lock_datalogger_connection(dl, label, 1) != 0) continue;
    lock_modem_connection(modem, label, 0);
    if (dl->connected_modem == nullptr && modem->connected_dl == nullptr) {
      bool elsewhere = false;
      {
        std::lock_guard<KessaroMutex> list(altus->modems_mutex);
        Tbl *links = valsarr(altus->modems_array);
        for (long k = 0; k < maxtbl(links); k++) {
          auto *m = static_cast<Modem *>(gettbl(links, k));
          if (m != modem && m->connected_dl == dl) elsewhere = true;
        }
        freetbl(links, nullptr);
      }
      altuscom_apply_address(modem);  // an address learnt since the last call
      if (elsewhere) {
        clock_sleep(0.1);
      } else if (modem->com_mode == SERIALBUF_TCPCLIENT &&
                 (modem->ipaddr == nullptr || *modem->ipaddr == '\0')) {
        if (modem->ipaddr_count == 0) {
          altuscom_log_complain(
              modem, dl, 1, 0, "altuscom_run_modem(%s): undefined ip-address...must wait for POC\n",
              modem->name);
        }
        modem->ipaddr_count++;
      } else {
        modem->connected_dl = dl;
        set_userdata3(modem, dl);
        altuscom_log_message(modem, dl, 0, "altuscom_run_modem(%s): calling modem_dialout\n",
                             modem->name);
        modem_dialout(modem, dl);
        modem->connected_dl = nullptr;
        set_userdata3(modem, nullptr);
      }
    }
    unlock_modem_connection(modem, "altuscom_run_modem: dialout done");
    unlock_datalogger_connection(dl, "altuscom_run_modem: dialout done");
  }
}

// Whether a datalogger this link may call has requests queued (or its queue's lock is
// busy, which counts as having some).
bool requests_waiting(const Modem *modem, Tbl *dls) {
  for (long i = 0; i < maxtbl(dls); i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    if (dl->dialout && in_dialout_list(dl, modem) && !nothing_queued(dl)) return true;
  }
  return false;
}

}  // namespace

void *altuscom_run_modem(void *arg) {
  auto *modem = static_cast<Modem *>(arg);
  auto *altus = static_cast<Kessaro *>(modem->userdata);
  Tbl *dls = valsarr(altus->dltargets_array);
  altuscom_log_message(modem, nullptr, 0, "altuscom_run_modem: thread started for %s\n",
                       modem->name);
  while (!kessaro_halt) {
    unsigned long seen = clock_event_seen(&kessaro_wake);
    // A new address learned since the last pass takes effect before the next connection.
    altuscom_apply_address(modem);
    if (modem->dialout) dialout_scan(altus, modem, dls);
    if (kessaro_halt) break;
    if (modem->dialin) {
      modem_listen(modem);
      if (kessaro_halt) break;
      const char *label = "altus_com_run: dialin done";
      AltusDatalogger *dl = modem->connected_dl;
      bool ml = lock_modem_connection(modem, label, 1) == 0;
      bool dlk = dl != nullptr && lock_datalogger_connection(dl, label, 1) == 0;
      modem->connected_dl = nullptr;
      set_userdata3(modem, nullptr);
      if (dlk) unlock_datalogger_connection(dl, label);
      if (ml) unlock_modem_connection(modem, label);
    }
    // The dial-in wait ends within a second on its own; the pause keeps a link without
    // one from spinning. A link that only dials out has nothing to do until a request is
    // posted (kessaro_wake) unless one waits already.
    pause_between_passes(seen, modem->dialin || requests_waiting(modem, dls));
  }
  freetbl(dls, nullptr);
  closeserial(modem);
  altuscom_log_message(modem, nullptr, 0, "altuscom_run_modem: exiting\n");
  return nullptr;
}

namespace {

// A caller beyond the waiting callers that a server link keeps: its connection is closed
// at once. One line a minute at most says how many were refused.
void refuse_caller(Modem *server, SerialBuf *client) {
  serialbuf_destroy(client);
  server->callers_refused++;
  const double now = clock_monotonic();
  if (server->callers_refused_logged > 0 && now - server->callers_refused_logged < 60.0) return;
  altuscom_log_complain(server, nullptr, 1, 0,
                        "altuscom_run_tcpserver: %d callers on %s have not identified "
                        "themselves yet: %d callers refused\n",
                        (int)server->callers_waiting, server->devname, server->callers_refused);
  server->callers_refused = 0;
  server->callers_refused_logged = now;
}

}  // namespace

void altuscom_caller_identified(Modem *modem) {
  if (modem == nullptr) return;
  if (modem->buf_handle != nullptr) modem->buf_handle->deadline = 0;
  if (modem->waiting.exchange(0) != 0 && modem->server != nullptr)
    modem->server->callers_waiting.v--;
}

void *altuscom_run_tcpserver(void *arg) {
  auto *modem = static_cast<Modem *>(arg);
  altuscom_log_message(modem, nullptr, 0, "altuscom_run_tcpserver: thread started for %s\n",
                       modem->name);
  int to = (int)(modem->timeout * 1000.0);
  int toctrl = (int)(modem->timeout_control * 1000.0);
  snprintf(modem->devname, sizeof modem->devname, "tcps:pt=%d:to=%.1f:toctrl=%.1f:listen",
           modem->port, modem->timeout, modem->timeout_control);
  modem->buf_handle_server =
      serialbuf_create_tcpserver(modem->port, 1024, to, toctrl, 2, idle_callback, modem,
                                 log_callback, modem, nullptr, datarate_callback, modem);
  if (modem->buf_handle_server == nullptr) {
    altuscom_log_complain(modem, nullptr, 1, 0,
                          "altus_run_tcpserver: fatal error creating serial buffer for %s.\n",
                          modem->devname);
    kessaro_halt = 1;
    altuscom_log_message(modem, nullptr, 0, "altuscom_run_tcpserver: exiting\n");
    return nullptr;
  }
  if (serialbuf_clear_modem_control(modem->buf_handle_server) < 0) {
    altuscom_log_complain(
        modem, nullptr, 1, 0,
        "altus_run_tcpserver: fatal error creating setting modem control for %s.\n",
        modem->devname);
    kessaro_halt = 1;
    altuscom_log_message(modem, nullptr, 0, "altuscom_run_tcpserver: exiting\n");
    return nullptr;
  }
  auto *altus = static_cast<Kessaro *>(modem->userdata);
  bool opened = false;
  while (!opened && !kessaro_halt) {
    altuscom_log_message(modem, nullptr, 0, "opening connection to %s", modem->devname);
    modem->interrupt = 0;
    if (serialbuf_open(modem->buf_handle_server) == 0) {
      opened = true;
      break;
    }
    altuscom_log_complain(
        modem, nullptr, 1, 0,
        "altuscom_run_tcpserver: serialbuf_open(%s) error...retry after 1 minute\n",
        modem->devname);
    kessaro_wait_for([] { return kessaro_halt != 0; }, clock_monotonic() + 60.0);
  }
  while (opened && !kessaro_halt) {
    altuscom_log_message(modem, nullptr, 0, "listening for connection on %s", modem->devname);
    SerialBuf *client = serialbuf_connect_tcpserver(modem->buf_handle_server);
    if (kessaro_halt) {
      if (client != nullptr) serialbuf_destroy(client);
      break;
    }
    if (client == nullptr) {
      altuscom_log_message(modem, nullptr, 0,
                           "altuscom_run_tcpserver: serialbuf_connect(%s) error.\n",
                           modem->devname);
      clock_sleep(0.1);
      continue;
    }
    if (modem->callers_waiting >= ALTUSCOM_CALLERS_WAITING_MAX) {
      refuse_caller(modem, client);
      continue;
    }
    // The caller has the link's time-out to identify itself, whatever it sends meanwhile.
    if (modem->timeout > 0) client->deadline = clock_monotonic() + modem->timeout;
    altuscom_log_message(modem, nullptr, 0, "Connected to %s", client->recv_hostport);
    Modem *copy = altuscom_modem_copy(modem);
    if (copy == nullptr) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "altuscom_run_tcpserver: altuscom_modem_copy(%s) error.\n",
                            modem->devname);
      serialbuf_destroy(client);
      kessaro_halt = 1;
      break;
    }
    modem->instance++;
    char name[300];
    snprintf(name, sizeof name, "%s_V%-3.3d", modem->name, modem->instance);
    free(copy->name);
    copy->name = strdup(name);
    copy->buf_handle = client;
    copy->buf_handle_server = nullptr;
    client->userdata1 = copy;
    client->userdata2 = copy;
    client->userdata4 = copy;
    copy->nbread = copy->nbread_gig = copy->nbwrite = copy->nbwrite_gig = 0;
    copy->callers_waiting = 0;
    copy->server = modem;
    copy->waiting = 1;
    modem->callers_waiting.v++;
    std::lock_guard<KessaroMutex> list(altus->modems_mutex);
    altuscom_log_message(copy, nullptr, 0, "Launching thread to service %s", client->recv_hostport);
    if (altuscom_start_thread(&copy->run_thread, THREAD_ALTUS_LINK, altuscom_run_tcpconnection,
                              copy) != 0) {
      altuscom_log_register_error(
          copy, nullptr, 0, "altuscom_run_tcpserver: pthread_create(%s) error.\n", copy->name);
      altuscom_caller_identified(copy);  // gives its place back
      altuscom_modem_free(copy);
      kessaro_halt = 1;
      break;
    }
  }
  if (modem->buf_handle_server != nullptr) {
    serialbuf_destroy(modem->buf_handle_server);
    modem->buf_handle_server = nullptr;
  }
  closeserial(modem);
  altuscom_log_message(modem, nullptr, 0, "altuscom_run_tcpserver: exiting\n");
  return nullptr;
}

void *altuscom_run_tcpconnection(void *arg) {
  auto *modem = static_cast<Modem *>(arg);
  auto *altus = static_cast<Kessaro *>(modem->userdata);
  altuscom_log_message(modem, nullptr, 0, "altuscom_run_tcpconnection: thread started for %s\n",
                       modem->name);
  // Enter the link list; once the shutdown has begun the list is no longer read, so the
  // thread does not wait for its lock, which the shutdown may hold.
  while (!kessaro_halt) {
    if (altus->modems_mutex.try_lock()) {
      setarr(altus->modems_array, modem->name, modem);
      altus->modems_mutex.unlock();
      break;
    }
    clock_sleep(0.01);
  }
  if (modem->dialin) {
    modem_listen(modem);
    closeserial(modem);
    altuscom_log_message(modem, nullptr, 0, "altuscom_run_tcpconnection: exiting\n");
  } else {
    altuscom_log_complain(modem, nullptr, 1, 0,
                          "altuscom_run_tcpconnection: No dialin for %s...exiting\n",
                          modem->devname);
    closeserial(modem);
  }
  // A caller that never identified holds its place until its thread ends, so that the
  // callers waiting bound the threads as well.
  altuscom_caller_identified(modem);
  modem->exit = 1;
  return nullptr;
}

// ---- byte-stream callbacks ----

int idle_callback(void *link, int phase) {
  if (kessaro_halt) return SERIALBUF_STOPPED;
  auto *modem = static_cast<Modem *>(link);
  if (modem == nullptr) return 0;
  if (phase == SERIALBUF_IDLE_EMPTY && modem->interrupt.exchange(0) != 0) return SERIALBUF_STOPPED;
  modem->interrupt = 0;
  return 0;
}

int log_callback(void *link, void *dlv, const char *text, int kind) {
  auto *modem = static_cast<Modem *>(link);
  auto *dl = static_cast<AltusDatalogger *>(dlv);
  if (text == nullptr) text = "";
  switch (kind) {
    case SERIALBUF_LOG_READ:
    case SERIALBUF_LOG_WRITTEN:
      altuscom_log_message(modem, dl, 0,
                           kind == SERIALBUF_LOG_READ ? "MODEM ECHO: %s" : "MODEM WRITE: %s", text);
      if (modem != nullptr && modem->cmd != nullptr)
        altuscom_progress(dl, modem->cmd, "%s\n", text);
      break;
    case ALTUSLOG_KIND_LOG:
      if (strncmp(text, "CAUTION: Acquisition is ON", 26) == 0) break;
      altuscom_log_message(modem, dl, 0, "Altus LOG: %s", text);
      if (dl != nullptr && strstr(text, "EVENT ") != nullptr) dl->alarm = 1;
      break;
    case ALTUSLOG_KIND_ALARM:
      altuscom_log_message(modem, dl, 0, "Altus ALARM: %s", text);
      if (dl != nullptr) dl->alarm = 1;
      break;
    case ALTUSLOG_KIND_LINE:  // packet dumps and console lines: the text as it is, with the link's
                              // prefix
      altuscom_log_message(modem, dl, 0, "%s", text);
      break;
    case ALTUSLOG_KIND_BADSIZE:
      if (dl != nullptr) dl->dataerrors_size = dl->dataerrors_size + 1;
      break;
    case ALTUSLOG_KIND_BADCHKSUM:
      if (dl != nullptr) dl->dataerrors_chksum = dl->dataerrors_chksum + 1;
      break;
    default:
      break;
  }
  return 0;
}

int datarate_callback(void *link, int direction, int nbytes) {
  auto *modem = static_cast<Modem *>(link);
  if (modem == nullptr || nbytes < 0) return 0;
  unsigned *count, *gig;
  if (direction == SERIALBUF_WROTE) {
    count = &modem->nbwrite;
    gig = &modem->nbwrite_gig;
  } else if (direction == SERIALBUF_READ) {
    count = &modem->nbread;
    gig = &modem->nbread_gig;
  } else {
    return 0;
  }
  // Below 2 * 10^9 before the carry, so an unsigned never wraps.
  std::lock_guard<KessaroMutex> g(modem->count_mutex);
  *count += (unsigned)nbytes;
  while (*count > 999999999u) {
    *count -= 1000000000u;
    (*gig)++;
  }
  return 0;
}

int closeserial(Modem *modem) {
  if (modem == nullptr || modem->buf_handle == nullptr) return 0;
  if (modem->devname[0] != '\0') {
    altuscom_log_message(modem, nullptr, 0, "closing connection to %s", modem->devname);
  } else {
    altuscom_log_message(modem, nullptr, 0, "closing connection");
  }
  modem->devname[0] = '\0';
  serialbuf_destroy(modem->buf_handle);
  modem->buf_handle = nullptr;
  clock_sleep(2.0);
  return 0;
}

// ---- orderly shutdown ----

namespace {
std::atomic<int> shutdown_claimed{0};

// Joins a thread that ends once the halt is raised, waiting up to `deadline`
// (clock_monotonic); one still busy then is detached, so that it leaves nothing behind when
// it ends. The calling thread (a shutdown may run on a service thread) is left alone.
void join_or_detach(pthread_t *tid, double deadline) {
  if (pthread_equal(*tid, pthread_t()) || pthread_equal(*tid, pthread_self())) return;
  while (pthread_tryjoin_np(*tid, nullptr) == EBUSY) {
    if (clock_monotonic() >= deadline) {
      pthread_detach(*tid);
      break;
    }
    clock_sleep(0.05);
  }
  *tid = pthread_t();
}
}  // namespace

int kessaro_shutdown_claim(void) { return shutdown_claimed.exchange(1) == 0 ? 1 : 0; }

void kessaro_shutdown_reset(void) { shutdown_claimed = 0; }

void kessaro_exit(int status) {
  // The command service writes the answers still queued (the answer to "quit" among
  // them) and its threads end, each within its bound, before the process does.
  Kessaro *altus = altuscom_program(nullptr);
  if (altus != nullptr && altus->cmdthr != nullptr) cmdthread_destroy(altus->cmdthr);
  // Other threads still run: leave without running the static destructors under them.
  threadstart_report();
  fflush(nullptr);
  _exit(status);
}

void kessaro_stop(Kessaro *altus, int exitflag) {
  altus->stopping = 1;
  altuscom_log_message(nullptr, nullptr, 1, "kessaro_stop: Killing kessaro...\n");
  altuscom_log_message(nullptr, nullptr, 1, "kessaro_stop: clearing command queue...\n");
  Tbl *dls = valsarr(altus->dltargets_array);
  for (long i = 0; i < maxtbl(dls); i++) {
    altuscom_clear_requests(static_cast<AltusDatalogger *>(gettbl(dls, i)), 1, 1);
  }
  freetbl(dls, nullptr);
  altuscom_log_message(nullptr, nullptr, 1, "kessaro_stop: waiting for modem threads to exit...\n");
  // Halt first, then take the snapshot under the list lock: the main loop checks the flag
  // under the same lock, so no link of the snapshot is reaped by it.
  kessaro_halt = 1;
  std::vector<Modem *> links;
  {
    std::lock_guard<KessaroMutex> list(altus->modems_mutex);
    Tbl *vals = valsarr(altus->modems_array);
    for (long i = 0; i < maxtbl(vals); i++) links.push_back(static_cast<Modem *>(gettbl(vals, i)));
    freetbl(vals, nullptr);
  }
  for (Modem *m : links) {
    if (!pthread_equal(m->run_thread, pthread_t())) pthread_join(m->run_thread, nullptr);
    altuscom_log_message(m, nullptr, 1, "Modem thread finished.");
  }
  altuscom_log_message(nullptr, nullptr, 1, "kessaro_stop: modem threads finished\n");
  // The scheduling threads end at their next pass once the halt is raised (a pass only
  // posts requests and wakes links, it never waits on a datalogger).
  dls = valsarr(altus->dltargets_array);
  for (long i = 0; i < maxtbl(dls); i++)
    join_or_detach(&static_cast<AltusDatalogger *>(gettbl(dls, i))->run_thread,
                   clock_monotonic() + 5.0);
  freetbl(dls, nullptr);
  altus->status_report_now = 1;
  altus->status_report_shutdown = 1;
  // Up to 11 s for the last report; the status thread's clearing of the flag signals.
  kessaro_wait_for([altus] { return altus->status_report_now != 1; }, clock_monotonic() + 11.0);
  altuscom_write_state(altus);
  altuscom_log_message(nullptr, nullptr, 1, "kessaro_stop: shutting down write threads\n");
  clock_sleep(0.1);
  if (altus->mtfifo_write != nullptr && altuscom_stop_writer(altus) == 0) {
    altuscom_log_message(nullptr, nullptr, 1, "kessaro_stop: Write thread done.\n");
  }
  altuscom_log_stop(nullptr, nullptr,
                    exitflag ? "kessaro_stop: Data write thread exited, program exiting.\n"
                             : "kessaro_stop: Data write thread exited.\n");
  altuscom_log_stop(nullptr, nullptr, "kessaro_stop: Flushing output buffers.\n");
  flush_repackage_buffers(altus);
  altus->stopping = 0;
  // The status thread ends once the stop is over, the data-rate and point-of-contact
  // threads at their next look at the halt (a failing reader pauses 10 s between tries).
  clock_event_signal(&kessaro_wake);
  const double deadline = clock_monotonic() + 3.0;
  join_or_detach(&altus->status_thread, deadline);
  join_or_detach(&altus->datarate_thread, deadline);
  for (long i = 0; i < maxtbl(altus->pocds_tbl); i++)
    join_or_detach(&static_cast<POCDaemon *>(gettbl(altus->pocds_tbl, i))->thread, deadline);
  if (exitflag) kessaro_exit(0);
}
