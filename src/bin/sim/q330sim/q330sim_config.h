// q330sim_config.h - the simulator's configuration model: the flags block (FIX, GLOB, SC
// and the LOG of each logical port), the C1/C2 configuration blocks, the environmental
// processor's configuration and filter delays, and the token area of each data port
// served over C1_RQMEM. C1_SLOG and C2_SEPCFG change the model and are recorded.
//
// Every reply layout (FIX, GLOB, SC and LOG inside FLGS; PHY, MAN, SPP, GID, DCP, DEV,
// C2_PHY, C2_GPS, C2_AMASS; the routing table, memory segments, EPCFG and EPD) and the
// decoding of C1_SLOG and C2_SEPCFG are written here from the protocol's layout tables,
// with none of the program's code: a layout fault on either side shows as a mismatch
// instead of cancelling out.
//
// Locking: `mutex` guards every member; the simulator's loop holds it while it answers,
// and a test holds it to change the model while the loop runs.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

// The LOG block of one logical port (C1_LOG, C1_SLOG and inside C1_FLGS), 52 bytes,
// big-endian, in this order:
//   0 logical_port_number 2      2 flags 2                 4 percent_of_packet_buffer 2
//   6 mtu 2                      8 group_count 2          10 maximum_resend_timeout 2
//  12 group_timeout 2           14 minimum_resend_timeout 2
//  16 window_size 2             18 data_sequence_number 2  20 channel_freqs 2 x 6
//  32 acknowledge_count 2       34 acknowledge_timeout 2   36 old_data_threshold_time 4
//  40 ethernet_throttle 2       42 alarm_percent 2         44 automatic_filters 2
//  46 manual_filters 2          48 spare1 4
struct Q330SimLog {
  uint16_t logical_port_number, flags, percent_of_packet_buffer, mtu, group_count;
  uint16_t maximum_resend_timeout, group_timeout, minimum_resend_timeout, window_size;
  uint16_t data_sequence_number;
  uint16_t channel_freqs[6];
  uint16_t acknowledge_count, acknowledge_timeout;
  uint32_t old_data_threshold_time;
  uint16_t ethernet_throttle, alarm_percent, automatic_filters, manual_filters;
  uint32_t spare1;
};

// The LOG block's 52 wire bytes, and back (false for fewer than 52 bytes).
std::vector<unsigned char> q330sim_log_encode(const Q330SimLog &log);
bool q330sim_log_decode(const std::vector<unsigned char> &bytes, Q330SimLog *log);

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
  Q330SimLog log[4] = {};
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
  std::vector<Q330SimLog> slog_applied;
  std::vector<std::vector<std::pair<uint8_t, uint8_t>>> sepcfg_applied;

  Q330SimConfig();
};
