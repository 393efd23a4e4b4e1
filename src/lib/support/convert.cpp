// convert.cpp - the numeric conversion family, generated from CONVERT_FAMILY.
//
// Each member is one instantiation of read_items or write_items. The kind of
// conversion (see convert.h) follows from the layout, the external item type, the host
// type and the direction, so the whole family comes from a few templates: item codecs
// per layout, one conversion per kind, and the loop.
#include "support/convert.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

namespace {

enum class Lay { a, m, v };

// External item types. The 24-bit item has no C++ type of its own.
struct Int24 {};

template <class W>
struct Item {
  using V = W;  // value type the item is read into / written from
  static constexpr int size = sizeof(W);
  // Bounds of the integer items, for clipping.
  static constexpr long long lo =
      std::is_integral_v<W> ? (long long)std::numeric_limits<W>::min() : 0;
  static constexpr unsigned long long hi =
      std::is_integral_v<W> ? (unsigned long long)std::numeric_limits<W>::max() : 0;
};
template <>
struct Item<Int24> {
  using V = int32_t;
  static constexpr int size = 3;
  static constexpr long long lo = MIN_t;
  static constexpr unsigned long long hi = MAX_t;
};

// External item type of a letter; the unsigned forms use unsigned items. The integer
// items use the same C++ types as the host arrays, so that same-type members are
// recognised as such.
template <char T, bool Uns>
struct ExtOf;
template <bool U>
struct ExtOf<'b', U> {
  using type = std::conditional_t<U, unsigned char, signed char>;
};
template <bool U>
struct ExtOf<'s', U> {
  using type = std::conditional_t<U, unsigned short, short>;
};
template <bool U>
struct ExtOf<'i', U> {
  using type = std::conditional_t<U, unsigned int, int>;
};
template <bool U>
struct ExtOf<'l', U> {
  using type = std::conditional_t<U, unsigned long long, long long>;
};
template <bool U>
struct ExtOf<'f', U> {
  using type = float;
};
template <bool U>
struct ExtOf<'d', U> {
  using type = double;
};
template <bool U>
struct ExtOf<'t', U> {
  using type = Int24;
};

// Unsigned integer of n bytes, for assembling items.
template <int N>
using Bits = std::conditional_t<
    N == 1, uint8_t,
    std::conditional_t<N == 2, uint16_t, std::conditional_t<N <= 4, uint32_t, uint64_t>>>;

// --- Item codecs ------------------------------------------------------------------

template <Lay L, class W>
typename Item<W>::V load(const unsigned char *p) {
  using V = typename Item<W>::V;
  constexpr int n = Item<W>::size;
  if constexpr (L == Lay::a) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    Bits<n> u = 0;
    for (int k = 0; k < n; ++k) {
      int shift = L == Lay::m ? 8 * (n - 1 - k) : 8 * k;
      u = (Bits<n>)(u | (Bits<n>)((Bits<n>)p[k] << shift));
    }
    if constexpr (std::is_same_v<W, Int24>) {
      // Sign-extend from bit 23.
      return (int32_t)(u << 8) >> 8;
    } else if constexpr (std::is_floating_point_v<V>) {
      return std::bit_cast<V>(u);
    } else {
      return (V)u;
    }
  }
}

template <Lay L, class W>
void store(typename Item<W>::V v, unsigned char *p) {
  constexpr int n = Item<W>::size;
  if constexpr (L == Lay::a) {
    std::memcpy(p, &v, sizeof v);
  } else {
    Bits<n> u;
    if constexpr (std::is_floating_point_v<typename Item<W>::V>)
      u = std::bit_cast<Bits<n>>(v);
    else
      u = (Bits<n>)v;  // the 24-bit item keeps the low 24 bits
    for (int k = 0; k < n; ++k) {
      int shift = L == Lay::m ? 8 * (n - 1 - k) : 8 * k;
      p[k] = (unsigned char)(u >> shift);
    }
  }
}

// --- Numeric conversions -------------------------------------------------------------

// Floating to integer: truncation toward zero, NaN to 0, saturation at the target's
// limits. Never a plain cast of a value the target cannot hold.
template <class I, class F>
I sat_trunc(F x) {
  if (x != x) return 0;
  F t = std::trunc(x);
  // Both limits as exact powers of two in F: [lo, hi_excl).
  constexpr int bits = std::numeric_limits<I>::digits;  // 31 for int, 32 for unsigned
  const F hi_excl = std::ldexp(F(1), bits);
  const F lo = std::is_signed_v<I> ? -hi_excl : F(0);
  if (t < lo) return std::numeric_limits<I>::min();
  if (t >= hi_excl) return std::numeric_limits<I>::max();
  return (I)t;
}

// Double to float, nearest; an infinity beyond the single range (the conversion of such
// a value is otherwise undefined).
float to_float(double x) {
  // The midpoint between FLT_MAX and 2^128 rounds (to even) up to 2^128, i.e. infinity.
  constexpr double overflow = 0x1.ffffffp127;
  if (x >= overflow) return std::numeric_limits<float>::infinity();
  if (x <= -overflow) return -std::numeric_limits<float>::infinity();
  return (float)x;
}

// Whether the floating value f is exactly the integer v, judged without any rounding.
template <class F, class I>
bool equals_exactly(F f, I v) {
  constexpr int bits = std::numeric_limits<I>::digits;
  const F hi_excl = std::ldexp(F(1), bits);
  const F lo = std::is_signed_v<I> ? -hi_excl : F(0);
  if (!(f >= lo && f < hi_excl) || std::trunc(f) != f) return false;
  return (I)f == v;
}

enum class Kind {
  same,
  same_nan,
  widen,
  narrow,
  int_float,
  float_int_clip,
  float_int_exact,
  float_float
};

template <class T>
constexpr bool is_int() {
  return std::is_integral_v<T> || std::is_same_v<T, Int24>;
}
template <class T>
constexpr int bytes() {
  return Item<T>::size;
}

// Kind of a conversion from S to D (Int24 or a C++ arithmetic type) in layout L;
// `writer` says the external side is D.
template <Lay L, class S, class D, bool writer>
constexpr Kind kind_of() {
  if constexpr (is_int<S>() && is_int<D>()) {
    if constexpr (bytes<S>() == bytes<D>())
      return Kind::same;
    else if constexpr (writer)
      return Kind::narrow;
    else
      return Kind::widen;
  } else if constexpr (is_int<S>()) {
    return Kind::int_float;
  } else if constexpr (is_int<D>()) {
    if constexpr (!writer) {
      return Kind::float_int_exact;
    } else {
      constexpr bool widest = (std::is_same_v<S, float> && std::is_same_v<D, int>) ||
                              (std::is_same_v<S, double> && std::is_same_v<D, long long>);
      return widest ? Kind::float_int_exact : Kind::float_int_clip;
    }
  } else if constexpr (std::is_same_v<S, D>) {
    if constexpr (L == Lay::m || (L == Lay::v && std::is_same_v<S, double>))
      return Kind::same_nan;
    else
      return Kind::same;
  } else {
    return Kind::float_float;
  }
}

// One item from value type SV to value type DV; Bounds is the item type whose limits
// apply when narrowing or clipping (the external one, for writers).
template <Kind K, class DV, class Bounds, class SV>
DV convert(SV x, bool &bad) {
  if constexpr (K == Kind::same) {
    return x;
  } else if constexpr (K == Kind::same_nan) {
    if (x != x) bad = true;
    return x;
  } else if constexpr (K == Kind::widen) {
    return (DV)x;
  } else if constexpr (K == Kind::narrow) {
    constexpr long long lo = Item<Bounds>::lo;
    constexpr unsigned long long hi = Item<Bounds>::hi;
    if (std::cmp_less(x, lo)) {
      bad = true;
      return (DV)lo;
    }
    if (std::cmp_greater(x, hi)) {
      bad = true;
      return (DV)hi;
    }
    return (DV)x;
  } else if constexpr (K == Kind::int_float) {
    DV y = (DV)x;
    if (!equals_exactly(y, x)) bad = true;
    return y;
  } else if constexpr (K == Kind::float_int_clip) {
    // The bounds converted to the floating type (UMAX_i becomes 4294967296.0f).
    const SV lo = (SV)Item<Bounds>::lo;
    const SV hi = (SV)Item<Bounds>::hi;
    if (x < lo) {
      bad = true;
      return (DV)Item<Bounds>::lo;
    }
    if (x > hi) {
      bad = true;
      return (DV)Item<Bounds>::hi;
    }
    return sat_trunc<DV>(x);  // a NaN gives 0 here, unreported
  } else if constexpr (K == Kind::float_int_exact) {
    DV y = sat_trunc<DV>(x);
    if ((SV)y != x) bad = true;
    return y;
  } else {  // float_float
    if constexpr (std::is_same_v<DV, float>) {
      float y = to_float(x);
      if ((double)y != x) bad = true;
      return y;
    } else {
      if (x != x) bad = true;
      return (DV)x;
    }
  }
}

template <Lay L, class W, class H>
constexpr bool block_move() {
  if constexpr (!std::is_same_v<typename Item<W>::V, H> || std::is_same_v<W, Int24>)
    return false;
  else if constexpr (L == Lay::a || sizeof(H) == 1)
    return true;
  else
    return L == Lay::v && std::endian::native == std::endian::little &&
           kind_of<L, W, H, false>() == Kind::same;
}

size_t items(int count) { return count > 0 ? (size_t)count : 0; }

template <Lay L, class W, class H>
int read_items(char **cursor, H *array, int count) {
  size_t n = items(count);
  auto *p = reinterpret_cast<const unsigned char *>(*cursor);
  bool bad = false;
  if constexpr (block_move<L, W, H>()) {
    if (n) std::memmove(array, p, n * sizeof(H));
  } else {
    constexpr Kind K = kind_of<L, W, H, false>();
    for (size_t k = 0; k < n; ++k)
      array[k] = convert<K, H, H>(load<L, W>(p + k * Item<W>::size), bad);
  }
  *cursor += n * Item<W>::size;
  return bad ? -1 : 0;
}

template <Lay L, class W, class H>
int write_items(const H *array, char **cursor, int count) {
  size_t n = items(count);
  auto *p = reinterpret_cast<unsigned char *>(*cursor);
  bool bad = false;
  if constexpr (block_move<L, W, H>()) {
    if (n) std::memmove(p, array, n * sizeof(H));
  } else {
    using V = typename Item<W>::V;
    constexpr Kind K = kind_of<L, H, W, true>();
    for (size_t k = 0; k < n; ++k)
      store<L, W>(convert<K, V, W>(array[k], bad), p + k * Item<W>::size);
  }
  *cursor += n * Item<W>::size;
  return bad ? -1 : 0;
}

}  // namespace

#define CONVERT_DEFINE_READER_(name, L, T, U, S)                                       \
  int name(char **cursor, CONVERT_HOST_TYPE(S, U) * array, int count) {                \
    return read_items<Lay::L, ExtOf<#T[0], #S[0] == 'u'>::type>(cursor, array, count); \
  }
#define CONVERT_DEFINE_WRITER_(name, L, T, U, S)                                        \
  int name(const CONVERT_HOST_TYPE(S, U) * array, char **cursor, int count) {           \
    return write_items<Lay::L, ExtOf<#T[0], #S[0] == 'u'>::type>(array, cursor, count); \
  }

CONVERT_FAMILY(CONVERT_DEFINE_READER_, CONVERT_DEFINE_WRITER_)
