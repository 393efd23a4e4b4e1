// Encoding and decoding speed of a typical waveform packet: six channels at 100 samples
// per second, one second each (an MGENC packet of a three-component broadband and a
// three-component strong-motion sensor). Counters: samples per second, and bytes per
// packet on the wire (4 bytes per sample uncoded).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/tbl.h"
#include "packet/pkt.h"

namespace {

constexpr int kChannels = 6;
constexpr int kRate = 100;

// Six channels of microseism-like samples: a few slow sines with a little
// pseudo-random noise, in the range of a 24-bit datalogger.
Packet *make_packet() {
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("MGENC");
  const char *chans[kChannels] = {"HHZ", "HHN", "HHE", "HNZ", "HNN", "HNE"};
  unsigned noise = 12345;
  for (int c = 0; c < kChannels; c++) {
    PktChannel *ch = newPktChannel();
    strcpy(ch->net, "AZ");
    strcpy(ch->sta, "PFO");
    strcpy(ch->chan, chans[c]);
    strcpy(ch->segtype, c < 3 ? "V" : "A");
    ch->time = 1704067200.0;
    ch->samprate = kRate;
    ch->calib = 0.3;
    ch->calper = 1.0;
    ch->nsamp = ch->datasz = kRate;
    ch->data = static_cast<int32_t *>(malloc(kRate * sizeof(int32_t)));
    for (int i = 0; i < kRate; i++) {
      noise = noise * 1103515245u + 12345u;
      double t = i / static_cast<double>(kRate);
      double v = 20000 * std::sin(2 * M_PI * 0.2 * t + c) + 3000 * std::sin(2 * M_PI * 7 * t) +
                 static_cast<int>((noise >> 16) % 401) - 200;
      ch->data[i] = static_cast<int32_t>(v);
    }
    pushtbl(pkt->channels, ch);
  }
  pkt->nchannels = kChannels;
  return pkt;
}

void BM_stuffPkt(benchmark::State &state) {
  Packet *pkt = make_packet();
  char *buffer = nullptr;
  int nbytes = 0, bufsize = 0;
  char srcname[PKT_SRCNAME_SIZE];
  double time;
  for (auto _ : state) {
    if (stuffPkt(pkt, srcname, &time, &buffer, &nbytes, &bufsize) != 0)
      state.SkipWithError("stuffPkt");
    benchmark::DoNotOptimize(buffer);
  }
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChannels * kRate, benchmark::Counter::kIsRate);
  state.counters["bytes/packet"] = nbytes;
  free(buffer);
  freePkt(pkt);
}
BENCHMARK(BM_stuffPkt);

void BM_unstuffPkt(benchmark::State &state) {
  Packet *pkt = make_packet();
  char *buffer = nullptr;
  int nbytes = 0, bufsize = 0;
  stuffPkt(pkt, nullptr, nullptr, &buffer, &nbytes, &bufsize);
  Packet *out = nullptr;
  for (auto _ : state) {
    if (unstuffPkt("AZ_PFO/MGENC", 1704067200.0, buffer, nbytes, &out) != Pkt_wf) {
      state.SkipWithError("unstuffPkt");
    }
    benchmark::DoNotOptimize(out);
  }
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kChannels * kRate, benchmark::Counter::kIsRate);
  state.counters["bytes/packet"] = nbytes;
  freePkt(out);
  free(buffer);
  freePkt(pkt);
}
BENCHMARK(BM_unstuffPkt);

}  // namespace

BENCHMARK_MAIN();
