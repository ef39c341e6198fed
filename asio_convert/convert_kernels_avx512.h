#pragma once

// AVX-512 paths of the plain conversions to 16-bit and 32-bit integers and of the dithered
// conversions, chosen at run time like the AVX2 paths. A fused multiply-add rounds x * F
// exactly, so only a dithered sum that is exactly a half needs the exact rule; masks make
// NaN 0 and take the tails without a scalar loop.

#include <immintrin.h>

#define ASIO_CONVERT_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl")))

// GCC 12's AVX-512 intrinsics start from deliberately undefined registers, which it then
// reports as maybe uninitialised where they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace asio_convert::detail {

// Set once when the library is loaded; false until then, which leaves the AVX2 choice.
extern bool g_use_avx512;
bool ProcessorHasAvx512();

// The 16-bit and 32-bit containers; packed 24-bit samples stay on the AVX2 path.
template <class Fmt, class Float>
inline constexpr bool kHasAvx512Path =
    !Fmt::kIsFloat && Fmt::kContainer != Container::kInt24;

// round(x * F) for eight samples, exactly and without a tie check: one fused multiply-add
// forms x * F + 1.5 * 2^52 and rounds it once, in a binade whose spacing is 1, so the sum
// is x * F rounded to an integer with ties to even, and the double's bits less the magic's
// bits are that integer. The input is first limited in magnitude (its sign kept) to where
// the container saturates anyway, which keeps the product far inside that binade; a NaN
// is first made 0.
// x limited in magnitude to `limit`, its sign kept, and NaN made 0 (the limiting alone would
// not: it gives the limit for a NaN).
ASIO_CONVERT_AVX512 inline __m512d LimitedInput(__m512d x, double limit) {
  // Fix-up table, one nibble per class of input: quiet and signalling NaN give +0 (8),
  // every other class the input itself (1).
  x = _mm512_fixupimm_pd(x, x, _mm512_set1_epi64(0x11111188), 0);
  return _mm512_range_pd(x, _mm512_set1_pd(limit), 0x2);  // the lesser magnitude, x's sign
}

template <class Fmt>
ASIO_CONVERT_AVX512 inline __m512i RoundScaledFused(__m512d x, __m512d scale) {
  // 2F stays within 32 bits for 16-bit samples; for 32-bit containers the limit times F
  // reaches 2^31, the container's own limit.
  constexpr double kLimit =
      Fmt::kContainer == Container::kInt16 ? 2.0 : double(int64_t(1) << (32 - Fmt::kScaleShift));
  return _mm512_castpd_si512(
      _mm512_fmadd_pd(LimitedInput(x, kLimit), scale, _mm512_set1_pd(kRoundingMagic)));
}

// Sixteen samples from `p` as two vectors of doubles; lanes outside `m` read as 0.
template <class Float>
ASIO_CONVERT_AVX512 inline void LoadSixteen(const Float* p, __mmask16 m, __m512d& a, __m512d& b) {
  if constexpr (std::is_same_v<Float, float>) {
    const __m512 x = _mm512_maskz_loadu_ps(m, p);
    a = _mm512_cvtps_pd(_mm512_castps512_ps256(x));
    b = _mm512_cvtps_pd(_mm512_extractf32x8_ps(x, 1));
  } else {
    a = _mm512_maskz_loadu_pd(__mmask8(m), p);
    b = _mm512_maskz_loadu_pd(__mmask8(m >> 8), p + 8);
  }
}

// The low 32 bits of the rounded lanes of a and b, in order: the integers themselves when
// they lie within 32 bits.
ASIO_CONVERT_AVX512 inline __m512i LowHalves(__m512i a, __m512i b) {
  const __m512i even = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  return _mm512_permutex2var_epi32(a, even, b);
}

// The rounded lanes of a and b as sixteen 32-bit samples, saturated.
ASIO_CONVERT_AVX512 inline __m512i SaturatedInt32(__m512i a, __m512i b) {
  const __m512i magic = _mm512_castpd_si512(_mm512_set1_pd(kRoundingMagic));
  return _mm512_inserti64x4(
      _mm512_castsi256_si512(_mm512_cvtsepi64_epi32(_mm512_sub_epi64(a, magic))),
      _mm512_cvtsepi64_epi32(_mm512_sub_epi64(b, magic)), 1);
}

template <class Fmt, class Float>
ASIO_CONVERT_AVX512 int32_t FromFloatAvx512(const Float* src, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  const __m512d scale = _mm512_set1_pd(Fmt::kFullScale);
  if constexpr (Fmt::kContainer == Container::kInt16) {
    // Thirty-two samples a step, packed with saturation into one vector.
    const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
    auto fused = [&](int32_t i, __mmask32 m) ASIO_CONVERT_AVX512 {
      __m512d x0, x1, x2, x3;
      LoadSixteen(src + i, __mmask16(m), x0, x1);
      LoadSixteen(src + i + 16, __mmask16(m >> 16), x2, x3);
      return _mm512_packs_epi32(LowHalves(RoundScaledFused<Fmt>(x0, scale), RoundScaledFused<Fmt>(x1, scale)),
                                LowHalves(RoundScaledFused<Fmt>(x2, scale), RoundScaledFused<Fmt>(x3, scale)));
    };
    auto step = [&](int32_t i, __mmask32 m) ASIO_CONVERT_AVX512 {
      __m512i packed;
      if constexpr (std::is_same_v<Float, float>) {
        // Singles are quicker in single precision, where the product is rounded once: the
        // integer is right unless the product lands on a half (about once in a thousand
        // samples), is NaN or beyond 32 bits (converted to INT32_MIN, far from it); such a
        // step takes the fused path.
        const __m512 single_scale = _mm512_set1_ps(32767.0f), half = _mm512_set1_ps(0.5f);
        const __m512 a = _mm512_mul_ps(_mm512_maskz_loadu_ps(__mmask16(m), src + i), single_scale);
        const __m512 b = _mm512_mul_ps(_mm512_maskz_loadu_ps(__mmask16(m >> 16), src + i + 16), single_scale);
        const __m512i ra = _mm512_cvtps_epi32(a), rb = _mm512_cvtps_epi32(b);
        const __mmask16 redo =
            _mm512_cmp_ps_mask(_mm512_abs_ps(_mm512_sub_ps(a, _mm512_cvtepi32_ps(ra))), half, _CMP_NLT_UQ) |
            _mm512_cmp_ps_mask(_mm512_abs_ps(_mm512_sub_ps(b, _mm512_cvtepi32_ps(rb))), half, _CMP_NLT_UQ);
        packed = __builtin_expect(redo != 0, 0) ? fused(i, m) : _mm512_packs_epi32(ra, rb);
      } else {
        packed = fused(i, m);
      }
      __m512i w = _mm512_permutexvar_epi64(order, packed);
      if (Fmt::kBigEndian) w = _mm512_shuffle_epi8(w, _mm512_broadcast_i32x4(SwapMask<Fmt>()));
      _mm512_mask_storeu_epi16(dst + i * Fmt::kBytes, m, w);
    };
    // Whole steps with a constant mask, which leaves plain loads and stores; then the tail.
    int32_t i = 0;
    for (; i + 32 <= count; i += 32) step(i, ~__mmask32(0));
    if (i < count) step(i, __mmask32((1u << (count - i)) - 1));
  } else {
    auto step = [&](int32_t i, __mmask16 m) ASIO_CONVERT_AVX512 {
      __m512d x0, x1;
      LoadSixteen(src + i, m, x0, x1);
      __m512i v = SaturatedInt32(RoundScaledFused<Fmt>(x0, scale), RoundScaledFused<Fmt>(x1, scale));
      if (Fmt::kBigEndian) v = _mm512_shuffle_epi8(v, _mm512_broadcast_i32x4(SwapMask<Fmt>()));
      _mm512_mask_storeu_epi32(dst + i * Fmt::kBytes, m, v);
    };
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) step(i, __mmask16(0xFFFF));
    if (i < count) step(i, __mmask16((1u << (count - i)) - 1));
  }
  return count;
}

// ---- dithered output --------------------------------------------------------------------

// Generator states for sixteen samples, in memory order (as the AVX2 path lays them out),
// stepped by the jump of as many draws as a group takes. Rectangular: one state in the low
// half of each 64-bit lane; triangular: the sample's two states side by side.
template <Dither D>
struct LcgLanes {
  static constexpr bool kTriangular = D == Dither::kTriangular;
  static constexpr int kDraws = kTriangular ? 32 : 16;
  __m512i first, second;  // memory positions 0-7 and 8-15

  ASIO_CONVERT_AVX512 explicit LcgLanes(const uint32_t* lanes) {
    const __m512i flip = _mm512_set1_epi32(int(kFlip));
    if constexpr (kTriangular) {
      first = _mm512_xor_si512(_mm512_loadu_si512(lanes), flip);
      second = _mm512_xor_si512(_mm512_loadu_si512(lanes + 16), flip);
    } else {
      first = _mm512_xor_si512(_mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes))), flip);
      second = _mm512_xor_si512(_mm512_cvtepu32_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(lanes + 8))), flip);
    }
  }
  ASIO_CONVERT_AVX512 void Step() {
    const __m512i power = _mm512_set1_epi32(int(kLcgJumps.power[kDraws]));
    const __m512i offset = _mm512_set1_epi32(int(kLcgJumps.offset[kDraws]));
    if constexpr (kTriangular) {
      first = _mm512_add_epi32(_mm512_mullo_epi32(first, power), offset);
      second = _mm512_add_epi32(_mm512_mullo_epi32(second, power), offset);
    } else {
      first = _mm512_add_epi32(_mm512_mul_epu32(first, power), offset);
      second = _mm512_add_epi32(_mm512_mul_epu32(second, power), offset);
    }
  }
  // The noise of eight lanes, as the AVX2 LcgQuad and LcgPairs form it.
  ASIO_CONVERT_AVX512 static __m512d Noise(__m512i state) {
    if constexpr (kTriangular) {
      const __m512i low = _mm512_mask_blend_epi32(__mmask16(0xAAAA), state, _mm512_set1_epi64(0x4120000000000000ll));
      const __m512i bits = _mm512_add_epi64(low, _mm512_srli_epi64(state, 32));
      return _mm512_sub_pd(_mm512_castsi512_pd(bits), _mm512_set1_pd(0x1p19 + 0.5));
    } else {
      const __m512i bits = _mm512_mask_blend_epi32(__mmask16(0xAAAA), state, _mm512_set1_epi64(0x4130000000000000ll));
      return _mm512_sub_pd(_mm512_castsi512_pd(bits), _mm512_set1_pd(0x1p20 + 0.5));
    }
  }
};

// x * F + noise for eight lanes, rounded once by a fused multiply-add, then to an integer
// by the magic addition: exact unless that sum is exactly a half, or NaN, which `suspect`
// marks for the exact rule. The integers come back as the low halves of the lanes, within
// 32 bits: the sum is limited to the container for 32-bit ones (the limits first, so that
// a NaN passes through), otherwise in magnitude to 2^30 once its fraction is known.
template <class Fmt>
ASIO_CONVERT_AVX512 inline __m512i RoundDithered(__m512d x, __m512d noise, __mmask8& suspect) {
  __m512d s = _mm512_fmadd_pd(x, _mm512_set1_pd(Fmt::kFullScale), noise);
  if constexpr (Fmt::kContainer == Container::kInt32) {
    s = _mm512_min_pd(_mm512_set1_pd(Fmt::kMax), _mm512_max_pd(_mm512_set1_pd(Fmt::kMin), s));
  }
  const __m512d fraction = _mm512_reduce_pd(s, 0);  // s less s rounded to nearest
  suspect = _mm512_cmp_pd_mask(_mm512_abs_pd(fraction), _mm512_set1_pd(0.5 - kTieMargin), _CMP_NLT_UQ);
  if constexpr (Fmt::kContainer != Container::kInt32) {
    s = _mm512_range_pd(s, _mm512_set1_pd(0x1p30), 0x2);  // the lesser magnitude, s's sign
  }
  return _mm512_castpd_si512(_mm512_add_pd(s, _mm512_set1_pd(kRoundingMagic)));
}

// Sixteen integers within 32 bits as samples of the format; 24-bit ones are limited to the
// container here.
template <class Fmt>
ASIO_CONVERT_AVX512 inline void StoreSixteen(uint8_t* p, __m512i v) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtsepi32_epi16(v));
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    v = _mm512_min_epi32(_mm512_max_epi32(v, _mm512_set1_epi32(Fmt::kMin)), _mm512_set1_epi32(Fmt::kMax));
    // Twelve bytes at the start of each 128-bit lane, then the lanes' dwords joined.
    const __m512i bytes = _mm512_shuffle_epi8(
        v, _mm512_broadcast_i32x4(_mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1)));
    const __m512i packed = _mm512_permutexvar_epi32(
        _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15), bytes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_castsi512_si256(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm512_extracti32x4_epi32(packed, 2));
  } else {
    _mm512_storeu_si512(p, v);
  }
}

// As FromFloatDitheredAvx2, sixteen samples per group.
template <class Fmt, Dither D, class Float>
ASIO_CONVERT_AVX512 void FromFloatDitheredAvx512(const Float* src, void* destination,
                                                 int32_t count, uint32_t& seed) {
  auto* dst = static_cast<uint8_t*>(destination);
  constexpr bool kForward = kDitherForward<Fmt>;
  using Lanes = LcgLanes<D>;
  const int32_t groups = count / 16, rest = count % 16;
  if (groups > 0) {
    // Memory position m of a group is walking position m going forwards, 15 - m going
    // backwards; it takes draw w (rectangular) or draws 2w and 2w + 1 (triangular), where
    // the k-th draw from the seed is seed * power[k] + offset[k].
    auto draw = [&](int k) { return seed * kLcgJumps.power[k] + kLcgJumps.offset[k]; };
    uint32_t lanes[32];
    for (int m = 0; m < 16; ++m) {
      const int w = kForward ? m : 15 - m;
      if constexpr (Lanes::kTriangular) {
        lanes[2 * m] = draw(2 * w + 1);
        lanes[2 * m + 1] = draw(2 * w + 2);
      } else {
        lanes[m] = draw(w + 1);
      }
    }
    Lanes state(lanes);
    for (int32_t g = 0; g < groups; ++g) {
      const int32_t at = kForward ? 16 * g : count - 16 - 16 * g;
      const __m512d noise_a = Lanes::Noise(state.first), noise_b = Lanes::Noise(state.second);
      state.Step();
      __m512d a, b;
      LoadSixteen(src + at, __mmask16(0xFFFF), a, b);
      __mmask8 suspect_a, suspect_b;
      const __m512i ra = RoundDithered<Fmt>(a, noise_a, suspect_a);
      const __m512i rb = RoundDithered<Fmt>(b, noise_b, suspect_b);
      StoreSixteen<Fmt>(dst + at * Fmt::kBytes, LowHalves(ra, rb));
      if (__builtin_expect((suspect_a | suspect_b) != 0, 0)) {
        alignas(64) double noise[16];
        _mm512_store_pd(noise, noise_a);
        _mm512_store_pd(noise + 8, noise_b);
        for (unsigned lanes_left = suspect_a | (unsigned(suspect_b) << 8); lanes_left != 0;
             lanes_left &= lanes_left - 1) {
          const int k = __builtin_ctz(lanes_left);
          ScalarFromFloat<Fmt>(src[at + k], dst + (at + k) * Fmt::kBytes, noise[k]);
        }
      }
    }
    seed = AdvanceSeed(seed, uint32_t(groups) * Lanes::kDraws);
  }
  for (int32_t k = 0; k < rest; ++k) {
    const int32_t i = kForward ? 16 * groups + k : rest - 1 - k;
    ScalarFromFloat<Fmt>(src[i], dst + i * Fmt::kBytes, DrawNoise<D>(seed));
  }
}

}  // namespace asio_convert::detail

#pragma GCC diagnostic pop
