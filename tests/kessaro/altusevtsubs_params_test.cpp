// Tests of the datalogger parameter block: the "params" array laid over a header, and a
// header written as parameter-file text.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "altusevtsubs.h"
#include "base/pf.h"
#include "testkit/testkit.h"

namespace {

// A header with recognisable values in the fields the cases look at.
AltusEvtFile base_header(int ismw) {
  AltusEvtFile h;
  memset(&h, 0, sizeof h);
  memcpy(h.id, "KMI", 4);
  h.headerBytes = static_cast<uint16_t>(altus_hdr_size(ismw));
  h.ro_misc.maxChannels = static_cast<uint16_t>(altus_hdr_nchan(ismw));
  h.rw_misc.nchannels = 6;
  h.rw_misc.channel_bitmap = 0x3F;
  h.rw_misc.elevation = 120;
  h.rw_misc.latitude = 12.5f;
  strcpy(h.rw_misc.stnID, "OLD");
  h.rw_modem.complete_call = 9;
  for (int c = 0; c < ALTUS_NCHAN_MW; c++) h.rw_channel[c].gain = 1;
  for (int v = 0; v < ALTUS_NVOTER_MW; v++) h.rw_stream.voterInfo[v].weight = 1;
  return h;
}

int overlay(AltusEvtFile *h, int ismw, const std::string &params_body, std::string *error) {
  Pf *pf = nullptr;
  std::string text = "params &Arr{\n" + params_body + "}\n";
  if (pfcompile(text.c_str(), &pf) != 0) return -99;
  char err[ALTUS_PARSEPARAMS_ERROR_SIZE];
  int rc = evt_parseparams(h, ismw, pf, err);
  *error = err;
  pffree(pf);
  return rc;
}

std::string tbl(const std::vector<std::string> &v) {
  std::string s = "&Tbl{\n";
  for (const auto &e : v) s += e + "\n";
  return s + "}";
}

std::vector<std::string> numbers(int n, int from) {
  std::vector<std::string> v;
  for (int i = 0; i < n; i++) v.push_back(std::to_string(from + i));
  return v;
}

TEST(AltusParams, KeysOverlayTheirFields) {
  struct Case {
    const char *what;
    int ismw;
    std::string body;
    std::function<void(AltusEvtFile &)> expect;  // applied to the base header
  };
  std::vector<Case> cases = {
      {"nchannels 3 sets the low bitmap", 0, "misc_nchannels 3\n",
       [](AltusEvtFile &h) {
         h.rw_misc.nchannels = 3;
         h.rw_misc.channel_bitmap = 7;
       }},
      {"nchannels 0 changes nothing", 0, "misc_nchannels 0\n", [](AltusEvtFile &) {}},
      {"nchannels -3 changes nothing", 0, "misc_nchannels -3\n", [](AltusEvtFile &) {}},
      {"bitmap bits 0, 2, 17 on 12 channels", 0, "misc_channelbitmap 131077\n",
       [](AltusEvtFile &h) {
         h.rw_misc.channel_bitmap = 131077;
         h.rw_misc.nchannels = 2;
       }},
      {"bitmap bits 0, 2, 17 on a Mt Whitney", 1, "misc_channelbitmap 131077\n",
       [](AltusEvtFile &h) {
         h.rw_misc.channel_bitmap = 131077;
         h.rw_misc.nchannels = 2;
       }},
      {"bitmap bits 0-15 on 12 channels", 0, "misc_channelbitmap 65535\n",
       [](AltusEvtFile &h) {
         h.rw_misc.channel_bitmap = 65535;
         h.rw_misc.nchannels = 16;
       }},
      {"bitmap wins over nchannels", 0, "misc_nchannels 5\nmisc_channelbitmap 0x30\n",
       [](AltusEvtFile &h) {
         h.rw_misc.channel_bitmap = 0x30;
         h.rw_misc.nchannels = 2;
       }},
      {"absent values", 0, "misc_elevation -999\nmisc_latitude -999.999\n", [](AltusEvtFile &) {}},
      {"values", 0, "misc_elevation -20\nmisc_latitude 34.5\nmisc_longitude -118.25\n",
       [](AltusEvtFile &h) {
         h.rw_misc.elevation = -20;
         h.rw_misc.latitude = 34.5f;
         h.rw_misc.longitude = -118.25f;
       }},
      {"stnid cut to five letters", 0, "misc_stnid ABCDEFG\n",
       [](AltusEvtFile &h) { strcpy(h.rw_misc.stnID, "ABCDE"); }},
      {"comment loses trailing blanks", 0, "misc_comment \"a note   \"\n",
       [](AltusEvtFile &h) { strcpy(h.rw_misc.comment, "a note"); }},
      {"gain of three channels", 0, "chan_gain " + tbl({"4", "8", "16"}) + "\n",
       [](AltusEvtFile &h) {
         h.rw_channel[0].gain = 4;
         h.rw_channel[1].gain = 8;
         h.rw_channel[2].gain = 16;
       }},
      {"20 gains on 12 channels", 0, "chan_gain " + tbl(numbers(20, 100)) + "\n",
       [](AltusEvtFile &h) {
         for (int c = 0; c < 12; c++) h.rw_channel[c].gain = static_cast<uint16_t>(100 + c);
       }},
      {"21 weights on a Mt Whitney", 1, "strm_voterinfo_weight " + tbl(numbers(21, -5)) + "\n",
       [](AltusEvtFile &h) {
         for (int v = 0; v < 21; v++) h.rw_stream.voterInfo[v].weight = static_cast<int16_t>(v - 5);
       }},
      {"21 weights on 12 channels", 0, "strm_voterinfo_weight " + tbl(numbers(21, -5)) + "\n",
       [](AltusEvtFile &h) {
         for (int v = 0; v < 15; v++) h.rw_stream.voterInfo[v].weight = static_cast<int16_t>(v - 5);
       }},
      {"cutler code keeps its low 8 bits", 0, "misc_cutlercode 300\n",
       [](AltusEvtFile &h) { h.rw_misc.cutlerCode = 44; }},
      {"cell warm-up alone", 0, "modm_cellwarmuptime 5\n",
       [](AltusEvtFile &h) { h.rw_modem.cellWarmupTime = 5; }},
      {"output key for start times sets nothing", 0, "modm_cellstarttime " + tbl({"1", "2"}) + "\n",
       [](AltusEvtFile &) {}},
      {"input key for start times", 0, "modm_callstarttime " + tbl({"7", "-8"}) + "\n",
       [](AltusEvtFile &h) {
         h.rw_modem.cellStartTime[0] = 7;
         h.rw_modem.cellStartTime[1] = -8;
       }},
      {"list entries read like atoi and atof", 0,
       "chan_north " + tbl({"12abc", "x", "-4"}) + "\nchan_damping " + tbl({"0.7", "y"}) + "\n",
       [](AltusEvtFile &h) {
         h.rw_channel[0].north = 12;
         h.rw_channel[1].north = 0;
         h.rw_channel[2].north = -4;
         h.rw_channel[0].damping = 0.7f;
         h.rw_channel[1].damping = 0.0f;
       }},
      {"phone numbers and channel ids", 0,
       "modm_phonenumber " + tbl({"555-0100", "\"12  \""}) + "\nchan_id " + tbl({"HNZLONG"}) + "\n",
       [](AltusEvtFile &h) {
         strcpy(h.rw_modem.phoneNumber[0], "555-0100");
         strcpy(h.rw_modem.phoneNumber[1], "12");
         strcpy(h.rw_channel[0].id, "HNZLO");
       }},
      {"a hexadecimal bitmap of 32 bits", 0, "strm_txchanmap 0xFFFFFFFF\n",
       [](AltusEvtFile &h) { h.rw_stream.TxChanMap = 0xFFFFFFFFu; }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    AltusEvtFile got = base_header(c.ismw);
    AltusEvtFile want = base_header(c.ismw);
    c.expect(want);
    std::string error = "x";
    ASSERT_EQ(overlay(&got, c.ismw, c.body, &error), 0) << take_registered();
    EXPECT_EQ(error, "");
    EXPECT_EQ(0, memcmp(&got, &want, sizeof got));
  }
}

TEST(AltusParams, FailuresNameTheKeyAndKeepEarlierKeys) {
  AltusEvtFile h = base_header(0);
  Pf *pf = nullptr;
  ASSERT_EQ(pfcompile("other 1\n", &pf), 0);
  char err[ALTUS_PARSEPARAMS_ERROR_SIZE];
  take_registered();
  EXPECT_EQ(evt_parseparams(&h, 0, pf, err), -1);
  EXPECT_STREQ(err, "cannot find params array");
  EXPECT_NE(take_registered().find("evt_parseparams: parse_param(params) error.\n"),
            std::string::npos);
  pffree(pf);

  std::string error;
  EXPECT_EQ(overlay(&h, 0, "misc_elevation 77\nstrm_sps many\nstrm_apw 9\n", &error), -1);
  EXPECT_EQ(error, "cannot parse strm_sps");
  EXPECT_NE(take_registered().find("evt_parseparams: parse_param(strm_sps) error.\n"),
            std::string::npos);
  EXPECT_EQ(h.rw_misc.elevation, 77);
  EXPECT_EQ(h.rw_stream.apw, 0);

  EXPECT_EQ(overlay(&h, 0, "chan_gain &Arr{\na 1\n}\n", &error), -1);
  EXPECT_EQ(error, "cannot parse chan_gain");
  take_registered();
}

int count_entries(const std::string &text, const std::string &key) {
  size_t at = text.find("\n" + key + " &Tbl{\n");
  if (at == std::string::npos) return -1;
  size_t end = text.find("}\n", at);
  int n = 0;
  for (size_t i = text.find('\n', at + 1) + 1; i < end; i = text.find('\n', i) + 1) n++;
  return n;
}

TEST(AltusParams, TextOfAHeader) {
  AltusEvtFile h = base_header(0);
  h.rw_misc.serialNumber = 4321;
  h.rw_misc.latitude = 34.5f;
  h.rw_misc.cutler_bitmap = 0xFFFFFFFEu;
  h.rw_channel[1].fullscale = -2.5f;
  strcpy(h.rw_modem.phoneNumber[2], "911");
  char *t = params2pf(nullptr, &h, 0);
  ASSERT_NE(t, nullptr);
  std::string s = t;
  free(t);
  EXPECT_EQ(s.rfind("misc_serial\t4321\n", 0), 0u);
  EXPECT_NE(s.find("\nmisc_latitude\t3.4500000e+01\n"), std::string::npos);
  EXPECT_NE(s.find("\nmisc_cutlerbitmap\t-2\n"), std::string::npos);
  EXPECT_NE(s.find("\nchan_fullscale &Tbl{\n0.0000000e+00\n-2.5000000e+00\n"), std::string::npos);
  EXPECT_EQ(count_entries(s, "chan_gain"), 12);
  EXPECT_EQ(count_entries(s, "chan_id"), 12);
  EXPECT_EQ(count_entries(s, "strm_voterinfo_weight"), 15);
  EXPECT_EQ(count_entries(s, "modm_phonenumber"), 4);
  EXPECT_EQ(count_entries(s, "modm_cellstarttime"), 5);
  EXPECT_NE(s.find("\nmodm_phonenumber &Tbl{\n\n\n911\n\n}\n"), std::string::npos);
  EXPECT_EQ(s.find("ro_"), std::string::npos);

  // The read-only part comes first when asked for; its two-element lists use a tab.
  h.ro_timing.gpsLastDrift[1] = -3;
  t = params2pf(nullptr, &h, 1);
  s = t;
  free(t);
  EXPECT_EQ(s.rfind("ro_instrument_code\t0\nro_header_version\t0\nro_header_bytes\t2040\n", 0), 0u);
  EXPECT_NE(s.find("\nrotiming_gps_last_drift\t&Tbl{\n0\n-3\n}\n"), std::string::npos);
  EXPECT_EQ(count_entries(s, "rochan_max_peak"), 12);
  EXPECT_LT(s.find("rostrm_trigger_bitmap"), s.find("misc_serial"));

  // Channel lists follow maxChannels, clamped to the layout; voter lists have 15 entries
  // on both layouts.
  struct Case {
    int ismw, max_channels, chans, voters;
  } cases[] = {{0, 3, 3, 15}, {0, 40, 12, 15}, {1, 18, 18, 15}, {1, 200, 18, 15}, {0, 0, 0, 15}};
  for (const auto &c : cases) {
    AltusEvtFile m = base_header(c.ismw);
    m.ro_misc.maxChannels = static_cast<uint16_t>(c.max_channels);
    t = params2pf(nullptr, &m, 1);
    s = t;
    free(t);
    EXPECT_EQ(count_entries(s, "chan_sensitivity"), c.chans);
    EXPECT_EQ(count_entries(s, "rochan_mean"), c.chans);
    EXPECT_EQ(count_entries(s, "strm_voterinfo_type"), c.voters);
  }
}

TEST(AltusParams, SetValuesReadBackThroughTheText) {
  // Every key that can be set comes back out of params2pf with the value set, on both
  // layouts (channel 17 of a Mt Whitney included; voter entries 0-14 on both).
  for (int ismw : {0, 1}) {
    AltusEvtFile h = base_header(ismw);
    int n = altus_hdr_nchan(ismw), nv = ALTUS_NVOTER;
    std::string body = "chan_azimuth " + tbl(numbers(n, 200)) + "\n" + "strm_voterinfo_number " +
                       tbl(numbers(nv, 30)) + "\n" +
                       "misc_siteid \"Hill top\"\nstrm_sps 200\nmodm_flags 65535\n";
    std::string error;
    ASSERT_EQ(overlay(&h, ismw, body, &error), 0);
    char *t = params2pf(nullptr, &h, 0);
    Pf *pf = nullptr;
    ASSERT_EQ(pfcompile(t, &pf), 0) << t;
    free(t);
    EXPECT_STREQ(pfget_string(pf, "misc_siteid"), "Hill top");
    EXPECT_EQ(pfget_int(pf, "strm_sps"), 200);
    EXPECT_EQ(pfget_int(pf, "modm_flags"), 65535);
    void *v = nullptr;
    ASSERT_EQ(pfget(pf, "chan_azimuth", &v), PFTBL);
    EXPECT_EQ(pfget_int(static_cast<Pf *>(v), std::to_string(n - 1).c_str()), 200 + n - 1);
    ASSERT_EQ(pfget(pf, "strm_voterinfo_number", &v), PFTBL);
    EXPECT_EQ(pfget_int(static_cast<Pf *>(v), std::to_string(nv - 1).c_str()), 30 + nv - 1);
    pffree(pf);
  }
}

}  // namespace
