// getstream0 against the simulated datalogger: the reconciliation of the stream
// parameters, the Rock path, no channels, and the refusal while a stream or a download
// runs, pause and continue, and a stream run through its restarts to the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "altuscomsubs_blockops.h"
#include "altuscomsubs_stream.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "bytestream/fixtures.h"
#include "kessaro.h"
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
    kessaro_glbl = program;
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
    kessaro_glbl = nullptr;
    elog_clear_register(0);
  }
};

TEST(GetStream, RefusedWhileAStreamOrADownloadRuns) {
  for (int busy : {2, 3, 4, 6, 7, 8}) {
    Rig r("K2", 100);
    r.dl->stream_status = busy;
    EXPECT_EQ(getstream0(r.modem, nullptr), 15);
    EXPECT_EQ(r.dl->stream_status.v, busy);
  }
  Rig r("K2", 100);
  r.dl->getevents_status = 3;
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
  // before kessaro's count asks for one); each time-out restarts the stream. Packets
  // keep coming, so the restarts never run out: the line closing ends the stream.
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
