// Table files: finding them along the dbpath, mapping and remapping, the record-size
// check, in-memory tables, lock files and table locks, and the external files of rows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "base/arr.h"
#include "base/clock.h"
#include "base/paths.h"
#include "dbfixture.h"

namespace {

Table *table_of(Dbptr db) {
  Table *t = nullptr;
  Dbptr p = {db.database, db.table, dbALL, dbALL};
  dbresolve(p, nullptr, nullptr, &t, nullptr, nullptr, nullptr);
  return t;
}

void age(const std::string &path, int seconds) {
  struct timeval tv[2];
  gettimeofday(&tv[0], nullptr);
  tv[0].tv_sec -= seconds;
  tv[1] = tv[0];
  utimes(path.c_str(), tv);
}

// A clock driven by its sleeps, starting at the real time.
struct Driven {
  double start = 0;
  double elapsed = 0;
  int sleeps = 0;
  void (*on_sleep)(Driven *) = nullptr;
  std::string path;
  std::string rewrite;
};
Driven *g_driven;
double driven_now(void *) { return g_driven->start + g_driven->elapsed; }
double driven_mono(void *) { return g_driven->elapsed; }
void driven_sleep(double s, void *) {
  g_driven->elapsed += s;
  g_driven->sleeps++;
  if (g_driven->on_sleep) g_driven->on_sleep(g_driven);
}

}  // namespace

TEST(TablePaths, FindPathAlongTheDbpath) {
  TempDir dir;
  makedir(dir.file("db/arch").c_str());
  makedir(dir.file("data/x").c_str());
  std::string dbname = dir.file("db/mine");
  std::string dbpath = dir.file("data/x") + ":arch/{other}";
  struct Case {
    const char *file;  // the one table file present, none for none
    int result;
    const char *path;
  } cases[] = {
      {nullptr, -1, "db/mine.t"},
      {"data/x/mine.t", 0, "data/x/mine.t"},
      {"db/arch/other.t", 0, "db/arch/other.t"},
      {"db/mine.t", 0, "db/mine.t"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    std::string made;
    if (c.file) made = dir.write(c.file, "x\n");
    std::string path;
    EXPECT_EQ(find_path(dbname.c_str(), "t", dbpath.c_str(), &path), c.result);
    EXPECT_EQ(path, dir.file(c.path));
    if (c.file) unlink(made.c_str());
  }
  // Other entry forms: dir{name} and the empty entry (the descriptor's directory).
  dir.write("db/arch/alt.t", "x\n");
  std::string path;
  EXPECT_EQ(find_path(dbname.c_str(), "t", "nosuch:arch{alt}", &path), 0);
  EXPECT_EQ(path, dir.file("db/arch/alt.t"));
  dir.write("db/other.u", "x\n");
  EXPECT_EQ(find_path(dbname.c_str(), "u", "nosuch:{other}", &path), 0);
  EXPECT_EQ(path, dir.file("db/./other.u"));
  EXPECT_EQ(find_path(dbname.c_str(), "t", "", &path), -1);
  EXPECT_EQ(path, dbname + ".t");
}

TEST(TablePaths, TablePathCandidates) {
  TempDir dir;
  makedir(dir.file("db/arch").c_str());
  std::string dbname = dir.file("db/mine");
  Tbl *list = dbtblpaths(dbname.c_str(), "t", "/data/x:arch/{other}:arch/{other}");
  std::string all;
  for (long i = 0; i < maxtbl(list); i++)
    all += std::string(static_cast<char *>(gettbl(list, i))) + " ";
  freetbl(list, free);
  EXPECT_EQ(all, dbname + ".t /data/x/mine.t " + dir.file("db/arch/other.t") + " ");

  char path[PATH_MAX];
  EXPECT_EQ(dbtablepath(dbname.c_str(), "t", "/data/x:arch/{other}", path), 1);
  dir.write("db/arch/other.t", "");
  EXPECT_EQ(dbtablepath(dbname.c_str(), "t", "/data/x:arch/{other}", path), 0);
  EXPECT_EQ(std::string(path), dir.file("db/arch/other.t"));
  // Relative to the current directory when that is shorter.
  char *cwd = abspath("");
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  EXPECT_EQ(dbtablepath(dbname.c_str(), "t", "arch/{other}", path), 0);
  EXPECT_EQ(std::string(path), "db/arch/other.t");
  ASSERT_EQ(chdir(cwd), 0);
  free(cwd);
}

TEST(TablePaths, LockNames) {
  for (auto [path, lock] : {std::pair{"db/mine.t", "db/.%mine.t"},
                            {"mine.t", "./.%mine.t"},
                            {"/a/b/c.site", "/a/b/.%c.site"}}) {
    char *name = dblockname(path);
    EXPECT_STREQ(name, lock);
    free(name);
  }
}

TEST(MapTable, MissingEmptyAndGrowingTables) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r"), 0);
  Dbptr site = demo.table("site");
  int count = -1;
  // A missing table of a read-only database: no records, no error.
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(table_of(site)->fd, -1);
  EXPECT_EQ(table_of(site)->writable, 0);
  EXPECT_EQ(take_registered(), "");

  // An empty file maps to nothing.
  demo.write_table("site", "");
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(table_of(site)->data, nullptr);
  EXPECT_GE(table_of(site)->fd, 0);

  // Records appended by another writer are seen at the next size check.
  std::string r1 = record(demo.db, "site", {"AAK", "2003001"});
  std::string r2 = record(demo.db, "site", {"BBK", "2003001"});
  demo.write_table("site", r1);
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, nullptr), 1);
  demo.write_table("site", r1 + r2);
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, nullptr), 2);
  Table *t = table_of(site);
  EXPECT_EQ(t->length, 2 * r1.size());
  EXPECT_EQ(std::string(t->data, t->length), r1 + r2);
  EXPECT_STREQ(t->path, demo.dir.file("demo.site").c_str());
  EXPECT_STREQ(t->tabledir, demo.dir.path().c_str());
}

TEST(MapTable, ReadWriteOpenAndCreate) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r+"), 0);
  Dbptr site = demo.table("site");
  Database *d = db_database(demo.db.database);
  Relation *r = nullptr;
  dbresolve(site, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  // Missing in a writable directory: writable, nothing opened or created.
  Table *t = table_of(site);
  EXPECT_EQ(t->writable, 1);
  EXPECT_FALSE(is_present(demo.dir.file("demo.site").c_str()));
  // A mapping with create makes the file.
  EXPECT_EQ(map_table(d, r, 1), 0);
  EXPECT_TRUE(is_file(demo.dir.file("demo.site").c_str()));
  struct stat st;
  stat(demo.dir.file("demo.site").c_str(), &st);
  EXPECT_EQ(st.st_mode & 0777 & ~0664, 0u);
  EXPECT_GE(t->fd, 0);
  EXPECT_EQ(t->writable, 1);

  // A table path that is not a plain file.
  makedir(demo.dir.file("demo.sensor").c_str());
  Dbptr sensor = demo.table("sensor");
  int count = -1;
  EXPECT_EQ(dbquery(sensor, dbRECORD_COUNT, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_NE(take_registered().find(demo.dir.file("demo.sensor") + " is not a plain file.\n"),
            std::string::npos);
}

TEST(MapTable, InvalidLength) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r"), 0);
  Dbptr site = demo.table("site");
  std::string r1 = record(demo.db, "site", {"AAK"});
  ElogCapture capture;

  // An old file with a partial record is refused at once.
  demo.write_table("site", r1 + "partial");
  age(demo.dir.file("demo.site"), 120);
  Driven driven;
  driven.start = clock_now();
  g_driven = &driven;
  ClockDriver driver = {driven_now, driven_mono, driven_sleep, nullptr};
  clock_set_driver(&driver);
  int count = -1;
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(driven.sleeps, 0);
  EXPECT_TRUE(capture.contains("Table '" + demo.dir.file("demo.site") + "' has invalid length " +
                               std::to_string(r1.size() + 7) + "."));
  Table *t = table_of(site);
  EXPECT_EQ(t->fd, -1);
  EXPECT_EQ(t->data, nullptr);

  // A recent one is looked at again 100 times, 0.1 s apart.
  demo.write_table("site", r1 + "partial");
  driven.sleeps = 0;
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, &count), 0);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(driven.sleeps, 100);

  // A writer that completes its record meanwhile is waited for.
  demo.write_table("site", r1 + r1.substr(0, 20));
  driven.sleeps = 0;
  driven.path = demo.dir.file("demo.site");
  driven.rewrite = r1 + r1;
  driven.on_sleep = [](Driven *dr) {
    if (dr->sleeps == 3) {
      FILE *f = fopen(dr->path.c_str(), "w");
      fwrite(dr->rewrite.data(), 1, dr->rewrite.size(), f);
      fclose(f);
    }
  };
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, &count), 2);
  EXPECT_EQ(count, 2);
  EXPECT_EQ(driven.sleeps, 3);
  clock_set_driver(nullptr);
}

TEST(MapTable, TransientTablesLiveInMemory) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r"), 0);
  ASSERT_EQ(dbcompile(demo.db, "Relation scratchpad Fields ( sta chan ) Transient ;"), 0);
  Dbptr t = demo.table("scratchpad");
  Table *table = table_of(t);
  ASSERT_NE(table, nullptr);
  EXPECT_NE(table->data, nullptr);
  EXPECT_EQ(table->capacity, 50 * (6 + 1 + 8 + 1));
  EXPECT_EQ(table->writable, 1);
  EXPECT_EQ(table->count, 0);
  EXPECT_EQ(table->fd, -1);
}

TEST(TableLocks, LocalLocking) {
  DemoDb demo;
  setenv("DBLOCKS", "local", 1);
  ASSERT_EQ(demo.open("r+"), 0);
  unsetenv("DBLOCKS");
  Database *d = db_database(demo.db.database);
  EXPECT_EQ(d->locking, DBLOCK_LOCAL);
  demo.write_table("site", record(demo.db, "site", {"AAK"}));
  Dbptr site = demo.table("site");
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, nullptr), 1);
  Table *t = table_of(site);
  ASSERT_EQ(_dblock(d, t), 0) << take_registered();
  std::string path = t->path;
  // Another process can't take the lock meanwhile.
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    _exit(lockf(fd, F_TLOCK, 0) == 0 ? 1 : 0);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(_dbunlock(d, t), 0);
  pid = fork();
  if (pid == 0) {
    int fd = open(path.c_str(), O_RDWR);
    _exit(lockf(fd, F_TLOCK, 0) == 0 ? 0 : 1);
  }
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(TableLocks, LockFiles) {
  DemoDb demo;
  setenv("DBLOCKS", "nfs", 1);
  setenv("DBIDSERVER", "localhost", 1);
  ASSERT_EQ(demo.open("r+"), 0);
  clear_db_env();
  Database *d = db_database(demo.db.database);
  EXPECT_EQ(d->locking, DBLOCK_NFS);
  Dbptr site = demo.table("site");
  std::string r1 = record(demo.db, "site", {"AAK"});
  demo.write_table("site", r1);
  EXPECT_EQ(dbquery(site, dbRECORD_COUNT, nullptr), 1);
  Table *t = table_of(site);
  ASSERT_EQ(_dblock(d, t), 0) << take_registered();
  EXPECT_TRUE(is_file(demo.dir.file(".%demo.site").c_str()));
  EXPECT_GE(t->lockfd, 0);
  // The table was mapped afresh under the lock.
  EXPECT_EQ(t->count, 1);
  EXPECT_NE(t->data, nullptr);
  EXPECT_EQ(_dbunlock(d, t), 0);

  // Without a lock file the lock is skipped with a message.
  Dbptr sensor = demo.table("sensor");
  Table *s = table_of(sensor);
  free(s->lockname);
  s->lockname = db_strdup(demo.dir.file("nosuch/.%x").c_str());
  EXPECT_EQ(_dblock(d, s), 0);
  EXPECT_NE(take_registered().find("no lock file '" + demo.dir.file("nosuch/.%x") + "' to lock"),
            std::string::npos);
}

TEST(TableFiles, TableFilesPresent) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r"), 0);
  demo.write_table("site", "");
  demo.write_table("wfdisc", "");
  Arr *files = nullptr;
  EXPECT_EQ(dbquery(demo.db, dbTABLE_FILES, &files), 0);
  ASSERT_NE(files, nullptr);
  EXPECT_EQ(cntarr(files), 2);
  char *p = static_cast<char *>(getarr(files, "wfdisc"));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p).substr(std::string(p).size() - 12), "/demo.wfdisc");
}

TEST(TableFiles, ExternalFilesOfRows) {
  DemoDb demo;
  ASSERT_EQ(demo.open("r"), 0);
  makedir(demo.dir.file("wf/2003").c_str());
  demo.dir.write("wf/2003/a.w", "data");
  demo.dir.write("wf/2003/b.w.gz", "data");
  std::string rows =
      record(demo.db, "wfdisc",
             {"AAK", "BHZ", "0", "1", "-1", "1", "1", "1", "1", "1", "-", "wf/2003", "a.w"}) +
      record(demo.db, "wfdisc",
             {"AAK", "BHZ", "0", "1", "-1", "1", "1", "1", "1", "1", "-", "wf/2003", "b.w"}) +
      record(demo.db, "wfdisc",
             {"AAK", "BHZ", "0", "1", "-1", "1", "1", "1", "1", "1", "-", demo.dir.file("wf"),
              "new.w"}) +
      record(demo.db, "wfdisc",
             {"AAK", "BHZ", "0", "1", "-1", "1", "1", "1", "1", "1", "-", "-", "here.w"}) +
      record(demo.db, "wfdisc",
             {"AAK", "BHZ", "0", "1", "-1", "1", "1", "1", "1", "1", "-", "", ""});
  demo.write_table("wfdisc", rows);
  Dbptr wf = demo.table("wfdisc");
  struct Case {
    int record;
    int result;
    std::string file;
  } cases[] = {
      {0, 1, demo.dir.file("wf/2003/a.w")},
      {1, 2, demo.dir.file("wf/2003/b.w.gz")},
      {2, 0, demo.dir.file("wf/new.w")},
      {3, 0, demo.dir.file("here.w")},
      {4, -1, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.record);
    wf.record = c.record;
    char name[PATH_MAX];
    EXPECT_EQ(dbfilename(wf, name), c.result);
    EXPECT_EQ(std::string(name), c.file);
    EXPECT_EQ(dbextfile(wf, "wfdisc", name), c.result);
  }
  wf.record = 0;
  char name[PATH_MAX];
  EXPECT_EQ(dbextfile(wf, "nosuch", name), -1);
}
