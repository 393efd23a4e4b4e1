// Opening and ending datalogger connections against the simulated datalogger (reached
// over a loopback TCP connection, starting in block mode), and the datalogger clock
// hand-off through a private shared-memory segment.
#include "altuscomsubs_connect.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>

#include <algorithm>
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

// closedl on a datalogger whose connection lock another thread holds changes nothing of
// the datalogger; only this thread's link lets go of it.
TEST(AltusClosedl, AnotherThreadHoldingTheDataloggerOnlyLetsTheLinkGo) {
  LinkProgram p;
  AltusDatalogger *dl = p.datalogger("dlA", "K1", "K2", 1);
  Modem *m = p.link("tty1", 1);
  dl->connected_modem = m;
  dl->connected_modem_status = m;
  dl->com_mode = 4;
  dl->open_time = 5;
  m->connected_dl = dl;
  std::atomic<int> phase{0};
  std::thread holder([&] {
    lock_datalogger_connection(dl, "holder", 0);
    phase = 1;
    while (phase != 2) std::this_thread::yield();
    unlock_datalogger_connection(dl, "holder");
  });
  while (phase != 1) std::this_thread::yield();
  for (auto close : {closedl, closedlnc}) {
    m->connected_dl = dl;
    EXPECT_EQ(close(dl), 0);
    EXPECT_EQ(m->connected_dl, nullptr);
    EXPECT_EQ(dl->connected_modem, m);
    EXPECT_EQ(dl->com_mode, 4);
    EXPECT_EQ(dl->open_time, 5);
  }
  phase = 2;
  holder.join();
  EXPECT_EQ(closedlnc(dl), 0);
  EXPECT_EQ(dl->connected_modem, nullptr);
  EXPECT_EQ(dl->connected_modem_status, nullptr);
  EXPECT_EQ(dl->com_mode, 0);
  EXPECT_EQ(dl->open_time, 0);
  EXPECT_GT(dl->close_time, 0);
  EXPECT_DOUBLE_EQ(dl->close_time, dl->last_connection_ended_time);
  dl->com_mode = 4;
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
