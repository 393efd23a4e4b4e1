// Tests of muldrin's command line.
#include "muldrin_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/arr.h"
#include "testkit/testkit.h"

namespace {

struct Case {
  std::vector<const char *> argv;
  int rc;
  const char *complaint;  // none: no complaint expected
};

int run(const std::vector<const char *> &args, Muldrin *m, MuldrinArgs *a, std::string *err,
        std::string *log) {
  std::vector<char *> argv;
  for (const char *s : args) argv.push_back(const_cast<char *>(s));
  ElogCapture cap;
  testing::internal::CaptureStderr();
  int rc = muldrin_parse_args(static_cast<int>(argv.size()), argv.data(), m, a);
  *err = testing::internal::GetCapturedStderr();
  *log = cap.text();
  return rc;
}

TEST(MuldrinArgs, Table) {
  const Case cases[] = {
      {{"muldrin"}, 1, nullptr},
      {{"muldrin", "-pf"}, 1, "Need -pf argument."},
      {{"muldrin", "-calib_db"}, 1, "Need -calib_db argument."},
      {{"muldrin", "-dlclock"}, 1, "Need -dlclock argument."},
      {{"muldrin", "-S"}, 1, "Need -S argument."},
      {{"muldrin", "-pidfile"}, 1, "Need -pidfile argument."},
      {{"muldrin", "-x", "TA"}, 1, "Unrecognized option '-x'."},
      {{"muldrin", "-v"}, 1, "Need targetname argument."},
      {{"muldrin", "TA", "log"}, 1, "need an orbname for each orbtag"},
      {{"muldrin", "TA", "log", "r1", "cmd"}, 1, "need an orbname for each orbtag"},
      {{"muldrin", "TA"}, 0, nullptr},
      {{"muldrin", "-pf", "-odd", "TA", "log", "r1"}, 0, nullptr},  // values taken literally
  };
  for (const Case &c : cases) {
    Muldrin m;
    MuldrinArgs a;
    std::string err, log;
    int rc = run(c.argv, &m, &a, &err, &log);
    std::string name = c.argv.size() > 1 ? c.argv[1] : "(none)";
    EXPECT_EQ(rc, c.rc) << name;
    if (c.rc == 1) {
      EXPECT_NE(err.find("usage: muldrin"), std::string::npos) << name;
    }
    if (c.complaint != nullptr) {
      EXPECT_NE(log.find(c.complaint), std::string::npos) << log;
    }
    muldrin_free_args(&m);
  }
}

TEST(MuldrinArgs, OptionsAndOrbtags) {
  Muldrin m;
  MuldrinArgs a;
  std::string err, log;
  ASSERT_EQ(run({"muldrin", "-pf", "x.pf", "-S", "st", "-ipresolv", "-nostash", "-dlclock",
                 "TA_SIM1", "-pidfile", "p", "TA", "log", "r1", "cmd", "r2", "log", "r3"},
                &m, &a, &err, &log),
            0);
  EXPECT_EQ(a.pfname, "x.pf");
  EXPECT_EQ(a.pidfile, "p");
  EXPECT_STREQ(m.statefile, "st");
  EXPECT_STREQ(m.dlclock, "TA_SIM1");
  EXPECT_STREQ(m.target_name, "TA");
  EXPECT_EQ(m.noipresolv, 0);
  EXPECT_EQ(m.nowritestash, 1);
  EXPECT_EQ(m.pendingstashrequest.load(), 0);
  auto *o = static_cast<Orbtag *>(getarr(m.orbtags, "log"));
  ASSERT_NE(o, nullptr);
  EXPECT_STREQ(o->orbname, "r3");  // the later pair wins
  EXPECT_EQ(o->orbw, -1);
  muldrin_free_args(&m);
}

}  // namespace
