// kessaro_state.h - the state file: what each datalogger must remember across restarts
// (stream position, contact times, last health values, its event-file list), written by
// mybury as parameter-file text and read back by parse_state at start-up.
//
// Format (one line each, "\n" line ends):
//   dataloggers &Arr{
//   <target_name> &Arr{                 one block per datalogger, in target-name order
//   lasttime %.5f
//   nextseq %d                          the coded stream sequence number from which a
//                                       start fetches: the first not yet in the ring
//   seqfromzero 1                       only with nextseq 0 of a stream counting from a
//                                       counter reset: the counters are kept
//   nstreams %d                         stream channels the sequence was coded with
//   lcom %d
//   lasteventscount %d
//   last_blockmode_time %f              ... and the other contact times, each "%f":
//                                       last_monitormode_time, last_listing_time,
//                                       last_connection_attempt_time,
//                                       last_connection_ended_time, last_data_time,
//                                       last_stream_data_time, last_clock_latency,
//                                       last_params_time, last_status_time
//   last_connected_modem %s             left out when empty
//   nchannels %d / latitude %f / longitude %f / elevation %d / temperature %d /
//   voltage %d / dra %d / drb %d / clock_source %d / gps_status %d
//   eventfiles &Tbl{
//   <path with '/' for '\'> %.3lf(time) %d(size) %d(processed)
//   }
//   }
//   }
// A file without "nstreams" or "seqfromzero" (written before they existed) still loads.
//
// Locking: mybury holds Kessaro.statefile_mutex while it reads the datalogger records
// (the event download replaces a file list, and the status report writes
// last_connected_modem, under the same lock) and writes the file. parse_state runs
// before any thread starts and takes no lock.
#pragma once

struct Kessaro;

// Writes the state of every datalogger to Kessaro.statefile_name: the whole text goes to
// a temporary file in the same directory, is flushed to disk and renamed over the state
// file, so a crash or a failed write leaves the previous file whole. No state-file name:
// 0, nothing written. -1 (complained about) when the file cannot be written.
int mybury(Kessaro *altus);

// Restores the dataloggers of `record` from the state file. 0 when every block was read;
// -1 after one registered message when the file cannot be read or parsed, or a block
// lacks a required key or holds a malformed value (dataloggers read before stay
// restored). A malformed event-file row drops that datalogger's file list and event count
// with a complaint, and reading goes on.
int parse_state(char *statefile, Kessaro *record);
