// q330sim_data.cpp - the simulator's data port (see q330sim_data.h).
#include "q330sim_data.h"

#include <sys/socket.h>

#include <cstring>

#include "base/clock.h"
#include "q330sim.h"
#include "q330sim_commands.h"
#include "q330sim_config.h"
#include "q330sim_frames.h"

const Q330SimDataChannel q330sim_data_channels[Q330SIM_DATA_CHANNELS] = {
    {0, 1, 40, false},
    {1, 2, 125, true},
    {3, 2, 125, true},
};
const uint8_t q330sim_data_rate_codes[8] = {1, 40, 125, 0, 0, 0, 0, 0};

namespace {

enum { DT_DATA = 0x00, DT_FILL = 0x06, DT_DACK = 0x0A, DT_OPEN = 0x0B };
constexpr int PAYLOAD_MAX = 720;

uint64_t mix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::vector<uint8_t> frame(int command, uint16_t seq, const std::vector<uint8_t> &payload,
                           bool badcrc) {
  std::vector<uint8_t> d(4, 0);
  d.push_back(static_cast<uint8_t>(command));
  d.push_back(2);
  q330sim_put16(d, static_cast<unsigned>(payload.size()));
  q330sim_put16(d, seq);
  q330sim_put16(d, 0);
  d.insert(d.end(), payload.begin(), payload.end());
  uint32_t crc = q330sim_crc(d.data() + 4, d.size() - 4);
  if (badcrc) crc ^= 0x00010000u;
  for (int i = 0; i < 4; i++) d[static_cast<size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
  return d;
}

int fold(int d) {
  d &= 0xFFFF;
  return d >= 32768 ? d - 65536 : d;
}

bool chance(std::mt19937 &rng, double p) {
  return p > 0 && std::uniform_real_distribution<double>(0, 1)(rng) < p;
}

}  // namespace

int32_t q330sim_sample(uint32_t seed, int channel, int64_t index) {
  uint64_t h = mix(mix(mix(seed) ^ static_cast<uint64_t>(channel)) ^ static_cast<uint64_t>(index));
  for (const Q330SimDataChannel &c : q330sim_data_channels)
    if (c.channel == channel && c.wide) return static_cast<int32_t>(h % (1u << 28)) - (1 << 27);
  return static_cast<int32_t>(h % 2001) - 1000;
}

int q330sim_data_rate(uint8_t code) {
  static const int high[] = {0, 0, 0, 0, 200, 250, 300, 400, 500, 800, 1000};
  if (code >= 1 && code <= 125) return code;
  if (code >= 0x84 && code <= 0x8A) return high[code & 0x0F];
  return 0;
}

std::vector<Q330SimDataChannel> q330sim_data_plan(const uint16_t channel_freqs[6],
                                                  const uint8_t rate_codes[8]) {
  std::vector<Q330SimDataChannel> plan;
  for (int p = 0; p < 6; p++)
    for (int s = 0; s < 8; s++)
      if ((channel_freqs[p] >> s) & 1)
        plan.push_back({p, s, q330sim_data_rate(rate_codes[s]), false});
  return plan;
}

std::vector<std::vector<uint8_t>> q330sim_data_record(
    uint32_t seed, uint32_t record, int split_size, const std::vector<std::vector<uint8_t>> &extra,
    const std::vector<Q330SimDataChannel> *plan) {
  std::vector<std::vector<uint8_t>> out;
  std::vector<uint8_t> cur;
  auto start = [&] {
    if (!cur.empty()) out.push_back(cur);
    cur.clear();
    q330sim_put32(cur, record);
  };
  auto add = [&](const std::vector<uint8_t> &blk) {
    if (cur.size() + blk.size() > PAYLOAD_MAX) start();
    cur.insert(cur.end(), blk.begin(), blk.end());
  };
  auto single = [&](int physical, int generator) {
    std::vector<uint8_t> b = {static_cast<uint8_t>(0xE0 + physical), 1};
    q330sim_put16(b, 0);
    q330sim_put32(b, static_cast<uint32_t>(q330sim_sample(seed, generator, record)));
    add(b);
  };
  // One second of `rate` samples of generator channel `generator` as physical channel
  // `physical` on `stream`.
  auto compressed = [&](int physical, int stream, int rate, int generator) {
    int64_t first = static_cast<int64_t>(record) * rate;
    std::vector<int> s;
    for (int i = 0; i < rate; i++) s.push_back(q330sim_sample(seed, generator, first + i));
    int previous = q330sim_sample(seed, generator, first - 1);
    std::vector<uint8_t> blk;
    if (q330sim_frames_blk6(physical, stream, s.data(), rate, previous, {}, &blk) == 0 &&
        cur.size() + blk.size() <= PAYLOAD_MAX) {
      add(blk);
      return;
    }
    std::vector<std::vector<uint8_t>> segs;
    if (q330sim_frames_blk7(physical, stream, s.data(), rate, previous, {}, split_size, &segs) != 0)
      return;
    for (const auto &seg : segs) add(seg);
  };
  start();
  std::vector<uint8_t> b = {0x98, 0xC0};
  q330sim_put16(b, 0);
  q330sim_put32(b, 0);
  q330sim_put32(b, 0);
  add(b);
  b = {0x80, 0x10, static_cast<uint8_t>(q330sim_sample(seed, 7, record) & 0xFF), 0};
  add(b);
  if (plan && !plan->empty()) {
    for (const Q330SimDataChannel &c : *plan) {
      const int generator = c.channel + 8 * c.stream;
      if (c.rate == 1)
        single(c.channel, generator);
      else if (c.rate > 1)
        compressed(c.channel, c.stream, c.rate, generator);
    }
  } else {
    single(2, 2);
    for (const Q330SimDataChannel &c : q330sim_data_channels)
      compressed(c.channel, c.stream, c.rate, c.channel);
  }
  for (const auto &x : extra) add(x);
  out.push_back(cur);
  return out;
}

std::vector<uint8_t> q330sim_base96(const std::vector<uint8_t> &datagram, uint8_t key) {
  static const char hex[] = "0123456789ABCDEF";
  std::vector<uint8_t> text = {static_cast<uint8_t>(hex[key >> 4]),
                               static_cast<uint8_t>(hex[key & 15])};
  for (size_t i = 0; i < datagram.size(); i += 3) {
    uint8_t b[3];
    for (size_t j = 0; j < 3; j++)
      b[j] = static_cast<uint8_t>((i + j < datagram.size() ? datagram[i + j] : 0) ^ key);
    int d3 = (b[0] >> 6) << 4 | (b[1] >> 6) << 2 | b[2] >> 6;
    for (int d : {b[0] & 0x3F, b[1] & 0x3F, b[2] & 0x3F, d3})
      text.push_back(static_cast<uint8_t>(d + 32));
  }
  return text;
}

Q330SimDataKnobs Q330SimData::get_knobs() {
  std::lock_guard<std::mutex> lock(mutex);
  return knobs;
}

void Q330SimData::set_knobs(const Q330SimDataKnobs &k) {
  std::lock_guard<std::mutex> lock(mutex);
  knobs = k;
  if (!started) {
    next_seq = k.data_sequence_number;
    next_record = k.first_record;
    rng.seed(k.seed);
  }
}

Q330SimDataCounters Q330SimData::get_counters() {
  std::lock_guard<std::mutex> lock(mutex);
  Q330SimDataCounters c = counters;
  c.unacked = static_cast<int>(buffer.size());
  c.data_sequence_number = buffer.empty() ? next_seq : buffer.front().seq;
  return c;
}

Q330SimData &Q330Sim::data() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!data_) {
    data_ = std::make_shared<Q330SimData>();
    data_->set_knobs(Q330SimDataKnobs{});
  }
  return *data_;
}

namespace {

// Applies the outgoing faults and sends; a reordered datagram waits for the next.
void send_out(Q330SimData &m, int fd, std::vector<uint8_t> d) {
  const Q330SimDataFaults &f = m.knobs.send;
  m.last_send = clock_monotonic();
  if (chance(m.rng, f.loss)) return;
  if (chance(m.rng, f.badcrc)) d[3] ^= 0x5A;
  if (m.knobs.base96) d = q330sim_base96(d, static_cast<uint8_t>(m.rng() & 0xFF));
  if (chance(m.rng, f.reorder)) {
    m.held.push_back(d);
    return;
  }
  const auto *to = reinterpret_cast<const sockaddr *>(&m.peer);
  sendto(fd, d.data(), d.size(), 0, to, sizeof m.peer);
  if (chance(m.rng, f.duplicate)) sendto(fd, d.data(), d.size(), 0, to, sizeof m.peer);
  for (const auto &h : m.held) sendto(fd, h.data(), h.size(), 0, to, sizeof m.peer);
  m.held.clear();
}

void transmit(Q330SimData &m, int fd, Q330SimData::Packet &p) {
  std::vector<uint8_t> payload = p.payload;
  if (!p.ever_sent)
    for (const auto &o : m.knobs.odd_payloads)
      if (o.first == p.ordinal) payload.resize(static_cast<size_t>(o.second), 0);
  if (p.ever_sent) {
    m.counters.total_packets_resent++;
    if (p.sent_after_dack) m.counters.stream_resent++;
  } else {
    m.counters.packets_sent++;
    p.sent_after_dack = m.dacked;
  }
  p.ever_sent = p.in_flight = true;
  p.sent_at = clock_monotonic();
  send_out(m, fd, frame(p.command, p.seq, payload, false));
}

void push_packet(Q330SimData &m, int command, std::vector<uint8_t> payload) {
  Q330SimData::Packet p{m.next_seq++, command, ++m.ordinals, std::move(payload)};
  m.buffer.push_back(std::move(p));
}

void acknowledge(Q330SimData &m, const Q330SimDatagram &in) {
  if (in.payload.size() < 20) return;
  m.counters.dacks++;
  m.dacked = true;
  uint32_t bits[4];
  for (int i = 0; i < 4; i++) bits[i] = q330sim_get32(in.payload.data() + 4 + 4 * i);
  for (auto it = m.buffer.begin(); it != m.buffer.end();) {
    int k = fold(it->seq - in.ack);
    bool acked = it->ever_sent && (k <= 0 || (k < 128 && ((bits[k / 32] >> (k % 32)) & 1u)));
    it = acked ? m.buffer.erase(it) : it + 1;
  }
}

void on_datagram(Q330SimData &m, const Q330SimDatagram &in, const void *from, unsigned fromlen) {
  if (in.command == DT_OPEN) {
    m.counters.opens++;
    if (fromlen >= sizeof m.peer) memcpy(&m.peer, from, sizeof m.peer);
    m.open = true;
    // The stream starts again at the oldest packet not yet acknowledged.
    for (auto &p : m.buffer) p.in_flight = false;
  } else if (in.command == DT_DACK && m.open) {
    acknowledge(m, in);
  }
}

}  // namespace

void Q330Sim::data_received(int, const Q330SimDatagram &in, const void *from, unsigned fromlen) {
  Q330SimData &m = data();
  std::lock_guard<std::mutex> lock(m.mutex);
  const Q330SimDataFaults &f = m.knobs.recv;
  if (!in.crc_ok || chance(m.rng, f.loss) || chance(m.rng, f.badcrc)) return;
  if (chance(m.rng, f.reorder)) {
    m.held_in.push_back(in);
    return;
  }
  on_datagram(m, in, from, fromlen);
  if (chance(m.rng, f.duplicate)) on_datagram(m, in, from, fromlen);
  for (const auto &h : m.held_in) on_datagram(m, h, from, fromlen);
  m.held_in.clear();
}

void Q330Sim::tick() {
  // The operator commands' calibration blockettes, taken before the data model's lock
  // (the two models' locks are never held together).
  std::vector<std::vector<uint8_t>> cal = q330sim_take_cal_blockettes(*commands());
  // The channels the data port's LOG enables, at the FIX rates (the configuration model's
  // lock is let go before the data model's is taken).
  std::vector<Q330SimDataChannel> plan;
  {
    Q330SimConfig &c = config();
    std::lock_guard<std::mutex> lock(c.mutex);
    const int port = options_.logical >= 1 && options_.logical <= 4 ? options_.logical - 1 : 0;
    plan = q330sim_data_plan(c.log[port].channel_freqs, c.bit_frequency);
  }
  Q330SimData &m = data();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (auto &c : cal) m.cal.push_back(std::move(c));
  if (!m.open || m.knobs.stall) return;
  m.started = true;
  const Q330SimDataKnobs &k = m.knobs;
  double now = clock_monotonic();
  bool unsent = false;
  for (const auto &p : m.buffer) unsent |= !p.in_flight;
  bool more = k.records == 0 || m.made < k.records;
  bool due = k.record_interval > 0 ? now >= m.next_record_time : !unsent;
  if (more && due && static_cast<int>(m.buffer.size()) < k.memory_packets) {
    for (auto &payload : q330sim_data_record(k.seed, m.next_record, k.split_size, m.cal, &plan))
      push_packet(m, DT_DATA, std::move(payload));
    m.cal.clear();
    m.next_record++;
    m.made++;
    m.counters.records++;
    for (int g : k.garbage_after)
      if (g == m.made) {
        std::vector<uint8_t> bad;
        q330sim_put32(bad, m.next_record - 1);
        for (uint8_t b : {0xE8, 0x01, 0x03, 0xFF, 0, 0, 0, 0}) bad.push_back(b);
        push_packet(m, DT_DATA, bad);
      }
    m.next_record_time = (m.next_record_time == 0 ? now : m.next_record_time) + k.record_interval;
  } else if (!unsent && k.fill_interval > 0 && now - m.last_send >= k.fill_interval &&
             !(more && due)) {
    std::vector<uint8_t> fill;
    q330sim_put32(fill, m.next_record);
    push_packet(m, DT_FILL, fill);
    m.counters.fills++;
  }
  // The window slides with the oldest packet not acknowledged: nothing at or beyond
  // window_size packets from it goes out, however many inside it are acknowledged
  // already, since a client's window holds exactly that span. Inside it, a packet goes
  // out once, and again each time its resend timer runs out unacknowledged.
  if (!m.buffer.empty()) {
    const uint16_t oldest = m.buffer.front().seq;
    for (auto &p : m.buffer) {
      if (static_cast<uint16_t>(p.seq - oldest) >= k.window_size) break;
      if (!p.in_flight || now - p.sent_at >= k.resend_timeout) transmit(m, fd_data_, p);
    }
  }
  if (!m.held.empty()) {
    const auto *to = reinterpret_cast<const sockaddr *>(&m.peer);
    for (const auto &h : m.held) sendto(fd_data_, h.data(), h.size(), 0, to, sizeof m.peer);
    m.held.clear();
  }
}
