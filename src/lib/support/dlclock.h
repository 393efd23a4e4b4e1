// dlclock.h - a datalogger's clock offered to the host's NTP daemon as a shared-memory
// reference clock.
//
// The segment is a System V shared-memory segment of 80 bytes with key 0x4E545030 ("NTP0")
// plus the unit (0..3), created when missing with mode 0777. Its layout is the NTP
// daemon's reference-clock record: ten 32-bit host-order words and ten reserved words.
// _init_Dlclock attaches one unit per process and keeps it until exit; set_Dlclock then
// publishes each sample. The reader is the NTP daemon in another process: a sample is
// written with valid cleared first and set last, every word stored in order (release
// stores, a barrier on weakly ordered processors), and count rises once per sample. No
// lock: one thread publishes.
#pragma once

#include <sys/time.h>

#include <cstdint>

struct Dlclock {
  int32_t mode;                  // 1
  int32_t count;                 // raised by 1 per sample
  int32_t clockTimeStampSec;     // datalogger time, seconds since 1970
  int32_t clockTimeStampUSec;    // its microseconds
  int32_t receiveTimeStampSec;   // host time of the sample
  int32_t receiveTimeStampUSec;  // its microseconds
  int32_t leap;                  // 0
  int32_t precision;             // -1
  int32_t nsamples;              // not written
  int32_t valid;                 // 0 while writing, 1 when done
  int32_t reserved[10];          // not written
};
static_assert(sizeof(Dlclock) == 80, "the reference-clock record is 80 bytes");

enum { DLCLOCK_KEY = 0x4E545030 };

// Attaches the segment of `unit` once per process (a second call does nothing). A unit
// outside 0..3 or a segment that can't be got or attached is fatal.
void _init_Dlclock(int unit);
// Publishes one sample: the datalogger time (epoch seconds) with the host time now.
// Nothing before _init_Dlclock.
void set_Dlclock(double datalogger_time);
// Gets (creating when missing) and attaches the segment of `unit`; *shmid receives the
// segment id (-1 when it can't be got). Returns the record, or none after logging why.
Dlclock *AttachSharedMemory(int unit, int *shmid);
// Writes one sample into `clock`: the host time, the datalogger time as seconds and
// microseconds, and the leap indicator.
void PutTimeStamp(const struct timeval *host, long dl_sec, long dl_usec, Dlclock *clock, int leap);

// Test seams.
// The key of unit 0 (each unit adds its number); IPC_PRIVATE makes every attach a new
// private segment. Returns the previous base. DLCLOCK_KEY is the NTP daemon's.
long dlclock_set_key_base(long base);
// The record and segment id attached by _init_Dlclock (none and -1 before).
Dlclock *dlclock_attached(int *shmid);
// Detaches the process-wide attachment, so that _init_Dlclock attaches again.
void dlclock_detach(void);
