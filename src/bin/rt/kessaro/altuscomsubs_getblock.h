// altuscomsubs_getblock.h - the block transaction engine.
//
// get_block runs one block-mode exchange on the link thread that holds the connection:
// it sends the command (command 0 or 255: nothing is sent, the engine only listens for
// the next packet), reads replies, checks sums and sequence numbers, retries, gathers
// multi-packet listings and files, and hands every stream packet that arrives to the
// stream handler installed in the SerialBuf's `userdata` (a StrdataCallback), whatever
// transaction is under way. It keeps no state between calls and takes no lock.
//
// Results (AltusBlockResult below): *out (malloc'd) belongs to the caller, also after a
// failure; a refusal (an acknowledgement with result 0) carrying a text gives -1 with
// that text in *out.
#pragma once

#include "altuscomsubs_block.h"
#include "altuscomsubs_output.h"  // altuscom_ismw, altuscom_isrock
#include "bytestream/serialbuf.h"

// What get_block returns. Listening (command 0 or 255), or as the reply to PKC_STRCTRL,
// the kind of packet that arrived is returned as well; the stream codes are also the
// kinds the stream handler receives (STRDATA_KIND_*).
enum AltusBlockResult {
  BLOCK_FAILED = -1,       // failure (logged)
  BLOCK_OK = 0,            // success
  BLOCK_EOF = 1,           // end of input, or an empty frame
  BLOCK_TIMEOUT = 2,       // time-out
  BLOCK_STOPPED = 5,       // read stopped by the idle callback
  BLOCK_OFFHOOK = 6,       // not connected, or on hook
  BLOCK_BUSY = 8,          // a busy text instead of a frame
  BLOCK_STRNAK = 9,        // stream refusal
  BLOCK_MESSAGE = 10,      // datalogger message
  BLOCK_ALARM = 11,        // alarm
  BLOCK_STRDATA = 12,      // stream data
  BLOCK_STRRQDATA = 13,    // requested (retransmitted) stream data
  BLOCK_WITH_RECORD = 14,  // reserved, returned on no path: a caller that gets it with a
                           // record uses the record (getstream0's parameter read)
  BLOCK_STATUS = 16,       // status
  BLOCK_EXTSTATUS = 17,    // extended status
  BLOCK_DIALIN = 18,       // a dialling datalogger was recognised while waiting
};
// Other positive byte-layer codes are passed up unchanged.

// Program-wide switches: log every packet received (-vr) / every command sent (-vc).
extern int averbose;
extern int cverbose;

int get_block(SerialBuf *bufhandle, int command, void *data, unsigned char *seqno, void **out,
              int *outsize, int size, void *modem, void *dl);
