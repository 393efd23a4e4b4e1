// Tests of muldrin's output queue and writer against a real ring file.
#include "muldrin_write.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "muldrin_run.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbwrite.h"
#include "testkit/testkit.h"

namespace {

struct Got {
  std::string srcname;
  double time;
  std::string bytes;
};

class WriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("r.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 20), 0);
    tag_.orbw = orbopen(path_.c_str(), "w");
    reader_ = orbopen(path_.c_str(), "r");
    ASSERT_GE(tag_.orbw, 0);
    ASSERT_GE(reader_, 0);
    m_.target_name = const_cast<char *>("TA");
    m_.log_srcname = const_cast<char *>("TA_prog/log");
    m_.status_srcname = const_cast<char *>("TA_prog/pf/st");
    m_.log = m_.status = m_.db = &tag_;
    m_.pendingstashrequest = 0;  // the program stash has its own tests
    ASSERT_EQ(muldrin_write_setup(&m_), 0);
  }
  void TearDown() override {
    muldrin_write_teardown(&m_);
    orbclose(reader_);
    orbclose(tag_.orbw);
    orbfault_reset();
  }
  std::vector<Got> reap() {
    std::vector<Got> got;
    char *buf = nullptr;
    int bufsize = 0, nbytes = 0, id = 0;
    char src[ORBSRCNAME_SIZE];
    double t = 0;
    while (orbreap_nd(reader_, &id, src, &t, &buf, &nbytes, &bufsize) == 0)
      got.push_back({src, t, std::string(buf != nullptr ? buf : "", nbytes)});
    free(buf);
    return got;
  }
  void run_writer_until_drained() {
    m_.kill = MULDRIN_KILL_STOP;
    pthread_t thr;
    ASSERT_EQ(pthread_create(&thr, nullptr, run_write_thread, nullptr), 0);
    pthread_join(thr, nullptr);
    EXPECT_EQ(m_.kill.load(), MULDRIN_KILL_ENDED);
  }
  static std::string logtext(const Got &g) { return g.bytes.substr(8, g.bytes.size() - 9); }

  TempDir dir_;
  std::string path_;
  Orbtag tag_;
  int reader_ = -1;
  Muldrin m_;
  ClockScale scale_{0.001};
};

TEST(Log2OrbPkt, TwentyCharactersGiveTwentyNineBytes) {
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  ASSERT_EQ(log2orbpkt("abcdefghijklmnopqrst", &buf, &nbytes, &bufsize), 0);
  ASSERT_EQ(nbytes, 29);
  EXPECT_GE(bufsize, 30);
  const unsigned char head[] = {0x00, 0x08, 0x00, 0x1D, 0x71, 0x6C, 0x71, 0x6C};
  EXPECT_EQ(memcmp(buf, head, 8), 0);
  EXPECT_EQ(std::string(buf + 8), "abcdefghijklmnopqrst");
  EXPECT_EQ(buf[28], '\0');
  // A shorter text reuses the buffer.
  char *before = buf;
  ASSERT_EQ(log2orbpkt("x", &buf, &nbytes, &bufsize), 0);
  EXPECT_EQ(buf, before);
  EXPECT_EQ(nbytes, 10);
  free(buf);
}

TEST_F(WriteTest, QueryAndBackPressure) {
  m_.mtfifo_write_queue = 0;
  for (int i = 0; i < 5; i++) myout_callback(nullptr, Q330_OUT_LOG, strdup("x"), 0);
  EXPECT_EQ(myout_callback(nullptr, Q330_OUT_QUERY, nullptr, 0), 0);  // limit 0: never busy
  m_.mtfifo_write_queue = 5;
  EXPECT_EQ(myout_callback(nullptr, Q330_OUT_QUERY, nullptr, 0), 0);  // 5 is not above 5
  myout_callback(nullptr, Q330_OUT_LOG, strdup("x"), 0);
  EXPECT_EQ(myout_callback(nullptr, Q330_OUT_QUERY, nullptr, 0), Q330_OUT_BUSY);
  // A data item without payload is never queued.
  EXPECT_EQ(myout_callback(nullptr, Q330_OUT_DATA, nullptr, 10), 0);
  EXPECT_EQ(pmtfifo_data_available(m_.mtfifo_write), 6);
}

// Producers wait only for a queue over a limit above 0, and no longer once a stop is
// asked for: a limit below 0, or a queue that never drains, must not hold up the start or
// the shutdown.
TEST_F(WriteTest, BackPressureEndsWithTheStopRequest) {
  struct Case {
    int limit;
    bool halted;
    int busy;
  } cases[] = {
      {5, false, Q330_OUT_BUSY},
      {5, true, 0},
      {-1, false, 0},
      {0, false, 0},
  };
  for (int i = 0; i < 6; i++) myout_callback(nullptr, Q330_OUT_LOG, strdup("x"), 0);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.limit);
    SCOPED_TRACE(c.halted);
    m_.mtfifo_write_queue = c.limit;
    myshutdown = c.halted ? 1 : 0;
    EXPECT_EQ(myout_callback(nullptr, Q330_OUT_QUERY, nullptr, 0), c.busy);
    if (c.busy == 0) {
      // The program's own producer queues at once.
      int before = pmtfifo_data_available(m_.mtfifo_write);
      muldrin_output(Q330_OUT_LOG, "no wait\n");
      EXPECT_EQ(pmtfifo_data_available(m_.mtfifo_write), before + 1);
    }
  }
  myshutdown = 0;
}

TEST_F(WriteTest, UrgentItemsOvertakeDataInOrderAndAllQueuedReachTheRing) {
  // Lines of letters: each one a shape of its own, so the flood gate passes them all.
  auto d = [](int i) { return std::string("d") + (char)('a' + i); };
  for (int i = 0; i < 20; i++) myout_callback(nullptr, Q330_OUT_LOG, strdup(d(i).c_str()), 0);
  for (int i = 0; i < 3; i++)
    myout_callback(nullptr, Q330_OUT_STDOUT, strdup(("u" + std::to_string(i)).c_str()), 0);
  run_writer_until_drained();
  auto got = reap();
  ASSERT_EQ(got.size(), 23u);
  EXPECT_EQ(logtext(got[0]), "u0");
  EXPECT_EQ(logtext(got[1]), "u1");
  EXPECT_EQ(logtext(got[2]), "u2");
  for (int i = 0; i < 20; i++) EXPECT_EQ(logtext(got[3 + i]), d(i));
  for (auto &g : got) EXPECT_EQ(g.srcname, "TA_prog/log");
}

TEST_F(WriteTest, StdoutLogsWithoutTimeStampAndWritesWholeText) {
  ElogCapture cap;
  muldrin_output(Q330_OUT_STDOUT, "hello %d\n", 7);
  q330_write(nullptr, Q330_OUT_STDOUT, strdup("noblank"), 0);
  run_writer_until_drained();
  EXPECT_TRUE(cap.contains("TA: hello 7")) << cap.text();
  EXPECT_FALSE(cap.contains(".")) << cap.text();  // the time stamp's fraction is gone
  EXPECT_TRUE(cap.contains("noblank"));
  auto got = reap();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(logtext(got[0]), "noblank");
  const std::string whole = logtext(got[1]);
  EXPECT_NE(whole.find(": TA: hello 7"), std::string::npos) << whole;
  EXPECT_EQ(whole.back(), '7');  // the trailing newline is removed
}

TEST_F(WriteTest, TimePacketUnderLogSourceOfTheSession) {
  Q330 q;
  q.out_srcname_log = const_cast<char *>("TA_SIM1/log");
  double t = 1.5e9 + 0.25;
  auto *p = static_cast<double *>(malloc(sizeof(double)));
  *p = t;
  ASSERT_EQ(q330_write(&q, Q330_OUT_TIME, p, 0), 0);
  q.out_srcname_log = nullptr;
  auto got = reap();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].srcname, "TA_SIM1/log/time");
  EXPECT_DOUBLE_EQ(got[0].time, t);
  EXPECT_EQ(logtext(got[0]).rfind("1500000000.250000 ", 0), 0u) << logtext(got[0]);
}

TEST_F(WriteTest, MissingOrbtagsDropSilently) {
  m_.log = m_.status = m_.db = nullptr;
  ElogCapture cap;
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("a 1\n", &pf), 0);
  auto *tm = static_cast<double *>(malloc(sizeof(double)));
  *tm = 1;
  EXPECT_EQ(q330_write(nullptr, Q330_OUT_LOG, strdup("x"), 0), 0);
  EXPECT_EQ(q330_write(nullptr, Q330_OUT_TIME, tm, 0), 0);
  EXPECT_EQ(q330_write(nullptr, Q330_OUT_STATUS, pf, 0), 0);
  const char row[] = "site\0row text";
  void *r = malloc(sizeof row);
  memcpy(r, row, sizeof row);
  EXPECT_EQ(q330_write(nullptr, Q330_OUT_DB, r, sizeof row), 0);
  EXPECT_TRUE(reap().empty());
  EXPECT_EQ(cap.text(), "");
}

TEST_F(WriteTest, StatusAndRowPacketsDecodeBack) {
  muldrin_output(Q330_OUT_STATUS, "dls &Arr{\nx 1\n}\n");
  const char row[] = "site\0  TA  SIM1 row";
  void *r = malloc(sizeof row);
  memcpy(r, row, sizeof row);
  myout_callback(nullptr, Q330_OUT_DB, r, sizeof row);
  run_writer_until_drained();
  auto got = reap();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].srcname, "TA_prog/pf/st");
  Packet *pkt = nullptr;
  ASSERT_EQ(unstuffPkt(got[0].srcname.c_str(), got[0].time, got[0].bytes.data(),
                       static_cast<int>(got[0].bytes.size()), &pkt),
            Pkt_pf);
  Pf *dls = nullptr;
  ASSERT_EQ(pfget(pkt->pf, "dls", reinterpret_cast<void **>(&dls)), PFARR);
  EXPECT_STREQ(pfget_string(dls, "x"), "1");
  freePkt(pkt);
  pkt = nullptr;
  EXPECT_EQ(got[1].srcname, "/db/site");
  ASSERT_EQ(unstuffPkt(got[1].srcname.c_str(), got[1].time, got[1].bytes.data(),
                       static_cast<int>(got[1].bytes.size()), &pkt),
            Pkt_db);
  EXPECT_STREQ(pkt->db.table, "site");
  EXPECT_STREQ(pkt->db.row, "  TA  SIM1 row");
  freePkt(pkt);
}

// Log packets wait for the ring: retried until it takes them, with a complaint a minute
// (not one a try); only a shutdown's drain limit, or a ring cut under a shutdown, ends
// the retry.
TEST_F(WriteTest, RefusedLogPacketsAreRetriedUntilTheRingTakesThem) {
  struct Case {
    const char *what;
    int refusals;      // puts refused before the ring takes them again
    bool stopping;     // the writer was told to stop
    bool cut;          // the ring file is cut shorter first
    bool written;      // the packet reaches the ring
    size_t max_lines;  // complaints and notices logged at most
  } cases[] = {
      {"a short refusal", 3, false, false, true, 2},
      // Pauses grow to 1 s: 400 refusals are about 6.5 minutes of refusals, told once
      // at the start, once a minute after it and once at the end.
      {"minutes of refusals", 400, false, false, true, 9},
      {"refused for good while stopping", 1 << 30, true, false, false, 4},
      {"a ring cut under a shutdown", 0, true, true, false, 4},
  };
  // The pauses move the clock on by their length: the stall lasts as long in clock time
  // however fast the machine runs the retries.
  DrivenClock clock(1.7e9);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    m_.kill = c.stopping ? MULDRIN_KILL_STOP : MULDRIN_KILL_RUN;
    if (c.cut) {
      ASSERT_EQ(truncate(path_.c_str(), 4096), 0);
    }
    orbfault_fail(ORBFAULT_PUT, c.refusals);
    ElogCapture cap;
    double start = clock_monotonic();
    EXPECT_EQ(q330_write(nullptr, Q330_OUT_LOG, strdup("late"), 0), 0);
    double took = clock_monotonic() - start;
    orbfault_fail(ORBFAULT_PUT, 0);
    EXPECT_LE(cap.lines().size(), c.max_lines) << cap.text();
    EXPECT_TRUE(cap.contains(c.cut ? "ring file '" + path_ + "' is shorter"
                                   : std::string("srcname TA_prog/log")))
        << cap.text();
    if (c.cut) {
      EXPECT_LT(took, MULDRIN_WRITE_DRAIN / 2);  // at once, not after the drain limit
      break;                                     // the ring is refused from now on
    }
    if (c.stopping) {
      EXPECT_GE(took, MULDRIN_WRITE_DRAIN);
    }
    auto got = reap();
    ASSERT_EQ(got.size(), c.written ? 1u : 0u);
    if (c.written) {
      EXPECT_EQ(logtext(got[0]), "late");
    }
  }
  m_.kill = MULDRIN_KILL_RUN;
}

// While a log packet waits for a ring that has refused everything for longer than the
// limit, the waveform data queued behind it is dropped and counted; the log lines
// queued with it are kept and written, in order, once the ring takes packets again.
TEST_F(WriteTest, AStalledRingDropsQueuedWaveformDataButKeepsLogLines) {
  orbwrite_default()->drop_after = 1.0;
  for (int i = 0; i < 50; i++) {
    char *bytes = static_cast<char *>(calloc(1, 16));
    myout_callback(nullptr, Q330_OUT_DATA, bytes, 16);
    free(bytes);
    if (i == 20) myout_callback(nullptr, Q330_OUT_LOG, strdup("kept 1"), 0);
  }
  myout_callback(nullptr, Q330_OUT_LOG, strdup("kept 2"), 0);
  m_.kill = MULDRIN_KILL_STOP;  // the drain limit ends the retry of the waiting packet
  orbfault_fail(ORBFAULT_PUT, 1 << 30);
  {
    DrivenClock clock(1.7e9);  // the stall passes the 1 s before the drain limit ends it
    ElogCapture cap;
    EXPECT_EQ(q330_write(nullptr, Q330_OUT_LOG, strdup("waiting"), 0), 0);
    EXPECT_TRUE(cap.contains("50 waveform packets dropped")) << cap.text();
  }
  orbfault_fail(ORBFAULT_PUT, 0);
  EXPECT_EQ(pmtfifo_data_available(m_.mtfifo_write), 0);
  run_writer_until_drained();
  auto got = reap();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(logtext(got[0]), "kept 1");
  EXPECT_EQ(logtext(got[1]), "kept 2");
  orbwrite_default()->drop_after = 60.0;
}

// A flood of one log line from one source gives the burst, then its count.
TEST_F(WriteTest, ALogFloodGivesABurstAndOneRepeatLine) {
  DrivenClock clock(1.7e9);  // the flood comes within one minute, however slow the machine
  for (int i = 0; i < 10000; i++) {
    myout_callback(nullptr, Q330_OUT_LOG, strdup("2026345 02:10:00.000: TA: bad CRC from x"), 0);
    if (i == 5000)
      myout_callback(nullptr, Q330_OUT_LOG, strdup("2026345 02:10:00.000: TA: other"), 0);
  }
  run_writer_until_drained();
  auto got = reap();
  ASSERT_EQ(got.size(), (size_t)ELOG_FLOOD_BURST + 2);
  EXPECT_EQ(logtext(got[ELOG_FLOOD_BURST]), "2026345 02:10:00.000: TA: other");
  const std::string repeat = logtext(got.back());
  EXPECT_NE(repeat.find(": TA: bad CRC from x (repeated " +
                        std::to_string(10000 - ELOG_FLOOD_BURST) + " times)"),
            std::string::npos)
      << repeat;
  EXPECT_EQ(got.back().srcname, "TA_prog/log");
}

TEST(MyPf2String, ListsArraysAndStrings) {
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("l &Tbl{\na\nb\n}\ns v\n", &pf), 0);
  char *text = my_pf2string(pf);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "l &Tbl{\na\nb\n}\ns v\n");
  free(text);
  pffree(pf);
}

TEST(Q330Outtype, NamesAndUnknown) {
  char s[64];
  const std::pair<int, const char *> cases[] = {{3, "Q330_OUT_STDOUT"},
                                                {16, "Q330_OUT_DB"},
                                                {9, "Unknown"},
                                                {99, "Unknown"},
                                                {-1, "Unknown"}};
  for (auto &[type, name] : cases) {
    q330_outtype(type, s);
    EXPECT_STREQ(s, name) << type;
  }
}

}  // namespace

// A flood of log lines whose numbers vary, from one source, within a minute of the
// driven clock: the burst of their shape, other lines up to the source's budget, and the
// summary of what was held back once the minute is over; debug lines the operator turned
// on all pass; control characters reach the ring escaped.
TEST_F(WriteTest, AFloodOfVaryingLinesStaysWithinTheSourceBudget) {
  struct Case {
    const char *what;
    const char *format;  // with one number, or none: words of letters
    int lines;
    size_t packets;    // log packets in the ring once the writer stopped
    const char *last;  // in the last of them: the line that counts what was held back
  } cases[] = {
      {"numbers vary", "2026345 02:10:00.000: TA: bad CRC seq %d from x", 10000,
       ELOG_FLOOD_BURST + 1, "TA: bad CRC seq 9999 from x (repeated 9994 times)"},
      {"every line a new shape", nullptr, 26 * 26, ELOG_FLOOD_SOURCE_LINES + 1,
       "flood gate: 586 lines of TA_prog/log held back"},
      {"debug lines", "2026345 02:10:00.000: TA: DEBUGD: popped seq=%d", 3000, 3000,
       "DEBUGD: popped seq=2999"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    elog_flood_reset_all();
    DrivenClock clock(1.7e9);
    for (int i = 0; i < c.lines; i++) {
      char line[128];
      if (c.format == nullptr) {
        snprintf(line, sizeof line, "2026345 02:10:00.000: TA: unknown word %c%c", 'a' + i % 26,
                 'a' + i / 26);
      } else {
        snprintf(line, sizeof line, c.format, i);
      }
      myout_callback(nullptr, Q330_OUT_LOG, strdup(line), 0);
    }
    run_writer_until_drained();
    auto got = reap();
    ASSERT_EQ(got.size(), c.packets);
    EXPECT_NE(logtext(got.back()).find(c.last), std::string::npos) << logtext(got.back());
  }
  elog_flood_reset_all();
  myout_callback(nullptr, Q330_OUT_LOG, strdup("2026345 02:10:00.000: TA: name A\x1b[2J\rB"), 0);
  run_writer_until_drained();
  auto got = reap();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(logtext(got[0]), "2026345 02:10:00.000: TA: name A\\x1b[2J\\rB");
}
