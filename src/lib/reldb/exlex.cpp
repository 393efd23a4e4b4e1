// exlex.cpp - the scanner of the expression language: tokens, literals, comments and
// "@" file inclusion. A newline ends the expression. Included files are read in chunks
// as the scanner needs them; tokens never span the end of an included file.
//
// State is process-wide and used only under the compiler's mutex (exyacc.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "reldb/exinternal.h"

namespace {

constexpr size_t kChunk = 16384;
// A quoted string or pattern holds at most this many characters.
constexpr size_t kMaxLiteral = 8191;
// Include levels open at once beyond the expression text itself.
constexpr int kMaxIncludes = 2;

struct Source {
  std::string buf;
  size_t pos = 0;
  int fd = -1;  // an included file still being read; -1 when all of it is in buf
  int saved_line = 0;
};

std::vector<Source> Sources;  // [0] the expression text, then the open includes
int Lineno = 1;
int Ex_err = 0;
bool Ended = false;        // end of input reached (newline, end of text or error)
bool After_match = false;  // a "/" next opens a pattern
std::string History;       // the last characters read, for messages

// Makes at least n characters past pos available in the current source when the source
// has them. False when fewer remain.
bool have(size_t n) {
  Source &s = Sources.back();
  while (s.buf.size() - s.pos < n && s.fd >= 0) {
    char chunk[kChunk];
    ssize_t got = read(s.fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) elog_log(0, "read failed compiling expression\n");
    if (got <= 0) {
      close(s.fd);
      s.fd = -1;
      break;
    }
    s.buf.append(chunk, (size_t)got);
  }
  return s.buf.size() - s.pos >= n;
}

// The character k places ahead, or -1 past the end of the current source.
int peek(size_t k = 0) {
  if (!have(k + 1)) return -1;
  Source &s = Sources.back();
  return (unsigned char)s.buf[s.pos + k];
}

void take(size_t n, std::string *text) {
  Source &s = Sources.back();
  for (size_t i = 0; i < n && s.pos < s.buf.size(); i++) {
    char c = s.buf[s.pos++];
    if (c == '\n') Lineno++;
    if (text) text->push_back(c);
    History.push_back(c);
  }
  if (History.size() > 256) History.erase(0, History.size() - 64);
}

void fail_input() {
  Ex_err++;
  Ended = true;
}

bool is_name_char(int c) { return c >= 0 && (isalnum(c) || c == '_' || c == '.'); }

// Length of a real constant starting here, or 0.
size_t real_length() {
  size_t n = 0;
  size_t whole = 0, frac = 0;
  while (peek(n) >= 0 && isdigit(peek(n))) n++;
  whole = n;
  bool dot = false;
  if (peek(n) == '.') {
    dot = true;
    n++;
    while (peek(n) >= 0 && isdigit(peek(n))) n++, frac++;
  }
  if (dot && whole == 0 && frac == 0) return 0;
  if (!dot && whole == 0) return 0;
  size_t e = n;
  if (peek(e) == 'e' || peek(e) == 'E') {
    e++;
    if (peek(e) == '+' || peek(e) == '-') e++;
    size_t digits = 0;
    while (peek(e) >= 0 && isdigit(peek(e))) e++, digits++;
    if (digits) return e;
  }
  return dot ? n : 0;
}

void include(const std::string &name) {
  if ((int)Sources.size() > kMaxIncludes) {
    elog_log(0, "Includes nested more than %d deep\n", kMaxIncludes - 1);
    fail_input();
    return;
  }
  // Non-blocking, and regular files only: a FIFO or device could otherwise hold the
  // compilation (and every other compilation waiting on its lock) for ever.
  int fd = open(name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
    close(fd);
    fd = -1;
  }
  if (fd < 0) {
    elog_log(0, "Couldn't open '%s' to include at line %d\n", name.c_str(), Lineno);
    fail_input();
    return;
  }
  Source s;
  s.fd = fd;
  s.saved_line = Lineno;
  Sources.push_back(std::move(s));
}

// Body of a quoted string or pattern up to `close`, the opening character already
// taken. Returns false at the end of the source without the closing character, or when
// the body is too long (both logged and counted by the caller or here).
bool literal(int close, bool escapes, std::string *body, std::string *text) {
  for (;;) {
    int c = peek();
    if (c < 0) return false;
    if (c == close) {
      take(1, text);
      return true;
    }
    if (escapes && c == '\\' && peek(1) >= 0) {
      body->push_back('\\');
      take(1, text);
      c = peek();
    }
    body->push_back((char)c);
    take(1, text);
    if (body->size() > kMaxLiteral) {
      elog_log(0, "literal longer than %zu characters\n", kMaxLiteral);
      fail_input();
      return false;
    }
  }
}

}  // namespace

void exlex_start(const char *text) {
  exlex_finish();
  Sources.clear();
  Source top;
  top.buf = text ? text : "";
  // The text ends at its first NUL, as a C string does.
  top.buf.resize(strlen(top.buf.c_str()));
  Sources.push_back(std::move(top));
  Lineno = 1;
  Ex_err = 0;
  Ended = false;
  After_match = false;
  History.clear();
}

void exlex_finish(void) {
  for (Source &s : Sources)
    if (s.fd >= 0) close(s.fd), s.fd = -1;
}

int exlex_errors(void) { return Ex_err; }

std::string exlex_context(void) {
  size_t n = History.size() < 10 ? History.size() : 10;
  size_t start = History.size() - n;
  while (start > 0 && History.size() - start < 25 && isalnum((unsigned char)History[start - 1]))
    start--;
  return History.substr(start);
}

namespace {

// Moves past blanks, comments and included files to the first character of the next
// token; false at the end of the input (or of its line).
bool skip_to_token() {
  for (;;) {
    if (Ended) return false;
    Source &s = Sources.back();
    if (s.pos > kChunk) {
      s.buf.erase(0, s.pos);
      s.pos = 0;
    }
    int c = peek();
    if (c < 0) {
      if (Sources.size() == 1) {
        Ended = true;
        return false;
      }
      if (s.fd >= 0) close(s.fd);
      Lineno = s.saved_line;
      Sources.pop_back();
      continue;
    }
    if (c == '\n') {
      take(1, nullptr);
      Ended = true;
      return false;
    }
    if (c == ' ' || c == '\t') {
      take(1, nullptr);
      continue;
    }
    if (c == '#') {
      size_t n = 1;
      while (peek(n) >= 0 && peek(n) != '\n') n++;
      if (peek(n) == '\n') {
        take(n, nullptr);
        continue;
      }
    }
    if (c == '@') {
      size_t n = 1;
      while (peek(n) >= 0 && peek(n) != ' ' && peek(n) != '\t' && peek(n) != '\n') n++;
      if (n > 1) {
        std::string name;
        take(n, &name);
        include(name.substr(1));
        continue;
      }
    }
    return true;
  }
}

// The operator token of the next n characters: true.
bool set_op(ExToken *t, int token, int code, size_t n) {
  t->token = token;
  t->code = code;
  take(n, &t->text);
  return true;
}

// Operators of one or two characters (c and c1 the next two): true with *t set.
bool lex_operator(ExToken *t, int c, int c1) {
  if (c == '|' && c1 == '|') return set_op(t, EXT_OR, EXOP_OR, 2);
  if (c == '&' && c1 == '&') return set_op(t, EXT_AND, EXOP_AND, 2);
  if (c == '>' && c1 == '>') return set_op(t, EXT_SHIFT, EXOP_SHR, 2);
  if (c == '<' && c1 == '<') return set_op(t, EXT_SHIFT, EXOP_SHL, 2);
  if (c == '<' && c1 == '=') return set_op(t, EXT_REL, EXOP_LE, 2);
  if (c == '>' && c1 == '=') return set_op(t, EXT_REL, EXOP_GE, 2);
  if (c == '=' && c1 == '=') return set_op(t, EXT_REL, EXOP_EQ, 2);
  if (c == '!' && c1 == '=') return set_op(t, EXT_REL, EXOP_NE, 2);
  if (c == '<') return set_op(t, EXT_REL, EXOP_LT, 1);
  if (c == '>') return set_op(t, EXT_REL, EXOP_GT, 1);
  if ((c == '=' || c == '!') && c1 == '~') {
    set_op(t, EXT_MATCH, c == '=' ? EXOP_LIKE : EXOP_UNLIKE, 2);
    After_match = true;
    return true;
  }
  if (c == '[' && c1 == '|') return set_op(t, EXT_PIPEOPEN, 0, 2);
  if (c == '?') return set_op(t, EXT_COND, EXOP_COND, 1);
  if (c == ':' && c1 == '=') return set_op(t, EXT_ASSIGN, EXOP_ASSIGN, 2);

  return false;
}

// The concatenation dot, NULL, numbers, quoted texts and _times_: true with *t set (an
// unclosed quote sets a syntax error, or nothing at the end of the input).
bool lex_constant(ExToken *t, int c, int c1) {
  std::string &text = t->text;
  size_t real = real_length();
  if (c == '.' && real == 0) return set_op(t, EXT_CONCAT, EXOP_CONCAT, 1);
  if (c == 'N' && c1 == 'U' && peek(2) == 'L' && peek(3) == 'L' && !is_name_char(peek(4))) {
    set_op(t, EXT_NULL, 0, 4);
    t->node = exnew(0, EX_NULL, 0);
    return true;
  }
  if (real) {
    take(real, &text);
    t->token = EXT_CONST;
    t->node = exnew(dbREAL, EX_IMMEDIATE, 0);
    t->node->value.d = fix_strtod(text.c_str(), nullptr);
    return true;
  }
  if (c >= 0 && isdigit(c)) {
    size_t n = 0;
    while (peek(n) >= 0 && isdigit(peek(n))) n++;
    take(n, &text);
    long long v = 0;
    for (char d : text) v = v >= INT_MAX ? v : v * 10 + (d - '0');
    t->token = EXT_CONST;
    t->node = exnew(dbINTEGER, EX_IMMEDIATE, v > INT_MAX ? INT_MAX : (int)v);
    return true;
  }
  if (c == '"' || c == '\'') {
    take(1, &text);
    std::string body;
    if (!literal(c, false, &body, &text)) {
      if (!Ended) t->token = c;  // an unclosed quote: a syntax error
      return true;
    }
    t->token = EXT_CONST;
    t->node = exnew(dbSTRING, EX_IMMEDIATE, 0);
    t->node->value.s = strdup(body.c_str());
    if (!t->node->value.s) OUT_OF_MEMORY(body.size() + 1, "string");
    return true;
  }
  if (c == '_') {
    size_t n = 1;
    while (peek(n) >= 0 && peek(n) != '_' && peek(n) != '\n') n++;
    if (peek(n) == '_') {
      take(n + 1, &text);
      t->token = EXT_CONST;
      t->node = exnew(dbTIME, EX_IMMEDIATE, 0);
      t->node->value.d = str2epoch(text.substr(1, text.size() - 2).c_str());
      return true;
    }
  }
  return false;
}

}  // namespace

void exlex_next(ExToken *t) {
  t->token = EXT_END;
  t->code = 0;
  t->node = nullptr;
  t->name.clear();
  t->text.clear();
  if (!skip_to_token()) return;

  bool after_match = After_match;
  After_match = false;
  int c = peek(), c1 = peek(1);
  if (lex_operator(t, c, c1) || lex_constant(t, c, c1)) return;
  std::string &text = t->text;
  if (c >= 0 && isalpha(c)) {
    size_t n = 1;
    while (is_name_char(peek(n))) n++;
    take(n, &text);
    t->token = EXT_NAME;
    t->name = text;
    return;
  }
  if (c == '/' && after_match) {
    take(1, &text);
    std::string pattern;
    if (!literal('/', true, &pattern, &text)) {
      if (Ended) return;
      // The pattern runs to the end of the input.
    }
    regex_t *re = static_cast<regex_t *>(malloc(sizeof(regex_t)));
    if (!re) OUT_OF_MEMORY(sizeof(regex_t), "preg");
    char why[256];
    if (regcomp_bounded(re, pattern.c_str(), 0, why, sizeof why) != 0) {
      free(re);
      elog_log(0, "'%s' failed to compile: %s", pattern.c_str(), why);
      fail_input();
      return;
    }
    t->token = EXT_REGEX;
    t->node = exnew(dbREGEXPR, EX_IMMEDIATE, 0);
    t->node->value.regexp = re;
    return;
  }
  take(1, &text);
  t->token = c;
}
