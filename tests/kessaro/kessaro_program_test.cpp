// The kessaro binary: command-line refusals, and a run with the example parameter file
// stopped by SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/elog.h"
#include "ring/orb.h"
#include "ringsvc/dlcmpkt.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

namespace {

struct Outcome {
  int status = -1;
  std::string err;
};

// Runs the binary with `args`, standard error into a file. With `once_started`, that is
// called once the program's log shows its start-up done (the status thread started).
Outcome run(const std::vector<std::string> &args,
            const std::function<void(pid_t)> &once_started = nullptr) {
  TempDir dir;
  std::string errfile = dir.file("err");
  pid_t pid = fork();
  if (pid == 0) {
    FILE *f = freopen(errfile.c_str(), "w", stderr);
    (void)f;
    std::vector<char *> argv;
    std::string bin = KESSARO_BIN;
    argv.push_back(bin.data());
    std::vector<std::string> copy = args;
    for (auto &a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin.c_str(), argv.data());
    _exit(127);
  }
  Outcome r;
  if (once_started) {
    for (int i = 0; i < 6000; i++) {  // until the start-up is done (bounded)
      if (read_file(errfile).find("Starting status report thread") != std::string::npos) break;
      usleep(10000);
    }
    once_started(pid);
  }
  // Bounded: a program that does not end is killed, and the test sees the signal.
  bool ended = false;
  for (int i = 0; i < 6000 && !ended; i++) {
    ended = waitpid(pid, &r.status, WNOHANG) == pid;
    if (!ended) usleep(10000);
  }
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &r.status, 0);
  }
  r.err = read_file(errfile);
  return r;
}

TEST(KessaroProgram, CommandLineRefusals) {
  struct Case {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {{"kes", "out"}, "usage: kessaro"},
      {{"-v", "kes", "out"}, "Wrong number of command line arguments - need an orbname"},
      {{"-start", "notatime", "kes", "out", "o"}, "Unable to parse starttime."},
      {{"-x", "kes", "out", "o"}, "Unrecognized option '-x'."},
      {{"-msglevel", "3", "-pf", "/nonexistent/none", "kes", "out", "o"}, "parse_pf("},
      {{"-v", "-V", "-pf"}, "Need -pf argument."},
  };
  for (const Case &c : cases) {
    Outcome r = run(c.args);
    SCOPED_TRACE(c.message);
    ASSERT_TRUE(WIFEXITED(r.status));
    EXPECT_EQ(WEXITSTATUS(r.status), 1);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (std::string(c.message) != "parse_pf(") {
      EXPECT_NE(r.err.find("usage: kessaro"), std::string::npos);
    } else {
      EXPECT_EQ(r.err.find("Unrecognized option"), std::string::npos);  // -msglevel taken
    }
  }
}

// A parameter file with a fault the start-up refuses: exit 1, the file named as given, the
// fault named by its link or datalogger and key.
TEST(KessaroProgram, BadParameterFilesAreRefusedAtStart) {
  struct Case {
    const char *from, *to, *message;
  } cases[] = {
      {"tcp1   tcpclient none no  yes patient 127.0.0.1:5001",
       "tcp1   tcpclient none no  yes patient 127.0.0.300:5001",
       "parse_modem: tcp1: bad address '127.0.0.300' in '127.0.0.300:5001'"},
      {"status_interval         60.0", "status_interval         -10",
       "parse_pf: kessaro->status_interval -10 is negative."},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    TempDir dir;
    std::string pf = read_file(std::string(KESSARO_PF_NAME) + ".pf");
    const size_t at = pf.find(c.from);
    ASSERT_NE(at, std::string::npos);
    pf.replace(at, strlen(c.from), c.to);
    dir.write("x.pf", pf);
    const std::string name = dir.file("x.pf");
    Outcome r = run({"-pf", name, "kes", "cmd", dir.file("cmd"), "out", dir.file("out")});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("parse_pf('" + name + "') error."), std::string::npos) << r.err;
  }
}

// A bad value in one line of the example file: exit 1, naming the file, the line, the key and
// the value (for a slip of the keyboard in a required key, the word typed and the key).
TEST(KessaroProgram, BadValueNamesFileLineKeyAndValue) {
  struct Case {
    const char *from, *to, *message;
  } cases[] = {
      {"status_interval         60.0", "status_interval         nan",
       "key 'status_interval': 'nan' is not a finite number (NaN)"},
      {"dialin_cmd                      status", "dialin_cmd                      fetch",
       "datalogger_defaults->dialin_cmd 'fetch' is none of getevents, status, strstart"},
      {"samprate                        100", "samprate                        -100",
       "key 'samprate': '-100' is outside 1 .. 2000"},
      {"altus_stream_buffer_size        0", "altus_stream_buffer_size        70000",
       "key 'altus_stream_buffer_size': '70000' is outside 0 .. 65535"},
      {"altus_stream_buffer_size        0", "altus_stream_buffer_size        inf",
       "key 'altus_stream_buffer_size': 'inf' is not an integer"},
      {"maxtries             3", "maxtries             1e999",
       "key 'maxtries': '1e999' is not an integer"},
      {"maxtries             3", "maxtries             5000",
       "key 'maxtries': '5000' is outside 0 .. 1000"},
      {"timeout_connect      60.0", "timeout_connect      -5",
       "parse_pf: modem_defaults->timeout_connect -5 is negative. Read at "},
      {"evt_file_dir            evt", "evt_file_dir            /nonexistent/dir",
       "key 'evt_file_dir': '/nonexistent/dir' cannot be made: its parent folder does not exist"},
      {"evt_file_dir            evt", "evt_file_dri            evt",
       "key 'evt_file_dri' is no known key: required key 'evt_file_dir' is missing"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.to);
    TempDir dir;
    std::string pf = read_file(std::string(KESSARO_PF_NAME) + ".pf");
    const size_t at = pf.find(c.from);
    ASSERT_NE(at, std::string::npos);
    pf.replace(at, strlen(c.from), c.to);
    const long line = 1 + std::count(pf.begin(), pf.begin() + static_cast<long>(at), '\n');
    dir.write("x.pf", pf);
    const std::string name = dir.file("x.pf");
    Outcome r = run({"-pf", name, "kes", "cmd", dir.file("cmd"), "out", dir.file("out")});
    ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
    EXPECT_EQ(WEXITSTATUS(r.status), 1) << r.err;
    const std::string want = "'" + name + "' line " + std::to_string(line);
    EXPECT_NE(r.err.find(want), std::string::npos) << want << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST(KessaroProgram, RunsWithTheExampleFileAndStopsInOrderOnSigterm) {
  TempDir dir;
  for (const char *ring : {"cmd", "out"}) ASSERT_EQ(orbcreate(dir.file(ring).c_str(), 1 << 20), 0);
  Outcome r = run({"-pf", KESSARO_PF_NAME, "-state", dir.file("state"), "kes", "cmd",
                   dir.file("cmd"), "out", dir.file("out")},
                  [](pid_t pid) {
                    kill(pid, SIGTERM);
                    kill(pid, SIGTERM);  // a second signal changes nothing
                  });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
  for (const char *line :
       {"kessaro startup", "Starting modem thread for tcp1.",

        "haltbysignal: received signal #15", "kessaro_stop: modem threads finished",
        "kessaro_stop: Flushing output buffers.", "haltbysignal: halted by signal #15"}) {
    EXPECT_NE(r.err.find(line), std::string::npos) << line << "\n" << r.err;
  }
  // One shutdown only.
  EXPECT_EQ(r.err.find("received signal"), r.err.rfind("received signal"));
  EXPECT_EQ(access(dir.file("state").c_str(), F_OK), 0);
}

// A link thread that meets a fatal error (here a TCP link asked for the modem's control
// lines, which only a serial line has) raises the halt: every link thread ends, and the
// main loop stops the program in order and ends it with status 1 and the cause, instead of
// running on without links.
TEST(KessaroProgram, AFatalHaltStopsInOrderAndExitsOne) {
  TempDir dir;
  for (const char *ring : {"cmd", "out"}) ASSERT_EQ(orbcreate(dir.file(ring).c_str(), 1 << 20), 0);
  std::string pf = read_file(std::string(KESSARO_PF_NAME) + ".pf");
  const std::string from = "tcp1   tcpclient none no  yes patient 127.0.0.1:5001";
  const size_t at = pf.find(from);
  ASSERT_NE(at, std::string::npos);
  pf.replace(at, from.size(), "tcp1   tcpclient local yes yes patient 127.0.0.1:5001");
  dir.write("x.pf", pf);
  Outcome r = run({"-pf", dir.file("x.pf"), "-state", dir.file("state"), "kes", "cmd",
                   dir.file("cmd"), "out", dir.file("out")});
  ASSERT_TRUE(WIFEXITED(r.status)) << "status " << r.status << "\n" << r.err;
  EXPECT_EQ(WEXITSTATUS(r.status), 1) << r.err;
  size_t from_here = 0;
  for (const char *line :
       {"fatal error creating setting modem control", "kessaro_main: halted by a fatal error",
        "kessaro_stop: modem threads finished", "kessaro_stop: Flushing output buffers.",
        "kessaro_main: halted by a fatal error, exit status 1"}) {
    const size_t found = r.err.find(line, from_here);
    EXPECT_NE(found, std::string::npos) << "in order: " << line << "\n" << r.err;
    if (found != std::string::npos) from_here = found;
  }
  EXPECT_EQ(access(dir.file("state").c_str(), F_OK), 0);
}

// "quit" over the command ring: the program stops in order, answers done, and exits 0.
TEST(KessaroProgram, QuitCommandStopsInOrderAnswersAndExitsZero) {
  TempDir dir;
  std::string cmd = dir.file("cmd");
  ASSERT_EQ(orbcreate(cmd.c_str(), 1 << 20), 0);
  ASSERT_EQ(orbcreate(dir.file("out").c_str(), 1 << 20), 0);
  int listener = orbopen(cmd.c_str(), "r");
  ASSERT_GE(listener, 0);
  ASSERT_EQ(orbselect(listener, "op/pf/rsp"), 0);
  Outcome r =
      run({"-pf", KESSARO_PF_NAME, "-state", dir.file("state"), "kes", "cmd", cmd, "out",
           dir.file("out")},
          [&](pid_t) {
            int sender = orbopen(cmd.c_str(), "w");
            ASSERT_GE(sender, 0);
            std::string text =
                "command quit\nreply op/pf/rsp\nusername op\nhostname ophost\nip 127.0.0.9\n"
                "sequence q1\n" +
                cmdtime_line();
            EXPECT_EQ(pfcmdstring2orb(text.c_str(), "kes/pf/dlcm", sender), 0);
            orbclose(sender);
          });
  ASSERT_TRUE(WIFEXITED(r.status)) << r.err;
  EXPECT_EQ(WEXITSTATUS(r.status), 0) << r.err;
  size_t at = 0;
  for (const char *line : {"Shutting down due to command.", "kessaro_stop: modem threads finished",
                           "kessaro_stop: Flushing output buffers.", "Shutdown complete."}) {
    size_t found = r.err.find(line, at);
    EXPECT_NE(found, std::string::npos) << "in order: " << line << "\n" << r.err;
    if (found != std::string::npos) at = found;
  }
  std::vector<std::string> dispositions;
  for (const RingPacket &p : ring_take(listener)) {
    std::string text;
    if (dlcm_decode(p.bytes.data(), (int)p.bytes.size(), &text) != 1) continue;
    size_t d = text.find("disposition ");
    if (d != std::string::npos)
      dispositions.push_back(text.substr(d + 12, text.find('\n', d) - d - 12));
  }
  elog_clear_register(0);
  orbclose(listener);
  EXPECT_EQ(dispositions, std::vector<std::string>{"done"});
  EXPECT_EQ(access(dir.file("state").c_str(), F_OK), 0);
}

}  // namespace
