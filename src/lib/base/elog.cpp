// elog.cpp - the error log: per-thread register, printing, fatal exits.
#include "base/elog.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/oom.h"
#include "base/textutil.h"

char *Program_Name = const_cast<char *>("vantrel");
int Verbose = 0;

// ---- Flood gates ------------------------------------------------------------------------

std::string elog_flood_shape(const char *text) {
  std::string out;
  if (text == nullptr) return out;
  auto numeric = [](char c) {
    return isxdigit((unsigned char)c) || c == 'x' || c == 'X' || c == '.' || c == ':';
  };
  const char *p = text;
  while (*p && out.size() < ELOG_FLOOD_SHAPE_MAX) {
    if (*p == ' ' || *p == '\t') {
      out += *p++;
      continue;
    }
    // One word: folded whole when it holds a path separator.
    const char *w = p;
    while (*w && *w != ' ' && *w != '\t') w++;
    bool path = false;
    for (const char *q = p; q < w; q++)
      if (*q == '/' || *q == '\\') path = true;
    if (path) {
      out += '~';
      p = w;
      continue;
    }
    while (p < w) {
      if (*p == '\'' || *p == '"') {
        const char *close = strchr(p + 1, *p);
        if (close != nullptr) {
          out += *p;
          out += '~';
          out += *p;
          p = close + 1;
          if (p > w) {
            w = p;
            while (*w && *w != ' ' && *w != '\t') w++;
          }
          continue;
        }
      }
      if (isdigit((unsigned char)*p)) {
        while (p < w && numeric(*p)) p++;
        out += '#';
        continue;
      }
      out += *p++;
    }
  }
  if (out.size() > ELOG_FLOOD_SHAPE_MAX) out.resize(ELOG_FLOOD_SHAPE_MAX);
  return out;
}

struct ElogFlood {
  struct Slot {
    std::string source, text;  // the key's source and its latest text
    double start = 0;          // when the key's current window began
    int passed = 0;            // messages passed in it
    int held = 0;              // messages held back in it
    bool flooded = false;      // the last window held messages back: pass none
  };
  struct Source {
    std::deque<double> written;  // when its lines of the last window were written
    int held = 0;                // lines held back beyond the budget since the last summary
    double held_since = 0;       // when the first of those was held back
    double last = 0;             // its latest activity
  };
  int burst;
  double window;
  size_t max_keys;
  int source_lines;
  std::mutex mutex;  // guards the rest
  std::unordered_map<std::string, Slot> slots;
  std::unordered_map<std::string, Source> sources;
  std::vector<ElogFloodRepeat> pending;  // lines due while no caller took them
  double scanned = -1e300;               // when the slots were last looked through for repeats due

  // A clock that went back (a test's driven clock starting again) ends a window too.
  bool over(double start, double now) const { return now - start >= window || now < start; }

  Source &source_of(const std::string &name, double now, std::vector<ElogFloodRepeat> *due) {
    auto it = sources.find(name);
    if (it == sources.end()) {
      if (sources.size() >= max_keys) evict_oldest_source(due);
      it = sources.emplace(name, Source{}).first;
    }
    it->second.last = now;
    return it->second;
  }
  // Takes a line of the source's budget in the window that ends now, when there is room.
  // A message whose shape is the first of its kind in its window may use the whole budget;
  // any other line (a shape seen again, a repeat) leaves a third of it free, so that a
  // flood of a few shapes never silences a new event.
  bool take_line(Source &src, double now, bool first_of_shape = false) {
    while (!src.written.empty() && over(src.written.front(), now)) src.written.pop_front();
    const int limit = first_of_shape ? source_lines : source_lines - source_lines / 3;
    if ((int)src.written.size() >= limit) return false;
    src.written.push_back(now);
    return true;
  }
  void hold_lines(Source &src, int n, double now) {
    if (src.held == 0) src.held_since = now;
    src.held += n;
  }
  // A repeat of `s`'s held count: due when its source has room for the line, else its
  // count goes into the source's summary.
  void repeat(const Slot &s, double now, std::vector<ElogFloodRepeat> *due) {
    Source &src = source_of(s.source, now, due);
    if (take_line(src, now))
      due->push_back({s.source, s.text, s.held, false});
    else
      hold_lines(src, s.held, now);
  }
  // Ends the window of `s` when it is over; a count held in it becomes due and keeps
  // the key flooded.
  void roll(Slot &s, double now, std::vector<ElogFloodRepeat> *due) {
    if (!over(s.start, now)) return;
    s.flooded = s.held > 0;
    if (s.flooded) repeat(s, now, due);
    s.start = now;
    s.passed = 0;
    s.held = 0;
  }
  void summarise(const std::string &name, Source &src, double now, bool all,
                 std::vector<ElogFloodRepeat> *due) {
    if (src.held == 0 || (!all && !over(src.held_since, now))) return;
    due->push_back({name, "", src.held, true});
    src.held = 0;
  }
  void scan(double now, bool all, std::vector<ElogFloodRepeat> *due) {
    if (!all && now - scanned < 1.0 && now >= scanned) return;
    scanned = now;
    for (auto it = slots.begin(); it != slots.end();) {
      Slot &s = it->second;
      if (all) {
        if (s.held > 0) due->push_back({s.source, s.text, s.held, false});
        s.held = 0;
        s.flooded = false;
        ++it;
      } else if (over(s.start, now) && s.held == 0) {
        it = slots.erase(it);  // calm for a whole window: forgotten
      } else {
        roll(s, now, due);
        ++it;
      }
    }
    for (auto it = sources.begin(); it != sources.end();) {
      summarise(it->first, it->second, now, all, due);
      if (it->second.held == 0 && over(it->second.last, now))
        it = sources.erase(it);  // calm for a whole window: forgotten
      else
        ++it;
    }
  }
  void evict_oldest(double now, std::vector<ElogFloodRepeat> *due) {
    auto oldest = slots.begin();
    for (auto it = slots.begin(); it != slots.end(); ++it)
      if (it->second.start < oldest->second.start) oldest = it;
    if (oldest == slots.end()) return;
    if (oldest->second.held > 0) repeat(oldest->second, now, due);
    slots.erase(oldest);
  }
  void evict_oldest_source(std::vector<ElogFloodRepeat> *due) {
    auto oldest = sources.begin();
    for (auto it = sources.begin(); it != sources.end(); ++it)
      if (it->second.last < oldest->second.last) oldest = it;
    if (oldest == sources.end()) return;
    if (oldest->second.held > 0) due->push_back({oldest->first, "", oldest->second.held, true});
    sources.erase(oldest);
  }
};

namespace {
// Set by elog_flood_open_all: every gate passes everything.
std::atomic<bool> g_gates_open{false};
// Every gate, so that elog_flood_reset_all reaches them. Lock order: this, then a gate.
std::mutex g_gates_mutex;
std::vector<ElogFlood *> g_gates;
}  // namespace

ElogFlood *elog_flood_new(int burst, double window, int max_keys, int source_lines) {
  if (burst < 1 || !(window > 0) || max_keys < 1 || source_lines < 1) return nullptr;
  auto *g = new ElogFlood;
  g->burst = burst;
  g->window = window;
  g->max_keys = (size_t)max_keys;
  g->source_lines = source_lines;
  std::lock_guard<std::mutex> lock(g_gates_mutex);
  g_gates.push_back(g);
  return g;
}

void elog_flood_free(ElogFlood *gate) {
  if (!gate) return;
  {
    std::lock_guard<std::mutex> lock(g_gates_mutex);
    for (size_t i = 0; i < g_gates.size(); i++)
      if (g_gates[i] == gate) {
        g_gates.erase(g_gates.begin() + (long)i);
        break;
      }
  }
  delete gate;
}

void elog_flood_reset_all(void) {
  std::lock_guard<std::mutex> lock(g_gates_mutex);
  for (ElogFlood *g : g_gates) {
    std::lock_guard<std::mutex> glock(g->mutex);
    g->slots.clear();
    g->sources.clear();
    g->pending.clear();
    g->scanned = -1e300;
  }
}

void elog_flood_open_all(int open) { g_gates_open = open != 0; }

int elog_flood_pass(ElogFlood *gate, const char *source, const char *text, double now,
                    std::vector<ElogFloodRepeat> *due) {
  if (!gate || g_gates_open) return 1;
  std::lock_guard<std::mutex> lock(gate->mutex);
  // Without a place for repeats, those that fall due wait in the gate for a later call.
  std::vector<ElogFloodRepeat> *out = due ? due : &gate->pending;
  if (due) {
    due->insert(due->end(), gate->pending.begin(), gate->pending.end());
    gate->pending.clear();
    gate->scan(now, false, out);
  }
  std::string src_name = source ? source : "";
  std::string key = src_name + '\0' + elog_flood_shape(text);
  auto it = gate->slots.find(key);
  if (it == gate->slots.end()) {
    if (gate->slots.size() >= gate->max_keys) gate->evict_oldest(now, out);
    it = gate->slots.emplace(key, ElogFlood::Slot{}).first;
    it->second.source = src_name;
    it->second.start = now;
  } else {
    gate->roll(it->second, now, out);
  }
  ElogFlood::Slot &s = it->second;
  s.text = text ? text : "";
  if (s.flooded || s.passed >= gate->burst) {
    s.held++;
    gate->source_of(src_name, now, out);  // marks the source active
    return 0;
  }
  ElogFlood::Source &src = gate->source_of(src_name, now, out);
  if (!gate->take_line(src, now, s.passed == 0 && !s.flooded)) {
    gate->hold_lines(src, 1, now);
    return 0;
  }
  s.passed++;
  return 1;
}

void elog_flood_due(ElogFlood *gate, double now, int all, std::vector<ElogFloodRepeat> *due) {
  if (!gate || !due) return;
  std::lock_guard<std::mutex> lock(gate->mutex);
  due->insert(due->end(), gate->pending.begin(), gate->pending.end());
  gate->pending.clear();
  gate->scan(now, all != 0, due);
}

std::string elog_flood_text(const ElogFloodRepeat &repeat) {
  if (repeat.source_summary) {
    std::string t = "flood gate: " + std::to_string(repeat.count) + " lines ";
    if (!repeat.source.empty()) t += "of " + repeat.source + " ";
    return t + "held back";
  }
  std::string t = repeat.text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  return t + " (repeated " + std::to_string(repeat.count) + " times)";
}

namespace {

struct Entry {
  std::string msg;
  std::string sys;
  int severity;
  int n;
};

thread_local std::vector<Entry> t_register;

std::mutex g_print_mutex;
ElogSink g_sink = nullptr;
void *g_sink_user = nullptr;
ElogExitHook g_exit_hook = nullptr;
std::string g_program_name = "vantrel";
// The gate of printed messages (keyed by severity and text), under the print mutex.
int g_flood_burst = ELOG_FLOOD_BURST;
ElogFlood *g_flood = nullptr;

std::string sys_text(int flag, int err) {
  if (flag != 1 || err == 0) return "";
  char buf[256];
  // GNU strerror_r returns the text, which may or may not be in buf.
  const char *t = strerror_r(err, buf, sizeof buf);
  return t ? std::string(t) : std::string();
}

const char *severity_word(int severity) {
  switch (severity) {
    case ELOG_DEBUG:
      return "debug: ";
    case ELOG_FAULT:
      return "*fault* ";
    case ELOG_DIE:
      return "*fatal* ";
    default:
      return "";
  }
}

// The text of a message as printed: with its system error and count.
std::string render(const Entry &e) {
  std::string text = e.msg;
  if (!e.sys.empty()) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text += ": " + e.sys;
  }
  if (e.n > 1) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text += " (repeated " + std::to_string(e.n) + " times)";
  }
  return text;
}

// Writes a text as lines prefixed with the program name, its control characters other
// than line ends and tabs escaped. Called with the print mutex held.
void write_locked(int severity, std::string text) {
  text = elog_escape(text, false);
  if (text.empty() || text.back() != '\n') text += '\n';
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line =
        g_program_name + ": " + severity_word(severity) + text.substr(start, end - start) + "\n";
    if (g_sink) {
      g_sink(line, g_sink_user);
    } else {
      fputs(line.c_str(), stderr);
    }
    start = end + 1;
  }
  if (!g_sink) fflush(stderr);
}

// The printed gate keys the program's messages by severity and shape: the severity rides
// in front of the text as one letter and a bar.
std::string gate_text(int severity, const std::string &text) {
  return std::string(1, (char)('A' + severity)) + "|" + text;
}

void write_due_locked(const std::vector<ElogFloodRepeat> &due) {
  for (const ElogFloodRepeat &r : due) {
    if (r.source_summary || r.text.size() < 2) {
      write_locked(ELOG_COMPLAIN, elog_flood_text(r));
      continue;
    }
    ElogFloodRepeat plain = r;
    plain.text = r.text.substr(2);
    write_locked(r.text[0] - 'A', elog_flood_text(plain));
  }
}

// Writes one message through the gate of printed messages, after the lines that are
// due. Debug lines (verbosity is the operator's choice) and fatal messages always pass.
// Called with the print mutex held.
void emit_locked(const Entry &e) {
  std::string text = render(e);
  if (g_flood_burst <= 0 || e.severity >= ELOG_FAULT || e.severity == ELOG_DEBUG) {
    write_locked(e.severity, text);
    return;
  }
  if (!g_flood) g_flood = elog_flood_new(g_flood_burst, ELOG_FLOOD_WINDOW, ELOG_FLOOD_KEYS);
  std::vector<ElogFloodRepeat> due;
  int pass =
      elog_flood_pass(g_flood, "", gate_text(e.severity, text).c_str(), clock_monotonic(), &due);
  write_due_locked(due);
  if (pass) write_locked(e.severity, text);
}

// Prints the thread's register through the gate and empties it; the print mutex stays
// held for the caller's own lines.
std::unique_lock<std::mutex> print_register() {
  std::vector<Entry> pending;
  pending.swap(t_register);
  std::unique_lock<std::mutex> lock(g_print_mutex);
  for (const Entry &e : pending) emit_locked(e);
  return lock;
}

// Prints the thread's register, then the message (if any), in one locked block.
void print_all(const Entry *last) {
  std::unique_lock<std::mutex> lock = print_register();
  if (last) emit_locked(*last);
}

void add_to_register(int flag, int severity, const char *format, va_list ap, int err) {
  Entry e{string_vprintf(format, ap), sys_text(flag, err), severity, 1};
  if (!t_register.empty()) {
    Entry &prev = t_register.back();
    if (prev.msg == e.msg && prev.sys == e.sys && prev.severity == e.severity) {
      prev.n++;
      return;
    }
  }
  t_register.push_back(std::move(e));
}

// Prints the thread's register through the gate, then `text` past it.
void print_passed(int severity, const char *text) {
  std::unique_lock<std::mutex> lock = print_register();
  if (g_flood != nullptr && g_flood_burst > 0) {
    std::vector<ElogFloodRepeat> due;
    elog_flood_due(g_flood, clock_monotonic(), 0, &due);
    write_due_locked(due);
  }
  write_locked(severity, text ? text : "");
}

void report(int flag, int severity, const char *format, va_list ap, int err) {
  Entry e{string_vprintf(format, ap), sys_text(flag, err), severity, 1};
  print_all(&e);
}

[[noreturn]] void finish(int status) {
  if (ElogExitHook hook = g_exit_hook) {
    hook(status);
    abort();  // a hook that returns breaks the contract
  }
  exit(status);
}

char *dup_or_die(const std::string &s) {
  char *p = strdup(s.c_str());
  if (!p) OUT_OF_MEMORY(s.size() + 1, "elog message");
  return p;
}

}  // namespace

void elog_init(int argc, char **argv) {
  if (argc > 0 && argv && argv[0]) {
    const char *base = strrchr(argv[0], '/');
    base = base ? base + 1 : argv[0];
    if (*base) {
      std::lock_guard<std::mutex> lock(g_print_mutex);
      g_program_name = base;
      static std::string stable;
      stable = g_program_name;
      Program_Name = stable.data();
    }
  }
}

void elog_vlog(int flag, const char *format, va_list ap) {
  add_to_register(flag, ELOG_LOG, format, ap, errno);
}

// Each variadic entry point keeps errno as it found it, so a caller can log and still
// test errno afterwards.
#define ELOG_FORWARD(call) \
  int err = errno;         \
  va_list ap;              \
  va_start(ap, format);    \
  call;                    \
  va_end(ap);              \
  errno = err

void elog_log(int flag, const char *format, ...) {
  ELOG_FORWARD(add_to_register(flag, ELOG_LOG, format, ap, err));
}

void elog_debug(int flag, const char *format, ...) {
  if (!verbose_exists()) return;
  ELOG_FORWARD(report(flag, ELOG_DEBUG, format, ap, err));
}

void elog_notify(int flag, const char *format, ...) {
  ELOG_FORWARD(report(flag, ELOG_NOTIFY, format, ap, err));
}

void elog_vcomplain(int flag, const char *format, va_list ap) {
  report(flag, ELOG_COMPLAIN, format, ap, errno);
}

void elog_complain(int flag, const char *format, ...) {
  ELOG_FORWARD(report(flag, ELOG_COMPLAIN, format, ap, err));
}

void complain(int flag, const char *format, ...) {
  ELOG_FORWARD(report(flag, ELOG_COMPLAIN, format, ap, err));
}

void elog_die(int flag, const char *format, ...) {
  ELOG_FORWARD(report(flag, ELOG_DIE, format, ap, err));
  finish(1);
}

void elog_fault(int flag, const char *format, ...) {
  ELOG_FORWARD(report(flag, ELOG_FAULT, format, ap, err));
  finish(2);
}

void elog_print_passed(int severity, const char *text) {
  int err = errno;
  print_passed(severity, text);
  errno = err;
}

std::string elog_escape(const std::string &text, bool all) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    unsigned char c = (unsigned char)ch;
    if ((c >= 0x20 && c != 0x7f) || (!all && (c == '\n' || c == '\t'))) {
      out += ch;
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

int elog_clear_register(int flag) {
  int n = (int)t_register.size();
  if (flag) {
    print_all(nullptr);
  } else {
    t_register.clear();
  }
  return n;
}

int elog_mark(void) { return (int)t_register.size(); }

int elog_query(int flag, int mark, Elog_msg **list) {
  if (list) *list = nullptr;
  if (mark < 0) mark = 0;
  int total = (int)t_register.size();
  if (mark >= total || !list) return 0;
  int count = total - mark;
  auto *out = static_cast<Elog_msg *>(calloc((size_t)count, sizeof(Elog_msg)));
  if (!out) OUT_OF_MEMORY((size_t)count * sizeof(Elog_msg), "elog_query list");
  for (int i = 0; i < count; i++) {
    const Entry &e = t_register[(size_t)(mark + i)];
    out[i].tag = dup_or_die(g_program_name);
    out[i].msg = dup_or_die(e.msg);
    out[i].sys = dup_or_die(e.sys);
    out[i].severity = e.severity;
    out[i].n = e.n;
  }
  if (flag == 2) t_register.resize((size_t)mark);
  *list = out;
  return count;
}

void elog_free_msg(Elog_msg *msg) {
  if (!msg) return;
  free(msg->tag);
  free(msg->msg);
  free(msg->sys);
  msg->tag = msg->msg = msg->sys = nullptr;
}

int verbose_exists(void) { return Verbose != 0; }

void elog_set_sink(ElogSink sink, void *user) {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  g_sink = sink;
  g_sink_user = user;
  elog_flood_free(g_flood);
  g_flood = nullptr;
}

void elog_set_flood_burst(int burst) {
  std::lock_guard<std::mutex> lock(g_print_mutex);
  g_flood_burst = burst;
  elog_flood_free(g_flood);
  g_flood = nullptr;
}

void elog_set_exit_hook(ElogExitHook hook) { g_exit_hook = hook; }

void out_of_memory(int line, const char *file, size_t nbytes, const char *what) {
  elog_die(0, "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n", line, file,
           (unsigned)nbytes, what);
}
