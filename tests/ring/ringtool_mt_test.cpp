#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringtool.h"
#include "ringtool_run.h"
#include "testkit/testkit.h"

namespace {

class RingTool : public ::testing::Test {
 protected:
  void SetUp() override { path = dir.file("ring"); }
  void TearDown() override { elog_clear_register(0); }
  TempDir dir;
  std::string path;
};

TEST_F(RingTool, HelpGoesToStandardOutput) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"follow", "-h"}}) {
    ToolRun r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: ringtool create [-s size] ring"), std::string::npos);
    EXPECT_NE(r.out.find("-s BHZ\n                     matches nothing"), std::string::npos)
        << r.out;
  }
  EXPECT_EQ(run({}).status, 1);
}

// The size of a new ring comes from -s, else from $VANTREL_RINGSIZE, else 64M; a bad
// value of either is refused and makes nothing.
TEST_F(RingTool, CreateTakesItsSizeFromTheEnvironment) {
  struct Case {
    const char *env;  // none: unset
    std::vector<std::string> options;
    const char *shown;  // none: refused with `message`
    const char *message;
  } cases[] = {
      {nullptr, {}, "67108864 bytes", nullptr},
      {"32K", {}, "32768 bytes", nullptr},
      {"32K", {"-s", "48K"}, "49152 bytes", nullptr},
      {"3x", {}, nullptr, "create: VANTREL_RINGSIZE '3x' is not a ring size"},
      {nullptr, {"-s", "3x"}, nullptr, "create: bad size '3x'"},
  };
  int k = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(k);
    if (c.env)
      setenv("VANTREL_RINGSIZE", c.env, 1);
    else
      unsetenv("VANTREL_RINGSIZE");
    std::string ring = dir.file("r" + std::to_string(k++));
    std::vector<std::string> args = {"create"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(ring);
    ElogCapture cap;
    ToolRun r = run(args);
    struct stat st {};
    if (c.shown) {
      EXPECT_EQ(r.status, 0) << cap.text();
      EXPECT_NE(r.out.find(c.shown), std::string::npos) << r.out;
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(cap.contains(c.message)) << cap.text();
      EXPECT_NE(stat(ring.c_str(), &st), 0) << "nothing made";
    }
  }
  unsetenv("VANTREL_RINGSIZE");
}

// status -w shows the status again after each pause, until the tool is stopped.
TEST_F(RingTool, StatusRepeats) {
  ASSERT_EQ(run({"create", "-s", "16K", path}).status, 0);
  ToolRun r{};
  {
    ClockWatch watch(0.01);
    std::thread stopper([&] {
      EXPECT_TRUE(watch.wait_sleeps(2.0, 1));
      ringtool_stop();
    });
    r = run({"status", "-w", "2", path});
    stopper.join();
  }
  EXPECT_EQ(r.status, 0);
  size_t shown = 0;
  for (size_t at = r.out.find("ring      "); at != std::string::npos;
       at = r.out.find("ring      ", at + 1))
    shown++;
  EXPECT_GE(shown, 2u) << r.out;
}

TEST_F(RingTool, CreatePutStatusFollow) {
  ElogCapture cap;
  ToolRun r = run({"create", "-s", "64K", path});
  ASSERT_EQ(r.status, 0) << cap.text();
  EXPECT_NE(r.out.find("65536 bytes"), std::string::npos) << r.out;
  EXPECT_EQ(run({"put", "-t", "100", path, "AA/log", "hello", "world"}).out, "0\n");
  EXPECT_EQ(run({"put", "-t", "2020-01-02T03:04:05.5", path, "BB/bin", "x"}).out, "1\n");
  EXPECT_EQ(run({"put", "-t", "300", path, "AA/log", "line one\nline\ttwo\x01"}).out, "2\n");

  {
    DrivenClock clock(400.0);
    r = run({"status", path});
  }
  ASSERT_EQ(r.status, 0) << cap.text();
  for (const char *line :
       {"held      3 packets", "written   3 packets", "oldest    0 1970-01-01 00:01:40.000",
        "newest    2 1970-01-01 00:05:00.000", "missed    0 packets", "sources   2",
        "address   127.0.0.1:0"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  // Per source: packets held, bytes, the newest packet's data time and its age.
  EXPECT_NE(r.out.find("  AA/log                                  2         47  1970-01-01 "
                       "00:05:00.000  100.0 s\n"),
            std::string::npos)
      << r.out;

  r = run({"follow", "-o", "-c", "3", "-v", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "0 AA/log 1970-01-01 00:01:40.000 20 bytes\n"
            "    hello world\n"
            "1 BB/bin 2020-01-02 03:04:05.500 10 bytes\n"
            "    x\n"
            "2 AA/log 1970-01-01 00:05:00.000 27 bytes\n"
            "    line one\n"
            "    line\ttwo\\x01\n");

  struct Case {
    std::vector<std::string> args;
    std::string first_line;
  } cases[] = {
      {{"-o", "-s", "BB.*"}, "1 BB/bin"},
      {{"-o", "-r", "AA.*"}, "1 BB/bin"},
      {{"-n"}, "2 AA/log"},
      {{"-t", "150"}, "1 BB/bin"},
      {{"-t", "1970-01-01 00:02"}, "1 BB/bin"},
  };
  for (const Case &c : cases) {
    std::vector<std::string> args = {"follow", "-c", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.push_back(path);
    r = run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, c.first_line.size()), c.first_line) << c.args[0];
  }
}

TEST_F(RingTool, ErrorsExitNonZeroWithAMessage) {
  ASSERT_EQ(run({"create", "-s", "16K", path}).status, 0);
  std::string missing = dir.file("missing");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"frob"}, "unknown command 'frob'"},
      {{"status"}, "status: status needs one ring name"},
      {{"status", "-w", "0", path}, "status: bad interval '0'"},
      {{"status", missing}, "orbopen: no ring file '" + missing + "'"},
      {{"follow", missing}, "make it with 'ringtool create " + missing + "'"},
      {{"put", missing, "A/log", "x"}, "orbopen: no ring file"},
      {{"status", "far.invalid:6510"}, "only local rings are served"},
      {{"create", "-s", "lots", path}, "create: bad size 'lots'"},
      {{"create", path}, "already exists"},
      {{"create", "-s", "1K", dir.file("small")}, "can't be made"},
      {{"follow", "-c", "0", path}, "follow: bad count '0'"},
      {{"follow", "-t", "yesterday", path}, "follow: bad time 'yesterday'"},
      {{"follow", "-x", path}, "follow: unknown option '-x'"},
      {{"follow", "-s"}, "follow: option '-s' needs a value"},
      {{"follow", "-s", "(", path}, "bad expression '('"},
      {{"put", path, "AA/log"}, "put: put needs a ring name, a source name and a text"},
      {{"put", path, std::string(64, 's'), "text"}, "longer than 63 characters"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    ElogCapture cap;
    ToolRun r = run(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(cap.contains(c.message)) << cap.text();
    EXPECT_FALSE(cap.contains("ringtool: ringtool:")) << cap.text();
  }
  struct stat st;
  EXPECT_NE(stat(missing.c_str(), &st), 0) << "status, follow and put do not create rings";
}

// The tool's signal thread ends a follow through ringtool_stop, from another thread.
TEST_F(RingTool, StopEndsAFollowThatIsWaiting) {
  ASSERT_EQ(run({"create", "-s", "16K", path}).status, 0);
  auto t0 = std::chrono::steady_clock::now();
  std::thread stopper([] {
    clock_sleep(0.2);
    ringtool_stop();
  });
  ToolRun r = run({"follow", path});
  stopper.join();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  EXPECT_EQ(run({"put", path, "A/log", "x"}).status, 0);
  EXPECT_EQ(run({"follow", "-o", "-c", "1", path}).out.substr(0, 7), "0 A/log")
      << "a later follow is not stopped";
}

TEST(RingToolText, Describe) {
  auto bytes = [](std::initializer_list<int> v) {
    std::string s;
    for (int c : v) s += (char)c;
    return s;
  };
  struct Case {
    std::string packet;
    std::string shown;
  } cases[] = {
      {bytes({0, 8, 0, 12, 0x71, 0x6C, 0x71, 0x6C, 'a', 'b', 'c', 0}), "    abc\n"},
      {bytes({0, 8, 0, 9, 0x71, 0x6C, 0x71, 0x6C}), ""},
      {bytes({0, 8, 0, 9, 0x71, 0x6C, 0x71, 0x6D, 'a', 0}),
       "    10 bytes: 00 08 00 09 71 6c 71 6d 61 00\n"},
      {"", "    0 bytes:\n"},
      {std::string(40, 'z'),
       "    40 bytes: 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a 7a "
       "7a "
       "7a 7a 7a 7a 7a 7a ...\n"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(
        ringtool_describe("X/log", 0, reinterpret_cast<const unsigned char *>(c.packet.data()),
                          (int)c.packet.size()),
        c.shown);
  }
}

TEST(RingToolText, DescribesPacketLibraryPacketsWithTheirSamples) {
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("GENC");
  PktChannel *ch = newPktChannel();
  snprintf(ch->net, sizeof ch->net, "XX");
  snprintf(ch->sta, sizeof ch->sta, "STA1");
  snprintf(ch->chan, sizeof ch->chan, "BHZ");
  ch->time = 1700000000.0;
  ch->samprate = 40;
  ch->calib = 1;
  ch->calper = 1;
  ch->datasz = ch->nsamp = 3;
  ch->data = static_cast<int32_t *>(malloc(3 * sizeof(int32_t)));
  ch->data[0] = 12345;
  ch->data[1] = -7;
  ch->data[2] = 99;
  pushtbl(pkt->channels, ch);
  pkt->nchannels = 1;
  char srcname[PKT_SRCNAME_SIZE];
  double time = 0;
  char *bytes = nullptr;
  int nbytes = 0, bufsize = 0;
  ASSERT_EQ(stuffPkt(pkt, srcname, &time, &bytes, &nbytes, &bufsize), 0);
  std::string shown =
      ringtool_describe(srcname, time, reinterpret_cast<unsigned char *>(bytes), nbytes);
  EXPECT_NE(shown.find("12345"), std::string::npos) << shown;
  EXPECT_NE(shown.find("-7"), std::string::npos) << shown;
  EXPECT_EQ(shown.find(" bytes:"), std::string::npos) << "not the hex summary: " << shown;
  EXPECT_EQ(shown.rfind("    ", 0), 0u);
  // The magic alone does not make a packet: damaged bytes get the hex summary.
  bytes[nbytes - 1] ^= 0x7f;
  std::string damaged =
      ringtool_describe(srcname, time, reinterpret_cast<unsigned char *>(bytes), nbytes - 3);
  EXPECT_NE(damaged.find(" bytes:"), std::string::npos) << damaged;
  free(bytes);
  freePkt(pkt);
}

TEST(RingToolText, Times) {
  struct Case {
    const char *text;
    double value;  // NAN: refused
  } cases[] = {
      {"0", 0},
      {"1700000000.25", 1700000000.25},
      {"-5", -5},
      {"2020-01-02", 1577923200},
      {"2020-01-02 03:04", 1577934240},
      {"2020-01-02T03:04:05.5", 1577934245.5},
      {"2020-13-02", NAN},
      {"2020-01-02 25:00", NAN},
      {"2020-01-02 03:04:05x", NAN},
      {"yesterday", NAN},
      {"", NAN},
  };
  for (const Case &c : cases) {
    double t = -1;
    int rc = ringtool_parse_time(c.text, &t);
    if (std::isnan(c.value)) {
      EXPECT_EQ(rc, -1) << c.text;
    } else {
      EXPECT_EQ(rc, 0) << c.text;
      EXPECT_EQ(t, c.value) << c.text;
    }
  }
  EXPECT_EQ(ringtool_format_time(1577934245.5), "2020-01-02 03:04:05.500");
  EXPECT_EQ(ringtool_format_time(59.9996), "1970-01-01 00:01:00.000");
  EXPECT_EQ(ringtool_format_time(NAN), "-");
  EXPECT_EQ(ringtool_format_time(1e300), "-");
}

}  // namespace
