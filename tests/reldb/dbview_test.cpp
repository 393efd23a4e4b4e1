// Views: making them, merging key lists, sorts, subsets and groups of joins and sorted
// views, and view files (writing, saving, reading back, refusing damaged ones).
#include "reldb/dbview.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"
#include "reldb/dbex.h"
#include "reldb/dbsort.h"

namespace {

Tbl *names(std::initializer_list<const char *> list) {
  Tbl *t = newtbl(4);
  for (const char *n : list) pushtbl(t, const_cast<char *>(n));
  return t;
}

std::vector<std::string> strings(Tbl *t) {
  std::vector<std::string> out;
  for (long i = 0; i < maxtbl(t); i++) out.push_back(static_cast<const char *>(gettbl(t, i)));
  return out;
}

std::string name_of(Dbptr t) {
  char *name = nullptr;
  dbquery(t, dbTABLE_NAME, &name);
  return name ? name : "";
}

TEST(AddTbl, MergesKeysKeepingRangesLast) {
  struct Case {
    std::vector<const char *> merged, keys;
    std::vector<std::string> result;
  } cases[] = {
      {{"sta", "time::endtime"}, {"chan", "sta"}, {"sta", "chan", "time::endtime"}},
      {{}, {"sta", "ondate::offdate"}, {"sta", "ondate::offdate"}},
      {{"sta"}, {"ondate::offdate", "chan"}, {"sta", "chan", "ondate::offdate"}},
      {{"time::endtime"}, {"ondate::offdate", "sta"}, {"sta", "time::endtime", "ondate::offdate"}},
  };
  for (const Case &c : cases) {
    Tbl *merged = newtbl(4);
    for (const char *m : c.merged) pushtbl(merged, strdup(m));
    Tbl *keys = newtbl(4);
    for (const char *k : c.keys) pushtbl(keys, const_cast<char *>(k));
    addtbl(merged, keys);
    EXPECT_EQ(strings(merged), c.result);
    freetbl(merged, free);
    freetbl(keys, nullptr);
  }
}

class View : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(demo.open(), 0); }
  void add(const char *table, const std::vector<std::string> &values) {
    ASSERT_GE(dbadd(demo.table(table), record(demo.db, table, values).c_str()), 0) << logged();
  }
  void wfdisc(const char *sta, const char *chan, double time, double endtime) {
    add("wfdisc", {sta, chan, std::to_string(time), "1", "1", std::to_string(endtime), "1", "1",
                   "1", "1", "-", "-", "-", "0"});
  }
  void calibration(const char *sta, const char *chan, double time, double endtime, double calib) {
    add("calibration", {sta, chan, std::to_string(time), std::to_string(endtime),
                        std::to_string(calib), "1", "0"});
  }
  // The join of wfdisc and calibration used by several tests: rows (wfdisc, calibration)
  // (0,1) (1,0) (2,2).
  Dbptr joined() {
    wfdisc("B", "X", 0, 10);
    wfdisc("A", "X", 100, 110);
    wfdisc("A", "Y", 5, 6);
    calibration("A", "X", 90, 200, 2.5);
    calibration("B", "X", 0, 50, 1.5);
    calibration("A", "Y", 0, 50, 4.0);
    Dbptr j = dbjoin(demo.table("wfdisc"), demo.table("calibration"), nullptr, nullptr, 0, nullptr,
                     nullptr);
    EXPECT_GE(j.table, 0) << logged();
    return j;
  }
  // Per row: wfdisc.sta wfdisc.time calibration.calib, read through the view (wfdisc has
  // a calib of its own).
  std::vector<std::string> rows(Dbptr v) {
    std::vector<std::string> out;
    int n = dbquery(v, dbRECORD_COUNT, nullptr);
    for (int i = 0; i < n; i++) {
      v.record = i;
      char sta[16] = "";
      double time = 0, calib = 0;
      EXPECT_EQ(dbgetv(v, nullptr, "wfdisc.sta", sta, "wfdisc.time", &time, "calibration.calib",
                       &calib, nullptr),
                0)
          << logged();
      char buf[64];
      snprintf(buf, sizeof buf, "%s %g %g", sta, time, calib);
      out.push_back(buf);
    }
    return out;
  }
  DemoDb demo;
};

TEST_F(View, MadeOverNamedTables) {
  Tbl *t = names({"sitechan", "site"});
  Dbptr v = dbtbl2view(demo.db, "sv", t);
  ASSERT_GE(v.table, 0) << logged();
  EXPECT_EQ(v.field, dbALL);
  EXPECT_EQ(v.record, dbALL);
  EXPECT_EQ(dbquery(v, dbRECORD_COUNT, nullptr), 0);
  EXPECT_EQ(dbsize(v), 2);
  Tbl *keys = nullptr;
  dbquery(v, dbPRIMARY_KEY, &keys);
  EXPECT_EQ(strings(keys), (std::vector<std::string>{"sta", "chan", "ondate::offdate"}));
  dbquery(v, dbALTERNATE_KEY, &keys);
  EXPECT_EQ(strings(keys), (std::vector<std::string>{"chanid"}));
  dbquery(v, dbFOREIGN_KEYS, &keys);
  EXPECT_EQ(strings(keys), (std::vector<std::string>{"sta"}));

  // Two default names in a row are numbered by the relation count.
  int n = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  Dbptr a = dbtbl2view(demo.db, nullptr, t);
  Dbptr b = dbtbl2view(demo.db, "", t);
  EXPECT_EQ(name_of(a), "View" + std::to_string(n));
  EXPECT_EQ(name_of(b), "View" + std::to_string(n + 1));

  // Refusals make nothing.
  n = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  EXPECT_EQ(dbtbl2view(demo.db, "sv", t).table, dbINVALID);
  EXPECT_EQ(dbtbl2view(demo.db, "site", t).table, dbINVALID);
  EXPECT_NE(logged().find("a relation named 'site' exists already"), std::string::npos);
  Dbptr nodb = {99, dbALL, dbALL, dbALL};
  EXPECT_EQ(dbtbl2view(nodb, "x", t).table, dbINVALID);
  EXPECT_NE(logged().find("can't create view without specifying database.\n"), std::string::npos);
  freetbl(t, nullptr);
  t = names({"site", "nosuch"});
  EXPECT_EQ(dbtbl2view(demo.db, "x", t).table, dbINVALID);
  EXPECT_NE(logged().find("Invalid table name in dbtbl2view: 'nosuch'\n"), std::string::npos);
  EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), n);
  freetbl(t, nullptr);
}

TEST_F(View, SortAndSubsetOfAJoinReadTheirBaseRecords) {
  Dbptr j = joined();
  EXPECT_EQ(rows(j), (std::vector<std::string>{"B 0 1.5", "A 100 2.5", "A 5 4"}));
  Tbl *k = names({"calibration.calib"});
  Dbptr sorted = dbsort(j, k, dbSORT_REVERSE, "byc");
  ASSERT_GE(sorted.table, 0) << logged();
  EXPECT_EQ(dbsize(sorted), 2);
  EXPECT_EQ(rows(sorted), (std::vector<std::string>{"A 5 4", "A 100 2.5", "B 0 1.5"}));
  freetbl(k, nullptr);
  Dbptr sub = dbsubset(j, "wfdisc.sta == \"A\" && calibration.calib > 3", nullptr);
  ASSERT_GE(sub.table, 0) << logged();
  EXPECT_EQ(rows(sub), (std::vector<std::string>{"A 5 4"}));
  // A subset of the sorted join: a view of a view of a view.
  Dbptr sub2 = dbsubset(sorted, "calibration.calib < 3", nullptr);
  EXPECT_EQ(rows(sub2), (std::vector<std::string>{"A 100 2.5", "B 0 1.5"}));
  sub2.record = 1;
  Dbptr *p = dbref(&sub2);
  EXPECT_EQ(p[0].table, demo.table("wfdisc").table);
  EXPECT_EQ(p[0].record, 0);
  EXPECT_EQ(p[1].table, demo.table("calibration").table);
  EXPECT_EQ(p[1].record, 1);
}

TEST_F(View, AGroupOfASortedView) {
  for (auto [sta, lat] : {std::pair{"b", "1"}, {"a", "2"}, {"b", "3"}, {"a", "4"}, {"c", "5"}})
    add("site", {sta, "2001001", "-1", lat, "0", "0", "x", "0"});
  Tbl *k = names({"sta"});
  Dbptr sorted = dbsort(demo.table("site"), k, 0, nullptr);
  Dbptr g = dbgroup(sorted, k, "bysta", 3);
  ASSERT_GE(g.table, 0) << logged();
  ASSERT_EQ(dbquery(g, dbRECORD_COUNT, nullptr), 3);
  struct Want {
    const char *sta;
    int first, end;
    double sum;
  } want[] = {{"a", 0, 2, 6}, {"b", 2, 4, 4}, {"c", 4, 5, 5}};
  for (int i = 0; i < 3; i++) {
    g.record = i;
    char sta[16] = "";
    Dbptr bundle;
    ASSERT_EQ(dbgetv(g, nullptr, "sta", sta, "bundle", &bundle, nullptr), 0);
    EXPECT_STREQ(sta, want[i].sta);
    EXPECT_EQ(bundle.table, sorted.table);  // the bundle names the view's records
    EXPECT_EQ(bundle.record, want[i].first);
    EXPECT_EQ(bundle.field, want[i].end);
    double sum = 0;
    Expression *e = nullptr;
    ASSERT_EQ(dbex_compile(g, "sum(lat)", &e, dbREAL), dbREAL) << logged();
    EXPECT_EQ(dbex_eval(g, e, 0, &sum), 1) << logged();
    dbex_free(e);
    EXPECT_DOUBLE_EQ(sum, want[i].sum);
  }
  freetbl(k, nullptr);
  // The group's name is refused when it is taken.
  k = names({"sta"});
  int n = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  EXPECT_EQ(dbgroup(sorted, k, "bysta", 3).table, dbINVALID);
  EXPECT_EQ(dbgroup(sorted, k, "site", 3).table, dbINVALID);
  EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), n);
  freetbl(k, nullptr);
  logged();
}

// --- View files ---

std::string le32(int32_t v) {
  std::string out(4, '\0');
  for (int i = 0; i < 4; i++) out[(size_t)i] = (char)((uint32_t)v >> (8 * i));
  return out;
}

// A view file's text, written by dbwrite_view to a temporary stream.
std::string written(Dbptr v) {
  FILE *f = tmpfile();
  EXPECT_EQ(dbwrite_view(v, f), 0) << logged();
  std::string out;
  rewind(f);
  int ch;
  while ((ch = getc(f)) != EOF) out.push_back((char)ch);
  fclose(f);
  return out;
}

class ViewFile : public View {
 protected:
  // Writes `text` beside the database and reads it as a view.
  int read(const std::string &text, Dbptr *v, const char *name = nullptr) {
    std::string path = demo.dir.write("in.view", text);
    FILE *f = fopen(path.c_str(), "r");
    int rc = dbread_view(f, v, name);
    fclose(f);
    return rc;
  }
  std::string header(const std::vector<std::string> &tables) {
    std::string h = "#View v\n#Database " + demo.path + " 7\n";
    for (const std::string &t : tables) h += "#Table " + t + " 3\n";
    return h + "#\n";
  }
};

TEST_F(ViewFile, RoundTripInAnotherProcess) {
  Dbptr j = joined();
  std::vector<std::string> want = rows(j);
  std::string path = demo.dir.file("join.view");
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_EQ(dbwrite_view(j, f), 0);
  fclose(f);
  std::string text = read_file(path);
  EXPECT_EQ(text.substr(0, text.find("#Table")), "#View " + name_of(j) + "\n#Database " +
                                                     demo.path + " " +
                                                     std::to_string(demo.db.database) + "\n");
  demo.close();
  pid_t pid = fork();
  if (pid == 0) {
    // Another database opened first: this process numbers the database differently.
    DemoDb other;
    if (other.open() != 0) _exit(2);
    FILE *in = fopen(path.c_str(), "r");
    Dbptr v;
    if (!in || dbread_view(in, &v, "again") != 0) _exit(3);
    if (v.database == other.db.database) _exit(4);
    _exit(rows(v) == want && name_of(v) == "again" ? 0 : 5);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ViewFile, ABaseTableIsWrittenAsView0) {
  add("site", {"A", "2001001", "-1", "1", "0", "0", "x", "0"});
  add("site", {"B", "2001001", "-1", "2", "0", "0", "x", "0"});
  Dbptr site = demo.table("site");
  std::string h = "#View View0\n#Database " + demo.path + " " + std::to_string(site.database) +
                  "\n#Table site " + std::to_string(site.table) + "\n#\n";
  std::string body;
  for (int r = 0; r < 2; r++) body += le32(site.database) + le32(site.table) + le32(-501) + le32(r);
  EXPECT_EQ(written(site), h + body);
  Dbptr v;
  ASSERT_EQ(read(h + body, &v), 0) << logged();
  EXPECT_EQ(dbquery(v, dbRECORD_COUNT, nullptr), 2);
  v.record = 1;
  char sta[16] = "";
  ASSERT_EQ(dbgetv(v, nullptr, "sta", sta, nullptr), 0);
  EXPECT_STREQ(sta, "B");
  // A base table is never saved as a view.
  EXPECT_EQ(dbsave_view(site), dbINVALID);
  Dbptr bad = {demo.db.database, 999, dbALL, dbALL};
  EXPECT_EQ(dbwrite_view(bad, stdout), dbINVALID);
  EXPECT_NE(logged().find("Can't write view -- invalid db pointer.\n"), std::string::npos);
}

TEST_F(ViewFile, AMemberChangedAfterTheViewIsStaleExceptOnStandardInput) {
  add("site", {"A", "2001001", "-1", "1", "0", "0", "x", "0"});
  std::string path = demo.dir.file("site.view");
  FILE *f = fopen(path.c_str(), "w");
  ASSERT_EQ(dbwrite_view(demo.table("site"), f), 0);
  fclose(f);
  // The table changes within the same second, one microsecond later.
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  struct timespec times[2] = {st.st_mtim, st.st_mtim};
  times[1].tv_nsec += 1000;
  if (times[1].tv_nsec >= 1000000000) {
    times[1].tv_sec++;
    times[1].tv_nsec -= 1000000000;
  }
  std::string table = demo.dir.file("demo.site");
  ASSERT_EQ(utimensat(AT_FDCWD, table.c_str(), times, 0), 0);
  int n = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  f = fopen(path.c_str(), "r");
  Dbptr v;
  EXPECT_EQ(dbread_view(f, &v, nullptr), dbINVALID);
  fclose(f);
  EXPECT_EQ(v.table, dbINVALID);
  EXPECT_EQ(logged(), "Table site (" + table + ") has changed since the view was created.\n");
  EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), n);
  // The same file on standard input is read.
  int saved = dup(STDIN_FILENO);
  int fd = open(path.c_str(), O_RDONLY);
  ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
  close(fd);
  FILE *in = fdopen(STDIN_FILENO, "r");
  int rc = dbread_view(in, &v, nullptr);
  fclose(in);
  dup2(saved, STDIN_FILENO);
  close(saved);
  EXPECT_EQ(rc, 0) << logged();
  EXPECT_EQ(dbquery(v, dbRECORD_COUNT, nullptr), 1);
}

TEST_F(ViewFile, DamagedFilesAreRefusedAndLeaveNothing) {
  add("site", {"A", "2001001", "-1", "1", "0", "0", "x", "0"});
  Dbptr site = demo.table("site");
  std::string rec0 = le32(5) + le32(5) + le32(-501) + le32(0);
  struct Case {
    std::string what, text, message;
  } cases[] = {
      {"empty", "", "Can't read input view\n"},
      {"not a view", "#Index x\n", "input does not appear to be a view: \n  '#Index x'\n"},
      {"one line", "#View v\n", "Can't read 2nd line from input view\n"},
      {"no database", "#View v\n#Database\n", "Can't read database name from view input:\n"},
      {"no such database", "#View v\n#Database " + demo.dir.file("nodir/x") + " 1\n",
       "Can't open database"},
      {"no tables", header({}), "No tables in view.\n"},
      {"bad table line", header({}).substr(0, header({}).size() - 2) + "#Table site\n#\n",
       "Can't read table name -- bad view format\n"},
      {"unknown table", header({"nosuch"}), "Invalid table name in dbtbl2view: 'nosuch'\n"},
      {"extra garbage", header({"site"}) + rec0 + "xyz", "Extra garbage at end of input view\n"},
      {"record out of range", header({"site"}) + le32(0) + le32(0) + le32(-501) + le32(1),
       "record 1 is not a record of table site"},
      {"negative record", header({"site"}) + le32(0) + le32(0) + le32(-501) + le32(-7),
       "record -7 is not a record of table site"},
  };
  int n = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  for (const Case &c : cases) {
    Dbptr v = site;
    EXPECT_EQ(read(c.text, &v), dbINVALID) << c.what;
    EXPECT_EQ(v.table, dbINVALID) << c.what;
    EXPECT_NE(logged().find(c.message), std::string::npos) << c.what;
    EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), n) << c.what;
  }
  // dbNULL and dbALL records are allowed; ids in the file are replaced by this process's.
  Dbptr v;
  ASSERT_EQ(read(header({"site"}) + rec0 + le32(9) + le32(9) + le32(-501) + le32(dbNULL), &v), 0)
      << logged();
  v.record = 1;
  Dbptr *p = dbref(&v);
  EXPECT_EQ(p->database, demo.db.database);
  EXPECT_EQ(p->table, site.table);
  EXPECT_EQ(p->record, dbNULL);
}

TEST_F(ViewFile, ASavedViewIsFoundByLookup) {
  Dbptr j = joined();
  std::vector<std::string> want = rows(j);
  Tbl *k = names({"wfdisc.time"});
  Dbptr sorted = dbsort(j, k, 0, "bytime");
  freetbl(k, nullptr);
  ASSERT_EQ(dbsave_view(sorted), 0) << logged();
  std::string saved = read_file(demo.dir.file("demo.bytime"));
  EXPECT_EQ(saved.substr(0, 12), "#View bytime");
  demo.close();
  ASSERT_EQ(demo.open(), 0);
  Dbptr v = demo.table("bytime");
  ASSERT_GE(v.table, 0) << logged();
  EXPECT_EQ(rows(v), (std::vector<std::string>{"B 0 1.5", "A 5 4", "A 100 2.5"}));
  // Saving again replaces the file whole.
  ASSERT_EQ(dbsave_view(v), 0) << logged();
  EXPECT_EQ(read_file(demo.dir.file("demo.bytime")).size(), saved.size());
}

}  // namespace
