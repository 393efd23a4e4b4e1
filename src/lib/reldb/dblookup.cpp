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

namespace {

// Where dbquery puts its answer: the caller's result (none: only the return value).
struct Answer {
  void *result;
  // An int answer; it is also the return value where `returned`.
  int number(int v, bool returned) const {
    if (result) *static_cast<int *>(result) = v;
    return returned ? v : 0;
  }
  int text(const char *t) const {
    if (result) *static_cast<const char **>(result) = t;
    return 0;
  }
  int ptr(void *p) const {
    if (result) *static_cast<void **>(result) = p;
    return 0;
  }
};

// The objects a query names, resolved.
struct Queried {
  Dbptr db;
  Database *d;
  Relation *r;
  Table *t;
  Field *f;
  Schema *s;
  Attribute *a;      // the field's attribute, or none
  Relation *target;  // the table a reference field names, or none
  bool D, T, F, R;   // the level the pointer resolved to
  // The field's name, from the relation that holds it.
  const char *field_name() const {
    if (!f || !r) return "";
    return text_or_empty(static_cast<const char *>(gettbl(r->field_names, f->index)));
  }
};

// Codes about the database and its schema (code_level 'D'), at that level: their answer.
int answer_database(int code, const Queried &q, const Answer &out) {
  Database *d = q.d;
  Schema *s = q.s;
  switch (code) {
    case dbTABLE_FILES:
      return out.ptr(dbtablefiles(q.db));
    case dbDATABASE_SCHEMA_NAME:
      return out.text(text_or_empty(d->schema_name));
    case dbLOCKS:
      return out.text(d->locking == DBLOCK_NONE    ? "none"
                      : d->locking == DBLOCK_LOCAL ? "local"
                      : d->locking == DBLOCK_NFS   ? "nfs"
                                                   : "*invalid*");
    case dbIDSERVER:
      return out.text(text_or_empty(d->idserver));
    case dbLASTIDS:
      return out.ptr(d->lastids);
    case dbDATABASE_IS_WRITABLE:
      return out.number(d->openperm && strcmp(d->openperm, "r+") == 0, false);
    case dbSCHEMA_TABLES:
      return out.ptr(s->tablenames);
    case dbDATABASE_FILENAME:
      return out.text(text_or_empty(d->abspath));
    case dbTIMEDATE_NAME:
      return out.text(text_or_empty(s->timedate));
    case dbSCHEMA_FIELDS:
      return out.ptr(s->attribute_names);
    case dbSCHEMA_DEFINES:
      return out.ptr(s->defines);
    case dbDBPATH:
      return out.text(text_or_empty(d->dbpath));
    case dbDATABASE_NAME:
      return out.text(text_or_empty(d->name));
    case dbSCHEMA_NAME:
      return out.text(text_or_empty(s->name));
    case dbDATABASE_DETAIL:
      return out.text(d->detail);
    case dbSCHEMA_DETAIL:
      return out.text(s->detail);
    case dbDATABASE_DESCRIPTION:
      return out.text(d->description);
    case dbSCHEMA_DESCRIPTION:
      return out.text(s->description);
    default:  // dbTABLE_COUNT
      return out.number(s->nrelations, true);
  }
}

// Codes about a table (code_level 'T'), at that level: their answer.
int answer_table(int code, const Queried &q, const Answer &out) {
  Database *d = q.d;
  Relation *r = q.r;
  Table *t = q.t;
  switch (code) {
    case dbRECORD_TERMINATOR:
      return out.number((unsigned char)r->terminator, false);
    case dbFIELD_SEPARATOR:
      return out.number((unsigned char)r->separator, false);
    case dbTABLE_IS_ADDABLE: {
      if (d->locking != DBLOCK_NONE && d->locking != DBLOCK_LOCAL && d->locking != DBLOCK_NFS) {
        elog_log(0, "unknown DBLOCKS code %d", d->locking);
        return dbINVALID;
      }
      bool nfs = d->locking == DBLOCK_LOCAL && t->tabledir && is_nfs(t->tabledir) == 1;
      return out.number(t->writable && !nfs, false);
    }
    case dbTABLE_IS_TRANSIENT:
      return out.number(r->transient, false);
    case dbTABLE_IS_VIEW:
      return out.number(r->has_refs, false);
    case dbTABLE_IS_WRITABLE:
      return out.number(t->writable, false);
    case dbVIEW_TABLES:
      return out.ptr(r->reftables);
    case dbTABLE_FIELDS:
      return out.ptr(r->field_names);
    case dbTABLE_DATA:
      return out.ptr(t->data);
    case dbRECORD_SIZE:
      return out.number(r->size, true);
    case dbVIEW_TABLE_COUNT:
      return out.number(r->nrelrefs, true);
    case dbTABLE_DEFINES:
      return out.text(text_or_empty(r->defines));
    case dbFOREIGN_KEYS:
      return out.ptr(r->foreign);
    case dbALTERNATE_KEY:
      return out.ptr(r->alternate);
    case dbPRIMARY_KEY:
      return out.ptr(r->primary);
    case dbTABLE_DIRNAME:
      return out.text(text_or_empty(t->tabledir));
    case dbTABLE_FILENAME:
      return out.text(text_or_empty(t->path));
    case dbTABLE_SIZE:
      return out.number((int)t->length, true);
    case dbTABLE_PRESENT:
      return out.number(t->count > 0, true);
    case dbTABLE_NAME:
      return out.text(r->name);
    case dbTABLE_DETAIL:
      return out.text(r->detail);
    case dbTABLE_DESCRIPTION:
      return out.text(r->description);
    case dbRECORD_COUNT:
      // dbresolve has just mapped a table without data; one with data is checked for
      // growth here. Either way the table file is examined once per query.
      if (t->data && map_table(d, r, 0) < 0) return out.number(0, true);
      return out.number(t->count, true);
    default:  // dbFIELD_COUNT
      return out.number(r->nattr_fields, true);
  }
}

// Codes about a field, at that level: their answer; dbINVALID for dbFIELD_TABLES of a
// reference field and for a code of no level.
int answer_field(int code, const Queried &q, const Answer &out) {
  Field *f = q.f;
  Attribute *a = q.a;
  Relation *target = q.target;
  switch (code) {
    case dbFIELD_NULL:
      return out.text(a->null ? a->null : db_nullstr);
    case dbFIELD_BASE_TABLE:
      return out.text(q.r->name);
    case dbFIELD_TABLES:
      if (f->is_ref) return dbINVALID;
      return out.ptr(a->relations);
    case dbFIELD_OFFSET:
      return out.number(f->offset, false);
    case dbFIELD_FORMAT:
    case dbFORMAT:
      return out.text(text_or_empty(a->format));
    case dbFIELD_RANGE:
      return out.text(text_or_empty(a->range));
    case dbFIELD_TYPE:
      return out.number(a->type, true);
    case dbFIELD_UNITS:
      return out.text(text_or_empty(a->units));
    case dbFIELD_SIZE:
      return out.number(f->is_ref ? 16 : a->size, true);
    case dbFIELD_NAME:
      return out.text(q.field_name());
    case dbFIELD_DETAIL:
      return out.text(target ? target->detail : a->detail);
    case dbFIELD_DESCRIPTION:
      return out.text(target ? target->description : a->description);
    default:
      return dbINVALID;
  }
}

// Codes whose answer depends on the level the pointer names: their answer, dbINVALID
// at a level the code has none for.
int answer_by_level(int code, const Queried &q, const Answer &out) {
  Relation *r = q.r;
  Schema *s = q.s;
  Attribute *a = q.a;
  Relation *target = q.target;
  switch (code) {
    case dbTYPE:
      if (q.F) return out.number(a->type, true);
      if (q.D) return out.text(text_or_empty(s->name));
      break;
    case dbSIZE:
      if (q.F) return out.number(q.f->is_ref ? 16 : a->size, true);
      if (q.R) return out.number(r->size, true);
      if (q.T) return out.number((int)q.t->length, true);
      break;
    case dbNAME:
      if (q.F) return out.text(q.field_name());
      if (q.T) return out.text(r->name);
      if (q.D) return out.text(text_or_empty(q.d->name));
      break;
    case dbDETAIL:
      if (q.F) return out.text(target ? target->detail : a->detail);
      if (q.T) return out.text(r->detail);
      if (q.D) return out.text(s->detail);
      break;
    case dbDESCRIPTION:
      if (q.F) return out.text(target ? target->description : a->description);
      if (q.T) return out.text(r->description);
      if (q.D) return out.text(s->description);
      break;
    case dbCOUNT:
      if (q.F) return out.number(r->nattr_fields, true);
      if (q.T) return out.number(s->nrelations, true);
      if (q.D) {
        std::lock_guard<std::mutex> lock(DB_global_mutex);
        return out.number((int)maxtbl(Databases_tbl), true);
      }
      break;
    default:
      break;
  }
  return dbINVALID;
}

// The pointer a code is asked of: the parts below the code's level become dbALL (dbSIZE
// keeps a record, as record 0).
Dbptr query_scope(Dbptr db, int code) {
  if (code == dbSIZE) {
    if (db.record != dbALL && db.record != dbSCRATCH && db.record != dbNULL) db.record = 0;
    return db;
  }
  char level = code_level(code);
  if (level == 'D')
    db.table = db.field = db.record = dbALL;
  else if (level == 'T')
    db.field = db.record = dbALL;
  else
    db.record = dbALL;
  return db;
}

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
  const Answer out{result};
  if (code == dbSCHEMA_DEFAULT) return out.text(Default_schema);
  if (code == dbDATABASE_COUNT) {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    return out.number(Ndatabases, false);
  }
  Queried q{};
  q.db = query_scope(db, code);
  char *address;
  int size;
  int level = dbresolve(q.db, &q.d, &q.r, &q.t, &q.f, &address, &size);
  if (level == dbINVALID) return dbINVALID;
  q.s = q.d->schema;
  q.a = q.f ? db_field_attribute(q.f) : nullptr;
  q.target = q.f && q.f->is_ref ? static_cast<Relation *>(q.f->target) : nullptr;
  q.D = level == dbDATABASE;
  q.T = level == dbTABLE;
  q.F = level == dbFIELD;
  q.R = level == dbRECORD;

  switch (code) {
    case dbTYPE:
    case dbSIZE:
    case dbNAME:
    case dbDETAIL:
    case dbDESCRIPTION:
    case dbCOUNT:
      return answer_by_level(code, q, out);
    default:
      break;
  }
  switch (code_level(code)) {
    case 'D':
      return q.D ? answer_database(code, q, out) : dbINVALID;
    case 'T':
      return q.T ? answer_table(code, q, out) : dbINVALID;
    default:
      return q.F ? answer_field(code, q, out) : dbINVALID;
  }
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
