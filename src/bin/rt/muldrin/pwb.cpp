// pwb.cpp - the reorder window of the data port (see pwb.h).
#include "pwb.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "base/elog.h"

namespace {

// Distance of `sequence` from the window's bottom, 0 to 65535.
int distance(const PWB *pwb, unsigned sequence) {
  return static_cast<uint16_t>(static_cast<uint16_t>(sequence) - pwb->bottom);
}

size_t at(const PWB *pwb, int slot) {
  return static_cast<size_t>(slot) * static_cast<size_t>(pwb->pktsize);
}

}  // namespace

int packet_window_buffer_new(PWB **pwb, int size, unsigned bottom, int pktsize) {
  if (!pwb) return -1;
  *pwb = nullptr;
  if (size < 1 || pktsize < 1 || pktsize > 65535 || size > 32768) {
    elog_complain(0, "packet_window_buffer_new: bad size %d or slot size %d.\n", size, pktsize);
    return -1;
  }
  try {
    auto *p = new PWB;
    p->size = size;
    p->pktsize = pktsize;
    p->offset = 0;
    p->bottom = static_cast<uint16_t>(bottom);
    try {
      p->nbytes.assign(2 * static_cast<size_t>(size), 0);
      p->pktbuf.assign(2 * static_cast<size_t>(size) * static_cast<size_t>(pktsize), 0);
      p->command.assign(2 * static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc &) {
      delete p;
      throw;
    }
    *pwb = p;
    return 0;
  } catch (const std::bad_alloc &) {
    elog_log(0, "packet_window_buffer_new: malloc() error.\n");
    return -1;
  }
}

int packet_window_buffer_free(PWB *pwb) {
  delete pwb;
  return 0;
}

int packet_window_buffer_push(PWB *pwb, int command, unsigned sequence, const void *pkt,
                              int nbytes) {
  if (!pwb || !pkt || nbytes < 1) return -1;
  int d = distance(pwb, sequence);
  if (d >= pwb->size) return d - pwb->size < 32769 ? PWB_AHEAD : PWB_BEHIND;
  int slot = d + pwb->offset;
  if (pwb->nbytes[static_cast<size_t>(slot)] != 0) return PWB_HELD;
  if (nbytes > pwb->pktsize) return PWB_TOOBIG;
  pwb->nbytes[static_cast<size_t>(slot)] = static_cast<uint16_t>(nbytes);
  pwb->command[static_cast<size_t>(slot)] = static_cast<unsigned char>(command);
  memcpy(&pwb->pktbuf[at(pwb, slot)], pkt, static_cast<size_t>(nbytes));
  return PWB_STORED;
}

int packet_window_buffer_pop(PWB *pwb, int *command, uint16_t *sequence, void *pkt, int *nbytes) {
  if (!pwb || !nbytes) return PWB_EMPTY;
  const size_t slot = static_cast<size_t>(pwb->offset);
  const int n = pwb->nbytes[slot];
  if (n == 0) return PWB_EMPTY;
  if (*nbytes < n || !pkt) return PWB_NOROOM;
  memcpy(pkt, &pwb->pktbuf[at(pwb, pwb->offset)], static_cast<size_t>(n));
  *nbytes = n;
  if (command) *command = pwb->command[slot];
  if (sequence) *sequence = pwb->bottom;
  pwb->nbytes[slot] = 0;
  pwb->bottom = static_cast<uint16_t>(pwb->bottom + 1);
  if (++pwb->offset == pwb->size) {
    const size_t half = static_cast<size_t>(pwb->size);
    memcpy(pwb->nbytes.data(), pwb->nbytes.data() + half, half * sizeof(uint16_t));
    memcpy(pwb->command.data(), pwb->command.data() + half, half);
    memcpy(pwb->pktbuf.data(), pwb->pktbuf.data() + at(pwb, pwb->size), at(pwb, pwb->size));
    std::fill(pwb->nbytes.begin() + static_cast<std::ptrdiff_t>(half), pwb->nbytes.end(), 0);
    pwb->offset = 0;
  }
  return PWB_POPPED;
}

int packet_window_buffer_peek(const PWB *pwb, unsigned sequence, const unsigned char **pkt,
                              int *nbytes, int *command) {
  if (!pwb) return 0;
  const int d = distance(pwb, sequence);
  if (d >= pwb->size) return 0;
  const size_t slot = static_cast<size_t>(d + pwb->offset);
  if (pwb->nbytes[slot] == 0) return 0;
  if (pkt) *pkt = &pwb->pktbuf[at(pwb, static_cast<int>(slot))];
  if (nbytes) *nbytes = pwb->nbytes[slot];
  if (command) *command = pwb->command[slot];
  return 1;
}

int packet_window_buffer_drop(PWB *pwb, unsigned sequence) {
  if (!pwb) return 0;
  const int d = distance(pwb, sequence);
  if (d >= pwb->size) return 0;
  uint16_t &n = pwb->nbytes[static_cast<size_t>(d + pwb->offset)];
  const int held = n != 0;
  n = 0;
  return held;
}

int packet_window_buffer_in_buffer(PWB *pwb, unsigned sequence) {
  if (!pwb) return 0;
  int d = distance(pwb, sequence);
  return d < pwb->size && pwb->nbytes[static_cast<size_t>(d + pwb->offset)] != 0;
}

int packet_window_buffer_counts(PWB *pwb, int *minseq, int *stacksize, int *holes) {
  int last = -1, empty = 0;
  if (pwb)
    for (int i = 0; i < pwb->size; i++) {
      if (pwb->nbytes[static_cast<size_t>(pwb->offset + i)] != 0) last = i;
    }
  if (pwb)
    for (int i = 0; i < last; i++) empty += pwb->nbytes[static_cast<size_t>(pwb->offset + i)] == 0;
  if (minseq) *minseq = pwb ? pwb->bottom : 0;
  if (stacksize) *stacksize = last + 1;
  if (holes) *holes = empty;
  return 0;
}
