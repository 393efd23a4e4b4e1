// pf_param.cpp - typed reading of parameter-file values: parse_param and the pfget_
// shorthands for numbers and booleans. Kinds and ownership are described in pf.h.

#include <cctype>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/pf_tree.h"
#include "base/tbl.h"

namespace {

std::string_view trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) b++;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) e--;
  return s.substr(b, e - b);
}

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
  Pf *v = pfint::lookup(pf, key);
  long long n = 0;
  if (v == nullptr || v->kind != PFSTRING ||
      !pfint::to_long_ranged(v->text, INT_MIN, INT_MAX, UINT_MAX, &n))
    return 0;
  return static_cast<int>(n);
}

double pfget_double(Pf *pf, const char *key) {
  Pf *v = pfint::lookup(pf, key);
  double d = 0;
  if (v == nullptr || v->kind != PFSTRING || !pfint::to_double(v->text, &d)) return 0;
  return d;
}

int pfget_boolean(Pf *pf, const char *key) {
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
  Pf *v = pfint::lookup(pf, key);
  if (v == nullptr) {
    if (!required) return 0;
    elog_log(0, "parse_param: required key '%s' is missing\n", key);
    return -1;
  }
  auto wrong = [&](const char *want) {
    if (v->kind == PFSTRING) {
      elog_log(0, "parse_param: key '%s': '%.80s' is not %s\n", key, v->text.c_str(), want);
    } else {
      elog_log(0, "parse_param: key '%s' holds %s, not %s\n", key, kind_name(v->kind), want);
    }
    return -2;
  };
  try {
    switch (kind) {
      case P_LINT:
      case P_SINT: {
        long long n = 0;
        bool is_int = kind == P_LINT;
        if (v->kind != PFSTRING ||
            !pfint::to_long_ranged(v->text, is_int ? INT_MIN : SHRT_MIN,
                                   is_int ? INT_MAX : SHRT_MAX, is_int ? UINT_MAX : USHRT_MAX, &n))
          return wrong(is_int ? "an integer" : "a short integer");
        if (is_int) {
          *static_cast<int *>(destination) = static_cast<int>(n);
        } else {
          *static_cast<short *>(destination) = static_cast<short>(n);
        }
        return 0;
      }
      case P_DBL:
      case P_FLT: {
        double d = 0;
        if (v->kind != PFSTRING || !pfint::to_double(v->text, &d)) return wrong("a number");
        if (kind == P_DBL) {
          *static_cast<double *>(destination) = d;
        } else {
          if (std::fabs(d) > FLT_MAX) return wrong("a number within float range");
          *static_cast<float *>(destination) = static_cast<float>(d);
        }
        return 0;
      }
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
          elog_log(0, "parse_param: key '%s': text longer than %d characters\n", key,
                   P_STRCP_SIZE - 1);
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
            elog_log(0, "parse_param: key '%s': element %zu of the list is not a text\n", key, i);
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
            elog_log(0, "parse_param: key '%s': entry '%s' is not %s\n", key, kv.first.c_str(),
                     blocks ? "an array" : "a text");
            return -2;
          }
        }
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
