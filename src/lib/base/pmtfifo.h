// pmtfifo.h - Pmtfifo, a thread-safe first-in first-out queue of void pointers.
//
// Any number of producers push (at the tail) or unpop (at the head) while one or more
// consumers pop from the head. Items are opaque pointers; the none (null) item is a
// valid item, which stoppers push to wake a consumer. The queue owns nothing: an item
// belongs to the caller until it is pushed and to the consumer once popped; only
// pmtfifo_destroy with a destructor frees items left in the queue.
//
// A blocking queue makes a pop on an empty queue wait for an item (up to the time-out,
// when one is set) and a push on a full limited queue wait for room. A non-blocking
// queue never waits. pmtfifo_release_block turns waiting off for good: it wakes every
// waiting pop and push, and later ones return at once.
//
// Locking: one mutex per queue guards the items and the settings; every call may be
// made from any thread. Waits use condition variables, with time-outs measured through
// the clock seam (clock_real_seconds). Waiting calls are cancellation points; a thread
// cancelled inside one leaves the queue consistent.
#pragma once

struct Pmtfifo;

// What pmtfifo_push returns (pmtfifo_unpop: the first two).
enum PmtfifoPushResult : int {
  PMTFIFO_QUEUED = 0,
  PMTFIFO_NOQUEUE = -1,  // no queue
  PMTFIFO_FULL = -2,     // full and the push cannot wait: nothing queued
};

// What pmtfifo_pop returns.
enum PmtfifoPopResult : int {
  PMTFIFO_BADARGS = -1,  // no queue or no place for the item
  PMTFIFO_EMPTY = 0,     // a non-blocking queue is empty
  PMTFIFO_TAKEN = 1,     // an item was taken (it may be the none item)
  PMTFIFO_RELEASED = 2,  // the block was released and the queue is empty
  PMTFIFO_TIMEOUT = 3,   // a blocking pop waited its time-out for an item
};

// A new empty queue holding at most `limit` items (0: no limit); blocking non-zero
// makes pops and pushes wait. `opt` is reserved: callers pass 0 or 1 and it changes
// nothing. Returns none, with a registered message, for a negative limit.
Pmtfifo *pmtfifo_create(int limit, int blocking, int opt);

// Appends item at the tail. On a full limited queue a blocking push waits for room.
// Returns a PmtfifoPushResult; PMTFIFO_FULL when the push cannot wait (non-blocking queue,
// or block released): nothing is queued and the item stays the caller's.
int pmtfifo_push(Pmtfifo *queue, void *item);

// Puts item at the head, so that it is taken next. Never waits and ignores the limit
// (an item handed back, or an urgent one, goes in even when the queue is full).
// Returns 0, or -1 for no queue.
int pmtfifo_unpop(Pmtfifo *queue, void *item);

// Takes the item at the head into *item: a PmtfifoPopResult. *item is none for every
// result but PMTFIFO_TAKEN. A blocking queue without time-out waits until
// an item comes or the block is released.
int pmtfifo_pop(Pmtfifo *queue, void **item);

// Number of queued items, or -1 for no queue.
int pmtfifo_data_available(Pmtfifo *queue);

// Bounds the wait of later blocking pops to `seconds` of clock time; 0 removes the
// bound (wait without limit), as do infinity and bounds of more than 30 years.
// Returns 0, or -1 for no queue or a negative or NaN time.
int pmtfifo_set_timeout(Pmtfifo *queue, double seconds);

// Waits up to `seconds` of clock time until at least `pops` pops wait for an item and
// at least `pushes` pushes wait for room, so that a test or a stopper knows a thread
// has reached that wait. Returns 1 when they do, 0 when the time ran out (or the queue
// is being destroyed), -1 for no queue.
int pmtfifo_wait_blocked(Pmtfifo *queue, int pops, int pushes, double seconds);

// Ends waiting on the queue for good: waiting pops on an empty queue return
// PMTFIFO_RELEASED and waiting pushes on a full queue PMTFIFO_FULL, and later calls do the same at
// once. Items still queued can still be popped. Returns 0, or -1 for no queue.
int pmtfifo_release_block(Pmtfifo *queue);

// Releases the block, waits for the threads still inside a call on the queue to leave,
// then passes every remaining item except none items to `destructor` (none: items are
// left alone) and frees the queue. No thread may start a call on the queue once destroy
// has begun. A none queue is ignored. Returns 0.
int pmtfifo_destroy(Pmtfifo *queue, void (*destructor)(void *));
