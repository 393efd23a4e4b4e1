// Operator commands: the front ends' parsing and sensor-mapping defaults (against a
// scripted control thread), and the executors against the Q330 simulator through a
// control thread that runs the operator-command rows; the "dlcalwf" row.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "q330_fixture.h"
#include "q330_opcmds.h"
#include "q330_qdp.h"
#include "q330sim.h"
#include "q330sim_commands.h"
#include "sim_session.h"

namespace {

std::vector<char *> words(std::vector<std::string> &w) {
  std::vector<char *> out;
  for (std::string &s : w) out.push_back(s.data());
  return out;
}

// Sensor control lines: line n (1-based) gets definition defs[n-1].
void map_lines(Q330 *q, std::vector<uint32_t> defs) {
  defs.resize(8, 0);
  Q330SCPkt &sc = q->config.config_pkt.sc;
  uint32_t *lines[8] = {&sc.sensor_output_1_definition, &sc.sensor_output_2_definition,
                        &sc.sensor_output_3_definition, &sc.sensor_output_4_definition,
                        &sc.sensor_output_5_definition, &sc.sensor_output_6_definition,
                        &sc.sensor_output_7_definition, &sc.sensor_output_8_definition};
  for (int i = 0; i < 8; i++) *lines[i] = defs[static_cast<size_t>(i)];
}

struct FrontRig {
  Q330 *q = q330_create(OutputRecorder::callback, nullptr);
  OutputRecorder rec;
  FrontRig() {
    rec.attach(q);
    Q330DLParams &p = q->params;
    p.massrecenter_sensors = strdup("AB");
    p.masslockunlock_sensors = strdup("AB");
    p.massrecenter_duration_dbl = 2.5;
    p.masslockunlock_duration_dbl = 4;
    p.calibration_duration = 60;
    p.calibration_waveform_str = strdup("sine");
    p.calibration_amplitude = 3;
    p.calibration_settling_time = 5;
    p.calibration_trailer_time = 6;
    p.calibration_calibration_bitmap_str = strdup("A");
    p.calibration_monitor_channel_bitmap_str = strdup("0");
    p.calibration_frequency_divider = 10;
    EXPECT_EQ(q330_thread_start(q), 0);
  }
  ~FrontRig() {
    Q330DLParams &p = q->params;
    for (char *s : {p.massrecenter_sensors, p.masslockunlock_sensors, p.calibration_waveform_str,
                    p.calibration_calibration_bitmap_str, p.calibration_monitor_channel_bitmap_str})
      free(s);
    free_session(q);
  }
};

struct FrontCase {
  const char *name;
  int cmd;  // 0-2 mass commands, 3 calibrate
  std::vector<std::string> words;
  std::vector<uint32_t> lines;
  const char *error;  // expected error text, or none
  std::vector<std::pair<std::string, std::string>> posted;
};

TEST(OpCmdsFront, DefaultsAndSensorMapping) {
  const std::vector<FrontCase> cases = {
      {"recentre both: line 1 (active high) and line 6",
       0,
       {"massrecenter"},
       {0x102, 0, 0, 0, 0, 5},
       nullptr,
       {{"sensor_control_bitmap", "33"}, {"duration", "2.500000"}}},
      {"recentre B only ignores sensor A's lines",
       0,
       {"massrecenter", "-sensors", "B"},
       {0, 2, 0, 0, 0, 5},
       nullptr,
       {{"sensor_control_bitmap", "32"}}},
      {"sensor B's code on a sensor A line is not B's",
       0,
       {"massrecenter", "-sensors", "B"},
       {5, 0, 0, 0, 0, 0},
       "q330_masscmds: Cannot find sensor 'B' in control mappings.\n",
       {}},
      {"lock both with no lock codes",
       1,
       {"masslock"},
       {2, 0, 0, 0, 5},
       "q330_masscmds: Cannot find any mass lock settings in control mappings.\n",
       {}},
      {"unlock A with the given duration",
       2,
       {"massunlock", "-sensors", "A", "-duration", "25"},
       {8, 8},
       nullptr,
       {{"sensor_control_bitmap", "3"}, {"duration", "25"}}},
      {"given bitmap: the mapping is not read",
       1,
       {"masslock", "-sensor_control_bitmap", "3"},
       {},
       nullptr,
       {{"sensor_control_bitmap", "3"}, {"duration", "4.000000"}}},
      {"bad sensors text",
       0,
       {"massrecenter", "-sensors", "C"},
       {2},
       "q330_masscmds: Unrecognized sensors value 'C'.\n",
       {}},
      {"missing value",
       0,
       {"massrecenter", "-duration"},
       {2},
       "q330_masscmds: Need -duration argument.\n",
       {}},
      {"unknown word",
       0,
       {"massrecenter", "-fast"},
       {2},
       "q330_masscmds: Unrecognized masscmds arg '-fast'.\n",
       {}},
      {"calibrate both: lines with codes 1 and 4",
       3,
       {"calibrate"},
       {1, 0, 0, 0, 0x104},
       nullptr,
       {{"sensor_control_bitmap", "17"},
        {"coupling_bytes", "RESISTIVE"},
        {"calibration_bitmap", "A"},
        {"duration", "60"},
        {"time", "0.0"},
        {"waveform", "sine"},
        {"frequency_divider", "10"}}},
      {"calibrate 0x38 selects sensor B",
       3,
       {"calibrate", "-sensors", "0x38"},
       {1, 0, 0, 0, 4},
       nullptr,
       {{"sensor_control_bitmap", "16"}, {"calibration_bitmap", "0x38"}}},
      {"calibrate sensors 0: no mapping search, bitmap 0",
       3,
       {"calibrate", "-sensors", "0"},
       {},
       nullptr,
       {{"sensor_control_bitmap", "0"}, {"calibration_bitmap", "0"}}},
      {"calibrate capacitive adds code 3 lines and the coupling",
       3,
       {"calibrate", "-sensors", "A", "-capacitive"},
       {1, 3},
       nullptr,
       {{"sensor_control_bitmap", "3"}, {"coupling_bytes", "CAPACITIVE"}}},
      {"calibrate given bitmap",
       3,
       {"calibrate", "-sensor_control_bitmap", "3"},
       {},
       nullptr,
       {{"sensor_control_bitmap", "3"}}},
      {"calibrate sensors with bits beyond six channels",
       3,
       {"calibrate", "-sensors", "0x40"},
       {1},
       "q330_calibrate: Unrecognized -sensors argument '0x40'.\n",
       {}},
      {"calibrate B with no code 4",
       3,
       {"calibrate", "-sensors", "B"},
       {1},
       "q330_calibrate: Cannot find sensor 'B' in control mappings.\n",
       {}},
      {"calibrate both with no codes",
       3,
       {"calibrate"},
       {2},
       "q330_calibrate: Cannot find any calibration settings in control mappings.\n",
       {}},
      {"calibrate missing value",
       3,
       {"calibrate", "-period"},
       {1},
       "q330_calibrate: Need period argument.\n",
       {}},
  };
  for (const FrontCase &c : cases) {
    SCOPED_TRACE(c.name);
    FrontRig rig;
    map_lines(rig.q, c.lines);
    ScriptedControl control(rig.q, {});
    std::vector<std::string> w = c.words;
    std::vector<char *> argv = words(w);
    char error[512] = "";
    int rc = c.cmd == 3 ? q330_calibrate(rig.q, static_cast<int>(argv.size()), argv.data(), error,
                                         sizeof error)
                        : q330_masscmds(rig.q, c.cmd, static_cast<int>(argv.size()), argv.data(),
                                        error, sizeof error);
    std::lock_guard<std::mutex> lock(control.mutex);
    if (c.error) {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(error, c.error);
      EXPECT_TRUE(control.commands.empty());
      auto lines = rig.rec.lines();
      ASSERT_FALSE(lines.empty());
      EXPECT_NE(lines.back().find(std::string(c.error).substr(0, 20)), std::string::npos);
      continue;
    }
    EXPECT_EQ(rc, 0) << error;
    ASSERT_EQ(control.kept.size(), 1u);
    const char *names[] = {"massrecenter", "masslock", "massunlock", "calibrate"};
    EXPECT_EQ(control.commands[0], names[c.cmd]);
    for (const auto &[key, value] : c.posted) {
      const char *got = pfget_string(control.kept[0], key.c_str());
      EXPECT_STREQ(got ? got : "(none)", value.c_str()) << key;
    }
  }
}

// ---- Executors against the simulator ----------------------------------------------------

// A control thread that runs the operator-command rows.
struct OpControl {
  Q330 *q;
  std::thread thread;
  explicit OpControl(Q330 *q330) : q(q330) {
    thread = std::thread([this] {
      for (;;) {
        void *p = nullptr;
        if (pmtfifo_pop(q->control_mtfifo_in, &p) != 1) return;
        auto *item = static_cast<Q330Cmd *>(p);
        if (!item) continue;
        char answer[512] = "";
        if (!q330_opcmds_exec(q, pfget_string(item->pf, "cmd"), item->pf, answer, sizeof answer))
          snprintf(answer, sizeof answer, "unknown");
        q330_cmd_answer(q, item, answer);
        q330_cmd_free(item);
      }
    });
  }
  ~OpControl() {
    pmtfifo_release_block(q->control_mtfifo_in);
    thread.join();
  }
};

// Real clocks except clock_now, which stands at a fixed time.
constexpr double kNow = 1700000000.0;
struct FixedNow {
  ClockDriver driver{
      [](void *) { return kNow; },
      [](void *) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
      },
      [](double s, void *) { std::this_thread::sleep_for(std::chrono::duration<double>(s)); },
      nullptr};
  FixedNow() { clock_set_driver(&driver); }
  ~FixedNow() { clock_set_driver(nullptr); }
};

struct ExecRig : FrontRig {
  FixedNow clock;
  Q330Sim sim{options()};
  std::shared_ptr<Q330SimCommands> model;
  std::unique_ptr<OpControl> control;
  static Q330SimOptions options() {
    Q330SimOptions o;
    o.auth_code = 0x2;
    return o;
  }
  ExecRig() {
    EXPECT_EQ(sim.start(), 0);
    model = sim.commands();
    sim_session_point(q, sim, 1, 0.5, 3, "0100000012345678", {"2"});
    char error[256] = "";
    EXPECT_EQ(q330_register_pvt(q, error, sizeof error), 0) << error;
    control = std::make_unique<OpControl>(q);
  }
  ~ExecRig() {
    control.reset();
    sim.stop();
    sim_session_release(q);
  }
  int calibrate(std::vector<std::string> w, char *error) {
    w.insert(w.begin(), "calibrate");
    auto argv = words(w);
    return q330_calibrate(q, static_cast<int>(argv.size()), argv.data(), error, 512);
  }
};

TEST(OpCmdsExec, MassCommandsSendTicks) {
  ExecRig rig;
  char error[512] = "";
  std::vector<std::string> w = {"masslock", "-sensor_control_bitmap", "5", "-duration", "25"};
  auto argv = words(w);
  ASSERT_EQ(q330_masscmds(rig.q, 1, 5, argv.data(), error, sizeof error), 0) << error;
  w = {"massrecenter", "-sensor_control_bitmap", "1", "-duration", "0.004"};
  argv = words(w);
  EXPECT_EQ(q330_masscmds(rig.q, 0, 5, argv.data(), error, sizeof error), -1);
  EXPECT_STREQ(error, "ERROR: massrecenter 0.004000 duration not allowed - too small.");
  std::lock_guard<std::mutex> lock(rig.model->mutex);
  ASSERT_EQ(rig.model->pulses.size(), 1u);
  EXPECT_EQ(rig.model->pulses[0].bitmap, 5);
  EXPECT_EQ(rig.model->pulses[0].duration, 1000);  // clamped to 10 s
}

TEST(OpCmdsExec, CalibrationFields) {
  ExecRig rig;
  char error[512] = "";
  struct WaveCase {
    const char *text;
    int waveform;  // -1: refused
  } waves[] = {{"red|neg", 0x41}, {"0x41|auto", 0xC1}, {"sine", 0},
               {"white|12", 12},  {"step|bogus", -1},  {"70000", -1}};
  for (const WaveCase &wc : waves) {
    SCOPED_TRACE(wc.text);
    int rc = rig.calibrate({"-sensor_control_bitmap", "1", "-waveform", wc.text}, error);
    if (wc.waveform < 0) {
      EXPECT_EQ(rc, -1);
      EXPECT_NE(std::string(error).find("ERROR: error parsing calibrate waveform"),
                std::string::npos);
      continue;
    }
    ASSERT_EQ(rc, 0) << error;
    std::lock_guard<std::mutex> lock(rig.model->mutex);
    EXPECT_EQ(rig.model->qcals.back().waveform, wc.waveform);
  }
  size_t sent = rig.model->qcals.size();
  // Values beyond their fields, and a waveform text too long for the executor.
  struct Refused {
    std::vector<std::string> words;
    const char *error;
  } refused[] = {
      {{"-period", "256"}, "ERROR: calibrate 256 frequency_divider not allowed - too big."},
      {{"-period", "0"}, "ERROR: calibrate 0 frequency_divider not allowed - too small."},
      {{"-duration", "70000"}, "ERROR: calibrate 70000 duration not allowed - too big."},
      {{"-settling_time", "65536"}, "ERROR: calibrate 65536 settling_time not allowed - too big."},
      {{"-trailer_time", "-1"}, "ERROR: calibrate -1 trailer_time not allowed - too small."},
      {{"-amplitude", "99999"}, "ERROR: calibrate 99999 amplitude not allowed - too big."},
      {{"-monitor_channels", "0x40"},
       "ERROR: calibrate 0x40 monitor_channel_bitmap not allowed - too big."},
      {{"-waveform", std::string(512, 'x')},
       "ERROR: calibrate waveform of 512 characters not allowed - too long."},
      {{"-time", "yesterday"}, "ERROR: error parsing calibrate time 'yesterday'."},
  };
  for (Refused &r : refused) {
    SCOPED_TRACE(r.error);
    std::vector<std::string> w = {"-sensor_control_bitmap", "1"};
    w.insert(w.end(), r.words.begin(), r.words.end());
    EXPECT_EQ(rig.calibrate(w, error), -1);
    EXPECT_STREQ(error, r.error);
  }
  EXPECT_EQ(rig.model->qcals.size(), sent);  // nothing reached the datalogger

  // A start in the past begins settling + 10 s from now; the coupling is padded.
  ASSERT_EQ(rig.calibrate({"-sensors", "0x38", "-sensor_control_bitmap", "2", "-time",
                           "2001-01-01 00:00:00", "-settling_time", "7", "-trailer_time", "9",
                           "-monitor_channels", "0x3", "-amplitude", "4", "-period", "20"},
                          error),
            0)
      << error;
  std::lock_guard<std::mutex> lock(rig.model->mutex);
  const Q330SimQcal &q = rig.model->qcals.back();
  EXPECT_EQ(q.starting_time, static_cast<uint32_t>(kNow + 7 + 10 - 946684800.0 + 0.5));
  EXPECT_EQ(q.coupling, "RESISTIVE   ");
  EXPECT_EQ(q.calibration_bitmap, 0x38);
  EXPECT_EQ(q.sensor_control_bitmap, 2);
  EXPECT_EQ(q.monitor_channel_bitmap, 3);
  EXPECT_EQ(q.settling_time, 7);
  EXPECT_EQ(q.trailer_time, 9);
  EXPECT_EQ(q.amplitude, 4);
  EXPECT_EQ(q.frequency_divider, 20);
  EXPECT_EQ(q.duration, 60);
  EXPECT_EQ(rig.q->calcache.starting_time, q.starting_time);
  EXPECT_EQ(rig.q->calcache.calibration_bitmap, 0x38);
}

TEST(OpCmdsExec, RefusedCalibrationLeavesCache) {
  ExecRig rig;
  char error[512] = "";
  rig.sim.add_fault({Q330_C1_QCAL, 0, Q330SIM_CERR, 9, 0});
  EXPECT_EQ(rig.calibrate({"-sensor_control_bitmap", "1"}, error), -1);
  EXPECT_EQ(std::string(error).rfind("ERROR: q330_exec_cmd_pvt(C1_QCAL) error: ", 0), 0u) << error;
  EXPECT_EQ(rig.q->calcache.starting_time, 0u);
}

TEST(OpCmdsExec, StopAndUserMessages) {
  ExecRig rig;
  EXPECT_EQ(q330_stop_calibration(rig.q), 0);
  EXPECT_EQ(q330_umsg(rig.q, std::string(100, 'm').c_str()), 0);
  EXPECT_EQ(q330_umsg(rig.q, nullptr), 0);
  // A session's own user message goes through the same road with its prefix.
  q330_output(rig.q, Q330_OUT_UMSG, "%s", "hello");
  rig.sim.add_fault({Q330_C1_UMSG, 0, Q330SIM_CERR, 4, 0});
  char error[64] = "";
  EXPECT_EQ(q330_cmd(rig.q, "umsg", nullptr, error, sizeof error), -1);
  EXPECT_STREQ(error, "q330_umsg_pvt() error");
  std::lock_guard<std::mutex> lock(rig.model->mutex);
  EXPECT_EQ(rig.model->stops, 1);
  EXPECT_EQ(rig.model->cal_events, std::vector<int>{2});
  ASSERT_EQ(rig.model->umsgs.size(), 3u);
  EXPECT_EQ(rig.model->umsgs[0], std::string(79, 'm'));
  EXPECT_EQ(rig.model->umsgs[1], "");
  EXPECT_EQ(rig.model->umsgs[2].rfind("vtl: ", 0), 0u);
  EXPECT_NE(rig.model->umsgs[2].find("hello"), std::string::npos);
}

// ---- The "dlcalwf" row ---------------------------------------------------------------------

TEST(OpCmdsRow, DlcalwfPayload) {
  setenv("SCHEMA_DIR", VANTREL_DATA_DIR, 1);
  FrontRig rig;
  rig.rec.clear();
  ASSERT_EQ(q330_output_db_dlcalwf(rig.q, "XX", "STA", "BHZ", "00", 1700000000.0, 1700000060.0,
                                   "q330", "0100000012345678", "STA-2023318:22:13:20", "step,neg",
                                   "ok", "d", "0x2", 1, 40.0, 1.25, 0.25, 7.0, -1.0),
            0);
  std::lock_guard<std::mutex> lock(rig.rec.mutex);
  ASSERT_EQ(rig.rec.items.size(), 1u);
  const auto &item = rig.rec.items[0];
  EXPECT_EQ(item.type, Q330_OUT_DB);
  const char *payload = static_cast<const char *>(item.address);
  EXPECT_STREQ(payload, "dlcalwf");
  std::string row = payload + 8;
  EXPECT_EQ(item.size, static_cast<int>(8 + row.size() + 1));
  for (const char *field :
       {"XX", "STA", "BHZ", "1700000000.00000", "1700000060.00000", "q330", "0100000012345678",
        "STA-2023318:22:13:20", "step,neg", "0x2", "1.250000", "0.250000", " 7.000", " -1.000"})
    EXPECT_NE(row.find(field), std::string::npos) << field << " in " << row;
  free(const_cast<char *>(payload));

  // Without an output callback nothing is built.
  rig.q->out_callback = nullptr;
  EXPECT_EQ(q330_output_db_dlcalwf(rig.q, "", "", "", "", 0, 0, "", "", "", "", "", "", "", 0, 0, 0,
                                   0, 0, 0),
            0);
}

}  // namespace
