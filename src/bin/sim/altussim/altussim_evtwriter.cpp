// altussim_evtwriter.cpp - the simulator's Altus event-file writer; see altussim_evtwriter.h.

#include "altussim_evtwriter.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

struct Rel {
  const char *name;
  int offset;  // within the part
  int width;
  char kind;
  int count;  // elements of an array field (1 for a scalar)
};

// The parts, field by field, offsets within each part.
const Rel kPrefix[] = {{"id", 0, 3, 't', 1},
                       {"instrumentCode", 3, 1, 'u', 1},
                       {"headerVersion", 4, 2, 'u', 1},
                       {"headerBytes", 6, 2, 'u', 1}};
const Rel kRoMisc[] = {{"a2dBits", 0, 1, 'u', 1},         {"sampleBytes", 1, 1, 'u', 1},
                       {"restartSource", 2, 1, 'u', 1},   {"reserved", 3, 3, 'r', 1},
                       {"installedChan", 6, 2, 'u', 1},   {"maxChannels", 8, 2, 'u', 1},
                       {"sysBlkVersion", 10, 2, 'u', 1},  {"bootBlkVersion", 12, 2, 'u', 1},
                       {"appBlkVersion", 14, 2, 'u', 1},  {"dspBlkVersion", 16, 2, 'u', 1},
                       {"batteryVoltage", 18, 2, 'i', 1}, {"crc", 20, 2, 'u', 1},
                       {"flags", 22, 2, 'u', 1},          {"temperature", 24, 2, 'i', 1},
                       {"reserved", 26, 22, 'r', 1}};
const Rel kRoTiming[] = {{"clockSource", 0, 1, 'u', 1},
                         {"gpsStatus", 1, 1, 'u', 1},
                         {"gpsSOH", 2, 1, 'u', 1},
                         {"reserved", 3, 5, 'r', 1},
                         {"gpsLockFailCount", 8, 2, 'u', 1},
                         {"gpsUpdateRTCCount", 10, 2, 'u', 1},
                         {"acqDelay", 12, 2, 'i', 1},
                         {"gpsLatitude", 14, 2, 'i', 1},
                         {"gpsLongitude", 16, 2, 'i', 1},
                         {"gpsAltitude", 18, 2, 'i', 1},
                         {"dacCount", 20, 2, 'u', 1},
                         {"reserved", 22, 2, 'r', 1},
                         {"gpsLastDrift", 24, 2, 'i', 2},
                         {"gpsLastTurnOnTime", 28, 4, 'u', 2},
                         {"gpsLastUpdateTime", 36, 4, 'u', 2},
                         {"gpsLastLockTime", 44, 4, 'u', 2},
                         {"reserved", 52, 16, 'r', 1}};
const Rel kRoChannel[] = {{"maxPeak", 0, 4, 'i', 1},   {"maxPeakOffset", 4, 4, 'u', 1},
                          {"minPeak", 8, 4, 'i', 1},   {"minPeakOffset", 12, 4, 'u', 1},
                          {"mean", 16, 4, 'i', 1},     {"aqOffset", 20, 4, 'i', 1},
                          {"reserved", 24, 12, 'r', 1}};
const Rel kRoStream[] = {{"startTime", 0, 4, 'u', 1},        {"triggerTime", 4, 4, 'u', 1},
                         {"duration", 8, 4, 'u', 1},         {"errors", 12, 2, 'u', 1},
                         {"flags", 14, 2, 'u', 1},           {"startTimeMsec", 16, 2, 'u', 1},
                         {"triggerTimeMsec", 18, 2, 'u', 1}, {"nscans", 20, 4, 'u', 1},
                         {"triggerBitMap", 24, 4, 'u', 1},   {"reserved", 28, 4, 'r', 1}};
const Rel kRwMisc[] = {{"serialNumber", 0, 2, 'u', 1},
                       {"nchannels", 2, 2, 'u', 1},
                       {"stnID", 4, 5, 't', 1},
                       {"comment", 9, 33, 't', 1},
                       {"elevation", 42, 2, 'i', 1},
                       {"latitude", 44, 4, 'f', 1},
                       {"longitude", 48, 4, 'f', 1},
                       {"userCodes", 52, 2, 'i', 4},
                       {"cutlerCode", 60, 1, 'u', 1},
                       {"minBatteryVoltage", 61, 1, 'u', 1},
                       {"cutler_decimation", 62, 1, 'u', 1},
                       {"cutler_irig_type", 63, 1, 'u', 1},
                       {"cutler_bitmap", 64, 4, 'u', 1},
                       {"channel_bitmap", 68, 4, 'u', 1},
                       {"cutler_protocol", 72, 1, 'u', 1},
                       {"siteID", 73, 17, 't', 1},
                       {"externalTrigger", 90, 1, 'u', 1},
                       {"networkFlag", 91, 1, 'u', 1}};
const Rel kRwTiming[] = {{"gpsTurnOnInterval", 0, 1, 'u', 1},
                         {"gpsMaxTurnOnTime", 1, 1, 'u', 1},
                         {"reserved", 2, 6, 'r', 1},
                         {"localOffset", 8, 2, 'i', 1},
                         {"reserved", 10, 22, 'r', 1}};
const Rel kRwChannel[] = {{"id", 0, 5, 't', 1},
                          {"reserved", 5, 1, 'r', 1},
                          {"sensorSerialNumberExt", 6, 2, 'u', 1},
                          {"north", 8, 2, 'i', 1},
                          {"east", 10, 2, 'i', 1},
                          {"up", 12, 2, 'i', 1},
                          {"altitude", 14, 2, 'i', 1},
                          {"azimuth", 16, 2, 'i', 1},
                          {"sensorType", 18, 2, 'u', 1},
                          {"sensorSerialNumber", 20, 2, 'u', 1},
                          {"gain", 22, 2, 'u', 1},
                          {"triggerType", 24, 1, 'u', 1},
                          {"iirTriggerFilter", 25, 1, 'u', 1},
                          {"StaSeconds", 26, 1, 'u', 1},
                          {"LtaSeconds", 27, 1, 'u', 1},
                          {"StaLtaRatio", 28, 2, 'u', 1},
                          {"StaLtaPercent", 30, 1, 'u', 1},
                          {"reserved", 31, 1, 'r', 1},
                          {"fullscale", 32, 4, 'f', 1},
                          {"sensitivity", 36, 4, 'f', 1},
                          {"damping", 40, 4, 'f', 1},
                          {"naturalFrequency", 44, 4, 'f', 1},
                          {"triggerThreshold", 48, 4, 'f', 1},
                          {"detriggerThreshold", 52, 4, 'f', 1},
                          {"alarmTriggerThreshold", 56, 4, 'f', 1},
                          {"reserved", 60, 16, 'r', 1}};
const Rel kRwStream[] = {{"filterFlag", 0, 1, 'u', 1},
                         {"primaryStorage", 1, 1, 'u', 1},
                         {"secondaryStorage", 2, 1, 'u', 1},
                         {"reserved", 3, 3, 'r', 1},
                         {"CheckinTime", 6, 2, 'u', 1},
                         {"eventNumber", 8, 2, 'u', 1},
                         {"sps", 10, 2, 'u', 1},
                         {"apw", 12, 2, 'u', 1},
                         {"preEvent", 14, 2, 'u', 1},
                         {"postEvent", 16, 2, 'u', 1},
                         {"minRunTime", 18, 2, 'u', 1},
                         {"VotesToTrigger", 20, 2, 'i', 1},
                         {"VotesToDetrigger", 22, 2, 'i', 1},
                         {"reserved", 24, 1, 'r', 1},
                         {"FilterType", 25, 1, 'u', 1},
                         {"DataFmt", 26, 1, 'u', 1},
                         {"reserved", 27, 1, 'r', 1},
                         {"Timeout", 28, 2, 'i', 1},
                         {"TxBlkSize", 30, 2, 'u', 1},
                         {"BufferSize", 32, 2, 'u', 1},
                         {"SampleRate", 34, 2, 'u', 1},
                         {"TxChanMap", 36, 4, 'u', 1},
                         {"reserved", 40, 8, 'r', 1}};
const Rel kVoter[] = {{"type", 0, 1, 'u', 1}, {"number", 1, 1, 'u', 1}, {"weight", 2, 2, 'i', 1}};
const Rel kRwModem[] = {{"initCmd", 0, 64, 't', 1},
                        {"dialingPrefix", 64, 16, 't', 1},
                        {"dialingSuffix", 80, 16, 't', 1},
                        {"hangupCmd", 96, 16, 't', 1},
                        {"autoAnswerOnCmd", 112, 16, 't', 1},
                        {"autoAnswerOffCmd", 128, 16, 't', 1},
                        {"phoneNumber", 144, 24, 't', 4},
                        {"waitForConnection", 240, 1, 'u', 1},
                        {"pauseBetweenCalls", 241, 1, 'u', 1},
                        {"maxDialAttempts", 242, 1, 'u', 1},
                        {"cellShare", 243, 1, 'u', 1},
                        {"cellOnTime", 244, 1, 'u', 1},
                        {"cellWarmupTime", 245, 1, 'u', 1},
                        {"cellStartTime", 246, 2, 'i', 5},
                        {"bytepad0", 256, 1, 'u', 1},
                        {"complete_call", 257, 1, 'u', 1},
                        {"reserved", 258, 2, 'r', 1},
                        {"flags", 260, 2, 'u', 1},
                        {"calloutMsg", 262, 46, 't', 1}};

template <size_t N>
void add_part(std::vector<AltusSimField> *t, const std::string &part, int base, const Rel (&rel)[N],
              int repeat, int stride) {
  for (int r = 0; r < repeat; r++) {
    std::string p = repeat > 1 ? part + "[" + std::to_string(r) + "]" : part;
    for (const Rel &f : rel) {
      int at = base + r * stride + f.offset;
      for (int k = 0; k < f.count; k++) {
        std::string name = p + "." + f.name;
        if (f.kind == 'r') name += "@" + std::to_string(f.offset);
        if (f.count > 1) name += "[" + std::to_string(k) + "]";
        t->push_back({name, at + k * f.width, f.width, f.kind});
      }
    }
  }
}

std::vector<AltusSimField> make_table(int ismw) {
  const int nchan = ismw ? 18 : 12, nvoter = ismw ? 21 : 15;
  std::vector<AltusSimField> t;
  int at = 0;
  add_part(&t, "prefix", at, kPrefix, 1, 0);
  at = 8;
  add_part(&t, "ro_misc", at, kRoMisc, 1, 0);
  at += 48;
  add_part(&t, "ro_timing", at, kRoTiming, 1, 0);
  at += 68;
  add_part(&t, "ro_channel", at, kRoChannel, nchan, 36);
  at += 36 * nchan;
  add_part(&t, "ro_stream", at, kRoStream, 1, 0);
  at += 32;
  add_part(&t, "rw_misc", at, kRwMisc, 1, 0);
  at += 92;
  add_part(&t, "rw_timing", at, kRwTiming, 1, 0);
  at += 32;
  add_part(&t, "rw_channel", at, kRwChannel, nchan, 76);
  at += 76 * nchan;
  add_part(&t, "rw_stream", at, kRwStream, 1, 0);
  add_part(&t, "rw_stream.voterInfo", at + 48, kVoter, nvoter, 4);
  at += 48 + 4 * nvoter;
  add_part(&t, "rw_modem", at, kRwModem, 1, 0);
  return t;
}

// Writes the low `width` bytes of v in the byte order.
void put(uint8_t *p, uint64_t v, int width, int bigendian) {
  for (int i = 0; i < width; i++) {
    uint8_t b = static_cast<uint8_t>(v >> (8 * i));
    p[bigendian ? width - 1 - i : i] = b;
  }
}

uint16_t sum16(const uint8_t *p, size_t n) {
  if (n > 2992) n = 2992;
  uint32_t s = 0;
  for (size_t i = 0; i < n; i++) s += p[i];
  return static_cast<uint16_t>(s);
}

void put_number(uint8_t *p, const AltusSimField &f, double v, int bigendian) {
  if (f.kind == 'f') {
    float x = static_cast<float>(v);
    uint32_t bits;
    memcpy(&bits, &x, 4);
    put(p, bits, 4, bigendian);
  } else {
    put(p, static_cast<uint64_t>(static_cast<int64_t>(v)), f.width, bigendian);
  }
}

void make_tag(uint8_t *p, int bigendian, int length, int data_length, uint16_t checksum) {
  memset(p, 0, 16);
  p[0] = 'K';
  p[1] = bigendian ? 1 : 0;
  p[2] = 1;  // version
  p[3] = 9;  // instrument type
  put(p + 4, 0x01020304, 4, bigendian);
  put(p + 8, static_cast<uint64_t>(length), 2, bigendian);
  put(p + 10, static_cast<uint64_t>(data_length), 2, bigendian);
  put(p + 12, 7, 2, bigendian);
  put(p + 14, checksum, 2, bigendian);
}

}  // namespace

const std::vector<AltusSimField> &altussim_evt_fields(int ismw) {
  static const std::vector<AltusSimField> t12 = make_table(0);
  static const std::vector<AltusSimField> t18 = make_table(1);
  return ismw ? t18 : t12;
}

int altussim_evt_header_size(int ismw) { return ismw ? 2736 : 2040; }

int altussim_evt_header(int ismw, int bigendian, const AltusSimHeaderValues &values,
                        std::vector<uint8_t> *out) {
  const auto &table = altussim_evt_fields(ismw);
  out->assign(static_cast<size_t>(altussim_evt_header_size(ismw)), 0);
  std::map<std::string, const AltusSimField *> byname;
  for (const auto &f : table) byname[f.name] = &f;
  memcpy(out->data(), "KMI", 3);
  put(out->data() + 6, static_cast<uint64_t>(altussim_evt_header_size(ismw)), 2, bigendian);
  for (const auto &kv : values.numbers) {
    auto it = byname.find(kv.first);
    if (it == byname.end() || it->second->kind == 't') return -1;
    put_number(out->data() + it->second->offset, *it->second, kv.second, bigendian);
  }
  for (const auto &kv : values.texts) {
    auto it = byname.find(kv.first);
    if (it == byname.end() || it->second->kind != 't') return -1;
    if (kv.second.size() > static_cast<size_t>(it->second->width)) return -1;
    uint8_t *p = out->data() + it->second->offset;
    memset(p, 0, static_cast<size_t>(it->second->width));
    memcpy(p, kv.second.data(), kv.second.size());
  }
  return 0;
}

double altussim_evt_fixture_number(int ismw, int index) {
  const AltusSimField &f = altussim_evt_fields(ismw)[static_cast<size_t>(index)];
  if (f.name == "rw_modem.bytepad0") return 0xA5;
  if (f.kind == 'f') return index + 0.25;
  // Distinct within the width and never zero; signed fields get negative values too.
  uint64_t v = static_cast<uint64_t>(index) * 2654435761u + 0x9E37u;
  if (f.width == 1) v = 1 + (static_cast<uint64_t>(index) * 37u) % 255u;
  if (f.width == 2) v = 1 + (static_cast<uint64_t>(index) * 7919u) % 65535u;
  v &= (f.width == 4) ? 0xFFFFFFFFu : ((1u << (8 * f.width)) - 1u);
  if (f.kind == 'i') {
    int bits = 8 * f.width;
    int64_t s = static_cast<int64_t>(v);
    if (v >> (bits - 1)) s -= int64_t{1} << bits;
    return static_cast<double>(s);
  }
  return static_cast<double>(v);
}

std::string altussim_evt_fixture_text(int ismw, int index) {
  const AltusSimField &f = altussim_evt_fields(ismw)[static_cast<size_t>(index)];
  std::string s;
  for (int i = 0; i < f.width; i++) s += static_cast<char>('A' + (index + i) % 26);
  if (f.name == "prefix.id") s = "KMI";
  return s;
}

void altussim_evt_fixture(int ismw, int bigendian, std::vector<uint8_t> *out) {
  const auto &table = altussim_evt_fields(ismw);
  out->assign(static_cast<size_t>(altussim_evt_header_size(ismw)), 0);
  for (size_t i = 0; i < table.size(); i++) {
    const AltusSimField &f = table[i];
    uint8_t *p = out->data() + f.offset;
    if (f.kind == 'r') continue;
    if (f.kind == 't') {
      std::string s = altussim_evt_fixture_text(ismw, static_cast<int>(i));
      memcpy(p, s.data(), s.size());
    } else if (f.name == "prefix.headerBytes") {
      put(p, static_cast<uint64_t>(altussim_evt_header_size(ismw)), 2, bigendian);
    } else {
      put_number(p, f, altussim_evt_fixture_number(ismw, static_cast<int>(i)), bigendian);
    }
  }
}

int32_t altussim_evt_sample(int c, long s, int sample_bytes) {
  // A walk that wraps through the whole range of the width, so both signs and the
  // extremes appear.
  int64_t x = (static_cast<int64_t>(s) * 2654435761LL + static_cast<int64_t>(c) * 40503LL) ^
              (static_cast<int64_t>(c) << 13);
  switch (sample_bytes) {
    case 1:
      return static_cast<int32_t>(x & 0xFF);
    case 2:
      return static_cast<int16_t>(x & 0xFFFF);
    case 3: {
      int32_t v = static_cast<int32_t>(x & 0xFFFFFF);
      return v >= 0x800000 ? v - 0x1000000 : v;
    }
    default:
      return static_cast<int32_t>(static_cast<uint32_t>(x & 0xFFFFFFFF));
  }
}

int altussim_evt_file(const AltusSimEvtPlan &plan, std::vector<uint8_t> *out) {
  long total = 0;
  for (int n : plan.frame_scans) total += n;
  const int be = plan.bigendian;
  AltusSimHeaderValues v = plan.values;
  v.numbers["ro_misc.sampleBytes"] = plan.sample_bytes;
  v.numbers["rw_misc.nchannels"] =
      plan.header_nchannels >= 0 ? plan.header_nchannels : plan.nchannels;
  v.numbers["ro_stream.nscans"] =
      static_cast<double>(plan.header_nscans >= 0 ? plan.header_nscans : total);
  v.numbers["ro_stream.duration"] =
      static_cast<double>(plan.header_duration >= 0 ? plan.header_duration
                                                    : static_cast<long>(plan.frame_scans.size()));
  v.numbers["ro_stream.startTime"] = plan.start_time;
  v.numbers["rw_stream.sps"] = plan.sps;
  if (!v.numbers.count("ro_misc.maxChannels"))
    v.numbers["ro_misc.maxChannels"] = plan.ismw ? 18 : 12;
  std::vector<uint8_t> hdr;
  if (altussim_evt_header(plan.ismw, be, v, &hdr) < 0) return -1;

  out->clear();
  uint8_t tag[16];
  uint16_t hsum = sum16(hdr.data(), hdr.size());
  if (plan.bad_header_sum) hsum = static_cast<uint16_t>(hsum + 1);
  make_tag(tag, be, static_cast<int>(hdr.size()), 0, hsum);
  if (plan.bad_sync) tag[0] = 'X';
  out->insert(out->end(), tag, tag + 16);
  out->insert(out->end(), hdr.begin(), hdr.end());

  const int w = plan.sample_bytes;
  long scan = 0;
  for (size_t f = 0; f < plan.frame_scans.size(); f++) {
    std::vector<uint8_t> fh(static_cast<size_t>(plan.frame_hdr_len), 0);
    fh[0] = 3;
    fh[1] = 9;
    put(fh.data() + 2, 4242, 2, be);
    put(fh.data() + 6, plan.start_time + f, 4, be);
    put(fh.data() + 16, 0, 2, be);
    for (int i = 19; i < 32; i++) fh[static_cast<size_t>(i)] = static_cast<uint8_t>(i);
    for (size_t i = 32; i < fh.size(); i++) fh[i] = static_cast<uint8_t>(i * 3);
    std::vector<uint8_t> data;
    for (int s = 0; s < plan.frame_scans[f]; s++, scan++) {
      for (int c = 0; c < plan.nchannels; c++) {
        int32_t x = plan.samples.empty() ? altussim_evt_sample(c, scan, w)
                                         : plan.samples[static_cast<size_t>(c * total + scan)];
        uint8_t b[4];
        put(b, static_cast<uint32_t>(x), w, be);
        data.insert(data.end(), b, b + w);
      }
    }
    if (f + 1 == plan.frame_scans.size()) {
      for (int i = 0; i < plan.frame_extra_bytes; i++) data.push_back(0x11);
    }
    uint16_t sum =
        static_cast<uint16_t>(sum16(fh.data(), fh.size()) + sum16(data.data(), data.size()));
    if (plan.bad_frame_sum == static_cast<int>(f)) sum = static_cast<uint16_t>(sum + 1);
    make_tag(tag, be, static_cast<int>(fh.size()), static_cast<int>(data.size()), sum);
    out->insert(out->end(), tag, tag + 16);
    out->insert(out->end(), fh.begin(), fh.end());
    out->insert(out->end(), data.begin(), data.end());
  }
  return 0;
}

int altussim_evt_bench_file(std::vector<uint8_t> *out) {
  AltusSimEvtPlan plan;
  plan.ismw = 1;
  plan.bigendian = 1;
  plan.sample_bytes = 3;
  plan.nchannels = 18;
  plan.sps = 200;
  plan.frame_scans.assign(300, 200);
  return altussim_evt_file(plan, out);
}

int altussim_model_params(const std::string &model, int serial, const std::string &station,
                          std::vector<uint8_t> *out) {
  int ismw = model == "MtWhitney" ? 1 : 0;
  AltusSimHeaderValues v;
  v.numbers["rw_misc.serialNumber"] = serial;
  v.numbers["rw_misc.nchannels"] = ismw ? 18 : 12;
  v.numbers["ro_misc.maxChannels"] = ismw ? 18 : 12;
  v.texts["rw_misc.stnID"] = station;
  return altussim_evt_header(ismw, 1, v, out);
}

AltusSimEvtPlan altussim_event_plan(const std::string &model, int k) {
  AltusSimEvtPlan plan;
  plan.ismw = model == "MtWhitney";
  plan.sample_bytes = 2 + k % 3;
  plan.bigendian = k % 2 == 0;
  plan.start_time = 1000000u + 3600u * (uint32_t)k;
  return plan;
}

std::string altussim_event_path(int k) {
  char path[32];
  snprintf(path, sizeof path, "A:\\EV%05d.EVT", k + 1);
  return path;
}
