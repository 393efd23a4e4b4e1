// udp.cpp - datagram endpoints: sockets, receive waits, byte averagers, the packet cache,
// verbose dumps and the SLIP carrier.
#include "udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "base/bigendian.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/random.h"
#include "base/tbl.h"
#include "support/byteorder.h"
#include "support/hostid.h"
#include "support/stdtime.h"

namespace {

// Longest wait of one poll: a long time-out re-reads the clock at least this often.
constexpr double kWaitSlice = 300.0;
// A wait that ends within this much of the time-out counts as the whole time-out.
constexpr double kWaitSlack = 0.1;
constexpr int kVerboseText = 1024;
constexpr int kDumpPerLine = 32;

// Sets one of the call flags for the life of a scope.
struct CallFlag {
  std::atomic<int> &flag;
  explicit CallFlag(std::atomic<int> &f) : flag(f) { flag.store(1); }
  ~CallFlag() { flag.store(0); }
};

// Closes the descriptor under `mutex` (held through `lock`): every reader and writer
// still using it is woken (shutting down the receive side ends a socket wait at once)
// and waited out first, so no one is left with a closed or reused descriptor. While the
// close waits, `closing` keeps others from taking up the descriptor.
void close_locked(UDP *udp, std::unique_lock<std::mutex> &lock) {
  udp->fd_idle.wait(lock, [udp] { return !udp->closing; });
  udp->generation.fetch_add(1);
  udp->closing = true;
  if (!udp->slip_buf && udp->fd >= 0) shutdown(udp->fd, SHUT_RD);
  udp->fd_idle.wait(lock, [udp] { return udp->fd_users == 0; });
  if (udp->slip_buf)
    serialbuf_close(udp->slip_buf);
  else if (udp->fd >= 0)
    close(udp->fd);
  udp->fd = -1;
  udp->local_port = -1;
  udp->closing = false;
  udp->fd_idle.notify_all();
}

// Opens the record bound to local_port (re-opening it when bound elsewhere) and counts
// the caller among its users. 0 with the descriptor and the generation, or the negative
// result of the open (logged as `who`).
int acquire(UDP *udp, int local_port, const char *local_ipaddr, const char *who, int *fd,
            unsigned *generation) {
  std::unique_lock<std::mutex> lock(udp->mutex);
  CallFlag in_open(udp->open_call);
  udp->fd_idle.wait(lock, [udp] { return !udp->closing; });
  if (udp->fd >= 0 && udp->local_port != local_port) close_locked(udp, lock);
  if (udp->fd < 0) {
    int r = udp_open(udp->slip_buf, local_port, local_ipaddr);
    if (r < 0) {
      udp->fd = r;
      elog_log(0, "%s: udp_open(%d) error.\n", who, local_port);
      return r;
    }
    udp->fd = r;
    udp->local_port = local_port;
  }
  udp->fd_users++;
  *fd = udp->fd;
  *generation = udp->generation.load();
  return 0;
}

// Ends the caller's use of the descriptor taken by acquire.
struct FdUse {
  UDP *udp;
  ~FdUse() {
    std::lock_guard<std::mutex> lock(udp->mutex);
    if (--udp->fd_users == 0) udp->fd_idle.notify_all();
  }
};

bool random_drop(const UDP *udp) {
  return udp->drop_packet_pcnt > 0 && 100.0 * disordered() <= udp->drop_packet_pcnt;
}

void count_bytes(UDP *udp, TAverage *direction, int nbytes) {
  taverage_put(direction, nbytes + UDP_HEADER_BYTES);
  taverage_put(udp->datarate, nbytes + UDP_HEADER_BYTES);
}

void hostport_text(const sockaddr_in &sa, char *text, size_t size) {
  uint32_t a = ntohl(sa.sin_addr.s_addr);
  snprintf(text, size, "%u.%u.%u.%u:%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF,
           (unsigned)ntohs(sa.sin_port));
}

// One verbose line to the callback, or to the error log's debug output.
void emit_line(UDP *udp, const char *line) {
  if (udp->verbose_callback) {
    udp->verbose_callback(udp->verbose_callback_pvt, line);
    return;
  }
  std::string text = line;
  while (!text.empty() && strchr("\n\t ", text.back())) text.pop_back();
  std::lock_guard<std::mutex> lock(udp->mutex);
  elog_debug(0, "UDP_DEBUG: %s\n", text.c_str());
}

void dump_lines(UDP *udp, const char *prefix, const unsigned char *bytes, int size,
                const char *byte_format) {
  std::string line;
  for (int i = 0; i < size; ++i) {
    if (i % kDumpPerLine == 0) line = prefix;
    char hex[8];
    snprintf(hex, sizeof hex, byte_format, bytes[i]);
    line += hex;
    if (i % kDumpPerLine == kDumpPerLine - 1 || i == size - 1) emit_line(udp, line.c_str());
  }
}

void free_entry(void *entry) { delete static_cast<UDPPacketCache *>(entry); }

// Takes a received datagram of n bytes from `from`: counts it, notes its sender, dumps
// it, and applies the test drop. True when it is to be handed to the caller; a
// zero-length datagram is ignored without a word.
bool take_datagram(UDP *udp, const void *buf, int n, const sockaddr_in &from) {
  if (n <= 0) return false;
  count_bytes(udp, udp->bytes_read, n);
  if (from.sin_addr.s_addr != udp->recv_saddr.sin_addr.s_addr ||
      from.sin_port != udp->recv_saddr.sin_port || udp->recv_hostport[0] == '\0') {
    udp->recv_saddr = from;
    hostport_text(from, udp->recv_hostport, sizeof udp->recv_hostport);
  }
  udp_print_verbose(udp, 1, n, buf, "udpr: ", "%d bytes from %s:", n, udp->recv_hostport);
  if (random_drop(udp)) {
    udp_print_verbose(udp, 0, "Random drop packet on receive");
    return false;
  }
  return true;
}

enum Receive { kGot, kNone, kInterrupted, kFailed };

Receive receive_once(UDP *udp, int fd, void *buf, int size, int *n, sockaddr_in *from) {
  CallFlag in_recv(udp->recvfrom_call);
  *from = sockaddr_in{};
  socklen_t len = sizeof *from;
  ssize_t r = recvfrom(fd, buf, (size_t)size, 0, reinterpret_cast<sockaddr *>(from), &len);
  if (r >= 0) {
    *n = (int)r;
    return kGot;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return kNone;
  if (errno == EINTR) return kInterrupted;
  return kFailed;
}

int read_slip(UDP *udp, unsigned generation, char *recv_hostport, void *buf, int *nbytes) {
  for (;;) {
    sockaddr_in from{};
    int n = slip_recvfrom(udp, buf, *nbytes, &from);
    if (udp->generation.load() != generation) return 1;
    if (n == -2) {
      clock_sleep(0.5);
      return 1;
    }
    if (n < 0) {
      elog_log(0, "udp_read: slip_recvfrom() error.\n");
      return -1;
    }
    if (!take_datagram(udp, buf, n, from)) continue;
    *nbytes = n;
    if (recv_hostport) strcpy(recv_hostport, udp->recv_hostport);
    if (udp_put_packet_cache(udp, 0, n, buf) < 0) {
      elog_log(0, "udp_read: udp_put_packet_cache() error.\n");
      return -1;
    }
    return 0;
  }
}

// Network-order fields of the SLIP frames.

// The UDP checksum over the pseudo-header (source, destination, protocol 17, length)
// and the UDP header and data, with the header's checksum field counted as 0.
unsigned udp_checksum(uint32_t src, uint32_t dst, const unsigned char *segment, int length) {
  std::vector<unsigned char> sum((size_t)(12 + length));
  be_put32(&sum[0], src);
  be_put32(&sum[4], dst);
  sum[8] = 0;
  sum[9] = 17;
  be_put16(&sum[10], (unsigned)length);
  memcpy(&sum[12], segment, (size_t)length);
  sum[12 + 6] = sum[12 + 7] = 0;
  return in_cksum(sum.data(), (int)sum.size());
}

constexpr unsigned char kEnd = 0xC0, kEsc = 0xDB, kEscEnd = 0xDC, kEscEsc = 0xDD;

int setup_slip(UDP *udp, const char *who, const char *dev, int baud, int flow, double timeout) {
  if (!udp) return -1;
  int ms = timeout < 0 ? -1 : (int)std::min(timeout * 1000.0 + 0.5, (double)INT_MAX);
  SerialBuf *line = serialbuf_create_serial(dev, baud, flow, 1024, ms, ms, 100000, 1, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  if (!line) {
    elog_log(0, "%s: serialbuf_create_serial(%s:%d) error.\n", who, dev ? dev : "", baud);
    return -1;
  }
  line->slip_ipaddr_src = 0xFFFFFFFFu;
  line->slip_port_src = 0xFFFF;
  SerialBuf *old;
  {
    std::unique_lock<std::mutex> lock(udp->mutex);
    close_locked(udp, lock);
    old = udp->slip_buf;
    udp->slip_buf = line;
  }
  serialbuf_destroy(old);
  return 0;
}

// Gives `slot` the contents of `fresh`: an averager that exists keeps its address (other
// threads may hold it) and takes the new contents under its lock.
void install_averager(TAverage **slot, TAverage *fresh) {
  if (!*slot) {
    *slot = fresh;
    return;
  }
  {
    std::lock_guard<std::mutex> lock((*slot)->mutex);
    TAverage *old = *slot;
    std::swap(old->tbin, fresh->tbin);
    std::swap(old->twin, fresh->twin);
    std::swap(old->nbin, fresh->nbin);
    std::swap(old->bins, fresh->bins);
    std::swap(old->time, fresh->time);
    std::swap(old->cap_logged, fresh->cap_logged);
  }
  taverage_destroy(fresh);
}

}  // namespace

int udp_new(UDP **udp) {
  *udp = new (std::nothrow) UDP;
  if (!*udp) {
    elog_log(0, "udp_new: malloc(UDP) error.\n");
    return -1;
  }
  return 0;
}

int udp_free(UDP *udp) {
  if (!udp) return 0;
  udp_close(udp);
  serialbuf_destroy(udp->slip_buf);
  taverage_destroy(udp->bytes_read);
  taverage_destroy(udp->bytes_written);
  taverage_destroy(udp->datarate);
  udp_free_packet_cache(udp);
  delete udp;
  return 0;
}

int udp_close(UDP *udp) {
  if (!udp) return 0;
  std::unique_lock<std::mutex> lock(udp->mutex);
  close_locked(udp, lock);
  return 0;
}

int udp_open(SerialBuf *slip_buf, int port, const char *ipaddr) {
  if (slip_buf) {
    if (serialbuf_connect(slip_buf, 0, "") < 0) {
      elog_log(0, "udp_open: serialbuf_connect() error.\n");
      return -1;
    }
    slip_buf->slip_port_src = (uint16_t)port;
    return slip_buf->fd;
  }
  if (port > 65535) {
    elog_log(0, "udp_open: port %d out of range.\n", port);
    return -1;
  }
  bool local = ipaddr && *ipaddr;
  in_addr address{};
  address.s_addr = htonl(INADDR_ANY);
  if (local && inet_pton(AF_INET, ipaddr, &address) != 1) {
    elog_log(0, "udp_open: bad local address '%s'.\n", ipaddr);
    return -1;
  }
  // A descriptor of 0 is a good one (standard input may be closed).
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    elog_log(1, "udp_open: socket() error.\n");
    return -1;
  }
  auto fail = [fd](int result, const char *text, int value) {
    int saved = errno;
    close(fd);
    errno = saved;
    elog_log(1, text, value);
    return result;
  };
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0)
    return fail(-1, "udp_open: setsockopt(SO_KEEPALIVE) error.\n", 0);
  if (setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0)
    return fail(-1, "udp_open: setsockopt(SO_BROADCAST) error.\n", 0);
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    return fail(-1, "udp_open: fcntl(O_NONBLOCK) error.\n", 0);
  if (port > 0 || local) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    sa.sin_port = htons((uint16_t)(port > 0 ? port : 0));
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
      return fail(-2, "udp_open: bind(%d) error.\n", port);
  }
  return fd;
}

int udp_setup_ipaddr(const char *hostport, struct sockaddr *saddr) {
  if (!hostport || !saddr) {
    elog_log(0, "udp_setup_ipaddr: no hostport argument.\n");
    return -1;
  }
  std::string text = strcmp(hostport, "broadcast") == 0 ? "255.255.255.255:65535" : hostport;
  size_t colon = text.find(':');
  if (colon == std::string::npos) {
    elog_log(0, "udp_setup_ipaddr: no port number in hostport argument '%s'.\n", hostport);
    return -1;
  }
  std::string host = text.substr(0, colon), digits = text.substr(colon + 1);
  long port = 0;
  bool good = !digits.empty() && digits.size() <= 5;
  for (char c : digits) {
    if (c < '0' || c > '9') good = false;
    port = port * 10 + (c - '0');
  }
  if (!good || port > 65535) {
    elog_log(0, "udp_setup_ipaddr: bad port number in hostport argument '%s'.\n", hostport);
    return -1;
  }
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) != 1) {
    unsigned ip = 0;
    char dotted[HOSTID_DOTTED_SIZE];
    if (host.empty() || name2ip(host.c_str(), &ip, dotted) < 0) {
      elog_log(0, "udp_setup_ipaddr: Can't locate server by name of '%s'\n", host.c_str());
      return -1;
    }
    address.s_addr = ip;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr = address;
  sa.sin_port = htons((uint16_t)port);
  memcpy(saddr, &sa, sizeof sa);
  return 0;
}

int udp_write(UDP *udp, int local_port, const char *local_ipaddr, const char *send_hostport,
              const void *buf, int nbytes) {
  if (!udp) return -1;
  if (nbytes < 0 || (nbytes > 0 && !buf)) {
    elog_log(0, "udp_write: bad datagram of %d bytes.\n", nbytes);
    return -1;
  }
  if (!send_hostport) send_hostport = "";
  if (udp->send_hostport[0] == '\0' || strcmp(send_hostport, udp->send_hostport) != 0) {
    sockaddr_in sa{};
    if (udp_setup_ipaddr(send_hostport, reinterpret_cast<sockaddr *>(&sa)) < 0) {
      elog_log(0, "udp_write: udp_setup_ipaddr(%s) error.\n", send_hostport);
      return -1;
    }
    udp->send_saddr = sa;
    // A text too long to keep is resolved again on every write.
    snprintf(udp->send_hostport, sizeof udp->send_hostport, "%s", send_hostport);
  }
  int fd;
  unsigned generation;
  int r = acquire(udp, local_port, local_ipaddr, "udp_write", &fd, &generation);
  if (r < 0) return r;
  FdUse use{udp};
  udp_print_verbose(udp, 1, nbytes, buf, "udpw: ", "%d bytes to %s:", nbytes, send_hostport);
  if (random_drop(udp)) {
    udp_print_verbose(udp, 0, "Random drop packet on send");
  } else {
    ssize_t sent;
    int err;
    {
      CallFlag in_send(udp->sendto_call);
      if (udp->slip_buf) {
        sent = slip_sendto(udp, buf, nbytes, &udp->send_saddr);
      } else {
        sent = sendto(fd, buf, (size_t)nbytes, 0,
                      reinterpret_cast<const sockaddr *>(&udp->send_saddr), sizeof udp->send_saddr);
      }
      err = errno;
    }
    if (sent < 0) {
      errno = err;
      if (err == EINTR)
        elog_log(0, "udp_write: sendto(%s) interrupted.\n", send_hostport);
      else
        elog_log(1, "udp_write: sendto(%s) error.\n", send_hostport);
      return -1;
    }
    if (sent < nbytes) {
      elog_log(0, "udp_write: sendto(%s) short by %d bytes.\n", send_hostport, nbytes - (int)sent);
      return -1;
    }
  }
  count_bytes(udp, udp->bytes_written, nbytes);
  if (udp_put_packet_cache(udp, 1, nbytes, buf) < 0) {
    elog_log(0, "udp_write: udp_put_packet_cache() error.\n");
    return -1;
  }
  return 1;
}

int udp_read(UDP *udp, int local_port, const char *local_ipaddr, char *recv_hostport, void *buf,
             int *nbytes, double timeout) {
  if (!udp || !buf || !nbytes || *nbytes < 1) {
    elog_log(0, "udp_read: no buffer to read into.\n");
    return -1;
  }
  int fd;
  unsigned generation;
  int r = acquire(udp, local_port, local_ipaddr, "udp_read", &fd, &generation);
  if (r < 0) return r;
  FdUse use{udp};
  if (udp->slip_buf) return read_slip(udp, generation, recv_hostport, buf, nbytes);

  const int size = *nbytes;
  // `left` is the time-out still to run from `wait_start` (monotonic clock).
  double wait_start = clock_monotonic();
  double left = timeout;
  int n = 0;
  sockaddr_in from{};
  Receive got = receive_once(udp, fd, buf, size, &n, &from);
  for (;;) {
    if (udp->generation.load() != generation) return 1;
    if (got == kInterrupted) return 2;
    if (got == kFailed) {
      elog_log(1, "udp_read: recvfrom() error.\n");
      return -1;
    }
    if (got == kGot) {
      if (take_datagram(udp, buf, n, from)) {
        *nbytes = n;
        if (recv_hostport) strcpy(recv_hostport, udp->recv_hostport);
        if (udp_put_packet_cache(udp, 0, n, buf) < 0) {
          elog_log(0, "udp_read: udp_put_packet_cache() error.\n");
          return -1;
        }
        return 0;
      }
      // Dropped or empty: go on within what is left of the time-out.
      if (timeout < 0) {
        got = receive_once(udp, fd, buf, size, &n, &from);
        continue;
      }
      double now = clock_monotonic();
      left -= now - wait_start;
      wait_start = now;
      if (left <= 0) return 1;
    } else if (timeout < 0) {  // nothing there, and no wait asked
      return 3;
    }
    {
      CallFlag in_wait(udp->wait_call);
      for (;;) {
        double slice = std::min(left - (clock_monotonic() - wait_start), kWaitSlice);
        int ms = std::max(1, (int)(slice * 1000.0 + 1.5));
        int w = myfdwait(fd, ms);
        if (udp->generation.load() != generation) return 1;
        if (w == -1) {
          elog_log(1, "udp_read: myfdwait() error.\n");
          return -1;
        }
        if (w == 2) return 2;
        if (w == 0) break;
        // The whole time-out passed with nothing to read: no receive to find that out.
        if (clock_monotonic() - wait_start > left - kWaitSlack) return 1;
      }
    }
    got = receive_once(udp, fd, buf, size, &n, &from);
  }
}

int myfdwait(int fd, int msec) {
  const short wanted = POLLIN | POLLPRI | POLLRDNORM | POLLRDBAND;
  pollfd p{fd, wanted, 0};
  int r = poll(&p, 1, clock_real_ms(msec));
  if (r == 0) return 1;
  if (r > 0) return (p.revents & wanted) ? 0 : -1;
  if (errno == EINTR) return 2;
  if (errno == EAGAIN) return 1;
  return -1;
}

int udp_setup_averages(UDP *udp, double time, double bytes_read_tbin, double bytes_read_twin,
                       double bytes_written_tbin, double bytes_written_twin, double datarate_tbin,
                       double datarate_twin) {
  if (!udp) return -1;
  const struct {
    const char *name;
    double tbin, twin;
    TAverage **slot;
  } pairs[] = {
      {"bytes_read", bytes_read_tbin, bytes_read_twin, &udp->bytes_read},
      {"bytes_written", bytes_written_tbin, bytes_written_twin, &udp->bytes_written},
      {"datarate", datarate_tbin, datarate_twin, &udp->datarate},
  };
  for (const auto &p : pairs) {
    if (!(p.tbin > 0 && p.twin > 0)) continue;
    double bins = p.twin / p.tbin;
    int nbin =
        bins >= (double)TAVERAGE_MAX_BINS + 1 ? TAVERAGE_MAX_BINS + 1 : std::max(1, (int)bins);
    TAverage *fresh = taverage_create(time, p.tbin, nbin);
    if (!fresh) {
      elog_log(0, "udp_setup_averages: taverage_create(%s) error.\n", p.name);
      return -1;
    }
    install_averager(p.slot, fresh);
  }
  return 0;
}

int udp_new_packet_cache(UDP *udp, int size) {
  if (!udp) return -1;
  std::lock_guard<std::mutex> lock(udp->packet_cache_mutex);
  freetbl(udp->packet_cache, free_entry);
  udp->packet_cache = nullptr;
  udp->packet_cache_size = 0;
  if (size > 0) {
    udp->packet_cache = newtbl(size);
    if (!udp->packet_cache) {
      elog_log(0, "udp_new_packet_cache: newtbl() error.\n");
      return -1;
    }
    udp->packet_cache_size = size;
  }
  return 0;
}

int udp_put_packet_cache(UDP *udp, int type, int size, const void *packet) {
  if (!udp) return -1;
  {
    std::lock_guard<std::mutex> lock(udp->packet_cache_mutex);
    if (!udp->packet_cache) return 0;
  }
  if (type != 0 && type != 1) {
    elog_log(0, "udp_put_packet_cache: Illegal type value\n");
    return -1;
  }
  if (size < 0 || (size > 0 && !packet)) {
    elog_log(0, "udp_put_packet_cache: Illegal size %d\n", size);
    return -1;
  }
  UDPPacketCache *entry = new (std::nothrow) UDPPacketCache;
  if (!entry) {
    elog_log(0, "udp_put_packet_cache: malloc(cache,%ld) error.\n", (long)sizeof *entry);
    return -1;
  }
  entry->time = std_now();
  entry->type = type;
  snprintf(entry->hostport, sizeof entry->hostport, "%s",
           type == 0 ? udp->recv_hostport : udp->send_hostport);
  entry->size = size;
  try {
    const unsigned char *bytes = static_cast<const unsigned char *>(packet);
    if (size > 0) entry->packet.assign(bytes, bytes + size);
  } catch (const std::bad_alloc &) {
    delete entry;
    elog_log(0, "udp_put_packet_cache: malloc(packet,%d) error.\n", size);
    return -1;
  }
  std::lock_guard<std::mutex> lock(udp->packet_cache_mutex);
  if (!udp->packet_cache) {
    delete entry;
    return 0;
  }
  unshifttbl(udp->packet_cache, entry);
  while (maxtbl(udp->packet_cache) > udp->packet_cache_size) free_entry(poptbl(udp->packet_cache));
  return 0;
}

int udp_get_packet_cache(UDP *udp, Tbl **copy) {
  *copy = nullptr;
  if (!udp) return -1;
  Tbl *list = newtbl(0);
  if (!list) {
    elog_log(0, "udp_get_packet_cache: newtbl() error.\n");
    return -1;
  }
  std::lock_guard<std::mutex> lock(udp->packet_cache_mutex);
  if (!udp->packet_cache) {
    freetbl(list, nullptr);
    return 0;
  }
  for (long i = 0; i < maxtbl(udp->packet_cache); ++i) {
    const auto *src = static_cast<const UDPPacketCache *>(gettbl(udp->packet_cache, i));
    UDPPacketCache *entry = new (std::nothrow) UDPPacketCache;
    if (!entry) {
      elog_log(0, "udp_get_packet_cache: malloc(cache,%ld) error.\n", (long)sizeof *entry);
      freetbl(list, free_entry);
      return -1;
    }
    try {
      *entry = *src;
    } catch (const std::bad_alloc &) {
      delete entry;
      elog_log(0, "udp_get_packet_cache: malloc(packet,%d) error.\n", src->size);
      freetbl(list, free_entry);
      return -1;
    }
    pushtbl(list, entry);
  }
  *copy = list;
  return 0;
}

int udp_free_packet_cache_tbl(Tbl *list) {
  freetbl(list, free_entry);
  return 0;
}

int udp_free_packet_cache(UDP *udp) {
  if (!udp) return 0;
  std::lock_guard<std::mutex> lock(udp->packet_cache_mutex);
  freetbl(udp->packet_cache, free_entry);
  udp->packet_cache = nullptr;
  udp->packet_cache_size = 0;
  return 0;
}

int udp_print_verbose(UDP *udp, int type, ...) {
  if (!udp) return 0;
  int verbose = udp->verbose.load();
  if (verbose <= 0 || (type == 1 && verbose <= 1) || (type != 0 && type != 1)) return 0;
  va_list ap;
  va_start(ap, type);
  char text[kVerboseText + 1];
  if (type == 0) {
    const char *format = va_arg(ap, const char *);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    emit_line(udp, text);
    return 0;
  }
  int size = va_arg(ap, int);
  const auto *bytes = static_cast<const unsigned char *>(va_arg(ap, const void *));
  const char *prefix = va_arg(ap, const char *);
  const char *format = va_arg(ap, const char *);
  vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  emit_line(udp, (std::string(prefix) + text).c_str());
  if (bytes) dump_lines(udp, prefix, bytes, size, " %2.2X");
  return 0;
}

int udp_set_verbose(UDP *udp, int verbose) {
  if (udp) udp->verbose.store(verbose);
  return 0;
}

int udp_setup_slip(UDP *udp, const char *dev, int baud, double timeout) {
  return setup_slip(udp, "udp_setup_slip", dev, baud, 0, timeout);
}

int udp_setup_slip_with_flow(UDP *udp, const char *dev, int baud, int flow, double timeout) {
  return setup_slip(udp, "udp_setup_slip_with_flow", dev, baud, flow ? 1 : 0, timeout);
}

uint16_t in_cksum(const void *data, int len) {
  const auto *p = static_cast<const unsigned char *>(data);
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < len; i += 2) sum += be_get16(p + i);
  if (i < len) sum += (uint32_t)p[i] << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return (uint16_t)~sum;
}

// An IPv4/UDP packet in a SLIP frame:
//   offset  size  field
//   0       1     version 4, header length 5 words: 0x45
//   1       1     type of service 0
//   2       2     total length: payload + 28
//   4       2     identification (a counter of the line)
//   6       2     flags and fragment offset: 0x4000, don't fragment
//   8       1     time to live 255
//   9       1     protocol 17 (UDP)
//   10      2     header checksum
//   12      4     source address
//   16      4     destination address
//   20      2     UDP source port
//   22      2     UDP destination port
//   24      2     UDP length: payload + 8
//   26      2     UDP checksum (pseudo-header, header and payload; 0 sent as 0xFFFF)
//   28      n     payload
// all big-endian. The frame is 0xC0, the packet with 0xC0 sent as 0xDB 0xDC and 0xDB as
// 0xDB 0xDD, and 0xC0.
int slip_sendto(UDP *udp, const void *buf, int nbytes, const sockaddr_in *to) {
  SerialBuf *line = udp ? udp->slip_buf : nullptr;
  if (!line || !to || nbytes < 0 || (nbytes > 0 && !buf)) return -1;
  if (nbytes > 65535 - 28) {
    elog_log(0, "slip_sendto: datagram of %d bytes does not fit in a packet.\n", nbytes);
    return -1;
  }
  std::vector<unsigned char> pkt((size_t)(28 + nbytes));
  unsigned char *p = pkt.data();
  uint32_t src = line->slip_ipaddr_src, dst = ntohl(to->sin_addr.s_addr);
  p[0] = 0x45;
  p[1] = 0;
  be_put16(p + 2, (unsigned)(nbytes + 28));
  be_put16(p + 4, line->slip_identification++);
  be_put16(p + 6, 0x4000);
  p[8] = 255;
  p[9] = 17;
  be_put32(p + 12, src);
  be_put32(p + 16, dst);
  be_put16(p + 10, in_cksum(p, 20));
  be_put16(p + 20, line->slip_port_src);
  be_put16(p + 22, ntohs(to->sin_port));
  be_put16(p + 24, (unsigned)(nbytes + 8));
  if (nbytes > 0) memcpy(p + 28, buf, (size_t)nbytes);
  unsigned sum = udp_checksum(src, dst, p + 20, nbytes + 8);
  be_put16(p + 26, sum == 0 ? 0xFFFF : sum);

  std::vector<unsigned char> frame;
  frame.reserve(pkt.size() * 2 + 2);
  frame.push_back(kEnd);
  for (unsigned char c : pkt) {
    if (c == kEnd) {
      frame.push_back(kEsc);
      frame.push_back(kEscEnd);
    } else if (c == kEsc) {
      frame.push_back(kEsc);
      frame.push_back(kEscEsc);
    } else {
      frame.push_back(c);
    }
  }
  frame.push_back(kEnd);
  if (udp->verbose.load() > 1) {
    dump_lines(udp, "SLS:", frame.data(), (int)frame.size(), " %2.2x");
    emit_line(udp, "SLS:\n");
  }
  size_t off = 0;
  while (off < frame.size()) {
    int w = serialbuf_write(line, frame.data() + off, (int)(frame.size() - off));
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      elog_log(1, "slip_sendto: serialbuf_write() error.\n");
      return -1;
    }
    off += (size_t)w;
  }
  return nbytes;
}

int slip_decode_byte(SlipDecoder *d, unsigned char c) {
  if (c == kEnd) {
    bool bad = d->bad || d->esc;
    d->bad = d->esc = false;
    if (bad) {
      d->frame.clear();
      return -1;
    }
    return d->frame.empty() ? 0 : 1;
  }
  if (d->bad) return 0;
  if (d->esc) {
    d->esc = false;
    if (c == kEscEnd)
      c = kEnd;
    else if (c == kEscEsc)
      c = kEsc;
    else
      d->bad = true;
  } else if (c == kEsc) {
    d->esc = true;
    return 0;
  }
  if (!d->bad) d->frame.push_back(c);
  if (d->frame.size() > (size_t)UDP_SLIP_FRAME_MAX) d->bad = true;
  if (d->bad) d->frame.clear();
  return 0;
}

int slip_parse_frame(const unsigned char *f, int size, int *payload, int *length, sockaddr_in *from,
                     std::string *why) {
  auto drop = [why](const std::string &text) {
    if (why) *why = text;
    return -1;
  };
  if (size < 28) return drop("frame of " + std::to_string(size) + " bytes is too short");
  int ihl = (f[0] & 0x0F) * 4;
  if ((f[0] >> 4) != 4 || ihl < 20 || ihl + 8 > size)
    return drop("bad IPv4 version or header length");
  if ((int)be_get16(f + 2) != size)
    return drop("IP length " + std::to_string(be_get16(f + 2)) + " in a frame of " +
                std::to_string(size) + " bytes");
  if ((be_get16(f + 6) & 0x3FFF) != 0) return drop("fragment");
  if (f[9] != 17) return drop("protocol " + std::to_string(f[9]) + " is not UDP");
  std::vector<unsigned char> header(f, f + ihl);
  header[10] = header[11] = 0;
  unsigned ip_sum = in_cksum(header.data(), ihl), ip_stored = be_get16(f + 10);
  char text[128];
  if (ip_sum != ip_stored) {
    snprintf(text, sizeof text,
             "ip header checksum, 0x%4.4x, does not match computed checksum, 0x%4.4x.\n", ip_stored,
             ip_sum);
    return drop(text);
  }
  const unsigned char *u = f + ihl;
  int udp_length = (int)be_get16(u + 4);
  if (udp_length != size - ihl) return drop("UDP length disagrees with the frame");
  unsigned udp_stored = be_get16(u + 6);
  if (udp_stored != 0) {
    unsigned udp_sum = udp_checksum(be_get32(f + 12), be_get32(f + 16), u, udp_length);
    if (udp_sum == 0) udp_sum = 0xFFFF;
    if (udp_sum != udp_stored) {
      snprintf(text, sizeof text,
               "udp header checksum, 0x%4.4x, does not match computed checksum, 0x%4.4x.\n",
               udp_stored, udp_sum);
      return drop(text);
    }
  }
  *payload = ihl + 8;
  *length = udp_length - 8;
  if (from) {
    *from = sockaddr_in{};
    from->sin_family = AF_INET;
    from->sin_addr.s_addr = htonl(be_get32(f + 12));
    from->sin_port = htons((uint16_t)be_get16(u));
  }
  return 0;
}

int slip_recvfrom(UDP *udp, void *buf, int nbytes, sockaddr_in *from) {
  SerialBuf *line = udp ? udp->slip_buf : nullptr;
  if (!line || !buf || nbytes < 0) return -1;
  SlipDecoder d;
  for (;;) {
    unsigned char c;
    int r = serialbuf_get_byte(line, &c, 0);
    if (r == 1) return -2;
    if (r != 0) return -1;
    if (slip_decode_byte(&d, c) != 1) continue;
    int payload = 0, length = 0;
    std::string why;
    int ok = slip_parse_frame(d.frame.data(), (int)d.frame.size(), &payload, &length, from, &why);
    if (ok < 0) {
      if (why.find("checksum") != std::string::npos) {
        elog_complain(0, "%s", why.c_str());
        if (udp->verbose.load() > 0)
          dump_lines(udp, "SLR:", d.frame.data(), (int)d.frame.size(), " %2.2x");
      } else {
        udp_print_verbose(udp, 0, "slip_recvfrom: frame dropped: %s", why.c_str());
      }
      d.frame.clear();
      continue;
    }
    const unsigned char *f = d.frame.data();
    line->slip_ipaddr_dst = be_get32(f + 12);
    line->slip_port_dst = (uint16_t)be_get16(f + payload - 8);
    int n = std::min(length, nbytes);
    if (n > 0) memcpy(buf, f + payload, (size_t)n);
    return n;
  }
}
