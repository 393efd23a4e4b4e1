// serialbuf_ioctls.cpp - carrier detect and DTR hang-up of a serial line, with the test
// hook that can stand in for them.
#include "bytestream/serialbuf_ioctls.h"

#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "bytestream/serialbuf.h"

namespace {
std::atomic<const SerialbufLineOps *> g_line_ops{nullptr};
}

void serialbuf_set_line_ops(const SerialbufLineOps *ops) { g_line_ops.store(ops); }

int serialbuf_isoffhook_system(int fd) {
  int status = 0;
  if (ioctl(fd, TIOCMGET, &status) < 0) return 0;
  return (status & TIOCM_CAR) ? 0 : 1;
}

int serialbuf_hangup_system(int fd) {
  struct termios t;
  if (tcgetattr(fd, &t) < 0) return -1;
  // Control flags zero select speed 0, which drops DTR.
  t.c_cflag = 0;
  cfsetispeed(&t, B0);
  cfsetospeed(&t, B0);
  if (tcsetattr(fd, TCSADRAIN, &t) < 0) return -1;
  return 0;
}

int serialbuf_isoffhook(int fd) {
  if (const SerialbufLineOps *ops = g_line_ops.load(); ops && ops->isoffhook)
    return ops->isoffhook(fd, ops->user) ? 1 : 0;
  return serialbuf_isoffhook_system(fd);
}

int serialbuf_hangup(int fd) {
  if (const SerialbufLineOps *ops = g_line_ops.load(); ops && ops->hangup)
    return ops->hangup(fd, ops->user) < 0 ? -1 : 0;
  return serialbuf_hangup_system(fd);
}
