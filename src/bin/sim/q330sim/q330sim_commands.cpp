// q330sim_commands.cpp - the simulator's operator commands (control port) and its
// configuration-port responder (see q330sim_commands.h).
#include "q330sim_commands.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "q330sim.h"

namespace {

enum {
  RQSRV = 0x10,
  SRVRSP = 0x11,
  DSRV = 0x12,
  CTRL = 0x19,
  PULSE = 0x22,
  QCAL = 0x23,
  STOP = 0x24,
  UMSG = 0x30,
  SBPWR = 0x59,
  TERC = 0x69,
  TERR = 0x6A,
  CACK = 0xA0,
  SRVCH = 0xA1,
  CERR = 0xA2,
};

// Big-endian reader over a payload; reads past the end give 0.
struct Reader {
  const std::vector<unsigned char> &p;
  size_t at = 0;
  unsigned u8() { return at < p.size() ? p[at++] : (at++, 0u); }
  unsigned u16() {
    unsigned hi = u8();
    return hi << 8 | u8();
  }
  uint32_t u32() {
    uint32_t hi = u16();
    return hi << 16 | u16();
  }
};

// The data port's calibration-start blockette of an accepted QCAL.
std::vector<uint8_t> cal_start_blockette(const Q330SimQcal &q) {
  std::vector<uint8_t> b = {0xF8, 0};
  for (unsigned f : {q.waveform, q.amplitude, q.duration, q.calibration_bitmap,
                     q.monitor_channel_bitmap, q.frequency_divider, static_cast<uint16_t>(0)})
    q330sim_put16(b, f);
  for (size_t i = 0; i < 12; i++)
    b.push_back(i < q.coupling.size() ? static_cast<uint8_t>(q.coupling[i]) : 0);
  return b;
}

// The data port's calibration-abort blockette; `last` is the calibration started last.
std::vector<uint8_t> cal_abort_blockette(const Q330SimQcal *last) {
  std::vector<uint8_t> b = {0xF9, 0};
  q330sim_put16(b, last ? last->calibration_bitmap : 0);
  q330sim_put16(b, last ? last->monitor_channel_bitmap : 0);
  q330sim_put16(b, 0);
  return b;
}

// The challenge the configuration port hands out.
constexpr uint32_t kChallengeHigh = 0x0BADC0DE, kChallengeLow = 0x13572468;
constexpr uint16_t kRegistration = 11;

}  // namespace

std::vector<std::vector<uint8_t>> q330sim_take_cal_blockettes(Q330SimCommands &model) {
  std::lock_guard<std::mutex> lock(model.mutex);
  std::vector<std::vector<uint8_t>> out;
  out.swap(model.cal_blockettes);
  return out;
}

std::shared_ptr<Q330SimCommands> Q330Sim::commands() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!commands_) commands_ = std::make_shared<Q330SimCommands>();
  return commands_;
}

bool Q330Sim::answer_commands(const Q330SimDatagram &in, int *reply_cmd,
                              std::vector<unsigned char> *payload) {
  if (in.command != PULSE && in.command != QCAL && in.command != STOP && in.command != UMSG)
    return false;
  auto model = commands();
  std::lock_guard<std::mutex> lock(model->mutex);
  Reader r{in.payload};
  switch (in.command) {
    case PULSE: {
      uint16_t bitmap = static_cast<uint16_t>(r.u16());
      model->pulses.push_back({bitmap, static_cast<uint16_t>(r.u16())});
      break;
    }
    case QCAL: {
      Q330SimQcal q;
      q.starting_time = r.u32();
      for (uint16_t *f : {&q.waveform, &q.amplitude, &q.duration, &q.settling_time,
                          &q.calibration_bitmap, &q.trailer_time, &q.sensor_control_bitmap,
                          &q.monitor_channel_bitmap, &q.frequency_divider, &q.spare})
        *f = static_cast<uint16_t>(r.u16());
      for (int i = 0; i < 12; i++) q.coupling.push_back(static_cast<char>(r.u8()));
      model->qcals.push_back(q);
      model->cal_events.push_back(1);
      model->cal_blockettes.push_back(cal_start_blockette(q));
      break;
    }
    case STOP:
      model->stops++;
      model->cal_events.push_back(2);
      model->cal_blockettes.push_back(
          cal_abort_blockette(model->qcals.empty() ? nullptr : &model->qcals.back()));
      break;
    default: {  // UMSG: dummy, then a counted string of 80 bytes
      r.u32();
      unsigned n = r.u8();
      std::string text;
      for (unsigned i = 0; i < n && i < 79; i++) {
        char c = static_cast<char>(r.u8());
        if (c == '\0') break;
        text.push_back(c);
      }
      model->umsgs.push_back(text);
    }
  }
  *reply_cmd = CACK;
  payload->clear();
  return true;
}

void Q330Sim::config_port_received(const unsigned char *buf, size_t n, const void *from,
                                   unsigned fromlen) {
  if (n < 12) return;
  const unsigned length = static_cast<unsigned>(buf[6] << 8 | buf[7]);
  const uint32_t crc = static_cast<uint32_t>(buf[0]) << 24 | static_cast<uint32_t>(buf[1]) << 16 |
                       static_cast<uint32_t>(buf[2]) << 8 | buf[3];
  if (length + 12 != n || buf[5] != 2 || crc != q330sim_crc(buf + 4, n - 4)) return;
  const int command = buf[4];
  const uint16_t sequence = static_cast<uint16_t>(buf[8] << 8 | buf[9]);
  const std::vector<unsigned char> in(buf + 12, buf + n);
  auto model = commands();
  std::unique_lock<std::mutex> lock(model->mutex);
  model->config_commands.push_back(command);
  {
    std::lock_guard<std::mutex> lock2(mutex_);
    received_.push_back(Q330SimDatagram{3, command, sequence, 0, in, true});
    arrived_.notify_all();
  }
  if (model->silent) return;
  Reader r{in};
  int reply = CERR;
  std::vector<unsigned char> payload;
  bool late = false;
  if (command == RQSRV) {
    model->rqsrv_sequence = sequence;
    reply = SRVCH;
    q330sim_put32(payload, kChallengeHigh);
    q330sim_put32(payload, kChallengeLow);
    q330sim_put32(payload, 0x7F000001u);
    q330sim_put16(payload, static_cast<unsigned>(config_port()));
    q330sim_put16(payload, kRegistration);
  } else if (model->cerr >= 0) {
    q330sim_put16(payload, static_cast<unsigned>(model->cerr));
  } else if (model->wrong_command >= 0) {
    reply = model->wrong_command;
  } else if (command == SRVRSP) {
    uint32_t sn_high = r.u32(), sn_low = r.u32();
    const uint64_t code = model->auth_code;
    char text[96];
    snprintf(text, sizeof text, "%08x%08x%08x%04x%04x%08x%08x%08x%08x%08x%08x", kChallengeHigh,
             kChallengeLow, 0x7F000001u, static_cast<unsigned>(config_port()),
             static_cast<unsigned>(kRegistration), static_cast<uint32_t>(code >> 32),
             static_cast<uint32_t>(code), sn_high, sn_low, 0u, 0u);
    q330sim_md5(text, 80, model->last_digest);
    bool ok = in.size() >= 48 && memcmp(in.data() + 32, model->last_digest, 16) == 0 &&
              (static_cast<uint64_t>(sn_high) << 32 | sn_low) == options_.serial;
    if (ok) {
      model->registered = true;
      model->srvrsp_good++;
      reply = CACK;
    } else {
      model->srvrsp_bad++;
      q330sim_put16(payload, 3);
    }
    late = model->late_srvch;
  } else if (command == DSRV) {
    model->registered = false;
    reply = CACK;
  } else if (!model->registered) {
    q330sim_put16(payload, 2);  // not registered
  } else if (command == CTRL) {
    model->ctrl_flags.push_back(static_cast<uint16_t>(r.u16()));
    reply = CACK;
  } else if (command == SBPWR) {
    uint16_t which = static_cast<uint16_t>(r.u16());
    model->sbpwrs.push_back({which, static_cast<uint16_t>(r.u16())});
    reply = CACK;
  } else if (command == TERC) {
    unsigned sub = r.u16();
    Q330SimAnnc &a = model->annc;
    if (sub == 2 && in.size() == 104) {
      r.u16();
      a.active = static_cast<uint16_t>(r.u16());
      a.unlock_flags = static_cast<uint16_t>(r.u16());
      for (auto &e : a.entries) {
        e.dp_ip = r.u32();
        e.router_ip = r.u32();
        e.timeout = static_cast<uint16_t>(r.u16());
        e.resume = static_cast<uint16_t>(r.u16());
        e.flags = static_cast<uint16_t>(r.u16());
        e.port = static_cast<uint16_t>(r.u16());
      }
      reply = CACK;
    } else if (sub == 1) {
      reply = TERR;
      q330sim_put16(payload, 1);
      q330sim_put16(payload, a.subresponse);
      q330sim_put16(payload, a.active);
      q330sim_put16(payload, a.unlock_flags);
      for (const auto &e : a.entries) {
        q330sim_put32(payload, e.dp_ip);
        q330sim_put32(payload, e.router_ip);
        q330sim_put16(payload, e.timeout);
        q330sim_put16(payload, e.resume);
        q330sim_put16(payload, e.flags);
        q330sim_put16(payload, e.port);
      }
      if (model->short_annc) payload.resize(100);
    } else {
      q330sim_put16(payload, 4);  // parameter error
    }
  } else {
    q330sim_put16(payload, 0);
  }
  const bool foreign = model->foreign;
  const uint16_t rqsrv_sequence = model->rqsrv_sequence;
  lock.unlock();
  auto to = static_cast<const sockaddr *>(from);
  if (foreign && fd_other_port_ >= 0) {
    std::vector<unsigned char> cerr;
    q330sim_put16(cerr, 0);
    std::vector<unsigned char> out = datagram(CERR, sequence, cerr);
    sendto(fd_other_port_, out.data(), out.size(), 0, to, fromlen);
  }
  if (late) {
    std::vector<unsigned char> ch;
    q330sim_put32(ch, kChallengeHigh);
    q330sim_put32(ch, kChallengeLow);
    q330sim_put32(ch, 0x7F000001u);
    q330sim_put16(ch, static_cast<unsigned>(config_port()));
    q330sim_put16(ch, kRegistration);
    std::vector<unsigned char> out = datagram(SRVCH, rqsrv_sequence, ch);
    sendto(fd_config_, out.data(), out.size(), 0, to, fromlen);
  }
  std::vector<unsigned char> out = datagram(reply, sequence, payload);
  sendto(fd_config_, out.data(), out.size(), 0, to, fromlen);
}
