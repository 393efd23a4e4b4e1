// Tests of the Altus header and event-file codec against the simulator's writer, which is
// written apart from it: hand-placed header fields, both byte orders, every sample width,
// damaged files and hostile sizes.

#include "altusevtsubs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "altussim_evtwriter.h"
#include "testkit/testkit.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Every field of a decoded header by the writer's names.
struct Named {
  std::map<std::string, double> numbers;
  std::map<std::string, std::string> texts;
};

Named name_fields(const AltusEvtFile &h, int ismw) {
  Named n;
  auto N = [&](const std::string &k, double v) { n.numbers[k] = v; };
  auto T = [&](const std::string &k, const char *v) { n.texts[k] = v; };
  auto idx = [](const std::string &k, int i) { return k + "[" + std::to_string(i) + "]"; };
  T("prefix.id", h.id);
  N("prefix.instrumentCode", h.instrumentCode);
  N("prefix.headerVersion", h.headerVersion);
  N("prefix.headerBytes", h.headerBytes);
  const auto &rm = h.ro_misc;
  N("ro_misc.a2dBits", rm.a2dBits);
  N("ro_misc.sampleBytes", rm.sampleBytes);
  N("ro_misc.restartSource", rm.restartSource);
  N("ro_misc.installedChan", rm.installedChan);
  N("ro_misc.maxChannels", rm.maxChannels);
  N("ro_misc.sysBlkVersion", rm.sysBlkVersion);
  N("ro_misc.bootBlkVersion", rm.bootBlkVersion);
  N("ro_misc.appBlkVersion", rm.appBlkVersion);
  N("ro_misc.dspBlkVersion", rm.dspBlkVersion);
  N("ro_misc.batteryVoltage", rm.batteryVoltage);
  N("ro_misc.crc", rm.crc);
  N("ro_misc.flags", rm.flags);
  N("ro_misc.temperature", rm.temperature);
  const auto &rt = h.ro_timing;
  N("ro_timing.clockSource", rt.clockSource);
  N("ro_timing.gpsStatus", rt.gpsStatus);
  N("ro_timing.gpsSOH", rt.gpsSOH);
  N("ro_timing.gpsLockFailCount", rt.gpsLockFailCount);
  N("ro_timing.gpsUpdateRTCCount", rt.gpsUpdateRTCCount);
  N("ro_timing.acqDelay", rt.acqDelay);
  N("ro_timing.gpsLatitude", rt.gpsLatitude);
  N("ro_timing.gpsLongitude", rt.gpsLongitude);
  N("ro_timing.gpsAltitude", rt.gpsAltitude);
  N("ro_timing.dacCount", rt.dacCount);
  for (int i = 0; i < 2; i++) {
    N(idx("ro_timing.gpsLastDrift", i), rt.gpsLastDrift[i]);
    N(idx("ro_timing.gpsLastTurnOnTime", i), rt.gpsLastTurnOnTime[i]);
    N(idx("ro_timing.gpsLastUpdateTime", i), rt.gpsLastUpdateTime[i]);
    N(idx("ro_timing.gpsLastLockTime", i), rt.gpsLastLockTime[i]);
  }
  const int nchan = ismw ? 18 : 12;
  for (int c = 0; c < nchan; c++) {
    const auto &r = h.ro_channel[c];
    std::string p = "ro_channel[" + std::to_string(c) + "].";
    N(p + "maxPeak", r.maxPeak);
    N(p + "maxPeakOffset", r.maxPeakOffset);
    N(p + "minPeak", r.minPeak);
    N(p + "minPeakOffset", r.minPeakOffset);
    N(p + "mean", r.mean);
    N(p + "aqOffset", r.aqOffset);
  }
  const auto &rs = h.ro_stream;
  N("ro_stream.startTime", rs.startTime);
  N("ro_stream.triggerTime", rs.triggerTime);
  N("ro_stream.duration", rs.duration);
  N("ro_stream.errors", rs.errors);
  N("ro_stream.flags", rs.flags);
  N("ro_stream.startTimeMsec", rs.startTimeMsec);
  N("ro_stream.triggerTimeMsec", rs.triggerTimeMsec);
  N("ro_stream.nscans", rs.nscans);
  N("ro_stream.triggerBitMap", rs.triggerBitMap);
  const auto &m = h.rw_misc;
  N("rw_misc.serialNumber", m.serialNumber);
  N("rw_misc.nchannels", m.nchannels);
  T("rw_misc.stnID", m.stnID);
  T("rw_misc.comment", m.comment);
  N("rw_misc.elevation", m.elevation);
  N("rw_misc.latitude", m.latitude);
  N("rw_misc.longitude", m.longitude);
  for (int i = 0; i < 4; i++) N(idx("rw_misc.userCodes", i), m.userCodes[i]);
  N("rw_misc.cutlerCode", m.cutlerCode);
  N("rw_misc.minBatteryVoltage", m.minBatteryVoltage);
  N("rw_misc.cutler_decimation", m.cutler_decimation);
  N("rw_misc.cutler_irig_type", m.cutler_irig_type);
  N("rw_misc.cutler_bitmap", m.cutler_bitmap);
  N("rw_misc.channel_bitmap", m.channel_bitmap);
  N("rw_misc.cutler_protocol", m.cutler_protocol);
  T("rw_misc.siteID", m.siteID);
  N("rw_misc.externalTrigger", m.externalTrigger);
  N("rw_misc.networkFlag", m.networkFlag);
  N("rw_timing.gpsTurnOnInterval", h.rw_timing.gpsTurnOnInterval);
  N("rw_timing.gpsMaxTurnOnTime", h.rw_timing.gpsMaxTurnOnTime);
  N("rw_timing.localOffset", h.rw_timing.localOffset);
  for (int c = 0; c < nchan; c++) {
    const auto &r = h.rw_channel[c];
    std::string p = "rw_channel[" + std::to_string(c) + "].";
    T(p + "id", r.id);
    N(p + "sensorSerialNumberExt", r.sensorSerialNumberExt);
    N(p + "north", r.north);
    N(p + "east", r.east);
    N(p + "up", r.up);
    N(p + "altitude", r.altitude);
    N(p + "azimuth", r.azimuth);
    N(p + "sensorType", r.sensorType);
    N(p + "sensorSerialNumber", r.sensorSerialNumber);
    N(p + "gain", r.gain);
    N(p + "triggerType", r.triggerType);
    N(p + "iirTriggerFilter", r.iirTriggerFilter);
    N(p + "StaSeconds", r.StaSeconds);
    N(p + "LtaSeconds", r.LtaSeconds);
    N(p + "StaLtaRatio", r.StaLtaRatio);
    N(p + "StaLtaPercent", r.StaLtaPercent);
    N(p + "fullscale", r.fullscale);
    N(p + "sensitivity", r.sensitivity);
    N(p + "damping", r.damping);
    N(p + "naturalFrequency", r.naturalFrequency);
    N(p + "triggerThreshold", r.triggerThreshold);
    N(p + "detriggerThreshold", r.detriggerThreshold);
    N(p + "alarmTriggerThreshold", r.alarmTriggerThreshold);
  }
  const auto &s = h.rw_stream;
  N("rw_stream.filterFlag", s.filterFlag);
  N("rw_stream.primaryStorage", s.primaryStorage);
  N("rw_stream.secondaryStorage", s.secondaryStorage);
  N("rw_stream.CheckinTime", s.CheckinTime);
  N("rw_stream.eventNumber", s.eventNumber);
  N("rw_stream.sps", s.sps);
  N("rw_stream.apw", s.apw);
  N("rw_stream.preEvent", s.preEvent);
  N("rw_stream.postEvent", s.postEvent);
  N("rw_stream.minRunTime", s.minRunTime);
  N("rw_stream.VotesToTrigger", s.VotesToTrigger);
  N("rw_stream.VotesToDetrigger", s.VotesToDetrigger);
  N("rw_stream.FilterType", s.FilterType);
  N("rw_stream.DataFmt", s.DataFmt);
  N("rw_stream.Timeout", s.Timeout);
  N("rw_stream.TxBlkSize", s.TxBlkSize);
  N("rw_stream.BufferSize", s.BufferSize);
  N("rw_stream.SampleRate", s.SampleRate);
  N("rw_stream.TxChanMap", s.TxChanMap);
  for (int v = 0; v < (ismw ? 21 : 15); v++) {
    std::string p = "rw_stream.voterInfo[" + std::to_string(v) + "].";
    N(p + "type", s.voterInfo[v].type);
    N(p + "number", s.voterInfo[v].number);
    N(p + "weight", s.voterInfo[v].weight);
  }
  const auto &md = h.rw_modem;
  T("rw_modem.initCmd", md.initCmd);
  T("rw_modem.dialingPrefix", md.dialingPrefix);
  T("rw_modem.dialingSuffix", md.dialingSuffix);
  T("rw_modem.hangupCmd", md.hangupCmd);
  T("rw_modem.autoAnswerOnCmd", md.autoAnswerOnCmd);
  T("rw_modem.autoAnswerOffCmd", md.autoAnswerOffCmd);
  for (int i = 0; i < 4; i++) T(idx("rw_modem.phoneNumber", i), md.phoneNumber[i]);
  N("rw_modem.waitForConnection", md.waitForConnection);
  N("rw_modem.pauseBetweenCalls", md.pauseBetweenCalls);
  N("rw_modem.maxDialAttempts", md.maxDialAttempts);
  N("rw_modem.cellShare", md.cellShare);
  N("rw_modem.cellOnTime", md.cellOnTime);
  N("rw_modem.cellWarmupTime", md.cellWarmupTime);
  for (int i = 0; i < 5; i++) N(idx("rw_modem.cellStartTime", i), md.cellStartTime[i]);
  N("rw_modem.bytepad0", md.bytepad0);
  N("rw_modem.complete_call", md.complete_call);
  N("rw_modem.flags", md.flags);
  T("rw_modem.calloutMsg", md.calloutMsg);
  return n;
}

// The header of `file` read through the cursor reader.
int read_header(Bytes &file, int ismw, AltusEvtFile *h, unsigned char **cursor) {
  unsigned char *p = file.data();
  const unsigned char *end = file.data() + file.size();
  AltusEvtTag tag;
  int be = 0, size = 0, dsize = 0, nframes = 0;
  unsigned short chk = 0, sum = 0;
  if (evt_readtag(nullptr, &p, end, &tag, &be, &size, &dsize, &chk) < 0) return -1;
  if (evt_readaltusfilehdr(nullptr, &p, end, h, size, be, ismw, &sum, &nframes) < 0) return -1;
  *cursor = p;
  return 0;
}

struct Matrix {
  int nsamps = 0, nchans = 0, size = 0;
  int *data = nullptr;
  ~Matrix() { free(data); }
  int at(int c, int s) const { return data[c * nsamps + s]; }
};

int demux_file(Bytes &file, int ismw, Matrix *m) {
  AltusEvtFile h;
  unsigned char *p = nullptr;
  if (read_header(file, ismw, &h, &p) < 0) return -1;
  return evt_demuxdata(nullptr, &p, file.data() + file.size(), &h, &m->nsamps, &m->nchans, &m->data,
                       &m->size);
}

TEST(AltusHeader, EveryFieldDecodesFromItsOffsetAndEncodesBack) {
  for (int ismw : {0, 1}) {
    for (int be : {1, 0}) {
      SCOPED_TRACE("ismw " + std::to_string(ismw) + " bigendian " + std::to_string(be));
      Bytes fx;
      altussim_evt_fixture(ismw, be, &fx);
      ASSERT_EQ(fx.size(), static_cast<size_t>(altus_hdr_size(ismw)));
      auto h = std::make_unique<AltusEvtFile>();
      memset(h.get(), 0, sizeof *h);
      unsigned char *p = fx.data();
      unsigned short sum = 0;
      int nframes = 0;
      ASSERT_EQ(evt_readaltusfilehdr(nullptr, &p, fx.data() + fx.size(), h.get(),
                                     static_cast<int>(fx.size()), be, ismw, &sum, &nframes),
                0);
      EXPECT_EQ(p, fx.data() + fx.size());
      Named got = name_fields(*h, ismw);
      const auto &table = altussim_evt_fields(ismw);
      int checked = 0;
      for (size_t i = 0; i < table.size(); i++) {
        const auto &f = table[i];
        if (f.kind == 'r' || f.name == "prefix.headerBytes") continue;
        SCOPED_TRACE(f.name);
        if (f.kind == 't') {
          ASSERT_TRUE(got.texts.count(f.name));
          EXPECT_EQ(got.texts[f.name], altussim_evt_fixture_text(ismw, static_cast<int>(i)));
        } else {
          ASSERT_TRUE(got.numbers.count(f.name));
          EXPECT_EQ(got.numbers[f.name], altussim_evt_fixture_number(ismw, static_cast<int>(i)));
        }
        checked++;
      }
      // Every named field of the record is in the writer's table.
      EXPECT_EQ(static_cast<size_t>(checked) + 1, got.numbers.size() + got.texts.size());
      // A duration beyond the int range is reported as the largest int.
      EXPECT_EQ(static_cast<uint32_t>(nframes),
                std::min<uint32_t>(h->ro_stream.duration, 0x7FFFFFFFu));
      EXPECT_EQ(sum, evt_checksum(fx.data(), static_cast<int>(fx.size())));

      Bytes enc(fx.size(), 0xEE);
      evt_encodealtusfilehdr(h.get(), enc.data(), be, ismw);
      EXPECT_EQ(enc, fx);
    }
  }
}

TEST(AltusHeader, ReservedBytesAreWrittenZeroButModemByte256AsStored) {
  Bytes fx;
  altussim_evt_fixture(0, 1, &fx);
  AltusEvtFile h;
  evt_decodealtusheader(fx.data() + 8, &h, 1, 0);
  memcpy(h.id, "KMI", 4);
  h.instrumentCode = fx[3];
  h.headerVersion = static_cast<uint16_t>(fx[4] << 8 | fx[5]);
  h.headerBytes = 2040;
  memset(h.ro_misc.bytepad, 0x55, sizeof h.ro_misc.bytepad);
  h.rw_modem.bytepad[0] = 0x77;
  h.rw_stream.Reserved = 0x66;
  h.rw_channel[3].bytepad2[5] = 0x44;
  Bytes enc(fx.size());
  evt_encodealtusfilehdr(&h, enc.data(), 1, 0);
  EXPECT_EQ(enc, fx);
  EXPECT_EQ(enc[1732 + 256], 0xA5);
}

TEST(AltusHeader, SameHeaderComparesFieldsOnly) {
  Bytes fx;
  altussim_evt_fixture(0, 1, &fx);
  AltusEvtFile a, b;
  memset(&a, 0x11, sizeof a);  // different padding and unused slots
  memset(&b, 0x22, sizeof b);
  unsigned char *p = fx.data();
  unsigned short sum;
  int nframes;
  ASSERT_EQ(
      evt_readaltusfilehdr(nullptr, &p, fx.data() + fx.size(), &a, 2040, 1, 0, &sum, &nframes), 0);
  p = fx.data();
  ASSERT_EQ(
      evt_readaltusfilehdr(nullptr, &p, fx.data() + fx.size(), &b, 2040, 1, 0, &sum, &nframes), 0);
  b.ro_misc.bytepad[3] = 9;
  b.rw_channel[15].gain = 77;  // slot outside the 12-channel layout
  b.rw_stream.voterInfo[20].weight = 5;
  EXPECT_EQ(evt_samealtusheader(&a, &b, 0), 1);
  b.rw_stream.voterInfo[14].weight = static_cast<int16_t>(a.rw_stream.voterInfo[14].weight + 1);
  EXPECT_EQ(evt_samealtusheader(&a, &b, 0), 0);
}

TEST(AltusHeader, TextFieldsLoseTrailingBlanks) {
  unsigned char wire[] = {'A', 'B', ' ', ' ', ' '};
  unsigned char *p = wire;
  char field[6];
  memset(field, 'z', sizeof field);
  ev2hs(field, &p, 5);
  EXPECT_STREQ(field, "AB");
  EXPECT_EQ(p, wire + 5);
  char s[] = "  a b  ";
  trimblanks(s);
  EXPECT_STREQ(s, "  a b");
  char e[] = "";
  EXPECT_EQ(trimblanks(e), 0);
}

TEST(AltusHeader, RefusedHeaders) {
  struct Case {
    const char *what;
    int ismw;
    int header_layout;  // layout the bytes are made in
    const char *id;
    int header_bytes;  // 0: the layout's size
    int expected;
    const char *message;
  } cases[] = {
      {"foreign id", 0, 0, "KMX", 0, 2040, "Missing 'KMI' sync characters"},
      {"headerBytes 2040 expected 2736", 1, 1, "KMI", 2040, 2736,
       "headerBytes (2040) not consistant with expected_size (2736)"},
      {"18-channel header read as 12", 0, 1, "KMI", 0, 2736, "does not fit the 12-channel"},
      {"12-channel header read as 18", 1, 0, "KMI", 0, 2040, "does not fit the 18-channel"},
      {"shorter than the prefix", 0, 0, "KMI", 0, 5, "shorter than the header prefix"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    AltusSimHeaderValues v;
    if (c.header_bytes) v.numbers["prefix.headerBytes"] = c.header_bytes;
    v.texts["prefix.id"] = c.id;
    Bytes b;
    ASSERT_EQ(altussim_evt_header(c.header_layout, 1, v, &b), 0);
    AltusEvtFile h;
    unsigned char *p = b.data();
    unsigned short sum = 0;
    int nframes = 0;
    take_registered();
    EXPECT_EQ(evt_readaltusfilehdr(nullptr, &p, b.data() + b.size(), &h, c.expected, 1, c.ismw,
                                   &sum, &nframes),
              -1);
    EXPECT_NE(take_registered().find(c.message), std::string::npos);
  }
}

TEST(AltusCursor, ItemsPastTheEndAreRefusedAndTheCursorStopsAtTheEnd) {
  Bytes fx;
  altussim_evt_fixture(0, 1, &fx);
  AltusEvtFile h;
  unsigned short sum = 0;
  int nframes = 0;
  unsigned char *p = fx.data();
  take_registered();
  EXPECT_EQ(evt_readaltusfilehdr(nullptr, &p, fx.data() + 2000, &h, 2040, 1, 0, &sum, &nframes),
            -1);
  EXPECT_EQ(p, fx.data() + 2000);
  EXPECT_NE(take_registered().find("evt_readaltusfilehdr: item of 2040 bytes runs past"),
            std::string::npos);

  // A tag whose first byte is not 'K' still moves the cursor 16 bytes.
  Bytes junk(40, 'Q');
  p = junk.data();
  AltusEvtTag tag;
  int be, size, dsize;
  unsigned short chk;
  EXPECT_EQ(evt_readtag(nullptr, &p, junk.data() + junk.size(), &tag, &be, &size, &dsize, &chk),
            -1);
  EXPECT_EQ(p, junk.data() + 16);
  EXPECT_NE(take_registered().find("Missing 'K' sync character"), std::string::npos);
  p = junk.data() + 30;
  EXPECT_EQ(evt_readtag(nullptr, &p, junk.data() + junk.size(), &tag, &be, &size, &dsize, &chk),
            -1);
  EXPECT_EQ(p, junk.data() + 40);

  // A frame header below 32 bytes is refused, after its bytes are passed.
  p = junk.data();
  AltusEvtFrame fr;
  EXPECT_EQ(evt_readframehdr(nullptr, &p, junk.data() + junk.size(), &fr, 20, 1, &chk), -1);
  EXPECT_EQ(p, junk.data() + 20);
  take_registered();
}

TEST(AltusCursor, TagFieldsInEitherByteOrder) {
  const unsigned char be_tag[] = {'K',  1,    2,    3,    0x01, 0x02, 0x03, 0x04,
                                  0x07, 0xF8, 0x12, 0x34, 0x00, 0x05, 0xAB, 0xCD};
  const unsigned char le_tag[] = {'K',  0,    2,    3,    0x04, 0x03, 0x02, 0x01,
                                  0xF8, 0x07, 0x34, 0x12, 0x05, 0x00, 0xCD, 0xAB};
  for (const unsigned char *t : {be_tag, le_tag}) {
    Bytes b(t, t + 16);
    unsigned char *p = b.data();
    AltusEvtTag tag;
    int be = -1, size = 0, dsize = 0;
    unsigned short chk = 0;
    ASSERT_EQ(evt_readtag(nullptr, &p, b.data() + 16, &tag, &be, &size, &dsize, &chk), 0);
    EXPECT_EQ(be, t[1]);
    EXPECT_EQ(tag.type, 0x01020304u);
    EXPECT_EQ(size, 0x07F8);
    EXPECT_EQ(dsize, 0x1234);
    EXPECT_EQ(tag.id, 5);
    EXPECT_EQ(chk, 0xABCD);
  }
}

TEST(AltusSums, ByteSumCountsAtMost2992Bytes) {
  Bytes ff(3000, 0xFF);
  EXPECT_EQ(evt_checksum(ff.data(), 2992), 42064);
  EXPECT_EQ(evt_checksum(ff.data(), 3000), 42064);
  EXPECT_EQ(evt_checksum(ff.data(), 1), 255);
  EXPECT_EQ(evt_checksum(ff.data(), 0), 0);
  EXPECT_EQ(evt_checksum(ff.data(), -5), 0);
  double e = 0;
  altustime2epoch(0, &e);
  EXPECT_EQ(e, 315532800.0);
  altustime2epoch(-1, &e);
  EXPECT_EQ(e, 315532799.0);
}

TEST(AltusDemux, BothByteOrdersGiveTheWritersSamplesAtEveryWidth) {
  for (int ismw : {0, 1}) {
    for (int width : {1, 2, 3, 4}) {
      SCOPED_TRACE("ismw " + std::to_string(ismw) + " width " + std::to_string(width));
      Matrix got[2];
      for (int be : {0, 1}) {
        AltusSimEvtPlan plan;
        plan.ismw = ismw;
        plan.bigendian = be;
        plan.sample_bytes = width;
        plan.nchannels = ismw ? 18 : 12;
        // Frames of 70 scans hold 70 x 18 x 4 = 5040 bytes: above the sum cap.
        plan.frame_scans = {70, 70, 13};
        Bytes f;
        ASSERT_EQ(altussim_evt_file(plan, &f), 0);
        ASSERT_EQ(check_evt_file(f.data(), static_cast<int>(f.size()), ismw), 0)
            << take_registered();
        ASSERT_EQ(demux_file(f, ismw, &got[be]), 0) << take_registered();
      }
      ASSERT_EQ(got[0].nsamps, 153);
      ASSERT_EQ(got[0].nchans, ismw ? 18 : 12);
      EXPECT_EQ(0, memcmp(got[0].data, got[1].data, 153u * got[0].nchans * sizeof(int)));
      for (int c = 0; c < got[1].nchans; c++) {
        for (int s = 0; s < 153; s++) {
          ASSERT_EQ(got[1].at(c, s), altussim_evt_sample(c, s, width)) << c << " " << s;
        }
      }
    }
  }
}

TEST(AltusDemux, SampleWidthsAndMatrixPlaces) {
  // One frame, one channel, raw sample bytes in the frame's order.
  struct Case {
    int width, be;
    std::vector<int32_t> samples;  // as the writer puts them
    int32_t expect;
  } cases[] = {
      {2, 1, {-2}, -2},              // 0xFF 0xFE
      {3, 1, {-8388608}, -8388608},  // 0x80 0x00 0x00
      {3, 0, {-8388608}, -8388608},
      {1, 1, {255}, 255},
      {4, 0, {-123456789}, -123456789},
      {2, 0, {32767}, 32767},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "/" + std::to_string(c.be));
    AltusSimEvtPlan plan;
    plan.sample_bytes = c.width;
    plan.bigendian = c.be;
    plan.nchannels = 1;
    plan.frame_scans = {1};
    plan.samples = c.samples;
    Bytes f;
    ASSERT_EQ(altussim_evt_file(plan, &f), 0);
    Matrix m;
    ASSERT_EQ(demux_file(f, 0, &m), 0);
    EXPECT_EQ(m.at(0, 0), c.expect);
  }
  // Big-endian bytes as laid out on the wire.
  {
    AltusSimEvtPlan plan;
    plan.sample_bytes = 2;
    plan.nchannels = 1;
    plan.frame_scans = {1};
    plan.samples = {-2};
    Bytes f;
    altussim_evt_file(plan, &f);
    EXPECT_EQ(f[f.size() - 2], 0xFF);
    EXPECT_EQ(f[f.size() - 1], 0xFE);
  }
  // Two frames of 100 scans, 3 channels, nscans 200: scan 150 of channel 1 at 1 x 200 + 150.
  AltusSimEvtPlan plan;
  plan.nchannels = 3;
  plan.frame_scans = {100, 100};
  Bytes f;
  ASSERT_EQ(altussim_evt_file(plan, &f), 0);
  Matrix m;
  ASSERT_EQ(demux_file(f, 0, &m), 0);
  ASSERT_EQ(m.nsamps, 200);
  EXPECT_EQ(m.data[1 * 200 + 150], altussim_evt_sample(1, 150, 4));
  EXPECT_EQ(m.data[2 * 200 + 199], altussim_evt_sample(2, 199, 4));
}

TEST(AltusDemux, ShortFileIsLaidOutByTheScansFilled) {
  AltusSimEvtPlan plan;
  plan.nchannels = 3;
  plan.frame_scans = {40, 20};
  plan.header_nscans = 100;
  Bytes f;
  ASSERT_EQ(altussim_evt_file(plan, &f), 0);
  EXPECT_EQ(check_evt_file(f.data(), static_cast<int>(f.size()), 0), 0);
  Matrix m;
  ASSERT_EQ(demux_file(f, 0, &m), 0);
  ASSERT_EQ(m.nsamps, 60);
  for (int c = 0; c < 3; c++) {
    for (int s = 0; s < 60; s++) ASSERT_EQ(m.at(c, s), altussim_evt_sample(c, s, 4));
  }
}

TEST(AltusDemux, MatrixIsReusedAndGrownOnly) {
  AltusSimEvtPlan plan;
  plan.nchannels = 2;
  plan.frame_scans = {10};
  Bytes f;
  altussim_evt_file(plan, &f);
  Matrix m;
  m.data = static_cast<int *>(malloc(1000));
  m.size = 1000;
  int *before = m.data;
  ASSERT_EQ(demux_file(f, 0, &m), 0);
  EXPECT_EQ(m.data, before);
  EXPECT_EQ(m.size, 1000);
  m.size = 8;  // says it is small: grown to what is needed
  ASSERT_EQ(demux_file(f, 0, &m), 0);
  EXPECT_EQ(m.size, 10 * 2 * 4);
  EXPECT_EQ(m.at(1, 9), altussim_evt_sample(1, 9, 4));
}

TEST(AltusDemux, ReadsFromAStreamAndRefusesItemsBeyondItsBuffer) {
  AltusSimEvtPlan plan;
  plan.nchannels = 3;
  plan.sample_bytes = 2;
  plan.frame_scans = {50, 50};
  Bytes f;
  altussim_evt_file(plan, &f);
  FILE *fp = fmemopen(f.data(), f.size(), "rb");
  ASSERT_NE(fp, nullptr);
  AltusEvtTag tag;
  int be, size, dsize, nframes;
  unsigned short chk, sum;
  AltusEvtFile h;
  ASSERT_EQ(evt_readtag(fp, nullptr, nullptr, &tag, &be, &size, &dsize, &chk), 0);
  ASSERT_EQ(evt_readaltusfilehdr(fp, nullptr, nullptr, &h, size, be, 0, &sum, &nframes), 0);
  EXPECT_EQ(sum, chk);
  Matrix m;
  ASSERT_EQ(evt_demuxdata(fp, nullptr, nullptr, &h, &m.nsamps, &m.nchans, &m.data, &m.size), 0);
  fclose(fp);
  EXPECT_EQ(m.nsamps, 100);
  EXPECT_EQ(m.at(2, 99), altussim_evt_sample(2, 99, 2));

  // Frame data of 1000 scans x 3 x 2 = 6000 bytes do not fit the stream buffer.
  plan.frame_scans = {1000};
  altussim_evt_file(plan, &f);
  fp = fmemopen(f.data(), f.size(), "rb");
  ASSERT_NE(fp, nullptr);
  evt_readtag(fp, nullptr, nullptr, &tag, &be, &size, &dsize, &chk);
  evt_readaltusfilehdr(fp, nullptr, nullptr, &h, size, be, 0, &sum, &nframes);
  take_registered();
  Matrix big;
  EXPECT_EQ(evt_demuxdata(fp, nullptr, nullptr, &h, &big.nsamps, &big.nchans, &big.data, &big.size),
            -1);
  fclose(fp);
  EXPECT_NE(take_registered().find("exceeds the 4096-byte buffer"), std::string::npos);
}

TEST(AltusFileCheck, GoodAndDamagedFiles) {
  struct Case {
    const char *what;
    int ismw;
    AltusSimEvtPlan plan;
    int cut;              // bytes removed from the end
    const char *message;  // none: good
  };
  auto plan = [](auto change) {
    AltusSimEvtPlan s;
    s.nchannels = 3;
    s.frame_scans = {100, 100};
    change(s);
    return s;
  };
  auto same = [](AltusSimEvtPlan &) {};
  std::vector<Case> cases = {
      {"good big-endian", 0, plan(same), 0, nullptr},
      {"good little-endian", 0, plan([](AltusSimEvtPlan &s) { s.bigendian = 0; }), 0, nullptr},
      {"good Mt Whitney, 18 channels", 1, plan([](AltusSimEvtPlan &s) {
         s.ismw = 1;
         s.nchannels = 18;
       }),
       0, nullptr},
      {"long frame headers", 0, plan([](AltusSimEvtPlan &s) { s.frame_hdr_len = 40; }), 0, nullptr},
      {"fewer scans than announced", 0, plan([](AltusSimEvtPlan &s) { s.header_nscans = 500; }), 0,
       nullptr},
      {"bad sync", 0, plan([](AltusSimEvtPlan &s) { s.bad_sync = true; }), 0,
       "check_evt_file: evt_readtag() error\n"},
      {"bad header sum", 0, plan([](AltusSimEvtPlan &s) { s.bad_header_sum = true; }), 0,
       "Checksum error on Altus file header"},
      {"bad frame sum", 0, plan([](AltusSimEvtPlan &s) { s.bad_frame_sum = 1; }), 0,
       "checksum error on Altus data frame 2."},
      {"wrong layout", 1, plan(same), 0, "evt_readaltusfilehdr() error"},
      {"cut in the header", 0, plan(same), 2 * (16 + 32 + 1200) + 10,
       "Illegal Altus file header size (2040)"},
      {"cut in a frame tag", 0, plan(same), 32 + 1200 + 8, "evt_readtag() error on frame 2"},
      {"cut in a frame header", 0, plan(same), 1200 + 4,
       "Illegal Altus frame header size (32) for frame 2."},
      {"cut in frame data", 0, plan(same), 1, "Illegal Altus frame data size (1200) for frame 2."},
      {"more frames announced", 0, plan([](AltusSimEvtPlan &s) { s.header_duration = 3; }), 0,
       "evt_readtag() error on frame 3"},
      {"more scans than announced", 0, plan([](AltusSimEvtPlan &s) { s.header_nscans = 150; }), 0,
       "frame 2 holds more scans than nscans (150)"},
      {"partial scan", 0, plan([](AltusSimEvtPlan &s) { s.frame_extra_bytes = 5; }), 0,
       "do not end on a whole scan"},
      {"nchannels 0", 0, plan([](AltusSimEvtPlan &s) { s.header_nchannels = 0; }), 0,
       "nchannels (0) cannot carry the data of frame 1"},
      {"nchannels above the layout", 0, plan([](AltusSimEvtPlan &s) {
         s.nchannels = 13;
         s.frame_scans = {10};
       }),
       0, "nchannels (13) cannot carry"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    Bytes f;
    ASSERT_EQ(altussim_evt_file(c.plan, &f), 0);
    f.resize(f.size() - static_cast<size_t>(c.cut));
    take_registered();
    int rc = check_evt_file(f.data(), static_cast<int>(f.size()), c.ismw);
    std::string msg = take_registered();
    Matrix m;
    int drc = demux_file(f, c.ismw, &m);
    take_registered();
    if (c.message == nullptr) {
      EXPECT_EQ(rc, 0) << msg;
      EXPECT_EQ(drc, 0);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_NE(msg.find(c.message), std::string::npos) << msg;
      // A file the check refuses for its frames is refused by the demultiplexer as well.
      if (drc == 0) {
        EXPECT_TRUE(std::string(c.what).find("header") != std::string::npos ||
                    std::string(c.what) == "bad sync")
            << "demultiplexed a refused file";
      }
    }
  }
}

TEST(AltusFileCheck, BenchmarkFileIsGood) {
  Bytes f;
  ASSERT_EQ(altussim_evt_bench_file(&f), 0);
  ASSERT_EQ(check_evt_file(f.data(), static_cast<int>(f.size()), 1), 0) << take_registered();
  Matrix m;
  ASSERT_EQ(demux_file(f, 1, &m), 0);
  EXPECT_EQ(m.nsamps, 60000);
  EXPECT_EQ(m.nchans, 18);
  EXPECT_EQ(m.at(17, 59999), altussim_evt_sample(17, 59999, 3));
}

}  // namespace
