// readfile.cpp - whole streams and files in 8 KiB reads.
#include "base/readfile.h"

#include <cerrno>

int readfile_stream(FILE *f, std::string *out, size_t limit) {
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) {
    if (n > limit || out->size() > limit - n) {
      errno = EFBIG;
      return -1;
    }
    out->append(buf, n);
  }
  if (ferror(f)) {
    if (errno == 0) errno = EIO;
    return -1;
  }
  return 0;
}

int readfile(const char *path, std::string *out, size_t limit) {
  out->clear();
  FILE *f = fopen(path, "rb");
  if (f == nullptr) return -1;
  int rc = readfile_stream(f, out, limit);
  int saved = errno;
  fclose(f);
  errno = saved;
  return rc;
}
