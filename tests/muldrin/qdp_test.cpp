// The QDP datagram layer: golden datagrams made here (CRC from the simulator's bitwise
// CRC) sent over loopback to a session, the receive results of both receive functions,
// base-96 text, the DT_DATA split and the cursor primitives.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330pkt.h"
#include "q330sim.h"
#include "q330sim_frames.h"
#include "testkit/testkit.h"

namespace {

using Bytes = std::vector<unsigned char>;

void put16(Bytes &v, unsigned x) {
  v.push_back(static_cast<unsigned char>(x >> 8));
  v.push_back(static_cast<unsigned char>(x));
}
void put32(Bytes &v, uint32_t x) {
  put16(v, x >> 16);
  put16(v, x & 0xFFFF);
}

// A datagram by hand: the length field may be off by `dlen`, the version changed, the CRC
// spoilt.
Bytes dgram(int command, unsigned seq, unsigned ack, const Bytes &payload, int dlen = 0,
            int version = 2, bool badcrc = false) {
  Bytes d(4, 0);
  d.push_back(static_cast<unsigned char>(command));
  d.push_back(static_cast<unsigned char>(version));
  put16(d, static_cast<unsigned>(static_cast<int>(payload.size()) + dlen));
  put16(d, seq);
  put16(d, ack);
  d.insert(d.end(), payload.begin(), payload.end());
  uint32_t crc = q330sim_crc(d.data() + 4, d.size() - 4);
  if (badcrc) crc ^= 1;
  for (int i = 0; i < 4; i++)
    d[static_cast<size_t>(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
  return d;
}

int bind_peer(const char *addr) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, addr, &sa.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int port_of(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A session whose datalogger is two loopback sockets of the test (control and data).
struct Loopback {
  Q330 *q;
  OutputRecorder rec;
  int peer[3] = {-1, -1, -1};  // index = port type
  sockaddr_in session[3]{};

  Loopback() {
    q = q330_create(OutputRecorder::callback, nullptr);
    rec.attach(q);
    peer[1] = bind_peer("127.0.0.1");
    peer[2] = bind_peer("127.0.0.1");
    std::string c = "127.0.0.1:" + std::to_string(port_of(peer[1]));
    std::string d = "127.0.0.1:" + std::to_string(port_of(peer[2]));
    set_q330_str(&q->q330_hostport_control, c.c_str());
    set_q330_str(&q->q330_hostport_data, d.c_str());
    set_q330_str(&q->params.local_ipaddr, "127.0.0.1");
    q->params.local_port_control = 0;
    q->params.local_port_data = 0;
    q->params.timeout_control = 0.3;
    q->params.timeout_data = 0.3;
    q->params.udp_timeout_data = 0.3;
    udp_new(&q->udp_control);
    udp_new(&q->udp_data);
  }
  ~Loopback() {
    udp_free(q->udp_control);
    udp_free(q->udp_data);
    free(q->q330_hostport_control);
    free(q->q330_hostport_data);
    free(q->params.local_ipaddr);
    for (int fd : peer)
      if (fd >= 0) close(fd);
    free_session(q);
  }
  // Sends one command from the session, so that the peer learns the session's address;
  // returns what the peer received.
  Bytes open(int port_type) {
    EXPECT_EQ(q330_sendcmd(q, port_type == 1 ? Q330_C1_POLLSN : Q330_DT_OPEN), 0);
    unsigned char buf[2048];
    socklen_t len = sizeof session[port_type];
    ssize_t n = recvfrom(peer[port_type], buf, sizeof buf, 0,
                         reinterpret_cast<sockaddr *>(&session[port_type]), &len);
    return n > 0 ? Bytes(buf, buf + n) : Bytes();
  }
  void send(int port_type, const Bytes &d, const char *from = nullptr) {
    int fd = peer[port_type];
    int other = -1;
    if (from) fd = other = bind_peer(from);
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&session[port_type]),
           sizeof session[port_type]);
    if (other >= 0) close(other);
  }
};

TEST(QdpSend, HeaderSequenceAckAndCrc) {
  Loopback lb;
  lb.q->sequence = 65535;
  Bytes d = lb.open(1);
  ASSERT_EQ(d.size(), 16u);
  EXPECT_EQ(d[4], Q330_C1_POLLSN);
  EXPECT_EQ(d[5], 2);
  EXPECT_EQ(d[6] << 8 | d[7], 4);
  EXPECT_EQ(d[8] << 8 | d[9], 0);  // 65535 wraps to 0 before the send
  EXPECT_EQ(lb.q->sequence, 0);
  uint32_t crc = static_cast<uint32_t>(d[0]) << 24 | d[1] << 16 | d[2] << 8 | d[3];
  EXPECT_EQ(crc, q330sim_crc(d.data() + 4, d.size() - 4));

  // DT_DACK carries its qdp_ack in the header, on the data port's own counter.
  lb.open(2);
  Q330DACKPkt dack{};
  dack.qdp_ack = 0x1234;
  ASSERT_EQ(q330_sendcmd(lb.q, Q330_DT_DACK, &dack), 0);
  unsigned char buf[64];
  ssize_t n = recv(lb.peer[2], buf, sizeof buf, 0);
  ASSERT_GE(n, 12);
  EXPECT_EQ(buf[10] << 8 | buf[11], 0x1234);
  EXPECT_EQ(buf[8] << 8 | buf[9], 2);
  EXPECT_EQ(lb.q->sequence_data, 2);

  // Unknown commands and a serial number that is not hexadecimal are refused unsent.
  ElogCapture log;
  EXPECT_EQ(q330_sendcmd(lb.q, 0x99), -1);
  EXPECT_TRUE(log.contains("q330_sendcmd: Unknown command 0x99."));
  set_q330_str(&lb.q->params.q330_serial_number, "12x4");
  EXPECT_EQ(q330_sendcmd(lb.q, Q330_C1_RQSRV), -1);
  free(lb.q->params.q330_serial_number);
  lb.q->params.q330_serial_number = nullptr;
}

TEST(QdpRecv, ControlResults) {
  struct Case {
    const char *name;
    Bytes datagram;  // none: nothing sent
    int wanted, check_ack;
    const char *from;
    int result;
  };
  Loopback lb;
  lb.open(1);
  const unsigned seq = lb.q->sequence;
  Bytes cerr;
  put16(cerr, 3);
  Bytes big(1013, 0);
  const Case cases[] = {
      {"good", dgram(Q330_C1_CACK, 1, seq, {}), Q330_C1_CACK, 1, nullptr, 0},
      {"any command", dgram(Q330_C1_CERR, 1, seq, cerr), Q330_CMD_ANY, 1, nullptr, 0},
      {"bad crc", dgram(Q330_C1_CACK, 1, seq, {}, 0, 2, true), Q330_C1_CACK, 1, nullptr, 1},
      {"bad version", dgram(Q330_C1_CACK, 1, seq, {}, 0, 3), Q330_C1_CACK, 1, nullptr, 2},
      {"length +1", dgram(Q330_C1_CERR, 1, seq, cerr, 1), Q330_C1_CERR, 1, nullptr, 3},
      {"length -1", dgram(Q330_C1_CERR, 1, seq, cerr, -1), Q330_C1_CERR, 1, nullptr, 3},
      {"short", Bytes(8, 0x41), Q330_C1_CACK, 1, nullptr, 3},
      {"over 1024", dgram(Q330_C1_CACK, 1, seq, big), Q330_CMD_ANY, 0, nullptr, 3},
      {"ack one behind", dgram(Q330_C1_CACK, 1, seq - 1, {}), Q330_C1_CACK, 1, nullptr, 9},
      {"ack one behind, unchecked", dgram(Q330_C1_CACK, 1, seq - 1, {}), Q330_C1_CACK, 0, nullptr,
       0},
      {"wrong command", dgram(Q330_C1_CERR, 1, seq, cerr), Q330_C1_CACK, 1, nullptr, 4},
      {"zero length", Bytes(), Q330_C1_CACK, 1, nullptr, 5},
      {"foreign address", dgram(Q330_C1_CACK, 1, seq, {}), Q330_C1_CACK, 1, "127.0.0.2", 5},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    int checksum = lb.q->status.npkts_checksum_error;
    int wrongsize = lb.q->status.npkts_wrongsize_error;
    lb.send(1, c.datagram, c.from);
    int command = -1;
    unsigned short ack = 0;
    Q330CERRPkt out{};
    EXPECT_EQ(q330_recv_pkt(lb.q, c.wanted, c.check_ack, 1, &command, &out, &ack), c.result);
    EXPECT_EQ(lb.q->status.npkts_checksum_error - checksum, c.result == 1);
    EXPECT_EQ(lb.q->status.npkts_wrongsize_error - wrongsize, c.result == 3);
    if (c.result == 0 || c.result == 4) {
      EXPECT_EQ(command, c.datagram[4]);
    }
  }
  EXPECT_EQ(lb.q->npkts_foreign_error.load(), 1);
  EXPECT_EQ(lb.q->last_cerr_code, 3);

  // Nothing waiting and no wait asked: would block.
  lb.q->params.timeout_control = -1;
  EXPECT_EQ(q330_recv_pkt(lb.q, Q330_C1_CACK, 1, 1, nullptr, nullptr, nullptr), 14);
}

TEST(QdpRecv, UnsolicitedStatusIsNotDecodedIntoTheChallenge) {
  Loopback lb;
  lb.open(1);
  Bytes stat;
  put32(stat, 0xFFFFFFFF);  // every status block
  stat.resize(800, 0x55);
  lb.send(1, dgram(0xA9, 1, 0, stat));  // C1_STAT
  // Exactly the size of a challenge: AddressSanitizer sees any write past it.
  auto *srvch = new Q330SRVCHPkt{};
  srvch->registration_number = 77;
  int command = -1;
  EXPECT_EQ(q330_recv_pkt(lb.q, Q330_C1_SRVCH, 0, 1, &command, srvch, nullptr), 4);
  EXPECT_EQ(command, 0xA9);
  EXPECT_EQ(srvch->registration_number, 77);
  delete srvch;
}

TEST(QdpRecv, DataPortResults) {
  struct Case {
    const char *name;
    Bytes datagram;
    int result;
  };
  Loopback lb;
  lb.open(2);
  const Case cases[] = {
      {"720 bytes", dgram(0x00, 9, 0, Bytes(720, 0)), 0},
      {"721 bytes", dgram(0x00, 9, 0, Bytes(721, 0)), 12},
      {"bad crc", dgram(0x00, 9, 0, Bytes(16, 1), 0, 2, true), 1},
      {"bad version", dgram(0x00, 9, 0, Bytes(16, 1), 0, 1), 2},
      {"length +1", dgram(0x00, 9, 0, Bytes(16, 1), 1), 11},
      {"short", Bytes(11, 0), 11},
  };
  ElogCapture log;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    lb.send(2, c.datagram);
    int command = -1, nbytes = -1;
    unsigned short sequence = 0;
    std::vector<unsigned char> payload(720);
    EXPECT_EQ(q330_recv_pkt_data(lb.q, &command, &sequence, payload.data(), &nbytes), c.result);
    if (c.result == 0) {
      EXPECT_EQ(nbytes, 720);
      EXPECT_EQ(sequence, 9);
    }
  }
  // The bad CRC is logged with its dump; a second one within 10 s is not dumped again.
  lb.rec.clear();
  lb.send(2, dgram(0x00, 9, 0, Bytes(40, 1), 0, 2, true));
  int command, nbytes;
  unsigned short sequence;
  unsigned char payload[720];
  EXPECT_EQ(q330_recv_pkt_data(lb.q, &command, &sequence, payload, &nbytes), 1);
  auto lines = lb.rec.lines();
  ASSERT_EQ(lines.size(), 1u);  // the dump was given by the first bad CRC above
  EXPECT_NE(lines[0].find("badcrc (data crc"), std::string::npos);
  EXPECT_EQ(lb.q->badcrc_dump_suppressed, 1);
}

// Base-96 encoder written here from the text form.
std::string base96(const Bytes &d, unsigned key) {
  char hex[3];
  snprintf(hex, sizeof hex, "%02X", key);
  std::string out = hex;
  for (size_t i = 0; i < d.size(); i += 3) {
    unsigned b[3] = {0, 0, 0};
    for (size_t j = 0; j < 3 && i + j < d.size(); j++) b[j] = d[i + j] ^ key;
    unsigned d3 = (b[0] >> 6) << 4 | (b[1] >> 6) << 2 | b[2] >> 6;
    out += static_cast<char>((b[0] & 0x3F) + 32);
    out += static_cast<char>((b[1] & 0x3F) + 32);
    out += static_cast<char>((b[2] & 0x3F) + 32);
    out += static_cast<char>(d3 + 32);
  }
  return out;
}

TEST(QdpBase96, RoundTripAndRefusals) {
  Bytes d = dgram(0x00, 5, 0, Bytes{1, 2, 3, 4, 0xFF, 0x80, 0x7F, 9});  // 20 bytes
  std::string text = base96(d, 0xA7);
  std::vector<unsigned char> buf(text.begin(), text.end());
  int len = static_cast<int>(buf.size());
  ASSERT_EQ(q330_decode_base96(buf.data(), &len), 0);
  ASSERT_EQ(len, 20);
  EXPECT_EQ(Bytes(buf.begin(), buf.begin() + 20), d);

  // 17 characters are too short.
  std::string s17 = text.substr(0, 17);
  len = 17;
  EXPECT_EQ(q330_decode_base96(reinterpret_cast<unsigned char *>(s17.data()), &len), -1);
  // A length field 3 below the decoded count.
  Bytes shortlen = dgram(0x00, 5, 0, Bytes(9, 7), -3);  // 21 bytes, length says 18
  text = base96(shortlen, 0x11);
  buf.assign(text.begin(), text.end());
  len = static_cast<int>(buf.size());
  EXPECT_EQ(q330_decode_base96(buf.data(), &len), -1);
  // A bad key.
  text = "G1" + base96(d, 0).substr(2);
  buf.assign(text.begin(), text.end());
  len = static_cast<int>(buf.size());
  EXPECT_EQ(q330_decode_base96(buf.data(), &len), -1);

  // A base-96 data port delivers the decoded datagram.
  Loopback lb;
  lb.q->config.config_pkt.log.flags = 0x4000;
  lb.open(2);
  text = base96(d, 0x3C);
  lb.send(2, Bytes(text.begin(), text.end()));
  int command = -1, nbytes = 0;
  unsigned short sequence = 0;
  unsigned char payload[720];
  EXPECT_EQ(q330_recv_pkt_data(lb.q, &command, &sequence, payload, &nbytes), 0);
  EXPECT_EQ(nbytes, 8);
  EXPECT_EQ(sequence, 5);
}

// The largest data datagram, split into its most blockettes, fits the data thread's stack.
TEST(QdpUnstuff, LargestDataDatagramFitsTheDataThreadStack) {
  auto q = std::make_unique<Q330>();
  auto d = std::make_unique<Q330DATAPkt>();
  Bytes many;
  put32(many, 1);
  for (int i = 0; i < 134; i++) many.insert(many.end(), {0x00, 1, 2, 3});
  int rc = -1;
  long peak = run_on_thread_stack(THREAD_Q330_DATA, [&] {
    rc = q330_unstuff_pkt(q.get(), Q330_DT_DATA, 17, 3, many.data(), static_cast<int>(many.size()),
                          d.get());
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(d->nblockettes, 134);
  ASSERT_GT(peak, 0);
  EXPECT_LT((size_t)peak, threadstart_stack_size(THREAD_Q330_DATA) / 2);
}

TEST(QdpUnstuff, DataSplit) {
  auto q = std::make_unique<Q330>();
  auto d = std::make_unique<Q330DATAPkt>();
  auto run = [&](const Bytes &payload) {
    Bytes p = payload;
    return q330_unstuff_pkt(q.get(), Q330_DT_DATA, 17, 3, p.data(), static_cast<int>(p.size()),
                            d.get());
  };
  Bytes seqonly;
  put32(seqonly, 0xDEADBEEF);
  EXPECT_EQ(run(seqonly), 0);
  EXPECT_EQ(d->nblockettes, 0);
  EXPECT_EQ(d->data_record_sequence, 0xDEADBEEFu);
  EXPECT_EQ(d->qdp_sequence, 17);
  EXPECT_EQ(d->qdp_ack, 3);

  Bytes many = seqonly;
  for (int i = 0; i < 135; i++) many.insert(many.end(), {0x00, 1, 2, 3});  // layout 1
  EXPECT_EQ(run(many), 10);
  many.resize(4 + 134 * 4);
  EXPECT_EQ(run(many), 0);
  EXPECT_EQ(d->nblockettes, 134);

  Bytes zero = seqonly;
  // Layouts B and A with a size field of 0 still step over their header: the walk ends.
  zero.insert(zero.end(), {0xFB, 0, 0, 0, 0xFA, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(run(zero), 0);
  EXPECT_EQ(d->nblockettes, 2);
  Bytes overlong = seqonly;
  overlong.insert(overlong.end(), {0xFA, 0, 0x02, 0xBC, 1, 2, 3, 4, 5, 6, 7, 8});  // A of 700
  EXPECT_EQ(run(overlong), 10);

  // A mixed payload: a compressed block, a layout-1 blockette, an EP1 skipped code and an
  // EP2.
  std::vector<int> samples;
  for (int i = 0; i < 100; i++) samples.push_back(i * i - 50);
  std::vector<uint8_t> blk6;
  ASSERT_EQ(q330sim_frames_blk6(2, 1, samples.data(), 100, -50, Q330SimWidth{}, &blk6), 0);
  Bytes mixed = seqonly;
  mixed.insert(mixed.end(), blk6.begin(), blk6.end());
  mixed.insert(mixed.end(), {0x01, 9, 8, 7});
  mixed.insert(mixed.end(), {0xFD, 3, 0, 8, 0, 0, 0, 42});
  mixed.insert(mixed.end(), {0xFC, 4, 0, 8, 0xFF, 0xFF, 0xFF, 0xFE});  // EP1 form 13
  ASSERT_EQ(run(mixed), 0);
  ASSERT_EQ(d->nblockettes, 4);
  EXPECT_EQ(d->blockette[0].type, 6);
  EXPECT_EQ(d->blockette[1].type, 1);
  EXPECT_EQ(d->blockette[2].type, 0);
  EXPECT_EQ(d->blockette[3].type, 13);
  EXPECT_EQ(d->blockette[3].channel, 0xFC);
  auto *b6 = static_cast<Q330DATABLK6Pkt *>(d->blockette[0].blockette);
  EXPECT_EQ(b6->previous_sample, -50);
  EXPECT_EQ(static_cast<unsigned char *>(d->blockette[1].blockette) - d->blk_buf,
            q330_round32(static_cast<int>(sizeof(Q330DATABLK6Pkt))));
  EXPECT_EQ(static_cast<Q330DATABLKEP1Pkt *>(d->blockette[3].blockette)->data, -2);

  // DT_FILL keeps the header's numbers.
  Q330FILLPkt fill{};
  Bytes f = seqonly;
  EXPECT_EQ(q330_unstuff_pkt(q.get(), Q330_DT_FILL, 4, 5, f.data(), 4, &fill), 0);
  EXPECT_EQ(fill.qdp_sequence, 4);
  EXPECT_EQ(fill.data_record_sequence, 0xDEADBEEFu);
}

TEST(QdpPrimitives, CursorsWordsAndRounding) {
  unsigned char buf[16] = {};
  unsigned char *c = buf;
  stuff_uint1(&c, 0xAB);
  stuff_uint2(&c, 0x1234);
  stuff_uint4(&c, 0x89ABCDEF);
  EXPECT_EQ(c - buf, 7);
  EXPECT_EQ(Bytes(buf, buf + 7), (Bytes{0xAB, 0x12, 0x34, 0x89, 0xAB, 0xCD, 0xEF}));
  c = buf;
  uint8_t u1;
  uint16_t u2;
  uint32_t u4;
  unstuff_uint1(&c, &u1);
  unstuff_uint2(&c, &u2);
  unstuff_uint4(&c, &u4);
  EXPECT_EQ(u1, 0xAB);
  EXPECT_EQ(u2, 0x1234);
  EXPECT_EQ(u4, 0x89ABCDEFu);
  c = buf + 3;
  int32_t i4;
  unstuff_int4(&c, &i4);
  EXPECT_EQ(i4, static_cast<int32_t>(0x89ABCDEF));

  struct Hex {
    const char *text;
    int rc;
    unsigned high, low;
  };
  const Hex hex[] = {
      {"0100000012345678", 0, 0x01000000, 0x12345678},
      {"12345678", 0, 0, 0x12345678},
      {"abc", 0, 0, 0xABC},
      {"123456789", 0, 1, 0x23456789},
      {"00000000123456789", 0, 0, 0x12345678},  // the first 16 characters
      {"", -1, 0, 0},
      {"12g4", -1, 0, 0},
      {"-", -1, 0, 0},
  };
  for (const Hex &h : hex) {
    SCOPED_TRACE(h.text);
    unsigned high = 9, low = 9;
    EXPECT_EQ(unstuff_a2uint8(&high, &low, h.text), h.rc);
    EXPECT_EQ(high, h.high);
    EXPECT_EQ(low, h.low);
  }

  EXPECT_EQ(q330_round32(32), 32);
  EXPECT_EQ(q330_round32(33), 64);
  EXPECT_EQ(q330_round32(724), 736);
  EXPECT_EQ(q330_round32(0), 0);
  EXPECT_EQ(q330_hexascii2int('f'), 15);
  EXPECT_EQ(q330_hexascii2int('G'), -1);

  unsigned char poll[16];
  int n = 15;
  EXPECT_EQ(q330_stuff_pollsn(1, 2, poll, &n), -1);
  n = 20;
  ASSERT_EQ(q330_stuff_pollsn(1, 2, poll, &n), 0);
  EXPECT_EQ(n, 16);
  EXPECT_EQ(Bytes(poll, poll + 16), dgram(Q330_C1_POLLSN, 0, 0, Bytes{0, 1, 0, 2}));
}

}  // namespace
