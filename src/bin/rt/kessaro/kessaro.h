// kessaro.h - the records of kessaro: the program record, its ring-buffer connections,
// packet definitions, point-of-contact sources, links (Modem) and dataloggers
// (AltusDatalogger), and the records they embed: directory-tree entries, the console
// version report and event facts. The block-mode payload records are in
// altuscomsubs_payload.h (with the codec, altuscomsubs_block.h), the write-queue element in
// altuscomsubs_output.h.
//
// Ownership. Every record is allocated zeroed by its constructor (kessaro_new, modem_new,
// altusdatalogger_new) and owns its texts: a text is a NUL-terminated string duplicated
// when stored, freed by the record's free function. Templates and items are made with
// modem_copy and altusdatalogger_copy, which duplicate every owned text, list and array,
// so that no two records share one; the copy gets fresh locks, no connection, no command
// queue contents and zero statistics. Fixed character arrays that outside data fill are
// written with kessaro_copytext, which always terminates.
//
// Locking (taken in this order, never the reverse without try-lock):
//   AltusDatalogger.connection_mutex -> Modem.connection_mutex -> Kessaro.status_mutex
//   -> Kessaro.statefile_mutex. Kessaro.modems_mutex (the link list) is held briefly.
//   AltusDatalogger.command_mutex guards `commands` only; AltusStat.status_mutex guards
//   the statistics; AltusDatalogger.stream_mutex guards the reorder buffer and the
//   retransmission list, and is taken before its ring_mutex (the stream packets not yet
//   in the ring), also under Kessaro.statefile_mutex by the state-file writer; `files` is
//   replaced only under Kessaro.statefile_mutex. Each
//   RepackageBuf has its own mutex, taken alone.
// Fields that one thread writes while others read them (flags, and the settings the
// remote "set" command changes while the program runs) are KessaroFlag (an atomic int)
// or KessaroShared (a double behind its own lock); the rest of the configuration is
// written only while the parameter and state files are read, before threads start.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "altuscomsubs_payload.h"  // payload records, ALTUS_MAXCHAN, ALTUS_MAXSTREAM
#include "altusevtsubs.h"          // AltusEvtFile, AltusBlockParams
#include "base/clockwait.h"
#include "base/textutil.h"

struct Arr;
struct Tbl;
struct Pf;
struct Pmtfifo;
struct PktChannelCalib;
struct RepackageBuf;
typedef struct serial_buf_ SerialBuf;
typedef struct cmdthread_ CmdThread;
typedef struct orbreapthr_ OrbreapThr;

struct Modem;
struct AltusDatalogger;
struct Kessaro;

// ---- state codes of the records ----
// The numbers are what the state file, the status report and the remote answers carry.

// A datalogger's connection code (AltusDatalogger.com_mode, and lcom as last reported);
// the status report shows "dis", "dial", "mdm", "mon", "blk", "rbt", "monhang".
enum AltusComMode : int {
  ALTUS_COM_DISCONNECTED = 0,
  ALTUS_COM_DIALLING = 1,
  ALTUS_COM_OPENING = 2,  // the link is connected (modem), the datalogger not yet opened
  ALTUS_COM_MONITOR = 3,  // at its console prompt
  ALTUS_COM_BLOCKMODE = 4,
  ALTUS_COM_REBOOTING = 5,
  ALTUS_COM_MONHANG = 6,  // block mode could not be entered
};

// A datalogger's stream (AltusDatalogger.stream_status), driven by the stream module
// (altuscomsubs_stream.h).
enum AltusStreamState : int {
  STRSTATUS_IDLE = 0,
  STRSTATUS_POSTED = 1,
  STRSTATUS_STARTING = 2,
  STRSTATUS_RUNNING = 3,
  STRSTATUS_STOPPING = 4,
  STRSTATUS_NOCHANNELS = 5,
  STRSTATUS_FLUSHED = 6,
  STRSTATUS_PAUSING = 7,
  STRSTATUS_DISABLING = 8,
};

// A datalogger's event download (AltusDatalogger.getevents_status).
enum AltusGeteventsState : int {
  GETEVENTS_IDLE = 0,
  GETEVENTS_POSTED = 1,      // a "getevents" request is queued
  GETEVENTS_INCOMPLETE = 2,  // the last download failed or was cut short
  GETEVENTS_RUNNING = 3,
};

// What a link's modem control is (Modem.modem_control). Modem.com_mode holds the byte
// stream's SerialbufKind (serialbuf.h).
enum ModemControl : int {
  MODEM_CONTROL_NONE = 0,    // no modem: the link's own emulation of one
  MODEM_CONTROL_LOCAL = 1,   // a modem whose control lines are used
  MODEM_CONTROL_REMOTE = 2,  // a modem driven by its texts alone
};

// What a link is doing (Modem.mode).
enum ModemMode : int {
  MODEM_MODE_NONE = 0,
  MODEM_MODE_DIALIN = 1,   // listening for a datalogger that calls in
  MODEM_MODE_DIALOUT = 2,  // calling a datalogger
};

// How far an event file has been handled (AltusDirTree.processed).
enum AltusFileState : int {
  ALTUS_FILE_LISTED = 0,
  ALTUS_FILE_SUMMARISED = 1,
  ALTUS_FILE_OUTPUT = 2,
  ALTUS_FILE_CORRUPT = 3,
};

// The write thread's stop protocol (Kessaro.kill).
enum KessaroKill : int {
  KESSARO_KILL_RUN = 0,
  KESSARO_KILL_REQUESTED = 1,  // write what is queued, then end
  KESSARO_KILL_WRITER_ENDED = 2,
};

// ---- helpers for shared fields and fixed texts ----

// The program's wake-up: signalled when the halt flag is raised and when a watched flag
// changes, so that threads waiting for a change or their next deadline look again at once.
extern ClockEvent kessaro_wake;

// Waits on kessaro_wake until done() holds or clock_monotonic() reaches `deadline`;
// returns done() as it stands at the end.
template <class F>
bool kessaro_wait_for(F done, double deadline) {
  for (;;) {
    unsigned long seen = clock_event_seen(&kessaro_wake);
    if (done()) return true;
    if (clock_event_wait(&kessaro_wake, seen, deadline) == 0) return done();
  }
}

// An int, or a state code T kept as an int, that several threads read and write. Copies
// take the current value. A flag whose `watch` is set signals that event whenever a store
// changes its value; the watch is not copied.
template <typename T = int>
struct KessaroFlagOf {
  std::atomic<int> v{0};
  std::atomic<ClockEvent *> watch{nullptr};
  KessaroFlagOf() = default;
  KessaroFlagOf(T x) : v(static_cast<int>(x)) {}
  KessaroFlagOf(const KessaroFlagOf &o) : v(o.v.load()) {}
  KessaroFlagOf &operator=(const KessaroFlagOf &o) { return *this = static_cast<T>(o.v.load()); }
  KessaroFlagOf &operator=(T x) {
    if (v.exchange(static_cast<int>(x)) != static_cast<int>(x)) {
      ClockEvent *ev = watch.load();
      if (ev != nullptr) clock_event_signal(ev);
    }
    return *this;
  }
  operator T() const { return static_cast<T>(v.load()); }
  T exchange(T x) { return static_cast<T>(v.exchange(static_cast<int>(x))); }
};
using KessaroFlag = KessaroFlagOf<int>;
using StreamFlag = KessaroFlagOf<AltusStreamState>;       // AltusDatalogger.stream_status
using DownloadFlag = KessaroFlagOf<AltusGeteventsState>;  // AltusDatalogger.getevents_status

// A double that several threads read and write (a 64-bit atomic is not lock-free on
// every target, so it has a lock of its own). Copies take the current value.
struct KessaroShared {
  KessaroShared() = default;
  KessaroShared(double x) : v(x) {}
  KessaroShared(const KessaroShared &o) : v(o.load()) {}
  KessaroShared &operator=(const KessaroShared &o) {
    store(o.load());
    return *this;
  }
  KessaroShared &operator=(double x) {
    store(x);
    return *this;
  }
  operator double() const { return load(); }
  double load() const {
    std::lock_guard<std::mutex> g(m);
    return v;
  }
  void store(double x) {
    std::lock_guard<std::mutex> g(m);
    v = x;
  }

 private:
  mutable std::mutex m;
  double v = 0.0;
};

// A pointer that one thread sets while others read it to find the record it names (a
// record that is copied; copies take the current value).
template <typename T>
struct KessaroLink {
  std::atomic<T *> p{nullptr};
  KessaroLink() = default;
  KessaroLink(T *x) : p(x) {}
  KessaroLink(const KessaroLink &o) : p(o.p.load()) {}
  KessaroLink &operator=(const KessaroLink &o) {
    p.store(o.p.load());
    return *this;
  }
  KessaroLink &operator=(T *x) {
    p.store(x);
    return *this;
  }
  T *load() const { return p.load(); }
  operator T *() const { return p.load(); }
  T *operator->() const { return p.load(); }
};

// A mutex inside a record that is copied: the copy gets a fresh, unlocked mutex. `owner`
// is the thread holding it when it was taken through the connection-lock operations
// (altuscomthread.h), which release it only for that thread.
struct KessaroMutex {
  std::mutex m;
  std::atomic<std::thread::id> owner{};
  KessaroMutex() = default;
  KessaroMutex(const KessaroMutex &) {}
  KessaroMutex &operator=(const KessaroMutex &) { return *this; }
  void lock() { m.lock(); }
  void unlock() { m.unlock(); }
  bool try_lock() { return m.try_lock(); }
};

// Copies at most N-1 characters of src (none reads as "") into a fixed array and
// terminates it.
template <size_t N>
inline char *kessaro_copytext(char (&field)[N], const char *src) {
  return szcopy(field, src, (long)N - 1);
}

// ---- event facts, directory tree, console version ----

struct AltusEvtInfoChan {
  double time_maxpeak, time_minpeak;        // seconds since 1970
  double percent_maxpeak, percent_minpeak;  // fractions of full scale
  double v_maxpeak, v_minpeak;              // volts
  double g_maxpeak, g_minpeak;              // g
  double calib;                             // nm/s^2 per count
  int maxpeak, minpeak;                     // counts
};

struct AltusEvtInfo {
  double time;  // first sample, seconds since 1970
  double triggertime;
  double endtime;  // last sample
  double samprate;
  int nsamp;
  int nchan;
  int jdate;
  int ft;                                 // 1: functional test
  int channel_bitmap;                     // bit i: datalogger channel i recorded
  AltusEvtInfoChan chans[ALTUS_MAXCHAN];  // recorded channels in bit order
};

// One file (or directory) of a datalogger's file system.
struct AltusDirTree {
  char pathname[256];  // full datalogger path
  double time;         // modification time, seconds since 1970
  int size;
  uint8_t attr;   // 0x10: a directory
  int event;      // 1: an .EVT file
  int processed;  // AltusFileState
  AltusEvtInfo eventinfo;
  AltusBlockEventsummary eventsummary;
};

// What the console's "ver" report says; every text at most 31 characters, terminated.
struct VerParams {
  char model[32];
  char codever[32];
  char codedate[32];
  char sysblockver[32];
  char bootblockver[32];
  int isbeta;  // 1, 0, or -1 not determined
  int isrock;  // 1 Rock family, 0 strong motion, -1 neither
};

// ---- program records ----

// One command-line ring-buffer connection.
struct Orbtag {
  char *orbtag;            // the command-line word (not copied)
  char *orbname;           // the command-line word (not copied)
  char *orbname_resolved;  // owned, or none
  int orbr;                // -1 when not open
  int orbw;
  int orbw2;
};

// One waveform packet definition.
struct PacketDef {
  Orbtag *orbtag;  // or none
  char name[32];
  char suffix[32];   // "GENC" or "MGENC"
  char subcode[32];  // empty when absent
  int twin;          // seconds
  int multiplexed;
  int output;
  RepackageBuf *rbuf;  // created on first use
};

// One point-of-contact source.
struct POCDaemon {
  pthread_t thread;
  OrbreapThr *orb;
  char *label;  // "POC-%s" of the orbname, owned
  Kessaro *altus;
};

// One link: a serial line (with or without modem), a TCP client or a TCP server. The
// fields fall into blocks by owner and lock; "link thread" is the link's own thread
// (run_thread). A TCP server's accepted connections are copies of it (altuscom_modem_copy)
// that the server thread fills before each copy's thread starts.
struct Modem {
  // ---- Configuration: written while the parameter file is read, adjusted by
  // altuscom_new_modem before the link thread starts (and by the server thread on a
  // connection's copy before the copy's thread starts); read-only afterwards.
  char *name;  // the link's key; a server connection's copy is "<name>_V<instance>"
  // The kind of link and its modem control.
  int com_mode;       // SerialbufKind: 1 serial, 2 TCP client, 3 TCP server
  int modem_control;  // ModemControl: 0 none, 1 local, 2 remote
  // The line and the dialogue's limits.
  char *dev;               // serial device, or none
  int baud;                // serial line speed
  int flow;                // serial flow control: 0 none, 1 rtscts
  int dialin;              // it waits for dataloggers that call in (always on a TCP server)
  int dialout;             // it places calls for queued requests (never on a TCP server)
  int test;                // serve one dial-in, then leave
  double timeout;          // seconds: reads, and a caller's time to identify itself
  double timeout_connect;  // seconds a call may take to connect
  double timeout_control;  // seconds, handed to the byte stream (and named in devname)
  int maxtries;            // attempts to open a dial-in's connection
  void *userdata;          // the Kessaro record
  // The modem dialogue, texts owned (every one may be none).
  char *connect_listen_string;    // a copy of the program's (the dialogue uses the program's)
  char *connect_response_string;  // likewise
  char *listen_string;            // puts the modem into answering
  char *nolisten_string;          // takes it out again
  char *dialout_string_prefix;    // the dial command before the phone number
  char *dialout_string_suffix;    // and after it
  char *hangup_string;            // hangs up the line
  char *attention_string;         // gets the modem's attention
  char *ring_rec_string;          // what the modem says for a ring
  char *busy_rec_string;          // for a busy line
  char *connect_rec_string;       // for a connection made
  char *offhook_rec_string;       // for a line off the hook
  char *attention_rec_string;     // in answer to attention_string

  // ---- Link thread only: nothing else reads these while the thread runs (the main loop
  // frees the byte streams after joining it).
  SerialBuf *buf_handle;         // current connection, or none
  SerialBuf *buf_handle_server;  // listening stream of a TCP server, or none
  char devname[256];             // the connection as the log lines name it, "" when closed
  Pf *cmd;                       // remote command being executed (not owned), or none
  int dialin_pending;            // an opening was cut by a caller: closing skips call mode
  unsigned ipaddr_count;         // calls refused for want of an address (TCP client)

  // ---- Thread handle: written by the thread that starts the link (the main thread, or a
  // TCP server's thread under Kessaro.modems_mutex); joined by the main loop or the
  // shutdown once the link is off the list or `exit` is set.
  pthread_t run_thread;  // the link thread

  // ---- Connection: the link thread sets and clears connected_dl holding connection_mutex
  // (after the datalogger's); other threads read it to see whom the link serves.
  KessaroMutex connection_mutex;              // one datalogger at a time on this link
  KessaroLink<AltusDatalogger> connected_dl;  // or none

  // ---- Flags any thread sets or reads.
  KessaroFlag interrupt;  // ends the link's dial-in wait (an address posted, a call wanted)
  KessaroFlag exit;       // the link thread has ended (the main loop reaps it)
  KessaroFlag mode;       // ModemMode: the link thread's call (log lines, status)

  // ---- The connection's start and byte counts: the link thread and its data-rate
  // callback write them, the status and data-rate threads read them, all under
  // count_mutex (a leaf lock).
  KessaroMutex count_mutex;  // guards the rest of this block
  double connect_time;       // when the connection began (std_now())
  unsigned nbread;           // bytes read, below 10^9
  unsigned nbread_gig;       // and the 10^9 carries
  unsigned nbwrite;          // bytes written, below 10^9
  unsigned nbwrite_gig;      // and the 10^9 carries

  // ---- The address of a TCP-client link. address_mutex guards the posted fields and the
  // replacement of ipaddr, port and com, which only the link thread does; other threads
  // read those three under it, the link thread also without. A leaf lock: nothing else is
  // taken while it is held.
  KessaroMutex address_mutex;   // guards the rest of this block
  char *ipaddr;                 // the address in use, owned, or none
  int port;                     // the port in use
  char com[128];                // the link as the status report names it ("tcp:...")
  KessaroFlag reset_ipaddress;  // an address is posted and not yet applied
  // The hand-off (altuscom_post_address, another thread) to the link thread
  // (altuscom_apply_address).
  char *posted_ipaddr;   // owned, or none
  int posted_port;       // its port
  char posted_com[128];  // its link text
  // The last address where the datalogger identified itself (the configured one until the
  // first identification), kept by the link thread. After an announcement the link's
  // calls alternate between the announced address and this one until the datalogger
  // identifies at one of them, so that a forged announcement costs one call and a real
  // move is found even when its first call fails.
  char *confirmed_ipaddr;   // owned, or none
  int confirmed_port;       // its port
  char confirmed_com[128];  // its link text
  int address_unconfirmed;  // 1 while an announced address is on trial (link thread)
  // The announced address on trial (link thread); none outside a trial. The address in
  // use (ipaddr) is this one or the confirmed one.
  char *announced_ipaddr;   // owned, or none
  int announced_port;       // its port
  char announced_com[128];  // its link text

  // ---- TCP servers and their connections.
  // The server thread counts each caller it keeps into callers_waiting, the caller's
  // thread counts it out again once it identifies or ends.
  KessaroFlag callers_waiting;    // accepted callers not identified yet
  int callers_refused;            // server thread: callers refused since the last line said so
  double callers_refused_logged;  // server thread: when that line was logged (monotonic, 0 never)
  int instance;                   // server thread: connections accepted, numbering the copies
  // A connection's copy: set by the server thread before the copy's thread starts.
  Modem *server;        // the server link (not owned; it lives as long as the program)
  KessaroFlag waiting;  // counted in its callers_waiting (cleared by the copy's thread)
};

// Connection statistics of one datalogger.
struct AltusStat {
  KessaroMutex status_mutex;  // guards the rest
  double laststatus_time;
  double lastclose_time;
  double lastgetevents_time;
  double lastgetevents_baud;
  double lastcom_error_rate;
  int nevents_transfered;
};

// One output channel.
struct AltusChan {
  char channel_name[128];
  char netstachanloc[64];
  double calib;
  double calper;
  int samprate;
  int outputthischan_pf;
  int outputthischan;
  int getcalib;  // 0 database, 1 data, 2 parameter file
  float pf_dvalue;
  char pfkey[64];
  char net[8];
  char sta[16];
  char chan[16];
  char loc[8];
  char segtype[4];
  char srcname[64];
  PacketDef *pdef;  // or none
  // Stream channels, write thread only: the time of the channel's last sample that its
  // ring held at start-up (0 none, or once passed), and the samples dropped as written
  // already (link_overlap).
  double ring_last_time;
  long ring_overlap_dropped;
};

// One entry of the stream reorder buffer.
struct AltusStrbufEntry {
  AltusBlockStrdata *packet;  // held packet, ALTUS_STRBUF_OUTPUT, or none (missing)
  unsigned code;              // 1: retransmission requested
};
// The `packet` marker of an entry received and already output.
#define ALTUS_STRBUF_OUTPUT ((AltusBlockStrdata *)1)

enum { ALTUS_MAX_STRRETRAN = 256 };

// One datalogger. The fields fall into blocks by owner and lock, in lock order where
// several apply; "link thread" is the thread that holds the datalogger's connection_mutex.
struct AltusDatalogger {
  // ---- Configuration: written while the parameter file (and the state file) are read,
  // before any thread starts; read-only afterwards unless a KessaroFlag or KessaroShared
  // (the remote "set" command changes those while the program runs).
  char *serial_name;                    // the dataloggers-line key ("E1234")
  char *target_name;                    // the name everything else knows it by
  char dlnet[32];                       // network and station of its packets
  char dlsta[32];                       //
  int any_model;                        // accept whatever model calls in
  char model[16];                       // configured; learned at connection with any_model
  char password[16];                    // the console password
  int any_serial;                       // accept whatever serial number calls in
  int serial;                           // configured; learned at connection with any_serial
  int dialin;                           // it may call in
  int dialout;                          // it may be called (a scheduling thread runs)
  char *dialout_modem;                  // the dial-out link pattern
  char *phone_number;                   // dialled on modem links
  Tbl *dialout_modems;                  // Modem * matching dialout_modem (not owned)
  Modem *single_modem;                  // its own link (point-of-contact moves), or none
  int dialout_if_getevents_incomplete;  // dial again while a download is unfinished
  char *dialin_cmd;                     // run on a dial-in: getevents, status or strstart
  int accept_pocs_from_dialin;          // a dial-in may announce a new address
  int callmode_on_close;                // put it back into call mode when closing
  int dlclock;                          // its status feeds the host's clock record (-dlclock)
  int blockmode_unhang;                 // stuck outside block mode: 1 reboot, 2 re-acquire
  int test;                             // functional tests triggered per download
  double starttime;                     // events before this are not output (-start)
  char *poc_name;                       // point-of-contact source name, or none
  char *poc_value;                      // its value, or none
  void *userdata;                       // the Kessaro record
  // Stream settings.
  int auto_stream;                        // start streaming at every connection
  int request_samprate;                   // sample rate asked for, 0 as configured
  int stream_timeout;                     // seconds without stream data before a restart
  int altus_stream_buffer_size;           // the datalogger's stream buffer (packets)
  int max_strbuf;                         // reorder-buffer entries (0: no reordering)
  int max_strretranbuf;                   // retransmission requests outstanding at most
  KessaroFlag order_output_data;          // output in sequence order
  KessaroShared request_params_interval;  // seconds between parameter reads
  // Event settings.
  int auto_getevents;             // download new events
  int auto_getevents_at_startup;  // download once at start-up
  double auto_getevents_window;   // seconds between downloads while streaming, 0 none
  int auto_delete;                // delete downloaded files on the datalogger
  int save_evt_files;             // keep the event files on disk
  double tmpfile_maxwaittime;     // seconds a growing temporary file is waited for
  // Output channels.
  Arr *pchans_arr;                        // texts, owned
  Tbl *acq_matrix_tbl;                    // texts, owned
  AltusChan data_chan[2][ALTUS_MAXCHAN];  // [0] event channels, [1] stream channels
  double output_packet_twin;              // seconds per waveform packet

  // ---- Debug switches (any thread; the remote "set" command turns them on, the log
  // module switches them off again after their time-out; negative: never expires).
  KessaroFlag debug_data;                 // block-packet dumps
  KessaroShared debug_data_timeout;       // seconds
  KessaroShared debug_data_time_start;    // first use, 0 not yet
  KessaroFlag debug_serial;               // byte-stream traces
  KessaroShared debug_serial_timeout;     //
  KessaroShared debug_serial_time_start;  //
  KessaroFlag v_strseq;                   // stream-sequence traces
  KessaroShared v_strseq_timeout;         //
  KessaroShared v_strseq_time_start;      //
  int log_data_errors;                    // log every data error (configuration)

  // ---- Threads and connection. connected_modem and connected_modem_status are set and
  // cleared by the link thread holding connection_mutex (and the link's); other threads
  // read them to find the link. com_mode, lcom and the open and close times are written
  // under Kessaro.status_mutex, which the status thread reads them under.
  pthread_t run_thread;                       // the scheduling thread
  KessaroMutex connection_mutex;              // one link at a time works for the datalogger
  KessaroLink<Modem> connected_modem;         // the link working for it, or none
  KessaroLink<Modem> connected_modem_status;  // the link the status report names, or none
  AltusComMode com_mode;   // connection code: 0 disconnected ... 6 block mode failed
  AltusComMode lcom;       // com_mode as last reported (kept in the state file)
  double open_time;        // when the connection was opened
  double close_time;       // when it was closed
  int gotintomonitormode;  // the opening reached monitor mode (link thread)
  int reboot;              // reboot at the next closing (remote "set")
  VerParams verparams;     // the console's version report (link thread)

  // ---- Command queue, under command_mutex only (never held while talking to it).
  KessaroMutex command_mutex;  // guards commands and commands_refused
  Tbl *commands;               // queued request texts, owned
  long commands_refused;       // remote requests refused since the queue last had room

  // ---- Status and contact times: written by the link thread under
  // Kessaro.status_mutex; read by the status thread and the state-file writer.
  AltusBlockStatus status;       // the last status read
  double status_time;            // when, 0 never
  AltusBlockParams last_params;  // the last parameter header read
  double last_params_time;       // when, 0 never
  // The output times are written by the threads that output the data (events, stream)
  // under output_time_mutex, a leaf lock their other readers take too.
  mutable KessaroMutex output_time_mutex;
  double last_data_time;                // last event data output
  double last_stream_data_time;         // time of the last stream sample output
  double last_clock_latency;            // seconds, at the last clock check
  double last_blockmode_time;           // contact times, each 0 for never
  double last_listing_time;             //
  double last_monitormode_time;         //
  double last_connection_attempt_time;  //
  double last_connection_ended_time;    //
  char last_connected_modem[256];       // under Kessaro.statefile_mutex

  // ---- Link statistics. stat has its own status_mutex; the rate fields belong to the
  // data-rate thread (datarate is read by the status thread); the error counts are
  // written by the link thread's callbacks and read by the status thread.
  AltusStat stat;               // transfer statistics
  KessaroShared datarate;       // bits per second
  double datarate_time;         // when datarate was last computed
  uint64_t datarate_nbread;     // link byte totals at datarate_time
  uint64_t datarate_nbwrite;    //
  KessaroShared data_gap_time;  // seconds of stream gaps summed (output routing)
  // Counted by the link thread, read by the status thread.
  KessaroFlag dataerrors_size;    // block packets refused for their size
  KessaroFlag dataerrors_chksum;  // and for their checksums

  // ---- Stream state: the link thread that streams (getstream0 and its handler). The
  // state is a flag other threads read; strpause is set by the block operations of the
  // same thread.
  StreamFlag stream_status;               // AltusStreamState
  KessaroFlag strpause;                   // stream records are dropped while set
  double samprate;                        // stream sample rate in use
  unsigned nextSeq;                       // next expected coded sequence (kept in the state file)
  uint8_t numStream;                      // stream channels the sequence counts
  uint32_t strseq_chanmap;                // the stream channel map nextSeq counts for,
  int strseq_chanmap_known;               // when known (not from an older state file)
  int pktTimeout;                         // stream time-out in use, seconds
  int cntTimeout;                         // time-outs in a row
  double time_nextcontinue;               // when the next continue is due, 0 none
  double next_continue_timeout;           // seconds between continues
  int str_stream2pchan[ALTUS_MAXSTREAM];  // stream to output channel
  AltusBlockStrdata *strdatabuf[ALTUS_MAXSTREAM];  // live-order window, held packets owned
  unsigned nextStrdataSeq;  // next coded sequence of the live-order window, 0 none
  int strdata_buffering;    // the live-order window holds packets
  // Under stream_mutex (never held across a transaction, a state-file write or a call
  // out of the stream module).
  KessaroMutex stream_mutex;                   // guards the rest of this block
  AltusStrbufEntry *strbuf;                    // max_strbuf entries (malloc), or none
  int strbuf_head;                             // ring index of the entry standing for nextSeq
  int n_strbuf;                                // entries in use
  int strseq_from_zero;                        // a counter reset was acknowledged
  unsigned strretranbuf[ALTUS_MAX_STRRETRAN];  // sequences whose retransmission is asked
  int n_strretranbuf;                          // entries in use
  double lastretranreq_time;                   // when retransmissions were last asked
  // Catching up after a start with the counters kept: live packets beyond the reorder
  // buffer are left in the datalogger and fetched as the buffer reaches them, up to
  // strseq_backfill_end (the coded number after the newest live packet seen).
  int strseq_backfill;
  unsigned strseq_backfill_end;
  // Read back from the state file: nextSeq 0 of a stream counting from zero after a
  // counter reset (not a fresh one), so the next start keeps the counters.
  int strseq_kept;

  // ---- Ring position, under ring_mutex: the coded numbers of the stream packets handed
  // to the output pipeline and not yet written into the ring (or dropped), added by the
  // link thread that streams, removed by the write thread. The state file keeps the
  // lowest of them (or nextSeq), so a crash never skips a packet the ring lacks.
  KessaroMutex ring_mutex;
  std::multiset<unsigned> ring_pending;

  // ---- Download state: the link thread that downloads; the scheduling thread posts
  // requests through the flags. files is replaced only under Kessaro.statefile_mutex.
  KessaroFlag request_getevents;  // a download is wanted
  DownloadFlag getevents_status;  // 0 idle, 1 posted, 2 incomplete, 3 running
  KessaroFlag alarm;              // an event was reported since the last download
  double lasttime;                // end of the last event output (kept in the state file)
  double lastgetevents_time;      // when the last download ended
  int last_events_count;          // the datalogger's event count at the last full listing
  int files_size;                 // entries of files
  AltusDirTree *files;            // the event-file list, owned (malloc)
  double filedir_timer;           // pacing of the directory reads (block engine)
};

// The program record. The fields fall into blocks by owner and lock. Most are written by
// the main thread during start-up (kessaro_main: the command line, the parameter and
// state files, the rings, then the threads in order) before the threads that read them
// start, and are read-only afterwards.
struct Kessaro {
  // ---- Command line (make_program), read-only afterwards.
  char *targetname;    // the program's name in its reports and answers, owned
  char *commandline;   // the whole command line (the stash packet), owned
  const char *dbname;  // the -db argument (not copied), or none

  // ---- Parameter file (parse_pf) and state file (parse_state), read-only afterwards.
  Pf *pf;                               // the whole parameter file (the stash packet)
  Modem modem_defaults;                 // the parameter file's link defaults
  AltusDatalogger datalogger_defaults;  // and datalogger defaults
  Arr *modem_templates_arr;             // Modem * by template name
  Arr *datalogger_templates_arr;        // AltusDatalogger * by template name
  Arr *dlserials_array;                 // AltusDatalogger * by serial tag ("K1234")
  Arr *dltargets_array;                 // the same dataloggers by target name
  Arr *orbtags_arr;                     // Orbtag * by command-line tag
  Arr *data_orbtags_arr;                // the Orbtags a packet definition writes waveforms to
  Arr *packet_defs_arr;                 // PacketDef * by name
  Tbl *pocds_tbl;                       // POCDaemon *, one per point-of-contact source
  Orbtag *cmd;                          // the command ring, or none (no remote commands)
  Orbtag *log;                          // the log ring, or none
  Orbtag *status;                       // the status ring, or none
  Orbtag *evtinfo;                      // the event-facts ring, or none
  char *cmd_srcname;                    // the source name selected on the command ring
  char *log_srcname;                    // not read: each log line names its own source
  char *status_srcname;                 // the status packets' and the stash's source name
  char *evtinfo_srcname;                // the event facts' source name
  char *evt_file_dir;                   // where event files are kept, or none
  char *connect_listen_string;          // a caller's dial string ("RING"), awaited without a modem
  char *connect_response_string;        // the answer sent to it ("CONNECT")
  double datarate_interval;             // seconds between data-rate passes
  double ring_refusal_drop_time;        // refusals after which waveform packets are dropped
  char *statefile_name;                 // the -S file, owned, or none

  // ---- Start-up (kessaro_main), before the threads that use them; read-only afterwards.
  PktChannelCalib *calibstuff;  // the calibration lookup, or none without -db
  int ciorb;                    // the command ring's read connection, -1 none
  int coorb;                    // and its write connection
  char *hostname;               // this host's name, owned
  Pmtfifo *mtfifo_cmdout;       // made at start-up, not used since
  Pmtfifo *mtfifo_write;        // the write thread's fifo (it has its own lock)
  int ntcpservers;              // TCP-server links started (not read)
  // Thread handles: written by the main thread as it starts each thread, joined by the
  // shutdown.
  pthread_t write_thread;     // the write thread (detached)
  pthread_t status_thread;    // the status thread
  pthread_t datarate_thread;  // the data-rate thread
  // Made by the main thread after the link threads started; read by the command service
  // and by link threads that answer requests, which may come before the store.
  std::atomic<CmdThread *> cmdthr{nullptr};  // the command service, or none without a ring

  // ---- Settings the remote "set" command (command thread) changes while running.
  KessaroShared status_interval;  // seconds between status reports, 0 off
  KessaroFlag log_poc;            // point-of-contact lines: 0 none, 1 matches, 2 every packet

  // ---- The link list: modems_mutex guards modems_array (the configured links and the
  // TCP-server connections, added by the server threads and removed by the main loop).
  // Held briefly, inside the connection locks.
  KessaroMutex modems_mutex;  // guards modems_array
  Arr *modems_array;          // Modem * by name

  // ---- Locks over the datalogger records (their blocks in AltusDatalogger say what each
  // guards); status_mutex is taken before statefile_mutex.
  KessaroMutex status_mutex;     // connection codes, contact times and the last status
  KessaroMutex statefile_mutex;  // event-file lists, last_connected_modem, the state file
  int statefile;                 // mybury's open temporary file, -1 none (statefile_mutex)

  // ---- Remote requests owed answers: pending_cmd_arr is changed by the command thread
  // and the link threads under pending_cmd_mutex() (kessaro_cmdresp.h).
  Arr *pending_cmd_arr;  // sequence -> Tbl of AltusDatalogger * still to answer

  // ---- Status report and shutdown flags, any thread.
  KessaroFlag status_report_now;       // a report is asked; the status thread clears it
  KessaroFlag status_report_shutdown;  // the next report is the last (the shutdown)
  KessaroFlag stopping;  // the orderly shutdown runs: the status thread waits for its report
  KessaroFlag kill;      // KessaroKill: set by the shutdown and by the write thread as it ends

  // ---- Write thread: the repackagers, one per packet definition in use, added as they
  // are made; the shutdown flushes them once the write thread has ended.
  Tbl *repackage_tbl;  // RepackageBuf *
};

// The program record of this process, and its halt flag (set once by the shutdown; every
// loop polls it).
extern Kessaro *kessaro_glbl;
// Raising the halt flag also signals kessaro_wake.
struct KessaroHalt : std::atomic<int> {
  using std::atomic<int>::atomic;
  KessaroHalt &operator=(int x) {
    store(x);
    clock_event_signal(&kessaro_wake);
    return *this;
  }
};
extern KessaroHalt kessaro_halt;

// A new zeroed program record (state-file slot -1) with its lists and arrays made empty.
// Never none: out of memory is fatal.
Kessaro *kessaro_new(void);

// A new zeroed link. Never none.
Modem *modem_new(void);
// A copy of `src` that shares nothing with it: texts duplicated, a fresh connection
// mutex, no connection (buf_handle, buf_handle_server, connected_dl, cmd none), the
// interrupt and exit flags clear. Never none.
Modem *modem_copy(const Modem *src);
// Frees the link's texts (not its connection, which its thread closes). Works on an
// embedded record too (then only the texts are freed and set to none).
void modem_free_texts(Modem *modem);
// Frees a link made by modem_new or modem_copy; none: nothing.
void modem_free(Modem *modem);

// A new zeroed datalogger. Never none.
AltusDatalogger *altusdatalogger_new(void);
// A copy of `src` for a template or an item: texts, the pchan and acq_matrix lists and
// the list of dial-out links duplicated; fresh locks; an empty command queue; no
// reorder buffer or event-file list; zero statistics; no connection.
// Never none.
AltusDatalogger *altusdatalogger_copy(const AltusDatalogger *src);
// Frees what the datalogger owns and sets it to none (for the embedded defaults).
void altusdatalogger_free_contents(AltusDatalogger *dl);
// Frees a datalogger made by altusdatalogger_new or altusdatalogger_copy; none: nothing.
void altusdatalogger_free(AltusDatalogger *dl);
