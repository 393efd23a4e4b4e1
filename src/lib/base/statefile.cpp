// statefile.cpp - the size bound of the programs' state files, and their bounded reading.
#include "base/statefile.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "base/pf.h"

size_t statefile_limit(long ndataloggers) {
  if (ndataloggers < 1) return STATEFILE_MAX;
  if ((size_t)ndataloggers >= STATEFILE_MAX / STATEFILE_PER_DATALOGGER) return STATEFILE_MAX;
  return (size_t)ndataloggers * STATEFILE_PER_DATALOGGER;
}

int statefile_read(const char *path, size_t limit, Pf **pf) {
  *pf = nullptr;
  FILE *f = fopen(path, "re");
  if (f == nullptr) return STATEFILE_UNREADABLE;
  struct stat st {};
  if (fstat(fileno(f), &st) != 0) {
    int err = errno;
    fclose(f);
    errno = err;
    return STATEFILE_UNREADABLE;
  }
  if (st.st_size < 0 || (unsigned long long)st.st_size > (unsigned long long)limit) {
    fclose(f);
    return STATEFILE_TOO_LARGE;
  }
  int rc = pfin(f, pf);
  fclose(f);
  if (rc != 0) {
    pffree(*pf);
    *pf = nullptr;
    return STATEFILE_BROKEN;
  }
  return STATEFILE_OK;
}
