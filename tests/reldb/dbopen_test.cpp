// Descriptor files, dbcreate, dbtmp, opening and closing databases.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <tuple>

#include "base/paths.h"
#include "dbfixture.h"

namespace {

// Reads a descriptor text into a fresh Database record.
struct Descriptor {
  Database *d = new_database();
  int result;
  explicit Descriptor(const std::string &text) {
    TempDir dir;
    result = dbread_descriptor(d, dir.write("desc", text).c_str());
  }
  ~Descriptor() { dbfree_database(d); }
  std::string schema() const { return d->schema_name ? d->schema_name : "(none)"; }
  std::string dbpath() const { return d->dbpath ? d->dbpath : "(none)"; }
  std::string idserver() const { return d->idserver ? d->idserver : "(none)"; }
};

}  // namespace

TEST(Descriptor, Forms) {
  clear_db_env();
  setenv("DBPATH_TEST_DIR", "/data", 1);
  struct Case {
    const char *text;
    const char *env_locks;  // DBLOCKS, none: unset
    int result;
    const char *schema;
    const char *dbpath;
    int locking;
    const char *idserver;
  } cases[] = {
      {"# d\nschema css9\ndbpath $DBPATH_TEST_DIR/x:{y}\n", nullptr, 1, "css9", "/data/x:{y}", 0,
       "(none)"},
      {"# d\nschema css9\n", nullptr, 1, "css9", "", 0, "(none)"},
      {"# d\ndbpath \"\"\n", nullptr, 1, "css3.0", "", 0, "(none)"},
      {"# d\nschema css9\ndblocks nfs\ndbidserver host:2000\n", nullptr, 1, "css9", "", -2,
       "host:2000"},
      {"# d\nschema css9\ndblocks \"\"\n", "local", 1, "css9", "", 0, "(none)"},
      {"# d\nschema css9\ndblocks none\n", "local", 1, "css9", "", 0, "(none)"},
      {"# d\nschema css9\ndblocks yes\n", nullptr, 1, "css9", "", -1, "(none)"},
      {"# d\nschema css9\n", "local", 1, "css9", "", -1, "(none)"},
      {"# d\nschema css9\ndbidserver \"\"\n", nullptr, 1, "css9", "", 0, "(none)"},
      {"# d\nschema &Arr{\n", nullptr, dbINVALID, "(none)", "(none)", 0, "(none)"},
      {"css9\n /db/tables \nignored\n", nullptr, 0, "css9", "/db/tables", 0, "(none)"},
      {"\n\n  css9  \n\n$DBPATH_TEST_DIR\n", nullptr, 0, "css9", "/data", 0, "(none)"},
      {"   \n", nullptr, 0, "css3.0", "", 0, "(none)"},
      {"\n\n\n", nullptr, dbINVALID, "(none)", "(none)", 0, "(none)"},
      {"", nullptr, dbINVALID, "(none)", "(none)", 0, "(none)"},
      {"css9\n", "", 0, "css9", "", -1, "(none)"},  // DBLOCKS set but empty: local
      {"css9\n", "none", 0, "css9", "", 0, "(none)"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    if (c.env_locks)
      setenv("DBLOCKS", c.env_locks, 1);
    else
      unsetenv("DBLOCKS");
    Descriptor d(c.text);
    EXPECT_EQ(d.result, c.result);
    EXPECT_EQ(d.schema(), c.schema);
    EXPECT_EQ(d.dbpath(), c.dbpath);
    if (c.result >= 0) {
      EXPECT_EQ(d.d->locking, c.locking);
    }
    EXPECT_EQ(d.idserver(), c.idserver);
  }
  unsetenv("DBLOCKS");
  take_registered();
}

TEST(Descriptor, EnvironmentFallbacks) {
  clear_db_env();
  setenv("SCHEMA_DEFAULT", "site9", 1);
  setenv("DBIDSERVER", "idhost", 1);
  Descriptor blank("  \n");
  EXPECT_EQ(blank.schema(), "site9");
  EXPECT_EQ(blank.idserver(), "idhost");
  Descriptor pf("# d\nschema \"\"\n");
  EXPECT_EQ(pf.schema(), "site9");
  clear_db_env();

  // nfs locking needs an id server.
  ElogExitTrap trap;
  ElogCapture capture;
  setenv("DBLOCKS", "nfs", 1);
  TempDir dir;
  Database *d = new_database();
  EXPECT_THROW(dbread_descriptor(d, dir.write("desc", "css9\n").c_str()), ElogExit);
  dbfree_database(d);
  EXPECT_TRUE(
      capture.contains("must specify DBIDSERVER environment variable when DBLOCKS is 'nfs'"));
  clear_db_env();
}

TEST(Descriptor, OnlyTheFirst2047BytesAreRead) {
  clear_db_env();
  Descriptor d("css9\n" + std::string(3000, 'p') + "\n");
  EXPECT_EQ(d.dbpath(), std::string(2047 - 5, 'p'));
}

TEST(Dbcreate, WritesTheDescriptor) {
  clear_db_env();
  TempDir dir;
  std::string path = dir.file("d");
  struct Case {
    const char *schema, *dbpath, *description, *detail;
    const char *text;
  } cases[] = {
      {"css3.0", nullptr, nullptr, nullptr, "# Relvane Database Descriptor file\nschema css3.0\n"},
      {"css3.0", "", "one line", nullptr,
       "# Relvane Database Descriptor file\nschema css3.0\nDescription one line\n"},
      {"s", "/a:{b}", "two\nlines", "more",
       "# Relvane Database Descriptor file\nschema s\ndbpath /a:{b}\n"
       "Description &Literal{\ntwo\nlines\n}\nDetail more\n"},
      {nullptr, nullptr, nullptr, nullptr, "# Relvane Database Descriptor file\nschema css3.0\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    // An old file is written over from its start and not cut: a shorter one is covered
    // whole, a longer one keeps its tail.
    dir.write("d", "old");
    EXPECT_EQ(dbcreate(path.c_str(), c.schema, c.dbpath, c.description, c.detail), 0);
    EXPECT_EQ(read_file(path), c.text);
    std::string text = c.text;
    dir.write("d", std::string(500, 'x'));
    EXPECT_EQ(dbcreate(path.c_str(), c.schema, c.dbpath, c.description, c.detail), 0);
    EXPECT_EQ(read_file(path), text + std::string(500 - text.size(), 'x'));
    Descriptor back(c.text);
    EXPECT_EQ(back.result, 1);
  }
  setenv("SCHEMA_DEFAULT", "fallback", 1);
  EXPECT_EQ(dbcreate(path.c_str(), nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_NE(read_file(path).find("schema fallback\n"), std::string::npos);
  clear_db_env();

  // Texts that would not read back as written are refused.
  for (auto [schema, dbpath, description] : {std::tuple{"a\ndbpath /evil", "", ""},
                                             {"a", "x\nschema b", ""},
                                             {"a", "", "x\n}\nschema b"}}) {
    SCOPED_TRACE(schema);
    EXPECT_EQ(dbcreate(path.c_str(), schema, dbpath, description, nullptr), dbINVALID);
  }
  EXPECT_EQ(dbcreate(dir.file("nosuch/d").c_str(), "s", nullptr, nullptr, nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("Can't create " + dir.file("nosuch/d")), std::string::npos);
}

TEST(Dbopen, OpenShareAndClose) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r"), 0) << take_registered();
  EXPECT_GE(demo.db.database, 0);
  EXPECT_EQ(demo.db.table, dbALL);
  EXPECT_EQ(demo.db.field, dbALL);
  EXPECT_EQ(demo.db.record, dbALL);

  // The same descriptor by another name, and in another mode, is the same database.
  char *cwd = abspath("");
  ASSERT_EQ(chdir(demo.dir.path().c_str()), 0);
  Dbptr rel;
  EXPECT_EQ(RVdbopen("demo", "w", &rel), 0);
  EXPECT_EQ(rel.database, demo.db.database);
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);

  Database *d = db_database(demo.db.database);
  EXPECT_STREQ(d->openperm, "r");
  EXPECT_STREQ(d->schema_name, "demo1.0");
  EXPECT_STREQ(d->schema->name, "demo1.0");
  EXPECT_STREQ(d->dir, demo.dir.path().c_str());

  int id = demo.db.database;
  EXPECT_EQ(RVdbclose(demo.db), 0);
  demo.db.database = -1;
  EXPECT_EQ(RVdbclose({id, dbALL, dbALL, dbALL}), dbINVALID);
  EXPECT_NE(take_registered().find("Bad database id " + std::to_string(id) +
                                   " (database was closed) in db pointer\n"),
            std::string::npos);

  // A new open gets a new id.
  ASSERT_EQ(demo.open("r+"), 0);
  EXPECT_GT(demo.db.database, id);
  EXPECT_EQ(dbquery(demo.db, dbDATABASE_IS_WRITABLE, &id), 0);
  EXPECT_EQ(id, 1);
}

TEST(Dbopen, Failures) {
  DemoDb demo;
  Dbptr db;
  EXPECT_EQ(RVdbopen(demo.path.c_str(), "w", &db), dbINVALID);
  EXPECT_EQ(db.database, dbINVALID);
  EXPECT_EQ(db.table, dbALL);
  EXPECT_NE(take_registered().find("Invalid open flag : 'w'\n"), std::string::npos);

  demo.dir.write("bad", "# broken\nschema &Tbl{\n");
  EXPECT_EQ(RVdbopen(demo.dir.file("bad").c_str(), "r", &db), dbINVALID);
  EXPECT_NE(
      take_registered().find("Couldn't read descriptor file '" + demo.dir.file("bad") + "'\n"),
      std::string::npos);

  demo.dir.write("noschema", "nosuch\n");
  EXPECT_EQ(RVdbopen(demo.dir.file("noschema").c_str(), "r", &db), dbINVALID);
  EXPECT_NE(take_registered().find("Can't open schema file 'nosuch'.\n"), std::string::npos);
}

TEST(Dbopen, MissingDescriptorOpensTheDefaultSchema) {
  DemoDb demo;
  setenv("SCHEMA_DEFAULT", "demo1.0", 1);
  Dbptr db;
  ASSERT_EQ(RVdbopen(demo.dir.file("absent").c_str(), "r+", &db), 0) << take_registered();
  char *name;
  dbquery(db, dbSCHEMA_NAME, &name);
  EXPECT_STREQ(name, "demo1.0");
  EXPECT_GT(dbquery(db, dbTABLE_COUNT, nullptr), 5);
  RVdbclose(db);
  clear_db_env();
}

TEST(Dbtmp, TemporaryDatabase) {
  clear_db_env();
  TempDir tmp;
  std::string schema = tmp.write("demo1.0", demo_schema());
  setenv("TMPDIR", tmp.path().c_str(), 1);
  Dbptr db = dbtmp(schema.c_str());
  ASSERT_GE(db.database, 0) << take_registered();
  char *name;
  dbquery(db, dbDATABASE_NAME, &name);
  std::string n = name;
  EXPECT_EQ(n.rfind(tmp.path() + "/#dbt", 0), 0u) << n;
  EXPECT_FALSE(is_present(n.c_str()));  // the descriptor is gone already
  int writable = 0;
  dbquery(db, dbDATABASE_IS_WRITABLE, &writable);
  EXPECT_EQ(writable, 1);
  EXPECT_GE(dblookup(db, nullptr, "site", nullptr, nullptr).table, 0);
  RVdbclose(db);
  Dbptr bad = dbtmp(tmp.file("nosuch").c_str());
  EXPECT_EQ(bad.database, dbINVALID);
  EXPECT_EQ(bad.table, dbINVALID);
  unsetenv("TMPDIR");
  take_registered();
}
