// q330sim_frames.cpp - the simulator's frame compressor.
#include "q330sim_frames.h"

#include <cstddef>
#include <utility>

namespace {

struct Form {
  int code;
  int dnib;
  int count;  // differences per word
  int width;  // bits per difference
};

// Most differences per word first, so the first form that fits is the narrowest.
constexpr Form kForms[] = {
    {3, 2, 7, 4},  {3, 1, 6, 5},  {3, 0, 5, 6},  {1, 0, 4, 8},
    {2, 3, 3, 10}, {2, 2, 2, 15}, {2, 1, 1, 30},
};

const Form *find_form(int code, int dnib) {
  for (const Form &f : kForms) {
    if (f.code == code && (code == 1 || f.dnib == dnib)) return &f;
  }
  return nullptr;
}

bool fits(int64_t d, int width) {
  int64_t lim = int64_t{1} << (width - 1);
  return d >= -lim && d < lim;
}

// The word of form f holding d[0] .. d[f.count - 1], the first in the top field.
uint32_t word_of(const Form &f, const int64_t *d) {
  uint32_t w = f.code == 1 ? 0 : static_cast<uint32_t>(f.dnib) << 30;
  uint32_t mask = f.width == 32 ? 0xFFFFFFFFu : (uint32_t{1} << f.width) - 1;
  for (int i = 0; i < f.count; i++) {
    int shift = (f.count - 1 - i) * f.width;
    w |= (static_cast<uint32_t>(d[i]) & mask) << shift;
  }
  return w;
}

void put_be(std::vector<uint8_t> *out, uint32_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; i--) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

int q330sim_frames_per_word(const Q330SimWidth &width) {
  const Form *f = find_form(width.code, width.dnib);
  return f == nullptr ? 0 : f->count;
}

int q330sim_frames_pack(const int *samples, int nsamples, int previous, const Q330SimWidth &width,
                        std::vector<uint8_t> *map, std::vector<uint8_t> *words) {
  map->clear();
  words->clear();
  if (nsamples < 0) return -1;
  std::vector<int64_t> diffs(static_cast<size_t>(nsamples));
  int64_t before = previous;
  for (int i = 0; i < nsamples; i++) {
    diffs[static_cast<size_t>(i)] = int64_t{samples[i]} - before;
    before = samples[i];
  }
  const Form *forced = nullptr;
  if (width.code != 0) {
    forced = find_form(width.code, width.dnib);
    if (forced == nullptr || nsamples % forced->count != 0) return -1;
  }

  std::vector<int> codes;
  for (int i = 0; i < nsamples;) {
    const Form *use = nullptr;
    for (const Form &f : kForms) {
      if (forced != nullptr && &f != forced) continue;
      if (i + f.count > nsamples) continue;
      bool ok = true;
      for (int k = 0; k < f.count && ok; k++) ok = fits(diffs[static_cast<size_t>(i + k)], f.width);
      if (ok) {
        use = &f;
        break;
      }
    }
    if (use == nullptr) return -1;
    put_be(words, word_of(*use, &diffs[static_cast<size_t>(i)]), 4);
    codes.push_back(use->code);
    i += use->count;
  }

  for (size_t j = 0; j < codes.size(); j += 16) {
    uint32_t m = 0;
    for (size_t k = 0; k < 16 && j + k < codes.size(); k++) {
      m |= static_cast<uint32_t>(codes[j + k]) << (30 - 2 * k);
    }
    put_be(map, m, 4);
  }
  return 0;
}

int q330sim_frames_blk6(int channel, int stream, const int *samples, int nsamples, int previous,
                        const Q330SimWidth &width, std::vector<uint8_t> *out) {
  std::vector<uint8_t> map, words;
  if (q330sim_frames_pack(samples, nsamples, previous, width, &map, &words) != 0) return -1;
  size_t length = 10 + map.size() + words.size();
  if (length > 1023) return -1;
  out->clear();
  out->push_back(static_cast<uint8_t>(0xE8 | (channel & 7)));
  out->push_back(static_cast<uint8_t>(stream & 7));
  put_be(out, static_cast<uint32_t>(length), 2);
  put_be(out, static_cast<uint32_t>(previous), 4);
  put_be(out, static_cast<uint32_t>(10 + map.size()), 2);
  out->insert(out->end(), map.begin(), map.end());
  out->insert(out->end(), words.begin(), words.end());
  return 0;
}

int q330sim_frames_blk7(int channel, int stream, const int *samples, int nsamples, int previous,
                        const Q330SimWidth &width, int max_size,
                        std::vector<std::vector<uint8_t>> *out) {
  out->clear();
  if (max_size < 8 || max_size > 1023) return -1;
  std::vector<uint8_t> map, words;
  if (q330sim_frames_pack(samples, nsamples, previous, width, &map, &words) != 0) return -1;
  if (words.size() > 4000) return -1;

  size_t room = static_cast<size_t>(max_size - 4);
  size_t head = 6 + map.size();
  if (head > room) return -1;
  size_t per_segment = room / 4 * 4;
  size_t first_data = (room - head) / 4 * 4;

  size_t done = 0;
  int segment = 0;
  do {
    if (segment > 31) {
      out->clear();
      return -1;
    }
    std::vector<uint8_t> payload;
    size_t take;
    if (segment == 0) {
      put_be(&payload, static_cast<uint32_t>(previous), 4);
      put_be(&payload, static_cast<uint32_t>(10 + map.size()), 2);
      payload.insert(payload.end(), map.begin(), map.end());
      take = first_data;
    } else {
      take = per_segment;
    }
    if (take > words.size() - done) take = words.size() - done;
    payload.insert(payload.end(), words.begin() + static_cast<std::ptrdiff_t>(done),
                   words.begin() + static_cast<std::ptrdiff_t>(done + take));
    done += take;
    bool last = done == words.size();

    std::vector<uint8_t> seg;
    seg.push_back(static_cast<uint8_t>(0xF0 | (channel & 7)));
    seg.push_back(static_cast<uint8_t>((stream & 7) | (segment << 3)));
    put_be(&seg, static_cast<uint32_t>(4 + payload.size()) | (last ? 0x8000u : 0u), 2);
    seg.insert(seg.end(), payload.begin(), payload.end());
    out->push_back(std::move(seg));
    segment++;
    if (last) break;
  } while (true);
  return 0;
}
