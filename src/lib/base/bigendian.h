// bigendian.h - fields in network byte order (most significant byte first) inside byte
// buffers, for wire and file layouts; littleendian.h holds the other order. The caller
// checks the bounds; no alignment is needed (bytes are assembled one by one, never read
// through a wider pointer). Stateless.
#pragma once

#include <cstdint>
#include <cstring>

// The field whose first byte is at p.
inline uint16_t be_get16(const unsigned char *p) { return (uint16_t)(p[0] << 8 | p[1]); }
inline uint32_t be_get32(const unsigned char *p) {
  return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}
inline uint64_t be_get64(const unsigned char *p) {
  return (uint64_t)be_get32(p) << 32 | be_get32(p + 4);
}
// An IEEE double stored as the 64-bit field of its bits.
inline double be_getf64(const unsigned char *p) {
  uint64_t bits = be_get64(p);
  double v;
  memcpy(&v, &bits, sizeof v);
  return v;
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
inline void be_putf64(unsigned char *p, double v) {
  uint64_t bits;
  memcpy(&bits, &v, sizeof bits);
  be_put64(p, bits);
}

// Cursor forms: read or store the field at *cur and move *cur past it.
inline uint8_t be_take8(unsigned char **cur) { return *(*cur)++; }
inline uint16_t be_take16(unsigned char **cur) {
  uint16_t v = be_get16(*cur);
  *cur += 2;
  return v;
}
inline uint32_t be_take32(unsigned char **cur) {
  uint32_t v = be_get32(*cur);
  *cur += 4;
  return v;
}
inline void be_emit8(unsigned char **cur, unsigned v) { *(*cur)++ = (unsigned char)v; }
inline void be_emit16(unsigned char **cur, uint16_t v) {
  be_put16(*cur, v);
  *cur += 2;
}
inline void be_emit32(unsigned char **cur, uint32_t v) {
  be_put32(*cur, v);
  *cur += 4;
}
inline void be_emitf64(unsigned char **cur, double v) {
  be_putf64(*cur, v);
  *cur += 8;
}
