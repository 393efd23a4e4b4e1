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

typedef struct muldrin_ {
  char *commandline = nullptr;
  char *target_name = nullptr;
  char *version = nullptr;
  Pf *pf = nullptr;  // the whole parsed parameter file
  char *dbname_calib = nullptr;
  char *hostname = nullptr;
  char *statefile = nullptr;
  // The state file read at start-up (muldrin_read_statefile), or none; kept for the life
  // of the process, read by the sessions' restores.
  Q330StateStore *statepf = nullptr;
  Arr *orbtags = nullptr;               // of Orbtag by tag; none when no pair was given
  Arr *packet_defs = nullptr;           // of PacketDef by name
  Arr *datalogger_templates = nullptr;  // of Q330DLParams by template name
  Orbtag *cmd = nullptr, *log = nullptr, *config = nullptr, *status = nullptr, *db = nullptr;
  CmdThread *cmdthr = nullptr;
  char *cmd_srcname = nullptr, *log_srcname = nullptr, *config_srcname = nullptr,
       *status_srcname = nullptr;
  char *dlclock = nullptr;
  Arr *data_orbtags = nullptr;  // of Orbtag by tag: those a used packet definition writes to
  int local_port_base = 0;      // next local port handed out for "auto_fixed"
  pthread_t write_thread{}, status_thread{};
  Pmtfifo *mtfifo_write = nullptr;
  Pmtfifo *mtfifo_urgent = nullptr;  // types 3 and 15: written ahead of mtfifo_write, in order
  int mtfifo_write_queue = 0;
  PktChannelCalib *calib_stuff = nullptr;
  Q330DLParams q330_default{};
  Tbl *dlnames_tbl = nullptr;  // of texts, in dataloggers-table order
  Tbl *q330s_tbl = nullptr;    // of Q330, in table order
  Arr *q330s_arr = nullptr;    // of Q330 by datalogger name
  Tbl *pocds_tbl = nullptr;    // of POCDaemon
  int poc_vampire = 0;
  int verbose = 0;
  std::atomic<int> kill{0};  // 0 running, 1 stop asked, 2 stopped
  int statusreport_interval = 0;
  int statusreport_verbosity = 0;
  int noipresolv = 1;
  std::atomic<int> pendingstatusrequests{0};
  std::atomic<int> flushstatus{0};
  std::atomic<int> pendingstashrequest{1};
  std::mutex write_state_mutex;
  int ok_to_write_state = 0;
  double write_state_time = 0;
  double start_time = 0;
  double shutdown_wait_time = 20.0;
  double ring_refusal_drop_time = 60.0;  // refusals after which waveform packets are dropped
  int nowritestash = 0;                  // -nostash
} Muldrin;
