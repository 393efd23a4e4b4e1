// tzfile.cpp - compiled zone files: the header and data blocks, the rule text for times
// past the table, the zone folder and its cache.
#include "base/tzfile.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "base/bigendian.h"
#include "base/calendar.h"
#include "base/readfile.h"

namespace {

using namespace calendar;

class RuleParser {
 public:
  explicit RuleParser(std::string_view s) : s_(s) {}

  std::optional<PosixRule> parse() {
    PosixRule r;
    if (!name(r.std_type.abbr)) return std::nullopt;
    int32_t off;
    if (!offset(off, 24)) return std::nullopt;
    r.std_type.utoff = -off;
    if (at_end()) return r;
    r.has_dst = true;
    r.dst_type.isdst = true;
    if (!name(r.dst_type.abbr)) return std::nullopt;
    r.dst_type.utoff = r.std_type.utoff + 3600;
    if (!at_end() && peek() != ',') {
      if (!offset(off, 24)) return std::nullopt;
      r.dst_type.utoff = -off;
    }
    if (at_end()) {
      // No rule given: the traditional default of the second Sunday of March to the
      // first Sunday of November, at 02:00.
      r.start = PosixRule::When{'M', 3, 2, 0, 7200};
      r.end = PosixRule::When{'M', 11, 1, 0, 7200};
      return r;
    }
    if (!take(',') || !when(r.start) || !take(',') || !when(r.end) || !at_end())
      return std::nullopt;
    return r;
  }

 private:
  bool at_end() const { return i_ >= s_.size(); }
  char peek() const { return at_end() ? '\0' : s_[i_]; }
  bool take(char c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  static bool alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  bool name(std::string &out) {
    size_t start = i_;
    if (take('<')) {
      while (!at_end() && s_[i_] != '>') {
        char c = s_[i_];
        if (!alpha(c) && !digit(c) && c != '+' && c != '-') return false;
        ++i_;
      }
      if (!take('>')) return false;
      out.assign(s_.substr(start + 1, i_ - start - 2));
    } else {
      while (alpha(peek())) ++i_;
      out.assign(s_.substr(start, i_ - start));
    }
    return out.size() >= 3;
  }

  bool number(int &v, int max_digits) {
    int n = 0;
    v = 0;
    while (digit(peek()) && n < max_digits) {
      v = v * 10 + (s_[i_++] - '0');
      ++n;
    }
    return n > 0 && !digit(peek());
  }

  // [+-]hh[:mm[:ss]] in seconds, hours up to max_hours.
  bool offset(int32_t &out, int max_hours) {
    int sign = 1;
    if (take('-'))
      sign = -1;
    else
      take('+');
    int h, m = 0, sec = 0;
    if (!number(h, 3) || h > max_hours) return false;
    if (take(':')) {
      if (!number(m, 2) || m > 59) return false;
      if (take(':') && (!number(sec, 2) || sec > 59)) return false;
    }
    out = sign * (h * 3600 + m * 60 + sec);
    return true;
  }

  bool when(PosixRule::When &w) {
    if (take('J')) {
      w.kind = 'J';
      if (!number(w.a, 3) || w.a < 1 || w.a > 365) return false;
    } else if (take('M')) {
      w.kind = 'M';
      if (!number(w.a, 2) || w.a < 1 || w.a > 12 || !take('.')) return false;
      if (!number(w.b, 1) || w.b < 1 || w.b > 5 || !take('.')) return false;
      if (!number(w.c, 1) || w.c > 6) return false;
    } else {
      w.kind = 'D';
      if (!number(w.a, 3) || w.a > 365) return false;
    }
    w.time = 7200;
    if (take('/')) return offset(w.time, 167);
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

// The UTC second at which rule time `w` falls in `year`, for a zone whose offset before
// that moment is `utoff`.
int64_t rule_instant(const PosixRule::When &w, int64_t year, int32_t utoff) {
  int64_t day;
  const int64_t jan1 = days_from_civil(year, 1, 1);
  if (w.kind == 'J') {
    day = jan1 + w.a - 1 + ((is_leap(year) && w.a >= 60) ? 1 : 0);
  } else if (w.kind == 'D') {
    day = jan1 + w.a;
  } else {
    const int64_t first = days_from_civil(year, w.a, 1);
    int mday = 1 + (w.c - weekday_of(first) + 7) % 7 + (w.b - 1) * 7;
    while (mday > days_in_month(year, w.a)) mday -= 7;
    day = first + mday - 1;
  }
  return day * kSecPerDay + w.time - utoff;
}

const ZoneType &rule_type_at(const PosixRule &r, int64_t t) {
  if (!r.has_dst) return r.std_type;
  const int64_t year = civil_from_days(floor_div(t + r.std_type.utoff, kSecPerDay)).year;
  const int64_t start = rule_instant(r.start, year, r.std_type.utoff);
  const int64_t end = rule_instant(r.end, year, r.dst_type.utoff);
  bool dst;
  if (start < end)
    dst = t >= start && t < end;
  else
    dst = !(t >= end && t < start);
  return dst ? r.dst_type : r.std_type;
}

// Big-endian reads from a byte buffer, bounds checked by the caller.
class Cursor {
 public:
  Cursor(const std::string &d) : d_(d) {}
  bool have(size_t n) const { return n <= d_.size() - i_; }
  void skip(size_t n) { i_ += n; }
  size_t pos() const { return i_; }
  uint8_t u8() { return (uint8_t)d_[i_++]; }
  uint32_t u32() {
    uint32_t v = be_get32(reinterpret_cast<const unsigned char *>(d_.data()) + i_);
    i_ += 4;
    return v;
  }
  int64_t s32() { return (int64_t)(int32_t)u32(); }
  int64_t s64() {
    uint64_t v = be_get64(reinterpret_cast<const unsigned char *>(d_.data()) + i_);
    i_ += 8;
    return (int64_t)v;
  }

 private:
  const std::string &d_;
  size_t i_ = 0;
};

struct TzHeader {
  uint8_t version;  // 0 for version 1, else '2', '3', ...
  uint32_t isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt;
};

bool read_header(Cursor &c, TzHeader &h) {
  if (!c.have(44)) return false;
  char magic[4];
  for (char &m : magic) m = (char)c.u8();
  if (memcmp(magic, "TZif", 4) != 0) return false;
  h.version = c.u8();
  c.skip(15);
  h.isutcnt = c.u32();
  h.isstdcnt = c.u32();
  h.leapcnt = c.u32();
  h.timecnt = c.u32();
  h.typecnt = c.u32();
  h.charcnt = c.u32();
  return h.typecnt >= 1 && h.typecnt <= 256 && h.charcnt >= 1 &&
         (h.isutcnt == 0 || h.isutcnt == h.typecnt) &&
         (h.isstdcnt == 0 || h.isstdcnt == h.typecnt) && h.timecnt <= 1000000 &&
         h.charcnt <= 100000 && h.leapcnt <= 100000;
}

size_t block_size(const TzHeader &h, size_t tsize) {
  return (size_t)h.timecnt * tsize + h.timecnt + (size_t)h.typecnt * 6 + h.charcnt +
         (size_t)h.leapcnt * (tsize + 4) + h.isstdcnt + h.isutcnt;
}

bool read_block(const std::string &data, Cursor &c, const TzHeader &h, size_t tsize, Zone &z) {
  if (!c.have(block_size(h, tsize))) return false;
  if (h.leapcnt != 0) return false;  // leap-second counting zones are not supported
  z.times.resize(h.timecnt);
  for (auto &t : z.times) t = tsize == 8 ? c.s64() : c.s32();
  for (size_t k = 1; k < z.times.size(); ++k)
    if (z.times[k] <= z.times[k - 1]) return false;
  z.indices.resize(h.timecnt);
  for (auto &ix : z.indices) {
    ix = c.u8();
    if (ix >= h.typecnt) return false;
  }
  std::vector<uint8_t> desig(h.typecnt);
  z.types.resize(h.typecnt);
  for (uint32_t k = 0; k < h.typecnt; ++k) {
    z.types[k].utoff = (int32_t)c.u32();
    if (z.types[k].utoff < -25 * 3600 || z.types[k].utoff > 26 * 3600) return false;
    z.types[k].isdst = c.u8() != 0;
    desig[k] = c.u8();
    if (desig[k] >= h.charcnt) return false;
  }
  // Designations: NUL-terminated texts in the character block.
  const size_t chars = c.pos();
  for (uint32_t k = 0; k < h.typecnt; ++k) {
    const size_t start = chars + desig[k];
    size_t end = start;
    while (end < chars + h.charcnt && data[end] != '\0') ++end;
    z.types[k].abbr = data.substr(start, end - start);
  }
  c.skip(h.charcnt);
  c.skip(h.isstdcnt + h.isutcnt);
  return true;
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k) {
    char x = a[k], y = b[k];
    if (x >= 'a' && x <= 'z') x = (char)(x - 32);
    if (y >= 'a' && y <= 'z') y = (char)(y - 32);
    if (x != y) return false;
  }
  return true;
}

// A zone name as a relative path under the zone folder: letters, digits, "_", "+", "-",
// components separated by single "/", none empty and none starting with "." or "-".
bool valid_zone_name(std::string_view name) {
  if (name.empty() || name.size() > 255) return false;
  bool at_component_start = true;
  for (char ch : name) {
    if (ch == '/') {
      if (at_component_start) return false;
      at_component_start = true;
      continue;
    }
    const bool ok = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') ||
                    (ch >= '0' && ch <= '9') || ch == '_' || ch == '+' || ch == '-';
    if (!ok || (at_component_start && ch == '-')) return false;
    at_component_start = false;
  }
  return !at_component_start;
}

std::shared_ptr<const Zone> make_fixed_zone(const char *abbr) {
  auto z = std::make_shared<Zone>();
  z->types.push_back(ZoneType{0, false, abbr});
  return z;
}

std::mutex g_zone_mutex;
std::map<std::string, std::shared_ptr<const Zone>> g_zone_cache;  // by file path

}  // namespace

const ZoneType &tzfile_type_at(const Zone &z, int64_t t) {
  if (z.times.empty() || t < z.times.front()) {
    if (z.times.empty() && z.rule) return rule_type_at(*z.rule, t);
    return z.types[0];
  }
  if (t >= z.times.back() && z.rule) return rule_type_at(*z.rule, t);
  // Last transition at or before t.
  size_t lo = 0, hi = z.times.size();
  while (hi - lo > 1) {
    size_t mid = lo + (hi - lo) / 2;
    if (z.times[mid] <= t)
      lo = mid;
    else
      hi = mid;
  }
  return z.types[z.indices[lo]];
}

std::shared_ptr<const Zone> tzfile_parse(const std::string &data) {
  auto z = std::make_shared<Zone>();
  Cursor c(data);
  TzHeader h;
  if (!read_header(c, h)) return nullptr;
  size_t tsize = 4;
  if (h.version >= (uint8_t)'2') {
    // Skip the 32-bit block; the 64-bit one follows with its own header.
    if (!c.have(block_size(h, 4))) return nullptr;
    c.skip(block_size(h, 4));
    if (!read_header(c, h)) return nullptr;
    tsize = 8;
  }
  if (!read_block(data, c, h, tsize, *z)) return nullptr;
  if (tsize == 8) {
    // The rule text for times past the table: "\n<rule>\n" (may be empty).
    const size_t at = c.pos();
    if (at >= data.size() || data[at] != '\n') return nullptr;
    const size_t nl = data.find('\n', at + 1);
    if (nl == std::string::npos) return nullptr;
    const std::string_view text(data.data() + at + 1, nl - at - 1);
    if (!text.empty()) {
      z->rule = RuleParser(text).parse();
      if (!z->rule) return nullptr;
    }
  }
  return z;
}

// The zone of a name, from the built-in UTC names or the zone folder; none when the name
// is not valid or its file cannot be read or parsed.
std::shared_ptr<const Zone> tzfile_find(std::string_view name) {
  static const std::shared_ptr<const Zone> utc = make_fixed_zone("UTC");
  static const std::shared_ptr<const Zone> gmt = make_fixed_zone("GMT");
  if (name.empty() || ascii_iequal(name, "UTC") || ascii_iequal(name, "UT") ||
      ascii_iequal(name, "Z"))
    return utc;
  if (ascii_iequal(name, "GMT")) return gmt;
  if (!valid_zone_name(name)) return nullptr;
  const char *dir = getenv("TZDIR");
  std::string path = (dir && *dir) ? dir : "/usr/share/zoneinfo";
  path += '/';
  path += name;
  {
    std::lock_guard<std::mutex> lock(g_zone_mutex);
    auto it = g_zone_cache.find(path);
    if (it != g_zone_cache.end()) return it->second;
  }
  // Zone files are a few KiB; a file of more than 1 MiB is no zone file.
  std::string data;
  if (readfile(path.c_str(), &data, size_t{1} << 20) != 0) return nullptr;
  auto z = tzfile_parse(data);
  if (!z) return nullptr;
  std::lock_guard<std::mutex> lock(g_zone_mutex);
  g_zone_cache.emplace(path, z);
  return z;
}

int64_t tzfile_local_to_utc(const Zone &z, int64_t local) {
  const int32_t before = tzfile_type_at(z, local - kSecPerDay).utoff;
  const int32_t after = tzfile_type_at(z, local + kSecPerDay).utoff;
  const int64_t ua = local - before, ub = local - after;
  const bool a_ok = tzfile_type_at(z, ua).utoff == before;
  const bool b_ok = tzfile_type_at(z, ub).utoff == after;
  if (a_ok && b_ok) return ua < ub ? ua : ub;
  if (b_ok) return ub;
  return ua;
}
