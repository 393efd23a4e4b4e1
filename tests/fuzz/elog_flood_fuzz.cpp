// Fuzzes the flood gate's reading of message texts: any text must fold to a shape of at
// most ELOG_FLOOD_SHAPE_MAX bytes, escape to a text without control characters (with
// `all`), and pass a gate whose counts lose nothing.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/elog.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  std::string shape = elog_flood_shape(text.c_str());
  check(shape.size() <= ELOG_FLOOD_SHAPE_MAX);
  std::string escaped = elog_escape(text, true);
  for (char c : escaped) check((unsigned char)c >= 0x20 && c != 0x7f);
  // Each line of the input a message, all from one source within one minute.
  static ElogFlood *gate = elog_flood_new(ELOG_FLOOD_BURST, ELOG_FLOOD_WINDOW, 64, 8);
  std::vector<ElogFloodRepeat> due;
  int passed = 0, messages = 0;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    passed += elog_flood_pass(gate, "dl", text.substr(start, end - start).c_str(), 1000.0, &due);
    messages++;
    start = end + 1;
  }
  elog_flood_due(gate, 1e9, 1, &due);
  long counted = 0;
  for (const ElogFloodRepeat &r : due) counted += r.count;
  check(passed + counted == messages);
  check(passed <= 8);
  elog_flood_reset_all();
  return 0;
}
