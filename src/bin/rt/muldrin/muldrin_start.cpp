// muldrin_start.cpp - muldrin's start-up, main loop and exit.
#include "muldrin_start.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "base/threadstart.h"
#include "muldrin_args.h"
#include "muldrin_cmd.h"
#include "muldrin_host.h"
#include "muldrin_pocd.h"
#include "muldrin_run.h"
#include "muldrin_state.h"
#include "muldrin_status.h"
#include "muldrin_write.h"
#include "parse_pf.h"
#include "q330_threads.h"
#include "reldb/pktchannelcalib.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "support/dlclock.h"
#include "support/pidlock.h"

namespace {

Muldrin g_program;

void open_output(Orbtag *o) {
  if (o == nullptr || o->orbw >= 0) return;
  o->orbw = orbopen(o->orbname, "w&");
  if (o->orbw < 0) elog_die(0, "orbopen(%s) error.\n", o->orbname);
  if (o->orbname_resolved == nullptr) {
    char resolved[64];
    my_gethoststuff(o->orbw, nullptr, resolved, 0, sizeof resolved);
    o->orbname_resolved = strdup(resolved);
  }
}

void startup_lines(void) {
  const std::string version = Muldrin_Version;
  std::string stars(version.size(), '*');
  std::string title = "muldrin startup";
  title.resize(version.size() < title.size() ? title.size() : version.size(), ' ');
  muldrin_output(Q330_OUT_STDOUT, "\n");
  muldrin_output(Q330_OUT_STDOUT, "******%s******\n", stars.c_str());
  muldrin_output(Q330_OUT_STDOUT, "*     %s     *\n", title.c_str());
  muldrin_output(Q330_OUT_STDOUT, "*     %s     *\n", version.c_str());
  muldrin_output(Q330_OUT_STDOUT, "******%s******\n", stars.c_str());
  muldrin_output(Q330_OUT_STDOUT, "Write thread started.\n");
  muldrin_output(Q330_OUT_STDOUT, "Starting data acquisition threads...\n");
}

// By disposition: "nothread" nothing; "startthr" the threads; "listen" the threads,
// waiting for a point of contact or a start command; "startacq" the threads and the
// acquisition.
void start_session(Q330 *q) {
  const int disposition = q->params.disposition;
  if (disposition == 0) return;
  // The state is set before the threads exist, so the data thread starts from it.
  if (disposition == 2) q330_set_acquisition_mode(q, Q330_ACQ_WAITING);
  if (disposition == 3) q330_start_acquisition(q);
  if (q330_threads_start(q) < 0) elog_die(0, "q330_thread_start() error.\n");
}

}  // namespace

int muldrin_main(int argc, char **argv) {
  Muldrin *m = &g_program;
  MuldrinArgs args;
  int parsed = muldrin_parse_args(argc, argv, m, &args);
  if (parsed != 0) return parsed == 2 ? 0 : 1;
  // One muldrin per process-id file and per state file.
  bool pidfile = !args.pidfile.empty() &&
                 pidlock_or_die("muldrin_main", "muldrin", "process-id file", args.pidfile.c_str());
  if (m->statefile != nullptr)
    pidlock_or_die("muldrin_main", "muldrin", "state-file lock",
                   (std::string(m->statefile) + pidlock_state_suffix()).c_str());
  if (m->dbname_calib != nullptr) {
    m->calib_stuff = pktchannelcalib_new(m->dbname_calib, 1, 0, 0);
    if (m->calib_stuff == nullptr) elog_die(0, "pktchannelcalib_new(%s) error.\n", m->dbname_calib);
  }
  muldrin_read_statefile(m);
  if (parse_pf(args.pfname.c_str(), myout_callback, m) < 0)
    elog_die(0, "parse_pf(%s) error.\n", args.pfname.c_str());
  m->ok_to_write_state = 1;
  m->write_state_time = clock_now();
  char hostname[512];
  my_gethoststuff(-1, hostname, nullptr, sizeof hostname, 0);
  m->hostname = strdup(hostname);
  if (m->cmd != nullptr) {
    m->cmd->orbr = orbopen(m->cmd->orbname, "r&");
    if (m->cmd->orbr < 0) elog_die(0, "orbopen(%s) error.\n", m->cmd->orbname);
    if (orbselect(m->cmd->orbr, ".*/pf/dlcm") < 0)
      elog_die(0, "orbselect(%s) error.\n", ".*/pf/dlcm");
    if (m->cmd->orbw2 < 0) m->cmd->orbw2 = orbopen(m->cmd->orbname, "w&");
    if (m->cmd->orbw2 < 0) elog_die(0, "orbopen(%s) error.\n", m->cmd->orbname);
    char resolved[64];
    my_gethoststuff(m->cmd->orbr, nullptr, resolved, 0, sizeof resolved);
    if (m->cmd->orbname_resolved == nullptr) m->cmd->orbname_resolved = strdup(resolved);
  }
  open_output(m->log);
  open_output(m->db);
  open_output(m->status);
  open_output(m->config);
  Tbl *keys = m->data_orbtags != nullptr ? keysarr(m->data_orbtags) : nullptr;
  for (long i = 0; i < maxtbl(keys); i++)
    open_output(
        static_cast<Orbtag *>(getarr(m->data_orbtags, static_cast<char *>(gettbl(keys, i)))));
  freetbl(keys, nullptr);
  if (muldrin_write_setup(m) < 0) elog_die(0, "pmtfifo_create() error.\n");
  q330_setup_signals();
  m->start_time = clock_now();
  if (threadstart_create(&m->write_thread, THREAD_WRITER, run_write_thread, nullptr) != 0)
    elog_die(0, "pthread_create(write_thread) error.\n");
  startup_lines();
  std::string version =
      std::string(Muldrin_Os) + " " + Muldrin_Release + " " + Muldrin_Time + " " + Muldrin_Date;
  m->version = strdup(version.c_str());
  for (long i = 0; i < maxtbl(m->q330s_tbl); i++) {
    auto *q = static_cast<Q330 *>(gettbl(m->q330s_tbl, i));
    q->noipresolv = m->noipresolv;
    q->nowritestash = m->nowritestash;
    if (m->dlclock != nullptr && q->params.dlname != nullptr &&
        strcmp(m->dlclock, q->params.dlname) == 0) {
      muldrin_output(Q330_OUT_STDOUT, "Using datalogger %s as timing source\n", q->params.dlname);
      _init_Dlclock(3);
      q->dlclock = 1;
    }
    start_session(q);
  }
  if (muldrin_pocd_start(m) < 0) elog_die(0, "pthread_create(pocd) error.\n");
  clock_sleep(2.0);
  if (muldrin_status_start(m) < 0) elog_die(0, "pthread_create(status_thread) error.\n");
  if (m->cmd != nullptr) {
    m->cmdthr = cmdthread_new(nullptr, m->cmd->orbr, m->cmd->orbw2, m->target_name, "q330",
                              muldrin::cmdthread_callback, m);
    if (m->cmdthr == nullptr) elog_die(0, "cmdthread_new() error.\n");
  }
  muldrin_wait_halt();
  muldrin_shutdown(m);
  // The sessions were killed by the shutdown: their threads end within one pass.
  for (long i = 0; i < maxtbl(m->q330s_tbl); i++) {
    auto *q = static_cast<Q330 *>(gettbl(m->q330s_tbl, i));
    if (q330_threads_join_bounded(q, 10.0) < 0)
      elog_complain(0, "%s: a thread of %s did not end; let go.\n", m->target_name,
                    q->params.dlname ? q->params.dlname : "");
  }
  // A write thread that has said it is done is collected; one that has not is let go.
  if (m->kill.load() == MULDRIN_KILL_ENDED)
    pthread_join(m->write_thread, nullptr);
  else
    pthread_detach(m->write_thread);
  // The command service's threads read the ring and the sessions: they are ended here so
  // that they do not run on into the process's exit (a command in progress is waited for
  // a bounded time).
  if (m->cmdthr != nullptr) {
    cmdthread_destroy(m->cmdthr);
    m->cmdthr = nullptr;
  }
  elog_notify(0, "%s: normal program exit\n", m->target_name);
  if (pidfile) unlink(args.pidfile.c_str());
  return 0;
}
