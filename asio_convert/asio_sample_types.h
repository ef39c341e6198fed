#pragma once

#include <cstdint>

// The sample-type numbers a driver reports per channel, as the published ASIO standard
// numbers them. Only the 18 listed here are converted; every other number (the DSD types
// among them) has no converter.
using ASIOSampleType = int32_t;

constexpr ASIOSampleType ASIOSTInt16MSB = 0;
constexpr ASIOSampleType ASIOSTInt24MSB = 1;
constexpr ASIOSampleType ASIOSTInt32MSB = 2;
constexpr ASIOSampleType ASIOSTFloat32MSB = 3;
constexpr ASIOSampleType ASIOSTFloat64MSB = 4;
constexpr ASIOSampleType ASIOSTInt32MSB16 = 8;
constexpr ASIOSampleType ASIOSTInt32MSB18 = 9;
constexpr ASIOSampleType ASIOSTInt32MSB20 = 10;
constexpr ASIOSampleType ASIOSTInt32MSB24 = 11;
constexpr ASIOSampleType ASIOSTInt16LSB = 16;
constexpr ASIOSampleType ASIOSTInt24LSB = 17;
constexpr ASIOSampleType ASIOSTInt32LSB = 18;
constexpr ASIOSampleType ASIOSTFloat32LSB = 19;
constexpr ASIOSampleType ASIOSTFloat64LSB = 20;
constexpr ASIOSampleType ASIOSTInt32LSB16 = 24;
constexpr ASIOSampleType ASIOSTInt32LSB18 = 25;
constexpr ASIOSampleType ASIOSTInt32LSB20 = 26;
constexpr ASIOSampleType ASIOSTInt32LSB24 = 27;

// Bytes a sample of `type` takes in the driver's buffers; 0 for a type without a converter.
// The one table of widths: the host, the converters' benchmarks and the test driver use it.
constexpr int32_t ASIOSampleTypeBytes(ASIOSampleType type) noexcept {
  switch (type) {
    case ASIOSTInt16MSB:
    case ASIOSTInt16LSB:
      return 2;
    case ASIOSTInt24MSB:
    case ASIOSTInt24LSB:
      return 3;
    case ASIOSTFloat64MSB:
    case ASIOSTFloat64LSB:
      return 8;
    case ASIOSTInt32MSB:
    case ASIOSTFloat32MSB:
    case ASIOSTInt32MSB16:
    case ASIOSTInt32MSB18:
    case ASIOSTInt32MSB20:
    case ASIOSTInt32MSB24:
    case ASIOSTInt32LSB:
    case ASIOSTFloat32LSB:
    case ASIOSTInt32LSB16:
    case ASIOSTInt32LSB18:
    case ASIOSTInt32LSB20:
    case ASIOSTInt32LSB24:
      return 4;
    default:
      return 0;
  }
}
