// kessaro - real-time acquisition from Kinemetrics Altus dataloggers over serial lines,
// modems and TCP. The entry point; the program is in kessaro_start.cpp.
#include <malloc.h>

#include "kessaro_start.h"

int main(int argc, char **argv) {
  // The C library gives each thread that allocates while the others' heaps are busy a
  // heap of its own, reserved at its full size (1 MiB on a 32-bit target, 64 MiB on a
  // 64-bit one) and kept for the life of the process. Connection threads that come and go
  // (callers of a TCP-server link) would leave one such reservation each behind; a few
  // heaps serve the program's threads.
  mallopt(M_ARENA_MAX, 4);
  return kessaro_main(argc, argv);
}
