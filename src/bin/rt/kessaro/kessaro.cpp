// kessaro - real-time acquisition from Kinemetrics Altus dataloggers over serial lines,
// modems and TCP. The program's entry point: it reports its usage.
#include <cstdio>
#include <cstring>

#include "base/elog.h"

static void usage(void) {
  fprintf(
      stderr,
      "usage: kessaro [-pf pfname] [-pfsubs subs] [-db dbname] [-state statefile]\n"
      "               [-dlclock dlname] [-start dlname] [-msglevel level] [-v] [-V] [-vc] [-vr]\n"
      "               target orbtag orbname [orbtag orbname ...]\n");
}

int main(int argc, char **argv) {
  elog_init(argc, argv);
  usage();
  return argc > 1 && strcmp(argv[1], "-h") != 0 && strcmp(argv[1], "--help") != 0 ? 1 : 0;
}
