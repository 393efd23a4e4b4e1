// Fuzzes the work of parse_pf after the file is read: arbitrary parameter-file text with
// the command-line orbtags "cmd" and "out". Every outcome must be a clean 0 or -1, and what
// was built must free without a fault. The point-of-contact sources are not read, so no
// ring is opened.
#include <cstddef>
#include <cstdint>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "kessaro.h"
#include "parse_pf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > 65536) return 0;
  std::string text(reinterpret_cast<const char *>(data), size);
  Pf *pf = nullptr;
  if (pfcompile(text.c_str(), &pf) != 0) {
    elog_clear_register(0);
    return 0;
  }
  static char cmdtag[] = "cmd", outtag[] = "out", ring[] = "/nonexistent/never-opened";
  Orbtag cmd{cmdtag, ring, nullptr, -1, -1, -1};
  Orbtag out{outtag, ring, nullptr, -1, -1, -1};
  Kessaro *k = kessaro_new();
  k->targetname = cmdtag;
  if (size > 0 && (data[0] & 1)) k->dbname = "db";
  setarr(k->orbtags_arr, "cmd", &cmd);
  setarr(k->orbtags_arr, "out", &out);
  int rc = parse_pf_tree(pf, k);
  if (rc != 0 && rc != -1) __builtin_trap();
  parse_pf_release(k);
  elog_clear_register(0);
  return 0;
}
