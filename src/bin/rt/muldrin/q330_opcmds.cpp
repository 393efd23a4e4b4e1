// q330_opcmds.cpp - operator commands: front ends, executors and the "dlcalwf" row.
#include "q330_opcmds.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "q330_qdp.h"
#include "reldb/db.h"

namespace {

const char *nz(const char *s) { return s ? s : ""; }

void put_error(char *error, int err_sz, const std::string &text) {
  if (!error || err_sz <= 0) return;
  snprintf(error, static_cast<size_t>(err_sz), "%s", text.c_str());
}

// A front end's failure: back to the caller, emitted and logged, the object freed. -1.
int front_fail(Q330 *q330, Pf *pf, char *error, int err_sz, const std::string &text) {
  put_error(error, err_sz, text);
  q330_output(q330, Q330_OUT_LOG, "%s", text.c_str());
  elog_log(0, "%s", text.c_str());
  pffree(pf);
  return -1;
}

// An executor's failure: into `error` and emitted as "%s\n". -1.
int exec_fail(Q330 *q330, char *error, int err_sz, const std::string &text) {
  put_error(error, err_sz, text);
  q330_output(q330, Q330_OUT_LOG, "%s\n", text.c_str());
  return -1;
}

// Reads a whole text as an integer of base 0 (decimal, octal or 0x hexadecimal). false
// when no digit can be read or the value leaves the range of long.
bool read_number(const char *text, long *value) {
  if (!text) return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(text, &end, 0);
  if (end == text || errno == ERANGE) return false;
  *value = v;
  return true;
}

uint32_t sensor_line(const Q330SCPkt &sc, int line) {
  const uint32_t lines[8] = {sc.sensor_output_1_definition, sc.sensor_output_2_definition,
                             sc.sensor_output_3_definition, sc.sensor_output_4_definition,
                             sc.sensor_output_5_definition, sc.sensor_output_6_definition,
                             sc.sensor_output_7_definition, sc.sensor_output_8_definition};
  return lines[line];
}

// The lines (bit n-1 for line n) whose function code is `code`, among lines first..last
// (1-based).
unsigned lines_with(const Q330SCPkt &sc, unsigned code, int first, int last) {
  unsigned bitmap = 0;
  for (int line = first; line <= last; line++) {
    uint32_t def = sensor_line(sc, line - 1);
    if (def != 0 && (def & 0xFF) == code) bitmap |= 1u << (line - 1);
  }
  return bitmap;
}

}  // namespace

// ---- Front ends -------------------------------------------------------------------------

int q330_masscmds(Q330 *q330, int cmd, int argc, char **argv, char *error, int err_sz) {
  Pf *pf = pfnew(PFFILE);
  if (!pf) {
    elog_log(0, "q330_masscmds: pfnew() error.\n");
    return -1;
  }
  char line[512];
  if (cmd < 0 || cmd > 2) {
    snprintf(line, sizeof line, "q330_masscmds: Unrecognized cmd %d.\n", cmd);
    return front_fail(q330, pf, error, err_sz, line);
  }
  bool have_duration = false, have_bitmap = false;
  std::string sensors;
  bool have_sensors = false;
  for (int i = 1; i < argc; i++) {
    std::string word = nz(argv[i]);
    const char *key = word == "-duration"                ? "duration"
                      : word == "-sensor_control_bitmap" ? "sensor_control_bitmap"
                      : word == "-sensors"               ? "sensors"
                                                         : nullptr;
    if (!key)
      return front_fail(q330, pf, error, err_sz,
                        "q330_masscmds: Unrecognized masscmds arg '" + word + "'.\n");
    if (i + 1 >= argc)
      return front_fail(q330, pf, error, err_sz,
                        std::string("q330_masscmds: Need ") + word + " argument.\n");
    const char *value = nz(argv[++i]);
    if (word == "-sensors") {
      sensors = value;
      have_sensors = true;
    } else {
      pfput_string(pf, key, value);
      (word == "-duration" ? have_duration : have_bitmap) = true;
    }
  }
  const Q330DLParams &p = q330->params;
  if (!have_sensors) sensors = nz(cmd == 0 ? p.massrecenter_sensors : p.masslockunlock_sensors);
  bool a = sensors == "A" || sensors == "AB", b = sensors == "B" || sensors == "AB";
  if (!a && !b)
    return front_fail(q330, pf, error, err_sz,
                      "q330_masscmds: Unrecognized sensors value '" + sensors + "'.\n");
  if (!have_duration) {
    snprintf(line, sizeof line, "%f",
             cmd == 0 ? p.massrecenter_duration_dbl : p.masslockunlock_duration_dbl);
    pfput_string(pf, "duration", line);
  }
  static const unsigned codes[3][2] = {{Q330_SC_RECENTER_A, Q330_SC_RECENTER_B},
                                       {Q330_SC_LOCK_A, Q330_SC_LOCK_B},
                                       {Q330_SC_UNLOCK_A, Q330_SC_UNLOCK_B}};
  static const char *const names[3] = {"massrecenter", "masslock", "massunlock"};
  static const char *const what[3] = {"mass recenter", "mass lock", "mass unlock"};
  if (!have_bitmap) {
    const Q330SCPkt &sc = q330->config.config_pkt.sc;
    unsigned bitmap = 0;
    if (a) bitmap |= lines_with(sc, codes[cmd][0], 1, 4);
    if (b) bitmap |= lines_with(sc, codes[cmd][1], 5, 8);
    if (bitmap == 0) {
      if (a && b)
        snprintf(line, sizeof line,
                 "q330_masscmds: Cannot find any %s settings in control mappings.\n", what[cmd]);
      else
        snprintf(line, sizeof line, "q330_masscmds: Cannot find sensor '%s' in control mappings.\n",
                 sensors.c_str());
      return front_fail(q330, pf, error, err_sz, line);
    }
    pfput_int(pf, "sensor_control_bitmap", static_cast<int>(bitmap));
  }
  return q330_cmd(q330, names[cmd], pf, error, err_sz);
}

namespace {

// What the calibration arguments chose beside the values they put into the object.
struct CalibrateArgs {
  int capacitive;  // -capacitive / -nocapacitive, else the parameter file's
  bool a = true;   // sensor A, B calibrated
  bool b = true;
  bool compute = true;  // the sensor control bitmap comes from the control mappings
};

// The calibrate command's arguments into `pf`. "" or the failure text.
std::string read_calibrate_args(int argc, char **argv, Pf *pf, CalibrateArgs *args) {
  struct Option {
    const char *word, *key, *missing;
  };
  static const Option options[] = {
      {"-duration", "duration", "-duration"},
      {"-time", "time", "time"},
      {"-waveform", "waveform", "waveform"},
      {"-amplitude", "amplitude", "amplitude"},
      {"-settling_time", "settling_time", "settling_time"},
      {"-trailer_time", "trailer_time", "trailer_time"},
      {"-sensors", "calibration_bitmap", "sensors"},
      {"-sensor_control_bitmap", "sensor_control_bitmap", "sensor_control_bitmap"},
      {"-monitor_channels", "monitor_channel_bitmap", "monitor_channels"},
      {"-period", "frequency_divider", "period"},
  };
  for (int i = 1; i < argc; i++) {
    std::string word = nz(argv[i]);
    if (word == "-capacitive" || word == "-nocapacitive") {
      args->capacitive = word == "-capacitive";
      continue;
    }
    const Option *opt = nullptr;
    for (const Option &o : options)
      if (word == o.word) opt = &o;
    if (!opt) return "q330_calibrate: Unrecognized calibration arg '" + word + "'.\n";
    if (i + 1 >= argc) return std::string("q330_calibrate: Need ") + opt->missing + " argument.\n";
    std::string value = nz(argv[++i]);
    pfput_string(pf, opt->key, value.c_str());
    if (word == "-sensor_control_bitmap") args->compute = false;
    if (word != "-sensors") continue;
    if (value == "A" || value == "B" || value == "AB" || value == "BA") {
      args->a = value != "B";
      args->b = value != "A";
      continue;
    }
    long n = 0;
    // Bits beyond the six channels have no meaning and would be sent on unchecked.
    if (!read_number(value.c_str(), &n) || n < 0 || (n & ~0x3FL) != 0)
      return "q330_calibrate: Unrecognized -sensors argument '" + value + "'.\n";
    args->a = (n & Q330_CHANS_A) != 0;
    args->b = (n & Q330_CHANS_B) != 0;
    if (!args->a && !args->b) args->compute = false;
  }
  return "";
}

// The values the arguments left out, from the parameter file.
void fill_calibrate_defaults(const Q330DLParams &p, Pf *pf) {
  char text[64];
  auto fill = [&](const char *key, const char *value) {
    if (!pfget_string(pf, key)) pfput_string(pf, key, nz(value));
  };
  auto fill_int = [&](const char *key, int value) {
    snprintf(text, sizeof text, "%d", value);
    fill(key, text);
  };
  fill_int("duration", p.calibration_duration);
  fill("time", "0.0");
  fill("waveform", p.calibration_waveform_str);
  fill_int("amplitude", p.calibration_amplitude);
  fill_int("settling_time", p.calibration_settling_time);
  fill_int("trailer_time", p.calibration_trailer_time);
  fill("calibration_bitmap", p.calibration_calibration_bitmap_str);
  fill("monitor_channel_bitmap", p.calibration_monitor_channel_bitmap_str);
  fill_int("frequency_divider", p.calibration_frequency_divider);
}

// The sensor control bitmap of the chosen sensors' calibration lines (and capacitive
// lines, which make the coupling "CAPACITIVE"), from the control mappings. "" or the
// failure text.
std::string map_calibration_lines(const Q330SCPkt &sc, const CalibrateArgs &args, Pf *pf,
                                  const char **coupling) {
  unsigned bitmap = 0;
  if (args.a) bitmap |= lines_with(sc, Q330_SC_CALIB_A, 1, 8);
  if (args.b) bitmap |= lines_with(sc, Q330_SC_CALIB_B, 1, 8);
  if (args.capacitive) {
    unsigned cap = (args.a ? lines_with(sc, Q330_SC_CAPACITIVE_A, 1, 8) : 0) |
                   (args.b ? lines_with(sc, Q330_SC_CAPACITIVE_B, 1, 8) : 0);
    if (cap) *coupling = "CAPACITIVE";
    bitmap |= cap;
  }
  if (bitmap == 0)
    return args.a && args.b ? std::string(
                                  "q330_calibrate: Cannot find any calibration settings in control "
                                  "mappings.\n")
                            : std::string("q330_calibrate: Cannot find sensor '") +
                                  (args.a ? "A" : "B") + "' in control mappings.\n";
  pfput_int(pf, "sensor_control_bitmap", static_cast<int>(bitmap));
  return "";
}

}  // namespace

int q330_calibrate(Q330 *q330, int argc, char **argv, char *error, int err_sz) {
  Pf *pf = pfnew(PFFILE);
  if (!pf) {
    elog_log(0, "q330_calibrate: pfnew() error.\n");
    return -1;
  }
  CalibrateArgs args;
  args.capacitive = q330->params.calibration_capacitive;
  std::string why = read_calibrate_args(argc, argv, pf, &args);
  if (!why.empty()) return front_fail(q330, pf, error, err_sz, why);
  fill_calibrate_defaults(q330->params, pf);
  const char *coupling = "RESISTIVE";
  if (args.compute) {
    why = map_calibration_lines(q330->config.config_pkt.sc, args, pf, &coupling);
    if (!why.empty()) return front_fail(q330, pf, error, err_sz, why);
  } else if (!pfget_string(pf, "sensor_control_bitmap")) {
    pfput_string(pf, "sensor_control_bitmap", "0");
  }
  pfput_string(pf, "coupling_bytes", coupling);
  return q330_cmd(q330, "calibrate", pf, error, err_sz);
}

int q330_umsg(Q330 *q330, const char *msg) {
  Pf *pf = pfnew(PFFILE);
  if (!pf) {
    elog_log(0, "q330_umsg: pfnew() error.\n");
    return -1;
  }
  pfput_string(pf, "msg", nz(msg));
  return q330_cmd(q330, "umsg", pf, nullptr, 0);
}

// ---- Executors --------------------------------------------------------------------------

namespace {

int mass_pvt(Q330 *q330, Pf *pf, char *error, int err_sz, const char *word) {
  if (error && err_sz > 0) error[0] = '\0';
  int bitmap = 0;
  double duration = 0;
  char line[512];
  if (parse_param(pf, "sensor_control_bitmap", P_LINT, 1, &bitmap) < 0) {
    elog_clear_register(1);
    snprintf(line, sizeof line, "ERROR: parse_param(sensor_control_bitmap) error for %s.", word);
    return exec_fail(q330, error, err_sz, line);
  }
  if (parse_param(pf, "duration", P_DBL, 1, &duration) < 0) {
    elog_clear_register(1);
    snprintf(line, sizeof line, "ERROR: parse_param(duration) error for %s.", word);
    return exec_fail(q330, error, err_sz, line);
  }
  if (duration > 10.0) duration = 10.0;
  int ticks = static_cast<int>(duration / 0.01 + 0.5);
  if (ticks <= 0) {
    snprintf(line, sizeof line, "ERROR: %s %f duration not allowed - too small.", word, duration);
    return exec_fail(q330, error, err_sz, line);
  }
  Q330PULSEPkt pulse{};
  pulse.sensor_control_bitmap = static_cast<uint16_t>(bitmap);
  pulse.duration = static_cast<uint16_t>(ticks);
  q330_output(q330, Q330_OUT_LOG, "Sending %s cmd with 0x%x for %f secs.\n", word,
              static_cast<unsigned>(bitmap), ticks * 0.01);
  char xerr[512] = "";
  if (q330_exec_cmd_pvt(q330, Q330_C1_PULSE, Q330_C1_CACK, nullptr, 0,
                        reinterpret_cast<char *>(&pulse), xerr, sizeof xerr) < 0) {
    snprintf(line, sizeof line, "ERROR: q330_exec_cmd_pvt(C1_PULSE) error: %s.", xerr);
    return exec_fail(q330, error, err_sz, line);
  }
  return 0;
}

}  // namespace

int q330_massrecenter_pvt(Q330 *q330, Pf *pf, char *error, int err_sz) {
  return mass_pvt(q330, pf, error, err_sz, "massrecenter");
}
int q330_masslock_pvt(Q330 *q330, Pf *pf, char *error, int err_sz) {
  return mass_pvt(q330, pf, error, err_sz, "masslock");
}
int q330_massunlock_pvt(Q330 *q330, Pf *pf, char *error, int err_sz) {
  return mass_pvt(q330, pf, error, err_sz, "massunlock");
}

namespace {

// A calibration executor's failure text, formatted as printf does, into *why. false.
__attribute__((format(printf, 2, 3))) bool cal_fail(std::string *why, const char *fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  *why = line;
  return false;
}

// The integer values in their order, each within what its 16-bit field holds (a larger
// value would wrap on the wire).
bool read_cal_numbers(Pf *pf, Q330QCALPkt *qcal, std::string *why) {
  struct Check {
    const char *key;
    int min, max;
    uint16_t *field;
  };
  const Check checks[] = {{"duration", 1, 65535, &qcal->duration},
                          {"amplitude", 0, 65535, &qcal->amplitude},
                          {"settling_time", 0, 65535, &qcal->settling_time},
                          {"trailer_time", 0, 65535, &qcal->trailer_time},
                          {"frequency_divider", 1, 255, &qcal->frequency_divider}};
  for (const Check &c : checks) {
    int value = 0;
    if (parse_param(pf, c.key, P_LINT, 1, &value) < 0) {
      elog_clear_register(1);
      return cal_fail(why, "ERROR: parse_param(%s) error for calibration.", c.key);
    }
    if (value < c.min)
      return cal_fail(why, "ERROR: calibrate %d %s not allowed - too small.", value, c.key);
    if (value > c.max)
      return cal_fail(why, "ERROR: calibrate %d %s not allowed - too big.", value, c.key);
    *c.field = static_cast<uint16_t>(value);
  }
  return true;
}

// The waveform word from "|"-separated words (sine, red, white, step, random, neg, auto)
// or a number (0x and up to four hexadecimal digits, or up to 65535).
bool read_cal_waveform(const std::string &waveform, uint16_t *word, std::string *why) {
  if (waveform.size() > static_cast<size_t>(Q330_WAVEFORM_MAX))
    return cal_fail(why, "ERROR: calibrate waveform of %d characters not allowed - too long.",
                    static_cast<int>(waveform.size()));
  unsigned long wf = 0;
  for (size_t start = 0; start <= waveform.size();) {
    size_t bar = waveform.find('|', start);
    if (bar == std::string::npos) bar = waveform.size();
    std::string token = waveform.substr(start, bar - start);
    start = bar + 1;
    const char *t = token.c_str();
    size_t hex = token.size() > 2 && token.compare(0, 2, "0x") == 0
                     ? strspn(t + 2, "0123456789abcdefABCDEF")
                     : 0;
    if (token == "sine") {
    } else if (token == "red") {
      wf |= 1;
    } else if (token == "white") {
      wf |= 2;
    } else if (token == "step") {
      wf |= 3;
    } else if (token == "random") {
      wf |= 4;
    } else if (token == "neg") {
      wf |= 0x40;
    } else if (token == "auto") {
      wf |= 0x80;
    } else if (hex && hex == token.size() - 2 && hex <= 4) {
      wf = strtoul(t + 2, nullptr, 16);
    } else if (!token.empty() && token.size() <= 5 && strspn(t, "0123456789") == token.size() &&
               strtoul(t, nullptr, 10) <= 0xFFFF) {
      wf = strtoul(t, nullptr, 10);
    } else {
      return cal_fail(why, "ERROR: error parsing calibrate waveform '%s'.", t);
    }
  }
  *word = static_cast<uint16_t>(wf);
  return true;
}

// The sensor control, calibration and monitor bitmaps and the coupling bytes.
bool read_cal_bitmaps(Pf *pf, Q330QCALPkt *qcal, const char **cbm, std::string *why) {
  int scb = 0;
  if (parse_param(pf, "sensor_control_bitmap", P_LINT, 1, &scb) < 0) {
    elog_clear_register(1);
    return cal_fail(why, "ERROR: parse_param(sensor_control_bitmap) error for calibration.");
  }
  qcal->sensor_control_bitmap = static_cast<uint16_t>(scb);
  *cbm = pfget_string(pf, "calibration_bitmap");
  if (!*cbm) return cal_fail(why, "ERROR: parse_param(calibration_bitmap) error for calibration.");
  long calbits = 0;
  if (!read_number(*cbm, &calbits))
    calbits = (strchr(*cbm, 'A') ? 7 : 0) + (strchr(*cbm, 'B') ? 56 : 0);
  if (calbits < 0 || (calbits & ~0x3FL))
    return cal_fail(why, "ERROR: calibrate %s calibration_bitmap not allowed - too big.", *cbm);
  qcal->calibration_bitmap = static_cast<uint16_t>(calbits);
  int monitor = 0;
  if (parse_param(pf, "monitor_channel_bitmap", P_LINT, 1, &monitor) < 0) {
    elog_clear_register(1);
    return cal_fail(why, "ERROR: parse_param(monitor_channel_bitmap) error for calibration.");
  }
  if (monitor & ~0x3F)
    return cal_fail(why, "ERROR: calibrate 0x%X monitor_channel_bitmap not allowed - too big.",
                    static_cast<unsigned>(monitor));
  qcal->monitor_channel_bitmap = static_cast<uint16_t>(monitor);
  const char *coupling = pfget_string(pf, "coupling_bytes");
  if (!coupling) return cal_fail(why, "ERROR: parse_param(coupling_bytes) error for calibration.");
  memset(qcal->coupling, ' ', sizeof qcal->coupling);
  memcpy(qcal->coupling, coupling, std::min(strlen(coupling), sizeof qcal->coupling));
  return true;
}

// The calibration about to be sent, one line per field.
void log_calibration(Q330 *q330, const Q330QCALPkt &qcal, double start_time,
                     const std::string &waveform, const char *cbm) {
  char *starttext = q330_strtime(start_time);
  q330_output(q330, Q330_OUT_LOG, "Sending calibration cmd with following params:\n");
  q330_output(q330, Q330_OUT_LOG, "%27s = %u (%s)\n", "starting_time", qcal.starting_time,
              nz(starttext));
  free(starttext);
  q330_output(q330, Q330_OUT_LOG, "%27s = 0x%4.4X (%s)\n", "waveform", qcal.waveform,
              waveform.c_str());
  q330_output(q330, Q330_OUT_LOG, "%27s = %d (%.3fV)\n", "amplitude", qcal.amplitude,
              5.0 / std::pow(2.0, qcal.amplitude));
  q330_output(q330, Q330_OUT_LOG, "%27s = %d (sec)\n", "duration", qcal.duration);
  q330_output(q330, Q330_OUT_LOG, "%27s = %d (sec)\n", "settling_time", qcal.settling_time);
  q330_output(q330, Q330_OUT_LOG, "%27s = 0x%4.4X (%s)\n", "calibration_bitmap",
              qcal.calibration_bitmap, cbm);
  q330_output(q330, Q330_OUT_LOG, "%27s = %d (sec)\n", "trailer_time", qcal.trailer_time);
  q330_output(q330, Q330_OUT_LOG, "%27s = 0x%4.4X\n", "sensor_control_bitmap",
              qcal.sensor_control_bitmap);
  q330_output(q330, Q330_OUT_LOG, "%27s = 0x%4.4X\n", "monitor_channel_bitmap",
              qcal.monitor_channel_bitmap);
  q330_output(q330, Q330_OUT_LOG, "%27s = %d (%.3fHz)\n", "frequency_divider",
              qcal.frequency_divider, 1.0 / qcal.frequency_divider);
  q330_output(q330, Q330_OUT_LOG, "%27s = %.12s\n", "coupling",
              reinterpret_cast<const char *>(qcal.coupling));
}

}  // namespace

int q330_calibrate_pvt(Q330 *q330, Pf *pf, char *error, int err_sz) {
  if (error && err_sz > 0) error[0] = '\0';
  std::string why;
  Q330QCALPkt qcal{};
  if (!read_cal_numbers(pf, &qcal, &why)) return exec_fail(q330, error, err_sz, why);
  const char *wave = pfget_string(pf, "waveform");
  if (!wave)
    return exec_fail(q330, error, err_sz, "ERROR: parse_param(waveform) error for calibration.");
  const std::string waveform = wave;
  if (!read_cal_waveform(waveform, &qcal.waveform, &why))
    return exec_fail(q330, error, err_sz, why);

  const char *timetext = pfget_string(pf, "time");
  if (!timetext)
    return exec_fail(q330, error, err_sz, "ERROR: parse_param(time) error for calibration.");
  double start_time = 0;
  if (zstr2epoch(timetext, &start_time) < 0) {
    cal_fail(&why, "ERROR: error parsing calibrate time '%s'.", timetext);
    return exec_fail(q330, error, err_sz, why);
  }
  // A start too soon to settle the sensor first is moved on.
  double now = clock_now();
  if (start_time <= now + qcal.settling_time) start_time = now + qcal.settling_time + 10.0;
  qcal.starting_time = static_cast<uint32_t>(start_time - q330->epoch_2000 + 0.5);

  const char *cbm = nullptr;
  if (!read_cal_bitmaps(pf, &qcal, &cbm, &why)) return exec_fail(q330, error, err_sz, why);
  log_calibration(q330, qcal, start_time, waveform, cbm);
  char xerr[512] = "";
  if (q330_exec_cmd_pvt(q330, Q330_C1_QCAL, Q330_C1_CACK, nullptr, 0,
                        reinterpret_cast<char *>(&qcal), xerr, sizeof xerr) < 0) {
    cal_fail(&why, "ERROR: q330_exec_cmd_pvt(C1_QCAL) error: %s.", xerr);
    return exec_fail(q330, error, err_sz, why);
  }
  q330->calcache = qcal;
  return 0;
}

int q330_calibrate_stop_pvt(Q330 *q330) {
  q330_output(q330, Q330_OUT_LOG, "Stopping calibration.\n");
  char xerr[512] = "";
  if (q330_exec_cmd_pvt(q330, Q330_C1_STOP, Q330_C1_CACK, nullptr, 0, nullptr, xerr, sizeof xerr) <
      0) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: q330_exec_cmd_pvt(C1_STOP) error: %s.\n", xerr);
    return -1;
  }
  return 0;
}

int q330_umsg_pvt(Q330 *q330, Pf *pf) {
  const char *msg = pfget_string(pf, "msg");
  if (!msg) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: parse_param(msg) error for umsg.\n");
    return -1;
  }
  q330_output(q330, Q330_OUT_LOG, "Sending user message = '%s'\n", msg);
  char xerr[512] = "";
  if (q330_exec_cmd_pvt(q330, Q330_C1_UMSG, Q330_C1_CACK, nullptr, 0, const_cast<char *>(msg), xerr,
                        sizeof xerr) < 0) {
    q330_output(q330, Q330_OUT_LOG, "ERROR: q330_exec_cmd_pvt(C1_UMSG) error: %s.\n", xerr);
    return -1;
  }
  return 0;
}

int q330_opcmds_exec(Q330 *q330, const char *name, Pf *pf, char *answer, int answer_sz) {
  if (!name) return 0;
  std::string n = name;
  int rc;
  std::string fixed;
  char error[512] = "";
  if (n == "massrecenter") {
    rc = q330_massrecenter_pvt(q330, pf, error, sizeof error);
  } else if (n == "masslock") {
    rc = q330_masslock_pvt(q330, pf, error, sizeof error);
  } else if (n == "massunlock") {
    rc = q330_massunlock_pvt(q330, pf, error, sizeof error);
  } else if (n == "calibrate") {
    rc = q330_calibrate_pvt(q330, pf, error, sizeof error);
  } else if (n == "cal_stop") {
    rc = q330_calibrate_stop_pvt(q330);
    fixed = "q330_calibrate_stop_pvt() error";
  } else if (n == "umsg") {
    rc = q330_umsg_pvt(q330, pf);
    fixed = "q330_umsg_pvt() error";
  } else {
    return 0;
  }
  put_error(answer, answer_sz, rc == 0 ? std::string("OK") : fixed.empty() ? error : fixed);
  return 1;
}

// ---- Calibration row --------------------------------------------------------------------

namespace {

std::mutex dlcalwf_mutex;
Dbptr dlcalwf_db;
bool dlcalwf_open = false;

}  // namespace

int q330_output_db_dlcalwf(Q330 *q330, const char *snet, const char *fsta, const char *fchan,
                           const char *loc, double time, double endtime, const char *model,
                           const char *ssident, const char *dlcalseq, const char *dlcaltype,
                           const char *dlcalerr, const char *dlcalinput, const char *dlcalchanbm,
                           int phchan, double samprate, double dlcalamp, double dlcalfreq,
                           double dlcalsettle, double dlcaltrailer) {
  static const char table[] = "dlcalwf";
  if (!q330 || !q330->out_callback) return 0;
  std::string row;
  {
    std::lock_guard<std::mutex> lock(dlcalwf_mutex);
    if (!dlcalwf_open) {
      Dbptr db = dbtmp("css3.0");
      if (db.database < 0) {
        elog_log(0, "q330_output_db_dlcalwf: dbtmp() error.\n");
        q330_output(q330, Q330_OUT_LOG, "ERROR: unable to create tmp database for table '%s'\n",
                    table);
        return -1;
      }
      dlcalwf_db = db;
      dlcalwf_open = true;
    }
    Dbptr db = dblookup(dlcalwf_db, nullptr, table, "dbALL", "dbNULL");
    if (db.table < 0) {
      elog_log(0, "q330_output_db_dlcalwf: cannot lookup '%s' table in tmp database.\n", table);
      q330_output(q330, Q330_OUT_LOG, "ERROR: cannot lookup '%s' table in tmp database.\n", table);
      return -1;
    }
    auto get_failed = [&] {
      elog_log(0, "q330_output_db_dlcalwf: dbget() error tmp database.\n");
      q330_output(q330, Q330_OUT_LOG, "ERROR: dbget() error in tmp database for table '%s'.\n",
                  table);
      return -1;
    };
    if (dbget(db, nullptr) < 0) return get_failed();
    db = dblookup(db, nullptr, nullptr, "dbALL", "dbSCRATCH");
    if (dbputv(db, nullptr, "snet", nz(snet), "fsta", nz(fsta), "fchan", nz(fchan), "loc", nz(loc),
               "time", time, "endtime", endtime, "model", nz(model), "ssident", nz(ssident),
               "dlcalseq", nz(dlcalseq), "dlcaltype", nz(dlcaltype), "dlcalerr", nz(dlcalerr),
               "dlcalinput", nz(dlcalinput), "dlcalchanbm", nz(dlcalchanbm), "phchan", phchan,
               "samprate", samprate, "dlcalamp", dlcalamp, "dlcalfreq", dlcalfreq, "dlcalsettle",
               dlcalsettle, "dlcaltrailer", dlcaltrailer, nullptr) < 0) {
      elog_log(0, "q330_output_db_dlcalwf: dbputv() error tmp database.\n");
      q330_output(q330, Q330_OUT_LOG, "ERROR: dbputv() error in tmp database for table '%s'.\n",
                  table);
      return -1;
    }
    int size = 0;
    if (dbquery(db, dbRECORD_SIZE, &size) < 0 || size <= 0 || size > 2047) return get_failed();
    std::string text(static_cast<size_t>(size) + 1, '\0');
    if (dbget(db, text.data()) < 0) return get_failed();
    row.assign(text.c_str());
  }
  size_t size = sizeof table + row.size() + 1;
  char *payload = static_cast<char *>(malloc(size));
  if (!payload) {
    elog_log(0, "q330_output_db_dlcalwf: malloc(%d) error.\n", static_cast<int>(size));
    return -1;
  }
  memcpy(payload, table, sizeof table);
  memcpy(payload + sizeof table, row.c_str(), row.size() + 1);
  q330->out_callback(q330, Q330_OUT_DB, payload, static_cast<int>(size));
  return 0;
}

int q330_output_cal_rows(Q330 *q330, const char *who) {
  for (const Q330CalRow &r : q330->cal_rows)
    if (q330_output_db_dlcalwf(q330, r.net.c_str(), r.sta.c_str(), r.chan.c_str(), r.loc.c_str(),
                               r.time, r.endtime, "q330", q330->params.q330_serial_number,
                               r.calseq.c_str(), r.type.c_str(), r.error.c_str(), r.input.c_str(),
                               r.bitmap.c_str(), r.physical, r.samprate, r.amplitude, r.frequency,
                               r.settle, r.trailer) < 0)
      elog_complain(0, "%s: q330_output_db_dlcalwf() error.\n", who);
  return 0;
}
