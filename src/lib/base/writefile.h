// writefile.h - writing every byte to a descriptor, and making a rename last. Stateless;
// callable from any thread. Nothing is logged: callers report failures in their own words.
#pragma once

#include <cstddef>

// Writes all n bytes of buf to fd, going on after short writes and interrupted calls. 0, or
// -1 with errno set on an error or a write that makes no progress.
int writefile_all(int fd, const void *buf, size_t n);
// Flushes the folder that holds `path` to disk, so that a rename into it survives a crash.
// Failure costs only the durability of the newest name, so it is not reported.
void writefile_sync_folder(const char *path);
