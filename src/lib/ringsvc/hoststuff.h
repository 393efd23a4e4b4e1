// hoststuff.h - the host and ring-server texts that the acquisition programs put in their
// status reports and start-up logs.
//
// Locking: none; no state is kept.
#pragma once

#include <cstddef>

// Fills `hostname` (when given) with "<host name> <dotted address>" of this host, and
// `orbname` (when given) with the ring server's "%u.%u.%u.%u:%u" for connection `orb`, or
// "-" when orb < 0 or the server cannot be asked. Each text is cut to its size. 0.
int my_gethoststuff(int orb, char *hostname, char *orbname, size_t hostname_size,
                    size_t orbname_size);
