// q330sim_core.cpp - the simulator's loop: datagram checks, replies and faults.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "q330sim.h"

namespace {

int bind_udp(const char *addr, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, addr, &sa.sin_addr) != 1) return -1;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int port_of(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len);
  return ntohs(sa.sin_port);
}

enum {
  CMD_RQSRV = 0x10,
  CMD_SRVRSP = 0x11,
  CMD_DSRV = 0x12,
  CMD_POLLSN = 0x14,
  CMD_CACK = 0xA0,
  CMD_SRVCH = 0xA1,
  CMD_CERR = 0xA2,
  CMD_MYSN = 0xA3,
};

}  // namespace

Q330Sim::Q330Sim(const Q330SimOptions &options) : options_(options) {}

Q330Sim::~Q330Sim() { stop(); }

int Q330Sim::start() {
  const char *addr = options_.address.c_str();
  for (int attempt = 0; attempt < 100 && fd_control_ < 0; attempt++) {
    int first = options_.base_port ? options_.base_port + 2 * options_.logical : 0;
    int c = bind_udp(addr, first);
    if (c < 0) return -1;
    int cport = port_of(c);
    int d = cport < 65535 ? bind_udp(addr, cport + 1) : -1;
    if (d < 0 || cport - 2 * options_.logical <= 0) {
      close(c);
      if (d >= 0) close(d);
      if (options_.base_port) return -1;
      continue;
    }
    // The configuration port (the base port) is part of the set of ports too.
    int g = bind_udp(addr, cport - 2 * options_.logical);
    if (g < 0) {
      close(c);
      close(d);
      if (options_.base_port) return -1;
      continue;
    }
    fd_config_ = g;
    fd_control_ = c;
    fd_data_ = d;
    base_ = cport - 2 * options_.logical;
  }
  if (fd_control_ < 0) return -1;
  // Replies "from elsewhere": another port of the unit's address, and another address
  // (127.0.0.2, or 127.0.0.1 for a unit that is itself on 127.0.0.2).
  fd_other_port_ = bind_udp(addr, 0);
  fd_other_addr_ = bind_udp(options_.address == "127.0.0.2" ? "127.0.0.1" : "127.0.0.2", 0);
  running_ = true;
  thread_ = std::thread([this] { loop(); });
  return 0;
}

void Q330Sim::stop() {
  running_ = false;
  if (thread_.joinable()) thread_.join();
  for (int *fd : {&fd_control_, &fd_data_, &fd_other_port_, &fd_other_addr_, &fd_config_})
    if (*fd >= 0) close(*fd), *fd = -1;
}

void Q330Sim::add_fault(const Q330SimFault &fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(fault);
}

std::vector<Q330SimDatagram> Q330Sim::received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

int Q330Sim::count(int command) {
  std::lock_guard<std::mutex> lock(mutex_);
  int n = 0;
  for (const auto &d : received_) n += d.command == command;
  return n;
}

int Q330Sim::wait_count(int command, int n, double seconds) {
  auto counted = [&] {
    int k = 0;
    for (const auto &d : received_) k += d.command == command;
    return k;
  };
  std::unique_lock<std::mutex> lock(mutex_);
  arrived_.wait_for(lock, std::chrono::duration<double>(clock_real_seconds(seconds)),
                    [&] { return counted() >= n; });
  return counted();
}

std::string Q330Sim::digest_text(uint64_t code) const {
  char text[96];
  snprintf(text, sizeof text, "%08x%08x%08x%04x%04x%08x%08x%08x%08x%08x%08x",
           options_.challenge_high, options_.challenge_low, 0x7F000001u,
           static_cast<unsigned>(control_port()),
           static_cast<unsigned>(options_.registration_number), static_cast<uint32_t>(code >> 32),
           static_cast<uint32_t>(code), static_cast<uint32_t>(options_.serial >> 32),
           static_cast<uint32_t>(options_.serial), 0u, 0u);
  return text;
}

std::vector<unsigned char> Q330Sim::datagram(int command, uint16_t ack,
                                             const std::vector<unsigned char> &payload) {
  std::vector<unsigned char> d(4, 0);
  d.push_back(static_cast<unsigned char>(command));
  d.push_back(2);
  q330sim_put16(d, static_cast<unsigned>(payload.size()));
  q330sim_put16(d, ++sequence_);
  q330sim_put16(d, ack);
  d.insert(d.end(), payload.begin(), payload.end());
  uint32_t crc = q330sim_crc(d.data() + 4, d.size() - 4);
  for (int i = 0; i < 4; i++)
    d[static_cast<size_t>(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
  return d;
}

void Q330Sim::loop() {
  unsigned char buf[2048];
  while (running_) {
    pollfd fds[3] = {{fd_control_, POLLIN, 0}, {fd_data_, POLLIN, 0}, {fd_config_, POLLIN, 0}};
    int rc = poll(fds, 3, 20);
    if (!reboot_ignores()) tick();
    if (rc <= 0) continue;
    for (int i = 0; i < 3; i++) {
      if (!(fds[i].revents & POLLIN)) continue;
      sockaddr_in from{};
      socklen_t fromlen = sizeof from;
      ssize_t n =
          recvfrom(fds[i].fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
      if (n < 0) continue;
      if (i == 2 && !reboot_ignores())
        config_port_received(buf, static_cast<size_t>(n), &from, fromlen);
      else if (i < 2)
        handle(fds[i].fd, i + 1, buf, static_cast<size_t>(n), &from, fromlen);
    }
  }
}

void Q330Sim::handle(int fd, int port_type, const unsigned char *buf, size_t n, const void *from,
                     unsigned fromlen) {
  if (n < 12 || reboot_ignores()) return;
  Q330SimDatagram in{port_type,
                     buf[4],
                     static_cast<uint16_t>(q330sim_get16(buf + 8)),
                     static_cast<uint16_t>(q330sim_get16(buf + 10)),
                     std::vector<unsigned char>(buf + 12, buf + n),
                     q330sim_get32(buf) == q330sim_crc(buf + 4, n - 4) && buf[5] == 2 &&
                         q330sim_get16(buf + 6) + 12 == n};
  Q330SimFault fault{};
  bool faulted = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(in);
    arrived_.notify_all();
    int nth = 0;
    for (const auto &d : received_) nth += d.command == in.command;
    for (auto &f : faults_) {
      if (f.command >= 0 && f.command != in.command) continue;
      if (f.nth ? f.nth != nth : f.count < 0) continue;
      fault = f;
      faulted = true;
      if (!f.nth && f.count > 0 && --f.count == 0) f.count = -1;
      break;
    }
  }
  if (port_type == 2) {
    data_received(fd, in, from, fromlen);
    return;
  }
  if (!in.crc_ok) return;

  int reply_cmd = CMD_CERR;
  std::vector<unsigned char> payload;
  const uint64_t sn = options_.serial;
  bool answered =
      !reboot_registered(in, &reply_cmd, &payload) || answer_config(in, &reply_cmd, &payload) ||
      answer_status(in, &reply_cmd, &payload) || answer_commands(in, &reply_cmd, &payload);
  if (!answered) switch (in.command) {
      case CMD_POLLSN:
        reply_cmd = CMD_MYSN;
        q330sim_put32(payload, static_cast<uint32_t>(sn >> 32));
        q330sim_put32(payload, static_cast<uint32_t>(sn));
        q330sim_put32(payload, options_.property_tag);
        q330sim_put32(payload, 0);
        break;
      case CMD_RQSRV:
        reply_cmd = CMD_SRVCH;
        q330sim_put32(payload, options_.challenge_high);
        q330sim_put32(payload, options_.challenge_low);
        q330sim_put32(payload, 0x7F000001u);
        q330sim_put16(payload, static_cast<unsigned>(control_port()));
        q330sim_put16(payload, options_.registration_number);
        break;
      case CMD_SRVRSP: {
        unsigned char want[16];
        std::string text = digest_text(options_.auth_code);
        q330sim_md5(text.data(), text.size(), want);
        bool ok = in.payload.size() >= 48 && memcmp(in.payload.data() + 32, want, 16) == 0;
        if (ok) {
          reply_cmd = CMD_CACK;
        } else {
          q330sim_put16(payload, 3);
        }
        break;
      }
      case CMD_DSRV:
        reply_cmd = CMD_CACK;
        break;
      default:
        q330sim_put16(payload, 0);
    }
  uint16_t ack = in.sequence;
  int send_fd = fd;
  std::vector<unsigned char> out;
  if (faulted) {
    switch (fault.kind) {
      case Q330SIM_DROP:
        return;
      case Q330SIM_DELAY:
        clock_sleep(fault.value);
        break;
      case Q330SIM_STALEACK:
        ack = static_cast<uint16_t>(ack - 1);
        break;
      case Q330SIM_WRONGCOMMAND:
        reply_cmd = fault.value;
        payload.clear();
        break;
      case Q330SIM_CERR:
        reply_cmd = CMD_CERR;
        payload.clear();
        q330sim_put16(payload, static_cast<unsigned>(fault.value));
        break;
      case Q330SIM_OTHERPORT:
        send_fd = fd_other_port_;
        break;
      case Q330SIM_OTHERADDR:
        send_fd = fd_other_addr_;
        break;
      default:
        break;
    }
  }
  out = datagram(reply_cmd, ack, payload);
  if (faulted) {
    if (fault.kind == Q330SIM_BADCRC) out[0] ^= 0xFF;
    if (fault.kind == Q330SIM_WRONGLENGTH) {
      out[7] = static_cast<unsigned char>(out[7] + 1);
      uint32_t crc = q330sim_crc(out.data() + 4, out.size() - 4);
      for (int i = 0; i < 4; i++)
        out[static_cast<size_t>(i)] = static_cast<unsigned char>(crc >> (24 - 8 * i));
    }
    if (fault.kind == Q330SIM_EMPTY) out.clear();
    if (fault.kind == Q330SIM_SHORT) out.resize(8);
  }
  auto to = static_cast<const sockaddr *>(from);
  if (send_fd < 0) return;
  sendto(send_fd, out.data(), out.size(), 0, to, fromlen);
  if (faulted && fault.kind == Q330SIM_DUPLICATE)
    sendto(send_fd, out.data(), out.size(), 0, to, fromlen);
}
