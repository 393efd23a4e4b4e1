// tbl.cpp - Tbl lists, sorting and binary search, the text stack, word splitting and
// hooks.
//
// A Tbl is one contiguous byte buffer of `count` elements of `esize` bytes. A pointer
// list stores the pointer values themselves (esize = sizeof(void *)); a fixed-size list
// (inittbl) stores copies of its elements. Both share every routine: the "value" handed
// to a pointer list is the pointer, the one handed to a fixed-size list is the address
// of the element to copy. The elements of a fixed-size list are contiguous, so
// gettbl(tbl, 0) is the base of an array of maxtbl(tbl) elements that quicksort and
// ssearch can work on directly (valid until the list grows). An element removed from a
// fixed-size list (poptbl, shifttbl, deltbl) is copied into a slot of the list, whose
// address is returned; it stays valid until the next removal.
#include "base/tbl.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"

struct Tbl {
  unsigned char *data;
  long count;
  long capacity;
  long esize;
  bool fixed;              // made by inittbl: elements are copies, not pointers
  unsigned char *removed;  // fixed-size lists: the last removed element
};

namespace {

constexpr long kPtrSize = static_cast<long>(sizeof(void *));

// The most elements a list of esize-byte elements may hold: the byte count must fit a
// long, with room to double.
long max_count(long esize) { return LONG_MAX / 2 / esize; }

Tbl *make_tbl(long capacity_hint, long esize, bool fixed, const char *who) {
  Tbl *tbl = static_cast<Tbl *>(calloc(1, sizeof(Tbl)));
  if (tbl == nullptr) {
    elog_log(1, "%s: can't allocate a list\n", who);
    return nullptr;
  }
  tbl->esize = esize;
  tbl->fixed = fixed;
  // A hint is only a hint: an absurd one is not honoured up front.
  long cap = std::min({capacity_hint, 1L << 16, max_count(esize)});
  if (cap > 0) {
    tbl->data = static_cast<unsigned char *>(malloc(static_cast<size_t>(cap * esize)));
    if (tbl->data == nullptr) {
      elog_log(1, "%s: can't allocate room for %ld entries\n", who, cap);
      free(tbl);
      return nullptr;
    }
    tbl->capacity = cap;
  }
  return tbl;
}

// Makes room for `more` further elements; fatal when memory runs out or the list would
// outgrow what a long can count in bytes.
void reserve(Tbl *tbl, long more) {
  const long limit = max_count(tbl->esize);
  if (more > limit - tbl->count) OUT_OF_MEMORY(SIZE_MAX, "list entries");
  long need = tbl->count + more;
  if (need <= tbl->capacity) return;
  long cap = tbl->capacity > 0 ? tbl->capacity : std::min(8L, limit);
  while (cap < need) cap = cap > limit / 2 ? limit : cap * 2;
  size_t nbytes = static_cast<size_t>(cap) * static_cast<size_t>(tbl->esize);
  void *p = realloc(tbl->data, nbytes);
  if (p == nullptr) OUT_OF_MEMORY(nbytes, "list entries");
  tbl->data = static_cast<unsigned char *>(p);
  tbl->capacity = cap;
}

unsigned char *slot(const Tbl *tbl, long i) { return tbl->data + i * tbl->esize; }

// Stores `value` into element i: the pointer itself for a pointer list, a copy of the
// element it points to (zeros for none) for a fixed-size list.
void store(Tbl *tbl, long i, const void *value) {
  if (!tbl->fixed) {
    memcpy(slot(tbl, i), &value, sizeof value);
  } else if (value != nullptr) {
    memcpy(slot(tbl, i), value, static_cast<size_t>(tbl->esize));
  } else {
    memset(slot(tbl, i), 0, static_cast<size_t>(tbl->esize));
  }
}

void *entry(const Tbl *tbl, long i) {
  if (tbl->fixed) return slot(tbl, i);
  void *p;
  memcpy(&p, slot(tbl, i), sizeof p);
  return p;
}

// Takes element i out of the list and gives what gettbl gave for it before.
void *remove_at(Tbl *tbl, long i) {
  void *result;
  if (tbl->fixed) {
    if (tbl->removed == nullptr) {
      tbl->removed = static_cast<unsigned char *>(malloc(static_cast<size_t>(tbl->esize)));
      if (tbl->removed == nullptr) OUT_OF_MEMORY(static_cast<size_t>(tbl->esize), "removed entry");
    }
    memcpy(tbl->removed, slot(tbl, i), static_cast<size_t>(tbl->esize));
    result = tbl->removed;
  } else {
    result = entry(tbl, i);
  }
  memmove(slot(tbl, i), slot(tbl, i + 1), static_cast<size_t>((tbl->count - i - 1) * tbl->esize));
  tbl->count--;
  return result;
}

}  // namespace

Tbl *newtbl(long capacity_hint) { return make_tbl(capacity_hint, kPtrSize, false, "newtbl"); }

Tbl *inittbl(long capacity_hint, long element_size) {
  if (element_size <= 0) {
    elog_log(0, "inittbl: bad element size %ld\n", element_size);
    return nullptr;
  }
  return make_tbl(capacity_hint, element_size, true, "inittbl");
}

void clrtbl(Tbl *tbl, void (*free_entry)(void *)) {
  if (tbl == nullptr) return;
  if (free_entry != nullptr && !tbl->fixed) {
    for (long i = 0; i < tbl->count; i++) free_entry(entry(tbl, i));
  }
  tbl->count = 0;
}

void freetbl(Tbl *tbl, void (*free_entry)(void *)) {
  if (tbl == nullptr) return;
  clrtbl(tbl, free_entry);
  free(tbl->data);
  free(tbl->removed);
  free(tbl);
}

long maxtbl(const Tbl *tbl) { return tbl == nullptr ? 0 : tbl->count; }

void *gettbl(const Tbl *tbl, long i) {
  if (tbl == nullptr || i < 0 || i >= tbl->count) return nullptr;
  return entry(tbl, i);
}

long settbl(Tbl *tbl, long i, void *value) {
  if (tbl == nullptr || i < 0) return -1;
  if (i >= tbl->count) {
    if (i >= max_count(tbl->esize)) OUT_OF_MEMORY(SIZE_MAX, "list entries");
    reserve(tbl, i + 1 - tbl->count);
    memset(slot(tbl, tbl->count), 0, static_cast<size_t>((i + 1 - tbl->count) * tbl->esize));
    tbl->count = i + 1;
  }
  store(tbl, i, value);
  return i;
}

long instbl(Tbl *tbl, long i, void *value) {
  if (tbl == nullptr || i < 0 || i > tbl->count) return -1;
  reserve(tbl, 1);
  memmove(slot(tbl, i + 1), slot(tbl, i), static_cast<size_t>((tbl->count - i) * tbl->esize));
  tbl->count++;
  store(tbl, i, value);
  return i;
}

long pushtbl(Tbl *tbl, void *value) {
  if (tbl == nullptr) return -1;
  instbl(tbl, tbl->count, value);
  return tbl->count;
}

long addrtbl(Tbl *tbl, const void *elem) {
  if (tbl == nullptr) return -1;
  reserve(tbl, 1);
  if (elem != nullptr) {
    memcpy(slot(tbl, tbl->count), elem, static_cast<size_t>(tbl->esize));
  } else {
    memset(slot(tbl, tbl->count), 0, static_cast<size_t>(tbl->esize));
  }
  return ++tbl->count;
}

long addrtbls(Tbl *tbl, const void *elems, long n) {
  if (tbl == nullptr) return -1;
  if (n <= 0 || elems == nullptr) return tbl->count;
  reserve(tbl, n);
  memcpy(slot(tbl, tbl->count), elems, static_cast<size_t>(n * tbl->esize));
  tbl->count += n;
  return tbl->count;
}

long unshifttbl(Tbl *tbl, void *value) {
  if (tbl == nullptr) return -1;
  instbl(tbl, 0, value);
  return tbl->count;
}

void *poptbl(Tbl *tbl) {
  if (tbl == nullptr || tbl->count == 0) return nullptr;
  return remove_at(tbl, tbl->count - 1);
}

void *shifttbl(Tbl *tbl) {
  if (tbl == nullptr || tbl->count == 0) return nullptr;
  return remove_at(tbl, 0);
}

void *deltbl(Tbl *tbl, long i) {
  if (tbl == nullptr || i < 0 || i >= tbl->count) return nullptr;
  return remove_at(tbl, i);
}

Tbl *duptbl(const Tbl *tbl, void *(*dup)(void *)) {
  if (tbl == nullptr) return nullptr;
  Tbl *copy = make_tbl(tbl->count, tbl->esize, tbl->fixed, "duptbl");
  if (copy == nullptr) return nullptr;
  reserve(copy, tbl->count);
  if (tbl->count > 0) memcpy(copy->data, tbl->data, static_cast<size_t>(tbl->count * tbl->esize));
  copy->count = tbl->count;
  if (dup != nullptr && !tbl->fixed) {
    for (long i = 0; i < copy->count; i++) store(copy, i, dup(entry(copy, i)));
  }
  return copy;
}

Tbl *cattbl(Tbl *head, const Tbl *tail) {
  if (head == nullptr) return nullptr;
  if (tail == nullptr) return head;
  if (head->esize != tail->esize || head->fixed != tail->fixed) {
    elog_log(0, "cattbl: lists of different kinds\n");
    return nullptr;
  }
  long n = tail->count;  // read before growing: head and tail may be one list
  reserve(head, n);
  if (n > 0) memcpy(slot(head, head->count), tail->data, static_cast<size_t>(n * head->esize));
  head->count += n;
  return head;
}

long applytbl(Tbl *tbl, int (*fn)(void *entry, void *arg), void *arg) {
  if (tbl == nullptr || fn == nullptr) return 0;
  long nonzero = 0;
  for (long i = 0; i < tbl->count; i++) {
    if (fn(entry(tbl, i), arg) != 0) nonzero++;
  }
  return nonzero;
}

char *jointbl(const Tbl *tbl, const char *sep) {
  if (tbl != nullptr && tbl->fixed) {
    elog_log(0, "jointbl: the list holds elements, not texts\n");
    return nullptr;
  }
  std::string out;
  for (long i = 0; i < maxtbl(tbl); i++) {
    if (i > 0 && sep != nullptr) out += sep;
    const char *s = static_cast<const char *>(entry(tbl, i));
    if (s != nullptr) out += s;
  }
  char *result = strdup(out.c_str());
  if (result == nullptr) OUT_OF_MEMORY(out.size() + 1, "joined text");
  return result;
}

Tbl *readtbl(const char *path, int flag, char **header) {
  if (header != nullptr) *header = nullptr;
  if (path == nullptr) {
    elog_log(0, "readtbl: no file name\n");
    return nullptr;
  }
  FILE *fp = fopen(path, "r");
  if (fp == nullptr) {
    elog_log(1, "readtbl: can't open '%s'\n", path);
    return nullptr;
  }
  Tbl *tbl = newtbl(0);
  if (tbl == nullptr) {
    fclose(fp);
    return nullptr;
  }
  std::string head;
  bool in_header = flag == 1;
  char *line = nullptr;
  size_t size = 0;
  ssize_t n;
  while ((n = getline(&line, &size, fp)) >= 0) {
    if (in_header && line[0] == '#') {
      head.append(line, static_cast<size_t>(n));
      continue;
    }
    in_header = false;
    if (n > 0 && line[n - 1] == '\n') line[--n] = '\0';
    char *copy = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (copy == nullptr) OUT_OF_MEMORY(static_cast<size_t>(n) + 1, "line");
    memcpy(copy, line, static_cast<size_t>(n) + 1);
    pushtbl(tbl, copy);
  }
  bool failed = ferror(fp) != 0;
  free(line);
  fclose(fp);
  if (failed) {
    elog_log(1, "readtbl: error reading '%s'\n", path);
    freetbl(tbl, free);
    return nullptr;
  }
  if (flag == 1 && header != nullptr) {
    *header = strdup(head.c_str());
    if (*header == nullptr) OUT_OF_MEMORY(head.size() + 1, "header");
  }
  return tbl;
}

// Stable merge sort over element addresses, then one gather pass. Stable order keeps
// equal elements as they came. Every step is bounded by indices, never by the
// comparison's answers, so a comparison that is not a consistent ordering only gives a
// strange order, never a read or write outside the array (library sorts with unguarded
// inner loops do not promise that).
void quicksort(void *base, long count, long size,
               int (*cmp)(const void *a, const void *b, void *ctx), void *ctx) {
  if (base == nullptr || count < 2 || size <= 0 || cmp == nullptr) return;
  auto *bytes = static_cast<unsigned char *>(base);
  size_t n = static_cast<size_t>(count);
  std::vector<const unsigned char *> order(n), spare(n);
  for (size_t i = 0; i < n; i++) order[i] = bytes + i * static_cast<size_t>(size);
  for (size_t width = 1; width < n; width *= 2) {
    for (size_t lo = 0; lo < n; lo += 2 * width) {
      size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
      size_t i = lo, j = mid, k = lo;
      while (i < mid && j < hi) {
        // The right element goes first only when strictly smaller: stability.
        spare[k++] = cmp(order[j], order[i], ctx) < 0 ? order[j++] : order[i++];
      }
      while (i < mid) spare[k++] = order[i++];
      while (j < hi) spare[k++] = order[j++];
    }
    order.swap(spare);
  }
  std::vector<unsigned char> sorted(n * static_cast<size_t>(size));
  for (size_t i = 0; i < n; i++) {
    memcpy(sorted.data() + i * static_cast<size_t>(size), order[i], static_cast<size_t>(size));
  }
  memcpy(base, sorted.data(), sorted.size());
}

long ssearch(const void *key, long size, const void *base, long count, int unique,
             int (*cmp)(const void *a, const void *b, void *ctx), void *ctx, long *first,
             long *last) {
  if (cmp == nullptr) count = 0;
  return ssearch_by(
      key, size, base, count, unique, [&](const void *a, const void *b) { return cmp(a, b, ctx); },
      first, last);
}

void pushstr(void **stack, const char *text) {
  if (stack == nullptr || text == nullptr) return;
  auto *s = static_cast<std::string *>(*stack);
  try {
    if (s == nullptr) {
      s = new std::string;
      *stack = s;
    }
    s->append(text);
  } catch (const std::bad_alloc &) {
    OUT_OF_MEMORY(strlen(text) + (s != nullptr ? s->size() : 0), "text stack");
  }
}

char *popstr(void **stack, int keep) {
  if (stack == nullptr) return nullptr;
  auto *s = static_cast<std::string *>(*stack);
  *stack = nullptr;
  char *result = nullptr;
  if (keep) {
    const char *text = s != nullptr ? s->c_str() : "";
    result = strdup(text);
    if (result == nullptr) OUT_OF_MEMORY(strlen(text) + 1, "text stack");
  }
  delete s;
  return result;
}

int splitlist(const char *text, int *argc, char ***argv) {
  if (argc != nullptr) *argc = 0;
  if (argv != nullptr) *argv = nullptr;
  if (text == nullptr || argc == nullptr || argv == nullptr) {
    elog_log(0, "splitlist: no text or no place for the words\n");
    return -1;
  }
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == ',' || c == '\n'; };
  std::vector<std::string> words;
  const char *p = text;
  while (*p != '\0') {
    while (separator(*p)) p++;
    if (*p == '\0') break;
    std::string word;
    while (*p != '\0' && !separator(*p)) {
      if (*p == '"' || *p == '\'') {
        char quote = *p++;
        const char *end = strchr(p, quote);
        if (end == nullptr) {
          elog_log(0, "splitlist: unmatched %c in '%s'\n", quote, text);
          return -1;
        }
        word.append(p, static_cast<size_t>(end - p));
        p = end + 1;
      } else {
        word += *p++;
      }
    }
    words.push_back(std::move(word));
  }
  if (words.size() > static_cast<size_t>(INT32_MAX - 1)) {
    elog_log(0, "splitlist: too many words\n");
    return -1;
  }
  size_t nbytes = (words.size() + 1) * sizeof(char *);
  char **list = static_cast<char **>(malloc(nbytes));
  if (list == nullptr) OUT_OF_MEMORY(nbytes, "argv");
  for (size_t i = 0; i < words.size(); i++) {
    list[i] = strdup(words[i].c_str());
    if (list[i] == nullptr) OUT_OF_MEMORY(words[i].size() + 1, "argv word");
  }
  list[words.size()] = nullptr;
  *argc = static_cast<int>(words.size());
  *argv = list;
  return 0;
}

void freeargs(int argc, char **argv) {
  if (argv == nullptr) return;
  for (int i = 0; i < argc; i++) free(argv[i]);
  free(argv);
}

Hook *new_hook(void (*free_fn)(void *)) {
  Hook *hook = static_cast<Hook *>(malloc(sizeof(Hook)));
  if (hook == nullptr) OUT_OF_MEMORY(sizeof(Hook), "hook");
  hook->p = nullptr;
  hook->free_fn = free_fn;
  return hook;
}

void free_hook(Hook **hook) {
  if (hook == nullptr || *hook == nullptr) return;
  if ((*hook)->p != nullptr && (*hook)->free_fn != nullptr) (*hook)->free_fn((*hook)->p);
  free(*hook);
  *hook = nullptr;
}
