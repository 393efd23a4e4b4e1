// Pattern waits of the device record: pieces separated by "~" with their own limits, the
// two-pattern waits, and the capture of the text before a pattern.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "bytestream/serialbuf.h"
#include "fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;

namespace {

// Input that the far end sends over time: each step after a pause of clock seconds.
struct Step {
  double after;
  std::string text;
};

struct Link {
  Recorder rec;
  SockPair sp;
  Record r;
  std::thread feeder;
  explicit Link(int timeout) : r(make_record(&rec, 256, timeout)) {
    attach(r.get(), sp.give_near());
  }
  ~Link() {
    if (feeder.joinable()) feeder.join();
  }
  void feed(std::vector<Step> steps) {
    feeder = std::thread([this, steps] {
      for (const auto &s : steps) {
        clock_sleep(s.after);
        if (s.text == "<eof>")
          sp.close_far();
        else
          sp.send(s.text);
      }
    });
  }
  // The next byte, if one comes within a short time.
  int next() {
    unsigned char c;
    int saved = r->timeout;
    r->timeout = 300;
    int rc = serialbuf_get_byte(r.get(), &c, 0);
    r->timeout = saved;
    take_registered();
    return rc == 0 ? c : -1;
  }
};

// Bytes "x" every `gap` clock seconds, n times: a peer that talks without sending the
// pattern.
std::vector<Step> chatter(int n, double gap) {
  return std::vector<Step>((size_t)n, Step{gap, "x"});
}

TEST(SerialbufReadUntil, PiecesInOrderEachWithinItsOwnLimit) {
  ClockScale fast(0.25);
  const struct {
    const char *name;
    const char *pattern;
    int timeout;
    std::vector<Step> input;
    int rc;
    int next;  // the byte read after the wait, -1 for none
  } cases[] = {
      {"two pieces", "OK~READY", 1000, {{0, "xxOKyyREADYz"}}, 0, 'z'},
      {"pieces out of order", "OK~READY", 1000, {{0, "READYxOK"}}, 1, -1},
      {"empty pieces do not count", "~OK~~", 1000, {{0, "OKz"}}, 0, 'z'},
      {"only separators", "~~~", 1000, {{0, "abc"}}, 0, 'a'},
      {"empty pattern", "", 1000, {{0, "abc"}}, 0, 'a'},
      {"overlapping start", "aab", 1000, {{0, "aaabz"}}, 0, 'z'},
      {"NUL bytes are skipped", "AB", 1000, {{0, std::string("A\0Bz", 4)}}, 0, 'z'},
      // Each piece has its own limit: the whole wait takes longer than `timeout`.
      {"each piece in time", "OK~READY", 1000, {{0.55, "OK"}, {0.55, "READY"}}, 0, -1},
      {"silence ends it", "OK", 1000, {{0, "O"}}, 1, -1},
      {"a talking peer is ended by the limit", "OK", 1000, chatter(5, 0.3), 1, 'x'},
      {"end of input", "OK", 1000, {{0, "O"}, {0, "<eof>"}}, 2, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l(c.timeout);
    l.feed(c.input);
    EXPECT_EQ(serialbuf_read_until(l.r.get(), c.pattern), c.rc) << take_registered();
    take_registered();
    l.feeder.join();
    EXPECT_EQ(l.next(), c.next);
  }
}

TEST(SerialbufReadUntil, RefusesOverLongPatternsAndReportsTheWatcher) {
  Link l(1000);
  std::string longer(SERIALBUF_PATTERN_MAX + 1, 'a');
  l.sp.send("aaaa");
  EXPECT_EQ(serialbuf_read_until(l.r.get(), longer.c_str()), -1);
  EXPECT_EQ(take_registered(), "serialbuf_read_until: pattern longer than 511 characters.\n");
  EXPECT_EQ(l.next(), 'a');  // nothing was read for it
  std::string longest(SERIALBUF_PATTERN_MAX, 'b');
  l.sp.send(longest);
  EXPECT_EQ(serialbuf_read_until(l.r.get(), longest.c_str()), 0);

  // The busy text seen while waiting ends the wait with 5.
  serialbuf_set_modem_control(l.r.get(), 0, 1000, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, "BUSY", nullptr, nullptr);
  l.sp.send("xBUSYxCONNECT");
  EXPECT_EQ(serialbuf_read_until(l.r.get(), "CONNECT"), 5);
}

TEST(SerialbufReadUntil, InterruptibleWaitHasNoClockLimit) {
  ClockScale fast(0.1);
  {
    Link l(1000);
    std::vector<Step> input = chatter(6, 0.4);
    input.push_back({0.1, "RING"});
    l.feed(input);
    EXPECT_EQ(serialbuf_read_until_intr(l.r.get(), "RING"), 0);
  }
  {
    Link l(0);
    l.rec.idle_results = {0, 0, 3};
    EXPECT_EQ(serialbuf_read_until_intr(l.r.get(), "RING"), 3);
    EXPECT_EQ(l.rec.idle_phases, (std::vector<int>{1, 1, 1}));
  }
}

TEST(SerialbufReadUntil2, TheFirstOrTheSecondPattern) {
  ClockScale fast(0.25);
  const struct {
    const char *name;
    const char *until;
    const char *until2;
    std::vector<Step> input;
    int rc;
    int next;
  } cases[] = {
      {"first", "\r\n* ", "CALLING", {{0, "xx\r\n* z"}}, 0, 'z'},
      {"second wins", "\r\n* ", "CALLING", {{0, "xxCALLINGz\r\n* "}}, 6, 'z'},
      {"both at once: the first", "AB", "B", {{0, "ABz"}}, 0, 'z'},
      {"no second pattern", "AB", "", {{0, "abc"}}, 0, 'a'},
      {"no first pattern", nullptr, "B", {{0, "abc"}}, 0, 'a'},
      // The limit is twice `timeout` from the start.
      {"in twice the time", "OK", "NO", {{0.6, "x"}, {0.6, "x"}, {0.1, "OK"}}, 0, -1},
      {"a talking peer is ended", "OK", "NO", chatter(12, 0.3), 1, 'x'},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l(1000);
    l.feed(c.input);
    EXPECT_EQ(serialbuf_read_until2(l.r.get(), c.until, c.until2), c.rc) << take_registered();
    l.feeder.join();
    EXPECT_EQ(l.next(), c.next);
  }
  Link l(0);
  l.rec.idle_results = {0, 3};
  EXPECT_EQ(serialbuf_read_until2_intr(l.r.get(), "A", "B"), 3);
  l.sp.send("xxB");
  EXPECT_EQ(serialbuf_read_until2_intr(l.r.get(), "A", "B"), 6);
}

TEST(SerialbufReadUntilParse, KeepsTheTextBeforeTheLastPiece) {
  ClockScale fast(0.1);
  const struct {
    const char *name;
    const char *pattern;
    int size;
    std::string input;
    int rc;
    std::string value;
  } cases[] = {
      {"model", "Kinemetrics ~\r\n", 24, "boot\r\nKinemetrics Altus K2\r\nS/N 1", 0, "Altus K2"},
      {"serial number cut to its size", "S/N ~\r\n", 16,
       "Kinemetrics Altus K2\r\nS/N 12345678901234567890\r\n", 0, "678901234567890"},
      {"command output", "\r\n* ", 512, "ver\r\nVersion 1.2\r\nOK\r\n* ", 0,
       "ver\r\nVersion 1.2\r\nOK"},
      {"room for nothing", "\r\n* ", 1, "abc\r\n* ", 0, ""},
      {"no pattern", "", 16, "abc", 0, ""},
      {"what came before a silence", "\r\n* ", 16, "partial", 1, "part"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Link l(1000);
    l.sp.send(c.input);
    std::vector<char> value((size_t)c.size, '?');
    EXPECT_EQ(serialbuf_read_until_parse(l.r.get(), c.pattern, value.data(), c.size), c.rc);
    EXPECT_EQ(std::string(value.data()), c.value);
    take_registered();
  }
}

TEST(SerialbufReadUntilParse, RefusesNoRoomAndEndsATalkingPeer) {
  ClockScale fast(0.1);
  // A time-out ten times the chatter's gap, so that a loaded machine does not see a
  // silence in the chatter.
  Link l(2000);
  char value[8] = "old";
  EXPECT_EQ(serialbuf_read_until_parse(l.r.get(), "OK", value, 0), -1);
  EXPECT_NE(take_registered().find("serialbuf_read_until_parse: no room"), std::string::npos);

  // Silence never comes, so only the overall limit (ten times `timeout`) ends the wait.
  l.feed(chatter(115, 0.2));
  double start = clock_monotonic();
  EXPECT_EQ(serialbuf_read_until_parse(l.r.get(), "\r\n* ", value, sizeof value), 1);
  double took = clock_monotonic() - start;
  EXPECT_GE(took, 20.0);
  EXPECT_LT(took, 22.5);
  EXPECT_EQ(std::string(value), "xxxxxxx");
  EXPECT_NE(take_registered().find("serialbuf_read_until_parse: no pattern within 20.0 s"),
            std::string::npos);
}

}  // namespace
