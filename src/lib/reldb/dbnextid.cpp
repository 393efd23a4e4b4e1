// dbnextid.cpp - handing out ids that are unique across every process writing a
// database: from the database's lastid table (one row per key name, read and written
// under the lastid table's lock), or from an id server over TCP when the database names
// one. The first request for a key in an open database also scans the table that defines
// the key for its largest id, so that an id in use is never handed out again.
//
// Id server exchange, one connection per id: the client sends the key name and a NUL,
// the server answers the id as decimal text (at most 32 bytes, one read), the client
// closes. Waits go through the clock seam. A server that cannot be reached, or that
// answers a negative id, fails the request with -1.
//
// The per-database cache of scanned keys (Database.lastids) is not locked.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "reldb/dbedit.h"
#include "reldb/dbinternal.h"
#include "support/hostid.h"

namespace {

constexpr int kAttempts = 12;
constexpr double kRetryWait = 5.0;
constexpr int kReplyMax = 32;
// A server that accepted the request but never answers counts as a failed attempt.
constexpr int kReplyWaitMs = 30000;

struct Socket {
  int fd = -1;
  ~Socket() { reset(); }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

std::string waited_text(double seconds) {
  char *text = strtdelta(seconds);
  if (!text) return std::to_string((int)seconds) + " seconds";
  std::string out = strtrim(text);
  free(text);
  return out;
}

}  // namespace

int dbidserver_reply(const char *reply, int n, int *id) {
  // The reply is not NUL-terminated: copy it into a text first.
  std::string text(reply, n > 0 ? (size_t)n : 0);
  size_t p = text.find_first_not_of(" \t");
  if (p == std::string::npos) return -1;
  size_t digits = (text[p] == '-' || text[p] == '+') ? p + 1 : p;
  if (digits >= text.size() || !isdigit((unsigned char)text[digits])) return -1;
  errno = 0;
  long v = strtol(text.c_str() + p, nullptr, 10);
  if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return -1;
  *id = (int)v;
  return 0;
}

void parsename(const char *server, std::string *host, int *port) {
  std::string text = server ? server : "";
  *port = DBIDSERVER_PORT;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    std::string after = text.substr(colon + 1);
    text.erase(colon);
    if (!after.empty()) {
      char *end = nullptr;
      long p = strtol(after.c_str(), &end, 10);
      // A port that is no number or out of range can't be connected to.
      *port = (end == after.c_str() || p <= 0 || p > 65535) ? -1 : (int)p;
    }
  }
  *host = text.empty() ? "localhost" : text;
}

int open_socket(const char *server) {
  std::string host;
  int port;
  parsename(server, &host, &port);
  unsigned address = 0;
  char dotted[64] = "";
  if (name2ip(host.c_str(), &address, dotted) != 0) {
    if (verbose_exists()) elog_complain(0, "Can't find ip address for host '%s'\n", host.c_str());
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (verbose_exists()) elog_complain(1, "Can't open stream socket\n");
    return -1;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)(port > 0 ? port : 0));
  sa.sin_addr.s_addr = address;  // name2ip gives network order
  if (port <= 0 || connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
    if (verbose_exists()) elog_complain(1, "Can't connect to server\n");
    close(fd);
    return -1;
  }
  return fd;
}

int dbidrequest(const char *name, const char *server) {
  const std::string request = std::string(name ? name : "") + '\0';
  int id = 0;
  bool have = false;
  for (int attempt = 0; attempt < kAttempts && !have; attempt++) {
    Socket s;
    s.fd = open_socket(server);
    if (s.fd < 0) {
      elog_complain(0, "Can't connect to idserver at %s", server);
    } else if (write(s.fd, request.data(), request.size()) != (ssize_t)request.size()) {
      elog_complain(1, "idserver request failed");
    } else {
      char reply[kReplyMax + 1] = "";
      pollfd p = {s.fd, POLLIN, 0};
      ssize_t n = poll(&p, 1, clock_real_ms(kReplyWaitMs)) > 0 ? read(s.fd, reply, kReplyMax) : 0;
      if (n > 0 && dbidserver_reply(reply, (int)n, &id) == 0) {
        have = true;
        break;
      }
      elog_complain(0, "couldn't read idserver reply");
    }
    s.reset();
    clock_sleep(kRetryWait);
    elog_complain(0, "waited %s for id '%s'", waited_text((attempt + 1) * kRetryWait).c_str(),
                  name);
  }
  // The callers add rows from long-running threads: a missing id fails the one
  // insertion, never the process.
  if (!have || id < 0) {
    elog_log(0, "dbnextid fails: is the id server running on '%s'?\n", server ? server : "");
    return -1;
  }
  return id;
}

int find_lastid(Dbptr db, const char *name) {
  db.table = db.field = db.record = dbALL;
  Arr *defines = nullptr;
  if (dbquery(db, dbSCHEMA_DEFINES, &defines) < 0 || !defines) return 0;
  const char *table = static_cast<const char *>(getarr(defines, name));
  if (!table) return 0;
  Dbptr t = dblookup(db, nullptr, table, nullptr, nullptr);
  int count = 0;
  if (t.table < 0 || dbquery(t, dbRECORD_COUNT, &count) < 0) return 0;
  int largest = 0;
  for (t.record = 0; t.record < count; t.record++) {
    int value = 0;
    if (dbgetv(t, nullptr, name, &value, nullptr) < 0) continue;
    if (value > largest) largest = value;
  }
  return largest;
}

int incrid(Dbptr db, const char *name, int largest) {
  db.table = db.field = db.record = dbALL;
  Dbptr lastid = dblookup(db, nullptr, "lastid", nullptr, nullptr);
  Database *d;
  Relation *r;
  Table *t;
  if (lastid.table < 0 || dbresolve(lastid, &d, &r, &t, nullptr, nullptr, nullptr) != dbTABLE)
    return -1;
  if (d->idserver && *d->idserver) {
    int id = dbidrequest(name, d->idserver);
    if (id <= largest) {
      elog_log(0, "idserver returns new id for %s = %d, but database already has id=%d", name, id,
               largest);
      return -1;
    }
    return id;
  }
  if (t->fd < 0 && map_table(d, r, 1) < 0) {
    elog_log(0, "Can't create lastid table '%s'\n", t->path ? t->path : "lastid");
    return -1;
  }
  // The lock is held from the look-up of the row to its update, across the creation
  // of a new row (the lock nests).
  DbTableLock lock(d, r, t);
  if (!lock.held()) return -1;
  // Another process may have added rows while we waited for the lock.
  if (map_table(d, r, 0) < 0) return -1;
  Dbptr row = dblookup(lastid, nullptr, "lastid", "keyname", name);
  if (row.record < 0) {
    elog_clear_register(0);
    // The row of a key scanned earlier is gone: scan the defining table again, so that
    // no id in use is handed out anew.
    if (largest < 0) largest = find_lastid(db, name);
    Dbptr scratch = lastid;
    scratch.record = dbSCRATCH;
    if (dbputv(scratch, nullptr, "keyname", name, "keyvalue", largest, nullptr) < 0 ||
        dbadd(lastid, nullptr) < 0)
      return -1;
    row = dblookup(lastid, nullptr, "lastid", "keyname", name);
    if (row.record < 0) return -1;
  }
  row.field = dbALL;
  int value = 0;
  int id = -1;
  if (dbgetv(row, nullptr, "keyvalue", &value, nullptr) >= 0) {
    id = (value > largest ? value : largest) + 1;
    if (dbputv(row, nullptr, "keyvalue", id, nullptr) < 0) id = -1;
  }
  if (lock.release() < 0) return -1;
  return id;
}

int dbnextid(Dbptr db, const char *name) {
  db.table = db.field = db.record = dbALL;
  Database *d;
  if (!name || dbresolve(db, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE)
    return -1;
  if (!d->lastids) d->lastids = db_newarr();
  int largest = -1;
  if (!getarr(d->lastids, name)) {
    largest = find_lastid(db, name);
    setarr(d->lastids, name, reinterpret_cast<void *>((intptr_t)largest));
  }
  return incrid(db, name, largest);
}
