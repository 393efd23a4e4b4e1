// dbtarget.cpp - the resolution steps that the table-changing routines share: the table
// or record behind a pointer, its null record, its name for messages, and a scoped hold
// of the table lock.
//
// Nothing here is locked beyond the table lock it takes: one thread at a time per
// database.
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
