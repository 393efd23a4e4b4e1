// littleendian.h - fields stored least significant byte first inside byte buffers: the
// ring file's header and index, the database index files, the digest's words and the
// sample packer's 64-bit words. The caller checks the bounds; no alignment is needed (the
// bytes are copied, never read through a wider pointer). Stateless.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace le_detail {
template <typename T>
inline T from_le(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (sizeof(T) == 2) return (T)__builtin_bswap16(v);
    if constexpr (sizeof(T) == 4) return (T)__builtin_bswap32(v);
    if constexpr (sizeof(T) == 8) return (T)__builtin_bswap64(v);
  }
  return v;
}
template <typename T>
inline T load(const unsigned char *p) {
  T v;
  memcpy(&v, p, sizeof v);
  return from_le(v);
}
template <typename T>
inline void store(unsigned char *p, T v) {
  v = from_le(v);
  memcpy(p, &v, sizeof v);
}
}  // namespace le_detail

// The field whose first byte is at p.
inline uint16_t le_get16(const unsigned char *p) { return le_detail::load<uint16_t>(p); }
inline uint32_t le_get32(const unsigned char *p) { return le_detail::load<uint32_t>(p); }
inline uint64_t le_get64(const unsigned char *p) { return le_detail::load<uint64_t>(p); }
// An IEEE double stored as the 64-bit field of its bits.
inline double le_getf64(const unsigned char *p) {
  uint64_t bits = le_get64(p);
  double v;
  memcpy(&v, &bits, sizeof v);
  return v;
}

// Stores v as the field whose first byte is at p.
inline void le_put16(unsigned char *p, uint16_t v) { le_detail::store(p, v); }
inline void le_put32(unsigned char *p, uint32_t v) { le_detail::store(p, v); }
inline void le_put64(unsigned char *p, uint64_t v) { le_detail::store(p, v); }
inline void le_putf64(unsigned char *p, double v) {
  uint64_t bits;
  memcpy(&bits, &v, sizeof bits);
  le_put64(p, bits);
}
