// muldrin_host.h - muldrin's build-time version texts, the host and ring-server texts of
// the status report, and small process helpers.
//
// Locking: none; the texts are constants and the functions keep no state.
#pragma once

#include <cstddef>

#include "base/pf.h"

// Build-time texts: the release line ("Release <release> <system> <build date> "), the
// operating system, the build time of day and date, and the release number.
extern const char *const Muldrin_Version;
extern const char *const Muldrin_Os;
extern const char *const Muldrin_Time;
extern const char *const Muldrin_Date;
extern const char *const Muldrin_Release;

// Fills `hostname` (when given) with "<host name> <dotted address>" of this host, and
// `orbname` (when given) with the ring server's "%u.%u.%u.%u:%u" for connection `orb`, or
// "-" when orb < 0 or the server cannot be asked. Each text is cut to its size. 0.
int my_gethoststuff(int orb, char *hostname, char *orbname, size_t hostname_size,
                    size_t orbname_size);

// Writes the text of `pf` to the error log as a notice; 0, or -1 when it cannot be made.
int pfnotify(Pf *pf);

// A signal handler that does nothing, and its installer for SIGALRM (interrupted calls
// restart). The installer dies when the handler cannot be set; 0 otherwise.
void muldrin_ignore(int sig);
int ignoreSIGALRM(void);
