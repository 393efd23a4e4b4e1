// kessaro_start.cpp - command line, start-up, termination signals and main loop.
#include "kessaro_start.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_connect.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/signals.h"
#include "base/tbl.h"
#include "base/timetext.h"
#include "kessaro_cmd.h"
#include "kessaro_hooks.h"
#include "kessaro_pocd.h"
#include "kessaro_state.h"
#include "kessaro_threads.h"
#include "parse_pf.h"
#include "reldb/pktchannelcalib.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringsvc/hoststuff.h"
#include "support/dlclock.h"
#include "support/pidlock.h"
#include "support/stdproc.h"
#include "support/stdtime.h"
#include "support/version.h"

const char *const kessaro_Version = vantrel_version;

void kessaro_usage(FILE *out) {
  fprintf(out,
          "usage: kessaro [-pf pfname] [-pfsubs pfname] [-db calibdb] [-dlclock dlname] [-v]\n"
          "                 [-state statefile] [-start starttime]\n"
          "                 targetname orbtag1 orbname1 [orbtag2 orbname2 [...]]\n"
          "  -pf pfname       parameter file pfname.pf, found on PFPATH (default kessaro)\n"
          "  -pfsubs pfname   substitutions applied to the parameter-file text first\n"
          "  -db calibdb      calibration database for the waveform packets\n"
          "  -state statefile state file: read at start, written while running; locked,\n"
          "                   so that a second kessaro on it refuses to start\n"
          "  -dlclock dlname  datalogger dlname feeds the shared datalogger clock\n"
          "  -start time      every datalogger's start time (over the state file's)\n"
          "  -msglevel n      accepted; has no effect\n"
          "  -v, -V           accepted; no effect on the output\n"
          "  -vc              log the block-mode commands sent\n"
          "  -vr              log the block-mode packets received\n"
          "  -h, --help       this text\n"
          "targetname: the name remote commands address; orbtag/orbname: ring roles (cmd,\n"
          "out, ...) and their rings, which must exist (make one with 'ringtool create').\n"
          "%s\n",
          vantrel_version);
}

void usage(int exitflag) {
  kessaro_usage(stderr);
  if (exitflag) exit(1);
}

void startup_banner(int log) {
  const std::string version = kessaro_Version;
  const std::string stars = "******" + std::string(version.size(), '*') + "******\n";
  std::string title = "kessaro startup";
  if (title.size() < version.size()) title.resize(version.size(), ' ');
  const std::string lines[] = {"\n", stars, "*     " + title + "     *\n",
                               "*     " + version + "     *\n", stars};
  for (const std::string &l : lines) {
    if (log) {
      altuscom_log_message(nullptr, nullptr, 0, "%s", l.c_str());
    } else {
      elog_notify(0, "%s", l.c_str());
    }
  }
}

// ---- termination signals ----

namespace {

Kessaro *signal_record = nullptr;

sigset_t termination_signals() {
  sigset_t set;
  signal_shutdown_set(&set);
  return set;
}

void haltbysignal(int sig) {
  if (!kessaro_shutdown_claim()) return;  // a shutdown runs already
  const Signal_info *info = signal_bysig(sig);
  altuscom_log_message(nullptr, nullptr, 1,
                       "haltbysignal: received signal #%d=%s: %s...Shutting down\n", sig,
                       info ? info->name : "?", info ? info->description : "?");
  kessaro_stop(signal_record, 0);
  elog_notify(0, "%s: haltbysignal: halted by signal #%d\n",
              signal_record->targetname ? signal_record->targetname : "", sig);
  kessaro_exit(0);
}

void *signal_thread(void *) {
  sigset_t set = termination_signals();
  for (;;) {
    int sig = std_sigwait(&set);
    if (sig > 0) haltbysignal(sig);
  }
  return nullptr;
}

}  // namespace

int kessaro_setup_signals(Kessaro *altus) {
  ignoreSIGPIPE();
  ignoreSIGALRM();
  signal_record = altus;
  sigset_t set = termination_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (threadstart_create(nullptr, THREAD_SMALL, signal_thread, nullptr, THREADSTART_DETACHED) !=
      0) {
    elog_die(1, "kessaro_setup_signals: pthread_create() error.\n");
  }
  return 0;
}

// ---- main loop ----

namespace {

// A datalogger still naming a link whose thread has ended is disconnected before the link
// is freed: nothing else would ever clear it, and every later dial-in, dial-out and status
// report would read the freed link.
void forget_ended_link(Kessaro *altus, Modem *m) {
  Tbl *dls = valsarr(altus->dltargets_array);
  for (long k = 0; k < maxtbl(dls); k++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, k));
    if (dl->connected_modem != m && dl->connected_modem_status != m) continue;
    altuscom_log_complain(m, dl, 1, 0,
                          "kessaro_reap_links: %s still named the ended link: disconnected.\n",
                          dl->target_name);
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    if (dl->connected_modem == m) dl->connected_modem = nullptr;
    if (dl->connected_modem_status == m) dl->connected_modem_status = nullptr;
    dl->com_mode = ALTUS_COM_DISCONNECTED;
  }
  freetbl(dls, nullptr);
}

}  // namespace

void kessaro_reap_links(Kessaro *altus) {
  std::lock_guard<KessaroMutex> list(altus->modems_mutex);
  if (kessaro_halt) return;  // the shutdown joins the links now
  Tbl *links = valsarr(altus->modems_array);
  for (long i = 0; i < maxtbl(links); i++) {
    auto *m = static_cast<Modem *>(gettbl(links, i));
    if (!m->exit) continue;
    pthread_join(m->run_thread, nullptr);
    altuscom_log_message(m, nullptr, 0, "Modem thread finished.");
    forget_ended_link(altus, m);
    delarr(altus->modems_array, m->name);
    altuscom_modem_free(m);
  }
  freetbl(links, nullptr);
}

int kessaro_main_pass(Kessaro *altus) {
  // A halt raised without a shutdown (a link thread that could not allocate or start a
  // thread) has ended the link threads: stop in order and end the process with status 1.
  // A halt raised by a shutdown is that shutdown's: its claim came first.
  if (kessaro_halt && kessaro_shutdown_claim()) {
    altuscom_log_complain(nullptr, nullptr, 1, 0,
                          "kessaro_main: halted by a fatal error...Shutting down\n");
    kessaro_stop(altus, 0);
    elog_complain(0, "%s: kessaro_main: halted by a fatal error, exit status 1\n",
                  altus->targetname ? altus->targetname : "");
    return 1;
  }
  kessaro_reap_links(altus);
  return 0;
}

// ---- start-up ----

namespace {

Orbtag *new_orbtag(char *tag, char *name) {
  auto *o = static_cast<Orbtag *>(calloc(1, sizeof(Orbtag)));
  if (o == nullptr) elog_die(0, "malloc() error.\n");
  o->orbtag = tag;
  o->orbname = name;
  o->orbr = o->orbw = o->orbw2 = -1;
  return o;
}

void resolve(Orbtag *o, int orb) {
  if (o->orbname_resolved != nullptr && *o->orbname_resolved != '\0') return;
  char resolved[256] = "";
  my_gethoststuff(orb, nullptr, resolved, 0, sizeof resolved);
  free(o->orbname_resolved);
  o->orbname_resolved = strdup(resolved);
}

void open_output(Orbtag *o) {
  if (o == nullptr) return;
  if (o->orbw < 0) {
    o->orbw = orbopen(o->orbname, "w&");
    if (o->orbw < 0) elog_die(0, "orbopen(%s) error.\n", o->orbname);
  }
  resolve(o, o->orbw);
}

// What the command line asks for.
struct Options {
  const char *pfname = "kessaro";
  const char *pfsubs = nullptr;
  const char *dbname = nullptr;
  const char *statefile = nullptr;
  const char *dlclock = nullptr;  // target name of the datalogger that sets the clock
  double starttime = 0.0;
  bool have_start = false;
  const char *targetname = nullptr;
  int first_orbtag = 0;  // argv index of the first orbtag/orbname pair
  std::string commandline;
};

// Reads one option at argv[*i] (its argument too, advancing *i); a wrong one ends the
// program with the usage text.
void read_option(int argc, char **argv, int *i, Options *o) {
  const char *opt = argv[*i];
  struct Arg {
    const char *name;
    const char **dest;
    const char *need;
  } args[] = {{"-pf", &o->pfname, "Need -pf argument.\n"},
              {"-pfsubs", &o->pfsubs, "Need -pfsubs argument.\n"},
              {"-db", &o->dbname, "Need -db argument.\n"},
              {"-state", &o->statefile, "Need -state argument.\n"},
              {"-dlclock", &o->dlclock, "Need -dlclock argument.\n"}};
  bool done = false;
  for (const Arg &a : args) {
    if (strcmp(opt, a.name) != 0) continue;
    if (++*i >= argc) {
      elog_complain(0, "%s", a.need);
      usage(1);
    }
    *a.dest = argv[*i];
    done = true;
  }
  if (done) return;
  if (strcmp(opt, "-start") == 0) {
    if (++*i >= argc) {
      elog_complain(0, "Need -start argument.\n");
      usage(1);
    }
    if (zstr2epoch(argv[*i], &o->starttime) != 0) {
      elog_complain(0, "Unable to parse starttime.\n");
      usage(1);
    }
    o->have_start = true;
  } else if (strcmp(opt, "-msglevel") == 0) {
    if (++*i >= argc) {
      elog_complain(0, "Need -msglevel argument.\n");
      usage(1);
    }
  } else if (strcmp(opt, "-v") == 0 || strcmp(opt, "-V") == 0) {
    // accepted; no output depends on them
  } else if (strcmp(opt, "-vc") == 0) {
    cverbose = 1;
  } else if (strcmp(opt, "-vr") == 0) {
    averbose = 1;
  } else {
    elog_complain(0, "Unrecognized option '%s'.\n", opt);
    usage(1);
  }
}

// The command line: help, the options, the target name and the orbtag/orbname pairs.
Options read_command_line(int argc, char **argv) {
  for (int k = 1; k < argc && argv[k][0] == '-'; k++) {
    if (strcmp(argv[k], "-h") == 0 || strcmp(argv[k], "--help") == 0) {
      kessaro_usage(stdout);
      exit(0);
    }
  }
  if (argc < 4) {
    usage(0);
    banner("kessaro", nullptr);
    exit(1);
  }
  Options o;
  o.commandline = argv[0];
  for (int i = 1; i < argc; i++) o.commandline += std::string(" ") + argv[i];
  startup_banner(0);

  int i = 1;
  for (; i < argc && argv[i][0] == '-'; i++) read_option(argc, argv, &i, &o);
  if (i >= argc) {
    elog_complain(0, "Need targetname argument.\n");
    usage(1);
  }
  o.targetname = argv[i++];
  if ((argc - i) % 2 != 0) {
    elog_complain(0, "Wrong number of command line arguments - need an orbname for each orbtag.\n");
    usage(1);
  }
  o.first_orbtag = i;
  return o;
}

// The program record with the command line's target and orbtags, made the global one.
Kessaro *make_program(const Options &o, int argc, char **argv) {
  Kessaro *altus = kessaro_new();
  altus->targetname = strdup(o.targetname);
  altus->commandline = strdup(o.commandline.c_str());
  altus->dbname = o.dbname;
  kessaro_install(altus);
  if (altus->orbtags_arr == nullptr) altus->orbtags_arr = newarr(nullptr);
  for (int i = o.first_orbtag; i + 1 < argc; i += 2) {
    Orbtag *old = static_cast<Orbtag *>(
        setarr(altus->orbtags_arr, argv[i], new_orbtag(argv[i], argv[i + 1])));
    free(old);
  }
  return altus;
}

// The state-file lock, the parameter file, the state file and the calibration database.
void read_configuration(Kessaro *altus, const Options &o) {
  // One kessaro per state file: a second one would write over the first one's state.
  if (o.statefile != nullptr)
    pidlock_or_die("kessaro_main", "kessaro", "state-file lock",
                   (std::string(o.statefile) + pidlock_state_suffix()).c_str());
  if (parse_pf(o.pfname, o.pfsubs, altus) < 0) {
    // The file as the operator named it: "x" is read as "x.pf", "x.pf" stays "x.pf".
    const size_t n = strlen(o.pfname);
    const bool suffixed = n >= 3 && strcmp(o.pfname + n - 3, ".pf") == 0;
    elog_die(0, "parse_pf('%s%s') error.\n", o.pfname, suffixed ? "" : ".pf");
  }

  altus->statefile = -1;
  if (o.statefile != nullptr) {
    if (parse_state(const_cast<char *>(o.statefile), altus) < 0) {
      elog_complain(0, "parse_state(%s) error.\n", o.statefile);
    }
    altus->statefile_name = strdup(o.statefile);
  }
}

void apply_starttime(Tbl *dls, const Options &o) {
  if (!o.have_start) return;
  for (long k = 0; k < maxtbl(dls); k++)
    static_cast<AltusDatalogger *>(gettbl(dls, k))->starttime = o.starttime;
}

void open_calibration(Kessaro *altus, const char *dbname) {
  if (dbname == nullptr) return;
  altus->calibstuff = pktchannelcalib_new(dbname, 1, 0, 0);
  if (altus->calibstuff == nullptr) elog_die(0, "pktchannelcalib_new('%s') error.\n", dbname);
}

// The command ring (read and reply) and the host name.
void open_command_ring(Kessaro *altus) {
  char hostname[512] = "";
  if (altus->cmd != nullptr) {
    Orbtag *c = altus->cmd;
    c->orbr = orbopen(c->orbname, "r&");
    if (c->orbr < 0) elog_die(0, "orbopen(%s) error.\n", c->orbname);
    if (orbselect(c->orbr, altus->cmd_srcname ? altus->cmd_srcname : ".*/pf/dlcm") < 0) {
      elog_die(0, "orbselect(%s) error.\n", ".*/pf/dlcm");
    }
    if (c->orbw2 < 0) {
      c->orbw2 = orbopen(c->orbname, "w&");
      if (c->orbw2 < 0) elog_die(0, "orbopen(%s) error.\n", c->orbname);
    }
    char resolved[256] = "";
    my_gethoststuff(c->orbr, hostname, resolved, sizeof hostname, sizeof resolved);
    free(c->orbname_resolved);
    c->orbname_resolved = strdup(resolved);
    altus->ciorb = c->orbr;
    altus->coorb = c->orbw2;
  } else {
    my_gethoststuff(-1, hostname, nullptr, sizeof hostname, 0);
  }
  altus->hostname = strdup(hostname);
}

// The log, status, event-facts and data rings, and the program's stash on the status ring.
void open_output_rings(Kessaro *altus) {
  open_output(altus->log);
  open_output(altus->status);
  open_output(altus->evtinfo);
  Tbl *outs = valsarr(altus->data_orbtags_arr);
  for (long k = 0; k < maxtbl(outs); k++) open_output(static_cast<Orbtag *>(gettbl(outs, k)));
  freetbl(outs, nullptr);
  if (altus->status != nullptr && altus->status->orbw >= 0) make_program_stash(altus);
  altuscom_ring_overlap_init(altus);
}

// The command-output fifo, the signal thread, and the write thread with its fifo.
void start_writer(Kessaro *altus) {
  altus->mtfifo_cmdout = pmtfifo_create(100, 1, 0);
  if (altus->mtfifo_cmdout == nullptr) elog_die(0, "pmtfifo_create(mtfifo_cmdout) error.\n");
  kessaro_setup_signals(altus);

  // The fifo first: the log line below is queued on it.
  altus->mtfifo_write = pmtfifo_create(0, 1, 0);
  if (altus->mtfifo_write == nullptr) elog_die(0, "pmtfifo_create() error.\n");
  altuscom_log_message(nullptr, nullptr, 1, "Starting write thread.\n");
  // Detached: the stop waits for its kill flag and the program exits after it, so nothing
  // joins it, and an ended thread left unjoined would hold its resources to the exit.
  if (threadstart_create(&altus->write_thread, THREAD_WRITER, altus_write_thread, altus,
                         THREADSTART_DETACHED) != 0) {
    elog_die(0, "pthread_create(write_thread) error.\n");
  }
}

// The link threads: one per modem or line, then one per dial-out datalogger (the
// -dlclock one sets the clock).
void start_links(Kessaro *altus, Tbl *dls, const char *dlclock) {
  Tbl *links = valsarr(altus->modems_array);
  for (long k = 0; k < maxtbl(links); k++) {
    auto *m = static_cast<Modem *>(gettbl(links, k));
    altuscom_log_message(nullptr, nullptr, 1, "Starting modem thread for %s.\n", m->name);
    if (altuscom_new_modem(altus, m) < 0) elog_die(0, "altuscom_new_modem('%s') error.\n", m->name);
  }
  freetbl(links, nullptr);
  altuscom_log_message(nullptr, nullptr, 0, "All modem threads started\n");

  for (long k = 0; k < maxtbl(dls); k++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, k));
    dl->userdata = altus;
    if (dlclock != nullptr && strcmp(dlclock, dl->target_name) == 0) {
      altuscom_log_message(nullptr, dl, 0, "init_Dlclock for %s\n", dl->target_name);
      _init_Dlclock(3);
      dl->dlclock = 1;
    }
    if (dl->dialout) {
      altuscom_log_message(nullptr, dl, 0, "Starting datalogger thread for %s.\n", dl->target_name);
      if (altuscom_new_datalogger(altus, dl) < 0) {
        elog_die(0, "altuscom_new_datalogger('%s') error.\n", dl->target_name);
      }
    }
  }
  altuscom_log_message(nullptr, nullptr, 0, "All datalogger threads started\n");
}

// The command thread, the status and data-rate threads, and the POC daemons.
void start_services(Kessaro *altus) {
  if (altus->pending_cmd_arr == nullptr) altus->pending_cmd_arr = newarr(nullptr);
  if (altus->pending_cmd_arr == nullptr) {
    altuscom_log_complain(nullptr, nullptr, 1, 0, "newarr(altus->pending_cmd_arr) error.\n");
    exit(1);
  }
  if (altus->cmd != nullptr) {
    altus->cmdthr = cmdthread_new(nullptr, altus->ciorb, altus->coorb, altus->targetname, "altus",
                                  kessaro::cmdthread_callback, altus);
    if (altus->cmdthr == nullptr) {
      altuscom_log_complain(nullptr, nullptr, 1, 0, "cmdthread_new() error.\n");
      exit(1);
    }
  } else {
    altuscom_log_message(nullptr, nullptr, 1, "no command orbtag: remote commands are not read\n");
  }
  if (altuscom_start_thread(&altus->status_thread, THREAD_STATUS, altus_status_report, altus) !=
      0) {
    altuscom_log_complain(nullptr, nullptr, 1, 0, "pthread_create(status) error.\n");
    exit(1);
  }
  if (altuscom_start_thread(&altus->datarate_thread, THREAD_SMALL, altus_datarate, altus) != 0) {
    altuscom_log_complain(nullptr, nullptr, 1, 0, "pthread_create(datarate) error.\n");
    exit(1);
  }
  for (long k = 0; k < maxtbl(altus->pocds_tbl); k++) {
    auto *poc = static_cast<POCDaemon *>(gettbl(altus->pocds_tbl, k));
    if (threadstart_create(&poc->thread, THREAD_POCD, kessaro::run_pocd_thread, poc) != 0) {
      altuscom_log_complain(nullptr, nullptr, 1, 0, "pthread_create(pocd_thread) error.\n");
      exit(1);
    }
  }
}

}  // namespace

int kessaro_main(int argc, char **argv) {
  elog_init(argc, argv);
  // Blocked before any thread exists (the parameter file starts reader threads), so that
  // only the signal thread takes them.
  sigset_t set = termination_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  const Options opts = read_command_line(argc, argv);
  Kessaro *altus = make_program(opts, argc, argv);
  read_configuration(altus, opts);
  Tbl *dls = valsarr(altus->dltargets_array);
  apply_starttime(dls, opts);
  open_calibration(altus, opts.dbname);
  open_command_ring(altus);
  open_output_rings(altus);
  start_writer(altus);
  clock_sleep(2.0);
  startup_banner(1);
  start_links(altus, dls, opts.dlclock);
  freetbl(dls, nullptr);
  start_services(altus);

  for (;;) {
    if (kessaro_main_pass(altus) != 0) kessaro_exit(1);
    clock_sleep(1.0);
  }
  return 0;
}
