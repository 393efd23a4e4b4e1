// Fuzzes the Altus block-mode reader with line bytes: they go through a socket pair into
// a SerialBuf and receive_block_packet, each frame read is parsed with
// decode_block_packet and, whatever its type, offered to every payload decoder. Frames
// stay within the reader's limit and a parsed packet's length agrees with its bytes.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "altuscomsubs_block.h"
#include "base/elog.h"

namespace {

void quiet(const std::string &, void *) {}

void decode_all(AltusBlockPkt *pkt) {
  static auto sd = std::make_unique<AltusBlockStrdata>();
  static auto es = std::make_unique<AltusBlockEventsummary>();
  static auto params = std::make_unique<AltusBlockParams>();
  AltusBlockStatus st;
  AltusBlockEXTStatus ext;
  AltusBlockDirentry de;
  AltusStrNak nak;
  const uint8_t type = pkt->typeCode;
  // Each decoder sees the payload under its own type as well as the type it came with.
  const uint8_t types[] = {type,        PKR_STATUS, PKR_EXTSTATUS, PKR_DIR, PKR_EVENTSUMMARY,
                           PKR_STRDATA, PKR_STRNAK, PKR_PARAMS};
  for (uint8_t t : types) {
    pkt->typeCode = t;
    decode_block_status(pkt, &st);
    decode_block_extstatus(pkt, &ext);
    for (int i = 0; i <= pkt->dataLength / 22; i++) decode_block_direntry(pkt, i, &de);
    if (decode_block_eventsummary(pkt, es.get()) == 0 && es->nchan < 0) abort();
    if (decode_block_strdata(pkt, sd.get()) == 0 &&
        (sd->nsamp < 0 || sd->nsamp > BLOCK_MAX_STRDATA_SAMPLES))
      abort();
    decode_block_strnak(pkt, &nak);
    decode_block_params(pkt, params.get(), t & 1);
  }
  pkt->typeCode = type;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool init = [] {
    elog_set_sink(quiet, nullptr);
    return true;
  }();
  (void)init;
  if (size > 60000) return 0;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
  int sndbuf = 1 << 20;
  setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  size_t off = 0;
  while (off < size) {
    ssize_t w = write(sv[1], data + off, size - off);
    if (w <= 0) break;
    off += (size_t)w;
  }
  close(sv[1]);
  SerialBuf *b = serialbuf_create(1024, 100, 100, 100, 0, 1, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
  b->fd = sv[0];
  b->state = SERIALBUF_CONNECTED;
  unsigned char *frame = nullptr;
  int n = 0, cap = 0;
  auto pkt = std::make_unique<AltusBlockPkt>();
  for (int i = 0; i < 10000; i++) {
    int r = receive_block_packet(b, &frame, &n, &cap);
    if (r > 0) break;
    if (r < 0) continue;  // an over-long frame: the reader resynchronises
    if (n > BLOCK_MAX_FRAME + 1) abort();
    if (decode_block_packet(frame, n, pkt.get(), nullptr, nullptr) == 0) {
      if (n != pkt->dataLength + 11) abort();
    }
    decode_all(pkt.get());
  }
  free(frame);
  close(sv[0]);
  serialbuf_free(b);
  return 0;
}
