// memreport.h - the program's address space as it sees it, for measurements.
//
// memreport_virtual sums the mappings listed in /proc/self/maps. Under a user-mode
// emulator that list is the emulated program's own (the emulator's mappings are left out),
// so it measures the program as it would run on its target, where the host's numbers of
// the emulator process cannot.
//
// Reservations are the mappings without any access (guard pages, the C library's reserved
// heap arenas: 64 MiB each on a 64-bit target, 1 MiB on a 32-bit one). They cost address
// space only, which matters on the 32-bit target and not on a 64-bit one.
//
// With VANTREL_MEMORY_REPORT set in the environment the sums are sampled at every thread
// start (threadstart_create, after the new stack is mapped) and at exit, and the program
// prints at exit one line to standard error:
//   memreport: virtual V peak P accessible A peak Q
// V the sum of all mappings at exit, P the largest sampled, A and Q the same without the
// reservations, all in bytes. Never on in service.
#pragma once

// The summed size in bytes of the mappings in /proc/self/maps (with `accessible` set,
// of those with some access right only); -1 when it cannot be read.
long long memreport_virtual(bool accessible = false);

// Prints the report line now when the report is on, once: for a program that leaves
// with _exit, where the handler at exit does not run. threadstart_report calls it.
void memreport_print(void);

// Takes a sample when the report is on (the first call arms the report at exit); does
// nothing otherwise. Thread-safe.
void memreport_sample(void);
