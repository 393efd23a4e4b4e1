// Fields in both byte orders against bytes laid out by hand, at odd offsets.
#include "base/bigendian.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/littleendian.h"

// Each byte order against the same bytes, laid out by hand.
TEST(ByteOrder, FieldsAgainstHandLaidBytes) {
  struct Order {
    const char *name;
    uint16_t (*get16)(const unsigned char *);
    uint32_t (*get32)(const unsigned char *);
    uint64_t (*get64)(const unsigned char *);
    void (*put16)(unsigned char *, uint16_t);
    void (*put32)(unsigned char *, uint32_t);
    void (*put64)(unsigned char *, uint64_t);
    uint16_t v16;        // the first two bytes
    uint32_t v32, v32b;  // the first four, the next four
    uint64_t v64;        // all eight
  };
  const Order orders[] = {
      {"big-endian", be_get16, be_get32, be_get64, be_put16, be_put32, be_put64, 0x8102,
       0x81028304u, 0x85068708u, UINT64_C(0x8102830485068708)},
      {"little-endian", le_get16, le_get32, le_get64, le_put16, le_put32, le_put64, 0x0281,
       0x04830281u, 0x08870685u, UINT64_C(0x0887068504830281)},
  };
  // One byte of padding first, so that every field starts at an odd address.
  const unsigned char bytes[] = {0xee, 0x81, 0x02, 0x83, 0x04, 0x85, 0x06, 0x87, 0x08};
  for (const Order &o : orders) {
    SCOPED_TRACE(o.name);
    const unsigned char *p = bytes + 1;
    EXPECT_EQ(o.get16(p), o.v16);
    EXPECT_EQ(o.get32(p), o.v32);
    EXPECT_EQ(o.get32(p + 4), o.v32b);
    EXPECT_EQ(o.get64(p), o.v64);

    unsigned char out[9] = {0xee};
    o.put64(out + 1, o.v64);
    EXPECT_EQ(memcmp(out, bytes, sizeof out), 0);
    memset(out + 1, 0, 8);
    o.put32(out + 1, o.v32);
    o.put32(out + 5, o.v32b);
    EXPECT_EQ(memcmp(out, bytes, sizeof out), 0);
    memset(out + 1, 0, 8);
    o.put16(out + 1, o.v16);
    EXPECT_EQ(memcmp(out, bytes, 3), 0);
    EXPECT_EQ(out[3], 0);  // the next byte is left alone
  }
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
