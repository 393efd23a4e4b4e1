// altuscomsubs_getevents.h - event download and the datalogger's file listings, and the
// datalogger file commands of the dispatcher ("delfile", "deltree", "dir", "dirtree",
// "evtinfotree").
//
// Everything runs on the link thread that holds the datalogger's connection. The
// datalogger's `files` list is replaced under Kessaro.statefile_mutex (the state-file
// writer reads it); it is changed only on that thread otherwise.
#pragma once

#include <string>
#include <vector>

#include "kessaro.h"

// What getevents returns besides -1 and a transaction status.
enum AltusGeteventsResult : int {
  GETEVENTS_DONE = 0,
  GETEVENTS_HALTING = 4,   // the program halts (the download is left incomplete)
  GETEVENTS_ALREADY = 15,  // a download is running already
};

// Downloads the events of the datalogger connected to `modem`, answering progress on
// `cmd` (none when internal): an AltusGeteventsResult, else -1 or a status.
int getevents(Modem *modem, int callmode, Pf *cmd);

// With `path`, lists that directory tree into a new array (*dirtree, *dirtree_n);
// without, rebuilds the datalogger's event-file list (an old entry's state is kept only
// for the same path, time and size) and, when asked, also hands out the whole walk.
// 0, -1 or a transaction status.
int get_dirtree(AltusDatalogger *dl, Modem *modem, Pf *cmd, char *path, int dirents,
                unsigned char *seqno, AltusDirTree **dirtree, int *dirtree_n);

// Sort order of AltusDirTree entries, oldest first: 1 when a's time is later, -1 when
// earlier, 0 when equal.
int altusdirt_compare(const void *a, const void *b);

// Carries out one file command (`words[0]` is the command word, the rest its arguments)
// for the dispatcher on the datalogger's connected link, with the dispatcher's block
// sequence number, and answers the request itself. 0 when done, else a failure code.
int altus_file_command(Kessaro *altus, AltusDatalogger *dl, Modem *modem, Pf *cmd,
                       const std::vector<std::string> &words, unsigned char *seqno);
