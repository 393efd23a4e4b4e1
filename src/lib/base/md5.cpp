// md5.cpp - MD5 following the description of RFC 1321: 512-bit blocks, four rounds of
// sixteen steps over the words A, B, C, D, little-endian words and length.
#include "base/md5.h"

#include <cstring>

#include "base/littleendian.h"

namespace {

// T[i] = floor(2^32 * |sin(i + 1)|), i = 0..63.
const uint32_t T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Rotation amounts of the four steps of each round.
const int S[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

inline uint32_t rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// Processes one 64-byte block; the words are read byte by byte, so the block may lie at
// any address.
void transform(uint32_t state[4], const unsigned char *block) {
  uint32_t X[16];
  for (int i = 0; i < 16; i++) X[i] = le_get32(block + 4 * i);

  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (int i = 0; i < 64; i++) {
    uint32_t f;
    int k;
    switch (i >> 4) {
      case 0:
        f = (b & c) | (~b & d);
        k = i;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        k = (5 * i + 1) & 15;
        break;
      case 2:
        f = b ^ c ^ d;
        k = (3 * i + 5) & 15;
        break;
      default:
        f = c ^ (b | ~d);
        k = (7 * i) & 15;
        break;
    }
    uint32_t next = b + rotl(a + f + X[k] + T[i], S[i >> 4][i & 3]);
    a = d;
    d = c;
    c = b;
    b = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void MD5Init(MD5_CTX *ctx) {
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xefcdab89;
  ctx->state[2] = 0x98badcfe;
  ctx->state[3] = 0x10325476;
  ctx->nbytes = 0;
  memset(ctx->buffer, 0, sizeof ctx->buffer);
}

void MD5Update(MD5_CTX *ctx, const void *input, size_t len) {
  if (len == 0) return;
  const unsigned char *in = static_cast<const unsigned char *>(input);
  size_t have = (size_t)(ctx->nbytes & 63);
  ctx->nbytes += len;

  if (have > 0) {
    size_t take = 64 - have;
    if (len < take) {
      memcpy(ctx->buffer + have, in, len);
      return;
    }
    memcpy(ctx->buffer + have, in, take);
    transform(ctx->state, ctx->buffer);
    in += take;
    len -= take;
  }
  for (; len >= 64; in += 64, len -= 64) transform(ctx->state, in);
  if (len > 0) memcpy(ctx->buffer, in, len);
}

void MD5Final(unsigned char digest[16], MD5_CTX *ctx) {
  // Padding: one 1 bit, zeros up to 56 bytes modulo 64, then the bit length as a
  // little-endian 64-bit number.
  unsigned char length[8];
  uint64_t bits = ctx->nbytes << 3;
  le_put32(length, (uint32_t)bits);
  le_put32(length + 4, (uint32_t)(bits >> 32));

  static const unsigned char pad[64] = {0x80};
  size_t have = (size_t)(ctx->nbytes & 63);
  size_t padlen = have < 56 ? 56 - have : 120 - have;
  MD5Update(ctx, pad, padlen);
  MD5Update(ctx, length, 8);

  for (int i = 0; i < 4; i++) le_put32(digest + 4 * i, ctx->state[i]);
  // The context held the text's last bytes: leave nothing of them behind.
  volatile unsigned char *p = reinterpret_cast<volatile unsigned char *>(ctx);
  for (size_t i = 0; i < sizeof *ctx; i++) p[i] = 0;
}
