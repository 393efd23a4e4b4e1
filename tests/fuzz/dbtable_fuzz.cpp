// dbtable_fuzz - table file contents of a fixed schema: the fuzzer's bytes are the table
// file. Counting, reading every field (dbgetv and dbd2c), an index over a range key and a
// subset never read outside the file, whatever its length or bytes.
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
    "Primary ( sta time::endtime ) ;\n";

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
  elog_clear_register(0);
  return 0;
}
