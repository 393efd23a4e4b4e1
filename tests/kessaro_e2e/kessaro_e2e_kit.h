// kessaro_e2e_kit.h - what kessaro's end-to-end tests share: the simulator's stream time
// origin, a free loopback TCP port, a clean stop, and edits of the example parameter
// file.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "../kessaro/kessaro_ring.h"
#include "testkit/e2e_process.h"

namespace kes_e2e {

// The simulator's stream sample 0, epoch seconds.
inline constexpr double kT0 = 315532800.0 + 1000000.0;

// A loopback TCP port free just now.
inline int free_port() { return e2e_free_port(SOCK_STREAM); }

// kessaro, stopped by `sig`, ended on its own with exit status 0; its output otherwise.
inline ::testing::AssertionResult stopped_cleanly(pid_t pid, const std::string &out,
                                                  int sig = SIGTERM) {
  const int status = e2e_stop(pid, sig, 60);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << status << "\n" << e2e_read_text(out);
}

// Replaces the one occurrence of `from`; false when there is none.
inline bool replace_once(std::string *s, const std::string &from, const std::string &to) {
  size_t at = s->find(from);
  if (at == std::string::npos) return false;
  s->replace(at, from.size(), to);
  return true;
}

// The word that follows `after` in the text (up to a blank or the line's end).
inline std::string word_after(const std::string &text, const std::string &after) {
  size_t at = text.find(after);
  if (at == std::string::npos) return "";
  at += after.size();
  return text.substr(at, text.find_first_of(" \n", at) - at);
}

// Every packet of the ring file, oldest first.
inline std::vector<RingPacket> ring_read_all(const std::string &path) {
  int orb = orbopen(path.c_str(), "r");
  EXPECT_GE(orb, 0);
  if (orb < 0) return {};
  orbseek(orb, ORBOLDEST);
  std::vector<RingPacket> all = ring_take(orb);
  orbclose(orb);
  return all;
}

}  // namespace kes_e2e
