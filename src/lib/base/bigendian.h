// bigendian.h - fields in network byte order (most significant byte first) inside byte
// buffers, for wire and file layouts. The caller checks the bounds; no alignment is
// needed (bytes are assembled one by one, never read through a wider pointer).
// Stateless.
#pragma once

#include <cstdint>

// The field whose first byte is at p.
inline uint16_t be_get16(const unsigned char *p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline uint32_t be_get32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}
inline uint64_t be_get64(const unsigned char *p) {
  return (uint64_t)be_get32(p) << 32 | be_get32(p + 4);
}

// Stores v as the field whose first byte is at p.
inline void be_put16(unsigned char *p, uint16_t v) {
  p[0] = (unsigned char)(v >> 8);
  p[1] = (unsigned char)v;
}
inline void be_put32(unsigned char *p, uint32_t v) {
  be_put16(p, (uint16_t)(v >> 16));
  be_put16(p + 2, (uint16_t)v);
}
inline void be_put64(unsigned char *p, uint64_t v) {
  be_put32(p, (uint32_t)(v >> 32));
  be_put32(p + 4, (uint32_t)v);
}
