// pidlock.cpp - exclusive flock on a state or process-id file (see pidlock.h).
#include "support/pidlock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "base/elog.h"

namespace {

long read_holder(int fd) {
  char buf[32] = {0};
  ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return 0;
  char *end = nullptr;
  long pid = strtol(buf, &end, 10);
  return pid > 0 ? pid : 0;
}

}  // namespace

PidlockResult pidlock_take(const char *path, long *holder) {
  if (holder) *holder = 0;
  // Not truncated at open: the holder's id stays readable until the lock is ours.
  int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0664);
  if (fd < 0) {
    elog_log(1, "pidlock_take: can't open %s\n", path);
    return PIDLOCK_NOFILE;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int e = errno;
    if (e == EWOULDBLOCK) {
      // The holder writes its id just after it locks: a moment later it is there.
      long pid = read_holder(fd);
      if (holder) *holder = pid;
      close(fd);
      return PIDLOCK_HELD;
    }
    close(fd);
    errno = e;
    elog_log(1, "pidlock_take: can't lock %s\n", path);
    return PIDLOCK_NOFILE;
  }
  std::string pid = std::to_string(static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 ||
      pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    elog_log(1, "pidlock_take: can't write %s\n", path);
    // The lock still stands: a second instance is kept out even without the id.
  }
  return PIDLOCK_TAKEN;  // fd stays open for the life of the process
}

int pidlock_or_die(const char *who, const char *program, const char *what, const char *path) {
  long holder = 0;
  PidlockResult r = pidlock_take(path, &holder);
  if (r == PIDLOCK_HELD)
    elog_die(0, "%s: %s %s is locked by process %ld: another %s runs on it; not starting.\n", who,
             what, path, holder, program);
  if (r == PIDLOCK_NOFILE) elog_complain(1, "%s: %s %s not locked\n", who, what, path);
  return r == PIDLOCK_TAKEN;
}

const char *pidlock_state_suffix(void) { return ".lock"; }
