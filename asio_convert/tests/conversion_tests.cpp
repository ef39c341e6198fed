#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "asio_convert/asio_convert.h"
#include "asio_convert/tests/exact_reference.h"
#include "asio_convert/tests/test_formats.h"
#include "platform/fpu.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> v;
  for (int b : values) v.push_back(uint8_t(b));
  return v;
}

int64_t Limit(const FormatInfo& f, bool high) {
  const int64_t half = int64_t(1) << (f.container_bits - 1);
  return high ? half - 1 : -half;
}

TEST(StatedValues, Int16ScalesBy32767AndRoundsTiesToEven) {
  const float in[4] = {1.0f, -1.0f, 0.5f, 0.0f};
  int16_t out[4];
  SingleToInt16LSB(in, out, 4);
  EXPECT_EQ(out[0], 32767);
  EXPECT_EQ(out[1], -32767);
  EXPECT_EQ(out[2], 16384);  // 16383.5 rounds to the even neighbour
  EXPECT_EQ(out[3], 0);

  const int16_t codes[2] = {-32768, 32767};
  float back[2];
  Int16LSBToSingle(codes, back, 2);
  EXPECT_FLOAT_EQ(back[0], -1.0000305f);
  EXPECT_LT(back[0], -1.0f);
  EXPECT_EQ(back[1], 1.0f);
  EXPECT_EQ(std::bit_cast<uint32_t>(fmt::kInv32767), 0x38000100u);
  EXPECT_LT(std::fabs(double(fmt::kInv32767) - 1.0 / 32767),
            std::fabs(double(std::nextafter(fmt::kInv32767, 1.0f)) - 1.0 / 32767));
}

TEST(StatedValues, Int24ReadsAndWritesThreeBytesPerSample) {
  const auto lsb = Bytes({0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80});
  float from_lsb[2];
  Int24LSBToSingle(lsb.data(), from_lsb, 2);
  EXPECT_EQ(from_lsb[0], float(-1.0 / 8388607));
  EXPECT_EQ(from_lsb[1], float(-8388608.0 / 8388607));
  const auto msb = Bytes({0x80, 0x00, 0x00});
  float from_msb;
  Int24MSBToSingle(msb.data(), &from_msb, 1);
  EXPECT_EQ(from_msb, from_lsb[1]);

  const float tiny = float(-1.0 / 8388607), half = 0.5f;
  uint8_t out[3];
  SingleToInt24MSB(&tiny, out, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 3), Bytes({0xFF, 0xFF, 0xFF}));
  SingleToInt24LSB(&half, out, 1);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 3), Bytes({0x00, 0x00, 0x40}));
}

TEST(StatedValues, FloatFormatsCopyOrReverseBitPatterns) {
  const double values[2] = {1.0 / 3, -2.5e-300};
  uint8_t big[16];
  for (int i = 0; i < 2; ++i) {
    uint8_t raw[8];
    std::memcpy(raw, &values[i], 8);
    for (int k = 0; k < 8; ++k) big[8 * i + k] = raw[7 - k];
  }
  double back[2];
  Float64MSBToDouble(big, back, 2);
  EXPECT_EQ(std::memcmp(back, values, 16), 0);

  const uint32_t patterns[5] = {0x7FC00001u, 0xFFA00000u, 0x00000001u, 0x807FFFFFu, 0x3F800000u};
  uint32_t copied[5];
  Float32LSBToSingle(patterns, reinterpret_cast<float*>(copied), 5);
  EXPECT_EQ(std::memcmp(copied, patterns, sizeof patterns), 0);
}

// A caller may leave flush-to-zero or another rounding mode in the SSE control word; the
// converters still round to nearest, keep denormals, and hand the caller's word back.
TEST(StatedValues, ResultsDoNotDependOnTheCallersControlWord) {
  const uint32_t saved = platform::ReadMxcsr();
  const uint32_t odd = 0x1F80u | 0x8000u | 0x0040u | 0x6000u;  // FTZ, DAZ, round toward zero
  platform::WriteMxcsr(odd);
  const uint32_t denormal_bits = 0x00000001u;
  double widened = 0;
  Float32LSBToDouble(&denormal_bits, &widened, 1);
  const float in[5] = {0.99999f, -0.99999f, 0.5f, 0.25f, 0.7f};
  int16_t out[5];
  SingleToInt16LSB(in, out, 5);
  const uint32_t after = platform::ReadMxcsr();
  platform::WriteMxcsr(saved);

  EXPECT_EQ(widened, double(std::bit_cast<float>(denormal_bits)));
  EXPECT_EQ(out[0], 32767);  // 32766.67 to nearest
  EXPECT_EQ(out[1], -32767);
  EXPECT_EQ(out[2], 16384);
  EXPECT_EQ(out[4], 22937);  // 22936.9
  EXPECT_EQ(after & ~0x3Fu, odd);
}

TEST(StatedValues, TruncatingVariantsUseSinglePrecisionAndSaturate) {
  const float in[5] = {1.0f, -1.0f, 0.99999994f, 0.75f, -0.3f};
  int32_t out[5] = {};
  SingleToInt32LSB_3DNow(in, out, 5);
  EXPECT_EQ(out[0], 2147483647);
  EXPECT_EQ(out[1], int32_t(-2147483647 - 1));
  EXPECT_EQ(out[2], 2147483520);
  EXPECT_EQ(out[3], 1610612736);
  EXPECT_EQ(out[4], int32_t(-0.3f * 0x1p31f));  // all five converted, truncated

  const float aligned_in[3] = {0.99999f, -0.5f, std::numeric_limits<float>::quiet_NaN()};
  int32_t aligned_out[3];
  SingleToInt32LSB16_3DNow(aligned_in, aligned_out, 3);
  EXPECT_EQ(aligned_out[0], int32_t(0.99999f * 32767.0f));
  EXPECT_EQ(aligned_out[1], -16383);  // -16383.5 truncated toward zero
  EXPECT_EQ(aligned_out[2], 0);

  const int32_t codes[2] = {2147483647, int32_t(-2147483647 - 1)};
  float plain[2], truncating[2];
  Int32LSBToSingle(codes, plain, 2);
  Int32LSBToSingle_3DNow(codes, truncating, 2);
  EXPECT_EQ(plain[0], 1.0f);
  EXPECT_EQ(truncating[1], -1.0f);
  // The aligned formats' scales are the singles nearest to 1/F.
  const float scales[3] = {fmt::kTruncatingInputFactor<fmt::Int32LSB18>,
                           fmt::kTruncatingInputFactor<fmt::Int32LSB20>,
                           fmt::kTruncatingInputFactor<fmt::Int32LSB24>};
  const long double fulls[3] = {131071.0L, 524287.0L, 8388607.0L};
  for (int i = 0; i < 3; ++i) {
    const long double exact = 1.0L / fulls[i];
    const long double error = std::fabs(scales[i] - exact);
    EXPECT_LE(error, std::fabs(std::nextafter(scales[i], 1.0f) - exact)) << fulls[i];
    EXPECT_LE(error, std::fabs(std::nextafter(scales[i], 0.0f) - exact)) << fulls[i];
  }
  const int32_t aligned_code = 8388607;
  float aligned_value;
  Int32LSB24ToSingle_3DNow(&aligned_code, &aligned_value, 1);
  EXPECT_EQ(aligned_value, 8388607.0f * float(1.0 / 8388607));
}

// Every integer output against rounding done on integers: random values of both widths,
// values whose product lies next to a rounding tie, out-of-range values and NaN.
TEST(ExactRounding, IntegerOutputsMatchAnIntegerReference) {
  PlainTables plain;
  ForEachVectorPath([&] {
    std::vector<double> values = RandomSamples<double>(3000, 7);
    for (double v : {1.5, -1.5, 300.0, -300.0, 1e30, -1e30, 1.0000001, -1.0000001,
                     double(0.5f + 0x1p-24f), -double(0.5f + 0x1p-24f), double(0.5f + 0x1p-23f),
                     -double(0.5f + 0x1p-23f), 0x1p-40, -0x1p-60}) {
      values.push_back(v);
    }
    for (uint64_t full : {32767u, 131071u, 524287u, 8388607u, 2147483647u}) {
      for (int k = 1; k < 4000; k += 37) {
        const double tie = (k + 0.5) / double(full);
        values.push_back(tie);
        values.push_back(std::nextafter(tie, 0.0));
        values.push_back(-std::nextafter(tie, 2.0));
      }
    }
    values.push_back(std::numeric_limits<double>::quiet_NaN());
    values.push_back(-std::numeric_limits<double>::infinity());
    std::vector<float> singles(values.begin(), values.end());

    for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
      const FormatInfo& f = kFormats[t];
      if (f.is_float) continue;
      const uint64_t full = uint64_t(FullScale(f));
      std::vector<uint8_t> out(values.size() * f.bytes);
      OutputConverterTable[t].FromDouble(values.data(), out.data(), int32_t(values.size()));
      for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(DecodeInt(f, &out[i * f.bytes]),
                  exact_reference::RoundScaled(values[i], full, Limit(f, false), Limit(f, true)))
            << f.name << " from double " << values[i];
      }
      OutputConverterTable[t].FromSingle(singles.data(), out.data(), int32_t(singles.size()));
      for (size_t i = 0; i < singles.size(); ++i) {
        ASSERT_EQ(DecodeInt(f, &out[i * f.bytes]),
                  exact_reference::RoundScaled(singles[i], full, Limit(f, false), Limit(f, true)))
            << f.name << " from single " << singles[i];
      }
    }
  });
}

// Integer codes come back unchanged through Double, and through Single wherever a single
// holds them; float formats keep their values.
TEST(RoundTrip, EveryFormatThroughBothFloatWidths) {
  PlainTables plain;
  ForEachVectorPath([&] {
    constexpr int kCount = 1031;
    for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
      const FormatInfo& f = kFormats[t];
      std::vector<uint8_t> driver = RandomDriverBlock(f, kCount, 100 + t), back(driver.size());
      if (!f.is_float) {
        // Codes within the sample's own bits; for 32 bits, codes that a single holds.
        std::mt19937 gen(t);
        for (int i = 0; i < kCount; ++i) {
          const int64_t half = int64_t(1) << (f.bits - 1);
          int64_t code = int64_t(gen() % uint64_t(2 * half)) - half + 1;
          if (i == 0) code = half - 1;
          if (i == 1) code = -(half - 1);
          if (f.bits == 32) code = (code / 512) * 256;  // below 2^30, 24 significant bits
          EncodeInt(f, code, &driver[i * f.bytes]);
        }
      }
      std::vector<double> doubles(kCount);
      InputConverterTable[t].ToDouble(driver.data(), doubles.data(), kCount);
      OutputConverterTable[t].FromDouble(doubles.data(), back.data(), kCount);
      EXPECT_EQ(back, driver) << f.name << " through double";

      std::vector<float> singles(kCount);
      InputConverterTable[t].ToSingle(driver.data(), singles.data(), kCount);
      OutputConverterTable[t].FromSingle(singles.data(), back.data(), kCount);
      if (f.is_float && f.bytes == 8) {
        // Through Single a Float64 sample keeps the single nearest to it.
        std::vector<double> narrowed(kCount), again(kCount);
        InputConverterTable[t].ToDouble(back.data(), again.data(), kCount);
        for (int i = 0; i < kCount; ++i) narrowed[i] = double(float(doubles[i]));
        EXPECT_EQ(again, narrowed) << f.name << " through single";
      } else {
        EXPECT_EQ(back, driver) << f.name << " through single";
      }
    }
  });
}

constexpr int32_t kAwkwardLengths[] = {1, 3, 17, 4099};

template <class T>
bool SameBits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

TEST(VectorPaths, PlainRoutinesMatchTheScalarPath) {
  PlainTables plain;
  ForEachVectorPath([&] {
    ForEachFormat([](auto index, auto format) {
      using Fmt = decltype(format);
      const FormatInfo& f = kFormats[index];
      for (int32_t n : kAwkwardLengths) {
        const auto driver = RandomDriverBlock(f, n, 11 * n + index);
        std::vector<float> s_vector(n), s_scalar(n);
        std::vector<double> d_vector(n), d_scalar(n);
        InputConverterTable[index].ToSingle(driver.data(), s_vector.data(), n);
        fmt::ToFloatScalar<Fmt>(driver.data(), s_scalar.data(), n);
        EXPECT_TRUE(SameBits(s_vector, s_scalar)) << f.name << "ToSingle, " << n;
        InputConverterTable[index].ToDouble(driver.data(), d_vector.data(), n);
        fmt::ToFloatScalar<Fmt>(driver.data(), d_scalar.data(), n);
        EXPECT_TRUE(SameBits(d_vector, d_scalar)) << f.name << "ToDouble, " << n;

        const auto singles = RandomSamples<float>(n, 13 * n + index);
        const auto doubles = RandomSamples<double>(n, 17 * n + index);
        std::vector<uint8_t> out_vector(n * f.bytes), out_scalar(n * f.bytes);
        OutputConverterTable[index].FromSingle(singles.data(), out_vector.data(), n);
        fmt::FromFloatScalar<Fmt>(singles.data(), out_scalar.data(), n);
        EXPECT_EQ(out_vector, out_scalar) << "SingleTo" << f.name << ", " << n;
        OutputConverterTable[index].FromDouble(doubles.data(), out_vector.data(), n);
        fmt::FromFloatScalar<Fmt>(doubles.data(), out_scalar.data(), n);
        EXPECT_EQ(out_vector, out_scalar) << "DoubleTo" << f.name << ", " << n;
      }
    });
  });
}

// Values the vector paths leave to the exact rule or to saturation by packing (NaN with a
// payload, infinities, products far beyond the 32-bit range, singles whose product in single
// precision lands on a half) at every position of a block that spans whole vector groups
// and a tail.
template <class Float>
std::vector<Float> AwkwardValues() {
  std::vector<Float> v = {std::numeric_limits<Float>::quiet_NaN(),
                          -std::numeric_limits<Float>::infinity(),
                          std::numeric_limits<Float>::infinity(), Float(1e12), Float(-1e12),
                          Float(-3.0), Float(2.5), Float(-1.0000305)};
  if constexpr (std::is_same_v<Float, float>) {
    v[0] = std::bit_cast<float>(0x7FC01234u);  // a payload in the low bits
    // Singles whose product with the 32-bit full scale rounds onto a half in double.
    for (float x : {0.5f + 0x1p-24f, 0.5f + 0x1p-23f}) {
      v.push_back(x);
      v.push_back(-x);
    }
    int found = 0;
    for (int k = 1000; k < 30000 && found < 4; k += 7) {
      const float near = float((k + 0.5) / 32767.0);
      for (float x : {std::nextafter(near, 0.0f), near, std::nextafter(near, 2.0f)}) {
        if (x * 32767.0f == float(k) + 0.5f && double(x) * 32767.0 != k + 0.5) {
          v.push_back(x);
          v.push_back(-x);
          ++found;
        }
      }
    }
  } else {
    v[0] = std::bit_cast<double>(0xFFF8000012345678ull);
  }
  return v;
}

TEST(VectorPaths, AwkwardValuesAnywhereInABlockGiveTheExactResult) {
  PlainTables plain;
  ForEachVectorPath([&] {
    constexpr int32_t kCount = 37;
    auto check = [](const FormatInfo& f, auto routine, const auto& awkward) {
      using Float = typename std::decay_t<decltype(awkward)>::value_type;
      const uint64_t full = uint64_t(FullScale(f));
      for (Float value : awkward) {
        for (int32_t at = 0; at < kCount; ++at) {
          std::vector<Float> in = RandomSamples<Float>(kCount, uint32_t(at));
          in[at] = value;
          std::vector<uint8_t> out(kCount * f.bytes);
          routine(in.data(), out.data(), kCount);
          for (int32_t i = 0; i < kCount; ++i) {
            ASSERT_EQ(DecodeInt(f, &out[i * f.bytes]),
                      exact_reference::RoundScaled(double(in[i]), full, Limit(f, false), Limit(f, true)))
                << f.name << (sizeof(Float) == 4 ? " from single " : " from double ") << in[i]
                << " at " << at << ", sample " << i;
          }
        }
      }
    };
    const auto singles = AwkwardValues<float>();
    const auto doubles = AwkwardValues<double>();
    ASSERT_GE(singles.size(), 14u) << "no single-precision false ties found";
    for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
      if (kFormats[t].is_float) continue;
      check(kFormats[t], OutputConverterTable[t].FromSingle, singles);
      check(kFormats[t], OutputConverterTable[t].FromDouble, doubles);
    }
  });
}

// Calls f(index, format traits, triangular) for every dithered format on every vector path,
// with the tables holding the rectangular, then the triangular routines.
template <class F>
void ForEachDitheredRoutine(F&& f) {
  PlainTables plain;
  ForEachVectorPath([&] {
    for (bool triangular : {false, true}) {
      triangular ? UseFPURoutinesTDF() : UseFPURoutinesUDF();
      ForEachFormat([&](auto index, auto format) {
        using Fmt = decltype(format);
        if constexpr (!Fmt::kBigEndian && !Fmt::kIsFloat &&
                      !(Fmt::kContainer == fmt::Container::kInt32 && Fmt::kBits == 32)) {
          f(index, format, triangular);
        }
      });
    }
  });
}

// The scalar walk of a dithered routine, which the vector paths must match.
template <class Fmt, class Float>
void ScalarDithered(bool triangular, const Float* in, uint8_t* out, int32_t n, uint32_t& seed) {
  if (triangular) {
    fmt::FromFloatDitheredScalar<Fmt, fmt::Dither::kTriangular>(in, out, n, seed);
  } else {
    fmt::FromFloatDitheredScalar<Fmt, fmt::Dither::kRectangular>(in, out, n, seed);
  }
}

// The dithered routines with the same values, against the scalar walk.
TEST(VectorPaths, DitheredRoutinesWithAwkwardValuesMatchTheScalarPath) {
  constexpr int32_t kCount = 37;
  ForEachDitheredRoutine([](auto index, auto format, bool triangular) {
    using Fmt = decltype(format);
    auto check = [&](auto routine, const auto& awkward) {
      using Float = typename std::decay_t<decltype(awkward)>::value_type;
      for (Float value : awkward) {
        for (int32_t at = 0; at < kCount; at += 3) {
          std::vector<Float> in = RandomSamples<Float>(kCount, uint32_t(at + 100));
          in[at] = value;
          std::vector<uint8_t> out_vector(kCount * Fmt::kBytes), out_scalar(kCount * Fmt::kBytes);
          uint32_t seed = 0x9E3779B9u * uint32_t(at + 1);
          DitherSeed = seed;
          routine(in.data(), out_vector.data(), kCount);
          ScalarDithered<Fmt>(triangular, in.data(), out_scalar.data(), kCount, seed);
          ASSERT_EQ(out_vector, out_scalar) << kFormats[index].name << " with " << value << " at " << at;
          ASSERT_EQ(DitherSeed.load(), seed);
        }
      }
    };
    check(OutputConverterTable[index].FromSingle, AwkwardValues<float>());
    check(OutputConverterTable[index].FromDouble, AwkwardValues<double>());
  });
}

TEST(VectorPaths, TruncatingVariantsMatchTheScalarPath) {
  PlainTables plain;
  Use3DNowRoutines();
  ForEachFormat([](auto index, auto format) {
    using Fmt = decltype(format);
    if constexpr (!Fmt::kBigEndian && Fmt::kContainer == fmt::Container::kInt32) {
      for (int32_t n : kAwkwardLengths) {
        const auto driver = RandomBytes(4 * n, 19 * n + index);
        std::vector<float> vector_out(n), scalar_out(n);
        InputConverterTable[index].ToSingle(driver.data(), vector_out.data(), n);
        fmt::ToSingleTruncatingScalar<Fmt>(driver.data(), scalar_out.data(), n);
        EXPECT_TRUE(SameBits(vector_out, scalar_out)) << kFormats[index].name << ", " << n;

        auto singles = RandomSamples<float>(n, 23 * n + index);
        for (int32_t i = 0; i < n; i += 5) singles[i] *= 300.0f;  // some beyond the range
        std::vector<uint8_t> bytes_vector(4 * n), bytes_scalar(4 * n);
        OutputConverterTable[index].FromSingle(singles.data(), bytes_vector.data(), n);
        fmt::FromSingleTruncatingScalar<Fmt>(singles.data(), bytes_scalar.data(), n);
        EXPECT_EQ(bytes_vector, bytes_scalar) << kFormats[index].name << ", " << n;
      }
    }
  });
}

TEST(VectorPaths, DitheredRoutinesMatchTheScalarPath) {
  ForEachDitheredRoutine([](auto index, auto format, bool triangular) {
    using Fmt = decltype(format);
    for (int32_t n : kAwkwardLengths) {
      const auto singles = RandomSamples<float>(n, 29 * n + index);
      const auto doubles = RandomSamples<double>(n, 31 * n + index);
      std::vector<uint8_t> out_vector(n * Fmt::kBytes), out_scalar(n * Fmt::kBytes);
      const uint32_t start = 0x1234567u * uint32_t(n + index);
      uint32_t seed = start;
      DitherSeed = start;
      OutputConverterTable[index].FromSingle(singles.data(), out_vector.data(), n);
      ScalarDithered<Fmt>(triangular, singles.data(), out_scalar.data(), n, seed);
      EXPECT_EQ(out_vector, out_scalar) << kFormats[index].name << ", " << n;
      EXPECT_EQ(DitherSeed.load(), seed);

      OutputConverterTable[index].FromDouble(doubles.data(), out_vector.data(), n);
      ScalarDithered<Fmt>(triangular, doubles.data(), out_scalar.data(), n, seed);
      EXPECT_EQ(out_vector, out_scalar) << kFormats[index].name << " from double, " << n;
    }
  });
}

// A big-endian sample is the little-endian one with its bytes reversed, both ways.
TEST(ByteOrder, BigEndianIsLittleEndianReversed) {
  PlainTables plain;
  ForEachVectorPath([&] {
    constexpr int32_t kCount = 37;
    for (int big = 0; big < kSupportedSampleTypeCount; ++big) {
      if (!kFormats[big].big_endian) continue;
      const int little = SampleTypeIndex(kFormats[big].type + 16);
      const int bytes = kFormats[big].bytes;
      const auto singles = RandomSamples<float>(kCount, 41);
      const auto doubles = RandomSamples<double>(kCount, 43);
      std::vector<uint8_t> be(kCount * bytes), le(kCount * bytes);
      auto reversed = [bytes](std::vector<uint8_t> v) {
        for (size_t i = 0; i < v.size(); i += bytes) std::reverse(v.begin() + i, v.begin() + i + bytes);
        return v;
      };
      OutputConverterTable[big].FromSingle(singles.data(), be.data(), kCount);
      OutputConverterTable[little].FromSingle(singles.data(), le.data(), kCount);
      EXPECT_EQ(be, reversed(le)) << kFormats[big].name;
      OutputConverterTable[big].FromDouble(doubles.data(), be.data(), kCount);
      OutputConverterTable[little].FromDouble(doubles.data(), le.data(), kCount);
      EXPECT_EQ(be, reversed(le)) << kFormats[big].name;

      const auto driver = RandomDriverBlock(kFormats[little], kCount, 47);
      const auto swapped = reversed(driver);
      std::vector<float> s_le(kCount), s_be(kCount);
      std::vector<double> d_le(kCount), d_be(kCount);
      InputConverterTable[little].ToSingle(driver.data(), s_le.data(), kCount);
      InputConverterTable[big].ToSingle(swapped.data(), s_be.data(), kCount);
      EXPECT_TRUE(SameBits(s_le, s_be)) << kFormats[big].name;
      InputConverterTable[little].ToDouble(driver.data(), d_le.data(), kCount);
      InputConverterTable[big].ToDouble(swapped.data(), d_be.data(), kCount);
      EXPECT_TRUE(SameBits(d_le, d_be)) << kFormats[big].name;
    }
  });
}

// The driver's buffer ends where the block ends: no routine writes past it or before it.
TEST(Bounds, OutputRoutinesWriteExactlyTheirBlock) {
  PlainTables plain;
  ForEachVectorPath([&] {
    constexpr int kGuard = 32;
    auto check = [](const char* what, int bytes, auto routine, const auto& source) {
      for (int32_t n : {1, 3, 5, 17, 18, 19}) {
        std::vector<uint8_t> buffer(n * bytes + 2 * kGuard, 0xA5);
        routine(source.data(), buffer.data() + kGuard, n);
        for (int i = 0; i < kGuard; ++i) {
          ASSERT_EQ(buffer[i], 0xA5) << what << " wrote before its block, n " << n;
          ASSERT_EQ(buffer[kGuard + n * bytes + i], 0xA5) << what << " wrote past its block, n " << n;
        }
      }
    };
    const auto singles = RandomSamples<float>(32, 3);
    const auto doubles = RandomSamples<double>(32, 5);
    for (int installer = 0; installer < 3; ++installer) {
      if (installer == 1) UseFPURoutinesTDF();
      if (installer == 2) {
        UseFPURoutines();
        Use3DNowRoutines();
      }
      for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
        check(kFormats[t].name, kFormats[t].bytes, OutputConverterTable[t].FromSingle, singles);
        check(kFormats[t].name, kFormats[t].bytes, OutputConverterTable[t].FromDouble, doubles);
      }
    }
  });
}

}  // namespace
