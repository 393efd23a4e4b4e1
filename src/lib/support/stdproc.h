// stdproc.h - small process helpers: file offset, executable paths, user lookup,
// shared-library loading, string removal and the start-up banner.
//
// getexecname caches the path on its first call (thread-safe) and owns it; pidexecname
// returns a new string that the caller frees with free(). std_getpwnam fills a record
// whose strings live in the caller's buffer. Nothing here keeps other state.
#pragma once

#include <pwd.h>
#include <sys/types.h>

#include <cstddef>

// Current offset of the descriptor (lseek(fd, 0, SEEK_CUR)).
off_t tell(int fd);

// Registers "<name> is unimplemented on this platform" and returns value.
int UNIMPLEMENTED(const char *name, int value);

// Does nothing; returns 0.
int nomem(void);

// Removes the first occurrence of part from text, in place: 1, or 0 when part is
// absent or empty.
int delstr(char *text, const char *part);

// Opens a shared library with lazy binding: a name beginning with "/" as it is, any
// other name as <install root>/lib/lib<name>.so.3. The handle, or none (also for a
// path longer than 4095 characters, with a registered error).
void *std_dlopen(const char *library);

// Looks up a user with the reentrant lookup; the record's strings point into buf
// (bufsize bytes), which the caller owns. 0 when found; -1 with the record zeroed when
// the user is unknown, or when the lookup fails (errno ERANGE: buf too small).
int std_getpwnam(const char *name, struct passwd *pw, char *buf, size_t bufsize);

// The executable's path, read once from /proc/self/exe; "" when it cannot be read.
const char *getexecname(void);

// Executable path of a process, or its command line (arguments separated by blanks)
// when the path cannot be read; "" after a registered error when neither can. A new
// string, freed by the caller.
char *pidexecname(int pid);

// Prints the start-up banner to standard error: the program (the argument, else the
// error log's program name, else the executable path) with the revision text (without
// "$Revision: ", "$Date: " and their closing " $"), then the suite's version text
// (support/version.h). Returns the result of the last write.
int banner(const char *program, const char *revision);
