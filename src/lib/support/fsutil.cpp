// fsutil.cpp - file-system queries.
#include "support/fsutil.h"

#include <pwd.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"

namespace {

std::mutex g_table_mutex;
std::string g_mount_table = "/proc/self/mounts";

std::string mount_table() {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  return g_mount_table;
}

void copy_out(char *dst, size_t room, const std::string &s) {
  if (dst) snprintf(dst, room, "%s", s.c_str());
}

// A mount-table field with its octal escapes (\040 for a blank and so on) decoded.
std::string unescape(const std::string &field) {
  std::string out;
  for (size_t i = 0; i < field.size(); i++) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char *d = field.c_str() + i + 1;
      if (d[0] >= '0' && d[0] <= '3' && d[1] >= '0' && d[1] <= '7' && d[2] >= '0' && d[2] <= '7') {
        out += (char)((d[0] - '0') * 64 + (d[1] - '0') * 8 + (d[2] - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

std::vector<std::string> fields_of(const std::string &line) {
  std::vector<std::string> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') i++;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  return fields;
}

// Whether mount point `mp` holds absolute path `path`: the same path, or a leading
// directory of it (never a mere leading part of a name: /data does not hold /datafile).
bool holds(const std::string &mp, const std::string &path) {
  if (mp.empty() || mp[0] != '/') return false;
  if (path.compare(0, mp.size(), mp) != 0) return false;
  return path.size() == mp.size() || mp.back() == '/' || path[mp.size()] == '/';
}

// The absolute form of a path that exists: symbolic links resolved when possible, else
// made absolute and normalised by its text.
std::string absolute_of(const char *path) {
  char *real = realpath(path, nullptr);
  if (real) {
    std::string s = real;
    free(real);
    return s;
  }
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(path, ec);
  if (ec) return path;
  std::string s = p.lexically_normal().string();
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

// "~" or "~user" at the front of a path replaced by the home directory.
std::string expand_home(const char *path) {
  if (path[0] != '~') return path;
  const char *slash = strchr(path, '/');
  std::string user(path + 1, slash ? (size_t)(slash - path - 1) : strlen(path + 1));
  std::string rest = slash ? slash : "";
  if (user.empty()) {
    const char *home = getenv("HOME");
    if (home && *home) return home + rest;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf((size_t)(size > 0 ? size : 16384));
  passwd pw, *found = nullptr;
  int r = user.empty() ? getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &found)
                       : getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found);
  if (r == 0 && found && found->pw_dir) return found->pw_dir + rest;
  return path;
}

const std::string &zone_dir() {
  static const std::string dir = [] {
    const char *z = getenv("ZONEINFO");
    return std::string(z ? z : "/usr/share/zoneinfo");
  }();
  return dir;
}

}  // namespace

int restat1(const char *path, struct stat *buf) {
  int r;
  while ((r = stat(path, buf)) != 0 && errno == EINTR) {
  }
  return r;
}

int fspath(const char *path, char *host, char *fs) {
  if (host) host[0] = '\0';
  if (fs) fs[0] = '\0';
  struct stat st;
  if (!path || restat1(path, &st) != 0) {
    elog_log(1, "fspath: can't stat %s\n", path ? path : "(none)");
    return -1;
  }
  std::string abs = absolute_of(path);
  std::string table = mount_table();
  std::ifstream in(table);
  if (!in) {
    elog_log(1, "fspath: can't open %s\n", table.c_str());
    return -1;
  }
  std::string line, best_host, best_fs;
  size_t best = 0;
  bool found = false;
  while (std::getline(in, line)) {
    std::vector<std::string> f = fields_of(line);
    if (f.size() < 2) continue;
    std::string device = unescape(f[0]);
    std::string mp = unescape(f[1]);
    if (!holds(mp, abs)) continue;
    // Equal length: a later mount on the same point hides the earlier one.
    if (found && mp.size() < best) continue;
    size_t colon = device.find(':');
    best_host = colon == std::string::npos ? "" : device.substr(0, colon);
    best_fs = colon == std::string::npos ? device : device.substr(colon + 1);
    best = mp.size();
    found = true;
  }
  if (!found) {
    elog_log(0, "fspath: no mount holds %s\n", abs.c_str());
    return -1;
  }
  copy_out(host, FSPATH_HOST_SIZE, best_host);
  copy_out(fs, FSPATH_FS_SIZE, best_fs);
  return 0;
}

int is_nfs(const char *path) {
  char host[FSPATH_HOST_SIZE], fs[FSPATH_FS_SIZE];
  if (fspath(path, host, fs) != 0) return -1;
  return host[0] ? 1 : 0;
}

Pathinfo *infopath(const char *path) {
  Pathinfo *info = static_cast<Pathinfo *>(calloc(1, sizeof(Pathinfo)));
  if (!info) OUT_OF_MEMORY(sizeof(Pathinfo), "info");
  std::string p = expand_home(path);
  if (fspath(p.c_str(), info->host, info->fs) != 0) {
    elog_log(0, "infopath: can't resolve host, filesystem for %s\n", p.c_str());
    free(info);
    return nullptr;
  }
  struct statvfs sv;
  if (statvfs(p.c_str(), &sv) != 0) {
    elog_log(1, "infopath: statvfs on '%s' fails\n", p.c_str());
    free(info);
    return nullptr;
  }
  // Full-width counts: a large file system does not fit 32 bits of blocks.
  info->fsid = (uint32_t)sv.f_fsid;
  info->avail_bytes = (double)sv.f_bavail * (double)sv.f_frsize;
  info->total_bytes = (double)sv.f_blocks * (double)sv.f_frsize;
  info->avail_files = (double)sv.f_favail;
  info->total_files = (double)sv.f_files;
  return info;
}

int std_statvfs(const char *path, struct statvfs *buf) {
  struct statfs sf;
  int r = statfs(path, &sf);
  if (r != 0) return r;
  memset(buf, 0, sizeof *buf);
  buf->f_bsize = (unsigned long)sf.f_bsize;
  buf->f_frsize = (unsigned long)sf.f_bsize;
  buf->f_blocks = sf.f_blocks;
  buf->f_bfree = sf.f_bfree;
  buf->f_bavail = sf.f_bavail;
  if (sf.f_files != 0) {
    buf->f_files = sf.f_files;
    buf->f_ffree = sf.f_ffree;
    buf->f_favail = sf.f_ffree;
  } else {
    buf->f_files = buf->f_ffree = buf->f_favail = 0x80000000u;
  }
  // The file system's own id, both halves when the field has room for them.
  int halves[2];
  memcpy(halves, &sf.f_fsid, sizeof halves);
  unsigned long id = (unsigned)halves[0];
  if (sizeof(unsigned long) >= 8) id |= (unsigned long)(unsigned)halves[1] << 16 << 16;
  buf->f_fsid = id;
  buf->f_namemax = (unsigned long)sf.f_namelen;
  return r;
}

int is_timezone(const char *name) {
  int saved = errno;
  int result = 0;
  if (name && !strstr(name, "..")) {
    std::string p = zone_dir() + "/" + name;
    struct stat st;
    if (p.size() <= PATH_MAX && restat1(p.c_str(), &st) == 0 && S_ISREG(st.st_mode)) result = 1;
  }
  errno = saved;
  return result;
}

int hexdigit_value(int c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void fs_set_mount_table(const char *path) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  g_mount_table = path ? path : "/proc/self/mounts";
}
