// orbreapthr.h - ring-buffer worker threads: a reap thread that waits for the packets of
// one connection and queues copies of them (OrbreapThr), and a put thread that
// writes queued packets to one connection (OrbputThr), so that their users never wait on
// the ring.
//
// Ownership: a queued mypacket belongs to its queue until it is taken out; the bytes it
// points to belong to the record. Each worker record is shared by its owner and its
// thread: it is freed by whichever of the two lets go last (the destroy call or the
// thread as it ends), never while its thread still runs. A reap record owns its
// connection and closes it on destruction; a put record does not.
//
// Stopping is cooperative and bounded. The stop flags are atomics that the threads look at
// before and after every ring call and between retries; a failing reap or put is retried
// after a short pause. A stop releases the queue's block, so neither a thread nor a
// stopper ever waits on a full queue, and a reap stop closes the connection, which ends
// the thread's wait for a packet at once. No signal is sent to a worker and no worker is
// cancelled: a thread still inside a ring call when a stopper's time bound passes is left
// to end on its own, and frees its record itself when its owner has already let go.
//
// Locking: the reap record's mutex guards its pending select, reject and after values;
// everything else shared is atomic or goes through the queue's own lock. Every operation
// may be called from any thread, except that a record must not be used once its destroy
// has been called.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "ring/orb.h"

struct Pmtfifo;

// One queued packet.
struct mypacket {
  int pktid;                      // ring packet id (reap side); 0 on the put side
  double time;                    // packet time, epoch seconds
  char srcname[ORBSRCNAME_SIZE];  // at most 63 characters and a NUL
  char *packet;                   // malloc'ed bytes, none when the packet is empty
  int nbytes;
};
// Frees the bytes and the record (a none record: nothing). The queues' item destructor.
void free_mypacket(void *item);

typedef struct orbreapthr_ {
  Pmtfifo *mtfifo;           // queue of mypacket, owned
  pthread_t run_thread;      // the reap thread (detached)
  std::mutex mutex;          // guards select, reject and after
  char *orbname;             // ring to open first; none when made on an open connection
  char *select;              // pending select expression, none when nothing is pending
  char *reject;              // pending reject expression
  double after;              // pending start time; -1.0 when none is pending
  std::atomic<int> orb;      // connection; -1 while orbname is still to be opened
  int block;                 // blocking flag of the queue
  std::atomic<int> halt;     // 0 running, 1 stop asked, 2 stopped
  std::atomic<int> reaping;  // 1 while the thread is inside orbopen or orbreap
  std::atomic<int> refs;     // holders of the record: the owner and the running thread
} OrbreapThr;

typedef struct orbputthr_ {
  Pmtfifo *mtfifo;            // queue of mypacket, owned
  pthread_t run_thread;       // the put thread (detached)
  int orb;                    // connection (not owned)
  std::atomic<int> halt;      // 0 running, 2 stopped
  std::atomic<int> putting;   // 1 while the thread is writing a packet
  std::atomic<int> stopping;  // stop asked: puts are refused, the queue is drained
  std::atomic<int> abandon;   // the stopper gave up: drop the packet being retried
  std::atomic<int> refs;      // holders of the record: the owner and the running thread
} OrbputThr;

// A reap thread on the open connection `orb`. timeout 0 makes orbreapthr_get return at
// once when nothing is queued, a positive timeout makes it wait up to that many seconds,
// a negative one without limit. maxqueue bounds the queue (0: no bound). None on failure.
OrbreapThr *orbreapthr_new(int orb, double timeout, int maxqueue);
// The same, but the thread opens `orbname` itself (retrying each second until it can, or
// until it is stopped), then applies select, reject (none for either: no change) and
// after (-1: no change).
OrbreapThr *orbreapthr_new2(const char *orbname, const char *select, const char *reject,
                            double after, double timeout, int maxqueue);

// Pending settings: each replaces the one not yet applied (none clears a pending
// expression). The thread applies them after its next packet or reap error. 0.
int orbreapthr_select(OrbreapThr *thr, const char *select);
int orbreapthr_reject(OrbreapThr *thr, const char *reject);
int orbreapthr_after(OrbreapThr *thr, double time);

// Asks the thread to stop (halt 1 unless it has already stopped; a running thread's
// connection is closed then, ending its reap). 0.
int orbreapthr_set_to_stop(OrbreapThr *thr);
// 1 when the thread has stopped (halt 2), else 0 (0 for none).
int orbreapthr_is_stopped(OrbreapThr *thr);
// Asks the thread to stop and waits, polling every 0.1 s, until it has; after 10 s it
// complains, marks the thread stopped and leaves it to end on its own. 0.
int orbreapthr_stop_and_wait(OrbreapThr *thr);
// Lets go of the record (asking a thread still running to stop): its connection is
// closed, the strings and the queued packets freed, once the thread has ended too. 0.
int orbreapthr_destroy(OrbreapThr *thr);

// The queue's time-out and count; 0 for none.
int orbreapthr_set_timeout(OrbreapThr *thr, double seconds);
int orbreapthr_data_available(OrbreapThr *thr);

// Takes the next queued packet: *pktid, srcname (ORBSRCNAME_SIZE bytes), *time and
// *nbytes, with the bytes copied into *packet, which is allocated when none and
// reallocated when *bufsize is smaller than the packet, in both cases to 1.5 times its
// length (*bufsize updated). Returns an OrbreapthrGetResult; without a packet the
// outputs are reset (-1, "", 0.0, 0).
enum OrbreapthrGetResult : int {
  ORBREAPTHR_ERROR = -1,    // error (registered)
  ORBREAPTHR_PACKET = 1,    // a packet
  ORBREAPTHR_NONE = 2,      // none came this time (empty, time-out, or a wake-up)
  ORBREAPTHR_RELEASED = 3,  // none came: the queue was released and is empty
  ORBREAPTHR_STOPPED = 4,   // the thread has stopped and nothing is queued
};
int orbreapthr_get(OrbreapThr *thr, int *pktid, char *srcname, double *time, char **packet,
                   int *nbytes, int *bufsize);

// A put thread writing to `orb`, with a queue of at most maxqueue packets (0: no bound);
// a put on a full queue waits for room. None on failure.
OrbputThr *orbputthr_new(int orb, int maxqueue);
// Queues a copy of the packet (none or nbytes 0: an empty packet). 0 queued; -1
// (registered) when the thread is stopped or stopping, the source name is missing or
// longer than 63 characters, or the queueing fails.
int orbputthr_put(OrbputThr *thr, const char *srcname, double time, const char *packet, int nbytes);
// Stops the thread once it has written what is queued, waiting at most about 11 s: from
// 5 s on, a packet whose write keeps failing is given up; at 11 s a thread still inside a
// write is left to end on its own. Always ends with halt 2. 0.
int orbputthr_stop(OrbputThr *thr);
// Lets go of the record (asking a thread still running to stop); the queue and the
// packets left in it are freed once the thread has ended too. Does not close the
// connection. 0.
int orbputthr_destroy(OrbputThr *thr);
