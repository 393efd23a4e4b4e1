// memreport_virtual against mappings the test makes: a reservation without access counts
// in the whole sum only, and counts as accessible once it has access rights.
#include "base/memreport.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

namespace {

TEST(MemReport, CountsReservationsApartFromAccessibleMappings) {
  const size_t size = 16u << 20;
  const long long all0 = memreport_virtual(), acc0 = memreport_virtual(true);
  ASSERT_GT(all0, 0);
  ASSERT_GT(acc0, 0);
  EXPECT_LE(acc0, all0);
  void *p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  const long long all1 = memreport_virtual(), acc1 = memreport_virtual(true);
  // Other mappings may come and go meanwhile (the test framework's own): a margin of a
  // quarter of the region tells the region from them.
  EXPECT_GE(all1 - all0, static_cast<long long>(size - size / 4));
  EXPECT_LT(acc1 - acc0, static_cast<long long>(size / 4));
  ASSERT_EQ(mprotect(p, size, PROT_READ | PROT_WRITE), 0);
  const long long acc2 = memreport_virtual(true);
  EXPECT_GE(acc2 - acc0, static_cast<long long>(size - size / 4));
  ASSERT_EQ(munmap(p, size), 0);
  EXPECT_LT(memreport_virtual() - all0, static_cast<long long>(size / 4));
}

}  // namespace
