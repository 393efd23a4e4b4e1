// pkt_wire.h - the byte-level pieces of the packet wire format shared by the encoder
// (pkt_stuff.cpp), the decoder (pkt_unstuff.cpp) and the packet objects (pkt.cpp): a
// bounded reader of the big-endian fields (written with base/bigendian.h's cursor forms),
// and the rules for channel texts. Not for callers of the library. The layout itself is described
// in pkt.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/bigendian.h"
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
    *v = be_get16(p_);
    p_ += 2;
    return true;
  }
  bool u32(uint32_t *v) {
    if (left() < 4) return false;
    *v = be_get32(p_);
    p_ += 4;
    return true;
  }
  bool f64(double *d) {
    if (left() < 8) return false;
    *d = be_getf64(p_);
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
