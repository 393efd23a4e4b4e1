// The console dialogue against the simulated datalogger's console, on a scaled clock:
// monitor-mode passes and attempts, the version report, block-mode entry and its
// recycle rules, call mode, and the console exchanges of remote commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_block.h"
#include "altuscomsubs_console.h"
#include "altuscomsubs_output.h"
#include "altussim_block.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "bytestream/fixtures.h"
#include "kessaro_hooks.h"
#include "support/stdtime.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Fault;
using altussim::Sim;

namespace {

const char kPrompt[] = "\r\n* ";

int count_of(const std::vector<std::string> &v, const std::string &s) {
  return (int)std::count(v.begin(), v.end(), s);
}

int occurrences(const std::string &text, const std::string &what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) n++;
  return n;
}

// A program record with a write queue, one link and one datalogger, a byte stream to
// the simulator, and the clock run 100 times faster. Dialogue waits use a 10 s time-out
// (0.1 s of real time).
struct Rig {
  ClockScale scale{0.01};
  ElogCapture log;
  Recorder rec;
  Sim sim;
  Record buf;
  Kessaro *altus = nullptr;
  Modem *modem = nullptr;
  AltusDatalogger *dl = nullptr;

  explicit Rig(int timeout_ms = 10000) {
    static Kessaro *shared = kessaro_new();
    altus = shared;
    altus->status_report_now = 0;
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    kessaro_install(altus);
    kessaro_halt = 0;
    modem = modem_new();
    modem->name = strdup("tty1");
    modem->userdata = altus;
    dl = altusdatalogger_new();
    dl->target_name = strdup("dlA");
    kessaro_copytext(dl->model, "K2");
    dl->connected_modem = modem;
    int port = sim.listen_tcp();
    sim.start();
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 4096, timeout_ms, timeout_ms, 3,
                                         nullptr, nullptr, Recorder::log, &rec, nullptr, nullptr,
                                         nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    buf->rverbose = 0;
  }
  ~Rig() {
    buf.reset();
    sim.stop();
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1)
      altuspacket_free(static_cast<AltusPacket *>(item));
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    altus->mtfifo_write = nullptr;
    kessaro_install(nullptr);
    kessaro_halt = 0;
    altusdatalogger_free(dl);
    modem_free(modem);
    elog_clear_register(0);
  }
  // The dialogue's own lines handed to the log callback (kind 6).
  std::vector<std::string> ctrl() {
    std::lock_guard<std::mutex> l(rec.mutex);
    std::vector<std::string> out;
    for (auto &p : rec.lines)
      if (p.first == 6) out.push_back(p.second);
    return out;
  }
  // The log lines queued for the ring.
  std::string queued() {
    std::string all;
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *p = static_cast<AltusPacket *>(item);
      if (p->data) all += reinterpret_cast<char *>(p->data) + std::string("\n");
      altuspacket_free(p);
    }
    return all;
  }
  // The block commands the simulator received, by code.
  std::vector<int> sent() {
    std::vector<int> v;
    for (auto &c : sim.commands()) v.push_back(c.first);
    return v;
  }
  // Brings the simulator to its console.
  void console() {
    int got = 0;
    ASSERT_EQ(initiate_monitormode(buf.get(), modem, dl, nullptr, nullptr, &got), 0);
    ASSERT_EQ(got, 1);
  }
  // Watches for the modem's off-hook text (code 4 in the byte layer).
  void offhook_text(const char *text) {
    serialbuf_set_modem_control(buf.get(), 0, 10000, nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr, text);
  }
};

}  // namespace

// Passes and attempts: a pass counts only when its first attempt saw the prompt; a
// later prompt leads to a second pass, and a second pass whose last attempt sees the
// prompt returns 0 without monitor mode.
TEST(AltusConsole, MonitorModePassesAndAttempts) {
  struct Case {
    const char *name;
    int prompt_from;      // first escape the prompt answers
    int answer_at;        // escape answered with `answer` (0: none)
    const char *answer;   // in place of the prompt
    const char *listen;   // dial-in recognition text given to the call
    const char *offhook;  // the link's off-hook text
    int rc, got, escapes;
    bool again, unable;  // "Trying again", "Unable to read" logged
  } cases[] = {
      {"first attempt", 1, 0, "", nullptr, nullptr, 0, 1, 1, false, false},
      {"second attempt -> second pass", 2, 0, "", nullptr, nullptr, 0, 1, 3, true, false},
      {"only the last attempt of pass two", 6, 0, "", nullptr, nullptr, 0, 0, 6, true, true},
      {"never", 1000, 0, "", nullptr, nullptr, 1, 0, 6, true, true},
      {"dial-in text", 1000, 1, "\r\nRING\r\n", "RING", nullptr, 18, 0, 1, false, false},
      {"dial-in text on a later attempt", 1000, 2, "RING", "RING", nullptr, 18, 0, 2, false, false},
      {"off-hook", 1000, 1, "\r\nNO CARRIER\r\n", nullptr, "NO CARRIER", 6, 0, 1, false, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.sim.prompt_from(c.prompt_from);
    if (c.answer_at) r.sim.escape_answer(c.answer_at, c.answer);
    if (c.offhook) r.offhook_text(c.offhook);
    r.dl->com_mode = ALTUS_COM_BLOCKMODE;
    AltusComMode mode = static_cast<AltusComMode>(9);
    int got = 7;
    int rc = initiate_monitormode(r.buf.get(), r.modem, r.dl, &mode, c.listen, &got);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(got, c.got);
    EXPECT_EQ(r.sim.escapes(), c.escapes);
    EXPECT_EQ(r.buf->rverbose, 0);
    EXPECT_EQ(r.log.contains("initiate_monitormode: Trying again..."), c.again);
    EXPECT_EQ(r.log.contains("Unable to read monitor mode recognition string"), c.unable);
    EXPECT_EQ(mode, c.got ? 3 : 0);
    EXPECT_EQ(r.dl->com_mode, c.got ? 3 : 4);  // untouched without monitor mode
    EXPECT_EQ(r.log.contains("initiate_monitormode: input offhook."), c.rc == 6);
  }
}

TEST(AltusConsole, MonitorModeRecordsTheConnection) {
  Rig r;
  r.dl->close_time = 5;
  r.dl->lcom = ALTUS_COM_OPENING;
  int got = 0;
  double before = std_now();
  ASSERT_EQ(initiate_monitormode(r.buf.get(), r.modem, r.dl, nullptr, nullptr, &got), 0);
  EXPECT_EQ(got, 1);
  EXPECT_EQ(r.dl->com_mode, 3);
  EXPECT_EQ(r.dl->lcom, 3);
  EXPECT_GE(r.dl->open_time, before);
  EXPECT_EQ(r.dl->last_monitormode_time, r.dl->open_time);
  EXPECT_EQ(r.dl->close_time, 0.0);
  auto ctrl = r.ctrl();
  EXPECT_EQ(count_of(ctrl, "Altus CTRL: initiate monitormode..."), 1);
  EXPECT_EQ(count_of(ctrl, "Altus CTRL: Looking for recognition string '* '"), 1);
  EXPECT_EQ(count_of(ctrl, "Altus CTRL: initiate monitormode successful"), 1);

  // A datalogger that block mode left hanging keeps lcom 6; one in block mode keeps lcom.
  for (int com_mode : {0, 4}) {
    r.dl->lcom = com_mode == 0 ? ALTUS_COM_MONHANG : ALTUS_COM_OPENING;
    r.dl->com_mode = static_cast<AltusComMode>(com_mode);
    ASSERT_EQ(initiate_monitormode(r.buf.get(), r.modem, r.dl, nullptr, "RING", &got), 0);
    EXPECT_EQ(r.dl->lcom, com_mode == 0 ? 6 : 2);
    EXPECT_EQ(r.dl->com_mode, 3);
  }
  EXPECT_EQ(count_of(r.ctrl(), "Altus CTRL: Looking for recognition strings '* ' and 'RING'"), 2);
  // Without a datalogger nothing is recorded, and the call still succeeds.
  ASSERT_EQ(initiate_monitormode(r.buf.get(), nullptr, nullptr, nullptr, nullptr, &got), 0);
  EXPECT_EQ(got, 1);
}

TEST(AltusConsole, MonitorModeWriteFailure) {
  Rig r;
  serialbuf_close(r.buf.get());
  int got = 1;
  EXPECT_EQ(initiate_monitormode(r.buf.get(), r.modem, r.dl, nullptr, nullptr, &got), -1);
  EXPECT_EQ(got, 0);
  EXPECT_TRUE(r.log.contains("initiate_monitormode: serialbuf_write() error."));
}

TEST(AltusConsole, VersionReports) {
  struct Case {
    const char *text;
    int rc;
    const char *model;  // as parsed
    const char *canonical;
    const char *codever, *codedate, *sys, *boot;
    int isbeta, isrock;
  } cases[] = {
      {"ver\r\nK2 Strong Motion Software 3.02\r\nLast Revised: Mar 21, 2003\r\n"
       "System Block Version 1.20\r\nBoot Block Version 2.10\r\n",
       0, "K2", "K2", "3.02", "Mar 21, 2003", "1.20", "2.10", 0, 0},
      {"\r\nMt. Whitney Strong Motion Software 2.5.1\r\nLast Revised: 1 Jan 2001\r\n"
       "THIS VERSION IS FOR BETA TESTING ONLY\r\nSystem Block Version 4\r\n"
       "Boot Block Version 5.0\r\n",
       0, "Mt. Whitney", "MtWhitney", "2.5.1", "1 Jan 2001", "4", "5.0", 1, 0},
      {"  Etna Strong Motion Software 1.0", 0, "Etna", "Etna", "1.0", "", "", "", 0, 0},
      {"\nEverest Strong Motion Software x\r\nBoot Block Version 7\r\n", 0, "Everest", "Everest",
       "", "", "", "7", 0, 0},
      {"ROCK Digitizer Software 1.50 BETA\r\nLast Revised: Jan 5, 2004\r\n", 0, "ROCK", "ROCK",
       "1.50", "Jan 5, 2004", "", "", 1, 1},
      {"ROCK Digitizer Software 1.51\r\nSystem Block Version 1.0\r\n", 0, "ROCK", "ROCK", "1.51",
       "", "", "", 0, 1},
      // The beta line before the version does not count.
      {"THIS VERSION IS FOR BETA TESTING ONLY\r\nMakalu Strong Motion Software 9.9\r\n", 0,
       "Makalu", "Makalu", "9.9", "", "", "", 0, 0},
      {"k2 Strong Motion Software 3.02", 0, "k2", nullptr, "3.02", "", "", "", 0, 0},
      {"Basalt Strong Motion Software 1", 0, "Basalt", nullptr, "1", "", "", "", 0, 0},
      {"Unknown command: ver\r\n", -1, "", nullptr, "", "", "", "", -1, -1},
      {"", -1, "", nullptr, "", "", "", "", -1, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    VerParams vp;
    memset(&vp, 'x', sizeof vp);
    EXPECT_EQ(verparams_parse(c.text, &vp), c.rc);
    EXPECT_STREQ(vp.model, c.model);
    const char *canon = verparams_model(vp.model);
    if (c.canonical)
      EXPECT_STREQ(canon, c.canonical);
    else
      EXPECT_EQ(canon, nullptr);
    EXPECT_STREQ(vp.codever, c.codever);
    EXPECT_STREQ(vp.codedate, c.codedate);
    EXPECT_STREQ(vp.sysblockver, c.sys);
    EXPECT_STREQ(vp.bootblockver, c.boot);
    EXPECT_EQ(vp.isbeta, c.isbeta);
    EXPECT_EQ(vp.isrock, c.isrock);
  }
  // Over-long fields are cut to 31 characters.
  std::string name(40, 'A'), ver(40, '7');
  VerParams vp;
  ASSERT_EQ(verparams_parse((name + " Strong Motion Software " + ver).c_str(), &vp), 0);
  EXPECT_EQ(std::string(vp.model), name.substr(0, 31));
  EXPECT_EQ(std::string(vp.codever), ver.substr(0, 31));
  // A cut that ends on a blank leaves no blank behind.
  ASSERT_EQ(verparams_parse((std::string(30, 'A') + " BBBB Strong Motion Software 1").c_str(), &vp),
            0);
  EXPECT_EQ(std::string(vp.model), std::string(30, 'A'));
}

// Block-mode entry against each model the simulator reports, and the reports that are
// refused.
TEST(AltusConsole, BlockModeEntryReadsTheVersion) {
  for (const char *model : {"K2", "Etna", "MtWhitney", "Everest", "Makalu", "ROCK"}) {
    SCOPED_TRACE(model);
    Rig r;
    r.sim.set_model(model, true);
    VerParams vp{};
    int got = 0;
    ASSERT_EQ(initiate_blockmode(r.buf.get(), &vp, r.modem, r.dl, 0, 0, 0, nullptr, &got), 0);
    EXPECT_STREQ(vp.model, model);
    EXPECT_EQ(vp.isbeta, 1);
    EXPECT_EQ(vp.isrock, strcmp(model, "ROCK") == 0 ? 1 : 0);
    EXPECT_EQ(r.sim.lines(), (std::vector<std::string>{"ver", "cd A:\\", "blockmode"}));
    EXPECT_FALSE(r.sim.in_console());
  }
  struct Bad {
    const char *reply;
    const char *message;
  } bad[] = {{"Basalt Strong Motion Software 1.0",
              "initiate_blockmode: Unable to determine model Basalt."},
             {"no report here", "initiate_blockmode: Unable to determine model ."}};
  for (const auto &b : bad) {
    SCOPED_TRACE(b.reply);
    Rig r;
    r.sim.set_console_reply("ver", b.reply);
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(initiate_blockmode(r.buf.get(), &vp, r.modem, r.dl, 0, 0, 0, nullptr, &got), -1);
    EXPECT_TRUE(r.log.contains(b.message)) << r.log.text();
    EXPECT_EQ(r.sim.lines(), (std::vector<std::string>{"ver"}));
    // Without a record to store it in, the report is read and not checked.
    EXPECT_EQ(initiate_blockmode(r.buf.get(), nullptr, r.modem, r.dl, 0, 0, 0, nullptr, &got), 0);
  }
}

TEST(AltusConsole, BlockModeEntrySteps) {
  {  // acquisition off and on, only with a datalogger
    Rig r;
    int got = 0;
    ASSERT_EQ(initiate_blockmode(r.buf.get(), nullptr, r.modem, r.dl, 1, 1, 0, nullptr, &got), 0);
    EXPECT_EQ(r.sim.lines(),
              (std::vector<std::string>{"ver", "aq off", "aq on", "cd A:\\", "blockmode"}));
    EXPECT_TRUE(r.sim.acquiring());
    EXPECT_EQ(r.buf->rverbose, 0);
    ASSERT_EQ(initiate_blockmode(r.buf.get(), nullptr, r.modem, nullptr, 1, 1, 1, nullptr, &got),
              0);
    EXPECT_EQ(r.sim.lines().size(), 8u);  // no "aq" and no restart without a datalogger
  }
  {  // restart: 6 at once, without the version
    Rig r;
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(initiate_blockmode(r.buf.get(), &vp, r.modem, r.dl, 1, 1, 1, nullptr, &got), 6);
    EXPECT_EQ(r.sim.lines(), (std::vector<std::string>{"sys res"}));
    EXPECT_EQ(r.sim.restarts(), 1);
    EXPECT_EQ(r.dl->lcom, 5);
    EXPECT_EQ(r.buf->timeout, 10000);
    EXPECT_STREQ(vp.model, "");
  }
  {  // a step's answer that never comes: its wait code
    Rig r;
    r.sim.set_console_reply("cd A:\\", "no such drive", false);
    int got = 0;
    EXPECT_EQ(initiate_blockmode(r.buf.get(), nullptr, r.modem, r.dl, 0, 0, 0, nullptr, &got), 1);
    EXPECT_TRUE(r.log.contains("initiate_blockmode: serialbuf_read_until() error."));
  }
  {  // a version report that never ends in a prompt
    Rig r;
    r.sim.set_console_reply("ver", "K2 Strong Motion Software 1.0", false);
    int got = 0;
    EXPECT_EQ(initiate_blockmode(r.buf.get(), nullptr, r.modem, r.dl, 0, 0, 0, nullptr, &got), 1);
    EXPECT_TRUE(r.log.contains("initiate_blockmode: serialbuf_read_until_parse() error."));
  }
  {  // monitor mode: dial-in gives 18, other failures -1
    Rig r;
    r.sim.escape_answer(1, "RING");
    int got = 0;
    EXPECT_EQ(initiate_blockmode(r.buf.get(), nullptr, r.modem, r.dl, 0, 0, 0, "RING", &got), 18);
    EXPECT_TRUE(r.log.contains("interrupted by attempt to dialin"));
  }
  {
    Rig r2;
    int got = 0;
    r2.sim.prompt_from(1000);
    EXPECT_EQ(initiate_blockmode(r2.buf.get(), nullptr, r2.modem, r2.dl, 0, 0, 0, nullptr, &got),
              -1);
    EXPECT_TRUE(r2.log.contains("initiate_blockmode: initiate_monitormode() error."));
  }
}

TEST(AltusConsole, OpenBlock) {
  {  // answered at once: one GETSTATUS, the version logged, settings restored
    Rig r;
    r.sim.set_model("Etna");
    r.buf->tries = 7;
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(r.buf.get(), "tty1", &vp, r.modem, r.dl, nullptr, &got, 0, 0, 0), 0);
    EXPECT_EQ(got, 1);
    EXPECT_EQ(r.sent(), (std::vector<int>{PKC_GETSTATUS}));
    EXPECT_EQ(r.buf->timeout, 10000);
    EXPECT_EQ(r.buf->tries, 7);
    EXPECT_EQ(r.buf->rverbose, 0);
    EXPECT_NE(r.queued().find("VERSION: model=Etna fwver=3.02 fwdate=Mar 21, 2003 isbeta=0 "
                              "sysver=1.20 bootver=2.10 isrock=0"),
              std::string::npos);
    EXPECT_EQ(count_of(r.ctrl(), "Altus CTRL: Setting to blockmode..."), 1);
  }
  {  // PKC_CHDIR only after a GETSTATUS time-out, and its answer is success
    Rig r;
    r.sim.add_fault(Fault{PKC_GETSTATUS, 0, Fault::DROP});
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(r.buf.get(), "tty1", &vp, r.modem, r.dl, nullptr, &got, 0, 0, 0), 0);
    EXPECT_EQ(r.sent(), (std::vector<int>{PKC_GETSTATUS, PKC_GETSTATUS, PKC_GETSTATUS, PKC_CHDIR}));
    EXPECT_TRUE(r.log.contains("open_block: get_block(PKC_GETSTATUS,tty1) timeout on input."));
  }
  {  // restart asked: 6, and the monitor-mode flag cleared
    Rig r;
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(r.buf.get(), "tty1", &vp, r.modem, r.dl, nullptr, &got, 1, 0, 0), 6);
    EXPECT_EQ(got, 0);
    EXPECT_EQ(r.sim.restarts(), 1);
    EXPECT_TRUE(r.log.contains("open_block: initiate_blockmode(NOTCONNECTED) error."));
  }
  {  // halt: -1 after the console part, timeout and tries restored
    Rig r;
    r.buf->tries = 2;
    kessaro_halt = 1;
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(r.buf.get(), "tty1", &vp, r.modem, r.dl, nullptr, &got, 0, 0, 0), -1);
    EXPECT_TRUE(r.sent().empty());
    EXPECT_EQ(r.buf->timeout, 10000);
    EXPECT_EQ(r.buf->tries, 2);
    EXPECT_TRUE(r.log.contains("open_block: Cannot get into block mode."));
  }
  {  // console failure
    Rig r;
    r.sim.set_model("Basalt");
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(r.buf.get(), "tty1", &vp, r.modem, r.dl, nullptr, &got, 0, 0, 0), -1);
    EXPECT_TRUE(r.log.contains("open_block: initiate_blockmode() error."));
  }
}

// How often block mode is tried when it does not answer, by model and blockmode_unhang.
TEST(AltusConsole, OpenBlockRecycling) {
  struct Case {
    const char *name;
    const char *model;  // the configured model
    int unhang;
    int mute;    // block-mode entries that do not answer
    int acqoff;  // asked by the caller
    int rc, entries, restarts, aq_off, aq_on, lcom, recycling;
  } cases[] = {
      {"second entry answers", "K2", 0, 1, 0, 0, 2, 0, 0, 0, 3, 1},
      {"Rock gives up at the second failure", "ROCK", 2, 99, 1, -1, 2, 0, 1, 0, 3, 1},
      {"other models at the third", "K2", 0, 99, 0, -1, 3, 0, 0, 0, 6, 2},
      {"unhang 1 restarts", "K2", 1, 99, 0, 6, 3, 1, 0, 0, 5, 2},
      {"unhang 2 recycles acquisition", "K2", 2, 99, 0, -1, 4, 0, 1, 1, 6, 2},
      {"unhang 2, fourth entry answers", "Etna", 2, 3, 0, 0, 4, 0, 1, 1, 6, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    kessaro_copytext(r.dl->model, c.model);
    r.sim.set_model(c.model);
    r.sim.mute_blockmode(c.mute);
    r.dl->blockmode_unhang = c.unhang;
    r.buf->tries = 4;
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(r.buf.get(), "tty1", &vp, r.modem, r.dl, nullptr, &got, 0, c.acqoff, 0),
              c.rc);
    EXPECT_EQ(r.sim.blockmode_entries(), c.entries);
    EXPECT_EQ(r.sim.restarts(), c.restarts);
    auto lines = r.sim.lines();
    EXPECT_EQ(count_of(lines, "aq off"), c.aq_off);
    EXPECT_EQ(count_of(lines, "aq on"), c.aq_on);
    EXPECT_EQ(r.dl->lcom, c.lcom);
    EXPECT_EQ(occurrences(r.log.text(), "open_block: Recycling to monitormode-blockmode"),
              c.recycling);
    EXPECT_EQ(r.log.contains("open_block: Cannot get into block mode."), c.rc == -1);
    EXPECT_EQ(r.buf->timeout, 10000);
    EXPECT_EQ(r.buf->tries, 4);
    // Each entry that did not answer had three passes of GETSTATUS x3 and one CHDIR.
    auto sent = r.sent();
    int silent = std::min(c.mute, c.entries);
    EXPECT_EQ((int)std::count(sent.begin(), sent.end(), (int)PKC_CHDIR), 3 * silent);
  }
}

TEST(AltusConsole, CallMode) {
  {  // entered: off-hook text awaited, the modem line logged
    Rig r;
    r.offhook_text("NO CARRIER");
    EXPECT_EQ(initiate_callmode(r.buf.get(), r.modem, r.dl, nullptr), 0);
    EXPECT_EQ(r.sim.lines(), (std::vector<std::string>{"callmode"}));
    auto ctrl = r.ctrl();
    EXPECT_EQ(count_of(ctrl, "Altus CTRL: Setting to callmode..."), 1);
    EXPECT_EQ(count_of(ctrl, "MODEM RSP: Telephone offhook..."), 1);
    EXPECT_EQ(r.buf->rverbose, 0);
  }
  {  // no answer to "callmode": three attempts, then the wait's code
    Rig r;
    r.sim.set_console_reply("callmode", "", false);
    EXPECT_EQ(initiate_callmode(r.buf.get(), r.modem, r.dl, nullptr), 1);
    EXPECT_EQ(count_of(r.sim.lines(), "callmode"), 3);
    EXPECT_EQ(occurrences(r.log.text(), "serialbuf_read_until() error ... trying again."), 2);
    EXPECT_TRUE(r.log.contains("initiate_callmode: serialbuf_read_until() error."));
  }
  {  // the dial-in text while waiting for call mode
    Rig r;
    r.sim.set_console_reply("callmode", "\r\nRING\r\n", false);
    EXPECT_EQ(initiate_callmode(r.buf.get(), r.modem, r.dl, "RING"), 18);
    EXPECT_TRUE(r.log.contains(
        "initiate_callmode: serialbuf_read_until() interrupted by attempt to dialin."));
  }
  {  // monitor mode that comes back 0 without the prompt, three times
    Rig r;
    r.sim.prompt_from(1000);
    for (int n : {6, 12, 18}) r.sim.escape_answer(n, kPrompt);
    EXPECT_EQ(initiate_callmode(r.buf.get(), r.modem, r.dl, nullptr), 0);
    EXPECT_TRUE(r.sim.lines().empty());
    EXPECT_EQ(occurrences(r.log.text(), "Unable to get into monitor mode...retrying."), 2);
    EXPECT_TRUE(r.log.contains("initiate_callmode: Unable to get into monitor mode.\n"));
  }
  {  // ... and the second try that gets it
    Rig r;
    r.sim.prompt_from(6);
    EXPECT_EQ(initiate_callmode(r.buf.get(), r.modem, r.dl, nullptr), 0);
    EXPECT_EQ(r.sim.lines(), (std::vector<std::string>{"callmode"}));
  }
}

namespace {
std::vector<std::string> g_progress;
void progress(void *, const char *text) { g_progress.push_back(text); }
}  // namespace

TEST(AltusConsole, ConsoleCommands) {
  {  // mcmd: the last 511 characters before the prompt
    Rig r;
    r.console();
    std::string reply;
    for (int i = 0; i < 80; i++) reply += "line" + std::to_string(i) + "\r\n";
    ASSERT_GT(reply.size(), 600u);
    r.sim.set_console_reply("dir A:\\", reply);
    g_progress.clear();
    std::string answer;
    EXPECT_EQ(
        altuscom_console_mcmd(r.buf.get(), r.modem, r.dl, "dir A:\\", progress, nullptr, &answer),
        0);
    EXPECT_EQ(answer.size(), 511u);
    EXPECT_EQ(answer, reply.substr(reply.size() - 511));
    EXPECT_EQ(g_progress, (std::vector<std::string>{"Processing command: dir A:\\..."}));
    EXPECT_EQ((int)r.altus->status_report_now, 1);
    EXPECT_EQ(r.buf->rverbose, 0);
    EXPECT_EQ(r.buf->timeout, 10000);
    // A short answer comes whole, with the echo of the line.
    EXPECT_EQ(altuscom_console_mcmd(r.buf.get(), r.modem, r.dl, "hello", nullptr, nullptr, &answer),
              0);
    EXPECT_EQ(answer, "hello\r\nUnknown command: hello");
  }
  {  // mcmd failures
    Rig r;
    r.console();
    r.sim.set_console_reply("stall", "working", false);
    r.sim.set_console_reply("hang", "\r\nNO CARRIER\r\n", false);
    std::string answer;
    EXPECT_EQ(altuscom_console_mcmd(r.buf.get(), r.modem, r.dl, "stall", nullptr, nullptr, &answer),
              1);
    EXPECT_EQ(answer, "process_command: serialbuf_read_until_parse() error.\n");
    r.offhook_text("NO CARRIER");
    EXPECT_EQ(altuscom_console_mcmd(r.buf.get(), r.modem, r.dl, "hang", nullptr, nullptr, &answer),
              4);
    EXPECT_EQ(answer, "process_command: input offhook.\n");
    serialbuf_close(r.buf.get());
    EXPECT_EQ(altuscom_console_mcmd(r.buf.get(), r.modem, r.dl, "x", nullptr, nullptr, &answer),
              -1);
    EXPECT_EQ(answer, "process_command: serialbuf_write() error\n");
    EXPECT_TRUE(r.log.contains("process_command: serialbuf_write() error.\n"));
  }
  {  // erase: the wipe dialogue on one drive
    Rig r;
    r.console();
    r.sim.add_file("A:\\E0001.EVT", {1, 2, 3});
    r.sim.add_file("B:\\E0002.EVT", {4});
    std::string answer = "x";
    EXPECT_EQ(altuscom_console_erase(r.buf.get(), r.modem, r.dl, nullptr, "A:", nullptr, nullptr,
                                     &answer),
              0);
    EXPECT_EQ(answer, "");
    EXPECT_FALSE(r.sim.exists("A:\\E0001.EVT"));
    EXPECT_TRUE(r.sim.exists("B:\\E0002.EVT"));
    EXPECT_EQ(r.sim.lines(), (std::vector<std::string>{"wipedisk A:", "destroy"}));
    EXPECT_EQ(r.modem->cmd, nullptr);
  }
  {  // erase refused by the datalogger: the wait's failure
    Rig r;
    r.console();
    r.sim.add_file("A:\\E0001.EVT", {1});
    r.sim.set_console_reply("wipedisk A:", "Drive not ready");
    std::string answer;
    EXPECT_EQ(altuscom_console_erase(r.buf.get(), r.modem, r.dl, nullptr, "A:", nullptr, nullptr,
                                     &answer),
              1);
    EXPECT_EQ(answer, "process_command: serialbuf_read_until() error\n");
    EXPECT_TRUE(r.sim.exists("A:\\E0001.EVT"));
    EXPECT_EQ(r.modem->cmd, nullptr);
  }
  {  // reboot
    Rig r;
    r.console();
    r.dl->stream_status = STRSTATUS_RUNNING;
    g_progress.clear();
    std::string answer;
    EXPECT_EQ(
        altuscom_console_reboot(r.buf.get(), r.modem, r.dl, nullptr, progress, nullptr, &answer),
        0);
    EXPECT_EQ(answer, "reboot successfully processed\n");
    EXPECT_EQ(g_progress, (std::vector<std::string>{"system reset...\n"}));
    EXPECT_EQ(r.sim.restarts(), 1);
    EXPECT_EQ((int)r.dl->stream_status, 7);
    EXPECT_EQ(r.dl->com_mode, 5);
    EXPECT_EQ(r.dl->lcom, 5);
    EXPECT_EQ(r.modem->cmd, nullptr);
    // An idle stream stays idle.
    r.dl->stream_status = STRSTATUS_IDLE;
    serialbuf_close(r.buf.get());
    EXPECT_EQ(
        altuscom_console_reboot(r.buf.get(), r.modem, r.dl, nullptr, nullptr, nullptr, &answer),
        -1);
    EXPECT_EQ(answer, "process_command: serialbuf_write() error\n");
    EXPECT_EQ((int)r.dl->stream_status, 0);
  }
}
