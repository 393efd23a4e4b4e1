// altuscomsubs_log.h - the log lines of the Altus side, their prefixes and the
// self-expiring per-datalogger debug switches, with the time texts used in messages.
//
// Every line gets the prefix "<yyyyddd hh:mm:ss.mmm>: <program target>:" followed by the
// link and/or datalogger it concerns (link "<-" datalogger when the datalogger called in,
// "->" when the program dialled out). Lines go to the suite's logs and, through the output
// pipeline, into ring-buffer log packets.
//
// Log lines (not those of the shutdown) pass a flood gate, keyed by the datalogger (else
// the link, else the program) the line is about and the shape of its text, which decides
// for the complaint log and the ring alike (see base/elog.h); lines written under an
// AltusDebugLines guard pass it. Control characters are escaped and line breaks inside a
// message become blanks, so one message is one line.
//
// Locking: none of its own apart from the flood gate's. The functions keep no state apart from the
// two read-only program switches; the debug switches are read and reset without a lock (one link
// thread works on a datalogger at a time).
#pragma once

struct Modem;
struct AltusDatalogger;
struct AltusBlockStrdata;

enum {
  ALTUSLOG_MSG_SIZE = 1024,   // a formatted message is cut to this many bytes
  ALTUSLOG_LINE_SIZE = 1024,  // a whole line: at most 1023 characters and the terminator
  // Lines a minute per datalogger: its own lines, and the packet dumps (AltusDumpLines);
  // with the two summaries of each gate, at most 98 lines a minute of one datalogger.
  ALTUSLOG_SOURCE_LINES = 74,
  ALTUSLOG_DUMP_LINES = 20,
};

// Echo plain log lines to the notification log without being forced (0), and error
// lines to the complaint log (1).
extern int altuslog_stdout;
extern int altuslog_stderr;

// Writes the line prefix into `string`, which must hold ALTUSLOG_LINE_SIZE bytes (the
// prefix is cut to fit). 0.
int init_msg(Modem *modem, AltusDatalogger *dl, char *string);

int altuscom_log_message(void *modem, void *dl, int force, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
int altuscom_log_stop(Modem *modem, AltusDatalogger *dl, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
int altuscom_log_register_error(Modem *modem, AltusDatalogger *dl, int sysflag, const char *fmt,
                                ...) __attribute__((format(printf, 4, 5)));
int altuscom_log_complain(Modem *modem, AltusDatalogger *dl, int force, int sysflag,
                          const char *fmt, ...) __attribute__((format(printf, 5, 6)));
// As altuscom_log_complain, but nothing reaches the ring buffer (used where a push has
// just failed, so logging never recurses).
int altuscom_log_complain_nopush(Modem *modem, AltusDatalogger *dl, int force, int sysflag,
                                 const char *fmt, ...) __attribute__((format(printf, 5, 6)));
// Writes one error line. A text that already begins with the time stamp of init_msg
// (seven digits, a blank, hh:mm:ss.mmm) is taken as prefixed and used unchanged.
int altuscom_log_error(Modem *modem, AltusDatalogger *dl, int force, int push, int sysflag,
                       const char *msg);

// Time texts, newly allocated (the caller frees them). The time is rounded to the
// millisecond before it is split, so 59.9996 s reads as 00.000 of the next minute.
// logtime: "yyyyddd hh:mm:ss.mmm" (only "hh:mm:ss.mmm" with loseday set).
char *logtime(double epoch, int loseday);
// logtime of a stream packet's time.
char *logaltustime(const AltusBlockStrdata *blk, int loseday);
// "yyyy-mm-dd (ddd) hh:mm:ss.mmm".
char *eustrtime(double epoch);

// While it lives, the log lines this thread writes are those of a debug switch the
// operator turned on (when `on`): the flood gate lets them all through.
struct AltusDebugLines {
  explicit AltusDebugLines(bool on);
  ~AltusDebugLines();
  AltusDebugLines(const AltusDebugLines &) = delete;
  AltusDebugLines &operator=(const AltusDebugLines &) = delete;
  bool was;  // the thread's mark before, restored at the end
};

// While it lives (when `on`), the log lines this thread writes are packet dumps that the
// operator did not ask for (of bad data, or those a link's opening turns on by itself):
// they pass a flood gate of their own, at most ALTUSLOG_DUMP_LINES lines a minute per
// datalogger, so that dumps never crowd out the datalogger's other lines. It outranks
// AltusDebugLines.
struct AltusDumpLines {
  explicit AltusDumpLines(bool on);
  ~AltusDumpLines();
  AltusDumpLines(const AltusDumpLines &) = delete;
  AltusDumpLines &operator=(const AltusDumpLines &) = delete;
  bool was;  // the thread's mark before, restored at the end
};
// While it lives, this thread opens a link with the packet dumps the opening turns on by
// itself; altuslog_opening() tells.
struct AltusOpening {
  AltusOpening();
  ~AltusOpening();
  AltusOpening(const AltusOpening &) = delete;
  AltusOpening &operator=(const AltusOpening &) = delete;
  bool was;  // the thread's mark before, restored at the end
};
bool altuslog_opening(void);

// Self-expiring debug switches: the magnitude of the level, 0 once a positive level has
// been in use longer than its positive time-out (then reset with one log line); a
// negative level never expires. 0 for no datalogger.
int altuscom_data_verbose(AltusDatalogger *dl);
int altuscom_serial_verbose(AltusDatalogger *dl);
int altuscom_v_strseq_verbose(AltusDatalogger *dl);
int altuscom_log_data_errors(AltusDatalogger *dl);
