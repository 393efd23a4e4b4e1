// Fuzzes the configuration-port client's datagram decoder with outside bytes: it must stay
// inside the bytes it is given, and an accepted announce reply must hold at most six
// active entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "base/elog.h"
#include "q330configport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 2048) return 0;
  // An exact-size copy, so that any read past the datagram is caught.
  std::vector<unsigned char> pkt(data, data + size);
  std::vector<uint64_t> reply(32768);
  int command = -1;
  uint16_t sequence = 0, ack = 0;
  int rc =
      q330_unstuff_qdp(pkt.data(), static_cast<int>(size), &command, &sequence, &ack, reply.data());
  if (rc == 0 && command == Q330_C2_TERR &&
      reinterpret_cast<const Q330C3ANNCPkt *>(reply.data())->number_of_active_entries > 6)
    abort();
  elog_clear_register(0);
  return 0;
}
