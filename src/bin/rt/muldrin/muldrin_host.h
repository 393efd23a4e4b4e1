// muldrin_host.h - muldrin's build-time version texts, the host and ring-server texts of
// the status report, and small process helpers.
//
// Locking: none; the texts are constants and the functions keep no state.
#pragma once

#include <cstddef>

#include "base/pf.h"
#include "ringsvc/hoststuff.h"
#include "support/stdtime.h"  // ignoreSIGALRM

// Build-time texts: the release line ("Release <release> <system> <build date> "), the
// operating system, the build time of day and date, and the release number.
extern const char *const Muldrin_Version;
extern const char *const Muldrin_Os;
extern const char *const Muldrin_Time;
extern const char *const Muldrin_Date;
extern const char *const Muldrin_Release;

// Writes the text of `pf` to the error log as a notice; 0, or -1 when it cannot be made.
int pfnotify(Pf *pf);
