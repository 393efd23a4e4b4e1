// orb.cpp - the ring-buffer client: connections, selection, reading, writing, status,
// and the fault-injection hook.
//
// Connections live in a process-wide table (g_table_mutex) as shared pointers, so that a
// call in progress keeps its connection alive while another thread closes it. Each
// connection's read state (position, selection, missed count, packets copied but not yet
// handed out) is guarded by its own mutex. Lock order: connection, then ring.
//
// Reaping takes no ring lock: a visit copies the counters, looks at up to kBatch packets
// (copying the selected ones into the connection), then checks that none of them was
// evicted meanwhile (ringfile.h tells why that is enough); later reaps hand the copies
// out. The ring's lock is taken by writers, by the scans of orbafter, orbsources, orbget
// and orbstat (for a bounded stretch: kScanBatch slots per hold) and by a reader only to
// repair the ring or to count packets it missed. A reader that finds nothing for it
// waits: it naps for a few tens of microseconds when it was being handed packets fast
// (so that a busy writer makes no system call for it), else it sleeps until a put of a
// source it may select (the wake buckets of ringfile.h, learnt from its verdicts).
#include "ring/orb.h"

#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "ring/ringfile.h"
#include "ring/ringname.h"

using ringfile::Meta;
using ringfile::pktid_of;
using ringfile::Ring;

namespace {

constexpr int kBatch = 64;                  // packets a reader's visit looks at
constexpr size_t kBatchBytes = 256 * 1024;  // bytes it copies, beyond its first packet
constexpr int kScanBatch = 4096;            // slots orbafter/orbsources look at per hold
constexpr double kWaitSlice = 1.0;          // clock seconds between re-checks of a blocked reap
constexpr double kMissedFlush = 0.1;        // clock seconds between additions to the ring's missed
// A reader handed out packets faster than this (per clock second) since it last waited
// has a busy writer: instead of asking it for a wake, which costs the writer a system
// call per put (and more the more sleepers it wakes), it naps for kNap clock seconds.
constexpr double kBusyRate = 50000;
constexpr double kNap = 50e-6;
constexpr size_t kVerdictsMax = 4096;

// A compiled expression that must match a whole source name.
struct Pattern {
  regex_t re{};
  bool compiled = false;
  ~Pattern() {
    if (compiled) regfree(&re);
  }
};

struct Conn {
  int id = -1;
  std::string name;
  std::shared_ptr<Ring> ring;
  bool writable = false;
  int port = 0;
  std::atomic<bool> closed{false};

  std::mutex mu;                // guards the rest
  uint64_t next = 0;            // sequence of the next packet to look at
  int64_t missed = 0;           // packets lapped
  uint64_t missed_pending = 0;  // not yet added to the ring's count
  double missed_flushed = 0;    // when they were last added (clock_monotonic)
  // The ring's reset count and newest sequence + 1 at the last look, to tell a repair
  // that emptied the ring or started its counters again.
  uint64_t resets_seen = 0, next_seen = 0;
  std::unique_ptr<Pattern> select, reject;
  std::unordered_map<std::string, bool> verdicts;  // source name -> selected
  // Wake buckets (ringfile::source_bit) of the names in `verdicts` that were selected and
  // rejected: a reader asleep waits for the buckets of selected names and of names it
  // has not seen.
  uint32_t selected_bits = 0, rejected_bits = 0;
  uint32_t handed_since_wait = 0;  // packets handed out since the last wait
  double waited_at = 0;            // when it last waited (clock_monotonic)

  void forget_verdicts() {
    verdicts.clear();
    selected_bits = rejected_bits = 0;
  }
  // The wake bits a reader about to sleep waits for.
  uint32_t wait_bits() const {
    if (!select && !reject) return ringfile::kAllBits;
    uint32_t ignored = rejected_bits & ~selected_bits & ~ringfile::kNewSourceBit;
    return ~ignored;
  }

  // Packets a visit copied, handed out from `taken` on; their bytes in `bytes`. The
  // position `next` is past them.
  struct Copied {
    uint64_t seq;
    double time;
    uint32_t nbytes;
    size_t at;
    char srcname[ORBSRCNAME_SIZE];
  };
  std::vector<Copied> copied;
  size_t taken = 0;
  std::vector<char> bytes;

  // Forgets the copies, moving the position back to the first not handed out.
  void drop_copies() {
    if (taken < copied.size()) next = copied[taken].seq;
    copied.clear();
    bytes.clear();
    taken = 0;
  }
};

std::mutex g_table_mutex;
std::map<int, std::shared_ptr<Conn>> g_table;
int g_next_orb = 0;

// Fault injection state.
std::atomic<int> g_fail[ORBFAULT_COUNT];
std::atomic<bool> g_blocking{false};
std::mutex g_block_mutex;
std::condition_variable g_block_cv;
unsigned long g_block_generation = 0;
int g_notify_fd = -1;

bool fault_fires(OrbFault op, const char *who) {
  int n = g_fail[op].load();
  while (n > 0) {
    if (g_fail[op].compare_exchange_weak(n, n - 1)) {
      elog_log(0, "%s: injected failure\n", who);
      return true;
    }
  }
  return false;
}

// Called by a put half-way through its packet, with the ring's lock held.
void fault_midway() {
  std::unique_lock<std::mutex> lock(g_block_mutex);
  if (!g_blocking.load()) return;
  if (g_notify_fd >= 0) {
    char b = 'b';
    ssize_t w = write(g_notify_fd, &b, 1);
    (void)w;
  }
  unsigned long generation = g_block_generation;
  g_block_cv.wait(lock, [&] { return g_block_generation != generation; });
}

std::shared_ptr<Conn> find_conn(const char *who, int orb) {
  std::lock_guard<std::mutex> lock(g_table_mutex);
  auto it = g_table.find(orb);
  if (it == g_table.end()) {
    elog_log(0, "%s: %d is not an open ring connection\n", who, orb);
    return nullptr;
  }
  return it->second;
}

// Holds a ring's lock for a scope.
class RingLock {
 public:
  RingLock(Ring &ring, const char *who) : ring_(ring), held_(ring.lock(who)) {}
  ~RingLock() {
    if (held_) ring_.unlock();
  }
  RingLock(const RingLock &) = delete;
  RingLock &operator=(const RingLock &) = delete;
  bool held() const { return held_; }

 private:
  Ring &ring_;
  bool held_;
};

// Compiles `expr` to match whole source names; none for none or "". 0 or -1.
int compile_pattern(const char *who, const char *expr, std::unique_ptr<Pattern> *out) {
  out->reset();
  if (!expr || !*expr) return 0;
  // The expression alone first, so that one with unbalanced parentheses cannot turn
  // into something else once it is wrapped.
  for (int pass = 0; pass < 2; pass++) {
    auto p = std::make_unique<Pattern>();
    std::string text = pass == 0 ? std::string(expr) : "^(" + std::string(expr) + ")$";
    int rc = regcomp(&p->re, text.c_str(), REG_EXTENDED | REG_NOSUB);
    if (rc != 0) {
      char why[256];
      regerror(rc, &p->re, why, sizeof why);
      elog_log(0, "%s: bad expression '%s': %s\n", who, expr, why);
      return -1;
    }
    p->compiled = true;
    if (pass == 1) *out = std::move(p);
  }
  return 0;
}

bool selected(Conn &c, const char *srcname) {
  if (!c.select && !c.reject) return true;
  auto it = c.verdicts.find(srcname);
  if (it != c.verdicts.end()) return it->second;
  bool ok = (!c.select || regexec(&c.select->re, srcname, 0, nullptr, 0) == 0) &&
            (!c.reject || regexec(&c.reject->re, srcname, 0, nullptr, 0) != 0);
  if (c.verdicts.size() >= kVerdictsMax) c.forget_verdicts();
  c.verdicts.emplace(srcname, ok);
  (ok ? c.selected_bits : c.rejected_bits) |= ringfile::source_bit(srcname, strlen(srcname));
  return ok;
}

// The sequence of held packet `pktid`. False when it is not held.
bool held_seq(const Ring &r, int pktid, uint64_t *seq) {
  uint64_t oldest = r.oldest_seq(), next = r.next_seq();
  uint64_t delta = ((uint64_t)(uint32_t)pktid - (oldest & 0x7fffffffu)) & 0x7fffffffu;
  if (oldest + delta >= next || oldest + delta < oldest) return false;
  *seq = oldest + delta;
  return true;
}

struct Out {
  int *pktid;
  char *srcname;
  double *time;
  char **packet;
  int *nbytes;
  int *bufsize;
  bool ok(const char *who) const {
    if (pktid && srcname && time && packet && nbytes && bufsize) return true;
    elog_log(0, "%s: an output argument is missing\n", who);
    return false;
  }
};

// Hands a packet to the caller, growing the caller's buffer when needed.
void deliver(uint64_t seq, const char *srcname, double time, const char *bytes, uint32_t nbytes,
             const Out &o) {
  int n = (int)nbytes;
  if (n > 0 && (*o.packet == nullptr || *o.bufsize < n)) {
    size_t size = (size_t)n + (size_t)n / 2;
    if (size > (size_t)INT_MAX) size = (size_t)INT_MAX;
    auto *p = static_cast<char *>(realloc(*o.packet, size));
    if (!p) OUT_OF_MEMORY(size, "ring packet buffer");
    *o.packet = p;
    *o.bufsize = (int)size;
  }
  if (n > 0) memcpy(*o.packet, bytes, (size_t)n);
  *o.pktid = pktid_of(seq);
  memcpy(o.srcname, srcname, strlen(srcname) + 1);
  *o.time = time;
  *o.nbytes = n;
}

// Adds the connection's misses not yet counted to the ring's count.
void flush_missed(const char *who, Conn &c) {
  c.missed_flushed = clock_monotonic();
  if (c.missed_pending == 0) return;
  RingLock lock(*c.ring, who);
  if (!lock.held()) return;
  c.ring->add_missed(c.missed_pending);
  c.missed_pending = 0;
}

// Counts packets a connection lost to the writer: at once in the connection's count, and
// in the ring's (which needs its lock) at most every kMissedFlush seconds, so that a
// reader that is lapped again and again does not keep the writer waiting.
void count_missed(const char *who, Conn &c, uint64_t lost) {
  c.missed += (int64_t)lost;
  c.missed_pending += lost;
  if (clock_monotonic() - c.missed_flushed >= kMissedFlush) flush_missed(who, c);
}

// One look at the ring without its lock: copies the selected packets from the
// connection's position on (at most kBatch looked at). *seen (when given) gets the put
// count read before the look, *upto the newest sequence + 1 it saw. 1 with packets
// copied, 2 with none copied but more held beyond the look, -2 with none waiting, -1 on
// error.
int visit(const char *who, Conn &c, uint32_t *seen, uint64_t *upto) {
  Ring &r = *c.ring;
  if (!r.usable(who)) return -1;
  if (seen) *seen = r.put_count();
  ringfile::Counters k;
  if (!r.read_counters(who, &k)) return -1;
  *upto = k.next_seq;
  c.copied.clear();
  c.bytes.clear();
  c.taken = 0;
  if (k.resets != c.resets_seen || c.next > k.next_seq) {
    // A repair emptied the ring (perhaps starting its counters again): what it holds now
    // was written since and is all new to this connection; the packets that were held and
    // not yet read are lost and counted.
    uint64_t lost = c.next_seen > c.next ? c.next_seen - c.next : 0;
    c.next = k.oldest_seq;
    c.resets_seen = k.resets;
    if (lost) count_missed(who, c, lost);
  }
  c.next_seen = k.next_seq;
  uint64_t start = c.next;
  uint64_t s = start < k.oldest_seq ? k.oldest_seq : start;
  bool damaged = false;
  for (int i = 0; i < kBatch && s < k.next_seq && c.bytes.size() < kBatchBytes; i++, s++) {
    Meta m;
    if (!r.peek(s, k, &m)) {
      damaged = true;
      break;
    }
    if (!selected(c, m.srcname)) continue;
    Conn::Copied p;
    p.seq = s;
    p.time = m.time;
    p.nbytes = m.nbytes;
    p.at = c.bytes.size();
    memcpy(p.srcname, m.srcname, sizeof p.srcname);
    c.bytes.resize(p.at + m.nbytes);
    if (m.nbytes) r.copy_packet(m, c.bytes.data() + p.at);
    c.copied.push_back(p);
  }
  ringfile::Counters now;
  bool readable = r.read_counters(who, &now);
  if (r.cut(who)) {
    c.copied.clear();
    c.bytes.clear();
    return -1;
  }
  if (!readable || now.resets != k.resets) {
    // Unreadable, or repaired meanwhile: nothing copied is trusted; the next visit starts
    // from the repaired ring.
    c.copied.clear();
    c.bytes.clear();
    c.next = start;
    return readable ? -2 : -1;
  }
  uint64_t oldest = now.oldest_seq;
  if (oldest > start) {
    // Lapped, before or during the look: what was copied below `oldest` may have been
    // overwritten while it was copied, and is counted as missed with the rest.
    while (c.taken < c.copied.size() && c.copied[c.taken].seq < oldest) c.taken++;
    if (s < oldest) {
      s = oldest;
      damaged = false;  // the packet found bad was being overwritten
    }
    count_missed(who, c, oldest - start);
  }
  c.next = s;
  if (c.taken < c.copied.size()) return 1;
  if (damaged) {
    c.next = s + 1;
    elog_log(0, "%s: packet %d of ring '%s' is damaged; skipped\n", who, pktid_of(s),
             r.path().c_str());
    return -1;
  }
  return s < k.next_seq ? 2 : -2;
}

// One non-blocking attempt: 0 with a packet, -2 with none waiting, -1 on error. With
// none waiting, *bits (when given) gets the wake bits to wait for (0: a nap). With
// `wait_for_put`, a put under way is waited for (orbreap_nd: its packet may be the one
// asked for; orbreap waits for puts anyway).
int reap_once(const char *who, Conn &c, const Out &o, uint32_t *bits, bool wait_for_put) {
  std::lock_guard<std::mutex> guard(c.mu);
  Ring &r = *c.ring;
  bool waited = false, looked = false;
  uint64_t limit = 0;
  for (;;) {
    if (c.closed.load()) {
      elog_log(0, "%s: connection %d was closed\n", who, c.id);
      return -1;
    }
    if (c.taken < c.copied.size()) {
      const Conn::Copied &p = c.copied[c.taken++];
      deliver(p.seq, p.srcname, p.time, c.bytes.data() + p.at, p.nbytes, o);
      c.handed_since_wait++;
      return 0;
    }
    uint32_t count = 0;
    uint64_t upto = 0;
    int rc = visit(who, c, &count, &upto);
    if (!looked) {
      // Packets put after the first look are waited for; those before it are looked at
      // now, also when none of the first kBatch was selected.
      looked = true;
      limit = upto;
    }
    if (rc == 1) continue;
    if (rc == 2) {
      if (c.next < limit) continue;
      rc = -2;
    }
    if (rc == -2 && bits) {
      // A reader that is handed packets at a high rate naps instead of asking for a wake.
      double now = clock_monotonic();
      bool busy = c.handed_since_wait > 0 && c.handed_since_wait > (now - c.waited_at) * kBusyRate;
      *bits = busy ? 0 : c.wait_bits();
      c.handed_since_wait = 0;
      c.waited_at = now;
    }
    if (rc != -2 || !wait_for_put || waited || !r.put_under_way()) return rc;
    // A put is under way: its packet may be for this connection. A put that takes long
    // is waited for as a writer would (bounded; a writer that died is replaced).
    waited = true;
    if (!r.put_ended(count)) {
      RingLock lock(r, who);
      if (!lock.held()) return -1;
    }
  }
}

int set_pattern(const char *who, OrbFault op, int orb, const char *expr, bool reject) {
  auto c = find_conn(who, orb);
  if (!c) return -1;
  if (fault_fires(op, who)) return -1;
  std::unique_ptr<Pattern> p;
  if (compile_pattern(who, expr, &p) < 0) return -1;
  std::lock_guard<std::mutex> guard(c->mu);
  c->drop_copies();  // they were chosen by the old selection
  (reject ? c->reject : c->select) = std::move(p);
  c->forget_verdicts();
  return 0;
}

int64_t put_packet(const char *who, int orb, const char *srcname, double time, const char *packet,
                   int nbytes) {
  auto c = find_conn(who, orb);
  if (!c) return -1;
  if (!c->writable) {
    elog_log(0, "%s: connection %d to '%s' was opened for reading\n", who, orb, c->name.c_str());
    return -1;
  }
  size_t srclen = srcname ? strnlen(srcname, ORBSRCNAME_SIZE) : 0;
  if (srclen == 0) {
    elog_log(0, "%s: a packet needs a source name\n", who);
    return -1;
  }
  if (srclen > ORBSRCNAME_MAX) {
    elog_log(0, "%s: source name '%.63s...' is longer than %d characters\n", who, srcname,
             ORBSRCNAME_MAX);
    return -1;
  }
  if (nbytes < 0 || (nbytes > 0 && !packet)) {
    elog_log(0, "%s: bad packet (%d bytes at %p)\n", who, nbytes, (const void *)packet);
    return -1;
  }
  Ring &r = *c->ring;
  if (ringfile::kRecordHead + srclen + (uint64_t)nbytes > r.layout().data_size) {
    elog_log(0, "%s: a packet of %d bytes does not fit ring '%s' (%llu bytes of data)\n", who,
             nbytes, c->name.c_str(), (unsigned long long)r.layout().data_size);
    return -1;
  }
  if (fault_fires(ORBFAULT_PUT, who)) return -1;
  if (c->closed.load()) {
    elog_log(0, "%s: connection %d was closed\n", who, orb);
    return -1;
  }
  uint64_t seq;
  uint32_t bits = 0;
  {
    RingLock lock(r, who);
    if (!lock.held()) return -1;
    seq = r.append(srcname, srclen, time, packet, (size_t)nbytes,
                   g_blocking.load(std::memory_order_relaxed) ? fault_midway : nullptr, &bits);
  }
  if (r.cut(who)) return -1;  // the file was cut under the put: it went nowhere
  r.wake(bits);
  return pktid_of(seq);
}

}  // namespace

int64_t orb_default_capacity(const char *who) {
  const char *env = getenv("VANTREL_RINGSIZE");
  if (!env || !*env) return ringfile::kDefaultCapacity;
  int64_t v = orb_parse_size(env);
  if (v < ringfile::kMinCapacity) {
    elog_log(0,
             "%s: VANTREL_RINGSIZE '%s' is not a ring size (bytes, with an optional K, M or G "
             "suffix, at least %lld)\n",
             who, env, (long long)ringfile::kMinCapacity);
    return -1;
  }
  return v;
}

int64_t orb_parse_size(const char *text) {
  if (!text || !isdigit((unsigned char)*text)) return -1;
  const int64_t limit = int64_t{1} << 62;
  int64_t v = 0;
  const char *p = text;
  for (; isdigit((unsigned char)*p); p++) {
    v = v * 10 + (*p - '0');
    if (v > limit) return -1;
  }
  int shift = 0;
  switch (*p) {
    case 'k':
    case 'K':
      shift = 10;
      p++;
      break;
    case 'm':
    case 'M':
      shift = 20;
      p++;
      break;
    case 'g':
    case 'G':
      shift = 30;
      p++;
      break;
    default:
      break;
  }
  if (*p != '\0' || v > (limit >> shift)) return -1;
  return v << shift;
}

int orbopen(const char *name, const char *mode) {
  const char *who = "orbopen";
  static const char *const modes[] = {"r", "r&", "w", "w&"};
  bool mode_ok = false;
  for (const char *m : modes) mode_ok = mode_ok || (mode && strcmp(mode, m) == 0);
  if (!mode_ok) {
    elog_log(0, "orbopen: bad mode '%s' (r, r&, w or w&)\n", mode ? mode : "");
    return -1;
  }
  if (fault_fires(ORBFAULT_OPEN, who)) return -1;
  RingName rn;
  if (ring_resolve_name(who, name, &rn) < 0) return -1;
  // A ring is never made here: a mistyped name would make a new ring that no reader
  // of the real one sees.
  struct stat st {};
  if (stat(rn.path.c_str(), &st) != 0 && errno == ENOENT) {
    elog_log(0, "%s: no ring file '%s' for '%s' (read as %s); make it with 'ringtool create %s'\n",
             who, rn.path.c_str(), name, rn.rule.c_str(), name);
    return -1;
  }
  auto ring = Ring::open(who, rn.path, false, false, 0);
  if (!ring) return -1;
  auto c = std::make_shared<Conn>();
  c->name = name;
  c->ring = ring;
  c->writable = mode[0] == 'w';
  c->port = rn.port;
  {
    RingLock lock(*ring, who);
    if (!lock.held()) return -1;
    c->next = c->next_seen = ring->next_seq();
    c->resets_seen = ring->resets();
  }
  std::lock_guard<std::mutex> lock(g_table_mutex);
  while (g_table.count(g_next_orb)) g_next_orb = g_next_orb == INT_MAX ? 0 : g_next_orb + 1;
  c->id = g_next_orb;
  g_next_orb = g_next_orb == INT_MAX ? 0 : g_next_orb + 1;
  g_table[c->id] = c;
  return c->id;
}

int orbclose(int orb) {
  std::shared_ptr<Conn> c;
  {
    std::lock_guard<std::mutex> lock(g_table_mutex);
    auto it = g_table.find(orb);
    if (it != g_table.end()) {
      c = it->second;
      g_table.erase(it);
    }
  }
  if (!c) {
    elog_log(0, "orbclose: %d is not an open ring connection\n", orb);
    return -1;
  }
  // Wakes every sleeper on the ring; the one on this connection then sees it closed.
  c->closed.store(true);
  if (!c->ring->cut(nullptr)) c->ring->wake_all();
  std::lock_guard<std::mutex> guard(c->mu);
  if (c->missed_pending && !c->ring->cut(nullptr)) flush_missed("orbclose", *c);
  return 0;
}

int orbcreate(const char *name, int64_t capacity) {
  const char *who = "orbcreate";
  RingName rn;
  if (ring_resolve_name(who, name, &rn) < 0) return -1;
  if (rn.in_ring_dir) mkdir(ring_directory().c_str(), 0777);
  auto ring = Ring::open(who, rn.path, true, true, capacity);
  return ring ? 0 : -1;
}

int orbselect(int orb, const char *regex) {
  return set_pattern("orbselect", ORBFAULT_SELECT, orb, regex, false);
}

int orbreject(int orb, const char *regex) {
  return set_pattern("orbreject", ORBFAULT_REJECT, orb, regex, true);
}

int orbafter(int orb, double time) {
  const char *who = "orbafter";
  auto c = find_conn(who, orb);
  if (!c) return -1;
  if (fault_fires(ORBFAULT_AFTER, who)) return -1;
  std::lock_guard<std::mutex> guard(c->mu);
  c->drop_copies();
  Ring &r = *c->ring;
  uint64_t s = 0;
  bool started = false;
  for (;;) {
    RingLock lock(r, who);
    if (!lock.held()) return -1;
    if (!started || s < r.oldest_seq()) s = r.oldest_seq();
    if (s > r.next_seq()) s = r.next_seq();
    started = true;
    bool found = false;
    for (int i = 0; i < kScanBatch && s < r.next_seq() && !found; i++) {
      double t;
      if (r.slot_time(s, &t) && t > time) {
        found = true;
      } else {
        s++;
      }
    }
    if (found || s >= r.next_seq()) {
      c->next = s;
      c->next_seen = r.next_seq();
      c->resets_seen = r.resets();
      return pktid_of(s);
    }
  }
}

int orbseek(int orb, int which) {
  const char *who = "orbseek";
  auto c = find_conn(who, orb);
  if (!c) return -1;
  std::lock_guard<std::mutex> guard(c->mu);
  Ring &r = *c->ring;
  RingLock lock(r, who);
  if (!lock.held()) return -1;
  c->drop_copies();
  uint64_t oldest = r.oldest_seq(), next = r.next_seq();
  if (which == ORBOLDEST) {
    c->next = oldest;
  } else if (which == ORBNEWEST) {
    c->next = next > oldest ? next - 1 : next;
  } else if (which >= 0) {
    uint64_t seq;
    if (!held_seq(r, which, &seq)) {
      elog_log(0, "orbseek: packet %d is not in ring '%s'\n", which, c->name.c_str());
      return -1;
    }
    c->next = seq;
  } else {
    elog_log(0, "orbseek: %d is neither a packet id nor a position\n", which);
    return -1;
  }
  c->next_seen = next;
  c->resets_seen = r.resets();
  return pktid_of(c->next);
}

int orbreap_nd(int orb, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
               int *bufsize) {
  const char *who = "orbreap_nd";
  Out o{pktid, srcname, time, packet, nbytes, bufsize};
  auto c = find_conn(who, orb);
  if (!c || !o.ok(who)) return -1;
  if (fault_fires(ORBFAULT_REAP, who)) return -1;
  return reap_once(who, *c, o, nullptr, true);
}

namespace {

// The blocking reap of orbreap and orbreap_timeout: -2 once clock_monotonic() passes
// `deadline` with nothing selected.
int reap_waiting(const char *who, int orb, double deadline, const Out &o) {
  auto c = find_conn(who, orb);
  if (!c || !o.ok(who)) return -1;
  if (fault_fires(ORBFAULT_REAP, who)) return -1;
  Ring &r = *c->ring;
  for (;;) {
    uint32_t bits = 0;
    int rc = reap_once(who, *c, o, &bits, false);
    if (rc != -2) return rc;
    double left = deadline - clock_monotonic();
    if (!(left > 0)) return -2;
    if (bits == 0) {
      r.nap(clock_real_seconds(kNap));
      continue;
    }
    // Armed, a last look: what it misses finds the bits and wakes the sleep.
    uint32_t armed = r.arm(bits);
    rc = reap_once(who, *c, o, nullptr, false);
    if (rc != -2) return rc;
    r.sleep(armed, clock_real_seconds(std::min(kWaitSlice, left)), bits);
  }
}

}  // namespace

int orbreap(int orb, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
            int *bufsize) {
  Out o{pktid, srcname, time, packet, nbytes, bufsize};
  return reap_waiting("orbreap", orb, HUGE_VAL, o);
}

int orbreap_timeout(int orb, double maxseconds, int *pktid, char *srcname, double *time,
                    char **packet, int *nbytes, int *bufsize) {
  Out o{pktid, srcname, time, packet, nbytes, bufsize};
  return reap_waiting("orbreap_timeout", orb, clock_monotonic() + maxseconds, o);
}

int orbget(int orb, int which, int *pktid, char *srcname, double *time, char **packet, int *nbytes,
           int *bufsize) {
  const char *who = "orbget";
  Out o{pktid, srcname, time, packet, nbytes, bufsize};
  auto c = find_conn(who, orb);
  if (!c || !o.ok(who)) return -1;
  Ring &r = *c->ring;
  RingLock lock(r, who);
  if (!lock.held()) return -1;
  uint64_t oldest = r.oldest_seq(), next = r.next_seq(), seq = 0;
  if (which == ORBOLDEST || which == ORBNEWEST) {
    if (oldest == next) {
      elog_log(0, "orbget: ring '%s' is empty\n", c->name.c_str());
      return -1;
    }
    seq = which == ORBOLDEST ? oldest : next - 1;
  } else if (which < 0 || !held_seq(r, which, &seq)) {
    elog_log(0, "orbget: packet %d is not in ring '%s'\n", which, c->name.c_str());
    return -1;
  }
  Meta m;
  if (!r.packet(seq, &m)) {
    elog_log(0, "orbget: packet %d of ring '%s' is damaged\n", pktid_of(seq), c->name.c_str());
    return -1;
  }
  std::vector<char> bytes(m.nbytes);
  if (m.nbytes) r.copy_packet(m, bytes.data());
  deliver(seq, m.srcname, m.time, bytes.data(), m.nbytes, o);
  return 0;
}

int orbput(int orb, const char *srcname, double time, const char *packet, int nbytes) {
  return put_packet("orbput", orb, srcname, time, packet, nbytes) < 0 ? -1 : 0;
}

int orbputx(int orb, const char *srcname, double time, const char *packet, int nbytes) {
  return (int)put_packet("orbputx", orb, srcname, time, packet, nbytes);
}

int orbstat(int orb, Orbstat *st) {
  const char *who = "orbstat";
  auto c = find_conn(who, orb);
  if (!c) return -1;
  if (!st) {
    elog_log(0, "orbstat: no status record given\n");
    return -1;
  }
  if (fault_fires(ORBFAULT_STAT, who)) return -1;
  std::lock_guard<std::mutex> guard(c->mu);
  Ring &r = *c->ring;
  RingLock lock(r, who);
  if (!lock.held()) return -1;
  const ringfile::Layout &lay = r.layout();
  *st = Orbstat{};
  st->when = clock_now();
  st->started = lay.created;
  const unsigned char loopback[4] = {127, 0, 0, 1};
  memcpy(st->address, loopback, 4);
  st->port = c->port;
  st->capacity = (int64_t)lay.capacity;
  st->maxdata = (int64_t)lay.data_size;
  st->maxpackets = (int)lay.nslots;
  uint64_t oldest = r.oldest_seq(), next = r.next_seq();
  st->npackets = (int)(next - oldest);
  st->nbytes = (int64_t)r.bytes_held();
  st->oldest = st->newest = -1;
  if (next > oldest) {
    st->oldest = pktid_of(oldest);
    st->newest = pktid_of(next - 1);
    r.slot_time(oldest, &st->oldest_time);
    r.slot_time(next - 1, &st->newest_time);
  }
  st->written = (int64_t)next;
  r.add_missed(c->missed_pending);
  c->missed_pending = 0;
  st->missed = (int64_t)r.missed();
  st->conn_missed = c->missed;
  st->resets = (int64_t)r.resets();
  return 0;
}

int orbring_state(int orb) {
  auto c = find_conn("orbring_state", orb);
  if (!c) return -1;
  return c->ring->file_state("orbring_state");
}

int orbsources(int orb, Orbsrc **sources, int *nsources) {
  const char *who = "orbsources";
  auto c = find_conn(who, orb);
  if (!c) return -1;
  if (!sources || !nsources) {
    elog_log(0, "orbsources: an output argument is missing\n");
    return -1;
  }
  *sources = nullptr;
  *nsources = 0;
  Ring &r = *c->ring;
  std::map<std::string, Orbsrc> found;
  uint64_t s = 0;
  bool started = false;
  for (;;) {
    RingLock lock(r, who);
    if (!lock.held()) return -1;
    if (!started || s < r.oldest_seq()) s = r.oldest_seq();
    started = true;
    for (int i = 0; i < kScanBatch && s < r.next_seq(); i++, s++) {
      Meta m;
      if (!r.packet(s, &m)) continue;
      Orbsrc &e = found[m.srcname];
      if (e.npackets == 0) {
        memcpy(e.srcname, m.srcname, sizeof e.srcname);
        e.oldest = pktid_of(s);
        e.oldest_time = m.time;
      }
      e.npackets++;
      e.nbytes += m.nbytes;
      e.newest = pktid_of(s);
      e.newest_time = m.time;
    }
    if (s >= r.next_seq()) break;
  }
  if (found.empty()) return 0;
  auto *list = static_cast<Orbsrc *>(calloc(found.size(), sizeof(Orbsrc)));
  if (!list) OUT_OF_MEMORY(found.size() * sizeof(Orbsrc), "orbsources list");
  int n = 0;
  for (const auto &kv : found) list[n++] = kv.second;
  *sources = list;
  *nsources = n;
  return 0;
}

void orbfault_fail(OrbFault op, int count) {
  if (op >= 0 && op < ORBFAULT_COUNT) g_fail[op].store(count > 0 ? count : 0);
}

void orbfault_block_puts(int notify_fd) {
  std::lock_guard<std::mutex> lock(g_block_mutex);
  g_notify_fd = notify_fd;
  g_blocking.store(true);
}

void orbfault_release(void) {
  std::lock_guard<std::mutex> lock(g_block_mutex);
  g_blocking.store(false);
  g_notify_fd = -1;
  g_block_generation++;
  g_block_cv.notify_all();
}

void orbfault_reset(void) {
  for (auto &f : g_fail) f.store(0);
  orbfault_release();
}
