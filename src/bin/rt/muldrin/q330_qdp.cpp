// q330_qdp.cpp - QDP datagrams: cursor primitives, base-96 text, framing and sending,
// receiving with its checks, and the DT_DATA blockette split.
#include "q330_qdp.h"

#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/bigendian.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/md5.h"
#include "base/tbl.h"
#include "q330_crc.h"
#include "q330pkt.h"
#include "support/byteorder.h"

// ---- Cursor primitives ------------------------------------------------------------------

int stuff_uint1(unsigned char **pkt, uint8_t value) {
  **pkt = value;
  *pkt += 1;
  return 0;
}

int stuff_uint2(unsigned char **pkt, uint16_t value) {
  unsigned short v = value;
  UH2NS(*pkt, &v, 1);
  *pkt += 2;
  return 0;
}

int stuff_uint4(unsigned char **pkt, uint32_t value) {
  unsigned int v = value;
  UH2NI(*pkt, &v, 1);
  *pkt += 4;
  return 0;
}

int unstuff_uint1(unsigned char **pkt, uint8_t *value) {
  *value = **pkt;
  *pkt += 1;
  return 0;
}

int unstuff_uint2(unsigned char **pkt, uint16_t *value) {
  unsigned short v = 0;
  UN2HS(&v, *pkt, 1);
  *value = v;
  *pkt += 2;
  return 0;
}

int unstuff_uint4(unsigned char **pkt, uint32_t *value) {
  unsigned int v = 0;
  UN2HI(&v, *pkt, 1);
  *value = v;
  *pkt += 4;
  return 0;
}

int unstuff_int4(unsigned char **pkt, int32_t *value) {
  int v = 0;
  N2HI(&v, *pkt, 1);
  *value = v;
  *pkt += 4;
  return 0;
}

int unstuff_a2uint8(unsigned *high, unsigned *low, const char *text) {
  *high = 0;
  *low = 0;
  if (!text) return -1;
  size_t n = strnlen(text, 16);
  if (n == 0) return -1;
  unsigned words[2] = {0, 0};  // high, low
  size_t split = n > 8 ? n - 8 : 0;
  for (size_t i = 0; i < n; i++) {
    int d = q330_hexascii2int(static_cast<unsigned char>(text[i]));
    if (d < 0) return -1;
    unsigned &w = words[i < split ? 0 : 1];
    w = (w << 4) | static_cast<unsigned>(d);
  }
  *high = words[0];
  *low = words[1];
  return 0;
}

int q330_round32(int size) { return (size + 31) / 32 * 32; }

int q330_hexascii2int(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Base-96 text: two hex digits of the key, then groups of 4 printable characters
// c0..c3 (di = ci - 32) carrying 3 bytes, each XORed with the key:
//   byte0 = d0 | (d3 & 0x30) << 2; byte1 = d1 | (d3 & 0x0C) << 4; byte2 = d2 | (d3 & 3) << 6
int q330_decode_base96(unsigned char *buf, int *len) {
  if (!buf || !len || *len <= 17) return -1;
  int hi = q330_hexascii2int(buf[0]), lo = q330_hexascii2int(buf[1]);
  if (hi < 0 || lo < 0) return -1;
  unsigned key = static_cast<unsigned>(hi * 16 + lo);
  int groups = (*len - 2) / 4;
  int out = 0;
  for (int g = 0; g < groups; g++) {
    const unsigned char *c = buf + 2 + 4 * g;
    unsigned d0 = (c[0] - 32u) & 0xFF, d1 = (c[1] - 32u) & 0xFF, d2 = (c[2] - 32u) & 0xFF,
             d3 = (c[3] - 32u) & 0xFF;
    // Output position 3g stays behind the group's input at 2 + 4g: safe in place.
    buf[out++] = static_cast<unsigned char>((d0 | ((d3 & 0x30) << 2)) ^ key);
    buf[out++] = static_cast<unsigned char>((d1 | ((d3 & 0x0C) << 4)) ^ key);
    buf[out++] = static_cast<unsigned char>((d2 | ((d3 & 0x03) << 6)) ^ key);
  }
  int length = be_get16(buf + 6) + Q330_QDP_HDR;
  if (length < out - 2 || length > out) return -1;
  *len = length;
  return 0;
}

// Header at pkt: command, version 2, length, sequence, ack; then the CRC over bytes 4..end.
static void frame(unsigned char *pkt, int command, int length, uint16_t sequence, uint16_t ack) {
  unsigned char *c = pkt + 4;
  stuff_uint1(&c, static_cast<uint8_t>(command));
  stuff_uint1(&c, 2);
  stuff_uint2(&c, static_cast<uint16_t>(length));
  stuff_uint2(&c, sequence);
  stuff_uint2(&c, ack);
  unsigned crc = 0;
  q330_crc(pkt + 4, length + 8, &crc);
  c = pkt;
  stuff_uint4(&c, crc);
}

int q330_stuff_pollsn(unsigned short mask, unsigned short match, unsigned char *pkt, int *nbytes) {
  if (!pkt || !nbytes || *nbytes < 16) return -1;
  unsigned char *c = pkt + Q330_QDP_HDR;
  stuff_uint2(&c, mask);
  stuff_uint2(&c, match);
  frame(pkt, Q330_C1_POLLSN, 4, 0, 0);
  *nbytes = 16;
  return 0;
}

// ---- Sending ------------------------------------------------------------------------------

int q330_send_pkt(Q330 *q330, int command, void *data) {
  unsigned char buf[Q330_QDP_MAX] = {};
  int length = 0;
  if (data) {
    unsigned char *cursor = buf + Q330_QDP_HDR;
    if (q330_stuff_qpkt(command, &cursor, data) < 0) {
      elog_complain(0, "q330_send_pkt: Stuff error for command 0x%x.\n", command);
      return -1;
    }
    length = static_cast<int>(cursor - (buf + Q330_QDP_HDR));
  }
  int port_type = q330_get_port_type(command);
  if (port_type != 1 && port_type != 2) return -1;
  uint16_t seq = port_type == 1 ? ++q330->sequence : ++q330->sequence_data;
  uint16_t ack = command == Q330_DT_DACK && data ? static_cast<Q330DACKPkt *>(data)->qdp_ack : 0;
  frame(buf, command, length, seq, ack);
  UDP *udp = port_type == 1 ? q330->udp_control : q330->udp_data;
  const char *dest = port_type == 1 ? q330->q330_hostport_control : q330->q330_hostport_data;
  int local_port = port_type == 1 ? q330->params.local_port_control : q330->params.local_port_data;
  if (!udp || !dest ||
      udp_write(udp, local_port, q330->params.local_ipaddr, dest, buf, length + Q330_QDP_HDR) !=
          1) {
    elog_complain(0, "q330_send_pkt: udp_write(%s) error.\n", port_type == 1 ? "control" : "data");
    return -1;
  }
  if (q330->params.debug_udp)
    q330_output(q330, Q330_OUT_LOG, "DEBUGU: write %d bytes to %s from %d, 0x%2.2x, %d, %d.\n",
                length + Q330_QDP_HDR, dest, local_port, command, seq, ack);
  return 0;
}

namespace {

// The server response to challenge `ch`: the serial number, the challenge echoed and the
// digest made with the authentication code in use. 0, or -1 (logged) when the serial
// number or the code is no hexadecimal text.
int server_response(Q330 *q330, const Q330SRVCHPkt *ch, Q330SRVRSPPkt *rsp) {
  unsigned ah = 0, al = 0;
  const char *code = nullptr;
  Tbl *codes = q330->params.q330_authentication_codes;
  if (codes)
    code =
        static_cast<const char *>(gettbl(codes, q330->params.q330_authentication_codes_last_entry));
  if (!ch || unstuff_a2uint8(&rsp->serial_number_high, &rsp->serial_number_low,
                             q330->params.q330_serial_number) < 0) {
    elog_complain(0, "q330_sendcmd: Bad q330_serial_number for the server response.\n");
    return -1;
  }
  if (unstuff_a2uint8(&ah, &al, code) < 0) {
    elog_complain(0, "q330_sendcmd: Bad q330_authentication_codes entry %d.\n",
                  q330->params.q330_authentication_codes_last_entry);
    return -1;
  }
  rsp->challenge_value_high = ch->challenge_value_high;
  rsp->challenge_value_low = ch->challenge_value_low;
  rsp->server_ip_address = ch->server_ip_address;
  rsp->server_udp_port = ch->server_udp_port;
  rsp->registration_number = ch->registration_number;
  char text[81];
  q330_digest_text(ch, ah, al, rsp->serial_number_high, rsp->serial_number_low, text);
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, text, 80);
  MD5Final(rsp->md5_digest, &ctx);
  return 0;
}

}  // namespace

int q330_sendcmd(Q330 *q330, int command, ...) {
  va_list ap;
  va_start(ap, command);
  int rc = 0;
  Q330RQSRVPkt sn{};
  Q330POLLSNPkt poll{};
  Q330RQLOGPkt rqlog{};
  Q330RQSTATPkt rqstat{};
  Q330UMSGPkt umsg{};
  Q330RQPHY2Pkt rqphy2{};
  Q330C2SBPWRPkt sbpwr{};
  Q330SRVRSPPkt rsp{};
  void *data = nullptr;
  switch (command) {
    case Q330_DT_DACK:
    case 0x13:  // C1_SAUTH
    case 0x22:  // C1_PULSE
    case 0x23:  // C1_QCAL
    case 0x41:  // C1_RQMEM
      data = va_arg(ap, void *);
      if (!data) rc = -1;
      break;
    case Q330_DT_OPEN:
    case 0x16:
    case 0x1E:
    case 0x24:
    case 0x25:
    case 0x28:
    case 0x2D:
    case 0x32:
    case 0x35:
    case 0x36:
    case 0x53:
    case 0x55:
    case 0x58:
    case 0x70:
    case 0x71:
      break;
    case Q330_C1_RQSRV:
    case Q330_C1_DSRV:
      if (unstuff_a2uint8(&sn.serial_number_high, &sn.serial_number_low,
                          q330->params.q330_serial_number) < 0) {
        elog_complain(0, "q330_sendcmd: Bad q330_serial_number '%s'.\n",
                      q330->params.q330_serial_number ? q330->params.q330_serial_number : "");
        rc = -1;
      }
      data = &sn;
      break;
    case Q330_C1_SRVRSP:
      if (server_response(q330, va_arg(ap, const Q330SRVCHPkt *), &rsp) < 0) rc = -1;
      data = &rsp;
      break;
    case Q330_C1_POLLSN:
      data = &poll;
      break;
    case 0x17:  // C1_SLOG
      data = &q330->config.config_pkt.log;
      break;
    case 0x18:  // C1_RQLOG
    case 0x34:  // C1_RQFLGS
      rqlog.logical_port_number = static_cast<uint16_t>(q330->params.q330_port_logical - 1);
      data = &rqlog;
      break;
    case 0x1F:  // C1_RQSTAT
      rqstat.request_bitmap = va_arg(ap, unsigned int);
      data = &rqstat;
      break;
    case 0x30: {  // C1_UMSG
      const char *msg = va_arg(ap, const char *);
      snprintf(umsg.msg, 80, "%s", msg ? msg : "");
      data = &umsg;
      break;
    }
    case 0x51:  // C2_RQPHY
      rqphy2.physical_interface_number = static_cast<uint16_t>(va_arg(ap, int));
      data = &rqphy2;
      break;
    case 0x59:  // C2_SBPWR
      sbpwr.physical_interface = static_cast<uint16_t>(va_arg(ap, int));
      sbpwr.flag_and_timeout = static_cast<uint16_t>(va_arg(ap, int));
      data = &sbpwr;
      break;
    case 0x72:  // C2_SEPCFG
      data = &q330->config.c2_epcfg;
      break;
    default:
      elog_complain(0, "q330_sendcmd: Unknown command 0x%x.\n", command);
      rc = -1;
  }
  va_end(ap);
  if (rc < 0) return -1;
  return q330_send_pkt(q330, command, data) < 0 ? -1 : 0;
}

// ---- Receiving ----------------------------------------------------------------------------

namespace {

// What the two receive functions share: one datagram from the datalogger's address on a
// port, base-96 decoded when the port uses text, with its size checked against the limits.
struct Received {
  unsigned char buf[2 * Q330_QDP_MAX];  // room for the base-96 text of a full datagram
  int nbytes = 0;
  char from[256] = "";
  int local_port = 0;
};

// The datalogger's address and port (network order) as this record sends to it; false
// when they cannot be found.
bool peer_address(UDP *udp, const char *hostport, in_addr_t *addr, in_port_t *port) {
  if (!hostport) return false;
  if (udp->send_hostport[0] != '\0' && strcmp(udp->send_hostport, hostport) == 0) {
    *addr = udp->send_saddr.sin_addr.s_addr;
    *port = udp->send_saddr.sin_port;
    return true;
  }
  sockaddr_in sa{};
  if (udp_setup_ipaddr(hostport, reinterpret_cast<sockaddr *>(&sa)) < 0) return false;
  *addr = sa.sin_addr.s_addr;
  *port = sa.sin_port;
  return true;
}

// Counts a datagram from another address or port than the datalogger's and complains at
// most once a minute per port, with the count of those dropped since the last complaint.
// Each port is read by one thread only (control or data), so its limiter needs no lock.
void foreign_datagram(Q330 *q330, int port_type, const Received &r, const char *peer) {
  q330->npkts_foreign_error++;
  Q330DropLimit &limit = q330->foreign_limit[port_type == 1 ? 0 : 1];
  limit.dropped++;
  const double now = clock_monotonic();
  if (limit.time == 0 || now - limit.time >= 60.0) {
    q330_output(q330, Q330_OUT_LOG,
                "read_datagram: %d datagram%s on the %s port from %s and not the datalogger's "
                "%s dropped.\n",
                limit.dropped, limit.dropped == 1 ? "" : "s", port_type == 1 ? "control" : "data",
                r.from, peer ? peer : "-");
    limit.time = now;
    limit.dropped = 0;
  }
  if (q330->params.debug_udp)
    q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, foreign address.\n",
                r.nbytes, r.from, r.local_port);
}

// Reads until a datagram from the datalogger arrives or the time-out ends. The result of
// udp_read mapped to the receive codes.
int read_datagram(Q330 *q330, int port_type, double timeout, Received *r) {
  UDP *udp = port_type == 1 ? q330->udp_control : q330->udp_data;
  const char *peer = port_type == 1 ? q330->q330_hostport_control : q330->q330_hostport_data;
  r->local_port = port_type == 1 ? q330->params.local_port_control : q330->params.local_port_data;
  if (!udp) return -1;
  double end = clock_monotonic() + timeout;
  for (;;) {
    r->nbytes = static_cast<int>(sizeof r->buf);
    int rc = udp_read(udp, r->local_port, q330->params.local_ipaddr, r->from, r->buf, &r->nbytes,
                      timeout);
    if (rc == UDP_READ_TIMEOUT) return Q330_RECV_TIMEOUT;
    if (rc == UDP_READ_INTR) return Q330_RECV_INTR;
    if (rc == UDP_READ_NOTHING) return Q330_RECV_WOULDBLOCK;
    if (rc != UDP_READ_OK) return -1;
    // Only the datalogger's own address and the port this record sends to there: a
    // datagram from any other port, forged or stray, must not enter the stream.
    in_addr_t want = 0;
    in_port_t want_port = 0;
    if (peer_address(udp, peer, &want, &want_port) && udp->recv_saddr.sin_addr.s_addr == want &&
        udp->recv_saddr.sin_port == want_port)
      return 0;
    foreign_datagram(q330, port_type, *r, peer);
    if (timeout >= 0) {
      timeout = end - clock_monotonic();
      if (timeout <= 0) return Q330_RECV_TIMEOUT;
    }
  }
}

bool base96_port(Q330 *q330, int port_type) {
  return port_type == 2 && (q330->config.config_pkt.log.flags & 0x4000) != 0;
}

}  // namespace

int q330_recv_pkt(Q330 *q330, int command_wanted, int check_ack, int port_type, int *command_recv,
                  void *data, unsigned short *ackseq_recv) {
  if (command_wanted != Q330_CMD_ANY) port_type = q330_get_port_type(command_wanted);
  if (port_type != 1 && port_type != 2) return -1;
  Received r;
  double timeout = port_type == 1 ? q330->params.timeout_control : q330->params.timeout_data;
  int rc = read_datagram(q330, port_type, timeout, &r);
  if (rc != 0) return rc;
  const bool dbg = q330->params.debug_udp != 0;
  if (base96_port(q330, port_type) && q330_decode_base96(r.buf, &r.nbytes) < 0) {
    q330_output(q330, Q330_OUT_LOG, "read %d bytes from %s to %d, badbase96decode.\n", r.nbytes,
                r.from, r.local_port);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_checksum_error++;
    return Q330_RECV_CRC;
  }
  if (r.nbytes < Q330_QDP_HDR || r.nbytes > Q330_QDP_MAX) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, bad length.\n",
                  r.nbytes, r.from, r.local_port);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_wrongsize_error++;
    return Q330_RECV_SIZE;
  }
  int command = 0, length = 0, sequence = 0, ack = 0;
  rc = q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(r.buf), r.nbytes, &command, &length,
                            &sequence, &ack);
  if (rc == 1) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, badcrc.\n", r.nbytes,
                  r.from, r.local_port);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_checksum_error++;
    return Q330_RECV_CRC;
  }
  if (rc == 2) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, bad version.\n", r.nbytes, r.from,
                  r.local_port, r.buf[4]);
    return Q330_RECV_VERSION;
  }
  if (rc == 3) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, bad length.\n",
                  r.nbytes, r.from, r.local_port, r.buf[4]);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_wrongsize_error++;
    return Q330_RECV_SIZE;
  }
  if (rc != 0) return -1;
  if (ackseq_recv) *ackseq_recv = static_cast<unsigned short>(ack);
  if (check_ack) {
    int expect = port_type == 1 ? q330->sequence : q330->sequence_data;
    if (ack != expect) {
      if (dbg)
        q330_output(q330, Q330_OUT_LOG,
                    "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, %d, %d - bad ack (expecting "
                    "%d).\n",
                    r.nbytes, r.from, r.local_port, command, sequence, ack, expect);
      return Q330_RECV_ACK;
    }
  }
  if (command_recv) *command_recv = command;
  if (command == Q330_C1_CERR && port_type == 1)
    q330->last_cerr_code = length >= 2 ? be_get16(r.buf + Q330_QDP_HDR) : -1;
  if (command_wanted != Q330_CMD_ANY && command_wanted != command) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, %d, %d - wrong cmd (expecting "
                  "0x%2.2x).\n",
                  r.nbytes, r.from, r.local_port, command, sequence, ack, command_wanted);
    return Q330_RECV_WRONGCMD;
  }
  rc = 0;
  if (data && length > 0)
    rc = q330_unstuff_pkt(q330, command, static_cast<unsigned>(sequence),
                          static_cast<unsigned>(ack), r.buf + Q330_QDP_HDR, length, data);
  if (dbg)
    q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, %d, %d - ok.\n",
                r.nbytes, r.from, r.local_port, command, sequence, ack);
  return rc;
}

// The whole datagram in lines of 32 bytes, logged at most once per 10 s with the number of
// dumps left out since the last one.
static void dump_badcrc(Q330 *q330, const unsigned char *buf, int nbytes) {
  double now = clock_monotonic();
  if (q330->badcrc_dump_time != 0 && now - q330->badcrc_dump_time < 10.0) {
    q330->badcrc_dump_suppressed++;
    return;
  }
  if (q330->badcrc_dump_suppressed > 0)
    q330_output(q330, Q330_OUT_LOG, "%d bad-crc dumps suppressed.\n", q330->badcrc_dump_suppressed);
  q330->badcrc_dump_time = now;
  q330->badcrc_dump_suppressed = 0;
  for (int i = 0; i < nbytes; i += 32) {
    std::string line;
    char item[8];
    for (int j = i; j < nbytes && j < i + 32; j++) {
      snprintf(item, sizeof item, " %2.2x", buf[j]);
      line += item;
    }
    q330_output(q330, Q330_OUT_LOG, "%s\n", line.c_str());
  }
}

int q330_recv_pkt_data(Q330 *q330, int *command, unsigned short *sequence, void *data,
                       int *nbytes) {
  return q330_recv_pkt_data_wait(q330, q330->params.udp_timeout_data, command, sequence, data,
                                 nbytes);
}

int q330_recv_pkt_data_wait(Q330 *q330, double wait, int *command, unsigned short *sequence,
                            void *data, int *nbytes) {
  Received r;
  int rc = read_datagram(q330, 2, wait, &r);
  if (rc != 0) return rc;
  const bool dbg = q330->params.debug_udp != 0;
  if (base96_port(q330, 2) && q330_decode_base96(r.buf, &r.nbytes) < 0) {
    q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s, badbase96decode.\n", r.nbytes,
                r.from);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_checksum_error++;
    return Q330_RECV_CRC;
  }
  if (r.nbytes < Q330_QDP_HDR || r.nbytes > Q330_QDP_MAX) {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_wrongsize_error++;
    return Q330_RECV_DATASIZE;
  }
  int cmd = 0, length = 0, seq = 0, ack = 0;
  rc = q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(r.buf), r.nbytes, &cmd, &length, &seq,
                            &ack);
  if (rc == 1) {
    unsigned want = 0, got = 0;
    unsigned char *c = r.buf;
    unstuff_uint4(&c, &want);
    q330_crc(r.buf + 4, r.nbytes - 4, &got);
    q330_output(q330, Q330_OUT_LOG,
                "read %d bytes from %s, 0x%2.2x, %d, %d, badcrc (data crc 0x%8.8x != 0x%8.8x).\n",
                r.nbytes, r.from, r.buf[4], be_get16(r.buf + 8), be_get16(r.buf + 6), want, got);
    dump_badcrc(q330, r.buf, r.nbytes);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_checksum_error++;
    return Q330_RECV_CRC;
  }
  if (rc == 2) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, bad version.\n", r.nbytes, r.from,
                  r.local_port, r.buf[4]);
    return Q330_RECV_VERSION;
  }
  if (rc == 3) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, bad length.\n",
                  r.nbytes, r.from, r.local_port, r.buf[4]);
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_wrongsize_error++;
    return Q330_RECV_DATASIZE;
  }
  if (rc != 0) return -1;
  if (length > Q330_QDP_DATA_MAX) {
    if (dbg)
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, packet too big.\n", r.nbytes,
                  r.from, r.local_port, cmd);
    return Q330_RECV_TOOBIG;
  }
  if (command) *command = cmd;
  if (sequence) *sequence = static_cast<unsigned short>(seq);
  if (data && length > 0) memcpy(data, r.buf + Q330_QDP_HDR, static_cast<size_t>(length));
  if (nbytes) *nbytes = length;
  if (dbg)
    q330_output(q330, Q330_OUT_LOG, "DEBUGU: read %d bytes from %s to %d, 0x%2.2x, %d, %d - ok.\n",
                r.nbytes, r.from, r.local_port, cmd, seq, ack);
  return 0;
}

// ---- Decoding -----------------------------------------------------------------------------

namespace {

// Decoded record size and form number of a layout (0xC: EP1, taken first for every EP code).
struct LayoutInfo {
  int size;
  int form;
};

LayoutInfo layout_info(int layout) {
  switch (layout) {
    case 1:
      return {static_cast<int>(sizeof(Q330DATABLK1Pkt)), 1};
    case 2:
      return {static_cast<int>(sizeof(Q330DATABLK2Pkt)), 2};
    case 3:
      return {static_cast<int>(sizeof(Q330DATABLK3Pkt)), 3};
    case 4:
      return {static_cast<int>(sizeof(Q330DATABLK4Pkt)), 4};
    case 5:
      return {static_cast<int>(sizeof(Q330DATABLK5Pkt)), 5};
    case 6:
      return {static_cast<int>(sizeof(Q330DATABLK6Pkt)), 6};
    case 7:
      return {static_cast<int>(sizeof(Q330DATABLK7Pkt)), 7};
    case 8:
      return {static_cast<int>(sizeof(Q330DATABLK8Pkt)), 8};
    case 9:
      return {static_cast<int>(sizeof(Q330DATABLK9Pkt)), 9};
    case 0xA:
      return {static_cast<int>(sizeof(Q330DATABLKAPkt)), 10};
    case 0xB:
      return {static_cast<int>(sizeof(Q330DATABLKBPkt)), 11};
    case 0xC:
      return {static_cast<int>(sizeof(Q330DATABLKEP1Pkt)), 13};
    default:
      return {0, -1};
  }
}

int decode_layout(int layout, void *rec, unsigned char **cursor, int remaining, unsigned int **pool,
                  int *pool_free) {
  switch (layout) {
    case 1:
      return q330_decode_DATABLK1(rec, cursor, remaining);
    case 2:
      return q330_decode_DATABLK2(rec, cursor, remaining);
    case 3:
      return q330_decode_DATABLK3(rec, cursor, remaining);
    case 4:
      return q330_decode_DATABLK4(rec, cursor, remaining);
    case 5:
      return q330_decode_DATABLK5(rec, cursor, remaining);
    case 6:
      return q330_decode_DATABLK6(rec, cursor, remaining, pool, pool_free);
    case 7:
      return q330_decode_DATABLK7(rec, cursor, remaining, pool, pool_free);
    case 8:
      return q330_decode_DATABLK8(rec, cursor, remaining);
    case 9:
      return q330_decode_DATABLK9(rec, cursor, remaining);
    case 0xA:
      return q330_decode_DATABLKA(rec, cursor, remaining);
    case 0xB:
      return q330_decode_DATABLKB(rec, cursor, remaining);
    case 0xC:
      return q330_decode_DATABLKEP1(rec, cursor, remaining);
    default:
      return -1;
  }
}

// Splits the blockettes after the 4-byte record sequence. 0, or 10 when they do not fit.
int split_data(Q330 *q330, Q330DATAPkt *d, unsigned char *pkt, int nbytes) {
  unsigned char *cursor = pkt + 4;
  int remaining = nbytes - 4;
  int used = 0;
  unsigned int *pool = d->data_buf;
  int pool_free = Q330_DATA_WORDS;
  while (remaining > 0) {
    if (d->nblockettes >= Q330_DATA_MAXBLOCKETTES) return Q330_RECV_BLOCKETTES;
    unsigned char *start = cursor;
    int code = *cursor;
    Q330DATABlockette &entry = d->blockette[d->nblockettes];
    entry.channel = static_cast<uint8_t>(code);
    if (q330->params.debug_data > 3)
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGD: %2.2X: unstuffing data blockette with %d bytes remaining\n", code,
                  remaining);
    int layout = q330_blockette_layout(static_cast<unsigned>(code));
    LayoutInfo info = layout_info(layout);
    if (info.form < 0) return Q330_RECV_BLOCKETTES;
    int size = q330_round32(info.size);
    if (used + size > Q330_DATA_BLKBUF) return Q330_RECV_BLOCKETTES;
    void *rec = d->blk_buf + used;
    if (decode_layout(layout, rec, &cursor, remaining, &pool, &pool_free) != 0)
      return Q330_RECV_BLOCKETTES;
    int form = info.form;
    if (layout == 0xC) {
      auto *ep1 = static_cast<Q330DATABLKEP1Pkt *>(rec);
      if (code == 0xFC && (ep1->blockette_size & 0x3FF) >= 9) {
        size = q330_round32(static_cast<int>(sizeof(Q330DATABLKEP2Pkt)));
        if (used + size > Q330_DATA_BLKBUF) return Q330_RECV_BLOCKETTES;
        cursor = start;
        if (q330_decode_DATABLKEP2(rec, &cursor, remaining, &pool, &pool_free) != 0)
          return Q330_RECV_BLOCKETTES;
        form = 14;
      } else if (code != 0xFC) {
        form = 0;
      }
    }
    int consumed = static_cast<int>(cursor - start);
    if (consumed <= 0 || consumed > remaining) return Q330_RECV_BLOCKETTES;
    entry.type = static_cast<uint8_t>(form);
    entry.blockette = rec;
    used += size;
    remaining -= consumed;
    d->nblockettes++;
  }
  return 0;
}

}  // namespace

int q330_unstuff_pkt(Q330 *q330, int command, unsigned sequence, unsigned ack, unsigned char *pkt,
                     int nbytes, void *data) {
  unsigned char *cursor = pkt;
  if (!data || !pkt || nbytes < 0 || q330_unstuff_qpkt(command, data, nbytes, &cursor) < 0) {
    elog_complain(0, "q330_send_pkt: Unstuff error for command 0x%x.\n", command);
    return -1;
  }
  if (command == Q330_DT_FILL) {
    auto *f = static_cast<Q330FILLPkt *>(data);
    f->qdp_sequence = static_cast<uint16_t>(sequence);
    f->qdp_ack = static_cast<uint16_t>(ack);
    return 0;
  }
  if (command != Q330_DT_DATA) return 0;
  auto *d = static_cast<Q330DATAPkt *>(data);
  d->qdp_sequence = static_cast<uint16_t>(sequence);
  d->qdp_ack = static_cast<uint16_t>(ack);
  d->nblockettes = 0;
  if (nbytes < 4) return 0;
  return split_data(q330, d, pkt, nbytes);
}
