// altuscom_dial.cpp - dial-in and dial-out.
#include "altuscom_dial.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "altuscom_hooks.h"
#include "altuscomsubs_block.h"
#include "altuscomsubs_connect.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_getevents.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_stream.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "bytestream/serialbuf.h"
#include "support/stdtime.h"

namespace {

// Byte-stream settings of every connection made here.
constexpr int kBufferSize = 8192;
constexpr int kReadPauseUsec = 10000;  // serial lines only
constexpr int kTries = 2;
// Opening a dial-out connection: tries, and the pause between them.
constexpr int kDialoutOpens = 11;
constexpr double kDialoutOpenPause = 10.0;
// Longest banner fields: model and serial number (characters).
constexpr int kModelMax = 23;
constexpr int kSerialMax = 15;

Kessaro *program_of(Modem *modem) { return altuscom_program(modem->userdata); }

int ms(double seconds) { return (int)(seconds * 1000.0); }

// The limit of the modem dialogue's waits; without a connect time-out of its own the link's
// wait time-out, since a limit of 0 would let a silent caller hold the link for ever.
int connect_ms(const Modem *modem) {
  return modem->timeout_connect > 0 ? ms(modem->timeout_connect) : ms(modem->timeout);
}

bool is_tcpserver_connection(const Modem *modem) { return modem->com_mode == SERIALBUF_TCPSERVER; }

void write_devname(Modem *modem, bool listen) {
  const char *tail = listen ? ":listen" : "";
  if (modem->com_mode == SERIALBUF_SERIAL) {
    snprintf(modem->devname, sizeof modem->devname, "%s:bd=%d:to=%.1f:toctrl=%.1f%s",
             modem->dev ? modem->dev : "", modem->baud, modem->timeout, modem->timeout_control,
             tail);
  } else {
    snprintf(modem->devname, sizeof modem->devname, "ip=%s:pt=%d:to=%.1f:toctrl=%.1f%s",
             modem->ipaddr ? modem->ipaddr : "", modem->port, modem->timeout,
             modem->timeout_control, tail);
  }
}

// The link's device (serial line or TCP client), closed; none when it cannot be made.
SerialBuf *create_device(Modem *modem, AltusDatalogger *dl) {
  if (modem->com_mode == SERIALBUF_SERIAL) {
    return serialbuf_create_serial(modem->dev, modem->baud, modem->flow, kBufferSize,
                                   ms(modem->timeout), ms(modem->timeout_control), kReadPauseUsec,
                                   kTries, idle_callback, modem, log_callback, modem, dl,
                                   datarate_callback, modem);
  }
  return serialbuf_create_tcpclient(modem->ipaddr, modem->port, kBufferSize, ms(modem->timeout),
                                    ms(modem->timeout_control), kTries, idle_callback, modem,
                                    log_callback, modem, dl, datarate_callback, modem);
}

// Modem control 0 none, 1 local (the control lines used), 2 remote (texts alone).
int apply_modem_control(Modem *modem, SerialBuf *buf) {
  if (modem->modem_control == MODEM_CONTROL_NONE) return serialbuf_clear_modem_control(buf);
  return serialbuf_set_modem_control(
      buf, modem->modem_control == MODEM_CONTROL_LOCAL ? 1 : 0, ms(modem->timeout_connect),
      modem->attention_string, modem->hangup_string, modem->listen_string, modem->nolisten_string,
      modem->dialout_string_prefix, modem->dialout_string_suffix, modem->attention_rec_string,
      modem->ring_rec_string, modem->busy_rec_string, modem->connect_rec_string,
      modem->offhook_rec_string);
}

void reset_counters(Modem *modem) {
  std::lock_guard<KessaroMutex> g(modem->count_mutex);
  modem->connect_time = std_now();
  modem->nbread = modem->nbread_gig = modem->nbwrite = modem->nbwrite_gig = 0;
}

// A pause of `seconds` in steps of `step` that ends on halt.
void pause_unless_halted(double seconds, double step) {
  for (int i = 0; i < (int)(seconds / step + 0.5) && !kessaro_halt; i++) clock_sleep(step);
}

void set_userdata3(Modem *modem, void *dl) {
  if (modem->buf_handle != nullptr) modem->buf_handle->userdata3 = dl;
}

// A report of the dial-in dialogue: to the log callback as a console line (kind 6).
void report(Modem *modem, AltusDatalogger *dl, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
void report(Modem *modem, AltusDatalogger *dl, const char *fmt, ...) {
  char text[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  log_callback(modem, dl, text, ALTUSLOG_KIND_LINE);
}

// The read verbosity of a device, saved and set for a dialogue, restored at the end.
struct Verbosity {
  SerialBuf *buf;
  int saved;
  Verbosity(SerialBuf *b, int level) : buf(b), saved(b->rverbose) { b->rverbose = level; }
  void restore() { buf->rverbose = saved; }
  ~Verbosity() { restore(); }
};

}  // namespace

int altuscom_banner_values(const char *model_text, const char *serial_text, char *model,
                           int model_size, int *serial) {
  if (model_text == nullptr || serial_text == nullptr || model == nullptr || model_size < 1) {
    return -1;
  }
  size_t n = strlen(model_text);
  if (n > (size_t)kModelMax) return -1;
  const char *m = strncmp(model_text, "Altus ", 6) == 0 ? model_text + 6 : model_text;
  snprintf(model, (size_t)model_size, "%s", m);
  size_t s = strlen(serial_text);
  if (s == 0 || s > (size_t)kSerialMax) return -1;
  // 64 bits, so that the check comes before any overflow on a 32-bit target too.
  long long v = 0;
  for (size_t i = 0; i < s; i++) {
    if (!isdigit((unsigned char)serial_text[i])) return -1;
    v = v * 10 + (serial_text[i] - '0');
    if (v > INT_MAX) return -1;
  }
  *serial = (int)v;
  return 0;
}

// ---- dial-in ----

namespace {

enum class Next { LISTEN, LEAVE };

struct Listen {
  Modem *modem;
  Kessaro *altus;
  bool tcpserver;
  AltusDatalogger *dl = nullptr;  // the caller, once known
  char tag[32] = "";

  SerialBuf *buf() { return modem->buf_handle; }

  // Drops the connection so that the next cycle makes a new one.
  void close_connection() {
    AltusDatalogger *held = dl;
    closedl(modem->connected_dl != nullptr ? modem->connected_dl.load() : dl);
    unlock_datalogger_connection(held, "modem_listen: close");
    closeserial(modem);
  }

  // After a failure before the datalogger is known: a TCP-server connection ends, another
  // link listens again; a halt leaves.
  Next failed() { return (kessaro_halt || tcpserver) ? Next::LEAVE : Next::LISTEN; }

  void reset() {
    dl = nullptr;
    tag[0] = '\0';
    lock_modem_connection(modem, "modem_listen: initialize to unconnected", 0);
    modem->connected_dl = nullptr;
    set_userdata3(modem, nullptr);
    unlock_modem_connection(modem, "modem_listen: initialize to unconnected");
    std::lock_guard<KessaroMutex> g(modem->count_mutex);  // the status thread reads it
    modem->connect_time = std_now();
  }

  // Makes the device, opens it and waits for a caller.
  Next connect() {
    altuscom_apply_address(modem);
    write_devname(modem, true);
    modem->buf_handle = create_device(modem, nullptr);
    if (modem->buf_handle == nullptr) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: fatal error creating serial buffer for %s.\n",
                            modem->devname);
      kessaro_halt = 1;
      return Next::LEAVE;
    }
    reset_counters(modem);
    if (apply_modem_control(modem, buf()) < 0) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: fatal error creating setting modem control for %s.\n",
                            modem->devname);
      kessaro_halt = 1;
      return Next::LEAVE;
    }
    while (!kessaro_halt) {
      altuscom_log_message(modem, nullptr, 0, "opening connection to %s", modem->devname);
      modem->interrupt = 0;
      if (serialbuf_open(buf()) == 0) break;
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: serialbuf_open(%s) error...retry after 1 minute\n",
                            modem->devname);
      // Nothing at an announced address on trial: the last one where the datalogger was is
      // tried at once, and the announced one again after the pause.
      const int turned = altuscom_address_failed(modem, nullptr);
      if (turned != ALTUSCOM_TURN_CONFIRMED) pause_unless_halted(60.0, 0.1);
      if (turned != ALTUSCOM_TURN_NONE) {
        close_connection();
        return Next::LISTEN;
      }
    }
    if (kessaro_halt) return Next::LEAVE;
    int rc = serialbuf_connect(buf(), 1, nullptr);
    if (rc == 0) return kessaro_halt ? Next::LEAVE : Next::LISTEN;
    if (rc < 0) {
      altuscom_log_message(modem, nullptr, 0, "modem_listen: serialbuf_connect(%s) error.\n",
                           modem->devname);
      close_connection();
      return Next::LISTEN;
    }
    if (rc == SERIALBUF_STOPPED) {
      altuscom_log_message(modem, nullptr, 0, "modem_listen: serialbuf_connect(%s) interrupted.\n",
                           modem->devname);
      return Next::LEAVE;
    }
    const char *what = rc == SERIALBUF_TIMEOUT     ? "timeout"
                       : rc == SERIALBUF_NOCARRIER ? "no carrier"
                       : rc == SERIALBUF_BUSY      ? "busy"
                                                   : "problem";
    altuscom_log_message(modem, nullptr, 0, "modem_listen: serialbuf_connect(%s) %s.\n",
                         modem->devname, what);
    if (kessaro_halt) return Next::LEAVE;
    close_connection();
    return Next::LISTEN;
  }

  // The modem's part on a line without one. LISTEN with *event set: the datalogger is
  // already talking ("EVENT DETECTED"); LISTEN otherwise: the dialogue went through. Every
  // failure has been handled (the return says what comes next); *ok tells which.
  Next emulate(bool *ok, bool *event) {
    *ok = false;
    *event = false;
    SerialBuf *b = buf();
    Verbosity v(b, 3);
    report(modem, nullptr, "MODEM RSP: Listening for dial string...");
    // A link of its own waits for its caller as long as it takes; a TCP-server connection
    // keeps its time-out, so that a caller that never speaks does not hold its thread.
    int rc;
    if (tcpserver) {
      rc = serialbuf_read_until2(b, altus->connect_listen_string, "EVENT DETECTED");
    } else {
      int saved_timeout = b->timeout;
      b->timeout = 0;
      rc = serialbuf_read_until2_intr(b, altus->connect_listen_string, "EVENT DETECTED");
      b->timeout = saved_timeout;
    }
    if (kessaro_halt) return Next::LEAVE;
    if (rc == SERIALBUF_SECOND) {
      report(modem, nullptr,
             "MODEM RSP: Connection to datalogger appears to be already active...trying to "
             "identify datalogger");
      v.restore();
      modem->connected_dl = nullptr;
      *ok = *event = true;
      return Next::LISTEN;
    }
    if (rc == SERIALBUF_STOPPED) {
      altuscom_log_message(modem, nullptr, 0, "modem_listen: serialbuf_connect(%s) interrupted.\n",
                           modem->devname);
      return Next::LEAVE;
    }
    if (rc != 0) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: serialbuf_read_until_intr() error.\n");
      return failed();
    }
    b->timeout = connect_ms(modem);
    rc = serialbuf_read_until(b, "\r");
    b->timeout = ms(modem->timeout);
    if (kessaro_halt) return Next::LEAVE;
    if (rc != 0) {
      altuscom_log_complain(modem, nullptr, 1, 0, "modem_listen: serialbuf_read_until() error.\n");
      return failed();
    }
    report(modem, nullptr, "MODEM RSP: Received dial string...");
    b->timeout = connect_ms(modem);
    rc = serialbuf_send_modem_string(b, altus->connect_response_string, "FROM:", 2);
    b->timeout = ms(modem->timeout);
    if (kessaro_halt) return Next::LEAVE;
    if (rc != 0) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: serialbuf_send_modem_string() error.\n");
      return failed();
    }
    report(modem, nullptr, "MODEM RSP: Connected to datalogger...");
    *ok = true;
    return Next::LISTEN;
  }

  // The banner: model and serial number. *ok on success.
  Next banner(char *model, int model_size, int *serial, bool *ok) {
    *ok = false;
    if (kessaro_halt) return Next::LEAVE;
    modem->dialin_pending = 0;
    SerialBuf *b = buf();
    Verbosity v(b, 3);
    // Larger than the fields, so that an over-long field is seen and refused.
    char model_text[128], serial_text[128];
    const char *pattern =
        modem->modem_control == MODEM_CONTROL_NONE ? " Kinemetrics ~\r\n" : "Kinemetrics ~\r\n";
    int rc = serialbuf_read_until_parse(b, pattern, model_text, sizeof model_text);
    char parsed[32];
    int sn = 0;
    if (rc != 0 || strlen(model_text) > (size_t)kModelMax) {
      v.restore();
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: serialbuf_read_until_parse(MODEL) error.\n");
      return failed();
    }
    altuscom_banner_values(model_text, "0", parsed, sizeof parsed, &sn);
    report(modem, nullptr, "MODEM RSP: Model = %s", parsed);
    rc = serialbuf_read_until_parse(b, "S/N ~\r\n", serial_text, sizeof serial_text);
    if (rc != 0 ||
        altuscom_banner_values(model_text, serial_text, parsed, sizeof parsed, &sn) < 0) {
      v.restore();
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: serialbuf_read_until_parse(SERIAL) error.\n");
      return failed();
    }
    report(modem, nullptr, "MODEM RSP: Serial no. = %d", sn);
    rc = serialbuf_read_until(b, "to go to command line\r\n");
    v.restore();
    if (rc != 0) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: serialbuf_read_until(DIALIN) error.\n");
      return failed();
    }
    report(modem, nullptr, "MODEM RSP: Call received...");
    snprintf(model, (size_t)model_size, "%s", parsed);
    *serial = sn;
    *ok = true;
    return Next::LISTEN;
  }

  // Finds and claims the caller. *ok when it is this link's now.
  Next identify(const char *model, int serial, bool *ok) {
    *ok = false;
    if (make_dlserial(modem, model, serial, tag) < 0) {
      altuscom_log_complain(modem, nullptr, 1, 0, "modem_listen: make_dlserial() error.\n");
      return tcpserver ? Next::LEAVE : Next::LISTEN;
    }
    auto *found = static_cast<AltusDatalogger *>(getarr(altus->dlserials_array, tag));
    if (found == nullptr) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: Unrecognized datalogger serial number '%s'.\n", tag);
      return tcpserver ? Next::LEAVE : Next::LISTEN;
    }
    // Another link may hold the datalogger with its lock given back while the connection
    // runs: a datalogger with a connected link is taken, whatever its lock says.
    bool busy = lock_datalogger_connection(found, "modem_listen: checking for connection", 1) != 0;
    if (!busy && found->connected_modem != nullptr && found->connected_modem != modem) {
      unlock_datalogger_connection(found, "modem_listen: checking for connection");
      busy = true;
    }
    if (busy) {
      altuscom_log_complain(modem, nullptr, 1, 0,
                            "modem_listen: Datalogger '%s' already connected.\n",
                            found->target_name);
      return tcpserver ? Next::LEAVE : Next::LISTEN;
    }
    dl = found;
    if (tcpserver) altuscom_caller_identified(modem);
    char label[600];
    snprintf(label, sizeof label, "modem_listen: setting %s connection to %s", modem->name,
             dl->target_name);
    lock_modem_connection(modem, label, 0);
    modem->connected_dl = dl;
    set_userdata3(modem, dl);
    unlock_modem_connection(modem, label);
    report(modem, dl, "MODEM RSP: Connecting to datalogger %s", dl->target_name);
    {
      std::lock_guard<KessaroMutex> g(altus->status_mutex);  // the status and state file read it
      dl->last_connection_attempt_time = std_now();
    }
    learn_address();
    *ok = true;
    return Next::LISTEN;
  }

  // A caller on a TCP-server connection shows where its datalogger now is: its own
  // TCP-client link is told. The caller's port is taken only by a link that has none.
  void learn_address() {
    if (dl->single_modem == nullptr || !tcpserver || !dl->accept_pocs_from_dialin) return;
    std::string hostport = buf()->recv_hostport;
    const size_t colon = hostport.find(':');
    std::string host = hostport.substr(0, colon);
    if (host.empty()) return;
    const int port = colon == std::string::npos ? -1 : atoi(hostport.c_str() + colon + 1);
    AltusAddressChange change;
    if (altuscom_post_address(dl->single_modem, host.c_str(), port, &change) ==
        ALTUSCOM_ADDRESS_POSTED) {
      altuscom_log_message(
          modem, dl, 0,
          "modem_listen: Change in datalogger %s ipaddress - resetting from %s:%d to %s:%d.\n",
          dl->target_name, change.old_host.c_str(), change.old_port, change.new_host.c_str(),
          change.new_port);
    }
  }

  // A download after the connection opened; false when the tries stop.
  bool download(int attempt, int maxtries, bool *retry) {
    *retry = false;
    int r = getevents(modem, 1, nullptr);
    if (kessaro_halt) return false;
    if (r == 0) return true;
    if (attempt < maxtries) {
      altuscom_log_complain(modem, dl, 1, 0, "modem_listen: getevents(%s) error...retrying.\n",
                            modem->devname);
      *retry = true;
    } else {
      altuscom_log_complain(modem, dl, 1, 0, "modem_listen: getevents(%s) error.\n",
                            modem->devname);
    }
    return false;
  }

  // Opens the connection (up to maxtries times) and runs the dial-in command.
  void serve() {
    int maxtries = modem->maxtries > 0 ? modem->maxtries : 1;
    for (int attempt = 1; attempt <= maxtries; attempt++) {
      if (dl != nullptr && !datalogger_connection_held(dl)) {
        // A retry: the opener gave the lock back.
        if (lock_datalogger_connection(dl, "modem_listen: retry", 1) != 0) return;
      }
      AltusDatalogger *d = dl;
      int rc = opendl(modem, 1, tag, &d, 0, 0, 0);
      if (d != nullptr) dl = d;
      if (rc == OPENDL_HALTED) return;
      if (rc == OPENDL_DIALIN) {
        altuscom_log_complain(modem, dl, 1, 0,
                              "modem_listen: opendl(%s) interrupted by attempt to dialin.\n",
                              modem->devname);
        continue;
      }
      if (rc == OPENDL_NOT_ACTIVE) {
        altuscom_log_complain(modem, dl, 1, 0,
                              "modem_listen: opendl(%s) error: Connection no longer active.\n",
                              modem->devname);
        return;
      }
      if (rc != 0) {
        altuscom_log_complain(modem, dl, 1, 0, "modem_listen: opendl(%s) error.\n", modem->devname);
        return;
      }
      if (modem->com_mode == SERIALBUF_TCPCLIENT)
        altuscom_confirm_address(modem);  // it identified here
      // A caller that came without its banner identified itself in block mode.
      if (tcpserver) altuscom_caller_identified(modem);
      const char *cmd = dl->dialin_cmd ? dl->dialin_cmd : "";
      bool retry = false;
      if (strcmp(cmd, "getevents") == 0) {
        altuscom_log_message(modem, dl, 0, "modem_listen: processing getevents command.\n");
        if (!download(attempt, maxtries, &retry)) {
          if (retry) continue;
          return;
        }
      } else if (strcmp(cmd, "status") == 0) {
        // The opening read the status.
      } else if (strcmp(cmd, "strstart") == 0) {
        altuscom_log_message(modem, dl, 0, "modem_listen: processing strstart command.\n");
        getstream0(modem, nullptr);
        if (kessaro_halt) return;
      } else {
        altuscom_log_complain(modem, dl, 1, 0, "modem_listen: Cannot recognize dialin_cmd '%s'.\n",
                              cmd);
      }
      if (dl->last_listing_time == 0) {
        altuscom_log_message(modem, dl, 0, "NULL last_listing_time: processing getevents");
        unsigned char seq = 0;
        get_dirtree(dl, modem, nullptr, nullptr, 0, &seq, nullptr, nullptr);
        elog_clear_register(0);
      }
      if (!dl->request_getevents && dl->auto_getevents &&
          dl->status.events != dl->last_events_count) {
        altuscom_log_message(modem, dl, 0,
                             "event count changed from %d to %d: processing getevents",
                             dl->last_events_count, dl->status.events);
        if (!download(attempt, maxtries, &retry) && retry) continue;
      }
      return;
    }
  }

  // The caller's queued requests: in this connection when it opened. After a failed
  // opening the datalogger's lock has been given back, and another link may have taken the
  // datalogger since: its requests are then that link's to serve, on its own connection.
  // They are answered here only while this link holds the datalogger's lock and no other
  // link is connected to it.
  void run_queued() {
    if (dl->connected_modem == modem) {
      altuscom_run_commands(altus, dl);
      return;
    }
    bool held = datalogger_connection_held(dl);
    if (!held && lock_datalogger_connection(dl, "modem_listen: queued requests", 1) != 0) return;
    if (dl->connected_modem == nullptr) altuscom_run_commands(altus, dl);
    if (!held) unlock_datalogger_connection(dl, "modem_listen: queued requests");
  }

  void leave() {
    if (!kessaro_halt) {
      if (dl != nullptr) run_queued();
    } else {
      altuscom_log_message(modem, dl, 0, "modem_listen: Command shutdown.\n");
    }
    AltusDatalogger *held = dl;
    closedl(modem->connected_dl != nullptr ? modem->connected_dl.load() : dl);
    unlock_datalogger_connection(held, "modem_listen: leave");
    closeserial(modem);
  }

  // One dial-in cycle.
  Next cycle() {
    reset();
    if (!tcpserver) {
      Next n = connect();
      if (n == Next::LEAVE || buf() == nullptr || buf()->state != SERIALBUF_CONNECTED) return n;
    }
    if (kessaro_halt) return Next::LEAVE;
    bool event = false;
    if (modem->modem_control == MODEM_CONTROL_NONE) {
      bool ok = false;
      Next n = emulate(&ok, &event);
      if (!ok) {
        if (n == Next::LISTEN) close_connection();
        return n;
      }
    }
    if (!event) {
      char model[32] = "";
      int serial = 0;
      bool ok = false;
      Next n = banner(model, sizeof model, &serial, &ok);
      if (ok) n = identify(model, serial, &ok);
      if (!ok) {
        if (n == Next::LISTEN) close_connection();
        return n;
      }
    }
    serve();
    if (modem->test || tcpserver || kessaro_halt) return Next::LEAVE;
    close_connection();
    return Next::LISTEN;
  }
};

}  // namespace

int modem_listen(Modem *modem) {
  Listen l{modem, program_of(modem), is_tcpserver_connection(modem)};
  if (!l.tcpserver && modem->buf_handle != nullptr) {
    closedl(modem->connected_dl);
    closeserial(modem);
  }
  modem->mode = MODEM_MODE_DIALIN;
  while (l.cycle() == Next::LISTEN) {
  }
  l.leave();
  return 0;
}

// ---- dial-out ----

namespace {

struct Dialout {
  Modem *modem;
  AltusDatalogger *dl;
  Kessaro *altus;
  Pf *first = nullptr;  // a copy of the first request, told of the progress
  bool opened = false;

  void pending(const char *text) {
    if (first != nullptr) altuscom_progress(dl, first, "%s", text);
  }

  // Both log and requester hear of it.
  void say(bool complain, const char *fmt, const char *devname) {
    char text[600];
    snprintf(text, sizeof text, fmt, devname);
    if (complain) {
      altuscom_log_complain(modem, dl, 1, 0, "%s", text);
    } else {
      altuscom_log_message(modem, dl, 0, "%s", text);
    }
    pending(text);
  }

  void drop_connection() {
    closedl(modem->connected_dl != nullptr ? modem->connected_dl.load() : dl);
    closeserial(modem);
  }

  // A device for the link's address; false (halt raised) when it cannot be made.
  bool make_device() {
    write_devname(modem, false);
    modem->buf_handle = create_device(modem, dl);
    if (modem->buf_handle == nullptr) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "modem_dialout: fatal error creating serial buffer for %s.\n",
                            modem->devname);
      kessaro_halt = 1;
      return false;
    }
    reset_counters(modem);
    if (apply_modem_control(modem, modem->buf_handle) < 0) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "modem_dialout: fatal error creating setting modem control for %s.\n",
                            modem->devname);
      kessaro_halt = 1;
      return false;
    }
    return true;
  }

  // Opens the device; false when the attempts end (halted or given up). While an announced
  // address is on trial the opens alternate between it and the confirmed address, the
  // confirmed one tried at once after a failure at the announced one.
  bool open_device() {
    for (int n = 1; n <= kDialoutOpens; n++) {
      char text[600];
      snprintf(text, sizeof text, "opening dialout connection to %s", modem->devname);
      altuscom_log_message(modem, dl, 0, "%s", text);
      pending(text);
      modem->interrupt = 0;
      if (serialbuf_open(modem->buf_handle) == 0) return !kessaro_halt;
      altuscom_log_complain(modem, dl, 1, 0, "modem_dialout: serialbuf_open(%s) error...retrying\n",
                            modem->devname);
      snprintf(text, sizeof text, "modem_dialout: serialbuf_open(%s) error.\n", modem->devname);
      pending(text);
      if (kessaro_halt) return false;
      const int turned = altuscom_address_failed(modem, dl);
      if (turned != 0) {
        serialbuf_destroy(modem->buf_handle);  // never opened: nothing to close
        modem->buf_handle = nullptr;
        if (!make_device()) return false;
      }
      if (n < kDialoutOpens && turned != ALTUSCOM_TURN_CONFIRMED)
        pause_unless_halted(kDialoutOpenPause, 1.0);
      if (kessaro_halt) return false;
    }
    drop_connection();
    return false;
  }

  // After a call that connected but did not reach the datalogger: during a trial the link
  // turns to the other address; true when that is the confirmed one, to be called at once.
  bool call_other_address() {
    return !kessaro_halt && altuscom_address_failed(modem, dl) == ALTUSCOM_TURN_CONFIRMED;
  }

  // Calls until connected or given up; true when the connection opened. A call that fails
  // with an error or an unrecognised result is placed again, after the 2 s pause of closing,
  // for as long as the program runs; so is one that failed at an announced address on
  // trial, at the confirmed address.
  void attempts() {
    modem->mode = MODEM_MODE_DIALOUT;
    while (!kessaro_halt) {
      {
        std::lock_guard<KessaroMutex> g(altus->status_mutex);
        dl->connected_modem_status = modem;
      }
      if (!make_device()) return;
      if (!open_device()) return;
      {
        std::lock_guard<KessaroMutex> g(altus->status_mutex);
        dl->com_mode = ALTUS_COM_DIALLING;
        dl->lcom = ALTUS_COM_DIALLING;
        dl->last_connection_attempt_time = std_now();
      }
      altuscom_report_status_now(altus);
      char text[600];
      snprintf(text, sizeof text, "placing call with %s(%s)...", modem->name, modem->devname);
      altuscom_log_message(modem, dl, 0, "%s", text);
      pending(text);
      int rc = serialbuf_connect(modem->buf_handle, 0, dl->phone_number);
      if (rc < 0) {
        say(true, "modem_dialout: serialbuf_connect(%s) error.\n", modem->devname);
        drop_connection();
        call_other_address();
        continue;
      }
      if (rc == SERIALBUF_TIMEOUT || rc == SERIALBUF_NOCARRIER || rc == SERIALBUF_BUSY) {
        if (!kessaro_halt) {
          const char *fmt =
              rc == SERIALBUF_TIMEOUT     ? "modem_dialout: serialbuf_connect(%s) timeout.\n"
              : rc == SERIALBUF_NOCARRIER ? "modem_dialout: serialbuf_connect(%s) no carrier.\n"
                                          : "modem_dialout: serialbuf_connect(%s) busy.\n";
          say(true, fmt, modem->devname);
        }
        drop_connection();
        if (call_other_address()) continue;
        return;
      }
      if (rc != 0) {
        if (kessaro_halt) return;
        say(true, "modem_dialout: serialbuf_connect(%s) problem.\n", modem->devname);
        drop_connection();
        call_other_address();
        continue;
      }
      if (kessaro_halt) return;
      closedlnc(modem->connected_dl);
      AltusDatalogger *d = dl;
      rc = opendl(modem, 2, nullptr, &d, 0, 0, 0);
      if (rc == 0) {
        opened = true;
        return;
      }
      if (rc == OPENDL_HALTED || kessaro_halt) return;
      if (rc == OPENDL_DIALIN) {
        say(true, "modem_dialout: opendl(%s) interrupted by attempt to dialin.\n", modem->devname);
      } else if (rc == OPENDL_NOT_ACTIVE) {
        say(true, "modem_dialout: opendl(%s) error: Connection no longer active.\n",
            modem->devname);
      } else {
        say(true, "modem_dialout: opendl(%s) error.\n", modem->devname);
      }
      drop_connection();
      if (call_other_address()) continue;
      return;
    }
  }

  // The requests, then a look for new events.
  void work() {
    altuscom_run_commands(altus, dl);
    if (dl->request_getevents || !dl->auto_getevents || kessaro_halt) return;
    if (modem->reset_ipaddress) return;  // the link moves: the next call goes there
    altuscom_log_message(modem, dl, 0, "modem_dialout: looking for new events...");
    unsigned char seq = 0;
    void *out = nullptr;
    int outsize = 0;
    int r =
        get_block(modem->buf_handle, PKC_GETSTATUS, nullptr, &seq, &out, &outsize, 0, modem, dl);
    AltusBlockStatus st{};
    if (r == 0 && (out == nullptr || outsize != (int)sizeof st)) r = -1;
    if (r == 0) memcpy(&st, out, sizeof st);
    free(out);
    if (r != 0) {
      altuscom_log_message(modem, dl, 0,
                           "modem_dialout: process_command(ALTUS_PKC_STATUS,%s) error.\n",
                           modem->devname);
      return;
    }
    altuscom_set_dlclock(dl, &st);
    {
      std::lock_guard<KessaroMutex> g(altus->status_mutex);
      dl->status = st;
      dl->status_time = std_now();
    }
    altuscom_report_status_now(altus);
    altuscom_log_message(modem, dl, 0, "modem_dialout: old event count %d, new event count %d",
                         dl->last_events_count, st.events);
    bool fetch = false;
    if (dl->last_events_count != st.events) {
      altuscom_log_message(modem, dl, 0,
                           "modem_dialout: event count changed from %d to %d: processing getevents",
                           dl->last_events_count, st.events);
      fetch = true;
    } else {
      int unprocessed = 0;
      {
        std::lock_guard<KessaroMutex> g(altus->statefile_mutex);
        for (int i = 0; i < dl->files_size; i++) {
          if (dl->files[i].processed < 2) unprocessed++;
        }
      }
      if (unprocessed > 0) {
        altuscom_log_message(modem, dl, 0,
                             "modem_dialout: %d unprocessed events: processing getevents",
                             unprocessed);
        fetch = true;
      } else {
        altuscom_log_message(modem, dl, 0, "modem_dialout: no new events found...");
      }
    }
    if (fetch && getevents(modem, 2, nullptr) != 0 && !kessaro_halt) {
      altuscom_log_message(modem, dl, 0, "modem_dialout: getevents(%s) error.\n", modem->devname);
    }
  }

  void finish() {
    closedl(dl);
    closeserial(modem);
    if (!opened) {
      while (!kessaro_halt) {
        Pf *cmd = nullptr;
        altuscom_pop_request(dl, &cmd);
        if (cmd == nullptr) break;
        altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_ERROR, 0, "problem with dialout");
        dl->stream_status = STRSTATUS_IDLE;
        pffree(cmd);
      }
    }
    if (first != nullptr) pffree(first);
    first = nullptr;
  }
};

bool address_missing(const Modem *modem) {
  return modem->ipaddr == nullptr || modem->ipaddr[0] == '\0' || strcmp(modem->ipaddr, "-") == 0;
}

}  // namespace

int modem_dialout(Modem *modem, AltusDatalogger *dl) {
  if (modem == nullptr || dl == nullptr) return 0;
  if (altuscom_count_requests(dl, 0) < 1) return 0;
  Dialout d{modem, dl, program_of(modem)};
  altuscom_peek_request(dl, &d.first);
  auto refuse = [&]() {
    if (d.first != nullptr) pffree(d.first);
    return 0;
  };
  if (!dl->dialout) {
    altuscom_log_complain(modem, dl, 1, 0,
                          "modem_dialout: not allowed to dial out to datalogger %s.\n",
                          dl->target_name);
    return refuse();
  }
  if (!modem->dialout) {
    altuscom_log_complain(modem, dl, 1, 0, "modem_dialout: not allowed to dial on %s.\n",
                          modem->devname);
    return refuse();
  }
  if (modem->com_mode == SERIALBUF_TCPSERVER) {
    altuscom_log_complain(modem, dl, 1, 0, "modem_dialout: tcpserver not allowed to dial on %s.\n",
                          modem->devname);
    return refuse();
  }
  altuscom_apply_address(modem);
  if (modem->com_mode == SERIALBUF_TCPCLIENT && address_missing(modem)) {
    if (modem->ipaddr_count == 0) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "modem_dialout: undefined ip-address on %s...must wait for POC\n",
                            modem->devname);
    }
    modem->ipaddr_count++;
    clock_sleep(1.0);
    return refuse();
  }
  if (modem->buf_handle != nullptr) {
    d.pending("closing old connection");
    closedl(modem->connected_dl);
    closeserial(modem);
  }
  d.attempts();
  // The connection opened: the datalogger identified itself in block mode at this address.
  if (d.opened) {
    altuscom_confirm_address(modem);
    d.work();
  }
  d.finish();
  return 0;
}
