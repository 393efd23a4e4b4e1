// muldrin_datastatus.h - the writer's status-channel output (output type 2).
//
// q330_write_datastatus stores each value of a status block in its status channel (where
// the status report reads it), writes it as a one-sample waveform through the channel's
// repackager, and writes one combined log line per block, suppressing repeats.
//
// The repackager is reached through the `muldrin_repkt` seam, which holds the waveform
// writer's q330_repkt_create/_put/_flush (tests set recording fakes). With the seam
// empty, status channels are stored and logged but no waveform is written.
//
// Locking: runs in the write thread only. The status channel is written under the
// session's status.status_mutex; the repeat-suppression slots are the writer's own (they
// are not the session's log_buffer, which belongs to the data thread).
#pragma once

#include <cstdint>
#include <string>

#include "muldrin.h"

struct Q330RepktBuf;
struct Q330DataStatus;

struct MuldrinRepkt {
  Q330RepktBuf *(*create)(const char *suffix, const char *subcode, int orb) = nullptr;
  int (*put)(Q330RepktBuf *buf, double ch98_time, double twin, const char *net, const char *sta,
             const char *chan, const char *loc, double time, double dt, double calib, double calper,
             const char *segtype, int nsamp, const int32_t *data) = nullptr;
  int (*flush)(Q330RepktBuf *buf) = nullptr;
};
extern MuldrinRepkt muldrin_repkt;

void q330_write_datastatus(Q330 *q330, Q330DataStatus *dstat);

// Units and segment type of a definition type ("sec"/"T", "volt"/"v", ...; others ""/"c").
void muldrin_status_units(int deftype, const char **units, const char **segtype);
// " name" for each set bit of `value` that the bit-set definition names, in bit order.
std::string muldrin_status_bit_names(const Q330DataStatusDef *def, uint32_t value);
// 1 when `stdef` is a row of the program status table, 2 of the data status table, else 0.
int muldrin_status_kind(const void *stdef);
// Forgets the writer's repeat-suppression slots (tests).
void muldrin_datastatus_reset(void);
