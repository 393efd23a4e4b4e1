// dbex_compile_fuzz - expression text compiled against a small database of one table;
// when it compiles, evaluated on each of its records. Nothing may crash, hang or recurse
// without bound, and a refused text must leave no tree. Command forms are compiled but
// not run: the fuzzer must not start programs.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbex.h"

namespace {

const char kSchema[] =
    "Schema fz1.0 ;\n"
    "Attribute sta String (6) Format ( \"%-6s\" ) Null ( \"-\" ) ;\n"
    "Attribute n Integer (8) Format ( \"%8ld\" ) Null ( \"-1\" ) ;\n"
    "Attribute x Real (9) Format ( \"%9.4f\" ) Null ( \"-999.0000\" ) ;\n"
    "Attribute t Time (17) Format ( \"%17.5f\" ) Null ( \"-9999999999.99900\" ) ;\n"
    "Attribute d YearDay (8) Format ( \"%8ld\" ) Null ( \"-1\" ) ;\n"
    "Relation r Fields ( sta n x t d ) Primary ( sta ) ;\n";
// Records of r, laid out as the table file holds them (one blank between fields).
std::string records() {
  struct {
    const char *sta;
    int n;
    double x, t;
    int d;
  } rows[] = {{"AAK", 1, 42.639, 978307200.0, 2001001},
              {"BB", -7, -10.5, 0.0, 1970001},
              {"-", -1, -999.0, -9999999999.999, -1}};
  std::string text;
  for (const auto &r : rows) {
    char line[128];
    snprintf(line, sizeof line, "%-6s %8d %9.4f %17.5f %8d\n", r.sta, r.n, r.x, r.t, r.d);
    text += line;
  }
  return text;
}

void write_file(const std::string &path, const char *text) {
  FILE *f = fopen(path.c_str(), "w");
  if (!f) abort();
  fputs(text, f);
  fclose(f);
}

Dbptr open_db() {
  char dir[] = "/tmp/dbex_fuzz_XXXXXX";
  if (!mkdtemp(dir)) abort();
  std::string d = dir;
  write_file(d + "/fz1.0", kSchema);
  write_file(d + "/fz", "fz1.0\n");
  write_file(d + "/fz.r", records().c_str());
  Dbptr db;
  if (RVdbopen((d + "/fz").c_str(), "r", &db) != 0) abort();
  return dblookup(db, nullptr, "r", nullptr, nullptr);
}

bool runs_commands(const Expression *e) {
  if (!e) return false;
  if (e->kind == EX_EXEC || e->kind == EX_PIPE) return true;
  for (const Expression *c : {e->left, e->right, e->x3, e->x4})
    if (runs_commands(c)) return true;
  for (long i = 0; i < maxtbl(e->expr_tbl); i++)
    if (runs_commands(static_cast<const Expression *>(gettbl(e->expr_tbl, i)))) return true;
  return false;
}

void quiet(const std::string &, void *) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static Dbptr table = [] {
    elog_set_sink(quiet, nullptr);
    return open_db();
  }();
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  Expression *tree = nullptr;
  int type = dbex_compile(table, text.c_str(), &tree, 0);
  if (type < 0) {
    if (tree) abort();
    elog_clear_register(0);
    return 0;
  }
  if (!tree || type > 7) abort();
  if (!runs_commands(tree)) {
    for (int record = 0; record < 3; record++) {
      Dbptr db = table;
      db.record = record;
      union {
        int i;
        double d;
        char *s;
      } result;
      result.s = nullptr;
      int rc = dbex_eval(db, tree, 0, &result);
      if (rc != 0 && rc != 1 && rc != dbINVALID) abort();
      if (tree->type == dbSTRING) free(result.s);
    }
  }
  dbex_free(tree);
  elog_clear_register(0);
  return 0;
}
