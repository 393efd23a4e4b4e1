// statefile.h - the size bound of the programs' state files, and their bounded reading.
//
// A state file holds a few lines per datalogger; one far larger (a fault, or text planted
// there) would make a program hold many times its size while it parses it. The bound is
// far above any real file: STATEFILE_PER_DATALOGGER bytes per datalogger, at most
// STATEFILE_MAX. Stateless; callable from any thread.
#pragma once

#include <cstddef>

struct Pf;

enum : size_t {
  STATEFILE_PER_DATALOGGER = (size_t)1 << 20,  // 1 MiB
  STATEFILE_MAX = (size_t)16 << 20,            // 16 MiB
};

// The bound for a program of `ndataloggers`; STATEFILE_MAX when the number is not known
// yet (0 or less: the file is read before the parameter file).
size_t statefile_limit(long ndataloggers);

enum StatefileResult {
  STATEFILE_OK = 0,
  STATEFILE_UNREADABLE = -1,  // cannot be opened or read (errno set)
  STATEFILE_TOO_LARGE = -2,   // larger than the bound: not read at all
  STATEFILE_BROKEN = -3,      // not parameter-file text (the parser's message registered)
};
// Reads the state file at `path` into *pf (the caller's, pffree) when it is at most
// `limit` bytes. One of StatefileResult; *pf is none for any but STATEFILE_OK.
int statefile_read(const char *path, size_t limit, Pf **pf);
