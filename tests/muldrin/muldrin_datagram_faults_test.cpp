// muldrin against two simulated Q330s through a reboot and a restart (muldrin_faults.h),
// with datagrams lost, reordered, duplicated and corrupted.
#include "muldrin_faults.h"

namespace {

// Through loss, reordering, duplicates and bad checksums the stream keeps going through
// every re-open, the reboot, and the restart, which may come in the middle of a record.
// Fewer records than on clean datagrams: every loss holds a unit's stream for its 2 s
// resend time, and 40 records of two units meet every fault many times in both
// directions.
TEST(MuldrinEndToEnd, TwoUnitsThroughDatagramFaultsARebootAndARestart) {
  two_units_reboot_and_restart("0.05,0.05,0.05,0.05", kE2eRecordsDivisor > 1 ? 20 : 40);
}

}  // namespace
