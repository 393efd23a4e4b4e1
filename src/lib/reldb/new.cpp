// new.cpp - the process-wide state of the database, the constructors and destructors of
// its records, the scratch and null records, and dropping a table or closing a database.
//
// Ownership as in dbinternal.h. The constructors give every record its defaults; out of
// memory ends the process. dbfree takes DB_global_mutex only to unregister a database.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "reldb/dbex.h"
#include "reldb/dbinternal.h"

const char *Default_schema = "css3.0";
const char *Default_dbpath = "";

std::mutex DB_global_mutex;
Tbl *Databases_tbl = nullptr;
Arr *Databases_root = nullptr;
int Ndatabases = 0;
Tbl *Schemas_tbl = nullptr;

namespace {
char nullstr_storage[1] = "";
char dbptr_name[] = "dbptr";
char dbptr_null[] = "-102 -102 -102 -102";
char dbptr_format[] = "%d %d %d %d";
Tbl *make_nulltbl() {
  Tbl *t = newtbl(0);
  if (!t) OUT_OF_MEMORY(sizeof(void *), "_db_nulltbl");
  return t;
}
Attribute dbptr_attribute = {
    dbptr_name,
    -1,
    16,
    dbDBPTR,
    0,
    dbptr_null,
    dbptr_format,
    nullstr_storage,
    nullstr_storage,
    nullstr_storage,
    nullstr_storage,
    nullptr,
    nullptr,
};
}  // namespace

char *db_nullstr = nullstr_storage;
Tbl *_db_nulltbl = make_nulltbl();
Attribute *p_dbptr = &dbptr_attribute;

void db_init_globals_locked(void) {
  if (!Schemas_tbl) Schemas_tbl = db_newtbl(4);
  if (!Databases_tbl) {
    Databases_tbl = db_newtbl(4);
    Ndatabases = 0;
  }
  if (!Databases_root) Databases_root = db_newarr();
}

Database *db_database(int id) {
  std::lock_guard<std::mutex> lock(DB_global_mutex);
  if (id < 0 || id >= Ndatabases || !Databases_tbl) return nullptr;
  return static_cast<Database *>(gettbl(Databases_tbl, id));
}

char *db_strdup(const char *text) {
  if (!text) return nullptr;
  char *copy = strdup(text);
  if (!copy) OUT_OF_MEMORY(strlen(text) + 1, "text");
  return copy;
}

Tbl *db_newtbl(long hint) {
  Tbl *t = newtbl(hint);
  if (!t) OUT_OF_MEMORY(sizeof(void *) * (size_t)(hint > 0 ? hint : 1), "list");
  return t;
}

Arr *db_newarr(void) {
  Arr *a = newarr(nullptr);
  if (!a) OUT_OF_MEMORY(64, "array");
  return a;
}

void db_settext(char **slot, const char *text) {
  if (db_owned(*slot)) free(*slot);
  *slot = db_strdup(text);
}

Attribute *db_field_attribute(const Field *field) {
  if (!field) return nullptr;
  if (field->is_ref) return p_dbptr;
  return static_cast<Attribute *>(field->target);
}

template <typename T>
static T *zalloc(const char *what) {
  T *p = static_cast<T *>(calloc(1, sizeof(T)));
  if (!p) OUT_OF_MEMORY(sizeof(T), what);
  return p;
}

Database *new_database(void) {
  Database *d = zalloc<Database>("database");
  d->id = -1;
  d->description = db_nullstr;
  d->detail = db_nullstr;
  d->lastids = db_newarr();
  return d;
}

Schema *new_schema(void) {
  Schema *s = zalloc<Schema>("schema");
  s->description = db_nullstr;
  s->detail = db_nullstr;
  s->flags = -1;
  s->attributes = db_newarr();
  s->attribute_names = db_newtbl(250);
  s->defines = db_newarr();
  s->relation_arr = db_newarr();
  s->relations = db_newtbl(50);
  s->relation_names = db_newtbl(50);
  return s;
}

Relation *new_relation(void) {
  Relation *r = zalloc<Relation>("relation");
  r->id = -1;
  r->separator = ' ';
  r->terminator = '\n';
  r->primary = _db_nulltbl;
  r->alternate = _db_nulltbl;
  r->foreign = _db_nulltbl;
  r->description = db_nullstr;
  r->detail = db_nullstr;
  return r;
}

Attribute *new_attribute(void) {
  Attribute *a = zalloc<Attribute>("attribute");
  a->id = -1;
  a->type = -1;
  a->format = db_nullstr;
  a->range = db_nullstr;
  a->units = db_nullstr;
  a->description = db_nullstr;
  a->detail = db_nullstr;
  a->relations = db_newtbl(10);
  return a;
}

Field *new_field(void) {
  Field *f = zalloc<Field>("f");
  f->index = -1;
  f->offset = -1;
  f->table = -1;
  return f;
}

Table *new_table(void) {
  Table *t = zalloc<Table>("table");
  t->id = -1;
  t->fd = -1;
  t->lockfd = -1;
  t->indexes = db_newarr();
  return t;
}

Jig *new_jig(void) { return zalloc<Jig>("jig"); }

Dbindex *new_dbindex(void) { return zalloc<Dbindex>("index"); }

// Fills a fresh record of a relation: blanks, the separator after every attribute field
// of the relation's own layout, the terminator last (a blank when the relation has
// none), and a NUL after it. Keeping the separator and terminator in place means a
// scratch or null record copied into a table keeps the table's layout.
static void blank_record(Relation *r, char *rec) {
  if (r->size > 0) {
    memset(rec, ' ', (size_t)r->size);
    if (r->separator && r->fields) {
      for (long i = 0; i < maxtbl(r->fields); i++) {
        Field *f = static_cast<Field *>(gettbl(r->fields, i));
        if (f->is_ref || f->table != r->id) continue;
        Attribute *a = static_cast<Attribute *>(f->target);
        long at = (long)f->offset + a->size;
        if (at < r->size - 1) rec[at] = r->separator;
      }
    }
    rec[r->size - 1] = r->terminator ? r->terminator : ' ';
  }
  rec[r->size > 0 ? r->size : 0] = '\0';
}

static char *alloc_record(Relation *r, const char *what) {
  size_t n = (size_t)(r->size > 0 ? r->size : 0) + 1;
  char *rec = static_cast<char *>(malloc(n));
  if (!rec) OUT_OF_MEMORY(n, what);
  blank_record(r, rec);
  return rec;
}

int new_scratch(Dbptr db, Table *table) {
  Relation *r = table->relation;
  if (!r) return dbINVALID;
  char *rec = alloc_record(r, "table->scratch");
  if (table->scratch) free(table->scratch);
  table->scratch = rec;
  if (r->has_refs && r->reftables) {
    Dbptr sp = db;
    sp.field = dbALL;
    sp.record = dbSCRATCH;
    for (long i = 0; i < maxtbl(r->reftables); i++) {
      const char *name = static_cast<const char *>(gettbl(r->reftables, i));
      Field *f = r->field_arr ? static_cast<Field *>(getarr(r->field_arr, name)) : nullptr;
      if (!f || !f->is_ref || f->offset < 0 || f->offset + 16 > r->size) continue;
      Dbptr base = dblookup(sp, nullptr, name, nullptr, nullptr);
      Dbptr value = {db.database, base.table, dbALL, dbSCRATCH};
      memcpy(rec + f->offset, &value, sizeof value);
    }
  }
  return 0;
}

int new_null(Dbptr db) {
  Database *database;
  Relation *r;
  Table *table;
  db.field = dbALL;
  db.record = dbALL;
  if (dbresolve(db, &database, &r, &table, nullptr, nullptr, nullptr) != dbTABLE) return dbINVALID;
  int result = 0;
  char *rec = alloc_record(r, "nullrecord");
  for (long i = 0; r->fields && i < maxtbl(r->fields); i++) {
    Field *f = static_cast<Field *>(gettbl(r->fields, i));
    if (f->table != r->id) continue;
    char *at = rec + f->offset;
    if (f->is_ref) {
      Relation *target = static_cast<Relation *>(f->target);
      if (target == r || f->offset + 16 > r->size) continue;
      Dbptr value = {db.database, target->id, dbALL, dbNULL};
      memcpy(at, &value, sizeof value);
      continue;
    }
    Attribute *a = static_cast<Attribute *>(f->target);
    if (!a->null) {
      if (a->type == dbDBPTR) {
        Dbptr value;
        dbinvalid(&value);
        memcpy(at, &value, (size_t)std::min(a->size, 16));
      }
      continue;
    }
    std::string text;
    switch (a->type) {
      case dbINTEGER:
      case dbYEARDAY: {
        DbFormatValue v{};
        v.kind = DBFMT_INT;
        v.i = (int)strtol(a->null, nullptr, 10);
        if (db_format(&text, a->format, &v, 1) < 0) db_format(&text, "%d", &v, 1);
        sncopy(at, text.c_str(), a->size);
        break;
      }
      case dbREAL:
      case dbTIME: {
        DbFormatValue v{};
        v.kind = DBFMT_DOUBLE;
        char *end = nullptr;
        v.d = fix_strtod(a->null, &end);
        if (end == a->null || !whitespace(end)) result = dbINVALID;
        if (db_format(&text, a->format, &v, 1) < 0) db_format(&text, "%e", &v, 1);
        sncopy(at, text.c_str(), a->size);
        break;
      }
      case dbSTRING: {
        DbFormatValue v{};
        v.kind = DBFMT_STRING;
        v.s = a->null;
        if (db_format(&text, a->format, &v, 1) < 0) text = a->null;
        sncopy(at, text.c_str(), a->size);
        break;
      }
      case dbDBPTR: {
        Dbptr value;
        dbinvalid(&value);
        sscanf(a->null, "%d %d %d %d", &value.database, &value.table, &value.field, &value.record);
        memcpy(at, &value, (size_t)std::min(a->size, 16));
        break;
      }
      default:
        // A null value for a type that has no text form: the field stays blank.
        elog_log(0, "new_null: no null value specified for type %d\n", a->type);
        result = dbINVALID;
        break;
    }
  }
  if (r->nullrecord) free(r->nullrecord);
  r->nullrecord = rec;
  return result;
}

void dbjig_free_expression(Expression *expression) { dbex_free(expression); }

void dbfree_jig(Jig *jig) {
  if (!jig) return;
  freetbl(jig->keys, free);
  if (jig->components) {
    for (long i = 0; i < maxtbl(jig->components); i++) {
      KeyComponent *c = static_cast<KeyComponent *>(gettbl(jig->components, i));
      if (c && c->expression) dbjig_free_expression(c->expression);
      free(c);
    }
    freetbl(jig->components, nullptr);
  }
  freetbl(jig->elements, free);
  free(jig);
}

void dbfree_index(Dbindex *index) {
  if (!index) return;
  dbfree_jig(index->jig);
  freetbl(index->entries, nullptr);
  free(index->name);
  free(index->file);
  free(index);
}

int dbfree_table(Table *table) {
  if (!table) return 0;
  int result = 0;
  const char *path = table->path ? table->path : table->name;
  if (table->relation && table->relation->transient) {
    if (table->data && table->capacity) free(table->data);
  } else if (table->data && table->length) {
    if (msync(table->data, table->length, MS_SYNC) != 0) {
      elog_log(1, "couldn't sync %s data to disk\n", path);
      result = dbINVALID;
    }
    if (munmap(table->data, table->length) != 0) {
      elog_log(1, "Couldn't unmap %s\n", path);
      result = dbINVALID;
    }
  }
  table->data = nullptr;
  if (table->fd >= 0 && close(table->fd) != 0) {
    elog_log(1, "Couldn't close %s\n", path);
    result = dbINVALID;
  }
  if (table->lockfd >= 0 && close(table->lockfd) != 0) {
    elog_log(1, "Couldn't close %s\n", table->lockname ? table->lockname : path);
    result = dbINVALID;
  }
  free(table->tabledir);
  free(table->path);
  free(table->lockname);
  free(table->owned_text);
  free(table->work1);
  free(table->work2);
  free(table->scratch);
  freearr(table->indexes, [](void *p) { dbfree_index(static_cast<Dbindex *>(p)); });
  free(table);
  return result;
}

int dbfree_database(Database *d) {
  if (!d) return 0;
  int result = 0;
  for (char *t : {d->name, d->schema_name, d->abspath, d->dir, d->dbpath, d->openperm,
                  d->description, d->detail, d->idserver})
    if (db_owned(t)) free(t);
  if (d->tables) {
    for (long i = 0; i < maxtbl(d->tables); i++)
      result |= dbfree_table(static_cast<Table *>(gettbl(d->tables, i)));
    freetbl(d->tables, nullptr);
  }
  freearr(d->lastids, nullptr);
  freearr(d->tablefiles, free);
  free(d);
  return result;
}

void dbfree_attribute(Attribute *a) {
  if (!a || a == p_dbptr) return;
  for (char *t : {a->name, a->null, a->format, a->range, a->units, a->description, a->detail})
    if (db_owned(t)) free(t);
  freetbl(a->relations, nullptr);
  free(a);
}

void dbfree_field(Field *field) { free(field); }

static void free_keylist(Tbl *list) {
  if (list && list != _db_nulltbl) freetbl(list, free);
}

void dbfree_relation(Relation *r) {
  if (!r) return;
  // Forget the relation in the attributes its own fields use.
  if (r->fields) {
    for (long i = 0; i < maxtbl(r->fields); i++) {
      Field *f = static_cast<Field *>(gettbl(r->fields, i));
      if (!f->is_ref && f->table == r->id && f->target) {
        Attribute *a = static_cast<Attribute *>(f->target);
        for (long j = maxtbl(a->relations) - 1; j >= 0; j--)
          if (gettbl(a->relations, j) == r->name) deltbl(a->relations, j);
        if (a->defined_by == r->name) a->defined_by = nullptr;
      }
    }
  }
  free_keylist(r->fieldlist);
  free_keylist(r->primary);
  free_keylist(r->alternate);
  free_keylist(r->foreign);
  free(r->nullrecord);
  freearr(r->field_arr, nullptr);
  freetbl(r->fields, free);
  freetbl(r->field_names, nullptr);
  freetbl(r->reftables, free);
  freetbl(r->relrefs, free);
  for (char *t : {r->defines, r->name, r->description, r->detail, r->like})
    if (db_owned(t)) free(t);
  free(r);
}

void dbfree_schema(Schema *s) {
  if (!s) return;
  freearr(s->relation_arr, nullptr);
  if (s->relations) {
    for (long i = 0; i < maxtbl(s->relations); i++)
      dbfree_relation(static_cast<Relation *>(gettbl(s->relations, i)));
    freetbl(s->relations, nullptr);
  }
  freetbl(s->relation_names, nullptr);
  freetbl(s->tablenames, free);
  freearr(s->attributes, [](void *p) { dbfree_attribute(static_cast<Attribute *>(p)); });
  freetbl(s->attribute_names, nullptr);
  freearr(s->defines, free);
  for (char *t : {s->name, s->requested, s->extdir, s->description, s->detail, s->timedate})
    if (db_owned(t)) free(t);
  free(s);
}

int dbfree(Dbptr db) {
  Database *d;
  Relation *r;
  Table *table;
  db.field = dbALL;
  db.record = dbALL;
  int level = dbresolve(db, &d, &r, &table, nullptr, nullptr, nullptr);
  if (level == dbTABLE) {
    Schema *s = d->schema;
    int result = dbfree_table(table);
    settbl(d->tables, db.table, nullptr);
    if (getarr(s->relation_arr, r->name) == r) delarr(s->relation_arr, r->name);
    settbl(s->relations, db.table, nullptr);
    settbl(s->relation_names, db.table, db_nullstr);
    dbfree_relation(r);
    return result;
  }
  if (level != dbDATABASE) return dbINVALID;
  {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    // Another open of the same descriptor may have replaced this database in the
    // registry; only entries that still name this one are removed.
    if (Databases_root) {
      if (getarr(Databases_root, d->name) == d) delarr(Databases_root, d->name);
      if (getarr(Databases_root, d->abspath) == d) delarr(Databases_root, d->abspath);
    }
    settbl(Databases_tbl, d->id, nullptr);
    if (Schemas_tbl) {
      for (long i = maxtbl(Schemas_tbl) - 1; i >= 0; i--)
        if (gettbl(Schemas_tbl, i) == d->schema) deltbl(Schemas_tbl, i);
    }
  }
  Schema *s = d->schema;
  int result = dbfree_database(d);
  dbfree_schema(s);
  return result;
}
