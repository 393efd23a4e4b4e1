// Cost of a calibration lookup (pktchannelcalib_get) on a site database of N stations
// with one channel each: a cached channel asked again (the steady stream of packets), the
// same with the table check, and the first answer after the calibration table changed
// (reopen and queries).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/timetext.h"
#include "benchkit.h"
#include "reldb/db.h"
#include "reldb/pktchannelcalib.h"

namespace {

const double kTime = epoch(2024001) + 3600.0;

// A site database of n stations "S<i>" with channel BHZ each, in a fresh directory.
struct SiteDb {
  explicit SiteDb(int n) {
    setenv("SCHEMA_DIR", VANTREL_SOURCE_DATA, 1);
    char tmpl[] = "/tmp/calib_benchXXXXXX";
    dir = mkdtemp(tmpl);
    path = dir + "/sites";
    FILE *f = fopen(path.c_str(), "w");
    fputs("css3.0\n", f);
    fclose(f);
    // Records are rendered in the scratch record and written as whole files, which is
    // quicker than adding them one at a time.
    Dbptr db;
    RVdbopen(path.c_str(), "r+", &db);
    std::string site, sensor, cal, instrument;
    add(db, "instrument", &instrument,
        [](Dbptr r) { return dbputv(r, nullptr, "inid", 1, "rsptype", "paz", nullptr); });
    for (int i = 0; i < n; i++) {
      std::string sta = "S" + std::to_string(i);
      add(db, "site", &site, [&](Dbptr r) {
        return dbputv(r, nullptr, "sta", sta.c_str(), "ondate", 2020001, "lat", 10.0, "lon", 20.0,
                      "elev", 0.5, nullptr);
      });
      add(db, "sensor", &sensor, [&](Dbptr r) {
        return dbputv(r, nullptr, "sta", sta.c_str(), "chan", "BHZ", "time", 0.0, "inid", 1,
                      nullptr);
      });
      add(db, "calibration", &cal, [&](Dbptr r) {
        return dbputv(r, nullptr, "sta", sta.c_str(), "chan", "BHZ", "time", 0.0, "calib", 1.5,
                      "calper", 1.0, nullptr);
      });
    }
    RVdbclose(db);
    write("site", site);
    write("sensor", sensor);
    write("instrument", instrument);
    write("calibration", cal);
    h = pktchannelcalib_new(path.c_str(), 1, 0, 1);
  }
  ~SiteDb() {
    pktchannelcalib_free(h);
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) perror("rm");
  }
  // Appends to `text` the record of `table` that `fill` writes into the scratch record.
  template <typename Fill>
  static void add(Dbptr db, const char *table, std::string *text, Fill fill) {
    Dbptr r = dblookup(db, nullptr, table, nullptr, "dbSCRATCH");
    if (fill(r) < 0) return;  // every record sets the same fields
    int size = dbquery(r, dbRECORD_SIZE, nullptr);
    std::string buf((size_t)size + 1, '\0');
    dbget(r, &buf[0]);
    buf.resize((size_t)size);
    *text += buf;
  }
  void write(const char *table, const std::string &text) const {
    FILE *f = fopen((path + "." + table).c_str(), "w");
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
  }
  int get(const std::string &sta, int check_db) {
    char css_sta[CSS_NAME_SIZE], css_chan[CSS_NAME_SIZE], rsptype[8];
    double lat, lon, elev, calib, calper;
    Response *response;
    return pktchannelcalib_get(h, "XX", sta.c_str(), "BHZ", "", kTime, check_db, css_sta, css_chan,
                               &lat, &lon, &elev, &calib, &calper, rsptype, &response);
  }

  std::string dir, path;
  PktChannelCalib *h = nullptr;
};

// Stations in the site database, smallest first.
void station_counts(benchmark::internal::Benchmark *b) { bench_sizes(b, {10, 1000}); }

void BM_CachedChannel(benchmark::State &state) {
  SiteDb db((int)state.range(0));
  std::string sta = "S" + std::to_string(state.range(0) - 1);
  if (db.get(sta, 0) != 0x3f) state.SkipWithError("lookup failed");
  for (auto _ : state) benchmark::DoNotOptimize(db.get(sta, 0));
}
BENCHMARK(BM_CachedChannel)->Apply(station_counts);

void BM_CachedChannelCheckDb(benchmark::State &state) {
  SiteDb db((int)state.range(0));
  std::string sta = "S" + std::to_string(state.range(0) - 1);
  if (db.get(sta, 1) != 0x3f) state.SkipWithError("lookup failed");
  for (auto _ : state) benchmark::DoNotOptimize(db.get(sta, 1));
}
BENCHMARK(BM_CachedChannelCheckDb)->Apply(station_counts);

// Each answer follows a change of the calibration table's file time: the database is
// reopened and the channel's calibration queried again.
void BM_AfterTableChange(benchmark::State &state) {
  SiteDb db((int)state.range(0));
  std::string sta = "S" + std::to_string(state.range(0) - 1);
  std::string file = db.dir + "/sites.calibration";
  if (db.get(sta, 1) != 0x3f) state.SkipWithError("lookup failed");
  struct timespec ts[2];
  clock_gettime(CLOCK_REALTIME, &ts[0]);
  for (auto _ : state) {
    ts[0].tv_nsec += 1000;
    if (ts[0].tv_nsec >= 1000000000) ts[0].tv_sec++, ts[0].tv_nsec -= 1000000000;
    ts[1] = ts[0];
    utimensat(AT_FDCWD, file.c_str(), ts, 0);
    benchmark::DoNotOptimize(db.get(sta, 1));
  }
}
BENCHMARK(BM_AfterTableChange)->Apply(station_counts);

}  // namespace

BENCHMARK_MAIN();
