// The status report text, the data rate and the program stash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "altuscom_fixture.h"
#include "base/arr.h"
#include "base/pf.h"
#include "kessaro_program.h"
#include "kessaro_threads.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "testkit/testkit.h"

namespace {

constexpr double kNow = 1577836800.0;        // 2020-01-01 00:00:00
constexpr uint32_t kAltusNow = 1262304000u;  // the same instant from 1980-01-01

class AltusStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    clock.t = kNow;
    altus = kessaro_new();
    altus->targetname = strdup("kes");
    altus->hostname = strdup("host1");
    cmd.orbname = const_cast<char *>("cmdring");
    altus->cmd = &cmd;
    altus->status_interval = 60.0;
    dl = add("dlA", "Etna", 1234);
  }
  void TearDown() override {
    Tbl *dls = valsarr(altus->dltargets_array);
    for (long i = 0; i < maxtbl(dls); i++) {
      altusdatalogger_free(static_cast<AltusDatalogger *>(gettbl(dls, i)));
    }
    freetbl(dls, nullptr);
    free(altus->targetname);
    free(altus->hostname);
    kessaro_test_free(altus);
    modem_free(modem);
  }
  AltusDatalogger *add(const char *target, const char *model, int serial) {
    AltusDatalogger *d = altusdatalogger_new();
    d->target_name = strdup(target);
    kessaro_copytext(d->model, model);
    d->serial = serial;
    setarr(altus->dltargets_array, target, d);
    return d;
  }
  // A datalogger in block mode over a dialled-out link, with parameters and status.
  void connect_with_params() {
    if (modem == nullptr) {
      modem = modem_new();
      modem->name = strdup("tty1");
    }
    kessaro_copytext(modem->com, "tcp:127.0.0.1:5000");
    modem->mode = 2;
    modem->nbread = 500;
    modem->nbread_gig = 4;
    modem->nbwrite = 12;
    dl->connected_modem = dl->connected_modem_status = modem;
    dl->datarate = 9600.4;
    dl->com_mode = ALTUS_COM_BLOCKMODE;
    dl->lcom = ALTUS_COM_BLOCKMODE;
    dl->stream_status = STRSTATUS_RUNNING;
    dl->dataerrors_chksum = 2;
    dl->dataerrors_size = 3;
    dl->last_listing_time = kNow - 100;
    dl->files_size = 4;
    if (dl->files == nullptr)
      dl->files = static_cast<AltusDirTree *>(calloc(4, sizeof(AltusDirTree)));
    for (int i = 0; i < 4; i++) dl->files[i].processed = i;
    dl->last_blockmode_time = kNow - 1;
    dl->last_monitormode_time = kNow - 2;
    dl->last_connection_attempt_time = kNow - 3;
    dl->last_connection_ended_time = kNow - 4;
    dl->last_data_time = kNow - 10;
    dl->last_stream_data_time = kNow - 5;
    dl->order_output_data = 1;
    dl->data_gap_time = 0.5;
    dl->last_params_time = kNow - 30;
    AltusBlockParams &p = dl->last_params;
    p.rw_misc.nchannels = 6;
    p.rw_misc.latitude = 34.5f;
    p.rw_misc.longitude = -118.25f;
    p.rw_misc.elevation = 1234;
    p.ro_misc.temperature = 235;
    p.ro_misc.batteryVoltage = -124;
    p.ro_timing.gpsLastLockTime[0] = kAltusNow - 100;
    p.ro_timing.gpsLastLockTime[1] = kAltusNow - 40;
    p.ro_timing.clockSource = 3;
    p.ro_timing.gpsStatus = 0x22;
    dl->status_time = kNow - 20;
    dl->status.events = 7;
    dl->status.recordingErrors = 1;
    dl->status.driveStatus[0] = 0x2000 | 4;
    dl->status.driveStatus[1] = 0x400;
  }
  std::string status() {
    char *text = altus_make_status(altus);
    EXPECT_NE(text, nullptr);
    std::string s = text ? text : "";
    free(text);
    Pf *pf = nullptr;
    EXPECT_EQ(pfcompile(s.c_str(), &pf), 0) << s;  // what the writer will compile
    pffree(pf);
    return s;
  }
  // The value of `key` in dlA's block.
  std::string value(const std::string &text, const std::string &key) {
    size_t from = text.find("dlA &Arr{\n");
    size_t at = text.find("\n" + key + " ", from);
    if (from == std::string::npos || at == std::string::npos) return "(absent)";
    at += key.size() + 2;
    return text.substr(at, text.find('\n', at) - at);
  }
  std::string head(int itvl) {
    return "target kes\norbc cmdring\nhostname host1\npid " + std::to_string(getpid()) + "\nitvl " +
           std::to_string(itvl) + "\ntype dl\nmodel altus\ndls &Arr{\n";
  }

  AltusDrivenClock clock;
  Orbtag cmd{};
  Kessaro *altus = nullptr;
  AltusDatalogger *dl = nullptr;
  Modem *modem = nullptr;
};

TEST_F(AltusStatus, NeverConnected) {
  altus->status_interval = 0.2;  // rounds to 0: reported as 1
  EXPECT_EQ(status(), head(1) +
                          "dlA &Arr{\ntime 1577836800.000\nmtype Etna\nsn 1234\n"
                          "con waiting\ninp none\ncom dis\nlcom -\nstrm idl\npkce 0\npkse 0\n"
                          "dr 0\nbyrd 0\nbywr 0\nmodem -\nevfl -1\nevup -1\nevcr -1\n"
                          "btm 0.000\nmtm 0.000\nltm 0.000\nctm 0.000\netm 0.000\n"
                          "detm 0.000\ndstm 0.000\ndlt -\ndg -\n"
                          "slt -\nnc -\nlat -\nlon -\nelev -\ndt -\ndv -\ndvs -\nclt -\nclq -\n"
                          "gps -\ngpss -\ndra -\ndrb -\n}\n}\n");
}

TEST_F(AltusStatus, ConnectedWithParametersAndStatus) {
  connect_with_params();
  EXPECT_EQ(status(), head(60) +
                          "dlA &Arr{\ntime 1577836800.000\nmtype Etna\nsn 1234\n"
                          "con yes\ninp tcp:127.0.0.1:5000\ncom blk\nlcom blk\nstrm run\n"
                          "pkce 2\npkse 3\ndr 9600\nbyrd 4000000500.0\nbywr 12.0\n"
                          "modem <-tty1\nevfl 4\nevup 2\nevcr 1\n"
                          "btm 1577836799.000\nmtm 1577836798.000\nltm 1577836700.000\n"
                          "ctm 1577836797.000\netm 1577836796.000\ndetm 1577836790.000\n"
                          "dstm 1577836795.000\ndlt 5.000\ndg 0.500\n"
                          "slt 30.0\nnc 6\nlat 34.5000\nlon -118.2500\nelev 1.2340\ndt 23.5\n"
                          "dv 12.4\ndvs c\nclt 40.0\nclq g\ngps L\ngpss on\n"
                          "evts 7\nrers 1\ndra 4294967296\ndrb nr\n}\n}\n");
  // The report remembers the link for the state file and for reports after it ends.
  EXPECT_STREQ(dl->last_connected_modem, "<-tty1");
  EXPECT_DOUBLE_EQ(dl->last_clock_latency, 40.0);
  dl->connected_modem = dl->connected_modem_status = nullptr;
  dl->stream_status = STRSTATUS_IDLE;
  dl->com_mode = ALTUS_COM_DISCONNECTED;
  std::string later = status();
  EXPECT_EQ(value(later, "modem"), "*<-tty1");
  EXPECT_EQ(value(later, "con"), "waiting");
  EXPECT_EQ(value(later, "clt"), "-40.0");  // not fresh: the stored latency, negated
  EXPECT_EQ(value(later, "dr"), "0");
}

TEST_F(AltusStatus, ShutdownShape) {
  connect_with_params();
  add("dlB", "K2", 7);
  altus->status_report_shutdown = 1;
  EXPECT_EQ(status(), head(60) +
                          "dlA &Arr{\ntime 1577836800.000\nmtype Etna\nsn 1234\n"
                          "con nr\ninp -\nnc -\n}\n"
                          "dlB &Arr{\ntime 1577836800.000\nmtype K2\nsn 7\n"
                          "con nr\ninp -\nnc -\n}\n}\n");
}

TEST_F(AltusStatus, CodedValues) {
  connect_with_params();
  struct Case {
    const char *what;
    void (*set)(AltusDatalogger *);
    const char *key;
    const char *want;
  };
  const Case cases[] = {
      {"drive in KiB", [](AltusDatalogger *d) { d->status.driveStatus[0] = 0x800 | 3; }, "dra",
       "3072"},
      {"drive in MiB", [](AltusDatalogger *d) { d->status.driveStatus[0] = 0x1000 | 0x3FF; }, "dra",
       "1072693248"},
      {"drive count only", [](AltusDatalogger *d) { d->status.driveStatus[0] = 0x8007; }, "dra",
       "7"},
      {"KiB bit before GiB bit", [](AltusDatalogger *d) { d->status.driveStatus[1] = 0x2805; },
       "drb", "5120"},
      {"gps unlocked with lock bit",
       [](AltusDatalogger *d) { d->last_params.ro_timing.gpsStatus = 0x32; }, "gps", "U"},
      {"gps not built in", [](AltusDatalogger *d) { d->last_params.ro_timing.gpsStatus = 0x30; },
       "gpss", "nb"},
      {"gps off, lock recent",
       [](AltusDatalogger *d) { d->last_params.ro_timing.gpsStatus = 0x02; }, "gps", "lf"},
      {"gps off, lock a day old",
       [](AltusDatalogger *d) {
         d->last_params.ro_timing.gpsStatus = 0x02;
         d->last_params.ro_timing.gpsLastLockTime[0] = kAltusNow - 86400;
         d->last_params.ro_timing.gpsLastLockTime[1] = kAltusNow - 90000;
       },
       "gps", "off"},
      {"unknown clock source", [](AltusDatalogger *d) { d->last_params.ro_timing.clockSource = 9; },
       "clq", "-"},
      {"battery charging sign",
       [](AltusDatalogger *d) { d->last_params.ro_misc.batteryVoltage = 131; }, "dvs", "d"},
      {"parameters without status", [](AltusDatalogger *d) { d->status_time = 0; }, "evts", "-"},
      {"gap off clears it", [](AltusDatalogger *d) { d->order_output_data = 0; }, "dg", "-"},
      {"only stream data", [](AltusDatalogger *d) { d->last_data_time = 0; }, "dlt", "5.000"},
      {"unknown com mode", [](AltusDatalogger *d) { d->com_mode = static_cast<AltusComMode>(9); },
       "com", "none"},
      {"unknown stream state",
       [](AltusDatalogger *d) { d->stream_status = static_cast<AltusStreamState>(12); }, "strm",
       "none"},
      {"console mode", [](AltusDatalogger *d) { d->com_mode = ALTUS_COM_MONITOR; }, "con", "su"},
      {"called in", [](AltusDatalogger *d) { d->connected_modem_status->mode = 1; }, "modem",
       "->tty1"},
  };
  for (const Case &c : cases) {
    connect_with_params();  // every field back to the reference values
    c.set(dl);
    std::string text = status();
    EXPECT_EQ(value(text, c.key), c.want) << c.what;
    if (std::string(c.what) == "gap off clears it") {
      EXPECT_EQ(dl->data_gap_time.load(), 0.0);
    }
  }
}

// ---- data rate ----

TEST_F(AltusStatus, DataRateAcrossCounterCarry) {
  modem = modem_new();
  modem->connect_time = kNow - 10;
  modem->nbread = 999999000;
  modem->nbwrite = 1000;
  dl->connected_modem = modem;
  altus_datarate_update(altus);  // first pass: since the connection began
  EXPECT_DOUBLE_EQ(dl->datarate.load(), 8.0 * 1000000000.0 / 10.0);
  clock.t += 1;
  modem->nbread = 500;  // 1500 bytes later the low count carried
  modem->nbread_gig = 1;
  altus_datarate_update(altus);
  EXPECT_DOUBLE_EQ(dl->datarate.load(), 8.0 * 1500.0);
  altus_datarate_update(altus);  // no time passed: no rate
  EXPECT_DOUBLE_EQ(dl->datarate.load(), 0.0);
  dl->connected_modem = nullptr;
  altus_datarate_update(altus);
  EXPECT_DOUBLE_EQ(dl->datarate.load(), 0.0);
  EXPECT_EQ(dl->datarate_time, 0.0);
  EXPECT_EQ(dl->datarate_nbread, 0u);
}

// ---- program stash ----

TEST_F(AltusStatus, ProgramStash) {
  TempDir dir;
  std::string ring = dir.file("st.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
  Orbtag st{};
  st.orbw = orbopen(ring.c_str(), "w");
  int rd = orbopen(ring.c_str(), "r");
  ASSERT_GE(st.orbw, 0);
  altus->status = &st;
  altus->status_srcname = strdup("kes/pf/st");
  altus->commandline = strdup("kessaro -pf kessaro kes :st");
  ASSERT_EQ(pfcompile("status_interval 60\nmodems &Arr{\nm1 &Arr{\nport 5000\n}\n}\n"
                      "pocds &Tbl{\nring1\n}\n",
                      &altus->pf),
            0);
  ASSERT_EQ(make_program_stash(altus), 0);

  int id = 0, nbytes = 0, bufsize = 0;
  char src[ORBSRCNAME_SIZE];
  double time = 0;
  char *bytes = nullptr;
  ASSERT_EQ(orbreap_nd(rd, &id, src, &time, &bytes, &nbytes, &bufsize), 0);
  EXPECT_STREQ(src, "kes/pf/st");
  EXPECT_DOUBLE_EQ(time, kNow);
  Packet *pkt = nullptr;
  ASSERT_EQ(unstuffPkt(src, time, bytes, nbytes, &pkt), Pkt_stash);
  EXPECT_STREQ(pkt->string,
               "commandline &Literal{\nkessaro -pf kessaro kes :st}\nkessaro.pf &Arr{\n"
               "modems &Arr{\nm1 &Arr{\nport 5000\n}\n}\npocds &Tbl{\nring1\n}\n"
               "status_interval 60\n}\n");
  Pf *back = nullptr;
  ASSERT_EQ(pfcompile(pkt->string, &back), 0);
  EXPECT_STREQ(pfget_string(back, "commandline"), "kessaro -pf kessaro kes :st");
  freePkt(pkt);
  pffree(back);
  free(bytes);
  orbclose(rd);
  orbclose(st.orbw);
  pffree(altus->pf);
  altus->pf = nullptr;
  free(altus->status_srcname);
  free(altus->commandline);
  altus->status = nullptr;
}

}  // namespace
