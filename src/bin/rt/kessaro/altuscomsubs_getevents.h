// altuscomsubs_getevents.h - event download and the datalogger's file listings, and the
// datalogger file commands of the dispatcher ("delfile", "deltree", "dir", "dirtree",
// "evtinfotree").
//
// Everything runs on the link thread that holds the datalogger's connection. Not built
// yet: each call complains and fails, which the dispatcher answers as the word's error.
#pragma once

#include <string>
#include <vector>

#include "kessaro.h"

// Downloads the events of the datalogger connected to `modem`, answering progress on
// `cmd` (none when internal). 0, 15 already running, 4 halting, else -1 or a status.
int getevents(Modem *modem, int callmode, Pf *cmd);

// With `path`, lists that directory tree into a new array (*dirtree, *dirtree_n);
// without, rebuilds the datalogger's event-file list. 0, -1 or a transaction status.
int get_dirtree(AltusDatalogger *dl, Modem *modem, Pf *cmd, char *path, int dirents,
                unsigned char *seqno, AltusDirTree **dirtree, int *dirtree_n);

// Carries out one file command (`words[0]` is the command word, the rest its arguments)
// for the dispatcher on the datalogger's connected link, with the dispatcher's block
// sequence number, and answers the request itself. 0 when done, else a failure code.
int altus_file_command(Kessaro *altus, AltusDatalogger *dl, Modem *modem, Pf *cmd,
                       const std::vector<std::string> &words, unsigned char *seqno);
