// Byte reads and writes of the device record: time-outs and the idle callback, end of
// input and carrier loss, the watcher of the modem's texts, the traffic echo, the
// data-rate count and putting bytes back.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "bytestream/serialbuf.h"
#include "fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;

namespace {

// A connected record over a socket pair, with the recorder's callbacks.
struct Link {
  Recorder rec;
  SockPair sp;
  Record r;
  explicit Link(int timeout = 1000, int size = 64) : r(make_record(&rec, size, timeout)) {
    attach(r.get(), sp.give_near());
  }
  std::string read_n(size_t n) {
    std::string got;
    unsigned char c;
    for (size_t i = 0; i < n; ++i) {
      int rc = serialbuf_get_byte(r.get(), &c, 0);
      if (rc != 0) break;
      got += (char)c;
    }
    return got;
  }
  void modem(const char *busy, const char *offhook) {
    serialbuf_set_modem_control(r.get(), 0, 1000, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, busy, nullptr, offhook);
  }
};

TEST(SerialbufGetByte, TimeOutsAndTheIdleCallback) {
  // Upper bounds leave room for a loaded machine but stay below what a time-out rounded
  // up to whole seconds, or doubled, would take.
  ClockScale fast(0.2);
  const struct {
    const char *name;
    int timeout;
    int intr;
    bool data;                 // input is waiting before the read
    std::vector<int> results;  // what the idle callback returns, call by call
    int rc;
    std::vector<int> phases;  // the calls the callback got
    double min_s, max_s;      // clock time the read took
  } cases[] = {
      {"silence, 1500 ms", 1500, 0, false, {}, 1, {}, 1.5, 2.9},
      {"silence, limit under a second", 400, 0, false, {}, 1, {}, 0.4, 0.9},
      {"intr 0 never asks", 1500, 0, false, {3, 3}, 1, {}, 1.5, 2.9},
      {"intr 2 asks after each empty wait", 1500, 2, false, {0, 0}, 1, {1, 1}, 1.5, 2.9},
      {"intr 2 stops on 3", 0, 2, false, {0, 0, 3}, 3, {1, 1, 1}, 3.0, 4.4},
      {"intr 1 asks after every wait", 1500, 1, false, {}, 1, {0, 0}, 1.5, 2.9},
      {"intr 1 stops even with input ready", 1500, 1, true, {3}, 3, {0}, 0, 1.4},
      {"intr 1 input goes on", 1500, 1, true, {0}, 0, {0}, 0, 1.4},
      {"intr 2 not asked when input is ready", 1500, 2, true, {3}, 0, {}, 0, 1.4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l(c.timeout);
    l.rec.idle_results = c.results;
    if (c.data) l.sp.send("x");
    unsigned char byte = 0;
    double start = clock_monotonic();
    int rc = serialbuf_get_byte(l.r.get(), &byte, c.intr);
    double took = clock_monotonic() - start;
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(l.rec.idle_phases, c.phases);
    EXPECT_GE(took, c.min_s);
    EXPECT_LT(took, c.max_s);
    std::string log = take_registered();
    if (rc == 1) {
      EXPECT_EQ(log, "serialbuf_get_byte: timeout.\n");
    }
    if (rc == 0) {
      EXPECT_EQ(byte, 'x');
    }
  }
}

// A deadline ends the reads that have to wait for the device at that clock time, however
// long the silence limit and whatever arrives meanwhile. Without it the first wait would
// go on until the idle callback stops it, the second as long as the peer talks.
TEST(SerialbufGetByte, TheDeadlineEndsEveryWait) {
  ClockScale fast(0.1);
  const struct {
    const char *name;
    int timeout, intr;
    bool talking;  // the peer sends a byte every 0.5 s
  } cases[] = {
      {"a wait without limit", 0, 2, false},
      {"a peer that talks within the silence limit", 60000, 0, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l(c.timeout);
    l.rec.idle_results = {0, 0, 0, 0, 0, 0, 0, 0, 3};
    const double start = clock_monotonic();
    l.r->deadline = start + 3.0;
    std::atomic<bool> done{false};
    std::thread peer([&] {
      while (!done) {
        if (c.talking) l.sp.send("x");
        clock_sleep(0.5);
      }
    });
    int rc = 0, bytes = 0;
    unsigned char byte;
    while (bytes < 100 && (rc = serialbuf_get_byte(l.r.get(), &byte, c.intr)) == 0) bytes++;
    done = true;
    peer.join();
    EXPECT_EQ(rc, 1) << bytes << " bytes read";
    EXPECT_GE(clock_monotonic() - start, 3.0);
    EXPECT_EQ(take_registered(), "serialbuf_get_byte: time limit of the connection reached.\n");
  }
}

TEST(SerialbufGetByte, NoTimeOutWaitsForInput) {
  ClockScale fast(0.1);
  Link l(0);
  std::thread late([&] {
    clock_sleep(2.5);
    l.sp.send("z");
  });
  unsigned char c = 0;
  EXPECT_EQ(serialbuf_get_byte(l.r.get(), &c, 0), 0);
  EXPECT_EQ(c, 'z');
  late.join();
}

TEST(SerialbufGetByte, HandsOutOneDeviceReadByteByByte) {
  Link l(1000, 4);
  l.sp.send("abcdef");
  EXPECT_EQ(l.read_n(6), "abcdef");
  // Each device read asks for `size` bytes.
  EXPECT_EQ(l.rec.read_bytes, 6);
  EXPECT_EQ(l.r->occupied, 2);
}

TEST(SerialbufGetByte, NotConnectedEndOfInputAndCarrier) {
  {
    Link l;
    l.r->state = SERIALBUF_OPEN;
    l.sp.send("a");
    unsigned char c;
    EXPECT_EQ(serialbuf_get_byte(l.r.get(), &c, 0), 4);
    EXPECT_EQ(take_registered(), "serialbuf_get_byte: not connected.\n");
    // While a modem step of connect runs, reads work before the record is connected.
    l.r->connecting = 1;
    EXPECT_EQ(serialbuf_get_byte(l.r.get(), &c, 0), 0);
  }
  {
    Link l;
    l.sp.send("q");
    l.sp.close_far();
    EXPECT_EQ(l.read_n(1), "q");
    unsigned char c;
    EXPECT_EQ(serialbuf_get_byte(l.r.get(), &c, 0), 2);
    EXPECT_EQ(take_registered(), "serialbuf_get_byte: eof.\n");
  }
  {
    Link l;
    l.r->fd = -1;
    unsigned char c;
    EXPECT_EQ(serialbuf_get_byte(l.r.get(), &c, 0), -1);
    EXPECT_EQ(take_registered(), "serialbuf_get_byte: fdwait() error.\n");
  }
  // With the modem's control lines, no bytes or silence with carrier off means the
  // carrier was lost; with carrier on they stay end of input and time-out.
  ClockScale fast(0.1);
  FakeLines lines;
  const struct {
    bool carrier;
    bool close_far;
    int rc;
    const char *msg;
  } cases[] = {
      {false, true, 4, "serialbuf_get_byte: no carrier detected.\n"},
      {true, true, 2, "serialbuf_get_byte: eof.\n"},
      {false, false, 4, "serialbuf_get_byte: no carrier detected.\n"},
      {true, false, 1, "serialbuf_get_byte: timeout.\n"},
  };
  for (const auto &c : cases) {
    Link l(1000);
    l.r->modem_control = SERIALBUF_MODEM_LOCAL;
    lines.carrier = c.carrier ? 1 : 0;
    if (c.close_far) l.sp.close_far();
    unsigned char b;
    EXPECT_EQ(serialbuf_get_byte(l.r.get(), &b, 0), c.rc);
    EXPECT_EQ(take_registered(), c.msg);
  }
}

TEST(SerialbufWatcher, FindsTextsSplitAndOverlapping) {
  const struct {
    const char *busy;
    std::vector<std::string> chunks;  // device reads, in order
    int at;                           // index of the byte that gives 5, -1 for none
  } cases[] = {
      {"BUSY", {"BUSY"}, 3},       {"BUSY", {"xxBU", "SY"}, 5}, {"BUSY", {"BBUSY"}, 4},
      {"BUSY", {"BUBUSY"}, 5},     {"BUSY", {"BUSBUSY"}, 6},    {"BUSY", {"BU", "xSY"}, -1},
      {"ABAC", {"ABAB", "AC"}, 5}, {"AAB", {"AAAAB"}, 4},       {"", {"BUSY"}, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.busy + std::string(" in ") + c.chunks[0]);
    Link l;
    l.modem(c.busy, nullptr);
    int index = 0, found = -1;
    for (const auto &chunk : c.chunks) {
      l.sp.send(chunk);
      for (size_t i = 0; i < chunk.size(); ++i, ++index) {
        unsigned char b;
        int rc = serialbuf_get_byte(l.r.get(), &b, 0);
        ASSERT_TRUE(rc == 0 || rc == 5) << rc;
        EXPECT_EQ(b, (unsigned char)chunk[i]);
        if (rc == 5 && found < 0) found = index;
      }
    }
    EXPECT_EQ(found, c.at);
    if (c.at >= 0) {
      EXPECT_EQ(take_registered(), "serialbuf_process_rec_strings: busy signal detected.\n");
    }
  }
}

TEST(SerialbufWatcher, NothingIsWatchedWithoutAModem) {
  Link l;
  l.modem("BUSY", "NO CARRIER");
  serialbuf_clear_modem_control(l.r.get());
  for (char c : std::string("BUSY NO CARRIER"))
    EXPECT_EQ(serialbuf_process_rec_strings(l.r.get(), (unsigned char)c), 0);
}

TEST(SerialbufWatcher, CarrierLostTextWhileConnectedDropsTheRest) {
  Link l;
  l.modem("BUSY", "NO CARRIER");
  l.sp.send("dataNO NO CARRIERmore");
  EXPECT_EQ(l.read_n(4), "data");
  unsigned char c;
  int rc = 0;
  int n = 0;
  while ((rc = serialbuf_get_byte(l.r.get(), &c, 0)) == 0) ++n;
  EXPECT_EQ(rc, 4);
  EXPECT_EQ(n, 12);
  EXPECT_EQ(c, 'R');
  EXPECT_EQ(l.r->state, SERIALBUF_OPEN);
  EXPECT_EQ(l.r->ptr, 0);
  EXPECT_EQ(l.r->occupied, 0);
  EXPECT_EQ(l.r->next_bad, -1);
  EXPECT_EQ(serialbuf_get_byte(l.r.get(), &c, 0), 4);
  std::string log = take_registered();
  EXPECT_NE(log.find("serialbuf_process_rec_strings: no carrier detected.\n"), std::string::npos);
  EXPECT_NE(log.find("serialbuf_get_byte: not connected.\n"), std::string::npos);

  // During the modem steps of a connect only the busy text counts.
  Link d;
  d.modem("BUSY", "NO CARRIER");
  d.r->state = SERIALBUF_OPEN;
  d.r->connecting = 1;
  d.sp.send("NO CARRIER BUSY");
  int last = 0;
  for (int i = 0; i < 15; ++i) last = serialbuf_get_byte(d.r.get(), &c, 0);
  EXPECT_EQ(last, 5);
  EXPECT_EQ(d.r->state, SERIALBUF_OPEN);
}

TEST(SerialbufEcho, DumpAndRawCopyToStandardOutput) {
  const unsigned char bytes[] = {'a', 'b', '\r', '\n', '\t', '\b', 0x01, 0xC0, '~'};
  const std::string data((const char *)bytes, sizeof bytes);
  const struct {
    int mode;
    std::string out;
  } cases[] = {
      {1, "reading 9 bytes: ab\\r\\n\\t\\b~\n"},
      {2, "ab\r\n\t\b~"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.mode);
    Link l;
    l.r->rverbose = c.mode;
    testing::internal::CaptureStdout();
    EXPECT_EQ(serialbuf_write(l.r.get(), data.data(), (int)data.size()), 9);
    std::string written = testing::internal::GetCapturedStdout();
    EXPECT_EQ(l.sp.recv(9, 5), data);
    l.sp.send(data);
    testing::internal::CaptureStdout();
    EXPECT_EQ(l.read_n(9), data);
    std::string read = testing::internal::GetCapturedStdout();
    EXPECT_EQ(written, c.out);
    EXPECT_EQ(read, c.out);
  }
}

TEST(SerialbufEcho, TextLinesByDirection) {
  const std::string hundred(100, 'x');
  const struct {
    const char *name;
    int mode;
    bool reading;
    std::vector<std::string> chunks;
    std::vector<std::string> lines;
    std::string rest;  // what stays in the line buffer
  } cases[] = {
      {"read lines", 3, true, {"hello\r\nwor", "ld\n\n"}, {"hello", "world"}, ""},
      {"written lines", 4, false, {"ATZ\r", "AT\tE0\r\n"}, {"ATZ", "AT\tE0"}, ""},
      {"mode 3 ignores writes", 3, false, {"ATZ\r"}, {}, ""},
      {"mode 4 ignores reads", 4, true, {"OK\r\n"}, {}, ""},
      {"control byte dropped in a short line",
       3,
       true,
       {"ab\x01"
        "cd"},
       {},
       "abcd"},
      {"control byte ends a long line",
       3,
       true,
       {hundred + "\x1b"
                  "y"},
       {hundred},
       "y"},
      {"bytes above 0x7e are control bytes",
       3,
       true,
       {"a\xe9"
        "b\r"},
       {"ab"},
       ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l;
    l.r->rverbose = c.mode;
    for (const auto &chunk : c.chunks) {
      if (c.reading) {
        l.sp.send(chunk);
        EXPECT_EQ(l.read_n(chunk.size()), chunk);
      } else {
        EXPECT_EQ(serialbuf_write(l.r.get(), chunk.data(), (int)chunk.size()), (int)chunk.size());
      }
    }
    std::vector<std::string> got;
    for (const auto &[code, text] : l.rec.lines) {
      EXPECT_EQ(code, c.reading ? 1 : 2);
      got.push_back(text);
    }
    EXPECT_EQ(got, c.lines);
    EXPECT_EQ(std::string(l.r->line), c.rest);
  }
}

TEST(SerialbufEcho, ALineThatNeverEndsIsPassedOnInPieces) {
  Link l(1000, 8192);
  l.r->rverbose = 3;
  std::string chatter(10000, 'k');
  l.sp.send(chatter);
  EXPECT_EQ(l.read_n(chatter.size()), chatter);
  ASSERT_EQ(l.rec.lines.size(), 2u);
  EXPECT_EQ(l.rec.lines[0].second.size(), (size_t)SERIALBUF_LINE_MAX);
  EXPECT_EQ(l.rec.lines[1].second.size(), (size_t)SERIALBUF_LINE_MAX);
  EXPECT_EQ(strlen(l.r->line), 10000u - 2 * SERIALBUF_LINE_MAX);
  EXPECT_LE(l.r->line_size, SERIALBUF_LINE_MAX + 2);
}

TEST(SerialbufEcho, HexLinesOfSixteenBytesOrEndingAfterC0) {
  Link l;
  l.r->rverbose = 5;
  std::string data;
  for (int i = 0; i < 20; ++i) data += (char)i;
  data += "\xc0\x01";
  l.sp.send(data);
  EXPECT_EQ(l.read_n(data.size()), data);
  std::vector<std::string> got;
  for (const auto &[code, text] : l.rec.lines) {
    EXPECT_EQ(code, 1);
    got.push_back(text);
  }
  EXPECT_EQ(got, (std::vector<std::string>{
                     "00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ",
                     "10 11 12 13 C0 ",
                     "01 ",
                 }));
  // Writes are not shown in hex.
  l.rec.lines.clear();
  EXPECT_EQ(serialbuf_write(l.r.get(), "ab", 2), 2);
  EXPECT_TRUE(l.rec.lines.empty());
}

TEST(SerialbufWrite, CountsBytesAndSurvivesAPeerThatLeft) {
  Link l;
  EXPECT_EQ(serialbuf_write(l.r.get(), "hello", 5), 5);
  EXPECT_EQ(l.sp.recv(5, 5), "hello");
  l.sp.send("abc");
  EXPECT_EQ(l.read_n(3), "abc");
  EXPECT_EQ(l.rec.written_bytes, 5);
  EXPECT_EQ(l.rec.read_bytes, 3);
  char buf[8];
  l.sp.send("xy");
  EXPECT_EQ(serialbuf_read(l.r.get(), buf, sizeof buf), 2);
  EXPECT_EQ(l.rec.read_bytes, 5);

  // A write to a connection whose peer is gone is an error result, not a signal that
  // ends the program.
  l.sp.close_far();
  int rc = 0;
  for (int i = 0; i < 3 && rc >= 0; ++i) rc = serialbuf_write(l.r.get(), "more", 4);
  EXPECT_LT(rc, 0);
}

TEST(SerialbufWrite, SerialLineOverAPseudoTerminal) {
  ClockScale fast(0.01);
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Record s(serialbuf_create_serial(pty.path.c_str(), 115200, 0, 64, 2000, 0, 1000, 2, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_connect(s.get(), 0, ""), 0) << take_registered();
  // No output processing: a newline goes out as it is.
  EXPECT_EQ(serialbuf_write(s.get(), "AT\r\n", 4), 4);
  EXPECT_EQ(pty.recv(4, 5), "AT\r\n");
  pty.send("OK\r\n");
  std::string got;
  unsigned char c;
  for (int i = 0; i < 4 && serialbuf_get_byte(s.get(), &c, 0) == 0; ++i) got += (char)c;
  EXPECT_EQ(got, "OK\r\n");
}

TEST(SerialbufPutback, BytesComeBackFirstAndWhatDoesNotFitIsRefused) {
  Link l(1000, 8);
  l.sp.send("abcdef");
  EXPECT_EQ(l.read_n(3), "abc");
  const unsigned char xyz[] = {'x', 'y', 'z'};
  // Into the part already handed out.
  ASSERT_EQ(serialbuf_putback_bytes(l.r.get(), xyz, 3), 0);
  EXPECT_EQ(l.read_n(4), "xyzd");
  // More than was handed out: the unread input moves up.
  const unsigned char many[] = {'1', '2', '3', '4', '5', '6'};
  ASSERT_EQ(serialbuf_putback_bytes(l.r.get(), many, 6), 0);
  EXPECT_EQ(l.read_n(8), "123456ef");
  // A putback onto an empty buffer, then one too many for the buffer's size + 20.
  std::vector<unsigned char> full(28, 'p');
  ASSERT_EQ(serialbuf_putback_bytes(l.r.get(), full.data(), 27), 0);
  EXPECT_EQ(serialbuf_putback_bytes(l.r.get(), full.data(), 2), -1);
  EXPECT_NE(take_registered().find("serialbuf_putback_bytes: no room"), std::string::npos);
  EXPECT_EQ(l.read_n(27), std::string(27, 'p'));
  // Put-back bytes pass the watcher again.
  l.modem("BUSY", nullptr);
  const unsigned char busy[] = {'B', 'U', 'S', 'Y'};
  ASSERT_EQ(serialbuf_putback_bytes(l.r.get(), busy, 4), 0);
  unsigned char c;
  int rc = 0;
  for (int i = 0; i < 4; ++i) rc = serialbuf_get_byte(l.r.get(), &c, 0);
  EXPECT_EQ(rc, 5);
}

}  // namespace
