// q330_fixture.h - fixtures of the session tests: an output callback that records every
// item with its type, and a control thread that pops the control queue and answers with
// scripted replies.
#pragma once

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/pf.h"
#include "base/pmtfifo.h"
#include "q330.h"

// Records every output of a session (the session's user_data points at it). Text lines
// and time copies are taken over and freed. Type 17 is answered with 15 (busy) `busy`
// times, then with 0.
struct OutputRecorder {
  struct Item {
    int type;
    std::string text;     // types 3, 4
    double time = 0;      // type 15
    const void *address;  // the payload handed over
    int size;
  };
  std::mutex mutex;
  std::vector<Item> items;
  int busy = 0;

  static int callback(Q330 *q330, int type, void *data, int size) {
    auto *self = static_cast<OutputRecorder *>(q330->user_data);
    std::lock_guard<std::mutex> lock(self->mutex);
    Item item{type, "", 0, data, size};
    if (type == Q330_OUT_STDOUT || type == Q330_OUT_LOG) {
      item.text = static_cast<char *>(data);
      free(data);
    } else if (type == Q330_OUT_TIME) {
      memcpy(&item.time, data, sizeof(double));
      free(data);
    }
    self->items.push_back(item);
    if (type == Q330_OUT_QUERY && self->busy > 0) {
      self->busy--;
      return Q330_OUT_BUSY;
    }
    return 0;
  }
  void attach(Q330 *q330) {
    q330->user_data = this;
    q330->out_callback = callback;
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::string> out;
    for (const Item &i : items)
      if (i.type == Q330_OUT_LOG || i.type == Q330_OUT_STDOUT) out.push_back(i.text);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    items.clear();
  }
};

// Stands in for the session's control thread: pops the control queue and acts on each
// command by the next step of its script. Runs until the queue's block is released.
struct ScriptedControl {
  enum Action { Reply, Kill, Close };
  struct Step {
    Action action;
    std::string text;  // Reply
  };
  Q330 *q330;
  std::deque<Step> script;
  std::mutex mutex;
  std::vector<std::string> commands;  // "cmd" of each command popped
  std::vector<Pf *> kept;             // copies of the parameter objects
  std::thread thread;

  ScriptedControl(Q330 *q, std::deque<Step> s) : q330(q), script(std::move(s)) {
    thread = std::thread([this] { run(); });
  }
  ~ScriptedControl() {
    pmtfifo_release_block(q330->control_mtfifo_in);
    thread.join();
    for (Pf *pf : kept) pffree(pf);
  }
  void run() {
    for (;;) {
      void *p = nullptr;
      if (pmtfifo_pop(q330->control_mtfifo_in, &p) != 1) return;
      auto *item = static_cast<Q330Cmd *>(p);
      if (!item) continue;
      Step step{Reply, "OK"};
      {
        std::lock_guard<std::mutex> lock(mutex);
        const char *cmd = pfget_string(item->pf, "cmd");
        commands.push_back(cmd ? cmd : "");
        kept.push_back(pfdup(item->pf));
        if (!script.empty()) {
          step = script.front();
          script.pop_front();
        }
      }
      if (step.action == Reply) q330_cmd_answer(q330, item, step.text.c_str());
      if (step.action == Kill) q330_kill_thread(q330);
      if (step.action == Close) q330_control_close(q330);
      q330_cmd_free(item);
    }
  }
};

// Sessions live until the process ends; the tests free theirs so that the leak checker
// sees only real leaks.
inline void free_session(Q330 *q330) {
  if (!q330) return;
  Q330Status &st = q330->status;
  for (TAverage *ta :
       {st.ta_datagap_24h, st.ta_datagap_1h, st.ta_nlinks_24h, st.ta_nreboots_24h, st.ta_npocs_24h,
        st.ta_nipchs_24h, st.ta_tput, st.ta_commeff_sent, st.ta_commeff_resent})
    taverage_destroy(ta);
  if (q330->control_mtfifo_in) pmtfifo_destroy(q330->control_mtfifo_in, q330_cmd_free);
  free(q330->data_out);
  free(q330->target_name);
  free(q330->params.dlname);
  delete q330;
}
