// kessaro_pocd.cpp - point-of-contact thread (not yet built: ends at once).
#include "kessaro_pocd.h"

void *run_pocd_thread(void *arg) {
  (void)arg;
  return nullptr;
}
