// calibfixture.h - a site database of the "css3.0" schema in a temporary directory for
// the calibration lookup tests: tables written from rows of field texts, replaced
// whole (a new file renamed over the old) and dated to the nanosecond.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/timetext.h"
#include "dbfixture.h"
#include "reldb/pktchannelcalib.h"

using Rows = std::vector<std::vector<std::string>>;

// A time as the text of a Time field.
inline std::string tt(double t) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.5f", t);
  return buf;
}

class SiteDb {
 public:
  SiteDb() {
    clear_db_env();
    setenv("SCHEMA_DIR", RELDB_DATA, 1);
    // Rows are rendered through a scratch database of its own, so that the database
    // under test is opened by nobody but the lookup.
    scratch = dbtmp("css3.0");
    path = dir.write("sites", "css3.0\n");
  }
  ~SiteDb() {
    if (scratch.database >= 0) RVdbclose(scratch);
    unsetenv("SCHEMA_DIR");
  }
  bool ok() const { return scratch.database >= 0; }
  std::string file(const std::string &table) const { return dir.file("sites." + table); }
  // Replaces the table file with the rows, dated `mtime` (seconds) when given.
  void table(const std::string &name, const Rows &rows, double mtime = 0.0) const {
    std::string text;
    for (const auto &r : rows) text += record(scratch, name.c_str(), r);
    std::string tmp = dir.write("sites." + name + ".new", text);
    rename(tmp.c_str(), file(name).c_str());
    if (mtime > 0.0) date(file(name), mtime);
  }
  static void date(const std::string &path, double mtime) {
    struct timespec ts[2];
    ts[0].tv_sec = ts[1].tv_sec = (time_t)mtime;
    ts[0].tv_nsec = ts[1].tv_nsec = (long)((mtime - (double)(time_t)mtime) * 1e9);
    utimensat(AT_FDCWD, path.c_str(), ts, 0);
  }

  TempDir dir;
  std::string path;
  Dbptr scratch = {-1, dbALL, dbALL, dbALL};
};

// The outputs of one pktchannelcalib_get.
struct Answer {
  int bits = -2;
  std::string css_sta, css_chan, rsptype;
  double lat = 0, lon = 0, elev = 0, calib = 0, calper = 0;
  Response *response = nullptr;
};

inline Answer ask(PktChannelCalib *h, const char *net, const char *sta, const char *chan,
                  const char *loc, double time, int check_db = 0, bool want_chan = true) {
  Answer a;
  char css_sta[CSS_NAME_SIZE] = "", css_chan[CSS_NAME_SIZE] = "", rsptype[8] = "";
  a.bits = pktchannelcalib_get(h, net, sta, chan, loc, time, check_db, css_sta,
                               want_chan ? css_chan : nullptr, &a.lat, &a.lon, &a.elev, &a.calib,
                               &a.calper, rsptype, &a.response);
  a.css_sta = css_sta;
  a.css_chan = css_chan;
  a.rsptype = rsptype;
  return a;
}
