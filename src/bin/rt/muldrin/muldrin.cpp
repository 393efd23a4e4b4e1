// muldrin - real-time acquisition from Quanterra Q330 dataloggers over QDP/UDP.
// The program's entry point; the work is in muldrin_main.
#include "base/elog.h"
#include "muldrin_start.h"

int main(int argc, char **argv) {
  elog_init(argc, argv);
  return muldrin_main(argc, argv);
}
