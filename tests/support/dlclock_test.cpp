#include "support/dlclock.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "base/clock.h"
#include "testkit/testkit.h"

// Every test works on private segments (or keys of its own), never on the NTP daemon's,
// and marks each segment for removal as soon as it exists: the system frees it with the
// last detach, also when a test fails half-way.

namespace {

void remove_segment(int id) {
  if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

// The segment read back through an attachment of its own, word by word at the record's
// byte offsets, as the NTP daemon sees it.
struct Reader {
  explicit Reader(int id) : base(static_cast<const char *>(shmat(id, nullptr, SHM_RDONLY))) {}
  ~Reader() {
    if (base != (const char *)-1) shmdt(base);
  }
  int32_t word(int offset) const {
    int32_t v;
    memcpy(&v, base + offset, sizeof v);
    return v;
  }
  const char *base;
};

double g_now = 0;
double driven_now(void *) { return g_now; }
double driven_mono(void *) { return g_now; }
void driven_sleep(double s, void *) { g_now += s; }
const ClockDriver kDriver = {driven_now, driven_mono, driven_sleep, nullptr};

class DlclockTest : public ::testing::Test {
 protected:
  void SetUp() override { old_base_ = dlclock_set_key_base(IPC_PRIVATE); }
  void TearDown() override {
    int id;
    if (dlclock_attached(&id)) remove_segment(id);
    dlclock_detach();
    dlclock_set_key_base(old_base_);
    clock_set_driver(nullptr);
  }
  // Attaches unit 3 through _init_Dlclock and returns its segment id.
  int init() {
    _init_Dlclock(3);
    int id = -1;
    EXPECT_NE(dlclock_attached(&id), nullptr);
    remove_segment(id);
    return id;
  }
  long old_base_ = DLCLOCK_KEY;
};

}  // namespace

TEST_F(DlclockTest, UnitOutsideZeroToThreeIsFatal) {
  for (int unit : {4, -1, 100}) {
    ElogCapture cap;
    ElogExitTrap trap;
    EXPECT_THROW(_init_Dlclock(unit), ElogExit) << unit;
    EXPECT_TRUE(
        cap.contains("called with unit=" + std::to_string(unit) + " (should be in range 0..3)"))
        << cap.text();
    EXPECT_EQ(dlclock_attached(nullptr), nullptr);
  }
}

TEST_F(DlclockTest, AttachesOncePerProcess) {
  set_Dlclock(1000.0);  // before any attachment: nothing happens
  EXPECT_EQ(dlclock_attached(nullptr), nullptr);

  int id = init();
  Dlclock *first = dlclock_attached(nullptr);
  _init_Dlclock(3);  // a private key would make a new segment if this attached again
  _init_Dlclock(0);
  int id2;
  EXPECT_EQ(dlclock_attached(&id2), first);
  EXPECT_EQ(id2, id);
  struct shmid_ds ds;
  ASSERT_EQ(shmctl(id, IPC_STAT, &ds), 0);
  EXPECT_EQ(ds.shm_segsz, 80u);
  EXPECT_EQ(ds.shm_nattch, 1u);
  EXPECT_EQ(ds.shm_perm.mode & 0777, 0777u);
}

TEST_F(DlclockTest, SamplesAreWrittenInTheRecordLayout) {
  clock_set_driver(&kDriver);
  int id = init();
  Reader r(id);
  ASSERT_NE(r.base, (const char *)-1);
  int32_t count0 = r.word(4);

  struct Case {
    double host, datalogger;
    int32_t clock_sec, clock_usec, recv_sec, recv_usec;
  } cases[] = {
      // Truncated, never rounded up to the next second.
      {1700000000.25, 1000000000.9999999, 1000000000, 999999, 1700000000, 250000},
      {1700000001.999999, 1700000001.5, 1700000001, 500000, 1700000001, 999999},
      {1700000002.0, 1700000002.0, 1700000002, 0, 1700000002, 0},
  };
  int samples = 0;
  for (const Case &c : cases) {
    g_now = c.host;
    set_Dlclock(c.datalogger);
    samples++;
    EXPECT_EQ(r.word(0), 1) << "mode";
    EXPECT_EQ(r.word(4), count0 + samples) << "count";
    EXPECT_EQ(r.word(8), c.clock_sec);
    EXPECT_EQ(r.word(12), c.clock_usec);
    EXPECT_EQ(r.word(16), c.recv_sec);
    EXPECT_EQ(r.word(20), c.recv_usec);
    EXPECT_EQ(r.word(24), 0) << "leap";
    EXPECT_EQ(r.word(28), -1) << "precision";
    EXPECT_EQ(r.word(32), 0) << "nsamples is not written";
    EXPECT_EQ(r.word(36), 1) << "valid";
    for (int off = 40; off < 80; off += 4) EXPECT_EQ(r.word(off), 0) << "reserved " << off;
  }
}

TEST_F(DlclockTest, PutTimeStampWritesTheLeapGiven) {
  int id = -1;
  Dlclock *clock = AttachSharedMemory(2, &id);
  ASSERT_NE(clock, nullptr);
  remove_segment(id);
  struct timeval host = {1234, 5678};
  PutTimeStamp(&host, 99, 7, clock, 2);
  Reader r(id);
  EXPECT_EQ(r.word(24), 2);
  EXPECT_EQ(r.word(8), 99);
  EXPECT_EQ(r.word(12), 7);
  EXPECT_EQ(r.word(16), 1234);
  EXPECT_EQ(r.word(20), 5678);
  EXPECT_EQ(r.word(4), 1);
  shmdt(clock);
}

TEST_F(DlclockTest, SegmentOfAKeyIsSharedAndCreatedWhenMissing) {
  // A key of this process's own, well away from the NTP daemon's.
  long base = 0x56540000L + ((long)getpid() & 0x3FFF) * 4;
  dlclock_set_key_base(base);
  int id1 = -1, id2 = -1;
  Dlclock *a = AttachSharedMemory(1, &id1);
  ASSERT_NE(a, nullptr);
  Dlclock *b = AttachSharedMemory(1, &id2);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(id1, id2);
  EXPECT_EQ(shmget((key_t)(base + 1), 0, 0), id1) << "the key is the base plus the unit";
  remove_segment(id1);
  struct timeval host = {1, 2};
  PutTimeStamp(&host, 3, 4, a, 0);
  EXPECT_EQ(b->clockTimeStampSec, 3);
  shmdt(a);
  shmdt(b);
}

TEST_F(DlclockTest, SegmentThatCannotBeGotIsReported) {
  // A segment of the same key but too small: getting 80 bytes of it fails.
  long base = 0x56550000L + ((long)getpid() & 0x3FFF) * 4;
  int small = shmget((key_t)base, 16, IPC_CREAT | IPC_EXCL | 0600);
  ASSERT_GE(small, 0);
  dlclock_set_key_base(base);
  int id = 0;
  EXPECT_EQ(AttachSharedMemory(0, &id), nullptr);
  EXPECT_EQ(id, -1);
  {
    ElogCapture cap;
    ElogExitTrap trap;
    EXPECT_THROW(_init_Dlclock(0), ElogExit);
    EXPECT_TRUE(cap.contains("unable to attach shared memory")) << cap.text();
  }
  EXPECT_EQ(dlclock_attached(nullptr), nullptr);
  remove_segment(small);
}
