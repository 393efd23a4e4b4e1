// altuscomsubs_connect.h - datalogger connections: the datalogger clock hand-off.
//
// altuscom_set_dlclock hands a fresh datalogger status time to the shared datalogger
// clock; every operation that reads a fresh status calls it. Not built yet: does nothing.
#pragma once

#include "kessaro.h"

int altuscom_set_dlclock(AltusDatalogger *dl, AltusBlockStatus *altusstat);
