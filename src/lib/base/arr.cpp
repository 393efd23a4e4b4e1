// arr.cpp - Arr, a key-ordered associative array over std::map.
//
// The map's nodes own copies of the keys, so a key text handed out by keysarr stays put
// until its entry is deleted or the array freed. Allocation failures are fatal.
#include "base/arr.h"

#include <regex.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>

#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "base/textutil.h"

namespace {

// Transparent, so that lookups compare the caller's text without copying it.
struct KeyOrder {
  using is_transparent = void;
  int (*compare)(const char *, const char *);
  bool operator()(const std::string &a, const std::string &b) const {
    return compare(a.c_str(), b.c_str()) < 0;
  }
  bool operator()(const std::string &a, const char *b) const { return compare(a.c_str(), b) < 0; }
  bool operator()(const char *a, const std::string &b) const { return compare(a, b.c_str()) < 0; }
};

}  // namespace

struct Arr {
  std::map<std::string, void *, KeyOrder> map;
  explicit Arr(int (*compare)(const char *, const char *)) : map(KeyOrder{compare}) {}
};

Arr *newarr(int (*compare)(const char *, const char *)) {
  Arr *arr = new (std::nothrow) Arr(compare != nullptr ? compare : strcmp);
  if (arr == nullptr) elog_log(0, "newarr: can't allocate an array\n");
  return arr;
}

void freearr(Arr *arr, void (*free_value)(void *)) {
  if (arr == nullptr) return;
  if (free_value != nullptr) {
    for (auto &kv : arr->map) free_value(kv.second);
  }
  delete arr;
}

void *setarr(Arr *arr, const char *key, void *value) {
  if (arr == nullptr || key == nullptr) return nullptr;
  try {
    auto [it, inserted] = arr->map.try_emplace(key, value);
    if (inserted) return nullptr;
    void *old = it->second;
    it->second = value;
    return old;
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(strlen(key) + 1, "array entry");
  }
}

void *getarr(const Arr *arr, const char *key) {
  if (arr == nullptr || key == nullptr) return nullptr;
  auto it = arr->map.find(key);
  return it == arr->map.end() ? nullptr : it->second;
}

void *delarr(Arr *arr, const char *key) {
  if (arr == nullptr || key == nullptr) return nullptr;
  auto it = arr->map.find(key);
  if (it == arr->map.end()) return nullptr;
  void *old = it->second;
  arr->map.erase(it);
  return old;
}

long cntarr(const Arr *arr) { return arr == nullptr ? 0 : static_cast<long>(arr->map.size()); }

Tbl *keysarr(const Arr *arr) {
  Tbl *keys = newtbl(cntarr(arr));
  if (keys == nullptr || arr == nullptr) return keys;
  for (const auto &kv : arr->map) pushtbl(keys, const_cast<char *>(kv.first.c_str()));
  return keys;
}

Tbl *valsarr(const Arr *arr) {
  Tbl *vals = newtbl(cntarr(arr));
  if (vals == nullptr || arr == nullptr) return vals;
  for (const auto &kv : arr->map) pushtbl(vals, kv.second);
  return vals;
}

long applyarr(Arr *arr, int (*fn)(const char *key, void *value, void *arg), void *arg) {
  if (arr == nullptr || fn == nullptr) return 0;
  long nonzero = 0;
  for (auto &kv : arr->map) {
    if (fn(kv.first.c_str(), kv.second, arg) != 0) nonzero++;
  }
  return nonzero;
}

Tbl *greparr(const char *pattern, const Arr *arr) {
  if (pattern == nullptr) {
    elog_log(0, "greparr: no pattern\n");
    return nullptr;
  }
  regex_t re;
  char why[256];
  if (regcomp_bounded(&re, pattern, 0, why, sizeof why) != 0) {
    elog_log(0, "greparr: bad pattern '%s': %s\n", pattern, why);
    return nullptr;
  }
  Tbl *found = newtbl(0);
  if (found != nullptr && arr != nullptr) {
    for (const auto &kv : arr->map) {
      // The key matches as a whole when the leftmost-longest match spans all of it.
      regmatch_t m;
      if (regexec(&re, kv.first.c_str(), 1, &m, 0) == 0 && m.rm_so == 0 &&
          static_cast<size_t>(m.rm_eo) == kv.first.size()) {
        pushtbl(found, kv.second);
      }
    }
  }
  regfree(&re);
  return found;
}
