// Expansion speed of the Q330 compressed frames (q330_convert_frame plus integration), in
// samples per second, against a Steim-2 reference on the same samples: the decoder of the
// system's miniSEED library, fed 512-byte records that its own packer made.
//
// The corpus mixes what a datalogger sends at 100 samples per second: seismic noise of a
// few thousand counts, steps of a million counts, and quiet data that packs 7 differences
// to a word. Q330 blocks are one second each, as the datalogger sends them. The argument is
// the length of the corpus in seconds.
#include <benchmark/benchmark.h>
#include <libmseed.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "benchkit.h"
#include "q330pkt.h"
#include "q330sim_frames.h"

// The bare Steim-2 decoder of the library (exported, not declared in its public header).
extern "C" int msr_decode_steim2(int32_t *input, int inputlength, int samplecount, int32_t *output,
                                 int outputlength, char *srcname, int swapflag);

namespace {

constexpr int kRate = 100;

std::vector<int32_t> make_corpus(int seconds) {
  std::mt19937 rng(2000);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<int32_t> s;
  double slow = 0.0;
  int32_t level = 0;
  for (int sec = 0; sec < seconds; sec++) {
    int kind = sec % 4;  // 0, 1 noise; 2 noise with a step; 3 quiet
    for (int i = 0; i < kRate; i++) {
      int32_t v;
      if (kind == 3) {
        v = level + static_cast<int32_t>(noise(rng) * 1.5);
      } else {
        slow = 0.95 * slow + noise(rng) * 400.0;
        if (kind == 2 && i == kRate / 2) level += (sec / 4) % 2 == 0 ? 1000000 : -1000000;
        v = level + static_cast<int32_t>(slow + noise(rng) * 300.0);
      }
      s.push_back(v);
    }
  }
  return s;
}

struct Q330Block {
  int32_t previous;
  uint16_t size_of_data, size_of_cmap;
  std::vector<unsigned int> words;
};

struct Corpus {
  std::vector<int32_t> samples;
  std::vector<Q330Block> blocks;
  std::vector<std::vector<char>> records;  // Steim-2, 512 bytes each
  std::vector<int> record_samples;
  std::vector<int> record_data_offset;
  size_t q330_bytes = 0;
};

void keep_record(char *record, int reclen, void *user) {
  auto *c = static_cast<Corpus *>(user);
  c->records.emplace_back(record, record + reclen);
}

const Corpus &corpus(int seconds) {
  static std::map<int, Corpus> made;
  auto it = made.find(seconds);
  if (it != made.end()) return it->second;
  Corpus &c = made[seconds];
  c.samples = make_corpus(seconds);

  int32_t previous = 0;
  for (int sec = 0; sec < seconds; sec++) {
    const int32_t *s = &c.samples[static_cast<size_t>(sec) * kRate];
    std::vector<uint8_t> b;
    if (q330sim_frames_blk6(0, 0, s, kRate, previous, {}, &b) != 0) abort();
    c.q330_bytes += b.size();
    Q330Block blk;
    blk.words.resize(260);
    unsigned int *pool = blk.words.data();
    int free_words = 260;
    Q330DATABLK6Pkt d;
    unsigned char *p = b.data();
    if (q330_decode_DATABLK6(&d, &p, static_cast<int>(b.size()), &pool, &free_words) != 0) abort();
    blk.previous = d.previous_sample;
    blk.size_of_data = d.size_of_data;
    blk.size_of_cmap = d.size_of_cmap;
    c.blocks.push_back(std::move(blk));
    previous = s[kRate - 1];
  }

  MSRecord *msr = msr_init(nullptr);
  strcpy(msr->network, "XX");
  strcpy(msr->station, "TEST");
  strcpy(msr->channel, "HHZ");
  msr->reclen = 512;
  msr->encoding = DE_STEIM2;
  msr->byteorder = 1;
  msr->samprate = kRate;
  msr->starttime = ms_seedtimestr2hptime(const_cast<char *>("2024,001,00:00:00.000000"));
  msr->datasamples = c.samples.data();
  msr->numsamples = static_cast<int64_t>(c.samples.size());
  msr->sampletype = 'i';
  int64_t packed = 0;
  msr_pack(msr, keep_record, &c, &packed, 1, 0);
  msr->datasamples = nullptr;
  msr_free(&msr);
  if (packed != static_cast<int64_t>(c.samples.size())) abort();

  // Learn each record's sample count and data offset, and check the unpacked samples.
  std::vector<int32_t> check;
  for (auto &rec : c.records) {
    MSRecord *u = nullptr;
    if (msr_unpack(rec.data(), 512, &u, 1, 0) != MS_NOERROR) abort();
    c.record_samples.push_back(static_cast<int>(u->numsamples));
    c.record_data_offset.push_back(u->fsdh->data_offset);
    auto *d = static_cast<int32_t *>(u->datasamples);
    check.insert(check.end(), d, d + u->numsamples);
    msr_free(&u);
  }
  if (check != c.samples) abort();
  return c;
}

void BM_q330_expand(benchmark::State &state) {
  const Corpus &c = corpus(static_cast<int>(state.range(0)));
  std::vector<int> diffs(1000 * 7);
  std::vector<int32_t> out(c.samples.size());
  for (auto _ : state) {
    int32_t *o = out.data();
    for (const Q330Block &b : c.blocks) {
      int n = q330_convert_frame(b.size_of_data, b.size_of_cmap, b.words.data(), diffs.data());
      uint32_t x = static_cast<uint32_t>(b.previous);
      for (int i = 0; i < n; i++) {
        x += static_cast<uint32_t>(diffs[static_cast<size_t>(i)]);
        o[i] = static_cast<int32_t>(x);
      }
      o += n;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != c.samples) state.SkipWithError("expansion differs from the samples");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.samples.size()));
  state.counters["bytes_per_sample"] =
      static_cast<double>(c.q330_bytes) / static_cast<double>(c.samples.size());
}

void BM_steim2_decode(benchmark::State &state) {
  const Corpus &c = corpus(static_cast<int>(state.range(0)));
  std::vector<int32_t> out(c.samples.size());
  char srcname[] = "XX_TEST__HHZ";
  for (auto _ : state) {
    int32_t *o = out.data();
    for (size_t r = 0; r < c.records.size(); r++) {
      int off = c.record_data_offset[r];
      auto *frames = reinterpret_cast<int32_t *>(const_cast<char *>(c.records[r].data()) + off);
      int n = c.record_samples[r];
      if (msr_decode_steim2(frames, 512 - off, n, o, n * 4, srcname, 1) != n) abort();
      o += n;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  if (out != c.samples) state.SkipWithError("Steim-2 decode differs from the samples");
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.samples.size()));
  state.counters["bytes_per_sample"] =
      static_cast<double>(c.records.size() * 512) / static_cast<double>(c.samples.size());
}

// The whole record path of the library: header, blockettes, allocation and decoding.
void BM_steim2_unpack_record(benchmark::State &state) {
  const Corpus &c = corpus(static_cast<int>(state.range(0)));
  std::vector<std::vector<char>> records = c.records;
  MSRecord *msr = nullptr;
  for (auto _ : state) {
    for (auto &rec : records) {
      if (msr_unpack(rec.data(), 512, &msr, 1, 0) != MS_NOERROR) abort();
      benchmark::DoNotOptimize(msr->datasamples);
    }
  }
  msr_free(&msr);
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(c.samples.size()));
}

}  // namespace

// Seconds of samples in the corpus, smallest first.
void corpus_seconds(benchmark::internal::Benchmark *b) { bench_sizes(b, {20, 3600}); }

BENCHMARK(BM_q330_expand)->Apply(corpus_seconds);
BENCHMARK(BM_steim2_decode)->Apply(corpus_seconds);
BENCHMARK(BM_steim2_unpack_record)->Apply(corpus_seconds);
BENCHMARK_MAIN();
