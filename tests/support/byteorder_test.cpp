// Tests of the network byte-order wrappers, byte reversal and the 24-bit and
// float/double functions.
#include "support/byteorder.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Every array wrapper: one or two values, the network bytes they give, and the
// result. Each case writes with the H2N form, reads the bytes back with the N2H form,
// and runs both on an unaligned buffer.
struct WrapperCase {
  const char *name;
  std::function<int(uint8_t *)> to_net;      // writes into the buffer
  std::function<int(const uint8_t *)> back;  // reads the buffer, checks, 0 when equal
  Bytes bytes;
  int result;
};

template <class H>
WrapperCase make(const char *name, int (*to)(void *, const H *, int),
                 int (*from)(H *, const void *, int), std::vector<H> values, Bytes bytes,
                 int result) {
  return WrapperCase{name,
                     [to, values](uint8_t *p) { return to(p, values.data(), (int)values.size()); },
                     [from, values](const uint8_t *p) {
                       std::vector<H> got(values.size());
                       from(got.data(), p, (int)got.size());
                       return std::memcmp(got.data(), values.data(), values.size() * sizeof(H));
                     },
                     bytes, result};
}

TEST(ByteOrder, ArrayWrappersWriteNetworkOrderAndReadItBack) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  WrapperCase cases[] = {
      make<short>("H2N2", H2N2, N2H2, {0x1234, -2}, {0x12, 0x34, 0xFF, 0xFE}, 0),
      make<int>("H2N4", H2N4, N2H4, {256}, {0, 0, 1, 0}, 0),
      make<double>("H2N8", H2N8, N2H8, {1.0}, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, 0),
      make<double>("H2N8 NaN", H2N8, N2H8, {nan}, {0x7F, 0xF8, 0, 0, 0, 0, 0, 0}, -1),
      make<unsigned short>("UH2N2", UH2N2, UN2H2, {65534}, {0xFF, 0xFE}, 0),
      make<unsigned int>("UH2N4", UH2N4, UN2H4, {0xDEADBEEF}, {0xDE, 0xAD, 0xBE, 0xEF}, 0),
      make<unsigned long long>("UH2N8", UH2N8, UN2H8, {0x0102030405060708ull},
                               {1, 2, 3, 4, 5, 6, 7, 8}, 0),
      make<short>("H2NS", H2NS, N2HS, {-2}, {0xFF, 0xFE}, 0),
      make<int>("H2NI", H2NI, N2HI, {-2}, {0xFF, 0xFF, 0xFF, 0xFE}, 0),
      make<long long>("H2NL", H2NL, N2HL, {-2}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE},
                      0),
      make<double>("H2ND", H2ND, N2HD, {-2.0}, {0xC0, 0, 0, 0, 0, 0, 0, 0}, 0),
      make<unsigned short>("UH2NS", UH2NS, UN2HS, {0x8001}, {0x80, 0x01}, 0),
      make<unsigned int>("UH2NI", UH2NI, UN2HI, {0x80000001u}, {0x80, 0, 0, 1}, 0),
      make<unsigned long long>("UH2NL", UH2NL, UN2HL, {~0ull}, Bytes(8, 0xFF), 0),
      make<int>("HI2NC", HI2NC, NC2HI, {-128, 127}, {0x80, 0x7F}, 0),
      make<int>("HI2NS", HI2NS, NS2HI, {-32768}, {0x80, 0x00}, 0),
      make<int>("HI2NF", HI2NF, NF2HI, {-3}, {0xC0, 0x40, 0, 0}, 0),
      make<int>("HI2NF inexact", HI2NF, NF2HI, {16777217}, {0x4B, 0x80, 0, 0}, -1),
  };
  for (WrapperCase &c : cases) {
    Bytes buf(1 + c.bytes.size() + 1, 0xA5);
    EXPECT_EQ(c.to_net(&buf[1]), c.result) << c.name;
    EXPECT_EQ(Bytes(buf.begin() + 1, buf.end() - 1), c.bytes) << c.name;
    EXPECT_EQ(buf.back(), 0xA5) << c.name;
    if (c.result == 0) {
      EXPECT_EQ(c.back(&buf[1]), 0) << c.name;
    }
  }
}

TEST(ByteOrder, ReadersPassOnTheMembersReport) {
  int i[2] = {7, 7};
  const uint8_t clipped[] = {0x7F, 0x7F};  // HI2NC of 1000 writes 0x7F
  int big = 1000;
  uint8_t out[1];
  EXPECT_EQ(HI2NC(out, &big, 1), -1);
  EXPECT_EQ(out[0], 0x7F);
  EXPECT_EQ(NC2HI(i, clipped, 2), 0);
  EXPECT_EQ(i[0], 127);

  const uint8_t nan_image[8] = {0x7F, 0xF0, 0, 0, 0, 0, 0, 1};
  double d;
  EXPECT_EQ(N2HD(&d, nan_image, 1), -1);
  EXPECT_EQ(std::bit_cast<uint64_t>(d), 0x7FF0000000000001ull);
  long long l;
  EXPECT_EQ(N2HL(&l, nan_image, 1), 0);
  EXPECT_EQ(l, 0x7FF0000000000001ll);

  const uint8_t half[4] = {0x3F, 0x00, 0, 0};  // 0.5
  EXPECT_EQ(NF2HI(i, half, 1), -1);
  EXPECT_EQ(i[0], 0);

  // A count of 0 writes nothing and reports nothing.
  uint8_t untouched[2] = {9, 9};
  short s = 1;
  EXPECT_EQ(H2N2(untouched, &s, 0), 0);
  EXPECT_EQ(N2HI(i, untouched, 0), 0);
  EXPECT_EQ(untouched[0], 9);
}

TEST(ByteOrder, SingleValueForms) {
  // htond/htonf give a value whose memory is the network image; bit patterns that are
  // NaNs once swapped come back unchanged.
  for (uint64_t bits : {0x3FF0000000000000ull, 0x01000000000000F0ull, 0x01000000000000FFull,
                        0x7FF4000000000001ull}) {
    double host = std::bit_cast<double>(bits);
    double net = htond(host);
    uint8_t image[8];
    std::memcpy(image, &net, 8);
    for (int k = 0; k < 8; ++k) EXPECT_EQ(image[k], (uint8_t)(bits >> (56 - 8 * k))) << k;
    EXPECT_EQ(std::bit_cast<uint64_t>(ntohd(net)), bits);
  }
  for (uint32_t bits : {0x3F800000u, 0x010080FFu, 0x7FA00001u}) {
    float net = htonf(std::bit_cast<float>(bits));
    uint8_t image[4];
    std::memcpy(image, &net, 4);
    EXPECT_EQ(image[0], (uint8_t)(bits >> 24));
    EXPECT_EQ(image[3], (uint8_t)bits);
    EXPECT_EQ(std::bit_cast<uint32_t>(ntohf(net)), bits);
  }

  uint8_t buf[9];
  double d = 1.0, d2 = 0;
  EXPECT_EQ(htondp(&d, buf + 1), 0);
  EXPECT_EQ(buf[1], 0x3F);
  EXPECT_EQ(ntohdp(buf + 1, &d2), 0);
  EXPECT_EQ(d2, 1.0);
  float f = std::numeric_limits<float>::quiet_NaN(), f2 = 0;
  EXPECT_EQ(htonfp(&f, buf + 1), -1);
  EXPECT_EQ(ntohfp(buf + 1, &f2), -1);
  EXPECT_TRUE(std::isnan(f2));
  long long l = -3, l2 = 0;
  EXPECT_EQ(hton8p(&l, buf + 1), 0);
  EXPECT_EQ(buf[8], 0xFD);
  EXPECT_EQ(ntoh8p(buf + 1, &l2), 0);
  EXPECT_EQ(l2, -3);
}

TEST(ByteOrder, SwapReversesEachItemInPlaceOrNot) {
  uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  swap4(b, b, 1);
  EXPECT_EQ(Bytes(b, b + 4), (Bytes{4, 3, 2, 1}));
  uint8_t src[8] = {1, 2, 3, 4, 5, 6, 7, 8}, dst[9] = {};
  swap2(src, dst + 1, 4);
  EXPECT_EQ(Bytes(dst + 1, dst + 9), (Bytes{2, 1, 4, 3, 6, 5, 8, 7}));
  swap8(src, src, 1);
  EXPECT_EQ(Bytes(src, src + 8), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
  swap4(src, dst, 0);
  EXPECT_EQ(dst[0], 0);
}

TEST(ByteOrder, TwentyFourBitAndFloatDoubleItems) {
  const uint8_t in[6] = {0x80, 0x00, 0x00, 0x00, 0x00, 0x05};
  int v[2];
  N32H4(v, in, 2);
  EXPECT_EQ(v[0], -8388608);
  EXPECT_EQ(v[1], 5);

  const int vals[3] = {-1, 19088743, 8388608};  // 0x1234567 loses its high byte
  uint8_t out[9];
  H42N3(out, vals, 3);
  EXPECT_EQ(Bytes(out, out + 9), (Bytes{0xFF, 0xFF, 0xFF, 0x23, 0x45, 0x67, 0x80, 0x00, 0x00}));

  const double ds[3] = {1.5, 1e300, 0.1};
  uint8_t nf[13];
  HD2NF(nf + 1, ds, 3);
  EXPECT_EQ(Bytes(nf + 1, nf + 5), (Bytes{0x3F, 0xC0, 0, 0}));
  EXPECT_EQ(Bytes(nf + 5, nf + 9), (Bytes{0x7F, 0x80, 0, 0}));
  EXPECT_EQ(Bytes(nf + 9, nf + 13), (Bytes{0x3D, 0xCC, 0xCC, 0xCD}));
  double back[3];
  NF2HD(back, nf + 1, 3);
  EXPECT_EQ(back[0], 1.5);
  EXPECT_TRUE(std::isinf(back[1]));
  EXPECT_EQ(back[2], (double)0.1f);
}

}  // namespace
