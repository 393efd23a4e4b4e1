// orbwrite.h - a writer's puts that wait out a ring refusing packets.
//
// A program's writer keeps one OrbWrite record for its ring writes. orbwrite_put tries a
// put and, while the ring refuses, tries again with pauses that double from 0.01 s to 1 s.
// Refusals are complained about once a minute (the source name, how many puts were
// refused and since when), never once per try. What ends the retry depends on the kind:
//   ORBWRITE_KEEP      log and time packets: only the ring taking it, or `give_up`
//                      answering non-zero (a shutdown's drain limit passed, or the ring
//                      gone while shutting down);
//   ORBWRITE_WAVEFORM  as KEEP, except that once the ring has refused every put for
//                      longer than `drop_after` seconds the packet is dropped and counted;
//                      the count goes to the log once a minute;
//   ORBWRITE_ONCE      one try (status and database rows, which a later one replaces).
// Between tries of a stall past `drop_after`, `waiting` is called, so that the program
// can drop the oldest waveform packets it has queued (counting them with
// orbwrite_dropped) and keep its queue bounded while a log packet waits for the ring.
// The ring file itself (cut shorter or deleted, orbring_state) is looked at at least
// once a minute by orbwrite_check and at every stall.
//
// Locking: the record's counters are guarded by its mutex, which is never held across a
// pause or a put; the settings are set before the writer runs. Several threads may put
// through one record (their stalls are one stall).
#pragma once

#include <cstdint>
#include <mutex>

enum OrbWriteKind { ORBWRITE_KEEP, ORBWRITE_WAVEFORM, ORBWRITE_ONCE };

struct OrbWrite {
  // Settings, set before the first put.
  double drop_after = 60;  // seconds of refusals before waveform packets are dropped; 0 never
  // Non-zero ends a retry; `ring_state` is orbring_state of the ring refusing, `mark`
  // a value of the one put (-1 at its first refusal) the hook may use, e.g. for a bound
  // per packet.
  int (*give_up)(void *user, const char *srcname, int ring_state, double *mark) = nullptr;
  void (*waiting)(void *user) = nullptr;  // called between tries past drop_after
  void *user = nullptr;

  std::mutex mutex;           // guards the rest
  double refused_since = 0;   // clock_monotonic of the stall's first refusal; 0: none
  double told = -1e300;       // last complaint of refusals
  double told_drop = -1e300;  // last complaint of drops
  int64_t refused = 0;        // puts refused since the last complaint
  int64_t dropped = 0;        // waveform packets dropped since the last complaint
  int64_t dropped_total = 0;  // waveform packets dropped in all
  double checked = -1e300;    // last look at the ring file
};

// The process's record, for writers that share one (a program's write thread and the
// layers it calls). Never freed.
OrbWrite *orbwrite_default(void);

// Writes one packet. 0 when the ring took it; -1 when it was given up (KEEP and WAVEFORM:
// give_up; ONCE: refused), or dropped (WAVEFORM, stall past drop_after). A refusal's
// message is taken out of the error log's register (the complaint speaks for it).
int orbwrite_put(OrbWrite *w, int orb, const char *srcname, double time, const char *packet,
                 int nbytes, OrbWriteKind kind);
// Forgets a stall and its counts (a writer starting afresh). The settings stay.
void orbwrite_reset(OrbWrite *w);
// Counts `n` waveform packets that the program dropped from its queue during a stall.
void orbwrite_dropped(OrbWrite *w, int64_t n);
// Whether the ring has refused every put for longer than drop_after (0 never stalls).
bool orbwrite_stalled(OrbWrite *w);
// Looks at the ring file of `orb` when a minute has passed since the last look (or at
// once with `now_too`); a cut or deleted ring is complained about by the ring client.
// Also writes the due complaint of a stall. orbring_state's result, ORBRING_HERE when
// it was not looked at.
int orbwrite_check(OrbWrite *w, int orb, int now_too);
