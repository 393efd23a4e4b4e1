// dbtarget.cpp - the resolution steps that the table-changing routines share: the table
// or record behind a pointer, its null record, its name for messages, and a scoped hold
// of the table lock.
//
// Nothing here is locked beyond the table lock it takes: one thread at a time per
// database.
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/elog.h"
#include "reldb/dbinternal.h"

int db_target_table(Dbptr db, DbTarget *out) {
  db.field = dbALL;
  db.record = dbALL;
  *out = DbTarget{};
  return dbresolve(db, &out->database, &out->relation, &out->table, nullptr, &out->address,
                   &out->size);
}

int db_target_record(Dbptr db, DbTarget *out) {
  db.field = dbALL;
  *out = DbTarget{};
  return dbresolve(db, &out->database, &out->relation, &out->table, nullptr, &out->address,
                   &out->size);
}

char *db_null_record(Dbptr db) {
  db.field = dbALL;
  db.record = dbNULL;
  char *address = nullptr;
  int size = 0;
  if (dbresolve(db, nullptr, nullptr, nullptr, nullptr, &address, &size) != dbRECORD)
    return nullptr;
  return address;
}

int db_copy_out(const Table *table, const char *address, size_t n, char *out) {
  const bool mapped_file = table && !table->relation->transient && table->fd >= 0 && table->data &&
                           address >= table->data && address < table->data + table->length;
  if (!mapped_file) {
    memmove(out, address, n);
    return 0;
  }
  const off_t at = (off_t)(address - table->data);
  size_t got = 0;
  while (got < n) {
    ssize_t r = pread(table->fd, out + got, n - got, at + (off_t)got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += (size_t)r;
  }
  if (got < n) {
    elog_log(0, "Table %s was shortened by another process: bytes %lld to %lld are gone\n",
             db_table_label(table), (long long)at, (long long)(at + (off_t)n));
    return dbINVALID;
  }
  return 0;
}

const char *db_table_label(const Table *table) { return table->path ? table->path : table->name; }

DbTableLock::DbTableLock(Database *database, Relation *relation, Table *table)
    : database_(database), table_(table) {
  if (!table || relation->transient) {
    ok_ = true;
    return;
  }
  locked_ = _dblock(database, table) == 0;
  ok_ = locked_;
}

int DbTableLock::release() {
  if (!locked_) return 0;
  locked_ = false;
  return _dbunlock(database_, table_);
}
