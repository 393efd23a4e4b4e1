// altusevtsubs_params.cpp - the datalogger parameter block: the "params" array of the
// setparams command laid over an Altus header (evt_parseparams), and a header written as
// parameter-file text (params2pf). See altusevtsubs.h.

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "altusevtsubs.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro.h"

namespace {

// Absent values: a key that is missing or holds exactly this leaves its field alone.
constexpr int kNoInt = -999;
constexpr float kNoReal = -999.999f;

// A list entry read like atoi: the leading decimal integer, 0 when there is none; out of
// range values saturate (the field then keeps their low bits).
long long list_int(const char *s) { return strtoll(s, nullptr, 10); }

// A list entry read like atof; values beyond the float range become infinities.
float list_real(const char *s) {
  double d = strtod(s, nullptr);
  if (d > FLT_MAX) return HUGE_VALF;
  if (d < -FLT_MAX) return -HUGE_VALF;
  return static_cast<float>(d);
}

// The text cut to `width`, trailing blanks removed, the rest of the field zeroed; the
// field holds width + 1 bytes.
void put_text(char *field, int width, const char *text) {
  memset(field, 0, static_cast<size_t>(width) + 1);
  size_t n = strnlen(text, static_cast<size_t>(width));
  memcpy(field, text, n);
  trimblanks(field);
}

class Overlay {
 public:
  Overlay(Pf *arr, char *error) : arr_(arr), error_(error) {}

  int fail(const char *key) {
    snprintf(error_, ALTUS_PARSEPARAMS_ERROR_SIZE, "cannot parse %s", key);
    elog_log(0, "evt_parseparams: parse_param(%s) error.\n", key);
    return -1;
  }

  // Integer key: apply(value) unless absent.
  template <class F>
  int integer(const char *key, F apply) {
    int v = kNoInt;
    if (parse_param(arr_, key, P_LINT, 0, &v) < 0) return fail(key);
    if (v != kNoInt) apply(v);
    return 0;
  }

  template <class F>
  int real(const char *key, F apply) {
    float v = kNoReal;
    if (parse_param(arr_, key, P_FLT, 0, &v) < 0) return fail(key);
    if (v != kNoReal) apply(v);
    return 0;
  }

  int text(const char *key, char *field, int width) {
    char *s = nullptr;
    if (parse_param(arr_, key, P_STR, 0, &s) < 0) return fail(key);
    if (s != nullptr) {
      put_text(field, width, s);
      free(s);
    }
    return 0;
  }

  // List key: apply(i, entry text) for entries below both the list's length and `count`.
  template <class F>
  int list(const char *key, int count, F apply) {
    Tbl *t = nullptr;
    if (parse_param(arr_, key, P_TBL, 0, &t) < 0) return fail(key);
    if (t == nullptr) return 0;
    long n = maxtbl(t);
    for (long i = 0; i < n && i < count; i++) {
      apply(static_cast<int>(i), static_cast<const char *>(gettbl(t, i)));
    }
    freetbl(t, free);
    return 0;
  }

 private:
  Pf *arr_;
  char *error_;
};

// Bits 0 .. n-1 set.
uint32_t low_bits(int n) { return n >= 32 ? 0xFFFFFFFFu : ((uint32_t{1} << n) - 1u); }

int count_bits(uint32_t v, int nbits) {
  int n = 0;
  for (int b = 0; b < nbits; b++) n += static_cast<int>((v >> b) & 1u);
  return n;
}

}  // namespace

namespace {

uint8_t U8(int v) { return static_cast<uint8_t>(v); }
uint16_t U16(int v) { return static_cast<uint16_t>(v); }
int16_t I16(int v) { return static_cast<int16_t>(v); }
uint32_t U32(int v) { return static_cast<uint32_t>(v); }
uint8_t LU8(const char *e) { return static_cast<uint8_t>(list_int(e)); }
uint16_t LU16(const char *e) { return static_cast<uint16_t>(list_int(e)); }
int16_t LI16(const char *e) { return static_cast<int16_t>(list_int(e)); }

// One key overlaid; the first failure ends the overlay.
bool ok(int r) { return r >= 0; }

// The misc_ keys.
bool overlay_misc(Overlay &o, misc_rw_params_ &m) {
  return ok(o.integer("misc_nchannels",
                      [&](int v) {
                        if (v <= 0) return;
                        m.nchannels = U16(v);
                        m.channel_bitmap = low_bits(v);
                      })) &&
         ok(o.integer("misc_channelbitmap",
                      [&](int v) {
                        if (v <= 0) return;
                        m.channel_bitmap = U32(v);
                        // Bits 0-15 count, whatever the model's channel count.
                        m.nchannels = U16(count_bits(U32(v), 16));
                      })) &&
         ok(o.text("misc_stnid", m.stnID, 5)) && ok(o.text("misc_siteid", m.siteID, 17)) &&
         ok(o.text("misc_comment", m.comment, 33)) &&
         ok(o.integer("misc_elevation", [&](int v) { m.elevation = I16(v); })) &&
         ok(o.real("misc_latitude", [&](float v) { m.latitude = v; })) &&
         ok(o.real("misc_longitude", [&](float v) { m.longitude = v; })) &&
         ok(o.list("misc_usercodes", 4, [&](int i, const char *e) { m.userCodes[i] = LI16(e); })) &&
         ok(o.integer("misc_cutlercode", [&](int v) { m.cutlerCode = U8(v); })) &&
         ok(o.integer("misc_minbatteryvoltage", [&](int v) { m.minBatteryVoltage = U8(v); })) &&
         ok(o.integer("misc_cutlerdecimation", [&](int v) { m.cutler_decimation = U8(v); })) &&
         ok(o.integer("misc_cutleririgtype", [&](int v) { m.cutler_irig_type = U8(v); })) &&
         ok(o.integer("misc_cutlerbitmap", [&](int v) { m.cutler_bitmap = U32(v); })) &&
         ok(o.integer("misc_cutlerprotocol", [&](int v) { m.cutler_protocol = U8(v); })) &&
         ok(o.integer("misc_externaltrigger", [&](int v) { m.externalTrigger = U8(v); })) &&
         ok(o.integer("misc_networkflag", [&](int v) { m.networkFlag = U8(v); }));
}

// The time_ keys.
bool overlay_timing(Overlay &o, timing_rw_params_ &t) {
  return ok(o.integer("time_gpsturnoninterval", [&](int v) { t.gpsTurnOnInterval = U8(v); })) &&
         ok(o.integer("time_gpsmaxturnontime", [&](int v) { t.gpsMaxTurnOnTime = U8(v); })) &&
         ok(o.integer("time_localoffset", [&](int v) { t.localOffset = I16(v); }));
}

// The strm_ keys, nv voter entries.
bool overlay_stream(Overlay &o, stream_rw_params_ &s, int nv) {
  return ok(o.integer("strm_filterflag", [&](int v) { s.filterFlag = U8(v); })) &&
         ok(o.integer("strm_primarystorage", [&](int v) { s.primaryStorage = U8(v); })) &&
         ok(o.integer("strm_secondarystorage", [&](int v) { s.secondaryStorage = U8(v); })) &&
         ok(o.integer("strm_checkintime", [&](int v) { s.CheckinTime = U16(v); })) &&
         ok(o.integer("strm_sps", [&](int v) { s.sps = U16(v); })) &&
         ok(o.integer("strm_apw", [&](int v) { s.apw = U16(v); })) &&
         ok(o.integer("strm_preevent", [&](int v) { s.preEvent = U16(v); })) &&
         ok(o.integer("strm_postevent", [&](int v) { s.postEvent = U16(v); })) &&
         ok(o.integer("strm_minruntime", [&](int v) { s.minRunTime = U16(v); })) &&
         ok(o.integer("strm_votestotrigger", [&](int v) { s.VotesToTrigger = I16(v); })) &&
         ok(o.integer("strm_votestodetrigger", [&](int v) { s.VotesToDetrigger = I16(v); })) &&
         ok(o.integer("strm_filtertype", [&](int v) { s.FilterType = U8(v); })) &&
         ok(o.integer("strm_datafmt", [&](int v) { s.DataFmt = U8(v); })) &&
         ok(o.integer("strm_timeout", [&](int v) { s.Timeout = I16(v); })) &&
         ok(o.integer("strm_txblksize", [&](int v) { s.TxBlkSize = U16(v); })) &&
         ok(o.integer("strm_buffersize", [&](int v) { s.BufferSize = U16(v); })) &&
         ok(o.integer("strm_txchanmap", [&](int v) { s.TxChanMap = U32(v); })) &&
         ok(o.list("strm_voterinfo_type", nv,
                   [&](int i, const char *e) { s.voterInfo[i].type = LU8(e); })) &&
         ok(o.list("strm_voterinfo_number", nv,
                   [&](int i, const char *e) { s.voterInfo[i].number = LU8(e); })) &&
         ok(o.list("strm_voterinfo_weight", nv,
                   [&](int i, const char *e) { s.voterInfo[i].weight = LI16(e); }));
}

// The modm_ keys.
bool overlay_modem(Overlay &o, modem_rw_params_ &md) {
  return ok(o.text("modm_initcmd", md.initCmd, 64)) &&
         ok(o.text("modm_calloutmsg", md.calloutMsg, 46)) &&
         ok(o.text("modm_dialprefix", md.dialingPrefix, 16)) &&
         ok(o.text("modm_dialsuffix", md.dialingSuffix, 16)) &&
         ok(o.text("modm_hangupcmd", md.hangupCmd, 16)) &&
         ok(o.text("modm_autoansweroncmd", md.autoAnswerOnCmd, 16)) &&
         ok(o.text("modm_autoansweroffcmd", md.autoAnswerOffCmd, 16)) &&
         ok(o.list("modm_phonenumber", 4,
                   [&](int i, const char *e) { put_text(md.phoneNumber[i], 24, e); })) &&
         ok(o.integer("modm_waitforconnection", [&](int v) { md.waitForConnection = U8(v); })) &&
         ok(o.integer("modm_pausebetweencalls", [&](int v) { md.pauseBetweenCalls = U8(v); })) &&
         ok(o.integer("modm_maxdialattempts", [&](int v) { md.maxDialAttempts = U8(v); })) &&
         ok(o.integer("modm_cellshare", [&](int v) { md.cellShare = U8(v); })) &&
         ok(o.integer("modm_cellontime", [&](int v) { md.cellOnTime = U8(v); })) &&
         ok(o.integer("modm_cellwarmuptime", [&](int v) { md.cellWarmupTime = U8(v); })) &&
         ok(o.integer("modm_completecall", [&](int v) { md.complete_call = U8(v); })) &&
         ok(o.integer("modm_flags", [&](int v) { md.flags = U16(v); })) &&
         ok(o.list("modm_callstarttime", 5,
                   [&](int i, const char *e) { md.cellStartTime[i] = LI16(e); }));
}

// The chan_ lists, n channels.
bool overlay_channels(Overlay &o, channel_rw_params_ *ch, int n) {
  return ok(o.list("chan_id", n, [&](int i, const char *e) { put_text(ch[i].id, 5, e); })) &&
         ok(o.list("chan_sensorserial", n,
                   [&](int i, const char *e) { ch[i].sensorSerialNumber = LU16(e); })) &&
         ok(o.list("chan_sensorserialext", n,
                   [&](int i, const char *e) { ch[i].sensorSerialNumberExt = LU16(e); })) &&
         ok(o.list("chan_sensortype", n,
                   [&](int i, const char *e) { ch[i].sensorType = LU16(e); })) &&
         ok(o.list("chan_north", n, [&](int i, const char *e) { ch[i].north = LI16(e); })) &&
         ok(o.list("chan_east", n, [&](int i, const char *e) { ch[i].east = LI16(e); })) &&
         ok(o.list("chan_up", n, [&](int i, const char *e) { ch[i].up = LI16(e); })) &&
         ok(o.list("chan_altitude", n, [&](int i, const char *e) { ch[i].altitude = LI16(e); })) &&
         ok(o.list("chan_azimuth", n, [&](int i, const char *e) { ch[i].azimuth = LI16(e); })) &&
         ok(o.list("chan_gain", n, [&](int i, const char *e) { ch[i].gain = LU16(e); })) &&
         ok(o.list("chan_triggertype", n,
                   [&](int i, const char *e) { ch[i].triggerType = LU8(e); })) &&
         ok(o.list("chan_iirtriggerfilter", n,
                   [&](int i, const char *e) { ch[i].iirTriggerFilter = LU8(e); })) &&
         ok(o.list("chan_staseconds", n,
                   [&](int i, const char *e) { ch[i].StaSeconds = LU8(e); })) &&
         ok(o.list("chan_ltaseconds", n,
                   [&](int i, const char *e) { ch[i].LtaSeconds = LU8(e); })) &&
         ok(o.list("chan_staltaratio", n,
                   [&](int i, const char *e) { ch[i].StaLtaRatio = LU16(e); })) &&
         ok(o.list("chan_staltapercent", n,
                   [&](int i, const char *e) { ch[i].StaLtaPercent = LU8(e); })) &&
         ok(o.list("chan_fullscale", n,
                   [&](int i, const char *e) { ch[i].fullscale = list_real(e); })) &&
         ok(o.list("chan_sensitivity", n,
                   [&](int i, const char *e) { ch[i].sensitivity = list_real(e); })) &&
         ok(o.list("chan_damping", n,
                   [&](int i, const char *e) { ch[i].damping = list_real(e); })) &&
         ok(o.list("chan_naturalfrequency", n,
                   [&](int i, const char *e) { ch[i].naturalFrequency = list_real(e); })) &&
         ok(o.list("chan_triggerthreshold", n,
                   [&](int i, const char *e) { ch[i].triggerThreshold = list_real(e); })) &&
         ok(o.list("chan_detriggerthreshold", n,
                   [&](int i, const char *e) { ch[i].detriggerThreshold = list_real(e); })) &&
         ok(o.list("chan_alarmtriggerthreshold", n,
                   [&](int i, const char *e) { ch[i].alarmTriggerThreshold = list_real(e); }));
}

}  // namespace

int evt_parseparams(AltusEvtFile *hdr, int ismw, Pf *params, char *error) {
  error[0] = '\0';
  Pf *arr = nullptr;
  if (parse_param(params, "params", P_ARR, 1, &arr) < 0) {
    snprintf(error, ALTUS_PARSEPARAMS_ERROR_SIZE, "cannot find params array");
    elog_log(0, "evt_parseparams: parse_param(params) error.\n");
    return -1;
  }
  Overlay o(arr, error);
  const bool ok = overlay_misc(o, hdr->rw_misc) && overlay_timing(o, hdr->rw_timing) &&
                  overlay_stream(o, hdr->rw_stream, altus_hdr_nvoter(ismw)) &&
                  overlay_modem(o, hdr->rw_modem) &&
                  overlay_channels(o, hdr->rw_channel, altus_hdr_nchan(ismw));
  pffree(arr);
  return ok ? 0 : -1;
}

namespace {

// Lines of params2pf on a text stack.
class Lines {
 public:
  ~Lines() {
    if (stack_ != nullptr) popstr(&stack_, 0);
  }
  // Integers print as signed 32-bit numbers, so 32-bit unsigned fields may print negative.
  void integer(const char *key, long long v) {
    line(key, "\t", std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v))));
  }
  void text(const char *key, const char *v) { line(key, "\t", v); }
  void real(const char *key, float v) { line(key, "\t", fmt_real(v)); }
  void open(const char *key, const char *sep = " ") {
    std::string s = std::string(key) + sep + "&Tbl{\n";
    pushstr(&stack_, s.c_str());
  }
  void entry_int(long long v) {
    push(std::to_string(static_cast<int32_t>(static_cast<uint32_t>(v))) + "\n");
  }
  void entry_text(const char *v) { push(std::string(v) + "\n"); }
  void entry_real(float v) { push(fmt_real(v) + "\n"); }
  void close() { pushstr(&stack_, "}\n"); }
  char *take() {
    if (stack_ == nullptr) pushstr(&stack_, "");
    return popstr(&stack_, 1);
  }

 private:
  static std::string fmt_real(float v) {
    char b[64];
    snprintf(b, sizeof b, "%.7e", static_cast<double>(v));
    return b;
  }
  void push(const std::string &s) { pushstr(&stack_, s.c_str()); }
  void line(const char *key, const char *sep, const std::string &v) {
    push(std::string(key) + sep + v + "\n");
  }
  void *stack_ = nullptr;
};

// Lines of params2pf for a header of nch channels.
struct ParamLines : Lines {
  explicit ParamLines(int n) : nch(n) {}
  const int nch;
  template <class Get>
  void chan_ints(const char *key, Get get) {
    open(key);
    for (int c = 0; c < nch; c++) entry_int(get(c));
    close();
  }
  template <class Get>
  void chan_reals(const char *key, Get get) {
    open(key);
    for (int c = 0; c < nch; c++) entry_real(get(c));
    close();
  }
  void pair(const char *key, long long a, long long b) {
    open(key, "\t");
    entry_int(a);
    entry_int(b);
    close();
  }
};

// A field's text as it stands, at most `width` bytes (the record's text fields are one
// byte wider and terminated; this also holds for a record filled by hand).
std::string field_text(const char *f, int width) {
  return std::string(f, strnlen(f, static_cast<size_t>(width)));
}

}  // namespace

namespace {

// The read-only parts, for the extended listing.
void ro_lines(ParamLines &L, const AltusBlockParams *h) {
  L.integer("ro_instrument_code", h->instrumentCode);
  L.integer("ro_header_version", h->headerVersion);
  L.integer("ro_header_bytes", h->headerBytes);
  const auto &rm = h->ro_misc;
  L.integer("romisc_a2d_bits", rm.a2dBits);
  L.integer("romisc_sample_bytes", rm.sampleBytes);
  L.integer("romisc_restart_source", rm.restartSource);
  L.integer("romisc_installed_chan", rm.installedChan);
  L.integer("romisc_max_channels", rm.maxChannels);
  L.integer("romisc_sys_block_version", rm.sysBlkVersion);
  L.integer("romisc_boot_block_version", rm.bootBlkVersion);
  L.integer("romisc_app_block_version", rm.appBlkVersion);
  L.integer("romisc_dsp_block_version", rm.dspBlkVersion);
  L.integer("romisc_battery_voltage", rm.batteryVoltage);
  L.integer("romisc_crc", rm.crc);
  L.integer("romisc_flags", rm.flags);
  L.integer("romisc_temperature", rm.temperature);
  const auto &rt = h->ro_timing;
  L.integer("rotiming_clock_source", rt.clockSource);
  L.integer("rotiming_gps_status", rt.gpsStatus);
  L.integer("rotiming_gps_soh", rt.gpsSOH);
  L.integer("rotiming_gps_lock_fail_count", rt.gpsLockFailCount);
  L.integer("rotiming_gps_update_rtc_count", rt.gpsUpdateRTCCount);
  L.integer("rotiming_acq_delay", rt.acqDelay);
  L.integer("rotiming_gps_latitude", rt.gpsLatitude);
  L.integer("rotiming_gps_longitude", rt.gpsLongitude);
  L.integer("rotiming_gps_altitude", rt.gpsAltitude);
  L.integer("rotiming_dac_count", rt.dacCount);
  L.pair("rotiming_gps_last_drift", rt.gpsLastDrift[0], rt.gpsLastDrift[1]);
  L.pair("rotiming_gps_last_turn_on_time", rt.gpsLastTurnOnTime[0], rt.gpsLastTurnOnTime[1]);
  L.pair("rotiming_gps_last_update_time", rt.gpsLastUpdateTime[0], rt.gpsLastUpdateTime[1]);
  L.pair("rotiming_gps_last_lock_time", rt.gpsLastLockTime[0], rt.gpsLastLockTime[1]);
  const auto *rc = h->ro_channel;
  L.chan_ints("rochan_max_peak", [&](int c) { return rc[c].maxPeak; });
  L.chan_ints("rochan_max_peak_offset", [&](int c) { return rc[c].maxPeakOffset; });
  L.chan_ints("rochan_min_peak", [&](int c) { return rc[c].minPeak; });
  L.chan_ints("rochan_min_peak_offset", [&](int c) { return rc[c].minPeakOffset; });
  L.chan_ints("rochan_mean", [&](int c) { return rc[c].mean; });
  L.chan_ints("rochan_aq_offset", [&](int c) { return rc[c].aqOffset; });
  const auto &rs = h->ro_stream;
  L.integer("rostrm_start_time", rs.startTime);
  L.integer("rostrm_triggerTime", rs.triggerTime);
  L.integer("rostrm_duration", rs.duration);
  L.integer("rostrm_errors", rs.errors);
  L.integer("rostrm_flags", rs.flags);
  L.integer("rostrm_start_time_msec", rs.startTimeMsec);
  L.integer("rostrm_trigger_time_msec", rs.triggerTimeMsec);
  L.integer("rostrm_nscans", rs.nscans);
  L.integer("rostrm_trigger_bitmap", rs.triggerBitMap);
}

void misc_lines(ParamLines &L, const AltusBlockParams *h) {
  const auto &m = h->rw_misc;
  L.integer("misc_serial", m.serialNumber);
  L.integer("misc_nchannels", m.nchannels);
  L.text("misc_stnid", field_text(m.stnID, 5).c_str());
  L.text("misc_siteid", field_text(m.siteID, 17).c_str());
  L.text("misc_comment", field_text(m.comment, 33).c_str());
  L.integer("misc_elevation", m.elevation);
  L.real("misc_latitude", m.latitude);
  L.real("misc_longitude", m.longitude);
  L.open("misc_usercodes");
  for (auto v : m.userCodes) L.entry_int(v);
  L.close();
  L.integer("misc_cutlercode", m.cutlerCode);
  L.integer("misc_minbatteryvoltage", m.minBatteryVoltage);
  L.integer("misc_cutlerdecimation", m.cutler_decimation);
  L.integer("misc_cutleririgtype", m.cutler_irig_type);
  L.integer("misc_cutlerbitmap", m.cutler_bitmap);
  L.integer("misc_cutlerprotocol", m.cutler_protocol);
  L.integer("misc_channelbitmap", m.channel_bitmap);
  L.integer("misc_externaltrigger", m.externalTrigger);
  L.integer("misc_networkflag", m.networkFlag);
  const auto &t = h->rw_timing;
  L.integer("time_gpsturnoninterval", t.gpsTurnOnInterval);
  L.integer("time_gpsmaxturnontime", t.gpsMaxTurnOnTime);
  L.integer("time_localoffset", t.localOffset);
}

void channel_lines(ParamLines &L, const AltusBlockParams *h) {
  const auto *ch = h->rw_channel;
  L.open("chan_id");
  for (int c = 0; c < L.nch; c++) L.entry_text(field_text(ch[c].id, 5).c_str());
  L.close();
  L.chan_ints("chan_sensorserial", [&](int c) { return ch[c].sensorSerialNumber; });
  L.chan_ints("chan_sensorserialext", [&](int c) { return ch[c].sensorSerialNumberExt; });
  L.chan_ints("chan_sensortype", [&](int c) { return ch[c].sensorType; });
  L.chan_ints("chan_north", [&](int c) { return ch[c].north; });
  L.chan_ints("chan_east", [&](int c) { return ch[c].east; });
  L.chan_ints("chan_up", [&](int c) { return ch[c].up; });
  L.chan_ints("chan_altitude", [&](int c) { return ch[c].altitude; });
  L.chan_ints("chan_azimuth", [&](int c) { return ch[c].azimuth; });
  L.chan_ints("chan_gain", [&](int c) { return ch[c].gain; });
  L.chan_ints("chan_triggertype", [&](int c) { return ch[c].triggerType; });
  L.chan_ints("chan_iirtriggerfilter", [&](int c) { return ch[c].iirTriggerFilter; });
  L.chan_ints("chan_staseconds", [&](int c) { return ch[c].StaSeconds; });
  L.chan_ints("chan_ltaseconds", [&](int c) { return ch[c].LtaSeconds; });
  L.chan_ints("chan_staltaratio", [&](int c) { return ch[c].StaLtaRatio; });
  L.chan_ints("chan_staltapercent", [&](int c) { return ch[c].StaLtaPercent; });
  L.chan_reals("chan_fullscale", [&](int c) { return ch[c].fullscale; });
  L.chan_reals("chan_sensitivity", [&](int c) { return ch[c].sensitivity; });
  L.chan_reals("chan_damping", [&](int c) { return ch[c].damping; });
  L.chan_reals("chan_naturalfrequency", [&](int c) { return ch[c].naturalFrequency; });
  L.chan_reals("chan_triggerthreshold", [&](int c) { return ch[c].triggerThreshold; });
  L.chan_reals("chan_detriggerthreshold", [&](int c) { return ch[c].detriggerThreshold; });
  L.chan_reals("chan_alarmtriggerthreshold", [&](int c) { return ch[c].alarmTriggerThreshold; });
}

// The replies carry the first 15 voter entries on every layout.
void stream_lines(ParamLines &L, const AltusBlockParams *h) {
  const auto &s = h->rw_stream;
  L.integer("strm_filterflag", s.filterFlag);
  L.integer("strm_primarystorage", s.primaryStorage);
  L.integer("strm_secondarystorage", s.secondaryStorage);
  L.integer("strm_checkintime", s.CheckinTime);
  L.integer("strm_eventnumber", s.eventNumber);
  L.integer("strm_sps", s.sps);
  L.integer("strm_apw", s.apw);
  L.integer("strm_preevent", s.preEvent);
  L.integer("strm_postevent", s.postEvent);
  L.integer("strm_minruntime", s.minRunTime);
  L.integer("strm_votestotrigger", s.VotesToTrigger);
  L.integer("strm_votestodetrigger", s.VotesToDetrigger);
  L.integer("strm_filtertype", s.FilterType);
  L.integer("strm_datafmt", s.DataFmt);
  L.integer("strm_timeout", s.Timeout);
  L.integer("strm_txblksize", s.TxBlkSize);
  L.integer("strm_buffersize", s.BufferSize);
  L.integer("strm_samplerate", s.SampleRate);
  L.integer("strm_txchanmap", s.TxChanMap);
  L.open("strm_voterinfo_type");
  for (int v = 0; v < ALTUS_NVOTER; v++) L.entry_int(s.voterInfo[v].type);
  L.close();
  L.open("strm_voterinfo_number");
  for (int v = 0; v < ALTUS_NVOTER; v++) L.entry_int(s.voterInfo[v].number);
  L.close();
  L.open("strm_voterinfo_weight");
  for (int v = 0; v < ALTUS_NVOTER; v++) L.entry_int(s.voterInfo[v].weight);
  L.close();
}

void modem_lines(ParamLines &L, const AltusBlockParams *h) {
  const auto &md = h->rw_modem;
  L.text("modm_initcmd", field_text(md.initCmd, 64).c_str());
  L.text("modm_calloutmsg", field_text(md.calloutMsg, 46).c_str());
  L.text("modm_dialprefix", field_text(md.dialingPrefix, 16).c_str());
  L.text("modm_dialsuffix", field_text(md.dialingSuffix, 16).c_str());
  L.text("modm_hangupcmd", field_text(md.hangupCmd, 16).c_str());
  L.text("modm_autoansweroncmd", field_text(md.autoAnswerOnCmd, 16).c_str());
  L.text("modm_autoansweroffcmd", field_text(md.autoAnswerOffCmd, 16).c_str());
  L.open("modm_phonenumber");
  for (const auto &pn : md.phoneNumber) L.entry_text(field_text(pn, 24).c_str());
  L.close();
  L.integer("modm_waitforconnection", md.waitForConnection);
  L.integer("modm_pausebetweencalls", md.pauseBetweenCalls);
  L.integer("modm_maxdialattempts", md.maxDialAttempts);
  L.integer("modm_cellshare", md.cellShare);
  L.integer("modm_cellontime", md.cellOnTime);
  L.integer("modm_cellwarmuptime", md.cellWarmupTime);
  L.integer("modm_completecall", md.complete_call);
  L.integer("modm_flags", md.flags);
  L.open("modm_cellstarttime");
  for (auto v : md.cellStartTime) L.entry_int(v);
  L.close();
}

}  // namespace

char *params2pf(AltusDatalogger * /*dl*/, const AltusBlockParams *h, int extended) {
  const int ismw = h->headerBytes == ALTUS_HDR_SIZE_MW;
  int nch = h->ro_misc.maxChannels;
  if (nch > altus_hdr_nchan(ismw)) nch = altus_hdr_nchan(ismw);
  ParamLines L(nch);
  if (extended) ro_lines(L, h);
  misc_lines(L, h);
  channel_lines(L, h);
  stream_lines(L, h);
  modem_lines(L, h);
  return L.take();
}
