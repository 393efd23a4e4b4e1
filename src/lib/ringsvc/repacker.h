// repacker.h - the windowed repackager: sample blocks of many channels gathered into
// waveform packets ("GENC" or "MGENC") of one time window, written to a ring.
//
// A put copies a block of one channel (key net_sta_chan, plus _loc when loc is not empty)
// into the record: a block that continues the channel's last segment joins it, a gap or a
// new sample interval starts another segment. Blocks are never split. Before storing, a
// put flushes everything held when the block's window time falls before the window (by
// 1 ms) or at its end (within 1 ms), or when the block changes the channel's segtype,
// calib or calper; each such flush opens a new window at the block's window time. An
// outside flush leaves the window as it was.
//
// A flush writes one packet per pass, each pass taking the oldest unwritten segment of
// every channel in order of first appearance ("GENC": of the first such channel only, as a
// GENC packet holds one channel), until a pass finds nothing. Packets are encoded with
// stuffPkt, "/subcode" is appended to the source name when there is a subcode, and each is
// written with orbwrite_put (ORBWRITE_WAVEFORM) on the process's default writer.
//
// The rules where the two acquisition programs differ are set per record (RepackerRules).
//
// Ownership and locking: a Repacker owns its channel buffers, segments, packet and encoded
// packet; segment storage is kept from flush to flush and only grows, so a steady stream
// allocates nothing. `mutex` guards the whole record and is held for the whole of a put or
// a flush; the flush callback is called after the flush, with the mutex held only when the
// flush ran under a lock its caller holds (repacker_flush_locked, and a put's flush).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct Packet;
struct PktType;

// Contiguous samples of one channel.
struct RepackerSegment {
  double time = 0;            // time of its first sample
  double dt = 0;              // sample interval, seconds
  int nsamp = 0;              // samples stored; -1: storage kept from an earlier flush
  std::vector<int32_t> data;  // the samples; capacity grows by half again
};

// One channel, kept for the record's life.
struct RepackerChan {
  double nexttime = 0;  // time the next contiguous sample would have
  double dt = 0;        // sample interval of the latest segment started
  double calib = 0, calper = 0;
  char net[8] = "", sta[16] = "", chan[16] = "", loc[8] = "", segtype[4] = "";
  std::vector<RepackerSegment> segments;  // oldest first
  size_t first = 0;                       // segments before it are written
};

// Where the programs' repackagers differ.
struct RepackerRules {
  // A window time exactly 1 ms before the window's start, or exactly 1 ms before its end,
  // already counts as outside the window (else only beyond those edges).
  bool inclusive_edges = false;
  // Samples continue a segment within 1 ms of where it ends, but never more than half a
  // sampling interval, so a one-sample gap at high rates is still a gap (else within 1 ms
  // at every rate).
  bool tolerance_by_rate = false;
};

typedef void (*RepackerFlushCallback)(void *user_data);

struct Repacker {
  // Set by repacker_init, then only read.
  const char *name = "";  // prefix of messages: "<name>_put: ...", "<name>_flush: ..."
  RepackerRules rules;
  Packet *pkt = nullptr;  // the packet being built, reused by every write
  std::string suffix;     // "GENC" or "MGENC"
  std::string subcode;    // appended to source names after '/' when not empty
  int orb = -1;           // ring connection written to
  RepackerFlushCallback flush_callback = nullptr;  // called after each flush, or none
  void *flush_callback_user_data = nullptr;

  std::mutex mutex;                                         // guards the rest
  double time = 0, endtime = 0;                             // the current window; time 0: none yet
  std::map<std::string, RepackerChan *> channels_arr;       // by key
  std::vector<std::unique_ptr<RepackerChan>> channels_tbl;  // in order of first appearance
  char *packet = nullptr;                                   // encoded packet
  int packet_size = 0;                                      // its capacity
  // Scratch of put and flush, kept so that a steady stream allocates nothing.
  std::string key, src;
};

// Sets up a newly made `r`, writing packets of `type` (a waveform type) to `orb`. `name` must live
// as long as `r`. Nothing to report.
void repacker_init(Repacker *r, const char *name, RepackerRules rules, const PktType *type,
                   const char *subcode, int orb, RepackerFlushCallback flush_callback,
                   void *flush_callback_user_data);
// Frees what `r` holds (buffered samples are not written); `r` itself is the caller's.
void repacker_fini(Repacker *r);

// Takes the mutex and stores `nsamp` samples (0 or more) of a channel starting at `time`,
// `dt` apart, flushing first as the header says; `window_time` decides the window of
// `twin` seconds. Null codes count as empty; codes longer than their field are cut. 0, or
// -1 (logged) when the segment would pass INT_MAX bytes or its storage cannot grow
// (nothing stored before is lost).
int repacker_put(Repacker *r, double window_time, double twin, const char *net, const char *sta,
                 const char *chan, const char *loc, double time, double dt, double calib,
                 double calper, const char *segtype, int nsamp, const int32_t *data);

// Writes everything buffered, then calls the flush callback (also when nothing was held).
// repacker_flush takes the mutex and calls the callback after releasing it;
// repacker_flush_locked is for a caller already holding it. Both return 0.
int repacker_flush(Repacker *r);
int repacker_flush_locked(Repacker *r);
