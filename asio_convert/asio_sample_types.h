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
