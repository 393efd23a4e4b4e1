// data_fixture.h - fixtures of the data-port tests: a stand-in control thread whose
// handler runs each queued command, an output callback that copies the data records, and
// the entries of such a record with their samples expanded.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/pf.h"
#include "base/pmtfifo.h"
#include "q330_fixture.h"
#include "q330pkt.h"

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

// One channel entry of a data record handed to the callback: the 18-byte head (channel,
// stream, size, nsamp, data offset, value; 16- and 32-bit fields big-endian), and the
// samples: the compressed differences summed from `value`, or `value` itself for a
// single-value entry (no data words).
struct RecordEntry {
  int channel, stream, nsamp;
  int32_t value;
  std::vector<int> samples;
};

inline std::vector<RecordEntry> record_entries(const std::vector<unsigned char> &r) {
  auto be16 = [](const unsigned char *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); };
  auto be32 = [](const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
  };
  std::vector<RecordEntry> v;
  for (size_t at = 20; at + 18 <= r.size();) {
    const unsigned char *e = &r[at];
    int size = be16(e + 2), offset = be16(e + 10);
    if (size < 18 || at + static_cast<size_t>(size) > r.size()) break;
    RecordEntry en{
        e[0], e[1], static_cast<int16_t>(be16(e + 8)), static_cast<int32_t>(be32(e + 12)), {}};
    if (size > 18) {
      int cmap = offset - 16, data = size - offset - 2;
      std::vector<unsigned int> words(static_cast<size_t>(size) / 4 + 2, 0);
      memcpy(words.data(), e + 16, static_cast<size_t>(size - 18));
      std::vector<int> diffs(static_cast<size_t>(data / 4) * 7 + 1);
      int n = q330_convert_frame(static_cast<uint16_t>(data), static_cast<uint16_t>(cmap),
                                 words.data(), diffs.data());
      uint32_t x = static_cast<uint32_t>(en.value);
      for (int i = 0; i < n; i++) {
        x += static_cast<uint32_t>(diffs[static_cast<size_t>(i)]);
        en.samples.push_back(static_cast<int>(x));
      }
    } else if (en.nsamp == 1) {
      en.samples.push_back(en.value);
    }
    v.push_back(en);
    at += static_cast<size_t>(size);
  }
  return v;
}
