// muldrin_host.cpp - version texts, host and ring-server texts, small process helpers.
#include "muldrin_host.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "base/elog.h"

#ifndef MULDRIN_RELEASE
#define MULDRIN_RELEASE "0.1"
#endif
#ifndef MULDRIN_SYSTEM
#define MULDRIN_SYSTEM "Linux"
#endif

const char *const Muldrin_Release = MULDRIN_RELEASE;
const char *const Muldrin_Os = "Linux";
const char *const Muldrin_Time = __TIME__;
const char *const Muldrin_Date = __DATE__;
const char *const Muldrin_Version = "Release " MULDRIN_RELEASE " " MULDRIN_SYSTEM " " __DATE__ " ";

int pfnotify(Pf *pf) {
  char *text = pf2string(pf);
  if (text == nullptr) return -1;
  elog_notify(0, "%s\n", text);
  free(text);
  return 0;
}
