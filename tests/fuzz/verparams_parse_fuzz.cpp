// Fuzzes the console's version-report parser with arbitrary text: every field must stay
// terminated within its 32 bytes, hold only the characters its rule takes, and the flags
// must agree with what was recognised.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "altuscomsubs_console.h"

namespace {

void check_field(const char (&f)[32], const char *allowed_extra, bool letters) {
  size_t n = strnlen(f, sizeof f);
  if (n >= sizeof f) abort();
  for (size_t i = 0; i < n; i++) {
    unsigned char c = (unsigned char)f[i];
    bool ok = isdigit(c) || (letters && isalpha(c)) || strchr(allowed_extra, c) != nullptr;
    if (!ok) abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  VerParams vp;
  memset(&vp, 0x55, sizeof vp);
  int rc = verparams_parse(text.c_str(), &vp);
  check_field(vp.model, " .", true);
  check_field(vp.codever, ".", false);
  check_field(vp.codedate, " ,.", true);
  check_field(vp.sysblockver, ".", false);
  check_field(vp.bootblockver, ".", false);
  size_t m = strlen(vp.model);
  if (m > 0 && (vp.model[0] == ' ' || vp.model[m - 1] == ' ')) abort();
  if (rc == -1 && (m != 0 || vp.isrock != -1 || vp.isbeta != -1 || vp.codever[0] != 0)) abort();
  if (rc == 0 && vp.isrock != 0 && vp.isrock != 1) abort();
  if (rc == 0 && vp.isbeta != 0 && vp.isbeta != 1) abort();
  if (vp.isrock == 1 && (vp.sysblockver[0] != 0 || vp.bootblockver[0] != 0)) abort();
  const char *canonical = verparams_model(vp.model);
  if (canonical != nullptr && strlen(canonical) > 31) abort();
  return 0;
}
