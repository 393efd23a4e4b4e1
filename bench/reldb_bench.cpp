// reldb_bench - the same work on a Relvane database and on SQLite, in one run, in the same
// temporary folder: checked inserts (in key order and in random key order, on the disk
// and on a memory file system), a subset by three comparisons and a sort on
// (sta, chan, time), and joins of the table with a 1,000-row table on an id key and on a
// time range with sta and chan. The argument of every benchmark is the number of rows.
//
// Both sides write each row to the file before the call returns: table files are opened
// for synchronous writes (and locked, locking "local"); SQLite runs in autocommit with
// synchronous FULL and the same primary key.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "benchkit.h"
#include "reldb/db.h"
#include "reldb/dbedit.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

namespace {

const char *const kSchema =
    "Schema bench1.0 ;\n"
    "Attribute sta String (6) Format ( \"%-6s\" ) Null ( \"-\" ) ;\n"
    "Attribute chan String (8) Format ( \"%-8s\" ) Null ( \"-\" ) ;\n"
    "Attribute time Time (17) Format ( \"%17.5f\" ) Null ( \"-9999999999.99900\" ) ;\n"
    "Attribute endtime Time (17) Format ( \"%17.5f\" ) Null ( \"9999999999.99900\" ) ;\n"
    "Attribute wfid Integer (8) Format ( \"%8ld\" ) Null ( \"-1\" ) ;\n"
    "Attribute chanid Integer (8) Format ( \"%8ld\" ) Null ( \"-1\" ) ;\n"
    "Relation wave Fields ( sta chan time wfid chanid endtime ) "
    "Primary ( sta chan time::endtime ) ;\n"
    "Relation inst Fields ( sta chan time endtime chanid ) "
    "Primary ( sta chan time::endtime ) Alternate ( chanid ) ;\n";

// The 1,000 rows of the joined table: row k is channel chanid k+1 (the id key of wave),
// and one of four epochs of one of wave's 300 station channels.
constexpr int kInstRows = 1000;
struct Inst {
  char sta[8];
  const char *chan;
  double time, endtime;
  int chanid;
};
Inst inst(int k) {
  static const char *const chans[] = {"BHZ", "BHN", "BHE"};
  Inst r;
  snprintf(r.sta, sizeof r.sta, "S%03d", k % 100);
  r.chan = chans[(k / 100) % 3];
  int epoch = k / 300;
  r.time = 1.0e9 + epoch * 1000.0;
  r.endtime = epoch == 3 ? 2.0e9 : r.time + 999.999;
  r.chanid = k + 1;
  return r;
}

// Row i of the table: 100 stations, three channels, ten-second segments.
struct Row {
  char sta[8];
  const char *chan;
  double time, endtime;
  int wfid, chanid;
};
Row row(int i) {
  static const char *const chans[] = {"BHZ", "BHN", "BHE"};
  Row r;
  snprintf(r.sta, sizeof r.sta, "S%03d", i % 100);
  r.chan = chans[(i / 100) % 3];
  r.time = 1.0e9 + (double)(i / 300) * 10.0;
  r.endtime = r.time + 9.99;
  r.wfid = i + 1;
  r.chanid = i % 1000 + 1;
  return r;
}

std::vector<int> row_order(int n, bool random) {
  std::vector<int> order((size_t)n);
  std::iota(order.begin(), order.end(), 0);
  if (random) std::shuffle(order.begin(), order.end(), std::mt19937(12345));
  return order;
}

// A fresh folder under base, removed with its files at the end.
class Folder {
 public:
  explicit Folder(const std::string &base) {
    std::string pattern = base + "/reldb-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path = buf.data();
  }
  ~Folder() {
    if (path.empty()) return;
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "reldb_bench: can't remove %s\n", path.c_str());
  }
  std::string path;
};

void write_text(const std::string &path, const std::string &text) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

// A Relvane database "db" with local locking in the folder.
Dbptr open_relvane(const std::string &dir) {
  write_text(dir + "/bench1.0", kSchema);
  write_text(dir + "/db", "# d\nschema bench1.0\ndblocks local\ndbidserver \"\"\n");
  Dbptr db;
  if (RVdbopen((dir + "/db").c_str(), "r+", &db) != 0) db.database = -1;
  return db;
}

int relvane_insert(Dbptr db, const Row &r) {
  return dbaddv(db, "wave", "sta", r.sta, "chan", r.chan, "time", r.time, "endtime", r.endtime,
                "wfid", r.wfid, "chanid", r.chanid, nullptr);
}

sqlite3 *open_sqlite(const std::string &dir) {
  sqlite3 *s = nullptr;
  if (sqlite3_open((dir + "/bench.sqlite").c_str(), &s) != SQLITE_OK) return nullptr;
  sqlite3_exec(s, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
  sqlite3_exec(s,
               "CREATE TABLE IF NOT EXISTS wave (sta TEXT, chan TEXT, time REAL, wfid INTEGER, "
               "chanid INTEGER, endtime REAL, PRIMARY KEY (sta, chan, time))",
               nullptr, nullptr, nullptr);
  sqlite3_exec(s,
               "CREATE TABLE IF NOT EXISTS inst (sta TEXT, chan TEXT, time REAL, endtime REAL, "
               "chanid INTEGER PRIMARY KEY); "
               "CREATE INDEX IF NOT EXISTS inst_range ON inst (sta, chan, time, endtime)",
               nullptr, nullptr, nullptr);
  return s;
}

struct Insert {
  sqlite3_stmt *stmt = nullptr;
  explicit Insert(sqlite3 *s) {
    sqlite3_prepare_v2(s, "INSERT INTO wave VALUES (?, ?, ?, ?, ?, ?)", -1, &stmt, nullptr);
  }
  ~Insert() { sqlite3_finalize(stmt); }
  int operator()(const Row &r) {
    sqlite3_bind_text(stmt, 1, r.sta, -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, r.chan, -1, SQLITE_STATIC);
    sqlite3_bind_double(stmt, 3, r.time);
    sqlite3_bind_int(stmt, 4, r.wfid);
    sqlite3_bind_int(stmt, 5, r.chanid);
    sqlite3_bind_double(stmt, 6, r.endtime);
    int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    return rc == SQLITE_DONE ? 0 : -1;
  }
};

// Where the folders are made: the disk (TMPDIR, else /var/tmp) or a memory file system.
std::string disk_base() {
  const char *t = getenv("TMPDIR");
  return t && *t ? t : "/var/tmp";
}
std::string memory_base() {
  struct stat st;
  return stat("/dev/shm", &st) == 0 ? "/dev/shm" : disk_base();
}

void insert_bench(benchmark::State &state, bool relvane, bool random, bool memory) {
  const int n = (int)state.range(0);
  std::vector<int> order = row_order(n, random);
  for (auto _ : state) {
    state.PauseTiming();
    Folder folder(memory ? memory_base() : disk_base());
    Dbptr db = {-1, -1, -1, -1};
    sqlite3 *s = nullptr;
    if (relvane)
      db = open_relvane(folder.path);
    else
      s = open_sqlite(folder.path);
    if (relvane ? db.database < 0 : !s) {
      state.SkipWithError("can't open the database");
      break;
    }
    state.ResumeTiming();
    int failures = 0;
    if (relvane) {
      for (int i : order) failures += relvane_insert(db, row(i)) < 0;
    } else {
      Insert insert(s);
      for (int i : order) failures += insert(row(i)) < 0;
    }
    state.PauseTiming();
    if (relvane)
      RVdbclose(db);
    else
      sqlite3_close(s);
    if (failures) state.SkipWithError("an insert failed");
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

// A table of n rows on both sides, written in bulk (untimed) for the reading benchmarks.
struct Loaded {
  Folder folder{memory_base()};
  Dbptr db = {-1, -1, -1, -1};
  sqlite3 *s = nullptr;
  explicit Loaded(int n) {
    Dbptr d = open_relvane(folder.path);
    if (d.database < 0) return;
    Dbptr t = dblookup(d, nullptr, "wave", nullptr, nullptr);
    std::string text;
    char line[128];
    for (int i = 0; i < n; i++) {
      Row r = row(i);
      // The record layout: each field in its format, one blank between, a newline last.
      snprintf(line, sizeof line, "%-6s %-8s %17.5f %8d %8d %17.5f\n", r.sta, r.chan, r.time,
               r.wfid, r.chanid, r.endtime);
      text += line;
    }
    RVdbclose(d);
    write_text(folder.path + "/db.wave", text);
    text.clear();
    for (int k = 0; k < kInstRows; k++) {
      Inst r = inst(k);
      snprintf(line, sizeof line, "%-6s %-8s %17.5f %17.5f %8d\n", r.sta, r.chan, r.time, r.endtime,
               r.chanid);
      text += line;
    }
    write_text(folder.path + "/db.inst", text);
    db = open_relvane(folder.path);
    (void)t;
    s = open_sqlite(folder.path);
    if (!s) return;
    sqlite3_exec(s, "BEGIN", nullptr, nullptr, nullptr);
    {
      Insert insert(s);
      for (int i = 0; i < n; i++) insert(row(i));
    }
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(s, "INSERT INTO inst VALUES (?, ?, ?, ?, ?)", -1, &stmt, nullptr);
    for (int k = 0; k < kInstRows; k++) {
      Inst r = inst(k);
      sqlite3_bind_text(stmt, 1, r.sta, -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(stmt, 2, r.chan, -1, SQLITE_STATIC);
      sqlite3_bind_double(stmt, 3, r.time);
      sqlite3_bind_double(stmt, 4, r.endtime);
      sqlite3_bind_int(stmt, 5, r.chanid);
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(s, "COMMIT", nullptr, nullptr, nullptr);
  }
  ~Loaded() {
    if (db.database >= 0) RVdbclose(db);
    if (s) sqlite3_close(s);
  }
};

std::vector<int> sqlite_rows(sqlite3 *s, const char *sql) {
  std::vector<int> out;
  sqlite3_stmt *stmt = nullptr;
  if (sqlite3_prepare_v2(s, sql, -1, &stmt, nullptr) != SQLITE_OK) return out;
  while (sqlite3_step(stmt) == SQLITE_ROW) out.push_back(sqlite3_column_int(stmt, 0));
  sqlite3_finalize(stmt);
  return out;
}

void subset_bench(benchmark::State &state, bool relvane) {
  const int n = (int)state.range(0);
  Loaded loaded(n);
  Dbptr t = dblookup(loaded.db, nullptr, "wave", nullptr, nullptr);
  const double from = row(n / 3).time;
  const std::string expr =
      "chan == \"BHZ\" && time >= " + std::to_string(from) + " && chanid < 500";
  const std::string sql =
      "SELECT rowid FROM wave WHERE chan = 'BHZ' AND time >= " + std::to_string(from) +
      " AND chanid < 500";
  size_t found = 0;
  for (auto _ : state) {
    std::vector<int> rows;
    if (relvane) {
      if (dbsubset_records(t, expr.c_str(), &rows) != 0) state.SkipWithError("subset failed");
    } else {
      rows = sqlite_rows(loaded.s, sql.c_str());
    }
    found = rows.size();
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["rows_found"] = (double)found;
  state.SetItemsProcessed(state.iterations() * n);
}

void sort_bench(benchmark::State &state, bool relvane) {
  const int n = (int)state.range(0);
  Loaded loaded(n);
  Dbptr t = dblookup(loaded.db, nullptr, "wave", nullptr, nullptr);
  Tbl *keys = newtbl(3);
  for (const char *k : {"sta", "chan", "time"}) pushtbl(keys, const_cast<char *>(k));
  for (auto _ : state) {
    std::vector<int> rows;
    if (relvane) {
      // The order comes from an index of the keys: it is built anew each time.
      state.PauseTiming();
      dbflush_indexes(t);
      state.ResumeTiming();
      if (dbsort_key_order(t, keys, &rows, nullptr) != 0) state.SkipWithError("sort failed");
    } else {
      rows = sqlite_rows(loaded.s, "SELECT rowid FROM wave ORDER BY sta, chan, time");
    }
    benchmark::DoNotOptimize(rows.data());
  }
  freetbl(keys, nullptr);
  state.SetItemsProcessed(state.iterations() * n);
}

// A join of the n rows of wave with the 1,000 of inst; the rows of the result are counted.
// Relvane keeps the index of inst it built on the first pass, as SQLite keeps its own.
void join_bench(benchmark::State &state, bool relvane, bool range) {
  const int n = (int)state.range(0);
  Loaded loaded(n);
  Dbptr wave = dblookup(loaded.db, nullptr, "wave", nullptr, nullptr);
  Dbptr in = dblookup(loaded.db, nullptr, "inst", nullptr, nullptr);
  Tbl *k1 = newtbl(3), *k2 = newtbl(3);
  if (range) {
    for (const char *k : {"sta", "chan", "time"}) pushtbl(k1, const_cast<char *>(k));
    for (const char *k : {"sta", "chan", "time::endtime"}) pushtbl(k2, const_cast<char *>(k));
  } else {
    pushtbl(k1, const_cast<char *>("chanid"));
    pushtbl(k2, const_cast<char *>("chanid"));
  }
  const char *sql = range
                        ? "SELECT w.rowid, i.rowid FROM wave w JOIN inst i ON w.sta = i.sta "
                          "AND w.chan = i.chan AND w.time >= i.time AND w.time <= i.endtime"
                        : "SELECT w.rowid, i.rowid FROM wave w JOIN inst i ON w.chanid = i.chanid";
  long found = 0;
  for (auto _ : state) {
    if (relvane) {
      Dbptr view = dbjoin(wave, in, &k1, &k2, 0, nullptr, nullptr);
      if (view.table < 0) {
        state.SkipWithError("join failed");
        break;
      }
      found = dbquery(view, dbRECORD_COUNT, nullptr);
      state.PauseTiming();
      dbfree(view);
      state.ResumeTiming();
    } else {
      found = (long)sqlite_rows(loaded.s, sql).size();
    }
  }
  freetbl(k1, nullptr);
  freetbl(k2, nullptr);
  state.counters["rows_found"] = (double)found;
  state.SetItemsProcessed(state.iterations() * n);
}

void sizes(benchmark::internal::Benchmark *b) {
  bench_sizes(b, {1000, 10000, 100000});
  b->Unit(benchmark::kMillisecond);
}

void register_all() {
  for (bool relvane : {true, false}) {
    const std::string side = relvane ? "Relvane" : "SQLite";
    for (bool memory : {false, true})
      for (bool random : {false, true}) {
        std::string name =
            "Insert/" + side + (random ? "/random" : "/ordered") + (memory ? "/tmpfs" : "/disk");
        sizes(benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &s) {
                insert_bench(s, relvane, random, memory);
              })->Iterations(1));
      }
    sizes(benchmark::RegisterBenchmark(("Subset/" + side).c_str(),
                                       [=](benchmark::State &s) { subset_bench(s, relvane); }));
    sizes(benchmark::RegisterBenchmark(("Sort/" + side).c_str(),
                                       [=](benchmark::State &s) { sort_bench(s, relvane); }));
    for (bool range : {false, true})
      sizes(benchmark::RegisterBenchmark(
          ("Join/" + side + (range ? "/range" : "/id")).c_str(),
          [=](benchmark::State &s) { join_bench(s, relvane, range); }));
  }
}

}  // namespace

int main(int argc, char **argv) {
  register_all();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
