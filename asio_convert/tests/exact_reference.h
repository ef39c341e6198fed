#pragma once

#include <cmath>
#include <cstdint>

// round(x * F) with ties to even, saturated to [lo, hi], NaN giving 0: computed on integers,
// independent of any floating-point rounding.
namespace exact_reference {

struct U128 {
  uint64_t hi, lo;
};

inline U128 Multiply(uint64_t m, uint64_t f) {  // m < 2^53, f < 2^32
  const uint64_t m_hi = m >> 32, m_lo = m & 0xFFFFFFFFu;
  const uint64_t upper = m_hi * f;  // < 2^53
  const uint64_t lower = m_lo * f;  // < 2^64
  U128 r;
  r.lo = (upper << 32) + lower;
  r.hi = (upper >> 32) + (r.lo < lower ? 1 : 0);
  return r;
}

inline U128 ShiftRight(U128 v, int s) {
  if (s == 0) return v;
  if (s >= 128) return {0, 0};
  if (s >= 64) return {0, v.hi >> (s - 64)};
  return {v.hi >> s, (v.lo >> s) | (v.hi << (64 - s))};
}

inline U128 LowBits(U128 v, int s) {
  if (s >= 128) return v;
  if (s >= 64) return {v.hi & ((s == 64) ? 0 : ((uint64_t(1) << (s - 64)) - 1)), v.lo};
  return {0, v.lo & ((uint64_t(1) << s) - 1)};
}

inline int Compare(U128 a, U128 b) {
  if (a.hi != b.hi) return a.hi < b.hi ? -1 : 1;
  if (a.lo != b.lo) return a.lo < b.lo ? -1 : 1;
  return 0;
}

inline int64_t RoundScaled(double x, uint64_t full_scale, int64_t lo, int64_t hi) {
  if (std::isnan(x)) return 0;
  if (std::isinf(x)) return x > 0 ? hi : lo;
  if (x == 0) return 0;
  int e = 0;
  const double f = std::frexp(std::fabs(x), &e);
  const uint64_t m = uint64_t(std::ldexp(f, 53));
  const int exponent = e - 53;  // |x| = m * 2^exponent
  const bool negative = x < 0;
  if (exponent >= 0) return negative ? lo : hi;  // |x| >= 2^52
  const int s = -exponent;
  const U128 product = Multiply(m, full_scale);
  U128 q = ShiftRight(product, s);
  if (s <= 128) {
    const U128 rest = LowBits(product, s);
    const U128 half = s - 1 >= 64 ? U128{uint64_t(1) << (s - 1 - 64), 0}
                                  : U128{0, uint64_t(1) << (s - 1)};
    const int c = Compare(rest, half);
    if (c > 0 || (c == 0 && (q.lo & 1))) {
      q.lo += 1;
      if (q.lo == 0) q.hi += 1;
    }
  }
  if (q.hi != 0 || q.lo > (uint64_t(1) << 62)) return negative ? lo : hi;
  const int64_t v = negative ? -int64_t(q.lo) : int64_t(q.lo);
  return v < lo ? lo : v > hi ? hi : v;
}

// round((m * F + noise) * 2^-53) with ties to even, for m * 2^-53 in [1/2, 1) and |noise| <
// 2^53: a positive sample plus dither noise, both in units of 2^-53.
inline int64_t RoundScaledPlusNoise(uint64_t m, uint64_t full_scale, int64_t noise) {
  U128 sum = Multiply(m, full_scale);
  const uint64_t magnitude = noise < 0 ? uint64_t(-noise) : uint64_t(noise);
  if (noise >= 0) {
    sum.lo += magnitude;
    if (sum.lo < magnitude) sum.hi += 1;
  } else {
    if (sum.lo < magnitude) sum.hi -= 1;
    sum.lo -= magnitude;
  }
  const U128 q = ShiftRight(sum, 53);
  const U128 rest = LowBits(sum, 53);
  const int c = Compare(rest, U128{0, uint64_t(1) << 52});
  return int64_t(q.lo) + ((c > 0 || (c == 0 && (q.lo & 1))) ? 1 : 0);
}

}  // namespace exact_reference
