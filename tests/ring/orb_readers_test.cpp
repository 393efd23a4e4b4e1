// Reader processes beside a writer: many readers with different selections in a ring
// small enough to be lapped, and readers that die while they wait.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "ring/orb.h"
#include "ringtest.h"
#include "testkit/testkit.h"

namespace {

const char *const kSources[] = {"AA_ST1/log", "AA_ST2/pf/st", "BB_ST1/log", "CC_X/raw"};
constexpr int kSourceCount = 4;
const char *const kEnd = "ZZ_END/x";

// Packet i: its index (4 bytes, little-endian), then bytes that depend on i and their
// place, 16 to 415 of them.
std::string body(uint32_t i) {
  std::string b(4 + 16 + (i * 37u) % 400, '\0');
  for (int k = 0; k < 4; k++) b[(size_t)k] = (char)(i >> (8 * k));
  for (size_t k = 4; k < b.size(); k++) b[k] = (char)(i * 31u + k);
  return b;
}

struct ReaderCase {
  const char *select;  // none for all
  const char *reject;
  bool wants[kSourceCount];
};

// Reads until the end packet, checking each packet against `rc`. Exit status 0, or the
// number of the first check that failed (its message on stderr).
int run_reader(const std::string &path, const ReaderCase &rc, int ready_fd, int total) {
  auto fail = [](int code, const std::string &what) {
    fprintf(stderr, "reader: %s\n", what.c_str());
    return code;
  };
  int orb = orbopen(path.c_str(), "r");
  if (orb < 0) return fail(2, "orbopen");
  if (rc.select && orbselect(orb, rc.select) < 0) return fail(3, "orbselect");
  if (rc.reject && orbreject(orb, rc.reject) < 0) return fail(3, "orbreject");
  char b = 'r';
  if (write(ready_fd, &b, 1) != 1) return fail(4, "ready");
  close(ready_fd);
  std::vector<bool> got((size_t)total, false);
  int64_t last = -1;
  for (;;) {
    Reaped p = reap(orb, true);
    if (p.rc != 0) return fail(5, "orbreap failed: " + take_registered());
    if (p.srcname == kEnd) break;
    if (p.bytes.size() < 4) return fail(6, "short packet");
    uint32_t i = 0;
    for (int k = 3; k >= 0; k--) i = (i << 8) | (unsigned char)p.bytes[(size_t)k];
    if (i >= (uint32_t)total) return fail(6, "index out of range");
    if (p.bytes != body(i)) return fail(7, "torn or overwritten packet " + std::to_string(i));
    if (p.srcname != kSources[i % kSourceCount])
      return fail(8, "packet " + std::to_string(i) + " under source " + p.srcname);
    if (!rc.wants[i % kSourceCount]) return fail(9, "unselected source " + p.srcname);
    if ((int64_t)i <= last) return fail(10, "packet " + std::to_string(i) + " out of order");
    if (p.pktid != (int)i) return fail(11, "packet id " + std::to_string(p.pktid));
    last = i;
    got[i] = true;
  }
  Orbstat st;
  if (orbstat(orb, &st) < 0) return fail(12, "orbstat");
  int64_t absent = 0, delivered = 0;
  for (int i = 0; i < total; i++) {
    if (!rc.wants[i % kSourceCount]) continue;
    if (got[(size_t)i]) {
      delivered++;
    } else {
      absent++;
    }
  }
  // Every lapped packet is counted, selected or not; so the absent selected packets are
  // at most the count, and exactly the count for a reader that selects everything.
  bool all = rc.wants[0] && rc.wants[1] && rc.wants[2] && rc.wants[3];
  if (all ? absent != st.conn_missed : absent > st.conn_missed)
    return fail(13, std::to_string(absent) + " selected packets absent, " +
                        std::to_string(st.conn_missed) + " counted missed");
  if (delivered == 0) return fail(14, "nothing delivered");
  return 0;
}

class OrbReaders : public ::testing::Test {
 protected:
  void TearDown() override { elog_clear_register(0); }
  TempDir dir;
};

// Eight reader processes, six selections, one writer putting as fast as it can into a
// ring that holds a few hundred packets: readers are lapped now and then, and must lose
// packets only as counted misses, never get a torn or overwritten one.
TEST_F(OrbReaders, EveryPacketWholeAndInOrderOrCountedMissed) {
  constexpr int kTotal = 30000;
  const ReaderCase cases[] = {
      {nullptr, nullptr, {true, true, true, true}},
      {nullptr, nullptr, {true, true, true, true}},
      {"AA_.*|ZZ_END/x", nullptr, {true, true, false, false}},
      {".*/log|ZZ_END/x", nullptr, {true, false, true, false}},
      {nullptr, "AA_.*", {false, false, true, true}},
      {"CC_X/raw|ZZ_END/x", nullptr, {false, false, false, true}},
      {"BB_.*|AA_.*|ZZ_END/x", ".*/pf/.*", {true, false, true, false}},
      {nullptr, nullptr, {true, true, true, true}},
  };
  std::string path = dir.file("ring");
  ASSERT_EQ(orbcreate(path.c_str(), 128 << 10), 0);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  std::vector<pid_t> pids;
  for (const ReaderCase &c : cases) {
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      _exit(run_reader(path, c, ready[1], kTotal));
    }
    pids.push_back(pid);
  }
  close(ready[1]);
  for (size_t i = 0; i < pids.size(); i++) {
    char b;
    ASSERT_EQ(read(ready[0], &b, 1), 1);
  }
  close(ready[0]);
  int w = orbopen(path.c_str(), "w");
  ASSERT_GE(w, 0);
  for (uint32_t i = 0; i < (uint32_t)kTotal; i++) {
    std::string b = body(i);
    ASSERT_EQ(put(w, kSources[i % kSourceCount], b, 1000.0 + i), (int)i);
  }
  ASSERT_EQ(put(w, kEnd, "end"), kTotal);
  for (size_t i = 0; i < pids.size(); i++) {
    int status = 0;
    ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "reader " << i << ": status " << status;
  }
  orbclose(w);
}

// Readers killed while they sleep in orbreap leave nothing that makes later puts pay for
// them: the first put of a source clears their mark for its bucket (one needless wake),
// later puts of it find no sleeper and make no call. A new reader is then woken as usual.
TEST_F(OrbReaders, ReadersKilledWhileWaitingCostLaterPutsNothing) {
  std::string path = dir.file("ring");
  ASSERT_EQ(orbcreate(path.c_str(), 1 << 20), 0);
  int w = orbopen(path.c_str(), "w");
  ASSERT_GE(w, 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < 4; i++) {
    pid_t pid = fork();
    if (pid == 0) {
      int orb = orbopen(path.c_str(), "r");
      if (orb < 0 || orbselect(orb, "NOTHING/x") < 0) _exit(2);
      for (;;) reap(orb, true);
    }
    pids.push_back(pid);
  }
  RawRing raw(path);
  ASSERT_TRUE(raw.ok());
  std::atomic_ref<uint32_t> sleepers(raw.live().sleepers);
  // The bits of source AA/log: its bucket's, and that of a source new to its writer.
  const uint32_t bits = ringfile::source_bit("AA/log", 6) | ringfile::kNewSourceBit;
  while (sleepers.load() == 0) sched_yield();  // one of them is going to sleep
  for (pid_t pid : pids) kill(pid, SIGKILL);
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status));
  }
  EXPECT_EQ(sleepers.load() & bits, bits) << "the dead left their mark";
  ASSERT_EQ(put(w, "AA/log", "first"), 0);
  EXPECT_EQ(sleepers.load() & bits, 0u);
  for (int i = 1; i <= 100; i++) ASSERT_EQ(put(w, "AA/log", "more"), i);
  EXPECT_EQ(sleepers.load() & bits, 0u);

  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t reader = fork();
  if (reader == 0) {
    int orb = orbopen(path.c_str(), "r");
    char b = 'r';
    if (orb < 0 || write(ready[1], &b, 1) != 1) _exit(2);
    Reaped p = reap(orb, true);
    _exit(p.rc == 0 && p.bytes == "wake" ? 0 : 3);
  }
  char b;
  ASSERT_EQ(read(ready[0], &b, 1), 1);
  while ((sleepers.load() & bits) == 0) sched_yield();
  ASSERT_EQ(put(w, "AA/log", "wake"), 101);
  int status = 0;
  ASSERT_EQ(waitpid(reader, &status, 0), reader);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(ready[0]);
  close(ready[1]);
  orbclose(w);
}

// A writer of more sources than its first table of names keeps (1024 slots) still knows
// them all after the first round: later puts of them do not count as new sources, so a
// reader that selects none of them sleeps through every one (the wake count stays).
TEST_F(OrbReaders, IdleReaderSleepsThroughTheSecondRoundOfManySources) {
  std::string path = dir.file("ring");
  ASSERT_EQ(orbcreate(path.c_str(), 1 << 22), 0);
  int w = orbopen(path.c_str(), "w");
  ASSERT_GE(w, 0);
  constexpr int kNames = 2000;
  auto round = [&] {
    for (int k = 0; k < kNames; k++) ASSERT_GE(put(w, "N" + std::to_string(k) + "/x", "b"), 0);
  };
  pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    int orb = orbopen(path.c_str(), "r");
    if (orb < 0 || orbselect(orb, "NOTHING/x") < 0) _exit(2);
    for (;;) reap(orb, true);
  }
  RawRing raw(path);
  ASSERT_TRUE(raw.ok());
  std::atomic_ref<uint32_t> sleepers(raw.live().sleepers);
  std::atomic_ref<uint32_t> wakes(raw.live().wake_seq);
  for (int i = 0; sleepers.load() == 0; i++) {
    ASSERT_LT(i, 60000) << "the reader never slept";
    usleep(1000);
  }
  round();  // the reader sees and rejects every name
  // Once it has rejected names of every bucket it waits for new sources only.
  for (int i = 0; sleepers.load() != ringfile::kNewSourceBit; i++) {
    ASSERT_LT(i, 60000) << "the reader never slept for new sources only: " << sleepers.load();
    usleep(1000);
  }
  const uint32_t before = wakes.load();
  round();
  EXPECT_EQ(wakes.load(), before) << "puts of sources already put counted as new";
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  orbclose(w);
}

}  // namespace
