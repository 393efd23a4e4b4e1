// The installed "css3.0" schema: found through SCHEMA_DIR and below the install root,
// with the tables, fields, widths and nulls the programs rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "base/tbl.h"
#include "dbfixture.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

namespace {

std::vector<std::string> strings(Tbl *list) {
  std::vector<std::string> out;
  for (long i = 0; i < maxtbl(list); i++) out.push_back(static_cast<const char *>(gettbl(list, i)));
  return out;
}

class CssSchema : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_db_env();
    setenv("SCHEMA_DIR", RELDB_DATA, 1);
    db = dbtmp("css3.0");
    ASSERT_GE(db.database, 0) << logged();
  }
  void TearDown() override {
    if (db.database >= 0) RVdbclose(db);
    unsetenv("SCHEMA_DIR");
  }
  std::vector<std::string> fields(const char *table) {
    Tbl *list = nullptr;
    if (dbquery(dblookup(db, nullptr, table, nullptr, nullptr), dbTABLE_FIELDS, &list) < 0)
      return {};
    std::vector<std::string> out = strings(list);
    // The list ends with the reference field that names the table itself.
    if (!out.empty() && out.back() == table) out.pop_back();
    return out;
  }
  int width(const char *table, const char *field) {
    return dbquery(dblookup(db, nullptr, table, field, nullptr), dbFIELD_SIZE, nullptr);
  }

  Dbptr db = {-1, dbALL, dbALL, dbALL};
};

TEST_F(CssSchema, TablesAndFields) {
  using V = std::vector<std::string>;
  EXPECT_EQ(fields("site"), (V{"sta", "ondate", "offdate", "lat", "lon", "elev", "lddate"}));
  EXPECT_EQ(fields("sensor"), (V{"sta", "chan", "time", "endtime", "inid", "lddate"}));
  EXPECT_EQ(fields("instrument"), (V{"inid", "rsptype", "dir", "dfile", "lddate"}));
  EXPECT_EQ(fields("calibration"),
            (V{"sta", "chan", "time", "endtime", "calib", "calper", "lddate"}));
  EXPECT_EQ(fields("lastid"), (V{"keyname", "keyvalue", "lddate"}));
  EXPECT_EQ(fields("dlcalwf"),
            (V{"snet",     "fsta",       "fchan",       "loc",          "time",
               "endtime",  "model",      "ssident",     "dlcalseq",     "dlcaltype",
               "dlcalerr", "dlcalinput", "dlcalchanbm", "phchan",       "samprate",
               "dlcalamp", "dlcalfreq",  "dlcalsettle", "dlcaltrailer", "lddate"}));
  EXPECT_EQ(fields("wfdisc"),
            (V{"sta", "chan", "time", "endtime", "jdate", "nsamp", "samprate", "datatype", "calib",
               "segtype", "instype", "foff", "dir", "dfile", "lddate"}));
  EXPECT_FALSE(fields("dlsite").empty());
  char *timedate = nullptr;
  ASSERT_EQ(dbquery(db, dbTIMEDATE_NAME, &timedate), 0);
  EXPECT_STREQ(timedate, "lddate");

  struct Width {
    const char *table, *field;
    int size;
  } widths[] = {
      {"instrument", "rsptype", 7},  {"dlcalwf", "dlcalseq", 25}, {"dlcalwf", "dlcaltype", 16},
      {"dlcalwf", "dlcalchanbm", 8}, {"wfdisc", "segtype", 1},
  };
  for (const Width &w : widths) EXPECT_EQ(width(w.table, w.field), w.size) << w.field;
  // Station and channel fields hold every name the mapping makes from a packet channel's
  // codes (station up to 15 characters; channel 15, "_" and location 7).
  EXPECT_GE(width("site", "sta"), 15);
  EXPECT_GE(width("calibration", "chan"), 23);
}

// Nulls the lookup's expressions read as open ends.
TEST_F(CssSchema, NullsReadAsOpenEnds) {
  Dbptr site = dblookup(db, nullptr, "site", nullptr, "dbNULL");
  int offdate = 0;
  ASSERT_EQ(dbgetv(site, nullptr, "offdate", &offdate, nullptr), 0);
  EXPECT_LE(offdate, 0);
  Dbptr cal = dblookup(db, nullptr, "calibration", nullptr, "dbNULL");
  double endtime = 0;
  ASSERT_EQ(dbgetv(cal, nullptr, "endtime", &endtime, nullptr), 0);
  EXPECT_GT(endtime, 9e9);
}

// The calibration lookup's join: a subset of sensor joins instrument on inid with no
// keys given, through sensor's foreign key and instrument's primary key.
TEST_F(CssSchema, SensorSubsetJoinsInstrumentOnInid) {
  TempDir dir;
  std::string path = dir.write("sites", "css3.0\n");
  dir.write("sites.sensor", record(db, "sensor", {"AAA", "BHZ", "10.0", "-1", "2"}) +
                                record(db, "sensor", {"AAA", "LHZ", "10.0", "-1", "1"}) +
                                record(db, "sensor", {"BBB", "BHZ", "10.0", "-1", "1"}));
  dir.write("sites.instrument", record(db, "instrument", {"1", "paz", "-", "-"}) +
                                    record(db, "instrument", {"2", "fap", "-", "-"}));
  Dbptr site;
  ASSERT_EQ(RVdbopen(path.c_str(), "r", &site), 0);
  Dbptr sensor = dblookup(site, nullptr, "sensor", nullptr, nullptr);
  Dbptr instrument = dblookup(site, nullptr, "instrument", nullptr, nullptr);
  Dbptr sub = dbsubset(sensor, "sta == 'AAA'", nullptr);
  ASSERT_GE(sub.table, 0) << logged();
  Tbl *k1 = nullptr, *k2 = nullptr;
  ASSERT_EQ(dbfind_join_keys(sub, instrument, &k1, &k2), 0);
  EXPECT_EQ(strings(k1), (std::vector<std::string>{"inid"}));
  EXPECT_EQ(strings(k2), (std::vector<std::string>{"inid"}));
  freetbl(k1, nullptr);
  freetbl(k2, nullptr);
  Dbptr join = dbjoin(sub, instrument, nullptr, nullptr, 0, nullptr, nullptr);
  ASSERT_GE(join.table, 0) << logged();
  ASSERT_EQ(dbquery(join, dbRECORD_COUNT, nullptr), 2);
  std::vector<std::string> got;
  for (join.record = 0; join.record < 2; join.record++) {
    char chan[32], rsptype[8];
    ASSERT_EQ(dbgetv(join, nullptr, "chan", chan, "rsptype", rsptype, nullptr), 0);
    got.push_back(std::string(chan) + " " + rsptype);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"BHZ fap", "LHZ paz"}));
  RVdbclose(site);
}

// Without SCHEMA_DIR the schema is found below the install root, as installed.
TEST(CssSchemaInstall, FoundBelowTheInstallRoot) {
  clear_db_env();
  TempDir root;
  mkdir(root.file("data").c_str(), 0755);
  mkdir(root.file("data/schemas").c_str(), 0755);
  root.write("data/schemas/css3.0", read_file(std::string(RELDB_DATA) + "/schemas/css3.0"));
  setenv("VANTREL", root.path().c_str(), 1);
  Dbptr db = dbtmp("css3.0");
  EXPECT_GE(db.database, 0) << logged();
  if (db.database >= 0) RVdbclose(db);
  unsetenv("VANTREL");
}

}  // namespace
