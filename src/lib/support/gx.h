// gx.h - the gx line reader: text read line by line from a mapped file or from the
// complete output of a command.
//
// A handle is a small integer indexing a process-wide table of GxFile records; a new
// handle takes the lowest free slot. gxopen maps a file at once. gxpipe starts a command
// (no shell, no PATH search) with its standard output and standard error in an unlinked
// temporary file; the first gxline waits for the command to end and maps that file.
// The table owns its records; gxclose unmaps, closes, reaps a command that was never
// read and frees the record.
//
// Locking: one process-wide mutex guards the table and the opening and closing calls.
// gxline, gxtell and gxseek work on their record outside the mutex, so one handle
// belongs to one thread at a time.
#pragma once

#include <cstdint>

struct GxFile {
  char *data;       // the mapped text; none until mapped
  int32_t size;     // number of mapped bytes
  int32_t pid;      // the command's process id; -1 for none (or once reaped)
  int32_t fd;       // the command's temporary output file, or -1
  int32_t pipe_fd;  // our end of the command's input pipe (0 for a file, -1 once closed)
  int32_t pos;      // read position, 0 to size
};

// A new record: data none, size 0, pid -1, fd -1, pipe_fd 0, pos 0. Out of memory is
// fatal.
GxFile *gnew(void);

// Maps the file at `path`. Returns the handle, or -1 after complaining (can't open,
// can't examine, empty, larger than 2 GB, can't map).
int gxopen(const char *path);

// Runs `command`, split at blanks into words; the first word is the program's path. The
// environment is `env` (a list ended by none; none gives an empty environment). The
// command reads end of file on its standard input at once. *fd (when given) receives our
// end of that input pipe. Returns the handle, or -1 after logging why. An exec that fails
// is complained about here; the handle then reads as empty output.
int gxpipe(const char *command, char *const env[], int *fd);

// Waits for the command of `gx` to end and maps its output; on failure (no command, no
// output file, empty output, mapping refused) the record stays without data.
void gxmap(GxFile *gx);

// Copies the next line (without its newline) into buf, NUL-terminated. Returns 1 for a
// line (an empty line included), 2 when size-1 characters filled the buffer before the
// line ended (the rest comes with the next call), 0 at the end of the data (or a NUL in
// the data, or an unknown handle), -1 for a buffer smaller than 2 bytes.
int gxline(int handle, char *buf, int size);

// The read position, or -1 for an unknown handle.
int gxtell(int handle);
// Moves the read position to 0..size; -1 for a position outside that or an unknown handle.
int gxseek(int handle, int position);
// Releases the handle. Returns the result of unmapping (0 when nothing was mapped), or -1
// for an unknown handle.
int gxclose(int handle);
