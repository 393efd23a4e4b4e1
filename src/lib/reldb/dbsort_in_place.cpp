// dbsort_in_place.cpp - sorting a table into a view or in place, subsets by expression,
// and the field name helpers (dbfield_type, tsplit). See dbsort.h for the seams that
// stand in for views and key indexes until they exist.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbedit.h"
#include "reldb/dbex.h"
#include "reldb/dbinternal.h"
#include "reldb/dbsort.h"

namespace {

// One key component: where its bytes are in a record and how they compare.
struct KeyField {
  int offset;
  int size;
  int type;
};

bool is_number_key(const KeyField &k) {
  return k.type == dbINTEGER || k.type == dbYEARDAY || k.type == dbREAL || k.type == dbTIME;
}

// The value of a numeric key of a record (integers are exact in a double).
double number_at(const char *record, const KeyField &k) {
  if (k.type == dbINTEGER || k.type == dbYEARDAY) {
    int x = 0;
    dbd2c(record + k.offset, k.size, &x, k.type);
    return x;
  }
  double x = 0;
  dbd2c(record + k.offset, k.size, &x, k.type);
  return x;
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

// Key order without an index: plain attribute fields of the table, compared by value
// for numbers and byte-wise for text, through the stable merge sort so that equal keys
// keep their record order.
int dbsort_key_order(Dbptr db, Tbl *keys, std::vector<int> *records,
                     std::vector<std::string> *keybytes) {
  db.field = dbALL;
  db.record = dbALL;
  Relation *rel = nullptr;
  Table *table = nullptr;
  if (dbresolve(db, nullptr, &rel, nullptr, nullptr, nullptr, nullptr) != dbTABLE || !rel) {
    elog_log(0, "dbsort: no table to sort\n");
    return dbINVALID;
  }
  std::vector<KeyField> kf;
  for (long i = 0; keys && i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    Field *f = key ? static_cast<Field *>(getarr(rel->field_arr, key)) : nullptr;
    if (!f || f->is_ref || f->table != rel->id) {
      elog_log(0,
               "dbsort: key '%s' is not a field of table '%s' (expression and range keys "
               "need indexes, not available yet)\n",
               key ? key : "", rel->name);
      return dbINVALID;
    }
    Attribute *a = static_cast<Attribute *>(f->target);
    kf.push_back({f->offset, a->size, a->type});
  }
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (count < 0) return dbINVALID;
  dbresolve(db, nullptr, nullptr, &table, nullptr, nullptr, nullptr);
  records->resize((size_t)count);
  for (int i = 0; i < count; i++) (*records)[(size_t)i] = i;
  keybytes->clear();
  if (count == 0) return 0;
  if (!table || !table->data) {
    elog_log(0, "dbsort: table '%s' has no records mapped\n", rel->name);
    return dbINVALID;
  }
  // Numbers are read from their text once per record, not at every comparison.
  std::vector<std::vector<double>> numbers(kf.size());
  for (size_t k = 0; k < kf.size(); k++) {
    if (!is_number_key(kf[k])) continue;
    numbers[k].resize((size_t)count);
    for (int i = 0; i < count; i++)
      numbers[k][(size_t)i] = number_at(table->data + (size_t)i * (size_t)rel->size, kf[k]);
  }
  const char *data = table->data;
  const size_t recsize = (size_t)rel->size;
  std::stable_sort(records->begin(), records->end(), [&](int ra, int rb) {
    for (size_t k = 0; k < kf.size(); k++) {
      int r;
      if (is_number_key(kf[k])) {
        // A value that is no number sorts before every number, so that the order stays
        // a strict weak one.
        double x = numbers[k][(size_t)ra], y = numbers[k][(size_t)rb];
        if (std::isnan(x) || std::isnan(y))
          r = std::isnan(x) ? (std::isnan(y) ? 0 : -1) : 1;
        else
          r = x < y ? -1 : x > y ? 1 : 0;
      } else {
        r = memcmp(data + (size_t)ra * recsize + kf[k].offset,
                   data + (size_t)rb * recsize + kf[k].offset, (size_t)kf[k].size);
      }
      if (r) return r < 0;
    }
    return false;
  });
  keybytes->reserve((size_t)count);
  for (int r : *records) {
    std::string k;
    const char *rec = table->data + (size_t)r * (size_t)rel->size;
    for (const KeyField &f : kf) k.append(rec + f.offset, (size_t)f.size);
    keybytes->push_back(std::move(k));
  }
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
  std::vector<std::string> keybytes;
  if (dbsort_key_order(db, keys, &order, &keybytes) != 0) return -1;
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

Dbptr dbsort_new_view(Dbptr db, const char *name) {
  elog_log(0, "dbsort: can't make view '%s': views are not available yet\n",
           name && *name ? name : "(default)");
  (void)db;
  Dbptr bad;
  return *dbinvalid(&bad);
}

Dbptr dbsort(Dbptr db, Tbl *keys, int flags, const char *name) {
  db.field = dbALL;
  db.record = dbALL;
  Dbptr bad;
  dbinvalid(&bad);
  std::vector<int> order;
  std::vector<std::string> keybytes;
  if (dbsort_key_order(db, keys, &order, &keybytes) != 0) return bad;
  std::vector<int> rows = dbsort_walk(order, keybytes, flags);
  Dbptr view = dbsort_new_view(db, name);
  if (view.table < 0) return bad;
  for (int r : rows) {
    db.record = r;
    Dbptr *ref = dbref(&db);
    if (dbadd(view, reinterpret_cast<const char *>(ref)) < 0) {
      dbfree(view);
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
  records->clear();
  for (int r = 0; r < count; r++) {
    db.record = r;
    int value = 0;
    int result = dbex_eval(db, tree, 0, &value);
    if (result < 0) {
      dbex_free(tree);
      records->clear();
      return dbINVALID;
    }
    if (result > 0) records->push_back(r);
  }
  dbex_free(tree);
  return 0;
}

Dbptr dbsubset(Dbptr db, const char *expression, const char *name) {
  Dbptr bad;
  dbinvalid(&bad);
  std::vector<int> rows;
  // The records are chosen first, so that a failing evaluation leaves no view behind.
  if (dbsubset_records(db, expression, &rows) != 0) return bad;
  Dbptr view = dbsort_new_view(db, name);
  if (view.table < 0) return bad;
  db.field = dbALL;
  for (int r : rows) {
    db.record = r;
    if (dbadd(view, reinterpret_cast<const char *>(dbref(&db))) < 0) {
      dbfree(view);
      return bad;
    }
  }
  view.field = view.record = dbALL;
  return view;
}
