// muldrin_genc.h - waveform output of muldrin's write thread: a data record (output type
// 1) becomes waveform packets, at once for packet definitions of 1 s or less and through
// the definition's repackager for longer windows; a flush request (type 13) empties a
// session's repackagers and marks where each channel's output stopped.
//
// Locking: the write thread is the only caller; the packets and buffers here are reused
// record after record and belong to it. The flush sets every channel's last_link_time at
// once under the session's link_time_mutex (the state file reads them).
#pragma once

#include "muldrin.h"
#include "q330.h"

// 0, or -1 for a record without a time tag or one too short for its header (no packet).
int q330_genc_orbpkts(Q330 *q330, void *q330data, int q330data_size);
void q330_write_flush(Q330 *q330);
