// data_fixture.h - fixtures of the data-port tests: a stand-in control thread whose
// handler runs each queued command, and an output callback that copies the data records.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/pf.h"
#include "base/pmtfifo.h"
#include "q330_fixture.h"

// Answers the control-queue commands of a session on a thread of its own: each command's
// handler runs there (it may change the session, as the control thread would) and its
// text is the answer.
struct StubControl {
  Q330 *q330;
  std::function<std::string(const std::string &)> handler;
  std::mutex mutex;
  std::vector<std::string> commands;
  std::thread thread;
  StubControl(Q330 *q, std::function<std::string(const std::string &)> h)
      : q330(q), handler(std::move(h)) {
    q330_thread_start(q330);
    thread = std::thread([this] { run(); });
  }
  ~StubControl() {
    pmtfifo_release_block(q330->control_mtfifo_in);
    thread.join();
  }
  void run() {
    for (;;) {
      void *p = nullptr;
      if (pmtfifo_pop(q330->control_mtfifo_in, &p) != 1) return;
      auto *item = static_cast<Q330Cmd *>(p);
      if (!item) continue;
      const char *cmd = pfget_string(item->pf, "cmd");
      std::string c = cmd ? cmd : "";
      {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(c);
      }
      q330_cmd_answer(q330, item, handler(c).c_str());
      q330_cmd_free(item);
    }
  }
};

// Copies the data records, which stay the session's, and records the rest.
struct Records {
  OutputRecorder rec;
  std::vector<std::vector<unsigned char>> records;
  static int callback(Q330 *q330, int type, void *data, int size) {
    auto *self = static_cast<Records *>(q330->user_data);
    if (type == Q330_OUT_DATA) {
      auto *p = static_cast<unsigned char *>(data);
      self->records.emplace_back(p, p + size);
    }
    q330->user_data = &self->rec;
    int r = OutputRecorder::callback(q330, type, data, size);
    q330->user_data = self;
    return r;
  }
};
