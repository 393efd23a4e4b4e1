// dbsort_in_place.cpp - sorting a table or view into a view or a table in place, subsets
// by expression, and the field name helpers (dbfield_type, tsplit). The order is the
// table's index for the keys (dbget_index), so sorts and joins share one order.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbedit.h"
#include "reldb/dbex.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

namespace {

Dbptr invalid() {
  Dbptr bad;
  return *dbinvalid(&bad);
}

// A new view over the one table (or view) of db.
Dbptr new_view(Dbptr db, const char *name) {
  char *table = nullptr;
  if (dbquery(db, dbTABLE_NAME, &table) < 0 || !table) return invalid();
  Tbl *members = newtbl(1);
  pushtbl(members, table);
  Dbptr view = dbtbl2view(db, name, members);
  freetbl(members, nullptr);
  return view;
}

// The bytes of the first `n` elements of an index entry that decide equality: values,
// and ranges by start and end (the envelope depends on neighbours).
std::string requested_key(const Jig *jig, long n, const char *entry) {
  std::string out;
  for (long i = 0; i < n; i++) {
    const KeyElement *e = static_cast<const KeyElement *>(gettbl(jig->elements, i));
    size_t size = (size_t)e->size;
    if (e->type == dbKEY_INT_RANGE || e->type == dbKEY_REAL_RANGE) size *= 2;
    out.append(entry + e->offset, size);
  }
  return out;
}

}  // namespace

int dbfield_type(Dbptr db, const char *name) {
  if (!name) return dbINVALID;
  Database *d = nullptr;
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  if (dbresolve(all, &d, nullptr, nullptr, nullptr, nullptr, nullptr) == dbINVALID || !d ||
      !d->schema)
    return dbINVALID;
  std::string field = name;
  const char *dot = strchr(name, '.');
  if (dot) {
    std::string table(name, (size_t)(dot - name));
    if (!getarr(d->schema->relation_arr, table.c_str())) return dbINVALID;
    field = dot + 1;
  }
  Attribute *a = static_cast<Attribute *>(getarr(d->schema->attributes, field.c_str()));
  return a ? a->type : dbINVALID;
}

void tsplit(const char *name, char *table, char *field) {
  const char *dot = strchr(name, '.');
  if (!dot) {
    table[0] = '\0';
    strcpy(field, name);
    return;
  }
  size_t n = (size_t)(dot - name);
  memmove(table, name, n);
  table[n] = '\0';
  strcpy(field, dot + 1);
}

// The order of the table's index for the keys (an index over more keys serves too).
int dbsort_key_order(Dbptr db, Tbl *keys, std::vector<int> *records,
                     std::vector<std::string> *keybytes) {
  db.field = dbALL;
  db.record = dbALL;
  Dbindex *index = nullptr;
  if (dbget_index(db, keys, &index) < 0 || !index) return dbINVALID;
  long n = maxtbl(index->entries);
  long nkeys = std::min(maxtbl(keys), maxtbl(index->jig->elements));
  records->resize((size_t)n);
  const char *entries = n > 0 ? static_cast<const char *>(gettbl(index->entries, 0)) : nullptr;
  const size_t esize = (size_t)index->jig->size;
  for (long i = 0; i < n; i++) {
    // An entry begins with its record number.
    int32_t r;
    memcpy(&r, entries + (size_t)i * esize, sizeof r);
    (*records)[(size_t)i] = r;
  }
  if (!keybytes) return 0;
  keybytes->clear();
  keybytes->reserve((size_t)n);
  for (long i = 0; i < n; i++)
    keybytes->push_back(requested_key(index->jig, nkeys, entries + (size_t)i * esize));
  return 0;
}

std::vector<int> dbsort_walk(const std::vector<int> &records,
                             const std::vector<std::string> &keybytes, int flags) {
  std::vector<int> out;
  long n = (long)records.size();
  bool reverse = flags & dbSORT_REVERSE, unique = flags & dbSORT_UNIQUE;
  const std::string *previous = nullptr;
  for (long s = 0; s < n; s++) {
    long i = reverse ? n - 1 - s : s;
    if (unique) {
      const std::string &k = keybytes[(size_t)i];
      if (previous && *previous == k) continue;
      previous = &k;
    }
    out.push_back(records[(size_t)i]);
  }
  return out;
}

void dbsort_permute(char *data, int size, std::vector<int> &order) {
  std::vector<char> spare((size_t)size);
  auto at = [&](long i) { return data + (size_t)i * (size_t)size; };
  long n = (long)order.size();
  for (long j = 0; j < n; j++) {
    if (order[(size_t)j] == j) continue;
    memcpy(spare.data(), at(j), (size_t)size);
    long start = j;
    long k = order[(size_t)j];
    memcpy(at(j), at(k), (size_t)size);
    order[(size_t)j] = (int)j;
    while (order[(size_t)k] != k) {
      long from = order[(size_t)k];
      if (from == start)
        memcpy(at(k), spare.data(), (size_t)size);
      else
        memcpy(at(k), at(from), (size_t)size);
      order[(size_t)k] = (int)k;
      k = from;
    }
  }
}

int dbsort_in_place(Dbptr db, Tbl *keys) {
  db.field = dbALL;
  db.record = dbALL;
  DbTarget t;
  if (db_target_table(db, &t) != dbTABLE) {
    elog_log(0, "dbsort_in_place: table is not open for writing\n");
    return -1;
  }
  // Held from the ordering to the move, so that no record appended meanwhile is
  // overwritten or left out of the order.
  const bool file = !t.relation->transient && t.table->fd >= 0;
  DbTableLock lock(t.database, t.relation, file ? t.table : nullptr);
  if (!lock.held()) return -1;
  if (file && map_table(t.database, t.relation, 0) < 0) return -1;
  std::vector<int> order;
  if (dbsort_key_order(db, keys, &order, nullptr) != 0) return -1;
  bool sorted = true;
  for (size_t i = 0; i < order.size(); i++)
    if (order[i] != (int)i) sorted = false;
  if (sorted) return lock.release() < 0 ? -1 : 0;
  Table *table = t.table;
  Relation *rel = t.relation;
  if (!table->data || !table->writable) {
    elog_log(0, "dbsort_in_place: table '%s' is not open for writing\n", rel->name);
    return -1;
  }
  dbsort_permute(table->data, rel->size, order);
  if (lock.release() < 0) return -1;
  dbflush_indexes(db);
  return 0;
}

Dbptr dbsort(Dbptr db, Tbl *keys, int flags, const char *name) {
  db.field = dbALL;
  db.record = dbALL;
  Dbptr bad;
  dbinvalid(&bad);
  std::vector<int> order;
  std::vector<std::string> keybytes;
  if (dbsort_key_order(db, keys, &order, flags & dbSORT_UNIQUE ? &keybytes : nullptr) != 0)
    return bad;
  std::vector<int> rows = dbsort_walk(order, keybytes, flags);
  Dbptr view = new_view(db, name);
  if (view.table < 0) return bad;
  for (int r : rows) {
    db.record = r;
    Dbptr *ref = dbref(&db);
    if (dbadd(view, reinterpret_cast<const char *>(ref)) < 0) {
      dbview_drop(view);
      return bad;
    }
  }
  view.field = view.record = dbALL;
  return view;
}

int dbsubset_records(Dbptr db, const char *expression, std::vector<int> *records) {
  db.field = dbALL;
  db.record = dbALL;
  Expression *tree = nullptr;
  if (dbex_compile(db, expression, &tree, dbBOOLEAN) == dbINVALID) return dbINVALID;
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (count < 0) {
    dbex_free(tree);
    return dbINVALID;
  }
  int result = dbex_select(db, tree, count, records);
  dbex_free(tree);
  return result < 0 ? dbINVALID : 0;
}

Dbptr dbsubset(Dbptr db, const char *expression, const char *name) {
  Dbptr bad;
  dbinvalid(&bad);
  std::vector<int> rows;
  // The records are chosen first, so that a failing evaluation leaves no view behind.
  if (dbsubset_records(db, expression, &rows) != 0) return bad;
  Dbptr view = new_view(db, name);
  if (view.table < 0) return bad;
  db.field = dbALL;
  for (int r : rows) {
    db.record = r;
    if (dbadd(view, reinterpret_cast<const char *>(dbref(&db))) < 0) {
      dbview_drop(view);
      return bad;
    }
  }
  view.field = view.record = dbALL;
  return view;
}
