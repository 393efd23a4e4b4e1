// q330_state.h - a session's block of the state file: what a restarted muldrin takes
// over from the last one (last data and channel output times, the reboot count, the last
// address, and the contents of the session's averagers).
//
// Block layout (parameter-file text, one line each, every line ending in a newline):
//
// | Line                   | When                                                         |
// |------------------------|--------------------------------------------------------------|
// | "<dlname> &Arr{"       | always                                                       |
// | "endtime %.3f"         | always                                                       |
// | "ch98_time %.6f"       | always                                                       |
// | "nreboots %d"          | always                                                       |
// | "lastip %s" / "lastip -" | always; "-" without an address                             |
// | "chans &Arr{"          | always, then the channels whose last_link_time is not 0:     |
// |   "data:%d:%d %.6f"    |   output data channels (stream 0-7, pchan 0-5) with a packet |
// |                        |   definition                                                 |
// |   "ep:%d %.6f"         |   environmental channels with a packet definition            |
// |   "%s %.6f"            |   status channels, in key order                              |
// | "}"                    | always                                                       |
// | averager blocks        | nlinks_24h, nreboots_24h, npocs_24h, nipchs_24h, datagap_24h,|
// |                        | datagap_1h; control_read_24h/control_write_24h and           |
// |                        | data_read_24h/data_write_24h when the endpoint exists        |
// | "}"                    | always                                                       |
//
// Averager block: "<name> &Arr{", "time %.3f", "tbin %.3f", "twin %.3f", "nbin %d",
// "bins &Tbl{", one "%.3f" per slot (bin mode: all nbin; event mode: the used slots), "}",
// "}". A missing averager writes nothing.
//
// Trust: the state object is outside data. Every value is checked before it replaces a
// live one; a bad item costs that item (with a complaint), never the program.
//
// Locking: the writer takes one view of the session before it writes a line, each part
// at once under the lock of its owner: endtime and nreboots under status.status_mutex (the
// control thread's), the stream position (data_mark) with the packet copies under
// data_copy_mutex (the data thread's), every channel's last_link_time under
// link_time_mutex (the write thread's flush). The writer and the restores take each
// averager's mutex while they read or replace its contents (the session's threads put
// into them meanwhile); a restored averager's bins are swapped in under that mutex, so no
// reader sees them freed. The session restore runs at setup, before the threads.
#pragma once

#include "q330.h"
#include "q330_statestore.h"

// Formats one line (cut at 2047 characters) and writes all of it to fd. The byte count,
// or -1 when the write fell short.
int my_fprintf(int fd, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Appends one averager block; none writes nothing. 0, or -1 (logged) at the first failed
// line.
int taverage_write_state(TAverage *ta, const char *name, int fd);
// Appends the session's block. 0, or -1 (logged) at the first failed line; the rest of
// the block is then not written.
int q330_write_state(Q330 *q330, int fdstate);

// Restores one averager from its block `pf` of the state store; `name` describes it in
// messages. 0; -1 when an item is missing or the block is not sound (complained), the
// averager unchanged.
int taverage_read_state(TAverage *ta, const char *name, Q330StateNode pf);
// Restores the session from the state object kept at creation. 0 in every case; a
// missing or bad item is complained about and skipped.
int q330_read_state(Q330 *q330);
// Restores the averager `name` of the session's block. 0.
int q330_read_state_ta(Q330 *q330, const char *name, TAverage *ta);
// Restores the 24-hour byte averagers of the control (port 1: "control_read_24h",
// "control_write_24h") or data endpoint (port 2: "data_read_24h", "data_write_24h"),
// once per endpoint for the life of the session: a later restore would throw away what
// was counted since start-up. Nothing when the endpoint or its averagers do not exist yet
// (the restore waits for them). 0.
int q330_read_state_udp(Q330 *q330, int port);
