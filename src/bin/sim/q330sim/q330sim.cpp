// q330sim.cpp - runs simulated Q330s by hand or for a test until interrupted: one unit, or
// several in one process (each -s adds one, -n makes consecutive serial numbers), each
// with its own ports, data generator and faults.
#include "q330sim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "q330sim_config.h"
#include "q330sim_data.h"

static volatile sig_atomic_t stop_now = 0;
static void on_signal(int) { stop_now = 1; }

static void usage(FILE *f) {
  fprintf(f,
          "usage: q330sim [-b base_port] [-l logical_port] [-s serial_hex]... [-n units]\n"
          "               [-A address] [-a auth_code_hex] [-t property_tag] [-g seed]\n"
          "               [-r records] [-i seconds] [-m packets] [-f faults]\n"
          "               [-R records:seconds[:unit]]... [-P records:address:port[:unit]]...\n"
          "  -b  base port of the first unit (control = base + 2 x logical, data = control\n"
          "      + 1); unit k uses base + 10 k; 0 chooses free ports; default 5330\n"
          "  -l  logical port 1-4; default 1\n"
          "  -s  serial number, up to 16 hexadecimal digits; each -s adds a unit\n"
          "  -n  units made from the last serial number: it, it + 1, ...; default 1\n"
          "  -A  loopback address the units listen on, or a list (a,b,...) that unit k takes\n"
          "      entry k modulo its length from; default 127.0.0.1\n"
          "  -a  the authentication code accepted, up to 16 hexadecimal digits; default 0\n"
          "  -t  property tag\n"
          "  -g  seed of the sample generator of unit 0; unit k uses seed + k; default 1\n"
          "  -r  data records each unit makes; default 0 (no end)\n"
          "  -i  seconds between records; default 0 (as fast as they are acknowledged)\n"
          "  -m  packets the packet buffer holds; default 512\n"
          "  -f  loss,reorder,duplicate,badcrc: probabilities (0-1) of those faults on the\n"
          "      data port's datagrams in each direction; default none\n"
          "  -R  unit `unit` (default 0) reboots once it has made `records` records, and is\n"
          "      down for `seconds`\n"
          "  -P  unit `unit` (default 0) moves to loopback `address` (same ports) once\n"
          "      `records` of its records were acknowledged, and announces it with C2_POC\n"
          "      datagrams to 127.0.0.1:`port`, again 1 s and 3 s later, then every 5 s\n"
          "      until a registration request reaches it there\n"
          "  -h, --help  this text\n"
          "Each unit is announced on standard output when it listens, and again when it has\n"
          "made all of its records and every one was acknowledged, with its data-port packets\n"
          "sent and resent until then; those counts again on SIGINT or SIGTERM.\n");
}

namespace {

struct Reboot {
  int unit = 0, records = 0;
  double seconds = 0;
  bool done = false;
};

struct Move {
  int unit = 0, records = 0, port = 0;
  std::string address;
  bool done = false;
  std::vector<double> announce;  // clock times of the C2_POC datagrams still to send
  int requests_at_move = 0;      // registration requests the unit had received when it moved
};

constexpr int CMD_RQSRV = 0x10;
constexpr double REANNOUNCE_SECONDS = 5.0;

struct Unit {
  std::unique_ptr<Q330Sim> sim;
  uint64_t serial = 0;
  bool announced_done = false;
};

bool parse_faults(const char *text, Q330SimDataFaults *f) {
  double v[4] = {0, 0, 0, 0};
  int n = sscanf(text, "%lf,%lf,%lf,%lf", &v[0], &v[1], &v[2], &v[3]);
  if (n < 1) return false;
  for (double x : v)
    if (!(x >= 0 && x <= 1)) return false;
  *f = Q330SimDataFaults{v[0], v[1], v[2], v[3]};
  return true;
}

// True when the unit made every record it was to make and none waits for an
// acknowledgement.
bool all_acknowledged(Q330Sim &sim) {
  Q330SimData &m = sim.data();
  std::lock_guard<std::mutex> lock(m.mutex);
  if (m.knobs.records == 0 || m.made < m.knobs.records) return false;
  for (const auto &p : m.buffer)
    if (p.command == 0x00) return false;  // DT_DATA
  return true;
}

// Records of the unit acknowledged: those before the oldest record a DT_DATA packet of the
// buffer still carries, or all made when none waits.
int records_acknowledged(Q330Sim &sim) {
  Q330SimData &m = sim.data();
  std::lock_guard<std::mutex> lock(m.mutex);
  for (const auto &p : m.buffer) {
    if (p.command != 0x00 || p.payload.size() < 4) continue;  // DT_DATA
    const uint8_t *b = p.payload.data();
    uint32_t record = static_cast<uint32_t>(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3];
    return static_cast<int>(record - m.knobs.first_record);
  }
  return m.made;
}

// The data-port packets a unit sent and resent so far.
std::string resend_counts(Q330Sim &sim) {
  Q330SimDataCounters n = sim.data().get_counters();
  char text[160];
  snprintf(text, sizeof text,
           "%d data packets sent, %d resent, %d of those sent after the first acknowledgement "
           "resent",
           n.packets_sent, n.total_packets_resent, n.stream_resent);
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  Q330SimOptions o;
  o.base_port = 5330;
  std::vector<uint64_t> serials;
  int nunits = 1;
  Q330SimDataKnobs knobs;
  std::vector<Reboot> reboots;
  std::vector<Move> moves;
  std::vector<std::string> addresses;
  for (int k = 1; k < argc; k++) {
    if (strcmp(argv[k], "--help") == 0) {
      usage(stdout);
      return 0;
    }
  }
  int c;
  while ((c = getopt(argc, argv, "b:l:s:n:A:a:t:g:r:i:m:f:R:P:h")) != -1) {
    switch (c) {
      case 'b':
        o.base_port = atoi(optarg);
        break;
      case 'l':
        o.logical = atoi(optarg);
        break;
      case 's':
        serials.push_back(strtoull(optarg, nullptr, 16));
        break;
      case 'n':
        nunits = atoi(optarg);
        break;
      case 'A':
        addresses.clear();
        for (const char *p = optarg; *p;) {
          const char *end = strchr(p, ',');
          addresses.emplace_back(p, end ? end : p + strlen(p));
          p = end ? end + 1 : p + strlen(p);
        }
        break;
      case 'a':
        o.auth_code = strtoull(optarg, nullptr, 16);
        break;
      case 't':
        o.property_tag = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
        break;
      case 'g':
        knobs.seed = static_cast<uint32_t>(strtoul(optarg, nullptr, 10));
        break;
      case 'r':
        knobs.records = atoi(optarg);
        break;
      case 'i':
        knobs.record_interval = atof(optarg);
        break;
      case 'm':
        knobs.memory_packets = atoi(optarg);
        break;
      case 'f': {
        Q330SimDataFaults f;
        if (!parse_faults(optarg, &f)) {
          usage(stderr);
          return 1;
        }
        knobs.send = knobs.recv = f;
        break;
      }
      case 'R': {
        Reboot r;
        if (sscanf(optarg, "%d:%lf:%d", &r.records, &r.seconds, &r.unit) < 2 || r.records < 0 ||
            r.seconds < 0 || r.unit < 0) {
          usage(stderr);
          return 1;
        }
        reboots.push_back(r);
        break;
      }
      case 'P': {
        Move mv;
        char address[32] = "";
        in_addr probe{};
        if (sscanf(optarg, "%d:%31[^:]:%d:%d", &mv.records, address, &mv.port, &mv.unit) < 3 ||
            mv.records < 0 || mv.port < 1 || mv.port > 65535 || mv.unit < 0 ||
            inet_pton(AF_INET, address, &probe) != 1) {
          usage(stderr);
          return 1;
        }
        mv.address = address;
        moves.push_back(mv);
        break;
      }
      case 'h':
        usage(stdout);
        return 0;
      default:
        usage(stderr);
        return 1;
    }
  }
  if (serials.empty()) serials.push_back(o.serial);
  if (nunits < 1 || o.logical < 1 || o.logical > 4 || o.base_port < 0 ||
      o.base_port + 10 * (static_cast<int>(serials.size()) + nunits - 2) > 65525 ||
      knobs.records < 0 || knobs.record_interval < 0 || knobs.memory_packets < 1 ||
      optind != argc) {
    usage(stderr);
    return 1;
  }
  for (int k = 1; k < nunits; k++) serials.push_back(serials.back() + 1);

  std::vector<Unit> units;
  for (size_t k = 0; k < serials.size(); k++) {
    Q330SimOptions uo = o;
    uo.serial = serials[k];
    if (!addresses.empty()) uo.address = addresses[k % addresses.size()];
    if (o.base_port) uo.base_port = o.base_port + 10 * static_cast<int>(k);
    Unit u;
    u.serial = serials[k];
    u.sim = std::make_unique<Q330Sim>(uo);
    Q330SimDataKnobs uk = knobs;
    uk.seed = knobs.seed + static_cast<uint32_t>(k);
    {
      // The data port numbers its packets from the LOG's first sequence number.
      Q330SimConfig &cfg = u.sim->config();
      std::lock_guard<std::mutex> lock(cfg.mutex);
      uk.data_sequence_number = cfg.log[o.logical - 1].data_sequence_number;
      // A packet goes out again once it stayed unacknowledged for twice the time the LOG
      // gives the client to acknowledge it (tenths of a second): any sooner, and a client
      // that acknowledges by that time-out, as it may, always comes too late.
      const double ack_timeout = 0.1 * cfg.log[o.logical - 1].acknowledge_timeout;
      if (2 * ack_timeout > uk.resend_timeout) uk.resend_timeout = 2 * ack_timeout;
    }
    u.sim->data().set_knobs(uk);
    if (u.sim->start() < 0) {
      fprintf(stderr, "q330sim: cannot bind the ports of unit %016llx on %s (base %d)\n",
              static_cast<unsigned long long>(u.serial), uo.address.c_str(), uo.base_port);
      return 1;
    }
    units.push_back(std::move(u));
  }
  signal(SIGINT, on_signal);
  signal(SIGTERM, on_signal);
  for (size_t k = 0; k < units.size(); k++) {
    Q330Sim &s = *units[k].sim;
    printf("q330sim: unit %zu serial %016llx on %s: base port %d, control port %d, data port %d\n",
           k, static_cast<unsigned long long>(units[k].serial), s.address().c_str(), s.base_port(),
           s.control_port(), s.data_port());
  }
  fflush(stdout);
  while (!stop_now) {
    clock_sleep(0.05);
    for (Reboot &r : reboots) {
      if (r.done || r.unit >= static_cast<int>(units.size())) continue;
      Q330Sim &s = *units[static_cast<size_t>(r.unit)].sim;
      if (s.data().get_counters().records < r.records) continue;
      r.done = true;
      s.reboot(r.seconds);
      printf("q330sim: unit %d reboots after %d records, down for %g s\n", r.unit, r.records,
             r.seconds);
      fflush(stdout);
    }
    for (Move &mv : moves) {
      if (mv.unit >= static_cast<int>(units.size())) continue;
      Q330Sim &s = *units[static_cast<size_t>(mv.unit)].sim;
      if (!mv.done && records_acknowledged(s) >= mv.records) {
        mv.done = true;
        const std::string from = s.address();
        int rc = s.move(mv.address);
        printf("q330sim: unit %d moves from %s to %s once %d of its records were acknowledged%s\n",
               mv.unit, from.c_str(), mv.address.c_str(), mv.records,
               rc < 0 ? ": cannot bind there" : "");
        fflush(stdout);
        double now = clock_now();
        mv.announce = {now, now + 1, now + 3};
        mv.requests_at_move = s.count(CMD_RQSRV);
      }
      while (!mv.announce.empty() && clock_now() >= mv.announce.front()) {
        mv.announce.erase(mv.announce.begin());
        // A server that was down while the three went out has not asked to register at
        // the new address: go on announcing until one does.
        if (mv.announce.empty() && s.count(CMD_RQSRV) == mv.requests_at_move)
          mv.announce.push_back(clock_now() + REANNOUNCE_SECONDS);
        in_addr ip{};
        inet_pton(AF_INET, mv.address.c_str(), &ip);
        if (s.send_poc(mv.port, ntohl(ip.s_addr), mv.address.c_str()) < 0)
          fprintf(stderr, "q330sim: unit %d: point of contact not sent\n", mv.unit);
      }
    }
    for (size_t k = 0; k < units.size(); k++) {
      if (units[k].announced_done || !all_acknowledged(*units[k].sim)) continue;
      units[k].announced_done = true;
      printf("q330sim: unit %zu serial %016llx: all %d records acknowledged; %s\n", k,
             static_cast<unsigned long long>(units[k].serial), knobs.records,
             resend_counts(*units[k].sim).c_str());
      fflush(stdout);
    }
  }
  for (Unit &u : units) u.sim->stop();
  for (size_t k = 0; k < units.size(); k++) {
    printf("q330sim: unit %zu serial %016llx: %s\n", k,
           static_cast<unsigned long long>(units[k].serial), resend_counts(*units[k].sim).c_str());
  }
  fflush(stdout);
  return 0;
}
