// Block-mode codec against hand-written byte vectors: building, framing, reading and
// unstuffing frames from a byte stream, parsing, checksums and code names; the payload
// decoders and the stream-sample decompression.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "altuscomsubs_block.h"
#include "base/clock.h"
#include "bytestream/fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;

namespace {

using Bytes = std::vector<unsigned char>;

std::string S(const Bytes &b) { return std::string(b.begin(), b.end()); }
std::string take(char *p) {
  std::string s = p ? p : "";
  free(p);
  return s;
}

// A connected record over a socket pair; the far end plays the datalogger.
struct Link {
  Recorder rec;
  SockPair sp;
  Record r;
  Link() : r(make_record(&rec, 256, 300)) { attach(r.get(), sp.give_near()); }
};

// A packet written out by hand: header fields, data, sums.
Bytes packet(int type, int seq, const Bytes &data) {
  Bytes p = {
      (unsigned char)type,       (unsigned char)seq, 0, 1, 0, 0, (unsigned char)(data.size() >> 8),
      (unsigned char)data.size()};
  int h = 0;
  for (auto c : p) h += c;
  p.push_back((unsigned char)h);
  int d = 0;
  for (auto c : data) {
    p.push_back(c);
    d += c;
  }
  p.push_back((unsigned char)(d >> 8));
  p.push_back((unsigned char)d);
  return p;
}

// The packet as it goes on the line between its delimiters: 0xC0 and 0x5C escaped.
Bytes stuff(const Bytes &p) {
  Bytes f;
  for (auto c : p) {
    if (c == 0xC0) {
      f.push_back(0x5C);
      f.push_back(0xDD);
    } else if (c == 0x5C) {
      f.push_back(0x5C);
      f.push_back(0xDC);
    } else {
      f.push_back(c);
    }
  }
  return f;
}

TEST(AltusBlockCodec, CrcAndChecksums) {
  const char *check = "123456789";
  EXPECT_EQ(datacrc((const unsigned char *)check, 9), 0x31C3);
  EXPECT_EQ(datacrc(nullptr, 0), 0);
  EXPECT_EQ(CRC_TABLE[0], 0u);
  EXPECT_EQ(CRC_TABLE[1], 0x1021u);
  EXPECT_EQ(CRC_TABLE[255], 0x1EF0u);
  const unsigned char b[] = {0xFF, 0xFF, 0x02};
  EXPECT_EQ(checksum(b, 3), 0x200);
}

TEST(AltusBlockCodec, CodeNames) {
  EXPECT_EQ(take(code2str(130)), "UNKNOWN(0x82)");
  EXPECT_EQ(take(code2str(155)), "PKR_EVENTSUMMARY");
  EXPECT_EQ(take(code2str(9)), "UNKNOWN(0x09)");
  EXPECT_EQ(take(cmd2str(7)), "PKC_unknown");
  EXPECT_EQ(take(cmd2str(33)), "PKC_STRSEND");
}

TEST(AltusBlockCodec, BuildsCommandPackets) {
  unsigned char *buf = nullptr;
  int n = 0, size = 0;
  // PING "hi": header sum 0x08+0x05+0x01+0x03, data sum 'h'+'i'.
  ASSERT_EQ(make_block_command_packet(PKC_PING, "hi", 3, 5, 1, &buf, &n, &size, nullptr, nullptr),
            0);
  Bytes ping = {0x08, 0x05, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x11, 'h', 'i', 0, 0x00, 0xD1};
  EXPECT_EQ(Bytes(buf, buf + n), ping);
  // No data: 11 bytes and a zero data sum.
  ASSERT_EQ(make_block_command_packet(PKC_GETSTATUS, nullptr, 0, 0xFF, 1, &buf, &n, &size, nullptr,
                                      nullptr),
            0);
  Bytes status = {0x03, 0xFF, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00};
  EXPECT_EQ(Bytes(buf, buf + n), status);
  // The largest argument, then one byte more.
  std::vector<unsigned char> big(2993, 0xAB);
  ASSERT_EQ(make_block_command_packet(PKC_SETPARAMS, big.data(), 2992, 1, 1, &buf, &n, &size,
                                      nullptr, nullptr),
            0);
  EXPECT_EQ(n, 3003);
  EXPECT_GE(size, 3003);
  EXPECT_EQ(buf[6], 0x0B);
  EXPECT_EQ(buf[7], 0xB0);
  EXPECT_EQ((buf[3001] << 8 | buf[3002]), (2992 * 0xAB) & 0xFFFF);
  ElogCapture log;
  EXPECT_EQ(make_block_command_packet(PKC_SETPARAMS, big.data(), 2993, 1, 1, &buf, &n, &size,
                                      nullptr, nullptr),
            -1);
  EXPECT_TRUE(log.contains("make_block_command_packet: Illegal data size 2993."));
  free(buf);
}

TEST(AltusBlockCodec, FramesWithBothEscapes) {
  Link l;
  Bytes pkt = {0xC0, 0x01, 0x5C, 0x02, 0x5C, 0xDD, 0x03};
  ASSERT_EQ(send_block_command_packet(l.r.get(), pkt.data(), (int)pkt.size()), 0);
  Bytes wire = {0xC0, 0x5C, 0xDD, 0x01, 0x5C, 0xDC, 0x02, 0x5C, 0xDC, 0xDD, 0x03, 0xC0};
  EXPECT_EQ(l.sp.recv(wire.size(), 2.0), S(wire));

  // A long packet of 0xC0 bytes (every byte doubled) arrives whole and comes back equal.
  Bytes all(3003, 0xC0);
  ASSERT_EQ(send_block_command_packet(l.r.get(), all.data(), (int)all.size()), 0);
  std::string got = l.sp.recv(2 * 3003 + 2, 5.0);
  ASSERT_EQ(got.size(), 2u * 3003 + 2);
  l.sp.send(got);
  unsigned char *buf = nullptr;
  int n = 0, size = 0;
  ASSERT_EQ(receive_block_packet(l.r.get(), &buf, &n, &size), 0);
  EXPECT_EQ(Bytes(buf, buf + n), all);
  free(buf);
}

TEST(AltusBlockCodec, ReadsFramesFromAByteStream) {
  const Bytes a = packet(PKR_PING, 1, {'o', 'k', 0});
  const Bytes b = packet(PKR_MSG, 2, {0xC0, 0x5C, 'x'});
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes r;
    for (auto &p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
  };
  const Bytes C = {0xC0};
  const struct {
    const char *name;
    Bytes stream;
    std::vector<Bytes> frames;  // the packets read, in order, before the time-out
  } cases[] = {
      {"two frames, each with its own delimiters", cat({C, stuff(a), C, C, stuff(b), C}), {a, b}},
      {"noise and a run of 0xC0 before the frame",
       cat({{'z', 'z', 0x5C}, C, C, C, stuff(b), C}),
       {b}},
      {"two frames sharing one 0xC0", cat({C, stuff(a), C, stuff(b), C}), {a, b}},
      {"0x5C at the end and before another byte is kept",
       cat({C, {1, 0x5C, 2, 0x5C}, C}),
       {{1, 0x5C, 2, 0x5C}}},
      {"an unclosed frame is not handed out", cat({C, stuff(a)}), {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l;
    l.sp.send(S(c.stream));
    unsigned char *buf = nullptr;
    int n = 0, size = 0;
    std::vector<Bytes> got;
    int rc;
    while ((rc = receive_block_packet(l.r.get(), &buf, &n, &size)) == 0)
      got.emplace_back(buf, buf + n);
    EXPECT_EQ(rc, 2);  // time-out once the stream is used up
    EXPECT_EQ(got, c.frames);
    free(buf);
  }
}

// The line's own time: the far end moves it on by the time its bytes take on the line,
// and the reader sees it through the clock seam. Written by one thread, read by another,
// under a lock (32-bit ARM has no lock-free 8-byte atomics).
struct LineClock {
  std::mutex mutex;
  double time = 1000.0;
  double t() {
    std::lock_guard<std::mutex> g(mutex);
    return time;
  }
  void add(double s) {
    std::lock_guard<std::mutex> g(mutex);
    time += s;
  }
  ClockDriver driver{[](void *u) { return static_cast<LineClock *>(u)->t(); },
                     [](void *u) { return static_cast<LineClock *>(u)->t(); },
                     [](double s, void *u) { static_cast<LineClock *>(u)->add(s); }, this};
  LineClock() { clock_set_driver(&driver); }
  ~LineClock() { clock_set_driver(nullptr); }
};

// A line at a given pace: a frame of about 2.7 KB (a parameter block) comes in pieces,
// each after the line time it takes; or bytes trickle in, each well within the link's
// 10 s time-out of a byte, without a frame ever ending. Each piece is written only once
// the reader has taken the one before, so the reader waits for every piece and reads the
// line's clock as it goes. A frame at the line's pace is read whatever its length; a
// trickle fails within the link's time-out plus the time 8194 bytes take at the line's
// rate (the configured speed of a serial line, 120 bytes a second on a TCP link).
TEST(AltusBlockCodec, FramesAtTheLinesPaceAreReadAndATrickleTimesOut) {
  constexpr double kTimeout = 10.0;
  const Bytes params = packet(PKR_PARAMS, 4, Bytes(2689, 0x41));  // 2700 bytes
  const Bytes frame = [&] {
    Bytes f = {0xC0};
    Bytes body = stuff(params);
    f.insert(f.end(), body.begin(), body.end());
    f.push_back(0xC0);
    return f;
  }();
  enum Line { kSerial, kTcp };
  const struct {
    const char *name;
    Line line;
    int baud;      // configured speed of the serial line
    double rate;   // bytes a second the far end sends at
    Bytes first;   // sent at once, before the trickle; the frame for a paced line
    bool trickle;  // then one byte every kStep for ever
  } cases[] = {
      {"serial line at 1200 baud", kSerial, 1200, 120, frame, false},
      {"serial line at 2400 baud", kSerial, 2400, 240, frame, false},
      {"serial line at 9600 baud", kSerial, 9600, 960, frame, false},
      {"TCP link behind a 1200-baud line", kTcp, 0, 120, frame, false},
      {"serial line at 9600 baud: an endless frame", kSerial, 9600, 960, {0xC0, 0x01, 0x02}, true},
      {"serial line at 1200 baud: noise without a delimiter", kSerial, 1200, 120, {'z'}, true},
      {"TCP link: noise without a delimiter", kTcp, 0, 120, {'z'}, true},
      {"TCP link: an endless frame", kTcp, 0, 120, {0xC0, 0x01, 0x02}, true},
  };
  constexpr double kStep = 2.0;  // trickle: seconds between bytes
  constexpr size_t kPiece = 64;  // paced frame: bytes written at a time
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Recorder rec;
    Pty pty;
    SockPair sp;
    ASSERT_TRUE(pty.ok());
    const int ms = (int)(kTimeout * 1000);
    Record r(c.line == kSerial ? serialbuf_create_serial(pty.path.c_str(), c.baud, 0, 256, ms, ms,
                                                         0, 2, Recorder::idle, &rec, Recorder::log,
                                                         &rec, nullptr, Recorder::rate, &rec)
                               : make_record(&rec, 256, ms));
    ASSERT_NE(r, nullptr);
    const int near = c.line == kSerial ? dup(pty.slave) : sp.give_near();
    attach(r.get(), near);
    long long sent = 0;  // far end thread only
    auto send = [&](const Bytes &b) {
      if (c.line == kSerial)
        pty.send(S(b));
      else
        sp.send(S(b));
      sent += (long long)b.size();
    };
    // Whether the reader has taken every byte sent (the record counts what it reads).
    auto taken = [&] {
      std::lock_guard<std::mutex> lock(rec.mutex);
      return rec.read_bytes == sent;
    };
    LineClock line;
    const double t0 = line.t();
    std::atomic<bool> done{false};
    std::atomic<bool> drained_ok{true};
    // The far end: each piece after the line time it takes, once the last one was read.
    std::thread far([&] {
      auto write_after = [&](const Bytes &piece, double seconds) {
        if (!wait_until([&] { return done || taken(); }, 60)) drained_ok = false;
        if (done) return false;
        line.add(seconds);
        send(piece);
        return true;
      };
      if (!c.trickle) {
        for (size_t at = 0; at < c.first.size(); at += kPiece) {
          Bytes piece(c.first.begin() + at,
                      c.first.begin() + std::min(at + kPiece, c.first.size()));
          if (!write_after(piece, piece.size() / c.rate)) return;
        }
        return;
      }
      send(c.first);
      while (write_after({'z'}, kStep)) {
      }
    });
    unsigned char *buf = nullptr;
    int n = 0, size = 0;
    const int rc = receive_block_packet(r.get(), &buf, &n, &size);
    const double took = line.t() - t0;
    done = true;
    far.join();
    EXPECT_TRUE(drained_ok) << "the reader stopped taking bytes";
    const double bound = kTimeout + 8194 / block_line_rate(r.get());
    if (!c.trickle) {
      EXPECT_EQ(rc, 0) << "after " << took << " s of line time";
      EXPECT_EQ(Bytes(buf, buf + std::max(n, 0)), params);
      EXPECT_GT(took, 2700 / c.rate) << "the frame took its time on the line";
    } else {
      EXPECT_EQ(rc, 2);
      // Past the bound by at most the piece read and the one the far end may have added
      // meanwhile, counted from the first byte (one piece early at most).
      EXPECT_GE(took, bound - kStep);
      EXPECT_LE(took, bound + 3 * kStep);
    }
    free(buf);
  }
}

TEST(AltusBlockCodec, RefusesAnOverLongFrameAndResynchronises) {
  Link l;
  Bytes noise(9000, 0x11);
  Bytes stream = {0xC0};
  stream.insert(stream.end(), noise.begin(), noise.end());
  const Bytes a = packet(PKR_PING, 7, {'y'});
  stream.push_back(0xC0);
  stream.insert(stream.end(), a.begin(), a.end());
  stream.push_back(0xC0);
  std::thread feeder([&] { l.sp.send(S(stream)); });
  unsigned char *buf = nullptr;
  int n = 0, size = 0;
  ElogCapture log;
  EXPECT_EQ(receive_block_packet(l.r.get(), &buf, &n, &size), -1);
  EXPECT_TRUE(log.contains("read_packet: Attempt to exceed maximum buffer size."));
  {
    std::lock_guard<std::mutex> lock(l.rec.mutex);
    ASSERT_FALSE(l.rec.lines.empty());
    EXPECT_EQ(l.rec.lines.back().first, 7);
  }
  ASSERT_EQ(receive_block_packet(l.r.get(), &buf, &n, &size), 0);
  EXPECT_EQ(Bytes(buf, buf + n), a);
  feeder.join();
  free(buf);
}

TEST(AltusBlockCodec, ParsesAndRefusesPackets) {
  const Bytes good = packet(PKR_PING, 3, {'a', 'b'});  // 13 bytes, L = 2
  Bytes big = good;
  big[6] = 0x0B;
  big[7] = 0xB1;  // L = 2993
  const struct {
    const char *name;
    Bytes bytes;
    int rc;
    const char *complaint;
  } cases[] = {
      {"whole", good, 0, nullptr},
      {"no data", packet(PKR_ACK, 1, {}), 0, nullptr},
      {"1 byte", Bytes(good.begin(), good.begin() + 1), -1, "short packet (1) at seqNo"},
      {"2 bytes", Bytes(good.begin(), good.begin() + 2), -1, "short packet (2) at source"},
      {"4 bytes", Bytes(good.begin(), good.begin() + 4), -1, "short packet (4) at destination"},
      {"6 bytes", Bytes(good.begin(), good.begin() + 6), -1, "short packet (6) at dataLength"},
      {"8 bytes", Bytes(good.begin(), good.begin() + 8), -1, "short packet (8) at headerChk"},
      {"9 bytes", Bytes(good.begin(), good.begin() + 9), -1, "short packet (9) at data"},
      {"illegal length", big, -1, "Illegal data length (2993) for PKR_PING"},
      {"ends in the data", Bytes(good.begin(), good.begin() + 10), -1,
       "short packet (10<11) at dataChk"},
      {"one byte short", Bytes(good.begin(), good.begin() + 12), -1,
       "short packet (12<13) - unable"},
      {"one byte long",
       [&] {
         Bytes b = good;
         b.push_back(0);
         return b;
       }(),
       -1, "long packet (14>13) - unable to decode PKR_PING"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ElogCapture log;
    AltusBlockPkt p;
    EXPECT_EQ(decode_block_packet(c.bytes.data(), (int)c.bytes.size(), &p, nullptr, nullptr), c.rc);
    if (c.complaint) {
      EXPECT_TRUE(log.contains(c.complaint)) << log.text();
    }
  }
  AltusBlockPkt p;
  ASSERT_EQ(decode_block_packet(good.data(), (int)good.size(), &p, nullptr, nullptr), 0);
  EXPECT_EQ(p.typeCode, PKR_PING);
  EXPECT_EQ(p.seqNo, 3);
  EXPECT_EQ(p.source, 1);
  EXPECT_EQ(p.dataLength, 2);
  EXPECT_EQ(p.headerChk, p.headerChk_comp);
  EXPECT_EQ(p.dataChk, 'a' + 'b');
  EXPECT_EQ(p.dataChk_comp, 'a' + 'b');
  // A damaged sum is reported, not judged.
  Bytes bad = good;
  bad[8] ^= 1;
  bad[12] ^= 1;
  ASSERT_EQ(decode_block_packet(bad.data(), (int)bad.size(), &p, nullptr, nullptr), 0);
  EXPECT_NE(p.headerChk, p.headerChk_comp);
  EXPECT_NE(p.dataChk, p.dataChk_comp);
}

// A stream payload: header, sample bytes, and the CRC of both (or a given one).
AltusBlockPkt strpkt(const Bytes &samples, int crc = -1, int type = PKR_STRDATA) {
  EXPECT_LE(samples.size(), 2972u);
  Bytes d = {0x01, 0x02, 0x03, 0xFB, 0, 0, 0, 9, 0x10, 0x20, 0x30, 0x40, 0x01, 0xF4, 0, 0};
  d.insert(d.end(), samples.begin(), samples.end());
  unsigned c = crc >= 0 ? (unsigned)crc : datacrc(d.data(), (int)d.size());
  d.push_back(0);
  d.push_back(0);
  d.push_back((unsigned char)(c >> 8));
  d.push_back((unsigned char)c);
  AltusBlockPkt p{};
  p.typeCode = (uint8_t)type;
  p.dataLength = (uint16_t)d.size();
  memcpy(p.data, d.data(), d.size());
  return p;
}

TEST(AltusBlockStrdata, DecodesSamples) {
  auto sd = std::make_unique<AltusBlockStrdata>();
  const struct {
    const char *name;
    Bytes samples;
    std::vector<int32_t> want;
  } cases[] = {
      {"absolute then difference", {0x80, 0x00, 0x10, 0x00, 0x05}, {32, 42}},
      {"smallest absolute", {0xC0, 0x00, 0x00}, {-8388608}},
      {"largest absolute", {0xBF, 0xFF, 0xFF}, {8388606}},
      {"negative difference", {0x80, 0x00, 0x10, 0x7F, 0xFF, 0x40, 0x00}, {32, 30, 30 - 32768}},
      {"no samples", {}, {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    AltusBlockPkt p = strpkt(c.samples);
    ASSERT_EQ(decode_block_strdata(&p, sd.get()), 0);
    EXPECT_EQ(sd->serNo, 0x0102);
    EXPECT_EQ(sd->stream, 3);
    EXPECT_EQ(sd->format, 3);
    EXPECT_EQ(sd->dataSeq, 9u);
    EXPECT_EQ(sd->time_altusepoch, 0x10203040u);
    EXPECT_EQ(sd->time_msec, 500);
    EXPECT_EQ(sd->dataChk, sd->dataChk_comp);
    EXPECT_EQ(std::vector<int32_t>(sd->data, sd->data + sd->nsamp), c.want);
  }
}

TEST(AltusBlockStrdata, RefusesDamagedPayloads) {
  auto sd = std::make_unique<AltusBlockStrdata>();
  // A CRC that does not match: no samples, result 0, both CRCs kept.
  AltusBlockPkt p = strpkt({0x00, 0x05}, 0x1234);
  ASSERT_EQ(decode_block_strdata(&p, sd.get()), 0);
  EXPECT_EQ(sd->nsamp, 0);
  EXPECT_EQ(sd->dataChk, 0x1234u);
  EXPECT_NE(sd->dataChk_comp, 0x1234u);

  const struct {
    const char *name;
    AltusBlockPkt pkt;
    const char *complaint;
  } cases[] = {
      {"not stream data", strpkt({}, -1, PKR_STATUS), "Input not a strdata packet"},
      {"a sample cut off", strpkt({0x80, 0x00}), "sample cut off"},
      {"a difference cut off", strpkt({0x00}), "sample cut off"},
      {"shorter than its header",
       [] {
         AltusBlockPkt q = strpkt({});
         q.dataLength = 19;
         return q;
       }(),
       "shorter than its header"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ElogCapture log;
    EXPECT_EQ(decode_block_strdata(&c.pkt, sd.get()), -1);
    EXPECT_TRUE(log.contains(c.complaint)) << log.text();
  }
  // The largest payload: 2972 sample bytes, 1486 differences.
  Bytes many;
  for (int i = 0; i < 1486; i++) {
    many.push_back(0);
    many.push_back(1);
  }
  p = strpkt(many);
  ASSERT_EQ(p.dataLength, 2992);
  ASSERT_EQ(decode_block_strdata(&p, sd.get()), 0);
  EXPECT_EQ(sd->nsamp, 1486);
  EXPECT_EQ(sd->data[1485], 2972);
}

TEST(AltusBlockPayloads, StatusDirentryAndEventsummary) {
  AltusBlockPkt p{};
  p.typeCode = PKR_STATUS;
  p.dataLength = 24;
  Bytes st = {0,   0, 1,    0,    0x12, 0x34, 0,   7,   0,   2,   0,   0x1F,
              125, 1, 0x08, 0x01, 0x04, 0x00, 'S', 'T', 'A', '1', ' ', 3};
  memcpy(p.data, st.data(), st.size());
  AltusBlockStatus s;
  ASSERT_EQ(decode_block_status(&p, &s), 0);
  EXPECT_EQ(s.systemTime, 256u);
  EXPECT_EQ(s.serialNumber, 0x1234);
  EXPECT_EQ(s.events, 7);
  EXPECT_EQ(s.recordingErrors, 2);
  EXPECT_EQ(s.triggerStatus, 0x1F);
  EXPECT_EQ(s.batteryStatus, 125);
  EXPECT_EQ(s.hardwareStatus, 1);
  EXPECT_EQ(s.driveStatus[0], 0x0801);
  EXPECT_EQ(s.driveStatus[1], 0x0400);
  EXPECT_EQ(std::string(s.stnID, 5), "STA1 ");
  EXPECT_EQ(s.clockSource, 3);
  p.dataLength = 23;
  EXPECT_EQ(decode_block_status(&p, &s), -1);

  p = AltusBlockPkt{};
  p.typeCode = PKR_DIR;
  p.dataLength = 45;  // two entries and a stray byte
  Bytes e = {0, 0,   0,   1,   0,   0,   2,   0,   'E', 'V', 'T',
             0, 'A', 'B', ' ', ' ', ' ', ' ', ' ', ' ', 0,   0x10};
  memcpy(p.data, e.data(), e.size());
  memcpy(p.data + 22, e.data(), e.size());
  AltusBlockDirentry d;
  ASSERT_EQ(decode_block_direntry(&p, 1, &d), 0);
  EXPECT_EQ(d.time, 1u);
  EXPECT_EQ(d.size, 512u);
  EXPECT_STREQ(d.ext, "EVT");
  EXPECT_STREQ(d.name, "AB");
  EXPECT_EQ(d.attr, 0x10);
  EXPECT_EQ(decode_block_direntry(&p, 2, &d), -1);

  // Event summary: a negative count and a payload too short for its count are refused;
  // more than 18 channels keep the first 18.
  auto es = std::make_unique<AltusBlockEventsummary>();
  p = AltusBlockPkt{};
  p.typeCode = PKR_EVENTSUMMARY;
  p.data[0] = 0xFF;
  p.data[1] = 0xFF;
  p.dataLength = 2992;
  EXPECT_EQ(decode_block_eventsummary(&p, es.get()), -1);
  p.data[0] = 0;
  p.data[1] = 20;
  p.dataLength = 32 + 19 * 32;
  EXPECT_EQ(decode_block_eventsummary(&p, es.get()), -1);
  p.dataLength = 32 + 20 * 32;
  for (int i = 0; i < 20; i++) {
    unsigned char *c = p.data + 32 + 32 * i;
    c[3] = (unsigned char)i;                           // maxPeak
    c[16] = 0x3F, c[17] = 0x80, c[18] = 0, c[19] = 0;  // sensitivity 1.0
    memcpy(c + 26, "CH01", 5);
  }
  ASSERT_EQ(decode_block_eventsummary(&p, es.get()), 0);
  EXPECT_EQ(es->nchan, 20);
  EXPECT_EQ(es->chan[17].maxPeak, 17);
  EXPECT_FLOAT_EQ(es->chan[17].sensitivity, 1.0f);
  EXPECT_EQ(std::string(es->chan[17].id, 4), "CH01");

  // A record left by a refused parse may claim any length: no decoder reads past data.
  p = AltusBlockPkt{};
  p.dataLength = 0xFFFF;
  auto sd = std::make_unique<AltusBlockStrdata>();
  AltusStrNak nak;
  ElogCapture log;
  for (int type : {PKR_STATUS, PKR_DIR, PKR_EVENTSUMMARY, PKR_STRDATA, PKR_STRNAK}) {
    p.typeCode = (uint8_t)type;
    EXPECT_EQ(decode_block_status(&p, &s), -1);
    EXPECT_EQ(decode_block_direntry(&p, 2000, &d), -1);
    EXPECT_EQ(decode_block_eventsummary(&p, es.get()), -1);
    EXPECT_EQ(decode_block_strdata(&p, sd.get()), -1);
    EXPECT_EQ(decode_block_strnak(&p, &nak), -1);
  }
}

}  // namespace

namespace {

// The largest stream packet a link reads and decodes fits the link thread's stack.
TEST(AltusBlockStrdata, LargestPacketFitsTheLinkThreadStack) {
  Bytes samples = {0x80, 0x00, 0x10};
  while (samples.size() + 2 <= 2972) samples.insert(samples.end(), {0x00, 0x01});
  auto sd = std::make_unique<AltusBlockStrdata>();
  auto p = std::make_unique<AltusBlockPkt>(strpkt(samples));
  int rc = -1;
  long peak = run_on_thread_stack(THREAD_ALTUS_LINK, [&] {
    auto copy = std::make_unique<AltusBlockPkt>(*p);
    rc = decode_block_strdata(copy.get(), sd.get());
  });
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(sd->nsamp, 1 + (int)(samples.size() - 3) / 2);
  ASSERT_GT(peak, 0);
  EXPECT_LT((size_t)peak, threadstart_stack_size(THREAD_ALTUS_LINK) / 2);
}

}  // namespace
