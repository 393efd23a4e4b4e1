// A session against the simulator through its real control thread: the channel-stream map
// the session configures from its output channels (C1_SLOG) is what the data port sends, at
// the rates of the datalogger's FIX; and a calibration started and stopped by operator
// commands comes back on the data port as calibration blockettes that the session turns
// into log lines and calibration rows.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "data_fixture.h"
#include "q330_data.h"
#include "q330_opcmds.h"
#include "q330_qdp.h"
#include "q330_threads.h"
#include "q330sim.h"
#include "q330sim_commands.h"
#include "q330sim_config.h"
#include "q330sim_data.h"
#include "sim_session.h"
#include "testkit/testkit.h"

namespace {

constexpr uint32_t kSeed = 4321;

// The fields of a "dlcalwf" row that these tests look at (the row's text is its fields in
// order, separated by blanks; loc is empty here and leaves no word).
struct Row {
  std::string chan, calseq, type, error, input, bitmap;
  double time = 0, endtime = 0, samprate = 0;
  int physical = -1;
};

Row parse_row(const std::string &text) {
  std::istringstream in(text);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  Row r;
  if (w.size() < 14) return r;
  r.chan = w[2];
  r.time = std::stod(w[3]);
  r.endtime = std::stod(w[4]);
  r.calseq = w[7];
  r.type = w[8];
  r.error = w[9];
  r.input = w[10];
  r.bitmap = w[11];
  r.physical = std::stoi(w[12]);
  r.samprate = std::stod(w[13]);
  return r;
}

// Copies what the session hands over: data records, log lines and calibration rows.
struct Collected {
  std::mutex mutex;
  std::vector<std::vector<unsigned char>> records;
  std::vector<std::string> lines;
  std::vector<std::string> rows;  // the text of each "dlcalwf" row
  static int callback(Q330 *q, int type, void *data, int size) {
    auto *self = static_cast<Collected *>(q->user_data);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (type == Q330_OUT_DATA) {
      auto *p = static_cast<unsigned char *>(data);
      self->records.emplace_back(p, p + size);
    } else if (type == Q330_OUT_LOG || type == Q330_OUT_STDOUT) {
      self->lines.emplace_back(static_cast<char *>(data));
      free(data);
    } else if (type == Q330_OUT_TIME) {
      free(data);
    } else if (type == Q330_OUT_DB && size > 0) {
      const char *p = static_cast<const char *>(data);
      const char *nul = static_cast<const char *>(memchr(p, '\0', static_cast<size_t>(size)));
      if (nul && std::string(p) == "dlcalwf") self->rows.emplace_back(nul + 1);
      free(data);  // the row is the callback's
    }
    return 0;
  }
  size_t nrecords() {
    std::lock_guard<std::mutex> lock(mutex);
    return records.size();
  }
  int count(const std::string &needle) {
    std::lock_guard<std::mutex> lock(mutex);
    int n = 0;
    for (const std::string &l : lines) n += l.find(needle) != std::string::npos;
    return n;
  }
  std::vector<Row> parsed_rows() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Row> out;
    for (const std::string &r : rows) out.push_back(parse_row(r));
    return out;
  }
};

// A registered session on the simulator with the example parameter file's data channels:
// physical channels 0-2, streams 0 and 1, each produced and bound to a packet definition.
// The control thread runs; the test thread opens and reads the data port.
struct Rig {
  ClockScale fast{0.05};
  Q330Sim sim{options()};
  Collected out;
  Q330 *q = nullptr;
  PacketDef *bound = reinterpret_cast<PacketDef *>(&out);  // only tested for being set
  std::thread control;
  char error[512] = "";

  static Q330SimOptions options() {
    Q330SimOptions o;
    o.auth_code = 0x2;
    return o;
  }
  Rig() {
    setenv("SCHEMA_DIR", VANTREL_DATA_DIR, 1);
    Q330SimDataKnobs k = sim.data().get_knobs();
    k.seed = kSeed;
    sim.data().set_knobs(k);
    EXPECT_EQ(sim.start(), 0);
    q = q330_create(Collected::callback, nullptr);
    q->user_data = &out;
    Q330DLParams &p = q->params;
    set_q330_str(&p.dlname, "XX_SIM");
    set_q330_str(&q->target_name, "tgt");
    p.udp_packetcache_size_data = 16;
    p.timeout_data = 120;
    p.throttle_q330 = -1;
    p.calibration_duration = 60;
    p.calibration_waveform_str = strdup("sine");
    p.calibration_amplitude = 3;
    p.calibration_settling_time = 5;
    p.calibration_trailer_time = 6;
    p.calibration_calibration_bitmap_str = strdup("0x7");
    p.calibration_monitor_channel_bitmap_str = strdup("0x1");
    p.calibration_frequency_divider = 10;
    const char *chans[] = {"BHZ", "BHN", "BHE"};
    for (int s = 0; s < 2; s++)
      for (int c = 0; c < 3; c++) {
        Q330Chan &ch = p.data_chan[s][c];
        ch.outputthischan = 1;
        ch.user_data = bound;
        strcpy(ch.net, "XX");
        strcpy(ch.sta, "SIM");
        strcpy(ch.chan, chans[c]);
        ch.chan[0] = s == 0 ? 'B' : 'L';
      }
    sim_session_point(q, sim, 1, 2.0, 3, "0100000012345678", {"2"});
    EXPECT_EQ(q330_thread_start(q), 0);
    control = std::thread(q330_run_control_thread, q);
    EXPECT_EQ(q330_register(q, error, sizeof error), 0) << error;
    EXPECT_EQ(q330_open_data(q, error, sizeof error), 0) << error;
  }
  ~Rig() {
    q330_close_data(q, error, sizeof error);
    q330_kill_thread(q);
    control.join();
    sim.stop();
    Q330DLParams &p = q->params;
    for (int s = 0; s < 2; s++)
      for (int c = 0; c < 3; c++) p.data_chan[s][c].user_data = nullptr;
    for (char *s : {p.calibration_waveform_str, p.calibration_calibration_bitmap_str,
                    p.calibration_monitor_channel_bitmap_str})
      free(s);
    p.calibration_waveform_str = p.calibration_calibration_bitmap_str =
        p.calibration_monitor_channel_bitmap_str = nullptr;
    free(q->target_name);
    q->target_name = nullptr;
    sim_session_release(q);
    free_session(q);
  }
  // Reads the data port until `done` holds; every read must succeed.
  template <class P>
  void read_until(P done) {
    for (int reads = 0; !done(); reads++) {
      ASSERT_LT(reads, 20000) << "the data port never delivered";
      ASSERT_EQ(q330_read_data(q, error, sizeof error), 0) << error;
    }
  }
};

TEST(SimData, RecordsCarryTheChannelsTheSessionConfigured) {
  Rig rig;
  ASSERT_EQ(rig.q->nchans, 6) << "the readout after C1_SLOG lists the six channel-streams";
  rig.read_until([&] { return rig.out.nrecords() >= 4; });
  const uint8_t *codes = rig.q->config.config_pkt.fix.bit_frequency;
  std::vector<std::vector<unsigned char>> records;
  {
    std::lock_guard<std::mutex> lock(rig.out.mutex);
    records = rig.out.records;
  }
  for (const auto &rec : records) {
    const uint32_t seq =
        static_cast<uint32_t>(rec[12]) << 24 | rec[13] << 16 | rec[14] << 8 | rec[15];
    SCOPED_TRACE(seq);
    std::set<std::pair<int, int>> seen;
    for (const RecordEntry &e : record_entries(rec)) {
      EXPECT_TRUE(seen.insert({e.channel, e.stream}).second)
          << "channel " << e.channel << " stream " << e.stream << " twice";
      ASSERT_TRUE(e.channel <= 2 && e.stream <= 1)
          << "channel " << e.channel << " stream " << e.stream << " was not asked for";
      const int rate = q330sim_data_rate(codes[e.stream]);
      EXPECT_EQ(e.nsamp, rate);
      std::vector<int> want;
      for (int i = 0; i < rate; i++)
        want.push_back(
            q330sim_sample(kSeed, e.channel + 8 * e.stream, static_cast<int64_t>(seq) * rate + i));
      EXPECT_EQ(e.samples, want) << "channel " << e.channel << " stream " << e.stream;
    }
    EXPECT_EQ(seen.size(), 6u);
  }
  EXPECT_EQ(q330sim_data_rate(codes[0]), 100);
  EXPECT_EQ(q330sim_data_rate(codes[1]), 1);
}

TEST(SimData, CalibrationStartAndStopReachTheHandlers) {
  Rig rig;
  rig.read_until([&] { return rig.out.nrecords() >= 1; });
  std::vector<std::string> words = {
      "calibrate", "-sensors",          "0x7", "-sensor_control_bitmap",
      "1",         "-monitor_channels", "0x1", "-amplitude",
      "2",         "-period",           "20",  "-waveform",
      "red|neg"};
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  ASSERT_EQ(q330_calibrate(rig.q, static_cast<int>(argv.size()), argv.data(), rig.error,
                           sizeof rig.error),
            0)
      << rig.error;
  rig.read_until([&] { return rig.out.count("Calibration start:") > 0; });
  EXPECT_EQ(rig.out.count("Calibration start: waveform=0x41, amplitude=2, duration=60, "
                          "calbitmap=0x7, monbitmap=0x1, period=20"),
            1);
  // A row for every produced channel-stream, the monitored channel 0 marked "d".
  std::vector<Row> start = rig.out.parsed_rows();
  ASSERT_EQ(start.size(), 6u);
  std::set<std::string> chans;
  for (const Row &r : start) {
    SCOPED_TRACE(r.chan);
    chans.insert(r.chan);
    EXPECT_EQ(r.type, "red,neg");
    EXPECT_EQ(r.error, "ok");
    EXPECT_EQ(r.input, r.physical == 0 ? "d" : "s");
    EXPECT_EQ(r.bitmap, "0x7");
    EXPECT_EQ(r.samprate, r.chan[0] == 'B' ? 100.0 : 1.0);
    EXPECT_EQ(r.endtime - r.time, 60.0);
    EXPECT_EQ(r.calseq, start[0].calseq);
  }
  EXPECT_EQ(chans, (std::set<std::string>{"BHZ", "BHN", "BHE", "LHZ", "LHN", "LHE"}));
  EXPECT_EQ(std::string(rig.q->lastcal_calseq), start[0].calseq);

  ASSERT_EQ(q330_stop_calibration(rig.q), 0);
  rig.read_until([&] { return rig.out.count("Calibration aborted:") > 0; });
  EXPECT_EQ(rig.out.count("Calibration aborted: calbitmap=0x7, monbitmap=0x1"), 1);
  // Within 60 s of the planned end: abort rows for the same calibration, which is then off
  // the record.
  std::vector<Row> all = rig.out.parsed_rows();
  ASSERT_EQ(all.size(), 12u);
  for (size_t i = 6; i < all.size(); i++) {
    SCOPED_TRACE(all[i].chan);
    EXPECT_EQ(all[i].type, "-");
    EXPECT_EQ(all[i].error, "err");
    EXPECT_EQ(all[i].calseq, start[0].calseq);
    EXPECT_EQ(all[i].endtime, start[0].endtime);
  }
  EXPECT_EQ(rig.q->lastcal_calseq[0], '\0');
  std::lock_guard<std::mutex> lock(rig.sim.commands()->mutex);
  EXPECT_EQ(rig.sim.commands()->cal_events, (std::vector<int>{1, 2}));
}

}  // namespace
