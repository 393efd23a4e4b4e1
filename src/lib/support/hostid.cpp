// hostid.cpp - host identity and host-name lookups.
#include "support/hostid.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "support/gx.h"

namespace {

constexpr double kInterfaceListLife = 60.0;
constexpr int kMaxInterfaces = MY_IPS_ROOM - 1;
constexpr unsigned kLoopback = 0x7F000001u;  // 127.0.0.1, host order

void copy_out(char *dst, size_t room, const std::string &s) {
  if (dst) snprintf(dst, room, "%s", s.c_str());
}

std::string dotted_of(unsigned network_order) {
  char buf[INET_ADDRSTRLEN];
  in_addr a;
  a.s_addr = network_order;
  inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

int system_forward(const char *name, unsigned *address, std::string *official) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo *res = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &res) != 0 || !res) return -1;
  const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(res->ai_addr);
  *address = sin->sin_addr.s_addr;
  *official = res->ai_canonname ? res->ai_canonname : name;
  freeaddrinfo(res);
  return 0;
}

int system_reverse(unsigned address, std::string *name) {
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = address;
  char host[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr *>(&sin), sizeof sin, host, sizeof host, nullptr,
                  0, NI_NAMEREQD) != 0)
    return -1;
  *name = host;
  return 0;
}

const HostResolver kSystemResolver = {system_forward, system_reverse};
std::atomic<const HostResolver *> g_resolver{&kSystemResolver};

std::mutex g_ifconfig_mutex;
std::string g_ifconfig = "/sbin/ifconfig";

std::string ifconfig_path() {
  std::lock_guard<std::mutex> lock(g_ifconfig_mutex);
  return g_ifconfig;
}

std::mutex g_username_mutex;
std::string g_username;

std::mutex g_my_ip_mutex;
std::mutex g_name2ip_mutex;
std::mutex g_ip2name_mutex;
std::set<unsigned> g_no_dns;

std::mutex g_my_ips_mutex;
std::vector<unsigned> g_ifaces;
bool g_ifaces_read = false;
double g_ifaces_time = 0;

// Reads one octet of 1 to 3 digits with a value up to 255; advances *p.
bool octet(const char **p, unsigned *value) {
  const char *s = *p;
  unsigned v = 0;
  int digits = 0;
  while (*s >= '0' && *s <= '9' && digits < 4) v = v * 10 + (unsigned)(*s++ - '0'), digits++;
  if (digits == 0 || digits > 3 || v > 255) return false;
  *value = v;
  *p = s;
  return true;
}

bool blank_or_end(char c) { return c == '\0' || c == ' ' || c == '\t' || c == '\r'; }

// The address of an ifconfig line "inet 10.1.2.3 ..." or "inet addr:10.1.2.3 ...".
bool inet_line(const char *line, unsigned *address) {
  const char *p = line;
  for (;;) {
    p = strstr(p, "inet");
    if (!p) return false;
    bool starts = p == line || p[-1] == ' ' || p[-1] == '\t';
    if (starts && (p[4] == ' ' || p[4] == '\t')) break;
    p += 4;
  }
  p += 4;
  while (*p == ' ' || *p == '\t') p++;
  if (strncmp(p, "addr:", 5) == 0) p += 5;
  unsigned a = 0;
  for (int i = 0; i < 4; i++) {
    unsigned v;
    if (!octet(&p, &v)) return false;
    if (i < 3 && *p++ != '.') return false;
    a = a << 8 | v;
  }
  if (!blank_or_end(*p)) return false;
  *address = a;
  return true;
}

// The interface addresses from the system's getifaddrs, in its order.
std::vector<unsigned> ifaddrs_list(bool skip_loopback, int room) {
  std::vector<unsigned> out;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs *i = list; i && (int)out.size() < room; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    unsigned a = ntohl(reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr);
    if (skip_loopback && a == kLoopback) continue;
    out.push_back(a);
  }
  freeifaddrs(list);
  return out;
}

// The interface addresses, from the ifconfig program when it is there, else from
// getifaddrs. `who` names the caller in the message of a failed start.
std::vector<unsigned> read_interfaces(bool skip_loopback, int room, const char *who) {
  std::string path = ifconfig_path();
  if (access(path.c_str(), X_OK) != 0) {
    errno = 0;
    return ifaddrs_list(skip_loopback, room);
  }
  std::string command = path + " -a";
  char lang[] = "LANG=C";
  char *env[] = {lang, nullptr};
  int h = gxpipe(command.c_str(), env, nullptr);
  std::vector<unsigned> out;
  if (h < 0) {
    elog_log(1, "%s: failed to open ifconfig pipe\n", who);
    return out;
  }
  std::string text;
  char buf[1024];
  int r;
  while ((r = gxline(h, buf, (int)sizeof buf)) > 0) {
    text += buf;
    if (r == 1) text += '\n';
  }
  gxclose(h);
  errno = 0;
  out.resize((size_t)room);
  int n = ifconfig_parse(text.c_str(), out.data(), room, skip_loopback ? 1 : 0);
  out.resize((size_t)n);
  return out;
}

int uname_field(char *name, int which) {
  struct utsname u;
  int r = uname(&u);
  if (r != 0) {
    if (name) name[0] = '\0';
    return r;
  }
  std::string s = which == 0 ? u.nodename : which == 1 ? u.sysname : u.machine;
  if (which == 0) s = s.substr(0, s.find('.'));
  copy_out(name, HOSTID_NAME_SIZE, s);
  return 0;
}

std::string login_name() {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf((size_t)(size > 0 ? size : 16384));
  for (;;) {
    passwd pw, *found = nullptr;
    int r = getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &found);
    if (r == ERANGE && buf.size() < (1u << 20)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    return r == 0 && found && found->pw_name ? found->pw_name : "";
  }
}

}  // namespace

int my_hostname(char *name) { return uname_field(name, 0); }
int my_os(char *name) { return uname_field(name, 1); }
int my_hardware(char *name) { return uname_field(name, 2); }

int my_username(char *name) {
  std::string user;
  {
    std::lock_guard<std::mutex> lock(g_username_mutex);
    if (g_username.empty()) g_username = login_name();
    user = g_username;
  }
  if (!user.empty()) {
    copy_out(name, HOSTID_NAME_SIZE, user);
    return 0;
  }
  if (name) snprintf(name, HOSTID_NAME_SIZE, "u#%ld", (long)getuid());
  return -1;
}

int my_ip(char *host, char *dotted, unsigned *address) {
  char shortname[HOSTID_NAME_SIZE];
  my_hostname(shortname);
  {
    std::lock_guard<std::mutex> lock(g_my_ip_mutex);
    unsigned a;
    std::string official;
    if (shortname[0] && g_resolver.load()->forward(shortname, &a, &official) == 0) {
      if (address) *address = a;
      copy_out(host, HOSTID_NAME_SIZE, official);
      copy_out(dotted, HOSTID_DOTTED_SIZE, dotted_of(a));
      return 0;
    }
  }
  copy_out(host, HOSTID_NAME_SIZE, "localhost");
  unsigned list[MY_IPS_ROOM];
  if (my_ips(list) == 0) return -1;
  unsigned a = htonl(list[0]);
  if (address) *address = a;
  copy_out(dotted, HOSTID_DOTTED_SIZE, dotted_of(a));
  return 0;
}

int ip2name(unsigned address, char *name) {
  if (address == htonl(kLoopback)) {
    copy_out(name, HOSTID_NAME_SIZE, "localhost");
    return 0;
  }
  std::string dotted = dotted_of(address);
  {
    std::lock_guard<std::mutex> lock(g_ip2name_mutex);
    if (g_no_dns.count(address)) {
      copy_out(name, HOSTID_NAME_SIZE, dotted);
      return -1;
    }
    std::string found;
    if (g_resolver.load()->reverse(address, &found) == 0) {
      copy_out(name, HOSTID_NAME_SIZE, found);
      return 0;
    }
    g_no_dns.insert(address);
  }
  copy_out(name, HOSTID_NAME_SIZE, dotted);
  elog_complain(0, "ip2name: Can't lookup hostname for ip address %s\n", dotted.c_str());
  return -1;
}

int name2ip(const char *name, unsigned *address, char *dotted) {
  std::lock_guard<std::mutex> lock(g_name2ip_mutex);
  unsigned a;
  std::string official;
  if (name && g_resolver.load()->forward(name, &a, &official) == 0) {
    if (address) *address = a;
    copy_out(dotted, HOSTID_DOTTED_SIZE, dotted_of(a));
    return 0;
  }
  if (address) *address = 0xFFFFFFFFu;
  copy_out(dotted, HOSTID_DOTTED_SIZE, "");
  return -1;
}

int my_ips(unsigned *list) {
  std::lock_guard<std::mutex> lock(g_my_ips_mutex);
  double now = clock_monotonic();
  if (!g_ifaces_read || now - g_ifaces_time > kInterfaceListLife) {
    g_ifaces = read_interfaces(true, kMaxInterfaces, "my_ips");
    g_ifaces_read = true;
    g_ifaces_time = now;
  }
  int n = 0;
  for (unsigned a : g_ifaces) list[n++] = a;
  list[n] = 0;
  return n;
}

unsigned my_ipaddress(void) {
  std::vector<unsigned> list = read_interfaces(false, 1, "my_ipaddress");
  return list.empty() ? 0 : list[0];
}

int ifconfig_parse(const char *text, unsigned *list, int room, int skip_loopback) {
  int n = 0;
  const char *p = text;
  std::string line;
  while (p && *p && n < room) {
    const char *end = strchr(p, '\n');
    line.assign(p, end ? (size_t)(end - p) : strlen(p));
    p = end ? end + 1 : nullptr;
    unsigned a;
    if (!inet_line(line.c_str(), &a)) continue;
    if (skip_loopback && a == kLoopback) continue;
    list[n++] = a;
  }
  return n;
}

void hostid_set_resolver(const HostResolver *resolver) {
  g_resolver.store(resolver ? resolver : &kSystemResolver);
}

void hostid_set_ifconfig(const char *path) {
  std::lock_guard<std::mutex> lock(g_ifconfig_mutex);
  g_ifconfig = path ? path : "/sbin/ifconfig";
}

void hostid_reset(void) {
  {
    std::lock_guard<std::mutex> lock(g_username_mutex);
    g_username.clear();
  }
  {
    std::lock_guard<std::mutex> lock(g_ip2name_mutex);
    g_no_dns.clear();
  }
  std::lock_guard<std::mutex> lock(g_my_ips_mutex);
  g_ifaces.clear();
  g_ifaces_read = false;
}
