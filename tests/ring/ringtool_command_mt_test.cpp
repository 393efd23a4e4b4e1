// `ringtool command` against a remote-command service running in the test.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringtool.h"
#include "ringtool_run.h"
#include "testkit/testkit.h"

namespace {

// What the program's side of the test saw, and how it answers.
struct Program {
  std::mutex mu;
  std::vector<std::string> commands;  // "command [dlnames]"
};

// Answers "start" for two dataloggers (after a response to somebody else's request),
// and anything else with an error.
int answer(CmdThread *cth, void *user, int what, ...) {
  if (what != 2) return 0;
  auto *program = static_cast<Program *>(user);
  va_list ap;
  va_start(ap, what);
  const char *command = va_arg(ap, char *);
  Pf *request = va_arg(ap, Pf *);
  va_end(ap);
  {
    std::lock_guard<std::mutex> lock(program->mu);
    program->commands.push_back(std::string(command) + " [" +
                                (cth->cmd_dlnames ? cth->cmd_dlnames : "") + "]");
  }
  if (strcmp(command, "start") == 0) {
    Pf *other = pfdup(request);
    pfput_string(other, "sequence", "someone_else_1");
    cmdthread_send_rsp(cth, other, "dl0", nullptr, nullptr, nullptr, "done");
    pffree(other);
    cmdthread_send_rsp(cth, request, "dl1", "0101", "tcp", nullptr, "donedl");
    cmdthread_send_rsp(cth, request, "dl2", "0102", "tcp", nullptr, "done");
  } else {
    Pf *body = nullptr;
    pfcompile("error &Literal{\nunrecognized command\n}\n", &body);
    cmdthread_send_rsp(cth, request, nullptr, nullptr, nullptr, body, "error");
    pffree(body);
  }
  return 0;
}

class RingToolCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.file("cmd.ring");
    ASSERT_EQ(orbcreate(path_.c_str(), 1 << 20), 0);
    orbcmd_ = orbopen(path_.c_str(), "r");
    orbrsp_ = orbopen(path_.c_str(), "w");
    cth_ = cmdthread_new(nullptr, orbcmd_, orbrsp_, "q1", "q330", answer, &program_);
    ASSERT_NE(cth_, nullptr);
  }
  void TearDown() override {
    cmdthread_destroy(cth_);
    orbclose(orbcmd_);
    orbclose(orbrsp_);
    elog_clear_register(0);
  }
  ClockScale scale_{0.01};
  TempDir dir_;
  std::string path_;
  int orbcmd_ = -1, orbrsp_ = -1;
  Program program_;
  CmdThread *cth_ = nullptr;
};

bool has(const std::string &text, const std::string &part) {
  return text.find(part) != std::string::npos;
}

TEST_F(RingToolCommand, CommandForDataloggersAndItsResponses) {
  ToolRun r = run({"command", "-d", "dl.*", "-r", "op/pf/rsp", "-w", "300", path_, "q1", "start"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "sent 'start' to q1/pf/dlcm, sequence dl.*_")) << r.out;
  EXPECT_TRUE(has(r.out, "response 1: donedl\ncommand start\n")) << r.out;
  EXPECT_TRUE(has(r.out, "dlname dl1\ndlserial 0101\ndlcom tcp\n")) << r.out;
  EXPECT_TRUE(has(r.out, "response 2: done\n")) << r.out;
  EXPECT_TRUE(has(r.out, "dlname dl2\n")) << r.out;
  EXPECT_FALSE(has(r.out, "dl0")) << "a response to another request was printed\n" << r.out;
  EXPECT_FALSE(has(r.out, "response 3")) << r.out;
  std::lock_guard<std::mutex> lock(program_.mu);
  EXPECT_EQ(program_.commands, std::vector<std::string>{"start [dl.*]"});
}

TEST_F(RingToolCommand, PingtAndBroadcast) {
  ToolRun r = run({"command", "-w", "300", path_, "q1", "pingt"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(has(r.out, "response 1: done\ncommand pingt\n")) << r.out;
  EXPECT_TRUE(has(r.out, "target q1\ntype q330\n")) << r.out;

  r = run({"command", "-w", "300", path_, "-", "start", "now"});
  EXPECT_EQ(r.status, 1) << r.out;  // "start now" is not "start": an error
  EXPECT_TRUE(has(r.out, "sent 'start now' to /pf/dlcm")) << r.out;
  EXPECT_TRUE(has(r.out, "response 1: error\n")) << r.out;
  EXPECT_TRUE(has(r.out, "disposition error\nerror unrecognized command\n")) << r.out;
  std::lock_guard<std::mutex> lock(program_.mu);
  EXPECT_EQ(program_.commands, std::vector<std::string>{"start now []"});
}

TEST_F(RingToolCommand, NoAnswerTimesOut) {
  ElogCapture cap;
  double start = clock_monotonic();
  ToolRun r = run({"command", "-w", "2", path_, "nobody", "start"});
  EXPECT_EQ(r.status, 1);
  EXPECT_GE(clock_monotonic() - start, 2.0);
  EXPECT_TRUE(cap.contains("command: no final response within 2 s")) << cap.text();
  EXPECT_FALSE(has(r.out, "response")) << r.out;

  // Sending only.
  r = run({"command", "-w", "0", path_, "nobody", "start"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r.out, "sent 'start' to nobody/pf/dlcm")) << r.out;
}

TEST_F(RingToolCommand, UsageErrors) {
  ElogCapture cap;
  for (std::vector<std::string> args : {
           std::vector<std::string>{"command", path_, "q1"},
           {"command", "-x", "1", path_, "q1", "start"},
           {"command", "-w", "soon", path_, "q1", "start"},
           {"command", "-r", std::string(64, 'r'), path_, "q1", "start"},
           {"command", path_, std::string(56, 't'), "start"},
       }) {
    EXPECT_EQ(run(args).status, 1) << args[1];
  }
}

}  // namespace
