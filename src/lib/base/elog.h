// elog.h - the error log: every message of the programs and libraries goes through it.
//
// Messages registered with elog_log wait in a register private to the calling thread,
// until a later call on that thread prints them (elog_complain, elog_notify, elog_die,
// elog_clear_register(1)) or drops them (elog_clear_register(0)), or elog_query hands
// them over. Flag 1 appends the text of the last system error (errno at the call).
// Printed output goes to standard error, one line per message, each line prefixed with
// the program name and ": ". A message's own trailing newline is not doubled.
//
// Printed messages pass a flood gate (ElogFlood below): messages of the same shape (the
// text with its numbers, paths and quoted parts folded) at the same severity are printed
// at most ELOG_FLOOD_BURST times a minute, and all the program's own messages together at
// most ELOG_FLOOD_SOURCE_LINES lines a minute; past that, one line a minute says how many
// were held back. Fatal messages and debug lines (printed only when the operator turned
// verbosity on) are never held back. Programs gate the lines they write about a
// datalogger or link with gates of their own, keyed by that source, and print them
// through elog_print_passed; the same gate decides for their ring-buffer log packets, so
// every path of a message is bounded alike. Control characters other than line ends and
// tabs are written escaped ("\x1b"), so no text can drive a terminal.
//
// Tests can capture printed output with elog_set_sink and replace the process exit of
// elog_die and elog_fault with elog_set_exit_hook. Every function may be called from any
// thread; printing is serialised by one process-wide mutex, the register needs no lock;
// each flood gate has a mutex of its own (taken inside the print mutex, never around it).
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#ifndef ELOG_PRINTF
#define ELOG_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

extern "C++" {

// Severities, in increasing order.
enum ElogSeverity {
  ELOG_DEBUG = 1,
  ELOG_LOG = 2,
  ELOG_NOTIFY = 3,
  ELOG_COMPLAIN = 4,
  ELOG_FAULT = 5,
  ELOG_DIE = 6,
};

// One registered message, as elog_query hands it over.
struct Elog_msg {
  char *tag;     // program name at the time of the message
  char *msg;     // message text (without the system error)
  char *sys;     // system error text for flag 1, "" otherwise
  int severity;  // ElogSeverity
  int n;         // how many times this message was registered in a row
};

// Program name used as the message prefix: the base name of argv[0] after elog_init,
// "vantrel" before.
extern char *Program_Name;

void elog_init(int argc, char **argv);
void elog_log(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
void elog_debug(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
void elog_notify(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
void elog_complain(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
// Prints the register and the message, then ends the process with status 1.
[[noreturn]] void elog_die(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
// A fault of the program itself: printed like elog_die, then the process ends with
// status 2.
[[noreturn]] void elog_fault(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
// Same as elog_complain.
void complain(int flag, const char *format, ...) ELOG_PRINTF(2, 3);
void elog_vcomplain(int flag, const char *format, va_list ap);
void elog_vlog(int flag, const char *format, va_list ap);

// Flag 1 prints the registered messages before dropping them, 0 only drops them.
// Returns how many messages the register held.
int elog_clear_register(int flag);
// Number of messages now registered on this thread; a later elog_query can fetch only
// what came after a mark.
int elog_mark(void);
// Hands over the registered messages from index `mark` on as a new array in *list
// (free each entry with elog_free_msg, then the array with free()). Flag 2 also removes
// them from the register, 1 leaves them. Returns the number of entries.
int elog_query(int flag, int mark, Elog_msg **list);
void elog_free_msg(Elog_msg *msg);

// Verbosity: elog_debug prints only while verbose_exists() is non-zero.
extern int Verbose;
int verbose_exists(void);

// Test seams. The sink receives every printed line (with its newline); none restores
// standard error. The exit hook replaces exit() in elog_die and elog_fault; it must not
// return (throw or longjmp), else the process aborts.
using ElogSink = void (*)(const std::string &line, void *user);
void elog_set_sink(ElogSink sink, void *user);
using ElogExitHook = void (*)(int status);
void elog_set_exit_hook(ElogExitHook hook);

// Prints a message that the caller's own gate already passed, without passing the gate
// of printed messages again: the thread's register (through the gate), then the text,
// at `severity` (ELOG_LOG, ELOG_NOTIFY or ELOG_COMPLAIN).
void elog_print_passed(int severity, const char *text);

// ---- Flood gates ------------------------------------------------------------------------
// A gate decides per message whether it is written now. A message has a source (whoever
// it is about: a datalogger, a link, "" for the program itself) and a text; its key is
// the source and the text's shape (elog_flood_shape), so texts that differ only in their
// numbers or names count as one. A key passes `burst` messages; once more come within
// `window` seconds of its first, the rest are held back and counted, and from then on the
// key passes nothing: at the end of each window in which messages were held, one repeat
// (the latest text and the count) is due. A window without messages ends the flood and
// the key starts afresh.
// On top, each source writes at most `source_lines` lines (messages and repeats
// together) in any `window` seconds; past that its messages and repeats are held back
// and counted, and one summary line a window (source_summary set) says how many. So a
// source gives at most source_lines + 2 lines in any window, whatever it sends. Only the
// first message of a key in its window may use the last third of the budget: a flood of
// a few shapes leaves room for the events that come meanwhile.
// At most `max_keys` keys and as many sources are kept: a new one beyond that pushes out
// the one with the oldest activity (its count, if any, becomes due at once), so memory
// stays bounded whatever the texts.
enum {
  ELOG_FLOOD_BURST = 6,          // messages of one key passed per window: one every 10 s passes
  ELOG_FLOOD_KEYS = 1024,        // keys (and sources) kept per gate
  ELOG_FLOOD_SOURCE_LINES = 90,  // lines of one source per window, all its messages together
  ELOG_FLOOD_SHAPE_MAX = 200,    // bytes of a text's shape that make its key
};
inline constexpr double ELOG_FLOOD_WINDOW = 60.0;  // seconds

struct ElogFlood;
// A line that is due: `count` messages of the key were held back (a repeat), or, with
// `source_summary`, `count` lines of the source were held back beyond its budget.
struct ElogFloodRepeat {
  std::string source;
  std::string text;
  int count;
  bool source_summary = false;
};

// The shape of a text, as gates key it: each run that starts with a digit (and goes on
// over digits, hex letters, "x", ".", ":") becomes "#", each word holding "/" or "\"
// becomes "~", and each quoted part '...' or "..." becomes '~'; cut to
// ELOG_FLOOD_SHAPE_MAX bytes.
std::string elog_flood_shape(const char *text);
// A new gate; none for a burst or source_lines below 1, a window not above 0 or max_keys
// below 1.
ElogFlood *elog_flood_new(int burst, double window, int max_keys,
                          int source_lines = ELOG_FLOOD_SOURCE_LINES);
void elog_flood_free(ElogFlood *gate);
// 1 when the message may be written now, 0 when it is held back (and counted). Repeats
// that are due by `now` (seconds of any steady clock, the same for every call of a gate)
// are appended to *due (may be none: they are then kept for a later call).
int elog_flood_pass(ElogFlood *gate, const char *source, const char *text, double now,
                    std::vector<ElogFloodRepeat> *due);
// Appends the repeats due by `now` (every held count when `all` is set, as at shutdown).
void elog_flood_due(ElogFlood *gate, double now, int all, std::vector<ElogFloodRepeat> *due);
// The line of a repeat: its text without trailing line ends, then " (repeated N times)";
// of a source summary: "flood gate: N lines held back" (naming the source when it is not
// "").
std::string elog_flood_text(const ElogFloodRepeat &repeat);
// Forgets every key of every gate (held counts are dropped): for tests, which start each
// case afresh.
void elog_flood_reset_all(void);
// With `open` set, every gate passes every message until it is cleared again: for tests
// of other behaviours that look for lines whatever their number.
void elog_flood_open_all(int open);
// The gate of printed messages: `burst` per window from now on (0 passes everything,
// for tests of other behaviours); counts and keys start afresh. elog_set_sink also
// starts them afresh.
void elog_set_flood_burst(int burst);

// `text` with its control characters other than newline and tab escaped as "\xNN"
// ("\r" for a carriage return, "\x7f" for delete); with `all`, newline and tab too
// ("\n", "\t"). For texts that came from outside (a datalogger, a remote command)
// before they reach a log.
std::string elog_escape(const std::string &text, bool all);

}  // extern "C++"
