// pkt.h - the packet library: ring-buffer packets as structures (Packet, PktChannel) and
// their encoding on the wire (stuffPkt, stuffStashPkt) and back (unstuffPkt).
//
// Kinds of packets, each with its PktType (suffix2pkttype) and its code, the result of
// unstuffPkt:
//   GENC, MGENC  waveform: one channel (GENC) or one or more (MGENC) of int32 samples
//   db           one row of a database table: the table name and the row's text
//   log          a log text, in the layout the programs build themselves (below)
//   pf           a parameter-file tree (base/pf.h)
//   stash        a parameter-file text describing a source, carried as text
//
// Source names. stuffPkt gives each packet a source name and a time, which the programs
// use as they stand or with "/" and a subcode appended:
//   GENC   net_sta_chan/GENC, or net_sta_chan_loc/GENC when loc is not empty
//   MGENC  net_sta/MGENC, with the net and sta of the first channel
//   db     /db/<table>            pf     /pf
//   stash  /stash                 log    /log
// The time is the earliest channel time for waveforms, and clock_now() for the others.
// A source name has at most PKT_SRCNAME_SIZE - 1 characters; those made here have at most
// 52, leaving room for a subcode.
//
// Wire format (every field big-endian; doubles as their IEEE-754 bits). Every kind but
// log begins with the header
//   0  2  magic 0x56 0x50 ("VP")
//   2  1  format version: 2 for waveforms, 1 for the others (readers take both; a
//         version 1 waveform may only use sample coding 1)
//   3  1  kind code (PktKind)
//   4  4  body length in bytes; bytes after the body are ignored
// and goes on with its body:
//   waveform  1 layout (1 GENC, 2 MGENC), 2 channel count, then per channel:
//             net, sta, chan, loc, segtype as text fields (1 length byte, then the bytes
//             without a terminator), time, samprate, calib, calper (8 each), nsamp (4),
//             sample coding (1), coded length in bytes (4), the coded samples.
//             Coding 1 (read only): each sample minus the one before (the first minus
//             0), modulo 2^32 and taken as signed 32 bits, zigzagged (0 -1 1 -2 .. to
//             0 1 2 3 ..) and written in base 128, low 7 bits first, the high bit of a
//             byte set when another follows; at most 5 bytes a sample.
//             Coding 2 (written): the first sample (4), then the zigzagged differences
//             in blocks of 16 packed at the width each block needs, four blocks to a
//             group with a base width and 2-bit steps (layout in pkt_samples.cpp)
//   db        table name length (1), table name, then the row text to the body's end
//   pf        the canonical parameter-file text (pf2string) to the body's end
//   stash     the text to the body's end
// A log packet is built by the programs: 0 header size 8 (2), 2 packet size = 8 + text
// length + 1 (2), 4 0x716C (2), 6 0x716C (2), 8 the text and its zero byte.
// Texts of the wire never hold a zero byte.
//
// Ownership: a Packet owns its channels (Tbl of PktChannel *), its pf tree, its db texts
// and its string; freePkt frees them all. A caller that put a tree into `pf` and frees it
// itself sets `pf` to none first. A PktChannel owns `data`, a malloc'ed array that the
// program may allocate and grow itself; freePktChannel frees it with free(). Encoded
// packets live in a caller-owned buffer that stuffPkt allocates or grows with realloc.
//
// Errors are registered with elog_log, each message beginning with the function's name;
// the caller prints them. Out of memory is fatal. No lock and no shared state: a Packet is
// used by one thread at a time; different Packets are independent.
#pragma once

#include <cstdint>

struct Tbl;
struct Pf;

// Kind codes: the result of unstuffPkt and the `kind` of a PktType.
enum PktKind {
  Pkt_wf = 1,     // GENC, MGENC
  Pkt_db = 2,     // database row
  Pkt_log = 3,    // log text
  Pkt_pf = 4,     // parameter-file tree
  Pkt_stash = 5,  // stash text
};

// Sizes of the fixed text fields of a channel, terminator included; longer or
// unterminated texts are refused.
enum {
  PKT_NET_SIZE = 8,
  PKT_STA_SIZE = 16,
  PKT_CHAN_SIZE = 16,
  PKT_LOC_SIZE = 8,
  PKT_SEGTYPE_SIZE = 4,
  PKT_SRCNAME_SIZE = 64,    // source names, terminator included
  PKT_DBTABLE_MAX = 31,     // characters of a db table name
  PKT_LOG_TEXT_MAX = 65526  // characters of a log text (the 16-bit packet size)
};

struct PktType {
  const char *suffix;  // "GENC", "MGENC", "db", "log", "pf", "stash"
  int kind;            // PktKind
  const char *description;
};

// One waveform channel. The text fields are terminated within their arrays and hold
// printable characters other than blank, '_' and '/' (which would make source names
// ambiguous); loc and segtype may be empty, and so may net and sta. `data` holds
// `nsamp` samples in an array of capacity `datasz` samples.
struct PktChannel {
  char net[PKT_NET_SIZE];
  char sta[PKT_STA_SIZE];
  char chan[PKT_CHAN_SIZE];
  char loc[PKT_LOC_SIZE];
  char segtype[PKT_SEGTYPE_SIZE];
  double time;      // time of the first sample, epoch seconds
  double samprate;  // samples per second
  double calib;     // physical units (of segtype) per count
  double calper;    // period at which calib holds, seconds
  int nsamp;        // samples in data
  int32_t *data;    // malloc'ed; none while datasz is 0
  int datasz;       // capacity of data, in samples
};

// A database row: table name and row text, both owned (malloc'ed).
struct PktDbRow {
  char *table;
  char *row;
};

struct Packet {
  const PktType *pkttype;  // what the packet is; from suffix2pkttype or unstuffPkt
  int nchannels;           // waveforms: channels in use, the first ones of `channels`
  Tbl *channels;           // waveforms: PktChannel *, owned; entries past nchannels are
                           // kept for reuse
  Pf *pf;                  // pf: the tree, owned
  PktDbRow db;             // db: the row (pkt_setdbrow)
  char *string;            // log and stash: the text, owned (malloc'ed)
};

// A new empty packet (no type, no channels, an empty channel list). Never none: out of
// memory is fatal.
Packet *newPkt(void);
void freePkt(Packet *pkt);  // none: nothing
// A new zeroed channel.
PktChannel *newPktChannel(void);
void freePktChannel(PktChannel *channel);  // none: nothing

// The type of a suffix: "GENC", "MGENC", "db", "log", "pf" or "stash" (exact case). None,
// registering why, for any other.
const PktType *suffix2pkttype(const char *suffix);

// Sets the db row of `pkt` to copies of `table` and `row`, replacing what was there.
// 0, or -1 (registered) for a missing text or a table name that the source name cannot
// carry (empty, longer than PKT_DBTABLE_MAX, or with characters other than letters,
// digits, '_', '.' and '-').
int pkt_setdbrow(Packet *pkt, const char *table, const char *row);

// Encodes `pkt` by its pkttype into *packet (allocated when none, grown with realloc when
// *bufsize is too small; *bufsize is its capacity), sets *nbytes to the encoded length,
// and, when they are given, writes the source name into `srcname` (PKT_SRCNAME_SIZE
// bytes) and the packet time into *time. Inputs: waveforms `nchannels` (1 for GENC, at
// least 1 for MGENC) and the first `nchannels` entries of `channels`; pf `pf`; db `db`;
// log and stash `string`. 0 on success; -1 (registered, outputs unchanged) for a packet
// without a type, a missing input, a channel text that is unterminated or holds a
// character it must not, a negative nsamp or one above datasz, samples missing, a
// non-finite time, samprate, calib or calper, a tree that pf2string cannot write, or a
// packet longer than INT_MAX bytes.
int stuffPkt(Packet *pkt, char *srcname, double *time, char **packet, int *nbytes, int *bufsize);

// Encodes a stash packet from `text`, a zero-terminated text of `length` bytes counting
// the zero; buffer as for stuffPkt. 0, or -1 (registered) when the text is missing, its
// zero byte is not at length - 1 or it holds an earlier one.
int stuffStashPkt(const char *text, int length, char **packet, int *nbytes, int *bufsize);

// Decodes `nbytes` bytes of a packet received under `srcname` (used in messages) at
// `time`. *pkt is reused when given (its channels and their sample buffers are kept and
// grown), else a new packet is stored there. Returns the kind code (PktKind) with the
// packet filled: waveform channels with their samples, `pf`, `db`, or `string`. Returns
// -1, registering why, for anything else: bytes that are truncated, of an unknown version
// or kind, inconsistent, or holding a text or number that stuffPkt would refuse. Never
// reads outside the `nbytes` bytes. On failure a given packet is left empty (no type, no
// channels in use) and a packet made by the call is freed (*pkt is none).
int unstuffPkt(const char *srcname, double time, const char *packet, int nbytes, Packet **pkt);

// A description of the packet for people, a new text (free()): one line, "srcname time
// nbytes bytes kind: summary" (time as "%Y-%m-%d %H:%M:%S.%s"), ending in a newline; with
// `verbose` also the detail: per channel its codes, times, rate, calibration and samples
// (ten to a line), or the text of a pf, db, log or stash packet. Bytes that do not decode
// give one line with the reason. Registers nothing.
char *pkt_describe(const char *srcname, double time, const char *packet, int nbytes, int verbose);
