// q330sim_config.cpp - the simulator's configuration area (see q330sim_config.h).
#include "q330sim_config.h"

#include <cstring>
#include <memory>

#include "q330sim.h"

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

// A field-list block through the codec's encoder, padded to its wire size.
template <typename T>
std::vector<unsigned char> encode(int command, const T &block) {
  std::vector<unsigned char> out(2048);
  unsigned char *cursor = out.data();
  q330_stuff_qpkt(command, &cursor, const_cast<T *>(&block));
  out.resize(static_cast<size_t>(cursor - out.data()));
  int wire = q330_pktdef_wire_size(command);
  if (wire > 0 && out.size() < static_cast<size_t>(wire)) out.resize(static_cast<size_t>(wire));
  return out;
}

void append(std::vector<unsigned char> &to, const std::vector<unsigned char> &from) {
  to.insert(to.end(), from.begin(), from.end());
}

std::vector<unsigned char> flags_block(const Q330SimConfig &c, int port) {
  Q330FIXPkt fix{};
  fix.total_number_of_reboots = c.total_number_of_reboots;
  fix.flags = c.flags;
  fix.kmi_property_tag = c.property_tag;
  fix.qapchp_2_serial_number = c.qapchp_2_serial_number;
  for (int i = 0; i < 4; i++) fix.logical_port_packet_memory_size[i] = c.packet_memory_size[i];
  // Stream s is bit_frequency[s] of the host structure; the encoder writes the wire order.
  for (int s = 0; s < 8; s++) fix.bit_frequency[s] = c.bit_frequency[s];
  std::vector<unsigned char> fixb = encode(FIX, fix);
  // GLOB, 160 bytes: sixteen 16-bit words, user_tag, the scale table, offsets, gains,
  // message bitmap.
  std::vector<unsigned char> glob;
  for (int i = 0; i < 16; i++) q330sim_put16(glob, 0);
  q330sim_put32(glob, c.glob_user_tag);
  while (glob.size() < 160) put8(glob, 0);
  Q330SCPkt sc{};
  sc.sensor_output_1_definition = c.sensor_output_1_definition;
  std::vector<unsigned char> scb = encode(SC, sc);
  std::vector<unsigned char> logb = encode(LOG, c.log[port]);
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

// C1_SLOG's payload as the LOG layout: ten 16-bit words, six channel masks, two 16-bit
// words, a 32-bit word, four 16-bit words and a 32-bit spare.
bool decode_log(const std::vector<unsigned char> &p, Q330LOGPkt *log) {
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
  log->acknowledge_count = static_cast<uint16_t>(get16(p, at));
  log->acknowledge_timeout = static_cast<uint16_t>(get16(p, at + 2));
  log->old_data_threshold_time = get32(p, at + 4);
  log->ethernet_throttle = static_cast<uint16_t>(get16(p, at + 8));
  log->alarm_percent = static_cast<uint16_t>(get16(p, at + 10));
  log->automatic_filters = static_cast<uint16_t>(get16(p, at + 12));
  log->manual_filters = static_cast<uint16_t>(get16(p, at + 14));
  log->spare1 = get32(p, at + 16);
  return true;
}

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
    Q330LOGPkt &l = log[i];
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
  const int data_sequence = data_log_sequence();
  Q330SimConfig &c = config();
  std::lock_guard<std::mutex> lock(c.mutex);
  if (data_sequence >= 0)
    c.log[options_.logical - 1].data_sequence_number = static_cast<uint16_t>(data_sequence);
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
      out = flags_block(c, static_cast<int>(port));
      return true;
    }
    case SLOG: {
      Q330LOGPkt log{};
      if (!decode_log(p, &log) || log.logical_port_number > 3) return false;
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
    case RQPHY: {
      Q330C1PHYPkt phy{};
      phy.serial_number_high = static_cast<uint32_t>(options_.serial >> 32);
      phy.serial_number_low = static_cast<uint32_t>(options_.serial);
      phy.base_port = static_cast<uint16_t>(base_);
      *reply_cmd = PHY;
      out = encode(PHY, phy);
      return true;
    }
    case RQMAN: {
      Q330MANPkt man{};
      man.kmi_property_tag = c.property_tag;
      man.model_number = 330;
      *reply_cmd = MAN;
      out = encode(MAN, man);
      return true;
    }
    case RQRT:
      // One route: 127.0.0.1, interface 3, data port `logical`, heard 7 s ago.
      *reply_cmd = RT;
      q330sim_put32(out, 0x7F000001u);
      q330sim_put16(out, 3);
      q330sim_put16(out, static_cast<unsigned>(options_.logical));
      q330sim_put32(out, 7);
      return true;
    case RQSPP: {
      Q330SPPPkt spp{};
      spp.maximum_main_current = 400;
      *reply_cmd = SPP;
      out = encode(SPP, spp);
      return true;
    }
    case RQGID: {
      Q330GIDPkt gid{};
      strcpy(gid.id_1_string, "q330sim");
      *reply_cmd = GID;
      out = encode(GID, gid);
      return true;
    }
    case RQDCP: {
      Q330DCPPkt dcp{};
      dcp.channel_counts_with_grounded_input[0] = 11;
      *reply_cmd = DCP;
      out = encode(DCP, dcp);
      return true;
    }
    case RQDEV: {
      Q330DEVPkt dev{};
      dev.unit_id = 9;
      *reply_cmd = DEV;
      out = encode(DEV, dev);
      return true;
    }
    case C2_RQPHY: {
      Q330C2PHYPkt phy{};
      phy.physical_interface_number = static_cast<uint16_t>(get16(p, 0));
      phy.data_port_number = static_cast<uint16_t>(options_.logical - 1);
      *reply_cmd = C2_PHY;
      out = encode(C2_PHY, phy);
      return true;
    }
    case C2_RQGPS: {
      Q330C2GPSPkt gps{};
      gps.timing_mode = 1;
      *reply_cmd = C2_GPS;
      out = encode(C2_GPS, gps);
      return true;
    }
    case C2_RQAMASS: {
      Q330C2AMASSPkt amass{};
      amass.maximum_tries_1 = 3;
      *reply_cmd = C2_AMASS;
      out = encode(C2_AMASS, amass);
      return true;
    }
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
