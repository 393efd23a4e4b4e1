// Indexes: key descriptions, keys and their comparisons, finding, reading and building
// indexes, and their upkeep as records are added, marked and deleted.
#include "reldb/dbindex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "base/timetext.h"
#include "dbfixture.h"
#include "reldb/dbedit.h"

namespace {

Tbl *keys_of(std::vector<const char *> names) {
  Tbl *t = newtbl(4);
  for (const char *n : names) pushtbl(t, const_cast<char *>(n));
  return t;
}

struct KeyList {
  explicit KeyList(std::vector<const char *> names) : tbl(keys_of(names)) {}
  ~KeyList() { freetbl(tbl, nullptr); }
  Tbl *tbl;
};

int32_t rec_of(Dbindex *ix, long i) { return dbrecord(ix, (int)i); }
double dbl_at(Dbindex *ix, long i, int offset) {
  double d;
  memcpy(&d, static_cast<char *>(gettbl(ix->entries, i)) + offset, sizeof d);
  return d;
}

class IndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, db.open());
    take_registered();
  }
  void add_sensor(const char *sta, const char *time, const char *endtime,
                  const char *chanid = "1") {
    Dbptr t = db.table("sensor");
    std::string r =
        record(db.db, "sensor", {sta, "BHZ", time, endtime, "1", chanid, "1", "-", "0"});
    ASSERT_GE(dbadd(t, r.c_str()), 0);
  }
  DemoDb db;
};

TEST_F(IndexTest, JigLayoutOfStringAndRealRange) {
  KeyList keys({"sta", "time::endtime"});
  Jig *jig = nullptr;
  ASSERT_EQ(0, dbmake_jig(db.table("sensor"), keys.tbl, &jig));
  // record number, sta (6+1 bytes), padding to 16, time, endtime, envelope.
  EXPECT_EQ(40, jig->size);
  EXPECT_EQ(1, jig->range);
  const KeyElement *e0 = static_cast<KeyElement *>(gettbl(jig->elements, 0));
  const KeyElement *e1 = static_cast<KeyElement *>(gettbl(jig->elements, 1));
  EXPECT_EQ(dbSTRING, e0->type);
  EXPECT_EQ(4, e0->offset);
  EXPECT_EQ(7, e0->size);
  EXPECT_EQ(dbKEY_REAL_RANGE, e1->type);
  EXPECT_EQ(16, e1->offset);
  dbfree_jig(jig);
  std::string name;
  EXPECT_EQ(0, dbindex_name(db.table("sensor"), keys.tbl, &name));
  EXPECT_EQ("#0#2:3", name);
  KeyList expr({"sta", "chanid+1"});
  EXPECT_EQ(1, dbindex_name(db.table("sensor"), expr.tbl, &name));
  EXPECT_EQ("#0#e", name);
}

TEST_F(IndexTest, BadKeysAreRefused) {
  struct Case {
    const char *key;
    const char *message;
  } cases[] = {
      {"chanid > 3", "'chanid > 3' has bad type for index."},
      {"sta::chan", "Illegal range expression: 'sta' (bad type)"},
      {"nosuch", "Can't find key field 'nosuch' in table"},
      {"chanid::time", "Illegal range: 'chanid' (components aren't both integer)"},
      {"time::chanid", "Illegal range: 'time' (components don't have same type)"},
      {"sta . chan", "String expressions (like 'sta . chan') are not allowed in indexes"},
  };
  for (const Case &c : cases) {
    KeyList keys({c.key});
    Jig *jig = reinterpret_cast<Jig *>(1);
    EXPECT_EQ(dbINVALID, dbmake_jig(db.table("sensor"), keys.tbl, &jig)) << c.key;
    EXPECT_EQ(nullptr, jig);
    EXPECT_NE(std::string::npos, take_registered().find(c.message)) << c.key;
  }
}

TEST_F(IndexTest, EnvelopeIsRunningMaximumWithinEachRun) {
  add_sensor("AAA", "100", "500");
  add_sensor("AAA", "200", "300");
  add_sensor("BBB", "50", "60");
  add_sensor("AAA", "250", "260");
  KeyList keys({"sta", "time::endtime"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  ASSERT_EQ(4, maxtbl(ix->entries));
  EXPECT_EQ(4, ix->indexed);
  std::vector<int> order;
  for (long i = 0; i < 4; i++) order.push_back(rec_of(ix, i));
  EXPECT_EQ((std::vector<int>{0, 1, 3, 2}), order);
  EXPECT_EQ(500.0, dbl_at(ix, 1, 32));  // raised by the first AAA entry
  EXPECT_EQ(500.0, dbl_at(ix, 2, 32));
  EXPECT_EQ(60.0, dbl_at(ix, 3, 32));  // BBB starts from its own end
  // A search for AAA at time 400 (a plain time key) finds the long first range.
  KeyList want({"sta", "time"});
  Jig *search = nullptr;
  ASSERT_EQ(0, dbmake_jig(db.table("sensor"), want.tbl, &search));
  std::vector<char> key((size_t)search->size);
  add_sensor("AAA", "400", "401");  // record 4, only to build the search key from
  Dbptr r = db.table("sensor");
  r.record = 4;
  dbmake_key(r, search, key.data());
  ix->search_jig = search;
  long first = -1, last = -1;
  long n = ssearch(key.data(), ix->jig->size, gettbl(ix->entries, 0), maxtbl(ix->entries), 0,
                   dbcmp_search, ix, &first, &last);
  EXPECT_GE(n, 1);
  bool hit = false;
  for (long i = first; i <= last; i++)
    if (dbcmp(key.data(), gettbl(ix->entries, i), ix) == 0) hit = hit || rec_of(ix, i) == 0;
  EXPECT_TRUE(hit);
  ix->search_jig = nullptr;
  dbfree_jig(search);
}

TEST_F(IndexTest, InsertedWideRangeRaisesLaterEnvelopes) {
  add_sensor("AAA", "100", "110");
  add_sensor("AAA", "300", "310");
  KeyList keys({"sta", "time::endtime"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  add_sensor("AAA", "200", "900");  // entered by dbadd between the two
  ASSERT_EQ(3, maxtbl(ix->entries));
  EXPECT_EQ(2, rec_of(ix, 1));
  EXPECT_EQ(900.0, dbl_at(ix, 2, 32));  // the later entry's envelope covers it
  EXPECT_EQ(3, ix->indexed);
}

TEST_F(IndexTest, MarkAndDeleteKeepEntriesCurrent) {
  add_sensor("CCC", "1", "2", "30");
  add_sensor("AAA", "1", "2", "10");
  add_sensor("BBB", "1", "2", "20");
  KeyList keys({"chanid"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  EXPECT_EQ(1, rec_of(ix, 0));
  Dbptr r = db.table("sensor");
  r.record = 1;
  ASSERT_EQ(0, dbmark(r));
  ASSERT_EQ(2, maxtbl(ix->entries));
  EXPECT_EQ(2, rec_of(ix, 0));
  r.record = 0;
  ASSERT_EQ(0, dbdelete(r));
  ASSERT_EQ(1, maxtbl(ix->entries));
  EXPECT_EQ(1, rec_of(ix, 0));  // record 2 moved down
  EXPECT_EQ(2, ix->indexed);
  // A null record is not entered, and no later catch-up enters it.
  ASSERT_GE(dbaddnull(r), 0);
  add_sensor("DDD", "1", "2", "5");
  EXPECT_EQ(2, maxtbl(ix->entries));
  EXPECT_EQ(3, rec_of(ix, 0));
  EXPECT_EQ(0, dbupdate_index(ix));
  EXPECT_EQ(2, maxtbl(ix->entries));
}

TEST_F(IndexTest, LongerIndexServesLeadingKeysAndEquivalents) {
  add_sensor("AAA", "1", "2");
  KeyList three({"sta", "chan", "time"});
  KeyList two({"sta", "chan"});
  Dbindex *a = nullptr, *b = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), three.tbl, &a));
  ASSERT_EQ(0, dbget_index(db.table("sensor"), two.tbl, &b));
  EXPECT_EQ(a, b);
  KeyList ondate({"ondate"}), time({"time"}), sta({"sta"});
  EXPECT_EQ(0, cmp_patterns(ondate.tbl, time.tbl));
  EXPECT_EQ(1, cmp_patterns(time.tbl, sta.tbl));
  EXPECT_EQ(1, cmp_patterns(three.tbl, two.tbl));
  KeyList r1({"time::endtime"}), r2({"ondate::offdate"});
  EXPECT_EQ(0, cmp_patterns(r1.tbl, r2.tbl));
  EXPECT_EQ(8, equiv_field("sta")[0]);
}

TEST_F(IndexTest, OpenOffdateIsInfinite) {
  Dbptr t = db.table("site");
  std::string r = record(db.db, "site", {"AAA", "2000001", "-1", "1", "1", "1", "x", "0"});
  ASSERT_GE(dbadd(t, r.c_str()), 0);
  r = record(db.db, "site", {"BBB", "2000001", "2000010", "1", "1", "1", "x", "0"});
  ASSERT_GE(dbadd(t, r.c_str()), 0);
  KeyList keys({"ondate::offdate"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(0, dbget_index(t, keys.tbl, &ix));
  for (long i = 0; i < 2; i++) {
    double end = dbl_at(ix, i, 16);
    if (rec_of(ix, i) == 0)
      EXPECT_TRUE(std::isinf(end) && end > 0);
    else
      EXPECT_EQ(epoch(2000011) - 1.0, end);
  }
}

TEST_F(IndexTest, EmptyTableAndExpressionTest) {
  KeyList keys({"chanid"});
  Dbindex *ix = dbcreate_index(db.table("sensor"), keys.tbl, "#5");
  ASSERT_NE(nullptr, ix);
  EXPECT_EQ(0, maxtbl(ix->entries));
  EXPECT_EQ(0, ix->indexed);
  dbfree_index(ix);
  struct {
    const char *text;
    int want;
  } cases[] = {{"sta", 0}, {"site.lat", 0}, {"", 0}, {"lat+1", 1}, {"time::endtime", 1}};
  for (auto &c : cases) EXPECT_EQ(c.want, dbis_expression(c.text)) << c.text;
}

// Index files of key chanid on sensor: "#Index <token> 1 0", the key, "#", then
// entries of 8 bytes (record, chanid) least significant byte first.
class IndexFileTest : public IndexTest {
 protected:
  std::string write_index(const std::vector<std::pair<int, int>> &entries, int extra_bytes = 0,
                          long age = 10) {
    std::string text = "#Index demo.sensor#5 1 0\n#chanid\n#\n";
    for (auto &e : entries)
      for (int v : {e.first, e.second})
        for (int b = 0; b < 4; b++) text += (char)((uint32_t)v >> (8 * b) & 0xff);
    text.append((size_t)extra_bytes, '\n');
    std::string path = db.dir.write("demo.sensor#5", text);
    struct stat st;
    stat((db.dir.path() + "/demo.sensor").c_str(), &st);
    struct timeval tv[2] = {{st.st_mtime + age, 0}, {st.st_mtime + age, 0}};
    utimes(path.c_str(), tv);
    return path;
  }
  void SetUp() override {
    IndexTest::SetUp();
    add_sensor("AAA", "1", "2", "10");
    add_sensor("BBB", "1", "2", "2570");  // 0x0a0a: newline bytes in the entry
  }
};

TEST_F(IndexFileTest, ReadsEntriesHoldingNewlineBytes) {
  write_index({{0, 10}, {1, 2570}});
  KeyList keys({"chanid"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(1, dbget_index(db.table("sensor"), keys.tbl, &ix));
  ASSERT_EQ(2, maxtbl(ix->entries));
  EXPECT_EQ(1, rec_of(ix, 1));
  EXPECT_EQ(1, ix->unique);
  EXPECT_EQ(2, ix->indexed);
  EXPECT_NE(nullptr, strstr(ix->file, "demo.sensor#5"));
}

TEST_F(IndexFileTest, DamagedOrStaleFilesAreRefusedAndRebuilt) {
  struct Case {
    std::vector<std::pair<int, int>> entries;
    int extra;
    long age;
  } cases[] = {
      {{{0, 10}, {1, 2570}}, 3, 10},   // cut or padded: not whole entries
      {{{0, 10}, {7, 2570}}, 0, 10},   // record beyond the table
      {{{1, 2570}, {0, 10}}, 0, 10},   // out of order
      {{{0, 10}, {1, 2570}}, 0, -10},  // older than the table: passed over, left in place
  };
  for (const Case &c : cases) {
    std::string path = write_index(c.entries, c.extra, c.age);
    KeyList keys({"chanid"});
    Dbindex *ix = nullptr;
    ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
    ASSERT_EQ(2, maxtbl(ix->entries));
    EXPECT_EQ(nullptr, ix->file);
    EXPECT_EQ(0, rec_of(ix, 0));
    EXPECT_EQ(0, access(path.c_str(), F_OK));
    dbflush_indexes(db.table("sensor"));
    unlink(path.c_str());
  }
}

TEST_F(IndexFileTest, AReadOnlyDatabaseLeavesAStaleFileAlone) {
  db.close();
  ASSERT_EQ(0, db.open("r"));
  std::string path = write_index({{0, 10}, {1, 2570}}, 0, -10);
  KeyList keys({"chanid"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  EXPECT_EQ(nullptr, ix->file);
  EXPECT_EQ(0, access(path.c_str(), F_OK));
}

TEST_F(IndexTest, IndexesOverDifferentExpressionsLiveSideBySide) {
  add_sensor("AAA", "1", "2");
  add_sensor("BBB", "5", "6");
  KeyList first({"time * -1"}), second({"time + 1"});
  Dbindex *a = nullptr, *b = nullptr, *again = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), first.tbl, &a));
  ASSERT_EQ(0, dbget_index(db.table("sensor"), second.tbl, &b));
  EXPECT_NE(a, b);
  ASSERT_EQ(0, dbget_index(db.table("sensor"), first.tbl, &again));
  EXPECT_EQ(a, again);  // still the first one, not freed by the second
  EXPECT_EQ(1, rec_of(a, 0));
  EXPECT_EQ(0, rec_of(b, 0));
}

TEST_F(IndexTest, AnIndexFollowsTheTable) {
  add_sensor("CCC", "1", "2");
  add_sensor("AAA", "1", "2");
  KeyList keys({"sta"});
  Dbindex *ix = nullptr;
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  ASSERT_EQ(2, maxtbl(ix->entries));
  // Records appended by another process reach the index when it is asked for.
  pid_t pid = fork();
  if (pid == 0) {
    Dbptr other;
    if (RVdbopen(db.path.c_str(), "r+", &other) != 0) _exit(2);
    Dbptr t = dblookup(other, nullptr, "sensor", nullptr, nullptr);
    std::string r = record(other, "sensor", {"BBB", "BHZ", "1", "2", "1", "1", "1", "-", "0"});
    _exit(dbadd(t, r.c_str()) == 2 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  ASSERT_EQ(3, maxtbl(ix->entries));
  EXPECT_EQ(2, rec_of(ix, 1));
  // A truncated table never leaves entries of records that are gone.
  ASSERT_EQ(0, dbtruncate(db.table("sensor"), 1));
  ASSERT_EQ(0, dbget_index(db.table("sensor"), keys.tbl, &ix));
  ASSERT_EQ(1, maxtbl(ix->entries));
  EXPECT_EQ(0, rec_of(ix, 0));
}

}  // namespace
