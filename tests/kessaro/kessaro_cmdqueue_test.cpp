// The command queue, the dispatcher and the command answers. Answers go through a real
// command service writing to a ring file in a temporary directory and are read back from
// the reply ring; block words run against the simulated datalogger brought into block
// mode with open_block.
#include "kessaro_cmdqueue.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "altuscomsubs_block.h"
#include "altuscomsubs_console.h"
#include "altuscomsubs_getevents.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "bytestream/fixtures.h"
#include "kessaro_cmdresp.h"
#include "kessaro_hooks.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringsvc/dlcmpkt.h"
#include "support/hostid.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Sim;

namespace {

using namespace std::chrono_literals;

// Dotted addresses as they are; any name is a loopback host.
int fake_forward(const char *name, unsigned *address, std::string *official) {
  in_addr a{};
  *address = inet_pton(AF_INET, name, &a) == 1 ? a.s_addr : htonl(0x7f000005);
  *official = "svchost";
  return 0;
}
int fake_reverse(unsigned, std::string *) { return -1; }
const HostResolver kResolver = {fake_forward, fake_reverse};

int ignore_callback(CmdThread *, void *, int, ...) { return 0; }

struct Answer {
  std::string disposition;
  std::string dlname;
  std::string log;       // the "log" literal, if any
  std::string response;  // the "response" literal or array text, if any
  std::string text;      // the whole packet text
};

// A literal's text as it comes back (its last newline is not kept).
std::string lit(std::string s) {
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

Pf *request(const std::string &text) {
  Pf *pf = nullptr;
  EXPECT_EQ(pfcompile(text.c_str(), &pf), 0) << text;
  return pf;
}

// An external request for sequence `seq` answered on the test's reply source.
std::string ext(const std::string &command, const std::string &seq = "s1",
                const std::string &extra = "") {
  return "command " + command + "\nusername op\nhostname ophost\nsequence " + seq +
         "\nreply op/pf/rsp\n" + extra;
}

// The program record with a command service on a ring file, a link and a datalogger.
struct Service {
  TempDir dir;
  std::string path;
  int orbcmd = -1, orbrsp = -1, listener = -1;
  Kessaro *altus = nullptr;
  Modem *modem = nullptr;
  AltusDatalogger *dl = nullptr;

  // Without the command service nothing is answered (and no thread but the test's
  // touches the clock).
  explicit Service(bool with_service = true) {
    hostid_set_resolver(&kResolver);
    hostid_reset();
    path = dir.file("cmd.ring");
    EXPECT_EQ(orbcreate(path.c_str(), 1 << 20), 0);
    orbcmd = orbopen(path.c_str(), "r");
    orbrsp = orbopen(path.c_str(), "w");
    listener = orbopen(path.c_str(), "r");
    EXPECT_EQ(orbselect(listener, "op/pf/rsp"), 0);
    static Kessaro *shared = kessaro_new();
    altus = shared;
    altus->status_report_now = 0;
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    if (altus->targetname == nullptr) altus->targetname = strdup("kes");
    kessaro_install(altus);
    kessaro_halt = 0;
    if (with_service) {
      altus->cmdthr =
          cmdthread_new(nullptr, orbcmd, orbrsp, "kes", "altus", ignore_callback, nullptr);
      EXPECT_NE(altus->cmdthr, nullptr);
    }
    modem = modem_new();
    modem->name = strdup("tty1");
    modem->userdata = altus;
    kessaro_copytext(modem->devname, "tty1");
    dl = new_dl("dlA");
    dl->connected_modem = modem;
    modem->connected_dl = dl;
  }
  ~Service() {
    cmdthread_destroy(altus->cmdthr);
    altus->cmdthr = nullptr;
    for (int orb : {orbcmd, orbrsp, listener}) orbclose(orb);
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1)
      altuspacket_free(static_cast<AltusPacket *>(item));
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    altus->mtfifo_write = nullptr;
    kessaro_install(nullptr);
    kessaro_halt = 0;
    for (AltusDatalogger *d : dls) {
      clear_command_queue(d, 1, 1);
      altusdatalogger_free(d);
    }
    modem_free(modem);
    if (altus->pending_cmd_arr) {
      freearr(altus->pending_cmd_arr, [](void *t) { freetbl(static_cast<Tbl *>(t), nullptr); });
      altus->pending_cmd_arr = nullptr;
    }
    hostid_set_resolver(nullptr);
    hostid_reset();
    elog_clear_register(0);
  }
  AltusDatalogger *new_dl(const char *name) {
    AltusDatalogger *d = altusdatalogger_new();
    d->target_name = strdup(name);
    d->serial_name = strdup((std::string("ser_") + name).c_str());
    kessaro_copytext(d->model, "K2");
    d->userdata = altus;
    dls.push_back(d);
    return d;
  }

  // The next answer on the reply ring (waits up to 5 s for the service's put thread).
  Answer next() {
    Answer a;
    auto end = std::chrono::steady_clock::now() + 5s;
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0, pktid;
    double t;
    char src[ORBSRCNAME_SIZE];
    while (std::chrono::steady_clock::now() < end) {
      if (orbreap_nd(listener, &pktid, src, &t, &buf, &nbytes, &bufsize) == 0) {
        EXPECT_EQ(dlcm_decode(buf, nbytes, &a.text), 1);
        Pf *pf = nullptr;
        EXPECT_EQ(pfcompile(a.text.c_str(), &pf), 0) << a.text;
        auto str = [&](const char *key) {
          char *s = pfget_string(pf, key);
          return std::string(s ? s : "");
        };
        a.disposition = str("disposition");
        a.dlname = str("dlname");
        a.log = str("log");
        a.response = str("response");
        if (a.response.empty() && a.text.find("response &Arr{") != std::string::npos)
          a.response = a.text.substr(a.text.find("response &Arr{"));
        pffree(pf);
        break;
      }
      std::this_thread::sleep_for(1ms);
    }
    free(buf);
    EXPECT_FALSE(a.disposition.empty()) << "no answer";
    return a;
  }
  // Every answer up to and including the marker, which the test sends last.
  std::vector<Answer> until_marker() {
    Pf *m = request("sequence marker\nreply op/pf/rsp\n");
    altus_cmd_pending(altus, nullptr, m, nullptr, "marker");
    pffree(m);
    std::vector<Answer> out;
    for (int i = 0; i < 200; i++) {
      Answer a = next();
      if (a.disposition.empty() || a.log == "marker") break;
      out.push_back(a);
    }
    return out;
  }
  std::vector<std::string> dispositions() {
    std::vector<std::string> out;
    for (auto &a : until_marker()) out.push_back(a.disposition);
    return out;
  }
  // The last final answer among those up to the marker.
  Answer final_answer() {
    Answer last;
    for (auto &a : until_marker())
      if (a.disposition != "pending") last = a;
    return last;
  }
  std::vector<AltusDatalogger *> dls;
};

// ---- answers ----

TEST(AltusCmdResp, FinalDispositionFollowsThePendingList) {
  Service s;
  AltusDatalogger *a = s.dl, *b = s.new_dl("dlB"), *c = s.new_dl("dlC");
  ASSERT_EQ(pending_cmd_add(s.altus, "s1", {a, b, c}), 0);
  EXPECT_EQ(pending_cmd_add(s.altus, "s1", {a}), -1);
  Pf *req = request(ext("status"));
  altus_cmd_done(s.altus, a, req, 0, nullptr, nullptr);
  altus_cmd_pending(s.altus, b, req, nullptr, "working %d", 1);
  EXPECT_EQ(pending_cmd_list(s.altus, "s1"), (std::vector<AltusDatalogger *>{b, c}));
  altus_cmd_error(s.altus, b, req, 0, "failed %s", "here");
  altus_cmd_pending(s.altus, c, req, nullptr, nullptr);
  altus_cmd_done(s.altus, c, req, 0, nullptr, nullptr);
  EXPECT_EQ(pending_cmd_has(s.altus, "s1"), 0);
  auto got = s.until_marker();
  ASSERT_EQ(got.size(), 5u);
  std::vector<std::string> disp;
  for (auto &x : got) disp.push_back(x.disposition);
  EXPECT_EQ(disp, (std::vector<std::string>{"donedl", "pending", "errordl", "pending", "done"}));
  EXPECT_EQ(got[0].dlname, "dlA");
  EXPECT_EQ(got[1].log, "working 1");
  EXPECT_EQ(got[2].log, "failed here");
  pffree(req);
}

TEST(AltusCmdResp, EdgeCases) {
  Service s;
  AltusDatalogger *a = s.dl, *b = s.new_dl("dlB"), *stranger = s.new_dl("dlX");
  {
    SCOPED_TRACE("internal requests get nothing");
    ASSERT_EQ(pending_cmd_add(s.altus, "s1", {a, b}), 0);
    Pf *req = request(ext("status", "s1", "internal_only 1\n"));
    altus_cmd_done(s.altus, a, req, 0, nullptr, "x");
    altus_cmd_error(s.altus, a, req, 1, "x");
    altus_cmd_pending(s.altus, a, req, nullptr, "x");
    altus_cmd_done_response_string(s.altus, a, req, 0, "x");
    altus_cmd_done_response_pfstring(s.altus, a, req, 0, "k v\n");
    EXPECT_TRUE(s.until_marker().empty());
    EXPECT_EQ(pending_cmd_list(s.altus, "s1").size(), 2u);
    pffree(req);
  }
  {
    SCOPED_TRACE("a datalogger not in the list");
    Pf *req = request(ext("status", "s1"));
    altus_cmd_done(s.altus, stranger, req, 0, nullptr, nullptr);
    altus_cmd_error(s.altus, stranger, req, 0, nullptr);
    EXPECT_EQ(s.dispositions(), (std::vector<std::string>{"donedl", "errordl"}));
    EXPECT_EQ(pending_cmd_list(s.altus, "s1"), (std::vector<AltusDatalogger *>{a, b}));
    SCOPED_TRACE("the callback's own error for a sequence pending for another request");
    // Final for its requester, who would otherwise wait for answers that never come.
    altus_cmd_error(s.altus, nullptr, req, 1, "sequence already in use");
    EXPECT_EQ(s.dispositions(), (std::vector<std::string>{"error"}));
    EXPECT_EQ(pending_cmd_list(s.altus, "s1").size(), 2u);
    pffree(req);
  }
  {
    SCOPED_TRACE("done flag for a sequence not pending; no sequence");
    Pf *req = request(ext("status", "s9"));
    altus_cmd_error(s.altus, nullptr, req, 1, "bad");
    altus_cmd_done(s.altus, nullptr, req, 0, nullptr, nullptr);
    EXPECT_EQ(s.dispositions(), (std::vector<std::string>{"error", "donedl"}));
    Pf *noseq = request("command status\nreply op/pf/rsp\n");
    EXPECT_EQ(get_done(s.altus, a, noseq, 0), -1);
    pffree(noseq);
    pffree(req);
  }
  {
    SCOPED_TRACE("a response tree comes before the text");
    Pf *req = request(ext("x", "s9"));
    Pf *resp = request("k v");
    altus_cmd_done(s.altus, nullptr, req, 1, resp, "t%d", 1);
    altus_cmd_pending(s.altus, nullptr, req, resp, "p");
    auto got = s.until_marker();
    ASSERT_EQ(got.size(), 2u);
    for (auto &g : got) {
      Pf *pf = request(g.text);
      const char *k = pfget_string(pf, "k");
      EXPECT_STREQ(k ? k : "", "v") << g.text;
      pffree(pf);
    }
    EXPECT_EQ(got[0].log, "t1");
    EXPECT_EQ(got[1].log, "p");
    pffree(resp);
    pffree(req);
  }
  {
    SCOPED_TRACE("long texts are cut; text passed as data");
    Pf *req = request(ext("dir", "s9"));
    std::string big(9000, 'x');
    altus_cmd_done_response_string(s.altus, nullptr, req, 1, "%s", big.c_str());
    std::string loglong(2000, 'y');
    altus_cmd_pending(s.altus, nullptr, req, nullptr, "%s", loglong.c_str());
    altus_cmd_done_response_pfstring(s.altus, nullptr, req, 1, "%s", "a 1\nb %d\n");
    auto got = s.until_marker();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].response, std::string(8191, 'x'));
    EXPECT_EQ(got[1].log, std::string(1023, 'y'));
    EXPECT_NE(got[2].response.find("b %d"), std::string::npos) << got[2].text;
    pffree(req);
  }
}

// ---- the queue ----

std::vector<std::string> queued_commands(AltusDatalogger *dl) {
  std::vector<std::string> out;
  for (;;) {
    Pf *pf = nullptr;
    pop_command_queue(dl, &pf);
    if (!pf) break;
    char *c = pfget_string(pf, "command");
    out.push_back(c ? c : "");
    pffree(pf);
  }
  return out;
}

TEST(AltusCmdQueue, OrderClearAndCount) {
  Service s;
  AltusDatalogger *dl = s.dl;
  ASSERT_EQ(pending_cmd_add(s.altus, "e1", {dl}), 0);
  ASSERT_EQ(pending_cmd_add(s.altus, "e2", {dl, s.new_dl("dlB")}), 0);
  for (auto [text, internal] : std::vector<std::pair<std::string, int>>{
           {ext("status", "e1"), 0},
           {"command strstart\ndatalogger_target dlA\n", 1},
           {ext("getparams", "e2"), 0},
           {"command getevents\ndatalogger_target dlA\n", 1}}) {
    Pf *pf = request(text);
    ASSERT_EQ(post_command_queue(dl, pf, internal), 0);
    pffree(pf);
  }
  pushtbl(dl->commands, strdup("command &Arr{\n"));  // a text that no longer compiles
  EXPECT_EQ(number_command_queue(dl, 0), 5);
  Pf *first = nullptr;
  peek_command_queue(dl, &first);
  ASSERT_NE(first, nullptr);
  EXPECT_STREQ(pfget_string(first, "command"), "status");
  pffree(first);
  EXPECT_EQ(number_command_queue(dl, 0), 5);

  EXPECT_EQ(clear_command_queue(dl, 1, 0), 0);
  EXPECT_EQ(number_command_queue(dl, 1), 2);
  // The dropped external requests no longer wait for this datalogger.
  EXPECT_EQ(pending_cmd_has(s.altus, "e1"), 0);
  EXPECT_EQ(pending_cmd_list(s.altus, "e2").size(), 1u);
  EXPECT_EQ(queued_commands(dl), (std::vector<std::string>{"strstart", "getevents"}));
  EXPECT_TRUE(s.until_marker().empty());  // dropped requests get no answer

  // Order of service, and the lock only tried.
  for (const char *c : {"one", "two", "three"}) {
    Pf *pf = request(ext(c, "o"));
    post_command_queue(dl, pf, 0);
    pffree(pf);
  }
  std::promise<void> locked, release;
  std::thread holder([&] {
    std::lock_guard<KessaroMutex> g(dl->command_mutex);
    locked.set_value();
    release.get_future().wait();
  });
  locked.get_future().wait();
  EXPECT_EQ(number_command_queue(dl, 1), -1);
  release.set_value();
  holder.join();
  EXPECT_EQ(number_command_queue(dl, 1), 3);  // the lock was left free
  EXPECT_EQ(queued_commands(dl), (std::vector<std::string>{"one", "two", "three"}));
  pushtbl(dl->commands, strdup("x &Tbl{\n"));
  Pf *none = reinterpret_cast<Pf *>(1);
  pop_command_queue(dl, &none);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(number_command_queue(dl, 0), 0);
}

TEST(AltusCmdQueue, PostCommandChecksItsKeys) {
  Service s;
  ElogCapture log;
  for (auto [missing, text] : std::vector<std::pair<const char *, const char *>>{
           {"command", "post_command: parse_param(command) error"},
           {"username", "post_command: parse_param(tusername) error"},
           {"hostname", "post_command: parse_param(thostname) error"}}) {
    SCOPED_TRACE(missing);
    std::string t = ext("status", "p");
    size_t at = t.find(std::string(missing) + " ");
    t.erase(at, t.find('\n', at) - at + 1);
    Pf *pf = request(t);
    altus_post_command(s.altus, s.dl, pf);
    pffree(pf);
    auto a = s.until_marker();
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].disposition, "errordl");  // not pending, done flag 0
    EXPECT_EQ(a[0].log, text);
    EXPECT_TRUE(log.contains(std::string(text) + "."));
  }
  EXPECT_EQ(number_command_queue(s.dl, 0), 0);
  Pf *pf = request(ext("status", "p"));
  altus_post_command(s.altus, s.dl, pf);
  pffree(pf);
  auto a = s.until_marker();
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].disposition, "pending");
  EXPECT_EQ(a[0].log, "Posting command 'status' from op at ophost to dlA");
  EXPECT_EQ(number_command_queue(s.dl, 0), 1);
}

// A flood of remote requests for a datalogger no link holds: the queue keeps the first
// ALTUS_CMDQUEUE_MAX, every further one is answered as an error saying why, and the
// complaint is logged once per fill. Requests the program posts itself still go in.
TEST(AltusCmdQueue, AFloodedQueueIsBoundedAndTheRestAnsweredError) {
  Service s;
  s.dl->connected_modem = nullptr;
  s.modem->connected_dl = nullptr;
  ElogCapture log;
  const int flood = ALTUS_CMDQUEUE_MAX + 50;
  for (int i = 0; i < flood; i++) {
    Pf *pf = request(ext("status", "f" + std::to_string(i)));
    altus_post_command(s.altus, s.dl, pf);
    pffree(pf);
  }
  std::map<std::string, int> by;
  int refusals = 0;
  for (auto &a : s.until_marker()) {
    by[a.disposition]++;
    refusals +=
        a.log == "post_command: command queue of dlA full (100 requests) - 'status' refused";
  }
  EXPECT_EQ(by["pending"], ALTUS_CMDQUEUE_MAX);
  EXPECT_EQ(by["errordl"], 50);
  EXPECT_EQ(refusals, 50);
  EXPECT_EQ(number_command_queue(s.dl, 0), ALTUS_CMDQUEUE_MAX);
  const std::string complaint = "post_command: command queue of dlA full (100 requests)";
  auto complaints = [&] {
    int n = 0;
    for (const std::string &l : log.lines()) n += l.find(complaint) != std::string::npos;
    return n;
  };
  EXPECT_EQ(complaints(), 1);
  // The program's own requests are not refused.
  Pf *internal = request("datalogger_target dlA\ncommand strstart\n");
  EXPECT_EQ(post_command_queue(s.dl, internal, 1), 0);
  pffree(internal);
  EXPECT_EQ(number_command_queue(s.dl, 0), ALTUS_CMDQUEUE_MAX + 1);
  // Room again: a request is queued, and the next fill complains once more.
  for (int i = 0; i < 2; i++) {
    Pf *got = nullptr;
    pop_command_queue(s.dl, &got);
    pffree(got);
  }
  for (int i = 0; i < 3; i++) {
    Pf *pf = request(ext("status", "g" + std::to_string(i)));
    altus_post_command(s.altus, s.dl, pf);
    pffree(pf);
  }
  by.clear();
  for (auto &a : s.until_marker()) by[a.disposition]++;
  EXPECT_EQ(by["pending"], 1);
  EXPECT_EQ(by["errordl"], 2);
  EXPECT_EQ(complaints(), 2);
}

// Driven clock that posts a request when the time passes a mark (the "arrival").
struct PostingClock {
  double t = 1000.0;
  double post_at = 0;
  AltusDatalogger *dl = nullptr;
  int sleeps = 0;
  ClockDriver driver{[](void *u) { return static_cast<PostingClock *>(u)->t; },
                     [](void *u) { return static_cast<PostingClock *>(u)->t; },
                     [](double sec, void *u) {
                       auto *c = static_cast<PostingClock *>(u);
                       c->t += sec;
                       c->sleeps++;
                       if (c->post_at > 0 && c->t >= c->post_at) {
                         c->post_at = 0;
                         Pf *pf = nullptr;
                         pfcompile("command strdisable\n", &pf);
                         post_command_queue(c->dl, pf, 1);
                         pffree(pf);
                       }
                     },
                     this};
  PostingClock() { clock_set_driver(&driver); }
  ~PostingClock() { clock_set_driver(nullptr); }
};

TEST(AltusCmdQueue, DelayHangup) {
  Service s(false);
  ElogCapture log;
  {
    SCOPED_TRACE("no new request: the link is kept 10 s");
    PostingClock clk;
    clk.dl = s.dl;
    s.dl->stream_status = STRSTATUS_RUNNING;
    Pf *pf = request("command strpause\ndelayhangup 10\n");
    post_command_queue(s.dl, pf, 1);
    pffree(pf);
    EXPECT_EQ(process_commands(s.altus, s.dl), 1);
    EXPECT_EQ(clk.t, 1010.0);
    EXPECT_EQ((int)s.dl->stream_status, STRSTATUS_PAUSING);
  }
  {
    SCOPED_TRACE("a request arriving after 3 s is served within the next second");
    PostingClock clk;
    clk.dl = s.dl;
    clk.post_at = 1003.0;
    s.dl->stream_status = STRSTATUS_RUNNING;
    Pf *pf = request("command strpause\ndelayhangup 10\n");
    post_command_queue(s.dl, pf, 1);
    pffree(pf);
    EXPECT_EQ(process_commands(s.altus, s.dl), 2);
    EXPECT_LE(clk.t, 1004.0);
    EXPECT_EQ(number_command_queue(s.dl, 0), 0);
  }
  {
    SCOPED_TRACE("the delay as command packets write it, in hundredths");
    PostingClock clk;
    clk.dl = s.dl;
    Pf *pf = request("command strpause\ndelayhangup 2.50\n");
    post_command_queue(s.dl, pf, 1);
    pffree(pf);
    EXPECT_EQ(process_commands(s.altus, s.dl), 1);
    EXPECT_EQ(clk.t, 1003.0);
    pf = request("command strpause\ndelayhangup 0.00\n");
    post_command_queue(s.dl, pf, 1);
    pffree(pf);
    EXPECT_EQ(process_commands(s.altus, s.dl), 1);
    EXPECT_FALSE(log.contains("parse_param(delayhangup)"));
  }
  {
    SCOPED_TRACE("a malformed delay is complained about and ignored");
    PostingClock clk;
    Pf *pf = request("command strpause\ndelayhangup soon\n");
    post_command_queue(s.dl, pf, 1);
    pffree(pf);
    EXPECT_EQ(process_commands(s.altus, s.dl), 1);
    EXPECT_EQ(clk.sleeps, 0);
    EXPECT_TRUE(log.contains("process_commands: parse_param(delayhangup) error."));
  }
  EXPECT_EQ(process_commands(s.altus, nullptr), 0);
}

// ---- dispatcher words that need no link traffic ----

TEST(AltusDispatch, StreamChangeByState) {
  Service s;
  ElogCapture log;
  struct Case {
    int state;
    const char *disposition;  // of the final answer
    int pause_to, disable_to;
  } cases[] = {
      {STRSTATUS_IDLE, "error", STRSTATUS_IDLE, STRSTATUS_IDLE},
      {STRSTATUS_POSTED, "error", STRSTATUS_POSTED, STRSTATUS_POSTED},
      {STRSTATUS_NOCHANNELS, "error", STRSTATUS_NOCHANNELS, STRSTATUS_NOCHANNELS},
      {STRSTATUS_STARTING, "done", STRSTATUS_PAUSING, STRSTATUS_DISABLING},
      {STRSTATUS_RUNNING, "done", STRSTATUS_PAUSING, STRSTATUS_DISABLING},
      {STRSTATUS_STOPPING, "done", STRSTATUS_PAUSING, STRSTATUS_DISABLING},
      {STRSTATUS_FLUSHED, "done", STRSTATUS_PAUSING, STRSTATUS_DISABLING},
      {STRSTATUS_PAUSING, "done", STRSTATUS_PAUSING, STRSTATUS_PAUSING},
      {STRSTATUS_DISABLING, "done", STRSTATUS_DISABLING, STRSTATUS_DISABLING},
  };
  for (const auto &c : cases) {
    for (const char *word : {"strpause", "strdisable"}) {
      SCOPED_TRACE(std::string(word) + " in state " + std::to_string(c.state));
      s.dl->stream_status = static_cast<AltusStreamState>(c.state);
      s.dl->auto_stream = 1;
      s.altus->status_report_now = 0;
      ASSERT_EQ(pending_cmd_add(s.altus, "sc", {s.dl}), 0);
      Pf *pf = request(ext(word, "sc"));
      process_command(s.altus, s.dl, pf);
      pffree(pf);
      Answer a = s.final_answer();
      EXPECT_EQ(a.disposition, c.disposition);
      if (a.disposition == "error") {
        EXPECT_EQ(a.log, lit("process_command: streaming not running\n"));
      }
      EXPECT_EQ((int)s.dl->stream_status,
                std::string(word) == "strpause" ? c.pause_to : c.disable_to);
      EXPECT_EQ(s.dl->auto_stream, 0);
      EXPECT_EQ((int)s.altus->status_report_now, 1);
      EXPECT_EQ(pending_cmd_has(s.altus, "sc"), 0);  // the sequence is free again
    }
  }
}

TEST(AltusDispatch, BadRequests) {
  Service s;
  ElogCapture log;
  struct Case {
    const char *text;
    bool connected;
    const char *answer;
  } cases[] = {
      {"username op\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: parse_param(command) error"},
      {"command \"\"\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: splitlist() error.\n"},
      {"command status\nsequence b\nreply op/pf/rsp\n", false,
       "process_command: Datalogger disconnected for command command status"},
      {"command frobnicate\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: Unrecognized command 'frobnicate'.\n"},
      {"command ping\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: parse_param(ping) error for command 'ping'.\n"},
      {"command mcmd\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: parse_param(mcmd) error for command 'mcmd'.\n"},
      {"command setparams p\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: parse_param(p) error for command 'setparams'.\n"},
      {"command getevents\nsequence b\nreply op/pf/rsp\n", true,
       "process_command: getevents() error."},
      {"command strauto\nsequence b\nreply op/pf/rsp\n", true,
       "getstream0: no datalogger connected.\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    s.dl->connected_modem = c.connected ? s.modem : nullptr;
    pending_cmd_add(s.altus, "b", {s.dl});
    Pf *pf = request(c.text);
    process_command(s.altus, s.dl, pf);
    pffree(pf);
    Answer a = s.final_answer();
    EXPECT_EQ(a.disposition, "error");
    EXPECT_EQ(a.log, lit(c.answer));
  }
  EXPECT_EQ(s.dl->auto_stream, 1);  // "strauto" turned it on before streaming
  s.dl->connected_modem = s.modem;
}

// ---- dispatcher words against the simulated datalogger ----

Bytes header_bytes(float latitude) {
  AltusSimHeaderValues v;
  v.numbers["rw_misc.latitude"] = latitude;
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_header(0, 1, v, &out), 0);
  return Bytes(out.begin(), out.end());
}

// The clock 100 times faster, from before the service starts until after it ended: its
// threads wait to deadlines of the fast clock, which the real clock (behind it once the
// scale is reset) would put minutes away.
struct FastClock {
  ClockScale scale{0.01};
};

// The service plus a link to the simulator in block mode, the clock 100 times faster.
struct Linked : FastClock, Service {
  Recorder rec;
  Sim sim;
  Record buf;

  Linked() {
    sim.set_params(header_bytes(12.5f));
    int port = sim.listen_tcp();
    sim.start();
    // Answers wait 300 s of the fast clock (3 s of real time): the simulator's thread
    // answers within them however busy the machine.
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 4096, 300000, 300000, 3, nullptr,
                                         nullptr, Recorder::log, &rec, nullptr, nullptr, nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    buf->rverbose = 0;
    modem->buf_handle = buf.get();
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(buf.get(), "tty1", &vp, modem, dl, nullptr, &got, 0, 0, 0), 0);
  }
  ~Linked() {
    modem->buf_handle = nullptr;
    buf.reset();
    sim.stop();
  }
  std::vector<int> sent() {
    std::vector<int> v;
    for (auto &c : sim.commands()) v.push_back(c.first);
    return v;
  }
  // Runs one request and gives every answer it produced.
  std::vector<Answer> run(const std::string &text) {
    pending_cmd_add(altus, "b", {dl});
    Pf *pf = request(text);
    process_command(altus, dl, pf);
    pffree(pf);
    return until_marker();
  }
};

Answer last_final(const std::vector<Answer> &v) {
  Answer last;
  for (auto &a : v)
    if (a.disposition != "pending") last = a;
  return last;
}

bool has_pending(const std::vector<Answer> &v, const std::string &log) {
  for (auto &a : v)
    if (a.disposition == "pending" && a.log == lit(log)) return true;
  return false;
}

TEST(AltusDispatch, BlockWords) {
  Linked s;
  ElogCapture log;
  {
    SCOPED_TRACE("status");
    for (const char *w : {"status", "getstatus"}) {
      auto got = s.run(ext(w, "b"));
      EXPECT_TRUE(has_pending(got, "waiting in command queue..."));
      Answer a = last_final(got);
      EXPECT_EQ(a.disposition, "done");
      EXPECT_EQ(a.response.rfind("Altus status:\n     systemTime: 1000000 - ", 0), 0u)
          << a.response;
      EXPECT_NE(a.response.find("   serialNumber: 1234\n         events: 2\n"), std::string::npos);
      EXPECT_EQ(s.dl->status.serialNumber, 1234);
      EXPECT_GT(s.dl->status_time, 0);
    }
  }
  {
    SCOPED_TRACE("acqstop then acqstart, each reading the status");
    s.dl->stream_status = STRSTATUS_RUNNING;
    s.dl->status_time = 0;
    size_t before = s.sent().size();
    EXPECT_EQ(last_final(s.run(ext("acqstop", "b"))).disposition, "done");
    EXPECT_FALSE(s.sim.acquiring());
    EXPECT_EQ((int)s.dl->stream_status, STRSTATUS_DISABLING);
    EXPECT_EQ(last_final(s.run(ext("acqstart", "b"))).disposition, "done");
    EXPECT_TRUE(s.sim.acquiring());
    auto sent = s.sent();
    EXPECT_EQ(std::vector<int>(sent.begin() + (long)before, sent.end()),
              (std::vector<int>{PKC_ACQSTOP, PKC_GETSTATUS, PKC_ACQSTART, PKC_GETSTATUS}));
    EXPECT_GT(s.dl->status_time, 0);
  }
  {
    SCOPED_TRACE("getparams, lstatus, ping");
    Answer a = last_final(s.run(ext("getparams", "b")));
    EXPECT_EQ(a.disposition, "done");
    EXPECT_EQ(a.response.rfind("response &Arr{", 0), 0u);
    EXPECT_EQ(s.dl->last_params.rw_misc.latitude, 12.5f);
    Answer l = last_final(s.run(ext("lstatus", "b")));
    EXPECT_EQ(l.disposition, "done");
    EXPECT_GT(l.response.size(), a.response.size());
    Answer p = last_final(s.run(ext("ping", "b", "string hello there\n")));
    EXPECT_EQ(p.disposition, "done");
    EXPECT_EQ(p.response, "hello there");
  }
  {
    SCOPED_TRACE("a refused GETPARAMS is the word's error");
    s.sim.fail_getparams(1);
    Answer a = last_final(s.run(ext("getconfig", "b")));
    EXPECT_EQ(a.disposition, "error");
    EXPECT_EQ(a.log, lit("process_command: process_command(ALTUS_PKC_GETPARAMS,tty1) error.\n"));
  }
}

TEST(AltusDispatch, FunctionalTest) {
  Linked s;
  ElogCapture log;
  s.sim.set_script(PKC_FT, {128, {{PKC_FT, 1}, {PKC_FT, 1}, {PKC_FT, 0}}, {}});
  EXPECT_EQ(last_final(s.run(ext("ft", "b"))).disposition, "done");
  // "ftgetevents" listens for 20 s, then downloads (the datalogger holds no event here).
  double start = clock_now();
  auto got = s.run(ext("ftgetevents", "b"));
  EXPECT_GT(clock_now() - start, 20.0);
  EXPECT_TRUE(has_pending(got, "ft successfully processed"));
  EXPECT_EQ(last_final(got).disposition, "done");
  // A refused FT ends the request with the word's error and no download.
  got = s.run(ext("ftgetevents", "b"));
  EXPECT_FALSE(has_pending(got, "ft successfully processed"));
  EXPECT_EQ(last_final(got).log, "process_command: process_command(ALTUS_PKC_FT,tty1) error.");
}

TEST(AltusDispatch, SetParams) {
  Linked s;
  ElogCapture log;
  const std::string arr = "p &Arr{\nmisc_latitude 34.5\n}\n";
  {
    SCOPED_TRACE("read-back fails twice, then succeeds");
    // GETPARAMS occurrences: 1 inside the setting, 2 read-back (refused), 3 inside the
    // second setting, 4 read-back (refused), 5 and 6 the third round.
    s.sim.fail_getparams(0, {2, 4});
    auto got = s.run(ext("setparams p", "b", arr));
    Answer a = last_final(got);
    EXPECT_EQ(a.disposition, "done");
    int retries = 0;
    for (auto &x : got)
      if (x.log ==
          lit("process_command: process_command(ALTUS_PKC_GETPARAMS,tty1) error...retrying\n"))
        retries++;
    EXPECT_EQ(retries, 2);
    int getparams = 0, setparams = 0;
    for (int c : s.sent()) {
      getparams += c == PKC_GETPARAMS;
      setparams += c == PKC_SETPARAMS;
    }
    EXPECT_EQ(getparams, 6);  // the setting was sent three times
    EXPECT_EQ(setparams, 1);  // only the first changed anything
    EXPECT_EQ(s.dl->last_params.rw_misc.latitude, 34.5f);
    EXPECT_NE(a.response.find("misc_latitude 3.4500000e+01"), std::string::npos) << a.response;
  }
  {
    SCOPED_TRACE("read-back fails three times");
    s.sim.fail_getparams(0, {2, 4, 6});
    Answer a = last_final(s.run(ext("setparams p", "b", arr)));
    EXPECT_EQ(a.disposition, "error");
    EXPECT_EQ(a.log, lit("process_command: process_command(ALTUS_PKC_GETPARAMS,tty1) error.\n"));
  }
  {
    SCOPED_TRACE("parameters that do not parse");
    Answer a = last_final(s.run(ext("setparams p", "b", "p &Arr{\nstrm_sps many\n}\n")));
    EXPECT_EQ(a.disposition, "error");
    EXPECT_EQ(a.log.rfind("process_command: process_command(ALTUS_PKC_SETPARAMS,tty1) BADPARAMS "
                          "error.\nprocess_command: ",
                          0),
              0u)
        << a.log;
    EXPECT_NE(a.log.find("strm_sps"), std::string::npos);
  }
  {
    SCOPED_TRACE("refused by the datalogger");
    s.sim.refuse_setparams(true, "locked");
    Answer a = last_final(s.run(ext("setparams p", "b", "p &Arr{\nmisc_latitude 1.5\n}\n")));
    EXPECT_EQ(a.disposition, "error");
    EXPECT_EQ(a.log, lit("process_command: process_command(ALTUS_PKC_SETPARAMS,tty1) error.\n"));
  }
}

TEST(AltusDispatch, ConsoleWords) {
  {
    Linked s;
    ElogCapture log;
    s.sim.set_console_reply("echo hi", "hi there");
    auto got = s.run(ext("mcmd", "b", "string echo hi\n"));
    EXPECT_TRUE(has_pending(got, "initiate monitormode...\n"));
    Answer a = last_final(got);
    EXPECT_EQ(a.disposition, "done");
    EXPECT_NE(a.response.find("hi there"), std::string::npos) << a.response;
  }
  {
    Linked s;
    ElogCapture log;
    s.sim.set_restart_seconds(5);
    Answer a = last_final(s.run(ext("reboot", "b")));
    EXPECT_EQ(a.disposition, "done");
    EXPECT_EQ(a.response, lit("reboot successfully processed\n"));
    EXPECT_EQ(s.sim.restarts(), 1);
    EXPECT_EQ(s.modem->cmd, nullptr);
  }
  {
    Linked s;
    ElogCapture log;
    s.sim.set_console_reply("wipedisk A:", "no such thing", false);
    Answer a = last_final(s.run(ext("erase A:", "b")));
    EXPECT_EQ(a.disposition, "error");
    EXPECT_EQ(a.log, lit("process_command: serialbuf_read_until() error\n"));
  }
}

}  // namespace

// ---- event download and file words ----

Bytes evt_bytes(int start) {
  AltusSimEvtPlan plan;
  plan.sample_bytes = 3;
  plan.start_time = static_cast<uint32_t>(start);
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_file(plan, &out), 0);
  return Bytes(out.begin(), out.end());
}

void put_be(Bytes &b, uint32_t v, int n) {
  for (int i = n - 1; i >= 0; i--) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

// A PKR_EVENTSUMMARY payload of three channels matching evt_bytes(start).
Bytes summary_bytes(int start) {
  Bytes b;
  put_be(b, 3, 2);          // nchan
  put_be(b, 24, 2);         // a2dBits
  put_be(b, 0, 2);          // flags
  put_be(b, 100, 2);        // sps
  put_be(b, 200, 4);        // nscans
  put_be(b, start + 1, 4);  // triggerTime
  put_be(b, 0, 2);
  put_be(b, start, 4);  // startTime
  put_be(b, 0, 2);
  put_be(b, 1, 4);  // triggerBitMap
  put_be(b, 7, 4);  // channelBitMap
  for (int c = 0; c < 3; c++) {
    put_be(b, 1000, 4);
    put_be(b, 10, 4);
    put_be(b, static_cast<uint32_t>(-1000), 4);
    put_be(b, 20, 4);
    float f = 1.25f;
    uint32_t u;
    memcpy(&u, &f, 4);
    put_be(b, u, 4);
    f = 2.5f;
    memcpy(&u, &f, 4);
    put_be(b, u, 4);
    put_be(b, 1, 2);
    for (int k = 0; k < 6; k++) b.push_back(0);
  }
  return b;
}

AltusDirTree entry(const char *path, double time, int size, int processed) {
  AltusDirTree e{};
  snprintf(e.pathname, sizeof e.pathname, "%s", path);
  e.time = time;
  e.size = size;
  e.event = 1;
  e.processed = processed;
  return e;
}

void set_files(AltusDatalogger *dl, const std::vector<AltusDirTree> &v) {
  free(dl->files);
  dl->files = static_cast<AltusDirTree *>(malloc(v.size() * sizeof(AltusDirTree) + 1));
  memcpy(dl->files, v.data(), v.size() * sizeof(AltusDirTree));
  dl->files_size = static_cast<int>(v.size());
}

constexpr double kAltusEpoch = 315532800.0;

TEST(AltusEvents, RebuiltListKeepsStateOnlyForTheSameFile) {
  Linked s;
  Bytes e1 = evt_bytes(1000), e2 = evt_bytes(2000);
  s.sim.add_file("A:\\E2.EVT", e2, 0x20, 2000);
  s.sim.add_file("A:\\E1.EVT", e1, 0x20, 1000);
  s.sim.add_dir("A:\\TMP");
  s.sim.add_file("A:\\TMP\\E3.EVT", e1, 0x20, 3000);
  s.sim.add_file("B:\\E4.EVT", e1, 0x20, 4000);
  s.dl->status.driveStatus[1] = 0x0400 | 0x0001;  // B: not ready, with another bit
  // E1 is the same file as before; E2 reuses a deleted file's name with a new size.
  set_files(s.dl, {entry("A:\\E1.EVT", kAltusEpoch + 1000, (int)e1.size(), 2),
                   entry("A:\\E2.EVT", kAltusEpoch + 2000, 100, 2)});
  unsigned char seq = 0;
  ASSERT_EQ(get_dirtree(s.dl, s.modem, nullptr, nullptr, 0, &seq, nullptr, nullptr), 0);
  ASSERT_EQ(s.dl->files_size, 2);
  EXPECT_STREQ(s.dl->files[0].pathname, "A:\\E1.EVT");  // oldest first
  EXPECT_EQ(s.dl->files[0].processed, 2);
  EXPECT_STREQ(s.dl->files[1].pathname, "A:\\E2.EVT");
  EXPECT_EQ(s.dl->files[1].processed, 0);
  EXPECT_EQ(s.dl->files[1].size, (int)e2.size());
  AltusDirTree a = entry("x", 5, 0, 0), b = entry("y", 6, 0, 0);
  EXPECT_EQ(altusdirt_compare(&a, &b), -1);
  EXPECT_EQ(altusdirt_compare(&b, &a), 1);
  EXPECT_EQ(altusdirt_compare(&a, &a), 0);
}

TEST(AltusEvents, EqualCountsWithNothingLeftEndAtOnce) {
  Linked s;
  s.dl->last_events_count = 2;  // the simulator reports 2
  s.dl->alarm = 1;
  size_t before = s.sent().size();
  EXPECT_EQ(getevents(s.modem, 1, nullptr), 0);
  EXPECT_EQ((int)s.dl->alarm, 0);
  EXPECT_EQ((int)s.dl->getevents_status, 0);
  std::vector<int> sent = s.sent();
  EXPECT_EQ(std::vector<int>(sent.begin() + before, sent.end()), (std::vector<int>{PKC_GETSTATUS}));
}

TEST(AltusEvents, DownloadsSummarisesAndSkipsShortFiles) {
  Linked s;
  Bytes e1 = evt_bytes(1000);
  s.sim.add_file("A:\\E1.EVT", e1, 0x20, 1000);
  s.sim.add_file("A:\\SHORT.EVT", Bytes(100, 1), 0x20, 500);
  s.sim.set_script(PKC_GETEVENTSUMMARY, {PKR_EVENTSUMMARY, {summary_bytes(1000)}, {}});
  s.dl->last_events_count = 0;
  s.dl->status.driveStatus[1] = 0x0400;
  EXPECT_EQ(getevents(s.modem, 1, nullptr), 0);
  ASSERT_EQ(s.dl->files_size, 2);
  EXPECT_STREQ(s.dl->files[0].pathname, "A:\\SHORT.EVT");
  EXPECT_EQ(s.dl->files[0].processed, 0);
  EXPECT_EQ(s.dl->files[1].processed, 2);
  EXPECT_EQ(s.dl->last_events_count, 2);
  EXPECT_EQ(s.dl->stat.nevents_transfered, 1);
  // The short file was never summarised, on either pass.
  std::vector<int> sent = s.sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), (int)PKC_GETEVENTSUMMARY), 1);
  // The file went to the output whole; the short one is passed over on both passes.
  bool found = false;
  int skipped = 0;
  void *item = nullptr;
  while (pmtfifo_pop(s.altus->mtfifo_write, &item) == 1) {
    AltusPacket *p = static_cast<AltusPacket *>(item);
    if (p->type == ALTUSPKT_EVTFILE) {
      found = true;
      EXPECT_EQ(Bytes(p->data, p->data + p->nbytes), e1);
    }
    const char *text = reinterpret_cast<char *>(p->data);
    if (p->type == ALTUSPKT_LOG && strstr(text, "SHORT.EVT ") &&
        strstr(text, " No event info...skipping"))
      skipped++;
    altuspacket_free(p);
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(skipped, 2);
}

TEST(AltusEvents, GeteventsWhileOneRunsIsPendingThenDone) {
  Linked s;
  s.dl->getevents_status = GETEVENTS_RUNNING;
  size_t before = s.sent().size();
  auto got = s.run(ext("getevents", "b"));
  EXPECT_TRUE(has_pending(got, "process_command: getevents already running"));
  EXPECT_EQ(last_final(got).disposition, "done");
  EXPECT_EQ(s.sent().size(), before);  // nothing asked of the datalogger
  EXPECT_EQ((int)s.dl->getevents_status, 3);
}

TEST(AltusFileWords, DirListsWithOneSeparatorAndNoFiles) {
  Linked s;
  s.sim.add_dir("A:\\D", 0x10, 100);
  s.sim.add_dir("A:\\EMPTY", 0x10, 100);
  s.sim.add_file("A:\\D\\E1.EVT", Bytes(10, 0), 0x20, 100);
  s.sim.add_dir("A:\\D\\SUB", 0x10, 100);
  Answer a = last_final(s.run("command dir A:/D/\nsequence b\nreply op/pf/rsp\n"));
  EXPECT_EQ(a.disposition, "done");
  EXPECT_NE(a.response.find("A:\\D\\E1.EVT "), std::string::npos) << a.response;
  EXPECT_NE(a.response.find("A:\\D\\SUB "), std::string::npos) << a.response;
  EXPECT_EQ(a.response.find("SUB."), std::string::npos) << a.response;
  a = last_final(s.run("command dir A:/EMPTY\nsequence b\nreply op/pf/rsp\n"));
  EXPECT_EQ(a.response, "no files");
}

TEST(AltusFileWords, DeltreeKeepsYoungFilesAndNeverDrives) {
  Linked s;
  s.sim.add_dir("A:\\D", 0x10, 100);
  s.sim.add_file("A:\\D\\OLD.EVT", Bytes(10, 0), 0x20, 100);
  s.sim.add_file("A:\\D\\NEW.EVT", Bytes(10, 0), 0x20, 900000000);
  auto got = s.run("command deltree A:/D 2000-01-01\nsequence b\nreply op/pf/rsp\n");
  EXPECT_FALSE(s.sim.exists("A:\\D\\OLD.EVT"));
  EXPECT_TRUE(s.sim.exists("A:\\D\\NEW.EVT"));
  EXPECT_TRUE(s.sim.exists("A:\\D"));
  EXPECT_EQ(last_final(got).disposition, "done");
  got = s.run("command deltree A:/\nsequence b\nreply op/pf/rsp\n");
  EXPECT_FALSE(s.sim.exists("A:\\D\\NEW.EVT"));
  Answer a = last_final(got);
  EXPECT_EQ(a.disposition, "error");
  EXPECT_EQ(a.log, lit("process_command: Cannot delete drive A:\\\n"));
}

TEST(AltusEvents, DamagedAndUnopenableFiles) {
  struct Case {
    const char *name;
    bool corrupt, refuse;
    int opens;  // OPENFILE requests of the whole call
    int processed, status;
  } cases[] = {
      // Read again once, then given up for good.
      {"corrupt", true, false, 2, 3, 0},
      // The listing keeps naming a file the datalogger cannot open: three rebuilds, then
      // the file waits for the next call, which the status asks for.
      {"cannot open", false, true, 5, 1, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Linked s;
    AltusSimEvtPlan plan;
    plan.start_time = 1000;
    if (c.corrupt) plan.bad_frame_sum = 1;
    std::vector<uint8_t> file;
    ASSERT_EQ(altussim_evt_file(plan, &file), 0);
    s.sim.add_file("A:\\E1.EVT", Bytes(file.begin(), file.end()), 0x20, 1000);
    s.sim.set_script(PKC_GETEVENTSUMMARY, {PKR_EVENTSUMMARY, {summary_bytes(1000)}, {}});
    if (c.refuse) s.sim.refuse_open(true);
    s.dl->status.driveStatus[1] = 0x0400;
    EXPECT_EQ(getevents(s.modem, 1, nullptr), 0);
    ASSERT_EQ(s.dl->files_size, 1);
    EXPECT_EQ(s.dl->files[0].processed, c.processed);
    EXPECT_EQ((int)s.dl->getevents_status, c.status);
    std::vector<int> sent = s.sent();
    EXPECT_EQ(std::count(sent.begin(), sent.end(), (int)PKC_OPENFILE), c.opens);
  }
}

TEST(AltusFileWords, EvtinfotreeSkipsShortFilesAndReportsFailedSummaries) {
  Linked s;
  kessaro_copytext(s.dl->model, "MtWhitney");
  s.sim.add_file("A:\\SHORT.EVT", Bytes(2700, 0), 0x20, 100);  // under 2752 bytes
  s.sim.add_file("A:\\E2.EVT", Bytes(3000, 0), 0x20, 200);     // no summary to be had
  auto got = s.run("command evtinfotree A:/\nsequence b\nreply op/pf/rsp\n");
  std::vector<int> sent = s.sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), (int)PKC_GETEVENTSUMMARY), 2);
  int retries = 0;
  bool errors = false;
  for (auto &a : got) {
    if (a.log.find("error...retrying") != std::string::npos) retries++;
    if (a.log.find("dlA_A:/E2.EVT &Arr{") != std::string::npos &&
        a.log.find("get_block(ALTUS_PKC_GETEVENTSUMMARY) error") != std::string::npos)
      errors = true;
  }
  EXPECT_EQ(retries, 2);
  EXPECT_TRUE(errors);
  EXPECT_EQ(last_final(got).disposition, "done");
}
