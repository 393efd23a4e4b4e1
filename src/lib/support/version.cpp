// version.cpp - the suite's version texts (see version.h).
#include "support/version.h"

#ifndef VANTREL_RELEASE
#define VANTREL_RELEASE "0.0"
#endif
#ifndef VANTREL_SYSTEM
#define VANTREL_SYSTEM "Linux"
#endif

const char vantrel_version[] = "Release " VANTREL_RELEASE " " VANTREL_SYSTEM " " __DATE__ " ";
const char vantrel_release[] = VANTREL_RELEASE;
const char vantrel_os[] = "Linux";
const char vantrel_build_date[] = __DATE__;
const char vantrel_build_time[] = __TIME__;
