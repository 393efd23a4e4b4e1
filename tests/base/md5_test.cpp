#include "base/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string hex(const unsigned char d[16]) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 16; i++) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  return out;
}

std::string md5_of(const void *data, size_t len) {
  MD5_CTX ctx;
  unsigned char d[16];
  MD5Init(&ctx);
  MD5Update(&ctx, data, len);
  MD5Final(d, &ctx);
  return hex(d);
}

std::string md5_of(const std::string &s) { return md5_of(s.data(), s.size()); }

// A text of n printable bytes that is not periodic within a block.
std::string pattern(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; i++) s += (char)('0' + (i * 7) % 75);
  return s;
}

}  // namespace

TEST(Md5, RfcTestSuite) {
  struct Case {
    const char *text;
    const char *digest;
  } cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const Case &c : cases) EXPECT_EQ(md5_of(c.text), c.digest) << '"' << c.text << '"';
}

// Lengths around the padding boundaries: 55 still fits the length in the last block,
// 56..63 need one more block, 64 and 128 are whole blocks.
TEST(Md5, LengthsAroundTheBlockBoundaries) {
  struct Case {
    size_t n;
    const char *digest;
  } cases[] = {
      {55, "499ea877c1a61a5b069c0d5dda4e7bac"},  {56, "bfbbd9a327bd0a85b6bb5fbf48f22220"},
      {57, "5279aad69d2a8615d7aee0080abe304a"},  {63, "ed69c4a251108b5dd664a699646d38b5"},
      {64, "6cbca87ac7fa4b3d7d89b41766270c86"},  {65, "eaa4788680d98d0d28c613130a774de3"},
      {119, "b9d4c3c6c16577f2763751ef9901a848"}, {120, "b5a1d189243bb84f414597a59107cdc0"},
      {128, "7b85746e346ee9f308ce73b1ec83357b"},
  };
  for (const Case &c : cases) EXPECT_EQ(md5_of(pattern(c.n)), c.digest) << "length " << c.n;
}

TEST(Md5, AMillionBytes) {
  std::string s(1000000, 'a');
  EXPECT_EQ(md5_of(s), "7707d6ae4e027c70eea2a935c2296f21");
}

// However the input is split across MD5Update calls, the digest is the same.
TEST(Md5, SplitUpdatesGiveTheSameDigest) {
  const std::string text = pattern(300);
  const std::string whole = md5_of(text);
  struct Case {
    const char *name;
    std::vector<size_t> pieces;  // lengths; the rest of the text follows as one piece
  } cases[] = {
      {"empty pieces first", {0, 0, 0}},         {"bytewise start", {1, 1, 1, 1, 1}},
      {"fill to one short of a block", {63, 1}}, {"exactly a block, then a block", {64, 64}},
      {"across a block edge", {60, 10, 100}},    {"odd sizes", {3, 61, 65, 7, 0, 129}},
      {"all but the last byte", {299}},
  };
  for (const Case &c : cases) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    size_t at = 0;
    for (size_t n : c.pieces) {
      MD5Update(&ctx, text.data() + at, n);
      at += n;
    }
    MD5Update(&ctx, text.data() + at, text.size() - at);
    unsigned char d[16];
    MD5Final(d, &ctx);
    EXPECT_EQ(hex(d), whole) << c.name;
  }
  // One byte at a time.
  MD5_CTX ctx;
  MD5Init(&ctx);
  for (char ch : text) MD5Update(&ctx, &ch, 1);
  unsigned char d[16];
  MD5Final(d, &ctx);
  EXPECT_EQ(hex(d), whole) << "byte by byte";
}

// Input at every offset within a word gives the same digest (the words are read byte by
// byte, so a 32-bit ARM never sees an unaligned word load).
TEST(Md5, UnalignedInput) {
  const std::string text = pattern(200);
  const std::string expected = md5_of(text);
  std::vector<unsigned char> store(text.size() + 8);
  for (size_t off = 0; off < 8; off++) {
    memcpy(store.data() + off, text.data(), text.size());
    EXPECT_EQ(md5_of(store.data() + off, text.size()), expected) << "offset " << off;
  }
}

TEST(Md5, ContextIsReusableAfterInit) {
  MD5_CTX ctx;
  unsigned char d[16];
  MD5Init(&ctx);
  MD5Update(&ctx, "garbage", 7);
  MD5Final(d, &ctx);
  MD5Init(&ctx);
  MD5Update(&ctx, "abc", 3);
  MD5Final(d, &ctx);
  EXPECT_EQ(hex(d), "900150983cd24fb0d6963f7d28e17f72");
}
