// The status thread reports while the writer stores status-channel values and sessions
// raise report requests; the last report, made after the flush, holds the last values.
#include <gtest/gtest.h>

#include <string>

#include "muldrin_run.h"
#include "muldrin_status.h"
#include "muldrin_status_fixture.h"

namespace {

using StatusThreadTest = StatusFixture;

TEST_F(StatusThreadTest, ReportsWhileTheWriterStoresValues) {
  m_.statusreport_interval = 0;  // a full report on every turn
  m_.statusreport_verbosity = 2;
  Q330StatusChan *volt = add_chan(q_, "data_sys_volt", false);
  volt->outputthischan_log = 0;
  ASSERT_EQ(muldrin_status_start(&m_), 0);
  for (uint32_t i = 1; i <= 400; i++) {
    Q330DataStatus d{};
    d.time = 1500000000.0 + i;
    d.n = 1;
    d.entries[0].stdef = data_def("data_sys_volt");
    d.entries[0].type = 2;
    d.entries[0].value = i;
    q330_write_datastatus(q_, &d);
    if (i % 10 == 0) {
      q_->pendingstatusrequest = 1;
      m_.pendingstatusrequests = 1;
    }
  }
  m_.flushstatus = 1;
  muldrin_status_join(&m_);
  auto items = drain_queue();
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().first, Q330_OUT_STATUS);
  EXPECT_NE(items.back().second.find("data_sys_volt 60.000"), std::string::npos)
      << items.back().second;
}

// A status thread held up by the back-pressure of a queue that does not drain (a ring
// that refuses): the shutdown's wait for it ends after its steps, and the stop request
// frees it, so that a second wait collects it.
TEST_F(StatusThreadTest, WaitForAStatusThreadHeldByTheQueueIsBounded) {
  ClockScale scale(0.0001);
  myshutdown = 0;
  m_.statusreport_interval = 3600;
  m_.mtfifo_write_queue = 1;
  for (int i = 0; i < 3; i++) myout_callback(nullptr, Q330_OUT_LOG, strdup("x"), 0);
  ASSERT_EQ(muldrin_status_start(&m_), 0);
  m_.flushstatus = 1;
  {
    ElogCapture log;
    EXPECT_EQ(muldrin_status_join(&m_), -1);
    EXPECT_TRUE(log.contains("muldrin_status_join: the status thread has not ended")) << log.text();
  }
  muldrin_halt();
  EXPECT_EQ(muldrin_status_join(&m_), 0);
  myshutdown = 0;
  auto items = drain_queue();
  ASSERT_FALSE(items.empty());
  EXPECT_EQ(items.back().first, Q330_OUT_STATUS);
}

}  // namespace
