// Appending records (dbadd, dbaddnull, dbaddchk, dbaddv) and removing them (dbmark,
// dbcrunch, dbdelete, dbtruncate, dbdestroy).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"

namespace {

long file_size(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

int count_of(Dbptr t) {
  int n = -1;
  dbquery(t, dbRECORD_COUNT, &n);
  return n;
}

std::string record_text(Dbptr t, int i) {
  t.record = i;
  char *at = nullptr;
  int size = 0;
  if (dbresolve(t, nullptr, nullptr, nullptr, nullptr, &at, &size) != dbRECORD || !at) return "";
  return std::string(at, (size_t)size);
}

// The text of a field, without the blanks around it.
std::string field_text(Dbptr t, int i, const char *field) {
  t.record = i;
  t = dblookup(t, nullptr, nullptr, field, nullptr);
  char *at = nullptr;
  int size = 0;
  if (dbresolve(t, nullptr, nullptr, nullptr, nullptr, &at, &size) != dbFIELD || !at) return "?";
  std::string text(at, (size_t)size);
  size_t a = text.find_first_not_of(' '), b = text.find_last_not_of(' ');
  return a == std::string::npos ? "" : text.substr(a, b - a + 1);
}

Tbl *keys(std::initializer_list<const char *> names) {
  Tbl *t = newtbl(4);
  for (const char *n : names) pushtbl(t, const_cast<char *>(n));
  return t;
}

class Edit : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(demo.open(), 0); }
  std::string site(const char *sta, const char *ondate, const char *offdate, const char *lat,
                   const char *lddate = "0.00000") {
    return record(demo.db, "site", {sta, ondate, offdate, lat, "1.0", "0.1", "x", lddate});
  }
  DemoDb demo;
};

}  // namespace

TEST_F(Edit, AddChkReturnsExistingEqualRecords) {
  Dbptr t = demo.table("site");
  ASSERT_EQ(dbaddchk(t, site("AAA", "2020001", "2020100", "10.0").c_str()), 0);
  ASSERT_EQ(dbaddchk(t, site("BBB", "2020001", "-1", "10.0").c_str()), 1);
  struct Case {
    std::string rec;
    int result;
  } cases[] = {
      {site("AAA", "2020001", "2020100", "10.0"), 0},                 // the same again
      {site("AAA", "2020001", "2020100", "10.0", "99999.00000"), 0},  // only lddate differs
      {site("AAA", "2020001", "-1", "-999.0000"), 0},                 // differs in null fields
      {site("BBB", "2021001", "-1", "10.0"), -104},  // overlaps the open end of record 1
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rec);
    EXPECT_EQ(dbaddchk(t, c.rec.c_str()), c.result);
  }
  EXPECT_EQ(count_of(t), 2);
  EXPECT_EQ(file_size(demo.dir.file("demo.site")), 2L * (long)record_text(t, 0).size());
  take_registered();
}

TEST_F(Edit, AddChkRefusesKeyClashes) {
  Dbptr t = demo.table("site");
  ASSERT_EQ(dbaddchk(t, site("AAA", "2020001", "2020100", "10.0").c_str()), 0);
  take_registered();
  EXPECT_EQ(dbaddchk(t, site("AAA", "2020050", "2020200", "11.0").c_str()), -103);
  std::string msg = take_registered();
  EXPECT_NE(msg.find("matched the primary key of record #0, but field 'ondate' is different"),
            std::string::npos)
      << msg;
  EXPECT_EQ(dbaddchk(t, site("AAA", "2020101", "2020200", "11.0").c_str()), 1);  // no overlap

  // sitechan: alternate key chanid. A new station with an existing chanid clashes.
  Dbptr sc = demo.table("sitechan");
  ASSERT_EQ(
      dbaddchk(sc, record(demo.db, "sitechan", {"AAA", "BHZ", "2020001", "5", "-1", "0"}).c_str()),
      0);
  take_registered();
  EXPECT_EQ(
      dbaddchk(sc, record(demo.db, "sitechan", {"ZZZ", "BHZ", "2020001", "5", "-1", "0"}).c_str()),
      -103);
  msg = take_registered();
  EXPECT_NE(msg.find("matched the alternate key of record #0, but field 'sta' is different"),
            std::string::npos)
      << msg;
  EXPECT_EQ(count_of(sc), 1);
}

TEST_F(Edit, AddChkNullKeys) {
  struct Case {
    const char *table;
    std::vector<std::string> values;
    bool added;
    const char *message;
  } cases[] = {
      {"site", {"-", "2020001", "-1", "1.0"}, false, "null primary key to site"},
      {"site", {"AAA", "-1", "-1", "1.0"}, false, "null primary key to site"},
      {"site", {"AAA", "2020001", "-1", "1.0"}, true, ""},                // offdate may be null
      {"sensor", {"AAA", "BHZ", "100.0", "9999999999.99900"}, true, ""},  // endtime may be null
      {"sensor", {"AAA", "BHN", "-9999999999.99900", "200.0"}, false, "null primary key"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.values[0] + " " + c.values[1]);
    take_registered();
    int r = dbaddchk(demo.table(c.table), record(demo.db, c.table, c.values).c_str());
    EXPECT_EQ(r >= 0, c.added) << r;
    if (!c.added) {
      EXPECT_NE(take_registered().find(c.message), std::string::npos);
    }
  }
}

TEST_F(Edit, KeyNullTests) {
  // Scratch record of sensor: sta set, chan, time, endtime null.
  Dbptr t = demo.table("sensor");
  Dbptr s = t;
  s.record = dbSCRATCH;
  ASSERT_EQ(dbget(dblookup(t, nullptr, nullptr, nullptr, "dbNULL"), nullptr), 0);
  ASSERT_EQ(dbputv(s, nullptr, "sta", "AAA", nullptr), 0);
  struct Case {
    std::initializer_list<const char *> list;
    int allnull;
    int nullfield;
  } cases[] = {
      {{"chan"}, 1, 1},
      {{"sta"}, 0, 0},
      {{"chan", "endtime"}, 0, 1},       // endtime exempt: the key is not all null
      {{"chan", "band"}, 0, 1},          // an exempt name that is no field at all
      {{"time::endtime", "sta"}, 1, 1},  // null start ends allnull at once
      {{"sta", "time::endtime"}, 0, 1},  // a set field before the range accepts
      {{"endtime"}, 0, 0},
  };
  for (const Case &c : cases) {
    Tbl *k = keys(c.list);
    char *joined = jointbl(k, " ");
    SCOPED_TRACE(joined);
    free(joined);
    EXPECT_EQ(allnull(t, k), c.allnull);
    EXPECT_EQ(nullfield(t, k), c.nullfield);
    freetbl(k, nullptr);
  }
  // A set time makes the range's end the one tested.
  ASSERT_EQ(dbputv(s, nullptr, "time", 5.0, nullptr), 0);
  Tbl *k = keys({"time::endtime"});
  EXPECT_EQ(nullfield(t, k), 0);
  EXPECT_EQ(allnull(t, k), 0);
  freetbl(k, nullptr);
}

TEST_F(Edit, AddChkGivesIds) {
  Dbptr sc = demo.table("sitechan");
  ASSERT_EQ(
      dbaddchk(sc, record(demo.db, "sitechan", {"AAA", "BHZ", "2020001", "41", "-1"}).c_str()), 0);
  EXPECT_EQ(dbaddv(sc, nullptr, "sta", "BBB", "chan", "BHZ", "ondate", 2020001, nullptr), 1);
  EXPECT_EQ(field_text(sc, 1, "chanid"), "42");
  // The scratch record's id is null again: the next insertion from it gets its own.
  Dbptr s = sc;
  s.record = dbSCRATCH;
  EXPECT_EQ(field_text(s, dbSCRATCH, "chanid"), "-1");
  ASSERT_EQ(dbputv(s, nullptr, "sta", "CCC", nullptr), 0);
  EXPECT_EQ(dbaddchk(sc, nullptr), 2);
  EXPECT_EQ(field_text(sc, 2, "chanid"), "43");
  EXPECT_NE(field_text(sc, 1, "lddate"), "-9999999999.99900");  // dbaddv stamps the load date

  // A marked record has a null id too; a record that is given a new id doesn't clash with it.
  Dbptr marked = sc;
  marked.record = 1;
  ASSERT_EQ(dbmark(marked), 0);
  EXPECT_EQ(dbaddv(sc, nullptr, "sta", "DDD", "chan", "BHZ", "ondate", 2020001, nullptr), 3);
  EXPECT_EQ(field_text(sc, 3, "chanid"), "44");

  // dbaddv errors.
  take_registered();
  EXPECT_EQ(dbaddv(sc, nullptr, "nosuch", 1, nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("no field nosuch in table sitechan"), std::string::npos);
  EXPECT_EQ(dbaddv(demo.db, "nosuchtable", "sta", "X", nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("bad db type in dbputv"), std::string::npos);
  EXPECT_EQ(count_of(sc), 4);
}

TEST_F(Edit, AddCountsRecordsOthersAppended) {
  Dbptr t = demo.table("site");
  std::string rec = site("AAA", "2020001", "-1", "1.0");
  ASSERT_EQ(dbadd(t, rec.c_str()), 0);
  {
    std::ofstream out(demo.dir.file("demo.site"), std::ios::app);
    out << rec << rec;  // another process appends two records
  }
  EXPECT_EQ(dbadd(t, rec.c_str()), 3);
  EXPECT_EQ(count_of(t), 4);
  // The terminator is forced into the last byte of a file record.
  std::string odd = rec;
  odd.back() = 'x';
  EXPECT_EQ(dbadd(t, odd.c_str()), 4);
  EXPECT_EQ(record_text(t, 4).back(), '\n');

  // dbaddnull appends the null record.
  int n = dbaddnull(t);
  EXPECT_EQ(n, 5);
  Relation *r = nullptr;
  dbresolve(t, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(record_text(t, 5), std::string(r->nullrecord, (size_t)r->size));

  take_registered();
  EXPECT_EQ(dbadd(demo.db, rec.c_str()), dbINVALID);
  EXPECT_NE(take_registered().find("dbadd requires db pointer to table"), std::string::npos);
}

TEST_F(Edit, ReadOnlyTablesRefuse) {
  Dbptr t = demo.table("site");
  std::string rec = site("AAA", "2020001", "-1", "1.0");
  ASSERT_EQ(dbadd(t, rec.c_str()), 0);
  demo.close();
  ASSERT_EQ(demo.open("r"), 0);
  t = demo.table("site");
  take_registered();
  EXPECT_EQ(dbadd(t, rec.c_str()), dbINVALID);
  EXPECT_NE(take_registered().find("is opened read-only and cannot be updated"), std::string::npos);
  EXPECT_EQ(dbadd(demo.table("sensor"), rec.c_str()), dbINVALID);
  EXPECT_NE(take_registered().find("Table sensor does not exist and database was opened read-only"),
            std::string::npos);
  EXPECT_EQ(dbaddchk(t, rec.c_str()), dbINVALID);
  t.record = 0;
  EXPECT_EQ(dbmark(t), dbINVALID);
  EXPECT_NE(take_registered().find("dbmark: Table site ("), std::string::npos);
  EXPECT_EQ(dbdelete(t), dbINVALID);
  EXPECT_EQ(dbdestroy(demo.db), dbINVALID);
  EXPECT_NE(take_registered().find("Can't destroy a database opened read-only"), std::string::npos);
  EXPECT_EQ(file_size(demo.dir.file("demo.site")), (long)rec.size());
}

TEST_F(Edit, MemoryTableGrowsAndKeepsBytes) {
  Dbptr t = demo.table("calibration");
  Relation *r = nullptr;
  dbresolve(t, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(r);
  r->transient = 1;  // as the tables of views are
  std::string rec = record(demo.db, "calibration", {"AAA", "BHZ", "1.0", "2.0"});
  rec.back() = '#';
  ASSERT_EQ(dbadd(t, rec.c_str()), 0);
  EXPECT_EQ(record_text(t, 0), rec);  // the last byte as given
  // Appending a record from the table's own data while the table grows.
  Table *table = nullptr;
  for (int i = 1; i < 120; i++) {
    dbresolve(t, nullptr, nullptr, &table, nullptr, nullptr, nullptr);
    ASSERT_EQ(dbadd(t, table->data), i);
  }
  EXPECT_EQ(count_of(t), 120);
  EXPECT_EQ(record_text(t, 119), rec);
  EXPECT_EQ(file_size(demo.dir.file("demo.calibration")), -1);
  // Deletion and truncation of a memory table.
  t.record = 0;
  EXPECT_EQ(dbdelete(t), 0);
  t.record = dbALL;
  EXPECT_EQ(count_of(t), 119);
  EXPECT_EQ(dbtruncate(t, 7), 0);
  EXPECT_EQ(count_of(t), 7);
  dbfree(t);  // the relation goes with its in-memory table
}

TEST_F(Edit, MarkCrunchDelete) {
  Dbptr t = demo.table("site");
  const char *stas[] = {"S0", "S1", "S2", "S3", "S4", "S5"};
  for (const char *s : stas) ASSERT_GE(dbadd(t, site(s, "2020001", "-1", "1.0").c_str()), 0);
  const long rsize = (long)record_text(t, 0).size();
  const std::string path = demo.dir.file("demo.site");

  // No marked record: nothing changes.
  EXPECT_EQ(dbcrunch(t), 0);
  EXPECT_EQ(file_size(path), 6 * rsize);

  Dbptr rec = t;
  rec.record = 3;
  ASSERT_EQ(dbmark(rec), 0);
  EXPECT_EQ(count_of(t), 6);  // marked records keep their place until crunched
  // A record equal to the null record but for its last byte is not marked.
  Relation *r = nullptr;
  dbresolve(t, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  std::string almost(r->nullrecord, (size_t)r->size);
  almost.back() = 'x';
  rec.record = 1;
  ASSERT_EQ(dbput(rec, almost.c_str()), 0);
  ASSERT_EQ(dbcrunch(t), 0);
  EXPECT_EQ(count_of(t), 5);
  EXPECT_EQ(file_size(path), 5 * rsize);
  EXPECT_EQ(field_text(t, 3, "sta"), "S4");
  EXPECT_EQ(record_text(t, 1), almost);

  // dbdelete of the last record and of record 0.
  rec.record = 4;
  ASSERT_EQ(dbdelete(rec), 0);
  EXPECT_EQ(file_size(path), 4 * rsize);
  rec.record = 0;
  ASSERT_EQ(dbdelete(rec), 0);
  EXPECT_EQ(count_of(t), 3);
  EXPECT_EQ(field_text(t, 0, "sta"), "-");  // the almost-null record moved down
  EXPECT_EQ(field_text(t, 1, "sta"), "S2");
  EXPECT_EQ(field_text(t, 2, "sta"), "S4");
  rec.record = 3;
  EXPECT_EQ(dbdelete(rec), dbINVALID);  // no such record

  // dbtruncate beyond the count keeps everything; then to one record.
  EXPECT_EQ(dbtruncate(t, 10), 0);
  EXPECT_EQ(count_of(t), 3);
  EXPECT_EQ(dbtruncate(t, 1), 0);
  EXPECT_EQ(count_of(t), 1);
  EXPECT_EQ(file_size(path), rsize);

  // Every record marked: the table ends empty.
  rec.record = 0;
  ASSERT_EQ(dbmark(rec), 0);
  ASSERT_EQ(dbcrunch(t), 0);
  EXPECT_EQ(count_of(t), 0);
  EXPECT_EQ(file_size(path), 0);
  EXPECT_EQ(dbadd(t, site("S9", "2020001", "-1", "1.0").c_str()), 0);
  EXPECT_EQ(dbflush_indexes(t), 0);
  take_registered();
}

TEST(Destroy, RemovesFilesAndDescriptor) {
  for (bool with_tables : {false, true}) {
    SCOPED_TRACE(with_tables);
    DemoDb demo;
    ASSERT_EQ(demo.open(), 0);
    if (with_tables) {
      ASSERT_EQ(dbaddnull(demo.table("site")), 0);
      ASSERT_EQ(dbnextid(demo.db, "inid"), 1);  // creates the lastid table
      demo.dir.write(".%demo.site", "");        // a lock file
    }
    EXPECT_EQ(dbdestroy(demo.db), 0);
    demo.db.database = -1;
    EXPECT_EQ(file_size(demo.path), -1);
    EXPECT_EQ(file_size(demo.dir.file("demo.site")), -1);
    EXPECT_EQ(file_size(demo.dir.file("demo.lastid")), -1);
    EXPECT_EQ(file_size(demo.dir.file(".%demo.site")), -1);
    EXPECT_EQ(file_size(demo.dir.file("demo1.0")), (long)demo_schema().size());
    take_registered();
  }
}

// A write cut short (here by the file size limit) leaves the file as it was.
TEST(AddFailure, ShortWriteIsCutBack) {
  DemoDb demo;
  ASSERT_EQ(demo.open(), 0);
  Dbptr t = demo.table("site");
  std::string rec = record(demo.db, "site", {"AAA", "2020001", "-1", "1.0"});
  ASSERT_EQ(dbadd(t, rec.c_str()), 0);
  const std::string path = demo.dir.file("demo.site");
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {(rlim_t)(rec.size() + rec.size() / 2),
                           (rlim_t)(rec.size() + rec.size() / 2)};
    setrlimit(RLIMIT_FSIZE, &limit);
    int r = dbadd(t, rec.c_str());
    _exit(r == dbINVALID && file_size(path) == (long)rec.size() ? 0 : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(file_size(path), (long)rec.size());
  EXPECT_EQ(dbadd(t, rec.c_str()), 1);
  take_registered();
}

// A table file that ends in part of a record. Under a table lock the tail is a dead
// writer's and is cut before the append; without locking nothing may be cut, and every
// way of adding a record is refused with the table's invalid length (reported once),
// leaving the file as it was, whether the tail is recent (waited for once) or old, and
// whether the table was mapped before the tail appeared or not.
TEST(AddFailure, TornTableFile) {
  enum Call { ADD, ADDNULL, ADDCHK, ADDV };
  const char *const call_names[] = {"dbadd", "dbaddnull", "dbaddchk", "dbaddv"};
  for (const char *locking : {"none", "local", "nfs"})
    for (bool recent : {false, true})
      for (bool mapped_before : {false, true})
        for (Call call : {ADD, ADDNULL, ADDCHK, ADDV}) {
          SCOPED_TRACE(std::string(locking) + (recent ? " recent" : " old") +
                       (mapped_before ? " mapped before" : "") + " " + call_names[call]);
          DemoDb demo(std::string("# d\nschema demo1.0\ndblocks ") + locking +
                      "\ndbidserver \"\"\n");
          ASSERT_EQ(demo.open(), 0);
          auto site = [&](const char *sta) {
            return record(demo.db, "site", {sta, "2020001", "-1", "1.0", "1.0", "0.1", "x"});
          };
          const std::string path = demo.dir.file("demo.site");
          const std::string whole = site("AAA") + site("BBB");
          const std::string torn = whole + site("DDD").substr(0, 50);
          Dbptr t = demo.table("site");
          if (mapped_before) {
            ASSERT_EQ(dbadd(t, site("AAA").c_str()), 0);
            ASSERT_EQ(dbadd(t, site("BBB").c_str()), 1);
            ASSERT_EQ(count_of(t), 2);
            std::ofstream(path, std::ios::app) << torn.substr(whole.size());
          } else {
            demo.write_table("site", torn);
          }
          ASSERT_EQ(read_file(path), torn);
          // The file was written just now: an hour later it is old.
          DrivenClock clock(clock_now() + (recent ? 0 : 3600));
          const std::string fresh = site("CCC");
          ElogCapture capture;
          const double start = clock.now;
          int result = dbINVALID;
          switch (call) {
            case ADD:
              result = dbadd(t, fresh.c_str());
              break;
            case ADDNULL:
              result = dbaddnull(t);
              break;
            case ADDCHK:
              result = dbaddchk(t, fresh.c_str());
              break;
            case ADDV:
              result = dbaddv(demo.db, "site", "sta", "CCC", "ondate", 2020001, nullptr);
              break;
          }
          if (strcmp(locking, "none") == 0) {
            EXPECT_EQ(result, dbINVALID);
            EXPECT_EQ(read_file(path), torn);
            // Reported once, after one wait for the rest of a recent record.
            const std::string complaint =
                "Table '" + path + "' has invalid length " + std::to_string(torn.size()) + ".";
            int complaints = 0;
            for (const std::string &line : capture.lines())
              complaints += line.find(complaint) != std::string::npos;
            EXPECT_EQ(complaints, 1) << capture.text();
            EXPECT_NEAR(clock.now - start, recent ? 10.0 : 0.0, 0.05);
            EXPECT_FALSE(capture.contains("cut")) << capture.text();
          } else {
            EXPECT_EQ(clock.now, start);  // cut at once
            EXPECT_EQ(result, 2);
            const std::string now = read_file(path);
            EXPECT_EQ(now.size(), whole.size() * 3 / 2);
            EXPECT_EQ(now.substr(0, whole.size()), whole);
            EXPECT_TRUE(capture.contains("cut 50 bytes off its end")) << capture.text();
            EXPECT_EQ(count_of(t), 3);
          }
          take_registered();
        }
}
