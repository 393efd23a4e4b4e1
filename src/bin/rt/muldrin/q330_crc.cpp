// q330_crc.cpp - QDP datagram CRC-32 (see q330_crc.h).
#include "q330_crc.h"

#include <array>
#include <cstdint>

namespace {

constexpr uint32_t kPolynomial = 0x56070368u;

using CrcTable = std::array<uint32_t, 256>;

CrcTable build_table() {
  CrcTable table{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t reg = 0;
    uint32_t in = i << 24;
    for (int step = 0; step < 8; step++) {
      bool top = ((reg ^ in) & 0x80000000u) != 0;
      reg <<= 1;
      if (top) reg ^= kPolynomial;
      in <<= 1;
    }
    table[i] = reg;
  }
  return table;
}

const CrcTable &checksum_table() {
  static const CrcTable table = build_table();
  return table;
}

}  // namespace

int q330_crc_init(void) {
  (void)checksum_table();
  return 0;
}

int q330_crc(const unsigned char *buf, int len, unsigned *crc) {
  const CrcTable &table = checksum_table();
  uint32_t reg = 0;
  for (int i = 0; i < len; i++) reg = (reg << 8) ^ table[((reg >> 24) ^ buf[i]) & 0xFFu];
  *crc = reg;
  return 0;
}
