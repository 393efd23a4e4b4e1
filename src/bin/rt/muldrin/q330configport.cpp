// q330configport.cpp - the configuration-port client.
//
// Announce structure (C2_TERC subcommand 2 and its 0x6A reply), 104 bytes, big-endian:
//
// | Offset   | Size | Field                    |
// |----------|------|--------------------------|
// | 0        | 2    | subcommand               |
// | 2        | 2    | subresponse              |
// | 4        | 2    | number_of_active_entries |
// | 6        | 2    | unlock_flags             |
// | 8 + 16i  | 4    | dp_ip_address (entry i)  |
// | 12 + 16i | 4    | router_ip_address        |
// | 16 + 16i | 2    | timeout_in_minutes       |
// | 18 + 16i | 2    | resume_time_in_minutes   |
// | 20 + 16i | 2    | flags                    |
// | 22 + 16i | 2    | dp_udp_port              |
#include "q330configport.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/md5.h"
#include "base/tbl.h"
#include "q330_crc.h"
#include "q330_pktdefs.h"
#include "q330_qdp.h"

namespace {

std::atomic<unsigned> sequence_counter{0};
const int localport = 0;

void errorf(char *error, int err_sz, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void errorf(char *error, int err_sz, const char *fmt, ...) {
  if (!error || err_sz <= 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(error, static_cast<size_t>(err_sz), fmt, ap);
  va_end(ap);
}

// Room for the decoded reply of any command.
struct Reply {
  std::vector<uint64_t> words = std::vector<uint64_t>(32768);
  void *data() { return words.data(); }
};

bool read_hex8(const char *text, uint32_t *value) {
  if (strspn(text, "0123456789abcdefABCDEF") < 8) return false;
  char part[9];
  memcpy(part, text, 8);
  part[8] = '\0';
  *value = static_cast<uint32_t>(strtoul(part, nullptr, 16));
  return true;
}

// "a.b.c.d:port" of the configuration port, to recognise its replies; "" when the target
// is a broadcast (any sender is accepted then).
std::string expected_sender(const char *send_hostport) {
  size_t n = strlen(send_hostport);
  if (n >= 9 && strcmp(send_hostport + n - 9, "broadcast") == 0) return "";
  sockaddr_in sa{};
  if (udp_setup_ipaddr(send_hostport, reinterpret_cast<sockaddr *>(&sa)) != 0) return "";
  char ip[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &sa.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(sa.sin_port));
}

int read_for(UDP *udp, const char *local_ipaddr, char *recv_hostport, int *command,
             uint16_t *sequence, uint16_t *ack, void *qdata, double timeout) {
  std::vector<unsigned char> buf(Q330_QDP_MAX);
  int nbytes = Q330_QDP_MAX;
  int rc = udp_read(udp, localport, local_ipaddr, recv_hostport, buf.data(), &nbytes, timeout);
  if (rc == UDP_READ_TIMEOUT || rc == UDP_READ_INTR || rc == UDP_READ_NOTHING) return 0;
  if (rc != UDP_READ_OK) return -1;
  return q330_unstuff_qdp(buf.data(), nbytes, command, sequence, ack, qdata) == 0 ? 1 : -1;
}

// Waits for the reply to the datagram of sequence `seq`: 1 with its command, 0 on time-out,
// -1 on a failure. Datagrams from elsewhere, or answering another request, are dropped.
int await_reply(UDP *udp, const char *local_ipaddr, const char *send_hostport, uint16_t seq,
                int *command, void *qdata) {
  const std::string want = expected_sender(send_hostport);
  const double deadline = clock_monotonic() + q330_timeout;
  for (;;) {
    double left = deadline - clock_monotonic();
    if (left <= 0) return 0;
    char from[256] = "";
    uint16_t sequence = 0, ack = 0;
    int rc = read_for(udp, local_ipaddr, from, command, &sequence, &ack, qdata, left);
    if (rc <= 0) {
      if (rc < 0 && (want.empty() || want == from)) return -1;
      if (rc == 0) return 0;
      continue;  // an undecodable datagram from elsewhere
    }
    if (!want.empty() && want != from) continue;
    if (ack != seq) continue;
    return 1;
  }
}

// Sends `command` and waits for its reply; the outcome texts use `fn`, `req` (the
// request's name) and send_hostport. 0 on C1_CACK (or on `ok_reply` with *reply filled),
// else -1.
int exchange(UDP *udp, const char *local_ipaddr, const char *send_hostport, const char *fn,
             const char *req, int command, void *qdata, char *error, int err_sz, int ok_reply,
             Q330C3ANNCPkt *reply) {
  uint16_t seq = 0;
  if (q330_write_qdp(udp, local_ipaddr, send_hostport, command, &seq, qdata) < 0) {
    errorf(error, err_sz, "%s: q330_write_qdp(%s->%s) error.", fn, req, send_hostport);
    return -1;
  }
  Reply r;
  int got = 0;
  int rc = await_reply(udp, local_ipaddr, send_hostport, seq, &got, r.data());
  if (rc < 0) {
    errorf(error, err_sz, "%s: q330_read_qdp(%s->%s) error.", fn, send_hostport, req);
    return -1;
  }
  if (rc == 0) {
    errorf(error, err_sz, "%s: q330_read_qdp(%s->%s) timeout.", fn, send_hostport, req);
    return -1;
  }
  if (ok_reply && got == ok_reply) {
    if (reply) memcpy(reply, r.data(), sizeof *reply);
    return 0;
  }
  if (!ok_reply && got == Q330_C1_CACK) return 0;
  if (got == Q330_C1_CERR) {
    char msg[256];
    q330_code2str(Q330_C1_CERR, static_cast<const Q330CERRPkt *>(r.data())->error_code, msg,
                  sizeof msg);
    errorf(error, err_sz, "%s: C1_CERR response, %s, from %s->%s.", fn, msg, req, send_hostport);
    return -1;
  }
  errorf(error, err_sz, "%s: Wrong command response (%s) from %s->%s.", fn,
         q330_cmdstr(static_cast<unsigned>(got)), req, send_hostport);
  return -1;
}

}  // namespace

uint16_t q330config_sequence(void) { return static_cast<uint16_t>(sequence_counter.load()); }

int q330_map_lport(int lport, int port_base, const char *target, char *hostport, int size) {
  if (!hostport || size <= 0) return 0;
  size_t n = target ? strlen(target) : 0;
  if (n >= 9 && strcmp(target + n - 9, "broadcast") == 0)
    snprintf(hostport, static_cast<size_t>(size), "%s", target);
  else
    snprintf(hostport, static_cast<size_t>(size), "%s:%d", target ? target : "",
             port_base + 2 * lport);
  return 0;
}

int groksn(const char *sn, uint32_t *high, uint32_t *low) {
  if (!sn || strlen(sn) != 16) return -1;
  if (!read_hex8(sn, high) || !read_hex8(sn + 8, low)) return -1;
  return 0;
}

int grokauth(const char *auth, uint32_t *high, uint32_t *low) {
  size_t n = auth ? strlen(auth) : 0;
  if (n > 16) return -1;
  char field[17] = "0000000000000000";
  memcpy(field + 16 - n, auth ? auth : "", n);
  if (!read_hex8(field, high) || !read_hex8(field + 8, low)) return -1;
  return 0;
}

int q330_setup_srvrsp(const Q330RQSRVPkt *rqsrv, const char *auth, const Q330SRVCHPkt *srvch,
                      Q330SRVRSPPkt *srvrsp) {
  uint32_t ah = 0, al = 0;
  if (grokauth(auth, &ah, &al) < 0) return -1;
  char text[96];
  snprintf(text, sizeof text, "%-8.8x%-8.8x%-8.8x%-4.4x%-4.4x%-8.8x%-8.8x%-8.8x%-8.8x%-8.8x%-8.8x",
           srvch->challenge_value_high, srvch->challenge_value_low, srvch->server_ip_address,
           srvch->server_udp_port, srvch->registration_number, ah, al, rqsrv->serial_number_high,
           rqsrv->serial_number_low, 0u, 0u);
  *srvrsp = Q330SRVRSPPkt{};
  srvrsp->serial_number_high = rqsrv->serial_number_high;
  srvrsp->serial_number_low = rqsrv->serial_number_low;
  srvrsp->challenge_value_high = srvch->challenge_value_high;
  srvrsp->challenge_value_low = srvch->challenge_value_low;
  srvrsp->server_ip_address = srvch->server_ip_address;
  srvrsp->server_udp_port = srvch->server_udp_port;
  srvrsp->registration_number = srvch->registration_number;
  MD5_CTX ctx;
  MD5Init(&ctx);
  MD5Update(&ctx, text, 80);
  MD5Final(srvrsp->md5_digest, &ctx);
  return 0;
}

int q330_encode_TERC(unsigned char **cursor, const Q330C2TERCPkt *terc) {
  stuff_uint2(cursor, terc->subcommand);
  stuff_uint2(cursor, terc->spare1);
  return 0;
}

int q330_encode_ANNC(unsigned char **cursor, const Q330C3ANNCPkt *annc) {
  stuff_uint2(cursor, annc->subcommand);
  stuff_uint2(cursor, annc->subresponse);
  stuff_uint2(cursor, annc->number_of_active_entries);
  stuff_uint2(cursor, annc->unlock_flags);
  for (const Q330C3ANNCEntry &e : annc->entries) {
    stuff_uint4(cursor, e.dp_ip_address);
    stuff_uint4(cursor, e.router_ip_address);
    stuff_uint2(cursor, e.timeout_in_minutes);
    stuff_uint2(cursor, e.resume_time_in_minutes);
    stuff_uint2(cursor, e.flags);
    stuff_uint2(cursor, e.dp_udp_port);
  }
  return 0;
}

int q330_decode_ANNC(const unsigned char *bytes, Q330C3ANNCPkt *annc) {
  *annc = Q330C3ANNCPkt{};
  auto *p = const_cast<unsigned char *>(bytes);
  unstuff_uint2(&p, &annc->subcommand);
  unstuff_uint2(&p, &annc->subresponse);
  unstuff_uint2(&p, &annc->number_of_active_entries);
  unstuff_uint2(&p, &annc->unlock_flags);
  if (annc->number_of_active_entries > Q330_ANNC_ENTRIES)
    annc->number_of_active_entries = Q330_ANNC_ENTRIES;
  for (Q330C3ANNCEntry &e : annc->entries) {
    unstuff_uint4(&p, &e.dp_ip_address);
    unstuff_uint4(&p, &e.router_ip_address);
    unstuff_uint2(&p, &e.timeout_in_minutes);
    unstuff_uint2(&p, &e.resume_time_in_minutes);
    unstuff_uint2(&p, &e.flags);
    unstuff_uint2(&p, &e.dp_udp_port);
  }
  return 0;
}

int q330_stuff_qdp(int command, uint16_t sequence, void *qdata, unsigned char *pkt, int *nbytes) {
  std::vector<unsigned char> work(1024);
  unsigned char *cursor = work.data();
  if (command == Q330_C2_TERC) {
    if (static_cast<const Q330C2TERCPkt *>(qdata)->subcommand == 2)
      q330_encode_ANNC(&cursor, static_cast<const Q330C3ANNCPkt *>(qdata));
    else
      q330_encode_TERC(&cursor, static_cast<const Q330C2TERCPkt *>(qdata));
  } else if (q330_stuff_qpkt(command, &cursor, qdata) < 0) {
    return -1;
  }
  int length = static_cast<int>(cursor - work.data());
  if (*nbytes < length + Q330_QDP_HDR) return -1;
  unsigned char *p = pkt + 4;
  stuff_uint1(&p, static_cast<uint8_t>(command));
  stuff_uint1(&p, 2);
  stuff_uint2(&p, static_cast<uint16_t>(length));
  stuff_uint2(&p, sequence);
  stuff_uint2(&p, 0);
  memcpy(pkt + Q330_QDP_HDR, work.data(), static_cast<size_t>(length));
  unsigned crc = 0;
  q330_crc(pkt + 4, 8 + length, &crc);
  unsigned char *c = pkt;
  stuff_uint4(&c, crc);
  *nbytes = length + Q330_QDP_HDR;
  return 0;
}

int q330_write_qdp(UDP *udp, const char *local_ipaddr, const char *hostport, int command,
                   uint16_t *sequence, void *qdata) {
  unsigned char pkt[Q330_QDP_MAX];
  int nbytes = sizeof pkt;
  uint16_t seq = static_cast<uint16_t>(sequence_counter.load());
  if (q330_stuff_qdp(command, seq, qdata, pkt, &nbytes) < 0) return -1;
  if (sequence) *sequence = seq;
  sequence_counter.store((seq + 1u) & 0xFFFFu);
  return udp_write(udp, localport, local_ipaddr, hostport, pkt, nbytes) == 1 ? 0 : -1;
}

int q330_unstuff_qdp(const unsigned char *pkt, int nbytes, int *command, uint16_t *sequence,
                     uint16_t *ack, void *qdata) {
  if (nbytes < Q330_QDP_HDR) return -1;
  auto *p = const_cast<unsigned char *>(pkt);
  uint32_t crc = 0;
  uint8_t cmd = 0, version = 0;
  uint16_t length = 0;
  unstuff_uint4(&p, &crc);
  unstuff_uint1(&p, &cmd);
  unstuff_uint1(&p, &version);
  unstuff_uint2(&p, &length);
  unstuff_uint2(&p, sequence);
  unstuff_uint2(&p, ack);
  if (length > nbytes - Q330_QDP_HDR) return -1;
  unsigned want = 0;
  q330_crc(pkt + 4, 8 + length, &want);
  if (crc != want || version != 2) return -1;
  *command = cmd;
  if (cmd == Q330_C2_TERR) {
    // An announce reply of another size would leave the caller's structure as zeros.
    if (length != Q330_ANNC_SIZE) return -1;
    return q330_decode_ANNC(p, static_cast<Q330C3ANNCPkt *>(qdata));
  }
  return q330_unstuff_qpkt(cmd, qdata, length, &p) < 0 ? -1 : 0;
}

int q330_read_qdp(UDP *udp, const char *local_ipaddr, char *recv_hostport, int *command,
                  uint16_t *sequence, uint16_t *ack, void *qdata) {
  return read_for(udp, local_ipaddr, recv_hostport, command, sequence, ack, qdata, q330_timeout);
}

int q330config_register(UDP **udp, const char *local_ipaddr, char *send_hostport,
                        const char *targetip, const char *sn, int port_base, const char *auth,
                        char *error, int send_hostport_sz, int err_sz) {
  static const char fn[] = "q330config_register";
  if (!targetip || strcmp(targetip, "-") == 0) {
    errorf(error, err_sz, "%s: NULL q330 ip address.", fn);
    return -1;
  }
  Q330RQSRVPkt rqsrv{};
  if (groksn(sn, &rqsrv.serial_number_high, &rqsrv.serial_number_low) < 0) {
    errorf(error, err_sz, "%s: Unable to grok sn '%s'.", fn, sn ? sn : "");
    return -1;
  }
  q330_map_lport(0, port_base, targetip, send_hostport, send_hostport_sz);
  if (*udp) {
    udp_close(*udp);
  } else if (udp_new(udp) < 0 || !*udp) {
    errorf(error, err_sz, "%s: udp_new() error.", fn);
    return -1;
  }
  Reply r;
  int got = 0;
  int rc = 0;
  for (int attempt = 0; attempt <= q330_retries; attempt++) {
    uint16_t seq = 0;
    if (q330_write_qdp(*udp, local_ipaddr, send_hostport, Q330_C1_RQSRV, &seq, &rqsrv) < 0) {
      errorf(error, err_sz, "%s: q330_write_qdp(C1_RQSRV->%s) error.", fn, send_hostport);
      return -1;
    }
    rc = await_reply(*udp, local_ipaddr, send_hostport, seq, &got, r.data());
    if (rc != 0) break;
  }
  if (rc == 0) {
    errorf(error, err_sz, "%s: q330_read_qdp(%s->C1_SRVCH) timeout.", fn, send_hostport);
    return -1;
  }
  if (rc < 0) {
    errorf(error, err_sz, "%s: q330_read_qdp(%s->C1_SRVCH) error.", fn, send_hostport);
    return -1;
  }
  if (got == Q330_C1_CERR) {
    char msg[256];
    q330_code2str(Q330_C1_CERR, static_cast<const Q330CERRPkt *>(r.data())->error_code, msg,
                  sizeof msg);
    errorf(error, err_sz, "%s: C1_CERR response, %s, from C1_RQSRV->%s.", fn, msg, send_hostport);
    return -1;
  }
  if (got != Q330_C1_SRVCH) {
    errorf(error, err_sz, "%s: Wrong command response (%s) from C1_RQSRV->%s.", fn,
           q330_cmdstr(static_cast<unsigned>(got)), send_hostport);
    return -1;
  }
  Q330SRVCHPkt srvch;
  memcpy(&srvch, r.data(), sizeof srvch);
  Q330SRVRSPPkt srvrsp{};
  if (q330_setup_srvrsp(&rqsrv, auth, &srvch, &srvrsp) < 0) {
    errorf(error, err_sz, "%s: q330_setup_srvrsp() error.", fn);
    return -1;
  }
  // The answer to C1_SRVRSP is C1_CACK; its texts name it.
  uint16_t seq = 0;
  if (q330_write_qdp(*udp, local_ipaddr, send_hostport, Q330_C1_SRVRSP, &seq, &srvrsp) < 0) {
    errorf(error, err_sz, "%s: q330_write_qdp(C1_SRVRSP->%s) error.", fn, send_hostport);
    return -1;
  }
  rc = await_reply(*udp, local_ipaddr, send_hostport, seq, &got, r.data());
  if (rc < 0) {
    errorf(error, err_sz, "%s: q330_read_qdp(%s->C1_CACK) error.", fn, send_hostport);
    return -1;
  }
  if (rc == 0) {
    errorf(error, err_sz, "%s: q330_read_qdp(%s->C1_CACK) timeout.", fn, send_hostport);
    return -1;
  }
  if (got == Q330_C1_CACK) return 0;
  if (got == Q330_C1_CERR) {
    char msg[256];
    q330_code2str(Q330_C1_CERR, static_cast<const Q330CERRPkt *>(r.data())->error_code, msg,
                  sizeof msg);
    errorf(error, err_sz, "%s: C1_CERR response, %s, from C1_SRVRSP->%s.", fn, msg, send_hostport);
    return -1;
  }
  errorf(error, err_sz, "%s: Wrong command response (%s) from C1_SRVRSP->%s.", fn,
         q330_cmdstr(static_cast<unsigned>(got)), send_hostport);
  return -1;
}

int q330config_deregister(UDP *udp, const char *local_ipaddr, const char *send_hostport,
                          const char *sn, char *error, int err_sz) {
  if (!udp) return 0;
  Q330DSRVPkt dsrv{};
  if (groksn(sn, &dsrv.serial_number_high, &dsrv.serial_number_low) < 0) {
    errorf(error, err_sz, "q330_deregister: Unable to grok sn '%s'.", sn ? sn : "");
    return -1;
  }
  for (int i = 0; i < 3; i++) {
    if (q330_write_qdp(udp, local_ipaddr, send_hostport, Q330_C1_DSRV, nullptr, &dsrv) < 0) {
      errorf(error, err_sz, "q330config_deregister: q330_write_qdp(C1_DSRV->%s) error.",
             send_hostport);
      return -1;
    }
    clock_sleep(1.0);
  }
  udp_close(udp);
  return 0;
}

int q330config_C1_CTRL(UDP *udp, const char *local_ipaddr, const char *send_hostport, char *error,
                       int err_sz, int argc, char **argv) {
  static const char fn[] = "q330config_C1_CTRL";
  static const struct {
    const char *word;
    uint16_t bit;
  } words[] = {{"eeprom", 0x01}, {"reboot", 0x02}, {"resync", 0x04},
               {"gpson", 0x08},  {"gpsoff", 0x10}, {"gpscs", 0x20}};
  if (argc < 1) {
    errorf(error, err_sz, "%s: Need at least one control function.", fn);
    return -1;
  }
  Q330CTRLPkt ctrl{};
  for (int i = 0; i < argc; i++) {
    bool known = false;
    for (const auto &w : words)
      if (argv[i] && strcmp(argv[i], w.word) == 0) ctrl.flags |= w.bit, known = true;
    if (!known) {
      errorf(error, err_sz, "%s: Unrecognized control function '%s'.", fn, argv[i] ? argv[i] : "");
      return -1;
    }
  }
  return exchange(udp, local_ipaddr, send_hostport, fn, "C1_CTRL", Q330_C1_CTRL, &ctrl, error,
                  err_sz, 0, nullptr);
}

int q330config_C2_SBPWR(UDP *udp, const char *local_ipaddr, const char *send_hostport, char *error,
                        int err_sz, int argc, char **argv) {
  static const char fn[] = "q330config_C2_SBPWR";
  static const struct {
    const char *word;
    int interface_number;
    bool dialer;
  } interfaces[] = {{"serial1", 0, false},
                    {"serial2", 1, false},
                    {"ethernet", 3, false},
                    {"dialer1", 4, true},
                    {"dialer2", 5, true}};
  static const struct {
    const char *word;
    bool dialer;
    uint16_t bits;
    bool timeout;
  } functions[] = {{"powerontimer", false, 0x1000, true},  {"ignoretimer", false, 0x2000, true},
                   {"canceltimers", false, 0x3000, false}, {"poweron", false, 0x4000, true},
                   {"cleartimeout", false, 0x8000, true},  {"cleartimeouts", true, 0x2000, false},
                   {"offhook", true, 0x4000, false},       {"onhook", true, 0x8000, false}};
  if (argc < 1) {
    errorf(error, err_sz,
           "%s: Need interface (one of 'serial1', 'serial2', 'ethernet', 'dialer1', 'dialer2').",
           fn);
    return -1;
  }
  Q330C2SBPWRPkt sbpwr{};
  int which = -1;
  for (int i = 0; i < 5; i++)
    if (argv[0] && strcmp(argv[0], interfaces[i].word) == 0) which = i;
  if (which < 0) {
    errorf(error, err_sz, "%s: Unrecognized interface '%s'.", fn, argv[0] ? argv[0] : "");
    return -1;
  }
  const bool dialer = interfaces[which].dialer;
  sbpwr.physical_interface = static_cast<uint16_t>(interfaces[which].interface_number);
  if (argc < 2) {
    errorf(error, err_sz, "%s: Need function (one of %s).", fn,
           dialer ? "'cleartimeouts', 'offhook', 'onhook'"
                  : "'powerontimer', 'ignoretimer', 'canceltimers', 'poweron', 'cleartimeout'");
    return -1;
  }
  bool found = false, needs_timeout = false;
  for (const auto &f : functions)
    if (f.dialer == dialer && argv[1] && strcmp(argv[1], f.word) == 0) {
      sbpwr.flag_and_timeout = f.bits;
      needs_timeout = f.timeout;
      found = true;
    }
  if (!found) {
    errorf(error, err_sz, "%s: Unrecognized function '%s'.", fn, argv[1] ? argv[1] : "");
    return -1;
  }
  if (needs_timeout) {
    if (argc < 3) {
      errorf(error, err_sz, "%s: Need timeout.", fn);
      return -1;
    }
    long t = atol(argv[2] ? argv[2] : "0");
    t = std::clamp(t, 0L, 4095L);
    sbpwr.flag_and_timeout = static_cast<uint16_t>(sbpwr.flag_and_timeout | t);
  }
  return exchange(udp, local_ipaddr, send_hostport, fn, "C2_SBPWR", Q330_C2_SBPWR, &sbpwr, error,
                  err_sz, 0, nullptr);
}

int q330config_C3_RQANNC(UDP *udp, const char *local_ipaddr, const char *send_hostport, char *error,
                         int err_sz, Q330C3ANNCPkt *annc) {
  *annc = Q330C3ANNCPkt{};
  Q330C2TERCPkt terc{1, 0};
  return exchange(udp, local_ipaddr, send_hostport, "q330config_C3_RQANNC", "C2_TERC", Q330_C2_TERC,
                  &terc, error, err_sz, Q330_C2_TERR, annc);
}

int q330config_C3_SANNC(UDP *udp, const char *local_ipaddr, const char *send_hostport,
                        Q330C3ANNCPkt *annc, char *error, int err_sz, int argc, char **argv) {
  static const char fn[] = "q330config_C3_SANNC";
  if (argc < 2) {
    errorf(error, err_sz, "%s: Need at least the number_of_active_entries and unlock_flags.", fn);
    return -1;
  }
  auto keep = [](const char *w) { return !w || strcmp(w, "-") == 0; };
  long count = -1, flags = 0;
  const bool set_flags = !keep(argv[1]);
  if (!keep(argv[0])) {
    count = atol(argv[0]);
    if (count < 0) {
      errorf(error, err_sz, "%s: number_of_active_entries cannot be negative.", fn);
      return -1;
    }
    if (count > Q330_ANNC_ENTRIES) {
      errorf(error, err_sz, "%s: number_of_active_entries cannot be larger than %d.", fn,
             Q330_ANNC_ENTRIES);
      return -1;
    }
  }
  if (set_flags) flags = strtol(argv[1], nullptr, 0);
  if (q330config_C3_RQANNC(udp, local_ipaddr, send_hostport, error, err_sz, annc) < 0) {
    errorf(error, err_sz, "%s: q330config_C3_RQANNC() error.\n", fn);
    return -1;
  }
  if (count >= 0) annc->number_of_active_entries = static_cast<uint16_t>(count);
  if (set_flags) annc->unlock_flags = static_cast<uint16_t>(flags);
  for (int w = 2, entry = 0; w < argc && entry < Q330_ANNC_ENTRIES; entry++) {
    Q330C3ANNCEntry &e = annc->entries[entry];
    for (int field = 0; field < 6 && w < argc; field++, w++) {
      const char *word = argv[w];
      if (keep(word)) continue;
      unsigned ip = 0;
      switch (field) {
        case 0:
          my_str2ip(word, &ip);
          e.dp_ip_address = ip;
          break;
        case 1:
          my_str2ip(word, &ip);
          e.router_ip_address = ip;
          break;
        case 2:
          e.timeout_in_minutes = static_cast<uint16_t>(atol(word));
          break;
        case 3:
          e.resume_time_in_minutes = static_cast<uint16_t>(atol(word));
          break;
        case 4:
          e.flags = static_cast<uint16_t>(strtol(word, nullptr, 0));
          break;
        default:
          e.dp_udp_port = static_cast<uint16_t>(atol(word));
      }
    }
  }
  annc->subcommand = 2;
  return exchange(udp, local_ipaddr, send_hostport, fn, "C2_TERC", Q330_C2_TERC, annc, error,
                  err_sz, 0, nullptr);
}

int q330_pfstuff_ANNC(void **stack, const Q330C3ANNCPkt *annc, int noipresolv) {
  mypushstr(stack, "subcommand %u\n", annc->subcommand);
  mypushstr(stack, "subresponse %u\n", annc->subresponse);
  mypushstr(stack, "number_of_active_entries %u\n", annc->number_of_active_entries);
  mypushstr(stack, "unlock_flags 0x%x\n", annc->unlock_flags);
  mypushstr(stack, "anncs &Tbl{\n");
  int n = std::min<int>(annc->number_of_active_entries, Q330_ANNC_ENTRIES);
  for (int i = 0; i < n; i++) {
    const Q330C3ANNCEntry &e = annc->entries[i];
    char ip[256];
    mypushstr(stack, "&Arr{\n");
    if (my_ip2str(e.dp_ip_address, ip, noipresolv, sizeof ip) == 0)
      mypushstr(stack, "dp_ip_address %s\n", ip);
    else
      mypushstr(stack, "dp_ip_address %u\n", e.dp_ip_address);
    if (my_ip2str(e.router_ip_address, ip, noipresolv, sizeof ip) == 0)
      mypushstr(stack, "router_ip_address %s\n", ip);
    else
      mypushstr(stack, "router_ip_address %u\n", e.router_ip_address);
    mypushstr(stack, "timeout_in_minutes %u\n", e.timeout_in_minutes);
    mypushstr(stack, "resume_time_in_minutes %u\n", e.resume_time_in_minutes);
    mypushstr(stack, "flags 0x%x\n", e.flags);
    mypushstr(stack, "dp_udp_port %u\n", e.dp_udp_port);
    mypushstr(stack, "}\n");
  }
  mypushstr(stack, "}\n");
  return 0;
}
