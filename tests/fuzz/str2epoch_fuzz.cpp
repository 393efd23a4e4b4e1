// Fuzzes the time-text reader and writer: any input must be read or refused without
// fault, and a finite time that was read must come back from each written form.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/elog.h"
#include "base/timetext.h"

namespace {

void check(bool ok) {
  if (!ok) abort();
}

// Writes e in format and reads it back; the result must be within `slack` of e (plus the
// rounding of a double of that size).
void round_trip(double e, const char *format, double slack) {
  char *text = epoch2str(e, format);
  check(text != nullptr);
  double back = 0;
  check(zstr2epoch(text, &back) == 0);
  check(std::fabs(back - e) <= slack + std::fabs(e) * 4e-16);
  // Without a zone the same text reads the same through str2epoch and with "UTC".
  check(str2epoch(text) == back);
  char *utc = zepoch2str(e, format, "UTC");
  check(utc != nullptr && std::string(utc) == text);
  free(utc);
  free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string text(reinterpret_cast<const char *>(data), size);
  double e = 0;
  const int rc = zstr2epoch(text.c_str(), &e);
  (void)str2epoch(text.c_str());
  if (rc == 0 && std::isfinite(e)) {
    round_trip(e, "%Y%j %H:%M:%S.%s", 0.0005);
    round_trip(e, "%Y-%m-%dT%H:%M:%S.%s", 0.0005);
    round_trip(e, "%m/%d/%Y (%j) %H:%M:%S.%s", 0.0005);
    round_trip(e, "%Y%j:%T", 1.0);
    char *s = strtime(e);
    double back = 0;
    check(zstr2epoch(s, &back) == 0 && std::fabs(back - e) <= 0.0005 + std::fabs(e) * 4e-16);
    free(s);
    const int yd = yearday(e);
    if (yd != -1) {
      check(epoch(yd) <= e && e < epoch(yd) + 86400.0);
      int year, doy, hour, minute;
      double second;
      check(e2h(e, &year, &doy, &hour, &minute, &second) == 0);
      check(year * 1000 + doy == yd && second >= 0.0 && second < 60.0);
      int month, mday;
      check(doy2mday(doy, year, &month, &mday) == 0 && mday2doy(year, month, mday) == doy);
    }
  }
  // The input as a format and as a zone name.
  free(epoch2str(rc == 0 ? e : 1105315200.5, text.c_str()));
  free(zepoch2str(1105315200.5, "%F %T %Z %z", text.c_str()));
  free(strtdelta(rc == 0 ? e : (double)size));
  elog_clear_register(0);
  return 0;
}
