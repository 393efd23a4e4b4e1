// Fuzzes evt_parseparams with parameter-file text laid over a header in both layouts,
// and writes the result back as text: nothing may be written outside the header record,
// and every text field must stay terminated within its width.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "altusevtsubs.h"
#include "base/elog.h"
#include "base/pf.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  const int ismw = data[0] & 1;
  std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  Pf *pf = nullptr;
  if (pfcompile(text.c_str(), &pf) != 0) {
    elog_clear_register(0);
    return 0;
  }
  AltusEvtFile h;
  memset(&h, 0, sizeof h);
  h.headerBytes = static_cast<uint16_t>(altus_hdr_size(ismw));
  h.ro_misc.maxChannels = static_cast<uint16_t>(altus_hdr_nchan(ismw));
  char error[ALTUS_PARSEPARAMS_ERROR_SIZE];
  evt_parseparams(&h, ismw, pf, error);
  if (strnlen(error, sizeof error) == sizeof error) abort();
  if (h.rw_misc.stnID[5] != 0 || h.rw_misc.comment[33] != 0 || h.rw_misc.siteID[17] != 0 ||
      h.rw_modem.initCmd[64] != 0 || h.rw_modem.calloutMsg[46] != 0)
    abort();
  for (const auto &c : h.rw_channel) {
    if (c.id[5] != 0) abort();
  }
  for (const auto &pn : h.rw_modem.phoneNumber) {
    if (pn[24] != 0) abort();
  }
  char *out = params2pf(nullptr, &h, 1);
  if (out == nullptr) abort();
  free(out);
  pffree(pf);
  elog_clear_register(0);
  return 0;
}
