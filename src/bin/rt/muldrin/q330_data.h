// q330_data.h - the data port of a session: opening the stream (DT_OPEN), reading it
// through the reorder window, handing in-order packets to the blockette decoder, the
// acknowledgements (DT_DACK) and closing the stream.
//
// Acknowledgements: last_dack's base is the last packet passed on, and its bitmap (bit k,
// bit k mod 32 of word k / 32, set when packet qdp_ack + k is held; bit 0 stands for the
// base itself) marks every packet held within 128 of it; send_dack re-bases it before each
// DT_DACK. The datalogger frees what is marked, so what only this session then holds is
// kept: the packets held beyond a gap across a re-open (and in the state file), and the
// copies of the record being assembled, from which a restart in the same boot goes on with
// it (Q330 data_record_copy, data_held_copy). A packet that comes again with other bytes
// than the one held is counted and its mark taken back. Distances between 16-bit
// sequences are folded: below -60000 add 65536, above 60000 subtract 65536.
//
// Locking: everything runs on the session's data thread; the window, the acknowledgement
// record and the counters are that thread's. The packet copies are also read by the state
// file's writer, so they are under data_copy_mutex, and so is the position published with
// them (data_mark) after every packet passed on and at every open. The channel set-up and status
// requests of the open are posted to the control thread through the control queue, and the data
// thread waits for their answers.
#pragma once

#include "q330.h"

// Largest window used: the span of the acknowledgement bitmap.
inline constexpr int Q330_DATA_WINDOW_MAX = 128;

int q330_open_data(Q330 *q330, char *error, int err_sz);
// Reads until one packet has been stored in the window (and every in-order packet passed
// on). 0, -1 failure (the caller re-registers), -2 broken off by a state change.
int q330_read_data(Q330 *q330, char *error, int err_sz);
// Processes one in-order packet: 0, 15 (output busy: call again with the same packet), -1
// (the packet cannot be decoded; logged with a rate-limited packet-cache dump).
int q330_proc_data(Q330 *q330, int command, unsigned sequence, char *pkt, int nbytes);
int q330_close_data(Q330 *q330, char *error, int err_sz);
// Publishes the data thread's position (the stream fields of the session) as data_mark,
// under data_copy_mutex: by the data thread, or by the state restore before it runs.
void q330_publish_data_mark(Q330 *q330);

int add_to_last_dack(Q330 *q330, unsigned sequence);
int shift_last_dack(Q330 *q330, unsigned base_sequence);
// Clear bits below the highest set bit of last_dack.
int dack_holes(Q330 *q330);
int print_dack(Q330 *q330, Q330DACKPkt *dack, const char *dbgmsg);
// Re-bases last_dack at last_good_sequence and sends it (not with stop_acks), then resets
// the acknowledgement timer and counters. 0 or -1.
int send_dack(Q330 *q330, const char *dbgmsg);
