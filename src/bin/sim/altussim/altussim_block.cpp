// altussim_block.cpp - the simulated Altus datalogger in block mode.
#include "altussim_block.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "base/clock.h"

namespace altussim {

namespace {

constexpr unsigned char kEnd = 0xC0, kEsc = 0x5C, kEscEnd = 0xDD, kEscEsc = 0xDC;

void put16(Bytes &b, unsigned v) {
  b.push_back((unsigned char)(v >> 8));
  b.push_back((unsigned char)v);
}
void put32(Bytes &b, uint32_t v) {
  put16(b, v >> 16);
  put16(b, v & 0xFFFF);
}

}  // namespace

uint16_t crc16(const unsigned char *p, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; i++) {
    crc ^= (uint16_t)(p[i] << 8);
    for (int b = 0; b < 8; b++)
      crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
  }
  return crc;
}

Bytes packet(int type, int seq, const Bytes &data) {
  Bytes p;
  p.push_back((unsigned char)type);
  p.push_back((unsigned char)seq);
  put16(p, 0);  // source: the datalogger
  put16(p, 1);  // destination: the program
  put16(p, (unsigned)data.size());
  unsigned h = 0;
  for (auto c : p) h += c;
  p.push_back((unsigned char)h);
  unsigned d = 0;
  for (auto c : data) d += c;
  p.insert(p.end(), data.begin(), data.end());
  put16(p, d & 0xFFFF);
  return p;
}

Bytes frame(const Bytes &pkt) {
  Bytes f{kEnd};
  for (auto c : pkt) {
    if (c == kEnd) {
      f.push_back(kEsc);
      f.push_back(kEscEnd);
    } else if (c == kEsc) {
      f.push_back(kEsc);
      f.push_back(kEscEsc);
    } else {
      f.push_back(c);
    }
  }
  f.push_back(kEnd);
  return f;
}

Bytes encode_samples(const std::vector<int32_t> &samples) {
  Bytes b;
  int32_t prev = 0;
  bool first = true;
  for (int32_t s : samples) {
    int32_t half = s / 2;
    int32_t diff = half - prev / 2;
    if (!first && diff >= -16384 && diff <= 16383) {
      put16(b, (unsigned)diff & 0x7FFF);
    } else {
      uint32_t v = (uint32_t)half & 0x7FFFFF;
      b.push_back((unsigned char)(0x80 | (v >> 16)));
      b.push_back((unsigned char)(v >> 8));
      b.push_back((unsigned char)v);
    }
    prev = s;
    first = false;
  }
  return b;
}

Bytes strdata_payload(int serial, int stream, uint32_t seq, uint32_t altustime, int msec,
                      const std::vector<int32_t> &samples) {
  Bytes d;
  put16(d, (unsigned)serial);
  d.push_back((unsigned char)stream);
  d.push_back(0x03);  // format
  put32(d, seq);
  put32(d, altustime);
  put16(d, (unsigned)msec);
  put16(d, 0);
  Bytes s = encode_samples(samples);
  d.insert(d.end(), s.begin(), s.end());
  put32(d, crc16(d.data(), d.size()));
  return d;
}

Bytes direntry(const std::string &name, const std::string &ext, uint32_t size, uint32_t time,
               int attr) {
  Bytes d;
  put32(d, time);
  put32(d, size);
  std::string e = (ext + "   ").substr(0, 3);
  d.insert(d.end(), e.begin(), e.end());
  d.push_back(0);
  std::string n = (name + "        ").substr(0, 8);
  d.insert(d.end(), n.begin(), n.end());
  d.push_back(0);
  d.push_back((unsigned char)attr);
  return d;
}

Sim::Sim() = default;

Sim::~Sim() {
  stop();
  if (listen_fd_ >= 0) close(listen_fd_);
  for (int fd : more_listen_fds_) close(fd);
  if (own_fd_ && fd_ >= 0) close(fd_);
}

namespace {

// "host:port" of a socket's own end.
std::string local_address(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  char host[INET_ADDRSTRLEN] = "?";
  if (getsockname(fd, (sockaddr *)&sa, &len) == 0)
    inet_ntop(AF_INET, &sa.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(sa.sin_port));
}

}  // namespace

int Sim::listen_tcp(int port, const char *host) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (listen_fd_ < 0) {
    listen_fd_ = fd;
  } else {
    more_listen_fds_.push_back(fd);
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (host != nullptr && inet_pton(AF_INET, host, &sa.sin_addr) != 1) return -1;
  sa.sin_port = htons((uint16_t)port);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(fd, (sockaddr *)&sa, sizeof sa) < 0 || ::listen(fd, 1) < 0) return -1;
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr *)&sa, &len);
  return ntohs(sa.sin_port);
}

std::vector<std::string> Sim::accepted() {
  std::lock_guard<std::mutex> l(mutex_);
  return accepted_;
}

int Sim::connect_tcp(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons((uint16_t)port);
  if (fd < 0 || connect(fd, (sockaddr *)&sa, sizeof sa) < 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  fd_ = fd;
  own_fd_ = true;
  return 0;
}

void Sim::use_fd(int fd) {
  fd_ = fd;
  own_fd_ = false;
}

void Sim::start() {
  thread_ = std::thread([this] { run(); });
  if (flood_rate_ > 0) flood_thread_ = std::thread([this] { flood(); });
}

void Sim::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (flood_thread_.joinable()) flood_thread_.join();
}

void Sim::set_flood(int per_second, double seconds, double after) {
  flood_rate_ = per_second;
  flood_seconds_ = seconds;
  flood_after_ = after;
}

void Sim::flood() {
  while (!stop_) {
    {
      std::lock_guard<std::mutex> w(write_mutex_);
      if (fd_ >= 0) break;
    }
    clock_sleep(0.05);
  }
  double begin = clock_monotonic() + flood_after_;
  while (!stop_ && clock_monotonic() < begin) clock_sleep(0.05);
  const long total = (long)(flood_rate_ * flood_seconds_);
  unsigned rng = 987654321u;
  auto next = [&rng] {
    rng = rng * 1103515245u + 12345u;
    return rng >> 16;
  };
  double start = clock_monotonic();
  while (!stop_ && flood_sent_ < total) {
    double now = clock_monotonic();
    if (now - start >= flood_seconds_) break;
    long due = std::min(total, (long)((now - start) * flood_rate_) + 1);
    while (flood_sent_ < due) {
      Bytes data(next() % 17);
      for (unsigned char &b : data) b = (unsigned char)next();
      int type = (int)(next() % 256);
      send_bytes(frame(packet(type, (int)(next() % 256), data)));
      flood_sent_++;
    }
    clock_sleep(0.01);
  }
}

void Sim::add_fault(const Fault &f) {
  std::lock_guard<std::mutex> l(mutex_);
  faults_.push_back(f);
}
void Sim::set_script(int command, const Script &s) {
  std::lock_guard<std::mutex> l(mutex_);
  scripts_[command] = s;
  script_pos_[command] = 0;
}
void Sim::push_unsolicited(int type, const Bytes &payload) {
  std::lock_guard<std::mutex> l(mutex_);
  unsolicited_.push_back(packet(type, 0, payload));
}
void Sim::push_raw(const Bytes &b) {
  std::lock_guard<std::mutex> l(mutex_);
  raw_.push_back(b);
}
std::vector<std::pair<int, int>> Sim::commands() {
  std::lock_guard<std::mutex> l(mutex_);
  return commands_;
}

void Sim::write_all(const unsigned char *p, size_t n) {
  while (n > 0 && fd_ >= 0) {
    // A socket is written without SIGPIPE, so that a link the far end closed ends the
    // write, not the process; other lines (a pseudo-terminal) are written plainly.
    ssize_t w = send(fd_, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == ENOTSOCK) w = write(fd_, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    p += w;
    n -= (size_t)w;
  }
}

void Sim::send_now(int type, const Bytes &payload) { send_bytes(frame(packet(type, 0, payload))); }

void Sim::send_bytes(const Bytes &b) {
  std::lock_guard<std::mutex> l(write_mutex_);
  if (!chunked_) {
    write_all(b.data(), b.size());
    return;
  }
  size_t off = 0;
  while (off < b.size()) {
    rng_ = rng_ * 1103515245u + 12345u;
    size_t n = 1 + (rng_ >> 16) % 7;
    if (n > b.size() - off) n = b.size() - off;
    write_all(b.data() + off, n);
    off += n;
  }
}

void Sim::run() {
  for (;;) {
    serve_connection();
    if (stop_ || !serve_again_) return;
    if (listen_fd_ < 0) {
      // A terminal line whose far end is closed reads as ended until it is opened again:
      // the datalogger keeps its state and waits on the same line.
      if (own_fd_ || fd_ < 0) return;
      clock_sleep(0.1);
      continue;
    }
    // The line is gone; the datalogger keeps its state and takes the next connection.
    {
      std::lock_guard<std::mutex> w(write_mutex_);
      if (own_fd_ && fd_ >= 0) close(fd_);
      fd_ = -1;
    }
    std::lock_guard<std::mutex> l(mutex_);
    str_late_.clear();
  }
}

void Sim::serve_connection() {
  if (listen_fd_ >= 0 && fd_ < 0) {
    std::vector<pollfd> listeners = {{listen_fd_, POLLIN, 0}};
    for (int fd : more_listen_fds_) listeners.push_back({fd, POLLIN, 0});
    while (!stop_) {
      if (poll(listeners.data(), listeners.size(), 20) > 0) {
        int fd = -1;
        for (const pollfd &p : listeners) {
          if (fd < 0 && (p.revents & POLLIN)) fd = accept(p.fd, nullptr, nullptr);
        }
        if (fd < 0) continue;
        {
          std::lock_guard<std::mutex> l(mutex_);
          accepted_.push_back(local_address(fd));
        }
        std::lock_guard<std::mutex> w(write_mutex_);
        fd_ = fd;
        own_fd_ = true;
        if (send_buffer_ > 0 && fd_ >= 0) {
          int on = 1;
          setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_buffer_, sizeof send_buffer_);
          setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        }
        break;
      }
    }
  }
  Bytes cur;
  bool in_frame = false, esc = false;
  while (!stop_ && fd_ >= 0) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, stream_poll_ms()) <= 0) {
      emit_streams();
      continue;
    }
    unsigned char buf[4096];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; i++) {
      unsigned char c = buf[i];
      if (console_escape(c)) {  // monitor mode: the frame under way is dropped
        cur.clear();
        in_frame = esc = false;
        continue;
      }
      if (mode_ != Mode::BLOCK) {
        console_byte(c);
        continue;
      }
      if (c == kEnd) {
        if (in_frame && !cur.empty()) handle(cur);
        cur.clear();
        in_frame = true;
        esc = false;
      } else if (!in_frame) {
        continue;
      } else if (esc) {
        cur.push_back(c == kEscEnd ? kEnd : c == kEscEsc ? kEsc : c);
        esc = false;
      } else if (c == kEsc) {
        esc = true;
      } else if (cur.size() < 8192) {
        cur.push_back(c);
      }
    }
  }
}

void Sim::handle(const Bytes &pkt) {
  if (pkt.size() < 11) {
    bad_packets_++;
    return;
  }
  unsigned len = (pkt[6] << 8) | pkt[7];
  unsigned h = 0;
  for (int i = 0; i < 8; i++) h += pkt[i];
  if (pkt.size() != len + 11 || (h & 0xFF) != pkt[8]) {
    bad_packets_++;
    return;
  }
  unsigned d = 0;
  for (unsigned i = 0; i < len; i++) d += pkt[9 + i];
  if ((d & 0xFFFF) != (unsigned)((pkt[9 + len] << 8) | pkt[10 + len])) {
    bad_packets_++;
    return;
  }
  int cmd = pkt[0], seq = pkt[1];
  Bytes data(pkt.begin() + 9, pkt.begin() + 9 + len);
  int count;
  {
    std::lock_guard<std::mutex> l(mutex_);
    commands_.emplace_back(cmd, seq);
    count = (int)commands_.size();
  }
  if (block_mute_) return;  // a block mode that hears but does not answer
  if (stream_command(cmd, seq, data)) return;

  int type = 128;
  Bytes payload;
  double delay = 0;
  bool scripted = false;
  {
    std::lock_guard<std::mutex> l(mutex_);
    auto it = scripts_.find(cmd);
    if (it != scripts_.end()) {
      scripted = true;
      size_t &pos = script_pos_[cmd];
      type = it->second.type;
      if (pos < it->second.pieces.size()) payload = it->second.pieces[pos];
      if (pos < it->second.delays.size()) delay = it->second.delays[pos];
      pos++;
    }
  }
  if (!scripted && event_command(cmd, data, &type, &payload)) scripted = true;
  if (!scripted && fs_command(cmd, data, &type, &payload)) scripted = true;
  if (!scripted) {
    switch (cmd) {
      case 3:  // GETSTATUS
        type = 131;
        payload = status_payload();
        break;
      case 30:  // EXTSTATUS
        type = 134;
        put16(payload, 25);
        put32(payload, 999);
        put16(payload, 0);
        put32(payload, 0);
        break;
      case 8:  // PING: echo the text
        type = 136;
        payload = data;
        break;
      case 22: {  // GETDIRNAME
        type = 150;
        std::string s = "\\DATA";
        payload.assign(s.begin(), s.end());
        payload.push_back(0);
        break;
      }
      case 23:
      case 24:
      case 25:
      case 26:
      case 28:
        payload = {(unsigned char)cmd, 1};
        break;
      default: {
        static const char text[] = "unsupported command";  // sent with its NUL
        payload.assign(2 + sizeof text, 0);
        payload[0] = (unsigned char)cmd;
        std::copy(text, text + sizeof text, payload.begin() + 2);
      } break;
    }
  }
  if (delay > 0) clock_sleep(delay);
  reply(cmd, seq, type, payload);
  if (drop_after_ > 0 && count >= drop_after_ && fd_ >= 0) {
    shutdown(fd_, SHUT_RDWR);
  }
}

void Sim::reply(int command, int seq, int type, const Bytes &payload) {
  std::vector<Bytes> before;
  std::vector<Fault> hits;
  {
    std::lock_guard<std::mutex> l(mutex_);
    int n = ++seen_[command];
    for (const auto &f : faults_)
      if (f.command == command && (f.nth == 0 || f.nth == n)) hits.push_back(f);
    for (auto &r : raw_) before.push_back(r);
    raw_.clear();
    for (auto &u : unsolicited_) before.push_back(frame(u));
    unsolicited_.clear();
  }
  for (const auto &b : before) send_bytes(b);
  Bytes pkt = packet(type, seq, payload);
  bool drop = false, dup = false;
  for (const auto &f : hits) {
    switch (f.kind) {
      case Fault::DROP:
        drop = true;
        break;
      case Fault::WRONG_SEQ:
        send_bytes(frame(packet(type, (seq + 1) & 0xFF, payload)));
        break;
      case Fault::BAD_HEADER_SUM:
        pkt[8] ^= 0x55;
        break;
      case Fault::BAD_DATA_SUM:
        pkt[pkt.size() - 1] ^= 0x55;
        break;
      case Fault::DUPLICATE:
        dup = true;
        break;
      case Fault::DELAY:
        clock_sleep(f.delay);
        break;
      case Fault::STALE_STRCTRL_ACK:
        send_bytes(frame(packet(128, (seq - 1) & 0xFF, {32, 1})));
        break;
    }
  }
  if (drop) return;
  send_bytes(frame(pkt));
  if (dup) send_bytes(frame(pkt));
}

namespace {

std::string upper(std::string s) {
  for (auto &c : s) c = (char)toupper((unsigned char)c);
  return s;
}

std::string parent_of(const std::string &p) {
  size_t i = p.rfind('\\');
  return i == std::string::npos ? "" : p.substr(0, i);
}

std::string arg_text(const Bytes &d) {
  std::string s(d.begin(), d.end());
  return s.c_str();
}

}  // namespace

std::string norm(const std::string &p) {
  std::string s = upper(p);
  while (s.size() > 2 && s.back() == '\\') s.pop_back();
  return s;
}

Bytes ack(int cmd, bool ok, const std::string &text) {
  Bytes b;
  b.reserve(text.size() + 3);
  b.push_back((unsigned char)cmd);
  b.push_back((unsigned char)(ok ? 1 : 0));
  if (!text.empty()) {
    for (char c : text) b.push_back((unsigned char)c);
    b.push_back(0);
  }
  return b;
}

void Sim::add_dir(const std::string &path, int attr, uint32_t time) {
  std::lock_guard<std::mutex> l(mutex_);
  Node n;
  n.path = norm(path);
  n.dir = true;
  n.attr = attr;
  n.time = time;
  fs_.push_back(n);
}

void Sim::add_file(const std::string &path, const Bytes &data, int attr, uint32_t time) {
  std::lock_guard<std::mutex> l(mutex_);
  Node n;
  n.path = norm(path);
  n.size = (uint32_t)data.size();
  n.attr = attr;
  n.time = time;
  n.data = data;
  fs_.push_back(n);
}

void Sim::refuse_dir(const std::string &path, const std::string &text) {
  std::lock_guard<std::mutex> l(mutex_);
  refused_dirs_.push_back({norm(path), text});
}

void Sim::set_endless_tree(const std::string &root, int fanout) {
  std::lock_guard<std::mutex> l(mutex_);
  endless_root_ = norm(root);
  endless_fanout_ = fanout;
  for (int i = 0; i < fanout; i++) {
    Node n;
    n.path = endless_root_ + "\\D" + std::to_string(i);
    n.dir = true;
    n.attr = 0x10;
    fs_.push_back(n);
  }
}

int Sim::opendirs() {
  std::lock_guard<std::mutex> l(mutex_);
  return opendirs_;
}

void Sim::add_entry(const std::string &path, uint32_t size, int attr, uint32_t time) {
  std::lock_guard<std::mutex> l(mutex_);
  Node n;
  n.path = norm(path);
  n.dir = (attr & 0x10) && size == 0;
  n.size = size;
  n.attr = attr;
  n.time = time;
  fs_.push_back(n);
}

bool Sim::exists(const std::string &path) {
  std::lock_guard<std::mutex> l(mutex_);
  std::string p = norm(path);
  for (auto &n : fs_)
    if (n.path == p) return true;
  return false;
}

void Sim::set_params(const Bytes &hdr) {
  std::lock_guard<std::mutex> l(mutex_);
  params_ = hdr;
}

Bytes Sim::params() {
  std::lock_guard<std::mutex> l(mutex_);
  return params_;
}

bool Sim::acquiring() {
  std::lock_guard<std::mutex> l(mutex_);
  return acquiring_;
}

void Sim::refuse_open(bool on, const std::string &text) {
  std::lock_guard<std::mutex> l(mutex_);
  refuse_open_ = on;
  refuse_open_text_ = text;
}

void Sim::fail_getparams(int n, const std::vector<int> &at) {
  std::lock_guard<std::mutex> l(mutex_);
  fail_getparams_ = n;
  fail_getparams_at_ = at;
  getparams_seen_ = 0;
}

void Sim::refuse_setparams(bool on, const std::string &text) {
  std::lock_guard<std::mutex> l(mutex_);
  refuse_set_ = on;
  refuse_set_text_ = text;
}

// The file-system, acquisition and parameter commands. false: not one of them.
bool Sim::fs_command(int cmd, const Bytes &data, int *type, Bytes *payload) {
  std::lock_guard<std::mutex> l(mutex_);
  *type = 128;
  auto is_dir = [&](const std::string &p) {
    if (p == "A:" || p == "B:") return true;
    for (auto &n : fs_)
      if (n.path == p && n.dir) return true;
    return false;
  };
  auto has_children = [&](const std::string &p) {
    for (auto &n : fs_)
      if (parent_of(n.path) == p) return true;
    return false;
  };
  switch (cmd) {
    case 12: {  // OPENDIR
      std::string p = norm(arg_text(data));
      opendirs_++;
      for (auto &r : refused_dirs_)
        if (r.first == p) {
          *payload = ack(cmd, false, r.second);
          return true;
        }
      if (endless_fanout_ > 0 && p.size() > endless_root_.size() &&
          p.compare(0, endless_root_.size() + 1, endless_root_ + "\\") == 0) {
        listing_.clear();
        for (int i = 0; i < endless_fanout_; i++) {
          Node n;
          n.path = p + "\\D" + std::to_string(i);
          n.dir = true;
          n.attr = 0x10;
          listing_.push_back(n);
        }
        Node f;
        f.path = p + "\\F.EVT";
        f.size = 4;
        f.attr = 0x20;
        listing_.push_back(f);
        listing_pos_ = 0;
        *payload = ack(cmd, true);
        return true;
      }
      if (!is_dir(p)) {
        *payload = ack(cmd, false, "directory not found");
        return true;
      }
      listing_.clear();
      for (auto &n : fs_)
        if (parent_of(n.path) == p) listing_.push_back(n);
      listing_pos_ = 0;
      *payload = ack(cmd, true);
      return true;
    }
    case 4: {  // GETDIR: 10 entries a packet; an empty one after the last full packet
      *type = 132;
      payload->clear();
      for (int i = 0; i < 10 && listing_pos_ < listing_.size(); i++, listing_pos_++) {
        const Node &n = listing_[listing_pos_];
        std::string base = n.path.substr(n.path.rfind('\\') + 1), name = base, ext;
        size_t dot = base.rfind('.');
        if (dot != std::string::npos && dot > 0) {
          name = base.substr(0, dot);
          ext = base.substr(dot + 1);
        }
        Bytes e = direntry(name, ext, n.size, n.time, n.attr);
        payload->insert(payload->end(), e.begin(), e.end());
      }
      return true;
    }
    case 13:  // CLOSEDIR
    case 15:  // CLOSEFILE
      *payload = ack(cmd, true);
      return true;
    case 14: {  // OPENFILE
      std::string p = norm(arg_text(data));
      if (refuse_open_) {
        *payload = ack(cmd, false, refuse_open_text_);
        return true;
      }
      for (auto &n : fs_)
        if (n.path == p && !n.dir) {
          open_data_ = n.data;
          open_pos_ = 0;
          *payload = ack(cmd, true);
          return true;
        }
      *payload = ack(cmd, false, "file not found");
      return true;
    }
    case 5: {  // GETFILE: 256-byte pieces, the last short or empty
      *type = 133;
      size_t k = std::min<size_t>(256, open_data_.size() - open_pos_);
      payload->assign(open_data_.begin() + (long)open_pos_,
                      open_data_.begin() + (long)(open_pos_ + k));
      open_pos_ += k;
      return true;
    }
    case 6: {  // DELETEFILE
      std::string p = norm(arg_text(data));
      for (size_t i = 0; i < fs_.size(); i++)
        if (fs_[i].path == p && !fs_[i].dir) {
          fs_.erase(fs_.begin() + (long)i);
          *payload = ack(cmd, true);
          return true;
        }
      *payload = ack(cmd, false, "file not found");
      return true;
    }
    case 18: {  // RMDIR: refused for a directory that is not empty
      std::string p = norm(arg_text(data));
      for (size_t i = 0; i < fs_.size(); i++)
        if (fs_[i].path == p && fs_[i].dir) {
          if (has_children(p)) {
            *payload = ack(cmd, false, "directory not empty");
            return true;
          }
          fs_.erase(fs_.begin() + (long)i);
          *payload = ack(cmd, true);
          return true;
        }
      *payload = ack(cmd, false);
      return true;
    }
    case 20:  // CHDIR
      *payload = ack(cmd, is_dir(norm(arg_text(data))));
      return true;
    case 10:  // ACQSTART
    case 11:  // ACQSTOP
      acquiring_ = cmd == 10;
      *payload = ack(cmd, true);
      return true;
    case 1:  // GETPARAMS
      if (++getparams_seen_ <= fail_getparams_ ||
          std::find(fail_getparams_at_.begin(), fail_getparams_at_.end(), getparams_seen_) !=
              fail_getparams_at_.end()) {
        *payload = ack(cmd, false, "params unavailable");
        return true;
      }
      *type = 129;
      *payload = params_;
      return true;
    case 2:  // SETPARAMS
      if (refuse_set_) {
        *payload = ack(cmd, false, refuse_set_text_);
        return true;
      }
      params_ = data;
      stream_follow_params(data);
      *payload = ack(cmd, true);
      return true;
    default:
      return false;
  }
}

}  // namespace altussim
