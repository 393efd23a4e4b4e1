// q330_repkt.h - the repackager: collects the samples of several channels into one
// time window and writes them as waveform packets (one packet per pass, at most one
// segment per channel in a packet) to a ring when the window is complete or on a flush.
//
// Locking: each repackager has its own mutex, held for the whole of a put or a flush.
// All calls come from the write thread; the packet and its buffers are reused, and
// segment buffers only grow, so steady streaming allocates nothing.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "packet/pkt.h"

struct Q330RepktChanSegment {
  double ch98_time = 0;  // time tag of the record that began it
  double time = 0;       // time of its first sample
  double dt = 0;
  int nsamp = 0;
  std::vector<int32_t> data;  // capacity grows by half again
};

struct Q330RepktChanBuf {
  double nexttime = 0;  // time the next contiguous sample would have
  double dt = 0;
  double calib = 0, calper = 0;
  char net[8] = "", sta[16] = "", chan[16] = "", loc[8] = "", segtype[4] = "";
  std::vector<Q330RepktChanSegment> segments;  // oldest first
  size_t first = 0;                            // segments before it are emitted
};

struct Q330RepktBuf {
  Packet *pkt = nullptr;
  std::string suffix, subcode;
  int orb = -1;
  double time = 0, endtime = 0;  // the current window; time 0: none yet
  std::map<std::string, Q330RepktChanBuf *> channels_arr;
  std::vector<std::unique_ptr<Q330RepktChanBuf>> channels_tbl;  // in order of creation
  char *buf = nullptr;                                          // encoded packet
  int bufsize = 0, nbytes = 0;
  // Scratch of put and flush, kept so that a steady stream allocates nothing.
  std::string key, src;
  std::vector<Q330RepktChanBuf *> taken;
  std::mutex mutex;
};

// A repackager writing packets of `suffix` ("GENC" or "MGENC") to the ring connection
// `orb`; none (logged) for an unknown suffix.
Q330RepktBuf *q330_repkt_create(const char *suffix, const char *subcode, int orb);
// Adds `nsamp` samples of channel net_sta_chan[_loc] starting at `time`, `dt` apart, from
// the record whose time tag `ch98_time` decides the window of `twin` seconds. A record
// before the window (by more than 1 ms) or at its end, and a change of segtype, calib or
// calper, first flush everything buffered. 0, or -1 (logged).
int q330_repkt_put(Q330RepktBuf *buf, double ch98_time, double twin, const char *net,
                   const char *sta, const char *chan, const char *loc, double time, double dt,
                   double calib, double calper, const char *segtype, int nsamp,
                   const int32_t *data);
// Writes everything buffered; the window stays as it was. 0.
int q330_repkt_flush(Q330RepktBuf *buf);
// The flush; takes the lock only when `lock` is non-zero. 0.
int q330_repkt_flush_pvt(Q330RepktBuf *buf, int lock);
// Frees a repackager and what it buffered, unwritten (the program keeps its repackagers
// for good; tests free theirs). None: nothing.
void q330_repkt_free(Q330RepktBuf *buf);
