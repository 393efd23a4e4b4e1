// convert_list.h - the one list from which the numeric conversion family is declared,
// defined and tested.
//
// CONVERT_FAMILY(R, W) expands R(name, L, T, U, S) once for every reader and
// W(name, L, T, U, S) once for every writer of the family, where
//   L is the external layout: a (host memory image), m (most significant byte first),
//     v (least significant byte first);
//   T is the external item: b, s, i, l (8, 16, 32, 64-bit integers), f, d (IEEE single
//     and double), t (24-bit signed integer);
//   U is the host type letter (same letters, without t);
//   S is s for the signed members (and the members with no integer side) and u for the
//     unsigned ones.
// Reader names are [u]LT2hU (mb2hi, ums2hs), writer names [u]hU2LT (hi2mb, uhs2ms).
// CONVERT_HOST_TYPE(S, U) gives the host C++ type of a member.
#pragma once

#define CONVERT_HT_s_b signed char
#define CONVERT_HT_u_b unsigned char
#define CONVERT_HT_s_s short
#define CONVERT_HT_u_s unsigned short
#define CONVERT_HT_s_i int
#define CONVERT_HT_u_i unsigned int
#define CONVERT_HT_s_l long long
#define CONVERT_HT_u_l unsigned long long
#define CONVERT_HT_s_f float
#define CONVERT_HT_u_f float
#define CONVERT_HT_s_d double
#define CONVERT_HT_u_d double
#define CONVERT_HOST_TYPE(S, U) CONVERT_HT_##S##_##U

// clang-format off
// A pair with an integer side: reader, writer and their unsigned forms.
#define CONVERT_FOUR_(R, W, L, T, U)                                  \
  R(L##T##2h##U, L, T, U, s)    W(h##U##2##L##T, L, T, U, s)         \
  R(u##L##T##2h##U, L, T, U, u) W(u##h##U##2##L##T, L, T, U, u)
// A pair of two floating types: reader and writer only.
#define CONVERT_TWO_(R, W, L, T, U)                                   \
  R(L##T##2h##U, L, T, U, s)    W(h##U##2##L##T, L, T, U, s)

// The 86 members of one layout: external item, then host type.
#define CONVERT_LAYOUT_(R, W, L)                                                       \
  CONVERT_FOUR_(R, W, L, b, b) CONVERT_FOUR_(R, W, L, b, s) CONVERT_FOUR_(R, W, L, b, i) \
  CONVERT_FOUR_(R, W, L, b, l) CONVERT_FOUR_(R, W, L, b, f) CONVERT_FOUR_(R, W, L, b, d) \
  CONVERT_FOUR_(R, W, L, s, s) CONVERT_FOUR_(R, W, L, s, i) CONVERT_FOUR_(R, W, L, s, l) \
  CONVERT_FOUR_(R, W, L, s, f) CONVERT_FOUR_(R, W, L, s, d)                              \
  CONVERT_FOUR_(R, W, L, i, i) CONVERT_FOUR_(R, W, L, i, l) CONVERT_FOUR_(R, W, L, i, f) \
  CONVERT_FOUR_(R, W, L, i, d)                                                           \
  CONVERT_FOUR_(R, W, L, l, l) CONVERT_FOUR_(R, W, L, l, d)                              \
  CONVERT_FOUR_(R, W, L, f, i) CONVERT_FOUR_(R, W, L, f, l)                              \
  CONVERT_TWO_(R, W, L, f, f)  CONVERT_TWO_(R, W, L, f, d)                               \
  CONVERT_FOUR_(R, W, L, d, l) CONVERT_TWO_(R, W, L, d, d)

#define CONVERT_FAMILY(R, W)                                                   \
  CONVERT_LAYOUT_(R, W, a) CONVERT_LAYOUT_(R, W, m) CONVERT_LAYOUT_(R, W, v)   \
  R(mt2hi, m, t, i, s) W(hi2mt, m, t, i, s) R(mt2hf, m, t, f, s)               \
  R(vt2hi, v, t, i, s) W(hi2vt, v, t, i, s) R(vt2hf, v, t, f, s)
// clang-format on
