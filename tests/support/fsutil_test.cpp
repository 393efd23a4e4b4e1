#include "support/fsutil.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "testkit/testkit.h"

namespace {

std::string real(const std::string &path) {
  char *r = realpath(path.c_str(), nullptr);
  std::string s = r ? r : path;
  free(r);
  return s;
}

// A directory tree and a mount table describing it: / is local, <root>/data comes from
// server1, <root>/twice carries a local mount hidden by a later network one, and
// "<root>/sp ace" (written \040 in the table) comes from nas.
class FsPath : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = real(dir_.path());
    for (const char *d : {"data", "data/x", "datafile", "etc", "twice", "sp ace", "long"})
      mkdir((root_ + "/" + d).c_str(), 0755);
    symlink((root_ + "/data/x").c_str(), (root_ + "/link").c_str());
    table_ = dir_.write("mounts",
                        "/dev/root / ext4 rw 0 0\n"
                        "server1:/export " +
                            root_ +
                            "/data nfs rw,vers=3 0 0\n"
                            "/dev/sdb1 " +
                            root_ +
                            "/twice ext4 rw 0 0\n"
                            "server2:/vol " +
                            root_ +
                            "/twice nfs4 rw 0 0\n"
                            "nas:/sp " +
                            root_ + "/sp\\040ace nfs rw 0 0\n");
    fs_set_mount_table(table_.c_str());
  }
  void TearDown() override { fs_set_mount_table(nullptr); }
  TempDir dir_;
  std::string root_, table_;
};

}  // namespace

TEST_F(FsPath, MountHoldingAPath) {
  struct Case {
    std::string path, host, fs;
    int nfs;
  } cases[] = {
      {root_ + "/data/x", "server1", "/export", 1},
      {root_ + "/data", "server1", "/export", 1},
      {root_ + "/data/", "server1", "/export", 1},
      // A mount point holds whole path components only.
      {root_ + "/datafile", "", "/dev/root", 0},
      {root_ + "/etc", "", "/dev/root", 0},
      {root_ + "/data/../etc", "", "/dev/root", 0},
      {root_ + "/link", "server1", "/export", 1},  // a symbolic link into the mount
      {root_ + "/twice", "server2", "/vol", 1},    // the last mount on a point wins
      {root_ + "/sp ace", "nas", "/sp", 1},
      {"/", "", "/dev/root", 0},
  };
  for (const Case &c : cases) {
    char host[FSPATH_HOST_SIZE] = "Z", fs[FSPATH_FS_SIZE] = "Z";
    EXPECT_EQ(fspath(c.path.c_str(), host, fs), 0) << c.path;
    EXPECT_EQ(host, c.host) << c.path;
    EXPECT_EQ(fs, c.fs) << c.path;
    EXPECT_EQ(is_nfs(c.path.c_str()), c.nfs) << c.path;
  }
}

TEST_F(FsPath, RelativePathIsMadeAbsolute) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir((root_ + "/data").c_str()), 0);
  char host1[FSPATH_HOST_SIZE], host2[FSPATH_HOST_SIZE], fs[FSPATH_FS_SIZE];
  int r1 = fspath("x", host1, fs);
  int r2 = fspath("../etc", host2, fs);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(r1, 0);
  EXPECT_STREQ(host1, "server1");
  EXPECT_EQ(r2, 0);
  EXPECT_STREQ(host2, "");
  EXPECT_STREQ(fs, "/dev/root");
}

TEST_F(FsPath, Failures) {
  struct Case {
    std::string path, table, message;
  } cases[] = {
      {root_ + "/missing", table_, "fspath: can't stat " + root_ + "/missing"},
      {root_ + "/etc", root_ + "/no-table", "fspath: can't open " + root_ + "/no-table"},
      {root_ + "/etc", dir_.write("other", "/dev/sdc1 /mnt ext4 rw 0 0\nshort\n\n"),
       "fspath: no mount holds"},
  };
  for (const Case &c : cases) {
    fs_set_mount_table(c.table.c_str());
    char host[FSPATH_HOST_SIZE] = "Z", fs[FSPATH_FS_SIZE] = "Z";
    ElogCapture cap;
    EXPECT_EQ(fspath(c.path.c_str(), host, fs), -1) << c.path;
    EXPECT_STREQ(host, "");
    EXPECT_STREQ(fs, "");
    EXPECT_EQ(is_nfs(c.path.c_str()), -1);
    elog_clear_register(1);
    EXPECT_TRUE(cap.contains(c.message)) << cap.text();
  }
}

TEST_F(FsPath, LongLinesAreReadWholeAndCopiesBounded) {
  // A line longer than any fixed piece: its tail, which looks like a mount of /etc from a
  // server, must not be read as a line of its own.
  std::string padded = "/dev/loop0 /unrelated ext4 rw" + std::string(300, ',') + " server9:/bad " +
                       root_ + "/etc nfs rw 0 0\n";
  std::string host_part(100, 'h'), fs_part(5000, 'f');
  std::string text =
      read_file(table_) + padded + host_part + ":/" + fs_part + " " + root_ + "/long nfs rw 0 0\n";
  fs_set_mount_table(dir_.write("mounts2", text).c_str());

  EXPECT_EQ(is_nfs((root_ + "/etc").c_str()), 0);

  std::vector<char> host(FSPATH_HOST_SIZE + 16, 'Z'), fs(FSPATH_FS_SIZE + 16, 'Z');
  ASSERT_EQ(fspath((root_ + "/long").c_str(), host.data(), fs.data()), 0);
  EXPECT_EQ(strlen(host.data()), (size_t)FSPATH_HOST_SIZE - 1);
  EXPECT_EQ(strlen(fs.data()), (size_t)FSPATH_FS_SIZE - 1);
  EXPECT_EQ(host[FSPATH_HOST_SIZE], 'Z');
  EXPECT_EQ(fs[FSPATH_FS_SIZE], 'Z');
}

TEST(InfoPath, FiguresOfAPathAndHomeExpansion) {
  TempDir dir;
  Pathinfo *info = infopath(dir.path().c_str());
  ASSERT_NE(info, nullptr);
  struct statvfs sv;
  ASSERT_EQ(statvfs(dir.path().c_str(), &sv), 0);
  EXPECT_EQ(info->total_bytes, (double)sv.f_blocks * (double)sv.f_frsize);
  EXPECT_LE(info->avail_bytes, info->total_bytes);
  EXPECT_EQ(info->total_files, (double)sv.f_files);
  EXPECT_EQ(info->fsid, (uint32_t)sv.f_fsid);
  char host[FSPATH_HOST_SIZE], fs[FSPATH_FS_SIZE];
  ASSERT_EQ(fspath(dir.path().c_str(), host, fs), 0);
  EXPECT_STREQ(info->fs, fs);
  EXPECT_STREQ(info->host, host);
  free(info);

  const char *old_home = getenv("HOME");
  std::string saved = old_home ? old_home : "";
  setenv("HOME", dir.path().c_str(), 1);
  mkdir(dir.file("sub").c_str(), 0755);
  Pathinfo *home = infopath("~/sub");
  Pathinfo *missing = infopath("~/missing");
  if (old_home)
    setenv("HOME", saved.c_str(), 1);
  else
    unsetenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_STREQ(home->fs, fs);
  free(home);
  EXPECT_EQ(missing, nullptr);
  elog_clear_register(0);
}

TEST(StdStatvfs, MatchesStatvfsAndMarksMissingFileCounts) {
  TempDir dir;
  struct statvfs ours, sys;
  ASSERT_EQ(std_statvfs(dir.path().c_str(), &ours), 0);
  ASSERT_EQ(statvfs(dir.path().c_str(), &sys), 0);
  EXPECT_EQ(ours.f_bsize, sys.f_bsize);
  EXPECT_EQ(ours.f_frsize, ours.f_bsize);
  EXPECT_EQ(ours.f_blocks, sys.f_blocks);
  if (sys.f_files != 0) {
    EXPECT_EQ(ours.f_files, sys.f_files);
    EXPECT_EQ(ours.f_favail, ours.f_ffree);
  }
  EXPECT_EQ(ours.f_fsid, sys.f_fsid);

  // /proc counts no file nodes.
  ASSERT_EQ(std_statvfs("/proc", &ours), 0);
  EXPECT_EQ(ours.f_files, 0x80000000u);
  EXPECT_EQ(ours.f_ffree, 0x80000000u);
  EXPECT_EQ(ours.f_favail, 0x80000000u);

  EXPECT_EQ(std_statvfs(dir.file("missing").c_str(), &ours), -1);
  struct stat st;
  EXPECT_EQ(restat1(dir.path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(restat1(dir.file("missing").c_str(), &st), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(IsTimezone, RegularFilesOfTheZoneDirectoryOnly) {
  // The zone directory is fixed on the first call, so every case lives in this test.
  TempDir dir;
  mkdir(dir.file("zone").c_str(), 0755);
  mkdir(dir.file("zone/Europe").c_str(), 0755);
  dir.write("zone/UTC", "TZif");
  dir.write("zone/Europe/Paris", "TZif");
  dir.write("secret", "not a zone");
  setenv("ZONEINFO", dir.file("zone").c_str(), 1);
  struct Case {
    const char *name;
    int expect;
  } cases[] = {
      {"UTC", 1}, {"Europe/Paris", 1}, {"Europe", 0},        {"Nowhere", 0},
      {"", 0},    {"../secret", 0},    {"Europe/../UTC", 0},
  };
  for (const Case &c : cases) {
    errno = 1234;
    EXPECT_EQ(is_timezone(c.name), c.expect) << c.name;
    EXPECT_EQ(errno, 1234) << c.name;
  }
  unsetenv("ZONEINFO");
  EXPECT_EQ(is_timezone("UTC"), 1) << "the directory stays as first fixed";
}

TEST(HexdigitValue, Digits) {
  struct Case {
    int c, value;
  } cases[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'A', 10}, {'f', 15}, {'F', 15},
               {'g', -1}, {'G', -1}, {'/', -1}, {':', -1}, {'@', -1}, {'`', -1},
               {' ', -1}, {0, -1},   {-1, -1},  {0xE1, -1}};
  for (const Case &c : cases) EXPECT_EQ(hexdigit_value(c.c), c.value) << c.c;
}
