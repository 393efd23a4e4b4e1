// Grouping runs of consecutive equal records (dbgroup, dbmkgroup_relation).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"
#include "reldb/dbsort.h"

namespace {

Tbl *names(std::initializer_list<const char *> list) {
  Tbl *t = newtbl(4);
  for (const char *n : list) pushtbl(t, const_cast<char *>(n));
  return t;
}

struct Group {
  std::string sta;
  int first, end, type;
  bool operator==(const Group &o) const {
    return sta == o.sta && first == o.first && end == o.end && type == o.type;
  }
};
std::ostream &operator<<(std::ostream &os, const Group &g) {
  return os << g.sta << " [" << g.first << "," << g.end << ") " << g.type;
}

class Grouping : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(demo.open(), 0); }
  void TearDown() override { freetbl(f, nullptr); }
  void sites(const std::vector<std::string> &stas, const char *lat = "1") {
    Dbptr t = demo.table("site");
    for (const std::string &s : stas)
      ASSERT_GE(
          dbadd(t, record(demo.db, "site", {s, "2001001", "-1", lat, "0", "0", "x", "0"}).c_str()),
          0);
  }
  std::vector<Group> groups(Dbptr g) {
    std::vector<Group> out;
    int n = dbquery(g, dbRECORD_COUNT, nullptr);
    for (int i = 0; i < n; i++) {
      g.record = i;
      Group x;
      char sta[16] = "";
      Dbptr b;
      EXPECT_EQ(dbgetv(g, nullptr, "sta", sta, "bundle", &b, "bundletype", &x.type, nullptr), 0);
      x.sta = sta;
      dbget_range(b, &x.first, &x.end);
      EXPECT_EQ(b.database, demo.db.database);
      EXPECT_EQ(b.table, demo.table("site").table);
      out.push_back(x);
    }
    return out;
  }
  DemoDb demo;
  Tbl *f = nullptr;
};

TEST_F(Grouping, RunsOfEqualValues) {
  struct Case {
    std::vector<std::string> stas;
    std::vector<Group> groups;
  } cases[] = {
      {{"a", "a", "b", "b", "b", "c"}, {{"a", 0, 2, 7}, {"b", 2, 5, 7}, {"c", 5, 6, 7}}},
      {{"a", "b", "a"}, {{"a", 0, 1, 7}, {"b", 1, 2, 7}, {"a", 2, 3, 7}}},  // no sorting
      {{"a"}, {{"a", 0, 1, 7}}},
      {{"a", "a"}, {{"a", 0, 2, 7}}},
      {{}, {}},  // an empty input gives an empty group table
  };
  f = names({"sta"});
  int n = 0;
  for (const Case &c : cases) {
    dbtruncate(demo.table("site"), 0);
    sites(c.stas);
    std::string name = "g" + std::to_string(n++);
    Dbptr g = dbgroup(demo.table("site"), f, name.c_str(), 7);
    ASSERT_GE(g.table, 0) << take_registered();
    EXPECT_EQ(g.record, dbALL);
    EXPECT_EQ(groups(g), c.groups) << name;
    int transient = 0;
    dbquery(g, dbTABLE_IS_TRANSIENT, &transient);
    EXPECT_TRUE(transient);
  }
}

TEST_F(Grouping, SeveralFieldsAndTheKey) {
  Dbptr t = demo.table("site");
  for (auto [sta, lat] : {std::pair{"a", "1"}, {"a", "1"}, {"a", "2"}, {"b", "2"}})
    dbadd(t, record(demo.db, "site", {sta, "2001001", "-1", lat, "0", "0", "x", "0"}).c_str());
  f = names({"sta", "lat"});
  Dbptr g = dbgroup(t, f, "bylat", 0);
  ASSERT_GE(g.table, 0) << take_registered();
  EXPECT_EQ(dbquery(g, dbRECORD_COUNT, nullptr), 3);
  g.record = 1;
  double lat = 0;
  Dbptr b;
  dbgetv(g, nullptr, "lat", &lat, "bundle", &b, nullptr);
  EXPECT_EQ(lat, 2.0);
  EXPECT_EQ(b.record, 2);
  EXPECT_EQ(b.field, 3);
  Tbl *primary = nullptr;
  ASSERT_EQ(dbquery(g, dbPRIMARY_KEY, &primary), 0);
  ASSERT_EQ(maxtbl(primary), 2);
  EXPECT_STREQ(static_cast<char *>(gettbl(primary, 0)), "sta");
  EXPECT_STREQ(static_cast<char *>(gettbl(primary, 1)), "lat");
}

TEST_F(Grouping, DefaultNameFollowsTheRelationCount) {
  sites({"a"});
  f = names({"sta"});
  for (int i = 0; i < 2; i++) {
    Dbptr all = {demo.db.database, dbALL, dbALL, dbALL};
    int before = dbquery(all, dbTABLE_COUNT, nullptr);
    Dbptr g = dbgroup(demo.table("site"), f, i ? "" : nullptr, 1);
    ASSERT_GE(g.table, 0) << take_registered();
    char *name = nullptr;
    dbquery(g, dbTABLE_NAME, &name);
    // The bundle attributes do not add relations, so the count is the one before.
    EXPECT_EQ(std::string(name), "View" + std::to_string(before));
  }
}

TEST_F(Grouping, Failures) {
  sites({"a"});
  Dbptr all = {demo.db.database, dbALL, dbALL, dbALL};
  int relations = dbquery(all, dbTABLE_COUNT, nullptr);
  f = names({"sta", "inid"});
  EXPECT_EQ(dbgroup(demo.table("site"), f, "g", 0).table, dbINVALID);
  EXPECT_NE(take_registered().find("Field 'inid' not present in table 'site'."), std::string::npos);
  EXPECT_EQ(dbquery(all, dbTABLE_COUNT, nullptr), relations);  // nothing made
  freetbl(f, nullptr);
  f = names({"sta"});
  // A name that would carry schema text of its own is refused, not compiled.
  for (const char *bad : {"x ; Relation y Fields ( sta ) ;", "a b", "x(", "%s%n"}) {
    EXPECT_EQ(dbgroup(demo.table("site"), f, bad, 0).table, dbINVALID) << bad;
    EXPECT_NE(take_registered().find("bad relation name"), std::string::npos) << bad;
  }
  EXPECT_EQ(dbquery(all, dbTABLE_COUNT, nullptr), relations);
  Dbptr bad = {demo.db.database, 999, dbALL, dbALL};
  EXPECT_EQ(dbgroup(bad, f, "g", 0).table, dbINVALID);
  take_registered();
}

}  // namespace
