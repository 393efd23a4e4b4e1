// q330sim_status.h - the simulator's status model: the C1_RQSTAT answer and a minimal
// LOG block (C1_RQLOG answered, C1_SLOG recorded) for the packet-buffer flush.
//
// C1_STAT payload (big-endian): uint32 bitmap, then the blocks of the set bits in this
// order: 31 msg (uint32 sender, 80-byte counted text), 0 glob (52 bytes), 1 gps (84), 2 pwr
// (20), 3 boom (32), 4 thread (12, no entries), 5 pll (28), 6 gpss (4, no entries), 7 arp
// (4, no entries), 8-11 log of data ports 1-4 (32 each), 12-14 serial (36 each), 15 eth
// (76), 16 four baler blocks (12 each), 17 dynip (16), 18 aux (8, no words), 19 schan (4,
// no sub-blocks).
// glob and gps follow the clock (clock seam): the datalogger's time is now plus
// `clock_offset`; the 1PPS time is that second less `pps_age`. The LOG block here serves
// until the configuration model answers C1_RQLOG itself (it is asked first).
//
// Locking: `mutex` guards every member; the simulator's loop and the test both use it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct Q330SimStatus {
  std::mutex mutex;
  // Clock.
  uint16_t clock_quality = 0xC0;   // locked
  double clock_offset = 0;         // datalogger time minus host time, seconds
  uint32_t seconds_offset = 1000;  // the glob's split of the time
  uint32_t pps_age = 0;            // seconds the 1PPS time lags the datalogger's second
  std::string gps_time = "12:00:00", gps_date = "10/12/2026";
  // Data ports 1-4.
  uint32_t sent[4] = {}, resent[4] = {}, fill[4] = {}, bytes_used[4] = {};
  // Answers: at most `max_blocks` requested blocks each (0: all); `withhold` blocks are
  // never answered, `extra` blocks always are, asked or not; `flags` (bits 29-31) go
  // into the next answer only.
  int max_blocks = 0;
  uint32_t withhold = 0, extra = 0, flags = 0;
  uint32_t umsg_ip = 0x7F000001;
  std::string umsg = "hello";
  // LOG block of the data port.
  uint16_t window_size = 8, acknowledge_timeout = 10;
  uint16_t log_flags = 0;
  uint32_t old_data_threshold_time = 0;
  // What arrived: each C1_RQSTAT bitmap, and each C1_SLOG as (flags, threshold time).
  std::vector<uint32_t> requests;
  std::vector<std::pair<uint16_t, uint32_t>> slogs;
};
