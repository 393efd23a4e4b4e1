// Opening and ending datalogger connections against the simulated datalogger (reached
// over a loopback TCP connection, starting in block mode), and the datalogger clock
// hand-off through a private shared-memory segment.
#include "altuscomsubs_connect.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "altuscom_link_fixture.h"
#include "altuscomthread.h"
#include "bytestream/fixtures.h"
#include "support/dlclock.h"

using altussim::Sim;

namespace {

bool has(const std::vector<int> &v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// A link connected to a simulated datalogger of the given identity.
struct Connected : LinkProgram {
  Sim sim;
  Modem *modem = nullptr;
  bsfix::Record buf;

  explicit Connected(const std::string &model = "K2", int serial = 1234) {
    sim_identity(sim, model, serial);
    int port = sim.listen_tcp();
    sim.start();
    modem = link("tty1", 2);
    kessaro_copytext(modem->devname, "ip=127.0.0.1:to=5.0:toctrl=5.0");
    // Answers wait 100 s of the fast clock, 1 s of real time: the simulator's thread answers
    // within them however busy the machine.
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 8192, 100000, 100000, 2, idle_callback,
                                         modem, log_callback, modem, nullptr, datarate_callback,
                                         modem));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    modem->buf_handle = buf.get();
  }
  ~Connected() {
    modem->buf_handle = nullptr;
    buf.reset();
    sim.stop();
  }
  // A dial-out as the link thread makes it: both connection locks held.
  int dialout(AltusDatalogger *dl) {
    lock_datalogger_connection(dl, "test", 0);
    lock_modem_connection(modem, "test", 0);
    modem->connected_dl = dl;
    AltusDatalogger *d = dl;
    int rc = opendl(modem, 2, nullptr, &d, 0, 0, 0);
    EXPECT_FALSE(datalogger_connection_held(dl));
    EXPECT_FALSE(modem_connection_held(modem));
    return rc;
  }
  // A dial-in whose banner named `dl` (none: not known yet).
  int dialin(AltusDatalogger *dl, char *tag, AltusDatalogger **found) {
    if (dl != nullptr) lock_datalogger_connection(dl, "test", 0);
    modem->connected_dl = dl;
    *found = dl;
    int rc = opendl(modem, 1, tag, found, 0, 0, 0);
    if (dl != nullptr) {
      EXPECT_FALSE(datalogger_connection_held(dl));
    }
    EXPECT_FALSE(modem_connection_held(modem));
    return rc;
  }
};

TEST(AltusOpendl, DialoutAnyModelAnySerialStoresTheReportAndClosesWithTheErrorRate) {
  Connected c("Etna", 777);
  AltusDatalogger *dl = c.datalogger("dlA", "K1", "", 0);
  dl->any_model = 1;
  dl->any_serial = 1;
  ASSERT_EQ(c.dialout(dl), 0);
  EXPECT_STREQ(dl->model, "Etna");
  EXPECT_STREQ(dl->verparams.model, "Etna");
  EXPECT_EQ(dl->serial, 777);
  EXPECT_EQ(dl->com_mode, 4);
  EXPECT_EQ(dl->lcom, 4);
  EXPECT_EQ(dl->connected_modem, c.modem);
  EXPECT_EQ(c.modem->connected_dl, dl);
  EXPECT_EQ(c.buf->userdata3, dl);
  EXPECT_GT(dl->open_time, 0);
  EXPECT_GT(dl->last_params_time, 0);
  EXPECT_EQ(dl->status.serialNumber, 777);
  EXPECT_FALSE(has(sim_commands(c.sim), 28)) << "an empty password sends nothing";

  c.buf->errors = 5;
  c.buf->packets = 200;
  EXPECT_EQ(closedl(dl), 0);
  EXPECT_DOUBLE_EQ(dl->stat.lastcom_error_rate, 0.025);
  EXPECT_EQ(dl->connected_modem, nullptr);
  EXPECT_EQ(dl->connected_modem_status, nullptr);
  EXPECT_EQ(c.modem->connected_dl, nullptr);
  EXPECT_EQ(c.buf->userdata3, nullptr);
  EXPECT_EQ(dl->com_mode, 0);
  EXPECT_EQ(dl->open_time, 0);
  EXPECT_GT(dl->close_time, 0);
  EXPECT_GT(dl->last_connection_ended_time, 0);
}

// Without a status thread to make the reports the opening still ends: each of its two waits
// gives up after 11 s.
TEST(AltusOpendl, WaitsForTheStatusReportAreBounded) {
  Connected c;
  AltusDatalogger *dl = c.datalogger("dlA", "K1234", "K2", 1234);
  c.silent = true;
  ClockWatch watch(0.001);
  EXPECT_EQ(c.dialout(dl), 0);
  EXPECT_GE(watch.sleeps(0.1), 2 * 110);
  EXPECT_EQ(dl->com_mode, 4);
  closedl(dl);
}

TEST(AltusOpendl, DialoutRefusesAnotherModelOrSerial) {
  struct Case {
    const char *model;
    int serial;
    const char *line;
  } cases[] = {
      {"K2", 1234,
       "opendl: tty1: Datalogger model 'Etna' does not match 'K2' in kessaro.pf file for dlname "
       "dlA."},
      {"Etna", 99, "opendl: tty1: Datalogger serial no. 1234 does not match 99 in kessaro.pf file"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.model);
    Connected c("Etna", 1234);
    AltusDatalogger *dl = c.datalogger("dlA", "E1234", k.model, k.serial);
    ElogCapture log;
    EXPECT_EQ(c.dialout(dl), -1);
    EXPECT_TRUE(log.contains(k.line)) << log.text();
    EXPECT_EQ(closedl(dl), 0);
    EXPECT_EQ(dl->com_mode, 0);
    EXPECT_EQ(dl->connected_modem, nullptr);
  }
}

TEST(AltusOpendl, DialoutNotAllowedOrHaltedLeavesTheLocks) {
  Connected c;
  AltusDatalogger *dl = c.datalogger("dlA", "K1234", "K2", 1234);
  dl->dialout = 0;
  lock_datalogger_connection(dl, "test", 0);
  AltusDatalogger *d = dl;
  EXPECT_EQ(opendl(c.modem, 2, nullptr, &d, 0, 0, 0), -1);
  EXPECT_TRUE(datalogger_connection_held(dl));
  EXPECT_EQ(dl->connected_modem_status, nullptr);
  dl->dialout = 1;
  kessaro_halt = 1;
  EXPECT_EQ(opendl(c.modem, 2, nullptr, &d, 0, 0, 0), 4);
  kessaro_halt = 0;
  EXPECT_TRUE(datalogger_connection_held(dl));
  EXPECT_EQ(dl->connected_modem, nullptr);
  EXPECT_EQ(dl->com_mode, 0);
  EXPECT_TRUE(sim_commands(c.sim).empty());
  unlock_datalogger_connection(dl, "test");
  AltusDatalogger *none = nullptr;
  EXPECT_EQ(opendl(c.modem, 2, nullptr, &none, 0, 0, 0), -1);
}

TEST(AltusOpendl, PendingRebootIsConsumed) {
  Connected c;
  c.sim.set_restart_seconds(1);
  AltusDatalogger *dl = c.datalogger("dlA", "K1234", "K2", 1234);
  dl->reboot = 1;
  int rc = c.dialout(dl);
  EXPECT_NE(rc, 0) << "a restarted datalogger is no connection";
  EXPECT_EQ(c.sim.restarts(), 1);
  EXPECT_EQ(dl->reboot, 0);
  closedl(dl);
}

TEST(AltusOpendl, PasswordSentAndRefused) {
  {
    Connected c;
    AltusDatalogger *dl = c.datalogger("dlA", "K1234", "K2", 1234);
    kessaro_copytext(dl->password, "secret");
    ElogCapture log;
    EXPECT_EQ(c.dialout(dl), 0);
    EXPECT_TRUE(has(sim_commands(c.sim), 28));
    EXPECT_TRUE(log.contains("password ok...")) << log.text();
    closedl(dl);
  }
  {
    Connected c;
    altussim::Script refuse{128, {{28, 0, 'n', 'o', 0}}, {}};
    c.sim.set_script(28, refuse);
    AltusDatalogger *dl = c.datalogger("dlA", "K1234", "K2", 1234);
    kessaro_copytext(dl->password, "wrong");
    ElogCapture log;
    EXPECT_EQ(c.dialout(dl), -1);
    EXPECT_TRUE(log.contains("opendl: tty1: get_block(password) error on")) << log.text();
    EXPECT_TRUE(log.contains("password not ok...")) << log.text();
    EXPECT_EQ(dl->connected_modem, c.modem) << "the connection stays for the caller to end";
    EXPECT_FALSE(has(sim_commands(c.sim), 1)) << "no parameters after a refused password";
    closedl(dl);
    EXPECT_EQ(dl->connected_modem, nullptr);
  }
}

TEST(AltusOpendl, DialinIdentifiesClaimsOrRefuses) {
  {
    SCOPED_TRACE("the banner's datalogger, dial-in allowed");
    Connected c("Etna", 1234);
    AltusDatalogger *dl = c.datalogger("dlE", "E1234", "Etna", 1234);
    char tag[32] = "";
    AltusDatalogger *found = nullptr;
    EXPECT_EQ(c.dialin(dl, tag, &found), 0);
    EXPECT_STREQ(tag, "E1234");
    EXPECT_EQ(found, dl);
    EXPECT_STREQ(dl->verparams.model, "Etna");
    closedl(dl);
  }
  {
    SCOPED_TRACE("dial-in off: refused after block mode, pointers cleared");
    Connected c("Etna", 1234);
    AltusDatalogger *dl = c.datalogger("dlE", "E1234", "Etna", 1234);
    dl->dialin = 0;
    char tag[32] = "";
    AltusDatalogger *found = nullptr;
    ElogCapture log;
    EXPECT_EQ(c.dialin(dl, tag, &found), -1);
    EXPECT_TRUE(
        log.contains("opendl: tty1: No dialin allowed for datalogger serial number 'E1234'."))
        << log.text();
    EXPECT_TRUE(has(sim_commands(c.sim), 3)) << "refused after block mode";
    EXPECT_EQ(c.modem->connected_dl, nullptr);
    EXPECT_EQ(c.buf->userdata3, nullptr);
    EXPECT_EQ(dl->connected_modem, nullptr);
    EXPECT_EQ(dl->connected_modem_status, nullptr);
    EXPECT_EQ(dl->com_mode, 0);
    EXPECT_STREQ(tag, "");
  }
  {
    SCOPED_TRACE("unknown before block mode: identified from the status and claimed");
    Connected c("Etna", 1234);
    AltusDatalogger *dl = c.datalogger("dlE", "E1234", "Etna", 1234);
    char tag[32] = "";
    AltusDatalogger *found = nullptr;
    EXPECT_EQ(c.dialin(nullptr, tag, &found), 0);
    EXPECT_EQ(found, dl);
    EXPECT_EQ(dl->connected_modem, c.modem);
    EXPECT_EQ(dl->com_mode, 4);
    EXPECT_FALSE(datalogger_connection_held(dl));
    closedl(dl);
  }
  {
    SCOPED_TRACE("unknown before block mode, and connected on another link");
    Connected c("Etna", 1234);
    AltusDatalogger *dl = c.datalogger("dlE", "E1234", "Etna", 1234);
    Modem *other = c.link("tcp2", 2);
    dl->connected_modem = other;
    char tag[32] = "";
    AltusDatalogger *found = nullptr;
    ElogCapture log;
    EXPECT_EQ(c.dialin(nullptr, tag, &found), -1);
    EXPECT_TRUE(log.contains("Datalogger 'dlE' already connected")) << log.text();
    EXPECT_EQ(dl->connected_modem, other);
    EXPECT_EQ(c.modem->connected_dl, nullptr);
  }
  {
    SCOPED_TRACE("a serial number nobody has");
    Connected c("Etna", 4321);
    c.datalogger("dlE", "E1234", "Etna", 1234);
    char tag[32] = "";
    AltusDatalogger *found = nullptr;
    ElogCapture log;
    EXPECT_EQ(c.dialin(nullptr, tag, &found), -1);
    EXPECT_TRUE(log.contains("opendl: tty1: Unregnized datalogger serial number 'E4321'."))
        << log.text();
  }
}

// A clock that stands still but for the pauses, each of which first runs the test's hook.
// Its time is under a lock (32-bit ARM has no lock-free 8-byte atomics).
struct HookedClock {
  std::mutex mutex;
  double time = 1000.0;
  std::function<void()> on_pause;
  double t() {
    std::lock_guard<std::mutex> g(mutex);
    return time;
  }
  ClockDriver driver{[](void *u) { return static_cast<HookedClock *>(u)->t(); },
                     [](void *u) { return static_cast<HookedClock *>(u)->t(); },
                     [](double s, void *u) {
                       auto *c = static_cast<HookedClock *>(u);
                       if (c->on_pause) c->on_pause();
                       std::lock_guard<std::mutex> g(c->mutex);
                       c->time += s;
                     },
                     this};
  HookedClock() { clock_set_driver(&driver); }
  ~HookedClock() { clock_set_driver(nullptr); }
};

// A close on the link's own thread while another thread holds the datalogger's connection
// lock, whether that one lets go while the close tries it or keeps it throughout, leaves
// the datalogger disconnected, so that it never names a link that has closed (a
// TCP-server connection's link is freed next). A datalogger that names a link another
// thread runs (that link took it) stays that link's.
TEST(AltusClosedl, ACloseWhileAnotherThreadHoldsTheDataloggerLeavesItDisconnected) {
  enum Holder { kLetsGo, kKeepsIt };
  const struct {
    const char *name;
    Holder holder;
    bool own_link;  // the closing thread runs the link the datalogger names
    bool disconnected;
    bool complaint;  // "datalogger lock busy"
  } cases[] = {
      {"the holder lets go while the close tries the lock", kLetsGo, true, true, false},
      {"the holder keeps the datalogger's lock", kKeepsIt, true, true, true},
      {"the datalogger names a link another thread runs", kKeepsIt, false, false, false},
  };
  const struct {
    const char *name;
    int (*close)(AltusDatalogger *);
  } closes[] = {{"closedl", closedl}, {"closedlnc", closedlnc}};
  for (const auto &c : cases) {
    for (const auto &cl : closes) {
      SCOPED_TRACE(std::string(c.name) + ", " + cl.name);
      LinkProgram p;
      AltusDatalogger *dl = p.datalogger("dlA", "K1", "K2", 1);
      Modem *m = p.link("tcpsrv_V001", 3);
      dl->connected_modem = m;
      dl->connected_modem_status = m;
      dl->com_mode = ALTUS_COM_BLOCKMODE;
      dl->open_time = 5;
      m->connected_dl = dl;
      if (c.own_link) m->run_thread = pthread_self();
      std::mutex mutex;
      std::condition_variable cond;
      int phase = 0;  // 1 holding, 2 asked to let go, 3 let go; under mutex
      auto set_phase = [&](int to) {
        std::lock_guard<std::mutex> g(mutex);
        phase = to;
        cond.notify_all();
      };
      // Waits (bounded, real time) for the phase; false when it never came.
      auto reach = [&](int want) {
        std::unique_lock<std::mutex> g(mutex);
        return cond.wait_for(g, std::chrono::seconds(60), [&] { return phase >= want; });
      };
      std::thread holder([&] {
        lock_datalogger_connection(dl, "holder", 0);
        set_phase(1);
        reach(2);
        unlock_datalogger_connection(dl, "holder");
        set_phase(3);
      });
      ASSERT_TRUE(reach(1));
      HookedClock clock;
      int pauses = 0;
      clock.on_pause = [&] {
        if (pauses++ == 0 && c.holder == kLetsGo) {
          set_phase(2);
          EXPECT_TRUE(reach(3)) << "the holder did not let go";
        }
      };
      ElogCapture log;
      EXPECT_EQ(cl.close(dl), 0);
      set_phase(2);
      holder.join();
      EXPECT_GT(pauses, 0) << "the close tried the lock again";
      EXPECT_EQ(log.contains("datalogger lock busy"), c.complaint) << log.text();
      if (c.disconnected) {
        EXPECT_EQ(dl->connected_modem, nullptr);
        EXPECT_EQ(dl->connected_modem_status, nullptr);
        EXPECT_EQ(m->connected_dl, nullptr);
        EXPECT_EQ(dl->com_mode, 0);
        EXPECT_EQ(dl->open_time, 0);
        EXPECT_GT(dl->last_connection_ended_time, 0);
        if (c.holder == kKeepsIt) {
          EXPECT_LE(clock.t() - 1000.0, 2.5) << "the close waited for the lock within its bound";
        }
      } else {
        EXPECT_EQ(dl->connected_modem, m);
        EXPECT_EQ(m->connected_dl, dl);
        EXPECT_EQ(dl->com_mode, 4);
        EXPECT_EQ(dl->open_time, 5);
      }
      EXPECT_FALSE(datalogger_connection_held(dl));
      EXPECT_FALSE(modem_connection_held(m));
    }
  }
}

// The lock free: closedlnc ends the connection without the statistics; without a
// connection only the code is ended.
TEST(AltusClosedl, ClosesWithoutAConnectionOrWithoutCallMode) {
  LinkProgram p;
  AltusDatalogger *dl = p.datalogger("dlA", "K1", "K2", 1);
  Modem *m = p.link("tty1", 1);
  dl->connected_modem = m;
  dl->connected_modem_status = m;
  dl->com_mode = ALTUS_COM_BLOCKMODE;
  dl->open_time = 5;
  m->connected_dl = dl;
  EXPECT_EQ(closedlnc(dl), 0);
  EXPECT_EQ(dl->connected_modem, nullptr);
  EXPECT_EQ(dl->connected_modem_status, nullptr);
  EXPECT_EQ(m->connected_dl, nullptr);
  EXPECT_EQ(dl->com_mode, 0);
  EXPECT_EQ(dl->open_time, 0);
  EXPECT_GT(dl->close_time, 0);
  EXPECT_DOUBLE_EQ(dl->close_time, dl->last_connection_ended_time);
  dl->com_mode = ALTUS_COM_BLOCKMODE;
  EXPECT_EQ(closedl(dl), 0) << "no connection: only the code";
  EXPECT_EQ(dl->com_mode, 0);
  EXPECT_EQ(closedl(nullptr), 0);
}

TEST(AltusDlclock, OnlySynchronisedClocksFromTheCutOffOn) {
  long old_base = dlclock_set_key_base(IPC_PRIVATE);
  _init_Dlclock(0);
  int shmid = -1;
  Dlclock *shm = dlclock_attached(&shmid);
  ASSERT_NE(shm, nullptr);
  AltusDatalogger *dl = altusdatalogger_new();
  dl->target_name = strdup("dlA");
  const uint32_t cutoff = 1053105833u - 315532800u;  // Altus seconds of the cut-off
  struct Case {
    int dlclock;
    int source;
    uint32_t time;
    bool published;
  } cases[] = {
      {1, 3, cutoff, true},       {1, 3, cutoff - 1, false},  {1, 2, cutoff + 10, true},
      {1, 1, cutoff + 10, false}, {0, 3, cutoff + 10, false},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(testing::Message() << k.dlclock << " " << k.source << " " << k.time);
    dl->dlclock = k.dlclock;
    AltusBlockStatus st{};
    st.clockSource = (uint8_t)k.source;
    st.systemTime = k.time;
    int before = shm->count;
    EXPECT_EQ(altuscom_set_dlclock(dl, &st), 0);
    EXPECT_EQ(shm->count - before, k.published ? 1 : 0);
    if (k.published) {
      EXPECT_EQ(shm->clockTimeStampSec, (int32_t)(k.time + 315532800u));
    }
  }
  altusdatalogger_free(dl);
  dlclock_detach();
  dlclock_set_key_base(old_base);
}

}  // namespace
