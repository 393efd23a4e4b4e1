// Texts of the Altus status codes and the block-packet dump.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscom_fixture.h"
#include "altuscomsubs_block.h"
#include "altuscomsubs_log.h"
#include "base/elog.h"
#include "kessaro.h"
#include "testkit/testkit.h"

namespace {

// The dump goes to the ring's log through the write queue: its lines, gathered as one text.
class AltusRingDump : public AltusPipeline {
 protected:
  std::string got;
  void take_lines() {
    for (const std::string &t : texts()) got += t + "\n";
  }
  bool contains(const std::string &what) {
    take_lines();
    return got.find(what) != std::string::npos;
  }
  std::string text() {
    take_lines();
    return got;
  }
  void clear() {
    take_lines();
    got.clear();
  }
};

std::string take(char *p) {
  std::string s = p ? p : "";
  free(p);
  return s;
}

TEST(AltusStatusTexts, CodeTables) {
  const struct {
    char *(*fn)(unsigned int);
    unsigned int code;
    const char *want;
  } cases[] = {
      {altusbatterystatus2str, 0, "Charging"},
      {altusbatterystatus2str, 125, "12.50 Volts"},
      {altusbatterystatus2str, 255, "25.50 Volts"},
      {altushardwarestatus2str, 0, "Hardware OK"},
      {altushardwarestatus2str, 1, "Hardware fault"},
      {altushardwarestatus2str, 2, "Unknown hardwarestatus code"},
      {altusdrivestatus2str, 0x0C00, "Drive not ready"},
      {altusdrivestatus2str, 0x09FF, "511 Kbytes free"},
      {altusdrivestatus2str, 0x0A00, "512 Kbytes free"},  // bit 0x200 is part of the amount
      {altusdrivestatus2str, 0x3005, "5 Mbytes free"},
      {altusdrivestatus2str, 0x2001, "1 Gbytes free"},
      {altusdrivestatus2str, 0x0123, "Unknown drivestatus code"},
      {altusclocksource2str, 0, "RTC from cold start"},
      {altusclocksource2str, 1, "keyboard"},
      {altusclocksource2str, 2, "Sync with external reference pulse"},
      {altusclocksource2str, 3, "internal GPS"},
      {altusclocksource2str, 4, "Unknown clocksource code"},
      {altusnak2str, 0, "Command rejected, instrument stream command queue full"},
      {altusnak2str, 1, "CTRL command error, already started or stopped"},
      {altusnak2str, 2, "Block request error - streaming is disabled"},
      {altusnak2str, 3, "Block request error - block time limit expired, data lost"},
      {altusnak2str, 9, "Unknown nak code"},
      {altustriggerstatus2str, 0,
       "ACQ Off, Stream Detrig, Keyboard Detrig, Alarm Detrig, External Detrig"},
      {altustriggerstatus2str, 0x15,
       "ACQ On, Stream Detrig, Keyboard Trig, Alarm Detrig, External Trig"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(take(c.fn(c.code)), c.want);
  }
  EXPECT_EQ(take(altustime2str(0)), "1980/01/01 (1980001) 00:00:00");
  EXPECT_EQ(take(altustime2str(86400 * 366 + 3661)), "1981/01/01 (1981001) 01:01:01");
}

// Collects the lines the dump hands out.
void collect(const char *line, void *user) {
  static_cast<std::vector<std::string> *>(user)->push_back(line);
}

TEST(AltusPacketDump, HexLinesLineUp) {
  unsigned char data[17];
  for (int i = 0; i < 17; i++) data[i] = (unsigned char)('A' + i);
  data[3] = 0x01;
  std::vector<std::string> lines;
  block_hexdump_lines(data, 17, collect, &lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(
      lines[0],
      "DEBUGD:    datadump: 41 42 43 01 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50  ABC`EFGHIJKLMNOP\n");
  EXPECT_EQ(lines[1], "DEBUGD:    datadump: 51 " + std::string(69 - 24, ' ') + " Q\n");
  EXPECT_EQ(lines[0].find("ABC"), lines[1].find("Q"));
  lines.clear();
  block_hexdump_lines(data, 0, collect, &lines);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "DEBUGD:    datadump: " + std::string(69 - 21, ' ') + " \n");
}

TEST_F(AltusRingDump, StatusResponse) {
  AltusBlockPkt p{};
  p.typeCode = PKR_STATUS;
  p.seqNo = 0x21;
  p.dataLength = 24;
  const unsigned char st[24] = {0, 0, 0,    0, 0,    1,    0,   2,   0,   3,   0, 1,
                                0, 0, 0x04, 0, 0x08, 0x07, 'S', 'T', 'A', 'X', 0, 3};
  memcpy(p.data, st, 24);
  ElogCapture stderr_lines;
  EXPECT_EQ(print_block(nullptr, nullptr, 0, &p), 0);
  EXPECT_EQ(stderr_lines.text(), "") << "the dump stays off the error log";
  std::string t = text();
  for (const char *want :
       {"*********block mode response packet********", "typeCode: 0x83 (PKR_STATUS)", "seqNo: 0x21",
        "systemTime: 0 - 1980/01/01 (1980001) 00:00:00",
        "triggerStatus: 0x0001 - ACQ On, Stream Detrig", "batteryStatus: 0x00   - Charging",
        "Drive not ready", "7 Kbytes free", "stnID: STAX", "clockSource: 3 - internal GPS",
        "*********end block mode response packet********"})
    EXPECT_NE(t.find(want), std::string::npos) << want << "\n" << t;
  // A status payload of the wrong size ends its section, the closing lines still come.
  p.dataLength = 10;
  clear();
  print_block(nullptr, nullptr, 0, &p);
  EXPECT_TRUE(contains("status: decode_block_status() error."));
  EXPECT_TRUE(contains("end block mode response packet"));
}

// The codec dumps what it builds and parses by the datalogger's debug switches: commands
// and good packets from data verbosity 2, refused packets when data errors are logged and
// the data are debugged; with debugging off no packet's bytes reach any log.
TEST_F(AltusRingDump, CodecDumpsByTheDataloggersSwitches) {
  unsigned char *pkt = nullptr;
  int n = 0, size = 0;
  AltusBlockPkt in{};
  const struct {
    int debug_data, log_data_errors;
    bool command, good, bad;  // which of the three is dumped
  } cases[] = {
      {0, 0, false, false, false}, {-1, 0, false, false, false}, {-2, 0, true, true, false},
      {0, 1, false, false, false}, {-1, 1, false, false, true},  {-2, 1, true, true, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.debug_data * 10 + c.log_data_errors);
    elog_flood_reset_all();         // each case's dumps within the flood gate's budget
    dl->debug_data = c.debug_data;  // negative: never expires
    dl->log_data_errors = c.log_data_errors;
    ElogCapture log;
    clear();
    ASSERT_EQ(make_block_command_packet(PKC_PING, "hi", 2, 5, 1, &pkt, &n, &size, nullptr, dl), 0);
    EXPECT_EQ(contains("block mode command packet"), c.command) << text();
    clear();
    ASSERT_EQ(decode_block_packet(pkt, n, &in, nullptr, dl), 0);
    EXPECT_EQ(contains("block mode response packet"), c.good) << text();
    clear();
    EXPECT_EQ(decode_block_packet(pkt, n + 1, &in, nullptr, dl), -1);  // one byte too many
    EXPECT_TRUE(log.contains("long packet")) << log.text();
    EXPECT_EQ(contains("block mode response packet"), c.bad) << text();
    EXPECT_FALSE(log.contains("block mode")) << "no dump on the error log";
  }
  free(pkt);
}

TEST(AltusStatusTexts, StatusParameterFile) {
  AltusDatalogger *dl = altusdatalogger_new();
  dl->target_name = strdup("XX_STA1");
  dl->stat.laststatus_time = 1000.5;
  dl->stat.lastcom_error_rate = 0.0000125;
  dl->stat.nevents_transfered = 7;
  dl->lasttime = 2.25;
  dl->status.systemTime = 86400;
  dl->status.batteryStatus = 255;
  dl->status.driveStatus[1] = 0x0805;
  dl->status.clockSource = 3;
  char *t = status2pf(dl);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t,
               "XX_STA1 &Arr{\nst\t1000.500\nct\t0.000\net\t0.000\netm\t2.250\nbd\t0.000\n"
               "er\t0.000013\nne\t7\naltustm\t315619200.000\naltusne\t0\naltuser\t0\n"
               "altustr\t0\naltusbt\t255\naltushd\t0\naltusd0\t0\naltusd1\t2053\n"
               "altuscl\t3\n}\n");
  free(t);
  // The mutex is released: a second build does not block.
  free(status2pf(dl));
  altusdatalogger_free(dl);
}

TEST_F(AltusRingDump, ParamsSection) {
  AltusBlockParams h{};
  memcpy(h.id, "KMI", 3);
  h.headerBytes = static_cast<uint16_t>(altus_hdr_size(0));
  h.rw_misc.nchannels = 30;  // more than any header holds
  memcpy(h.rw_misc.stnID, "STAX", 4);
  h.rw_misc.latitude = 34.5f;
  h.rw_misc.channel_bitmap = 0x7;
  h.ro_misc.crc = 0xBEEF;
  h.rw_channel[0].naturalFrequency = 1.0f;
  memcpy(h.rw_modem.phoneNumber[3], "5551234", 7);
  AltusBlockPkt p{};
  p.typeCode = PKR_PARAMS;
  p.dataLength = altus_hdr_size(0);
  ASSERT_LE(p.dataLength, BLOCK_MAX_DATA);
  evt_encodealtusfilehdr(&h, p.data, 1, 0);
  AltusDebugLines debug(true);  // a dump the operator asked for: the whole of it
  print_block(nullptr, nullptr, 0, &p);
  for (const char *want :
       {"params:                                   id: KMI\n", "ro_misc.crc: 0xBEEF\n",
        "rw_misc.stnID: STAX\n", "rw_misc.latitude: 34.500000\n",
        "rw_misc.channel_bitmap: 0x00000007\n", "rw_channel[ 0].naturalFrequency: 1.0000\n",
        "rw_channel[17].alarmTriggerThreshold: 0.000\n", "rw_stream.voterInfo[20].weight: 0\n",
        "rw_modem.phoneNumber[3]: 5551234\n", "end block mode response packet"})
    EXPECT_TRUE(contains(want)) << want;
  EXPECT_FALSE(contains("channel[18]"));
  EXPECT_FALSE(contains("complete_call"));
  // The same header sent as a command is dumped too; a short one reports the failure.
  p.typeCode = PKC_SETPARAMS;
  p.dataLength = 40;
  clear();
  print_block(nullptr, nullptr, 1, &p);
  EXPECT_TRUE(contains("params: decode_block_params() error."));
  EXPECT_TRUE(contains("end block mode command packet"));
}

}  // namespace
