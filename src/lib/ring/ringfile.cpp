// ringfile.cpp - ring file layout, header checks, creation, mapping, lock and store.
#include "ring/ringfile.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "base/clock.h"
#include "base/elog.h"
#include "base/littleendian.h"

namespace ringfile {

namespace {

constexpr uint32_t kOrderMark = 0x01020304u;
constexpr uint64_t kAvgPacket = 224;  // index sized for packets of this size on average
constexpr uint64_t kMaxSlots = uint64_t{1} << 30;
constexpr uint64_t kMinData = 1024;
// The largest ring this machine can map.
constexpr uint64_t kMaxCapacity = sizeof(size_t) >= 8 ? (uint64_t{1} << 40) : (uint64_t{1} << 30);

uint32_t native_order_mark() {
  unsigned char b[4];
  uint32_t v = kOrderMark;
  memcpy(b, &v, 4);
  return le_get32(b);  // the native bytes read as little-endian
}

long futex(uint32_t *word, int op, uint32_t val, const timespec *ts, uint32_t val3 = 0) {
#if defined(SYS_futex_time64) && !defined(__LP64__)
  if (sizeof(time_t) == 8) return syscall(SYS_futex_time64, word, op, val, ts, nullptr, val3);
#endif
  return syscall(SYS_futex, word, op, val, ts, nullptr, val3);
}

// FNV-1a of a source name: its wake bucket, and its key among the names a process put.
uint64_t name_hash(const char *name, size_t len) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (size_t i = 0; i < len; i++) {
    h ^= (unsigned char)name[i];
    h *= 0x100000001b3ull;
  }
  return h;
}
uint32_t bucket_bit(uint64_t hash) { return uint32_t{1} << (uint32_t)(hash % kSourceBuckets); }

// Slots of the table of names a process put: it doubles when 3/4 full, up to the most,
// and starts again empty when that is 3/4 full (the names then count as new once more,
// which costs a wake each). A writer of more names than the table keeps would count
// nearly every put as a new name and wake every reader waiting for new names.
constexpr size_t kNamesTable = 1024;
constexpr size_t kNamesTableMost = size_t{1} << 16;

// Puts `key` (not 0) into the open-addressing table `table` (a power of two in size).
// True when it was not there.
bool names_insert(std::vector<uint64_t> &table, uint64_t key) {
  const size_t mask = table.size() - 1;
  for (size_t i = (size_t)(key & mask);; i = (i + 1) & mask) {
    if (table[i] == key) return false;
    if (table[i] == 0) {
      table[i] = key;
      return true;
    }
  }
}

// The counters of the live state are 64-bit and read by readers while the lock's holder
// changes them. Where 64-bit atomics are lock-free they are used (relaxed: gen orders
// them); elsewhere (32-bit machines) the halves may be read torn, which the seqlock
// detects.
uint64_t load64(const uint64_t &v) {
  if constexpr (std::atomic_ref<uint64_t>::is_always_lock_free) {
    return std::atomic_ref<uint64_t>(const_cast<uint64_t &>(v)).load(std::memory_order_relaxed);
  } else {
    return *static_cast<const volatile uint64_t *>(&v);
  }
}
void store64(uint64_t &v, uint64_t x) {
  if constexpr (std::atomic_ref<uint64_t>::is_always_lock_free) {
    std::atomic_ref<uint64_t>(v).store(x, std::memory_order_relaxed);
  } else {
    *static_cast<volatile uint64_t *>(&v) = x;
  }
}
std::atomic_ref<uint32_t> word(uint32_t &w) { return std::atomic_ref<uint32_t>(w); }

// Readers copy slots and records that a writer may be overwriting at the same time; the
// copy is checked afterwards (see Ring::peek). ThreadSanitizer is told to ignore those
// reads, which it would otherwise report as the races they are meant to be.
#if defined(__SANITIZE_THREAD__)
#define RING_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define RING_TSAN 1
#endif
#endif
#ifdef RING_TSAN
extern "C" void AnnotateIgnoreReadsBegin(const char *file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char *file, int line);
struct RacyReads {
  RacyReads() { AnnotateIgnoreReadsBegin(__FILE__, __LINE__); }
  ~RacyReads() { AnnotateIgnoreReadsEnd(__FILE__, __LINE__); }
};
#else
struct RacyReads {};
#endif

// Fences of the seqlock. ThreadSanitizer (of g++) does not take fences; under it they are
// left out, and the counters' loads and stores, all atomic, keep it quiet.
void thread_fence(std::memory_order order) {
#ifdef RING_TSAN
  (void)order;
#else
  std::atomic_thread_fence(order);
#endif
}

// Tries of a reader to get a consistent copy of the counters before it asks for the
// lock (whose holder repairs what a dead writer left half-changed).
constexpr int kSeqlockTries = 1000;
// Looks of a reader at a put under way before it waits for it on the lock.
constexpr int kPutSpins = 4096;

void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Sanitizers keep SIGBUS to themselves: under them the size is looked at every time and
// the handler is left out.
#if defined(__SANITIZE_ADDRESS__)
#define RING_SANITIZED 1
#elif defined(RING_TSAN)
#define RING_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define RING_SANITIZED 1
#endif
#endif
#ifdef RING_SANITIZED
constexpr uint32_t kSizeCheckMs = 0;
constexpr bool kWatchMappings = false;
#else
constexpr uint32_t kSizeCheckMs = 5;
constexpr bool kWatchMappings = true;
#endif

uint32_t coarse_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return (uint32_t)((uint64_t)ts.tv_sec * 1000u + (uint64_t)ts.tv_nsec / 1000000u);
}

// The mappings of this process, for the SIGBUS handler: a file cut shorter under its
// mapping raises SIGBUS at the first touch beyond its new end. The handler puts zeroed
// private memory in place of that ring's mapping, so that the access completes, and marks
// the ring cut: every later call refuses it, and a put or reap under way is reported as
// failed. Entries are claimed and released with atomics; the handler only reads them.
struct Mapped {
  std::atomic<uintptr_t> base{0};
  std::atomic<size_t> size{0};
  std::atomic<std::atomic<bool> *> cut{nullptr};
};
constexpr int kMappedMax = 256;  // beyond that, rings are not covered
Mapped g_mapped[kMappedMax];
struct sigaction g_previous_bus;
std::once_flag g_bus_once;

void on_sigbus(int sig, siginfo_t *info, void *context) {
  uintptr_t at = (uintptr_t)info->si_addr;
  if (info->si_code > 0) {
    for (Mapped &m : g_mapped) {
      uintptr_t base = m.base.load();
      size_t size = m.size.load();
      std::atomic<bool> *cut = m.cut.load();
      if (base == 0 || at < base || at - base >= size || !cut) continue;
      cut->store(true);
      mmap((void *)base, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
           0);
      return;
    }
  }
  // Not a ring's: as it would have been without this handler.
  if ((g_previous_bus.sa_flags & SA_SIGINFO) && g_previous_bus.sa_sigaction) {
    g_previous_bus.sa_sigaction(sig, info, context);
    return;
  }
  if (g_previous_bus.sa_handler != SIG_DFL && g_previous_bus.sa_handler != SIG_IGN) {
    g_previous_bus.sa_handler(sig);
    return;
  }
  signal(SIGBUS, SIG_DFL);
  if (info->si_code <= 0) raise(SIGBUS);  // a fault repeats itself on return
}

void watch_mapping(void *base, size_t size, std::atomic<bool> *cut) {
  if (!kWatchMappings) return;
  std::call_once(g_bus_once, [] {
    struct sigaction sa {};
    sa.sa_sigaction = on_sigbus;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGBUS, &sa, &g_previous_bus);
  });
  for (Mapped &m : g_mapped) {
    uintptr_t none = 0;
    if (m.base.load() != 0) continue;
    m.size.store(size);
    m.cut.store(cut);
    if (m.base.compare_exchange_strong(none, (uintptr_t)base)) return;
  }
}

void unwatch_mapping(void *base) {
  for (Mapped &m : g_mapped) {
    if (m.base.load() == (uintptr_t)base) {
      m.base.store(0);
      return;
    }
  }
}

// One mapping per ring file in a process, found by device and inode.
std::mutex g_registry_mutex;
std::map<std::pair<uint64_t, uint64_t>, std::weak_ptr<Ring>> g_registry;

std::atomic<unsigned> g_tmp_counter{0};

// Makes a new ring file at `path` (through a temporary file linked into place, so that
// the name never shows a half-made ring). Returns an open descriptor of the ring file,
// also when another process made it first (*existed is then set), or -1.
int create_file(const char *who, const std::string &path, int64_t capacity, bool *existed) {
  *existed = false;
  Layout lay;
  if (!plan_layout(capacity, &lay)) {
    elog_log(0, "%s: a ring of %lld bytes can't be made: from %lld to %llu bytes\n", who,
             (long long)capacity, (long long)kMinCapacity, (unsigned long long)kMaxCapacity);
    return -1;
  }
  lay.created = clock_now();
  char suffix[64];
  snprintf(suffix, sizeof suffix, ".new.%ld.%u", (long)getpid(), g_tmp_counter.fetch_add(1));
  std::string tmp = path + suffix;
  int fd = ::open(tmp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    elog_log(1, "%s: can't create ring file '%s'\n", who, path.c_str());
    return -1;
  }
  auto fail = [&]() {
    int e = errno;
    close(fd);
    unlink(tmp.c_str());
    errno = e;
    return -1;
  };
  int rc = posix_fallocate(fd, 0, (off_t)lay.capacity);
  if (rc == EOPNOTSUPP || rc == EINVAL) rc = ftruncate(fd, (off_t)lay.capacity) ? errno : 0;
  if (rc != 0) {
    errno = rc;
    elog_log(1, "%s: can't make ring file '%s' %llu bytes long\n", who, path.c_str(),
             (unsigned long long)lay.capacity);
    return fail();
  }
  void *page = mmap(nullptr, kHeaderSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (page == MAP_FAILED) {
    elog_log(1, "%s: can't map ring file '%s'\n", who, path.c_str());
    return fail();
  }
  auto *h = static_cast<unsigned char *>(page);
  memset(h, 0, kHeaderSize);
  encode_header(lay, h);
  auto *live = reinterpret_cast<Live *>(h + kLiveOffset);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  rc = pthread_mutex_init(&live->lock, &attr);
  pthread_mutexattr_destroy(&attr);
  munmap(page, kHeaderSize);
  if (rc != 0) {
    errno = rc;
    elog_log(1, "%s: can't make the lock of ring file '%s'\n", who, path.c_str());
    return fail();
  }
  if (link(tmp.c_str(), path.c_str()) != 0) {
    int e = errno;
    close(fd);
    unlink(tmp.c_str());
    if (e == EEXIST) {
      *existed = true;
      fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
      if (fd < 0) elog_log(1, "%s: can't open ring file '%s'\n", who, path.c_str());
      return fd;
    }
    errno = e;
    elog_log(1, "%s: can't create ring file '%s'\n", who, path.c_str());
    return -1;
  }
  unlink(tmp.c_str());
  return fd;
}

}  // namespace

uint32_t source_bit(const char *name, size_t len) { return bucket_bit(name_hash(name, len)); }

uint32_t crc32(const void *data, size_t n) {
  static const auto table = [] {
    struct T {
      uint32_t v[256];
    } t{};
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t.v[i] = c;
    }
    return t;
  }();
  uint32_t c = 0xFFFFFFFFu;
  const auto *p = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < n; i++) c = table.v[(c ^ p[i]) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

bool plan_layout(int64_t capacity, Layout *out) {
  if (capacity < kMinCapacity || (uint64_t)capacity > kMaxCapacity) return false;
  uint64_t cap = (uint64_t)capacity & ~uint64_t{63};
  uint64_t nslots = (cap - kHeaderSize) / (kSlotSize + kAvgPacket);
  if (nslots < 16) nslots = 16;
  if (nslots > kMaxSlots) nslots = kMaxSlots;
  uint64_t data_off = (kHeaderSize + nslots * kSlotSize + 63) & ~uint64_t{63};
  if (data_off + kMinData > cap) return false;
  out->capacity = cap;
  out->index_off = kHeaderSize;
  out->nslots = nslots;
  out->data_off = data_off;
  out->data_size = cap - data_off;
  return true;
}

void encode_header(const Layout &lay, unsigned char *h) {
  memset(h, 0, kStaticSize);
  memcpy(h, kMagic, 8);
  le_put32(h + 8, kVersion);
  le_put32(h + 12, (uint32_t)kHeaderSize);
  le_put64(h + 16, lay.capacity);
  le_put64(h + 24, lay.index_off);
  le_put64(h + 32, lay.nslots);
  le_put64(h + 40, lay.data_off);
  le_put64(h + 48, lay.data_size);
  le_putf64(h + 56, lay.created);
  le_put32(h + 64, (uint32_t)kLiveOffset);
  le_put32(h + 68, (uint32_t)sizeof(Live));
  le_put16(h + 72, (uint16_t)sizeof(pthread_mutex_t));
  h[74] = (unsigned char)sizeof(void *);
  h[75] = (unsigned char)sizeof(long);
  le_put32(h + 76, native_order_mark());
  le_put32(h + 80, (uint32_t)alignof(Live));
  le_put32(h + 124, crc32(h, 124));
}

HeaderCheck decode_header(const unsigned char *h, uint64_t file_size, Layout *out,
                          std::string *why) {
  char text[160];
  auto fail = [&](HeaderCheck c, const char *reason) {
    if (why) *why = reason;
    return c;
  };
  if (file_size < kHeaderSize) return fail(HeaderCheck::foreign, "not a ring file (too short)");
  if (memcmp(h, kMagic, 8) != 0) return fail(HeaderCheck::foreign, "not a ring file");
  if (crc32(h, 124) != le_get32(h + 124))
    return fail(HeaderCheck::damaged, "damaged ring header (checksum)");
  uint32_t version = le_get32(h + 8);
  if (version != kVersion) {
    snprintf(text, sizeof text, "ring file version %u, this program reads version %u",
             (unsigned)version, (unsigned)kVersion);
    return fail(HeaderCheck::version, text);
  }
  unsigned ptr = h[74], lng = h[75], mtx = le_get16(h + 72);
  uint32_t order = le_get32(h + 76), live_size = le_get32(h + 68), live_align = le_get32(h + 80);
  if (ptr != sizeof(void *) || lng != sizeof(long) || mtx != sizeof(pthread_mutex_t) ||
      order != native_order_mark() || live_size != sizeof(Live) || live_align != alignof(Live) ||
      le_get32(h + 64) != kLiveOffset) {
    snprintf(text, sizeof text,
             "made on another kind of machine (%u-byte pointers, %u-byte lock, byte order "
             "%08x; this one: %u, %u, %08x)",
             ptr, mtx, (unsigned)order, (unsigned)sizeof(void *), (unsigned)sizeof(pthread_mutex_t),
             (unsigned)native_order_mark());
    return fail(HeaderCheck::machine, text);
  }
  Layout got;
  got.capacity = le_get64(h + 16);
  got.index_off = le_get64(h + 24);
  got.nslots = le_get64(h + 32);
  got.data_off = le_get64(h + 40);
  got.data_size = le_get64(h + 48);
  got.created = le_getf64(h + 56);
  Layout plan;
  if (le_get32(h + 12) != kHeaderSize || got.capacity > (uint64_t)INT64_MAX ||
      !plan_layout((int64_t)got.capacity, &plan) || plan.capacity != got.capacity ||
      plan.index_off != got.index_off || plan.nslots != got.nslots ||
      plan.data_off != got.data_off || plan.data_size != got.data_size)
    return fail(HeaderCheck::layout, "inconsistent ring header");
  if (got.capacity != file_size) {
    snprintf(text, sizeof text, "ring file is %llu bytes long, its header says %llu",
             (unsigned long long)file_size, (unsigned long long)got.capacity);
    return fail(HeaderCheck::size, text);
  }
  *out = got;
  return HeaderCheck::ok;
}

std::shared_ptr<Ring> Ring::open(const char *who, const std::string &path, bool create,
                                 bool exclusive, int64_t capacity) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd >= 0 && exclusive) {
    close(fd);
    elog_log(0, "%s: ring '%s' already exists\n", who, path.c_str());
    return nullptr;
  }
  if (fd < 0 && errno == ENOENT && create) {
    bool existed = false;
    fd = create_file(who, path, capacity, &existed);
    if (fd < 0) return nullptr;
    if (existed && exclusive) {
      close(fd);
      elog_log(0, "%s: ring '%s' already exists\n", who, path.c_str());
      return nullptr;
    }
  } else if (fd < 0) {
    elog_log(1, "%s: can't open ring file '%s'\n", who, path.c_str());
    return nullptr;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    elog_log(1, "%s: can't look at ring file '%s'\n", who, path.c_str());
    close(fd);
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    elog_log(0, "%s: refusing '%s': not a regular file\n", who, path.c_str());
    close(fd);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(g_registry_mutex);
  auto key = std::make_pair((uint64_t)st.st_dev, (uint64_t)st.st_ino);
  for (auto it = g_registry.begin(); it != g_registry.end();) {
    if (it->second.expired()) {
      it = g_registry.erase(it);
    } else {
      ++it;
    }
  }
  auto found = g_registry.find(key);
  if (found != g_registry.end()) {
    if (auto ring = found->second.lock()) {
      close(fd);
      return ring;
    }
  }
  auto ring = map_file(who, path, fd, (uint64_t)st.st_size);
  if (ring) {
    ring->dev_ = key.first;
    ring->ino_ = key.second;
    g_registry[key] = ring;
  }
  return ring;
}

std::shared_ptr<Ring> Ring::map_file(const char *who, const std::string &path, int fd,
                                     uint64_t size) {
  unsigned char h[kStaticSize] = {0};
  ssize_t got = size >= kStaticSize ? pread(fd, h, sizeof h, 0) : 0;
  if (got < 0) {
    elog_log(1, "%s: can't read ring file '%s'\n", who, path.c_str());
    close(fd);
    return nullptr;
  }
  Layout lay;
  std::string why;
  if (decode_header(h, (size_t)got == sizeof h ? size : 0, &lay, &why) != HeaderCheck::ok) {
    elog_log(0, "%s: refusing '%s': %s\n", who, path.c_str(), why.c_str());
    close(fd);
    return nullptr;
  }
  void *p = mmap(nullptr, (size_t)lay.capacity, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    int e = errno;
    close(fd);
    errno = e;
    elog_log(1, "%s: can't map ring file '%s'\n", who, path.c_str());
    return nullptr;
  }
  std::shared_ptr<Ring> ring(new Ring());
  ring->path_ = path;
  ring->layout_ = lay;
  ring->base_ = static_cast<unsigned char *>(p);
  ring->size_ = (size_t)lay.capacity;
  ring->live_ = reinterpret_cast<Live *>(ring->base_ + kLiveOffset);
  ring->index_ = ring->base_ + lay.index_off;
  ring->data_ = ring->base_ + lay.data_off;
  ring->fd_ = fd;
  watch_mapping(ring->base_, ring->size_, &ring->cut_);
  return ring;
}

Ring::~Ring() {
  if (base_) {
    unwatch_mapping(base_);
    munmap(base_, size_);
  }
  if (fd_ >= 0) close(fd_);
}

bool Ring::size_ok() {
  struct stat st {};
  if (fstat(fd_, &st) != 0) return true;
  if (st.st_nlink == 0 && !deleted_.exchange(true)) deleted_told_.store(0);
  if ((uint64_t)st.st_size >= layout_.capacity) return true;
  cut_.store(true);
  return false;
}

namespace {
// True once a minute (clock time) per `told`, for one thread at a time.
bool minute_due(std::atomic<uint32_t> &told) {
  uint32_t now = (uint32_t)clock_monotonic() + 1;
  uint32_t last = told.load();
  if (last != 0 && now - last < 60) return false;
  return told.compare_exchange_strong(last, now);
}
}  // namespace

int Ring::file_state(const char *who) {
  size_ok();
  if (cut_.load()) {
    cut(nullptr);
    return 1;
  }
  if (deleted_.load()) {
    if (minute_due(deleted_told_))
      elog_complain(0,
                    "%s: ring file '%s' was deleted under this process: packets written reach "
                    "only the readers that still have it open\n",
                    who ? who : "ring", path_.c_str());
    return 2;
  }
  return 0;
}

bool Ring::intact(const char *who) {
  if (!cut_.load(std::memory_order_relaxed) && size_ok()) return true;
  return !cut(who);
}

bool Ring::cut(const char *who) {
  if (!cut_.load(std::memory_order_relaxed)) return false;
  if (minute_due(cut_told_)) {
    elog_complain(0,
                  "%s: ring file '%s' is shorter than its ring of %llu bytes: it was cut under "
                  "this process and is refused from now on\n",
                  who ? who : "ring", path_.c_str(), (unsigned long long)layout_.capacity);
  }
  if (who)
    elog_log(0, "%s: ring file '%s' was cut shorter than its ring; refused\n", who, path_.c_str());
  return true;
}

bool Ring::usable(const char *who) {
  // The size is looked at every few milliseconds only: a system call per put would cost
  // more than the put. A cut in between is caught by the SIGBUS handler.
  if (cut(who)) return false;
  uint32_t now = coarse_ms();
  if (kSizeCheckMs == 0 || now - checked_ms_.load(std::memory_order_relaxed) >= kSizeCheckMs) {
    checked_ms_.store(now, std::memory_order_relaxed);
    if (!intact(who)) return false;
    if (deleted_.load(std::memory_order_relaxed)) file_state(who);
  }
  return true;
}

bool Ring::lock(const char *who) {
  if (!usable(who)) return false;
  int rc = pthread_mutex_trylock(&live_->lock);
  if (rc == EBUSY) {
    // The bound runs on the monotonic clock, so that a change of the system's time
    // neither cuts the wait short nor stretches it. (ThreadSanitizer of g++ 12 does not
    // know pthread_mutex_clocklock: under it the wait runs on the real-time clock.)
#ifdef RING_TSAN
    const clockid_t clock = CLOCK_REALTIME;
#else
    const clockid_t clock = CLOCK_MONOTONIC;
#endif
    timespec until{};
    clock_gettime(clock, &until);
    timespec add = clock_timespec(clock_real_seconds(kLockTimeout));
    until.tv_sec += add.tv_sec;
    until.tv_nsec += add.tv_nsec;
    if (until.tv_nsec >= 1000000000L) {
      until.tv_sec += 1;
      until.tv_nsec -= 1000000000L;
    }
    do {
#ifdef RING_TSAN
      rc = pthread_mutex_timedlock(&live_->lock, &until);
#else
      rc = pthread_mutex_clocklock(&live_->lock, clock, &until);
#endif
    } while (rc == EINTR);
  }
  if (rc == EOWNERDEAD) {
    // The holder died, perhaps half-way through a put: an unpublished packet is simply
    // not there; an eviction cut short leaves a tail behind the oldest packet, which
    // settle_tail moves up.
    elog_notify(0, "%s: a process died holding the lock of ring '%s'; its state is checked\n", who,
                path_.c_str());
    if (check_live(who)) {
      publish_begin();
      settle_tail();
      publish_end();
    }
    word(live_->busy).store(0, std::memory_order_relaxed);
    pthread_mutex_consistent(&live_->lock);
    return true;
  }
  if (rc == ETIMEDOUT) {
    elog_log(0, "%s: ring '%s' has been locked by another process for %g s; giving up\n", who,
             path_.c_str(), kLockTimeout);
    return false;
  }
  if (rc != 0) {
    errno = rc;
    elog_log(1, "%s: can't lock ring '%s'\n", who, path_.c_str());
    return false;
  }
  check_live(who);
  // A put marked under way with the lock free was cut short by its writer's death.
  if (word(live_->busy).load(std::memory_order_relaxed) != 0)
    word(live_->busy).store(0, std::memory_order_relaxed);
  return true;
}

void Ring::unlock() { pthread_mutex_unlock(&live_->lock); }

// Only the holder of the lock changes gen, so an odd gen found under the lock is the
// mark of a holder that died half-way: the counters are checked and the seqlock closed.
void Ring::publish_begin() {
  auto g = word(live_->gen);
  uint32_t v = g.load(std::memory_order_relaxed);
  if (v & 1) return;
  g.store(v + 1, std::memory_order_relaxed);
  thread_fence(std::memory_order_release);
}

void Ring::publish_end() {
  auto g = word(live_->gen);
  g.store((g.load(std::memory_order_relaxed) | 1) + 1, std::memory_order_release);
}

void Ring::set_counters(uint64_t next_seq, uint64_t oldest_seq, uint64_t head, uint64_t tail) {
  Live &l = *live_;
  store64(l.next_seq, next_seq);
  store64(l.oldest_seq, oldest_seq);
  store64(l.head, head);
  store64(l.tail, tail);
}

namespace {

// Why counters do not make a ring of `lay`, or none.
const char *counters_fault(const Layout &lay, const Counters &c) {
  if (c.next_seq > kCounterLimit || c.head > kCounterLimit) return "counters out of range";
  if (c.next_seq < c.oldest_seq) return "sequence order";
  if (c.next_seq - c.oldest_seq > lay.nslots) return "more packets than index slots";
  if (c.head < c.tail) return "data order";
  if (c.head - c.tail > lay.data_size) return "more data than room";
  return nullptr;
}

}  // namespace

bool Ring::check_live(const char *who) {
  Live &l = *live_;
  Counters c{l.next_seq, l.oldest_seq, l.head, l.tail};
  const char *bad = counters_fault(layout_, c);
  bool torn = (word(l.gen).load(std::memory_order_relaxed) & 1) != 0;
  if (!bad) {
    if (torn) publish_end();
    return true;
  }
  elog_complain(0, "%s: ring '%s' was damaged (%s) and has been emptied\n", who, path_.c_str(),
                bad);
  publish_begin();
  // Counters that cannot be real start again from zero, so that the next puts cannot
  // overflow them; otherwise the ring empties where it stands.
  if (c.next_seq > kCounterLimit || c.head > kCounterLimit) {
    set_counters(0, 0, 0, 0);
  } else {
    set_counters(c.next_seq, c.next_seq, c.head, c.head);
  }
  store64(l.resets, l.resets + 1);
  publish_end();
  return false;
}

void Ring::settle_tail() {
  Live &l = *live_;
  uint64_t oldest = l.oldest_seq, next = l.next_seq;
  while (oldest < next) {
    uint64_t off, len;
    double t;
    if (slot(oldest, &off, &len, &t)) {
      store64(l.oldest_seq, oldest);
      store64(l.tail, off);
      return;
    }
    oldest++;  // a damaged slot: the packet is dropped
  }
  store64(l.oldest_seq, oldest);
  store64(l.tail, l.head);
}

bool Ring::slot(uint64_t seq, uint64_t *off, uint64_t *len, double *time) const {
  const unsigned char *p = index_ + (size_t)(seq % layout_.nslots) * kSlotSize;
  if (le_get64(p) != seq) return false;
  uint64_t o = le_get64(p + 8);
  uint64_t n = le_get32(p + 24);
  uint64_t head = live_->head, tail = live_->tail;
  if (n < kRecordHead || n > layout_.data_size) return false;
  if (o < tail || o > head || head - o < n) return false;
  *off = o;
  *len = n;
  *time = le_getf64(p + 16);
  return true;
}

bool Ring::slot_time(uint64_t seq, double *time) const {
  uint64_t off, len;
  return slot(seq, &off, &len, time);
}

bool Ring::packet(uint64_t seq, Meta *m) const {
  uint64_t off, len;
  double t;
  if (!slot(seq, &off, &len, &t)) return false;
  unsigned char h[kRecordHead];
  read_data(off, h, sizeof h);
  uint32_t nbytes = le_get32(h + 8);
  uint16_t srclen = le_get16(h + 12);
  if (le_get64(h) != seq || srclen > kSrcnameMax || nbytes > (uint32_t)INT_MAX ||
      kRecordHead + srclen + (uint64_t)nbytes != len)
    return false;
  m->seq = seq;
  m->off = off;
  m->len = len;
  m->time = t;
  m->nbytes = nbytes;
  read_data(off + kRecordHead, m->srcname, srclen);
  m->srcname[srclen] = '\0';
  return true;
}

void Ring::copy_packet(const Meta &m, char *dst) const {
  // The record's length was checked against the data size, so the bytes lie in it.
  [[maybe_unused]] RacyReads racy;
  read_data(m.off + (m.len - m.nbytes), dst, m.nbytes);
}

uint64_t Ring::append(const char *srcname, size_t srclen, double time, const char *data,
                      size_t nbytes, void (*midway)(void), uint32_t *wake_bits) {
  Live &l = *live_;
  word(l.busy).store(1, std::memory_order_relaxed);
  uint64_t hash = name_hash(srcname, srclen);
  *wake_bits = bucket_bit(hash);
  uint64_t key = hash ? hash : 1;
  if (names_put_.empty()) names_put_.assign(kNamesTable, 0);
  if (names_insert(names_put_, key)) {
    *wake_bits |= kNewSourceBit;
    if (++names_count_ > names_put_.size() / 4 * 3) {
      if (names_put_.size() < kNamesTableMost) {
        std::vector<uint64_t> grown(names_put_.size() * 2, 0);
        for (uint64_t k : names_put_)
          if (k != 0) names_insert(grown, k);
        names_put_.swap(grown);
      } else {
        std::fill(names_put_.begin(), names_put_.end(), 0);
        names_count_ = 0;
      }
    }
  }
  uint64_t need = kRecordHead + srclen + nbytes;
  if (l.next_seq - l.oldest_seq >= layout_.nslots || (l.head - l.tail) + need > layout_.data_size) {
    // Evicts and publishes the eviction before the evicted bytes are written over: a
    // reader that copied them then sees that the packet is gone.
    publish_begin();
    while (l.next_seq - l.oldest_seq >= layout_.nslots ||
           (l.head - l.tail) + need > layout_.data_size) {
      if (l.oldest_seq == l.next_seq) {
        store64(l.tail, l.head);
        break;
      }
      store64(l.oldest_seq, l.oldest_seq + 1);
      settle_tail();
    }
    publish_end();
    thread_fence(std::memory_order_release);
  }
  uint64_t seq = l.next_seq, off = l.head;
  unsigned char h[kRecordHead];
  le_put64(h, seq);
  le_put32(h + 8, (uint32_t)nbytes);
  le_put16(h + 12, (uint16_t)srclen);
  le_put16(h + 14, 0);
  write_data(off, h, sizeof h);
  write_data(off + kRecordHead, srcname, srclen);
  if (nbytes) write_data(off + kRecordHead + srclen, data, nbytes);
  unsigned char *s = index_ + (size_t)(seq % layout_.nslots) * kSlotSize;
  le_put64(s, seq);
  le_put64(s + 8, off);
  le_putf64(s + 16, time);
  le_put32(s + 24, (uint32_t)need);
  le_put32(s + 28, 0);
  if (midway) midway();
  publish_begin();
  store64(l.head, off + need);
  store64(l.next_seq, seq + 1);
  publish_end();
  word(l.busy).store(0, std::memory_order_release);
  // The next put writes the next slot and the bytes after this record, which readers may
  // hold in their caches (or nobody touched for a lap): asking for them now spares that
  // put the wait.
  __builtin_prefetch(index_ + (size_t)((seq + 2) % layout_.nslots) * kSlotSize, 1);
  size_t next = (size_t)((off + need) % layout_.data_size);
  __builtin_prefetch(data_ + next, 1);
  if (next + kCacheLine < layout_.data_size) __builtin_prefetch(data_ + next + kCacheLine, 1);
  return seq;
}

bool Ring::counters(Counters *c) const {
  Live &l = *live_;
  auto g = word(l.gen);
  for (int i = 0; i < kSeqlockTries; i++) {
    uint32_t g1 = g.load(std::memory_order_acquire);
    if (g1 & 1) {
      cpu_pause();
      continue;
    }
    Counters got;
    got.next_seq = load64(l.next_seq);
    got.oldest_seq = load64(l.oldest_seq);
    got.head = load64(l.head);
    got.tail = load64(l.tail);
    got.resets = load64(l.resets);
    thread_fence(std::memory_order_acquire);
    if (g.load(std::memory_order_relaxed) != g1) continue;
    if (counters_fault(layout_, got)) return false;
    *c = got;
    return true;
  }
  return false;
}

bool Ring::read_counters(const char *who, Counters *c) {
  thread_fence(std::memory_order_acquire);
  if (counters(c)) return true;
  // Damaged counters, or a writer that stopped (or died) half-way through changing them:
  // they are read under the lock, whose taking repairs them.
  if (!lock(who)) return false;
  const Live &l = *live_;
  c->next_seq = l.next_seq;
  c->oldest_seq = l.oldest_seq;
  c->head = l.head;
  c->tail = l.tail;
  c->resets = l.resets;
  unlock();
  return true;
}

bool Ring::peek(uint64_t seq, const Counters &c, Meta *m) const {
  [[maybe_unused]] RacyReads racy;
  unsigned char sl[kSlotSize];
  memcpy(sl, index_ + (size_t)(seq % layout_.nslots) * kSlotSize, sizeof sl);
  if (le_get64(sl) != seq) return false;
  uint64_t o = le_get64(sl + 8);
  uint64_t n = le_get32(sl + 24);
  if (n < kRecordHead || n > layout_.data_size) return false;
  if (o < c.tail || o > c.head || c.head - o < n) return false;
  unsigned char h[kRecordHead];
  read_data(o, h, sizeof h);
  uint32_t nbytes = le_get32(h + 8);
  uint16_t srclen = le_get16(h + 12);
  if (le_get64(h) != seq || srclen > kSrcnameMax || nbytes > (uint32_t)INT_MAX ||
      kRecordHead + srclen + (uint64_t)nbytes != n)
    return false;
  m->seq = seq;
  m->off = o;
  m->len = n;
  m->time = le_getf64(sl + 16);
  m->nbytes = nbytes;
  read_data(o + kRecordHead, m->srcname, srclen);
  m->srcname[srclen] = '\0';
  return true;
}

void Ring::read_data(uint64_t off, void *dst, size_t n) const {
  size_t p = (size_t)(off % layout_.data_size);
  size_t first = n < layout_.data_size - p ? n : (size_t)(layout_.data_size - p);
  memcpy(dst, data_ + p, first);
  if (n > first) memcpy(static_cast<char *>(dst) + first, data_, n - first);
}

void Ring::write_data(uint64_t off, const void *src, size_t n) {
  size_t p = (size_t)(off % layout_.data_size);
  size_t first = n < layout_.data_size - p ? n : (size_t)(layout_.data_size - p);
  memcpy(data_ + p, src, first);
  if (n > first) memcpy(data_, static_cast<const char *>(src) + first, n - first);
}

uint32_t Ring::put_count() const { return word(live_->put_count).load(); }

uint32_t Ring::arm(uint32_t bits) {
  // A put published before the bits were set is found by the look that follows; one
  // published after finds the bits. (The full fence pairs with the put's count, which
  // lies between its publication and its look at the bits.)
  word(live_->sleepers).fetch_or(bits);
  thread_fence(std::memory_order_seq_cst);
  return word(live_->wake_seq).load();
}

void Ring::sleep(uint32_t armed, double seconds, uint32_t bits) {
  // FUTEX_WAIT_BITSET takes a deadline on the monotonic clock.
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  timespec add = clock_timespec(seconds);
  until.tv_sec += add.tv_sec;
  until.tv_nsec += add.tv_nsec;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  futex(&live_->wake_seq, FUTEX_WAIT_BITSET, armed, &until, bits);
  // The file may have been cut during the sleep (without the SIGBUS handler, the size is
  // looked at before the mapping is touched again).
  if (kSizeCheckMs == 0 ? !size_ok() : cut_.load(std::memory_order_relaxed)) return;
  // The writer woke one sleeper: the others of its bits are woken from here.
  auto passing = word(live_->passing);
  if (passing.load() != 0) {
    uint32_t pass = passing.exchange(0);
    if (pass) futex(&live_->wake_seq, FUTEX_WAKE_BITSET, INT_MAX, nullptr, pass);
  }
}

void Ring::nap(double seconds) {
  timespec ts = clock_timespec(seconds);
  futex(&live_->wake_seq, FUTEX_WAIT, word(live_->wake_seq).load(), &ts);
}

bool Ring::put_under_way() const { return word(live_->busy).load() != 0; }

bool Ring::put_ended(uint32_t seen) const {
  for (int i = 0; i < kPutSpins; i++) {
    if (word(live_->put_count).load(std::memory_order_relaxed) != seen ||
        word(live_->busy).load(std::memory_order_relaxed) == 0)
      return true;
    cpu_pause();
  }
  return false;
}

void Ring::wake(uint32_t bits) {
  // The count (a full fence) lies between the put's publication and its look at the
  // sleepers (see arm).
  word(live_->put_count).fetch_add(1);
  auto sleepers = word(live_->sleepers);
  auto passing = word(live_->passing);
  auto wake_seq = word(live_->wake_seq);
  if (passing.load() != 0) {
    // Left by a reader that did not pass them on.
    uint32_t left = passing.exchange(0);
    if (left) futex(&live_->wake_seq, FUTEX_WAKE_BITSET, INT_MAX, nullptr, left);
  }
  if ((sleepers.load() & bits) == 0) return;
  uint32_t found = sleepers.fetch_and(~bits) & bits;
  if (found == 0) return;
  // A reader that armed before the bits were cleared but is not asleep yet must not
  // sleep on: the word it will compare has changed.
  passing.fetch_or(found);
  wake_seq.fetch_add(1);
  futex(&live_->wake_seq, FUTEX_WAKE_BITSET, 1, nullptr, found);
}

void Ring::wake_all() {
  word(live_->put_count).fetch_add(1);
  word(live_->wake_seq).fetch_add(1);
  futex(&live_->wake_seq, FUTEX_WAKE, INT_MAX, nullptr);
}

}  // namespace ringfile
