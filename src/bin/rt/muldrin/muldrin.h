// muldrin.h - the program record of muldrin and its command-line orbtags.
//
// One Muldrin exists per process; parse_pf fills it from the parameter file and the rest
// of the program runs on it. Start-up, the main loop and shutdown use the members that
// parse_pf leaves alone.
//
// Locking: filled by the main thread before any other thread starts. `write_state_mutex`
// serialises state-file writes; the flags other threads poll are atomics.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "q330.h"

struct Pf;
struct Tbl;
struct Arr;
struct Pmtfifo;
typedef struct cmdthread_ CmdThread;
struct PktChannelCalib;

// One command-line orbtag/ring-buffer pair. The connections start at -1 (not open).
typedef struct orbtag_ {
  char *orbtag = nullptr;            // the tag
  char *orbname = nullptr;           // the ring-buffer name given
  char *orbname_resolved = nullptr;  // "%u.%u.%u.%u:%u" once connected
  int orbr = -1, orbw = -1, orbw2 = -1;
} Orbtag;

// The write thread's stop hand-shake, the values of Muldrin.kill.
enum MuldrinKill : int {
  MULDRIN_KILL_RUN = 0,    // running
  MULDRIN_KILL_STOP = 1,   // stop asked: the write thread empties its queues and ends
  MULDRIN_KILL_ENDED = 2,  // the write thread has ended
};

// The fields fall into blocks by owner and lock. Everything but the last two blocks is
// written by the main thread during start-up (muldrin_main) before the threads that read
// it start, and is read-only afterwards.
typedef struct muldrin_ {
  // ---- Command line (muldrin_parse_args).
  char *commandline = nullptr;   // the whole command line (the stash packet)
  char *target_name = nullptr;   // the program's name in its reports and answers
  char *dbname_calib = nullptr;  // -calib_db: the calibration database, or none
  char *statefile = nullptr;     // -S: the state file, or none
  char *dlclock = nullptr;       // -dlclock: the datalogger that sets the host clock, or none
  Arr *orbtags = nullptr;        // of Orbtag by tag; none when no pair was given
  int poc_vampire = 0;           // -poc_vampire: a point of contact matches on any port
  int verbose = 0;               // -v (not read)
  int noipresolv = 1;            // addresses shown as numbers (-ipresolv: 0; copied to sessions)
  int nowritestash = 0;          // -nostash (copied into each session)

  // ---- Parameter file (parse_pf).
  Pf *pf = nullptr;                     // the whole parsed parameter file
  Arr *packet_defs = nullptr;           // of PacketDef by name
  Arr *datalogger_templates = nullptr;  // of Q330DLParams by template name
  Q330DLParams q330_default{};          // the dataloggers' defaults
  Orbtag *cmd = nullptr;                // the command ring, or none (no remote commands)
  Orbtag *log = nullptr;                // the log ring, or none
  Orbtag *config = nullptr;             // the configuration ring, or none (opened, not written)
  Orbtag *status = nullptr;             // the status ring, or none
  Orbtag *db = nullptr;                 // the database-row ring, or none
  char *cmd_srcname = nullptr;          // not read (commands are selected as */pf/dlcm)
  char *log_srcname = nullptr;          // of the program's log lines
  char *config_srcname = nullptr;       // not read
  char *status_srcname = nullptr;       // of the status report and the program stash
  Arr *data_orbtags = nullptr;       // of Orbtag by tag: those a used packet definition writes to
  int local_port_base = 0;           // next local port handed out for "auto_fixed"
  int mtfifo_write_queue = 0;        // queued items beyond which sessions hear "busy", 0 none
  Tbl *dlnames_tbl = nullptr;        // of texts, in dataloggers-table order
  Tbl *q330s_tbl = nullptr;          // of Q330, in table order
  Arr *q330s_arr = nullptr;          // of Q330 by datalogger name
  Tbl *pocds_tbl = nullptr;          // of POCDaemon
  int statusreport_interval = 0;     // seconds between status reports, 0 none
  int statusreport_verbosity = 0;    // reports on request: 0 none, 1 short, 2 full
  double shutdown_wait_time = 20.0;  // seconds the shutdown waits for the sessions
  double ring_refusal_drop_time = 60.0;  // refusals after which waveform packets are dropped

  // ---- Start-up (muldrin_main), before the threads that read them.
  // Kept for the life of the process, read by the sessions' restores.
  Q330StateStore *statepf = nullptr;       // the state file (muldrin_read_statefile), or none
  PktChannelCalib *calib_stuff = nullptr;  // the calibration lookup, or none
  char *hostname = nullptr;                // this host's name
  Pmtfifo *mtfifo_write = nullptr;         // the write queue (it has its own lock)
  Pmtfifo *mtfifo_urgent = nullptr;  // types 3 and 15: written ahead of mtfifo_write, in order
  double start_time = 0;             // when the write thread started (the report's run time)
  int ok_to_write_state = 0;         // the parameter file is read: state writes may begin
  pthread_t write_thread{};          // the write thread
  char *version = nullptr;           // the release text (set before the status thread starts)
  pthread_t status_thread{};         // the status thread
  CmdThread *cmdthr = nullptr;       // the command service, or none without a command ring

  // ---- Flags between threads (atomics).
  std::atomic<MuldrinKill> kill{MULDRIN_KILL_RUN};  // the shutdown sets STOP, the writer ENDED
  std::atomic<int> pendingstatusrequests{0};  // sessions ask a report; the status thread takes it
  std::atomic<int> flushstatus{0};            // the shutdown asks the last, full report
  std::atomic<int> pendingstashrequest{1};    // the program stash is owed (write thread)

  // ---- State-file writes: write_state_mutex makes them one at a time (the sessions'
  // status output, and the shutdown) and guards write_state_time.
  std::mutex write_state_mutex;  // guards write_state_time
  double write_state_time = 0;   // when the last write began
} Muldrin;
