// Datagram endpoints on the loopback: lazy opening and re-opening on another local port,
// destinations and their failures, receive results and time-outs, ignored empty
// datagrams, the test drop, the packet cache, byte averages and verbose dumps.
#include "udp.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "support/hostid.h"
#include "testkit/testkit.h"

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons((uint16_t)port);
  return sa;
}

int bound_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return ntohs(sa.sin_port);
}

// A UDP port on 127.0.0.1 that nothing is bound to now.
int free_udp_port() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loopback(0);
  bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  int port = bound_port(fd);
  close(fd);
  return port;
}

// The far end: a UDP socket bound on 127.0.0.1.
struct Peer {
  int fd = -1;
  int port = 0;
  Peer() {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    port = bound_port(fd);
  }
  ~Peer() { close(fd); }
  std::string hostport() const { return "127.0.0.1:" + std::to_string(port); }
  void send_to(int to_port, const std::string &data) {
    sockaddr_in sa = loopback(to_port);
    sendto(fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
  }
  // The next datagram within 5 s and the port it came from ("" and -1 when none came).
  std::string receive(int *from_port = nullptr) {
    pollfd p{fd, POLLIN, 0};
    if (from_port) *from_port = -1;
    if (poll(&p, 1, 5000) <= 0) return "";
    char buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
    if (n < 0) return "";
    if (from_port) *from_port = ntohs(from.sin_port);
    return std::string(buf, (size_t)n);
  }
};

struct Endpoint {
  UDP *udp = nullptr;
  Endpoint() { udp_new(&udp); }
  ~Endpoint() { udp_free(udp); }
  int write(int local_port, const std::string &to, const std::string &data) {
    return udp_write(udp, local_port, "127.0.0.1", to.c_str(), data.data(), (int)data.size());
  }
  // udp_read into a 1500-byte buffer; the datagram in *data.
  int read(int local_port, double timeout, std::string *data, std::string *from = nullptr) {
    char buf[1500], hostport[256] = "";
    int n = sizeof buf;
    int rc = udp_read(udp, local_port, "127.0.0.1", hostport, buf, &n, timeout);
    if (data) *data = rc == 0 ? std::string(buf, (size_t)n) : "";
    if (from) *from = hostport;
    return rc;
  }
};

double sum_of(TAverage *ta) {
  double t = 4e9, w = 8e9, sum = 0, ave = 0;
  taverage_get(ta, &t, &w, &sum, &ave);
  return sum;
}

std::vector<std::string> cached(UDP *udp, std::vector<int> *types = nullptr,
                                std::vector<std::string> *hostports = nullptr) {
  Tbl *copy = nullptr;
  EXPECT_EQ(udp_get_packet_cache(udp, &copy), 0);
  std::vector<std::string> out;
  for (long i = 0; copy && i < maxtbl(copy); ++i) {
    auto *e = static_cast<UDPPacketCache *>(gettbl(copy, i));
    out.emplace_back(e->packet.begin(), e->packet.end());
    EXPECT_EQ((size_t)e->size, e->packet.size());
    if (types) types->push_back(e->type);
    if (hostports) hostports->push_back(e->hostport);
  }
  udp_free_packet_cache_tbl(copy);
  return out;
}

TEST(Udp, ReadResultsOnTheLoopback) {
  Endpoint ep;
  Peer peer;
  int port = free_udp_port();
  std::string data, from;
  EXPECT_EQ(ep.read(port, -1, &data), 3) << "nothing queued, no wait";
  EXPECT_EQ(ep.udp->local_port, port);
  EXPECT_EQ(ep.read(port, 0.05, &data), 1) << "nothing within the time-out";

  peer.send_to(port, "first");
  EXPECT_EQ(ep.read(port, 5, &data, &from), 0);
  EXPECT_EQ(data, "first");
  EXPECT_EQ(from, peer.hostport());

  // An empty datagram is passed over: the read goes on to the next one, or times out.
  peer.send_to(port, "");
  peer.send_to(port, "second");
  EXPECT_EQ(ep.read(port, 5, &data), 0);
  EXPECT_EQ(data, "second");
  peer.send_to(port, "");
  EXPECT_EQ(ep.read(port, 0.05, &data), 1);
  peer.send_to(port, "");
  peer.send_to(port, "third");
  EXPECT_EQ(ep.read(port, -1, &data), 0) << "queued behind an empty one, no wait";
  EXPECT_EQ(data, "third");

  // A datagram longer than the buffer is cut to it.
  peer.send_to(port, std::string(2000, 'x'));
  EXPECT_EQ(ep.read(port, 5, &data), 0);
  EXPECT_EQ(data.size(), 1500u);
}

TEST(Udp, WritesOpenLazilyAndReopenOnAnotherPort) {
  Endpoint ep;
  Peer peer;
  int a = free_udp_port();
  EXPECT_EQ(ep.udp->fd, -1);
  int from = 0;
  EXPECT_EQ(ep.write(a, peer.hostport(), "one"), 1);
  EXPECT_EQ(peer.receive(&from), "one");
  EXPECT_EQ(from, a);

  udp_close(ep.udp);
  EXPECT_EQ(ep.udp->fd, -1);
  EXPECT_EQ(ep.udp->local_port, -1);
  EXPECT_EQ(ep.write(a, peer.hostport(), "two"), 1) << "a write after a close opens again";
  EXPECT_EQ(peer.receive(&from), "two");
  EXPECT_EQ(from, a);

  int b = free_udp_port();
  EXPECT_EQ(ep.write(b, peer.hostport(), "three"), 1);
  EXPECT_EQ(peer.receive(&from), "three");
  EXPECT_EQ(from, b);
  EXPECT_EQ(ep.udp->local_port, b);

  // The old port is free again: another endpoint can bind it.
  Endpoint other;
  EXPECT_EQ(other.write(a, peer.hostport(), "four"), 1);
  EXPECT_EQ(peer.receive(&from), "four");
  EXPECT_EQ(from, a);
}

TEST(Udp, BadDestinationsFailBeforeAnythingIsSent) {
  static const HostResolver kResolver = {
      [](const char *name, unsigned *address, std::string *official) {
        if (strcmp(name, "datalogger.test") != 0) return -1;
        *address = htonl(INADDR_LOOPBACK);
        *official = name;
        return 0;
      },
      [](unsigned, std::string *) { return -1; }};
  hostid_set_resolver(&kResolver);
  Endpoint ep;
  Peer peer;
  int port = free_udp_port();
  const struct {
    std::string to;
    const char *message;  // none: sent
  } cases[] = {
      {"127.0.0.1", "no port number in hostport argument '127.0.0.1'"},
      {"nowhere.test:5330", "Can't locate server by name of 'nowhere.test'"},
      {":5330", "Can't locate server by name of ''"},
      {"127.0.0.1:65536", "bad port number in hostport argument '127.0.0.1:65536'"},
      {"127.0.0.1:", "bad port number in hostport argument '127.0.0.1:'"},
      {"127.0.0.1:53x", "bad port number in hostport argument '127.0.0.1:53x'"},
      {"127.0.0.1:-1", "bad port number in hostport argument '127.0.0.1:-1'"},
      {"datalogger.test:" + std::to_string(peer.port), nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.to);
    take_registered();
    int rc = ep.write(port, c.to, c.to);
    std::string log = take_registered();
    if (c.message) {
      EXPECT_EQ(rc, -1);
      EXPECT_NE(log.find(c.message), std::string::npos) << log;
      EXPECT_NE(log.find("udp_write: udp_setup_ipaddr(" + c.to + ") error."), std::string::npos)
          << log;
    } else {
      EXPECT_EQ(rc, 1) << log;
    }
  }
  // Only the good one arrived, and nothing was opened for the bad ones before it.
  EXPECT_EQ(peer.receive(), "datalogger.test:" + std::to_string(peer.port));
  hostid_set_resolver(nullptr);

  sockaddr_in sa{};
  ASSERT_EQ(udp_setup_ipaddr("broadcast", reinterpret_cast<sockaddr *>(&sa)), 0);
  EXPECT_EQ(ntohl(sa.sin_addr.s_addr), 0xFFFFFFFFu);
  EXPECT_EQ(ntohs(sa.sin_port), 65535);
}

TEST(Udp, BindFailuresGiveMinusTwoAndNameThePort) {
  Peer taken;  // holds its port
  Endpoint ep;
  take_registered();
  std::string data;
  EXPECT_EQ(ep.read(taken.port, -1, &data), -2);
  std::string log = take_registered();
  EXPECT_NE(log.find("udp_open: bind(" + std::to_string(taken.port) + ") error."),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("udp_read: udp_open(" + std::to_string(taken.port) + ") error."),
            std::string::npos)
      << log;
  EXPECT_EQ(ep.udp->fd, -2);
  Peer peer;
  EXPECT_EQ(ep.write(taken.port, peer.hostport(), "x"), -2);
  EXPECT_EQ(udp_close(ep.udp), 0);
  int port = free_udp_port();
  EXPECT_EQ(ep.write(port, peer.hostport(), "y"), 1) << "the record stays usable";
  EXPECT_EQ(peer.receive(), "y");
}

TEST(Udp, TheCacheKeepsTheNewestFirst) {
  Endpoint ep;
  Peer peer;
  int port = free_udp_port();
  Tbl *none = reinterpret_cast<Tbl *>(&ep);
  EXPECT_EQ(udp_get_packet_cache(ep.udp, &none), 0);
  EXPECT_EQ(none, nullptr) << "no cache";
  ASSERT_EQ(udp_new_packet_cache(ep.udp, 3), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ep.write(port, peer.hostport(), std::to_string(i)), 1);
  std::vector<int> types;
  std::vector<std::string> hostports;
  EXPECT_EQ(cached(ep.udp, &types, &hostports), (std::vector<std::string>{"4", "3", "2"}));
  EXPECT_EQ(types, (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(hostports[0], peer.hostport());

  peer.send_to(port, "in");
  std::string data;
  ASSERT_EQ(ep.read(port, 5, &data), 0);
  types.clear();
  hostports.clear();
  EXPECT_EQ(cached(ep.udp, &types, &hostports), (std::vector<std::string>{"in", "4", "3"}));
  EXPECT_EQ(types[0], 0);
  EXPECT_EQ(hostports[0], peer.hostport());

  EXPECT_EQ(udp_put_packet_cache(ep.udp, 2, 1, "z"), -1) << "a type other than 0 or 1";
  udp_free_packet_cache(ep.udp);
  EXPECT_EQ(ep.udp->packet_cache_size, 0);
  EXPECT_TRUE(cached(ep.udp).empty());
}

TEST(Udp, AFullDropStillCountsAndCaches) {
  Endpoint ep;
  Peer peer;
  int port = free_udp_port();
  ASSERT_EQ(udp_setup_averages(ep.udp, 1e9, 3600, 90000, 3600, 90000, 1, 20), 0);
  ASSERT_EQ(udp_new_packet_cache(ep.udp, 10), 0);
  ep.udp->drop_packet_pcnt = 100;
  EXPECT_EQ(ep.write(port, peer.hostport(), "lost1"), 1);
  EXPECT_EQ(ep.write(port, peer.hostport(), "lost2"), 1);
  peer.send_to(port, "gone1");
  peer.send_to(port, "gone2");
  std::string data;
  EXPECT_EQ(ep.read(port, 0.2, &data), 1) << "dropped reads wait out the time-out";
  ep.udp->drop_packet_pcnt = 0;
  EXPECT_EQ(ep.write(port, peer.hostport(), "kept"), 1);
  EXPECT_EQ(peer.receive(), "kept") << "the dropped writes never went out";
  peer.send_to(port, "after");
  EXPECT_EQ(ep.read(port, 5, &data), 0);
  EXPECT_EQ(data, "after") << "the dropped datagrams were taken off the socket";
  EXPECT_EQ(cached(ep.udp), (std::vector<std::string>{"after", "kept", "lost2", "lost1"}));
  // Byte counts add the 42 bytes of Ethernet, IPv4 and UDP headers to each datagram.
  EXPECT_EQ(sum_of(ep.udp->bytes_written), 3 * 42 + 5 + 5 + 4);
  EXPECT_EQ(sum_of(ep.udp->bytes_read), 3 * 42 + 5 + 5 + 5);
  EXPECT_EQ(sum_of(ep.udp->datarate), 6 * 42 + 14 + 15);
}

TEST(Udp, AveragersAreSetUpFromBinAndWindow) {
  Endpoint ep;
  ASSERT_EQ(udp_setup_averages(ep.udp, 1000, 3600, 90000, 0, 90000, 1, 70), 0);
  ASSERT_NE(ep.udp->bytes_read, nullptr);
  EXPECT_EQ(ep.udp->bytes_read->nbin, 25);
  EXPECT_EQ(ep.udp->bytes_written, nullptr) << "a bin of 0 leaves it out";
  EXPECT_EQ(ep.udp->datarate->nbin, 70);
  TAverage *kept = ep.udp->datarate;
  ASSERT_EQ(udp_setup_averages(ep.udp, 1000, 0, 0, 0, 0, 1, 0.5), 0);
  EXPECT_EQ(ep.udp->datarate, kept) << "replaced in place";
  EXPECT_EQ(kept->nbin, 1) << "at least one bin";
  take_registered();
  EXPECT_EQ(udp_setup_averages(ep.udp, 1000, 1e-9, 1e9, 0, 0, 0, 0), -1);
  EXPECT_NE(take_registered().find("udp_setup_averages: taverage_create(bytes_read) error."),
            std::string::npos);
}

TEST(Udp, VerboseDumps) {
  Endpoint ep;
  Peer peer;
  int port = free_udp_port();
  std::vector<std::string> lines;
  ep.udp->verbose_callback = [](void *pvt, const char *line) {
    static_cast<std::vector<std::string> *>(pvt)->push_back(line);
  };
  ep.udp->verbose_callback_pvt = &lines;
  std::string data(40, '\0');
  for (int i = 0; i < 40; ++i) data[(size_t)i] = (char)(0xE0 + i % 32);
  const std::string to = peer.hostport();

  udp_set_verbose(ep.udp, 1);
  ep.write(port, to, data);
  EXPECT_TRUE(lines.empty()) << "dumps need verbose 2";
  udp_set_verbose(ep.udp, 2);
  ep.write(port, to, data);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "udpw: 40 bytes to " + to + ":");
  std::string first = "udpw: ";
  for (int i = 0; i < 32; ++i)
    first += " " + std::string(1, "EF"[i / 16]) + "0123456789ABCDEF"[i % 16];
  EXPECT_EQ(lines[1], first);
  EXPECT_EQ(lines[2], "udpw:  E0 E1 E2 E3 E4 E5 E6 E7");

  lines.clear();
  udp_print_verbose(ep.udp, 0, "%s %d", "message", 7);
  EXPECT_EQ(lines, (std::vector<std::string>{"message 7"}));
  udp_set_verbose(ep.udp, 0);
  udp_print_verbose(ep.udp, 0, "silent");
  EXPECT_EQ(lines.size(), 1u);
}

}  // namespace
