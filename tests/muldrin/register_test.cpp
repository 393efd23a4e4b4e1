// Registration, deregistration and the command exchange against the Q330 simulator, with
// a driven clock that records the pauses between tries (time-outs stay real and short).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/md5.h"
#include "base/tbl.h"
#include "muldrin_pocd.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330sim.h"
#include "q330sim_config.h"
#include "sim_session.h"
#include "testkit/testkit.h"

namespace {

struct Rig {
  SleepRecorder clock;
  Q330Sim sim;
  Q330 *q;
  OutputRecorder rec;
  char error[256] = "";

  explicit Rig(const Q330SimOptions &o, std::vector<const char *> codes = {"0"},
               const char *serial = nullptr)
      : sim(o) {
    EXPECT_EQ(sim.start(), 0);
    q = q330_create(OutputRecorder::callback, nullptr);
    rec.attach(q);
    sim_session_point(q, sim, o.logical, 0.2, 3, serial, codes);
  }
  ~Rig() {
    sim.stop();
    sim_session_release(q);
    free_session(q);
  }
  bool logged(const std::string &needle) {
    for (const std::string &l : rec.lines())
      if (l.find(needle) != std::string::npos) return true;
    return false;
  }
};

Q330SimOptions sim_options() {
  Q330SimOptions o;
  o.serial = 0x0100000012345678ull;
  o.auth_code = 0x2;
  return o;
}

TEST(Register, LearnsSerialRegistersAndDeregisters) {
  Rig rig(sim_options(), {"2"});
  ASSERT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  EXPECT_EQ(rig.q->state_registered.load(), 1);
  EXPECT_STREQ(rig.q->params.q330_serial_number, "0100000012345678");
  EXPECT_TRUE(rig.logged("Q330 serial number = 0100000012345678"));
  EXPECT_TRUE(rig.logged("Registration successful."));
  EXPECT_EQ(rig.sim.wait_count(Q330_C1_POLLSN, 1, 10.0), 1);
  EXPECT_EQ(rig.sim.wait_count(Q330_C1_RQSRV, 1, 10.0), 1);
  EXPECT_EQ(rig.sim.wait_count(Q330_C1_SRVRSP, 1, 10.0), 1);
  EXPECT_GT(rig.q->status.starttime, 0);
  EXPECT_TRUE(rig.clock.taken().empty());
  // Every datagram the simulator saw had a good CRC and consecutive sequences.
  auto got = rig.sim.received();
  for (size_t i = 0; i < got.size(); i++) {
    EXPECT_TRUE(got[i].crc_ok);
    EXPECT_EQ(got[i].sequence, i + 1);
  }

  // A command the datalogger refuses gives its C1_CERR.
  rig.sim.config().cerr_command = 0x1E;
  EXPECT_EQ(q330_exec_cmd_pvt(rig.q, 0x1E, 0xA8, nullptr, 1, nullptr, rig.error, sizeof rig.error),
            -1);
  EXPECT_EQ(std::string(rig.error).rfind("C1_CERR: ", 0), 0u) << rig.error;

  EXPECT_EQ(q330_deregister_pvt(rig.q, rig.error, sizeof rig.error), 0);
  EXPECT_EQ(rig.q->state_registered.load(), 0);
  EXPECT_EQ(rig.sim.wait_count(Q330_C1_DSRV, 1, 10.0), 1);
  EXPECT_TRUE(rig.logged("Deregister successful"));
}

// A datalogger that does not acknowledge the deregistration (silent, refusing, or answering
// something else) gets a second C1_DSRV, and deregistration still ends well.
TEST(Register, DeregistrationWithoutAcknowledgement) {
  struct Row {
    const char *what;
    int kind, value;
  } rows[] = {
      {"silent", Q330SIM_DROP, 0},
      {"refused", Q330SIM_CERR, 1},
      {"another reply", Q330SIM_WRONGCOMMAND, 0xA8},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(r.what);
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    ASSERT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    rig.sim.add_fault({Q330_C1_DSRV, 0, r.kind, r.value, 0});
    EXPECT_EQ(q330_deregister_pvt(rig.q, rig.error, sizeof rig.error), 0);
    EXPECT_STREQ(rig.error, "");
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_DSRV, 2, 10.0), 2);
    EXPECT_EQ(rig.q->state_registered.load(), 0);
    EXPECT_TRUE(rig.logged("Deregister successful"));
  }
}

// An announced address is on trial: registrations alternate between it and the address
// of the last registration until one of them registers, which then stays. A unit that
// moved is reached even when its first try there is lost; an address nobody answers at
// costs one try, and data comes back from the old address at the next; an announcement
// during the trial replaces the one on trial (its repeat changes nothing); the operator's
// address is taken as it is, with no going back. A state file records the address that
// last registered while another is on trial.
TEST(Register, AnnouncedAddressIsTriedInTurnWithTheLastRegistered) {
  struct Step {
    const char *sim_at;   // the simulator moves here first, or none
    int drop;             // challenge requests the simulator drops from here on
    const char *poc;      // an address a point of contact names, or none
    const char *op;       // the operator's address, or none
    int result;           // of the registration that follows; 1 for none
    const char *address;  // in use afterwards
    const char *lastip;   // a state file's record afterwards
  };
  struct Case {
    const char *what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"a unit that moved, its first try there lost",
       {{"127.0.0.2", 1, "127.0.0.2", nullptr, -1, "127.0.0.1", "127.0.0.1"},
        {nullptr, 0, "127.0.0.2", nullptr, 1, "127.0.0.1", "127.0.0.1"},
        {nullptr, 0, nullptr, nullptr, -1, "127.0.0.2", "127.0.0.1"},
        {nullptr, 0, nullptr, nullptr, 0, "127.0.0.2", "127.0.0.2"},
        {nullptr, 0, nullptr, nullptr, 0, "127.0.0.2", "127.0.0.2"}}},
      {"an address nobody answers at",
       {{nullptr, 0, "127.0.0.3", nullptr, 1, "127.0.0.3", "127.0.0.1"},
        {nullptr, 0, nullptr, nullptr, -1, "127.0.0.1", "127.0.0.1"},
        {nullptr, 0, nullptr, nullptr, 0, "127.0.0.1", "127.0.0.1"},
        {nullptr, 0, nullptr, nullptr, 0, "127.0.0.1", "127.0.0.1"}}},
      {"a second announcement during the trial",
       {{"127.0.0.2", 0, "127.0.0.3", nullptr, -1, "127.0.0.1", "127.0.0.1"},
        {nullptr, 0, "127.0.0.2", nullptr, 0, "127.0.0.2", "127.0.0.2"},
        {nullptr, 0, nullptr, nullptr, 0, "127.0.0.2", "127.0.0.2"}}},
      {"the operator's address",
       {{nullptr, 0, "127.0.0.3", nullptr, 1, "127.0.0.3", "127.0.0.1"},
        {nullptr, 0, nullptr, "127.0.0.4", -1, "127.0.0.4", "127.0.0.4"},
        {nullptr, 0, nullptr, nullptr, -1, "127.0.0.4", "127.0.0.4"},
        {nullptr, 0, nullptr, "127.0.0.1", 0, "127.0.0.1", "127.0.0.1"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    rig.q->params.maxretries_control = 0;  // one request per registration
    ASSERT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    ASSERT_EQ(q330_deregister_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    int n = 0;
    for (const Step &st : c.steps) {
      SCOPED_TRACE(n++);
      if (st.sim_at) {
        ASSERT_EQ(rig.sim.move(st.sim_at), 0);
      }
      if (st.drop) rig.sim.add_fault({Q330_C1_RQSRV, 0, Q330SIM_DROP, 0, st.drop});
      if (st.poc) muldrin_poc_set_ipaddress(rig.q, st.poc);
      if (st.op) q330_address_set(rig.q, st.op);
      if (st.result != 1) {
        EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), st.result) << rig.error;
      }
      EXPECT_EQ(q330_address(rig.q), st.address);
      EXPECT_EQ(q330_address_settled(rig.q), st.lastip);
      if (st.result == 0) {
        ASSERT_EQ(q330_deregister_pvt(rig.q, rig.error, sizeof rig.error), 0);
      }
    }
  }
}

// A late copy of a reply (here the duplicated challenge, read while the response waits
// for its acknowledgement) is passed over without using up a try: with one request per
// phase, registration still succeeds.
TEST(Register, LateDuplicateRepliesDoNotUseUpTries) {
  Rig rig(sim_options(), {"2"}, "0100000012345678");
  rig.q->params.maxretries_control = 0;
  rig.sim.add_fault({Q330_C1_RQSRV, 1, Q330SIM_DUPLICATE, 0, 1});
  EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  EXPECT_EQ(rig.sim.wait_count(Q330_C1_RQSRV, 1, 10.0), 1);
  EXPECT_EQ(rig.sim.wait_count(Q330_C1_SRVRSP, 1, 10.0), 1);
  EXPECT_TRUE(rig.logged("ERROR: Bad acknowledgment"));
}

TEST(Register, AuthenticationCodeRotation) {
  {  // One code: the code stays, and the tries run out.
    Rig rig(sim_options(), {"7"}, "0100000012345678");
    rig.q->params.maxretries_control = 1;
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_EQ(rig.q->params.q330_authentication_codes_last_entry, 0);
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_SRVRSP, 2, 10.0), 2);
    EXPECT_TRUE(rig.logged("Too many Q330 packet errors - registration breakout"));
    EXPECT_EQ(rig.clock.taken(), std::vector<double>{2.0});
    // Beside the datalogger's own text, one line a session names the key to check, on
    // standard error as well as in the ring: a second refused registration adds none.
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -1);
    int refused = 0, hints = 0;
    for (const auto &item : rig.rec.items) {
      refused += item.text.find("Invalid registration response") != std::string::npos;
      if (item.text.find("check q330_authentication_code for ") != std::string::npos) {
        hints++;
        EXPECT_EQ(item.type, Q330_OUT_STDOUT) << item.text;
      }
    }
    EXPECT_EQ(refused, 4);
    EXPECT_EQ(hints, 1);
  }
  {  // Three codes, entry 2 in use and refused: entry 0 is tried next and accepted.
    Rig rig(sim_options(), {"2", "9", "7"}, "0100000012345678");
    rig.q->params.q330_authentication_codes_last_entry = 2;
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0);
    EXPECT_EQ(rig.q->params.q330_authentication_codes_last_entry, 0);
    EXPECT_TRUE(rig.logged("Switching authentication code to entry 0"));
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_SRVRSP, 2, 10.0), 2);
  }
}

TEST(Register, TimeoutsAndRetryLimits) {
  {  // maxretries_control 0: one send, no pause.
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    rig.q->params.maxretries_control = 0;
    rig.sim.add_fault({Q330_C1_RQSRV, 0, Q330SIM_DROP, 0, 0});
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_RQSRV, 1, 10.0), 1);
    EXPECT_TRUE(rig.clock.taken().empty());
  }
  {  // maxretries_control 3: four sends, a 2 s pause between each.
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    rig.sim.add_fault({Q330_C1_RQSRV, 0, Q330SIM_DROP, 0, 0});
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_RQSRV, 4, 10.0), 4);
    EXPECT_EQ(rig.clock.taken(), (std::vector<double>{2.0, 2.0, 2.0}));
    EXPECT_TRUE(rig.logged("Too many server challenge timeouts"));
  }
  {  // A bad CRC, a reply from a foreign address and a duplicate challenge (whose second
     // copy is a stale reply to the response) are survived; a reply from another port of
     // the datalogger's address is dropped like one from another address, and the
     // response is sent again.
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    rig.sim.add_fault({Q330_C1_RQSRV, 1, Q330SIM_BADCRC, 0, 1});
    rig.sim.add_fault({Q330_C1_RQSRV, 2, Q330SIM_OTHERADDR, 0, 1});
    rig.sim.add_fault({Q330_C1_RQSRV, 3, Q330SIM_DUPLICATE, 0, 1});
    rig.sim.add_fault({Q330_C1_SRVRSP, 1, Q330SIM_OTHERPORT, 0, 1});
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_RQSRV, 3, 10.0), 3);
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_SRVRSP, 2, 10.0), 2);
    EXPECT_EQ(rig.clock.taken(), (std::vector<double>{2.0, 2.0, 1.0, 2.0}));
    EXPECT_EQ(rig.q->npkts_foreign_error.load(), 2);
  }
}

TEST(Register, ErrorsAndBreakouts) {
  {  // C1_CERR 1 to the challenge request: logged with its message, retried after 10 s.
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    rig.q->params.maxretries_control = 1;
    rig.sim.add_fault({Q330_C1_RQSRV, 0, Q330SIM_CERR, 1, 0});
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_RQSRV, 2, 10.0), 2);
    EXPECT_TRUE(rig.logged("ERROR: registration request server C1_CERR: "));
    EXPECT_EQ(rig.clock.taken(), std::vector<double>{10.0});
    // The serial-number poll gives up at once on C1_CERR.
    rig.sim.add_fault({Q330_C1_POLLSN, 0, Q330SIM_CERR, 1, 0});
    unsigned hi, lo;
    EXPECT_EQ(q330_get_serial_number(rig.q, &hi, &lo), -1);
    EXPECT_EQ(rig.sim.wait_count(Q330_C1_POLLSN, 1, 10.0), 1);
  }
  {  // A shutdown during the challenge breaks off with -2.
    Rig rig(sim_options(), {"2"}, "0100000012345678");
    rig.q->state_acquisition = Q330_ACQ_SHUTDOWN;
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -2);
    EXPECT_TRUE(rig.logged("Registration breakout due to shutdown"));
    EXPECT_EQ(rig.sim.count(Q330_C1_SRVRSP), 0);
  }
  {  // Texts that are not hexadecimal are refused, naming the parameter.
    Rig rig(sim_options(), {"2x"}, "0100000012345678");
    EXPECT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), -1);
    EXPECT_NE(std::string(rig.error).find("q330_authentication_codes"), std::string::npos);
    EXPECT_EQ(rig.sim.count(Q330_C1_RQSRV), 0);
  }
}

TEST(ExecCmd, UnregisteredAndStaleAcks) {
  Rig rig(sim_options(), {"2"}, "0100000012345678");
  EXPECT_EQ(q330_exec_cmd_pvt(rig.q, 0x1E, 0xA7, nullptr, 1, nullptr, rig.error, sizeof rig.error),
            -1);
  EXPECT_STREQ(rig.error, "q330_exec_cmd_pvt: Must register server first.");
  EXPECT_TRUE(rig.sim.received().empty());

  ASSERT_EQ(q330_register_pvt(rig.q, rig.error, sizeof rig.error), 0) << rig.error;
  // A stream of stale replies from the datalogger's address and port waits in the socket:
  // each counts against the tries, so the exchange gives up after maxretries_control + 1.
  // The datalogger is a socket of the test from here on, so that the replies come from
  // the port the session sends to.
  sockaddr_in session{};
  socklen_t len = sizeof session;
  getsockname(rig.q->udp_control->fd, reinterpret_cast<sockaddr *>(&session), &len);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in mine{};
  mine.sin_family = AF_INET;
  mine.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&mine), sizeof mine), 0);
  len = sizeof mine;
  getsockname(fd, reinterpret_cast<sockaddr *>(&mine), &len);
  const std::string hostport = "127.0.0.1:" + std::to_string(ntohs(mine.sin_port));
  set_q330_str(&rig.q->q330_hostport_control, hostport.c_str());
  for (int i = 0; i < 10; i++) {
    unsigned char d[12] = {0, 0, 0, 0, Q330_C1_CACK, 2, 0, 0, 0, 1};
    unsigned ack = rig.q->sequence;  // the exchange's own send makes this one behind
    d[10] = static_cast<unsigned char>(ack >> 8);
    d[11] = static_cast<unsigned char>(ack);
    uint32_t crc = q330sim_crc(d + 4, 8);
    for (int b = 0; b < 4; b++) d[b] = static_cast<unsigned char>(crc >> (24 - 8 * b));
    sendto(fd, d, sizeof d, 0, reinterpret_cast<sockaddr *>(&session), sizeof session);
  }
  EXPECT_EQ(q330_exec_cmd_pvt(rig.q, 0x1E, Q330_C1_CACK, nullptr, 1, nullptr, rig.error,
                              sizeof rig.error),
            -1);
  EXPECT_STREQ(rig.error, "ERROR: too many exec cmd errors");
  unsigned char got[64];
  EXPECT_GE(recv(fd, got, sizeof got, MSG_DONTWAIT), 12);
  EXPECT_EQ(got[4], 0x1E);
  close(fd);
  EXPECT_EQ(rig.q->npkts_foreign_error.load(), 0);
}

TEST(RegisterDigest, TextPortsAndChecksums) {
  Q330SRVCHPkt ch{0x01234567, 0x89ABCDEF, 0x7F000001, 5332, 7};
  char text[81];
  q330_digest_text(&ch, 0, 2, 0, 0x12345678, text);
  EXPECT_STREQ(text,
               "0123456789abcdef7f00000114d40007000000000000000200000000123456780000000000000000");
  // The client's MD5 and the simulator's agree on the RFC 1321 vectors.
  const char *vectors[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto &v : vectors) {
    unsigned char a[16], b[16];
    q330sim_md5(v[0], strlen(v[0]), a);
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, v[0], strlen(v[0]));
    MD5Final(b, &ctx);
    char hex[33];
    for (int i = 0; i < 16; i++) snprintf(hex + 2 * i, 3, "%02x", a[i]);
    EXPECT_STREQ(hex, v[1]);
    EXPECT_EQ(memcmp(a, b, 16), 0);
  }

  // Ports and the link text.
  Q330 *q = q330_create(OutputRecorder::callback, nullptr);
  OutputRecorder rec;
  rec.attach(q);
  set_q330_str(&q->params.q330_ipaddress, "127.0.0.1");
  set_q330_str(&q->params.disposition_str, "startacq");
  q->params.q330_port_base = 5330;
  q->params.q330_port_logical = 1;
  q->params.local_port_control = 6001;
  q->params.local_port_data = 6002;
  ASSERT_EQ(set_q330_hostport(q), 0);
  EXPECT_EQ(q->params.q330_port_control, 5332);
  EXPECT_EQ(q->params.q330_port_data, 5333);
  EXPECT_STREQ(q->q330_hostport_control, "127.0.0.1:5332");
  EXPECT_STREQ(q->q330_hostport_data, "127.0.0.1:5333");
  EXPECT_STREQ(q->params.q330_com, "udp:127.0.0.1:5332:L1:startacq:6001:6002");
  q->params.q330_port_logical = 5;
  EXPECT_EQ(set_q330_hostport(q), -1);
  udp_free(q->udp_control);
  udp_free(q->udp_data);
  for (char *s : {q->q330_hostport_control, q->q330_hostport_data, q->params.q330_ipaddress,
                  q->params.disposition_str, q->params.q330_com})
    free(s);
  free_session(q);
}

}  // namespace
