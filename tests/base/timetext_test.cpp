#include "base/timetext.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "testkit/testkit.h"
#include "timetext_zones.h"

namespace {

// Takes ownership of a heap text; "(null)" for none.
std::string take(char *s) {
  if (!s) return "(null)";
  std::string out(s);
  free(s);
  return out;
}

constexpr double k20050110 = 1105315200.0;  // 2005-01-10 00:00:00 UTC

TEST(Str2epoch, ReadsEveryForm) {
  struct Case {
    const char *text;
    double epoch;
  } cases[] = {
      {"1/1/2000 00:00:00", 946684800.0},
      {"01/10/2005 12:00:00.250", k20050110 + 43200.25},
      {"1/10/2005 (010) 12:00:00.000", k20050110 + 43200},
      {"1/1/2000 0:0", 946684800.0},
      {"1/10/2005", k20050110},
      {"2005-01-10 12:00:00", k20050110 + 43200},
      {"2005-1-10T12:00:00.5", k20050110 + 43200.5},
      {"2005-01-10T12:00:00Z", k20050110 + 43200},
      {"2005-01-10", k20050110},
      {"2005010:00:00:00", k20050110},
      {"2005010:12:30:15.125", k20050110 + 45015.125},
      {"2005010 12:30:15", k20050110 + 45015},
      {"2005010", k20050110},
      {" \t2005010\n", k20050110},
      // Leap years: day 366 of 2004, Feb 29 of 2004 and of 2000 (divisible by 400).
      {"2004366", 1104451200.0},
      {"2/29/2004", 1078012800.0},
      {"2000-02-29", 951782400.0},
      {"2100-03-01", 4107542400.0},
      // A leap second counts as the next minute's first second.
      {"2005-12-31 23:59:60", 1136073600.0},
      // Before 1970, beyond 2038, and the ends of the calendar range.
      {"12/31/1969 23:59:59.5", -0.5},
      {"1900-01-01", -2208988800.0},
      {"2038-01-19 03:14:08", 2147483648.0},
      {"0000001", -62167219200.0},
      {"9999-12-31 23:59:59", 253402300799.0},
      // Plain numbers.
      {"1105315200", k20050110},
      {"1105315200.125", k20050110 + 0.125},
      {"-1.5", -1.5},
      {"+3", 3.0},
      {"1e9", 1e9},
      {".5", 0.5},
      {"5.", 5.0},
      {"-1.e3", -1000.0},
      {"1234567.0", 1234567.0},
      {"1e30", 1e30},
  };
  for (const Case &c : cases) {
    double e = -12345.0;
    EXPECT_EQ(zstr2epoch(c.text, &e), 0) << c.text;
    EXPECT_DOUBLE_EQ(e, c.epoch) << c.text;
    EXPECT_DOUBLE_EQ(str2epoch(c.text), c.epoch) << c.text;
  }
  EXPECT_EQ(elog_clear_register(0), 0);
}

TEST(Str2epoch, RefusesMalformedTexts) {
  const char *bad[] = {
      "",
      "   ",
      "abc",
      "1/1/00",
      "13/1/2000",
      "0/1/2000",
      "2/30/2000",
      "2/29/2100",
      "2005000",
      "2005366",
      "2005-01-10 24:00:00",
      "2005-01-10 12:60:00",
      "2005-01-10 12:00:61",
      "2005-01-10 12:00:00.",
      "1/10/2005 (011)",
      "1/10/2005 (010",
      "2005010:",
      "2005010:12",
      "2005-01-10T",
      "2005-01-1012:00:00",
      "1e999",
      "inf",
      "nan",
      "0x10",
      "--1",
      "1 2",
      "1.2.3",
      "e5",
      ".",
      "-",
      "2005-01-10 12:00:00 junk",
      "2005-01-10T12:00:00Z UTC",
      "12:00:00",
  };
  for (const char *text : bad) {
    double e = 42.0;
    EXPECT_NE(zstr2epoch(text, &e), 0) << text;
    EXPECT_EQ(e, 42.0) << "left unchanged: " << text;
    EXPECT_EQ(elog_mark(), 0) << "zstr2epoch registers nothing: " << text;
  }
  EXPECT_NE(zstr2epoch(nullptr, nullptr), 0);
  double e;
  EXPECT_NE(zstr2epoch(nullptr, &e), 0);
  EXPECT_NE(zstr2epoch("2005010", nullptr), 0);
}

TEST(Str2epoch, FailureRegistersTheTextAndGivesZero) {
  ElogCapture cap;
  EXPECT_EQ(str2epoch("2/30/2000"), 0.0);
  EXPECT_EQ(str2epoch(nullptr), 0.0);
  // A zone name is for zstr2epoch only.
  EXPECT_EQ(str2epoch("2005010 UTC"), 0.0);
  EXPECT_EQ(elog_mark(), 3);
  elog_complain(0, "caller\n");
  EXPECT_TRUE(cap.contains("str2epoch: can't read the time '2/30/2000'"));
  EXPECT_TRUE(cap.contains("str2epoch: can't read the time '2005010 UTC'"));
}

TEST(Epoch2str, FormatsFields) {
  struct Case {
    double epoch;
    const char *format;
    const char *text;
  } cases[] = {
      {0.0, "%Y%j %H:%M:%S", "1970001 00:00:00"},
      {k20050110 + 43200.5, "%Y%j %H:%M:%S.%s", "2005010 12:00:00.500"},
      {k20050110 + 45015.0, "%Y%j:%H:%M:%S", "2005010:12:30:15"},
      {k20050110 + 45015.0, "%Y%j:%T", "2005010:12:30:15"},
      {1230724800.0, "%Y%j", "2008366"},
      {1234567890.0, "%a %A %b %B %h %C %y %e %I %p %u %w %D %F %R",
       "Fri Friday Feb February Feb 20 09 13 11 PM 5 5 02/13/09 2009-02-13 23:31"},
      {1234567890.0, "%Z %z %% %q %n%t%", "UTC +0000 % %q \n\t%"},
      {1234567890.0, "", ""},
      {1234567890.0, "%%s", "%s"},
      {-2208988800.0, "%Y-%m-%d %H:%M:%S", "1900-01-01 00:00:00"},
      {2147483648.0, "%Y-%m-%d %H:%M:%S", "2038-01-19 03:14:08"},
      {4107542400.0 - 1.0, "%F %T", "2100-02-28 23:59:59"},
      {-62167219200.0, "%Y%j %T", "0000001 00:00:00"},
      {253402300799.0, "%F %T", "9999-12-31 23:59:59"},
      // Negative times take the floor: half a second before 1970.
      {-0.5, "%F %T.%s", "1969-12-31 23:59:59.500"},
      {-0.0004, "%F %T.%s", "1970-01-01 00:00:00.000"},
      {-0.0006, "%F %T.%s", "1969-12-31 23:59:59.999"},
      // With milliseconds the time rounds, carrying through minute, hour, day and year
      // (2010 ends on day 365, the leap year 2008 on day 366); without, it is cut.
      {1293840000.0 - 0.0004, "%Y%j %H:%M:%S.%s", "2011001 00:00:00.000"},
      {1230768000.0 - 0.0004, "%Y%j %H:%M:%S.%s", "2009001 00:00:00.000"},
      {1230768000.0 - 0.0006, "%Y%j %H:%M:%S.%s", "2008366 23:59:59.999"},
      {1293840000.0 - 0.0004, "%Y%j:%T", "2010365:23:59:59"},
      {k20050110 + 59.9996, "%H:%M:%S.%s", "00:01:00.000"},
      {k20050110 + 0.0005, "%S.%s", "00.001"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(take(epoch2str(c.epoch, c.format)), c.text) << c.format << " " << c.epoch;
  EXPECT_EQ(epoch2str(0.0, nullptr), nullptr);
}

TEST(Epoch2str, TimesOutsideTheCalendarAreWrittenAsNumbers) {
  struct Case {
    double epoch;
    const char *text;
  } cases[] = {
      {NAN, "nan"},
      {INFINITY, "inf"},
      {-INFINITY, "-inf"},
      {-62167219200.5, "-62167219200.500"},
      {253402300800.0, "253402300800.000"},
      {-1e12, "-1000000000000.000"},
      {1e30, "1e+30"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(take(epoch2str(c.epoch, "%Y%j %T")), c.text) << c.epoch;
    if (std::isfinite(c.epoch)) {
      EXPECT_DOUBLE_EQ(str2epoch(c.text), c.epoch) << c.text;
    }
  }
  // The last millisecond of 9999 rounds out of the calendar only when rounding.
  EXPECT_EQ(take(epoch2str(253402300799.9996, "%F %T.%s")), "253402300800.000");
  EXPECT_EQ(take(epoch2str(253402300799.9996, "%F %T")), "9999-12-31 23:59:59");
}

TEST(Epoch2str, FixedTextsReadBack) {
  const double times[] = {
      0.0,           946684800.0,    k20050110 + 45015.123,
      -0.5,          2147483648.25,  1230768000.0 - 0.0004,
      -2208988800.0, 253402300799.0, -9999999999.999};  // the null time of the databases
  for (double t : times) {
    const std::string a = take(strtime(t)), b = take(strydtime(t)), d = take(strdate(t));
    EXPECT_NEAR(str2epoch(a.c_str()), t, 0.0005) << a;
    EXPECT_NEAR(str2epoch(b.c_str()), t, 0.0005) << b;
    EXPECT_DOUBLE_EQ(str2epoch(d.c_str()), std::floor(t / 86400.0) * 86400.0) << d;
  }
  EXPECT_EQ(take(strtime(k20050110 + 45015.123)), "01/10/2005 12:30:15.123");
  EXPECT_EQ(take(strydtime(k20050110 + 45015.123)), "01/10/2005 (010) 12:30:15.123");
  EXPECT_EQ(take(strdate(k20050110 + 45015.123)), "01/10/2005");
  EXPECT_EQ(elog_clear_register(0), 0);
}

TEST(Strtdelta, PicksTheLargestUnit) {
  struct Case {
    double seconds;
    const char *text;
  } cases[] = {
      {0.0, "0 seconds"},        {0.5, "0.5 seconds"},      {1.0, "1 second"},
      {5.0, "5 seconds"},        {59.99999, "1 minute"},    {60.0, "1 minute"},
      {150.0, "2.5 minutes"},    {3600.0, "1 hour"},        {5400.0, "1.5 hours"},
      {86400.0 * 3, "3 days"},   {-30.0, "-30 seconds"},    {31557600.0 * 1.5, "1.5 years"},
      {1e30, "3.169e+22 years"}, {INFINITY, "inf seconds"}, {-1e-9, "-1e-09 seconds"},
  };
  for (const Case &c : cases) EXPECT_EQ(take(strtdelta(c.seconds)), c.text) << c.seconds;
}

TEST(Calendar, YeardayAndEpoch) {
  struct Case {
    int yd;
    double start;
  } cases[] = {
      {1970001, 0.0},
      {2005010, k20050110},
      {2004366, 1104451200.0},
      {2005366, 1136073600.0},              // past the end of 2005: January 1, 2006
      {2005000, k20050110 - 10 * 86400.0},  // day 0: December 31, 2004
      {1900001, -2208988800.0},
      {2038019, 2147472000.0},
  };
  for (const Case &c : cases) EXPECT_DOUBLE_EQ(epoch(c.yd), c.start) << c.yd;
  EXPECT_EQ(yearday(k20050110 + 86399.9), 2005010);
  EXPECT_EQ(yearday(-0.5), 1969365);
  EXPECT_EQ(yearday(1230724800.0), 2008366);
  EXPECT_EQ(yearday(2147483648.0), 2038019);
  EXPECT_EQ(yearday(NAN), -1);
  EXPECT_EQ(yearday(1e30), -1);
  EXPECT_EQ(yearday(-1e12), -1);
}

TEST(Calendar, SplitsAndJoins) {
  struct Case {
    double epoch;
    int year, doy, hour, minute;
    double second;
  } cases[] = {
      {k20050110 + 45015.125, 2005, 10, 12, 30, 15.125},
      {-0.5, 1969, 365, 23, 59, 59.5},
      {1230768000.0 - 1.0, 2008, 366, 23, 59, 59.0},
      {2147483648.0, 2038, 19, 3, 14, 8.0},
      {-2208988800.0, 1900, 1, 0, 0, 0.0},
  };
  for (const Case &c : cases) {
    int y = -1, d = -1, h = -1, m = -1;
    double s = -1;
    EXPECT_EQ(e2h(c.epoch, &y, &d, &h, &m, &s), 0);
    EXPECT_EQ(y, c.year) << c.epoch;
    EXPECT_EQ(d, c.doy) << c.epoch;
    EXPECT_EQ(h, c.hour) << c.epoch;
    EXPECT_EQ(m, c.minute) << c.epoch;
    EXPECT_DOUBLE_EQ(s, c.second) << c.epoch;
    EXPECT_DOUBLE_EQ(h2e(c.year, c.doy, c.hour, c.minute, c.second), c.epoch);
  }
  // A hair below the next minute would round to a full minute in the subtraction: the
  // fields stay those of the minute the time is in.
  int y, d, h, m;
  double s;
  EXPECT_EQ(e2h(-1e-20, &y, &d, &h, &m, &s), 0);
  EXPECT_EQ(y * 1000 + d, yearday(-1e-20));
  EXPECT_EQ(h * 100 + m, 2359);
  EXPECT_LT(s, 60.0);
  EXPECT_EQ(e2h(NAN, &y, &d, &h, &m, &s), -1);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(e2h(1e30, &y, &d, &h, &m, &s), -1);
  // h2e counts every field on linearly.
  EXPECT_DOUBLE_EQ(h2e(2005, 366, 0, 0, 0), 1136073600.0);
  EXPECT_DOUBLE_EQ(h2e(2005, 10, 25, -60, 0), k20050110 + 86400.0);
  EXPECT_TRUE(std::isfinite(h2e(2147483647, 2147483647, 2147483647, 2147483647, 0)));
  EXPECT_TRUE(std::isfinite(h2e(-2147483647 - 1, -2147483647 - 1, 0, 0, 0)));
}

TEST(Calendar, MonthDays) {
  struct Case {
    int year, month, mday, doy;
  } cases[] = {
      {2005, 1, 10, 10}, {2005, 3, 1, 60},    {2004, 3, 1, 61},  {2000, 12, 31, 366},
      {1900, 3, 1, 60},  {2005, 12, 31, 365}, {2004, 2, 29, 60},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(mday2doy(c.year, c.month, c.mday), c.doy) << c.year << "-" << c.month;
    int m = 0, d = 0;
    EXPECT_EQ(doy2mday(c.doy, c.year, &m, &d), 0);
    EXPECT_EQ(m, c.month);
    EXPECT_EQ(d, c.mday);
  }
  EXPECT_EQ(mday2doy(2005, 2, 30), 61);  // counts on into March
  EXPECT_EQ(mday2doy(2005, 0, 1), -1);
  EXPECT_EQ(mday2doy(2005, 13, 1), -1);
  EXPECT_EQ(mday2doy(2005, 12, 2147483647), 2147483647);
  int m = 7, d = 7;
  EXPECT_EQ(doy2mday(366, 2005, &m, &d), -1);
  EXPECT_EQ(doy2mday(0, 2005, &m, &d), -1);
  EXPECT_EQ(m, 7);
  EXPECT_EQ(doy2mday(366, 2004, &m, &d), 0);
  EXPECT_EQ(m * 100 + d, 1231);
}

}  // namespace

TEST(Zones, ReadAndWriteLocalTimes) {
  ZoneDir zd;
  add_test_zones(zd);
  struct Case {
    const char *text;
    double utc;
    const char *printed;  // zepoch2str(utc, "%F %T %Z %z", zone)
    const char *zone;
  } cases[] = {
      {"2005-01-10 12:00:00 Test/East", 1105376400, "2005-01-10 12:00:00 TST -0500", 0},
      {"2005-07-10 12:00:00 Test/East", 1121011200, "2005-07-10 12:00:00 TDT -0400", 0},
      // 02:30 does not exist on the spring day: read with the offset before the change.
      {"2005-04-03 02:30:00 Test/East", 1112513400, "2005-04-03 03:30:00 TDT -0400", 0},
      // 01:30 occurs twice on the autumn day: the earlier one.
      {"2005-10-30 01:30:00 Test/East", 1130650200, "2005-10-30 01:30:00 TDT -0400", 0},
      // Past the table the rule text decides (April 7 and October 27, 2030).
      {"2030-04-07 01:59:59 Test/East", 1901775599, "2030-04-07 01:59:59 TST -0500", 0},
      {"2030-04-07 03:00:00 Test/East", 1901775600, "2030-04-07 03:00:00 TDT -0400", 0},
      {"2030-10-27 00:59:59 Test/East", 1919307599, "2030-10-27 00:59:59 TDT -0400", 0},
      {"2030-10-27 02:00:00 Test/East", 1919314800, "2030-10-27 02:00:00 TST -0500", 0},
      {"1999-01-01 00:00:00.25 Test/Old", 915145200.25, "1999-01-01 00:00:00 OLD +0100", 0},
      {"2100-07-01 12:00:00 Test/Old", 4118119200, "2100-07-01 12:00:00 NEW +0200", 0},
      {"2020-01-15 12:00:00 Test/South", 1579050000, "2020-01-15 12:00:00 AEDT +1100", 0},
      {"2020-07-15 12:00:00 Test/South", 1594778400, "2020-07-15 12:00:00 AEST +1000", 0},
      {"2004-02-29 12:00:00 Test/Jul", 1078052400, "2004-02-29 12:00:00 ABC +0100", 0},
      {"2004-03-01 12:00:00 Test/Jul", 1078135200, "2004-03-01 12:00:00 DEF +0200", 0},
      {"2005-03-01 12:00:00 Test/Jul", 1109671200, "2005-03-01 12:00:00 DEF +0200", 0},
      {"2005-03-01 12:00:00 Test/Day", 1109674800, "2005-03-01 12:00:00 ABC +0100", 0},
      {"2005-03-02 12:00:00 Test/Day", 1109757600, "2005-03-02 12:00:00 DEF +0200", 0},
      {"2005010 12:00:00 Test/Quoted", 1105338600, "2005-01-10 12:00:00 +0530 +0530", 0},
      {"1/10/2005 12:00:00 utc", 1105358400, "2005-01-10 12:00:00 UTC +0000", "UTC"},
      {"2005-01-10T12:00:00 GMT", 1105358400, "2005-01-10 12:00:00 GMT +0000", "GMT"},
      {"1105358400 UTC", 1105358400, "2005-01-10 12:00:00 UTC +0000", ""},
  };
  for (const Case &c : cases) {
    double e = 0;
    ASSERT_EQ(zstr2epoch(c.text, &e), 0) << c.text;
    EXPECT_DOUBLE_EQ(e, c.utc) << c.text;
    std::string zone = c.zone ? c.zone : strrchr(c.text, ' ') + 1;
    EXPECT_EQ(take(zepoch2str(c.utc, "%F %T %Z %z", zone.c_str())), c.printed) << c.text;
  }
  // The hour after the repeated 01:30 prints in standard time.
  EXPECT_EQ(take(zepoch2str(1130653800, "%F %T %Z", "Test/East")), "2005-10-30 01:30:00 TST");
  EXPECT_EQ(take(zepoch2str(1130653800, "%F %T %Z", nullptr)), "2005-10-30 06:30:00 UTC");
  // Rounding to milliseconds happens before the zone's offset is applied.
  EXPECT_EQ(take(zepoch2str(1112511600 - 0.0004, "%T.%s %Z", "Test/East")), "03:00:00.000 TDT");
  EXPECT_EQ(elog_mark(), 0);
}

TEST(Zones, RefusesUnknownNamesAndBadFiles) {
  ZoneDir zd;
  add_test_zones(zd);
  const std::string good = zone_file(east_zone());
  auto with = [&](size_t at, char byte) {
    std::string s = good;
    s[at] = byte;
    return s;
  };
  ZoneSpec leap = east_zone();
  leap.leapcnt = 1;
  ZoneSpec order = east_zone();
  order.times = {1130652000, 1112511600};
  ZoneSpec badrule = east_zone();
  badrule.rule = "TST5TDT,M13.1.0,M10.5.0";
  ZoneSpec index = east_zone();
  index.indices = {1, 5};
  ZoneSpec wide = east_zone();
  wide.types[0].utoff = 30 * 3600;
  struct File {
    const char *name;
    std::string bytes;
  } files[] = {
      {"Bad/Empty", ""},
      {"Bad/Magic", with(3, 'X')},
      {"Bad/Short", good.substr(0, 60)},
      {"Bad/NoRule", good.substr(0, good.size() - 1)},
      {"Bad/Index", zone_file(index)},
      {"Bad/Leap", zone_file(leap)},
      {"Bad/Order", zone_file(order)},
      {"Bad/RuleText", zone_file(badrule)},
      {"Bad/Offset", zone_file(wide)},
  };
  for (const File &f : files) zd.add(f.name, f.bytes);
  std::vector<std::string> names = {"Test/Nowhere", "Test",       "/Test/East",
                                    "Test//East",   "Test/East/", "Test/../Test/East",
                                    "Test/.East",   "-x",         "Test/East;"};
  for (const File &f : files) names.push_back(f.name);
  ElogCapture cap;
  for (const std::string &name : names) {
    double e = 7;
    EXPECT_NE(zstr2epoch(("2005-01-10 12:00:00 " + name).c_str(), &e), 0) << name;
    EXPECT_EQ(e, 7);
    EXPECT_EQ(zepoch2str(0, "%T", name.c_str()), nullptr) << name;
  }
  EXPECT_EQ(elog_mark(), (int)names.size());
  elog_clear_register(1);
  EXPECT_TRUE(cap.contains("zepoch2str: can't read the time zone 'Test/Nowhere'"));
  // A plain number is UTC already: a zone with an offset cannot apply to it.
  double e = 7;
  EXPECT_NE(zstr2epoch("1105358400 Test/East", &e), 0);
  // The zone name must be separate and come last.
  EXPECT_NE(zstr2epoch("2005-01-10 12:00:00Test/East", &e), 0);
  EXPECT_NE(zstr2epoch("2005-01-10 12:00:00 Test/East x", &e), 0);
  EXPECT_NE(zstr2epoch("2005-01-10 Test/East 12:00:00", &e), 0);
  EXPECT_EQ(e, 7);
  // A date alone may take a zone.
  EXPECT_EQ(zstr2epoch("2005-01-10 Test/East", &e), 0);
  EXPECT_DOUBLE_EQ(e, k20050110 + 5 * 3600);
}

// The machine's own zone files, where it has them.
TEST(Zones, SystemZoneFiles) {
  const char *old = getenv("TZDIR");
  std::string saved = old ? old : "";
  unsetenv("TZDIR");
  FILE *f = fopen("/usr/share/zoneinfo/America/New_York", "rb");
  if (!f) {
    if (old) setenv("TZDIR", saved.c_str(), 1);
    GTEST_SKIP() << "no /usr/share/zoneinfo";
  }
  fclose(f);
  struct Case {
    const char *text;
    double utc;
  } cases[] = {
      {"2005-01-10 12:00:00 America/New_York", 1105376400},
      {"2005-07-10 12:00:00 America/New_York", 1121011200},
      {"2100-07-01 12:00:00 America/New_York", 4118140800},
      {"2020-01-15 12:00:00 Australia/Sydney", 1579050000},
      {"2020-07-15 12:00:00 Australia/Sydney", 1594778400},
      {"2005-03-27 02:30:00 Europe/Berlin", 1111887000},
      {"2005-01-10 12:00:00 Asia/Kolkata", 1105338600},
  };
  for (const Case &c : cases) {
    double e = 0;
    EXPECT_EQ(zstr2epoch(c.text, &e), 0) << c.text;
    EXPECT_DOUBLE_EQ(e, c.utc) << c.text;
  }
  EXPECT_EQ(take(zepoch2str(1105338600, "%H:%M %z", "Asia/Kolkata")), "12:00 +0530");
  EXPECT_EQ(take(zepoch2str(1121011200, "%H:%M %Z", "America/New_York")), "12:00 EDT");
  if (old) setenv("TZDIR", saved.c_str(), 1);
}
