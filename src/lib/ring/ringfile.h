// ringfile.h - the ring file: its layout, its checks, its lock and the packet store in it.
//
// A ring file has a fixed size and is mapped MAP_SHARED by every process that uses it:
//
//   [0, 4096)           header page
//     [0, 128)            static header: little-endian fields, CRC-32 in the last 4 bytes
//     [1024, ...)         live state (struct Live): native layout, valid only on the kind
//                         of machine that made the file, which the static header records
//   [4096, data_off)    index: nslots slots of 32 bytes
//   [data_off, end)     data: a byte ring of packet records at 64-bit logical offsets
//                       (physical offset = logical mod data_size; records may wrap)
//
// Static header: magic "VNTRRING", version u32, header size u32, capacity u64, index
// offset u64, nslots u64, data offset u64, data size u64, created f64, then the machine
// kind: live offset u32, live size u32, mutex size u16, pointer size u8, long size u8,
// the number 0x01020304 in native byte order, live alignment u32; CRC-32 of bytes
// [0, 124) at 124. The layout is a function of the capacity (plan_layout); a header
// whose fields differ from that plan is refused.
//
// Index slot, little-endian: seq u64, offset u64, time f64, record length u32, zero u32.
// Record: seq u64, nbytes u32, source length u16, zero u16 (16 bytes, little-endian),
// then the source name (no NUL) and the packet bytes.
//
// Live state: packets with sequence in [oldest_seq, next_seq) are held, packet s in slot
// s mod nslots, their records in [tail, head) of the data. Only the holder of the mutex
// (a writer, or a process repairing the ring) changes the counters, and it changes them
// inside a seqlock: `gen` is odd while they change, so a reader that reads gen, the
// counters and gen again, equal and even, has a consistent copy. A writer evicts the
// oldest packets until the new one fits both the index and the data and publishes the
// eviction, then writes its slot and record, then publishes the packet by advancing head
// and next_seq.
//
// Readers never take the lock to read. They copy a packet's slot and record and then
// read oldest_seq again: a packet still held was not overwritten while it was copied
// (the writer publishes an eviction before it writes over the evicted bytes); a packet
// evicted in the meantime is dropped and counted as missed. Readers take the lock only to
// repair a ring whose counters look wrong and to add to the shared missed count.
//
// A writer sets `busy` while it puts, so that a reader that finds nothing new can wait
// for a put under way: briefly by looking at put_count, then, for a put that takes
// long, by taking the lock (bounded, and repaired when the holder died).
//
// The live state lies on three cache lines, so that readers never write a line that the
// writer writes on every put: the lock's line (the mutex, busy, missed: touched by the
// lock's holder), the counters' line (gen, put_count and the counters: written by the
// lock's holder, read by everyone) and the sleepers' line (written by readers about to
// sleep, read by writers).
//
// Waking: put_count counts puts; wake_seq (the futex word) counts wakes. Source names
// fall into 31 buckets (source_bit: FNV-1a of the name, mod 31); bit 31 stands for a
// name this writer process had not put before. A reader about to sleep ORs the bits it
// waits for into `sleepers` (the buckets of the names it selects or has not seen, and
// always bit 31), reads wake_seq, looks at the ring once more and, finding nothing for
// it, sleeps on wake_seq with those bits. A put publishes its packet, counts put_count
// (a full fence) and looks at `sleepers`: a put of a source the reader rejected changes
// nothing it sleeps on, so idle readers sleep through such puts; a put whose bits are in
// `sleepers` clears them, counts wake_seq, leaves the bits in `passing` and wakes one
// sleeper of those bits; a put finding none of its bits makes no system call. (A put
// published before a reader set its bits is found by that reader's last look; one
// published after finds the bits.) A sleep is bounded, so that a new source in a
// rejected bucket is seen within that bound even when its writer had put it before.
// Every reader back from a sleep takes the bits in `passing` and wakes the other
// sleepers of those bits, so that the writer pays for one wake whatever the number of
// sleepers; bits left in `passing` (by a reader that died before passing them on) are
// woken by the next put. Nothing is counted up by a process that may die before counting
// it down: a dead sleeper's bits cost one needless wake each.
//
// Nothing read from the mapping is trusted. The static header is checked once, at open,
// before the file is mapped, and the process uses its own copy from then on. A file cut
// shorter under the mapping would kill the process with SIGBUS at the first touch beyond
// its new end: the file's size is looked at (every few milliseconds) at lock time and
// when a reader visits, and a SIGBUS handler covers the moments between (it puts zeroed
// memory in place of the mapping and marks the ring cut); a cut ring is refused from
// then on with a message, and the file is left as it is. The live state is checked at
// every lock and by every reader: inconsistent counters, or counters too large to be
// real, empty the ring (with a complaint), and a reader that sees the reset count change
// starts again from the oldest packet held. Every slot and record is checked against the
// live state before it is read, so damaged offsets never lead outside the mapping. The
// one thing that cannot be checked is the mutex itself.
//
// Ring objects are shared by every connection of a process to the same file (one mapping
// per file); they are thread-safe.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ringfile {

constexpr char kMagic[8] = {'V', 'N', 'T', 'R', 'R', 'I', 'N', 'G'};
constexpr uint32_t kVersion = 3;
constexpr uint64_t kHeaderSize = 4096;
constexpr uint64_t kStaticSize = 128;  // the static header, with its CRC at 124
constexpr uint64_t kLiveOffset = 1024;
constexpr uint64_t kSlotSize = 32;
constexpr uint64_t kRecordHead = 16;
constexpr int kSrcnameMax = 63;
constexpr int64_t kMinCapacity = 16384;
constexpr int64_t kDefaultCapacity = int64_t{64} << 20;
// How long a lock waits for its holder, in clock seconds, before it gives up.
constexpr double kLockTimeout = 10.0;
// Counters above this are damage (a ring would take centuries to reach it): a repair
// starts them again from zero.
constexpr uint64_t kCounterLimit = uint64_t{1} << 60;

// The live state: native structure in the header page, one cache line per writer.
constexpr size_t kCacheLine = 64;
struct Live {
  // Touched by the lock's holder.
  alignas(kCacheLine) pthread_mutex_t lock;  // robust, process-shared
  uint32_t busy;                             // 1 while a put is under way; atomic
  uint64_t missed;                           // packets lost by lapped readers; under the lock
  // Written by the lock's holder on every put; read by everyone.
  alignas(kCacheLine) uint32_t gen;  // seqlock of the counters below; atomic
  uint32_t put_count;                // futex word; atomic
  uint64_t next_seq;                 // changed by the lock's holder inside gen
  uint64_t oldest_seq;
  uint64_t head;
  uint64_t tail;
  uint64_t resets;  // times the live state was found damaged and emptied; changed as the
                    // counters
  // Written by readers about to sleep and woken; read by writers.
  alignas(kCacheLine) uint32_t sleepers;  // bits that sleeping readers wait for; atomic
  uint32_t passing;                       // bits whose other sleepers a woken reader wakes
  uint32_t wake_seq;                      // futex word: counts wakes; atomic
};
static_assert(kLiveOffset % kCacheLine == 0, "live state starts a cache line");
static_assert(kLiveOffset + sizeof(Live) <= kHeaderSize, "live state fits the header page");

// Wake bits: one per bucket of source names, and one for names new to their writer.
constexpr uint32_t kNewSourceBit = uint32_t{1} << 31;
constexpr uint32_t kSourceBuckets = 31;
constexpr uint32_t kAllBits = 0xffffffffu;

// The wake bit of the bucket of a source name.
uint32_t source_bit(const char *name, size_t len);

// The static layout of a ring, as planned for a capacity or read from a header.
struct Layout {
  uint64_t capacity = 0;
  uint64_t index_off = 0;
  uint64_t nslots = 0;
  uint64_t data_off = 0;
  uint64_t data_size = 0;
  double created = 0;
};

// The layout of a ring of `capacity` bytes (rounded down to a multiple of 64). False
// when the capacity is below kMinCapacity or above what this machine can map.
bool plan_layout(int64_t capacity, Layout *out);

// Writes the static header for `layout` into h[0, kStaticSize).
void encode_header(const Layout &layout, unsigned char *h);

enum class HeaderCheck { ok, foreign, damaged, version, machine, layout, size };
// Checks the static header in h[0, kStaticSize) of a file of file_size bytes and fills
// *out. `why` gets a short reason for anything but ok.
HeaderCheck decode_header(const unsigned char *h, uint64_t file_size, Layout *out,
                          std::string *why);

uint32_t crc32(const void *data, size_t n);

// One held packet, checked.
struct Meta {
  uint64_t seq = 0;
  uint64_t off = 0;  // logical offset of its record
  uint64_t len = 0;  // record length
  double time = 0;
  uint32_t nbytes = 0;
  char srcname[kSrcnameMax + 1] = {0};
};

// A consistent copy of the counters, read without the lock.
struct Counters {
  uint64_t next_seq = 0, oldest_seq = 0, head = 0, tail = 0;
  uint64_t resets = 0;  // changes when a repair emptied the ring or started it again
};

class Ring {
 public:
  // Opens the ring file at `path`, creating it with `capacity` bytes when it is missing
  // and `create` is set (fails when it exists and `exclusive` is set). Reuses the mapping
  // of this process when the file is already open. None after logging why (messages begin
  // with `who`).
  static std::shared_ptr<Ring> open(const char *who, const std::string &path, bool create,
                                    bool exclusive, int64_t capacity);
  ~Ring();
  Ring(const Ring &) = delete;
  Ring &operator=(const Ring &) = delete;

  const std::string &path() const { return path_; }
  const Layout &layout() const { return layout_; }

  // Takes the lock (repairing the state left by a holder that died, and emptying the
  // ring when its state is inconsistent). False after logging why, also when the file was
  // cut shorter.
  bool lock(const char *who);
  void unlock();

  // False when the file is shorter than the ring (it looks): nothing of the mapping may
  // be touched then. Logs why (when `who` is given) and complains the first time.
  bool intact(const char *who);
  // intact(), looked at every few milliseconds (and at every call once the ring is cut):
  // at every lock and every visit of a reader.
  bool usable(const char *who);
  // Whether the ring was found cut (by intact, or by a touch beyond the file's end,
  // which replaces the mapping by zeroed memory): what was read or written since means
  // nothing. Logs as intact(); the complaint naming the path comes once a minute.
  bool cut(const char *who);
  // Looks at the open file now: 0 in place, 1 cut shorter, 2 deleted (no link left:
  // packets still reach the readers that have it open, but no new reader can find it).
  // A cut or deleted ring is complained about once a minute, naming the path.
  int file_state(const char *who);

  // Without the lock. Copies the counters; false when they do not make a consistent
  // ring (a repair under the lock is then due) or a dead writer left them half-changed.
  bool counters(Counters *c) const;
  // Copies the counters, without the lock when they are consistent, else under the lock
  // (which repairs them). Also the check after a copy. False after logging why.
  bool read_counters(const char *who, Counters *c);
  // Checks packet `seq` against `c` and fills *m, reading what a writer may be
  // overwriting: the result means something only when read_counters() afterwards still
  // holds `seq`. False when the slot or record does not hold the packet.
  bool peek(uint64_t seq, const Counters &c, Meta *m) const;
  // Copies the bytes of a packet that peek() or packet() accepted.
  void copy_packet(const Meta &m, char *dst) const;

  // The following need the lock.
  uint64_t next_seq() const { return live_->next_seq; }
  uint64_t oldest_seq() const { return live_->oldest_seq; }
  uint64_t bytes_held() const { return live_->head - live_->tail; }
  uint64_t missed() const { return live_->missed; }
  uint64_t resets() const { return live_->resets; }
  void add_missed(uint64_t n) { live_->missed += n; }
  // Checks packet `seq` (which must be held) and fills *m. False when its slot or record
  // is damaged.
  bool packet(uint64_t seq, Meta *m) const;
  // Only the index slot of packet `seq`: its time. False when the slot is damaged.
  bool slot_time(uint64_t seq, double *time) const;
  // Stores a packet (which must fit the data area: kRecordHead + srclen + nbytes <=
  // data_size) and returns its sequence. `midway` (when given) is called after the
  // record is written and before it is published. *wake_bits gets the bits to wake()
  // after the lock is let go.
  uint64_t append(const char *srcname, size_t srclen, double time, const char *data, size_t nbytes,
                  void (*midway)(void), uint32_t *wake_bits);

  // Without the lock: readers wait for puts. A reader about to sleep arms its wake
  // bits, then looks at the ring once more, and sleeps only when that look found nothing
  // for it.
  uint32_t put_count() const;
  // Sets `bits` in the sleepers; returns the wake count to sleep on.
  uint32_t arm(uint32_t bits);
  // Sleeps until a wake of one of `bits` after arm() returned `armed`, or `seconds`
  // (real) pass. Then passes a writer's wake on to the other sleepers.
  void sleep(uint32_t armed, double seconds, uint32_t bits);
  // Sleeps `seconds` (real), without asking a writer for a wake.
  void nap(double seconds);
  // After a put: counts it and wakes the sleepers of `bits`, if any.
  void wake(uint32_t bits);
  // Counts a put and wakes every sleeper (a connection closed under its reader).
  void wake_all();
  // Whether a put is under way.
  bool put_under_way() const;
  // Waits a few microseconds for the put under way to end (put_count to differ from
  // `seen`). False when it did not end.
  bool put_ended(uint32_t seen) const;

 private:
  Ring() = default;
  static std::shared_ptr<Ring> map_file(const char *who, const std::string &path, int fd,
                                        uint64_t size);
  bool check_live(const char *who);
  // Looks at the file's size; marks the ring cut when it is short. No message.
  bool size_ok();
  void settle_tail();
  void publish_begin();
  void publish_end();
  void set_counters(uint64_t next_seq, uint64_t oldest_seq, uint64_t head, uint64_t tail);
  bool slot(uint64_t seq, uint64_t *off, uint64_t *len, double *time) const;
  void read_data(uint64_t off, void *dst, size_t n) const;
  void write_data(uint64_t off, const void *src, size_t n);

  std::string path_;
  Layout layout_;
  unsigned char *base_ = nullptr;
  size_t size_ = 0;
  Live *live_ = nullptr;
  unsigned char *index_ = nullptr;
  unsigned char *data_ = nullptr;
  uint64_t dev_ = 0, ino_ = 0;
  int fd_ = -1;  // kept open to check the file's size
  std::atomic<bool> cut_{false};
  std::atomic<bool> deleted_{false};  // the file had no link at the last look
  // Last complaints: whole seconds of clock_monotonic plus one; 0 never (32 bits, which
  // every target has lock-free).
  std::atomic<uint32_t> cut_told_{0};
  std::atomic<uint32_t> deleted_told_{0};
  std::atomic<uint32_t> checked_ms_{0};  // when this process last looked at the size
  // Hashes of the source names this process put (0: free), under the lock: the first put
  // of a name also wakes the sleepers of kNewSourceBit.
  std::vector<uint64_t> names_put_;
  size_t names_count_ = 0;
};

// Packet id of a sequence: its low 31 bits.
inline int pktid_of(uint64_t seq) { return (int)(seq & 0x7fffffffu); }

}  // namespace ringfile
