// altuscom_dial.cpp - dial-in and dial-out (not yet built: both return at once).
#include "altuscom_dial.h"

int modem_listen(Modem *modem) {
  (void)modem;
  return 0;
}

int modem_dialout(Modem *modem, AltusDatalogger *dl) {
  (void)modem;
  (void)dl;
  return 0;
}
