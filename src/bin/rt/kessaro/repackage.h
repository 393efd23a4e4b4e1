// repackage.h - the repackager: sample blocks of many channels gathered into waveform
// packets of one fixed time window per packet definition.
//
// One RepackageBuf exists per packet definition. repackage_put copies a block of samples
// of one channel (net_sta_chan_loc) into the buffer: contiguous blocks of a channel are
// joined into one segment (within 1 ms of where it ends), a gap or a new sample interval
// starts another. A block that does not belong to the current window (it starts 1 ms or
// less before the window's end, or 1 ms or more before its start) or that changes a
// channel's calibration first makes the buffer write everything it holds, so no packet
// spans two windows or mixes calibrations. Blocks are never split: one that starts inside
// the window is taken whole. The work is done by the shared repackager
// (ringsvc/repacker.h) under these rules; this module checks what it is handed.
//
// A flush writes packets of the buffer's suffix ("MGENC": every channel with samples in
// one packet; "GENC": one packet per channel) with at most one segment per channel each,
// oldest segments first, through stuffPkt and orbwrite_put (ringsvc/orbwrite.h): a write
// that the ring refuses is repeated after a pause growing to 1 s, complaining once a
// minute, and dropped (counted) once the ring has refused everything for
// `ring_refusal_drop_time`; once the program is halting (kessaro_halt) a write still
// refused after 10 s, or refused by a ring file cut shorter, is dropped with a complaint,
// so that the last flush always ends. All pauses go through the clock seam. A pass that
// stuffPkt cannot encode is dropped.
//
// Ownership and locking: a RepackageBuf owns its channel buffers, segments, packet and
// encoded-packet buffer, and lives until the process ends. Its `mutex` is held for the
// whole of a put or a flush and is never held together with another lock; the buffers
// are independent of each other.
#pragma once

#include "ringsvc/repacker.h"

using RepackageChanSegment = RepackerSegment;
using RepackageChanBuf = RepackerChan;
typedef RepackerFlushCallback RepackageFlushCallback;

struct RepackageBuf : Repacker {
  double twin = 0;  // time window of one packet, seconds
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
// when `lock` is 1, else its caller holds it.
int repackage_flush(RepackageBuf *buf);
int repackage_flush_pvt(RepackageBuf *buf, int lock);
