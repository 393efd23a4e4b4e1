// dbcreate_index.cpp - building an index in memory, the envelope pass, and keeping an
// index current as records are added, marked and deleted.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"

namespace {

// Sets every range envelope of an entry back to the range's end.
void reset_envelopes(const Jig *jig, char *entry) {
  for (long i = 0; i < maxtbl(jig->elements); i++) {
    const KeyElement *e = static_cast<const KeyElement *>(gettbl(jig->elements, i));
    if (e->type == dbKEY_INT_RANGE || e->type == dbKEY_REAL_RANGE)
      memcpy(entry + e->offset + 2 * e->size, entry + e->offset + e->size, (size_t)e->size);
  }
}

char *entry_at(Dbindex *index, long i) { return static_cast<char *>(gettbl(index->entries, i)); }

// Recomputes the envelopes from entry `from` on, after an entry was inserted there or
// removed from before it; stops once an entry past `from` keeps its envelope, since no
// later one can change then.
void refresh_envelopes(Dbindex *index, long from) {
  const Jig *jig = index->jig;
  long n = maxtbl(index->entries);
  std::vector<char> before((size_t)jig->size);
  for (long j = from; j < n; j++) {
    char *e = entry_at(index, j);
    memcpy(before.data(), e, (size_t)jig->size);
    reset_envelopes(jig, e);
    if (j > 0) dbcmp_envelope(entry_at(index, j - 1), e, index);
    if (j > from && memcmp(before.data(), e, (size_t)jig->size) == 0) break;
  }
}

int32_t record_of(const char *entry) {
  int32_t r;
  memcpy(&r, entry, sizeof r);
  return r;
}

Dbptr table_of(const Jig *jig) { return {jig->database, jig->table, dbALL, dbALL}; }

// The positions 0 .. count-1 in the order of their byte keys (`width` bytes each), ties by
// position. The keys are held as W big-endian words each, so that comparing is comparing
// words.
template <size_t W>
std::vector<uint32_t> order_of(const std::vector<unsigned char> &keys, size_t width, long count) {
  struct Item {
    uint64_t word[W];
    uint32_t at;
  };
  std::vector<Item> items((size_t)count);
  for (long n = 0; n < count; n++) {
    const unsigned char *k = keys.data() + (size_t)n * width;
    Item &it = items[(size_t)n];
    for (size_t w = 0; w < W; w++) it.word[w] = db_key_word(k, width, w);
    it.at = (uint32_t)n;
  }
  std::sort(items.begin(), items.end(), [](const Item &a, const Item &b) {
    for (size_t w = 0; w < W; w++)
      if (a.word[w] != b.word[w]) return a.word[w] < b.word[w];
    return a.at < b.at;
  });
  std::vector<uint32_t> order((size_t)count);
  for (long n = 0; n < count; n++) order[(size_t)n] = items[(size_t)n].at;
  return order;
}

// order_of for keys of at most 8 bytes: a least-significant-byte-first radix sort, whose
// passes keep the order of equal digits, so that ties stay in position order.
std::vector<uint32_t> radix_order(const std::vector<unsigned char> &keys, size_t width,
                                  long count) {
  std::vector<uint64_t> key((size_t)count), key2((size_t)count);
  std::vector<uint32_t> order((size_t)count), order2((size_t)count);
  for (long n = 0; n < count; n++) {
    const unsigned char *k = keys.data() + (size_t)n * width;
    // The key's bytes as one number, its first byte the most significant.
    key[(size_t)n] = width ? db_key_word(k, width, 0) >> (8 * (8 - width)) : 0;
    order[(size_t)n] = (uint32_t)n;
  }
  for (size_t pass = 0; pass < width; pass++) {
    const int shift = (int)(8 * pass);
    size_t start[257] = {0};
    for (uint64_t v : key) start[((v >> shift) & 0xff) + 1]++;
    for (int d = 0; d < 256; d++) start[d + 1] += start[d];
    for (size_t n = 0; n < key.size(); n++) {
      size_t to = start[(key[n] >> shift) & 0xff]++;
      key2[to] = key[n];
      order2[to] = order[n];
    }
    key.swap(key2);
    order.swap(order2);
  }
  return order;
}

// The positions 0 .. count-1 in the order of their numbers (each below 2^bits), ties by
// position: a least-significant-digit-first radix sort of 11-bit digits, whose passes
// keep the order of equal digits. The digit counts of every pass are taken in one read.
std::vector<uint32_t> number_order(std::vector<uint64_t> &key, int bits) {
  constexpr int kDigit = 11;
  constexpr size_t kBuckets = (size_t)1 << kDigit;
  const size_t count = key.size();
  const int passes = (bits + kDigit - 1) / kDigit;
  std::vector<size_t> start((size_t)passes * kBuckets, 0);
  for (uint64_t v : key)
    for (int p = 0; p < passes; p++)
      start[(size_t)p * kBuckets + ((v >> (kDigit * p)) & (kBuckets - 1))]++;
  std::vector<uint32_t> order(count), order2(count);
  for (size_t n = 0; n < count; n++) order[n] = (uint32_t)n;
  std::vector<uint64_t> key2(count);
  for (int p = 0; p < passes; p++) {
    size_t *at = start.data() + (size_t)p * kBuckets;
    const int shift = kDigit * p;
    // A pass whose digit is the same in every number moves nothing.
    if (count > 0 && at[(key[0] >> shift) & (kBuckets - 1)] == count) continue;
    size_t sum = 0;
    for (size_t d = 0; d < kBuckets; d++) {
      size_t c = at[d];
      at[d] = sum;
      sum += c;
    }
    for (size_t n = 0; n < count; n++) {
      size_t to = at[(key[n] >> shift) & (kBuckets - 1)]++;
      key2[to] = key[n];
      order2[to] = order[n];
    }
    key.swap(key2);
    order.swap(order2);
  }
  return order;
}

// The byte keys (`width` bytes each) as numbers in the same order, when they fit in 64
// bits: each byte that varies is taken as a digit from its smallest value on, a digit
// base one more than its span (a mixed-radix number). False when they don't fit; the
// bytes that vary go to *varying in any case.
bool key_numbers(const std::vector<unsigned char> &keys, size_t width, long count,
                 std::vector<size_t> *varying, std::vector<uint64_t> *numbers, int *bits) {
  std::vector<unsigned char> lo(width, 0xff), hi(width, 0);
  for (long n = 0; n < count; n++) {
    const unsigned char *k = keys.data() + (size_t)n * width;
    for (size_t b = 0; b < width; b++) {
      lo[b] = std::min(lo[b], k[b]);
      hi[b] = std::max(hi[b], k[b]);
    }
  }
  varying->clear();
  uint64_t product = 1;
  bool fits = true;
  std::vector<uint64_t> base;
  for (size_t b = 0; b < width; b++) {
    if (lo[b] >= hi[b]) continue;
    varying->push_back(b);
    const uint64_t r = (uint64_t)(hi[b] - lo[b]) + 1;
    base.push_back(r);
    if (product > UINT64_MAX / r)
      fits = false;
    else
      product *= r;
  }
  if (!fits) return false;
  numbers->resize((size_t)count);
  for (long n = 0; n < count; n++) {
    const unsigned char *k = keys.data() + (size_t)n * width;
    uint64_t v = 0;
    for (size_t i = 0; i < varying->size(); i++) {
      const size_t b = (*varying)[i];
      v = v * base[i] + (uint64_t)(k[b] - lo[b]);
    }
    (*numbers)[(size_t)n] = v;
  }
  *bits = 0;
  for (uint64_t top = product - 1; top; top >>= 1) ++*bits;
  return true;
}

// Sorts `count` entries of the index's jig, built in record order, into key order; equal
// keys keep their order. The entries are stored in index->entries.
void sort_into(Dbindex *index, char *built, long count) {
  const size_t esize = (size_t)index->jig->size;
  size_t width = 0;
  std::vector<unsigned char> keys;
  // The byte keys order the entries as dbcmp_sort does, and ties go by position, which is
  // the order of a stable sort: any sort then gives the same result.
  if (!db_byte_keys(index->jig, maxtbl(index->jig->elements), true, built, count, &width, &keys)) {
    quicksort(built, count, (long)esize, dbcmp_sort, index);
    addrtbls(index->entries, built, count);
    return;
  }
  // Byte columns that hold the same byte in every key decide nothing: the others make a
  // number when they fit in 64 bits, else they are sorted as bytes.
  std::vector<size_t> varying;
  std::vector<uint64_t> numbers;
  int bits = 0;
  std::vector<uint32_t> order;
  if (key_numbers(keys, width, count, &varying, &numbers, &bits)) {
    order = number_order(numbers, bits);
  } else {
    if (varying.size() < width) {
      const size_t packed = varying.size();
      for (long n = 0; n < count; n++) {
        const unsigned char *from = keys.data() + (size_t)n * width;
        unsigned char *to = keys.data() + (size_t)n * packed;
        for (size_t b = 0; b < packed; b++) to[b] = from[varying[b]];
      }
      width = packed;
      keys.resize((size_t)count * width);
    }
    const size_t words = (width + 7) / 8;
    if (words <= 1)
      order = radix_order(keys, width, count);
    else if (words == 2)
      order = order_of<2>(keys, width, count);
    else if (words == 3)
      order = order_of<3>(keys, width, count);
    else if (words == 4)
      order = order_of<4>(keys, width, count);
    else {
      order.resize((size_t)count);
      for (long n = 0; n < count; n++) order[(size_t)n] = (uint32_t)n;
      const unsigned char *base = keys.data();
      std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        int c = memcmp(base + (size_t)a * width, base + (size_t)b * width, width);
        return c ? c < 0 : a < b;
      });
    }
  }
  // The entries go into the index's list in their order.
  if (count > 0) {
    addrtbls(index->entries, built, count);
    char *to = static_cast<char *>(gettbl(index->entries, 0));
    for (size_t n = 0; n < order.size(); n++)
      memcpy(to + n * esize, built + (size_t)order[n] * esize, esize);
  }
}

}  // namespace

bool db_byte_keys(const Jig *jig, long nelements, bool ranges, const char *entries, long count,
                  size_t *width, std::vector<unsigned char> *out) {
  std::vector<KeyElement> elements;
  size_t w = 0;
  for (long i = 0; i < nelements && i < maxtbl(jig->elements); i++) {
    const KeyElement *e = static_cast<const KeyElement *>(gettbl(jig->elements, i));
    const bool range = e->type == dbKEY_INT_RANGE || e->type == dbKEY_REAL_RANGE;
    if (range && !ranges) return false;
    if (e->type == dbSTRING)
      w += (size_t)e->size;
    else if (e->type == dbINTEGER || e->type == dbKEY_INT_RANGE)
      w += 4;
    else if (e->type == dbREAL || e->type == dbKEY_REAL_RANGE)
      w += 8;
    else
      return false;
    elements.push_back(*e);
  }
  *width = w;
  out->assign((size_t)count * w, 0);
  const size_t esize = (size_t)jig->size;
  for (long n = 0; n < count; n++) {
    const char *entry = entries + (size_t)n * esize;
    unsigned char *k = out->data() + (size_t)n * w;
    for (const KeyElement &e : elements) {
      const char *at = entry + e.offset;
      if (e.type == dbSTRING) {
        // The text to its first NUL; the rest of its bytes stay zero.
        for (int b = 0; b < e.size && at[b]; b++) k[b] = (unsigned char)at[b];
        k += e.size;
        continue;
      }
      uint64_t bits;
      int bytes;
      if (e.type == dbINTEGER || e.type == dbKEY_INT_RANGE) {
        int32_t v;
        memcpy(&v, at, sizeof v);
        bits = (uint32_t)v ^ 0x80000000u;
        bytes = 4;
      } else {
        double v;
        memcpy(&v, at, sizeof v);
        if (v != v) return false;
        if (v == 0) v = 0.0;
        memcpy(&bits, &v, sizeof bits);
        bits = bits >> 63 ? ~bits : bits | (uint64_t)1 << 63;
        bytes = 8;
      }
      for (int b = bytes - 1; b >= 0; b--) *k++ = (unsigned char)(bits >> (8 * b));
    }
  }
  return true;
}

int dbfix_envelope(Dbindex *index) {
  long n = maxtbl(index->entries);
  for (long i = 1; i < n; i++) dbcmp_envelope(entry_at(index, i - 1), entry_at(index, i), index);
  return 0;
}

Dbindex *dbcreate_index(Dbptr db, Tbl *keys, const char *name) {
  db.field = dbALL;
  db.record = dbALL;
  Dbindex *index = new_dbindex();
  Jig *jig = nullptr;
  if (dbmake_jig(db, keys, &jig) != 0) {
    dbfree_index(index);
    return nullptr;
  }
  index->name = db_strdup(name ? name : "");
  index->file = nullptr;
  index->unique = 0;
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (count == dbINVALID || count < 0) {
    dbfree_jig(jig);
    dbfree_index(index);
    return nullptr;
  }
  index->jig = jig;
  index->search_jig = jig;
  index->entries = inittbl(count > 0 ? count : 1, jig->size);
  if (!index->entries) OUT_OF_MEMORY((unsigned)jig->size, "dbindex");
  // Not cleared here: dbmake_keys clears the entries it fills.
  std::unique_ptr<char[]> room(new char[(size_t)count * (size_t)jig->size + 1]);
  char *built = room.get();
  if (dbmake_keys(db, jig, count, built) != 0) {
    dbfree_index(index);
    return nullptr;
  }
  sort_into(index, built, count);
  if (jig->range) dbfix_envelope(index);
  index->search_jig = nullptr;
  index->indexed = (int)maxtbl(index->entries);
  return index;
}

int dbadd2index(Dbptr db, Dbindex *index) {
  Jig *jig = index->jig;
  std::vector<char> key((size_t)jig->size);
  dbmake_key(db, jig, key.data());
  Jig *saved = index->search_jig;
  index->search_jig = jig;
  long n = maxtbl(index->entries);
  long first = 0, last = -1;
  if (n > 0)
    ssearch(key.data(), jig->size, gettbl(index->entries, 0), n, 0, dbcmp_sort, index, &first,
            &last);
  long at = n > 0 ? last + 1 : 0;
  instbl(index->entries, at, key.data());
  if (jig->range) refresh_envelopes(index, at);
  if (index->unique) {
    char *mine = entry_at(index, at);
    if ((at > 0 && dbcmp_search(mine, entry_at(index, at - 1), index) == 0) ||
        (at + 1 < maxtbl(index->entries) &&
         dbcmp_search(mine, entry_at(index, at + 1), index) == 0))
      index->unique = 0;
  }
  index->search_jig = saved;
  // A record left out (a null record) must not be entered later by dbupdate_index.
  index->indexed = std::max(index->indexed + 1, db.record + 1);
  return 0;
}

int dbupdate_index(Dbindex *index) {
  Dbptr db = table_of(index->jig);
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (count == dbINVALID || count < 0) return -1;
  for (int r = index->indexed; r < count; r++) {
    db.record = r;
    dbadd2index(db, index);
  }
  index->indexed = count;
  return 0;
}

void dbindex_remove(Dbindex *index, int record, bool renumber) {
  Jig *jig = index->jig;
  long n = maxtbl(index->entries);
  long found = -1;
  if (!renumber && n > 0) {
    std::vector<char> key((size_t)jig->size);
    Dbptr db = table_of(jig);
    db.record = record;
    dbmake_key(db, jig, key.data());
    Jig *saved = index->search_jig;
    index->search_jig = jig;
    long first = 0, last = -1;
    if (ssearch(key.data(), jig->size, gettbl(index->entries, 0), n, 0, dbcmp_sort, index, &first,
                &last) > 0) {
      for (long i = first; i <= last && found < 0; i++)
        if (record_of(entry_at(index, i)) == record) found = i;
    }
    index->search_jig = saved;
  }
  // The record's contents may have changed since it was entered: find it by number.
  for (long i = 0; i < n && found < 0; i++)
    if (record_of(entry_at(index, i)) == record) found = i;
  if (found >= 0) deltbl(index->entries, found);
  if (renumber) {
    for (long i = 0; i < maxtbl(index->entries); i++) {
      char *e = entry_at(index, i);
      int32_t r = record_of(e);
      if (r > record) {
        r--;
        memcpy(e, &r, sizeof r);
      }
    }
    if (record < index->indexed) index->indexed--;
  }
  if (found >= 0 && jig->range) refresh_envelopes(index, found);
}
