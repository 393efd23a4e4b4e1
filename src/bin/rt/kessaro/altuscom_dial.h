// altuscom_dial.h - the dial-in and dial-out dialogues of a link.
//
// modem_listen waits for dataloggers that call in: it makes the link's connection (a serial
// line or a TCP client; a TCP-server connection arrives made), waits for a caller, plays
// the modem's part on a line without modem control, reads the banner that names the
// caller's model and serial number, claims that datalogger, opens the connection
// (opendl) and runs the datalogger's dial-in command. modem_dialout places one call for a
// datalogger's queued requests and runs them in the connection it opens.
//
// Both run on the link's own thread. Every wait of theirs ends on halt, and a dial-in wait
// also on the link's `interrupt` flag, through idle_callback; no signal handler is
// installed. A dial-in claims a datalogger only when its connection lock is free and no
// link is connected to it; opendl releases the locks while the connection runs.
#pragma once

#include "kessaro.h"

// Dial-in cycles on the link until its wait is interrupted, the program halts, or (a
// TCP-server connection, or a link with `test` on) one dial-in has been served. Sets
// mode 1. 0.
int modem_listen(Modem *modem);
// One dial-out attempt for the datalogger's queued requests: refused (requests stay
// queued), no connection (every request answered "problem with dialout", the stream
// state back to idle), or served. Sets mode 2. Called with the datalogger's and the
// link's connection locks held and modem->connected_dl set to dl. 0.
int modem_dialout(Modem *modem, AltusDatalogger *dl);

// The banner a datalogger sends when it calls in, as read: the model text ("Altus "
// dropped) and the serial number. 0, or -1 for a model over 23 characters, a serial text
// over 15 characters or one that is not a decimal number.
int altuscom_banner_values(const char *model_text, const char *serial_text, char *model,
                           int model_size, int *serial);
