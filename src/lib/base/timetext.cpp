// timetext.cpp - time texts and calendar arithmetic (see timetext.h for the forms).
//
// Days are counted from 1970-01-01 in 64-bit integers with the proleptic Gregorian
// calendar; times are split into whole seconds (or milliseconds) in 64-bit integers
// before any field is taken, so rounding carries through minute, hour, day and year at
// once. Zones come from base/tzfile; nothing reads or sets TZ.
#include "base/timetext.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/calendar.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tzfile.h"

namespace {

using namespace calendar;

// ---------------------------------------------------------------------------------------
// Calendar range

// The calendar range in which texts are written and read: years 0000 to 9999.
constexpr int64_t kFirstDay = days_from_civil(0, 1, 1);
constexpr int64_t kEndDay = days_from_civil(10000, 1, 1);
constexpr int64_t kFirstSec = kFirstDay * kSecPerDay;
constexpr int64_t kEndSec = kEndDay * kSecPerDay;

static_assert(days_from_civil(1970, 1, 1) == 0);
static_assert(days_from_civil(2000, 1, 1) == 10957);
static_assert(civil_from_days(-1).year == 1969 && civil_from_days(-1).mday == 31);

// Broken-down time of whole seconds since 1970 (any zone).
struct Fields {
  int64_t days;  // days since 1970-01-01
  int year;
  int month, mday, doy, hour, minute, second, wday;
};

Fields split_seconds(int64_t secs) {
  Fields f{};
  f.days = floor_div(secs, kSecPerDay);
  const int64_t sod = secs - f.days * kSecPerDay;
  const Civil c = civil_from_days(f.days);
  f.year = (int)c.year;
  f.month = c.month;
  f.mday = c.mday;
  f.doy = (int)(f.days - days_from_civil(c.year, 1, 1)) + 1;
  f.hour = (int)(sod / 3600);
  f.minute = (int)(sod / 60 % 60);
  f.second = (int)(sod % 60);
  f.wday = weekday_of(f.days);
  return f;
}

// Whole seconds of floor(e) when e is finite and within the calendar range.
std::optional<int64_t> seconds_in_range(double e) {
  if (!std::isfinite(e)) return std::nullopt;
  const double f = std::floor(e);
  if (f < (double)kFirstSec || f >= (double)kEndSec) return std::nullopt;
  return (int64_t)f;
}

// ---------------------------------------------------------------------------------------
// Number texts, independent of the locale

std::string fmt_double(double v, std::chars_format how, int precision) {
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, v, how, precision);
  if (r.ec != std::errc()) return "nan";
  return std::string(buf, r.ptr);
}

char *heap_copy(const std::string &s) {
  char *p = (char *)malloc(s.size() + 1);
  if (!p) OUT_OF_MEMORY(s.size() + 1, "time text");
  memcpy(p, s.data(), s.size() + 1);
  return p;
}

// ---------------------------------------------------------------------------------------
// Reading texts

struct ParsedTime {
  bool is_number = false;
  double number = 0.0;    // a plain number
  int64_t local_sec = 0;  // whole seconds of the date and time
  double frac = 0.0;      // seconds fraction (0 <= frac < 2 with a leap second)
  std::string_view zone;  // empty when none
};

class TextParser {
 public:
  explicit TextParser(std::string_view s) : s_(s) {}

  bool parse(ParsedTime &out, bool allow_zone) {
    skip_space();
    const size_t start = i_;
    bool date_ok;
    if (try_date(out, date_ok)) {
      if (!date_ok) return false;
    } else {
      i_ = start;
      if (!number(out)) return false;
    }
    // What may follow: white space, then a zone name when allowed.
    const size_t before_space = i_;
    skip_space();
    if (at_end()) return true;
    if (!allow_zone || i_ == before_space || utc_suffix_) return false;
    const size_t zstart = i_;
    while (!at_end() && !space(s_[i_])) ++i_;
    out.zone = s_.substr(zstart, i_ - zstart);
    skip_space();
    return at_end() && alpha(out.zone[0]);
  }

 private:
  static bool space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }
  static bool alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
  bool at_end() const { return i_ >= s_.size(); }
  char peek(size_t ahead = 0) const { return i_ + ahead < s_.size() ? s_[i_ + ahead] : '\0'; }
  void skip_space() {
    while (!at_end() && space(s_[i_])) ++i_;
  }
  bool take(char c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  // A run of digits of min to max length; fails (without consuming) otherwise.
  bool digits(int &v, size_t min, size_t max) {
    size_t n = 0;
    while (digit(peek(n))) ++n;
    if (n < min || n > max) return false;
    v = 0;
    for (size_t k = 0; k < n; ++k) v = v * 10 + (s_[i_ + k] - '0');
    i_ += n;
    return true;
  }
  size_t run_of_digits() const {
    size_t n = 0;
    while (digit(peek(n))) ++n;
    return n;
  }

  // Recognises a date form by its first separator. Returns false when the text is not a
  // date form at all (it may be a number); otherwise ok tells whether it was valid.
  bool try_date(ParsedTime &out, bool &ok) {
    ok = false;
    const size_t n = run_of_digits();
    const char sep = peek(n);
    int64_t days;
    if (n >= 1 && n <= 2 && sep == '/') {
      int mo, d, y;
      if (!digits(mo, 1, 2) || !take('/') || !digits(d, 1, 2) || !take('/') || !digits(y, 4, 4))
        return true;
      if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo)) return true;
      days = days_from_civil(y, mo, d);
      // Optional day of the year in parentheses, which must agree.
      const size_t save = i_;
      skip_space();
      if (take('(')) {
        int doy;
        if (!digits(doy, 1, 3) || !take(')')) return true;
        if (days - days_from_civil(y, 1, 1) + 1 != doy) return true;
      } else {
        i_ = save;
      }
      ok = optional_time(out, days, false);
      return true;
    }
    if (n == 4 && sep == '-') {
      int y, mo, d;
      if (!digits(y, 4, 4) || !take('-') || !digits(mo, 1, 2) || !take('-') || !digits(d, 1, 2))
        return true;
      if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, mo)) return true;
      days = days_from_civil(y, mo, d);
      ok = optional_time(out, days, true);
      return true;
    }
    if (n == 7 && (sep == '\0' || sep == ':' || space(sep))) {
      int yd;
      if (!digits(yd, 7, 7)) return true;
      const int y = yd / 1000, doy = yd % 1000;
      if (doy < 1 || doy > days_in_year(y)) return true;
      days = days_from_civil(y, 1, 1) + doy - 1;
      if (take(':')) {
        ok = time_of_day(out, days);
        return true;
      }
      ok = optional_time(out, days, false);
      return true;
    }
    return false;
  }

  // After a date: nothing, white space and a time, or (ISO) "T" and a time.
  bool optional_time(ParsedTime &out, int64_t days, bool iso) {
    if (iso && take('T')) {
      if (!time_of_day(out, days)) return false;
      if (take('Z')) utc_suffix_ = true;
      return true;
    }
    const size_t save = i_;
    skip_space();
    if (i_ > save && digit(peek())) {
      if (!time_of_day(out, days)) return false;
      if (iso && take('Z')) utc_suffix_ = true;
      return true;
    }
    i_ = save;
    out.local_sec = days * kSecPerDay;
    out.frac = 0.0;
    return true;
  }

  // h:m[:s[.f]]
  bool time_of_day(ParsedTime &out, int64_t days) {
    int h, m, sec = 0;
    double frac = 0.0;
    if (!digits(h, 1, 2) || !take(':') || !digits(m, 1, 2)) return false;
    if (h > 23 || m > 59) return false;
    if (take(':')) {
      if (!digits(sec, 1, 2) || sec > 60) return false;
      if (peek() == '.') {
        const size_t start = i_;  // parse ".ddd" as "0.ddd"
        ++i_;
        const size_t n = run_of_digits();
        if (n == 0) return false;
        i_ += n;
        std::string text = "0";
        text.append(s_.substr(start, n + 1));
        auto r = std::from_chars(text.data(), text.data() + text.size(), frac);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return false;
      }
    }
    out.local_sec = days * kSecPerDay + h * 3600 + m * 60 + sec;
    out.frac = frac;
    return true;
  }

  // [+-](digits[.digits]|.digits)[(e|E)[+-]digits], finite.
  bool number(ParsedTime &out) {
    bool negative = false;
    if (take('-'))
      negative = true;
    else
      take('+');
    const size_t body = i_;
    const size_t whole = run_of_digits();
    i_ += whole;
    size_t fraction = 0;
    if (take('.')) {
      fraction = run_of_digits();
      i_ += fraction;
    }
    if (whole + fraction == 0) return false;
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (peek() == '+' || peek() == '-') ++i_;
      const size_t ex = run_of_digits();
      if (ex == 0) return false;
      i_ += ex;
    }
    if (!at_end() && !space(peek())) return false;
    double v;
    auto r = std::from_chars(s_.data() + body, s_.data() + i_, v);
    if (r.ec != std::errc() || r.ptr != s_.data() + i_ || !std::isfinite(v)) return false;
    out.is_number = true;
    out.number = negative ? -v : v;
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
  bool utc_suffix_ = false;
};

// Reads a time text; returns false on any failure.
bool read_time(const char *text, bool allow_zone, double &result) {
  if (!text) return false;
  ParsedTime p;
  TextParser parser{std::string_view(text)};
  if (!parser.parse(p, allow_zone)) return false;
  std::shared_ptr<const Zone> zone;
  if (!p.zone.empty()) {
    zone = tzfile_find(p.zone);
    if (!zone) return false;
  }
  if (p.is_number) {
    // A plain number is already UTC; only a UTC zone may follow it.
    if (zone && !(zone->times.empty() && !zone->rule && zone->types[0].utoff == 0)) return false;
    result = p.number;
    return true;
  }
  int64_t utc = p.local_sec;
  if (zone) utc = tzfile_local_to_utc(*zone, p.local_sec);
  result = (double)utc + p.frac;
  return true;
}

// ---------------------------------------------------------------------------------------
// Writing texts

bool format_has_millis(const char *format) {
  for (const char *p = format; *p; ++p) {
    if (*p != '%') continue;
    if (p[1] == 's') return true;
    if (p[1] == '\0') break;
    ++p;
  }
  return false;
}

void put_num(std::string &out, int64_t v, int width, char pad = '0') {
  char buf[32];
  int n = snprintf(buf, sizeof buf, "%lld", (long long)(v < 0 ? -v : v));
  if (v < 0) out += '-';
  for (int k = n; k < width; ++k) out += pad;
  out.append(buf, (size_t)n);
}

const char *const kMonthNames[12] = {"January",   "February", "March",    "April",
                                     "May",       "June",     "July",     "August",
                                     "September", "October",  "November", "December"};
const char *const kDayNames[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                  "Thursday", "Friday", "Saturday"};

std::string render(const char *format, const Fields &f, int millis, const ZoneType &zt) {
  std::string out;
  for (const char *p = format; *p; ++p) {
    if (*p != '%' || p[1] == '\0') {
      out += *p;
      continue;
    }
    const char c = *++p;
    switch (c) {
      case 'Y':
        put_num(out, f.year, 4);
        break;
      case 'y':
        put_num(out, f.year % 100, 2);
        break;
      case 'C':
        put_num(out, f.year / 100, 2);
        break;
      case 'm':
        put_num(out, f.month, 2);
        break;
      case 'd':
        put_num(out, f.mday, 2);
        break;
      case 'e':
        put_num(out, f.mday, 2, ' ');
        break;
      case 'j':
        put_num(out, f.doy, 3);
        break;
      case 'H':
        put_num(out, f.hour, 2);
        break;
      case 'I':
        put_num(out, (f.hour + 11) % 12 + 1, 2);
        break;
      case 'p':
        out += f.hour < 12 ? "AM" : "PM";
        break;
      case 'M':
        put_num(out, f.minute, 2);
        break;
      case 'S':
        put_num(out, f.second, 2);
        break;
      case 's':
        put_num(out, millis, 3);
        break;
      case 'T':
        put_num(out, f.hour, 2), out += ':', put_num(out, f.minute, 2), out += ':';
        put_num(out, f.second, 2);
        break;
      case 'R':
        put_num(out, f.hour, 2), out += ':', put_num(out, f.minute, 2);
        break;
      case 'D':
        put_num(out, f.month, 2), out += '/', put_num(out, f.mday, 2), out += '/';
        put_num(out, f.year % 100, 2);
        break;
      case 'F':
        put_num(out, f.year, 4), out += '-', put_num(out, f.month, 2), out += '-';
        put_num(out, f.mday, 2);
        break;
      case 'b':
      case 'h':
        out.append(kMonthNames[f.month - 1], 3);
        break;
      case 'B':
        out += kMonthNames[f.month - 1];
        break;
      case 'a':
        out.append(kDayNames[f.wday], 3);
        break;
      case 'A':
        out += kDayNames[f.wday];
        break;
      case 'u':
        put_num(out, f.wday == 0 ? 7 : f.wday, 1);
        break;
      case 'w':
        put_num(out, f.wday, 1);
        break;
      case 'Z':
        out += zt.abbr;
        break;
      case 'z': {
        const int32_t a = zt.utoff < 0 ? -zt.utoff : zt.utoff;
        out += zt.utoff < 0 ? '-' : '+';
        put_num(out, a / 3600, 2);
        put_num(out, a / 60 % 60, 2);
        break;
      }
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case '%':
        out += '%';
        break;
      default:
        out += '%';
        out += c;
        break;
    }
  }
  return out;
}

// The text of a time outside the calendar range: the number itself.
std::string number_text(double e) {
  if (std::isnan(e)) return "nan";
  if (std::isinf(e)) return e < 0 ? "-inf" : "inf";
  if (std::fabs(e) < 1e15) return fmt_double(e, std::chars_format::fixed, 3);
  return fmt_double(e, std::chars_format::general, 17);
}

std::string format_time(double e, const char *format, const Zone &zone) {
  const bool millis = format_has_millis(format);
  int64_t utc_sec;
  int ms = 0;
  if (!std::isfinite(e)) return number_text(e);
  if (millis) {
    const double r = std::floor(e * 1000.0 + 0.5);
    if (!(r >= (double)kFirstSec * 1000.0 && r < (double)kEndSec * 1000.0)) return number_text(e);
    const int64_t total = (int64_t)r;
    utc_sec = floor_div(total, 1000);
    ms = (int)floor_mod(total, 1000);
  } else {
    auto s = seconds_in_range(e);
    if (!s) return number_text(e);
    utc_sec = *s;
  }
  const ZoneType &zt = tzfile_type_at(zone, utc_sec);
  const int64_t local = utc_sec + zt.utoff;
  if (local < kFirstSec || local >= kEndSec) return number_text(e);
  return render(format, split_seconds(local), ms, zt);
}

const Zone &utc_zone() {
  static const std::shared_ptr<const Zone> z = tzfile_find("UTC");
  return *z;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Public functions

double str2epoch(const char *text) {
  double e = 0.0;
  if (!read_time(text, false, e)) {
    elog_log(0, "str2epoch: can't read the time '%s'\n", text ? text : "(null)");
    return 0.0;
  }
  return e;
}

int zstr2epoch(const char *text, double *epoch) {
  double e;
  if (!epoch || !read_time(text, true, e)) return -1;
  *epoch = e;
  return 0;
}

char *epoch2str(double epoch, const char *format) {
  if (!format) return nullptr;
  return heap_copy(format_time(epoch, format, utc_zone()));
}

char *zepoch2str(double epoch, const char *format, const char *zone) {
  if (!format) return nullptr;
  auto z = tzfile_find(zone ? zone : "");
  if (!z) {
    elog_log(0, "zepoch2str: can't read the time zone '%s'\n", zone);
    return nullptr;
  }
  return heap_copy(format_time(epoch, format, *z));
}

char *strtime(double epoch) { return epoch2str(epoch, "%m/%d/%Y %H:%M:%S.%s"); }

char *strydtime(double epoch) { return epoch2str(epoch, "%m/%d/%Y (%j) %H:%M:%S.%s"); }

char *strdate(double epoch) { return epoch2str(epoch, "%m/%d/%Y"); }

char *strtdelta(double seconds) {
  struct Unit {
    double size;
    const char *one, *many;
  };
  static const Unit kUnits[] = {{1.0, "second", "seconds"},
                                {60.0, "minute", "minutes"},
                                {3600.0, "hour", "hours"},
                                {86400.0, "day", "days"},
                                {31557600.0, "year", "years"}};
  constexpr size_t kCount = sizeof kUnits / sizeof kUnits[0];
  if (!std::isfinite(seconds)) return heap_copy(number_text(seconds) + " seconds");
  const double a = std::fabs(seconds);
  size_t u = 0;
  while (u + 1 < kCount && a >= kUnits[u + 1].size) ++u;
  std::string num;
  for (;;) {
    num = fmt_double(a / kUnits[u].size, std::chars_format::general, 4);
    // A value that rounds up to the next unit is written in that unit.
    double shown = 0;
    std::from_chars(num.data(), num.data() + num.size(), shown);
    if (u + 1 < kCount && shown * kUnits[u].size >= kUnits[u + 1].size) {
      ++u;
      continue;
    }
    break;
  }
  std::string out = seconds < 0 && num != "0" ? "-" : "";
  out += num;
  out += ' ';
  out += num == "1" ? kUnits[u].one : kUnits[u].many;
  return heap_copy(out);
}

double h2e(int year, int doy, int hour, int minute, double second) {
  const int64_t days = days_from_civil(year, 1, 1) + (int64_t)doy - 1;
  const int64_t secs = days * kSecPerDay + (int64_t)hour * 3600 + (int64_t)minute * 60;
  return (double)secs + second;
}

double epoch(int yd) {
  const int64_t year = floor_div(yd, 1000);
  const int64_t day = yd - year * 1000;
  return h2e((int)year, (int)day, 0, 0, 0.0);
}

int yearday(double epoch) {
  auto s = seconds_in_range(epoch);
  if (!s) return -1;
  const Fields f = split_seconds(*s);
  return f.year * 1000 + f.doy;
}

int e2h(double epoch, int *year, int *doy, int *hour, int *minute, double *second) {
  auto s = seconds_in_range(epoch);
  Fields f{};
  double sec = 0.0;
  if (s) {
    const int64_t minute_start = floor_div(*s, 60) * 60;
    f = split_seconds(minute_start);
    sec = epoch - (double)minute_start;
    // For a time a hair below the next minute the subtraction can round up to 60: keep
    // the fields of the minute the time is in, as yearday does.
    if (sec >= 60.0) sec = std::nextafter(60.0, 0.0);
  }
  if (year) *year = f.year;
  if (doy) *doy = f.doy;
  if (hour) *hour = f.hour;
  if (minute) *minute = f.minute;
  if (second) *second = sec;
  return s ? 0 : -1;
}

int mday2doy(int year, int month, int mday) {
  if (month < 1 || month > 12) return -1;
  const int64_t before = days_from_civil(year, month, 1) - days_from_civil(year, 1, 1);
  const int64_t doy = before + mday;
  if (doy > INT32_MAX) return INT32_MAX;
  if (doy < INT32_MIN) return INT32_MIN;
  return (int)doy;
}

int doy2mday(int doy, int year, int *month, int *mday) {
  if (doy < 1 || doy > days_in_year(year)) return -1;
  const Civil c = civil_from_days(days_from_civil(year, 1, 1) + doy - 1);
  if (month) *month = c.month;
  if (mday) *mday = c.mday;
  return 0;
}
