// calendar.h - calendar arithmetic of the proleptic Gregorian calendar on day counts
// from 1970-01-01 in 64-bit integers, shared by the time texts and the zone files.
// Constant expressions only; no state.
#pragma once

#include <cstdint>

namespace calendar {

constexpr int64_t kSecPerDay = 86400;

constexpr int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}
constexpr int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

constexpr bool is_leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

constexpr int days_in_month(int64_t y, int m) {
  constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && is_leap(y)) ? 29 : kDays[m - 1];
}

constexpr int days_in_year(int64_t y) { return is_leap(y) ? 366 : 365; }

// Days from 1970-01-01 to the date y-m-d (m 1-12, d from 1). Valid for any year whose
// day count fits in 64 bits, far beyond the int years passed here.
constexpr int64_t days_from_civil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = floor_div(y, 400);
  const int64_t yoe = y - era * 400;                                   // 0-399
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;  // 0-365
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;           // 0-146096
  return era * 146097 + doe - 719468;
}

struct Civil {
  int64_t year;
  int month;  // 1-12
  int mday;   // 1-31
};

constexpr Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = floor_div(z, 146097);
  const int64_t doe = z - era * 146097;                                       // 0-146096
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;  // 0-399
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // 0-365
  const int64_t mp = (5 * doy + 2) / 153;                                     // 0-11
  const int d = (int)(doy - (153 * mp + 2) / 5 + 1);
  const int m = (int)(mp < 10 ? mp + 3 : mp - 9);
  return Civil{yoe + era * 400 + (m <= 2), m, d};
}

// 0 Sunday ... 6 Saturday; 1970-01-01 was a Thursday.
constexpr int weekday_of(int64_t days) { return (int)floor_mod(days + 4, 7); }

}  // namespace calendar
