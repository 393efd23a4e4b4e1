// fdwait.cpp - a poll() for readability whose time limit is clock-seam time.
#include "base/fdwait.h"

#include <poll.h>

#include <cerrno>
#include <cmath>

#include "base/clock.h"

int fdwait(int fd, int ms) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  double deadline = ms >= 0 ? clock_monotonic() + ms / 1000.0 : 0;
  int wait = clock_real_ms(ms);
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    int rc = poll(&p, 1, wait);
    if (rc > 0) {
      if (p.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
      }
      return 1;
    }
    if (rc == 0) return 0;
    if (errno != EINTR) return -1;
    if (ms >= 0) {
      double left = deadline - clock_monotonic();
      if (left <= 0) return 0;
      wait = clock_real_ms((int)std::ceil(left * 1000.0));
    }
  }
}
