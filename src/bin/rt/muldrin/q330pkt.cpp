// q330pkt.cpp - decoders of the Q330 data blockettes and the reader of compressed frames.
#include "q330pkt.h"

#include <cstdlib>
#include <cstring>

#include "base/bigendian.h"
#include "base/elog.h"
#include "support/byteorder.h"

namespace {

// Takes `words` words from the caller's pool, or allocates them when there is no pool.
// nullptr (with the complaint) when the pool is too small or the allocation fails.
unsigned int *take_words(const char *fname, int words, unsigned int **data, int *data_size_int) {
  if (data != nullptr && *data != nullptr) {
    if (data_size_int == nullptr || words > *data_size_int) {
      elog_complain(0, "%s: data buffer too small.\n", fname);
      return nullptr;
    }
    unsigned int *taken = *data;
    *data += words;
    *data_size_int -= words;
    return taken;
  }
  // At least one word, so that an empty block still gets a buffer of its own.
  auto *taken = static_cast<unsigned int *>(calloc(words > 0 ? words : 1, sizeof(unsigned int)));
  if (taken == nullptr) elog_complain(0, "%s: malloc() error.\n", fname);
  return taken;
}

// Map bytes for a block of size_of_data data bytes: 4 for every 64 data bytes, rounded up.
int cmap_size(int size_of_data) {
  int h = size_of_data / 2;
  return h % 32 != 0 ? (h / 32) * 4 + 4 : h / 8;
}

// The common reader of layouts 6 and EP2: their layouts differ only in the name of byte 1.
struct Compressed {
  uint8_t channel;
  uint8_t second;
  uint16_t blockette_size;
  int32_t previous_sample;
  uint16_t size_of_cmap;
  uint16_t size_of_data;
  unsigned int *data;
};

int decode_compressed(const char *fname, Compressed *blk, unsigned char **udppkt, int nbytes,
                      unsigned int **data, int *data_size_int) {
  if (nbytes < 10) return -1;
  unsigned char *p = *udppkt;
  unsigned int channel = be_take8(&p);
  unsigned int second = be_take8(&p);
  unsigned int size_field = be_take16(&p);
  int previous = static_cast<int>(be_take32(&p));
  int offset = static_cast<int>(be_take16(&p));
  int length = static_cast<int>(size_field & 0x3FF);
  if (length < 10 || length > nbytes) return -1;
  if (offset < 10 || offset > length) return -1;
  int size_of_data = length - offset;
  int size_of_cmap = cmap_size(size_of_data);
  int map_bytes = offset - 10;
  if (map_bytes > size_of_cmap) return -1;

  int words = (size_of_cmap + size_of_data + 3) / 4;
  unsigned int *buf = take_words(fname, words, data, data_size_int);
  if (buf == nullptr) return -1;
  auto *bytes = reinterpret_cast<unsigned char *>(buf);
  memset(bytes, 0, static_cast<size_t>(words) * 4);
  memcpy(bytes, *udppkt + 10, static_cast<size_t>(map_bytes));
  memcpy(bytes + size_of_cmap, *udppkt + offset, static_cast<size_t>(size_of_data));

  blk->channel = static_cast<uint8_t>(channel);
  blk->second = static_cast<uint8_t>(second);
  blk->blockette_size = static_cast<uint16_t>(size_field);
  blk->previous_sample = previous;
  blk->size_of_cmap = static_cast<uint16_t>(size_of_cmap);
  blk->size_of_data = static_cast<uint16_t>(size_of_data);
  blk->data = buf;
  *udppkt += length;
  return 0;
}

// Layouts A and B: `head` fixed bytes, then blockette_size - head data bytes, skipped
// rounded up to whole words. The data length, or -1 when it does not fit.
int variable_data(unsigned int size_field, int head, int nbytes) {
  int size = static_cast<int>(size_field);
  int data_bytes = size > head ? size - head : 0;
  if (data_bytes > Q330_BLK_DATA_MAX) return -1;
  if (head + ((data_bytes + 3) & ~3) > nbytes) return -1;
  return data_bytes;
}

// Differences per data word, by (code << 2) | dnib. Codes 0 and 1 ignore the dnib.
constexpr int kDiffs[16] = {0, 0, 0, 0, 4, 4, 4, 4, 0, 1, 2, 3, 5, 6, 7, 0};

// The fields of each form as shifts: field j of word w is (int32)(w << left[j]) >> right[j].
struct Lanes {
  int count;
  uint8_t left[7];
  uint8_t right[7];
};

constexpr Lanes lanes_of(int count, int width) {
  Lanes l{count, {}, {}};
  for (int j = 0; j < count; j++) {
    int low = (count - 1 - j) * width;  // the first field is the most significant
    l.left[j] = static_cast<uint8_t>(32 - low - width);
    l.right[j] = static_cast<uint8_t>(32 - width);
  }
  return l;
}

// By (code << 2) | dnib, as kDiffs.
constexpr Lanes kLanes[16] = {
    lanes_of(0, 1), lanes_of(0, 1),  lanes_of(0, 1),  lanes_of(0, 1),
    lanes_of(4, 8), lanes_of(4, 8),  lanes_of(4, 8),  lanes_of(4, 8),
    lanes_of(0, 1), lanes_of(1, 30), lanes_of(2, 15), lanes_of(3, 10),
    lanes_of(5, 6), lanes_of(6, 5),  lanes_of(7, 4),  lanes_of(0, 1),
};

// Checks the sizes and reads the codes of the map at dblkdata into codes[] (one per data
// word, as code << 2, the dnib still to add) and counts the differences. The number of
// data words, or -1; *words points at the first data word, *total is the count.
int read_map(uint16_t size_of_data, uint16_t size_of_cmap, const unsigned int *dblkdata,
             uint8_t *codes, const unsigned char **words, int *total) {
  if (size_of_data > Q330_FRAME_DATA_MAX) return -1;
  int nwords = size_of_data / 4;
  int map_words = size_of_cmap / 4;
  if (map_words * 16 < nwords) return -1;
  const unsigned char *data = reinterpret_cast<const unsigned char *>(dblkdata) + map_words * 4;
  *words = data;
  *total = 0;
  if (nwords == 0) return 0;
  uint32_t map[Q330_FRAME_DATA_MAX / 64 + 1];
  UN2HI(map, dblkdata, (nwords + 15) / 16);
  int n = 0;
  for (int k = 0; k < nwords; k++) {
    codes[k] = static_cast<uint8_t>(((map[k >> 4] >> (30 - 2 * (k & 15))) & 3) << 2);
    n += kDiffs[codes[k] | (data[4 * k] >> 6)];
  }
  *total = n;
  return nwords;
}

}  // namespace

int q330_cmap_size(int size_of_data) { return cmap_size(size_of_data); }

int q330_blockette_layout(unsigned int code) {
  code &= 0xFF;
  if (code < 0x80) {
    static constexpr int low[4] = {1, 2, 4, 5};
    return low[(code & 0xE0) >> 5];
  }
  // Classes 0x80 to 0xF8, in steps of 8.
  static constexpr int high[16] = {1, 2, 4, 5, 1, 2, 4, 5, 1, 2, 3, 5, 4, 6, 7, 0};
  int layout = high[(code & 0x78) >> 3];
  if (layout != 0) return layout;
  if (code < 0xFC) return 8 + static_cast<int>(code - 0xF8);  // 8, 9, A, B
  return 0xC;
}

// Layout 1: channel, par1, par2, par3, one byte each.
int q330_decode_DATABLK1(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 4) return -1;
  auto *blk = static_cast<Q330DATABLK1Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->par1 = be_take8(udppkt);
  blk->par2 = be_take8(udppkt);
  blk->par3 = be_take8(udppkt);
  return 0;
}

// Layout 2: channel 8, par1 8, par2 16.
int q330_decode_DATABLK2(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 4) return -1;
  auto *blk = static_cast<Q330DATABLK2Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->par1 = be_take8(udppkt);
  blk->par2 = be_take16(udppkt);
  return 0;
}

// Layout 3: channel 8, par1 8, par2 16, par3 16, par4 16.
int q330_decode_DATABLK3(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 8) return -1;
  auto *blk = static_cast<Q330DATABLK3Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->par1 = be_take8(udppkt);
  blk->par2 = be_take16(udppkt);
  blk->par3 = be_take16(udppkt);
  blk->par4 = be_take16(udppkt);
  return 0;
}

// Layout 4: channel 8, par1 8, par2 16, par3 32.
int q330_decode_DATABLK4(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 8) return -1;
  auto *blk = static_cast<Q330DATABLK4Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->par1 = be_take8(udppkt);
  blk->par2 = be_take16(udppkt);
  blk->par3 = be_take32(udppkt);
  return 0;
}

// Layout 5: channel 8, par1 8, par2 16, par3 32, par4 32.
int q330_decode_DATABLK5(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 12) return -1;
  auto *blk = static_cast<Q330DATABLK5Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->par1 = be_take8(udppkt);
  blk->par2 = be_take16(udppkt);
  blk->par3 = be_take32(udppkt);
  blk->par4 = be_take32(udppkt);
  return 0;
}

// Layout 8 (calibration start), 28 bytes: see the table in q330pkt.h.
int q330_decode_DATABLK8(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 28) return -1;
  auto *blk = static_cast<Q330DATABLK8Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->spare1 = be_take8(udppkt);
  blk->waveform = be_take16(udppkt);
  blk->amplitude = be_take16(udppkt);
  blk->duration = be_take16(udppkt);
  blk->calibration_bitmap = be_take16(udppkt);
  blk->monitor_bitmap = be_take16(udppkt);
  blk->frequency_divider = be_take16(udppkt);
  blk->spare2 = be_take16(udppkt);
  memcpy(blk->coupling_bytes, *udppkt, sizeof blk->coupling_bytes);
  *udppkt += sizeof blk->coupling_bytes;
  return 0;
}

// Layout 9 (calibration abort), 8 bytes.
int q330_decode_DATABLK9(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 8) return -1;
  auto *blk = static_cast<Q330DATABLK9Pkt *>(vpkt);
  blk->channel = be_take8(udppkt);
  blk->spare1 = be_take8(udppkt);
  blk->calibration_bitmap = be_take16(udppkt);
  blk->monitor_bitmap = be_take16(udppkt);
  blk->spare2 = be_take16(udppkt);
  return 0;
}

// Layout A (CNP data): 8 fixed bytes, then blockette_size - 8 data bytes.
int q330_decode_DATABLKA(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 8) return -1;
  unsigned char *p = *udppkt;
  unsigned int channel = be_take8(&p);
  unsigned int flags = be_take8(&p);
  unsigned int size = be_take16(&p);
  int data_bytes = variable_data(size, 8, nbytes);
  if (data_bytes < 0) return -1;
  auto *blk = static_cast<Q330DATABLKAPkt *>(vpkt);
  blk->channel = static_cast<uint8_t>(channel);
  blk->blockette_flags = static_cast<uint8_t>(flags);
  blk->blockette_size = static_cast<uint16_t>(size);
  blk->port_number = be_take8(&p);
  blk->unit_id = be_take8(&p);
  blk->status = be_take8(&p);
  blk->message_type = be_take8(&p);
  memcpy(blk->data, p, static_cast<size_t>(data_bytes));
  memset(blk->data + data_bytes, 0, sizeof blk->data - static_cast<size_t>(data_bytes));
  *udppkt = p + ((data_bytes + 3) & ~3);
  return 0;
}

// Layout B (configuration change): 4 fixed bytes, then blockette_size - 4 data bytes.
int q330_decode_DATABLKB(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 4) return -1;
  unsigned char *p = *udppkt;
  unsigned int channel = be_take8(&p);
  unsigned int type = be_take8(&p);
  unsigned int size = be_take16(&p);
  int data_bytes = variable_data(size, 4, nbytes);
  if (data_bytes < 0) return -1;
  auto *blk = static_cast<Q330DATABLKBPkt *>(vpkt);
  blk->channel = static_cast<uint8_t>(channel);
  blk->structure_type = static_cast<uint8_t>(type);
  blk->blockette_size = static_cast<uint16_t>(size);
  memcpy(blk->data, p, static_cast<size_t>(data_bytes));
  memset(blk->data + data_bytes, 0, sizeof blk->data - static_cast<size_t>(data_bytes));
  *udppkt = p + ((data_bytes + 3) & ~3);
  return 0;
}

// EP1: 8 bytes; the cursor steps by blockette_size & 0x3FF when that is above 8.
int q330_decode_DATABLKEP1(void *vpkt, unsigned char **udppkt, int nbytes) {
  if (nbytes < 8) return -1;
  unsigned char *p = *udppkt;
  unsigned int channel = be_take8(&p);
  unsigned int epchannel = be_take8(&p);
  unsigned int size = be_take16(&p);
  int value = static_cast<int>(be_take32(&p));
  int step = static_cast<int>(size & 0x3FF);
  if (step < 8) step = 8;
  if (step > nbytes) return -1;
  auto *blk = static_cast<Q330DATABLKEP1Pkt *>(vpkt);
  blk->channel = static_cast<uint8_t>(channel);
  blk->epchannel = static_cast<uint8_t>(epchannel);
  blk->blockette_size = static_cast<uint16_t>(size);
  blk->data = value;
  *udppkt += step;
  return 0;
}

int q330_decode_DATABLK6(void *vpkt, unsigned char **udppkt, int nbytes, unsigned int **data,
                         int *data_size_int) {
  Compressed c;
  if (decode_compressed("q330_decode_DATABLK6", &c, udppkt, nbytes, data, data_size_int) != 0)
    return -1;
  auto *blk = static_cast<Q330DATABLK6Pkt *>(vpkt);
  blk->channel = c.channel;
  blk->frequency = c.second;
  blk->blockette_size = c.blockette_size;
  blk->previous_sample = c.previous_sample;
  blk->size_of_cmap = c.size_of_cmap;
  blk->size_of_data = c.size_of_data;
  blk->data = c.data;
  return 0;
}

int q330_decode_DATABLKEP2(void *vpkt, unsigned char **udppkt, int nbytes, unsigned int **data,
                           int *data_size_int) {
  Compressed c;
  if (decode_compressed("q330_decode_DATABLKEP2", &c, udppkt, nbytes, data, data_size_int) != 0)
    return -1;
  auto *blk = static_cast<Q330DATABLKEP2Pkt *>(vpkt);
  blk->channel = c.channel;
  blk->epchannel = c.second;
  blk->blockette_size = c.blockette_size;
  blk->previous_sample = c.previous_sample;
  blk->size_of_cmap = c.size_of_cmap;
  blk->size_of_data = c.size_of_data;
  blk->data = c.data;
  return 0;
}

// Layout 7: 4 fixed bytes, then the raw segment payload up to the length in bits 0-9.
int q330_decode_DATABLK7(void *vpkt, unsigned char **udppkt, int nbytes, unsigned int **data,
                         int *data_size_int) {
  if (nbytes < 4) return -1;
  unsigned char *p = *udppkt;
  unsigned int channel = be_take8(&p);
  unsigned int frequency = be_take8(&p);
  unsigned int size = be_take16(&p);
  int length = static_cast<int>(size & 0x3FF);
  if (length < 4 || length > nbytes) return -1;
  int size_of_data = length - 4;
  int words = (size_of_data + 3) / 4;
  unsigned int *buf = take_words("q330_decode_DATABLK7", words, data, data_size_int);
  if (buf == nullptr) return -1;
  auto *bytes = reinterpret_cast<unsigned char *>(buf);
  memset(bytes, 0, static_cast<size_t>(words) * 4);
  memcpy(bytes, p, static_cast<size_t>(size_of_data));

  auto *blk = static_cast<Q330DATABLK7Pkt *>(vpkt);
  blk->channel = static_cast<uint8_t>(channel);
  blk->frequency = static_cast<uint8_t>(frequency);
  blk->blockette_size = static_cast<uint16_t>(size);
  blk->size_of_data = static_cast<uint16_t>(size_of_data);
  blk->data = buf;
  *udppkt += length;
  return 0;
}

int q330_nsamps(uint16_t size_of_data, uint16_t size_of_cmap, const unsigned int *dblkdata) {
  uint8_t codes[Q330_FRAME_DATA_MAX / 4];
  const unsigned char *words;
  int total;
  return read_map(size_of_data, size_of_cmap, dblkdata, codes, &words, &total) < 0 ? -1 : total;
}

// Data word forms (code, dnib: the differences, fields from the most significant end):
//   1, -: four 8-bit (bits 31-24 .. 7-0)   2, 1: one 30-bit (29-0)
//   2, 2: two 15-bit (29-15, 14-0)         2, 3: three 10-bit (29-20, 19-10, 9-0)
//   3, 0: five 6-bit (29-24 .. 5-0)        3, 1: six 5-bit (29-25 .. 4-0)
//   3, 2: seven 4-bit (27-24 .. 3-0)       0, -; 2, 0; 3, 3: none
int q330_convert_frame(uint16_t size_of_data, uint16_t size_of_cmap, const unsigned int *dblkdata,
                       int *data) {
  uint8_t codes[Q330_FRAME_DATA_MAX / 4];
  const unsigned char *words;
  int total;
  int nwords = read_map(size_of_data, size_of_cmap, dblkdata, codes, &words, &total);
  if (nwords < 0) return -1;
  // Each word writes all 7 lanes of its form without a branch on the form; only the first
  // kLanes[].count are differences, and the next word overwrites the rest. Near the end
  // only the differences themselves are written, so nothing lands past data[total - 1].
  int *out = data;
  int *end = data + total;
  int k = 0;
  for (; k < nwords && end - out >= 7; k++) {
    uint32_t w = be_get32(words + 4 * k);
    const Lanes &l = kLanes[codes[k] | (w >> 30)];
    for (int j = 0; j < 7; j++) out[j] = static_cast<int32_t>(w << l.left[j]) >> l.right[j];
    out += l.count;
  }
  for (; k < nwords; k++) {
    uint32_t w = be_get32(words + 4 * k);
    const Lanes &l = kLanes[codes[k] | (w >> 30)];
    for (int j = 0; j < l.count; j++) out[j] = static_cast<int32_t>(w << l.left[j]) >> l.right[j];
    out += l.count;
  }
  return static_cast<int>(out - data);
}
