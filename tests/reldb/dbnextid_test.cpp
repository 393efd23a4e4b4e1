// Next-id allocation: the lastid table, the id server exchange (a small server on
// 127.0.0.1 in a child process), and two processes adding records and drawing ids at once.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbedit.h"

namespace {

// A socket on 127.0.0.1 at a port the system picks, listening or (listen false) only
// holding the port so that connections to it are refused; its port through *port.
int listen_loopback(int *port, bool listening = true) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0 ||
      (listening && listen(fd, 16) != 0)) {
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(sa.sin_port);
  return fd;
}

// An id server in a child process: each connection gets the next reply in turn (an empty
// reply: the request is read and never answered). The requests it received are appended
// to the file `log`.
class IdServer {
 public:
  IdServer(const std::vector<std::string> &replies, const std::string &log) {
    int fd = listen_loopback(&port);
    if (fd < 0) return;
    pid = fork();
    if (pid == 0) {
      std::vector<int> held;
      for (size_t i = 0;; i++) {
        int c = accept(fd, nullptr, nullptr);
        if (c < 0) _exit(0);
        char buf[256];
        ssize_t n = read(c, buf, sizeof buf);
        FILE *f = fopen(log.c_str(), "a");
        if (f && n > 0) fwrite(buf, 1, (size_t)n, f);
        if (f) fclose(f);
        const std::string &reply = replies[std::min(i, replies.size() - 1)];
        if (reply.empty()) {
          held.push_back(c);
          continue;
        }
        if (write(c, reply.data(), reply.size()) < 0) _exit(1);
        close(c);
      }
    }
    close(fd);
  }
  ~IdServer() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  std::string address() const { return "127.0.0.1:" + std::to_string(port); }

  int port = -1;
  pid_t pid = -1;
};

int lastid_value(Dbptr db, const char *name) {
  Dbptr row = dblookup(db, nullptr, "lastid", "keyname", name);
  if (row.record < 0) return -999;
  row.field = dbALL;
  int value = -998;
  dbgetv(row, nullptr, "keyvalue", &value, nullptr);
  return value;
}

int add_sitechan(Dbptr db, const char *sta, int chanid) {
  return dbaddv(db, "sitechan", "sta", sta, "chan", "BHZ", "ondate", 2020001, "chanid", chanid,
                nullptr);
}

}  // namespace

TEST(NextId, AddressParts) {
  struct Case {
    const char *server;
    const char *host;
    int port;
  } cases[] = {
      {":7000", "localhost", 7000}, {"idhost", "idhost", 2499}, {"idhost:", "idhost", 2499},
      {"", "localhost", 2499},      {"h:12x", "h", 12},         {"h:0", "h", -1},
      {"h:70000", "h", -1},         {"h:port", "h", -1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.server);
    std::string host;
    int port = 0;
    parsename(c.server, &host, &port);
    EXPECT_EQ(host, c.host);
    EXPECT_EQ(port, c.port);
  }
}

TEST(NextId, LastidTable) {
  DemoDb demo;
  ASSERT_EQ(demo.open(), 0);
  ASSERT_EQ(add_sitechan(demo.db, "AAA", 41), 0);
  EXPECT_EQ(dbnextid(demo.db, "chanid"), 42);
  EXPECT_EQ(lastid_value(demo.db, "chanid"), 42);
  // The defining table is scanned once per open: a larger id added since is not seen.
  ASSERT_EQ(add_sitechan(demo.db, "BBB", 100), 1);
  EXPECT_EQ(dbnextid(demo.db, "chanid"), 43);
  // A key that no table defines starts from 1.
  EXPECT_EQ(dbnextid(demo.db, "evid"), 1);
  EXPECT_EQ(dbnextid(demo.db, "evid"), 2);
  EXPECT_EQ(lastid_value(demo.db, "evid"), 2);

  // Reopened: the row holds 43 but the table holds 100.
  demo.close();
  ASSERT_EQ(demo.open(), 0);
  EXPECT_EQ(dbnextid(demo.db, "chanid"), 101);
  EXPECT_EQ(lastid_value(demo.db, "chanid"), 101);
  take_registered();
}

TEST(NextId, LastidBehindTable) {
  DemoDb demo;
  ASSERT_EQ(demo.open(), 0);
  demo.write_table("lastid", record(demo.db, "lastid", {"chanid", "10", "0.0"}));
  ASSERT_EQ(add_sitechan(demo.db, "AAA", 41), 0);
  EXPECT_EQ(dbnextid(demo.db, "chanid"), 42);
  EXPECT_EQ(lastid_value(demo.db, "chanid"), 42);
  Dbptr t = demo.table("lastid");
  int count = 0;
  dbquery(t, dbRECORD_COUNT, &count);
  EXPECT_EQ(count, 1);
  take_registered();
}

// A lastid row removed after its key was scanned is rebuilt from a fresh scan of the
// defining table, never restarted at 0; in nfs mode the row reaches the file at once.
TEST(NextId, LastidRowRemovedBetweenCalls) {
  for (const char *locking : {"local", "nfs"}) {
    SCOPED_TRACE(locking);
    DemoDb demo(std::string("# d\nschema demo1.0\ndblocks ") + locking + "\ndbidserver \"\"\n");
    ASSERT_EQ(demo.open(), 0);
    ASSERT_EQ(add_sitechan(demo.db, "AAA", 41), 0);
    EXPECT_EQ(dbnextid(demo.db, "chanid"), 42);
    EXPECT_NE(read_file(demo.dir.file("demo.lastid")).find("42"), std::string::npos);
    Dbptr row = demo.table("lastid");
    row.record = 0;
    ASSERT_EQ(dbdelete(row), 0);
    EXPECT_EQ(read_file(demo.dir.file("demo.lastid")), "");
    EXPECT_EQ(dbnextid(demo.db, "chanid"), 42);
    EXPECT_EQ(dbnextid(demo.db, "chanid"), 43);
    EXPECT_EQ(lastid_value(demo.db, "chanid"), 43);
    take_registered();
  }
}

TEST(NextId, NoLastidTable) {
  DemoDb demo;
  demo.dir.write("nolast",
                 "Schema nolast ;\n"
                 "Attribute inid Integer (8) Format ( \"%8ld\" ) Null ( \"-1\" ) ;\n"
                 "Relation instrument Fields ( inid ) Primary ( inid ) Defines inid ;\n");
  demo.dir.write("demo", "nolast\n");
  setenv("DBIDSERVER", "127.0.0.1:1", 1);
  ASSERT_EQ(demo.open(), 0);
  unsetenv("DBIDSERVER");
  EXPECT_EQ(dbnextid(demo.db, "inid"), -1);
  take_registered();
  EXPECT_EQ(dbaddv(demo.db, "instrument", "inid", -1, nullptr), dbINVALID);
  EXPECT_NE(take_registered().find("Can't assign new inid to add record"), std::string::npos);
}

TEST(IdServer, GivesIds) {
  TempDir tmp;
  const std::string log = tmp.file("requests");
  IdServer server({"57", "58\n", "17"}, log);
  ASSERT_GT(server.pid, 0);
  DemoDb demo;
  setenv("DBIDSERVER", server.address().c_str(), 1);
  ASSERT_EQ(demo.open(), 0);
  unsetenv("DBIDSERVER");
  EXPECT_EQ(dbnextid(demo.db, "chanid"), 57);
  EXPECT_EQ(add_sitechan(demo.db, "AAA", -1), 0);  // a null id: drawn from the server
  int chanid = 0;
  Dbptr rec = demo.table("sitechan");
  rec.record = 0;
  dbgetv(rec, nullptr, "chanid", &chanid, nullptr);
  EXPECT_EQ(chanid, 58);
  EXPECT_EQ(read_file(log), std::string("chanid\0chanid\0", 14));
  EXPECT_EQ(dbnextid(demo.db, "wfid"), 17);
  // No lastid table file was made: the server alone decides.
  EXPECT_EQ(access(demo.dir.file("demo.lastid").c_str(), F_OK), -1);
  take_registered();
}

TEST(IdServer, RefusesIdsAlreadyInUse) {
  TempDir tmp;
  IdServer server({"17"}, tmp.file("requests"));
  ASSERT_GT(server.pid, 0);
  DemoDb demo;
  demo.write_table("sitechan", "");
  setenv("DBIDSERVER", server.address().c_str(), 1);
  ASSERT_EQ(demo.open(), 0);
  unsetenv("DBIDSERVER");
  Dbptr t = demo.table("sitechan");
  ASSERT_EQ(dbadd(t, record(demo.db, "sitechan", {"AAA", "BHZ", "2020001", "20", "-1"}).c_str()),
            0);
  take_registered();
  EXPECT_EQ(dbnextid(demo.db, "chanid"), -1);
  EXPECT_NE(take_registered().find(
                "idserver returns new id for chanid = 17, but database already has id=20"),
            std::string::npos);
}

// A server that refuses, stays silent or answers a negative id fails the request and the
// insertion that needed it; the process lives on.
TEST(IdServer, FailsTheRequestWhenNoIdComes) {
  TempDir tmp;
  IdServer silent({"", "garbage"}, tmp.file("requests"));
  ASSERT_GT(silent.pid, 0);
  IdServer negative({"-5"}, tmp.file("negative"));
  ASSERT_GT(negative.pid, 0);
  int closed_port = 0;
  int fd = listen_loopback(&closed_port, false);
  ASSERT_GE(fd, 0);
  struct Case {
    std::string server;
    const char *complaint;
    bool waits;
  } cases[] = {
      {"127.0.0.1:" + std::to_string(closed_port), "Can't connect to idserver at 127.0.0.1:", true},
      {silent.address(), "couldn't read idserver reply", true},
      {negative.address(), nullptr, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.server);
    ClockScale fast(0.0005);
    ElogCapture capture;
    EXPECT_EQ(dbidrequest("chanid", c.server.c_str()), -1);
    if (c.complaint) {
      EXPECT_TRUE(capture.contains(c.complaint)) << capture.text();
    }
    EXPECT_EQ(capture.contains("waited 1 minute for id 'chanid'"), c.waits) << capture.text();
    EXPECT_NE(take_registered().find("dbnextid fails: is "), std::string::npos);

    // Through an insertion: refused with the id message, nothing added.
    DemoDb demo;
    setenv("DBIDSERVER", c.server.c_str(), 1);
    ASSERT_EQ(demo.open(), 0);
    unsetenv("DBIDSERVER");
    EXPECT_EQ(dbaddv(demo.db, "sitechan", "sta", "AAA", "chan", "BHZ", "ondate", 2020001, nullptr),
              dbINVALID);
    EXPECT_NE(take_registered().find("Can't assign new chanid to add record"), std::string::npos);
    int count = -1;
    dbquery(demo.table("sitechan"), dbRECORD_COUNT, &count);
    EXPECT_EQ(count, 0);
  }
  close(fd);
}

// Two processes add records with drawn ids to one table at the same time.
TEST(NextId, TwoWritersDrawDistinctIds) {
  DemoDb demo;
  constexpr int kEach = 40;
  setenv("DBLOCKS", "local", 1);
  pid_t pids[2];
  for (int w = 0; w < 2; w++) {
    pids[w] = fork();
    if (pids[w] == 0) {
      Dbptr db;
      if (RVdbopen(demo.path.c_str(), "r+", &db) != 0) _exit(2);
      int failures = 0;
      for (int i = 0; i < kEach; i++) {
        std::string sta = std::string(w ? "B" : "A") + std::to_string(i);
        if (add_sitechan(db, sta.c_str(), -1) < 0) failures++;
        if (dbnextid(db, "wfid") < 0) failures++;
      }
      RVdbclose(db);
      _exit(failures ? 1 : 0);
    }
  }
  for (pid_t p : pids) {
    int status = -1;
    ASSERT_EQ(waitpid(p, &status, 0), p);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  ASSERT_EQ(demo.open(), 0);
  unsetenv("DBLOCKS");
  Dbptr t = demo.table("sitechan");
  int count = 0;
  dbquery(t, dbRECORD_COUNT, &count);
  EXPECT_EQ(count, 2 * kEach);
  std::set<int> ids;
  std::set<std::string> stas;
  for (t.record = 0; t.record < count; t.record++) {
    int chanid = 0;
    char sta[16] = "";
    dbgetv(t, nullptr, "chanid", &chanid, "sta", sta, nullptr);
    ids.insert(chanid);
    stas.insert(sta);
  }
  EXPECT_EQ(ids.size(), (size_t)(2 * kEach));
  EXPECT_EQ(stas.size(), (size_t)(2 * kEach));
  EXPECT_EQ(*ids.begin(), 1);
  EXPECT_EQ(*ids.rbegin(), 2 * kEach);
  EXPECT_EQ(lastid_value(demo.db, "chanid"), 2 * kEach);
  EXPECT_EQ(lastid_value(demo.db, "wfid"), 2 * kEach);
  take_registered();
}
