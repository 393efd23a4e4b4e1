// ringtest.h - helpers shared by the ring tests: reaping into a record, raw access to a
// ring file's header and live state.
#pragma once

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "ring/orb.h"
#include "ring/ringfile.h"

struct Reaped {
  int rc = 0;
  int pktid = -1;
  std::string srcname;
  double time = 0;
  std::string bytes;
};

// One orbreap_nd (or orbreap with block set) into a fresh buffer.
inline Reaped reap(int orb, bool block = false) {
  Reaped r;
  char src[ORBSRCNAME_SIZE] = {0};
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  r.rc = block ? orbreap(orb, &r.pktid, src, &r.time, &buf, &nbytes, &bufsize)
               : orbreap_nd(orb, &r.pktid, src, &r.time, &buf, &nbytes, &bufsize);
  if (r.rc == 0) {
    r.srcname = src;
    r.bytes.assign(buf ? buf : "", (size_t)nbytes);
  }
  free(buf);
  return r;
}

inline int put(int orb, const std::string &src, const std::string &bytes, double time = 1.0) {
  return orbputx(orb, src.c_str(), time, bytes.data(), (int)bytes.size());
}

// The whole ring file mapped shared, for tests that look at or damage its insides.
class RawRing {
 public:
  explicit RawRing(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return;
    size_ = (size_t)lseek(fd, 0, SEEK_END);
    void *p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (p == MAP_FAILED) return;
    base_ = static_cast<unsigned char *>(p);
    std::string why;
    ok_ = ringfile::decode_header(base_, size_, &layout_, &why) == ringfile::HeaderCheck::ok;
  }
  ~RawRing() {
    if (base_) munmap(base_, size_);
  }
  bool ok() const { return ok_; }
  unsigned char *base() { return base_; }
  const ringfile::Layout &layout() const { return layout_; }
  ringfile::Live &live() {
    return *reinterpret_cast<ringfile::Live *>(base_ + ringfile::kLiveOffset);
  }
  unsigned char *slot(uint64_t seq) {
    return base_ + layout_.index_off + (seq % layout_.nslots) * ringfile::kSlotSize;
  }
  // The first byte of the record of packet `seq` (its record must not wrap).
  unsigned char *record(uint64_t seq) {
    uint64_t off = 0;
    const unsigned char *s = slot(seq) + 8;
    for (int i = 7; i >= 0; i--) off = (off << 8) | s[i];
    return base_ + layout_.data_off + off % layout_.data_size;
  }

 private:
  unsigned char *base_ = nullptr;
  size_t size_ = 0;
  bool ok_ = false;
  ringfile::Layout layout_;
};
