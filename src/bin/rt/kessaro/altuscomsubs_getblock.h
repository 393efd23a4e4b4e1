// altuscomsubs_getblock.h - the block transaction engine.
//
// get_block runs one block-mode exchange on the link thread that holds the connection:
// it sends the command (command 0 or 255: nothing is sent, the engine only listens for
// the next packet), reads replies, checks sums and sequence numbers, retries, gathers
// multi-packet listings and files, and hands every stream packet that arrives to the
// stream handler installed in the SerialBuf's `userdata` (a StrdataCallback), whatever
// transaction is under way. It keeps no state between calls and takes no lock.
//
// Results: 0 success; -1 failure; 1 end of input or an empty frame; 2 time-out; 5 read
// stopped by the idle callback; 6 not connected; other positive byte-layer codes passed
// up; listening or as the reply to PKC_STRCTRL: 9 stream refusal, 10 datalogger
// message, 11 alarm, 12 stream data, 13 requested stream data, 16 status, 17 extended
// status. *out (malloc'd) belongs to the caller, also after a failure; a refusal (an
// acknowledgement with result 0) carrying a text gives -1 with that text in *out.
#pragma once

#include "altuscomsubs_block.h"
#include "altuscomsubs_output.h"  // altuscom_ismw, altuscom_isrock
#include "bytestream/serialbuf.h"

// Program-wide switches: log every packet received (-vr) / every command sent (-vc).
extern int averbose;
extern int cverbose;

int get_block(SerialBuf *bufhandle, int command, void *data, unsigned char *seqno, void **out,
              int *outsize, int size, void *modem, void *dl);
