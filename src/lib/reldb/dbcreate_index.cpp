// dbcreate_index.cpp - building an index in memory, the envelope pass, and keeping an
// index current as records are added, marked and deleted.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

}  // namespace

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
  char *key = static_cast<char *>(malloc((size_t)jig->size));
  if (!key) OUT_OF_MEMORY((unsigned)jig->size, "key");
  index->jig = jig;
  index->search_jig = jig;
  index->entries = inittbl(count > 0 ? count : 1, jig->size);
  if (!index->entries) OUT_OF_MEMORY((unsigned)jig->size, "dbindex");
  for (int i = 0; i < count; i++) {
    db.record = i;
    dbmake_key(db, jig, key);
    addrtbl(index->entries, key);
  }
  free(key);
  if (count > 0) quicksort(gettbl(index->entries, 0), count, jig->size, dbcmp_sort, index);
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
