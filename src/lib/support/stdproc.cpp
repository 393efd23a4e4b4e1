// stdproc.cpp - file offset, executable paths, user lookup, shared-library loading,
// string removal and the start-up banner.
#include "support/stdproc.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "base/elog.h"
#include "base/oom.h"
#include "base/paths.h"
#include "support/version.h"

namespace {

constexpr size_t kMaxPath = 4095;

// The target of a symbolic link (at most kMaxPath bytes), or "" with false.
bool read_link(const char *path, std::string *out) {
  char buf[kMaxPath + 1];
  ssize_t n = readlink(path, buf, kMaxPath);
  if (n < 0) return false;
  out->assign(buf, (size_t)n);
  return true;
}

char *dup_or_die(const std::string &s) {
  char *p = strdup(s.c_str());
  if (!p) OUT_OF_MEMORY(s.size() + 1, "string copy");
  return p;
}

// Removes the first occurrence of `part` from `text` (a std::string).
void remove_first(std::string *text, const char *part) {
  size_t at = text->find(part);
  if (at != std::string::npos) text->erase(at, std::strlen(part));
}

}  // namespace

off_t tell(int fd) { return lseek(fd, 0, SEEK_CUR); }

int UNIMPLEMENTED(const char *name, int value) {
  elog_log(0, "%s is unimplemented on this platform\n", name);
  return value;
}

int nomem(void) { return 0; }

int delstr(char *text, const char *part) {
  if (!text || !part || !*part) return 0;
  char *at = std::strstr(text, part);
  if (!at) return 0;
  size_t n = std::strlen(part);
  std::memmove(at, at + n, std::strlen(at + n) + 1);
  return 1;
}

void *std_dlopen(const char *library) {
  if (!library) return nullptr;
  std::string path = library[0] == '/' ? std::string(library)
                                       : std::string(getvantrel()) + "/lib/lib" + library + ".so.3";
  if (path.size() > kMaxPath) {
    elog_log(0, "std_dlopen: path for '%.64s...' is longer than %zu characters\n", library,
             kMaxPath);
    return nullptr;
  }
  return dlopen(path.c_str(), RTLD_LAZY);
}

int std_getpwnam(const char *name, struct passwd *pw, char *buf, size_t bufsize) {
  struct passwd *found = nullptr;
  int err = name ? getpwnam_r(name, pw, buf, bufsize, &found) : ENOENT;
  if (err == 0 && found) return 0;
  std::memset(pw, 0, sizeof *pw);
  errno = err;
  return -1;
}

const char *getexecname(void) {
  static std::once_flag once;
  static std::string path;
  std::call_once(once, [] {
    if (!read_link("/proc/self/exe", &path)) path.clear();
  });
  return path.c_str();
}

char *pidexecname(int pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/exe";
  std::string result;
  if (read_link(path.c_str(), &result)) return dup_or_die(result);

  // The executable cannot be read (another user's process, a kernel thread): use the
  // command line, its arguments separated by blanks.
  path = "/proc/" + std::to_string(pid) + "/cmdline";
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    elog_log(1, "pidexecname: failed to read %s\n", path.c_str());
    return dup_or_die("");
  }
  char buf[kMaxPath];
  size_t have = 0;
  while (have < sizeof buf) {
    ssize_t n = read(fd, buf + have, sizeof buf - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    have += (size_t)n;
  }
  close(fd);
  for (size_t k = 0; k < have; ++k)
    if (buf[k] == '\0') buf[k] = ' ';
  return dup_or_die(std::string(buf, have));
}

int banner(const char *program, const char *revision) {
  if (!program) program = Program_Name;
  if (!program || !*program) program = getexecname();

  std::string rev(revision ? revision : "", 0, 511);
  for (const char *tag : {"$Revision: ", "$Date: "}) {
    size_t at = rev.find(tag);
    if (at == std::string::npos) continue;
    rev.erase(at, std::strlen(tag));
    remove_first(&rev, " $");
  }

  int result = std::fprintf(stderr, "\n%s %s\n", program, rev.c_str());
  // The build's own version text (the executable's modification time would read as the
  // time of the last copy or install, not of the build).
  if (result >= 0) result = std::fprintf(stderr, "** Vantrel %s**\n", vantrel_version);
  return result;
}
