// Fields in both byte orders against bytes laid out by hand, at odd offsets.
#include "base/bigendian.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/littleendian.h"

TEST(Bigendian, FieldsAgainstHandLaidBytes) {
  // One byte of padding first, so that every field starts at an odd address.
  const unsigned char bytes[] = {0xee, 0x81, 0x02, 0x83, 0x04, 0x85, 0x06, 0x87, 0x08};
  const unsigned char *p = bytes + 1;
  EXPECT_EQ(be_get16(p), 0x8102u);
  EXPECT_EQ(be_get32(p), 0x81028304u);
  EXPECT_EQ(be_get64(p), UINT64_C(0x8102830485068708));

  unsigned char out[9] = {0xee};
  be_put64(out + 1, UINT64_C(0x8102830485068708));
  EXPECT_EQ(memcmp(out, bytes, sizeof out), 0);
  memset(out + 1, 0, 8);
  be_put32(out + 1, 0x81028304u);
  be_put32(out + 5, 0x85068708u);
  EXPECT_EQ(memcmp(out, bytes, sizeof out), 0);
  be_put16(out + 1, 0xfffe);
  EXPECT_EQ(out[1], 0xff);
  EXPECT_EQ(out[2], 0xfe);
  EXPECT_EQ(out[3], 0x83);  // the next byte is left alone
}

TEST(Littleendian, FieldsAgainstHandLaidBytes) {
  const unsigned char bytes[] = {0xee, 0x81, 0x02, 0x83, 0x04, 0x85, 0x06, 0x87, 0x08};
  const unsigned char *p = bytes + 1;
  EXPECT_EQ(le_get16(p), 0x0281u);
  EXPECT_EQ(le_get32(p), 0x04830281u);
  EXPECT_EQ(le_get64(p), UINT64_C(0x0887068504830281));

  unsigned char out[9] = {0xee};
  le_put64(out + 1, UINT64_C(0x0887068504830281));
  EXPECT_EQ(memcmp(out, bytes, sizeof out), 0);
  memset(out + 1, 0, 8);
  le_put32(out + 1, 0x04830281u);
  le_put32(out + 5, 0x08870685u);
  EXPECT_EQ(memcmp(out, bytes, sizeof out), 0);
  le_put16(out + 1, 0xfffe);
  EXPECT_EQ(out[1], 0xfe);
  EXPECT_EQ(out[2], 0xff);
  EXPECT_EQ(out[3], 0x83);
}

// A double is the 64-bit field of its bits: -2.5 is 0xc004000000000000.
TEST(ByteOrder, DoublesAsTheirBits) {
  const unsigned char be[] = {0xee, 0xc0, 0x04, 0, 0, 0, 0, 0, 0};
  const unsigned char le[] = {0xee, 0, 0, 0, 0, 0, 0, 0x04, 0xc0};
  EXPECT_EQ(be_getf64(be + 1), -2.5);
  EXPECT_EQ(le_getf64(le + 1), -2.5);
  unsigned char out[9] = {0xee};
  be_putf64(out + 1, -2.5);
  EXPECT_EQ(memcmp(out, be, sizeof out), 0);
  le_putf64(out + 1, -2.5);
  EXPECT_EQ(memcmp(out, le, sizeof out), 0);
}

// The cursor forms read and store in order and leave the cursor just past the last field.
TEST(Bigendian, CursorFormsMovePastEachField) {
  unsigned char buf[16] = {};
  unsigned char *w = buf;
  be_emit8(&w, 0x81);
  be_emit16(&w, 0x0283);
  be_emit32(&w, 0x04850687u);
  be_emitf64(&w, -2.5);
  ASSERT_EQ(w - buf, 15);
  const unsigned char want[15] = {0x81, 0x02, 0x83, 0x04, 0x85, 0x06, 0x87, 0xc0, 0x04};
  EXPECT_EQ(memcmp(buf, want, sizeof want), 0);

  unsigned char *r = buf;
  EXPECT_EQ(be_take8(&r), 0x81u);
  EXPECT_EQ(be_take16(&r), 0x0283u);
  EXPECT_EQ(be_take32(&r), 0x04850687u);
  EXPECT_EQ(r - buf, 7);
}
