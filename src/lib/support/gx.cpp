// gx.cpp - the gx line reader over mapped files and command output.
#include "support/gx.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"

namespace {

std::mutex &table_mutex() {
  static std::mutex m;
  return m;
}

std::vector<GxFile *> &table() {
  static std::vector<GxFile *> t;
  return t;
}

// Puts gx into the lowest free slot and returns its index. Caller holds the mutex.
int take_slot(GxFile *gx) {
  std::vector<GxFile *> &t = table();
  for (size_t i = 0; i < t.size(); i++) {
    if (!t[i]) {
      t[i] = gx;
      return (int)i;
    }
  }
  t.push_back(gx);
  return (int)t.size() - 1;
}

// Empties a slot and returns what it held (none for an unknown handle). Caller holds the
// mutex.
GxFile *release_slot(int handle) {
  std::vector<GxFile *> &t = table();
  if (handle < 0 || (size_t)handle >= t.size()) return nullptr;
  GxFile *gx = t[(size_t)handle];
  t[(size_t)handle] = nullptr;
  while (!t.empty() && !t.back()) t.pop_back();
  return gx;
}

GxFile *lookup(int handle) {
  std::lock_guard<std::mutex> lock(table_mutex());
  std::vector<GxFile *> &t = table();
  if (handle < 0 || (size_t)handle >= t.size()) return nullptr;
  return t[(size_t)handle];
}

void close_quietly(int fd) {
  if (fd >= 0) {
    int saved = errno;
    close(fd);
    errno = saved;
  }
}

// Moves a descriptor above standard input, output and error (close-on-exec), so that the
// child's redirections can never overwrite one of its own sources.
int lift(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close_quietly(fd);
  return high;
}

void reap(pid_t pid) {
  if (pid <= 0) return;
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// The words of a command, split at blanks and tabs.
std::vector<std::string> words_of(const char *command) {
  std::vector<std::string> words;
  std::string cur;
  for (const char *p = command; *p; p++) {
    if (*p == ' ' || *p == '\t') {
      if (!cur.empty()) words.push_back(cur);
      cur.clear();
    } else {
      cur += *p;
    }
  }
  if (!cur.empty()) words.push_back(cur);
  return words;
}

// Child side of gxpipe: only async-signal-safe calls between fork and execve. Everything
// it uses was prepared by the parent. Never returns.
[[noreturn]] void run_child(int in_read, int out_fd, int err_write, long max_fd,
                            const sigset_t *mask, char *const argv[], char *const envp[]) {
  if (dup2(in_read, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(out_fd, 2) < 0) _exit(127);
  // Nothing else of ours reaches the command: close every descriptor from 3 up except the
  // exec-error pipe, which is close-on-exec.
  bool closed = (err_write == 3 || close_range(3, (unsigned)err_write - 1, 0) == 0) &&
                close_range((unsigned)err_write + 1, ~0U, 0) == 0;
  if (!closed) {
    for (long fd = 3; fd < max_fd; fd++) {
      if (fd != err_write) close((int)fd);
    }
  }
  sigprocmask(SIG_SETMASK, mask, nullptr);
  execve(argv[0], argv, envp);
  int e = errno;
  ssize_t w = write(err_write, &e, sizeof e);
  (void)w;
  _exit(127);
}

}  // namespace

GxFile *gnew(void) {
  GxFile *gx = static_cast<GxFile *>(malloc(sizeof(GxFile)));
  if (!gx) OUT_OF_MEMORY(sizeof(GxFile), "mapped");
  gx->data = nullptr;
  gx->size = 0;
  gx->pid = -1;
  gx->fd = -1;
  gx->pipe_fd = 0;
  gx->pos = 0;
  return gx;
}

int gxopen(const char *path) {
  std::lock_guard<std::mutex> lock(table_mutex());
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    elog_complain(1, "gxopen: Couldn't open %s\n", path);
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    elog_complain(1, "gxopen: fstat failed for '%s'\n", path);
    close_quietly(fd);
    return -1;
  }
  if (st.st_size == 0) {
    elog_complain(0, "gxopen: '%s' is empty\n", path);
    close_quietly(fd);
    return -1;
  }
  if (st.st_size > INT32_MAX) {
    elog_complain(0, "gxopen: '%s' is too large\n", path);
    close_quietly(fd);
    return -1;
  }
  void *data = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
  close_quietly(fd);
  if (data == MAP_FAILED) {
    elog_complain(1, "gxopen: Can't map file %s\n", path);
    return -1;
  }
  GxFile *gx = gnew();
  gx->data = static_cast<char *>(data);
  gx->size = (int32_t)st.st_size;
  return take_slot(gx);
}

int gxpipe(const char *command, char *const env[], int *fd) {
  // Everything the child needs is built before the fork.
  std::vector<std::string> words = words_of(command ? command : "");
  if (words.empty()) {
    elog_log(0, "gxpipe: empty command\n");
    return -1;
  }
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  static char *const no_env[] = {nullptr};
  char *const *envp = env ? env : no_env;
  sigset_t empty_mask;
  sigemptyset(&empty_mask);
  long max_fd = sysconf(_SC_OPEN_MAX);
  if (max_fd < 0 || max_fd > 65536) max_fd = 65536;

  std::lock_guard<std::mutex> lock(table_mutex());
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) {
    elog_log(1, "gxpipe: Couldn't create pipes\n");
    return -1;
  }
  in[0] = lift(in[0]);
  in[1] = lift(in[1]);
  char tmpl[] = "/tmp/gxpipeXXXXXX";
  int out = lift(mkostemp(tmpl, O_CLOEXEC));
  if (out >= 0) unlink(tmpl);
  int err[2] = {-1, -1};
  bool ready = in[0] >= 0 && in[1] >= 0 && out >= 0 && pipe2(err, O_CLOEXEC) == 0;
  if (ready) {
    err[0] = lift(err[0]);
    err[1] = lift(err[1]);
    ready = err[0] >= 0 && err[1] >= 0;
  }
  if (!ready) {
    elog_log(1, out < 0 ? "gxpipe: mkstemp failed\n" : "gxpipe: Couldn't create pipes\n");
    for (int d : {in[0], in[1], out, err[0], err[1]}) close_quietly(d);
    return -1;
  }

  pid_t pid = fork();
  if (pid == 0) run_child(in[0], out, err[1], max_fd, &empty_mask, argv.data(), envp);
  close_quietly(in[1]);
  close_quietly(err[1]);
  if (pid < 0) {
    elog_log(1, "gxpipe: fork failed\n");
    for (int d : {in[0], out, err[0]}) close_quietly(d);
    return -1;
  }

  // The error pipe closes on a successful exec; otherwise the child sends its errno.
  int exec_errno = 0;
  ssize_t n;
  while ((n = read(err[0], &exec_errno, sizeof exec_errno)) < 0 && errno == EINTR) {
  }
  close_quietly(err[0]);
  if (n == (ssize_t)sizeof exec_errno) {
    errno = exec_errno;
    elog_complain(1, "gxpipe: Couldn't exec '%s' : '%s'\n", argv[0], command);
  }

  GxFile *gx = gnew();
  gx->pid = pid;
  gx->fd = out;
  gx->pipe_fd = in[0];
  if (fd) *fd = in[0];
  return take_slot(gx);
}

void gxmap(GxFile *gx) {
  if (gx->pid == -1) {
    elog_log(0, "gxmap: no pid\n");
    return;
  }
  if (gx->pipe_fd > 0) close_quietly(gx->pipe_fd);
  gx->pipe_fd = -1;
  reap(gx->pid);
  gx->pid = -1;
  if (gx->fd < 0) {
    elog_log(0, "gxmap: no open file\n");
    return;
  }
  struct stat st;
  if (fstat(gx->fd, &st) != 0) {
    elog_log(1, "gxmap: fstat failed\n");
    return;
  }
  if (st.st_size == 0) {
    elog_log(0, "gxmap: output is empty\n");
    return;
  }
  if (st.st_size > INT32_MAX) {
    elog_log(0, "gxmap: output is too large\n");
    return;
  }
  void *data = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, gx->fd, 0);
  if (data == MAP_FAILED) {
    elog_log(1, "gxmap: can't map output\n");
    return;
  }
  close_quietly(gx->fd);
  gx->fd = -1;
  gx->data = static_cast<char *>(data);
  gx->size = (int32_t)st.st_size;
  gx->pos = 0;
}

int gxline(int handle, char *buf, int size) {
  if (size < 2) {
    if (buf && size == 1) buf[0] = '\0';
    elog_complain(0, "gxline: a buffer of %d bytes can't hold a line\n", size);
    return -1;
  }
  buf[0] = '\0';
  GxFile *gx = lookup(handle);
  if (!gx) return 0;
  if (!gx->data && gx->pid != -1) gxmap(gx);
  if (!gx->data) return 0;

  const char *d = gx->data;
  int p = gx->pos, n = 0;
  bool ended = false;
  while (p < gx->size && n < size - 1) {
    char c = d[p];
    if (c == '\n') {
      p++;
      ended = true;
      break;
    }
    if (c == '\0') {
      ended = true;
      break;
    }
    buf[n++] = c;
    p++;
  }
  if (!ended) {
    // A full buffer whose line ends right after it is a whole line, not a part: take its
    // newline now rather than hand back an empty line next time.
    if (p >= gx->size || d[p] == '\0') {
      ended = true;
    } else if (d[p] == '\n') {
      p++;
      ended = true;
    }
  }
  buf[n] = '\0';
  int consumed = p - gx->pos;
  gx->pos = p;
  if (!ended) return 2;
  return consumed > 0 ? 1 : 0;
}

int gxtell(int handle) {
  GxFile *gx = lookup(handle);
  return gx ? gx->pos : -1;
}

int gxseek(int handle, int position) {
  GxFile *gx = lookup(handle);
  if (!gx || position < 0 || position > gx->size) return -1;
  gx->pos = position;
  return 0;
}

int gxclose(int handle) {
  GxFile *gx;
  {
    std::lock_guard<std::mutex> lock(table_mutex());
    gx = release_slot(handle);
  }
  if (!gx) return -1;
  int result = 0;
  if (gx->data) result = munmap(gx->data, (size_t)gx->size);
  close_quietly(gx->fd);
  // A command that was never read: its input pipe is closed and it is waited for, so no
  // zombie is left behind.
  if (gx->pipe_fd > 0) close_quietly(gx->pipe_fd);
  if (gx->pid > 0) reap(gx->pid);
  free(gx);
  return result;
}
