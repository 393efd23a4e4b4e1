// The point-of-contact thread: announcements written into a ring file and read by a real
// reap thread, the link address hand-off that carries a new address to the link's own
// thread, and the failure clock that shuts the program down (scripted reads, driven
// clock).
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_output.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "kessaro_hooks.h"
#include "kessaro_pocd.h"
#include "kessaro_program.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/orbreapthr.h"
#include "testkit/testkit.h"

namespace {

struct Program {
  Kessaro *altus = kessaro_new();
  std::vector<AltusDatalogger *> dls;
  std::vector<Modem *> links;
  POCDaemon poc{};
  Program() {
    altus->targetname = strdup("kes");
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    kessaro_install(altus);
    kessaro_halt = 0;
    poc.altus = altus;
    poc.label = strdup("POC-poc.ring");
  }
  ~Program() {
    lines();
    for (AltusDatalogger *d : dls) altusdatalogger_free(d);
    for (Modem *m : links) modem_free(m);
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    free(altus->targetname);
    free(poc.label);
    kessaro_test_free(altus);
    kessaro_halt = 0;
    kessaro_install(nullptr);
  }
  // A TCP-client link (ipaddr none for "-") and, with a poc key, its datalogger.
  Modem *link(const char *name, const char *ipaddr, int port) {
    Modem *m = modem_new();
    m->name = strdup(name);
    m->com_mode = 2;
    m->ipaddr = strcmp(ipaddr, "-") == 0 ? nullptr : strdup(ipaddr);
    m->port = port;
    links.push_back(m);
    return m;
  }
  AltusDatalogger *datalogger(const char *target, const char *value, Modem *single) {
    AltusDatalogger *d = altusdatalogger_new();
    d->target_name = strdup(target);
    d->poc_name = strdup("serial");
    d->poc_value = strdup(value);
    d->single_modem = single;
    setarr(altus->dltargets_array, target, d);
    dls.push_back(d);
    return d;
  }
  // The log texts queued so far (taken off the fifo).
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *p = static_cast<AltusPacket *>(item);
      if (p == nullptr) continue;
      if (p->type == ALTUSPKT_LOG && p->data) out.push_back(reinterpret_cast<char *>(p->data));
      altuspacket_free(p);
    }
    return out;
  }
};

int count_of(const std::vector<std::string> &lines, const std::string &what) {
  int n = 0;
  for (const auto &l : lines) n += l.find(what) != std::string::npos;
  return n;
}

// The address a link would connect to now, read under its hand-off lock.
std::string address_of(Modem *m) {
  std::lock_guard<KessaroMutex> g(m->address_mutex);
  return std::string(m->ipaddr ? m->ipaddr : "-") + ":" + std::to_string(m->port) + " " + m->com;
}

// ---- the hand-off ----

TEST(AltusAddressHandOff, PostedOnceAppliedByTheLinkThread) {
  Program p;
  Modem *m = p.link("m1", "127.0.0.1", -1);
  AltusAddressChange c;
  EXPECT_EQ(altuscom_post_address(m, "127.0.0.1", 9000, &c), 0);  // the address in use
  EXPECT_EQ((int)m->reset_ipaddress, 0);
  ASSERT_EQ(altuscom_post_address(m, "127.0.0.2", 9000, &c), 1);
  EXPECT_EQ(c.old_host + ":" + std::to_string(c.old_port), "127.0.0.1:-1");
  EXPECT_EQ(c.new_host + ":" + std::to_string(c.new_port), "127.0.0.2:9000");
  EXPECT_EQ(altuscom_post_address(m, "127.0.0.2", 9100, &c), 0);  // already posted
  EXPECT_EQ(address_of(m), "127.0.0.1:-1 ");                      // nothing applied yet
  EXPECT_EQ(altuscom_post_address(nullptr, "127.0.0.2", 1, &c), -1);
  EXPECT_EQ(altuscom_post_address(m, nullptr, 1, &c), -1);

  // The link's own thread applies it on its next pass.
  ClockScale scale(0.01);
  m->userdata = p.altus;
  pthread_t tid;
  ASSERT_EQ(pthread_create(&tid, nullptr, altuscom_run_modem, m), 0);
  for (int i = 0; i < 3000 && m->reset_ipaddress != 0; i++) clock_sleep(0.1);
  EXPECT_EQ((int)m->reset_ipaddress, 0);
  EXPECT_EQ(address_of(m), "127.0.0.2:9000 tcp:127.0.0.2:9000:m1");
  kessaro_halt = 1;
  pthread_join(tid, nullptr);
  EXPECT_EQ(altuscom_apply_address(m), 0);  // nothing left to apply
}

// ---- announcements from a ring ----

class PocRing : public ::testing::Test {
 protected:
  void SetUp() override {
    ring = dir.file("poc.ring");
    ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
    wr = orbopen(ring.c_str(), "w");
    rd = orbopen(ring.c_str(), "r");  // before the writes: it reads from here on
    ASSERT_GE(wr, 0);
    ASSERT_GE(rd, 0);
  }
  void TearDown() override { orbclose(wr); }
  void put_pf(const char *srcname, const std::string &text) {
    Packet *pkt = newPkt();
    pkt->pkttype = suffix2pkttype("pf");
    ASSERT_EQ(pfcompile(text.c_str(), &pkt->pf), 0);
    put(pkt, srcname);
  }
  void put_log(const char *srcname, const char *text) {
    Packet *pkt = newPkt();
    pkt->pkttype = suffix2pkttype("log");
    pkt->string = strdup(text);
    put(pkt, srcname);
  }
  void put(Packet *pkt, const char *srcname) {
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0;
    ASSERT_EQ(stuffPkt(pkt, nullptr, nullptr, &buf, &nbytes, &bufsize), 0);
    ASSERT_EQ(orbput(wr, srcname, 1577836800.0, buf, nbytes), 0);
    free(buf);
    freePkt(pkt);
    written++;
  }
  // Runs the thread on the ring until it has read every packet written.
  void run(Program &p) {
    p.poc.orb = orbreapthr_new(rd, 1.0, 10);
    ASSERT_NE(p.poc.orb, nullptr);
    want = written;
    got = idle = 0;
    program = p.altus;
    kessaro_pocd_reap = counting_reap;
    kessaro::run_pocd_thread(&p.poc);
    kessaro_pocd_reap = orbreapthr_get;
    orbreapthr_destroy(p.poc.orb);
    EXPECT_EQ(got, want);
  }
  // The real read, which asks the thread to stop once every packet has been handed over.
  static int counting_reap(OrbreapThr *thr, int *pktid, char *srcname, double *time, char **packet,
                           int *nbytes, int *bufsize) {
    int rc = orbreapthr_get(thr, pktid, srcname, time, packet, nbytes, bufsize);
    if (rc == 1 && ++got == want) program->kill = KESSARO_KILL_REQUESTED;
    // Bounded: the count check fails.
    if (rc != 1 && ++idle > 3000) program->kill = KESSARO_KILL_REQUESTED;
    return rc;
  }
  static inline int want = 0, got = 0, idle = 0;
  static inline Kessaro *program = nullptr;
  ClockScale scale{0.01};
  TempDir dir;
  std::string ring;
  int wr = -1, rd = -1;  // rd is handed to the reap thread, which closes it
  int written = 0;
};

TEST_F(PocRing, AnnouncementsRetargetEveryMatchingLinkOnce) {
  Program p;
  p.altus->log_poc = 2;
  Modem *ma = p.link("m_dA", "127.0.0.1", 5001);  // a configured port stays
  Modem *mb = p.link("m_dB", "-", -1);            // no port: the announcement's
  Modem *mc = p.link("m_dC", "127.0.0.2", 6000);
  p.datalogger("dA", "101", ma);
  p.datalogger("dB", "101", mb);
  p.datalogger("dC", "202", mc);
  p.datalogger("dD", "101", nullptr);  // no link of its own: passed over

  put_log("x/log", "not an announcement");
  put_pf("p2/pf/poc", "serial 101\n");
  put_pf("p3/pf/poc", "srcip 127.0.0.2:7000\nserial 202\n");  // dC's own address
  put_pf("p4/pf/poc", "srcip 127.0.0.3:7001\nserial 101\n");
  put_pf("p5/pf/poc", "srcip 127.0.0.4:7002\nserial 999\n");  // nobody's
  run(p);

  std::vector<std::string> lines = p.lines();
  std::string all;
  for (const auto &l : lines) all += l;
  SCOPED_TRACE(all);
  EXPECT_EQ(count_of(lines, "Starting POC-poc.ring POC Daemon thread"), 1);
  EXPECT_EQ(count_of(lines, "POC-poc.ring: packet 'x/log' not a pf packet"), 1);
  EXPECT_EQ(count_of(lines, "POC-poc.ring: no srcip parameter in packet 'p2/pf/poc'"), 1);
  EXPECT_EQ(count_of(lines, "POC-poc.ring: Processing POC from 127.0.0.3:7001"), 1);
  EXPECT_EQ(count_of(lines, "Found datalogger dC in dataloggers table."), 1);
  EXPECT_EQ(count_of(lines, "Found datalogger dD"), 0);
  EXPECT_EQ(count_of(lines, "Change in datalogger dC"), 0);
  EXPECT_EQ(count_of(lines,
                     "Change in datalogger dA ipaddress - resetting from "
                     "127.0.0.1:5001 to 127.0.0.3:5001."),
            1);
  EXPECT_EQ(count_of(lines,
                     "Change in datalogger dB ipaddress - resetting from -:-1 to "
                     "127.0.0.3:7001."),
            1);
  EXPECT_EQ(count_of(lines, "Stopping POC-poc.ring POC Daemon thread"), 1);

  EXPECT_EQ((int)mc->reset_ipaddress, 0);
  for (Modem *m : {ma, mb}) EXPECT_EQ(altuscom_apply_address(m), 1) << m->name;
  EXPECT_EQ(address_of(ma), "127.0.0.3:5001 tcp:127.0.0.3:5001:m_dA");
  EXPECT_EQ(address_of(mb), "127.0.0.3:7001 tcp:127.0.0.3:7001:m_dB");
  EXPECT_EQ(address_of(mc), "127.0.0.2:6000 ");
}

// ---- the failure clock ----

std::vector<int> script;
size_t script_at = 0;
Kessaro *script_program = nullptr;
int exit_status = -1;

int scripted_reap(OrbreapThr *, int *, char *srcname, double *, char **, int *nbytes, int *) {
  srcname[0] = '\0';
  *nbytes = 0;
  if (script_at >= script.size()) {
    script_program->kill = KESSARO_KILL_REQUESTED;  // the script is over: as the shutdown would
    return 2;
  }
  return script[script_at++];
}

void record_exit(int status) { exit_status = status; }

std::vector<int> repeat(int result, int n) { return std::vector<int>((size_t)n, result); }

TEST(PocFailureClock, AnHourOfFailedReadsShutsDownInOrder) {
  struct Case {
    const char *why;
    std::vector<std::vector<int>> runs;  // joined into one script
    bool shutdown;
    size_t reads;          // reads made before the thread ended
    int failures;          // of them
    bool claimed = false;  // another shutdown (a signal, "quit") has begun
  } cases[] = {
      {"360 errors", {repeat(-1, 360)}, true, 360, 360},
      {"a stopped reader counts as failing", {repeat(-1, 200), repeat(4, 160)}, true, 360, 360},
      {"a read at 3590 s resets the clock",
       {repeat(-1, 359), {2}, repeat(4, 359)},
       false,
       719,
       718},
      {"nothing queued is a good read", {repeat(-1, 359), {3}, repeat(-1, 360)}, true, 720, 719},
      {"a shutdown already under way", {repeat(-1, 360)}, false, 360, 360, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    DrivenClock clock(1577836800.0);
    ElogCapture cap;
    Program p;
    script.clear();
    for (const auto &r : c.runs) script.insert(script.end(), r.begin(), r.end());
    script_at = 0;
    script_program = p.altus;
    exit_status = -1;
    kessaro_shutdown_reset();
    if (c.claimed) kessaro_shutdown_claim();
    kessaro_pocd_reap = scripted_reap;
    kessaro_pocd_exit = record_exit;
    kessaro::run_pocd_thread(&p.poc);
    kessaro_pocd_reap = orbreapthr_get;
    kessaro_pocd_exit = kessaro_exit;

    std::vector<std::string> lines = p.lines();
    EXPECT_EQ(script_at, c.reads);
    EXPECT_EQ(count_of(lines, "POC-poc.ring: orbreapthr_get() error"), c.failures);
    EXPECT_EQ(count_of(lines, "POC-poc.ring: AUTOMATIC KESSARO SHUTDOWN..."), c.shutdown ? 1 : 0);
    if (c.shutdown) {
      EXPECT_EQ(exit_status, 0);
      EXPECT_EQ(kessaro_halt.load(), 1);
      EXPECT_EQ(count_of(lines, "kessaro_stop: modem threads finished"), 1);
      EXPECT_TRUE(cap.contains("kessaro_stop: Flushing output buffers.")) << cap.text();
      EXPECT_EQ(count_of(lines, "Stopping POC-poc.ring POC Daemon thread"), 0);
    } else {
      EXPECT_EQ(exit_status, -1);
      EXPECT_EQ(kessaro_halt.load(), 0);
      EXPECT_EQ(count_of(lines, "Stopping POC-poc.ring POC Daemon thread"), c.claimed ? 0 : 1);
    }
    elog_clear_register(0);
  }
}

}  // namespace
