// dbdelete.cpp - removing records and tables: dbmark (overwrite with the null record),
// dbdelete (remove one record and move the later ones down), dbcrunch (squeeze out the
// marked records), dbtruncate, dbflush_indexes and dbdestroy.
//
// dbmark, dbdelete, dbcrunch and dbtruncate change table files under the table lock and
// map the file afresh once they hold it, so that records other processes appended are
// neither cut off nor overwritten. In-memory tables are not locked.
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

bool exists(const char *path) {
  struct stat st;
  return path && lstat(path, &st) == 0;
}

}  // namespace

// Maps a locked table file afresh, so that its length is the file's. 0 or dbINVALID.
int remap_locked(DbTarget *t) {
  if (t->relation->transient) return 0;
  if (map_table(t->database, t->relation, 0) < 0) return dbINVALID;
  return 0;
}

int dbmark(Dbptr db) {
  DbTarget t;
  if (db_target_record(db, &t) != dbRECORD || !t.address) return dbINVALID;
  if (db.record < 0) return dbINVALID;  // the scratch and null records are not in the table
  char *nullrec = db_null_record(db);
  if (!nullrec) return dbINVALID;
  if (!t.table->writable) {
    elog_log(0, "dbmark: Table %s (%s) is opened read-only and can't be modified.\n", t.table->name,
             db_table_label(t.table));
    return dbINVALID;
  }
  DbTableLock lock(t.database, t.relation, t.table);
  if (!lock.held()) return dbINVALID;
  // Locking may have remapped the table, or another process shortened it.
  if (remap_locked(&t) < 0 || db_target_record(db, &t) != dbRECORD || !t.address) return dbINVALID;
  dbindexes_remove_record(t.table, db.record, false);
  memcpy(t.address, nullrec, (size_t)t.relation->size);
  return lock.release();
}

int dbdelete(Dbptr db) {
  DbTarget t;
  if (db_target_record(db, &t) != dbRECORD || !t.address || db.record < 0) return dbINVALID;
  if (!t.table->writable) {
    elog_log(0, "dbdelete: Table %s (%s) is opened read-only and can't be modified.\n",
             t.table->name, db_table_label(t.table));
    return dbINVALID;
  }
  DbTableLock lock(t.database, t.relation, t.table);
  if (!lock.held()) return dbINVALID;
  // The file may have grown or shrunk since it was mapped: the move and the truncation
  // below work on its length now.
  if (remap_locked(&t) < 0 || db_target_record(db, &t) != dbRECORD || !t.address) return dbINVALID;
  Database *d = t.database;
  Relation *r = t.relation;
  Table *table = t.table;
  const size_t rsize = (size_t)r->size;
  const size_t after = (size_t)db.record * rsize + rsize;
  memmove(table->data + after - rsize, table->data + after, (size_t)table->length - after);
  if (r->transient) {
    table->length -= (uint32_t)rsize;
    table->count--;
    dbindexes_remove_record(table, db.record, true);
    return 0;
  }
  const uint32_t shorter = table->length - (uint32_t)rsize;
  if (munmap(table->data, table->length) != 0) {
    elog_log(1, "munmap fails in dbdelete in %s", db_table_label(table));
    return dbINVALID;
  }
  table->data = nullptr;
  if (ftruncate(table->fd, (off_t)shorter) != 0) {
    elog_log(1, "ftruncate fails in dbdelete in %s", db_table_label(table));
    table->length = UINT32_MAX;  // remapped at the next use
    return dbINVALID;
  }
  table->length = shorter;
  if (lock.release() < 0) return dbINVALID;
  // Forget the mapping, so that the table is mapped afresh at its new length.
  table->data = nullptr;
  table->length = UINT32_MAX;
  table->count = 0;
  if (map_table(d, r, 0) < 0) return dbINVALID;
  dbindexes_remove_record(table, db.record, true);
  return 0;
}

int dbtruncate(Dbptr db, int n) {
  db.field = dbALL;
  db.record = dbALL;
  DbTarget t;
  if (db_target_table(db, &t) != dbTABLE) {
    elog_log(0, "dbtruncate requires db pointer to table\n");
    return dbINVALID;
  }
  if (t.table->length > 0 && !t.table->writable) {
    elog_log(0, "Table %s is opened read-only and cannot be updated\n", db_table_label(t.table));
    return dbINVALID;
  }
  if (n < 0) n = 0;
  Database *d = t.database;
  Relation *r = t.relation;
  Table *table = t.table;
  int result = 0;
  {
    // A table file nobody has created has nothing to cut and nothing to lock.
    const bool file = !r->transient && table->fd >= 0;
    DbTableLock lock(d, r, file ? table : nullptr);
    if (file && !lock.held()) return dbINVALID;
    if (file && remap_locked(&t) < 0) return dbINVALID;
    if (table->length > 0) {
      int count = 0;
      if (dbquery(db, dbRECORD_COUNT, &count) < 0) return dbINVALID;
      const int kept = std::min(count, n);
      const uint32_t length = (uint32_t)kept * (uint32_t)r->size;
      if (r->transient) {
        table->count = kept;
        table->length = length;
      } else {
        if (table->data && table->length) munmap(table->data, table->length);
        table->data = nullptr;
        table->length = 0;
        table->count = 0;
        if (!table->path || truncate(table->path, (off_t)length) != 0) {
          elog_log(1, "Can't truncate file '%s' to length %d\n", db_table_label(table),
                   (int)length);
          result = dbINVALID;
        }
        table->length = UINT32_MAX;  // map afresh below, whatever the file's length now
      }
    }
    if (lock.release() < 0) result = dbINVALID;
  }
  if (map_table(d, r, 0) < 0) return dbINVALID;
  // Indexes would name records that are gone (dbcrunch moves records, then truncates).
  dbflush_indexes(db);
  return result;
}

int dbcrunch(Dbptr db) {
  db.field = dbALL;
  db.record = dbALL;
  DbTarget t;
  if (db_target_table(db, &t) != dbTABLE) return dbINVALID;
  if (t.table->length == 0) return 0;
  if (!t.table->writable) {
    elog_log(0, "dbcrunch : Table %s (%s) is opened read-only and can't be modified.\n",
             t.table->name, db_table_label(t.table));
    return dbINVALID;
  }
  char *nullrec = db_null_record(db);
  if (!nullrec) return dbINVALID;
  // The lock is held from the scan to the truncation, so that no record appended in
  // between is cut off.
  DbTableLock lock(t.database, t.relation, t.table);
  if (!lock.held()) return dbINVALID;
  if (remap_locked(&t) < 0 || db_target_table(db, &t) != dbTABLE) return dbINVALID;
  Table *table = t.table;
  if (!table->data) return lock.release();
  const size_t rsize = (size_t)t.relation->size;
  const size_t count = table->length / rsize;
  auto marked = [&](size_t i) { return memcmp(table->data + i * rsize, nullrec, rsize) == 0; };
  size_t write = 0;
  while (write < count && !marked(write)) write++;
  if (write == count) return lock.release();
  size_t read = write + 1;
  while (read < count) {
    if (marked(read)) {
      read++;
      continue;
    }
    size_t end = read;
    while (end < count && !marked(end)) end++;
    memmove(table->data + write * rsize, table->data + read * rsize, (end - read) * rsize);
    write += end - read;
    read = end;
  }
  int result = dbtruncate(db, (int)write);
  if (lock.release() < 0) return dbINVALID;
  return result;
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
