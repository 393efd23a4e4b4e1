// Block operations against the simulated datalogger's file system and parameter store:
// paths, tree walks, sequence arithmetic, file reads and their failures, parameter
// headers read and written, event-file headers and ping.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "altuscom_fixture.h"
#include "altuscomsubs_blockops.h"
#include "altuscomsubs_getblock.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/elog.h"
#include "bytestream/fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Fault;
using altussim::Sim;

namespace {

struct Rig {
  Recorder rec;
  Sim sim;
  Record buf;
  unsigned char seq = 10;
  explicit Rig(int timeout_ms = 300) {
    int port = sim.listen_tcp();
    sim.start();
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 8192, timeout_ms, timeout_ms, 3,
                                         nullptr, nullptr, Recorder::log, &rec, nullptr, nullptr,
                                         nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
  }
  std::vector<int> sent() {
    std::vector<int> v;
    for (auto &c : sim.commands()) v.push_back(c.first);
    return v;
  }
};

Bytes bytes_of(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; i++) b[i] = (unsigned char)((i * 7 + seed) & 0xFF);
  return b;
}

std::vector<std::string> walk(Rig &r, const char *top, int dirents, int *rc) {
  AltusDirTree *t = nullptr;
  int n = 0, cap = 0;
  std::string path = top;
  std::vector<char> p(path.begin(), path.end());
  p.push_back('\0');
  *rc =
      block_readdirtree(r.buf.get(), p.data(), &r.seq, dirents, &t, &n, &cap, nullptr, nullptr, 0);
  std::vector<std::string> out;
  for (int i = 0; i < n; i++) {
    std::string s = t[i].pathname;
    if (t[i].event) s += " [evt]";
    out.push_back(s);
  }
  free(t);
  return out;
}

// File reads, acquisition and parameter operations complain through the link's log
// lines: prefixed with link and datalogger and queued for the ring, as the fixture's
// write fifo shows.
class AltusBlockOpsLog : public AltusPipeline {
 protected:
  void SetUp() override {
    AltusPipeline::SetUp();
    clock_set_driver(nullptr);  // the engine's time-outs need a clock that runs on its own
  }
  // The log lines queued since the last call, one per line.
  std::string ring() {
    std::string all;
    for (const std::string &t : texts()) all += t + "\n";
    return all;
  }
  static std::string error_line(const std::string &complaint) {
    return "kes: tty1dlA: ERROR: " + complaint;
  }
};

}  // namespace

TEST(AltusBlockOps, Fixpaths) {
  char p[] = "a:/dir/f.evt";
  EXPECT_EQ(fixpaths(p), 0);
  EXPECT_STREQ(p, "A:\\dir\\f.evt");
  char q[] = "d:/x";
  fixpaths(q);
  EXPECT_STREQ(q, "d:\\x");
}

TEST(AltusBlockOps, MymemGrowsByHalfAndZeroes) {
  int cap = 0;
  auto *p = static_cast<unsigned char *>(mymem(100, nullptr, &cap));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(cap, 150);
  memset(p, 0xAB, 100);
  EXPECT_EQ(mymem(150, p, &cap), p);  // fits: unchanged
  p = static_cast<unsigned char *>(mymem(200, p, &cap));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(cap, 300);
  EXPECT_EQ(p[99], 0xAB);
  for (int i = 150; i < 300; i++) ASSERT_EQ(p[i], 0) << i;
  free(p);
}

TEST(AltusBlockOps, TreeWalks) {
  Rig r;
  r.sim.add_dir("A:\\D");
  r.sim.add_file("A:\\D\\E0001.EVT", bytes_of(10, 1), 0x20, 100);
  r.sim.add_dir("A:\\D\\SUB", 0x30);  // directory with the archive bit too
  r.sim.add_file("A:\\D\\SUB\\E0002.EVT", bytes_of(5, 2));
  r.sim.add_entry("A:\\D\\ODD", 77, 0x10);  // directory bit but a size: a file
  r.sim.add_entry("A:\\D\\.", 0, 0x10);
  r.sim.add_entry("A:\\D\\..", 0, 0x10);
  r.sim.add_file("A:\\TOP.TXT", bytes_of(3, 3));
  int rc;
  EXPECT_EQ(walk(r, "a:/", 0, &rc),
            (std::vector<std::string>{"A:\\D\\E0001.EVT [evt]", "A:\\D\\SUB\\E0002.EVT [evt]",
                                      "A:\\D\\ODD", "A:\\TOP.TXT"}));
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(walk(r, "A:\\", 1, &rc),
            (std::vector<std::string>{"A:\\D", "A:\\D\\E0001.EVT [evt]", "A:\\D\\SUB",
                                      "A:\\D\\SUB\\E0002.EVT [evt]", "A:\\D\\ODD", "A:\\TOP.TXT"}));
  EXPECT_EQ(rc, 0);
  {
    SCOPED_TRACE("record fields");
    AltusDirTree *t = nullptr;
    int n = 0, cap = 0;
    char p[] = "A:\\D";
    ASSERT_EQ(block_readdirtree(r.buf.get(), p, &r.seq, 0, &t, &n, &cap, nullptr, nullptr, 0), 0);
    ASSERT_GE(n, 1);
    EXPECT_STREQ(t[0].pathname, "A:\\D\\E0001.EVT");
    EXPECT_EQ(t[0].size, 10);
    EXPECT_EQ(t[0].time, 100 + 315532800.0);
    EXPECT_EQ(t[0].processed, 0);
    free(t);
  }
  {
    SCOPED_TRACE("a listing that fails midway keeps what was found");
    Rig f;
    f.sim.add_dir("A:\\D");
    f.sim.add_file("A:\\A.EVT", bytes_of(1, 1));
    f.sim.add_dir("A:\\D\\X");
    f.sim.add_fault({PKC_OPENDIR, 3, Fault::DROP});
    f.sim.add_fault({PKC_OPENDIR, 4, Fault::DROP});
    f.sim.add_fault({PKC_OPENDIR, 5, Fault::DROP});
    ElogCapture log;
    EXPECT_EQ(walk(f, "A:\\", 0, &rc), (std::vector<std::string>{}));
    EXPECT_EQ(rc, 2);
    EXPECT_TRUE(log.contains("block_readdirtree: block_readdir(A:\\D\\X\\) timeout on input."));
  }
}

TEST(AltusBlockOps, TreeDepthBound) {
  Rig r;
  // The top and 15 levels below it are listed: 16 listings, one file in each.
  std::string p = "A:";
  r.sim.add_file("A:\\F.EVT", bytes_of(1, 1));
  for (int i = 0; i < 20; i++) {
    p += "\\L" + std::to_string(i);
    r.sim.add_dir(p);
    r.sim.add_file(p + "\\F.EVT", bytes_of(1, 1));
  }
  ElogCapture log;
  int rc;
  auto got = walk(r, "A:\\", 0, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got.size(), (size_t)ALTUS_DIRTREE_MAXDEPTH);
  EXPECT_TRUE(
      log.contains("block_readdirtree: the walk of A:\\ left out 1 directory deeper than 16 "
                   "levels."))
      << log.text();
}

// Hostile trees: one without end (four sub-directories at every level, or a chain) is
// cut at the walk's bounds, a directory that will not open is skipped with one line, and
// each walk ends with one line saying what it left out. Names with control characters
// reach the log escaped.
TEST(AltusBlockOps, TreeWalkBounds) {
  struct Case {
    const char *what;
    int fanout;            // an endless tree below A:\\DEEP (0: none)
    const char *refused;   // a directory whose opening is refused, or none
    const char *top;       // where the walk begins
    int rc;                // the walk's result
    size_t files_at_most;  // records found
    const char *line;      // in the log
  } cases[] = {
      {"four sub-directories at every level", 4, nullptr, "A:\\", 0, ALTUS_DIRTREE_MAXDIRS + 2,
       "directories past 256 directories listed."},
      {"a chain without end", 1, nullptr, "A:\\", 0, ALTUS_DIRTREE_MAXDEPTH + 2,
       "left out 1 directory deeper than 16 levels."},
      {"a directory that will not open", 0, "A:\\LOCKED", "A:\\", 0, 2,
       "block_readdirtree: directory A:\\LOCKED\\ would not open, skipped."},
      {"the walk's own top will not open", 0, "A:\\LOCKED", "A:\\LOCKED", -1, 0,
       "block_readdirtree: block_readdir(A:\\LOCKED) error."},
      {"a name with a terminal escape", 0, "A:\\X\x1b[2J", "A:\\", 0, 2,
       "directory A:\\X\\x1b[2J\\ would not open"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Rig r(3000);
    r.sim.add_file("A:\\A.EVT", bytes_of(4, 1));
    r.sim.add_dir("A:\\E");
    r.sim.add_file("A:\\E\\B.EVT", bytes_of(4, 2));
    if (c.fanout > 0) {
      r.sim.add_dir("A:\\DEEP");
      r.sim.set_endless_tree("A:\\DEEP", c.fanout);
    }
    if (c.refused != nullptr) {
      r.sim.add_dir(c.refused);
      r.sim.refuse_dir(c.refused);
    }
    ElogCapture log;
    int rc = 99;
    auto got = walk(r, c.top, 0, &rc);
    EXPECT_EQ(rc, c.rc);
    EXPECT_LE(got.size(), c.files_at_most);
    EXPECT_LE(r.sim.opendirs(), ALTUS_DIRTREE_MAXDIRS);
    EXPECT_TRUE(log.contains(c.line)) << log.text();
    int walk_lines = 0;
    for (const std::string &l : log.lines()) walk_lines += l.find("block_readdirtree") != l.npos;
    EXPECT_LE(walk_lines, 2) << log.text();
    if (c.rc == 0 && c.fanout == 0) {
      EXPECT_EQ(got, (std::vector<std::string>{"A:\\A.EVT [evt]", "A:\\E\\B.EVT [evt]"}));
    }
  }
}

TEST(AltusBlockOps, ReaddirSequence) {
  struct Case {
    int entries;
    int advance;  // OPENDIR 2 + listing + CLOSEDIR 2
  } cases[] = {{3, 6}, {0, 6}, {10, 7}, {15, 7}, {25, 8}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.entries);
    Rig r;
    r.sim.add_dir("B:\\X");
    for (int i = 0; i < c.entries; i++)
      r.sim.add_file("B:\\X\\F" + std::to_string(i) + ".DAT", bytes_of(1, 1));
    AltusBlockDirentry *d = nullptr;
    int n = -1, cap = 0;
    char p[] = "b:/X";
    unsigned char before = r.seq;
    EXPECT_EQ(block_readdir(r.buf.get(), p, &r.seq, &d, &n, &cap, nullptr, nullptr), 0);
    EXPECT_EQ(n, c.entries);
    EXPECT_EQ((unsigned char)(r.seq - before), c.advance);
    if (c.entries) {
      EXPECT_STREQ(d[0].name, "F0");
    }
    free(d);
  }
}

TEST_F(AltusBlockOpsLog, ReadFile) {
  for (size_t size : {0u, 100u, 512u, 600u}) {
    SCOPED_TRACE(size);
    Rig r;
    Bytes content = bytes_of(size, 9);
    r.sim.add_file("A:\\F.DAT", content);
    unsigned char *buf = nullptr;
    int nbytes = -1, cap = 0;
    char p[] = "a:/F.DAT";
    EXPECT_EQ(
        block_readfile(r.buf.get(), p, &r.seq, &buf, &nbytes, &cap, (int)size, nullptr, nullptr),
        0);
    ASSERT_EQ(nbytes, (int)size);
    EXPECT_EQ(Bytes(buf, buf + nbytes), content);
    EXPECT_EQ(r.sent().back(), PKC_CLOSEFILE);
    free(buf);
  }
  struct Fail {
    const char *name;
    bool refuse;
    std::string text;
    bool drop;
    int want;
    const char *complaint;
  } fails[] = {
      {"refused without a text", true, "", false, ALTUS_OPENFILE_REFUSED,
       "block_readfile: get_block(PKC_OPENFILE,A:\\F.DAT) error."},
      {"refused with a text", true, "busy", false, -1,
       "block_readfile: get_block(PKC_OPENFILE,A:\\F.DAT) error - busy."},
      {"GETFILE time-out", false, "", true, 2,
       "block_readfile: get_block(PKC_GETFILE,A:\\F.DAT) timeout on input."},
  };
  for (const auto &f : fails) {
    SCOPED_TRACE(f.name);
    Rig r;
    r.sim.add_file("A:\\F.DAT", bytes_of(300, 1));
    if (f.refuse) r.sim.refuse_open(true, f.text);
    if (f.drop) r.sim.add_fault({PKC_GETFILE, 0, Fault::DROP});
    unsigned char *buf = nullptr;
    int nbytes = -1, cap = 0;
    char p[] = "A:/F.DAT";
    ElogCapture log;
    EXPECT_EQ(block_readfile(r.buf.get(), p, &r.seq, &buf, &nbytes, &cap, 300, modem, dl), f.want);
    EXPECT_TRUE(log.contains(error_line(f.complaint))) << log.text();
    EXPECT_NE(ring().find(error_line(f.complaint)), std::string::npos);
    for (int c : r.sent()) EXPECT_NE(c, PKC_CLOSEFILE);
    free(buf);
  }
}

TEST(AltusBlockOps, DeleteAndAcquisition) {
  Rig r;
  r.sim.add_dir("A:\\D");
  r.sim.add_file("A:\\D\\F.EVT", bytes_of(4, 1));
  char d[] = "a:/D";
  char f[] = "a:/D/F.EVT";
  ElogCapture log;
  EXPECT_EQ(block_deldir(r.buf.get(), d, &r.seq, nullptr, nullptr), -1);
  EXPECT_TRUE(
      log.contains("block_deldir: get_block(PKC_RMDIR,A:\\D) error - directory not empty."));
  EXPECT_EQ(block_delfile(r.buf.get(), f, &r.seq, nullptr, nullptr), 0);
  EXPECT_EQ(block_deldir(r.buf.get(), d, &r.seq, nullptr, nullptr), 0);
  EXPECT_FALSE(r.sim.exists("A:\\D"));
  EXPECT_EQ(block_delfile(r.buf.get(), f, &r.seq, nullptr, nullptr), -1);
  EXPECT_TRUE(log.contains("block_delfile: get_block(PKC_DELETEFILE,A:\\D\\F.EVT) error - file"));
  EXPECT_EQ(block_acqstop(r.buf.get(), &r.seq, nullptr, nullptr), 0);
  EXPECT_FALSE(r.sim.acquiring());
  EXPECT_EQ(block_acqstart(r.buf.get(), &r.seq, nullptr, nullptr), 0);
  EXPECT_TRUE(r.sim.acquiring());
}

TEST_F(AltusBlockOpsLog, AcquisitionComplaintsReachTheLinkLog) {
  Rig r;
  r.sim.add_fault({PKC_ACQSTOP, 0, Fault::DROP});
  r.sim.add_fault({PKC_ACQSTART, 0, Fault::DROP});
  ElogCapture log;
  EXPECT_EQ(block_acqstop(r.buf.get(), &r.seq, modem, dl), 2);
  EXPECT_EQ(block_acqstart(r.buf.get(), &r.seq, modem, dl), 2);
  std::string lines = ring();
  for (const char *c : {"block_acqstop: get_block(PKC_ACQSTOP) timeout on input.",
                        "block_acqstart: get_block(PKC_ACQSTART) timeout on input."}) {
    EXPECT_NE(lines.find(error_line(c)), std::string::npos) << lines;
    EXPECT_TRUE(log.contains(error_line(c))) << log.text();
  }
  // A deletion complains to the system error log only; the engine's own complaint about
  // the refusal reaches the link's log lines.
  char f[] = "a:/NONE.EVT";
  EXPECT_EQ(block_delfile(r.buf.get(), f, &r.seq, modem, dl), -1);
  EXPECT_TRUE(log.contains("block_delfile: get_block(PKC_DELETEFILE,A:\\NONE.EVT) error"));
  lines = ring();
  EXPECT_EQ(lines.find("block_delfile"), std::string::npos) << lines;
  EXPECT_NE(lines.find(error_line("get_block: command failed - file not found.")),
            std::string::npos)
      << lines;
}

TEST(AltusBlockOps, Ping) {
  Rig r;
  char *resp = nullptr;
  int n = 0, cap = 0;
  char s[] = "hello there";
  unsigned char before = r.seq;
  EXPECT_EQ(block_ping(r.buf.get(), s, &r.seq, &resp, &n, &cap, nullptr, nullptr), 0);
  EXPECT_STREQ(resp, "hello there");
  EXPECT_EQ((unsigned char)(r.seq - before), 2);
  free(resp);
}

namespace {

// The link and datalogger records that select a layout (ismw: "MtWhitney").
struct Records {
  Modem *modem = modem_new();
  AltusDatalogger *dl = altusdatalogger_new();
  explicit Records(int ismw) {
    snprintf(dl->model, sizeof dl->model, "%s", ismw ? "MtWhitney" : "K2");
  }
  ~Records() {
    altusdatalogger_free(dl);
    modem_free(modem);
  }
};

Bytes header_bytes(int ismw, float latitude) {
  AltusSimHeaderValues v;
  v.numbers["rw_misc.latitude"] = latitude;
  std::vector<uint8_t> out;
  EXPECT_EQ(altussim_evt_header(ismw, 1, v, &out), 0);
  return Bytes(out.begin(), out.end());
}

}  // namespace

TEST(AltusBlockOps, SimulatorModelParams) {
  // The header the simulator's -model flag serves decodes in the layout of that model.
  for (int ismw : {0, 1}) {
    std::vector<uint8_t> hdr;
    ASSERT_EQ(altussim_model_params(ismw ? "MtWhitney" : "K2", 4321, "STAB", &hdr), 0);
    ASSERT_EQ(static_cast<int>(hdr.size()), altus_hdr_size(ismw));
    AltusEvtFile h{};
    unsigned char *cursor = hdr.data();
    unsigned short chk = 0;
    int nframes = 0;
    ASSERT_EQ(evt_readaltusfilehdr(nullptr, &cursor, hdr.data() + hdr.size(), &h,
                                   static_cast<int>(hdr.size()), 1, ismw, &chk, &nframes),
              0);
    EXPECT_EQ(h.rw_misc.serialNumber, 4321);
    EXPECT_EQ(h.rw_misc.nchannels, ismw ? 18 : 12);
    EXPECT_STREQ(h.rw_misc.stnID, "STAB");
  }
  std::vector<uint8_t> hdr;
  EXPECT_EQ(altussim_model_params("K2", 1, "TOOLONGNAME", &hdr), -1);
}

TEST_F(AltusBlockOpsLog, GetParamsBothLayouts) {
  for (int ismw : {0, 1}) {
    SCOPED_TRACE(ismw);
    Rig r;
    Records rec(ismw);
    r.sim.set_params(header_bytes(ismw, 12.5f));
    AltusBlockParams *p = nullptr;
    ASSERT_EQ(block_getparams(r.buf.get(), &r.seq, &p, rec.modem, rec.dl), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->headerBytes, ismw ? 2736 : 2040);
    EXPECT_EQ(p->rw_misc.latitude, 12.5f);
    free(p);
  }
  {
    SCOPED_TRACE("time-out");
    Rig r;
    r.sim.add_fault({PKC_GETPARAMS, 0, Fault::DROP});
    AltusBlockParams *p = reinterpret_cast<AltusBlockParams *>(1);
    ElogCapture log;
    EXPECT_EQ(block_getparams(r.buf.get(), &r.seq, &p, modem, dl), 2);
    EXPECT_EQ(p, nullptr);
    const std::string c = error_line("block_getparams: get_block(PKC_GETPARAMS) timeout on input.");
    EXPECT_TRUE(log.contains(c)) << log.text();
    EXPECT_NE(ring().find(c), std::string::npos);
  }
}

constexpr const char *kUnchanged =
    "kes: tty1dlA: block_setparams: Existing parameters same as input...parameters unchanged";

TEST_F(AltusBlockOpsLog, SetParams) {
  struct Case {
    const char *name;
    const char *params;  // body of the "params" array; null: write the current header back
    int fault;           // 0, 1 SETPARAMS dropped, 2 SETPARAMS refused with a text
    int want;
    std::vector<int> sent;
    const char *error;
    float stored_latitude;  // what the store holds after (a dropped reply: stored)
    const char *line;       // expected in the link's log lines; null: none at all
  } cases[] = {
      {"equal header", nullptr, 0, 0, {PKC_GETPARAMS}, "", 12.5f, kUnchanged},
      {"same values", "misc_latitude 12.5\n", 0, 0, {PKC_GETPARAMS}, "", 12.5f, kUnchanged},
      {"changed",
       "misc_latitude 34.5\n",
       0,
       0,
       {PKC_GETPARAMS, PKC_ACQSTOP, PKC_SETPARAMS, PKC_ACQSTART},
       "",
       34.5f,
       nullptr},
      {"SETPARAMS time-out",
       "misc_latitude 34.5\n",
       1,
       2,
       {PKC_GETPARAMS, PKC_ACQSTOP, PKC_SETPARAMS, PKC_SETPARAMS, PKC_SETPARAMS, PKC_ACQSTART},
       "",
       34.5f,
       "kes: tty1dlA: ERROR: block_setparams: get_block(PKC_SETPARAMS) timeout on input."},
      {"refused with a text",
       "misc_latitude 34.5\n",
       2,
       -1,
       {PKC_GETPARAMS, PKC_ACQSTOP, PKC_SETPARAMS, PKC_ACQSTART},
       "",
       12.5f,
       "kes: tty1dlA: ERROR: block_setparams: get_block(PKC_SETPARAMS) error - locked."},
      {"parse failure",
       "strm_sps many\n",
       0,
       7,
       {PKC_GETPARAMS},
       "cannot parse strm_sps",
       12.5f,
       "kes: tty1dlA: ERROR: block_setparams: evt_parseparams() error."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    r.sim.set_params(header_bytes(0, 12.5f));
    if (c.fault == 1) r.sim.add_fault({PKC_SETPARAMS, 0, Fault::DROP});
    if (c.fault == 2) r.sim.refuse_setparams(true, "locked");
    Pf *pf = nullptr;
    AltusBlockParams *current = nullptr;
    if (c.params) {
      std::string text = std::string("params &Arr{\n") + c.params + "}\n";
      ASSERT_EQ(pfcompile(text.c_str(), &pf), 0);
    } else {
      ASSERT_EQ(block_getparams(r.buf.get(), &r.seq, &current, modem, dl), 0);
    }
    size_t before = r.sent().size();
    char error[ALTUS_PARSEPARAMS_ERROR_SIZE] = "";
    ElogCapture log;
    EXPECT_EQ(block_setparams(r.buf.get(), current, pf, &r.seq, modem, dl, error), c.want);
    auto sent = r.sent();
    EXPECT_EQ(std::vector<int>(sent.begin() + (long)before, sent.end()), c.sent);
    EXPECT_STREQ(error, c.error);
    std::string lines = ring();
    if (c.line == nullptr) {
      EXPECT_EQ(lines, "");
    } else {
      EXPECT_NE(lines.find(c.line), std::string::npos) << lines;
    }
    // Complaints are forced to the error log as well; the unchanged line is not.
    EXPECT_EQ(log.contains(kUnchanged), false);
    if (c.line && c.line != kUnchanged) {
      EXPECT_TRUE(log.contains(c.line)) << log.text();
    }
    EXPECT_TRUE(r.sim.acquiring());
    EXPECT_EQ(r.sim.params(), header_bytes(0, c.stored_latitude));
    free(current);
    if (pf) pffree(pf);
  }
}

TEST(AltusBlockOps, ReadFileInfo) {
  for (int damaged : {0, 1}) {
    SCOPED_TRACE(damaged);
    Rig r;
    AltusSimEvtPlan plan;
    plan.values.numbers["rw_misc.latitude"] = 7.25;
    plan.bad_header_sum = damaged;
    std::vector<uint8_t> file;
    ASSERT_EQ(altussim_evt_file(plan, &file), 0);
    r.sim.add_file("A:\\D\\E0001.EVT", Bytes(file.begin(), file.end()));
    r.sim.add_dir("A:\\D");
    AltusEvtTag tag;
    AltusEvtFile hdr;
    char p[] = "a:/D/E0001.EVT";
    ElogCapture log;
    int rc = block_readfileinfo(r.buf.get(), p, &r.seq, &tag, &hdr, nullptr, nullptr);
    if (damaged) {
      EXPECT_EQ(rc, -1);
      EXPECT_TRUE(log.contains("block_readfileinfo: checksum error on Altus file header."));
      std::lock_guard<std::mutex> l(r.rec.mutex);
      size_t n8 = 0;
      for (auto &ln : r.rec.lines) n8 += ln.first == 8;
      EXPECT_EQ(n8, 1u);
    } else {
      EXPECT_EQ(rc, 0) << log.text();
      EXPECT_EQ(hdr.rw_misc.latitude, 7.25f);
      EXPECT_EQ(r.sent().back(), PKC_CLOSEFILE);
    }
  }
}

TEST(AltusBlockOps, VerboseWalkDescribesEntries) {
  Rig r;
  r.sim.add_dir("A:\\D");
  r.sim.add_file("A:\\D\\E1.EVT", bytes_of(12, 1), 0x20, 0);
  AltusDirTree *t = nullptr;
  int n = 0, cap = 0;
  char p[] = "A:\\";
  ASSERT_EQ(block_readdirtree(r.buf.get(), p, &r.seq, 0, &t, &n, &cap, nullptr, nullptr, 1), 0);
  free(t);
  std::vector<std::string> got;
  {
    std::lock_guard<std::mutex> l(r.rec.mutex);
    for (auto &ln : r.rec.lines)
      if (ln.first == 6) got.push_back(ln.second);
  }
  // A directory not recorded is shown with a trailing "\"; times are 1980-01-01.
  // Path padded to 24 columns, size to 8.
  EXPECT_EQ(
      got,
      (std::vector<std::string>{
          "readdir: A:\\D\\" + std::string(19 + 1 + 7, ' ') + "0 1980001:00:00:00 0x10\n",
          "readdir: A:\\D\\E1.EVT" + std::string(13 + 1 + 6, ' ') + "12 1980001:00:00:00 0x20\n"}));
}
