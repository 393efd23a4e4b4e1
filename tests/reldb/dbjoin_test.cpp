// Joins against a nested-loop model of the overlap rules, join key discovery, and
// dbmatches with its hook.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"
#include "reldb/dbindex.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

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

std::vector<int> numbers(Tbl *t) {
  std::vector<int> out;
  for (long i = 0; i < maxtbl(t); i++) out.push_back((int)(intptr_t)gettbl(t, i));
  return out;
}

const double kDay0 = 978307200.0;  // 2001001 at 00:00:00

std::string fixed(double v) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.5f", v);
  return buf;
}

// One row of the model: station, channel, and an interval [start, end] in epoch seconds
// (a point has start == end).
struct Row {
  std::string sta, chan;
  double start, end;
};

// The rows of a join: (first record, second record), second dbNULL for an outer row.
using Pairs = std::vector<std::pair<int, int>>;

Pairs view_pairs(Dbptr view) {
  Pairs out;
  int n = dbquery(view, dbRECORD_COUNT, nullptr);
  for (int i = 0; i < n; i++) {
    view.record = i;
    Dbptr *p = dbref(&view);
    out.push_back({p[0].record, p[1].record});
  }
  return out;
}

// The nested loop: every first record in order, the second table in the order of its
// index (sta, chan, start; equal keys in record order), overlapping intervals inclusive.
Pairs model_join(const std::vector<Row> &a, const std::vector<Row> &b, bool outer,
                 std::vector<int> *missed) {
  std::vector<int> order(b.size());
  for (size_t i = 0; i < b.size(); i++) order[i] = (int)i;
  std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
    return std::tie(b[x].sta, b[x].chan, b[x].start) < std::tie(b[y].sta, b[y].chan, b[y].start);
  });
  Pairs out;
  for (size_t i = 0; i < a.size(); i++) {
    bool any = false;
    for (int j : order) {
      const Row &x = a[i], &y = b[(size_t)j];
      if (x.sta != y.sta || x.chan != y.chan) continue;
      if (!((y.start <= x.start && x.start <= y.end) || (x.start <= y.start && y.start <= x.end)))
        continue;
      out.push_back({(int)i, j});
      any = true;
    }
    if (!any) {
      if (outer) out.push_back({(int)i, dbNULL});
      missed->push_back((int)i);
    }
  }
  return out;
}

class Join : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(demo.open(), 0); }
  Dbptr add(const char *table, const std::vector<std::string> &values) {
    Dbptr t = demo.table(table);
    EXPECT_GE(dbadd(t, record(demo.db, table, values).c_str()), 0) << take_registered();
    return t;
  }
  // wfdisc rows: sta chan time ... endtime.
  void wfdisc(const Row &r) {
    add("wfdisc", {r.sta, r.chan, fixed(r.start), "1", "1", fixed(r.end), "1", "1", "1", "1", "-",
                   "-", "-", "0"});
  }
  void calibration(const Row &r) {
    add("calibration", {r.sta, r.chan, fixed(r.start), fixed(r.end), "1", "1", "0"});
  }
  // sitechan rows from day numbers of 2001 (offday -1: open).
  void sitechan(const std::string &sta, const std::string &chan, int onday, int offday) {
    static int id = 1;
    add("sitechan", {sta, chan, std::to_string(2001000 + onday), std::to_string(id++),
                     offday < 0 ? "-1" : std::to_string(2001000 + offday), "0"});
  }
  DemoDb demo;
};

const char *const kStas[] = {"A", "B"};
const char *const kChans[] = {"X", "Y"};

TEST_F(Join, MatchesTheNestedLoopForPointsRangesAndDates) {
  std::mt19937 rng(11);
  auto pick = [&](int n) { return (int)(rng() % (unsigned)n); };
  for (int trial = 0; trial < 6; trial++) {
    demo.close();
    for (const char *t : {"wfdisc", "calibration", "sitechan"})
      unlink((demo.dir.path() + "/demo." + t).c_str());
    ASSERT_EQ(demo.open(), 0);
    // Half-day steps, so that ranges start and end inside and across days.
    std::vector<Row> wf, cal, sc;
    for (int i = 0, n = 3 + pick(10); i < n; i++) {
      double s = kDay0 + 43200.0 * pick(12);
      Row r = {kStas[pick(2)], kChans[pick(2)], s, s + 43200.0 * pick(4)};
      wf.push_back(r);
      wfdisc(r);
    }
    for (int i = 0, n = 1 + pick(8); i < n; i++) {
      double s = kDay0 + 43200.0 * pick(12);
      Row r = {kStas[pick(2)], kChans[pick(2)], s, s + 43200.0 * pick(5)};
      cal.push_back(r);
      calibration(r);
    }
    for (int i = 0, n = 1 + pick(6); i < n; i++) {
      int on = 1 + pick(6), off = pick(3) == 0 ? -1 : on + pick(3);
      Row r = {kStas[pick(2)], kChans[pick(2)], kDay0 + 86400.0 * (on - 1),
               off < 0 ? INFINITY : kDay0 + 86400.0 * off - 1.0};
      sc.push_back(r);
      sitechan(r.sta, r.chan, on, off);
    }
    std::vector<Row> points = wf;
    for (Row &p : points) p.end = p.start;

    struct Case {
      const char *what;
      std::vector<const char *> k1, k2;  // empty: discovered
      Dbptr second;
      const std::vector<Row> *first_rows, *second_rows;
    } cases[] = {
        {"point in time range",
         {"sta", "chan", "time"},
         {"sta", "chan", "time::endtime"},
         demo.table("calibration"),
         &points,
         &cal},
        {"time range with date range",
         {"sta", "chan", "time::endtime"},
         {"sta", "chan", "ondate::offdate"},
         demo.table("sitechan"),
         &wf,
         &sc},
        {"discovered time ranges", {}, {}, demo.table("calibration"), &wf, &cal},
    };
    for (const Case &c : cases) {
      for (int outer = 0; outer < 2; outer++) {
        SCOPED_TRACE(std::string(c.what) + " trial " + std::to_string(trial) + " outer " +
                     std::to_string(outer));
        Tbl *k1 = nullptr, *k2 = nullptr;
        if (!c.k1.empty()) {
          k1 = newtbl(4);
          k2 = newtbl(4);
          for (const char *k : c.k1) pushtbl(k1, const_cast<char *>(k));
          for (const char *k : c.k2) pushtbl(k2, const_cast<char *>(k));
        }
        Tbl *missed = nullptr;
        Dbptr view = dbjoin(demo.table("wfdisc"), c.second, &k1, &k2, outer, &missed, nullptr);
        ASSERT_GE(view.table, 0) << take_registered();
        if (c.k1.empty()) {
          EXPECT_EQ(strings(k1), (std::vector<std::string>{"sta", "chan", "time::endtime"}));
          EXPECT_EQ(strings(k2), (std::vector<std::string>{"sta", "chan", "time::endtime"}));
        }
        std::vector<int> model_missed;
        Pairs want = model_join(*c.first_rows, *c.second_rows, outer, &model_missed);
        EXPECT_EQ(view_pairs(view), want);
        EXPECT_EQ(numbers(missed), model_missed);
        freetbl(missed, nullptr);
        freetbl(k1, nullptr);
        freetbl(k2, nullptr);
        dbfree(view);
      }
    }
  }
}

TEST_F(Join, RowsReadTheirBaseRecords) {
  wfdisc({"A", "X", kDay0, kDay0 + 100});
  wfdisc({"B", "X", kDay0, kDay0 + 100});
  calibration({"A", "X", kDay0 - 10, kDay0 + 10});
  calibration({"A", "X", kDay0 + 50, kDay0 + 60});
  Dbptr view =
      dbjoin(demo.table("wfdisc"), demo.table("calibration"), nullptr, nullptr, 0, nullptr, "wc");
  ASSERT_GE(view.table, 0) << take_registered();
  EXPECT_EQ(view.table, demo.table("wc").table);
  EXPECT_EQ(dbquery(view, dbRECORD_COUNT, nullptr), 2);
  view.record = 1;
  char sta[16] = "";
  double time = 0, calib_time = 0;
  ASSERT_EQ(dbgetv(view, nullptr, "sta", sta, "wfdisc.time", &time, "calibration.time", &calib_time,
                   nullptr),
            0)
      << take_registered();
  EXPECT_STREQ(sta, "A");
  EXPECT_DOUBLE_EQ(time, kDay0);
  EXPECT_DOUBLE_EQ(calib_time, kDay0 + 50);
}

// A first record whose candidates all fail the exact test is unmatched: it gets its
// outer row and its place in the unmatched list.
TEST_F(Join, CandidatesThatFailTheExactTestLeaveTheRecordUnmatched) {
  // The search stops comparing at the range, so channel Y is a candidate for channel X;
  // the exact test then refuses it.
  calibration({"A", "Y", 0, 100});
  wfdisc({"A", "X", 50, 50});
  wfdisc({"A", "Y", 50, 50});
  Tbl *k1 = names({"sta", "time", "chan"}), *k2 = names({"sta", "time::endtime", "chan"});
  Tbl *missed = nullptr;
  Dbptr view =
      dbjoin(demo.table("wfdisc"), demo.table("calibration"), &k1, &k2, 1, &missed, nullptr);
  ASSERT_GE(view.table, 0) << take_registered();
  EXPECT_EQ(view_pairs(view), (Pairs{{0, dbNULL}, {1, 0}}));
  EXPECT_EQ(numbers(missed), (std::vector<int>{0}));
  freetbl(missed, nullptr);
  Dbptr rec = demo.table("wfdisc");
  rec.record = 0;
  Tbl *found = nullptr;
  EXPECT_EQ(dbmatches(rec, demo.table("calibration"), &k1, &k2, nullptr, &found), 0);
  freetbl(found, nullptr);
  freetbl(k1, nullptr);
  freetbl(k2, nullptr);
}

// A join finds a record's candidates through the runs of equal leading keys of the
// second table's index; dbmatches searches the whole index. Record by record they must
// agree: plain keys with runs of several entries and negative ids, and points against
// time ranges that start before the epoch, end before they start, hold NaN or nest.
TEST_F(Join, RowsAreTheMatchesOfEachRecord) {
  const struct {
    const char *sta, *chan, *time, *endtime, *chanid;
  } waves[] = {
      {"A", "X", "100.0", "100.0", "5"},       {"A", "X", "-50.0", "-50.0", "-3"},
      {"A", "Y", "150.0", "150.0", "5"},       {"B", "X", "100.0", "100.0", "7"},
      {"A", "X", "250.0", "250.0", "-1"},      {"C", "Z", "0.0", "0.0", "9"},
      {"A", "X", "99.99999", "99.99999", "5"}, {"B", "X", "-0.0", "-0.0", "-3"},
      {"B", "X", "25.0", "25.0", "7"},         {"B", "X", "155.0", "155.0", "7"},
      {"B", "X", "95.0", "95.0", "7"},         {"B", "X", "2000.0", "2000.0", "7"},
  };
  for (const auto &w : waves)
    add("wfdisc",
        {w.sta, w.chan, w.time, "1", w.chanid, w.endtime, "1", "1", "1", "1", "-", "-", "-", "0"});
  const struct {
    const char *sta, *chan, *time, *endtime;
  } cals[] = {
      {"A", "X", "0.0", "200.0"},   {"A", "X", "-100.0", "-10.0"}, {"A", "X", "120.0", "90.0"},
      {"A", "X", "50.0", "300.0"},  {"A", "Y", "150.0", "150.0"},  {"B", "X", "nan", "200.0"},
      {"B", "X", "-1.0", "1000.0"}, {"A", "X", "100.0", "100.0"},  {"A", "X", "0.0", "200.0"},
      {"B", "X", "20.0", "30.0"},   {"B", "X", "nan", "nan"},      {"B", "X", "150.0", "160.0"},
      {"B", "X", "-5.0", "nan"},    {"B", "X", "90.0", "110.0"},
  };
  for (const auto &c : cals) add("calibration", {c.sta, c.chan, c.time, c.endtime, "1", "1", "0"});
  for (const char *id : {"5", "-3", "5", "7", "0"})
    add("sitechan", {"A", "X", "2001001", id, "-1", "0"});
  const struct {
    std::vector<const char *> k1, k2;
    const char *second;
  } cases[] = {
      {{"sta", "chan", "time"}, {"sta", "chan", "time::endtime"}, "calibration"},
      {{"sta", "chan"}, {"sta", "chan"}, "calibration"},
      {{"sta"}, {"sta"}, "calibration"},
      {{"chanid"}, {"chanid"}, "sitechan"},
      {{"sta", "chanid"}, {"sta", "chanid"}, "sitechan"},
  };
  for (const auto &c : cases) {
    for (int outer = 0; outer < 2; outer++) {
      SCOPED_TRACE(std::string(c.k1.back()) + " with " + c.second + (outer ? " outer" : ""));
      Tbl *k1 = newtbl(4), *k2 = newtbl(4);
      for (const char *k : c.k1) pushtbl(k1, const_cast<char *>(k));
      for (const char *k : c.k2) pushtbl(k2, const_cast<char *>(k));
      Dbptr second = demo.table(c.second);
      Pairs want;
      std::vector<int> want_missed;
      Hook *hook = nullptr;
      for (int r = 0; r < (int)(sizeof waves / sizeof waves[0]); r++) {
        Dbptr rec = demo.table("wfdisc");
        rec.record = r;
        Tbl *found = nullptr;
        ASSERT_GE(dbmatches(rec, second, &k1, &k2, &hook, &found), 0) << take_registered();
        for (int m : numbers(found)) want.push_back({r, m});
        if (maxtbl(found) == 0) {
          if (outer) want.push_back({r, dbNULL});
          want_missed.push_back(r);
        }
        freetbl(found, nullptr);
      }
      free_hook(&hook);
      Tbl *missed = nullptr;
      Dbptr view = dbjoin(demo.table("wfdisc"), second, &k1, &k2, outer, &missed, nullptr);
      ASSERT_GE(view.table, 0) << take_registered();
      EXPECT_EQ(view_pairs(view), want);
      EXPECT_EQ(numbers(missed), want_missed);
      freetbl(missed, nullptr);
      dbfree(view);
      freetbl(k1, nullptr);
      freetbl(k2, nullptr);
    }
  }
  take_registered();
}

TEST_F(Join, KeysAreDiscoveredFromTheSchema) {
  ASSERT_EQ(dbcompile(demo.db,
                      "Attribute stamp Time (17) Format ( \"%17.5f\" ) Null ( \"-1\" ) ;\n"
                      "Attribute timestamp Time (17) Format ( \"%17.5f\" ) Null ( \"-1\" ) ;\n"
                      "Relation pt Fields ( sta time lddate ) Primary ( sta time ) ;\n"
                      "Relation dated Fields ( sta ondate lddate ) Primary ( sta ondate ) ;\n"
                      "Relation ts Fields ( sta timestamp lddate ) Primary ( sta timestamp ) ;\n"),
            0)
      << take_registered();
  struct Case {
    const char *t1, *t2;
    std::vector<std::string> k1, k2;
  } cases[] = {
      {"sitechan", "site", {"sta"}, {"sta"}},          // foreign against primary
      {"site", "sitechan", {"sta"}, {"sta"}},          // the reverse direction
      {"sensor", "instrument", {"inid"}, {"inid"}},    // first foreign that fits
      {"sensor", "sitechan", {"chanid"}, {"chanid"}},  // against alternate
      {"calibration", "wfdisc", {"sta", "chan", "time::endtime"}, {"sta", "chan", "time::endtime"}},
      {"wfdisc", "site", {"sta", "time::endtime"}, {"sta", "ondate::offdate"}},
      {"pt", "dated", {"sta", "time"}, {"sta", "ondate"}},               // time with ondate
      {"pt", "calibration", {"sta", "time"}, {"sta", "time::endtime"}},  // point with range
      {"calibration", "pt", {"sta", "time::endtime"}, {"sta", "time"}},  // range with point
      {"ts", "calibration", {"sta"}, {"sta"}},  // "timestamp" is not "time"
  };
  for (const Case &c : cases) {
    Tbl *k1 = nullptr, *k2 = nullptr;
    ASSERT_EQ(dbfind_join_keys(demo.table(c.t1), demo.table(c.t2), &k1, &k2), 0)
        << c.t1 << " " << c.t2;
    EXPECT_EQ(strings(k1), c.k1) << c.t1 << " " << c.t2;
    EXPECT_EQ(strings(k2), c.k2) << c.t1 << " " << c.t2;
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
  }
  Tbl *k1 = nullptr, *k2 = nullptr;
  EXPECT_EQ(dbfind_join_keys(demo.table("lastid"), demo.table("site"), &k1, &k2), 1);
  EXPECT_EQ(k1, nullptr);
  Dbptr bad = {demo.db.database, 999, dbALL, dbALL};
  EXPECT_EQ(dbfind_join_keys(bad, demo.table("site"), &k1, &k2), dbINVALID);
  take_registered();

  int before = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  Dbptr view =
      dbjoin(demo.table("lastid"), demo.table("site"), nullptr, nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(view.table, dbINVALID);
  EXPECT_EQ(take_registered(), "No keys join tables lastid and site\n");
  EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), before);
}

TEST(MatchKeys, RulesAndOrder) {
  struct Case {
    std::vector<const char *> a, b;
    std::vector<std::string> outa, outb;
  } cases[] = {
      {{"time::endtime", "sta"}, {"sta", "time"}, {"sta", "time::endtime"}, {"sta", "time"}},
      {{"time"}, {"ondate::offdate"}, {"time"}, {"ondate::offdate"}},
      {{"ondate::offdate"}, {"time"}, {"ondate::offdate"}, {"time"}},
      {{"ondate"}, {"time"}, {"ondate"}, {"time"}},
      {{"time::endtime"}, {"timestamp"}, {}, {}},
      {{"timestamp"}, {"time::endtime"}, {}, {}},
      {{"chan", "sta"}, {"sta"}, {"sta"}, {"sta"}},  // a name without partner is dropped
  };
  for (const Case &c : cases) {
    Tbl *a = newtbl(4), *b = newtbl(4), *oa = newtbl(4), *ob = newtbl(4);
    for (const char *x : c.a) pushtbl(a, const_cast<char *>(x));
    for (const char *x : c.b) pushtbl(b, const_cast<char *>(x));
    EXPECT_EQ(match_keys(a, maxtbl(a), b, maxtbl(b), oa, ob), (long)c.outa.size());
    EXPECT_EQ(strings(oa), c.outa) << c.a[0];
    EXPECT_EQ(strings(ob), c.outb) << c.a[0];
    for (Tbl *t : {a, b, oa, ob}) freetbl(t, nullptr);
  }
}

TEST_F(Join, BadKeysFailCleanly) {
  wfdisc({"A", "X", 0, 1});
  calibration({"A", "X", 0, 1});
  int before = dbquery(demo.db, dbTABLE_COUNT, nullptr);
  struct Case {
    std::vector<const char *> k1, k2;
    const char *message;
  } cases[] = {
      {{"nosuch"}, {"sta"}, "Can't find key field 'nosuch' in table\n"},
      {{"sta"}, {"nosuch"}, "Can't find key field 'nosuch' in table\n"},
      {{"sta", "chan"}, {"sta"}, "differ in length"},
  };
  for (const Case &c : cases) {
    Tbl *k1 = newtbl(2), *k2 = newtbl(2);
    for (const char *k : c.k1) pushtbl(k1, const_cast<char *>(k));
    for (const char *k : c.k2) pushtbl(k2, const_cast<char *>(k));
    Dbptr view = dbjoin(demo.table("wfdisc"), demo.table("calibration"), &k1, &k2, 0, nullptr, "j");
    EXPECT_EQ(view.table, dbINVALID);
    EXPECT_NE(take_registered().find(c.message), std::string::npos) << c.message;
    EXPECT_EQ(dbquery(demo.db, dbTABLE_COUNT, nullptr), before);
    EXPECT_EQ(demo.table("j").table, dbINVALID);
    take_registered();
    Tbl *found = nullptr;
    Dbptr rec = demo.table("wfdisc");
    rec.record = 0;
    EXPECT_EQ(dbmatches(rec, demo.table("calibration"), &k1, &k2, nullptr, &found), dbINVALID);
    EXPECT_EQ(maxtbl(found), 0);
    freetbl(found, nullptr);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
    take_registered();
  }
  // A boolean key is refused by the index.
  Tbl *k = names({"sta == \"A\""});
  EXPECT_EQ(
      dbjoin(demo.table("wfdisc"), demo.table("calibration"), &k, &k, 0, nullptr, nullptr).table,
      dbINVALID);
  freetbl(k, nullptr);
  take_registered();
}

class Matches : public Join {
 protected:
  std::vector<int> find(Dbptr rec, Dbptr table, Hook **hook) {
    Tbl *found = nullptr;
    int n = dbmatches(rec, table, nullptr, nullptr, hook, &found);
    std::vector<int> out = numbers(found);
    EXPECT_EQ(n, (int)out.size());
    freetbl(found, nullptr);
    return out;
  }
};

TEST_F(Matches, AHookFindsRecordsAddedLater) {
  wfdisc({"A", "X", 100, 200});
  calibration({"A", "X", 0, 150});
  calibration({"B", "X", 0, 150});
  Dbptr rec = demo.table("wfdisc");
  rec.record = 0;
  Hook *hook = nullptr;
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{0}));
  ASSERT_NE(hook, nullptr);
  calibration({"A", "X", 180, 190});
  calibration({"A", "X", 300, 400});
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{0, 2}));
  free_hook(&hook);
}

TEST_F(Matches, AHookPassedAnotherTableIsMadeAgain) {
  wfdisc({"A", "X", 100, 200});
  calibration({"A", "X", 0, 150});
  sitechan("B", "X", 1, -1);
  sitechan("A", "X", 1, -1);
  Dbptr rec = demo.table("wfdisc");
  rec.record = 0;
  Hook *hook = nullptr;
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{0}));
  // wfdisc against sitechan joins by sitechan's foreign key sta alone.
  EXPECT_EQ(find(rec, demo.table("sitechan"), &hook), (std::vector<int>{1}));
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{0}));
  free_hook(&hook);
}

TEST_F(Matches, AHookSurvivesTheIndexBeingRebuilt) {
  for (int i = 5; i > 0; i--) calibration({"A", "X", 10.0 * i, 10.0 * i + 5});
  wfdisc({"A", "X", 21, 22});
  Dbptr rec = demo.table("wfdisc");
  rec.record = 0;
  Hook *hook = nullptr;
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{3}));
  // Sorting in place frees the indexes the hook was searching; the records move.
  Tbl *k = names({"time"});
  ASSERT_EQ(dbsort_in_place(demo.table("calibration"), k), 0);
  freetbl(k, nullptr);
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{1}));
  ASSERT_EQ(dbflush_indexes(demo.table("calibration")), 0);
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{1}));
  ASSERT_EQ(dbtruncate(demo.table("calibration"), 1), 0);
  EXPECT_EQ(find(rec, demo.table("calibration"), &hook), (std::vector<int>{}));
  free_hook(&hook);
}

TEST_F(Matches, TheScratchRecordAndGivenKeys) {
  calibration({"A", "X", 0, 10});
  calibration({"A", "Y", 0, 10});
  calibration({"A", "X", 20, 30});
  Dbptr scratch = demo.table("calibration");
  scratch.record = dbSCRATCH;
  ASSERT_EQ(
      dbputv(scratch, nullptr, "sta", "A", "chan", "X", "time", 5.0, "endtime", 25.0, nullptr), 0);
  Tbl *k = names({"sta", "chan", "time::endtime"});
  Tbl *found = nullptr;
  EXPECT_EQ(dbmatches(scratch, demo.table("calibration"), &k, &k, nullptr, &found), 2);
  EXPECT_EQ(numbers(found), (std::vector<int>{0, 2}));
  freetbl(found, nullptr);
  freetbl(k, nullptr);
  // Without ranges every candidate is a match.
  k = names({"sta", "chan"});
  EXPECT_EQ(dbmatches(scratch, demo.table("calibration"), &k, &k, nullptr, &found), 2);
  freetbl(found, nullptr);
  freetbl(k, nullptr);
}

// Another process appends to the second table; the join in this one sees the records.
TEST_F(Join, SeesRecordsAnotherProcessAppended) {
  wfdisc({"A", "X", 0, 100});
  calibration({"A", "X", 0, 10});
  Dbptr view = dbjoin(demo.table("wfdisc"), demo.table("calibration"), nullptr, nullptr, 0, nullptr,
                      nullptr);
  ASSERT_EQ(view_pairs(view), (Pairs{{0, 0}}));
  dbfree(view);
  pid_t pid = fork();
  if (pid == 0) {
    Dbptr db;
    if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) _exit(2);
    Dbptr cal = dblookup(db, nullptr, "calibration", nullptr, nullptr);
    std::string rec = record(db, "calibration", {"A", "X", "50", "60", "1", "1", "0"});
    _exit(dbadd(cal, rec.c_str()) == 1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  view = dbjoin(demo.table("wfdisc"), demo.table("calibration"), nullptr, nullptr, 0, nullptr,
                nullptr);
  EXPECT_EQ(view_pairs(view), (Pairs{{0, 0}, {0, 1}}));
}

}  // namespace
