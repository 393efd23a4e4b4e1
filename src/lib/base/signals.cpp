// signals.cpp - signal lookups and the self-pipe dispatch of the shutdown signals.
#include "base/signals.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <mutex>

#include "base/elog.h"
#include "base/threadstart.h"

namespace {

const int kShutdownSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM};

// Read by the system handler, so lock-free atomics only. g_owner is the process whose
// dispatch thread reads the pipe; a forked child sees another pid.
std::atomic<int> g_write_fd{-1};
std::atomic<pid_t> g_owner{0};
std::atomic<void (*)(int)> g_handler{nullptr};
std::mutex g_setup_mutex;  // serialises setup_signal_handlers
int g_read_fd = -1;        // under g_setup_mutex

void on_signal(int sig) {
  int saved_errno = errno;
  int fd = g_write_fd.load();
  if (fd < 0 || getpid() != g_owner.load()) {
    // Not the process that set the handlers up (a forked child): take the default
    // action. The signal stays blocked until this handler returns, then ends the child.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
  } else {
    // A full pipe drops the byte: the dispatch thread has work queued already.
    unsigned char byte = (unsigned char)sig;
    ssize_t n = write(fd, &byte, 1);
    (void)n;
  }
  errno = saved_errno;
}

void dispatch(int fd) {
  for (;;) {
    unsigned char byte = 0;
    ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (void (*handler)(int) = g_handler.load()) handler(byte);
  }
}

void *dispatch_thread(void *arg) {
  dispatch((int)reinterpret_cast<intptr_t>(arg));
  return nullptr;
}

// The pipe and the dispatch thread of the calling process; made again in a forked
// child, which inherits the parent's pipe but not its thread. Under g_setup_mutex.
int start_dispatch() {
  if (g_owner.load() == getpid()) return 0;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    elog_log(1, "setup_signal_handlers: pipe() error.\n");
    return -1;
  }
  if (fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
    elog_log(1, "setup_signal_handlers: fcntl(O_NONBLOCK) error.\n");
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  // The dispatch thread blocks every signal, so that none is handled on it and its
  // handler calls are never interrupted.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  bool started =
      threadstart_create(nullptr, THREAD_SMALL, dispatch_thread,
                         reinterpret_cast<void *>((intptr_t)fds[0]), THREADSTART_DETACHED) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started) {
    elog_log(0, "setup_signal_handlers: can't start the dispatch thread.\n");
    close(fds[0]);
    close(fds[1]);
    return -1;
  }
  // In a child the inherited ends belong to the parent's pipe: drop them.
  int old_write = g_write_fd.exchange(fds[1]);
  if (old_write >= 0) close(old_write);
  if (g_read_fd >= 0) close(g_read_fd);
  g_read_fd = fds[0];
  g_owner.store(getpid());
  return 0;
}

}  // namespace

const Signal_info *signal_bysig(int sig) {
  for (const Signal_row &row : signal_table)
    if (row.info.sig == sig && !row.alias) return &row.info;
  return nullptr;
}

void signal_shutdown_set(sigset_t *set) {
  sigemptyset(set);
  for (int sig : kShutdownSignals) sigaddset(set, sig);
}

int setup_signal_handlers(void (*handler)(int sig)) {
  if (handler == nullptr) {
    elog_log(0, "setup_signal_handlers: no handler.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_setup_mutex);
  if (start_dispatch() != 0) return -1;
  g_handler.store(handler);
  struct sigaction act {};
  act.sa_handler = on_signal;
  signal_shutdown_set(&act.sa_mask);
  act.sa_flags = SA_RESTART;
  for (int sig : kShutdownSignals) {
    if (sigaction(sig, &act, nullptr) != 0) {
      elog_log(1, "setup_signal_handlers: sigaction(%s) error.\n", signal_bysig(sig)->name);
      return -1;
    }
  }
  return 0;
}
