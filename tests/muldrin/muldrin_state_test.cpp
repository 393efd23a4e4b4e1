// muldrin's state file on a driven clock: the pre-read's age limits and refusals, the
// atomic write and what a failed write leaves behind, and how often status reports write.
#include "muldrin_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "muldrin_write.h"
#include "q330_fixture.h"
#include "q330_state.h"
#include "q330_statestore.h"
#include "testkit/testkit.h"

namespace {

// A program record with two sessions and the output queue set up (drained at the end).
struct Program {
  DrivenClock clock{1.7e9};
  TempDir dir;
  Muldrin m;
  std::string file;
  Program() {
    file = dir.file("muldrin.state");
    m.target_name = const_cast<char *>("TA");
    m.statefile = const_cast<char *>(file.c_str());
    m.q330s_tbl = newtbl(2);
    for (const char *name : {"DL1", "DL2"}) {
      Q330 *q = q330_create(nullptr, nullptr);
      set_q330_str(&q->params.dlname, name);
      pushtbl(m.q330s_tbl, q);
    }
    EXPECT_EQ(muldrin_write_setup(&m), 0);
    m.ok_to_write_state = 1;
    m.write_state_time = clock.now;
  }
  ~Program() {
    muldrin_write_teardown(&m);
    for (long i = 0; i < maxtbl(m.q330s_tbl); i++)
      free_session(static_cast<Q330 *>(gettbl(m.q330s_tbl, i)));
    freetbl(m.q330s_tbl, nullptr);
    q330_statestore_free(m.statepf);
  }
  bool exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }
};

TEST(StateFile, PreReadAgeAndRefusals) {
  struct Case {
    const char *name;
    const char *text;  // none: no file
    double age;        // the file's "time" is now - age
    bool used;
    const char *complaint;
  } cases[] = {
      {"a second less than a day", "DL1 &Arr{\n}\n", 86399, true, nullptr},
      {"exactly a day", "DL1 &Arr{\n}\n", 86400, true, nullptr},
      {"a second over a day", "DL1 &Arr{\n}\n", 86401, false, "too old - ignoring"},
      {"a day ahead", "DL1 &Arr{\n}\n", -86400, true, nullptr},
      {"over a day ahead", "DL1 &Arr{\n}\n", -86401, false, "in the future - ignoring"},
      {"no time line", "DL1 &Arr{\nendtime 5\n}\n", -1, false, "Error parsing 'time' param"},
      {"broken text", "DL1 &Arr{\n", 0, false, "statefile error - ignoring"},
      // A first start says so once, and not as an error.
      {"no file", nullptr, 0, false, "No statefile "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Program p;
    if (c.text) {
      std::string text = c.text;
      if (c.age >= 0 || c.age < -1) {
        char line[64];
        snprintf(line, sizeof line, "time %.3f\n", p.clock.now - c.age);
        text += line;
      }
      p.dir.write("muldrin.state", text);
    }
    ElogCapture log;
    EXPECT_EQ(muldrin_read_statefile(&p.m), 0);
    EXPECT_EQ(p.m.statepf != nullptr, c.used);
    if (c.complaint) {
      EXPECT_TRUE(log.contains(c.complaint)) << log.text();
      if (!c.text) {
        EXPECT_FALSE(log.contains("rror")) << log.text();
      }
    } else {
      EXPECT_EQ(log.text(), "");
    }
  }
}

// The bound is per datalogger block: a block over 1 MiB of text is left out alone, with a
// complaint naming it, and the others are restored, however large the file; what is kept
// costs at most about twice the file, whatever lines it holds.
TEST(StateFile, BlockOverTheBoundIsIgnoredAlone) {
  struct Case {
    const char *what;
    int blocks;        // DL1, DL2 and then fillers F3, F4 ... of `block_size` bytes
    size_t dl1_size;   // bytes of DL1's block, about
    size_t fill_size;  // bytes of every other block, about
    bool dl1_used;
  } cases[] = {
      {"blocks well inside the bound", 2, 100000, 1000, true},
      {"DL1 just over 1 MiB", 2, (1u << 20) + 100, 1000, false},
      {"DL1 of 16 MiB", 2, 16u << 20, 1000, false},
      {"eighteen blocks under 1 MiB, over 16 MiB in all", 18, 1000000, 1000000, true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Program p;
    // Lines as short as a block may hold: one-digit bins.
    auto block = [](const std::string &name, size_t size, int nreboots) {
      std::string text = name + " &Arr{\nnreboots " + std::to_string(nreboots) + "\nbins &Tbl{\n";
      text.reserve(size + 64);
      while (text.size() < size) text += "7\n";
      return text + "}\n}\n";
    };
    std::string text = block("DL1", c.dl1_size, 11) + block("DL2", c.fill_size, 22);
    for (int i = 3; i <= c.blocks; i++) text += block("F" + std::to_string(i), c.fill_size, i);
    char line[64];
    snprintf(line, sizeof line, "time %.3f\n", p.clock.now);
    text += line;
    p.dir.write("muldrin.state", text);
    {
      ElogCapture log;
      EXPECT_EQ(muldrin_read_statefile(&p.m), 0);
      ASSERT_NE(p.m.statepf, nullptr) << log.text();
      const std::string complaint = "the block of DL1 is larger than 1048576 bytes - ignored";
      EXPECT_EQ(log.contains(complaint), !c.dl1_used) << log.text();
    }
    EXPECT_LE(p.m.statepf->bytes.capacity(), 2 * text.size() + 64);
    for (const char *name : {"DL1", "DL2"}) {
      Q330 *fresh = q330_create(nullptr, p.m.statepf);
      set_q330_str(&fresh->params.dlname, name);
      ElogCapture restore;
      q330_read_state(fresh);
      bool used = name[2] == '2' || c.dl1_used;
      EXPECT_EQ(fresh->status.nreboots, used ? (name[2] == '1' ? 11 : 22) : 0) << name;
      EXPECT_EQ(restore.contains(std::string("Cannot find ") + name + " in statefile."), !used);
      free_session(fresh);
    }
  }
}

// The temporary file is made anew: a link planted in its place is removed, and the file
// it pointed to is not written.
TEST(StateFile, ALinkPlantedAsTheTemporaryFileIsNotFollowed) {
  Program p;
  std::string victim = p.dir.write("victim", "precious\n");
  ASSERT_EQ(symlink(victim.c_str(), (p.file + "-").c_str()), 0);
  ASSERT_EQ(write_state(&p.m), 0);
  EXPECT_EQ(read_file(victim), "precious\n");
  EXPECT_EQ(read_file(p.file).rfind("DL1 &Arr{\n", 0), 0u);
  struct stat st {};
  EXPECT_NE(lstat((p.file + "-").c_str(), &st), 0);
}

TEST(StateFile, WriteIsWholeAndReadsBack) {
  Program p;
  Q330 *q = static_cast<Q330 *>(gettbl(p.m.q330s_tbl, 1));
  q->status.nreboots = 4;
  // Nothing before the parameter file was parsed.
  p.m.ok_to_write_state = 0;
  EXPECT_EQ(write_state(&p.m), 0);
  EXPECT_FALSE(p.exists(p.file));
  p.m.ok_to_write_state = 1;

  p.clock.now += 5;
  ASSERT_EQ(write_state(&p.m), 0);
  EXPECT_FALSE(p.exists(p.file + "-"));
  std::string text = read_file(p.file);
  EXPECT_EQ(text.rfind("DL1 &Arr{\n", 0), 0u);
  EXPECT_LT(text.find("DL1 &Arr{"), text.find("DL2 &Arr{"));
  const std::string last = "}\ntime 1700000005.000\n";
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  EXPECT_EQ(p.m.write_state_time, 1700000005.0);

  // The next start reads it back.
  ElogCapture log;
  ASSERT_EQ(muldrin_read_statefile(&p.m), 0);
  ASSERT_NE(p.m.statepf, nullptr);
  Q330 *fresh = q330_create(nullptr, p.m.statepf);
  set_q330_str(&fresh->params.dlname, "DL2");
  q330_read_state(fresh);
  EXPECT_EQ(fresh->status.nreboots, 4);
  free(fresh->params.q330_lastipaddress);
  free_session(fresh);
}

TEST(StateFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  Program p;
  ASSERT_EQ(write_state(&p.m), 0);
  std::string old = read_file(p.file);

  // Rename over a folder fails, whoever runs the test.
  Program q;
  ASSERT_EQ(mkdir(q.file.c_str(), 0755), 0);
  q.dir.write("muldrin.state/keep", "x");
  {
    ElogCapture log;
    EXPECT_EQ(write_state(&q.m), -1);
    EXPECT_TRUE(log.contains("write_state: Error renaming temporary state file")) << log.text();
  }
  EXPECT_FALSE(q.exists(q.file + "-"));
  EXPECT_EQ(read_file(q.file + "/keep"), "x");

  // A folder the program cannot write into (not a refusal for the superuser).
  if (geteuid() != 0) {
    ASSERT_EQ(chmod(p.dir.path().c_str(), 0555), 0);
    ElogCapture log;
    EXPECT_EQ(write_state(&p.m), -1);
    EXPECT_TRUE(log.contains("write_state: Error opening temporary state file")) << log.text();
    chmod(p.dir.path().c_str(), 0755);
    EXPECT_EQ(read_file(p.file), old);
    EXPECT_FALSE(p.exists(p.file + "-"));
  }
}

TEST(StateFile, StatusReportsWriteAtMostOnceAMinute) {
  Program p;
  std::vector<double> written;
  for (int i = 0; i < 25; i++) {
    p.clock.now += 10;
    muldrin_output(Q330_OUT_STATUS, "a 1\n");
    if (p.exists(p.file)) {
      Pf *pf = nullptr;
      ASSERT_EQ(pfcompile(read_file(p.file).c_str(), &pf), 0);
      double t = pfget_double(pf, "time");
      pffree(pf);
      if (written.empty() || written.back() != t) written.push_back(t);
    }
  }
  // Reports at +10 .. +250 s: writes at +70, +140 and +210.
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(written[0], 1.7e9 + 70);
  EXPECT_EQ(written[1], 1.7e9 + 140);
  EXPECT_EQ(written[2], 1.7e9 + 210);
}

}  // namespace
