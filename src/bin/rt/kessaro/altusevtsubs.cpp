// altusevtsubs.cpp - the Altus header and event-file codec; see altusevtsubs.h.

#include "altusevtsubs.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/bigendian.h"
#include "base/elog.h"
#include "base/littleendian.h"

int altus_hdr_size(int ismw) { return ismw ? ALTUS_HDR_SIZE_MW : ALTUS_HDR_SIZE; }
int altus_hdr_nchan(int ismw) { return ismw ? ALTUS_NCHAN_MW : ALTUS_NCHAN; }
int altus_hdr_nvoter(int ismw) { return ismw ? ALTUS_NVOTER_MW : ALTUS_NVOTER; }

// ---- cursor functions ----

int ev2h1(void *h_ptr, unsigned char **evt_ptr) {
  memcpy(h_ptr, *evt_ptr, 1);
  *evt_ptr += 1;
  return 0;
}

int h2ev1(unsigned char **evt_ptr, const void *h_ptr) {
  memcpy(*evt_ptr, h_ptr, 1);
  *evt_ptr += 1;
  return 0;
}

int ev2h2(void *h_ptr, unsigned char **evt_ptr, int evt_bigendian) {
  const uint16_t v = evt_bigendian ? be_get16(*evt_ptr) : le_get16(*evt_ptr);
  memcpy(h_ptr, &v, 2);
  *evt_ptr += 2;
  return 0;
}

int h2ev2(unsigned char **evt_ptr, const void *h_ptr, int evt_bigendian) {
  uint16_t v;
  memcpy(&v, h_ptr, 2);
  if (evt_bigendian)
    be_put16(*evt_ptr, v);
  else
    le_put16(*evt_ptr, v);
  *evt_ptr += 2;
  return 0;
}

int ev2h4(void *h_ptr, unsigned char **evt_ptr, int evt_bigendian) {
  const uint32_t v = evt_bigendian ? be_get32(*evt_ptr) : le_get32(*evt_ptr);
  memcpy(h_ptr, &v, 4);
  *evt_ptr += 4;
  return 0;
}

int h2ev4(unsigned char **evt_ptr, const void *h_ptr, int evt_bigendian) {
  uint32_t v;
  memcpy(&v, h_ptr, 4);
  if (evt_bigendian)
    be_put32(*evt_ptr, v);
  else
    le_put32(*evt_ptr, v);
  *evt_ptr += 4;
  return 0;
}

int ev2hs(char *h_ptr, unsigned char **evt_ptr, int size) {
  memset(h_ptr, 0, static_cast<size_t>(size) + 1);
  memcpy(h_ptr, *evt_ptr, static_cast<size_t>(size));
  trimblanks(h_ptr);
  *evt_ptr += size;
  return 0;
}

int h2evs(unsigned char **evt_ptr, const char *h_ptr, int size) {
  memcpy(*evt_ptr, h_ptr, static_cast<size_t>(size));
  *evt_ptr += size;
  return 0;
}

int zeromem(unsigned char **ptr, int nbytes) {
  memset(*ptr, 0, static_cast<size_t>(nbytes));
  *ptr += nbytes;
  return 0;
}

int trimblanks(char *string) {
  size_t n = strlen(string);
  while (n > 0 && string[n - 1] == ' ') string[--n] = '\0';
  return 0;
}

int evt_checksum(const unsigned char *ptr, int size) {
  if (size <= 0) return 0;
  if (size > ALTUS_CHECKSUM_CAP) size = ALTUS_CHECKSUM_CAP;
  unsigned int sum = 0;
  for (int i = 0; i < size; i++) sum += ptr[i];
  return static_cast<int>(sum & 0xFFFF);
}

int altustime2epoch(int altustime, double *epoch) {
  *epoch = static_cast<double>(altustime) + ALTUS_EPOCH_OFFSET;
  return 0;
}

// ---- header walk ----

namespace {

// One walk of the nine parts serves both directions: Dec reads each field from the
// cursor, Enc writes it. Reserved runs are read into their record members and written as
// zero; `kept` runs are written back as stored.
struct Dec {
  unsigned char *p;
  int be;
  void f(uint8_t &v) { ev2h1(&v, &p); }
  void f(uint16_t &v) { ev2h2(&v, &p, be); }
  void f(int16_t &v) { ev2h2(&v, &p, be); }
  void f(uint32_t &v) { ev2h4(&v, &p, be); }
  void f(int32_t &v) { ev2h4(&v, &p, be); }
  void f(float &v) { ev2h4(&v, &p, be); }
  void text(char *s, int n) { ev2hs(s, &p, n); }
  void reserved(uint8_t *r, int n) {
    memcpy(r, p, static_cast<size_t>(n));
    p += n;
  }
  void kept(uint8_t *r, int n) { reserved(r, n); }
};

struct Enc {
  unsigned char *p;
  int be;
  void f(const uint8_t &v) { h2ev1(&p, &v); }
  void f(const uint16_t &v) { h2ev2(&p, &v, be); }
  void f(const int16_t &v) { h2ev2(&p, &v, be); }
  void f(const uint32_t &v) { h2ev4(&p, &v, be); }
  void f(const int32_t &v) { h2ev4(&p, &v, be); }
  void f(const float &v) { h2ev4(&p, &v, be); }
  void text(const char *s, int n) { h2evs(&p, s, n); }
  void reserved(const uint8_t *, int n) { zeromem(&p, n); }
  void kept(const uint8_t *r, int n) {
    memcpy(p, r, static_cast<size_t>(n));
    p += n;
  }
};

// ro_misc, 48 bytes:
//  0 u8 a2dBits | 1 u8 sampleBytes | 2 u8 restartSource | 3 3 reserved
//  6 u16 installedChan | 8 u16 maxChannels | 10 u16 sysBlkVersion | 12 u16 bootBlkVersion
// 14 u16 appBlkVersion | 16 u16 dspBlkVersion | 18 i16 batteryVoltage | 20 u16 crc
// 22 u16 flags | 24 i16 temperature | 26 22 reserved
template <class Op, class R>
void walk_ro_misc(Op &op, R &rm) {
  op.f(rm.a2dBits);
  op.f(rm.sampleBytes);
  op.f(rm.restartSource);
  op.reserved(rm.bytePad, 3);
  op.f(rm.installedChan);
  op.f(rm.maxChannels);
  op.f(rm.sysBlkVersion);
  op.f(rm.bootBlkVersion);
  op.f(rm.appBlkVersion);
  op.f(rm.dspBlkVersion);
  op.f(rm.batteryVoltage);
  op.f(rm.crc);
  op.f(rm.flags);
  op.f(rm.temperature);
  op.reserved(rm.bytepad, 22);
}

// ro_timing, 68 bytes:
//  0 u8 clockSource | 1 u8 gpsStatus | 2 u8 gpsSOH | 3 5 reserved | 8 u16 gpsLockFailCount
// 10 u16 gpsUpdateRTCCount | 12 i16 acqDelay | 14 i16 gpsLatitude | 16 i16 gpsLongitude
// 18 i16 gpsAltitude | 20 u16 dacCount | 22 2 reserved | 24 2 x i16 gpsLastDrift
// 28 2 x u32 gpsLastTurnOnTime | 36 2 x u32 gpsLastUpdateTime | 44 2 x u32 gpsLastLockTime
// 52 16 reserved
template <class Op, class R>
void walk_ro_timing(Op &op, R &rt) {
  op.f(rt.clockSource);
  op.f(rt.gpsStatus);
  op.f(rt.gpsSOH);
  op.reserved(rt.bytePad, 5);
  op.f(rt.gpsLockFailCount);
  op.f(rt.gpsUpdateRTCCount);
  op.f(rt.acqDelay);
  op.f(rt.gpsLatitude);
  op.f(rt.gpsLongitude);
  op.f(rt.gpsAltitude);
  op.f(rt.dacCount);
  op.reserved(rt.wordpad, 2);
  for (auto &v : rt.gpsLastDrift) op.f(v);
  for (auto &v : rt.gpsLastTurnOnTime) op.f(v);
  for (auto &v : rt.gpsLastUpdateTime) op.f(v);
  for (auto &v : rt.gpsLastLockTime) op.f(v);
  op.reserved(rt.dwordpad, 16);
}

// ro_channel, 36 bytes each:
//  0 i32 maxPeak | 4 u32 maxPeakOffset | 8 i32 minPeak | 12 u32 minPeakOffset
// 16 i32 mean | 20 i32 aqOffset | 24 12 reserved
template <class Op, class R>
void walk_ro_channel(Op &op, R &rc) {
  op.f(rc.maxPeak);
  op.f(rc.maxPeakOffset);
  op.f(rc.minPeak);
  op.f(rc.minPeakOffset);
  op.f(rc.mean);
  op.f(rc.aqOffset);
  op.reserved(rc.bytepad, 12);
}

// ro_stream, 32 bytes:
//  0 u32 startTime | 4 u32 triggerTime | 8 u32 duration | 12 u16 errors | 14 u16 flags
// 16 u16 startTimeMsec | 18 u16 triggerTimeMsec | 20 u32 nscans | 24 u32 triggerBitMap
// 28 4 reserved
template <class Op, class R>
void walk_ro_stream(Op &op, R &rs) {
  op.f(rs.startTime);
  op.f(rs.triggerTime);
  op.f(rs.duration);
  op.f(rs.errors);
  op.f(rs.flags);
  op.f(rs.startTimeMsec);
  op.f(rs.triggerTimeMsec);
  op.f(rs.nscans);
  op.f(rs.triggerBitMap);
  op.reserved(rs.pad, 4);
}

// rw_misc, 92 bytes:
//  0 u16 serialNumber | 2 u16 nchannels | 4 text 5 stnID | 9 text 33 comment
// 42 i16 elevation | 44 f32 latitude | 48 f32 longitude | 52 4 x i16 userCodes
// 60 u8 cutlerCode | 61 u8 minBatteryVoltage | 62 u8 cutler_decimation
// 63 u8 cutler_irig_type | 64 u32 cutler_bitmap | 68 u32 channel_bitmap
// 72 u8 cutler_protocol | 73 text 17 siteID | 90 u8 externalTrigger | 91 u8 networkFlag
template <class Op, class R>
void walk_rw_misc(Op &op, R &wm) {
  op.f(wm.serialNumber);
  op.f(wm.nchannels);
  op.text(wm.stnID, 5);
  op.text(wm.comment, 33);
  op.f(wm.elevation);
  op.f(wm.latitude);
  op.f(wm.longitude);
  for (auto &v : wm.userCodes) op.f(v);
  op.f(wm.cutlerCode);
  op.f(wm.minBatteryVoltage);
  op.f(wm.cutler_decimation);
  op.f(wm.cutler_irig_type);
  op.f(wm.cutler_bitmap);
  op.f(wm.channel_bitmap);
  op.f(wm.cutler_protocol);
  op.text(wm.siteID, 17);
  op.f(wm.externalTrigger);
  op.f(wm.networkFlag);
}

// rw_timing, 32 bytes:
//  0 u8 gpsTurnOnInterval | 1 u8 gpsMaxTurnOnTime | 2 6 reserved | 8 i16 localOffset
// 10 22 reserved
template <class Op, class R>
void walk_rw_timing(Op &op, R &wt) {
  op.f(wt.gpsTurnOnInterval);
  op.f(wt.gpsMaxTurnOnTime);
  op.reserved(wt.bytepad, 6);
  op.f(wt.localOffset);
  op.reserved(wt.bytepada, 22);
}

// rw_channel, 76 bytes each:
//  0 text 5 id | 5 1 reserved | 6 u16 sensorSerialNumberExt | 8 i16 north | 10 i16 east
// 12 i16 up | 14 i16 altitude | 16 i16 azimuth | 18 u16 sensorType
// 20 u16 sensorSerialNumber | 22 u16 gain | 24 u8 triggerType | 25 u8 iirTriggerFilter
// 26 u8 StaSeconds | 27 u8 LtaSeconds | 28 u16 StaLtaRatio | 30 u8 StaLtaPercent
// 31 1 reserved | 32 f32 fullscale | 36 f32 sensitivity | 40 f32 damping
// 44 f32 naturalFrequency | 48 f32 triggerThreshold | 52 f32 detriggerThreshold
// 56 f32 alarmTriggerThreshold | 60 16 reserved
template <class Op, class R>
void walk_rw_channel(Op &op, R &wc) {
  op.text(wc.id, 5);
  op.reserved(&wc.bytepad, 1);
  op.f(wc.sensorSerialNumberExt);
  op.f(wc.north);
  op.f(wc.east);
  op.f(wc.up);
  op.f(wc.altitude);
  op.f(wc.azimuth);
  op.f(wc.sensorType);
  op.f(wc.sensorSerialNumber);
  op.f(wc.gain);
  op.f(wc.triggerType);
  op.f(wc.iirTriggerFilter);
  op.f(wc.StaSeconds);
  op.f(wc.LtaSeconds);
  op.f(wc.StaLtaRatio);
  op.f(wc.StaLtaPercent);
  op.reserved(&wc.bytepada, 1);
  op.f(wc.fullscale);
  op.f(wc.sensitivity);
  op.f(wc.damping);
  op.f(wc.naturalFrequency);
  op.f(wc.triggerThreshold);
  op.f(wc.detriggerThreshold);
  op.f(wc.alarmTriggerThreshold);
  op.reserved(wc.bytepad2, 16);
}

// rw_stream, 48 bytes + 4 per voter entry:
//  0 u8 filterFlag | 1 u8 primaryStorage | 2 u8 secondaryStorage | 3 3 reserved
//  6 u16 CheckinTime | 8 u16 eventNumber | 10 u16 sps | 12 u16 apw | 14 u16 preEvent
// 16 u16 postEvent | 18 u16 minRunTime | 20 i16 VotesToTrigger | 22 i16 VotesToDetrigger
// 24 1 reserved | 25 u8 FilterType | 26 u8 DataFmt | 27 1 reserved | 28 i16 Timeout
// 30 u16 TxBlkSize | 32 u16 BufferSize | 34 u16 SampleRate | 36 u32 TxChanMap
// 40 8 reserved | 48 voterInfo: u8 type, u8 number, i16 weight
template <class Op, class R>
void walk_rw_stream(Op &op, R &ws, int nvoter) {
  op.f(ws.filterFlag);
  op.f(ws.primaryStorage);
  op.f(ws.secondaryStorage);
  op.reserved(ws.bytepad, 3);
  op.f(ws.CheckinTime);
  op.f(ws.eventNumber);
  op.f(ws.sps);
  op.f(ws.apw);
  op.f(ws.preEvent);
  op.f(ws.postEvent);
  op.f(ws.minRunTime);
  op.f(ws.VotesToTrigger);
  op.f(ws.VotesToDetrigger);
  op.reserved(&ws.bytepada, 1);
  op.f(ws.FilterType);
  op.f(ws.DataFmt);
  op.reserved(&ws.Reserved, 1);
  op.f(ws.Timeout);
  op.f(ws.TxBlkSize);
  op.f(ws.BufferSize);
  op.f(ws.SampleRate);
  op.f(ws.TxChanMap);
  op.reserved(ws.dwordpad, 8);
  for (int v = 0; v < nvoter; v++) {
    op.f(ws.voterInfo[v].type);
    op.f(ws.voterInfo[v].number);
    op.f(ws.voterInfo[v].weight);
  }
}

// rw_modem, 308 bytes:
//   0 text 64 initCmd | 64 text 16 dialingPrefix | 80 text 16 dialingSuffix
//  96 text 16 hangupCmd | 112 text 16 autoAnswerOnCmd | 128 text 16 autoAnswerOffCmd
// 144 4 x text 24 phoneNumber | 240 u8 waitForConnection | 241 u8 pauseBetweenCalls
// 242 u8 maxDialAttempts | 243 u8 cellShare | 244 u8 cellOnTime | 245 u8 cellWarmupTime
// 246 5 x i16 cellStartTime | 256 u8 bytepad0 (kept) | 257 u8 complete_call
// 258 2 reserved | 260 u16 flags | 262 text 46 calloutMsg
template <class Op, class R>
void walk_rw_modem(Op &op, R &md) {
  op.text(md.initCmd, 64);
  op.text(md.dialingPrefix, 16);
  op.text(md.dialingSuffix, 16);
  op.text(md.hangupCmd, 16);
  op.text(md.autoAnswerOnCmd, 16);
  op.text(md.autoAnswerOffCmd, 16);
  for (auto &pn : md.phoneNumber) op.text(pn, 24);
  op.f(md.waitForConnection);
  op.f(md.pauseBetweenCalls);
  op.f(md.maxDialAttempts);
  op.f(md.cellShare);
  op.f(md.cellOnTime);
  op.f(md.cellWarmupTime);
  for (auto &v : md.cellStartTime) op.f(v);
  op.kept(&md.bytepad0, 1);
  op.f(md.complete_call);
  op.reserved(md.bytepad, 2);
  op.f(md.flags);
  op.text(md.calloutMsg, 46);
}

// H is AltusEvtFile or const AltusEvtFile; the walk starts just behind the prefix.
template <class Op, class H>
void walk_header(Op &op, H *h, int ismw) {
  const int nchan = altus_hdr_nchan(ismw);
  const int nvoter = altus_hdr_nvoter(ismw);
  walk_ro_misc(op, h->ro_misc);
  walk_ro_timing(op, h->ro_timing);
  for (int c = 0; c < nchan; c++) walk_ro_channel(op, h->ro_channel[c]);
  walk_ro_stream(op, h->ro_stream);
  walk_rw_misc(op, h->rw_misc);
  walk_rw_timing(op, h->rw_timing);
  for (int c = 0; c < nchan; c++) walk_rw_channel(op, h->rw_channel[c]);
  walk_rw_stream(op, h->rw_stream, nvoter);
  walk_rw_modem(op, h->rw_modem);
}

// Takes one item of `size` bytes: over a stream into `local` (ALTUS_STREAM_ITEM_MAX
// bytes), else at the cursor, which is advanced past the item but never past `end`.
// Sets *item to the bytes. -1 (registered, naming `who`) when the item cannot be had.
int take_item(FILE *file, unsigned char **buf_ptr, const unsigned char *end, int size,
              unsigned char *local, unsigned char **item, const char *who) {
  if (size < 0) {
    elog_log(0, "%s: negative item size (%d).\n", who, size);
    return -1;
  }
  if (file != nullptr) {
    if (size > ALTUS_STREAM_ITEM_MAX) {
      elog_log(0, "%s: item of %d bytes exceeds the %d-byte buffer.\n", who, size,
               ALTUS_STREAM_ITEM_MAX);
      return -1;
    }
    if (size > 0 && fread(local, static_cast<size_t>(size), 1, file) != 1) {
      elog_log(1, "%s: fread() error.\n", who);
      return -1;
    }
    *item = local;
    return 0;
  }
  unsigned char *p = *buf_ptr;
  if (p == nullptr || end == nullptr || p > end) {
    elog_log(0, "%s: no buffer.\n", who);
    return -1;
  }
  size_t left = static_cast<size_t>(end - p);
  if (static_cast<size_t>(size) > left) {
    *buf_ptr = p + left;
    elog_log(0, "%s: item of %d bytes runs past the end of the buffer (%zu bytes left).\n", who,
             size, left);
    return -1;
  }
  *buf_ptr = p + size;
  *item = p;
  return 0;
}

}  // namespace

int evt_decodealtusheader(unsigned char *buf_ptr, AltusEvtFile *hdr, int evt_bigendian, int ismw) {
  Dec d{buf_ptr, evt_bigendian};
  walk_header(d, hdr, ismw);
  return 0;
}

int evt_encodealtusheader(unsigned char *buf_ptr, const AltusEvtFile *hdr, int evt_bigendian,
                          int ismw) {
  Enc e{buf_ptr, evt_bigendian};
  walk_header(e, hdr, ismw);
  return 0;
}

int evt_encodealtusfilehdr(const AltusEvtFile *fhdr, unsigned char *buffer, int evt_bigendian,
                           int ismw) {
  unsigned char *p = buffer;
  h2evs(&p, fhdr->id, 3);
  h2ev1(&p, &fhdr->instrumentCode);
  h2ev2(&p, &fhdr->headerVersion, evt_bigendian);
  h2ev2(&p, &fhdr->headerBytes, evt_bigendian);
  return evt_encodealtusheader(p, fhdr, evt_bigendian, ismw);
}

int evt_samealtusheader(const AltusEvtFile *a, const AltusEvtFile *b, int ismw) {
  unsigned char ea[ALTUS_HDR_SIZE_MW];
  unsigned char eb[ALTUS_HDR_SIZE_MW];
  evt_encodealtusfilehdr(a, ea, 1, ismw);
  evt_encodealtusfilehdr(b, eb, 1, ismw);
  return memcmp(ea, eb, static_cast<size_t>(altus_hdr_size(ismw))) == 0 ? 1 : 0;
}

int evt_readtag(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end, AltusEvtTag *tag,
                int *evt_bigendian, int *size, int *datasize, unsigned short *chk) {
  unsigned char local[ALTUS_EVTTAG_SIZE];
  unsigned char *p = nullptr;
  if (file != nullptr) {
    if (fread(local, ALTUS_EVTTAG_SIZE, 1, file) != 1) {
      elog_log(1, "evt_readtag: fread() error.\n");
      return -1;
    }
    p = local;
  } else if (take_item(nullptr, buf_ptr, buf_end, ALTUS_EVTTAG_SIZE, nullptr, &p, "evt_readtag") <
             0) {
    return -1;
  }
  if (p[0] != 'K') {
    elog_log(0, "evt_readtag: Missing 'K' sync character.\n");
    return -1;
  }
  ev2h1(&tag->sync, &p);
  ev2h1(&tag->byteOrder, &p);
  ev2h1(&tag->version, &p);
  ev2h1(&tag->instrumentType, &p);
  int be = tag->byteOrder;
  ev2h4(&tag->type, &p, be);
  ev2h2(&tag->length, &p, be);
  ev2h2(&tag->dataLength, &p, be);
  ev2h2(&tag->id, &p, be);
  ev2h2(&tag->checksum, &p, be);
  *evt_bigendian = tag->byteOrder;
  *size = tag->length;
  *datasize = tag->dataLength;
  *chk = tag->checksum;
  return 0;
}

int evt_readaltusfilehdr(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                         AltusEvtFile *fhdr, int expected_size, int evt_bigendian, int ismw,
                         unsigned short *computed_checksum, int *nframes) {
  unsigned char local[ALTUS_STREAM_ITEM_MAX];
  unsigned char *p = nullptr;
  if (take_item(file, buf_ptr, buf_end, expected_size, local, &p, "evt_readaltusfilehdr") < 0)
    return -1;
  *computed_checksum = static_cast<unsigned short>(evt_checksum(p, expected_size));
  if (expected_size < ALTUS_HDR_PREFIX_SIZE) {
    elog_log(0, "evt_readaltusfilehdr: expected_size (%d) is shorter than the header prefix.\n",
             expected_size);
    return -1;
  }
  if (memcmp(p, "KMI", 3) != 0) {
    elog_log(0, "evt_readaltusfilehdr: Missing 'KMI' sync characters.\n");
    return -1;
  }
  ev2hs(fhdr->id, &p, 3);
  ev2h1(&fhdr->instrumentCode, &p);
  ev2h2(&fhdr->headerVersion, &p, evt_bigendian);
  ev2h2(&fhdr->headerBytes, &p, evt_bigendian);
  if (fhdr->headerBytes != expected_size) {
    elog_log(0, "evt_readaltusfilehdr: headerBytes (%d) not consistant with expected_size (%d).\n",
             fhdr->headerBytes, expected_size);
    return -1;
  }
  // A header of the other layout would be decoded with the wrong channel count (or past
  // its end), so the size must be that of the layout the caller asked for.
  if (expected_size != altus_hdr_size(ismw)) {
    elog_log(0,
             "evt_readaltusfilehdr: header of %d bytes does not fit the %d-channel layout "
             "(%d bytes).\n",
             expected_size, altus_hdr_nchan(ismw), altus_hdr_size(ismw));
    return -1;
  }
  evt_decodealtusheader(p, fhdr, evt_bigendian, ismw);
  *nframes = static_cast<int>(fhdr->ro_stream.duration & INT_MAX);
  if (fhdr->ro_stream.duration > static_cast<uint32_t>(INT_MAX)) *nframes = INT_MAX;
  return 0;
}

int evt_readframehdr(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                     AltusEvtFrame *fhdr, int expected_size, int evt_bigendian,
                     unsigned short *computed_checksum) {
  unsigned char local[ALTUS_STREAM_ITEM_MAX];
  unsigned char *p = nullptr;
  if (take_item(file, buf_ptr, buf_end, expected_size, local, &p, "evt_readframehdr") < 0)
    return -1;
  *computed_checksum = static_cast<unsigned short>(evt_checksum(p, expected_size));
  if (expected_size < ALTUS_FRAMEHDR_SIZE) {
    elog_log(0, "evt_readframehdr: frame header of %d bytes is shorter than %d.\n", expected_size,
             ALTUS_FRAMEHDR_SIZE);
    return -1;
  }
  // 0 u8 frameType | 1 u8 instrumentCode | 2 u16 recorderID | 4 u16 frameSize
  // 6 u32 blockTime | 10 u16 channelBitMap | 12 u16 streamPar | 14 u8 frameStatus
  // 15 u8 frameStatus2 | 16 u16 msec | 18 u8 channelBitMap1 | 19 13 timeCode (as stored)
  const int be = evt_bigendian;
  ev2h1(&fhdr->frameType, &p);
  ev2h1(&fhdr->instrumentCode, &p);
  ev2h2(&fhdr->recorderID, &p, be);
  ev2h2(&fhdr->frameSize, &p, be);
  ev2h4(&fhdr->blockTime, &p, be);
  ev2h2(&fhdr->channelBitMap, &p, be);
  ev2h2(&fhdr->streamPar, &p, be);
  ev2h1(&fhdr->frameStatus, &p);
  ev2h1(&fhdr->frameStatus2, &p);
  ev2h2(&fhdr->msec, &p, be);
  ev2h1(&fhdr->channelBitMap1, &p);
  memcpy(fhdr->timeCode, p, sizeof fhdr->timeCode);
  return 0;
}

namespace {

// Bytes of one sample for a header's sampleBytes: 1, 2, 3, else 4.
int sample_width(int sample_bytes) {
  return (sample_bytes >= 1 && sample_bytes <= 3) ? sample_bytes : 4;
}

int32_t read_sample(const unsigned char *p, int width, int be) {
  switch (width) {
    case 1:
      return p[0];
    case 2: {
      uint16_t u =
          be ? static_cast<uint16_t>(p[0] << 8 | p[1]) : static_cast<uint16_t>(p[1] << 8 | p[0]);
      return static_cast<int16_t>(u);
    }
    case 3: {
      uint32_t u = be ? (uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2])
                      : (uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
      if (u & 0x800000u) u |= 0xFF000000u;
      return static_cast<int32_t>(u);
    }
    default: {
      uint32_t u = be ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                      : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
      return static_cast<int32_t>(u);
    }
  }
}

// The checks a frame's data must pass to be unpacked into the matrix; `scans_before` is
// the count of scans of the frames ahead of it. Sets *frame_scans. -1 with the reason
// registered under `who`.
int check_frame_data(const AltusEvtFile *h, int datasize, long long scans_before, int frame,
                     long long *frame_scans, const char *who) {
  *frame_scans = 0;
  if (datasize == 0) return 0;
  const int nchans = h->rw_misc.nchannels;
  const int layout_nchan = h->headerBytes == ALTUS_HDR_SIZE_MW ? ALTUS_NCHAN_MW : ALTUS_NCHAN;
  if (nchans == 0 || nchans > layout_nchan) {
    elog_log(0, "%s: nchannels (%d) cannot carry the data of frame %d.\n", who, nchans, frame);
    return -1;
  }
  const int scan_bytes = nchans * sample_width(h->ro_misc.sampleBytes);
  if (datasize % scan_bytes != 0) {
    elog_log(0, "%s: data of frame %d (%d bytes) do not end on a whole scan of %d bytes.\n", who,
             frame, datasize, scan_bytes);
    return -1;
  }
  *frame_scans = datasize / scan_bytes;
  if (scans_before + *frame_scans > static_cast<long long>(h->ro_stream.nscans)) {
    elog_log(0, "%s: frame %d holds more scans than nscans (%u).\n", who, frame,
             h->ro_stream.nscans);
    return -1;
  }
  return 0;
}

// The caller's matrix buffer grown to `needed` bytes (allocated when none). 0, or -1.
int grow_matrix(int **dataout, int *dataout_size, unsigned long long needed) {
  if (*dataout == nullptr) {
    void *m = malloc(needed > 0 ? needed : 1);
    if (m == nullptr) {
      elog_log(1, "evt_demuxdata: malloc() error.\n");
      return -1;
    }
    *dataout = static_cast<int *>(m);
    *dataout_size = static_cast<int>(needed);
  } else if (*dataout_size < static_cast<int>(needed)) {
    void *m = realloc(*dataout, needed);
    if (m == nullptr) {
      elog_log(1, "evt_demuxdata: realloc() error.\n");
      return -1;
    }
    *dataout = static_cast<int *>(m);
    *dataout_size = static_cast<int>(needed);
  }
  return 0;
}

// Frame `fno`: its tag and header read, its data taken (into `local` from a stream) and
// the sum of header and data checked. 0 with *data, *datasize and the byte order, or -1.
int read_data_frame(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                    unsigned char *local, int fno, unsigned char **data, int *datasize, int *be) {
  AltusEvtTag tag;
  int size = 0;
  unsigned short chk = 0, hdrsum = 0;
  if (evt_readtag(file, buf_ptr, buf_end, &tag, be, &size, datasize, &chk) < 0) {
    elog_log(0, "evt_demuxdata: evt_readtag() error at frame %d.\n", fno);
    return -1;
  }
  AltusEvtFrame frame;
  if (evt_readframehdr(file, buf_ptr, buf_end, &frame, size, *be, &hdrsum) < 0) {
    elog_log(0, "evt_demuxdata: evt_readframehdr() error at frame %d.\n", fno);
    return -1;
  }
  if (take_item(file, buf_ptr, buf_end, *datasize, local, data, "evt_demuxdata") < 0) {
    elog_log(file != nullptr ? 1 : 0, "evt_demuxdata: fread() error at frame %d.\n", fno);
    return -1;
  }
  if (((hdrsum + evt_checksum(*data, *datasize)) & 0xFFFF) != chk) {
    elog_log(0, "evt_demuxdata: checksum error on Altus file header at frame %d.\n", fno);
    return -1;
  }
  return 0;
}

}  // namespace

int evt_demuxdata(FILE *file, unsigned char **buf_ptr, const unsigned char *buf_end,
                  const AltusEvtFile *fhdr, int *nsamps, int *nchans, int **dataout,
                  int *dataout_size) {
  const int nch = fhdr->rw_misc.nchannels;
  const int width = sample_width(fhdr->ro_misc.sampleBytes);
  *nchans = nch;
  *nsamps = 0;
  // Scans the matrix must hold: nscans, but from memory no more than the bytes left can
  // carry, so a hostile nscans cannot ask for a huge matrix.
  unsigned long long room = fhdr->ro_stream.nscans;
  if (file == nullptr && nch > 0 && buf_ptr != nullptr && *buf_ptr != nullptr &&
      buf_end != nullptr && *buf_ptr <= buf_end) {
    unsigned long long fit = static_cast<unsigned long long>(buf_end - *buf_ptr) /
                             static_cast<unsigned long long>(nch * width);
    if (fit < room) room = fit;
  }
  unsigned long long needed = room * static_cast<unsigned long long>(nch) * 4u;
  if (needed > static_cast<unsigned long long>(INT_MAX)) {
    elog_log(0, "evt_demuxdata: a matrix of %llu bytes is too large.\n", needed);
    return -1;
  }
  if (grow_matrix(dataout, dataout_size, needed) != 0) return -1;
  int *out = *dataout;
  const long long stride = static_cast<long long>(room);

  unsigned char local[ALTUS_STREAM_ITEM_MAX];
  long long scan = 0;
  const uint32_t nframes = fhdr->ro_stream.duration;
  for (uint32_t f = 1; f <= nframes && f != 0; f++) {
    const int fno = static_cast<int>(f > static_cast<uint32_t>(INT_MAX) ? INT_MAX : f);
    unsigned char *data = nullptr;
    int be = 0, datasize = 0;
    if (read_data_frame(file, buf_ptr, buf_end, local, fno, &data, &datasize, &be) != 0) return -1;
    long long fscans = 0;
    if (check_frame_data(fhdr, datasize, scan, fno, &fscans, "evt_demuxdata") < 0) return -1;
    if (scan + fscans > stride) {
      // Only from a stream longer than the memory bound; cannot happen from memory.
      elog_log(0, "evt_demuxdata: frame %d runs past the matrix.\n", fno);
      return -1;
    }
    const unsigned char *p = data;
    for (long long s = 0; s < fscans; s++, scan++) {
      for (int c = 0; c < nch; c++, p += width) out[c * stride + scan] = read_sample(p, width, be);
    }
  }
  // Lay the matrix out by the scans actually filled: channel c moves down from c x stride
  // to c x scan, in channel order, so nothing is overwritten before it is moved.
  if (scan < stride) {
    for (int c = 1; c < nch; c++) {
      memmove(out + c * scan, out + c * stride, static_cast<size_t>(scan) * sizeof(int));
    }
  }
  *nsamps = static_cast<int>(scan);
  return 0;
}

int check_evt_file(unsigned char *fbuf, int nbytes, int ismw) {
  if (fbuf == nullptr || nbytes < 0) {
    elog_log(0, "check_evt_file: evt_readtag() error\n");
    return -1;
  }
  unsigned char *p = fbuf;
  const unsigned char *end = fbuf + nbytes;
  AltusEvtTag tag;
  int be = 0, size = 0, datasize = 0;
  unsigned short chk = 0, sum = 0;
  if (evt_readtag(nullptr, &p, end, &tag, &be, &size, &datasize, &chk) < 0) {
    elog_log(0, "check_evt_file: evt_readtag() error\n");
    return -1;
  }
  if (size > end - p) {
    elog_log(0, "check_evt_file: Illegal Altus file header size (%d).\n", size);
    return -1;
  }
  AltusEvtFile hdr;
  int nframes = 0;
  if (evt_readaltusfilehdr(nullptr, &p, end, &hdr, size, be, ismw, &sum, &nframes) < 0) {
    elog_log(0, "check_evt_file: evt_readaltusfilehdr() error\n");
    return -1;
  }
  if (sum != chk) {
    elog_log(0, "check_evt_file: Checksum error on Altus file header\n");
    return -1;
  }
  long long scans = 0;
  for (int n = 1; n <= nframes; n++) {
    if (evt_readtag(nullptr, &p, end, &tag, &be, &size, &datasize, &chk) < 0) {
      elog_log(0, "check_evt_file: evt_readtag() error on frame %d\n", n);
      return -1;
    }
    if (size > end - p) {
      elog_log(0, "check_evt_file: Illegal Altus frame header size (%d) for frame %d.\n", size, n);
      return -1;
    }
    AltusEvtFrame frame;
    if (evt_readframehdr(nullptr, &p, end, &frame, size, be, &sum) < 0) {
      elog_log(0, "check_evt_file: evt_readframehdr() error at frame %d.\n", n);
      return -1;
    }
    if (datasize > end - p) {
      elog_log(0, "check_evt_file: Illegal Altus frame data size (%d) for frame %d.\n", datasize,
               n);
      return -1;
    }
    if (((sum + evt_checksum(p, datasize)) & 0xFFFF) != chk) {
      elog_log(0, "check_evt_file: checksum error on Altus data frame %d.\n", n);
      return -1;
    }
    long long fscans = 0;
    if (check_frame_data(&hdr, datasize, scans, n, &fscans, "check_evt_file") < 0) return -1;
    scans += fscans;
    p += datasize;
  }
  return 0;
}
