// A command service whose selection fails ends the process with status 1. The death
// test forks without exec (qemu-user cannot exec the test again), which is only sound
// while the process has a single thread; this program holds that test alone, so it
// never runs after tests that leave threads behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>

#include "ringsvc/cmdthread.h"

namespace {

// Prints the error reports of the service.
int print_errors(CmdThread *, void *, int what, ...) {
  if (what != 1) return 0;
  va_list ap;
  va_start(ap, what);
  (void)va_arg(ap, int);
  const char *fmt = va_arg(ap, const char *);
  vfprintf(stderr, fmt, ap);
  va_end(ap);
  return 0;
}

}  // namespace

TEST(ServiceNew, ASelectionThatFailsEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "fast");
  EXPECT_EXIT(
      {
        cmdthread_new(nullptr, 9999, 9999, "q1", "q330", print_errors, nullptr);
        sleep(10);
      },
      ::testing::ExitedWithCode(1), "cmdthread_run: orbselect\\(/pf/dlcm\\|q1/pf/dlcm\\) error");
}
