// q330sim_status.cpp - the simulator's status area (see q330sim_status.h).
#include "q330sim_status.h"

#include <cmath>
#include <cstring>

#include "base/clock.h"
#include "q330sim.h"

namespace {

constexpr double EPOCH_2000 = 946684800.0;
enum { RQSTAT = 0x1F, STAT = 0xA9, RQLOG = 0x18, LOG = 0xA5, SLOG = 0x17, CACK = 0xA0 };

void zeros(std::vector<unsigned char> &v, size_t n) { v.insert(v.end(), n, 0); }
// A counted text of `width` bytes: count byte, characters, zero filler.
void pstr(std::vector<unsigned char> &v, const std::string &s, size_t width) {
  size_t n = s.size() < width - 1 ? s.size() : width - 1;
  v.push_back(static_cast<unsigned char>(n));
  v.insert(v.end(), s.begin(), s.begin() + static_cast<long>(n));
  zeros(v, width - 1 - n);
}

void stat_payload(Q330SimStatus &s, uint32_t request, std::vector<unsigned char> *out) {
  uint32_t blocks = request & 0xFFFFF & ~s.withhold;
  if (s.max_blocks > 0) {
    uint32_t kept = 0;
    int n = 0;
    for (int b = 0; b < 20 && n < s.max_blocks; b++)
      if (blocks & (1u << b)) {
        kept |= 1u << b;
        n++;
      }
    blocks = kept;
  }
  uint32_t bitmap = blocks | s.extra | s.flags;
  s.flags = 0;
  std::vector<unsigned char> &v = *out;
  q330sim_put32(v, bitmap);
  double t = clock_now() + s.clock_offset - EPOCH_2000;
  double whole = std::floor(t);
  uint32_t second = static_cast<uint32_t>(whole);
  if (bitmap & (1u << 31)) {
    q330sim_put32(v, s.umsg_ip);
    pstr(v, s.umsg, 80);
  }
  if (bitmap & 1u) {  // glob
    q330sim_put16(v, 0);
    q330sim_put16(v, s.clock_quality);
    q330sim_put16(v, 0);
    q330sim_put16(v, 0);
    q330sim_put32(v, s.seconds_offset);
    q330sim_put32(v, static_cast<uint32_t>((t - whole) * 1e6));
    zeros(v, 16);  // total_time .. total_number_of_resyncs
    zeros(v, 16);  // gps_status .. misc_inputs
    q330sim_put32(v, second - s.seconds_offset);
  }
  if (bitmap & 2u) {  // gps
    q330sim_put16(v, 0);
    q330sim_put16(v, 1);
    q330sim_put16(v, 7);
    q330sim_put16(v, 9);
    pstr(v, s.gps_time, 10);
    pstr(v, s.gps_date, 12);
    pstr(v, "3D", 6);
    pstr(v, "+100.0M", 12);
    pstr(v, "+3412.3456", 14);
    pstr(v, "-11623.4567", 14);
    q330sim_put32(v, second - s.pps_age);
    q330sim_put32(v, 0);
  }
  if (bitmap & 4u) zeros(v, 20);  // pwr
  if (bitmap & 8u) zeros(v, 32);  // boom
  if (bitmap & 16u) {             // thread: no entries
    q330sim_put16(v, 0);
    q330sim_put16(v, 12);
    zeros(v, 8);
  }
  if (bitmap & 32u) zeros(v, 28);  // pll
  if (bitmap & 64u) {              // gpss
    q330sim_put16(v, 0);
    q330sim_put16(v, 4);
  }
  if (bitmap & 128u) {  // arp
    q330sim_put16(v, 0);
    q330sim_put16(v, 4);
  }
  for (int p = 0; p < 4; p++)
    if (bitmap & (1u << (8 + p))) {
      q330sim_put32(v, s.sent[p]);
      q330sim_put32(v, s.resent[p]);
      q330sim_put32(v, s.fill[p]);
      q330sim_put32(v, 0);
      q330sim_put32(v, s.bytes_used[p]);
      q330sim_put32(v, 0);
      q330sim_put16(v, 3);
      q330sim_put16(v, static_cast<unsigned>(p));
      q330sim_put16(v, 0);
      q330sim_put16(v, 0);
    }
  for (int i = 0; i < 3; i++)
    if (bitmap & (1u << (12 + i))) zeros(v, 36);
  if (bitmap & (1u << 15)) zeros(v, 76);
  if (bitmap & (1u << 16)) zeros(v, 48);
  if (bitmap & (1u << 17)) zeros(v, 16);
  if (bitmap & (1u << 18)) {  // aux: header only
    q330sim_put16(v, 8);
    zeros(v, 6);
  }
  if (bitmap & (1u << 19)) {  // schan: no sub-blocks
    q330sim_put16(v, 4);
    q330sim_put16(v, 0);
  }
}

// The 52-byte LOG block: flags at 2, window_size at 16, acknowledge_timeout at 34,
// old_data_threshold_time at 36.
void log_payload(const Q330SimStatus &s, int logical, std::vector<unsigned char> *out) {
  std::vector<unsigned char> &v = *out;
  q330sim_put16(v, static_cast<unsigned>(logical - 1));
  q330sim_put16(v, s.log_flags);
  zeros(v, 12);
  q330sim_put16(v, s.window_size);
  zeros(v, 14);         // data_sequence_number, channel_freqs
  q330sim_put16(v, 0);  // acknowledge_count
  q330sim_put16(v, s.acknowledge_timeout);
  q330sim_put32(v, s.old_data_threshold_time);
  zeros(v, 12);
}

}  // namespace

std::shared_ptr<Q330SimStatus> Q330Sim::status_model() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!status_) status_ = std::make_shared<Q330SimStatus>();
  return status_;
}

bool Q330Sim::answer_status(const Q330SimDatagram &in, int *reply_cmd,
                            std::vector<unsigned char> *payload) {
  std::shared_ptr<Q330SimStatus> model;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    model = status_;
  }
  if (in.command == RQSTAT) {
    if (!model) model = status_model();
    if (in.payload.size() < 4) return false;
    std::lock_guard<std::mutex> lock(model->mutex);
    uint32_t request = q330sim_get32(in.payload.data());
    model->requests.push_back(request);
    *reply_cmd = STAT;
    stat_payload(*model, request, payload);
    return true;
  }
  // LOG only once the status model is in use (the configuration model answers first).
  if (!model) return false;
  std::lock_guard<std::mutex> lock(model->mutex);
  if (in.command == RQLOG) {
    *reply_cmd = LOG;
    log_payload(*model, options_.logical, payload);
    return true;
  }
  if (in.command == SLOG && in.payload.size() >= 40) {
    const unsigned char *p = in.payload.data();
    model->log_flags = static_cast<uint16_t>(p[2] << 8 | p[3]);
    model->old_data_threshold_time = q330sim_get32(p + 36);
    model->slogs.emplace_back(model->log_flags, model->old_data_threshold_time);
    *reply_cmd = CACK;
    return true;
  }
  return false;
}
