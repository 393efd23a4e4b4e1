// altuscomsubs_getblock.h - the block transaction engine.
//
// get_block runs one block-mode exchange on the link thread that holds the connection:
// it sends the command (command 0 or 255: nothing is sent, the engine only listens for
// the next packet), reads replies, checks sums and sequence numbers, retries, gathers
// multi-packet listings and files, and hands every stream packet that arrives to the
// stream handler installed in the SerialBuf's `userdata` (a StrdataCallback), whatever
// transaction is under way. It keeps no state between calls and takes no lock.
//
// Results are the GetBlockResult codes below; other positive byte-layer codes are passed
// up as they come. *out (malloc'd) belongs to the caller, also after a failure; a refusal
// (an acknowledgement with result 0) carrying a text gives -1 with that text in *out.
#pragma once

#include "altuscomsubs_block.h"
#include "altuscomsubs_output.h"  // altuscom_ismw, altuscom_isrock
#include "bytestream/serialbuf.h"

// Program-wide switches: log every packet received (-vr) / every command sent (-vc).
extern int averbose;
extern int cverbose;

// get_block's results. The listening ones (9 and up) also answer PKC_STRCTRL (9).
enum GetBlockResult : int {
  GETBLOCK_FAILED = -1,        // failure (logged)
  GETBLOCK_OK = 0,             // success
  GETBLOCK_EOF = 1,            // end of input or an empty frame
  GETBLOCK_TIMEOUT = 2,        // time-out
  GETBLOCK_IDLE_STOP = 5,      // read stopped by the idle callback
  GETBLOCK_NOT_CONNECTED = 6,  // not connected
  GETBLOCK_BUSY = 8,           // busy text on the line
  GETBLOCK_STRNAK = 9,         // stream refusal
  GETBLOCK_MESSAGE = 10,       // datalogger message
  GETBLOCK_ALARM = 11,         // alarm
  GETBLOCK_STRDATA = 12,       // stream data
  GETBLOCK_STRRQDATA = 13,     // requested stream data
  GETBLOCK_STATUS = 16,        // status
  GETBLOCK_EXTSTATUS = 17,     // extended status
};

int get_block(SerialBuf *bufhandle, int command, void *data, unsigned char *seqno, void **out,
              int *outsize, int size, void *modem, void *dl);
