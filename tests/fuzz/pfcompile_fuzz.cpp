// pfcompile_fuzz - parameter-file text: pfcompile, then pf2string, then pfcompile again
// must give the same text, and refused text must be refused cleanly.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/elog.h"
#include "base/pf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // pfcompile takes a C text: the input ends at its first NUL.
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  Pf *first = nullptr;
  if (pfcompile(text.c_str(), &first) != 0) {
    if (first != nullptr) abort();
    elog_clear_register(0);
    return 0;
  }
  char *s1 = pf2string(first);
  if (s1 == nullptr) {
    fprintf(stderr, "pf2string refused a tree that pfcompile made\n");
    abort();
  }
  Pf *second = nullptr;
  if (pfcompile(s1, &second) != 0) {
    fprintf(stderr, "pfcompile refused its own text:\n%s\n", s1);
    abort();
  }
  char *s2 = pf2string(second);
  if (s2 == nullptr || strcmp(s1, s2) != 0) {
    fprintf(stderr, "texts differ:\n%s\n---\n%s\n", s1, s2 != nullptr ? s2 : "(none)");
    abort();
  }
  free(s1);
  free(s2);
  pffree(first);
  pffree(second);
  elog_clear_register(0);
  return 0;
}
