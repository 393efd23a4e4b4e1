// muldrin_args.cpp - muldrin's command line.
#include "muldrin_args.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/arr.h"
#include "base/elog.h"
#include "support/stdproc.h"
#include "support/version.h"

namespace {

void free_orbtag(void *p) {
  auto *o = static_cast<Orbtag *>(p);
  if (o == nullptr) return;
  free(o->orbtag);
  free(o->orbname);
  free(o->orbname_resolved);
  delete o;
}

char *dup(const char *s) {
  char *d = strdup(s);
  if (d == nullptr) elog_die(1, "malloc() error.\n");
  return d;
}

int fail(const char *msg, const char *arg = nullptr) {
  if (arg != nullptr)
    elog_complain(0, msg, arg);
  else
    elog_complain(0, "%s", msg);
  muldrin_usage(stderr);
  return 1;
}

}  // namespace

void muldrin_usage(FILE *out) {
  fprintf(out,
          "usage: muldrin [-pf pfname] [-calib_db dbname] [-S statefile]\n"
          "                [{-ipresolv|-noipresolv}] [-poc_vampire] [-v]\n"
          "                [-dlclock dlname] [-pidfile file] [-nostash]\n"
          "                targetname orbtag1 orbname1 [orbtag2 orbname2 [...]]\n"
          "  -pf pfname       parameter file pfname.pf, found on PFPATH (default muldrin)\n"
          "  -calib_db dbname calibration database for the waveform packets\n"
          "  -S statefile     state file: read at start, written at exit and while running;\n"
          "                   locked, so that a second muldrin on it refuses to start\n"
          "  -ipresolv        show host names for addresses in log lines and reports\n"
          "  -noipresolv      show addresses as numbers (the default)\n"
          "  -poc_vampire     match point-of-contact packets by serial number alone, on\n"
          "                   any logical port\n"
          "  -v               sets the verbose flag (no effect on the output)\n"
          "  -dlclock dlname  datalogger dlname feeds the shared datalogger clock\n"
          "  -pidfile file    write the process id into file (locked while running)\n"
          "  -nostash         write no stash packets and request none at start\n"
          "  -h, --help       this text\n"
          "targetname: the name remote commands address; orbtag/orbname: ring roles (cmd,\n"
          "log, st, data, ...) and their rings, which must exist (make one with\n"
          "'ringtool create').\n"
          "%s\n",
          vantrel_version);
}

int muldrin_parse_args(int argc, char **argv, Muldrin *m, MuldrinArgs *args) {
  if (argc < 2) {
    muldrin_usage(stderr);
    banner("muldrin", "");
    return 1;
  }
  m->pendingstashrequest = 1;
  m->noipresolv = 1;
  std::string cl;
  for (int i = 0; i < argc; i++) cl += (i ? " " : "") + std::string(argv[i]);
  free(m->commandline);
  m->commandline = dup(cl.c_str());
  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) {
    std::string opt = argv[i];
    bool has_value = i + 1 < argc;
    auto value = [&](const char *missing, char **dst) -> int {
      if (!has_value) return fail(missing);
      free(*dst);
      *dst = dup(argv[++i]);
      return 0;
    };
    if (opt == "-h" || opt == "--help") {
      muldrin_usage(stdout);
      return 2;
    } else if (opt == "-pf") {
      if (!has_value) return fail("Need -pf argument.\n");
      args->pfname = argv[++i];
    } else if (opt == "-pidfile") {
      if (!has_value) return fail("Need -pidfile argument.\n");
      args->pidfile = argv[++i];
    } else if (opt == "-calib_db") {
      if (value("Need -calib_db argument.\n", &m->dbname_calib)) return 1;
    } else if (opt == "-dlclock") {
      if (value("Need -dlclock argument.\n", &m->dlclock)) return 1;
    } else if (opt == "-S") {
      if (value("Need -S argument.\n", &m->statefile)) return 1;
    } else if (opt == "-noipresolv") {
      m->noipresolv = 1;
    } else if (opt == "-ipresolv") {
      m->noipresolv = 0;
    } else if (opt == "-poc_vampire") {
      m->poc_vampire = 1;
    } else if (opt == "-nostash") {
      m->nowritestash = 1;
      m->pendingstashrequest = 0;
    } else if (opt == "-v") {
      m->verbose = 1;
    } else {
      return fail("Unrecognized option '%s'.\n", argv[i]);
    }
  }
  if (i >= argc) return fail("Need targetname argument.\n");
  free(m->target_name);
  m->target_name = dup(argv[i++]);
  if ((argc - i) % 2 != 0)
    return fail("Wrong number of command line arguments - need an orbname for each orbtag.\n");
  for (; i < argc; i += 2) {
    if (m->orbtags == nullptr) m->orbtags = newarr(nullptr);
    auto *o = new Orbtag;
    o->orbtag = dup(argv[i]);
    o->orbname = dup(argv[i + 1]);
    free_orbtag(setarr(m->orbtags, argv[i], o));
  }
  return 0;
}

void muldrin_free_args(Muldrin *m) {
  freearr(m->orbtags, free_orbtag);
  m->orbtags = nullptr;
  free(m->commandline);
  free(m->target_name);
  free(m->dbname_calib);
  free(m->dlclock);
  free(m->statefile);
  m->commandline = m->target_name = m->dbname_calib = m->dlclock = m->statefile = nullptr;
}
