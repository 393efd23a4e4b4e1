// The configuration-port client against the simulator's configuration-port responder,
// with clock time run faster (a 30 s wait lasts 0.3 s).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/tbl.h"
#include "q330_crc.h"
#include "q330_pktdefs.h"
#include "q330configport.h"
#include "q330sim.h"
#include "q330sim_commands.h"
#include "testkit/testkit.h"

namespace {

TEST(ConfigPortPieces, SerialAuthenticationAndPorts) {
  uint32_t hi = 1, lo = 1;
  EXPECT_EQ(grokauth("", &hi, &lo), 0);
  EXPECT_EQ(hi, 0u);
  EXPECT_EQ(lo, 0u);
  EXPECT_EQ(grokauth("ABCD", &hi, &lo), 0);
  EXPECT_EQ(hi, 0u);
  EXPECT_EQ(lo, 0xABCDu);
  EXPECT_EQ(grokauth("123456789abcdef0", &hi, &lo), 0);
  EXPECT_EQ(hi, 0x12345678u);
  EXPECT_EQ(lo, 0x9abcdef0u);
  EXPECT_EQ(grokauth("123456789abcdef01", &hi, &lo), -1);
  EXPECT_EQ(grokauth("12345678zz", &hi, &lo), -1);
  EXPECT_EQ(groksn("0100000012345678", &hi, &lo), 0);
  EXPECT_EQ(hi, 0x01000000u);
  EXPECT_EQ(lo, 0x12345678u);
  EXPECT_EQ(groksn("010000001234567", &hi, &lo), -1);
  EXPECT_EQ(groksn("01000000123456789", &hi, &lo), -1);

  char hp[64];
  q330_map_lport(0, 5330, "10.0.0.5", hp, sizeof hp);
  EXPECT_STREQ(hp, "10.0.0.5:5330");
  q330_map_lport(1, 5330, "10.0.0.5", hp, sizeof hp);
  EXPECT_STREQ(hp, "10.0.0.5:5332");
  q330_map_lport(0, 5330, "broadcast", hp, sizeof hp);
  EXPECT_STREQ(hp, "broadcast");
  q330_map_lport(0, 5330, "subnetbroadcast", hp, sizeof hp);
  EXPECT_STREQ(hp, "subnetbroadcast");
}

TEST(ConfigPortPieces, DecodingRefusesDamage) {
  Q330C3ANNCPkt annc{};
  annc.subcommand = 2;
  annc.number_of_active_entries = 1;
  annc.entries[5].dp_udp_port = 77;
  unsigned char pkt[1024];
  int n = sizeof pkt;
  ASSERT_EQ(q330_stuff_qdp(Q330_C2_TERC, 9, &annc, pkt, &n), 0);
  EXPECT_EQ(n, 12 + 104);
  // Made into an announce reply, it decodes; every damage is refused.
  pkt[4] = Q330_C2_TERR;
  unsigned crc = 0;
  auto reseal = [&](unsigned char *p, int len) {
    q330_crc(p + 4, len - 4, &crc);
    for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(crc >> (24 - 8 * i));
  };
  reseal(pkt, n);
  int command = 0;
  uint16_t seq = 0, ack = 0;
  Q330C3ANNCPkt out{};
  ASSERT_EQ(q330_unstuff_qdp(pkt, n, &command, &seq, &ack, &out), 0);
  EXPECT_EQ(command, Q330_C2_TERR);
  EXPECT_EQ(seq, 9);
  EXPECT_EQ(out.entries[5].dp_udp_port, 77);
  EXPECT_EQ(q330_unstuff_qdp(pkt, n - 1, &command, &seq, &ack, &out), -1);  // cut short
  EXPECT_EQ(q330_unstuff_qdp(pkt, 11, &command, &seq, &ack, &out), -1);
  pkt[20] ^= 1;
  EXPECT_EQ(q330_unstuff_qdp(pkt, n, &command, &seq, &ack, &out), -1);  // CRC
  pkt[20] ^= 1;
  pkt[7] = 100;  // a 100-byte announce reply
  reseal(pkt, 112);
  EXPECT_EQ(q330_unstuff_qdp(pkt, 112, &command, &seq, &ack, &out), -1);
}

constexpr const char *kSerial = "0100000012345678";

struct PortRig {
  ClockScale scale{0.01};
  Q330Sim sim{Q330SimOptions{}};
  std::shared_ptr<Q330SimCommands> model;
  UDP *udp = nullptr;
  char hostport[512] = "";
  char error[512] = "";
  PortRig() {
    EXPECT_EQ(sim.start(), 0);
    model = sim.commands();
    std::lock_guard<std::mutex> lock(model->mutex);
    model->auth_code = 0xABCD;
  }
  ~PortRig() {
    udp_free(udp);
    sim.stop();
  }
  int reg(const char *auth = "abcd") {
    return q330config_register(&udp, "127.0.0.1", hostport, "127.0.0.1", kSerial, sim.base_port(),
                               auth, error, sizeof hostport, sizeof error);
  }
  int run(int (*fn)(UDP *, const char *, const char *, char *, int, int, char **),
          std::vector<std::string> w) {
    std::vector<char *> argv;
    for (std::string &s : w) argv.push_back(s.data());
    return fn(udp, "127.0.0.1", hostport, error, sizeof error, static_cast<int>(argv.size()),
              argv.data());
  }
  std::string port_text() { return "127.0.0.1:" + std::to_string(sim.base_port()); }
};

TEST(ConfigPort, RegisterControlAndDeregister) {
  PortRig rig;
  ASSERT_EQ(rig.reg(), 0) << rig.error;
  EXPECT_EQ(rig.hostport, rig.port_text());
  // The response's digest is the one the responder computed itself.
  std::vector<unsigned char> sent;
  for (const Q330SimDatagram &d : rig.sim.received())
    if (d.port_type == 3 && d.command == 0x11) sent = d.payload;
  ASSERT_GE(sent.size(), 48u);
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    EXPECT_EQ(memcmp(sent.data() + 32, rig.model->last_digest, 16), 0);
    EXPECT_TRUE(rig.model->registered);
  }
  EXPECT_EQ(rig.run(q330config_C1_CTRL, {"eeprom", "reboot"}), 0) << rig.error;
  EXPECT_EQ(rig.run(q330config_C1_CTRL, {"gpscs"}), 0) << rig.error;
  EXPECT_EQ(rig.run(q330config_C1_CTRL, {}), -1);
  EXPECT_STREQ(rig.error, "q330config_C1_CTRL: Need at least one control function.");
  EXPECT_EQ(rig.run(q330config_C1_CTRL, {"eeprom", "explode"}), -1);
  EXPECT_STREQ(rig.error, "q330config_C1_CTRL: Unrecognized control function 'explode'.");
  uint16_t before = q330config_sequence();
  EXPECT_EQ(q330config_deregister(rig.udp, "127.0.0.1", rig.hostport, kSerial, nullptr, 0), 0);
  EXPECT_EQ(static_cast<uint16_t>(q330config_sequence() - before), 3);
  EXPECT_EQ(rig.sim.wait_count(0x12, 3, 10.0), 3);
  std::lock_guard<std::mutex> lock(rig.model->mutex);
  EXPECT_EQ(rig.model->ctrl_flags, (std::vector<uint16_t>{0x03, 0x20}));
  EXPECT_FALSE(rig.model->registered);
}

TEST(ConfigPort, BalerPower) {
  PortRig rig;
  ASSERT_EQ(rig.reg(), 0) << rig.error;
  struct Case {
    std::vector<std::string> words;
    int interface_number, flags;  // -1: refused with `error`
    const char *error;
  } cases[] = {
      {{"serial1", "poweron", "30"}, 0, 0x401E, nullptr},
      {{"serial1", "poweron", "5000"}, 0, 0x4FFF, nullptr},
      {{"ethernet", "canceltimers"}, 3, 0x3000, nullptr},
      {{"dialer1", "onhook"}, 4, 0x8000, nullptr},
      {{"serial2", "cleartimeout", "-4"}, 1, 0x8000, nullptr},
      {{},
       -1,
       0,
       "q330config_C2_SBPWR: Need interface (one of 'serial1', 'serial2', 'ethernet', "
       "'dialer1', 'dialer2')."},
      {{"serial3"}, -1, 0, "q330config_C2_SBPWR: Unrecognized interface 'serial3'."},
      {{"dialer2"},
       -1,
       0,
       "q330config_C2_SBPWR: Need function (one of 'cleartimeouts', 'offhook', 'onhook')."},
      {{"dialer2", "poweron"}, -1, 0, "q330config_C2_SBPWR: Unrecognized function 'poweron'."},
      {{"serial1", "powerontimer"}, -1, 0, "q330config_C2_SBPWR: Need timeout."},
  };
  std::vector<std::pair<int, int>> want;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.words.empty() ? "(none)" : c.words[0]);
    int rc = rig.run(q330config_C2_SBPWR, c.words);
    if (c.interface_number < 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(rig.error, c.error);
    } else {
      EXPECT_EQ(rc, 0) << rig.error;
      want.push_back({c.interface_number, c.flags});
    }
  }
  std::lock_guard<std::mutex> lock(rig.model->mutex);
  std::vector<std::pair<int, int>> got;
  for (const auto &s : rig.model->sbpwrs) got.push_back({s.interface_number, s.flag_and_timeout});
  EXPECT_EQ(got, want);
}

TEST(ConfigPort, AnnounceReadModifyWrite) {
  PortRig rig;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    Q330SimAnnc &a = rig.model->annc;
    a.active = 1;
    a.unlock_flags = 0x5;
    a.entries[0] = {0x0A000009, 0x0A0000FE, 10, 20, 0x3, 5330};
    a.entries[1] = {0x0A000002, 0, 1, 2, 0, 6000};
  }
  ASSERT_EQ(rig.reg(), 0) << rig.error;
  Q330C3ANNCPkt annc{};
  ASSERT_EQ(
      q330config_C3_RQANNC(rig.udp, "127.0.0.1", rig.hostport, rig.error, sizeof rig.error, &annc),
      0)
      << rig.error;
  EXPECT_EQ(annc.number_of_active_entries, 1);
  EXPECT_EQ(annc.entries[0].dp_udp_port, 5330);
  EXPECT_EQ(annc.entries[1].dp_udp_port, 6000);

  auto sannc = [&](std::vector<std::string> w) {
    std::vector<char *> argv;
    for (std::string &s : w) argv.push_back(s.data());
    return q330config_C3_SANNC(rig.udp, "127.0.0.1", rig.hostport, &annc, rig.error,
                               sizeof rig.error, static_cast<int>(argv.size()), argv.data());
  };
  ASSERT_EQ(sannc({"2", "-", "10.0.0.1"}), 0) << rig.error;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    const Q330SimAnnc &a = rig.model->annc;
    EXPECT_EQ(a.active, 2);
    EXPECT_EQ(a.unlock_flags, 0x5);
    EXPECT_EQ(a.entries[0].dp_ip, 0x0A000001u);
    EXPECT_EQ(a.entries[0].router_ip, 0x0A0000FEu);
    EXPECT_EQ(a.entries[0].port, 5330);
    EXPECT_EQ(a.entries[1].port, 6000);
  }
  // Every field of the second entry, flags with a base prefix.
  ASSERT_EQ(sannc({"-", "0x10", "-", "-", "-", "-", "-", "-", "10.0.0.7", "10.0.0.8", "15", "25",
                   "0x11", "7000"}),
            0)
      << rig.error;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    const Q330SimAnnc &a = rig.model->annc;
    EXPECT_EQ(a.active, 2);
    EXPECT_EQ(a.unlock_flags, 0x10);
    EXPECT_EQ(a.entries[0].dp_ip, 0x0A000001u);
    EXPECT_EQ(a.entries[1].dp_ip, 0x0A000007u);
    EXPECT_EQ(a.entries[1].router_ip, 0x0A000008u);
    EXPECT_EQ(a.entries[1].timeout, 15);
    EXPECT_EQ(a.entries[1].resume, 25);
    EXPECT_EQ(a.entries[1].flags, 0x11);
    EXPECT_EQ(a.entries[1].port, 7000);
  }
  EXPECT_EQ(sannc({"7", "-"}), -1);
  EXPECT_STREQ(rig.error, "q330config_C3_SANNC: number_of_active_entries cannot be larger than 6.");
  EXPECT_EQ(sannc({"-1", "-"}), -1);
  EXPECT_EQ(sannc({"2"}), -1);
  EXPECT_STREQ(rig.error,
               "q330config_C3_SANNC: Need at least the number_of_active_entries and unlock_flags.");

  // The text form lists the active entries.
  void *stack = nullptr;
  q330_pfstuff_ANNC(&stack, &annc, 1);
  char *text = popstr(&stack, 1);
  std::string t = text;
  free(text);
  EXPECT_NE(t.find("number_of_active_entries 2\nunlock_flags 0x10\nanncs &Tbl{\n&Arr{\n"
                   "dp_ip_address 10.0.0.1\nrouter_ip_address 10.0.0.254\n"),
            std::string::npos)
      << t;
  EXPECT_NE(t.find("flags 0x11\ndp_udp_port 7000\n}\n}\n"), std::string::npos) << t;

  // A short announce reply is an error, and nothing is written back.
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->short_annc = true;
  }
  size_t sets = 0;
  for (const Q330SimDatagram &d : rig.sim.received()) sets += d.port_type == 3 && d.command == 0x69;
  EXPECT_EQ(sannc({"1", "-"}), -1);
  EXPECT_STREQ(rig.error, "q330config_C3_SANNC: q330config_C3_RQANNC() error.\n");
  EXPECT_EQ(
      q330config_C3_RQANNC(rig.udp, "127.0.0.1", rig.hostport, rig.error, sizeof rig.error, &annc),
      -1);
  EXPECT_EQ(std::string(rig.error),
            "q330config_C3_RQANNC: q330_read_qdp(" + rig.port_text() + "->C2_TERC) error.");
  size_t after = 0;
  for (const Q330SimDatagram &d : rig.sim.received())
    after += d.port_type == 3 && d.command == 0x69;
  EXPECT_EQ(after, sets + 2);  // the two reads; no write
}

TEST(ConfigPort, RepliesFaultsAndKnobs) {
  {  // Never answered: C1_RQSRV three times, then a time-out.
    PortRig rig;
    rig.model->silent = true;
    double start = clock_monotonic();
    EXPECT_EQ(rig.reg(), -1);
    EXPECT_GE(clock_monotonic() - start, 89.0);
    EXPECT_EQ(std::string(rig.error),
              "q330config_register: q330_read_qdp(" + rig.port_text() + "->C1_SRVCH) timeout.");
    EXPECT_EQ(rig.sim.count(0x10), 3);
  }
  {  // A wrong code is refused with the datalogger's message.
    PortRig rig;
    EXPECT_EQ(rig.reg("abce"), -1);
    EXPECT_EQ(std::string(rig.error),
              "q330config_register: C1_CERR response, Cannot honor your request - Invalid "
              "registration response, from C1_SRVRSP->" +
                  rig.port_text() + ".");
    EXPECT_EQ(rig.reg("12345678901234567"), -1);
    EXPECT_STREQ(rig.error, "q330config_register: q330_setup_srvrsp() error.");
  }
  {  // A late challenge and replies from a foreign port are dropped, not taken as answers.
    PortRig rig;
    rig.model->late_srvch = true;
    rig.model->foreign = true;
    ASSERT_EQ(rig.reg(), 0) << rig.error;
    EXPECT_EQ(rig.run(q330config_C1_CTRL, {"resync"}), 0) << rig.error;
  }
  {  // C1_CERR and a wrong command to a command.
    PortRig rig;
    ASSERT_EQ(rig.reg(), 0) << rig.error;
    rig.model->cerr = 6;
    EXPECT_EQ(rig.run(q330config_C1_CTRL, {"gpson"}), -1);
    EXPECT_EQ(std::string(rig.error),
              "q330config_C1_CTRL: C1_CERR response, Invalid command - configuration port only, "
              "from C1_CTRL->" +
                  rig.port_text() + ".");
    rig.model->cerr = -1;
    rig.model->wrong_command = 0xA3;
    EXPECT_EQ(rig.run(q330config_C2_SBPWR, {"dialer1", "offhook"}), -1);
    EXPECT_EQ(std::string(rig.error),
              "q330config_C2_SBPWR: Wrong command response (C1_MYSN) from C2_SBPWR->" +
                  rig.port_text() + ".");
    rig.model->wrong_command = -1;
    rig.model->silent = true;
    EXPECT_EQ(rig.run(q330config_C1_CTRL, {"gpsoff"}), -1);
    EXPECT_EQ(std::string(rig.error),
              "q330config_C1_CTRL: q330_read_qdp(" + rig.port_text() + "->C1_CTRL) timeout.");
  }
  {  // Refusals before anything is sent.
    PortRig rig;
    EXPECT_EQ(q330config_register(&rig.udp, "127.0.0.1", rig.hostport, "-", kSerial, 5330, "",
                                  rig.error, sizeof rig.hostport, sizeof rig.error),
              -1);
    EXPECT_STREQ(rig.error, "q330config_register: NULL q330 ip address.");
    EXPECT_EQ(q330config_register(&rig.udp, "127.0.0.1", rig.hostport, "127.0.0.1", "12", 5330, "",
                                  rig.error, sizeof rig.hostport, sizeof rig.error),
              -1);
    EXPECT_STREQ(rig.error, "q330config_register: Unable to grok sn '12'.");
    EXPECT_EQ(rig.sim.received().size(), 0u);
  }
}

}  // namespace
