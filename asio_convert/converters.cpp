// The named converters: each is the generic routine for its format's traits.

#include "asio_convert/asio_convert.h"
#include "asio_convert/convert_kernels.h"

#if ASIO_CONVERT_SSE2
#include <cpuid.h>

namespace asio_convert::detail {

bool ProcessorHasAvx2() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  // The processor has AVX and the system saves its registers (XCR0 bits 1 and 2).
  if (!(c & (1u << 27)) || !(c & (1u << 28))) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  if ((xcr0_low & 6u) != 6u) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & (1u << 5)) != 0;
}

bool g_use_avx2 = ProcessorHasAvx2();

bool ProcessorHasAvx512() {
  if (!ProcessorHasAvx2()) return false;
  // Foundation, DQ, BW and VL, and the system saves the mask and upper registers too
  // (XCR0 bits 5 to 7).
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  const unsigned wanted = (1u << 16) | (1u << 17) | (1u << 30) | (1u << 31);
  if ((b & wanted) != wanted) return false;
  unsigned xcr0_low = 0, xcr0_high = 0;
  __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
  return (xcr0_low & 0xE6u) == 0xE6u;
}

bool g_use_avx512 = ProcessorHasAvx512();

bool ProcessorHasAvx512Ifma() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  return ProcessorHasAvx512() && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 21)) != 0;
}

bool g_use_avx512_ifma = ProcessorHasAvx512Ifma();

bool ProcessorHasPath(VectorPath path) {
  switch (path) {
    case VectorPath::kAvx512:
      return ProcessorHasAvx512();
    case VectorPath::kAvx2:
      return ProcessorHasAvx2();
    default:
      return true;
  }
}

bool UseVectorPath(VectorPath path) {
  if (!ProcessorHasPath(path)) return false;
  g_use_avx2 = path >= VectorPath::kAvx2;
  g_use_avx512 = path >= VectorPath::kAvx512;
  g_use_avx512_ifma = g_use_avx512 && ProcessorHasAvx512Ifma();
  return true;
}

VectorPath CurrentVectorPath() {
  return g_use_avx512 ? VectorPath::kAvx512 : g_use_avx2 ? VectorPath::kAvx2 : VectorPath::kSse2;
}

}  // namespace asio_convert::detail
#endif

namespace d = asio_convert::detail;

#define ASIO_CONVERT_PLAIN(T)                                                \
  void T##ToSingle(const void* source, float* destination, int32_t count) {  \
    d::ToFloat<d::T>(source, destination, count);                            \
  }                                                                          \
  void T##ToDouble(const void* source, double* destination, int32_t count) { \
    d::ToFloat<d::T>(source, destination, count);                            \
  }                                                                          \
  void SingleTo##T(const float* source, void* destination, int32_t count) {  \
    d::FromFloat<d::T>(source, destination, count);                          \
  }                                                                          \
  void DoubleTo##T(const double* source, void* destination, int32_t count) { \
    d::FromFloat<d::T>(source, destination, count);                          \
  }

ASIO_CONVERT_PLAIN(Int16MSB)
ASIO_CONVERT_PLAIN(Int24MSB)
ASIO_CONVERT_PLAIN(Int32MSB)
ASIO_CONVERT_PLAIN(Float32MSB)
ASIO_CONVERT_PLAIN(Float64MSB)
ASIO_CONVERT_PLAIN(Int32MSB16)
ASIO_CONVERT_PLAIN(Int32MSB18)
ASIO_CONVERT_PLAIN(Int32MSB20)
ASIO_CONVERT_PLAIN(Int32MSB24)
ASIO_CONVERT_PLAIN(Int16LSB)
ASIO_CONVERT_PLAIN(Int24LSB)
ASIO_CONVERT_PLAIN(Int32LSB)
ASIO_CONVERT_PLAIN(Float32LSB)
ASIO_CONVERT_PLAIN(Float64LSB)
ASIO_CONVERT_PLAIN(Int32LSB16)
ASIO_CONVERT_PLAIN(Int32LSB18)
ASIO_CONVERT_PLAIN(Int32LSB20)
ASIO_CONVERT_PLAIN(Int32LSB24)

#define ASIO_CONVERT_DITHERED(T)                                                     \
  void SingleTo##T##_UDF(const float* source, void* destination, int32_t count) {    \
    d::FromFloatDithered<d::T, d::Dither::kRectangular>(source, destination, count); \
  }                                                                                  \
  void DoubleTo##T##_UDF(const double* source, void* destination, int32_t count) {   \
    d::FromFloatDithered<d::T, d::Dither::kRectangular>(source, destination, count); \
  }                                                                                  \
  void SingleTo##T##_TDF(const float* source, void* destination, int32_t count) {    \
    d::FromFloatDithered<d::T, d::Dither::kTriangular>(source, destination, count);  \
  }                                                                                  \
  void DoubleTo##T##_TDF(const double* source, void* destination, int32_t count) {   \
    d::FromFloatDithered<d::T, d::Dither::kTriangular>(source, destination, count);  \
  }

ASIO_CONVERT_DITHERED(Int16LSB)
ASIO_CONVERT_DITHERED(Int24LSB)
ASIO_CONVERT_DITHERED(Int32LSB16)
ASIO_CONVERT_DITHERED(Int32LSB18)
ASIO_CONVERT_DITHERED(Int32LSB20)
ASIO_CONVERT_DITHERED(Int32LSB24)

#define ASIO_CONVERT_TRUNCATING(T)                                                  \
  void T##ToSingle_3DNow(const void* source, float* destination, int32_t count) {   \
    d::ToSingleTruncating<d::T>(source, destination, count);                        \
  }                                                                                 \
  void SingleTo##T##_3DNow(const float* source, void* destination, int32_t count) { \
    d::FromSingleTruncating<d::T>(source, destination, count);                      \
  }

ASIO_CONVERT_TRUNCATING(Int32LSB)
ASIO_CONVERT_TRUNCATING(Int32LSB16)
ASIO_CONVERT_TRUNCATING(Int32LSB18)
ASIO_CONVERT_TRUNCATING(Int32LSB20)
ASIO_CONVERT_TRUNCATING(Int32LSB24)
