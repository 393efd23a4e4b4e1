// muldrin_status.h - the program's status report and the status thread.
//
// muldrin_make_status composes the report (program lines, then one block per datalogger)
// as parameter-file text; run_status_thread sends a full report every status interval, a
// partial one (only the dataloggers that asked) within a second of a request, and a last
// full report once shutdown raises `flushstatus`. muldrin_shutdown waits for that last
// report (muldrin_status_join) before it stops the writer.
//
// Locking: session members are single words read without a lock, except the status
// channels and positions, read under the session's status.status_mutex, the status packet
// (copied under status.status_pkt_mutex) and the FIX block (under config.config_mutex);
// no two of these are held at once. The request flags are atomics taken by exchange.
#pragma once

#include "muldrin.h"

// The report text of the program record given to muldrin_write_setup; partial 0 full,
// 1 partial. A heap text the caller frees; none without a program record.
char *muldrin_make_status(int partial);
void *run_status_thread(void *arg);
// Starts the status thread. 0, or -1 when it cannot be created.
int muldrin_status_start(Muldrin *muldrin);
// Waits until a started status thread has ended (after its final report), at most
// MULDRIN_STATUS_JOIN_STEPS pauses of 0.1 s. 0 when it ended (joined, or none was
// started); -1 when the wait ran out (complained; a later call may wait for it again).
int muldrin_status_join(Muldrin *muldrin);
inline constexpr int MULDRIN_STATUS_JOIN_STEPS = 100;
// The connection word of an acquisition state ("con waiting", ...).
const char *muldrin_status_conword(Q330AcqState state, int first_data);
