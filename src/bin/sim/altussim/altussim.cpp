// altussim - simulated Altus dataloggers in block mode, for demonstrations, manual tests and
// the end-to-end tests of kessaro. Each datalogger serves its own byte stream: a TCP server
// on a loopback address, a TCP client connecting out, a pseudo-terminal whose slave path it
// prints, or a dial-in/dial-out line (altussim_dial.h), each with its own knobs.
//
// Several dataloggers: their options separated by "--" on the command line, or one line
// of options each in a file given with -config (blank lines and lines from '#' ignored).
// Program options, anywhere: -poc writes a point-of-contact announcement into a ring.
//
// Each datalogger is announced on standard output as it starts:
//   altussim: unit <k> serial <n> <what it serves>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "altussim_block.h"
#include "altussim_dial.h"
#include "altussim_evtwriter.h"
#include "altussim_poc.h"
#include "base/clock.h"

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

void usage(FILE *out = stderr) {
  fprintf(out,
          "usage: altussim [-poc ring,srcname,host:port,key=value[,after=seconds]] [-config file]\n"
          "                DATALOGGER [-- DATALOGGER ...]\n"
          "DATALOGGER: [-tcpserver port [-address host[,host...]] | -connect port | -pty]\n"
          "                [-serial n]\n"
          "                [-station name] [-model name] [-events n] [-record after:seconds]\n"
          "                [-chunked] [-drop cmd:n] [-wrongseq cmd:n] [-badheader cmd:n]\n"
          "                [-baddata cmd:n] [-duplicate cmd:n] [-delay cmd:n:seconds]\n"
          "                [-streams n:samples:rate[:timeout]] [-paced] [-streambuffer n]\n"
          "                [-streamfaults drop:reorder:duplicate:badcrc[:seed[:linedrop]]]\n"
          "                [-flood per_second:seconds[:after]] [-endless fanout]\n"
          "  -poc - send point-of-contact packets into the ring with these keys\n"
          "  -config - read DATALOGGER groups from a file, one a line\n"
          "  -tcpserver/-connect/-pty - listen on a TCP port, connect to one, or use a pty\n"
          "  -serial/-station/-model - the datalogger's serial number, station and model\n"
          "  -events - event files waiting for download\n"
          "  -chunked - send replies in small pieces\n"
          "  -drop/-wrongseq/-badheader/-baddata/-duplicate/-delay - faults on a reply\n"
          "  -paced - streams follow the clock; -streambuffer - packets kept for resends\n"
          "  -streamfaults - probabilities of faults on stream packets\n"
          "  -flood - short random well-framed packets on the line (at most 100000 a second,\n"
          "           for at most 3600 s), `after` seconds past the first connection\n"
          "  -endless - A:\\DEEP holds `fanout` sub-directories at every level, without end\n"
          "  -h, --help - this text\n"
          "  cmd:n - command code and its n-th occurrence (0 = every one)\n"
          "  -address - the server listens on each address, on the same port\n"
          "  -streams - once started, n streams of `samples` samples a packet at `rate`\n"
          "             samples/s, without an end\n"
          "  -record - an event starts recording `after` seconds from the start and is\n"
          "            written `seconds` later\n%s",
          altussim::altussim_dial_usage());
}

bool parse_fault(const char *arg, altussim::Fault::Kind kind, altussim::Fault *f) {
  double delay = 0;
  int cmd = 0, nth = 0;
  int got = sscanf(arg, "%d:%d:%lf", &cmd, &nth, &delay);
  if (got < 2) return false;
  *f = altussim::Fault{cmd, nth, kind, delay};
  return true;
}

// One simulated datalogger with its line.
struct Unit {
  int index = 0;
  altussim::Sim sim;
  int port = -1, connect_port = -1;
  std::vector<std::string> addresses = {"127.0.0.1"};
  bool pty = false;
  std::string model, station = "SIM01";
  int serial = 1234, events = 0;
  int nstreams = 0, rate = 0, stream_buffer = -1, line_drop_at = 0;
  double record_after = -1, record_seconds = 0;
  altussim::DialOptions dial;
  int master = -1;
  std::thread worker;  // the dial line, or the recording timer
  std::thread timer;

  bool dialing() const {
    return dial.dialin_port > 0 || dial.dialin_pty || dial.dialout_port >= 0 || dial.dialout_pty;
  }
  bool parse(std::vector<std::string> args);
  // The parameter header: the model's, with the stream settings when streaming.
  int header(altussim::Bytes *out) const;
  int start();
  void stop();
};

bool Unit::parse(std::vector<std::string> args) {
  std::vector<char *> argv;
  for (auto &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int argc = (int)args.size();
  for (int i = 0; i < argc; i++) {
    std::string a = argv[i];
    const char *v = i + 1 < argc ? argv[i + 1] : nullptr;
    altussim::Fault f{};
    const struct {
      const char *flag;
      altussim::Fault::Kind kind;
    } faults[] = {{"-drop", altussim::Fault::DROP},
                  {"-wrongseq", altussim::Fault::WRONG_SEQ},
                  {"-badheader", altussim::Fault::BAD_HEADER_SUM},
                  {"-baddata", altussim::Fault::BAD_DATA_SUM},
                  {"-duplicate", altussim::Fault::DUPLICATE},
                  {"-delay", altussim::Fault::DELAY}};
    bool done = false;
    for (const auto &k : faults) {
      if (a == k.flag && v && parse_fault(v, k.kind, &f)) {
        sim.add_fault(f);
        i++;
        done = true;
      }
    }
    if (done || altussim::altussim_dial_option(argc, argv.data(), &i, &dial)) continue;
    if (a == "-tcpserver" && v) {
      port = atoi(v);
      i++;
    } else if (a == "-address" && v) {
      addresses.clear();
      std::stringstream ss(v);
      for (std::string h; std::getline(ss, h, ',');) addresses.push_back(h);
      if (addresses.empty()) return false;
      i++;
    } else if (a == "-connect" && v) {
      connect_port = atoi(v);
      i++;
    } else if (a == "-pty") {
      pty = true;
    } else if (a == "-serial" && v) {
      serial = atoi(v);
      i++;
    } else if (a == "-station" && v) {
      station = v;
      i++;
    } else if (a == "-model" && v) {
      model = v;
      i++;
    } else if (a == "-events" && v) {
      events = atoi(v);
      i++;
    } else if (a == "-record" && v) {
      if (sscanf(v, "%lf:%lf", &record_after, &record_seconds) != 2) return false;
      i++;
    } else if (a == "-streams" && v) {
      int samples = 0, timeout = 0;
      int got = sscanf(v, "%d:%d:%d:%d", &nstreams, &samples, &rate, &timeout);
      if (got < 3 || nstreams < 1 || samples < 1 || rate < 1 || timeout < 0) return false;
      sim.set_streams(nstreams, samples, rate, timeout);
      i++;
    } else if (a == "-streambuffer" && v) {
      stream_buffer = atoi(v);
      sim.set_stream_buffer(stream_buffer);
      i++;
    } else if (a == "-endless" && v) {
      int fanout = atoi(v);
      if (fanout < 1 || fanout > 16) return false;
      sim.add_dir("A:\\DEEP");
      sim.set_endless_tree("A:\\DEEP", fanout);
      i++;
    } else if (a == "-flood" && v) {
      int rate = 0;
      double seconds = 0, after = 0;
      if (sscanf(v, "%d:%lf:%lf", &rate, &seconds, &after) < 2 || rate < 1 || rate > 100000 ||
          !(seconds > 0) || seconds > 3600 || !(after >= 0))
        return false;
      sim.set_flood(rate, seconds, after);
      i++;
    } else if (a == "-paced") {
      sim.set_stream_paced(true);
    } else if (a == "-streamfaults" && v) {
      altussim::Sim::StreamFaults sf;
      int seed = 1;
      int got = sscanf(v, "%lf:%lf:%lf:%lf:%d:%d", &sf.drop, &sf.reorder, &sf.duplicate,
                       &sf.bad_crc, &seed, &sf.line_drop_at);
      if (got < 4) return false;
      sf.seed = (unsigned)seed;
      line_drop_at = sf.line_drop_at;
      sim.set_stream_faults(sf);
      i++;
    } else if (a == "-chunked") {
      sim.set_chunked(true);
    } else {
      fprintf(stderr, "altussim: unknown option '%s'\n", a.c_str());
      return false;
    }
  }
  return true;
}

int Unit::header(altussim::Bytes *out) const {
  if (model.empty() && nstreams <= 0) return 0;
  const int ismw = model == "MtWhitney" ? 1 : 0;
  AltusSimHeaderValues v;
  v.numbers["rw_misc.serialNumber"] = serial;
  v.numbers["rw_misc.nchannels"] = ismw ? 18 : 12;
  v.numbers["ro_misc.maxChannels"] = ismw ? 18 : 12;
  v.texts["rw_misc.stnID"] = station;
  if (nstreams > 0) {
    v.numbers["rw_stream.sps"] = rate;
    v.numbers["rw_stream.SampleRate"] = rate;
    v.numbers["rw_stream.TxChanMap"] = (1 << nstreams) - 1;
    v.numbers["rw_stream.BufferSize"] = stream_buffer > 0 ? stream_buffer : 100;
    v.numbers["rw_stream.TxBlkSize"] = 100;
    v.numbers["rw_stream.Timeout"] = nstreams * 10 + 6;
    v.numbers["rw_stream.DataFmt"] = 1;
  }
  std::vector<uint8_t> hdr;
  if (altussim_evt_header(ismw, 1, v, &hdr) < 0) {
    fprintf(stderr, "altussim: station '%s' does not fit the parameter header\n", station.c_str());
    return -1;
  }
  out->assign(hdr.begin(), hdr.end());
  return 0;
}

int Unit::start() {
  altussim::Bytes params;
  if (header(&params) < 0) return -1;
  // Every call of a dial line meets a fresh simulator of the same datalogger, holding the
  // same files; the other lines serve this one.
  auto setup = [this, params](altussim::Sim &s) {
    s.set_serial(serial);
    s.set_station(station);
    if (!model.empty()) s.set_model(model);
    if (!params.empty()) s.set_params(params);
    for (int k = 0; k < events; k++)
      s.add_event(altussim_event_path(k), altussim_event_plan(model, k));
  };
  if (dialing()) {
    printf("altussim: unit %d serial %d dial line\n", index, serial);
    fflush(stdout);
    worker = std::thread([this, setup] {
      if (altussim::altussim_dial_run(dial, setup, &g_stop) != 0) g_stop = true;
    });
    return 0;
  }
  setup(sim);
  if (pty) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
      perror("altussim: posix_openpt");
      return -1;
    }
    printf("altussim: unit %d serial %d serving %s\n", index, serial, ptsname(master));
    sim.use_fd(master);
    sim.set_serve_again(true);
  } else if (connect_port > 0) {
    if (sim.connect_tcp(connect_port) < 0) {
      fprintf(stderr, "altussim: cannot connect to 127.0.0.1:%d\n", connect_port);
      return -1;
    }
    printf("altussim: unit %d serial %d connected to 127.0.0.1:%d\n", index, serial, connect_port);
  } else if (port >= 0) {
    sim.set_serve_again(true);
    // Every address on the port that the first one got.
    int p = port;
    for (const std::string &address : addresses) {
      p = sim.listen_tcp(p, address.c_str());
      if (p < 0) {
        fprintf(stderr, "altussim: cannot listen on %s:%d\n", address.c_str(), port);
        return -1;
      }
      printf("altussim: unit %d serial %d listening on %s:%d\n", index, serial, address.c_str(), p);
    }
  } else {
    fprintf(stderr, "altussim: unit %d has no line\n", index);
    return -1;
  }
  fflush(stdout);
  sim.start();
  if (record_after >= 0) {
    timer = std::thread([this] {
      for (double t = 0; t < record_after && !g_stop; t += 0.1) clock_sleep(0.1);
      if (g_stop) return;
      const std::string path = altussim_event_path(events);
      sim.record_event(path, altussim_event_plan(model, events), record_seconds);
      printf("altussim: unit %d recording %s\n", index, path.c_str());
      fflush(stdout);
    });
  }
  return 0;
}

void Unit::stop() {
  if (timer.joinable()) timer.join();
  if (worker.joinable()) worker.join();
  sim.stop();
  if (master >= 0) close(master);
}

// -poc ring,srcname,host:port,key=value[,key=value...][,after=seconds]
struct Poc {
  std::string ring, srcname, srcip;
  std::vector<std::pair<std::string, std::string>> keys;
  double after = 0;
};

bool parse_poc(const std::string &arg, Poc *p) {
  std::vector<std::string> parts;
  std::stringstream ss(arg);
  for (std::string s; std::getline(ss, s, ',');) parts.push_back(s);
  if (parts.size() < 3) return false;
  p->ring = parts[0];
  p->srcname = parts[1];
  p->srcip = parts[2];
  for (size_t i = 3; i < parts.size(); i++) {
    size_t eq = parts[i].find('=');
    if (eq == std::string::npos) return false;
    std::string k = parts[i].substr(0, eq), v = parts[i].substr(eq + 1);
    if (k == "after") {
      p->after = atof(v.c_str());
    } else {
      p->keys.emplace_back(k, v);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::vector<std::string>> groups(1);
  std::vector<Poc> pocs;
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    }
  }
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--") {
      groups.emplace_back();
    } else if (a == "-poc" && i + 1 < argc) {
      Poc p;
      if (!parse_poc(argv[++i], &p)) {
        usage();
        return 1;
      }
      pocs.push_back(p);
    } else if (a == "-config" && i + 1 < argc) {
      std::ifstream in(argv[++i]);
      if (!in) {
        fprintf(stderr, "altussim: cannot read '%s'\n", argv[i]);
        return 1;
      }
      for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::stringstream ls(line);
        std::vector<std::string> words;
        for (std::string w; ls >> w;) words.push_back(w);
        if (!words.empty()) groups.push_back(words);
      }
    } else {
      groups.back().push_back(a);
    }
  }
  std::vector<std::unique_ptr<Unit>> units;
  for (auto &g : groups) {
    if (g.empty()) continue;
    auto u = std::make_unique<Unit>();
    u->index = (int)units.size();
    if (!u->parse(g)) {
      usage();
      return 1;
    }
    units.push_back(std::move(u));
  }
  if (units.empty() && pocs.empty()) {
    usage();
    return 1;
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  signal(SIGPIPE, SIG_IGN);
  int rc = 0;
  for (auto &u : units) {
    if (u->start() < 0) {
      g_stop = true;
      rc = 1;
      break;
    }
  }
  double waited = 0;
  for (const Poc &p : pocs) {
    for (; waited < p.after && !g_stop; waited += 0.1) clock_sleep(0.1);
    if (g_stop) break;
    if (altussim_write_poc(p.ring, p.srcname, p.srcip, p.keys, clock_now()) < 0) {
      rc = 1;
    } else {
      printf("altussim: point of contact %s written to %s\n", p.srcip.c_str(), p.ring.c_str());
      fflush(stdout);
    }
  }
  if (units.empty()) return rc;
  // Each unit says once that a peer talked to it in block mode, so that a caller can tell
  // which dataloggers were reached; a server says where it accepted each connection; a
  // stream says when its line was dropped, and when the peer first keeps it going (a
  // continue) on a connection; a counter reset is announced with the sample the clock
  // goes on from, so that a caller can tell where the streams were numbered afresh.
  struct Seen {
    bool answered = false;
    size_t accepted = 0;
    long line_drops = 0;
    long continues = 0;
    size_t streaming_on = 0;  // the connection whose stream was last announced
    int resets = 0;
  };
  std::vector<Seen> seen(units.size());
  while (!g_stop) {
    clock_sleep(0.1);
    for (size_t k = 0; k < units.size(); k++) {
      Unit &u = *units[k];
      Seen &s = seen[k];
      if (!s.answered && !u.sim.commands().empty()) {
        s.answered = true;
        printf("altussim: unit %d: block-mode commands answered\n", u.index);
      }
      const std::vector<std::string> acc = u.sim.accepted();
      for (; s.accepted < acc.size(); s.accepted++)
        printf("altussim: unit %d: connection %zu accepted on %s\n", u.index, s.accepted + 1,
               acc[s.accepted].c_str());
      const altussim::Sim::StreamCounts c = u.sim.stream_counts();
      for (; s.line_drops < c.line_drops; s.line_drops++)
        printf("altussim: unit %d: line dropped at live packet %d\n", u.index, u.line_drop_at);
      if (c.continues > s.continues && s.streaming_on < s.accepted) {
        s.streaming_on = s.accepted;
        printf("altussim: unit %d: streaming on connection %zu\n", u.index, s.streaming_on);
      }
      s.continues = c.continues;
      if (u.nstreams > 0 && u.sim.stream_resets() != s.resets) {
        s.resets = u.sim.stream_resets();
        printf("altussim: unit %d: counters reset, samples from %u\n", u.index,
               (unsigned)u.sim.stream_reset_sample());
      }
    }
    fflush(stdout);
  }
  for (auto &u : units) u->stop();
  return rc;
}
