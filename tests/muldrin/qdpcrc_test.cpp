// Tests of the QDP datagram CRC-32 and the header check: the table-driven CRC against a
// bitwise one written here, then datagrams built by hand with every header fault.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "q330_crc.h"
#include "q330_pktdefs.h"

namespace {

// Bit at a time, most significant bit first, as the protocol defines it.
uint32_t crc_bitwise(const std::vector<uint8_t> &data) {
  uint32_t reg = 0;
  for (uint8_t byte : data) {
    for (int bit = 7; bit >= 0; bit--) {
      uint32_t in = (byte >> bit) & 1u;
      bool top = ((reg >> 31) ^ in) != 0;
      reg <<= 1;
      if (top) reg ^= 0x56070368u;
    }
  }
  return reg;
}

uint32_t crc_of(const std::vector<uint8_t> &data) {
  unsigned crc = 0xDEADBEEF;
  EXPECT_EQ(q330_crc(data.data(), (int)data.size(), &crc), 0);
  return crc;
}

TEST(QdpCrc, MatchesBitwiseReference) {
  q330_crc_init();
  std::vector<std::vector<uint8_t>> cases = {
      {}, {0x00}, {0x01}, {0x80}, {0xFF}, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}};
  std::vector<uint8_t> ramp;
  for (int i = 0; i < 1024; i++) ramp.push_back((uint8_t)(i * 37 + 11));
  cases.push_back(ramp);
  for (const auto &c : cases) EXPECT_EQ(crc_of(c), crc_bitwise(c)) << "size " << c.size();
  // A single byte b gives table entry b, so 0x01 gives the polynomial itself.
  EXPECT_EQ(crc_of({0x01}), 0x56070368u);
  EXPECT_EQ(crc_of({0x00, 0x00}), 0u);  // initial value 0 and no final exclusive-or
}

// A datagram with the given command, version, payload, sequence and ack; the length field
// says `length` (the payload size unless given) and the CRC is right.
std::vector<uint8_t> datagram(int command, int version, const std::vector<uint8_t> &payload,
                              int sequence, int ack, int length = -1) {
  if (length < 0) length = (int)payload.size();
  std::vector<uint8_t> d(12 + payload.size(), 0);
  d[4] = (uint8_t)command;
  d[5] = (uint8_t)version;
  d[6] = (uint8_t)(length >> 8);
  d[7] = (uint8_t)length;
  d[8] = (uint8_t)(sequence >> 8);
  d[9] = (uint8_t)sequence;
  d[10] = (uint8_t)(ack >> 8);
  d[11] = (uint8_t)ack;
  for (size_t i = 0; i < payload.size(); i++) d[12 + i] = payload[i];
  uint32_t crc = crc_bitwise(std::vector<uint8_t>(d.begin() + 4, d.end()));
  d[0] = (uint8_t)(crc >> 24);
  d[1] = (uint8_t)(crc >> 16);
  d[2] = (uint8_t)(crc >> 8);
  d[3] = (uint8_t)crc;
  return d;
}

int check(const std::vector<uint8_t> &d, int *cmd = nullptr, int *len = nullptr, int *seq = nullptr,
          int *ack = nullptr) {
  int c = -1, l = -1, s = -1, a = -1;
  int r =
      q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(d.data()), (int)d.size(), &c, &l, &s, &a);
  if (cmd) *cmd = c;
  if (len) *len = l;
  if (seq) *seq = s;
  if (ack) *ack = a;
  return r;
}

TEST(QdpHeader, GoodDatagramGivesItsFields) {
  std::vector<uint8_t> payload(20, 0x5A);
  int cmd, len, seq, ack;
  EXPECT_EQ(check(datagram(0xA5, 2, payload, 0xBEEF, 0x1234), &cmd, &len, &seq, &ack), 0);
  EXPECT_EQ(cmd, 0xA5);
  EXPECT_EQ(len, 20);
  EXPECT_EQ(seq, 0xBEEF);
  EXPECT_EQ(ack, 0x1234);
  // An empty payload: 12 bytes.
  EXPECT_EQ(check(datagram(0xA0, 2, {}, 1, 1), &cmd, &len), 0);
  EXPECT_EQ(len, 0);
}

TEST(QdpHeader, FaultsGiveTheFirstFailingCode) {
  std::vector<uint8_t> payload(8, 1);
  auto good = datagram(0xA2, 2, payload, 7, 7);

  auto bad_crc = good;
  bad_crc.back() ^= 0x01;
  EXPECT_EQ(check(bad_crc), 1);

  EXPECT_EQ(check(datagram(0xA2, 3, payload, 7, 7)), 2);
  // Length one more or one less than the payload.
  EXPECT_EQ(check(datagram(0xA2, 2, payload, 7, 7, 9)), 3);
  EXPECT_EQ(check(datagram(0xA2, 2, payload, 7, 7, 7)), 3);
  // Bad version and bad length together: the version is reported.
  EXPECT_EQ(check(datagram(0xA2, 1, payload, 7, 7, 9)), 2);
  // Bad CRC with a bad version: the CRC is reported.
  auto both = datagram(0xA2, 1, payload, 7, 7);
  both[0] ^= 0x80;
  EXPECT_EQ(check(both), 1);
}

TEST(QdpHeader, SizeOutsideTheDatagramRangeIsRefusedBeforeTheCrc) {
  std::vector<uint8_t> tiny = {0, 0, 0, 0};
  EXPECT_EQ(check(tiny), 3);
  EXPECT_EQ(q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(tiny.data()), 0, nullptr, nullptr,
                                 nullptr, nullptr),
            3);
  // 1012 payload bytes make the largest datagram; one more is refused.
  EXPECT_EQ(check(datagram(0x00, 2, std::vector<uint8_t>(1012, 3), 1, 0)), 0);
  EXPECT_EQ(check(datagram(0x00, 2, std::vector<uint8_t>(1013, 3), 1, 0)), 3);
}

}  // namespace
