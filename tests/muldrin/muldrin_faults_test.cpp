// muldrin against two simulated Q330s through a reboot and a restart (muldrin_faults.h),
// on clean datagrams.
#include "muldrin_faults.h"

namespace {

TEST(MuldrinEndToEnd, TwoUnitsThroughARebootAndARestart) {
  two_units_reboot_and_restart("0", 160 / kE2eRecordsDivisor);
}

}  // namespace
