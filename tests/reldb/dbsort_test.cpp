// Sorting (key order, the walk of dbsort, the in-place permutation, dbsort_in_place),
// subsets by expression and the field name helpers dbfield_type and tsplit.
#include "reldb/dbsort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"

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

TEST_F(Sort, KeyOrderRefusesWhatItCannotOrder) {
  sites({{"A", "2001001", "1"}});
  std::vector<int> order;
  std::vector<std::string> kb;
  for (const char *key : {"nosuch", "ondate::offdate", "lat + 1", "inid"}) {
    k = keys({key});
    EXPECT_EQ(dbsort_key_order(demo.table("site"), k, &order, &kb), dbINVALID) << key;
    EXPECT_NE(take_registered().find("dbsort: key '"), std::string::npos) << key;
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

TEST_F(Sort, SubsetRecords) {
  sites({{"A", "2001001", "1"}, {"B", "2001002", "20"}, {"C", "2001003", "30"}});
  std::vector<int> rows;
  ASSERT_EQ(dbsubset_records(demo.table("site"), "lat > 5", &rows), 0);
  EXPECT_EQ(rows, (std::vector<int>{1, 2}));
  ASSERT_EQ(dbsubset_records(demo.table("site"), "sta == \"Z\"", &rows), 0);
  EXPECT_TRUE(rows.empty());
  EXPECT_EQ(dbsubset_records(demo.table("site"), "lat >", &rows), dbINVALID);
  take_registered();
  // Fails on record 0 only: the whole subset fails.
  EXPECT_EQ(dbsubset_records(demo.table("site"), "1 / (ondate - 2001001) > 0", &rows), dbINVALID);
  EXPECT_TRUE(rows.empty());
  take_registered();
}

TEST_F(Sort, ViewsAreASeamThatFailsCleanly) {
  sites({{"A", "2001001", "1"}});
  k = keys({"sta"});
  EXPECT_EQ(dbsort(demo.table("site"), k, 0, "v").table, dbINVALID);
  EXPECT_NE(take_registered().find("views are not available"), std::string::npos);
  EXPECT_EQ(dbsubset(demo.table("site"), "lat > 0", nullptr).table, dbINVALID);
  EXPECT_NE(take_registered().find("views are not available"), std::string::npos);
  // A failing evaluation fails before any view is asked for.
  EXPECT_EQ(dbsubset(demo.table("site"), "1 / (ondate - 2001001) > 0", nullptr).table, dbINVALID);
  EXPECT_EQ(take_registered().find("views are not available"), std::string::npos);
}

}  // namespace
