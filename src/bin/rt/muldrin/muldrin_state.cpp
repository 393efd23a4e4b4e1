// muldrin_state.cpp - reading and writing muldrin's state file.
#include "muldrin_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/writefile.h"
#include "muldrin_write.h"
#include "q330_state.h"
#include "q330_statestore.h"
#include "support/stdtime.h"

namespace {

int write_locked(Muldrin *m) {
  const std::string file = m->statefile;
  const std::string tmp = file + "-";
  // A leftover of an earlier crash, or a link planted there, is removed; the file is made
  // anew, so that nothing it pointed to is written.
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0664);
  if (fd < 0) {
    elog_complain(1, "write_state: Error opening temporary state file %s\n", tmp.c_str());
    muldrin_output(Q330_OUT_STDOUT, "Error opening temporary state file %s\n", tmp.c_str());
    return -1;
  }
  auto discard = [&](const char *complaint, const char *line) {
    if (fd >= 0) close(fd);
    unlink(tmp.c_str());
    elog_complain(1, complaint, tmp.c_str());
    muldrin_output(Q330_OUT_STDOUT, line, tmp.c_str());
    return -1;
  };
  m->write_state_time = std_now();
  for (long i = 0; i < maxtbl(m->q330s_tbl); i++) {
    auto *q = static_cast<Q330 *>(gettbl(m->q330s_tbl, i));
    if (q && q330_write_state(q, fd) < 0)
      return discard("write_state: Error writing temporary state file %s\n",
                     "Error writing temporary state file %s\n");
  }
  if (my_fprintf(fd, "time %.3f\n", m->write_state_time) < 0 || fsync(fd) != 0)
    return discard("write_state: Error writing temporary state file %s\n",
                   "Error writing temporary state file %s\n");
  int rc = close(fd);
  fd = -1;
  if (rc != 0)
    return discard("write_state: Error closing temporary state file %s\n",
                   "Error closing temporary state file %s\n");
  if (rename(tmp.c_str(), file.c_str()) != 0) {
    unlink(tmp.c_str());
    elog_complain(1, "write_state: Error renaming temporary state file %s->%s\n", tmp.c_str(),
                  file.c_str());
    muldrin_output(Q330_OUT_STDOUT, "Error renaming temporary state file %s->%s\n", tmp.c_str(),
                   file.c_str());
    return -1;
  }
  writefile_sync_folder(file.c_str());
  return 0;
}

// The file's "time": a finite number and nothing else but blanks.
bool read_time(const char *text, double *value) {
  char *end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (end == text || errno == ERANGE) return false;
  while (*end == ' ' || *end == '\t') end++;
  if (*end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

}  // namespace

int muldrin_read_statefile(Muldrin *muldrin) {
  const char *file = muldrin->statefile;
  if (!file) return 0;
  q330_statestore_free(muldrin->statepf);
  muldrin->statepf = nullptr;
  Q330StateStore *store = nullptr;
  int rc = q330_statestore_read(file, &store);
  if (rc == Q330_STATESTORE_UNREADABLE && errno == ENOENT) {
    // A first start: nothing to resume, and nothing wrong.
    elog_notify(0, "No statefile %s yet - starting with no state\n", file);
    return 0;
  }
  if (rc == Q330_STATESTORE_UNREADABLE) {
    elog_complain(1, "Error opening statefile %s - ignoring statefile for reading\n", file);
    return 0;
  }
  if (rc != Q330_STATESTORE_OK) {
    elog_complain(0, "pfin(%s) statefile error - ignoring statefile for reading\n", file);
    return 0;
  }
  double time = 0;
  if (!store->has_time || !read_time(store->time.c_str(), &time)) {
    elog_complain(0, "Error parsing 'time' param from %s - ignoring statefile for reading\n", file);
    q330_statestore_free(store);
    return 0;
  }
  double age = std_now() - time;
  if (age > MULDRIN_STATE_MAX_AGE) {
    elog_complain(0, "Statefile %s too old - ignoring statefile for reading\n", file);
    q330_statestore_free(store);
    return 0;
  }
  if (age < -MULDRIN_STATE_MAX_AGE) {
    elog_complain(0, "Statefile %s dated in the future - ignoring statefile for reading\n", file);
    q330_statestore_free(store);
    return 0;
  }
  muldrin->statepf = store;
  return 0;
}

int write_state(Muldrin *muldrin) {
  if (!muldrin->statefile || !muldrin->ok_to_write_state) return 0;
  std::lock_guard<std::mutex> lock(muldrin->write_state_mutex);
  return write_locked(muldrin);
}

int write_state_if_due(Muldrin *muldrin, double interval) {
  if (!muldrin->statefile || !muldrin->ok_to_write_state) return 0;
  std::lock_guard<std::mutex> lock(muldrin->write_state_mutex);
  if (std_now() - muldrin->write_state_time <= interval) return 0;
  return write_locked(muldrin);
}
