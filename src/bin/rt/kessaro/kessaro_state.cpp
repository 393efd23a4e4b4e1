// kessaro_state.cpp - mybury and parse_state.
#include "kessaro_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/statefile.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "base/writefile.h"
#include "kessaro.h"

namespace {

// ---- writer ----

void add_datalogger(AltusDatalogger *dl, std::string &out) {
  const AltusBlockParams &p = dl->last_params;
  string_appendf(out, "%s &Arr{\n", dl->target_name ? dl->target_name : "");
  string_appendf(out, "lasttime %.5f\n", dl->lasttime);
  // Where the ring stands, not where the stream stands: packets still on their way to the
  // ring are fetched again after a crash (what the ring holds already is then dropped).
  // altuscom_ring_nextseq takes the stream lock itself.
  int from_zero = 0;
  string_appendf(out, "nextseq %d\n",
                 (int)altuscom_ring_nextseq(const_cast<AltusDatalogger *>(dl), &from_zero));
  if (from_zero) out += "seqfromzero 1\n";
  {
    // The streaming link thread changes the stream counts under the stream lock.
    std::lock_guard<KessaroMutex> stream_lock(dl->stream_mutex);
    string_appendf(out, "nstreams %d\n", (int)dl->numStream);
    if (dl->strseq_chanmap_known) string_appendf(out, "streammap 0x%X\n", dl->strseq_chanmap);
  }
  string_appendf(out, "lcom %d\n", dl->lcom);
  string_appendf(out, "lasteventscount %d\n", dl->last_events_count);
  string_appendf(out, "last_blockmode_time %f\n", dl->last_blockmode_time);
  string_appendf(out, "last_monitormode_time %f\n", dl->last_monitormode_time);
  string_appendf(out, "last_listing_time %f\n", dl->last_listing_time);
  string_appendf(out, "last_connection_attempt_time %f\n", dl->last_connection_attempt_time);
  string_appendf(out, "last_connection_ended_time %f\n", dl->last_connection_ended_time);
  {
    std::lock_guard<KessaroMutex> output_lock(dl->output_time_mutex);
    string_appendf(out, "last_data_time %f\n", dl->last_data_time);
    string_appendf(out, "last_stream_data_time %f\n", dl->last_stream_data_time);
  }
  string_appendf(out, "last_clock_latency %f\n", dl->last_clock_latency);
  string_appendf(out, "last_params_time %f\n", dl->last_params_time);
  string_appendf(out, "last_status_time %f\n", dl->status_time);
  size_t modem_len = strnlen(dl->last_connected_modem, sizeof dl->last_connected_modem);
  if (modem_len > 0) {
    out += "last_connected_modem ";
    out.append(dl->last_connected_modem, modem_len);
    out += "\n";
  }
  string_appendf(out, "nchannels %d\n", (int)p.rw_misc.nchannels);
  string_appendf(out, "latitude %f\n", (double)p.rw_misc.latitude);
  string_appendf(out, "longitude %f\n", (double)p.rw_misc.longitude);
  string_appendf(out, "elevation %d\n", (int)p.rw_misc.elevation);
  string_appendf(out, "temperature %d\n", (int)p.ro_misc.temperature);
  string_appendf(out, "voltage %d\n", (int)p.ro_misc.batteryVoltage);
  string_appendf(out, "dra %d\n", (int)dl->status.driveStatus[0]);
  string_appendf(out, "drb %d\n", (int)dl->status.driveStatus[1]);
  string_appendf(out, "clock_source %d\n", (int)p.ro_timing.clockSource);
  string_appendf(out, "gps_status %d\n", (int)p.ro_timing.gpsStatus);
  out += "eventfiles &Tbl{\n";
  for (int i = 0; i < dl->files_size && dl->files != nullptr; i++) {
    const AltusDirTree &f = dl->files[i];
    std::string path(f.pathname, strnlen(f.pathname, sizeof f.pathname));
    for (char &c : path) {
      if (c == '\\') c = '/';
    }
    string_appendf(out, "%s %.3lf %d %d\n", path.c_str(), f.time, f.size, f.processed);
  }
  out += "}\n}\n";
}

std::string state_text(Kessaro *altus) {
  std::string out = "dataloggers &Arr{\n";
  Tbl *dls = altus->dltargets_array ? valsarr(altus->dltargets_array) : nullptr;
  for (long i = 0; i < maxtbl(dls); i++) {
    add_datalogger(static_cast<AltusDatalogger *>(gettbl(dls, i)), out);
  }
  freetbl(dls, nullptr);
  out += "}\n";
  return out;
}

// ---- reader ----

// The values one datalogger block restores, taken over only when the whole block reads.
struct Restored {
  double lasttime = 0;
  int nextseq = 0;
  int seqfromzero = 0;
  int nstreams = -1;  // absent
  int streammap = 0;  // bits (hexadecimal in the file)
  bool have_streammap = false;
  int lcom = 0;
  int lasteventscount = 0;
  double times[10] = {};
  char last_connected_modem[P_STRCP_SIZE] = {};
  int nchannels = 0, elevation = 0, temperature = 0, voltage = 0, dra = 0, drb = 0;
  float latitude = 0, longitude = 0;
  int clock_source = 0, gps_status = 0;
};

const char *const kTimeKeys[10] = {"last_blockmode_time",        "last_monitormode_time",
                                   "last_listing_time",          "last_connection_attempt_time",
                                   "last_connection_ended_time", "last_data_time",
                                   "last_stream_data_time",      "last_clock_latency",
                                   "last_params_time",           "last_status_time"};

double *time_field(AltusDatalogger *dl, int i) {
  double *fields[10] = {&dl->last_blockmode_time,        &dl->last_monitormode_time,
                        &dl->last_listing_time,          &dl->last_connection_attempt_time,
                        &dl->last_connection_ended_time, &dl->last_data_time,
                        &dl->last_stream_data_time,      &dl->last_clock_latency,
                        &dl->last_params_time,           &dl->status_time};
  return fields[i];
}

// Reads one key; a value outside [lo, hi] counts as malformed. 0 or -1 (registered).
int read_key(Pf *block, const char *target, const char *key, int kind, int required, void *dest,
             long lo = LONG_MIN, long hi = LONG_MAX) {
  PfRange range = {-HUGE_VAL, HUGE_VAL};
  if (kind == P_LINT) range = {static_cast<double>(lo), static_cast<double>(hi)};
  int rc = parse_param_range(block, key, kind, required, dest, range);
  if (rc != 0) {
    elog_log(0, "parse_state: parse_param(%s,%s) error.\n", target, key);
    return -1;
  }
  return 0;
}

int read_block(Pf *block, AltusDatalogger *dl, Pf **files) {
  const char *t = dl->target_name ? dl->target_name : "";
  Restored r;
  r.lcom = dl->lcom;
  for (int i = 0; i < 10; i++) r.times[i] = *time_field(dl, i);
  kessaro_copytext(r.last_connected_modem, dl->last_connected_modem);
  const AltusBlockParams &p = dl->last_params;
  r.nchannels = p.rw_misc.nchannels;
  r.latitude = p.rw_misc.latitude;
  r.longitude = p.rw_misc.longitude;
  r.elevation = p.rw_misc.elevation;
  r.temperature = p.ro_misc.temperature;
  r.voltage = p.ro_misc.batteryVoltage;
  r.dra = dl->status.driveStatus[0];
  r.drb = dl->status.driveStatus[1];
  r.clock_source = p.ro_timing.clockSource;
  r.gps_status = p.ro_timing.gpsStatus;

  // 16-bit fields are written from signed and unsigned words alike; one byte likewise.
  const long w_lo = -32768, w_hi = 65535, b_lo = -128, b_hi = 255;
  r.have_streammap = pfget(block, "streammap", nullptr) != PFINVALID;
  if (read_key(block, t, "lasttime", P_DBL, 1, &r.lasttime) < 0 ||
      read_key(block, t, "nextseq", P_LINT, 1, &r.nextseq) < 0 ||
      read_key(block, t, "seqfromzero", P_LINT, 0, &r.seqfromzero, 0, 1) < 0 ||
      read_key(block, t, "nstreams", P_LINT, 0, &r.nstreams, 0, ALTUS_MAXSTREAM) < 0 ||
      read_key(block, t, "streammap", P_LINT, 0, &r.streammap) < 0 ||
      read_key(block, t, "lcom", P_LINT, 0, &r.lcom) < 0 ||
      read_key(block, t, "lasteventscount", P_LINT, 1, &r.lasteventscount) < 0) {
    return -1;
  }
  for (int i = 0; i < 10; i++) {
    if (read_key(block, t, kTimeKeys[i], P_DBL, 0, &r.times[i]) < 0) return -1;
  }
  if (read_key(block, t, "last_connected_modem", P_STRCP, 0, r.last_connected_modem) < 0 ||
      read_key(block, t, "nchannels", P_LINT, 0, &r.nchannels, w_lo, w_hi) < 0 ||
      read_key(block, t, "latitude", P_FLT, 0, &r.latitude) < 0 ||
      read_key(block, t, "longitude", P_FLT, 0, &r.longitude) < 0 ||
      read_key(block, t, "elevation", P_LINT, 0, &r.elevation, w_lo, w_hi) < 0 ||
      read_key(block, t, "temperature", P_LINT, 0, &r.temperature, w_lo, w_hi) < 0 ||
      read_key(block, t, "voltage", P_LINT, 0, &r.voltage, w_lo, w_hi) < 0 ||
      read_key(block, t, "dra", P_LINT, 0, &r.dra, w_lo, w_hi) < 0 ||
      read_key(block, t, "drb", P_LINT, 0, &r.drb, w_lo, w_hi) < 0 ||
      read_key(block, t, "clock_source", P_LINT, 0, &r.clock_source, b_lo, b_hi) < 0 ||
      read_key(block, t, "gps_status", P_LINT, 0, &r.gps_status, b_lo, b_hi) < 0) {
    return -1;
  }
  void *list = nullptr;
  if (pfget(block, "eventfiles", &list) != PFTBL) {
    elog_log(0, "parse_state: parse_param(%s,eventfiles) error.\n", t);
    return -1;
  }

  dl->lasttime = r.lasttime;
  dl->nextSeq = (unsigned)r.nextseq;
  dl->strseq_kept = r.nextseq == 0 && r.seqfromzero;
  if (r.nstreams >= 0) dl->numStream = (uint8_t)r.nstreams;
  dl->strseq_chanmap_known = r.have_streammap;
  if (r.have_streammap) dl->strseq_chanmap = (uint32_t)r.streammap;
  dl->lcom = static_cast<AltusComMode>(r.lcom);
  dl->last_events_count = r.lasteventscount;
  for (int i = 0; i < 10; i++) *time_field(dl, i) = r.times[i];
  kessaro_copytext(dl->last_connected_modem, r.last_connected_modem);
  AltusBlockParams &q = dl->last_params;
  q.rw_misc.nchannels = (uint16_t)r.nchannels;
  q.rw_misc.latitude = r.latitude;
  q.rw_misc.longitude = r.longitude;
  q.rw_misc.elevation = (int16_t)r.elevation;
  q.ro_misc.temperature = (int16_t)r.temperature;
  q.ro_misc.batteryVoltage = (int16_t)r.voltage;
  dl->status.driveStatus[0] = (uint16_t)r.dra;
  dl->status.driveStatus[1] = (uint16_t)r.drb;
  q.ro_timing.clockSource = (uint8_t)r.clock_source;
  q.ro_timing.gpsStatus = (uint8_t)r.gps_status;
  *files = static_cast<Pf *>(list);
  return 0;
}

bool whole_number(const char *s, long lo, long hi, int *out) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(s, &end, 10);
  if (end == s || *end != '\0' || errno != 0 || v < lo || v > hi) return false;
  *out = (int)v;
  return true;
}

// One row "path time size processed" into `f` (path slashes back to backslashes).
bool read_row(const char *row, AltusDirTree *f) {
  char *copy = strdup(row);
  if (copy == nullptr) return false;
  char *save = nullptr;
  const char *words[4] = {};
  int n = 0;
  for (char *w = strtok_r(copy, " \t", &save); w != nullptr && n < 4;
       w = strtok_r(nullptr, " \t", &save)) {
    words[n++] = w;
  }
  bool ok = n == 4 && strlen(words[0]) < sizeof f->pathname;
  if (ok) {
    char *end = nullptr;
    double time = strtod(words[1], &end);
    ok = end != words[1] && *end == '\0' && std::isfinite(time) &&
         whole_number(words[2], 0, INT_MAX, &f->size) &&
         whole_number(words[3], 0, 3, &f->processed);
    f->time = time;
  }
  if (ok) {
    kessaro_copytext(f->pathname, words[0]);
    for (char *c = f->pathname; *c; c++) {
      if (*c == '/') *c = '\\';
    }
  }
  free(copy);
  return ok;
}

// Replaces the datalogger's file list with the rows of `list`.
int read_files(Pf *list, AltusDatalogger *dl) {
  const char *t = dl->target_name ? dl->target_name : "";
  free(dl->files);
  dl->files = nullptr;
  dl->files_size = 0;
  long n = 0;
  while (pfget(list, std::to_string(n).c_str(), nullptr) != PFINVALID) n++;
  if (n == 0) return 0;
  auto *files = static_cast<AltusDirTree *>(calloc((size_t)n, sizeof(AltusDirTree)));
  if (files == nullptr) {
    elog_log(1, "parse_state: malloc(%s->files,%ld) error.\n", t, n * (long)sizeof(AltusDirTree));
    return -1;
  }
  for (long i = 0; i < n; i++) {
    void *value = nullptr;
    int kind = pfget(list, std::to_string(i).c_str(), &value);
    const char *row = kind == PFSTRING ? static_cast<char *>(value) : nullptr;
    if (row == nullptr || !read_row(row, &files[i])) {
      elog_complain(0, "parse_state: Unable to parse %s->files[%d] from %s.\n", t, (int)i,
                    row ? row : "(block)");
      free(files);
      dl->last_events_count = 0;
      return 0;
    }
  }
  dl->files = files;
  dl->files_size = (int)n;
  return 0;
}

// The file a state path stands for: a symbolic link is followed (also one whose file does
// not exist yet), so that the rename replaces the file it points to and the link stays.
std::string state_target(const std::string &path) {
  if (char *real = realpath(path.c_str(), nullptr)) {
    std::string out = real;
    free(real);
    return out;
  }
  char link[4096];
  const ssize_t n = readlink(path.c_str(), link, sizeof link - 1);
  if (n <= 0) return path;
  link[n] = '\0';
  if (link[0] == '/') return link;
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string(link) : path.substr(0, slash + 1) + link;
}

}  // namespace

int mybury(Kessaro *altus) {
  if (altus->statefile_name == nullptr || altus->statefile_name[0] == '\0') return 0;
  // The contact times and the connection codes change under the status lock, taken before
  // the state file's own and held while the text is made.
  std::unique_lock<KessaroMutex> status_lock(altus->status_mutex);
  std::lock_guard<KessaroMutex> lock(altus->statefile_mutex);
  std::string text = state_text(altus);
  status_lock.unlock();
  std::string name = state_target(altus->statefile_name);
  std::string tmp = string_printf("%s.%d.tmp", name.c_str(), (int)getpid());
  unlink(tmp.c_str());  // a leftover of an earlier crash
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    altuscom_log_complain(nullptr, nullptr, 1, 1, "mybury: open(%s) error.\n", tmp.c_str());
    return -1;
  }
  altus->statefile = fd;
  const char *failed = nullptr;
  if (writefile_all(fd, text.data(), text.size()) < 0) {
    failed = "write";
  } else if (fsync(fd) < 0) {
    failed = "fsync";
  }
  int err = errno;
  if (close(fd) < 0 && failed == nullptr) {
    failed = "close";
    err = errno;
  }
  altus->statefile = -1;
  if (failed == nullptr && rename(tmp.c_str(), name.c_str()) < 0) {
    failed = "rename";
    err = errno;
  }
  if (failed != nullptr) {
    unlink(tmp.c_str());
    errno = err;
    altuscom_log_complain(nullptr, nullptr, 1, 1, "mybury: %s(%s) error.\n", failed, name.c_str());
    return -1;
  }
  writefile_sync_folder(name.c_str());
  return 0;
}

int parse_state(char *statefile, Kessaro *record) {
  Pf *pf = nullptr;
  long ndl = record->dltargets_array ? cntarr(record->dltargets_array) : 0;
  size_t limit = statefile_limit(ndl);
  int rc = statefile_read(statefile, limit, &pf);
  if (rc == STATEFILE_UNREADABLE && errno == ENOENT) {
    // A first start: nothing to resume, and nothing wrong.
    elog_notify(0, "parse_state: no state file '%s' yet: starting with no state.\n", statefile);
    return 0;
  }
  if (rc == STATEFILE_UNREADABLE) {
    elog_log(1, "parse_state: fopen('%s') error.\n", statefile);
    return -1;
  }
  if (rc == STATEFILE_TOO_LARGE) {
    elog_log(0, "parse_state: '%s' is larger than %lu bytes.\n", statefile, (unsigned long)limit);
    return -1;
  }
  if (rc != STATEFILE_OK) {
    elog_log(0, "parse_state: pfin('%s') error.\n", statefile);
    return -1;
  }
  void *value = nullptr;
  if (pfget(pf, "dataloggers", &value) != PFARR) {
    elog_log(0, "parse_state: No dataloggers array for %s.\n", statefile);
    pffree(pf);
    return -1;
  }
  Pf *dls = static_cast<Pf *>(value);
  Tbl *keys = pfkeys(dls);
  int result = 0;
  for (long i = 0; i < maxtbl(keys) && result == 0; i++) {
    const char *key = static_cast<char *>(gettbl(keys, i));
    void *block = nullptr;
    if (pfget(dls, key, &block) != PFARR) {
      elog_log(0, "parse_state: parse_param(%s) error.\n", key);
      result = -1;
      break;
    }
    auto *dl = record->dltargets_array
                   ? static_cast<AltusDatalogger *>(getarr(record->dltargets_array, key))
                   : nullptr;
    if (dl == nullptr) continue;  // no longer in the parameter file
    Pf *files = nullptr;
    if (read_block(static_cast<Pf *>(block), dl, &files) < 0 || read_files(files, dl) < 0) {
      result = -1;
    }
  }
  freetbl(keys, nullptr);
  pffree(pf);
  return result;
}
