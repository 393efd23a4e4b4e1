// dbdelete.cpp - removing records and tables: dbmark (overwrite with the null record),
// dbdelete (remove one record and move the later ones down), dbcrunch (squeeze out the
// marked records), dbtruncate, dbflush_indexes and dbdestroy.
//
// Only dbdelete locks, and only table files: it holds the table lock from the move of the
// records to the remap of the shortened file. dbmark, dbcrunch and dbtruncate change the
// table without the lock; callers must not run them while other processes append.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/dbedit.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"

namespace {

// Keeps the indexes of a table current when a record is marked (its entry goes) or
// deleted (its entry goes and later entries are renumbered).
void dbindexes_remove_record(Table *table, int record, bool renumber) {
  if (!table->indexes || cntarr(table->indexes) == 0) return;
  struct Removal {
    int record;
    bool renumber;
  } removal = {record, renumber};
  applyarr(
      table->indexes,
      [](const char *, void *value, void *arg) -> int {
        const Removal *r = static_cast<const Removal *>(arg);
        dbindex_remove(static_cast<Dbindex *>(value), r->record, r->renumber);
        return 0;
      },
      &removal);
}

const char *path_or_name(const Table *t) { return t->path ? t->path : t->name; }

bool exists(const char *path) {
  struct stat st;
  return path && lstat(path, &st) == 0;
}

}  // namespace

int dbmark(Dbptr db) {
  db.field = dbALL;
  Relation *r;
  Table *t;
  char *address;
  int size;
  if (dbresolve(db, nullptr, &r, &t, nullptr, &address, &size) != dbRECORD || !address)
    return dbINVALID;
  if (db.record < 0) return dbINVALID;  // the scratch and null records are not in the table
  Dbptr null = db;
  null.record = dbNULL;
  char *nullrec;
  if (dbresolve(null, nullptr, nullptr, nullptr, nullptr, &nullrec, &size) != dbRECORD)
    return dbINVALID;
  if (!t->writable) {
    elog_log(0, "dbmark: Table %s (%s) is opened read-only and can't be modified.\n", t->name,
             path_or_name(t));
    return dbINVALID;
  }
  dbindexes_remove_record(t, db.record, false);
  memcpy(address, nullrec, (size_t)r->size);
  return 0;
}

int dbdelete(Dbptr db) {
  db.field = dbALL;
  Database *d;
  Relation *r;
  Table *t;
  char *address;
  int size;
  if (dbresolve(db, &d, &r, &t, nullptr, &address, &size) != dbRECORD || !address || db.record < 0)
    return dbINVALID;
  if (!t->writable) {
    elog_log(0, "dbdelete: Table %s (%s) is opened read-only and can't be modified.\n", t->name,
             path_or_name(t));
    return dbINVALID;
  }
  const bool file = !r->transient;
  if (file) {
    if (_dblock(d, t) < 0) return dbINVALID;
    // Locking may have remapped the table.
    if (dbresolve(db, &d, &r, &t, nullptr, &address, &size) != dbRECORD || !address) {
      _dbunlock(d, t);
      return dbINVALID;
    }
  }
  const size_t rsize = (size_t)r->size;
  const size_t after = (size_t)db.record * rsize + rsize;
  memmove(t->data + after - rsize, t->data + after, (size_t)t->length - after);
  if (!file) {
    t->length -= (uint32_t)rsize;
    t->count--;
    dbindexes_remove_record(t, db.record, true);
    return 0;
  }
  const uint32_t shorter = t->length - (uint32_t)rsize;
  if (munmap(t->data, t->length) != 0) {
    elog_log(1, "munmap fails in dbdelete in %s", path_or_name(t));
    _dbunlock(d, t);
    return dbINVALID;
  }
  t->data = nullptr;
  if (ftruncate(t->fd, (off_t)shorter) != 0) {
    elog_log(1, "ftruncate fails in dbdelete in %s", path_or_name(t));
    t->length = UINT32_MAX;  // remapped at the next use
    _dbunlock(d, t);
    return dbINVALID;
  }
  t->length = shorter;
  if (_dbunlock(d, t) < 0) return dbINVALID;
  // Forget the mapping, so that the table is mapped afresh at its new length.
  t->data = nullptr;
  t->length = UINT32_MAX;
  t->count = 0;
  if (map_table(d, r, 0) < 0) return dbINVALID;
  dbindexes_remove_record(t, db.record, true);
  return 0;
}

int dbtruncate(Dbptr db, int n) {
  db.field = dbALL;
  db.record = dbALL;
  Database *d;
  Relation *r;
  Table *t;
  char *address;
  int size;
  if (dbresolve(db, &d, &r, &t, nullptr, &address, &size) != dbTABLE) {
    elog_log(0, "dbtruncate requires db pointer to table\n");
    return dbINVALID;
  }
  if (t->length > 0 && !t->writable) {
    elog_log(0, "Table %s is opened read-only and cannot be updated\n", path_or_name(t));
    return dbINVALID;
  }
  if (n < 0) n = 0;
  int result = 0;
  if (t->length > 0) {
    int count = 0;
    if (dbquery(db, dbRECORD_COUNT, &count) < 0) return dbINVALID;
    const int kept = std::min(count, n);
    const uint32_t length = (uint32_t)kept * (uint32_t)r->size;
    if (r->transient) {
      t->count = kept;
      t->length = length;
    } else {
      if (t->data && t->length) munmap(t->data, t->length);
      t->data = nullptr;
      t->length = 0;
      t->count = 0;
      if (!t->path || truncate(t->path, (off_t)length) != 0) {
        elog_log(1, "Can't truncate file '%s' to length %d\n", path_or_name(t), (int)length);
        result = dbINVALID;
      }
      t->length = UINT32_MAX;  // map afresh below, whatever the file's length now
    }
  }
  if (map_table(d, r, 0) < 0) return dbINVALID;
  // Indexes would name records that are gone (dbcrunch moves records, then truncates).
  dbflush_indexes(db);
  return result;
}

int dbcrunch(Dbptr db) {
  db.field = dbALL;
  db.record = dbALL;
  Database *d;
  Relation *r;
  Table *t;
  char *address;
  int size;
  if (dbresolve(db, &d, &r, &t, nullptr, &address, &size) != dbTABLE) return dbINVALID;
  if (t->length == 0) return 0;
  if (!t->writable) {
    elog_log(0, "dbcrunch : Table %s (%s) is opened read-only and can't be modified.\n", t->name,
             path_or_name(t));
    return dbINVALID;
  }
  Dbptr null = db;
  null.record = dbNULL;
  char *nullrec;
  if (dbresolve(null, nullptr, nullptr, nullptr, nullptr, &nullrec, &size) != dbRECORD)
    return dbINVALID;
  const size_t rsize = (size_t)r->size;
  const size_t count = t->length / rsize;
  auto marked = [&](size_t i) { return memcmp(t->data + i * rsize, nullrec, rsize) == 0; };
  size_t write = 0;
  while (write < count && !marked(write)) write++;
  if (write == count) return 0;
  size_t read = write + 1;
  while (read < count) {
    if (marked(read)) {
      read++;
      continue;
    }
    size_t end = read;
    while (end < count && !marked(end)) end++;
    memmove(t->data + write * rsize, t->data + read * rsize, (end - read) * rsize);
    write += end - read;
    read = end;
  }
  return dbtruncate(db, (int)write);
}

int dbflush_indexes(Dbptr db) {
  db.field = dbALL;
  db.record = dbALL;
  Table *t;
  if (dbresolve(db, nullptr, nullptr, &t, nullptr, nullptr, nullptr) != dbTABLE) return dbINVALID;
  if (!t->indexes) return 0;
  std::vector<std::string> names;
  applyarr(
      t->indexes,
      [](const char *key, void *, void *arg) {
        static_cast<std::vector<std::string> *>(arg)->push_back(key);
        return 0;
      },
      &names);
  for (const std::string &name : names) {
    Dbindex *index = static_cast<Dbindex *>(delarr(t->indexes, name.c_str()));
    if (!index) continue;
    if (index->file && unlink(index->file) != 0 && errno != ENOENT)
      elog_complain(1, "Can't remove out of date index file %s\n", index->file);
    dbfree_index(index);
  }
  return 0;
}

int dbdestroy(Dbptr db) {
  db.table = dbALL;
  db.field = dbALL;
  db.record = dbALL;
  int writable = 0;
  if (dbquery(db, dbDATABASE_IS_WRITABLE, &writable) < 0 || !writable) {
    elog_log(0, "Can't destroy a database opened read-only.\n");
    return dbINVALID;
  }
  bool failed = false;
  Tbl *names = nullptr;
  if (dbquery(db, dbSCHEMA_TABLES, &names) < 0) names = nullptr;
  for (long i = 0; i < maxtbl(names); i++) {
    const char *name = static_cast<const char *>(gettbl(names, i));
    Dbptr table = dblookup(db, nullptr, name, nullptr, nullptr);
    if (table.table < 0) {
      elog_clear_register(0);
      continue;
    }
    char *path = nullptr;
    if (dbquery(table, dbTABLE_FILENAME, &path) < 0 || !path || !*path) continue;
    std::string file = path;
    if (exists(file.c_str()) && unlink(file.c_str()) != 0) {
      elog_log(1, "Couldn't remove file %s\n", file.c_str());
      failed = true;
    }
    char *lock = dblockname(file.c_str());
    if (lock && exists(lock) && unlink(lock) != 0) {
      elog_log(1, "Couldn't remove lock file %s\n", lock);
      failed = true;
    }
    free(lock);
  }
  char *descriptor = nullptr;
  if (dbquery(db, dbDATABASE_FILENAME, &descriptor) == 0 && descriptor && exists(descriptor) &&
      unlink(descriptor) != 0) {
    elog_log(1, "Couldn't remove descriptor file %s\n", descriptor);
    failed = true;
  }
  int result = RVdbclose(db);
  return failed ? (result | dbINVALID) : result;
}
