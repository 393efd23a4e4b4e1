// Tests of the log lines: prefixes, the register of pending errors, what reaches the
// ring buffer, time texts and the self-expiring debug switches.
#include "altuscomsubs_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "altuscom_fixture.h"
#include "altuscomsubs_output.h"
#include "base/elog.h"
#include "testkit/testkit.h"

namespace {

using AltusLog = AltusPipeline;

std::string prefix(Modem *m, AltusDatalogger *d) {
  char line[ALTUSLOG_LINE_SIZE];
  EXPECT_EQ(init_msg(m, d, line), 0);
  return line;
}

TEST_F(AltusLog, PrefixNamesLinkAndDataloggerWithTheCallDirection) {
  struct Case {
    bool link, logger;
    int mode;
    const char *want;
  } cases[] = {
      {false, false, 0, "2020001 00:00:00.250: kes:"},
      {true, false, 1, "2020001 00:00:00.250: kes: tty1:"},
      {false, true, 0, "2020001 00:00:00.250: kes: dlA:"},
      {true, true, 1, "2020001 00:00:00.250: kes: tty1<-dlA:"},
      {true, true, 2, "2020001 00:00:00.250: kes: tty1->dlA:"},
      {true, true, 0, "2020001 00:00:00.250: kes: tty1dlA:"},
  };
  for (const Case &c : cases) {
    modem->mode = c.mode;
    EXPECT_EQ(prefix(c.link ? modem : nullptr, c.logger ? dl : nullptr), c.want) << c.want;
  }
}

TEST_F(AltusLog, MessageStripsLineEndsAndIsPushedAsALogLine) {
  modem->mode = 2;
  ElogCapture cap;
  altuscom_log_message(modem, dl, 0, "hello %d\r\n", 7);
  altuscom_log_message(modem, dl, 1, "forced\n");
  altuscom_log_stop(nullptr, nullptr, "stopping");
  std::vector<AltusPacket *> q = drain();
  ASSERT_EQ(q.size(), 3u);
  EXPECT_STREQ(reinterpret_cast<char *>(q[0]->data),
               "2020001 00:00:00.250: kes: tty1->dlA: hello 7");
  EXPECT_EQ(q[0]->type, ALTUSPKT_LOG);
  EXPECT_EQ(q[0]->nbytes, (int)strlen(reinterpret_cast<char *>(q[0]->data)) + 1);
  EXPECT_EQ(q[0]->modem, modem);
  EXPECT_EQ(q[0]->datalogger, dl);
  EXPECT_EQ(q[2]->type, ALTUSPKT_STOP);
  // Only forced lines and the stop line reach the notification log.
  EXPECT_FALSE(cap.contains("hello 7"));
  EXPECT_TRUE(cap.contains("tty1->dlA: forced"));
  EXPECT_TRUE(cap.contains("kes: stopping"));
}

TEST_F(AltusLog, LineBreaksInsideAMessageKeepItOneLine) {
  // Every part of a message carries the prefix: a break inside the text becomes a blank,
  // in the ring and on the complaint log alike.
  struct Case {
    const char *text, *want;
  } cases[] = {
      {"error.\nprocess_command: bad key\n", "error. process_command: bad key"},
      {"a\r\nb\rc\n\nd\r\n", "a b c  d"},
      {"plain", "plain"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    ElogCapture cap;
    altuscom_log_message(nullptr, dl, 0, "%s", c.text);
    altuscom_log_complain(nullptr, dl, 0, 0, "%s", c.text);
    std::vector<std::string> q = texts();
    ASSERT_EQ(q.size(), 2u);
    EXPECT_EQ(q[0], std::string("2020001 00:00:00.250: kes: dlA: ") + c.want);
    EXPECT_EQ(q[1], std::string("2020001 00:00:00.250: kes: dlA: ERROR: ") + c.want);
    ASSERT_EQ(cap.lines().size(), 1u) << cap.text();
    EXPECT_NE(cap.lines()[0].find(std::string("dlA: ERROR: ") + c.want), std::string::npos);
  }
}

// Random bytes on a stream link: one complaint per refused frame. Each kind of line is
// printed and sent at most a few times a minute, then once a minute with its count.
TEST_F(AltusLog, AFloodOfOneComplaintGivesABurstAndARepeatLineAMinute) {
  struct Case {
    const char *what;
    bool complain;  // a complaint (printed) or a plain log line
  } cases[] = {{"complaints", true}, {"log lines", false}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    elog_flood_reset_all();
    drain();
    ElogCapture cap;
    const double start = clock.t;
    for (int i = 0; i < 49171; i++) {
      clock.t = start + i * 0.001;  // 49 s of refused frames
      if (c.complain)
        altuscom_log_complain(modem, dl, 0, 0, "getstream0: bad frame.\n");
      else
        altuscom_log_message(modem, dl, 0, "getstream0: bad frame.\n");
    }
    clock.t = start + 61;
    altuscom_log_message(modem, dl, 0, "getstream0: other\n");
    std::vector<std::string> q = texts();
    ASSERT_EQ(q.size(), (size_t)ELOG_FLOOD_BURST + 2);
    EXPECT_NE(q[ELOG_FLOOD_BURST].find("getstream0: bad frame. (repeated " +
                                       std::to_string(49171 - ELOG_FLOOD_BURST) + " times)"),
              std::string::npos)
        << q[ELOG_FLOOD_BURST];
    EXPECT_NE(q.back().find("getstream0: other"), std::string::npos);
    if (c.complain) {
      EXPECT_EQ(cap.lines().size(), (size_t)ELOG_FLOOD_BURST + 1) << cap.text();
    }
    clock.t = start;
  }
}

TEST_F(AltusLog, RegisteredErrorsArePrintedOnceByTheNextComplaint) {
  ElogCapture cap;
  altuscom_log_register_error(modem, dl, 0, "first\n");
  EXPECT_TRUE(drain().empty());
  EXPECT_FALSE(cap.contains("first"));
  altuscom_log_complain(modem, dl, 0, 0, "second\n");
  std::vector<std::string> q = texts();
  ASSERT_EQ(q.size(), 2u);
  EXPECT_EQ(q[0], "2020001 00:00:00.250: kes: tty1dlA: ERROR: first");
  EXPECT_EQ(q[1], "2020001 00:00:00.250: kes: tty1dlA: ERROR: second");
  altuscom_log_complain(modem, dl, 0, 0, "third");
  q = texts();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].find("ERROR: third"), std::string::npos);
  EXPECT_EQ(cap.text().find("ERROR: first"), cap.text().rfind("ERROR: first"));
}

TEST_F(AltusLog, NopushComplainsWithoutTheRing) {
  ElogCapture cap;
  altuscom_log_register_error(nullptr, dl, 0, "pending");
  errno = ENOENT;
  altuscom_log_complain_nopush(nullptr, dl, 0, 1, "failed");
  EXPECT_TRUE(drain().empty());
  EXPECT_TRUE(cap.contains("dlA: ERROR: pending"));
  EXPECT_TRUE(cap.contains("dlA: SYSTEM ERROR: " + std::string(strerror(ENOENT))));
  EXPECT_TRUE(cap.contains("dlA: ERROR: failed"));
}

TEST_F(AltusLog, OnlyAFullTimeStampCountsAsAPrefix) {
  struct Case {
    const char *msg, *want;
  } cases[] = {
      {"2021045 10:11:12.345: other: kept as it is\n",
       "2021045 10:11:12.345: other: kept as it is"},
      {"2021 was a year", "2020001 00:00:00.250: kes: ERROR: 2021 was a year"},
      {"2021045 10:11:12", "2020001 00:00:00.250: kes: ERROR: 2021045 10:11:12"},
      {"12345678 10:11:12.345", "2020001 00:00:00.250: kes: ERROR: 12345678 10:11:12.345"},
  };
  for (const Case &c : cases) {
    altuscom_log_error(nullptr, nullptr, 0, 1, 0, c.msg);
    std::vector<std::string> q = texts();
    ASSERT_EQ(q.size(), 1u);
    EXPECT_EQ(q[0], c.want);
  }
}

TEST_F(AltusLog, OverlongMessageIsCut) {
  std::string big(3000, 'x');
  altuscom_log_message(nullptr, nullptr, 0, "%s", big.c_str());
  std::vector<std::string> q = texts();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].size(), (size_t)ALTUSLOG_LINE_SIZE - 1);
}

TEST(AltusTimeText, RoundsToTheMillisecondBeforeSplitting) {
  struct Case {
    double t;
    const char *log, *logday, *eu;
  } cases[] = {
      {1577836800.25, "2020001 00:00:00.250", "00:00:00.250", "2020-01-01 (001) 00:00:00.250"},
      {1583020799.9994, "2020060 23:59:59.999", nullptr, nullptr},
      // 59.9996 s carries into the next minute, hour, day and year.
      {1609459199.9996, "2021001 00:00:00.000", "00:00:00.000", "2021-01-01 (001) 00:00:00.000"},
      {1583020859.99951, "2020061 00:01:00.000", nullptr, "2020-03-01 (061) 00:01:00.000"},
  };
  for (const Case &c : cases) {
    char *s = logtime(c.t, 0);
    EXPECT_STREQ(s, c.log) << c.t;
    free(s);
    if (c.logday) {
      s = logtime(c.t, 1);
      EXPECT_STREQ(s, c.logday);
      free(s);
    }
    if (c.eu) {
      s = eustrtime(c.t);
      EXPECT_STREQ(s, c.eu);
      free(s);
    }
  }
  AltusBlockStrdata blk{};
  blk.time_altusepoch = 1262304000u - 315532800u;  // 2010-01-01
  blk.time_msec = 999;
  char *s = logaltustime(&blk, 0);
  EXPECT_STREQ(s, "2010001 00:00:00.999");
  free(s);
}

TEST_F(AltusLog, DebugSwitchExpiresAfterItsTimeout) {
  EXPECT_EQ(altuscom_data_verbose(nullptr), 0);
  dl->debug_data = 2;
  dl->debug_data_timeout = 600.0;
  clock.t = 5000.0;
  EXPECT_EQ(altuscom_data_verbose(dl), 2);  // the clock starts here
  clock.t = 5600.0;
  EXPECT_EQ(altuscom_data_verbose(dl), 2);
  EXPECT_TRUE(drain().empty());
  clock.t = 5600.5;
  EXPECT_EQ(altuscom_data_verbose(dl), 0);
  EXPECT_EQ(altuscom_data_verbose(dl), 0);
  std::vector<std::string> q = texts();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].find("Resetting debug_data to 0 due to timeout."), std::string::npos);

  dl->v_strseq = -2;
  dl->v_strseq_timeout = 1.0;
  for (double t : {6000.0, 7000.0, 1e9}) {
    clock.t = t;
    EXPECT_EQ(altuscom_v_strseq_verbose(dl), 2);
  }
  dl->debug_serial = 1;  // no time-out: never expires
  clock.t = 1e9 + 1e6;
  EXPECT_EQ(altuscom_serial_verbose(dl), 1);
  dl->log_data_errors = 1;
  EXPECT_EQ(altuscom_log_data_errors(dl), 1);
  EXPECT_TRUE(drain().empty());
}

}  // namespace
