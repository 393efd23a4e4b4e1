// altussim - a simulated Altus datalogger in block mode, for demonstrations and manual
// tests of kessaro. It serves one byte stream: a TCP server on a loopback port, a TCP
// client connecting out, or a pseudo-terminal whose slave path it prints.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "altussim_block.h"
#include "altussim_dial.h"
#include "altussim_evtwriter.h"
#include "base/clock.h"

namespace {

std::atomic<bool> g_stop{false};
void on_signal(int) { g_stop = true; }

void usage() {
  fprintf(stderr,
          "usage: altussim [-tcpserver port | -connect port | -pty] [-serial n] [-station name]\n"
          "                [-model name] [-events n]\n"
          "                [-chunked] [-drop cmd:n] [-wrongseq cmd:n] [-badheader cmd:n]\n"
          "                [-baddata cmd:n] [-duplicate cmd:n] [-delay cmd:n:seconds]\n"
          "                [-streams n:samples:rate[:timeout]] [-paced]\n"
          "                [-streamfaults drop:reorder:duplicate:badcrc]\n"
          "  cmd:n - command code and its n-th occurrence (0 = every one)\n"
          "  -streams - once started, n streams of `samples` samples a packet at `rate`\n"
          "             samples/s, without an end\n%s",
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

}  // namespace

int main(int argc, char **argv) {
  altussim::Sim sim;
  int port = -1, connect_port = -1;
  bool pty = false;
  std::string model, station = "SIM01";
  int serial = 1234, events = 0;
  altussim::DialOptions dial;
  for (int i = 1; i < argc; i++) {
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
    if (done || altussim::altussim_dial_option(argc, argv, &i, &dial)) continue;
    if (a == "-tcpserver" && v) {
      port = atoi(v);
      i++;
    } else if (a == "-connect" && v) {
      connect_port = atoi(v);
      i++;
    } else if (a == "-pty") {
      pty = true;
    } else if (a == "-serial" && v) {
      serial = atoi(v);
      sim.set_serial(serial);
      i++;
    } else if (a == "-station" && v) {
      station = v;
      sim.set_station(v);
      i++;
    } else if (a == "-model" && v) {
      model = v;
      i++;
    } else if (a == "-events" && v) {
      events = atoi(v);
      i++;
    } else if (a == "-streams" && v) {
      int n = 0, samples = 0, rate = 0, timeout = 0;
      int got = sscanf(v, "%d:%d:%d:%d", &n, &samples, &rate, &timeout);
      if (got < 3 || n < 1 || samples < 1 || rate < 1 || timeout < 0) {
        usage();
        return 1;
      }
      sim.set_streams(n, samples, rate, timeout);
      i++;
    } else if (a == "-paced") {
      sim.set_stream_paced(true);
    } else if (a == "-streamfaults" && v) {
      altussim::Sim::StreamFaults sf;
      if (sscanf(v, "%lf:%lf:%lf:%lf", &sf.drop, &sf.reorder, &sf.duplicate, &sf.bad_crc) != 4) {
        usage();
        return 1;
      }
      sim.set_stream_faults(sf);
      i++;
    } else if (a == "-chunked") {
      sim.set_chunked(true);
    } else {
      usage();
      return 1;
    }
  }
  if (!model.empty()) {
    std::vector<uint8_t> hdr;
    if (altussim_model_params(model, serial, station, &hdr) < 0) {
      fprintf(stderr, "altussim: station '%s' does not fit the parameter header\n",
              station.c_str());
      return 1;
    }
    sim.set_params(hdr);
    sim.set_model(model);
  }
  // One event file an hour on drive A:.
  auto add_events = [&](altussim::Sim &s) {
    for (int k = 0; k < events; k++) {
      AltusSimEvtPlan plan;
      plan.ismw = model == "MtWhitney";
      plan.sample_bytes = 2 + k % 3;
      plan.bigendian = k % 2 == 0;
      plan.start_time = 1000000u + 3600u * (uint32_t)k;
      char path[32];
      snprintf(path, sizeof path, "A:\\EV%05d.EVT", k + 1);
      s.add_event(path, plan);
    }
  };
  add_events(sim);
  if (dial.dialin_port > 0 || dial.dialin_pty || dial.dialout_port >= 0 || dial.dialout_pty) {
    // Every call meets a fresh simulator of the same datalogger, holding the same files.
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    altussim::Bytes params = sim.params();
    auto setup = [&](altussim::Sim &s) {
      s.set_serial(serial);
      s.set_station(station);
      if (!model.empty()) s.set_model(model);
      if (!params.empty()) s.set_params(params);
      add_events(s);
    };
    return altussim::altussim_dial_run(dial, setup, &g_stop) == 0 ? 0 : 1;
  }
  int master = -1;
  if (pty) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
      perror("altussim: posix_openpt");
      return 1;
    }
    printf("altussim: serving %s\n", ptsname(master));
    sim.use_fd(master);
  } else if (connect_port > 0) {
    if (sim.connect_tcp(connect_port) < 0) {
      fprintf(stderr, "altussim: cannot connect to 127.0.0.1:%d\n", connect_port);
      return 1;
    }
  } else if (port >= 0) {
    int p = sim.listen_tcp(port);
    if (p < 0) {
      fprintf(stderr, "altussim: cannot listen on 127.0.0.1:%d\n", port);
      return 1;
    }
    printf("altussim: listening on 127.0.0.1:%d\n", p);
  } else {
    usage();
    return 1;
  }
  fflush(stdout);
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  sim.start();
  // Announced once, so that a caller can tell a datalogger its peer talked to.
  bool answered = false;
  while (!g_stop) {
    clock_sleep(0.1);
    if (!answered && !sim.commands().empty()) {
      answered = true;
      printf("altussim: block-mode commands answered\n");
      fflush(stdout);
    }
  }
  sim.stop();
  if (master >= 0) close(master);
  return 0;
}
