// dbjoin.cpp - joins of two tables or views into a view, and the discovery of the keys
// that join two tables from their schema keys (dbfind_join_keys, match_keys).
//
// A join walks the first table in record order; for each record it builds the key of the
// first table's key list and searches the second table's index for it. Candidates of the
// search are checked with the exact comparison, which is narrower than the search when a
// range takes part.
#include <cstdint>
#include <cstring>
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

  bool given = keys1 && *keys1;
  Tbl *k1 = nullptr, *k2 = nullptr;
  if (given) {
    k1 = *keys1;
    k2 = keys2 && *keys2 ? *keys2 : k1;
  } else if (dbfind_join_keys(db1, db2, &k1, &k2) != 0) {
    elog_log(0, "No keys join tables %s and %s\n", name1, name2);
    return invalid();
  }
  // Discovered lists go back to the caller when asked for, else they are freed here.
  auto release_keys = [&]() {
    if (given) return;
    if (keys1 && keys2) {
      *keys1 = k1;
      *keys2 = k2;
    } else {
      freetbl(k1, nullptr);
      freetbl(k2, nullptr);
    }
  };
  if (maxtbl(k1) != maxtbl(k2) || maxtbl(k1) == 0) {
    elog_log(0, "dbjoin: the key lists of %s and %s differ in length\n", name1, name2);
    release_keys();
    return invalid();
  }

  Tbl *members = newtbl(2);
  pushtbl(members, name1);
  pushtbl(members, name2);
  Dbptr view = dbtbl2view(db1, name, members);
  freetbl(members, nullptr);
  if (view.table < 0) {
    release_keys();
    return invalid();
  }
  Dbindex *index = nullptr;
  Jig *jig = nullptr;
  if (dbget_index(db2, k2, &index) < 0 || !index || dbmake_jig(db1, k1, &jig) != 0) {
    dbview_drop(view);
    release_keys();
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
    release_keys();
    return invalid();
  }
  std::vector<int> missed;
  bool failed = false;
  for (int r = 0; r < count1 && !failed; r++) {
    db1.record = r;
    memcpy(row.data(), dbref(&db1), sizeof(Dbptr) * (size_t)n1);
    const char *key = keys.data() + (size_t)r * (size_t)jig->size;
    long n = maxtbl(index->entries);
    long first = 0, last = -1;
    index->search_jig = jig;
    long found = n > 0 ? ssearch(key, index->jig->size, gettbl(index->entries, 0), n, unique,
                                 dbcmp_search, index, &first, &last)
                       : 0;
    int matched = 0;
    for (long i = first; found > 0 && i <= last && !failed; i++) {
      index->search_jig = jig;
      if (dbcmp(key, gettbl(index->entries, i), index) != 0) continue;
      db2.record = dbrecord(index, (int)i);
      memcpy(row.data() + n1, dbref(&db2), sizeof(Dbptr) * (size_t)n2);
      if (dbadd(view, reinterpret_cast<const char *>(row.data())) < 0) failed = true;
      matched++;
    }
    index->search_jig = nullptr;
    // A record whose candidates all fail the exact test found no match either.
    if (matched == 0 && !failed) {
      if (outer) {
        null_part(db2, r2, row.data() + n1);
        if (dbadd(view, reinterpret_cast<const char *>(row.data())) < 0) failed = true;
      }
      missed.push_back(r);
    }
  }
  dbfree_jig(jig);
  release_keys();
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
