// ring_bench.cpp - ring throughput with 512-byte packets: puts alone, put and reap in one
// process, and a writer process feeding a reader process. items_per_second is packets/s.
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "benchkit.h"
#include "ring/orb.h"

namespace {

constexpr int kPacket = 512;
constexpr int64_t kCapacity = int64_t{64} << 20;

// A fresh 64 MiB ring in a temporary directory, removed at the end.
class BenchRing {
 public:
  BenchRing() {
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ringbench-XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    dir_ = tmpl;
    path_ = dir_ + "/bench.ring";
    if (orbcreate(path_.c_str(), kCapacity) < 0) abort();
  }
  ~BenchRing() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const char *path() const { return path_.c_str(); }

 private:
  std::string dir_, path_;
};

void BM_Put(benchmark::State &state) {
  BenchRing ring;
  int w = orbopen(ring.path(), "w");
  char packet[kPacket] = {1};
  double t = 1.5e9;
  for (auto _ : state) {
    if (orbput(w, "AA_STA/MGENC/raw", t, packet, kPacket) != 0) state.SkipWithError("orbput");
    t += 1;
  }
  state.SetItemsProcessed(state.iterations());
  orbclose(w);
}
BENCHMARK(BM_Put);

void BM_PutReap(benchmark::State &state) {
  BenchRing ring;
  int w = orbopen(ring.path(), "w");
  int r = orbopen(ring.path(), "r");
  char packet[kPacket] = {1};
  char srcname[ORBSRCNAME_SIZE];
  char *buf = nullptr;
  int pktid, nbytes, bufsize = 0;
  double t;
  for (auto _ : state) {
    orbput(w, "AA_STA/MGENC/raw", 1.5e9, packet, kPacket);
    if (orbreap_nd(r, &pktid, srcname, &t, &buf, &nbytes, &bufsize) != 0)
      state.SkipWithError("orbreap_nd");
  }
  state.SetItemsProcessed(state.iterations());
  free(buf);
  orbclose(w);
  orbclose(r);
}
BENCHMARK(BM_PutReap);

// A child process puts a burst of packets while this process reaps them as they come
// (sleeping in orbreap when it has caught up). Time is the reader's, from fork to the
// last packet.
void BM_TwoProcesses(benchmark::State &state) {
  const int burst = (int)state.range(0);
  BenchRing ring;
  int r = orbopen(ring.path(), "r");
  char srcname[ORBSRCNAME_SIZE];
  char *buf = nullptr;
  int pktid, nbytes, bufsize = 0;
  double t;
  int64_t missed_before = 0;
  for (auto _ : state) {
    pid_t child = fork();
    if (child == 0) {
      int w = orbopen(ring.path(), "w");
      char packet[kPacket] = {1};
      for (int i = 0; i < burst; i++) orbput(w, "AA_STA/MGENC/raw", 1.5e9 + i, packet, kPacket);
      _exit(0);
    }
    int got = 0;
    Orbstat st;
    while (got < burst) {
      if (orbreap(r, &pktid, srcname, &t, &buf, &nbytes, &bufsize) != 0) break;
      got++;
      // A lapped reader skips packets; they count towards the burst.
      if ((got & 1023) == 0 && orbstat(r, &st) == 0) {
        got += (int)(st.conn_missed - missed_before);
        missed_before = st.conn_missed;
      }
    }
    waitpid(child, nullptr, 0);
  }
  Orbstat st;
  orbstat(r, &st);
  state.counters["missed"] = (double)st.conn_missed;
  state.SetItemsProcessed(state.iterations() * burst);
  free(buf);
  orbclose(r);
}
// Burst lengths in packets.
void two_process_sizes(benchmark::internal::Benchmark *b) { bench_sizes(b, {100000}); }
BENCHMARK(BM_TwoProcesses)->Apply(two_process_sizes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
