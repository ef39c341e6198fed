#pragma once

// One generic implementation of every converter over per-format traits. Each routine has a
// scalar path and vector paths (SSE2, and AVX2 or AVX-512 where the processor has them);
// the public routines use the widest vector path available, the tests hold every path
// against the scalar one.
//
// Every vector path must give exactly the scalar path's bits. Which path runs depends on
// the listener's processor, and within one block the scalar path still takes the tail and
// any group a vector path hands back, so a path that rounded differently would make the
// same audio come out differently by machine and by where a block boundary falls. The
// scalar path is the one definition of the rounding, saturation and NaN rules stated in
// asio_convert.h, and the one reference the tests hold every path to.

#include <atomic>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#define ASIO_CONVERT_SSE2 1
#else
#define ASIO_CONVERT_SSE2 0
#endif

extern std::atomic<uint32_t> DitherSeed;

namespace asio_convert::detail {

enum class Container { kInt16, kInt24, kInt32, kFloat32, kFloat64 };

// A driver sample format: container, byte order and, for integers, the significant bits
// (the full-scale value is F = 2^(bits-1) - 1).
template <Container C, bool kBig, int kSignificantBits = 0>
struct Format {
  static constexpr Container kContainer = C;
  static constexpr bool kBigEndian = kBig;
  static constexpr bool kIsFloat = C == Container::kFloat32 || C == Container::kFloat64;
  static constexpr int kBytes = C == Container::kInt16     ? 2
                                : C == Container::kInt24   ? 3
                                : C == Container::kFloat64 ? 8
                                                           : 4;
  static constexpr int kBits = kSignificantBits;
  static constexpr int kScaleShift = kBits > 0 ? kBits - 1 : 0;
  static constexpr double kFullScale = double((int64_t(1) << kScaleShift) - 1);
  static constexpr int32_t kMax = C == Container::kInt16   ? 32767
                                  : C == Container::kInt24 ? 8388607
                                                           : INT32_MAX;
  static constexpr int32_t kMin = C == Container::kInt16   ? -32768
                                  : C == Container::kInt24 ? -8388608
                                                           : INT32_MIN;
};

using Int16MSB = Format<Container::kInt16, true, 16>;
using Int24MSB = Format<Container::kInt24, true, 24>;
using Int32MSB = Format<Container::kInt32, true, 32>;
using Float32MSB = Format<Container::kFloat32, true>;
using Float64MSB = Format<Container::kFloat64, true>;
using Int32MSB16 = Format<Container::kInt32, true, 16>;
using Int32MSB18 = Format<Container::kInt32, true, 18>;
using Int32MSB20 = Format<Container::kInt32, true, 20>;
using Int32MSB24 = Format<Container::kInt32, true, 24>;
using Int16LSB = Format<Container::kInt16, false, 16>;
using Int24LSB = Format<Container::kInt24, false, 24>;
using Int32LSB = Format<Container::kInt32, false, 32>;
using Float32LSB = Format<Container::kFloat32, false>;
using Float64LSB = Format<Container::kFloat64, false>;
using Int32LSB16 = Format<Container::kInt32, false, 16>;
using Int32LSB18 = Format<Container::kInt32, false, 18>;
using Int32LSB20 = Format<Container::kInt32, false, 20>;
using Int32LSB24 = Format<Container::kInt32, false, 24>;

// The single-precision number nearest to 1/32767.
inline constexpr float kInv32767 = std::bit_cast<float>(0x38000100u);

// The integer-to-float factor: 1/32767 as that single, otherwise the double 1/F.
template <class Fmt>
constexpr double InputFactor() {
  return Fmt::kBits == 16 ? double(kInv32767) : 1.0 / Fmt::kFullScale;
}

// Rounding and flush-to-zero come from the SSE control word, which foreign code may have
// changed on this thread: convert with the host's setting and give the caller's back.
class NearestRoundingScope {
 public:
#if ASIO_CONVERT_SSE2
  NearestRoundingScope() noexcept : saved_(_mm_getcsr()) {
    if ((saved_ & ~0x3Fu) != 0x1F80u) _mm_setcsr(0x1F80u);
  }
  ~NearestRoundingScope() {
    if ((saved_ & ~0x3Fu) != 0x1F80u) _mm_setcsr(saved_);
  }

 private:
  unsigned saved_;
#endif
};

// ---- bytes ------------------------------------------------------------------------------

inline uint16_t Swap(uint16_t v) {
  return uint16_t((v >> 8) | (v << 8));
}
inline uint32_t Swap(uint32_t v) {
  return __builtin_bswap32(v);
}
inline uint64_t Swap(uint64_t v) {
  return __builtin_bswap64(v);
}

template <class T>
inline T LoadRaw(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
template <class T>
inline void StoreRaw(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

template <class Fmt>
inline int32_t LoadInt(const uint8_t* p) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    uint16_t v = LoadRaw<uint16_t>(p);
    if (Fmt::kBigEndian) v = Swap(v);
    return int16_t(v);
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    const uint32_t v = Fmt::kBigEndian ? (uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2])
                                       : (uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]);
    return int32_t(v << 8) >> 8;
  } else {
    uint32_t v = LoadRaw<uint32_t>(p);
    if (Fmt::kBigEndian) v = Swap(v);
    return int32_t(v);
  }
}

template <class Fmt>
inline void StoreInt(uint8_t* p, int32_t value) {
  if constexpr (Fmt::kContainer == Container::kInt16) {
    uint16_t v = uint16_t(value);
    StoreRaw(p, Fmt::kBigEndian ? Swap(v) : v);
  } else if constexpr (Fmt::kContainer == Container::kInt24) {
    const uint32_t v = uint32_t(value);
    const uint8_t lo = uint8_t(v), mid = uint8_t(v >> 8), hi = uint8_t(v >> 16);
    p[0] = Fmt::kBigEndian ? hi : lo;
    p[1] = mid;
    p[2] = Fmt::kBigEndian ? lo : hi;
  } else {
    uint32_t v = uint32_t(value);
    StoreRaw(p, Fmt::kBigEndian ? Swap(v) : v);
  }
}

template <class Fmt>
using FloatOf = std::conditional_t<Fmt::kContainer == Container::kFloat32, float, double>;
template <class Fmt>
using BitsOf = std::conditional_t<Fmt::kContainer == Container::kFloat32, uint32_t, uint64_t>;

template <class Fmt>
inline FloatOf<Fmt> LoadFloat(const uint8_t* p) {
  BitsOf<Fmt> bits = LoadRaw<BitsOf<Fmt>>(p);
  if (Fmt::kBigEndian) bits = Swap(bits);
  return std::bit_cast<FloatOf<Fmt>>(bits);
}

template <class Fmt>
inline void StoreFloat(uint8_t* p, FloatOf<Fmt> value) {
  BitsOf<Fmt> bits = std::bit_cast<BitsOf<Fmt>>(value);
  StoreRaw(p, Fmt::kBigEndian ? Swap(bits) : bits);
}

// ---- exact rounding ---------------------------------------------------------------------

// The sign of a + b + c + d, exactly: the terms are summed into a non-overlapping
// expansion (error-free additions), whose largest non-zero part carries the sign.
inline int ExactSignOfSum(double a, double b, double c, double d) {
  const double terms[4] = {a, b, c, d};
  double parts[4];
  int count = 0;
  for (double q : terms) {
    for (int i = 0; i < count; ++i) {
      const double sum = q + parts[i];
      const double virtual_b = sum - q;
      parts[i] = (q - (sum - virtual_b)) + (parts[i] - virtual_b);
      q = sum;
    }
    parts[count++] = q;
  }
  for (int i = count - 1; i >= 0; --i) {
    if (parts[i] != 0) return parts[i] > 0 ? 1 : -1;
  }
  return 0;
}

inline double RoundToEven(double s) {
#if ASIO_CONVERT_SSE2
  return double(_mm_cvtsd_si32(_mm_set_sd(s)));  // |s| < 2^31 here
#else
  return std::nearbyint(s);
#endif
}

// How close to a half-integer the rounded estimate may be before the exact check runs.
// Only a value within an ulp of a half-integer can round differently from its estimate.
inline constexpr double kTieMargin = 0x1p-50;

// round(x * F + noise) with ties to even, saturated to [lo, hi], NaN giving 0; exact for
// F = 2^k - 1 although x * F need not be representable: x * 2^k and -x are exact terms.
template <int kShift>
inline int32_t RoundScaledExact(double x, double noise, double lo, double hi) {
  constexpr double kScale = double((int64_t(1) << kShift) - 1);
  double s = x * kScale + noise;
  if (!(s == s)) return 0;
  if (s <= lo) return int32_t(lo);
  if (s >= hi) return int32_t(hi);
  const double r = RoundToEven(s);
  const double d = s - r;
  if (std::fabs(d) >= 0.5 - kTieMargin) {
    const double direction = d > 0 ? 1.0 : -1.0;
    const double boundary = r + 0.5 * direction;
    const int beyond =
        ExactSignOfSum(x * double(int64_t(1) << kShift), -x, noise, -boundary) * int(direction);
    if (beyond > 0 || (beyond == 0 && std::fmod(r, 2.0) != 0)) {
      const double moved = r + direction;
      return int32_t(moved < lo ? lo : moved > hi ? hi : moved);
    }
  }
  return int32_t(r);
}

template <class Fmt>
inline int32_t ToInteger(double x, double noise = 0.0) {
  return RoundScaledExact<Fmt::kScaleShift>(x, noise, Fmt::kMin, Fmt::kMax);
}

// ---- integer to single ------------------------------------------------------------------

// A factor in three parts of at most 18 significant bits each: a 32-bit integer times each
// part is exact in double, so the three products give the exact product with the factor.
constexpr double KeepLeadingBits(double x, int bits) {
  const uint64_t pattern = std::bit_cast<uint64_t>(x);
  return x == 0 ? 0.0 : std::bit_cast<double>(pattern & ~((uint64_t(1) << (53 - bits)) - 1));
}

template <class Fmt>
struct SplitInputFactor {
  static constexpr double kHigh = KeepLeadingBits(InputFactor<Fmt>(), 18);
  static constexpr double kMiddle = KeepLeadingBits(InputFactor<Fmt>() - kHigh, 18);
  static constexpr double kLow = InputFactor<Fmt>() - kHigh - kMiddle;
};

// The integer formats whose product with the factor is formed in double and then narrowed
// to single: rounded twice, which differs from rounding once only when the double lands
// exactly half-way between two singles.
template <class Fmt, class Float>
inline constexpr bool kNarrowsProduct =
    !Fmt::kIsFloat && std::is_same_v<Float, float> && Fmt::kContainer != Container::kInt16;

// A double half-way between two neighbouring singles (normal range): its 29 bits below
// single precision are exactly 1 followed by zeros.
inline constexpr uint64_t kBelowSingleMask = (uint64_t(1) << 29) - 1;
inline constexpr uint64_t kSingleHalfWay = uint64_t(1) << 28;

inline bool IsSingleHalfWay(double p) {
  return (std::bit_cast<uint64_t>(p) & kBelowSingleMask) == kSingleHalfWay;
}

// The single nearest to v times the factor, rounded once: the double product, moved off a
// half-way point towards the side the exact product lies on.
template <class Fmt>
inline float ProductToSingle(int32_t v) {
  const double p = double(v) * InputFactor<Fmt>();
  if (!IsSingleHalfWay(p)) return float(p);
  using Parts = SplitInputFactor<Fmt>;
  const double x = double(v);
  const int side = ExactSignOfSum(x * Parts::kHigh, x * Parts::kMiddle, x * Parts::kLow, -p);
  if (side == 0) return float(p);  // a true tie: to even, as the narrowing does
  return float(std::nextafter(p, side > 0 ? HUGE_VAL : -HUGE_VAL));
}

// The samples of a block converted by narrowing whose double product lay half-way between
// two singles, redone by the rule above; the vector paths call it for a block that had one.
template <class Fmt>
void SettleSingleHalfWays(const uint8_t* src, float* dst, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    const int32_t v = LoadInt<Fmt>(src + i * Fmt::kBytes);
    if (IsSingleHalfWay(double(v) * InputFactor<Fmt>())) dst[i] = ProductToSingle<Fmt>(v);
  }
}

// ---- dither noise -----------------------------------------------------------------------

inline constexpr uint32_t kLcgMultiplier = 134775813u;
inline constexpr double kRectangularScale = 0x1p-32;
inline constexpr double kTriangularScale = 0x1p-33;

enum class Dither { kNone, kRectangular, kTriangular };

// The seed after `steps` draws, in as many steps as `steps` has bits: the generator's map
// applied 2^k times is again s * a + c, and such maps commute.
inline uint32_t AdvanceSeed(uint32_t seed, uint32_t steps) {
  uint32_t a = kLcgMultiplier, c = 1;
  for (; steps != 0; steps >>= 1) {
    if (steps & 1) seed = seed * a + c;
    c = c * a + c;
    a = a * a;
  }
  return seed;
}

// Noise in units of the target's least significant bit, drawn from `seed`.
template <Dither D>
inline double DrawNoise(uint32_t& seed) {
  if constexpr (D == Dither::kRectangular) {
    seed = seed * kLcgMultiplier + 1;
    return double(int32_t(seed)) * kRectangularScale;
  } else {
    seed = seed * kLcgMultiplier + 1;
    const double first = double(int32_t(seed));
    seed = seed * kLcgMultiplier + 1;
    return (first + double(int32_t(seed))) * kTriangularScale;
  }
}

// ---- scalar paths -----------------------------------------------------------------------

template <class Fmt, class Float>
inline Float ScalarToFloat(const uint8_t* p) {
  if constexpr (Fmt::kIsFloat) {
    return Float(LoadFloat<Fmt>(p));
  } else if constexpr (Fmt::kContainer == Container::kInt16 && std::is_same_v<Float, float>) {
    return float(LoadInt<Fmt>(p)) * kInv32767;  // exact operands: one rounding
  } else if constexpr (kNarrowsProduct<Fmt, Float>) {
    return ProductToSingle<Fmt>(LoadInt<Fmt>(p));
  } else {
    return Float(double(LoadInt<Fmt>(p)) * InputFactor<Fmt>());
  }
}

template <class Fmt, class Float>
inline void ScalarFromFloat(Float x, uint8_t* p, double noise = 0.0) {
  if constexpr (Fmt::kIsFloat) {
    StoreFloat<Fmt>(p, FloatOf<Fmt>(x));
  } else {
    StoreInt<Fmt>(p, ToInteger<Fmt>(double(x), noise));
  }
}

template <class Fmt, class Float>
void ToFloatScalar(const void* source, Float* destination, int32_t count) {
  const auto* src = static_cast<const uint8_t*>(source);
  for (int32_t i = 0; i < count; ++i)
    destination[i] = ScalarToFloat<Fmt, Float>(src + i * Fmt::kBytes);
}

template <class Fmt, class Float>
void FromFloatScalar(const Float* source, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  for (int32_t i = 0; i < count; ++i) ScalarFromFloat<Fmt>(source[i], dst + i * Fmt::kBytes);
}

// Int24LSB walks forwards, the other dithered formats backwards.
template <class Fmt>
inline constexpr bool kDitherForward = Fmt::kContainer == Container::kInt24;

template <class Fmt, Dither D, class Float>
void FromFloatDitheredScalar(const Float* source, void* destination, int32_t count,
                             uint32_t& seed) {
  auto* dst = static_cast<uint8_t*>(destination);
  for (int32_t k = 0; k < count; ++k) {
    const int32_t i = kDitherForward<Fmt> ? k : count - 1 - k;
    ScalarFromFloat<Fmt>(source[i], dst + i * Fmt::kBytes, DrawNoise<D>(seed));
  }
}

// The 3DNow-selected variants: single precision, truncation with saturation.
template <class Fmt>
inline constexpr float kTruncatingInputFactor = Fmt::kBits == 32   ? 0x1p-31f
                                                : Fmt::kBits == 16 ? kInv32767
                                                                   : float(1.0 / Fmt::kFullScale);
template <class Fmt>
inline constexpr float kTruncatingOutputScale = Fmt::kBits == 32 ? 0x1p31f : float(Fmt::kFullScale);

inline int32_t TruncateSaturated(float v) {
  if (!(v == v)) return 0;
  if (v >= 0x1p31f) return INT32_MAX;
  if (v <= -0x1p31f) return INT32_MIN;
  return int32_t(v);
}

template <class Fmt>
void ToSingleTruncatingScalar(const void* source, float* destination, int32_t count) {
  const auto* src = static_cast<const uint8_t*>(source);
  for (int32_t i = 0; i < count; ++i) {
    destination[i] = float(LoadInt<Fmt>(src + 4 * i)) * kTruncatingInputFactor<Fmt>;
  }
}

template <class Fmt>
void FromSingleTruncatingScalar(const float* source, void* destination, int32_t count) {
  auto* dst = static_cast<uint8_t*>(destination);
  for (int32_t i = 0; i < count; ++i) {
    StoreInt<Fmt>(dst + 4 * i, TruncateSaturated(source[i] * kTruncatingOutputScale<Fmt>));
  }
}

}  // namespace asio_convert::detail

#if ASIO_CONVERT_SSE2
// First: the wider paths build on it.
#include "asio_convert/convert_kernels_sse2.h"

#include "asio_convert/convert_kernels_avx2.h"
#include "asio_convert/convert_kernels_avx512.h"

namespace asio_convert::detail {

// The vector paths, narrowest first. The widest one the processor has is chosen when the
// library is loaded; tests and benchmarks switch between them to compare.
enum class VectorPath { kSse2, kAvx2, kAvx512 };

bool ProcessorHasPath(VectorPath path);
// Makes `path` the one the routines use, when the processor has it (else returns false and
// changes nothing). Not for use while routines run on other threads.
bool UseVectorPath(VectorPath path);
VectorPath CurrentVectorPath();

}  // namespace asio_convert::detail
#endif

namespace asio_convert::detail {

// The routines the public names stand for: the vector path where there is one, then the
// scalar path for what is left.
template <class Fmt, class Float>
void ToFloat(const void* source, Float* destination, int32_t count) {
  if (count <= 0) return;
  NearestRoundingScope rounding;
#if ASIO_CONVERT_SSE2
  int32_t done;
  if constexpr (!Fmt::kIsFloat) {
    done = g_use_avx2 ? ToFloatAvx2<Fmt>(source, destination, count)
                      : ToFloatVector<Fmt>(source, destination, count);
  } else {
    done = ToFloatVector<Fmt>(source, destination, count);
  }
#else
  const int32_t done = 0;
#endif
  ToFloatScalar<Fmt>(static_cast<const uint8_t*>(source) + done * Fmt::kBytes, destination + done,
                     count - done);
}

template <class Fmt, class Float>
void FromFloat(const Float* source, void* destination, int32_t count) {
  if (count <= 0) return;
  NearestRoundingScope rounding;
#if ASIO_CONVERT_SSE2
  int32_t done;
  if constexpr (!Fmt::kIsFloat) {
    done = g_use_avx512 ? FromFloatAvx512<Fmt>(source, destination, count)
           : g_use_avx2 ? FromFloatAvx2<Fmt>(source, destination, count)
                        : FromFloatVector<Fmt>(source, destination, count);
  } else {
    done = FromFloatVector<Fmt>(source, destination, count);
  }
#else
  const int32_t done = 0;
#endif
  FromFloatScalar<Fmt>(source + done, static_cast<uint8_t*>(destination) + done * Fmt::kBytes,
                       count - done);
}

template <class Fmt, Dither D, class Float>
void FromFloatDithered(const Float* source, void* destination, int32_t count) {
  if (count <= 0) return;
  NearestRoundingScope rounding;
  uint32_t seed = ::DitherSeed.load(std::memory_order_relaxed);
#if ASIO_CONVERT_SSE2
  if (g_use_avx512_ifma) {
    FromFloatDitheredAvx512<Fmt, D>(source, destination, count, seed);
  } else if (g_use_avx2) {
    FromFloatDitheredAvx2<Fmt, D>(source, destination, count, seed);
  } else {
    FromFloatDitheredVector<Fmt, D>(source, destination, count, seed);
  }
#else
  FromFloatDitheredScalar<Fmt, D>(source, destination, count, seed);
#endif
  ::DitherSeed.store(seed, std::memory_order_relaxed);
}

template <class Fmt>
void ToSingleTruncating(const void* source, float* destination, int32_t count) {
  if (count <= 0) return;
  NearestRoundingScope rounding;
#if ASIO_CONVERT_SSE2
  const int32_t done = ToSingleTruncatingVector<Fmt>(source, destination, count);
#else
  const int32_t done = 0;
#endif
  ToSingleTruncatingScalar<Fmt>(static_cast<const uint8_t*>(source) + 4 * done, destination + done,
                                count - done);
}

template <class Fmt>
void FromSingleTruncating(const float* source, void* destination, int32_t count) {
  if (count <= 0) return;
  NearestRoundingScope rounding;
#if ASIO_CONVERT_SSE2
  const int32_t done = FromSingleTruncatingVector<Fmt>(source, destination, count);
#else
  const int32_t done = 0;
#endif
  FromSingleTruncatingScalar<Fmt>(source + done, static_cast<uint8_t*>(destination) + 4 * done,
                                  count - done);
}

}  // namespace asio_convert::detail
