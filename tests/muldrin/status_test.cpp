// The status readout against the simulator's status model: the request bitmap, partial
// answers, retries, the answer flags, the buffer flush and listen-mode countdown, the
// communication-efficiency averagers and the clock. Real clocks; pauses are recorded and
// return at once (time-outs stay real and short).
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "q330_fixture.h"
#include "q330_qdp.h"
#include "q330_status.h"
#include "q330sim.h"
#include "q330sim_config.h"
#include "q330sim_status.h"
#include "sim_session.h"
#include "support/dlclock.h"
#include "support/stdtime.h"
#include "testkit/testkit.h"

namespace {

constexpr int C1_RQSTAT = 0x1F;

// A registered session on the simulator's logical port 1 whose datalogger serves every
// optional status block, with a 1000-byte packet memory on data port 1.
struct Rig {
  SleepRecorder clock;
  Q330Sim sim;
  std::shared_ptr<Q330SimStatus> model;
  Q330 *q;
  OutputRecorder rec;
  char error[256] = "";

  Rig() : sim(options()) {
    EXPECT_EQ(sim.start(), 0);
    model = sim.status_model();
    q = q330_create(OutputRecorder::callback, nullptr);
    rec.attach(q);
    set_q330_str(&q->params.dlname, "DL1");
    Q330DLParams &p = q->params;
    p.statusreport_interval = 10;
    p.commeff_interval = 3600;
    q->noipresolv = 1;
    q->config.config_pkt.fix.flags = 0x16;
    q->config.config_pkt.fix.logical_port_packet_memory_size[0] = 1000;
    q->config.config_pkt.log.window_size = 8;
    sim_session_point(q, sim, 1, 0.2, 3, "0100000012345678", {"2"});
    EXPECT_EQ(q330_register_pvt(q, error, sizeof error), 0) << error;
  }
  static Q330SimOptions options() {
    Q330SimOptions o;
    o.auth_code = 0x2;
    return o;
  }
  ~Rig() {
    sim.stop();
    sim_session_release(q);
    free_session(q);
  }
  int status(unsigned bitmap) {
    rec.clear();
    return q330_get_status_pvt(q, nullptr, bitmap, error, sizeof error);
  }
  std::vector<uint32_t> requests() {
    std::lock_guard<std::mutex> lock(model->mutex);
    return model->requests;
  }
  // The C1_SLOG blocks the datalogger took, as (flags, threshold time).
  std::vector<std::pair<uint16_t, uint32_t>> slog_list() {
    Q330SimConfig &c = sim.config();
    std::lock_guard<std::mutex> lock(c.mutex);
    std::vector<std::pair<uint16_t, uint32_t>> out;
    for (const Q330SimLog &l : c.slog_applied) out.emplace_back(l.flags, l.old_data_threshold_time);
    return out;
  }
  size_t slogs() { return slog_list().size(); }
  int logged(const std::string &needle) {
    int n = 0;
    for (const std::string &l : rec.lines()) n += l.find(needle) != std::string::npos;
    return n;
  }
};

TEST(Status, RequestBitmapAndCapabilities) {
  Rig rig;
  // 0 asks nothing.
  EXPECT_EQ(rig.status(0), 0);
  EXPECT_EQ(rig.sim.count(C1_RQSTAT), 0);
  // The bitmap of a parameter object is required there.
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("other 1\n", &pf), 0);
  EXPECT_EQ(q330_get_status_pvt(rig.q, pf, 1, rig.error, sizeof rig.error), -1);
  EXPECT_STREQ(rig.error, "q330_status_pvt: parse_param(status_bitmap) error");
  pfput_int(pf, "status_bitmap", 0x3);
  EXPECT_EQ(q330_get_status_pvt(rig.q, pf, 0, rig.error, sizeof rig.error), 0);
  pffree(pf);

  struct Case {
    uint16_t flags;
    int full;
    unsigned bitmap, asked;
  } cases[] = {
      {0x16, 1, 0x1, 0xFFFFF},
      {0x00, 1, 0x1, 0x1FFFF},  // no dynamic-IP, auxiliary or serial-sensor capability
      {0x02, 1, 0x1, 0x3FFFF},
      {0x10, 0, 0xE0001, 0x80001},
  };
  for (const Case &c : cases) {
    rig.q->config.config_pkt.fix.flags = c.flags;
    rig.q->full_status = c.full;
    size_t before = rig.requests().size();
    EXPECT_EQ(rig.status(c.bitmap), 0) << rig.error;
    std::vector<uint32_t> asked = rig.requests();
    ASSERT_EQ(asked.size(), before + 1);
    EXPECT_EQ(asked.back(), c.asked);
    EXPECT_EQ(rig.q->status.status_pkt.status_bitmap, c.asked);
    EXPECT_EQ(rig.q->full_status, 0);
    EXPECT_EQ(rig.q->status.status_pkt_null, 0);
  }

  rig.q->state_registered = 0;
  EXPECT_EQ(rig.status(1), -1);
  EXPECT_STREQ(rig.error, "q330_status_pvt: Must register server first");
}

TEST(Status, PartialAnswersAreAskedAgainAtMostFiftyOneTimes) {
  Rig rig;
  rig.model->max_blocks = 2;
  EXPECT_EQ(rig.status(0x10F), 0);
  EXPECT_EQ(rig.requests(), (std::vector<uint32_t>{0x10F, 0x10C, 0x100}));
  EXPECT_EQ(rig.q->status.status_pkt.status_bitmap, 0x10Fu);

  // A datalogger that keeps answering a block not asked for, and never the one asked:
  // the request never grows beyond what was asked, and ends after 51 requests.
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->max_blocks = 0;
    rig.model->extra = 0x1;
    rig.model->withhold = 0x2;
    rig.model->requests.clear();
  }
  EXPECT_EQ(rig.status(0x2), 0);
  std::vector<uint32_t> asked = rig.requests();
  EXPECT_EQ(asked.size(), 51u);
  for (uint32_t r : asked) EXPECT_EQ(r, 0x2u);
  EXPECT_EQ(rig.logged("Too many requests for status...probably partial status"), 1);
}

TEST(Status, RetriesOfTimeoutsAndCrcErrors) {
  struct Case {
    int kind;
    int sends;
    const char *ending;
  } cases[] = {
      {Q330SIM_DROP, 3, "ERROR: too many status timeouts."},
      {Q330SIM_BADCRC, 4, "ERROR: too many status CRC errors"},
      {Q330SIM_CERR, 4, "- too many errors"},
      {Q330SIM_WRONGCOMMAND, 4, "ERROR: Wrong status response (0xa0) - too many errors"},
  };
  for (const Case &c : cases) {
    Rig rig;
    rig.sim.add_fault({C1_RQSTAT, 0, c.kind, c.kind == Q330SIM_WRONGCOMMAND ? 0xA0 : 2, 0});
    EXPECT_EQ(rig.status(0x1), -1);
    EXPECT_EQ(rig.sim.count(C1_RQSTAT), c.sends) << c.ending;
    EXPECT_EQ(rig.logged(c.ending), 1) << c.ending;
    EXPECT_EQ(rig.q->status.bufpcnt, -1);
  }
}

TEST(Status, DeregisteredDuringTheReadoutIsAFailure) {
  Rig rig;
  rig.sim.add_fault({C1_RQSTAT, 0, Q330SIM_DROP, 0, 0});
  std::thread deregister([&] {
    rig.sim.wait_count(C1_RQSTAT, 1, 10.0);
    rig.q->state_registered = 0;
  });
  EXPECT_EQ(rig.status(0x1), -1);
  deregister.join();
  EXPECT_STREQ(rig.error, "q330_get_status_pvt: not registered");
}

TEST(Status, TokensChangeEndsTheReadoutAndRestartsTheLink) {
  Rig rig;
  rig.q->state_acquisition = Q330_ACQ_ACQUIRING;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->max_blocks = 1;
    rig.model->flags = 1u << 29;
  }
  EXPECT_EQ(rig.status(0x103), 0);
  EXPECT_EQ(rig.requests().size(), 1u);
  EXPECT_EQ(rig.logged("DP tokens change causing breakout"), 1);
  EXPECT_EQ(rig.logged("DP tokens change indicated in returned status"), 1);
  EXPECT_EQ(rig.q->need_rqmem.load(), 1);
  EXPECT_EQ(rig.q->state_acquisition.load(), Q330_ACQ_RESTART_LINK);  // asked, not waited for
}

TEST(Status, LogicalPortChange) {
  Rig rig;
  rig.q->state_acquisition = Q330_ACQ_ACQUIRING;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->flags = 1u << 30;
    rig.model->window_size = 16;
  }
  EXPECT_EQ(rig.status(0x1), 0);
  EXPECT_EQ(rig.logged("Window size change (8 -> 16) - Recycling link..."), 1);
  EXPECT_EQ(rig.q->state_acquisition.load(), Q330_ACQ_RESTART_LINK);
  EXPECT_EQ(rig.q->config.config_pkt.log.window_size, 16);

  // The same window: new acknowledgement parameters instead.
  rig.q->state_acquisition = Q330_ACQ_ACQUIRING;
  rig.q->params.timeout_data = 20;
  rig.q->time_last_dack = 5;
  rig.q->packets_received_since_last_ack = 9;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->flags = 1u << 30;
    rig.model->acknowledge_timeout = 20;
  }
  EXPECT_EQ(rig.status(0x1), 0);
  EXPECT_EQ(rig.logged("Resetting ack link parameters..."), 1);
  EXPECT_DOUBLE_EQ(rig.q->params.ack_timeout_data, 2.0);
  EXPECT_DOUBLE_EQ(rig.q->params.udp_timeout_data, 2.005);
  EXPECT_EQ(rig.q->params.maxretries_data, 10);
  EXPECT_EQ(rig.q->time_last_dack, 0);
  EXPECT_EQ(rig.q->packets_received_since_last_ack, 0u);
  EXPECT_EQ(rig.q->state_acquisition.load(), Q330_ACQ_ACQUIRING);
}

TEST(Status, OneFlushPerLockout) {
  Rig rig;
  rig.q->params.flush_buffer_thresh = 50;
  rig.q->params.flush_buffer_age = 3600;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->bytes_used[0] = 900;
  }
  double before = std_now();
  EXPECT_EQ(rig.status(0x101), 0);
  EXPECT_DOUBLE_EQ(rig.q->status.bufpcnt, 90);
  ASSERT_EQ(rig.slogs(), 1u);
  EXPECT_EQ(rig.slog_list()[0].first & 0x02, 0x02);
  double threshold = rig.slog_list()[0].second + 946684800.0;
  EXPECT_NEAR(threshold, before - 3600, 2.0);
  EXPECT_EQ(rig.logged("STATUS: Flushing Q330 packet buffer for packets prior to"), 1);
  // Without the data port's block the lock-out stays: no second flush.
  EXPECT_EQ(rig.status(0x1), 0);
  EXPECT_EQ(rig.slogs(), 1u);
  // Its block seen again: the next flush.
  EXPECT_EQ(rig.status(0x101), 0);
  EXPECT_EQ(rig.slogs(), 2u);

  // A flush age of 0 asks for no threshold time.
  rig.q->params.flush_buffer_age = 0;
  EXPECT_EQ(rig.status(0x101), 0);
  ASSERT_EQ(rig.slogs(), 3u);
  EXPECT_EQ(rig.slog_list()[2].second, 0u);
}

TEST(Status, BufferWithoutPacketMemoryAndListenCountdown) {
  Rig rig;
  rig.q->params.flush_buffer_thresh = 1;
  rig.q->config.config_pkt.fix.logical_port_packet_memory_size[0] = 0;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->bytes_used[0] = 900;
  }
  EXPECT_EQ(rig.status(0x100), 0);
  EXPECT_EQ(rig.q->status.bufpcnt, -1);
  EXPECT_EQ(rig.slogs(), 0u);
  // Listen disposition with no packet memory: -1 %, no countdown.
  rig.q->params.disposition = 2;
  rig.q->buffer_thresh_flag = 1;
  rig.q->params.shutdown_buffer_thresh = 5;
  EXPECT_EQ(rig.status(0x100), 0);
  EXPECT_EQ(rig.logged("STATUS: Percent buffer = -1.000"), 1);
  EXPECT_EQ(rig.q->buffer_thresh_flag, 1);
  // A drained buffer starts the countdown once.
  rig.q->config.config_pkt.fix.logical_port_packet_memory_size[0] = 1000;
  rig.q->params.shutdown_buffer_wait = 30;
  {
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    rig.model->bytes_used[0] = 20;
  }
  double now = std_now();
  EXPECT_EQ(rig.status(0x100), 0);
  EXPECT_EQ(rig.logged("STATUS: Percent buffer = 2.000"), 1);
  EXPECT_EQ(rig.logged("STATUS: Shutdown due to buffer threshold in 30.0 seconds..."), 1);
  EXPECT_NEAR(rig.q->acquisition_timeout, now + 30, 2);
  EXPECT_EQ(rig.q->buffer_thresh_flag, 0);
  EXPECT_EQ(rig.status(0x100), 0);
  EXPECT_EQ(rig.logged("Shutdown due to buffer threshold"), 0);
}

TEST(Status, CommunicationEfficiencyAveragers) {
  for (int interval : {0, 10}) {
    Rig rig;
    rig.q->params.statusreport_interval = interval;
    rig.q->first_status = 1;
    rig.q->status.datarate_origin = std_now();
    {
      std::lock_guard<std::mutex> lock(rig.model->mutex);
      rig.model->sent[0] = 100;
      rig.model->fill[0] = 10;
      rig.model->resent[0] = 5;
    }
    EXPECT_EQ(rig.status(0x100), 0);
    EXPECT_EQ(rig.q->packets_sent, 110);
    {
      std::lock_guard<std::mutex> lock(rig.model->mutex);
      rig.model->sent[0] = 150;
      rig.model->resent[0] = 8;
    }
    EXPECT_EQ(rig.status(0x100), 0);
    EXPECT_EQ(rig.q->packets_sent, 160);
    EXPECT_EQ(rig.q->packets_resent, 8);
    if (interval == 0) {
      EXPECT_EQ(rig.q->status.ta_commeff_sent, nullptr);
      EXPECT_EQ(rig.q->status.ta_commeff_resent, nullptr);
      continue;
    }
    ASSERT_NE(rig.q->status.ta_commeff_sent, nullptr);
    EXPECT_EQ(rig.q->status.ta_commeff_sent->nbin, 361);
    double t = std_now() + 20, w = 3600, sum = 0, ave = 0;
    taverage_get(rig.q->status.ta_commeff_sent, &t, &w, &sum, &ave);
    EXPECT_EQ(sum, 50);
    t = std_now() + 20;
    w = 3600;
    taverage_get(rig.q->status.ta_commeff_resent, &t, &w, &sum, &ave);
    EXPECT_EQ(sum, 3);
  }
}

TEST(Status, ClockTimeRecordsAndUserMessage) {
  long old_base = dlclock_set_key_base(IPC_PRIVATE);
  _init_Dlclock(0);
  int shmid = -1;
  Dlclock *shm = dlclock_attached(&shmid);
  ASSERT_NE(shm, nullptr);
  {
    Rig rig;
    rig.q->dlclock = 1;
    rig.q->params.output_time_packet = 1;
    rig.q->params.control_inactivity_timeout = 100;
    int count = shm->count;
    EXPECT_EQ(rig.status(0x3), 0);
    EXPECT_EQ(shm->count, count + 1);
    EXPECT_NEAR(shm->clockTimeStampSec, std_now(), 2);
    // The time record carries the datalogger's time.
    double recorded = 0;
    for (const auto &i : rig.rec.items)
      if (i.type == Q330_OUT_TIME) recorded = i.time;
    EXPECT_NEAR(recorded, std_now(), 2);
    EXPECT_DOUBLE_EQ(rig.q->control_timeout, rig.q->status.time_last_status_pkt + 100);

    // The clock is fed with each later 1PPS time of a locked clock, and not with a time
    // no later than the last one fed while the datalogger's own time is not behind that
    // one (a 1PPS in hold). A clock set back is fed again at once, with one log line. The
    // datalogger's clock is moved by whole offsets far beyond the second the test may
    // cross.
    struct Row {
      const char *what;
      double offset;
      uint32_t pps_age;
      unsigned quality;
      bool fed;
    } rows[] = {
        {"1PPS in hold, 5 s behind", 0, 5, 0xC0, false},
        {"later time", 10, 0, 0xC0, true},
        {"clock set back", -100, 0, 0xC0, true},
        {"set back, then 1PPS in hold", -100, 50, 0xC0, false},
        {"bit 0x40 alone", 20, 0, 0x40, true},
        {"not locked", 30, 0, 0x20, false},
        {"locked again, later", 40, 0, 0x80, true},
    };
    int fed = count + 1, setback_lines = 0;
    for (const Row &r : rows) {
      SCOPED_TRACE(r.what);
      {
        std::lock_guard<std::mutex> lock(rig.model->mutex);
        rig.model->clock_offset = r.offset;
        rig.model->pps_age = r.pps_age;
        rig.model->clock_quality = r.quality;
      }
      EXPECT_EQ(rig.status(0x3), 0);
      setback_lines += rig.logged("Datalogger clock set back from ");
      if (r.fed) fed++;
      EXPECT_EQ(shm->count, fed);
      if (r.fed) {
        EXPECT_NEAR(shm->clockTimeStampSec, std_now() + r.offset, 2);
      }
    }
    EXPECT_EQ(setback_lines, 1);
    // Not locked (0x40 alone): no time record.
    {
      std::lock_guard<std::mutex> lock(rig.rec.mutex);
      rig.rec.items.clear();
    }
    {
      std::lock_guard<std::mutex> lock(rig.model->mutex);
      rig.model->clock_offset = 50;
      rig.model->clock_quality = 0x40;
    }
    EXPECT_EQ(rig.status(0x3), 0);
    for (const auto &i : rig.rec.items) EXPECT_NE(i.type, Q330_OUT_TIME);

    // The datalogger's clock jumps 3 s: the stored host time moves half a second later.
    {
      std::lock_guard<std::mutex> lock(rig.model->mutex);
      rig.model->clock_offset = 3;
    }
    EXPECT_EQ(rig.status(0x1), 0);
    EXPECT_GT(rig.q->status.time_last_status_pkt - std_now(), 0.3);

    // A user message.
    {
      std::lock_guard<std::mutex> lock(rig.model->mutex);
      rig.model->flags = 1u << 31;
    }
    EXPECT_EQ(rig.status(0x1), 0);
    EXPECT_EQ(rig.logged("UMSG: ip = 127.0.0.1, msg = hello"), 1);
  }
  dlclock_detach();
  if (shmid >= 0) shmctl(shmid, IPC_RMID, nullptr);
  dlclock_set_key_base(old_base);
}

}  // namespace
