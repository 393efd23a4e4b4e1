// kessaro - real-time acquisition from Kinemetrics Altus dataloggers over serial lines,
// modems and TCP. The entry point; the program is in kessaro_start.cpp.
#include "kessaro_start.h"

int main(int argc, char **argv) { return kessaro_main(argc, argv); }
