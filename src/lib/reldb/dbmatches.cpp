// dbmatches.cpp - the records of a table that match one record, with the search state
// kept across calls in a caller's Hook.
//
// The hook keeps the first table's jig, the key buffer and the second table's key names;
// it never keeps the index itself. The index is found again on every call (dbget_index),
// so a hook stays sound after the table's indexes were flushed, rebuilt or reordered,
// and the index is brought up to date with records appended since it was built.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"
#include "reldb/dbview.h"

namespace {

struct MatchesHook {
  int database;  // the tables the hook was made for
  int table1;
  int table2;
  Jig *jig;    // the first table's keys (owned)
  Tbl *keys2;  // the second table's key names (owned copies)
  char *key;   // jig->size bytes (owned)
};

bool same_names(Tbl *a, Tbl *b) {
  if (maxtbl(a) != maxtbl(b)) return false;
  for (long i = 0; i < maxtbl(a); i++) {
    const char *x = static_cast<const char *>(gettbl(a, i));
    const char *y = static_cast<const char *>(gettbl(b, i));
    if (!x || !y || strcmp(x, y) != 0) return false;
  }
  return true;
}

}  // namespace

void free_MatchesHook(void *p) {
  MatchesHook *mh = static_cast<MatchesHook *>(p);
  if (!mh) return;
  dbfree_jig(mh->jig);
  freetbl(mh->keys2, free);
  free(mh->key);
  free(mh);
}

int dbmatches(Dbptr record, Dbptr table, Tbl **keys1, Tbl **keys2, Hook **hook, Tbl **matches) {
  *matches = newtbl(4);
  table.field = table.record = dbALL;
  Dbptr first_table = {record.database, record.table, dbALL, dbALL};
  Hook *local = nullptr;
  Hook **hp = hook ? hook : &local;
  bool given = keys1 && *keys1;
  Tbl *given2 = given && keys2 && *keys2 ? *keys2 : (given ? *keys1 : nullptr);

  MatchesHook *mh = *hp ? static_cast<MatchesHook *>((*hp)->p) : nullptr;
  if (mh &&
      (mh->database != table.database || mh->table1 != record.table || mh->table2 != table.table ||
       (given && (!same_names(*keys1, mh->jig->keys) || !same_names(given2, mh->keys2))))) {
    free_hook(hp);
    mh = nullptr;
  }
  if (!mh) {
    char *name1 = nullptr, *name2 = nullptr;
    if (dbquery(first_table, dbTABLE_NAME, &name1) < 0 ||
        dbquery(table, dbTABLE_NAME, &name2) < 0) {
      elog_log(0, "dbmatches: invalid table pointer\n");
      return dbINVALID;
    }
    Tbl *k1 = nullptr, *k2 = nullptr;
    if (given) {
      k1 = *keys1;
      k2 = given2;
    } else if (dbfind_join_keys(first_table, table, &k1, &k2) != 0) {
      elog_log(0, "No keys join tables %s and %s\n", name1, name2);
      return dbINVALID;
    }
    Dbindex *index = nullptr;
    Jig *jig = nullptr;
    int result = 0;
    if (maxtbl(k1) != maxtbl(k2) || maxtbl(k1) == 0) {
      elog_log(0, "dbmatches: the key lists of %s and %s differ in length\n", name1, name2);
      result = dbINVALID;
    } else if (dbget_index(table, k2, &index) < 0 || !index) {
      elog_log(0, "Can't get index\n");
      result = dbINVALID;
    } else if (dbmake_jig(first_table, k1, &jig) != 0) {
      elog_log(0, "Can't make jig.\n");
      result = dbINVALID;
    }
    if (result == 0) {
      mh = static_cast<MatchesHook *>(calloc(1, sizeof(MatchesHook)));
      if (!mh) OUT_OF_MEMORY(sizeof(MatchesHook), "hook");
      mh->database = table.database;
      mh->table1 = record.table;
      mh->table2 = table.table;
      mh->jig = jig;
      mh->keys2 = db_newtbl(maxtbl(k2));
      for (long i = 0; i < maxtbl(k2); i++)
        pushtbl(mh->keys2, db_strdup(static_cast<const char *>(gettbl(k2, i))));
      mh->key = static_cast<char *>(malloc((size_t)jig->size));
      if (!mh->key) OUT_OF_MEMORY((size_t)jig->size, "hook->key");
      *hp = new_hook(free_MatchesHook);
      (*hp)->p = mh;
    }
    if (!given) {
      if (keys1 && keys2) {
        *keys1 = k1;
        *keys2 = k2;
      } else {
        freetbl(k1, nullptr);
        freetbl(k2, nullptr);
      }
    }
    if (result != 0) return dbINVALID;
  }

  Dbindex *index = nullptr;
  if (dbget_index(table, mh->keys2, &index) < 0 || !index) {
    elog_log(0, "Can't get index\n");
    free_hook(&local);
    return dbINVALID;
  }
  dbupdate_index(index);
  bool ranges = mh->jig->range || index->jig->range;
  int unique = index->unique && !ranges && maxtbl(index->jig->keys) == maxtbl(mh->keys2);
  dbmake_key(record, mh->jig, mh->key);
  long n = maxtbl(index->entries);
  long first = 0, last = -1;
  index->search_jig = mh->jig;
  long found = n > 0 ? ssearch(mh->key, index->jig->size, gettbl(index->entries, 0), n, unique,
                               dbcmp_search, index, &first, &last)
                     : 0;
  for (long i = first; found > 0 && i <= last; i++) {
    if (ranges && dbcmp(mh->key, gettbl(index->entries, i), index) != 0) continue;
    pushtbl(*matches, reinterpret_cast<void *>((intptr_t)dbrecord(index, (int)i)));
  }
  index->search_jig = nullptr;
  free_hook(&local);
  return (int)maxtbl(*matches);
}
