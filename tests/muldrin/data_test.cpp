// The data port: the reorder window, the acknowledgement bitmap, the read loop against a
// scripted datalogger on a loopback socket (acknowledgements by count and time-out,
// stop_acks, DT_OPEN again after silence, short and undecodable packets, open refusals)
// and the busy consumer. Whole streams from the simulator: data_stream_mt_test.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/pf.h"
#include "data_fixture.h"
#include "pwb.h"
#include "q330_data.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330_state.h"
#include "q330pkt.h"
#include "q330sim.h"
#include "q330sim_data.h"
#include "testkit/testkit.h"

namespace {

uint32_t be32(const unsigned char *p) {
  return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t be16(const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

// ---- Window ---------------------------------------------------------------------------------

std::vector<unsigned char> bytes(int n, int fill) {
  return std::vector<unsigned char>(static_cast<size_t>(n), static_cast<unsigned char>(fill));
}

TEST(Pwb, PushResults) {
  struct Row {
    const char *what;
    unsigned bottom;
    int size;
    unsigned sequence;
    int nbytes;
    int want;
  };
  const Row rows[] = {
      {"first slot", 100, 8, 100, 10, PWB_STORED},
      {"last slot", 100, 8, 107, 10, PWB_STORED},
      {"one past the window", 100, 8, 108, 10, PWB_AHEAD},
      {"size + 10 ahead", 100, 8, 118, 10, PWB_AHEAD},
      {"size + 40000 behind", 100, 8, 40108, 10, PWB_BEHIND},
      {"one behind", 100, 8, 99, 10, PWB_BEHIND},
      {"across the wrap: 1 from 65534", 65534, 8, 1, 10, PWB_STORED},
      {"across the wrap: 65533 behind", 65534, 8, 65533, 10, PWB_BEHIND},
      {"full slot", 100, 8, 100, 720, PWB_STORED},
      {"larger than a slot", 100, 8, 101, 721, PWB_TOOBIG},
      {"empty packet refused", 100, 8, 101, 0, -1},
  };
  for (const Row &r : rows) {
    PWB *w = nullptr;
    ASSERT_EQ(packet_window_buffer_new(&w, r.size, r.bottom, 720), 0);
    auto pkt = bytes(r.nbytes > 0 ? r.nbytes : 1, 7);
    EXPECT_EQ(packet_window_buffer_push(w, 0, r.sequence, pkt.data(), r.nbytes), r.want) << r.what;
    EXPECT_EQ(packet_window_buffer_in_buffer(w, r.sequence), r.want == PWB_STORED ? 1 : 0)
        << r.what;
    if (r.want == PWB_STORED) {
      EXPECT_EQ(packet_window_buffer_push(w, 0, r.sequence, pkt.data(), r.nbytes), PWB_HELD)
          << r.what;
    }
    packet_window_buffer_free(w);
  }
  PWB *w = nullptr;
  EXPECT_EQ(packet_window_buffer_new(&w, 0, 1, 720), -1);
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(packet_window_buffer_free(nullptr), 0);
}

TEST(Pwb, PopSlidesAndCounts) {
  PWB *w = nullptr;
  ASSERT_EQ(packet_window_buffer_new(&w, 4, 65534, 720), 0);
  int cmd = -1, n = 720;
  uint16_t seq = 0;
  std::vector<unsigned char> out(720);
  EXPECT_EQ(packet_window_buffer_pop(w, &cmd, &seq, out.data(), &n), PWB_EMPTY);
  // 65535 and 0 held, 65534 missing: one hole under a stack of three.
  for (unsigned s : {65535u, 0u}) {
    auto p = bytes(5, static_cast<int>(s & 0xFF));
    ASSERT_EQ(packet_window_buffer_push(w, 6, s, p.data(), 5), PWB_STORED);
  }
  int minseq = 0, stack = 0, holes = 0;
  packet_window_buffer_counts(w, &minseq, &stack, &holes);
  EXPECT_EQ(minseq, 65534);
  EXPECT_EQ(stack, 3);
  EXPECT_EQ(holes, 1);
  auto p = bytes(9, 0x34);
  ASSERT_EQ(packet_window_buffer_push(w, 0, 65534, p.data(), 9), PWB_STORED);
  n = 8;
  EXPECT_EQ(packet_window_buffer_pop(w, &cmd, &seq, out.data(), &n), PWB_NOROOM);
  // Pop in order across the wrap; a packet stored in the upper half before the slide
  // (sequence 2, stored while the window started at 65535) comes out after it.
  std::vector<uint16_t> got;
  for (int i = 0; i < 3; i++) {
    n = 720;
    ASSERT_EQ(packet_window_buffer_pop(w, &cmd, &seq, out.data(), &n), PWB_POPPED);
    got.push_back(seq);
    if (i == 0) {
      EXPECT_EQ(n, 9);
      EXPECT_EQ(cmd, 0);
      auto q = bytes(3, 0x22);
      ASSERT_EQ(packet_window_buffer_push(w, 0, 2, q.data(), 3), PWB_STORED);
    }
  }
  EXPECT_EQ(got, (std::vector<uint16_t>{65534, 65535, 0}));
  EXPECT_EQ(w->offset, 3);
  auto q = bytes(4, 0x11);
  ASSERT_EQ(packet_window_buffer_push(w, 0, 1, q.data(), 4), PWB_STORED);
  n = 720;
  ASSERT_EQ(packet_window_buffer_pop(w, &cmd, &seq, out.data(), &n), PWB_POPPED);  // 4th pop
  EXPECT_EQ(seq, 1);
  EXPECT_EQ(w->offset, 0);  // the upper half moved down
  EXPECT_EQ(w->bottom, 2);
  n = 720;
  ASSERT_EQ(packet_window_buffer_pop(w, &cmd, &seq, out.data(), &n), PWB_POPPED);
  EXPECT_EQ(seq, 2);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(out[0], 0x22);
  EXPECT_EQ(packet_window_buffer_pop(w, &cmd, &seq, out.data(), &n), PWB_EMPTY);
  packet_window_buffer_free(w);
}

TEST(Pwb, ShuffledArrivalsComeOutOnceInOrder) {
  std::mt19937 rng(11);
  for (int size : {1, 3, 8, 128}) {
    PWB *w = nullptr;
    ASSERT_EQ(packet_window_buffer_new(&w, size, 65000, 720), 0);
    unsigned next_out = 65000;
    std::vector<unsigned> pending;
    for (unsigned s = 65000; s < 65000 + 3000; s++) pending.push_back(s & 0xFFFF);
    std::vector<unsigned> out;
    // Arrivals drawn from the next 2 x size sequences, with repeats, until all are out.
    size_t head = 0;
    while (head < pending.size()) {
      size_t span = std::min(pending.size() - head, static_cast<size_t>(2 * size));
      unsigned s = pending[head + rng() % span];
      std::vector<unsigned char> p(4);
      memcpy(p.data(), &s, 4);
      int r = packet_window_buffer_push(w, 0, s, p.data(), 4);
      ASSERT_TRUE(r == PWB_STORED || r == PWB_HELD || r == PWB_AHEAD) << r;
      for (;;) {
        int cmd, n = 720;
        uint16_t seq;
        std::vector<unsigned char> o(720);
        if (packet_window_buffer_pop(w, &cmd, &seq, o.data(), &n) != PWB_POPPED) break;
        unsigned v;
        memcpy(&v, o.data(), 4);
        ASSERT_EQ(seq, next_out);
        ASSERT_EQ(v, next_out);
        next_out = (next_out + 1) & 0xFFFF;
        head++;
      }
    }
    packet_window_buffer_free(w);
  }
}

// ---- Acknowledgement bitmap ------------------------------------------------------------

std::vector<int> bits(const Q330DACKPkt &d) {
  std::vector<int> v;
  const uint32_t w[4] = {d.ack_bitmap_0to31, d.ack_bitmap_32to63, d.ack_bitmap_64to95,
                         d.ack_bitmap_96to127};
  for (int k = 0; k < 128; k++)
    if ((w[k / 32] >> (k % 32)) & 1u) v.push_back(k);
  return v;
}

struct Bare {
  Q330 *q = q330_create(OutputRecorder::callback, nullptr);
  OutputRecorder rec;
  Bare() { rec.attach(q); }
  ~Bare() {
    packet_window_buffer_free(q->pwb);
    udp_free(q->udp_data);
    udp_free(q->udp_control);
    free(q->q330_hostport_data);
    free_session(q);
  }
  void base(unsigned b) {
    q->last_dack = Q330DACKPkt{};
    q->last_dack.qdp_ack = static_cast<uint16_t>(b);
    q->last_dack.ack_bitmap_0to31 = 1;
  }
};

TEST(Dack, BitsShiftsHolesAndFolding) {
  Bare s;
  s.base(99);
  add_to_last_dack(s.q, 101);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 2}));
  add_to_last_dack(s.q, 100);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 1, 2}));
  add_to_last_dack(s.q, 99 + 200);  // beyond the bitmap: not marked
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 1, 2}));
  add_to_last_dack(s.q, 99 + 127);
  EXPECT_EQ(bits(s.q->last_dack).back(), 127);
  s.base(99);
  add_to_last_dack(s.q, 101);
  add_to_last_dack(s.q, 100);
  shift_last_dack(s.q, 101);
  EXPECT_EQ(s.q->last_dack.qdp_ack, 101);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0}));

  // Shift keeps the bits beyond the new base.
  s.base(10);
  for (unsigned q : {12u, 15u, 45u, 100u}) add_to_last_dack(s.q, q);
  EXPECT_EQ(dack_holes(s.q), 90 - 4);  // 0, 2, 5 and 35 set below 90
  shift_last_dack(s.q, 12);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 3, 33, 88}));
  EXPECT_EQ(dack_holes(s.q), 88 - 3);
  shift_last_dack(s.q, 12);  // no change
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 3, 33, 88}));
  s.base(5);
  EXPECT_EQ(dack_holes(s.q), 0);

  // Folding at +-60000: 5 lies 11 after 65530; 65530 lies 11 before 5 and re-bases.
  s.base(65530);
  add_to_last_dack(s.q, 5);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 11}));
  s.base(5);
  add_to_last_dack(s.q, 7);
  add_to_last_dack(s.q, 65530);
  EXPECT_EQ(s.q->last_dack.qdp_ack, 65530);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0, 13}));
  // A distance of 59000 is not folded: far ahead, not marked.
  s.base(1000);
  add_to_last_dack(s.q, 60000);
  EXPECT_EQ(bits(s.q->last_dack), (std::vector<int>{0}));
}

TEST(Dack, PrintLines) {
  Bare s;
  s.base(0x1234);
  add_to_last_dack(s.q, 0x1234 + 2);
  add_to_last_dack(s.q, 0x1234 + 33);
  print_dack(s.q, &s.q->last_dack, "ct");  // no debug switch: nothing
  EXPECT_TRUE(s.rec.lines().empty());
  s.q->params.debug_ack = 1;
  print_dack(s.q, &s.q->last_dack, "ct");
  print_dack(s.q, &s.q->last_dack, "to");  // the same again: "lo"
  s.q->params.ack_print_bit_flag = 1;
  add_to_last_dack(s.q, 0x1234 + 3);
  print_dack(s.q, &s.q->last_dack, "ct");
  auto lines = s.rec.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("DEBUGA: ct: 1234 0x00000005 0x00000002 0x00000000 0x00000000"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("DEBUGA: lo: 1234 "), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("DEBUGA: ct: 04660 +0++00000000000000000000000000000+"),
            std::string::npos)
      << lines[2];
}

// ---- Read loop against a scripted datalogger ------------------------------------------------

int bind_loopback(int *port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

// A datalogger data port played by the test: it learns the session's address from
// DT_OPEN and sends what the test gives it.
struct Peer {
  int fd = -1, port = 0;
  sockaddr_in host{};
  Peer() { fd = bind_loopback(&port); }
  ~Peer() { close(fd); }
  struct Got {
    int command;
    uint16_t sequence, ack;
    std::vector<unsigned char> payload;
  };
  // The next datagram from the session within `ms` real milliseconds, else command -1.
  Got receive(int ms = 2000) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, ms) != 1) return {-1, 0, 0, {}};
    unsigned char b[2048];
    socklen_t len = sizeof host;
    ssize_t n = recvfrom(fd, b, sizeof b, 0, reinterpret_cast<sockaddr *>(&host), &len);
    if (n < 12) return {-2, 0, 0, {}};
    EXPECT_EQ(be32(b), q330sim_crc(b + 4, static_cast<size_t>(n) - 4));
    return {b[4], be16(b + 8), be16(b + 10), std::vector<unsigned char>(b + 12, b + n)};
  }
  // Every datagram waiting now.
  std::vector<Got> drain() {
    std::vector<Got> v;
    for (Got g = receive(50); g.command >= 0; g = receive(50)) v.push_back(g);
    return v;
  }
  void send(int command, unsigned sequence, const std::vector<unsigned char> &payload) {
    std::vector<unsigned char> d(12, 0);
    d[4] = static_cast<unsigned char>(command);
    d[5] = 2;
    d[6] = static_cast<unsigned char>(payload.size() >> 8);
    d[7] = static_cast<unsigned char>(payload.size());
    d[8] = static_cast<unsigned char>(sequence >> 8);
    d[9] = static_cast<unsigned char>(sequence);
    d.insert(d.end(), payload.begin(), payload.end());
    uint32_t crc = q330sim_crc(d.data() + 4, d.size() - 4);
    for (int i = 0; i < 4; i++)
      d[static_cast<size_t>(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&host), sizeof host);
  }
  void fill(unsigned sequence) { send(Q330_DT_FILL, sequence, {0, 0, 0, 1}); }
};

struct ReadRig {
  ClockScale fast{0.01};
  Bare s;
  Peer peer;
  StubControl control;
  char error[256] = "";
  explicit ReadRig(int dsn, int window = 8, int ack_count = 4, int ack_timeout = 5)
      : control(s.q, [](const std::string &) { return std::string("OK"); }) {
    Q330 *q = s.q;
    set_q330_str(&q->target_name, "tgt");
    set_q330_str(&q->params.dlname, "XX_STA");
    set_q330_str(&q->q330_hostport_data, ("127.0.0.1:" + std::to_string(peer.port)).c_str());
    q->params.udp_packetcache_size_data = 10;
    q->params.timeout_data = 60;
    q->params.throttle_q330 = -1;
    q->state_registered = 1;
    Q330LOGPkt &log = q->config.config_pkt.log;
    log.window_size = static_cast<uint16_t>(window);
    log.data_sequence_number = static_cast<uint16_t>(dsn);
    log.acknowledge_count = static_cast<uint16_t>(ack_count);
    log.acknowledge_timeout = static_cast<uint16_t>(ack_timeout);
    for (int i = 0; i < 8; i++)
      q->config.config_pkt.fix.bit_frequency[i] = q330sim_data_rate_codes[i];
    q->unit_nchannels = 6;
  }
  int open() { return q330_open_data(s.q, error, sizeof error); }
  int read() { return q330_read_data(s.q, error, sizeof error); }
  // Opens and waits for the DT_OPEN, whose sender the peer answers from then on.
  int open_seen() {
    int rc = open();
    if (rc == 0)
      for (Peer::Got g = peer.receive(); g.command != Q330_DT_OPEN; g = peer.receive())
        if (g.command < 0) return -3;
    return rc;
  }
  std::vector<Peer::Got> dacks() {
    std::vector<Peer::Got> v;
    for (auto &g : peer.drain())
      if (g.command == Q330_DT_DACK) v.push_back(g);
    return v;
  }
};

TEST(DataRead, OpenAndAcknowledgements) {
  ReadRig rig(100, 8, 4, 6000);  // no acknowledgement by time-out in the first steps
  ASSERT_EQ(rig.open(), 0) << rig.error;
  Q330 *q = rig.s.q;
  EXPECT_EQ(rig.control.commands, (std::vector<std::string>{"cfg_channels_auto", "status"}));
  EXPECT_EQ(rig.peer.receive().command, Q330_DT_OPEN);
  EXPECT_EQ(q->last_dack.qdp_ack, 99);
  EXPECT_EQ(bits(q->last_dack), (std::vector<int>{0}));
  EXPECT_EQ(q->pwb->bottom, 100);
  EXPECT_EQ(q->pwb->size, 8);

  rig.peer.fill(101);
  ASSERT_EQ(rig.read(), 0) << rig.error;
  EXPECT_EQ(bits(q->last_dack), (std::vector<int>{0, 2}));
  rig.peer.fill(100);
  ASSERT_EQ(rig.read(), 0) << rig.error;
  EXPECT_EQ(bits(q->last_dack), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(q->last_good_sequence, 101);
  EXPECT_EQ(q->status.npkts_processed_total, 2);
  EXPECT_TRUE(rig.dacks().empty());
  rig.peer.fill(102);
  ASSERT_EQ(rig.read(), 0);
  rig.peer.fill(103);  // the fourth since the last acknowledgement: "ct"
  ASSERT_EQ(rig.read(), 0);
  auto d = rig.dacks();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].ack, 103);
  ASSERT_EQ(d[0].payload.size(), 20u);
  EXPECT_EQ(be16(&d[0].payload[0]), 0);  // unset throttle: 0
  EXPECT_EQ(be32(&d[0].payload[4]), 1u);
  EXPECT_EQ(q->packets_received_since_last_ack, 0u);
  EXPECT_EQ(q->sequence_last_dack, 103);

  // One packet then silence: "to" once the time-out has passed, then the read gives up.
  q->config.config_pkt.log.acknowledge_timeout = 5;
  q->params.timeout_data = 3;
  rig.peer.fill(104);
  ASSERT_EQ(rig.read(), 0);
  EXPECT_TRUE(rig.dacks().empty());
  EXPECT_EQ(rig.read(), -1);
  EXPECT_STREQ(rig.error, "TIMEOUT");
  d = rig.dacks();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].ack, 104);
  EXPECT_EQ(q->params.maxretries_data, 6);  // 3 / 0.505 + 0.5

  // stop_acks: nothing leaves but the counters start again. The time-out is long again,
  // so only the count acknowledges here, however slowly the machine runs.
  q->config.config_pkt.log.acknowledge_timeout = 6000;
  q->params.timeout_data = 60;
  q->params.stop_acks = 1;
  q->params.debug_ack = 1;
  for (unsigned s = 105; s < 109; s++) {
    rig.peer.fill(s);
    ASSERT_EQ(rig.read(), 0);
  }
  EXPECT_TRUE(rig.dacks().empty());
  EXPECT_EQ(q->packets_received_since_last_ack, 0u);
  EXPECT_EQ(q->last_dack.qdp_ack, 108);
  bool nosend = false;
  for (const auto &l : rig.s.rec.lines()) nosend |= l.find("ct(NOSEND)") != std::string::npos;
  EXPECT_TRUE(nosend);

  char error[256];
  EXPECT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  EXPECT_EQ(q->pwb, nullptr);
  EXPECT_EQ(q->state_dataopen.load(), 0);
  EXPECT_EQ(q330_read_data(q, error, sizeof error), -1);
}

TEST(DataRead, ShortAndUndecodablePacketsAreNotFatal) {
  ReadRig rig(65534);
  ASSERT_EQ(rig.open(), 0) << rig.error;
  Q330 *q = rig.s.q;
  ASSERT_EQ(rig.peer.receive().command, Q330_DT_OPEN);
  // Payloads of 0-3 bytes and of 721 bytes never enter the window; the good packets behind
  // them (across the wrap) do.
  for (int n : {0, 1, 3}) rig.peer.send(Q330_DT_DATA, 65534, std::vector<unsigned char>(n, 0));
  rig.peer.send(Q330_DT_DATA, 65534, std::vector<unsigned char>(721, 0));
  rig.peer.fill(65534);
  ASSERT_EQ(rig.read(), 0) << rig.error;
  EXPECT_EQ(q->last_good_sequence, 65534);
  EXPECT_EQ(q->status.npkts_wrongsize_error, 3);
  // A blockette that claims more bytes than the packet holds: skipped as processed.
  rig.peer.send(Q330_DT_DATA, 65535, {0, 0, 0, 9, 0xE8, 0x01, 0x03, 0xFF, 0, 0, 0, 0});
  ASSERT_EQ(rig.read(), 0) << rig.error;
  EXPECT_EQ(q->npkts_undecodable, 1);
  EXPECT_EQ(q->last_good_sequence, 65535);
  rig.peer.fill(0);
  ASSERT_EQ(rig.read(), 0) << rig.error;
  EXPECT_EQ(q->last_good_sequence, 0);
  bool skipped = false;
  for (const auto &l : rig.s.rec.lines()) skipped |= l.find("packet skipped") != std::string::npos;
  EXPECT_TRUE(skipped);
  char error[256];
  EXPECT_EQ(q330_close_data(q, error, sizeof error), 0);
}

TEST(DataRead, OpenRefusals) {
  {
    ReadRig rig(1, 0);
    EXPECT_EQ(rig.open(), -1);
    EXPECT_NE(std::string(rig.error).find("window_size 0"), std::string::npos) << rig.error;
    EXPECT_EQ(rig.s.q->pwb, nullptr);
  }
  {
    ReadRig rig(1, 65535);  // used as 128, with a warning
    ASSERT_EQ(rig.open(), 0) << rig.error;
    EXPECT_EQ(rig.s.q->pwb->size, 128);
    bool warned = false;
    for (const auto &l : rig.s.rec.lines())
      warned |= l.find("WARNING: datalogger window_size 65535") != std::string::npos;
    EXPECT_TRUE(warned);
    // Closing an unregistered link fails but frees the window.
    rig.s.q->state_registered = 0;
    char error[256];
    EXPECT_EQ(q330_close_data(rig.s.q, error, sizeof error), -1);
    EXPECT_STREQ(error, "q330_close_data: Must register server first");
    EXPECT_EQ(rig.s.q->pwb, nullptr);
  }
  {
    ReadRig rig(1);
    rig.s.q->state_registered = 0;
    EXPECT_EQ(rig.open(), -1);
    EXPECT_STREQ(rig.error, "q330_open_data: Must register server first");
  }
}

TEST(DataRead, OpenIsSentAgainAfterSilence) {
  ReadRig rig(7, 8, 4, 50);  // read waits of 5.005 s
  rig.s.q->params.timeout_data = 100;
  ASSERT_EQ(rig.open(), 0) << rig.error;
  EXPECT_EQ(rig.read(), -1);
  EXPECT_STREQ(rig.error, "TIMEOUT");
  int opens = 0;
  for (const auto &g : rig.peer.drain()) opens += g.command == Q330_DT_OPEN;
  // At open, and again each time more than 30 s passed without data.
  EXPECT_GE(opens, 3);
  EXPECT_LE(opens, 4);
}

// Every DT_DACK re-bases at the last packet passed on and marks each packet held beyond it
// within 128 (the "ct" sends here, acknowledge_count 4), across the wrap at 65535.
TEST(DataRead, AcknowledgementsMarkEveryPacketHeld) {
  struct Row {
    const char *what;
    int dsn;
    std::vector<unsigned> arrivals;  // the fourth sends the DT_DACK
    int base;
    std::vector<int> bits;
  };
  const Row rows[] = {
      {"a hole at the base", 100, {101, 102, 103, 104}, 99, {0, 2, 3, 4, 5}},
      {"holes between", 100, {100, 102, 104, 105}, 100, {0, 2, 4, 5}},
      {"filled: re-based, bit 0 only", 100, {101, 100, 103, 102}, 103, {0}},
      {"a hole before the wrap", 65534, {65535, 0, 1, 2}, 65533, {0, 2, 3, 4, 5}},
      {"passed on across the wrap", 65534, {65534, 65535, 0, 1}, 1, {0}},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    ReadRig rig(r.dsn, 8, 4, 6000);
    ASSERT_EQ(rig.open_seen(), 0) << rig.error;
    for (unsigned s : r.arrivals) {
      rig.peer.fill(s);
      ASSERT_EQ(rig.read(), 0) << rig.error;
    }
    auto d = rig.dacks();
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].ack, r.base);
    ASSERT_EQ(d[0].payload.size(), 20u);
    std::vector<int> got;
    for (int k = 0; k < 128; k++)
      if ((be32(&d[0].payload[4 + 4 * (k / 32)]) >> (k % 32)) & 1u) got.push_back(k);
    EXPECT_EQ(got, r.bits);
  }
}

// Packets held beyond a hole were acknowledged, so the datalogger will not send them again:
// they stay held across a re-open in the same boot and are passed on once the hole fills.
TEST(DataRead, HeldPacketsStayHeldAcrossAReopen) {
  ReadRig rig(100, 8, 4, 6000);
  ASSERT_EQ(rig.open_seen(), 0) << rig.error;
  Q330 *q = rig.s.q;
  for (unsigned s : {101u, 102u, 103u, 104u}) {  // 100 lost
    rig.peer.fill(s);
    ASSERT_EQ(rig.read(), 0) << rig.error;
  }
  char error[256];
  ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  EXPECT_EQ(q->pwb, nullptr);
  ASSERT_EQ(rig.open_seen(), 0) << rig.error;
  EXPECT_EQ(q->pwb->bottom, 100);
  EXPECT_EQ(bits(q->last_dack), (std::vector<int>{0, 2, 3, 4, 5}));
  rig.peer.fill(100);  // the datalogger resends only what is missing
  ASSERT_EQ(rig.read(), 0) << rig.error;
  EXPECT_EQ(q->last_good_sequence, 104);
  EXPECT_EQ(q->status.npkts_processed_total, 5);
  // Another boot numbers its packets afresh: what was held is dropped.
  for (unsigned s : {106u, 107u}) {
    rig.peer.fill(s);
    ASSERT_EQ(rig.read(), 0) << rig.error;
  }
  ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  q->config.config_pkt.log.data_sequence_number = 1;
  q->config.config_pkt.fix.total_number_of_reboots++;
  ASSERT_EQ(rig.open_seen(), 0) << rig.error;
  EXPECT_EQ(q->pwb->bottom, 1);
  EXPECT_EQ(bits(q->last_dack), (std::vector<int>{0}));
  ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
}

// A re-open starts the window after the last packet passed on when the datalogger, whose
// acknowledgements were lost, starts up to a window before it in the same boot; else at
// the datalogger's start.
TEST(DataRead, ReopenStartsAfterWhatWasPassedOnInTheSameBoot) {
  struct Row {
    const char *what;
    int restart;  // the datalogger's first sequence at the re-open
    bool reboot;
    int bottom;
  };
  const Row rows[] = {
      {"three already passed on", 101, false, 104},
      {"nothing passed on twice", 104, false, 104},
      {"farther back than a window", 95, false, 95},
      {"another boot", 101, true, 101},
  };
  for (const Row &r : rows) {
    ReadRig rig(100, 8, 100, 6000);
    Q330 *q = rig.s.q;
    ASSERT_EQ(rig.open_seen(), 0) << rig.error;
    for (unsigned s = 100; s <= 103; s++) {
      rig.peer.fill(s);
      ASSERT_EQ(rig.read(), 0) << rig.error;
    }
    char error[256];
    ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
    q->config.config_pkt.log.data_sequence_number = static_cast<uint16_t>(r.restart);
    if (r.reboot) q->config.config_pkt.fix.total_number_of_reboots++;
    ASSERT_EQ(rig.open_seen(), 0) << rig.error;
    EXPECT_EQ(q->pwb->bottom, r.bottom) << r.what;
    EXPECT_EQ(q->last_good_sequence, static_cast<uint16_t>(r.bottom - 1)) << r.what;
    EXPECT_EQ(q->last_dack.qdp_ack, static_cast<uint16_t>(r.bottom - 1)) << r.what;
    // Resent packets before the bottom are not passed on again; the bottom is.
    if (r.restart < r.bottom) {
      rig.peer.fill(static_cast<unsigned>(r.restart));
      rig.peer.fill(static_cast<unsigned>(r.bottom));
      ASSERT_EQ(rig.read(), 0) << rig.error;
      EXPECT_EQ(q->status.npkts_processed_total, 1) << r.what;
    }
    ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  }
}

// A stream whose packets keep arriving but never enter the window (all behind it here)
// ends the read as a time-out, instead of holding the data thread for as long as they come.
TEST(DataRead, AReadThatStoresNothingGivesUp) {
  ReadRig rig(100, 8, 4, 5);
  Q330 *q = rig.s.q;
  q->params.timeout_data = 3;
  ASSERT_EQ(rig.open_seen(), 0) << rig.error;
  rig.peer.fill(100);
  ASSERT_EQ(rig.read(), 0) << rig.error;
  std::atomic<bool> done{false};
  std::atomic<int> sent{0};
  const int bound = 20000;  // about 20 s of real time: only a read that never gives up
  std::thread behind([&] {
    while (!done && sent < bound) {
      rig.peer.fill(90);
      sent++;
      usleep(1000);
    }
  });
  int rc = rig.read();
  done = true;
  behind.join();
  EXPECT_EQ(rc, -1);
  EXPECT_STREQ(rig.error, "TIMEOUT");
  EXPECT_LT(sent.load(), bound);
}

// ---- Busy consumer -----------------------------------------------------------------------

std::vector<unsigned char> timetag_packet(uint32_t record, bool time_first, int32_t value) {
  std::vector<unsigned char> p = {
      static_cast<unsigned char>(record >> 24), static_cast<unsigned char>(record >> 16),
      static_cast<unsigned char>(record >> 8), static_cast<unsigned char>(record)};
  std::vector<unsigned char> tt = {0x98, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<unsigned char> single = {0xE2,
                                       1,
                                       0,
                                       0,
                                       static_cast<unsigned char>(value >> 24),
                                       static_cast<unsigned char>(value >> 16),
                                       static_cast<unsigned char>(value >> 8),
                                       static_cast<unsigned char>(value)};
  if (time_first) p.insert(p.end(), tt.begin(), tt.end());
  p.insert(p.end(), single.begin(), single.end());
  if (!time_first) p.insert(p.end(), tt.begin(), tt.end());
  return p;
}

// Single values (channel 2) of a record, in order.
std::vector<int32_t> singles(const std::vector<unsigned char> &r) {
  std::vector<int32_t> v;
  for (size_t at = 20; at + 18 <= r.size(); at += be16(&r[at + 2]))
    if (r[at] == 2) v.push_back(static_cast<int32_t>(be32(&r[at + 12])));
  return v;
}

TEST(DataProc, BusyConsumerNeverGetsABlocketteTwice) {
  ClockScale fast(0.001);
  Bare s;
  Records out;
  s.q->out_callback = Records::callback;
  s.q->user_data = &out;
  for (int i = 0; i < 8; i++)
    s.q->config.config_pkt.fix.bit_frequency[i] = q330sim_data_rate_codes[i];
  s.q->unit_nchannels = 6;
  auto proc = [&](unsigned seq, std::vector<unsigned char> p) {
    return q330_proc_data(s.q, Q330_DT_DATA, seq, reinterpret_cast<char *>(p.data()),
                          static_cast<int>(p.size()));
  };
  ASSERT_EQ(proc(10, timetag_packet(500, true, 1)), 0);
  // Time tag first: the busy answer leaves everything as it was, the repeat processes it.
  out.rec.busy = 11;
  EXPECT_EQ(proc(11, timetag_packet(501, true, 2)), Q330_OUT_BUSY);
  EXPECT_TRUE(out.records.empty());
  EXPECT_EQ(s.q->last_good_sequence, 10);
  EXPECT_EQ(proc(11, timetag_packet(501, true, 2)), 0);
  ASSERT_EQ(out.records.size(), 1u);
  EXPECT_EQ(singles(out.records[0]), (std::vector<int32_t>{1}));
  // Time tag after a value of the same record: the value goes in before the busy answer,
  // and the repeat drops the packet instead of adding it again.
  s.q->params.verbose_log = 2;
  out.rec.busy = 11;
  EXPECT_EQ(proc(12, timetag_packet(501, false, 3)), Q330_OUT_BUSY);
  EXPECT_EQ(proc(12, timetag_packet(501, false, 3)), 0);
  EXPECT_EQ(s.q->last_good_sequence, 12);
  EXPECT_EQ(proc(13, timetag_packet(502, true, 4)), 0);
  ASSERT_EQ(out.records.size(), 2u);
  EXPECT_EQ(singles(out.records[1]), (std::vector<int32_t>{2, 3}));
  bool dropped = false;
  for (const auto &l : out.rec.lines())
    dropped |=
        l.find("DEBUGT: Dropping UDP packet seq 12 due to repeated qdp seq") != std::string::npos;
  EXPECT_TRUE(dropped);
  // A packet of another record without a time tag first is dropped too.
  EXPECT_EQ(proc(14, timetag_packet(900, false, 5)), 0);
  char error[256];
  s.q->state_registered = 1;
  s.q->params.udp_packetcache_size_data = 4;
  EXPECT_EQ(q330_close_data(s.q, error, sizeof error), 0) << error;
  ASSERT_EQ(out.records.size(), 3u);
  EXPECT_EQ(singles(out.records[2]), (std::vector<int32_t>{4}));
  int flushes = 0;
  for (const auto &i : out.rec.items) flushes += i.type == Q330_OUT_FLUSH;
  EXPECT_EQ(flushes, 1);
}

// ---- A record over several packets ---------------------------------------------------------

// The rest of a record: its sequence and one value, no time tag.
std::vector<unsigned char> rest_packet(uint32_t record, int32_t value) {
  std::vector<unsigned char> p = timetag_packet(record, false, value);
  return std::vector<unsigned char>(p.begin(), p.begin() + 12);  // sequence and value
}

// The packets of a record being assembled are acknowledged as they are passed on, like
// any other: nothing waits for the record's end.
TEST(DataRecord, EveryPacketPassedOnIsAcknowledged) {
  ReadRig rig(100, 4, 1, 6000);
  Records out;
  rig.s.q->out_callback = Records::callback;
  rig.s.q->user_data = &out;
  ASSERT_EQ(rig.open_seen(), 0) << rig.error;
  const bool time_tag[] = {true, false, false, false, true, false};
  unsigned seq = 100;
  uint32_t record = 500;
  for (bool t : time_tag) {
    if (t) record++;
    rig.peer.send(Q330_DT_DATA, seq,
                  t ? timetag_packet(record, true, static_cast<int32_t>(seq))
                    : rest_packet(record, static_cast<int32_t>(seq)));
    ASSERT_EQ(rig.read(), 0) << rig.error;
    auto d = rig.dacks();
    ASSERT_EQ(d.size(), 1u) << seq;
    EXPECT_EQ(d[0].ack, seq);
    seq++;
  }
  ASSERT_EQ(out.records.size(), 1u);
  EXPECT_EQ(singles(out.records[0]), (std::vector<int32_t>{100, 101, 102, 103}));
}

// A program stopped in order in the middle of a record (passed on and acknowledged through
// 103, the rest of record 501) and started again with its state file goes on with that
// record from the packets the datalogger sends after 103: each value once, the record's
// time kept. The packets held beyond a hole at the stop come back too. Without the
// record's copies (an older state file) the rest of a record begun is dropped, not given
// a time it does not have.
TEST(DataRecord, ARestartGoesOnWithTheRecordBegun) {
  for (bool copies : {true, false}) {
    SCOPED_TRACE(copies ? "with the copies" : "an older state file");
    std::string state;
    std::vector<std::vector<unsigned char>> first_run;
    {
      ReadRig rig(102, 8, 1, 6000);
      Records out;
      rig.s.q->out_callback = Records::callback;
      rig.s.q->user_data = &out;
      ASSERT_EQ(rig.open_seen(), 0) << rig.error;
      rig.peer.send(Q330_DT_DATA, 102, timetag_packet(501, true, 3));
      ASSERT_EQ(rig.read(), 0) << rig.error;
      rig.peer.send(Q330_DT_DATA, 103, rest_packet(501, 4));
      ASSERT_EQ(rig.read(), 0) << rig.error;
      rig.peer.send(Q330_DT_DATA, 106, timetag_packet(502, true, 7));  // 104, 105 lost
      ASSERT_EQ(rig.read(), 0) << rig.error;
      EXPECT_EQ(rig.dacks().back().ack, 103);
      char error[256];
      ASSERT_EQ(q330_close_data(rig.s.q, error, sizeof error), 0) << error;
      first_run = out.records;
      TempDir dir;
      const std::string path = dir.file("state");
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ASSERT_GE(fd, 0);
      ASSERT_EQ(q330_write_state(rig.s.q, fd), 0);
      close(fd);
      state = read_file(path);
    }
    ASSERT_EQ(first_run.size(), 1u);  // the part of 501 passed on, flushed at the stop
    EXPECT_EQ(singles(first_run[0]), (std::vector<int32_t>{3, 4}));
    EXPECT_NE(state.find("data_record &Tbl{\n102 0 "), std::string::npos) << state;
    EXPECT_NE(state.find("data_held &Tbl{\n106 0 "), std::string::npos) << state;
    if (!copies) {
      size_t at = state.find("data_record &Tbl{");
      state.erase(at, state.find("chans &Arr{") - at);
    }
    Q330StateStore *pf = nullptr;
    ASSERT_EQ(q330_statestore_compile(
                  ("XX_STA &Arr{\n" + state.substr(state.find('\n') + 1)).c_str(), "test", &pf),
              0);
    ReadRig rig(104, 8, 1, 6000);
    rig.s.q->statepf = pf;
    ASSERT_EQ(q330_read_state(rig.s.q), 0);
    Records out;
    rig.s.q->out_callback = Records::callback;
    rig.s.q->user_data = &out;
    ASSERT_EQ(rig.open_seen(), 0) << rig.error;
    EXPECT_EQ(rig.s.q->pwb->bottom, 104);
    rig.peer.send(Q330_DT_DATA, 104, rest_packet(501, 5));
    ASSERT_EQ(rig.read(), 0) << rig.error;
    rig.peer.send(Q330_DT_DATA, 105, rest_packet(501, 6));
    ASSERT_EQ(rig.read(), 0) << rig.error;
    if (copies) {
      // 106 was held: passed on with 105, and its time tag ends record 501.
      ASSERT_EQ(out.records.size(), 1u);
      EXPECT_EQ(be32(&out.records[0][12]), 501u);
      EXPECT_EQ(singles(out.records[0]), (std::vector<int32_t>{5, 6}));
      EXPECT_EQ(rig.s.q->last_good_sequence, 106);
    } else {
      EXPECT_TRUE(out.records.empty());
      EXPECT_EQ(rig.s.q->last_good_sequence, 105);
    }
    char error[256];
    ASSERT_EQ(q330_close_data(rig.s.q, error, sizeof error), 0) << error;
    rig.s.q->statepf = nullptr;
    q330_statestore_free(pf);
    free(rig.s.q->params.q330_lastipaddress);  // the state's "lastip"
    rig.s.q->params.q330_lastipaddress = nullptr;
  }
}

// Data packets with a good CRC from another port of the datalogger's address, or from
// another address, ahead of the genuine ones: dropped and counted, with a complaint that
// does not grow with their number, and the genuine packets are all passed on. A packet
// with the sequence of one held but other bytes is counted, and neither copy is passed on
// or acknowledged until the datalogger's resend settles it.
TEST(DataRead, ForgedDatagramsAreDroppedAndNothingIsLost) {
  struct Row {
    const char *what;
    const char *address;   // the forger's
    bool datalogger_port;  // bound to the datalogger's port number there
  };
  const Row rows[] = {
      {"the datalogger's address, another port", "127.0.0.1", false},
      {"another address, the datalogger's port", "127.0.0.2", true},
  };
  const int forged = 40;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    ReadRig rig(100, 8, 4, 6000);
    Q330 *q = rig.s.q;
    ASSERT_EQ(rig.open_seen(), 0) << rig.error;
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    inet_pton(AF_INET, r.address, &at.sin_addr);
    at.sin_port = r.datalogger_port ? htons(static_cast<uint16_t>(rig.peer.port)) : 0;
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    Peer forger;
    close(forger.fd);
    forger.fd = fd;
    forger.host = rig.peer.host;
    for (int i = 0; i < forged; i++) forger.send(Q330_DT_FILL, 100 + i % 8, {0, 0, 0, 9});
    for (unsigned s = 100; s < 104; s++) rig.peer.fill(s);
    for (int i = 0; i < 4; i++) ASSERT_EQ(rig.read(), 0) << rig.error;
    EXPECT_EQ(q->last_good_sequence, 103);
    EXPECT_EQ(q->status.npkts_processed_total, 4);
    EXPECT_EQ(q->npkts_foreign_error.load(), forged);
    EXPECT_EQ(q->npkts_conflicting, 0);
    int complaints = 0;
    for (const auto &l : rig.s.rec.lines())
      complaints += l.find("read_datagram: ") != std::string::npos &&
                    l.find("on the data port from ") != std::string::npos;
    EXPECT_GE(complaints, 1);
    EXPECT_LE(complaints, 3);  // one a minute of clock time, which runs fast here
    char error[256];
    ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  }
  // The sequence of one held, other bytes: neither copy is passed on, not even once the
  // gap before it is filled, until the datalogger's resend matches one of them, whichever
  // of the two came first.
  struct Copy {
    const char *what;
    int first, second;  // the sample of each copy of 101; the datalogger's is 2
  };
  const Copy copies[] = {{"the datalogger's copy first", 2, 99}, {"the forged copy first", 99, 2}};
  for (const Copy &c : copies) {
    SCOPED_TRACE(c.what);
    ReadRig rig(100, 8, 4, 6000);
    Q330 *q = rig.s.q;
    Records out;
    q->out_callback = Records::callback;
    q->user_data = &out;
    ASSERT_EQ(rig.open_seen(), 0) << rig.error;
    rig.peer.send(Q330_DT_DATA, 101, rest_packet(501, c.first));
    ASSERT_EQ(rig.read(), 0) << rig.error;
    EXPECT_EQ(bits(q->last_dack), (std::vector<int>{0, 2}));
    rig.peer.send(Q330_DT_DATA, 101, rest_packet(501, c.second));
    rig.peer.send(Q330_DT_DATA, 100, timetag_packet(501, true, 1));
    ASSERT_EQ(rig.read(), 0) << rig.error;
    EXPECT_EQ(q->npkts_conflicting, 1);
    EXPECT_EQ(q->last_good_sequence, 100);
    rig.peer.send(Q330_DT_DATA, 102, timetag_packet(502, true, 3));
    ASSERT_EQ(rig.read(), 0) << rig.error;
    EXPECT_TRUE(out.records.empty());
    rig.peer.send(Q330_DT_DATA, 101, rest_packet(501, 2));  // the datalogger's resend
    ASSERT_EQ(rig.read(), 0) << rig.error;
    EXPECT_EQ(q->last_good_sequence, 102);
    ASSERT_EQ(out.records.size(), 1u);
    EXPECT_EQ(singles(out.records[0]), (std::vector<int32_t>{1, 2}));
    bool logged = false;
    for (const auto &l : out.rec.lines())
      logged |= l.find(
                    "1 packet with the sequence of one held but other bytes dropped (the "
                    "last 101)") != std::string::npos;
    EXPECT_TRUE(logged);
    char error[256];
    ASSERT_EQ(q330_close_data(q, error, sizeof error), 0) << error;
  }
}

}  // namespace
