// muldrin_stash.h - stash packets: the program's (command line, parameter file, the
// calibration database's "dlsite" rows) under the status source name, and each
// datalogger's (model, serial number, output channels with their waveform source names)
// under its log source name.
//
// Locking: write thread only (the writer calls q330_make_orbstash before a status packet
// and before a datalogger's log packet). The request flags are plain flags set elsewhere;
// one set while a stash is built takes effect with the next packet.
#pragma once

#include <string>

#include "muldrin.h"

struct PacketDef;

// With a session: its stash when one is pending and the program has a log orbtag. With
// none: the program stash when pending and the program has a status orbtag. Nothing with
// -nostash. 0.
int q330_make_orbstash(Q330 *q330);

// The waveform source name of a channel, computed once into `srcname` (64 bytes) from its
// packet definition; an empty text when it cannot be made (tried again next time).
const char *muldrin_chan_srcname(PacketDef *pd, const char *net, const char *sta, const char *chan,
                                 const char *loc, char srcname[64]);
// The two stash texts (for tests).
std::string muldrin_dl_stash_text(Q330 *q330);
std::string muldrin_program_stash_text(Muldrin *m);
// Closes the kept calibration database (tests).
void muldrin_stash_reset(void);
