// altuscomthread.h - the link threads of kessaro and the callbacks their byte streams
// call. Only the log callback exists so far; it takes no lock.
#pragma once

// Line sink of a link's SerialBuf and of the block codec. kind 6 (a packet dump line) is
// logged unchanged; the other kinds are not handled yet and are ignored. Always 0.
int log_callback(void *link, void *dl, const char *text, int kind);
