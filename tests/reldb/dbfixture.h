// dbfixture.h - a database of the demo1.0 schema in a temporary directory, record
// builders and access to the error-log register, for the database tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbinternal.h"
#include "testkit/testkit.h"

inline std::string demo_schema() { return read_file(std::string(RELDB_SCHEMAS) + "/demo1.0"); }

// The database variables cleared, so that no outside setting changes a test.
inline void clear_db_env() {
  unsetenv("DBLOCKS");
  unsetenv("DBIDSERVER");
  unsetenv("SCHEMA_DEFAULT");
  unsetenv("SCHEMA_DIR");
}

// One record of `table` with the given field texts, left-aligned in their fields.
inline std::string record(Dbptr db, const char *table, const std::vector<std::string> &values) {
  Dbptr t = dblookup(db, nullptr, table, nullptr, nullptr);
  Relation *r = nullptr;
  dbresolve(t, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  if (!r) return "";
  std::string rec((size_t)r->size, ' ');
  for (size_t i = 0; i < values.size() && (long)i < maxtbl(r->fields); i++) {
    Field *f = static_cast<Field *>(gettbl(r->fields, (long)i));
    if (f->is_ref) break;
    Attribute *a = static_cast<Attribute *>(f->target);
    rec.replace((size_t)f->offset, std::min(values[i].size(), (size_t)a->size), values[i], 0,
                (size_t)a->size);
  }
  if (r->terminator) rec.back() = r->terminator;
  return rec;
}

// A descriptor "demo" naming demo1.0, beside a copy of the schema, in a fresh directory.
class DemoDb {
 public:
  explicit DemoDb(const std::string &descriptor = "demo1.0\n") {
    clear_db_env();
    dir.write("demo1.0", demo_schema());
    path = dir.write("demo", descriptor);
  }
  ~DemoDb() { close(); }
  int open(const char *mode = "r+") { return RVdbopen(path.c_str(), mode, &db); }
  void close() {
    if (db.database >= 0) RVdbclose(db);
    db.database = -1;
  }
  // Writes the table file of `table`.
  void write_table(const char *table, const std::string &text) {
    dir.write(std::string("demo.") + table, text);
  }
  Dbptr table(const char *name) const { return dblookup(db, nullptr, name, nullptr, nullptr); }
  Dbptr field(const char *table, const char *name) const {
    return dblookup(db, nullptr, table, name, nullptr);
  }

  TempDir dir;
  std::string path;
  Dbptr db = {-1, dbALL, dbALL, dbALL};
};
