// altuscomsubs_stream.h - stream acquisition of a link, as the block operations see it.
//
// The block operations pause the stream around their transactions, continue it after,
// and hand pending stream packets to the output before acquisition stops. No stream
// handler can be installed yet, so these calls have nothing to act on. Link thread only.
#pragma once

void altuscom_process_stream_pause(void *modem);
void altuscom_process_stream_continue(void *modem);
int altuscom_flush_stream_packet(void *modem, void *dl, int all, int force);

struct Modem;
struct Pf;
// Runs a stream on the datalogger connected to `modem` until it ends, answering `cmd`
// (none from a dial-in). Not built yet: complains and gives -1.
int getstream0(Modem *modem, Pf *cmd);
