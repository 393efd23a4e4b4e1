// Every program started with help options and with bad input: its exit code, and the
// first line it writes on the stream the line belongs to (help on standard output,
// refusals on standard error).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "testkit/e2e_process.h"
#include "testkit/testkit.h"

namespace {

const std::string kMuldrinPf = std::string(SOURCE_DIR) + "/src/bin/rt/muldrin/muldrin";
const std::string kKessaroPf = std::string(SOURCE_DIR) + "/src/bin/rt/kessaro/kessaro";

struct Ran {
  int status = -1;  // exit code; -1 when it did not exit by itself
  std::string out, err;
};

// Runs `argv` in `cwd` with `env` ("NAME=value" each) added; waits a bounded time.
Ran run(const std::vector<std::string> &argv, const std::string &cwd,
        const std::vector<std::string> &env = {}) {
  std::vector<std::string> full = {"env"};
  full.insert(full.end(), env.begin(), env.end());
  full.insert(full.end(), argv.begin(), argv.end());
  // Standard output and error apart: e2e_start sends both to one file, so the shell
  // splits them.
  std::string cmd;
  for (const auto &a : full) cmd += "'" + a + "' ";
  cmd += "2>'" + cwd + "/err' >'" + cwd + "/out'";
  pid_t pid = e2e_start({"sh", "-c", cmd}, cwd, cwd + "/sh");
  Ran r;
  int ws = e2e_stop(pid, 0, 60);
  if (ws != -1 && WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  r.out = e2e_read_text(cwd + "/out");
  r.err = e2e_read_text(cwd + "/err");
  return r;
}

// The first line of `text`, leaving out kessaro's start-up box, which it writes to the
// log before it reads its options.
std::string first_line(const std::string &text) {
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line == "kessaro: " || line.rfind("kessaro: *", 0) == 0) continue;
    return line;
  }
  return "";
}

TEST(OperatorCli, HelpAndRefusals) {
  TempDir dir;
  const std::string missing = dir.file("nosuch");
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    int status;
    bool on_stdout;     // the line is on standard output (else standard error)
    std::string first;  // the first line begins with this
  } cases[] = {
      // Help: on standard output, exit 0.
      {{MULDRIN_BIN, "-h"}, {}, 0, true, "usage: muldrin [-pf pfname]"},
      {{MULDRIN_BIN, "--help"}, {}, 0, true, "usage: muldrin [-pf pfname]"},
      {{KESSARO_BIN, "-h"}, {}, 0, true, "usage: kessaro [-pf pfname] [-pfsubs pfname]"},
      {{KESSARO_BIN, "--help"}, {}, 0, true, "usage: kessaro [-pf pfname] [-pfsubs pfname]"},
      {{Q330SIM_BIN, "-h"}, {}, 0, true, "usage: q330sim"},
      {{Q330SIM_BIN, "--help"}, {}, 0, true, "usage: q330sim"},
      {{ALTUSSIM_BIN, "-h"}, {}, 0, true, "usage: altussim"},
      {{ALTUSSIM_BIN, "--help"}, {}, 0, true, "usage: altussim"},
      {{RINGTOOL_BIN, "-h"}, {}, 0, true, "Usage: ringtool create"},
      {{RINGTOOL_BIN, "--help"}, {}, 0, true, "Usage: ringtool create"},
      // Wrong options: the complaint and the usage on standard error, exit 1.
      {{MULDRIN_BIN}, {}, 1, false, "usage: muldrin [-pf pfname]"},
      {{MULDRIN_BIN, "-x", "TA"}, {}, 1, false, "muldrin: Unrecognized option '-x'."},
      {{KESSARO_BIN, "-x", "kes", "out", "o"}, {}, 1, false, "kessaro: Unrecognized option '-x'."},
      {{Q330SIM_BIN, "-z"}, {}, 1, false, Q330SIM_BIN ": invalid option -- 'z'"},
      {{ALTUSSIM_BIN, "-bogus"}, {}, 1, false, "altussim: unknown option '-bogus'"},
      {{RINGTOOL_BIN, "bogus"}, {}, 1, false, "ringtool: unknown command 'bogus'"},
      // Ring names, and the size of new rings.
      {{RINGTOOL_BIN, "create", "-s", "16K", "r1.ring"}, {}, 0, true, "created ring 'r1.ring'"},
      {{RINGTOOL_BIN, "create", "-s", "16K", "r1.ring"},
       {},
       1,
       false,
       "ringtool: orbcreate: ring 'r1.ring' already exists"},
      {{RINGTOOL_BIN, "create", "r2"},
       {},
       1,
       false,
       "ringtool: orbcreate: 'r2', read as [host]:port (no '/', no \".ring\" suffix, no file of "
       "that name)"},
      {{RINGTOOL_BIN, "create", "r3.ring"},
       {"VANTREL_RINGSIZE=3x"},
       1,
       false,
       "ringtool: create: VANTREL_RINGSIZE '3x' is not a ring size"},
      {{RINGTOOL_BIN, "create", "r4.ring"},
       {"VANTREL_RINGSIZE=32K"},
       0,
       true,
       "created ring 'r4.ring': 32768 bytes"},
      {{RINGTOOL_BIN, "status", "r5.ring"},
       {},
       1,
       false,
       "ringtool: orbopen: no ring file 'r5.ring' for 'r5.ring' (read as a path: it ends in "
       "\".ring\"); make it with 'ringtool create r5.ring'"},
      // The programs never create a ring.
      {{MULDRIN_BIN, "-pf", kMuldrinPf, "TA", "data", missing, "cmd", missing, "log", missing, "st",
        missing},
       {},
       1,
       false,
       "muldrin: orbopen: no ring file '" + missing + "' for '" + missing +
           "' (read as a path: it has a '/'); make it with 'ringtool create " + missing + "'"},
      {{KESSARO_BIN, "-pf", kKessaroPf, "kes", "cmd", "k.ring", "out", "k.ring"},
       {},
       1,
       false,
       "kessaro: orbopen: no ring file 'k.ring' for 'k.ring' (read as a path: it ends in "
       "\".ring\"); make it with 'ringtool create k.ring'"},
  };
  for (const Case &c : cases) {
    std::string shown;
    for (size_t i = 1; i < c.argv.size(); i++) shown += " " + c.argv[i];
    SCOPED_TRACE(c.argv[0] + shown);
    Ran r = run(c.argv, dir.path(), c.env);
    EXPECT_EQ(r.status, c.status) << r.err;
    const std::string &text = c.on_stdout ? r.out : r.err;
    EXPECT_EQ(first_line(text).substr(0, c.first.size()), c.first) << text;
    if (c.status == 0) {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.out, "");
    }
  }
  struct stat st {};
  EXPECT_NE(stat(missing.c_str(), &st), 0) << "muldrin made no ring";
  EXPECT_NE(stat(dir.file("k.ring").c_str(), &st), 0) << "kessaro made no ring";
}

// The help texts name every option with what it does.
TEST(OperatorCli, HelpNamesEveryOption) {
  TempDir dir;
  struct Case {
    std::string program;
    std::vector<std::string> options;
  } cases[] = {
      {MULDRIN_BIN,
       {"-pf", "-calib_db", "-S", "-ipresolv", "-noipresolv", "-poc_vampire", "-v", "-dlclock",
        "-pidfile", "-nostash", "-h, --help"}},
      {KESSARO_BIN,
       {"-pf", "-pfsubs", "-db", "-state", "-dlclock", "-start", "-msglevel", "-v, -V", "-vc",
        "-vr", "-h, --help"}},
  };
  for (const Case &c : cases) {
    Ran r = run({c.program, "--help"}, dir.path());
    for (const std::string &o : c.options)
      EXPECT_NE(r.out.find("\n  " + o + " "), std::string::npos) << o << "\n" << r.out;
  }
}

}  // namespace
