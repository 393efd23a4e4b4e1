// fdwait.h - waiting for a descriptor to become readable, through the clock seam.
// No state; callable from any thread.
#pragma once

// Waits until descriptor `fd` is readable, for at most `ms` milliseconds of clock time
// (a negative `ms`: no limit). Returns 1 when a read would not block (data, end of
// input such as a closed writer, or an error condition the read will report), 0 when the
// time ran out, -1 with errno set on failure (EBADF for a descriptor that is negative or
// not open). A signal does not cut the wait short: it goes on for the time that is left.
// Nothing is logged.
int fdwait(int fd, int ms);
