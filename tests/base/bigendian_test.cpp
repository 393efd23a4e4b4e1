// Network-order fields against bytes laid out by hand, at odd offsets.
#include "base/bigendian.h"

#include <gtest/gtest.h>

#include <cstring>

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
