// Sorting (key order, the walk of dbsort, the in-place permutation, dbsort_in_place),
// subsets by expression and the field name helpers dbfield_type and tsplit.
#include "reldb/dbsort.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"
#include "reldb/dbex.h"
#include "reldb/dbindex.h"
#include "reldb/dbview.h"

namespace {

Tbl *keys(std::initializer_list<const char *> names) {
  Tbl *t = newtbl(4);
  for (const char *n : names) pushtbl(t, const_cast<char *>(n));
  return t;
}

class Sort : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(demo.open(), 0); }
  void TearDown() override { freetbl(k, nullptr); }
  // Appends sites (sta, ondate, lat) in the order given.
  void sites(const std::vector<std::vector<std::string>> &rows) {
    Dbptr t = demo.table("site");
    for (const auto &r : rows) {
      std::vector<std::string> v = {r[0], r[1], "-1", r[2], "0", "0", "x", "0"};
      ASSERT_GE(dbadd(t, record(demo.db, "site", v).c_str()), 0);
    }
  }
  std::string sta(int i) {
    Dbptr t = demo.table("site");
    t.record = i;
    char s[16] = "";
    dbgetv(t, nullptr, "sta", s, nullptr);
    return s;
  }
  DemoDb demo;
  Tbl *k = nullptr;
};

TEST_F(Sort, FieldTypeAndSplit) {
  struct Case {
    const char *name;
    int type;
  } cases[] = {
      {"sta", dbSTRING},          {"site.lat", dbREAL},  {"ondate", dbYEARDAY},
      {"nosuch.lat", dbINVALID},  // the attribute exists, the table does not
      {"site.nosuch", dbINVALID}, {"nosuch", dbINVALID}, {"", dbINVALID},
  };
  for (const Case &c : cases) EXPECT_EQ(dbfield_type(demo.db, c.name), c.type) << c.name;
  Dbptr bad = {77, dbALL, dbALL, dbALL};
  EXPECT_EQ(dbfield_type(bad, "sta"), dbINVALID);
  take_registered();

  struct Split {
    const char *name, *table, *field;
  } splits[] = {{"site.sta", "site", "sta"},
                {"sta", "", "sta"},
                {"a.b.c", "a", "b.c"},
                {".x", "", "x"},
                {"", "", ""}};
  for (const Split &s : splits) {
    char table[16] = "junk", field[16] = "junk";
    tsplit(s.name, table, field);
    EXPECT_STREQ(table, s.table) << s.name;
    EXPECT_STREQ(field, s.field) << s.name;
  }
}

TEST_F(Sort, KeyOrderIsByValueAndStable) {
  // Texts are left-aligned, so a byte-wise order of lat would put 10 before 9.5.
  sites({{"C", "2001001", "10.0"},
         {"A", "2001001", "9.5"},
         {"B", "2001001", "10.0"},
         {"D", "2000001", "-1"},
         {"A", "2000300", "9.5"}});
  std::vector<int> order;
  std::vector<std::string> kb;
  k = keys({"lat"});
  ASSERT_EQ(dbsort_key_order(demo.table("site"), k, &order, &kb), 0);
  EXPECT_EQ(order, (std::vector<int>{3, 1, 4, 0, 2}));  // equal keys keep record order
  ASSERT_EQ(kb.size(), 5u);
  EXPECT_EQ(kb[1], kb[2]);
  freetbl(k, nullptr);
  k = keys({"sta", "ondate"});
  ASSERT_EQ(dbsort_key_order(demo.table("site"), k, &order, &kb), 0);
  EXPECT_EQ(order, (std::vector<int>{4, 1, 2, 0, 3}));
  EXPECT_NE(kb[0], kb[1]);
}

// Index entries are ordered through byte keys (or, when a key holds a NaN, by merging
// with the entry comparison): the order must be that of a stable sort of the entries in
// record order by dbcmp_sort, for texts that share prefixes, negative numbers, both zeros,
// ranges and NaN keys; one text of a number in a run of records (read once for the run)
// and texts of one number written differently; keys that make one number and keys too
// wide for one.
TEST_F(Sort, KeyOrderIsTheStableOrderOfTheEntryComparison) {
  const char *stas[] = {"A", "AB", "ABC", "B", "b", "Z9", "AB"};
  const char *lats[] = {"-1.5", "-0",      "0",     "0.0",   "2.25",  "-1000",
                        "12.5", "-0.0001", "12.50", " 12.5", "1.25e1"};
  std::mt19937 rng(11);
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 300; i++) {
    if (i > 0 && rng() % 3 == 0) {
      rows.push_back(rows.back());
      continue;
    }
    rows.push_back({stas[rng() % 7], std::to_string(2001001 + rng() % 4), lats[rng() % 11]});
  }
  sites(rows);
  const std::vector<std::vector<const char *>> cases = {{"sta", "lat"},
                                                        {"lat"},
                                                        {"ondate"},
                                                        {"sta", "lat", "ondate"},
                                                        {"lat", "sta"},
                                                        {"ondate", "sta"},
                                                        {"sta", "ondate::offdate"},
                                                        {"sta", "(lat - lat) / (lat - lat)"}};
  Dbptr t = demo.table("site");
  for (const auto &names : cases) {
    Tbl *kl = newtbl(4);
    for (const char *n : names) pushtbl(kl, const_cast<char *>(n));
    Dbindex *ix = nullptr;
    ASSERT_GE(dbget_index(t, kl, &ix), 0) << names[0];
    const size_t size = (size_t)ix->jig->size;
    std::vector<char> ref(rows.size() * size);
    for (size_t r = 0; r < rows.size(); r++) {
      Dbptr rec = t;
      rec.record = (int)r;
      dbmake_key(rec, ix->jig, ref.data() + r * size);
    }
    ix->search_jig = nullptr;
    quicksort(ref.data(), (long)rows.size(), (long)size, dbcmp_sort, ix);
    ASSERT_EQ(maxtbl(ix->entries), (long)rows.size());
    for (size_t i = 0; i < rows.size(); i++) {
      int32_t want;
      memcpy(&want, ref.data() + i * size, sizeof want);
      ASSERT_EQ(dbrecord(ix, (int)i), want) << names[0] << " at " << i;
    }
    freetbl(kl, nullptr);
  }
  take_registered();
}

TEST_F(Sort, KeyOrderRefusesWhatItCannotOrder) {
  sites({{"A", "2001001", "1"}});
  std::vector<int> order;
  std::vector<std::string> kb;
  struct Case {
    const char *key, *message;
  } cases[] = {{"nosuch", "Can't find key field 'nosuch' in table\n"},
               {"inid", "Can't find key field 'inid' in table\n"},
               {"sta == \"A\"", "'sta == \"A\"' has bad type for index.\n"},
               {"sta::staname", "Illegal range expression: 'sta' (bad type)\n"}};
  for (const Case &c : cases) {
    k = keys({c.key});
    EXPECT_EQ(dbsort_key_order(demo.table("site"), k, &order, &kb), dbINVALID) << c.key;
    EXPECT_NE(take_registered().find(c.message), std::string::npos) << c.key;
    freetbl(k, nullptr);
  }
  k = keys({"sta"});
  Dbptr bad = {demo.db.database, 999, dbALL, dbALL};
  EXPECT_EQ(dbsort_key_order(bad, k, &order, &kb), dbINVALID);
  EXPECT_EQ(dbsort_in_place(bad, k), -1);
  take_registered();
}

TEST_F(Sort, EmptyTableSortsToNothing) {
  std::vector<int> order = {9};
  std::vector<std::string> kb;
  k = keys({"sta"});
  ASSERT_EQ(dbsort_key_order(demo.table("site"), k, &order, &kb), 0);
  EXPECT_TRUE(order.empty());
  EXPECT_TRUE(dbsort_walk(order, kb, dbSORT_REVERSE | dbSORT_UNIQUE).empty());
  EXPECT_EQ(dbsort_in_place(demo.table("site"), k), 0);
}

TEST(SortWalk, ReverseAndUnique) {
  // Records 5, 6, 7 with keys a, a, b in index order.
  std::vector<int> rec = {5, 6, 7};
  std::vector<std::string> kb = {"a", "a", "b"};
  struct Case {
    int flags;
    std::vector<int> rows;
  } cases[] = {{0, {5, 6, 7}},
               {dbSORT_UNIQUE, {5, 7}},
               {dbSORT_REVERSE, {7, 6, 5}},
               {dbSORT_REVERSE | dbSORT_UNIQUE, {7, 6}}};  // the last a in index order
  for (const Case &c : cases) EXPECT_EQ(dbsort_walk(rec, kb, c.flags), c.rows) << c.flags;
}

TEST(SortPermute, EveryRecordLandsWhereTheOrderSays) {
  std::mt19937 rng(7);
  for (int n : {0, 1, 2, 3, 8, 50}) {
    for (int trial = 0; trial < 6; trial++) {
      std::vector<int> order((size_t)n);
      std::iota(order.begin(), order.end(), 0);
      if (trial == 1 && n > 1) std::rotate(order.begin(), order.begin() + 1, order.end());
      if (trial > 1) std::shuffle(order.begin(), order.end(), rng);
      std::string data;
      for (int i = 0; i < n; i++) data += "r" + std::string(1, (char)('A' + i % 26)) + (char)i;
      std::string expect;
      for (int i : order) expect += data.substr((size_t)i * 3, 3);
      std::vector<int> work = order;
      dbsort_permute(data.data(), 3, work);
      EXPECT_EQ(data, expect) << "n " << n << " trial " << trial;
    }
  }
}

TEST_F(Sort, InPlaceRewritesTheTableFile) {
  sites({{"C", "2001001", "1"},
         {"A", "2001002", "2"},
         {"D", "2001003", "3"},
         {"B", "2001004", "4"},
         {"A", "2001000", "5"}});
  k = keys({"sta"});
  ASSERT_EQ(dbsort_in_place(demo.table("site"), k), 0);
  std::vector<std::string> got;
  for (int i = 0; i < 5; i++) got.push_back(sta(i));
  EXPECT_EQ(got, (std::vector<std::string>{"A", "A", "B", "C", "D"}));
  Dbptr t = demo.table("site");
  t.record = 0;
  int ondate = 0;
  dbgetv(t, nullptr, "ondate", &ondate, nullptr);
  EXPECT_EQ(ondate, 2001002);  // equal keys keep their order
  std::string after = read_file(demo.dir.path() + "/demo.site");
  demo.close();
  ASSERT_EQ(demo.open(), 0);
  EXPECT_EQ(sta(4), "D");
  EXPECT_EQ(read_file(demo.dir.path() + "/demo.site"), after);
}

TEST_F(Sort, InPlaceWritesNothingWhenInOrder) {
  sites({{"A", "2001001", "1"}, {"B", "2001002", "2"}});
  demo.close();
  std::string before = read_file(demo.dir.path() + "/demo.site");
  ASSERT_EQ(demo.open("r"), 0);
  k = keys({"sta"});
  // Read-only: succeeding proves nothing was written.
  EXPECT_EQ(dbsort_in_place(demo.table("site"), k), 0);
  EXPECT_EQ(read_file(demo.dir.path() + "/demo.site"), before);
  freetbl(k, nullptr);
  k = keys({"lat"});
  EXPECT_EQ(dbsort_in_place(demo.table("site"), k), 0);
  freetbl(k, nullptr);
  k = keys({"ondate"});
  EXPECT_EQ(dbsort_in_place(demo.table("site"), k), 0);
  take_registered();
}

TEST_F(Sort, InPlaceNeedsAWritableTable) {
  sites({{"B", "2001001", "1"}, {"A", "2001002", "2"}});
  demo.close();
  std::string before = read_file(demo.dir.path() + "/demo.site");
  ASSERT_EQ(demo.open("r"), 0);
  k = keys({"sta"});
  EXPECT_EQ(dbsort_in_place(demo.table("site"), k), -1);
  EXPECT_NE(take_registered().find("not open for writing"), std::string::npos);
  EXPECT_EQ(read_file(demo.dir.path() + "/demo.site"), before);
}

// A table file cut short under a mapped table (here by this process): subsets, sorts and
// joins see only the records the file still holds, or fail with a message; none faults.
// (dbshare_test cuts tables from another process during such scans.)
TEST_F(Sort, ScansOfAShortenedTableSeeWhatIsLeft) {
  std::vector<std::vector<std::string>> rows;
  for (int i = 0; i < 200; i++) rows.push_back({"S" + std::to_string(i % 50), "2001001", "1"});
  sites(rows);
  Dbptr t = demo.table("site");
  ASSERT_EQ(dbquery(t, dbRECORD_COUNT, nullptr), 200);
  // Cut at a whole record, so that no reader waits for the rest of a torn one.
  const int size = dbquery(t, dbRECORD_SIZE, nullptr);
  ASSERT_GT(size, 0);
  ASSERT_EQ(truncate(demo.dir.file("demo.site").c_str(), 3 * size), 0);
  auto left = [](const std::vector<int> &records) {
    for (int r : records)
      if (r < 0 || r >= 3) return false;
    return true;
  };
  std::vector<int> got;
  if (dbsubset_records(t, "lat > 0", &got) == 0)
    EXPECT_TRUE(left(got));
  else
    EXPECT_NE(take_registered().find("shortened by another process"), std::string::npos);
  k = keys({"sta"});
  if (dbsort_key_order(t, k, &got, nullptr) == 0)
    EXPECT_TRUE(left(got));
  else
    EXPECT_NE(take_registered().find("shortened by another process"), std::string::npos);
  Tbl *k2 = keys({"sta"});
  Dbptr view = dbjoin(t, t, &k, &k2, 0, nullptr, nullptr);
  if (view.table >= 0)
    EXPECT_LE(dbquery(view, dbRECORD_COUNT, nullptr), 3);
  else
    EXPECT_NE(take_registered().find("shortened by another process"), std::string::npos);
  freetbl(k2, nullptr);
  take_registered();
}

TEST_F(Sort, SubsetRecords) {
  sites({{"A", "2001001", "1"}, {"B", "2001002", "20"}, {"C", "2001003", "30"}});
  std::vector<int> rows;
  ASSERT_EQ(dbsubset_records(demo.table("site"), "lat > 5", &rows), 0);
  EXPECT_EQ(rows, (std::vector<int>{1, 2}));
  ASSERT_EQ(dbsubset_records(demo.table("site"), "sta == \"Z\"", &rows), 0);
  EXPECT_TRUE(rows.empty());
  // Text fields without their trailing blanks; each field's text lives while the record's
  // evaluation needs it, however many fields it reads.
  ASSERT_EQ(dbsubset_records(demo.table("site"), "sta == \"B\"", &rows), 0);
  EXPECT_EQ(rows, (std::vector<int>{1}));
  ASSERT_EQ(dbsubset_records(demo.table("site"), "sta . staname . sta == \"CxC\"", &rows), 0);
  EXPECT_EQ(rows, (std::vector<int>{2}));
  ASSERT_EQ(dbsubset_records(demo.table("site"), "sta != staname && staname < sta", &rows), 0);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(dbsubset_records(demo.table("site"), "lat >", &rows), dbINVALID);
  take_registered();
  // Fails on record 0 only: the whole subset fails.
  EXPECT_EQ(dbsubset_records(demo.table("site"), "1 / (ondate - 2001001) > 0", &rows), dbINVALID);
  EXPECT_TRUE(rows.empty());
  take_registered();
}

// A subset of comparisons between fields and constants is tested on each record's bytes
// without the evaluator: its records (or its failure) must be what the evaluator finds
// record by record, for texts with blanks before them and bytes above 127, null and
// negative numbers, the constant on either side, and numbers that do not read.
TEST_F(Sort, SubsetsOfComparisonsAreWhatTheEvaluatorFinds) {
  sites({{"AB", "2001001", "1.5"},
         {" AB", "2001002", "-1.5"},
         {"ABC", "2001003", "-999.0000"},
         {"A", "2001002", "+1.50"},
         {"-", "-1", "0"},
         {"\xe9t\xe9", "2001004", "-0"},
         {"B", "2001001", "1.5e0"},
         {"AB", "2001005", "-1000.25"}});
  const char *const exprs[] = {
      "sta == \"AB\"",
      "sta != \"AB\"",
      "sta < \"AB\"",
      "sta >= \"A\"",
      "\"AB\" > sta",
      "sta == \"-\"",
      "sta > \"Z\"",
      "sta == \"\"",
      "lat >= -1.5",
      "lat == -999.0",
      "-1.5 < lat",
      "lat <= 0 || sta == \"B\"",
      "ondate == 2001002 && lat > 0",
      "ondate < 2001003 && sta != \"A\" && lat != 1.5",
      "ondate > -1 || lat < -100",
      "ondate != -1 && sta <= \"AB\"",
  };
  Dbptr t = demo.table("site");
  auto check = [&](const char *expr) {
    SCOPED_TRACE(expr);
    Expression *tree = nullptr;
    ASSERT_EQ(dbex_compile(t, expr, &tree, dbBOOLEAN), dbBOOLEAN) << take_registered();
    std::vector<int> want;
    bool failed = false;
    const int count = dbquery(t, dbRECORD_COUNT, nullptr);
    for (int r = 0; r < count; r++) {
      Dbptr rec = t;
      rec.record = r;
      int value = 0;
      int result = dbex_eval(rec, tree, 0, &value);
      if (result < 0) failed = true;
      if (result > 0) want.push_back(r);
    }
    dbex_free(tree);
    std::vector<int> rows;
    if (failed) {
      EXPECT_EQ(dbsubset_records(t, expr, &rows), dbINVALID);
      EXPECT_TRUE(rows.empty());
    } else {
      EXPECT_EQ(dbsubset_records(t, expr, &rows), 0);
      EXPECT_EQ(rows, want);
    }
    take_registered();
  };
  for (const char *expr : exprs) check(expr);
  // A latitude that does not read as a number fails the evaluation of its record, unless
  // the test before it has decided.
  sites({{"C", "2001006", "x1"}});
  for (const char *expr :
       {"lat > 0", "sta == \"C\" && lat > 0", "sta != \"C\" && lat > 0", "sta == \"C\" || lat > 0"})
    check(expr);
}

// The records a view lists, read through the view.
std::vector<std::string> view_stas(Dbptr view) {
  std::vector<std::string> out;
  int n = dbquery(view, dbRECORD_COUNT, nullptr);
  for (int i = 0; i < n; i++) {
    view.record = i;
    char s[16] = "";
    double lat = 0;
    EXPECT_EQ(dbgetv(view, nullptr, "sta", s, "lat", &lat, nullptr), 0);
    char buf[48];
    snprintf(buf, sizeof buf, "%s%g", s, lat);
    out.push_back(buf);
  }
  return out;
}

TEST_F(Sort, SortsByExpressionAndRangeKeys) {
  sites({{"C", "2001003", "3"}, {"A", "2001001", "-2"}, {"B", "2001002", "1"}});
  struct Case {
    std::vector<const char *> keys;
    int flags;
    std::vector<std::string> rows;
  } cases[] = {
      {{"lat * lat"}, 0, {"B1", "A-2", "C3"}},
      {{"ondate::offdate"}, 0, {"A-2", "B1", "C3"}},
      {{"sta", "ondate::offdate"}, dbSORT_REVERSE, {"C3", "B1", "A-2"}},
      {{"lat - 10"}, 0, {"A-2", "B1", "C3"}},  // another expression: its own index
  };
  for (const Case &c : cases) {
    k = newtbl(2);
    for (const char *key : c.keys) pushtbl(k, const_cast<char *>(key));
    Dbptr v = dbsort(demo.table("site"), k, c.flags, nullptr);
    ASSERT_GE(v.table, 0) << take_registered();
    EXPECT_EQ(v.record, dbALL);
    EXPECT_EQ(view_stas(v), c.rows) << c.keys[0];
    freetbl(k, nullptr);
    k = nullptr;
  }
}

// Keys a, a, b; a unique sort served by an index over more keys still compares only the
// requested ones.
TEST_F(Sort, UniqueComparesTheRequestedKeysOnly) {
  sites({{"A", "2001001", "1"}, {"A", "2001002", "2"}, {"B", "2001003", "3"}});
  k = keys({"sta", "ondate"});
  Dbindex *index = nullptr;
  ASSERT_GE(dbget_index(demo.table("site"), k, &index), 0);
  freetbl(k, nullptr);
  k = keys({"sta"});
  Dbptr v = dbsort(demo.table("site"), k, dbSORT_UNIQUE, "u");
  EXPECT_EQ(view_stas(v), (std::vector<std::string>{"A1", "B3"}));
  v = dbsort(demo.table("site"), k, dbSORT_UNIQUE | dbSORT_REVERSE, "ur");
  EXPECT_EQ(view_stas(v), (std::vector<std::string>{"B3", "A2"}));
  // Ranges are equal by start and end, whatever their envelopes.
  freetbl(k, nullptr);
  k = keys({"sta", "ondate::offdate"});
  v = dbsort(demo.table("site"), k, dbSORT_UNIQUE, nullptr);
  EXPECT_EQ(view_stas(v), (std::vector<std::string>{"A1", "A2", "B3"}));
}

TEST_F(Sort, SortsAndSubsetsAreViews) {
  sites({{"C", "2001003", "3"}, {"A", "2001001", "1"}, {"B", "2001002", "2"}});
  k = keys({"sta"});
  int before = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  Dbptr v = dbsort(demo.table("site"), k, 0, "v");
  ASSERT_GE(v.table, 0) << take_registered();
  EXPECT_EQ(view_stas(v), (std::vector<std::string>{"A1", "B2", "C3"}));
  int is_view = 0;
  dbquery(v, dbTABLE_IS_VIEW, &is_view);
  EXPECT_GT(is_view, 0);
  Dbptr s = dbsubset(v, "lat > 1", nullptr);
  ASSERT_GE(s.table, 0) << take_registered();
  EXPECT_EQ(view_stas(s), (std::vector<std::string>{"B2", "C3"}));
  char *name = nullptr;
  dbquery(s, dbTABLE_NAME, &name);
  EXPECT_EQ(std::string(name), "View" + std::to_string(before + 1));
  // An empty table sorts to an empty view.
  Dbptr e = dbsort(demo.table("sitechan"), k, 0, nullptr);
  ASSERT_GE(e.table, 0);
  EXPECT_EQ(dbquery(e, dbRECORD_COUNT, nullptr), 0);

  // Failures leave no relation behind.
  int now = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  EXPECT_EQ(dbsubset(demo.table("site"), "1 / (ondate - 2001001) > 0", nullptr).table, dbINVALID);
  EXPECT_EQ(dbsort(demo.table("site"), k, 0, "site").table, dbINVALID);  // a base table's name
  EXPECT_NE(take_registered().find("a relation named 'site' exists already"), std::string::npos);
  EXPECT_EQ(dbsubset(demo.table("site"), "lat > 0", "v").table, dbINVALID);
  EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), now);
  EXPECT_EQ(demo.table("site").table, 0);
  take_registered();
}

}  // namespace
