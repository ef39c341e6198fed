// Every driver-to-float routine of both widths against the product rounded once, worked out
// on integers: exhaustively for the formats of at most 2^24 codes, and for the 32-bit
// formats at every code whose product lies near a half-way point between two singles.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "asio_convert/asio_convert.h"
#include "asio_convert/tests/exact_reference.h"
#include "asio_convert/tests/test_formats.h"

namespace {

using exact_reference::U128;

// The factor of a format with this many bits: the single nearest to 1/32767 for 16 bits,
// the double nearest to 1/F otherwise.
double Factor(int bits) {
  if (bits == 16) return double(std::bit_cast<float>(0x38000100u));
  return 1.0 / double((int64_t(1) << (bits - 1)) - 1);
}

// v times the factor, rounded once to `precision` significant bits with ties to even.
double RoundedProduct(int64_t v, double factor, int precision) {
  if (v == 0) return 0.0;
  int e = 0;
  const uint64_t m = uint64_t(std::ldexp(std::frexp(factor, &e), 53));
  int exponent = e - 53;
  const uint64_t magnitude = uint64_t(v < 0 ? -v : v);  // at most 2^31
  U128 q = exact_reference::Multiply(m, magnitude);
  const int top = q.hi != 0 ? 127 - std::countl_zero(q.hi) : 63 - std::countl_zero(q.lo);
  const int shift = top + 1 - precision;
  if (shift > 0) {
    const U128 rest = exact_reference::LowBits(q, shift);
    q = exact_reference::ShiftRight(q, shift);
    const U128 half = shift - 1 >= 64 ? U128{uint64_t(1) << (shift - 1 - 64), 0}
                                      : U128{0, uint64_t(1) << (shift - 1)};
    const int c = exact_reference::Compare(rest, half);
    if (c > 0 || (c == 0 && (q.lo & 1))) ++q.lo;  // q < 2^53: no carry out
    exponent += shift;
  }
  const double r = std::ldexp(double(q.lo), exponent);
  return v < 0 ? -r : r;
}

struct Expected {
  std::vector<float> singles;
  std::vector<double> doubles;
};

Expected Reference(const std::vector<int64_t>& codes, int bits) {
  const double factor = Factor(bits);
  Expected e;
  for (int64_t v : codes) {
    e.singles.push_back(float(RoundedProduct(v, factor, 24)));  // exact: a single's value
    e.doubles.push_back(RoundedProduct(v, factor, 53));
  }
  return e;
}

// Converts the codes with both routines of every format of this many significant bits, on
// every vector path, and compares bit for bit.
void ExpectEveryRoutineRoundsOnce(const std::vector<int64_t>& codes, int bits,
                                  const Expected& expected, bool only_32_bit_containers = false) {
  const int32_t n = int32_t(codes.size());
  ForEachVectorPath([&] {
    for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
      const FormatInfo& f = kFormats[t];
      if (f.is_float || f.bits != bits || (only_32_bit_containers && f.container_bits != 32))
        continue;
      std::vector<uint8_t> driver(codes.size() * f.bytes);
      for (size_t i = 0; i < codes.size(); ++i) EncodeInt(f, codes[i], &driver[i * f.bytes]);
      std::vector<float> singles(n);
      std::vector<double> doubles(n);
      InputConverterTable[t].ToSingle(driver.data(), singles.data(), n);
      InputConverterTable[t].ToDouble(driver.data(), doubles.data(), n);
      if (std::memcmp(singles.data(), expected.singles.data(), n * sizeof(float)) != 0) {
        for (int32_t i = 0; i < n; ++i)
          ASSERT_EQ(std::bit_cast<uint32_t>(singles[i]),
                    std::bit_cast<uint32_t>(expected.singles[i]))
              << f.name << "ToSingle of " << codes[i];
      }
      if (std::memcmp(doubles.data(), expected.doubles.data(), n * sizeof(double)) != 0) {
        for (int32_t i = 0; i < n; ++i)
          ASSERT_EQ(std::bit_cast<uint64_t>(doubles[i]),
                    std::bit_cast<uint64_t>(expected.doubles[i]))
              << f.name << "ToDouble of " << codes[i];
      }
    }
  });
}

class EveryCode : public ::testing::TestWithParam<int> {};

// Every code of the sample's own bits; for the 32-bit containers of 16 to 24 bits these are
// the codes within range. Blocks of an odd length put every code at every vector position.
TEST_P(EveryCode, ToFloatRoundsTheProductOnce) {
  PlainTables plain;
  const int bits = GetParam();
  const int64_t half = int64_t(1) << (bits - 1);
  constexpr int64_t kBlock = 65531;
  for (int64_t first = -half; first < half; first += kBlock) {
    std::vector<int64_t> codes;
    for (int64_t v = first; v < std::min(first + kBlock, half); ++v) codes.push_back(v);
    ExpectEveryRoutineRoundsOnce(codes, bits, Reference(codes, bits));
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Bits, EveryCode, ::testing::Values(16, 18, 20, 24));

// Codes whose double product lies within 2^12 doubles' steps of a half-way point between two
// singles: the candidates for a second rounding when the double is narrowed. Found by
// walking every 32-bit code, two at a time: the bits below single precision sit in the low
// half of each double.
std::vector<int64_t> CodesNearSingleHalfWays(int bits) {
  constexpr uint32_t kBelowSingle = (uint32_t(1) << 29) - 1, kHalfWay = uint32_t(1) << 28;
  constexpr uint32_t kWindow = uint32_t(1) << 12;
  std::vector<int64_t> codes;
#if ASIO_CONVERT_SSE2
  const __m128d factor = _mm_set1_pd(Factor(bits)), step = _mm_set1_pd(2.0);
  const __m128i mask = _mm_set1_epi32(int(kBelowSingle));
  const __m128i low = _mm_set1_epi32(int(kHalfWay - kWindow));
  // Unsigned "at most 2 * kWindow" as a signed comparison with the sign bits flipped.
  const __m128i flip = _mm_set1_epi32(INT32_MIN);
  const __m128i limit = _mm_set1_epi32(int(2 * kWindow + 1) ^ INT32_MIN);
  __m128d pair = _mm_set_pd(double(INT32_MIN) + 1.0, double(INT32_MIN));
  for (int64_t v = INT32_MIN; v <= INT32_MAX; v += 2) {
    const __m128i below = _mm_and_si128(_mm_castpd_si128(_mm_mul_pd(pair, factor)), mask);
    const __m128i offset = _mm_xor_si128(_mm_sub_epi32(below, low), flip);
    const int near = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmplt_epi32(offset, limit))) & 0x5;
    if (near & 0x1) codes.push_back(v);
    if (near & 0x4) codes.push_back(v + 1);
    pair = _mm_add_pd(pair, step);
  }
#else
  const double factor = Factor(bits);
  for (int64_t v = INT32_MIN; v <= INT32_MAX; ++v) {
    const uint32_t below = uint32_t(std::bit_cast<uint64_t>(double(v) * factor)) & kBelowSingle;
    if (below - (kHalfWay - kWindow) <= 2 * kWindow) codes.push_back(v);
  }
#endif
  return codes;
}

TEST(ThirtyTwoBitCodes, ToFloatRoundsTheProductOnceNearSingleHalfWays) {
  PlainTables plain;
  const std::vector<int64_t> codes = CodesNearSingleHalfWays(32);
  ASSERT_GT(codes.size(), 1000u);
  const Expected expected = Reference(codes, 32);
  // The walk found codes that two roundings get wrong, or it would prove nothing.
  int twice_rounded_wrong = 0;
  for (size_t i = 0; i < codes.size(); ++i)
    twice_rounded_wrong += float(double(codes[i]) * Factor(32)) != expected.singles[i];
  EXPECT_GT(twice_rounded_wrong, 0);
  ExpectEveryRoutineRoundsOnce(codes, 32, expected);
}

// The aligned formats read whole 32-bit words: codes beyond the sample's bits are rounded
// once too.
TEST(ThirtyTwoBitCodes, AlignedFormatsRoundCodesBeyondTheirBitsOnce) {
  PlainTables plain;
  std::mt19937 gen(2024);
  std::vector<int64_t> codes;
  for (int i = 0; i < 200003; ++i) codes.push_back(int32_t(gen()));
  codes.push_back(INT32_MIN);
  codes.push_back(INT32_MAX);
  for (int bits : {16, 18, 20, 24}) {
    SCOPED_TRACE(bits);
    ExpectEveryRoutineRoundsOnce(codes, bits, Reference(codes, bits), true);
  }
}

}  // namespace
