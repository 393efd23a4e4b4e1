// orb.h - the ring-buffer client: connections to ring files held on this machine.
//
// A ring is one file of fixed capacity that every process using it maps; there is no
// server. It keeps the most recent packets; each has a packet id, a source name (at most
// 63 characters), a time (seconds since 1970) and its bytes. Writers never wait for
// readers: the oldest packets are overwritten, and a reader that falls that far behind
// resumes at the oldest packet still held and counts what it missed.
//
// Ring names:
//  - a name containing "/" is the path of a ring file;
//  - any other name is "host:port", "host" or ":port" (":" alone is the default ring).
//    The host must be this machine (empty, "localhost", this machine's name or one of its
//    addresses); any other host is refused, since only local rings are served. The port is
//    a number (default 6510) or a word of letters, digits, "_", "-" and "."; it names the
//    file "<port>.ring" in the ring directory: $VANTREL_RINGDIR, by default
//    $VANTREL/rings, $VANTREL being the install root (default /opt/vantrel). The
//    directory itself is made when missing.
// Only orbcreate makes a ring, of the capacity it is given (`ringtool create` defaults
// to 64 MiB or $VANTREL_RINGSIZE); opening a ring that does not exist is refused (see
// orbopen). A file that is not a ring, a damaged ring header, or a ring made on another
// kind of machine (different word size, byte order or lock layout) is refused.
//
// Packet ids are the low 31 bits of a 64-bit sequence that never wraps: they increase by
// one per packet and go from 2147483647 back to 0. A ring always holds far fewer than 2^31
// packets, so an id names one held packet without doubt.
//
// Connections are small non-negative integers; every function may be called from any
// thread, and one connection may be used by several threads (calls on one connection are
// serialised). Failures return -1 (orbreap_nd also -2, see below) after registering
// a message in the calling thread's error log (elog_log), beginning with the function's
// name. A connection keeps its own read position, selection and missed-packet count.
//
// Readers never take the ring's lock to read: they copy packets and check afterwards that
// the writer did not overwrite them (a packet lost so is counted as missed, never handed
// out torn), so any number of readers cost the writer next to nothing. A ring file cut
// shorter while in use is refused from then on (calls fail with a message); the file is
// left as it is.
//
// Blocking: orbreap sleeps until a packet is written (no polling). It wakes at least
// once a second to re-check, and it returns -1 at once when another thread closes the
// connection with orbclose. Every wait for the ring's lock is bounded too (10 s of clock
// time): a process that dies holding the lock does not wedge the others (the lock is a
// robust process-shared mutex and the next holder repairs the ring's state), and where
// the system cannot detect the owner's death (e.g. under qemu-user) the wait fails
// with an error instead of hanging.
#pragma once

#include <cstdint>

// Source-name buffers hold at most 63 characters and a NUL.
#define ORBSRCNAME_SIZE 64
#define ORBSRCNAME_MAX 63

// Default ring (port) for names without one.
#define ORB_DEFAULT_PORT 6510

// Positions for orbseek and orbget.
#define ORBOLDEST (-2)  // the oldest packet held
#define ORBNEWEST (-3)  // the newest packet held

// Ring status, as orbstat fills it.
struct Orbstat {
  double when;               // time of the call
  double started;            // when the ring file was created
  unsigned char address[4];  // the ring's address, network order (always 127.0.0.1)
  int port;                  // port number of the ring's name; 0 for a path or a word
  int64_t capacity;          // size of the ring file, bytes
  int64_t maxdata;           // bytes of packet records the ring can hold
  int maxpackets;            // packets the ring's index can hold
  int npackets;              // packets held now
  int64_t nbytes;            // bytes of packet records held now
  int oldest;                // id of the oldest packet held, -1 when empty
  int newest;                // id of the newest packet held, -1 when empty
  double oldest_time;        // their times (0 when empty)
  double newest_time;
  int64_t written;      // packets written since the ring was created
  int64_t missed;       // packets lost by every lapped reader of the ring, ever
  int64_t conn_missed;  // packets lost by this connection
  int64_t resets;       // times the ring was found damaged and emptied
};

// One source of the packets held, as orbsources lists it.
struct Orbsrc {
  char srcname[ORBSRCNAME_SIZE];
  int npackets;
  int64_t nbytes;      // bytes of packet data (without names and record heads)
  int oldest, newest;  // packet ids
  double oldest_time, newest_time;
};

// Opens a connection to a ring, which must exist (only orbcreate makes rings: a missing
// one fails with a message naming its file and how to make it). Modes: "r" and "r&" read, "w" and
// "w&" read and write ("&" asks for reconnection after a lost connection, which a local
// ring never has). A new connection is positioned after the newest packet: it reaps
// only packets written after it opened, until orbseek or orbafter moves it. Returns the
// connection (0 or more) or -1.
int orbopen(const char *name, const char *mode);
// Ends a connection; a thread blocked in orbreap on it returns -1 at once. 0, or -1 for a
// connection that is not open.
int orbclose(int orb);

// Creates a ring of `capacity` bytes (at least 16 KiB); fails when it exists. 0 or -1.
int orbcreate(const char *name, int64_t capacity);

// Restricts reading to packets whose whole source name matches the POSIX extended
// regular expression (orbselect) and does not match it (orbreject). None or "" removes
// the restriction. 0, or -1 for a bad expression (the old one stays).
int orbselect(int orb, const char *regex);
int orbreject(int orb, const char *regex);

// Positions the connection at the oldest held packet whose time is after `time`, or after
// the newest packet when none is. Returns the id of the packet the next reap will look at
// first (the id the next packet written will get, when positioned after the newest), or -1.
int orbafter(int orb, double time);
// Positions the connection so that the next reap looks at `which` first: ORBOLDEST,
// ORBNEWEST or a packet id still held. On an empty ring ORBOLDEST and ORBNEWEST position
// after the newest. Returns the id as orbafter does, or -1 (also for an id not held).
int orbseek(int orb, int which);

// Reads the next selected packet and moves past it. On success returns 0 and fills
// *pktid, srcname (ORBSRCNAME_SIZE bytes), *time, *nbytes and the bytes in *packet:
// when *packet is none, or *bufsize is smaller than the packet, the buffer is
// (re)allocated with malloc/realloc to 1.5 times the packet length and *bufsize set to
// that size; the caller frees it. A packet of 0 bytes leaves the buffer as it is (none
// stays none). orbreap waits for a packet; orbreap_nd returns -2 at once when no
// selected packet is waiting. -1 on error, e.g. a damaged packet, which is skipped (the
// next call goes on after it).
int orbreap(int orb, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
            int *bufsize);
int orbreap_nd(int orb, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
               int *bufsize);
// As orbreap, but waits at most `maxseconds` of clock time: -2 when no selected packet
// came in that time (for a reader that must also look at a stop flag now and then).
int orbreap_timeout(int orb, double maxseconds, int *pktid, char *srcname, double *time,
                    char **packet, int *nbytes, int *bufsize);
// Reads one packet without moving the connection and without looking at its selection:
// `which` is ORBOLDEST, ORBNEWEST or a packet id. Buffer handling as orbreap. 0 or -1
// (also when the ring is empty or the id is not held).
int orbget(int orb, int which, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
           int *bufsize);

// Writes one packet: a source name of 1 to 63 characters, its time and nbytes bytes
// (packet may be none when nbytes is 0). orbput returns 0, orbputx the new packet's id;
// both -1 on error (a connection opened for reading, a bad source name, a packet larger
// than the ring).
int orbput(int orb, const char *srcname, double time, const char *packet, int nbytes);
int orbputx(int orb, const char *srcname, double time, const char *packet, int nbytes);

// Fills *status with the ring's state. 0 or -1.
int orbstat(int orb, Orbstat *status);
// Lists the sources of the packets held, in ascending byte order of their names, as a
// new array in *sources (free() it; none when there are none) and its length in
// *nsources. 0 or -1.
int orbsources(int orb, Orbsrc **sources, int *nsources);

// Whether the ring file of a connection is still what it opened, looked at now (the
// size and link count of the open file; puts look at them too, every few milliseconds):
// ORBRING_HERE, ORBRING_CUT (cut shorter: every call fails from now on) or ORBRING_DELETED
// (no name left: puts still reach the readers that have it open, no new reader can find
// it). A cut or deleted ring is complained about once a minute, naming its path. -1 for
// a connection that is not open.
enum OrbRingState { ORBRING_HERE = 0, ORBRING_CUT = 1, ORBRING_DELETED = 2 };
int orbring_state(int orb);

// A size in bytes: digits with an optional K, M or G suffix (powers of 1024). -1 when
// the text is not such a size or exceeds 2^62.
int64_t orb_parse_size(const char *text);
// The capacity of a new ring: $VANTREL_RINGSIZE (orb_parse_size, at least 16 KiB), else
// 64 MiB. -1 after logging why (the message begins with `who`) when the variable is set
// but not such a size.
int64_t orb_default_capacity(const char *who);

// Fault injection for tests. orbfault_fail makes the next `count` calls of one operation
// fail with -1 and the message "<function>: injected failure" (count 0 ends it). For
// ORBFAULT_REAP each orbreap and orbreap_nd call counts once; for ORBFAULT_PUT each
// orbput and orbputx.
enum OrbFault {
  ORBFAULT_OPEN,
  ORBFAULT_SELECT,
  ORBFAULT_REJECT,
  ORBFAULT_AFTER,
  ORBFAULT_REAP,
  ORBFAULT_PUT,
  ORBFAULT_STAT,
  ORBFAULT_COUNT
};
void orbfault_fail(OrbFault op, int count);
// From now on every put blocks while it holds the ring's lock, half-way through writing
// its packet, until orbfault_release (or until its process dies). When notify_fd is 0 or
// more, one byte is written to it as each put starts to block (so that another process
// can tell that the lock is held).
void orbfault_block_puts(int notify_fd);
// Lets blocked puts finish and stops blocking new ones.
void orbfault_release(void);
// Ends every injected fault and releases blocked puts.
void orbfault_reset(void);
