// dbjoin.cpp - joins of two tables or views into a view, and the discovery of the keys
// that join two tables from their schema keys (dbfind_join_keys, match_keys).
//
// A join walks the first table in record order; for each record it builds the key of the
// first table's key list and searches the second table's index for it (through a hash of
// the index's runs of equal leading keys where those are byte keys, the search then kept
// within the run). Candidates of the search are checked with the exact comparison, which
// is narrower than the search when a range takes part.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/dbedit.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"
#include "reldb/dbview.h"

namespace {

Dbptr invalid() {
  Dbptr bad;
  return *dbinvalid(&bad);
}

const char *text(Tbl *list, long i) { return static_cast<const char *>(gettbl(list, i)); }

bool has_range(const char *name) { return strchr(name, ':') != nullptr; }

// The start name of a range ("time" of "time::endtime").
std::string start_of(const char *range) {
  const char *colon = strchr(range, ':');
  return colon ? std::string(range, (size_t)(colon - range)) : std::string(range);
}

// Whether a plain name and a range name join: the plain name is the range's start.
bool plain_joins_range(const char *plain, const char *range) {
  return !has_range(plain) && has_range(range) && start_of(range) == plain;
}

bool in_list(Tbl *list, const char *name) {
  for (long i = 0; i < maxtbl(list); i++)
    if (text(list, i) && strcmp(text(list, i), name) == 0) return true;
  return false;
}

// The one-name result of a foreign key of `from` that is a primary, else alternate, key
// name of `to`.
const char *foreign_match(Relation *from, Relation *to) {
  for (long i = 0; i < maxtbl(from->foreign); i++) {
    const char *f = text(from->foreign, i);
    if (f && (in_list(to->primary, f) || in_list(to->alternate, f))) return f;
  }
  return nullptr;
}

// The second part of an outer row: the second table's Dbptrs with record dbNULL.
void null_part(Dbptr db2, Relation *r2, Dbptr *out) {
  if (!r2->has_refs) {
    out[0] = {db2.database, db2.table, dbALL, dbNULL};
    return;
  }
  for (long i = 0; i < maxtbl(r2->relrefs); i++) {
    Relref *rr = static_cast<Relref *>(gettbl(r2->relrefs, i));
    out[i] = {db2.database, rr->relation->id, dbALL, dbNULL};
  }
}

// The runs of index entries that are equal in their byte keys (held as `nwords` words an
// entry), found by hashing a key's words: a join looks its record's run up instead of
// searching the whole index for it. Entries equal in the leading key elements lie next to
// one another in the index, so a run is a range of entry positions.
class EntryRuns {
 public:
  EntryRuns(const std::vector<uint64_t> &words, size_t nwords, long n)
      : words_(words), nwords_(nwords) {
    size_t slots = 16;
    while (slots < 2 * (size_t)n) slots *= 2;
    slots_.assign(slots, -1);
    for (long i = 0; i < n;) {
      long j = i + 1;
      while (j < n && same(at(i), at(j))) j++;
      const int run = (int)runs_.size();
      runs_.push_back({i, j - 1, true});
      size_t h = hash(at(i)) & (slots - 1);
      while (slots_[h] >= 0) h = (h + 1) & (slots - 1);
      slots_[h] = run;
      i = j;
    }
  }
  struct Run {
    long first, last;
    bool ordered;  // the search within the run gives the answers of the whole index
  };
  // The run of entries whose byte keys are `key`, or none.
  Run *find(const uint64_t *key) {
    const size_t mask = slots_.size() - 1;
    for (size_t h = hash(key) & mask; slots_[h] >= 0; h = (h + 1) & mask) {
      Run &r = runs_[(size_t)slots_[h]];
      if (same(key, at(r.first))) return &r;
    }
    return nullptr;
  }
  std::vector<Run> &runs() { return runs_; }

 private:
  const uint64_t *at(long i) const { return words_.data() + (size_t)i * nwords_; }
  bool same(const uint64_t *a, const uint64_t *b) const {
    for (size_t w = 0; w < nwords_; w++)
      if (a[w] != b[w]) return false;
    return true;
  }
  size_t hash(const uint64_t *key) const {
    uint64_t h = 0x9e3779b97f4a7c15ull;
    for (size_t w = 0; w < nwords_; w++) {
      h ^= key[w];
      h *= 0xff51afd7ed558ccdull;
      h ^= h >> 32;
    }
    return (size_t)h;
  }
  const std::vector<uint64_t> &words_;
  size_t nwords_;
  std::vector<Run> runs_;
  std::vector<int> slots_;
};

double key_double(const char *at, int offset) {
  double v;
  memcpy(&v, at + offset, sizeof v);
  return v;
}

// Whether the search of a time point among the time ranges of one run (the envelope
// search of a point key against a range element, entries in index order) answers as a
// monotone test: starts and the larger of start and envelope never fall, and none is
// NaN. The binary search within the run then finds what the search of the whole index
// finds.
bool point_search_ordered(const char *entries, long esize, long first, long last,
                          const KeyElement &range) {
  double start0 = 0, top0 = 0;
  for (long i = first; i <= last; i++) {
    const char *entry = entries + (size_t)i * (size_t)esize + range.offset;
    double start, envelope;
    memcpy(&start, entry, sizeof start);
    memcpy(&envelope, entry + 16, sizeof envelope);
    if (start != start || envelope != envelope) return false;
    const double top = std::max(start, envelope);
    if (i > first && (start < start0 || top < top0)) return false;
    start0 = start;
    top0 = top;
  }
  return true;
}

// The key lists of a join: the caller's, or found here. Found lists go back to the
// caller when asked for (keys1 and keys2 both given), else they are freed with this.
class JoinKeys {
 public:
  JoinKeys(Tbl **keys1, Tbl **keys2) : keys1_(keys1), keys2_(keys2) {}
  ~JoinKeys() {
    if (!found_) return;
    if (keys1_ && keys2_) {
      *keys1_ = k1;
      *keys2_ = k2;
    } else {
      freetbl(k1, nullptr);
      freetbl(k2, nullptr);
    }
  }
  JoinKeys(const JoinKeys &) = delete;
  JoinKeys &operator=(const JoinKeys &) = delete;
  // Sets k1 and k2: 0, or -1 (logged) when no keys join the tables or the two lists
  // differ in length.
  int take(Dbptr db1, Dbptr db2, const char *name1, const char *name2) {
    if (keys1_ && *keys1_) {
      k1 = *keys1_;
      k2 = keys2_ && *keys2_ ? *keys2_ : k1;
    } else if (dbfind_join_keys(db1, db2, &k1, &k2) != 0) {
      elog_log(0, "No keys join tables %s and %s\n", name1, name2);
      return -1;
    } else {
      found_ = true;
    }
    if (maxtbl(k1) != maxtbl(k2) || maxtbl(k1) == 0) {
      elog_log(0, "dbjoin: the key lists of %s and %s differ in length\n", name1, name2);
      return -1;
    }
    return 0;
  }
  Tbl *k1 = nullptr, *k2 = nullptr;

 private:
  Tbl **keys1_, **keys2_;
  bool found_ = false;  // k1 and k2 were found here
};

// Adds the rows of a join (row_size pointers each) to its view and hands the records
// that matched nothing back in *unmatched when asked for: the view, or an invalid pointer
// with the view dropped.
Dbptr store_join(Dbptr view, const std::vector<Dbptr> &rows, size_t row_size,
                 const std::vector<int> &missed, Tbl **unmatched) {
  // A view's record is its base records' pointers, one after another.
  bool failed = false;
  if (dbquery(view, dbRECORD_SIZE, nullptr) != (int)(sizeof(Dbptr) * row_size)) {
    elog_log(0, "dbjoin: the view's records are not the size of its rows\n");
    failed = true;
  }
  if (!failed && db_add_records(view, reinterpret_cast<const char *>(rows.data()),
                                (long)(rows.size() / row_size)) < 0)
    failed = true;
  if (failed) {
    dbview_drop(view);
    return invalid();
  }
  if (unmatched) {
    *unmatched = newtbl((long)missed.size() + 1);
    for (int r : missed) pushtbl(*unmatched, reinterpret_cast<void *>((intptr_t)r));
  }
  return view;
}

}  // namespace

long match_keys(Tbl *a, long na, Tbl *b, long nb, Tbl *outa, Tbl *outb) {
  std::vector<std::pair<const char *, const char *>> ranges;
  for (long i = 0; i < na && i < maxtbl(a); i++) {
    const char *x = text(a, i);
    if (!x) continue;
    const char *e = equiv_field(x);
    for (long j = 0; j < nb && j < maxtbl(b); j++) {
      const char *y = text(b, j);
      if (!y) continue;
      bool pair = strcmp(x, y) == 0 || plain_joins_range(y, x) || plain_joins_range(x, y) ||
                  strcmp(e, y) == 0 || plain_joins_range(e, y) || plain_joins_range(y, e);
      if (!pair) continue;
      if (has_range(x) || has_range(y)) {
        ranges.push_back({x, y});
      } else {
        pushtbl(outa, const_cast<char *>(x));
        pushtbl(outb, const_cast<char *>(y));
      }
      break;
    }
  }
  for (auto &p : ranges) {
    pushtbl(outa, const_cast<char *>(p.first));
    pushtbl(outb, const_cast<char *>(p.second));
  }
  return maxtbl(outa);
}

int dbfind_join_keys(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2) {
  *keys1 = *keys2 = nullptr;
  db1.field = db1.record = db2.field = db2.record = dbALL;
  Relation *r1 = nullptr, *r2 = nullptr;
  if (dbresolve(db1, nullptr, &r1, nullptr, nullptr, nullptr, nullptr) != dbTABLE ||
      dbresolve(db2, nullptr, &r2, nullptr, nullptr, nullptr, nullptr) != dbTABLE)
    return dbINVALID;
  Tbl *k1 = newtbl(4), *k2 = newtbl(4);
  const char *one = foreign_match(r1, r2);
  if (!one) one = foreign_match(r2, r1);
  if (one) {
    pushtbl(k1, const_cast<char *>(one));
    pushtbl(k2, const_cast<char *>(one));
  } else {
    struct {
      Tbl *a, *b;
      bool swap;
    } tries[] = {{r1->primary, r2->primary, false},
                 {r1->alternate, r2->alternate, false},
                 {r1->primary, r2->alternate, false},
                 {r2->primary, r1->alternate, true}};
    for (auto &t : tries) {
      Tbl *outa = t.swap ? k2 : k1, *outb = t.swap ? k1 : k2;
      if (match_keys(t.a, maxtbl(t.a), t.b, maxtbl(t.b), outa, outb) > 0) break;
    }
  }
  if (maxtbl(k1) == 0) {
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    return 1;
  }
  *keys1 = k1;
  *keys2 = k2;
  return 0;
}

Dbptr dbjoin(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2, int outer, Tbl **unmatched,
             const char *name) {
  if (unmatched) *unmatched = nullptr;
  db1.field = db1.record = db2.field = db2.record = dbALL;
  char *name1 = nullptr, *name2 = nullptr;
  Relation *r2 = nullptr;
  if (dbquery(db1, dbTABLE_NAME, &name1) < 0 || dbquery(db2, dbTABLE_NAME, &name2) < 0 ||
      dbresolve(db2, nullptr, &r2, nullptr, nullptr, nullptr, nullptr) != dbTABLE) {
    elog_log(0, "dbjoin: invalid table pointer\n");
    return invalid();
  }
  int count1 = dbquery(db1, dbRECORD_COUNT, nullptr);
  if (count1 < 0 || dbquery(db2, dbRECORD_COUNT, nullptr) < 0) return invalid();

  JoinKeys join_keys(keys1, keys2);
  if (join_keys.take(db1, db2, name1, name2) != 0) return invalid();
  Tbl *k1 = join_keys.k1, *k2 = join_keys.k2;

  Tbl *members = newtbl(2);
  pushtbl(members, name1);
  pushtbl(members, name2);
  Dbptr view = dbtbl2view(db1, name, members);
  freetbl(members, nullptr);
  if (view.table < 0) {
    return invalid();
  }
  Dbindex *index = nullptr;
  Jig *jig = nullptr;
  if (dbget_index(db2, k2, &index) < 0 || !index || dbmake_jig(db1, k1, &jig) != 0) {
    dbview_drop(view);
    return invalid();
  }
  // A range widens a match beyond equal keys, so only range-free searches may stop at
  // the first equal entry.
  int unique =
      index->unique && !jig->range && !index->jig->range && maxtbl(index->jig->keys) == maxtbl(k1);
  const int n1 = dbsize(db1), n2 = dbsize(db2);
  std::vector<Dbptr> row((size_t)(n1 + n2));
  // The keys of the first table, all at once (its records read in blocks).
  std::vector<char> keys((size_t)count1 * (size_t)jig->size);
  if (dbmake_keys(db1, jig, count1, keys.data()) != 0) {
    dbfree_jig(jig);
    dbview_drop(view);
    return invalid();
  }
  // The index does not change during the join (the view is another table).
  const long n = maxtbl(index->entries);
  const long esize = index->jig->size;
  const char *entries = n > 0 ? static_cast<const char *>(gettbl(index->entries, 0)) : nullptr;
  // The leading key elements that are alike on both sides and no ranges are compared as
  // byte keys held in big-endian words (db_byte_keys), the rest element by element: the
  // same answers as dbcmp_search and dbcmp, probe for probe.
  std::vector<uint64_t> words1, words2;
  size_t nwords = 0;
  long plain = 0;
  const long ne = std::min(maxtbl(jig->elements), maxtbl(index->jig->elements));
  for (; plain < ne; plain++) {
    const KeyElement *a = static_cast<const KeyElement *>(gettbl(jig->elements, plain));
    const KeyElement *b = static_cast<const KeyElement *>(gettbl(index->jig->elements, plain));
    if (a->type != b->type || a->type == dbKEY_INT_RANGE || a->type == dbKEY_REAL_RANGE ||
        (a->type == dbSTRING && a->size != b->size))
      break;
  }
  {
    std::vector<unsigned char> bytes1, bytes2;
    size_t w1 = 0, w2 = 0;
    if (plain > 0 && db_byte_keys(jig, plain, false, keys.data(), count1, &w1, &bytes1) &&
        db_byte_keys(index->jig, plain, false, entries, n, &w2, &bytes2) && w1 == w2 && w1 > 0) {
      nwords = (w1 + 7) / 8;
      auto pack = [&](const std::vector<unsigned char> &bytes, long count,
                      std::vector<uint64_t> *out) {
        out->resize((size_t)count * nwords);
        for (long k = 0; k < count; k++)
          for (size_t w = 0; w < nwords; w++)
            (*out)[(size_t)k * nwords + w] = db_key_word(bytes.data() + (size_t)k * w1, w1, w);
      };
      pack(bytes1, count1, &words1);
      pack(bytes2, n, &words2);
    }
  }
  // The elements after the byte keys (all of them without byte keys).
  const DbKeyMatch rest(jig, index->jig, nwords ? plain : 0);
  const bool all_plain = nwords && plain == ne;
  auto word_cmp = [&](const uint64_t *x, const uint64_t *y) {
    for (size_t w = 0; w < nwords; w++)
      if (x[w] != y[w]) return x[w] < y[w] ? -1 : 1;
    return 0;
  };
  // Byte keys that are the whole key: a record's candidates are its run. Byte keys and
  // then a time point against a time range: the candidates are searched within the run.
  std::unique_ptr<EntryRuns> runs;
  bool point_in_range = false;
  int point_at = 0, range_at = 0;  // offsets of the point in a key, the range in an entry
  if (nwords && n > 0) {
    if (!all_plain && plain + 1 == ne) {
      const KeyElement *a = static_cast<const KeyElement *>(gettbl(jig->elements, plain));
      const KeyElement *b = static_cast<const KeyElement *>(gettbl(index->jig->elements, plain));
      point_in_range = a->type == dbREAL && b->type == dbKEY_REAL_RANGE;
      point_at = a->offset;
      range_at = b->offset;
    }
    if (all_plain || point_in_range) {
      runs = std::make_unique<EntryRuns>(words2, nwords, n);
      if (point_in_range) {
        const KeyElement *b = static_cast<const KeyElement *>(gettbl(index->jig->elements, plain));
        for (EntryRuns::Run &run : runs->runs())
          run.ordered = point_search_ordered(entries, esize, run.first, run.last, *b);
      }
    }
  }
  std::vector<int> missed;
  bool failed = false;
  // The rows of the view, added in one go at the end. A record of a table stands for
  // itself; a view's record holds its base records.
  Relation *r1 = nullptr;
  dbresolve(db1, nullptr, &r1, nullptr, nullptr, nullptr, nullptr);
  const bool plain1 = r1 && !r1->has_refs, plain2 = !r2->has_refs;
  std::vector<Dbptr> rows;
  auto add_row = [&]() { rows.insert(rows.end(), row.begin(), row.end()); };
  for (int r = 0; r < count1 && !failed; r++) {
    db1.record = r;
    if (plain1)
      row[0] = db1;
    else
      memcpy(row.data(), dbref(&db1), sizeof(Dbptr) * (size_t)n1);
    const char *key = keys.data() + (size_t)r * (size_t)jig->size;
    long first = 0, last = -1;
    long found = 0;
    const uint64_t *mine = nwords ? words1.data() + (size_t)r * nwords : nullptr;
    const EntryRuns::Run *run = runs ? runs->find(mine) : nullptr;
    // A unique search stops at the first equal entry it meets: a longer run is left to it.
    if (runs && !run) {
      found = 0;
    } else if (run && all_plain && (!unique || run->first == run->last)) {
      first = run->first;
      last = run->last;
      found = last - first + 1;
    } else if (run && point_in_range && run->ordered) {
      // rest.search of a point against a range: within the range up to its envelope 0,
      // else by the start.
      const char *base = entries + (size_t)run->first * (size_t)esize;
      const double point = key_double(key, point_at);
      found = ssearch_by(
          key, esize, base, run->last - run->first + 1, unique,
          [&](const void *, const void *b) {
            const char *range = static_cast<const char *>(b) + range_at;
            const double start = key_double(range, 0), envelope = key_double(range, 16);
            if (start <= point && point <= envelope) return 0;
            return (point > start) - (point < start);
          },
          &first, &last);
      first += run->first;
      last += run->first;
    } else if (nwords && n > 0) {
      // ssearch over entry positions: the key and the entry by their byte keys first.
      found = ssearch_by(
          key, esize, entries, n, unique,
          [&](const void *, const void *b) {
            const char *entry = static_cast<const char *>(b);
            const size_t at = (size_t)(entry - entries) / (size_t)esize;
            int c = word_cmp(mine, words2.data() + at * nwords);
            return c || all_plain ? c : rest.search(key, entry);
          },
          &first, &last);
    } else if (n > 0) {
      found = ssearch_by(
          key, esize, entries, n, unique,
          [&](const void *a, const void *b) {
            return rest.search(static_cast<const char *>(a), static_cast<const char *>(b));
          },
          &first, &last);
    }
    int matched = 0;
    for (long i = first; found > 0 && i <= last && !failed; i++) {
      const char *entry = entries + (size_t)i * (size_t)esize;
      // Entries equal in the byte keys are equal in every element.
      if (point_in_range) {
        // rest.exact of a point against a range: within it from start to end.
        const double point = key_double(key, point_at);
        const char *range = entry + range_at;
        if (!(key_double(range, 0) <= point && point <= key_double(range, 8))) continue;
      } else if (!all_plain && rest.exact(key, entry) != 0) {
        continue;
      }
      int32_t record;
      memcpy(&record, entry, sizeof record);
      db2.record = record;
      if (plain2)
        row[(size_t)n1] = db2;
      else
        memcpy(row.data() + n1, dbref(&db2), sizeof(Dbptr) * (size_t)n2);
      add_row();
      matched++;
    }
    // A record whose candidates all fail the exact test found no match either.
    if (matched == 0 && !failed) {
      if (outer) {
        null_part(db2, r2, row.data() + n1);
        add_row();
      }
      missed.push_back(r);
    }
  }
  dbfree_jig(jig);
  if (failed) {
    dbview_drop(view);
    return invalid();
  }
  return store_join(view, rows, row.size(), missed, unmatched);
}
