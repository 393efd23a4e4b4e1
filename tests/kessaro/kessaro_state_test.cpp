// The state file: mybury's text and its safe replacement, parse_state, the round trip.
#include "kessaro_state.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "altuscom_fixture.h"
#include "base/arr.h"
#include "base/elog.h"
#include "kessaro_program.h"
#include "testkit/testkit.h"

namespace {

class AltusState : public ::testing::Test {
 protected:
  void SetUp() override {
    altus = kessaro_new();
    a = add("dlA");
    b = add("dlB");
    altus->statefile_name = strdup(dir.file("kessaro.state").c_str());
    elog_clear_register(0);
  }
  void TearDown() override {
    Tbl *dls = valsarr(altus->dltargets_array);
    for (long i = 0; i < maxtbl(dls); i++) {
      altusdatalogger_free(static_cast<AltusDatalogger *>(gettbl(dls, i)));
    }
    freetbl(dls, nullptr);
    free(altus->statefile_name);
    kessaro_test_free(altus);
    elog_clear_register(0);
  }
  AltusDatalogger *add(const char *target) {
    AltusDatalogger *d = altusdatalogger_new();
    d->target_name = strdup(target);
    setarr(altus->dltargets_array, target, d);
    return d;
  }
  static void set_files(AltusDatalogger *d, std::initializer_list<AltusDirTree> files) {
    free(d->files);
    d->files_size = (int)files.size();
    d->files = static_cast<AltusDirTree *>(calloc(files.size() + 1, sizeof(AltusDirTree)));
    int i = 0;
    for (const AltusDirTree &f : files) d->files[i++] = f;
  }
  static AltusDirTree file(const char *path, double time, int size, int processed) {
    AltusDirTree f{};
    kessaro_copytext(f.pathname, path);
    f.time = time;
    f.size = size;
    f.processed = processed;
    return f;
  }
  // dlA with every field set; dlB left as the parameter file made it.
  void fill_a() {
    a->lasttime = 1577836800.123456;
    a->nextSeq = 0xFFFFFFF0u;  // above INT_MAX: written as a negative %d
    a->numStream = 3;
    a->strseq_chanmap = 0xB;
    a->strseq_chanmap_known = 1;
    a->lcom = ALTUS_COM_BLOCKMODE;
    a->last_events_count = 12;
    a->last_blockmode_time = 1577836801.5;
    a->last_monitormode_time = 2;
    a->last_listing_time = 3;
    a->last_connection_attempt_time = 4;
    a->last_connection_ended_time = 5;
    a->last_data_time = 6;
    a->last_stream_data_time = 7;
    a->last_clock_latency = -0.25;
    a->last_params_time = 8;
    a->status_time = 9;
    kessaro_copytext(a->last_connected_modem, "<-tty1");
    a->last_params.rw_misc.nchannels = 18;
    a->last_params.rw_misc.latitude = 34.5f;
    a->last_params.rw_misc.longitude = -118.25f;
    a->last_params.rw_misc.elevation = -12;
    a->last_params.ro_misc.temperature = 235;
    a->last_params.ro_misc.batteryVoltage = -124;
    a->status.driveStatus[0] = 0x8000 | 0x2000 | 4;  // a word above the 16-bit signed range
    a->status.driveStatus[1] = 0x400;
    a->last_params.ro_timing.clockSource = 3;
    a->last_params.ro_timing.gpsStatus = 0xB2;
    set_files(a, {file("C:\\DATA\\E0001.EVT", 1577836000.5, 1024, 2),
                  file("C:\\DATA\\SUB\\E0002.EVT", 1577836100.25, 0, 3)});
  }
  std::string state() { return read_file(altus->statefile_name); }

  TempDir dir;
  Kessaro *altus = nullptr;
  AltusDatalogger *a = nullptr;
  AltusDatalogger *b = nullptr;
};

const char kExpected[] =
    "dataloggers &Arr{\n"
    "dlA &Arr{\n"
    "lasttime 1577836800.12346\n"
    "nextseq -16\n"
    "nstreams 3\n"
    "streammap 0xB\n"
    "lcom 4\n"
    "lasteventscount 12\n"
    "last_blockmode_time 1577836801.500000\n"
    "last_monitormode_time 2.000000\n"
    "last_listing_time 3.000000\n"
    "last_connection_attempt_time 4.000000\n"
    "last_connection_ended_time 5.000000\n"
    "last_data_time 6.000000\n"
    "last_stream_data_time 7.000000\n"
    "last_clock_latency -0.250000\n"
    "last_params_time 8.000000\n"
    "last_status_time 9.000000\n"
    "last_connected_modem <-tty1\n"
    "nchannels 18\n"
    "latitude 34.500000\n"
    "longitude -118.250000\n"
    "elevation -12\n"
    "temperature 235\n"
    "voltage -124\n"
    "dra 40964\n"
    "drb 1024\n"
    "clock_source 3\n"
    "gps_status 178\n"
    "eventfiles &Tbl{\n"
    "C:/DATA/E0001.EVT 1577836000.500 1024 2\n"
    "C:/DATA/SUB/E0002.EVT 1577836100.250 0 3\n"
    "}\n"
    "}\n"
    "dlB &Arr{\n"
    "lasttime 0.00000\n"
    "nextseq 0\n"
    "nstreams 0\n"
    "lcom 0\n"
    "lasteventscount 0\n"
    "last_blockmode_time 0.000000\n"
    "last_monitormode_time 0.000000\n"
    "last_listing_time 0.000000\n"
    "last_connection_attempt_time 0.000000\n"
    "last_connection_ended_time 0.000000\n"
    "last_data_time 0.000000\n"
    "last_stream_data_time 0.000000\n"
    "last_clock_latency 0.000000\n"
    "last_params_time 0.000000\n"
    "last_status_time 0.000000\n"
    "nchannels 0\n"
    "latitude 0.000000\n"
    "longitude 0.000000\n"
    "elevation 0\n"
    "temperature 0\n"
    "voltage 0\n"
    "dra 0\n"
    "drb 0\n"
    "clock_source 0\n"
    "gps_status 0\n"
    "eventfiles &Tbl{\n"
    "}\n"
    "}\n"
    "}\n";

TEST_F(AltusState, WritesTheWholeText) {
  fill_a();
  mode_t mask = umask(022);
  ASSERT_EQ(mybury(altus), 0);
  umask(mask);
  EXPECT_EQ(state(), kExpected);
  struct stat st;
  ASSERT_EQ(stat(altus->statefile_name, &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(altus->statefile, -1);
  // Rewritten shorter: nothing of the longer text is left, and no temporary file.
  set_files(a, {});
  ASSERT_EQ(mybury(altus), 0);
  std::string text = state();
  EXPECT_EQ(text.find("E0001"), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 2), "}\n");
  EXPECT_EQ(read_file(dir.path() + "/kessaro.state." + std::to_string(getpid()) + ".tmp"), "");

  free(altus->statefile_name);
  altus->statefile_name = strdup("");  // no state file: nothing written
  EXPECT_EQ(mybury(altus), 0);
}

// A state path that is a symbolic link: the file it points to is written (also the first
// time, when it does not exist yet) and the link stays a link.
TEST_F(AltusState, AStatePathThatIsALinkKeepsTheLink) {
  fill_a();
  ASSERT_EQ(mkdir(dir.file("keep").c_str(), 0755), 0);
  for (const std::string &target : {std::string("keep/state"), dir.file("keep/abs.state")}) {
    SCOPED_TRACE(target);
    const std::string link = dir.file("link.state");
    unlink(link.c_str());
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    free(altus->statefile_name);
    altus->statefile_name = strdup(link.c_str());
    for (int pass = 0; pass < 2; pass++) {
      ASSERT_EQ(mybury(altus), 0);
      struct stat st;
      ASSERT_EQ(lstat(link.c_str(), &st), 0);
      EXPECT_TRUE(S_ISLNK(st.st_mode)) << "pass " << pass;
      const std::string file = target[0] == '/' ? target : dir.file(target);
      EXPECT_EQ(read_file(file), kExpected) << "pass " << pass;
    }
  }
}

TEST_F(AltusState, FailedWriteKeepsThePreviousFile) {
  fill_a();
  ASSERT_EQ(mybury(altus), 0);
  a->lasttime = 1;  // a later state that cannot be written
  ElogCapture cap;
  struct Case {
    const char *what;
    std::function<void()> make_fail, undo;
    const char *complaint;
  };
  std::string tmp = std::string(altus->statefile_name) + "." + std::to_string(getpid()) + ".tmp";
  struct rlimit old_limit;
  getrlimit(RLIMIT_FSIZE, &old_limit);
  Case cases[] = {
      {"the temporary name is taken by a directory",
       [&] {
         mkdir(tmp.c_str(), 0755);
         close(open((tmp + "/x").c_str(), O_CREAT | O_WRONLY, 0644));
       },
       [&] {
         unlink((tmp + "/x").c_str());
         rmdir(tmp.c_str());
       },
       "mybury: open("},
      {"the disk takes only part of the text",
       [&] {
         signal(SIGXFSZ, SIG_IGN);
         struct rlimit lim = old_limit;
         lim.rlim_cur = 100;
         setrlimit(RLIMIT_FSIZE, &lim);
       },
       [&] {
         setrlimit(RLIMIT_FSIZE, &old_limit);
         signal(SIGXFSZ, SIG_DFL);
       },
       "mybury: write("},
      {"the directory is read-only", [&] { chmod(dir.path().c_str(), 0555); },
       [&] { chmod(dir.path().c_str(), 0755); }, "mybury: open("},
  };
  for (Case &c : cases) {
    if (std::string(c.what) == "the directory is read-only" && geteuid() == 0) continue;
    cap.clear();
    c.make_fail();
    int rc = mybury(altus);
    c.undo();
    EXPECT_EQ(rc, -1) << c.what;
    EXPECT_EQ(state(), kExpected) << c.what;
    EXPECT_TRUE(cap.contains(c.complaint)) << c.what << ": " << cap.text();
    struct stat st;
    EXPECT_NE(stat(tmp.c_str(), &st), 0) << c.what << ": temporary file left";
  }
}

TEST_F(AltusState, RoundTrip) {
  fill_a();
  ASSERT_EQ(mybury(altus), 0);
  Kessaro *back = kessaro_new();
  AltusDatalogger *ra = altusdatalogger_new();
  ra->target_name = strdup("dlA");
  setarr(back->dltargets_array, "dlA", ra);
  ASSERT_EQ(parse_state(altus->statefile_name, back), 0) << take_registered();
  EXPECT_EQ(ra->nextSeq, a->nextSeq);
  EXPECT_EQ(ra->numStream, 3);
  EXPECT_EQ(ra->strseq_chanmap, 0xBu);
  EXPECT_EQ(ra->strseq_chanmap_known, 1);
  EXPECT_EQ(ra->lcom, 4);
  EXPECT_EQ(ra->last_events_count, 12);
  EXPECT_NEAR(ra->lasttime, a->lasttime, 1e-5);
  EXPECT_EQ(ra->last_blockmode_time, 1577836801.5);
  EXPECT_EQ(ra->last_clock_latency, -0.25);
  EXPECT_EQ(ra->status_time, 9.0);
  EXPECT_STREQ(ra->last_connected_modem, "<-tty1");
  EXPECT_EQ(ra->last_params.rw_misc.nchannels, 18);
  EXPECT_EQ(ra->last_params.rw_misc.latitude, 34.5f);
  EXPECT_EQ(ra->last_params.rw_misc.longitude, -118.25f);
  EXPECT_EQ(ra->last_params.rw_misc.elevation, -12);
  EXPECT_EQ(ra->last_params.ro_misc.temperature, 235);
  EXPECT_EQ(ra->last_params.ro_misc.batteryVoltage, -124);
  EXPECT_EQ(ra->status.driveStatus[0], a->status.driveStatus[0]);
  EXPECT_EQ(ra->status.driveStatus[1], 0x400);
  EXPECT_EQ(ra->last_params.ro_timing.clockSource, 3);
  EXPECT_EQ(ra->last_params.ro_timing.gpsStatus, 0xB2);
  ASSERT_EQ(ra->files_size, 2);
  EXPECT_STREQ(ra->files[1].pathname, "C:\\DATA\\SUB\\E0002.EVT");
  EXPECT_EQ(ra->files[1].time, 1577836100.25);
  EXPECT_EQ(ra->files[0].size, 1024);
  EXPECT_EQ(ra->files[1].processed, 3);
  altusdatalogger_free(ra);
  kessaro_test_free(back);
}

// ---- reader ----

std::string block(const std::string &target, const std::string &keys,
                  const std::string &files = "") {
  return target + " &Arr{\n" + keys + "eventfiles &Tbl{\n" + files + "}\n}\n";
}
const std::string kRequired = "lasttime 100.5\nnextseq 77\nlasteventscount 5\n";

TEST_F(AltusState, Reader) {
  struct Case {
    const char *what;
    std::string text;
    int result;
    const char *message;  // registered or complained; "" none
    std::function<void(AltusDatalogger *a, AltusDatalogger *b)> check;
  };
  const Case cases[] = {
      {"unknown target skipped",
       "dataloggers &Arr{\n" + block("dlA", kRequired) + block("dlZ", kRequired) + "}\n", 0, "",
       [](AltusDatalogger *a, AltusDatalogger *) {
         EXPECT_EQ(a->nextSeq, 77u);
         EXPECT_EQ(a->lasttime, 100.5);
       }},
      {"missing nextseq ends the reading, earlier kept",
       "dataloggers &Arr{\n" + block("dlA", kRequired) +
           block("dlB", "lasttime 1\nlasteventscount 1\n") + "}\n",
       -1, "parse_state: parse_param(dlB,nextseq) error.",
       [](AltusDatalogger *a, AltusDatalogger *b) {
         EXPECT_EQ(a->nextSeq, 77u);
         EXPECT_EQ(b->lasttime, 0.0);  // the failed block changes nothing
       }},
      {"row of three fields drops the list and the event count",
       "dataloggers &Arr{\n" +
           block("dlA", kRequired, "C:/DATA/E1.EVT 1.5 100 1\nC:/DATA/E2.EVT 2.5 200\n") +
           block("dlB", kRequired, "C:/E3.EVT 3 300 0\n") + "}\n",
       0, "parse_state: Unable to parse dlA->files[1] from C:/DATA/E2.EVT 2.5 200.",
       [](AltusDatalogger *a, AltusDatalogger *b) {
         EXPECT_EQ(a->files, nullptr);
         EXPECT_EQ(a->files_size, 0);
         EXPECT_EQ(a->last_events_count, 0);
         EXPECT_EQ(a->nextSeq, 77u);
         ASSERT_EQ(b->files_size, 1);  // the next datalogger is still read
         EXPECT_STREQ(b->files[0].pathname, "C:\\E3.EVT");
         EXPECT_EQ(b->last_events_count, 5);
       }},
      {"negative size is a bad row",
       "dataloggers &Arr{\n" + block("dlA", kRequired, "C:/E1.EVT 1 -5 1\n") + "}\n", 0,
       "Unable to parse dlA->files[0]",
       [](AltusDatalogger *a, AltusDatalogger *) { EXPECT_EQ(a->files_size, 0); }},
      {"state 4 is a bad row",
       "dataloggers &Arr{\n" + block("dlA", kRequired, "C:/E1.EVT 1 5 4\n") + "}\n", 0,
       "Unable to parse dlA->files[0]",
       [](AltusDatalogger *a, AltusDatalogger *) { EXPECT_EQ(a->last_events_count, 0); }},
      {"absent optional keys keep the parameter file's values",
       "dataloggers &Arr{\n" + block("dlA", kRequired + "last_listing_time 9\n") + "}\n", 0, "",
       [](AltusDatalogger *a, AltusDatalogger *) {
         EXPECT_EQ(a->lcom, 2);
         EXPECT_STREQ(a->last_connected_modem, "->m1");
         EXPECT_EQ(a->last_params.rw_misc.nchannels, 12);
         EXPECT_EQ(a->numStream, 2);             // a file without nstreams loads
         EXPECT_EQ(a->strseq_chanmap_known, 0);  // nor streammap: not known
         EXPECT_EQ(a->last_listing_time, 9.0);
         EXPECT_EQ(a->last_data_time, 0.0);
       }},
      {"slashes become backslashes, empty list",
       "dataloggers &Arr{\n" + block("dlA", kRequired, "A:/D1/D2/E1.EVT 12.25 7 0\n") +
           block("dlB", kRequired) + "}\n",
       0, "",
       [](AltusDatalogger *a, AltusDatalogger *b) {
         ASSERT_EQ(a->files_size, 1);
         EXPECT_STREQ(a->files[0].pathname, "A:\\D1\\D2\\E1.EVT");
         EXPECT_EQ(a->files[0].time, 12.25);
         EXPECT_EQ(a->files[0].size, 7);
         EXPECT_EQ(a->files[0].event, 0);
         EXPECT_EQ(b->files_size, 0);
         EXPECT_EQ(b->files, nullptr);
       }},
      {"a stream counting from its reset keeps its counters; nextseq not 0 ignores it",
       "dataloggers &Arr{\n" +
           block("dlA", "lasttime 1\nnextseq 0\nseqfromzero 1\nlasteventscount 1\n") +
           block("dlB", kRequired + "seqfromzero 1\n") + "}\n",
       0, "",
       [](AltusDatalogger *a, AltusDatalogger *b) {
         EXPECT_EQ(a->nextSeq, 0u);
         EXPECT_EQ(a->strseq_kept, 1);
         EXPECT_EQ(b->nextSeq, 77u);
         EXPECT_EQ(b->strseq_kept, 0);
       }},
      {"a drive word beyond 16 bits is malformed",
       "dataloggers &Arr{\n" + block("dlA", kRequired + "dra 70000\n") + "}\n", -1,
       "parse_state: parse_param(dlA,dra) error.", nullptr},
      {"a stream count beyond six is malformed",
       "dataloggers &Arr{\n" + block("dlA", kRequired + "nstreams 7\n") + "}\n", -1,
       "parse_state: parse_param(dlA,nstreams) error.", nullptr},
      {"no event-file list", "dataloggers &Arr{\ndlA &Arr{\n" + kRequired + "}\n}\n", -1,
       "parse_state: parse_param(dlA,eventfiles) error.", nullptr},
      {"a datalogger that is not a block", "dataloggers &Arr{\ndlA 5\n}\n", -1,
       "parse_state: parse_param(dlA) error.", nullptr},
      {"no dataloggers array", "dataloggers 1\n", -1, "parse_state: No dataloggers array for",
       nullptr},
      {"not parameter-file text", "dataloggers &Arr{\n", -1, "parse_state: pfin(", nullptr},
      // Valid text of millions of extra keys: refused unread, 1 MiB per datalogger.
      {"larger than the bound",
       "dataloggers &Arr{\n" +
           block(
               "dlA", kRequired +
                          [] {
                            std::string keys;
                            for (long i = 0; keys.size() < (3u << 20); i++)
                              keys += "x" + std::to_string(i) + " 1\n";
                            return keys;
                          }()) +
           "}\n",
       -1, "is larger than 2097152 bytes.",
       [](AltusDatalogger *a, AltusDatalogger *) { EXPECT_EQ(a->nextSeq, 0u); }},
  };
  for (const Case &c : cases) {
    // What the parameter file set before the state file is read.
    for (AltusDatalogger *d : {a, b}) {
      free(d->files);
      d->files = nullptr;
      d->files_size = 0;
      d->nextSeq = 0;
      d->lasttime = 0;
      d->last_events_count = 0;
      d->lcom = ALTUS_COM_OPENING;
      kessaro_copytext(d->last_connected_modem, "->m1");
      d->last_params.rw_misc.nchannels = 12;
      d->numStream = 2;
      d->last_listing_time = d->last_data_time = 0;
    }
    std::string path = dir.write("case.state", c.text);
    ElogCapture cap;
    int mark = elog_mark();
    int rc = parse_state(const_cast<char *>(path.c_str()), altus);
    std::string said = take_registered(mark) + cap.text();
    EXPECT_EQ(rc, c.result) << c.what << ": " << said;
    if (c.message[0] != '\0') {
      EXPECT_NE(said.find(c.message), std::string::npos) << c.what << ": " << said;
    } else {
      EXPECT_EQ(said, "") << c.what;
    }
    if (c.check) c.check(a, b);
  }
  // No file yet (a first start): one line, no error. A file that cannot be read is one.
  std::string missing = dir.file("none.state");
  {
    ElogCapture cap;
    int mark = elog_mark();
    EXPECT_EQ(parse_state(const_cast<char *>(missing.c_str()), altus), 0);
    std::string said = take_registered(mark) + cap.text();
    EXPECT_NE(said.find("starting with no state"), std::string::npos) << said;
    EXPECT_EQ(said.find("rror"), std::string::npos) << said;
  }
  // Under a plain file: cannot be opened, even by root.
  std::string folder = dir.write("plain", "") + "/case.state";
  EXPECT_EQ(parse_state(const_cast<char *>(folder.c_str()), altus), -1);
  EXPECT_NE(take_registered().find("parse_state: fopen('"), std::string::npos);
}

// A number of the state file that is NaN, infinite, too large for its kind or outside its
// range is refused like any malformed value, naming the key and the value.
TEST_F(AltusState, NumbersRefuseNanInfinityAndOutOfRange) {
  struct Key {
    const char *key;
    const char *out_of_range;  // none: any finite value is taken
  } keys[] = {
      {"lasttime", nullptr},
      {"last_data_time", nullptr},
      {"latitude", "1e39"},
      {"nstreams", "7"},
      {"dra", "70000"},
      {"clock_source", "256"},
      {"lasteventscount", nullptr},
  };
  for (const Key &k : keys) {
    std::vector<const char *> values = {"nan", "inf", "-inf", "1e999"};
    if (k.out_of_range != nullptr) values.push_back(k.out_of_range);
    for (const char *v : values) {
      SCOPED_TRACE(std::string(k.key) + " " + v);
      std::string keys = kRequired + k.key + " " + v + "\n";
      std::string path = dir.write("bad.state", "dataloggers &Arr{\n" + block("dlA", keys) + "}\n");
      int mark = elog_mark();
      EXPECT_EQ(parse_state(const_cast<char *>(path.c_str()), altus), -1);
      std::string said = take_registered(mark);
      EXPECT_NE(said.find(std::string("key '") + k.key + "': '" + v + "'"), std::string::npos)
          << said;
      EXPECT_NE(said.find(std::string("parse_state: parse_param(dlA,") + k.key + ") error."),
                std::string::npos)
          << said;
    }
  }
}

}  // namespace
