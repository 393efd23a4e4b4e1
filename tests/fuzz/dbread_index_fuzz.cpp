// dbread_index_fuzz - index files of keys "sta", "chanid" and "time::endtime" over a
// three-record table: reading never goes past the file, and an index read holds only
// records of the table, in order.

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbedit.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"

namespace {

const char kSchema[] =
    "Schema fz1.0\n\t;\n"
    "Attribute sta\n\tString (6)\n\tFormat ( \"%-6s\" )\n\tNull ( \"-\" )\n\t;\n"
    "Attribute chanid\n\tInteger (8)\n\tFormat ( \"%8d\" )\n\tNull ( \"-1\" )\n\t;\n"
    "Attribute time\n\tTime (17)\n\tFormat ( \"%17.5f\" )\n\tNull ( \"-9999999999.99900\" )\n\t;\n"
    "Attribute endtime\n\tTime (17)\n\tFormat ( \"%17.5f\" )\n\tNull ( \"9999999999.99900\" "
    ")\n\t;\n"
    "Relation sensor\n\tFields ( sta chanid time endtime )\n\tPrimary ( sta )\n\t;\n";

void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

struct Setup {
  std::string dir, table;
  Dbptr db = {-1, dbALL, dbALL, dbALL};
  Setup() {
    unsetenv("DBLOCKS");
    unsetenv("SCHEMA_DIR");
    const char *tmp = getenv("TMPDIR");
    dir =
        std::string(tmp && *tmp ? tmp : "/tmp") + "/dbread_index_fuzz." + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    write(dir + "/fz1.0", kSchema);
    write(dir + "/fz", "fz1.0\n");
    table = dir + "/fz.sensor";
    std::string rows;
    const struct {
      const char *sta;
      int chanid;
      double time, endtime;
    } recs[] = {{"AAA", 1, 100, 500}, {"BBB", 2, 200, 300}, {"CCC", 3, 250, 260}};
    for (const auto &r : recs) {
      char line[128];
      snprintf(line, sizeof line, "%-6s %8d %17.5f %17.5f\n", r.sta, r.chanid, r.time, r.endtime);
      rows += line;
    }
    write(table, rows);
    if (RVdbopen((dir + "/fz").c_str(), "r+", &db) != 0) abort();
    db = dblookup(db, nullptr, "sensor", nullptr, nullptr);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Setup *s = new Setup;
  static const char *names[] = {"#0", "#1", "#2:3"};
  static const char *keys[] = {"sta", "chanid", "time::endtime"};
  if (size < 1) return 0;
  int which = data[0] % 3;
  // The body after a well-formed header, so that the entries themselves are exercised;
  // a second byte of 1 hands the whole input over as the file instead.
  std::string text;
  if (size > 1 && data[1] == 1) {
    text.assign(reinterpret_cast<const char *>(data) + 2, size - 2);
  } else {
    text = std::string("#Index fz.sensor") + names[which] + " 0 0\n#" + keys[which] + "\n#\n";
    text.append(reinterpret_cast<const char *>(data) + 1, size - 1);
  }
  std::string path = s->table + names[which];
  write(path, text);
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec += 3600;
  tv[1] = tv[0];
  utimes(path.c_str(), tv);
  Table *table = nullptr;
  dbquery(s->db, dbRECORD_COUNT, nullptr);
  dbresolve(s->db, nullptr, nullptr, &table, nullptr, nullptr, nullptr);
  Dbindex *index = dbread_index(s->db, table, path.c_str());
  if (index) {
    for (long i = 0; i < maxtbl(index->entries); i++) {
      int r = dbrecord(index, (int)i);
      if (r < 0 || r >= 3) abort();
      if (i > 0 && dbcmp_sort(gettbl(index->entries, i - 1), gettbl(index->entries, i), index) > 0)
        abort();
    }
  }
  dbflush_indexes(s->db);
  unlink(path.c_str());
  elog_clear_register(0);
  return 0;
}
