// q330sim_md5.cpp - the simulator's own checksums: a bitwise QDP CRC-32 and an RFC 1321
// MD5, written apart from the client's so that a fault in either cannot cancel out.
#include <cstring>

#include "q330sim.h"

uint32_t q330sim_crc(const unsigned char *buf, size_t len) {
  uint32_t crc = 0;
  for (size_t i = 0; i < len; i++) {
    for (int bit = 7; bit >= 0; bit--) {
      uint32_t in = (buf[i] >> bit) & 1u;
      uint32_t top = (crc >> 31) & 1u;
      crc <<= 1;
      if (top ^ in) crc ^= 0x56070368u;
    }
  }
  return crc;
}

namespace {

uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

const int shifts[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                        5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                        4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                        6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

// K[i] = floor(2^32 * |sin(i + 1)|), the table of RFC 1321 section 3.4.
const uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void block(uint32_t h[4], const unsigned char *p) {
  uint32_t m[16];
  for (int i = 0; i < 16; i++)
    m[i] = static_cast<uint32_t>(p[4 * i]) | static_cast<uint32_t>(p[4 * i + 1]) << 8 |
           static_cast<uint32_t>(p[4 * i + 2]) << 16 | static_cast<uint32_t>(p[4 * i + 3]) << 24;
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
  for (int i = 0; i < 64; i++) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    uint32_t t = d;
    d = c;
    c = b;
    b = b + rotl(a + f + sines[i] + m[g], shifts[i]);
    a = t;
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
}

}  // namespace

void q330sim_md5(const void *data, size_t len, unsigned char digest[16]) {
  uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  const auto *p = static_cast<const unsigned char *>(data);
  size_t full = len / 64 * 64;
  for (size_t i = 0; i < full; i += 64) block(h, p + i);
  unsigned char tail[128] = {};
  size_t rest = len - full;
  memcpy(tail, p + full, rest);
  tail[rest] = 0x80;
  size_t tail_len = rest + 1 + 8 <= 64 ? 64 : 128;
  uint64_t bits = static_cast<uint64_t>(len) * 8;
  for (int i = 0; i < 8; i++) tail[tail_len - 8 + i] = static_cast<unsigned char>(bits >> (8 * i));
  for (size_t i = 0; i < tail_len; i += 64) block(h, tail + i);
  for (int i = 0; i < 16; i++) digest[i] = static_cast<unsigned char>(h[i / 4] >> (8 * (i % 4)));
}
