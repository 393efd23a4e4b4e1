// Datalogger connections: the clock hand-off, a no-op until the connection code lands.
#include "altuscomsubs_connect.h"

int altuscom_set_dlclock(AltusDatalogger *, AltusBlockStatus *) { return 0; }
