// q330sim_frames.h - the simulator's frame compressor: turns samples into the compressed
// data blockettes a Q330 sends (layout 6, or layout-7 segments of one split block).
//
// Written from the difference table alone, apart from the client's frame reader, so that a
// misreading cannot be shared by both. A block is a code map and data words:
//   - each data word carries differences (sample minus the sample before) in one form:
//       code 1          four 8-bit fields (the whole word)
//       code 2, dnib 1  one 30-bit field      code 3, dnib 0  five 6-bit fields
//       code 2, dnib 2  two 15-bit fields     code 3, dnib 1  six 5-bit fields
//       code 2, dnib 3  three 10-bit fields   code 3, dnib 2  seven 4-bit fields
//     the dnib in bits 31-30 (codes 2 and 3), the fields right-aligned below it, the first
//     difference in the most significant field;
//   - the codes sit in a separate map of 32-bit words, 16 codes a word, the code of the
//     first data word in the top two bits; the map has 4 bytes per 16 data words, rounded
//     up. Everything is big-endian.
// A layout-6 blockette is: channel code 0xE8 | channel, stream, blockette_size (16 bits,
// the length), previous sample (signed 32), data offset (16, = 10 + map bytes), map, data.
// Layout-7 segments carry that blockette from its byte 4 on: channel code 0xF0 | channel,
// stream | segment << 3, length (| 0x8000 on the last segment), payload; the first payload
// holds previous sample, data offset, the map and whole data words, later ones data words.
//
// Stateless; every function is reentrant.
#pragma once

#include <cstdint>
#include <vector>

// Width policy: code 0 packs each word in the narrowest form that fits the differences
// ahead; code 1, 2 or 3 (with its dnib) forces that one form for every word.
struct Q330SimWidth {
  int code = 0;
  int dnib = 0;
};

// Differences a forced form carries per word, or 0 for a form that carries none.
int q330sim_frames_per_word(const Q330SimWidth &width);

// Packs the differences of `nsamples` samples after `previous` into the map (`map`, whole
// map words) and the data words (`words`), both as wire bytes. -1 when a difference does
// not fit 30 bits, or under a forced form when one does not fit the form or the count is
// not a whole number of words (or the form carries no differences).
int q330sim_frames_pack(const int *samples, int nsamples, int previous, const Q330SimWidth &width,
                        std::vector<uint8_t> *map, std::vector<uint8_t> *words);

// One layout-6 blockette in `out`. -1 as q330sim_frames_pack, or when it would be longer
// than 1023 bytes.
int q330sim_frames_blk6(int channel, int stream, const int *samples, int nsamples, int previous,
                        const Q330SimWidth &width, std::vector<uint8_t> *out);

// The block as layout-7 segments of at most `max_size` bytes each (8 to 1023), in `out`.
// -1 as q330sim_frames_pack, when the block has more than 4000 data bytes, when the first
// segment cannot hold the previous sample, data offset and map, or when more than 32
// segments are needed.
int q330sim_frames_blk7(int channel, int stream, const int *samples, int nsamples, int previous,
                        const Q330SimWidth &width, int max_size,
                        std::vector<std::vector<uint8_t>> *out);
