#include "ring/orb.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "ring/ringfile.h"
#include "ring/ringname.h"
#include "ringtest.h"
#include "testkit/testkit.h"

namespace {

class Orb : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VANTREL_RINGDIR", (dir.path() + "/rings").c_str(), 1);
    unsetenv("VANTREL_RINGSIZE");
    orbfault_reset();
  }
  void TearDown() override {
    for (int orb : opened) orbclose(orb);
    orbfault_reset();
    elog_clear_register(0);
  }
  // Opens (and remembers, to close) a connection; fails the test when it can't.
  int open(const std::string &name, const char *mode = "w") {
    int orb = orbopen(name.c_str(), mode);
    EXPECT_GE(orb, 0) << "orbopen " << name;
    if (orb >= 0) opened.push_back(orb);
    return orb;
  }
  std::string small_ring(const std::string &name, int64_t capacity = 16384) {
    std::string path = dir.file(name);
    EXPECT_EQ(orbcreate(path.c_str(), capacity), 0);
    return path;
  }

  TempDir dir;
  std::vector<int> opened;
};

TEST_F(Orb, NamesFindRingFilesInTheRingDirectory) {
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  struct Case {
    std::string name, file;
    int port;
  } cases[] = {
      {":", "6510.ring", 6510},
      {":6511", "6511.ring", 6511},
      {"localhost:6512", "6512.ring", 6512},
      {std::string(host) + ":6513", "6513.ring", 6513},
      {"127.0.0.1:06514", "6514.ring", 6514},
      {"[::1]:6515", "6515.ring", 6515},
      {"localhost", "6510.ring", 6510},
      {":wave_1", "wave_1.ring", 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    struct stat st {};
    if (stat((dir.path() + "/rings/" + c.file).c_str(), &st) != 0) {
      ASSERT_EQ(orbcreate(c.name.c_str(), 32768), 0) << take_registered();
    }
    int orb = open(c.name, "r");
    ASSERT_GE(orb, 0) << take_registered();
    EXPECT_EQ(stat((dir.path() + "/rings/" + c.file).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 32768);
    Orbstat s;
    ASSERT_EQ(orbstat(orb, &s), 0);
    EXPECT_EQ(s.port, c.port);
    EXPECT_EQ(std::vector<int>(s.address, s.address + 4), (std::vector<int>{127, 0, 0, 1}));
  }
}

TEST_F(Orb, RefusesBadNamesModesAndRemoteHosts) {
  struct Case {
    const char *name, *mode, *message;
  } cases[] = {
      {"elsewhere.invalid:6510", "r", "only local rings are served"},
      {"10.255.255.1", "r&", "only local rings are served"},
      {":0", "r", "out of range"},
      {":65536", "r", "out of range"},
      {":two words", "r", "must be a number or a word"},
      {":.hidden", "r", "must be a number or a word"},
      {"[::1", "r", "bad ring name"},
      {"", "r", "no ring name"},
      {":6510", "rw", "bad mode 'rw'"},
      {":6510", "", "bad mode ''"},
      {":6510", nullptr, "bad mode"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(orbopen(c.name, c.mode), -1);
    std::string log = take_registered();
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_EQ(log.rfind("orbopen: ", 0), 0u) << log;
  }
  struct stat st {};
  EXPECT_NE(stat((dir.path() + "/rings/6510.ring").c_str(), &st), 0) << "nothing created";
}

TEST_F(Orb, DefaultCapacityComesFromTheEnvironment) {
  struct Case {
    const char *env;  // none: unset
    int64_t capacity;
  } cases[] = {
      {nullptr, 64 << 20}, {"", 64 << 20}, {"128K", 128 << 10}, {"2M", 2 << 20},
      {"3x", -1},          {"lots", -1},   {"1K", -1},          {"-5M", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.env ? c.env : "(unset)");
    if (c.env)
      setenv("VANTREL_RINGSIZE", c.env, 1);
    else
      unsetenv("VANTREL_RINGSIZE");
    EXPECT_EQ(orb_default_capacity("who"), c.capacity);
    std::string log = take_registered();
    if (c.capacity < 0) {
      EXPECT_EQ(
          log.rfind(std::string("who: VANTREL_RINGSIZE '") + c.env + "' is not a ring size", 0), 0u)
          << log;
    }
  }
  unsetenv("VANTREL_RINGSIZE");
}

// Only orbcreate makes a ring: opening a missing one names its file, the rule that read
// the name and the command that makes it, and leaves nothing behind.
TEST_F(Orb, OpenNeverCreatesARing) {
  struct Case {
    std::string name, file, rule;
  } cases[] = {
      {dir.file("typo"), dir.file("typo"), "a path: it has a '/'"},
      {":6599", dir.path() + "/rings/6599.ring", "[host]:port"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    for (const char *mode : {"r", "w&"}) {
      EXPECT_EQ(orbopen(c.name.c_str(), mode), -1);
      std::string log = take_registered();
      EXPECT_EQ(
          log.rfind(
              "orbopen: no ring file '" + c.file + "' for '" + c.name + "' (read as " + c.rule, 0),
          0u)
          << log;
      EXPECT_NE(log.find("make it with 'ringtool create " + c.name + "'"), std::string::npos)
          << log;
      struct stat st {};
      EXPECT_NE(stat(c.file.c_str(), &st), 0) << "nothing created";
    }
  }
}

// A name is a path when it has a "/", ends in ".ring" or names an existing file; any
// other name is [host]:port in the ring directory.
TEST_F(Orb, NameRules) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  dir.write("existing", "x");
  struct Case {
    const char *name;
    std::string path, rule;
  } cases[] = {
      {"sub/r", "sub/r", "a path: it has a '/'"},
      {"r1.ring", "r1.ring", "a path: it ends in \".ring\""},
      {"existing", "existing", "a path: a file of that name exists"},
      {":r1", dir.path() + "/rings/r1.ring", "[host]:port"},
      {"localhost", dir.path() + "/rings/6510.ring", "[host]:port"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    RingName rn;
    ASSERT_EQ(ring_resolve_name("t", c.name, &rn), 0) << take_registered();
    EXPECT_EQ(rn.path, c.path);
    EXPECT_EQ(rn.rule.rfind(c.rule, 0), 0u) << rn.rule;
  }
  RingName rn;
  EXPECT_EQ(ring_resolve_name("t", "r1", &rn), -1);
  std::string log = take_registered();
  EXPECT_NE(log.find("'r1', read as [host]:port (no '/', no \".ring\" suffix, no file of that "
                     "name)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("names a ring on host 'r1'"), std::string::npos) << log;
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Orb, ParseSize) {
  struct Case {
    const char *text;
    int64_t value;
  } cases[] = {{"0", 0},
               {"16384", 16384},
               {"64K", 65536},
               {"3m", 3 << 20},
               {"2G", 2LL << 30},
               {"", -1},
               {"12Q", -1},
               {"-5", -1},
               {"1KB", -1},
               {"K", -1},
               {"4611686018427387904", 1LL << 62},
               {"4611686018427387905", -1},
               {"4294967296G", 1LL << 62},
               {"4294967297G", -1}};
  for (const Case &c : cases) EXPECT_EQ(orb_parse_size(c.text), c.value) << c.text;
}

TEST_F(Orb, CreateRefusesAnExistingRingAndBadCapacities) {
  std::string path = dir.file("made");
  EXPECT_EQ(orbcreate(path.c_str(), 32768), 0);
  EXPECT_EQ(orbcreate(path.c_str(), 32768), -1);
  EXPECT_NE(take_registered().find("already exists"), std::string::npos);
  EXPECT_EQ(orbcreate(dir.file("tiny").c_str(), 1000), -1);
  EXPECT_NE(take_registered().find("can't be made"), std::string::npos);
  EXPECT_EQ(orbcreate(dir.file("no/such/dir/ring").c_str(), 32768), -1);
  EXPECT_NE(take_registered().find("can't create ring file"), std::string::npos);
}

TEST_F(Orb, NewReaderStartsAfterTheNewestPacket) {
  std::string path = small_ring("r");
  int w = open(path);
  for (int i = 0; i < 3; i++) ASSERT_EQ(put(w, "AA/log", "old" + std::to_string(i)), i);
  int r = open(path, "r");
  EXPECT_EQ(reap(r).rc, -2);
  ASSERT_EQ(put(w, "AA/log", "new"), 3);
  Reaped p = reap(r);
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.pktid, 3);
  EXPECT_EQ(p.bytes, "new");
  EXPECT_EQ(reap(r).rc, -2);
}

TEST_F(Orb, SeekAfterAndGetPosition) {
  std::string path = small_ring("r");
  int w = open(path);
  for (int i = 0; i < 5; i++) put(w, "AA/log", "p" + std::to_string(i), 100.0 + i);
  int r = open(path, "r");
  EXPECT_EQ(orbseek(r, ORBOLDEST), 0);
  EXPECT_EQ(reap(r).bytes, "p0");
  EXPECT_EQ(orbseek(r, ORBNEWEST), 4);
  EXPECT_EQ(reap(r).bytes, "p4");
  EXPECT_EQ(orbseek(r, 2), 2);
  EXPECT_EQ(reap(r).bytes, "p2");
  EXPECT_EQ(orbseek(r, 9), -1);
  EXPECT_NE(take_registered().find("packet 9 is not in ring"), std::string::npos);
  EXPECT_EQ(orbseek(r, -7), -1);
  EXPECT_EQ(reap(r).bytes, "p3") << "a failed seek leaves the position";
  // orbafter: the first packet strictly after the time; none after: the end.
  EXPECT_EQ(orbafter(r, 101.0), 2);
  EXPECT_EQ(reap(r).bytes, "p2");
  EXPECT_EQ(orbafter(r, 0), 0);
  EXPECT_EQ(orbafter(r, 1e9), 5);
  EXPECT_EQ(reap(r).rc, -2);
  // orbget reads without moving the reader, and ignores the selection.
  ASSERT_EQ(orbselect(r, "nothing"), 0);
  char src[ORBSRCNAME_SIZE];
  char *buf = nullptr;
  int id, n, size = 0;
  double t;
  ASSERT_EQ(orbget(r, ORBOLDEST, &id, src, &t, &buf, &n, &size), 0);
  EXPECT_EQ(id, 0);
  EXPECT_EQ(std::string(buf, n), "p0");
  ASSERT_EQ(orbget(r, 3, &id, src, &t, &buf, &n, &size), 0);
  EXPECT_EQ(std::string(buf, n), "p3");
  EXPECT_EQ(t, 103.0);
  ASSERT_EQ(orbget(r, ORBNEWEST, &id, src, &t, &buf, &n, &size), 0);
  EXPECT_EQ(id, 4);
  EXPECT_EQ(orbget(r, 77, &id, src, &t, &buf, &n, &size), -1);
  free(buf);
  put(w, "AA/log", "p5");
  ASSERT_EQ(orbselect(r, nullptr), 0);
  EXPECT_EQ(reap(r).bytes, "p5");
}

TEST_F(Orb, SeekOnAnEmptyRingPositionsAtTheEnd) {
  std::string path = small_ring("r");
  int r = open(path, "r");
  int w = open(path);
  EXPECT_EQ(orbseek(r, ORBOLDEST), 0);
  EXPECT_EQ(orbseek(r, ORBNEWEST), 0);
  char src[ORBSRCNAME_SIZE];
  char *buf = nullptr;
  int id, n, size = 0;
  double t;
  EXPECT_EQ(orbget(r, ORBOLDEST, &id, src, &t, &buf, &n, &size), -1);
  EXPECT_NE(take_registered().find("is empty"), std::string::npos);
  put(w, "AA/log", "first");
  EXPECT_EQ(reap(r).bytes, "first");
}

TEST_F(Orb, SelectAndRejectMatchWholeSourceNames) {
  std::string path = small_ring("r", 65536);
  int w = open(path);
  const char *names[] = {"AA_STA/log", "AA_STA/pf/st", "BB_X/log", "AA_STAX/log", "STA"};
  struct Case {
    const char *select, *reject;
    std::vector<std::string> expect;
  } cases[] = {
      {".*/log", nullptr, {"AA_STA/log", "BB_X/log", "AA_STAX/log"}},
      {"AA_STA/.*", nullptr, {"AA_STA/log", "AA_STA/pf/st"}},
      {nullptr, ".*/pf/st", {"AA_STA/log", "BB_X/log", "AA_STAX/log", "STA"}},
      {"AA.*", ".*X.*", {"AA_STA/log", "AA_STA/pf/st"}},
      {"STA", nullptr, {"STA"}},
      {"BB_X/log|STA", nullptr, {"BB_X/log", "STA"}},
      {"", "", {"AA_STA/log", "AA_STA/pf/st", "BB_X/log", "AA_STAX/log", "STA"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.select ? c.select : "-") + " " + (c.reject ? c.reject : "-"));
    int r = open(path, "r");
    ASSERT_EQ(orbselect(r, c.select), 0);
    ASSERT_EQ(orbreject(r, c.reject), 0);
    for (const char *n : names) put(w, n, n);
    std::vector<std::string> got;
    for (Reaped p = reap(r); p.rc == 0; p = reap(r)) {
      EXPECT_EQ(p.bytes, p.srcname);
      got.push_back(p.srcname);
    }
    EXPECT_EQ(got, c.expect);
  }
}

// A reader looks at packets in batches; a batch of rejected packets must not hide a
// selected one held beyond it.
TEST_F(Orb, SelectedPacketBehindManyRejectedOnesIsFound) {
  std::string path = small_ring("r", 1 << 20);
  int w = open(path);
  int r = open(path, "r");
  ASSERT_EQ(orbselect(r, "BB_X/log"), 0);
  for (int i = 0; i < 500; i++) put(w, "AA_STA/log", "rejected");
  put(w, "BB_X/log", "selected");
  Reaped p = reap(r);
  ASSERT_EQ(p.rc, 0);
  EXPECT_EQ(p.srcname, "BB_X/log");
  EXPECT_EQ(p.pktid, 500);
  EXPECT_EQ(reap(r).rc, -2);
}

TEST_F(Orb, BadExpressionsAreRefusedAndKeepTheOldOne) {
  std::string path = small_ring("r");
  int w = open(path);
  int r = open(path, "r");
  ASSERT_EQ(orbselect(r, "AA.*"), 0);
  const char *bad[] = {"(", "a)|(b", "[z-a]"};
  for (const char *e : bad) {
    EXPECT_EQ(orbselect(r, e), -1) << e;
    EXPECT_NE(take_registered().find("orbselect: bad expression"), std::string::npos);
    EXPECT_EQ(orbreject(r, e), -1) << e;
  }
  put(w, "BB/log", "b");
  put(w, "AA/log", "a");
  EXPECT_EQ(reap(r).bytes, "a");
}

TEST_F(Orb, ReapAllocatesAndGrowsTheCallersBuffer) {
  std::string path = small_ring("r");
  int w = open(path);
  int r = open(path, "r");
  char src[ORBSRCNAME_SIZE];
  int id, n;
  double t;
  // None: allocated to 1.5 times the packet.
  put(w, "AA/log", std::string(200, 'x'));
  char *buf = nullptr;
  int size = 0;
  ASSERT_EQ(orbreap_nd(r, &id, src, &t, &buf, &n, &size), 0);
  ASSERT_NE(buf, nullptr);
  EXPECT_EQ(n, 200);
  EXPECT_EQ(size, 300);
  free(buf);
  // Too small: reallocated the same way.
  buf = static_cast<char *>(malloc(100));
  size = 100;
  put(w, "AA/log", std::string(200, 'y'));
  ASSERT_EQ(orbreap_nd(r, &id, src, &t, &buf, &n, &size), 0);
  EXPECT_EQ(size, 300);
  EXPECT_EQ(std::string(buf, n), std::string(200, 'y'));
  // Big enough: kept as it is.
  char *kept = buf;
  put(w, "AA/log", "short");
  ASSERT_EQ(orbreap_nd(r, &id, src, &t, &buf, &n, &size), 0);
  EXPECT_EQ(buf, kept);
  EXPECT_EQ(size, 300);
  free(buf);
  // An empty packet leaves no buffer as none.
  ASSERT_EQ(orbput(w, "AA/log", 5.0, nullptr, 0), 0);
  buf = nullptr;
  size = 0;
  n = 99;
  ASSERT_EQ(orbreap_nd(r, &id, src, &t, &buf, &n, &size), 0);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(buf, nullptr);
  EXPECT_EQ(size, 0);
  EXPECT_STREQ(src, "AA/log");
  EXPECT_EQ(orbreap_nd(r, &id, src, &t, nullptr, &n, &size), -1);
}

TEST_F(Orb, PutChecksItsArguments) {
  std::string path = small_ring("r");
  int w = open(path);
  int r = open(path, "r");
  std::string name63(63, 'n'), name64(64, 'n');
  std::string huge(20000, 'h');
  struct Case {
    int orb;
    const char *src;
    const char *bytes;
    int nbytes;
    const char *message;  // none: accepted
  } cases[] = {
      {w, name63.c_str(), "x", 1, nullptr},
      {w, "AA/log", nullptr, 0, nullptr},
      {w, name64.c_str(), "x", 1, "longer than 63 characters"},
      {w, "", "x", 1, "needs a source name"},
      {w, nullptr, "x", 1, "needs a source name"},
      {w, "AA/log", "x", -1, "bad packet"},
      {w, "AA/log", nullptr, 4, "bad packet"},
      {w, "AA/log", huge.c_str(), (int)huge.size(), "does not fit ring"},
      {r, "AA/log", "x", 1, "was opened for reading"},
      {12345, "AA/log", "x", 1, "12345 is not an open ring connection"},
  };
  int next = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message ? c.message : "accepted");
    int rc = orbputx(c.orb, c.src, 1.0, c.bytes, c.nbytes);
    if (c.message) {
      EXPECT_EQ(rc, -1);
      EXPECT_NE(take_registered().find(c.message), std::string::npos);
    } else {
      EXPECT_EQ(rc, next++);
    }
  }
  EXPECT_EQ(reap(r).srcname, name63);
  EXPECT_EQ(orbput(w, "AA/log", 1.0, "z", 1), 0);
}

TEST_F(Orb, CloseEndsTheConnection) {
  std::string path = small_ring("r");
  int w = orbopen(path.c_str(), "w");
  ASSERT_GE(w, 0);
  EXPECT_EQ(orbclose(w), 0);
  EXPECT_EQ(orbclose(w), -1);
  EXPECT_EQ(orbput(w, "AA/log", 1.0, "x", 1), -1);
  EXPECT_EQ(reap(w).rc, -1);
  Orbstat s;
  EXPECT_EQ(orbstat(w, &s), -1);
  EXPECT_NE(take_registered().find("is not an open ring connection"), std::string::npos);
}

TEST_F(Orb, LappedReaderResumesAtTheOldestAndCountsWhatItMissed) {
  std::string path = small_ring("r");  // 48 slots, 10752 bytes of data
  int w = open(path);
  int r = open(path, "r");
  const std::string body(100, 'b');
  for (int i = 0; i < 500; i++) ASSERT_EQ(put(w, "AA/log", body + std::to_string(i)), i);
  Orbstat s;
  ASSERT_EQ(orbstat(r, &s), 0);
  ASSERT_GT(s.npackets, 10);
  EXPECT_EQ(s.oldest, 500 - s.npackets);
  EXPECT_LE(s.nbytes, s.maxdata);
  Reaped first = reap(r);
  ASSERT_EQ(first.rc, 0);
  EXPECT_EQ(first.pktid, s.oldest);
  EXPECT_EQ(first.bytes, body + std::to_string(first.pktid));
  int last = first.pktid;
  for (Reaped p = reap(r); p.rc == 0; p = reap(r)) {
    EXPECT_EQ(p.pktid, last + 1);
    EXPECT_EQ(p.bytes, body + std::to_string(p.pktid));
    last = p.pktid;
  }
  EXPECT_EQ(last, 499);
  ASSERT_EQ(orbstat(r, &s), 0);
  EXPECT_EQ(s.conn_missed, first.pktid);
  EXPECT_EQ(s.missed, first.pktid);
  EXPECT_EQ(s.written, 500);
}

TEST_F(Orb, PacketsThatWrapTheDataAreaComeBackWhole) {
  std::string path = small_ring("r");
  int w = open(path);
  int r = open(path, "r");
  // Sizes that do not divide the data area, so records cross its end again and again.
  for (int i = 0; i < 300; i++) {
    std::string body((size_t)(100 + 37 * (i % 50)), (char)('a' + i % 26));
    ASSERT_EQ(put(w, "S" + std::to_string(i % 7), body), i);
    Reaped p = reap(r);
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(p.bytes, body);
    EXPECT_EQ(p.srcname, "S" + std::to_string(i % 7));
  }
}

TEST_F(Orb, ReopenKeepsTheRingAndItsCapacity) {
  std::string path = small_ring("r", 32768);
  int w = orbopen(path.c_str(), "w");
  for (int i = 0; i < 5; i++) put(w, "AA/log", "p" + std::to_string(i));
  orbclose(w);
  setenv("VANTREL_RINGSIZE", "1M", 1);
  int r = open(path, "r");
  Orbstat s;
  ASSERT_EQ(orbstat(r, &s), 0);
  EXPECT_EQ(s.capacity, 32768);
  EXPECT_EQ(s.npackets, 5);
  ASSERT_EQ(orbseek(r, ORBOLDEST), 0);
  EXPECT_EQ(reap(r).bytes, "p0");
  w = open(path);
  EXPECT_EQ(put(w, "AA/log", "p5"), 5);
}

TEST_F(Orb, ForeignAndDamagedFilesAreRefusedAndLeftAlone) {
  std::string good = small_ring("good");
  std::string image = read_file(good);
  ASSERT_EQ(image.size(), 16384u);
  auto patched = [&](int offset, unsigned char value, bool fix_crc) {
    std::string s = image;
    s[(size_t)offset] = (char)value;
    if (fix_crc) {
      uint32_t crc = ringfile::crc32(s.data(), 124);
      for (int i = 0; i < 4; i++) s[124 + (size_t)i] = (char)(crc >> (8 * i));
    }
    return s;
  };
  struct Case {
    const char *what;
    std::string bytes;
    const char *message;
  } cases[] = {
      {"text", "hello, world\n", "not a ring file (too short)"},
      {"zeros", std::string(8192, '\0'), "not a ring file"},
      {"magic", patched(0, 'X', true), "not a ring file"},
      {"checksum", patched(20, 0x7f, false), "damaged ring header (checksum)"},
      {"version", patched(8, 9, true), "version 9"},
      {"pointer size", patched(74, 2, true), "another kind of machine"},
      {"byte order", patched(76, 0xEE, true), "another kind of machine"},
      {"slots", patched(32, 49, true), "inconsistent ring header"},
      {"truncated", image.substr(0, 12288), "12288 bytes long, its header says 16384"},
      {"extended", image + std::string(4096, '\0'), "20480 bytes long"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.write(std::string("bad-") + c.what, c.bytes);
    EXPECT_EQ(orbopen(path.c_str(), "w"), -1);
    std::string log = take_registered();
    EXPECT_NE(log.find(c.message), std::string::npos) << log;
    EXPECT_NE(log.find("orbopen: refusing '" + path + "'"), std::string::npos) << log;
    EXPECT_EQ(read_file(path), c.bytes) << "the file is left as it was";
  }
  EXPECT_EQ(orbopen(dir.path().c_str(), "r"), -1);
  EXPECT_NE(take_registered().find("can't open ring file"), std::string::npos);
  std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(orbopen(fifo.c_str(), "r"), -1);
  EXPECT_NE(take_registered().find("not a regular file"), std::string::npos);
}

TEST_F(Orb, DamagedPacketsAreSkipped) {
  std::string path = small_ring("r");
  int w = open(path);
  int r = open(path, "r");
  for (int i = 0; i < 4; i++) put(w, "AA/log", "p" + std::to_string(i));
  {
    RawRing raw(path);
    ASSERT_TRUE(raw.ok());
    raw.record(1)[12] = 200;  // source name length beyond 63
    raw.slot(2)[24] ^= 0x40;  // record length no longer fits
    raw.slot(3)[8] = 0xFF;    // offset outside the held data
  }
  ASSERT_EQ(orbseek(r, ORBOLDEST), 0);
  EXPECT_EQ(reap(r).bytes, "p0");
  for (int id = 1; id <= 3; id++) {
    EXPECT_EQ(reap(r).rc, -1);
    EXPECT_NE(take_registered().find("packet " + std::to_string(id) + " of ring '" + path +
                                     "' is damaged; skipped"),
              std::string::npos);
  }
  put(w, "AA/log", "p4");
  EXPECT_EQ(reap(r).bytes, "p4");
  Orbsrc *list = nullptr;
  int n = 0;
  ASSERT_EQ(orbsources(r, &list, &n), 0);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(list[0].npackets, 2) << "damaged packets are not counted";
  free(list);
}

TEST_F(Orb, InconsistentLiveStateEmptiesTheRing) {
  struct Case {
    const char *what;
    void (*damage)(ringfile::Live &);
    const char *reason;
  } cases[] = {
      {"order", [](ringfile::Live &l) { l.oldest_seq = l.next_seq + 5; }, "sequence order"},
      {"count", [](ringfile::Live &l) { l.oldest_seq = 0, l.next_seq = 1u << 20; },
       "more packets than index slots"},
      {"data order", [](ringfile::Live &l) { l.tail = l.head + 1; }, "data order"},
      {"data room", [](ringfile::Live &l) { l.tail = 0, l.head = 1u << 30; },
       "more data than room"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = small_ring(c.what);
    int w = open(path);
    int r = open(path, "r");
    for (int i = 0; i < 3; i++) put(w, "AA/log", "old");
    {
      RawRing raw(path);
      c.damage(raw.live());
    }
    ElogCapture cap;
    EXPECT_EQ(reap(r).rc, -2);
    EXPECT_TRUE(cap.contains("was damaged (" + std::string(c.reason) + ") and has been emptied"))
        << cap.text();
    Orbstat s;
    ASSERT_EQ(orbstat(r, &s), 0);
    EXPECT_EQ(s.npackets, 0);
    EXPECT_EQ(s.resets, 1);
    int id = put(w, "AA/log", "after");
    ASSERT_GE(id, 0);
    Reaped p = reap(r);
    EXPECT_EQ(p.bytes, "after");
    EXPECT_EQ(p.pktid, id);
  }
}

TEST_F(Orb, PacketIdsWrapFrom2147483647ToZero) {
  std::string path = small_ring("r");
  {
    RawRing raw(path);
    raw.live().next_seq = raw.live().oldest_seq = 0x7fffffffu - 1;
  }
  int w = open(path);
  int r = open(path, "r");
  const int expect[] = {2147483646, 2147483647, 0, 1};
  for (int id : expect) EXPECT_EQ(put(w, "AA/log", "id" + std::to_string(id)), id);
  for (int id : expect) {
    Reaped p = reap(r);
    EXPECT_EQ(p.pktid, id);
    EXPECT_EQ(p.bytes, "id" + std::to_string(id));
  }
  EXPECT_EQ(orbseek(r, 0), 0);
  EXPECT_EQ(reap(r).bytes, "id0");
  EXPECT_EQ(orbseek(r, 2147483647), 2147483647);
  EXPECT_EQ(reap(r).bytes, "id2147483647");
  EXPECT_EQ(orbseek(r, ORBOLDEST), 2147483646);
  EXPECT_EQ(orbseek(r, 2), -1);
  EXPECT_EQ(orbafter(r, 1e9), 2) << "after the newest: the id the next packet gets";
}

TEST_F(Orb, StatusAndSources) {
  std::string path = small_ring("r", 65536);
  int w = open(path);
  put(w, "BB/log", "12345", 50.0);
  put(w, "AA/pf/st", "1", 60.0);
  put(w, "BB/log", "123", 70.0);
  Orbstat s;
  ASSERT_EQ(orbstat(w, &s), 0);
  EXPECT_EQ(s.capacity, 65536);
  EXPECT_EQ(s.port, 0);
  EXPECT_EQ(s.npackets, 3);
  EXPECT_EQ(s.oldest, 0);
  EXPECT_EQ(s.newest, 2);
  EXPECT_EQ(s.oldest_time, 50.0);
  EXPECT_EQ(s.newest_time, 70.0);
  EXPECT_EQ(s.written, 3);
  EXPECT_EQ(s.nbytes, 3 * 16 + 6 + 8 + 6 + 5 + 1 + 3);
  EXPECT_GT(s.started, 1e9);
  Orbsrc *list = nullptr;
  int n = 0;
  ASSERT_EQ(orbsources(w, &list, &n), 0);
  ASSERT_EQ(n, 2);
  EXPECT_STREQ(list[0].srcname, "AA/pf/st");
  EXPECT_EQ(list[0].npackets, 1);
  EXPECT_STREQ(list[1].srcname, "BB/log");
  EXPECT_EQ(list[1].npackets, 2);
  EXPECT_EQ(list[1].nbytes, 8);
  EXPECT_EQ(list[1].oldest, 0);
  EXPECT_EQ(list[1].newest, 2);
  EXPECT_EQ(list[1].newest_time, 70.0);
  free(list);
}

TEST_F(Orb, InjectedFaultsFailTheNextCalls) {
  std::string path = small_ring("r");
  int w = open(path);
  int r = open(path, "r");
  Orbstat s;
  struct Case {
    OrbFault op;
    const char *function;
    int (*call)(int w, int r, const std::string &path);
  } cases[] = {
      {ORBFAULT_OPEN, "orbopen",
       [](int, int, const std::string &p) {
         int orb = orbopen(p.c_str(), "r");
         if (orb >= 0) orbclose(orb);
         return orb < 0 ? -1 : 0;
       }},
      {ORBFAULT_SELECT, "orbselect",
       [](int, int r, const std::string &) { return orbselect(r, ".*"); }},
      {ORBFAULT_REJECT, "orbreject",
       [](int, int r, const std::string &) { return orbreject(r, "x"); }},
      {ORBFAULT_AFTER, "orbafter", [](int, int r, const std::string &) { return orbafter(r, 0); }},
      {ORBFAULT_REAP, "orbreap_nd",
       [](int, int r, const std::string &) { return reap(r).rc == -1 ? -1 : 0; }},
      {ORBFAULT_PUT, "orbput",
       [](int w, int, const std::string &) { return orbput(w, "AA/log", 1.0, "x", 1); }},
      {ORBFAULT_STAT, "orbstat",
       [](int, int r, const std::string &) {
         Orbstat st;
         return orbstat(r, &st);
       }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.function);
    orbfault_fail(c.op, 2);
    for (int i = 0; i < 2; i++) {
      EXPECT_EQ(c.call(w, r, path), -1);
      EXPECT_NE(take_registered().find(std::string(c.function) + ": injected failure"),
                std::string::npos);
    }
    EXPECT_EQ(c.call(w, r, path), 0);
    orbfault_fail(c.op, 5);
    orbfault_fail(c.op, 0);
    EXPECT_EQ(c.call(w, r, path), 0);
  }
  EXPECT_EQ(orbstat(r, &s), 0);
}

}  // namespace
