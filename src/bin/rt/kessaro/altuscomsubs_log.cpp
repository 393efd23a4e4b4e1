// altuscomsubs_log.cpp - log lines, their prefixes, time texts and debug switches.

#include "altuscomsubs_log.h"

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscom_hooks.h"
#include "altuscomsubs_output.h"
#include "altusevtsubs.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/timetext.h"
#include "kessaro.h"
#include "support/stdtime.h"

int altuslog_stdout = 0;
int altuslog_stderr = 1;

namespace {

// Splits a time rounded to the millisecond.
void split_ms(double epoch, int *year, int *doy, int *hour, int *minute, int *second, int *msec) {
  double total_ms = std::floor(epoch * 1000.0 + 0.5);
  double whole = std::floor(total_ms / 1000.0);
  int ms = (int)(total_ms - whole * 1000.0);
  if (ms < 0) ms = 0;
  if (ms > 999) ms = 999;
  double sec = 0.0;
  e2h(whole, year, doy, hour, minute, &sec);
  *second = (int)(sec + 0.5);  // whole is integral; guard against representation noise
  *msec = ms;
}

char *dup_or_die(const std::string &s) {
  char *p = strdup(s.c_str());
  if (p == nullptr) {
    elog_die(1, "altuscomsubs_log: strdup() error.\n");
  }
  return p;
}

std::string vformat(const char *fmt, va_list ap) {
  char buf[ALTUSLOG_MSG_SIZE];
  vsnprintf(buf, sizeof buf, fmt, ap);
  return buf;
}

std::string prefix_of(Modem *modem, AltusDatalogger *dl) {
  char line[ALTUSLOG_LINE_SIZE];
  init_msg(modem, dl, line);
  return line;
}

void strip_crlf(std::string &s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
}

// One message, one line: trailing CR and LF go, and each line break inside the text (CR,
// LF or CR LF) becomes one blank, so no part of a message reaches a log without its prefix.
// Other control characters are escaped ("\x1b"), so no text can drive a terminal.
void one_line(std::string &s) {
  strip_crlf(s);
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] == '\r' || s[i] == '\n') {
      if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') i++;
      out += ' ';
    } else {
      out += s[i];
    }
  }
  s = elog_escape(out, true);
}

void cut_line(std::string &s) {
  if (s.size() > ALTUSLOG_LINE_SIZE - 1) s.resize(ALTUSLOG_LINE_SIZE - 1);
}

// "ddddddd hh:mm:ss.mmm" at the start of the text.
bool has_time_stamp(const char *s) {
  static const char pat[] = "DDDDDDD DD:DD:DD.DDD";
  for (size_t i = 0; i < sizeof pat - 1; i++) {
    char c = s[i];
    if (c == '\0') return false;
    if (pat[i] == 'D') {
      if (c < '0' || c > '9') return false;
    } else if (c != pat[i]) {
      return false;
    }
  }
  return true;
}

int push_line(int type, Modem *modem, AltusDatalogger *dl, const std::string &line) {
  // The pipeline copies a log line; the caller keeps its text.
  return altuscom_push_data(type, modem, dl, std_now(), nullptr,
                            reinterpret_cast<unsigned char *>(const_cast<char *>(line.c_str())),
                            (int)line.size() + 1);
}

// Set while the lines written on this thread are those of a debug switch the operator
// turned on (AltusDebugLines): they pass the flood gate.
thread_local bool t_debug_lines = false;
// Set while they are packet dumps the operator did not ask for (AltusDumpLines), and
// while a link is opened (AltusOpening).
thread_local bool t_dump_lines = false;
thread_local bool t_opening = false;

// Whom a line is about, as the flood gate counts it: the datalogger, else the link, else
// the program itself ("").
std::string line_source(Modem *modem, AltusDatalogger *dl) {
  if (dl != nullptr && dl->target_name != nullptr) return dl->target_name;
  if (modem != nullptr && modem->name != nullptr) return std::string("link ") + modem->name;
  return "";
}

// The flood gate of log lines, keyed by the source and the shape of the text after the
// time stamp: a kind of line is printed and sent at most a few times a minute, then once
// a minute with its count, and one source writes at most ALTUSLOG_SOURCE_LINES lines a
// minute, then one line a minute saying how many were held back. False when `line` is
// held back; the lines that are due are written first (printed as complaints when
// `complain`, sent when `push`).
bool line_passes(Modem *modem, AltusDatalogger *dl, const std::string &line, bool complain,
                 bool push) {
  if (t_debug_lines && !t_dump_lines) return true;
  static ElogFlood *lines =
      elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, ELOG_FLOOD_KEYS, ALTUSLOG_SOURCE_LINES);
  static ElogFlood *dumps =
      elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, ELOG_FLOOD_KEYS, ALTUSLOG_DUMP_LINES);
  ElogFlood *gate = t_dump_lines ? dumps : lines;
  const size_t stamp = 20;  // "yyyyddd hh:mm:ss.mmm"
  const char *key = line.c_str() + (has_time_stamp(line.c_str()) ? stamp : 0);
  std::vector<ElogFloodRepeat> due;
  bool pass =
      elog_flood_pass(gate, line_source(modem, dl).c_str(), key, clock_monotonic(), &due) == 1;
  for (const ElogFloodRepeat &r : due) {
    char *t = logtime(std_now(), 0);
    std::string repeat = std::string(t) + elog_flood_text(r);
    if (r.source_summary) {
      Kessaro *k = altuscom_program(nullptr);
      repeat = std::string(t) + ": " + (k && k->targetname ? k->targetname : "") + ": " +
               elog_flood_text(r);
    }
    free(t);
    elog_print_passed(complain || r.source_summary ? ELOG_COMPLAIN : ELOG_NOTIFY, repeat.c_str());
    if (push) push_line(ALTUSPKT_LOG, nullptr, nullptr, repeat);
  }
  return pass;
}

void log_message_pvt(int type, Modem *modem, AltusDatalogger *dl, int force, const char *fn,
                     const char *fmt, va_list ap) {
  std::string line = prefix_of(modem, dl) + " " + vformat(fmt, ap);
  one_line(line);
  cut_line(line);
  if (type == ALTUSPKT_LOG && !line_passes(modem, dl, line, false, true)) return;
  if (altuslog_stdout || force) {
    elog_print_passed(ELOG_NOTIFY, line.c_str());
    fflush(stdout);
  }
  if (push_line(type, modem, dl, line) < 0) {
    altuscom_log_complain_nopush(modem, dl, 1, 0, "%s: altuscom_push_data() error.\n", fn);
  }
}

void complain_pvt(Modem *modem, AltusDatalogger *dl, int force, int push, int sysflag,
                  const char *fmt, va_list ap) {
  int err = errno;
  std::string text = vformat(fmt, ap);
  Elog_msg *list = nullptr;
  int n = elog_query(2, 0, &list);
  for (int i = 0; i < n && list != nullptr; i++) {
    if (list[i].sys != nullptr && list[i].sys[0] != '\0') {
      altuscom_log_error(modem, dl, force, push, 1, list[i].sys);
    }
    if (list[i].msg != nullptr && list[i].msg[0] != '\0') {
      altuscom_log_error(modem, dl, force, push, 0, list[i].msg);
    }
  }
  for (int i = 0; i < n && list != nullptr; i++) elog_free_msg(&list[i]);
  free(list);
  if (sysflag && err != 0) {
    altuscom_log_error(modem, dl, force, push, 1, strerror(err));
  }
  altuscom_log_error(modem, dl, force, push, 0, text.c_str());
}

}  // namespace

AltusDebugLines::AltusDebugLines(bool on) : was(t_debug_lines) {
  if (on) t_debug_lines = true;
}

AltusDebugLines::~AltusDebugLines() { t_debug_lines = was; }

AltusDumpLines::AltusDumpLines(bool on) : was(t_dump_lines) {
  if (on) t_dump_lines = true;
}

AltusDumpLines::~AltusDumpLines() { t_dump_lines = was; }

AltusOpening::AltusOpening() : was(t_opening) { t_opening = true; }

AltusOpening::~AltusOpening() { t_opening = was; }

bool altuslog_opening(void) { return t_opening; }

int init_msg(Modem *modem, AltusDatalogger *dl, char *string) {
  char *t = logtime(std_now(), 0);
  Kessaro *k = altuscom_program(nullptr);
  std::string s = std::string(t) + ": " + (k && k->targetname ? k->targetname : "") + ":";
  free(t);
  if (modem != nullptr || dl != nullptr) {
    s += " ";
    if (modem != nullptr) s += modem->name ? modem->name : "";
    if (modem != nullptr && dl != nullptr) {
      if (modem->mode == MODEM_MODE_DIALIN) s += "<-";
      if (modem->mode == MODEM_MODE_DIALOUT) s += "->";
    }
    if (dl != nullptr) s += dl->target_name ? dl->target_name : "";
    s += ":";
  }
  cut_line(s);
  memcpy(string, s.c_str(), s.size() + 1);
  return 0;
}

int altuscom_log_message(void *modem, void *dl, int force, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_message_pvt(ALTUSPKT_LOG, static_cast<Modem *>(modem), static_cast<AltusDatalogger *>(dl),
                  force, "altuscom_log_message", fmt, ap);
  va_end(ap);
  return 0;
}

int altuscom_log_stop(Modem *modem, AltusDatalogger *dl, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  log_message_pvt(ALTUSPKT_STOP, modem, dl, 1, "altuscom_log_stop", fmt, ap);
  va_end(ap);
  return 0;
}

int altuscom_log_register_error(Modem *modem, AltusDatalogger *dl, int sysflag, const char *fmt,
                                ...) {
  int err = errno;
  va_list ap;
  va_start(ap, fmt);
  std::string text = vformat(fmt, ap);
  va_end(ap);
  std::string prefix = prefix_of(modem, dl);
  if (sysflag && err != 0) {
    std::string line = prefix + " SYSTEM ERROR: " + strerror(err);
    cut_line(line);
    elog_log(0, "%s", line.c_str());
  }
  std::string line = prefix + " ERROR: " + text;
  one_line(line);
  cut_line(line);
  elog_log(0, "%s", line.c_str());
  return 0;
}

int altuscom_log_complain(Modem *modem, AltusDatalogger *dl, int force, int sysflag,
                          const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  complain_pvt(modem, dl, force, 1, sysflag, fmt, ap);
  va_end(ap);
  return 0;
}

int altuscom_log_complain_nopush(Modem *modem, AltusDatalogger *dl, int force, int sysflag,
                                 const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  complain_pvt(modem, dl, force, 0, sysflag, fmt, ap);
  va_end(ap);
  return 0;
}

int altuscom_log_error(Modem *modem, AltusDatalogger *dl, int force, int push, int sysflag,
                       const char *msg) {
  if (msg == nullptr) msg = "";
  std::string line;
  if (has_time_stamp(msg)) {
    line = msg;
  } else {
    line = prefix_of(modem, dl) + (sysflag ? " SYSTEM ERROR: " : " ERROR: ") + msg;
  }
  one_line(line);
  cut_line(line);
  if (!line_passes(modem, dl, line, true, push != 0)) return 0;
  if (altuslog_stderr || force) {
    elog_print_passed(ELOG_COMPLAIN, line.c_str());
    fflush(stderr);
  }
  if (push && push_line(ALTUSPKT_LOG, modem, dl, line) < 0) {
    altuscom_log_complain_nopush(modem, dl, 1, 0,
                                 "altuscom_log_error: altuscom_push_data() error.\n");
  }
  return 0;
}

char *logtime(double epoch, int loseday) {
  int year, doy, hour, minute, second, msec;
  split_ms(epoch, &year, &doy, &hour, &minute, &second, &msec);
  char buf[64];
  if (loseday) {
    snprintf(buf, sizeof buf, "%2.2d:%2.2d:%2.2d.%3.3d", hour, minute, second, msec);
  } else {
    snprintf(buf, sizeof buf, "%7.7d %2.2d:%2.2d:%2.2d.%3.3d", year * 1000 + doy, hour, minute,
             second, msec);
  }
  return dup_or_die(buf);
}

char *logaltustime(const AltusBlockStrdata *blk, int loseday) {
  double t = 0.0;
  altustime2epoch((int)blk->time_altusepoch, &t);
  return logtime(t + blk->time_msec * 0.001, loseday);
}

char *eustrtime(double epoch) {
  int year, doy, hour, minute, second, msec, month = 0, mday = 0;
  split_ms(epoch, &year, &doy, &hour, &minute, &second, &msec);
  doy2mday(doy, year, &month, &mday);
  char buf[80];
  snprintf(buf, sizeof buf, "%4.4d-%2.2d-%2.2d (%3.3d) %2.2d:%2.2d:%2.2d.%3.3d", year, month, mday,
           doy, hour, minute, second, msec);
  return dup_or_die(buf);
}

namespace {

int expiring(AltusDatalogger *dl, KessaroFlag &level, KessaroShared &timeout, KessaroShared &start,
             const char *reset_msg) {
  int lv = level;
  if (lv > 0 && timeout > 0.0 && start != 0.0 && std_now() - start > timeout) {
    level = 0;
    altuscom_log_message(dl->connected_modem, dl, 0, "%s", reset_msg);
    return 0;
  }
  if (lv > 0 && start == 0.0) start = std_now();
  return std::abs(lv);
}

}  // namespace

int altuscom_data_verbose(AltusDatalogger *dl) {
  if (dl == nullptr) return 0;
  return expiring(dl, dl->debug_data, dl->debug_data_timeout, dl->debug_data_time_start,
                  "Resetting debug_data to 0 due to timeout.");
}

int altuscom_serial_verbose(AltusDatalogger *dl) {
  if (dl == nullptr) return 0;
  return expiring(dl, dl->debug_serial, dl->debug_serial_timeout, dl->debug_serial_time_start,
                  "Resetting debug_serial to 0 due to timeout.");
}

int altuscom_v_strseq_verbose(AltusDatalogger *dl) {
  if (dl == nullptr) return 0;
  return expiring(dl, dl->v_strseq, dl->v_strseq_timeout, dl->v_strseq_time_start,
                  "Resetting v_strseq to no due to timeout.");
}

int altuscom_log_data_errors(AltusDatalogger *dl) {
  return dl == nullptr ? 0 : dl->log_data_errors;
}
