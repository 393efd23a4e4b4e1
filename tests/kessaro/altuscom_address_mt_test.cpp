// The address hand-off between threads: callers post new addresses for a TCP-client link
// while the link's own thread takes them over between its calls. The link only ever sees
// a whole address (host, port and link text of one post), and the last post wins.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "altuscomthread.h"
#include "kessaro.h"

namespace {

TEST(AltusAddressHandoff, LinkThreadSeesWholeAddressesAndTheLastPost) {
  Modem *link = modem_new();
  link->name = strdup("own");
  link->com_mode = 2;
  link->ipaddr = strdup("127.0.0.9");
  link->port = -1;
  const std::vector<std::string> hosts = {"127.0.0.1", "127.0.0.2", "127.0.0.3"};
  std::atomic<bool> posting{true};
  std::atomic<int> applied{0};
  std::thread link_thread([&] {
    while (posting || link->reset_ipaddress) {
      if (altuscom_apply_address(link) == 1) {
        applied++;
        // What the link calls next: one post's host and its text, port kept negative.
        std::string host = link->ipaddr;
        EXPECT_EQ(std::string(link->com), "tcp:" + host + ":-1:own");
        EXPECT_EQ(link->port, -1);
      }
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; c++) {
    callers.emplace_back([&, c] {
      for (int i = 0; i < 300; i++) {
        altuscom_post_address(link, hosts[(size_t)(c + i) % hosts.size()].c_str(), -1, nullptr);
      }
    });
  }
  for (auto &t : callers) t.join();
  ASSERT_EQ(altuscom_post_address(link, "127.0.0.7", -1, nullptr), 1);
  posting = false;
  link_thread.join();
  EXPECT_GT(applied.load(), 0);
  EXPECT_STREQ(link->ipaddr, "127.0.0.7");
  EXPECT_EQ(link->reset_ipaddress, 0);
  modem_free(link);
}

}  // namespace
