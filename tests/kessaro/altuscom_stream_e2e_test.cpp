// The stream path end to end: getstream0 against the simulated datalogger over loopback
// TCP, the packets repackaged into a real ring file and read back. The line loses,
// reorders, duplicates and damages packets; every sample must reach the ring once, in
// order, without a gap, and equal the simulator's sample function. The knobs of single
// faults (counter reset, NAKs, streams out of order, an alien stream, a packet the
// datalogger no longer holds) are each run to the end of a stream as well.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "bytestream/fixtures.h"
#include "kessaro.h"
#include "kessaro_hooks.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Sim;

namespace {

constexpr int kRate = 100, kSamples = 20, kStreams = 3;
const double kT0 = 315532800.0 + 1000000.0;  // the simulator's first sample, epoch seconds

Bytes ready_header() {
  AltusSimHeaderValues v;
  v.numbers = {{"rw_stream.sps", kRate},
               {"rw_stream.SampleRate", kRate},
               {"rw_stream.TxChanMap", (1 << kStreams) - 1},
               {"rw_stream.BufferSize", 500},
               {"rw_stream.TxBlkSize", 100},
               {"rw_stream.Timeout", kStreams * 10 + 6},
               {"rw_stream.DataFmt", 1}};
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_header(0, 1, v, &out), 0);
  return Bytes(out.begin(), out.end());
}

// The samples of one channel in the ring: index (from the simulator's sample 0) -> count.
struct Channel {
  int stream = -1;
  std::map<long, int> seen;
  long wrong = 0;  // samples that differ from the simulator's
};

// The program, a link to the simulator and one datalogger of kStreams stream channels,
// with a ring file for the output.
struct StreamRig {
  StreamRig() {
    static Kessaro *shared = kessaro_new();  // reachable to the end
    altus = shared;
    kessaro_install(altus);
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    // Ten times faster, no more: the line is paced in clock time, and a lost packet must
    // be asked for and resent before the reorder buffer (256 packets, 1.7 s of real time
    // here) slides past it, however slowly the machine runs kessaro and the simulator.
    clock_set_scale(0.1);
    sim.set_params(ready_header());
    int port = sim.listen_tcp();
    sim.start();
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 8192, 30000, 30000, 3, nullptr, nullptr,
                                         Recorder::log, &rec, nullptr, nullptr, nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    // The clock runs ten times fast, TCP's timers do not: a retransmission request
    // held back by the small-write delay would arrive seconds late.
    int on = 1;
    setsockopt(buf.get()->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    modem->name = strdup("tcp1");
    modem->buf_handle = buf.get();
    modem->connected_dl = dl;
    snprintf(dl->model, sizeof dl->model, "K2");
    dl->target_name = strdup("dlA");
    dl->userdata = altus;
    dl->connected_modem = modem;
    dl->stream_timeout = -1;
    dl->altus_stream_buffer_size = 500;
    dl->numStream = kStreams;
    dl->max_strbuf = 256;
    dl->max_strretranbuf = 64;
    dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(256, sizeof(AltusStrbufEntry)));
    dl->order_output_data = 1;
    trace = getenv("VANTREL_TEST_TRACE") != nullptr;  // the stream's sequence log
    if (trace) dl->v_strseq = 1;
    ring = dir.file("stream.ring");
    EXPECT_EQ(orbcreate(ring.c_str(), 1 << 24), 0);
    tag.orbw = orbopen(ring.c_str(), "w");
    rd = orbopen(ring.c_str(), "r");  // before anything is written: reads from the start
    EXPECT_GE(tag.orbw, 0);
    pdef.orbtag = &tag;
    kessaro_copytext(pdef.suffix, "GENC");
    pdef.twin = 10;
    for (int i = 0; i < kStreams; i++) {
      AltusChan &ch = dl->data_chan[1][i];
      ch.outputthischan = 1;
      ch.getcalib = 2;
      ch.calib = 1.0;
      kessaro_copytext(ch.net, "XX");
      kessaro_copytext(ch.sta, "E2E");
      const char name[] = {'H', 'N', "ZNE"[i], 0};
      kessaro_copytext(ch.chan, name);
      ch.pdef = &pdef;
    }
  }
  ~StreamRig() {
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    altus->mtfifo_write = nullptr;
    if (altus->repackage_tbl) {
      // Buffers live to the end of the process (no destructor); keep them reachable.
      static std::vector<void *> &kept = *new std::vector<void *>;
      for (long i = 0; i < maxtbl(altus->repackage_tbl); i++)
        kept.push_back(gettbl(altus->repackage_tbl, i));
      freetbl(altus->repackage_tbl, nullptr);
      altus->repackage_tbl = nullptr;
    }
    orbclose(tag.orbw);
    orbclose(rd);
    modem->buf_handle = nullptr;
    altusdatalogger_free(dl);
    modem_free(modem);
    clock_set_scale(1.0);
    kessaro_install(nullptr);
    elog_clear_register(0);
  }

  // Runs the stream to its end, then writes what it output into the ring (the write
  // thread's work) and reads the ring back.
  std::map<std::string, Channel> run() {
    EXPECT_EQ(getstream0(modem, nullptr), 0);
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *pkt = static_cast<AltusPacket *>(item);
      if (pkt->type == ALTUSPKT_STREAM) repackage_stream_pkt(altus, pkt);
      if (pkt->type == ALTUSPKT_LOG && trace && pkt->data)
        fprintf(stderr, "%s\n", reinterpret_cast<char *>(pkt->data));
      altuspacket_free(pkt);
    }
    flush_repackage_buffers(altus);
    std::map<std::string, Channel> chans;
    ring_each_waveform(rd, [&](const PktChannel *pc) {
      Channel &ch = chans[pc->chan];
      ch.stream = static_cast<int>(strchr("ZNE", pc->chan[2]) - "ZNE");
      const long first = lround((pc->time - kT0) * kRate);
      for (int j = 0; j < pc->nsamp; j++) {
        ch.seen[first + j]++;
        if (pc->data[j] != Sim::stream_sample(ch.stream, static_cast<uint32_t>(first + j)))
          ch.wrong++;
      }
    });
    return chans;
  }

  // Each channel holds one unbroken run of samples, each once and right; returns the
  // shortest run.
  static long check_complete(const std::map<std::string, Channel> &chans) {
    EXPECT_EQ(chans.size(), static_cast<size_t>(kStreams));
    long shortest = -1;
    for (const auto &[name, ch] : chans) {
      SCOPED_TRACE(name);
      EXPECT_EQ(ch.wrong, 0);
      EXPECT_EQ(ch.seen.begin()->first, 0);  // from the first sample after the reset
      long expect = 0, repeated = 0;
      for (const auto &[k, n] : ch.seen) {
        EXPECT_EQ(k, expect) << "gap before sample " << k;
        expect = k + 1;
        repeated += n > 1;
      }
      EXPECT_EQ(repeated, 0);
      long len = static_cast<long>(ch.seen.size());
      if (shortest < 0 || len < shortest) shortest = len;
    }
    return shortest;
  }

  Recorder rec;
  Sim sim;
  Record buf;
  Kessaro *altus = nullptr;
  Modem *modem = modem_new();
  AltusDatalogger *dl = altusdatalogger_new();
  TempDir dir;
  std::string ring;
  Orbtag tag{};
  int rd = -1;
  PacketDef pdef{};
  bool trace = false;
};

TEST(StreamEndToEnd, EverySampleReachesTheRingOnceDespiteALossyLine) {
  StreamRig r;
  Sim &sim = r.sim;
  sim.set_streams(kStreams, kSamples, kRate, kStreams * 10 + 6);
  sim.set_stream_paced(true);  // a line at the sample rate: kessaro keeps up with it
  Sim::StreamFaults f;
  f.seed = 42;
  f.drop = 0.02;
  f.reorder = 0.01;
  f.duplicate = 0.01;
  f.bad_crc = 0.01;
  f.drop_resent = 0.02;
  f.line_drop_at = 3000;
  sim.set_stream_faults(f);
  long shortest = StreamRig::check_complete(r.run());
  Sim::StreamCounts n = sim.stream_counts();
  EXPECT_GT(n.dropped, 0);
  EXPECT_GT(n.reordered, 0);
  EXPECT_GT(n.duplicated, 0);
  EXPECT_GT(n.bad_crc, 0);
  EXPECT_GE(n.strsend, n.dropped + n.bad_crc);  // each loss asked for at least once
  // Most of the stream got through: only what the line took with it at the end is
  // missing.
  EXPECT_GT(shortest, 0.8 * kSamples * n.live / kStreams);
}

TEST(StreamEndToEnd, SingleFaultsLeaveTheStreamWhole) {
  struct Case {
    const char *name;
    Sim::StreamFaults f;
    int buffer;     // the datalogger's resend buffer (-1: the header's)
    bool restarts;  // the coded numbers start again (counter reset): two runs
    bool gap;       // a packet the datalogger no longer holds is given up
  };
  auto at = [](int Sim::StreamFaults::*knob, int n) {
    Sim::StreamFaults f;
    f.*knob = n;
    f.line_drop_at = 600;
    return f;
  };
  Sim::StreamFaults silent;  // longer than kessaro's listening time-out (30 s)
  silent.delay_at = 200;
  silent.delay = 45;
  silent.line_drop_at = 600;
  Sim::StreamFaults lost;
  lost.drop = 0.05;
  lost.seed = 7;
  lost.line_drop_at = 600;
  const Case cases[] = {
      {"streams out of interleaving order", at(&Sim::StreamFaults::swap_at, 200), -1, false, false},
      {"a stream number beyond the configured ones", at(&Sim::StreamFaults::alien_at, 200), -1,
       false, false},
      // A full command queue: the buffers are flushed to the output and the stream ends
      // (FLUSHED), for the scheduling thread to start again.
      {"NAK 0", at(&Sim::StreamFaults::nak0_at, 200), -1, false, false},
      {"NAK 2", at(&Sim::StreamFaults::nak2_at, 200), -1, false, false},
      {"late ACKs of continues", at(&Sim::StreamFaults::late_ack_every, 2), -1, false, false},
      {"a silent line: the stream restarts", silent, -1, false, false},
      // Beyond the reorder buffer behind: taken as a reset, not as packets passed.
      {"a counter reset", at(&Sim::StreamFaults::reset_at, 350), -1, true, false},
      {"lost packets no longer held (NAK 3)", lost, 0, false, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    StreamRig r;
    Sim &sim = r.sim;
    sim.set_streams(kStreams, kSamples, kRate, kStreams * 10 + 6);
    sim.set_stream_paced(true);
    if (c.buffer >= 0) sim.set_stream_buffer(c.buffer);
    sim.set_stream_faults(c.f);
    std::map<std::string, Channel> chans = r.run();
    Sim::StreamCounts n = sim.stream_counts();
    if (c.gap) {
      EXPECT_GT(n.nak3, 0);
      for (const auto &[name, ch] : chans) {
        long holes = 0;
        for (auto it = ch.seen.begin(); std::next(it) != ch.seen.end(); ++it)
          holes += std::next(it)->first != it->first + 1;
        EXPECT_GT(holes, 0) << name;  // given up, and the stream went on past it
        EXPECT_EQ(ch.wrong, 0);
      }
    } else if (c.restarts) {
      // The sequence starts again but the datalogger's sample clock runs on: no sample
      // twice, none wrong.
      for (const auto &[name, ch] : chans) {
        EXPECT_EQ(ch.wrong, 0) << name;
        EXPECT_EQ(ch.seen.begin()->first, 0) << name;
        long twice = 0;
        for (const auto &[k, n] : ch.seen) twice += n > 1;
        EXPECT_EQ(twice, 0) << name;
      }
    } else {
      StreamRig::check_complete(chans);
    }
    if (strcmp(c.name, "NAK 0") == 0) {
      EXPECT_LT(n.live, 300);  // ended soon after the NAK
    } else {
      EXPECT_GT(n.live, 500);  // ran to the line drop
    }
  }
}

}  // namespace
