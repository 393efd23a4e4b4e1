// q330_dblk.h - data blockettes of the data port turned into the session's output: the
// per-second data record (output type 1), the state-of-health blocks (type 2), the
// calibration and configuration-change handlers, the status-channel tables, the Q330
// sample-rate codes and the output channel definitions made from the LOG/FIX packets.
//
// Data record (data_out, big-endian), a 20-byte header and channel entries back to back:
//   header  0 nchans 16; 2 spare 8; 3 clock_quality 8; 4 serial_number_high 32;
//           8 serial_number_low 32; 12 seconds 32 (since 2000); 16 usec 32
//   entry   0 channel 8; 1 stream 8; 2 entry_size 16; 4 filter_delay 32; 8 nsamp s16;
//           10 data_offset 16; 12 value s32; 16 map and data (compressed and EP2 only);
//           entry_size - 2 qdp_sequence 16
//
// Locking: the tables are built once (std::call_once) and read-only afterwards. Everything
// else runs on the session's data thread: the data record, chan_dats, log_buffer and the
// lastcal members are that thread's and unlocked. config.config_mutex is held while a
// configuration change is decoded and chan_defs rebuilt, status.status_pkt_mutex while the
// serial-sensor status is read, status.status_mutex around the gap and throughput
// statistics; never nested.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "q330_pktdefs.h"

struct Q330;
struct Tbl;

// One row of the blockette table.
struct Q330Dblk {
  unsigned char channel;
  int (*process)(int type, void *vdblk, Q330 *q330);
  Tbl *status_defs_tbl;  // of const Q330DataStatusDef *, built by q330_dblk_init
  int index;
};
inline constexpr int Q330_DBLK_ROWS = 61;
extern Q330Dblk q330_dblk[Q330_DBLK_ROWS];

struct Q330StatusEntry {
  const char *name;
  const char *description;
};

// A state-of-health channel carried in data blockettes.
struct Q330DataStatusDef {
  const char *name;
  const char *description;
  unsigned char dblk_channel;
  int param_number;  // 0 par1 .. 3 par4
  uint32_t bitmask;
  int bitshift;
  int dt;
  int type;
  double calib;
  Q330StatusEntry entries[16];
};
inline constexpr int Q330_DATA_STATUS_DEFS = 64;
extern const Q330DataStatusDef q330_data_status_defs[Q330_DATA_STATUS_DEFS];

// A status channel the program computes from its own counters. index is raised by
// Q330_DBLK_ROWS once by q330_dblk_init.
struct Q330StatusDef {
  const char *name;
  const char *description;
  int iname;
  int index;
  int dt;
  int type;
  double calib;
  double null_value;
};
inline constexpr int Q330_STATUS_DEFS = 19;
extern Q330StatusDef q330_status_defs[Q330_STATUS_DEFS];

// One value of a status block.
struct Q330DataStatusEntry {
  const void *stdef;  // Q330DataStatusDef, or Q330StatusDef in the watchdog's blocks
  int type;           // 2 valid, 3 invalid
  uint32_t value;     // signed values as their two's-complement bits
  double dvalue, dt, delay, calib;
  char segtype[4];
};
inline constexpr int Q330_DATA_STATUS_ENTRIES = 5;
// Output type 2: the values of one state-of-health blockette. The callback copies it.
struct Q330DataStatus {
  double time;
  int index;  // q330_dblk row of the blockette's code
  int n;
  Q330DataStatusEntry entries[Q330_DATA_STATUS_ENTRIES];
};

inline constexpr int Q330_DATA_RECORD_HEADER = 20;

// One output channel of the data port.
struct Q330ChannelDef {
  int physical;
  int stream;
  double samprate;
  int tdelay;
};

// One slot of a split block.
struct Q330ChannelDatSegment {
  uint16_t nbytes = 0;
  std::vector<unsigned char> data;  // capacity data.size()
};
// The assembly of one stream's split compressed data. `received` has bit s set once
// segment s of the current record sequence is held, so a duplicate never counts twice.
struct Q330ChannelDat {
  uint32_t data_record_sequence = 0;
  uint16_t nsegs = 0;           // distinct segments held
  uint16_t nsegs_expected = 0;  // last segment's number + 1, once seen
  uint32_t received = 0;
  std::vector<Q330ChannelDatSegment> segment;
};
inline constexpr int Q330_CHANNELS = 48;  // 6 physical channels x 8 streams

// One calibration database row, as the calibration handlers compute it. The session keeps
// the rows of the last calibration blockette in cal_rows for the row writer.
struct Q330CalRow {
  std::string net, sta, chan, loc;
  double time, endtime;
  std::string calseq, type, error, input, bitmap;
  int physical;
  double samprate, amplitude, frequency, settle, trailer;
};

// Builds the index and the name lookups once per process. 0.
int q330_dblk_init();
// The definition of a status name: a data status row (*type 2) or a program status row
// (*type 1); none when neither has it.
const void *q330_get_status_from_name(const char *name, int *type);
// The data status rows of a channel code (const Q330DataStatusDef *), or none for a code
// without a row.
Tbl *q330_channel2stdefs(unsigned char channel);
// One decoded blockette of form `type` (1-11, 13 EP1, 14 EP2). 0, -1, or 15 when the output
// side is busy (nothing applied; offer the packet again).
int q330_process_dblk(Q330 *q330, unsigned char channel, int type, void *data);

int q330_process_DBLK_DSAMP_TIME(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_DATA_SINGLE(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_DATA_COMPR(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_DATA_COMPR_CONT(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_CAL(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_CAL_ABORT(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_CNP_DATA(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_CONFIG_CHANGE(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_EP_DATA(int type, void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_EP1_DATA(void *vdblk, Q330 *q330);
int q330_process_DBLK_SPECIAL_EP2_DATA(void *vdblk, Q330 *q330);

// out delivers the open record (asking type 17 first, up to 11 times 0.1 s apart), flush
// clears it. A delivery without flush clears the channel entries but keeps the time, so a
// later time tag cannot deliver them again. 0, or 15 when the output side stayed busy.
int q330_flush_data(Q330 *q330, int out, int flush);
// A datalogger log line; a type 0-99 suppresses a repeat of its last text. These slots are
// the data thread's own. 0.
int q330_output_log(Q330 *q330, int type, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// 1 with *chan filled when the LOG packet enables `stream` on `physical`, 0 when not or
// the rate code is bad, -1 for arguments out of range.
int q330_get_channel_def_from_LOG(Q330 *q330, Q330FIXPkt *fix, Q330LOGPkt *log, int physical,
                                  int stream, Q330ChannelDef *chan);
// Clears (how 1) or sets (how 2) the LOG bit of chan's rate on chan's physical channel.
// 1 done, -1 error.
int q330_chg_channel_def_to_LOG(Q330 *q330, Q330FIXPkt *fix, Q330ChannelDef *chan, Q330LOGPkt *log,
                                int how);
// Rate codes both ways; 0, or -1 (logged) leaving the output as it was.
int q330_byte2samprate(unsigned char byte, double *samprate);
int q330_samprate2byte(double samprate, unsigned char *byte);
