// Tests of the output pipeline: routing and the data-gap check in the producer's thread,
// event-file saving, and the writers into ring files, read back with unstuffPkt.
#include "altuscomsubs_output.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscom_fixture.h"
#include "altuscomsubs_log.h"
#include "altussim_evtwriter.h"
#include "base/arr.h"
#include "base/paths.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "repackage.h"
#include "ring/orb.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

namespace {

const uint32_t kAltusT0 = 1262304000u - 315532800u;  // 2010-01-01 as Altus time
const double kT0 = 1262304000.0;

class AltusOutput : public AltusPipeline {
 protected:
  // A stream packet of stream 0 at kT0 + ms milliseconds.
  int push_stream(long ms, int nsamp, unsigned seq = 0) {
    auto *blk = static_cast<AltusBlockStrdata *>(calloc(1, sizeof(AltusBlockStrdata)));
    blk->stream = 0;
    blk->dataSeq = seq;
    blk->time_altusepoch = kAltusT0 + (uint32_t)(ms / 1000);
    blk->time_msec = (uint16_t)(ms % 1000);
    blk->nsamp = nsamp;
    for (int i = 0; i < nsamp; i++) blk->data[i] = 10 * i;
    return altuscom_push_data(ALTUSPKT_STREAM, modem, dl, 0.0, nullptr,
                              reinterpret_cast<unsigned char *>(blk), (int)sizeof *blk);
  }
  AltusChan &stream_chan() { return dl->data_chan[1][2]; }
  // Whether a queued log line (taken now or earlier) holds `needle`.
  bool logged(const std::string &needle) {
    for (const std::string &t : texts()) logs.push_back(t);
    for (const std::string &t : logs) {
      if (t.find(needle) != std::string::npos) return true;
    }
    return false;
  }
  std::vector<std::string> logs;
  void stream_setup() {
    dl->str_stream2pchan[0] = 2;
    dl->samprate = 2.0;  // dt 0.5 s: half a sample is 250 ms
    stream_chan().outputthischan = 1;
    dl->stream_status = STRSTATUS_RUNNING;
  }
};

TEST_F(AltusOutput, StreamChannelWithOutputOffIsNeitherQueuedNorCounted) {
  stream_setup();
  stream_chan().outputthischan = 0;
  EXPECT_EQ(push_stream(0, 4), 0);
  EXPECT_TRUE(drain().empty());
  EXPECT_EQ(dl->last_stream_data_time, 0.0);
  EXPECT_EQ((int)altus->status_report_now, 0);
}

TEST_F(AltusOutput, FirstStreamPacketAsksForAStatusReportAndRecordsNoGap) {
  stream_setup();
  dl->order_output_data = 1;
  EXPECT_EQ(push_stream(0, 4), 0);
  std::vector<AltusPacket *> q = drain();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0]->type, ALTUSPKT_STREAM);
  EXPECT_EQ(q[0]->nbytes, (int)sizeof(AltusBlockStrdata));
  EXPECT_EQ(reinterpret_cast<AltusBlockStrdata *>(q[0]->data)->data[3], 30);
  EXPECT_EQ((int)altus->status_report_now, 1);
  EXPECT_EQ((double)dl->data_gap_time, 0.0);
  EXPECT_DOUBLE_EQ(dl->last_stream_data_time, kT0 + 2.0);
}

TEST_F(AltusOutput, GapTable) {
  stream_setup();
  // Each row: the packet's offset (ms) from the expected time, order_output_data, the
  // gap sum before and after, and whether a status report is asked for.
  struct Case {
    long offset_ms;
    int order;
    double sum_before, sum_after;
    int report;
  } cases[] = {
      {0, 1, 0.0, 0.0, 0},            // on time
      {250, 1, 0.0, 0.0, 0},          // exactly half a sample: not a gap
      {251, 1, 1.0, 1.251, 1},        // a gap, summed
      {3000, 0, 5.0, 0.0, 0},         // without ordering the sum is dropped
      {-1000, 1, 2.0, 2.0, 0},        // earlier than expected: no check
      {1000, 1, 31535999.5, 0.0, 1},  // passes 365 days: reset
  };
  int row = 0;
  for (const Case &c : cases) {
    dl->last_stream_data_time = kT0 + 100.0;
    dl->order_output_data = c.order;
    dl->data_gap_time = c.sum_before;
    altus->status_report_now = 0;
    ASSERT_EQ(push_stream(100000 + c.offset_ms, 4), 0);
    EXPECT_NEAR((double)dl->data_gap_time, c.sum_after, 1e-6) << row;
    EXPECT_EQ((int)altus->status_report_now, c.report) << row;
    EXPECT_NEAR(dl->last_stream_data_time, kT0 + 100.0 + c.offset_ms / 1000.0 + 2.0, 1e-6) << row;
    row++;
  }
  bool logged_gap = false, logged_reset = false;
  for (const std::string &t : texts()) {
    if (t.find("Data gap = 0.25100 seconds from") != std::string::npos) logged_gap = true;
    if (t.find("resetting data gap...") != std::string::npos) logged_reset = true;
  }
  EXPECT_TRUE(logged_gap);
  EXPECT_TRUE(logged_reset);
}

TEST_F(AltusOutput, UnusableSampleRateSkipsTheGapCheck) {
  stream_setup();
  dl->order_output_data = 1;
  for (double rate : {0.0, -1.0, 1.0 / 0.0}) {
    dl->samprate = rate;
    dl->last_stream_data_time = kT0;
    dl->data_gap_time = 0.0;
    ASSERT_EQ(push_stream(5000, 4), 0);
    EXPECT_EQ((double)dl->data_gap_time, 0.0);
    EXPECT_DOUBLE_EQ(dl->last_stream_data_time, kT0 + 5.0);
  }
}

TEST_F(AltusOutput, BadInputGetsItsMessage) {
  char text[] = "x";
  EXPECT_EQ(
      altuscom_push_data(9, modem, dl, 0.0, nullptr, reinterpret_cast<unsigned char *>(text), 2),
      -1);
  EXPECT_NE(take_registered().find("altuscom_push_data: Unrecognized data type 9."),
            std::string::npos);
  EXPECT_EQ(altuscom_push_data(ALTUSPKT_LOG, modem, dl, 0.0, nullptr, nullptr, 0), 0);
  // A stream number outside the table is refused, not read out of bounds.
  stream_setup();
  auto *blk = static_cast<AltusBlockStrdata *>(calloc(1, sizeof(AltusBlockStrdata)));
  blk->stream = 200;
  ElogCapture cap;
  EXPECT_EQ(altuscom_push_data(ALTUSPKT_STREAM, modem, dl, 0.0, nullptr,
                               reinterpret_cast<unsigned char *>(blk), (int)sizeof *blk),
            0);
  EXPECT_TRUE(cap.contains("Illegal stream 200"));
  EXPECT_TRUE(cap.contains("output_stream_pkt() error for seq 0, str 200"));
  // An unknown type reaching the router is complained about and freed.
  auto *pkt = static_cast<AltusPacket *>(calloc(1, sizeof(AltusPacket)));
  pkt->type = 7;
  altuscom_dataout(altus, pkt);
  EXPECT_TRUE(cap.contains("altuscom_dataout: Unknown packet type 7."));
}

TEST(AltusOutputHelpers, MapChannelIndexAndModels) {
  struct Case {
    int bitmap, physical, want;
  } cases[] = {{0x0, 0, -1},  {0x1, 0, 0},       {0x5, 1, -1},
               {0x5, 2, 1},   {0x3FFFF, 17, 17}, {(int)0x80000000u, 31, 0},
               {0x7, -1, -1}, {0x7, 32, -1}};
  for (const Case &c : cases) EXPECT_EQ(mapchanindex(c.bitmap, c.physical), c.want);
  AltusDatalogger *d = altusdatalogger_new();
  Modem *m = modem_new();
  kessaro_copytext(d->model, "MtWhitney");
  EXPECT_EQ(altuscom_ismw(m, d), 1);
  EXPECT_EQ(altuscom_ismw(nullptr, d), 0);
  EXPECT_EQ(altuscom_isrock(m, d), 0);
  kessaro_copytext(d->model, "ROCK");
  EXPECT_EQ(altuscom_isrock(m, d), 1);
  EXPECT_EQ(altuscom_isrock(m, nullptr), 0);
  altusdatalogger_free(d);
  modem_free(m);
}

// ---- event files ----

std::vector<uint8_t> evt_file(int bigendian, int nchannels, std::vector<int> frames,
                              bool bad = false, int sps = 100) {
  AltusSimEvtPlan plan;
  plan.bigendian = bigendian;
  plan.nchannels = nchannels;
  plan.sps = sps;
  plan.start_time = kAltusT0;
  plan.frame_scans = frames;
  plan.sample_bytes = 3;
  plan.bad_header_sum = bad;
  plan.values.numbers["rw_misc.channel_bitmap"] = (1 << nchannels) - 1;
  plan.values.numbers["ro_misc.a2dBits"] = 24;
  for (int c = 0; c < nchannels; c++) {
    plan.values.numbers["rw_channel[" + std::to_string(c) + "].fullscale"] = 2.5;
    plan.values.numbers["rw_channel[" + std::to_string(c) + "].sensitivity"] = 1.25;
  }
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_file(plan, &out), 0);
  return out;
}

class AltusEventFile : public AltusOutput {
 protected:
  int push_file(const std::vector<uint8_t> &bytes, const char *path) {
    auto *buf = static_cast<unsigned char *>(malloc(bytes.size()));
    memcpy(buf, bytes.data(), bytes.size());
    return altuscom_push_data(ALTUSPKT_EVTFILE, modem, dl, 123.0, const_cast<char *>(path), buf,
                              (int)bytes.size());
  }
  // The queued event files (log lines about them are queued as well).
  std::vector<AltusPacket *> files() {
    std::vector<AltusPacket *> out;
    for (AltusPacket *p : drain()) {
      if (p->type == ALTUSPKT_EVTFILE) out.push_back(p);
      if (p->type == ALTUSPKT_LOG) logs.push_back(reinterpret_cast<char *>(p->data));
    }
    return out;
  }
  TempDir dir;
};

TEST_F(AltusEventFile, SavingRule) {
  std::vector<uint8_t> good = evt_file(1, 3, {50});
  dl->save_evt_files = 1;
  altus->evt_file_dir = strdup(dir.path().c_str());
  struct Case {
    const char *model, *path, *saved;  // saved: below <dir>/dlA, or none
  } cases[] = {
      {"K2", "C:\\DATA\\EV001.EVT", "EV001.EVT"},
      {"K2", "A:/DATA/SUB/EV002.EVT", "SUB/EV002.EVT"},
      {"ROCK", "C:\\EVT\\EV003.EVT", "EVT/EV003.EVT"},
      {"K2", "C:\\DATA", nullptr},                     // nothing left after the prefix
      {"K2", "C:\\DATA\\..\\..\\EV004.EVT", nullptr},  // climbs out
      {"K2", "C:\\DATA\\D:\\EV005.EVT", nullptr},      // names a drive
      {"K2", "C:\\DATA\\DIR\\", nullptr},              // no file name
  };
  for (const Case &c : cases) {
    kessaro_copytext(dl->model, c.model);
    ElogCapture cap;
    ASSERT_EQ(push_file(good, c.path), 0);
    std::vector<AltusPacket *> q = files();
    ASSERT_EQ(q.size(), 1u) << c.path;  // queued for the ring whatever happened
    EXPECT_EQ(q[0]->type, ALTUSPKT_EVTFILE);
    EXPECT_STREQ(q[0]->pathname, c.path);
    ASSERT_EQ(q[0]->nbytes, (int)good.size());
    EXPECT_EQ(memcmp(q[0]->data, good.data(), good.size()), 0);
    if (c.saved) {
      std::string name = dir.path() + "/dlA/" + c.saved;
      EXPECT_EQ(read_file(name), std::string(good.begin(), good.end())) << c.path;
      EXPECT_TRUE(logged("Successfully wrote EVT file " + name));
    } else {
      EXPECT_TRUE(cap.contains("output_event_file: Not saving file")) << c.path;
    }
  }
  EXPECT_FALSE(is_present((dir.path() + "/EV004.EVT").c_str()));
}

// A link planted in the event directory is never followed: not at the file's name (the
// file replaces the link, the victim stays as it was), not as a folder on the way (the
// file is not saved). Control characters of the datalogger's name do not reach the saved
// name, and the log lines show them escaped.
TEST_F(AltusEventFile, PlantedLinksAndControlCharacters) {
  std::vector<uint8_t> good = evt_file(1, 3, {50});
  dl->save_evt_files = 1;
  altus->evt_file_dir = strdup(dir.path().c_str());
  TempDir outside;
  const std::string victim = outside.write("victim", "precious");
  ASSERT_EQ(mkdir((dir.path() + "/dlA").c_str(), 0755), 0);
  ASSERT_EQ(symlink(victim.c_str(), (dir.path() + "/dlA/EV010.EVT").c_str()), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), (dir.path() + "/dlA/SUB").c_str()), 0);
  struct Case {
    const char *what, *path;
    const char *saved;  // below <dir>/dlA, or none
    const char *line;   // logged
  } cases[] = {
      {"a link at the name", "C:\\DATA\\EV010.EVT", "EV010.EVT", "Successfully wrote EVT file"},
      {"a link as a folder", "C:\\DATA\\SUB\\EV011.EVT", nullptr, "output_event_file: open("},
      {"a terminal escape", "C:\\DATA\\EV\x1b[1.EVT", "EV_[1.EVT", "EV_[1.EVT"},
      {"a line break", "C:\\DATA\\EV\n2.EVT", "EV_2.EVT", "EV_2.EVT"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ElogCapture cap;
    ASSERT_EQ(push_file(good, c.path), 0);
    ASSERT_EQ(files().size(), 1u);
    if (c.saved != nullptr) {
      std::string name = dir.path() + "/dlA/" + c.saved;
      struct stat st;
      ASSERT_EQ(lstat(name.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));  // a file of its own, not the link
      EXPECT_EQ(read_file(name), std::string(good.begin(), good.end()));
      EXPECT_TRUE(logged(c.line));
    } else {
      EXPECT_TRUE(cap.contains(c.line)) << cap.text();
    }
  }
  EXPECT_EQ(read_file(victim), "precious");
  EXPECT_FALSE(is_present((outside.path() + "/EV011.EVT").c_str()));
  // No temporary file is left behind, and no name holds a control character.
  DIR *d = opendir((dir.path() + "/dlA").c_str());
  ASSERT_NE(d, nullptr);
  int names = 0;
  while (struct dirent *e = readdir(d)) {
    std::string n = e->d_name;
    if (n == "." || n == "..") continue;
    names++;
    EXPECT_NE(n[0], '.') << n;
    for (char ch : n) EXPECT_GE((unsigned char)ch, 0x20) << n;
  }
  closedir(d);
  EXPECT_EQ(names, 4);  // EV010.EVT, SUB, EV_[1.EVT, EV_2.EVT
  for (const std::string &l : logs) {
    for (char ch : l) EXPECT_GE((unsigned char)ch, 0x20) << l;
  }
}

TEST_F(AltusEventFile, RelativeDirectoryAndBadFile) {
  dl->save_evt_files = 1;
  altus->evt_file_dir = strdup("events");
  char *cwd = getcwd(nullptr, 0);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::vector<uint8_t> good = evt_file(0, 2, {20});
  std::vector<uint8_t> bad = evt_file(0, 2, {20}, true);
  ElogCapture cap;
  EXPECT_EQ(push_file(good, "C:\\DATA\\GOOD.EVT"), 0);
  EXPECT_EQ(push_file(bad, "C:\\DATA\\BAD.EVT"), 0);
  EXPECT_EQ(files().size(), 2u);  // both queued
  EXPECT_TRUE(logged("Successfully wrote EVT file ./events/dlA/GOOD.EVT"));
  EXPECT_TRUE(cap.contains("Not saving file C:\\DATA\\BAD.EVT: it fails the file check"));
  EXPECT_TRUE(is_file("events/dlA/GOOD.EVT"));
  EXPECT_FALSE(is_present("events/dlA/BAD.EVT"));
  EXPECT_TRUE(take_registered().empty());
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
}

// ---- writers into ring files ----

struct Read {
  std::string srcname;
  double time;
  Packet *pkt;
  int kind;
};

class AltusWriters : public AltusOutput {
 protected:
  void SetUp() override {
    AltusOutput::SetUp();
    std::string ring = dir.file("out.ring");
    ASSERT_EQ(orbcreate(ring.c_str(), 1 << 24), 0);
    tag.orbw = orbopen(ring.c_str(), "w");
    rd = orbopen(ring.c_str(), "r");
    ASSERT_GE(tag.orbw, 0);
    altus->log = altus->status = altus->evtinfo = &tag;
  }
  void TearDown() override {
    for (Read &r : reads) freePkt(r.pkt);
    flush_repackage_buffers(altus);
    if (altus->repackage_tbl) {
      // Buffers live to the end of the process (no destructor); keep them reachable.
      static std::vector<void *> &kept = *new std::vector<void *>;
      for (long i = 0; i < maxtbl(altus->repackage_tbl); i++)
        kept.push_back(gettbl(altus->repackage_tbl, i));
      freetbl(altus->repackage_tbl, nullptr);
      altus->repackage_tbl = nullptr;
    }
    altus->log = altus->status = altus->evtinfo = nullptr;
    orbclose(tag.orbw);
    orbclose(rd);
    AltusOutput::TearDown();
  }
  std::vector<Read> &read_back() {
    reads_from = reads.size();
    for (const RingPacket &r : ring_take(rd)) {
      Packet *pkt = nullptr;
      int kind = unstuffPkt(r.srcname.c_str(), r.time, r.bytes.data(), (int)r.bytes.size(), &pkt);
      EXPECT_GT(kind, 0) << r.srcname;
      reads.push_back({r.srcname, r.time, pkt, kind});
    }
    return reads;
  }
  AltusPacket element(int type, const char *text, const char *path = nullptr) {
    AltusPacket p{};
    p.type = type;
    p.time = kT0;
    p.data = reinterpret_cast<unsigned char *>(const_cast<char *>(text));
    p.nbytes = (int)strlen(text) + 1;
    p.pathname = const_cast<char *>(path);
    return p;
  }
  TempDir dir;
  Orbtag tag{};
  int rd = -1;
  std::vector<Read> reads;
  size_t reads_from = 0;
};

TEST_F(AltusWriters, LogPacketsUnderTheDataloggerOrTheProgram) {
  AltusPacket both = element(ALTUSPKT_LOG, "line one");
  both.modem = modem;
  both.datalogger = dl;
  AltusPacket dl_only = element(ALTUSPKT_STOP, "line two");
  dl_only.datalogger = dl;
  output_log_msg(altus, &both);
  output_log_msg(altus, &dl_only);
  std::vector<Read> &r = read_back();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0].srcname, "dlA/log");
  EXPECT_EQ(r[0].time, kT0);
  EXPECT_EQ(r[0].kind, Pkt_log);
  EXPECT_STREQ(r[0].pkt->string, "line one");
  EXPECT_EQ(r[1].srcname, "kes/log");
  EXPECT_STREQ(r[1].pkt->string, "line two");
}

TEST_F(AltusWriters, ParameterFilePackets) {
  AltusPacket ok = element(ALTUSPKT_EVTINFO, "key &Arr{\n\tvalue\t12\n}\n", "kes/pf/evtinfo");
  AltusPacket bad = element(ALTUSPKT_STATUS, "key &Arr{\n", "kes/pf/st");
  ElogCapture cap;
  output_pf(altus, &ok);
  output_pf(altus, &bad);
  EXPECT_TRUE(cap.contains("output_pf: pfcompile() error for srcname kes/pf/st."));
  std::vector<Read> &r = read_back();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].srcname, "kes/pf/evtinfo");
  ASSERT_EQ(r[0].kind, Pkt_pf);
  void *inner = nullptr;
  ASSERT_EQ(pfget(r[0].pkt->pf, "key", &inner), PFARR);
  char *v = pfget_string(static_cast<Pf *>(inner), "value");
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "12");
}

class AltusEventRepackage : public AltusWriters {
 protected:
  void setup_channels(int nchannels, int getcalib) {
    pdef = PacketDef{};
    pdef.orbtag = &tag;
    kessaro_copytext(pdef.suffix, "GENC");
    pdef.twin = 1;
    for (int c = 0; c < nchannels; c++) {
      AltusChan &ch = dl->data_chan[0][c];
      ch.outputthischan = 1;
      ch.getcalib = getcalib;
      ch.calib = 2.5;
      ch.calper = 1.0;
      kessaro_copytext(ch.net, "XX");
      kessaro_copytext(ch.sta, "STA");
      snprintf(ch.chan, sizeof ch.chan, "HN%d", c);
      kessaro_copytext(ch.segtype, "A");
      snprintf(ch.netstachanloc, sizeof ch.netstachanloc, "XX_STA_HN%d", c);
      ch.pdef = &pdef;
    }
  }
  void repackage(const std::vector<uint8_t> &bytes) {
    AltusPacket p{};
    p.type = ALTUSPKT_EVTFILE;
    p.modem = modem;
    p.datalogger = dl;
    p.data = const_cast<unsigned char *>(bytes.data());
    p.nbytes = (int)bytes.size();
    p.pathname = const_cast<char *>("C:\\DATA\\T.EVT");
    repackage_event_pkt(altus, &p);
  }
  PacketDef pdef{};
};

TEST_F(AltusEventRepackage, SamplesEqualTheFileInBothByteOrders) {
  for (int be : {1, 0}) {
    setup_channels(3, 2);
    // 40 samples a chunk at 20 sps, longer than the 1 s packet window, so every chunk
    // is a packet of its own.
    dl->output_packet_twin = 2.0;
    std::vector<uint8_t> file = evt_file(be, 3, {60, 50}, false, 20);
    repackage(file);
    std::vector<Read> &r = read_back();
    // Per channel: 110 samples cut as 40, 40, 30.
    std::vector<std::vector<int32_t>> got(3);
    std::vector<std::vector<int>> sizes(3);
    for (size_t i = reads_from; i < r.size(); i++) {
      ASSERT_EQ(r[i].kind, Pkt_wf);
      for (int c = 0; c < r[i].pkt->nchannels; c++) {
        auto *pc = static_cast<PktChannel *>(gettbl(r[i].pkt->channels, c));
        int k = pc->chan[2] - '0';
        EXPECT_NEAR(pc->time, kT0 + got[k].size() * 0.05, 1e-6);
        EXPECT_EQ(pc->calib, 2.5);
        got[k].insert(got[k].end(), pc->data, pc->data + pc->nsamp);
        sizes[k].push_back(pc->nsamp);
      }
    }
    for (int c = 0; c < 3; c++) {
      ASSERT_EQ(got[c].size(), 110u) << be;
      for (int s = 0; s < 110; s++)
        ASSERT_EQ(got[c][s], altussim_evt_sample(c, s, 3)) << c << " " << s;
      EXPECT_EQ(sizes[c], (std::vector<int>{40, 40, 30}));
    }
    EXPECT_NEAR(dl->last_data_time, kT0 + 4.0, 1e-9);
  }
}

TEST_F(AltusEventRepackage, OldEventsAndUnusableSettingsWriteNothing) {
  setup_channels(2, 1);
  std::vector<uint8_t> file = evt_file(1, 2, {30});
  ElogCapture cap;
  dl->starttime = kT0 + 1.0;
  dl->output_packet_twin = 1.0;
  repackage(file);
  EXPECT_TRUE(read_back().empty());
  EXPECT_TRUE(logged("Skipping ORB output of event at 2010001:00:00:00 because too old"));
  // A window shorter than half a sample still moves one sample a chunk (the chunks join
  // into one packet per channel).
  dl->starttime = 0.0;
  dl->output_packet_twin = 0.0;
  repackage(file);
  EXPECT_EQ(read_back().size(), 2u);
  // A file with no sample rate is not repackaged.
  repackage(evt_file(1, 2, {30}, false, 0));
  EXPECT_EQ(read_back().size(), 2u);
  EXPECT_TRUE(cap.contains("repackage_event_pkt: Illegal sample rate"));
  // Without a calibration database a channel that needs one is skipped.
  setup_channels(2, 0);
  dl->output_packet_twin = 1.0;
  repackage(file);
  EXPECT_EQ(read_back().size(), 2u);
  EXPECT_TRUE(cap.contains("Cannot process channel 'XX_STA_HN0' since no calib db"));
}

TEST_F(AltusWriters, StreamRepackaging) {
  stream_setup();
  PacketDef pdef{};
  pdef.orbtag = &tag;
  kessaro_copytext(pdef.suffix, "GENC");
  pdef.twin = 10;
  AltusChan &ch = stream_chan();
  ch.getcalib = 2;
  ch.calib = 0.5;
  kessaro_copytext(ch.net, "XX");
  kessaro_copytext(ch.sta, "STR");
  kessaro_copytext(ch.chan, "HNZ");
  ch.pdef = &pdef;
  ASSERT_EQ(push_stream(0, 4), 0);
  for (AltusPacket *p : drain()) repackage_stream_pkt(altus, p);
  flush_repackage_buffers(altus);
  std::vector<Read> &r = read_back();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].srcname, "XX_STR_HNZ/GENC");
  auto *pc = static_cast<PktChannel *>(gettbl(r[0].pkt->channels, 0));
  EXPECT_EQ(pc->samprate, 2.0);
  EXPECT_EQ(std::vector<int32_t>(pc->data, pc->data + pc->nsamp),
            (std::vector<int32_t>{0, 10, 20, 30}));
}

class AltusRingPosition : public AltusWriters {
 protected:
  void SetUp() override {
    AltusWriters::SetUp();
    stream_setup();
    dl->numStream = 1;
    ring = dir.file("out.ring");
    tag.orbname = ring.data();
    kessaro_copytext(pdef.suffix, "GENC");
    pdef.orbtag = &tag;
    pdef.twin = 10;
    AltusChan &ch = stream_chan();
    ch.getcalib = 2;
    ch.calib = 1;
    kessaro_copytext(ch.net, "XX");
    kessaro_copytext(ch.sta, "STR");
    kessaro_copytext(ch.chan, "HNZ");
    ch.pdef = &pdef;
    setarr(altus->dltargets_array, "dlA", dl);
  }
  void TearDown() override {
    delarr(altus->dltargets_array, "dlA");
    AltusWriters::TearDown();
  }
  void write_thread() {
    for (AltusPacket *p : drain()) repackage_stream_pkt(altus, p);
  }
  // The sample times (ms from kT0) of the waveform packets read back now.
  std::vector<long> samples() {
    std::vector<long> v;
    std::vector<Read> &r = read_back();
    for (size_t i = reads_from; i < r.size(); i++) {
      if (r[i].kind != Pkt_wf) continue;
      auto *pc = static_cast<PktChannel *>(gettbl(r[i].pkt->channels, 0));
      for (int j = 0; j < pc->nsamp; j++)
        v.push_back(std::lround((pc->time + j / pc->samprate - kT0) * 1000));
    }
    return v;
  }
  std::string ring;
  PacketDef pdef{};
};

// The position the state file keeps is the first stream packet not yet in the ring: a
// packet queued, or held by the repackager, is fetched again after a crash.
TEST_F(AltusRingPosition, TheSavedPositionWaitsForTheRing) {
  dl->nextSeq = 9;
  ASSERT_EQ(push_stream(0, 4, 7), 0);
  ASSERT_EQ(push_stream(2000, 4, 8), 0);
  EXPECT_EQ(altuscom_ring_nextseq(dl), 7u);  // queued for the write thread
  write_thread();
  EXPECT_EQ(altuscom_ring_nextseq(dl), 7u);  // in the repackager's window
  flush_repackage_buffers(altus);
  EXPECT_EQ(samples().size(), 8u);
  EXPECT_EQ(altuscom_ring_nextseq(dl), 9u);  // written
  int from_zero = 1;
  dl->nextSeq = 0;  // a fresh stream
  EXPECT_EQ(altuscom_ring_nextseq(dl, &from_zero), 0u);
  EXPECT_EQ(from_zero, 0);
  // Counting from a reset, its packet 0 not yet written: 0, but not a fresh start.
  dl->nextSeq = 1;
  ASSERT_EQ(push_stream(4000, 4, 0), 0);
  EXPECT_EQ(altuscom_ring_nextseq(dl, &from_zero), 0u);
  EXPECT_EQ(from_zero, 1);
}

// A restart on a ring that holds more than the state file says: what the datalogger sends
// again is dropped up to the newest sample of the channel in the ring, partly within a
// packet; what is newer is written.
TEST_F(AltusRingPosition, ARestartDropsWhatTheRingHoldsAlready) {
  ASSERT_EQ(push_stream(0, 4, 0), 0);  // 0 .. 1500 ms, written before the "crash"
  write_thread();
  flush_repackage_buffers(altus);
  EXPECT_EQ(samples(), (std::vector<long>{0, 500, 1000, 1500}));

  altuscom_ring_overlap_init(altus);  // the start-up reads the ring
  EXPECT_EQ(stream_chan().ring_last_time, kT0 + 1.5);
  dl->nextSeq = 4;
  ASSERT_EQ(push_stream(0, 4, 0), 0);     // all in the ring
  ASSERT_EQ(push_stream(1000, 4, 1), 0);  // 1000 and 1500 in the ring
  ASSERT_EQ(push_stream(3000, 2, 2), 0);  // new
  write_thread();
  flush_repackage_buffers(altus);
  EXPECT_EQ(samples(), (std::vector<long>{2000, 2500, 3000, 3500}));
  EXPECT_EQ(altuscom_ring_nextseq(dl), 4u);  // the dropped ones are not waited for
  EXPECT_TRUE(logged("HNZ: 6 samples up to")) << ::testing::PrintToString(logs);
}

TEST(AltusLogPacket, Layout) {
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  ASSERT_EQ(log2orbpkt("abc", &buf, &nbytes, &bufsize), 0);
  const unsigned char want[] = {0, 8, 0, 12, 0x71, 0x6C, 0x71, 0x6C, 'a', 'b', 'c', 0};
  ASSERT_EQ(nbytes, 12);
  EXPECT_EQ(memcmp(buf, want, sizeof want), 0);
  std::string big(70000, 'y');
  EXPECT_EQ(log2orbpkt(big.c_str(), &buf, &nbytes, &bufsize), -1);
  free(buf);
  elog_clear_register(0);
}

}  // namespace
