// timetext_zones.h - compiled zone files written by the tests, so that zone tests do not
// depend on the machine's zone folder.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testkit/testkit.h"

struct FixType {
  int32_t utoff;
  bool dst;
  const char *abbr;
};

struct ZoneSpec {
  char version = '2';  // '\0' writes a version 1 file (32-bit times, no rule text)
  std::vector<int64_t> times;
  std::vector<uint8_t> indices;
  std::vector<FixType> types;
  std::string rule;
  uint32_t leapcnt = 0;
};

inline void put_be(std::string &out, uint64_t v, int bytes) {
  for (int k = bytes - 1; k >= 0; --k) out += (char)((v >> (8 * k)) & 0xff);
}

inline std::string zone_block(const ZoneSpec &z, int tsize, std::string &header) {
  std::string chars, block;
  std::vector<uint8_t> desig;
  for (const FixType &t : z.types) {
    desig.push_back((uint8_t)chars.size());
    chars += t.abbr;
    chars += '\0';
  }
  header = "TZif";
  header += z.version;
  header.append(15, '\0');
  const uint32_t counts[6] = {
      0, 0, z.leapcnt, (uint32_t)z.times.size(), (uint32_t)z.types.size(), (uint32_t)chars.size()};
  for (uint32_t c : counts) put_be(header, c, 4);
  for (int64_t t : z.times) put_be(block, (uint64_t)t, tsize);
  for (uint8_t ix : z.indices) block += (char)ix;
  for (size_t k = 0; k < z.types.size(); ++k) {
    put_be(block, (uint32_t)z.types[k].utoff, 4);
    block += (char)z.types[k].dst;
    block += (char)desig[k];
  }
  block += chars;
  block.append((size_t)z.leapcnt * (tsize + 4), '\0');
  return block;
}

inline std::string zone_file(const ZoneSpec &z) {
  std::string h1, h2;
  std::string out = zone_block(z, 4, h1);
  out.insert(0, h1);
  if (z.version == '\0') return out;
  const std::string b2 = zone_block(z, 8, h2);
  return out + h2 + b2 + "\n" + z.rule + "\n";
}

// A folder of zone files named by TZDIR while it lives.
class ZoneDir {
 public:
  ZoneDir() {
    const char *old = getenv("TZDIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZDIR", dir_.path().c_str(), 1);
  }
  ~ZoneDir() {
    if (had_)
      setenv("TZDIR", old_.c_str(), 1);
    else
      unsetenv("TZDIR");
  }
  void add(const std::string &name, const std::string &bytes) {
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) mkdir(dir_.file(name.substr(0, slash)).c_str(), 0755);
    dir_.write(name, bytes);
  }

 private:
  TempDir dir_;
  bool had_ = false;
  std::string old_;
};

// Standard time 5 hours west of UTC, summer time 4 hours west: a table for 2005, then
// the rule of the first Sunday of April to the last Sunday of October.
inline ZoneSpec east_zone() {
  ZoneSpec z;
  z.times = {1112511600, 1130652000};  // 2005-04-03 07:00Z, 2005-10-30 06:00Z
  z.indices = {1, 0};
  z.types = {{-18000, false, "TST"}, {-14400, true, "TDT"}};
  z.rule = "TST5TDT,M4.1.0,M10.5.0";
  return z;
}

inline void add_test_zones(ZoneDir &zd) {
  zd.add("Test/East", zone_file(east_zone()));
  ZoneSpec old;  // version 1: one change, no rule afterwards
  old.version = '\0';
  old.times = {1000000000};
  old.indices = {1};
  old.types = {{3600, false, "OLD"}, {7200, false, "NEW"}};
  zd.add("Test/Old", zone_file(old));
  ZoneSpec south;  // rule only, summer across the turn of the year
  south.types = {{36000, false, "AEST"}};
  south.rule = "AEST-10AEDT,M10.1.0,M4.1.0/3";
  zd.add("Test/South", zone_file(south));
  ZoneSpec jul = south;  // March 1 in every year (J60) to day 300
  jul.types = {{3600, false, "ABC"}};
  jul.rule = "ABC-1DEF,J60/0,J300/0";
  zd.add("Test/Jul", zone_file(jul));
  ZoneSpec day = jul;  // zero-based day 60: March 2 in common years
  day.rule = "ABC-1DEF,60/0,300/0";
  zd.add("Test/Day", zone_file(day));
  ZoneSpec quoted = south;
  quoted.types = {{19800, false, "+0530"}};
  quoted.rule = "<+0530>-5:30";
  zd.add("Test/Quoted", zone_file(quoted));
}
