// altuscomsubs_console.cpp - the Altus console dialogue and the console exchanges of
// remote commands.
#include "altuscomsubs_console.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>

#include "altuscom_hooks.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_stream.h"
#include "base/elog.h"
#include "support/stdtime.h"

namespace {

const char kPrompt[] = "\r\n* ";
const char kBlockLine[] = "Type '\\\\\\' <CR> to enter monitor mode\r\n";

Modem *M(void *p) { return static_cast<Modem *>(p); }
AltusDatalogger *D(void *p) { return static_cast<AltusDatalogger *>(p); }

// Restores fields of the SerialBuf when the scope ends.
struct KeepRverbose {
  SerialBuf *b;
  int rverbose;
  explicit KeepRverbose(SerialBuf *buf) : b(buf), rverbose(buf->rverbose) {}
  ~KeepRverbose() { b->rverbose = rverbose; }
};
struct KeepTimeout {
  SerialBuf *b;
  int timeout, tries;
  explicit KeepTimeout(SerialBuf *buf) : b(buf), timeout(buf->timeout), tries(buf->tries) {}
  void restore() {
    b->timeout = timeout;
    b->tries = tries;
  }
  ~KeepTimeout() { restore(); }
};

// The dialogue's own lines go to the link's log callback unchanged (kind 6).
void ctrl_line(SerialBuf *b, const std::string &text) {
  if (b->log_callback != nullptr)
    b->log_callback(b->userdata2, b->userdata3, text.c_str(), ALTUSLOG_KIND_LINE);
}

// Runs f holding the program record's status_mutex (the status thread reads the
// datalogger's connection mode and times under it); without a program record, bare.
template <class F>
void under_status_lock(F f) {
  Kessaro *k = altuscom_program(nullptr);
  if (k == nullptr) {
    f();
    return;
  }
  std::lock_guard<KessaroMutex> g(k->status_mutex);
  f();
}

void request_status_report() {
  if (Kessaro *k = altuscom_program(nullptr)) altuscom_report_status_now(k);
}

bool write_text(SerialBuf *b, std::string_view s) {
  return serialbuf_write(b, s.data(), (int)s.size()) == (int)s.size();
}

const char *text_or_none(const char *s) { return s != nullptr && s[0] != '\0' ? s : nullptr; }

// ---- version report ----

bool walk_char(char c) {
  unsigned char u = (unsigned char)c;
  return isalpha(u) || isdigit(u) || c == ' ' || c == '.';
}
bool digit_run_char(char c) { return isdigit((unsigned char)c) || c == '.'; }
bool date_char(char c) {
  unsigned char u = (unsigned char)c;
  return isalpha(u) || isdigit(u) || c == ' ' || c == ',' || c == '.';
}

template <class P>
std::string_view run_from(std::string_view t, size_t pos, P ok) {
  size_t end = pos;
  while (end < t.size() && ok(t[end])) end++;
  return t.substr(pos, end - pos);
}

std::string_view trim_blanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

template <size_t N>
void put_field(char (&field)[N], std::string_view v) {
  size_t n = v.size() < N - 1 ? v.size() : N - 1;
  memcpy(field, v.data(), n);
  field[n] = '\0';
}

// The model name and version run around a software marker at `pos`; returns the
// position just behind the version.
size_t model_and_version(std::string_view t, size_t pos, size_t marker_len, VerParams *vp) {
  size_t start = pos;
  while (start > 0 && walk_char(t[start - 1])) start--;
  std::string_view model = trim_blanks(t.substr(start, pos - start));
  put_field(vp->model, trim_blanks(model.substr(0, sizeof vp->model - 1)));
  std::string_view ver = run_from(t, pos + marker_len, digit_run_char);
  put_field(vp->codever, ver);
  return pos + marker_len + ver.size();
}

// "Last Revised: " at or behind `from`: the date, and the position behind it (npos when
// there is none).
size_t revised_date(std::string_view t, size_t from, VerParams *vp) {
  static constexpr std::string_view kRevised = "Last Revised: ";
  size_t d = t.find(kRevised, from);
  if (d == std::string_view::npos) return d;
  std::string_view date = run_from(t, d + kRevised.size(), date_char);
  put_field(vp->codedate, date);
  return d + kRevised.size() + date.size();
}

}  // namespace

int verparams_parse(const char *text, VerParams *vp) {
  memset(vp, 0, sizeof *vp);
  vp->isbeta = -1;
  vp->isrock = -1;
  if (text == nullptr) return -1;
  std::string_view t(text);
  static constexpr std::string_view kStrong = " Strong Motion Software ";
  static constexpr std::string_view kRock = " Digitizer Software ";
  size_t pos = t.find(kStrong);
  if (pos != std::string_view::npos) {
    vp->isrock = 0;
    size_t cur = model_and_version(t, pos, kStrong.size(), vp);
    size_t after_date = revised_date(t, cur, vp);
    if (after_date != std::string_view::npos) cur = after_date;
    vp->isbeta = t.find("THIS VERSION IS FOR BETA TESTING ONLY", cur) != std::string_view::npos;
    static constexpr std::string_view kSys = "System Block Version ";
    static constexpr std::string_view kBoot = "Boot Block Version ";
    size_t s = t.find(kSys, cur);
    if (s != std::string_view::npos) {
      std::string_view v = run_from(t, s + kSys.size(), digit_run_char);
      put_field(vp->sysblockver, v);
      cur = s + kSys.size() + v.size();
    }
    size_t b = t.find(kBoot, cur);
    if (b != std::string_view::npos)
      put_field(vp->bootblockver, run_from(t, b + kBoot.size(), digit_run_char));
    return 0;
  }
  pos = t.find(kRock);
  if (pos != std::string_view::npos) {
    vp->isrock = 1;
    size_t cur = model_and_version(t, pos, kRock.size(), vp);
    vp->isbeta = t.find("BETA", cur) != std::string_view::npos;
    revised_date(t, cur, vp);
    return 0;
  }
  return -1;
}

const char *verparams_model(const char *name) {
  static const struct {
    const char *reported, *canonical;
  } kNames[] = {{"K2", "K2"},         {"Etna", "Etna"}, {"Everest", "Everest"},
                {"Makalu", "Makalu"}, {"ROCK", "ROCK"}, {"Mt. Whitney", "MtWhitney"}};
  if (name == nullptr) return nullptr;
  for (const auto &n : kNames)
    if (strcmp(name, n.reported) == 0) return n.canonical;
  return nullptr;
}

// ---- monitor mode ----

int initiate_monitormode(SerialBuf *handle, void *modem, void *dl, AltusComMode *mode,
                         const char *connect_listen_string, int *gotintomonitormode) {
  int got_local = 0;
  if (gotintomonitormode == nullptr) gotintomonitormode = &got_local;
  const char *cls = text_or_none(connect_listen_string);
  KeepRverbose keep(handle);
  AltusDatalogger *d = D(dl);

  ctrl_line(handle, "Altus CTRL: initiate monitormode...");
  if (mode != nullptr) under_status_lock([&] { *mode = ALTUS_COM_DISCONNECTED; });
  *gotintomonitormode = 0;

  int last = 0;
  for (int pass = 1; pass <= 2; pass++) {
    bool first_attempt_prompt = false;
    for (int attempt = 1; attempt <= 3; attempt++) {
      serialbuf_clear(handle);
      handle->rverbose = 4;
      for (int i = 0; i <= 4; i++) {
        myusleep(1.0);
        const unsigned char c = i < 4 ? '\\' : '\r';
        if (serialbuf_write(handle, &c, 1) != 1) {
          altuscom_log_complain(M(modem), d, 1, 0,
                                "initiate_monitormode: serialbuf_write() error.\n");
          return -1;
        }
      }
      handle->rverbose = 3;
      int rc;
      if (cls != nullptr) {
        ctrl_line(handle, std::string("Altus CTRL: Looking for recognition strings '* ' and '") +
                              cls + "'");
        rc = serialbuf_read_until2(handle, kPrompt, cls);
      } else {
        ctrl_line(handle, "Altus CTRL: Looking for recognition string '* '");
        rc = serialbuf_read_until(handle, kPrompt);
      }
      last = rc;
      if (rc == 0) {
        first_attempt_prompt = attempt == 1;
        break;
      }
      if (rc == SERIALBUF_SECOND) return CONSOLE_DIALIN;
      if (rc == SERIALBUF_NOCARRIER) {
        altuscom_log_complain(M(modem), d, 1, 0, "initiate_monitormode: input offhook.\n");
        return CONSOLE_NOTCONNECTED;
      }
      elog_clear_register(0);
    }
    if (first_attempt_prompt) {
      *gotintomonitormode = 1;
      ctrl_line(handle, "Altus CTRL: initiate monitormode successful");
      under_status_lock([&] {
        if (d != nullptr) {
          if (d->com_mode != ALTUS_COM_BLOCKMODE && d->lcom != ALTUS_COM_MONHANG)
            d->lcom = ALTUS_COM_MONITOR;
          d->com_mode = ALTUS_COM_MONITOR;
          d->open_time = std_now();
          d->last_monitormode_time = d->open_time;
          d->close_time = 0.0;
        }
        if (mode != nullptr) *mode = ALTUS_COM_MONITOR;
      });
      serialbuf_clear(handle);
      return 0;
    }
    if (pass == 1) {
      altuscom_log_complain(M(modem), d, 1, 0, "initiate_monitormode: Trying again...\n");
    } else {
      altuscom_log_complain(
          M(modem), d, 1, 0,
          "initiate_monitormode: Unable to read monitor mode recognition string.\n");
    }
  }
  return last;
}

// ---- block-mode entry ----

namespace {

// Writes a console command and waits for its answer (steps after the version report).
int command_and_wait(SerialBuf *buf, void *modem, void *dl, std::string_view cmd, const char *until,
                     double pause) {
  if (!write_text(buf, cmd)) {
    altuscom_log_complain(M(modem), D(dl), 1, 0, "initiate_blockmode: serialbuf_write() error.\n");
    return -1;
  }
  myusleep(pause);
  int rc = serialbuf_read_until(buf, until);
  if (rc != 0) {
    altuscom_log_complain(M(modem), D(dl), 1, 0,
                          "initiate_blockmode: serialbuf_read_until() error.\n");
  }
  return rc;
}

}  // namespace

int initiate_blockmode(SerialBuf *buf, VerParams *verparams, void *modem, void *dl, int acqoff,
                       int acqon, int reboot, const char *connect_listen_string,
                       int *gotintomonitormode) {
  KeepRverbose keep(buf);
  AltusDatalogger *d = D(dl);
  int rc = initiate_monitormode(buf, modem, dl, nullptr, connect_listen_string, gotintomonitormode);
  myusleep(1.0);
  if (rc == CONSOLE_DIALIN) {
    altuscom_log_complain(
        M(modem), d, 1, 0,
        "initiate_blockmode: initiate_monitormode() interrupted by attempt to dialin.\n");
    return CONSOLE_DIALIN;
  }
  if (rc != 0) {
    altuscom_log_complain(M(modem), d, 1, 0, "initiate_blockmode: initiate_monitormode() error.\n");
    return -1;
  }
  buf->rverbose = 3;

  if (reboot && d != nullptr) {
    if (!write_text(buf, "sys res\r")) {
      altuscom_log_complain(M(modem), d, 1, 0, "initiate_blockmode: serialbuf_write() error.\n");
      return -1;
    }
    under_status_lock([&] { d->lcom = ALTUS_COM_REBOOTING; });
    {
      KeepTimeout keep_timeout(buf);
      buf->timeout = 30000;
      serialbuf_read_until(buf, "\r\nEntering ");
    }
    elog_clear_register(0);
    myusleep(10.0);
    return CONSOLE_NOTCONNECTED;
  }

  if (!write_text(buf, "ver\r")) {
    altuscom_log_complain(M(modem), d, 1, 0, "initiate_blockmode: serialbuf_write() error.\n");
    return -1;
  }
  char text[512];
  rc = serialbuf_read_until_parse(buf, kPrompt, text, (int)sizeof text);
  if (rc == SERIALBUF_NOCARRIER) {
    altuscom_log_complain(M(modem), d, 1, 0, "initiate_blockmode: input offhook.\n");
    return CONSOLE_NOTCONNECTED;
  }
  if (rc != 0) {
    altuscom_log_complain(M(modem), d, 1, 0,
                          "initiate_blockmode: serialbuf_read_until_parse() error.\n");
    return rc;
  }
  VerParams parsed;
  verparams_parse(text, &parsed);
  if (verparams != nullptr) {
    const char *model = verparams_model(parsed.model);
    if (model == nullptr) {
      altuscom_log_complain(M(modem), d, 1, 0,
                            "initiate_blockmode: Unable to determine model %s.\n", parsed.model);
      return -1;
    }
    *verparams = parsed;
    kessaro_copytext(verparams->model, model);
  }

  if (acqoff && d != nullptr) {
    rc = command_and_wait(buf, modem, dl, "aq off\r", kPrompt, 2.0);
    if (rc != 0) return rc;
  }
  if (acqon && d != nullptr) {
    rc = command_and_wait(buf, modem, dl, "aq on\r", kPrompt, 20.0);
    if (rc != 0) return rc;
  }
  rc = command_and_wait(buf, modem, dl, "cd A:\\\r", kPrompt, 0.0);
  if (rc != 0) return rc;
  rc = command_and_wait(buf, modem, dl, "blockmode\r", kBlockLine, 0.0);
  if (rc != 0) return rc;
  myusleep(1.0);
  return 0;
}

// ---- opening block mode ----

namespace {

// One block-mode check transaction; the decoded reply is dropped.
int check_transaction(SerialBuf *buf, int command, const char *cmdname, const char *arg,
                      unsigned char *seq, const char *path, void *vmodem, void *vdl) {
  void *out = nullptr;
  int outsize = 0;
  ++*seq;
  int r = get_block(buf, command, const_cast<char *>(arg), seq, &out, &outsize, 0, vmodem, vdl);
  free(out);
  const char *p = path ? path : "";
  if (r < 0) {
    altuscom_log_complain(M(vmodem), D(vdl), 1, 0, "open_block: get_block(%s,%s) error.\n", cmdname,
                          p);
  } else if (r == BLOCK_EOF) {
    altuscom_log_complain(M(vmodem), D(vdl), 1, 0, "open_block: get_block(%s,%s) EOF on input.\n",
                          cmdname, p);
  } else if (r == BLOCK_OFFHOOK) {
    altuscom_log_complain(M(vmodem), D(vdl), 1, 0, "open_block: get_block(%s,%s) input offhook.\n",
                          cmdname, p);
  } else if (r == BLOCK_TIMEOUT) {
    altuscom_log_complain(M(vmodem), D(vdl), 1, 0,
                          "open_block: get_block(%s,%s) timeout on input.\n", cmdname, p);
  }
  return r;
}

}  // namespace

int open_block(SerialBuf *buf, const char *path, VerParams *verparams, void *vmodem, void *vdl,
               const char *connect_listen_string, int *gotintomonitormode, int reboot, int acqoff,
               int acqon) {
  KeepTimeout keep(buf);
  Modem *m = M(vmodem);
  AltusDatalogger *d = D(vdl);
  int got_local = 0;
  if (gotintomonitormode == nullptr) gotintomonitormode = &got_local;
  VerParams vp_local;
  if (verparams == nullptr) verparams = &vp_local;

  ctrl_line(buf, "Altus CTRL: Setting to blockmode...");
  int recycle = 0;
  unsigned char seq = 0;
  for (;;) {
    int rc = initiate_blockmode(buf, verparams, vmodem, vdl, acqoff, acqon, reboot,
                                connect_listen_string, gotintomonitormode);
    if (rc == CONSOLE_DIALIN) {
      altuscom_log_complain(m, d, 1, 0,
                            "open_block: initiate_blockmode() interrupted by attempt to dialin.\n");
      return CONSOLE_DIALIN;
    }
    if (rc == CONSOLE_NOTCONNECTED) {
      *gotintomonitormode = 0;
      altuscom_log_complain(m, d, 1, 0, "open_block: initiate_blockmode(NOTCONNECTED) error.\n");
      return CONSOLE_NOTCONNECTED;
    }
    if (rc != 0) {
      altuscom_log_complain(m, d, 1, 0, "open_block: initiate_blockmode() error.\n");
      altuscom_log_complain(m, d, 1, 0, "open_block: Cannot get into block mode.\n");
      return -1;
    }
    if (kessaro_halt) break;
    altuscom_log_message(
        vmodem, vdl, 0,
        "VERSION: model=%s fwver=%s fwdate=%s isbeta=%d sysver=%s bootver=%s isrock=%d",
        verparams->model, verparams->codever, verparams->codedate, verparams->isbeta,
        verparams->sysblockver, verparams->bootblockver, verparams->isrock);

    buf->timeout = 5000;
    serialbuf_clear(buf);
    bool halted = false;
    for (int pass = 0; pass < 3; pass++) {
      if (kessaro_halt) {
        halted = true;
        break;
      }
      buf->tries = 3;
      int r =
          check_transaction(buf, PKC_GETSTATUS, "PKC_GETSTATUS", nullptr, &seq, path, vmodem, vdl);
      if (r < 0) return -1;
      if (r == BLOCK_EOF || r == BLOCK_OFFHOOK) return r;
      if (r != BLOCK_TIMEOUT) return CONSOLE_OK;
      if (kessaro_halt) {
        halted = true;
        break;
      }
      buf->tries = 1;
      r = check_transaction(buf, PKC_CHDIR, "PKC_CHDIR", "A:", &seq, path, vmodem, vdl);
      if (r < 0) return -1;
      if (r == BLOCK_EOF || r == BLOCK_OFFHOOK) return r;
      if (r != BLOCK_TIMEOUT) return CONSOLE_OK;
    }
    keep.restore();
    if (halted) break;

    recycle++;
    if (altuscom_isrock(vmodem, vdl)) {
      if (recycle > 1) break;
      altuscom_log_complain(m, d, 1, 0, "open_block: Recycling to monitormode-blockmode\n");
      acqoff = 0;
      continue;
    }
    if (recycle <= 2) {
      altuscom_log_complain(m, d, 1, 0, "open_block: Recycling to monitormode-blockmode\n");
      continue;
    }
    if (recycle > 3 || d == nullptr) break;
    under_status_lock([&] { d->lcom = ALTUS_COM_MONHANG; });
    if (d->blockmode_unhang == 1) {
      altuscom_log_complain(m, d, 1, 0, "open_block: Restart datalogger...\n");
      reboot = 1;
    } else if (d->blockmode_unhang == 2) {
      altuscom_log_complain(m, d, 1, 0, "open_block: Recycling acquisition...\n");
      acqoff = 1;
      acqon = 1;
    } else {
      break;
    }
  }
  altuscom_log_complain(m, d, 1, 0, "open_block: Cannot get into block mode.\n");
  return -1;
}

// ---- call mode ----

int initiate_callmode(SerialBuf *buf, void *modem, void *dl, const char *connect_listen_string) {
  KeepRverbose keep(buf);
  Modem *m = M(modem);
  AltusDatalogger *d = D(dl);
  const char *cls = text_or_none(connect_listen_string);
  ctrl_line(buf, "Altus CTRL: Setting to callmode...");
  buf->rverbose = 3;
  int rc = 0;
  for (int attempt = 1; attempt <= 3; attempt++) {
    int got = 0;
    rc = initiate_monitormode(buf, modem, dl, nullptr, connect_listen_string, &got);
    if (rc == CONSOLE_DIALIN) {
      altuscom_log_complain(
          m, d, 1, 0,
          "initiate_callmode: initiate_monitormode() interrupted by attempt to dialin.\n");
      return CONSOLE_DIALIN;
    }
    if (rc != 0) {
      altuscom_log_complain(m, d, 1, 0, "initiate_callmode: initiate_monitormode() error.\n");
      return -1;
    }
    myusleep(1.0);
    if (!got) {
      if (attempt < 3) {
        altuscom_log_complain(m, d, 1, 0,
                              "initiate_callmode: Unable to get into monitor mode...retrying.\n");
        continue;
      }
      altuscom_log_complain(m, d, 1, 0, "initiate_callmode: Unable to get into monitor mode.\n");
      return rc;
    }
    if (!write_text(buf, "callmode\r")) {
      altuscom_log_complain(m, d, 1, 0, "initiate_callmode: serialbuf_write() error.\n");
      return -1;
    }
    myusleep(1.0);
    rc = cls != nullptr ? serialbuf_read_until2(buf, "\r\nEntering auto-", cls)
                        : serialbuf_read_until(buf, "\r\nEntering auto-");
    if (rc == 0) {
      myusleep(1.0);
      serialbuf_read_until(buf, buf->offhook_rec_string);
      elog_clear_register(0);
      ctrl_line(buf, "MODEM RSP: Telephone offhook...");
      return 0;
    }
    if (rc == SERIALBUF_SECOND) {
      altuscom_log_complain(
          m, d, 1, 0,
          "initiate_callmode: serialbuf_read_until() interrupted by attempt to dialin.\n");
      return CONSOLE_DIALIN;
    }
    if (rc == SERIALBUF_NOCARRIER) {
      altuscom_log_complain(m, d, 1, 0, "initiate_callmode: input offhook.\n");
      return CONSOLE_NOTCONNECTED;
    }
    if (attempt < 3) {
      altuscom_log_complain(m, d, 1, 0,
                            "initiate_callmode: serialbuf_read_until() error ... trying again.\n");
    } else {
      altuscom_log_complain(m, d, 1, 0, "initiate_callmode: serialbuf_read_until() error.\n");
    }
  }
  return rc;
}

// ---- console exchanges of remote commands ----

namespace {

// What every exchange does first and undoes at its end.
struct Exchange {
  KeepRverbose keep_rverbose;
  KeepTimeout keep_timeout;
  explicit Exchange(SerialBuf *buf, bool raise_rverbose) : keep_rverbose(buf), keep_timeout(buf) {
    request_status_report();
    myusleep(1.0);
    if (raise_rverbose) buf->rverbose = 3;
    buf->timeout = 90000;
  }
};

// Holds the request in the link's cmd while it lives.
struct LinkCommand {
  Modem *m;
  LinkCommand(Modem *modem, Pf *request) : m(modem) {
    if (m) m->cmd = request;
  }
  ~LinkCommand() {
    if (m) m->cmd = nullptr;
  }
};

void progress_text(AltusConsoleProgress progress, void *user, const std::string &text) {
  if (progress != nullptr) progress(user, text.c_str());
}

// Logs `log` and answers `reply`; returns rc.
int fail(Modem *modem, AltusDatalogger *dl, std::string *answer, int rc, const char *log,
         const char *reply) {
  altuscom_log_complain(modem, dl, 1, 0, "%s", log);
  *answer = reply;
  return rc;
}

const char kWriteLog[] = "process_command: serialbuf_write() error.\n";
const char kWriteReply[] = "process_command: serialbuf_write() error\n";

}  // namespace

int altuscom_console_reboot(SerialBuf *buf, Modem *modem, AltusDatalogger *dl, Pf *request,
                            AltusConsoleProgress progress, void *user, std::string *answer) {
  Exchange ex(buf, true);
  altuscom_flush_stream_packet(modem, dl, 1, 1);
  LinkCommand cmd(modem, request);
  progress_text(progress, user, "system reset...\n");
  if (!write_text(buf, "sys res\r")) return fail(modem, dl, answer, -1, kWriteLog, kWriteReply);
  if (dl != nullptr) {
    int s = dl->stream_status;
    if (s == STRSTATUS_STARTING || s == STRSTATUS_RUNNING || s == STRSTATUS_STOPPING ||
        s == STRSTATUS_FLUSHED)
      dl->stream_status = STRSTATUS_PAUSING;
    under_status_lock([&] { dl->com_mode = dl->lcom = ALTUS_COM_REBOOTING; });
  }
  request_status_report();
  serialbuf_read_until(buf, "\r\nEntering ");
  request_status_report();
  elog_clear_register(0);
  *answer = "reboot successfully processed\n";
  return 0;
}

int altuscom_console_mcmd(SerialBuf *buf, Modem *modem, AltusDatalogger *dl, const char *string,
                          AltusConsoleProgress progress, void *user, std::string *answer) {
  Exchange ex(buf, true);
  std::string line = string ? string : "";
  progress_text(progress, user, "Processing command: " + line + "...");
  line += '\r';
  if (!write_text(buf, line)) return fail(modem, dl, answer, -1, kWriteLog, kWriteReply);
  char text[512];
  int rc = serialbuf_read_until_parse(buf, kPrompt, text, (int)sizeof text);
  if (rc == SERIALBUF_NOCARRIER) {
    return fail(modem, dl, answer, rc, "process_command: input offhook.\n",
                "process_command: input offhook.\n");
  }
  if (rc != 0) {
    return fail(modem, dl, answer, rc, "process_command: serialbuf_read_until_parse() error.\n",
                "process_command: serialbuf_read_until_parse() error.\n");
  }
  *answer = text;
  return 0;
}

int altuscom_console_erase(SerialBuf *buf, Modem *modem, AltusDatalogger *dl, Pf *request,
                           const char *drive, AltusConsoleProgress progress, void *user,
                           std::string *answer) {
  (void)progress;
  (void)user;
  static const char kWaitError[] = "process_command: serialbuf_read_until() error\n";
  Exchange ex(buf, false);
  std::string cmd = std::string("wipedisk ") + (drive ? drive : "") + "\r";
  if (!write_text(buf, cmd)) return fail(modem, dl, answer, -1, kWriteLog, kWriteReply);
  int rc = serialbuf_read_until(buf, kPrompt);
  if (rc != 0) return fail(modem, dl, answer, rc, kWaitError, kWaitError);
  buf->rverbose = 3;
  LinkCommand link_cmd(modem, request);
  static const struct {
    const char *until;
    const char *then_write;  // after a pause of 1 s; none: nothing
  } kSteps[] = {
      {":? ", "y"}, {"to exit: ", "destroy\r"}, {"destroy\r", nullptr}, {kPrompt, nullptr}};
  for (const auto &step : kSteps) {
    rc = serialbuf_read_until(buf, step.until);
    if (rc != 0) return fail(modem, dl, answer, rc, kWaitError, kWaitError);
    if (step.then_write != nullptr) {
      myusleep(1.0);
      if (!write_text(buf, step.then_write))
        return fail(modem, dl, answer, -1, kWriteLog, kWriteReply);
    }
  }
  answer->clear();
  return 0;
}
