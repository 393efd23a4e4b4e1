// pktchannelcalib.cpp - the calibration lookup (see pktchannelcalib.h).
//
// Each view of an entry (station; sensor and calibration of a channel) is recomputed
// when the wanted time leaves its window or, with check_db, when a table file it reads
// is newer than when it was computed. Without check_db the marker time 1.0 stands for
// "the table as it was": later than a new entry's 0.0 (so a new entry reopens and
// computes once) and earlier than any real file time. A table file that is not found
// counts as the marker itself, so that a missing file does not reopen the database on
// every call.
//
// The station and calibration views read the records a subset would hold, in table
// order, without making a view; the sensor view is a subset joined with instrument.
// Every recomputation reads into locals first and changes the entry only when all of
// it worked: a failed call leaves the cache as it was.
#include "reldb/pktchannelcalib.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <new>

#include "base/arr.h"
#include "base/elog.h"
#include "base/timetext.h"
#include "reldb/dbinternal.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

namespace {

std::mutex Calib_mutex;

constexpr double kNone = -1e30;  // a value the database did not give
constexpr double kOpen = 1e30;   // an open window end
constexpr double kMarker = 1.0;  // table time of "unchanged", without check_db

double seconds(const struct timespec &t) { return (double)t.tv_sec + t.tv_nsec * 1e-9; }

void close_db(PktChannelCalib *h) {
  if (h->db.database >= 0) RVdbclose(h->db);
  dbinvalid(&h->db);
}

// Opens the database anew. 0, or -1 with the database left closed and nothing logged.
int reopen_quiet(PktChannelCalib *h) {
  close_db(h);
  Dbptr db;
  if (RVdbopen(h->dbname.c_str(), "r+", &db) != 0) return -1;
  h->db = db;
  finit_db(h->db);
  return 0;
}

int reopen(PktChannelCalib *h) {
  if (reopen_quiet(h) == 0) return 0;
  elog_log(0, "pktchannelcalib_get: dbopen(%s) error.\n", h->dbname.c_str());
  return -1;
}

// The database open, reopening it when an earlier reopen failed. 0 or -1 (logged).
int ensure_open(PktChannelCalib *h) { return h->db.database >= 0 ? 0 : reopen(h); }

double modtime_locked(PktChannelCalib *h, const char *table) {
  struct stat st;
  if (stat(h->dbname.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    h->dbpath.clear();
  } else if (seconds(st.st_mtim) > h->mod_time) {
    h->mod_time = seconds(st.st_mtim);
    if (reopen_quiet(h) != 0) {
      elog_clear_register(1);
    } else {
      char *dbpath = nullptr;
      Dbptr all = {h->db.database, dbALL, dbALL, dbALL};
      if (dbquery(all, dbDBPATH, &dbpath) == 0 && dbpath)
        h->dbpath = dbpath;
      else
        h->dbpath.clear();
    }
  }
  struct stat table_st;
  if (my_find_path(h->dbname.c_str(), table, h->dbpath.c_str(), &table_st) != 0) return 0.0;
  return seconds(table_st.st_mtim);
}

// The table time of a view made of `tables`: with check_db the latest file time, else
// the marker.
double view_time(PktChannelCalib *h, std::initializer_list<const char *> tables, int check_db) {
  if (!check_db) return kMarker;
  double m = 0.0;
  for (const char *t : tables) m = std::max(m, modtime_locked(h, t));
  return m;
}

// Whether a view computed from table time `mod_time` over [start, end] must be computed
// anew for table time m and `time`; on the way the database is reopened when the
// table is newer, and *m becomes the time to store (the file time for the marker; a
// file that is not found is the marker itself). -1 when the reopen failed.
int must_recompute(PktChannelCalib *h, std::initializer_list<const char *> tables, double *m,
                   double mod_time, double start, double end, double time) {
  bool newer = *m > mod_time;
  if (!newer && time >= start && time <= end) return 0;
  if (newer) {
    if (reopen(h) < 0) return -1;
    if (*m == kMarker) *m = std::max(view_time(h, tables, 1), kMarker);
  } else {
    *m = mod_time;
  }
  return ensure_open(h) < 0 ? -1 : 1;
}

// The name between quotes it does not contain: "name" or 'name'. False for a name that
// holds both kinds of quote or a newline, which no expression can carry.
bool quoted(const char *name, std::string *out) {
  if (strchr(name, '\n')) return false;
  char q = !strchr(name, '"') ? '"' : !strchr(name, '\'') ? '\'' : '\0';
  if (!q) return false;
  *out = std::string(1, q) + name + q;
  return true;
}

struct Span {
  double start, end;
};

// The window in which "no row" holds for `time`: from just after the end of the last
// row before it to just before the start of the first row after it.
Span gap(const std::vector<Span> &rows, double time) {
  double lo = kNone, hi = kOpen;
  for (const Span &r : rows) {
    if (r.end < time) lo = std::max(lo, r.end);
    if (r.start > time) hi = std::min(hi, r.start);
  }
  return {lo == kNone ? kNone : std::nextafter(lo, kOpen),
          hi == kOpen ? kOpen : std::nextafter(hi, kNone)};
}

// Records of `table` for which the expression holds, in table order (what a subset
// view would hold, without making one). 0, or dbINVALID.
int subset_rows(PktChannelCalib *h, const char *table, const std::string &expression,
                std::vector<int> *records, Dbptr *t) {
  *t = dblookup(h->db, nullptr, table, nullptr, nullptr);
  if (t->table < 0) return dbINVALID;
  return dbsubset_records(*t, expression.c_str(), records);
}

// A site row covers the days ondate through offdate, to the end of offdate's day; a
// null (or not positive) offdate leaves it open.
Span site_span(int ondate, int offdate) {
  double start = ondate <= 0 ? kNone : epoch(ondate);
  double end = offdate <= 0 ? kOpen : std::nextafter(epoch(offdate) + 86400.0, kNone);
  return {start, end};
}

// A sensor or calibration row covers time through endtime; an endtime null or not
// positive leaves it open.
Span time_span(double t0, double t1) { return {t0, t1 <= 0.0 ? kOpen : t1}; }

int station_view(PktChannelCalib *h, Stastuff *s, double time, int check_db) {
  double m = view_time(h, {"site"}, check_db);
  int rc = must_recompute(h, {"site"}, &m, s->site_mod_time, s->site_time, s->site_endtime, time);
  if (rc <= 0) return rc;

  std::string name;
  quoted(s->sta, &name);
  int day = yearday(time);
  char cond[128];
  snprintf(cond, sizeof cond, " && ondate <= %d && (offdate <= 0 || offdate >= %d)", day, day);
  std::vector<int> rows;
  Dbptr site;
  if (subset_rows(h, "site", "sta == " + name + cond, &rows, &site) < 0) {
    elog_log(0, "pktchannelcalib_get: dbsubset(site) error for %s.\n", s->sta);
    return -1;
  }
  Stastuff v = *s;
  v.lat = v.lon = v.elev = kNone;
  if (rows.empty()) {
    std::vector<int> all;
    if (subset_rows(h, "site", "sta == " + name, &all, &site) < 0) {
      elog_log(0, "pktchannelcalib_get: dbsubset(site) error for %s.\n", s->sta);
      return -1;
    }
    std::vector<Span> spans;
    for (int r : all) {
      site.record = r;
      int on, off;
      if (dbgetv(site, nullptr, "ondate", &on, "offdate", &off, nullptr) < 0) {
        elog_log(0, "pktchannelcalib_get: dbgetv(site) error for %s.\n", s->sta);
        return -1;
      }
      spans.push_back(site_span(on, off));
    }
    Span g = gap(spans, time);
    v.site_time = g.start;
    v.site_endtime = g.end;
  } else {
    site.record = rows[0];
    int on, off;
    if (dbgetv(site, nullptr, "lat", &v.lat, "lon", &v.lon, "elev", &v.elev, "ondate", &on,
               "offdate", &off, nullptr) < 0) {
      elog_log(0, "pktchannelcalib_get: dbgetv(site) error for %s.\n", s->sta);
      return -1;
    }
    Span w = site_span(on, off);
    v.site_time = w.start;
    v.site_endtime = w.end;
  }
  v.site_mod_time = m;
  *s = v;
  return 0;
}

// Views made for one query, dropped when it ends whichever way.
class Views {
 public:
  Views() = default;
  Views(const Views &) = delete;
  Views &operator=(const Views &) = delete;
  ~Views() {
    for (auto it = views_.rbegin(); it != views_.rend(); ++it) dbfree(*it);
  }
  Dbptr keep(Dbptr view) {
    if (view.table >= 0) views_.push_back(view);
    return view;
  }

 private:
  std::vector<Dbptr> views_;
};

// The spans of the rows of `table` for the channel, for the gap around a time that no
// row covers.
int channel_spans(PktChannelCalib *h, const char *table, const std::string &who,
                  std::vector<Span> *spans) {
  std::vector<int> all;
  Dbptr t;
  if (subset_rows(h, table, who, &all, &t) < 0) return -1;
  for (int r : all) {
    t.record = r;
    double t0, t1;
    if (dbgetv(t, nullptr, "time", &t0, "endtime", &t1, nullptr) < 0) return -1;
    spans->push_back(time_span(t0, t1));
  }
  return 0;
}

// The condition that names the channel, and the one that adds the time.
std::string channel_condition(const Stastuff *s, const Chanstuff *c) {
  std::string sta, chan;
  quoted(s->sta, &sta);
  quoted(c->chan, &chan);
  return "sta == " + sta + " && chan == " + chan;
}

std::string time_condition(double time) {
  char cond[128];
  snprintf(cond, sizeof cond, " && time <= %f && (endtime <= 0.0 || endtime >= %f)", time, time);
  return cond;
}

// The response the instrument part of a joined row names, into v->response: the response `old`
// holds when it was read from the same file with the same time, else one read anew. A file that
// cannot be found, opened or read leaves none.
void load_response(PktChannelCalib *h, Dbptr row, const Chanstuff &old, Chanstuff *v) {
  v->response = nullptr;
  std::string path(PATH_MAX + 1, '\0');
  if (dbextfile(row, "instrument", &path[0]) != 1) return;
  path.resize(strlen(path.c_str()));
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return;
  struct stat st;
  if (fstat(fileno(f), &st) != 0) {
    fclose(f);
    return;
  }
  if (old.response && old.response_path == path && old.response_mtime.tv_sec == st.st_mtim.tv_sec &&
      old.response_mtime.tv_nsec == st.st_mtim.tv_nsec) {
    fclose(f);
    v->response = old.response;
    return;
  }
  Response *r = nullptr;
  read_response(f, &r);
  fclose(f);
  if (!r) return;
  h->responses.push_back(r);
  v->response = r;
  v->response_path = path;
  v->response_mtime = st.st_mtim;
}

int sensor_view(PktChannelCalib *h, const Stastuff *s, Chanstuff *c, double time, int check_db) {
  double m = view_time(h, {"sensor", "instrument"}, check_db);
  int rc = must_recompute(h, {"sensor", "instrument"}, &m, c->sensor_mod_time, c->sensor_time,
                          c->sensor_endtime, time);
  if (rc <= 0) return rc;

  std::string who = channel_condition(s, c);
  Dbptr sensor = dblookup(h->db, nullptr, "sensor", nullptr, nullptr);
  Dbptr instrument = dblookup(h->db, nullptr, "instrument", nullptr, nullptr);
  if (sensor.table < 0 || instrument.table < 0) {
    elog_log(0, "pktchannelcalib_get: dblookup(sensor, instrument) error for %s %s.\n", s->sta,
             c->chan);
    return -1;
  }
  // The channel's sensor rows joined with their instruments; the join finds its own
  // keys (sensor's foreign key inid).
  Views views;
  Dbptr sub = views.keep(dbsubset(sensor, (who + time_condition(time)).c_str(), nullptr));
  Dbptr join = sub.table < 0
                   ? sub
                   : views.keep(dbjoin(sub, instrument, nullptr, nullptr, 0, nullptr, nullptr));
  int count = join.table < 0 ? dbINVALID : dbquery(join, dbRECORD_COUNT, nullptr);
  if (count < 0) {
    elog_log(0, "pktchannelcalib_get: dbjoin(sensor, instrument) error for %s %s.\n", s->sta,
             c->chan);
    return -1;
  }

  Chanstuff v = *c;
  v.rsptype[0] = '\0';
  v.response = nullptr;
  if (count == 0) {
    std::vector<Span> spans;
    if (channel_spans(h, "sensor", who, &spans) < 0) {
      elog_log(0, "pktchannelcalib_get: dbgetv(sensor time-endtime) error for %s %s.\n", s->sta,
               c->chan);
      return -1;
    }
    Span g = gap(spans, time);
    v.sensor_time = g.start;
    v.sensor_endtime = g.end;
  } else {
    join.record = 0;
    if (h->need_calib) {
      Dbptr f = dblookup(instrument, nullptr, nullptr, "rsptype", nullptr);
      int size = dbquery(f, dbFIELD_SIZE, nullptr);
      std::vector<char> buf((size_t)(size > 0 ? size : 0) + 1, '\0');
      if (size < 0 || dbgetv(join, nullptr, "rsptype", buf.data(), nullptr) < 0) {
        elog_log(0, "pktchannelcalib_get: dbgetv(rsptype) error for %s %s.\n", s->sta, c->chan);
        return -1;
      }
      std::string text(buf.data());
      while (!text.empty() && text.back() == ' ') text.pop_back();
      snprintf(v.rsptype, sizeof v.rsptype, "%s", text.c_str());
    }
    if (h->need_response) load_response(h, join, *c, &v);
    double t0, t1;
    if (dbgetv(join, nullptr, "sensor.time", &t0, "sensor.endtime", &t1, nullptr) < 0) {
      elog_log(0, "pktchannelcalib_get: dbgetv(sensor time-endtime) error for %s %s.\n", s->sta,
               c->chan);
      return -1;
    }
    Span w = time_span(t0, t1);
    v.sensor_time = w.start;
    v.sensor_endtime = w.end;
  }
  v.sensor_mod_time = m;
  *c = v;
  return 0;
}

int calibration_view(PktChannelCalib *h, const Stastuff *s, Chanstuff *c, double time,
                     int check_db) {
  double m = view_time(h, {"calibration"}, check_db);
  int rc = must_recompute(h, {"calibration"}, &m, c->calibration_mod_time, c->calibration_time,
                          c->calibration_endtime, time);
  if (rc <= 0) return rc;

  std::string who = channel_condition(s, c);
  std::vector<int> rows;
  Dbptr cal;
  if (subset_rows(h, "calibration", who + time_condition(time), &rows, &cal) < 0) {
    elog_log(0, "pktchannelcalib_get: dbgetv(calibration) error for %s %s.\n", s->sta, c->chan);
    return -1;
  }
  Chanstuff v = *c;
  v.calib = v.calper = kNone;
  Span w;
  if (rows.empty()) {
    std::vector<Span> spans;
    if (channel_spans(h, "calibration", who, &spans) < 0) {
      elog_log(0, "pktchannelcalib_get: dbgetv(calibration) error for %s %s.\n", s->sta, c->chan);
      return -1;
    }
    w = gap(spans, time);
  } else {
    cal.record = rows[0];
    double t0, t1;
    if (dbgetv(cal, nullptr, "calib", &v.calib, "calper", &v.calper, "time", &t0, "endtime", &t1,
               nullptr) < 0) {
      elog_log(0, "pktchannelcalib_get: dbgetv(calibration) error for %s %s.\n", s->sta, c->chan);
      return -1;
    }
    w = time_span(t0, t1);
  }
  v.calibration_time = w.start;
  v.calibration_endtime = w.end;
  v.calibration_mod_time = m;
  *c = v;
  return 0;
}

void free_entry(void *p) { delete static_cast<Stastuff *>(p); }
void free_channel(void *p) { delete static_cast<Chanstuff *>(p); }

}  // namespace

int mychkpath(const char *path, struct stat *status) {
  struct stat st;
  if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  *status = st;
  return 0;
}

int my_find_path(const char *dbname, const char *table, const char *dbpath, struct stat *status) {
  std::string path;
  if (find_path(dbname, table, dbpath, &path) != 0) return -1;
  return mychkpath(path.c_str(), status);
}

int db_table_exists(Dbptr db, const char *name) {
  Dbptr t = dblookup(db, nullptr, name, nullptr, nullptr);
  if (t.table < 0) {
    elog_log(0, "db_table_exists: Cannot lookup table '%s'.\n", name);
    return -1;
  }
  char *file = nullptr;
  if (dbquery(t, dbTABLE_FILENAME, &file) < 0 || !file) {
    elog_log(0, "db_table_exists: Cannot lookup table '%s'.\n", name);
    return -1;
  }
  if (access(file, F_OK) != 0) {
    elog_log(0, "db_table_exists: Table '%s' file %s does not exist.\n", name, file);
    return 0;
  }
  if (access(file, R_OK) != 0) {
    elog_log(0, "db_table_exists: Table '%s' file %s cannot be read.\n", name, file);
    return 0;
  }
  return 1;
}

double getmodtime(PktChannelCalib *handle, const char *table) {
  std::lock_guard<std::mutex> lock(Calib_mutex);
  return modtime_locked(handle, table);
}

PktChannelCalib *pktchannelcalib_new(const char *dbname, int need_calib, int need_response,
                                     int need_site) {
  std::lock_guard<std::mutex> lock(Calib_mutex);
  PktChannelCalib *h = new (std::nothrow) PktChannelCalib();
  if (!h) {
    elog_log(1, "pktchannelcalib_new: malloc() error.\n");
    return nullptr;
  }
  dbinvalid(&h->db);
  h->channels_arr = newarr(nullptr);
  h->stations_arr = newarr(nullptr);
  h->dbname = dbname ? dbname : "";
  h->mod_time = 0.0;
  h->need_calib = need_calib;
  h->need_response = need_response;
  h->need_site = need_site;
  auto fail = [&]() {
    close_db(h);
    freearr(h->channels_arr, free_channel);
    freearr(h->stations_arr, free_entry);
    delete h;
    return nullptr;
  };
  if (!h->channels_arr || !h->stations_arr) {
    elog_log(0, "pktchannelcalib_new: newarr() error.\n");
    return fail();
  }
  if (RVdbopen(h->dbname.c_str(), "r+", &h->db) != 0) {
    dbinvalid(&h->db);
    elog_log(0, "pktchannelcalib_new: dbopen(%s) error.\n", h->dbname.c_str());
    return fail();
  }
  finit_db(h->db);
  std::vector<const char *> tables;
  if (need_site) tables.push_back("site");
  if (need_calib || need_response) {
    tables.push_back("sensor");
    tables.push_back("instrument");
  }
  if (need_calib) tables.push_back("calibration");
  for (const char *t : tables) {
    if (db_table_exists(h->db, t) != 1) {
      elog_log(0, "pktchannelcalib_new: You need a %s table in your database.\n", t);
      return fail();
    }
  }
  return h;
}

int pktchannelcalib_free(PktChannelCalib *handle) {
  if (!handle) return 0;
  std::lock_guard<std::mutex> lock(Calib_mutex);
  close_db(handle);
  freearr(handle->channels_arr, free_channel);
  freearr(handle->stations_arr, free_entry);
  for (Response *r : handle->responses) free_response(r);
  delete handle;
  return 0;
}

int pktchannelcalib_get(PktChannelCalib *h, const char *net, const char *sta, const char *chan,
                        const char *loc, double time, int check_db, char *css_sta, char *css_chan,
                        double *lat, double *lon, double *elev, double *calib, double *calper,
                        char *rsptype, Response **response) {
  if (!h || !css_sta) {
    elog_log(0, "pktchannelcalib_get: no handle or no css_sta.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(Calib_mutex);
  net = net ? net : "";
  sta = sta ? sta : "";
  chan = chan ? chan : "";
  loc = loc ? loc : "";
  std::string key = std::string(net) + "_" + sta;
  Stastuff *s = static_cast<Stastuff *>(getarr(h->stations_arr, key.c_str()));
  if (!s) {
    char name[CSS_NAME_SIZE];
    std::string q;
    if (map_seed_netsta(net, sta, name) < 0) {
      elog_log(1, "pktchannelcalib_get: map_seed_netsta(%s,%s) error.\n", net, sta);
      return -1;
    }
    if (!quoted(name, &q)) {
      elog_log(1, "pktchannelcalib_get: station name of %s,%s can't be quoted.\n", net, sta);
      return -1;
    }
    s = new (std::nothrow) Stastuff();
    if (!s) {
      elog_log(1, "pktchannelcalib_get: malloc() error.\n");
      return -1;
    }
    memcpy(s->sta, name, sizeof name);
    s->lat = s->lon = s->elev = kNone;
    s->site_mod_time = 0.0;
    s->site_time = kOpen;
    s->site_endtime = kNone;
    setarr(h->stations_arr, key.c_str(), s);
  }
  memcpy(css_sta, s->sta, strlen(s->sta) + 1);

  int bits = 0;
  if (h->need_site) {
    if (station_view(h, s, time, check_db) < 0) return -1;
    if (s->lat != kNone) {
      *lat = s->lat;
      *lon = s->lon;
      *elev = s->elev;
      bits |= PKTCALIB_LAT | PKTCALIB_LON | PKTCALIB_ELEV;
    }
  }
  if (!css_chan) return bits;

  key += std::string("_") + chan;
  if (*loc) key += std::string("_") + loc;
  Chanstuff *c = static_cast<Chanstuff *>(getarr(h->channels_arr, key.c_str()));
  if (!c) {
    char name[CSS_NAME_SIZE];
    std::string q;
    if (map_seed_chanloc(s->sta, chan, loc, name) < 0) {
      elog_log(1, "pktchannelcalib_get: map_seed_chanloc(%s,%s,%s) error.\n", s->sta, chan, loc);
      return -1;
    }
    if (!quoted(name, &q)) {
      elog_log(1, "pktchannelcalib_get: channel name of %s,%s,%s can't be quoted.\n", s->sta, chan,
               loc);
      return -1;
    }
    c = new (std::nothrow) Chanstuff();
    if (!c) {
      elog_log(1, "pktchannelcalib_get: malloc() error.\n");
      return -1;
    }
    memcpy(c->chan, name, sizeof name);
    c->calib = c->calper = kNone;
    c->sensor_mod_time = c->calibration_mod_time = 0.0;
    c->sensor_time = c->calibration_time = kOpen;
    c->sensor_endtime = c->calibration_endtime = kNone;
    c->rsptype[0] = '\0';
    c->response = nullptr;
    setarr(h->channels_arr, key.c_str(), c);
  }
  memcpy(css_chan, c->chan, strlen(c->chan) + 1);

  if (h->need_calib || h->need_response) {
    if (sensor_view(h, s, c, time, check_db) < 0) return -1;
    if (h->need_calib && c->rsptype[0]) {
      memcpy(rsptype, c->rsptype, strlen(c->rsptype) + 1);
      bits |= PKTCALIB_RSPTYPE;
    }
    if (h->need_response && c->response) {
      *response = c->response;
      bits |= PKTCALIB_RESPONSE;
    }
  }
  if (h->need_calib) {
    if (calibration_view(h, s, c, time, check_db) < 0) return -1;
    if (c->calib != kNone) {
      *calib = c->calib;
      *calper = c->calper;
      bits |= PKTCALIB_CALIB | PKTCALIB_CALPER;
    }
  }
  return bits;
}
