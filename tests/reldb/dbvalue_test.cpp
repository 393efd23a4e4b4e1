// Field values: the conversions between values and field or printable text, reading and
// writing tables, records and fields, typed reads and writes, ranges and bundles.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "dbfixture.h"

namespace {

std::string c2d(Dbvalue v, int width, const char *format, int type, int *result) {
  std::string field(32, '#');
  *result = dbc2d(&v, &field[0], width, format, type);
  return field.substr(0, (size_t)width) + "|" + field.substr((size_t)width, 1);
}

Dbvalue ival(int i) {
  Dbvalue v;
  v.i = i;
  return v;
}
Dbvalue dval(double d) {
  Dbvalue v;
  v.d = d;
  return v;
}
Dbvalue tval(const char *t) {
  Dbvalue v;
  v.t = const_cast<char *>(t);
  return v;
}

double g_now = 0;
double fixed_now(void *) { return g_now; }
void no_sleep(double, void *) {}
const ClockDriver kFixed = {fixed_now, fixed_now, no_sleep, nullptr};

time_t mtime(const std::string &path) {
  struct stat st;
  stat(path.c_str(), &st);
  return st.st_mtime;
}

void age(const std::string &path, int seconds) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= seconds;
  tv[1] = tv[0];
  utimes(path.c_str(), tv);
}

}  // namespace

TEST(Conversions, ValueToFieldText) {
  struct Case {
    Dbvalue value;
    int width;
    const char *format;
    int type;
    const char *text;  // the field, then "|" and the byte after it (untouched: "#")
    int result;
  } cases[] = {
      {dval(12345.678), 7, "%.3f", dbREAL, "12345.6|#", 1},
      {dval(12345.6), 7, "%.3f", dbREAL, "12345.6|#", 0},
      {dval(1.5e20), 8, "%e", dbREAL, "1.500000|#", 1},
      {dval(1.5e20), 11, "%e", dbREAL, "1.500000e+2|#", 1},
      {dval(1.5e20), 12, "%e", dbTIME, "1.500000e+20|#", 0},
      {dval(2.5), 12, nullptr, dbREAL, "2.500000e+00|#", 0},
      {dval(123456.0), 4, "%.1f", dbREAL, "1234|#", 1},
      {dval(1041379200.5), 17, "%17.5f", dbTIME, " 1041379200.50000|#", 0},
      {ival(42), 8, "%8ld", dbINTEGER, "      42|#", 0},
      {ival(-1), 8, "%8ld", dbYEARDAY, "      -1|#", 0},
      {ival(123456789), 8, "%8ld", dbINTEGER, "12345678|#", 1},
      {ival(7), 4, "", dbINTEGER, "7   |#", 0},
      {ival(7), 4, "%s%s%n", dbINTEGER, "7   |#", 0},  // a format for another type: unused
      {ival(7), 6, "<%3d>", dbINTEGER, "<  7> |#", 0},
      {ival(7), 6, "%%%d", dbINTEGER, "%7    |#", 0},
      {tval("abc   "), 3, nullptr, dbSTRING, "abc|#", 0},
      {tval("abcd"), 3, nullptr, dbSTRING, "abc|#", 1},
      {tval("ab"), 5, "%-5s", dbSTRING, "ab   |#", 0},
      {tval(nullptr), 3, nullptr, dbSTRING, "   |#", 0},
      {ival(1), 4, nullptr, dbBINT, "####|#", dbINVALID},
      {dval(1), 4, nullptr, dbBDOUBLE, "####|#", dbINVALID},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    int result;
    EXPECT_EQ(c2d(c.value, c.width, c.format, c.type, &result), c.text);
    EXPECT_EQ(result, c.result);
  }
  // A Dbptr field narrower than a Dbptr keeps what fits and says so.
  Dbvalue p;
  p.db = {1, 2, 3, 4};
  char field[20];
  memset(field, '#', sizeof field);
  EXPECT_EQ(dbc2d(&p, field, 8, nullptr, dbDBPTR), 1);
  EXPECT_EQ(field[8], '#');
  EXPECT_EQ(dbc2d(&p, field, 16, nullptr, dbDBPTR), 0);
  Dbptr back;
  EXPECT_EQ(dbd2c(field, 16, &back, dbDBPTR), 0);
  EXPECT_EQ(back.record, 4);
  EXPECT_EQ(dbd2c(field, 8, &back, dbDBPTR), 0);
  EXPECT_EQ(back.table, 2);
  EXPECT_EQ(back.field, dbINVALID);
  take_registered();
}

TEST(Conversions, FieldTextToValue) {
  struct Int {
    const char *field;
    int type;
    int want;
  } ints[] = {
      {"      42", dbINTEGER, 42},
      {"2003001 ", dbYEARDAY, 2003001},
      {"-1      ", dbOFFDATE_KEY, -1},
      {"abc     ", dbINTEGER, 0},
      {"99999999999", dbINTEGER, 2147483647},
  };
  for (const Int &c : ints) {
    int out = -5;
    EXPECT_EQ(dbd2c(c.field, (int)strlen(c.field), &out, c.type), 0);
    EXPECT_EQ(out, c.want) << c.field;
  }
  struct Real {
    const char *field;
    int type;
    double want;
    int result;
  } reals[] = {
      {"  1.5    ", dbREAL, 1.5, 0},
      {"1.5x     ", dbREAL, 1.5, dbINVALID},
      {"         ", dbREAL, 0.0, dbINVALID},
      {"-        ", dbTIME, 0.0, 0},
      {"         ", dbTIME, 0.0, 0},
      {" 1041379200.50000", dbTIME, 1041379200.5, 0},
      {"2003-01-01 00:00:00", dbTIME, 1041379200.0, 0},
      {"2003001:00:00:01", dbTIME, 1041379201.0, 0},
  };
  for (const Real &c : reals) {
    double out = -5;
    EXPECT_EQ(dbd2c(c.field, (int)strlen(c.field), &out, c.type), c.result) << c.field;
    EXPECT_DOUBLE_EQ(out, c.want) << c.field;
  }
  char s[7];
  EXPECT_EQ(dbd2c("AAK   ", 6, s, dbSTRING), 0);
  EXPECT_STREQ(s, "AAK");
  EXPECT_EQ(dbd2c(" a b  xxx", 6, s, dbSTRING), 0);
  EXPECT_STREQ(s, " a b");
  EXPECT_EQ(dbd2c("x", 1, s, 99), dbINVALID);
  EXPECT_NE(take_registered().find("invalid type code 99"), std::string::npos);
}

// Field texts of plain decimals are read without the C library; every reading must be the
// C library's, to the last bit, and texts the quick reading leaves alone must still read.
TEST(Conversions, NumbersReadAsTheCLibraryReadsThem) {
  std::vector<std::string> texts = {" 1000000000.12345",
                                    "-0.00001",
                                    "0.1",
                                    "-0",
                                    "+5.",
                                    ".5",
                                    "   9007199254740992",
                                    "9007199254740993",
                                    "1.2345678901234567890",
                                    "123456789012345678.9",
                                    "0.00000000000000000000001",
                                    "1e3",
                                    "  7.25  ",
                                    "\t3.5"};
  std::mt19937 rng(7);
  for (int i = 0; i < 20000; i++) {
    // Up to 19 digits with a point anywhere, blanks on either side, a sign now and then.
    std::string t(rng() % 3, ' ');
    if (rng() % 4 == 0) t += rng() % 2 ? '-' : '+';
    int digits = 1 + (int)(rng() % 19), point = (int)(rng() % (digits + 2)) - 1;
    for (int d = 0; d < digits; d++) {
      if (d == point) t += '.';
      t += (char)('0' + rng() % 10);
    }
    t += std::string(rng() % 3, ' ');
    texts.push_back(t);
  }
  for (const std::string &t : texts) {
    double got = -5, want = strtod(t.c_str(), nullptr);
    ASSERT_EQ(dbd2c(t.data(), (int)t.size(), &got, dbREAL), 0) << t;
    EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << t << ": " << got << " != " << want;
  }
  // A NUL ends the field; what follows a number other than blanks makes it unreadable.
  double d = -5;
  EXPECT_EQ(dbd2c("12.5\0xyz", 8, &d, dbREAL), 0);
  EXPECT_EQ(d, 12.5);
  EXPECT_EQ(dbd2c("12.5 x  ", 8, &d, dbREAL), dbINVALID);
  EXPECT_EQ(dbd2c("1.2.3   ", 8, &d, dbREAL), dbINVALID);
  struct Int {
    const char *field;
    int want;
  } ints[] = {{"  -2147483649", INT_MIN},
              {"\t 12", 12},
              {"+7x", 7},
              {"-", 0},
              {"123456789012345678901", INT_MAX},
              {"-0000000000000000000042", -42},
              {"  2147483647", INT_MAX}};
  for (const Int &c : ints) {
    int out = -5;
    EXPECT_EQ(dbd2c(c.field, (int)strlen(c.field), &out, dbINTEGER), 0);
    EXPECT_EQ(out, c.want) << c.field;
  }
}

TEST(Conversions, PrintableText) {
  Dbvalue p;
  p.db = {0, 3, dbALL, 7};
  char text[21];
  EXPECT_EQ(dbc2p(&p, text, 20, "%d %d %d %d", dbDBPTR), 0);
  EXPECT_EQ(std::string(text, 20), "0 3 -501 7          ");
  text[20] = '\0';
  Dbptr back;
  EXPECT_EQ(dbp2c(text, 20, &back, dbDBPTR), 0);
  EXPECT_EQ(memcmp(&back, &p.db, sizeof back), 0);
  EXPECT_EQ(dbp2c("1 2", 3, &back, dbDBPTR), dbINVALID);

  Dbvalue v = dval(2.25);
  EXPECT_EQ(dbc2p(&v, text, 6, "%.1f", dbREAL), 0);
  EXPECT_EQ(std::string(text, 6), "2.2   ");
  EXPECT_EQ(dbc2p(&v, text, 6, nullptr, dbREAL), dbINVALID);  // no default format
  v = tval("free text");
  EXPECT_EQ(dbc2p(&v, text, 4, "%d", dbSTRING), 0);
  EXPECT_EQ(std::string(text, 4), "free");
  v = ival(5);
  EXPECT_EQ(dbc2p(&v, text, 4, "%d %d", dbINTEGER), dbINVALID);  // too few values
  EXPECT_EQ(dbc2p(&v, text, 4, "%d", dbBINT), dbINVALID);

  double d = 0;
  EXPECT_EQ(dbp2c("  1.5  ", 7, &d, dbREAL), 0);
  EXPECT_DOUBLE_EQ(d, 1.5);
  EXPECT_EQ(dbp2c("-", 1, &d, dbTIME), 0);
  EXPECT_EQ(d, 0.0);
  int i = 0;
  EXPECT_EQ(dbp2c("17", 2, &i, dbINTEGER), 0);
  EXPECT_EQ(i, 17);
  EXPECT_EQ(dbp2c("17", 2, &i, dbOFFDATE_KEY), dbINVALID);
  take_registered();
}

TEST(Conversions, FormatsFromFilesAreChecked) {
  struct Case {
    const char *format;
    DbFormatValue value;
    const char *text;  // none: refused
  } cases[] = {
      {"%8ld", {DBFMT_INT, 5, 0, nullptr}, "       5"},
      {"%lld|%hd|%hhd", {DBFMT_INT, 1, 0, nullptr}, nullptr},  // three conversions, one value
      {"%lld", {DBFMT_INT, -3, 0, nullptr}, "-3"},
      {"%x", {DBFMT_INT, 255, 0, nullptr}, "ff"},
      {"%c", {DBFMT_INT, 'A', 0, nullptr}, "A"},
      {"%Lf", {DBFMT_DOUBLE, 0, 0.5, nullptr}, "0.500000"},
      {"%lf", {DBFMT_DOUBLE, 0, 0.5, nullptr}, "0.500000"},
      {"%-3s|", {DBFMT_STRING, 0, 0, "ab"}, "ab |"},
      {"%s", {DBFMT_INT, 1, 0, nullptr}, nullptr},
      {"%d", {DBFMT_DOUBLE, 0, 1.0, nullptr}, nullptr},
      {"%n", {DBFMT_INT, 1, 0, nullptr}, nullptr},
      {"%*d", {DBFMT_INT, 1, 0, nullptr}, nullptr},
      {"%5000d", {DBFMT_INT, 1, 0, nullptr}, nullptr},
      {"%.9999f", {DBFMT_DOUBLE, 0, 1.0, nullptr}, nullptr},
      {"%ls", {DBFMT_STRING, 0, 0, "x"}, nullptr},
      {"%lc", {DBFMT_INT, 65, 0, nullptr}, nullptr},
      {"abc", {DBFMT_INT, 1, 0, nullptr}, nullptr},
      {"%", {DBFMT_INT, 1, 0, nullptr}, nullptr},
      {"", {DBFMT_INT, 1, 0, nullptr}, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.format);
    std::string out = "untouched";
    int r = db_format(&out, c.format, &c.value, 1);
    if (c.text) {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(out, c.text);
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(out, "untouched");
    }
  }
}

class Values : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(demo.open("r+"), 0) << take_registered();
    db = demo.db;
    r1 = record(db, "site", {"AAK", "2003001", "-1", "42.6", "", "", "Arbitrary Peak", "-"});
    r2 = record(db, "site", {"BBK", "2003001", "-1", "-12.5", "", "", "", "2003001:00:00:00"});
    demo.write_table("site", r1 + r2);
    site = demo.table("site");
    take_registered();
  }
  void TearDown() override { clock_set_driver(nullptr); }

  DemoDb demo;
  Dbptr db, site;
  std::string r1, r2;
};

TEST_F(Values, RawReads) {
  char buf[512];
  EXPECT_EQ(dbget(site, buf), 0);
  EXPECT_EQ(std::string(buf), r1 + r2);
  Dbptr rec = site;
  rec.record = 1;
  EXPECT_EQ(dbget(rec, buf), 0);
  EXPECT_EQ(std::string(buf), r2);
  Dbptr sta = demo.field("site", "sta");
  sta.record = 1;
  EXPECT_EQ(dbget(sta, buf), 0);
  EXPECT_STREQ(buf, "BBK   ");
  // Into the scratch record: the record, or one field of it.
  EXPECT_EQ(dbget(rec, nullptr), 0);
  Dbptr scratch = site;
  scratch.record = dbSCRATCH;
  EXPECT_EQ(dbget(scratch, buf), 0);
  EXPECT_EQ(std::string(buf), r2);
  sta.record = 0;
  EXPECT_EQ(dbget(sta, nullptr), 0);
  EXPECT_EQ(dbget(scratch, buf), 0);
  EXPECT_EQ(std::string(buf), "AAK" + r2.substr(3));
  // Things that are no data.
  Dbptr empty = demo.table("sensor");
  EXPECT_EQ(dbget(empty, buf), dbINVALID);
  EXPECT_EQ(buf[0], '\0');
  EXPECT_NE(
      take_registered().find("db pointer (" + std::to_string(db.database) + " " +
                             std::to_string(empty.table) + " -501 -501) doesn't resolve to data"),
      std::string::npos);
  EXPECT_EQ(dbget(site, nullptr), dbINVALID);
}

TEST_F(Values, TypedReads) {
  Dbptr rec = site;
  rec.record = 0;
  char sta[7], staname[51];
  int ondate = 0, offdate = 0;
  double lat = 0, lddate = -1;
  EXPECT_EQ(dbgetv(rec, nullptr, "sta", sta, "ondate", &ondate, "offdate", &offdate, "lat", &lat,
                   "staname", staname, "lddate", &lddate, nullptr),
            0);
  EXPECT_STREQ(sta, "AAK");
  EXPECT_EQ(ondate, 2003001);
  EXPECT_EQ(offdate, -1);
  EXPECT_DOUBLE_EQ(lat, 42.6);
  EXPECT_STREQ(staname, "Arbitrary Peak");
  EXPECT_EQ(lddate, 0.0);
  rec.record = 1;
  EXPECT_EQ(dbgetv(rec, nullptr, "lddate", &lddate, nullptr), 0);
  EXPECT_EQ(lddate, 1041379200.0);
  // lon is blank: the failed conversion counts.
  double lon = 5;
  EXPECT_EQ(dbgetv(rec, nullptr, "lon", &lon, "lat", &lat, nullptr), dbINVALID);
  EXPECT_DOUBLE_EQ(lat, -12.5);

  EXPECT_EQ(dbgetv(rec, nullptr, "nosuch", &lat, nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("no field nosuch in table site.\n"), std::string::npos);
  EXPECT_EQ(dbgetv(rec, nullptr, "lat", nullptr, nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("field 'lat' has no matching variable in dbgetv"),
            std::string::npos);
  EXPECT_EQ(dbgetv(site, nullptr, "lat", &lat, nullptr), dbINVALID);  // not one record
  // The table argument picks the table.
  Dbptr other = demo.table("sensor");
  other.record = 1;
  EXPECT_EQ(dbgetv(other, "site", "sta", sta, nullptr), 0);
  EXPECT_STREQ(sta, "BBK");
}

TEST_F(Values, RawWrites) {
  std::string file = demo.dir.file("demo.site");
  Dbptr rec = site;
  rec.record = 1;
  std::string r3 = record(db, "site", {"CCK"});
  EXPECT_EQ(dbput(rec, r3.c_str()), 0);
  EXPECT_EQ(read_file(file), r1 + r3);
  // A short text: the record is not read past it and keeps its terminator.
  EXPECT_EQ(dbput(rec, "DDK"), 0);
  EXPECT_EQ(read_file(file), r1 + "DDK" + std::string(r1.size() - 4, ' ') + "\n");
  Dbptr sta = demo.field("site", "sta");
  sta.record = 0;
  EXPECT_EQ(dbput(sta, "EEKLONGER"), 0);
  EXPECT_EQ(read_file(file).substr(0, 7), "EEKLON ");
  // From the scratch record.
  Dbptr scratch = site;
  scratch.record = dbSCRATCH;
  EXPECT_EQ(dbput(scratch, r2.c_str()), 0);
  EXPECT_EQ(dbput(rec, nullptr), 0);
  EXPECT_EQ(read_file(file).substr(r1.size()), r2);
  EXPECT_EQ(dbput(scratch, r3.c_str()), 0);
  EXPECT_EQ(dbput(sta, nullptr), 0);
  EXPECT_EQ(read_file(file).substr(0, 7), "CCK    ");
  // The whole table.
  EXPECT_EQ(dbput(site, (r2 + r1).c_str()), 0);
  EXPECT_EQ(read_file(file), r2 + r1);
  // The null record is shared by every use of the relation: never written.
  Dbptr null = site;
  null.record = dbNULL;
  EXPECT_EQ(dbput(null, r3.c_str()), dbINVALID);
  EXPECT_NE(take_registered().find("The null record of site can't be written"), std::string::npos);
  null.record = dbNULL;
  char buf[200];
  dbget(null, buf);
  EXPECT_EQ(std::string(buf, 1), "-");
}

TEST_F(Values, ReadOnlyTables) {
  demo.close();
  ASSERT_EQ(demo.open("r"), 0);
  db = demo.db;
  site = demo.table("site");
  std::string file = demo.dir.file("demo.site");
  age(file, 1000);
  time_t before = mtime(file);
  Dbptr rec = site;
  rec.record = 0;
  EXPECT_EQ(dbput(rec, r2.c_str()), dbINVALID);
  EXPECT_NE(take_registered().find("Table " + file + " is opened read-only\n"), std::string::npos);
  EXPECT_EQ(dbputv(rec, nullptr, "lat", 1.0, nullptr), dbINVALID);
  EXPECT_NE(
      take_registered().find("Table " + file + " is opened read-only and cannot be updated\n"),
      std::string::npos);
  Dbvalue v = dval(2.0);
  EXPECT_EQ(dbputx(demo.field("site", "lat"), &v), dbINVALID);
  Dbptr lat = dblookup(rec, nullptr, nullptr, "lat", nullptr);
  EXPECT_EQ(dbputx(lat, &v), dbINVALID);
  // The scratch record may always be written, and leaves the file alone.
  Dbptr scratch = site;
  scratch.record = dbSCRATCH;
  EXPECT_EQ(dbputv(scratch, nullptr, "sta", "XYZ", "lat", 3.5, nullptr), 0);
  lat.record = dbSCRATCH;
  EXPECT_EQ(dbputx(lat, &v), 0);
  char sta[7];
  double got = 0;
  EXPECT_EQ(dbgetv(scratch, nullptr, "sta", sta, "lat", &got, nullptr), 0);
  EXPECT_STREQ(sta, "XYZ");
  EXPECT_EQ(got, 2.0);
  EXPECT_EQ(read_file(file), r1 + r2);
  EXPECT_EQ(mtime(file), before);
}

TEST_F(Values, TypedWrites) {
  std::string file = demo.dir.file("demo.site");
  age(file, 1000);
  time_t before = mtime(file);
  g_now = 1234567890.5;
  clock_set_driver(&kFixed);
  Dbptr rec = site;
  rec.record = 1;
  EXPECT_EQ(dbputv(rec, nullptr, "sta", "NEW", "ondate", 2004100, "lat", -33.25, nullptr), 0);
  std::string text = read_file(file).substr(r1.size());
  char expect[200];
  snprintf(expect, sizeof expect, "%-6s %8ld %-8s %9.4f", "NEW", 2004100L, "-1", -33.25);
  EXPECT_EQ(text.substr(0, strlen(expect)), expect);
  // The time attribute of the schema is stamped, and the file's time renewed.
  double lddate = 0;
  EXPECT_EQ(dbgetv(rec, nullptr, "lddate", &lddate, nullptr), 0);
  EXPECT_DOUBLE_EQ(lddate, 1234567890.5);
  EXPECT_GT(mtime(file), before);

  // A failure at one name keeps what was written before it.
  EXPECT_EQ(dbputv(rec, nullptr, "sta", "OLD", "nosuch", 1, nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("no field nosuch in table site.\n"), std::string::npos);
  char sta[7];
  dbgetv(rec, nullptr, "sta", sta, nullptr);
  EXPECT_STREQ(sta, "OLD");

  // dbputx writes one field.
  Dbvalue v = ival(1999001);
  Dbptr ondate = dblookup(rec, nullptr, nullptr, "ondate", nullptr);
  EXPECT_EQ(dbputx(ondate, &v), 0);
  int got = 0;
  dbgetv(rec, nullptr, "ondate", &got, nullptr);
  EXPECT_EQ(got, 1999001);
  EXPECT_EQ(dbputx(site, &v), dbINVALID);
  EXPECT_NE(take_registered().find("Can't resolve db pointer in dbputx"), std::string::npos);
  // Not one record.
  EXPECT_EQ(dbputv(site, nullptr, "sta", "X", nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("bad db type in dbputv\n"), std::string::npos);
}

TEST_F(Values, OverflowsAndTypesWithoutText) {
  ASSERT_EQ(dbcompile(db,
                      "Attribute remark String (80) ;\nAttribute code Bint (4) ;\n"
                      "Attribute where Dbptr (16) ;\n"
                      "Relation note Fields ( sta remark code where ) ;"),
            0);
  Dbptr note = demo.table("note");
  note.record = dbSCRATCH;
  ElogCapture capture;
  std::string longtext(100, 'r');
  EXPECT_EQ(dbputv(note, nullptr, "remark", longtext.c_str(), "sta", "TOOLONG", nullptr), 0);
  EXPECT_TRUE(capture.contains("'" + std::string(67, 'r') +
                               " ...' overflows field 'remark' in "
                               "record #-504 of note"));
  EXPECT_TRUE(capture.contains("'TOOLON' overflows field 'sta' in record #-504 of note"));
  // A binary field takes no value: reported as an overflow, left as it was.
  EXPECT_EQ(dbputv(note, nullptr, "code", 5, nullptr), 0);
  EXPECT_TRUE(capture.contains("'    ' overflows field 'code'"));
  Dbptr where = {1, 2, 3, 4};
  EXPECT_EQ(dbputv(note, nullptr, "where", where, nullptr), 0);
  Dbptr back;
  EXPECT_EQ(dbgetv(note, nullptr, "where", &back, nullptr), 0);
  EXPECT_EQ(memcmp(&back, &where, sizeof back), 0);
}

TEST_F(Values, Ranges) {
  struct Case {
    Dbptr p;
    int first, end;
  } cases[] = {
      {{db.database, site.table, 10, 5}, 5, 10},
      {{db.database, site.table, dbALL, dbALL}, 0, 2},
      {{db.database, site.table, dbALL, 1}, 0, 2},
      {{db.database, site.table, 3, dbSCRATCH}, dbSCRATCH, dbSCRATCH + 1},
      {{db.database, site.table, 3, dbNULL}, dbNULL, dbNULL + 1},
      {{db.database, 999, dbALL, dbALL}, 0, 0},
  };
  for (const Case &c : cases) {
    int first = -1, end = -1;
    dbget_range(c.p, &first, &end);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(end, c.end);
  }
  take_registered();
}

TEST_F(Values, Bundles) {
  EXPECT_EQ(dbadd_bundle(site), 0);
  Database *d = db_database(db.database);
  Attribute *bundle = static_cast<Attribute *>(getarr(d->schema->attributes, "bundle"));
  Attribute *type = static_cast<Attribute *>(getarr(d->schema->attributes, "bundletype"));
  ASSERT_NE(bundle, nullptr);
  ASSERT_NE(type, nullptr);
  EXPECT_EQ(bundle->type, dbDBPTR);
  EXPECT_EQ(bundle->size, 32);
  EXPECT_STREQ(bundle->format, "%d %d %d %d");
  EXPECT_STREQ(bundle->description, "database pointer to bundled/grouped data");
  EXPECT_EQ(std::string(bundle->detail).rfind("A bundle is a special database pointer", 0), 0u);
  EXPECT_NE(std::string(bundle->detail).find("dbALL.  In the latter case"), std::string::npos);
  EXPECT_EQ(type->size, 20);
  EXPECT_STREQ(type->format, "%20d");
  EXPECT_STREQ(type->description, "type of bundle");
  EXPECT_EQ(bundle->added, 1);
  EXPECT_EQ(dbadd_bundle(db), 0);  // already there
  EXPECT_EQ(dbadd_bundle({db.database + 700, dbALL, dbALL, dbALL}), -1);
  take_registered();
}
