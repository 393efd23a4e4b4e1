// fixtures.h - far ends for the byte-stream device tests: a pseudo-terminal whose slave
// path is the device under test, socket pairs, loopback listeners on free ports, a
// recorder for the callbacks, a stand-in for the modem-control lines and the owning
// wrapper of a record.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "bytestream/serialbuf.h"
#include "bytestream/serialbuf_ioctls.h"
#include "testkit/testkit.h"

namespace bsfix {

// A byte-stream record that serialbuf_destroy ends when it goes out of scope.
struct RecordFreer {
  void operator()(SerialBuf *b) const { serialbuf_destroy(b); }
};
using Record = std::unique_ptr<SerialBuf, RecordFreer>;

// Reads from fd until `want` bytes came or `seconds` of clock time passed.
inline std::string read_for(int fd, size_t want, double seconds) {
  std::string got;
  double end = clock_monotonic() + seconds;
  while (got.size() < want) {
    double left = end - clock_monotonic();
    if (left <= 0) break;
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, clock_real_ms((int)(left * 1000) + 1));
    if (r <= 0) continue;
    char tmp[4096];
    ssize_t n = read(fd, tmp, std::min(sizeof tmp, want - got.size()));
    if (n <= 0) break;
    got.append(tmp, (size_t)n);
  }
  return got;
}

inline void write_all(int fd, const std::string &s) {
  size_t off = 0;
  while (off < s.size()) {
    ssize_t n = write(fd, s.data() + off, s.size() - off);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    off += (size_t)n;
  }
}

// A pseudo-terminal: `path` is the slave device; `master` is the far end. The fixture
// keeps a slave descriptor of its own open (raw), so the master never sees the line go
// away while the device under test closes and reopens it, and so tests can read the
// line settings.
struct Pty {
  int master = -1;
  int slave = -1;
  std::string path;

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) return;
    fcntl(master, F_SETFD, FD_CLOEXEC);
    char name[128];
    if (ptsname_r(master, name, sizeof name) != 0) return;
    path = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    struct termios t;
    if (slave >= 0 && tcgetattr(slave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
    }
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
  Pty(const Pty &) = delete;
  Pty &operator=(const Pty &) = delete;
  bool ok() const { return master >= 0 && slave >= 0; }
  void send(const std::string &s) { write_all(master, s); }
  std::string recv(size_t want, double seconds) { return read_for(master, want, seconds); }
  struct termios settings() const {
    struct termios t {};
    tcgetattr(slave, &t);
    return t;
  }
};

// A connected pair of stream sockets: `near` goes into the record, `far` plays the peer.
struct SockPair {
  int near = -1, far = -1;
  SockPair() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      near = sv[0];
      far = sv[1];
    }
  }
  ~SockPair() {
    if (far >= 0) close(far);
    if (near >= 0) close(near);
  }
  SockPair(const SockPair &) = delete;
  SockPair &operator=(const SockPair &) = delete;
  // The record took `near` over (it closes it).
  int give_near() {
    int fd = near;
    near = -1;
    return fd;
  }
  void close_far() {
    if (far >= 0) close(far);
    far = -1;
  }
  void send(const std::string &s) { write_all(far, s); }
  std::string recv(size_t want, double seconds) { return read_for(far, want, seconds); }
};

inline sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons((uint16_t)port);
  return sa;
}

inline int bound_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr *)&sa, &len);
  return ntohs(sa.sin_port);
}

// A loopback port that nothing listens on now.
inline int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loopback(0);
  bind(fd, (sockaddr *)&sa, sizeof sa);
  int port = bound_port(fd);
  close(fd);
  return port;
}

// A listening socket on 127.0.0.1 at a free port.
struct Listener {
  int fd = -1;
  int port = 0;
  explicit Listener(int backlog = 16) {
    fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa = loopback(0);
    if (bind(fd, (sockaddr *)&sa, sizeof sa) == 0 && listen(fd, backlog) == 0)
      port = bound_port(fd);
  }
  ~Listener() {
    if (fd >= 0) close(fd);
  }
  Listener(const Listener &) = delete;
  Listener &operator=(const Listener &) = delete;
  // The next pending connection within `seconds` of clock time, or -1.
  int accept_one(double seconds) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, clock_real_ms((int)(seconds * 1000))) <= 0) return -1;
    return accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  }
};

// A client socket connected to 127.0.0.1:port, or -1.
inline int connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loopback(port);
  if (connect(fd, (sockaddr *)&sa, sizeof sa) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Puts a socket (or pty) descriptor into a record as its connection.
inline void attach(SerialBuf *b, int fd) {
  b->fd = fd;
  b->state = SERIALBUF_CONNECTED;
}

// Records what the callbacks of a record were given. Pass the recorder as every
// user-data pointer; the record's locks serialise the calls it makes.
struct Recorder {
  std::mutex mutex;
  std::vector<int> idle_phases;
  std::vector<int> idle_results;  // results to hand out in order; 0 once used up
  std::vector<std::pair<int, std::string>> lines;
  long long read_bytes = 0, written_bytes = 0;

  static int idle(void *user, int phase) {
    auto *r = static_cast<Recorder *>(user);
    std::lock_guard<std::mutex> lock(r->mutex);
    size_t i = r->idle_phases.size();
    r->idle_phases.push_back(phase);
    return i < r->idle_results.size() ? r->idle_results[i] : 0;
  }
  static int log(void *user, void *, const char *line, int code) {
    auto *r = static_cast<Recorder *>(user);
    std::lock_guard<std::mutex> lock(r->mutex);
    r->lines.emplace_back(code, line ? line : "");
    return 0;
  }
  static int rate(void *user, int direction, int nbytes) {
    auto *r = static_cast<Recorder *>(user);
    std::lock_guard<std::mutex> lock(r->mutex);
    (direction == 1 ? r->written_bytes : r->read_bytes) += nbytes;
    return 0;
  }
};

// A TCP-client record (no device of its own) with the recorder's callbacks; attach a
// socket to use it.
inline SerialBuf *make_record(Recorder *rec, int size = 64, int timeout = 1000) {
  return serialbuf_create_tcpclient("127.0.0.1", 0, size, timeout, timeout, 2, Recorder::idle, rec,
                                    Recorder::log, rec, nullptr, Recorder::rate, rec);
}

// Plays the modem-control lines of a serial line: the carrier state the tests set, and a
// count of hang-ups.
struct FakeLines {
  std::atomic<int> carrier{1};
  std::atomic<int> hangups{0};
  SerialbufLineOps ops{};
  FakeLines() {
    ops.isoffhook = [](int, void *u) {
      return static_cast<FakeLines *>(u)->carrier.load() ? 0 : 1;
    };
    ops.hangup = [](int, void *u) {
      static_cast<FakeLines *>(u)->hangups++;
      return 0;
    };
    ops.user = this;
    serialbuf_set_line_ops(&ops);
  }
  ~FakeLines() { serialbuf_set_line_ops(nullptr); }
  FakeLines(const FakeLines &) = delete;
  FakeLines &operator=(const FakeLines &) = delete;
};

}  // namespace bsfix
