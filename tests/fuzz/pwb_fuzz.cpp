// The reorder window driven by outside bytes (a window size, a bottom, then pushes and pops)
// and checked against a plain model: every result as the model predicts, and pops give
// back exactly the bytes pushed, in sequence order, through the slides of the window.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "pwb.h"

namespace {

std::vector<unsigned char> payload(unsigned sequence, int n) {
  std::vector<unsigned char> p(static_cast<size_t>(n));
  for (int i = 0; i < n; i++)
    p[static_cast<size_t>(i)] = static_cast<unsigned char>(sequence * 7 + i);
  return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const int wsize = 1 + data[0] % 128;
  uint16_t bottom = static_cast<uint16_t>(data[1] << 8 | data[2]);
  PWB *w = nullptr;
  if (packet_window_buffer_new(&w, wsize, bottom, 720) != 0) abort();
  std::map<uint16_t, int> held;  // sequence -> byte count
  std::vector<unsigned char> out(720);
  for (size_t i = 3; i + 3 <= size; i += 3) {
    const uint8_t op = data[i];
    if (op & 1) {  // push at a distance from the bottom
      int distance = static_cast<int8_t>(data[i + 1]) * ((op & 2) ? 300 : 1);
      unsigned sequence = static_cast<uint16_t>(bottom + distance);
      int n = 1 + (data[i + 2] * 3) % 722;  // 1 to 722
      int d = static_cast<uint16_t>(sequence - bottom);
      int want = d >= wsize ? (d - wsize < 32769 ? PWB_AHEAD : PWB_BEHIND)
                 : held.count(static_cast<uint16_t>(sequence)) ? PWB_HELD
                 : n > 720                                     ? PWB_TOOBIG
                                                               : PWB_STORED;
      auto p = payload(sequence, n);
      if (packet_window_buffer_push(w, op >> 4, sequence, p.data(), n) != want) abort();
      if (want == PWB_STORED) held[static_cast<uint16_t>(sequence)] = n;
      if (packet_window_buffer_in_buffer(w, sequence) !=
          (held.count(static_cast<uint16_t>(sequence)) && d < wsize))
        abort();
    } else {  // pop with a capacity
      int capacity = data[i + 1] * 3;
      int command = -1, n = capacity;
      uint16_t sequence = 0;
      int r = packet_window_buffer_pop(w, &command, &sequence, out.data(), &n);
      auto it = held.find(bottom);
      if (it == held.end()) {
        if (r != PWB_EMPTY) abort();
      } else if (capacity < it->second) {
        if (r != PWB_NOROOM) abort();
      } else {
        if (r != PWB_POPPED || sequence != bottom || n != it->second) abort();
        if (memcmp(out.data(), payload(sequence, n).data(), static_cast<size_t>(n)) != 0) abort();
        held.erase(it);
        bottom = static_cast<uint16_t>(bottom + 1);
      }
    }
    int minseq = -1, stack = -1, holes = -1;
    packet_window_buffer_counts(w, &minseq, &stack, &holes);
    if (minseq != bottom || w->bottom != bottom || w->offset < 0 || w->offset >= wsize) abort();
  }
  packet_window_buffer_free(w);
  return 0;
}
