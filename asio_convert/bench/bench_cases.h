#pragma once

// Every conversion routine as a benchmark case, with the ratio to memcpy it should keep.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "asio_convert/asio_convert.h"
#include "asio_convert/convert_kernels.h"

namespace bench {

enum class Direction { kToSingle, kToDouble, kFromSingle, kFromDouble };

struct Case {
  std::string name;
  Direction direction;
  int driver_bytes;
  bool float_format;
  double target;  // the slowest allowed ratio to memcpy of the output bytes
  TInConverterSingle to_single = nullptr;
  TInConverterDouble to_double = nullptr;
  TOutConverterSingle from_single = nullptr;
  TOutConverterDouble from_double = nullptr;
#if ASIO_CONVERT_SSE2
  // The widest vector path the routine has: integer input up to AVX2, integer output
  // (plain and dithered) up to AVX-512, the rest SSE2 only.
  asio_convert::detail::VectorPath widest_path = asio_convert::detail::VectorPath::kSse2;
#endif

  int OutputBytes() const {
    switch (direction) {
      case Direction::kToSingle:
        return 4;
      case Direction::kToDouble:
        return 8;
      default:
        return driver_bytes;
    }
  }
  void Run(const void* in, void* out, int32_t n) const {
    switch (direction) {
      case Direction::kToSingle:
        to_single(in, static_cast<float*>(out), n);
        break;
      case Direction::kToDouble:
        to_double(in, static_cast<double*>(out), n);
        break;
      case Direction::kFromSingle:
        from_single(static_cast<const float*>(in), out, n);
        break;
      case Direction::kFromDouble:
        from_double(static_cast<const double*>(in), out, n);
        break;
    }
  }
};

inline const char* const kTypeNames[kSupportedSampleTypeCount] = {
    "Int16MSB",   "Int24MSB",   "Int32MSB",   "Float32MSB", "Float64MSB", "Int32MSB16",
    "Int32MSB18", "Int32MSB20", "Int32MSB24", "Int16LSB",   "Int24LSB",   "Int32LSB",
    "Float32LSB", "Float64LSB", "Int32LSB16", "Int32LSB18", "Int32LSB20", "Int32LSB24"};
// Little-endian 16/32-bit integers and floats: 6x; packed 24-bit, big-endian and
// aligned-in-32: 12x; dithered: 15x.
inline double TargetFor(int type, bool dithered) {
  if (dithered) return 15;
  const ASIOSampleType t = kSupportedSampleTypes[type];
  const bool fast =
      t == ASIOSTInt16LSB || t == ASIOSTInt32LSB || t == ASIOSTFloat32LSB || t == ASIOSTFloat64LSB;
  return fast ? 6 : 12;
}

#if ASIO_CONVERT_SSE2
using asio_convert::detail::VectorPath;
inline void SetWidestPath(Case& c, VectorPath path) {
  c.widest_path = path;
}
#else
enum class VectorPath { kSse2, kAvx2, kAvx512 };
inline void SetWidestPath(Case&, VectorPath) {}
#endif

// Reads the tables as the installers leave them, so the cases are exactly the installed
// routines; the plain tables are restored afterwards.
inline std::vector<Case> AllCases() {
  std::vector<Case> cases;
  UseFPURoutines();
  for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
    const std::string n = kTypeNames[t];
    const int bytes = ASIOSampleTypeBytes(kSupportedSampleTypes[t]);
    const bool fl = n.rfind("Float", 0) == 0;
    const double target = TargetFor(t, false);
    Case c{n + "ToSingle", Direction::kToSingle, bytes, fl, target};
    c.to_single = InputConverterTable[t].ToSingle;
    SetWidestPath(c, fl ? VectorPath::kSse2 : VectorPath::kAvx2);
    cases.push_back(c);
    c = Case{n + "ToDouble", Direction::kToDouble, bytes, fl, target};
    c.to_double = InputConverterTable[t].ToDouble;
    SetWidestPath(c, fl ? VectorPath::kSse2 : VectorPath::kAvx2);
    cases.push_back(c);
    c = Case{"SingleTo" + n, Direction::kFromSingle, bytes, fl, target};
    c.from_single = OutputConverterTable[t].FromSingle;
    SetWidestPath(c, fl ? VectorPath::kSse2 : VectorPath::kAvx512);
    cases.push_back(c);
    c = Case{"DoubleTo" + n, Direction::kFromDouble, bytes, fl, target};
    c.from_double = OutputConverterTable[t].FromDouble;
    SetWidestPath(c, fl ? VectorPath::kSse2 : VectorPath::kAvx512);
    cases.push_back(c);
  }
  for (bool triangular : {false, true}) {
    triangular ? UseFPURoutinesTDF() : UseFPURoutinesUDF();
    const std::string suffix = triangular ? "_TDF" : "_UDF";
    for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
      if (OutputConverterTable[t].FromSingle == nullptr) continue;
      const std::string n = kTypeNames[t];
      const int bytes = ASIOSampleTypeBytes(kSupportedSampleTypes[t]);
      const ASIOSampleType type = kSupportedSampleTypes[t];
      if (type != ASIOSTInt16LSB && type != ASIOSTInt24LSB && type < ASIOSTInt32LSB16) continue;
      Case c{"SingleTo" + n + suffix, Direction::kFromSingle, bytes, false, 15};
      c.from_single = OutputConverterTable[t].FromSingle;
      SetWidestPath(c, VectorPath::kAvx512);
      cases.push_back(c);
      c = Case{"DoubleTo" + n + suffix, Direction::kFromDouble, bytes, false, 15};
      c.from_double = OutputConverterTable[t].FromDouble;
      SetWidestPath(c, VectorPath::kAvx512);
      cases.push_back(c);
    }
  }
  UseFPURoutines();
  Use3DNowRoutines();
  for (int t = 0; t < kSupportedSampleTypeCount; ++t) {
    const ASIOSampleType type = kSupportedSampleTypes[t];
    if (type != ASIOSTInt32LSB && type < ASIOSTInt32LSB16) continue;
    const std::string n = kTypeNames[t];
    Case c{n + "ToSingle_3DNow", Direction::kToSingle, 4, false, TargetFor(t, false)};
    c.to_single = InputConverterTable[t].ToSingle;
    cases.push_back(c);
    c = Case{"SingleTo" + n + "_3DNow", Direction::kFromSingle, 4, false, TargetFor(t, false)};
    c.from_single = OutputConverterTable[t].FromSingle;
    cases.push_back(c);
  }
  UseFPURoutines();
  return cases;
}

// Bytes starting on a 64-byte line, as the host's and drivers' buffers may: the timings
// then do not depend on where the heap happened to put a buffer, for the routine or for
// memcpy.
class AlignedBytes {
 public:
  explicit AlignedBytes(size_t size, uint8_t fill = 0) : storage_(size + 64, fill) {
    const auto address = reinterpret_cast<uintptr_t>(storage_.data());
    data_ = storage_.data() + ((64 - address % 64) % 64);
  }
  // A moved vector keeps its storage, so the aligned pointer stays valid; a copy would not.
  AlignedBytes(AlignedBytes&&) = default;
  AlignedBytes(const AlignedBytes&) = delete;
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }

 private:
  std::vector<uint8_t> storage_;
  uint8_t* data_;
};

// Input for a case: driver data (integers of any value, finite floats) or float samples
// within ±1, as audio is.
inline AlignedBytes InputFor(const Case& c, int32_t n) {
  std::mt19937 gen(n);
  std::uniform_real_distribution<double> audio(-1.0, 1.0);
  const bool to_float = c.direction == Direction::kToSingle || c.direction == Direction::kToDouble;
  const int width = to_float ? c.driver_bytes : (c.direction == Direction::kFromSingle ? 4 : 8);
  AlignedBytes bytes(size_t(n) * width + 64);
  for (int32_t i = 0; i < n; ++i) {
    uint8_t* p = bytes.data() + size_t(i) * width;
    if (to_float && !c.float_format) {
      for (int k = 0; k < width; ++k) p[k] = uint8_t(gen());
    } else if (width == 4) {
      const float x = float(audio(gen));
      std::memcpy(p, &x, 4);
    } else {
      const double x = audio(gen);
      std::memcpy(p, &x, 8);
    }
    if (to_float && c.float_format && c.name.find("MSB") != std::string::npos) {
      std::reverse(p, p + width);
    }
  }
  return bytes;
}

}  // namespace bench
