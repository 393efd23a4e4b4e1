// q330sim_config.h - the simulator's configuration model: the flags block (FIX, GLOB, SC
// and the LOG of each logical port), the C1/C2 configuration blocks, the environmental
// processor's configuration and filter delays, and the token area of each data port
// served over C1_RQMEM. C1_SLOG and C2_SEPCFG change the model and are recorded.
//
// Field-list blocks are built with the codec's encoder (its golden-byte tests guard it);
// FLGS framing, GLOB, the routing table, memory segments, EPCFG and EPD, and the decoding
// of C1_SLOG and C2_SEPCFG are written here from the protocol.
//
// Locking: `mutex` guards every member; the simulator's loop holds it while it answers,
// and a test holds it to change the model while the loop runs.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "q330_pktdefs.h"

struct Q330SimConfig {
  std::mutex mutex;
  // FIX. `flags` 0x40: an environmental processor is present.
  uint16_t flags = 0x40 | 0x02 | 0x04 | 0x10;
  uint32_t qapchp_2_serial_number = 77;                         // 0: a three-channel unit
  uint8_t bit_frequency[8] = {100, 1, 10, 20, 40, 50, 200, 0};  // stream 0-7
  uint32_t packet_memory_size[4] = {65536, 65536, 65536, 65536};
  uint32_t total_number_of_reboots = 5;
  uint32_t property_tag = 3301;
  // GLOB and SC.
  uint32_t glob_user_tag = 42;
  uint32_t sensor_output_1_definition = 3;
  // LOG of each logical port (index logical - 1). C1_FLGS for the unit's own logical port
  // reports its data port's sequence (q330sim_data.h) as data_sequence_number.
  Q330LOGPkt log[4] = {};
  // Environmental processor: (channel, output_mask) and (channel, filter delay).
  std::vector<std::pair<uint8_t, uint8_t>> epcfg;
  std::vector<std::pair<uint8_t, uint32_t>> epd;
  // Token area of each data port (index port - 1), served in at least `token_segments`
  // segments of at most 1000 bytes.
  std::vector<unsigned char> tokens[4];
  int token_segments = 1;
  // Knob: C1_CERR with `cerr_code` for every request `cerr_command`; nothing is applied.
  int cerr_command = -1;
  int cerr_code = 0;
  // Knob: C1_FLGS whose LOG offset lies past its payload.
  bool flgs_bad_offsets = false;
  // What C1_SLOG and C2_SEPCFG applied, in order.
  std::vector<Q330LOGPkt> slog_applied;
  std::vector<std::vector<std::pair<uint8_t, uint8_t>>> sepcfg_applied;

  Q330SimConfig();
};
