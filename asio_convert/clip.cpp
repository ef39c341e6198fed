// The in-place clip routines.

#include <bit>
#include <cmath>
#include <cstdint>

#include "asio_convert/asio_convert.h"
#include "asio_convert/convert_kernels.h"

namespace {

inline float DigitalSingle(float x) {
  const uint32_t bits = std::bit_cast<uint32_t>(x);
  // On the bit pattern, so that infinities and NaNs count as larger than 1.
  if ((bits & 0x7FFFFFFFu) > 0x3F800000u) return std::bit_cast<float>((bits & 0x80000000u) | 0x3F800000u);
  return x;
}

// The branch-free form loses the ±1 once x ± 1 rounds to x (|x| ≥ 2^53) and gives NaN for
// infinities; there the limit itself is the answer.
inline double DigitalDouble(double x) {
  if (std::fabs(x) > 0x1p52) return std::copysign(1.0, x);
  return (std::fabs(x + 1.0) - std::fabs(x - 1.0)) * 0.5;
}

constexpr float kThree = 3.0f, kSix = 6.0f;

template <class Float>
inline Float Analog(Float x) {
  const Float a = std::fabs(x);
  const Float t = Float(kThree) + a;
  return (Float(2) * x * t) / (a * t + Float(kSix));
}

// Where the products overflow the formula gives NaN or infinity instead of its limit ±2.
inline double AnalogDouble(double x) {
  if (!(std::fabs(x) <= 0x1p500)) return x == x ? std::copysign(2.0, x) : x;
  return Analog(x);
}
inline float AnalogSingleInSinglePrecision(float x) {
  if (!(std::fabs(x) <= 0x1p62f)) return x == x ? std::copysign(2.0f, x) : x;
  return Analog(x);
}

}  // namespace

void ClipDigitalSingle(float* samples, int32_t count) {
  for (int32_t i = 0; i < count; ++i) samples[i] = DigitalSingle(samples[i]);
}

void ClipDigitalDouble(double* samples, int32_t count) {
  asio_convert::detail::NearestRoundingScope rounding;
  for (int32_t i = 0; i < count; ++i) samples[i] = DigitalDouble(samples[i]);
}

void ClipAnalogSingle(float* samples, int32_t count) {
  asio_convert::detail::NearestRoundingScope rounding;
  for (int32_t i = 0; i < count; ++i) samples[i] = float(AnalogDouble(samples[i]));
}

void ClipAnalogDouble(double* samples, int32_t count) {
  asio_convert::detail::NearestRoundingScope rounding;
  for (int32_t i = 0; i < count; ++i) samples[i] = AnalogDouble(samples[i]);
}

void ClipDigitalSingle_SSE(float* samples, int32_t count) {
  int32_t i = 0;
#if ASIO_CONVERT_SSE2
  const __m128 one = _mm_set1_ps(1.0f), minus_one = _mm_set1_ps(-1.0f);
  for (; i + 16 <= count; i += 16) {
    for (int k = 0; k < 16; k += 4) {
      _mm_storeu_ps(samples + i + k,
                    _mm_max_ps(_mm_min_ps(_mm_loadu_ps(samples + i + k), one), minus_one));
    }
  }
#endif
  for (; i < count; ++i) samples[i] = DigitalSingle(samples[i]);
}

void ClipAnalogSingle_SSE(float* samples, int32_t count) {
  asio_convert::detail::NearestRoundingScope rounding;
  int32_t i = 0;
#if ASIO_CONVERT_SSE2
  const __m128 three = _mm_set1_ps(kThree), six = _mm_set1_ps(kSix), two = _mm_set1_ps(2.0f);
  const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(INT32_MAX));
  const __m128 sign_mask = _mm_castsi128_ps(_mm_set1_epi32(INT32_MIN));
  const __m128 overflow = _mm_set1_ps(0x1p62f);
  for (; i + 4 <= count; i += 4) {
    const __m128 x = _mm_loadu_ps(samples + i);
    const __m128 a = _mm_and_ps(x, abs_mask);
    const __m128 t = _mm_add_ps(three, a);
    __m128 y = _mm_div_ps(_mm_mul_ps(_mm_mul_ps(two, x), t), _mm_add_ps(_mm_mul_ps(a, t), six));
    // Beyond 2^62 (infinities included) the limit ±2; NaN stays NaN.
    const __m128 big = _mm_cmpgt_ps(a, overflow);
    const __m128 limit = _mm_or_ps(two, _mm_and_ps(x, sign_mask));
    y = _mm_or_ps(_mm_andnot_ps(big, y), _mm_and_ps(big, limit));
    _mm_storeu_ps(samples + i, y);
  }
#endif
  for (; i < count; ++i) samples[i] = AnalogSingleInSinglePrecision(samples[i]);
}
