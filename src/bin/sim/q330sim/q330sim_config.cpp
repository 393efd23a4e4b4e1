// q330sim_config.cpp - the simulator's configuration area (see q330sim_config.h).
#include "q330sim_config.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "q330sim.h"
#include "q330sim_data.h"

namespace {

enum {
  RQPHY = 0x16,
  SLOG = 0x17,
  RQMAN = 0x1E,
  RQRT = 0x25,
  RQGID = 0x28,
  RQSPP = 0x2D,
  RQFLGS = 0x34,
  RQDCP = 0x35,
  RQDEV = 0x36,
  RQMEM = 0x41,
  C2_RQPHY = 0x51,
  C2_RQGPS = 0x53,
  C2_RQAMASS = 0x58,
  C2_RQEPD = 0x70,
  C2_RQEPCFG = 0x71,
  C2_SEPCFG = 0x72,
  CACK = 0xA0,
  CERR = 0xA2,
  PHY = 0xA4,
  LOG = 0xA5,
  FIX = 0xA7,
  MAN = 0xA8,
  RT = 0xAA,
  GID = 0xAC,
  SPP = 0xAE,
  SC = 0xAF,
  FLGS = 0xB1,
  DCP = 0xB2,
  DEV = 0xB3,
  MEM = 0xB8,
  C2_PHY = 0xC0,
  C2_GPS = 0xC1,
  C2_AMASS = 0xC4,
  C2_EPD = 0xD0,
  C2_EPCFG = 0xD1,
};

constexpr int kSegmentMax = 1000;

void put8(std::vector<unsigned char> &v, unsigned x) { v.push_back(static_cast<unsigned char>(x)); }
unsigned get16(const std::vector<unsigned char> &v, size_t at) {
  return at + 2 <= v.size() ? static_cast<unsigned>(v[at] << 8 | v[at + 1]) : 0;
}
uint32_t get32(const std::vector<unsigned char> &v, size_t at) {
  return get16(v, at) << 16 | get16(v, at + 2);
}

// A zeroed block of a layout's wire size, filled field by field at the layout's offsets
// (all big-endian).
struct Block {
  std::vector<unsigned char> bytes;
  explicit Block(size_t size) : bytes(size, 0) {}
  Block &u8(size_t at, unsigned x) {
    bytes.at(at) = static_cast<unsigned char>(x);
    return *this;
  }
  Block &u16(size_t at, unsigned x) { return u8(at, x >> 8 & 0xFF).u8(at + 1, x & 0xFF); }
  Block &u32(size_t at, uint32_t x) { return u16(at, x >> 16).u16(at + 2, x & 0xFFFF); }
  // A counted string of `width` bytes: its length byte, the characters, filler.
  Block &pstr(size_t at, size_t width, const char *text) {
    size_t n = std::min(strlen(text), width - 1);
    u8(at, static_cast<unsigned>(n));
    memcpy(&bytes.at(at + 1), text, n);
    return *this;
  }
};

void append(std::vector<unsigned char> &to, const std::vector<unsigned char> &from) {
  to.insert(to.end(), from.begin(), from.end());
}

// FIX, 188 bytes: 4 total_number_of_reboots 4, 26 flags 2, 36 kmi_property_tag 4,
// 96 qapchp_2_serial_number 4, 100 logical_port_packet_memory_size 4 x 4, and from 116
// bit_frequency 1 x 8 with stream 7 first (reversed); the fields left 0 are not modelled.
std::vector<unsigned char> fix_block(const Q330SimConfig &c) {
  Block b(188);
  b.u32(4, c.total_number_of_reboots).u16(26, c.flags).u32(36, c.property_tag);
  b.u32(96, c.qapchp_2_serial_number);
  for (int i = 0; i < 4; i++) b.u32(100 + 4 * static_cast<size_t>(i), c.packet_memory_size[i]);
  for (int s = 0; s < 8; s++) b.u8(116 + static_cast<size_t>(7 - s), c.bit_frequency[s]);
  return b.bytes;
}

std::vector<unsigned char> flags_block(const Q330SimConfig &c, int port) {
  std::vector<unsigned char> fixb = fix_block(c);
  // GLOB, 160 bytes: sixteen 16-bit words, user_tag, the scale table, offsets, gains,
  // message bitmap.
  std::vector<unsigned char> glob;
  for (int i = 0; i < 16; i++) q330sim_put16(glob, 0);
  q330sim_put32(glob, c.glob_user_tag);
  while (glob.size() < 160) put8(glob, 0);
  // SC, 32 bytes: sensor_output_1_definition to _8_definition, 4 bytes each.
  std::vector<unsigned char> scb = Block(32).u32(0, c.sensor_output_1_definition).bytes;
  std::vector<unsigned char> logb = q330sim_log_encode(c.log[port]);
  unsigned off_glob = 8 + static_cast<unsigned>(fixb.size());
  unsigned off_sc = off_glob + static_cast<unsigned>(glob.size());
  unsigned off_log = off_sc + static_cast<unsigned>(scb.size());
  std::vector<unsigned char> out;
  q330sim_put16(out, off_glob);
  q330sim_put16(out, off_sc);
  q330sim_put16(out, c.flgs_bad_offsets ? off_log + 1000 : off_log);
  q330sim_put16(out, 0);
  append(out, fixb);
  append(out, glob);
  append(out, scb);
  append(out, logb);
  return out;
}

}  // namespace

std::vector<unsigned char> q330sim_log_encode(const Q330SimLog &l) {
  Block b(52);
  const uint16_t head[] = {l.logical_port_number,
                           l.flags,
                           l.percent_of_packet_buffer,
                           l.mtu,
                           l.group_count,
                           l.maximum_resend_timeout,
                           l.group_timeout,
                           l.minimum_resend_timeout,
                           l.window_size,
                           l.data_sequence_number};
  size_t at = 0;
  for (uint16_t h : head) b.u16(at, h), at += 2;
  for (uint16_t f : l.channel_freqs) b.u16(at, f), at += 2;
  b.u16(32, l.acknowledge_count).u16(34, l.acknowledge_timeout);
  b.u32(36, l.old_data_threshold_time).u16(40, l.ethernet_throttle).u16(42, l.alarm_percent);
  b.u16(44, l.automatic_filters).u16(46, l.manual_filters).u32(48, l.spare1);
  return b.bytes;
}

bool q330sim_log_decode(const std::vector<unsigned char> &p, Q330SimLog *log) {
  if (p.size() < 52) return false;
  uint16_t *head[] = {&log->logical_port_number,
                      &log->flags,
                      &log->percent_of_packet_buffer,
                      &log->mtu,
                      &log->group_count,
                      &log->maximum_resend_timeout,
                      &log->group_timeout,
                      &log->minimum_resend_timeout,
                      &log->window_size,
                      &log->data_sequence_number};
  size_t at = 0;
  for (uint16_t *h : head) *h = static_cast<uint16_t>(get16(p, at)), at += 2;
  for (auto &f : log->channel_freqs) f = static_cast<uint16_t>(get16(p, at)), at += 2;
  log->acknowledge_count = static_cast<uint16_t>(get16(p, 32));
  log->acknowledge_timeout = static_cast<uint16_t>(get16(p, 34));
  log->old_data_threshold_time = get32(p, 36);
  log->ethernet_throttle = static_cast<uint16_t>(get16(p, 40));
  log->alarm_percent = static_cast<uint16_t>(get16(p, 42));
  log->automatic_filters = static_cast<uint16_t>(get16(p, 44));
  log->manual_filters = static_cast<uint16_t>(get16(p, 46));
  log->spare1 = get32(p, 48);
  return true;
}

namespace {

// The segments of a token area: at least `segments`, none over kSegmentMax bytes.
std::vector<std::vector<unsigned char>> segments_of(const std::vector<unsigned char> &area,
                                                    int segments) {
  size_t n = static_cast<size_t>(segments < 1 ? 1 : segments);
  size_t size = (area.size() + n - 1) / n;
  if (size > kSegmentMax) size = kSegmentMax;
  if (size == 0) size = 1;
  std::vector<std::vector<unsigned char>> out;
  for (size_t at = 0; at < area.size(); at += size)
    out.emplace_back(area.begin() + static_cast<long>(at),
                     area.begin() + static_cast<long>(std::min(area.size(), at + size)));
  if (out.empty()) out.emplace_back();
  return out;
}

}  // namespace

Q330SimConfig::Q330SimConfig() {
  for (int i = 0; i < 4; i++) {
    Q330SimLog &l = log[i];
    l.logical_port_number = static_cast<uint16_t>(i);
    l.mtu = 576;
    l.group_count = 8;
    l.maximum_resend_timeout = 50;
    l.group_timeout = 5;
    l.minimum_resend_timeout = 10;
    l.window_size = 64;
    l.data_sequence_number = static_cast<uint16_t>(100 + i);
    l.acknowledge_count = 5;
    l.acknowledge_timeout = 10;
    l.ethernet_throttle = 0;
  }
}

Q330SimConfig &Q330Sim::config() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!config_) config_ = std::make_shared<Q330SimConfig>();
  return *config_;
}

bool Q330Sim::answer_config(const Q330SimDatagram &in, int *reply_cmd,
                            std::vector<unsigned char> *payload) {
  // The data port's own sequence (taken before the configuration model's lock: the two
  // models' locks are never held together).
  const uint16_t data_sequence =
      in.command == RQFLGS ? data().get_counters().data_sequence_number : 0;
  Q330SimConfig &c = config();
  std::lock_guard<std::mutex> lock(c.mutex);
  std::vector<unsigned char> &out = *payload;
  const std::vector<unsigned char> &p = in.payload;
  if (in.command == c.cerr_command) {
    *reply_cmd = CERR;
    q330sim_put16(out, static_cast<unsigned>(c.cerr_code));
    return true;
  }
  switch (in.command) {
    case RQFLGS: {
      unsigned port = get16(p, 0);
      if (port > 3) return false;
      *reply_cmd = FLGS;
      // The LOG of the unit's data port tells where its data stream stands: the oldest
      // packet not yet acknowledged, or the next to be made.
      if (static_cast<int>(port) == options_.logical - 1) {
        Q330SimLog saved = c.log[port];
        c.log[port].data_sequence_number = data_sequence;
        out = flags_block(c, static_cast<int>(port));
        c.log[port] = saved;
      } else {
        out = flags_block(c, static_cast<int>(port));
      }
      return true;
    }
    case SLOG: {
      Q330SimLog log{};
      if (!q330sim_log_decode(p, &log) || log.logical_port_number > 3) return false;
      // The datalogger keeps its own sequence number.
      log.data_sequence_number = c.log[log.logical_port_number].data_sequence_number;
      c.log[log.logical_port_number] = log;
      c.slog_applied.push_back(log);
      *reply_cmd = CACK;
      return true;
    }
    case C2_RQEPCFG:
    case C2_RQEPD:
      if (!(c.flags & 0x40)) {
        *reply_cmd = CERR;
        q330sim_put16(out, 5);
        return true;
      }
      if (in.command == C2_RQEPCFG) {
        *reply_cmd = C2_EPCFG;
        for (int i = 0; i < 4; i++) q330sim_put32(out, 0);
        q330sim_put16(out, static_cast<unsigned>(c.epcfg.size()));
        q330sim_put16(out, 0);
        for (const auto &e : c.epcfg) put8(out, e.first), put8(out, e.second);
      } else {
        *reply_cmd = C2_EPD;
        q330sim_put32(out, 0);
        q330sim_put32(out, 0);
        q330sim_put16(out, static_cast<unsigned>(c.epd.size()));
        q330sim_put16(out, 0);
        for (const auto &e : c.epd)
          q330sim_put32(out, static_cast<uint32_t>(e.first) << 24 | e.second);
      }
      return true;
    case C2_SEPCFG: {
      if (p.size() < 20) return false;
      unsigned n = get16(p, 16);
      if (20 + 2 * n > p.size() || n > 128) return false;
      std::vector<std::pair<uint8_t, uint8_t>> cfg;
      for (unsigned i = 0; i < n; i++) cfg.emplace_back(p[20 + 2 * i], p[21 + 2 * i]);
      c.epcfg = cfg;
      c.sepcfg_applied.push_back(cfg);
      *reply_cmd = CACK;
      return true;
    }
    case RQPHY:
      // C1_PHY, 56 bytes: 0 serial_number_high 4, 4 serial_number_low 4, 30 base_port 2.
      *reply_cmd = PHY;
      out = Block(56)
                .u32(0, static_cast<uint32_t>(options_.serial >> 32))
                .u32(4, static_cast<uint32_t>(options_.serial))
                .u16(30, static_cast<unsigned>(base_))
                .bytes;
      return true;
    case RQMAN:
      // C1_MAN, 80 bytes: 66 model_number 2, 72 kmi_property_tag 4.
      *reply_cmd = MAN;
      out = Block(80).u16(66, 330).u32(72, c.property_tag).bytes;
      return true;
    case RQRT:
      // One route: 127.0.0.1, interface 3, data port `logical`, heard 7 s ago.
      *reply_cmd = RT;
      q330sim_put32(out, 0x7F000001u);
      q330sim_put16(out, 3);
      q330sim_put16(out, static_cast<unsigned>(options_.logical));
      q330sim_put32(out, 7);
      return true;
    case RQSPP:
      // C1_SPP, 20 bytes: 0 maximum_main_current 2.
      *reply_cmd = SPP;
      out = Block(20).u16(0, 400).bytes;
      return true;
    case RQGID:
      // GID, 288 bytes: id_1_string to id_9_string, counted strings of 32 bytes.
      *reply_cmd = GID;
      out = Block(288).pstr(0, 32, "q330sim").bytes;
      return true;
    case RQDCP:
      // C1_DCP, 48 bytes: channel_counts_with_grounded_input 4 x 6, then with reference.
      *reply_cmd = DCP;
      out = Block(48).u32(0, 11).bytes;
      return true;
    case RQDEV:
      // C1_DEV, 20 bytes: 0 port_number 2, 2 unit_id 2.
      *reply_cmd = DEV;
      out = Block(20).u16(2, 9).bytes;
      return true;
    case C2_RQPHY:
      // C2_PHY, 180 bytes: 0 physical_interface_number 2, 2 data_port_number 2.
      *reply_cmd = C2_PHY;
      out =
          Block(180).u16(0, get16(p, 0)).u16(2, static_cast<unsigned>(options_.logical - 1)).bytes;
      return true;
    case C2_RQGPS:
      // C2_GPS, 56 bytes: 0 timing_mode 2.
      *reply_cmd = C2_GPS;
      out = Block(56).u16(0, 1).bytes;
      return true;
    case C2_RQAMASS:
      // C2_AMASS, 32 bytes: boom 1 at 0 and boom 2 at 16, each tolerance_a, _b, _c,
      // maximum_tries, normal_interval, squeltch_interval, sensor_control_bitmap, duration.
      *reply_cmd = C2_AMASS;
      out = Block(32).u16(6, 3).bytes;
      return true;
    case RQMEM: {
      // starting_address 32, byte_count 16, memory_type 16, password 4 x 32.
      uint32_t address = get32(p, 0);
      unsigned type = get16(p, 6);
      const std::vector<unsigned char> empty;
      const auto &area = type >= 1 && type <= 4 ? c.tokens[type - 1] : empty;
      auto segs = segments_of(area, c.token_segments);
      // Segment k starts where the reader asks for it: after each earlier segment's
      // byte count (its data and the two segment words) and the 6 bytes it adds.
      uint32_t at = 0;
      size_t k = 0;
      while (k < segs.size() && at != address) at += static_cast<uint32_t>(segs[k++].size()) + 10;
      if (k == segs.size()) {
        *reply_cmd = CERR;
        q330sim_put16(out, 2);
        return true;
      }
      *reply_cmd = MEM;
      q330sim_put32(out, address);
      q330sim_put16(out, static_cast<unsigned>(segs[k].size() + 4));
      q330sim_put16(out, type);
      q330sim_put16(out, static_cast<unsigned>(k + 1));
      q330sim_put16(out, static_cast<unsigned>(segs.size()));
      append(out, segs[k]);
      return true;
    }
    default:
      return false;
  }
}
