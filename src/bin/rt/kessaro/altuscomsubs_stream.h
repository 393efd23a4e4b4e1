// altuscomsubs_stream.h - stream acquisition of a datalogger on its link.
//
// getstream0 prepares the stream parameters, starts the stream, listens for packets
// through get_block and keeps the stream alive with continues. get_block hands each
// stream record to altuscom_process_stream_packet, which restores the interleaved order
// of live packets (the live-order window), puts packets in coded order (the reorder
// buffer, a ring of max_strbuf entries), asks for lost ones and hands packets to the
// output pipeline.
//
// Coded sequence: every stream shares one number space, coded = dataSeq * numStream +
// stream (unsigned 32-bit).
//
// Locking: everything runs on the link thread that holds the connection. The reorder
// buffer, the retransmission list and the live-order window are used under the
// datalogger's stream_mutex, which is never held across a transaction, a state-file write
// or a call into another module that could call back into the handler.
#pragma once

#include "kessaro.h"

// Newly allocated name of a stream state (AltusStreamState, kessaro.h) ("UNKNOWN" for any other
// value).
char *strstatus2str(int status);

// The stream handler. `data_type` 9 (AltusStrNak), 12 (live AltusBlockStrdata) or 13
// (retransmitted); the record is taken over. 0, or -1 for a packet that failed its CRC
// or was discarded out of stream order.
int altuscom_process_stream_packet(void *packet, int data_type, void *dl_void,
                                   int override_strdatabuf);

void altuscom_process_stream_pause(void *modem);
void altuscom_process_stream_continue(void *modem);
// Empties the stream buffers of the link's connected datalogger (`dl` unused): held
// packets are output when `write_output` is set, else freed; `null_callback` also removes
// the stream handler from the link. The state file is written when a reorder buffer was
// emptied.
int altuscom_flush_stream_packet(void *modem, void *dl, int null_callback, int write_output);
// Frees the live-order window of the link's connected datalogger.
int altuscom_flush_stream_strdata(void *modem);

// Hands every packet the reorder buffer holds to the output pipeline, in coded order
// from its head, with the datalogger's connected link, and marks each entry as output
// (ordering is being turned off; the stream goes on filling the buffer in unordered
// mode). Takes stream_mutex. The number of packets handed over.
int altuscom_output_held_packets(AltusDatalogger *dl);

// Take the head of the reorder buffer / of the live-order window (the caller holds
// stream_mutex). *out gets the entry's packet (a record, ALTUS_STRBUF_OUTPUT or none).
int pop_strpackets(AltusDatalogger *dl, AltusBlockStrdata **out);
int pop_strdatapackets(AltusDatalogger *dl, AltusBlockStrdata **out);

struct Modem;
struct Pf;
// What getstream0 returns when a stream or an event download already runs (answered).
enum { GETSTREAM_BUSY = 15 };
// Runs a stream on the datalogger connected to `modem` until it ends, answering `cmd`
// (none from a dial-in). 0 when the stream ended normally, GETSTREAM_BUSY, else the
// failing transaction's status.
int getstream0(Modem *modem, Pf *cmd);
