// Modem strings and the modem dialogue of connect and disconnect, against a scripted
// modem on a pseudo-terminal (and on a TCP connection).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "bytestream/serialbuf.h"
#include "fakemodem.h"
#include "fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;

namespace {

constexpr int kTimeout = 1000;
constexpr int kTimeoutConnect = 2000;

void set_texts(SerialBuf *b, int lines) {
  ASSERT_EQ(serialbuf_set_modem_control(b, lines, kTimeoutConnect, "AT\r", "ATH\r", "ATS0=1\r",
                                        "ATS0=0\r", "ATDT", "\r", "OK", "RING", "BUSY", "CONNECT",
                                        "NO CARRIER"),
            0);
}

// A serial record on a pseudo-terminal with the scripted modem at the far end.
struct ModemLine {
  Pty pty;
  Recorder rec;
  Record r;
  std::unique_ptr<FakeModem> modem;
  explicit ModemLine(bool with_texts = true, int lines = 0) {
    r.reset(serialbuf_create_serial(pty.path.c_str(), 9600, 0, 256, kTimeout, 0, 0, 2,
                                    Recorder::idle, &rec, Recorder::log, &rec, nullptr,
                                    Recorder::rate, &rec));
    modem = std::make_unique<FakeModem>(pty.master);
    if (with_texts) set_texts(r.get(), lines);
  }
  ~ModemLine() {
    r.reset();
    modem.reset();
  }
  std::vector<std::string> read_lines() {
    std::vector<std::string> out;
    std::lock_guard<std::mutex> lock(rec.mutex);
    for (const auto &[code, text] : rec.lines) {
      if (code == 1) out.push_back(text);
    }
    return out;
  }
};

using Commands = std::vector<std::string>;

TEST(SerialbufModemString, PausesAndChecksBeforeWriting) {
  ClockScale fast(0.25);
  ModemLine m(false);
  ASSERT_TRUE(m.pty.ok());
  ASSERT_EQ(serialbuf_connect(m.r.get(), 0, nullptr), 0) << take_registered();

  EXPECT_EQ(serialbuf_send_modem_string(m.r.get(), "ATZ\r<sl=1>ATE0\r", nullptr, 1), 0);
  ASSERT_TRUE(m.modem->wait_commands(2, 5));
  auto timed = m.modem->timed_commands();
  EXPECT_EQ(timed[0].text, "ATZ");
  EXPECT_EQ(timed[1].text, "ATE0");
  // The modem stamps what it reads, and may read the first command late on a loaded
  // machine: the bounds still tell a one-second pause from none and from ten.
  double gap = timed[1].time - timed[0].time;
  EXPECT_GE(gap, 0.75);
  EXPECT_LT(gap, 1.8);

  const struct {
    const char *name;
    std::string string;
    int rc;
    const char *msg;
  } refused[] = {
      {"token without its end", "ATZ\r<sl=1ATE0\r", -1,
       "serialbuf_send_modem_string: string format error.\n"},
      {"token without a number", "ATZ\r<sl=>ATE0\r", -1,
       "serialbuf_send_modem_string: string format error.\n"},
      {"token with text for a number", "ATZ\r<sl=one>ATE0\r", -1,
       "serialbuf_send_modem_string: string format error.\n"},
      {"longer than the window", std::string(SERIALBUF_PATTERN_MAX + 1, 'A'), -1,
       "serialbuf_send_modem_string: string longer than 511 characters.\n"},
      {"empty", "", 0, ""},
  };
  for (const auto &c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(serialbuf_send_modem_string(m.r.get(), c.string.c_str(), "OK", 1), c.rc);
    EXPECT_EQ(take_registered(), c.msg);
  }
  m.r->state = SERIALBUF_OPEN;
  EXPECT_EQ(serialbuf_send_modem_string(m.r.get(), "ATZ\r", "OK", 1), 4);
  m.r->state = SERIALBUF_CONNECTED;
  // Nothing of the refused strings went out.
  clock_sleep(0.3);
  EXPECT_EQ(m.modem->received(), "ATZ\rATE0\r");

  m.r->wverbose = 1;
  testing::internal::CaptureStdout();
  EXPECT_EQ(serialbuf_send_modem_string(m.r.get(), "AT\r", "OK", 1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "writing 3 bytes: AT\\r\n");
}

TEST(SerialbufModemString, TriesAgainAfterTwoSeconds) {
  ClockScale fast(0.1);
  ModemLine m(false);
  ASSERT_EQ(serialbuf_connect(m.r.get(), 0, nullptr), 0) << take_registered();
  ElogCapture printed;
  m.modem->ignore(2);
  EXPECT_EQ(serialbuf_send_modem_string(m.r.get(), "AT\r", "OK", 2), 1);
  std::string log = take_registered();
  EXPECT_EQ(log.substr(log.rfind("serialbuf_send")), "serialbuf_send_modem_string: timeout.\n");
  std::string notes = printed.text();
  size_t first = notes.find("serialbuf_send_modem_string: timeout...retrying\n");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(notes.find("retrying", first + 40), std::string::npos);
  auto timed = m.modem->timed_commands();
  ASSERT_EQ(timed.size(), 2u);
  double gap = timed[1].time - timed[0].time;  // a time-out of 1 s, then the 2 s pause
  EXPECT_GE(gap, 2.6);
  EXPECT_LT(gap, 4.5);

  // The second try answered.
  m.modem->ignore(1);
  EXPECT_EQ(serialbuf_send_modem_string(m.r.get(), "AT\r", "OK", 2), 0);
  EXPECT_EQ(m.modem->commands().size(), 4u);
  take_registered();
}

TEST(SerialbufModemDialogue, DialOut) {
  ClockScale fast(0.1);
  const struct {
    const char *name;
    const char *answer;  // the modem's answer to the dial
    int ignore;          // commands left unanswered at first
    const char *number;
    int rc;
    Commands commands;
    const char *msg;  // a message the dialogue logs
    int state;
  } cases[] = {
      {"connected",
       "CONNECT 9600",
       0,
       "5551234",
       0,
       {"AT", "ATH", "ATS0=0", "ATDT5551234"},
       "",
       SERIALBUF_CONNECTED},
      {"busy",
       "BUSY",
       0,
       "5551234",
       5,
       {"AT", "ATH", "ATS0=0", "ATDT5551234"},
       "serialbuf_connect: serialbuf_send_modem_string(ATDT5551234\r) line busy.\n",
       SERIALBUF_OPEN},
      {"no carrier",
       "NO CARRIER",
       0,
       "5551234",
       1,
       {"AT", "ATH", "ATS0=0", "ATDT5551234"},
       "serialbuf_connect: serialbuf_send_modem_string(ATDT5551234\r) timeout.\n",
       SERIALBUF_OPEN},
      {"silence",
       "",
       0,
       "5551234",
       1,
       {"AT", "ATH", "ATS0=0", "ATDT5551234"},
       "serialbuf_connect: serialbuf_send_modem_string(ATDT5551234\r) timeout.\n",
       SERIALBUF_OPEN},
      {"silence, then an answer to the retry",
       "CONNECT 9600",
       1,
       "5551234",
       0,
       {"AT", "AT", "ATH", "ATS0=0", "ATDT5551234"},
       "",
       SERIALBUF_CONNECTED},
      {"no number: nothing dialled",
       "CONNECT 9600",
       0,
       nullptr,
       0,
       {"AT", "ATH", "ATS0=0"},
       "",
       SERIALBUF_CONNECTED},
      {"empty number", "CONNECT 9600", 0, "", 0, {"AT", "ATH", "ATS0=0"}, "", SERIALBUF_CONNECTED},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ModemLine m;
    ASSERT_TRUE(m.pty.ok());
    m.modem->dial_answer(c.answer);
    m.modem->ignore(c.ignore);
    m.r->rverbose = 1;    // given back after each step
    ElogCapture printed;  // the retry note
    testing::internal::CaptureStdout();
    double start = clock_monotonic();
    int rc = serialbuf_connect(m.r.get(), 0, c.number);
    double took = clock_monotonic() - start;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(rc, c.rc);
    std::string log = take_registered();
    EXPECT_NE(log.find(c.msg), std::string::npos) << log;
    EXPECT_EQ(m.r->state, c.state);
    EXPECT_EQ(m.r->connecting, 0);
    EXPECT_EQ(m.r->rverbose, 1);
    EXPECT_EQ(m.r->timeout, kTimeout);
    EXPECT_EQ(m.modem->commands(), c.commands);
    if (std::string(c.name) == "silence") {
      // The dial waits timeout_connect, not timeout.
      EXPECT_GE(took, kTimeoutConnect / 1000.0);
    }
    if (c.rc == 0) {
      // The modem's echo and answers reached the log callback line by line.
      auto lines = m.read_lines();
      EXPECT_NE(std::find(lines.begin(), lines.end(), "OK"), lines.end());
      EXPECT_NE(std::find(lines.begin(), lines.end(), "AT"), lines.end());
    }
    m.r->rverbose = 0;
  }
}

TEST(SerialbufModemDialogue, ConnectedLineEndsOnTheCarrierLostText) {
  ClockScale fast(0.1);
  ModemLine m;
  ASSERT_EQ(serialbuf_connect(m.r.get(), 0, "42"), 0) << take_registered();
  m.modem->put("data");
  m.modem->say("NO CARRIER");
  unsigned char c;
  int rc;
  while ((rc = serialbuf_get_byte(m.r.get(), &c, 0)) == 0) {
  }
  EXPECT_EQ(rc, 4);
  EXPECT_EQ(m.r->state, SERIALBUF_OPEN);
  // Nothing to hang up any more.
  EXPECT_EQ(serialbuf_disconnect(m.r.get()), 0);
  take_registered();
}

TEST(SerialbufModemDialogue, DialTextOverTheWindowIsRefused) {
  ClockScale fast(0.1);
  ModemLine m;
  std::string number(SERIALBUF_PATTERN_MAX, '5');
  EXPECT_EQ(serialbuf_connect(m.r.get(), 0, number.c_str()), -1);
  EXPECT_NE(take_registered().find("serialbuf_connect: dial text longer than 511 characters.\n"),
            std::string::npos);
  EXPECT_EQ(m.modem->commands(), (Commands{"AT", "ATH", "ATS0=0"}));
  EXPECT_EQ(m.r->state, SERIALBUF_OPEN);
}

TEST(SerialbufModemDialogue, StepFailures) {
  ClockScale fast(0.05);
  FakeLines lines;
  lines.carrier = 0;
  // With the control lines and the carrier off, an unanswered command ends as 4: the
  // attention step passes that on, the no-listen step reports -1.
  const struct {
    const char *silent;
    int rc;
    const char *msg;
    Commands commands;
  } cases[] = {
      {"AT",
       4,
       "serialbuf_connect: serialbuf_send_modem_string(attention_string) error.\n",
       {"AT", "AT"}},
      {"ATH",
       4,
       "serialbuf_connect: serialbuf_send_modem_string(hangup_string) error.\n",
       {"AT", "ATH", "ATH"}},
      {"ATS0=0",
       -1,
       "serialbuf_connect: serialbuf_send_modem_string(nolisten_string) error.\n",
       {"AT", "ATH", "ATS0=0", "ATS0=0"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.silent);
    ModemLine m(true, 1);
    m.modem->silent(c.silent);
    ElogCapture printed;
    EXPECT_EQ(serialbuf_connect(m.r.get(), 0, "1"), c.rc);
    EXPECT_NE(take_registered().find(c.msg), std::string::npos);
    m.modem->wait_commands(c.commands.size(), 5);  // the modem may read the last one late
    EXPECT_EQ(m.modem->commands(), c.commands);
    EXPECT_EQ(m.r->state, SERIALBUF_OPEN);
    EXPECT_EQ(lines.hangups.load(), 1);  // at open only: a failed step does not hang up
    lines.hangups = 0;
  }
  lines.carrier = 1;
  ModemLine m;
  m.modem->silent("AT");
  ElogCapture printed;
  EXPECT_EQ(serialbuf_connect(m.r.get(), 0, "1"), 1);
  EXPECT_NE(
      take_registered().find("serialbuf_connect: serialbuf_send_modem_string(attention_string) "
                             "timeout.\n"),
      std::string::npos);
}

TEST(SerialbufModemDialogue, AnswerACall) {
  ClockScale fast(0.1);
  ModemLine m;
  std::thread caller([&] {
    if (!m.modem->wait_commands(3, 10)) return;
    // Longer than `timeout`: the ring may take any time.
    clock_sleep(2.5);
    m.modem->say("RING");
    clock_sleep(0.2);
    m.modem->say("CONNECT 9600");
  });
  EXPECT_EQ(serialbuf_connect(m.r.get(), 1, nullptr), 0) << take_registered();
  caller.join();
  EXPECT_EQ(m.r->state, SERIALBUF_CONNECTED);
  EXPECT_EQ(m.r->timeout, kTimeout);
  EXPECT_EQ(m.modem->commands(), (Commands{"AT", "ATH", "ATS0=1"}));
  // The idle callback was asked while the ring was awaited.
  EXPECT_FALSE(m.rec.idle_phases.empty());
  for (int phase : m.rec.idle_phases) EXPECT_EQ(phase, 1);
}

TEST(SerialbufModemDialogue, AnswerEndsOnTheIdleCallbackOrAMissingConnect) {
  ClockScale fast(0.1);
  {
    ModemLine m;
    m.rec.idle_results = {0, 3};
    EXPECT_EQ(serialbuf_connect(m.r.get(), 1, nullptr), 3);
    EXPECT_EQ(m.rec.idle_phases, (std::vector<int>{1, 1}));
    EXPECT_EQ(m.r->state, SERIALBUF_OPEN);
    EXPECT_EQ(m.r->timeout, kTimeout);
    EXPECT_EQ(take_registered(), "");
  }
  {
    ModemLine m;
    std::thread caller([&] {
      if (m.modem->wait_commands(3, 10)) m.modem->say("RING");
    });
    EXPECT_EQ(serialbuf_connect(m.r.get(), 1, nullptr), 1);
    caller.join();
    EXPECT_NE(take_registered().find(
                  "serialbuf_connect: serialbuf_read_until(connect_rec_string) error."),
              std::string::npos);
    EXPECT_EQ(m.r->state, SERIALBUF_OPEN);
  }
}

// Counts the modem's commands at the moment the line is dropped.
struct HangupWitness {
  FakeModem *modem = nullptr;
  std::vector<size_t> at;
  SerialbufLineOps ops{};
  HangupWitness() {
    ops.isoffhook = [](int, void *) { return 0; };
    ops.hangup = [](int, void *u) {
      auto *w = static_cast<HangupWitness *>(u);
      w->at.push_back(w->modem ? w->modem->commands().size() : 0);
      return 0;
    };
    ops.user = this;
    serialbuf_set_line_ops(&ops);
  }
  ~HangupWitness() { serialbuf_set_line_ops(nullptr); }
};

TEST(SerialbufModemDialogue, DisconnectSendsTheHangupTextsThenDropsTheLine) {
  ClockScale fast(0.1);
  HangupWitness witness;
  {
    ModemLine m(true, 1);
    witness.modem = m.modem.get();
    ASSERT_EQ(serialbuf_connect(m.r.get(), 0, "77"), 0) << take_registered();
    witness.at.clear();
    EXPECT_EQ(serialbuf_disconnect(m.r.get()), 0);
    EXPECT_EQ(m.modem->commands(), (Commands{"AT", "ATH", "ATS0=0", "ATDT77", "AT", "ATH"}));
    EXPECT_EQ(witness.at, (std::vector<size_t>{6}));
    EXPECT_EQ(m.r->state, SERIALBUF_OPEN);

    // A modem that no longer answers: the failure is reported, the line dropped anyway.
    ASSERT_EQ(serialbuf_connect(m.r.get(), 0, "77"), 0) << take_registered();
    witness.at.clear();
    m.modem->silent("AT");
    ElogCapture printed;
    EXPECT_EQ(serialbuf_disconnect(m.r.get()), 1);
    EXPECT_NE(take_registered().find(
                  "serialbuf_disconnect: serialbuf_send_modem_string(attention_string) "
                  "timeout.\n"),
              std::string::npos);
    EXPECT_EQ(witness.at.size(), 1u);
    EXPECT_EQ(m.r->state, SERIALBUF_OPEN);
    EXPECT_EQ(m.r->connecting, 0);
    witness.modem = nullptr;
  }
}

TEST(SerialbufModemDialogue, TextsOverAnAcceptedConnectionGoOutBeforeItCloses) {
  ClockScale fast(0.1);
  int port = free_port();
  Record server(serialbuf_create_tcpserver(port, 256, kTimeout, 0, 2, nullptr, nullptr, nullptr,
                                           nullptr, nullptr, nullptr, nullptr));
  set_texts(server.get(), 0);
  ASSERT_EQ(serialbuf_open(server.get()), 0) << take_registered();
  int peer = connect_loopback(port);
  ASSERT_GE(peer, 0);
  {
    FakeModem modem(peer);
    ASSERT_EQ(serialbuf_connect(server.get(), 0, nullptr), 0) << take_registered();
    EXPECT_EQ(modem.commands(), (Commands{"AT", "ATH", "ATS0=0"}));
    EXPECT_EQ(serialbuf_disconnect(server.get()), 0) << take_registered();
    EXPECT_EQ(modem.commands(), (Commands{"AT", "ATH", "ATS0=0", "AT", "ATH"}));
    for (int i = 0; i < 200 && !modem.ended(); ++i) usleep(5000);
    EXPECT_TRUE(modem.ended());
    EXPECT_EQ(server->fd, -1);
    EXPECT_GE(server->fdserver, 0);
  }
  close(peer);
}

}  // namespace
