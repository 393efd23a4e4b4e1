// ringname.cpp - ring-buffer names: host check, port, ring directory.
#include "ring/ringname.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/elog.h"
#include "ring/orb.h"

namespace {

std::string lower(std::string s) {
  for (char &c : s) c = (char)tolower((unsigned char)c);
  return s;
}

std::string first_label(const std::string &s) { return s.substr(0, s.find('.')); }

// True when the address (AF_INET or AF_INET6 bytes) belongs to an interface here.
bool interface_has(int family, const void *addr) {
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs *i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != family) continue;
    if (family == AF_INET) {
      const auto *sin = reinterpret_cast<const sockaddr_in *>(i->ifa_addr);
      found = memcmp(&sin->sin_addr, addr, sizeof(in_addr)) == 0;
    } else {
      const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr);
      found = memcmp(&sin6->sin6_addr, addr, sizeof(in6_addr)) == 0;
    }
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

std::string ring_directory() {
  const char *dir = getenv("VANTREL_RINGDIR");
  if (dir && *dir) return dir;
  const char *root = getenv("VANTREL");
  return std::string(root && *root ? root : "/opt/vantrel") + "/rings";
}

bool ring_host_is_local(const std::string &host) {
  if (host.empty()) return true;
  std::string h = lower(host);
  if (h == "localhost" || h == "localhost.localdomain" || h == "ip6-localhost") return true;
  char buf[256] = {0};
  if (gethostname(buf, sizeof buf - 1) == 0 && buf[0]) {
    std::string me = lower(buf);
    if (h == me) return true;
    // "box" names "box.example.org" and the other way round.
    if (h.find('.') == std::string::npos && h == first_label(me)) return true;
    if (me.find('.') == std::string::npos && first_label(h) == me) return true;
  }
  in_addr a4{};
  if (inet_pton(AF_INET, h.c_str(), &a4) == 1) {
    if ((ntohl(a4.s_addr) >> 24) == 127) return true;
    return interface_has(AF_INET, &a4);
  }
  in6_addr a6{};
  if (inet_pton(AF_INET6, h.c_str(), &a6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&a6)) return true;
    return interface_has(AF_INET6, &a6);
  }
  return false;
}

int ring_resolve_name(const char *who, const char *name, RingName *out) {
  if (!name || !*name) {
    elog_log(0, "%s: no ring name given\n", who);
    return -1;
  }
  std::string s = name;
  const std::string suffix = ".ring";
  struct stat st {};
  const char *path_rule = nullptr;
  if (s.find('/') != std::string::npos) {
    path_rule = "a path: it has a '/'";
  } else if (s.size() > suffix.size() &&
             s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0) {
    path_rule = "a path: it ends in \".ring\"";
  } else if (stat(name, &st) == 0) {
    path_rule = "a path: a file of that name exists";
  }
  if (path_rule != nullptr) {
    *out = RingName{s, "", 0, false, path_rule};
    return 0;
  }
  const std::string rule =
      "[host]:port (no '/', no \".ring\" suffix, no file of that name), the ring " +
      std::string("directory ") + ring_directory();
  std::string host, port;
  if (s[0] == '[') {
    size_t close = s.find(']');
    std::string rest = close == std::string::npos ? "" : s.substr(close + 1);
    if (close == std::string::npos || (!rest.empty() && rest[0] != ':')) {
      elog_log(0, "%s: bad ring name '%s', read as %s\n", who, name, rule.c_str());
      return -1;
    }
    host = s.substr(1, close - 1);
    if (!rest.empty()) port = rest.substr(1);
  } else {
    size_t colon = s.rfind(':');
    host = s.substr(0, colon);
    if (colon != std::string::npos) port = s.substr(colon + 1);
  }
  if (!ring_host_is_local(host)) {
    elog_log(0, "%s: '%s', read as %s, names a ring on host '%s': only local rings are served\n",
             who, name, rule.c_str(), host.c_str());
    return -1;
  }
  int number = 0;
  std::string file;
  bool digits = !port.empty() && port.find_first_not_of("0123456789") == std::string::npos;
  if (port.empty()) {
    number = ORB_DEFAULT_PORT;
  } else if (digits) {
    long v = port.size() <= 5 ? strtol(port.c_str(), nullptr, 10) : 0;
    if (v < 1 || v > 65535) {
      elog_log(0, "%s: bad ring name '%s', read as %s: port %s is out of range\n", who, name,
               rule.c_str(), port.c_str());
      return -1;
    }
    number = (int)v;
  } else {
    bool word = port.size() <= 64 && port[0] != '.' &&
                port.find_first_not_of(
                    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                    "0123456789_-.") == std::string::npos;
    if (!word) {
      elog_log(0, "%s: bad ring name '%s', read as %s: the port must be a number or a word\n", who,
               name, rule.c_str());
      return -1;
    }
    file = port;
  }
  if (number) file = std::to_string(number);
  *out = RingName{ring_directory() + "/" + file + ".ring", host, number, true, rule};
  return 0;
}
