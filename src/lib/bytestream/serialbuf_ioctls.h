// serialbuf_ioctls.h - the modem-control lines of a serial line: the carrier-detect query
// and the DTR hang-up, behind a replaceable set of line operations.
//
// By default the operations are the system's (modem-status ioctl, termios speed 0). A
// test can install its own operations with serialbuf_set_line_ops to play a modem's
// control lines where the device cannot show them (a pseudo-terminal has none). The
// operations are process-wide: set them once, before threads use the layer; the
// pointer itself is read atomically.
#pragma once

struct SerialbufLineOps {
  // 1 when carrier detect is off, 0 when it is on or cannot be read.
  int (*isoffhook)(int fd, void *user);
  // Drops DTR: 0, or -1.
  int (*hangup)(int fd, void *user);
  void *user;
};

// Installs ops (kept by pointer: it must outlive its use); null restores the system's.
void serialbuf_set_line_ops(const SerialbufLineOps *ops);

// 1 when the status lines can be read and carrier detect is off; 0 otherwise.
int serialbuf_isoffhook(int fd);

// The system's operations, for a hook that wants to pass a call on.
int serialbuf_isoffhook_system(int fd);
int serialbuf_hangup_system(int fd);
