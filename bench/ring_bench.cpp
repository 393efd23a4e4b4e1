// ring_bench.cpp - ring throughput and latency with 512-byte packets in a 64 MiB ring.
//
//  - BM_Put: puts alone, in-process (the reference of the reader cases);
//  - BM_PutReap: put and reap in one process;
//  - BM_TwoProcesses: a writer process feeding a reader process;
//  - BM_PutWithReaders/N/mode: the writer's put rate with N reader processes beside it,
//    mode 0 reaping everything at full speed, mode 1 waiting in orbreap with a selection
//    that matches nothing. The ring is filled once before the readers start, so that the
//    writer runs as it does in service (over pages it wrote before) and not over fresh
//    pages of the file. The counter "x_alone" is the rate over BM_PutWithReaders/0 of the
//    same run; "cpu_ns_put" is the writer's CPU time per put (steadier than the rate on a
//    shared machine, where readers and other work take the writer's processor), and
//    "x_cpu" that of BM_PutWithReaders/0 over this one;
//  - BM_PutAfterKilledReaders: the put rate after 10 readers waiting in orbreap were
//    killed with SIGKILL;
//  - BM_Latency/N: put-to-reap latency with N reader processes, the writer paced at
//    10 000 packets/s (asleep between packets); counters p50_us and p99_us over the
//    packets of every reader.
// items_per_second is packets/s. Reader processes are forked, each opens the ring file
// itself, and they are ended with SIGKILL at the end of each case.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "benchkit.h"
#include "ring/orb.h"

namespace {

constexpr int kPacket = 512;
constexpr int64_t kCapacity = int64_t{64} << 20;
constexpr double kRunSeconds = 1.0;
constexpr int kPaceRate = 10000;
constexpr int kLatencyPackets = 20000;

double now_mono() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// CPU seconds of this process (the writer; readers are other processes).
double cpu_self() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec * 1e-6 +
         (double)ru.ru_stime.tv_sec + (double)ru.ru_stime.tv_usec * 1e-6;
}

// Writes the ring full once (and a little more), so that its pages are in place.
void fill_ring(int w) {
  char packet[kPacket] = {1};
  for (int64_t i = 0; i < kCapacity / kPacket + 1000; i++)
    orbput(w, "AA_STA/MGENC/raw", 1.5e9, packet, kPacket);
}

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

// Reader processes of one case. Each tells it is ready by a byte on a pipe just before it
// starts reaping; latency readers send their measures back on their own pipe.
class Readers {
 public:
  ~Readers() { stop(); }

  // n readers that reap everything (select null) or nothing (select "NOTHING/x").
  // With `latency`, each reads the put time stamped in the packet and, at the packet of
  // source "END/x", writes its latencies (doubles, microseconds) to its pipe.
  void start(const char *path, int n, bool idle, bool latency) {
    int ready[2];
    if (pipe(ready) != 0) abort();
    for (int i = 0; i < n; i++) {
      int back[2] = {-1, -1};
      if (latency && pipe(back) != 0) abort();
      pid_t pid = fork();
      if (pid < 0) abort();
      if (pid == 0) {
        close(ready[0]);
        if (latency) close(back[0]);
        _exit(run(path, idle, latency, ready[1], back[1]));
      }
      if (latency) {
        close(back[1]);
        back_.push_back(back[0]);
      }
      pids_.push_back(pid);
    }
    close(ready[1]);
    for (int i = 0; i < n; i++) {
      char b;
      if (read(ready[0], &b, 1) != 1) abort();
    }
    close(ready[0]);
  }

  // Every latency sent back, after the writer put the END packet.
  std::vector<double> collect() {
    std::vector<double> all;
    for (int fd : back_) {
      double v;
      while (read(fd, &v, sizeof v) == (ssize_t)sizeof v) all.push_back(v);
      close(fd);
    }
    back_.clear();
    return all;
  }

  void stop() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
    pids_.clear();
    for (int fd : back_) close(fd);
    back_.clear();
  }

 private:
  static int run(const char *path, bool idle, bool latency, int ready, int back) {
    int orb = orbopen(path, "r");
    if (orb < 0) return 2;
    if (idle && orbselect(orb, "NOTHING/x") < 0) return 3;
    char b = 'r';
    if (write(ready, &b, 1) != 1) return 4;
    close(ready);
    char srcname[ORBSRCNAME_SIZE];
    char *buf = nullptr;
    int pktid, nbytes, bufsize = 0;
    double t;
    std::vector<double> lat;
    for (;;) {
      if (orbreap(orb, &pktid, srcname, &t, &buf, &nbytes, &bufsize) != 0) continue;
      if (!latency) continue;
      double stamp;
      if (nbytes < (int)sizeof stamp) continue;
      memcpy(&stamp, buf, sizeof stamp);
      if (strcmp(srcname, "END/x") == 0) break;
      lat.push_back((now_mono() - stamp) * 1e6);
    }
    size_t n = lat.size() * sizeof(double);
    const char *p = reinterpret_cast<const char *>(lat.data());
    while (n > 0) {
      ssize_t w = write(back, p, n);
      if (w <= 0) return 5;
      p += w;
      n -= (size_t)w;
    }
    return 0;
  }

  std::vector<pid_t> pids_;
  std::vector<int> back_;
};

double g_alone_rate = 0;  // BM_PutWithReaders/0 of this run
double g_alone_cpu = 0;   // its CPU seconds per put

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

// The writer puts for kRunSeconds with N readers beside it.
void BM_PutWithReaders(benchmark::State &state) {
  const int n = (int)state.range(0);
  const bool idle = state.range(1) != 0;
  BenchRing ring;
  int w = orbopen(ring.path(), "w");
  fill_ring(w);
  Readers readers;
  readers.start(ring.path(), n, idle, false);
  char packet[kPacket] = {1};
  int64_t puts = 0;
  double elapsed = 0, cpu = 0;
  for (auto _ : state) {
    double c0 = cpu_self();
    double t0 = now_mono();
    for (;;) {
      for (int i = 0; i < 256; i++) {
        if (orbput(w, "AA_STA/MGENC/raw", 1.5e9, packet, kPacket) != 0)
          state.SkipWithError("orbput");
      }
      puts += 256;
      elapsed = now_mono() - t0;
      if (elapsed >= kRunSeconds) break;
    }
    cpu = cpu_self() - c0;
    state.SetIterationTime(elapsed);
  }
  readers.stop();
  Orbstat st;
  if (orbstat(w, &st) == 0) state.counters["missed"] = (double)st.missed;
  orbclose(w);
  double rate = (double)puts / elapsed;
  double cpu_put = cpu / (double)puts;
  if (n == 0) {
    g_alone_rate = rate;
    g_alone_cpu = cpu_put;
  }
  state.counters["puts/s"] = rate;
  state.counters["cpu_ns_put"] = cpu_put * 1e9;
  if (g_alone_rate > 0) state.counters["x_alone"] = rate / g_alone_rate;
  if (g_alone_cpu > 0) state.counters["x_cpu"] = g_alone_cpu / cpu_put;
  state.SetItemsProcessed(puts);
}
BENCHMARK(BM_PutWithReaders)
    ->ArgNames({"readers", "idle"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({4, 0})
    ->Args({10, 0})
    ->Args({1, 1})
    ->Args({4, 1})
    ->Args({10, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// 10 readers wait in orbreap and are killed; then the writer puts alone.
void BM_PutAfterKilledReaders(benchmark::State &state) {
  BenchRing ring;
  int w = orbopen(ring.path(), "w");
  fill_ring(w);
  char packet[kPacket] = {1};
  {
    Readers readers;
    readers.start(ring.path(), 10, true, false);
    // One put wakes them and they go back to sleep; then they die asleep.
    orbput(w, "AA_STA/MGENC/raw", 1.5e9, packet, kPacket);
    usleep(100000);
    readers.stop();
  }
  int64_t puts = 0;
  double elapsed = 0;
  for (auto _ : state) {
    double t0 = now_mono();
    for (;;) {
      for (int i = 0; i < 256; i++) orbput(w, "AA_STA/MGENC/raw", 1.5e9, packet, kPacket);
      puts += 256;
      elapsed = now_mono() - t0;
      if (elapsed >= kRunSeconds) break;
    }
    state.SetIterationTime(elapsed);
  }
  orbclose(w);
  double rate = (double)puts / elapsed;
  state.counters["puts/s"] = rate;
  if (g_alone_rate > 0) state.counters["x_alone"] = rate / g_alone_rate;
  state.SetItemsProcessed(puts);
}
BENCHMARK(BM_PutAfterKilledReaders)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Put-to-reap latency at a paced 10 000 packets/s.
void BM_Latency(benchmark::State &state) {
  const int n = (int)state.range(0);
  BenchRing ring;
  int w = orbopen(ring.path(), "w");
  fill_ring(w);
  Readers readers;
  readers.start(ring.path(), n, false, true);
  char packet[kPacket] = {0};
  std::vector<double> lat;
  for (auto _ : state) {
    double t0 = now_mono();
    for (int i = 0; i < kLatencyPackets; i++) {
      // Asleep until the packet is due, so that the writer leaves the processors to the
      // readers; the stamp is taken when it is put, however late the writer woke.
      double due = t0 + (double)i / kPaceRate;
      timespec ts;
      ts.tv_sec = (time_t)due;
      ts.tv_nsec = (long)((due - (double)ts.tv_sec) * 1e9);
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
      }
      double stamp = now_mono();
      memcpy(packet, &stamp, sizeof stamp);
      orbput(w, "AA_STA/MGENC/raw", 1.5e9, packet, kPacket);
    }
    double stamp = now_mono();
    memcpy(packet, &stamp, sizeof stamp);
    orbput(w, "END/x", 1.5e9, packet, kPacket);
    lat = readers.collect();
    state.SetIterationTime(now_mono() - t0);
  }
  readers.stop();
  orbclose(w);
  std::sort(lat.begin(), lat.end());
  if (lat.empty()) {
    state.SkipWithError("no latency measured");
    return;
  }
  state.counters["p50_us"] = lat[lat.size() / 2];
  state.counters["p90_us"] = lat[lat.size() * 9 / 10];
  state.counters["p99_us"] = lat[lat.size() * 99 / 100];
  state.counters["samples"] = (double)lat.size();
}
BENCHMARK(BM_Latency)
    ->ArgName("readers")
    ->Arg(1)
    ->Arg(10)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
