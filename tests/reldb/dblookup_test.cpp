// Pointers and the in-memory model: resolution levels, scratch and null records, views,
// dropping tables; name lookup, queries by code, view references and index entries.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/tbl.h"
#include "dbfixture.h"

namespace {

// The demo database with two sites and three channels, opened read-write.
class Lookup : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(demo.open("r+"), 0) << logged();
    db = demo.db;
    demo.write_table("site", record(db, "site", {"AAK", "2003001", "-1", "42.6"}) +
                                 record(db, "site", {"BBK", "2003001", "-1", "-12.5"}));
    demo.write_table("sitechan", record(db, "sitechan", {"AAK", "BHZ", "2003001", "1"}) +
                                     record(db, "sitechan", {"AAK", "BHN", "2003001", "2"}) +
                                     record(db, "sitechan", {"BBK", "BHZ", "2003001", "1"}));
    logged();
  }
  // A view of site and sitechan holding `n` records, each the pointers given.
  Dbptr make_view(const std::vector<std::pair<int, int>> &rows) {
    EXPECT_EQ(dbcompile(db, "Relation sv Fields ( site sitechan ) Transient ;"), 0);
    Dbptr v = demo.table("sv");
    Table *t;
    Relation *r;
    dbresolve(v, nullptr, &r, &t, nullptr, nullptr, nullptr);
    Dbptr site = demo.table("site"), chan = demo.table("sitechan");
    for (size_t i = 0; i < rows.size(); i++) {
      Dbptr a = {db.database, site.table, dbALL, rows[i].first};
      Dbptr b = {db.database, chan.table, dbALL, rows[i].second};
      memcpy(t->data + i * (size_t)r->size, &a, sizeof a);
      memcpy(t->data + i * (size_t)r->size + 16, &b, sizeof b);
    }
    t->length = (uint32_t)(rows.size() * (size_t)r->size);
    t->count = (int)rows.size();
    return v;
  }

  DemoDb demo;
  Dbptr db;
};

std::string text_at(const char *address, int size) { return std::string(address, (size_t)size); }

}  // namespace

TEST_F(Lookup, ResolutionLevels) {
  Dbptr site = demo.table("site");
  Database *d;
  Relation *r;
  Table *t;
  Field *f;
  char *address;
  int size;
  EXPECT_EQ(dbresolve(db, &d, &r, &t, &f, &address, &size), dbDATABASE);
  EXPECT_NE(d, nullptr);
  EXPECT_EQ(r, nullptr);

  EXPECT_EQ(dbresolve(site, &d, &r, &t, &f, &address, &size), dbTABLE);
  EXPECT_EQ(address, t->data);
  EXPECT_EQ(size, 2 * 124);
  EXPECT_STREQ(r->name, "site");

  Dbptr rec = {db.database, site.table, dbALL, 1};
  EXPECT_EQ(dbresolve(rec, &d, &r, &t, &f, &address, &size), dbRECORD);
  EXPECT_EQ(text_at(address, 3), "BBK");
  EXPECT_EQ(size, 124);
  EXPECT_EQ(f, nullptr);

  Dbptr field = {db.database, site.table, 3, dbALL};
  EXPECT_EQ(dbresolve(field, &d, &r, &t, &f, &address, &size), dbFIELD);
  EXPECT_EQ(address, nullptr);
  EXPECT_EQ(size, 9);
  EXPECT_EQ(f->offset, 6 + 1 + 8 + 1 + 8 + 1);

  field.record = 0;
  EXPECT_EQ(dbresolve(field, &d, &r, &t, &f, &address, &size), dbFIELD);
  EXPECT_EQ(text_at(address, 4), "42.6");

  struct Bad {
    Dbptr p;
    const char *message;
  } bad[] = {
      {{db.database, site.table, dbALL, 2}, "Bad record id 2 in db pointer\n"},
      {{db.database, site.table, dbALL, -7}, "Bad record id -7 in db pointer\n"},
      {{db.database, site.table, 99, 0}, "Bad field id 99 in db pointer\n"},
      {{db.database, 999, dbALL, dbALL}, "Bad table id 999 in db pointer\n"},
      {{db.database + 1000, dbALL, dbALL, dbALL}, "Bad database id"},
      {{-3, dbALL, dbALL, dbALL}, "Bad database id -3 in db pointer\n"},
  };
  for (const Bad &b : bad) {
    SCOPED_TRACE(b.message);
    Dbptr before = b.p;
    EXPECT_EQ(dbresolve(b.p, &d, &r, &t, &f, &address, &size), dbINVALID);
    EXPECT_EQ(address, nullptr);
    EXPECT_EQ(memcmp(&before, &b.p, sizeof before), 0);
    EXPECT_NE(logged().find(b.message), std::string::npos);
  }
}

TEST_F(Lookup, ScratchAndNullOfAnEmptyTable) {
  Dbptr sensor = demo.table("sensor");
  Relation *r;
  char *address;
  int size;
  sensor.record = dbSCRATCH;
  EXPECT_EQ(dbresolve(sensor, nullptr, &r, nullptr, nullptr, &address, &size), dbRECORD);
  EXPECT_EQ(text_at(address, size), std::string((size_t)r->size - 1, ' ') + "\n");
  sensor.record = dbNULL;
  EXPECT_EQ(dbresolve(sensor, nullptr, &r, nullptr, nullptr, &address, &size), dbRECORD);
  sensor.record = 0;
  EXPECT_EQ(dbresolve(sensor, nullptr, &r, nullptr, nullptr, &address, &size), dbINVALID);
}

TEST_F(Lookup, ScratchAndNullKeepTheRecordLayout) {
  // Without a terminator the last byte belongs to a field and must not become a newline.
  ASSERT_EQ(dbcompile(db, "Relation colon Fields ( sta chan ) Separator ( \":\" \"\" ) ;"), 0);
  Dbptr colon = demo.table("colon");
  char *address;
  int size;
  colon.record = dbSCRATCH;
  ASSERT_EQ(dbresolve(colon, nullptr, nullptr, nullptr, nullptr, &address, &size), dbRECORD);
  EXPECT_EQ(text_at(address, size), "      :        ");
  colon.record = dbNULL;
  ASSERT_EQ(dbresolve(colon, nullptr, nullptr, nullptr, nullptr, &address, &size), dbRECORD);
  EXPECT_EQ(text_at(address, size), "-     :-       ");
}

TEST_F(Lookup, NullRecords) {
  Dbptr site = demo.table("site");
  site.record = dbNULL;
  char *address;
  int size;
  ASSERT_EQ(dbresolve(site, nullptr, nullptr, nullptr, nullptr, &address, &size), dbRECORD);
  char expect[200];
  snprintf(expect, sizeof expect, "%-6s %8ld %8ld %9.4f %9.4f %9.4f %-50s %17.5f\n", "-", -1L, -1L,
           -999.0, -999.0, -999.0, "-", -9999999999.999);
  EXPECT_EQ(text_at(address, size), expect);

  // Nulls that can't be printed as asked: a format that doesn't fit its type is not
  // used, a real null that is no number fails, a binary type has no text form.
  ASSERT_EQ(dbcompile(db,
                      "Attribute evil Integer (8) Null ( \"5\" ) Format ( \"%s%s%n\" ) ;\n"
                      "Attribute ptr Dbptr (16) Null ( \"1 2 3 4\" ) ;\n"
                      "Attribute noptr Dbptr (16) ;\n"
                      "Relation odd Fields ( evil ptr noptr ) ;\n"
                      "Attribute badreal Real (6) Null ( \"abc\" ) Format ( \"%6.1f\" ) ;\n"
                      "Attribute bin Bint (4) Null ( \"0\" ) ;\n"
                      "Relation worse Fields ( badreal bin sta ) ;\n"),
            0);
  Dbptr odd = demo.table("odd");
  EXPECT_EQ(new_null(odd), 0);
  odd.record = dbNULL;
  ASSERT_EQ(dbresolve(odd, nullptr, nullptr, nullptr, nullptr, &address, &size), dbRECORD);
  EXPECT_EQ(text_at(address, 8), "5       ");
  Dbptr p, q;
  memcpy(&p, address + 9, sizeof p);
  memcpy(&q, address + 26, sizeof q);
  EXPECT_EQ(p.database * 1000 + p.table * 100 + p.field * 10 + p.record, 1234);
  EXPECT_EQ(q.record, dbINVALID);

  Dbptr worse = demo.table("worse");
  EXPECT_EQ(new_null(worse), dbINVALID);
  EXPECT_NE(logged().find("no null value specified for type 141"), std::string::npos);
  worse.record = dbNULL;
  ASSERT_EQ(dbresolve(worse, nullptr, nullptr, nullptr, nullptr, &address, &size), dbRECORD);
  EXPECT_EQ(text_at(address, size), "   0.0      -     \n");
}

TEST_F(Lookup, Views) {
  Dbptr v = make_view({{0, 1}, {1, 2}});
  Relation *r;
  Table *t;
  Field *f;
  char *address;
  int size;
  // The view's field chan is sitechan's, in the sitechan record the view record names.
  Dbptr chan = dblookup(v, nullptr, nullptr, "chan", nullptr);
  EXPECT_EQ(chan.field, 8 + 1);
  chan.record = 0;
  EXPECT_EQ(dbresolve(chan, nullptr, &r, &t, &f, &address, &size), dbFIELD);
  EXPECT_STREQ(r->name, "sitechan");
  EXPECT_STREQ(t->name, "sitechan");
  EXPECT_EQ(text_at(address, 3), "BHN");
  Dbptr lat = dblookup(v, nullptr, nullptr, "site.lat", "1");
  EXPECT_EQ(lat.record, dbINVALID);  // "1" is a key text, not a record number
  lat = dblookup(v, nullptr, nullptr, "site.lat", nullptr);
  lat.record = 1;
  EXPECT_EQ(dbresolve(lat, nullptr, nullptr, nullptr, nullptr, &address, &size), dbFIELD);
  EXPECT_EQ(text_at(address, 5), "-12.5");
  EXPECT_EQ(dblookup(v, nullptr, nullptr, "sitechan.lat", nullptr).field, dbINVALID);
  // The base tables are fields of the view.
  Dbptr base = dblookup(v, nullptr, nullptr, "sitechan", nullptr);
  EXPECT_GE(base.field, 0);

  // dbref and dbsize give the base records behind a view record.
  v.record = 1;
  EXPECT_EQ(dbsize(v), 2);
  Dbptr *refs = dbref(&v);
  EXPECT_EQ(refs[0].table, demo.table("site").table);
  EXPECT_EQ(refs[0].record, 1);
  EXPECT_EQ(refs[1].record, 2);
  Dbptr site = demo.table("site");
  site.record = 1;
  EXPECT_EQ(dbsize(site), 1);
  EXPECT_EQ(dbref(&site), &site);

  // Scratch and null records of a view point at those of the base tables.
  v.record = dbSCRATCH;
  chan = dblookup(v, nullptr, nullptr, "chan", nullptr);
  EXPECT_EQ(dbresolve(chan, nullptr, &r, &t, nullptr, &address, &size), dbFIELD);
  EXPECT_EQ(address, t->scratch + 7);
  v.record = dbNULL;
  chan.record = dbNULL;
  EXPECT_EQ(dbresolve(chan, nullptr, &r, nullptr, nullptr, &address, &size), dbFIELD);
  EXPECT_EQ(address, r->nullrecord + 7);
  EXPECT_EQ(text_at(address, 8), "-       ");
}

TEST_F(Lookup, FieldsMustLieInTheirRecord) {
  // A plain table's own reference field is 16 bytes at offset 0: wider than this record.
  ASSERT_EQ(dbcompile(db, "Relation tiny Fields ( segtype ) ;"), 0);
  demo.write_table("tiny", "a\nb\n");
  Dbptr tiny = demo.table("tiny");
  EXPECT_EQ(dbquery(tiny, dbRECORD_COUNT, nullptr), 2);
  Dbptr self = {db.database, tiny.table, 1, 1};
  char buf[64];
  EXPECT_EQ(dbget(self, buf), dbINVALID);
  EXPECT_NE(logged().find("Bad field id 1 in db pointer (outside the record)"), std::string::npos);
}

TEST_F(Lookup, DroppingATable) {
  ASSERT_EQ(dbcompile(db, "Relation gone Fields ( sta ) Transient ;"), 0);
  Dbptr gone = demo.table("gone");
  EXPECT_GE(gone.table, 0);
  EXPECT_EQ(dbfree(gone), 0);
  EXPECT_EQ(dbresolve(gone, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), dbINVALID);
  EXPECT_NE(logged().find("Bad table id " + std::to_string(gone.table) +
                          " (relation was closed) in db pointer\n"),
            std::string::npos);
  EXPECT_EQ(demo.table("gone").table, dbINVALID);
  // The attribute forgot the relation.
  Tbl *users = dbtables(db, "sta");
  for (long i = 0; i < maxtbl(users); i++)
    EXPECT_STRNE(static_cast<char *>(gettbl(users, i)), "gone");
}

TEST_F(Lookup, NamesToPointers) {
  Dbptr site = demo.table("site");
  struct Case {
    const char *table, *field, *record;
    int t, f, r;  // -1: the site table id / anything valid
  } cases[] = {
      {"site", nullptr, nullptr, -1, dbALL, dbALL},
      {"site", "lat", nullptr, -1, 3, dbALL},
      {"site", "site.lat", nullptr, -1, 3, dbALL},
      {"site", "sitechan.lat", nullptr, -1, dbINVALID, dbALL},
      {"site", "nosuch", nullptr, -1, dbINVALID, dbALL},
      {"site", "dbALL", "dbALL", -1, dbALL, dbALL},
      {"site", nullptr, "dbNULL", -1, dbALL, dbNULL},
      {"site", nullptr, "dbSCRATCH", -1, dbALL, dbSCRATCH},
      {"site", nullptr, "dbINVALID", -1, dbALL, dbINVALID},
      {"site", "sta", "BBK", -1, 0, 1},
      {"site", "sta", "  BBK ", -1, 0, 1},
      {"site", "sta", "CCK", -1, 0, dbINVALID},
      {"site", "sta", "BBKBBKB", -1, 0, dbINVALID},    // longer than the field
      {"site", nullptr, "BBK", -1, dbALL, dbINVALID},  // no single field named
      {"nosuch", "sta", "BBK", dbINVALID, dbINVALID, dbALL},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.table) + " " + (c.field ? c.field : "-") + " " +
                 (c.record ? c.record : "-"));
    Dbptr p = dblookup(db, nullptr, c.table, c.field, c.record);
    EXPECT_EQ(p.database, db.database);
    EXPECT_EQ(p.table, c.t == -1 ? site.table : c.t);
    EXPECT_EQ(p.field, c.f);
    EXPECT_EQ(p.record, c.r);
  }
  // Keys shared by several records give the first.
  Dbptr aak = dblookup(db, nullptr, "sitechan", "sta", "AAK");
  EXPECT_EQ(aak.record, 0);
  Dbptr bhz = dblookup(db, nullptr, "sitechan", "chan", "BHZ");
  EXPECT_EQ(bhz.record, 0);
  // No name keeps the part given; a bad part makes the rest invalid.
  Dbptr kept = dblookup(aak, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(memcmp(&kept, &aak, sizeof kept), 0);
  Dbptr badfield = {db.database, site.table, 55, 0};
  EXPECT_EQ(dblookup(badfield, nullptr, nullptr, nullptr, nullptr).field, dbINVALID);
  Dbptr badtable = {db.database, 999, dbALL, 4};
  Dbptr out = dblookup(badtable, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(out.table, dbINVALID);
  EXPECT_EQ(out.record, 4);
  Dbptr closed = {-1, dbALL, dbALL, dbALL};
  out = dblookup(closed, nullptr, "site", nullptr, nullptr);
  EXPECT_EQ(out.database, dbINVALID);
  EXPECT_EQ(out.record, dbINVALID);
  // "dbALL" as a table names the whole database.
  out = dblookup(db, nullptr, "dbALL", "sta", "x");
  EXPECT_EQ(out.table, dbALL);
  EXPECT_EQ(out.field, dbALL);
}

TEST_F(Lookup, DatabasesByName) {
  Dbptr none = {dbINVALID, dbINVALID, dbINVALID, dbINVALID};
  // Open under its name already: found at once.
  Dbptr p = dblookup(none, demo.path.c_str(), "site", nullptr, nullptr);
  EXPECT_EQ(p.database, db.database);
  // Another descriptor, not yet open: opened read-write, then found again.
  demo.dir.write("other", "demo1.0\n");
  std::string other = demo.dir.file("other");
  Dbptr a = dblookup(none, other.c_str(), nullptr, nullptr, nullptr);
  ASSERT_GE(a.database, 0) << logged();
  EXPECT_NE(a.database, db.database);
  EXPECT_EQ(a.table, dbALL);
  int writable = 0;
  dbquery(a, dbDATABASE_IS_WRITABLE, &writable);
  EXPECT_EQ(writable, 1);
  Dbptr b = dblookup(none, other.c_str(), nullptr, nullptr, nullptr);
  EXPECT_EQ(b.database, a.database);
  RVdbclose(a);
  Dbptr c = dblookup(db, demo.dir.file("noschema/x").c_str(), "site", nullptr, nullptr);
  EXPECT_EQ(c.database, dbINVALID);
}

TEST_F(Lookup, Queries) {
  Dbptr site = demo.table("site");
  Dbptr lat = demo.field("site", "lat");
  Dbptr ref = {db.database, site.table, 8, dbALL};  // the table's own reference
  struct Text {
    Dbptr p;
    int code;
    const char *want;
  } texts[] = {
      {lat, dbFIELD_NULL, "-999.0000"},
      {lat, dbFIELD_FORMAT, "%9.4f"},
      {lat, dbFORMAT, "%9.4f"},
      {lat, dbFIELD_UNITS, "Degrees"},
      {lat, dbFIELD_RANGE, "lat >= -90.0 && lat <= 90.0"},
      {lat, dbFIELD_NAME, "lat"},
      {lat, dbNAME, "lat"},
      {lat, dbFIELD_DESCRIPTION, "latitude"},
      {lat, dbDESCRIPTION, "latitude"},
      {lat, dbFIELD_BASE_TABLE, "site"},
      {ref, dbFIELD_NULL, "-102 -102 -102 -102"},
      {ref, dbFIELD_FORMAT, "%d %d %d %d"},
      {ref, dbFIELD_DESCRIPTION, "station locations"},
      {ref, dbNAME, "site"},
      {site, dbTABLE_NAME, "site"},
      {site, dbNAME, "site"},
      {site, dbTABLE_DESCRIPTION, "station locations"},
      {site, dbTABLE_FILENAME, ""},  // filled below
      {site, dbTABLE_DEFINES, ""},
      {demo.table("sitechan"), dbTABLE_DEFINES, "chanid"},
      {db, dbDATABASE_SCHEMA_NAME, "demo1.0"},
      {db, dbSCHEMA_NAME, "demo1.0"},
      {db, dbTYPE, "demo1.0"},
      {db, dbLOCKS, "none"},
      {db, dbIDSERVER, ""},
      {db, dbTIMEDATE_NAME, "lddate"},
      {db, dbDBPATH, ""},
      {db, dbSCHEMA_DESCRIPTION, "Stations, channels, instruments and waveforms for tests"},
      {db, dbDESCRIPTION, "Stations, channels, instruments and waveforms for tests"},
      {db, dbDATABASE_DESCRIPTION, ""},
      {site, dbSCHEMA_DEFAULT, "css3.0"},
  };
  std::string path = demo.dir.file("demo.site");
  texts[17].want = path.c_str();
  for (const Text &c : texts) {
    SCOPED_TRACE(std::to_string(c.code) + " " + c.want);
    char *out = nullptr;
    EXPECT_EQ(dbquery(c.p, c.code, &out), 0);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, c.want);
  }
  struct Int {
    Dbptr p;
    int code;
    int want;
    int returned;
  } ints[] = {
      {lat, dbFIELD_SIZE, 9, 9},
      {lat, dbFIELD_TYPE, dbREAL, dbREAL},
      {lat, dbTYPE, dbREAL, dbREAL},
      {lat, dbFIELD_OFFSET, 25, 0},
      {lat, dbSIZE, 9, 9},
      {lat, dbCOUNT, 8, 8},
      {ref, dbFIELD_SIZE, 16, 16},
      {ref, dbFIELD_TYPE, dbDBPTR, dbDBPTR},
      {site, dbRECORD_SIZE, 124, 124},
      {site, dbRECORD_COUNT, 2, 2},
      {site, dbFIELD_COUNT, 8, 8},
      {site, dbTABLE_SIZE, 248, 248},
      {site, dbSIZE, 248, 248},
      {{db.database, site.table, dbALL, 7}, dbSIZE, 124, 124},
      {{db.database, site.table, dbALL, dbSCRATCH}, dbSIZE, 124, 124},
      {site, dbTABLE_PRESENT, 1, 1},
      {demo.table("sensor"), dbTABLE_PRESENT, 0, 0},
      {demo.table("sensor"), dbRECORD_COUNT, 0, 0},
      {site, dbVIEW_TABLE_COUNT, 1, 1},
      {site, dbTABLE_IS_VIEW, 0, 0},
      {site, dbTABLE_IS_TRANSIENT, 0, 0},
      {site, dbTABLE_IS_WRITABLE, 1, 0},
      {site, dbTABLE_IS_ADDABLE, 1, 0},
      {site, dbFIELD_SEPARATOR, ' ', 0},
      {site, dbRECORD_TERMINATOR, '\n', 0},
      {db, dbDATABASE_IS_WRITABLE, 1, 0},
  };
  for (const Int &c : ints) {
    SCOPED_TRACE(c.code);
    int out = -999;
    EXPECT_EQ(dbquery(c.p, c.code, &out), c.returned);
    EXPECT_EQ(out, c.want);
  }
  int n = 0;
  EXPECT_EQ(dbquery(db, dbTABLE_COUNT, &n), 7);
  EXPECT_EQ(n, 7);
  EXPECT_EQ(dbquery(site, dbCOUNT, &n), 7);
  Tbl *list = nullptr;
  EXPECT_EQ(dbquery(site, dbPRIMARY_KEY, &list), 0);
  EXPECT_EQ(maxtbl(list), 2);
  EXPECT_EQ(dbquery(site, dbTABLE_FIELDS, &list), 0);
  EXPECT_STREQ(static_cast<char *>(gettbl(list, 7)), "lddate");
  EXPECT_EQ(dbquery(demo.field("sitechan", "chanid"), dbFIELD_TABLES, &list), 0);
  EXPECT_EQ(maxtbl(list), 3);
  EXPECT_EQ(dbquery(ref, dbFIELD_TABLES, &list), dbINVALID);
  Arr *defines = nullptr;
  EXPECT_EQ(dbquery(db, dbSCHEMA_DEFINES, &defines), 0);
  EXPECT_STREQ(static_cast<char *>(getarr(defines, "wfid")), "wfdisc");
  char *data = nullptr;
  EXPECT_EQ(dbquery(site, dbTABLE_DATA, &data), 0);
  EXPECT_EQ(std::string(data, 3), "AAK");

  // Codes the level doesn't serve, and unknown codes.
  char *text = nullptr;
  EXPECT_EQ(dbquery(lat, dbTYPE, &n), dbREAL);
  EXPECT_EQ(dbquery(site, dbTYPE, &n), dbINVALID);
  EXPECT_EQ(dbquery(site, dbFIELD_NAME, &text), dbINVALID);
  EXPECT_STREQ(text, "**bad dbquery**");
  EXPECT_EQ(dbquery(site, -400, &n), dbINVALID);
  EXPECT_NE(logged().find("dbquery doesn't recognize code -400\n"), std::string::npos);
  Dbptr closed = {db.database + 500, dbALL, dbALL, dbALL};
  EXPECT_EQ(dbquery(closed, dbDATABASE_NAME, &text), dbINVALID);
  EXPECT_EQ(dbquery(closed, dbDATABASE_COUNT, &n), 0);
  EXPECT_GT(n, db.database);
}

TEST(IndexEntries, RecordAndKey) {
  Dbindex *index = new_dbindex();
  index->entries = inittbl(4, 12);
  unsigned char entry[12] = {};
  int32_t rec = 42;
  memcpy(entry, &rec, 4);
  memcpy(entry + 4, "keybytes", 8);
  addrtbl(index->entries, entry);
  EXPECT_EQ(dbrecord(index, 0), 42);
  EXPECT_EQ(std::string(dbkey(index, 0), 8), "keybytes");
  EXPECT_EQ(dbrecord(index, 1), dbINVALID);
  EXPECT_EQ(dbkey(index, -1), nullptr);
  EXPECT_EQ(dbrecord(nullptr, 0), dbINVALID);
  dbfree_index(index);
}

TEST(EmptySchema, DatabaseLevelWithoutRelations) {
  clear_db_env();
  TempDir dir;
  dir.write("nothing", "Schema nothing ;\n");
  std::string desc = dir.write("db", "nothing\n");
  Dbptr db;
  ASSERT_EQ(RVdbopen(desc.c_str(), "r", &db), 0) << logged();
  EXPECT_EQ(dbresolve(db, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr), dbDATABASE);
  EXPECT_EQ(dbquery(db, dbTABLE_COUNT, nullptr), 0);
  RVdbclose(db);
}
