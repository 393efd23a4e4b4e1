// Fuzzes the compiled zone file reader: any bytes must be parsed or refused without
// fault, and a parsed zone must answer for any moment with an offset in the range the
// reader admits, and map local times back within that range.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/tzfile.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string bytes(reinterpret_cast<const char *>(data), size);
  std::shared_ptr<const Zone> z = tzfile_parse(bytes);
  if (!z) return 0;
  check(!z->types.empty());
  const int64_t moments[] = {
      INT64_C(-62167219200), -1, 0, 1, INT64_C(1700000000), INT64_C(4102444800),
      INT64_C(253402300799)};
  for (int64_t t : moments) {
    const ZoneType &type = tzfile_type_at(*z, t);
    check(type.utoff >= -26 * 3600 && type.utoff <= 26 * 3600);
    int64_t utc = tzfile_local_to_utc(*z, t);
    check(utc - t >= -26 * 3600 && utc - t <= 26 * 3600);
  }
  for (int64_t t : z->times) (void)tzfile_type_at(*z, t);
  return 0;
}
