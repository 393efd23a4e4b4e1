// dbread_view_fuzz - view files read against a database of two small tables. The text
// "@DB" in the input stands for the database's path, so that headers can name it. A view
// read holds only records of its members (or dbALL, dbNULL); a refused file leaves no
// relation behind.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbinternal.h"
#include "reldb/dbview.h"

namespace {

const char kSchema[] =
    "Schema fz1.0\n\t;\n"
    "Attribute sta\n\tString (6)\n\tFormat ( \"%-6s\" )\n\tNull ( \"-\" )\n\t;\n"
    "Attribute chanid\n\tInteger (8)\n\tFormat ( \"%8d\" )\n\tNull ( \"-1\" )\n\t;\n"
    "Relation site\n\tFields ( sta )\n\tPrimary ( sta )\n\t;\n"
    "Relation chan\n\tFields ( sta chanid )\n\tPrimary ( chanid )\n\tForeign ( sta )\n\t;\n";

void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

struct Setup {
  std::string dir, path;
  Dbptr db = {-1, dbALL, dbALL, dbALL};
  Setup() {
    unsetenv("DBLOCKS");
    unsetenv("SCHEMA_DIR");
    const char *tmp = getenv("TMPDIR");
    dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/dbread_view_fuzz." + std::to_string(getpid());
    mkdir(dir.c_str(), 0700);
    write(dir + "/fz1.0", kSchema);
    path = dir + "/fz";
    write(path, "fz1.0\n");
    write(dir + "/fz.site", "AAA   \nBBB   \n");
    write(dir + "/fz.chan", "AAA           1\nBBB           2\nAAA           3\n");
    if (RVdbopen(path.c_str(), "r", &db) != 0) abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Setup *s = new Setup;
  std::string text(reinterpret_cast<const char *>(data), size);
  for (size_t at; (at = text.find("@DB")) != std::string::npos;) text.replace(at, 3, s->path);
  std::string file = s->dir + "/in.view";
  write(file, text);
  int before = dbquery(s->db, dbTABLE_COUNT, nullptr);
  FILE *f = fopen(file.c_str(), "r");
  if (!f) abort();
  Dbptr view;
  int rc = dbread_view(f, &view, nullptr);
  fclose(f);
  if (rc == 0) {
    int count = dbquery(view, dbRECORD_COUNT, nullptr);
    int members = dbsize(view);
    for (int r = 0; r < count; r++) {
      view.record = r;
      Dbptr *p = dbref(&view);
      for (int m = 0; m < members; m++) {
        Dbptr table = {p[m].database, p[m].table, dbALL, dbALL};
        int n = dbquery(table, dbRECORD_COUNT, nullptr);
        int rec = p[m].record;
        if (n < 0 || !((rec >= 0 && rec < n) || rec == dbALL || rec == dbNULL)) abort();
      }
    }
    view.record = dbALL;
    dbview_drop(view);
  } else if (view.table != dbINVALID || dbquery(s->db, dbTABLE_COUNT, nullptr) != before) {
    abort();
  }
  elog_clear_register(0);
  return 0;
}
