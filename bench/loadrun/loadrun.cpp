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
// The ring is read by this program, so it must be built for the same target as the
// programs that write it.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
  bool run_muldrin = true, run_kessaro = true, baseline = true;
  bool memory_goals = true;  // --data-only: delivery and samples only
  std::vector<std::string> emu, sim_emu;
  bool sim_emu_given = false;
  std::string muldrin = MULDRIN_BIN, q330sim = Q330SIM_BIN, muldrin_pf = MULDRIN_PF;
  std::string kessaro = KESSARO_BIN, altussim = ALTUSSIM_BIN, kessaro_pf = KESSARO_PF;
  std::string keep;  // folder to keep the run's files in (empty: a temporary one, removed)
};

void usage() {
  fprintf(stderr,
          "usage: loadrun [-n q330s] [-m altus_links] [-t seconds] [-T kessaro_seconds]\n"
          "               [--only muldrin|kessaro] [--no-baseline] [--data-only]\n"
          "               [--emu 'prefix words']\n"
          "               [--sim-emu 'prefix words'] [--keep folder]\n"
          "               [--muldrin path] [--q330sim path] [--muldrin-pf path]\n"
          "               [--kessaro path] [--altussim path] [--kessaro-pf path]\n"
          "  -n  simulated Q330s for muldrin; default 100\n"
          "  -m  simulated Altus links for kessaro; default 20\n"
          "  -t  seconds of data each Q330 makes (one record a second); default 60\n"
          "  -T  seconds kessaro runs; default as -t\n"
          "  --emu      words put before the programs (muldrin, kessaro), e.g. an emulator\n"
          "  --sim-emu  words put before the simulators; default as --emu\n"
          "  --no-baseline  no run with one datalogger first\n"
          "  --data-only    the memory goals are printed but not required\n"
          "The programs and example parameter files default to those of this build.\n");
}

std::vector<std::string> words(const std::string &s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
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
    if (v == nullptr) return false;
    i++;
    if (a == "-n") {
      o->q330s = atoi(v);
    } else if (a == "-m") {
      o->altus = atoi(v);
    } else if (a == "-t") {
      o->seconds = atof(v);
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
    } else if (a == "--keep") {
      o->keep = v;
    } else if (a == "--muldrin") {
      o->muldrin = v;
    } else if (a == "--q330sim") {
      o->q330sim = v;
    } else if (a == "--muldrin-pf") {
      o->muldrin_pf = v;
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

Result run_muldrin(const Options &o, int n, double seconds) {
  Result r;
  r.program = "muldrin";
  r.dataloggers = n;
  const int records = static_cast<int>(seconds);
  RunDir dir(o, "muldrin" + std::to_string(n));
  if (dir.path.empty()) {
    r.note = "no folder for the run";
    return r;
  }
  const std::string ring = dir.file("ring"), sim_out = dir.file("q330sim.out"),
                    out = dir.file("muldrin.out"), pf = dir.file("muldrin.pf");
  // Room for every packet of the run several times over.
  long long ring_size = std::max(64ll << 20, static_cast<long long>(n) * records * 16384);
  if (orbcreate(ring.c_str(), std::min(ring_size, 1ll << 30)) != 0) {
    r.note = "orbcreate failed";
    return r;
  }
  pid_t sim = e2e_start(
      prefixed(o.sim_emu, {o.q330sim, "-b", "0", "-s", "0100000000000001", "-n", std::to_string(n),
                           "-g", "1", "-r", std::to_string(records), "-i", "1"}),
      dir.path, sim_out);
  std::vector<E2eUnit> units;
  for (double waited = 0; waited < 120 && units.size() < static_cast<size_t>(n); waited += 0.1) {
    units = e2e_units(sim_out);
    clock_sleep(0.1);
  }
  if (units.size() < static_cast<size_t>(n)) {
    r.note = "the simulator announced " + std::to_string(units.size()) + " units:\n" +
             e2e_read_text(sim_out);
    e2e_stop(sim, SIGTERM, 10);
    return r;
  }
  FILE *f = fopen(pf.c_str(), "w");
  if (f == nullptr) {
    r.note = "cannot write " + pf;
    e2e_stop(sim, SIGTERM, 10);
    return r;
  }
  fputs(e2e_pf(o.muldrin_pf, units).c_str(), f);
  fclose(f);
  pid_t pid = start_measured(prefixed(o.emu, {o.muldrin, "-pf", pf, "-S", dir.file("state"), "TA",
                                              "data", ring, "cmd", ring, "log", ring, "st", ring}),
                             dir.path, out);
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

Result run_kessaro(const Options &o, int m, double seconds) {
  Result r;
  r.program = "kessaro";
  r.dataloggers = m;
  RunDir dir(o, "kessaro" + std::to_string(m));
  if (dir.path.empty()) {
    r.note = "no folder for the run";
    return r;
  }
  const std::string ring = dir.file("ring"), out = dir.file("kessaro.out");
  if (orbcreate(ring.c_str(), 64ll << 20) != 0) {
    r.note = "orbcreate failed";
    return r;
  }
  std::vector<pid_t> sims;
  std::vector<int> ports;
  auto stop_sims = [&] {
    for (pid_t p : sims) e2e_stop(p, SIGTERM, 10);
  };
  for (int k = 0; k < m; k++) {
    std::string sim_out = dir.file("altussim" + std::to_string(k) + ".out");
    sims.push_back(e2e_start(
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
      r.note = "altussim " + std::to_string(k) + " did not listen:\n" + e2e_read_text(sim_out);
      stop_sims();
      return r;
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
    r.note = "cannot write the parameter file";
    stop_sims();
    return r;
  }
  fputs(pf.c_str(), f);
  fclose(f);
  pid_t pid = start_measured(prefixed(o.emu, {o.kessaro, "-pf", dir.file("kessaro"), "-state",
                                              dir.file("state"), "kes", "cmd", ring, "out", ring}),
                             dir.path, out);
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
