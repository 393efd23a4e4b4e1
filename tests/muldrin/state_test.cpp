// A session's state-file block: written by one session and restored into a fresh one,
// the complaints for missing and bad items, hostile averager blocks that must leave the
// live averager alone, and the once-only restore of the byte averagers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "q330_data.h"
#include "q330_fixture.h"
#include "q330_state.h"
#include "testkit/testkit.h"

namespace {

// A session named `dlname` reading `statepf` (owned by the rig), with a status channel
// "q330_drate_tot" and environmental channel 5 defined.
struct Session {
  Q330 *q = nullptr;
  Q330StatusChan status{};
  Q330Chan ep5{};
  Session(const char *dlname, const Q330StateStore *statepf) {
    q = q330_create(nullptr, statepf);
    set_q330_str(&q->params.dlname, dlname);
    q->params.status_chan_arr = newarr(nullptr);
    setarr(q->params.status_chan_arr, "q330_drate_tot", &status);
    q->params.ep_channels[5] = &ep5;
  }
  ~Session() {
    freearr(q->params.status_chan_arr, nullptr);
    free(q->params.q330_lastipaddress);
    free(q->params.q330_ipaddress);
    udp_free(q->udp_control);
    udp_free(q->udp_data);
    free_session(q);
  }
};

PacketDef *some_pdef() {
  static int dummy;
  return reinterpret_cast<PacketDef *>(&dummy);
}

std::string block_text(Q330 *q) {
  TempDir dir;
  std::string path = dir.file("state");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(q330_write_state(q, fd), 0);
  close(fd);
  return read_file(path);
}

Q330StateStore *compile(const std::string &text) {
  Q330StateStore *pf = nullptr;
  EXPECT_EQ(q330_statestore_compile(text.c_str(), "test", &pf), 0) << text;
  return pf;
}

std::vector<double> bins_of(TAverage *ta) {
  std::lock_guard<std::mutex> lock(ta->mutex);
  return ta->bins;
}

TEST(StateBlock, WrittenByOneSessionRestoredIntoAnother) {
  DrivenClock clock{1.7e9};
  Session a("DL1", nullptr);
  Q330 *q = a.q;
  set_q330_str(&q->params.q330_ipaddress, "10.1.2.3");
  q->status.endtime = 1700000123.25;
  q->ch98_time = 1700000100.5;
  q330_publish_data_mark(q);  // as the data thread does after each packet
  q->status.nreboots = 17;
  Q330Chan &out = q->params.data_chan[1][2];
  out.outputthischan = 1;
  out.user_data = some_pdef();
  out.last_link_time = 1699999000.125;
  Q330Chan &silent = q->params.data_chan[2][0];  // output but never produced: no line
  silent.outputthischan = 1;
  silent.user_data = some_pdef();
  a.ep5.user_data = some_pdef();
  a.ep5.last_link_time = 1699999001.5;
  a.status.last_link_time = 1699999002.75;
  for (int i = 0; i < 3; i++) {  // three links, 100 s apart
    taverage_put(q->status.ta_nlinks_24h, 1);
    clock.now += 100;
  }
  taverage_put(q->status.ta_datagap_24h, 12.5);
  std::string text = block_text(q);

  // Three events give three lines, newest first; the bin-mode datagap block has all 25.
  EXPECT_NE(text.find("nlinks_24h &Arr{\ntime 0.000\ntbin -1.000\ntwin 86400.000\nnbin 100\n"
                      "bins &Tbl{\n1700000200.000\n1700000100.000\n1700000000.000\n}\n}\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("lastip 10.1.2.3\n"), std::string::npos);
  EXPECT_NE(text.find("chans &Arr{\ndata:1:2 1699999000.125000\nep:5 1699999001.500000\n"
                      "q330_drate_tot 1699999002.750000\n}\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("data:2:0"), std::string::npos);
  EXPECT_EQ(text.find("control_read_24h"), std::string::npos);  // no endpoint

  Q330StateStore *pf = compile(text);
  Session b("DL1", pf);
  ElogCapture log;
  EXPECT_EQ(q330_read_state(b.q), 0);
  EXPECT_EQ(log.text(), "");
  EXPECT_DOUBLE_EQ(b.q->status.endtime, 1700000123.25);
  EXPECT_DOUBLE_EQ(b.q->ch98_time, 1700000100.5);
  EXPECT_EQ(b.q->status.nreboots, 17);
  EXPECT_STREQ(b.q->params.q330_lastipaddress, "10.1.2.3");
  EXPECT_DOUBLE_EQ(b.q->params.data_chan[1][2].last_output_time, 1699999000.125);
  EXPECT_DOUBLE_EQ(b.ep5.last_link_time, 1699999001.5);
  EXPECT_DOUBLE_EQ(b.status.last_output_time, 1699999002.75);
  std::vector<double> events = bins_of(b.q->status.ta_nlinks_24h);
  ASSERT_EQ(events.size(), 100u);
  EXPECT_EQ(events[0], 1700000200.0);
  EXPECT_EQ(events[2], 1700000000.0);
  EXPECT_EQ(events[3], 0.0);
  double t = clock.now, w = 86400, sum = 0, ave = 0;
  taverage_get(b.q->status.ta_nlinks_24h, &t, &w, &sum, &ave);
  EXPECT_EQ(sum, 3);
  t = clock.now;
  w = 7200;
  taverage_get(b.q->status.ta_datagap_24h, &t, &w, &sum, &ave);
  EXPECT_EQ(sum, 12.5);
  // And the restored session, with the same channels bound, writes the same block again.
  b.q->params.data_chan[1][2].outputthischan = 1;
  b.q->params.data_chan[1][2].user_data = some_pdef();
  b.ep5.user_data = some_pdef();
  set_q330_str(&b.q->params.q330_ipaddress, "10.1.2.3");
  EXPECT_EQ(block_text(b.q), text);
  q330_statestore_free(pf);
}

TEST(StateBlock, SessionWithoutAddressOrFileEntry) {
  DrivenClock clock{1.7e9};
  Session a("DL1", nullptr);
  EXPECT_NE(block_text(a.q).find("lastip -\n"), std::string::npos);

  // No state object: nothing to say.
  {
    ElogCapture log;
    EXPECT_EQ(q330_read_state(a.q), 0);
    EXPECT_EQ(q330_read_state_ta(a.q, "control_read_24h", a.q->status.ta_tput), 0);
    EXPECT_EQ(log.text(), "");
  }
  // A state object without this datalogger: complaints only, fresh values kept.
  Q330StateStore *pf = compile("OTHER &Arr{\nendtime 5\n}\ntime 1\n");
  Session b("DL1", pf);
  taverage_put(b.q->status.ta_nlinks_24h, 1);
  std::vector<double> before = bins_of(b.q->status.ta_nlinks_24h);
  ElogCapture log;
  EXPECT_EQ(q330_read_state(b.q), 0);
  EXPECT_EQ(q330_read_state_ta(b.q, "nlinks_24h", b.q->status.ta_nlinks_24h), 0);
  EXPECT_EQ(log.lines().size(), 2u) << log.text();
  EXPECT_TRUE(log.contains("Cannot find DL1 in statefile."));
  EXPECT_EQ(b.q->status.endtime, 0);
  EXPECT_EQ(bins_of(b.q->status.ta_nlinks_24h), before);
  q330_statestore_free(pf);
}

TEST(StateBlock, BadItemsAreReportedAndSkipped) {
  DrivenClock clock{1.7e9};
  Q330StateStore *pf = compile(
      "DL1 &Arr{\n"
      "endtime 12.5\n"
      "ch98_time abc\n"  // not a number: reported as missing, the rest still read
      "chans &Arr{\n"
      "data:3:7 100\n"
      "data:9:0 101\n"
      "data:3 102\n"
      "data:1:1 oops\n"
      "ep:300 103\n"
      "ep:4 104\n"  // ep channel 4 does not exist: skipped without a message
      "nosuch 105\n"
      "data:0:5 106\n"
      "}\n}\n");
  Session s("DL1", pf);
  ElogCapture log;
  elog_set_flood_burst(0);  // every report, whatever the flood gate would hold back
  EXPECT_EQ(q330_read_state(s.q), 0);
  elog_set_flood_burst(ELOG_FLOOD_BURST);
  const char *expected[] = {
      "Cannot find 'ch98_time' in statefile for DL1.",
      "Cannot find 'nreboots' in statefile for DL1.",
      "Cannot find 'lastip' in statefile for DL1.",
      "Illegal key 'chans->data:3' in statefile for DL1.",
      "Illegal time for 'chans->data:1:1' in statefile for DL1.",
      "Illegal pchan index 7 in 'chans->data:3:7' in statefile for DL1.",
      "Illegal stream index 9 in 'chans->data:9:0' in statefile for DL1.",
      "Illegal ep channel 300 in 'chans->ep:300' in statefile for DL1.",
      "No status channel defined for 'chans->nosuch' in statefile for DL1.",
      "Cannot find 'nlinks_24h' in statefile for DL1.",
      "Cannot find 'datagap_1h' in statefile for DL1.",
  };
  for (const char *e : expected) EXPECT_TRUE(log.contains(e)) << e << "\n" << log.text();
  EXPECT_EQ(s.q->status.endtime, 12.5);
  EXPECT_EQ(s.q->ch98_time, 0);
  // Only the sound key changed a channel.
  for (int st = 0; st < 8; st++)
    for (int c = 0; c < 6; c++)
      EXPECT_EQ(s.q->params.data_chan[st][c].last_link_time, st == 0 && c == 5 ? 106 : 0);
  q330_statestore_free(pf);
}

// A number of the state block that is NaN, infinite, too large or outside its range is
// refused with the key and the value, and the session keeps what it had.
TEST(StateBlock, NumbersRefuseNanInfinityAndOutOfRange) {
  DrivenClock clock{1.7e9};
  struct Key {
    const char *key;
    const char *out_of_range;  // none: any finite value is taken
  } keys[] = {{"endtime", nullptr}, {"ch98_time", nullptr}, {"nreboots", "-1"}};
  for (const Key &k : keys) {
    std::vector<const char *> values = {"nan", "inf", "-inf", "1e999"};
    if (k.out_of_range != nullptr) values.push_back(k.out_of_range);
    for (const char *v : values) {
      SCOPED_TRACE(std::string(k.key) + " " + v);
      std::string text = "DL1 &Arr{\nendtime 12.5\nch98_time 7\nnreboots 3\n";
      text += std::string(k.key) + " " + v + "\n}\n";
      Q330StateStore *pf = compile(text);
      Session s("DL1", pf);
      s.q->status.endtime = 1;
      s.q->ch98_time = 2;
      s.q->status.nreboots = 4;
      ElogCapture log;
      EXPECT_EQ(q330_read_state(s.q), 0);
      const std::string want = std::string("Cannot find '") + k.key +
                               "' in statefile for DL1. Refused: key '" + k.key + "': '" + v + "'";
      EXPECT_TRUE(log.contains(want)) << log.text();
      const std::string key = k.key;
      EXPECT_EQ(s.q->status.endtime, key == "endtime" ? 1 : 12.5);
      EXPECT_EQ(s.q->ch98_time, key == "ch98_time" ? 2 : 7);
      EXPECT_EQ(s.q->status.nreboots, key == "nreboots" ? 4 : 3);
      q330_statestore_free(pf);
    }
  }
}

// An averager block with the given list and fields.
std::string ta_block(const std::string &time, const std::string &tbin, const std::string &twin,
                     const std::string &nbin, const std::vector<std::string> &bins) {
  std::string t =
      "time " + time + "\ntbin " + tbin + "\ntwin " + twin + "\nnbin " + nbin + "\nbins &Tbl{\n";
  for (const auto &b : bins) t += b + "\n";
  return t + "}\n";
}

TEST(StateBlock, AveragerBlocksAreCheckedBeforeTheyReplace) {
  DrivenClock clock{1.7e9};
  struct Case {
    const char *name;
    std::string block;
    bool taken;
  } cases[] = {
      {"sound bin block", ta_block("1700000000", "60", "180", "3", {"1", "2", "3"}), true},
      {"sound event block", ta_block("0", "-1", "86400", "4", {"30", "20", "10"}), true},
      {"tbin 0", ta_block("1700000000", "0", "180", "3", {"1"}), false},
      {"tbin NaN", ta_block("1700000000", "nan", "180", "3", {"1"}), false},
      {"tbin infinite", ta_block("1700000000", "inf", "180", "3", {"1"}), false},
      {"nbin -1", ta_block("1700000000", "60", "180", "-1", {}), false},
      {"nbin 0", ta_block("1700000000", "60", "180", "0", {}), false},
      {"nbin 10^9", ta_block("1700000000", "60", "180", "1000000000", {}), false},
      {"nbin not a number", ta_block("1700000000", "60", "180", "x3", {}), false},
      {"more bins than nbin", ta_block("1700000000", "60", "180", "2", {"1", "2", "3"}), false},
      {"unsorted events", ta_block("0", "-1", "86400", "4", {"10", "30", "20"}), false},
      {"negative event", ta_block("0", "-1", "86400", "4", {"-5"}), false},
      {"bin not a number", ta_block("1700000000", "60", "180", "3", {"1", "two"}), false},
      {"time not finite", ta_block("inf", "60", "180", "3", {"1"}), false},
      {"no bins", "time 1\ntbin 60\ntwin 180\nnbin 3\n", false},
      {"no nbin", "time 1\ntbin 60\ntwin 180\nbins &Tbl{\n}\n", false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    TAverage *ta = taverage_create(clock.now, 3600, 25);
    taverage_put(ta, 7);
    Q330StateStore *pf = compile(c.block);
    ElogCapture log;
    int rc = taverage_read_state(ta, "'x' in statefile for DL1", q330_statestore_root(pf));
    EXPECT_EQ(rc, c.taken ? 0 : -1);
    EXPECT_EQ(log.text().empty(), c.taken) << log.text();
    if (!c.taken) {
      EXPECT_NE(log.text().find("'x' in statefile for DL1"), std::string::npos);
    }
    std::vector<double> bins = bins_of(ta);
    EXPECT_EQ(static_cast<int>(bins.size()), ta->nbin);
    if (!c.taken) {
      EXPECT_EQ(ta->tbin, 3600);
      EXPECT_EQ(bins.size(), 25u);
      EXPECT_EQ(bins[1], 7);  // the put at creation lands in bin 1
    }
    q330_statestore_free(pf);
    taverage_destroy(ta);
  }
}

TEST(StateBlock, ShortBinsListIsPaddedAndModeFollowsTheFile) {
  DrivenClock clock{1.7e9};
  TAverage *ta = taverage_create(clock.now, 3600, 25);
  Q330StateStore *pf = compile(ta_block("1700000000", "60", "999", "5", {"1.5", "2.5"}));
  ASSERT_EQ(taverage_read_state(ta, "x", q330_statestore_root(pf)), 0);
  EXPECT_EQ(bins_of(ta), (std::vector<double>{1.5, 2.5, 0, 0, 0}));
  EXPECT_EQ(ta->tbin, 60);
  EXPECT_EQ(ta->twin, 300);  // a bin-mode window is always tbin x nbin
  EXPECT_EQ(ta->time, 1700000000);
  q330_statestore_free(pf);
  // An event-mode block turns the averager into event mode with the file's window.
  pf = compile(ta_block("5", "-1", "3600", "3", {"1699999990"}));
  ASSERT_EQ(taverage_read_state(ta, "x", q330_statestore_root(pf)), 0);
  EXPECT_EQ(bins_of(ta), (std::vector<double>{1699999990, 0, 0}));
  EXPECT_EQ(ta->time, 0);
  EXPECT_EQ(ta->twin, 3600);
  q330_statestore_free(pf);
  taverage_destroy(ta);
}

TEST(StateBlock, ByteAveragersAreRestoredOncePerEndpoint) {
  DrivenClock clock{1.7e9};
  Q330StateStore *pf = compile(
      "DL1 &Arr{\ncontrol_read_24h &Arr{\n" +
      ta_block("1700000000", "3600", "7200", "2", {"500", "600"}) + "}\ncontrol_write_24h &Arr{\n" +
      ta_block("1700000000", "3600", "7200", "2", {"50", "60"}) + "}\n}\n");
  Session s("DL1", pf);
  ASSERT_EQ(udp_new(&s.q->udp_control), 0);
  // No averagers yet: nothing is restored, and the restore is still owed.
  EXPECT_EQ(q330_read_state_udp(s.q, 1), 0);
  UDP *u = s.q->udp_control;
  ASSERT_EQ(udp_setup_averages(u, clock.now, 3600, 90000, 3600, 90000, 1, 70), 0);
  ElogCapture log;
  EXPECT_EQ(q330_read_state_udp(s.q, 1), 0);
  EXPECT_EQ(bins_of(u->bytes_read), (std::vector<double>{500, 600}));
  EXPECT_EQ(bins_of(u->bytes_written), (std::vector<double>{50, 60}));
  // Counted since start-up: a later registration must not throw it away.
  clock.now = 1700000000 - 10;
  taverage_put(u->bytes_read, 1);
  EXPECT_EQ(q330_read_state_udp(s.q, 1), 0);
  EXPECT_EQ(bins_of(u->bytes_read), (std::vector<double>{501, 600}));
  // The data endpoint does not exist: nothing, and no complaint.
  EXPECT_EQ(q330_read_state_udp(s.q, 2), 0);
  EXPECT_EQ(log.text(), "");
  q330_statestore_free(pf);
}

TEST(StateBlock, WriteFailureStopsTheBlock) {
  DrivenClock clock{1.7e9};
  Session a("DL1", nullptr);
  int fd = open("/dev/full", O_WRONLY);
  ASSERT_GE(fd, 0);
  ElogCapture log;
  EXPECT_EQ(my_fprintf(fd, "x %d\n", 1), -1);
  EXPECT_EQ(taverage_write_state(a.q->status.ta_nlinks_24h, "nlinks_24h", fd), -1);
  EXPECT_EQ(taverage_write_state(nullptr, "none", fd), 0);
  EXPECT_EQ(q330_write_state(a.q, fd), -1);
  close(fd);
  EXPECT_TRUE(log.contains("taverage_write_state: file write error."));
  EXPECT_TRUE(log.contains("q330_write_state: file write error."));
  // A line longer than 2047 characters is cut, and counted as written.
  TempDir dir;
  fd = open(dir.file("f").c_str(), O_WRONLY | O_CREAT, 0600);
  EXPECT_EQ(my_fprintf(fd, "%s", std::string(3000, 'a').c_str()), 2047);
  close(fd);
}

}  // namespace
