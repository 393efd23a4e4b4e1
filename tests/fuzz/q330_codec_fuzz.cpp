// Fuzz target of the QDP codec: the first byte picks a command row (every row of the
// command table, internal codes included), the rest is its payload, decoded into a host
// buffer larger than any structure and then printed. The same bytes also go through the
// token-area decoder and the datagram header check.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "q330_pktdefs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  q330_pktdefs_init();
  const Q330Pktdefs &row = q330_pktdefs[data[0] % q330_pktdefs_size];
  // Exactly the payload bytes, so any read past them is caught.
  std::vector<unsigned char> payload(data + 1, data + size);
  unsigned char *cur = payload.data();
  static std::vector<uint64_t> host(sizeof(Q330DATAPkt) / 8 + 64);
  std::memset(host.data(), 0, host.size() * 8);
  if (q330_unstuff_qpkt(row.command, host.data(), (int)payload.size(), &cur) == 0) {
    if (cur < payload.data() || cur > payload.data() + payload.size()) abort();
    void *stack = nullptr;
    q330_pfstuff_qpkt(row.command, &stack, host.data(), 1, 1);
    free(popstr(&stack, 1));
  }

  Qtpb14Tokens tokens;
  std::memset(&tokens, 0, sizeof tokens);
  q330_unstuff_qtpb14_tokens(&tokens, reinterpret_cast<const char *>(data + 1), (int)size - 1);
  void *stack = nullptr;
  q330_pfstuff_qtpb14_tokens(1, &stack, &tokens);
  free(popstr(&stack, 1));
  q330_free_qtpb14_tokens(&tokens);

  int command, length, sequence, ack;
  q330_unstuff_pkt_hdr(reinterpret_cast<const char *>(data), (int)size, &command, &length,
                       &sequence, &ack);
  elog_clear_register(0);
  return 0;
}
