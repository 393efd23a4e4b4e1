#include "support/hostid.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/clock.h"
#include "testkit/testkit.h"

namespace {

// ifconfig output of current tools.
const char kNewForm[] =
    "eth0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
    "        inet 10.1.2.3  netmask 255.255.255.0  broadcast 10.1.2.255\n"
    "        inet6 fe80::fc:ff:fe00:1  prefixlen 64  scopeid 0x20<link>\n"
    "        ether 02:fc:00:00:00:01  txqueuelen 1000  (Ethernet)\n"
    "\n"
    "lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536\n"
    "        inet 127.0.0.1  netmask 255.0.0.0\n"
    "        inet6 ::1  prefixlen 128  scopeid 0x10<host>\n"
    "\n"
    "wlan0: flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
    "\tinet 192.168.200.17 netmask 255.255.255.0\n";

// ifconfig output of older tools, loopback first.
const char kOldForm[] =
    "lo        Link encap:Local Loopback\n"
    "          inet addr:127.0.0.1  Mask:255.0.0.0\n"
    "          inet6 addr: ::1/128 Scope:Host\n"
    "          UP LOOPBACK RUNNING  MTU:16436  Metric:1\n"
    "\n"
    "eth0      Link encap:Ethernet  HWaddr 00:11:22:33:44:55\n"
    "          inet addr:10.1.2.3  Bcast:10.1.2.255  Mask:255.255.255.0\n"
    "          inet6 addr: fe80::211:22ff:fe33:4455/64 Scope:Link\n";

// Lines that look like addresses but are not.
const char kBadLines[] =
    "        inet 10.1.2.300  netmask 255.255.255.0\n"
    "        inet addr:1.2.3  Mask:255.0.0.0\n"
    "        inet 1.2.3.4.5  netmask 255.0.0.0\n"
    "        inet 0001.2.3.4\n"
    "        inet -1.2.3.4\n"
    "        inet6 addr: 10.9.9.9\n"
    "        inet\n"
    "        cabinet 10.8.8.8\n"
    "        inet 10.4.5.6\n";

constexpr unsigned ip(unsigned a, unsigned b, unsigned c, unsigned d) {
  return a << 24 | b << 16 | c << 8 | d;
}

std::vector<unsigned> parse(const char *text, int room, int skip) {
  std::vector<unsigned> list((size_t)room + 1, 0xDEADBEEF);
  int n = ifconfig_parse(text, list.data(), room, skip);
  EXPECT_EQ(list[(size_t)room], 0xDEADBEEF) << "wrote past the room";
  list.resize((size_t)(n < 0 ? 0 : n));
  return list;
}

// A stand-in resolver: forward knows "known" (and "loghost"), reverse knows 127.0.0.9.
int g_forward_calls = 0, g_reverse_calls = 0;
int fake_forward(const char *name, unsigned *address, std::string *official) {
  g_forward_calls++;
  if (strcmp(name, "known") != 0) return -1;
  *address = htonl(ip(127, 0, 0, 7));
  *official = "known.example";
  return 0;
}
int fake_reverse(unsigned address, std::string *name) {
  g_reverse_calls++;
  if (address != htonl(ip(127, 0, 0, 9))) return -1;
  *name = "nine.example";
  return 0;
}
const HostResolver kFake = {fake_forward, fake_reverse};
int fail_forward(const char *, unsigned *, std::string *) { return -1; }
const HostResolver kNothingResolves = {fail_forward, fake_reverse};
int any_forward(const char *name, unsigned *address, std::string *official) {
  *address = htonl(ip(127, 0, 0, 8));
  *official = std::string(name) + ".example";
  return 0;
}
const HostResolver kEverythingResolves = {any_forward, fake_reverse};

// A driven monotonic clock, for the age of the interface list.
double g_mono = 1000;
double driven_now(void *) { return 1.7e9 + g_mono; }
double driven_mono(void *) { return g_mono; }
void driven_sleep(double s, void *) { g_mono += s; }
const ClockDriver kDriver = {driven_now, driven_mono, driven_sleep, nullptr};

class HostId : public ::testing::Test {
 protected:
  void SetUp() override {
    hostid_reset();
    g_forward_calls = g_reverse_calls = 0;
  }
  void TearDown() override {
    hostid_set_resolver(nullptr);
    hostid_set_ifconfig(nullptr);
    clock_set_driver(nullptr);
    hostid_reset();
  }
  // A stand-in ifconfig printing `text`; each run appends "$LANG $*" to the file runs.
  std::string fake_ifconfig(const std::string &text) {
    dir_.write("output", text);
    std::string script =
        dir_.write("ifconfig", "#!/bin/sh\necho \"$LANG $*\" >> " + dir_.file("runs") +
                                   "\n/bin/cat " + dir_.file("output") + "\n");
    chmod(script.c_str(), 0755);
    return script;
  }
  std::string runs() { return read_file(dir_.file("runs")); }
  TempDir dir_;
};

}  // namespace

TEST(IfconfigParse, BothFormsAndTheLoopback) {
  struct Case {
    const char *name;
    const char *text;
    int room, skip;
    std::vector<unsigned> expect;
  } cases[] = {
      {"new", kNewForm, 31, 1, {ip(10, 1, 2, 3), ip(192, 168, 200, 17)}},
      {"new, loopback kept",
       kNewForm,
       31,
       0,
       {ip(10, 1, 2, 3), ip(127, 0, 0, 1), ip(192, 168, 200, 17)}},
      {"old", kOldForm, 31, 1, {ip(10, 1, 2, 3)}},
      {"old, loopback kept", kOldForm, 31, 0, {ip(127, 0, 0, 1), ip(10, 1, 2, 3)}},
      {"room for one", kNewForm, 1, 0, {ip(10, 1, 2, 3)}},
      {"no room", kNewForm, 0, 0, {}},
      {"bad octets and look-alikes", kBadLines, 31, 1, {ip(10, 4, 5, 6)}},
      {"empty", "", 31, 1, {}},
      {"no final newline", "inet addr:255.255.255.255", 31, 1, {ip(255, 255, 255, 255)}},
  };
  for (const Case &c : cases) EXPECT_EQ(parse(c.text, c.room, c.skip), c.expect) << c.name;
}

TEST_F(HostId, InterfaceListComesFromIfconfigAndIsKeptAMinute) {
  clock_set_driver(&kDriver);
  hostid_set_ifconfig(fake_ifconfig(kOldForm).c_str());
  unsigned list[MY_IPS_ROOM];
  memset(list, 0xFF, sizeof list);
  EXPECT_EQ(my_ips(list), 1);
  EXPECT_EQ(list[0], ip(10, 1, 2, 3));
  EXPECT_EQ(list[1], 0u);
  EXPECT_EQ(runs(), "C -a\n") << "run with LANG=C and -a only";

  g_mono += 59;
  EXPECT_EQ(my_ips(list), 1);
  EXPECT_EQ(runs(), "C -a\n") << "a list younger than 60 s is not read again";

  dir_.write("output", kNewForm);
  g_mono += 2;
  EXPECT_EQ(my_ips(list), 2);
  EXPECT_EQ(list[1], ip(192, 168, 200, 17));
  EXPECT_EQ(list[2], 0u);
  EXPECT_EQ(runs(), "C -a\nC -a\n");
}

TEST_F(HostId, InterfaceListStopsAtThirtyOne) {
  std::string text;
  for (int i = 1; i <= 40; i++) text += "inet 10.0.0." + std::to_string(i) + "\n";
  hostid_set_ifconfig(fake_ifconfig(text).c_str());
  unsigned list[MY_IPS_ROOM + 4];
  memset(list, 0xFF, sizeof list);
  EXPECT_EQ(my_ips(list), 31);
  EXPECT_EQ(list[30], ip(10, 0, 0, 31));
  EXPECT_EQ(list[31], 0u);
  EXPECT_EQ(list[32], 0xFFFFFFFFu);
}

TEST_F(HostId, FirstAddressKeepsTheLoopback) {
  hostid_set_ifconfig(fake_ifconfig(kOldForm).c_str());
  EXPECT_EQ(my_ipaddress(), ip(127, 0, 0, 1));
  hostid_set_ifconfig(fake_ifconfig("no addresses here\n").c_str());
  EXPECT_EQ(my_ipaddress(), 0u);
}

TEST_F(HostId, WithoutIfconfigTheSystemListsTheInterfaces) {
  hostid_set_ifconfig(dir_.file("no-such-ifconfig").c_str());
  unsigned list[MY_IPS_ROOM];
  int n = my_ips(list);
  ASSERT_GE(n, 0);
  ASSERT_LE(n, 31);
  EXPECT_EQ(list[n], 0u);
  for (int i = 0; i < n; i++) EXPECT_NE(list[i], ip(127, 0, 0, 1));
  EXPECT_EQ(runs(), "") << "nothing was run";

  // The real ifconfig, where there is one, lists the same addresses.
  hostid_reset();
  hostid_set_ifconfig(nullptr);
  unsigned from_ifconfig[MY_IPS_ROOM];
  int m = my_ips(from_ifconfig);
  std::multiset<unsigned> a(list, list + n), b(from_ifconfig, from_ifconfig + m);
  EXPECT_EQ(a, b);
}

TEST_F(HostId, MyIpFallsBackToTheInterfaces) {
  hostid_set_ifconfig(fake_ifconfig(kNewForm).c_str());
  char shortname[HOSTID_NAME_SIZE];
  ASSERT_EQ(my_hostname(shortname), 0);
  struct Case {
    const HostResolver *resolver;
    int result;
    std::string host, dotted;
    unsigned address;
  } cases[] = {
      {&kNothingResolves, 0, "localhost", "10.1.2.3", htonl(ip(10, 1, 2, 3))},
      {&kEverythingResolves, 0, std::string(shortname) + ".example", "127.0.0.8",
       htonl(ip(127, 0, 0, 8))},
  };
  for (const Case &c : cases) {
    hostid_set_resolver(c.resolver);
    char host[HOSTID_NAME_SIZE] = "", dotted[HOSTID_DOTTED_SIZE] = "";
    unsigned address = 0;
    EXPECT_EQ(my_ip(host, dotted, &address), c.result);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(dotted, c.dotted);
    EXPECT_EQ(address, c.address);
  }

  // No address at all: -1, with the dotted text and address untouched.
  hostid_reset();
  hostid_set_resolver(&kNothingResolves);
  hostid_set_ifconfig(fake_ifconfig("lo: inet 127.0.0.1\n").c_str());
  char host[HOSTID_NAME_SIZE], dotted[HOSTID_DOTTED_SIZE] = "untouched";
  unsigned address = 42;
  EXPECT_EQ(my_ip(host, dotted, &address), -1);
  EXPECT_STREQ(dotted, "untouched");
  EXPECT_EQ(address, 42u);
}

TEST_F(HostId, NameToAddress) {
  struct Case {
    const HostResolver *resolver;  // none: the system's
    const char *name;
    int result;
    unsigned address;
    std::string dotted;
  } cases[] = {
      {&kFake, "known", 0, htonl(ip(127, 0, 0, 7)), "127.0.0.7"},
      {&kFake, "unknown", -1, 0xFFFFFFFFu, ""},
      {nullptr, "127.0.0.1", 0, htonl(ip(127, 0, 0, 1)), "127.0.0.1"},
      {nullptr, "127.1.2.3", 0, htonl(ip(127, 1, 2, 3)), "127.1.2.3"},
  };
  for (const Case &c : cases) {
    hostid_set_resolver(c.resolver);
    unsigned address = 0;
    char dotted[HOSTID_DOTTED_SIZE] = "Z";
    EXPECT_EQ(name2ip(c.name, &address, dotted), c.result) << c.name;
    EXPECT_EQ(address, c.address) << c.name;
    EXPECT_EQ(dotted, c.dotted) << c.name;
  }
  // localhost resolves from the hosts file to a loopback address.
  hostid_set_resolver(nullptr);
  unsigned address = 0;
  char dotted[HOSTID_DOTTED_SIZE];
  ASSERT_EQ(name2ip("localhost", &address, dotted), 0);
  EXPECT_EQ(ntohl(address) >> 24, 127u);
  EXPECT_EQ(std::string(dotted).rfind("127.", 0), 0u);
}

TEST_F(HostId, AddressToNameComplainsOncePerAddress) {
  hostid_set_resolver(&kFake);
  char name[HOSTID_NAME_SIZE];
  EXPECT_EQ(ip2name(htonl(ip(127, 0, 0, 1)), name), 0);
  EXPECT_STREQ(name, "localhost");
  EXPECT_EQ(g_reverse_calls, 0) << "127.0.0.1 needs no lookup";

  EXPECT_EQ(ip2name(htonl(ip(127, 0, 0, 9)), name), 0);
  EXPECT_STREQ(name, "nine.example");

  ElogCapture cap;
  for (int i = 0; i < 2; i++) {
    EXPECT_EQ(ip2name(htonl(ip(127, 1, 2, 3)), name), -1);
    EXPECT_STREQ(name, "127.1.2.3");
  }
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 1u) << cap.text();
  EXPECT_NE(lines[0].find("ip2name: Can't lookup hostname for ip address 127.1.2.3"),
            std::string::npos);
  EXPECT_EQ(g_reverse_calls, 2) << "the failed address is not looked up again";
}

TEST_F(HostId, UnameNames) {
  struct utsname u;
  ASSERT_EQ(uname(&u), 0);
  char name[HOSTID_NAME_SIZE];
  EXPECT_EQ(my_hostname(name), 0);
  EXPECT_EQ(strchr(name, '.'), nullptr);
  EXPECT_EQ(std::string(u.nodename).rfind(name, 0), 0u) << "a leading part of the node name";
  EXPECT_EQ(my_os(name), 0);
  EXPECT_STREQ(name, "Linux");
  EXPECT_EQ(my_hardware(name), 0);
  EXPECT_STREQ(name, u.machine);
}

TEST_F(HostId, UserName) {
  char name[HOSTID_NAME_SIZE];
  struct passwd *pw = getpwuid(geteuid());
  ASSERT_NE(pw, nullptr);
  EXPECT_EQ(my_username(name), 0);
  EXPECT_STREQ(name, pw->pw_name);
}
