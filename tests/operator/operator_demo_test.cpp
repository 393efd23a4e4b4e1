// The demo (scripts/run.sh) on the programs of this build: both acts deliver, a remote
// status command answers in each, and the demo ends with one OK line per program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <sstream>
#include <string>
#include <vector>

#include "testkit/e2e_process.h"
#include "testkit/testkit.h"

namespace {

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::stringstream ss(text);
  for (std::string line; std::getline(ss, line);) out.push_back(line);
  return out;
}

TEST(OperatorDemo, EndsWithOneOkLinePerProgram) {
  TempDir dir;
  const std::string out = dir.file("demo.out");
  const std::string build =
      std::string(MULDRIN_BIN)
          .substr(0, std::string(MULDRIN_BIN).rfind("/src/bin/rt/muldrin/muldrin"));
  pid_t pid =
      e2e_start({"env", "VANTREL_DEMO_BIN=" + build, "SECONDS_TO_WAIT=120", "TMPDIR=" + dir.path(),
                 "bash", std::string(SOURCE_DIR) + "/scripts/run.sh"},
                dir.path(), out);
  int status = e2e_stop(pid, 0, 400);
  std::string text = e2e_read_text(out);
  ASSERT_TRUE(status != -1 && WIFEXITED(status)) << text;
  EXPECT_EQ(WEXITSTATUS(status), 0) << text;
  std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 3u) << text;
  const std::string &title = lines[lines.size() - 3], &muldrin = lines[lines.size() - 2],
                    &kessaro = lines.back();
  EXPECT_EQ(title, "== summary");
  struct Case {
    const std::string &line;
    std::string program;
    std::vector<std::string> channels;
  } cases[] = {
      {muldrin,
       "muldrin: ",
       {"TA_SIM1_BHZ ", "TA_SIM1_BHN ", "TA_SIM1_BHE ", "TA_SIM1_LHZ ", "TA_SIM1_LHN ",
        "TA_SIM1_LHE "}},
      {kessaro,
       "kessaro: ",
       {"K2_1234_HHZ ", "K2_1234_HHN ", "K2_1234_HHE ", "XX_5678_HNZ ", "XX_5678_HNN ",
        "XX_5678_HNE "}},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.line.rfind(c.program, 0), 0u) << c.line;
    EXPECT_NE(c.line.find(" packets; samples: "), std::string::npos) << c.line;
    for (const std::string &ch : c.channels)
      EXPECT_NE(c.line.find(ch), std::string::npos) << ch << " in " << c.line;
    EXPECT_EQ(c.line.substr(c.line.size() - 4), ": OK") << c.line;
  }
  // The registration log is followed from the ring's start, and both remote commands
  // answered.
  EXPECT_NE(text.find("muldrin startup"), std::string::npos);
  EXPECT_EQ(e2e_count_text(out, "disposition done"), 2) << text;
}

}  // namespace
