// The remote-command callback called directly (no command service: answers go nowhere),
// checked by what it changes: program and datalogger fields, queued requests and the
// pending sequences.
#include "kessaro_cmd.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "altuscom_fixture.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_cmdresp.h"
#include "kessaro_program.h"

namespace {

class AltusCallback : public AltusPipeline {
 protected:
  void SetUp() override {
    AltusPipeline::SetUp();
    if (altus->pending_cmd_arr == nullptr) altus->pending_cmd_arr = newarr(nullptr);
    dl->connected_modem = nullptr;
    dl->userdata = altus;
    setarr(altus->dltargets_array, "dlA", dl);
    second = altusdatalogger_new();
    second->target_name = strdup("dlB");
    second->userdata = altus;
    setarr(altus->dltargets_array, "dlB", second);
  }
  void TearDown() override {
    for (AltusDatalogger *d : {dl, second}) {
      clear_command_queue(d, 1, 1);
      delarr(altus->dltargets_array, d->target_name);
    }
    altusdatalogger_free(second);
    freearr(altus->pending_cmd_arr, [](void *t) { freetbl(static_cast<Tbl *>(t), nullptr); });
    altus->pending_cmd_arr = nullptr;
    AltusPipeline::TearDown();
  }
  void command(const std::string &text, const std::string &seq = "s1") {
    Pf *req = nullptr;
    std::string pf = "command " + text + "\nusername op\nhostname h\nsequence " + seq + "\n";
    ASSERT_EQ(pfcompile(pf.c_str(), &req), 0);
    kessaro::cmdthread_callback(nullptr, altus, 2, text.c_str(), req);
    pffree(req);
  }
  std::vector<std::string> queued(AltusDatalogger *d, const char *key = "command") {
    return kessaro_test_queued(d, key);
  }
  AltusDatalogger *second = nullptr;
};

TEST_F(AltusCallback, RefusalsTouchNoDatalogger) {
  const char *refused[] = {
      "set",           "set debug_data",  "set nokey 1", "ping",          "mcmd",      "setparams",
      "setparams a b", "delfile",         "delfile a b", "deltree a b c", "dir",       "dir a b",
      "dirtree a b",   "evtinfotree a b", "erase",       "erase a b",     "frobnicate"};
  int n = 0;
  for (const char *text : refused) {
    command(text, "r" + std::to_string(n++));
    EXPECT_EQ(maxtbl(dl->commands), 0) << text;
    EXPECT_EQ(cntarr(altus->pending_cmd_arr), 0) << text;
  }
}

TEST_F(AltusCallback, ProgramKeysOfSet) {
  struct Case {
    const char *text;
    double interval;
  } cases[] = {{"set status_interval 0.5", 1.0},
               {"set status_interval -3", 0.0},
               {"set status_interval 30", 30.0},
               {"set status_interval abc", 0.0}};
  for (const Case &c : cases) {
    altus->status_report_now = 0;
    command(c.text);
    EXPECT_EQ(altus->status_interval.load(), c.interval) << c.text;
    EXPECT_EQ((int)altus->status_report_now, 1);
  }
  command("set log_poc -2");
  EXPECT_EQ((int)altus->log_poc, 0);
  command("set log_poc 4");
  EXPECT_EQ((int)altus->log_poc, 4);
  EXPECT_EQ(cntarr(altus->pending_cmd_arr), 0);
}

// Every number "set" takes refuses NaN, infinities, numbers too large for it and values
// outside its range: nothing changes, no datalogger is touched, and the refusal says why.
TEST_F(AltusCallback, SetNumbersRefuseNanInfinityAndOutOfRange) {
  struct Key {
    const char *key;
    const char *out_of_range;
    std::function<double()> value;
  } keys[] = {
      {"status_interval", "1e9", [&] { return altus->status_interval.load(); }},
      {"log_poc", "2147483648", [&] { return (double)altus->log_poc; }},
      {"debug_data", "2147483648", [&] { return (double)dl->debug_data; }},
      {"debug_serial", "-2147483649", [&] { return (double)dl->debug_serial; }},
      {"debug_data_timeout", "-1", [&] { return dl->debug_data_timeout.load(); }},
      {"debug_serial_timeout", "1e9", [&] { return dl->debug_serial_timeout.load(); }},
      {"log_data_errors", "2147483648", [&] { return (double)dl->log_data_errors; }},
      {"v_strseq_timeout", "-0.5", [&] { return dl->v_strseq_timeout.load(); }},
      {"request_params_interval", "-1e9", [&] { return dl->request_params_interval.load(); }},
  };
  int n = 0;
  for (const Key &k : keys) {
    for (const char *bad : {"nan", "inf", "-inf", "1e999", k.out_of_range}) {
      SCOPED_TRACE(std::string(k.key) + " " + bad);
      const double before = k.value();
      texts();  // what came before
      command(std::string("set ") + k.key + " " + bad, "n" + std::to_string(n++));
      EXPECT_EQ(k.value(), before);
      EXPECT_EQ(cntarr(altus->pending_cmd_arr), 0);
      bool said = false;
      for (const auto &l : texts()) {
        said |= l.find(std::string("Refusing set ") + k.key + ": key '" + k.key + "': '" + bad +
                       "'") != std::string::npos;
      }
      EXPECT_TRUE(said);
    }
  }
  // A value in range still applies.
  command("set debug_serial_timeout 30", "ok");
  EXPECT_EQ(dl->debug_serial_timeout.load(), 30.0);
}

TEST_F(AltusCallback, DataloggerKeysOfSetApplyToEveryMatch) {
  dl->debug_data_timeout = 600.0;
  command("set debug_data 1", "a");
  EXPECT_EQ((int)dl->debug_data, 1);
  EXPECT_EQ((int)second->debug_data, 1);
  bool seen = false;
  for (const auto &l : texts())
    seen |= l.find("Setting debug_data to 1 for 600.000000 seconds") != std::string::npos;
  EXPECT_TRUE(seen);
  command("set request_params_interval 0.2", "b");
  EXPECT_EQ(dl->request_params_interval.load(), 1.0);
  command("set v_strseq yes", "c");
  EXPECT_EQ((int)second->v_strseq, 1);

  // clear_command_queue false keeps the internal requests.
  Pf *internal = nullptr;
  pfcompile("command strstart\ndatalogger_target dlA\n", &internal);
  post_command_queue(dl, internal, 1);
  pffree(internal);
  command("status", "d");
  EXPECT_EQ(queued(dl).size(), 2u);
  command("set clear_command_queue no", "e");
  EXPECT_EQ(queued(dl), std::vector<std::string>{"strstart"});
}

TEST_F(AltusCallback, PostsMatchedDataloggersAndRefusesASequenceInUse) {
  command("ping hello there", "p1");
  EXPECT_EQ(queued(dl, "string"), std::vector<std::string>{"hello there"});
  EXPECT_EQ(queued(second, "string"), std::vector<std::string>{"hello there"});
  EXPECT_EQ(pending_cmd_list(altus, "p1").size(), 2u);
  command("status", "p1");  // still pending
  EXPECT_EQ(queued(dl).size(), 1u);

  std::string words;
  for (int i = 0; i < 80; i++) words += " word" + std::to_string(i + 10);  // 7 characters each
  command("mcmd" + words, "p2");
  std::string joined = queued(dl, "string").back();
  EXPECT_LE(joined.size(), 511u);
  EXPECT_GT(joined.size(), 511u - 7u);
  EXPECT_EQ(joined.substr(0, 6), "word10");

  command("reboot", "p3");
  EXPECT_EQ(dl->reboot, 1);
  EXPECT_EQ(queued(dl).back(), "reboot");
}

TEST_F(AltusCallback, QuitDuringAnotherShutdownStartsNoSecond) {
  kessaro_shutdown_reset();
  ASSERT_EQ(kessaro_shutdown_claim(), 1);  // a termination signal came first
  command("quit", "q1");
  EXPECT_EQ(kessaro_halt.load(), 0);
  for (const auto &l : texts())
    EXPECT_EQ(l.find("Shutting down due to command."), std::string::npos);
  EXPECT_EQ(kessaro_shutdown_claim(), 0);
  kessaro_shutdown_reset();
}

}  // namespace
