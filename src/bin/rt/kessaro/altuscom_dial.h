// altuscom_dial.h - the dial-in and dial-out dialogues of a link. Both run on the link's
// own thread. Until the connection layer is built they return at once.
#pragma once

#include "kessaro.h"

// One dial-in cycle on the link. 0.
int modem_listen(Modem *modem);
// One dial-out attempt for the datalogger's queued requests. 0.
int modem_dialout(Modem *modem, AltusDatalogger *dl);
