// pkt_samples.cpp - sample coding 2: first differences packed in blocks at the width each
// block needs.
//
// The first sample is written as it is (4 bytes, big-endian, as the other fields of the
// wire). Each further sample minus the one before, modulo 2^32, is zigzagged (0 -1 1 -2 ..
// to 0 1 2 3 ..) into a z value. The z values go in blocks of 16, the last block padded
// with zeros; each block is packed at a width w of 0 to 32 bits: z number i of the block
// in bits [i*w, i*w + w) of its 2*w bytes, counting bits from the lowest of the first
// byte (little-endian bit order). Four blocks (fewer at the end) make a group:
//
//   group:  0  1  base width b, 0 .. 32
//           1  1  width steps: block j of the group has width b + ((byte >> 2*j) & 3),
//                 at most 32; the bits of blocks the group lacks are 0
//           2  .. the blocks, 2*w bytes each
//
// No samples: no bytes.
// The coder picks b as low as the group's widest block allows, so a block costs at most
// 3 bits a sample more than its own width. The coded bytes must end with the last group.
// Decoding works a block at a time from a zero-padded copy, with no test per sample.
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "base/littleendian.h"
#include "packet/pkt_wire.h"

namespace pktwire {

namespace {

constexpr int kBlock = 16;
constexpr int kGroup = 4;         // blocks
constexpr size_t kPackSlack = 8;  // bytes the packer writes beyond the end

int width_of(uint32_t bits) { return bits == 0 ? 0 : 32 - std::countl_zero(bits); }

// Packs 16 values of W bits into out[0, 2W), writing whole 64-bit words (up to 6 bytes
// beyond, which the next block, or the caller's slack, takes). With W known, every
// value's place is known: the values are shifted into their words independently of
// each other, with no running bit count.
template <int W>
void pack_block_w(const uint32_t *z, uint8_t *out) {
  if constexpr (W > 0) {
    constexpr int kWords = (kBlock * W + 63) / 64;
    uint64_t words[kWords] = {0};
#pragma GCC unroll 16
    for (int i = 0; i < kBlock; i++) {
      const int bit = i * W;
      const uint64_t v = z[i];
      words[bit / 64] |= v << (bit % 64);
      if (bit % 64 + W > 64) words[bit / 64 + 1] |= v >> (64 - bit % 64);
    }
    for (int k = 0; k < kWords; k++) le_put64(out + 8 * k, words[k]);
  }
}

using PackBlock = void (*)(const uint32_t *, uint8_t *);
template <int... W>
constexpr std::array<PackBlock, sizeof...(W)> pack_table(std::integer_sequence<int, W...>) {
  return {pack_block_w<W>...};
}
// pack_block[w] packs a block of width w.
constexpr auto kPackBlock = pack_table(std::make_integer_sequence<int, 33>());

// Unpacks the 16 values of w bits of in[0, 2w), integrating them onto *prev. Reads
// 8 bytes at a time: in[0, 2w + 8) must be readable.
void unpack_block_fast(const uint8_t *in, int w, uint32_t *prev, int32_t *out) {
  const uint64_t mask = (uint64_t{1} << w) - 1;
  uint32_t s = *prev;
  for (int i = 0; i < kBlock; i++) {
    unsigned p = static_cast<unsigned>(i * w);
    uint32_t z = static_cast<uint32_t>((le_get64(in + (p >> 3)) >> (p & 7)) & mask);
    s += (z >> 1) ^ (0u - (z & 1));
    out[i] = static_cast<int32_t>(s);
  }
  *prev = s;
}

// The same where fewer bytes follow: from a padded copy.
void unpack_block(const uint8_t *in, int w, uint32_t *prev, int32_t *out) {
  uint8_t tmp[2 * 32 + 8] = {0};
  memcpy(tmp, in, static_cast<size_t>(2 * w));
  unpack_block_fast(tmp, w, prev, out);
}

}  // namespace

size_t blocks_bound(uint32_t nsamp) {
  if (nsamp == 0) return 0;
  size_t blocks = (static_cast<size_t>(nsamp - 1) + kBlock - 1) / kBlock;
  size_t groups = (blocks + kGroup - 1) / kGroup;
  return 4 + blocks * 2 * 32 + groups * 2 + kPackSlack;
}

uint64_t blocks_max_samples(size_t coded) {
  // The first sample, then groups of zero-width blocks: 64 samples in 2 bytes.
  if (coded < 4) return 0;
  return 1 + static_cast<uint64_t>(coded - 4) / 2 * (kBlock * kGroup);
}

uint8_t *put_blocks(uint8_t *p, const int32_t *samples, uint32_t nsamp) {
  if (nsamp == 0) return p;
  uint32_t prev = static_cast<uint32_t>(samples[0]);
  be_emit32(&p, prev);
  samples++;
  uint32_t n = nsamp - 1;
  uint32_t z[kGroup * kBlock];
  for (uint32_t start = 0; start < n; start += kBlock * kGroup) {
    uint32_t count =
        n - start < static_cast<uint32_t>(kBlock * kGroup) ? n - start : kBlock * kGroup;
    const int32_t *in = samples + start;
    uint32_t d = static_cast<uint32_t>(in[0]) - prev;
    z[0] = (d << 1) ^ (0u - (d >> 31));
    for (uint32_t i = 1; i < count; i++) {
      d = static_cast<uint32_t>(in[i]) - static_cast<uint32_t>(in[i - 1]);
      z[i] = (d << 1) ^ (0u - (d >> 31));
    }
    prev = static_cast<uint32_t>(in[count - 1]);
    int nblocks = static_cast<int>((count + kBlock - 1) / kBlock);
    for (uint32_t i = count; i < static_cast<uint32_t>(nblocks * kBlock); i++) z[i] = 0;
    int widths[kGroup] = {0};
    int widest = 0;
    for (int b = 0; b < nblocks; b++) {
      uint32_t any = 0;
      for (int i = 0; i < kBlock; i++) any |= z[b * kBlock + i];
      widths[b] = width_of(any);
      if (widths[b] > widest) widest = widths[b];
    }
    int base = widest > 3 ? widest - 3 : 0;
    unsigned steps = 0;
    for (int b = 0; b < nblocks; b++) {
      if (widths[b] < base) widths[b] = base;
      steps |= static_cast<unsigned>(widths[b] - base) << (2 * b);
    }
    *p++ = static_cast<uint8_t>(base);
    *p++ = static_cast<uint8_t>(steps);
    for (int b = 0; b < nblocks; b++) {
      kPackBlock[static_cast<size_t>(widths[b])](z + b * kBlock, p);
      p += 2 * widths[b];
    }
  }
  return p;
}

bool get_blocks(const uint8_t *p, size_t n, int32_t *out, uint32_t count) {
  if (count == 0) return n == 0;
  if (n < 4) return false;
  const uint8_t *end = p + n;
  uint32_t prev = be_get32(p);
  p += 4;
  *out++ = static_cast<int32_t>(prev);
  uint32_t nsamp = count - 1;
  int32_t last[kBlock];
  for (uint32_t start = 0; start < nsamp; start += kBlock * kGroup) {
    if (end - p < 2) return false;
    unsigned base = p[0], steps = p[1];
    p += 2;
    int nblocks = 0;
    for (int b = 0; b < kGroup && start + static_cast<uint32_t>(b * kBlock) < nsamp; b++) {
      nblocks++;
    }
    if (base > 32 || (steps >> (2 * nblocks)) != 0) return false;
    for (int b = 0; b < nblocks; b++) {
      int w = static_cast<int>(base + ((steps >> (2 * b)) & 3));
      if (w > 32 || end - p < 2 * w) return false;
      uint32_t at = start + static_cast<uint32_t>(b * kBlock);
      if (nsamp - at >= static_cast<uint32_t>(kBlock)) {
        if (end - p >= 2 * w + 8) {
          unpack_block_fast(p, w, &prev, out + at);
        } else {
          unpack_block(p, w, &prev, out + at);
        }
      } else {
        unpack_block(p, w, &prev, last);
        memcpy(out + at, last, (nsamp - at) * sizeof(int32_t));
      }
      p += 2 * w;
    }
  }
  return p == end;
}

}  // namespace pktwire
