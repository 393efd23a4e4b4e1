// kessaro.h - the records of kessaro: the program record, its ring-buffer connections,
// packet definitions, point-of-contact sources, links (Modem) and dataloggers
// (AltusDatalogger), and the records they embed: directory-tree entries, the console
// version report and event facts. The block-mode payload records are in
// altuscomsubs_block.h, the write-queue element in altuscomsubs_output.h.
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
//   retransmission list; `files` is replaced only under Kessaro.statefile_mutex. Each
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
#include <string>
#include <thread>

#include "altuscomsubs_block.h"  // payload records, ALTUS_MAXCHAN, ALTUS_MAXSTREAM
#include "altusevtsubs.h"        // AltusEvtFile, AltusBlockParams
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

// ---- helpers for shared fields and fixed texts ----

// An int that several threads read and write. Copies take the current value.
struct KessaroFlag {
  std::atomic<int> v{0};
  KessaroFlag() = default;
  KessaroFlag(int x) : v(x) {}
  KessaroFlag(const KessaroFlag &o) : v(o.v.load()) {}
  KessaroFlag &operator=(const KessaroFlag &o) {
    v.store(o.v.load());
    return *this;
  }
  KessaroFlag &operator=(int x) {
    v.store(x);
    return *this;
  }
  operator int() const { return v.load(); }
  int exchange(int x) { return v.exchange(x); }
};

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
  int processed;  // 0 listed, 1 summarised, 2 output, 3 corrupt
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

// One link: a serial line (with or without modem), a TCP client or a TCP server.
struct Modem {
  char *name;
  int com_mode;       // 1 serial, 2 TCP client, 3 TCP server
  int modem_control;  // 0 none, 1 local, 2 remote
  char *dev;
  int baud;
  int flow;
  char *ipaddr;  // or none
  unsigned ipaddr_count;
  int port;
  int dialin;
  int dialout;
  char *connect_listen_string;
  char *connect_response_string;
  char *listen_string;
  char *nolisten_string;
  char *dialout_string_prefix;
  char *dialout_string_suffix;
  char *hangup_string;
  char *attention_string;
  char *ring_rec_string;
  char *busy_rec_string;
  char *connect_rec_string;
  char *offhook_rec_string;
  char *attention_rec_string;
  double timeout;  // seconds
  double timeout_connect;
  double timeout_control;
  int maxtries;
  pthread_t run_thread;
  SerialBuf *buf_handle;         // current connection, or none
  SerialBuf *buf_handle_server;  // listening stream of a TCP server, or none
  char devname[256];
  KessaroMutex connection_mutex;
  AltusDatalogger *connected_dl;  // or none
  Pf *cmd;                        // remote command being executed (not owned), or none
  void *userdata;                 // the Kessaro record
  KessaroFlag interrupt;
  int mode;  // 1 dial-in, 2 dial-out
  int test;
  double connect_time;
  unsigned nbread, nbread_gig, nbwrite, nbwrite_gig;
  char com[128];
  int dialin_pending;
  int instance;
  KessaroFlag exit;
  KessaroFlag reset_ipaddress;  // an address is posted and not yet applied
  // The address hand-off of a TCP-client link (altuscom_post_address, another thread)
  // to the link's own thread (altuscom_apply_address). address_mutex guards the posted
  // fields and the replacement of ipaddr, port and com; other threads read those under
  // it. A leaf lock: nothing else is taken while it is held.
  KessaroMutex address_mutex;
  char *posted_ipaddr;  // owned, or none
  int posted_port;
  char posted_com[128];
  // The last address where the datalogger identified itself (the configured one until the
  // first identification), kept by the link's own thread: an announced address at which it
  // does not identify (a forged announcement) is given up for this one.
  char *confirmed_ipaddr;  // owned, or none
  int confirmed_port;
  char confirmed_com[128];
  int address_unconfirmed;  // the address in use came from an announcement, not yet confirmed
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
};

// One entry of the stream reorder buffer.
struct AltusStrbufEntry {
  AltusBlockStrdata *packet;  // held packet, ALTUS_STRBUF_OUTPUT, or none (missing)
  unsigned code;              // 1: retransmission requested
};
// The `packet` marker of an entry received and already output.
#define ALTUS_STRBUF_OUTPUT ((AltusBlockStrdata *)1)

enum { ALTUS_MAX_STRRETRAN = 256 };

// One datalogger.
struct AltusDatalogger {
  char *serial_name;
  char *target_name;
  char dlnet[32];
  char dlsta[32];
  int any_model;
  char model[16];
  char password[16];
  int any_serial;
  int serial;
  int dialin;
  int dialout;
  char *dialout_modem;
  char *phone_number;
  Tbl *dialout_modems;  // Modem * (not owned)
  int dialout_if_getevents_incomplete;
  int auto_delete;
  int auto_stream;
  int auto_getevents;
  int auto_getevents_at_startup;
  int save_evt_files;
  KessaroFlag order_output_data;
  char *dialin_cmd;
  double tmpfile_maxwaittime;
  KessaroShared request_params_interval;
  int nchan_datalogger;
  int com_mode;
  int accept_pocs_from_dialin;
  Arr *pchans_arr;      // texts, owned
  Tbl *acq_matrix_tbl;  // texts, owned
  AltusChan data_chan[2][ALTUS_MAXCHAN];
  double output_packet_twin;
  Arr *stale_tmpfiles;  // texts, owned
  AltusBlockStatus status;
  double status_time;
  AltusStat stat;
  int files_size;
  AltusDirTree *files;  // files_size entries, owned (malloc)
  int callmode_on_close;
  pthread_t run_thread;
  KessaroFlag stream_status;
  KessaroFlag request_getevents;
  KessaroFlag getevents_status;
  double lasttime;
  double starttime;
  double lastgetevents_time;
  double time_nextcontinue;
  double next_continue_timeout;
  double time_lastpacket;
  unsigned nextSeq;
  uint8_t numStream;
  uint32_t strseq_chanmap;   // the stream channel map nextSeq counts for,
  int strseq_chanmap_known;  // when known (not from an older state file)
  int pktTimeout;
  int cntTimeout;
  KessaroMutex stream_mutex;  // guards strbuf, strretranbuf and their counts
  AltusStrbufEntry *strbuf;   // max_strbuf entries (malloc), or none; held packets owned
  int strbuf_head;            // ring index of the entry standing for nextSeq
  int strseq_from_zero;       // the datalogger acknowledged a counter reset: count from 0
  int n_strbuf;
  int max_strbuf;
  unsigned strretranbuf[ALTUS_MAX_STRRETRAN];
  int max_strretranbuf;
  int n_strretranbuf;
  double lastretranreq_time;
  int evt_stream2pchan[ALTUS_MAXCHAN];
  int str_stream2pchan[ALTUS_MAXSTREAM];
  AltusBlockStrdata *strdatabuf[ALTUS_MAXSTREAM];  // live-order window, held packets owned
  unsigned nextStrdataSeq;
  int strdata_buffering;
  KessaroFlag v_strseq;
  KessaroShared v_strseq_timeout;
  KessaroShared v_strseq_time_start;
  KessaroFlag alarm;
  KessaroFlag strpause;
  KessaroMutex connection_mutex;
  KessaroMutex command_mutex;
  Tbl *commands;          // queued request texts, owned
  long commands_refused;  // remote requests refused since the queue last had room
  Modem *connected_modem;
  Modem *connected_modem_status;
  Modem *single_modem;
  AltusBlockParams last_params;
  double last_params_time;
  KessaroShared datarate;  // bits per second, read by the status thread
  double datarate_time;
  KessaroShared data_gap_time;
  uint64_t datarate_nbread;  // link byte totals at datarate_time
  uint64_t datarate_nbwrite;
  int dataerrors_size;
  int dataerrors_chksum;
  double open_time;
  double close_time;
  double last_data_time;
  double last_stream_data_time;
  double samprate;
  int request_samprate;
  int stream_timeout;
  int dlclock;
  int test;
  KessaroFlag debug_data;
  KessaroFlag debug_serial;
  KessaroShared debug_data_timeout;
  KessaroShared debug_data_time_start;
  KessaroShared debug_serial_timeout;
  KessaroShared debug_serial_time_start;
  int log_data_errors;
  int last_events_count;
  double auto_getevents_window;
  void *userdata;  // the Kessaro record
  int altus_stream_buffer_size;
  int gotintomonitormode;
  double last_clock_latency;
  double last_blockmode_time;
  double last_listing_time;
  double last_monitormode_time;
  double last_connection_attempt_time;
  double last_connection_ended_time;
  int reboot;
  int lcom;
  char last_connected_modem[256];
  char *poc_name;
  char *poc_value;
  double filedir_timer;
  int blockmode_unhang;
  VerParams verparams;
};

// The program record.
struct Kessaro {
  Modem modem_defaults;
  AltusDatalogger datalogger_defaults;
  Arr *modems_array;
  KessaroMutex modems_mutex;
  Arr *modem_templates_arr;
  Arr *datalogger_templates_arr;
  Arr *dlserials_array;
  Arr *dltargets_array;
  Arr *pending_cmd_arr;
  Arr *orbtags_arr;
  Arr *data_orbtags_arr;
  Arr *packet_defs_arr;
  Tbl *pocds_tbl;
  Pf *pf;
  CmdThread *cmdthr;
  PktChannelCalib *calibstuff;
  const char *dbname;  // the -db argument (not copied), or none
  char *targetname;
  char *commandline;
  int ciorb;
  int coorb;
  char *cmd_srcname;
  char *log_srcname;
  char *status_srcname;
  char *evtinfo_srcname;
  Orbtag *cmd;
  Orbtag *log;
  Orbtag *status;
  Orbtag *evtinfo;
  double datarate_interval;
  double ring_refusal_drop_time;  // refusals after which waveform packets are dropped
  KessaroShared status_interval;
  Pmtfifo *mtfifo_cmdout;
  pthread_t write_thread;
  pthread_t status_thread;
  pthread_t datarate_thread;
  KessaroMutex statefile_mutex;
  KessaroMutex status_mutex;
  char *evt_file_dir;
  int statefile;
  KessaroFlag status_report_now;
  KessaroFlag status_report_shutdown;
  KessaroFlag stopping;  // the orderly shutdown runs: the status thread waits for its report
  char *statefile_name;
  char *connect_listen_string;
  char *connect_response_string;
  char *hostname;
  Pmtfifo *mtfifo_write;
  KessaroFlag kill;  // 0 run, 1 stop requested, 2 write thread ended
  Tbl *repackage_tbl;
  int ntcpservers;
  KessaroFlag log_poc;
};

// The program record of this process, and its halt flag (set once by the shutdown; every
// loop polls it).
extern Kessaro *kessaro_glbl;
extern std::atomic<int> kessaro_halt;

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
// reorder buffer, event-file list or stale files; zero statistics; no connection.
// Never none.
AltusDatalogger *altusdatalogger_copy(const AltusDatalogger *src);
// Frees what the datalogger owns and sets it to none (for the embedded defaults).
void altusdatalogger_free_contents(AltusDatalogger *dl);
// Frees a datalogger made by altusdatalogger_new or altusdatalogger_copy; none: nothing.
void altusdatalogger_free(AltusDatalogger *dl);
