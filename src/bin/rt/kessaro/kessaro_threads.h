// kessaro_threads.h - kessaro's program-wide threads: the write thread (the single
// consumer of the write fifo, which hands each element to its writer), the status thread
// (the program's status report, at every status_interval or at once on request), the
// data-rate thread (each connected datalogger's link bit rate), and the program stash
// packet written once at start-up.
//
// Locking: the write fifo carries its own lock. The status text is composed holding
// Kessaro.status_mutex per datalogger, with Kessaro.statefile_mutex nested inside it for
// the link name and the event-file counts. The data rate is a KessaroShared (written by
// the data-rate thread, read by the status thread); the data-rate thread alone uses the
// other rate fields. The status and data-rate threads end when kessaro_halt is raised.
#pragma once

struct Kessaro;

// Pops elements until a stop is asked for (Kessaro.kill KESSARO_KILL_REQUESTED) and the
// fifo is empty, and hands each to its writer: event files and stream packets to the
// repackager, log lines to the log writer, event information and status texts to the
// parameter-file writer. Other types are dropped. Sets kill to KESSARO_KILL_WRITER_ENDED
// when it ends.
void *altus_write_thread(void *arg /* Kessaro * */);
// The stop protocol: kill = KESSARO_KILL_REQUESTED, an empty element to wake the writer,
// then up to 1000 pauses of 0.1 s for kill to become KESSARO_KILL_WRITER_ENDED.
// Everything queued before the call is written first. 0 when the writer has ended, -1
// when it did not in time.
int altus_write_thread_stop(Kessaro *altus);

void *altus_status_report(void *arg /* Kessaro * */);
// The status report as parameter-file text, a new text (free()); none on failure.
char *altus_make_status(Kessaro *altus);

void *altus_datarate(void *arg /* Kessaro * */);
// One pass of the data-rate thread over every datalogger at the current time.
void altus_datarate_update(Kessaro *altus);

// Writes the stash packet (command line and the whole parameter file) under
// status_srcname to the status orbtag. 0, or -1 when it cannot be built.
int make_program_stash(Kessaro *altus);
