// repackage.h - the repackager: sample blocks of many channels gathered into waveform
// packets of one fixed time window per packet definition.
//
// One RepackageBuf exists per packet definition. repackage_put copies a block of samples
// of one channel (net_sta_chan_loc) into the buffer: contiguous blocks of a channel are
// joined into one segment, a gap or a new sample interval starts another. A block that
// does not belong to the current window (it starts 1 ms or less before the window's end,
// or 1 ms or more before its start) or that changes a channel's calibration first makes
// the buffer write everything it holds (repackage_flush_pvt), so no packet spans two
// windows or mixes calibrations. Blocks are never split: one that starts inside the
// window is taken whole.
//
// A flush writes packets of the buffer's suffix ("MGENC": every channel with samples in
// one packet; "GENC": one packet per channel) with at most one segment per channel each,
// oldest segments first, through stuffPkt and orbwrite_put (ringsvc/orbwrite.h): a write
// that the ring refuses is repeated after a pause growing to 1 s, complaining once a
// minute, and dropped (counted) once the ring has refused everything for
// `ring_refusal_drop_time`; once the program is halting (kessaro_halt) a write still
// refused after 10 s, or refused by a ring file cut shorter, is dropped with a complaint,
// so that the last flush always ends. All pauses go through the clock seam.
//
// Ownership and locking: a RepackageBuf owns its channel buffers, segments, packet and
// encoded-packet buffer, and lives until the process ends. Its `mutex` is held for the
// whole of a put or a flush and is never held together with another lock; the buffers
// are independent of each other.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

struct Arr;
struct Tbl;
struct Packet;

// Contiguous samples of one channel.
struct RepackageChanSegment {
  double pkttime;             // not used by this program
  double time;                // first sample
  double dt;                  // sample interval, seconds
  int nsamp;                  // samples stored
  int data_sz;                // capacity, in samples
  std::vector<int32_t> data;  // data_sz entries, the first nsamp in use
};

// One channel of a RepackageBuf, kept for the buffer's life.
struct RepackageChanBuf {
  double nexttime;  // time of the sample after the last one stored
  double dt;        // sample interval of the last segment started
  double calib;
  double calper;
  char net[8];
  char sta[16];
  char chan[16];
  char loc[8];
  char segtype[4];
  Tbl *segments;  // RepackageChanSegment *, oldest first
};

typedef void (*RepackageFlushCallback)(void *user_data);

struct RepackageBuf {
  Packet *pkt;                            // the packet being built, reused by every write
  char *suffix;                           // "GENC" or "MGENC"
  char *subcode;                          // appended to source names after '/' when not empty
  int orb;                                // ring-buffer connection written to
  double twin;                            // time window of one packet, seconds
  double time;                            // start of the current window, 0 before the first put
  double endtime;                         // time + twin
  Arr *channels_arr;                      // key net_sta_chan[_loc] -> RepackageChanBuf *
  Tbl *channels_tbl;                      // the same, in order of first appearance
  RepackageFlushCallback flush_callback;  // called after each flush, or none
  void *flush_callback_user_data;
  std::mutex mutex;  // guards the whole record
  char *packet;      // encoded packet, grown by stuffPkt
  int packet_size;   // its capacity
};

// Longest subcode: source names made by the packet library leave room for "/" and this.
#define REPACKAGE_SUBCODE_MAX 10

// A new buffer writing packets of `suffix` to `orb` with windows of `twin` seconds. None
// (logged) for an unknown suffix, a subcode that would not fit a source name, or a window
// that is not a positive finite number.
RepackageBuf *repackage_create(double twin, const char *suffix, const char *subcode, int orb,
                               RepackageFlushCallback flush_callback,
                               void *flush_callback_user_data);

// Copies `nsamp` samples of one channel starting at `time`, one every `dt` seconds, into
// the buffer, flushing first when the block leaves the window or changes the channel's
// calibration (segtype, calib or calper). 0 when stored (also for nsamp 0, which stores
// nothing); -1 (logged) for a negative count, a time, interval, calib or calper that is
// not finite, missing samples, or a channel code too long for its field or holding a
// blank, '_' or '/'. Nothing stored before is lost on a refusal.
int repackage_put(RepackageBuf *buf, const char *net, const char *sta, const char *chan,
                  const char *loc, double time, double dt, double calib, double calper,
                  const char *segtype, int nsamp, const int *data);

// Writes everything buffered, then calls the flush callback (also when nothing was
// held). Returns 0. repackage_flush takes the mutex; repackage_flush_pvt takes it only
// when `lock` is 1 (repackage_put calls it with 0 while holding it).
int repackage_flush(RepackageBuf *buf);
int repackage_flush_pvt(RepackageBuf *buf, int lock);
