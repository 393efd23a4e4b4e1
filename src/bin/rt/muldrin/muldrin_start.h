// muldrin_start.h - muldrin's start-up, main loop and exit, callable in-process.
//
// Locking: runs on the main thread; other threads are started from here.
#pragma once

// The whole program after elog_init: command line, process-id file, calibration lookup,
// parameter file, ring connections, output queue, signals and write thread, start-up
// lines, then the main loop until a stop signal or muldrin_halt, and the orderly
// shutdown. Returns the exit status: 0 after shutdown, 1 for a command-line error. Fatal
// start-up errors end the process through elog_die.
int muldrin_main(int argc, char **argv);
