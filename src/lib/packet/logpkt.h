// logpkt.h - the log packet both programs put into their rings for log lines. No state,
// no locking.
#pragma once

// Builds a log packet of msg in a caller-owned growable buffer (*packet none on the first
// call, *bufsize its capacity, grown as needed); *nbytes the packet's size. 0, or -1 when
// the text does not fit the packet's 16-bit size or memory runs out (logged).
int log2orbpkt(const char *msg, char **packet, int *nbytes, int *bufsize);
