// Data blockette decoders and the compressed frame reader, against hand-made bytes.
#include "q330pkt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A block of map words then data words, as the decoders leave it in the pool.
struct Block {
  std::vector<unsigned int> words;
  uint16_t size_of_cmap;
  uint16_t size_of_data;
};

void put32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Map words and data words given as values, laid out big-endian in wire order.
Block make_block(const std::vector<uint32_t> &map, const std::vector<uint32_t> &data) {
  Block b;
  b.size_of_cmap = static_cast<uint16_t>(map.size() * 4);
  b.size_of_data = static_cast<uint16_t>(data.size() * 4);
  b.words.resize(map.size() + data.size() + 1);
  auto *p = reinterpret_cast<uint8_t *>(b.words.data());
  for (uint32_t m : map) put32(p, m), p += 4;
  for (uint32_t d : data) put32(p, d), p += 4;
  return b;
}

// Expands into a buffer of exactly the counted size and checks nothing lands past it.
std::vector<int> expand(const Block &b, int *count) {
  *count = q330_nsamps(b.size_of_data, b.size_of_cmap, b.words.data());
  EXPECT_GE(*count, 0);
  std::vector<int> out(static_cast<size_t>(*count < 0 ? 0 : *count) + 1, 0x5A5A5A5A);
  int n = q330_convert_frame(b.size_of_data, b.size_of_cmap, b.words.data(), out.data());
  EXPECT_EQ(n, *count);
  if (n < 0 || n != *count) return {};
  EXPECT_EQ(out[static_cast<size_t>(n)], 0x5A5A5A5A);
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Q330Pkt, ChannelCodeClasses) {
  struct Row {
    unsigned int code;
    int layout;
  } rows[] = {
      {0x00, 1}, {0x1F, 1},   {0x20, 2},   {0x3F, 2},   {0x40, 4},   {0x5F, 4},   {0x60, 5},
      {0x7F, 5}, {0x80, 1},   {0x87, 1},   {0x88, 2},   {0x90, 4},   {0x98, 5},   {0xA0, 1},
      {0xA8, 2}, {0xB0, 4},   {0xB8, 5},   {0xC0, 1},   {0xC8, 2},   {0xD0, 3},   {0xD7, 3},
      {0xD8, 5}, {0xE0, 4},   {0xE8, 6},   {0xED, 6},   {0xF0, 7},   {0xF5, 7},   {0xF8, 8},
      {0xF9, 9}, {0xFA, 0xA}, {0xFB, 0xB}, {0xFC, 0xC}, {0xFD, 0xC}, {0xFF, 0xC},
  };
  for (const Row &r : rows)
    EXPECT_EQ(q330_blockette_layout(r.code), r.layout) << std::hex << r.code;
}

// One data word of each code and dnib; the count and the expansion must agree.
TEST(Q330Pkt, DataWordForms) {
  struct Row {
    int code;
    uint32_t word;
    std::vector<int> diffs;
  } rows[] = {
      {0, 0x12345678, {}},
      {1, 0x7F80FF01, {127, -128, -1, 1}},
      {1, 0xC0000000, {-64, 0, 0, 0}},  // code 1 has no dnib: the top bits are data
      {2, 0x3FFFFFFF, {}},              // dnib 0
      {2, 0x40000001, {1}},
      {2, 0x5FFFFFFF, {536870911}},
      {2, 0x60000000, {-536870912}},  // bit 29 set: negative
      {2, 0x7FFFFFFF, {-1}},
      {2, 0xA0003FFF, {-16384, 16383}},
      {2, 0xE007FFFF, {-512, 511, -1}},
      {3, 0x207FF001, {-32, 31, -1, 0, 1}},
      {3, 0x60FF8031, {-16, 15, -1, 0, 1, -15}},
      {3, 0x887F0192, {-8, 7, -1, 0, 1, -7, 2}},
      {3, 0xB87F0192, {-8, 7, -1, 0, 1, -7, 2}},  // bits 29-28 are not part of the fields
      {3, 0xFFFFFFFF, {}},                        // dnib 3
  };
  for (const Row &r : rows) {
    Block b = make_block({static_cast<uint32_t>(r.code) << 30}, {r.word});
    int count;
    std::vector<int> got = expand(b, &count);
    EXPECT_EQ(got, r.diffs) << std::hex << r.word;
    EXPECT_EQ(count, static_cast<int>(r.diffs.size())) << std::hex << r.word;
  }
}

// Code k of map word j belongs to data word 16j + k, the first in the top bits.
TEST(Q330Pkt, MapCodesFollowDataWords) {
  // Data word 0 code 1, 1..14 code 0, 15 code 2, 16 (second map word) code 3.
  Block b = make_block({0x40000002, 0xC0000000},
                       {0x01020304, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                        0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                        0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0x40000005, 0x01000001});
  int count;
  std::vector<int> got = expand(b, &count);
  EXPECT_EQ(got, (std::vector<int>{1, 2, 3, 4, 5, 1, 0, 0, 0, 1}));
  EXPECT_EQ(count, 10);
}

TEST(Q330Pkt, BlockSizesRefused) {
  std::vector<unsigned int> buf(1100, 0);
  std::vector<int> out(8000);
  struct Row {
    uint16_t size_of_data, size_of_cmap;
    int expect;
  } rows[] = {
      {4000, 252, 0},                            // 1000 words, 63 map words: the largest block
      {4004, 252, -1}, {64, 4, 0}, {68, 4, -1},  // 17 data words need a second map word
      {68, 8, 0},      {4, 0, -1}, {0, 0, 0},
  };
  for (const Row &r : rows) {
    EXPECT_EQ(q330_nsamps(r.size_of_data, r.size_of_cmap, buf.data()), r.expect)
        << r.size_of_data << " " << r.size_of_cmap;
    EXPECT_EQ(q330_convert_frame(r.size_of_data, r.size_of_cmap, buf.data(), out.data()), r.expect)
        << r.size_of_data << " " << r.size_of_cmap;
  }
}

// Runs a fixed-layout decoder over `bytes` and checks the cursor moved by `advance`.
template <class Rec>
Rec decode_fixed(int (*fn)(void *, unsigned char **, int), Bytes bytes, int advance) {
  Rec rec;
  memset(&rec, 0xAA, sizeof rec);
  unsigned char *p = bytes.data();
  EXPECT_EQ(fn(&rec, &p, static_cast<int>(bytes.size())), 0);
  EXPECT_EQ(p - bytes.data(), advance);
  return rec;
}

TEST(Q330Pkt, FixedLayouts) {
  auto b1 = decode_fixed<Q330DATABLK1Pkt>(q330_decode_DATABLK1, {0x05, 0x81, 0x02, 0xFF, 0xEE}, 4);
  EXPECT_EQ(b1.channel, 0x05);
  EXPECT_EQ(b1.par1, 0x81);
  EXPECT_EQ(b1.par2, 0x02);
  EXPECT_EQ(b1.par3, 0xFF);

  auto b2 = decode_fixed<Q330DATABLK2Pkt>(q330_decode_DATABLK2, {0x21, 0x07, 0xBE, 0xEF}, 4);
  EXPECT_EQ(b2.channel, 0x21);
  EXPECT_EQ(b2.par1, 0x07);
  EXPECT_EQ(b2.par2, 0xBEEF);

  auto b3 = decode_fixed<Q330DATABLK3Pkt>(q330_decode_DATABLK3,
                                          {0xD0, 0x01, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, 8);
  EXPECT_EQ(b3.channel, 0xD0);
  EXPECT_EQ(b3.par1, 0x01);
  EXPECT_EQ(b3.par2, 0x1234);
  EXPECT_EQ(b3.par3, 0x5678);
  EXPECT_EQ(b3.par4, 0x9ABC);

  auto b4 = decode_fixed<Q330DATABLK4Pkt>(q330_decode_DATABLK4,
                                          {0x40, 0x02, 0x00, 0x10, 0xFE, 0xDC, 0xBA, 0x98}, 8);
  EXPECT_EQ(b4.channel, 0x40);
  EXPECT_EQ(b4.par1, 0x02);
  EXPECT_EQ(b4.par2, 0x0010);
  EXPECT_EQ(b4.par3, 0xFEDCBA98u);

  auto b5 = decode_fixed<Q330DATABLK5Pkt>(
      q330_decode_DATABLK5,
      {0x60, 0x03, 0x80, 0x01, 0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFE}, 12);
  EXPECT_EQ(b5.channel, 0x60);
  EXPECT_EQ(b5.par1, 0x03);
  EXPECT_EQ(b5.par2, 0x8001);
  EXPECT_EQ(b5.par3, 0x100u);
  EXPECT_EQ(b5.par4, 0xFFFFFFFEu);

  Bytes cal = {0xF8, 0x00, 0x00, 0x01, 0x00, 0x0C, 0x02, 0x58, 0x00, 0x07, 0x00, 0x08, 0x00, 0x0A,
               0x00, 0x00, 'L',  'I',  'N',  'E',  ' ',  'C',  'O',  'U',  'P',  'L',  'E',  'D'};
  auto b8 = decode_fixed<Q330DATABLK8Pkt>(q330_decode_DATABLK8, cal, 28);
  EXPECT_EQ(b8.channel, 0xF8);
  EXPECT_EQ(b8.spare1, 0);
  EXPECT_EQ(b8.waveform, 1);
  EXPECT_EQ(b8.amplitude, 12);
  EXPECT_EQ(b8.duration, 600);
  EXPECT_EQ(b8.calibration_bitmap, 7);
  EXPECT_EQ(b8.monitor_bitmap, 8);
  EXPECT_EQ(b8.frequency_divider, 10);
  EXPECT_EQ(b8.spare2, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(b8.coupling_bytes), 12), "LINE COUPLED");

  auto b9 = decode_fixed<Q330DATABLK9Pkt>(q330_decode_DATABLK9,
                                          {0xF9, 0x00, 0x00, 0x07, 0x00, 0x08, 0x00, 0x00}, 8);
  EXPECT_EQ(b9.channel, 0xF9);
  EXPECT_EQ(b9.calibration_bitmap, 7);
  EXPECT_EQ(b9.monitor_bitmap, 8);
  EXPECT_EQ(b9.spare2, 0);
}

// Layouts A and B carry blockette_size - head data bytes and skip them rounded to words.
TEST(Q330Pkt, VariableLayouts) {
  Bytes cnp = {0xFA, 0x01, 0x00, 0x0D, 0x02, 0x03, 0x04, 0x05, 'a', 'b', 'c', 'd', 'e', 0, 0, 0};
  auto a = decode_fixed<Q330DATABLKAPkt>(q330_decode_DATABLKA, cnp, 16);
  EXPECT_EQ(a.channel, 0xFA);
  EXPECT_EQ(a.blockette_flags, 1);
  EXPECT_EQ(a.blockette_size, 13);
  EXPECT_EQ(a.port_number, 2);
  EXPECT_EQ(a.unit_id, 3);
  EXPECT_EQ(a.status, 4);
  EXPECT_EQ(a.message_type, 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(a.data), 6), std::string("abcde\0", 6));

  // A size at or below the fixed part carries no data.
  auto a0 = decode_fixed<Q330DATABLKAPkt>(q330_decode_DATABLKA, {0xFA, 0, 0, 4, 1, 2, 3, 4}, 8);
  EXPECT_EQ(a0.data[0], 0);

  Bytes cfg = {0xFB, 0x02, 0x00, 0x08, 0xDE, 0xAD, 0xBE, 0xEF, 0x55};
  auto b = decode_fixed<Q330DATABLKBPkt>(q330_decode_DATABLKB, cfg, 8);
  EXPECT_EQ(b.channel, 0xFB);
  EXPECT_EQ(b.structure_type, 2);
  EXPECT_EQ(b.blockette_size, 8);
  EXPECT_EQ(b.data[0], 0xDE);
  EXPECT_EQ(b.data[3], 0xEF);
  EXPECT_EQ(b.data[4], 0);

  // The largest data a record holds.
  Bytes big(8 + 720, 0x11);
  big[0] = 0xFA;
  big[2] = 0x02;
  big[3] = 0xD8;  // 728
  auto amax = decode_fixed<Q330DATABLKAPkt>(q330_decode_DATABLKA, big, 728);
  EXPECT_EQ(amax.data[719], 0x11);
}

// 0xFC with blockette_size 8 is one value (EP1); with 9 or more the walk reads it again
// from its start as EP2. EP1 steps by its own size when that is above 8.
TEST(Q330Pkt, EnvironmentalBlockettes) {
  auto e = decode_fixed<Q330DATABLKEP1Pkt>(q330_decode_DATABLKEP1,
                                           {0xFC, 0x03, 0x00, 0x08, 0xFF, 0xFF, 0xFF, 0x85}, 8);
  EXPECT_EQ(e.channel, 0xFC);
  EXPECT_EQ(e.epchannel, 3);
  EXPECT_EQ(e.blockette_size, 8);
  EXPECT_EQ(e.data, -123);

  Bytes other(16, 0);
  other[0] = 0xFE;
  other[3] = 16;
  decode_fixed<Q330DATABLKEP1Pkt>(q330_decode_DATABLKEP1, other, 16);
  other[3] = 3;  // below the fixed size: steps by the fixed size
  decode_fixed<Q330DATABLKEP1Pkt>(q330_decode_DATABLKEP1, other, 8);

  // 0xFC, size 0x8012 (18: the flag bit is not part of the size), 4 data bytes, 4 map.
  Bytes ep2 = {0xFC, 0x02, 0x80, 0x12, 0x00, 0x00, 0x00, 0x64, 0x00,
               0x0E, 0x40, 0x00, 0x00, 0x00, 0x01, 0x02, 0xFF, 0xFE};
  auto e1 = decode_fixed<Q330DATABLKEP1Pkt>(q330_decode_DATABLKEP1, ep2, 18);
  EXPECT_GE(e1.blockette_size & 0x3FF, 9);

  std::vector<unsigned int> pool(10, 0xFFFFFFFF);
  unsigned int *next = pool.data();
  int free_words = 10;
  Q330DATABLKEP2Pkt e2;
  unsigned char *p = ep2.data();
  ASSERT_EQ(q330_decode_DATABLKEP2(&e2, &p, 18, &next, &free_words), 0);
  EXPECT_EQ(p, ep2.data() + 18);
  EXPECT_EQ(e2.channel, 0xFC);
  EXPECT_EQ(e2.epchannel, 2);
  EXPECT_EQ(e2.previous_sample, 100);
  EXPECT_EQ(e2.size_of_data, 4);
  EXPECT_EQ(e2.size_of_cmap, 4);
  EXPECT_EQ(free_words, 8);
  std::vector<int> diffs(7);
  ASSERT_EQ(q330_convert_frame(e2.size_of_data, e2.size_of_cmap, e2.data, diffs.data()), 4);
  EXPECT_EQ(diffs[0], 1);
  EXPECT_EQ(diffs[3], -2);
}

Bytes blk6(uint16_t size_field, uint16_t offset, int body_bytes) {
  Bytes b(10 + static_cast<size_t>(body_bytes), 0);
  b[0] = 0xE9;
  b[1] = 0x03;
  b[2] = static_cast<uint8_t>(size_field >> 8);
  b[3] = static_cast<uint8_t>(size_field);
  put32(&b[4], 0xFFFFFFFE);
  b[8] = static_cast<uint8_t>(offset >> 8);
  b[9] = static_cast<uint8_t>(offset);
  return b;
}

TEST(Q330Pkt, Layout6IntoPool) {
  Bytes b = blk6(18, 14, 8);
  put32(&b[10], 0x40000000);  // map: data word 0 code 1
  put32(&b[14], 0x7F80FF01);

  std::vector<unsigned int> pool(4, 0xFFFFFFFF);
  unsigned int *next = pool.data();
  int free_words = 4;
  Q330DATABLK6Pkt blk;
  unsigned char *p = b.data();
  ASSERT_EQ(q330_decode_DATABLK6(&blk, &p, static_cast<int>(b.size()), &next, &free_words), 0);
  EXPECT_EQ(p, b.data() + 18);
  EXPECT_EQ(blk.channel, 0xE9);
  EXPECT_EQ(blk.frequency, 3);
  EXPECT_EQ(blk.blockette_size, 18);
  EXPECT_EQ(blk.previous_sample, -2);
  EXPECT_EQ(blk.size_of_cmap, 4);
  EXPECT_EQ(blk.size_of_data, 4);
  EXPECT_EQ(blk.data, pool.data());
  EXPECT_EQ(next, pool.data() + 2);
  EXPECT_EQ(free_words, 2);
  EXPECT_EQ(pool[2], 0xFFFFFFFFu);  // nothing written past the words taken
  std::vector<int> diffs(7);
  ASSERT_EQ(q330_convert_frame(blk.size_of_data, blk.size_of_cmap, blk.data, diffs.data()), 4);
  EXPECT_EQ(std::vector<int>(diffs.begin(), diffs.begin() + 4),
            (std::vector<int>{127, -128, -1, 1}));

  // Without a pool the decoder allocates the words itself.
  p = b.data();
  unsigned int *none = nullptr;
  ASSERT_EQ(q330_decode_DATABLK6(&blk, &p, static_cast<int>(b.size()), &none, nullptr), 0);
  EXPECT_EQ(q330_nsamps(blk.size_of_data, blk.size_of_cmap, blk.data), 4);
  free(blk.data);
}

// 4 map bytes per 64 data bytes, rounded up; map bytes the wire leaves out are zero.
TEST(Q330Pkt, Layout6MapSize) {
  struct Row {
    int data_bytes;
    int wire_map;
    int cmap;
  } rows[] = {{64, 4, 4}, {68, 4, 8}, {68, 8, 8}, {0, 0, 0}, {2, 0, 4}, {8, 0, 4}};
  for (const Row &r : rows) {
    int length = 10 + r.wire_map + r.data_bytes;
    Bytes b = blk6(static_cast<uint16_t>(length), static_cast<uint16_t>(10 + r.wire_map),
                   r.wire_map + r.data_bytes);
    memset(&b[10], 0x55, static_cast<size_t>(r.wire_map + r.data_bytes));
    std::vector<unsigned int> pool(40, 0xFFFFFFFF);
    unsigned int *next = pool.data();
    int free_words = 40;
    Q330DATABLK6Pkt blk;
    unsigned char *p = b.data();
    ASSERT_EQ(q330_decode_DATABLK6(&blk, &p, length, &next, &free_words), 0) << r.data_bytes;
    EXPECT_EQ(blk.size_of_cmap, r.cmap) << r.data_bytes;
    EXPECT_EQ(blk.size_of_data, r.data_bytes);
    EXPECT_EQ(next - pool.data(), (r.cmap + r.data_bytes + 3) / 4) << r.data_bytes;
    auto *bytes = reinterpret_cast<const uint8_t *>(pool.data());
    for (int i = 0; i < r.cmap; i++) EXPECT_EQ(bytes[i], i < r.wire_map ? 0x55 : 0) << i;
    for (int i = 0; i < r.data_bytes; i++) EXPECT_EQ(bytes[r.cmap + i], 0x55) << i;
  }
}

TEST(Q330Pkt, Layout7Segment) {
  Bytes b = {0xF2, 0x2D, 0x80, 0x10, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xEE};
  std::vector<unsigned int> pool(4, 0xFFFFFFFF);
  unsigned int *next = pool.data();
  int free_words = 4;
  Q330DATABLK7Pkt blk;
  unsigned char *p = b.data();
  ASSERT_EQ(q330_decode_DATABLK7(&blk, &p, static_cast<int>(b.size()), &next, &free_words), 0);
  EXPECT_EQ(p, b.data() + 16);
  EXPECT_EQ(blk.channel, 0xF2);
  EXPECT_EQ(blk.frequency & 7, 5);   // stream
  EXPECT_EQ(blk.frequency >> 3, 5);  // segment number
  EXPECT_TRUE(blk.blockette_size & 0x8000);
  EXPECT_EQ(blk.size_of_data, 12);
  EXPECT_EQ(free_words, 1);
  EXPECT_EQ(memcmp(blk.data, &b[4], 12), 0);
  EXPECT_EQ(pool[3], 0xFFFFFFFFu);
}

// Size fields that do not fit are refused: -1, cursor and pool untouched.
TEST(Q330Pkt, HostileSizesRefused) {
  using Pooled = int (*)(void *, unsigned char **, int, unsigned int **, int *);
  using Fixed = int (*)(void *, unsigned char **, int);
  struct Row {
    const char *what;
    Pooled pooled;
    Fixed fixed;
    Bytes bytes;
    int nbytes;  // -1: the whole vector
  };
  Bytes a900(8 + 900, 0);
  a900[0] = 0xFA;
  a900[2] = 0x03;
  a900[3] = 0x8C;  // 908: 900 data bytes
  Bytes b725(4 + 728, 0);
  b725[0] = 0xFB;
  b725[2] = 0x02;
  b725[3] = 0xD9;  // 729: 725 data bytes
  Bytes ep2_off9 = blk6(18, 9, 8);
  ep2_off9[0] = 0xFC;
  std::vector<Row> rows = {
      {"6 offset 0", q330_decode_DATABLK6, nullptr, blk6(18, 0, 8), -1},
      {"6 offset 9", q330_decode_DATABLK6, nullptr, blk6(18, 9, 8), -1},
      {"6 offset past the blockette", q330_decode_DATABLK6, nullptr, blk6(18, 19, 9), -1},
      {"6 map past the derived map", q330_decode_DATABLK6, nullptr, blk6(30, 30, 20), -1},
      {"6 map of 8 for 4 data bytes", q330_decode_DATABLK6, nullptr, blk6(22, 18, 12), -1},
      {"6 size 0", q330_decode_DATABLK6, nullptr, blk6(0, 10, 8), -1},
      {"6 size below the header", q330_decode_DATABLK6, nullptr, blk6(9, 10, 8), -1},
      {"6 size past the payload", q330_decode_DATABLK6, nullptr, blk6(18, 14, 8), 17},
      {"6 header cut", q330_decode_DATABLK6, nullptr, blk6(18, 14, 8), 9},
      {"EP2 offset 9", q330_decode_DATABLKEP2, nullptr, ep2_off9, -1},
      {"EP2 size past the payload", q330_decode_DATABLKEP2, nullptr, blk6(0x8012, 14, 8), 16},
      {"7 size 0", q330_decode_DATABLK7, nullptr, {0xF0, 0, 0x80, 0x00, 1, 2, 3, 4}, -1},
      {"7 size 3", q330_decode_DATABLK7, nullptr, {0xF0, 0, 0x80, 0x03, 1, 2, 3, 4}, -1},
      {"7 size past the payload",
       q330_decode_DATABLK7,
       nullptr,
       {0xF0, 0, 0, 0x09, 1, 2, 3, 4},
       -1},
      {"7 header cut", q330_decode_DATABLK7, nullptr, {0xF0, 0, 0}, -1},
      {"A with 900 bytes", nullptr, q330_decode_DATABLKA, a900, -1},
      {"A size past the payload",
       nullptr,
       q330_decode_DATABLKA,
       {0xFA, 0, 0, 13, 1, 2, 3, 4, 5},
       -1},
      {"A padding past the payload",
       nullptr,
       q330_decode_DATABLKA,
       {0xFA, 0, 0, 13, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0},
       13},
      {"B with 725 bytes", nullptr, q330_decode_DATABLKB, b725, -1},
      {"B size past the payload", nullptr, q330_decode_DATABLKB, {0xFB, 0, 0, 9, 1, 2, 3, 4}, -1},
      {"EP1 size past the payload", nullptr, q330_decode_DATABLKEP1,
       Bytes{0xFD, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0}, -1},
      {"1 cut", nullptr, q330_decode_DATABLK1, {0x01, 2, 3}, -1},
      {"2 cut", nullptr, q330_decode_DATABLK2, {0x21, 2, 3}, -1},
      {"3 cut", nullptr, q330_decode_DATABLK3, {0xD0, 2, 3, 4, 5, 6, 7}, -1},
      {"4 cut", nullptr, q330_decode_DATABLK4, {0x40, 2, 3, 4, 5, 6, 7}, -1},
      {"5 cut", nullptr, q330_decode_DATABLK5, Bytes(11, 0x60), -1},
      {"8 cut", nullptr, q330_decode_DATABLK8, Bytes(27, 0xF8), -1},
      {"9 cut", nullptr, q330_decode_DATABLK9, Bytes(7, 0xF9), -1},
      {"EP1 cut", nullptr, q330_decode_DATABLKEP1, Bytes(7, 0xFC), -1},
      {"B cut", nullptr, q330_decode_DATABLKB, {0xFB, 0, 0}, -1},
      {"A cut", nullptr, q330_decode_DATABLKA, {0xFA, 0, 0, 8, 0, 0, 0}, -1},
  };
  for (Row &r : rows) {
    int nbytes = r.nbytes < 0 ? static_cast<int>(r.bytes.size()) : r.nbytes;
    std::vector<unsigned int> pool(300, 0xFFFFFFFF);
    unsigned int *next = pool.data();
    int free_words = 300;
    alignas(8) unsigned char rec[sizeof(Q330DATABLKAPkt)];
    unsigned char *p = r.bytes.data();
    int rc = r.pooled != nullptr ? r.pooled(rec, &p, nbytes, &next, &free_words)
                                 : r.fixed(rec, &p, nbytes);
    EXPECT_EQ(rc, -1) << r.what;
    EXPECT_EQ(p, r.bytes.data()) << r.what;
    EXPECT_EQ(next, pool.data()) << r.what;
    EXPECT_EQ(free_words, 300) << r.what;
    EXPECT_EQ(pool[0], 0xFFFFFFFFu) << r.what;
  }
}

// A pool too small is refused with the decoder's message; nothing else stops.
TEST(Q330Pkt, PoolTooSmall) {
  ElogCapture log;
  struct Row {
    const char *message;
    int (*fn)(void *, unsigned char **, int, unsigned int **, int *);
    Bytes bytes;
  } rows[] = {
      {"q330_decode_DATABLK6: data buffer too small.", q330_decode_DATABLK6, blk6(18, 14, 8)},
      {"q330_decode_DATABLKEP2: data buffer too small.", q330_decode_DATABLKEP2, blk6(18, 14, 8)},
      {"q330_decode_DATABLK7: data buffer too small.",
       q330_decode_DATABLK7,
       {0xF0, 0x08, 0x00, 0x0C, 1, 2, 3, 4, 5, 6, 7, 8}},
  };
  for (Row &r : rows) {
    std::vector<unsigned int> pool(2, 0xFFFFFFFF);
    unsigned int *next = pool.data();
    int free_words = 1;
    alignas(8) unsigned char rec[sizeof(Q330DATABLK6Pkt)];
    unsigned char *p = r.bytes.data();
    EXPECT_EQ(r.fn(rec, &p, static_cast<int>(r.bytes.size()), &next, &free_words), -1);
    EXPECT_TRUE(log.contains(r.message)) << r.message;
    EXPECT_EQ(p, r.bytes.data());
    EXPECT_EQ(free_words, 1);
    EXPECT_EQ(pool[0], 0xFFFFFFFFu);
  }
}

}  // namespace
