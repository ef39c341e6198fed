#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "asio_convert/asio_convert.h"
#include "asio_convert/tests/exact_reference.h"
#include "asio_convert/tests/test_formats.h"

namespace {

uint32_t Step(uint32_t seed) { return seed * 134775813u + 1; }

struct Dithered {
  const char* name;
  int index;
  bool forward;
  TOutConverterSingle single_udf, single_tdf;
  TOutConverterDouble double_udf, double_tdf;
};

const Dithered kDithered[] = {
    {"Int16LSB", 9, false, SingleToInt16LSB_UDF, SingleToInt16LSB_TDF, DoubleToInt16LSB_UDF,
     DoubleToInt16LSB_TDF},
    {"Int24LSB", 10, true, SingleToInt24LSB_UDF, SingleToInt24LSB_TDF, DoubleToInt24LSB_UDF,
     DoubleToInt24LSB_TDF},
    {"Int32LSB16", 14, false, SingleToInt32LSB16_UDF, SingleToInt32LSB16_TDF,
     DoubleToInt32LSB16_UDF, DoubleToInt32LSB16_TDF},
    {"Int32LSB18", 15, false, SingleToInt32LSB18_UDF, SingleToInt32LSB18_TDF,
     DoubleToInt32LSB18_UDF, DoubleToInt32LSB18_TDF},
    {"Int32LSB20", 16, false, SingleToInt32LSB20_UDF, SingleToInt32LSB20_TDF,
     DoubleToInt32LSB20_UDF, DoubleToInt32LSB20_TDF},
    {"Int32LSB24", 17, false, SingleToInt32LSB24_UDF, SingleToInt32LSB24_TDF,
     DoubleToInt32LSB24_UDF, DoubleToInt32LSB24_TDF},
};

std::vector<int64_t> Decode(const FormatInfo& f, const std::vector<uint8_t>& bytes) {
  std::vector<int64_t> v(bytes.size() / f.bytes);
  for (size_t i = 0; i < v.size(); ++i) v[i] = DecodeInt(f, &bytes[i * f.bytes]);
  return v;
}

// The noise each sample of a block meets, by memory position, in units of 2^-53 (exact):
// drawn in walking order, one draw per sample scaled by 2^-32 (rectangular) or two draws
// summed and scaled by 2^-33 (triangular). `seed` is left as the routine should leave it.
std::vector<int64_t> NoiseInMemoryOrder(const Dithered& d, bool triangular, int count,
                                        uint32_t& seed) {
  std::vector<int64_t> noise(count);
  for (int k = 0; k < count; ++k) {
    const int i = d.forward ? k : count - 1 - k;
    seed = Step(seed);
    if (triangular) {
      const int64_t first = int32_t(seed);
      seed = Step(seed);
      noise[i] = (first + int32_t(seed)) * (int64_t(1) << 20);
    } else {
      noise[i] = int64_t(int32_t(seed)) * (int64_t(1) << 21);
    }
  }
  return noise;
}

TEST(Dither, SeedAdvancesOncePerSampleRectangularTwiceTriangular) {
  ForEachVectorPath([&] {
    for (const Dithered& d : kDithered) {
      const FormatInfo& f = kFormats[d.index];
      for (int32_t n : {1, 5, 17}) {
        std::vector<float> in(n, 0.25f);
        std::vector<double> in_d(n, 0.25);
        std::vector<uint8_t> out(n * f.bytes);
        uint32_t expected = 0;
        for (int i = 0; i < n; ++i) expected = Step(expected);

        DitherSeed = 0;
        d.single_udf(in.data(), out.data(), 1);
        EXPECT_EQ(DitherSeed.load(), 1u) << d.name << ": the first draw from 0 is 1";
        DitherSeed = 0;
        d.single_udf(in.data(), out.data(), n);
        EXPECT_EQ(DitherSeed.load(), expected) << d.name;
        DitherSeed = 0;
        d.double_udf(in_d.data(), out.data(), n);
        EXPECT_EQ(DitherSeed.load(), expected) << d.name;
        for (int i = 0; i < n; ++i) expected = Step(expected);
        DitherSeed = 0;
        d.single_tdf(in.data(), out.data(), n);
        EXPECT_EQ(DitherSeed.load(), expected) << d.name;
        DitherSeed = 0;
        d.double_tdf(in_d.data(), out.data(), n);
        EXPECT_EQ(DitherSeed.load(), expected) << d.name;
      }
    }
  });
}

// With x * F = k + 1/4, a sample rounds up exactly when its noise is at least 1/4, so the
// output shows which draw met which sample: in walking order, one draw per sample, scaled
// by 2^-32 (rectangular) or two draws per sample summed and scaled by 2^-33 (triangular).
TEST(Dither, NoisePairsWithSamplesInWalkingOrder) {
  ForEachVectorPath([&] {
    for (const Dithered& d : kDithered) {
      const FormatInfo& f = kFormats[d.index];
      const double full = FullScale(f);
      constexpr int32_t kCount = 23;
      const double x = (100.0 + 0.25) / full;
      std::vector<double> in(kCount, x);
      for (bool triangular : {false, true}) {
        const uint32_t start = 0xC0FFEEu;
        uint32_t seed = start;
        const std::vector<int64_t> noise = NoiseInMemoryOrder(d, triangular, kCount, seed);
        std::vector<int64_t> expected(kCount);
        for (int i = 0; i < kCount; ++i) {
          expected[i] = std::nearbyint(x * full + double(noise[i]) * 0x1p-53) == 101 ? 101 : 100;
        }
        std::vector<uint8_t> out(kCount * f.bytes);
        DitherSeed = start;
        (triangular ? d.double_tdf : d.double_udf)(in.data(), out.data(), kCount);
        EXPECT_EQ(Decode(f, out), expected) << d.name << (triangular ? " TDF" : " UDF");
        EXPECT_EQ(DitherSeed.load(), seed);
      }
    }
  });
}

TEST(Dither, NoiseStaysWithinHalfAStepAndFullScaleSaturates) {
  ForEachVectorPath([&] {
    for (const Dithered& d : kDithered) {
      const FormatInfo& f = kFormats[d.index];
      const double full = FullScale(f);
      constexpr int32_t kCount = 4099;
      std::vector<uint8_t> out(kCount * f.bytes);
      for (bool triangular : {false, true}) {
        auto single_routine = triangular ? d.single_tdf : d.single_udf;
        auto double_routine = triangular ? d.double_tdf : d.double_udf;
        DitherSeed = 12345;
        // On a step: noise below half a step leaves every sample there.
        std::vector<double> on_step(kCount, 1000.0 / full);
        double_routine(on_step.data(), out.data(), kCount);
        for (int64_t v : Decode(f, out)) ASSERT_EQ(v, 1000) << d.name;
        // Just below half a step: both neighbours, nothing further.
        std::vector<float> near_half(kCount, float((-1000.0 + 0.49) / full));
        single_routine(near_half.data(), out.data(), kCount);
        bool low = false, high = false;
        for (int64_t v : Decode(f, out)) {
          ASSERT_TRUE(v == -1000 || v == -999) << d.name << " gave " << v;
          (v == -1000 ? low : high) = true;
        }
        EXPECT_TRUE(low && high) << d.name;
        // Beyond full scale the container's limit holds, without wrapping round.
        std::vector<float> loud(kCount, 1.00005f);
        single_routine(loud.data(), out.data(), kCount);
        const int64_t limit = f.container_bits == 32 ? int64_t(std::ceil(full * 1.00005))
                                                     : (int64_t(1) << (f.container_bits - 1)) - 1;
        for (int64_t v : Decode(f, out)) {
          ASSERT_GE(v, int64_t(full) - 1) << d.name;
          ASSERT_LE(v, limit) << d.name;
        }
      }
    }
  });
}

// A double sample and its noise are one sum to round. Rounded in two steps (x * F, then
// plus the noise) the sum can land exactly on a half although the exact sum lies beside
// it; every sample here is chosen so, and only the exact rule gets them right.
TEST(Dither, DoubleSamplesRoundTheExactSumOfProductAndNoise) {
  ForEachVectorPath([&] {
    for (const Dithered& d : kDithered) {
      const FormatInfo& f = kFormats[d.index];
      const uint64_t full = uint64_t(FullScale(f));
      constexpr int32_t kCount = 53;  // groups of 4, 8 and 16, an odd number of them, and a rest
      for (bool triangular : {false, true}) {
        const uint32_t start = 0xDEC0DEu;
        uint32_t seed = start;
        const std::vector<int64_t> noise = NoiseInMemoryOrder(d, triangular, kCount, seed);
        // Samples in [1/2, 1), as m * 2^-53, near a half once the noise is added.
        std::vector<double> in(kCount);
        std::vector<int64_t> expected(kCount);
        for (int i = 0; i < kCount; ++i) {
          const double n = double(noise[i]) * 0x1p-53;
          bool found = false;
          for (int attempt = 0; attempt < 200 && !found; ++attempt) {
            const double half = double(full * 3 / 4 + 17 * i + 101 * attempt) + 0.5;
            const int64_t center = std::llround((half - n) / double(full) * 0x1p53);
            for (int64_t m = center - 64; m <= center + 64 && !found; ++m) {
              const double x = double(m) * 0x1p-53;
              volatile double product = x * double(full);
              const double sum = product + n;
              const int64_t exact =
                  exact_reference::RoundScaledPlusNoise(uint64_t(m), full, noise[i]);
              found = sum == half && int64_t(std::nearbyint(sum)) != exact;
              in[i] = x;
              expected[i] = exact;
            }
          }
          ASSERT_TRUE(found) << d.name << ": no false tie near sample " << i;
        }
        std::vector<uint8_t> out(kCount * f.bytes);
        DitherSeed = start;
        (triangular ? d.double_tdf : d.double_udf)(in.data(), out.data(), kCount);
        EXPECT_EQ(Decode(f, out), expected) << d.name << (triangular ? " TDF" : " UDF");
        EXPECT_EQ(DitherSeed.load(), seed);
      }
    }
  });
}

TEST(Clip, DigitalLimitsToOne) {
  const float inf = std::numeric_limits<float>::infinity();
  std::vector<float> s = {inf, -1.5f, 1.0f, -0.25f, -inf, 1.0000001f, -std::numeric_limits<float>::quiet_NaN()};
  ClipDigitalSingle(s.data(), int32_t(s.size()));
  EXPECT_EQ(s, (std::vector<float>{1.0f, -1.0f, 1.0f, -0.25f, -1.0f, 1.0f, -1.0f}));

  // The branch-free double form holds within range; beyond 2^52 and at infinity the limit.
  std::vector<double> d = {7.0, -7.0, 0.5, -0.75, 1e300, -std::numeric_limits<double>::infinity(), 0x1p53};
  ClipDigitalDouble(d.data(), int32_t(d.size()));
  EXPECT_EQ(d, (std::vector<double>{1.0, -1.0, 0.5, -0.75, 1.0, -1.0, 1.0}));
}

TEST(Clip, AnalogSaturatesSoftlyTowardsTwo) {
  std::vector<float> s = {0.0f, 1.0f, -1.0f, 3.0f, std::numeric_limits<float>::infinity()};
  ClipAnalogSingle(s.data(), int32_t(s.size()));
  EXPECT_EQ(s, (std::vector<float>{0.0f, 0.8f, -0.8f, 1.5f, 2.0f}));
  std::vector<double> d = {0.0, 1.0, -1.0, 3.0, -1e200, 1e-9};
  ClipAnalogDouble(d.data(), int32_t(d.size()));
  EXPECT_EQ(d[0], 0.0);
  EXPECT_DOUBLE_EQ(d[1], 0.8);
  EXPECT_DOUBLE_EQ(d[2], -0.8);
  EXPECT_EQ(d[3], 1.5);
  EXPECT_EQ(d[4], -2.0);
  EXPECT_NEAR(d[5], 1e-9, 1e-18);  // slope 1 at 0
}

TEST(Clip, SseVariantsTreatBlocksAndRemainderAsStated) {
  // Sixteen samples by max(min(x, 1), -1), where a NaN becomes +1; the rest by the plain
  // rule, where a NaN keeps its sign.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<float> s(19, 0.5f);
  s[0] = -nan;
  s[3] = 2.0f;
  s[15] = -3.0f;
  s[17] = -nan;
  s[18] = 1.25f;
  ClipDigitalSingle_SSE(s.data(), 19);
  EXPECT_EQ(s[0], 1.0f);
  EXPECT_EQ(s[3], 1.0f);
  EXPECT_EQ(s[15], -1.0f);
  EXPECT_EQ(s[16], 0.5f);
  EXPECT_EQ(s[17], -1.0f);
  EXPECT_EQ(s[18], 1.0f);

  // Analog in single precision throughout, the remainder included.
  std::vector<float> a = {0.3f, -0.7f, 1.0f, 3.0f, 0.1f, -2.5f, 1e30f};
  std::vector<float> expected;
  for (float x : a) {
    const float m = std::fabs(x), t = 3.0f + m;
    expected.push_back(m > 0x1p62f ? std::copysign(2.0f, x) : (2.0f * x * t) / (m * t + 6.0f));
  }
  ClipAnalogSingle_SSE(a.data(), int32_t(a.size()));
  EXPECT_EQ(a, expected);
  EXPECT_EQ(a[2], 0.8f);
  EXPECT_EQ(a[3], 1.5f);
}

}  // namespace
