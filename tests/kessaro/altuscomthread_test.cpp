// Link-thread pieces that run on the caller's thread: the datalogger scheduling pass,
// serial tags, the byte-stream callbacks and the connection locks.
#include "altuscomthread.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "altuscom_fixture.h"
#include "altuscomsubs_log.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_program.h"
#include "testkit/testkit.h"

namespace {

class AltusLinks : public AltusPipeline {
 protected:
  void SetUp() override {
    AltusPipeline::SetUp();
    dl->connected_modem = nullptr;
    dl->userdata = altus;
    dl->dialout = 1;
    dl->dialout_modems = newtbl(0);
  }
  void TearDown() override {
    clear_command_queue(dl, 1, 1);
    for (Modem *m : extra) {
      delarr(altus->modems_array, m->name);
      modem_free(m);
    }
    AltusPipeline::TearDown();
  }
  Modem *link(const char *name, int dialout) {
    Modem *m = modem_new();
    m->name = strdup(name);
    m->dialout = dialout;
    setarr(altus->modems_array, name, m);
    extra.push_back(m);
    return m;
  }
  // The queued requests' "command" words, in order.
  std::vector<std::string> queued() { return kessaro_test_queued(dl); }
  int count(const std::vector<std::string> &lines, const char *what) {
    int n = 0;
    for (const auto &l : lines) n += l.find(what) != std::string::npos;
    return n;
  }
  std::vector<Modem *> extra;
};

TEST_F(AltusLinks, StreamingPostsOneStrstartAndMarksItPosted) {
  dl->auto_stream = 1;
  int busy = 0;
  altuscom_datalogger_pass(altus, dl, &busy);
  altuscom_datalogger_pass(altus, dl, &busy);
  EXPECT_EQ(queued(), std::vector<std::string>{"strstart"});
  EXPECT_EQ(dl->stream_status, 1);
  EXPECT_EQ(count(texts(), "posting strstart command"), 1);
}

TEST_F(AltusLinks, GeteventsPostingRules) {
  struct Case {
    int auto_getevents, alarm, request, incomplete_flag, status;
    bool posts;
  } cases[] = {
      {1, 1, 0, 0, 0, true},  {1, 1, 0, 0, 3, false}, {1, 0, 1, 0, 0, true},
      {1, 0, 1, 0, 3, false}, {0, 1, 1, 0, 0, false}, {0, 0, 0, 1, 2, true},
      {0, 0, 0, 0, 2, false}, {1, 1, 1, 1, 1, false}, {1, 0, 0, 0, 0, false},
  };
  for (const Case &c : cases) {
    clear_command_queue(dl, 1, 1);
    dl->auto_getevents = c.auto_getevents;
    dl->alarm = c.alarm;
    dl->request_getevents = c.request;
    dl->dialout_if_getevents_incomplete = c.incomplete_flag;
    dl->getevents_status = static_cast<AltusGeteventsState>(c.status);
    int busy = 0;
    altuscom_datalogger_pass(altus, dl, &busy);
    SCOPED_TRACE(testing::Message() << c.auto_getevents << c.alarm << c.request << c.incomplete_flag
                                    << " status " << c.status);
    EXPECT_EQ(queued().size(), c.posts ? 1u : 0u);
    EXPECT_EQ(dl->getevents_status, c.posts ? 1 : c.status);
  }
}

TEST_F(AltusLinks, AllModemsBusyIsLoggedOnceEvery301Passes) {
  dl->auto_getevents = 1;
  dl->alarm = 1;  // a getevents request is queued on the first pass
  texts();
  int busy = 0;
  int logged = 0;
  for (int pass = 0; pass < 603; pass++) {
    altuscom_datalogger_pass(altus, dl, &busy);
    int n = count(texts(), "all modems busy");
    if (n) {
      EXPECT_TRUE(pass == 0 || pass == 301 || pass == 602) << pass;
      logged += n;
    }
  }
  EXPECT_EQ(logged, 3);
}

TEST_F(AltusLinks, OnlyTheFirstFreeLinkIsWokenAndNoneWhileALinkServesIt) {
  Modem *a = link("a", 1), *b = link("b", 1), *c = link("c", 0);
  pushtbl(dl->dialout_modems, c);  // may not dial out: skipped
  pushtbl(dl->dialout_modems, a);
  pushtbl(dl->dialout_modems, b);
  dl->auto_stream = 1;
  int busy = 7;
  altuscom_datalogger_pass(altus, dl, &busy);
  EXPECT_EQ((int)a->interrupt, 1);
  EXPECT_EQ((int)b->interrupt, 0);
  EXPECT_EQ((int)c->interrupt, 0);
  EXPECT_EQ(busy, 0);

  a->interrupt = 0;
  b->connected_dl = dl;  // b already dials this datalogger
  altuscom_datalogger_pass(altus, dl, &busy);
  EXPECT_EQ((int)a->interrupt, 0);
  EXPECT_EQ((int)b->interrupt, 0);
  b->connected_dl = nullptr;

  dl->connected_modem = a;  // connected: nothing to wake
  altuscom_datalogger_pass(altus, dl, &busy);
  EXPECT_EQ((int)a->interrupt, 0);
}

TEST_F(AltusLinks, SerialTags) {
  struct Case {
    const char *model;
    int serial;
    int rc;
    const char *tag;
  } cases[] = {{"Makalu", 77, 0, "L77"}, {"Etna", 1234, 0, "E1234"}, {"ROCK", 5, 0, "R5"},
               {"K2", 9, 0, "K9"},       {"MtWhitney", 1, 0, "W1"},  {"Everest", 2, 0, "V2"},
               {"makalu", 77, -1, ""},   {"Nanga", 1, -1, ""}};
  for (const Case &c : cases) {
    char tag[32] = "";
    EXPECT_EQ(make_dlserial(modem, c.model, c.serial, tag), c.rc) << c.model;
    EXPECT_STREQ(tag, c.tag) << c.model;
  }
  EXPECT_EQ(count(texts(), "make_dlserial: Unrecognized model 'Nanga'."), 0);  // registered
  altuscom_log_complain(nullptr, nullptr, 1, 0, "next\n");
  EXPECT_EQ(count(texts(), "make_dlserial: Unrecognized model 'Nanga'."), 1);
}

TEST_F(AltusLinks, DataRateCarriesIntoTheGigCounter) {
  modem->nbread = 999999990;
  modem->nbread_gig = 4;
  datarate_callback(modem, 2, 20);
  EXPECT_EQ(modem->nbread, 10u);
  EXPECT_EQ(modem->nbread_gig, 5u);
  datarate_callback(modem, 1, 2000000000);  // more than one carry at once
  EXPECT_EQ(modem->nbwrite, 0u);
  EXPECT_EQ(modem->nbwrite_gig, 2u);
  datarate_callback(modem, 3, 50);
  EXPECT_EQ(modem->nbread, 10u);
  EXPECT_EQ(modem->nbwrite, 0u);
}

TEST_F(AltusLinks, LogCallbackKinds) {
  struct Case {
    int kind;
    const char *text;
    const char *logged;  // none: nothing logged
    int alarm, size_err, sum_err;
  } cases[] = {
      {1, "AT", "MODEM ECHO: AT", 0, 0, 0},
      {2, "ATZ", "MODEM WRITE: ATZ", 0, 0, 0},
      {3, "CAUTION: Acquisition is ON now", nullptr, 0, 0, 0},
      {3, "battery low", "Altus LOG: battery low", 0, 0, 0},
      {3, "EVENT 12 recorded", "Altus LOG: EVENT 12 recorded", 1, 0, 0},
      {4, "trigger", "Altus ALARM: trigger", 1, 0, 0},
      // Console lines and packet dumps reach the ring's log unchanged, with the prefix.
      {6, "Altus CTRL: Setting to blockmode...",
       "kes: tty1dlA: Altus CTRL: Setting to blockmode...", 0, 0, 0},
      {6, "DEBUGD:       seqNo: 0x05\n", "kes: tty1dlA: DEBUGD:       seqNo: 0x05", 0, 0, 0},
      {7, "x", nullptr, 0, 1, 0},
      {8, "x", nullptr, 0, 0, 1},
      {5, "x", nullptr, 0, 0, 0},
      {9, "x", nullptr, 0, 0, 0},
  };
  for (const Case &c : cases) {
    dl->alarm = 0;
    dl->dataerrors_size = dl->dataerrors_chksum = 0;
    texts();
    ElogCapture stderr_lines;
    EXPECT_EQ(log_callback(modem, dl, c.text, c.kind), 0);
    std::vector<std::string> lines = texts();
    SCOPED_TRACE(c.text);
    EXPECT_EQ(stderr_lines.text(), "") << "nothing of it on the error log";
    if (c.logged) {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_NE(lines[0].find(c.logged), std::string::npos) << lines[0];
    } else {
      EXPECT_TRUE(lines.empty());
    }
    EXPECT_EQ((int)dl->alarm, c.alarm);
    EXPECT_EQ(dl->dataerrors_size, c.size_err);
    EXPECT_EQ(dl->dataerrors_chksum, c.sum_err);
  }
  // Without a datalogger the datalogger actions do nothing.
  EXPECT_EQ(log_callback(modem, nullptr, "EVENT 1", 3), 0);
  EXPECT_EQ(log_callback(modem, nullptr, "x", 7), 0);
}

TEST_F(AltusLinks, IdleCallbackPhases) {
  struct Case {
    int halt, interrupt, phase, rc, left;
  } cases[] = {
      {0, 1, 1, 3, 0}, {0, 1, 0, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 0, 0, 0},
      {1, 0, 0, 3, 0}, {1, 1, 0, 3, 1},  // halt answers first and leaves the flag alone
  };
  for (const Case &c : cases) {
    kessaro_halt = c.halt;
    modem->interrupt = c.interrupt;
    EXPECT_EQ(idle_callback(modem, c.phase), c.rc);
    EXPECT_EQ((int)modem->interrupt, c.left);
  }
  kessaro_halt = 0;
}

TEST_F(AltusLinks, ConnectionLocksAreReleasedOnlyByTheirHolder) {
  EXPECT_EQ(lock_datalogger_connection(dl, "t", 1), 0);
  EXPECT_TRUE(datalogger_connection_held(dl));
  int busy = -1;
  std::thread other([&] {
    busy = lock_datalogger_connection(dl, "other", 1);
    unlock_datalogger_connection(dl, "other");  // not its lock: nothing happens
  });
  other.join();
  EXPECT_EQ(busy, 16);
  EXPECT_TRUE(datalogger_connection_held(dl));
  EXPECT_EQ(unlock_datalogger_connection(dl, "t"), 0);
  EXPECT_EQ(unlock_datalogger_connection(dl, "t"), 0);  // a second release does nothing
  EXPECT_FALSE(datalogger_connection_held(dl));
  EXPECT_EQ(lock_modem_connection(modem, nullptr, 0), 0);
  EXPECT_EQ(lock_modem_connection(nullptr, nullptr, 0), 0);
  EXPECT_TRUE(modem_connection_held(modem));
  unlock_modem_connection(modem, nullptr);
  EXPECT_TRUE(modem->connection_mutex.try_lock());
  modem->connection_mutex.unlock();

  debug_lock_datalogger = debug_unlock_datalogger = 1;
  texts();
  lock_datalogger_connection(dl, "lbl", 1);
  unlock_datalogger_connection(dl, nullptr);
  debug_lock_datalogger = debug_unlock_datalogger = 0;
  std::vector<std::string> lines = texts();
  EXPECT_EQ(count(lines, "DEBUGCON: lbl: Trying datalogger lock..."), 1);
  EXPECT_EQ(count(lines, "DEBUGCON: lbl: Got datalogger lock"), 1);
  EXPECT_EQ(count(lines, "DEBUGCON: Unlocking datalogger lock"), 1);
}

}  // namespace
