// Link threads running: a TCP-server link accepting loopback clients, reaped by the main
// loop; the orderly shutdown with a status and a write thread that never answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "altuscom_fixture.h"
#include "altuscomsubs_output.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_hooks.h"
#include "kessaro_program.h"
#include "kessaro_start.h"
#include "kessaro_threads.h"
#include "testkit/testkit.h"

namespace {

int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

int connect_client(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons((uint16_t)port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int i = 0; i < 500; i++) {
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) return fd;
    clock_sleep(0.1);  // the server opens its port on its own thread
  }
  close(fd);
  return -1;
}

struct Program {
  Kessaro *altus = kessaro_new();
  Program() {
    altus->targetname = strdup("kes");
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    kessaro_install(altus);
    kessaro_halt = 0;
  }
  ~Program() {
    lines();
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    free(altus->targetname);
    free(altus->statefile_name);
    kessaro_test_free(altus);
    kessaro_halt = 0;
    kessaro_install(nullptr);
  }
  // The log texts queued so far (taken off the fifo).
  std::vector<std::string> lines() {
    std::vector<std::string> out;
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *p = static_cast<AltusPacket *>(item);
      if (p == nullptr) continue;  // the write-thread stopper
      if (p->type == ALTUSPKT_LOG && p->data) out.push_back(reinterpret_cast<char *>(p->data));
      altuspacket_free(p);
    }
    return out;
  }
};

bool contains(const std::vector<std::string> &lines, const std::string &what) {
  for (const auto &l : lines) {
    if (l.find(what) != std::string::npos) return true;
  }
  return false;
}

TEST(AltusTcpServer, ConnectionsAreNamedByInstanceAndReapedByTheMainLoop) {
  ClockScale scale(0.01);
  Program p;
  Modem *srv = modem_new();
  srv->name = strdup("tcp7");
  srv->com_mode = 3;
  srv->port = free_port();
  srv->timeout = 5;
  srv->timeout_control = 5;
  srv->modem_control = 1;  // forced to none
  srv->dialout = 1;        // forced to no
  setarr(p.altus->modems_array, "tcp7", srv);
  ASSERT_EQ(altuscom_new_modem(p.altus, srv), 0);
  EXPECT_EQ(srv->modem_control, 0);
  EXPECT_EQ(srv->dialin, 1);
  EXPECT_EQ(srv->dialout, 0);
  EXPECT_EQ(p.altus->ntcpservers, 1);
  EXPECT_EQ(std::string(srv->com).substr(0, 5), "tcps:");
  EXPECT_NE(std::string(srv->com).find(":" + std::to_string(srv->port) + ":tcp7:none"),
            std::string::npos)
      << srv->com;

  std::vector<std::string> seen;
  for (int client = 1; client <= 3; client++) {
    int fd = connect_client(srv->port);
    ASSERT_GE(fd, 0);
    std::string name = "tcp7_V00" + std::to_string(client);
    // The connection thread runs its (immediate) dial-in cycle, closes and ends; the main
    // loop then joins and frees it.
    bool reaped = false;
    for (int i = 0; i < 3000 && !reaped; i++) {
      kessaro_reap_links(p.altus);
      for (const auto &l : p.lines()) seen.push_back(l);
      reaped = contains(seen, name + ": Modem thread finished.");
      if (!reaped) clock_sleep(0.1);
    }
    EXPECT_TRUE(reaped) << name;
    EXPECT_TRUE(contains(seen, "altuscom_run_tcpconnection: thread started for " + name));
    close(fd);
  }
  EXPECT_EQ(srv->instance, 3);
  {
    std::lock_guard<KessaroMutex> g(p.altus->modems_mutex);
    EXPECT_EQ(cntarr(p.altus->modems_array), 1);  // the server link alone is left
  }
  kessaro_halt = 1;
  pthread_join(srv->run_thread, nullptr);
  EXPECT_TRUE(contains(p.lines(), "altuscom_run_tcpserver: exiting"));
  // Once halted the main loop reaps nothing.
  srv->exit = 1;
  kessaro_reap_links(p.altus);
  EXPECT_EQ(cntarr(p.altus->modems_array), 1);
  delarr(p.altus->modems_array, "tcp7");
  altuscom_modem_free(srv);
}

// A link whose thread ended while a datalogger still named it (as connected, or in the
// status report): the main loop disconnects that datalogger before it frees the link.
TEST(AltusTcpServer, TheMainLoopLeavesNoDataloggerNamingAFreedLink) {
  Program p;
  Modem *m = modem_new();
  m->name = strdup("tcp7_V001");
  ASSERT_EQ(pthread_create(
                &m->run_thread, nullptr, [](void *) -> void * { return nullptr; }, nullptr),
            0);
  m->exit = 1;
  setarr(p.altus->modems_array, m->name, m);
  const struct {
    const char *name;
    bool connected, shown;  // names the link as connected_modem, connected_modem_status
  } cases[] = {{"dlA", true, true}, {"dlB", false, true}, {"dlC", false, false}};
  std::vector<AltusDatalogger *> dls;
  for (const auto &c : cases) {
    AltusDatalogger *dl = altusdatalogger_new();
    dl->target_name = strdup(c.name);
    dl->connected_modem = c.connected ? m : nullptr;
    dl->connected_modem_status = c.shown ? m : nullptr;
    dl->com_mode = c.shown ? ALTUS_COM_BLOCKMODE : ALTUS_COM_DISCONNECTED;
    setarr(p.altus->dltargets_array, c.name, dl);
    dls.push_back(dl);
  }
  ElogCapture cap;
  kessaro_reap_links(p.altus);
  EXPECT_EQ(cntarr(p.altus->modems_array), 0);
  for (size_t i = 0; i < dls.size(); i++) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_EQ(dls[i]->connected_modem, nullptr);
    EXPECT_EQ(dls[i]->connected_modem_status, nullptr);
    EXPECT_EQ(dls[i]->com_mode, 0);
    EXPECT_EQ(cap.contains(std::string(cases[i].name) + " still named the ended link"),
              cases[i].shown)
        << cap.text();
    delarr(p.altus->dltargets_array, cases[i].name);
    altusdatalogger_free(dls[i]);
  }
}

// Threads of this process now.
int thread_count() {
  std::string status = read_file("/proc/self/status");
  size_t at = status.find("Threads:");
  return at == std::string::npos ? -1 : atoi(status.c_str() + at + 8);
}

// Whether the peer has closed the connection: end of input within `seconds` of real time.
bool closed_by_peer(int fd, double seconds) {
  return wait_until(
      [fd] {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return false;
        char c;
        return recv(fd, &c, 1, MSG_DONTWAIT) == 0;
      },
      seconds);
}

bool still_open(int fd) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

struct ServerLink {
  Program &p;
  Modem *srv = modem_new();
  ServerLink(Program &program, double timeout) : p(program) {
    srv->name = strdup("srv");
    srv->com_mode = 3;
    srv->port = free_port();
    srv->timeout = timeout;
    srv->timeout_control = 5;
    setarr(p.altus->modems_array, "srv", srv);
    EXPECT_EQ(altuscom_new_modem(p.altus, srv), 0);
  }
  // Reaps the ended connections until the server link alone is left.
  bool reaped() {
    return wait_until([&] {
      kessaro_reap_links(p.altus);
      std::lock_guard<KessaroMutex> g(p.altus->modems_mutex);
      return cntarr(p.altus->modems_array) == 1;
    });
  }
  ~ServerLink() {
    kessaro_halt = 1;
    pthread_join(srv->run_thread, nullptr);
    delarr(p.altus->modems_array, "srv");
    altuscom_modem_free(srv);
  }
};

// Callers that connect and say nothing hold a thread each until they identify: the server
// link keeps a bounded number of them, closes every further caller at once with one line
// a minute at most, and once they leave their threads are gone.
TEST(AltusTcpServer, CallersThatHaveNotIdentifiedAreBoundedAndTheRestRefused) {
  Program p;
  const int threads_before = thread_count();
  ServerLink s(p, 3600);
  std::vector<int> kept;
  for (int i = 0; i < ALTUSCOM_CALLERS_WAITING_MAX; i++) {
    kept.push_back(connect_client(s.srv->port));
    ASSERT_GE(kept.back(), 0);
  }
  ASSERT_TRUE(wait_until([&] { return s.srv->callers_waiting == ALTUSCOM_CALLERS_WAITING_MAX; }))
      << s.srv->callers_waiting;
  for (int i = 0; i < 3; i++) {
    int fd = connect_client(s.srv->port);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closed_by_peer(fd, 60)) << "caller " << i << " beyond the bound";
    close(fd);
  }
  for (int fd : kept) EXPECT_TRUE(still_open(fd));
  std::vector<std::string> seen = p.lines();
  int refusals = 0;
  for (const auto &l : seen) {
    if (l.find("callers on tcps:pt=" + std::to_string(s.srv->port)) == std::string::npos) continue;
    refusals++;
    EXPECT_NE(l.find(": " + std::to_string(ALTUSCOM_CALLERS_WAITING_MAX) + " callers on "),
              std::string::npos)
        << l;
    EXPECT_NE(l.find("have not identified themselves yet: 1 callers refused"), std::string::npos)
        << l;
  }
  EXPECT_EQ(refusals, 1) << "one line a minute at most";
  EXPECT_EQ(s.srv->instance, ALTUSCOM_CALLERS_WAITING_MAX) << "refused callers get no link";

  for (int fd : kept) close(fd);
  EXPECT_TRUE(s.reaped());
  EXPECT_EQ(s.srv->callers_waiting, 0);
  EXPECT_TRUE(wait_until([&] { return thread_count() == threads_before + 1; }))
      << thread_count() << " threads, " << threads_before << " before the server link";
}

// A caller that keeps sending without ever showing its banner is closed once the link's
// time-out has passed since it connected, whatever the limits of the single waits allow.
TEST(AltusTcpServer, ACallerThatDoesNotIdentifyIsClosedAtTheLinksTimeOut) {
  Program p;
  p.altus->connect_listen_string = strdup("RING\r\n");
  p.altus->connect_response_string = strdup("CONNECT\r\n");
  ServerLink s(p, 2);
  int fd = connect_client(s.srv->port);
  ASSERT_GE(fd, 0);
  const char dial[] = "RING\r\nATD\rFROM:";
  ASSERT_EQ(send(fd, dial, sizeof dial - 1, MSG_NOSIGNAL), (ssize_t)(sizeof dial - 1));
  // A byte every 0.2 s keeps every single wait of the banner going.
  bool closed = wait_until(
      [fd] {
        send(fd, "x", 1, MSG_NOSIGNAL);
        return closed_by_peer(fd, 0.2);
      },
      60);
  EXPECT_TRUE(closed);
  close(fd);
  EXPECT_TRUE(s.reaped());
  std::vector<std::string> seen = p.lines();
  EXPECT_TRUE(contains(seen, "serialbuf_get_byte: time limit of the connection reached."));
  EXPECT_TRUE(contains(seen, "modem_listen: serialbuf_read_until_parse(MODEL) error."));
  EXPECT_EQ(s.srv->callers_waiting, 0);
  free(p.altus->connect_listen_string);
  free(p.altus->connect_response_string);
  p.altus->connect_listen_string = p.altus->connect_response_string = nullptr;
}

TEST(AltusShutdown, WaitsForSilentStatusAndWriteThreadsThenFlushes) {
  AltusDrivenClock clock;
  TempDir dir;
  Program p;
  p.altus->statefile_name = strdup(dir.file("state").c_str());
  double start = clock_now();
  ElogCapture cap;
  kessaro_stop(p.altus, 0);
  double waited = clock_now() - start;
  // 11 s for the status report, 0.1 s, then 100 s for the write thread.
  EXPECT_NEAR(waited, 11.0 + 0.1 + 100.0, 0.5);
  EXPECT_EQ(kessaro_halt.load(), 1);
  std::vector<std::string> lines = p.lines();
  EXPECT_TRUE(contains(lines, "kessaro_stop: modem threads finished"));
  EXPECT_FALSE(contains(lines, "kessaro_stop: Write thread done."));
  EXPECT_TRUE(cap.contains("kessaro_stop: Data write thread exited.")) << cap.text();
  EXPECT_TRUE(cap.contains("kessaro_stop: Flushing output buffers."));
  EXPECT_EQ(access(dir.file("state").c_str(), F_OK), 0);  // state file written anyway
}

// Waits (at most 20 s) until `done` holds.
template <class F>
bool within_a_while(F done) {
  for (int i = 0; i < 2000; i++) {
    if (done()) return true;
    clock_sleep(0.01);
  }
  return done();
}

// A scheduling thread with nothing to do waits for changes instead of looking every
// 0.1 s: each change that concerns it must still be taken up (here, without a signal
// it would wait for ever), and the halt must end it.
TEST(AltusScheduling, AnIdleDataloggerThreadTakesUpEachChange) {
  Program p;
  AltusDatalogger *dl = altusdatalogger_new();
  dl->target_name = strdup("dlA");
  dl->dialout = 1;
  dl->auto_stream = 1;
  dl->auto_getevents = 1;
  dl->dialout_modems = newtbl(0);
  Modem *link = modem_new();
  link->name = strdup("out1");
  link->dialout = 1;
  pushtbl(dl->dialout_modems, link);
  setarr(p.altus->modems_array, link->name, link);
  ASSERT_EQ(altuscom_new_datalogger(p.altus, dl), 0);
  auto queued = [dl] { return kessaro_test_queued(dl); };
  // The first pass posts the stream start, and the queued request wakes the free link.
  ASSERT_TRUE(within_a_while([&] { return link->interrupt == 1; }))
      << testing::PrintToString(queued());
  EXPECT_EQ(queued(), std::vector<std::string>{"strstart"});

  const struct {
    const char *why;
    void (*change)(AltusDatalogger *);
    const char *posted;  // the internal request the change makes, or none
  } cases[] = {
      {"a stream gone idle", [](AltusDatalogger *d) { d->stream_status = STRSTATUS_IDLE; },
       "strstart"},
      {"an alarm", [](AltusDatalogger *d) { d->alarm = 1; }, "getevents"},
      {"a request",
       [](AltusDatalogger *d) {
         Pf *req = pfnew(PFARR);
         pfput_string(req, "command", "status");
         post_command_queue(d, req, 0);
         pffree(req);
       },
       nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    clear_command_queue(dl, 1, 1);
    // Idle once it has seen the queue empty: the stream marked posted, no download due.
    clock_sleep(0.3);
    link->interrupt = 0;
    clock_sleep(0.3);
    ASSERT_EQ(link->interrupt, 0);
    c.change(dl);
    ASSERT_TRUE(within_a_while([&] { return link->interrupt == 1; }))
        << testing::PrintToString(queued());
    if (c.posted != nullptr) {
      EXPECT_EQ(queued(), std::vector<std::string>{c.posted});
    }
    dl->alarm = 0;  // the download done
    dl->getevents_status = GETEVENTS_IDLE;
  }
  clear_command_queue(dl, 1, 1);
  kessaro_halt = 1;
  pthread_join(dl->run_thread, nullptr);
  delarr(p.altus->modems_array, link->name);
  modem_free(link);
  altusdatalogger_free(dl);
}

}  // namespace
