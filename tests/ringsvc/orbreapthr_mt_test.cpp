#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "ring/orb.h"
#include "ringsvc/orbreapthr.h"
#include "testkit/testkit.h"

namespace {

using namespace std::chrono_literals;

// The reap thread's pause after a failed open.
constexpr double kOpenPause = 1.0;

// Returns once `pops` gets and `pushes` puts wait on the queue (clock time is scaled:
// 1000 s of it are 40 real seconds).
void until_blocked(Pmtfifo *q, int pops, int pushes) {
  ASSERT_EQ(pmtfifo_wait_blocked(q, pops, pushes, 1000.0), 1) << "the waits were not reached";
}

// Waits up to `limit` of real time for `done`.
bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 5000ms) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

int count_lines(const ElogCapture &cap, const std::string &needle) {
  int n = 0;
  for (const std::string &l : cap.lines()) n += l.find(needle) != std::string::npos;
  return n;
}

struct Got {
  int rc = 0;
  int pktid = 0;
  std::string src;
  double time = 0;
  std::string bytes;
};

// orbreapthr_get with a buffer kept between calls.
class Getter {
 public:
  ~Getter() { free(buf_); }
  Got get(OrbreapThr *thr) {
    Got g;
    char src[ORBSRCNAME_SIZE] = "junk";
    int nbytes = -7;
    g.rc = orbreapthr_get(thr, &g.pktid, src, &g.time, &buf_, &nbytes, &bufsize_);
    g.src = src;
    if (g.rc == 1 && nbytes > 0) g.bytes.assign(buf_, static_cast<size_t>(nbytes));
    return g;
  }
  // The next result that is not "nothing this time".
  Got next(OrbreapThr *thr) {
    Got g;
    eventually([&] {
      g = get(thr);
      return g.rc != 2 && g.rc != 3;
    });
    return g;
  }
  char *buf_ = nullptr;
  int bufsize_ = 0;
};

// A ring in a temporary directory with a writing connection; time runs 100 times faster.
class Ring : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("test.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 20), 0);
    w_ = orbopen(path_.c_str(), "w");
    ASSERT_GE(w_, 0);
  }
  void TearDown() override {
    orbfault_reset();
    orbclose(w_);
    elog_clear_register(0);
  }
  int put(const std::string &src, const std::string &bytes, double time) {
    return orbputx(w_, src.c_str(), time, bytes.data(), static_cast<int>(bytes.size()));
  }
  int reader() {
    int r = orbopen(path_.c_str(), "r");
    EXPECT_GE(r, 0);
    return r;
  }
  ClockScale scale_{0.04};
  TempDir dir_;
  std::string path_;
  int w_ = -1;
};

TEST_F(Ring, ReapThreadQueuesPacketsInOrder) {
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(thr, nullptr);
  int id1 = put("AA_STA/GENC", "first", 100.5);
  int id2 = put("BB_STA/GENC", std::string("se\0cond", 7), 101.25);
  Getter g;
  Got a = g.next(thr);
  EXPECT_EQ(a.rc, 1);
  EXPECT_EQ(a.pktid, id1);
  EXPECT_EQ(a.src, "AA_STA/GENC");
  EXPECT_EQ(a.time, 100.5);
  EXPECT_EQ(a.bytes, "first");
  Got b = g.next(thr);
  EXPECT_EQ(b.rc, 1);
  EXPECT_EQ(b.pktid, id2);
  EXPECT_EQ(b.src, "BB_STA/GENC");
  EXPECT_EQ(b.bytes, std::string("se\0cond", 7));

  // Nothing queued: the outputs are reset.
  Got none = g.get(thr);
  EXPECT_EQ(none.rc, 2);
  EXPECT_EQ(none.pktid, -1);
  EXPECT_EQ(none.src, "");
  EXPECT_EQ(none.time, 0.0);

  EXPECT_EQ(orbreapthr_is_stopped(thr), 0);
  EXPECT_EQ(orbreapthr_stop_and_wait(thr), 0);
  EXPECT_EQ(orbreapthr_is_stopped(thr), 1);
  EXPECT_EQ(g.get(thr).rc, 4);
  EXPECT_EQ(orbreapthr_destroy(thr), 0);
}

TEST_F(Ring, GetOnAStoppedThreadDrainsTheQueueThen4) {
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(thr, nullptr);
  for (int i = 0; i < 3; i++) put("S/" + std::to_string(i), "x", i);
  ASSERT_TRUE(eventually([&] { return orbreapthr_data_available(thr) == 3; }));
  orbreapthr_stop_and_wait(thr);
  Getter g;
  for (int i = 0; i < 3; i++) {
    Got got = g.get(thr);
    EXPECT_EQ(got.rc, 1);
    EXPECT_EQ(got.src, "S/" + std::to_string(i));
  }
  EXPECT_EQ(g.get(thr).rc, 4);
  EXPECT_EQ(g.get(thr).rc, 4);
  orbreapthr_destroy(thr);
}

TEST_F(Ring, EmptyPacketsAndTheCallersBuffer) {
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(thr, nullptr);
  Getter g;
  g.buf_ = static_cast<char *>(malloc(100));
  g.bufsize_ = 100;
  char *before = g.buf_;

  put("E/0", "", 1.0);
  Got e = g.next(thr);
  EXPECT_EQ(e.rc, 1);
  EXPECT_EQ(e.bytes, "");
  EXPECT_EQ(g.buf_, before);
  EXPECT_EQ(g.bufsize_, 100);

  put("E/1", std::string(100, 'a'), 1.0);
  EXPECT_EQ(g.next(thr).bytes, std::string(100, 'a'));
  EXPECT_EQ(g.bufsize_, 100);

  std::string big(200, 'b');
  big[199] = 'z';
  put("E/2", big, 1.0);
  EXPECT_EQ(g.next(thr).bytes, big);
  EXPECT_EQ(g.bufsize_, 300);

  Getter fresh;
  put("E/3", std::string(10, 'c'), 1.0);
  EXPECT_EQ(fresh.next(thr).bytes, std::string(10, 'c'));
  EXPECT_EQ(fresh.bufsize_, 15);
  orbreapthr_destroy(thr);
}

TEST_F(Ring, TimeoutsOfGet) {
  Getter g;
  // Time-out 0: no waiting at all.
  OrbreapThr *nowait = orbreapthr_new(reader(), 0.0, 10);
  ASSERT_NE(nowait, nullptr);
  EXPECT_EQ(nowait->block, 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(g.get(nowait).rc, 2);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  orbreapthr_destroy(nowait);

  // Time-out 1 s: get waits that long (of clock time) for a packet.
  OrbreapThr *timed = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(timed, nullptr);
  EXPECT_EQ(timed->block, 1);
  double start = clock_monotonic();
  EXPECT_EQ(g.get(timed).rc, 2);
  EXPECT_GE(clock_monotonic() - start, 0.95);
  EXPECT_EQ(orbreapthr_set_timeout(timed, -1.0), -1);
  elog_clear_register(0);
  orbreapthr_destroy(timed);

  // No limit: get waits for a packet, and returns when the thread stops.
  OrbreapThr *forever = orbreapthr_new(reader(), -1.0, 10);
  ASSERT_NE(forever, nullptr);
  Got waited;
  std::thread getter([&] { waited = g.get(forever); });
  until_blocked(forever->mtfifo, 1, 0);
  put("W/1", "late", 2.0);
  getter.join();
  EXPECT_EQ(waited.rc, 1);
  EXPECT_EQ(waited.bytes, "late");
  std::thread blocked([&] { waited = g.get(forever); });
  until_blocked(forever->mtfifo, 1, 0);
  orbreapthr_set_to_stop(forever);
  blocked.join();
  EXPECT_TRUE(waited.rc == 3 || waited.rc == 4) << waited.rc;
  ASSERT_TRUE(eventually([&] { return orbreapthr_is_stopped(forever) == 1; }));
  EXPECT_EQ(g.get(forever).rc, 4);
  orbreapthr_destroy(forever);

  EXPECT_EQ(orbreapthr_set_timeout(nullptr, 1.0), 0);
  EXPECT_EQ(orbreapthr_data_available(nullptr), 0);
  EXPECT_EQ(orbreapthr_is_stopped(nullptr), 0);
}

TEST_F(Ring, OpenByNameWithSettingsAndPendingChanges) {
  put("A/1", "a1", 1.0);
  put("B/1", "b1", 2.0);
  put("A/2", "a2", 3.0);
  put("C/1", "c1", 4.0);
  put("A/3", "a3", 5.0);
  ClockWatch watch(0.04);
  OrbreapThr *thr = orbreapthr_new2(path_.c_str(), "A/.*|C/.*", "C/.*", 2.5, 1.0, 10);
  ASSERT_NE(thr, nullptr);
  Getter g;
  EXPECT_EQ(g.next(thr).src, "A/2");
  EXPECT_EQ(g.next(thr).src, "A/3");

  // A setting made while the connection is idle applies after the next packet. The
  // thread is idle once it reaps again after handing over A/3.
  ASSERT_TRUE(eventually([&] { return thr->reaping.load() == 1; }));
  orbreapthr_select(thr, "B/.*");
  put("A/4", "a4", 6.0);
  put("A/5", "a5", 7.0);
  put("B/2", "b2", 8.0);
  EXPECT_EQ(g.next(thr).src, "A/4");
  EXPECT_EQ(g.next(thr).src, "B/2");
  orbreapthr_stop_and_wait(thr);
  orbreapthr_destroy(thr);
}

TEST_F(Ring, StopWhileTheRingCannotBeOpened) {
  ElogCapture cap;
  orbfault_fail(ORBFAULT_OPEN, 1 << 30);
  ClockWatch watch(0.04);
  OrbreapThr *thr = orbreapthr_new2(path_.c_str(), nullptr, nullptr, -1.0, 1.0, 10);
  ASSERT_NE(thr, nullptr);
  ASSERT_TRUE(watch.wait_sleeps(kOpenPause, 2));  // three attempts failed
  EXPECT_EQ(orbreapthr_is_stopped(thr), 0);
  orbreapthr_set_to_stop(thr);
  ASSERT_TRUE(eventually([&] { return orbreapthr_is_stopped(thr) == 1; }));
  Getter g;
  EXPECT_EQ(g.get(thr).rc, 4);
  EXPECT_EQ(count_lines(cap, "Exiting orbreap thread."), 1);
  EXPECT_EQ(count_lines(cap, "orbopen"), 0) << cap.text();
  orbreapthr_destroy(thr);
}

TEST_F(Ring, FailedSettingsEndTheThread) {
  struct Case {
    const char *why;
    std::function<void(OrbreapThr *)> set;
    std::string message;
  };
  int r = reader();
  std::string conn = "connection " + std::to_string(r);
  std::vector<Case> cases = {
      {"select", [](OrbreapThr *t) { orbreapthr_select(t, "("); },
       "orbreapthr_run: orbselect(" + conn + ",() error."},
      {"reject", [](OrbreapThr *t) { orbreapthr_reject(t, "A|("); },
       "orbreapthr_run: orbreject(" + conn + ",A|() error."},
      {"after",
       [](OrbreapThr *t) {
         orbfault_fail(ORBFAULT_AFTER, 1);
         orbreapthr_after(t, 5.0);
       },
       "orbreapthr_run: orbafter(" + conn + ",01/01/1970 00:00:05.000) error."},
  };
  for (const Case &c : cases) {
    ElogCapture cap;
    ClockWatch watch(0.04);
    OrbreapThr *thr = orbreapthr_new(r, 1.0, 10);
    ASSERT_NE(thr, nullptr);
    // The thread is idle once it reaps (the settings come before the reap).
    ASSERT_TRUE(eventually([&] { return thr->reaping.load() == 1; })) << c.why;
    c.set(thr);
    put("X/1", "x", 1.0);  // the settings apply after this packet
    ASSERT_TRUE(eventually([&] { return orbreapthr_is_stopped(thr) == 1; })) << c.why;
    EXPECT_TRUE(cap.contains(c.message)) << c.why << ": " << cap.text();
    Getter g;
    EXPECT_EQ(g.get(thr).src, "X/1") << c.why;
    EXPECT_EQ(g.get(thr).rc, 4) << c.why;
    // Keep the connection for the next case.
    thr->orb = -1;
    orbreapthr_destroy(thr);
  }
  // By name, the message names the ring.
  ElogCapture cap;
  OrbreapThr *thr = orbreapthr_new2(path_.c_str(), "(", nullptr, -1.0, 1.0, 10);
  ASSERT_NE(thr, nullptr);
  ASSERT_TRUE(eventually([&] { return orbreapthr_is_stopped(thr) == 1; }));
  EXPECT_TRUE(cap.contains("orbreapthr_run: orbselect(" + path_ + ",() error.")) << cap.text();
  orbreapthr_destroy(thr);
  orbclose(r);
}

TEST_F(Ring, ReapErrorsAreRetriedAfterAPause) {
  ElogCapture cap;
  orbfault_fail(ORBFAULT_REAP, 3);
  double start = clock_monotonic();
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(thr, nullptr);
  put("R/1", "after errors", 1.0);
  Getter g;
  Got got = g.next(thr);
  EXPECT_EQ(got.rc, 1);
  EXPECT_EQ(got.bytes, "after errors");
  EXPECT_EQ(count_lines(cap, "orbreapthr_run: orbreap() error."), 3) << cap.text();
  EXPECT_GE(clock_monotonic() - start, 3.0);  // a pause of 1 s after each
  orbreapthr_destroy(thr);
}

TEST_F(Ring, StopDoesNotWaitOnAFullQueue) {
  ElogCapture cap;
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 1);
  ASSERT_NE(thr, nullptr);
  for (int i = 0; i < 3; i++) put("F/" + std::to_string(i), "x", i);
  // The thread holds the second packet and waits for room to push it.
  until_blocked(thr->mtfifo, 0, 1);
  EXPECT_EQ(orbreapthr_data_available(thr), 1);
  double start = clock_monotonic();
  orbreapthr_stop_and_wait(thr);
  EXPECT_LT(clock_monotonic() - start, 5.0);
  EXPECT_EQ(orbreapthr_is_stopped(thr), 1);
  EXPECT_FALSE(cap.contains("forcing")) << cap.text();
  EXPECT_FALSE(cap.contains("mtfifo_push")) << cap.text();
  Getter g;
  EXPECT_EQ(g.get(thr).src, "F/0");
  EXPECT_EQ(g.get(thr).rc, 4);
  orbreapthr_destroy(thr);
}

TEST_F(Ring, AFullQueueWithoutWaitingKeepsThePackets) {
  ElogCapture cap;
  OrbreapThr *thr = orbreapthr_new(reader(), 0.0, 1);
  ASSERT_NE(thr, nullptr);
  for (int i = 0; i < 3; i++) put("N/" + std::to_string(i), "x", i);
  Getter g;
  for (int i = 0; i < 3; i++) EXPECT_EQ(g.next(thr).src, "N/" + std::to_string(i));
  EXPECT_EQ(orbreapthr_is_stopped(thr), 0);
  EXPECT_FALSE(cap.contains("mtfifo_push")) << cap.text();
  orbreapthr_stop_and_wait(thr);
  orbreapthr_destroy(thr);
}

TEST_F(Ring, StopWhileTheRingIsLockedByAStuckWriter) {
  ElogCapture cap;
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(thr, nullptr);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  orbfault_block_puts(fds[1]);
  std::thread writer([&] { put("L/1", "stuck", 1.0); });  // holds the ring's lock
  char byte;
  ASSERT_EQ(read(fds[0], &byte, 1), 1);  // the put holds the lock now
  double start = clock_monotonic();
  orbreapthr_stop_and_wait(thr);
  EXPECT_LE(clock_monotonic() - start, 14.0);
  EXPECT_EQ(orbreapthr_is_stopped(thr), 1);
  orbreapthr_destroy(thr);  // safe whether or not the thread has ended yet
  orbfault_release();
  writer.join();
  close(fds[0]);
  close(fds[1]);
}

TEST_F(Ring, DestroyOfARunningThread) {
  OrbreapThr *thr = orbreapthr_new(reader(), 1.0, 10);
  ASSERT_NE(thr, nullptr);
  put("D/1", "x", 1.0);
  EXPECT_EQ(orbreapthr_destroy(thr), 0);  // the thread ends and frees the record
  OrbputThr *p = orbputthr_new(w_, 10);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(orbputthr_destroy(p), 0);
  EXPECT_EQ(orbreapthr_destroy(nullptr), 0);
  EXPECT_EQ(orbputthr_destroy(nullptr), 0);
  EXPECT_EQ(orbputthr_stop(nullptr), 0);
  EXPECT_EQ(orbreapthr_stop_and_wait(nullptr), 0);
}

TEST_F(Ring, ConstructorsRefuseABadQueue) {
  ElogCapture cap;
  EXPECT_EQ(orbreapthr_new(w_, 1.0, -1), nullptr);
  EXPECT_EQ(orbputthr_new(w_, -1), nullptr);
  std::string all = take_registered();
  EXPECT_NE(all.find("orbreapthr_new: pmtfifo_create() error."), std::string::npos) << all;
  EXPECT_NE(all.find("orbputthr_new: pmtfifo_create() error."), std::string::npos) << all;
  // The caller's connection stays open.
  EXPECT_GE(put("C/1", "still open", 1.0), 0);
}

// Reads the packets written after `r` was opened, waiting up to `limit` for `count`.
std::vector<Got> read_packets(int r, size_t count, std::chrono::milliseconds limit = 5000ms) {
  std::vector<Got> out;
  eventually(
      [&] {
        Got g;
        char src[ORBSRCNAME_SIZE];
        char *buf = nullptr;
        int nbytes = 0, bufsize = 0;
        g.rc = orbreap_nd(r, &g.pktid, src, &g.time, &buf, &nbytes, &bufsize);
        if (g.rc == 0) {
          g.src = src;
          g.bytes.assign(buf ? buf : "", static_cast<size_t>(nbytes));
          out.push_back(g);
        }
        free(buf);
        return out.size() >= count;
      },
      limit);
  return out;
}

TEST_F(Ring, PutThreadWritesQueuedPacketsInOrder) {
  int r = reader();
  OrbputThr *p = orbputthr_new(w_, 10);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(orbputthr_put(p, "P/1", 10.5, "one", 3), 0);
  EXPECT_EQ(orbputthr_put(p, "P/2", 11.5, nullptr, 0), 0);
  EXPECT_EQ(orbputthr_put(p, "P/3", 12.5, "three", 0), 0);  // nbytes 0: empty
  EXPECT_EQ(orbputthr_put(p, std::string(63, 's').c_str(), 13.5, "x", 1), 0);
  double start = clock_monotonic();
  EXPECT_EQ(orbputthr_stop(p), 0);            // writes what is queued first
  EXPECT_LT(clock_monotonic() - start, 6.0);  // not the 11 s of a stuck thread
  EXPECT_EQ(p->halt.load(), 2);
  std::vector<Got> got = read_packets(r, 4);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].src, "P/1");
  EXPECT_EQ(got[0].time, 10.5);
  EXPECT_EQ(got[0].bytes, "one");
  EXPECT_EQ(got[1].src, "P/2");
  EXPECT_EQ(got[1].bytes, "");
  EXPECT_EQ(got[2].bytes, "");
  EXPECT_EQ(got[3].src, std::string(63, 's'));
  orbputthr_destroy(p);
  orbclose(r);
}

TEST_F(Ring, PutRefusals) {
  OrbputThr *p = orbputthr_new(w_, 10);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(orbputthr_put(p, std::string(64, 's').c_str(), 1.0, "x", 1), -1);
  EXPECT_EQ(orbputthr_put(p, nullptr, 1.0, "x", 1), -1);
  EXPECT_EQ(orbputthr_put(nullptr, "S/1", 1.0, "x", 1), -1);
  orbputthr_stop(p);
  elog_clear_register(0);
  EXPECT_EQ(orbputthr_put(p, "S/1", 1.0, "x", 1), -1);
  Elog_msg *msgs = nullptr;
  int n = elog_query(2, 0, &msgs);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(msgs[0].msg, "orbputthr_put: the put thread is stopped.\n");
  elog_free_msg(&msgs[0]);
  free(msgs);
  orbputthr_destroy(p);
}

TEST_F(Ring, FailingPutsAreRetriedAfterPauses) {
  ElogCapture cap;
  int r = reader();
  orbfault_fail(ORBFAULT_PUT, 5);
  OrbputThr *p = orbputthr_new(w_, 10);
  ASSERT_NE(p, nullptr);
  double start = clock_monotonic();
  ASSERT_EQ(orbputthr_put(p, "F/1", 1.0, "retried", 7), 0);
  std::vector<Got> got = read_packets(r, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes, "retried");
  EXPECT_GE(clock_monotonic() - start, 0.45);  // five pauses of 0.1 s
  EXPECT_EQ(cap.text(), "");
  orbputthr_stop(p);
  orbputthr_destroy(p);
  orbclose(r);
}

TEST_F(Ring, StopGivesUpOnAPutThatKeepsFailing) {
  orbfault_fail(ORBFAULT_PUT, 1 << 30);
  OrbputThr *p = orbputthr_new(w_, 10);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(orbputthr_put(p, "F/1", 1.0, "never", 5), 0);
  ASSERT_EQ(orbputthr_put(p, "F/2", 1.0, "queued", 6), 0);
  ASSERT_TRUE(eventually([&] { return p->putting.load() == 1; }));
  double start = clock_monotonic();
  EXPECT_EQ(orbputthr_stop(p), 0);
  double took = clock_monotonic() - start;
  EXPECT_GE(took, 5.0);
  EXPECT_LE(took, 14.0);  // the bound of the stop, with room for a loaded machine
  EXPECT_EQ(p->halt.load(), 2);
  // The thread has let go of the record: only the owner holds it.
  EXPECT_TRUE(eventually([&] { return p->refs.load() == 1; }));
  orbputthr_destroy(p);
}

TEST_F(Ring, StopOnAPutStuckInTheRing) {
  int r = reader();
  OrbputThr *p = orbputthr_new(w_, 2);
  ASSERT_NE(p, nullptr);
  orbfault_block_puts(-1);
  ASSERT_EQ(orbputthr_put(p, "B/1", 1.0, "stuck", 5), 0);
  ASSERT_TRUE(eventually([&] { return p->putting.load() == 1; }));
  ASSERT_EQ(orbputthr_put(p, "B/2", 1.0, "queued", 6), 0);
  ASSERT_EQ(orbputthr_put(p, "B/3", 1.0, "queued", 6), 0);
  int late = 0;
  std::thread waiting([&] { late = orbputthr_put(p, "B/4", 1.0, "full", 4); });
  until_blocked(p->mtfifo, 0, 1);

  double start = clock_monotonic();
  EXPECT_EQ(orbputthr_stop(p), 0);
  double took = clock_monotonic() - start;
  waiting.join();
  EXPECT_EQ(late, -1);  // the stop freed the put waiting on the full queue
  EXPECT_GE(took, 11.0);
  EXPECT_LE(took, 16.0);
  EXPECT_EQ(p->halt.load(), 2);
  EXPECT_EQ(p->refs.load(), 2);  // the thread is still inside the ring
  orbputthr_destroy(p);          // the record now belongs to the thread

  orbfault_release();
  std::vector<Got> got = read_packets(r, 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].src, "B/1");
  EXPECT_EQ(read_packets(r, 1, 100ms).size(), 0u);  // the rest was given up
  orbclose(r);
}

}  // namespace
