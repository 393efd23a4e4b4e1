// Fuzzes the data-record builder: a DT_DATA payload of outside bytes is walked as the data
// thread does and every blockette the decoders accept goes to q330_process_dblk of one long
// lived session, so split-block assemblies carry over from input to input. The record must
// stay inside its buffer and every entry must lie within the record's used bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/elog.h"
#include "q330.h"
#include "q330pkt.h"

namespace {

int out(Q330 *, int type, void *data, int size) {
  if (type == Q330_OUT_STDOUT || type == Q330_OUT_LOG || type == Q330_OUT_TIME) free(data);
  if (type == Q330_OUT_DATA) {
    // Every entry inside the bytes handed over.
    auto *p = static_cast<unsigned char *>(data);
    int at = 20, n = p[0] << 8 | p[1];
    for (int i = 0; i < n; i++) {
      if (at + 18 > size) abort();
      int len = p[at + 2] << 8 | p[at + 3];
      if (len < 18 || at + len > size) abort();
      at += len;
    }
    if (at != size) abort();
  }
  return 0;
}

Q330 *session() {
  static Q330 *q330 = [] {
    Q330 *q = q330_create(out, nullptr);
    q->unit_nchannels = 6;
    const uint8_t codes[8] = {1, 10, 40, 0x84, 0xFF, 20, 0x80, 0};
    for (int s = 0; s < 8; s++) q->config.config_pkt.fix.bit_frequency[s] = codes[s];
    static Q330Chan ep{};
    ep.samprate = 1;
    for (int i = 0; i < 4; i++) q->params.ep_channels[i] = &ep;
    return q;
  }();
  return q330;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 4 || size > 4096) return 0;
  Q330 *q330 = session();
  std::vector<unsigned char> payload(data, data + size);
  unsigned char *p = payload.data() + 4;
  int remaining = static_cast<int>(size) - 4;
  q330->data_record_sequence =
      static_cast<uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];

  std::vector<unsigned int> pool(1000);
  unsigned int *next = pool.data();
  int free_words = 1000;
  alignas(8) unsigned char rec[sizeof(Q330DATABLKAPkt)];
  while (remaining > 0) {
    unsigned char *start = p;
    int code = *p;
    int rc = -1, form = q330_blockette_layout(static_cast<unsigned int>(code));
    switch (form) {
      case 1:
        rc = q330_decode_DATABLK1(rec, &p, remaining);
        break;
      case 2:
        rc = q330_decode_DATABLK2(rec, &p, remaining);
        break;
      case 3:
        rc = q330_decode_DATABLK3(rec, &p, remaining);
        break;
      case 4:
        rc = q330_decode_DATABLK4(rec, &p, remaining);
        break;
      case 5:
        rc = q330_decode_DATABLK5(rec, &p, remaining);
        break;
      case 8:
        rc = q330_decode_DATABLK8(rec, &p, remaining);
        break;
      case 9:
        rc = q330_decode_DATABLK9(rec, &p, remaining);
        break;
      case 0xA:
        rc = q330_decode_DATABLKA(rec, &p, remaining);
        break;
      case 0xB:
        rc = q330_decode_DATABLKB(rec, &p, remaining);
        break;
      case 6:
        rc = q330_decode_DATABLK6(rec, &p, remaining, &next, &free_words);
        break;
      case 7:
        rc = q330_decode_DATABLK7(rec, &p, remaining, &next, &free_words);
        break;
      case 0xC: {
        form = 13;
        rc = q330_decode_DATABLKEP1(rec, &p, remaining);
        auto *e1 = reinterpret_cast<Q330DATABLKEP1Pkt *>(rec);
        if (rc == 0 && code == 0xFC && (e1->blockette_size & 0x3FF) >= 9) {
          p = start;
          form = 14;
          rc = q330_decode_DATABLKEP2(rec, &p, remaining, &next, &free_words);
        }
        break;
      }
      default:
        abort();
    }
    if (rc != 0) break;
    if (q330_process_dblk(q330, static_cast<unsigned char>(code), form, rec) < 0)
      elog_clear_register(0);
    if (q330->data_out_offset > q330->data_out_size) abort();
    remaining -= static_cast<int>(p - start);
  }
  elog_clear_register(0);
  return 0;
}
