// Tests of the interface's hook record: which program record a link or datalogger
// reaches, what the interface hands to the installed hooks, and that missing hooks do
// nothing.
#include "altuscom_hooks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kessaro.h"

namespace {

// What the test hooks saw.
struct Seen {
  std::vector<std::string> calls;
  Kessaro *altus = nullptr;
  AltuscomAnswer what = ALTUSCOM_ANSWER_PENDING;
  int done = -1;
  bool has_text = false;
  std::string text;
};
Seen g_seen;

AltuscomHooks test_hooks(Kessaro *program) {
  AltuscomHooks h{};
  h.program = program;
  h.run_commands = [](Kessaro *, AltusDatalogger *) { return g_seen.calls.push_back("run"), 2; };
  h.write_state = [](Kessaro *) { return g_seen.calls.push_back("state"), -1; };
  h.report_status_now = [](Kessaro *) { g_seen.calls.push_back("report"); };
  h.count_requests = [](AltusDatalogger *, int try_) {
    return g_seen.calls.push_back(try_ ? "count try" : "count"), 7;
  };
  h.answer = [](Kessaro *altus, AltusDatalogger *, Pf *, AltuscomAnswer what, int done,
                const char *text) {
    g_seen.calls.push_back("answer");
    g_seen.altus = altus;
    g_seen.what = what;
    g_seen.done = done;
    g_seen.has_text = text != nullptr;
    g_seen.text = text != nullptr ? text : "";
  };
  return h;
}

struct Installed {
  explicit Installed(const AltuscomHooks *h) {
    g_seen = Seen{};
    altuscom_install_hooks(h);
  }
  ~Installed() { altuscom_install_hooks(nullptr); }
};

TEST(AltuscomHooks, ProgramRecordIsTheUserdataElseTheInstalledOne) {
  Kessaro own{}, installed{};
  struct Case {
    bool userdata, install;
    Kessaro *want;
  } cases[] = {
      {true, true, &own},
      {true, false, &own},
      {false, true, &installed},
      {false, false, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.userdata) + std::to_string(c.install));
    AltuscomHooks h = test_hooks(&installed);
    Installed in(c.install ? &h : nullptr);
    EXPECT_EQ(altuscom_program(c.userdata ? &own : nullptr), c.want);
  }
}

TEST(AltuscomHooks, CallsReachTheInstalledHooksWithTheirResults) {
  Kessaro program{};
  AltuscomHooks h = test_hooks(&program);
  Installed in(&h);
  EXPECT_EQ(altuscom_run_commands(&program, nullptr), 2);
  EXPECT_EQ(altuscom_write_state(&program), -1);
  altuscom_report_status_now(&program);
  EXPECT_EQ(altuscom_count_requests(nullptr, 1), 7);
  EXPECT_EQ(g_seen.calls, (std::vector<std::string>{"run", "state", "report", "count try"}));
}

TEST(AltuscomHooks, AnswersAreFormattedOrCarryNoText) {
  Kessaro program{};
  AltuscomHooks h = test_hooks(&program);
  Installed in(&h);
  Pf *request = reinterpret_cast<Pf *>(&program);  // never read by the hooks
  altuscom_answer(&program, nullptr, request, ALTUSCOM_ANSWER_DONE_RESPONSE, 1, "%d files in %s", 3,
                  "A:\\");
  EXPECT_EQ(g_seen.what, ALTUSCOM_ANSWER_DONE_RESPONSE);
  EXPECT_EQ(g_seen.done, 1);
  EXPECT_TRUE(g_seen.has_text);
  EXPECT_EQ(g_seen.text, "3 files in A:\\");
  // A text longer than any buffer arrives whole: the program cuts it to its answer's size.
  std::string big(5000, 'x');
  altuscom_answer(&program, nullptr, request, ALTUSCOM_ANSWER_ERROR, 0, "%s", big.c_str());
  EXPECT_EQ(g_seen.text, big);
  altuscom_answer(&program, nullptr, request, ALTUSCOM_ANSWER_DONE, 0, nullptr);
  EXPECT_EQ(g_seen.what, ALTUSCOM_ANSWER_DONE);
  EXPECT_FALSE(g_seen.has_text);
}

TEST(AltuscomHooks, ProgressGoesToTheDataloggersProgramCutTo1023Characters) {
  Kessaro installed{}, own{};
  AltuscomHooks h = test_hooks(&installed);
  Installed in(&h);
  AltusDatalogger *dl = altusdatalogger_new();
  dl->userdata = &own;
  Pf *request = reinterpret_cast<Pf *>(&own);
  std::string big(3000, 'y');
  altuscom_progress(dl, request, "%s!", big.c_str());
  EXPECT_EQ(g_seen.altus, &own);
  EXPECT_EQ(g_seen.what, ALTUSCOM_ANSWER_PENDING);
  EXPECT_EQ(g_seen.text, std::string(1023, 'y'));
  // Without a datalogger or a request nothing is answered.
  g_seen.calls.clear();
  altuscom_progress(nullptr, request, "x");
  altuscom_progress(dl, nullptr, "x");
  EXPECT_TRUE(g_seen.calls.empty());
  altusdatalogger_free(dl);
}

TEST(AltuscomHooks, MissingHooksDoNothing) {
  Installed in(nullptr);
  Kessaro program{};
  Pf *request = reinterpret_cast<Pf *>(&program);
  EXPECT_EQ(altuscom_run_commands(&program, nullptr), 0);
  EXPECT_EQ(altuscom_write_state(&program), 0);
  EXPECT_EQ(altuscom_stop_writer(&program), 0);
  EXPECT_EQ(altuscom_report_pending(&program), 0);
  EXPECT_EQ(altuscom_post_request(nullptr, request, 1), 0);
  EXPECT_EQ(altuscom_pop_request(nullptr, &request), 0);
  EXPECT_EQ(request, nullptr);
  request = reinterpret_cast<Pf *>(&program);
  EXPECT_EQ(altuscom_peek_request(nullptr, &request), 0);
  EXPECT_EQ(request, nullptr);
  EXPECT_EQ(altuscom_clear_requests(nullptr, 1, 1), 0);
  EXPECT_EQ(altuscom_count_requests(nullptr, 0), 0);
  altuscom_report_status_now(&program);
  altuscom_answer(&program, nullptr, nullptr, ALTUSCOM_ANSWER_ERROR, 0, "x");
}

}  // namespace
