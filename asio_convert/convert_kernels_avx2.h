#pragma once

// AVX2 paths of the plain integer conversions, eight samples at a time, chosen at run time
// on processors that have AVX2 (and an operating system that saves its registers). They
// compute exactly what the SSE2 paths compute, on twice the lanes.

#include <immintrin.h>

#define ASIO_CONVERT_AVX2 __attribute__((target("avx2")))

namespace asio_convert::detail {

// Set once when the library is loaded; false until then, which selects the SSE2 paths.
extern bool g_use_avx2;
bool ProcessorHasAvx2();

// Byte shuffles: per 128-bit half, gather the bytes named by each mask byte (-1: zero).
template <class Fmt>
ASIO_CONVERT_AVX2 inline __m128i SwapMask() {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    return _mm_setr_epi8(1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14);
  } else {
    return _mm_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
  }
}

// Four packed 24-bit samples (12 bytes, read exactly) into the top three bytes of four lanes.
template <class Fmt>
ASIO_CONVERT_AVX2 inline __m128i LoadInt24Top(const uint8_t* p) {
  const __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                       _mm_cvtsi32_si128(int(LoadRaw<uint32_t>(p + 8))));
  const __m128i mask = Fmt::kBigEndian
                           ? _mm_setr_epi8(-1, 2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9)
                           : _mm_setr_epi8(-1, 0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11);
  return _mm_shuffle_epi8(x, mask);
}

template <class Fmt>
ASIO_CONVERT_AVX2 inline __m256i LoadInt8(const uint8_t* p) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (Fmt::kBigEndian) v = _mm_shuffle_epi8(v, SwapMask<Fmt>());
    return _mm256_cvtepi16_epi32(v);
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    const __m256i top = _mm256_inserti128_si256(_mm256_castsi128_si256(LoadInt24Top<Fmt>(p)),
                                                LoadInt24Top<Fmt>(p + 12), 1);
    return _mm256_srai_epi32(top, 8);
  } else {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    if (Fmt::kBigEndian) {
      const __m128i m = SwapMask<Fmt>();
      v = _mm256_shuffle_epi8(v, _mm256_inserti128_si256(_mm256_castsi128_si256(m), m, 1));
    }
    return v;
  }
}

// Eight lanes within the container's range to eight samples; writes exactly 8 * kBytes.
template <class Fmt>
ASIO_CONVERT_AVX2 inline void StoreInt8(uint8_t* p, __m256i v) {
  const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
  if constexpr (Fmt::kContainer == Container::kInt16) {
    __m128i w = _mm_packs_epi32(lo, hi);
    if (Fmt::kBigEndian) w = _mm_shuffle_epi8(w, SwapMask<Fmt>());
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), w);
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    // Twelve bytes at the start of each half, then the halves joined: 24 bytes in order.
    const __m128i mask =
        Fmt::kBigEndian ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                        : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i packed = _mm256_permutevar8x32_epi32(
        _mm256_shuffle_epi8(v, _mm256_inserti128_si256(_mm256_castsi128_si256(mask), mask, 1)),
        _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p + 16), _mm256_extracti128_si256(packed, 1));
  } else {
    if (Fmt::kBigEndian) {
      const __m128i m = SwapMask<Fmt>();
      v = _mm256_shuffle_epi8(v, _mm256_inserti128_si256(_mm256_castsi128_si256(m), m, 1));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
}

template <class Fmt, class Float>
ASIO_CONVERT_AVX2 int32_t ToFloatAvx2(const void* source, Float* dst, int32_t count) {
  const auto* src = static_cast<const uint8_t*>(source);
  const int32_t n = count & ~7;
  const __m256 single_factor = _mm256_set1_ps(kInv32767);
  const __m256d factor = _mm256_set1_pd(InputFactor<Fmt>());
  [[maybe_unused]] __m256i half_ways = _mm256_setzero_si256();
  for (int32_t i = 0; i < n; i += 8) {
    const __m256i v = LoadInt8<Fmt>(src + i * Fmt::kBytes);
    if constexpr (Fmt::kContainer == Container::kInt16 && std::is_same_v<Float, float>) {
      _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_cvtepi32_ps(v), single_factor));
    } else {
      const __m256d lo = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(v)), factor);
      const __m256d hi = _mm256_mul_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(v, 1)), factor);
      if constexpr (std::is_same_v<Float, float>) {
        // As MarkSingleHalfWays, on four lanes a pair.
        const __m256i lows = _mm256_castps_si256(
            _mm256_shuffle_ps(_mm256_castpd_ps(lo), _mm256_castpd_ps(hi), _MM_SHUFFLE(2, 0, 2, 0)));
        half_ways = _mm256_or_si256(half_ways, _mm256_cmpeq_epi32(_mm256_slli_epi32(lows, 3),
                                                                  _mm256_set1_epi32(INT32_MIN)));
        _mm256_storeu_ps(dst + i, _mm256_insertf128_ps(_mm256_castps128_ps256(_mm256_cvtpd_ps(lo)),
                                                       _mm256_cvtpd_ps(hi), 1));
      } else {
        _mm256_storeu_pd(dst + i, lo);
        _mm256_storeu_pd(dst + i + 4, hi);
      }
    }
  }
  // Narrowing rounded a second time where a product lay half-way (rarely): those samples
  // take the scalar rule.
  if constexpr (kNarrowsProduct<Fmt, Float>) {
    if (_mm256_movemask_ps(_mm256_castsi256_ps(half_ways)) != 0)
      SettleSingleHalfWays<Fmt>(src, dst, n);
  }
  return n;
}

// As RoundPair, on four values.
template <bool kCheck>
ASIO_CONVERT_AVX2 inline __m256d RoundQuad(__m256d s, __m256d lo, __m256d hi, __m256d& suspect) {
  const __m256d magic = _mm256_set1_pd(kRoundingMagic);
  s = _mm256_and_pd(s, _mm256_cmp_pd(s, s, _CMP_ORD_Q));
  s = _mm256_min_pd(_mm256_max_pd(s, lo), hi);
  const __m256d t = _mm256_add_pd(s, magic);
  if constexpr (kCheck) {
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
    const __m256d distance = _mm256_and_pd(_mm256_sub_pd(s, _mm256_sub_pd(t, magic)), abs_mask);
    suspect = _mm256_or_pd(suspect,
                           _mm256_cmp_pd(distance, _mm256_set1_pd(0.5 - kTieMargin), _CMP_GE_OQ));
  }
  return t;
}

// As RoundQuad<true>, with NaN lanes marked suspect rather than zeroed (the exact rule gives
// them 0): the limits are the first operands of max and min, so a NaN passes through them.
ASIO_CONVERT_AVX2 inline __m256d RoundQuadMarkingNaN(__m256d s, __m256d lo, __m256d hi,
                                                     __m256d& suspect) {
  const __m256d magic = _mm256_set1_pd(kRoundingMagic);
  s = _mm256_min_pd(hi, _mm256_max_pd(lo, s));
  const __m256d t = _mm256_add_pd(s, magic);
  const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
  const __m256d distance = _mm256_and_pd(_mm256_sub_pd(s, _mm256_sub_pd(t, magic)), abs_mask);
  suspect =
      _mm256_or_pd(suspect, _mm256_cmp_pd(distance, _mm256_set1_pd(0.5 - kTieMargin), _CMP_NLT_UQ));
  return t;
}

// The integers of two rounded quads as eight 32-bit lanes, in order.
ASIO_CONVERT_AVX2 inline __m256i JoinQuads(__m256d a, __m256d b) {
  const __m256 low_halves =
      _mm256_shuffle_ps(_mm256_castpd_ps(a), _mm256_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0));
  return _mm256_permute4x64_epi64(_mm256_castps_si256(low_halves), _MM_SHUFFLE(3, 1, 2, 0));
}

template <class Fmt, class Float>
ASIO_CONVERT_AVX2 int32_t FromFloatAvx2(const Float* src, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  const int32_t n = count & ~7;
  auto redo = [&](int32_t i) {
    for (int k = 0; k < 8; ++k) ScalarFromFloat<Fmt>(src[i + k], dst + (i + k) * Fmt::kBytes);
  };
  if constexpr (Fmt::kContainer == Container::kInt16 && std::is_same_v<Float, float>) {
    // Only the upper limit is needed: far below it the conversion gives INT32_MIN, which
    // the packing saturates like any value below -32768. A NaN passes the limit (its first
    // operand) and leaves a NaN distance, which sends its group to the exact rule as a tie
    // does; so does a product below -2^31, which saturates there as well.
    const __m256 scale = _mm256_set1_ps(32767.0f), two = _mm256_set1_ps(2.0f);
    const __m256 half = _mm256_set1_ps(0.5f);
    const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX));
    auto convert = [&](int32_t i, __m256& distance) ASIO_CONVERT_AVX2 {
      const __m256 s = _mm256_mul_ps(_mm256_min_ps(two, _mm256_loadu_ps(src + i)), scale);
      const __m256i r = _mm256_cvtps_epi32(s);
      distance = _mm256_and_ps(_mm256_sub_ps(s, _mm256_cvtepi32_ps(r)), abs_mask);
      return r;
    };
    // A product in single precision lands on a half about once in a thousand samples; the
    // exact product in double settles such a group without leaving the vector registers.
    const __m256d wide_scale = _mm256_set1_pd(32767.0);
    auto exact = [&](int32_t at) ASIO_CONVERT_AVX2 {
      __m256 x = _mm256_loadu_ps(src + at);
      x = _mm256_min_ps(_mm256_and_ps(x, _mm256_cmp_ps(x, x, _CMP_ORD_Q)), two);
      const __m128i lo =
          _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), wide_scale));
      const __m128i hi = _mm256_cvtpd_epi32(
          _mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), wide_scale));
      StoreInt8<Fmt>(dst + at * Fmt::kBytes,
                     _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
    };
    int32_t i = 0;
    for (; i + 16 <= n; i += 16) {
      __m256 d0, d1;
      const __m256i r0 = convert(i, d0), r1 = convert(i + 8, d1);
      // Each distance compared on its own: max would drop a NaN.
      if (__builtin_expect(
              _mm256_movemask_ps(_mm256_or_ps(_mm256_cmp_ps(d0, half, _CMP_NLT_UQ),
                                              _mm256_cmp_ps(d1, half, _CMP_NLT_UQ))) != 0,
              0)) {
        exact(i);
        exact(i + 8);
      } else {
        // Packing works within 128-bit halves: put the eight 16-bit pairs back in order.
        __m256i w = _mm256_permute4x64_epi64(_mm256_packs_epi32(r0, r1), _MM_SHUFFLE(3, 1, 2, 0));
        if (Fmt::kBigEndian) {
          const __m128i m = SwapMask<Fmt>();
          w = _mm256_shuffle_epi8(w, _mm256_inserti128_si256(_mm256_castsi128_si256(m), m, 1));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i * Fmt::kBytes), w);
      }
    }
    if (i < n) {
      __m256 d0;
      const __m256i r0 = convert(i, d0);
      if (_mm256_movemask_ps(_mm256_cmp_ps(d0, half, _CMP_NLT_UQ)) != 0) {
        exact(i);
      } else {
        StoreInt8<Fmt>(dst + i * Fmt::kBytes, r0);
      }
    }
  } else if constexpr (std::is_same_v<Float, double> &&
                       (Fmt::kContainer == Container::kInt16 || Fmt::kBits == 32)) {
    // Double input: the product is rounded once, so the conversion is right unless it lies
    // on a half. No limits: a product beyond the 32-bit range or NaN converts to INT32_MIN,
    // whose distance from the product is far from a half or NaN, and takes the exact rule;
    // for 16-bit samples anything else within that range is saturated by the packing.
    const __m256d scale = _mm256_set1_pd(Fmt::kFullScale), half = _mm256_set1_pd(0.5);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(INT64_MAX));
    for (int32_t i = 0; i < n; i += 8) {
      const __m256d s0 = _mm256_mul_pd(_mm256_loadu_pd(src + i), scale);
      const __m256d s1 = _mm256_mul_pd(_mm256_loadu_pd(src + i + 4), scale);
      const __m128i r0 = _mm256_cvtpd_epi32(s0), r1 = _mm256_cvtpd_epi32(s1);
      const __m256d d0 = _mm256_and_pd(_mm256_sub_pd(s0, _mm256_cvtepi32_pd(r0)), abs_mask);
      const __m256d d1 = _mm256_and_pd(_mm256_sub_pd(s1, _mm256_cvtepi32_pd(r1)), abs_mask);
      // Each distance compared on its own: max would drop a NaN.
      if (__builtin_expect(
              _mm256_movemask_pd(_mm256_or_pd(_mm256_cmp_pd(d0, half, _CMP_NLT_UQ),
                                              _mm256_cmp_pd(d1, half, _CMP_NLT_UQ))) != 0,
              0)) {
        redo(i);
      } else if constexpr (Fmt::kContainer == Container::kInt16) {
        __m128i w = _mm_packs_epi32(r0, r1);
        if (Fmt::kBigEndian) w = _mm_shuffle_epi8(w, SwapMask<Fmt>());
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * Fmt::kBytes), w);
      } else {
        StoreInt8<Fmt>(dst + i * Fmt::kBytes,
                       _mm256_inserti128_si256(_mm256_castsi128_si256(r0), r1, 1));
      }
    }
  } else if constexpr (Fmt::kBits == 32 && std::is_same_v<Float, float>) {
    // Limited to 1 from above and NaN made 0 in single precision, eight lanes at once; far
    // below -1 the conversion gives INT32_MIN, the saturated value. The double product is
    // rounded once, so only the two false ties the SSE2 path names need the exact rule.
    const __m256 abs_single = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX));
    const __m256 tie_a = _mm256_set1_ps(0.5f + 0x1p-24f), tie_b = _mm256_set1_ps(0.5f + 0x1p-23f);
    const __m256 one = _mm256_set1_ps(1.0f);
    const __m256d scale = _mm256_set1_pd(Fmt::kFullScale);
    for (int32_t i = 0; i < n; i += 8) {
      __m256 x = _mm256_loadu_ps(src + i);
      const __m256 magnitude = _mm256_and_ps(x, abs_single);
      const int known_tie =
          _mm256_movemask_ps(_mm256_or_ps(_mm256_cmp_ps(magnitude, tie_a, _CMP_EQ_OQ),
                                          _mm256_cmp_ps(magnitude, tie_b, _CMP_EQ_OQ)));
      x = _mm256_min_ps(_mm256_and_ps(x, _mm256_cmp_ps(x, x, _CMP_ORD_Q)), one);
      const __m128i lo =
          _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_castps256_ps128(x)), scale));
      const __m128i hi =
          _mm256_cvtpd_epi32(_mm256_mul_pd(_mm256_cvtps_pd(_mm256_extractf128_ps(x, 1)), scale));
      if (__builtin_expect(known_tie != 0, 0)) {
        redo(i);
      } else {
        StoreInt8<Fmt>(dst + i * Fmt::kBytes,
                       _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1));
      }
    }
  } else {
    // The same choice of checks as the SSE2 path.
    constexpr bool kSingle = std::is_same_v<Float, float>;
    constexpr bool kCheck = !kSingle;
    constexpr bool kKnownTies = kSingle && Fmt::kBits == 32;
    const __m256 abs_single = _mm256_castsi256_ps(_mm256_set1_epi32(INT32_MAX));
    const __m256 tie_a = _mm256_set1_ps(0.5f + 0x1p-24f), tie_b = _mm256_set1_ps(0.5f + 0x1p-23f);
    const __m256d scale = _mm256_set1_pd(Fmt::kFullScale);
    const __m256d lo = _mm256_set1_pd(Fmt::kMin), hi = _mm256_set1_pd(Fmt::kMax);
    for (int32_t i = 0; i < n; i += 8) {
      __m256d a, b, suspect = _mm256_setzero_pd();
      int known_tie = 0;
      if constexpr (kSingle) {
        const __m256 x = _mm256_loadu_ps(src + i);
        if constexpr (kKnownTies) {
          const __m256 magnitude = _mm256_and_ps(x, abs_single);
          known_tie = _mm256_movemask_ps(_mm256_or_ps(_mm256_cmp_ps(magnitude, tie_a, _CMP_EQ_OQ),
                                                      _mm256_cmp_ps(magnitude, tie_b, _CMP_EQ_OQ)));
        }
        a = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
        b = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
      } else {
        a = _mm256_loadu_pd(src + i);
        b = _mm256_loadu_pd(src + i + 4);
      }
      __m256d ra, rb;
      if constexpr (kCheck) {
        ra = RoundQuadMarkingNaN(_mm256_mul_pd(a, scale), lo, hi, suspect);
        rb = RoundQuadMarkingNaN(_mm256_mul_pd(b, scale), lo, hi, suspect);
      } else {
        ra = RoundQuad<false>(_mm256_mul_pd(a, scale), lo, hi, suspect);
        rb = RoundQuad<false>(_mm256_mul_pd(b, scale), lo, hi, suspect);
      }
      if ((kCheck || kKnownTies) &&
          __builtin_expect((_mm256_movemask_pd(suspect) | known_tie) != 0, 0)) {
        redo(i);
      } else {
        StoreInt8<Fmt>(dst + i * Fmt::kBytes, JoinQuads(ra, rb));
      }
    }
  }
  return n;
}

// Generator states kept with their sign bit flipped: the multiplier is odd, so a flipped
// state follows the same recurrence, and reads directly as the unsigned offset d + 2^31 of
// its draw d. Each state is stepped by the jump whose multiplier and increment are given.
inline constexpr uint32_t kFlip = 0x80000000u;

// Four states, one in the low half of each 64-bit lane, for rectangular noise.
struct LcgQuad {
  __m256i state;
  ASIO_CONVERT_AVX2 LcgQuad(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
      : state(_mm256_setr_epi32(int(a ^ kFlip), 0, int(b ^ kFlip), 0, int(c ^ kFlip), 0,
                                int(d ^ kFlip), 0)) {}
  ASIO_CONVERT_AVX2 void Step(__m256i power, __m256i offset) {
    state = _mm256_add_epi32(_mm256_mul_epu32(state, power), offset);
  }
  // The draws scaled by 2^-32: with 2^20's exponent above the offset draw, the double is
  // 2^20 + (d + 2^31) * 2^-32.
  ASIO_CONVERT_AVX2 __m256d Noise() const {
    const __m256i bits = _mm256_blend_epi32(state, _mm256_set1_epi64x(0x4130000000000000ll), 0xAA);
    return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_set1_pd(0x1p20 + 0.5));
  }
};

// Eight states, two per 64-bit lane, for triangular noise: a lane's two draws are summed as
// 64-bit integers, which cannot wrap, under 2^19's exponent, giving
// 2^19 + (d1 + d2 + 2^32) * 2^-33.
struct LcgPairs {
  __m256i state;
  explicit ASIO_CONVERT_AVX2 LcgPairs(const uint32_t* draws)
      : state(_mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(draws)),
                               _mm256_set1_epi32(int(kFlip)))) {}
  ASIO_CONVERT_AVX2 void Step(__m256i power, __m256i offset) {
    state = _mm256_add_epi32(_mm256_mullo_epi32(state, power), offset);
  }
  ASIO_CONVERT_AVX2 __m256d Noise() const {
    const __m256i low = _mm256_blend_epi32(state, _mm256_set1_epi64x(0x4120000000000000ll), 0xAA);
    const __m256i bits = _mm256_add_epi64(low, _mm256_srli_epi64(state, 32));
    return _mm256_sub_pd(_mm256_castsi256_pd(bits), _mm256_set1_pd(0x1p19 + 0.5));
  }
};

template <class Float>
ASIO_CONVERT_AVX2 inline void LoadAsDoubles8(const Float* p, __m256d& a, __m256d& b) {
  if constexpr (std::is_same_v<Float, float>) {
    const __m256 x = _mm256_loadu_ps(p);
    a = _mm256_cvtps_pd(_mm256_castps256_ps128(x));
    b = _mm256_cvtps_pd(_mm256_extractf128_ps(x, 1));
  } else {
    a = _mm256_loadu_pd(p);
    b = _mm256_loadu_pd(p + 4);
  }
}

// Eight samples from `at` with their noise in memory order: exact unless a lane lies at a
// tie or is NaN, when the group takes the exact rule.
template <class Fmt, class Float>
ASIO_CONVERT_AVX2 inline void DitherGroupAvx2(const Float* src, uint8_t* dst, int32_t at,
                                              __m256d noise_a, __m256d noise_b) {
  const __m256d scale = _mm256_set1_pd(Fmt::kFullScale);
  const __m256d lo = _mm256_set1_pd(Fmt::kMin), hi = _mm256_set1_pd(Fmt::kMax);
  __m256d a, b, suspect = _mm256_setzero_pd();
  LoadAsDoubles8(src + at, a, b);
  const __m256d ra =
      RoundQuadMarkingNaN(_mm256_add_pd(_mm256_mul_pd(a, scale), noise_a), lo, hi, suspect);
  const __m256d rb =
      RoundQuadMarkingNaN(_mm256_add_pd(_mm256_mul_pd(b, scale), noise_b), lo, hi, suspect);
  if (__builtin_expect(_mm256_movemask_pd(suspect) != 0, 0)) {
    alignas(32) double noise[8];
    _mm256_store_pd(noise, noise_a);
    _mm256_store_pd(noise + 4, noise_b);
    for (int k = 0; k < 8; ++k) {
      ScalarFromFloat<Fmt>(src[at + k], dst + (at + k) * Fmt::kBytes, noise[k]);
    }
  } else {
    StoreInt8<Fmt>(dst + at * Fmt::kBytes, JoinQuads(ra, rb));
  }
}

// As FromFloatDitheredVector, eight samples per group. The states are laid out in memory
// order, so a backward walk needs no reversal: memory position m of a group is walking
// position m going forwards and 7 - m going backwards.
template <class Fmt, Dither D, class Float>
ASIO_CONVERT_AVX2 void FromFloatDitheredAvx2(const Float* src, void* destination, int32_t count,
                                             uint32_t& seed) {
  auto* dst = static_cast<uint8_t*>(destination);
  constexpr bool kForward = kDitherForward<Fmt>;
  constexpr bool kTriangular = D == Dither::kTriangular;
  constexpr int kDraws = kTriangular ? 16 : 8;
  const int32_t groups = count / 8, rest = count % 8;
  if (groups > 0) {
    // draw[k] is the (k+1)-th draw; walking position w takes draw w (rectangular) or
    // draws 2w and 2w + 1 (triangular).
    uint32_t draw[16];
    for (int k = 0; k < 16; ++k) draw[k] = seed * kLcgJumps.power[k + 1] + kLcgJumps.offset[k + 1];
    auto walk = [](int m) { return kForward ? m : 7 - m; };
    const __m256i power = _mm256_set1_epi32(int(kLcgJumps.power[kDraws]));
    const __m256i offset = _mm256_set1_epi32(int(kLcgJumps.offset[kDraws]));
    // `first` and `second` generate the noise of memory positions 0-3 and 4-7.
    auto walk_groups = [&](auto first, auto second) ASIO_CONVERT_AVX2 {
      for (int32_t g = 0; g < groups; ++g) {
        const int32_t at = kForward ? 8 * g : count - 8 - 8 * g;
        const __m256d noise_a = first.Noise(), noise_b = second.Noise();
        first.Step(power, offset);
        second.Step(power, offset);
        DitherGroupAvx2<Fmt>(src, dst, at, noise_a, noise_b);
      }
    };
    if constexpr (kTriangular) {
      uint32_t lanes[16];
      for (int m = 0; m < 8; ++m) {
        lanes[2 * m] = draw[2 * walk(m)];
        lanes[2 * m + 1] = draw[2 * walk(m) + 1];
      }
      walk_groups(LcgPairs(lanes), LcgPairs(lanes + 8));
    } else {
      walk_groups(LcgQuad(draw[walk(0)], draw[walk(1)], draw[walk(2)], draw[walk(3)]),
                  LcgQuad(draw[walk(4)], draw[walk(5)], draw[walk(6)], draw[walk(7)]));
    }
    seed = AdvanceSeed(seed, uint32_t(groups) * kDraws);
  }
  for (int32_t k = 0; k < rest; ++k) {
    const int32_t i = kForward ? 8 * groups + k : rest - 1 - k;
    ScalarFromFloat<Fmt>(src[i], dst + i * Fmt::kBytes, DrawNoise<D>(seed));
  }
}

}  // namespace asio_convert::detail
