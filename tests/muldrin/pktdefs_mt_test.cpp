// Thread tests of the codec's shared state: the one-time index build, and the address-text
// cache used by printers of both forms at once, with name lookups outside its lock.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "q330_pktdefs.h"
#include "support/hostid.h"

namespace {

// The first test of the process: many threads race to build the indexes.
TEST(PktdefsThreads, IndexesBuildOnceUnderRacingCallers) {
  std::vector<std::thread> threads;
  std::vector<std::string> names(8);
  for (int i = 0; i < 8; i++)
    threads.emplace_back([i, &names] { names[(size_t)i] = q330_cmdstr(0xA9); });
  for (auto &t : threads) t.join();
  for (const auto &n : names) EXPECT_EQ(n, "C1_STAT");
  EXPECT_EQ(q330_get_port_type(0x0A), 2);
}

int reverse_any(unsigned address, std::string *name) {
  *name = "host" + std::to_string(ntohl(address) & 0xFF) + ".example";
  return 0;
}
int no_forward(const char *, unsigned *, std::string *) { return -1; }
const HostResolver kAny = {no_forward, reverse_any};

TEST(PktdefsThreads, TwoThreadsPrintOneAddressInBothForms) {
  hostid_reset();
  hostid_set_resolver(&kAny);
  const unsigned addr = 0x7F000021u;
  auto printer = [addr](int noipresolv, const char *want, int *bad) {
    char text[128];
    for (int i = 0; i < 2000; i++) {
      my_ip2str(addr, text, noipresolv, sizeof text);
      if (strcmp(text, want) != 0) (*bad)++;
    }
  };
  int bad_numeric = 0, bad_named = 0;
  std::thread a(printer, 1, "127.0.0.33", &bad_numeric);
  std::thread b(printer, 0, "127.0.0.33 (host33.example)", &bad_named);
  a.join();
  b.join();
  EXPECT_EQ(bad_numeric, 0);
  EXPECT_EQ(bad_named, 0);
  hostid_set_resolver(nullptr);
}

// A resolver that holds its caller until released, to show the cache lock is free while
// a lookup runs.
std::mutex g_mutex;
std::condition_variable g_cv;
bool g_in_lookup = false, g_release = false;
int reverse_slow(unsigned address, std::string *name) {
  if (ntohl(address) == 0x7F000042u) {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_in_lookup = true;
    g_cv.notify_all();
    g_cv.wait(lock, [] { return g_release; });
  }
  *name = "slow.example";
  return 0;
}
const HostResolver kSlow = {no_forward, reverse_slow};

TEST(PktdefsThreads, CachedTextsAreServedWhileALookupRuns) {
  hostid_reset();
  hostid_set_resolver(&kSlow);
  char text[128];
  my_ip2str(0x7F000043u, text, 0, sizeof text);  // cached before the slow lookup
  std::thread slow([] {
    char t[128];
    my_ip2str(0x7F000042u, t, 0, sizeof t);
    EXPECT_STREQ(t, "127.0.0.66 (slow.example)");
  });
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    g_cv.wait(lock, [] { return g_in_lookup; });
  }
  my_ip2str(0x7F000043u, text, 0, sizeof text);
  EXPECT_STREQ(text, "127.0.0.67 (slow.example)");
  unsigned a = 0;
  my_str2ip("127.0.0.66", &a);
  EXPECT_EQ(a, 0x7F000042u);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_release = true;
  }
  g_cv.notify_all();
  slow.join();
  hostid_set_resolver(nullptr);
}

}  // namespace
