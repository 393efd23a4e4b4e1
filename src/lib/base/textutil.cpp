// textutil.cpp - text helpers; see textutil.h.
#include "base/textutil.h"

#include <locale.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"

namespace {

bool space(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }
bool digit(char c) { return c >= '0' && c <= '9'; }

char *new_text(const std::string &s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (p == nullptr) OUT_OF_MEMORY(s.size() + 1, "text");
  memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

// How many characters of src, up to n, before its NUL.
size_t field_length(const char *src, long n) {
  if (src == nullptr || n <= 0) return 0;
  const void *nul = memchr(src, '\0', static_cast<size_t>(n));
  return nul ? static_cast<size_t>(static_cast<const char *>(nul) - src) : static_cast<size_t>(n);
}

// A pattern is refused when its estimated size passes this many nodes. The C library
// compiles repetitions by copying their operand and builds closure sets that grow with
// the square of chains of optional parts: "(a*){5000}", twelve characters, takes about
// 2 GB and 20 s to compile, "a" followed by thirty '+' more than memory holds. At this
// bound the worst pattern compiles in a fraction of a second and some tens of megabytes;
// the selection patterns of an operator stay far below it.
constexpr double kMaxPatternNodes = 2048;

// Estimates the number of nodes the compiled form of an extended pattern holds: each
// atom counts 1, a group the sum of its parts, and a repetition multiplies its operand
// by its largest count (2 for '*', '+' and '?', which the compiler duplicates likewise,
// and stacked repetitions multiply again). Sets *backref when the pattern uses \1..\9.
double pattern_nodes(const char *pattern, bool *backref, bool *stacked) {
  struct Group {
    double total = 0;  // finished parts
    double last = 0;   // the part a following repetition applies to
  };
  auto cap = [](double x) { return x < 1e12 ? x : 1e12; };
  std::vector<Group> stack(1);
  *backref = false;
  *stacked = false;
  bool after_repeat = false;  // this token is a repetition
  bool prev_repeat = false;   // the previous token was one
  const char *p = pattern;
  auto atom = [&](double size) {
    Group &g = stack.back();
    g.total = cap(g.total + g.last);
    g.last = size;
  };
  auto repeat = [&](double factor) {
    // A repetition of a repetition ("a+*", "??++") is undefined in POSIX and makes the
    // C library's compiler take exponential time.
    if (prev_repeat) *stacked = true;
    after_repeat = true;
    Group &g = stack.back();
    g.last = cap((g.last > 0 ? g.last : 1) * (factor > 1 ? factor : 1) + 1);
  };
  while (*p != '\0') {
    char c = *p++;
    prev_repeat = after_repeat;
    after_repeat = false;
    switch (c) {
      case '(':
        stack.emplace_back();
        break;
      case ')':
        if (stack.size() > 1) {
          Group inner = stack.back();
          stack.pop_back();
          atom(cap(inner.total + inner.last + 1));
        } else {
          atom(1);
        }
        break;
      case '|': {
        Group &g = stack.back();
        g.total = cap(g.total + g.last + 1);
        g.last = 0;
        break;
      }
      case '*':
      case '+':
      case '?':
        repeat(2);
        break;
      case '{': {
        // A bound {m}, {m,}, {m,n} or {,n}; anything else is a plain brace.
        const char *q = p;
        double low = 0, high = 0;
        bool digits = false;
        // The C library's compiler takes an escaped digit inside a count as the digit
        // ("{5\\000}" repeats 5000 times), so it counts here too.
        auto number = [&](double &v) {
          for (v = 0;; q++, digits = true) {
            if (*q == '\\' && digit(q[1])) q++;
            if (!digit(*q)) break;
            v = cap(v * 10 + (*q - '0'));
          }
        };
        number(low);
        high = low;
        if (*q == ',') {
          q++;
          const bool open = !digit(*q);
          number(high);
          if (open) high = low + 1;
        }
        if (!digits || *q != '}') {
          atom(1);
          break;
        }
        p = q + 1;
        repeat(low > high ? low : high);
        break;
      }
      case '[': {
        if (*p == '^') p++;
        if (*p == ']') p++;
        while (*p != '\0' && *p != ']') {
          if (*p == '[' && (p[1] == ':' || p[1] == '.' || p[1] == '=')) {
            const char close[3] = {p[1], ']', '\0'};
            const char *e = strstr(p + 2, close);
            p = e != nullptr ? e + 2 : p + strlen(p);
          } else {
            p++;
          }
        }
        if (*p == ']') p++;
        atom(1);
        break;
      }
      case '\\':
        if (*p >= '1' && *p <= '9') *backref = true;
        if (*p != '\0') p++;
        atom(1);
        break;
      default:
        atom(1);
        break;
    }
  }
  double total = 0;
  for (const Group &g : stack) total = cap(total + g.total + g.last);
  return total;
}

// A compiled pattern kept in a Hook, with the text it was compiled from.
struct RegexCache {
  std::string pattern;
  regex_t re;
};

void free_regex_cache(void *p) {
  auto *cache = static_cast<RegexCache *>(p);
  regfree(&cache->re);
  delete cache;
}

// The compiled form of `pattern`: taken from or stored into *hook when a hook is given,
// else compiled into `local` (which the caller frees). None after logging when the
// pattern does not compile.
const regex_t *compile(const char *who, const char *pattern, Hook **hook, RegexCache *&local) {
  local = nullptr;
  if (hook != nullptr && *hook != nullptr && (*hook)->free_fn == free_regex_cache &&
      (*hook)->p != nullptr && static_cast<RegexCache *>((*hook)->p)->pattern == pattern) {
    return &static_cast<RegexCache *>((*hook)->p)->re;
  }
  auto *cache = new (std::nothrow) RegexCache{pattern, {}};
  if (cache == nullptr) OUT_OF_MEMORY(sizeof(RegexCache) + strlen(pattern), "compiled pattern");
  char why[256];
  if (regcomp_bounded(&cache->re, pattern, 0, why, sizeof why) != 0) {
    elog_log(0, "%s: bad pattern '%s': %s\n", who, pattern, why);
    delete cache;
    cache = nullptr;
  }
  if (hook == nullptr) {
    local = cache;
  } else {
    // Whatever the hook held before (another pattern, or something else entirely) goes.
    if (*hook == nullptr) *hook = new_hook(free_regex_cache);
    if ((*hook)->p != nullptr && (*hook)->free_fn != nullptr) (*hook)->free_fn((*hook)->p);
    (*hook)->free_fn = free_regex_cache;
    (*hook)->p = cache;
  }
  return cache != nullptr ? &cache->re : nullptr;
}

// 1 and the first match's span, 0, or -1 for a bad pattern.
int search(const char *who, const char *text, const char *pattern, Hook **hook, regmatch_t *m) {
  if (pattern == nullptr) {
    elog_log(0, "%s: no pattern\n", who);
    return -1;
  }
  RegexCache *local;
  const regex_t *re = compile(who, pattern, hook, local);
  if (re == nullptr) return -1;
  int result = text != nullptr && regexec(re, text, 1, m, 0) == 0 ? 1 : 0;
  if (local != nullptr) free_regex_cache(local);
  return result;
}

// strtod with '.' as the decimal point whatever locale the program set.
double c_strtod(const char *text) {
  static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(nullptr));
  return c_locale != static_cast<locale_t>(nullptr) ? strtod_l(text, nullptr, c_locale)
                                                    : strtod(text, nullptr);
}

}  // namespace

int regcomp_bounded(regex_t *re, const char *pattern, int cflags, char *why, size_t whysize) {
  if (re == nullptr || pattern == nullptr) {
    if (why != nullptr && whysize > 0) snprintf(why, whysize, "no pattern");
    return REG_BADPAT;
  }
  bool backref, stacked;
  double nodes = pattern_nodes(pattern, &backref, &stacked);
  int rc = 0;
  const char *reason = nullptr;
  if (backref) {
    rc = REG_ESUBREG;
    reason = "back-references are not supported";
  } else if (stacked) {
    rc = REG_BADRPT;
    reason = "a repetition may not follow a repetition";
  } else if (nodes > kMaxPatternNodes) {
    rc = REG_ESPACE;
    reason = "pattern too complex";
  } else {
    rc = regcomp(re, pattern, cflags | REG_EXTENDED);
  }
  if (rc != 0 && why != nullptr && whysize > 0) {
    if (reason != nullptr) {
      snprintf(why, whysize, "%s", reason);
    } else {
      regerror(rc, re, why, whysize);
    }
  }
  return rc;
}

char *strtrim(char *text) {
  if (text == nullptr) return nullptr;
  size_t len = strlen(text);
  while (len > 0 && space(text[len - 1])) len--;
  size_t start = 0;
  while (start < len && space(text[start])) start++;
  memmove(text, text + start, len - start);
  text[len - start] = '\0';
  return text;
}

int strmatches(const char *text, const char *pattern, Hook **hook) {
  regmatch_t m;
  int rc = search("strmatches", text, pattern, hook, &m);
  if (rc != 1) return rc;
  // POSIX matching is leftmost-longest: if any match spans the whole text, the one
  // found does.
  return m.rm_so == 0 && static_cast<size_t>(m.rm_eo) == strlen(text) ? 1 : 0;
}

int strcontains(const char *text, const char *pattern, Hook **hook, long *start, long *end) {
  regmatch_t m;
  int rc = search("strcontains", text, pattern, hook, &m);
  if (rc == 1) {
    if (start != nullptr) *start = static_cast<long>(m.rm_so);
    if (end != nullptr) *end = static_cast<long>(m.rm_eo);
  }
  return rc;
}

char *patsub(const char *text, const regex_t *pattern, const char *replacement) {
  if (text == nullptr || pattern == nullptr || replacement == nullptr) return nullptr;
  constexpr size_t kMaxGroups = 10;
  size_t ngroups = pattern->re_nsub + 1 < kMaxGroups ? pattern->re_nsub + 1 : kMaxGroups;
  regmatch_t m[kMaxGroups];
  const size_t len = strlen(text);
  std::string out;
  size_t pos = 0;
  bool after_match = false;  // pos is the end of a non-empty match
  while (pos <= len) {
    for (regmatch_t &g : m) g.rm_so = g.rm_eo = -1;
    if (regexec(pattern, text + pos, ngroups, m, pos > 0 ? REG_NOTBOL : 0) != 0) break;
    if (m[0].rm_so < 0) break;  // compiled with REG_NOSUB: no positions to work with
    size_t so = pos + static_cast<size_t>(m[0].rm_so);
    size_t eo = pos + static_cast<size_t>(m[0].rm_eo);
    out.append(text + pos, so - pos);
    bool empty = eo == so;
    if (!(empty && after_match && so == pos)) {
      for (const char *r = replacement; *r != '\0'; r++) {
        int group = -1;
        if (*r == '&') {
          group = 0;
        } else if (*r == '\\' && digit(r[1])) {
          group = *++r - '0';
        } else if (*r == '\\' && (r[1] == '&' || r[1] == '\\')) {
          out += *++r;
          continue;
        } else {
          out += *r;
          continue;
        }
        if (static_cast<size_t>(group) < ngroups && m[group].rm_so >= 0) {
          out.append(text + pos + m[group].rm_so,
                     static_cast<size_t>(m[group].rm_eo - m[group].rm_so));
        }
      }
    }
    if (empty) {
      if (so < len) out += text[so];
      pos = so + 1;
      after_match = false;
    } else {
      pos = eo;
      after_match = true;
    }
  }
  if (pos < len) out.append(text + pos);
  return new_text(out);
}

char *strsub(const char *text, const char *old, const char *replacement) {
  if (text == nullptr) return nullptr;
  std::string out;
  size_t oldlen = old != nullptr ? strlen(old) : 0;
  if (oldlen == 0) return new_text(text);
  const char *p = text;
  for (const char *hit; (hit = strstr(p, old)) != nullptr; p = hit + oldlen) {
    out.append(p, static_cast<size_t>(hit - p));
    if (replacement != nullptr) out += replacement;
  }
  out += p;
  return new_text(out);
}

Tbl *split(char *text, int c) {
  if (text == nullptr) return nullptr;
  Tbl *words = newtbl(0);
  if (words == nullptr) return nullptr;
  const char sep = static_cast<char>(c);
  char *p = text;
  while (*p != '\0') {
    while (*p == sep && sep != '\0') *p++ = '\0';
    if (*p == '\0') break;
    pushtbl(words, p);
    while (*p != '\0' && *p != sep) p++;
  }
  return words;
}

long getaline(FILE *file, char **line, size_t *size) {
  if (file == nullptr || line == nullptr || size == nullptr) return -1;
  ssize_t n = getline(line, size, file);
  if (n < 0) return -1;
  if (n > 0 && (*line)[n - 1] == '\n') (*line)[--n] = '\0';
  return static_cast<long>(n);
}

int whitespace(const char *text) {
  if (text == nullptr) return 1;
  for (; *text != '\0'; text++) {
    if (!space(*text)) return 0;
  }
  return 1;
}

int blank(const char *text) { return whitespace(text); }

char *sncopy(char *dst, const char *src, long n) {
  if (dst == nullptr) return nullptr;
  size_t len = field_length(src, n);
  if (len > 0) memcpy(dst, src, len);
  if (n > 0) memset(dst + len, ' ', static_cast<size_t>(n) - len);
  return dst;
}

char *szcopy(char *dst, const char *src, long n) {
  if (dst == nullptr) return nullptr;
  size_t len = field_length(src, n);
  if (len > 0) memcpy(dst, src, len);
  dst[len] = '\0';
  return dst;
}

char *copystrip(char *dst, const char *src, long n) {
  if (dst == nullptr) return nullptr;
  size_t len = field_length(src, n);
  while (len > 0 && space(src[len - 1])) len--;
  if (len > 0) memcpy(dst, src, len);
  dst[len] = '\0';
  return dst;
}

int nstrcmp(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return (a != nullptr) - (b != nullptr);
  const char *p = a, *q = b;
  while (*p != '\0' && *q != '\0') {
    if (digit(*p) && digit(*q)) {
      while (*p == '0') p++;
      while (*q == '0') q++;
      const char *pe = p, *qe = q;
      while (digit(*pe)) pe++;
      while (digit(*qe)) qe++;
      if (pe - p != qe - q) return pe - p < qe - q ? -1 : 1;  // more digits: larger
      for (; p < pe; p++, q++) {
        if (*p != *q) return *p < *q ? -1 : 1;
      }
      continue;  // p == pe, q == qe
    }
    if (*p != *q) return static_cast<unsigned char>(*p) < static_cast<unsigned char>(*q) ? -1 : 1;
    p++;
    q++;
  }
  if (*p != '\0' || *q != '\0') return *p == '\0' ? -1 : 1;
  int c = strcmp(a, b);  // "a01" and "a1": equal numbers, still different texts
  return (c > 0) - (c < 0);
}

std::string string_vprintf(const char *format, va_list ap) {
  char small[256];
  va_list copy;
  va_copy(copy, ap);
  int n = vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return std::string(format);
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  vsnprintf(out.data(), out.size(), format, ap);
  out.resize(static_cast<size_t>(n));
  return out;
}

std::string string_printf(const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  std::string out = string_vprintf(format, ap);
  va_end(ap);
  return out;
}

void string_appendf(std::string &out, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  out += string_vprintf(format, ap);
  va_end(ap);
}

char *strconcat(const char *first, ...) {
  std::string out;
  va_list ap;
  va_start(ap, first);
  for (const char *s = first; s != nullptr; s = va_arg(ap, const char *)) out += s;
  va_end(ap);
  return new_text(out);
}

char *strdbl(double value, char *buf, size_t size) {
  if (buf == nullptr || size == 0) return buf;
  // to_chars gives the shortest text that reads back exactly, with '.' in any locale.
  char text[STRDBL_SIZE];
  auto r = std::to_chars(text, text + sizeof text - 1, value);
  *r.ptr = '\0';
  snprintf(buf, size, "%s", text);
  return buf;
}

double fix_strtod(const char *text, char **end) {
  if (end != nullptr) *end = const_cast<char *>(text);
  if (text == nullptr) {
    errno = EINVAL;
    return 0.0;
  }
  const char *p = text;
  while (space(*p)) p++;
  const char *start = p;
  if (*p == '+' || *p == '-') p++;
  size_t mantissa_digits = 0;
  while (digit(*p)) p++, mantissa_digits++;
  if (*p == '.') {
    p++;
    while (digit(*p)) p++, mantissa_digits++;
  }
  if (mantissa_digits == 0) {
    errno = EINVAL;
    return 0.0;
  }
  if (*p == 'e' || *p == 'E') {
    const char *e = p + 1;
    if (*e == '+' || *e == '-') e++;
    if (digit(*e)) {
      while (digit(*e)) e++;
      p = e;
    }
  }
  // The number's span alone goes to the C library, which cannot then read past it.
  std::string number(start, static_cast<size_t>(p - start));
  errno = 0;
  double value = c_strtod(number.c_str());
  if (end != nullptr) *end = const_cast<char *>(p);
  return value;
}

long align_int(long n) {
  return n + static_cast<long>((0UL - static_cast<unsigned long>(n)) & 3UL);
}
long align_double(long n) {
  return n + static_cast<long>((0UL - static_cast<unsigned long>(n)) & 7UL);
}
