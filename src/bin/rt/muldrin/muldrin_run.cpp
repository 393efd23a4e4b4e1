// muldrin_run.cpp - muldrin's stop flags, halt entry and the wait for the write thread.
#include "muldrin_run.h"

#include <signal.h>

#include <cmath>
#include <cstring>

#include "base/clock.h"
#include "base/clockwait.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/signals.h"
#include "base/tbl.h"
#include "muldrin_state.h"
#include "muldrin_status.h"
#include "muldrin_write.h"

std::atomic<int> myshutdown{0};
std::atomic<int> myshutdown_pocds{0};

namespace {

// Signalled by every halt, for muldrin_wait_halt. Never destroyed: the signal dispatch
// thread may still halt while the process exits and its static objects are destroyed.
ClockEvent &g_halted = *new ClockEvent;

}  // namespace

void muldrin_halt(void) {
  myshutdown.store(1);
  clock_event_signal(&g_halted);
}

void muldrin_wait_halt(void) {
  for (;;) {
    unsigned long seen = clock_event_seen(&g_halted);
    if (myshutdown.load() != 0) return;
    clock_event_wait(&g_halted, seen, HUGE_VAL);
  }
}

int mystrncpy(char *dst, const char *src, size_t size) {
  if (size == 0) return 0;
  strncpy(dst, src, size);
  dst[size - 1] = '\0';
  return 0;
}

int muldrin_stop_writer(Muldrin *muldrin) {
  muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Shutting down write thread...\n");
  clock_sleep(0.1);
  muldrin->kill.store(MULDRIN_KILL_STOP);
  clock_sleep(0.1);
  for (int step = 0; step < 1000; step++) {
    if (muldrin->kill.load() == MULDRIN_KILL_ENDED) {
      elog_notify(0, "%s: Write thread done...\n",
                  muldrin->target_name != nullptr ? muldrin->target_name : "");
      return 0;
    }
    clock_sleep(0.1);
  }
  return -1;
}

namespace {

void for_each_session(Muldrin *muldrin, void (*fn)(Q330 *)) {
  for (long i = 0; i < maxtbl(muldrin->q330s_tbl); i++) {
    auto *q = static_cast<Q330 *>(gettbl(muldrin->q330s_tbl, i));
    if (q != nullptr) fn(q);
  }
}

void kill_session(Q330 *q) {
  q330_kill_thread(q);
  pmtfifo_release_block(q->control_mtfifo_in);
}

// Called on the signal dispatch thread, not in signal context.
void stop_handler(int) { muldrin_halt(); }

}  // namespace

int muldrin_shutdown(Muldrin *muldrin) {
  if (maxtbl(muldrin->pocds_tbl) > 0)
    muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Stopping POC daemons...\n");
  myshutdown_pocds.store(1);
  muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Stopping acquisition...\n");
  for_each_session(muldrin, [](Q330 *q) { q330_stop_acquisition(q, 0); });
  muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Flushing output...\n");
  for_each_session(muldrin, [](Q330 *q) {
    if (q->out_callback != nullptr) q->out_callback(q, Q330_OUT_FLUSH, nullptr, 0);
  });
  write_state(muldrin);
  muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Waiting for acquisition to stop...\n");
  int steps = static_cast<int>(muldrin->shutdown_wait_time / 0.1);
  if (steps < 1) steps = 1;
  bool done = false;
  for (int step = 0; step < steps && !done; step++) {
    done = true;
    for (long i = 0; i < maxtbl(muldrin->q330s_tbl); i++) {
      auto *q = static_cast<Q330 *>(gettbl(muldrin->q330s_tbl, i));
      if (q == nullptr) continue;
      Q330AcqState state = q->state_acquisition.load();
      if (state == Q330_ACQ_KILL) continue;
      done = false;
      if (q330_acq_idle(state)) kill_session(q);
    }
    if (!done) clock_sleep(0.1);
  }
  if (done) {
    muldrin_output(Q330_OUT_STDOUT, "muldrin_shutdown: Acquisition stopped...\n");
  } else {
    muldrin_output(Q330_OUT_STDOUT,
                   "muldrin_shutdown: Timeout waiting for acquisition to stop...\n");
    for_each_session(muldrin, kill_session);
  }
  write_state(muldrin);
  muldrin->flushstatus.store(1);
  // The status thread queues its final report before the writer is told to stop.
  muldrin_status_join(muldrin);
  clock_sleep(0.1);
  muldrin_stop_writer(muldrin);
  // Once more when the writer has written what the data threads left: the last output
  // time of each channel, which a restart trims its overlap at, is then final.
  write_state(muldrin);
  return 0;
}

namespace {

// The handler of the signals that must not end the program: it does nothing. A handler
// rather than SIG_IGN, so that children of popen keep the default actions and SIGCHLD
// still lets pclose reap them.
void ignore_signal(int) {}

}  // namespace

int q330_setup_signals(void) {
  if (setup_signal_handlers(stop_handler) < 0)
    elog_die(0, "q330_setup_signals: Couldn't intercept the stop signals\n");
  for (int sig : q330_ignored_signals) {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ignore_signal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    if (sigaction(sig, &sa, nullptr) != 0) {
      const Signal_info *info = signal_bysig(sig);
      if (info != nullptr) elog_die(0, "Couldn't intercept signal SIG%s\n", info->name + 3);
      elog_die(0, "Couldn't intercept signal UNKNOWN(%d)\n", sig);
    }
  }
  return 0;
}
