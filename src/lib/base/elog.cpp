// elog.cpp - the error log: per-thread register, printing, fatal exits.
#include "base/elog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/oom.h"
#include "base/textutil.h"

char *Program_Name = const_cast<char *>("vantrel");
int Verbose = 0;

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

// Writes one message as lines prefixed with the program name. Called with the print
// mutex held.
void emit_locked(const Entry &e) {
  std::string text = e.msg;
  if (!e.sys.empty()) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text += ": " + e.sys;
  }
  if (e.n > 1) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    text += " (repeated " + std::to_string(e.n) + " times)";
  }
  if (text.empty() || text.back() != '\n') text += '\n';
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line =
        g_program_name + ": " + severity_word(e.severity) + text.substr(start, end - start) + "\n";
    if (g_sink) {
      g_sink(line, g_sink_user);
    } else {
      fputs(line.c_str(), stderr);
    }
    start = end + 1;
  }
  if (!g_sink) fflush(stderr);
}

// Prints the thread's register, then the message (if any), in one locked block.
void print_all(const Entry *last) {
  std::vector<Entry> pending;
  pending.swap(t_register);
  std::lock_guard<std::mutex> lock(g_print_mutex);
  for (const Entry &e : pending) emit_locked(e);
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
}

void elog_set_exit_hook(ElogExitHook hook) { g_exit_hook = hook; }

void out_of_memory(int line, const char *file, size_t nbytes, const char *what) {
  elog_die(0, "Out of memory at line %d in '%s'\n\tCan't malloc %u bytes for %s\n", line, file,
           (unsigned)nbytes, what);
}
