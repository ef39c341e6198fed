// The named converters: each is the generic routine for its format's traits.

#include "asio_convert/asio_convert.h"
#include "asio_convert/convert_kernels.h"

namespace d = asio_convert::detail;

#define ASIO_CONVERT_PLAIN(T)                                                  \
  void T##ToSingle(const void* source, float* destination, int32_t count) {   \
    d::ToFloat<d::T>(source, destination, count);                              \
  }                                                                            \
  void T##ToDouble(const void* source, double* destination, int32_t count) {  \
    d::ToFloat<d::T>(source, destination, count);                              \
  }                                                                            \
  void SingleTo##T(const float* source, void* destination, int32_t count) {   \
    d::FromFloat<d::T>(source, destination, count);                            \
  }                                                                            \
  void DoubleTo##T(const double* source, void* destination, int32_t count) {  \
    d::FromFloat<d::T>(source, destination, count);                            \
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

#define ASIO_CONVERT_DITHERED(T)                                                                \
  void SingleTo##T##_UDF(const float* source, void* destination, int32_t count) {              \
    d::FromFloatDithered<d::T, d::Dither::kRectangular>(source, destination, count);           \
  }                                                                                             \
  void DoubleTo##T##_UDF(const double* source, void* destination, int32_t count) {             \
    d::FromFloatDithered<d::T, d::Dither::kRectangular>(source, destination, count);           \
  }                                                                                             \
  void SingleTo##T##_TDF(const float* source, void* destination, int32_t count) {              \
    d::FromFloatDithered<d::T, d::Dither::kTriangular>(source, destination, count);            \
  }                                                                                             \
  void DoubleTo##T##_TDF(const double* source, void* destination, int32_t count) {             \
    d::FromFloatDithered<d::T, d::Dither::kTriangular>(source, destination, count);            \
  }

ASIO_CONVERT_DITHERED(Int16LSB)
ASIO_CONVERT_DITHERED(Int24LSB)
ASIO_CONVERT_DITHERED(Int32LSB16)
ASIO_CONVERT_DITHERED(Int32LSB18)
ASIO_CONVERT_DITHERED(Int32LSB20)
ASIO_CONVERT_DITHERED(Int32LSB24)

#define ASIO_CONVERT_TRUNCATING(T)                                                  \
  void T##ToSingle_3DNow(const void* source, float* destination, int32_t count) {  \
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
