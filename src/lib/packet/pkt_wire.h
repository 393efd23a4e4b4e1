// pkt_wire.h - the byte-level pieces of the packet wire format shared by the encoder
// (pkt_stuff.cpp), the decoder (pkt_unstuff.cpp) and the packet objects (pkt.cpp): field
// writers and a bounded reader, all big-endian, and the rules for channel texts. Not for
// callers of the library. The layout itself is described in pkt.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "packet/pkt.h"

namespace pktwire {

constexpr uint8_t kMagic0 = 0x56;      // 'V'
constexpr uint8_t kMagic1 = 0x50;      // 'P'
constexpr uint8_t kVersion = 1;        // packets without waveform samples
constexpr uint8_t kVersionBlocks = 2;  // waveform packets, whose channels may use coding 2
constexpr size_t kHeaderSize = 8;

constexpr uint8_t kLayoutGenc = 1;
constexpr uint8_t kLayoutMgenc = 2;
constexpr uint8_t kCodingDiffVarint = 1;
constexpr uint8_t kCodingDiffBlocks = 2;
constexpr int kVarintMaxBytes = 5;  // a zigzagged difference of two int32 needs 33 bits

// Sample coding 2 (pkt_samples.cpp). The most bytes that put_blocks writes for n
// samples (a few more than it returns as coded).
size_t blocks_bound(uint32_t nsamp);
// The most samples that `coded` bytes can hold.
uint64_t blocks_max_samples(size_t coded);
// Writes the n samples at p and returns the end of the coded bytes.
uint8_t *put_blocks(uint8_t *p, const int32_t *samples, uint32_t n);
// Decodes exactly `nsamp` samples from exactly the `n` coded bytes.
bool get_blocks(const uint8_t *p, size_t n, int32_t *out, uint32_t nsamp);

// Bytes of one channel before its coded samples: five text length bytes, four doubles,
// nsamp, coding and coded length.
constexpr size_t kChannelFixed = 5 + 4 * 8 + 4 + 1 + 4;

// Log packets, as the programs build them.
constexpr size_t kLogHeaderSize = 8;
constexpr uint16_t kLogCode = 0x716C;

inline uint8_t *put_u8(uint8_t *p, unsigned v) {
  *p = static_cast<uint8_t>(v);
  return p + 1;
}
inline uint8_t *put_u16(uint8_t *p, unsigned v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
  return p + 2;
}
inline uint8_t *put_u32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
  return p + 4;
}
inline uint8_t *put_f64(uint8_t *p, double d) {
  uint64_t bits;
  memcpy(&bits, &d, sizeof bits);
  p = put_u32(p, static_cast<uint32_t>(bits >> 32));
  return put_u32(p, static_cast<uint32_t>(bits));
}
inline uint16_t get_u16(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t get_u32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// Reads fields from [p, end) and never past it: each getter returns false, taking
// nothing, when the field does not fit in what is left.
class Reader {
 public:
  Reader(const uint8_t *p, size_t n) : p_(p), end_(p + n) {}
  size_t left() const { return static_cast<size_t>(end_ - p_); }
  const uint8_t *pos() const { return p_; }
  bool u8(unsigned *v) {
    if (left() < 1) return false;
    *v = *p_++;
    return true;
  }
  bool u16(unsigned *v) {
    if (left() < 2) return false;
    *v = get_u16(p_);
    p_ += 2;
    return true;
  }
  bool u32(uint32_t *v) {
    if (left() < 4) return false;
    *v = get_u32(p_);
    p_ += 4;
    return true;
  }
  bool f64(double *d) {
    if (left() < 8) return false;
    uint64_t bits = static_cast<uint64_t>(get_u32(p_)) << 32 | get_u32(p_ + 4);
    memcpy(d, &bits, sizeof *d);
    p_ += 8;
    return true;
  }
  bool bytes(size_t n, const uint8_t **out) {
    if (left() < n) return false;
    *out = p_;
    p_ += n;
    return true;
  }

 private:
  const uint8_t *p_;
  const uint8_t *end_;
};

// A character that a channel code may hold: printable, not blank, and neither '_' nor
// '/', which separate the parts of a source name.
inline bool code_char(unsigned char c) { return c > 0x20 && c < 0x7f && c != '_' && c != '/'; }

// A character of a db table name: letters, digits, '_', '.' and '-'.
inline bool table_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == '-';
}

}  // namespace pktwire
