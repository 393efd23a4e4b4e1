// kessaro's stream acquisition against the simulated datalogger running as fast as it can
// over loopback TCP: 6 streams of 100 samples/s in packets of 100 samples, 2 % of the live
// packets lost and 1 % reordered, for a given span of data (an hour; a minute in smoke
// mode). A consumer thread takes the write queue as the write thread would and checks
// that every packet of every stream comes once, in order, with the simulator's samples;
// a missing or repeated packet fails the run.
//
// Counters: packets/s through getstream0, CPU per packet of the acquiring thread, the
// write queue's high-water mark, and the retransmission requests against the losses.
// Reference, in the same run: the same simulated line read by a bare reader that only
// counts frames (what the line and the simulator can carry at most).
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "benchkit.h"
#include "bytestream/serialbuf.h"
#include "kessaro.h"
#include "kessaro_hooks.h"

namespace {

using altussim::Bytes;
using altussim::Sim;

constexpr int kStreams = 6, kRate = 100, kSamples = 100;
constexpr int kLineBuffer = 8192;  // socket buffers of the line, each way

void span_sizes(benchmark::internal::Benchmark *b) { bench_sizes(b, {60, 3600}); }

Bytes ready_header() {
  AltusSimHeaderValues v;
  v.numbers = {{"rw_stream.sps", kRate},
               {"rw_stream.SampleRate", kRate},
               {"rw_stream.TxChanMap", (1 << kStreams) - 1},
               {"rw_stream.BufferSize", 4000},
               {"rw_stream.TxBlkSize", 100},
               {"rw_stream.Timeout", kStreams * 10 + 6},
               {"rw_stream.DataFmt", 1}};
  std::vector<uint8_t> out;
  altussim_evt_header(0, 1, v, &out);
  return Bytes(out.begin(), out.end());
}

double thread_cpu() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

void small_buffers(int fd) {
  int n = kLineBuffer, on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &n, sizeof n);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Takes the write queue until told to stop, checking every stream packet.
struct Consumer {
  Pmtfifo *fifo;
  std::atomic<bool> stop{false};
  bool trace = getenv("VANTREL_BENCH_TRACE") != nullptr;  // the stream's own log
  long packets = 0, bad = 0, high_water = 0;
  std::vector<long> next = std::vector<long>(kStreams, 0);  // next dataSeq per stream
  std::thread thread{[this] { run(); }};
  void run() {
    for (;;) {
      int queued = pmtfifo_data_available(fifo);
      if (queued > high_water) high_water = queued;
      void *item = nullptr;
      if (pmtfifo_pop(fifo, &item) != 1) {
        if (stop) return;
        clock_sleep(0.0005);
        continue;
      }
      auto *pkt = static_cast<AltusPacket *>(item);
      if (pkt->type == ALTUSPKT_STREAM) check(reinterpret_cast<AltusBlockStrdata *>(pkt->data));
      if (pkt->type == ALTUSPKT_LOG && trace && pkt->data)
        fprintf(stderr, "%s\n", reinterpret_cast<char *>(pkt->data));
      altuspacket_free(pkt);
    }
  }
  void check(const AltusBlockStrdata *b) {
    packets++;
    if (b->stream >= kStreams) {
      bad++;
      return;
    }
    long &n = next[b->stream];
    if (static_cast<long>(b->dataSeq) != n) bad++;  // missing or repeated
    n = static_cast<long>(b->dataSeq) + 1;
    for (int k = 0; k < b->nsamp; k++)
      if (b->data[k] != Sim::stream_sample(b->stream, b->dataSeq * kSamples + k)) {
        bad++;
        break;
      }
  }
  void finish() {
    stop = true;
    thread.join();
  }
};

void BM_StreamAcquisition(benchmark::State &state) {
  const long live = state.range(0) * kStreams * kRate / kSamples;  // packets of the span
  static Kessaro *altus = kessaro_new();  // one program record for the process
  kessaro_install(altus);
  double packets = 0, seconds = 0, cpu = 0;
  long high_water = 0, bad = 0;
  Sim::StreamCounts counts;
  for (auto _ : state) {
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    Sim sim;
    sim.set_params(ready_header());
    sim.set_streams(kStreams, kSamples, kRate, kStreams * 10 + 6);
    sim.set_send_buffer(kLineBuffer);
    Sim::StreamFaults f;
    f.seed = 2026;
    f.drop = 0.02;
    f.reorder = 0.01;
    f.line_drop_at = static_cast<int>(live) + 1;
    sim.set_stream_faults(f);
    int port = sim.listen_tcp();
    sim.start();
    SerialBuf *buf =
        serialbuf_create_tcpclient("127.0.0.1", port, 65536, 5000, 5000, 3, nullptr, nullptr,
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    if (buf == nullptr || serialbuf_connect(buf, 0, nullptr) != 0) {
      state.SkipWithError("no connection to the simulator");
      break;
    }
    small_buffers(buf->fd);
    Modem *modem = modem_new();
    AltusDatalogger *dl = altusdatalogger_new();
    modem->name = strdup("tcp1");
    modem->buf_handle = buf;
    modem->connected_dl = dl;
    dl->connected_modem = modem;
    dl->userdata = altus;
    dl->target_name = strdup("dlA");
    snprintf(dl->model, sizeof dl->model, "K2");
    dl->stream_timeout = -1;
    dl->altus_stream_buffer_size = 4000;
    dl->numStream = kStreams;
    dl->max_strbuf = 2048;
    dl->max_strretranbuf = 256;
    dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(2048, sizeof(AltusStrbufEntry)));
    dl->order_output_data = 1;
    for (int i = 0; i < kStreams; i++) dl->data_chan[1][i].outputthischan = 1;

    Consumer consumer{altus->mtfifo_write};
    const double t0 = clock_monotonic(), c0 = thread_cpu();
    getstream0(modem, nullptr);
    seconds += clock_monotonic() - t0;
    cpu += thread_cpu() - c0;
    consumer.finish();
    packets += consumer.packets;
    high_water = std::max(high_water, consumer.high_water);
    bad += consumer.bad;
    counts = sim.stream_counts();
    // Only the end (held behind a gap when the line closed) may be short.
    if (consumer.packets < live * 9 / 10) bad++;

    modem->buf_handle = nullptr;
    altusdatalogger_free(dl);
    modem_free(modem);
    serialbuf_destroy(buf);
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    altus->mtfifo_write = nullptr;
    sim.stop();
  }
  elog_clear_register(0);
  if (bad > 0) {
    state.SkipWithError("a stream packet was missing, repeated or wrong");
    return;
  }
  state.counters["packets_per_s"] = packets / seconds;
  state.counters["cpu_us_per_packet"] = 1e6 * cpu / packets;
  state.counters["queue_high_water"] = static_cast<double>(high_water);
  state.counters["losses"] = static_cast<double>(counts.dropped);
  state.counters["reordered"] = static_cast<double>(counts.reordered);
  state.counters["strsend"] = static_cast<double>(counts.strsend);
  state.counters["nak3"] = static_cast<double>(counts.nak3);
}
BENCHMARK(BM_StreamAcquisition)->Apply(span_sizes)->Iterations(1)->Unit(benchmark::kMillisecond);

// Reference: the same line, no faults, no continues needed, read by a reader that only
// counts frame ends.
void BM_LineReference(benchmark::State &state) {
  const long live = state.range(0) * kStreams * kRate / kSamples;
  double frames = 0, seconds = 0;
  for (auto _ : state) {
    Sim sim;
    sim.set_params(ready_header());
    sim.set_streams(kStreams, kSamples, kRate, 0);
    sim.set_send_buffer(kLineBuffer);
    int port = sim.listen_tcp();
    sim.start();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    small_buffers(fd);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
      state.SkipWithError("no connection to the simulator");
      close(fd);
      break;
    }
    // STRCTRL 1 (start), framed by the simulator's own helpers.
    Bytes start = altussim::frame(altussim::packet(32, 1, {1}));
    if (write(fd, start.data(), start.size()) != static_cast<ssize_t>(start.size())) {
      state.SkipWithError("cannot start the stream");
      close(fd);
      break;
    }
    const double t0 = clock_monotonic();
    long ends = 0;
    std::vector<unsigned char> b(65536);
    while (ends < 2 * (live + 1)) {  // two frame ends a packet, and the ACK
      ssize_t n = read(fd, b.data(), b.size());
      if (n <= 0) break;
      for (ssize_t i = 0; i < n; i++) ends += b[static_cast<size_t>(i)] == 0xC0;
    }
    seconds += clock_monotonic() - t0;
    frames += static_cast<double>(ends / 2);
    close(fd);
    sim.stop();
  }
  state.counters["packets_per_s"] = frames / seconds;
}
BENCHMARK(BM_LineReference)->Apply(span_sizes)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
