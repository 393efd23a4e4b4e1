// The command queue and the dispatcher. See kessaro_cmdqueue.h.
#include "kessaro_cmdqueue.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_blockops.h"
#include "altuscomsubs_connect.h"
#include "altuscomsubs_console.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_getevents.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_stream.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro_cmdresp.h"
#include "support/stdtime.h"

// ---- the queue ----

namespace {

// A queued text as a tree, or none when it does not compile (the complaint is dropped).
Pf *compile_entry(const char *text) {
  Pf *pf = nullptr;
  if (text == nullptr || pfcompile(text, &pf) < 0) {
    pffree(pf);
    elog_clear_register(0);
    return nullptr;
  }
  return pf;
}

// The first entry that compiles, or none; with `remove` the entry is taken off. Entries
// in front of it that do not compile are dropped. Caller holds command_mutex.
Pf *first_entry(AltusDatalogger *dl, bool remove) {
  while (maxtbl(dl->commands) > 0) {
    char *text = static_cast<char *>(gettbl(dl->commands, 0));
    Pf *pf = compile_entry(text);
    if (pf == nullptr || remove) {
      shifttbl(dl->commands);
      free(text);
    }
    if (pf) return pf;
  }
  return nullptr;
}

}  // namespace

int post_command_queue(AltusDatalogger *dl, Pf *command, int internal) {
  if (internal) pfput_int(command, "internal_only", 1);
  char *text = pf2string(command);
  if (text == nullptr) {
    elog_complain(0, "post_command_queue: pf2string() error.\n");
    return -1;
  }
  std::lock_guard<KessaroMutex> g(dl->command_mutex);
  if (dl->commands == nullptr) dl->commands = newtbl(0);
  if (!internal && maxtbl(dl->commands) >= ALTUS_CMDQUEUE_MAX) {
    free(text);
    return -2;
  }
  if (!internal) dl->commands_refused = 0;
  pushtbl(dl->commands, text);
  clock_event_signal(&kessaro_wake);  // the scheduling threads look at the queue at once
  return 0;
}

int pop_command_queue(AltusDatalogger *dl, Pf **command) {
  std::lock_guard<KessaroMutex> g(dl->command_mutex);
  *command = first_entry(dl, true);
  return 0;
}

int peek_command_queue(AltusDatalogger *dl, Pf **command) {
  std::lock_guard<KessaroMutex> g(dl->command_mutex);
  *command = first_entry(dl, false);
  return 0;
}

int clear_command_queue(AltusDatalogger *dl, int external, int internal) {
  Kessaro *altus = static_cast<Kessaro *>(dl->userdata);
  std::lock_guard<KessaroMutex> g(dl->command_mutex);
  Tbl *kept = newtbl(maxtbl(dl->commands));
  for (long i = 0; i < maxtbl(dl->commands); i++) {
    char *text = static_cast<char *>(gettbl(dl->commands, i));
    Pf *pf = compile_entry(text);
    bool drop = pf == nullptr;
    if (pf) {
      int is_int = is_internal(pf);
      drop = (is_int && internal) || (!is_int && external);
      // A dropped external request gets no answer; its sequence must not stay waiting for
      // this datalogger.
      if (drop && !is_int && altus) pending_cmd_forget(altus, dl, pf);
      pffree(pf);
    }
    if (drop)
      free(text);
    else
      pushtbl(kept, text);
  }
  freetbl(dl->commands, nullptr);
  dl->commands = kept;
  return 0;
}

int number_command_queue(AltusDatalogger *dl, int try_) {
  if (try_) {
    if (!dl->command_mutex.try_lock()) return -1;
  } else {
    dl->command_mutex.lock();
  }
  int n = static_cast<int>(maxtbl(dl->commands));
  dl->command_mutex.unlock();
  return n;
}

// ---- posting and progress ----

void altus_post_command(Kessaro *altus, AltusDatalogger *dl, Pf *command) {
  struct Key {
    const char *key;
    const char *name;
  };
  static const Key keys[] = {
      {"command", "command"}, {"username", "tusername"}, {"hostname", "thostname"}};
  std::string values[3];
  for (int i = 0; i < 3; i++) {
    char *v = nullptr;
    if (parse_param(command, keys[i].key, P_STR, 1, &v) < 0 || v == nullptr) {
      free(v);
      elog_clear_register(0);
      elog_complain(0, "post_command: parse_param(%s) error.\n", keys[i].name);
      altus_cmd_error(altus, dl, command, 0, "post_command: parse_param(%s) error", keys[i].name);
      return;
    }
    values[i] = v;
    free(v);
  }
  // The queue is checked before the pending answer goes out, so that a refused request
  // gets no "Posting" line and a queued one is never served before its pending answer.
  // Remote requests are posted by the command service's one thread, so the room found
  // here is still there when the request is queued.
  long refused = 0;
  {
    std::lock_guard<KessaroMutex> g(dl->command_mutex);
    if (maxtbl(dl->commands) >= ALTUS_CMDQUEUE_MAX) refused = ++dl->commands_refused;
  }
  if (refused > 0) {
    if (refused == 1)
      altuscom_log_complain(dl->connected_modem, dl, 0, 0,
                            "post_command: command queue of %s full (%d requests) - refusing "
                            "requests until it has room.\n",
                            dl->target_name ? dl->target_name : "", ALTUS_CMDQUEUE_MAX);
    altus_cmd_error(altus, dl, command, 0,
                    "post_command: command queue of %s full (%d requests) - '%s' refused",
                    dl->target_name ? dl->target_name : "", ALTUS_CMDQUEUE_MAX, values[0].c_str());
    return;
  }
  char line[128];
  snprintf(line, sizeof line, "Posting command '%s' from %s at %s to %s", values[0].c_str(),
           values[1].c_str(), values[2].c_str(), dl->target_name ? dl->target_name : "");
  altuscom_log_message(dl->connected_modem, dl, 1, "%s", line);
  altus_cmd_pending(altus, dl, command, nullptr, "%s", line);
  if (post_command_queue(dl, command, 0) != 0)
    altus_cmd_error(altus, dl, command, 0, "post_command: post_command_queue() error");
}

void cmd_pending(AltusDatalogger *dl, Pf *cmd, const char *fmt, ...) {
  if (dl == nullptr || cmd == nullptr) return;
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  altus_cmd_pending(static_cast<Kessaro *>(dl->userdata), dl, cmd, nullptr, "%s", text);
}

// ---- the dispatcher ----

namespace {

bool halted() { return kessaro_halt.load() != 0; }

// One request being executed: the link, the block sequence number and the answers.
struct Job {
  Kessaro *altus;
  AltusDatalogger *dl;
  Modem *modem;
  Pf *cmd;
  unsigned char seqno = 0;

  SerialBuf *buf() const { return modem->buf_handle; }
  const char *dev() const { return modem->devname; }

  // Logs the text (forced) and answers it as the request's error.
  void fail(const std::string &text) {
    altuscom_log_complain(modem, dl, 1, 0, "%s", text.c_str());
    altus_cmd_error(altus, dl, cmd, 0, "%s", text.c_str());
  }
  // Answers an operation's failure: the not-connected answer for on-hook and end of
  // input, else the word's own text.
  void fail_op(int r, const std::string &own) {
    if (r == BLOCK_OFFHOOK || r == BLOCK_EOF)
      fail("process_command: datalogger not connected.\n");
    else
      fail(own);
  }
  std::string withdev(const char *fmt) {
    char text[512];
    snprintf(text, sizeof text, fmt, dev());
    return text;
  }
  void pending(const std::string &text) {
    altus_cmd_pending(altus, dl, cmd, nullptr, "%s", text.c_str());
  }
  void done() { altus_cmd_done(altus, dl, cmd, 0, nullptr, nullptr); }

  // One block transaction of this request; the sequence advances after it.
  int transact(int command, void **out, int *outsize) {
    *out = nullptr;
    *outsize = 0;
    int r = get_block(buf(), command, nullptr, &seqno, out, outsize, 0, modem, dl);
    seqno++;
    return r;
  }

  // GETSTATUS into *status. 0, or the failure (not answered).
  int getstatus(AltusBlockStatus *status) {
    void *out = nullptr;
    int outsize = 0;
    int r = transact(PKC_GETSTATUS, &out, &outsize);
    if (r == 0 && (out == nullptr || outsize != static_cast<int>(sizeof(AltusBlockStatus)))) r = -1;
    if (r == 0) memcpy(status, out, sizeof *status);
    free(out);
    return r;
  }

  void store_status(const AltusBlockStatus &status, double now) {
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    dl->status = status;
    dl->status_time = now;
  }
  void store_params(const AltusBlockParams &params, double now) {
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    dl->last_params = params;
    dl->last_params_time = now;
  }

  // GETPARAMS into *params. 0, or the failure (not answered).
  int getparams(AltusBlockParams *params) {
    AltusBlockParams *p = nullptr;
    int r = block_getparams(buf(), &seqno, &p, modem, dl);
    if (r == 0 && p == nullptr) r = -1;
    if (r == 0) *params = *p;
    free(p);
    return r;
  }

  void answer_params(const AltusBlockParams &params, int extended, bool to_stdout) {
    char *text = params2pf(dl, &params, extended);
    if (text == nullptr) {
      fail("process_command: params2pf() error.\n");
      return;
    }
    if (to_stdout) {
      printf("%s\n", text);
      fflush(stdout);
    }
    altus_cmd_done_response_pfstring(altus, dl, cmd, 0, "%s", text);
    free(text);
  }

  void word_status();
  void word_acq(bool start);
  void word_getparams();
  void word_lstatus();
  void word_setparams(const std::vector<std::string> &words);
  void word_stream_change(AltusStreamState target);
  void word_console(const std::string &word, const std::vector<std::string> &words);
  int word_ft();
  void word_getevents();
  void word_ftgetevents();
  void dispatch(const std::vector<std::string> &words);
  void word_ping();
};

void Job::word_status() {
  AltusBlockStatus st{};
  int r = getstatus(&st);
  if (r != 0) {
    fail_op(r, withdev("process_command: process_command(ALTUS_PKC_STATUS,%s) error.\n"));
    return;
  }
  altuscom_set_dlclock(dl, &st);
  std::string text;
  auto line = [&](const char *fmt, auto... args) {
    char l[512];
    snprintf(l, sizeof l, fmt, args...);
    altuscom_log_message(modem, dl, 0, "%s", l);
    text += l;
  };
  auto owned = [](char *t) {
    std::string s = t ? t : "";
    free(t);
    return s;
  };
  std::string t;
  line("%s", "Altus status:\n");
  t = owned(altustime2str(static_cast<int>(st.systemTime)));
  line("     systemTime: %d - %s\n", static_cast<int>(st.systemTime), t.c_str());
  line("   serialNumber: %d\n", st.serialNumber);
  line("         events: %d\n", st.events);
  line("recordingErrors: %d\n", st.recordingErrors);
  t = owned(altustriggerstatus2str(st.triggerStatus));
  line("  triggerStatus: 0x%4.4X - %s\n", st.triggerStatus, t.c_str());
  t = owned(altusbatterystatus2str(st.batteryStatus));
  line("  batteryStatus: 0x%2.2X   - %s\n", st.batteryStatus, t.c_str());
  t = owned(altushardwarestatus2str(st.hardwareStatus));
  line(" hardwareStatus: 0x%2.2X   - %s\n", st.hardwareStatus, t.c_str());
  t = owned(altusdrivestatus2str(st.driveStatus[0]));
  line(" driveStatus[0]: 0x%4.4X - %s\n", st.driveStatus[0], t.c_str());
  t = owned(altusdrivestatus2str(st.driveStatus[1]));
  line(" driveStatus[1]: 0x%4.4X - %s\n", st.driveStatus[1], t.c_str());
  std::string stn(st.stnID, strnlen(st.stnID, sizeof st.stnID));
  line("          stnID: %s\n", stn.c_str());
  t = owned(altusclocksource2str(st.clockSource));
  line("    clockSource: %d - %s\n", st.clockSource, t.c_str());
  store_status(st, clock_now());
  altus->status_report_now = 1;
  altus_cmd_done_response_string(altus, dl, cmd, 0, "%s", text.c_str());
}

void Job::word_acq(bool start) {
  int r;
  if (start) {
    r = block_acqstart(buf(), &seqno, modem, dl);
    if (r != 0) {
      fail_op(r, "process_command: block_acqstart() error\n");
      return;
    }
  } else {
    int s = dl->stream_status;
    if (s == STRSTATUS_STARTING || s == STRSTATUS_RUNNING || s == STRSTATUS_STOPPING ||
        s == STRSTATUS_FLUSHED)
      dl->stream_status = STRSTATUS_DISABLING;
    r = block_acqstop(buf(), &seqno, modem, dl);
    if (r != 0) {
      fail_op(r, "process_command: block_acqstop() error\n");
      return;
    }
  }
  AltusBlockStatus st{};
  r = getstatus(&st);
  if (r != 0) {
    // Every failure of this read gets the status text, the on-hook codes included.
    fail(withdev("process_command: process_command(ALTUS_PKC_STATUS,%s) error.\n"));
    return;
  }
  altuscom_set_dlclock(dl, &st);
  store_status(st, clock_now());
  altus->status_report_now = 1;
  done();
}

void Job::word_getparams() {
  AltusBlockParams params{};
  int r = getparams(&params);
  if (r != 0) {
    fail_op(r, withdev("process_command: process_command(ALTUS_PKC_GETPARAMS,%s) error.\n"));
    return;
  }
  store_params(params, clock_now());
  altus->status_report_now = 1;
  answer_params(params, 0, true);
}

void Job::word_lstatus() {
  AltusBlockParams params{};
  int r = getparams(&params);
  if (r != 0) {
    fail_op(r, withdev("process_command: process_command(ALTUS_PKC_GETPARAMS,%s) error.\n"));
    return;
  }
  AltusBlockStatus st{};
  r = getstatus(&st);
  if (r != 0) {
    fail_op(r, withdev("process_command: process_command(ALTUS_PKC_STATUS,%s) error.\n"));
    return;
  }
  altuscom_set_dlclock(dl, &st);
  double now = clock_now();
  store_params(params, now);
  store_status(st, now);
  altus->status_report_now = 1;
  answer_params(params, 1, false);
}

void Job::word_setparams(const std::vector<std::string> &words) {
  const std::string key = words.size() > 1 ? words[1] : std::string();
  const char *word = words[0].c_str();
  char text[512];
  for (int attempt = 1;; attempt++) {
    Pf *given = nullptr;
    if (key.empty() || parse_param(cmd, key.c_str(), P_ARR, 1, &given) < 0 || given == nullptr) {
      pffree(given);
      elog_clear_register(0);
      snprintf(text, sizeof text, "process_command: parse_param(%s) error for command '%s'.\n",
               key.c_str(), word);
      fail(text);
      return;
    }
    char *given_text = pf2string(given);
    pffree(given);
    std::string wrapped = std::string("params &Arr{\n") + (given_text ? given_text : "") + "}\n";
    free(given_text);
    Pf *params = nullptr;
    if (pfcompile(wrapped.c_str(), &params) < 0 || params == nullptr) {
      pffree(params);
      elog_clear_register(0);
      snprintf(text, sizeof text, "process_command: pfcompile(%s) error for command '%s'.\n",
               key.c_str(), word);
      fail(text);
      return;
    }
    char reason[ALTUS_PARSEPARAMS_ERROR_SIZE] = "";
    int r = block_setparams(buf(), nullptr, params, &seqno, modem, dl, reason);
    pffree(params);
    if (r == ALTUS_SETPARAMS_BADPARAMS) {
      altuscom_log_complain(modem, dl, 1, 0,
                            "process_command: process_command(ALTUS_PKC_SETPARAMS,%s) BADPARAMS "
                            "error.\n",
                            dev());
      altuscom_log_complain(modem, dl, 1, 0, "process_command: %s\n", reason);
      altus_cmd_error(altus, dl, cmd, 0,
                      "process_command: process_command(ALTUS_PKC_SETPARAMS,%s) BADPARAMS "
                      "error.\nprocess_command: %s\n",
                      dev(), reason);
      return;
    }
    if (r != 0) {
      fail_op(r, withdev("process_command: process_command(ALTUS_PKC_SETPARAMS,%s) error.\n"));
      return;
    }
    AltusBlockParams back{};
    r = getparams(&back);
    if (r == BLOCK_OFFHOOK || r == BLOCK_EOF) {
      fail_op(r, "");
      return;
    }
    if (r != 0) {
      if (attempt < 3) {
        std::string retry =
            withdev("process_command: process_command(ALTUS_PKC_GETPARAMS,%s) error...retrying\n");
        altuscom_log_message(modem, dl, 1, "%s", retry.c_str());
        pending(retry);
        continue;
      }
      fail(withdev("process_command: process_command(ALTUS_PKC_GETPARAMS,%s) error.\n"));
      return;
    }
    store_params(back, clock_now());
    altus->status_report_now = 1;
    answer_params(back, 0, false);
    return;
  }
}

void Job::word_stream_change(AltusStreamState target) {
  dl->auto_stream = 0;
  int s = dl->stream_status;
  switch (s) {
    case STRSTATUS_STARTING:
    case STRSTATUS_RUNNING:
    case STRSTATUS_STOPPING:
    case STRSTATUS_FLUSHED:
      dl->stream_status = target;
      done();
      break;
    case STRSTATUS_PAUSING:
    case STRSTATUS_DISABLING:
      // Already on its way there: done, so the request's pending entry ends.
      done();
      break;
    default:
      altus_cmd_error(altus, dl, cmd, 0, "process_command: streaming not running\n");
      break;
  }
  altus->status_report_now = 1;
}

void console_progress(void *user, const char *text) {
  Job *job = static_cast<Job *>(user);
  job->pending(text);
}

void Job::word_console(const std::string &word, const std::vector<std::string> &words) {
  std::string mstring;
  if (word == "mcmd") {
    char *s = nullptr;
    if (parse_param(cmd, "string", P_STR, 1, &s) < 0 || s == nullptr) {
      free(s);
      elog_clear_register(0);
      char text[512];
      snprintf(text, sizeof text, "process_command: parse_param(mcmd) error for command '%s'.\n",
               word.c_str());
      fail(text);
      return;
    }
    mstring.assign(s, strnlen(s, 8191));
    free(s);
  }
  pending("initiate monitormode...\n");
  int got = 0;
  int r = initiate_monitormode(buf(), modem, dl, &dl->com_mode, nullptr, &got);
  dl->gotintomonitormode = got;
  if (r == 0 && !got) r = -1;
  if (r != 0) {
    fail_op(r, "process_command: initiate_monitormode() error\n");
    return;
  }
  altus->status_report_now = 1;
  myusleep(1.0);
  std::string answer;
  if (word == "reboot") {
    altuscom_console_reboot(buf(), modem, dl, cmd, console_progress, this, &answer);
    altus_cmd_done_response_string(altus, dl, cmd, 0, "%s", answer.c_str());
  } else if (word == "mcmd") {
    r = altuscom_console_mcmd(buf(), modem, dl, mstring.c_str(), console_progress, this, &answer);
    if (r == 0)
      altus_cmd_done_response_string(altus, dl, cmd, 0, "%s", answer.c_str());
    else
      altus_cmd_error(altus, dl, cmd, 0, "%s", answer.c_str());
  } else {
    const char *drive = words.size() > 1 ? words[1].c_str() : "";
    r = altuscom_console_erase(buf(), modem, dl, cmd, drive, console_progress, this, &answer);
    if (r == 0)
      done();
    else
      altus_cmd_error(altus, dl, cmd, 0, "%s", answer.c_str());
  }
}

// The FT transaction. 0 done, 1 failed (answered), 2 halted after it (no answer).
int Job::word_ft() {
  void *out = nullptr;
  int outsize = 0;
  int r = transact(PKC_FT, &out, &outsize);
  free(out);
  if (r != 0) {
    fail_op(r, withdev("process_command: process_command(ALTUS_PKC_FT,%s) error.\n"));
    return 1;
  }
  return halted() ? 2 : 0;
}

void Job::word_getevents() {
  int r = getevents(modem, modem->mode, cmd);
  if (r == GETEVENTS_HALTING) {
    altus_cmd_error(altus, dl, cmd, 0, "process_command: kessaro halting");
    return;
  }
  if (r == GETEVENTS_ALREADY) {
    pending("process_command: getevents already running");
    r = 0;
  }
  if (r != 0) {
    altuscom_log_complain(modem, dl, 1, 0, "process_command: getevents() error.\n");
    altus_cmd_error(altus, dl, cmd, 0, "process_command: getevents() error.");
    return;
  }
  done();
}

void Job::word_ping() {
  char *s = nullptr;
  if (parse_param(cmd, "string", P_STR, 1, &s) < 0 || s == nullptr) {
    free(s);
    elog_clear_register(0);
    fail("process_command: parse_param(ping) error for command 'ping'.\n");
    return;
  }
  char *resp = nullptr;
  int nbytes = 0, bufsize = 0;
  int r = block_ping(buf(), s, &seqno, &resp, &nbytes, &bufsize, modem, dl);
  free(s);
  if (r != 0) {
    free(resp);
    fail_op(r, withdev("process_command: process_command(ALTUS_PKC_PING,%s) error.\n"));
    return;
  }
  std::string echo = resp ? std::string(resp, strnlen(resp, static_cast<size_t>(nbytes))) : "";
  free(resp);
  altus_cmd_done_response_string(altus, dl, cmd, 0, "%s", echo.c_str());
}

// "ftgetevents": a functional test, 20 s of listening, then an event download.
void Job::word_ftgetevents() {
  if (word_ft() != 0) return;
  pending("ft successfully processed");
  double start = clock_now();
  while (!halted() && clock_now() - start <= 20.0) {
    void *out = nullptr;
    int outsize = 0;
    transact(255, &out, &outsize);
    free(out);
    elog_clear_register(0);
  }
  word_getevents();
}

// Runs the request's command word (answered, whatever the outcome).
void Job::dispatch(const std::vector<std::string> &words) {
  const std::string &word = words[0];
  if (word == "ft") {
    if (word_ft() == 0) done();
  } else if (word == "ftgetevents") {
    word_ftgetevents();
  } else if (word == "getevents") {
    word_getevents();
  } else if (word == "ping") {
    word_ping();
  } else if (word == "reboot" || word == "mcmd" || word == "erase") {
    word_console(word, words);
  } else if (word == "acqstart") {
    word_acq(true);
  } else if (word == "acqstop") {
    word_acq(false);
  } else if (word == "strstart" || word == "strauto") {
    if (word == "strauto") {
      if (dl->stream_status == STRSTATUS_IDLE) dl->stream_status = STRSTATUS_POSTED;
      dl->auto_stream = 1;
    }
    getstream0(modem, cmd);
  } else if (word == "strpause") {
    word_stream_change(STRSTATUS_PAUSING);
  } else if (word == "strdisable") {
    word_stream_change(STRSTATUS_DISABLING);
  } else if (word == "status" || word == "getstatus") {
    word_status();
  } else if (word == "getparams" || word == "getconfig") {
    word_getparams();
  } else if (word == "lstatus") {
    word_lstatus();
  } else if (word == "setparams") {
    word_setparams(words);
  } else if (word == "delfile" || word == "deltree" || word == "dir" || word == "dirtree" ||
             word == "evtinfotree") {
    altus_file_command(altus, dl, modem, cmd, words, &seqno);
  } else {
    char text[512];
    snprintf(text, sizeof text, "process_command: Unrecognized command '%s'.\n", word.c_str());
    fail(text);
  }
}

// The request's command text split into words; false (logged and answered) when it has
// none or cannot be split.
bool command_words(Kessaro *altus, AltusDatalogger *dl, Pf *cmd, std::vector<std::string> *words) {
  char *command = nullptr;
  if (parse_param(cmd, "command", P_STR, 1, &command) < 0 || command == nullptr) {
    free(command);
    elog_clear_register(0);
    altuscom_log_complain(nullptr, dl, 1, 0, "process_command: parse_param(command) error.\n");
    altus_cmd_error(altus, dl, cmd, 0, "process_command: parse_param(command) error");
    return false;
  }
  int argc = 0;
  char **argv = nullptr;
  if (splitlist(command, &argc, &argv) < 0 || argc < 1) {
    if (argv) freeargs(argc, argv);
    elog_clear_register(0);
    altuscom_log_complain(nullptr, dl, 1, 0, "process_command: splitlist(%s) error.\n", command);
    altus_cmd_error(altus, dl, cmd, 0, "process_command: splitlist(%s) error.\n", command);
    free(command);
    return false;
  }
  words->assign(argv, argv + argc);
  freeargs(argc, argv);
  free(command);
  return true;
}

}  // namespace

void process_command(Kessaro *altus, AltusDatalogger *dl, Pf *cmd) {
  std::vector<std::string> words;
  if (!command_words(altus, dl, cmd, &words)) return;
  const std::string &word = words[0];
  Modem *modem = dl->connected_modem;
  if (modem == nullptr) {
    altuscom_log_complain(nullptr, dl, 1, 0,
                          "process_command: Datalogger disconnected for command command %s\n",
                          word.c_str());
    altus_cmd_error(altus, dl, cmd, 0,
                    "process_command: Datalogger disconnected for command command %s",
                    word.c_str());
    return;
  }
  Job job{altus, dl, modem, cmd};
  altuscom_log_message(modem, dl, 0, "Processing command: %s", word.c_str());
  job.pending("waiting in command queue...");
  job.dispatch(words);
}

int process_commands(Kessaro *altus, AltusDatalogger *dl) {
  if (dl == nullptr) return 0;
  int n = 0;
  while (!halted()) {
    Pf *cmd = nullptr;
    pop_command_queue(dl, &cmd);
    if (cmd == nullptr) break;
    if (dl->connected_modem)
      altus_cmd_pending(altus, dl, cmd, nullptr, "datalogger %s connected to %s", dl->target_name,
                        dl->connected_modem->name);
    else
      altus_cmd_pending(altus, dl, cmd, nullptr, "datalogger %s not currently connected",
                        dl->target_name);
    process_command(altus, dl, cmd);
    // Command packets carry the delay as "%.2f" seconds, so it is read as a number.
    double delay = 0;
    if (parse_param(cmd, "delayhangup", P_DBL, 0, &delay) < 0) {
      elog_clear_register(0);
      altuscom_log_complain(dl->connected_modem, dl, 1, 0,
                            "process_commands: parse_param(delayhangup) error.\n");
      delay = 0;
    }
    pffree(cmd);
    if (delay > 0) {
      // Keep the link for the delay, but serve a new request at once.
      double start = clock_now();
      while (!halted() && clock_now() - start < delay && number_command_queue(dl, 0) < 1)
        clock_sleep(1.0);
    }
    n++;
  }
  return n;
}
