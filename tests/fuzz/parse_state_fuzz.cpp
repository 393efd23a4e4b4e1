// Fuzzes parse_state: arbitrary text as the state file, read into a fixed set of three
// dataloggers. Every outcome must be a clean 0 or -1, and whatever was restored must be
// consistent: a file list exactly as long as its count, with terminated paths, sizes of
// zero or more and states 0 to 3; a terminated link name; at most six stream channels.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "kessaro.h"
#include "kessaro_state.h"

namespace {

Kessaro *program() {
  static Kessaro *k = [] {
    elog_set_sink([](const std::string &, void *) {}, nullptr);
    Kessaro *p = kessaro_new();
    for (const char *name : {"dlA", "dlB", "dl.C"}) {
      AltusDatalogger *dl = altusdatalogger_new();
      dl->target_name = strdup(name);
      setarr(p->dltargets_array, name, dl);
    }
    return p;
  }();
  return k;
}

void check(AltusDatalogger *dl) {
  if (dl->files_size < 0 || (dl->files_size > 0) != (dl->files != nullptr)) __builtin_trap();
  for (int i = 0; i < dl->files_size; i++) {
    const AltusDirTree &f = dl->files[i];
    if (memchr(f.pathname, '\0', sizeof f.pathname) == nullptr) __builtin_trap();
    if (f.size < 0 || f.processed < 0 || f.processed > 3) __builtin_trap();
  }
  if (memchr(dl->last_connected_modem, '\0', sizeof dl->last_connected_modem) == nullptr) {
    __builtin_trap();
  }
  if (dl->numStream > ALTUS_MAXSTREAM) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  Kessaro *k = program();
  static int fd = memfd_create("parse_state_fuzz", 0);
  if (fd < 0) return 0;
  if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != (ssize_t)size) return 0;
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  int rc = parse_state(const_cast<char *>(path.c_str()), k);
  if (rc != 0 && rc != -1) __builtin_trap();
  Tbl *dls = valsarr(k->dltargets_array);
  for (long i = 0; i < maxtbl(dls); i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    check(dl);
    free(dl->files);
    dl->files = nullptr;
    dl->files_size = 0;
  }
  freetbl(dls, nullptr);
  elog_clear_register(0);
  return 0;
}
