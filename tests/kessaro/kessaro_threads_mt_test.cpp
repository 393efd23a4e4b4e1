// The write thread's stop protocol and the status thread's timing, on a fast clock.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_output.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "kessaro_hooks.h"
#include "kessaro_program.h"
#include "kessaro_threads.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

namespace {

// The slice in which a wait for an event goes on a driven clock.
constexpr double kWaitSlice = 0.1;

class AltusThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    altus = kessaro_new();
    altus->targetname = strdup("kes");
    altus->status_srcname = strdup("kes/pf/st");
    kessaro_install(altus);
  }
  void TearDown() override {
    kessaro_install(nullptr);
    pmtfifo_destroy(altus->mtfifo_write,
                    [](void *p) { altuspacket_free(static_cast<AltusPacket *>(p)); });
    free(altus->targetname);
    free(altus->status_srcname);
    kessaro_test_free(altus);
  }
  static AltusPacket *element(int type, const std::string &text) {
    auto *p = static_cast<AltusPacket *>(calloc(1, sizeof(AltusPacket)));
    p->type = type;
    p->time = 1577836800.0;
    p->data = reinterpret_cast<unsigned char *>(strdup(text.c_str()));
    p->nbytes = (int)text.size() + 1;
    if (type == ALTUSPKT_STATUS) p->pathname = strdup("kes/pf/st");
    return p;
  }
  // Status texts on the fifo, taken off it (other elements are freed).
  std::vector<std::string> status_reports() {
    std::vector<std::string> out;
    void *item = nullptr;
    while (pmtfifo_data_available(altus->mtfifo_write) > 0 &&
           pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *p = static_cast<AltusPacket *>(item);
      if (p && p->type == ALTUSPKT_STATUS) out.push_back(reinterpret_cast<char *>(p->data));
      altuspacket_free(p);
    }
    return out;
  }
  void start_status_thread() {
    ASSERT_EQ(pthread_create(&thread, nullptr, altus_status_report, altus), 0);
  }
  void stop_status_thread() {
    kessaro_halt = 1;
    pthread_join(thread, nullptr);
    kessaro_halt = 0;
  }

  Kessaro *altus = nullptr;
  pthread_t thread{};
};

TEST_F(AltusThreads, StopWritesEverythingQueuedBefore) {
  ClockWatch watch(0.001);
  TempDir dir;
  std::string ring = dir.file("out.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 22), 0);
  Orbtag tag{};
  tag.orbw = orbopen(ring.c_str(), "w");
  int rd = orbopen(ring.c_str(), "r");
  altus->log = altus->status = &tag;
  altus->mtfifo_write = pmtfifo_create(0, 1, 0);

  const int n = 200;
  for (int i = 0; i < n / 2; i++) {
    ASSERT_EQ(pmtfifo_push(altus->mtfifo_write, element(ALTUSPKT_LOG, "line " + std::to_string(i))),
              0);
  }
  ASSERT_EQ(pthread_create(&thread, nullptr, altus_write_thread, altus), 0);
  for (int i = n / 2; i < n; i++) {
    ASSERT_EQ(pmtfifo_push(altus->mtfifo_write, element(ALTUSPKT_LOG, "line " + std::to_string(i))),
              0);
  }
  ASSERT_EQ(pmtfifo_push(altus->mtfifo_write, element(9, "dropped")), 0);  // unknown: freed
  ASSERT_EQ(pmtfifo_push(altus->mtfifo_write, element(ALTUSPKT_STATUS, "last 1\n")), 0);
  EXPECT_EQ(altus_write_thread_stop(altus), 0);
  pthread_join(thread, nullptr);
  EXPECT_EQ((int)altus->kill, KESSARO_KILL_WRITER_ENDED);

  std::vector<std::string> got;
  for (const RingPacket &r : ring_take(rd)) {
    Packet *pkt = nullptr;
    int kind = unstuffPkt(r.srcname.c_str(), r.time, r.bytes.data(), (int)r.bytes.size(), &pkt);
    if (kind == Pkt_log) got.push_back(pkt->string);
    if (kind == Pkt_pf) got.push_back(r.srcname + " " + pfget_string(pkt->pf, "last"));
    freePkt(pkt);
  }
  elog_clear_register(0);
  ASSERT_EQ(got.size(), (size_t)n + 1);
  for (int i = 0; i < n; i++) EXPECT_EQ(got[i], "line " + std::to_string(i));
  EXPECT_EQ(got[n], "kes/pf/st 1");
  orbclose(rd);
  orbclose(tag.orbw);
  altus->log = altus->status = nullptr;
}

TEST_F(AltusThreads, IntervalZeroReportsOnlyOnRequest) {
  ClockWatch watch(0.001);
  altus->mtfifo_write = pmtfifo_create(0, 1, 0);
  altus->status_interval = 0.0;
  start_status_thread();
  // With no interval the thread waits for a request: on this clock the wait goes in
  // slices of 0.1 s, which show it idle.
  ASSERT_TRUE(watch.wait_sleeps(kWaitSlice, 5));
  EXPECT_TRUE(status_reports().empty());
  altus->status_report_now = 1;
  ASSERT_TRUE(watch.wait_sleeps(kWaitSlice, watch.sleeps(kWaitSlice) + 1));  // waiting again
  std::vector<std::string> reports = status_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].substr(0, 11), "target kes\n");
  EXPECT_EQ((int)altus->status_report_now, 0);
  stop_status_thread();
}

TEST_F(AltusThreads, RequestDuringAReportIsServedByIt) {
  ClockWatch watch(0.001);
  // Room for one element: the thread's start-up line fills it, so the report's push
  // waits until the test makes room, and the test knows the report is under way.
  altus->mtfifo_write = pmtfifo_create(1, 1, 0);
  altus->status_interval = 0.0;
  altus->status_report_now = 1;
  start_status_thread();
  ASSERT_EQ(pmtfifo_wait_blocked(altus->mtfifo_write, 0, 1, 60000), 1);
  altus->status_report_now = 1;  // asked again while the report is being handed over
  void *item = nullptr;
  ASSERT_EQ(pmtfifo_pop(altus->mtfifo_write, &item), 1);  // the start-up line
  EXPECT_EQ(static_cast<AltusPacket *>(item)->type, ALTUSPKT_LOG);
  altuspacket_free(static_cast<AltusPacket *>(item));
  ASSERT_TRUE(watch.wait_sleeps(kWaitSlice, 0));  // gone idle: no second report
  EXPECT_EQ((int)altus->status_report_now, 0);
  EXPECT_EQ(status_reports().size(), 1u);
  stop_status_thread();
}

}  // namespace
