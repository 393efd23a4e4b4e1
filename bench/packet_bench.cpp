// packet_bench.cpp - the sample code of the packet library against Steim-2.
//
// Two sample sets, 1000-sample GENC packets:
//  - "broadband": a broadband seismic record, microseisms with an earthquake in them: first
//    differences from 2 to 23 bits;
//  - "quiet": a quiet station, differences within +-8.
// BM_stuffPkt/BM_unstuffPkt time the whole packet (header, channel fields, source name
// and samples); BM_CodeEncode/BM_CodeDecode the sample code alone; BM_Steim2Encode/
// BM_Steim2Decode the reference Steim-2 coder of libmseed on the same samples (built only
// where libmseed is installed). Counters: samples/s, and bytes per sample (the whole
// packet for stuffPkt, the coded samples for the code alone, the Steim-2 frames used for
// the reference).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/tbl.h"
#include "packet/pkt.h"
#include "packet/pkt_wire.h"

#ifdef VANTREL_HAVE_MSEED
// libmseed 2 exports its Steim-2 coder without declaring it in libmseed.h.
extern "C" {
int msr_encode_steim2(int32_t *input, int samplecount, int32_t *output, int outputlength,
                      int32_t diff0, char *sid, int swapflag);
int msr_decode_steim2(int32_t *input, int inputlength, int samplecount, int32_t *output,
                      int outputlength, char *srcname, int swapflag);
}
#endif

namespace {

constexpr int kSamples = 1000;
constexpr int kPackets = 64;  // packets of a set, one after the other in the record

unsigned g_noise = 12345;
double noise() {  // uniform in [-1, 1)
  g_noise = g_noise * 1103515245u + 12345u;
  return (double)((g_noise >> 8) & 0xFFFF) / 32768.0 - 1.0;
}

// kPackets * kSamples samples of each set.
std::vector<int32_t> broadband_record() {
  std::vector<int32_t> s((size_t)kPackets * kSamples);
  g_noise = 12345;
  double prev = 0;
  for (size_t i = 0; i < s.size(); i++) {
    double t = (double)i / 40.0;  // 40 samples/s
    // Microseisms and noise; an earthquake at a third of the record whose coda decays
    // over the rest, from about 2^22 counts down to the background.
    double v = 3000 * std::sin(2 * M_PI * 0.15 * t) + 40 * noise();
    double since = t - s.size() / 40.0 / 3;
    if (since > 0) {
      double env = 4.0e6 * std::exp(-since / 120.0);
      v += env * (std::sin(2 * M_PI * 1.3 * t) * 0.6 + std::sin(2 * M_PI * 4.7 * t) * 0.3 +
                  0.1 * noise());
    }
    prev = v;
    s[i] = (int32_t)std::lround(prev);
  }
  return s;
}

std::vector<int32_t> quiet_record() {
  std::vector<int32_t> s((size_t)kPackets * kSamples);
  g_noise = 777;
  int32_t v = 1200;
  for (size_t i = 0; i < s.size(); i++) {
    v += (int32_t)std::lround(noise() * 8.4) % 9;
    s[i] = v;
  }
  return s;
}

const std::vector<int32_t> &record(int set) {
  static const std::vector<int32_t> bb = broadband_record(), quiet = quiet_record();
  return set == 0 ? bb : quiet;
}

Packet *make_packet(const int32_t *samples) {
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("GENC");
  PktChannel *ch = newPktChannel();
  strcpy(ch->net, "AZ");
  strcpy(ch->sta, "PFO");
  strcpy(ch->chan, "BHZ");
  strcpy(ch->segtype, "V");
  ch->time = 1704067200.0;
  ch->samprate = 40;
  ch->calib = 0.3;
  ch->calper = 1.0;
  ch->nsamp = ch->datasz = kSamples;
  ch->data = static_cast<int32_t *>(malloc(kSamples * sizeof(int32_t)));
  memcpy(ch->data, samples, kSamples * sizeof(int32_t));
  pushtbl(pkt->channels, ch);
  pkt->nchannels = 1;
  return pkt;
}

const char *set_name(int set) { return set == 0 ? "broadband" : "quiet"; }

void BM_stuffPkt(benchmark::State &state) {
  int set = (int)state.range(0);
  std::vector<Packet *> pkts;
  for (int i = 0; i < kPackets; i++)
    pkts.push_back(make_packet(&record(set)[(size_t)i * kSamples]));
  char *buffer = nullptr;
  int nbytes = 0, bufsize = 0;
  char srcname[PKT_SRCNAME_SIZE];
  double time;
  int64_t bytes = 0;
  size_t k = 0;
  for (auto _ : state) {
    if (stuffPkt(pkts[k], srcname, &time, &buffer, &nbytes, &bufsize) != 0)
      state.SkipWithError("stuffPkt");
    benchmark::DoNotOptimize(buffer);
    bytes += nbytes;
    k = (k + 1) % pkts.size();
  }
  state.SetLabel(set_name(set));
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
  state.counters["bytes/sample"] = (double)bytes / ((double)state.iterations() * kSamples);
  free(buffer);
  for (Packet *p : pkts) freePkt(p);
}
BENCHMARK(BM_stuffPkt)->Arg(0)->Arg(1);

void BM_unstuffPkt(benchmark::State &state) {
  int set = (int)state.range(0);
  std::vector<std::vector<char>> coded;
  for (int i = 0; i < kPackets; i++) {
    Packet *pkt = make_packet(&record(set)[(size_t)i * kSamples]);
    char *buffer = nullptr;
    int nbytes = 0, bufsize = 0;
    stuffPkt(pkt, nullptr, nullptr, &buffer, &nbytes, &bufsize);
    coded.emplace_back(buffer, buffer + nbytes);
    free(buffer);
    freePkt(pkt);
  }
  Packet *out = nullptr;
  int64_t bytes = 0;
  size_t k = 0;
  for (auto _ : state) {
    const std::vector<char> &c = coded[k];
    if (unstuffPkt("AZ_PFO_BHZ/GENC", 1704067200.0, c.data(), (int)c.size(), &out) != Pkt_wf)
      state.SkipWithError("unstuffPkt");
    benchmark::DoNotOptimize(out);
    bytes += (int64_t)c.size();
    k = (k + 1) % coded.size();
  }
  // The decoded samples must be the record's.
  if (out && memcmp(static_cast<PktChannel *>(gettbl(out->channels, 0))->data,
                    &record(set)[((k + coded.size() - 1) % coded.size()) * kSamples],
                    kSamples * sizeof(int32_t)) != 0)
    state.SkipWithError("decoded samples differ");
  state.SetLabel(set_name(set));
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
  state.counters["bytes/sample"] = (double)bytes / ((double)state.iterations() * kSamples);
  freePkt(out);
}
BENCHMARK(BM_unstuffPkt)->Arg(0)->Arg(1);

void BM_CodeEncode(benchmark::State &state) {
  int set = (int)state.range(0);
  const std::vector<int32_t> &rec = record(set);
  std::vector<uint8_t> out(pktwire::blocks_bound(kSamples));
  int64_t bytes = 0;
  size_t k = 0;
  for (auto _ : state) {
    uint8_t *end = pktwire::put_blocks(out.data(), &rec[k * kSamples], kSamples);
    benchmark::DoNotOptimize(out.data());
    bytes += end - out.data();
    k = (k + 1) % kPackets;
  }
  state.SetLabel(set_name(set));
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
  state.counters["bytes/sample"] = (double)bytes / ((double)state.iterations() * kSamples);
}
BENCHMARK(BM_CodeEncode)->Arg(0)->Arg(1);

void BM_CodeDecode(benchmark::State &state) {
  int set = (int)state.range(0);
  const std::vector<int32_t> &rec = record(set);
  std::vector<std::vector<uint8_t>> coded;
  for (int k = 0; k < kPackets; k++) {
    std::vector<uint8_t> c(pktwire::blocks_bound(kSamples));
    c.resize(
        (size_t)(pktwire::put_blocks(c.data(), &rec[(size_t)k * kSamples], kSamples) - c.data()));
    coded.push_back(c);
  }
  std::vector<int32_t> out(kSamples);
  int64_t bytes = 0;
  size_t k = 0;
  for (auto _ : state) {
    if (!pktwire::get_blocks(coded[k].data(), coded[k].size(), out.data(), kSamples))
      state.SkipWithError("get_blocks");
    benchmark::DoNotOptimize(out.data());
    bytes += (int64_t)coded[k].size();
    k = (k + 1) % coded.size();
  }
  if (memcmp(out.data(), &rec[((k + coded.size() - 1) % coded.size()) * kSamples],
             kSamples * sizeof(int32_t)) != 0)
    state.SkipWithError("decoded samples differ");
  state.SetLabel(set_name(set));
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
  state.counters["bytes/sample"] = (double)bytes / ((double)state.iterations() * kSamples);
}
BENCHMARK(BM_CodeDecode)->Arg(0)->Arg(1);

#ifdef VANTREL_HAVE_MSEED
constexpr int kFrameWords = 16;
constexpr int kMaxFrames = kSamples;  // far more than 1000 samples need

// Steim-2 frames of one packet's samples: the frames up to the last one the coder
// wrote to (it fills them in order, starting from zeroed frames).
std::vector<int32_t> steim2(const int32_t *samples, int32_t diff0) {
  std::vector<int32_t> in(samples, samples + kSamples);
  std::vector<int32_t> frames((size_t)kMaxFrames * kFrameWords, 0);
  char sid[] = "AZ_PFO_BHZ";
  int n = msr_encode_steim2(in.data(), kSamples, frames.data(), (int)(frames.size() * 4), diff0,
                            sid, 1);
  if (n != kSamples) abort();
  size_t used = frames.size();
  while (used > 0 && frames[used - 1] == 0) used--;
  used = (used + kFrameWords - 1) / kFrameWords * kFrameWords;
  frames.resize(used);
  return frames;
}

void BM_Steim2Encode(benchmark::State &state) {
  int set = (int)state.range(0);
  const std::vector<int32_t> &rec = record(set);
  std::vector<int32_t> in(kSamples);
  std::vector<int32_t> frames((size_t)kMaxFrames * kFrameWords);
  std::vector<int64_t> used;  // bytes of each packet's frames, measured before the timing
  for (int k = 0; k < kPackets; k++) {
    const int32_t *s = &rec[(size_t)k * kSamples];
    used.push_back((int64_t)steim2(s, k == 0 ? 0 : s[0] - s[-1]).size() * 4);
  }
  char sid[] = "AZ_PFO_BHZ";
  int64_t bytes = 0;
  size_t k = 0;
  for (auto _ : state) {
    const int32_t *s = &rec[k * kSamples];
    memcpy(in.data(), s, kSamples * sizeof(int32_t));  // the coder's input is not const
    int32_t diff0 = k == 0 ? 0 : s[0] - s[-1];
    if (msr_encode_steim2(in.data(), kSamples, frames.data(), (int)(frames.size() * 4), diff0, sid,
                          1) != kSamples)
      state.SkipWithError("msr_encode_steim2");
    benchmark::DoNotOptimize(frames.data());
    bytes += (int64_t)used[k];
    k = (k + 1) % kPackets;
  }
  state.SetLabel(set_name(set));
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
  state.counters["bytes/sample"] = (double)bytes / ((double)state.iterations() * kSamples);
}
BENCHMARK(BM_Steim2Encode)->Arg(0)->Arg(1);

void BM_Steim2Decode(benchmark::State &state) {
  int set = (int)state.range(0);
  const std::vector<int32_t> &rec = record(set);
  std::vector<std::vector<int32_t>> coded;
  for (int k = 0; k < kPackets; k++) {
    const int32_t *s = &rec[(size_t)k * kSamples];
    coded.push_back(steim2(s, k == 0 ? 0 : s[0] - s[-1]));
  }
  std::vector<int32_t> out(kSamples);
  std::vector<int32_t> work;
  char sid[] = "AZ_PFO_BHZ";
  int64_t bytes = 0;
  size_t k = 0;
  for (auto _ : state) {
    // The decoder swaps the frames in place: it gets a copy, as it would a record.
    work = coded[k];
    if (msr_decode_steim2(work.data(), (int)(work.size() * 4), kSamples, out.data(),
                          (int)(out.size() * 4), sid, 1) != kSamples)
      state.SkipWithError("msr_decode_steim2");
    benchmark::DoNotOptimize(out.data());
    bytes += (int64_t)coded[k].size() * 4;
    k = (k + 1) % coded.size();
  }
  if (memcmp(out.data(), &rec[((k + coded.size() - 1) % coded.size()) * kSamples],
             kSamples * sizeof(int32_t)) != 0)
    state.SkipWithError("decoded samples differ");
  state.SetLabel(set_name(set));
  state.counters["samples/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kSamples, benchmark::Counter::kIsRate);
  state.counters["bytes/sample"] = (double)bytes / ((double)state.iterations() * kSamples);
}
BENCHMARK(BM_Steim2Decode)->Arg(0)->Arg(1);
#endif

}  // namespace

BENCHMARK_MAIN();
