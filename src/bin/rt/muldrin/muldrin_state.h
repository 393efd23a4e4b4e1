// muldrin_state.h - muldrin's state file (-S): read once at start-up so that a restarted
// program resumes where the last one stopped, and written whole, atomically, on status
// output (at most once a minute) and at shutdown.
//
// File: parameter-file text, one block per datalogger in table order (q330_state.h),
// then "time %.3f" with the epoch time at which the write began. A file without a "time",
// one dated more than a day in the past or the future, or one that cannot be read is
// ignored with a complaint and never stops the program. It is read into a compact store
// (q330_statestore.h): a datalogger's block over 1 MiB is ignored alone, with a complaint
// naming it, and the store holds at most about twice the file.
//
// Writing: into "<file>-" (mode 0664), synced, renamed over the file, and the folder
// synced. On any failure the temporary file is closed and removed and the old file stays.
// Each session's block is one view of it, taken under its owners' locks (q330_state.h).
//
// Locking: `write_state_mutex` of the program record makes the writes one at a time and
// guards `write_state_time`. The pre-read runs before any thread starts.
#pragma once

#include "muldrin.h"

// Longest age (either way) of a state file that is still used, in seconds.
inline constexpr double MULDRIN_STATE_MAX_AGE = 86400.0;
// Least time between the writes that status reports cause, in seconds.
inline constexpr double MULDRIN_STATE_WRITE_INTERVAL = 60.0;

// With a statefile path, reads it into `statepf` (none when it is missing, broken or out
// of date; complained). 0.
int muldrin_read_statefile(Muldrin *muldrin);
// Writes the state file. 0 when written or there is nothing to do (no path, or before
// the parameter file was parsed); -1 when it failed (complained, and logged through
// muldrin_output), the old file untouched.
int write_state(Muldrin *muldrin);
// write_state when more than `interval` seconds passed since the last write began; else
// 0 without writing.
int write_state_if_due(Muldrin *muldrin, double interval);
