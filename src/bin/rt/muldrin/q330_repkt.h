// q330_repkt.h - the repackager of waveform packets with a time window: collects the
// samples of several channels into one window and writes them as waveform packets (one
// packet per pass, at most one segment per channel in a packet) to a ring when the window
// is complete or on a flush. The work is done by the shared repackager (ringsvc/repacker.h)
// under this program's rules: the window is decided by the record's time tag, edges
// count only beyond 1 ms, a segment continues within 1 ms but at most half a sampling
// interval; a pass that cannot be encoded is dropped with a complaint.
//
// Locking: each repackager has its own mutex (`mutex`), held for the whole of a put or a
// flush. All calls come from the write thread; the packet and its buffers are reused, and
// segment buffers only grow, so steady streaming allocates nothing.
#pragma once

#include <cstdint>

#include "ringsvc/repacker.h"

struct Q330RepktBuf : Repacker {};
using Q330RepktChanBuf = RepackerChan;
using Q330RepktChanSegment = RepackerSegment;

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
// Writes everything buffered; the window stays as it was. Takes the mutex. 0.
int q330_repkt_flush(Q330RepktBuf *buf);
// The flush for a caller that already holds buf->mutex. 0.
int q330_repkt_flush_pvt(Q330RepktBuf *buf);
// Frees a repackager and what it buffered, unwritten (the program keeps its repackagers
// for good; tests free theirs). None: nothing.
void q330_repkt_free(Q330RepktBuf *buf);
