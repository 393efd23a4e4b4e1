// convert.h - numeric format conversion: arrays of numbers between host variables and
// external byte images (wire fields, packet payloads, file records).
//
// Every member moves `count` items in one direction through a byte cursor that it
// advances by count times the external item size:
//   reader  int LT2hU(char **cursor, U *array, int count)        e.g. mb2hi, ums2hs
//   writer  int hU2LT(const U *array, char **cursor, int count)  e.g. hi2mb, uhs2ms
// The external layouts are a (the host's own memory image of the item type), m (most
// significant byte first; IEEE images most significant byte first) and v (least
// significant byte first). The external buffer needs no alignment. The full list of
// members is CONVERT_FAMILY in support/convert_list.h: 86 per layout plus the 24-bit
// members mt2hi, hi2mt, mt2hf, vt2hi, hi2vt, vt2hf.
//
// Result: 0 when every item converted exactly, -1 when at least one was clipped, lost
// precision or was a NaN (as the member's kind of conversion defines it below). Every
// item is converted and stored in any case, and the cursor always advances by the full
// amount; nothing is logged.
//   - same type: copied; only mf2hf, hf2mf, md2hd, hd2md, vd2hd, hd2vd report a NaN.
//   - integer widening (readers): sign- or zero-extended, never reported.
//   - integer narrowing (writers): clipped to the external type's bounds, reported.
//   - integer to floating: rounded to nearest; reported when the stored value is not
//     exactly the source integer (judged exactly, so 4294967295 stored as the float
//     4294967296.0 is reported).
//   - floating to integer writers to b and s, to unsigned i from float, to i and to
//     unsigned l from double: a value beyond the bounds (converted to the floating
//     type) is clipped and reported; any other value is truncated toward zero without
//     report, and a NaN is stored as 0 without report.
//   - floating to integer otherwise (readers from f and d, writers hf2?i and hd2?l):
//     truncated toward zero, saturated at the target's limits, NaN stored as 0;
//     reported when the stored integer converted back differs from the source value.
//   - double to float: rounded to nearest, infinity beyond the single range; reported
//     when converting back does not give the source (NaN, inexact, overflow); float to
//     double reports only a NaN.
// The same-type a members, every b-to-b member and, on little-endian hosts, the v
// same-type members except vd2hd/hd2vd are one block move (overlap allowed).
//
// Stateless and reentrant. Overloads taking an unsigned char cursor are provided for
// callers whose buffers are unsigned bytes.
#pragma once

#include "support/convert_list.h"

// Clipping bounds of the integer item types.
inline constexpr int MIN_b = -128, MAX_b = 127;
inline constexpr int UMIN_b = 0, UMAX_b = 255;
inline constexpr int MIN_s = -32768, MAX_s = 32767;
inline constexpr int UMIN_s = 0, UMAX_s = 65535;
inline constexpr int MIN_i = -2147483647 - 1, MAX_i = 2147483647;
inline constexpr unsigned int UMIN_i = 0, UMAX_i = 4294967295u;
inline constexpr unsigned long long UMIN_l = 0, UMAX_l = 18446744073709551615ull;
inline constexpr int MIN_t = -8388608, MAX_t = 8388607;

#define CONVERT_DECLARE_READER_(name, L, T, U, S)                                       \
  int name(char **cursor, CONVERT_HOST_TYPE(S, U) * array, int count);                  \
  inline int name(unsigned char **cursor, CONVERT_HOST_TYPE(S, U) * array, int count) { \
    char *c = reinterpret_cast<char *>(*cursor);                                        \
    int r = name(&c, array, count);                                                     \
    *cursor = reinterpret_cast<unsigned char *>(c);                                     \
    return r;                                                                           \
  }
#define CONVERT_DECLARE_WRITER_(name, L, T, U, S)                                             \
  int name(const CONVERT_HOST_TYPE(S, U) * array, char **cursor, int count);                  \
  inline int name(const CONVERT_HOST_TYPE(S, U) * array, unsigned char **cursor, int count) { \
    char *c = reinterpret_cast<char *>(*cursor);                                              \
    int r = name(array, &c, count);                                                           \
    *cursor = reinterpret_cast<unsigned char *>(c);                                           \
    return r;                                                                                 \
  }

CONVERT_FAMILY(CONVERT_DECLARE_READER_, CONVERT_DECLARE_WRITER_)

#undef CONVERT_DECLARE_READER_
#undef CONVERT_DECLARE_WRITER_
