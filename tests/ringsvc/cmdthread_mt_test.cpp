#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringsvc/dlcmpkt.h"
#include "support/hostid.h"
#include "support/stdtime.h"
#include "testkit/testkit.h"

namespace {

using namespace std::chrono_literals;

struct Event {
  int what;
  std::string text;     // the message, command or log text
  std::string dlnames;  // what 2: the service's cmd_dlnames during the callback
  bool operator==(const Event &o) const {
    return what == o.what && text == o.text && dlnames == o.dlnames;
  }
};
std::ostream &operator<<(std::ostream &os, const Event &e) {
  return os << "{" << e.what << ", \"" << e.text << "\", \"" << e.dlnames << "\"}";
}

// Records what the service hands to the program's callback.
class Recorder {
 public:
  static int callback(CmdThread *cth, void *user, int what, ...) {
    auto *self = static_cast<Recorder *>(user);
    va_list ap;
    va_start(ap, what);
    Event e{what, "", ""};
    Pf *request = nullptr;
    if (what == 1) {
      (void)va_arg(ap, int);
      const char *fmt = va_arg(ap, const char *);
      char buf[1024];
      vsnprintf(buf, sizeof buf, fmt, ap);
      e.text = buf;
    } else if (what == 2) {
      e.text = va_arg(ap, char *);
      request = va_arg(ap, Pf *);
      e.dlnames = cth->cmd_dlnames ? cth->cmd_dlnames : "(none)";
    } else if (what == 3) {
      e.text = va_arg(ap, char *);
    }
    va_end(ap);
    if (what == 2 && self->on_command) self->on_command(cth, request);
    std::lock_guard<std::mutex> lock(self->mu_);
    self->events_.push_back(e);
    self->cv_.notify_all();
    return 0;
  }
  // Waits for the command `cmd` and returns the events before it (and takes them all).
  std::vector<Event> until_command(const std::string &cmd) {
    std::unique_lock<std::mutex> lock(mu_);
    std::vector<Event> before;
    bool seen = cv_.wait_for(lock, 5s, [&] {
      for (size_t i = 0; i < events_.size(); i++) {
        if (events_[i].what == 2 && events_[i].text == cmd) {
          before.assign(events_.begin(), events_.begin() + static_cast<long>(i));
          events_.clear();
          return true;
        }
      }
      return false;
    });
    EXPECT_TRUE(seen) << "no command " << cmd;
    return before;
  }
  std::vector<Event> wait_count(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, 5s, [&] { return events_.size() >= n; });
    std::vector<Event> out = events_;
    events_.clear();
    return out;
  }
  std::vector<Event> take() {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<Event> out = events_;
    events_.clear();
    return out;
  }
  std::function<void(CmdThread *, Pf *)> on_command;

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
};

int fake_forward(const char *, unsigned *address, std::string *official) {
  *address = htonl(0x7f000005);
  *official = "svchost";
  return 0;
}
int fake_reverse(unsigned, std::string *) { return -1; }
const HostResolver kResolver = {fake_forward, fake_reverse};

enum Sign { kSigned, kUnsigned, kWrongKey, kAltered };

std::string dlcm(const std::string &text) {
  std::vector<char> p;
  EXPECT_EQ(dlcm_encode(text, &p), 0);
  return std::string(p.data(), p.size());
}

// A command as the suite's sender writes it: its own "sequence" (a new one when none is
// given) and the current time as "cmdtime".
std::string command_text(const std::string &cmd, const std::string &extra = "",
                         std::string seq = "") {
  static std::atomic<int> counter{0};
  if (seq.empty()) seq = "auto" + std::to_string(++counter);
  char cmdtime[32];
  snprintf(cmdtime, sizeof cmdtime, "%.1f", std_now());
  return "command " + cmd + "\ncmdtime " + cmdtime +
         "\nusername op\nhostname ophost\nip 127.0.0.9\nsequence " + seq + "\n" + extra;
}

const char kFrom[] = " from op at ophost(127.0.0.9)";

struct Response {
  std::string src;
  double time = 0;
  Pf *pf = nullptr;
  std::string text;
};

TEST(ServiceNew, Refusals) {
  ElogCapture cap;
  auto cb = Recorder::callback;
  EXPECT_EQ(cmdthread_new(nullptr, 0, 0, std::string(56, 't').c_str(), "q330", cb, nullptr),
            nullptr);
  EXPECT_EQ(cmdthread_new(nullptr, 0, 0, nullptr, "q330", cb, nullptr), nullptr);
  EXPECT_EQ(cmdthread_new(nullptr, 0, 0, "q1", "q330", nullptr, nullptr), nullptr);
  EXPECT_EQ(cmdthread_destroy(nullptr), 0);
  elog_clear_register(0);
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override {
    hostid_set_resolver(&kResolver);
    hostid_reset();
    char name[HOSTID_NAME_SIZE];
    my_username(name);
    user_ = name;
    path_ = dir_.file("cmd.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 20), 0);
    orbcmd_ = orbopen(path_.c_str(), "r");
    orbrsp_ = orbopen(path_.c_str(), "w");
    sender_ = orbopen(path_.c_str(), "w");
    listener_ = orbopen(path_.c_str(), "r");
    ASSERT_GE(orbcmd_, 0);
    ASSERT_GE(orbrsp_, 0);
    ASSERT_GE(sender_, 0);
    ASSERT_GE(listener_, 0);
    ASSERT_EQ(orbselect(listener_, "op/pf/rsp"), 0);
    started_ = std_now();
    cth_ = cmdthread_new(nullptr, orbcmd_, orbrsp_, "q1", "q330", Recorder::callback, &rec_);
    ASSERT_NE(cth_, nullptr);
  }
  void TearDown() override {
    double start = clock_monotonic();
    EXPECT_EQ(cmdthread_destroy(cth_), 0);
    EXPECT_LT(clock_monotonic() - start, 5.0);
    for (int orb : {orbcmd_, orbrsp_, sender_, listener_}) orbclose(orb);
    hostid_set_resolver(nullptr);
    hostid_reset();
    elog_clear_register(0);
  }

  void send(const std::string &src, const std::string &text, Sign how = kSigned) {
    std::string packet;
    switch (how) {
      case kSigned:
        ASSERT_EQ(pfcmdstring2orb(text.c_str(), src.c_str(), sender_), 0);
        return;
      case kUnsigned:
        packet = dlcm(text);
        break;
      case kWrongKey: {
        const unsigned char other[8] = {0x7c, 0x3e, 0x91, 0xd4, 0x05, 0xb8, 0xa2, 0x6e};
        packet =
            dlcm("dsig " + std::string(mdcompute({{text.data(), text.size()}, {other, 8}}).hex) +
                 "\n" + text);
        break;
      }
      case kAltered: {
        std::string signed_for = text + "delayhangup 1\n";
        packet =
            dlcm("dsig " +
                 std::string(mdcompute({{signed_for.data(), signed_for.size()}, {pktbts, 8}}).hex) +
                 "\n" + text);
        break;
      }
    }
    ASSERT_GE(
        orbputx(sender_, src.c_str(), std_now(), packet.data(), static_cast<int>(packet.size())),
        0);
  }
  // The next response on the listener, waiting up to 5 s.
  Response response() {
    Response r;
    auto end = std::chrono::steady_clock::now() + 5s;
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0, pktid;
    char src[ORBSRCNAME_SIZE];
    while (std::chrono::steady_clock::now() < end) {
      if (orbreap_nd(listener_, &pktid, src, &r.time, &buf, &nbytes, &bufsize) == 0) {
        r.src = src;
        EXPECT_EQ(dlcm_decode(buf, nbytes, &r.text), 1);
        EXPECT_EQ(static_cast<size_t>(nbytes), r.text.size() + 9) << "packet not exact";
        EXPECT_EQ(pfcompile(r.text.c_str(), &r.pf), 0);
        break;
      }
      std::this_thread::sleep_for(1ms);
    }
    free(buf);
    EXPECT_NE(r.pf, nullptr) << "no response";
    return r;
  }
  std::string field(const Response &r, const char *key) {
    const char *v = r.pf ? pfget_string(r.pf, key) : nullptr;
    return v ? v : "(none)";
  }

  ClockScale scale_{0.01};
  TempDir dir_;
  std::string path_, user_;
  int orbcmd_ = -1, orbrsp_ = -1, sender_ = -1, listener_ = -1;
  double started_ = 0;
  Recorder rec_;
  CmdThread *cth_ = nullptr;
};

TEST_F(Service, FilteringAndLogTexts) {
  const std::string posting = "posting command 'start'" + std::string(kFrom);
  const std::string munged = "Munged command 'start'" + std::string(kFrom);
  const std::vector<Event> posted = {{3, posting, ""}, {2, "start", "(none)"}};
  const std::vector<Event> nothing = {};
  struct Case {
    const char *why;
    std::string src;
    std::string extra;
    Sign how;
    std::vector<Event> want;
  } cases[] = {
      {"own target", "q1/pf/dlcm", "", kSigned, posted},
      {"broadcast", "/pf/dlcm", "", kSigned, posted},
      {"broadcast to matching targets", "/pf/dlcm", "targets q.*\n", kSigned, posted},
      {"broadcast to other targets", "/pf/dlcm", "targets x.*\n", kSigned, nothing},
      {"targets match the whole name", "/pf/dlcm", "targets q\n", kSigned, nothing},
      {"targets that do not compile", "/pf/dlcm", "targets (\n", kSigned, nothing},
      {"targets ignored for a named target", "q1/pf/dlcm", "targets x\n", kSigned, posted},
      {"another target", "q2/pf/dlcm", "", kSigned, nothing},
      {"a longer target name", "xq1/pf/dlcm", "", kSigned, nothing},
      {"matching type", "q1/pf/dlcm", "types q330\n", kSigned, posted},
      {"matching types", "/pf/dlcm", "types altus|q3.*\n", kSigned, posted},
      {"another type", "q1/pf/dlcm", "types altus\n", kSigned, nothing},
      {"dlnames",
       "q1/pf/dlcm",
       "dlnames dl1|dl2\n",
       kSigned,
       {{3, posting + " to dl1|dl2", ""}, {2, "start", "dl1|dl2"}}},
      {"unsigned", "q1/pf/dlcm", "", kUnsigned, {{3, munged + "...ignoring", ""}}},
      {"unsigned with dlnames",
       "q1/pf/dlcm",
       "dlnames dl1\n",
       kUnsigned,
       {{3, munged + " to dl1...ignoring", ""}}},
      {"unsigned for another target", "q2/pf/dlcm", "", kUnsigned, nothing},
      {"signed with another key", "q1/pf/dlcm", "", kWrongKey, {{3, munged + "...ignoring", ""}}},
      {"text changed after signing", "q1/pf/dlcm", "", kAltered, {{3, munged + "...ignoring", ""}}},
  };
  for (const Case &c : cases) {
    send(c.src, command_text("start", c.extra), c.how);
    send("q1/pf/dlcm", command_text("sentinel"));
    std::vector<Event> got = rec_.until_command("sentinel");
    ASSERT_FALSE(got.empty()) << c.why;
    got.pop_back();  // the sentinel's own log line
    EXPECT_EQ(got, c.want) << c.why;
  }
}

TEST_F(Service, BadRequestsAreReported) {
  struct Case {
    const char *why;
    std::string text;
    std::string message;
  } cases[] = {
      {"no username", "command start\nhostname h\nip ?\n",
       "cmdthread_run: parse_param(username) error.\n"},
      {"no command", "username u\nhostname h\nip ?\n",
       "cmdthread_run: parse_param(command) error.\n"},
      {"no ip", "command start\nusername u\nhostname h\n",
       "cmdthread_run: parse_param(ip) error.\n"},
      {"types not a text", command_text("start", "types &Arr{\n}\n"),
       "cmdthread_run: parse_param(types) error.\n"},
  };
  for (const Case &c : cases) {
    send("q1/pf/dlcm", c.text);
    send("q1/pf/dlcm", command_text("sentinel"));
    std::vector<Event> got = rec_.until_command("sentinel");
    ASSERT_EQ(got.size(), 2u) << c.why;
    EXPECT_EQ(got[0], (Event{1, c.message, ""})) << c.why;
  }
  // A damaged packet under a command name.
  std::string bad = dlcm("command x\n");
  bad[3] = 100;  // text length past the end
  ASSERT_GE(orbputx(sender_, "q1/pf/dlcm", 1.0, bad.data(), static_cast<int>(bad.size())), 0);
  send("q1/pf/dlcm", command_text("sentinel"));
  std::vector<Event> got = rec_.until_command("sentinel");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], (Event{1, "cmdthread_run: orbpkt2cmdpf() error.\n", ""}));
}

TEST_F(Service, CommandTextsAreDataAndLongOnesAreCut) {
  std::string fmt = "%s%n%x";
  send("q1/pf/dlcm", command_text(fmt));
  std::vector<Event> got = rec_.until_command(fmt);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "posting command '%s%n%x'" + std::string(kFrom));

  std::string long_cmd;
  for (int i = 0; i < 150; i++) long_cmd += static_cast<char>('a' + i % 26);
  send("q1/pf/dlcm", command_text(long_cmd));
  got = rec_.until_command(long_cmd);  // the callback sees it whole
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text, "posting command '" + long_cmd.substr(0, 100) + "...'" + kFrom);

  std::string exactly100(100, 'c');
  send("q1/pf/dlcm", command_text(exactly100));
  got = rec_.until_command(exactly100);
  EXPECT_EQ(got[0].text, "posting command '" + exactly100 + "'" + kFrom);
}

TEST_F(Service, PingtIsAnsweredByTheService) {
  send("q1/pf/dlcm", command_text("pingt", "reply op/pf/rsp\n", "seq1"));
  Response r = response();
  EXPECT_EQ(r.src, "op/pf/rsp");
  std::string pid = std::to_string(getpid());
  EXPECT_EQ(r.text,
            "command pingt\n"
            "sequence seq1\n"
            "sequence_target svchost_" +
                pid +
                "_1\n"
                "target q1\n"
                "type q330\n"
                "tusername " +
                user_ +
                "\n"
                "thostname svchost\n"
                "tip 127.0.0.5\n"
                "tpid " +
                pid +
                "\n"
                "disposition done\n");
  EXPECT_GE(r.time, started_);
  send("q1/pf/dlcm", command_text("sentinel"));
  std::vector<Event> got = rec_.until_command("sentinel");
  EXPECT_EQ(got, (std::vector<Event>{{3, "posting command 'pingt'" + std::string(kFrom), ""},
                                     {3, "posting command 'sentinel'" + std::string(kFrom), ""}}));
  pffree(r.pf);
}

TEST_F(Service, ResponsesCarryTheLatestSignedCommand) {
  Pf *first = nullptr;
  rec_.on_command = [&](CmdThread *, Pf *req) {
    if (!first) first = pfdup(req);
  };
  send("q1/pf/dlcm", command_text("getstatus", "reply op/pf/rsp\n", "seq1"));
  rec_.until_command("getstatus");
  rec_.on_command = nullptr;

  // An unsigned command changes nothing.
  send("q1/pf/dlcm", command_text("quit", "reply op/pf/rsp\n"), kUnsigned);
  std::vector<Event> got = rec_.wait_count(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].text.substr(0, 20), "Munged command 'quit");
  std::string pid = std::to_string(getpid());
  ASSERT_EQ(cmdthread_send_rsp(cth_, first, "dl1", "0100", "tcp", nullptr, "donedl"), 0);
  Response r = response();
  EXPECT_EQ(field(r, "command"), "getstatus");
  EXPECT_EQ(field(r, "sequence_target"), "svchost_" + pid + "_1");
  EXPECT_EQ(field(r, "dlname"), "dl1");
  EXPECT_EQ(field(r, "dlserial"), "0100");
  EXPECT_EQ(field(r, "dlcom"), "tcp");
  EXPECT_EQ(field(r, "disposition"), "donedl");
  pffree(r.pf);
  {
    std::lock_guard<std::mutex> lock(cth_->lock);
    EXPECT_EQ(cth_->cmd_count, 1);
    EXPECT_STREQ(cth_->cmd, "getstatus");
  }

  // A response after a newer command carries the newer command and sequence target, and
  // the older request's sequence.
  send("q1/pf/dlcm", command_text("start", "", "seq2"));
  rec_.until_command("start");
  Pf *status = nullptr;
  ASSERT_EQ(pfcompile("status &Arr{\nup 1\n}\n", &status), 0);
  ASSERT_EQ(cmdthread_send_rsp(cth_, first, nullptr, nullptr, nullptr, status, "done"), 0);
  r = response();
  EXPECT_EQ(field(r, "command"), "start");
  EXPECT_EQ(field(r, "sequence"), "seq1");
  EXPECT_EQ(field(r, "sequence_target"), "svchost_" + pid + "_2");
  char *body = pf2string(status);
  EXPECT_EQ(r.text.substr(r.text.size() - strlen(body)), body);
  EXPECT_EQ(r.text.find("disposition done\n") + strlen("disposition done\n"),
            r.text.size() - strlen(body));
  free(body);
  pffree(r.pf);
  pffree(status);
  pffree(first);
}

// A program that ends from its callback (a "quit" command) destroys the service there:
// the answers it queued, the last one included, are in the ring when that returns, and
// the command thread is not waited for by itself.
TEST_F(Service, ADestroyFromTheCallbackWritesTheQueuedAnswersFirst) {
  constexpr int kAnswers = 25;  // more than the put thread's queue holds
  std::atomic<int> unread{-1};
  ElogCapture cap;
  rec_.on_command = [&](CmdThread *cth, Pf *request) {
    for (int i = 0; i < kAnswers; i++)
      EXPECT_EQ(cmdthread_send_rsp(cth, request, nullptr, nullptr, nullptr, nullptr,
                                   i + 1 < kAnswers ? "pending" : "done"),
                0);
    cmdthread_destroy(cth);
    // What is in the ring now, without waiting.
    int n = 0, pktid = 0, nbytes = 0, bufsize = 0;
    char src[ORBSRCNAME_SIZE], *buf = nullptr;
    double t = 0;
    while (orbreap_nd(listener_, &pktid, src, &t, &buf, &nbytes, &bufsize) == 0) n++;
    free(buf);
    unread = kAnswers - n;
  };
  send("q1/pf/dlcm", command_text("quit", "reply op/pf/rsp\n"));
  rec_.until_command("quit");
  cth_ = nullptr;  // destroyed by the callback
  for (int i = 0; i < 500 && unread.load() < 0; i++) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(unread.load(), 0);
  EXPECT_FALSE(cap.contains("still running")) << cap.text();
}

TEST_F(Service, ResponsesThatAreNotSent) {
  Pf *no_reply = nullptr, *reply = nullptr, *big = nullptr, *long_reply = nullptr;
  ASSERT_EQ(pfcompile("sequence s1\n", &no_reply), 0);
  ASSERT_EQ(pfcompile("sequence s2\nreply op/pf/rsp\n", &reply), 0);
  ASSERT_EQ(pfcompile(("sequence s3\nreply " + std::string(200, 'r') + "\n").c_str(), &long_reply),
            0);
  ASSERT_EQ(pfcompile(("text " + std::string(65450, 'x') + "\n").c_str(), &big), 0);
  // Each failure is printed, never left in a register that nobody reads.
  struct Case {
    const char *why;
    Pf *request;
    Pf *response;
    int rc;
    const char *logged;  // "" for nothing
  } cases[] = {
      {"no reply", no_reply, nullptr, 0, ""},
      {"a response too long", reply, big, -1, "cmdthread_send_rsp: response of "},
      {"a reply of 200 characters", long_reply, nullptr, -1,
       "cmdthread_send_rsp: initrsp() error.\n"},
  };
  for (const Case &c : cases) {
    ElogCapture cap;
    EXPECT_EQ(cmdthread_send_rsp(cth_, c.request, nullptr, nullptr, nullptr, c.response, "done"),
              c.rc)
        << c.why;
    if (*c.logged)
      EXPECT_TRUE(cap.contains(c.logged)) << c.why << ": " << cap.text();
    else
      EXPECT_EQ(cap.text(), "") << c.why;
    EXPECT_EQ(elog_mark(), 0) << c.why;
  }
  pffree(long_reply);

  EXPECT_EQ(cmdthread_send_rsp(cth_, reply, nullptr, nullptr, nullptr, nullptr, "marker"), 0);
  Response r = response();  // the first response on the ring
  EXPECT_EQ(field(r, "disposition"), "marker");
  EXPECT_EQ(field(r, "sequence"), "s2");
  EXPECT_EQ(field(r, "command"), "");
  pffree(r.pf);
  pffree(no_reply);
  pffree(reply);
  pffree(big);
}

// A signed command that cannot be answered still leaves a line in the log.
TEST_F(Service, ACommandWithAReplyOfTwoHundredCharactersIsLogged) {
  ElogCapture cap;
  send("q1/pf/dlcm", command_text("pingt", "reply " + std::string(200, 'r') + "\n"));
  send("q1/pf/dlcm", command_text("sentinel"));
  std::vector<Event> got = rec_.until_command("sentinel");
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(cap.contains("cmdthread_send_rsp: initrsp(pingt) error.\n")) << cap.text();
}

// Replays: what an attacker on the machine can send with the published key. Each case
// is sent after the commands before it; a refused one runs nothing and is answered
// "error" with the reason.
TEST_F(Service, ReplayedAndOutOfDateCommandsAreRefused) {
  // Times relative to the clock are written as each case is sent (the test clock runs
  // fast); a replay sends the first command's bytes again.
  auto cmdtime = [](double offset) {
    char t[32];
    snprintf(t, sizeof t, "%.1f", std_now() + offset);
    return std::string(t);
  };
  auto text = [](const std::string &seq, const std::string &when) {
    std::string t = "command start\n";
    if (!when.empty()) t += "cmdtime " + when + "\n";
    t += "username op\nhostname ophost\nip 127.0.0.9\n";
    if (!seq.empty()) t += "sequence " + seq + "\n";
    return t + "reply op/pf/rsp\n";
  };
  std::string first;
  struct Case {
    const char *why;
    std::string src;
    const char *seq;
    const char *fixed;  // the "cmdtime" text, or none for now + offset
    double offset;
    bool replay;  // the first command's bytes again
    bool runs;
    const char *error;  // the answer's "error" text, for a refusal
  } cases[] = {
      {"the first time", "q1/pf/dlcm", "op_1_1", nullptr, 0, false, true, ""},
      {"the same bytes again", "q1/pf/dlcm", "", nullptr, 0, true, false,
       "sequence op_1_1 already executed: refused"},
      {"the same text re-addressed", "/pf/dlcm", "", nullptr, 0, true, false,
       "sequence op_1_1 already executed: refused"},
      {"the same sequence at another time", "q1/pf/dlcm", "op_1_1", nullptr, -240, false, true, ""},
      {"dated 1970", "q1/pf/dlcm", "op_1_2", "0.0", 0, false, false, "cmdtime 0.0 is "},
      {"dated 2100", "q1/pf/dlcm", "op_1_3", "4102444800.0", 0, false, false,
       "after this machine's time (more than 600 s): refused"},
      {"eleven minutes late", "q1/pf/dlcm", "op_1_4", nullptr, -660, false, false,
       "before this machine's time"},
      {"eleven minutes early", "q1/pf/dlcm", "op_1_5", nullptr, 660, false, false,
       "after this machine's time"},
      {"no cmdtime", "q1/pf/dlcm", "op_1_6", "", 0, false, false,
       "command without cmdtime refused"},
      {"a cmdtime that is no time", "q1/pf/dlcm", "op_1_7", "soon", 0, false, false,
       "cmdtime is not a time: refused"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.why);
    std::string t = c.replay ? first : text(c.seq, c.fixed ? c.fixed : cmdtime(c.offset));
    if (first.empty()) first = t;
    send(c.src, t, kSigned);
    send("q1/pf/dlcm", command_text("sentinel"));
    std::vector<Event> got = rec_.until_command("sentinel");
    bool ran = false;
    for (const Event &e : got) ran = ran || (e.what == 2 && e.text == "start");
    EXPECT_EQ(ran, c.runs);
    if (c.runs) continue;
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].text.rfind("Refused command 'start'" + std::string(kFrom) + ": ", 0), 0u)
        << got[0].text;
    Response r = response();
    EXPECT_EQ(field(r, "disposition"), "error");
    EXPECT_EQ(field(r, "command"), "start");
    EXPECT_NE(field(r, "error").find(c.error), std::string::npos) << field(r, "error");
    pffree(r.pf);
  }
  // Without a sequence there is nothing to answer to: logged only.
  send("q1/pf/dlcm", text("", cmdtime(0)));
  send("q1/pf/dlcm", command_text("sentinel"));
  std::vector<Event> got = rec_.until_command("sentinel");
  ASSERT_FALSE(got.empty());
  EXPECT_NE(got[0].text.find("command without sequence refused"), std::string::npos);
  std::lock_guard<std::mutex> lock(cth_->lock);
  EXPECT_LE(cth_->done.size(), (size_t)CMDTHREAD_SEQUENCES_KEPT);
}

TEST_F(Service, KeepAliveEverySixtySeconds) {
  int ka = orbopen(path_.c_str(), "r");
  ASSERT_GE(ka, 0);
  ASSERT_EQ(orbselect(ka, "q1/pf/dlcm"), 0);
  std::vector<double> times;
  std::string bytes;
  auto end = std::chrono::steady_clock::now() + 5s;
  while (times.size() < 2 && std::chrono::steady_clock::now() < end) {
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0, pktid;
    double t;
    char src[ORBSRCNAME_SIZE];
    if (orbreap_nd(ka, &pktid, src, &t, &buf, &nbytes, &bufsize) == 0) {
      times.push_back(t);
      bytes.assign(buf, static_cast<size_t>(nbytes));
    } else {
      std::this_thread::sleep_for(1ms);
    }
    free(buf);
  }
  orbclose(ka);
  ASSERT_EQ(times.size(), 2u);
  EXPECT_GE(times[0] - started_, 59.0);
  EXPECT_LE(times[0] - started_, 75.0);
  EXPECT_GE(times[1] - times[0], 59.0);
  // The packet library's parameter-file packet of "noop".
  EXPECT_EQ(bytes, std::string("VP\x01\x04\0\0\0\x05noop\n", 13));
  // The command thread reaps it and takes it for no command.
  EXPECT_EQ(rec_.take(), std::vector<Event>{});
}

}  // namespace
