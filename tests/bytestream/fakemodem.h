// fakemodem.h - a scripted modem on the far end of a line (a pseudo-terminal master or
// a socket): it echoes what it receives, answers "AT" commands with "OK", answers a dial
// ("ATD...") with the text it was told (or not at all), can leave commands unanswered,
// send result texts such as "RING", and records every command and every chunk received with its
// clock time.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"

namespace bsfix {

class FakeModem {
 public:
  struct Received {
    double time;  // clock_monotonic at arrival
    std::string text;
  };

  explicit FakeModem(int fd, bool echo = true) : fd_(fd), echo_(echo) {
    thread_ = std::thread([this] { run(); });
  }
  ~FakeModem() {
    stop_ = true;
    thread_.join();
  }
  FakeModem(const FakeModem &) = delete;
  FakeModem &operator=(const FakeModem &) = delete;

  // The answer to a dial: "CONNECT 9600", "BUSY", "NO CARRIER", or "" for silence.
  void dial_answer(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex_);
    dial_answer_ = text;
  }
  // The next n commands get no answer (their echo still goes back).
  void ignore(int n) { ignore_ = n; }
  // This very command never gets an answer.
  void silent(const std::string &cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_.push_back(cmd);
  }
  // Sends a result text as the modem does: "\r\n" text "\r\n".
  void say(const std::string &text) { put("\r\n" + text + "\r\n"); }
  void put(const std::string &bytes) {
    std::lock_guard<std::mutex> lock(write_mutex_);
    size_t off = 0;
    while (off < bytes.size()) {
      ssize_t n = send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) n = write(fd_, bytes.data() + off, bytes.size() - off);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      off += (size_t)n;
    }
  }

  std::vector<std::string> commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &c : commands_) out.push_back(c.text);
    return out;
  }
  std::vector<Received> timed_commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  std::vector<Received> chunks() {
    std::lock_guard<std::mutex> lock(mutex_);
    return chunks_;
  }
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto &c : chunks_) all += c.text;
    return all;
  }
  bool ended() const { return ended_.load(); }
  // Waits (clock seconds) until `n` commands came; true when they did.
  bool wait_commands(size_t n, double seconds) {
    double end = clock_monotonic() + seconds;
    while (clock_monotonic() < end) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (commands_.size() >= n) return true;
      }
      usleep(1000);
    }
    return false;
  }

 private:
  void run() {
    std::string line;
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 5) <= 0) continue;
      char tmp[512];
      ssize_t n = read(fd_, tmp, sizeof tmp);
      if (n <= 0) {
        if (n < 0 && errno == EINTR) continue;
        ended_ = true;
        return;
      }
      std::string chunk(tmp, (size_t)n);
      double now = clock_monotonic();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        chunks_.push_back({now, chunk});
      }
      if (echo_) put(chunk);
      for (char c : chunk) {
        if (c == '\n') continue;
        if (c != '\r') {
          line.push_back(c);
          continue;
        }
        command(line, now);
        line.clear();
      }
    }
  }

  void command(const std::string &cmd, double now) {
    std::string answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      commands_.push_back({now, cmd});
      for (const auto &s : silent_)
        if (s == cmd) return;
      if (cmd.compare(0, 3, "ATD") == 0)
        answer = dial_answer_;
      else if (cmd.compare(0, 2, "AT") == 0)
        answer = "OK";
    }
    if (answer.empty()) return;
    if (ignore_ > 0) {
      --ignore_;
      return;
    }
    say(answer);
  }

  int fd_;
  bool echo_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ended_{false};
  std::atomic<int> ignore_{0};
  std::mutex mutex_;
  std::mutex write_mutex_;
  std::string dial_answer_ = "CONNECT 9600";
  std::vector<std::string> silent_;
  std::vector<Received> commands_;
  std::vector<Received> chunks_;
  std::thread thread_;
};

}  // namespace bsfix
