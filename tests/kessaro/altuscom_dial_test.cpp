// Dial-in and dial-out against the simulated datalogger behind its line: a caller on a
// TCP-server connection or on a pseudo-terminal, a datalogger answering calls on a
// loopback port, and a scripted modem on a pseudo-terminal. The clock runs 100 times
// faster.
#include "altuscom_dial.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "altuscom_link_fixture.h"
#include "altuscomsubs_connect.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altuscomthread.h"
#include "altussim_dial.h"
#include "base/elog.h"
#include "base/pf.h"
#include "bytestream/fixtures.h"
#include "kessaro_cmdresp.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringsvc/dlcmpkt.h"
#include "support/hostid.h"

using altussim::CallScript;
using altussim::Drop;
using altussim::Line;
using altussim::Sim;

namespace {

using namespace std::chrono_literals;

// These tests look for and count the lines of calls that come seconds apart (moments, on
// the fast clock), many more a minute than the field sees: every flood gate lets them all
// through, so that no verdict depends on how many of them a minute of the machine's pace
// holds. The gates have tests of their own.
class OpenFloodGates : public ::testing::Environment {
 public:
  void SetUp() override { elog_flood_open_all(1); }
};
[[maybe_unused]] ::testing::Environment *const kOpenFloodGates =
    ::testing::AddGlobalTestEnvironment(new OpenFloodGates);

int count_of(const std::string &text, const std::string &needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

// Waits (real time, at most 30 s) until the log holds `needle` `times` times.
bool wait_log(const ElogCapture &log, const std::string &needle, int times = 1) {
  auto end = std::chrono::steady_clock::now() + 30s;
  while (std::chrono::steady_clock::now() < end) {
    if (count_of(log.text(), needle) >= times) return true;
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

void queue(AltusDatalogger *dl, const char *command) {
  Pf *req = pfnew(PFARR);
  pfput_string(req, "datalogger_target", dl->target_name);
  pfput_string(req, "command", command);
  post_command_queue(dl, req, 1);
  pffree(req);
}

int count_cmd(Sim *sim, int code) {
  if (sim == nullptr) return 0;
  auto v = sim_commands(*sim);
  return (int)std::count(v.begin(), v.end(), code);
}

struct DialProgram : LinkProgram {
  DialProgram() {
    free(altus->connect_listen_string);
    free(altus->connect_response_string);
    altus->connect_listen_string = strdup("RING\r\n");
    altus->connect_response_string = strdup("CONNECT\r\n");
  }
  ~DialProgram() {
    free(altus->connect_listen_string);
    free(altus->connect_response_string);
    altus->connect_listen_string = altus->connect_response_string = nullptr;
  }
};

// A TCP-server link that takes one caller, as the server thread does: the accepted
// connection gets its own link record, on which modem_listen runs. Its time-outs are 100 s
// of the fast clock, 1 s of real time: the caller's thread speaks and answers within them
// however busy the machine.
struct ServerCall : DialProgram {
  static constexpr int kTimeout = 100;
  Modem *server = nullptr;
  bsfix::Record listening;

  ServerCall() {
    server = link("srv", 3);
    server->dialin = 1;
    server->timeout = server->timeout_connect = server->timeout_control = kTimeout;
    listening.reset(serialbuf_create_tcpserver(0, 1024, kTimeout * 1000, kTimeout * 1000, 2,
                                               idle_callback, server, log_callback, server, nullptr,
                                               datarate_callback, server));
    EXPECT_EQ(serialbuf_open(listening.get()), 0);
  }
  int port() { return bsfix::bound_port(listening->fdserver); }

  // Lets `line` call in and serves the call; returns the connection's link (owned here).
  Modem *serve(Line &line, const CallScript &script) {
    EXPECT_EQ(line.call_tcp(port(), script), 0);
    SerialBuf *client = serialbuf_connect_tcpserver(listening.get());
    EXPECT_NE(client, nullptr);
    Modem *conn = altuscom_modem_copy(server);
    free(conn->name);
    conn->name = strdup("srv_V001");
    conn->buf_handle = client;
    kessaro_copytext(conn->devname, "tcps:listen");
    client->userdata1 = client->userdata2 = client->userdata4 = conn;
    links.push_back(conn);
    modem_listen(conn);
    EXPECT_EQ(conn->buf_handle, nullptr) << "the connection is closed at the end";
    return conn;
  }
};

Line::Setup identity(const std::string &model, int serial) {
  return [=](Sim &s) { sim_identity(s, model, serial); };
}

// ---- the banner ----

TEST(AltusDialin, BannerValues) {
  struct Case {
    const char *model_text, *serial_text;
    int rc;
    const char *model;
    int serial;
  } cases[] = {
      {"Altus Etna", "01234", 0, "Etna", 1234},
      {"ROCK", "7", 0, "ROCK", 7},
      {"Altus K2", "1234", 0, "K2", 1234},
      {"Altus MtWhitney1234567890", "1", -1, "", 0},  // 24 characters: over the field
      {"Altus K2", "12a4", -1, "", 0},
      {"Altus K2", "", -1, "", 0},
      {"Altus K2", "1234567890123456", -1, "", 0},  // 16 characters
      {"Altus K2", "99999999999", -1, "", 0},       // no int
      {"Altus K2", "-5", -1, "", 0},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(std::string(k.model_text) + " / " + k.serial_text);
    char model[32] = "";
    int serial = 0;
    EXPECT_EQ(altuscom_banner_values(k.model_text, k.serial_text, model, sizeof model, &serial),
              k.rc);
    if (k.rc == 0) {
      EXPECT_STREQ(model, k.model);
      EXPECT_EQ(serial, k.serial);
    }
  }
  char tag[32];
  EXPECT_EQ(make_dlserial(nullptr, "Etna", 1234, tag), 0);
  EXPECT_STREQ(tag, "E1234");
}

// ---- dial-in over a TCP-server connection ----

TEST(AltusDialin, TcpServerCallerIdentifiedOpenedAndItsRequestsRun) {
  ServerCall p;
  AltusDatalogger *dl = p.datalogger("dlE", "E1234", "Etna", 1234);
  queue(dl, "status");
  Line line(identity("Etna", 1234));
  CallScript s;
  s.model = "Altus Etna";
  s.serial = "01234";
  ElogCapture log;
  Modem *conn = p.serve(line, s);
  EXPECT_TRUE(log.contains("MODEM RSP: Received dial string...")) << log.text();
  EXPECT_TRUE(log.contains("MODEM RSP: Model = Etna"));
  EXPECT_TRUE(log.contains("MODEM RSP: Serial no. = 1234"));
  EXPECT_TRUE(log.contains("MODEM RSP: Connecting to datalogger dlE"));
  EXPECT_TRUE(line.heard().find("CONNECT\r\n") != std::string::npos) << line.heard();
  EXPECT_EQ(number_command_queue(dl, 0), 0) << "the queued request ran before the close";
  // GETSTATUS: the block-mode check, the opening, and the "status" request.
  EXPECT_EQ(count_cmd(line.sim(1), 3), 3);
  EXPECT_EQ(dl->status.serialNumber, 1234);
  EXPECT_GT(dl->last_connection_attempt_time, 0);
  EXPECT_EQ(dl->connected_modem, nullptr);
  EXPECT_EQ(conn->connected_dl, nullptr);
  EXPECT_EQ(dl->com_mode, 0);
  EXPECT_FALSE(datalogger_connection_held(dl));
}

TEST(AltusDialin, TcpServerRefusals) {
  struct Case {
    const char *name;
    const char *model, *serial;  // banner
    bool taken;                  // the datalogger is connected on another link
    const char *line;
  } cases[] = {
      {"unknown serial", "Altus Etna", "4321", false,
       "modem_listen: Unrecognized datalogger serial number 'E4321'."},
      {"unknown model", "Altus Nanga", "1234", false, "modem_listen: make_dlserial() error."},
      {"serial not a number", "Altus Etna", "12x4", false,
       "modem_listen: serialbuf_read_until_parse(SERIAL) error."},
      {"model over its field", "Altus Etna_with_a_long_name", "1234", false,
       "modem_listen: serialbuf_read_until_parse(MODEL) error."},
      {"connected on another link", "Altus Etna", "1234", true,
       "modem_listen: Datalogger 'dlE' already connected."},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlE", "E1234", "Etna", 1234);
    Modem *other = p.link("tcp2", 2);
    if (k.taken) dl->connected_modem = other;
    queue(dl, "status");
    Line line(identity("Etna", 1234));
    CallScript s;
    s.model = k.model;
    s.serial = k.serial;
    ElogCapture log;
    p.serve(line, s);
    EXPECT_TRUE(log.contains(k.line)) << log.text();
    EXPECT_EQ(count_cmd(line.sim(1), 3), 0) << "no block mode";
    EXPECT_EQ(number_command_queue(dl, 0), 1) << "its requests are left alone";
    EXPECT_EQ(dl->connected_modem, k.taken ? other : nullptr);
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

TEST(AltusDialin, EventDetectedSkipsTheBannerAndIdentifiesInBlockMode) {
  ServerCall p;
  AltusDatalogger *dl = p.datalogger("dlE", "E1234", "Etna", 1234);
  Line line(identity("Etna", 1234));
  CallScript s;
  s.event_detected = true;
  ElogCapture log;
  p.serve(line, s);
  EXPECT_TRUE(log.contains("Connection to datalogger appears to be already active")) << log.text();
  EXPECT_FALSE(log.contains("MODEM RSP: Model ="));
  EXPECT_STREQ(dl->verparams.model, "Etna");
  EXPECT_GT(dl->status_time, 0);
  EXPECT_GT(dl->last_params_time, 0);
  EXPECT_FALSE(datalogger_connection_held(dl));
}

// ---- events, with the simulator's own event files ----

constexpr uint32_t kT0 = 1262304000u - 315532800u;  // 2010-01-01 as Altus time
const char *const kEventPaths[] = {"A:\\DATA\\EV0001.EVT", "A:\\DATA\\EV0002.EVT",
                                   "A:\\DATA\\EV0003.EVT"};

// A K2 holding its first `n` events on A:, in both byte orders and sample widths 2 to 4.
Line::Setup with_events(int n) {
  return [n](Sim &s) {
    sim_identity(s, "K2", 1234);
    for (int k = 0; k < n; k++) {
      AltusSimEvtPlan plan;
      plan.sample_bytes = 2 + k % 3;
      plan.bigendian = k % 2;
      plan.nchannels = 3;
      plan.sps = 100;
      plan.frame_scans = {100, 50};
      plan.start_time = kT0 + 3600u * (uint32_t)k;
      EXPECT_EQ(s.add_event(kEventPaths[k], plan), 0);
    }
  };
}

// The event files handed to the output since the last call, by path (the other queued
// elements are dropped).
std::map<std::string, altussim::Bytes> handed_files(Kessaro *altus) {
  std::map<std::string, altussim::Bytes> out;
  void *item = nullptr;
  while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
    auto *pkt = static_cast<AltusPacket *>(item);
    if (pkt->type == ALTUSPKT_EVTFILE && pkt->pathname != nullptr) {
      out[pkt->pathname] = altussim::Bytes(pkt->data, pkt->data + pkt->nbytes);
    }
    altuspacket_free(pkt);
  }
  return out;
}

std::vector<int> processed_states(const AltusDatalogger *dl) {
  std::vector<int> v;
  for (int i = 0; i < dl->files_size; i++) v.push_back(dl->files[i].processed);
  return v;
}

// A "status" dial-in downloads when the event count changed, lists the files when they were
// never listed, and otherwise leaves the files alone.
TEST(AltusDialin, StatusCallDownloadsTheEventsOfAChangedCount) {
  struct Case {
    const char *name;
    int last_count;
    double last_listing;
    int handed;
    std::vector<int> states;
    const char *line;
  } cases[] = {
      {"count changed", 0, 1.0, 2, {2, 2}, "event count changed from 0 to 2: processing getevents"},
      {"count unchanged", 2, 1.0, 0, {}, nullptr},
      {"never listed", 2, 0.0, 0, {0, 0}, "NULL last_listing_time: processing getevents"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    dl->auto_getevents = 1;
    dl->last_events_count = k.last_count;
    dl->last_listing_time = k.last_listing;
    Line line(with_events(2));
    ElogCapture log;
    p.serve(line, CallScript{});
    if (k.line != nullptr) {
      EXPECT_TRUE(log.contains(k.line)) << log.text();
    } else {
      EXPECT_FALSE(log.contains("processing getevents")) << log.text();
    }
    auto files = handed_files(p.altus);
    ASSERT_EQ((int)files.size(), k.handed);
    for (auto &f : files) EXPECT_EQ(f.second, line.sim(1)->file_data(f.first)) << f.first;
    EXPECT_EQ(processed_states(dl), k.states);
    EXPECT_EQ(dl->last_events_count, 2);
    EXPECT_EQ(dl->getevents_status, 0);
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

// The dial-in commands besides "status".
TEST(AltusDialin, DialinCommandsRunOnTheOpenedConnection) {
  struct Case {
    const char *cmd;
    const char *line;
    int stream_status;
  } cases[] = {
      // No channel is streamed: the stream ends at once with its sample rate set to 0.
      {"strstart", "modem_listen: processing strstart command.", STRSTATUS_NOCHANNELS},
      {"getevents", "modem_listen: processing getevents command.", STRSTATUS_IDLE},
      {"restart", "modem_listen: Cannot recognize dialin_cmd 'restart'.", STRSTATUS_IDLE},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.cmd);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    free(dl->dialin_cmd);
    dl->dialin_cmd = strdup(k.cmd);
    Line line(with_events(1));
    ElogCapture log;
    p.serve(line, CallScript{});
    EXPECT_TRUE(log.contains(k.line)) << log.text();
    EXPECT_GT(dl->last_params_time, 0);
    EXPECT_EQ(dl->stream_status.v, k.stream_status);
    EXPECT_EQ(handed_files(p.altus).size(), strcmp(k.cmd, "getevents") == 0 ? 1u : 0u);
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

// A failed "getevents" dial-in download opens the connection anew for the next try; at the
// last try it gives up.
TEST(AltusDialin, FailedDownloadRetriesOnAFreshOpening) {
  struct Case {
    const char *name;
    int failures;  // summary answers lost before one comes through
    int retries, openings, handed;
  } cases[] = {
      {"second try downloads", 2, 1, 2, 1},  // the link's two tries lost
      {"every try fails", 100, 1, 2, 0},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    free(dl->dialin_cmd);
    dl->dialin_cmd = strdup("getevents");
    Line line([&](Sim &s) {
      with_events(1)(s);
      for (int n = 1; n <= k.failures; n++) s.add_fault({27, n, altussim::Fault::DROP});
    });
    ElogCapture log;
    p.server->maxtries = 2;
    p.serve(line, CallScript{});
    std::string dev = "tcps:listen";
    EXPECT_EQ(count_of(log.text(), "modem_listen: getevents(" + dev + ") error...retrying."),
              k.retries)
        << log.text();
    EXPECT_EQ(count_of(log.text(), "modem_listen: getevents(" + dev + ") error.\n"), 1 - k.handed);
    EXPECT_EQ(line.sim(1)->escapes(), k.openings);
    EXPECT_EQ(handed_files(p.altus).size(), (size_t)k.handed);
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

// The opening's results a dial-in handles itself: a second caller's ring during the
// opening (tried again), and a connection that is no longer active after a pending
// reboot (not tried again).
TEST(AltusDialin, OpeningInterruptedOrNoLongerActive) {
  struct Case {
    const char *name;
    bool ring, reboot;
    int maxtries;
    const char *line;
    int openings;
    bool opened;
  } cases[] = {
      {"ring, tried again", true, false, 2, ") interrupted by attempt to dialin.", 2, true},
      {"ring at the last try", true, false, 1, ") interrupted by attempt to dialin.", 1, false},
      {"reboot", false, true, 2, ") error: Connection no longer active.", 1, false},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    dl->reboot = k.reboot ? 1 : 0;
    p.server->maxtries = k.maxtries;
    Line line([&](Sim &s) {
      sim_identity(s, "K2", 1234);
      if (k.ring) s.escape_answer(1, "\r\nRING\r\n");
    });
    ElogCapture log;
    Modem *conn = p.serve(line, CallScript{});
    EXPECT_TRUE(log.contains(std::string("modem_listen: opendl(tcps:listen") + k.line))
        << log.text();
    EXPECT_EQ(line.sim(1)->escapes(), k.openings);
    EXPECT_EQ(line.sim(1)->restarts(), k.reboot ? 1 : 0);
    EXPECT_EQ(dl->reboot, 0) << "a pending reboot is used once";
    EXPECT_EQ(conn->dialin_pending, k.ring ? 1 : 0);
    EXPECT_EQ(dl->last_params_time > 0, k.opened);
    EXPECT_EQ(dl->connected_modem, nullptr);
    EXPECT_EQ(dl->com_mode, 0);
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

// Once an opening that failed has given the datalogger's lock back, another link may take
// the datalogger: the caller's queued requests are then that link's to serve, not run by
// the failed call on the other link's connection. Nobody else taking it, they are answered.
struct TakenAt {
  std::string line;  // the log line at which another link takes the datalogger
  AltusDatalogger *dl = nullptr;
  Modem *other = nullptr;
  std::promise<void> taken, release;
  std::thread taker;
  static void sink(const std::string &text, void *user) {
    auto *t = static_cast<TakenAt *>(user);
    if (text.find(t->line) == std::string::npos || t->taker.joinable()) return;
    t->taker = std::thread([t] {
      lock_datalogger_connection(t->dl, "other link", 0);
      t->dl->connected_modem = t->other;
      t->taken.set_value();
      t->release.get_future().wait();
      t->dl->connected_modem = nullptr;
      unlock_datalogger_connection(t->dl, "other link");
    });
    t->taken.get_future().wait();
  }
};

TEST(AltusDialin, FailedOpeningLeavesTheRequestsOfADataloggerTakenMeanwhile) {
  for (bool taken : {true, false}) {
    SCOPED_TRACE(taken ? "taken by another link" : "not taken");
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    Modem *other = p.link("dlK_tcp", 2);
    queue(dl, "status");
    Line line([](Sim &s) {
      sim_identity(s, "K2", 1234);
      s.escape_answer(1, "\r\nRING\r\n");
    });
    TakenAt t;
    t.line = taken ? "modem_listen: opendl(tcps:listen) interrupted" : "never logged";
    t.dl = dl;
    t.other = other;
    elog_set_sink(TakenAt::sink, &t);
    p.serve(line, CallScript{});
    elog_set_sink(nullptr, nullptr);
    EXPECT_EQ(t.taker.joinable(), taken);
    EXPECT_EQ(number_command_queue(dl, 0), taken ? 1 : 0);
    EXPECT_EQ(dl->connected_modem, taken ? other : nullptr);
    EXPECT_EQ(count_cmd(line.sim(1), 3), 0) << "nothing ran on the line";
    if (t.taker.joinable()) {
      t.release.set_value();
      t.taker.join();
    }
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

TEST(AltusDialin, LineDropsInEveryPhaseEndTheCallCleanly) {
  struct Case {
    Drop where;
    const char *line;
  } cases[] = {
      {Drop::AFTER_LISTEN, "modem_listen: serialbuf_send_modem_string() error."},
      {Drop::AFTER_RESPONSE, "modem_listen: serialbuf_send_modem_string() error."},
      {Drop::IN_BANNER, "modem_listen: serialbuf_read_until_parse(SERIAL) error."},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.line);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    queue(dl, "status");
    Line line(identity("K2", 1234));
    line.drop(k.where);
    ElogCapture log;
    p.serve(line, CallScript{});
    EXPECT_TRUE(log.contains(k.line)) << log.text();
    EXPECT_EQ(number_command_queue(dl, 0), 1);
    EXPECT_EQ(dl->com_mode, 0);
    EXPECT_FALSE(datalogger_connection_held(dl));
  }
}

// The banner names one datalogger, block mode shows another: the connection belongs to the
// one block mode identified, claimed like any caller, and the banner's is let go.
TEST(AltusDialin, BlockModeIdentityOverridesTheBanner) {
  ServerCall p;
  AltusDatalogger *named = p.datalogger("dlK", "K1234", "K2", 1234);
  AltusDatalogger *real = p.datalogger("dlE", "E1234", "Etna", 1234);
  Line line(identity("Etna", 1234));
  CallScript s;  // the banner says K2
  ElogCapture log;
  p.serve(line, s);
  EXPECT_TRUE(log.contains("MODEM RSP: Connecting to datalogger dlK")) << log.text();
  EXPECT_STREQ(real->verparams.model, "Etna");
  EXPECT_GT(real->last_params_time, 0);
  EXPECT_EQ(named->last_params_time, 0);
  EXPECT_EQ(named->com_mode, 0);
  EXPECT_EQ(named->connected_modem_status, nullptr);
  EXPECT_FALSE(datalogger_connection_held(named));
  EXPECT_FALSE(datalogger_connection_held(real));
}

// A caller from a new address moves its datalogger's own TCP-client link there; that link
// takes the address over on its own thread. A link configured without a port ("-", -1)
// takes the caller's port; one with a port keeps it.
TEST(AltusDialin, NewCallerAddressIsHandedToTheDataloggersOwnLink) {
  struct Case {
    int port;
  } cases[] = {{-1}, {5000}};
  for (const auto &k : cases) {
    SCOPED_TRACE(k.port);
    ServerCall p;
    AltusDatalogger *dl = p.datalogger("dlE", "E1234", "Etna", 1234);
    Modem *own = p.link("dlE_tcp", 2);
    own->ipaddr = strdup("10.1.2.3");
    own->port = k.port;
    kessaro_copytext(own->com, "tcp:10.1.2.3:x:dlE_tcp");
    dl->single_modem = own;
    dl->accept_pocs_from_dialin = 1;
    Line line(identity("Etna", 1234));
    CallScript s;
    s.model = "Altus Etna";
    ElogCapture log;
    p.serve(line, s);
    EXPECT_STREQ(own->ipaddr, "10.1.2.3") << "not before the link's own thread takes it";
    EXPECT_EQ(own->reset_ipaddress, 1);
    std::thread link_thread([&] { EXPECT_EQ(altuscom_apply_address(own), 1); });
    link_thread.join();
    EXPECT_STREQ(own->ipaddr, "127.0.0.1");
    if (k.port >= 0)
      EXPECT_EQ(own->port, k.port);
    else
      EXPECT_GT(own->port, 0) << "the caller's port";
    char expect[200];
    snprintf(expect, sizeof expect,
             "modem_listen: Change in datalogger dlE ipaddress - resetting from 10.1.2.3:%d to "
             "127.0.0.1:%d.",
             k.port, own->port);
    EXPECT_TRUE(log.contains(expect)) << log.text();
    EXPECT_EQ(std::string(own->com), "tcp:127.0.0.1:" + std::to_string(own->port) + ":dlE_tcp");
    EXPECT_EQ(own->reset_ipaddress, 0);
    EXPECT_EQ(altuscom_apply_address(own), 0);
    SCOPED_TRACE("the same caller again changes nothing");
    EXPECT_EQ(altuscom_post_address(own, "127.0.0.1", -1, nullptr), 0);
  }
}

// ---- dial-in on a pseudo-terminal ----

struct PtyCall : DialProgram {
  bsfix::Pty pty;
  Modem *modem = nullptr;
  PtyCall() {
    modem = link("tty1", 1);
    modem->dev = strdup(pty.path.c_str());
    modem->dialin = 1;
  }
};

TEST(AltusDialin, PtyCallerServedThenUnknownCallerRefusedAndListenedForAgain) {
  {
    SCOPED_TRACE("served, and with test on the link leaves after it");
    PtyCall p;
    ASSERT_TRUE(p.pty.ok());
    AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
    p.modem->test = 1;
    Line line(identity("K2", 1234));
    ElogCapture log;
    auto done = std::async(std::launch::async, [&] { return modem_listen(p.modem); });
    ASSERT_TRUE(wait_log(log, "MODEM RSP: Listening for dial string..."));
    line.call_fd(p.pty.master, CallScript{});
    EXPECT_EQ(done.get(), 0);
    EXPECT_TRUE(log.contains("MODEM RSP: Model = K2")) << log.text();
    EXPECT_TRUE(
        log.contains("opening connection to " + p.pty.path + ":bd=9600:to=5.0:toctrl=5.0:listen"))
        << log.text();
    EXPECT_EQ(p.modem->mode, 1);
    EXPECT_EQ(dl->status.serialNumber, 1234);
    EXPECT_EQ(dl->connected_modem, nullptr);
    EXPECT_EQ(p.modem->buf_handle, nullptr);
  }
  {
    SCOPED_TRACE("unknown: refused, listened for again, until interrupted");
    PtyCall p;
    ASSERT_TRUE(p.pty.ok());
    p.datalogger("dlK", "K1234", "K2", 1234);
    Line line(identity("K2", 99));
    ElogCapture log;
    auto done = std::async(std::launch::async, [&] { return modem_listen(p.modem); });
    ASSERT_TRUE(wait_log(log, "MODEM RSP: Listening for dial string..."));
    CallScript s;
    s.serial = "99";
    line.call_fd(p.pty.master, s);
    ASSERT_TRUE(wait_log(log, "MODEM RSP: Listening for dial string...", 2)) << log.text();
    EXPECT_TRUE(log.contains("modem_listen: Unrecognized datalogger serial number 'K99'."));
    p.modem->interrupt = 1;
    EXPECT_EQ(done.get(), 0);
    EXPECT_TRUE(log.contains("interrupted")) << log.text();
  }
}

// A TCP-client link listening for callers: it connects to the terminal server in front of
// the datalogger and waits there for the call.
TEST(AltusDialin, TcpClientLinkConnectsAndIsCalledOnItsConnection) {
  DialProgram p;
  AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
  Modem *m = p.link("tcp1", 2);
  m->dialin = 1;
  m->test = 1;
  Line line(identity("K2", 1234));
  int port = line.answer_tcp_dialin(CallScript{});
  ASSERT_GT(port, 0);
  m->ipaddr = strdup("127.0.0.1");
  m->port = port;
  queue(dl, "status");
  ElogCapture log;
  EXPECT_EQ(modem_listen(m), 0);
  EXPECT_TRUE(log.contains("opening connection to ip=127.0.0.1:pt=" + std::to_string(port) +
                           ":to=5.0:toctrl=5.0:listen"))
      << log.text();
  EXPECT_TRUE(log.contains("MODEM RSP: Received dial string..."));
  EXPECT_TRUE(log.contains("MODEM RSP: Connecting to datalogger dlK"));
  EXPECT_NE(line.heard().find("CONNECT\r\n"), std::string::npos) << line.heard();
  EXPECT_EQ(line.connections(), 1);
  EXPECT_EQ(dl->status.serialNumber, 1234);
  EXPECT_GT(dl->last_params_time, 0);
  EXPECT_EQ(number_command_queue(dl, 0), 0) << "its request ran before the close";
  EXPECT_EQ(m->buf_handle, nullptr);
  EXPECT_EQ(dl->connected_modem, nullptr);
  EXPECT_FALSE(datalogger_connection_held(dl));
}

// The same call from the simulator program's terminal-server mode, as its options set it.
TEST(AltusDialin, SimulatorProgramCallsInOnTheConnectionsItAnswers) {
  DialProgram p;
  AltusDatalogger *dl = p.datalogger("dlE", "E1234", "Etna", 1234);
  Modem *m = p.link("tcp1", 2);
  m->dialin = 1;
  m->test = 1;
  m->ipaddr = strdup("127.0.0.1");
  m->port = bsfix::free_port();
  std::string port = std::to_string(m->port);
  const char *args[] = {"altussim",   "-dialin-answer", port.c_str(), "-banner-model",
                        "Altus Etna", "-banner-serial", "01234"};
  int argc = (int)(sizeof args / sizeof args[0]);
  altussim::DialOptions o;
  for (int i = 1; i < argc; i++) {
    ASSERT_TRUE(altussim::altussim_dial_option(argc, const_cast<char **>(args), &i, &o)) << i;
  }
  std::atomic<bool> stop{false};
  auto sim = std::async(std::launch::async, [&] {
    return altussim::altussim_dial_run(o, identity("Etna", 1234), &stop);
  });
  ElogCapture log;
  // Until the simulator listens the opening fails and is tried again a minute later.
  EXPECT_EQ(modem_listen(m), 0);
  stop = true;
  EXPECT_EQ(sim.get(), 0);
  EXPECT_TRUE(log.contains("MODEM RSP: Model = Etna")) << log.text();
  EXPECT_TRUE(log.contains("MODEM RSP: Connecting to datalogger dlE"));
  EXPECT_STREQ(dl->verparams.model, "Etna");
  EXPECT_GT(dl->last_params_time, 0);
  EXPECT_EQ(m->buf_handle, nullptr);
}

// Behind a modem the caller's banner comes after the modem's RING and CONNECT, without the
// leading blank of a line that has no modem.
TEST(AltusDialin, ModemRingsAndTheCallerIsServed) {
  PtyCall p;
  ASSERT_TRUE(p.pty.ok());
  bsfix::FakeLines control;
  AltusDatalogger *dl = p.datalogger("dlK", "K1234", "K2", 1234);
  Modem *m = p.modem;
  m->test = 1;
  m->modem_control = 1;
  m->attention_string = strdup("AT\r");
  m->hangup_string = strdup("ATH\r");
  m->listen_string = strdup("ATS0=1\r");
  m->attention_rec_string = strdup("OK");
  m->ring_rec_string = strdup("RING");
  m->connect_rec_string = strdup("CONNECT");
  m->busy_rec_string = strdup("BUSY");
  m->offhook_rec_string = strdup("NO CARRIER");
  Line line(identity("K2", 1234));
  altussim::ModemFront front;
  front.on = true;
  line.set_modem(front);
  line.call_fd(p.pty.master, CallScript{});
  ElogCapture log;
  EXPECT_EQ(modem_listen(m), 0);
  EXPECT_TRUE(log.contains("MODEM RSP: Model = K2")) << log.text();
  EXPECT_FALSE(log.contains("Listening for dial string"));
  EXPECT_NE(line.heard().find("ATS0=1\r"), std::string::npos) << line.heard();
  EXPECT_EQ(dl->status.serialNumber, 1234);
  EXPECT_GT(dl->last_params_time, 0);
  line.stop();
}

// ---- dial-out ----

struct Dialer : DialProgram {
  Modem *modem = nullptr;
  AltusDatalogger *dl = nullptr;
  explicit Dialer(int com_mode) {
    modem = link("out1", com_mode);
    modem->dialout = 1;
    dl = datalogger("dlK", "K1234", "K2", 1234);
    dl->phone_number = strdup("5551234");
  }
  // As the link thread calls it.
  void dialout() {
    lock_datalogger_connection(dl, "test", 0);
    lock_modem_connection(modem, "test", 0);
    modem->connected_dl = dl;
    modem_dialout(modem, dl);
    unlock_modem_connection(modem, "test");
    unlock_datalogger_connection(dl, "test");
    modem->connected_dl = nullptr;
  }
};

TEST(AltusDialout, TcpCallServesTheQueuedRequests) {
  Dialer p(2);
  Line line(identity("K2", 1234));
  int port = line.answer_tcp();
  ASSERT_GT(port, 0);
  p.modem->ipaddr = strdup("127.0.0.1");
  p.modem->port = port;
  queue(p.dl, "status");
  queue(p.dl, "getstatus");
  ElogCapture log;
  p.dialout();
  EXPECT_TRUE(log.contains("placing call with out1(ip=127.0.0.1:pt=" + std::to_string(port) +
                           ":to=5.0:toctrl=5.0)..."))
      << log.text();
  EXPECT_EQ(p.modem->mode, 2);
  EXPECT_EQ(number_command_queue(p.dl, 0), 0);
  EXPECT_EQ(count_cmd(line.sim(1), 3), 4);
  EXPECT_EQ(p.dl->com_mode, 0);
  EXPECT_EQ(p.dl->connected_modem, nullptr);
  EXPECT_EQ(p.modem->buf_handle, nullptr);
}

// The addresses a dial-out log opened, in order.
std::vector<std::string> opened_hosts(const std::string &log) {
  std::vector<std::string> hosts;
  const std::string key = "opening dialout connection to ip=";
  for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
    const size_t from = at + key.size();
    hosts.push_back(log.substr(from, log.find(':', from) - from));
  }
  return hosts;
}

// A loopback address that takes connections and never says a word.
struct SilentHost {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  SilentHost(const char *host, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, host, &sa.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    EXPECT_EQ(listen(fd, 8), 0);
  }
  ~SilentHost() { close(fd); }
};

// After an announcement the calls alternate between the announced address and the last one
// where the datalogger identified (here 127.0.0.1, on the same port), the last one at once
// after a failure at the announced one, until the datalogger identifies at one of them;
// the link keeps that one and calls it straight from then on. A datalogger that really
// moved drops its first call at the new address; a forged announcement names an address
// that takes the call and never answers.
TEST(AltusDialout, AnnouncedAndConfirmedAddressesAlternateUntilOneIdentifies) {
  struct Case {
    const char *name;
    std::vector<const char *> announced;  // in order: the last comes during the others' trial
    const char *moved_to;                 // where the datalogger answers now; none: unmoved
    const char *forged;                   // an address that never answers, or none
    std::vector<std::string> calls;       // the addresses the dial-out opens
    const char *kept;
  } cases[] = {
      {"a real move whose first call fails",
       {"127.0.0.2"},
       "127.0.0.2",
       nullptr,
       {"127.0.0.2", "127.0.0.1", "127.0.0.2"},
       "127.0.0.2"},
      {"a forged announcement that never answers",
       {"127.0.0.2"},
       nullptr,
       "127.0.0.2",
       {"127.0.0.2", "127.0.0.1"},
       "127.0.0.1"},
      {"a second announcement during the trial",
       {"127.0.0.2", "127.0.0.3"},
       "127.0.0.3",
       "127.0.0.2",
       {"127.0.0.3", "127.0.0.1", "127.0.0.3"},
       "127.0.0.3"},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    Dialer p(2);
    ClockScale fast(0.01);
    auto home = std::make_unique<Line>(identity("K2", 1234));
    const int port = home->answer_tcp();
    ASSERT_GT(port, 0);
    p.modem->ipaddr = strdup("127.0.0.1");
    p.modem->port = port;
    queue(p.dl, "status");
    p.dialout();
    ASSERT_EQ(home->connections(), 1);

    std::unique_ptr<Line> moved;
    if (k.moved_to != nullptr) {
      home->stop();
      home.reset();
      moved = std::make_unique<Line>(identity("K2", 1234));
      ASSERT_EQ(moved->answer_tcp(port, k.moved_to), port);
      moved->drop(Drop::AFTER_BYTES, 1, 1);
    }
    std::unique_ptr<SilentHost> forged;
    if (k.forged != nullptr) forged = std::make_unique<SilentHost>(k.forged, port);
    for (size_t i = 0; i < k.announced.size(); i++) {
      ASSERT_EQ(altuscom_post_address(p.modem, k.announced[i], -1, nullptr), 1);
      if (i + 1 < k.announced.size()) {
        EXPECT_EQ(altuscom_apply_address(p.modem), 1);
      }
    }
    queue(p.dl, "status");
    ElogCapture log;
    p.dialout();
    EXPECT_EQ(opened_hosts(log.text()), k.calls) << log.text();
    EXPECT_EQ(count_of(log.text(), "did not identify at the announced address"), 1) << log.text();
    EXPECT_EQ(number_command_queue(p.dl, 0), 0);
    EXPECT_EQ(moved ? moved->connections() : home->connections(), 2) << "served in this call";
    EXPECT_STREQ(p.modem->ipaddr, k.kept);
    EXPECT_EQ(p.modem->port, port);

    queue(p.dl, "status");
    log.clear();
    p.dialout();
    EXPECT_EQ(opened_hosts(log.text()), std::vector<std::string>{k.kept}) << log.text();
    EXPECT_EQ(number_command_queue(p.dl, 0), 0);
    if (moved) moved->stop();
    if (home) home->stop();
  }
}

// Where the datalogger answers at neither address, the opens alternate, the confirmed
// address right after the announced one and the pause of 10 s after each pair; the
// requests are then answered as after any dial-out that found nobody.
TEST(AltusDialout, AnAnnouncementWhereNobodyAnswersPausesAfterEachPairOfCalls) {
  Dialer p(2);
  p.modem->ipaddr = strdup("127.0.0.1");
  p.modem->port = bsfix::free_port();
  altuscom_confirm_address(p.modem);
  ASSERT_EQ(altuscom_post_address(p.modem, "127.0.0.2", -1, nullptr), 1);
  queue(p.dl, "status");
  ClockWatch watch(0.001);
  ElogCapture log;
  p.dialout();
  std::vector<std::string> calls;
  for (int n = 0; n < 11; n++) calls.push_back(n % 2 == 0 ? "127.0.0.2" : "127.0.0.1");
  EXPECT_EQ(opened_hosts(log.text()), calls) << log.text();
  EXPECT_EQ(watch.sleeps(1.0), 5 * 10) << "a pause after each pair of calls";
  EXPECT_EQ(count_of(log.text(), "did not identify at the announced address 127.0.0.2"), 6);
  EXPECT_EQ(count_of(log.text(), "either - trying the announced address 127.0.0.2:"), 5);
  EXPECT_EQ(number_command_queue(p.dl, 0), 0) << "answered \"problem with dialout\"";
}

TEST(AltusDialout, RefusalsLeaveTheRequestsQueued) {
  struct Case {
    const char *name;
    int dl_dialout, link_dialout, com_mode;
    const char *line;
  } cases[] = {
      {"datalogger", 0, 1, 2, "modem_dialout: not allowed to dial out to datalogger dlK."},
      {"link", 1, 0, 2, "modem_dialout: not allowed to dial on "},
      {"tcp server", 1, 1, 3, "modem_dialout: tcpserver not allowed to dial on "},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    Dialer p(k.com_mode);
    p.dl->dialout = k.dl_dialout;
    p.modem->dialout = k.link_dialout;
    p.modem->ipaddr = strdup("127.0.0.1");
    queue(p.dl, "status");
    ElogCapture log;
    p.dialout();
    EXPECT_TRUE(log.contains(k.line)) << log.text();
    EXPECT_EQ(number_command_queue(p.dl, 0), 1);
  }
}

TEST(AltusDialout, NoAddressComplainsOnceAndWaitsASecond) {
  Dialer p(2);
  queue(p.dl, "status");
  ClockWatch watch(0.01);
  ElogCapture log;
  p.dialout();
  p.dialout();
  EXPECT_EQ(count_of(log.text(), "undefined ip-address on"), 1) << log.text();
  EXPECT_EQ(watch.sleeps(1.0), 2);
  EXPECT_EQ(p.modem->ipaddr_count, 2u);
  EXPECT_EQ(number_command_queue(p.dl, 0), 1);
}

TEST(AltusDialout, ElevenFailedOpensTenSecondsApartThenProblem) {
  Dialer p(2);
  p.modem->ipaddr = strdup("127.0.0.1");
  p.modem->port = bsfix::free_port();
  queue(p.dl, "status");
  ClockWatch watch(0.001);
  ElogCapture log;
  p.dialout();
  EXPECT_EQ(count_of(log.text(), "serialbuf_open(ip=127.0.0.1:pt="), 11 * 1) << log.text();
  EXPECT_EQ(count_of(log.text(), "error...retrying"), 11);
  EXPECT_EQ(watch.sleeps(1.0), 10 * 10) << "ten pauses of 10 s between eleven opens";
  EXPECT_EQ(number_command_queue(p.dl, 0), 0) << "answered \"problem with dialout\"";
}

TEST(AltusDialout, LineDropsDuringTheCallAndTheCommandsAreSurvived) {
  Dialer p(2);
  int n = 0;
  Line line([&n](Sim &s) {
    sim_identity(s, "K2", 1234);
    // The second call drops in its first request: after the block-mode check, the
    // opening's status and the parameter header.
    if (++n == 2) s.drop_line_after(4);
  });
  line.drop(Drop::AFTER_CALL, 1);
  int port = line.answer_tcp();
  p.modem->ipaddr = strdup("127.0.0.1");
  p.modem->port = port;
  p.dl->stream_status = STRSTATUS_POSTED;
  queue(p.dl, "status");
  queue(p.dl, "status");
  ElogCapture log;
  p.dialout();
  EXPECT_TRUE(log.contains("modem_dialout: opendl(")) << log.text();
  EXPECT_EQ(number_command_queue(p.dl, 0), 0) << "answered \"problem with dialout\"";
  EXPECT_EQ(p.dl->stream_status, STRSTATUS_IDLE);
  queue(p.dl, "status");
  queue(p.dl, "status");
  p.dialout();
  EXPECT_EQ(line.connections(), 2);
  EXPECT_EQ(number_command_queue(p.dl, 0), 0) << "served (and failed) in the connection";
  EXPECT_EQ(p.dl->connected_modem, nullptr);
  EXPECT_EQ(p.dl->com_mode, 0);
  EXPECT_EQ(p.modem->buf_handle, nullptr);
  EXPECT_FALSE(datalogger_connection_held(p.dl));
}

// The opening's results a dial-out gives up on: a caller's ring on the line during the
// opening, and a connection no longer active after a pending reboot. The requests are
// answered "problem with dialout".
TEST(AltusDialout, OpeningInterruptedOrNoLongerActiveIsNotRetried) {
  struct Case {
    const char *name;
    bool ring, reboot;
    const char *line;
  } cases[] = {
      {"ring", true, false, ") interrupted by attempt to dialin."},
      {"reboot", false, true, ") error: Connection no longer active."},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.name);
    Dialer p(2);
    Line line([&](Sim &s) {
      sim_identity(s, "K2", 1234);
      if (k.ring) s.escape_answer(1, "\r\nRING\r\n");
    });
    p.modem->ipaddr = strdup("127.0.0.1");
    p.modem->port = line.answer_tcp();
    p.dl->reboot = k.reboot ? 1 : 0;
    p.dl->stream_status = STRSTATUS_POSTED;
    queue(p.dl, "status");
    ElogCapture log;
    p.dialout();
    EXPECT_TRUE(log.contains("modem_dialout: opendl(ip=127.0.0.1:pt=" +
                             std::to_string(p.modem->port) + ":to=5.0:toctrl=5.0" + k.line))
        << log.text();
    EXPECT_EQ(line.connections(), 1);
    EXPECT_EQ(line.sim(1)->escapes(), 1);
    EXPECT_EQ(line.sim(1)->restarts(), k.reboot ? 1 : 0);
    EXPECT_EQ(p.dl->reboot, 0);
    EXPECT_EQ(p.modem->dialin_pending, k.ring ? 1 : 0);
    EXPECT_EQ(number_command_queue(p.dl, 0), 0) << "answered \"problem with dialout\"";
    EXPECT_EQ(p.dl->stream_status, STRSTATUS_IDLE);
    EXPECT_EQ(p.dl->connected_modem, nullptr);
    EXPECT_EQ(p.modem->buf_handle, nullptr);
  }
}

TEST(AltusDialout, EventCheckAfterTheRequests) {
  struct Case {
    int last_count;
    std::vector<int> processed;  // the file list's states
    const char *line;
  } cases[] = {
      {0, {}, "modem_dialout: event count changed from 0 to 2: processing getevents"},
      {2, {0, 1, 2}, "modem_dialout: 2 unprocessed events: processing getevents"},
      {2, {2}, "modem_dialout: no new events found..."},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.line);
    Dialer p(2);
    Line line(identity("K2", 1234));  // its status reports 2 events
    p.modem->ipaddr = strdup("127.0.0.1");
    p.modem->port = line.answer_tcp();
    p.dl->auto_getevents = 1;
    p.dl->last_events_count = k.last_count;
    p.dl->files_size = (int)k.processed.size();
    p.dl->files = static_cast<AltusDirTree *>(calloc(k.processed.size() + 1, sizeof(AltusDirTree)));
    for (size_t i = 0; i < k.processed.size(); i++) {
      snprintf(p.dl->files[i].pathname, sizeof p.dl->files[i].pathname, "A:\\DATA\\E%zu.EVT", i);
      p.dl->files[i].processed = k.processed[i];
    }
    queue(p.dl, "status");
    ElogCapture log;
    p.dialout();
    EXPECT_TRUE(log.contains("modem_dialout: old event count " + std::to_string(k.last_count) +
                             ", new event count 2"))
        << log.text();
    EXPECT_TRUE(log.contains(k.line)) << log.text();
  }
}

// Files a download could not fetch are counted by the next call with the event count
// unchanged and fetched then; a third call finds nothing left.
TEST(AltusDialout, FilesLeftByADownloadAreFetchedByTheNextCall) {
  Dialer p(2);
  int call = 0;
  Line line([&call](Sim &s) {
    with_events(3)(s);
    // The first call meets a datalogger that cannot open two of its files.
    if (++call == 1) {
      for (int k : {0, 2}) s.damage_file(kEventPaths[k], Sim::Damage::REFUSE_OPEN);
    }
  });
  p.modem->ipaddr = strdup("127.0.0.1");
  p.modem->port = line.answer_tcp();
  p.dl->auto_getevents = 1;
  ElogCapture log;

  queue(p.dl, "status");
  p.dialout();
  EXPECT_TRUE(log.contains("modem_dialout: event count changed from 0 to 3: processing getevents"))
      << log.text();
  auto first = handed_files(p.altus);
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(first[kEventPaths[1]], line.sim(1)->file_data(kEventPaths[1]));
  EXPECT_EQ(processed_states(p.dl), (std::vector<int>{1, 2, 1}));
  EXPECT_EQ(p.dl->last_events_count, 3);
  EXPECT_EQ(p.dl->getevents_status, 2) << "left incomplete";

  queue(p.dl, "status");
  p.dialout();
  EXPECT_TRUE(log.contains("modem_dialout: old event count 3, new event count 3")) << log.text();
  EXPECT_TRUE(log.contains("modem_dialout: 2 unprocessed events: processing getevents"))
      << log.text();
  auto second = handed_files(p.altus);
  ASSERT_EQ(second.size(), 2u);
  for (int k : {0, 2}) EXPECT_EQ(second[kEventPaths[k]], line.sim(2)->file_data(kEventPaths[k]));
  EXPECT_EQ(processed_states(p.dl), (std::vector<int>{2, 2, 2}));
  EXPECT_EQ(p.dl->getevents_status, 0);

  queue(p.dl, "status");
  p.dialout();
  EXPECT_TRUE(log.contains("modem_dialout: no new events found...")) << log.text();
  EXPECT_TRUE(handed_files(p.altus).empty());
  EXPECT_EQ(line.connections(), 3);
}

// A serial line with a modem that uses its control lines; the modem answers the dial.
struct ModemDialer : Dialer {
  bsfix::Pty pty;
  bsfix::FakeLines lines;
  ModemDialer() : Dialer(1) {
    modem->dev = strdup(pty.path.c_str());
    modem->modem_control = 1;
    modem->attention_string = strdup("AT\r");
    modem->hangup_string = strdup("ATH\r");
    modem->listen_string = strdup("ATS0=1\r");
    modem->nolisten_string = strdup("ATS0=0\r");
    modem->dialout_string_prefix = strdup("ATDT");
    modem->dialout_string_suffix = strdup("\r");
    modem->attention_rec_string = strdup("OK");
    modem->ring_rec_string = strdup("RING");
    modem->busy_rec_string = strdup("BUSY");
    modem->connect_rec_string = strdup("CONNECT");
    modem->offhook_rec_string = strdup("NO CARRIER");
  }
};

TEST(AltusDialout, ModemAnswers) {
  struct Case {
    const char *answer;
    bool served;
    const char *line;
  } cases[] = {
      {"BUSY", false, "serialbuf_connect("},
      {"NO CARRIER", false, "serialbuf_connect("},
      {"", false, "serialbuf_connect("},  // a modem that stays silent
      {"CONNECT 9600", true, "placing call with out1("},
  };
  for (const auto &k : cases) {
    SCOPED_TRACE(k.answer);
    ModemDialer p;
    ASSERT_TRUE(p.pty.ok());
    Line line(identity("K2", 1234));
    altussim::ModemFront m;
    m.on = true;
    m.dial_answer = k.answer;
    line.set_modem(m);
    line.answer_fd(p.pty.master);
    p.dl->stream_status = STRSTATUS_POSTED;
    queue(p.dl, "status");
    queue(p.dl, "getstatus");
    ElogCapture log;
    p.dialout();
    EXPECT_TRUE(log.contains(k.line)) << log.text();
    EXPECT_NE(line.heard().find("ATDT5551234\r"), std::string::npos) << line.heard();
    EXPECT_EQ(number_command_queue(p.dl, 0), 0);
    EXPECT_EQ(count_cmd(line.sim(1), 3) > 0, k.served);
    if (!k.served) {
      EXPECT_TRUE(log.contains(strcmp(k.answer, "BUSY") == 0 ? ") busy." : ") timeout."))
          << log.text();
      EXPECT_EQ(p.dl->stream_status, STRSTATUS_IDLE);
    }
    line.stop();
  }
}

// A call that fails with an error (here a dial text the modem step refuses) is placed
// again, 2 s after the last, for as long as the program runs: not a fixed count of times.
TEST(AltusDialout, AFailingCallIsPlacedAgainUntilTheProgramHalts) {
  ModemDialer p;
  ASSERT_TRUE(p.pty.ok());
  free(p.dl->phone_number);
  p.dl->phone_number = strdup("555<sl=x>");
  Line line(identity("K2", 1234));
  altussim::ModemFront m;
  m.on = true;
  line.set_modem(m);
  line.answer_fd(p.pty.master);
  queue(p.dl, "status");
  ClockWatch watch(0.001);
  ElogCapture log;
  std::thread t([&p] { p.dialout(); });
  const bool placed = watch.wait_sleeps(2.0, 6);
  kessaro_halt = 1;
  t.join();
  kessaro_halt = 0;
  line.stop();
  ASSERT_TRUE(placed) << log.text();
  // More than the four calls the old fixed count allowed.
  EXPECT_GE(count_of(log.text(), "placing call with out1("), 5) << log.text();
  EXPECT_GE(count_of(log.text(), "modem_dialout: serialbuf_connect("), 5);
  EXPECT_EQ(p.modem->buf_handle, nullptr);
}

// ---- the answers a dial-out gives to remote requests ----

int any_host(const char *, unsigned *address, std::string *official) {
  *address = htonl(0x7f000001);
  *official = "svchost";
  return 0;
}
int no_name(unsigned, std::string *) { return -1; }
const HostResolver kResolver = {any_host, no_name};
int ignore_callback(CmdThread *, void *, int, ...) { return 0; }

// A dial-out program with a command service on a ring file: remote requests are queued as
// the command callback queues them, and their answers are read back from the reply ring.
struct Answered : Dialer {
  TempDir dir;
  int orbcmd = -1, orbrsp = -1, listener = -1;
  explicit Answered(int com_mode) : Dialer(com_mode) {
    hostid_set_resolver(&kResolver);
    hostid_reset();
    std::string path = dir.file("cmd.ring");
    EXPECT_EQ(orbcreate(path.c_str(), 1 << 20), 0);
    orbcmd = orbopen(path.c_str(), "r");
    orbrsp = orbopen(path.c_str(), "w");
    listener = orbopen(path.c_str(), "r");
    EXPECT_EQ(orbselect(listener, "op/pf/rsp"), 0);
    altus->cmdthr =
        cmdthread_new(nullptr, orbcmd, orbrsp, "kes", "altus", ignore_callback, nullptr);
  }
  ~Answered() {
    cmdthread_destroy(altus->cmdthr);
    altus->cmdthr = nullptr;
    for (int orb : {orbcmd, orbrsp, listener}) orbclose(orb);
    hostid_set_resolver(nullptr);
    hostid_reset();
  }
  void request(const std::string &command, const std::string &seq, const std::string &extra = "") {
    std::string text = "command " + command + "\nusername op\nhostname ophost\nsequence " + seq +
                       "\nreply op/pf/rsp\ndatalogger_target dlK\n" + extra;
    Pf *pf = nullptr;
    ASSERT_EQ(pfcompile(text.c_str(), &pf), 0);
    pending_cmd_add(altus, seq.c_str(), {dl});
    post_command_queue(dl, pf, 0);
    pffree(pf);
  }
  // The final answers (disposition, log) up to a marker sent last.
  std::vector<std::pair<std::string, std::string>> finals() {
    Pf *m = nullptr;
    pfcompile("sequence marker\nreply op/pf/rsp\n", &m);
    altus_cmd_pending(altus, nullptr, m, nullptr, "marker");
    pffree(m);
    std::vector<std::pair<std::string, std::string>> out;
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0, pktid;
    double t;
    char src[ORBSRCNAME_SIZE];
    auto end = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < end) {
      if (orbreap_nd(listener, &pktid, src, &t, &buf, &nbytes, &bufsize) != 0) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      std::string text;
      EXPECT_EQ(dlcm_decode(buf, nbytes, &text), 1);
      Pf *pf = nullptr;
      EXPECT_EQ(pfcompile(text.c_str(), &pf), 0);
      char *d = pfget_string(pf, "disposition");
      char *l = pfget_string(pf, "log");
      std::string disp = d ? d : "", log = l ? l : "";
      pffree(pf);
      if (log == "marker") break;
      if (disp != "pending") out.emplace_back(disp, log);
    }
    free(buf);
    return out;
  }
};

TEST(AltusDialout, BusyCallAnswersEveryRequestProblemWithDialout) {
  Answered p(1);
  bsfix::Pty pty;
  bsfix::FakeLines lines;
  ASSERT_TRUE(pty.ok());
  Modem *m = p.modem;
  m->dev = strdup(pty.path.c_str());
  m->modem_control = 2;
  m->attention_string = strdup("AT\r");
  m->hangup_string = strdup("ATH\r");
  m->nolisten_string = strdup("ATS0=0\r");
  m->dialout_string_prefix = strdup("ATDT");
  m->dialout_string_suffix = strdup("\r");
  m->attention_rec_string = strdup("OK");
  m->busy_rec_string = strdup("BUSY");
  m->connect_rec_string = strdup("CONNECT");
  Line line(identity("K2", 1234));
  altussim::ModemFront front;
  front.on = true;
  front.dial_answer = "BUSY";
  line.set_modem(front);
  line.answer_fd(pty.master);
  p.dl->stream_status = STRSTATUS_POSTED;
  p.request("status", "s1");
  p.request("getevents", "s2");
  p.dialout();
  auto got = p.finals();
  ASSERT_EQ(got.size(), 2u);
  for (auto &a : got) {
    EXPECT_EQ(a.first, "error");
    EXPECT_EQ(a.second, "problem with dialout");
  }
  EXPECT_EQ(p.dl->stream_status, STRSTATUS_IDLE);
  EXPECT_EQ(number_command_queue(p.dl, 0), 0);
  line.stop();
}

// Remote requests queued for the dispatcher, served by a real dial-out to the simulator.
TEST(AltusDialout, DispatcherRequestsRunInTheCall) {
  Answered p(2);
  Line line(identity("K2", 1234));
  int port = line.answer_tcp();
  p.modem->ipaddr = strdup("127.0.0.1");
  p.modem->port = port;
  p.request("status", "s1");
  p.request("ping", "s2", "string hello\n");
  p.request("nosuchword", "s3");
  p.dialout();
  auto got = p.finals();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].first, "done");
  EXPECT_EQ(got[1].first, "done");
  EXPECT_EQ(got[2].first, "error");
  EXPECT_EQ(count_cmd(line.sim(1), 8), 1) << "the ping reached the datalogger";
}

}  // namespace
