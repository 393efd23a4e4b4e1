// Point-of-contact listener: matching, address take-over, starts by state and disposition,
// malformed input, ring-buffer packets, and the bind-failure countdown.
#include "muldrin_pocd.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "muldrin_run.h"
#include "muldrin_status_fixture.h"
#include "q330_crc.h"
#include "q330sim.h"
#include "ringsvc/orbreapthr.h"
#include "taverage.h"

namespace {

// A C2_POC datagram built by hand: header (crc, command, version, length, sequence,
// acknowledge) and the 40-byte payload, all big-endian.
std::vector<unsigned char> poc_datagram(uint32_t sn_high, uint32_t sn_low, uint32_t ip,
                                        uint16_t data_port, int command = 0xC5) {
  std::vector<unsigned char> b;
  auto u4 = [&](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<unsigned char>(v >> s));
  };
  auto u2 = [&](uint16_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
  };
  u4(0);
  b.push_back(static_cast<unsigned char>(command));
  b.push_back(2);
  u2(40);
  u2(1);
  u2(0);
  u4(sn_high);
  u4(sn_low);
  u4(ip);
  u4(0x7F000001);
  u4(0xFF000000);
  u2(5330);
  u2(data_port);
  u2(0);
  u2(0);
  u2(0);
  u2(0);
  u4(0);
  u4(0);
  unsigned crc = 0;
  q330_crc(b.data() + 4, static_cast<int>(b.size()) - 4, &crc);
  for (int i = 0; i < 4; i++)
    b[static_cast<size_t>(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
  return b;
}

class PocTest : public StatusFixture {
 protected:
  void SetUp() override {
    StatusFixture::SetUp();
    pocd_.port = 5330;
    pocd_.label = const_cast<char *>("POC5330");
    set_q330_str(&q_->params.q330_ipaddress, "127.0.0.1");
    q_->params.disposition = 2;  // listen
    q_->state_acquisition = Q330_ACQ_WAITING;
  }
  // The texts muldrin_output queued since the last call.
  std::string out() {
    std::string s;
    for (auto &i : drain_queue()) s += i.second + "\n";
    return s;
  }
  POCDaemon pocd_{};
};

TEST_F(PocTest, DatagramMovesAndStartsAListeningDatalogger) {
  auto d = poc_datagram(0x01000000, 0x00000ABC, 0x7F000002, 0);
  EXPECT_EQ(muldrin_poc_datagram(&pocd_, "127.0.0.2:5330", d.data(), static_cast<int>(d.size())),
            0);
  std::string s = out();
  EXPECT_NE(s.find("POC5330: Processing POC from 127.0.0.2:5330, sn=0100000000000ABC, lport=1, "
                   "ip=127.0.0.2"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find("POC5330: Found datalogger SIM1:1 in dataloggers table."), std::string::npos);
  EXPECT_NE(s.find("POC5330: Change in datalogger SIM1:1 ipaddress - resetting."),
            std::string::npos);
  EXPECT_NE(s.find("POC5330: Starting acquisition for datalogger SIM1:1."), std::string::npos);
  EXPECT_STREQ(q_->params.q330_ipaddress, "127.0.0.2");
  EXPECT_EQ(q_->params.q330_reset_ipaddress, 1);
  EXPECT_EQ(q_->state_acquisition.load(), Q330_ACQ_REGISTER);
  // From the address it already has: counted, nothing changed.
  q_->params.q330_reset_ipaddress = 0;
  q_->state_acquisition = Q330_ACQ_ACQUIRING;
  muldrin_poc_datagram(&pocd_, "127.0.0.2:5330", d.data(), static_cast<int>(d.size()));
  s = out();
  EXPECT_EQ(s.find("Change in datalogger"), std::string::npos) << s;
  EXPECT_NE(s.find("Datalogger SIM1:1 currently connected."), std::string::npos) << s;
  EXPECT_EQ(q_->params.q330_reset_ipaddress, 0);
  double t = clock_now() + 1, tw = 86400, sum = 0, ave;
  taverage_get(q_->status.ta_npocs_24h, &t, &tw, &sum, &ave);
  EXPECT_EQ(sum, 2);
  t = clock_now() + 1;
  taverage_get(q_->status.ta_nipchs_24h, &t, &tw, &sum, &ave);
  EXPECT_EQ(sum, 1);
}

// The listener takes the new address into the session at once and goes on: a control
// thread busy elsewhere (here: one that never takes its queue) does not hold up the
// announcements of the other dataloggers of the same port, and nothing waits in its queue.
TEST_F(PocTest, BusyControlThreadDoesNotHoldUpTheListener) {
  q_->state_thread = 1;
  q_->control_mtfifo_in = pmtfifo_create(0, 1, 0);
  ASSERT_NE(q_->control_mtfifo_in, nullptr);
  auto d = poc_datagram(0x01000000, 0x00000ABC, 0x7F000002, 0);
  auto done = std::async(std::launch::async, [&] {
    return muldrin_poc_datagram(&pocd_, "127.0.0.2:5330", d.data(), static_cast<int>(d.size()));
  });
  // An upper bound only: the call has no reason to wait at all.
  ASSERT_EQ(done.wait_for(std::chrono::seconds(30)), std::future_status::ready) << out();
  EXPECT_EQ(done.get(), 0);
  EXPECT_STREQ(q_->params.q330_ipaddress, "127.0.0.2");
  EXPECT_EQ(q_->params.q330_reset_ipaddress, 1);
  EXPECT_EQ(q_->state_acquisition.load(),
            Q330_ACQ_REGISTER);  // started: the registration comes after it
  EXPECT_EQ(pmtfifo_data_available(q_->control_mtfifo_in), 0);
  pmtfifo_destroy(q_->control_mtfifo_in, q330_cmd_free);
  q_->control_mtfifo_in = nullptr;
  q_->state_thread = 0;
}

// The address of the announcement is printed as the program's -ipresolv / -noipresolv
// says: dotted only, or dotted with the name it resolves to ("?" for none).
TEST_F(PocTest, AnnouncedAddressFollowsIpresolv) {
  struct Row {
    int noipresolv;
    uint32_t ip;
    const char *text;
  } rows[] = {{1, 0x7F000002, "ip=127.0.0.2\n"}, {0, 0x7F000005, "ip=127.0.0.5 ("}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.noipresolv);
    m_.noipresolv = r.noipresolv;
    auto d = poc_datagram(0x01000000, 0x00000ABC, r.ip, 0);
    muldrin_poc_datagram(&pocd_, "127.0.0.2:5330", d.data(), static_cast<int>(d.size()));
    std::string s = out();
    EXPECT_NE(s.find(r.text), std::string::npos) << s;
  }
  m_.noipresolv = 1;
}

TEST_F(PocTest, SimulatedUnitThatMovedIsFollowed) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  Q330SimOptions opt;
  opt.logical = 1;
  Q330Sim sim(opt);
  set_q330_str(&q_->params.q330_serial_number, "0100000012345678");
  ASSERT_EQ(sim.send_poc(ntohs(a.sin_port), 0x7F000002, "127.0.0.2"), 0);
  pollfd p{fd, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 30000), 1);  // an upper bound only: the datagram is already sent
  unsigned char buf[1024];
  sockaddr_in from{};
  len = sizeof from;
  ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
  close(fd);
  char sender[64];
  inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
  std::string hostport = std::string(sender) + ":" + std::to_string(ntohs(from.sin_port));
  EXPECT_EQ(muldrin_poc_datagram(&pocd_, hostport.c_str(), buf, static_cast<int>(n)), 0);
  EXPECT_STREQ(q_->params.q330_ipaddress, "127.0.0.2");
  EXPECT_EQ(q_->state_acquisition.load(), Q330_ACQ_REGISTER);
  EXPECT_NE(out().find("sn=0100000012345678, lport=1, ip=127.0.0.2"), std::string::npos);
}

TEST_F(PocTest, MatchingBySerialNumberAndLogicalPort) {
  struct Row {
    int vampire;
    uint32_t sn_low;
    uint16_t data_port;  // logical port - 1
    bool found;
  } rows[] = {
      {0, 0xABC, 0, true},
      {0, 0xABC, 1, false},
      {1, 0xABC, 1, true},  // -poc_vampire: any port of that serial number
      {1, 0xABD, 0, false},
  };
  for (const Row &r : rows) {
    m_.poc_vampire = r.vampire;
    q_->state_acquisition = Q330_ACQ_ACQUIRING;
    auto d = poc_datagram(0x01000000, r.sn_low, 0x7F000001, r.data_port);
    int rc = muldrin_poc_datagram(&pocd_, "127.0.0.1", d.data(), static_cast<int>(d.size()));
    std::string s = out();
    EXPECT_EQ(rc == 0, r.found) << r.vampire << " " << r.data_port;
    EXPECT_EQ(s.find("Could not find appropriate entry") == std::string::npos, r.found) << s;
  }
}

TEST_F(PocTest, StartsByStateAndDisposition) {
  struct Row {
    int disposition;
    Q330AcqState state, after;
    const char *line;  // expected in the output, or "" for none of the three
  } rows[] = {
      {2, Q330_ACQ_STOPPED, Q330_ACQ_STOPPED, "currently stopped"},
      {2, Q330_ACQ_WAITING, Q330_ACQ_REGISTER, "Starting acquisition"},
      {2, Q330_ACQ_HIBERNATING, Q330_ACQ_REGISTER, "Starting acquisition"},
      {2, Q330_ACQ_SLEEPING, Q330_ACQ_REGISTER, "Starting acquisition"},
      {2, Q330_ACQ_OPEN_DATA, Q330_ACQ_OPEN_DATA, "currently connected"},
      {2, Q330_ACQ_KILL, Q330_ACQ_KILL, "currently connected"},
      {3, Q330_ACQ_WAITING, Q330_ACQ_WAITING, ""},
      {3, Q330_ACQ_HIBERNATING, Q330_ACQ_REGISTER, "Starting acquisition"},
      {3, Q330_ACQ_SLEEPING, Q330_ACQ_REGISTER, "Starting acquisition"},
      {1, Q330_ACQ_ACQUIRING, Q330_ACQ_ACQUIRING, ""},
      {3, Q330_ACQ_STOPPED, Q330_ACQ_STOPPED, ""},
  };
  for (const Row &r : rows) {
    q_->params.disposition = r.disposition;
    q_->state_acquisition = r.state;
    ASSERT_EQ(muldrin_poc_process(&pocd_, "127.0.0.1", "0100000000000ABC", 0x7F000001, 0), 0);
    std::string s = out();
    EXPECT_EQ(q_->state_acquisition.load(), r.after) << r.disposition << "/" << r.state;
    if (r.line[0] != '\0') {
      EXPECT_NE(s.find(r.line), std::string::npos) << s;
    } else {
      for (const char *l : {"currently stopped", "Starting acquisition", "currently connected"})
        EXPECT_EQ(s.find(l), std::string::npos) << r.disposition << "/" << r.state << s;
    }
  }
}

TEST_F(PocTest, MalformedDatagramsAreDropped) {
  auto d = poc_datagram(0x01000000, 0xABC, 0x7F000001, 0);
  auto bad = d;
  bad[20] ^= 1;  // CRC no longer matches
  EXPECT_EQ(muldrin_poc_datagram(&pocd_, "127.0.0.9", bad.data(), static_cast<int>(bad.size())),
            -1);
  EXPECT_NE(out().find("POC5330: error unstuffing QDP hdr from 127.0.0.9"), std::string::npos);
  auto other = poc_datagram(0x01000000, 0xABC, 0x7F000001, 0, 0xA0);
  EXPECT_EQ(muldrin_poc_datagram(&pocd_, "127.0.0.9", other.data(), static_cast<int>(other.size())),
            -1);
  EXPECT_NE(out().find("POC5330: Ignoring command 0xA0 from 127.0.0.9"), std::string::npos);
  EXPECT_EQ(muldrin_poc_datagram(&pocd_, "127.0.0.9", d.data(), 5), -1);
  EXPECT_STREQ(q_->params.q330_ipaddress, "127.0.0.1");
}

TEST_F(PocTest, RingPacketsOfPointOfContactParameters) {
  pocd_.label = const_cast<char *>("POC-ring1");
  struct Row {
    const char *pf;
    const char *line;
    int rc;
  } rows[] = {
      {"pocc2 &Arr{\nq330_ip_address 127.0.0.3\ndata_port_number 0\n}\nsn 0100000000000ABC\n"
       "srcip 127.0.0.3:5330\n",
       "Change in datalogger SIM1:1 ipaddress", 0},
      {"sn x\n", "no pocc2 parameter in packet 'q/pf/poc'", -1},
      {"pocc2 &Arr{\ndata_port_number 0\n}\n", "no pocc2->q330_ip_address parameter", -1},
      {"pocc2 &Arr{\nq330_ip_address 127.0.0.3\n}\n", "no pocc2->data_port_number parameter", -1},
      {"pocc2 &Arr{\nq330_ip_address 127.0.0.3\ndata_port_number 0\n}\n",
       "POC-ring1: no sn parameter in packet 'q/pf/poc'", -1},
      {"pocc2 &Arr{\nq330_ip_address 127.0.0.3\ndata_port_number 0\n}\nsn 1\n",
       "POC-ring1: no srcip parameter", -1},
  };
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("pf");
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  for (const Row &r : rows) {
    Pf *pf = nullptr;
    ASSERT_EQ(pfcompile(r.pf, &pf), 0);
    pkt->pf = pf;
    ASSERT_EQ(stuffPkt(pkt, nullptr, nullptr, &buf, &nbytes, &bufsize), 0);
    pffree(pf);
    pkt->pf = nullptr;
    EXPECT_EQ(muldrin_poc_ring_packet(&pocd_, "q/pf/poc", 1, buf, nbytes), r.rc) << r.pf;
    std::string s = out();
    EXPECT_NE(s.find(r.line), std::string::npos) << s;
  }
  EXPECT_STREQ(q_->params.q330_ipaddress, "127.0.0.3");
  EXPECT_EQ(muldrin_poc_ring_packet(&pocd_, "q/log", 1, "\0\1junk", 6), -1);
  EXPECT_NE(out().find("POC-ring1: unstuffPkt(q/log) error"), std::string::npos);
  freePkt(pkt);
  free(buf);
}

TEST_F(PocTest, RingSourceThreadActsOnReapedPackets) {
  std::string ring = dir_.file("poc.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 16), 0);
  int w = orbopen(ring.c_str(), "w");
  int r = orbopen(ring.c_str(), "r");
  ASSERT_GE(w, 0);
  ASSERT_GE(r, 0);
  orbseek(r, ORBOLDEST);
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("pf");
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  for (const char *text : {"sn 1\n",
                           "pocc2 &Arr{\nq330_ip_address 127.0.0.4\ndata_port_number 0\n}\n"
                           "sn 0100000000000ABC\nsrcip 127.0.0.4\n"}) {
    ASSERT_EQ(pfcompile(text, &pkt->pf), 0);
    char src[PKT_SRCNAME_SIZE] = "";
    double t = 0;
    ASSERT_EQ(stuffPkt(pkt, src, &t, &buf, &nbytes, &bufsize), 0);
    pffree(pkt->pf);
    pkt->pf = nullptr;
    ASSERT_EQ(orbput(w, "q330/pf/poc", 1, buf, nbytes), 0);
  }
  freePkt(pkt);
  free(buf);
  pocd_.label = const_cast<char *>("POC-ring");
  pocd_.orb = orbreapthr_new(r, 1.0, 10);
  ASSERT_NE(pocd_.orb, nullptr);
  myshutdown_pocds = 0;
  pthread_t thr;
  ASSERT_EQ(pthread_create(&thr, nullptr, muldrin::run_pocd_thread, &pocd_), 0);
  // Every line the listener logs also wakes a reader of the data queue.
  std::string s;
  while (s.find("Starting acquisition") == std::string::npos) {
    void *item = nullptr;
    ASSERT_NE(pmtfifo_pop(m_.mtfifo_write, &item), -1);
    if (item != nullptr) pmtfifo_push(m_.mtfifo_write, item);  // kept for out()
    s += out();
  }
  myshutdown_pocds = 1;
  pthread_join(thr, nullptr);
  s += out();
  orbreapthr_stop_and_wait(pocd_.orb);
  orbreapthr_destroy(pocd_.orb);
  orbclose(r);
  orbclose(w);
  EXPECT_NE(s.find("no pocc2 parameter in packet 'q330/pf/poc'"), std::string::npos) << s;
  EXPECT_NE(s.find("POC Daemon thread stopping for POC-ring"), std::string::npos) << s;
  EXPECT_STREQ(q_->params.q330_ipaddress, "127.0.0.4");
  EXPECT_EQ(q_->state_acquisition.load(), Q330_ACQ_REGISTER);
  myshutdown_pocds = 0;
}

// A driven clock whose sleeps pass at once; after the halt, its next 1 s sleep stops the
// listener so the test can end.
struct Driven {
  double now = 1000;
  int sleeps10 = 0;
};
double driven_now(void *u) { return static_cast<Driven *>(u)->now; }
void driven_sleep(double s, void *u) {
  auto *d = static_cast<Driven *>(u);
  d->now += s;
  if (s == 10.0) d->sleeps10++;
  if (s == 1.0 && myshutdown.load() != 0) myshutdown_pocds = 1;
}
int bind_fails(UDP *, int, const char *, char *, void *, int *, double) { return -2; }

TEST_F(PocTest, BindFailureCountsDownAnHourThenHalts) {
  Driven d;
  ClockDriver drv{driven_now, driven_now, driven_sleep, &d};
  clock_set_driver(&drv);
  muldrin_pocd_udp_read = bind_fails;
  myshutdown = 0;
  myshutdown_pocds = 0;
  static char endpoint;  // a UDP source; its reads are the stand-in's
  pocd_.udp = reinterpret_cast<UDP *>(&endpoint);
  muldrin::run_pocd_thread(&pocd_);
  clock_set_driver(nullptr);
  muldrin_pocd_udp_read = udp_read;
  EXPECT_EQ(myshutdown.load(), 1);
  EXPECT_EQ(d.sleeps10, 360);
  std::string s = out();
  EXPECT_NE(s.find("POC Daemon thread starting for POC5330"), std::string::npos);
  EXPECT_NE(s.find("SOMEBODY ELSE IS SITTING ON PORT 5330!!!"), std::string::npos);
  EXPECT_NE(s.find("SHUTDOWN IN 3600 SECONDS\n"), std::string::npos);
  EXPECT_NE(s.find("SHUTDOWN IN 3590 SECONDS\n"), std::string::npos);
  EXPECT_NE(s.find("SHUTDOWN IN 10 SECONDS\n"), std::string::npos);
  EXPECT_EQ(s.find("SHUTDOWN IN 0 SECONDS"), std::string::npos);
  EXPECT_NE(s.find("muldrin: POC5330: AUTOMATIC MULDRIN SHUTDOWN..."), std::string::npos);
  myshutdown = 0;
  myshutdown_pocds = 0;
}

}  // namespace
