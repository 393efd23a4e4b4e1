// dblookup.cpp - turning pointers into records (dbresolve), names into pointers
// (dblookup), answering properties by code (dbquery), the base-table pointers behind a
// view record (dbref, dbsize) and the entries of an index (dbrecord, dbkey).
//
// The registry of open databases is read under DB_global_mutex; the records found are
// used without a lock (one thread at a time per database). Texts and lists that dbquery
// hands out belong to the database.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/dbinternal.h"
#include "reldb/dbview.h"
#include "support/fsutil.h"

namespace {

// Views refer to base tables, never to themselves; this bounds the walk all the same.
constexpr int kMaxDepth = 16;

// Whether the table file's size differs from the mapped length.
bool table_file_changed(const Table *t) {
  struct stat st;
  return fstat(t->fd, &st) != 0 || (unsigned long long)st.st_size != t->length;
}

int resolve(Dbptr db, Database **database, Relation **relation, Table **table, Field **field,
            char **address, int *size, int depth) {
  Database *d = nullptr;
  {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    if (db.database < 0 || db.database >= Ndatabases || !Databases_tbl) {
      elog_log(0, "Bad database id %d in db pointer\n", db.database);
      return dbINVALID;
    }
    d = static_cast<Database *>(gettbl(Databases_tbl, db.database));
  }
  if (!d) {
    elog_log(0, "Bad database id %d (database was closed) in db pointer\n", db.database);
    return dbINVALID;
  }
  *database = d;
  Schema *s = d->schema;
  if (db.table < 0 || db.table >= s->nrelations) {
    if (db.table == dbALL) return dbDATABASE;
    elog_log(0, "Bad table id %d in db pointer\n", db.table);
    return dbINVALID;
  }
  Relation *r = static_cast<Relation *>(gettbl(s->relations, db.table));
  if (!r) {
    elog_log(0, "Bad table id %d (relation was closed) in db pointer\n", db.table);
    return dbINVALID;
  }
  Table *t = d->tables ? static_cast<Table *>(gettbl(d->tables, db.table)) : nullptr;
  if (!t || !t->data) {
    map_table(d, r, 0);
    t = d->tables ? static_cast<Table *>(gettbl(d->tables, db.table)) : nullptr;
    if (!t) return dbINVALID;
  }
  *relation = r;
  *table = t;

  char *at = nullptr;
  int n = 0;
  switch (db.record) {
    case dbSCRATCH:
      if (!t->scratch) new_scratch(db, t);
      at = t->scratch;
      n = r->size;
      break;
    case dbNULL:
      if (!r->nullrecord) new_null(db);
      if (!r->nullrecord) return dbINVALID;
      at = r->nullrecord;
      n = r->size;
      break;
    case dbALL:
      if (db.field == dbALL) {
        *address = t->data;
        *size = (int)t->length;
        return dbTABLE;
      }
      break;
    default:
      // A record past the end last seen may have been appended since by another
      // process: look at the file again. Reads of the file's bytes go through
      // db_copy_out, which fails rather than faults when the file has been shortened.
      if (!r->transient && t->fd >= 0 && db.record >= t->count && table_file_changed(t)) {
        map_table(d, r, 0);
        t = d->tables ? static_cast<Table *>(gettbl(d->tables, db.table)) : nullptr;
        if (!t) return dbINVALID;
        *table = t;
      }
      if (db.record < 0 || db.record >= t->count || !t->data) {
        elog_log(0, "Bad record id %d in db pointer\n", db.record);
        return dbINVALID;
      }
      at = t->data + (size_t)db.record * (size_t)r->size;
      n = r->size;
      break;
  }
  *address = at;
  *size = n;

  if (db.field < 0 || db.field >= r->nfields) {
    if (db.field == dbALL) return dbRECORD;
    elog_log(0, "Bad field id %d in db pointer\n", db.field);
    return dbINVALID;
  }
  Field *f = static_cast<Field *>(gettbl(r->fields, db.field));
  Attribute *a = db_field_attribute(f);
  int fsize = f->is_ref ? 16 : a->size;
  // A field must lie inside its record: a table reference of a plain table (its own
  // reference) is wider than a short record.
  if (f->offset < 0 || (long)f->offset + (f->table == r->id ? fsize : 16) > (long)r->size) {
    elog_log(0, "Bad field id %d in db pointer (outside the record)\n", db.field);
    return dbINVALID;
  }
  if (at) at += f->offset;
  *address = at;
  *size = fsize;
  *field = f;
  if (f->table == r->id) return dbFIELD;

  // The field belongs to a base table of a view: follow the view record's pointer.
  if (depth >= kMaxDepth) {
    elog_log(0, "Bad field id %d in db pointer (views nested too deep)\n", db.field);
    return dbINVALID;
  }
  Dbptr base = {db.database, f->table, f->index, dbALL};
  if (at) {
    Dbptr stored;
    memcpy(&stored, at, sizeof stored);
    base.record = stored.record;
  }
  *database = nullptr;
  *relation = nullptr;
  *table = nullptr;
  *field = nullptr;
  *address = nullptr;
  *size = 0;
  return resolve(base, database, relation, table, field, address, size, depth + 1);
}

}  // namespace

int dbresolve(Dbptr db, Database **database, Relation **relation, Table **table, Field **field,
              char **address, int *size) {
  Database *d = nullptr;
  Relation *r = nullptr;
  Table *t = nullptr;
  Field *f = nullptr;
  char *a = nullptr;
  int n = 0;
  if (database) *database = nullptr;
  if (relation) *relation = nullptr;
  if (table) *table = nullptr;
  if (field) *field = nullptr;
  if (address) *address = nullptr;
  if (size) *size = 0;
  int level = resolve(db, &d, &r, &t, &f, &a, &n, 0);
  if (level == dbINVALID) return level;
  if (database) *database = d;
  if (relation) *relation = r;
  if (table) *table = t;
  if (field) *field = f;
  if (address) *address = a;
  if (size) *size = n;
  return level;
}

Dbptr dblookup_saved_view(Dbptr db, const char *path, const char *name) {
  FILE *file = fopen(path, "r");
  if (!file) {
    elog_log(1, "dblookup: can't open saved view %s (%s)\n", name, path);
    return {db.database, dbINVALID, dbINVALID, db.record};
  }
  // A saved view may name other saved views, or itself: the nesting is bounded.
  static thread_local int depth = 0;
  Dbptr view;
  int result = dbINVALID;
  if (depth < kMaxDepth) {
    depth++;
    result = dbread_view(file, &view, name);
    depth--;
  } else {
    elog_log(0, "dblookup: saved view %s (%s) nests too deep\n", name, path);
  }
  fclose(file);
  if (result != 0) return {db.database, dbINVALID, dbINVALID, db.record};
  return {view.database, view.table, dbALL, db.record};
}

static bool empty(const char *text) { return !text || !*text; }

Dbptr dblookup(Dbptr db, const char *database, const char *table, const char *field,
               const char *record) {
  Dbptr out = db;
  Database *d = nullptr;
  // Database.
  if (empty(database)) {
    d = db_database(db.database);
  } else {
    {
      std::lock_guard<std::mutex> lock(DB_global_mutex);
      if (Databases_root) d = static_cast<Database *>(getarr(Databases_root, database));
    }
    if (!d) {
      Dbptr opened;
      if (RVdbopen(database, "r+", &opened) == 0) d = db_database(opened.database);
    }
    if (d) {
      out.database = d->id;
      out.table = out.field = out.record = dbALL;
    }
  }
  if (!d) {
    dbinvalid(&out);
    return out;
  }
  Schema *s = d->schema;

  // Table.
  Relation *r = nullptr;
  if (empty(table)) {
    // A database pointer stays one: nothing below a table can be named without a table.
    if (out.table == dbALL) return out;
    if (out.table >= 0 && out.table < s->nrelations)
      r = static_cast<Relation *>(gettbl(s->relations, out.table));
  } else if (strcmp(table, "dbALL") == 0) {
    // The whole database: nothing below a table can be named.
    return {out.database, dbALL, dbALL, dbALL};
  } else {
    r = static_cast<Relation *>(getarr(s->relation_arr, table));
    if (!r && s->extdir && add_extension(out, s, table)) {
      r = static_cast<Relation *>(getarr(s->relation_arr, table));
      if (!r) {
        elog_complain(0, "\n** extension file for %s doesn't define %s **\n\n", table, table);
        return {out.database, dbINVALID, dbINVALID, out.record};
      }
    }
    if (!r) {
      std::string path;
      if (find_path(d->name, table, d->dbpath, &path) == 0)
        return dblookup_saved_view(out, path.c_str(), table);
      return {out.database, dbINVALID, dbINVALID, out.record};
    }
    out.table = r->id;
    out.field = dbALL;
  }
  if (!r) return {out.database, dbINVALID, dbINVALID, out.record};

  // Field.
  if (empty(field)) {
    if (out.field != dbALL && (out.field < 0 || out.field >= r->nattr_fields))
      out.field = dbINVALID;
  } else if (strcmp(field, "dbALL") == 0) {
    out.field = dbALL;
  } else {
    std::string name = field, tpart, fpart = field;
    size_t dot = name.find('.');
    if (dot != std::string::npos) {
      tpart = name.substr(0, dot);
      fpart = name.substr(dot + 1);
    }
    Field *f = nullptr;
    int index = dbINVALID;
    if (!r->has_fields) {
      for (long i = 0; r->relrefs && i < maxtbl(r->relrefs) && index == dbINVALID; i++) {
        Relref *rr = static_cast<Relref *>(gettbl(r->relrefs, i));
        if (!tpart.empty() && tpart != rr->relation->name) continue;
        f = rr->relation->field_arr
                ? static_cast<Field *>(getarr(rr->relation->field_arr, fpart.c_str()))
                : nullptr;
        if (f) index = f->index + rr->first;
      }
      if (index == dbINVALID && (f = static_cast<Field *>(getarr(r->field_arr, field))))
        index = f->index;
    } else {
      f = static_cast<Field *>(getarr(r->field_arr, field));
      if (!f && !tpart.empty() && tpart == r->name)
        f = static_cast<Field *>(getarr(r->field_arr, fpart.c_str()));
      if (f) index = f->index;
    }
    out.field = index;
  }

  // Record.
  if (empty(record)) return out;
  if (strcmp(record, "dbNULL") == 0)
    out.record = dbNULL;
  else if (strcmp(record, "dbALL") == 0)
    out.record = dbALL;
  else if (strcmp(record, "dbINVALID") == 0)
    out.record = dbINVALID;
  else if (strcmp(record, "dbSCRATCH") == 0)
    out.record = dbSCRATCH;
  else {
    Dbptr probe = out;
    int count = 0;
    if (dbquery(probe, dbRECORD_COUNT, &count) < 0 || out.field < 0) {
      out.record = dbINVALID;
      return out;
    }
    std::string key = record;
    size_t a = key.find_first_not_of(' ');
    size_t b = key.find_last_not_of(' ');
    key = a == std::string::npos ? "" : key.substr(a, b - a + 1);
    out.record = dbINVALID;
    for (int i = 0; i < count; i++) {
      probe.record = i;
      char *at;
      int size;
      if (dbresolve(probe, nullptr, nullptr, nullptr, nullptr, &at, &size) != dbFIELD || !at) break;
      if (key.size() > (size_t)size) break;
      std::string text(at, (size_t)size);
      size_t x = text.find_first_not_of(' ');
      size_t y = text.find_last_not_of(' ');
      text = x == std::string::npos ? "" : text.substr(x, y - x + 1);
      if (text == key) {
        out.record = i;
        break;
      }
    }
  }
  return out;
}

namespace {

enum Kind { K_INT, K_TEXT, K_PTR };

// What dbquery writes through its result pointer for each code (dbTYPE depends on the
// level). Unknown codes: -1.
int result_kind(int code, const Dbptr &db) {
  switch (code) {
    case dbFIELD_NULL:
    case dbDATABASE_SCHEMA_NAME:
    case dbLOCKS:
    case dbIDSERVER:
    case dbDATABASE_FILENAME:
    case dbTIMEDATE_NAME:
    case dbFIELD_BASE_TABLE:
    case dbFIELD_FORMAT:
    case dbFIELD_RANGE:
    case dbSCHEMA_DEFAULT:
    case dbTABLE_DEFINES:
    case dbTABLE_DIRNAME:
    case dbDBPATH:
    case dbTABLE_FILENAME:
    case dbFIELD_UNITS:
    case dbFORMAT:
    case dbFIELD_NAME:
    case dbTABLE_NAME:
    case dbDATABASE_NAME:
    case dbSCHEMA_NAME:
    case dbNAME:
    case dbFIELD_DETAIL:
    case dbTABLE_DETAIL:
    case dbDATABASE_DETAIL:
    case dbSCHEMA_DETAIL:
    case dbDETAIL:
    case dbFIELD_DESCRIPTION:
    case dbTABLE_DESCRIPTION:
    case dbDATABASE_DESCRIPTION:
    case dbSCHEMA_DESCRIPTION:
    case dbDESCRIPTION:
      return K_TEXT;
    case dbTABLE_FILES:
    case dbLASTIDS:
    case dbSCHEMA_TABLES:
    case dbSCHEMA_FIELDS:
    case dbSCHEMA_DEFINES:
    case dbVIEW_TABLES:
    case dbFIELD_TABLES:
    case dbTABLE_FIELDS:
    case dbTABLE_DATA:
    case dbFOREIGN_KEYS:
    case dbALTERNATE_KEY:
    case dbPRIMARY_KEY:
      return K_PTR;
    case dbTYPE:
      return db.table == dbALL ? K_TEXT : K_INT;
    case dbRECORD_TERMINATOR:
    case dbFIELD_SEPARATOR:
    case dbTABLE_IS_ADDABLE:
    case dbDATABASE_IS_WRITABLE:
    case dbTABLE_IS_TRANSIENT:
    case dbTABLE_IS_VIEW:
    case dbTABLE_IS_WRITABLE:
    case dbFIELD_OFFSET:
    case dbRECORD_SIZE:
    case dbVIEW_TABLE_COUNT:
    case dbFIELD_TYPE:
    case dbFIELD_SIZE:
    case dbTABLE_SIZE:
    case dbSIZE:
    case dbTABLE_PRESENT:
    case dbRECORD_COUNT:
    case dbFIELD_COUNT:
    case dbTABLE_COUNT:
    case dbDATABASE_COUNT:
    case dbCOUNT:
      return K_INT;
    default:
      return -1;
  }
}

// The level each code is answered at: 'D' codes fix table, field and record to dbALL,
// 'T' codes field and record, the others (F and multi-level codes) the record only.
char code_level(int code) {
  switch (code) {
    case dbTABLE_FILES:
    case dbDATABASE_SCHEMA_NAME:
    case dbLOCKS:
    case dbIDSERVER:
    case dbLASTIDS:
    case dbDATABASE_IS_WRITABLE:
    case dbSCHEMA_TABLES:
    case dbDATABASE_FILENAME:
    case dbTIMEDATE_NAME:
    case dbSCHEMA_FIELDS:
    case dbSCHEMA_DEFINES:
    case dbDBPATH:
    case dbDATABASE_NAME:
    case dbSCHEMA_NAME:
    case dbDATABASE_DETAIL:
    case dbSCHEMA_DETAIL:
    case dbDATABASE_DESCRIPTION:
    case dbSCHEMA_DESCRIPTION:
    case dbTABLE_COUNT:
      return 'D';
    case dbRECORD_TERMINATOR:
    case dbFIELD_SEPARATOR:
    case dbTABLE_IS_ADDABLE:
    case dbTABLE_IS_TRANSIENT:
    case dbTABLE_IS_VIEW:
    case dbTABLE_IS_WRITABLE:
    case dbVIEW_TABLES:
    case dbTABLE_FIELDS:
    case dbTABLE_DATA:
    case dbRECORD_SIZE:
    case dbVIEW_TABLE_COUNT:
    case dbTABLE_DEFINES:
    case dbFOREIGN_KEYS:
    case dbALTERNATE_KEY:
    case dbPRIMARY_KEY:
    case dbTABLE_DIRNAME:
    case dbTABLE_FILENAME:
    case dbTABLE_SIZE:
    case dbTABLE_PRESENT:
    case dbTABLE_NAME:
    case dbTABLE_DETAIL:
    case dbTABLE_DESCRIPTION:
    case dbRECORD_COUNT:
    case dbFIELD_COUNT:
      return 'T';
    default:
      return 'F';
  }
}

const char *text_or_empty(const char *t) { return t ? t : ""; }

}  // namespace

int dbquery(Dbptr db, int code, void *result) {
  static const char bad[] = "**bad dbquery**";
  int kind = result_kind(code, db);
  if (result) {
    if (kind == K_TEXT)
      *static_cast<const char **>(result) = bad;
    else if (kind == K_PTR)
      *static_cast<void **>(result) = nullptr;
    else if (kind == K_INT)
      *static_cast<int *>(result) = 0;
  }
  if (kind < 0) {
    elog_log(0, "dbquery doesn't recognize code %d\n", code);
    return dbINVALID;
  }
  auto answer_int = [&](int v, bool returned) {
    if (result) *static_cast<int *>(result) = v;
    return returned ? v : 0;
  };
  auto answer_text = [&](const char *t) {
    if (result) *static_cast<const char **>(result) = t;
    return 0;
  };
  auto answer_ptr = [&](void *p) {
    if (result) *static_cast<void **>(result) = p;
    return 0;
  };

  if (code == dbSCHEMA_DEFAULT) return answer_text(Default_schema);
  if (code == dbDATABASE_COUNT) {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    return answer_int(Ndatabases, false);
  }
  if (code == dbSIZE) {
    if (db.record != dbALL && db.record != dbSCRATCH && db.record != dbNULL) db.record = 0;
  } else {
    char level = code_level(code);
    if (level == 'D')
      db.table = db.field = db.record = dbALL;
    else if (level == 'T')
      db.field = db.record = dbALL;
    else
      db.record = dbALL;
  }
  Database *d;
  Relation *r;
  Table *t;
  Field *f;
  char *address;
  int size;
  int level = dbresolve(db, &d, &r, &t, &f, &address, &size);
  if (level == dbINVALID) return dbINVALID;
  Schema *s = d->schema;
  Attribute *a = f ? db_field_attribute(f) : nullptr;
  Relation *target = f && f->is_ref ? static_cast<Relation *>(f->target) : nullptr;
  // The field's name, from the relation that holds it.
  auto field_name = [&]() -> const char * {
    if (!f || !r) return "";
    return text_or_empty(static_cast<const char *>(gettbl(r->field_names, f->index)));
  };
  const bool D = level == dbDATABASE, T = level == dbTABLE, F = level == dbFIELD,
             R = level == dbRECORD;

  switch (code) {
    case dbFIELD_NULL:
      if (!F) break;
      return answer_text(a->null ? a->null : db_nullstr);
    case dbRECORD_TERMINATOR:
      if (!T) break;
      return answer_int((unsigned char)r->terminator, false);
    case dbFIELD_SEPARATOR:
      if (!T) break;
      return answer_int((unsigned char)r->separator, false);
    case dbTABLE_FILES:
      if (!D) break;
      return answer_ptr(dbtablefiles(db));
    case dbTABLE_IS_ADDABLE: {
      if (!T) break;
      if (d->locking != DBLOCK_NONE && d->locking != DBLOCK_LOCAL && d->locking != DBLOCK_NFS) {
        elog_log(0, "unknown DBLOCKS code %d", d->locking);
        return dbINVALID;
      }
      bool nfs = d->locking == DBLOCK_LOCAL && t->tabledir && is_nfs(t->tabledir) == 1;
      return answer_int(t->writable && !nfs, false);
    }
    case dbDATABASE_SCHEMA_NAME:
      if (!D) break;
      return answer_text(text_or_empty(d->schema_name));
    case dbLOCKS:
      if (!D) break;
      return answer_text(d->locking == DBLOCK_NONE    ? "none"
                         : d->locking == DBLOCK_LOCAL ? "local"
                         : d->locking == DBLOCK_NFS   ? "nfs"
                                                      : "*invalid*");
    case dbIDSERVER:
      if (!D) break;
      return answer_text(text_or_empty(d->idserver));
    case dbLASTIDS:
      if (!D) break;
      return answer_ptr(d->lastids);
    case dbDATABASE_IS_WRITABLE:
      if (!D) break;
      return answer_int(d->openperm && strcmp(d->openperm, "r+") == 0, false);
    case dbSCHEMA_TABLES:
      if (!D) break;
      return answer_ptr(s->tablenames);
    case dbDATABASE_FILENAME:
      if (!D) break;
      return answer_text(text_or_empty(d->abspath));
    case dbTIMEDATE_NAME:
      if (!D) break;
      return answer_text(text_or_empty(s->timedate));
    case dbTABLE_IS_TRANSIENT:
      if (!T) break;
      return answer_int(r->transient, false);
    case dbFIELD_BASE_TABLE:
      if (!F) break;
      return answer_text(r->name);
    case dbTABLE_IS_VIEW:
      if (!T) break;
      return answer_int(r->has_refs, false);
    case dbTABLE_IS_WRITABLE:
      if (!T) break;
      return answer_int(t->writable, false);
    case dbSCHEMA_FIELDS:
      if (!D) break;
      return answer_ptr(s->attribute_names);
    case dbSCHEMA_DEFINES:
      if (!D) break;
      return answer_ptr(s->defines);
    case dbVIEW_TABLES:
      if (!T) break;
      return answer_ptr(r->reftables);
    case dbFIELD_TABLES:
      if (!F || f->is_ref) break;
      return answer_ptr(a->relations);
    case dbTABLE_FIELDS:
      if (!T) break;
      return answer_ptr(r->field_names);
    case dbTABLE_DATA:
      if (!T) break;
      return answer_ptr(t->data);
    case dbFIELD_OFFSET:
      if (!F) break;
      return answer_int(f->offset, false);
    case dbFIELD_FORMAT:
    case dbFORMAT:
      if (!F) break;
      return answer_text(text_or_empty(a->format));
    case dbRECORD_SIZE:
      if (!T) break;
      return answer_int(r->size, true);
    case dbVIEW_TABLE_COUNT:
      if (!T) break;
      return answer_int(r->nrelrefs, true);
    case dbFIELD_RANGE:
      if (!F) break;
      return answer_text(text_or_empty(a->range));
    case dbTABLE_DEFINES:
      if (!T) break;
      return answer_text(text_or_empty(r->defines));
    case dbFOREIGN_KEYS:
      if (!T) break;
      return answer_ptr(r->foreign);
    case dbALTERNATE_KEY:
      if (!T) break;
      return answer_ptr(r->alternate);
    case dbPRIMARY_KEY:
      if (!T) break;
      return answer_ptr(r->primary);
    case dbTABLE_DIRNAME:
      if (!T) break;
      return answer_text(text_or_empty(t->tabledir));
    case dbDBPATH:
      if (!D) break;
      return answer_text(text_or_empty(d->dbpath));
    case dbTABLE_FILENAME:
      if (!T) break;
      return answer_text(text_or_empty(t->path));
    case dbFIELD_TYPE:
      if (!F) break;
      return answer_int(a->type, true);
    case dbFIELD_UNITS:
      if (!F) break;
      return answer_text(text_or_empty(a->units));
    case dbTYPE:
      if (F) return answer_int(a->type, true);
      if (D) return answer_text(text_or_empty(s->name));
      break;
    case dbFIELD_SIZE:
      if (!F) break;
      return answer_int(f->is_ref ? 16 : a->size, true);
    case dbTABLE_SIZE:
      if (!T) break;
      return answer_int((int)t->length, true);
    case dbSIZE:
      if (F) return answer_int(f->is_ref ? 16 : a->size, true);
      if (R) return answer_int(r->size, true);
      if (T) return answer_int((int)t->length, true);
      break;
    case dbTABLE_PRESENT:
      if (!T) break;
      return answer_int(t->count > 0, true);
    case dbFIELD_NAME:
      if (!F) break;
      return answer_text(field_name());
    case dbTABLE_NAME:
      if (!T) break;
      return answer_text(r->name);
    case dbDATABASE_NAME:
      if (!D) break;
      return answer_text(text_or_empty(d->name));
    case dbSCHEMA_NAME:
      if (!D) break;
      return answer_text(text_or_empty(s->name));
    case dbNAME:
      if (F) return answer_text(field_name());
      if (T) return answer_text(r->name);
      if (D) return answer_text(text_or_empty(d->name));
      break;
    case dbFIELD_DETAIL:
      if (!F) break;
      return answer_text(target ? target->detail : a->detail);
    case dbTABLE_DETAIL:
      if (!T) break;
      return answer_text(r->detail);
    case dbDATABASE_DETAIL:
      if (!D) break;
      return answer_text(d->detail);
    case dbSCHEMA_DETAIL:
      if (!D) break;
      return answer_text(s->detail);
    case dbDETAIL:
      if (F) return answer_text(target ? target->detail : a->detail);
      if (T) return answer_text(r->detail);
      if (D) return answer_text(s->detail);
      break;
    case dbFIELD_DESCRIPTION:
      if (!F) break;
      return answer_text(target ? target->description : a->description);
    case dbTABLE_DESCRIPTION:
      if (!T) break;
      return answer_text(r->description);
    case dbDATABASE_DESCRIPTION:
      if (!D) break;
      return answer_text(d->description);
    case dbSCHEMA_DESCRIPTION:
      if (!D) break;
      return answer_text(s->description);
    case dbDESCRIPTION:
      if (F) return answer_text(target ? target->description : a->description);
      if (T) return answer_text(r->description);
      if (D) return answer_text(s->description);
      break;
    case dbRECORD_COUNT:
      if (!T) break;
      // dbresolve has just mapped a table without data; one with data is checked for
      // growth here. Either way the table file is examined once per query.
      if (t->data && map_table(d, r, 0) < 0) return answer_int(0, true);
      return answer_int(t->count, true);
    case dbFIELD_COUNT:
      if (!T) break;
      return answer_int(r->nattr_fields, true);
    case dbTABLE_COUNT:
      if (!D) break;
      return answer_int(s->nrelations, true);
    case dbCOUNT:
      if (F) return answer_int(r->nattr_fields, true);
      if (T) return answer_int(s->nrelations, true);
      if (D) {
        std::lock_guard<std::mutex> lock(DB_global_mutex);
        return answer_int((int)maxtbl(Databases_tbl), true);
      }
      break;
    default:
      break;
  }
  return dbINVALID;
}

Dbptr *dbref(Dbptr *db) {
  db->field = dbALL;
  Relation *r;
  char *address;
  int level = dbresolve(*db, nullptr, &r, nullptr, nullptr, &address, nullptr);
  if ((level == dbRECORD || level == dbTABLE) && r->has_refs && address)
    return reinterpret_cast<Dbptr *>(address);
  return db;
}

int dbsize(Dbptr db) {
  Relation *r;
  Dbptr t = {db.database, db.table, dbALL, dbALL};
  if (dbresolve(t, nullptr, &r, nullptr, nullptr, nullptr, nullptr) == dbTABLE && r->has_refs)
    return r->nrelrefs;
  return 1;
}

int dbrecord(Dbindex *index, int i) {
  if (!index || !index->entries || i < 0 || i >= maxtbl(index->entries)) return dbINVALID;
  int32_t record;
  memcpy(&record, gettbl(index->entries, i), sizeof record);
  return record;
}

char *dbkey(Dbindex *index, int i) {
  if (!index || !index->entries || i < 0 || i >= maxtbl(index->entries)) return nullptr;
  return static_cast<char *>(gettbl(index->entries, i)) + sizeof(int32_t);
}
