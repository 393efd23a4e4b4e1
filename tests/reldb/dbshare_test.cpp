// Several processes on one database: writers and readers at once in each locking mode, a
// writer that died half way through a record, deletion and truncation racing an
// appender, and readers whose table shrinks under them. Every process is a fork of the
// test working in a temporary directory; every loop is bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "dbfixture.h"
#include "reldb/dbedit.h"
#include "reldb/dbsort.h"

namespace {

// A descriptor of the demo schema with the given locking and no id server.
std::string descriptor(const char *locking) {
  return std::string("# d\nschema demo1.0\ndblocks ") + locking + "\ndbidserver \"\"\n";
}

// Runs fn in a child process; its result is the child's exit status.
pid_t spawn(const std::function<int()> &fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  return pid;
}

// Waits for a child; true when it ended normally with status 0.
::testing::AssertionResult ended_well(pid_t pid) {
  int status = -1;
  if (waitpid(pid, &status, 0) != pid) return ::testing::AssertionFailure() << "no child";
  if (WIFSIGNALED(status))
    return ::testing::AssertionFailure() << "child died of signal " << WTERMSIG(status);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return ::testing::AssertionFailure() << "child exit status " << WEXITSTATUS(status);
  return ::testing::AssertionSuccess();
}

// Rows of sitechan that carry their own check: the station name holds a number from
// which the ondate follows, so a row torn between two writes does not add up.
std::string station(const std::string &prefix, int i) { return prefix + "_" + std::to_string(i); }
int ondate_of(int i) { return 2000000 + (i / 300) * 1000 + 1 + i % 300; }
int number_in(const char *sta) {
  const char *p = strrchr(sta, '_');
  return p && p[1] ? atoi(p + 1) : -1;
}

int add_row(Dbptr db, const std::string &sta, int i) {
  return dbaddv(db, "sitechan", "sta", sta.c_str(), "chan", "BHZ", "ondate", ondate_of(i), nullptr);
}

// Reads every row of sitechan; false at the first row that does not add up. The rows
// found go to *stas and their ids to *ids, when given.
bool read_rows(Dbptr db, std::multiset<std::string> *stas, std::multiset<int> *ids) {
  Dbptr t = dblookup(db, nullptr, "sitechan", nullptr, nullptr);
  int count = 0;
  if (dbquery(t, dbRECORD_COUNT, &count) < 0) return false;
  for (t.record = 0; t.record < count; t.record++) {
    char sta[16] = "", chan[16] = "";
    int ondate = 0, chanid = 0;
    if (dbgetv(t, nullptr, "sta", sta, "chan", chan, "ondate", &ondate, "chanid", &chanid,
               nullptr) < 0)
      return false;
    if (strcmp(chan, "BHZ") != 0 || ondate != ondate_of(number_in(sta)) || chanid <= 0)
      return false;
    if (stas) stas->insert(sta);
    if (ids) ids->insert(chanid);
  }
  return true;
}

// K writers add M rows each, every third key shared by all writers, while R readers
// reopen and read the table: every key once, every row whole, ids distinct.
TEST(SharedDatabase, WritersAndReaders) {
  constexpr int kWriters = 3, kRows = 30, kReaders = 2, kPasses = 20;
  for (const char *locking : {"local", "nfs"}) {
    SCOPED_TRACE(locking);
    DemoDb demo(descriptor(locking));
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; w++) {
      children.push_back(spawn([&demo, w] {
        Dbptr db;
        if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) return 2;
        for (int i = 0; i < kRows; i++) {
          std::string sta = i % 3 == 0 ? station("S", i) : station("W" + std::to_string(w), i);
          if (add_row(db, sta, i) < 0) return 3;
        }
        RVdbclose(db);
        return 0;
      }));
    }
    for (int r = 0; r < kReaders; r++) {
      children.push_back(spawn([&demo] {
        for (int pass = 0; pass < kPasses; pass++) {
          Dbptr db;
          if (RVdbopen(demo.path.c_str(), "r", &db) != 0) return 2;
          bool whole = read_rows(db, nullptr, nullptr);
          RVdbclose(db);
          if (!whole) return 4;
        }
        return 0;
      }));
    }
    for (pid_t p : children) EXPECT_TRUE(ended_well(p));

    ASSERT_EQ(demo.open("r"), 0);
    std::multiset<std::string> stas;
    std::multiset<int> ids;
    ASSERT_TRUE(read_rows(demo.db, &stas, &ids));
    std::set<std::string> expected;
    for (int w = 0; w < kWriters; w++)
      for (int i = 0; i < kRows; i++)
        expected.insert(i % 3 == 0 ? station("S", i) : station("W" + std::to_string(w), i));
    EXPECT_EQ(std::set<std::string>(stas.begin(), stas.end()), expected);
    EXPECT_EQ(stas.size(), expected.size());  // every key once
    EXPECT_EQ(std::set<int>(ids.begin(), ids.end()).size(), ids.size());
    demo.close();
  }
}

// Without locking, the number dbadd returns is that of the row it wrote, whatever the
// other writers appended meanwhile.
TEST(SharedDatabase, UnlockedAppendsReturnTheirOwnRecord) {
  constexpr int kWriters = 3, kRows = 40;
  DemoDb demo(descriptor("none"));
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; w++) {
    children.push_back(spawn([&demo, w] {
      Dbptr db;
      if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) return 2;
      Dbptr t = dblookup(db, nullptr, "sitechan", nullptr, nullptr);
      for (int i = 0; i < kRows; i++) {
        std::string sta = station("W" + std::to_string(w), i);
        std::string rec = record(db, "sitechan",
                                 {sta, "BHZ", std::to_string(ondate_of(i)), std::to_string(i + 1)});
        int n = dbadd(t, rec.c_str());
        if (n < 0) return 3;
        Dbptr row = t;
        row.record = n;
        char got[16] = "";
        if (dbgetv(row, nullptr, "sta", got, nullptr) < 0 || sta != got) return 4;
      }
      RVdbclose(db);
      return 0;
    }));
  }
  for (pid_t p : children) EXPECT_TRUE(ended_well(p));
  ASSERT_EQ(demo.open("r"), 0);
  int count = 0;
  dbquery(demo.table("sitechan"), dbRECORD_COUNT, &count);
  EXPECT_EQ(count, kWriters * kRows);
}

// A writer that died after half a record: readers wait for the rest, then report the
// table's invalid length; the next dbadd cuts the torn record off at once, with a
// complaint, and the table reads whole again.
TEST(SharedDatabase, TornRecordOfADeadWriter) {
  for (const char *locking : {"local", "nfs"}) {
    SCOPED_TRACE(locking);
    ClockScale fast(0.001);
    DemoDb demo(descriptor(locking));
    ASSERT_EQ(demo.open(), 0);
    for (int i = 0; i < 3; i++) ASSERT_GE(add_row(demo.db, station("A", i), i), 0);
    std::string half = record(demo.db, "sitechan", {"DEAD", "BHZ", "2000001", "99"});
    half.resize(half.size() / 2);
    demo.close();
    const std::string file = demo.dir.file("demo.sitechan");
    ASSERT_TRUE(ended_well(spawn([&] {
      int fd = open(file.c_str(), O_WRONLY | O_APPEND);
      if (fd < 0 || write(fd, half.data(), half.size()) != (ssize_t)half.size()) return 2;
      return 0;  // dies without finishing the record
    })));

    // The next writer, in a process of its own that opens the database before this one
    // does, and appends once the reader below has seen the torn table.
    int seen[2];
    ASSERT_EQ(pipe(seen), 0);
    pid_t writer = spawn([&] {
      close(seen[1]);
      ElogCapture capture;
      Dbptr db;
      if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) return 2;
      char go[2];
      if (read(seen[0], go, 2) != 2) return 2;
      if (add_row(db, station("A", 3), 3) != 3) return 3;
      if (!capture.contains("cut " + std::to_string(half.size()) + " bytes")) return 4;
      if (capture.contains("has invalid length")) return 5;
      return 0;
    });
    close(seen[0]);

    Dbptr reader;
    ASSERT_EQ(RVdbopen(demo.path.c_str(), "r", &reader), 0);
    Dbptr rt = dblookup(reader, nullptr, "sitechan", nullptr, nullptr);
    int count = -1;
    {
      ElogCapture capture;
      dbquery(rt, dbRECORD_COUNT, &count);
      EXPECT_TRUE(capture.contains("has invalid length")) << capture.text();
    }
    EXPECT_EQ(count, 0);
    take_registered();
    EXPECT_EQ(write(seen[1], "go", 2), 2);
    close(seen[1]);
    EXPECT_TRUE(ended_well(writer));
    std::multiset<std::string> stas;
    EXPECT_TRUE(read_rows(reader, &stas, nullptr));
    EXPECT_EQ(stas, (std::multiset<std::string>{"A_0", "A_1", "A_2", "A_3"}));
    RVdbclose(reader);
  }
}

// Deletion, crunching and truncation in this process while a forked appender adds rows:
// none of its rows is lost.
TEST(SharedDatabase, MaintenanceRacingAnAppenderLosesNothing) {
  constexpr int kRows = 60, kVictims = 20, kRounds = 200;
  enum Op { DELETE, CRUNCH, TRUNCATE };
  for (Op op : {DELETE, CRUNCH, TRUNCATE}) {
    SCOPED_TRACE(op);
    DemoDb demo(descriptor("local"));
    ASSERT_EQ(demo.open(), 0);
    for (int i = 0; i < kVictims; i++) ASSERT_GE(add_row(demo.db, station("X", i), i), 0);
    // A child must open the database itself, not inherit this process's open one.
    demo.close();
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    pid_t appender = spawn([&] {
      close(pipefd[0]);
      Dbptr db;
      if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) return 2;
      if (write(pipefd[1], "go", 2) != 2) return 2;
      // Ids given: a row with a null id would clash on the alternate key (chanid) with a
      // record marked and not yet crunched.
      for (int i = 0; i < kRows; i++)
        if (dbaddv(db, "sitechan", "sta", station("A", i).c_str(), "chan", "BHZ", "ondate",
                   ondate_of(i), "chanid", 1000 + i, nullptr) < 0)
          return 3;
      return 0;
    });
    close(pipefd[1]);
    char go[2];
    ASSERT_EQ(read(pipefd[0], go, 2), 2);
    close(pipefd[0]);
    ASSERT_EQ(demo.open(), 0);
    Dbptr t = demo.table("sitechan");
    for (int round = 0; round < kRounds; round++) {
      int count = 0;
      dbquery(t, dbRECORD_COUNT, &count);
      // The first victim still in the table, found afresh each round.
      Dbptr victim = t;
      for (victim.record = 0; victim.record < count; victim.record++) {
        char sta[16] = "";
        dbgetv(victim, nullptr, "sta", sta, nullptr);
        if (sta[0] == 'X') break;
      }
      int result = 0;
      if (op == DELETE && victim.record < count) result = dbdelete(victim);
      if (op == CRUNCH && victim.record < count) result = dbmark(victim);
      if (op == CRUNCH && result == 0) result = dbcrunch(t);
      if (op == TRUNCATE) result = dbtruncate(t, INT_MAX / 2);
      ASSERT_EQ(result, 0) << take_registered();
    }
    EXPECT_TRUE(ended_well(appender));
    std::multiset<std::string> stas;
    ASSERT_TRUE(read_rows(demo.db, &stas, nullptr));
    for (int i = 0; i < kRows; i++) EXPECT_EQ(stas.count(station("A", i)), 1u) << i;
    take_registered();
  }
}

// A reader holding a mapped table while another process deletes, crunches or truncates
// it: every read gives values that rows hold, or fails with a message; no signal, no
// empty value read from beyond the file's end.
TEST(SharedDatabase, ReaderOfAShrinkingTable) {
  constexpr int kRows = 120, kPasses = 20;
  enum Op { DELETE, CRUNCH, TRUNCATE };
  for (Op op : {DELETE, CRUNCH, TRUNCATE}) {
    SCOPED_TRACE(op);
    DemoDb demo(descriptor("local"));
    ASSERT_EQ(demo.open(), 0);
    for (int i = 0; i < kRows; i++) ASSERT_GE(add_row(demo.db, station("A", i), i), 0);
    demo.close();
    int mapped[2];
    ASSERT_EQ(pipe(mapped), 0);
    // Each child opens the database itself; the shrinker starts once the reader has the
    // whole table mapped.
    pid_t reader = spawn([&] {
      close(mapped[0]);
      Dbptr db;
      if (RVdbopen(demo.path.c_str(), "r", &db) != 0) return 2;
      Dbptr t = dblookup(db, nullptr, "sitechan", nullptr, nullptr);
      int count = 0;
      dbquery(t, dbRECORD_COUNT, &count);
      if (count != kRows || write(mapped[1], "go", 2) != 2) return 3;
      int bad = 0;
      Tbl *keys = newtbl(1);
      pushtbl(keys, const_cast<char *>("sta"));
      for (int pass = 0; pass < kPasses; pass++) {
        // Scans read the records in blocks: each fails with a message or names records
        // of the table as it was. They are quick, so many run while the table shrinks.
        for (int scan = 0; scan < 10; scan++) {
          std::vector<int> rows;
          if (dbsubset_records(t, "ondate > 0", &rows) < 0) {
            if (take_registered().empty()) bad++;
          }
          for (int r : rows) bad += r < 0 || r >= count;
          if (dbsort_key_order(t, keys, &rows, nullptr) < 0) {
            if (take_registered().empty()) bad++;
            rows.clear();
          }
          for (int r : rows) bad += r < 0 || r >= count;
        }
        // The count seen at the start: reads past the table's present end must fail.
        for (t.record = 0; t.record < count; t.record++) {
          char sta[16] = "";
          int ondate = 0;
          if (dbgetv(t, nullptr, "sta", sta, "ondate", &ondate, nullptr) < 0) {
            if (take_registered().empty()) bad++;
            continue;
          }
          // Rows move under an unlocked reader, so two fields may come from
          // neighbouring rows; each must be a value that some row holds. A row marked
          // for crunching holds the null values.
          int n = number_in(sta);
          bool sta_held = (n >= 0 && n < kRows) || strcmp(sta, "-") == 0;
          bool ondate_held =
              (ondate >= ondate_of(0) && ondate <= ondate_of(kRows - 1)) || ondate == -1;
          if (!sta_held || !ondate_held) bad++;
        }
      }
      freetbl(keys, nullptr);
      return bad ? 4 : 0;
    });
    pid_t shrinker = spawn([&] {
      close(mapped[1]);
      Dbptr db;
      if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) return 2;
      char go[2];
      if (read(mapped[0], go, 2) != 2) return 2;
      Dbptr w = dblookup(db, nullptr, "sitechan", nullptr, nullptr);
      for (int n = kRows; n > 0; n -= 7) {
        w.record = 0;
        if (op == DELETE && dbdelete(w) < 0) return 3;
        if (op == CRUNCH && (dbmark(w) < 0 || dbcrunch(w) < 0)) return 3;
        if (op == TRUNCATE && dbtruncate(w, n) < 0) return 3;
      }
      return 0;
    });
    close(mapped[0]);
    close(mapped[1]);
    EXPECT_TRUE(ended_well(reader));
    EXPECT_TRUE(ended_well(shrinker));
  }
}

}  // namespace
