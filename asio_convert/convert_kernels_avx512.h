#pragma once

// AVX-512 paths of the plain conversions to 32-bit integers and of doubles to 16-bit
// integers, sixteen samples at a time, chosen at run time like the AVX2 paths. Masks make
// NaN 0, pick out the lanes that need the exact rule and take the tail without a scalar loop.

#include <immintrin.h>

#define ASIO_CONVERT_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers, which it then
// reports as maybe uninitialised where they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace asio_convert::detail {

// Set once when the library is loaded; false until then, which leaves the AVX2 choice.
extern bool g_use_avx512;
bool ProcessorHasAvx512();

// Singles to 16-bit samples stay on the AVX2 path: its conversion in single precision
// measured no slower than the exact double product on sixteen lanes.
template <class Fmt, class Float>
inline constexpr bool kHasAvx512Path =
    !Fmt::kIsFloat && (Fmt::kBits == 32 || (Fmt::kContainer == Container::kInt16 &&
                                            std::is_same_v<Float, double>));

// Sixteen lanes to sixteen samples, saturated to the container; writes only the lanes in `m`.
template <class Fmt>
ASIO_CONVERT_AVX512 inline void StoreInt16Lanes(uint8_t* p, __m512i v, __mmask16 m) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    __m256i w = _mm512_cvtsepi32_epi16(v);
    if (Fmt::kBigEndian) w = _mm256_shuffle_epi8(w, _mm256_broadcastsi128_si256(SwapMask<Fmt>()));
    _mm256_mask_storeu_epi16(p, m, w);
  } else {
    if (Fmt::kBigEndian) v = _mm512_shuffle_epi8(v, _mm512_broadcast_i32x4(SwapMask<Fmt>()));
    _mm512_mask_storeu_epi32(p, m, v);
  }
}

ASIO_CONVERT_AVX512 inline __m512i JoinHalves(__m256i lo, __m256i hi) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

template <class Fmt, class Float>
ASIO_CONVERT_AVX512 int32_t FromFloatAvx512(const Float* src, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  const __m512d scale = _mm512_set1_pd(Fmt::kFullScale);
  for (int32_t i = 0; i < count; i += 16) {
    const int32_t left = count - i;
    const __mmask16 m = left >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << left) - 1);
    __m512i r;
    __mmask16 redo;
    if constexpr (std::is_same_v<Float, float>) {
      // Limited to 1 from above and NaN made 0; far below -1 the conversion gives INT32_MIN,
      // the saturated value. The double product is rounded once, so only the two false ties
      // the SSE2 path names need the exact rule.
      __m512 x = _mm512_maskz_loadu_ps(m, src + i);
      const __mmask16 ordered = _mm512_cmp_ps_mask(x, x, _CMP_ORD_Q);
      const __m512 magnitude = _mm512_abs_ps(x);
      redo = _mm512_cmp_ps_mask(magnitude, _mm512_set1_ps(0.5f + 0x1p-24f), _CMP_EQ_OQ) |
             _mm512_cmp_ps_mask(magnitude, _mm512_set1_ps(0.5f + 0x1p-23f), _CMP_EQ_OQ);
      x = _mm512_maskz_min_ps(ordered, x, _mm512_set1_ps(1.0f));
      const __m512d a = _mm512_cvtps_pd(_mm512_castps512_ps256(x));
      const __m512d b = _mm512_cvtps_pd(_mm512_extractf32x8_ps(x, 1));
      r = JoinHalves(_mm512_cvtpd_epi32(_mm512_mul_pd(a, scale)),
                     _mm512_cvtpd_epi32(_mm512_mul_pd(b, scale)));
    } else {
      // As the AVX2 path: right unless the product lies on a half, is NaN or is beyond the
      // 32-bit range (INT32_MIN lies far from it), when the lane takes the exact rule.
      const __m512d a = _mm512_mul_pd(_mm512_maskz_loadu_pd(__mmask8(m), src + i), scale);
      const __m512d b = _mm512_mul_pd(_mm512_maskz_loadu_pd(__mmask8(m >> 8), src + i + 8), scale);
      const __m256i ra = _mm512_cvtpd_epi32(a), rb = _mm512_cvtpd_epi32(b);
      const __m512d half = _mm512_set1_pd(0.5);
      const __mmask8 redo_a = _mm512_cmp_pd_mask(
          _mm512_abs_pd(_mm512_sub_pd(a, _mm512_cvtepi32_pd(ra))), half, _CMP_NLT_UQ);
      const __mmask8 redo_b = _mm512_cmp_pd_mask(
          _mm512_abs_pd(_mm512_sub_pd(b, _mm512_cvtepi32_pd(rb))), half, _CMP_NLT_UQ);
      redo = __mmask16(redo_a | (unsigned(redo_b) << 8));
      r = JoinHalves(ra, rb);
    }
    StoreInt16Lanes<Fmt>(dst + i * Fmt::kBytes, r, m);
    for (unsigned rest = redo & m; __builtin_expect(rest != 0, 0); rest &= rest - 1) {
      const int k = __builtin_ctz(rest);
      ScalarFromFloat<Fmt>(src[i + k], dst + (i + k) * Fmt::kBytes);
    }
  }
  return count;
}

}  // namespace asio_convert::detail

#pragma GCC diagnostic pop
