// pwb.h - the reorder window of a Q330 data port: holds the numbered DT_DATA/DT_FILL
// packets that arrive ahead of the next one expected and gives them back in sequence.
//
// The window covers `size` consecutive 16-bit sequence numbers from `bottom`. Its slots
// live in arrays twice the window long: the live window is slots `offset` to
// `offset` + `size` - 1, and only when `offset` reaches `size` is the upper half copied
// down, so a pop moves no memory except once per `size` packets. Slots are indexed
// directly by the distance of a sequence from `bottom`; a byte count of 0 marks an empty
// slot, so an empty packet is never stored.
//
// Locking: none; one data thread owns a window.
#pragma once

#include <cstdint>
#include <vector>

struct PWB {
  int size = 0;     // window size in packets
  int pktsize = 0;  // bytes per slot
  int offset = 0;   // slot of the window's first packet, 0 to size - 1
  uint16_t bottom = 0;
  std::vector<uint16_t> nbytes;        // 2 x size byte counts; 0 empty
  std::vector<unsigned char> pktbuf;   // 2 x size x pktsize payload bytes
  std::vector<unsigned char> command;  // 2 x size command codes
};

// Results of packet_window_buffer_push and _pop.
enum {
  PWB_STORED = 0,
  PWB_BEHIND = 1,
  PWB_AHEAD = 2,
  PWB_HELD = 3,
  PWB_TOOBIG = 4,
  PWB_POPPED = 1,
  PWB_EMPTY = 0,
  PWB_NOROOM = 5,
};

// A window of `size` (>= 1) slots of `pktsize` (>= 1) bytes starting at `bottom`. 0, or -1
// (logged, *pwb none) for a bad size or when memory runs out.
int packet_window_buffer_new(PWB **pwb, int size, unsigned bottom, int pktsize);
// None allowed. 0.
int packet_window_buffer_free(PWB *pwb);
// Stores a packet: 0 stored, 1 behind the window, 2 beyond it, 3 already held, 4 larger
// than a slot. -1 for a byte count below 1 (nothing stored).
int packet_window_buffer_push(PWB *pwb, int command, unsigned sequence, const void *pkt,
                              int nbytes);
// Takes the window's first packet: 0 when its slot is empty, 5 when *nbytes (the room at
// pkt) is smaller than the packet, 1 with the packet, its command, sequence and *nbytes.
int packet_window_buffer_pop(PWB *pwb, int *command, uint16_t *sequence, void *pkt, int *nbytes);
// The packet held for `sequence`, left in place: 1 with *pkt pointing at its bytes (valid
// until the next push or pop), *nbytes and *command; 0 when the window holds none.
int packet_window_buffer_peek(const PWB *pwb, unsigned sequence, const unsigned char **pkt,
                              int *nbytes, int *command);
// Empties the slot of `sequence`: 1 when it held a packet, else 0.
int packet_window_buffer_drop(PWB *pwb, unsigned sequence);
// 1 when `sequence` lies in the window and its slot is full, else 0.
int packet_window_buffer_in_buffer(PWB *pwb, unsigned sequence);
// minseq = bottom; stacksize = 1 + position of the last full slot (0 when none); holes =
// empty slots before it. 0.
int packet_window_buffer_counts(PWB *pwb, int *minseq, int *stacksize, int *holes);
