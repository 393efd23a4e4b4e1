// Tests of the numeric conversion family: every member against a reference model that
// works in exact arithmetic (sign and magnitude, rounding done by hand), over boundary
// and random values, single items and unaligned runs; then the documented edge cases
// with literal bytes.
#include "support/convert.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// ---- Exact integers: sign and magnitude, so every 64-bit value of either signedness
// compares without overflow on 32-bit hosts too.
struct Z {
  bool neg = false;
  uint64_t mag = 0;
};
Z zs(int64_t v) { return v < 0 ? Z{true, 0 - (uint64_t)v} : Z{false, (uint64_t)v}; }
Z zu(uint64_t v) { return Z{false, v}; }
bool operator==(Z a, Z b) { return a.mag == b.mag && (a.neg == b.neg || a.mag == 0); }
bool zless(Z a, Z b) {
  if (a == b) return false;
  bool an = a.neg && a.mag, bn = b.neg && b.mag;
  if (an != bn) return an;
  return an ? a.mag > b.mag : a.mag < b.mag;
}
std::string zstr(Z z) { return (z.neg && z.mag ? "-" : "") + std::to_string(z.mag); }

const double two64 = 18446744073709551616.0;

// Integer-valued double (|t| < 2^64) to Z.
Z ztrunc(double t) { return Z{t < 0, (uint64_t)std::fabs(t)}; }
// Exact comparisons of an integer-valued double with a Z.
bool dless(double t, Z z) {
  if (t <= -two64) return true;
  if (t >= two64) return false;
  return zless(ztrunc(t), z);
}
bool dgreater(double t, Z z) {
  if (t >= two64) return true;
  if (t <= -two64) return false;
  return zless(z, ztrunc(t));
}

// Nearest value with p significant bits (ties to even), as the exact double.
double round_to(Z z, int p) {
  uint64_t m = z.mag;
  if (m == 0) return 0.0;
  int n = std::bit_width(m);
  double v;
  if (n <= p) {
    v = (double)m;
  } else {
    int shift = n - p;
    uint64_t q = m >> shift, rem = m & ((uint64_t(1) << shift) - 1),
             half = uint64_t(1) << (shift - 1);
    if (rem > half || (rem == half && (q & 1))) ++q;
    v = std::ldexp((double)q, shift);
  }
  return z.neg ? -v : v;
}
int significant_bits(uint64_t m) { return m ? std::bit_width(m) - std::countr_zero(m) : 0; }

// ---- Values of any item or host type.
struct Val {
  char type = 'i';    // b s i l t (integers), f, d
  Z z;                // integers
  uint64_t bits = 0;  // f and d: the IEEE image
  double x = 0;       // f and d: the value
};
bool is_float(char t) { return t == 'f' || t == 'd'; }
int precision(char t) { return t == 'f' ? 24 : 53; }
int ext_size(char t) {
  switch (t) {
    case 'b':
      return 1;
    case 's':
      return 2;
    case 't':
      return 3;
    case 'i':
    case 'f':
      return 4;
    default:
      return 8;
  }
}
Val vint(char t, Z z) { return Val{t, z, 0, 0}; }
Val vfloat(float f) { return Val{'f', {}, std::bit_cast<uint32_t>(f), (double)f}; }
Val vdouble(double d) { return Val{'d', {}, std::bit_cast<uint64_t>(d), d}; }
Val vfbits(uint32_t b) { return vfloat(std::bit_cast<float>(b)); }
Val vdbits(uint64_t b) { return vdouble(std::bit_cast<double>(b)); }
std::string vstr(const Val &v) {
  if (!is_float(v.type)) return zstr(v.z);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g (0x%llx)", v.x, (unsigned long long)v.bits);
  return buf;
}

struct Range {
  Z lo, hi;
};
Range bounds(char t, bool uns) {
  switch (t) {
    case 'b':
      return uns ? Range{zu(0), zu(255)} : Range{zs(-128), zs(127)};
    case 's':
      return uns ? Range{zu(0), zu(65535)} : Range{zs(-32768), zs(32767)};
    case 't':
      return Range{zs(-8388608), zs(8388607)};
    case 'i':
      return uns ? Range{zu(0), zu(4294967295u)} : Range{zs(INT32_MIN), zs(INT32_MAX)};
    default:
      return uns ? Range{zu(0), zu(UINT64_MAX)} : Range{zs(INT64_MIN), zs(INT64_MAX)};
  }
}

// ---- A member of the family, as the name list gives it.
struct Desc {
  std::string name;
  char lay, ext, host;
  bool writer, uns;
  char src() const { return writer ? host : ext; }
  char dst() const { return writer ? ext : host; }
};

// The classes of conversion, as the family's rules define them.
enum Cls {
  kSame = 1,
  kSameNan,
  kWiden,
  kNarrow,
  kIntFloat,
  kFloatIntClip,
  kFloatIntExact,
  kFloatFloat
};

Cls class_of(const Desc &d) {
  static const std::set<std::string> nan_reported = {"mf2hf", "hf2mf", "md2hd",
                                                     "hd2md", "vd2hd", "hd2vd"};
  static const std::set<std::string> exact_writers = {"hf2ai", "hf2mi", "hf2vi",
                                                      "hd2al", "hd2ml", "hd2vl"};
  char s = d.src(), t = d.dst();
  if (s == t) return nan_reported.count(d.name) ? kSameNan : kSame;
  if (!is_float(s) && !is_float(t)) return d.writer ? kNarrow : kWiden;
  if (!is_float(s)) return kIntFloat;
  if (!is_float(t)) {
    if (!d.writer || exact_writers.count(d.name)) return kFloatIntExact;
    return kFloatIntClip;
  }
  return kFloatFloat;
}

struct Expect {
  Val v;
  bool bad = false;
  bool any_nan = false;  // any NaN image will do
};

Expect model(const Desc &d, const Val &in) {
  char t = d.dst();
  Expect e;
  auto set_float = [&](double x) { e.v = t == 'f' ? vfloat((float)x) : vdouble(x); };
  switch (class_of(d)) {
    case kSame:
    case kSameNan:
      e.v = in;
      e.v.type = t;
      e.bad = class_of(d) == kSameNan && std::isnan(in.x);
      break;
    case kWiden:
      e.v = vint(t, in.z);
      break;
    case kNarrow: {
      Range r = bounds(t, d.uns);
      Z z = in.z;
      if (zless(z, r.lo)) z = r.lo, e.bad = true;
      if (zless(r.hi, z)) z = r.hi, e.bad = true;
      e.v = vint(t, z);
      break;
    }
    case kIntFloat:
      set_float(round_to(in.z, precision(t)));
      e.bad = significant_bits(in.z.mag) > precision(t);
      break;
    case kFloatIntClip: {
      Range r = bounds(t, d.uns);
      double lo = round_to(r.lo, precision(d.src())), hi = round_to(r.hi, precision(d.src()));
      double x = in.x;
      Z z;
      if (std::isnan(x)) {
        z = zu(0);
      } else if (x < lo) {
        z = r.lo, e.bad = true;
      } else if (x > hi) {
        z = r.hi, e.bad = true;
      } else {
        double tr = std::trunc(x);
        z = dgreater(tr, r.hi) ? r.hi : ztrunc(tr);  // hi rounded up in the float type
      }
      e.v = vint(t, z);
      break;
    }
    case kFloatIntExact: {
      Range r = bounds(t, d.uns);
      double x = in.x;
      Z z;
      if (std::isnan(x)) {
        z = zu(0);
        e.bad = true;
      } else {
        double tr = std::trunc(x);
        z = dless(tr, r.lo) ? r.lo : dgreater(tr, r.hi) ? r.hi : ztrunc(tr);
        e.bad = round_to(z, precision(d.src())) != x;
      }
      e.v = vint(t, z);
      break;
    }
    case kFloatFloat:
      if (std::isnan(in.x)) {
        set_float(in.x);
        e.bad = e.any_nan = true;
      } else if (t == 'd') {
        set_float(in.x);
      } else {
        // Nearest float; from the midpoint between the largest float and 2^128 on, the
        // value rounds to an infinity.
        const double mid = std::ldexp(2.0 - std::ldexp(1.0, -24), 127);
        double a = std::fabs(in.x);
        float f = a >= mid      ? std::numeric_limits<float>::infinity()
                  : a > FLT_MAX ? FLT_MAX
                                : (float)a;
        e.v = vfloat(std::signbit(in.x) ? -f : f);
        e.bad = e.v.x != in.x;
      }
      break;
  }
  return e;
}

// ---- External images as the layouts define them.
void encode(char lay, const Val &v, uint8_t *p) {
  int n = ext_size(v.type);
  uint64_t img = is_float(v.type) ? v.bits : (v.z.neg ? 0 - v.z.mag : v.z.mag);
  bool msb_first = lay == 'm' || (lay == 'a' && std::endian::native == std::endian::big);
  for (int k = 0; k < n; ++k) p[k] = (uint8_t)(img >> (8 * (msb_first ? n - 1 - k : k)));
}
Val decode(char lay, char type, bool uns, const uint8_t *p) {
  int n = ext_size(type);
  bool msb_first = lay == 'm' || (lay == 'a' && std::endian::native == std::endian::big);
  uint64_t img = 0;
  for (int k = 0; k < n; ++k) img |= (uint64_t)p[k] << (8 * (msb_first ? n - 1 - k : k));
  if (type == 'f') return vfbits((uint32_t)img);
  if (type == 'd') return vdbits(img);
  if (uns || n == 8) return vint(type, n == 8 && !uns ? zs((int64_t)img) : zu(img));
  uint64_t sign = uint64_t(1) << (8 * n - 1);
  return vint(type, (img & sign) ? Z{true, (sign << 1) - img} : zu(img));
}

// Host values.
template <class H>
H to_host(const Val &v) {
  if constexpr (std::is_floating_point_v<H>) {
    if constexpr (sizeof(H) == 4)
      return std::bit_cast<float>((uint32_t)v.bits);
    else
      return std::bit_cast<double>(v.bits);
  } else if constexpr (std::is_signed_v<H>) {
    return (H)(v.z.neg ? -(int64_t)(v.z.mag - 1) - 1 : (int64_t)v.z.mag);
  } else {
    return (H)v.z.mag;
  }
}
template <class H>
Val from_host(char type, H h) {
  if constexpr (std::is_same_v<H, float>)
    return vfloat(h);
  else if constexpr (std::is_same_v<H, double>)
    return vdouble(h);
  else if constexpr (std::is_signed_v<H>)
    return vint(type, zs(h));
  else
    return vint(type, zu(h));
}

// ---- Source values: boundaries, then random ones.
std::vector<Val> sources(char type, bool uns, std::mt19937_64 &rng) {
  std::vector<Val> out;
  if (is_float(type)) {
    std::vector<double> xs = {0.0,
                              -0.0,
                              1.0,
                              -1.0,
                              0.5,
                              -0.5,
                              2.5,
                              -2.5,
                              3.0,
                              126.9,
                              127.0,
                              127.5,
                              128.0,
                              -128.0,
                              -128.5,
                              -129.0,
                              255.0,
                              255.5,
                              256.0,
                              32767.5,
                              32768.0,
                              -32768.5,
                              65535.0,
                              65535.5,
                              65536.0,
                              16777216.0,
                              16777217.0,
                              2147483520.0,
                              2147483647.0,
                              2147483647.5,
                              2147483648.0,
                              -2147483648.0,
                              -2147483649.0,
                              4294967295.0,
                              4294967296.0,
                              9007199254740993.0,
                              9223372036854775807.0,
                              -9223372036854775808.0,
                              18446744073709549568.0,
                              two64,
                              1e10,
                              -1e10,
                              1e30,
                              -1e30,
                              1e300,
                              -1e300,
                              3.4028234663852886e38,
                              3.4028235677973366e38,
                              std::ldexp(2.0 - std::ldexp(1.0, -24), 127),
                              1e-40,
                              1e-310,
                              HUGE_VAL,
                              -HUGE_VAL};
    for (double x : xs) {
      if (type == 'd')
        out.push_back(vdouble(x));
      else if (std::isinf(x) || std::fabs(x) <= FLT_MAX)
        out.push_back(vfloat((float)x));
    }
    if (type == 'f') {
      for (uint32_t b : {0x7fc00000u, 0xffc00000u, 0x7f800001u, 0x7fa00000u, 0x00000001u,
                         0x80000001u, 0x7f7fffffu, 0x4f800000u, 0x5f800000u})
        out.push_back(vfbits(b));
    } else {
      for (uint64_t b : {0x7ff8000000000000ull, 0xfff8000000000000ull, 0x7ff0000000000001ull,
                         0x0000000000000001ull, 0x7fefffffffffffffull, 0x43e0000000000000ull,
                         0x43f0000000000000ull, 0x41f0000000000000ull})
        out.push_back(vdbits(b));
    }
    std::uniform_int_distribution<int> expo(-4, 70);
    for (int k = 0; k < 200; ++k) {
      uint64_t r = rng();
      if (k % 3 == 0) {  // any image, NaNs and infinities included
        out.push_back(type == 'f' ? vfbits((uint32_t)r) : vdbits(r));
      } else {  // values around the integer ranges, often with fractions
        double x = std::ldexp((double)(r >> 11) / 9007199254740992.0, expo(rng));
        if (k % 2) x = -x;
        if (k % 5 == 0) x = std::trunc(x);
        out.push_back(type == 'f' ? vfloat((float)x) : vdouble(x));
      }
    }
    return out;
  }
  Range r = bounds(type, uns);
  int bits = type == 't' ? 24 : 8 * ext_size(type);
  auto add = [&](Z z) {
    if (z.mag == 0) z.neg = false;
    if (!zless(z, r.lo) && !zless(r.hi, z)) out.push_back(vint(type, z));
  };
  add(zu(0));
  add(zu(1));
  add(zs(-1));
  add(r.lo);
  add(r.hi);
  add(Z{r.lo.neg, r.lo.mag ? r.lo.mag - 1 : 1});
  add(Z{false, r.hi.mag - 1});
  for (int k : {7, 8, 15, 16, 23, 24, 25, 31, 32, 53, 54, 63}) {
    uint64_t p = uint64_t(1) << k;
    for (uint64_t m : {p - 1, p, p + 1}) {
      add(zu(m));
      add(Z{true, m});
    }
  }
  for (int k = 0; k < 200; ++k) {
    // Random magnitudes of random length, so that precision limits are crossed often.
    int len = 1 + (int)(rng() % bits);
    uint64_t m = rng() & (len == 64 ? UINT64_MAX : (uint64_t(1) << len) - 1);
    add(Z{!uns && (rng() & 1), m});
  }
  return out;
}

bool same_value(const Expect &e, const Val &got) {
  if (!is_float(e.v.type)) return e.v.z == got.z;
  if (e.any_nan) return std::isnan(got.x);
  return e.v.bits == got.bits;
}

// Runs one member over the sources: each value alone (exact result per item), then all
// of them in one call at an unaligned offset (cursor, untouched neighbours, result).
template <class H>
void check_reader(int (*fn)(char **, H *, int), const Desc &d, std::mt19937_64 &rng) {
  std::vector<Val> in = sources(d.ext, d.uns, rng);
  const int n = ext_size(d.ext);
  bool any_bad = false;
  for (const Val &v : in) {
    Expect e = model(d, v);
    any_bad |= e.bad;
    uint8_t buf[8];
    encode(d.lay, v, buf);
    char *cur = reinterpret_cast<char *>(buf);
    H out{};
    int r = fn(&cur, &out, 1);
    Val got = from_host<H>(d.host, out);
    ASSERT_TRUE(same_value(e, got))
        << d.name << "(" << vstr(v) << ") stored " << vstr(got) << ", expected " << vstr(e.v);
    ASSERT_EQ(r, e.bad ? -1 : 0) << d.name << "(" << vstr(v) << ")";
    ASSERT_EQ(cur, reinterpret_cast<char *>(buf) + n) << d.name;
  }
  size_t off = 1 + rng() % 7;
  Bytes ext(off + in.size() * n + 8, 0xA5);
  for (size_t k = 0; k < in.size(); ++k) encode(d.lay, in[k], &ext[off + k * n]);
  const H sentinel = to_host<H>(is_float(d.host) ? vdouble(7.0) : vint(d.host, zu(7)));
  std::vector<H> out(in.size() + 1, d.host == 'f' ? to_host<H>(vfloat(7.0f)) : sentinel);
  const H last = out.back();
  char *cur = reinterpret_cast<char *>(&ext[off]);
  int r = fn(&cur, out.data(), (int)in.size());
  EXPECT_EQ(r, any_bad ? -1 : 0) << d.name << " over " << in.size() << " items";
  EXPECT_EQ(cur, reinterpret_cast<char *>(&ext[off + in.size() * n])) << d.name;
  for (size_t k = 0; k < in.size(); ++k)
    ASSERT_TRUE(same_value(model(d, in[k]), from_host<H>(d.host, out[k])))
        << d.name << " item " << k;
  EXPECT_EQ(std::memcmp(&out.back(), &last, sizeof last), 0) << d.name << " wrote past the array";
}

template <class H>
void check_writer(int (*fn)(const H *, char **, int), const Desc &d, std::mt19937_64 &rng) {
  std::vector<Val> in = sources(d.host, d.uns, rng);
  const int n = ext_size(d.ext);
  bool any_bad = false;
  for (const Val &v : in) {
    Expect e = model(d, v);
    any_bad |= e.bad;
    H h = to_host<H>(v);
    uint8_t buf[8];
    char *cur = reinterpret_cast<char *>(buf);
    int r = fn(&h, &cur, 1);
    Val got = decode(d.lay, d.ext, d.uns, buf);
    ASSERT_TRUE(same_value(e, got))
        << d.name << "(" << vstr(v) << ") wrote " << vstr(got) << ", expected " << vstr(e.v);
    ASSERT_EQ(r, e.bad ? -1 : 0) << d.name << "(" << vstr(v) << ")";
    ASSERT_EQ(cur, reinterpret_cast<char *>(buf) + n) << d.name;
  }
  size_t off = 1 + rng() % 7;
  Bytes ext(off + in.size() * n + 8, 0xA5);
  std::vector<H> hs;
  for (const Val &v : in) hs.push_back(to_host<H>(v));
  char *cur = reinterpret_cast<char *>(&ext[off]);
  int r = fn(hs.data(), &cur, (int)hs.size());
  EXPECT_EQ(r, any_bad ? -1 : 0) << d.name << " over " << in.size() << " items";
  EXPECT_EQ(cur, reinterpret_cast<char *>(&ext[off + in.size() * n])) << d.name;
  for (size_t k = 0; k < in.size(); ++k)
    ASSERT_TRUE(same_value(model(d, in[k]), decode(d.lay, d.ext, d.uns, &ext[off + k * n])))
        << d.name << " item " << k;
  for (size_t k = 0; k < off; ++k) EXPECT_EQ(ext[k], 0xA5) << d.name;
  for (size_t k = off + in.size() * n; k < ext.size(); ++k) EXPECT_EQ(ext[k], 0xA5) << d.name;
}

struct Member {
  Desc desc;
  std::function<void(const Desc &, std::mt19937_64 &)> check;
};

#define READER_ENTRY(name, L, T, U, S)                          \
  Member{Desc{#name, #L[0], #T[0], #U[0], false, #S[0] == 'u'}, \
         [](const Desc &d, std::mt19937_64 &rng) {              \
           check_reader<CONVERT_HOST_TYPE(S, U)>(name, d, rng); \
         }},
#define WRITER_ENTRY(name, L, T, U, S)                          \
  Member{Desc{#name, #L[0], #T[0], #U[0], true, #S[0] == 'u'},  \
         [](const Desc &d, std::mt19937_64 &rng) {              \
           check_writer<CONVERT_HOST_TYPE(S, U)>(name, d, rng); \
         }},

const std::vector<Member> &family() {
  static const std::vector<Member> members = {CONVERT_FAMILY(READER_ENTRY, WRITER_ENTRY)};
  return members;
}

TEST(ConvertFamily, HasExactlyTheMembersOfThePairTable) {
  std::set<std::string> want;
  const char *with_unsigned[] = {"bb", "bs", "bi", "bl", "bf", "bd", "ss", "si", "sl", "sf",
                                 "sd", "ii", "il", "if", "id", "ll", "ld", "fi", "fl", "dl"};
  const char *floating[] = {"ff", "fd", "dd"};
  for (std::string lay : {"a", "m", "v"}) {
    for (std::string p : with_unsigned) {
      std::string rd = lay + p[0] + "2h" + p[1], wr = std::string("h") + p[1] + "2" + lay + p[0];
      want.insert({rd, wr, "u" + rd, "u" + wr});
    }
    for (std::string p : floating)
      want.insert({lay + p[0] + "2h" + p[1], std::string("h") + p[1] + "2" + lay + p[0]});
  }
  want.insert({"mt2hi", "hi2mt", "mt2hf", "vt2hi", "hi2vt", "vt2hf"});
  std::set<std::string> have;
  for (const Member &m : family()) EXPECT_TRUE(have.insert(m.desc.name).second) << m.desc.name;
  EXPECT_EQ(have, want);
}

TEST(ConvertFamily, EveryMemberAgreesWithTheReferenceModel) {
  const uint64_t seed = 20240611;
  std::mt19937_64 rng(seed);
  for (const Member &m : family()) {
    SCOPED_TRACE(m.desc.name + " seed " + std::to_string(seed));
    m.check(m.desc, rng);
    if (HasFatalFailure()) return;
  }
}

// ---- Literal edge cases.

template <class H>
struct Read {
  int result;
  std::vector<H> out;
  long advanced;
};
template <class H>
Read<H> rd(int (*fn)(char **, H *, int), Bytes bytes, int count = 1) {
  Bytes buf(bytes.size() + 1);  // one byte in, so the item is unaligned
  std::memcpy(buf.data() + 1, bytes.data(), bytes.size());
  std::vector<H> out(count > 0 ? count : 1);
  char *start = reinterpret_cast<char *>(buf.data() + 1), *cur = start;
  int r = fn(&cur, out.data(), count);
  return {r, out, (long)(cur - start)};
}
template <class H>
struct Write {
  int result;
  Bytes bytes;
  long advanced;
};
template <class H>
Write<H> wr(int (*fn)(const H *, char **, int), std::vector<H> in, int size) {
  Bytes buf(1 + in.size() * size, 0xA5);
  char *start = reinterpret_cast<char *>(buf.data() + 1), *cur = start;
  int r = fn(in.data(), &cur, (int)in.size());
  return {r, Bytes(buf.begin() + 1, buf.end()), (long)(cur - start)};
}

const float kNaNf = std::numeric_limits<float>::quiet_NaN();

float be_float(const Bytes &b) {
  return std::bit_cast<float>((uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 |
                              b[3]);
}
Bytes be32(uint32_t v) {
  return {(uint8_t)(v >> 24), (uint8_t)(v >> 16), (uint8_t)(v >> 8), (uint8_t)v};
}

TEST(ConvertEdges, CountZeroStoresNothingAndKeepsTheCursor) {
  uint8_t bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  int ints[2] = {9, 9};
  double d = kNaNf;
  char *cur = reinterpret_cast<char *>(bytes);
  EXPECT_EQ(ai2hi(&cur, ints, 0), 0);  // block move
  EXPECT_EQ(mf2hi(&cur, ints, 0), 0);  // loop
  EXPECT_EQ(hd2mf(&d, &cur, 0), 0);
  EXPECT_EQ(hi2mb(nullptr, &cur, 0), 0);
  EXPECT_EQ(cur, reinterpret_cast<char *>(bytes));
  EXPECT_EQ(ints[0], 9);
  EXPECT_EQ(bytes[0], 1);
}

TEST(ConvertEdges, NarrowingClipsAndReports) {
  struct Case {
    const char *what;
    Write<int> got;
    Bytes bytes;
    int result;
  } cases[] = {
      {"hi2mb 200", wr<int>(hi2mb, {200}, 1), {0x7F}, -1},
      {"hi2mb -200", wr<int>(hi2mb, {-200}, 1), {0x80}, -1},
      {"hi2mb -128", wr<int>(hi2mb, {-128}, 1), {0x80}, 0},
      {"hi2ms 40000", wr<int>(hi2ms, {40000}, 2), {0x7F, 0xFF}, -1},
      {"hi2vs -2", wr<int>(hi2vs, {-2}, 2), {0xFE, 0xFF}, 0},
      {"hi2mt 8388608", wr<int>(hi2mt, {8388608}, 3), {0x7F, 0xFF, 0xFF}, -1},
      {"hi2vt -8388609", wr<int>(hi2vt, {-8388609}, 3), {0x00, 0x00, 0x80}, -1},
      {"hi2mt -2", wr<int>(hi2mt, {-2}, 3), {0xFF, 0xFF, 0xFE}, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(c.got.bytes, c.bytes) << c.what;
    EXPECT_EQ(c.got.result, c.result) << c.what;
  }
  auto u = wr<unsigned>(uhi2mb, {300}, 1);
  EXPECT_EQ(u.bytes, Bytes{0xFF});
  EXPECT_EQ(u.result, -1);
  auto l = wr<long long>(hl2mi, {2147483648LL}, 4);
  EXPECT_EQ(l.bytes, (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(l.result, -1);
  auto ul = wr<unsigned long long>(uhl2mi, {4294967296ULL}, 4);
  EXPECT_EQ(ul.bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(ul.result, -1);
}

TEST(ConvertEdges, FloatWritersToSmallIntegersClipButTruncateSilently) {
  struct Case {
    float in;
    uint8_t byte;
    int result;
  } cases[] = {{126.9f, 126, 0},    {127.5f, 127, -1},  {kNaNf, 0, 0},
               {-128.5f, 0x80, -1}, {-127.9f, 0x81, 0}, {-1e30f, 0x80, -1}};
  for (const Case &c : cases) {
    auto w = wr<float>(hf2mb, {c.in}, 1);
    EXPECT_EQ(w.bytes, Bytes{c.byte}) << c.in;
    EXPECT_EQ(w.result, c.result) << c.in;
  }
  // 4294967295 becomes 4294967296.0f, so that value is not above the bound.
  auto u = wr<float>(uhf2mi, {4294967296.0f}, 4);
  EXPECT_EQ(u.bytes, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(u.result, 0);
  auto neg = wr<float>(uhf2ms, {-0.5f}, 2);
  EXPECT_EQ(neg.bytes, (Bytes{0, 0}));
  EXPECT_EQ(neg.result, -1);
  auto big = wr<double>(uhd2ml, {18446744073709551616.0}, 8);
  EXPECT_EQ(big.bytes, Bytes(8, 0xFF));
  EXPECT_EQ(big.result, 0);
}

TEST(ConvertEdges, FloatToIntegerReportsFractionsRangeAndNaN) {
  struct Case {
    float in;
    int stored;
    int result;
  } cases[] = {{2.5f, 2, -1},
               {-2.5f, -2, -1},
               {3.0f, 3, 0},
               {kNaNf, 0, -1},
               {1e10f, 2147483647, -1},
               {-1e10f, INT32_MIN, -1},
               {-2147483648.0f, INT32_MIN, 0}};
  for (const Case &c : cases) {
    auto r = rd<int>(mf2hi, be32(std::bit_cast<uint32_t>(c.in)));
    EXPECT_EQ(r.out[0], c.stored) << c.in;
    EXPECT_EQ(r.result, c.result) << c.in;
    EXPECT_EQ(r.advanced, 4);
  }
  // The saturated limit converts back to the very value.
  auto w = wr<float>(hf2mi, {2147483648.0f}, 4);
  EXPECT_EQ(w.bytes, (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(w.result, 0);
  auto neg = rd<unsigned>(umf2hi, {0xBF, 0x80, 0, 0});  // -1.0
  EXPECT_EQ(neg.out[0], 0u);
  EXPECT_EQ(neg.result, -1);
}

TEST(ConvertEdges, IntegerToFloatReportsEveryInexactValue) {
  auto a = rd<float>(mi2hf, be32(16777217)), b = rd<float>(mi2hf, be32(16777216));
  auto c = wr<unsigned>(uhi2mf, {16777217u}, 4);
  // 4294967295 and 2147483647 land on 2^32 and 2^31, which are not those integers.
  auto umax = rd<float>(umi2hf, be32(4294967295u));
  auto imax = wr<int>(hi2mf, {INT32_MAX}, 4);
  struct Case {
    const char *what;
    float stored, want;
    int result, want_result;
  } cases[] = {
      {"mi2hf 16777217", a.out[0], 16777216.0f, a.result, -1},
      {"mi2hf 16777216", b.out[0], 16777216.0f, b.result, 0},
      {"uhi2mf 16777217", be_float(c.bytes), 16777216.0f, c.result, -1},
      {"umi2hf 4294967295", umax.out[0], 4294967296.0f, umax.result, -1},
      {"hi2mf 2147483647", be_float(imax.bytes), 2147483648.0f, imax.result, -1},
  };
  for (const Case &k : cases) {
    EXPECT_EQ(k.stored, k.want) << k.what;
    EXPECT_EQ(k.result, k.want_result) << k.what;
  }
  auto ul = rd<double>(uml2hd, Bytes(8, 0xFF));
  EXPECT_EQ(ul.out[0], 18446744073709551616.0);
  EXPECT_EQ(ul.result, -1);
  EXPECT_EQ(wr<long long>(hl2md, {INT64_MAX}, 8).result, -1);
  EXPECT_EQ(wr<long long>(hl2md, {-(1LL << 53)}, 8).result, 0);
  auto t = rd<float>(mt2hf, {0x80, 0x00, 0x00});
  EXPECT_EQ(t.out[0], -8388608.0f);
  EXPECT_EQ(t.result, 0);
}

TEST(ConvertEdges, SameTypeFloatsCopyNaNAndOnlySomeReportIt) {
  const Bytes nan_m = {0x7F, 0xA0, 0x00, 0x01}, nan_v = {0x01, 0x00, 0xA0, 0x7F};
  auto m = rd<float>(mf2hf, nan_m);
  auto v = rd<float>(vf2hf, nan_v);
  auto a = rd<float>(af2hf, nan_v);  // little-endian hosts
  EXPECT_EQ(m.result, -1);
  EXPECT_EQ(v.result, 0);
  EXPECT_EQ(a.result, 0);
  for (float f : {m.out[0], v.out[0], a.out[0]}) EXPECT_EQ(std::bit_cast<uint32_t>(f), 0x7FA00001u);
  auto vd = rd<double>(vd2hd, {1, 0, 0, 0, 0, 0, 0xF0, 0x7F});
  EXPECT_EQ(std::bit_cast<uint64_t>(vd.out[0]), 0x7FF0000000000001ull);
  EXPECT_EQ(vd.result, -1);
}

TEST(ConvertEdges, DoublesAndTwentyFourBitItemsInBothOrders) {
  EXPECT_EQ(rd<double>(md2hd, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}).out[0], 1.0);
  EXPECT_EQ(rd<double>(vd2hd, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}).out[0], 1.0);
  EXPECT_EQ(rd<int>(mt2hi, {0xFF, 0xFF, 0xFE}).out[0], -2);
  EXPECT_EQ(rd<int>(vt2hi, {0xFE, 0xFF, 0xFF}).out[0], -2);
  EXPECT_EQ(rd<int>(vt2hi, {0x56, 0x34, 0x12}).out[0], 0x123456);
  // The host's doubles are stored with their words in the same order as its integers.
  EXPECT_EQ(std::bit_cast<uint64_t>(1.0), 0x3FF0000000000000ull);
  auto over = wr<double>(hd2mf, {1e300}, 4);
  EXPECT_EQ(over.bytes, (Bytes{0x7F, 0x80, 0, 0}));
  EXPECT_EQ(over.result, -1);
  auto just_below =
      wr<double>(hd2mf, {std::ldexp(2.0 - std::ldexp(1.0, -24), 127) - std::ldexp(1.0, 80)}, 4);
  EXPECT_EQ(just_below.bytes, (Bytes{0x7F, 0x7F, 0xFF, 0xFF}));
  EXPECT_EQ(just_below.result, -1);
  auto third = wr<double>(hd2vf, {1.0 / 3.0}, 4);
  EXPECT_EQ(third.result, -1);
  auto half = wr<double>(hd2af, {0.5}, 4);
  EXPECT_EQ(half.result, 0);
}

TEST(ConvertEdges, SameTypeWriterThenReaderGivesBackTheBits) {
  std::vector<short> s = {0, 1, -1, 32767, -32768, 0x1234};
  std::vector<double> d = {0.0,
                           -0.0,
                           1.5,
                           -1e300,
                           std::bit_cast<double>(0x7FF4000000000001ull),
                           std::bit_cast<double>(0xFFF8000000000000ull)};
  Bytes buf(64);
  char *cur = reinterpret_cast<char *>(buf.data() + 3);
  EXPECT_EQ(hs2ms(s.data(), &cur, (int)s.size()), 0);
  EXPECT_EQ(hd2vd(d.data(), &cur, (int)d.size()), -1);  // NaNs in the array
  cur = reinterpret_cast<char *>(buf.data() + 3);
  std::vector<short> s2(s.size());
  std::vector<double> d2(d.size());
  EXPECT_EQ(ms2hs(&cur, s2.data(), (int)s2.size()), 0);
  EXPECT_EQ(vd2hd(&cur, d2.data(), (int)d2.size()), -1);
  EXPECT_EQ(s2, s);
  for (size_t k = 0; k < d.size(); ++k)
    EXPECT_EQ(std::bit_cast<uint64_t>(d2[k]), std::bit_cast<uint64_t>(d[k])) << k;
}

TEST(ConvertEdges, BlockMovesAllowOverlapAndUnsignedCursorsWork) {
  int a[4] = {1, 2, 3, 4};
  char *cur = reinterpret_cast<char *>(a + 1);
  EXPECT_EQ(ai2hi(&cur, a, 3), 0);
  EXPECT_EQ(a[0], 2);
  EXPECT_EQ(a[2], 4);
  EXPECT_EQ(cur, reinterpret_cast<char *>(a + 4));

  unsigned char pkt[6] = {0x12, 0x34, 0xFF, 0xFE, 0x80, 0};
  unsigned char *ucur = pkt;
  unsigned short us[2];
  int ib[1];
  EXPECT_EQ(ums2hs(&ucur, us, 2), 0);
  EXPECT_EQ(mb2hi(&ucur, ib, 1), 0);
  EXPECT_EQ(us[0], 0x1234);
  EXPECT_EQ(us[1], 0xFFFE);
  EXPECT_EQ(ib[0], -128);
  EXPECT_EQ(ucur, pkt + 5);
  const unsigned short back = 0xABCD;
  ucur = pkt;
  EXPECT_EQ(uhs2ms(&back, &ucur, 1), 0);
  EXPECT_EQ(pkt[0], 0xAB);
  EXPECT_EQ(pkt[1], 0xCD);
  EXPECT_EQ(ucur, pkt + 2);
}

}  // namespace
