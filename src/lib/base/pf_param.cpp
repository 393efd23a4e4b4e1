// pf_param.cpp - typed reading of parameter-file values: parse_param and the pfget_
// shorthands for numbers and booleans. Kinds and ownership are described in pf.h.

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/pf_text.h"
#include "base/pf_tree.h"
#include "base/tbl.h"

namespace {

using pftext::trim;

const char *kind_name(int kind) {
  switch (kind) {
    case PFSTRING:
      return "a text";
    case PFTBL:
      return "a list";
    default:
      return "an array";
  }
}

char *copy_text(const std::string &s) {
  char *c = strdup(s.c_str());
  if (c == nullptr) OUT_OF_MEMORY(s.size() + 1, "parameter text");
  return c;
}

// Edits (insert, delete, change, swap of neighbours) between two keys.
size_t edits(const std::string &a, const std::string &b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); i++) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); j++) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    for (size_t j = 1; j <= b.size(); j++) {
      size_t change = d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, change});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// A slip of the keyboard: one or two edits, fewer than half the shorter key's length.
bool is_slip(const std::string &typed, const std::string &known) {
  if (typed == known) return false;
  size_t n = edits(typed, known);
  return n <= 2 && 2 * n < std::min(typed.size(), known.size());
}

// The key of `candidates` nearest to `key` when it is a slip away; "" otherwise.
std::string nearest(const std::string &key, const std::set<std::string> &candidates) {
  std::string best;
  size_t best_n = 3;
  for (const auto &c : candidates) {
    if (!is_slip(key, c)) continue;
    size_t n = edits(key, c);
    if (n < best_n) {
      best_n = n;
      best = c;
    }
  }
  return best;
}

// The keys of array `pf` that no reader asked for (a copy, taken under the lock).
std::set<std::string> unasked_keys(const Pf *pf) {
  std::set<std::string> out;
  if (!pfint::is_array(pf)) return out;
  std::set<std::string> asked;
  bool whole = false;
  if (pf->asked) {
    std::lock_guard<std::mutex> hold(pf->asked->mutex);
    asked = pf->asked->keys;
    whole = pf->asked->whole;
  }
  if (whole) return out;
  for (const auto &kv : pf->arr) {
    if (asked.count(kv.first) == 0) out.insert(kv.first);
  }
  return out;
}

// A number for a message: integers without a fraction.
std::string number_text(double v) {
  char buf[64];
  if (std::fabs(v) < 1e15 && v == std::floor(v)) {
    snprintf(buf, sizeof buf, "%.0f", v);
  } else {
    snprintf(buf, sizeof buf, "%g", v);
  }
  return buf;
}

bool is_number_kind(int kind) {
  return kind == P_LINT || kind == P_SINT || kind == P_DBL || kind == P_FLT;
}

// Reads `text` as a number of `kind` within `range` into *out; false with *why.
bool read_number(const std::string &text, int kind, PfRange range, double *out, std::string *why) {
  std::string_view t = trim(text);
  std::string shown = "'" + std::string(t.substr(0, 80)) + "'";
  double v = 0;
  if (kind == P_LINT || kind == P_SINT) {
    long long n = 0;
    bool is_int = kind == P_LINT;
    if (!pfint::to_long_ranged(text, is_int ? INT_MIN : SHRT_MIN, is_int ? INT_MAX : SHRT_MAX,
                               is_int ? UINT_MAX : USHRT_MAX, &n)) {
      *why = shown + " is not " + (is_int ? "an integer" : "a short integer");
      return false;
    }
    v = static_cast<double>(n);
  } else {
    if (!pfint::to_double(text, &v)) {
      // Say why a text that reads as a number is still refused.
      std::string copy(t);
      char *end = nullptr;
      errno = 0;
      double raw = strtod(copy.c_str(), &end);
      bool numeric = end != copy.c_str() && *end == '\0';
      const char *reason = !numeric          ? " is not a number"
                           : std::isnan(raw) ? " is not a finite number (NaN)"
                           : errno == ERANGE ? " is not a finite number (too large)"
                                             : " is not a finite number (infinite)";
      *why = shown + reason;
      return false;
    }
    if (kind == P_FLT && std::fabs(v) > FLT_MAX) {
      *why = shown + " is not a number within float range";
      return false;
    }
  }
  if (!(v >= range.min && v <= range.max)) {
    *why = shown + " is outside " + number_text(range.min) + " .. " + number_text(range.max);
    return false;
  }
  *out = v;
  return true;
}

void store_number(int kind, double v, void *destination) {
  switch (kind) {
    case P_LINT:
      *static_cast<int *>(destination) = static_cast<int>(v);
      break;
    case P_SINT:
      *static_cast<short *>(destination) = static_cast<short>(v);
      break;
    case P_DBL:
      *static_cast<double *>(destination) = v;
      break;
    default:
      *static_cast<float *>(destination) = static_cast<float>(v);
      break;
  }
}

constexpr PfRange kAnyNumber = {-HUGE_VAL, HUGE_VAL};

// Reads the text node `v` of `key` as a number; 0, or -2 with the reason registered.
int number_value(const Pf *v, const char *key, int kind, PfRange range, void *destination) {
  double d = 0;
  std::string why;
  if (!read_number(v->text, kind, range, &d, &why)) {
    elog_log(0, "parse_param: %skey '%s': %s\n", pfint::where(v).c_str(), key, why.c_str());
    return -2;
  }
  store_number(kind, d, destination);
  return 0;
}

// Registers that the required `key` is absent from `pf`, naming a key there that looks
// like a slip for it.
void missing(Pf *pf, const char *key) {
  std::string place = pfint::where(pf);
  for (const auto &k : unasked_keys(pf)) {
    if (!is_slip(k, key)) continue;
    Pf *typed = pfint::lookup(pf, k.c_str());
    elog_log(
        0,
        "parse_param: %skey '%s' is no known key: required key '%s' is missing (a slip for it?)\n",
        pfint::where(typed).c_str(), k.c_str(), key);
    return;
  }
  elog_log(0, "parse_param: %srequired key '%s' is missing\n", place.c_str(), key);
}

// Complains about the unasked keys of `pf` (path `path`), then looks inside the keys
// that were asked for.
int warn_unused(const Pf *pf, const std::string &path, const char *who, const char *const *quiet) {
  int n = 0;
  if (pfint::is_array(pf)) {
    std::set<std::string> unasked = unasked_keys(pf);
    std::set<std::string> known;
    if (pf->asked) {
      std::lock_guard<std::mutex> hold(pf->asked->mutex);
      known = pf->asked->keys;
    }
    for (const auto &kv : pf->arr) {
      bool left = false;
      for (const char *const *q = quiet; q != nullptr && *q != nullptr; q++) {
        left = left || kv.first == *q;
      }
      if (left) continue;
      std::string name = path.empty() ? kv.first : path + "->" + kv.first;
      if (unasked.count(kv.first) != 0) {
        std::string near = nearest(kv.first, known);
        std::string w = pfint::where(kv.second.get());
        if (near.empty()) {
          elog_complain(0, "%s: %skey '%s' is not read by this program - ignored\n", who, w.c_str(),
                        name.c_str());
        } else {
          elog_complain(0,
                        "%s: %skey '%s' is not read by this program - ignored (a slip for '%s'?)\n",
                        who, w.c_str(), name.c_str(), near.c_str());
        }
        n++;
        continue;
      }
      n += warn_unused(kv.second.get(), name, who, nullptr);
    }
  } else if (pf != nullptr && pf->kind == PFTBL) {
    for (size_t i = 0; i < pf->list.size(); i++) {
      n += warn_unused(pf->list[i].get(), path + "[" + std::to_string(i) + "]", who, nullptr);
    }
  }
  return n;
}

}  // namespace

bool pfint::to_long_ranged(const std::string &text, long long dec_min, long long dec_max,
                           unsigned long long hex_max, long long *out) {
  std::string_view t = trim(text);
  bool neg = false;
  if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
    neg = t[0] == '-';
    t.remove_prefix(1);
  }
  bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
  if (hex) t.remove_prefix(2);
  // No sign after the sign, no blanks inside: from_chars accepts neither.
  if (t.empty() || t[0] == '+' || t[0] == '-') return false;
  unsigned long long mag = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), mag, hex ? 16 : 10);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size()) return false;
  unsigned long long neg_limit = static_cast<unsigned long long>(-(dec_min + 1)) + 1;
  if (neg) {
    if (mag > neg_limit) return false;
    *out = mag == neg_limit ? dec_min : -static_cast<long long>(mag);
    return true;
  }
  if (mag <= static_cast<unsigned long long>(dec_max)) {
    *out = static_cast<long long>(mag);
    return true;
  }
  // Hexadecimal beyond the signed range gives the same bits, as a negative number.
  if (!hex || mag > hex_max) return false;
  *out = static_cast<long long>(mag - hex_max - 1);
  return true;
}

bool pfint::to_double(const std::string &text, double *out) {
  std::string_view t = trim(text);
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  if (t.empty() || t[0] == '+') return false;
  double v = 0;
  auto r = std::from_chars(t.data(), t.data() + t.size(), v);
  if (r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool pfint::to_boolean(const std::string &text, int *out) {
  static const struct {
    const char *word;
    int value;
  } words[] = {{"yes", 1}, {"y", 1}, {"true", 1},  {"t", 1}, {"on", 1},
               {"no", 0},  {"n", 0}, {"false", 0}, {"f", 0}, {"off", 0}};
  std::string_view t = trim(text);
  for (const auto &w : words) {
    if (t.size() == strlen(w.word) && strncasecmp(t.data(), w.word, t.size()) == 0) {
      *out = w.value;
      return true;
    }
  }
  long long v = 0;
  if (!to_long_ranged(std::string(t), INT_MIN, INT_MAX, UINT_MAX, &v)) return false;
  *out = v != 0;
  return true;
}

int pfget_int(Pf *pf, const char *key) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  long long n = 0;
  if (v == nullptr || v->kind != PFSTRING ||
      !pfint::to_long_ranged(v->text, INT_MIN, INT_MAX, UINT_MAX, &n))
    return 0;
  return static_cast<int>(n);
}

double pfget_double(Pf *pf, const char *key) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  double d = 0;
  if (v == nullptr || v->kind != PFSTRING || !pfint::to_double(v->text, &d)) return 0;
  return d;
}

int pfget_boolean(Pf *pf, const char *key) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  int b = 0;
  if (v == nullptr || v->kind != PFSTRING || !pfint::to_boolean(v->text, &b)) return 0;
  return b;
}

int parse_param(Pf *pf, const char *key, int kind, int required, void *destination) {
  if (key == nullptr || destination == nullptr || kind < P_LINT || kind > P_BOOL) {
    elog_log(0, "parse_param: key '%s': no destination or unknown kind %d\n",
             key != nullptr ? key : "", kind);
    return -3;
  }
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  if (v == nullptr) {
    if (!required) return 0;
    missing(pf, key);
    return -1;
  }
  std::string place = pfint::where(v);
  auto wrong = [&](const char *want) {
    if (v->kind == PFSTRING) {
      elog_log(0, "parse_param: %skey '%s': '%.80s' is not %s\n", place.c_str(), key,
               v->text.c_str(), want);
    } else {
      elog_log(0, "parse_param: %skey '%s' holds %s, not %s\n", place.c_str(), key,
               kind_name(v->kind), want);
    }
    return -2;
  };
  try {
    switch (kind) {
      case P_LINT:
      case P_SINT:
      case P_DBL:
      case P_FLT:
        if (v->kind != PFSTRING) return wrong("a number");
        return number_value(v, key, kind, kAnyNumber, destination);
      case P_BOOL: {
        int b = 0;
        if (v->kind != PFSTRING || !pfint::to_boolean(v->text, &b)) return wrong("a boolean");
        *static_cast<int *>(destination) = b;
        return 0;
      }
      case P_STR:
        if (v->kind != PFSTRING) return wrong("a text");
        *static_cast<char **>(destination) = copy_text(v->text);
        return 0;
      case P_STRCP:
        if (v->kind != PFSTRING) return wrong("a text");
        if (v->text.size() >= P_STRCP_SIZE) {
          elog_log(0, "parse_param: %skey '%s': text longer than %d characters\n", place.c_str(),
                   key, P_STRCP_SIZE - 1);
          return -2;
        }
        memcpy(destination, v->text.c_str(), v->text.size() + 1);
        return 0;
      case P_TBL: {
        if (v->kind == PFSTRING) {
          Tbl *one = newtbl(1);
          if (one == nullptr) OUT_OF_MEMORY(sizeof(void *), "list");
          pushtbl(one, copy_text(v->text));
          *static_cast<Tbl **>(destination) = one;
          return 0;
        }
        if (v->kind != PFTBL) return wrong("a list");
        for (size_t i = 0; i < v->list.size(); i++) {
          if (v->list[i]->kind != PFSTRING) {
            elog_log(0, "parse_param: %skey '%s': element %zu of the list is not a text\n",
                     place.c_str(), key, i);
            return -2;
          }
        }
        Tbl *tbl = newtbl(static_cast<long>(v->list.size()));
        if (tbl == nullptr) OUT_OF_MEMORY(sizeof(void *), "list");
        for (const auto &e : v->list) pushtbl(tbl, copy_text(e->text));
        *static_cast<Tbl **>(destination) = tbl;
        return 0;
      }
      case P_ARRPF:
      case P_ARRSTR: {
        if (!pfint::is_array(v)) return wrong("an array");
        bool blocks = kind == P_ARRPF;
        for (const auto &kv : v->arr) {
          const Pf *e = kv.second.get();
          if (blocks ? !pfint::is_array(e) : e->kind != PFSTRING) {
            elog_log(0, "parse_param: %skey '%s': entry '%s' is not %s\n", pfint::where(e).c_str(),
                     key, kv.first.c_str(), blocks ? "an array" : "a text");
            return -2;
          }
        }
        pfint::note_asked(v, "", true);  // the entries' keys are names, not settings
        Arr *arr = newarr(nullptr);
        if (arr == nullptr) OUT_OF_MEMORY(sizeof(void *), "array");
        for (const auto &kv : v->arr) {
          void *value = blocks ? static_cast<void *>(pfdup(kv.second.get()))
                               : static_cast<void *>(copy_text(kv.second->text));
          setarr(arr, kv.first.c_str(), value);
        }
        *static_cast<Arr **>(destination) = arr;
        return 0;
      }
      case P_ARR:
        if (!pfint::is_array(v)) return wrong("an array");
        *static_cast<Pf **>(destination) = pfdup(v);
        return 0;
      default:
        elog_log(0, "parse_param: key '%s': unknown kind %d\n", key, kind);
        return -3;
    }
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(sizeof(Pf), "parameter value");
  }
}

int parse_param_range(Pf *pf, const char *key, int kind, int required, void *destination,
                      PfRange range) {
  if (!is_number_kind(kind) || destination == nullptr || key == nullptr)
    return parse_param(pf, key, kind, required, destination);
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  if (v == nullptr || v->kind != PFSTRING) return parse_param(pf, key, kind, required, destination);
  try {
    return number_value(v, key, kind, range, destination);
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(sizeof(Pf), "parameter value");
  }
}

int pfnumber(const char *key, const char *text, int kind, PfRange range, void *destination,
             char *why, int why_size) {
  std::string reason;
  double d = 0;
  if (!is_number_kind(kind) || destination == nullptr) {
    reason = "unknown kind of number";
  } else if (text == nullptr) {
    reason = "no value";
  } else {
    try {
      if (read_number(text, kind, range, &d, &reason)) {
        store_number(kind, d, destination);
        return 0;
      }
    } catch (const std::bad_alloc &) {
      OUT_OF_MEMORY(sizeof(Pf), "number text");
    }
  }
  if (why != nullptr && why_size > 0) {
    snprintf(why, static_cast<size_t>(why_size), "key '%s': %s", key != nullptr ? key : "",
             reason.c_str());
  }
  return -1;
}

int pfnumber_check(const PfNumberKey *keys, int n, const char *key, const char *value, char *why,
                   int why_size) {
  for (int k = 0; k < n; k++) {
    if (key == nullptr || strcmp(key, keys[k].key) != 0) continue;
    char *end = nullptr;
    (void)strtod(value != nullptr ? value : "", &end);
    const char *text = value == nullptr || end == value ? "0" : value;
    double d = 0;
    float f = 0;
    int i = 0;
    short h = 0;
    const int kind = keys[k].kind;
    void *dest = kind == P_DBL    ? static_cast<void *>(&d)
                 : kind == P_FLT  ? static_cast<void *>(&f)
                 : kind == P_SINT ? static_cast<void *>(&h)
                                  : static_cast<void *>(&i);
    return pfnumber(keys[k].key, text, kind, keys[k].range, dest, why, why_size);
  }
  return 0;
}

void pfwhere(Pf *pf, const char *key, char *where, int size) {
  if (where == nullptr || size <= 0) return;
  Pf *v = key != nullptr ? pfint::lookup(pf, key) : nullptr;
  std::string w = pfint::where(v != nullptr ? v : pf);
  // Without the ": " that ends the prefix form.
  if (w.size() >= 2) w.resize(w.size() - 2);
  snprintf(where, static_cast<size_t>(size), "%s", w.c_str());
}

int pfwarn_unused(Pf *pf, const char *who, const char *const *quiet) {
  try {
    return warn_unused(pf, "", who != nullptr ? who : "pfwarn_unused", quiet);
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(sizeof(Pf), "key report");
  }
}
