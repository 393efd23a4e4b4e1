// altuscomsubs_output.h - the output pipeline: everything kessaro produces for the
// outside world (event files, stream packets, log lines, event summaries, status texts)
// enters altuscom_push_data, is routed in the producer's thread (event files saved, the
// stream data-gap check) and queued as a private AltusPacket copy on Kessaro.mtfifo_write;
// the write thread hands each copy to one of the writers here and frees it.
//
// Locking: the routing functions run in any producer thread and share only the write
// fifo (thread-safe); the gap bookkeeping touches datalogger fields without a lock (one
// link thread streams from a datalogger). The writers run only in the write thread;
// flush_repackage_buffers runs after it has ended. The calibration re-check flag and its
// time are atomics, shared with the event-information writer on link threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "packet/logpkt.h"  // log2orbpkt

struct Modem;
struct AltusDatalogger;
struct Kessaro;
struct AltusChan;

// ---- the write queue element ----

// Types of AltusPacket.
enum {
  ALTUSPKT_EVTFILE = 0,
  ALTUSPKT_STREAM = 1,
  ALTUSPKT_LOG = 2,
  ALTUSPKT_STOP = 3,
  ALTUSPKT_EVTINFO = 4,
  ALTUSPKT_STATUS = 5
};

struct AltusPacket {
  double time;
  AltusDatalogger *datalogger;  // or none
  Modem *modem;                 // or none
  char *pathname;               // owned, or none
  int type;
  unsigned char *data;  // owned, or none
  int nbytes;
  // A stream packet counted in its datalogger's ring_pending: its coded number.
  int ring_tracked;
  unsigned ring_seq;
};

// The coded stream number from which a restart must fetch again: the lowest one handed
// to the output and not yet in the ring, else nextSeq (0: counters start afresh, unless
// *from_zero is set: the stream counts from a counter reset and needs its packet 0).
unsigned altuscom_ring_nextseq(AltusDatalogger *dl, int *from_zero = nullptr);
// Notes, for every stream output channel of every datalogger, the time of the last sample
// that its ring holds (ring_newest_sample_times), so that what the datalogger sends again
// after a restart is not written twice. Called once at start-up, before the links start.
void altuscom_ring_overlap_init(Kessaro *altus);

// Frees a write-queue element with its pathname and data; none: nothing.
void altuspacket_free(AltusPacket *pkt);

// Calibration re-check state: the flag (initially raised) asks the next calibration
// lookup to re-read its tables; it is raised again at most once a minute.
extern std::atomic<int> pktchannelcalib_check;
extern std::atomic<uint32_t> pktchannelcalib_check_time;  // whole seconds since 1970
// Applies the once-a-minute rule at `now`.
void pktchannelcalib_recheck(double now);
// The calibration of an output channel whose calib comes from the database: applies the
// re-check rule, asks the program's lookup (Kessaro.calibstuff) for the channel at `time`
// and writes calib, calper and the segment type it gives into the channel. Returns the
// lookup's bits; -1 without a lookup or when it fails (the next lookup then re-reads the
// tables). Only the write thread calls it.
int altuscom_calib_lookup(Kessaro *altus, AltusChan *ch, double time);

// Hands `fbuf` to the pipeline (types ALTUSPKT_* above). Types 0, 1, 4 and 5 take
// the buffer over on success; 2 and 3 copy the text. A null fbuf: 0, nothing done.
// -1 (registered, nothing taken over) for an unknown type or no memory.
int altuscom_push_data(int type, Modem *modem, AltusDatalogger *dl, double time, char *pathname,
                       unsigned char *fbuf, int nbytes);
// Routes one packet by type, then frees it.
int altuscom_dataout(Kessaro *altus, AltusPacket *pkt);
// Queues a private copy of the packet on the write fifo.
int output_pkt2fifo(Kessaro *altus, AltusPacket *pkt);
int output_stream_pkt(Kessaro *altus, AltusPacket *pkt);
// Saves the file under evt_file_dir when the datalogger asks for it and the path is
// safe, and queues it for the ring whatever the outcome of the saving.
int output_event_file(Kessaro *altus, AltusPacket *pkt);

// Writers of the write thread; they never free the element they are given.
void repackage_stream_pkt(Kessaro *altus, AltusPacket *pkt);
void repackage_event_pkt(Kessaro *altus, AltusPacket *pkt);
void output_pf(Kessaro *altus, AltusPacket *pkt);
void output_log_msg(Kessaro *altus, AltusPacket *pkt);

// Status pushes are not sent; 0.
int altuscom_push_status(AltusDatalogger *dl);
void flush_repackage_buffers(Kessaro *altus);

// The position of `physical` among the set bits of channel_bitmap, -1 when its bit is
// clear (or it is outside 0..31).
int mapchanindex(int channel_bitmap, int physical);
// 1 when both are given and the datalogger's model is "MtWhitney" (resp. "ROCK").
int altuscom_ismw(void *modem, void *dl);
int altuscom_isrock(void *modem, void *dl);
