#include "base/elog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "base/oom.h"
#include "testkit/testkit.h"

TEST(Elog, RegisteredMessagesWaitForTheNextComplaint) {
  ElogCapture cap;
  elog_log(0, "first: %d\n", 1);
  elog_log(0, "second\n");
  EXPECT_TRUE(cap.lines().empty());
  elog_complain(0, "caller: failed\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("first: 1"), std::string::npos);
  EXPECT_NE(lines[1].find("second"), std::string::npos);
  EXPECT_NE(lines[2].find("caller: failed"), std::string::npos);
  EXPECT_EQ(elog_mark(), 0);
}

TEST(Elog, ClearRegisterPrintsOrDrops) {
  struct Case {
    int flag;
    size_t printed;
  } cases[] = {{0, 0}, {1, 2}};
  for (const Case &c : cases) {
    ElogCapture cap;
    elog_log(0, "a\n");
    elog_log(0, "b\n");
    EXPECT_EQ(elog_clear_register(c.flag), 2);
    EXPECT_EQ(cap.lines().size(), c.printed) << "flag " << c.flag;
    EXPECT_EQ(elog_clear_register(1), 0);
  }
}

TEST(Elog, LinesArePrefixedAndFlagOneAddsTheSystemError) {
  ElogCapture cap;
  errno = ENOENT;
  elog_complain(1, "open_it: open(%s) error.\n", "/x");
  errno = ENOENT;
  elog_complain(0, "plain\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].rfind(std::string(Program_Name) + ": open_it: open(/x) error.", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[0].find("No such file"), std::string::npos);
  EXPECT_EQ(lines[1].find("No such file"), std::string::npos);
  EXPECT_EQ(lines[1].back(), '\n');
}

TEST(Elog, MultiLineMessagesGetOnePrefixPerLine) {
  ElogCapture cap;
  elog_notify(0, "one\n\ttwo\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[1].find(": \ttwo"), std::string::npos);
}

TEST(Elog, QueryHandsOverFromAMark) {
  ElogCapture cap;
  elog_log(0, "before\n");
  int mark = elog_mark();
  errno = EACCES;
  elog_log(1, "after\n");
  Elog_msg *list = nullptr;
  int n = elog_query(1, mark, &list);
  ASSERT_EQ(n, 1);
  EXPECT_STREQ(list[0].msg, "after\n");
  EXPECT_STRNE(list[0].sys, "");
  EXPECT_EQ(list[0].severity, ELOG_LOG);
  elog_free_msg(&list[0]);
  free(list);
  EXPECT_EQ(elog_mark(), 2);  // flag 1 leaves them
  n = elog_query(2, 0, &list);
  EXPECT_EQ(n, 2);
  for (int i = 0; i < n; i++) elog_free_msg(&list[i]);
  free(list);
  EXPECT_EQ(elog_mark(), 0);  // flag 2 takes them
}

TEST(Elog, RegisterIsPerThread) {
  ElogCapture cap;
  elog_log(0, "main thread\n");
  std::thread t([] { EXPECT_EQ(elog_clear_register(0), 0); });
  t.join();
  EXPECT_EQ(elog_clear_register(0), 1);
}

TEST(Elog, DieAndFaultGoThroughTheExitHook) {
  ElogCapture cap;
  ElogExitTrap trap;
  try {
    elog_die(0, "fatal thing\n");
    FAIL() << "elog_die returned";
  } catch (const ElogExit &e) {
    EXPECT_EQ(e.status, 1);
  }
  EXPECT_TRUE(cap.contains("fatal thing"));
  try {
    elog_fault(0, "broken\n");
  } catch (const ElogExit &e) {
    EXPECT_EQ(e.status, 2);
  }
}

TEST(Elog, OutOfMemoryMessage) {
  ElogCapture cap;
  ElogExitTrap trap;
  EXPECT_THROW(out_of_memory(42, "x.cpp", 100, "thing"), ElogExit);
  EXPECT_TRUE(cap.contains("Out of memory at line 42 in 'x.cpp'"));
  EXPECT_TRUE(cap.contains("\tCan't malloc 100 bytes for thing"));
}

TEST(Elog, DebugOnlyWhenVerbose) {
  ElogCapture cap;
  Verbose = 0;
  elog_debug(0, "quiet\n");
  EXPECT_TRUE(cap.lines().empty());
  Verbose = 1;
  elog_debug(0, "loud\n");
  Verbose = 0;
  EXPECT_TRUE(cap.contains("loud"));
}

TEST(Elog, InitTakesTheBaseName) {
  char arg0[] = "/usr/local/bin/muldrin";
  char *argv[] = {arg0, nullptr};
  elog_init(1, argv);
  EXPECT_STREQ(Program_Name, "muldrin");
}

// ---- Flood gates ------------------------------------------------------------------------

// A flood of one message, spread evenly over `seconds`, and the lines it may give.
TEST(ElogFlood, AFloodGivesABurstThenOneRepeatAMinute) {
  struct Case {
    const char *what;
    int messages;
    double seconds;
    int passed;   // messages written as they came
    int repeats;  // repeat lines due by the end (counted messages)
    int counted;  // messages in those repeats
  } cases[] = {
      {"a few", ELOG_FLOOD_BURST - 1, 10, ELOG_FLOOD_BURST - 1, 0, 0},
      {"just the burst", ELOG_FLOOD_BURST, 10, ELOG_FLOOD_BURST, 0, 0},
      // 20 s at 10,000 a second: the burst, then one repeat when the minute ends.
      {"bad datagrams, 20 s", 200000, 20, ELOG_FLOOD_BURST, 1, 200000 - ELOG_FLOOD_BURST},
      // Three minutes: one repeat a minute, nothing passed after the burst.
      {"three minutes", 18000, 180, ELOG_FLOOD_BURST, 3, 18000 - ELOG_FLOOD_BURST},
      // A retry every 10 s is never held back.
      {"one every 10 s", 30, 300, 30, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ElogFlood *g = elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, 16);
    ASSERT_NE(g, nullptr);
    std::vector<ElogFloodRepeat> due;
    int passed = 0;
    for (int i = 0; i < c.messages; i++)
      passed += elog_flood_pass(g, "dl1", "bad CRC from 127.0.0.1:5331\n",
                                1000 + c.seconds * i / c.messages, &due);
    elog_flood_due(g, 1000 + c.seconds + ELOG_FLOOD_WINDOW, 0, &due);
    EXPECT_EQ(passed, c.passed);
    EXPECT_EQ((int)due.size(), c.repeats);
    int counted = 0;
    for (const ElogFloodRepeat &r : due) counted += r.count;
    EXPECT_EQ(counted, c.counted);  // nothing is lost from the count
    if (!due.empty()) {
      EXPECT_EQ(elog_flood_text(due[0]), "bad CRC from 127.0.0.1:5331 (repeated " +
                                             std::to_string(due[0].count) + " times)");
    }
    elog_flood_free(g);
  }
}

TEST(ElogFlood, KeysAreSourceAndTextAndACalmMinuteEndsTheFlood) {
  ElogFlood *g = elog_flood_new(2, 60, 16);
  std::vector<ElogFloodRepeat> due;
  for (int i = 0; i < 10; i++) elog_flood_pass(g, "dl1", "refused", 0, &due);
  // Another source, or another text, is not held back by dl1's flood.
  EXPECT_EQ(elog_flood_pass(g, "dl2", "refused", 1, &due), 1);
  EXPECT_EQ(elog_flood_pass(g, "dl1", "other", 1, &due), 1);
  // The next minute: dl1's count is due and dl1 stays held while it floods.
  EXPECT_EQ(elog_flood_pass(g, "dl1", "refused", 61, &due), 0);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].source, "dl1");
  EXPECT_EQ(due[0].count, 8);
  due.clear();
  // A minute later the held one is due; after a whole calm minute the burst is back.
  elog_flood_due(g, 122, 0, &due);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].count, 1);
  elog_flood_due(g, 183, 0, &due);
  EXPECT_EQ(elog_flood_pass(g, "dl1", "refused", 184, &due), 1);
  // `all` hands over what is held at once (at shutdown).
  due.clear();
  for (int i = 0; i < 4; i++) elog_flood_pass(g, "dl3", "x", 190, &due);
  elog_flood_due(g, 190, 1, &due);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].count, 2);
  // A caller that takes no repeats loses none: they wait for the next that does.
  due.clear();
  for (int i = 0; i < 5; i++) elog_flood_pass(g, "dl4", "y", 300, nullptr);
  EXPECT_EQ(elog_flood_pass(g, "dl4", "y", 361, nullptr), 0);  // ends the window of 3 held
  elog_flood_due(g, 362, 0, &due);
  ASSERT_FALSE(due.empty());
  EXPECT_EQ(due[0].source, "dl4");
  EXPECT_EQ(due[0].count, 3);
  elog_flood_free(g);
  EXPECT_EQ(elog_flood_new(0, 60, 1), nullptr);
  EXPECT_EQ(elog_flood_new(1, 0, 1), nullptr);
}

TEST(ElogFlood, DistinctTextsBeyondTheKeysPushOutTheOldestWithItsCount) {
  ElogFlood *g = elog_flood_new(1, 60, 4);
  std::vector<ElogFloodRepeat> due;
  for (int i = 0; i < 3; i++) elog_flood_pass(g, "", "first", 0, &due);  // 2 held
  const char *others[] = {"alpha", "beta", "gamma", "delta", "epsilon", "zeta"};
  int passed = 0;
  for (const char *t : others) passed += elog_flood_pass(g, "", t, 1, &due);
  EXPECT_EQ(passed, 6);
  ASSERT_FALSE(due.empty());
  EXPECT_EQ(due[0].text, "first");
  EXPECT_EQ(due[0].count, 2);
  elog_flood_free(g);
}

TEST(ElogFlood, ShapeFoldsNumbersPathsAndQuotes) {
  struct Case {
    const char *text;
    const char *shape;
  } cases[] = {
      {"bad CRC from 127.0.0.1:5331", "bad CRC from #"},
      {"seq 12 too big (0x1A2B)", "seq # too big (#)"},
      {"2026345 12:00:00.123: kes: tcp1->K2_1234: bad", "# # kes: tcp#->K#_# bad"},
      {"block_readdirtree: A:\\D0\\D3 deeper than 16 levels",
       "block_readdirtree: ~ deeper than # levels"},
      {"srcname K2_1234/log refused", "srcname ~ refused"},
      {"no sn parameter in packet 'AA_BB/pf'", "no sn parameter in packet ~"},
      {"no sn in 'AA BB'", "no sn in '~'"},
      {"word \"quoted text\" here", "word \"~\" here"},
      {"an 'unclosed quote", "an 'unclosed quote"},
      {"", ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(elog_flood_shape(c.text), c.shape);
  }
  EXPECT_EQ(elog_flood_shape(std::string(5000, 'a').c_str()).size(), (size_t)ELOG_FLOOD_SHAPE_MAX);
}

// A flood of `messages` spread evenly over `seconds` from one source, each text made by
// `text(i)`; every line written (passed, repeat or summary) is timed. In no window of a
// minute does the source write more than its budget and two summaries, and no message
// is lost from the counts.
TEST(ElogFlood, ASourceFloodOfVaryingMessagesStaysWithinItsBudget) {
  struct Case {
    const char *what;
    int messages;
    double seconds;
    std::string (*text)(int i);
    int min_passed;  // lines that must still get through
  } cases[] = {
      {"numbers vary, 10,000 a second for 20 s", 200000, 20,
       [](int i) { return "bad packet seq " + std::to_string(i) + " from K2_1234"; },
       ELOG_FLOOD_BURST},
      {"paths vary, 20 minutes", 100000, 1200,
       [](int i) {
         return "block_readdirtree: A:\\D" + std::to_string(i % 4) + "\\D" + std::to_string(i) +
                " deeper than 16 levels";
       },
       ELOG_FLOOD_BURST},
      {"every message a new shape, 3 minutes", 30000, 180,
       [](int i) {
         std::string w;
         for (int k = i; k > 0 || w.empty(); k /= 26) w += (char)('a' + k % 26);
         return "unknown word " + w;
       },
       3 * ELOG_FLOOD_SOURCE_LINES - 10},
      {"a few distinct lines", 50, 60,
       [](int i) { return std::string("step ") + (char)('a' + i % 25) + " done"; }, 50},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ElogFlood *g = elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, ELOG_FLOOD_KEYS);
    std::vector<double> written;
    int passed = 0;
    long counted = 0;
    auto take = [&](std::vector<ElogFloodRepeat> &due, double t) {
      for (const ElogFloodRepeat &r : due) {
        EXPECT_EQ(r.source, "dl1");
        counted += r.count;
        written.push_back(t);
      }
      due.clear();
    };
    std::vector<ElogFloodRepeat> due;
    for (int i = 0; i < c.messages; i++) {
      double t = 1000 + c.seconds * i / c.messages;
      if (elog_flood_pass(g, "dl1", c.text(i).c_str(), t, &due)) {
        passed++;
        written.push_back(t);
      }
      take(due, t);
      // Another source is not held back by dl1's flood.
      if (i == c.messages / 2) {
        EXPECT_EQ(elog_flood_pass(g, "dl2", "status ok", t, nullptr), 1);
      }
    }
    for (double t = 1000 + c.seconds; t < 1000 + c.seconds + 4 * ELOG_FLOOD_WINDOW; t += 1) {
      elog_flood_due(g, t, 0, &due);
      take(due, t);
    }
    elog_flood_due(g, 1e9, 1, &due);
    take(due, 1e9);
    EXPECT_EQ(passed + counted, c.messages);
    EXPECT_GE(passed, c.min_passed);
    size_t most = 0;
    for (size_t a = 0, b = 0; a < written.size(); a++) {
      while (b < written.size() && written[b] < written[a] + ELOG_FLOOD_WINDOW) b++;
      most = std::max(most, b - a);
    }
    EXPECT_LE(most, (size_t)ELOG_FLOOD_SOURCE_LINES + 2);
    elog_flood_free(g);
  }
  ElogFloodRepeat summary{"K2_1234", "", 5120, true};
  EXPECT_EQ(elog_flood_text(summary), "flood gate: 5120 lines of K2_1234 held back");
  EXPECT_EQ(elog_flood_new(1, 60, 4, 0), nullptr);
}

// A flood of a few dozen shapes, each past its burst, uses up to two thirds of the
// source's budget: an event of a new shape that comes meanwhile is still written.
TEST(ElogFlood, AFloodOfFewShapesLeavesRoomForNewEvents) {
  ElogFlood *g = elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, ELOG_FLOOD_KEYS);
  int passed = 0;
  for (int i = 0; i < 3000; i++) {
    std::string kind(1, (char)('a' + i % 26));
    kind += (char)('a' + i / 26 % 2);
    passed += elog_flood_pass(g, "dl1", ("fault " + kind + " seq " + std::to_string(i)).c_str(),
                              1000 + i * 0.01, nullptr);
  }
  EXPECT_LE(passed, ELOG_FLOOD_SOURCE_LINES - ELOG_FLOOD_SOURCE_LINES / 3);
  for (const char *event : {"POC change in datalogger ipaddress - resetting from 127.0.0.1 to "
                            "127.0.0.2",
                            "Registration successful."}) {
    SCOPED_TRACE(event);
    EXPECT_EQ(elog_flood_pass(g, "dl1", event, 1031, nullptr), 1);
  }
  elog_flood_free(g);
}

// The printed log: 20 s of the same complaint gives the burst, and the repeat line
// comes with the next message after the minute.
TEST(ElogFlood, PrintedMessagesPassTheGate) {
  DrivenClock clock(5000);
  ElogCapture cap;
  for (int i = 0; i < 20000; i++) {
    clock.now = 5000 + i * 0.001;
    elog_complain(0, "udp_read: bad CRC from %s.\n", "127.0.0.9");
  }
  EXPECT_EQ(cap.lines().size(), (size_t)ELOG_FLOOD_BURST);
  clock.now = 5061;
  elog_notify(0, "something else\n");
  auto lines = cap.lines();
  ASSERT_EQ(lines.size(), (size_t)ELOG_FLOOD_BURST + 2);
  EXPECT_NE(lines[ELOG_FLOOD_BURST].find("udp_read: bad CRC from 127.0.0.9. (repeated " +
                                         std::to_string(20000 - ELOG_FLOOD_BURST) + " times)"),
            std::string::npos)
      << lines[ELOG_FLOOD_BURST];
  EXPECT_NE(lines.back().find("something else"), std::string::npos);
  // Fatal messages and the switch for other tests pass everything.
  elog_set_flood_burst(0);
  cap.clear();
  for (int i = 0; i < 50; i++) elog_complain(0, "same\n");
  EXPECT_EQ(cap.lines().size(), 50u);
  elog_set_flood_burst(ELOG_FLOOD_BURST);
}

// The printed log under a flood of complaints whose numbers vary, driven by the clock
// seam: the burst of the shape, then one repeat and one summary a minute; fatal messages
// and debug lines pass whatever the flood.
TEST(ElogFlood, PrintedVaryingComplaintsStayWithinTheProgramBudget) {
  DrivenClock clock(7000);
  ElogCapture cap;
  std::vector<size_t> per_minute;
  size_t before = 0;
  for (int minute = 0; minute < 3; minute++) {
    for (int i = 0; i < 20000; i++) {
      clock.now = 7000 + minute * 60 + i * 0.003;
      elog_complain(0, "udp_read: bad length %d from 127.0.0.%d.\n", i, i % 200);
      if (i % 100 == 0)
        elog_notify(0, "word %c%c%c\n", 'a' + i % 26, 'a' + i / 26 % 26, 'a' + i / 676 % 26);
    }
    size_t n = cap.lines().size();
    per_minute.push_back(n - before);
    before = n;
  }
  for (size_t n : per_minute) EXPECT_LE(n, (size_t)ELOG_FLOOD_SOURCE_LINES + 2);
  EXPECT_TRUE(cap.contains("lines held back")) << cap.text();
  cap.clear();
  Verbose = 1;
  for (int i = 0; i < 300; i++) elog_debug(0, "DEBUGD: popped seq=%d\n", i);
  Verbose = 0;
  EXPECT_EQ(cap.lines().size(), 300u);
  ElogExitTrap trap;
  try {
    elog_die(0, "cannot go on: %d\n", 1);
  } catch (const ElogExit &) {
  }
  EXPECT_TRUE(cap.contains("*fatal* cannot go on: 1"));
}

TEST(Elog, ControlCharactersAreEscaped) {
  struct Case {
    std::string text;
    bool all;
    std::string out;
  } cases[] = {
      {"plain text", false, "plain text"},
      {"two\nlines\tand tab", false, "two\nlines\tand tab"},
      {"two\nlines\tand tab", true, "two\\nlines\\tand tab"},
      {"cr\r and esc \x1b[2J bell \x07 del \x7f", false,
       "cr\\r and esc \\x1b[2J bell \\x07 del \\x7f"},
      {std::string("nul\0in", 6), true, "nul\\x00in"},
      {"utf-8 \xc3\xa9 stays", true, "utf-8 \xc3\xa9 stays"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(elog_escape(c.text, c.all), c.out);
  }
  ElogCapture cap;
  elog_complain(0, "name \x1b]0;owned\x07 seen\n");
  ASSERT_EQ(cap.lines().size(), 1u);
  EXPECT_NE(cap.lines()[0].find("name \\x1b]0;owned\\x07 seen"), std::string::npos);
}
