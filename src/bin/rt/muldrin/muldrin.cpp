// muldrin - real-time acquisition from Quanterra Q330 dataloggers over QDP/UDP.
// The program's entry point: it reports its usage.
#include <cstdio>
#include <cstring>

#include "base/elog.h"

static void usage(void) {
  fprintf(stderr,
          "usage: muldrin [-pf pfname] [-calib_db dbname] [-S statefile] [-ipresolv|-noipresolv]\n"
          "               [-poc_vampire] [-v] [-dlclock dlname] [-pidfile file] [-nostash]\n"
          "               target orbtag orbname [orbtag orbname ...]\n");
}

int main(int argc, char **argv) {
  elog_init(argc, argv);
  usage();
  return argc > 1 && strcmp(argv[1], "-h") != 0 && strcmp(argv[1], "--help") != 0 ? 1 : 0;
}
