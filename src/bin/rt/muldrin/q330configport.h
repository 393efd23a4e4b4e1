// q330configport.h - a small synchronous client of a Q330's configuration port (the base
// port, logical port 0): registers with the challenge and MD5 response, sends one control,
// baler-power or announce command, waits for its answer and deregisters. Used by the
// remote "control" command outside the acquisition session.
//
// Every operation runs on the caller's thread and blocks; failures give -1 with one text
// in the caller's buffer (the client logs nothing itself). A reply is taken only when it
// comes from the configuration port's address and acknowledges the request's sequence
// number; other datagrams are dropped until the wait's deadline.
//
// Locking: none beyond the process-wide sequence counter, an atomic. One command thread
// uses the client at a time.
#pragma once

#include <cstdint>

#include "q330.h"

enum {
  Q330_C1_CTRL = 0x19,
  Q330_C2_SBPWR = 0x59,
  Q330_C2_TERC = 0x69,
  Q330_C2_TERR = 0x6A,  // the reply to C2_TERC
};

inline constexpr int Q330_ANNC_ENTRIES = 6;
inline constexpr int Q330_ANNC_SIZE = 104;  // wire size of the announce structure

// The wait of every read (s) and the extra C1_RQSRV attempts after time-outs.
inline constexpr double q330_timeout = 30.0;
inline constexpr int q330_retries = 2;

// The C2_TERC request: subcommand 1 reads the announce structure, 2 sets it.
struct Q330C2TERCPkt {
  uint16_t subcommand, spare1;
};

// ---- Operations ------------------------------------------------------------------------

int q330config_register(UDP **udp, const char *local_ipaddr, char *send_hostport,
                        const char *targetip, const char *sn, int port_base, const char *auth,
                        char *error, int send_hostport_sz, int err_sz);
int q330config_deregister(UDP *udp, const char *local_ipaddr, const char *send_hostport,
                          const char *sn, char *error, int err_sz);
int q330config_C1_CTRL(UDP *udp, const char *local_ipaddr, const char *send_hostport, char *error,
                       int err_sz, int argc, char **argv);
int q330config_C2_SBPWR(UDP *udp, const char *local_ipaddr, const char *send_hostport, char *error,
                        int err_sz, int argc, char **argv);
int q330config_C3_RQANNC(UDP *udp, const char *local_ipaddr, const char *send_hostport, char *error,
                         int err_sz, Q330C3ANNCPkt *annc);
int q330config_C3_SANNC(UDP *udp, const char *local_ipaddr, const char *send_hostport,
                        Q330C3ANNCPkt *annc, char *error, int err_sz, int argc, char **argv);
// The announce structure as parameter-file text (the active entries only). 0.
int q330_pfstuff_ANNC(void **stack, const Q330C3ANNCPkt *annc, int noipresolv);

// ---- Pieces ------------------------------------------------------------------------------

// "target:port_base + 2 x lport", or the target itself when it ends in "broadcast". 0.
int q330_map_lport(int lport, int port_base, const char *target, char *hostport, int size);
// Exactly 16 hexadecimal digits into two words. 0 or -1.
int groksn(const char *sn, uint32_t *high, uint32_t *low);
// Up to 16 hexadecimal digits, right-aligned in sixteen zeros, into two words. 0 or -1.
int grokauth(const char *auth, uint32_t *high, uint32_t *low);
// Fills the registration response to `srvch` (digest over the 80-character text, server
// random value 0). 0, or -1 for a bad code.
int q330_setup_srvrsp(const Q330RQSRVPkt *rqsrv, const char *auth, const Q330SRVCHPkt *srvch,
                      Q330SRVRSPPkt *srvrsp);
// Frames a datagram of `command` with `sequence` (ack 0) into pkt; *nbytes is the room
// on entry and the size on return. 0 or -1.
int q330_stuff_qdp(int command, uint16_t sequence, void *qdata, unsigned char *pkt, int *nbytes);
// Sends one datagram with the next value of the process-wide counter, reported in
// *sequence. 0 or -1.
int q330_write_qdp(UDP *udp, const char *local_ipaddr, const char *hostport, int command,
                   uint16_t *sequence, void *qdata);
// Checks and decodes a datagram into `qdata` (room for any reply). 0 or -1 (too short,
// length beyond the bytes, CRC, version, an announce reply that is not 104 bytes, an
// unknown command).
int q330_unstuff_qdp(const unsigned char *pkt, int nbytes, int *command, uint16_t *sequence,
                     uint16_t *ack, void *qdata);
// One datagram within q330_timeout: 1 decoded, 0 time-out, -1 transport or decoding
// failure. recv_hostport (256 bytes) gets the sender.
int q330_read_qdp(UDP *udp, const char *local_ipaddr, char *recv_hostport, int *command,
                  uint16_t *sequence, uint16_t *ack, void *qdata);
int q330_encode_TERC(unsigned char **cursor, const Q330C2TERCPkt *terc);
int q330_encode_ANNC(unsigned char **cursor, const Q330C3ANNCPkt *annc);
// Decodes 104 bytes (zeroing first, the active count clamped to 6). 0.
int q330_decode_ANNC(const unsigned char *bytes, Q330C3ANNCPkt *annc);

// The current value of the process-wide sequence counter.
uint16_t q330config_sequence(void);
