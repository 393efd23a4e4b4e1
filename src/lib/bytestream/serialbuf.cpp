// serialbuf.cpp - the byte-stream device record: makers, modem texts, open, connect (with
// the modem dialogue), disconnect, close, clear, the buffered byte read with its text
// watcher, device reads and writes with their echo, putting bytes back, pattern waits
// and modem strings.
#include "bytestream/serialbuf.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/clockwait.h"
#include "base/elog.h"
#include "base/fdwait.h"
#include "base/threadstart.h"
#include "bytestream/serialbuf_ioctls.h"
#include "support/convert.h"
#include "support/hostid.h"

namespace {

constexpr int kLineStart = 256;     // bytes of the line buffer at creation
constexpr int kLongLine = 100;      // a control byte ends a text line this long
constexpr int kHexLine = 47;        // a hex line is passed once longer than this (16 bytes)
constexpr int kClearRead = 8192;    // bytes per read while clearing
constexpr double kClearTime = 2.0;  // seconds that serialbuf_clear listens
constexpr int kSliceMs = 1000;      // one wait slice
// serialbuf_read_until_parse gives up after this many times `timeout`.
constexpr double kParseLimitFactor = 10.0;

// Directions of the data-rate callback.
constexpr SerialbufDirection kWrite = SERIALBUF_WROTE;
constexpr SerialbufDirection kRead = SERIALBUF_READ;

bool text_set(const char *s) { return s && *s; }

// Replaces *field by a copy of s; false (field unchanged) when the copy fails.
bool copy_text(char **field, const char *s) {
  char *copy = strdup(s);
  if (!copy) return false;
  free(*field);
  *field = copy;
  return true;
}

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Empties the input buffer and the watchers.
void reset_input(SerialBuf *b) {
  b->ptr = 0;
  b->occupied = 0;
  b->busy_rec_string_ptr = 0;
  b->offhook_rec_string_ptr = 0;
  b->next_bad = -1;
}

bool has_modem(const SerialBuf *b) {
  return b->modem_control == SERIALBUF_MODEM_LOCAL || b->modem_control == SERIALBUF_MODEM_REMOTE;
}

// Characters of `text` (size > 0) matched after the byte c, given `matched` before it:
// the longest prefix of the text that ends the input seen so far, so that a partial
// match that fails can still be the start of a real one ("BUBUSY" holds "BUSY").
int advance_match(const char *text, int size, int matched, unsigned char c) {
  if (matched < 0 || matched >= size) matched = 0;
  if ((unsigned char)text[matched] == c) return matched + 1;
  for (int k = matched; k > 0; --k) {
    if ((unsigned char)text[k - 1] == c && memcmp(text, text + matched - k + 1, k - 1) == 0)
      return k;
  }
  return 0;
}

bool printable(unsigned char c) { return c >= 0x20 && c <= 0x7E; }

// Escaped form of one byte for the dump echo; empty for bytes that are not shown.
const char *dump_escape(unsigned char c, char one[2]) {
  switch (c) {
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return "\\b";
    default:
      break;
  }
  if (!printable(c)) return "";
  one[0] = (char)c;
  one[1] = 0;
  return one;
}

void dump_bytes(const char *head, const unsigned char *data, int n) {
  printf("%s %d bytes: ", head, n);
  char one[2];
  for (int i = 0; i < n; ++i) fputs(dump_escape(data[i], one), stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

// Assembles the traffic lines of the echo modes in the record's line buffer. The length
// is taken once per call and kept here, so a long line is not measured byte by byte.
class LineEcho {
 public:
  LineEcho(SerialBuf *b, int code, const char *who)
      : b_(b), code_(code), who_(who), len_((int)strlen(b->line)) {}
  int length() const { return len_; }

  void add(char c) {
    b_->line[len_++] = c;
    b_->line[len_] = 0;
    if (len_ >= SERIALBUF_LINE_MAX) {
      // A line that never ends is passed on unfinished rather than grown without bound.
      pass();
    } else if (len_ >= b_->line_size - 2) {
      int grown = b_->line_size * 2;
      char *p = (char *)realloc(b_->line, grown);
      if (!p) {
        elog_log(1, "%s: realloc() error.\n", who_);
        pass();
        return;
      }
      memset(p + b_->line_size, 0, grown - b_->line_size);
      b_->line = p;
      b_->line_size = grown;
    }
  }

  // Hands a non-empty line to the log callback and empties it.
  void pass() {
    if (len_ > 0 && b_->log_callback)
      b_->log_callback(b_->userdata2, b_->userdata3, b_->line, code_);
    len_ = 0;
    b_->line[0] = 0;
  }

 private:
  SerialBuf *b_;
  int code_;
  const char *who_;
  int len_;
};

void echo_text_lines(SerialBuf *b, const unsigned char *data, int n, int code, const char *who) {
  LineEcho line(b, code, who);
  for (int i = 0; i < n; ++i) {
    unsigned char c = data[i];
    if (printable(c) || c == '\t' || c == '\b') {
      line.add((char)c);
    } else if (c == '\n' || c == '\r' || line.length() >= kLongLine) {
      line.pass();
    }
  }
}

void echo_hex_lines(SerialBuf *b, const unsigned char *data, int n, const char *who) {
  LineEcho line(b, 1, who);
  for (int i = 0; i < n; ++i) {
    char hex[4];
    snprintf(hex, sizeof hex, "%2.2X ", data[i]);
    for (int k = 0; k < 3; ++k) line.add(hex[k]);
    if (data[i] == 0xC0 || line.length() > kHexLine) line.pass();
  }
  line.pass();
}

// The traffic echo of one device read or write, by rverbose. Called with
// mutex_readwrite held. Never fails: a line buffer that cannot grow is passed on as it
// is, so the data of a read or write is never lost to its echo.
void echo(SerialBuf *b, const unsigned char *data, int n, SerialbufDirection dir, const char *who) {
  switch (b->rverbose) {
    case 1:
      // One head serves both directions.
      dump_bytes("reading", data, n);
      break;
    case 2:
      for (int i = 0; i < n; ++i) {
        unsigned char c = data[i];
        if (printable(c) || c == '\n' || c == '\r' || c == '\t' || c == '\b') fputc(c, stdout);
      }
      fflush(stdout);
      break;
    case 3:
      if (dir == kRead && b->log_callback) echo_text_lines(b, data, n, SERIALBUF_LOG_READ, who);
      break;
    case 4:
      if (dir == kWrite && b->log_callback) echo_text_lines(b, data, n, SERIALBUF_LOG_WRITTEN, who);
      break;
    case 5:
      if (dir == kRead && b->log_callback) echo_hex_lines(b, data, n, who);
      break;
    default:
      break;
  }
}

// One device read, with mutex_readwrite held.
int device_read(SerialBuf *b, void *data, int nbytes) {
  if (nbytes < 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t r;
  do {
    r = read(b->fd, data, (size_t)nbytes);
  } while (r < 0 && errno == EINTR);
  if (r > 0 && b->datarate_callback) b->datarate_callback(b->userdata4, kRead, (int)r);
  return (int)r;
}

// One device write, with mutex_readwrite held. Sockets are written without SIGPIPE: a
// peer that went away is an error result, not the end of the process.
int device_write(SerialBuf *b, const void *data, int nbytes) {
  if (nbytes < 0) {
    errno = EINVAL;
    return -1;
  }
  ssize_t w;
  do {
    if (b->com_mode == SERIALBUF_SERIAL) {
      w = write(b->fd, data, (size_t)nbytes);
    } else {
      w = send(b->fd, data, (size_t)nbytes, MSG_NOSIGNAL);
      if (w < 0 && errno == ENOTSOCK) w = write(b->fd, data, (size_t)nbytes);
    }
  } while (w < 0 && errno == EINTR);
  if (w > 0 && b->datarate_callback) b->datarate_callback(b->userdata4, kWrite, (int)w);
  return (int)w;
}

bool carrier_lost(SerialBuf *b) {
  return b->modem_control == SERIALBUF_MODEM_LOCAL && serialbuf_isoffhook(b->fd);
}

// Serial speeds accepted by serialbuf_open.
bool baud_speed(int baud, speed_t *speed) {
  static const struct {
    int baud;
    speed_t speed;
  } table[] = {{1200, B1200},   {2400, B2400},     {4800, B4800},
               {9600, B9600},   {19200, B19200},   {38400, B38400},
               {57600, B57600}, {115200, B115200}, {230400, B230400}};
  for (const auto &e : table) {
    if (e.baud == baud) {
      *speed = e.speed;
      return true;
    }
  }
  return false;
}

// Opened without becoming the controlling terminal (a carrier drop must not send the
// process a hang-up signal), without waiting for carrier, and closed across exec.
int open_line(const char *dev) {
  int fd;
  do {
    fd = open(dev, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int open_serial(SerialBuf *b) {
  const char *dev = b->dev ? b->dev : "";
  close_fd(&b->fd);
  b->fd = open_line(dev);
  if (b->fd < 0) {
    elog_log(1, "serialbuf_open: open('%s') error.\n", dev);
    return -1;
  }
  if (b->modem_control == SERIALBUF_MODEM_LOCAL) serialbuf_hangup(b->fd);
  close_fd(&b->fd);
  clock_sleep(1.0);
  b->fd = open_line(dev);
  if (b->fd < 0) {
    elog_log(1, "serialbuf_open: open('%s') error.\n", dev);
    return -1;
  }
  auto fail = [&](int flag, const char *what) {
    int saved = errno;
    close_fd(&b->fd);
    errno = saved;
    elog_log(flag, "serialbuf_open: %s('%s') error.\n", what, dev);
    return -1;
  };
  struct termios t;
  if (tcgetattr(b->fd, &t) < 0) return fail(1, "tcgetattr");
  speed_t speed;
  if (!baud_speed(b->baud, &speed)) {
    close_fd(&b->fd);
    elog_log(0, "serialbuf_open: invalid baudrate %d\n", b->baud);
    return -1;
  }
  t.c_iflag = IGNBRK;
  t.c_oflag = 0;
  if (cfsetispeed(&t, speed) < 0) {
    close_fd(&b->fd);
    elog_log(1, "serialbuf_open: cfsetispeed('%s') error\n", dev);
    return -1;
  }
  if (cfsetospeed(&t, speed) < 0) {
    close_fd(&b->fd);
    elog_log(1, "serialbuf_open: cfsetospeed('%s') error\n", dev);
    return -1;
  }
  // Character size, parity, stop bits, flow control and local mode are cleared before the
  // wanted ones are set, so nothing a previous user left on the line survives.
  t.c_cflag &= ~(tcflag_t)(CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL);
  t.c_cflag |= CS8 | CREAD;
  if (b->flow == 1) t.c_cflag |= CRTSCTS;
  if (b->modem_control != SERIALBUF_MODEM_LOCAL) t.c_cflag |= CLOCAL;
  t.c_lflag = NOFLSH;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 1;
  if (tcsetattr(b->fd, TCSADRAIN, &t) < 0) {
    int saved = errno;
    close_fd(&b->fd);
    errno = saved;
    elog_log(1, "serialbuf_open: tcsetattr('%s') TCSETAW error.\n", dev);
    return -1;
  }
  // The line is set up: reads and writes block from here on.
  int flags = fcntl(b->fd, F_GETFL);
  if (flags < 0 || fcntl(b->fd, F_SETFL, flags & ~O_NONBLOCK) < 0) return fail(1, "fcntl");
  return 0;
}

// Whether the idle callback asks a wait that brought nothing in its last slice to stop:
// asked with phase 0, which a program answers with 3 only when it is shutting down.
bool idle_stop(SerialBuf *b) {
  return b->idle_callback &&
         b->idle_callback(b->userdata1, SERIALBUF_IDLE_WAITED) == SERIALBUF_STOPPED;
}

// Connects `fd` to `sa` within `ms` milliseconds of clock time (below 1: no limit),
// waiting in one-second slices after each of which the idle callback may stop it. 0, or
// -1 with errno set (ETIMEDOUT when the time ran out, ECANCELED when stopped).
int connect_limited(SerialBuf *b, int fd, const sockaddr_in &sa, int ms) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
  int rc = connect(fd, (const sockaddr *)&sa, sizeof sa);
  if (rc < 0 && errno != EINPROGRESS && errno != EINTR) return -1;
  if (rc < 0) {
    double deadline = clock_monotonic() + ms / 1000.0;
    for (;;) {
      int wait = kSliceMs;
      if (ms >= 1) {
        double left = deadline - clock_monotonic();
        if (left <= 0) {
          errno = ETIMEDOUT;
          return -1;
        }
        wait = std::min(kSliceMs, (int)std::ceil(left * 1000.0));
      }
      struct pollfd p = {fd, POLLOUT, 0};
      int r = poll(&p, 1, clock_real_ms(wait));
      if (r > 0) break;
      if (r < 0 && errno != EINTR) return -1;
      if (r == 0 && idle_stop(b)) {
        errno = ECANCELED;
        return -1;
      }
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return -1;
    if (err != 0) {
      errno = err;
      return -1;
    }
  }
  return fcntl(fd, F_SETFL, flags) < 0 ? -1 : 0;
}

// One name lookup, run on a thread of its own so that its caller can stop waiting: a
// resolver may block far longer than any time-out of the link. The caller and the thread
// share it; whichever lets go last frees it.
struct Lookup {
  std::mutex mutex;
  std::condition_variable cond;
  std::string name;                      // set before the thread starts
  bool done = false;                     // under mutex, as the two results
  int rc = -1;                           // name2ip's result
  char dotted[HOSTID_DOTTED_SIZE] = "";  // the address found
};

void *lookup_thread(void *arg) {
  std::unique_ptr<std::shared_ptr<Lookup>> hold(static_cast<std::shared_ptr<Lookup> *>(arg));
  Lookup &job = **hold;
  unsigned address = 0;
  char dotted[HOSTID_DOTTED_SIZE] = "";
  int rc = name2ip(job.name.c_str(), &address, dotted);
  std::lock_guard<std::mutex> lock(job.mutex);
  job.rc = rc;
  memcpy(job.dotted, dotted, sizeof dotted);
  job.done = true;
  job.cond.notify_all();
  return nullptr;
}

enum LookupResult { kFound = 0, kUnknown = -1, kLookupStopped = -2 };

// The dotted address of `name`, waited for in one-second slices, after each of which the
// idle callback may stop the wait. A dotted address is taken as it is. An abandoned
// lookup ends on its own thread.
LookupResult lookup_stoppable(SerialBuf *b, const char *name, char *dotted) {
  in_addr numeric{};
  if (inet_pton(AF_INET, name, &numeric) == 1 && strlen(name) < HOSTID_DOTTED_SIZE) {
    snprintf(dotted, HOSTID_DOTTED_SIZE, "%s", name);
    return kFound;
  }
  auto job = std::make_shared<Lookup>();
  job->name = name;
  auto *arg = new std::shared_ptr<Lookup>(job);
  pthread_t tid;
  // The lookup once ran on the link's own thread: it gets the same stack.
  if (threadstart_create(&tid, THREAD_ALTUS_LINK, lookup_thread, arg, THREADSTART_DETACHED) != 0) {
    delete arg;
    // No thread to spare: the lookup runs here, as long as it takes.
    unsigned address = 0;
    return name2ip(name, &address, dotted) < 0 ? kUnknown : kFound;
  }
  std::unique_lock<std::mutex> lock(job->mutex);
  for (;;) {
    const double slice = clock_monotonic() + kSliceMs / 1000.0;
    if (clock_cond_wait_until(job->cond, lock, slice, [&] { return job->done; })) break;
    lock.unlock();  // the callback runs without the lookup's lock
    const bool stop = idle_stop(b);
    lock.lock();
    if (stop && !job->done) return kLookupStopped;
  }
  memcpy(dotted, job->dotted, HOSTID_DOTTED_SIZE);
  return job->rc < 0 ? kUnknown : kFound;
}

// Small writes (a resend request, a continue) go out at once instead of waiting for the
// acknowledgement of the last one. A failure only costs latency: logged, not fatal.
void set_nodelay(int fd) {
  int on = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0)
    elog_log(1, "serialbuf: setsockopt(TCP_NODELAY) error.\n");
}

int open_tcpclient(SerialBuf *b) {
  close_fd(&b->fd);
  char dotted[HOSTID_DOTTED_SIZE] = "";
  sockaddr_in sa{};
  const LookupResult found = b->ipaddr ? lookup_stoppable(b, b->ipaddr, dotted) : kUnknown;
  if (found == kLookupStopped) {
    elog_log(0, "serialbuf_open: lookup of '%s' stopped by the idle callback.\n", b->ipaddr);
    return -1;
  }
  if (found != kFound || inet_pton(AF_INET, dotted, &sa.sin_addr) != 1) {
    elog_log(0, "serialbuf_open: Can't locate server by name of '%s'\n",
             b->ipaddr ? b->ipaddr : "");
    return -1;
  }
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)b->port);
  b->fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (b->fd < 0) {
    elog_log(1, "serialbuf_open: Can't open stream socket\n");
    return -1;
  }
  if (connect_limited(b, b->fd, sa, b->timeout_connect) < 0) {
    int saved = errno;
    close_fd(&b->fd);
    errno = saved;
    if (saved == ECANCELED)
      elog_log(0, "serialbuf_open: connect stopped by the idle callback.\n");
    else
      elog_log(1, "serialbuf_open: Can't connect to server\n");
    return -1;
  }
  set_nodelay(b->fd);
  return 0;
}

int open_tcpserver(SerialBuf *b) {
  close_fd(&b->fdserver);
  b->fdserver = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (b->fdserver < 0) {
    elog_log(1, "serialbuf_open: Can't open stream socket\n");
    return -1;
  }
  auto fail = [&](const char *what) {
    int saved = errno;
    close_fd(&b->fdserver);
    errno = saved;
    elog_log(1, "serialbuf_open: %s error.\n", what);
    return -1;
  };
  int on = 1;
  if (setsockopt(b->fdserver, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
    return fail("setsockopt(SO_REUSEADDR)");
  if (setsockopt(b->fdserver, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
    return fail("setsockopt(SO_KEEPALIVE)");
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_ANY);
  sa.sin_port = htons((uint16_t)b->port);
  if (bind(b->fdserver, (const sockaddr *)&sa, sizeof sa) < 0) return fail("bind()");
  if (listen(b->fdserver, 100) < 0) return fail("listen()");
  // Accepts wait in slices (accept_client), so a client that leaves between the wake-up
  // and the accept must not block the thread.
  int flags = fcntl(b->fdserver, F_GETFL);
  if (flags < 0 || fcntl(b->fdserver, F_SETFL, flags | O_NONBLOCK) < 0) return fail("fcntl()");
  return 0;
}

constexpr int kAcceptStopped = -3;

// Waits for a client on the listening socket in one-second slices, asking the idle
// callback (phase 1) after each empty slice. The accepted descriptor; -1 with errno set
// on failure; kAcceptStopped when the idle callback returned 3.
int accept_client(SerialBuf *b, sockaddr_in *peer) {
  for (;;) {
    int r = fdwait(b->fdserver, kSliceMs);
    if (r < 0) return -1;
    if (r > 0) {
      socklen_t len = sizeof *peer;
      int fd = accept4(b->fdserver, (sockaddr *)peer, &len, SOCK_CLOEXEC);
      if (fd >= 0) {
        set_nodelay(fd);
        return fd;
      }
      // The client went away before it was taken, or a signal came: wait again.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED)
        return -1;
      continue;
    }
    if (b->idle_callback &&
        b->idle_callback(b->userdata1, SERIALBUF_IDLE_EMPTY) == SERIALBUF_STOPPED)
      return kAcceptStopped;
  }
}

// The modem exchange of serialbuf_connect, once the device is open (or the client
// accepted).
int modem_dialogue(SerialBuf *b, int listen, const char *phone_number);
// The modem's hang-up texts of serialbuf_disconnect: 0 or the failed text's result.
int modem_hangup(SerialBuf *b);

}  // namespace

SerialBuf *serialbuf_create(int size, int timeout, int timeout_connect, int timeout_control,
                            int sleep, int tries, SerialbufIdleCallback idle_callback,
                            void *userdata1, SerialbufLogCallback log_callback, void *userdata2,
                            void *userdata3, SerialbufDatarateCallback datarate_callback,
                            void *userdata4) {
  if (size < 1 || size > INT_MAX - 20) {
    elog_log(0, "serialbuf_create: invalid buffer size %d.\n", size);
    return nullptr;
  }
  SerialBuf *b = new (std::nothrow) SerialBuf();
  if (!b) {
    errno = ENOMEM;
    elog_log(1, "serialbuf_create: malloc() error.\n");
    return nullptr;
  }
  b->buf = (unsigned char *)calloc((size_t)size + 20, 1);
  b->line = (char *)calloc(kLineStart, 1);
  if (!b->buf || !b->line) {
    elog_log(1, "serialbuf_create: malloc() error.\n");
    serialbuf_free(b);
    return nullptr;
  }
  b->line_size = kLineStart;
  b->state = SERIALBUF_CLOSED;
  b->size = size;
  b->timeout = timeout;
  b->timeout_connect = timeout_connect;
  b->timeout_control = timeout_control;
  b->sleep = sleep;
  b->tries = tries;
  b->idle_callback = idle_callback;
  b->userdata1 = userdata1;
  b->log_callback = log_callback;
  b->userdata2 = userdata2;
  b->userdata3 = userdata3;
  b->datarate_callback = datarate_callback;
  b->userdata4 = userdata4;
  b->next_bad = -1;
  b->fd = -1;
  b->fdserver = -1;
  return b;
}

SerialBuf *serialbuf_create_serial(const char *dev, int baud, int flow, int size, int timeout,
                                   int timeout_control, int sleep, int tries,
                                   SerialbufIdleCallback idle_callback, void *userdata1,
                                   SerialbufLogCallback log_callback, void *userdata2,
                                   void *userdata3, SerialbufDatarateCallback datarate_callback,
                                   void *userdata4) {
  SerialBuf *b =
      serialbuf_create(size, timeout, timeout, timeout_control, sleep, tries, idle_callback,
                       userdata1, log_callback, userdata2, userdata3, datarate_callback, userdata4);
  if (!b) {
    elog_log(0, "serialbuf_create_serial: serialbuf_create() error.\n");
    return nullptr;
  }
  b->com_mode = SERIALBUF_SERIAL;
  b->modem_control = SERIALBUF_MODEM_NONE;
  b->dev = strdup(dev ? dev : "");
  if (!b->dev) {
    elog_log(1, "serialbuf_create_serial: strdup(dev) error.\n");
    serialbuf_free(b);
    return nullptr;
  }
  b->baud = baud;
  b->flow = flow;
  return b;
}

SerialBuf *serialbuf_create_tcpclient(const char *ipaddr, int port, int size, int timeout,
                                      int timeout_control, int tries,
                                      SerialbufIdleCallback idle_callback, void *userdata1,
                                      SerialbufLogCallback log_callback, void *userdata2,
                                      void *userdata3, SerialbufDatarateCallback datarate_callback,
                                      void *userdata4) {
  SerialBuf *b =
      serialbuf_create(size, timeout, timeout, timeout_control, 0, tries, idle_callback, userdata1,
                       log_callback, userdata2, userdata3, datarate_callback, userdata4);
  if (!b) {
    elog_log(0, "serialbuf_create_tcpclient: serialbuf_create() error.\n");
    return nullptr;
  }
  b->com_mode = SERIALBUF_TCPCLIENT;
  b->modem_control = SERIALBUF_MODEM_NONE;
  b->ipaddr = strdup(ipaddr ? ipaddr : "");
  if (!b->ipaddr) {
    elog_log(1, "serialbuf_create_tcpclient: strdup(ipaddr) error.\n");
    serialbuf_free(b);
    return nullptr;
  }
  b->port = port;
  return b;
}

SerialBuf *serialbuf_create_tcpserver(int port, int size, int timeout, int timeout_control,
                                      int tries, SerialbufIdleCallback idle_callback,
                                      void *userdata1, SerialbufLogCallback log_callback,
                                      void *userdata2, void *userdata3,
                                      SerialbufDatarateCallback datarate_callback,
                                      void *userdata4) {
  SerialBuf *b =
      serialbuf_create(size, timeout, timeout, timeout_control, 0, tries, idle_callback, userdata1,
                       log_callback, userdata2, userdata3, datarate_callback, userdata4);
  if (!b) {
    elog_log(0, "serialbuf_create_tcpserver: serialbuf_create() error.\n");
    return nullptr;
  }
  b->com_mode = SERIALBUF_TCPSERVER;
  b->modem_control = SERIALBUF_MODEM_NONE;
  b->port = port;
  return b;
}

int serialbuf_set_modem_control(SerialBuf *buf, int use_modem_control_lines, int timeout_connect,
                                const char *attention_string, const char *hangup_string,
                                const char *listen_string, const char *nolisten_string,
                                const char *dialout_string_prefix,
                                const char *dialout_string_suffix, const char *attention_rec_string,
                                const char *ring_rec_string, const char *busy_rec_string,
                                const char *connect_rec_string, const char *offhook_rec_string) {
  if (!buf) return -1;
  if (use_modem_control_lines) {
    if (buf->com_mode != SERIALBUF_SERIAL) {
      elog_log(0, "serialbuf_set_modem_control: Cannot set local mode for non-serial buffer.\n");
      return -1;
    }
    buf->modem_control = SERIALBUF_MODEM_LOCAL;
  } else {
    buf->modem_control = SERIALBUF_MODEM_REMOTE;
  }
  buf->timeout_connect = timeout_connect;
  const struct {
    const char *value;
    char **field;
    const char *name;
  } texts[] = {
      {attention_string, &buf->attention_string, "attention_string"},
      {hangup_string, &buf->hangup_string, "hangup_string"},
      {listen_string, &buf->listen_string, "listen_string"},
      {nolisten_string, &buf->nolisten_string, "nolisten_string"},
      {dialout_string_prefix, &buf->dialout_string_prefix, "dialout_string_prefix"},
      {dialout_string_suffix, &buf->dialout_string_suffix, "dialout_string_suffix"},
      {attention_rec_string, &buf->attention_rec_string, "attention_rec_string"},
      {ring_rec_string, &buf->ring_rec_string, "ring_rec_string"},
      {busy_rec_string, &buf->busy_rec_string, "busy_rec_string"},
      {connect_rec_string, &buf->connect_rec_string, "connect_rec_string"},
      {offhook_rec_string, &buf->offhook_rec_string, "offhook_rec_string"},
  };
  for (const auto &t : texts) {
    if (t.field == &buf->busy_rec_string) {
      buf->busy_rec_string_size = 0;
      buf->busy_rec_string_ptr = 0;
    } else if (t.field == &buf->offhook_rec_string) {
      buf->offhook_rec_string_size = 0;
      buf->offhook_rec_string_ptr = 0;
    }
    if (t.value && !copy_text(t.field, t.value)) {
      elog_log(1, "serialbuf_set_modem_control: strdup(%s) error.\n", t.name);
      return -1;
    }
    // The watcher sizes follow the stored texts, so an empty text is never watched.
    if (t.field == &buf->busy_rec_string && buf->busy_rec_string)
      buf->busy_rec_string_size = (int)strlen(buf->busy_rec_string);
    else if (t.field == &buf->offhook_rec_string && buf->offhook_rec_string)
      buf->offhook_rec_string_size = (int)strlen(buf->offhook_rec_string);
  }
  return 0;
}

int serialbuf_clear_modem_control(SerialBuf *buf) {
  if (buf) buf->modem_control = SERIALBUF_MODEM_NONE;
  return 0;
}

int serialbuf_open(SerialBuf *buf) {
  if (!buf) return -1;
  int rc;
  switch (buf->com_mode) {
    case SERIALBUF_SERIAL:
      buf->state = SERIALBUF_CLOSED;
      rc = open_serial(buf);
      break;
    case SERIALBUF_TCPCLIENT:
      buf->state = SERIALBUF_CLOSED;
      rc = open_tcpclient(buf);
      break;
    case SERIALBUF_TCPSERVER:
      buf->state = SERIALBUF_CLOSED;
      rc = open_tcpserver(buf);
      break;
    default:
      elog_log(0, "serialbuf_open: Illegal com_mode value '%d'.\n", buf->com_mode);
      return -1;
  }
  if (rc < 0) return -1;
  buf->state = SERIALBUF_OPEN;
  return 0;
}

int serialbuf_connect(SerialBuf *buf, int listen, const char *phone_number) {
  if (!buf) return -1;
  switch (buf->state) {
    case SERIALBUF_CLOSED:
      if (serialbuf_open(buf) < 0) {
        elog_log(0, "serialbuf_connect: serialbuf_open() error.\n");
        return -1;
      }
      break;
    case SERIALBUF_OPEN:
      break;
    case SERIALBUF_CONNECTED:
      if (serialbuf_disconnect(buf) < 0) {
        elog_log(0, "serialbuf_connect: serialbuf_disconnect() error.\n");
        return -1;
      }
      break;
    default:
      elog_log(0, "serialbuf_connect: Illegal state value '%d'.\n", buf->state);
      return -1;
  }
  switch (buf->com_mode) {
    case SERIALBUF_TCPSERVER: {
      close_fd(&buf->fd);
      sockaddr_in peer{};
      int fd = accept_client(buf, &peer);
      if (fd == kAcceptStopped) return SERIALBUF_STOPPED;
      if (fd < 0) {
        elog_log(1, "serialbuf_connect: accept() error.\n");
        return -1;
      }
      buf->fd = fd;
      break;
    }
    case SERIALBUF_TCPCLIENT:
      // A disconnected client has closed its connection: make a new one.
      if (buf->fd < 0 && serialbuf_open(buf) < 0) {
        elog_log(0, "serialbuf_connect: serialbuf_open() error.\n");
        return -1;
      }
      break;
    case SERIALBUF_SERIAL:
      break;
    default:
      elog_log(0, "serialbuf_connect: Illegal com_mode value '%d'.\n", buf->com_mode);
      return -1;
  }
  if (!has_modem(buf)) {
    buf->state = SERIALBUF_CONNECTED;
    return 0;
  }
  return modem_dialogue(buf, listen, phone_number);
}

SerialBuf *serialbuf_connect_tcpserver(SerialBuf *buf) {
  if (!buf) return nullptr;
  if (buf->com_mode != SERIALBUF_TCPSERVER) {
    elog_log(0, "serialbuf_connect_tcpserver: com_mode must be TCPSERVER.\n");
    return nullptr;
  }
  if (buf->state != SERIALBUF_OPEN) {
    elog_log(0, "serialbuf_connect_tcpserver: state must be OPEN.\n");
    return nullptr;
  }
  SerialBuf *c = serialbuf_create_tcpclient("xxx", buf->port, buf->size, buf->timeout,
                                            buf->timeout_control, buf->tries, buf->idle_callback,
                                            buf->userdata1, buf->log_callback, buf->userdata2,
                                            buf->userdata3, buf->datarate_callback, buf->userdata4);
  if (!c) {
    elog_log(1, "serialbuf_connect_tcpserver: serialbuf_create_tcpclient() error.\n");
    return nullptr;
  }
  sockaddr_in peer{};
  int fd = accept_client(buf, &peer);
  if (fd < 0) {
    if (fd == kAcceptStopped)
      elog_log(0, "serialbuf_connect_tcpserver: wait stopped by the idle callback.\n");
    else
      elog_log(1, "serialbuf_connect_tcpserver: accept() error.\n");
    serialbuf_free(c);
    return nullptr;
  }
  c->fd = fd;
  // The peer's port, from its bytes in network order.
  unsigned char port_bytes[2];
  memcpy(port_bytes, &peer.sin_port, sizeof port_bytes);
  unsigned char *cursor = port_bytes;
  unsigned short port = 0;
  if (ums2hs(&cursor, &port, 1) < 0) elog_log(0, "serialbuf_connect_tcpserver: ums2hs() error.\n");
  const unsigned char *a = (const unsigned char *)&peer.sin_addr.s_addr;
  snprintf(c->recv_hostport, sizeof c->recv_hostport, "%d.%d.%d.%d:%d", a[0], a[1], a[2], a[3],
           (int)port);
  c->state = SERIALBUF_CONNECTED;
  return c;
}

int serialbuf_disconnect(SerialBuf *buf) {
  if (!buf) return -1;
  switch (buf->state) {
    case SERIALBUF_CLOSED:
    case SERIALBUF_OPEN:
      return 0;
    case SERIALBUF_CONNECTED:
      break;
    default:
      elog_log(0, "serialbuf_disconnect: Illegal state value '%d'.\n", buf->state);
      return -1;
  }
  if (buf->com_mode != SERIALBUF_SERIAL && buf->com_mode != SERIALBUF_TCPCLIENT &&
      buf->com_mode != SERIALBUF_TCPSERVER) {
    elog_log(0, "serialbuf_disconnect: Illegal com_mode value '%d'.\n", buf->com_mode);
    return -1;
  }
  // The hang-up texts go out while the connection still stands; the line is dropped
  // whatever they bring.
  int result = has_modem(buf) ? modem_hangup(buf) : 0;
  if (buf->com_mode == SERIALBUF_SERIAL) {
    if (buf->fd >= 0 && buf->modem_control == SERIALBUF_MODEM_LOCAL) serialbuf_hangup(buf->fd);
  } else {
    // The accepted connection of a server, or a client's connection (a later connect
    // makes a new one).
    close_fd(&buf->fd);
  }
  buf->state = SERIALBUF_OPEN;
  buf->connecting = 0;
  reset_input(buf);
  return result;
}

int serialbuf_close(SerialBuf *buf) {
  if (!buf || buf->state == SERIALBUF_CLOSED) return 0;
  close_fd(&buf->fd);
  close_fd(&buf->fdserver);
  buf->state = SERIALBUF_CLOSED;
  reset_input(buf);
  return 0;
}

int serialbuf_clear(SerialBuf *buf) {
  if (!buf) return 0;
  std::vector<unsigned char> junk(kClearRead);
  double start = clock_monotonic();
  for (;;) {
    double left = kClearTime - (clock_monotonic() - start);
    if (left <= 0) break;
    int r = fdwait(buf->fd, (int)std::ceil(left * 1000.0));
    if (r < 0) break;
    if (r > 0) {
      ssize_t n;
      do {
        n = read(buf->fd, junk.data(), junk.size());
      } while (n < 0 && errno == EINTR);
      if (n <= 0) break;  // end of input: nothing more will come
    } else {
      clock_sleep(0.1);
    }
  }
  memset(buf->line, 0, (size_t)buf->line_size);
  reset_input(buf);
  return 0;
}

int serialbuf_destroy(SerialBuf *buf) {
  if (!buf) return 0;
  serialbuf_disconnect(buf);
  serialbuf_close(buf);
  serialbuf_free(buf);
  return 0;
}

void serialbuf_free(SerialBuf *buf) {
  if (!buf) return;
  char **texts[] = {&buf->dev,
                    &buf->ipaddr,
                    &buf->dialout_string_prefix,
                    &buf->dialout_string_suffix,
                    &buf->listen_string,
                    &buf->nolisten_string,
                    &buf->hangup_string,
                    &buf->attention_string,
                    &buf->ring_rec_string,
                    &buf->busy_rec_string,
                    &buf->connect_rec_string,
                    &buf->offhook_rec_string,
                    &buf->attention_rec_string,
                    &buf->line};
  for (char **t : texts) free(*t);
  free(buf->buf);
  delete buf;
}

int serialbuf_usleep(int usec) {
  if (usec > 0) clock_sleep(usec / 1e6);
  return 0;
}

int serialbuf_get_byte(SerialBuf *buf, unsigned char *byte, int intr) {
  if (!buf || !byte) return -1;
  if (buf->state != SERIALBUF_CONNECTED && !buf->connecting) {
    elog_log(0, "serialbuf_get_byte: not connected.\n");
    return SERIALBUF_NOCARRIER;
  }
  std::lock_guard<std::mutex> comm(buf->mutex_comm);
  if (buf->ptr < buf->occupied) {
    *byte = buf->buf[buf->ptr++];
    return serialbuf_process_rec_strings(buf, *byte);
  }
  buf->ptr = 0;
  buf->occupied = 0;
  // The silence limit, in seconds of the monotonic clock; none below 1 ms.
  double limit = buf->timeout >= 1 ? buf->timeout / 1000.0 : 0;
  double start = clock_monotonic();
  for (;;) {
    const double now = clock_monotonic();
    if (buf->deadline > 0 && now >= buf->deadline) {
      elog_log(0, "serialbuf_get_byte: time limit of the connection reached.\n");
      return SERIALBUF_TIMEOUT;
    }
    double left = limit > 0 ? limit - (now - start) : HUGE_VAL;
    if (buf->deadline > 0) left = std::min(left, buf->deadline - now);
    int wait_ms = kSliceMs;
    if (left < kSliceMs / 1000.0) wait_ms = std::max(1, (int)std::ceil(left * 1000.0));
    int r = fdwait(buf->fd, wait_ms);
    if (r < 0) {
      elog_log(1, "serialbuf_get_byte: fdwait() error.\n");
      return -1;
    }
    if (intr == 1 && buf->idle_callback &&
        buf->idle_callback(buf->userdata1, SERIALBUF_IDLE_WAITED) == SERIALBUF_STOPPED)
      return SERIALBUF_STOPPED;
    if (r > 0) break;
    if (intr == 2 && buf->idle_callback &&
        buf->idle_callback(buf->userdata1, SERIALBUF_IDLE_EMPTY) == SERIALBUF_STOPPED)
      return SERIALBUF_STOPPED;
    if (limit > 0 && clock_monotonic() - start >= limit) {
      if (carrier_lost(buf)) {
        elog_log(0, "serialbuf_get_byte: no carrier detected.\n");
        return SERIALBUF_NOCARRIER;
      }
      elog_log(0, "serialbuf_get_byte: timeout.\n");
      return SERIALBUF_TIMEOUT;
    }
  }
  // A short pause lets more of a burst arrive before the read.
  if (buf->sleep > 0) clock_sleep(buf->sleep / 1e6);
  int n;
  {
    std::lock_guard<std::mutex> rw(buf->mutex_readwrite);
    n = device_read(buf, buf->buf, buf->size);
    if (n > 0) echo(buf, buf->buf, n, kRead, "serialbuf_get_byte");
  }
  if (n < 0) {
    elog_log(1, "serialbuf_get_byte: serialbuf_read() error.\n");
    return -1;
  }
  if (n == 0) {
    if (carrier_lost(buf)) {
      elog_log(0, "serialbuf_get_byte: no carrier detected.\n");
      return SERIALBUF_NOCARRIER;
    }
    elog_log(0, "serialbuf_get_byte: eof.\n");
    return SERIALBUF_EOF;
  }
  buf->occupied = n;
  *byte = buf->buf[0];
  buf->ptr = 1;
  return serialbuf_process_rec_strings(buf, *byte);
}

int serialbuf_process_rec_strings(SerialBuf *buf, unsigned char byte) {
  if (!buf || !has_modem(buf)) return 0;
  if (text_set(buf->busy_rec_string) && buf->busy_rec_string_size > 0) {
    buf->busy_rec_string_ptr = advance_match(buf->busy_rec_string, buf->busy_rec_string_size,
                                             buf->busy_rec_string_ptr, byte);
    if (buf->busy_rec_string_ptr >= buf->busy_rec_string_size) {
      buf->busy_rec_string_ptr = 0;
      elog_log(0, "serialbuf_process_rec_strings: busy signal detected.\n");
      return SERIALBUF_BUSY;
    }
  }
  if (buf->state != SERIALBUF_CONNECTED || !text_set(buf->offhook_rec_string) ||
      buf->offhook_rec_string_size <= 0)
    return 0;
  buf->offhook_rec_string_ptr = advance_match(buf->offhook_rec_string, buf->offhook_rec_string_size,
                                              buf->offhook_rec_string_ptr, byte);
  if (buf->offhook_rec_string_ptr >= buf->offhook_rec_string_size) {
    elog_log(0, "serialbuf_process_rec_strings: no carrier detected.\n");
    buf->state = SERIALBUF_OPEN;
    buf->connecting = 0;
    reset_input(buf);
    return SERIALBUF_NOCARRIER;
  }
  return 0;
}

int serialbuf_read(SerialBuf *buf, void *data, int nbytes) {
  if (!buf) return -1;
  std::lock_guard<std::mutex> rw(buf->mutex_readwrite);
  return device_read(buf, data, nbytes);
}

int serialbuf_write(SerialBuf *buf, const void *data, int nbytes) {
  if (!buf) return -1;
  std::lock_guard<std::mutex> rw(buf->mutex_readwrite);
  int w = device_write(buf, data, nbytes);
  if (w > 0) echo(buf, (const unsigned char *)data, w, kWrite, "serialbuf_write");
  return w;
}

int serialbuf_putback_bytes(SerialBuf *buf, const unsigned char *bytes, int n) {
  if (!buf || n < 0 || (n > 0 && !bytes)) return -1;
  if (n == 0) return 0;
  std::lock_guard<std::mutex> comm(buf->mutex_comm);
  int unread = buf->occupied - buf->ptr;
  if (unread < 0) unread = 0;
  if ((long long)n + unread > (long long)buf->size + 20) {
    elog_log(0, "serialbuf_putback_bytes: no room for %d bytes.\n", n);
    return -1;
  }
  if (n <= buf->ptr) {
    // Into the part already handed out, just before the unread input.
    buf->ptr -= n;
    memcpy(buf->buf + buf->ptr, bytes, (size_t)n);
  } else {
    memmove(buf->buf + n, buf->buf + buf->ptr, (size_t)unread);
    memcpy(buf->buf, bytes, (size_t)n);
    buf->ptr = 0;
    buf->occupied = n + unread;
  }
  return 0;
}

namespace {

// A sliding window over the input for one pattern: each byte is appended (NUL bytes are
// not kept) and, once the window is as long as the pattern, compared with it; on a miss
// its oldest character leaves. Every position of the input is thus tried.
class Window {
 public:
  explicit Window(std::string pattern) : pattern_(std::move(pattern)) {}
  // True when the byte completes the pattern. A character leaving the full window is
  // appended to *left when that is given.
  bool feed(unsigned char c, std::string *left) {
    if (c == 0) return false;
    window_.push_back((char)c);
    if (window_.size() < pattern_.size()) return false;
    if (window_ == pattern_) return true;
    if (left) left->push_back(window_.front());
    window_.erase(0, 1);
    return false;
  }

 private:
  std::string pattern_;
  std::string window_;
};

// The pieces of a pattern cut at every "~"; empty pieces do not count.
std::vector<std::string> pieces_of(const char *until) {
  std::vector<std::string> pieces;
  std::string piece;
  for (const char *p = until;; ++p) {
    if (*p == '~' || *p == 0) {
      if (!piece.empty()) pieces.push_back(piece);
      piece.clear();
      if (*p == 0) break;
    } else {
      piece.push_back(*p);
    }
  }
  return pieces;
}

bool pattern_too_long(const char *who, const char *pattern) {
  if (strlen(pattern) <= (size_t)SERIALBUF_PATTERN_MAX) return false;
  elog_log(0, "%s: pattern longer than %d characters.\n", who, SERIALBUF_PATTERN_MAX);
  return true;
}

// Seconds of the monotonic clock in `timeout` times `factor`; 0 (no limit) for a timeout
// below 1 ms.
double limit_of(const SerialBuf *b, double factor) {
  return b->timeout >= 1 ? factor * b->timeout / 1000.0 : 0;
}

// What serialbuf_read_until_parse keeps: the text that left the window of the current
// piece, its latest `room` characters.
struct Collected {
  size_t room;
  std::string text;
  void keep_latest() {
    if (text.size() > room) text.erase(0, text.size() - room);
  }
};

// Waits for the pieces of `until` one after the other. intr is passed to the byte read;
// piece_limit ends a piece that outlasts `timeout` (1, no message); collect keeps the
// text before each piece, overall_limit (seconds, 0 none) bounds the whole wait.
int wait_pieces(SerialBuf *b, const char *who, const char *until, int intr, bool piece_limit,
                Collected *collect, double overall_limit) {
  if (!text_set(until)) return 0;
  if (pattern_too_long(who, until)) return -1;
  const double limit = piece_limit ? limit_of(b, 1.0) : 0;
  const double begin = clock_monotonic();
  for (const std::string &piece : pieces_of(until)) {
    Window window(piece);
    if (collect) collect->text.clear();
    const double start = clock_monotonic();
    for (;;) {
      unsigned char c = 0;
      int rc = serialbuf_get_byte(b, &c, intr);
      if (rc != 0) return rc;
      double now = clock_monotonic();
      // A byte that comes too late ends the wait even when it completes the piece.
      if (limit > 0 && now - start > limit) return SERIALBUF_TIMEOUT;
      if (overall_limit > 0 && now - begin > overall_limit) {
        elog_log(0, "%s: no pattern within %.1f s.\n", who, overall_limit);
        return SERIALBUF_TIMEOUT;
      }
      bool match = window.feed(c, collect ? &collect->text : nullptr);
      if (collect) collect->keep_latest();
      if (match) break;
    }
  }
  return 0;
}

// Waits for either of two whole patterns: 0 for `until` (compared first), 6 for
// `until2`. With `limited`, 1 once the wait outlasts twice `timeout`.
int wait_two(SerialBuf *b, const char *who, const char *until, const char *until2, int intr,
             bool limited) {
  if (!text_set(until) || !text_set(until2)) return 0;
  if (pattern_too_long(who, until) || pattern_too_long(who, until2)) return -1;
  const double limit = limited ? limit_of(b, 2.0) : 0;
  const double start = clock_monotonic();
  Window first(until), second(until2);
  for (;;) {
    unsigned char c = 0;
    int rc = serialbuf_get_byte(b, &c, intr);
    if (rc != 0) return rc;
    if (limit > 0 && clock_monotonic() - start > limit) return SERIALBUF_TIMEOUT;
    bool one = first.feed(c, nullptr);
    bool two = second.feed(c, nullptr);
    if (one) return 0;
    if (two) return SERIALBUF_SECOND;
  }
}

// One piece of a modem string: text to write, then a pause in seconds.
struct ModemPiece {
  std::string text;
  double pause = 0;
};

// Cuts a modem string at its "<sl=N>" pause tokens. False for a token without its
// closing ">" or without a number of seconds.
bool modem_pieces(const char *string, std::vector<ModemPiece> *out) {
  static const char kToken[] = "<sl=";
  const char *p = string;
  for (;;) {
    const char *token = strstr(p, kToken);
    ModemPiece piece;
    if (!token) {
      piece.text = p;
      out->push_back(piece);
      return true;
    }
    piece.text.assign(p, (size_t)(token - p));
    const char *number = token + strlen(kToken);
    const char *close = strchr(number, '>');
    if (!close || close == number) return false;
    std::string digits(number, (size_t)(close - number));
    char *end = nullptr;
    double seconds = strtod(digits.c_str(), &end);
    if (*end != 0 || !(seconds >= 0) || seconds > 86400) return false;
    piece.pause = seconds;
    out->push_back(piece);
    p = close + 1;
  }
}

// Runs one modem step of serialbuf_connect: what the modem sends back is logged line by
// line, and reads work before the record is connected.
class ModemStep {
 public:
  explicit ModemStep(SerialBuf *b, int rverbose) : b_(b), rverbose_(rverbose) {
    b_->rverbose = 3;
    b_->connecting = 1;
  }
  ~ModemStep() {
    b_->rverbose = rverbose_;
    b_->connecting = 0;
  }
  ModemStep(const ModemStep &) = delete;
  ModemStep &operator=(const ModemStep &) = delete;

 private:
  SerialBuf *b_;
  int rverbose_;
};

// Sends one of the command texts awaiting the modem's answer, 2 tries, as a step of
// serialbuf_connect; logs a failure with the text's name.
int command_step(SerialBuf *b, int rverbose, const char *text, const char *name) {
  int rc;
  {
    ModemStep step(b, rverbose);
    rc = serialbuf_send_modem_string(b, text, b->attention_rec_string, 2);
  }
  if (rc == SERIALBUF_TIMEOUT)
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(%s) timeout.\n", name);
  else if (rc != 0)
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(%s) error.\n", name);
  return rc;
}

int dial_out(SerialBuf *b, int rverbose, const char *phone_number) {
  int rc;
  {
    ModemStep step(b, rverbose);
    rc = serialbuf_send_modem_string(b, b->nolisten_string, b->attention_rec_string, 2);
  }
  if (rc == SERIALBUF_TIMEOUT) {
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(nolisten_string) timeout.\n");
    return SERIALBUF_TIMEOUT;
  }
  if (rc == SERIALBUF_BUSY) {
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(nolisten_string) line busy.\n");
    return SERIALBUF_BUSY;
  }
  if (rc != 0) {
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(nolisten_string) error.\n");
    return -1;
  }
  // Nothing to dial: the modem is ready, the line counts as connected.
  if (!text_set(b->dialout_string_prefix) || !text_set(phone_number)) {
    b->state = SERIALBUF_CONNECTED;
    return 0;
  }
  std::string dial = std::string(b->dialout_string_prefix) + phone_number;
  if (b->dialout_string_suffix) dial += b->dialout_string_suffix;
  if (dial.size() > (size_t)SERIALBUF_PATTERN_MAX) {
    elog_log(0, "serialbuf_connect: dial text longer than %d characters.\n", SERIALBUF_PATTERN_MAX);
    return -1;
  }
  const int timeout = b->timeout;
  b->timeout = b->timeout_connect;
  {
    ModemStep step(b, rverbose);
    rc = serialbuf_send_modem_string(b, dial.c_str(), b->connect_rec_string, 1);
  }
  b->timeout = timeout;
  if (rc == 0) {
    b->state = SERIALBUF_CONNECTED;
    return 0;
  }
  if (rc == SERIALBUF_TIMEOUT)
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(%s) timeout.\n", dial.c_str());
  else if (rc == SERIALBUF_BUSY)
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(%s) line busy.\n", dial.c_str());
  else
    elog_log(0, "serialbuf_connect: serialbuf_send_modem_string(%s) error.\n", dial.c_str());
  return rc;
}

int answer(SerialBuf *b, int rverbose) {
  int rc = command_step(b, rverbose, b->listen_string, "listen_string");
  if (rc != 0) return rc;
  const int timeout = b->timeout;
  // The ring may take any time; only the idle callback or a fault ends that wait.
  b->timeout = 0;
  {
    ModemStep step(b, rverbose);
    rc = serialbuf_read_until_intr(b, b->ring_rec_string);
  }
  b->timeout = timeout;
  if (rc == SERIALBUF_STOPPED) return SERIALBUF_STOPPED;
  if (rc != 0) {
    elog_log(0, "serialbuf_connect: serialbuf_read_until_intr(ring_rec_string) error.\n");
    return rc;
  }
  b->timeout = b->timeout_connect;
  {
    ModemStep step(b, rverbose);
    rc = serialbuf_read_until(b, b->connect_rec_string);
  }
  b->timeout = timeout;
  if (rc != 0) {
    elog_log(0, "serialbuf_connect: serialbuf_read_until(connect_rec_string) error.\n");
    return rc;
  }
  b->state = SERIALBUF_CONNECTED;
  return 0;
}

int modem_dialogue(SerialBuf *b, int listen, const char *phone_number) {
  const int rverbose = b->rverbose;
  int rc = command_step(b, rverbose, b->attention_string, "attention_string");
  if (rc != 0) return rc;
  rc = command_step(b, rverbose, b->hangup_string, "hangup_string");
  if (rc != 0) return rc;
  return listen ? answer(b, rverbose) : dial_out(b, rverbose, phone_number);
}

int modem_hangup(SerialBuf *b) {
  const struct {
    const char *text;
    const char *name;
  } steps[] = {{b->attention_string, "attention_string"}, {b->hangup_string, "hangup_string"}};
  for (const auto &s : steps) {
    int rc = serialbuf_send_modem_string(b, s.text, b->attention_rec_string, 2);
    if (rc == SERIALBUF_TIMEOUT) {
      elog_log(0, "serialbuf_disconnect: serialbuf_send_modem_string(%s) timeout.\n", s.name);
      return rc;
    }
    if (rc != 0) {
      elog_log(0, "serialbuf_disconnect: serialbuf_send_modem_string(%s) error.\n", s.name);
      return rc;
    }
  }
  return 0;
}

}  // namespace

int serialbuf_read_until(SerialBuf *buf, const char *until) {
  if (!buf) return -1;
  return wait_pieces(buf, "serialbuf_read_until", until, 0, true, nullptr, 0);
}

int serialbuf_read_until_intr(SerialBuf *buf, const char *until) {
  if (!buf) return -1;
  return wait_pieces(buf, "serialbuf_read_until_intr", until, 2, false, nullptr, 0);
}

int serialbuf_read_until2(SerialBuf *buf, const char *until, const char *until2) {
  if (!buf) return -1;
  return wait_two(buf, "serialbuf_read_until2", until, until2, 0, true);
}

int serialbuf_read_until2_intr(SerialBuf *buf, const char *until, const char *until2) {
  if (!buf) return -1;
  return wait_two(buf, "serialbuf_read_until2_intr", until, until2, 2, false);
}

int serialbuf_read_until_parse(SerialBuf *buf, const char *until, char *value, int len_value) {
  if (!buf || !value || len_value < 1) {
    elog_log(0, "serialbuf_read_until_parse: no room for the value.\n");
    return -1;
  }
  value[0] = 0;
  Collected collect{(size_t)len_value - 1, {}};
  // A peer that talks on without ever sending the pattern gets ten times `timeout`.
  int rc = wait_pieces(buf, "serialbuf_read_until_parse", until, 0, false, &collect,
                       limit_of(buf, kParseLimitFactor));
  memcpy(value, collect.text.data(), collect.text.size());
  value[collect.text.size()] = 0;
  return rc;
}

int serialbuf_send_modem_string(SerialBuf *buf, const char *string, const char *response,
                                int tries) {
  if (!buf) return -1;
  if (!text_set(string)) return 0;
  if (buf->state != SERIALBUF_CONNECTED && !buf->connecting) return SERIALBUF_NOCARRIER;
  // Everything is checked before the first byte goes out.
  if (strlen(string) > (size_t)SERIALBUF_PATTERN_MAX) {
    elog_log(0, "serialbuf_send_modem_string: string longer than %d characters.\n",
             SERIALBUF_PATTERN_MAX);
    return -1;
  }
  if (response && pattern_too_long("serialbuf_send_modem_string", response)) return -1;
  std::vector<ModemPiece> pieces;
  if (!modem_pieces(string, &pieces)) {
    elog_log(0, "serialbuf_send_modem_string: string format error.\n");
    return -1;
  }
  for (int attempt = 1;; ++attempt) {
    for (const ModemPiece &piece : pieces) {
      if (!piece.text.empty()) {
        int n = (int)piece.text.size();
        int w = serialbuf_write(buf, piece.text.data(), n);
        if (buf->wverbose) {
          printf("writing %ld bytes: ", (long)n);
          char one[2];
          for (unsigned char c : piece.text) fputs(dump_escape(c, one), stdout);
          fputc('\n', stdout);
          fflush(stdout);
        }
        if (w != n) {
          if (w >= 0) errno = EIO;
          elog_log(1, "serialbuf_send_modem_string: serialbuf_write() error.\n");
          return -1;
        }
      }
      if (piece.pause > 0) clock_sleep(piece.pause);
    }
    if (!text_set(response)) return 0;
    int rc = serialbuf_read_until(buf, response);
    if (rc == 0) return 0;
    if (attempt >= tries) {
      if (rc == SERIALBUF_TIMEOUT)
        elog_log(0, "serialbuf_send_modem_string: timeout.\n");
      else
        elog_log(0, "serialbuf_send_modem_string: read_until() error.\n");
      return rc;
    }
    if (rc == SERIALBUF_TIMEOUT)
      elog_complain(0, "serialbuf_send_modem_string: timeout...retrying\n");
    else
      elog_complain(0, "serialbuf_send_modem_string: read_until() error...retrying\n");
    clock_sleep(2.0);
  }
}
