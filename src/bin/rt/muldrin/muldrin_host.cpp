// muldrin_host.cpp - version texts, host and ring-server texts, small process helpers.
#include "muldrin_host.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "base/elog.h"
#include "support/version.h"

// The suite's one version text, shared with the other programs and the usage banner.
const char *const Muldrin_Release = vantrel_release;
const char *const Muldrin_Os = vantrel_os;
const char *const Muldrin_Time = vantrel_build_time;
const char *const Muldrin_Date = vantrel_build_date;
const char *const Muldrin_Version = vantrel_version;

int pfnotify(Pf *pf) {
  char *text = pf2string(pf);
  if (text == nullptr) return -1;
  elog_notify(0, "%s\n", text);
  free(text);
  return 0;
}
