// open_schema.cpp - loading a database's schema from its schema files, supplemental
// schema files and per-table extensions, schema text compiled from memory, and the
// relations that use an attribute.
//
// A schema belongs to the database that opened it; every schema loaded is also listed in
// Schemas_tbl (under DB_global_mutex). Compiles serialise on the compiler's own mutex.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/paths.h"
#include "base/tbl.h"
#include "reldb/dbinternal.h"

static void close_schemafile(int fd, const char *path) {
  if (close(fd) != 0)
    elog_die(1, "Unexpected failure: file %s, line %d\n", "open_schema", __LINE__);
  (void)path;
}

Schema *open_schema(const char *names, const char *dbname) {
  {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    db_init_globals_locked();
  }
  Schema *schema = new_schema();
  schema->requested = db_strdup(names ? names : "");
  std::string all = names ? names : "";
  size_t start = 0;
  bool first = true;
  while (start <= all.size()) {
    size_t colon = all.find(':', start);
    std::string name =
        all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    start = colon == std::string::npos ? all.size() + 1 : colon + 1;
    if (name.empty()) continue;
    std::string path;
    int fd = -1;
    if (find_schemafile(&path, name.c_str(), dbname) == 0)
      fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      elog_log(1, "Can't open schema file '%s'.\n", name.c_str());
      dbfree_schema(schema);
      return nullptr;
    }
    if (first) {
      std::string ext = path + ".ext";
      if (is_dir(ext.c_str())) db_settext(&schema->extdir, ext.c_str());
      first = false;
    }
    int failed = compile_schema(schema, fd, nullptr, dbname, path.c_str());
    close_schemafile(fd, path.c_str());
    if (failed) {
      elog_log(0, "Parsing error in input schema\n");
      dbfree_schema(schema);
      return nullptr;
    }
  }
  if (schema->timedate) {
    Attribute *a = static_cast<Attribute *>(getarr(schema->attributes, schema->timedate));
    if (!a) {
      elog_log(0, "Timedate attribute '%s' not defined.\n", schema->timedate);
      dbfree_schema(schema);
      return nullptr;
    }
    if (a->type != dbTIME) {
      elog_log(0, "Timedate attribute '%s' not of type dbTIME.\n", schema->timedate);
      dbfree_schema(schema);
      return nullptr;
    }
  }
  std::lock_guard<std::mutex> lock(DB_global_mutex);
  pushtbl(Schemas_tbl, schema);
  return schema;
}

int dbadd_schema(Dbptr db, const char *path) {
  std::string found;
  int fd = -1;
  if (path && find_schemafile(&found, path, path) == 0)
    fd = open(found.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    elog_log(1, "Can't open supplemental schema file '%s'", path ? path : "");
    return -1;
  }
  Database *d;
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  if (dbresolve(all, &d, nullptr, nullptr, nullptr, nullptr, nullptr) == dbINVALID) {
    close(fd);
    return -1;
  }
  int failed = compile_schema(d->schema, fd, nullptr, path, found.c_str());
  close_schemafile(fd, found.c_str());
  if (failed) {
    elog_log(0, "Parsing error in input schema\n");
    return -1;
  }
  return 0;
}

int add_extension(Dbptr db, Schema *schema, const char *table) {
  // A table name is one path component; anything else can't name an extension file.
  if (!schema || !schema->extdir || !table || !*table || strchr(table, '/')) return 0;
  std::string candidate = std::string(schema->extdir) + "/" + table;
  if (!is_file(candidate.c_str())) return 0;
  int mark = elog_mark();
  int result = dbadd_schema(db, candidate.c_str());
  if (elog_mark() != mark)
    elog_complain(0, "failed to compile database extension %s", candidate.c_str());
  return result == 0 ? 1 : 0;
}

int dbcompile(Dbptr db, const char *text) {
  Database *d;
  if (dbresolve(db, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE) {
    elog_log(0, "dbcompile requires db pointer to database\n");
    return dbINVALID;
  }
  return compile_schema(d->schema, -1, text ? text : "", d->name,
                        "*internal buffer from dbcompile*");
}

Tbl *dbtables(Dbptr db, const char *attribute) {
  Database *d;
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  if (!attribute || dbresolve(all, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE)
    return _db_nulltbl;
  Attribute *a = static_cast<Attribute *>(getarr(d->schema->attributes, attribute));
  return a ? a->relations : _db_nulltbl;
}

void dbtables_(Dbptr *db, const char *attribute, long length, Tbl **result) {
  std::string name = attribute ? std::string(attribute, (size_t)(length > 0 ? length : 0)) : "";
  size_t nul = name.find('\0');
  if (nul != std::string::npos) name.resize(nul);
  *result = dbtables(*db, name.c_str());
}
