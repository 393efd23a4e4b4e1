// muldrin_write.h - muldrin's output queue and its write thread.
//
// Every datalogger session (through myout_callback) and the program itself (through
// muldrin_output) hand their output to the queue of the program record; one write thread
// (run_write_thread) pops each item and turns it into ring-buffer packets (q330_write).
// Urgent items (types 3 and 15) go into a second queue that the writer drains before the
// data queue, so they overtake data but keep their order among themselves.
//
// Ring refusals (ringsvc/orbwrite.h): log and time packets are retried until the ring
// takes them; status and database rows are put once; waveform packets are retried, and
// dropped (counted) once the ring has refused everything for `ring_refusal_drop_time`,
// when the waveform data queued behind a waiting log packet is dropped too. The same log
// text from one source goes to the ring at most ELOG_FLOOD_BURST times a minute, then
// once a minute with its count.
//
// Back-pressure: producers that ask first (Q330_OUT_QUERY) wait while the data queue is
// longer than `mtfifo_write_queue` (above 0); once a stop is asked for (myshutdown), none
// waits any more, so that every wait of the shutdown ends.
//
// Locking: the queues carry their own locks; the writer's packets and buffer are used by
// the write thread only (q330_write is called from that thread alone, or before it
// starts). The program record is set once with muldrin_write_setup before any producer
// runs.
#pragma once

#include "muldrin.h"
#include "packet/logpkt.h"     // log2orbpkt
#include "support/pfstring.h"  // my_pf2string

struct Pf;

// One queue item; owns its payload from the moment it is queued.
struct Q330Output {
  Q330 *q330 = nullptr;  // the producing session; none for the program's own items
  int type = 0;
  void *q330data = nullptr;
  int q330data_size = 0;
};

// Makes `muldrin` the program record that the producers and the writer use, and creates
// its two queues (no limit, blocking pops). 0, or -1 when a queue cannot be made.
int muldrin_write_setup(Muldrin *muldrin);
// Frees the queues and any items left in them; the writer must have stopped.
void muldrin_write_teardown(Muldrin *muldrin);

// The program record given to muldrin_write_setup (none before).
Muldrin *muldrin_write_program(void);

int myout_callback(Q330 *q330, int type, void *q330data, int q330data_size);
// Types 3 and 4: fmt and its arguments as for printf; type 5: fmt is parameter-file text.
int muldrin_output(int type, const char *fmt, ...);
void *run_write_thread(void *arg);
int q330_write(Q330 *q330, int type, void *q330data, int q330data_size);
int q330_outtype(int type, char *string);

// How long the writer waits for an item before looking at `kill` again, and how long
// after the stop request it still retries log and time packets that the ring refuses
// (as long as shutdown waits for it; at once no longer when the ring file was cut).
inline constexpr double MULDRIN_WRITE_POLL = 1.0;
inline constexpr double MULDRIN_WRITE_DRAIN = 100.0;
