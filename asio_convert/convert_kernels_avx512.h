#pragma once

// AVX-512 paths of the plain conversions to 16-bit and 32-bit integers and of the dithered
// conversions, chosen at run time like the AVX2 paths. A fused multiply-add rounds x * F
// (plus the noise) once, so the plain results need no exact rule at all and a dithered
// lane only when its sum is exactly a half; masks take the tails without a scalar loop.

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

// x limited in magnitude to `limit`, its sign kept, and NaN made 0 (the limiting alone would
// not: it gives the limit for a NaN).
ASIO_CONVERT_AVX512 inline __m512d LimitedInput(__m512d x, double limit) {
  // Fix-up table, one nibble per class of input: quiet and signalling NaN give +0 (8),
  // every other class the input itself (1).
  x = _mm512_fixupimm_pd(x, x, _mm512_set1_epi64(0x11111188), 0);
  return _mm512_range_pd(x, _mm512_set1_pd(limit), 0x2);  // the lesser magnitude, x's sign
}

// The same for sixteen singles.
ASIO_CONVERT_AVX512 inline __m512 LimitedInput(__m512 x, float limit) {
  x = _mm512_fixupimm_ps(x, x, _mm512_set1_epi32(0x11111188), 0);
  return _mm512_range_ps(x, _mm512_set1_ps(limit), 0x2);
}

// round(x * F) for eight samples, exactly and without a tie check: one fused multiply-add
// forms x * F + 1.5 * 2^52 and rounds it once, in a binade whose spacing is 1, so the sum
// is x * F rounded to an integer with ties to even, and the double's bits less the magic's
// bits are that integer. The input is first limited in magnitude (its sign kept) to where
// the container saturates anyway, which keeps the product far inside that binade.
template <class Fmt>
ASIO_CONVERT_AVX512 inline __m512i RoundScaledFused(__m512d x, __m512d scale) {
  // 2F stays within 32 bits for 16- and 24-bit samples; for 32-bit containers the limit
  // times F reaches 2^31, the container's own limit.
  constexpr double kLimit =
      Fmt::kContainer != Container::kInt32 ? 2.0 : double(int64_t(1) << (32 - Fmt::kScaleShift));
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

// Sixteen integers within 32 bits as little-endian samples of the format (and 24-bit ones
// of either order), 24-bit ones limited to the container here.
template <class Fmt>
ASIO_CONVERT_AVX512 inline void StoreSixteen(uint8_t* p, __m512i v) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_cvtsepi32_epi16(v));
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    v = _mm512_min_epi32(_mm512_max_epi32(v, _mm512_set1_epi32(Fmt::kMin)), _mm512_set1_epi32(Fmt::kMax));
    // Twelve bytes at the start of each 128-bit lane, then the lanes' dwords joined.
    const __m128i order = Fmt::kBigEndian
                              ? _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1)
                              : _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m512i bytes = _mm512_shuffle_epi8(v, _mm512_broadcast_i32x4(order));
    const __m512i packed = _mm512_permutexvar_epi32(
        _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 3, 7, 11, 15), bytes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm512_castsi512_si256(packed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 32), _mm512_extracti32x4_epi32(packed, 2));
  } else {
    _mm512_storeu_si512(p, v);
  }
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
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    // Sixteen samples a step; the scalar path takes what is left.
    const int32_t whole = count & ~15;
    for (int32_t i = 0; i < whole; i += 16) {
      __m512d x0, x1;
      LoadSixteen(src + i, __mmask16(0xFFFF), x0, x1);
      StoreSixteen<Fmt>(dst + i * Fmt::kBytes,
                        LowHalves(RoundScaledFused<Fmt>(x0, scale), RoundScaledFused<Fmt>(x1, scale)));
    }
    return whole;
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

// The dithered paths also form their draws with IFMA's 52-bit multiply-add, eight draws
// an instruction; they are chosen where the processor has it.
#define ASIO_CONVERT_AVX512_IFMA \
  __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512ifma")))

// Set once when the library is loaded, like g_use_avx512.
extern bool g_use_avx512_ifma;
bool ProcessorHasAvx512Ifma();

// The draws of a group of sixteen samples, formed from the generator's state at the start
// of the group (one scalar, stepped group by group): the k-th draw after a state s is
// s * power[k] + offset[k], eight of them per 52-bit multiply-add, whose low 32 bits are
// right whatever lies above them. Memory position m of a group is walking position
// w = m going forwards and 15 - m going backwards; it takes draw w + 1 (rectangular) or
// draws 2w + 1 and 2w + 2 (triangular).
//
// A lane's noise is not formed on its own: its bits, under an exponent, read as C + noise
// and go straight into the fused multiply-add. Rectangular: 1.5 * 2^20 + (d + 2^31) * 2^-32;
// triangular: 1.5 * 2^19 + (d1 + d2 + 2^32) * 2^-33, the two draws summed as 64-bit
// integers, which cannot wrap. (d + 2^31 is d with its top bit flipped, which the tables'
// offsets carry.)
template <Dither D, bool kForward>
struct GroupDraws {
  static constexpr bool kTriangular = D == Dither::kTriangular;
  static constexpr int kDraws = kTriangular ? 32 : 16;
  static constexpr double kWhole = kTriangular ? 0x1.8p19 : 0x1.8p20;  // C - 1/2
  static constexpr double kOffset = kWhole + 0.5;                       // C

  // Per memory position: [0] the (first) draw of positions 0-7, [1] of 8-15, [2] and [3]
  // the second draws (triangular).
  struct Tables {
    alignas(64) uint64_t power[4][8];
    alignas(64) uint64_t offset[4][8];
  };
  static constexpr Tables MakeTables() {
    Tables t{};
    for (int m = 0; m < 16; ++m) {
      const int w = kForward ? m : 15 - m;
      const int first = kTriangular ? 2 * w + 1 : w + 1;
      t.power[m / 8][m % 8] = kLcgJumps.power[first];
      t.offset[m / 8][m % 8] = uint32_t(kLcgJumps.offset[first] + kFlip);
      if (kTriangular) {
        t.power[2 + m / 8][m % 8] = kLcgJumps.power[first + 1];
        t.offset[2 + m / 8][m % 8] = uint32_t(kLcgJumps.offset[first + 1] + kFlip);
      }
    }
    return t;
  }
  static constexpr Tables kTables = MakeTables();

  // C + noise of memory positions 0-7 (`first`) and 8-15 (`second`) for the group that
  // starts at `state`, exactly.
  ASIO_CONVERT_AVX512_IFMA static void Noise(uint32_t state, __m512d& first, __m512d& second) {
    const __m512i s = _mm512_set1_epi64(state);
    auto draws = [&](int k) ASIO_CONVERT_AVX512_IFMA {
      return _mm512_madd52lo_epu64(_mm512_load_si512(kTables.offset[k]), s,
                                   _mm512_load_si512(kTables.power[k]));
    };
    // (draw & low half) | exponent, in one ternary-logic operation.
    const __m512i low_half = _mm512_set1_epi64(0xFFFFFFFFll);
    if constexpr (kTriangular) {
      const __m512i exponent = _mm512_set1_epi64(0x4128000000000000ll);
      first = _mm512_castsi512_pd(_mm512_add_epi64(_mm512_ternarylogic_epi64(draws(0), low_half, exponent, 0xEA),
                                                   _mm512_and_si512(draws(2), low_half)));
      second = _mm512_castsi512_pd(_mm512_add_epi64(_mm512_ternarylogic_epi64(draws(1), low_half, exponent, 0xEA),
                                                    _mm512_and_si512(draws(3), low_half)));
    } else {
      const __m512i exponent = _mm512_set1_epi64(0x4138000000000000ll);
      first = _mm512_castsi512_pd(_mm512_ternarylogic_epi64(draws(0), low_half, exponent, 0xEA));
      second = _mm512_castsi512_pd(_mm512_ternarylogic_epi64(draws(1), low_half, exponent, 0xEA));
    }
  }
  // The state at the start of the next group.
  static uint32_t Next(uint32_t state) {
    return state * kLcgJumps.power[kDraws] + kLcgJumps.offset[kDraws];
  }
};

// round(x * F + noise) for eight lanes, given C + noise. The fused multiply-add rounds
// s = x * F + noise + C once; no integer lies between s and the exact sum, integers being
// doubles here, so unless s is an integer (the sum exactly a half, or nearly) the result is
// floor(s) - (C - 1/2), which one addition rounding down yields in the low half of each
// lane. Lanes where s is an integer, or NaN, are marked in `suspect` for the exact rule.
// For 16- and 24-bit samples x comes limited to ±2 (a NaN made 0, whose noise rounds to
// 0); 32-bit containers limit s to the container (the limits first, so that a NaN passes
// through), to a value between integers so that a limited lane is not suspect.
template <class Fmt, class Lanes>
ASIO_CONVERT_AVX512_IFMA inline __m512i RoundDithered(__m512d x, __m512d offset_noise, __mmask8& suspect) {
  __m512d s = _mm512_fmadd_pd(x, _mm512_set1_pd(Fmt::kFullScale), offset_noise);
  if constexpr (Fmt::kContainer == Container::kInt32) {
    s = _mm512_min_pd(_mm512_set1_pd(Fmt::kMax + Lanes::kOffset),
                      _mm512_max_pd(_mm512_set1_pd(Fmt::kMin + Lanes::kOffset), s));
  }
  if constexpr (Fmt::kContainer == Container::kInt16) {
    // s stays within [2^19, 2^20) or [2^20, 2^21), where its fraction is the low 33 or 32
    // bits.
    const uint64_t fraction = Lanes::kTriangular ? 0x1FFFFFFFFull : 0xFFFFFFFFull;
    suspect = _mm512_testn_epi64_mask(_mm512_castpd_si512(s), _mm512_set1_epi64(int64_t(fraction)));
  } else {
    suspect = _mm512_cmp_pd_mask(_mm512_reduce_pd(s, 0), _mm512_setzero_pd(), _CMP_EQ_UQ);
  }
  return _mm512_castpd_si512(_mm512_add_round_pd(
      s, _mm512_set1_pd(kRoundingMagic - Lanes::kWhole), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}

// As FromFloatDitheredAvx2, sixteen samples per group.
template <class Fmt, Dither D, class Float>
ASIO_CONVERT_AVX512_IFMA void FromFloatDitheredAvx512(const Float* src, void* destination,
                                                      int32_t count, uint32_t& seed) {
  auto* dst = static_cast<uint8_t*>(destination);
  constexpr bool kForward = kDitherForward<Fmt>;
  using Lanes = GroupDraws<D, kForward>;
  const int32_t groups = count / 16, rest = count % 16;
  if (groups > 0) {
    uint32_t state = seed;
    // A group's sixteen integers within 32 bits, and its lanes that must take the exact
    // rule once the group is stored. Such a lane is rare (a sum that is exactly an integer,
    // or a NaN sample), so its noise is drawn again from the seed rather than kept.
    struct Group {
      __m512i values;
      unsigned suspect;
    };
    auto round_group = [&](int32_t at) ASIO_CONVERT_AVX512_IFMA {
      __m512d noise_a, noise_b;
      Lanes::Noise(state, noise_a, noise_b);
      state = Lanes::Next(state);
      __m512d a, b;
      if constexpr (Fmt::kContainer == Container::kInt32) {
        LoadSixteen(src + at, __mmask16(0xFFFF), a, b);
      } else if constexpr (std::is_same_v<Float, float>) {
        // The exponent's top bit marks |x| >= 2, infinities and NaN: only a group with
        // such a sample needs limiting.
        // Each half is widened straight from memory, which spares taking the upper half
        // out of the vector.
        const __m512 x = _mm512_loadu_ps(src + at);
        if (__builtin_expect(_mm512_test_epi32_mask(_mm512_castps_si512(x), _mm512_set1_epi32(0x40000000)) != 0, 0)) {
          const __m512 limited = LimitedInput(x, 2.0f);
          a = _mm512_cvtps_pd(_mm512_castps512_ps256(limited));
          b = _mm512_cvtps_pd(_mm512_extractf32x8_ps(limited, 1));
        } else {
          a = _mm512_cvtps_pd(_mm256_loadu_ps(src + at));
          b = _mm512_cvtps_pd(_mm256_loadu_ps(src + at + 8));
        }
      } else {
        a = _mm512_loadu_pd(src + at);
        b = _mm512_loadu_pd(src + at + 8);
        const __m512i top = _mm512_set1_epi64(int64_t(1) << 62);
        if (__builtin_expect(!_kortestz_mask8_u8(_mm512_test_epi64_mask(_mm512_castpd_si512(a), top),
                                                 _mm512_test_epi64_mask(_mm512_castpd_si512(b), top)),
                             0)) {
          a = LimitedInput(a, 2.0);
          b = LimitedInput(b, 2.0);
        }
      }
      __mmask8 suspect_a, suspect_b;
      Group group;
      group.values = LowHalves(RoundDithered<Fmt, Lanes>(a, noise_a, suspect_a),
                               RoundDithered<Fmt, Lanes>(b, noise_b, suspect_b));
      group.suspect = suspect_a | (unsigned(suspect_b) << 8);
      return group;
    };
    const uint32_t first_seed = seed;
    auto settle = [&](int32_t g, int32_t at, unsigned suspect) {
      for (; __builtin_expect(suspect != 0, 0); suspect &= suspect - 1) {
        const int k = __builtin_ctz(suspect);
        const uint32_t walked = uint32_t(16 * g + (kForward ? k : 15 - k));
        uint32_t draws = AdvanceSeed(first_seed, Lanes::kTriangular ? 2 * walked : walked);
        const double noise = DrawNoise<D>(draws);
        ScalarFromFloat<Fmt>(src[at + k], dst + (at + k) * Fmt::kBytes, noise);
      }
    };
    auto group_at = [&](int32_t g) { return kForward ? 16 * g : count - 16 - 16 * g; };
    int32_t g = 0;
    if constexpr (Fmt::kContainer == Container::kInt16) {
      // Two groups at a time fill one vector of 16-bit samples; walking either way they
      // are neighbours in memory.
      const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
      for (; g + 2 <= groups; g += 2) {
        const int32_t at_first = group_at(g), at_second = group_at(g + 1);
        const Group first = round_group(at_first), second = round_group(at_second);
        const int32_t low = kForward ? at_first : at_second;
        const __m512i packed = kForward ? _mm512_packs_epi32(first.values, second.values)
                                        : _mm512_packs_epi32(second.values, first.values);
        _mm512_storeu_si512(dst + low * Fmt::kBytes, _mm512_permutexvar_epi64(order, packed));
        settle(g, at_first, first.suspect);
        settle(g + 1, at_second, second.suspect);
      }
    }
    for (; g < groups; ++g) {
      const int32_t at = group_at(g);
      const Group group = round_group(at);
      StoreSixteen<Fmt>(dst + at * Fmt::kBytes, group.values);
      settle(g, at, group.suspect);
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
