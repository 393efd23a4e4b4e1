// altussim_stream.cpp - the simulated datalogger's streams: STRCTRL, the live packets with
// their faults, and the resend buffer that answers STRSEND.
//
// Payloads on the wire (big-endian):
//   STRCTRL argument   1 byte: 0 stop, 1 start, 2 continue, 3 reset counters
//   STRSEND argument   u32 sequence, u8 stream, u8 type (1: one packet)
//   PKR_STRNAK         u8 command, u8 code, u32 sequence, u8 stream (the last two for code 3)
//   PKR_STRDATA/RQDATA strdata_payload (altussim_block.cpp)
#include <sys/socket.h>

#include <algorithm>
#include <mutex>

#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/clock.h"

namespace altussim {

namespace {

constexpr int kStrctrl = 32, kStrsend = 33;
constexpr int kAck = 128, kStrnak = 137, kStrdata = 138, kStrrqdata = 139;

void put32(Bytes &b, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back((unsigned char)(v >> s));
}

Bytes nak(int command, int code, uint32_t seq = 0, int stream = 0) {
  Bytes b{(unsigned char)command, (unsigned char)code};
  put32(b, seq);
  b.push_back((unsigned char)stream);
  return b;
}

// Offset of a field in the parameter header of the layout `ismw`, or -1.
int field_offset(int ismw, const char *name) {
  for (const auto &f : altussim_evt_fields(ismw))
    if (f.name == name) return f.offset;
  return -1;
}

}  // namespace

void Sim::set_streams(int nstreams, int samples, int rate, int timeout) {
  std::lock_guard<std::mutex> l(mutex_);
  str_n_ = nstreams;
  str_samples_ = samples;
  str_rate_ = rate > 0 ? rate : 1;
  str_timeout_ = timeout;
}

void Sim::set_stream_buffer(int packets) {
  std::lock_guard<std::mutex> l(mutex_);
  str_buffer_ = packets;
}

void Sim::set_stream_paced(bool on) {
  std::lock_guard<std::mutex> l(mutex_);
  str_paced_ = on;
  str_start_time_ = clock_now();
  str_start_seq_ = str_seq_;
}

void Sim::set_stream_faults(const StreamFaults &f) {
  std::lock_guard<std::mutex> l(mutex_);
  str_faults_ = f;
  str_fault_count_ = 0;
  str_rng_ = f.seed ? f.seed : 1;
}

std::vector<int> Sim::stream_controls() {
  std::lock_guard<std::mutex> l(mutex_);
  return str_controls_;
}

Sim::StreamCounts Sim::stream_counts() {
  std::lock_guard<std::mutex> l(mutex_);
  return str_counts_;
}

bool Sim::streaming() {
  std::lock_guard<std::mutex> l(mutex_);
  return str_on_;
}

uint32_t Sim::stream_seq() {
  std::lock_guard<std::mutex> l(mutex_);
  return str_seq_;
}

std::vector<int> Sim::stream_channels() {
  std::lock_guard<std::mutex> l(mutex_);
  std::vector<int> v;
  for (int s = 0; s < str_n_; s++) v.push_back(stream_channel(s));
  return v;
}

int Sim::stream_resets() {
  std::lock_guard<std::mutex> l(mutex_);
  return str_resets_;
}

uint32_t Sim::stream_reset_sample() {
  std::lock_guard<std::mutex> l(mutex_);
  return str_sample_base_;
}

int Sim::stream_channel(int stream) const {
  return stream >= 0 && (size_t)stream < str_chans_.size() ? str_chans_[(size_t)stream] : stream;
}

// The sequence starts at 0 again and the resend buffer is emptied; the sample clock runs
// on from the sample after the last round begun (streams that had not sent their packet
// of that round lose it, as the datalogger drops what it had not sent).
void Sim::stream_reset_counters() {
  const uint32_t rounds = str_seq_ + (str_next_stream_ > 0 ? 1u : 0u);
  str_sample_base_ += rounds * (uint32_t)str_samples_;
  str_seq_ = 0;
  str_next_stream_ = 0;
  str_start_seq_ = 0;
  str_start_time_ = clock_now();
  str_resend_.clear();
  str_resend_pos_ = 0;
  str_resets_++;
}

// The streams of a header SETPARAMS stored: one per set bit of its TxChanMap, and its
// SampleRate when given. A header too short to hold them changes nothing.
void Sim::stream_follow_params(const Bytes &h) {
  const int ismw = h.size() >= (size_t)altussim_evt_header_size(1) ? 1 : 0;
  static const int map_off[2] = {field_offset(0, "rw_stream.TxChanMap"),
                                 field_offset(1, "rw_stream.TxChanMap")};
  static const int rate_off[2] = {field_offset(0, "rw_stream.SampleRate"),
                                  field_offset(1, "rw_stream.SampleRate")};
  const int mo = map_off[ismw], ro = rate_off[ismw];
  if (mo < 0 || ro < 0 || h.size() < (size_t)mo + 4 || h.size() < (size_t)ro + 2) return;
  const uint32_t map = ((uint32_t)h[(size_t)mo] << 24) | ((uint32_t)h[(size_t)mo + 1] << 16) |
                       ((uint32_t)h[(size_t)mo + 2] << 8) | h[(size_t)mo + 3];
  const int rate = (h[(size_t)ro] << 8) | h[(size_t)ro + 1];
  str_chans_.clear();
  for (int c = 0; c < 32; c++)
    if (map & (1u << c)) str_chans_.push_back(c);
  str_n_ = (int)str_chans_.size();
  if (rate > 0) str_rate_ = rate;
  if (str_next_stream_ >= str_n_ && str_next_stream_ > 0) {  // the round under way is over
    str_next_stream_ = 0;
    str_seq_++;
  }
}

// The resend buffer's capacity (mutex_ held): the knob, else the header's BufferSize.
int Sim::stream_buffer_size() {
  if (str_buffer_ >= 0) return str_buffer_;
  const int ismw = params_.size() >= (size_t)altussim_evt_header_size(1) ? 1 : 0;
  static const int off[2] = {field_offset(0, "rw_stream.BufferSize"),
                             field_offset(1, "rw_stream.BufferSize")};
  int o = off[ismw];
  if (o < 0 || params_.size() < (size_t)o + 2) return 100;
  int n = (params_[(size_t)o] << 8) | params_[(size_t)o + 1];
  return n > 0 ? n : 100;
}

Bytes Sim::stream_packet(int stream, uint32_t seq) {
  const uint32_t first = str_sample_base_ + seq * (uint32_t)str_samples_;
  const uint32_t t = 1000000u + first / (uint32_t)str_rate_;
  const int msec = (int)((uint64_t)(first % (uint32_t)str_rate_) * 1000u / (uint32_t)str_rate_);
  const int channel = stream_channel(stream);
  std::vector<int32_t> v;
  v.reserve((size_t)str_samples_);
  for (int k = 0; k < str_samples_; k++) v.push_back(stream_sample(channel, first + (uint32_t)k));
  return strdata_payload(serial_, stream, seq, t, msec, v);
}

bool Sim::stream_command(int cmd, int seq, const Bytes &data) {
  if (cmd == kStrsend) {
    if (data.size() < 6) return true;
    uint32_t want =
        ((uint32_t)data[0] << 24) | ((uint32_t)data[1] << 16) | ((uint32_t)data[2] << 8) | data[3];
    int stream = data[4];
    Bytes out;
    {
      std::lock_guard<std::mutex> l(mutex_);
      str_counts_.strsend++;
      auto it = std::find_if(str_resend_.begin(), str_resend_.end(),
                             [&](const Held &h) { return h.seq == want && h.stream == stream; });
      if (it == str_resend_.end()) {
        str_counts_.nak3++;
        out = frame(packet(kStrnak, 0, nak(kStrsend, 3, want, stream)));
      } else {
        str_rng_ = str_rng_ * 1103515245u + 12345u;
        if (str_faults_.drop_resent > 0 &&
            ((str_rng_ >> 8) & 0xFFFFFF) / 16777216.0 < str_faults_.drop_resent) {
          str_counts_.resent_lost++;
          return true;
        }
        str_counts_.resent++;
        out = frame(packet(kStrrqdata, 0, it->payload));
      }
    }
    send_bytes(out);
    return true;
  }
  if (cmd != kStrctrl) return false;
  int arg = data.empty() ? -1 : data[0];
  int type = kAck;
  Bytes payload = {kStrctrl, 1};
  {
    std::lock_guard<std::mutex> l(mutex_);
    str_controls_.push_back(arg);
    if (arg == 2) {  // continue: no reply
      str_since_continue_ = 0;
      if (str_held_) {  // paced again from now, not in a burst that catches up
        str_start_time_ = clock_now();
        str_start_seq_ = str_seq_;
      }
      str_held_ = false;
      str_counts_.continues++;
      if (str_faults_.late_ack_every > 0 && str_counts_.continues % str_faults_.late_ack_every == 0)
        str_late_ack_ = true;
      return true;
    }
    if (arg == 1 && str_on_) {
      type = kStrnak;
      payload = {kStrctrl, 1};
    } else if (arg == 1) {
      str_on_ = true;
      str_held_ = false;
      str_since_continue_ = 0;
      str_start_time_ = clock_now();
      str_start_seq_ = str_seq_;
    } else if (arg == 0) {
      str_on_ = false;
      str_late_.clear();
    } else if (arg == 3) {
      stream_reset_counters();
    }
  }
  reply(cmd, seq, type, payload);
  return true;
}

int Sim::stream_poll_ms() {
  std::lock_guard<std::mutex> l(mutex_);
  if (!str_on_ || str_held_ || str_n_ <= 0 || mode_ != Mode::BLOCK) return 20;
  if (!str_paced_) return 0;
  double due =
      str_start_time_ + (double)(str_seq_ - str_start_seq_ + 1) * str_samples_ / (double)str_rate_;
  return clock_now() >= due ? 0 : 1;
}

void Sim::emit_streams() {
  std::vector<Bytes> out;
  double pause = 0;
  bool cut = false;
  {
    std::lock_guard<std::mutex> l(mutex_);
    if (!str_on_ || str_held_ || str_n_ <= 0 || mode_ != Mode::BLOCK) return;
    if (str_paced_) {
      double due = str_start_time_ +
                   (double)(str_seq_ - str_start_seq_ + 1) * str_samples_ / (double)str_rate_;
      if (clock_now() < due) return;
    }
    const StreamFaults &f = str_faults_;
    const long n = ++str_fault_count_;
    auto chance = [&](double rate) {
      if (rate <= 0) return false;
      str_rng_ = str_rng_ * 1103515245u + 12345u;
      return ((str_rng_ >> 8) & 0xFFFFFF) / 16777216.0 < rate;
    };
    if (f.line_drop_at == n) {
      cut = true;
      str_counts_.line_drops++;
    } else {
      if (f.reset_at == n) stream_reset_counters();
      if (f.nak0_at == n) out.push_back(frame(packet(kStrnak, 0, nak(kStrctrl, 0))));
      if (f.nak2_at == n) out.push_back(frame(packet(kStrnak, 0, nak(kStrctrl, 2))));
      if (f.alien_at == n)
        out.push_back(frame(packet(kStrdata, 0, stream_packet(str_n_, str_seq_))));
      if (f.delay_at == n) pause = f.delay;
      if (str_late_ack_) {  // a continue acknowledged after all, a packet later
        out.push_back(frame(packet(kAck, 0, {kStrctrl, 1})));
        str_late_ack_ = false;
      }

      const int stream = str_next_stream_;
      const uint32_t seq = str_seq_;
      Bytes payload = stream_packet(stream, seq);
      const size_t cap = (size_t)std::max(stream_buffer_size(), 1);
      if (str_resend_.size() > cap) {
        str_resend_.clear();
        str_resend_pos_ = 0;
      }
      if (str_resend_.size() < cap) {
        str_resend_.push_back(Held{seq, stream, payload});
      } else {
        str_resend_[str_resend_pos_] = Held{seq, stream, payload};
        str_resend_pos_ = (str_resend_pos_ + 1) % cap;
      }
      str_counts_.live++;
      if (chance(f.drop)) {
        str_counts_.dropped++;
      } else {
        if (chance(f.bad_crc)) {
          payload.back() ^= 0x5A;
          str_counts_.bad_crc++;
        }
        Bytes fr = frame(packet(kStrdata, 0, payload));
        if ((chance(f.reorder) || f.swap_at == n) && str_late_.empty()) {
          str_late_ = fr;
          str_counts_.reordered++;
        } else {
          out.push_back(fr);
          if (chance(f.duplicate)) {
            out.push_back(fr);
            str_counts_.duplicated++;
          }
          if (!str_late_.empty()) {
            out.push_back(str_late_);
            str_late_.clear();
          }
        }
      }
      if (++str_next_stream_ >= str_n_) {
        str_next_stream_ = 0;
        str_seq_++;
      }
      str_since_continue_++;
      if (str_timeout_ > 0 && str_since_continue_ >= str_timeout_) {
        str_held_ = true;
        str_counts_.held++;
      }
    }
  }
  if (cut) {
    if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    return;
  }
  if (pause > 0) clock_sleep(pause);
  for (const auto &b : out) send_bytes(b);
}

}  // namespace altussim
