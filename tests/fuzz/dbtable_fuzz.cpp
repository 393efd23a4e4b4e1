// dbtable_fuzz - table file contents of a fixed schema: the fuzzer's bytes are the table
// file. Counting, reading every field (dbgetv and dbd2c), an index over a range key, a
// subset and joins (with a fixed table on an id key, and with itself on a range key) never
// read outside the file, whatever its length or bytes.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbedit.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

namespace {

const char kSchema[] =
    "Schema fz1.0 ;\n"
    "Attribute sta String (6) Format ( \"%-6s\" ) Null ( \"-\" ) ;\n"
    "Attribute chanid Integer (8) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Attribute ondate YearDay (8) Format ( \"%8d\" ) Null ( \"-1\" ) ;\n"
    "Attribute time Time (17) Format ( \"%17.5f\" ) Null ( \"-9999999999.99900\" ) ;\n"
    "Attribute endtime Time (17) Format ( \"%17.5f\" ) Null ( \"9999999999.99900\" ) ;\n"
    "Attribute calib Real (16) Format ( \"%16.6f\" ) Null ( \"0.0\" ) ;\n"
    "Relation sensor Fields ( sta chanid ondate time endtime calib ) "
    "Primary ( sta time::endtime ) ;\n"
    "Relation stage Fields ( chanid sta calib ) Primary ( chanid ) ;\n";

// The fixed table the fuzzed one is joined with on chanid.
const char kStage[] =
    "       1 AAA            1.000000\n"
    "       3 BBB            2.000000\n"
    "      17 CCC            0.500000\n";

// The record is 6+8+8+17+17+16 bytes of fields, five blanks and a newline.
constexpr int kMaxRecords = 64;

struct Setup {
  std::string dir, table;
  Dbptr db = {-1, dbALL, dbALL, dbALL};
  Setup() {
    unsetenv("DBLOCKS");
    unsetenv("SCHEMA_DIR");
    const char *tmp = getenv("TMPDIR");
    dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/dbtable_fuzz." + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    std::ofstream(dir + "/fz1.0") << kSchema;
    std::ofstream(dir + "/fz") << "fz1.0\n";
    table = dir + "/fz.sensor";
    std::ofstream(table) << "";
    std::ofstream(dir + "/fz.stage") << kStage;
    if (RVdbopen((dir + "/fz").c_str(), "r", &db) != 0) abort();
    db = dblookup(db, nullptr, "sensor", nullptr, nullptr);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Setup *s = new Setup;
  {
    std::ofstream out(s->table, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), (std::streamsize)size);
  }
  // An old file: a length that is not whole records is refused at once, without the wait
  // for a writer that may be finishing its record.
  struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
  utimes(s->table.c_str(), old);

  int count = 0;
  if (dbquery(s->db, dbRECORD_COUNT, &count) < 0) count = 0;
  Relation *r = nullptr;
  dbresolve(s->db, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  Dbptr rec = s->db;
  for (rec.record = 0; rec.record < count && rec.record < kMaxRecords; rec.record++) {
    char sta[16];
    int chanid, ondate;
    double time, endtime, calib;
    dbgetv(rec, nullptr, "sta", sta, "chanid", &chanid, "ondate", &ondate, "time", &time, "endtime",
           &endtime, "calib", &calib, nullptr);
    for (rec.field = 0; r && rec.field < r->nattr_fields; rec.field++) {
      char *address = nullptr;
      int width = 0;
      Field *f = nullptr;
      if (dbresolve(rec, nullptr, nullptr, nullptr, &f, &address, &width) != dbFIELD || !address)
        continue;
      Attribute *a = db_field_attribute(f);
      std::vector<char> out((size_t)width + 16);
      dbd2c(address, width, out.data(), a->type);
    }
    rec.field = dbALL;
  }
  Tbl *keys = newtbl(1);
  pushtbl(keys, const_cast<char *>("time::endtime"));
  Dbindex *index = nullptr;
  if (dbget_index(s->db, keys, &index) >= 0 && index) {
    for (long i = 0; i < maxtbl(index->entries); i++) {
      int n = dbrecord(index, (int)i);
      if (n < 0 || n >= count) abort();
    }
  }
  freetbl(keys, nullptr);
  dbflush_indexes(s->db);
  std::vector<int> rows;
  dbsubset_records(s->db, "chanid > 2 && sta != \"AAA\" && time < endtime", &rows);
  for (int n : rows)
    if (n < 0 || n >= count) abort();
  Dbptr stage = dblookup(s->db, nullptr, "stage", nullptr, nullptr);
  struct {
    Dbptr other;
    std::vector<const char *> keys1, keys2;
  } joins[] = {{stage, {"chanid"}, {"chanid"}}, {s->db, {"sta", "time"}, {"sta", "time::endtime"}}};
  for (auto &j : joins) {
    Tbl *k1 = newtbl(2), *k2 = newtbl(2);
    for (const char *k : j.keys1) pushtbl(k1, const_cast<char *>(k));
    for (const char *k : j.keys2) pushtbl(k2, const_cast<char *>(k));
    Tbl *missed = nullptr;
    Dbptr view = dbjoin(s->db, j.other, &k1, &k2, 1, &missed, nullptr);
    if (view.table >= 0) {
      int rows = dbquery(view, dbRECORD_COUNT, nullptr);
      // An outer join has a row for every record, at most the square of the count.
      if (rows < count || (long)rows > (long)count * (count > 3 ? count : 3)) abort();
      for (long i = 0; i < maxtbl(missed); i++) {
        int n = (int)(intptr_t)gettbl(missed, i);
        if (n < 0 || n >= count) abort();
      }
      dbfree(view);
    }
    freetbl(missed, nullptr);
    freetbl(k1, nullptr);
    freetbl(k2, nullptr);
  }
  dbflush_indexes(s->db);
  dbflush_indexes(stage);
  elog_clear_register(0);
  return 0;
}
