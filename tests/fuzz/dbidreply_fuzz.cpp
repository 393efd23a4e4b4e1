// dbidreply_fuzz - replies of an id server: any bytes, at most the 32 read at once, give
// an id or a refusal; an id given is the number the reply starts with.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "reldb/dbedit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 32) size = 32;
  const char *reply = reinterpret_cast<const char *>(data);
  int id = 12345;
  if (dbidserver_reply(reply, (int)size, &id) == 0) {
    // The same number read back from a text copy.
    std::string text(reply, size);
    long again = strtol(text.c_str(), nullptr, 10);
    if (again != id) abort();
  } else if (id != 12345) {
    abort();
  }
  return 0;
}
