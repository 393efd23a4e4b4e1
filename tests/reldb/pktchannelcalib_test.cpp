// The calibration lookup: answers and their windows, caching against table changes,
// reopen failures, name mapping and quoting, responses, table checks and file search.
#include "reldb/pktchannelcalib.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>

#include "base/arr.h"
#include "calibfixture.h"

namespace {

constexpr int kSite = PKTCALIB_LAT | PKTCALIB_LON | PKTCALIB_ELEV;
constexpr int kCal = PKTCALIB_CALIB | PKTCALIB_CALPER;
constexpr int kRsp = PKTCALIB_RSPTYPE;

const double T0 = epoch(2020010) + 3600.0;  // a sensor and calibration start
const double T1 = T0 + 2 * 86400.0;         // their end
const double T3 = T1 + 100.0;               // the next calibration's start

class Calib : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db.ok());
    logged();
    db.table("site", {
                         {"AAA", "2020005", "2020010", "10.0", "20.0", "0.5"},
                         {"AAA", "2020011", "-1", "11.0", "21.0", "0.6"},
                         {"BBB", "2020001", "-1", "1.0", "2.0", "0.1"},
                         {"BBB", "2020001", "-1", "3.0", "4.0", "0.2"},
                         {"A\"B", "2020001", "-1", "5.0", "6.0", "0.3"},
                     });
    db.table("sensor", {
                           {"AAA", "BHZ", tt(T0), "-1", "1"},
                           {"AAA", "BHZ_00", tt(T0), tt(T1), "2"},
                           {"AAA", "LHZ", tt(T0), "-1", "99"},  // no such instrument
                       });
    db.table("instrument", {
                               {"1", "paz", "resp", "bhz.resp"},
                               {"2", "fap", "resp", "missing.resp"},
                           });
    db.table("calibration", {
                                {"AAA", "BHZ", tt(T0), tt(T1), "1.5", "1.0"},
                                {"AAA", "BHZ", tt(T3), "-1", "2.5", "1.0"},
                                {"AAA", "BHZ_00", tt(T0), tt(T1), "0.5", "2.0"},
                            });
  }
  void TearDown() override {
    if (h) pktchannelcalib_free(h);
  }
  void open(int need_calib, int need_response, int need_site) {
    h = pktchannelcalib_new(db.path.c_str(), need_calib, need_response, need_site);
    ASSERT_NE(h, nullptr) << logged();
  }

  SiteDb db;
  PktChannelCalib *h = nullptr;
};

// The answers of the edge cases, asked in order and then in reverse on one handle, so
// that every cached window is tried against a time it must or must not hold.
TEST_F(Calib, AnswersAtTheEdgesOfTheirWindows) {
  open(1, 0, 1);
  struct Case {
    const char *sta, *chan, *loc;
    double time;
    int bits;
    double lat, calib;
    const char *css_chan, *rsptype;
  } cases[] = {
      {"AAA", "BHZ", "", epoch(2020005), kSite, 10, 0, "BHZ", ""},  // before T0
      {"AAA", "BHZ", "", epoch(2020005) - 0.001, 0, 0, 0, "BHZ", ""},
      {"AAA", "BHZ", "", epoch(2020011) - 0.001, kSite | kRsp | kCal, 10, 1.5, "BHZ", "paz"},
      {"AAA", "BHZ", "", epoch(2020011), kSite | kRsp | kCal, 11, 1.5, "BHZ", "paz"},
      {"AAA", "BHZ", "", T0, kSite | kRsp | kCal, 10, 1.5, "BHZ", "paz"},
      {"AAA", "BHZ", "", T0 - 0.001, kSite, 10, 0, "BHZ", ""},
      {"AAA", "BHZ", "", T1, kSite | kRsp | kCal, 11, 1.5, "BHZ", "paz"},
      {"AAA", "BHZ", "", T1 + 50, kSite | kRsp, 11, 0, "BHZ", "paz"},
      {"AAA", "BHZ", "", T3, kSite | kRsp | kCal, 11, 2.5, "BHZ", "paz"},
      {"AAA", "BHZ", "", T3 + 1e6, kSite | kRsp | kCal, 11, 2.5, "BHZ", "paz"},
      {"AAA", "BHZ", "00", T0, kSite | kRsp | kCal, 10, 0.5, "BHZ_00", "fap"},
      {"AAA", "BHZ", "00", T1 + 1, kSite, 11, 0, "BHZ_00", ""},
      {"AAA", "LHZ", "", T0, kSite, 10, 0, "LHZ", ""},  // sensor row without instrument
      {"BBB", "BHZ", "", T0, PKTCALIB_LAT | PKTCALIB_LON | PKTCALIB_ELEV, 1, 0, "BHZ", ""},
      {"CCC", "BHZ", "", T0, 0, 0, 0, "BHZ", ""},
  };
  auto check = [&](const Case &c) {
    Answer a = ask(h, "XX", c.sta, c.chan, c.loc, c.time);
    std::string where = std::string(c.sta) + " " + c.chan + "_" + c.loc + " " + tt(c.time);
    EXPECT_EQ(a.bits, c.bits) << where << " " << logged();
    EXPECT_EQ(a.css_sta, c.sta) << where;
    EXPECT_EQ(a.css_chan, c.css_chan) << where;
    if (c.bits & PKTCALIB_LAT) {
      EXPECT_EQ(a.lat, c.lat) << where;
    }
    if (c.bits & PKTCALIB_CALIB) {
      EXPECT_EQ(a.calib, c.calib) << where;
    }
    EXPECT_EQ(a.rsptype, c.rsptype) << where;
  };
  for (const Case &c : cases) check(c);
  for (size_t i = sizeof cases / sizeof cases[0]; i-- > 0;) check(cases[i]);
  // An empty loc and "00" are two channels, the second keyed with its loc.
  EXPECT_NE(getarr(h->channels_arr, "XX_AAA_BHZ"), nullptr);
  EXPECT_NE(getarr(h->channels_arr, "XX_AAA_BHZ_00"), nullptr);
  EXPECT_EQ(cntarr(h->channels_arr), 5);
  EXPECT_EQ(cntarr(h->stations_arr), 3);
}

TEST_F(Calib, SiteAndChannelPartsFollowTheFlags) {
  open(1, 0, 0);
  Answer a = ask(h, "XX", "AAA", "BHZ", "", T0);
  EXPECT_EQ(a.bits, kRsp | kCal);  // no site bits with need_site 0
  EXPECT_EQ(a.css_sta, "AAA");
  pktchannelcalib_free(h);

  open(0, 0, 1);
  a = ask(h, "XX", "AAA", "BHZ", "", T0, 0, false);
  EXPECT_EQ(a.bits, kSite);
  EXPECT_EQ(a.lat, 10.0);
  EXPECT_EQ(a.lon, 20.0);
  EXPECT_EQ(a.elev, 0.5);
  EXPECT_EQ(cntarr(h->channels_arr), 0);  // css_chan none: no channel part at all
  a = ask(h, "XX", "AAA", "BHZ", "", T0);
  EXPECT_EQ(a.bits, kSite);  // need_calib 0: no channel values
  EXPECT_EQ(a.css_chan, "BHZ");
}

// Outputs without their bit are left as they were.
TEST_F(Calib, OutputsWithoutTheirBitStayAsTheyWere) {
  open(1, 1, 1);
  char css_sta[CSS_NAME_SIZE], css_chan[CSS_NAME_SIZE], rsptype[8] = "keep";
  double lat = 7, lon = 7, elev = 7, calib = 7, calper = 7;
  Response *resp = reinterpret_cast<Response *>(&lat);
  EXPECT_EQ(pktchannelcalib_get(h, "XX", "CCC", "BHZ", "", T0, 0, css_sta, css_chan, &lat, &lon,
                                &elev, &calib, &calper, rsptype, &resp),
            0);
  EXPECT_EQ(lat + lon + elev + calib + calper, 35.0);
  EXPECT_STREQ(rsptype, "keep");
  EXPECT_EQ(resp, reinterpret_cast<Response *>(&lat));
}

// A calibration that starts after the first request for its channel is found: the empty
// answer holds only until the next row starts.
TEST_F(Calib, EmptyAnswerHoldsOnlyUntilTheNextRow) {
  db.table("calibration", {{"AAA", "BHZ", tt(T3), "-1", "2.5", "1.0"}});
  open(1, 0, 0);
  int reopened = -1;
  for (double t : {T0, T1, T3 - 0.001}) {
    EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", t).bits, kRsp) << tt(t);
    if (reopened < 0) reopened = h->db.database;
    EXPECT_EQ(h->db.database, reopened);  // the gap was cached: no reopen, no query
  }
  Answer a = ask(h, "XX", "AAA", "BHZ", "", T3);
  EXPECT_EQ(a.bits, kRsp | kCal);
  EXPECT_EQ(a.calib, 2.5);
}

// A table rewritten within the same second is seen with check_db, and only then.
TEST_F(Calib, ChangeWithinTheSameSecondIsSeenWithCheckDb) {
  double second = std::floor((double)time(nullptr)) - 10;
  SiteDb::date(db.file("calibration"), second + 0.1);
  open(1, 0, 0);
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", T0, 1).calib, 1.5);
  db.table("calibration", {{"AAA", "BHZ", tt(T0), tt(T1), "9.5", "1.0"}}, second + 0.6);
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", T0, 0).calib, 1.5);  // trusted without check_db
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", T0, 1).calib, 9.5);
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", T0, 0).calib, 9.5);
  // A removed row is seen as well.
  db.table("calibration", {}, second + 0.7);
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", T0, 1).bits, kRsp);
}

// A table file the search does not find is remembered as missing: calls without
// check_db do not reopen the database each time, and the file is seen when it comes.
TEST_F(Calib, MissingTableFileIsNotReopenedPerCall) {
  open(0, 0, 1);
  std::string away = db.file("site") + ".away";
  ASSERT_EQ(rename(db.file("site").c_str(), away.c_str()), 0);
  EXPECT_EQ(ask(h, "XX", "AAA", "", "", T0, 0, false).bits, 0);
  int id = h->db.database;
  for (double t : {T0, T1, T3, 0.0}) {
    EXPECT_EQ(ask(h, "XX", "AAA", "", "", t, 0, false).bits, 0);
    EXPECT_EQ(ask(h, "XX", "AAA", "", "", t, 1, false).bits, 0);
  }
  EXPECT_EQ(h->db.database, id);
  ASSERT_EQ(rename(away.c_str(), db.file("site").c_str()), 0);
  SiteDb::date(db.file("site"), (double)time(nullptr));
  Answer a = ask(h, "XX", "AAA", "", "", T0, 1, false);
  EXPECT_EQ(a.bits, kSite);
  EXPECT_EQ(a.lat, 10.0);
}

// A reopen that fails fails the call and changes nothing; the next call tries again.
TEST_F(Calib, FailedReopenIsRetried) {
  open(0, 0, 1);
  EXPECT_EQ(ask(h, "XX", "AAA", "", "", T0, 0, false).lat, 10.0);
  db.dir.write("sites", "nosuch9.9\n");
  SiteDb::date(db.path, (double)time(nullptr) + 5);
  logged();
  // The descriptor change closes the database; the site view, which must be computed
  // anew for this time, cannot reopen it.
  EXPECT_EQ(ask(h, "XX", "AAA", "", "", T3, 1, false).bits, -1);
  EXPECT_NE(logged().find("pktchannelcalib_get: dbopen(" + db.path + ") error."),
            std::string::npos);
  Stastuff *s = static_cast<Stastuff *>(getarr(h->stations_arr, "XX_AAA"));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->lat, 10.0);
  EXPECT_EQ(ask(h, "XX", "AAA", "", "", T3, 0, false).bits, -1);  // tried again, fails again
  db.dir.write("sites", "css3.0\n");
  Answer a = ask(h, "XX", "AAA", "", "", T3, 0, false);
  EXPECT_EQ(a.bits, kSite) << logged();
  EXPECT_EQ(a.lat, 11.0);
}

TEST_F(Calib, NamesAreQuotedOrRefused) {
  open(0, 0, 1);
  Answer a = ask(h, "XX", "A\"B", "", "", T0, 0, false);
  EXPECT_EQ(a.bits, kSite) << logged();
  EXPECT_EQ(a.lat, 5.0);
  EXPECT_EQ(a.css_sta, "A\"B");
  EXPECT_EQ(ask(h, "XX", "A'B", "", "", T0, 0, false).bits, 0);
  for (const char *bad : {"A\"B'C", "A\nB"}) {
    EXPECT_EQ(ask(h, "XX", bad, "", "", T0, 0, false).bits, -1);
    EXPECT_NE(logged().find("can't be quoted"), std::string::npos);
  }
  EXPECT_EQ(cntarr(h->stations_arr), 2);
}

// A failed name mapping leaves no entry, so the next call maps again.
TEST_F(Calib, FailedMappingLeavesNothing) {
  open(1, 0, 1);
  std::string long_sta(32, 'S');
  EXPECT_EQ(ask(h, "XX", long_sta.c_str(), "BHZ", "", T0).bits, -1);
  EXPECT_NE(logged().find("pktchannelcalib_get: map_seed_netsta(XX," + long_sta + ") error."),
            std::string::npos);
  EXPECT_EQ(cntarr(h->stations_arr), 0);
  std::string long_chan(29, 'C');
  EXPECT_EQ(ask(h, "XX", "AAA", long_chan.c_str(), "00", T0).bits, -1);
  EXPECT_NE(logged().find("pktchannelcalib_get: map_seed_chanloc(AAA," + long_chan + ",00) error."),
            std::string::npos);
  EXPECT_EQ(cntarr(h->channels_arr), 0);
  EXPECT_EQ(cntarr(h->stations_arr), 1);  // the station part had worked
}

// A response is read once per file and time; a replaced one stays valid until the
// handle is freed.
TEST_F(Calib, ResponsesLiveWithTheHandle) {
  mkdir(db.dir.file("resp").c_str(), 0755);
  db.dir.write("resp/bhz.resp", "response one\n");
  open(1, 1, 0);
  Answer a = ask(h, "XX", "AAA", "BHZ", "", T0);
  ASSERT_EQ(a.bits, kRsp | kCal | PKTCALIB_RESPONSE);
  size_t n;
  EXPECT_EQ(std::string(response_bytes(a.response, &n)), "response one\n");
  // The channel with a response file that is not there has none, and no error.
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "00", T0).bits, kRsp | kCal);

  // The sensor view recomputed: the same file keeps its object.
  double now = (double)time(nullptr);
  db.table("sensor", {{"AAA", "BHZ", tt(T0), "-1", "1"}}, now + 1);
  Answer b = ask(h, "XX", "AAA", "BHZ", "", T0, 1);
  EXPECT_EQ(b.response, a.response);
  // A new response file gives a new object; the old one is still readable.
  db.dir.write("resp/bhz.resp", "response two\n");
  SiteDb::date(db.dir.file("resp/bhz.resp"), now + 2);
  db.table("sensor", {{"AAA", "BHZ", tt(T0), "-1", "1"}}, now + 3);
  Answer c = ask(h, "XX", "AAA", "BHZ", "", T0, 1);
  ASSERT_NE(c.response, a.response);
  EXPECT_EQ(std::string(response_bytes(c.response, &n), n), "response two\n");
  EXPECT_EQ(std::string(response_bytes(a.response, &n), n), "response one\n");
  // Without a response file the channel has none.
  unlink(db.dir.file("resp/bhz.resp").c_str());
  db.table("sensor", {{"AAA", "BHZ", tt(T0), "-1", "1"}}, now + 4);
  EXPECT_EQ(ask(h, "XX", "AAA", "BHZ", "", T0, 1).bits, kRsp | kCal);
}

TEST_F(Calib, NewChecksEachTableItNeeds) {
  struct Case {
    int calib, response, site;
    const char *missing;
  } cases[] = {
      {0, 0, 1, "site"},        {1, 0, 0, "sensor"},     {0, 1, 0, "instrument"},
      {1, 0, 0, "calibration"}, {0, 1, 1, "instrument"},
  };
  for (const Case &c : cases) {
    std::string away = db.file(c.missing) + ".away";
    ASSERT_EQ(rename(db.file(c.missing).c_str(), away.c_str()), 0);
    logged();
    EXPECT_EQ(pktchannelcalib_new(db.path.c_str(), c.calib, c.response, c.site), nullptr);
    std::string messages = logged();
    EXPECT_NE(messages.find(std::string("db_table_exists: Table '") + c.missing + "' file "),
              std::string::npos)
        << messages;
    EXPECT_NE(messages.find(std::string("pktchannelcalib_new: You need a ") + c.missing +
                            " table in your database.\n"),
              std::string::npos)
        << messages;
    ASSERT_EQ(rename(away.c_str(), db.file(c.missing).c_str()), 0);
  }
  // Tables that are not needed need not be there.
  unlink(db.file("calibration").c_str());
  unlink(db.file("site").c_str());
  PktChannelCalib *p = pktchannelcalib_new(db.path.c_str(), 0, 1, 0);
  EXPECT_NE(p, nullptr);
  pktchannelcalib_free(p);
  // A database that does not open.
  db.dir.write("sites", "nosuch9.9\n");
  logged();
  EXPECT_EQ(pktchannelcalib_new(db.path.c_str(), 0, 0, 0), nullptr);
  EXPECT_NE(logged().find("pktchannelcalib_new: dbopen(" + db.path + ") error."),
            std::string::npos);
}

TEST_F(Calib, TableChecksAndModificationTimes) {
  Dbptr d;
  ASSERT_EQ(RVdbopen(db.path.c_str(), "r", &d), 0);
  EXPECT_EQ(db_table_exists(d, "site"), 1);
  EXPECT_EQ(db_table_exists(d, "wfdisc"), 0);
  EXPECT_NE(logged().find("db_table_exists: Table 'wfdisc' file "), std::string::npos);
  EXPECT_EQ(db_table_exists(d, "nosuch"), -1);
  EXPECT_NE(logged().find("db_table_exists: Cannot lookup table 'nosuch'."), std::string::npos);
  RVdbclose(d);

  open(1, 0, 1);
  SiteDb::date(db.file("site"), 1234567890.123456789);
  EXPECT_NEAR(getmodtime(h, "site"), 1234567890.123456789, 1e-6);
  EXPECT_EQ(getmodtime(h, "wfdisc"), 0.0);
}

// my_find_path tries find_path's candidates: <dbname>.<table>, then each dbpath entry,
// relative ones below the descriptor's directory, "{name}" naming the file's base.
TEST(CalibPaths, FindsTheTableFileFindPathFinds) {
  TempDir dir;
  std::string dbname = dir.file("db");
  for (const char *sub : {"a", "b"}) mkdir(dir.file(sub).c_str(), 0755);
  dir.write("a/db.site", "x");
  dir.write("b/other.site", "xy");
  dir.write("db.sensor", "xyz");
  mkdir(dir.file("db.calibration").c_str(), 0755);  // not a regular file
  struct Case {
    const char *table, *dbpath;
    int rc;
    off_t size;
  } cases[] = {
      {"site", "", -1, 0},          {"site", "a", 0, 1},
      {"site", "b{other}", 0, 2},   {"site", "none:b/{other}", 0, 2},
      {"sensor", "a", 0, 3},        {"calibration", "", -1, 0},
      {"instrument", "a:b", -1, 0},
  };
  for (const Case &c : cases) {
    struct stat st = {};
    EXPECT_EQ(my_find_path(dbname.c_str(), c.table, c.dbpath, &st), c.rc)
        << c.table << " " << c.dbpath;
    if (c.rc == 0) {
      EXPECT_EQ(st.st_size, c.size) << c.table << " " << c.dbpath;
    }
  }
  struct stat st;
  EXPECT_EQ(mychkpath(dir.file("db.sensor").c_str(), &st), 0);
  EXPECT_EQ(mychkpath(dir.path().c_str(), &st), -1);
  EXPECT_EQ(mychkpath(nullptr, &st), -1);
}

}  // namespace
