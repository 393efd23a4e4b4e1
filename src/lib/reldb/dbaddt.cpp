// dbaddt.cpp - appending records to tables: dbadd, the one append primitive (table files
// under the table lock, in-memory tables by growing their data), dbaddnull, and the
// checked insertions dbaddchk and dbaddv, which refuse null keys, return an existing
// equal record instead of a duplicate, refuse key clashes and hand out new ids.
//
// dbadd locks the table file for the seek, write and remap of one append; a table file
// left ending in part of a record by a writer that died is cut back to whole records
// under that lock; without locking nothing is cut, and an append onto such a table is
// refused (after waiting for the rest of the record, as a reader does). dbaddchk holds the same
// lock from its key checks to the append, so that two processes cannot both add one key; its id
// allocation locks the lastid table (dbnextid.cpp). The table lock nests within one process
// (map_table.cpp).
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "reldb/dbedit.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"
#include "reldb/dbview.h"
#include "support/stdtime.h"

namespace {

constexpr int kWorkBuffer = 4096;
constexpr int kTruncateAttempts = 5;

// Enters a newly appended record into every index of its table.
void dbindexes_add_record(Table *table, Dbptr record) {
  if (!table->indexes || cntarr(table->indexes) == 0) return;
  applyarr(
      table->indexes,
      [](const char *, void *value, void *arg) -> int {
        dbadd2index(*static_cast<Dbptr *>(arg), static_cast<Dbindex *>(value));
        return 0;
      },
      &record);
}

std::string trim(const char *text, int size) {
  std::string s(text, (size_t)size);
  size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(' ');
  return s.substr(a, b - a + 1);
}

// The attribute field `name` of a relation, or none.
Field *attribute_field(Relation *r, const std::string &name) {
  Field *f = r->field_arr ? static_cast<Field *>(getarr(r->field_arr, name.c_str())) : nullptr;
  if (!f || f->is_ref || f->offset < 0 ||
      f->offset + static_cast<Attribute *>(f->target)->size > r->size)
    return nullptr;
  return f;
}

// Whether two field texts hold the same text apart from the blanks around it (a field
// written left-aligned by another program still says the same).
bool same_text(const char *x, const char *y, int size) { return trim(x, size) == trim(y, size); }

// Whether a field holds its null text in the scratch record.
bool field_is_null(Relation *r, const char *scratch, const std::string &name) {
  Field *f = attribute_field(r, name);
  if (!f || !r->nullrecord) return false;
  Attribute *a = static_cast<Attribute *>(f->target);
  return same_text(scratch + f->offset, r->nullrecord + f->offset, a->size);
}

bool named_one_of(const std::string &name, std::initializer_list<const char *> names) {
  for (const char *n : names)
    if (name == n) return true;
  return false;
}

// Resolves the scratch record of db's table; the table, relation and database through the
// outputs. False when db does not name a table.
bool scratch_of(Dbptr db, Database **d, Relation **r, Table **t, char **scratch) {
  db.field = dbALL;
  db.record = dbSCRATCH;
  int size;
  if (dbresolve(db, d, r, t, nullptr, scratch, &size) != dbRECORD || !*scratch) return false;
  Dbptr null = db;
  null.record = dbNULL;
  char *unused;
  return dbresolve(null, nullptr, nullptr, nullptr, nullptr, &unused, &size) == dbRECORD;
}

// Cuts a torn record (left by a writer that died) off the end of a table file, under
// the table lock. The end of the whole records, or -1.
off_t cut_torn_tail(Table *t, off_t end, size_t size) {
  const off_t torn = end % (off_t)size;
  if (torn == 0) return end;
  if (ftruncate(t->fd, end - torn) != 0) {
    elog_log(1, "dbadd: can't cut the torn record off the end of table %s\n", db_table_label(t));
    return -1;
  }
  elog_complain(0, "dbadd: table %s ended in part of a record; cut %lld bytes off its end\n",
                db_table_label(t), (long long)torn);
  return end - torn;
}

// A table file that ends in part of a record and may not be cut (no locking): waits for
// the rest of the record as a reader does, since a record written after part of one would
// shift every later record. True with *end at the end of the whole records once the
// file holds them; false, with the invalid length reported and the file as it was, when
// it stays torn.
bool torn_tail_completed(Database *d, Relation *r, Table *t, off_t *end) {
  // The remap waits for the rest and reports a table that stays torn.
  if (map_table(d, r, 0) < 0 || t->fd < 0) return false;
  *end = lseek(t->fd, 0, SEEK_END);
  if (*end < 0) {
    elog_log(1, "lseek fails in dbadd on %s.\n", db_table_label(t));
    return false;
  }
  if (*end % (off_t)r->size == 0) return true;
  // Torn again since the wait: refused without waiting once more.
  elog_complain(0, "Table '%s' has invalid length %lu.\n", db_table_label(t), (unsigned long)*end);
  return false;
}

// Writes record into the end of a table file under its lock. The new record number, or
// dbINVALID with the file as it was.
int append_to_file(Database *d, Relation *r, Table *t, const char *record) {
  const size_t size = (size_t)r->size;
  char fixed[kWorkBuffer];
  std::vector<char> large;
  char *buf = fixed;
  if (size > sizeof fixed) {
    large.resize(size + 10);
    buf = large.data();
  }
  memcpy(buf, record, size);
  if (r->terminator) buf[size - 1] = r->terminator;

  if (_dblock(d, t) < 0) return dbINVALID;
  off_t end = t->fd >= 0 ? lseek(t->fd, 0, SEEK_END) : (off_t)-1;
  if (end < 0) {
    elog_log(1, "lseek fails in dbadd on %s.\n", db_table_label(t));
    _dbunlock(d, t);
    return dbINVALID;
  }
  // Under the lock no writer is half way through a record: a torn tail is a dead
  // writer's. Without locking another writer may be, so nothing is cut.
  if (d->locking != DBLOCK_NONE && (end = cut_torn_tail(t, end, size)) < 0) {
    _dbunlock(d, t);
    return dbINVALID;
  }
  if (end % (off_t)size != 0 && !torn_tail_completed(d, r, t, &end)) {
    _dbunlock(d, t);
    return dbINVALID;
  }
  ssize_t written = write(t->fd, buf, size);
  // The file is opened for appending: the write went to the end as it was then, which
  // without locking may lie beyond the end seen above.
  off_t after = lseek(t->fd, 0, SEEK_CUR);
  if (written != (ssize_t)size || after < (off_t)size) {
    elog_log(1, "Can't write record '%s' to table %s\n", std::string(buf, size).c_str(),
             db_table_label(t));
    if (written > 0 && after >= written) end = after - written;
    // A short append would shift every later record: cut the file back.
    for (int attempt = 0; attempt < kTruncateAttempts; attempt++) {
      if (ftruncate(t->fd, end) == 0) break;
      elog_log(1, "Can't truncate table %s to length %d, attempt #%d", db_table_label(t), (int)end,
               attempt);
      clock_sleep(1.0);
    }
    _dbunlock(d, t);
    return dbINVALID;
  }
  const int added = (int)(after / (off_t)size) - 1;
  int result = added;
  if (d->locking != DBLOCK_NONE && fsync(t->fd) != 0) {
    elog_log(1, "Couldn't fsync table %s\n", db_table_label(t));
    result = dbINVALID;
  }
  if (result >= 0 && map_table(d, r, 0) < 0) result = dbINVALID;
  if (_dbunlock(d, t) < 0) return dbINVALID;
  return result;
}

// Appends to an in-memory table, doubling its room as needed.
// Appends n records (lying one after another) to an in-memory table; the number of the
// first, or dbINVALID when the table would grow past 2 GB.
int append_to_memory(Relation *r, Table *t, const char *records, size_t n) {
  const size_t size = (size_t)r->size, bytes = size * n;
  // The records may lie inside the table's own data, which growing moves.
  std::vector<char> copy;
  if (t->data && records >= t->data && records < t->data + t->capacity) {
    copy.assign(records, records + bytes);
    records = copy.data();
  }
  if (bytes / size != n || (size_t)t->length + bytes > (size_t)INT32_MAX) {
    elog_log(0, "dbadd: in-memory table %s is full\n", t->name);
    return dbINVALID;
  }
  if ((size_t)t->capacity < (size_t)t->length + bytes) {
    size_t capacity = t->capacity > 0 ? (size_t)t->capacity : size;
    while (capacity < (size_t)t->length + bytes) capacity *= 2;
    if (capacity > (size_t)INT32_MAX) capacity = (size_t)t->length + bytes;
    char *grown = static_cast<char *>(realloc(t->data, capacity));
    if (!grown) OUT_OF_MEMORY(capacity, "table->data");
    t->data = grown;
    t->capacity = (int)capacity;
  }
  memcpy(t->data + t->length, records, bytes);
  t->length += (uint32_t)bytes;
  const int first = t->count;
  t->count += (int)n;
  return first;
}

}  // namespace

int dbadd(Dbptr db, const char *record) {
  DbAppendScope appending;
  db.field = dbALL;
  db.record = dbALL;
  Database *d;
  Relation *r;
  Table *t;
  char *address;
  int size;
  if (dbresolve(db, &d, &r, &t, nullptr, &address, &size) != dbTABLE) {
    elog_log(0, "dbadd requires db pointer to table\n");
    return dbINVALID;
  }
  if (!t->data) {
    if (map_table(d, r, 1) < 0) {
      elog_log(0, "Can't write to table %s\n", db_table_label(t));
      return dbINVALID;
    }
    if (dbresolve(db, &d, &r, &t, nullptr, &address, &size) != dbTABLE) return dbINVALID;
    if (!t->data && t->length) return dbINVALID;
  }
  if (r->size <= 0) {
    elog_log(0, "dbadd: table %s has no fields\n", t->name);
    return dbINVALID;
  }
  bool to_indexes = true;
  if (!record) {
    if (!t->scratch) {
      elog_log(0, "Expecting to add scratch record to %s, but scratch record doesn't exist.\n",
               db_table_label(t));
      return dbINVALID;
    }
    record = t->scratch;
    if (r->nullrecord && memcmp(record, r->nullrecord, (size_t)r->size) == 0) to_indexes = false;
  }
  if (!t->writable) {
    if (t->fd >= 0)
      elog_log(0, "Table %s is opened read-only and cannot be updated\n", t->path);
    else
      elog_log(0, "Table %s does not exist and database was opened read-only\n", t->name);
    return dbINVALID;
  }
  int added = r->transient ? append_to_memory(r, t, record, 1) : append_to_file(d, r, t, record);
  if (added < 0) return added;
  if (to_indexes) {
    db.record = added;
    dbindexes_add_record(t, db);
  }
  return added;
}

int db_add_records(Dbptr db, const char *records, long n) {
  if (n <= 0) return 0;
  // The first goes through dbadd, which also makes the table's data when it has none.
  if (dbadd(db, records) < 0) return dbINVALID;
  db.field = dbALL;
  db.record = dbALL;
  Relation *r = nullptr;
  Table *t = nullptr;
  if (dbresolve(db, nullptr, &r, &t, nullptr, nullptr, nullptr) != dbTABLE || !r || !t)
    return dbINVALID;
  const size_t size = (size_t)r->size;
  if (r->transient && t->data && t->writable && (!t->indexes || cntarr(t->indexes) == 0))
    return append_to_memory(r, t, records + size, (size_t)(n - 1)) < 0 ? dbINVALID : 0;
  for (long i = 1; i < n; i++)
    if (dbadd(db, records + (size_t)i * size) < 0) return dbINVALID;
  return 0;
}

int dbaddnull(Dbptr db) {
  DbAppendScope appending;
  Dbptr null = db;
  null.field = dbALL;
  null.record = dbNULL;
  if (dbget(null, nullptr) < 0) return dbINVALID;
  return dbadd(db, nullptr);
}

const char *cmprcd(Dbptr db, const char *fresh, const char *existing, const char *skip) {
  Relation *r;
  Table *t;
  Database *d;
  char *scratch;
  if (!scratch_of(db, &d, &r, &t, &scratch)) return nullptr;
  for (long i = 0; i < r->nfields; i++) {
    Field *f = static_cast<Field *>(gettbl(r->fields, i));
    if (!f || f->is_ref) continue;
    Attribute *a = static_cast<Attribute *>(f->target);
    const size_t at = (size_t)f->offset;
    if (same_text(fresh + at, existing + at, a->size)) continue;
    if (same_text(fresh + at, r->nullrecord + at, a->size)) continue;
    const char *name = static_cast<const char *>(gettbl(r->field_names, i));
    if (skip && name && strcmp(name, skip) == 0) continue;
    return name ? name : a->name;
  }
  return nullptr;
}

int nullfield(Dbptr db, Tbl *keys) {
  Database *d;
  Relation *r;
  Table *t;
  char *scratch;
  if (!scratch_of(db, &d, &r, &t, &scratch)) return 0;
  for (long k = 0; k < maxtbl(keys); k++) {
    std::string entry = static_cast<const char *>(gettbl(keys, k));
    size_t colons = entry.find("::");
    std::string last = entry;
    if (colons != std::string::npos) {
      // The start of a range may never be null.
      if (field_is_null(r, scratch, entry.substr(0, colons))) return 1;
      last = entry.substr(colons + 2);
    }
    if (field_is_null(r, scratch, last) && !named_one_of(last, {"offdate", "endtime"})) return 1;
  }
  return 0;
}

int allnull(Dbptr db, Tbl *keys) {
  Database *d;
  Relation *r;
  Table *t;
  char *scratch;
  if (!scratch_of(db, &d, &r, &t, &scratch)) return 0;
  for (long k = 0; k < maxtbl(keys); k++) {
    std::string entry = static_cast<const char *>(gettbl(keys, k));
    size_t colons = entry.find("::");
    std::string tested = entry;
    if (colons != std::string::npos) {
      if (field_is_null(r, scratch, entry.substr(0, colons))) return 1;
      tested = entry.substr(colons + 2);
    }
    if (!field_is_null(r, scratch, tested)) return 0;
    if (named_one_of(tested,
                     {"instype", "band", "digital", "ncalib", "ncalper", "offdate", "endtime"}))
      return 0;
  }
  return 1;
}

int dbaddchk(Dbptr db, const char *record) {
  DbAppendScope appending;
  db.field = dbALL;
  db.record = dbSCRATCH;
  Database *d;
  Relation *r;
  Table *t;
  char *scratch;
  int size;
  if (dbresolve(db, &d, &r, &t, nullptr, &scratch, &size) != dbRECORD || !scratch) {
    elog_log(0, "dbaddchk requires a db pointer to a table\n");
    return dbINVALID;
  }
  if (r->has_refs) {
    elog_log(0, "dbaddchk may only be used with primary tables, not views\n");
    return dbINVALID;
  }
  if (t->fd >= 0 && !t->writable) {
    elog_log(0, "Table %s is opened read-only and cannot be updated\n", t->path);
    return dbINVALID;
  }
  Dbptr null = db;
  null.record = dbNULL;
  char *nullrec;
  if (dbresolve(null, nullptr, nullptr, nullptr, nullptr, &nullrec, &size) != dbRECORD)
    return dbINVALID;
  if (record) {
    size_t n = strnlen(record, (size_t)r->size);
    memcpy(scratch, record, n);
    memset(scratch + n, ' ', (size_t)r->size - n);
    if (r->terminator) scratch[r->size - 1] = r->terminator;
  }
  Dbptr table = db;
  table.record = dbALL;
  // The lock needs the table file; dbadd would create it in any case.
  if (!r->transient && t->fd < 0 && t->writable && map_table(d, r, 1) < 0) {
    elog_log(0, "Can't write to table %s\n", db_table_label(t));
    return dbINVALID;
  }
  // From the key checks to the append, no other process adds to the table.
  DbTableLock lock(d, r, t);
  if (!lock.held()) return dbINVALID;
  int count = 0;
  if (dbquery(table, dbRECORD_COUNT, &count) < 0) return dbINVALID;
  // Locking and counting may have remapped the table; the scratch record stays where it is.
  const char *timedate = d->schema ? d->schema->timedate : nullptr;

  if (count > 0) {
    struct {
      Tbl *keys;
      const char *word;
    } lists[] = {{r->primary, "primary"}, {r->alternate, "alternate"}};
    for (auto &list : lists) {
      if (maxtbl(list.keys) == 0) continue;
      Tbl *keys = list.keys, *found = nullptr;
      int n = dbmatches(db, table, &keys, &keys, nullptr, &found);
      std::vector<int> matches;
      for (long i = 0; i < maxtbl(found); i++) matches.push_back((int)(intptr_t)gettbl(found, i));
      freetbl(found, nullptr);
      if (n < 0) return dbINVALID;
      if (matches.empty()) continue;
      std::sort(matches.begin(), matches.end());
      const char *differs = nullptr;
      for (int m : matches) {
        differs = cmprcd(db, scratch, t->data + (size_t)m * (size_t)r->size, timedate);
        if (!differs) return m;
      }
      int last = matches.back();
      elog_log(0,
               "Couldn't add a new record to table %s\n\tThe new record matched the %s key of "
               "record #%d, but field '%s' is different.\n",
               db_table_label(t), list.word, last, differs);
      return -(last + 103);
    }
  }

  // A null id field gets the next id of the key the table defines.
  Field *idfield = r->defines && *r->defines ? attribute_field(r, r->defines) : nullptr;
  std::string old_id;
  if (idfield) {
    Attribute *a = static_cast<Attribute *>(idfield->target);
    if (same_text(scratch + idfield->offset, nullrec + idfield->offset, a->size)) {
      int id = dbnextid(db, r->defines);
      if (id < 0) {
        elog_log(0, "Can't assign new %s to add record", r->defines);
        return dbINVALID;
      }
      old_id.assign(scratch + idfield->offset, (size_t)a->size);
      dbputv(db, nullptr, r->defines, id, nullptr);
    } else {
      idfield = nullptr;
    }
  }
  if (nullfield(db, r->primary)) {
    elog_log(0, "Can't add record with null primary key to %s\n", r->name);
    return dbINVALID;
  }
  if (maxtbl(r->alternate) > 0 && allnull(db, r->alternate)) {
    elog_log(0, "Can't add record with null alternate key to %s\n", r->name);
    return dbINVALID;
  }
  int added = dbadd(table, nullptr);
  // The scratch record keeps a null id, so that the next insertion from it gets a new one.
  if (idfield) memcpy(scratch + idfield->offset, old_id.data(), old_id.size());
  if (lock.release() < 0) return dbINVALID;
  return added;
}

int dbaddv(Dbptr db, const char *table, ...) {
  DbAppendScope appending;
  db.field = dbALL;
  if (table && *table) db = dblookup(db, nullptr, table, nullptr, nullptr);
  Dbptr null = db;
  null.record = dbNULL;
  db.record = dbSCRATCH;
  Database *d;
  Relation *r;
  Table *t;
  int level = dbresolve(db, &d, &r, &t, nullptr, nullptr, nullptr);
  if (level != dbRECORD && level != dbFIELD) {
    elog_log(0, "bad db type in dbputv\n");
    return dbINVALID;
  }
  if (t->fd >= 0 && !t->writable) {
    elog_log(0, "Table %s is opened read-only and cannot be updated\n", t->path);
    return dbINVALID;
  }
  if (r->has_refs) {
    elog_log(0, "dbaddv may only be used with base tables, not views.\n");
    return dbINVALID;
  }
  if (dbget(null, nullptr) < 0) return dbINVALID;
  char *scratch = t->scratch;
  const char *timedate = d->schema ? d->schema->timedate : nullptr;
  bool stamped = false;
  va_list ap;
  va_start(ap, table);
  int result = 0;
  for (;;) {
    const char *name = va_arg(ap, const char *);
    if (!name) break;
    Field *f = r->field_arr ? static_cast<Field *>(getarr(r->field_arr, name)) : nullptr;
    if (!f) {
      elog_log(0, "no field %s in table %s.\n", name, r->name);
      result = dbINVALID;
      break;
    }
    Dbptr fp = db;
    fp.field = f->index;
    char *address;
    int size;
    if (f->is_ref ||
        dbresolve(fp, nullptr, nullptr, nullptr, nullptr, &address, &size) != dbFIELD || !address) {
      elog_log(0, "Can't resolve db pointer in dbputv: %d %d %d %d\n", fp.database, fp.table,
               fp.field, fp.record);
      result = dbINVALID;
      break;
    }
    if (!stamped && timedate) {
      stamped = true;
      Field *tf = attribute_field(r, timedate);
      if (tf) {
        Attribute *ta = static_cast<Attribute *>(tf->target);
        Dbvalue v;
        v.d = std_now();
        dbc2d(&v, scratch + tf->offset, ta->size, ta->format, ta->type);
      }
    }
    Attribute *a = static_cast<Attribute *>(f->target);
    std::string shown;
    int put = db_put_arg(a, &ap, address, size, name, r->name, &shown);
    if (put < 0) {
      result = put;
      break;
    }
    if (put == 1) {
      elog_complain(0, "'%s' overflows field '%s' in new record of %s", shown.c_str(), name,
                    r->name);
    }
  }
  va_end(ap);
  if (result < 0) return result;
  return dbaddchk(db, nullptr);
}
