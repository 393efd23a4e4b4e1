// Fuzzes the packet decoder with outside bytes. Whatever decodes must encode again and
// decode to the same content (into a packet reused from an earlier decode, so the reuse
// of channels and sample buffers is exercised too); the description must not fail.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../packet/pkt_dump.h"
#include "base/elog.h"
#include "packet/pkt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 1 << 20) return 0;
  const char *bytes = reinterpret_cast<const char *>(data);
  int nbytes = static_cast<int>(size);

  Packet *pkt = nullptr;
  int kind = unstuffPkt("fuzz", 0.0, bytes, nbytes, &pkt);
  if (kind < 0) {
    if (pkt != nullptr) abort();  // a packet made by a failing call is freed
  } else {
    char *buffer = nullptr;
    int length = 0, bufsize = 0;
    char srcname[PKT_SRCNAME_SIZE];
    double time;
    if (stuffPkt(pkt, srcname, &time, &buffer, &length, &bufsize) != 0) abort();

    Packet *again = nullptr;
    if (unstuffPkt("fuzz", 0.0, bytes, nbytes, &again) != kind) abort();
    if (unstuffPkt("fuzz", time, buffer, length, &again) != kind) abort();
    if (pkt_dump(pkt) != pkt_dump(again)) abort();
    freePkt(again);
    free(buffer);
  }
  freePkt(pkt);

  free(pkt_describe("fuzz", 0.0, bytes, nbytes, 0));
  free(pkt_describe("fuzz", 0.0, bytes, nbytes, 1));
  elog_clear_register(0);
  return 0;
}
