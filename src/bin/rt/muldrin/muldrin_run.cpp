// muldrin_run.cpp - muldrin's stop flags, halt entry and the wait for the write thread.
#include "muldrin_run.h"

#include <cstring>

#include "base/clock.h"
#include "base/elog.h"
#include "muldrin_write.h"

std::atomic<int> myshutdown{0};
std::atomic<int> myshutdown_pocds{0};

void muldrin_halt(void) { myshutdown.store(1); }

int mystrncpy(char *dst, const char *src, size_t size) {
  if (size == 0) return 0;
  strncpy(dst, src, size);
  dst[size - 1] = '\0';
  return 0;
}

int muldrin_stop_writer(Muldrin *muldrin) {
  muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Shutting down write thread...\n");
  clock_sleep(0.1);
  muldrin->kill.store(1);
  clock_sleep(0.1);
  for (int step = 0; step < 1000; step++) {
    if (muldrin->kill.load() == 2) {
      elog_notify(0, "%s: Write thread done...\n",
                  muldrin->target_name != nullptr ? muldrin->target_name : "");
      return 0;
    }
    clock_sleep(0.1);
  }
  return -1;
}
