// writefile.cpp - writing every byte to a descriptor, and making a rename last.
#include "base/writefile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

int writefile_all(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return -1;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return 0;
}

void writefile_sync_folder(const char *path) {
  std::string p = path ? path : "";
  size_t slash = p.rfind('/');
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : p.substr(0, slash);
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}
