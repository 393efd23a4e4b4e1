// Demultiplexing an Altus event file: the 18-channel, 200 samples/s, 5-minute file the
// repackager reads, checked and unpacked from memory into a reused matrix.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "altusevtsubs.h"
#include "altussim_evtwriter.h"

namespace {

std::vector<uint8_t> &bench_file() {
  static std::vector<uint8_t> f = [] {
    std::vector<uint8_t> v;
    if (altussim_evt_bench_file(&v) != 0) abort();
    return v;
  }();
  return f;
}

void BM_CheckEvtFile(benchmark::State &state) {
  auto &f = bench_file();
  for (auto _ : state) {
    if (check_evt_file(f.data(), static_cast<int>(f.size()), 1) != 0) abort();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(f.size()));
}
BENCHMARK(BM_CheckEvtFile)->Unit(benchmark::kMillisecond);

void BM_DemuxEvtFile(benchmark::State &state) {
  auto &f = bench_file();
  int *matrix = nullptr;
  int msize = 0;
  for (auto _ : state) {
    unsigned char *p = f.data();
    const unsigned char *end = f.data() + f.size();
    AltusEvtTag tag;
    AltusEvtFile hdr;
    int be, size, dsize, nframes, nsamps, nchans;
    unsigned short chk, sum;
    if (evt_readtag(nullptr, &p, end, &tag, &be, &size, &dsize, &chk) != 0 ||
        evt_readaltusfilehdr(nullptr, &p, end, &hdr, size, be, 1, &sum, &nframes) != 0 ||
        evt_demuxdata(nullptr, &p, end, &hdr, &nsamps, &nchans, &matrix, &msize) != 0)
      abort();
    benchmark::DoNotOptimize(matrix);
  }
  free(matrix);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 18 * 60000);
}
BENCHMARK(BM_DemuxEvtFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
