// Tests of the command table, its indexes and look-ups, the protocol names and C1_CERR
// messages, the address texts and their caches, and unknown commands.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

#include "base/tbl.h"
#include "q330_pktdefs.h"
#include "support/hostid.h"
#include "testkit/testkit.h"

namespace {

TEST(Pktdefs, TablesHaveTheirRowsAndIndexesFindThem) {
  EXPECT_EQ(q330_pktdefs_size, 90);
  EXPECT_EQ(q330_codedefs_size, 64);
  EXPECT_EQ(CERR_Codedef_size, 13);
  EXPECT_EQ(qtpb14_tokendefs_size, 10);
  EXPECT_EQ(q330_pktdefs_init(), 0);
  EXPECT_EQ(q330_pktdefs_init(), 0);
  std::set<int> codes;
  for (int i = 0; i < q330_pktdefs_size; i++) {
    const Q330Pktdefs &row = q330_pktdefs[i];
    codes.insert(row.command);
    EXPECT_EQ(q330_pktdefs_index[row.command], &row) << std::hex << row.command;
    // A row has a field list or hooks, never both.
    EXPECT_FALSE(row.pktdef && (row.unstuff || row.stuff || row.pfstuff)) << row.name;
  }
  EXPECT_EQ(codes.size(), 90u);
  for (int i = 0; i < q330_codedefs_size; i++)
    EXPECT_EQ(q330_codedefs_index[q330_codedefs[i].command], &q330_codedefs[i]);
  // Token definitions: the fixed body sizes agree with their field lists.
  for (int i = 0; i < qtpb14_tokendefs_size; i++) {
    const Qtpb14Tokendefs &t = qtpb14_tokendefs[i];
    EXPECT_EQ(qtpb14_tokendefs_index[t.id], &t);
    int size = 0;
    for (int f = 0; f < t.tokendef_size; f++) {
      const Pktdef &p = t.tokendef[f];
      int n = p.number < 0 ? -p.number : p.number;
      int width = p.type == PKTDEF_UINT16 || p.type == PKTDEF_INT16 ? 2
                  : p.type == PKTDEF_UINT32                         ? 4
                                                                    : 1;
      size += n * width;
    }
    EXPECT_EQ(size, t.token_size) << t.name;
  }
}

TEST(Pktdefs, PortTypes) {
  struct {
    int command, port;
  } cases[] = {{0xA0, 1}, {0x10, 1}, {0xA9, 1}, {0x112, 1}, {0x0B, 2},
               {0x00, 2}, {0x06, 2}, {0x0A, 2}, {0x129, 2}};
  for (auto c : cases) EXPECT_EQ(q330_get_port_type(c.command), c.port) << std::hex << c.command;
  for (int bad : {0x01, 0x69, 0x1FF, 512, -1, 100000}) {
    EXPECT_EQ(q330_get_port_type(bad), -1);
    char expect[64];
    snprintf(expect, sizeof expect, "q330_get_port_type: Command 0x%x not defined.", bad);
    EXPECT_NE(take_registered().find(expect), std::string::npos);
  }
}

TEST(Pktdefs, ProtocolNames) {
  struct {
    unsigned command;
    const char *name;
  } cases[] = {{0x10, "undef"},   {0x1A5, "C1_LOG"}, {0xA5, "C1_LOG"},       {0x11, "C1_SRVRSP"},
               {0x0A, "DT_DACK"}, {0x69, "C2_TERC"}, {0x2E, "C1_SSC"},       {0x6A, "C2_TERR"},
               {0xAC, "undef"},   {0x15, "undef"},   {0xFFFFFFFFu, "undef"}, {0x72, "C2_SEPCFG"}};
  for (auto c : cases) EXPECT_STREQ(q330_cmdstr(c.command), c.name) << std::hex << c.command;
}

TEST(Pktdefs, CodeMessages) {
  char str[128];
  struct {
    int command, code;
    const char *text;
  } cases[] = {
      {0xA2, 3, "Cannot honor your request - Invalid registration response"},
      {0xA2, 0, "Port in use - No permission - Invalid password"},
      {0xA2, 12, "Flash write or erase error"},
      {0xA2, 13, "Code 0x0d Unknown"},
      {0xA2, -1, "C1_CERR"},
      {0xA5, 2, "Code 0x02 Unknown"},  // a command without a code table
      {0xA5, -5, "C1_LOG"},
  };
  for (auto c : cases) {
    EXPECT_EQ(q330_code2str(c.command, c.code, str, sizeof str), 0);
    EXPECT_STREQ(str, c.text);
  }
  // Unknown command: the message is written and logged.
  EXPECT_EQ(q330_code2str(0x10, 1, str, sizeof str), -1);
  EXPECT_STREQ(str, "q330_code2str: Command 0x10 not defined.\n");
  EXPECT_NE(take_registered().find("q330_code2str: Command 0x10 not defined."), std::string::npos);
  // A small buffer is cut, never overrun.
  char small[8];
  std::memset(small, 'X', sizeof small);
  EXPECT_EQ(q330_code2str(0xA2, 3, small, 5), 0);
  EXPECT_STREQ(small, "Cann");
  EXPECT_EQ(small[5], 'X');
}

TEST(Pktdefs, UnknownCommandsAreRefusedWithTheirMessage) {
  unsigned char buf[64] = {};
  unsigned char *cur = buf;
  unsigned char host[64];
  void *stack = nullptr;
  EXPECT_EQ(q330_unstuff_qpkt(0x01, host, 10, &cur), -1);
  EXPECT_NE(take_registered().find("q330_unstuff_qpkt: Command 0x1 not defined."),
            std::string::npos);
  cur = buf;
  EXPECT_EQ(q330_unstuff_block(0x01, host, 10, &cur), -1);
  EXPECT_NE(take_registered().find("q330_unstuff_block: Command 0x1 not defined."),
            std::string::npos);
  EXPECT_EQ(q330_stuff_qpkt(0x300, &cur, host), -1);
  EXPECT_NE(take_registered().find("q330_stuff_qpkt: Command 0x300 not defined."),
            std::string::npos);
  EXPECT_EQ(q330_pfstuff_qpkt(-4, &stack, host, 1, 1), -1);
  EXPECT_NE(take_registered().find("q330_pfstuff_qpkt: Command 0xfffffffc not defined."),
            std::string::npos);
  EXPECT_EQ(cur, buf);
  EXPECT_EQ(stack, nullptr);
}

TEST(Pktdefs, EmptyRowsTouchNothingAndPrintNothing) {
  unsigned char buf[16];
  std::memset(buf, 0x77, sizeof buf);
  unsigned char *cur = buf;
  unsigned char host[16];
  std::memset(host, 0x55, sizeof host);
  EXPECT_EQ(q330_unstuff_qpkt(0xA0, host, 16, &cur), 0);
  EXPECT_EQ(cur, buf);
  EXPECT_EQ(q330_stuff_qpkt(0x0B, &cur, host), 0);
  EXPECT_EQ(cur, buf);
  EXPECT_EQ(buf[0], 0x77);
  EXPECT_EQ(host[0], 0x55);
  void *stack = nullptr;
  EXPECT_EQ(q330_pfstuff_qpkt(0xA0, &stack, host, 1, 1), 0);  // C1_CACK: not even a wrapper
  EXPECT_EQ(stack, nullptr);
}

TEST(Pktdefs, TextToAddress) {
  struct {
    const char *text;
    unsigned address;
  } cases[] = {
      {"10.1.2.3 (somehost.example)", 0x0A010203u},
      {"10.1.2.3", 0x0A010203u},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"somehost", 0},
      {"10.1.2", 0},
      {"10.1.2.256", 0},
      {"10.-1.2.3", 0},
      {"300.1.2.3", 0},
      {"", 0},
  };
  for (auto c : cases) {
    unsigned a = 12345;
    EXPECT_EQ(my_str2ip(c.text, &a), 0);
    EXPECT_EQ(a, c.address) << c.text;
    a = 12345;  // again, from the cache where cached
    my_str2ip(c.text, &a);
    EXPECT_EQ(a, c.address) << c.text;
  }
}

int g_reverse_calls = 0;
int no_forward(const char *, unsigned *, std::string *) { return -1; }
int reverse_nine(unsigned address, std::string *name) {
  g_reverse_calls++;
  if ((ntohl(address) & 0xFFFF0000u) == 0x7F100000u) {
    *name = "far.example";
    return 0;
  }
  if (address != htonl(0x7F000009u)) return -1;
  *name = "nine.example";
  return 0;
}
const HostResolver kResolver = {no_forward, reverse_nine};

TEST(Pktdefs, AddressToText) {
  hostid_reset();
  hostid_set_resolver(&kResolver);
  char text[256];
  // Numeric form first: it does not fix the form of later resolved texts.
  EXPECT_EQ(my_ip2str(0x7F000009u, text, 1, sizeof text), 0);
  EXPECT_STREQ(text, "127.0.0.9");
  EXPECT_EQ(g_reverse_calls, 0);
  EXPECT_EQ(my_ip2str(0x7F000009u, text, 0, sizeof text), 0);
  EXPECT_STREQ(text, "127.0.0.9 (nine.example)");
  EXPECT_EQ(g_reverse_calls, 1);
  EXPECT_EQ(my_ip2str(0x7F000009u, text, 0, sizeof text), 0);  // cached
  EXPECT_STREQ(text, "127.0.0.9 (nine.example)");
  EXPECT_EQ(g_reverse_calls, 1);
  EXPECT_EQ(my_ip2str(0x7F000009u, text, 1, sizeof text), 0);
  EXPECT_STREQ(text, "127.0.0.9");
  // A failed lookup gives "(?)" and leaves nothing registered.
  EXPECT_EQ(my_ip2str(0x7F00000Au, text, 0, sizeof text), 0);
  EXPECT_STREQ(text, "127.0.0.10 (?)");
  EXPECT_EQ(take_registered(), "");
  // A small buffer is cut.
  char small[6];
  EXPECT_EQ(my_ip2str(0x7F000009u, small, 0, sizeof small), 0);
  EXPECT_STREQ(small, "127.0");
  hostid_set_resolver(nullptr);
}

TEST(Pktdefs, AddressTextCacheIsBounded) {
  hostid_reset();
  hostid_set_resolver(&kResolver);
  char text[64];
  g_reverse_calls = 0;
  // 1100 distinct addresses, then the first again: it was cached (one call).
  for (unsigned i = 0; i < 1100; i++) my_ip2str(0x7F100000u + i, text, 0, sizeof text);
  int calls = g_reverse_calls;
  EXPECT_EQ(calls, 1100);
  my_ip2str(0x7F100000u, text, 0, sizeof text);
  EXPECT_EQ(g_reverse_calls, calls);
  // Past the bound, texts are still right but no longer kept.
  my_ip2str(0x7F100000u + 1099, text, 0, sizeof text);
  EXPECT_STREQ(text, "127.16.4.75 (far.example)");
  EXPECT_EQ(g_reverse_calls, calls + 1);
  hostid_set_resolver(nullptr);
  take_registered();
}

}  // namespace
