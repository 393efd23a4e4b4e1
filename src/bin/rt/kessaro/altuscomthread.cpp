// altuscomthread.cpp - link-thread callbacks.
#include "altuscomthread.h"

#include "base/elog.h"

int log_callback(void *link, void *dl, const char *text, int kind) {
  (void)link;
  (void)dl;
  if (kind == 6 && text != nullptr) elog_notify(0, "%s", text);
  return 0;
}
