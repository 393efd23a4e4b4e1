// altuscomsubs_blockops.h - block operations on an Altus datalogger: list a directory
// or a whole tree, read, delete, stop and start acquisition, read and write the
// parameter header, read an event file's header, ping.
//
// Each turns one or more get_block transactions into a result in buffers the caller owns
// and grows (capacities in bytes kept by the caller). Paths are normalised in the
// caller's string. Every get_block call advances *seqno once more on top of the engine's
// own advances. The live stream is paused around the file-system exchanges. All run on
// the link thread that holds the connection; no lock is taken.
//
// Results: 0, or the failing transaction's status (1 end of input, 2 time-out, 6 not
// connected, other positive byte-layer codes, negative for errors); block_readfile gives
// 19 when the datalogger refuses to open the file without saying why; block_setparams
// ALTUS_SETPARAMS_BADPARAMS when the parameter file does not parse.
#pragma once

#include "base/pf.h"
#include "bytestream/serialbuf.h"
#include "kessaro.h"

enum {
  ALTUS_DIRTREE_MAXDEPTH = 16,      // directory levels the tree walk enters
  ALTUS_DIRTREE_MAXDIRS = 256,      // directories one tree walk lists, its top included
  ALTUS_DIRTREE_MAXENTRIES = 8192,  // entries one tree walk looks at
  ALTUS_OPENFILE_REFUSED = 19,
  ALTUS_SETPARAMS_BADPARAMS = 7,  // block_setparams: the parameters do not parse
};

// Every "/" becomes "\", and a leading "a:", "b:" or "c:" gets an upper-case drive letter.
int fixpaths(char *path);
// Makes the buffer hold at least total_requested bytes, growing it to half again that
// and zeroing the added bytes; *bufsize is the capacity in bytes. The buffer, or nullptr
// on failure (the old buffer then stays valid and owned by the caller).
void *mymem(int total_requested, void *oldbuf, int *bufsize);

int block_readdir(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno,
                  AltusBlockDirentry **altusdir, int *nentries, int *altusdirsize, void *modem,
                  void *dl);
// Appends a record per file below dirpath (and per directory with dirents set). A
// directory is an entry with the 0x10 bit and size 0; "." and ".." are not entered. The
// walk goes at most ALTUS_DIRTREE_MAXDEPTH levels, lists at most ALTUS_DIRTREE_MAXDIRS
// directories and looks at most at ALTUS_DIRTREE_MAXENTRIES entries, skips any entry
// whose path would not fit the record, and skips with one line a directory below the top
// that the datalogger refuses to open; one line at the end says what it left out.
// Records appended before a failure stay.
int block_readdirtree(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno, int dirents,
                      AltusDirTree **altusdirt, int *nentries, int *altusdirtsize, void *modem,
                      void *dl, int verbose);
int block_readfile(SerialBuf *bufhandle, char *filepath, unsigned char *seqno, unsigned char **file,
                   int *nbytes, int *bufsize, int size, void *modem, void *dl);
int block_delfile(SerialBuf *bufhandle, char *filepath, unsigned char *seqno, void *modem,
                  void *dl);
int block_deldir(SerialBuf *bufhandle, char *dirpath, unsigned char *seqno, void *modem, void *dl);
int block_acqstop(SerialBuf *bufhandle, unsigned char *seqno, void *modem, void *dl);
int block_acqstart(SerialBuf *bufhandle, unsigned char *seqno, void *modem, void *dl);
// On success *altusparams is a newly allocated header, freed by the caller.
int block_getparams(SerialBuf *bufhandle, unsigned char *seqno, AltusBlockParams **altusparams,
                    void *modem, void *dl);
// Writes altuspin, or (altuspin null) the current header overlaid with `params`; error
// (ALTUS_PARSEPARAMS_ERROR_SIZE bytes) receives the parser's complaint. An unchanged
// header touches nothing; otherwise ACQSTOP, SETPARAMS and always ACQSTART.
int block_setparams(SerialBuf *bufhandle, AltusBlockParams *altuspin, Pf *params,
                    unsigned char *seqno, void *modem, void *dl, char *error);
int block_readfileinfo(SerialBuf *bufhandle, char *filepath, unsigned char *seqno, AltusEvtTag *tag,
                       AltusEvtFile *fhdr, void *modem, void *dl);
// *resp (grown like mymem) receives the echo, *nbytes its length.
int block_ping(SerialBuf *bufhandle, char *string, unsigned char *seqno, char **resp, int *nbytes,
               int *bufsize, void *modem, void *dl);
