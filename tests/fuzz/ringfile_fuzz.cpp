// ringfile_fuzz.cpp - opening and reading damaged ring files.
//
// The first input byte chooses what the rest becomes:
//   0 (and anything above 3): the whole ring file;
//   1: (offset, value) byte pairs patched into the static header of a valid small ring,
//      whose checksum is then made right again, so that the layout checks are reached;
//   2: (offset high, offset low, value) triples patched anywhere after the lock of a
//      valid ring: live counters, index slots, records;
//   3: an offset (two bytes) and bytes copied over a valid ring from there.
// The file is then opened, read from the oldest packet to the end with orbreap_nd, read
// with orbget, orbstat and orbsources, positioned with orbafter, and written to once
// (which evicts through whatever the index holds). Nothing may crash or read outside the
// file; errors are expected.
//
// The lock is never fuzzed: a mutex is a native object whose damage no reader can detect,
// so every image gets the intact, unlocked mutex of the valid ring.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "base/elog.h"
#include "ring/orb.h"
#include "ring/ringfile.h"

namespace {

constexpr int64_t kCapacity = 16384;

struct Setup {
  std::string dir;
  std::string path;
  std::string valid;  // a small ring whose data has wrapped, with several sources
};

void discard(const std::string &, void *) {}

std::string read_all(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

const Setup &setup() {
  static const Setup s = [] {
    Setup s;
    elog_set_sink(discard, nullptr);
    const char *tmp = getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/ringfuzz-XXXXXX";
    if (!mkdtemp(tmpl.data())) abort();
    s.dir = tmpl;
    s.path = s.dir + "/fuzz.ring";
    std::string made = s.dir + "/valid.ring";
    if (orbcreate(made.c_str(), kCapacity) < 0) abort();
    int orb = orbopen(made.c_str(), "w");
    if (orb < 0) abort();
    const char *sources[] = {"AA_STA/log", "AA_STA/pf/st", "BB_X/MGENC/raw"};
    for (int i = 0; i < 120; i++) {
      std::string body((size_t)(20 + 53 * (i % 9)), (char)('a' + i % 26));
      orbput(orb, sources[i % 3], 1.5e9 + i, body.data(), (int)body.size());
    }
    orbclose(orb);
    s.valid = read_all(made);
    unlink(made.c_str());
    atexit([] {
      unlink(setup().path.c_str());
      rmdir(setup().dir.c_str());
    });
    return s;
  }();
  return s;
}

void write_file(const std::string &path, const std::string &bytes) {
  unlink(path.c_str());
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) abort();
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

void fix_crc(std::string *image) {
  uint32_t crc = ringfile::crc32(image->data(), 124);
  for (int i = 0; i < 4; i++) (*image)[124 + (size_t)i] = (char)(crc >> (8 * i));
}

std::string make_image(const uint8_t *data, size_t size) {
  const Setup &s = setup();
  uint8_t mode = size ? data[0] : 0;
  if (size) {
    data++;
    size--;
  }
  std::string image = s.valid;
  const size_t lock_end = ringfile::kLiveOffset + sizeof(pthread_mutex_t);
  switch (mode) {
    case 1:
      for (size_t i = 0; i + 1 < size; i += 2) image[data[i] % 124] = (char)data[i + 1];
      fix_crc(&image);
      break;
    case 2:
      for (size_t i = 0; i + 2 < size; i += 3) {
        size_t off = lock_end + ((size_t)data[i] << 8 | data[i + 1]) % (image.size() - lock_end);
        image[off] = (char)data[i + 2];
      }
      break;
    case 3:
      if (size >= 2) {
        size_t off = ((size_t)data[0] << 8 | data[1]) % image.size();
        for (size_t i = 2; i < size && off < image.size(); i++, off++) {
          if (off < ringfile::kLiveOffset || off >= lock_end) image[off] = (char)data[i];
        }
      }
      break;
    default:
      image.assign(reinterpret_cast<const char *>(data), size);
      break;
  }
  // Whatever the mode, the lock is the valid ring's.
  if (image.size() >= lock_end)
    memcpy(&image[ringfile::kLiveOffset], &s.valid[ringfile::kLiveOffset], sizeof(pthread_mutex_t));
  return image;
}

void read_everything(int orb) {
  int pktid, nbytes, bufsize = 0;
  double time;
  char srcname[ORBSRCNAME_SIZE];
  char *packet = nullptr;
  orbseek(orb, ORBOLDEST);
  for (int i = 0; i < 5000; i++) {
    int rc = orbreap_nd(orb, &pktid, srcname, &time, &packet, &nbytes, &bufsize);
    if (rc == -2) break;
    if (rc == 0 && (nbytes < 0 || (nbytes > 0 && bufsize < nbytes) || strlen(srcname) > 63))
      abort();
  }
  orbget(orb, ORBOLDEST, &pktid, srcname, &time, &packet, &nbytes, &bufsize);
  orbget(orb, ORBNEWEST, &pktid, srcname, &time, &packet, &nbytes, &bufsize);
  orbget(orb, 7, &pktid, srcname, &time, &packet, &nbytes, &bufsize);
  free(packet);
  Orbstat st;
  orbstat(orb, &st);
  Orbsrc *sources = nullptr;
  int n = 0;
  if (orbsources(orb, &sources, &n) == 0) free(sources);
  orbafter(orb, 1.5e9 + 60);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const Setup &s = setup();
  write_file(s.path, make_image(data, size));
  int orb = orbopen(s.path.c_str(), "w");
  if (orb >= 0) {
    read_everything(orb);
    std::string body(300, 'p');
    orbput(orb, "ZZ/log", 2e9, body.data(), (int)body.size());
    read_everything(orb);
    orbclose(orb);
  }
  elog_clear_register(0);
  return 0;
}
