// Round trips of samples through the simulator's frame compressor and the client's
// blockette decoders and frame reader. The differences are integrated and compared with the
// samples, so a misreading in either direction shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "q330pkt.h"
#include "q330sim_frames.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Samples whose differences are random values of at most `bits` bits (signed). The walk
// turns back beyond +-2^30, so the samples stay in range.
std::vector<int> walk(std::mt19937 &rng, int n, int start, int bits) {
  std::uniform_int_distribution<int> d(-(1 << (bits - 1)), (1 << (bits - 1)) - 1);
  std::vector<int> s;
  int64_t x = start;
  for (int i = 0; i < n; i++) {
    int step = d(rng);
    if (x + step > (int64_t{1} << 30) || x + step < -(int64_t{1} << 30)) step = -step;
    x += step;
    s.push_back(static_cast<int>(x));
  }
  return s;
}

// Wraps instead of overflowing, so that a wrong expansion fails the comparison only.
std::vector<int> integrate(int previous, const std::vector<int> &diffs) {
  std::vector<int> s;
  uint32_t x = static_cast<uint32_t>(previous);
  for (int d : diffs) {
    x += static_cast<uint32_t>(d);
    s.push_back(static_cast<int>(x));
  }
  return s;
}

// Decodes one layout-6 blockette and expands it back into samples.
std::vector<int> through_blk6(const Bytes &b) {
  std::vector<unsigned int> pool(1000);
  unsigned int *next = pool.data();
  int free_words = 1000;
  Q330DATABLK6Pkt blk;
  Bytes copy = b;
  unsigned char *p = copy.data();
  EXPECT_EQ(q330_decode_DATABLK6(&blk, &p, static_cast<int>(copy.size()), &next, &free_words), 0);
  EXPECT_EQ(p, copy.data() + copy.size());
  std::vector<int> diffs(static_cast<size_t>(blk.size_of_data) / 4 * 7);
  int n = q330_convert_frame(blk.size_of_data, blk.size_of_cmap, blk.data, diffs.data());
  EXPECT_EQ(q330_nsamps(blk.size_of_data, blk.size_of_cmap, blk.data), n);
  diffs.resize(n < 0 ? 0 : static_cast<size_t>(n));
  return integrate(blk.previous_sample, diffs);
}

struct Policy {
  const char *name;
  Q330SimWidth width;
  int bits;  // widest difference the form holds
};
const Policy kPolicies[] = {
    {"narrowest", {0, 0}, 30}, {"1", {1, 0}, 8},   {"2/1", {2, 1}, 30}, {"2/2", {2, 2}, 15},
    {"2/3", {2, 3}, 10},       {"3/0", {3, 0}, 6}, {"3/1", {3, 1}, 5},  {"3/2", {3, 2}, 4},
};

TEST(Q330Frames, RandomRoundTripsAtEveryWidth) {
  std::mt19937 rng(330);
  for (const Policy &pol : kPolicies) {
    int per_word = pol.width.code == 0 ? 1 : q330sim_frames_per_word(pol.width);
    for (int trial = 0; trial < 20; trial++) {
      // Up to 60 words, so the block fits one blockette at any width.
      int words = 1 + static_cast<int>(rng() % 60);
      int n = words * per_word;
      int previous = static_cast<int>(rng() % 2000001) - 1000000;
      // Narrowest: mix the widths inside one block.
      int bits = pol.width.code == 0 ? 4 + static_cast<int>(rng() % 27) : pol.bits;
      std::vector<int> samples = walk(rng, n, previous, bits);
      Bytes b;
      ASSERT_EQ(q330sim_frames_blk6(3, 4, samples.data(), n, previous, pol.width, &b), 0)
          << pol.name;
      EXPECT_EQ(b[0], 0xEB);
      EXPECT_EQ(b[1], 4);
      EXPECT_EQ(through_blk6(b), samples) << pol.name << " trial " << trial;
    }
  }
}

// The widest differences each form holds, both signs, and the 30-bit limits.
TEST(Q330Frames, WidthLimits) {
  for (const Policy &pol : kPolicies) {
    int per_word = pol.width.code == 0 ? 1 : q330sim_frames_per_word(pol.width);
    int hi = (1 << (pol.bits - 1)) - 1, lo = -(1 << (pol.bits - 1));
    std::vector<int> diffs;
    for (int i = 0; i < per_word * 4; i++) diffs.push_back(i % 2 == 0 ? hi : lo);
    if (pol.width.code == 0) diffs = {hi, lo, lo, hi, 0, 1, -1};
    std::vector<int> samples = integrate(-7, diffs);
    Bytes b;
    ASSERT_EQ(q330sim_frames_blk6(0, 0, samples.data(), static_cast<int>(samples.size()), -7,
                                  pol.width, &b),
              0)
        << pol.name;
    EXPECT_EQ(through_blk6(b), samples) << pol.name;

    // One step past the form's limit is refused.
    std::vector<int> over(static_cast<size_t>(per_word), 0);
    over[0] = pol.bits == 30 ? (1 << 29) : hi + 1;
    EXPECT_EQ(q330sim_frames_blk6(0, 0, over.data(), per_word, 0, pol.width, &b), -1) << pol.name;
    over[0] = pol.bits == 30 ? -(1 << 29) - 1 : lo - 1;
    EXPECT_EQ(q330sim_frames_blk6(0, 0, over.data(), per_word, 0, pol.width, &b), -1) << pol.name;
  }
  // A difference of 33 bits (from the most negative to the most positive sample).
  int big[] = {2147483647};
  Bytes b;
  EXPECT_EQ(q330sim_frames_blk6(0, 0, big, 1, -2147483647 - 1, {}, &b), -1);
}

// Quiet data packs 7 to a word; a step goes to the one-difference form.
TEST(Q330Frames, NarrowestForm) {
  std::vector<int> samples = {1, 2, 3, 4, 5, 6, 7, 500007};
  Bytes b;
  ASSERT_EQ(q330sim_frames_blk6(0, 0, samples.data(), 8, 0, {}, &b), 0);
  EXPECT_EQ(b.size(), 10u + 4 + 8);
  EXPECT_EQ(b[10] >> 6, 3);        // first word code 3
  EXPECT_EQ((b[10] >> 4) & 3, 2);  // second word code 2
  EXPECT_EQ(b[14] >> 6, 2);        // dnib 2: seven 4-bit
  EXPECT_EQ(through_blk6(b), samples);
}

TEST(Q330Frames, CompressorRefusals) {
  std::vector<int> s(300, 0);
  Bytes b;
  // Too many words for one blockette of at most 1023 bytes.
  EXPECT_EQ(q330sim_frames_blk6(0, 0, s.data(), 300, 0, {2, 1}, &b), -1);
  // A count that is not a whole number of forced words; forms that carry nothing.
  EXPECT_EQ(q330sim_frames_blk6(0, 0, s.data(), 6, 0, {3, 2}, &b), -1);
  EXPECT_EQ(q330sim_frames_blk6(0, 0, s.data(), 6, 0, {2, 0}, &b), -1);
  EXPECT_EQ(q330sim_frames_blk6(0, 0, s.data(), 6, 0, {3, 3}, &b), -1);
}

// Layout 7: the segments decode one by one and join into the block they were cut from.
TEST(Q330Frames, SegmentsJoin) {
  std::mt19937 rng(7);
  struct Row {
    int nsamples, bits, max_size;
    size_t segments;
  } rows[] = {{1000, 30, 1023, 0}, {700, 12, 200, 0}, {30, 20, 1023, 1}, {0, 4, 16, 1}};
  for (const Row &r : rows) {
    std::vector<int> samples = walk(rng, r.nsamples, 12345, r.bits);
    std::vector<Bytes> segs;
    ASSERT_EQ(q330sim_frames_blk7(2, 5, samples.data(), r.nsamples, 12345, {}, r.max_size, &segs),
              0);
    if (r.segments != 0) {
      EXPECT_EQ(segs.size(), r.segments);
    }

    std::vector<unsigned int> pool(1100);
    unsigned int *next = pool.data();
    int free_words = 1100;
    Bytes joined;
    for (size_t i = 0; i < segs.size(); i++) {
      Q330DATABLK7Pkt blk;
      unsigned char *p = segs[i].data();
      ASSERT_LE(segs[i].size(), static_cast<size_t>(r.max_size));
      ASSERT_EQ(
          q330_decode_DATABLK7(&blk, &p, static_cast<int>(segs[i].size()), &next, &free_words), 0);
      EXPECT_EQ(blk.channel, 0xF2);
      EXPECT_EQ(blk.frequency & 7, 5);
      EXPECT_EQ(blk.frequency >> 3, static_cast<int>(i));
      EXPECT_EQ((blk.blockette_size & 0x8000) != 0, i + 1 == segs.size());
      auto *bytes = reinterpret_cast<const uint8_t *>(blk.data);
      joined.insert(joined.end(), bytes, bytes + blk.size_of_data);
    }
    // The joined payload is the unsplit blockette from its byte 4: previous sample, data
    // offset (from the unsplit start), map, data.
    ASSERT_GE(joined.size(), 6u);
    int previous = static_cast<int>(static_cast<uint32_t>(joined[0]) << 24 | joined[1] << 16 |
                                    joined[2] << 8 | joined[3]);
    int offset = joined[4] << 8 | joined[5];
    int map_bytes = offset - 10;
    int data_bytes = static_cast<int>(joined.size()) - (offset - 4);
    std::vector<unsigned int> block(static_cast<size_t>(map_bytes + data_bytes) / 4 + 1);
    memcpy(block.data(), &joined[6], joined.size() - 6);
    std::vector<int> diffs(static_cast<size_t>(data_bytes) / 4 * 7 + 1);
    int n = q330_convert_frame(static_cast<uint16_t>(data_bytes), static_cast<uint16_t>(map_bytes),
                               block.data(), diffs.data());
    ASSERT_EQ(n, r.nsamples);
    diffs.resize(static_cast<size_t>(n));
    EXPECT_EQ(integrate(previous, diffs), samples);
  }
  // The first segment must hold the map; a block holds at most 1000 data words.
  std::vector<int> s(1001, 0);
  std::vector<Bytes> segs;
  EXPECT_EQ(q330sim_frames_blk7(0, 0, s.data(), 1000, 0, {2, 1}, 40, &segs), -1);
  EXPECT_EQ(q330sim_frames_blk7(0, 0, s.data(), 1000, 0, {2, 1}, 1023, &segs), 0);
  EXPECT_EQ(q330sim_frames_blk7(0, 0, s.data(), 1001, 0, {2, 1}, 1023, &segs), -1);
}

}  // namespace
