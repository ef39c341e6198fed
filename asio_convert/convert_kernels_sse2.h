#pragma once

// The SSE2 paths of convert_kernels.h: four samples at a time. Each returns how many samples
// it converted (a multiple of four); the scalar path does the rest. Every vector result is
// the scalar result: integer-to-float products are formed exactly or rounded once, and a
// float-to-integer group whose estimate lies at a rounding tie is redone by the exact
// scalar rule.

#include <emmintrin.h>

namespace asio_convert::detail {

inline __m128i SwapBytes16(__m128i v) {
  return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));
}
inline __m128i SwapBytes32(__m128i v) {
  v = SwapBytes16(v);
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
}
inline __m128i SwapBytes64(__m128i v) {
  v = SwapBytes16(v);
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x1B), 0x1B);
}

// Four samples of an integer format as four signed 32-bit lanes; reads exactly 4 * kBytes.
template <class Fmt>
inline __m128i LoadInt4(const uint8_t* p) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    if (Fmt::kBigEndian) v = SwapBytes16(v);
    return _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    const __m128i x = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                                         _mm_cvtsi32_si128(int(LoadRaw<uint32_t>(p + 8))));
    // Lane k takes bytes 3k..3k+2 into its top three bytes.
    const __m128 a = _mm_castsi128_ps(_mm_slli_si128(x, 1));
    const __m128 b = _mm_castsi128_ps(_mm_slli_si128(x, 2));
    const __m128 c = _mm_castsi128_ps(_mm_slli_si128(x, 3));
    const __m128 d = _mm_castsi128_ps(_mm_slli_si128(x, 4));
    const __m128 ab = _mm_move_ss(b, a);
    const __m128 cd = _mm_shuffle_ps(c, d, _MM_SHUFFLE(3, 3, 2, 2));
    __m128i v = _mm_castps_si128(_mm_shuffle_ps(ab, cd, _MM_SHUFFLE(2, 0, 1, 0)));
    if (Fmt::kBigEndian) return _mm_srai_epi32(_mm_slli_epi32(SwapBytes32(v), 8), 8);
    return _mm_srai_epi32(v, 8);
  } else {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return Fmt::kBigEndian ? SwapBytes32(v) : v;
  }
}

// Four 32-bit lanes, already within the container's range, to four samples; writes exactly
// 4 * kBytes.
template <class Fmt>
inline void StoreInt4(uint8_t* p, __m128i v) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    __m128i w = _mm_packs_epi32(v, v);
    if (Fmt::kBigEndian) w = SwapBytes16(w);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), w);
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    if (Fmt::kBigEndian) v = _mm_srli_epi32(SwapBytes32(v), 8);
    const __m128i low3 = _mm_set1_epi32(0x00FFFFFF);
    const __m128i lane0 = _mm_setr_epi32(-1, 0, 0, 0), lane1 = _mm_setr_epi32(0, -1, 0, 0);
    const __m128i lane2 = _mm_setr_epi32(0, 0, -1, 0), lane3 = _mm_setr_epi32(0, 0, 0, -1);
    v = _mm_and_si128(v, low3);
    const __m128i packed = _mm_or_si128(
        _mm_or_si128(_mm_and_si128(v, lane0), _mm_srli_si128(_mm_and_si128(v, lane1), 1)),
        _mm_or_si128(_mm_srli_si128(_mm_and_si128(v, lane2), 2),
                     _mm_srli_si128(_mm_and_si128(v, lane3), 3)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), packed);
    StoreRaw(p + 8, uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(packed, 8))));
  } else {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), Fmt::kBigEndian ? SwapBytes32(v) : v);
  }
}

// ---- driver format to float -------------------------------------------------------------

// Marks in `marks` a double of either pair that lies half-way between two singles
// (IsSingleHalfWay). The bits below single precision all sit in the low half of a double:
// the four low halves are gathered, and shifted left by 3 they read 0x80000000 exactly then.
inline __m128i MarkSingleHalfWays(__m128i marks, __m128d a, __m128d b) {
  const __m128i lows =
      _mm_castps_si128(_mm_shuffle_ps(_mm_castpd_ps(a), _mm_castpd_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
  return _mm_or_si128(marks, _mm_cmpeq_epi32(_mm_slli_epi32(lows, 3), _mm_set1_epi32(INT32_MIN)));
}
inline bool AnyMarked(__m128i marks) {
  return _mm_movemask_ps(_mm_castsi128_ps(marks)) != 0;
}

template <class Fmt, class Float>
int32_t FloatFormatToFloatVector(const uint8_t* src, Float* dst, int32_t count) {
  constexpr bool kSameWidth = std::is_same_v<FloatOf<Fmt>, Float>;
  if constexpr (kSameWidth && !Fmt::kBigEndian) {
    std::memcpy(dst, src, size_t(count) * sizeof(Float));
    return count;
  }
  const int32_t n = count & ~3;
  for (int32_t i = 0; i < n; i += 4) {
    const uint8_t* p = src + i * Fmt::kBytes;
    if constexpr (Fmt::kContainer == Container::kFloat32) {
      __m128i bits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (Fmt::kBigEndian) bits = SwapBytes32(bits);
      const __m128 x = _mm_castsi128_ps(bits);
      if constexpr (std::is_same_v<Float, float>) {
        _mm_storeu_ps(dst + i, x);
      } else {
        _mm_storeu_pd(dst + i, _mm_cvtps_pd(x));
        _mm_storeu_pd(dst + i + 2, _mm_cvtps_pd(_mm_movehl_ps(x, x)));
      }
    } else {
      __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
      if (Fmt::kBigEndian) {
        lo = SwapBytes64(lo);
        hi = SwapBytes64(hi);
      }
      if constexpr (std::is_same_v<Float, double>) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 2), hi);
      } else {
        _mm_storeu_ps(dst + i, _mm_movelh_ps(_mm_cvtpd_ps(_mm_castsi128_pd(lo)),
                                             _mm_cvtpd_ps(_mm_castsi128_pd(hi))));
      }
    }
  }
  return n;
}

template <class Fmt, class Float>
int32_t ToFloatVector(const void* source, Float* dst, int32_t count) {
  const auto* src = static_cast<const uint8_t*>(source);
  if constexpr (Fmt::kIsFloat) {
    return FloatFormatToFloatVector<Fmt>(src, dst, count);
  } else {
    const int32_t n = count & ~3;
    const __m128 single_factor = _mm_set1_ps(kInv32767);
    const __m128d factor = _mm_set1_pd(InputFactor<Fmt>());
    [[maybe_unused]] __m128i half_ways = _mm_setzero_si128();
    for (int32_t i = 0; i < n; i += 4) {
      const __m128i v = LoadInt4<Fmt>(src + i * Fmt::kBytes);
      if constexpr (Fmt::kContainer == Container::kInt16 && std::is_same_v<Float, float>) {
        _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(v), single_factor));
      } else {
        const __m128d lo = _mm_mul_pd(_mm_cvtepi32_pd(v), factor);
        const __m128d hi = _mm_mul_pd(_mm_cvtepi32_pd(_mm_srli_si128(v, 8)), factor);
        if constexpr (std::is_same_v<Float, float>) {
          half_ways = MarkSingleHalfWays(half_ways, lo, hi);
          _mm_storeu_ps(dst + i, _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)));
        } else {
          _mm_storeu_pd(dst + i, lo);
          _mm_storeu_pd(dst + i + 2, hi);
        }
      }
    }
    // Narrowing rounded a second time where a product lay half-way (rarely): those samples
    // take the scalar rule.
    if constexpr (kNarrowsProduct<Fmt, Float>) {
      if (AnyMarked(half_ways)) SettleSingleHalfWays<Fmt>(src, dst, n);
    }
    return n;
  }
}

// ---- float to driver format -------------------------------------------------------------

template <class Fmt, class Float>
int32_t FloatToFloatFormatVector(const Float* src, uint8_t* dst, int32_t count) {
  constexpr bool kSameWidth = std::is_same_v<FloatOf<Fmt>, Float>;
  if constexpr (kSameWidth && !Fmt::kBigEndian) {
    std::memcpy(dst, src, size_t(count) * sizeof(Float));
    return count;
  }
  const int32_t n = count & ~3;
  for (int32_t i = 0; i < n; i += 4) {
    uint8_t* p = dst + i * Fmt::kBytes;
    if constexpr (Fmt::kContainer == Container::kFloat32) {
      __m128 x;
      if constexpr (std::is_same_v<Float, float>) {
        x = _mm_loadu_ps(src + i);
      } else {
        x = _mm_movelh_ps(_mm_cvtpd_ps(_mm_loadu_pd(src + i)),
                          _mm_cvtpd_ps(_mm_loadu_pd(src + i + 2)));
      }
      __m128i bits = _mm_castps_si128(x);
      if (Fmt::kBigEndian) bits = SwapBytes32(bits);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), bits);
    } else {
      __m128d lo, hi;
      if constexpr (std::is_same_v<Float, float>) {
        const __m128 x = _mm_loadu_ps(src + i);
        lo = _mm_cvtps_pd(x);
        hi = _mm_cvtps_pd(_mm_movehl_ps(x, x));
      } else {
        lo = _mm_loadu_pd(src + i);
        hi = _mm_loadu_pd(src + i + 2);
      }
      __m128i a = _mm_castpd_si128(lo), b = _mm_castpd_si128(hi);
      if (Fmt::kBigEndian) {
        a = SwapBytes64(a);
        b = SwapBytes64(b);
      }
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), b);
    }
  }
  return n;
}

// Rounds two scaled values to integers within [lo, hi] (NaN to 0). Adding 1.5 * 2^52 rounds
// to an integer (to nearest, ties to even) whose low 32 bits are then the two's complement
// result: one addition instead of a conversion and its inverse. When `kCheck` is set, lanes
// whose estimate lies within the tie margin are marked in `suspect`.
inline constexpr double kRoundingMagic = 0x1.8p52;

template <bool kCheck>
inline __m128d RoundPair(__m128d s, __m128d lo, __m128d hi, __m128d& suspect) {
  const __m128d magic = _mm_set1_pd(kRoundingMagic);
  s = _mm_and_pd(s, _mm_cmpord_pd(s, s));
  s = _mm_min_pd(_mm_max_pd(s, lo), hi);
  const __m128d t = _mm_add_pd(s, magic);
  if constexpr (kCheck) {
    const __m128d abs_mask = _mm_castsi128_pd(_mm_set1_epi64x(INT64_MAX));
    const __m128d distance = _mm_and_pd(_mm_sub_pd(s, _mm_sub_pd(t, magic)), abs_mask);
    suspect = _mm_or_pd(suspect, _mm_cmpge_pd(distance, _mm_set1_pd(0.5 - kTieMargin)));
  }
  return t;
}

// The integers of two rounded pairs as four 32-bit lanes.
inline __m128i JoinPairs(__m128d lo, __m128d hi) {
  return _mm_castps_si128(
      _mm_shuffle_ps(_mm_castpd_ps(lo), _mm_castpd_ps(hi), _MM_SHUFFLE(2, 0, 2, 0)));
}

template <class Float>
inline void LoadAsDoubles(const Float* p, __m128d& lo, __m128d& hi) {
  if constexpr (std::is_same_v<Float, float>) {
    const __m128 x = _mm_loadu_ps(p);
    lo = _mm_cvtps_pd(x);
    hi = _mm_cvtps_pd(_mm_movehl_ps(x, x));
  } else {
    lo = _mm_loadu_pd(p);
    hi = _mm_loadu_pd(p + 2);
  }
}

template <class Fmt, class Float>
int32_t FromFloatVector(const Float* src, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  if constexpr (Fmt::kIsFloat) {
    return FloatToFloatFormatVector<Fmt>(src, dst, count);
  } else {
    const int32_t n = count & ~3;
    if constexpr (Fmt::kContainer == Container::kInt16 && std::is_same_v<Float, float>) {
      // Single precision suffices here: the product is rounded once, so the integer is
      // right unless the product lands exactly on a half, which the exact rule redoes.
      // Inputs beyond ±2 saturate anyway and are limited first.
      const __m128 scale = _mm_set1_ps(32767.0f), two = _mm_set1_ps(2.0f);
      const __m128 minus_two = _mm_set1_ps(-2.0f), half = _mm_set1_ps(0.5f);
      const __m128 abs_mask = _mm_castsi128_ps(_mm_set1_epi32(INT32_MAX));
      auto scaled = [&](__m128 x) {
        x = _mm_and_ps(x, _mm_cmpord_ps(x, x));
        return _mm_mul_ps(_mm_min_ps(_mm_max_ps(x, minus_two), two), scale);
      };
      auto distance = [&](__m128 s, __m128i r) {
        return _mm_and_ps(_mm_sub_ps(s, _mm_cvtepi32_ps(r)), abs_mask);
      };
      // The single product lands on a half about once in a thousand samples: such a group
      // takes the exact product in double, still four samples at a time.
      const __m128d wide_scale = _mm_set1_pd(32767.0);
      auto exact = [&](int32_t at, int32_t samples) {
        for (int32_t q = 0; q < samples; q += 4) {
          __m128 x = _mm_loadu_ps(src + at + q);
          x = _mm_min_ps(_mm_and_ps(x, _mm_cmpord_ps(x, x)), two);  // below, INT32_MIN saturates
          const __m128i lo = _mm_cvtpd_epi32(_mm_mul_pd(_mm_cvtps_pd(x), wide_scale));
          const __m128i hi =
              _mm_cvtpd_epi32(_mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(x, x)), wide_scale));
          StoreInt4<Fmt>(dst + (at + q) * Fmt::kBytes, _mm_unpacklo_epi64(lo, hi));
        }
      };
      const int32_t n8 = count & ~7;
      for (int32_t i = 0; i < n8; i += 8) {
        const __m128 s0 = scaled(_mm_loadu_ps(src + i)), s1 = scaled(_mm_loadu_ps(src + i + 4));
        const __m128i r0 = _mm_cvtps_epi32(s0), r1 = _mm_cvtps_epi32(s1);
        const __m128 worst = _mm_max_ps(distance(s0, r0), distance(s1, r1));
        if (__builtin_expect(_mm_movemask_ps(_mm_cmpeq_ps(worst, half)) != 0, 0)) {
          exact(i, 8);
        } else {
          __m128i w = _mm_packs_epi32(r0, r1);
          if (Fmt::kBigEndian) w = SwapBytes16(w);
          _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i * Fmt::kBytes), w);
        }
      }
      if (n8 < n) {
        const __m128 s0 = scaled(_mm_loadu_ps(src + n8));
        const __m128i r0 = _mm_cvtps_epi32(s0);
        if (_mm_movemask_ps(_mm_cmpeq_ps(distance(s0, r0), half)) != 0) {
          exact(n8, 4);
        } else {
          StoreInt4<Fmt>(dst + n8 * Fmt::kBytes, r0);
        }
      }
    } else {
      // The product is exact in double for a single-precision input and F < 2^24;
      // otherwise it is rounded once and a tie needs the exact rule. For a single input
      // and F = 2^31 - 1 a search over every single value finds that only
      // ±(0.5 + 2^-24) and ±(0.5 + 2^-23) round to a tie that is not one (other
      // false ties lie beyond the container and saturate), so those two are looked for.
      constexpr bool kSingle = std::is_same_v<Float, float>;
      constexpr bool kCheck = !kSingle;
      constexpr bool kKnownTies = kSingle && Fmt::kBits == 32;
      const __m128 abs_single = _mm_castsi128_ps(_mm_set1_epi32(INT32_MAX));
      const __m128 tie_a = _mm_set1_ps(0.5f + 0x1p-24f), tie_b = _mm_set1_ps(0.5f + 0x1p-23f);
      const __m128d scale = _mm_set1_pd(Fmt::kFullScale);
      const __m128d lo = _mm_set1_pd(Fmt::kMin), hi = _mm_set1_pd(Fmt::kMax);
      for (int32_t i = 0; i < n; i += 4) {
        __m128d a, b, suspect = _mm_setzero_pd();
        int known_tie = 0;
        if constexpr (kKnownTies) {
          const __m128 magnitude = _mm_and_ps(_mm_loadu_ps(src + i), abs_single);
          known_tie = _mm_movemask_ps(
              _mm_or_ps(_mm_cmpeq_ps(magnitude, tie_a), _mm_cmpeq_ps(magnitude, tie_b)));
        }
        LoadAsDoubles(src + i, a, b);
        const __m128d ra = RoundPair<kCheck>(_mm_mul_pd(a, scale), lo, hi, suspect);
        const __m128d rb = RoundPair<kCheck>(_mm_mul_pd(b, scale), lo, hi, suspect);
        if ((kCheck || kKnownTies) &&
            __builtin_expect((_mm_movemask_pd(suspect) | known_tie) != 0, 0)) {
          for (int k = 0; k < 4; ++k) ScalarFromFloat<Fmt>(src[i + k], dst + (i + k) * Fmt::kBytes);
        } else {
          StoreInt4<Fmt>(dst + i * Fmt::kBytes, JoinPairs(ra, rb));
        }
      }
    }
    return n;
  }
}

// ---- dithered output --------------------------------------------------------------------

// The generator stepped k times at once: seed * power[k] + offset[k].
struct LcgJumps {
  static constexpr int kMost = 32;
  uint32_t power[kMost + 1];
  uint32_t offset[kMost + 1];
  constexpr LcgJumps() : power(), offset() {
    power[0] = 1;
    offset[0] = 0;
    for (int k = 1; k <= kMost; ++k) {
      power[k] = power[k - 1] * kLcgMultiplier;
      offset[k] = offset[k - 1] * kLcgMultiplier + 1;
    }
  }
};
inline constexpr LcgJumps kLcgJumps{};

// Two generator states, one in the low half of each 64-bit lane, each stepped `k` draws.
struct LcgPair {
  __m128i state;
  __m128i power, offset;
  LcgPair(uint32_t first, uint32_t second, int k)
      : state(_mm_set_epi32(0, int(second), 0, int(first))),
        power(_mm_set1_epi32(int(kLcgJumps.power[k]))),
        offset(_mm_set1_epi32(int(kLcgJumps.offset[k]))) {}
  void Step() { state = _mm_add_epi32(_mm_mul_epu32(state, power), offset); }
  // The two draws read as signed 32-bit values and scaled by 2^-32: with the high half set
  // to 2^20's exponent the double is 2^20 + (d + 2^31) * 2^-32.
  __m128d Noise() const {
    const __m128i low = _mm_and_si128(state, _mm_set_epi32(0, -1, 0, -1));
    const __m128i bits =
        _mm_xor_si128(low, _mm_set_epi32(0x41300000, INT32_MIN, 0x41300000, INT32_MIN));
    return _mm_sub_pd(_mm_castsi128_pd(bits), _mm_set1_pd(0x1p20 + 0.5));
  }
  uint32_t Second() const { return uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(state, 8))); }
};

inline __m128d SwapPair(__m128d v) {
  return _mm_shuffle_pd(v, v, 1);
}

template <class Fmt, Dither D, class Float>
void FromFloatDitheredVector(const Float* src, void* destination, int32_t count, uint32_t& seed) {
  auto* dst = static_cast<uint8_t*>(destination);
  constexpr bool kForward = kDitherForward<Fmt>;
  constexpr bool kTriangular = D == Dither::kTriangular;
  constexpr int kDraws = kTriangular ? 8 : 4;
  const __m128d scale = _mm_set1_pd(Fmt::kFullScale);
  const __m128d lo = _mm_set1_pd(Fmt::kMin), hi = _mm_set1_pd(Fmt::kMax);
  const int32_t groups = count / 4, rest = count % 4;
  if (groups > 0) {
    uint32_t draw[8];
    for (int k = 0; k < 8; ++k) draw[k] = seed * kLcgJumps.power[k + 1] + kLcgJumps.offset[k + 1];
    // Draws in walking order: rectangular, samples 1-2 from `first`, 3-4 from `second`;
    // triangular, sample j sums draws 2j-1 and 2j, taken from the `first` and `odd`
    // pairs for samples 1-2 and from `second` and `second_odd` for samples 3-4.
    LcgPair first =
        kTriangular ? LcgPair(draw[0], draw[2], kDraws) : LcgPair(draw[0], draw[1], kDraws);
    LcgPair second =
        kTriangular ? LcgPair(draw[4], draw[6], kDraws) : LcgPair(draw[2], draw[3], kDraws);
    LcgPair odd(draw[1], draw[3], kDraws), second_odd(draw[5], draw[7], kDraws);
    for (int32_t g = 0; g < groups; ++g) {
      const int32_t at = kForward ? 4 * g : count - 4 - 4 * g;
      __m128d early = first.Noise(), late = second.Noise();  // walking order
      if constexpr (kTriangular) {
        const __m128d half = _mm_set1_pd(0.5);
        early = _mm_mul_pd(_mm_add_pd(early, odd.Noise()), half);
        late = _mm_mul_pd(_mm_add_pd(late, second_odd.Noise()), half);
      }
      // Memory order: walking backwards, the last sample met the first draw.
      const __m128d noise_a = kForward ? early : SwapPair(late);
      const __m128d noise_b = kForward ? late : SwapPair(early);
      seed = kTriangular ? second_odd.Second() : second.Second();
      first.Step();
      second.Step();
      if constexpr (kTriangular) {
        odd.Step();
        second_odd.Step();
      }

      __m128d a, b, suspect = _mm_setzero_pd();
      LoadAsDoubles(src + at, a, b);
      const __m128d ra =
          RoundPair<true>(_mm_add_pd(_mm_mul_pd(a, scale), noise_a), lo, hi, suspect);
      const __m128d rb =
          RoundPair<true>(_mm_add_pd(_mm_mul_pd(b, scale), noise_b), lo, hi, suspect);
      if (__builtin_expect(_mm_movemask_pd(suspect) != 0, 0)) {
        alignas(16) double noise[4];
        _mm_store_pd(noise, noise_a);
        _mm_store_pd(noise + 2, noise_b);
        for (int k = 0; k < 4; ++k) {
          ScalarFromFloat<Fmt>(src[at + k], dst + (at + k) * Fmt::kBytes, noise[k]);
        }
      } else {
        StoreInt4<Fmt>(dst + at * Fmt::kBytes, JoinPairs(ra, rb));
      }
    }
  }
  // The samples left over continue the walk: after the groups going forwards, before them
  // going backwards.
  for (int32_t k = 0; k < rest; ++k) {
    const int32_t i = kForward ? 4 * groups + k : rest - 1 - k;
    ScalarFromFloat<Fmt>(src[i], dst + i * Fmt::kBytes, DrawNoise<D>(seed));
  }
}

// ---- the 3DNow-selected variants --------------------------------------------------------

template <class Fmt>
int32_t ToSingleTruncatingVector(const void* source, float* dst, int32_t count) {
  const auto* src = static_cast<const uint8_t*>(source);
  const int32_t n = count & ~3;
  const __m128 factor = _mm_set1_ps(kTruncatingInputFactor<Fmt>);
  for (int32_t i = 0; i < n; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 4 * i));
    _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(v), factor));
  }
  return n;
}

template <class Fmt>
int32_t FromSingleTruncatingVector(const float* src, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  const int32_t n = count & ~3;
  const __m128 scale = _mm_set1_ps(kTruncatingOutputScale<Fmt>);
  const __m128 limit = _mm_set1_ps(0x1p31f);
  for (int32_t i = 0; i < n; i += 4) {
    const __m128 p = _mm_mul_ps(_mm_loadu_ps(src + i), scale);
    // The conversion gives 0x80000000 for every overflow: flip it for the positive ones.
    __m128i v = _mm_cvttps_epi32(p);
    v = _mm_xor_si128(v, _mm_castps_si128(_mm_cmpge_ps(p, limit)));
    v = _mm_and_si128(v, _mm_castps_si128(_mm_cmpord_ps(p, p)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 4 * i), v);
  }
  return n;
}

}  // namespace asio_convert::detail
