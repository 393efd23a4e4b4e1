// The repackager on the write thread's load: 18 channels at 200 samples/s handed over in
// 1-s blocks, gathered into 60-s MGENC packets written to a ring file. One iteration is
// one window: 1080 puts and the flush that writes their packet.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "repackage.h"
#include "ring/orb.h"

namespace {

// A ring file of 64 MiB in a fresh temporary folder, open for writing; removed at the end.
struct BenchRing {
  char dir[32] = "/tmp/repackage_bench.XXXXXX";
  std::string path;
  int orb = -1;
  BenchRing() {
    if (mkdtemp(dir) == nullptr) abort();
    path = std::string(dir) + "/bench.ring";
    if (orbcreate(path.c_str(), 64 << 20) != 0) abort();
    orb = orbopen(path.c_str(), "w");
    if (orb < 0) abort();
  }
  ~BenchRing() {
    orbclose(orb);
    remove(path.c_str());
    remove(dir);
  }
};

void BM_RepackageWindow(benchmark::State &state) {
  const int nchan = 18, rate = 200, twin = 60;
  BenchRing r;
  const int orb = r.orb;
  RepackageBuf *buf = repackage_create(twin, "MGENC", "", orb, nullptr, nullptr);
  if (buf == nullptr) abort();
  std::vector<int> block(rate);
  for (int i = 0; i < rate; i++) block[i] = (i * 7919) % 4096 - 2048;
  std::vector<std::string> chans;
  for (int c = 0; c < nchan; c++) chans.push_back("HN" + std::to_string(c));
  double t = 1704067200.0;
  for (auto _ : state) {
    for (int s = 0; s < twin; s++, t += 1.0) {
      for (int c = 0; c < nchan; c++) {
        if (repackage_put(buf, "XX", "STA", chans[c].c_str(), "", t, 1.0 / rate, 1.0, 1.0, "A",
                          rate, block.data()) != 0)
          abort();
      }
    }
    repackage_flush(buf);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * nchan * rate * twin);
}
BENCHMARK(BM_RepackageWindow)->Unit(benchmark::kMillisecond);

// The floor for the row above: the window's samples gathered by plain copies and written
// to the ring file as one packet of raw 4-byte samples, with no compression and no
// channel bookkeeping.
void BM_RingPutReference(benchmark::State &state) {
  const int nchan = 18, rate = 200, twin = 60;
  BenchRing r;
  const int orb = r.orb;
  std::vector<int> block(rate);
  for (int i = 0; i < rate; i++) block[i] = (i * 7919) % 4096 - 2048;
  std::vector<int> window((size_t)nchan * rate * twin);
  double t = 1704067200.0;
  for (auto _ : state) {
    for (int s = 0; s < twin; s++)
      for (int c = 0; c < nchan; c++)
        memcpy(&window[((size_t)c * twin + s) * rate], block.data(), sizeof(int) * rate);
    if (orbput(orb, "XX_STA/MGENC", t, reinterpret_cast<const char *>(window.data()),
               (int)(window.size() * sizeof(int))) != 0)
      abort();
    t += twin;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * nchan * rate * twin);
}
BENCHMARK(BM_RingPutReference)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
