// altuscomsubs_texts.cpp - texts of the Altus status codes and the block-packet dump.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

#include "altuscomsubs_block.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altuscomthread.h"
#include "base/elog.h"
#include "base/textutil.h"
#include "base/timetext.h"

namespace {

constexpr double kAltusEpochOffset = 315532800.0;

// Takes ownership of a malloc'd text and returns it as a string ("" for none).
std::string take(char *p) {
  std::string s = p ? p : "";
  free(p);
  return s;
}

}  // namespace

char *altustime2str(int altustime) {
  return epoch2str(static_cast<double>(altustime) + kAltusEpochOffset, "%Y/%m/%d (%Y%j) %H:%M:%S");
}

char *altustriggerstatus2str(unsigned int status) {
  std::string s;
  s += (status & 0x01) ? "ACQ On, " : "ACQ Off, ";
  s += (status & 0x02) ? "Stream Trig, " : "Stream Detrig, ";
  s += (status & 0x04) ? "Keyboard Trig, " : "Keyboard Detrig, ";
  s += (status & 0x08) ? "Alarm Trig, " : "Alarm Detrig, ";
  s += (status & 0x10) ? "External Trig" : "External Detrig";
  return strdup(s.c_str());
}

char *altusbatterystatus2str(unsigned int status) {
  status &= 0xFF;
  if (status == 0) return strdup("Charging");
  return strdup(string_printf("%.2f Volts", status * 0.1).c_str());
}

char *altushardwarestatus2str(unsigned int status) {
  switch (status & 0xFF) {
    case 0:
      return strdup("Hardware OK");
    case 1:
      return strdup("Hardware fault");
    default:
      return strdup("Unknown hardwarestatus code");
  }
}

char *altusdrivestatus2str(unsigned int status) {
  // The amount is the low 10 bits: 9 would lose bit 0x200 of what the datalogger reports.
  int amount = static_cast<int>(status & 0x3FF);
  if (status & 0x0400) return strdup("Drive not ready");
  if (status & 0x0800) return strdup(string_printf("%d Kbytes free", amount).c_str());
  if (status & 0x1000) return strdup(string_printf("%d Mbytes free", amount).c_str());
  if (status & 0x2000) return strdup(string_printf("%d Gbytes free", amount).c_str());
  return strdup("Unknown drivestatus code");
}

char *altusclocksource2str(unsigned int status) {
  switch (status & 0xFF) {
    case 0:
      return strdup("RTC from cold start");
    case 1:
      return strdup("keyboard");
    case 2:
      return strdup("Sync with external reference pulse");
    case 3:
      return strdup("internal GPS");
    default:
      return strdup("Unknown clocksource code");
  }
}

char *altusnak2str(unsigned int code) {
  switch (code & 0xFF) {
    case STRNAK_QUEUE_FULL:
      return strdup("Command rejected, instrument stream command queue full");
    case STRNAK_ALREADY:
      return strdup("CTRL command error, already started or stopped");
    case STRNAK_DISABLED:
      return strdup("Block request error - streaming is disabled");
    case STRNAK_EXPIRED:
      return strdup("Block request error - block time limit expired, data lost");
    default:
      return strdup("Unknown nak code");
  }
}

void block_hexdump_lines(const unsigned char *data, int n, void (*emit)(const char *, void *),
                         void *user) {
  int off = 0;
  do {
    int cnt = n - off < 16 ? n - off : 16;
    std::string line = "DEBUGD:    datadump: ";
    for (int i = 0; i < cnt; i++) line += string_printf("%2.2X ", data[off + i]);
    while (line.size() < 69) line += ' ';
    line += ' ';
    for (int i = 0; i < cnt; i++) {
      unsigned char c = data[off + i];
      line += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '`';
    }
    line += '\n';
    emit(line.c_str(), user);
    off += cnt;
  } while (off < n);
}

namespace {

struct Sink {
  void *modem;
  void *dl;
};

using LineOut = std::function<void(const std::string &)>;

// A fixed-size text field that need not be terminated.
std::string field_text(const char *f, size_t n) { return std::string(f, strnlen(f, n)); }

// One "params:" line: the field's name right-aligned, then its value.
struct ParamLine {
  const std::function<void(const std::string &)> &out;
  void operator()(const std::string &name, const std::string &value) const {
    out(string_printf("DEBUGD:      params: %36s: ", name.c_str()) + value + "\n");
  }
};

#define PD(pre, obj, f) pl(pre #f, string_printf("%d", static_cast<int>((obj).f)))
#define PX4(pre, obj, f) pl(pre #f, string_printf("0x%4.4X", static_cast<unsigned>((obj).f)))
#define PX2(pre, obj, f) pl(pre #f, string_printf("0x%2.2X", static_cast<unsigned>((obj).f)))
#define PX8(pre, obj, f) pl(pre #f, string_printf("0x%8.8X", static_cast<unsigned>((obj).f)))
#define PF(pre, obj, f, form) pl(pre #f, string_printf(form, static_cast<double>((obj).f)))
#define PS(pre, obj, f) pl(pre #f, field_text((obj).f, sizeof((obj).f)))

// The identification and ro_misc.
void ro_misc_lines(const ParamLine &pl, const AltusBlockParams &h) {
  pl("id", field_text(h.id, sizeof h.id));
  pl("instrumentCode", string_printf("%d", h.instrumentCode));
  pl("headerVersion", string_printf("%d", h.headerVersion));
  pl("headerBytes", string_printf("%d", h.headerBytes));
  const auto &rm = h.ro_misc;
  PD("ro_misc.", rm, a2dBits);
  PD("ro_misc.", rm, sampleBytes);
  PD("ro_misc.", rm, restartSource);
  PD("ro_misc.", rm, installedChan);
  PD("ro_misc.", rm, maxChannels);
  PD("ro_misc.", rm, sysBlkVersion);
  PD("ro_misc.", rm, bootBlkVersion);
  PD("ro_misc.", rm, appBlkVersion);
  PD("ro_misc.", rm, dspBlkVersion);
  PD("ro_misc.", rm, batteryVoltage);
  PX4("ro_misc.", rm, crc);
  PX4("ro_misc.", rm, flags);
  PD("ro_misc.", rm, temperature);
}

void ro_timing_lines(const ParamLine &pl, const AltusBlockParams &h) {
  const auto &rt = h.ro_timing;
  PD("ro_timing.", rt, clockSource);
  PX2("ro_timing.", rt, gpsStatus);
  PX2("ro_timing.", rt, gpsSOH);
  PD("ro_timing.", rt, gpsLockFailCount);
  PD("ro_timing.", rt, gpsUpdateRTCCount);
  PD("ro_timing.", rt, acqDelay);
  PD("ro_timing.", rt, gpsLatitude);
  PD("ro_timing.", rt, gpsLongitude);
  PD("ro_timing.", rt, gpsAltitude);
  PD("ro_timing.", rt, dacCount);
  for (int i = 0; i < 2; i++) {
    pl(string_printf("ro_timing.gpsLastDrift[%d]", i), string_printf("%d", rt.gpsLastDrift[i]));
    pl(string_printf("ro_timing.gpsLastTurnOnTime[%d]", i),
       string_printf("%d", static_cast<int>(rt.gpsLastTurnOnTime[i])));
    pl(string_printf("ro_timing.gpsLastUpdateTime[%d]", i),
       string_printf("%d", static_cast<int>(rt.gpsLastUpdateTime[i])));
    pl(string_printf("ro_timing.gpsLastLockTime[%d]", i),
       string_printf("%d", static_cast<int>(rt.gpsLastLockTime[i])));
  }
}

void ro_channel_lines(const ParamLine &pl, const AltusBlockParams &h, int nchan) {
  for (int i = 0; i < nchan; i++) {
    const auto &c = h.ro_channel[i];
    std::string pre = string_printf("ro_channel[%2d].", i);
    pl(pre + "maxPeak", string_printf("%d", static_cast<int>(c.maxPeak)));
    pl(pre + "maxPeakOffset", string_printf("%d", static_cast<int>(c.maxPeakOffset)));
    pl(pre + "minPeak", string_printf("%d", static_cast<int>(c.minPeak)));
    pl(pre + "minPeakOffset", string_printf("%d", static_cast<int>(c.minPeakOffset)));
    pl(pre + "mean", string_printf("%d", static_cast<int>(c.mean)));
    pl(pre + "aqOffset", string_printf("%d", static_cast<int>(c.aqOffset)));
  }
}

void ro_stream_lines(const ParamLine &pl, const AltusBlockParams &h) {
  const auto &rs = h.ro_stream;
  PD("ro_stream.", rs, startTime);
  PD("ro_stream.", rs, triggerTime);
  PD("ro_stream.", rs, duration);
  PD("ro_stream.", rs, errors);
  PX4("ro_stream.", rs, flags);
  PD("ro_stream.", rs, startTimeMsec);
  PD("ro_stream.", rs, triggerTimeMsec);
  PD("ro_stream.", rs, nscans);
  PX8("ro_stream.", rs, triggerBitMap);
}

void rw_misc_lines(const ParamLine &pl, const AltusBlockParams &h) {
  const auto &wm = h.rw_misc;
  PD("rw_misc.", wm, serialNumber);
  PD("rw_misc.", wm, nchannels);
  PS("rw_misc.", wm, stnID);
  PS("rw_misc.", wm, comment);
  PD("rw_misc.", wm, elevation);
  PF("rw_misc.", wm, latitude, "%.6f");
  PF("rw_misc.", wm, longitude, "%.6f");
  for (int i = 0; i < 4; i++)
    pl(string_printf("rw_misc.userCodes[%d]", i), string_printf("%d", wm.userCodes[i]));
  PD("rw_misc.", wm, cutlerCode);
  PD("rw_misc.", wm, minBatteryVoltage);
  PD("rw_misc.", wm, cutler_decimation);
  PD("rw_misc.", wm, cutler_irig_type);
  PX8("rw_misc.", wm, cutler_bitmap);
  PX8("rw_misc.", wm, channel_bitmap);
  PD("rw_misc.", wm, cutler_protocol);
  PS("rw_misc.", wm, siteID);
  PD("rw_misc.", wm, externalTrigger);
  PX2("rw_misc.", wm, networkFlag);
  const auto &wt = h.rw_timing;
  PD("rw_timing.", wt, gpsTurnOnInterval);
  PD("rw_timing.", wt, gpsMaxTurnOnTime);
  PD("rw_timing.", wt, localOffset);
}

void rw_channel_lines(const ParamLine &pl, const AltusBlockParams &h, int nchan) {
  for (int i = 0; i < nchan; i++) {
    const auto &c = h.rw_channel[i];
    std::string pre = string_printf("rw_channel[%2d].", i);
    pl(pre + "id", field_text(c.id, sizeof c.id));
    pl(pre + "sensorSerialNumberExt", string_printf("%d", c.sensorSerialNumberExt));
    pl(pre + "north", string_printf("%d", c.north));
    pl(pre + "east", string_printf("%d", c.east));
    pl(pre + "up", string_printf("%d", c.up));
    pl(pre + "altitude", string_printf("%d", c.altitude));
    pl(pre + "azimuth", string_printf("%d", c.azimuth));
    pl(pre + "sensorType", string_printf("%d", c.sensorType));
    pl(pre + "sensorSerialNumber", string_printf("%d", c.sensorSerialNumber));
    pl(pre + "gain", string_printf("%d", c.gain));
    pl(pre + "triggerType", string_printf("%d", c.triggerType));
    pl(pre + "iirTriggerFilter", string_printf("%d", c.iirTriggerFilter));
    pl(pre + "StaSeconds", string_printf("%d", c.StaSeconds));
    pl(pre + "LtaSeconds", string_printf("%d", c.LtaSeconds));
    pl(pre + "StaLtaRatio", string_printf("%d", c.StaLtaRatio));
    pl(pre + "StaLtaPercent", string_printf("%d", c.StaLtaPercent));
    pl(pre + "fullscale", string_printf("%.7g", static_cast<double>(c.fullscale)));
    pl(pre + "sensitivity", string_printf("%.7g", static_cast<double>(c.sensitivity)));
    pl(pre + "damping", string_printf("%.6f", static_cast<double>(c.damping)));
    pl(pre + "naturalFrequency", string_printf("%.4f", static_cast<double>(c.naturalFrequency)));
    pl(pre + "triggerThreshold", string_printf("%.3f", static_cast<double>(c.triggerThreshold)));
    pl(pre + "detriggerThreshold",
       string_printf("%.3f", static_cast<double>(c.detriggerThreshold)));
    pl(pre + "alarmTriggerThreshold",
       string_printf("%.3f", static_cast<double>(c.alarmTriggerThreshold)));
  }
}

void rw_stream_lines(const ParamLine &pl, const AltusBlockParams &h) {
  const auto &ws = h.rw_stream;
  PX2("rw_stream.", ws, filterFlag);
  PD("rw_stream.", ws, primaryStorage);
  PD("rw_stream.", ws, secondaryStorage);
  PD("rw_stream.", ws, CheckinTime);
  PD("rw_stream.", ws, eventNumber);
  PD("rw_stream.", ws, sps);
  PD("rw_stream.", ws, apw);
  PD("rw_stream.", ws, preEvent);
  PD("rw_stream.", ws, postEvent);
  PD("rw_stream.", ws, minRunTime);
  PD("rw_stream.", ws, VotesToTrigger);
  PD("rw_stream.", ws, VotesToDetrigger);
  PD("rw_stream.", ws, FilterType);
  PD("rw_stream.", ws, DataFmt);
  PD("rw_stream.", ws, Reserved);
  PD("rw_stream.", ws, Timeout);
  PD("rw_stream.", ws, TxBlkSize);
  PD("rw_stream.", ws, BufferSize);
  PD("rw_stream.", ws, SampleRate);
  PX8("rw_stream.", ws, TxChanMap);
  for (int i = 0; i < ALTUS_NVOTER_MW; i++) {
    const auto &v = ws.voterInfo[i];
    std::string pre = string_printf("rw_stream.voterInfo[%2d].", i);
    pl(pre + "type", string_printf("%d", v.type));
    pl(pre + "number", string_printf("%d", v.number));
    pl(pre + "weight", string_printf("%d", v.weight));
  }
}

void rw_modem_lines(const ParamLine &pl, const AltusBlockParams &h) {
  const auto &mo = h.rw_modem;
  PS("rw_modem.", mo, initCmd);
  PS("rw_modem.", mo, dialingPrefix);
  PS("rw_modem.", mo, dialingSuffix);
  PS("rw_modem.", mo, hangupCmd);
  PS("rw_modem.", mo, autoAnswerOnCmd);
  PS("rw_modem.", mo, autoAnswerOffCmd);
  for (int i = 0; i < 4; i++)
    pl(string_printf("rw_modem.phoneNumber[%d]", i),
       field_text(mo.phoneNumber[i], sizeof mo.phoneNumber[i]));
  PD("rw_modem.", mo, waitForConnection);
  PD("rw_modem.", mo, pauseBetweenCalls);
  PD("rw_modem.", mo, maxDialAttempts);
  PD("rw_modem.", mo, cellShare);
  PD("rw_modem.", mo, cellOnTime);
  PD("rw_modem.", mo, cellWarmupTime);
  for (int i = 0; i < 5; i++)
    pl(string_printf("rw_modem.cellStartTime[%d]", i), string_printf("%d", mo.cellStartTime[i]));
  PX4("rw_modem.", mo, flags);
  PS("rw_modem.", mo, calloutMsg);
}

#undef PD
#undef PX4
#undef PX2
#undef PX8
#undef PF
#undef PS

// The "params:" lines of a parameter header: one line per field, name right-aligned.
void params_lines(const AltusBlockParams &h, const std::function<void(const std::string &)> &out) {
  const ParamLine pl{out};
  // The channel count comes from the packet: never more than the header holds.
  int nchan = std::min(static_cast<int>(h.rw_misc.nchannels), static_cast<int>(ALTUS_NCHAN_MW));
  ro_misc_lines(pl, h);
  ro_timing_lines(pl, h);
  ro_channel_lines(pl, h, nchan);
  ro_stream_lines(pl, h);
  rw_misc_lines(pl, h);
  rw_channel_lines(pl, h, nchan);
  rw_stream_lines(pl, h);
  rw_modem_lines(pl, h);
}

void emit_line(const char *line, void *user) {
  auto *s = static_cast<Sink *>(user);
  log_callback(s->modem, s->dl, line, ALTUSLOG_KIND_LINE);
}

// A decoding failure of the dump, logged without forcing.
void quiet_complain(void *modem, void *dl, const char *text) {
  altuscom_log_complain(static_cast<Modem *>(modem), static_cast<AltusDatalogger *>(dl), 0, 0, "%s",
                        text);
}

void status_lines(void *modem, void *dl, const AltusBlockPkt *pkt, const LineOut &out) {
  AltusBlockStatus st;
  if (decode_block_status(pkt, &st) < 0) {
    quiet_complain(modem, dl, "print_block: decode_block_status() error.\n");
    out("DEBUGD:      status: decode_block_status() error.\n");
    return;
  }
  out(string_printf("DEBUGD:      status:      systemTime: %d - %s\n",
                    static_cast<int>(st.systemTime),
                    take(altustime2str(static_cast<int>(st.systemTime))).c_str()));
  out(string_printf("DEBUGD:      status:    serialNumber: %d\n", st.serialNumber));
  out(string_printf("DEBUGD:      status:          events: %d\n", st.events));
  out(string_printf("DEBUGD:      status: recordingErrors: %d\n", st.recordingErrors));
  out(string_printf("DEBUGD:      status:   triggerStatus: 0x%4.4X - %s\n", st.triggerStatus,
                    take(altustriggerstatus2str(st.triggerStatus)).c_str()));
  out(string_printf("DEBUGD:      status:   batteryStatus: 0x%2.2X   - %s\n", st.batteryStatus,
                    take(altusbatterystatus2str(st.batteryStatus)).c_str()));
  out(string_printf("DEBUGD:      status:  hardwareStatus: 0x%2.2X   - %s\n", st.hardwareStatus,
                    take(altushardwarestatus2str(st.hardwareStatus)).c_str()));
  for (int i = 0; i < 2; i++)
    out(string_printf("DEBUGD:      status:  driveStatus[%d]: 0x%4.4X - %s\n", i, st.driveStatus[i],
                      take(altusdrivestatus2str(st.driveStatus[i])).c_str()));
  out(string_printf("DEBUGD:      status:           stnID: %.5s\n", st.stnID));
  out(string_printf("DEBUGD:      status:     clockSource: %d - %s\n", st.clockSource,
                    take(altusclocksource2str(st.clockSource)).c_str()));
}

void dirent_lines(void *modem, void *dl, const AltusBlockPkt *pkt, const LineOut &out) {
  int count = pkt->dataLength / 22;
  for (int i = 0; i < count; i++) {
    AltusBlockDirentry e;
    if (decode_block_direntry(pkt, i, &e) < 0) {
      quiet_complain(modem, dl, "print_block: decode_block_direntry() error.\n");
      out("DEBUGD:      dirent: decode_block_direntry() error.\n");
      break;
    }
    out(string_printf("DEBUGD:      dirent: %8.8s %3.3s %7d %s 0x%2.2X\n", e.name, e.ext,
                      static_cast<int>(e.size),
                      take(altustime2str(static_cast<int>(e.time))).c_str(), e.attr));
  }
}

void strdata_lines(void *modem, void *dl, const AltusBlockPkt *pkt, const LineOut &out) {
  auto *sd = static_cast<AltusBlockStrdata *>(malloc(sizeof(AltusBlockStrdata)));
  if (sd == nullptr || decode_block_strdata(pkt, sd) < 0) {
    quiet_complain(modem, dl, "print_block: decode_block_strdata() error.\n");
    out("DEBUGD:     strdata: decode_block_strdata() error.\n");
    free(sd);
    return;
  }
  out(string_printf("DEBUGD:     strdata:           serNo: %d\n", sd->serNo));
  out(string_printf("DEBUGD:     strdata:          stream: %d\n", sd->stream));
  out(string_printf("DEBUGD:     strdata:          format: %d\n", sd->format));
  out(string_printf("DEBUGD:     strdata:         dataSeq: %d\n", static_cast<int>(sd->dataSeq)));
  out(string_printf("DEBUGD:     strdata: time_altusepoch: %d\n",
                    static_cast<int>(sd->time_altusepoch)));
  out(string_printf("DEBUGD:     strdata:       time_msec: %d\n", sd->time_msec));
  out(string_printf("DEBUGD:     strdata:           nsamp: %d\n", sd->nsamp));
  out(string_printf("DEBUGD:     strdata:         dataChk: 0x%2.2X (0x%2.2X)\n",
                    static_cast<unsigned>(sd->dataChk), static_cast<unsigned>(sd->dataChk_comp)));
  free(sd);
}

void params_dump(void *modem, void *dl, const AltusBlockPkt *pkt, const LineOut &out) {
  auto *h = static_cast<AltusBlockParams *>(calloc(1, sizeof(AltusBlockParams)));
  if (h == nullptr || decode_block_params(pkt, h, altuscom_ismw(modem, dl)) < 0) {
    quiet_complain(modem, dl, "print_block: decode_block_params() error.\n");
    out("DEBUGD:      params: decode_block_params() error.\n");
  } else {
    params_lines(*h, out);
  }
  free(h);
}

void strsend_lines(const AltusBlockPkt *pkt, const LineOut &out) {
  const unsigned char *d = pkt->data;
  unsigned seq = (static_cast<unsigned>(d[0]) << 24) | (d[1] << 16) | (d[2] << 8) | d[3];
  out(string_printf("DEBUGD:     strsend:        sequence: %d\n", static_cast<int>(seq)));
  out(string_printf("DEBUGD:     strsend:          stream: %d\n", d[4]));
  out(string_printf("DEBUGD:     strsend:            type: %d\n", d[5]));
}

}  // namespace

int print_block(void *modem, void *dl, int cmd, const AltusBlockPkt *pkt) {
  Sink sink{modem, dl};
  const LineOut out = [&](const std::string &line) { emit_line(line.c_str(), &sink); };
  const char *kind = cmd ? "command" : "response";
  out(string_printf("DEBUGD: *********block mode %s packet********\n", kind));
  std::string name = take(cmd ? cmd2str(pkt->typeCode) : code2str(pkt->typeCode));
  out(string_printf("DEBUGD:    typeCode: 0x%2.2X (%s)\n", pkt->typeCode, name.c_str()));
  out(string_printf("DEBUGD:       seqNo: 0x%2.2X\n", pkt->seqNo));
  out(string_printf("DEBUGD:      source: %d\n", pkt->source));
  out(string_printf("DEBUGD: destination: %d\n", pkt->destination));
  out(string_printf("DEBUGD:  dataLength: %d\n", pkt->dataLength));
  if (cmd)
    out(string_printf("DEBUGD:   headerChk: 0x%2.2X\n", pkt->headerChk));
  else
    out(string_printf("DEBUGD:   headerChk: 0x%2.2X (0x%2.2X)\n", pkt->headerChk,
                      pkt->headerChk_comp));
  int n = pkt->dataLength < BLOCK_MAX_DATA ? pkt->dataLength : BLOCK_MAX_DATA;
  if (pkt->typeCode == PKR_PING && !cmd) {
    std::string text(reinterpret_cast<const char *>(pkt->data), n);
    text = text.c_str();  // up to the first NUL
    out(string_printf("DEBUGD:    datadump: %s\n", text.c_str()));
  } else {
    block_hexdump_lines(pkt->data, n, emit_line, &sink);
  }
  switch (cmd ? -1 : pkt->typeCode) {
    case PKR_STATUS:
      status_lines(modem, dl, pkt, out);
      break;
    case PKR_DIR:
      dirent_lines(modem, dl, pkt, out);
      break;
    case PKR_STRDATA:
    case PKR_STRRQDATA:
      strdata_lines(modem, dl, pkt, out);
      break;
    default:
      break;
  }
  if (static_cast<int>(pkt->typeCode) ==
      (cmd ? static_cast<int>(PKC_SETPARAMS) : static_cast<int>(PKR_PARAMS)))
    params_dump(modem, dl, pkt, out);
  if (cmd && pkt->typeCode == PKC_STRSEND && pkt->dataLength >= 6) strsend_lines(pkt, out);
  if (cmd)
    out(string_printf("DEBUGD:     dataChk: 0x%4.4X\n", pkt->dataChk));
  else
    out(string_printf("DEBUGD:     dataChk: 0x%4.4X (0x%4.4X)\n", pkt->dataChk, pkt->dataChk_comp));
  out(string_printf("DEBUGD: *********end block mode %s packet********\n", kind));
  return 0;
}

char *status2pf(AltusDatalogger *dl) {
  std::lock_guard<KessaroMutex> hold(dl->stat.status_mutex);
  const AltusStat &s = dl->stat;
  const AltusBlockStatus &st = dl->status;
  double altustm = 0.0;
  altustime2epoch(static_cast<int>(st.systemTime), &altustm);
  std::string t = std::string(dl->target_name ? dl->target_name : "") + " &Arr{\n";
  t += string_printf("st\t%.3f\n", s.laststatus_time);
  t += string_printf("ct\t%.3f\n", s.lastclose_time);
  t += string_printf("et\t%.3f\n", s.lastgetevents_time);
  t += string_printf("etm\t%.3f\n", dl->lasttime);
  t += string_printf("bd\t%.3f\n", s.lastgetevents_baud);
  t += string_printf("er\t%.6f\n", s.lastcom_error_rate);
  t += string_printf("ne\t%d\n", s.nevents_transfered);
  t += string_printf("altustm\t%.3f\n", altustm);
  t += string_printf("altusne\t%d\n", st.events);
  t += string_printf("altuser\t%d\n", st.recordingErrors);
  t += string_printf("altustr\t%d\n", st.triggerStatus);
  t += string_printf("altusbt\t%d\n", st.batteryStatus);
  t += string_printf("altushd\t%d\n", st.hardwareStatus);
  t += string_printf("altusd0\t%d\n", st.driveStatus[0]);
  t += string_printf("altusd1\t%d\n", st.driveStatus[1]);
  t += string_printf("altuscl\t%d\n", st.clockSource);
  t += "}\n";
  return strdup(t.c_str());
}
