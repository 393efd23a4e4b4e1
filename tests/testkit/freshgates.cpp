// freshgates.cpp - linked into every test program: each test starts with fresh flood
// gates, so that a message an earlier test of the same program logged is not held back
// as a repeat.
#include <gtest/gtest.h>

#include "base/elog.h"

namespace {

struct FreshFloodGates : ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo &) override { elog_flood_reset_all(); }
};

const bool g_installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshFloodGates);
  return true;
}();

}  // namespace
