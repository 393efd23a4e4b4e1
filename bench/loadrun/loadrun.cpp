// loadrun - both programs at scale: muldrin with N simulated Q330s (one q330sim process
// serving them all) for T seconds, then kessaro with M simulated Altus links (one
// altussim process per link, each a TCP server kessaro dials out to). Not a test: it
// measures and prints a table, and checks the goals as pass or fail.
//
// Per program it reports dataloggers registered and delivering, the threads of the
// program's process (/proc/<pid>/status), its virtual size and resident memory in total
// and per datalogger, and the samples missing or doubled in the ring against the
// simulators' generators. Any sample missing, doubled or wrong, or a datalogger that does
// not deliver, makes the exit status non-zero.
//
// Under an emulator (--emu, e.g. "qemu-arm -L /usr/arm-linux-gnueabi") the host's
// /proc numbers of the program's process include the emulator itself. Per datalogger
// memory is then the difference between a run with N and a run with one datalogger,
// divided by N - 1 (a short run with one datalogger comes first; --no-baseline leaves it
// out), and the virtual size is the program's own view: the programs print the summed
// size of their /proc/self/maps at exit when VANTREL_MEMORY_REPORT is set (base/memreport.h),
// which the emulator answers with the emulated program's mappings. The stack peaks per
// thread kind come from VANTREL_STACK_REPORT (base/threadstart.h).
//
// The CPU mode (--cpu) measures what the programs cost while nothing happens but the
// pace of the data: per size (muldrin with 1, 10 and 100 Q330s, kessaro with 1, 5 and 20
// Altus links by default, one after the other), the dataloggers make data one record a
// second without end; once every datalogger's waveforms are in the ring, the program's
// CPU time (utime and stime of /proc/<pid>/stat, all its threads) is taken over a window
// (-t, default 120 s) as % of one core; then its system calls are counted over a
// shorter window (--count-seconds, default 30 s), since counting costs the program CPU:
// with perf in a second run of the same size (perf runs the program from its start,
// its system-call tracepoint counters off until the window, and even off they cost
// CPU); where perf cannot count them, strace attaches after the CPU window instead
// (ptrace slows the program but does not change how often a wait times out). One table: program,
// dataloggers, start-up, window, load average, % user, system and total, per datalogger, system
// calls per datalogger-second and the calls counted most. Under an emulator the CPU is the
// emulator's (no timing) and the calls are the emulator's host calls for the program.
//
// The ring is read by this program, so it must be built for the same target as the
// programs that write it.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "altussim_block.h"
#include "base/clock.h"
#include "muldrin_e2ekit.h"
#include "ring/orb.h"

namespace {

struct Options {
  int q330s = 100, altus = 20;
  double seconds = 60, kessaro_seconds = -1;
  // --cpu: the sizes measured one after the other, the system-call counter and how long
  // strace counts (it runs after the CPU window).
  bool cpu = false, quick = false, seconds_given = false, count_given = false;
  std::vector<int> q330_sizes, altus_sizes;
  std::string counter = "auto";
  double count_seconds = 30;
  bool run_muldrin = true, run_kessaro = true, baseline = true;
  bool memory_goals = true;  // --data-only: delivery and samples only
  std::vector<std::string> emu, sim_emu;
  bool sim_emu_given = false;
  std::string muldrin = MULDRIN_BIN, q330sim = Q330SIM_BIN, muldrin_pf = MULDRIN_PF;
  std::string kessaro = KESSARO_BIN, altussim = ALTUSSIM_BIN, kessaro_pf = KESSARO_PF;
  std::string keep;  // folder to keep the run's files in (empty: a temporary one, removed)
  // --muldrin-set: keys of muldrin's parameter file set after the load run's own settings
  std::vector<std::pair<std::string, std::string>> muldrin_set;
};

void usage() {
  fprintf(stderr,
          "usage: loadrun [-n q330s] [-m altus_links] [-t seconds] [-T kessaro_seconds]\n"
          "               [--only muldrin|kessaro] [--no-baseline] [--data-only]\n"
          "               [--emu 'prefix words']\n"
          "               [--sim-emu 'prefix words'] [--keep folder]\n"
          "               [--muldrin path] [--q330sim path] [--muldrin-pf path]\n"
          "               [--muldrin-set key=value]...\n"
          "               [--kessaro path] [--altussim path] [--kessaro-pf path]\n"
          "  -n  simulated Q330s for muldrin; default 100\n"
          "  -m  simulated Altus links for kessaro; default 20\n"
          "  -t  seconds of data each Q330 makes (one record a second); default 60\n"
          "  -T  seconds kessaro runs; default as -t\n"
          "  --emu      words put before the programs (muldrin, kessaro), e.g. an emulator\n"
          "  --sim-emu  words put before the simulators; default as --emu\n"
          "  --no-baseline  no run with one datalogger first\n"
          "  --data-only    the memory goals are printed but not required\n"
          "  --muldrin-set  a key of muldrin's parameter file, set after the load run's own\n"
          "                 (a short status interval, a link restarted every 5 s); e.g.\n"
          "                 shutdown_timeout=0 keeps the link up, as the example file does\n"
          "CPU mode: loadrun --cpu [-n 1,10,100] [-m 1,5,20] [-t 120] [--quick]\n"
          "                  [--only muldrin|kessaro] [--syscalls auto|perf|strace|none]\n"
          "                  [--count-seconds 30] [--emu ...]\n"
          "  Per size, one after the other, the program with that many paced dataloggers (one\n"
          "  record a second each, without end): once every datalogger has delivered to the\n"
          "  ring, the program's CPU time (/proc/<pid>/stat, all threads) over -t seconds as\n"
          "  %% of one core, user, system and total, and its system calls per datalogger-second\n"
          "  with the calls counted most, over --count-seconds after the CPU window (counting\n"
          "  costs the program CPU): by perf (auto: when it can count the system-call\n"
          "  tracepoint) in a second run of the same size, else by strace. -n and -m take\n"
          "  lists here.\n"
          "  --quick: one Q330 and one link, -t 3 and 3 s of counting, to check the mode.\n"
          "The programs and example parameter files default to those of this build.\n");
}

std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// A list of sizes, "1,10,100"; false when one is not a positive number.
bool sizes(const char *text, std::vector<int> *out) {
  out->clear();
  std::istringstream in(text);
  for (std::string w; std::getline(in, w, ',');) {
    int n = atoi(w.c_str());
    if (n < 1) return false;
    out->push_back(n);
  }
  return !out->empty();
}

bool parse_args(int argc, char **argv, Options *o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--no-baseline") {
      o->baseline = false;
      continue;
    }
    if (a == "--data-only") {
      o->memory_goals = false;
      continue;
    }
    if (a == "--cpu" || a == "--quick") {
      o->cpu = true;
      o->quick = o->quick || a == "--quick";
      continue;
    }
    if (v == nullptr) return false;
    i++;
    if (a == "-n") {
      if (!sizes(v, &o->q330_sizes)) return false;
    } else if (a == "-m") {
      if (!sizes(v, &o->altus_sizes)) return false;
    } else if (a == "-t") {
      o->seconds = atof(v);
      o->seconds_given = true;
    } else if (a == "-T") {
      o->kessaro_seconds = atof(v);
    } else if (a == "--only") {
      o->run_muldrin = strcmp(v, "muldrin") == 0;
      o->run_kessaro = strcmp(v, "kessaro") == 0;
      if (!o->run_muldrin && !o->run_kessaro) return false;
    } else if (a == "--emu") {
      o->emu = words(v);
    } else if (a == "--sim-emu") {
      o->sim_emu = words(v);
      o->sim_emu_given = true;
    } else if (a == "--syscalls") {
      o->counter = v;
      if (o->counter != "auto" && o->counter != "perf" && o->counter != "strace" &&
          o->counter != "none")
        return false;
    } else if (a == "--count-seconds") {
      o->count_seconds = atof(v);
      o->count_given = true;
    } else if (a == "--keep") {
      o->keep = v;
    } else if (a == "--muldrin") {
      o->muldrin = v;
    } else if (a == "--q330sim") {
      o->q330sim = v;
    } else if (a == "--muldrin-pf") {
      o->muldrin_pf = v;
    } else if (a == "--muldrin-set") {
      const char *eq = strchr(v, '=');
      if (eq == nullptr || eq == v) return false;
      o->muldrin_set.emplace_back(std::string(v, eq), std::string(eq + 1));
    } else if (a == "--kessaro") {
      o->kessaro = v;
    } else if (a == "--altussim") {
      o->altussim = v;
    } else if (a == "--kessaro-pf") {
      o->kessaro_pf = v;
    } else {
      return false;
    }
  }
  if (!o->sim_emu_given) o->sim_emu = o->emu;
  // The children start in their run's folder: paths relative to here would not hold there.
  for (std::string *path : {&o->muldrin, &o->q330sim, &o->muldrin_pf, &o->kessaro, &o->altussim,
                            &o->kessaro_pf, &o->keep}) {
    char *real = path->empty() ? nullptr : realpath(path->c_str(), nullptr);
    if (real != nullptr) *path = real;
    free(real);
  }
  if (o->cpu) {
    if (o->quick) {
      if (o->q330_sizes.empty()) o->q330_sizes = {1};
      if (o->altus_sizes.empty()) o->altus_sizes = {1};
      if (!o->seconds_given) o->seconds = 3;
      if (!o->count_given) o->count_seconds = 3;
    }
    if (o->q330_sizes.empty()) o->q330_sizes = {1, 10, 100};
    if (o->altus_sizes.empty()) o->altus_sizes = {1, 5, 20};
    if (!o->seconds_given && !o->quick) o->seconds = 120;
    return o->seconds >= 1 && o->count_seconds >= 1;
  }
  // One size each outside the CPU mode.
  if (o->q330_sizes.size() > 1 || o->altus_sizes.size() > 1) return false;
  if (!o->q330_sizes.empty()) o->q330s = o->q330_sizes[0];
  if (!o->altus_sizes.empty()) o->altus = o->altus_sizes[0];
  if (o->kessaro_seconds < 0) o->kessaro_seconds = o->seconds;
  return o->q330s >= 1 && o->altus >= 1 && o->seconds >= 1 && o->kessaro_seconds >= 1;
}

std::vector<std::string> prefixed(const std::vector<std::string> &prefix,
                                  std::vector<std::string> argv) {
  argv.insert(argv.begin(), prefix.begin(), prefix.end());
  return argv;
}

// Starts a measured program with both reports on; the variables are set for that child
// only.
pid_t start_measured(const std::vector<std::string> &argv, const std::string &cwd,
                     const std::string &out) {
  setenv("VANTREL_STACK_REPORT", "1", 1);
  setenv("VANTREL_MEMORY_REPORT", "1", 1);
  pid_t pid = e2e_start(argv, cwd, out);
  unsetenv("VANTREL_STACK_REPORT");
  unsetenv("VANTREL_MEMORY_REPORT");
  return pid;
}

// What /proc/<pid>/status tells, the largest values seen over the samples.
struct ProcPeak {
  long threads = 0;
  long long vm_peak = 0, rss_peak = 0;  // bytes
  int samples = 0;
};

void proc_sample(pid_t pid, ProcPeak *p) {
  std::string s = e2e_read_text("/proc/" + std::to_string(pid) + "/status");
  if (s.empty()) return;
  auto field = [&](const char *name) -> long long {
    size_t at = s.find(std::string("\n") + name + ":");
    if (at == std::string::npos) return 0;
    return atoll(s.c_str() + at + strlen(name) + 2);
  };
  p->samples++;
  p->threads = std::max(p->threads, static_cast<long>(field("Threads")));
  p->vm_peak = std::max(p->vm_peak, field("VmPeak") * 1024);
  p->rss_peak = std::max(p->rss_peak, field("VmHWM") * 1024);
}

// A folder for one run: a fresh temporary one, or one below --keep.
struct RunDir {
  std::string path;
  bool remove = false;
  RunDir(const Options &o, const std::string &name) {
    if (!o.keep.empty()) {
      path = o.keep + "/" + name;
      if (system(("rm -rf '" + path + "' && mkdir -p '" + path + "'").c_str()) != 0) path.clear();
      return;
    }
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/loadrun.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) {
      path = buf.data();
      remove = true;
    }
  }
  ~RunDir() {
    if (remove && !path.empty() && system(("rm -rf '" + path + "'").c_str()) != 0) {
      fprintf(stderr, "loadrun: could not remove %s\n", path.c_str());
    }
  }
  std::string file(const std::string &name) const { return path + "/" + name; }
};

struct Result {
  std::string program;
  int dataloggers = 0, registered = 0, delivering = 0;
  ProcPeak proc;
  long long guest_virtual = -1;     // the program's own summed mappings, peak
  long long guest_accessible = -1;  // the same without reservations (no access rights)
  long missing = 0, doubled = 0, wrong = 0, outside = 0;
  long long samples = 0;
  bool exited_cleanly = false;
  std::vector<std::string> stack_lines, faults;
  std::string note;  // why it could not run, if so
};

// The end of a program's output, for a fault line.
std::string tail_of(const std::string &text) {
  return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
}

// Lines of the program's output that begin with `prefix`.
std::vector<std::string> lines_with(const std::string &text, const std::string &prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    size_t at = line.find(prefix);
    if (at != std::string::npos) out.push_back(line.substr(at));
  }
  return out;
}

// The peaks of the program's memreport line: all mappings and the accessible ones.
void memreport_peaks(const std::string &text, Result *r) {
  long long virt = -1, peak = -1, acc = -1, acc_peak = -1;
  for (const std::string &l : lines_with(text, "memreport: ")) {
    sscanf(l.c_str(), "memreport: virtual %lld peak %lld accessible %lld peak %lld", &virt, &peak,
           &acc, &acc_peak);
  }
  r->guest_virtual = std::max(virt, peak);
  r->guest_accessible = std::max(acc, acc_peak);
}

// Samples the program's /proc entry while `done` is false, at most `seconds` of clock
// time; false when the program ended by itself.
template <class Done>
bool watch(pid_t pid, double seconds, ProcPeak *peak, Done done) {
  for (double waited = 0; waited < seconds; waited += 0.25) {
    proc_sample(pid, peak);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    if (done()) return true;
    clock_sleep(0.25);
  }
  return true;
}

bool stopped_cleanly(int status) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---- muldrin ----

// Starts q330sim with n units, each making `records` records one a second (0: without
// end), and muldrin on them, in `dir`; false (r->note says why) when it could not. The
// simulator's output goes to q330sim.out, muldrin's to muldrin.out, the packets to `ring`.
bool start_muldrin(const Options &o, int n, int records, const RunDir &dir, const std::string &ring,
                   Result *r, pid_t *sim, pid_t *pid) {
  if (dir.path.empty()) {
    r->note = "no folder for the run";
    return false;
  }
  const std::string sim_out = dir.file("q330sim.out"), pf = dir.file("muldrin.pf");
  // Room for every packet of the run several times over.
  long long ring_size = std::max(64ll << 20, static_cast<long long>(n) * records * 16384);
  if (orbcreate(ring.c_str(), std::min(ring_size, 1ll << 30)) != 0) {
    r->note = "orbcreate failed";
    return false;
  }
  *sim = e2e_start(
      prefixed(o.sim_emu, {o.q330sim, "-b", "0", "-s", "0100000000000001", "-n", std::to_string(n),
                           "-g", "1", "-r", std::to_string(records), "-i", "1"}),
      dir.path, sim_out);
  std::vector<E2eUnit> units;
  for (double waited = 0; waited < 120 && units.size() < static_cast<size_t>(n); waited += 0.1) {
    units = e2e_units(sim_out);
    clock_sleep(0.1);
  }
  if (units.size() < static_cast<size_t>(n)) {
    r->note = "the simulator announced " + std::to_string(units.size()) + " units:\n" +
              e2e_read_text(sim_out);
    e2e_stop(*sim, SIGTERM, 10);
    *sim = -1;
    return false;
  }
  FILE *f = fopen(pf.c_str(), "w");
  if (f == nullptr) {
    r->note = "cannot write " + pf;
    e2e_stop(*sim, SIGTERM, 10);
    *sim = -1;
    return false;
  }
  std::string text = e2e_pf(o.muldrin_pf, units);
  for (const auto &[key, value] : o.muldrin_set) e2e_pf_set(&text, key, value);
  fputs(text.c_str(), f);
  fclose(f);
  *pid = start_measured(prefixed(o.emu, {o.muldrin, "-pf", pf, "-S", dir.file("state"), "TA",
                                         "data", ring, "cmd", ring, "log", ring, "st", ring}),
                        dir.path, dir.file("muldrin.out"));
  return true;
}

Result run_muldrin(const Options &o, int n, double seconds) {
  Result r;
  r.program = "muldrin";
  r.dataloggers = n;
  const int records = static_cast<int>(seconds);
  RunDir dir(o, "muldrin" + std::to_string(n));
  const std::string ring = dir.file("ring"), sim_out = dir.file("q330sim.out"),
                    out = dir.file("muldrin.out");
  pid_t sim = -1, pid = -1;
  if (!start_muldrin(o, n, records, dir, ring, &r, &sim, &pid)) return r;
  // Every unit makes its records one a second and says so when all were acknowledged;
  // the bound only ends a run that went wrong (an emulated program starts slowly).
  bool alive = watch(pid, seconds * 3 + 120, &r.proc,
                     [&] { return e2e_count_text(sim_out, "records acknowledged") >= n; });
  proc_sample(pid, &r.proc);
  int status = alive ? e2e_stop(pid, SIGTERM, 120) : 0;
  if (!alive) waitpid(pid, &status, 0);
  r.exited_cleanly = alive && stopped_cleanly(status);
  e2e_stop(sim, SIGTERM, 10);
  std::string text = e2e_read_text(out);
  r.stack_lines = lines_with(text, "threadstart: ");
  memreport_peaks(text, &r);
  if (!r.exited_cleanly) r.faults.push_back("muldrin did not stop cleanly:\n" + tail_of(text));

  E2eSamples s;
  if (e2e_read_ring(ring, &s) != 0) {
    r.note = "cannot read the ring";
    return r;
  }
  // The sources whose log says the registration succeeded.
  std::set<std::string> registered;
  {
    std::istringstream in(s.log);
    for (std::string line; std::getline(in, line);) {
      if (line.find("Registration successful") != std::string::npos)
        registered.insert(line.substr(0, line.find(": ")));
    }
  }
  for (int k = 0; k < n; k++) {
    if (registered.count("TA_" + e2e_station(k) + "/log")) r.registered++;
    E2eTally t = e2e_tally_unit(s, k, 1 + k, 100000, records);
    if (t.channels == static_cast<int>(e2e_channels().size())) r.delivering++;
    r.missing += t.missing;
    r.doubled += t.doubled;
    r.wrong += t.wrong;
    r.outside += t.outside;
    if (t.missing || t.doubled || t.wrong || t.outside) {
      for (const std::string &line : e2e_check_unit(s, k, 1 + k, 100000, records)) {
        if (r.faults.size() < 40) r.faults.push_back(line);
      }
    }
  }
  for (const auto &[name, c] : s.channels) r.samples += static_cast<long long>(c.value.size());
  if (s.undecodable) r.faults.push_back(std::to_string(s.undecodable) + " undecodable packets");
  return r;
}

// ---- kessaro ----

// The samples of one channel of an Altus stream: sample k of stream s has the value
// ((s + 1) x 100000 + k mod 50000) x 2 (altussim's Sim::stream_sample), so each value
// tells its stream and its place, and consecutive indices must carry consecutive places.
void tally_altus_channel(const E2eSamples::Channel &c, Result *r, const std::string &name) {
  bool first = true;
  int64_t prev_index = 0;
  int32_t prev_value = 0;
  int reported = 0;
  auto fault = [&](const std::string &text) {
    if (reported++ < 3 && r->faults.size() < 40) r->faults.push_back(name + ": " + text);
  };
  for (const auto &[index, value] : c.value) {
    r->doubled += c.seen.at(index) - 1;
    if (value % 2 != 0) {
      r->wrong++;
      fault("sample " + std::to_string(index) + " value " + std::to_string(value));
    } else if (!first) {
      int64_t gap = index - prev_index - 1;
      if (gap > 0) {
        r->missing += gap;
        fault(std::to_string(gap) + " samples missing after " + std::to_string(prev_index));
      }
      int32_t place = (value / 2) % 100000, prev_place = (prev_value / 2) % 100000;
      int32_t stream = value / 2 / 100000, prev_stream = prev_value / 2 / 100000;
      if (stream != prev_stream || place != (prev_place + gap + 1) % 50000) {
        r->wrong++;
        fault("sample " + std::to_string(index) + " value " + std::to_string(value) +
              " does not follow " + std::to_string(prev_value));
      }
    }
    first = false;
    prev_index = index;
    prev_value = value;
  }
}

// Starts one altussim per link (m links) and kessaro dialling them, in `dir`; false
// (r->note says why) when it could not. The simulators' pids go to *sims (stop them
// also after a failure), kessaro's output to kessaro.out, the packets to `ring`.
bool start_kessaro(const Options &o, int m, const RunDir &dir, const std::string &ring, Result *r,
                   std::vector<pid_t> *sims, pid_t *pid) {
  if (dir.path.empty()) {
    r->note = "no folder for the run";
    return false;
  }
  if (orbcreate(ring.c_str(), 64ll << 20) != 0) {
    r->note = "orbcreate failed";
    return false;
  }
  std::vector<int> ports;
  for (int k = 0; k < m; k++) {
    std::string sim_out = dir.file("altussim" + std::to_string(k) + ".out");
    sims->push_back(e2e_start(
        prefixed(o.sim_emu, {o.altussim, "-tcpserver", "0", "-serial", std::to_string(1001 + k),
                             "-model", "K2", "-streams", "3:100:100:30", "-paced"}),
        dir.path, sim_out));
    int port = 0;
    for (double waited = 0; waited < 60 && port == 0; waited += 0.05) {
      std::string text = e2e_read_text(sim_out);
      size_t at = text.find("listening on 127.0.0.1:");
      if (at != std::string::npos) port = atoi(text.c_str() + at + 23);
      if (port == 0) clock_sleep(0.05);
    }
    if (port == 0) {
      r->note = "altussim " + std::to_string(k) + " did not listen:\n" + e2e_read_text(sim_out);
      return false;
    }
    ports.push_back(port);
  }
  std::string pf = e2e_read_text(o.kessaro_pf);
  std::string links = "&Tbl{\n", dls = "&Tbl{\n";
  for (int k = 0; k < m; k++) {
    std::string link = "l" + std::to_string(k + 1);
    links += link + " tcpclient none no yes default 127.0.0.1:" + std::to_string(ports[k]) + "\n";
    dls += "K" + std::to_string(1001 + k) + " - XX AL" + std::to_string(k + 1) + " " + link +
           " - no streaming\n";
  }
  e2e_pf_set(&pf, "modems", links + "}");
  e2e_pf_set(&pf, "dataloggers", dls + "}");
  e2e_pf_set(&pf, "status_interval", "10.0");
  e2e_pf_set(&pf, "evt_file_dir", dir.file("evt"));
  FILE *f = fopen(dir.file("kessaro.pf").c_str(), "w");
  if (f == nullptr) {
    r->note = "cannot write the parameter file";
    return false;
  }
  fputs(pf.c_str(), f);
  fclose(f);
  *pid = start_measured(prefixed(o.emu, {o.kessaro, "-pf", dir.file("kessaro"), "-state",
                                         dir.file("state"), "kes", "cmd", ring, "out", ring}),
                        dir.path, dir.file("kessaro.out"));
  return true;
}

Result run_kessaro(const Options &o, int m, double seconds) {
  Result r;
  r.program = "kessaro";
  r.dataloggers = m;
  RunDir dir(o, "kessaro" + std::to_string(m));
  const std::string ring = dir.file("ring"), out = dir.file("kessaro.out");
  std::vector<pid_t> sims;
  auto stop_sims = [&] {
    for (pid_t p : sims) e2e_stop(p, SIGTERM, 10);
  };
  pid_t pid = -1;
  if (!start_kessaro(o, m, dir, ring, &r, &sims, &pid)) {
    stop_sims();
    return r;
  }
  bool alive = watch(pid, seconds, &r.proc, [] { return false; });
  proc_sample(pid, &r.proc);
  int status = alive ? e2e_stop(pid, SIGTERM, 120) : 0;
  if (!alive) waitpid(pid, &status, 0);
  r.exited_cleanly = alive && stopped_cleanly(status);
  stop_sims();
  std::string text = e2e_read_text(out);
  r.stack_lines = lines_with(text, "threadstart: ");
  memreport_peaks(text, &r);
  if (!r.exited_cleanly) r.faults.push_back("kessaro did not stop cleanly:\n" + tail_of(text));

  E2eSamples s;
  if (e2e_read_ring(ring, &s) != 0) {
    r.note = "cannot read the ring";
    return r;
  }
  for (int k = 0; k < m; k++) {
    // A datalogger counts as registered once kessaro talked to it in block mode (its
    // simulator says so); its target name is its net_sta.
    if (e2e_count_text(dir.file("altussim" + std::to_string(k) + ".out"),
                       "block-mode commands answered") > 0)
      r.registered++;
    std::string target = "XX_AL" + std::to_string(k + 1);
    std::string prefix = target + "_";
    bool any = false;
    for (const auto &[name, c] : s.channels) {
      if (name.compare(0, prefix.size(), prefix) != 0 || c.value.empty()) continue;
      any = true;
      r.samples += static_cast<long long>(c.value.size());
      tally_altus_channel(c, &r, name);
    }
    if (any) r.delivering++;
  }
  if (r.delivering == 0) {
    // What the links did, for the report: the last lines of one datalogger's log.
    std::vector<std::string> l = lines_with(s.log, "XX_AL1/log: ");
    std::set<std::string> distinct;
    for (const std::string &line : l) {
      size_t at = line.find(": ", line.find(": ") + 2);
      distinct.insert(at == std::string::npos ? line : line.substr(at + 2));
    }
    std::string seen;
    for (const std::string &d : distinct) seen += "\n    " + d;
    r.faults.push_back("no datalogger delivered; the first link's log says:" + seen);
  }
  if (s.undecodable) r.faults.push_back(std::to_string(s.undecodable) + " undecodable packets");
  return r;
}

// ---- CPU mode ----

// The CPU time the kernel has charged to a process, all its threads (live and ended)
// together, in clock ticks; false when /proc does not have it.
bool cpu_ticks(pid_t pid, long long *user, long long *sys) {
  std::string s = e2e_read_text("/proc/" + std::to_string(pid) + "/stat");
  size_t at = s.rfind(')');
  if (at == std::string::npos) return false;
  // After the name: state, then fields 4 to 13, then utime and stime (fields 14 and 15).
  std::istringstream in(s.substr(at + 2));
  std::string field;
  for (int k = 3; k <= 13 && in >> field; k++) {
  }
  return static_cast<bool>(in >> *user >> *sys);
}

double load_average() { return atof(e2e_read_text("/proc/loadavg").c_str()); }

int thread_count(pid_t pid) {
  std::string s = e2e_read_text("/proc/" + std::to_string(pid) + "/status");
  size_t at = s.find("\nThreads:");
  return at == std::string::npos ? 0 : atoi(s.c_str() + at + 9);
}

// System calls by name over a window, and all of them.
struct SyscallCount {
  std::string how;  // "perf", "strace" or "none"
  double seconds = 0;
  long long total = -1;  // -1: not counted
  std::map<std::string, long long> by_name;
  std::string note;
};

// The calls whose counts perf is asked for one by one, those waits and transfers a
// program of this kind is made of first; the total comes from the one tracepoint every
// call passes, so calls left out still count there (as "other").
const char *const kPerfCalls[] = {
    "futex",          "clock_nanosleep", "nanosleep",   "recvfrom",      "sendto",
    "recvmsg",        "sendmsg",         "poll",        "ppoll",         "select",
    "pselect6",       "epoll_wait",      "epoll_pwait", "read",          "write",
    "pread64",        "pwrite64",        "socket",      "bind",          "connect",
    "close",          "openat",          "fcntl",       "ioctl",         "newfstatat",
    "fstat",          "lseek",           "mmap",        "munmap",        "mprotect",
    "madvise",        "msync",           "fsync",       "fdatasync",     "sched_yield",
    "rt_sigprocmask", "getpid",          "gettid",      "clock_gettime", "gettimeofday",
    "statx",          "clone",           "clone3",      "rename",        "unlink"};

std::string tracefs_events() {
  for (const char *d : {"/sys/kernel/tracing/events", "/sys/kernel/debug/tracing/events"}) {
    if (access((std::string(d) + "/raw_syscalls/sys_enter").c_str(), F_OK) == 0) return d;
  }
  return "";
}

// Whether `argv` runs and ends with status 0 (its output thrown away).
bool runs(const std::vector<std::string> &argv) {
  pid_t pid = e2e_start(argv, "/", "/dev/null");
  int status = e2e_stop(pid, 0, 20);
  return stopped_cleanly(status);
}

// The counter to use: the one asked for, or with "auto" perf when it can count the
// system-call tracepoint here (and take commands), else strace when it runs, else none.
std::string pick_counter(const std::string &asked) {
  if (asked != "auto") return asked;
  // With the options the run uses: a perf without --control cannot run the program.
  if (runs({"perf", "stat", "-x,", "-o", "/dev/null", "-e", "raw_syscalls:sys_enter", "-D", "-1",
            "--control", "fifo:/dev/null", "--", "true"}))
    return "perf";
  if (runs({"strace", "-V"})) return "strace";
  return "none";
}

// A system-call counter of one run. perf runs the program (the events are inherited by
// every thread the program starts, and perf's descriptors stay one per event) with its
// events off until the counting window; strace attaches to the running program then.
struct Counter {
  std::string how;                  // "perf", "strace" or "none"
  std::string file, log, ctl, ack;  // its report, its output, perf's control fifos
  pid_t pid = -1;                   // perf (the program's parent) or strace
  int ctl_fd = -1, ack_fd = -1;
  ~Counter() {
    if (ctl_fd >= 0) close(ctl_fd);
    if (ack_fd >= 0) close(ack_fd);
  }
};

// The words to put before the program: perf's, or none. Empty also when the fifos
// cannot be made (then nothing is counted).
std::vector<std::string> counter_prefix(Counter *c, const RunDir &dir) {
  c->file = dir.file("syscalls.txt");
  c->log = dir.file("counter.out");
  if (c->how != "perf") return {};
  c->ctl = dir.file("perf.ctl");
  c->ack = dir.file("perf.ack");
  if (mkfifo(c->ctl.c_str(), 0600) != 0 || mkfifo(c->ack.c_str(), 0600) != 0) return {};
  // perf opens the acknowledgement fifo for writing before it starts the program, which
  // blocks until a reader has it open.
  c->ack_fd = open(c->ack.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (c->ack_fd < 0) return {};
  std::string events = "raw_syscalls:sys_enter", tracefs = tracefs_events();
  for (const char *call : kPerfCalls) {
    if (!tracefs.empty() && access((tracefs + "/syscalls/sys_enter_" + call).c_str(), F_OK) == 0)
      events += std::string(",syscalls:sys_enter_") + call;
  }
  return {"perf", "stat",      "-x,",
          "-o",   c->file,     "-D",
          "-1",   "--control", "fifo:" + c->ctl + "," + c->ack,
          "-e",   events,      "--"};
}

// Sends perf a control command and waits (bounded) for its acknowledgement.
bool counter_command(Counter *c, const char *command) {
  const double until = clock_monotonic() + 120;
  while (c->ctl_fd < 0 && clock_monotonic() < until) {
    c->ctl_fd = open(c->ctl.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (c->ctl_fd < 0) clock_sleep(0.05);
  }
  if (c->ctl_fd < 0 || c->ack_fd < 0) return false;
  std::string line = std::string(command) + "\n";
  if (write(c->ctl_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
  std::string got;
  while (got.find("ack") == std::string::npos && clock_monotonic() < until) {
    char buf[64];
    ssize_t n = read(c->ack_fd, buf, sizeof buf);
    if (n > 0) {
      got.append(buf, static_cast<size_t>(n));
    } else {
      clock_sleep(0.02);
    }
  }
  return got.find("ack") != std::string::npos;
}

// The child of `parent` (the program perf runs); -1 when none shows within the bound.
pid_t child_of(pid_t parent) {
  for (double waited = 0; waited < 60; waited += 0.05) {
    DIR *d = opendir("/proc");
    for (struct dirent *e; d != nullptr && (e = readdir(d)) != nullptr;) {
      if (!isdigit(static_cast<unsigned char>(e->d_name[0]))) continue;
      std::string s = e2e_read_text(std::string("/proc/") + e->d_name + "/stat");
      size_t at = s.rfind(')');
      int ppid = 0;
      char state = 0;
      if (at != std::string::npos && sscanf(s.c_str() + at + 1, " %c %d", &state, &ppid) == 2 &&
          ppid == parent) {
        pid_t child = atoi(e->d_name);
        closedir(d);
        return child;
      }
    }
    if (d != nullptr) closedir(d);
    clock_sleep(0.05);
  }
  return -1;
}

// Reads what a counter counted, once it ended.
void counter_read(const Counter &counter, SyscallCount *c) {
  std::istringstream in(e2e_read_text(counter.file));
  for (std::string line; std::getline(in, line);) {
    if (c->how == "perf") {
      // count,unit,event,...
      std::vector<std::string> f;
      std::istringstream fields(line);
      for (std::string x; std::getline(fields, x, ',');) f.push_back(x);
      if (f.size() < 3 || f[0].empty() || !isdigit(static_cast<unsigned char>(f[0][0]))) continue;
      long long n = atoll(f[0].c_str());
      if (f[2] == "raw_syscalls:sys_enter") {
        c->total = n;
      } else if (f[2].compare(0, 19, "syscalls:sys_enter_") == 0) {
        c->by_name[f[2].substr(19)] = n;
      }
    } else {
      // % time, seconds, usecs/call, calls, [errors,] syscall
      std::vector<std::string> f = words(line);
      if (f.size() < 5 || !isdigit(static_cast<unsigned char>(f[0][0]))) continue;
      long long n = atoll(f[3].c_str());
      if (f.back() == "total") {
        c->total = n;
      } else {
        c->by_name[f.back()] = n;
      }
    }
  }
  if (c->total < 0 && c->note.empty())
    c->note = c->how + " counted nothing:\n" + e2e_read_text(counter.log);
}

// One program at one size in the CPU mode.
struct CpuResult {
  std::string program;
  int dataloggers = 0, threads = 0;
  double startup = 0;        // seconds until every datalogger had delivered
  double window = 0;         // seconds of the CPU window
  double user = 0, sys = 0;  // % of one core over the window
  double load = 0;           // load average (1 min) at the window's start
  SyscallCount calls;
  bool ok = false;  // all delivered, clean stop
  std::string note;
};

// How many of `prefixes` begin the name of a source held in the ring; -1 when it cannot
// be asked.
int sources_delivering(int orb, const std::vector<std::string> &prefixes) {
  Orbsrc *src = nullptr;
  int n = 0;
  if (orbsources(orb, &src, &n) != 0) return -1;
  int found = 0;
  for (const std::string &p : prefixes) {
    for (int k = 0; k < n; k++) {
      if (strncmp(src[k].srcname, p.c_str(), p.size()) == 0) {
        found++;
        break;
      }
    }
  }
  free(src);
  return found;
}

// The steady window of a started program (pid `pid`): waits until every datalogger's
// waveform source (a name beginning with one of `prefixes`) is in the ring, then takes
// the program's CPU time over the window and after it counts its system calls.
void cpu_window(const Options &o, bool cpu, pid_t pid, const std::string &ring,
                const std::vector<std::string> &prefixes, Counter *counter, CpuResult *r) {
  const double started = clock_monotonic();
  int orb = orbopen(ring.c_str(), "r");
  int delivering = 0;
  const double bound = o.emu.empty() ? 180 : 600;
  while (orb >= 0 && clock_monotonic() - started < bound) {
    delivering = sources_delivering(orb, prefixes);
    if (delivering == static_cast<int>(prefixes.size()) || kill(pid, 0) != 0) break;
    clock_sleep(0.25);
  }
  if (orb >= 0) orbclose(orb);
  r->startup = clock_monotonic() - started;
  if (delivering != static_cast<int>(prefixes.size())) {
    r->note = std::to_string(delivering) + " of " + std::to_string(prefixes.size()) +
              " dataloggers delivered within " + std::to_string(static_cast<int>(bound)) + " s";
    return;
  }
  r->threads = thread_count(pid);
  r->load = load_average();
  r->calls.how = counter->how;
  long long u0 = 0, s0 = 0, u1 = 0, s1 = 0;
  bool have = true;
  if (cpu) {
    const double t0 = clock_monotonic();
    have = cpu_ticks(pid, &u0, &s0);
    clock_sleep(o.seconds);
    have = cpu_ticks(pid, &u1, &s1) && have;
    r->window = clock_monotonic() - t0;
  }
  // The calls are counted after the CPU window: counting them costs the program CPU.
  if (counter->how == "perf") {
    if (counter_command(counter, "enable")) {
      const double from = clock_monotonic();
      clock_sleep(o.count_seconds);
      if (!counter_command(counter, "disable"))
        r->calls.note = "perf did not take its disable command";
      r->calls.seconds = clock_monotonic() - from;
    } else {
      r->calls.note = "perf did not take its enable command";
    }
  } else if (counter->how == "strace") {
    counter->pid = e2e_start({"strace", "-c", "-f", "-o", counter->file, "-p", std::to_string(pid)},
                             "/", counter->log);
    const double from = clock_monotonic();
    clock_sleep(o.count_seconds);
    r->calls.seconds = clock_monotonic() - from;
    // strace prints its summary when interrupted.
    if (e2e_stop(counter->pid, SIGINT, 120) < 0) r->calls.note = "strace had to be killed";
    counter->pid = -1;
    counter_read(*counter, &r->calls);
  }
  if (!have) {
    r->note = "no CPU times in /proc";
    return;
  }
  r->ok = true;
  if (!cpu) return;
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  r->user = 100.0 * static_cast<double>(u1 - u0) / tick / r->window;
  r->sys = 100.0 * static_cast<double>(s1 - s0) / tick / r->window;
}

// One run of the CPU mode: `start(run, dir, ring, &setup, &pid)` starts the program
// (with `run`'s words before it, perf's among them) and what it talks to; `stop_sims()`
// ends the latter. With `cpu` the CPU window comes first; `how` counts the calls.
template <class Start, class StopSims>
CpuResult cpu_run(const Options &o, const std::string &how, bool cpu, const std::string &program,
                  int n, const std::vector<std::string> &prefixes, Start start,
                  StopSims stop_sims) {
  CpuResult r;
  r.program = program;
  r.dataloggers = n;
  RunDir dir(o, "cpu-" + program + std::to_string(n) + (cpu ? "" : "-calls"));
  const std::string ring = dir.file("ring"), out = dir.file(program + ".out");
  Counter counter;
  counter.how = how;
  Options run = o;
  if (!dir.path.empty()) {
    std::vector<std::string> words = counter_prefix(&counter, dir);
    if (counter.how == "perf" && words.empty()) counter.how = "none";
    run.emu = prefixed(words, o.emu);
  }
  Result setup;
  pid_t pid = -1;
  if (!start(run, dir, ring, &setup, &pid)) {
    r.note = setup.note;
    stop_sims();
    return r;
  }
  pid_t prog = pid;
  if (counter.how == "perf") {
    counter.pid = pid;
    prog = child_of(pid);
  }
  if (prog > 0) {
    cpu_window(o, cpu, prog, ring, prefixes, &counter, &r);
    kill(prog, SIGTERM);
  } else {
    r.note = "perf did not start the program";
  }
  // Under perf the program is perf's child, and perf's status is the program's.
  int status = e2e_stop(pid, 0, 120);
  if (status < 0 && prog != pid && prog > 0) kill(prog, SIGKILL);
  if (!stopped_cleanly(status)) {
    r.ok = false;
    if (r.note.empty()) r.note = program + " did not stop cleanly:\n" + tail_of(e2e_read_text(out));
  }
  if (counter.how == "perf") counter_read(counter, &r.calls);
  stop_sims();
  return r;
}

// One size of the CPU mode. perf's counters cost the program CPU even while they are off
// (about 1.5 % of a core for 100 Q330s): with perf the CPU comes from a run without
// them and the calls from a second run under perf. strace attaches only after the CPU
// window.
template <class Start, class StopSims>
CpuResult cpu_measure(const Options &o, const std::string &program, int n,
                      const std::vector<std::string> &prefixes, Start start, StopSims stop_sims) {
  if (o.counter != "perf")
    return cpu_run(o, o.counter, true, program, n, prefixes, start, stop_sims);
  CpuResult r = cpu_run(o, "none", true, program, n, prefixes, start, stop_sims);
  if (!r.ok) return r;
  CpuResult c = cpu_run(o, "perf", false, program, n, prefixes, start, stop_sims);
  r.calls = c.calls;
  if (!c.ok) r.calls.note = "the counted run failed: " + c.note;
  return r;
}

CpuResult cpu_muldrin(const Options &o, int n) {
  std::vector<std::string> prefixes;
  for (int k = 0; k < n; k++) prefixes.push_back("TA_" + e2e_station(k) + "_");
  pid_t sim = -1;
  return cpu_measure(
      o, "muldrin", n, prefixes,
      // Records without end, one a second: the pace lasts as long as the window needs.
      [&](const Options &run, const RunDir &dir, const std::string &ring, Result *setup,
          pid_t *pid) { return start_muldrin(run, n, 0, dir, ring, setup, &sim, pid); },
      [&] {
        if (sim > 0) e2e_stop(sim, SIGTERM, 10);
        sim = -1;
      });
}

CpuResult cpu_kessaro(const Options &o, int m) {
  std::vector<std::string> prefixes;
  for (int k = 0; k < m; k++) prefixes.push_back("XX_AL" + std::to_string(k + 1) + "_");
  std::vector<pid_t> sims;
  return cpu_measure(
      o, "kessaro", m, prefixes,
      [&](const Options &run, const RunDir &dir, const std::string &ring, Result *setup,
          pid_t *pid) { return start_kessaro(run, m, dir, ring, setup, &sims, pid); },
      [&] {
        for (pid_t p : sims) e2e_stop(p, SIGTERM, 10);
        sims.clear();
      });
}

// The table of the CPU mode; false when a run failed.
bool cpu_report(const Options &o, const std::vector<CpuResult> &rows) {
  printf(
      "\n== CPU per datalogger (%% of one core over the window after every datalogger "
      "delivered; system calls from %s)\n",
      o.counter.c_str());
  if (!o.emu.empty())
    printf(
        "  programs under the emulator: CPU is the emulator's and no timing; calls are the\n"
        "  emulator's own calls to the host for the program\n");
  for (const auto &[key, value] : o.muldrin_set)
    printf("  muldrin's parameter file: %s %s\n", key.c_str(), value.c_str());
  printf("  %-8s %4s %5s %7s %7s %5s %7s %7s %7s %8s %9s  %s\n", "program", "dl", "thr", "startup",
         "window", "load", "%user", "%sys", "%total", "%/dl", "calls/dl-s", "top calls per dl-s");
  bool ok = true;
  for (const CpuResult &r : rows) {
    if (!r.ok) {
      printf("  %-8s %4d  FAIL: %s\n", r.program.c_str(), r.dataloggers, r.note.c_str());
      ok = false;
      continue;
    }
    const double total = r.user + r.sys;
    printf("  %-8s %4d %5d %6.1fs %6.1fs %5.2f %7.3f %7.3f %7.3f %8.4f", r.program.c_str(),
           r.dataloggers, r.threads, r.startup, r.window, r.load, r.user, r.sys, total,
           total / r.dataloggers);
    const SyscallCount &c = r.calls;
    if (c.total < 0 || c.seconds <= 0) {
      printf(" %9s  %s\n", "-", c.note.empty() ? "(not counted)" : c.note.c_str());
      continue;
    }
    const double per = static_cast<double>(r.dataloggers) * c.seconds;
    printf(" %9.1f ", static_cast<double>(c.total) / per);
    std::vector<std::pair<long long, std::string>> top;
    long long named = 0;
    for (const auto &[name, n] : c.by_name) {
      top.emplace_back(n, name);
      named += n;
    }
    std::sort(top.rbegin(), top.rend());
    for (size_t k = 0; k < top.size() && k < 6 && top[k].first > 0; k++)
      printf(" %s %.1f", top[k].second.c_str(), static_cast<double>(top[k].first) / per);
    if (c.how == "perf" && c.total > named)
      printf(" other %.1f", static_cast<double>(c.total - named) / per);
    if (c.how == "strace") printf(" (strace over %.0f s)", c.seconds);
    printf("\n");
  }
  printf(
      "  dl: dataloggers; thr: the program's threads; startup: from the program's start\n"
      "  until every datalogger had delivered; load: 1-minute load average at the window's\n"
      "  start; %%/dl: %%total per datalogger; calls/dl-s: system calls per datalogger and\n"
      "  second\n");
  // The goal of the paced muldrin, printed and not required: natively, 100 Q330s take at
  // most 1.5 % of one core and 10 system calls per datalogger-second.
  for (const CpuResult &r : rows) {
    if (!o.emu.empty() || !r.ok || r.program != "muldrin" || r.dataloggers != 100) continue;
    double calls = r.calls.total >= 0 && r.calls.seconds > 0
                       ? static_cast<double>(r.calls.total) / (100 * r.calls.seconds)
                       : -1;
    printf(
        "  goal (not required): muldrin with 100 Q330s at most 1.5 %% of a core: %s (%.2f %%)"
        "; at most 10 calls per datalogger-second: %s\n",
        r.user + r.sys <= 1.5 ? "met" : "not met", r.user + r.sys,
        calls < 0     ? "not counted"
        : calls <= 10 ? "met"
                      : "not met");
  }
  fflush(stdout);
  return ok;
}

// ---- report ----

double mib(long long bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

// Prints one program's table; false when a goal failed or a sample was lost.
bool report(const Options &o, const Result &full, const Result *base, double rss_goal_mib) {
  const bool emulated = !o.emu.empty();
  const char *p = full.program.c_str();
  printf("\n== %s: %d dataloggers%s\n", p, full.dataloggers,
         emulated ? " (programs run under the emulator)" : "");
  if (base != nullptr && !base->note.empty()) {
    printf("%s: the run with one datalogger could not run: %s\n", p, base->note.c_str());
    fflush(stdout);
    return false;
  }
  if (!full.note.empty()) {
    printf("%s: could not run: %s\n", p, full.note.c_str());
    fflush(stdout);
    return false;
  }
  auto row = [&](const char *what, long long v1, long long vn, bool per_dl) {
    printf("  %-30s", what);
    if (base) printf(" %12.1f", per_dl ? mib(v1) : static_cast<double>(v1));
    printf(" %12.1f", per_dl ? mib(vn) : static_cast<double>(vn));
    if (per_dl) {
      printf(" %12.2f", mib(vn) / full.dataloggers);
      if (base && full.dataloggers > 1) printf(" %12.2f", mib(vn - v1) / (full.dataloggers - 1));
    }
    printf("\n");
  };
  printf("  %-30s", "");
  if (base) printf(" %12s", "1 dl");
  printf(" %12s %12s", (std::to_string(full.dataloggers) + " dl").c_str(), "N-run / N");
  if (base) printf(" %12s", "(N-1)/(N-1)");
  printf("\n");
  row("dataloggers registered", base ? base->registered : 0, full.registered, false);
  row("dataloggers delivering", base ? base->delivering : 0, full.delivering, false);
  row("threads (peak)", base ? base->proc.threads : 0, full.proc.threads, false);
  row("host virtual size MiB (peak)", base ? base->proc.vm_peak : 0, full.proc.vm_peak, true);
  row("resident MiB (peak)", base ? base->proc.rss_peak : 0, full.proc.rss_peak, true);
  if (full.guest_virtual >= 0) {
    row("own virtual size MiB (maps)", base ? base->guest_virtual : 0, full.guest_virtual, true);
    row("  without reservations MiB", base ? base->guest_accessible : 0, full.guest_accessible,
        true);
  }
  row("samples in the ring", base ? base->samples : 0, full.samples, false);
  row("samples missing", base ? base->missing : 0, full.missing, false);
  row("samples doubled", base ? base->doubled : 0, full.doubled, false);
  row("samples wrong or outside", base ? base->wrong + base->outside : 0, full.wrong + full.outside,
      false);
  if (base)
    printf("  (N-1)/(N-1): the N-datalogger run minus the one-datalogger run, over N - 1\n");
  if (emulated)
    printf(
        "  threads, host virtual size and resident memory are the emulator process's (the\n"
        "  emulator's own threads and memory included); own virtual size is the program's\n"
        "  /proc/self/maps as the emulator shows it to the program\n");
  for (const std::string &l : full.stack_lines) printf("  %s\n", l.c_str());

  // Goals. Virtual size: the program's own view when it gave one, else the host's. On a
  // 32-bit target every mapping counts against its address space; on a 64-bit one the
  // reservations (the C library reserves 64 MiB of address space per heap arena) cost
  // nothing, and the accessible mappings are what the program uses.
  const bool wide = sizeof(void *) > 4;
  long long virt = full.guest_virtual >= 0 ? (wide ? full.guest_accessible : full.guest_virtual)
                                           : full.proc.vm_peak;
  const char *virt_how = full.guest_virtual < 0 ? "host VmPeak"
                         : wide                 ? "own maps without reservations, 64-bit"
                                                : "own maps, 32-bit";
  double rss_per_dl = mib(full.proc.rss_peak) / full.dataloggers;
  const char *rss_how = "N-run / N";
  // With a one-datalogger run beside it, the difference leaves out what does not grow with
  // the dataloggers: the emulator's own memory and the pages of the ring file mapped.
  if (base && full.dataloggers > 1) {
    rss_per_dl = mib(full.proc.rss_peak - base->proc.rss_peak) / (full.dataloggers - 1);
    rss_how = "(N-1)/(N-1)";
  }
  bool all_deliver = full.delivering == full.dataloggers &&
                     (base == nullptr || base->delivering == base->dataloggers);
  bool none_lost = full.missing == 0 && full.doubled == 0 && full.wrong == 0 && full.outside == 0 &&
                   full.exited_cleanly &&
                   (base == nullptr || (base->missing == 0 && base->doubled == 0 &&
                                        base->wrong == 0 && base->outside == 0));
  bool virt_ok = virt >= 0 && virt < (3ll << 29);
  bool rss_ok = rss_per_dl < rss_goal_mib;
  printf("  %s all %d dataloggers deliver\n", all_deliver ? "PASS" : "FAIL", full.dataloggers);
  printf("  %s no sample missing, doubled or wrong; clean stop\n", none_lost ? "PASS" : "FAIL");
  const char *pass = "PASS", *fail = o.memory_goals ? "FAIL" : "fail (not required)";
  printf("  %s virtual size %.1f MiB under 1.5 GiB (%s)\n", virt_ok ? pass : fail, mib(virt),
         virt_how);
  printf("  %s resident %.2f MiB per datalogger under %.0f MiB (%s)\n", rss_ok ? pass : fail,
         rss_per_dl, rss_goal_mib, rss_how);
  std::vector<std::string> faults = full.faults;
  if (base) faults.insert(faults.end(), base->faults.begin(), base->faults.end());
  for (size_t i = 0; i < faults.size() && i < 40; i++) printf("  fault: %s\n", faults[i].c_str());
  fflush(stdout);
  return all_deliver && none_lost && (!o.memory_goals || (virt_ok && rss_ok));
}

}  // namespace

int main(int argc, char **argv) {
  Options o;
  if (!parse_args(argc, argv, &o)) {
    usage();
    return 2;
  }
  signal(SIGPIPE, SIG_IGN);
  // The system-call counter opens a descriptor per event and thread of the program.
  struct rlimit lim {};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  if (o.cpu) {
    o.counter = pick_counter(o.counter);
    std::vector<CpuResult> rows;
    if (o.run_muldrin)
      for (int n : o.q330_sizes) rows.push_back(cpu_muldrin(o, n));
    if (o.run_kessaro)
      for (int m : o.altus_sizes) rows.push_back(cpu_kessaro(o, m));
    bool ok = cpu_report(o, rows);
    printf("\nloadrun: %s\n", ok ? "every run measured" : "FAILED");
    return ok ? 0 : 1;
  }
  bool ok = true;
  if (o.run_muldrin) {
    Result base, full;
    if (o.baseline && o.q330s > 1) base = run_muldrin(o, 1, std::min(o.seconds, 15.0));
    full = run_muldrin(o, o.q330s, o.seconds);
    ok = report(o, full, o.baseline && o.q330s > 1 ? &base : nullptr, 2.0) && ok;
  }
  if (o.run_kessaro) {
    Result base, full;
    // A link takes about 16 s from its first call to a running stream: the one-link run
    // lasts long enough to stream.
    if (o.baseline && o.altus > 1) base = run_kessaro(o, 1, std::min(o.kessaro_seconds, 40.0));
    full = run_kessaro(o, o.altus, o.kessaro_seconds);
    ok = report(o, full, o.baseline && o.altus > 1 ? &base : nullptr, 4.0) && ok;
  }
  printf("\nloadrun: %s\n", ok ? "all goals met" : "FAILED");
  return ok ? 0 : 1;
}
