// Fuzzes the data blockette decoders and the frame reader with outside bytes, walked as a
// DT_DATA payload after its record sequence. Every decoder must stay inside the bytes it is
// given and the pool it is lent, and move on by at least one byte when it accepts; the
// sample count and the expansion of every compressed block must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/elog.h"
#include "q330pkt.h"

namespace {

// The count and the expansion agree, and the expansion writes nothing past the count (the
// buffer is exactly that size, so the address sanitizer sees any stray write).
void check_block(uint16_t size_of_data, uint16_t size_of_cmap, const unsigned int *block) {
  int n = q330_nsamps(size_of_data, size_of_cmap, block);
  if (n > size_of_data / 4 * 7) abort();
  std::vector<int> diffs(n > 0 ? static_cast<size_t>(n) : 1);
  if (q330_convert_frame(size_of_data, size_of_cmap, block, diffs.data()) != n) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 4096) return 0;
  // An exact-size copy, so that any read past the payload is caught.
  std::vector<unsigned char> payload(data, data + size);
  unsigned char *p = payload.data();
  int remaining = static_cast<int>(size);
  if (remaining >= 4) p += 4, remaining -= 4;

  std::vector<unsigned int> pool(1000);
  unsigned int *next = pool.data();
  int free_words = 1000;
  alignas(8) unsigned char rec[sizeof(Q330DATABLKAPkt)];

  while (remaining > 0) {
    unsigned char *start = p;
    int code = *p;
    int rc = -1;
    switch (q330_blockette_layout(static_cast<unsigned int>(code))) {
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
      case 6: {
        rc = q330_decode_DATABLK6(rec, &p, remaining, &next, &free_words);
        auto *b = reinterpret_cast<Q330DATABLK6Pkt *>(rec);
        if (rc == 0) check_block(b->size_of_data, b->size_of_cmap, b->data);
        break;
      }
      case 7:
        rc = q330_decode_DATABLK7(rec, &p, remaining, &next, &free_words);
        break;
      case 0xC: {
        rc = q330_decode_DATABLKEP1(rec, &p, remaining);
        auto *e1 = reinterpret_cast<Q330DATABLKEP1Pkt *>(rec);
        if (rc == 0 && code == 0xFC && (e1->blockette_size & 0x3FF) >= 9) {
          p = start;
          rc = q330_decode_DATABLKEP2(rec, &p, remaining, &next, &free_words);
          auto *e2 = reinterpret_cast<Q330DATABLKEP2Pkt *>(rec);
          if (rc == 0) check_block(e2->size_of_data, e2->size_of_cmap, e2->data);
        }
        break;
      }
      default:
        abort();
    }
    if (rc != 0) {
      if (p != start) abort();  // a refused blockette leaves the cursor alone
      break;
    }
    int used = static_cast<int>(p - start);
    if (used <= 0 || used > remaining) abort();
    remaining -= used;
    if (free_words < 0 || next > pool.data() + 1000) abort();
  }

  // The frame reader on raw words: two sizes, then map and data.
  if (size >= 4) {
    uint16_t size_of_data = static_cast<uint16_t>(data[0] << 8 | data[1]);
    uint16_t size_of_cmap = static_cast<uint16_t>(data[2] << 8 | data[3]);
    size_t need = static_cast<size_t>(size_of_cmap) / 4 * 4 + size_of_data;
    std::vector<unsigned int> block((need + 3) / 4 + 1, 0);
    memcpy(block.data(), data + 4, size - 4 < need ? size - 4 : need);
    check_block(size_of_data, size_of_cmap, block.data());
  }
  elog_clear_register(0);
  return 0;
}
