// readfile.h - reading a whole stream or file into a std::string. Stateless; callable
// from any thread. Nothing is logged: callers report failures in their own words.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

// Appends what is left of stream f to *out. 0 at its end; -1 with errno set on a read
// error, or with EFBIG once *out would pass `limit` bytes (what was read stays in *out).
int readfile_stream(FILE *f, std::string *out, size_t limit = (size_t)-1);
// The whole file at `path` in *out (replaced). 0, or -1 with errno set when it cannot be
// opened or read, or is longer than `limit` bytes (EFBIG).
int readfile(const char *path, std::string *out, size_t limit = (size_t)-1);
