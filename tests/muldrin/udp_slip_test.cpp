// The SLIP carrier over a pseudo-terminal: a datagram each way as an IPv4/UDP packet in a
// SLIP frame, the escapes, and the frames the receiver must drop (short, lengths that
// disagree with the frame, bad checksums, bad escapes, overlong) without losing the next
// sound one.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bytestream/fixtures.h"
#include "testkit/testkit.h"
#include "udp.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The Internet checksum, written here apart from the code under test.
unsigned ones_complement(const Bytes &b) {
  unsigned long s = 0;
  for (size_t i = 0; i < b.size(); i += 2)
    s += (unsigned long)b[i] << 8 | (i + 1 < b.size() ? b[i + 1] : 0);
  while (s > 0xFFFF) s = (s & 0xFFFF) + (s >> 16);
  return (unsigned)(~s & 0xFFFF);
}

void be16(Bytes &b, size_t at, unsigned v) {
  b[at] = (unsigned char)(v >> 8);
  b[at + 1] = (unsigned char)v;
}

// An IPv4/UDP packet; `fix` may spoil fields before the checksums are computed, and
// `after` after.
struct Packet {
  uint32_t src = 0x0A000009, dst = 0xFFFFFFFF;
  unsigned sport = 7000, dport = 5000, id = 7;
  std::string payload;
  Bytes build(void (*fix)(Bytes &) = nullptr, void (*after)(Bytes &) = nullptr) const {
    Bytes p(28 + payload.size());
    p[0] = 0x45;
    be16(p, 2, (unsigned)p.size());
    be16(p, 4, id);
    be16(p, 6, 0x4000);
    p[8] = 64;
    p[9] = 17;
    for (int i = 0; i < 4; ++i) {
      p[12 + (size_t)i] = (unsigned char)(src >> (24 - 8 * i));
      p[16 + (size_t)i] = (unsigned char)(dst >> (24 - 8 * i));
    }
    be16(p, 20, sport);
    be16(p, 22, dport);
    be16(p, 24, (unsigned)(8 + payload.size()));
    std::copy(payload.begin(), payload.end(), p.begin() + 28);
    if (fix) fix(p);
    be16(p, 10, ones_complement(Bytes(p.begin(), p.begin() + 20)));
    Bytes pseudo(p.begin() + 12, p.begin() + 20);
    pseudo.push_back(0);
    pseudo.push_back(17);
    pseudo.push_back(p[24]);
    pseudo.push_back(p[25]);
    pseudo.insert(pseudo.end(), p.begin() + 20, p.end());
    unsigned sum = ones_complement(pseudo);
    be16(p, 26, sum == 0 ? 0xFFFF : sum);
    if (after) after(p);
    return p;
  }
};

std::string slip(const Bytes &p) {
  std::string f = "\xC0";
  for (unsigned char c : p) {
    if (c == 0xC0)
      f += "\xDB\xDC";
    else if (c == 0xDB)
      f += "\xDB\xDD";
    else
      f += (char)c;
  }
  return f + "\xC0";
}

Bytes first(const Bytes &b, size_t n) { return Bytes(b.begin(), b.begin() + (long)n); }

struct SlipLine {
  ClockScale fast{0.01};  // the line's open pause and read pauses
  bsfix::Pty pty;
  UDP *udp = nullptr;
  SlipLine() {
    udp_new(&udp);
    EXPECT_TRUE(pty.ok());
    EXPECT_EQ(udp_setup_slip(udp, pty.path.c_str(), 9600, 2.0), 0);
  }
  ~SlipLine() { udp_free(udp); }
  int read(std::string *data, std::string *from = nullptr, int size = 1500) {
    std::vector<char> buf((size_t)size);
    char hostport[256] = "";
    int n = size;
    int rc = udp_read(udp, 5000, nullptr, hostport, buf.data(), &n, 5);
    *data = rc == 0 ? std::string(buf.data(), (size_t)n) : "";
    if (from) *from = hostport;
    return rc;
  }
};

TEST(UdpSlip, ADatagramEachWay) {
  SlipLine line;
  // Golden frame: from 255.255.255.255:5000 (the line's unset address, the local port)
  // to 10.0.0.2:6000, identification 0, payload "hi" C0 DB.
  const unsigned char golden[] = {0xC0, 0x45, 0x00, 0x00, 0x20, 0x00, 0x00, 0x40, 0x00,
                                  0xFF, 0x11, 0x71, 0xCB, 0xFF, 0xFF, 0xFF, 0xFF, 0x0A,
                                  0x00, 0x00, 0x02, 0x13, 0x88, 0x17, 0x70, 0x00, 0x0C,
                                  0xA1, 0x97, 0x68, 0x69, 0xDB, 0xDC, 0xDB, 0xDD, 0xC0};
  std::string payload = "hi\xC0\xDB";
  ASSERT_EQ(udp_write(line.udp, 5000, nullptr, "10.0.0.2:6000", payload.data(), 4), 1);
  EXPECT_EQ(line.pty.recv(sizeof golden, 5), std::string((const char *)golden, sizeof golden));
  // The next datagram carries the next identification.
  ASSERT_EQ(udp_write(line.udp, 5000, nullptr, "10.0.0.2:6000", payload.data(), 4), 1);
  Packet next;
  next.src = 0xFFFFFFFF;
  next.dst = 0x0A000002;
  next.sport = 5000;
  next.dport = 6000;
  next.id = 1;
  next.payload = payload;
  std::string want = slip(next.build([](Bytes &p) { p[8] = 255; }));
  EXPECT_EQ(line.pty.recv(want.size(), 5), want);

  Packet in;
  in.payload = "data\xC0\xDB\xC0";
  line.pty.send(slip(in.build()));
  std::string data, from;
  ASSERT_EQ(line.read(&data, &from), 0);
  EXPECT_EQ(data, in.payload);
  EXPECT_EQ(from, "10.0.0.9:7000");
  EXPECT_EQ(line.udp->slip_buf->slip_ipaddr_dst, 0x0A000009u);
  EXPECT_EQ(line.udp->slip_buf->slip_port_dst, 7000);

  // A payload longer than the caller's buffer is cut to it.
  in.payload = std::string(100, 'z');
  line.pty.send(slip(in.build()));
  ASSERT_EQ(line.read(&data, nullptr, 10), 0);
  EXPECT_EQ(data, std::string(10, 'z'));
}

TEST(UdpSlip, UnsoundFramesAreDroppedAndTheNextOneTaken) {
  SlipLine line;
  Packet base;
  base.payload = "payload";
  const struct {
    const char *name;
    std::string frame;
    const char *complaint;  // printed for checksum mismatches
  } cases[] = {
      {"shorter than the IPv4 and UDP headers", slip(first(base.build(), 24)), nullptr},
      {"header length beyond the frame", slip(base.build([](Bytes &p) { p[0] = 0x4F; })), nullptr},
      {"IP length longer than the frame",
       slip(base.build([](Bytes &p) { be16(p, 2, (unsigned)p.size() + 10); })), nullptr},
      {"UDP length shorter than the frame", slip(base.build([](Bytes &p) { be16(p, 24, 8); })),
       nullptr},
      {"UDP length longer than the frame", slip(base.build([](Bytes &p) { be16(p, 24, 200); })),
       nullptr},
      {"not UDP", slip(base.build([](Bytes &p) { p[9] = 6; })), nullptr},
      {"IP header checksum", slip(base.build(nullptr, [](Bytes &p) { p[11] ^= 1; })),
       "ip header checksum, 0x"},
      {"UDP checksum", slip(base.build(nullptr, [](Bytes &p) { p[27] ^= 1; })),
       "udp header checksum, 0x"},
      {"bad escape", "\xC0\x45\xDB\x41" + slip(base.build()).substr(2), nullptr},
      {"overlong", slip(Bytes(3000, 0x45)), nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ElogCapture printed;
    Packet good;
    good.payload = std::string("after ") + c.name;
    line.pty.send(c.frame + slip(good.build()));
    std::string data;
    ASSERT_EQ(line.read(&data), 0);
    EXPECT_EQ(data, good.payload);
    if (c.complaint) {
      EXPECT_TRUE(printed.contains(c.complaint)) << printed.text();
      EXPECT_TRUE(printed.contains("does not match computed checksum")) << printed.text();
    }
  }

  // A UDP checksum of 0 means none was computed.
  Packet unchecked;
  unchecked.payload = "unchecked";
  line.pty.send(slip(unchecked.build(nullptr, [](Bytes &p) { be16(p, 26, 0); })));
  std::string data;
  ASSERT_EQ(line.read(&data), 0);
  EXPECT_EQ(data, "unchecked");

  // Silence on the line is a time-out of the read.
  EXPECT_EQ(line.read(&data), 1);
}

}  // namespace
