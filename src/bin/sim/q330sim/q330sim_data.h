// q330sim_data.h - the simulator's data port: DT_OPEN, one data record per simulated
// second sent as numbered DT_DATA datagrams, DT_FILL when idle, the packet buffer with its
// window of unacknowledged packets, DT_DACK and resends, and faults in both directions.
//
// Samples come from a seeded generator the tests replay: q330sim_sample(seed, channel,
// index) for the absolute sample index (data record sequence x rate + position). Each
// record (data record sequence r, time r seconds after 2000) holds, in this order:
//   0x98 time tag (layout 5: quality 0xC0, minutes since loss 0, seconds offset 0, usec 0)
//   0x80 state of health (layout 1: 0x10, sample of channel 7 & 0xFF, 0)
//   the data channels, below
//   the calibration blockettes (0xF8, 0xF9) of the operator commands accepted since the
//   previous record, if any (q330sim_commands.h)
// packed into payloads of at most 720 bytes (4-byte record sequence + blockettes); later
// payloads of a record carry no time tag.
//
// The data channels follow the configuration model (q330sim_config.h) as a datalogger
// follows its own: every physical channel p and stream s whose bit the data port's LOG
// sets in channel_freqs[p], at the FIX rate of stream s. A rate of 1 sample/s goes out as a
// single value (layout 4: code 0xE0 + p, rate code 1, value), higher whole rates as a
// compressed block of one second (layout 6, split into layout-7 segments of at most
// `split_size` bytes when it does not fit the room left), other rates not at all. Their
// samples are those of generator channel p + 8 x s.
// While the LOG enables no channel at all (a model nobody configured), the records carry the
// fixed test channels instead: 0xE2, the single value of generator channel 2, then the
// compressed blocks of q330sim_data_channels, at the rates of q330sim_data_rate_codes.
//
// Locking: the model's own mutex guards knobs, buffer and counters; the loop thread runs
// tick() and data_received(), tests call the accessors.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <utility>
#include <vector>

#include "q330sim.h"

// Probabilities (0-1) of faults on datagrams in one direction.
struct Q330SimDataFaults {
  double loss = 0, reorder = 0, duplicate = 0, badcrc = 0;
};

struct Q330SimDataKnobs {
  uint32_t seed = 1;
  // Copies of the LOG values the data port needs (until the configuration model holds
  // them): window of unacknowledged packets, first sequence number, acknowledgement count
  // and time-out (tenths of a second) that a client should use.
  int window_size = 8;
  uint16_t data_sequence_number = 1;
  int acknowledge_count = 4;
  int acknowledge_timeout = 5;
  int memory_packets = 512;     // packet buffer of the port's memory
  double resend_timeout = 1.0;  // clock seconds before an unacknowledged packet is resent
  double record_interval = 0;   // clock seconds per record; 0: whenever all are sent
  double fill_interval = 1.0;   // clock seconds idle before a DT_FILL; 0 never
  uint32_t first_record = 100000;
  int records = 0;  // records to make; 0 no end
  int split_size = 300;
  bool base96 = false;
  bool stall = false;  // send nothing at all while set
  Q330SimDataFaults send, recv;
  // {n-th packet made (1-based), payload bytes}: its first sending is cut or padded to
  // that size (0-3 or 721, say); resends are whole.
  std::vector<std::pair<int, int>> odd_payloads;
  // After these records (0-based counts) an undecodable DT_DATA packet is put in sequence.
  std::vector<int> garbage_after;
};

// One compressed channel of the generated records.
struct Q330SimDataChannel {
  int channel, stream, rate;
  bool wide;  // samples span 28 bits (30-bit differences), else -1000 to 1000
};
inline constexpr int Q330SIM_DATA_CHANNELS = 3;
extern const Q330SimDataChannel q330sim_data_channels[Q330SIM_DATA_CHANNELS];
// The FIX rate codes of streams 0-7 the records assume.
extern const uint8_t q330sim_data_rate_codes[8];

int32_t q330sim_sample(uint32_t seed, int channel, int64_t index);
// Samples per second of a FIX rate code; 0 for a code without a whole rate (none, 0.1/s).
int q330sim_data_rate(uint8_t code);
// The data channels of a LOG channel map and the FIX rate codes of streams 0-7 (each
// entry's `channel` is the physical channel); empty when the map enables none.
std::vector<Q330SimDataChannel> q330sim_data_plan(const uint16_t channel_freqs[6],
                                                  const uint8_t rate_codes[8]);
// The raw bytes (payload of DT_DATA) of the record `record`: one vector per datagram.
// `plan` as q330sim_data_plan gives it (none or empty: the fixed test channels); `extra`
// blockettes follow the data channels.
std::vector<std::vector<uint8_t>> q330sim_data_record(
    uint32_t seed, uint32_t record, int split_size,
    const std::vector<std::vector<uint8_t>> &extra = {},
    const std::vector<Q330SimDataChannel> *plan = nullptr);
// A datagram as base-96 text with `key`.
std::vector<uint8_t> q330sim_base96(const std::vector<uint8_t> &datagram, uint8_t key);

struct Q330SimDataCounters {
  int packets_sent = 0;          // first sendings
  int total_packets_resent = 0;  // resends (time-out or DT_OPEN)
  // Resends of packets first sent after the first DT_DACK of the stream came: what an
  // acknowledgement scheme costs once the stream runs, without the start-up resends.
  int stream_resent = 0;
  int fills = 0, records = 0;
  int dacks = 0, opens = 0;
  int unacked = 0;  // packets in the buffer
  uint16_t data_sequence_number = 0;
};

struct Q330SimData {
  struct Packet {
    uint16_t seq;
    int command;
    int ordinal;
    std::vector<uint8_t> payload;
    bool in_flight = false;
    bool ever_sent = false;
    bool sent_after_dack = false;  // first sent after the stream's first DT_DACK
    double sent_at = 0;
  };
  std::mutex mutex;
  Q330SimDataKnobs knobs;
  Q330SimDataCounters counters;
  bool open = false;
  bool dacked = false;  // a DT_DACK has come since the model was made
  sockaddr_in peer{};
  std::deque<Packet> buffer;
  uint16_t next_seq = 1;
  bool started = false;
  uint32_t next_record = 0;
  int made = 0, ordinals = 0;
  double next_record_time = 0, last_send = 0;
  std::mt19937 rng;
  std::vector<std::vector<uint8_t>> held;  // reordered datagrams out
  std::vector<std::vector<uint8_t>> cal;   // calibration blockettes for the next record
  std::vector<Q330SimDatagram> held_in;    // reordered datagrams in

  Q330SimDataKnobs get_knobs();
  void set_knobs(const Q330SimDataKnobs &k);
  Q330SimDataCounters get_counters();
};
