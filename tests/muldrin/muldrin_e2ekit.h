// muldrin_e2ekit.h - the pieces of an end-to-end run that need no test framework: child
// programs started and stopped, the simulator's announcements read, muldrin's parameter
// file built for N simulated Q330s, and the sample-by-sample check of what reached the ring
// against the simulator's own generator (q330sim_sample). The end-to-end tests
// (muldrin_e2e.h) and the load run (bench/loadrun) both build on it.
//
// Waits go through the clock seam (clock_sleep between looks), with bounds that only end
// a run that went wrong.
//
// What the simulator makes (q330sim_data.h): record r of unit k is second r after 2000
// and carries, from seed s + k, the channel-streams the data port's LOG enables at the
// FIX rates of the simulator's configuration (q330sim_config.h). The parameter file made
// here has muldrin enable physical channels 0 to 3 on streams 0, 1 and 2 (at 100, 1 and
// 10 samples/s with the simulator's FIX), and names them <net>_<sta>_<band>H<component>:
// bands L (stream 0), S (stream 1), H (stream 2); components Z, N, E and 1 for channels 0
// to 3. Channel p on stream s carries generator channel p + 8 s; the absolute index of a
// sample is r x rate + its place in the record.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "q330sim_config.h"
#include "q330sim_data.h"
#include "ring/orb.h"
#include "testkit/e2e_process.h"

inline constexpr double E2E_EPOCH_2000 = 946684800.0;

// One simulated unit as the simulator announced it.
struct E2eUnit {
  int index = 0;
  std::string serial, address;
  int base = 0, control = 0, data = 0;
};

// The units announced in the simulator's output.
inline std::vector<E2eUnit> e2e_units(const std::string &out) {
  std::vector<E2eUnit> units;
  std::string s = e2e_read_text(out);
  for (size_t at = s.find("q330sim: unit "); at != std::string::npos;
       at = s.find("q330sim: unit ", at + 1)) {
    E2eUnit u;
    char serial[32], address[32];
    if (sscanf(s.c_str() + at,
               "q330sim: unit %d serial %31s on %31[^:]: base port %d, control port %d, data "
               "port %d",
               &u.index, serial, address, &u.base, &u.control, &u.data) == 6) {
      u.serial = serial;
      u.address = address;
      units.push_back(u);
    }
  }
  return units;
}

// Replaces the value of `key` in a parameter-file text: a "key value" line, or a block
// from "key &Arr{" / "key &Tbl{" to its closing line "}" at the start of a line.
inline void e2e_pf_set(std::string *pf, const std::string &key, const std::string &value) {
  size_t at = pf->find("\n" + key + " ");
  if (at == std::string::npos) {
    *pf += key + " " + value + "\n";
    return;
  }
  at++;
  size_t end = pf->find('\n', at);
  if (pf->compare(at + key.size() + 1, 1, "&") == 0) end = pf->find("\n}", at) + 2;
  pf->replace(at, end - at, key + " " + value);
}

// The station of unit `unit` (from 0) in the parameter file of e2e_pf: a station code
// holds at most five characters, so Q1 to Q9999.
inline std::string e2e_station(int unit) { return "Q" + std::to_string(unit + 1); }

// A parameter file for muldrin from the example `example_pf` (its text): every unit as
// datalogger TA_Q<k+1> (station Q<k+1>, e2e_station) on its address and base port (a block of the
// datalogger's own), from any free local ports, every channel
// and stream of the simulator acquired, with short time-outs; with `poc_port`, points of
// contact taken on that UDP port.
inline std::string e2e_pf(const std::string &example_pf, const std::vector<E2eUnit> &units,
                          int poc_port = 0) {
  std::string pf = e2e_read_text(example_pf);
  e2e_pf_set(&pf, "pchan_map",
             "&Arr{\n0 $DLNET_$DLSTA_BHZ 1.0 1.0 V\n1 $DLNET_$DLSTA_BHN 1.0 1.0 V\n"
             "2 $DLNET_$DLSTA_BHE 1.0 1.0 V\n3 $DLNET_$DLSTA_BH1 1.0 1.0 V\n}");
  e2e_pf_set(&pf, "rate_mask", "&Arr{\n0 LH. 00\n1 SH. 00\n2 HH. 00\n}");
  std::string row = "genc genc genc 0 0 0 0 0\n";
  e2e_pf_set(&pf, "acq_matrix", "&Tbl{\n" + row + row + row + row + "}");
  std::string dls = "&Tbl{\n", blocks;
  for (const E2eUnit &u : units) {
    std::string sta = e2e_station(u.index);
    dls +=
        "TA_" + sta + " TA " + sta + " " + u.serial + " " + u.address + " 1 broadband startacq\n";
    blocks += "TA_" + sta + " &Arr{\nq330_port_base " + std::to_string(u.base) + "\n}\n";
  }
  e2e_pf_set(&pf, "dataloggers", dls + "}");
  if (poc_port) e2e_pf_set(&pf, "pocds", "&Tbl{\n" + std::to_string(poc_port) + "\n}");
  pf += blocks;
  for (auto [key, value] : std::vector<std::pair<const char *, const char *>>{
           {"local_port_control", "0"},
           {"local_port_data", "0"},
           {"timeout_control", "0.5"},
           {"timeout_data", "2.0"},
           {"register_retry_sleep", "0.5"},
           {"maxretries_register", "0"},
           {"statusrequest_interval", "2"},
           {"shutdown_wait_time", "10.0"},
           {"shutdown_timeout", "5.0"},
       })
    e2e_pf_set(&pf, key, value);
  return pf;
}

// Samples found in the ring, per channel name (net_sta_chan_loc) and absolute index.
struct E2eSamples {
  struct Channel {
    double rate = 0;
    std::map<int64_t, int32_t> value;
    std::map<int64_t, int> seen;  // how often each index came
    int off_grid = 0;             // packets whose first time is off the sample grid
  };
  std::map<std::string, Channel> channels;
  int packets = 0, waveforms = 0, undecodable = 0;
  std::map<std::string, int> undecodable_sources;
  std::map<std::string, int> sources;  // packets by source name
  std::string log;                     // the texts of the log packets, in order
  // In ring order: U a program's startup banner, S its shutdown begun ("Stopping
  // acquisition"), T a status report (/pf/st).
  std::string marks;
};

// Reads every packet held in the ring and decodes the waveforms; with `only`, just the
// packets whose source name begins with it.
inline int e2e_read_ring(const std::string &ring, E2eSamples *out, const std::string &only = "") {
  int orb = orbopen(ring.c_str(), "r");
  if (orb < 0) return -1;
  orbseek(orb, ORBOLDEST);
  char *buf = nullptr;
  int bufsize = 0, nbytes = 0, id = 0;
  char src[ORBSRCNAME_SIZE];
  double t = 0;
  Packet *pkt = nullptr;
  while (orbreap_nd(orb, &id, src, &t, &buf, &nbytes, &bufsize) == 0) {
    if (strncmp(src, only.c_str(), only.size()) != 0) continue;
    out->packets++;
    out->sources[src]++;
    int kind = unstuffPkt(src, t, buf, nbytes, &pkt);
    if (kind < 0) {
      out->undecodable++;
      out->undecodable_sources[src]++;
      continue;
    }
    if (kind == Pkt_log && pkt->string) {
      out->log += std::string(src) + ": " + pkt->string + "\n";
      if (strstr(pkt->string, "muldrin startup")) out->marks += 'U';
      if (strstr(pkt->string, "muldrin_shutdown: Stopping acquisition")) out->marks += 'S';
    }
    size_t srclen = strlen(src);
    if (srclen >= 6 && strcmp(src + srclen - 6, "/pf/st") == 0) out->marks += 'T';
    if (kind != Pkt_wf) continue;
    out->waveforms++;
    for (int i = 0; i < pkt->nchannels; i++) {
      auto *pc = static_cast<PktChannel *>(gettbl(pkt->channels, i));
      std::string name = std::string(pc->net) + "_" + pc->sta + "_" + pc->chan;
      if (pc->loc[0]) name += std::string("_") + pc->loc;
      E2eSamples::Channel &c = out->channels[name];
      c.rate = pc->samprate;
      double exact = (pc->time - E2E_EPOCH_2000) * pc->samprate;
      int64_t first = std::llround(exact);
      if (std::fabs(pc->time - (E2E_EPOCH_2000 + first / pc->samprate)) > 1e-6) c.off_grid++;
      for (int j = 0; j < pc->nsamp; j++) {
        c.value[first + j] = pc->data[j];
        c.seen[first + j]++;
      }
    }
  }
  freePkt(pkt);
  free(buf);
  orbclose(orb);
  return 0;
}

// The latest data time (end of the last sample) of channel `name` in the ring; 0 none.
// Only that channel's packets are decoded: a test that asks often does not spend the
// machine on the others.
inline double e2e_ring_reached(const std::string &ring, const std::string &name) {
  E2eSamples s;
  if (e2e_read_ring(ring, &s, name) < 0) return 0;
  auto it = s.channels.find(name);
  if (it == s.channels.end() || it->second.value.empty()) return 0;
  return E2E_EPOCH_2000 + (it->second.value.rbegin()->first + 1) / it->second.rate;
}

// One channel-stream the parameter file of e2e_pf acquires: its name after the station,
// the generator channel of its samples and its rate in samples/s.
struct E2eChannel {
  std::string chan;
  int generator, rate;
};

inline const std::vector<E2eChannel> &e2e_channels() {
  static const std::vector<E2eChannel> channels = [] {
    std::vector<E2eChannel> out;
    Q330SimConfig config;
    const char band[] = {'L', 'S', 'H'}, component[] = {'Z', 'N', 'E', '1'};
    for (int stream = 0; stream < 3; stream++)
      for (int p = 0; p < 4; p++)
        out.push_back({std::string{band[stream], 'H', component[p]}, p + 8 * stream,
                       q330sim_data_rate(config.bit_frequency[stream])});
    return out;
  }();
  return channels;
}

// Compares what the ring holds of unit `unit` (station Q<unit+1>) with the generator
// for seed `seed` over records [first_record, first_record + records): every sample
// there once, with the generator's value, on the sample grid, and nothing outside.
// One line per fault (at most a few per channel); none when all is well.
inline std::vector<std::string> e2e_check_unit(const E2eSamples &s, int unit, uint32_t seed,
                                               uint32_t first_record, int records) {
  std::vector<std::string> faults;
  std::string sta = "TA_" + e2e_station(unit) + "_";
  for (const E2eChannel &e : e2e_channels()) {
    std::string name = sta + e.chan;
    auto it = s.channels.find(name);
    if (it == s.channels.end()) {
      std::string held;
      for (const auto &[n, c] : s.channels) held += " " + n;
      faults.push_back(name + ": no samples; channels held:" + held);
      continue;
    }
    const E2eSamples::Channel &c = it->second;
    int reported = 0;
    auto fault = [&](const std::string &text) {
      if (reported++ < 5) faults.push_back(name + ": " + text);
    };
    if (c.rate != e.rate) fault("rate " + std::to_string(c.rate));
    if (c.off_grid) fault(std::to_string(c.off_grid) + " packets off the sample grid");
    int64_t lo = static_cast<int64_t>(first_record) * e.rate;
    int64_t hi = lo + static_cast<int64_t>(records) * e.rate;
    for (int64_t i = lo; i < hi; i++) {
      auto v = c.value.find(i);
      if (v == c.value.end()) {
        fault("sample " + std::to_string(i) + " missing");
        continue;
      }
      int n = c.seen.at(i);
      if (n != 1) fault("sample " + std::to_string(i) + " came " + std::to_string(n) + " times");
      int32_t want = q330sim_sample(seed, e.generator, i);
      if (v->second != want)
        fault("sample " + std::to_string(i) + " is " + std::to_string(v->second) + ", not " +
              std::to_string(want));
    }
    if (c.value.begin()->first < lo || c.value.rbegin()->first >= hi)
      fault("samples outside the records made: " + std::to_string(c.value.begin()->first) + " to " +
            std::to_string(c.value.rbegin()->first));
    if (reported > 5) faults.push_back(name + ": " + std::to_string(reported - 5) + " more faults");
  }
  return faults;
}

// Counts of the faults of one unit over the same records as e2e_check_unit: samples
// missing, samples that came more than once (each surplus copy counted), samples with a
// value other than the generator's, and samples outside the records made.
struct E2eTally {
  long missing = 0, doubled = 0, wrong = 0, outside = 0;
  int channels = 0;  // of those e2e_channels lists, the ones with any sample
};

inline E2eTally e2e_tally_unit(const E2eSamples &s, int unit, uint32_t seed, uint32_t first_record,
                               int records) {
  E2eTally t;
  std::string sta = "TA_" + e2e_station(unit) + "_";
  for (const E2eChannel &e : e2e_channels()) {
    int64_t lo = static_cast<int64_t>(first_record) * e.rate;
    int64_t hi = lo + static_cast<int64_t>(records) * e.rate;
    auto it = s.channels.find(sta + e.chan);
    if (it == s.channels.end()) {
      t.missing += hi - lo;
      continue;
    }
    const E2eSamples::Channel &c = it->second;
    t.channels++;
    for (const auto &[index, value] : c.value) {
      if (index < lo || index >= hi) {
        t.outside++;
        continue;
      }
      if (value != q330sim_sample(seed, e.generator, index)) t.wrong++;
      t.doubled += c.seen.at(index) - 1;
    }
    for (int64_t i = lo; i < hi; i++) t.missing += c.value.count(i) ? 0 : 1;
  }
  return t;
}
