// The block transaction engine against the simulated datalogger: retries and their
// limits, sequence numbers, stream packets mid-transaction, multi-packet listings and
// files, acknowledgement failures and listening mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "altuscomsubs_getblock.h"
#include "altussim_block.h"
#include "base/clock.h"
#include "bytestream/fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Fault;
using altussim::Script;
using altussim::Sim;

namespace {

// The engine's record connected to the simulator over loopback TCP (or a pty).
struct Rig {
  Recorder rec;
  Sim sim;
  Record buf;
  unsigned char seq = 10;
  explicit Rig(int timeout_ms = 300, int tries = 3) {
    int port = sim.listen_tcp();
    sim.start();
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 8192, timeout_ms, timeout_ms, tries,
                                         nullptr, nullptr, Recorder::log, &rec, nullptr, nullptr,
                                         nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
  }
  int run(int command, void *data, void **out = nullptr, int *outsize = nullptr, int size = 0) {
    return get_block(buf.get(), command, data, &seq, out, outsize, size, nullptr, nullptr);
  }
  size_t sent(int command) {
    size_t n = 0;
    for (auto &c : sim.commands()) n += c.first == command;
    return n;
  }
};

// A stream handler that keeps what it is given.
struct Handler {
  std::mutex mutex;
  std::vector<std::pair<int, int>> got;  // (kind, nsamp or code)
  StrdataCallback cb{call, this};
  static int call(void *record, int kind, void *user, int) {
    auto *h = static_cast<Handler *>(user);
    int v = kind == 9 ? (int)static_cast<AltusStrNak *>(record)->code
                      : static_cast<AltusBlockStrdata *>(record)->nsamp;
    std::lock_guard<std::mutex> l(h->mutex);
    h->got.emplace_back(kind, v);
    free(record);
    return 0;
  }
};

TEST(AltusGetBlock, RetryLimits) {
  {
    SCOPED_TRACE("PING gives up after one send");
    Rig r;
    r.sim.add_fault({PKC_PING, 0, Fault::DROP});
    ElogCapture log;
    EXPECT_EQ(r.run(PKC_PING, (void *)"hello"), 2);
    EXPECT_TRUE(log.contains("get_block: Exceeded maximum number of read timeouts."));
    EXPECT_EQ(r.sent(PKC_PING), 1u);
    EXPECT_EQ(r.seq, 10);
  }
  {
    SCOPED_TRACE("tries 3 sends three times");
    Rig r;
    r.sim.add_fault({PKC_GETSTATUS, 0, Fault::DROP});
    ElogCapture log;
    EXPECT_EQ(r.run(PKC_GETSTATUS, nullptr), 2);
    EXPECT_EQ(r.sent(PKC_GETSTATUS), 3u);
  }
  {
    SCOPED_TRACE("a bad header sum is re-sent and then answered");
    Rig r;
    r.sim.add_fault({PKC_GETSTATUS, 1, Fault::BAD_HEADER_SUM});
    ElogCapture log;
    void *out = nullptr;
    int size = 0;
    EXPECT_EQ(r.run(PKC_GETSTATUS, nullptr, &out, &size), 0);
    EXPECT_TRUE(log.contains("get_block: header checksum error...Retrying command."));
    EXPECT_EQ(r.sent(PKC_GETSTATUS), 2u);
    EXPECT_EQ(r.buf->errors, 1);
    free(out);
  }
  {
    SCOPED_TRACE("noise, runs of 0xC0 and a stale stream-control ack are skipped");
    Rig r;
    r.sim.push_raw({'n', 'o', 'i', 's', 'e', 0xC0, 0xC0, 0xC0});
    r.sim.add_fault({PKC_TRIGGER, 1, Fault::STALE_STRCTRL_ACK});
    r.sim.set_chunked(true);
    EXPECT_EQ(r.run(PKC_TRIGGER, nullptr), 0);
    EXPECT_EQ(r.sent(PKC_TRIGGER), 1u);
    EXPECT_EQ(r.seq, 11);
  }
}

TEST(AltusGetBlock, WrongSequenceSkippedWithoutResend) {
  Rig r;
  r.sim.add_fault({PKC_GETSTATUS, 1, Fault::WRONG_SEQ});
  ElogCapture log;
  void *out = nullptr;
  int size = 0;
  EXPECT_EQ(r.run(PKC_GETSTATUS, nullptr, &out, &size), 0);
  EXPECT_TRUE(log.contains("get_block: sequence number mismatch - expect 10 got 11 PKR_STATUS"));
  EXPECT_EQ(r.sent(PKC_GETSTATUS), 1u);
  EXPECT_EQ(r.buf->errors, 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(r.seq, 11);
  free(out);
  // PING allows no retry: the first mismatch ends it.
  r.sim.add_fault({PKC_PING, 1, Fault::WRONG_SEQ});
  EXPECT_EQ(r.run(PKC_PING, (void *)"abc", &out, &size), -1);
  EXPECT_TRUE(log.contains("get_block: Exceeded maximum number of sequence mismatches."));
}

TEST(AltusGetBlock, StreamPacketDuringStatusReachesTheHandler) {
  Rig r;
  Handler h;
  r.buf->userdata = &h.cb;
  r.sim.push_unsolicited(PKR_STRDATA, altussim::strdata_payload(1, 0, 5, 100, 0, {32, 42, -8}));
  r.sim.push_unsolicited(PKR_MSG, {'h', 'i', 0});
  r.sim.push_unsolicited(PKR_ALARM, {0xDE, 0xAD, 0xBE, 0xEF});
  void *out = nullptr;
  int size = 0;
  ASSERT_EQ(r.run(PKC_GETSTATUS, nullptr, &out, &size), 0);
  ASSERT_EQ(size, (int)sizeof(AltusBlockStatus));
  EXPECT_EQ(std::string(static_cast<AltusBlockStatus *>(out)->stnID, 5), "SIM01");
  free(out);
  ASSERT_EQ(h.got.size(), 1u);
  EXPECT_EQ(h.got[0], std::make_pair(12, 3));
  bool msg = false, alarm = false;
  for (auto &l : r.rec.lines) {
    msg |= l.first == 3 && l.second == "hi";
    alarm |= l.first == 4 && l.second == "0xDEADBEEF";
  }
  EXPECT_TRUE(msg);
  EXPECT_TRUE(alarm);
  EXPECT_EQ(r.seq, 11);
}

Bytes entries(int n, int first) {
  Bytes b;
  for (int i = 0; i < n; i++) {
    Bytes e = altussim::direntry("F" + std::to_string(first + i), "EVT", 100, 0, 0);
    b.insert(b.end(), e.begin(), e.end());
  }
  return b;
}

TEST(AltusGetBlock, DirectoryListings) {
  {
    SCOPED_TRACE("10, 10 and 5 entries");
    Rig r;
    r.sim.set_script(PKC_GETDIR,
                     Script{PKR_DIR, {entries(10, 0), entries(10, 10), entries(5, 20)}, {}});
    void *out = nullptr;
    int size = 0;
    ASSERT_EQ(r.run(PKC_GETDIR, nullptr, &out, &size), 0);
    ASSERT_EQ(size, 25 * (int)sizeof(AltusBlockDirentry));
    auto *d = static_cast<AltusBlockDirentry *>(out);
    EXPECT_STREQ(d[0].name, "F0");
    EXPECT_STREQ(d[24].name, "F24");
    EXPECT_STREQ(d[24].ext, "EVT");
    EXPECT_EQ(r.seq, 13);
    EXPECT_EQ(r.sent(PKC_GETDIR), 3u);
    free(out);
  }
  {
    SCOPED_TRACE("exactly 10 needs an empty packet");
    Rig r;
    r.sim.set_script(PKC_GETDIR, Script{PKR_DIR, {entries(10, 0), {}}, {}});
    void *out = nullptr;
    int size = 0;
    ASSERT_EQ(r.run(PKC_GETDIR, nullptr, &out, &size), 0);
    EXPECT_EQ(size, 10 * (int)sizeof(AltusBlockDirentry));
    EXPECT_EQ(r.sent(PKC_GETDIR), 2u);
    EXPECT_EQ(r.seq, 12);
    free(out);
  }
}

// Wall time runs ahead by whatever the simulator sleeps, at once; the monotonic clock of
// the byte stream's waits stays the real one.
struct JumpClock {
  std::atomic<int> offset{0};
  ClockDriver d{};
  JumpClock() {
    d.now = [](void *u) {
      auto t = std::chrono::system_clock::now().time_since_epoch();
      return std::chrono::duration<double>(t).count() + static_cast<JumpClock *>(u)->offset.load();
    };
    d.monotonic = [](void *) {
      auto t = std::chrono::steady_clock::now().time_since_epoch();
      return std::chrono::duration<double>(t).count();
    };
    d.sleep = [](double s, void *u) { static_cast<JumpClock *>(u)->offset += (int)s; };
    d.user = this;
    clock_set_driver(&d);
  }
  ~JumpClock() { clock_set_driver(nullptr); }
};

TEST(AltusGetBlock, FileTransfers) {
  Bytes a(300, 'a'), b(300, 'b'), c(100, 'c');
  {
    SCOPED_TRACE("600 of 600 completes at once");
    Rig r;
    r.sim.set_script(PKC_GETFILE, Script{PKR_FILE, {a, b}, {}});
    void *out = nullptr;
    int size = 0;
    ASSERT_EQ(r.run(PKC_GETFILE, nullptr, &out, &size, -600), 0);
    EXPECT_EQ(size, 600);
    EXPECT_EQ(static_cast<unsigned char *>(out)[599], 'b');
    EXPECT_EQ(r.sent(PKC_GETFILE), 2u);
    EXPECT_EQ(r.seq, 12);
    free(out);
  }
  {
    SCOPED_TRACE("a sized file shows its progress in whole lines");
    Rig r;
    r.sim.set_script(PKC_GETFILE, Script{PKR_FILE, {a, b}, {}});
    void *out = nullptr;
    int size = 0;
    testing::internal::CaptureStdout();
    ASSERT_EQ(r.run(PKC_GETFILE, nullptr, &out, &size, 600), 0);
    std::string shown = testing::internal::GetCapturedStdout();
    EXPECT_EQ(size, 600);
    free(out);
    EXPECT_EQ(shown.find('\b'), std::string::npos) << shown;
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back(), '\n');
    EXPECT_NE(shown.find("get_block: GETFILE  50.0% of 600 bytes\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("get_block: GETFILE 100.0% of 600 bytes\n"), std::string::npos) << shown;
    EXPECT_EQ(std::count(shown.begin(), shown.end(), '\n'), 2) << shown;
  }
  {
    SCOPED_TRACE("size unknown: the short piece ends it");
    Rig r;
    r.sim.set_script(PKC_GETFILE, Script{PKR_FILE, {a, c}, {}});
    void *out = nullptr;
    int size = 0;
    ASSERT_EQ(r.run(PKC_GETFILE, nullptr, &out, &size, 0), 0);
    EXPECT_EQ(size, 400);
    free(out);
  }
}

TEST(AltusGetBlock, LateShortPieceTimesOut) {
  JumpClock jump;
  Rig r;
  r.sim.set_script(PKC_GETFILE, Script{PKR_FILE, {Bytes(300, 'a'), Bytes(10, 'z')}, {0, 11}});
  ElogCapture log;
  void *out = nullptr;
  int size = 0;
  EXPECT_EQ(r.run(PKC_GETFILE, nullptr, &out, &size, 0), 2);
  EXPECT_TRUE(log.contains("get_block: ALTUS timeout on GETFILE."));
  EXPECT_EQ(size, 310);
  free(out);
}

TEST(AltusGetBlock, AckFailureAndListening) {
  {
    Rig r;
    ElogCapture log;
    r.sim.set_script(PKC_DELETEFILE,
                     Script{128, {{6, 0, 'n', 'o', ' ', 'f', 'i', 'l', 'e', 0}}, {}});
    EXPECT_EQ(r.run(PKC_DELETEFILE, (void *)"X.EVT"), -1);
    EXPECT_TRUE(log.contains("get_block: command failed - no file."));
    EXPECT_EQ(r.seq, 10);
  }
  {
    SCOPED_TRACE("stream packets and refusals amid a command, no handler: freed");
    Rig r;
    r.sim.push_unsolicited(PKR_STRRQDATA, altussim::strdata_payload(1, 0, 5, 100, 0, {2, 4}));
    r.sim.push_unsolicited(PKR_STRDATA, altussim::strdata_payload(1, 0, 6, 100, 0, {2, 4, 6}));
    r.sim.push_unsolicited(PKR_STRNAK, {0, 2});
    // Unsolicited packets go out ahead of a reply: an unanswered ping brings them out.
    r.sim.add_fault({PKC_PING, 0, Fault::DROP});
    unsigned char seq = 0;
    ElogCapture log;
    EXPECT_EQ(
        get_block(r.buf.get(), PKC_PING, (void *)"x", &seq, nullptr, nullptr, 0, nullptr, nullptr),
        2);
    EXPECT_EQ(seq, 0);
  }
}

TEST(AltusGetBlock, Listening) {
  Rig r;
  ElogCapture log;
  ASSERT_EQ(r.run(PKC_PING, (void *)"up"), 0);  // the simulator has taken the connection
  unsigned char seq = 0;
  auto listen = [&](int command, void **out, int *size) {
    return get_block(r.buf.get(), command, nullptr, &seq, out, size, 0, nullptr, nullptr);
  };
  // 255 without a handler: the record is freed (the sanitizer would see a leak).
  r.sim.send_now(PKR_STRRQDATA, altussim::strdata_payload(1, 0, 5, 100, 0, {2, 4}));
  EXPECT_EQ(listen(255, nullptr, nullptr), 13);
  // 0: the record comes back.
  r.sim.send_now(PKR_STRDATA, altussim::strdata_payload(1, 0, 6, 100, 0, {2, 4, 6}));
  void *out = nullptr;
  int size = 0;
  ASSERT_EQ(listen(0, &out, &size), 12);
  ASSERT_EQ(size, (int)sizeof(AltusBlockStrdata));
  EXPECT_EQ(static_cast<AltusBlockStrdata *>(out)->nsamp, 3);
  EXPECT_EQ(static_cast<AltusBlockStrdata *>(out)->data[2], 6);
  free(out);
  // With a handler: refusals and stream data go to it.
  Handler h;
  r.buf->userdata = &h.cb;
  r.sim.send_now(PKR_STRNAK, {0, 2});
  EXPECT_EQ(listen(255, nullptr, nullptr), 9);
  r.sim.send_now(PKR_STRDATA, altussim::strdata_payload(1, 0, 7, 100, 0, {8}));
  EXPECT_EQ(listen(255, nullptr, nullptr), 12);
  ASSERT_EQ(h.got.size(), 2u);
  EXPECT_EQ(h.got[0], std::make_pair(9, 2));
  EXPECT_EQ(h.got[1], std::make_pair(12, 1));
  r.sim.send_now(PKR_MSG, {'m', 0});
  EXPECT_EQ(listen(255, nullptr, nullptr), 10);
  EXPECT_EQ(listen(255, nullptr, nullptr), 2);  // silence
  EXPECT_EQ(seq, 5);
  r.buf->userdata = nullptr;
}

TEST(AltusGetBlock, OverPseudoTerminal) {
  Pty pty;
  ASSERT_TRUE(pty.ok());
  Sim sim;
  sim.use_fd(pty.master);
  sim.start();
  Recorder rec;
  Record buf(serialbuf_create_serial(pty.path.c_str(), 9600, 0, 8192, 300, 300, 0, 3, nullptr,
                                     nullptr, Recorder::log, &rec, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
  unsigned char seq = 200;
  void *out = nullptr;
  int size = 0;
  ASSERT_EQ(get_block(buf.get(), PKC_EXTSTATUS, nullptr, &seq, &out, &size, 0, nullptr, nullptr),
            0);
  EXPECT_EQ(static_cast<AltusBlockEXTStatus *>(out)->temperature, 25);
  EXPECT_EQ(seq, 201);
  free(out);
  sim.stop();
}

}  // namespace
