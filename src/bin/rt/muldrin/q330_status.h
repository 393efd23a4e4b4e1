// q330_status.h - the status readout of a session: asks the datalogger for status blocks
// with C1_RQSTAT, keeps the answer as the session's status packet, and acts on it (clock
// comparison and time records, the data port's packet-buffer fill and its flush, the
// listen-mode shutdown countdown, the communication-efficiency averagers, the datalogger's
// user message, token and logical-port change flags, and the shared-memory clock).
//
// Status bitmap: bits 0-19 select blocks (0 glob, 1 gps, 2 pwr, 3 boom, 4 thread, 5 pll,
// 6 gpss, 7 arp, 8-11 log of data ports 1-4, 12-14 serial 1-3, 15 eth, 16 baler, 17 dynip,
// 18 aux, 19 schan). In an answer, bit 31 announces a user message, 30 a change of the
// logical-port configuration and 29 a change of the data-port tokens; only bits 0-27
// count as returned blocks.
//
// Locking: runs on the session's control thread only. The status packet is replaced under
// status.status_pkt_mutex. The LOG block of the configuration and the data port's
// acknowledgement parameters, which the data thread reads, are rewritten under
// config.config_mutex as one snapshot. The averagers lock themselves.
#pragma once

#include "q330.h"

// Bits of the status bitmap that a readout may ask for, and the answer flags.
inline constexpr unsigned Q330_STATUS_ALL = 0xFFFFF;
inline constexpr unsigned Q330_STATUS_BLOCKS = 0x0FFFFFFF;
inline constexpr unsigned Q330_STATUS_TOKENS = 1u << 29;
inline constexpr unsigned Q330_STATUS_LOGCHANGE = 1u << 30;
inline constexpr unsigned Q330_STATUS_UMSG = 1u << 31;
// Most C1_RQSTAT requests in one readout.
inline constexpr int Q330_STATUS_MAX_REQUESTS = 51;

// Reads the blocks of the integer "status_bitmap" of `pf` (required when pf is given), or
// of `status_bitmap`. 0 (also for a bitmap of 0, without any exchange), or -1: not
// registered (error says so), the bitmap missing, or a failed collection (logged; error
// may be empty). A failed collection still feeds the clock from the blocks received.
int q330_get_status_pvt(Q330 *q330, Pf *pf, unsigned int status_bitmap, char *error, int err_sz);
