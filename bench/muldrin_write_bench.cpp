// muldrin's packet writer on the write thread's load: one-second data records of six
// compressed channels, at 100 and at 1000 samples/s, go through q330_genc_orbpkts into a
// ring file, as GENC packets (one per channel and record, twin 1) and as multiplexed MGENC
// packets (twin 60, through the repackager). One iteration is one record.
//
// The reference, measured in the same run, puts the same GENC packets' bytes into the ring
// with orbput: what the writer adds to the ring put is the expansion of the compressed
// entries, the packet building and the stuffing.
//
// Counters: records/s (items), samples/s, and the heap allocations per record once steady
// (counted by wrapping the C allocator; the goal is 0). Builds with a sanitizer, which
// owns the allocator, report -1 instead.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/bigendian.h"
#include "base/tbl.h"
#include "benchkit.h"
#include "muldrin_genc.h"
#include "packet/pkt.h"
#include "parse_pf.h"
#include "q330.h"
#include "q330_dblk.h"
#include "q330sim_frames.h"
#include "ring/orb.h"

// ---- Allocation count -----------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WRITE_BENCH_COUNTS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define WRITE_BENCH_COUNTS 0
#endif
#endif
#if !defined(WRITE_BENCH_COUNTS) && defined(__GLIBC__)
#define WRITE_BENCH_COUNTS 1
#endif
#ifndef WRITE_BENCH_COUNTS
#define WRITE_BENCH_COUNTS 0
#endif

namespace {
std::atomic<long> g_allocs{0};
}

#if WRITE_BENCH_COUNTS
// glibc's own entry points, behind the program's wrappers (operator new ends here too).
extern "C" {
void *__libc_malloc(size_t) noexcept;
void *__libc_calloc(size_t, size_t) noexcept;
void *__libc_realloc(void *, size_t) noexcept;
void __libc_free(void *) noexcept;
void *malloc(size_t n) noexcept {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_malloc(n);
}
void *calloc(size_t n, size_t size) noexcept {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_calloc(n, size);
}
void *realloc(void *p, size_t n) noexcept {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  return __libc_realloc(p, n);
}
void free(void *p) noexcept { __libc_free(p); }
}
#endif

namespace {

constexpr int kChannels = 6;
constexpr uint32_t kFirstSecond = 800000000;  // seconds since 2000

// One per-second record of kChannels compressed entries (stream 0, physical channels 0-5)
// at `rate` samples/s: the record header and the entries as the data port's decoder
// leaves them (18-byte head, map, data words, QDP sequence).
std::vector<unsigned char> make_record(int rate) {
  std::vector<unsigned char> r(Q330_DATA_RECORD_HEADER, 0);
  be_put16(&r[0], kChannels);
  be_put32(&r[12], kFirstSecond);
  for (int c = 0; c < kChannels; c++) {
    std::vector<int> s(static_cast<size_t>(rate));
    for (int i = 0; i < rate; i++) s[static_cast<size_t>(i)] = ((i + 37 * c) * 7919) % 4096 - 2048;
    std::vector<uint8_t> map, words;
    if (q330sim_frames_pack(s.data(), rate, 0, {}, &map, &words) != 0) abort();
    size_t size = 16 + map.size() + words.size() + 2;
    std::vector<unsigned char> b(size, 0);
    b[0] = static_cast<unsigned char>(c);
    b[1] = 0;
    be_put16(&b[2], static_cast<uint16_t>(size));
    be_put16(&b[8], static_cast<uint16_t>(rate));
    be_put16(&b[10], static_cast<uint16_t>(16 + map.size()));
    std::copy(map.begin(), map.end(), b.begin() + 16);
    std::copy(words.begin(), words.end(), b.begin() + 16 + static_cast<long>(map.size()));
    be_put16(&b[size - 2], 1);
    r.insert(r.end(), b.begin(), b.end());
  }
  return r;
}

int quiet(Q330 *, int type, void *data, int) {
  if (type == Q330_OUT_LOG || type == Q330_OUT_STDOUT || type == Q330_OUT_TIME) free(data);
  return 0;
}

// A session whose six stream-0 channels are bound to GENC definitions of their own (twin
// 1) or to one multiplexed MGENC definition (twin 60), writing into a fresh ring file.
struct Writer {
  char dir[64] = "/tmp/muldrin_write_bench.XXXXXX";
  std::string ring;
  Orbtag tag{};
  Q330 *q = nullptr;
  std::vector<PacketDef> defs;
  Tbl *list = nullptr;

  explicit Writer(int twin) {
    if (!mkdtemp(dir)) abort();
    ring = std::string(dir) + "/write.ring";
    if (orbcreate(ring.c_str(), 64 << 20) != 0) abort();
    tag.orbw = orbopen(ring.c_str(), "w");
    if (tag.orbw < 0) abort();
    q = q330_create(quiet, nullptr);
    if (!q) abort();
    defs.assign(twin > 1 ? 1 : kChannels, PacketDef{});
    list = newtbl(static_cast<long>(defs.size()));
    for (PacketDef &d : defs) {
      d.orbtag = &tag;
      strcpy(d.suffix, twin > 1 ? "MGENC" : "GENC");
      d.twin = twin;
      d.multiplexed = twin > 1;
      pushtbl(list, &d);
    }
    q->user_data = list;
    static const char *const chans[kChannels] = {"HHZ", "HHN", "HHE", "HNZ", "HNN", "HNE"};
    for (int c = 0; c < kChannels; c++) {
      Q330Chan &ch = q->params.data_chan[0][c];
      ch.outputthischan = 1;
      ch.user_data = &defs[twin > 1 ? 0 : static_cast<size_t>(c)];
      ch.calib = 1;
      ch.calper = 1;
      strcpy(ch.net, "XX");
      strcpy(ch.sta, "BENCH");
      strcpy(ch.chan, chans[c]);
      strcpy(ch.segtype, "V");
      snprintf(ch.channel_name, sizeof ch.channel_name, "data0:%d", c);
    }
  }
  ~Writer() {
    // Sessions live until the process ends in the program; here the ring goes away.
    orbclose(tag.orbw);
    remove(ring.c_str());
    remove(dir);
  }
};

void set_second(std::vector<unsigned char> &rec, uint32_t s) { be_put32(&rec[12], s); }

void BM_GencRecord(benchmark::State &state, int twin) {
  const int rate = static_cast<int>(state.range(0));
  Writer w(twin);
  std::vector<unsigned char> rec = make_record(rate);
  uint32_t second = kFirstSecond;
  // Warm up: the packets, channels, repackager buffers and ring space are made once.
  for (int i = 0; i < 2 * std::max(twin, 1) + 2; i++) {
    set_second(rec, second++);
    if (q330_genc_orbpkts(w.q, rec.data(), static_cast<int>(rec.size())) != 0) abort();
  }
  const long before = g_allocs.load();
  for (auto _ : state) {
    set_second(rec, second++);
    if (q330_genc_orbpkts(w.q, rec.data(), static_cast<int>(rec.size())) != 0) abort();
  }
  const long allocs = g_allocs.load() - before;
  const double records = static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["samples/s"] =
      benchmark::Counter(records * kChannels * rate, benchmark::Counter::kIsRate);
  state.counters["allocs/record"] = WRITE_BENCH_COUNTS ? static_cast<double>(allocs) / records : -1;
}

// The same GENC packets' bytes, as the writer would make them, put with orbput: six puts
// per record.
void BM_RingPutReference(benchmark::State &state) {
  const int rate = static_cast<int>(state.range(0));
  Writer w(1);
  std::vector<unsigned char> rec = make_record(rate);
  // Read back what the writer puts: the reference puts exactly these bytes.
  int r = orbopen(w.ring.c_str(), "r");
  if (r < 0) abort();
  if (q330_genc_orbpkts(w.q, rec.data(), static_cast<int>(rec.size())) != 0) abort();
  struct Put {
    std::string src;
    double time;
    std::vector<char> bytes;
  };
  std::vector<Put> puts;
  char *buf = nullptr;
  int bufsize = 0, nbytes = 0, id = 0;
  char src[ORBSRCNAME_SIZE];
  double t = 0;
  while (orbreap_nd(r, &id, src, &t, &buf, &nbytes, &bufsize) == 0)
    puts.push_back({src, t, std::vector<char>(buf, buf + nbytes)});
  free(buf);
  orbclose(r);
  if (puts.size() != static_cast<size_t>(kChannels)) abort();
  for (int i = 0; i < 2; i++)
    for (const Put &p : puts)
      if (orbput(w.tag.orbw, p.src.c_str(), p.time, p.bytes.data(),
                 static_cast<int>(p.bytes.size())) != 0)
        abort();
  const long before = g_allocs.load();
  for (auto _ : state) {
    for (Put &p : puts) {
      p.time += 1.0;
      if (orbput(w.tag.orbw, p.src.c_str(), p.time, p.bytes.data(),
                 static_cast<int>(p.bytes.size())) != 0)
        abort();
    }
  }
  const long allocs = g_allocs.load() - before;
  const double records = static_cast<double>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["samples/s"] =
      benchmark::Counter(records * kChannels * rate, benchmark::Counter::kIsRate);
  state.counters["allocs/record"] = WRITE_BENCH_COUNTS ? static_cast<double>(allocs) / records : -1;
}

void rates(benchmark::internal::Benchmark *b) { bench_sizes(b, {100, 1000}); }

BENCHMARK_CAPTURE(BM_GencRecord, genc_twin1, 1)->Apply(rates);
BENCHMARK_CAPTURE(BM_GencRecord, mgenc_twin60, 60)->Apply(rates);
BENCHMARK(BM_RingPutReference)->Apply(rates);

}  // namespace

BENCHMARK_MAIN();
