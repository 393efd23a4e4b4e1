// paths.cpp - path texts, file queries and the install root.

// 64-bit file offsets and inode numbers on 32-bit systems too: without them stat() and
// readdir() fail with EOVERFLOW on file systems whose inode numbers or directory
// positions do not fit 32 bits, and a directory listing or a file test would fail on a
// 32-bit ARM where it works elsewhere. Nothing of <sys/stat.h> or <dirent.h> crosses the
// module's interface, so the choice stays inside this file.
#ifndef _FILE_OFFSET_BITS
#define _FILE_OFFSET_BITS 64
#endif
#include "base/paths.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"

namespace {

char *dup_text(std::string_view s) {
  char *p = static_cast<char *>(malloc(s.size() + 1));
  if (!p) OUT_OF_MEMORY(s.size() + 1, "path text");
  memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  return p;
}

// Home directory of the named user ("" name: the process's own user), or "" when
// unknown.
std::string home_of(const std::string &name) {
  if (name.empty()) {
    const char *home = getenv("HOME");
    if (home && *home) return home;
  }
  long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(hint > 0 ? (size_t)hint : 1024);
  for (;;) {
    struct passwd pw, *found = nullptr;
    int rc = name.empty() ? getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found)
                          : getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0 || !found || !found->pw_dir) return "";
    return found->pw_dir;
  }
}

// A leading "~" or "~name" replaced by the home directory; anything else as it is.
std::string expand_tilde(std::string_view path) {
  if (path.empty() || path[0] != '~') return std::string(path);
  size_t slash = path.find('/');
  std::string name(
      path.substr(1, slash == std::string_view::npos ? std::string_view::npos : slash - 1));
  std::string home = home_of(name);
  if (home.empty()) return std::string(path);
  return slash == std::string_view::npos ? home : home + std::string(path.substr(slash));
}

// Components of a path, without empty ones (repeated slashes) and ".".
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < path.size()) {
    size_t j = path.find('/', i);
    if (j == std::string_view::npos) j = path.size();
    std::string_view c = path.substr(i, j - i);
    if (!c.empty() && c != ".") out.push_back(c);
    i = j + 1;
  }
  return out;
}

// The lexical normal form of a path that has had its "~" expanded.
std::string clean(std::string_view path) {
  bool rooted = !path.empty() && path[0] == '/';
  std::vector<std::string_view> kept;
  for (std::string_view c : components(path)) {
    if (c == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
      } else if (!rooted) {
        kept.push_back(c);
      }  // ".." above the root is the root
    } else {
      kept.push_back(c);
    }
  }
  std::string out = rooted ? "/" : "";
  for (size_t i = 0; i < kept.size(); i++) {
    if (i > 0) out += '/';
    out += kept[i];
  }
  if (out.empty()) out = ".";
  return out;
}

// Absolute normal form; false when the current directory cannot be had.
bool absolute(const char *path, std::string *out) {
  std::string p = expand_tilde(path);
  if (!p.empty() && p[0] == '/') {
    *out = clean(p);
    return true;
  }
  char *cwd = getcwd(nullptr, 0);
  if (!cwd) {
    elog_log(1, "abspath: can't get the current directory for '%s'\n", path);
    return false;
  }
  std::string joined = std::string(cwd) + "/" + p;
  free(cwd);
  *out = clean(joined);
  return true;
}

// dirname and basename of a path, as the commands give them.
void split_dir_base(std::string_view path, std::string *dir, std::string *base) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') end--;  // trailing slashes
  path = path.substr(0, end);
  if (path.empty()) {
    *dir = ".";
    *base = "";
    return;
  }
  if (path == "/") {
    *dir = "/";
    *base = "/";
    return;
  }
  size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    *dir = ".";
    *base = std::string(path);
    return;
  }
  *base = std::string(path.substr(slash + 1));
  size_t d = slash;
  while (d > 0 && path[d - 1] == '/') d--;  // "a//b": the slashes before b
  *dir = d == 0 ? "/" : std::string(path.substr(0, d));
}

int stat_mode(const char *path, mode_t *mode) {
  if (!path) return -1;
  struct stat st;
  int rc;
  do {
    rc = stat(path, &st);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return -1;
  *mode = st.st_mode;
  return 0;
}

bool name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool name_char(char c) { return name_start(c) || (c >= '0' && c <= '9'); }

}  // namespace

char *cleanpath(const char *path) {
  if (!path) return nullptr;
  return dup_text(clean(expand_tilde(path)));
}

char *abspath(const char *path) {
  if (!path) return nullptr;
  std::string out;
  if (!absolute(path, &out)) return nullptr;
  return dup_text(out);
}

char *concatpaths(const char *a, const char *b) {
  std::string_view sa = a ? a : "", sb = b ? b : "";
  if (sa.empty() || (!sb.empty() && sb[0] == '/')) return cleanpath(std::string(sb).c_str());
  if (sb.empty()) return cleanpath(std::string(sa).c_str());
  return cleanpath((std::string(sa) + "/" + std::string(sb)).c_str());
}

char *relpath(const char *path, const char *start) {
  if (!path) return nullptr;
  std::string p, s;
  if (!absolute(path, &p) || !absolute(start ? start : "", &s)) return nullptr;
  std::vector<std::string_view> pc = components(p), sc = components(s);
  size_t common = 0;
  while (common < pc.size() && common < sc.size() && pc[common] == sc[common]) common++;
  std::string out;
  for (size_t i = common; i < sc.size(); i++) out += out.empty() ? ".." : "/..";
  for (size_t i = common; i < pc.size(); i++) {
    if (!out.empty()) out += '/';
    out += pc[i];
  }
  if (out.empty()) out = ".";
  return dup_text(out);
}

int dirbase(const char *path, char **dir, char **base) {
  if (!path) return -1;
  std::string d, b;
  split_dir_base(path, &d, &b);
  if (dir) *dir = dup_text(d);
  if (base) *base = dup_text(b);
  return 0;
}

int parsepath(const char *path, char **dir, char **base, char **suffix) {
  if (!path) return -1;
  std::string d, b, s;
  split_dir_base(path, &d, &b);
  size_t dot = b.rfind('.');
  if (dot != std::string::npos && dot > 0 && dot + 1 < b.size()) {
    s = b.substr(dot + 1);
    b.resize(dot);
  }
  if (dir) *dir = dup_text(d);
  if (base) *base = dup_text(b);
  if (suffix) *suffix = dup_text(s);
  return 0;
}

int dirfiles(const char *dir, int flag, char ***names) {
  if (names) *names = nullptr;
  if (!dir || !names) {
    elog_log(0, "dirfiles: no directory given\n");
    return -1;
  }
  DIR *d = opendir(dir);
  if (!d) {
    elog_log(1, "dirfiles: can't open directory '%s'\n", dir);
    return -1;
  }
  std::vector<std::string> found;
  for (;;) {
    errno = 0;
    struct dirent *e = readdir(d);
    if (!e) break;
    std::string_view n = e->d_name;
    if (n == "." || n == "..") continue;
    if ((flag & 1) && n[0] == '.') continue;
    found.emplace_back(n);
  }
  int err = errno;
  closedir(d);
  if (err != 0) {
    errno = err;
    elog_log(1, "dirfiles: can't read directory '%s'\n", dir);
    return -1;
  }
  std::sort(found.begin(), found.end());
  size_t bytes = (found.size() + 1) * sizeof(char *);
  char **list = static_cast<char **>(malloc(bytes));
  if (!list) OUT_OF_MEMORY(bytes, "dirfiles list");
  for (size_t i = 0; i < found.size(); i++) list[i] = dup_text(found[i]);
  list[found.size()] = nullptr;
  *names = list;
  return (int)found.size();
}

char *datafile(const char *envname, const char *filename) {
  if (!filename || !*filename) return nullptr;
  if (filename[0] == '/') return is_present(filename) ? dup_text(filename) : nullptr;
  std::vector<std::string> dirs;
  const char *list = envname ? getenv(envname) : nullptr;
  if (list) {
    std::string_view rest = list;
    while (!rest.empty()) {
      size_t colon = rest.find(':');
      std::string_view entry = rest.substr(0, colon);
      if (!entry.empty()) dirs.emplace_back(entry);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  dirs.push_back(std::string(getvantrel()) + "/data");
  for (const std::string &dir : dirs) {
    char *candidate = concatpaths(dir.c_str(), filename);
    if (is_present(candidate)) return candidate;
    free(candidate);
  }
  return nullptr;
}

char *expand_env(const char *text) {
  if (!text) return nullptr;
  std::string_view in = text;
  std::string out;
  size_t i = 0;
  while (i < in.size()) {
    char c = in[i];
    if (c != '$' || i + 1 >= in.size()) {
      out += c;
      i++;
      continue;
    }
    std::string name;
    size_t next;
    if (in[i + 1] == '{') {
      size_t close = in.find('}', i + 2);
      std::string_view inner =
          close == std::string_view::npos ? std::string_view() : in.substr(i + 2, close - i - 2);
      bool valid = !inner.empty() && name_start(inner[0]) &&
                   std::all_of(inner.begin(), inner.end(), name_char);
      if (!valid) {
        out += c;
        i++;
        continue;
      }
      name = inner;
      next = close + 1;
    } else if (name_start(in[i + 1])) {
      size_t j = i + 1;
      while (j < in.size() && name_char(in[j])) j++;
      name = in.substr(i + 1, j - i - 1);
      next = j;
    } else {
      out += c;
      i++;
      continue;
    }
    if (const char *value = getenv(name.c_str())) out += value;
    i = next;
  }
  return dup_text(out);
}

int is_dir(const char *path) {
  mode_t m;
  return stat_mode(path, &m) == 0 && S_ISDIR(m);
}

int is_file(const char *path) {
  mode_t m;
  return stat_mode(path, &m) == 0 && S_ISREG(m);
}

int is_present(const char *path) {
  mode_t m;
  return stat_mode(path, &m) == 0;
}

int makedir(const char *dir) {
  if (!dir || !*dir) {
    elog_log(0, "makedir: no directory given\n");
    return -1;
  }
  std::string_view path = dir;
  // Each prefix that ends before a slash (or at the end) is one level to make. The
  // text is walked as written, so "a/../b" makes a, then b beside it, as mkdir -p does.
  size_t end = 0;
  while (end < path.size()) {
    end = path.find('/', end + 1);
    if (end == std::string_view::npos) end = path.size();
    if (path[end - 1] == '/') continue;  // repeated slash or the root
    std::string prefix(path.substr(0, end));
    mode_t m;
    if (stat_mode(prefix.c_str(), &m) == 0) {
      if (S_ISDIR(m)) continue;
      elog_log(0, "makedir: '%s' exists and is not a directory\n", prefix.c_str());
      return -1;
    }
    if (mkdir(prefix.c_str(), 0777) == 0) continue;
    int err = errno;
    if (err == EEXIST && is_dir(prefix.c_str())) continue;  // made meanwhile by another
    errno = err;
    elog_log(1, "makedir: mkdir(%s) error.\n", prefix.c_str());
    return -1;
  }
  return 0;
}

const char *getvantrel(void) {
  thread_local std::string root;
  const char *env = getenv("VANTREL");
  if (env && *env) {
    root = env;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
  } else {
    root = "/opt/vantrel";
  }
  return root.c_str();
}
