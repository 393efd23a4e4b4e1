// altussim_dial.cpp - dial-in, dial-out and the modem front of the simulated datalogger.
#include "altussim_dial.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/clock.h"

namespace altussim {

struct Line::Conn {
  int fd = -1;  // the line
  bool own = false;
  bool dialin = false;
  int index = 0;  // 1 = first connection
  CallScript script;
  int inner = -1;  // the socket-pair end the relay uses; the simulator has the other
  std::unique_ptr<Sim> sim;
  std::thread thread;
  std::atomic<bool> done{false};
  bool line_closed = false;
};

namespace {

sockaddr_in loopback(int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons((uint16_t)port);
  return sa;
}

bool write_all(int fd, const char *p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= (size_t)w;
  }
  return true;
}

}  // namespace

Line::Line(Setup setup) : setup_(std::move(setup)) {}

Line::~Line() { stop(); }

void Line::stop() {
  stop_ = true;
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<Conn *> all;
  {
    std::lock_guard<std::mutex> l(mutex_);
    for (auto &c : conns_) all.push_back(c.get());
  }
  for (Conn *c : all) {
    if (c->thread.joinable()) c->thread.join();
  }
  if (listen_fd_ >= 0) close(listen_fd_);
  listen_fd_ = -1;
}

void Line::set_modem(const ModemFront &m) {
  std::lock_guard<std::mutex> l(mutex_);
  modem_ = m;
}

void Line::drop(Drop where, int nth, size_t bytes) {
  std::lock_guard<std::mutex> l(mutex_);
  drop_ = where;
  drop_nth_ = nth;
  drop_bytes_ = bytes;
}

int Line::connections() {
  std::lock_guard<std::mutex> l(mutex_);
  return (int)conns_.size();
}

bool Line::finished() {
  std::lock_guard<std::mutex> l(mutex_);
  for (auto &c : conns_) {
    if (!c->done) return false;
  }
  return true;
}

std::string Line::heard() {
  std::lock_guard<std::mutex> l(mutex_);
  return heard_;
}

Sim *Line::sim(int n) {
  std::lock_guard<std::mutex> l(mutex_);
  if (n < 1 || n > (int)conns_.size()) return nullptr;
  return conns_[(size_t)n - 1]->sim.get();
}

int Line::call_tcp(int port, const CallScript &script) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa = loopback(port);
  if (fd < 0 || connect(fd, (sockaddr *)&sa, sizeof sa) < 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  start_conn(fd, true, true, script);
  return 0;
}

void Line::call_fd(int fd, const CallScript &script) { start_conn(fd, false, true, script); }

void Line::answer_fd(int fd) { start_conn(fd, false, false, CallScript{}); }

int Line::answer_tcp(int port, const char *host) {
  return accept_on(port, false, CallScript{}, host);
}

int Line::answer_tcp_dialin(const CallScript &script, int port) {
  return accept_on(port, true, script);
}

int Line::accept_on(int port, bool dialin, const CallScript &script, const char *host) {
  sockaddr_in sa = loopback(port);
  if (host != nullptr) {
    in_addr a{};
    if (inet_pton(AF_INET, host, &a) != 1 || (ntohl(a.s_addr) >> 24) != 127) return -1;
    sa.sin_addr = a;
  }
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listen_fd_ < 0) return -1;
  int on = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listen_fd_, (sockaddr *)&sa, sizeof sa) < 0 || listen(listen_fd_, 4) < 0) return -1;
  socklen_t len = sizeof sa;
  getsockname(listen_fd_, (sockaddr *)&sa, &len);
  accept_thread_ = std::thread([this, dialin, script] {
    while (!stop_) {
      pollfd p = {listen_fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) start_conn(fd, true, dialin, script);
    }
  });
  return ntohs(sa.sin_port);
}

void Line::start_conn(int fd, bool own, bool dialin, const CallScript &script) {
  auto c = std::make_unique<Conn>();
  c->fd = fd;
  c->own = own;
  c->dialin = dialin;
  c->script = script;
  c->sim = std::make_unique<Sim>();
  if (setup_) setup_(*c->sim);
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
    c->inner = sv[0];
    c->sim->use_fd(sv[1]);
    // The simulator's end stays open until the Line ends, as use_fd does not close it.
    std::lock_guard<std::mutex> l(mutex_);
    c->index = (int)conns_.size() + 1;
    Conn *raw = c.get();
    conns_.push_back(std::move(c));
    raw->thread = std::thread([this, raw, sim_end = sv[1]] {
      serve(raw);
      raw->sim->stop();
      close(sim_end);
      raw->done = true;
    });
  } else if (own) {
    close(fd);
  }
}

bool Line::drops(Conn *c, Drop where) {
  std::lock_guard<std::mutex> l(mutex_);
  return drop_ == where && (drop_nth_ == 0 || drop_nth_ == c->index);
}

void Line::put(Conn *c, const std::string &text) { write_all(c->fd, text.data(), text.size()); }

// Reads the line until `text` arrived (kept in heard_) or `seconds` of clock time passed.
bool Line::wait_for(Conn *c, const std::string &text, double seconds) {
  std::string got;
  double end = clock_monotonic() + seconds;
  while (!stop_ && clock_monotonic() < end) {
    pollfd p = {c->fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char tmp[512];
    ssize_t n = read(c->fd, tmp, sizeof tmp);
    if (n <= 0) return false;
    got.append(tmp, (size_t)n);
    {
      std::lock_guard<std::mutex> l(mutex_);
      heard_.append(tmp, (size_t)n);
    }
    if (got.find(text) != std::string::npos) return true;
  }
  return false;
}

// The modem between the line and the datalogger. True once the call is made.
bool Line::modem_front(Conn *c) {
  ModemFront m;
  {
    std::lock_guard<std::mutex> l(mutex_);
    m = modem_;
  }
  std::string line;
  while (!stop_) {
    pollfd p = {c->fd, POLLIN, 0};
    if (poll(&p, 1, 20) <= 0) continue;
    char tmp[256];
    ssize_t n = read(c->fd, tmp, sizeof tmp);
    if (n <= 0) return false;
    {
      std::lock_guard<std::mutex> l(mutex_);
      heard_.append(tmp, (size_t)n);
    }
    for (ssize_t i = 0; i < n; i++) {
      char ch = tmp[i];
      if (ch == '\n') continue;
      if (ch != '\r') {
        line.push_back(ch);
        continue;
      }
      std::string cmd = line;
      line.clear();
      if (cmd.compare(0, 3, "ATD") == 0) {
        if (m.dial_answer.empty()) continue;  // silence
        put(c, "\r\n" + m.dial_answer + "\r\n");
        if (m.dial_answer.compare(0, 7, "CONNECT") == 0) return true;
      } else if (cmd.compare(0, 2, "AT") == 0) {
        put(c, "\r\nOK\r\n");
        // The listen command: the caller rings and the modem answers.
        if (c->dialin && m.ring && cmd.find("S0=") != std::string::npos) {
          put(c, "\r\nRING\r\n");
          put(c, "\r\nCONNECT 9600\r\n");
          return true;
        }
      }
    }
  }
  return false;
}

// The call's dialogue on the line. True when the relay follows.
bool Line::dialogue(Conn *c) {
  bool modem;
  {
    std::lock_guard<std::mutex> l(mutex_);
    modem = modem_.on;
  }
  if (modem && !modem_front(c)) return false;
  if (!c->dialin) return !drops(c, Drop::AFTER_CALL);
  const CallScript &s = c->script;
  if (s.event_detected) {
    put(c, "EVENT DETECTED\r\n");
    return true;
  }
  if (s.emulated && !modem) {
    put(c, s.listen + s.dial);
    if (drops(c, Drop::AFTER_LISTEN)) return false;
    if (!wait_for(c, s.response, 60.0)) return false;
    if (drops(c, Drop::AFTER_RESPONSE)) return false;
    put(c, s.from);
  }
  std::string blank = (s.emulated && !modem) ? " " : "";
  put(c, blank + "Kinemetrics " + s.model + "\r\n");
  if (drops(c, Drop::IN_BANNER)) return false;
  put(c, "S/N " + s.serial + "\r\n");
  put(c, "Press any key to go to command line\r\n");
  return true;
}

void Line::relay(Conn *c) {
  size_t limit = 0;
  if (drops(c, Drop::AFTER_BYTES)) {
    std::lock_guard<std::mutex> l(mutex_);
    limit = drop_bytes_;
  }
  size_t sent = 0;
  c->sim->start();
  while (!stop_) {
    pollfd p[2] = {{c->fd, POLLIN, 0}, {c->inner, POLLIN, 0}};
    if (poll(p, 2, 20) <= 0) continue;
    char tmp[4096];
    if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(c->fd, tmp, sizeof tmp);
      if (n <= 0) return;
      if (!write_all(c->inner, tmp, (size_t)n)) return;
    }
    if (p[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      ssize_t n = read(c->inner, tmp, sizeof tmp);
      if (n <= 0) return;
      size_t k = (size_t)n;
      if (limit > 0 && sent + k >= limit) {
        write_all(c->fd, tmp, limit - sent);
        return;  // the line drops
      }
      sent += k;
      if (!write_all(c->fd, tmp, k)) return;
    }
  }
}

void Line::serve(Conn *c) {
  if (dialogue(c)) relay(c);
  if (c->inner >= 0) close(c->inner);
  c->inner = -1;
  if (c->own && c->fd >= 0) {
    shutdown(c->fd, SHUT_RDWR);
    close(c->fd);
  }
  c->fd = -1;
}

// ---- the program's dial modes ----

const char *altussim_dial_usage() {
  return "       altussim -dialin port | -dialin-pty | -dialout port | -dialout-pty |\n"
         "                -dialin-answer port\n"
         "                [-nomodemlisten] [-event] [-banner-model text] [-banner-serial text]\n"
         "                [-modem answer|busy|silent|nocarrier] [-linedrop phase[:bytes]]\n"
         "                [-refuse-password]\n"
         "  -dialin/-dialin-pty - a modem that calls kessaro's TCP port or pty\n"
         "  -dialout/-dialout-pty - a modem that kessaro dials on a TCP port or pty\n"
         "  -dialin-answer - dialled out to, then calls back\n"
         "  -nomodemlisten - no emulated modem dialogue on the line\n"
         "  -event - the call reports a detected event\n"
         "  -banner-model/-banner-serial - the model and serial the banner shows\n"
         "  -modem - how the modem answers a dial\n"
         "  -linedrop - the line drops at that phase (after `bytes` bytes)\n"
         "  -refuse-password - the console refuses the password\n"
         "  phase - listen, response, banner, call or bytes\n";
}

bool altussim_dial_option(int argc, char **argv, int *i, DialOptions *o) {
  std::string a = argv[*i];
  const char *v = *i + 1 < argc ? argv[*i + 1] : nullptr;
  auto take = [&]() {
    (*i)++;
    return std::string(v);
  };
  if (a == "-dialin" && v) {
    o->dialin_port = atoi(take().c_str());
  } else if (a == "-dialin-pty") {
    o->dialin_pty = true;
  } else if (a == "-dialout" && v) {
    o->dialout_port = atoi(take().c_str());
  } else if (a == "-dialin-answer" && v) {
    o->dialout_port = atoi(take().c_str());
    o->dialin_on_answer = true;
  } else if (a == "-dialout-pty") {
    o->dialout_pty = true;
  } else if (a == "-nomodemlisten") {
    o->script.emulated = false;
  } else if (a == "-refuse-password") {
    o->refuse_password = true;
  } else if (a == "-event") {
    o->script.event_detected = true;
  } else if (a == "-banner-model" && v) {
    o->script.model = take();
  } else if (a == "-banner-serial" && v) {
    o->script.serial = take();
  } else if (a == "-modem" && v) {
    std::string m = take();
    o->modem.on = true;
    o->modem.dial_answer = m == "busy"        ? "BUSY"
                           : m == "nocarrier" ? "NO CARRIER"
                           : m == "silent"    ? ""
                                              : "CONNECT 9600";
  } else if (a == "-linedrop" && v) {
    std::string d = take();
    std::string phase = d.substr(0, d.find(':'));
    if (d.find(':') != std::string::npos) o->drop_bytes = (size_t)atol(d.c_str() + d.find(':') + 1);
    o->drop = phase == "listen"     ? Drop::AFTER_LISTEN
              : phase == "response" ? Drop::AFTER_RESPONSE
              : phase == "banner"   ? Drop::IN_BANNER
              : phase == "call"     ? Drop::AFTER_CALL
              : phase == "bytes"    ? Drop::AFTER_BYTES
                                    : Drop::NONE;
  } else {
    return false;
  }
  return true;
}

int altussim_dial_run(const DialOptions &o, Line::Setup setup, const std::atomic<bool> *stop) {
  Line line([setup = std::move(setup), refuse = o.refuse_password](Sim &s) {
    if (setup) setup(s);
    if (refuse) s.set_script(28, Script{128, {{28, 0, 'n', 'o', 0}}, {}});
  });
  line.set_modem(o.modem);
  line.drop(o.drop, 0, o.drop_bytes);
  int master = -1;
  if (o.dialin_pty || o.dialout_pty) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) < 0 || unlockpt(master) < 0) {
      perror("altussim: posix_openpt");
      return -1;
    }
    printf("altussim: line on %s\n", ptsname(master));
    fflush(stdout);
    if (o.dialin_pty) {
      line.call_fd(master, o.script);
    } else {
      line.answer_fd(master);
    }
  } else if (o.dialin_port > 0) {
    // A datalogger calls again until its call is taken.
    bool told = false;
    while (line.call_tcp(o.dialin_port, o.script) < 0) {
      if (!told) fprintf(stderr, "altussim: cannot call 127.0.0.1:%d yet\n", o.dialin_port);
      told = true;
      if (*stop) return 0;
      clock_sleep(0.5);
    }
  } else if (o.dialout_port >= 0) {
    int p = o.dialin_on_answer ? line.answer_tcp_dialin(o.script, o.dialout_port)
                               : line.answer_tcp(o.dialout_port);
    if (p < 0) {
      fprintf(stderr, "altussim: cannot answer on 127.0.0.1:%d\n", o.dialout_port);
      return -1;
    }
    printf(o.dialin_on_answer ? "altussim: calling in on connections to 127.0.0.1:%d\n"
                              : "altussim: answering calls on 127.0.0.1:%d\n",
           p);
    fflush(stdout);
  }
  while (!*stop) clock_sleep(0.1);
  line.stop();
  if (master >= 0) close(master);
  return 0;
}

}  // namespace altussim
