// Ring files damaged by other processes while they are in use: a file cut shorter under
// its readers and writers, and live counters pushed to the edge of their range.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>

#include "base/elog.h"
#include "ring/orb.h"
#include "ringtest.h"
#include "testkit/testkit.h"

namespace {

// Whether process `pid` sleeps in a futex wait now, as its kernel wait channel tells;
// also true when the system does not tell (the caller then relies on the ring's mark).
bool asleep_in_futex(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/wchan");
  std::string where;
  if (!(in >> where) || where == "0") return true;
  return where.find("futex") != std::string::npos;
}

class OrbHostile : public ::testing::Test {
 protected:
  void TearDown() override { elog_clear_register(0); }
  TempDir dir;
};

// The file is cut under a reader asleep in orbreap (in another process), a reader of this
// process and a writer. Nobody touches the mapping beyond the file's end (which would
// kill the process with SIGBUS): each call is refused with a message, and the file is
// left as it is.
TEST_F(OrbHostile, FileCutUnderReadersAndWriterIsRefused) {
  constexpr int64_t kCapacity = 1 << 20;
  ClockScale fast(0.01);  // the sleeping reader re-checks every 10 ms
  for (off_t cut : {(off_t)0, (off_t)4096 + 100, (off_t)kCapacity - 1}) {
    SCOPED_TRACE(cut);
    std::string path = dir.file("ring" + std::to_string(cut));
    ASSERT_EQ(orbcreate(path.c_str(), kCapacity), 0);
    int w = orbopen(path.c_str(), "w");
    int r = orbopen(path.c_str(), "r");
    ASSERT_GE(w, 0);
    ASSERT_GE(r, 0);
    for (int i = 0; i < 50; i++) put(w, "AA/log", std::string(3000, 'a'));
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    if (child == 0) {
      int orb = orbopen(path.c_str(), "r");
      char b = 'r';
      if (orb < 0 || write(ready[1], &b, 1) != 1) _exit(2);
      Reaped p = reap(orb, true);  // asleep until the cut is seen
      // Puts that landed before the writer's next size check (see below) are read first.
      for (int i = 0; i < 1000000 && p.rc == 0; i++) p = reap(orb, true);
      std::string why = take_registered();
      _exit(p.rc == -1 && why.find("was cut shorter than its ring") != std::string::npos ? 0 : 3);
    }
    char b;
    ASSERT_EQ(read(ready[0], &b, 1), 1);
    close(ready[0]);
    close(ready[1]);
    {
      // The reader marks the ring, looks at it once more and goes to sleep.
      RawRing raw(path);
      std::atomic_ref<uint32_t> sleepers(raw.live().sleepers);
      while (sleepers.load() == 0 || !asleep_in_futex(child)) sched_yield();
    }
    ASSERT_EQ(truncate(path.c_str(), cut), 0);

    ElogCapture cap;
    // A cut that spares the bytes a put touches is seen at the next size check, a few
    // milliseconds at most after the last one: puts until then may still land.
    int rc = 0;
    for (int i = 0; i < 1000000 && (rc = put(w, "AA/log", "after the cut")) != -1; i++) {
    }
    EXPECT_EQ(rc, -1);
    EXPECT_NE(take_registered().find("orbputx: ring file '" + path + "' was cut shorter"),
              std::string::npos);
    EXPECT_EQ(reap(r).rc, -1);
    EXPECT_NE(take_registered().find("orbreap_nd: ring file"), std::string::npos);
    Orbstat st;
    EXPECT_EQ(orbstat(r, &st), -1);
    EXPECT_TRUE(cap.contains("it was cut under this process")) << cap.text();

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status))
        << "the sleeping reader died of signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);

    struct stat sb {};
    ASSERT_EQ(stat(path.c_str(), &sb), 0);
    EXPECT_EQ(sb.st_size, cut) << "the damaged file is left as it is";
    EXPECT_EQ(orbclose(w), 0);
    EXPECT_EQ(orbclose(r), 0);
    take_registered();
  }
}

// A ring file truncated or deleted under a running writer: orbring_state tells which,
// puts to a deleted ring still reach a reader that has it open, and the complaint naming
// the path comes once a minute however often the writer looks or puts.
TEST_F(OrbHostile, FileTruncatedOrDeletedUnderAWriterIsToldOnceAMinute) {
  struct Case {
    const char *what;
    bool remove;  // unlink the file (else cut it to 4 KiB)
    int state;    // orbring_state afterwards
    bool put_ok;  // a put afterwards is taken
    const char *complaint;
  } cases[] = {
      {"truncated", false, ORBRING_CUT, false, "is shorter than its ring"},
      {"deleted", true, ORBRING_DELETED, true, "was deleted under this process"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    DrivenClock clock(1000);
    std::string path = dir.file(std::string(c.what) + ".ring");
    ASSERT_EQ(orbcreate(path.c_str(), 1 << 20), 0);
    int w = orbopen(path.c_str(), "w");
    int r = orbopen(path.c_str(), "r");
    ASSERT_GE(w, 0);
    ASSERT_GE(r, 0);
    EXPECT_EQ(orbring_state(w), ORBRING_HERE);
    ASSERT_EQ(c.remove ? unlink(path.c_str()) : truncate(path.c_str(), 4096), 0);
    ElogCapture cap;
    // Ten minutes of a writer putting and looking every second.
    int complaints = 0;
    for (int s = 0; s < 600; s++) {
      clock.now = 1000 + s;
      EXPECT_EQ(orbring_state(w), c.state);
      EXPECT_EQ(put(w, "AA/log", "x") >= 0, c.put_ok);
      take_registered();
    }
    for (const std::string &line : cap.lines())
      if (line.find(c.complaint) != std::string::npos && line.find(path) != std::string::npos)
        complaints++;
    EXPECT_EQ(complaints, 10) << cap.text();
    if (c.remove) {
      int n = 0;
      while (reap(r).rc == 0) n++;
      EXPECT_EQ(n, 600);  // nothing lost for the reader that holds it
    }
    orbclose(w);
    orbclose(r);
    take_registered();
  }
}

// Counters a few packets short of 2^64 look consistent, but the next puts would overflow
// them. A repair starts them again from zero, once, and a reader whose position now lies
// beyond the newest packet reads what the ring holds instead of waiting for ids it will
// never see. Either side may find the damage first.
TEST_F(OrbHostile, CountersAtTheEdgeOfTheirRangeStartAgainFromZero) {
  for (bool writer_first : {true, false}) {
    SCOPED_TRACE(writer_first ? "found by a put" : "found by a reap");
    std::string path = dir.file(writer_first ? "w" : "r");
    ASSERT_EQ(orbcreate(path.c_str(), 65536), 0);
    int w = orbopen(path.c_str(), "w");
    int r = orbopen(path.c_str(), "r");
    for (int i = 0; i < 3; i++) put(w, "AA/log", "old" + std::to_string(i));
    for (int i = 0; i < 3; i++) ASSERT_EQ(reap(r).bytes, "old" + std::to_string(i));
    {
      RawRing raw(path);
      ASSERT_TRUE(raw.ok());
      raw.live().next_seq = raw.live().oldest_seq = ~uint64_t{0} - 1;
      raw.live().head = raw.live().tail = ~uint64_t{0} - 40;
    }
    ElogCapture cap;
    if (!writer_first) {
      EXPECT_EQ(reap(r).rc, -2);
    }
    for (int i = 0; i < 4; i++) EXPECT_EQ(put(w, "AA/log", "new" + std::to_string(i)), i);
    EXPECT_TRUE(cap.contains("was damaged (counters out of range) and has been emptied"))
        << cap.text();
    for (int i = 0; i < 4; i++) {
      Reaped p = reap(r);
      EXPECT_EQ(p.rc, 0);
      EXPECT_EQ(p.pktid, i);
      EXPECT_EQ(p.bytes, "new" + std::to_string(i));
    }
    EXPECT_EQ(reap(r).rc, -2);
    Orbstat st;
    ASSERT_EQ(orbstat(r, &st), 0);
    EXPECT_EQ(st.resets, 1);
    EXPECT_EQ(st.npackets, 4);
    EXPECT_EQ(st.written, 4);
    orbclose(w);
    orbclose(r);
  }
}

}  // namespace
