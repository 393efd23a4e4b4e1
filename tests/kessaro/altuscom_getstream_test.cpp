// getstream0 against the simulated datalogger: the reconciliation of the stream
// parameters (rate, channels, continue timing), the Rock path, no channels, the refusal
// while a stream or a download runs, the start (with and without a parameter write, a
// start refused as already made, six failed starts), pause and continue, queued
// commands during a stream (pause, disable, the event download a datalogger without
// dial-out asks for), and a stream run through its restarts to the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "altuscomsubs_blockops.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "bytestream/fixtures.h"
#include "kessaro.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_hooks.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Sim;

namespace {

Bytes header(int samprate, std::map<std::string, double> more = {}) {
  AltusSimHeaderValues v;
  v.numbers = more;
  v.numbers["rw_stream.sps"] = samprate;
  v.numbers["rw_stream.SampleRate"] = samprate;
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_header(0, 1, v, &out), 0);
  return Bytes(out.begin(), out.end());
}

// A link to the simulator with its datalogger connected. The time-outs are long in clock
// terms because the clock runs fast (the Rock path sleeps 10 s).
struct Rig {
  Recorder rec;
  Sim sim;
  Record buf;
  Modem *modem = modem_new();
  AltusDatalogger *dl = altusdatalogger_new();
  explicit Rig(const char *model, int samprate, std::map<std::string, double> more = {}) {
    static Kessaro *program = kessaro_new();  // reachable to the end
    kessaro_install(program);
    clock_set_scale(0.001);
    sim.set_params(header(samprate, more));
    int port = sim.listen_tcp();
    sim.start();
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 8192, 300000, 300000, 3, nullptr,
                                         nullptr, Recorder::log, &rec, nullptr, nullptr, nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    snprintf(dl->model, sizeof dl->model, "%s", model);
    modem->name = strdup("tcp1");
    modem->buf_handle = buf.get();
    modem->connected_dl = dl;
    dl->connected_modem = modem;
    dl->stream_timeout = -1;
    dl->altus_stream_buffer_size = 100;
  }
  ~Rig() {
    modem->buf_handle = nullptr;
    altusdatalogger_free(dl);
    modem_free(modem);
    clock_set_scale(1.0);
    kessaro_install(nullptr);
    elog_clear_register(0);
  }
};

TEST(GetStream, RefusedWhileAStreamOrADownloadRuns) {
  for (AltusStreamState busy : {STRSTATUS_STARTING, STRSTATUS_RUNNING, STRSTATUS_STOPPING,
                                STRSTATUS_FLUSHED, STRSTATUS_PAUSING, STRSTATUS_DISABLING}) {
    Rig r("K2", 100);
    r.dl->stream_status = busy;
    EXPECT_EQ(getstream0(r.modem, nullptr), 15);
    EXPECT_EQ(r.dl->stream_status.v, busy);
  }
  Rig r("K2", 100);
  r.dl->getevents_status = GETEVENTS_RUNNING;
  EXPECT_EQ(getstream0(r.modem, nullptr), 15);
  EXPECT_TRUE(r.sim.commands().empty());
}

TEST(GetStream, NoChannelsWritesSampleRateZeroWithoutDividingByZero) {
  Rig r("K2", 100);
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_NOCHANNELS);
  EXPECT_EQ(r.dl->numStream, 0);
  EXPECT_EQ(r.dl->last_params.rw_stream.SampleRate, 0);
  EXPECT_FALSE(r.sim.params().empty());
}

TEST(GetStream, RockKeepsItsBlockSizeGainsEventChannelsAndReturnsIdle) {
  Rig r("ROCK", 100);
  r.dl->request_samprate = 200;
  for (int i : {0, 2}) r.dl->data_chan[1][i].outputthischan = 1;  // streamed
  r.dl->data_chan[0][5].outputthischan = 1;                       // recorded in events
  const double t0 = clock_now();
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  EXPECT_GE(clock_now() - t0, 10.0);
  EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_IDLE);
  const AltusBlockParams &p = r.dl->last_params;
  EXPECT_EQ(p.rw_stream.sps, 200);
  EXPECT_EQ(p.rw_stream.SampleRate, 200);
  EXPECT_EQ(p.rw_stream.TxChanMap, 0x5u);
  EXPECT_EQ(p.rw_misc.channel_bitmap & 0x25u, 0x25u);
  EXPECT_EQ(p.rw_stream.DataFmt, 1);
  EXPECT_EQ(p.rw_stream.BufferSize, 100);
  EXPECT_EQ(p.rw_stream.Timeout, 26);   // two streams: 2 * 10 + 6
  EXPECT_EQ(p.rw_stream.TxBlkSize, 0);  // the header's own value, not 100
  EXPECT_EQ(r.dl->numStream, 2);
  EXPECT_EQ(r.dl->next_continue_timeout, 26 * (200 / 2) - 10);
}

TEST(GetStream, AtMostSixChannelsAreStreamed) {
  Rig r("ROCK", 100);
  for (int i = 0; i < 8; i++) r.dl->data_chan[1][i].outputthischan = 1;
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  EXPECT_EQ(r.dl->numStream, 6);
  EXPECT_EQ(r.dl->last_params.rw_stream.TxChanMap, 0x3Fu);
  EXPECT_EQ(r.dl->str_stream2pchan[5], 5);
}

}  // namespace

namespace {

TEST(GetStream, PauseAndContinueActOnlyWithAStreamHandlerInstalled) {
  Rig r("K2", 100);
  r.dl->numStream = 1;
  r.dl->pktTimeout = 16;
  r.dl->next_continue_timeout = 50;
  altuscom_process_stream_pause(r.modem);  // no handler: nothing to pause
  EXPECT_EQ(r.dl->strpause.v, 0);
  StrdataCallback handler{altuscom_process_stream_packet, r.dl};
  r.buf.get()->userdata = &handler;
  altuscom_process_stream_pause(r.modem);
  EXPECT_EQ(r.dl->strpause.v, 1);
  auto *p = static_cast<AltusBlockStrdata *>(calloc(1, sizeof(AltusBlockStrdata)));
  EXPECT_EQ(altuscom_process_stream_packet(p, STRDATA_KIND_DATA, r.dl, 0), 0);  // dropped
  EXPECT_EQ(r.dl->cntTimeout, 0);
  altuscom_process_stream_continue(r.modem);  // no continue sent yet: one goes now
  EXPECT_EQ(r.dl->strpause.v, 0);
  EXPECT_GT(r.dl->time_nextcontinue, 0.0);
  r.buf.get()->userdata = nullptr;
  unsigned char seq = 5;
  AltusBlockParams *got = nullptr;
  ASSERT_EQ(block_getparams(r.buf.get(), &seq, &got, r.modem, r.dl), 0);  // after the continue
  free(got);
  int continues = 0;
  for (auto &c : r.sim.commands()) continues += c.first == 32;
  EXPECT_EQ(continues, 1);
}

}  // namespace

namespace {

TEST(GetStream, AStreamWithUnchangedParametersRestartsAndOutputsEveryPacketOnceInOrder) {
  // The datalogger already holds the stream parameters: no SETPARAMS but an ACQSTART, the
  // counters reset, then packets until it stops for want of continues (after 8 packets,
  // before kessaro's count asks for one); each time-out restarts the stream, and the line
  // closes before the sixth pass.
  Rig r("K2", 100,
        {{"rw_stream.TxChanMap", 3},
         {"rw_stream.BufferSize", 100},
         {"rw_stream.TxBlkSize", 100},
         {"rw_stream.Timeout", 26},
         {"rw_stream.DataFmt", 1}});
  Kessaro *program = kessaro_glbl;
  program->mtfifo_write = pmtfifo_create(0, 0, 0);
  for (int i : {0, 1}) r.dl->data_chan[1][i].outputthischan = 1;
  r.dl->max_strbuf = 16;
  r.dl->max_strretranbuf = 8;
  r.dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(16, sizeof(AltusStrbufEntry)));
  r.dl->order_output_data = 1;
  r.sim.set_streams(2, 10, 100, 8);
  r.sim.drop_line_after(25);
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_IDLE);
  std::vector<int> sent;
  for (auto &c : r.sim.commands()) sent.push_back(c.first);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 2), 0);   // no SETPARAMS
  EXPECT_EQ(std::count(sent.begin(), sent.end(), 10), 1);  // ACQSTART
  // Every packet reached the output once, in coded order, with the samples sent.
  std::vector<unsigned> coded;
  void *item = nullptr;
  bool samples_ok = true;
  while (pmtfifo_pop(program->mtfifo_write, &item) == 1) {
    auto *pkt = static_cast<AltusPacket *>(item);
    if (pkt->type == ALTUSPKT_STREAM) {
      const auto *b = reinterpret_cast<const AltusBlockStrdata *>(pkt->data);
      coded.push_back(b->dataSeq * 2 + b->stream);
      for (int k = 0; k < b->nsamp; k++)
        samples_ok &= b->data[k] == Sim::stream_sample(b->stream, b->dataSeq * 10 + k);
    }
    altuspacket_free(pkt);
  }
  pmtfifo_destroy(program->mtfifo_write, nullptr);
  program->mtfifo_write = nullptr;
  EXPECT_TRUE(samples_ok);
  ASSERT_FALSE(coded.empty());
  for (size_t i = 0; i < coded.size(); i++) ASSERT_EQ(coded[i], i);
}

}  // namespace

namespace {

// The stream parameters a datalogger already holds for `nchan` streams at `rate`.
std::map<std::string, double> ready(int nchan, int rate = 100) {
  return {{"rw_stream.sps", rate},
          {"rw_stream.SampleRate", rate},
          {"rw_stream.TxChanMap", (1 << nchan) - 1},
          {"rw_stream.BufferSize", 100},
          {"rw_stream.TxBlkSize", 100},
          {"rw_stream.Timeout", nchan * 10 + 6},
          {"rw_stream.DataFmt", 1}};
}

// A streaming rig: `nchan` stream channels, the reorder buffer and the write fifo.
struct StreamRig : Rig {
  StreamRig(const char *model, int nchan, std::map<std::string, double> more = {})
      : Rig(model, 100, more) {
    program = kessaro_glbl;
    program->mtfifo_write = pmtfifo_create(0, 0, 0);
    dl->userdata = program;
    for (int i = 0; i < nchan; i++) dl->data_chan[1][i].outputthischan = 1;
    dl->target_name = strdup("dlA");
    dl->max_strbuf = 64;
    dl->max_strretranbuf = 32;
    dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(64, sizeof(AltusStrbufEntry)));
    dl->order_output_data = 1;
  }
  ~StreamRig() {
    out();
    pmtfifo_destroy(program->mtfifo_write, nullptr);
    program->mtfifo_write = nullptr;
  }
  // Coded numbers of the stream packets output so far.
  std::vector<unsigned> out() {
    void *item = nullptr;
    while (pmtfifo_pop(program->mtfifo_write, &item) == 1) {
      auto *pkt = static_cast<AltusPacket *>(item);
      if (pkt->type == ALTUSPKT_STREAM) {
        const auto *b = reinterpret_cast<const AltusBlockStrdata *>(pkt->data);
        coded.push_back(b->dataSeq * dl->numStream + b->stream);
      }
      if (pkt->type == ALTUSPKT_LOG && pkt->data != nullptr)
        logs.emplace_back(reinterpret_cast<const char *>(pkt->data));
      altuspacket_free(pkt);
    }
    return coded;
  }
  // Whether a log line queued so far holds `needle`.
  bool logged(const std::string &needle) {
    out();
    for (const std::string &l : logs)
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
  void queue(const char *command) {
    Pf *req = pfnew(PFARR);
    pfput_string(req, "datalogger_target", dl->target_name);
    pfput_string(req, "command", command);
    post_command_queue(dl, req, 1);
    pffree(req);
  }
  int count(int command) {
    int n = 0;
    for (auto &c : sim.commands()) n += c.first == command;
    return n;
  }
  Kessaro *program;
  std::vector<unsigned> coded;
  std::vector<std::string> logs;
};

// Coded numbers 0, 1, 2, ...: after the counter reset nothing is missing, not even the
// packets dropped while the first parameter refresh held the stream.
bool from_zero(const std::vector<unsigned> &v) {
  for (size_t i = 0; i < v.size(); i++)
    if (v[i] != i) return false;
  return !v.empty();
}

TEST(GetStream, ReconciliationOfRateAndContinueTiming) {
  struct Case {
    const char *name;
    int request_samprate, header_rate, nchan, stream_timeout;
    int want_rate, want_timeout;
    double want_continue;  // next_continue_timeout (preset 123 stays when not computed)
  } cases[] = {
      {"the header's rate", 0, 100, 2, -1, 100, 26, 26 * 50 - 10},
      {"a requested rate", 250, 100, 3, -1, 250, 36, 36 * (250 / 3) - 10},
      {"a configured time-out", 0, 20, 6, 7, 20, 7, 7 * 3 - 10},
      {"at least five seconds", 0, 1, 6, 7, 1, 7, 5.0},
      {"no time-out, no continues", 0, 100, 2, 0, 100, 0, 123},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r("ROCK", c.header_rate);
    r.dl->request_samprate = c.request_samprate;
    r.dl->stream_timeout = c.stream_timeout;
    r.dl->next_continue_timeout = 123;
    for (int i = 0; i < c.nchan; i++) r.dl->data_chan[1][i].outputthischan = 1;
    EXPECT_EQ(getstream0(r.modem, nullptr), 0);
    const auto &st = r.dl->last_params.rw_stream;
    EXPECT_EQ(st.sps, c.want_rate);
    EXPECT_EQ(st.SampleRate, c.want_rate);
    EXPECT_EQ(r.dl->samprate, c.want_rate);
    EXPECT_EQ(st.Timeout, c.want_timeout);
    EXPECT_EQ(r.dl->pktTimeout, c.want_timeout);
    EXPECT_EQ(r.dl->next_continue_timeout, c.want_continue);
  }
}

TEST(GetStream, ANonRockWithChangedParametersStartsWithoutAcqstart) {
  StreamRig r("K2", 2);  // the header holds no stream channels: the parameters change
  r.sim.set_streams(2, 10, 100, 26);
  Sim::StreamFaults f;
  f.line_drop_at = 60;
  r.sim.set_stream_faults(f);
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  EXPECT_EQ(r.count(2), 1);   // SETPARAMS
  EXPECT_EQ(r.count(10), 1);  // only the ACQSTART that follows the parameter write
  std::vector<int> ctl = r.sim.stream_controls();
  ASSERT_GE(ctl.size(), 3u);
  EXPECT_EQ(std::vector<int>(ctl.begin(), ctl.begin() + 3), (std::vector<int>{0, 3, 1}));
  EXPECT_TRUE(from_zero(r.out()));
  EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_IDLE);
}

TEST(GetStream, AStartRefusedAsAlreadyStartedIsAccepted) {
  StreamRig r("K2", 2, ready(2));
  r.sim.set_streams(2, 10, 100, 26);  // holds until kessaro's first continue
  Sim::StreamFaults f;
  f.line_drop_at = 60;
  r.sim.set_stream_faults(f);
  unsigned char seq = 0, start = 1;
  void *got = nullptr;
  ASSERT_EQ(get_block(r.buf.get(), PKC_STRCTRL, &start, &seq, &got, nullptr, 0, r.modem, r.dl), 0);
  free(got);
  r.dl->numStream = 2;  // counters kept for two streams: no stop and reset
  r.dl->nextSeq = 9;
  r.dl->max_strbuf = 0;  // every packet goes out as it comes
  r.dl->order_output_data = 0;
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  std::vector<int> ctl = r.sim.stream_controls();
  ASSERT_GE(ctl.size(), 2u);
  EXPECT_EQ(ctl[0], 1);
  EXPECT_EQ(ctl[1], 1);  // refused with NAK 1, and the stream runs on
  EXPECT_FALSE(r.out().empty());
}

TEST(GetStream, SixStartPassesEndTheCall) {
  // The restart counter counts passes: a stream that delivers packets on each pass and then
  // stalls ends after six passes just like one that never sends a packet.
  struct Case {
    const char *name;
    int streams;      // streams the datalogger sends (0: none ever)
    int without_ack;  // packets it sends without a continue
  } cases[] = {{"no packet ever comes", 0, 0}, {"packets, then a stall, each pass", 2, 8}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StreamRig r("K2", 2, ready(2));
    r.sim.set_streams(c.streams, 10, 100, c.without_ack);
    r.buf.get()->timeout_connect = 20000;
    ElogCapture log;
    EXPECT_EQ(getstream0(r.modem, nullptr), 0);
    std::vector<int> ctl = r.sim.stream_controls();
    EXPECT_EQ(std::count(ctl.begin(), ctl.end(), 1), 6);
    EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_IDLE);
    EXPECT_TRUE(log.contains("Leaving due to too many stream restarts"));
  }
}

TEST(GetStream, AnAddressPostedForTheLinkEndsTheStreamWithItsCountersKept) {
  // A point-of-contact move re-targets the link: the stream leaves at its next packet as at
  // a line drop, without a restart and without a counter reset, so that the link connects
  // to the new address and the stream goes on from where it was.
  StreamRig r("K2", 2, ready(2));
  r.sim.set_streams(2, 10, 100, 26);
  r.dl->numStream = 2;
  r.dl->nextSeq = 9;
  r.dl->strseq_chanmap = 0x3;
  r.dl->strseq_chanmap_known = 1;
  r.modem->reset_ipaddress = 1;
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  std::vector<int> ctl = r.sim.stream_controls();
  EXPECT_EQ(std::count(ctl.begin(), ctl.end(), 1), 1);  // started once, not restarted
  EXPECT_EQ(std::count(ctl.begin(), ctl.end(), 3), 0);  // no counter reset
  EXPECT_GE(r.dl->nextSeq, 9u);
  EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_IDLE);
  EXPECT_EQ(r.modem->reset_ipaddress, 1) << "left for the link thread to apply";
}

TEST(GetStream, QueuedPauseAndDisableEndTheStream) {
  struct Case {
    const char *command;
    int setparams;      // SETPARAMS sent (the start needs none)
    int samplerate;     // SampleRate the datalogger holds afterwards
    const char *state;  // the state the loop is left in, by name
  } cases[] = {{"strpause", 0, 100, "PAUSING"}, {"strdisable", 1, 0, "DISABLING"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    StreamRig r("K2", 2, ready(2));
    r.sim.set_streams(2, 10, 100, 26);
    r.dl->auto_stream = 1;
    r.queue(c.command);
    EXPECT_EQ(getstream0(r.modem, nullptr), 0);
    EXPECT_EQ(r.dl->stream_status.v, STRSTATUS_IDLE);
    EXPECT_EQ(r.dl->auto_stream, 0);
    EXPECT_EQ(r.count(2), c.setparams);
    EXPECT_EQ(r.dl->last_params.rw_stream.SampleRate, c.samplerate);
    std::vector<int> ctl = r.sim.stream_controls();
    EXPECT_EQ(std::count(ctl.begin(), ctl.end(), 1), 1);  // not restarted
    EXPECT_TRUE(r.logged(std::string("leaving processing loop with status ") + c.state));
  }
}

TEST(GetStream, WithoutDialOutTheStreamQueuesTheEventDownloadAndRunsOn) {
  // The datalogger reports two events (its status), none known yet: the stream asks for
  // a download, queues it itself and serves it between packets, reading the event file;
  // packets lost while the download held the stream are asked for again, so the output
  // has no gap. How many are lost depends on how long the download takes, so the reorder
  // window, the request list and the datalogger's resend buffer are made large enough for
  // any pace, and the line drops only 150 live packets after the file was closed: the
  // datalogger's continue rule keeps that well behind the answers to those requests.
  StreamRig r("K2", 2, ready(2));
  r.sim.set_streams(2, 10, 100, 26);
  r.sim.set_stream_buffer(1000);
  free(r.dl->strbuf);
  r.dl->max_strbuf = 512;
  r.dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(512, sizeof(AltusStrbufEntry)));
  r.dl->max_strretranbuf = ALTUS_MAX_STRRETRAN;
  std::vector<uint8_t> evt;
  ASSERT_EQ(altussim_evt_file(AltusSimEvtPlan{}, &evt), 0);
  // The event summary, laid out by hand: 3 channels at 100 sps, 200 scans from time 1.
  Bytes sum(32 + 18 * 32, 0);
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; i++) sum[at + i] = (unsigned char)(v >> (8 * (n - 1 - i)));
  };
  put(0, 3, 2), put(2, 24, 2), put(6, 100, 2), put(8, 200, 4), put(12, 1, 4), put(18, 1, 4);
  put(28, 7, 4);
  r.sim.set_script(27, altussim::Script{155, {sum, sum, sum}, {}});
  r.sim.add_dir("A:\\DATA");
  r.sim.add_file("A:\\DATA\\E0001.EVT", Bytes(evt.begin(), evt.end()), 0x20, 1000);
  TempDir tmp;
  r.program->evt_file_dir = strdup(tmp.path().c_str());
  r.dl->dialout = 0;
  r.dl->auto_getevents = 1;
  r.dl->last_events_count = 0;
  std::thread cut([&r] {
    for (double waited = 0; waited < 600 && r.count(15) == 0; waited += 0.5) clock_sleep(0.5);
    Sim::StreamFaults f;
    f.line_drop_at = 150;
    r.sim.set_stream_faults(f);
  });
  EXPECT_EQ(getstream0(r.modem, nullptr), 0);
  cut.join();
  free(r.program->evt_file_dir);
  r.program->evt_file_dir = nullptr;
  EXPECT_EQ(r.dl->getevents_status.v, 0);  // served, and done
  EXPECT_EQ(r.dl->last_events_count, 2);
  EXPECT_GE(r.count(14), 1);  // the event file was opened
  EXPECT_GE(r.count(5), 1);   // and read
  std::vector<unsigned> got = r.out();
  for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], i) << "of " << got.size();
  EXPECT_GE(got.size(), 50u);
}

TEST(GetStream, CountersKeptForOtherStreamChannelsAreReset) {
  // Two streams either way: only the channels tell whether the kept counters still
  // number the datalogger's packets. Counters from a state file without a channel map
  // (and without "nstreams") are kept: a reset would empty the datalogger's resend buffer.
  struct Case {
    const char *name;
    uint32_t held;      // the datalogger's TxChanMap
    uint32_t wanted;    // the channels kessaro streams
    int streams;        // numStream read back (0: no "nstreams" line)
    int known;          // the map the counters were kept for is known
    uint32_t kept_for;  // and is this one
    bool reset;
  } cases[] = {
      {"the same channels", 0x3, 0x3, 2, 0, 0, false},
      {"the same channels, kept for them", 0x3, 0x3, 2, 1, 0x3, false},
      {"a state file without nstreams", 0x3, 0x3, 0, 0, 0, false},
      {"no map kept, a parameter write flushes", 0x3, 0x5, 0, 0, 0, true},
      {"the datalogger's channels changed", 0x5, 0x3, 2, 1, 0x3, true},
      {"kept for other channels", 0x5, 0x5, 2, 1, 0x3, true},
      {"kept for another stream count", 0x3, 0x3, 3, 1, 0x3, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    std::map<std::string, double> held = ready(2);
    held["rw_stream.TxChanMap"] = c.held;
    StreamRig r("K2", 0, held);
    for (int i = 0; i < 32; i++)
      if (c.wanted & (1u << i)) r.dl->data_chan[1][i].outputthischan = 1;
    r.sim.set_streams(2, 10, 100, 26);
    Sim::StreamFaults f;
    f.line_drop_at = 20;
    r.sim.set_stream_faults(f);
    r.dl->numStream = (uint8_t)c.streams;
    r.dl->nextSeq = 9;
    r.dl->strseq_chanmap = c.kept_for;
    r.dl->strseq_chanmap_known = c.known;
    EXPECT_EQ(getstream0(r.modem, nullptr), 0);
    std::vector<int> ctl = r.sim.stream_controls();
    EXPECT_EQ(std::count(ctl.begin(), ctl.end(), 3), c.reset ? 1 : 0);
    EXPECT_EQ(r.dl->strseq_chanmap, c.wanted);  // kept for these now
    EXPECT_EQ(r.dl->strseq_chanmap_known, 1);
  }
}

}  // namespace
