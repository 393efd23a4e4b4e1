// Fuzzes the SLIP receiver's framing and IPv4/UDP checks with line bytes: every frame the
// decoder completes stays within its size limit, and a frame the checks accept has its
// payload inside the frame and headers that agree with it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "udp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  SlipDecoder d;
  for (size_t i = 0; i < size; ++i) {
    int r = slip_decode_byte(&d, data[i]);
    if (d.frame.size() > (size_t)UDP_SLIP_FRAME_MAX) abort();
    if (r != 1) continue;
    int payload = -1, length = -1;
    sockaddr_in from{};
    std::string why;
    const unsigned char *f = d.frame.data();
    int n = (int)d.frame.size();
    if (slip_parse_frame(f, n, &payload, &length, &from, &why) == 0) {
      if (payload < 28 || length < 0 || payload + length != n) abort();
      if (((f[2] << 8) | f[3]) != n) abort();
      if (((f[payload - 4] << 8) | f[payload - 3]) != length + 8) abort();
      // A sound frame stays sound; the IP header checksum covers every header byte.
      unsigned char *g = d.frame.data();
      g[payload - 9] ^= 0x01;  // the last byte of the IP header (destination address)
      if (slip_parse_frame(g, n, &payload, &length, &from, &why) == 0) abort();
    } else if (why.empty()) {
      abort();  // every drop says why
    }
    d.frame.clear();
  }
  return 0;
}
