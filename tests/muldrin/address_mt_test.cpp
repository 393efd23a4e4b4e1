// The datalogger's address, shared by the session's threads, the point-of-contact
// listener and the state writer: announcements come while the control thread registers
// and tries the addresses in turn, and the texts are copied meanwhile.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "base/clock.h"
#include "base/tbl.h"
#include "muldrin_pocd.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330_threads.h"
#include "q330sim.h"
#include "sim_session.h"
#include "testkit/testkit.h"

namespace {

// Clocks run a thousand times faster, so the back-offs between registrations pass quickly.
struct FastClock {
  FastClock() { clock_set_scale(0.001); }
  ~FastClock() { clock_set_scale(1.0); }
};

bool known(const std::string &ip) { return ip == "127.0.0.1" || ip == "127.0.0.3"; }

TEST(Address, AnnouncementsWhileTheSessionRegistersInTurn) {
  FastClock fast;
  Q330SimOptions o;
  o.serial = 0x0100000012345678ull;
  o.auth_code = 0x2;
  Q330Sim sim(o);
  ASSERT_EQ(sim.start(), 0);
  OutputRecorder rec;
  Q330 *q = q330_create(OutputRecorder::callback, nullptr);
  rec.attach(q);
  set_q330_str(&q->params.dlname, "XX_TEST");
  q->params.register_retry_sleep = 5;
  q->params.maxretries_register = 0;  // never hibernates
  q->params.statusreport_interval = INT_MAX;
  // Time-outs of 30 s of clock time are 30 ms, long enough for a reply from loopback.
  sim_session_point(q, sim, 1, 30.0, 0, "0100000012345678", {"2"});
  char error[256] = "";
  ASSERT_EQ(q330_register_pvt(q, error, sizeof error), 0) << error;
  ASSERT_EQ(q330_deregister_pvt(q, error, sizeof error), 0) << error;
  // From here the datalogger refuses every registration, so the session keeps trying the
  // announced address and the one that registered in turn.
  free(poptbl(q->params.q330_authentication_codes));
  pushtbl(q->params.q330_authentication_codes, strdup("7"));

  q330_start_acquisition(q);
  ASSERT_EQ(q330_threads_start(q), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> unknown{0};
  // A listener announcing the datalogger at two addresses, and a reader of the texts as
  // the state writer, the status report and the remote commands take them.
  std::thread listener([&] {
    for (int i = 0; !stop.load(); i++) {
      muldrin_poc_set_ipaddress(q, i % 2 ? "127.0.0.3" : "127.0.0.1");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread reader([&] {
    while (!stop.load()) {
      if (!known(q330_address_settled(q)) || !known(q330_address(q))) unknown++;
      if (q330_link_text(q).find("udp:127.0.0.") != 0) unknown++;
      if (q330_serial_text(q) != "0100000012345678") unknown++;
    }
  });
  const int first = sim.count(Q330_C1_SRVRSP);
  bool busy = wait_until([&] { return sim.count(Q330_C1_SRVRSP) >= first + 20; });
  stop = true;
  listener.join();
  reader.join();
  // One announcement more, of the address nobody answers at: the registrations go there
  // and back to the one that registered.
  muldrin_poc_set_ipaddress(q, "127.0.0.3");
  auto has = [&](const std::string &needle) {
    for (const std::string &l : rec.lines())
      if (l.find(needle) != std::string::npos) return true;
    return false;
  };
  bool turns = wait_until([&] {
    return has("no registration at 127.0.0.3, named by a point of contact - trying 127.0.0.1") &&
           has("no registration at 127.0.0.1, where it last registered - trying 127.0.0.3");
  });
  q330_kill_thread(q);
  q330_threads_join(q);
  std::string log;
  for (const std::string &l : rec.lines()) log += l;
  EXPECT_TRUE(busy) << log;
  EXPECT_TRUE(turns) << log;
  EXPECT_EQ(unknown.load(), 0);
  EXPECT_EQ(q330_address_settled(q), "127.0.0.1");
  sim.stop();
  sim_session_release(q);
  free_session(q);
}

}  // namespace
