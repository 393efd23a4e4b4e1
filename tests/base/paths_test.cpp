#include "base/paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "base/elog.h"
#include "testkit/testkit.h"

namespace {

// Sets (or, with none, unsets) an environment variable while it lives.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = getenv(name)) old_ = old;
    if (value)
      setenv(name, value, 1);
    else
      unsetenv(name);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_.c_str(), old_->c_str(), 1);
    else
      unsetenv(name_.c_str());
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// Runs in another current directory while it lives.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string &dir) {
    char *cwd = getcwd(nullptr, 0);
    old_ = cwd ? cwd : "/";
    free(cwd);
    EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
  }
  ~ScopedCwd() { EXPECT_EQ(chdir(old_.c_str()), 0); }

 private:
  std::string old_;
};

// Takes a new text and frees it; none becomes "<none>".
std::string take(char *s) {
  std::string out = s ? s : "<none>";
  free(s);
  return out;
}

std::string current_dir() {
  char *cwd = getcwd(nullptr, 0);
  std::string out = cwd ? cwd : "";
  free(cwd);
  return out;
}

std::vector<std::string> take_names(char **names) {
  std::vector<std::string> out;
  if (!names) return out;
  for (char **p = names; *p; p++) {
    out.push_back(*p);
    free(*p);
  }
  free(names);
  return out;
}

}  // namespace

TEST(Paths, CleanpathNormalisesLexically) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"", "."},
      {".", "."},
      {"..", ".."},
      {"./", "."},
      {"/", "/"},
      {"//", "/"},
      {"/.", "/"},
      {"/..", "/"},
      {"/../x", "/x"},
      {"/a/b/../../..", "/"},
      {"a//b/./c/", "a/b/c"},
      {"/x/y/", "/x/y"},
      {"./a", "a"},
      {"a/b/..", "a"},
      {"a/..", "."},
      {"a/../..", ".."},
      {"../../a", "../../a"},
      {"../a/../../b", "../../b"},
      {"a/./../b", "b"},
      {"...", "..."},
      {".a/..b/c..", ".a/..b/c.."},
  };
  for (const Case &c : cases) EXPECT_EQ(take(cleanpath(c.in)), c.out) << '"' << c.in << '"';
  EXPECT_EQ(cleanpath(nullptr), nullptr);
}

TEST(Paths, CleanpathExpandsALeadingTilde) {
  ScopedEnv home("HOME", "/home/op");
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"~", "/home/op"},
      {"~/", "/home/op"},
      {"~/db/../x", "/home/op/x"},
      {"a/~", "a/~"},
      {"~no-such-user-vantrel/a", "~no-such-user-vantrel/a"},
  };
  for (const Case &c : cases) EXPECT_EQ(take(cleanpath(c.in)), c.out) << c.in;

  // "~name" is that user's home directory from the password entry.
  struct passwd *pw = getpwuid(getuid());
  if (pw && pw->pw_dir && pw->pw_dir[0] == '/') {
    std::string in = std::string("~") + pw->pw_name + "/x";
    EXPECT_EQ(take(cleanpath(in.c_str())),
              take(cleanpath((std::string(pw->pw_dir) + "/x").c_str())));
  }
}

TEST(Paths, AbspathJoinsTheCurrentDirectory) {
  TempDir tmp;
  ScopedCwd cd(tmp.path());
  const std::string here = current_dir();  // the temporary directory without symbolic links
  std::string parent = take(cleanpath((here + "/..").c_str()));
  struct Case {
    const char *in;
    std::string out;
  } cases[] = {
      {"x", here + "/x"},         {"", here},     {".", here},
      {"./a/../b/", here + "/b"}, {"..", parent}, {"not/there/yet", here + "/not/there/yet"},
      {"/abs//p/", "/abs/p"},
  };
  for (const Case &c : cases) EXPECT_EQ(take(abspath(c.in)), c.out) << '"' << c.in << '"';
  EXPECT_EQ(abspath(nullptr), nullptr);
}

TEST(Paths, AbspathFailsWhenTheCurrentDirectoryIsGone) {
  TempDir tmp;
  std::string gone = tmp.file("gone");
  ASSERT_EQ(mkdir(gone.c_str(), 0777), 0);
  ScopedCwd cd(gone);
  ASSERT_EQ(rmdir(gone.c_str()), 0);
  ElogCapture cap;
  int mark = elog_mark();
  EXPECT_EQ(abspath("x"), nullptr);
  std::vector<std::string> msgs = take_registered_list(mark);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].rfind("abspath: ", 0), 0u) << msgs[0];
  // An absolute path needs no current directory.
  EXPECT_EQ(take(abspath("/a/./b")), "/a/b");
  EXPECT_EQ(relpath("x", nullptr), nullptr);
  elog_clear_register(0);
}

TEST(Paths, ConcatpathsJoinsAndCleans) {
  struct Case {
    const char *a, *b, *out;
  } cases[] = {
      {"/db", "../wf/x", "/wf/x"},
      {"dir", "f.w", "dir/f.w"},
      {"a/", "b/", "a/b"},
      {"a", "/b", "/b"},
      {"a/", "/", "/"},
      {"", "b", "b"},
      {nullptr, "b", "b"},
      {"a", "", "a"},
      {"a", nullptr, "a"},
      {"", "", "."},
      {"/", "..", "/"},
      {"..", "x", "../x"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(take(concatpaths(c.a, c.b)), c.out)
        << (c.a ? c.a : "<none>") << " + " << (c.b ? c.b : "<none>");
}

TEST(Paths, RelpathBetweenAbsolutePaths) {
  struct Case {
    const char *path, *start, *out;
  } cases[] = {
      {"/a/b/c", "/a/x", "../b/c"},
      {"/a", "/a", "."},
      {"/a/b", "/a", "b"},
      {"/a", "/a/b/c", "../.."},
      {"/", "/a", ".."},
      {"/a", "/", "a"},
      {"/ab", "/a", "../ab"},  // components, not characters
      {"/a/./b/", "/a//", "b"},
      {"/x/../a/b", "/a/c/..", "b"},
  };
  for (const Case &c : cases)
    EXPECT_EQ(take(relpath(c.path, c.start)), c.out) << c.path << " from " << c.start;
}

TEST(Paths, RelpathAgainstTheCurrentDirectory) {
  TempDir tmp;
  ScopedCwd cd(tmp.path());
  const std::string here = current_dir();
  EXPECT_EQ(take(relpath((here + "/t/x").c_str(), nullptr)), "t/x");
  EXPECT_EQ(take(relpath("x", (here + "/y").c_str())), "../x");
  EXPECT_EQ(take(relpath(here.c_str(), nullptr)), ".");
  EXPECT_EQ(take(relpath("a/b", "a")), "b");
}

TEST(Paths, DirbaseAndParsepathSplit) {
  struct Case {
    const char *path, *dir, *base, *stem, *suffix;
  } cases[] = {
      {"a/b/", "a", "b", "b", ""},
      {"b", ".", "b", "b", ""},
      {"/b", "/", "b", "b", ""},
      {"/", "/", "/", "/", ""},
      {"//", "/", "/", "/", ""},
      {"", ".", "", "", ""},
      {"a//b", "a", "b", "b", ""},
      {"//a", "/", "a", "a", ""},
      {"../db/mine.t", "../db", "mine.t", "mine", "t"},
      {"/d/x.tar.gz", "/d", "x.tar.gz", "x.tar", "gz"},
      {"dir.d/file", "dir.d", "file", "file", ""},
      {".profile", ".", ".profile", ".profile", ""},
      {"..", ".", "..", "..", ""},
      {"x.", ".", "x.", "x.", ""},
      {"/a/.b.c", "/a", ".b.c", ".b", "c"},
  };
  for (const Case &c : cases) {
    char *dir = nullptr, *base = nullptr, *stem = nullptr, *suffix = nullptr, *pdir = nullptr;
    ASSERT_EQ(dirbase(c.path, &dir, &base), 0);
    ASSERT_EQ(parsepath(c.path, &pdir, &stem, &suffix), 0);
    EXPECT_EQ(take(dir), c.dir) << '"' << c.path << '"';
    EXPECT_EQ(take(base), c.base) << '"' << c.path << '"';
    EXPECT_EQ(take(pdir), c.dir) << '"' << c.path << '"';
    EXPECT_EQ(take(stem), c.stem) << '"' << c.path << '"';
    EXPECT_EQ(take(suffix), c.suffix) << '"' << c.path << '"';
  }
  // Outputs not wanted may be none; a none path changes nothing.
  char *base = nullptr;
  EXPECT_EQ(parsepath("/d/x.y", nullptr, &base, nullptr), 0);
  EXPECT_EQ(take(base), "x");
  char untouched[] = "untouched";
  char *out = untouched;
  EXPECT_EQ(dirbase(nullptr, &out, nullptr), -1);
  EXPECT_EQ(parsepath(nullptr, &out, nullptr, nullptr), -1);
  EXPECT_EQ(out, untouched);
}

TEST(Paths, DirfilesListsSortedNames) {
  TempDir tmp;
  tmp.write("b", "");
  tmp.write("a", "");
  tmp.write(".hidden", "");
  ASSERT_EQ(mkdir(tmp.file("c").c_str(), 0777), 0);

  char **names = nullptr;
  EXPECT_EQ(dirfiles(tmp.path().c_str(), 0, &names), 4);
  EXPECT_EQ(take_names(names), (std::vector<std::string>{".hidden", "a", "b", "c"}));
  EXPECT_EQ(dirfiles(tmp.path().c_str(), 1, &names), 3);
  EXPECT_EQ(take_names(names), (std::vector<std::string>{"a", "b", "c"}));

  EXPECT_EQ(dirfiles(tmp.file("c").c_str(), 0, &names), 0);
  ASSERT_NE(names, nullptr);
  EXPECT_EQ(names[0], nullptr);
  take_names(names);
}

TEST(Paths, DirfilesFailsOnWhatIsNoReadableDirectory) {
  TempDir tmp;
  std::string file = tmp.write("f", "x");
  for (std::string dir : {tmp.file("missing"), file}) {
    int mark = elog_mark();
    char *stale[1] = {nullptr};
    char **names = stale;
    EXPECT_EQ(dirfiles(dir.c_str(), 0, &names), -1) << dir;
    EXPECT_EQ(names, nullptr);
    std::vector<std::string> msgs = take_registered_list(mark);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_NE(msgs[0].find("dirfiles: can't open directory '" + dir + "'"), std::string::npos);
  }
}

TEST(Paths, DatafileSearchesTheListThenTheInstallRoot) {
  TempDir tmp;
  ASSERT_EQ(makedir(tmp.file("root/data/schemas").c_str()), 0);
  ASSERT_EQ(makedir(tmp.file("site1").c_str()), 0);
  ASSERT_EQ(makedir(tmp.file("site2/schemas").c_str()), 0);
  std::string in_root = tmp.write("root/data/schemas/css3.0", "root");
  std::string in_site2 = tmp.write("site2/schemas/css3.0", "site2");
  ScopedEnv root("VANTREL", tmp.file("root").c_str());

  {
    // Empty entries are skipped; site1 lacks the file, site2 has it.
    std::string list = tmp.file("site1") + "::" + tmp.file("site2");
    ScopedEnv dirs("VANTREL_TEST_DIRS", list.c_str());
    EXPECT_EQ(take(datafile("VANTREL_TEST_DIRS", "schemas/css3.0")), in_site2);
    EXPECT_EQ(take(datafile("VANTREL_TEST_DIRS", "schemas/none")), "<none>");
    EXPECT_EQ(take(datafile("VANTREL_TEST_DIRS", "")), "<none>");
  }
  {
    ScopedEnv dirs("VANTREL_TEST_DIRS", nullptr);
    EXPECT_EQ(take(datafile("VANTREL_TEST_DIRS", "schemas/css3.0")), in_root);
    EXPECT_EQ(take(datafile(nullptr, "schemas/css3.0")), in_root);
  }
  EXPECT_EQ(take(datafile(nullptr, in_site2.c_str())), in_site2);
  EXPECT_EQ(take(datafile(nullptr, tmp.file("nothing").c_str())), "<none>");
}

TEST(Paths, ExpandEnvReplacesReferences) {
  ScopedEnv a("VANTREL_T_A", "alpha");
  ScopedEnv empty("VANTREL_T_EMPTY", "");
  ScopedEnv none("VANTREL_T_NONE", nullptr);
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"$VANTREL_T_A/x", "alpha/x"},
      {"${VANTREL_T_A}x", "alphax"},
      {"$VANTREL_T_Ax", ""},  // the name runs on to the "x"
      {"$VANTREL_T_A$VANTREL_T_A", "alphaalpha"},
      {"/d/$VANTREL_T_A:arch/{other}", "/d/alpha:arch/{other}"},
      {"$VANTREL_T_NONE:/b", ":/b"},
      {"${VANTREL_T_NONE}", ""},
      {"${VANTREL_T_EMPTY}z", "z"},
      {"no refs", "no refs"},
      {"", ""},
      {"a$", "a$"},
      {"$$", "$$"},
      {"$5", "$5"},
      {"cost $ 5", "cost $ 5"},
      {"${VANTREL_T_A", "${VANTREL_T_A"},
      {"${}", "${}"},
      {"${1x}", "${1x}"},
      {"${VANTREL T_A}", "${VANTREL T_A}"},
  };
  for (const Case &c : cases) EXPECT_EQ(take(expand_env(c.in)), c.out) << '"' << c.in << '"';
  EXPECT_EQ(expand_env(nullptr), nullptr);
}

TEST(Paths, FileKindQueries) {
  TempDir tmp;
  std::string file = tmp.write("f", "x");
  std::string dir = tmp.path();
  std::string missing = tmp.file("missing");
  std::string link_file = tmp.file("lf"), dangling = tmp.file("ld");
  ASSERT_EQ(symlink(file.c_str(), link_file.c_str()), 0);
  ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);
  struct Case {
    const char *path;
    int dir, file, present;
  } cases[] = {
      {dir.c_str(), 1, 0, 1},       {file.c_str(), 0, 1, 1},     {missing.c_str(), 0, 0, 0},
      {link_file.c_str(), 0, 1, 1}, {dangling.c_str(), 0, 0, 0}, {"", 0, 0, 0},
      {nullptr, 0, 0, 0},
  };
  for (const Case &c : cases) {
    const char *name = c.path ? c.path : "<none>";
    EXPECT_EQ(is_dir(c.path), c.dir) << name;
    EXPECT_EQ(is_file(c.path), c.file) << name;
    EXPECT_EQ(is_present(c.path), c.present) << name;
  }
}

TEST(Paths, MakedirMakesParents) {
  TempDir tmp;
  ScopedCwd cd(tmp.path());
  struct Case {
    const char *dir;
    const char *made;  // a directory that must exist afterwards
  } cases[] = {
      {"a/b/c", "a/b/c"}, {"a/b/c", "a/b/c"},  // already there
      {"d//e/", "d/e"},   {"f/../g", "g"},    {"./h", "h"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(makedir(c.dir), 0) << c.dir;
    EXPECT_TRUE(is_dir(c.made)) << c.made;
  }
  std::string absolute = tmp.file("i/j");
  EXPECT_EQ(makedir(absolute.c_str()), 0);
  EXPECT_TRUE(is_dir(absolute.c_str()));
  EXPECT_EQ(makedir("/"), 0);
}

TEST(Paths, MakedirRefusesWhatIsNoDirectory) {
  TempDir tmp;
  std::string file = tmp.write("plain", "x");
  struct Case {
    std::string dir;
    std::string message;
  } cases[] = {
      {file, "makedir: '" + file + "' exists and is not a directory"},
      {file + "/sub/deeper", "makedir: '" + file + "' exists and is not a directory"},
      {"", "makedir: no directory given"},
  };
  for (const Case &c : cases) {
    int mark = elog_mark();
    EXPECT_EQ(makedir(c.dir.c_str()), -1) << c.dir;
    std::vector<std::string> msgs = take_registered_list(mark);
    ASSERT_EQ(msgs.size(), 1u) << c.dir;
    EXPECT_NE(msgs[0].find(c.message), std::string::npos) << msgs[0];
  }
  EXPECT_FALSE(is_present((file + "/sub").c_str()));
  EXPECT_EQ(makedir(nullptr), -1);
  elog_clear_register(0);
}

TEST(Paths, GetvantrelTakesTheEnvironmentOrTheDefault) {
  struct Case {
    const char *env;
    const char *root;
  } cases[] = {
      {nullptr, "/opt/vantrel"}, {"", "/opt/vantrel"}, {"/x/y", "/x/y"},
      {"/x/y//", "/x/y"},        {"/", "/"},
  };
  for (const Case &c : cases) {
    ScopedEnv env("VANTREL", c.env);
    EXPECT_STREQ(getvantrel(), c.root) << (c.env ? c.env : "<unset>");
  }
}
