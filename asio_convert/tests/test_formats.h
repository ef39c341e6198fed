#pragma once

#include <cstdint>
#include <cstring>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "asio_convert/asio_convert.h"
#include "asio_convert/convert_kernels.h"

// What the tests know about each supported format, in table order, written out
// independently of the converters' own traits.
struct FormatInfo {
  ASIOSampleType type;
  const char* name;
  int bytes;
  bool big_endian;
  int bits;  // significant bits; 0 for float formats
  bool is_float;
  int container_bits;  // 16, 24 or 32 for integers
};

inline const FormatInfo kFormats[kSupportedSampleTypeCount] = {
    {ASIOSTInt16MSB, "Int16MSB", 2, true, 16, false, 16},
    {ASIOSTInt24MSB, "Int24MSB", 3, true, 24, false, 24},
    {ASIOSTInt32MSB, "Int32MSB", 4, true, 32, false, 32},
    {ASIOSTFloat32MSB, "Float32MSB", 4, true, 0, true, 0},
    {ASIOSTFloat64MSB, "Float64MSB", 8, true, 0, true, 0},
    {ASIOSTInt32MSB16, "Int32MSB16", 4, true, 16, false, 32},
    {ASIOSTInt32MSB18, "Int32MSB18", 4, true, 18, false, 32},
    {ASIOSTInt32MSB20, "Int32MSB20", 4, true, 20, false, 32},
    {ASIOSTInt32MSB24, "Int32MSB24", 4, true, 24, false, 32},
    {ASIOSTInt16LSB, "Int16LSB", 2, false, 16, false, 16},
    {ASIOSTInt24LSB, "Int24LSB", 3, false, 24, false, 24},
    {ASIOSTInt32LSB, "Int32LSB", 4, false, 32, false, 32},
    {ASIOSTFloat32LSB, "Float32LSB", 4, false, 0, true, 0},
    {ASIOSTFloat64LSB, "Float64LSB", 8, false, 0, true, 0},
    {ASIOSTInt32LSB16, "Int32LSB16", 4, false, 16, false, 32},
    {ASIOSTInt32LSB18, "Int32LSB18", 4, false, 18, false, 32},
    {ASIOSTInt32LSB20, "Int32LSB20", 4, false, 20, false, 32},
    {ASIOSTInt32LSB24, "Int32LSB24", 4, false, 24, false, 32},
};

// The converters' traits in the same order, for reaching the scalar paths.
namespace fmt = asio_convert::detail;
using FormatTypes =
    std::tuple<fmt::Int16MSB, fmt::Int24MSB, fmt::Int32MSB, fmt::Float32MSB, fmt::Float64MSB,
               fmt::Int32MSB16, fmt::Int32MSB18, fmt::Int32MSB20, fmt::Int32MSB24, fmt::Int16LSB,
               fmt::Int24LSB, fmt::Int32LSB, fmt::Float32LSB, fmt::Float64LSB, fmt::Int32LSB16,
               fmt::Int32LSB18, fmt::Int32LSB20, fmt::Int32LSB24>;

template <class F, size_t... I>
void ForEachFormatImpl(F&& f, std::index_sequence<I...>) {
  (f(std::integral_constant<size_t, I>{}, std::tuple_element_t<I, FormatTypes>{}), ...);
}
// Calls f(index constant, format traits) for every format.
template <class F>
void ForEachFormat(F&& f) {
  ForEachFormatImpl(f, std::make_index_sequence<kSupportedSampleTypeCount>{});
}

inline double FullScale(const FormatInfo& f) {
  return double((int64_t(1) << (f.bits - 1)) - 1);
}

// A sample's integer value from its bytes, sign-extended from the container.
inline int64_t DecodeInt(const FormatInfo& f, const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < f.bytes; ++i) {
    const int shift = f.big_endian ? 8 * (f.bytes - 1 - i) : 8 * i;
    v |= uint64_t(p[i]) << shift;
  }
  const int width = 8 * f.bytes;
  return int64_t(v << (64 - width)) >> (64 - width);
}

inline void EncodeInt(const FormatInfo& f, int64_t value, uint8_t* p) {
  for (int i = 0; i < f.bytes; ++i) {
    const int shift = f.big_endian ? 8 * (f.bytes - 1 - i) : 8 * i;
    p[i] = uint8_t(uint64_t(value) >> shift);
  }
}

// Random finite values, mostly in [-1.2, 1.2], some tiny and some exact full-scale values.
template <class Float>
std::vector<Float> RandomSamples(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> wide(-1.2, 1.2);
  std::vector<Float> v(n);
  for (size_t i = 0; i < n; ++i) {
    switch (gen() % 8) {
      case 0:
        v[i] = Float(wide(gen) * 1e-6);
        break;
      case 1:
        v[i] = (gen() & 1) ? Float(1) : Float(-1);
        break;
      default:
        v[i] = Float(wide(gen));
        break;
    }
  }
  return v;
}

inline std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(gen());
  return v;
}

// Bytes of `count` samples of format f with random but finite contents.
inline std::vector<uint8_t> RandomDriverBlock(const FormatInfo& f, size_t count, uint32_t seed) {
  if (!f.is_float) return RandomBytes(count * f.bytes, seed);
  std::vector<uint8_t> bytes(count * f.bytes);
  const auto values = RandomSamples<double>(count, seed);
  for (size_t i = 0; i < count; ++i) {
    uint8_t raw[8];
    if (f.bytes == 4) {
      const float x = float(values[i]);
      std::memcpy(raw, &x, 4);
    } else {
      std::memcpy(raw, &values[i], 8);
    }
    for (int k = 0; k < f.bytes; ++k) {
      bytes[i * f.bytes + k] = f.big_endian ? raw[f.bytes - 1 - k] : raw[k];
    }
  }
  return bytes;
}

// Runs `f` on the SSE2 paths and on each wider path the processor has: AVX2, then AVX-512
// (with IFMA for the dithered routines where there is IFMA).
template <class F>
void ForEachVectorPath(F&& f) {
#if ASIO_CONVERT_SSE2
  const fmt::VectorPath chosen = fmt::CurrentVectorPath();
  const std::pair<fmt::VectorPath, const char*> paths[] = {
      {fmt::VectorPath::kSse2, "SSE2 paths"},
      {fmt::VectorPath::kAvx2, "AVX2 paths"},
      {fmt::VectorPath::kAvx512, "AVX-512 paths"}};
  for (const auto& [path, name] : paths) {
    if (!fmt::UseVectorPath(path)) continue;
    SCOPED_TRACE(name);
    f();
  }
  fmt::UseVectorPath(chosen);
#else
  f();
#endif
}

// Puts the process-wide tables back to the plain routines for a test and restores the
// start-up choice afterwards.
struct PlainTables {
  PlainTables() { UseFPURoutines(); }
  ~PlainTables() { DetectProcessorAndInstall(ProcessorCpuid); }
};
