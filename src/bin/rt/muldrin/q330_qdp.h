// q330_qdp.h - the QDP datagram layer of a session: framing and sending commands,
// receiving and checking datagrams on the control and data ports, splitting DT_DATA
// payloads into their blockettes, the base-96 text form, and the byte-cursor primitives.
//
// QDP datagram (big-endian; 12 to 1024 bytes here):
//
// | Offset | Size | Field    | Meaning                                              |
// |--------|------|----------|------------------------------------------------------|
// | 0      | 4    | crc      | CRC-32 (q330_crc) of bytes 4 to the end              |
// | 4      | 1    | command  | command code                                         |
// | 5      | 1    | version  | always 2                                             |
// | 6      | 2    | length   | payload bytes; the datagram is length + 12 bytes     |
// | 8      | 2    | sequence | the sender's sequence number on this port            |
// | 10     | 2    | ack      | host: 0, or qdp_ack in DT_DACK; replies: the command |
// |        |      |          | sequence answered                                    |
// | 12     | len  | payload  | the command's payload                                |
//
// Receive results (the same numbers for every caller): 0 good, 1 CRC or base-96 fault,
// 2 version, 3 size (control), 4 another command than the one wanted, 5 time-out,
// 9 ack differs from the port's sequence, 10 blockettes refused, 11 size (data port),
// 12 data payload over 720 bytes, 13 interrupted, 14 would block, -1 other failures.
//
// Locking: none of its own. Each port's sequence counter and receive buffers belong to the
// one thread that runs that port (control thread, data thread); the UDP records lock
// themselves.
#pragma once

#include <cstdint>

#include "q330.h"

inline constexpr int Q330_QDP_HDR = 12;
inline constexpr int Q330_QDP_MAX = 1024;
inline constexpr int Q330_QDP_DATA_MAX = 720;  // largest data-port payload

// Result codes of the receive functions.
enum {
  Q330_RECV_OK = 0,
  Q330_RECV_CRC = 1,
  Q330_RECV_VERSION = 2,
  Q330_RECV_SIZE = 3,
  Q330_RECV_WRONGCMD = 4,
  Q330_RECV_TIMEOUT = 5,
  Q330_RECV_ACK = 9,
  Q330_RECV_BLOCKETTES = 10,
  Q330_RECV_DATASIZE = 11,
  Q330_RECV_TOOBIG = 12,
  Q330_RECV_INTR = 13,
  Q330_RECV_WOULDBLOCK = 14,
};

// Command codes used by the datagram and registration layers.
enum {
  Q330_DT_DATA = 0x00,
  Q330_DT_FILL = 0x06,
  Q330_DT_DACK = 0x0A,
  Q330_DT_OPEN = 0x0B,
  Q330_C1_RQSRV = 0x10,
  Q330_C1_SRVRSP = 0x11,
  Q330_C1_DSRV = 0x12,
  Q330_C1_POLLSN = 0x14,
  Q330_C1_CACK = 0xA0,
  Q330_C1_SRVCH = 0xA1,
  Q330_C1_CERR = 0xA2,
  Q330_C1_MYSN = 0xA3,
  Q330_CMD_ANY = 255,
};

// ---- Cursor primitives: write or read at *pkt, advance it, return 0 ----------------------
int stuff_uint1(unsigned char **pkt, uint8_t value);
int stuff_uint2(unsigned char **pkt, uint16_t value);
int stuff_uint4(unsigned char **pkt, uint32_t value);
int unstuff_uint1(unsigned char **pkt, uint8_t *value);
int unstuff_uint2(unsigned char **pkt, uint16_t *value);
int unstuff_uint4(unsigned char **pkt, uint32_t *value);
int unstuff_int4(unsigned char **pkt, int32_t *value);
// The first 16 characters of a hexadecimal text as two words: the last 8 digits in *low,
// those before them in *high (0 for 8 digits or fewer). -1 (words 0) for text that is
// not 1 to 16 hexadecimal digits (checked over its first 16 characters).
int unstuff_a2uint8(unsigned *high, unsigned *low, const char *text);

// `size` rounded up to a multiple of 32.
int q330_round32(int size);
// 0-15 for a hexadecimal digit of either case, else -1.
int q330_hexascii2int(int c);
// Decodes a base-96 text datagram of *len characters in place; *len becomes the datagram's
// size. 0, or -1 for text too short, a bad key, or a length field that does not match.
int q330_decode_base96(unsigned char *buf, int *len);
// A complete C1_POLLSN datagram (16 bytes, sequence and ack 0) in pkt; -1 when *nbytes is
// below 16, else *nbytes = 16 and 0.
int q330_stuff_pollsn(unsigned short mask, unsigned short match, unsigned char *pkt, int *nbytes);

// ---- Sending ---------------------------------------------------------------------------------
// Builds the payload of `command` from the session and the extra argument (see the
// command table in q330_qdp.cpp) and sends it. 0 or -1 (logged).
int q330_sendcmd(Q330 *q330, int command, ...);
// Frames `data` (none: empty payload) as one datagram of `command` and sends it on the
// command's port with the port's next sequence number. 0 or -1 (logged).
int q330_send_pkt(Q330 *q330, int command, void *data);

// ---- Receiving -------------------------------------------------------------------------------
// One datagram from the port of command_wanted (255: any command, on port_type). Datagrams
// from another address than the datalogger's are dropped (counted in
// npkts_foreign_error) and the wait goes on. A command other than the one wanted
// gives 4 and is not decoded. `data` (may be none) receives the decoded payload of the
// wanted command; *command_recv is set once header and ack passed; *ackseq_recv once the
// header is read.
int q330_recv_pkt(Q330 *q330, int command_wanted, int check_ack, int port_type, int *command_recv,
                  void *data, unsigned short *ackseq_recv);
// One raw data-port datagram: command, sequence field, payload (data: room for 720 bytes)
// and its size, waiting at most params.udp_timeout_data (_wait: `wait` seconds).
int q330_recv_pkt_data(Q330 *q330, int *command, unsigned short *sequence, void *data, int *nbytes);
int q330_recv_pkt_data_wait(Q330 *q330, double wait, int *command, unsigned short *sequence,
                            void *data, int *nbytes);
// Decodes `nbytes` payload bytes of `command` into data: Q330DATAPkt for DT_DATA (split
// into blockettes), Q330FILLPkt for DT_FILL, else the command's structure. 0, -1, or 10
// for blockettes that do not fit the record (storage, 134 entries, a blockette that does
// not decode, consumes nothing or claims more than remains).
int q330_unstuff_pkt(Q330 *q330, int command, unsigned sequence, unsigned ack, unsigned char *pkt,
                     int nbytes, void *data);

// ---- Registration and the command exchange (q330_register.cpp) -----------------------------
// Creates a port's endpoint with its packet cache of `cache_size`, drop rate and verbose
// output, and with `averages` its averagers from `origin`. 0, or the failing step: 1
// udp_new, 2 the cache, 3 the averagers.
int q330_make_endpoint(Q330 *q330, UDP **udp, int cache_size, double drop, bool averages,
                       double origin);
// The 80-character digest text of a challenge answer (81 bytes with the NUL).
int q330_digest_text(const Q330SRVCHPkt *srvch, unsigned auth_high, unsigned auth_low,
                     unsigned serial_high, unsigned serial_low, char *text);
int set_q330_hostport(Q330 *q330);
int q330_get_serial_number(Q330 *q330, unsigned *serial_high, unsigned *serial_low);
int q330_register_pvt(Q330 *q330, char *error, int err_sz);
int q330_deregister_pvt(Q330 *q330, char *error, int err_sz);
// `params` is the extra argument of q330_sendcmd; for C1_RQSTAT and C2_RQPHY, whose
// argument is an integer, it points at an int.
int q330_exec_cmd_pvt(Q330 *q330, int cmd, int rsp, char *response, int check_acq, char *params,
                      char *error, int err_sz);
