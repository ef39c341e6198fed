#include "tools/asio_driver/sample_types.h"

#include <cmath>
#include <cstring>

#include "asio_convert/asio_sample_types.h"

namespace asio_test {
namespace {

struct TypeLayout {
  int32_t bytes;  // container width
  int32_t bits;   // significant bits of an integer type; 0 for floating point
  bool big_endian;
};

// Significant bits and byte order by type number; the widths are the standard's, from the
// table the host uses too (asio_sample_types.h).
struct TypeBits {
  ASIOSampleType type;
  int32_t bits;
  bool big_endian;
};
constexpr TypeBits kTypeBits[] = {
    {ASIOSTInt16MSB, 16, true},    {ASIOSTInt24MSB, 24, true},    {ASIOSTInt32MSB, 32, true},
    {ASIOSTFloat32MSB, 0, true},   {ASIOSTFloat64MSB, 0, true},   {ASIOSTInt32MSB16, 16, true},
    {ASIOSTInt32MSB18, 18, true},  {ASIOSTInt32MSB20, 20, true},  {ASIOSTInt32MSB24, 24, true},
    {ASIOSTInt16LSB, 16, false},   {ASIOSTInt24LSB, 24, false},   {ASIOSTInt32LSB, 32, false},
    {ASIOSTFloat32LSB, 0, false},  {ASIOSTFloat64LSB, 0, false},  {ASIOSTInt32LSB16, 16, false},
    {ASIOSTInt32LSB18, 18, false}, {ASIOSTInt32LSB20, 20, false}, {ASIOSTInt32LSB24, 24, false},
};

// False for a type without a layout.
bool Layout(ASIOSampleType type, TypeLayout* layout) {
  for (const TypeBits& entry : kTypeBits) {
    if (entry.type != type) continue;
    *layout = {ASIOSampleTypeBytes(type), entry.bits, entry.big_endian};
    return true;
  }
  return false;
}

// The container's bytes as an unsigned number, most significant first by the type's order.
uint64_t ReadContainer(const uint8_t* sample, const TypeLayout& layout) {
  uint64_t value = 0;
  for (int32_t i = 0; i < layout.bytes; ++i) {
    const int32_t index = layout.big_endian ? i : layout.bytes - 1 - i;
    value = (value << 8) | sample[index];
  }
  return value;
}

void WriteContainer(uint64_t value, const TypeLayout& layout, uint8_t* sample) {
  for (int32_t i = layout.bytes - 1; i >= 0; --i) {
    const int32_t index = layout.big_endian ? i : layout.bytes - 1 - i;
    sample[index] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

}  // namespace

int32_t SampleTypeBytes(ASIOSampleType type) {
  TypeLayout layout;
  return Layout(type, &layout) ? layout.bytes : 0;
}

int32_t SampleTypeStorageBytes(ASIOSampleType type) {
  const int32_t bytes = SampleTypeBytes(type);
  return bytes > 0 ? bytes : 4;
}

bool IsSupportedSampleType(ASIOSampleType type) {
  return SampleTypeBytes(type) > 0;
}

double DecodeSample(const uint8_t* sample, ASIOSampleType type) {
  TypeLayout layout;
  if (!Layout(type, &layout)) return 0.0;
  const uint64_t raw = ReadContainer(sample, layout);
  if (layout.bits == 0) {
    if (layout.bytes == 4) {
      const auto bits = static_cast<uint32_t>(raw);
      float f;
      std::memcpy(&f, &bits, 4);
      return f;
    }
    double d;
    std::memcpy(&d, &raw, 8);
    return d;
  }
  // Sign-extend the significant bits, which sit at the bottom of the container.
  const int shift = 64 - layout.bits;
  const int64_t value = static_cast<int64_t>(raw << shift) >> shift;
  return static_cast<double>(value) / std::ldexp(1.0, layout.bits - 1);
}

void EncodeSample(double value, ASIOSampleType type, uint8_t* sample) {
  TypeLayout layout;
  if (!Layout(type, &layout)) return;
  if (layout.bits == 0) {
    uint64_t raw;
    if (layout.bytes == 4) {
      const float f = static_cast<float>(value);
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      raw = bits;
    } else {
      std::memcpy(&raw, &value, 8);
    }
    WriteContainer(raw, layout, sample);
    return;
  }
  const double scale = std::ldexp(1.0, layout.bits - 1);
  const double highest = scale - 1.0;
  double scaled = std::isnan(value) ? 0.0 : std::nearbyint(value * scale);
  if (scaled < -scale) scaled = -scale;
  if (scaled > highest) scaled = highest;
  const auto integer = static_cast<int64_t>(scaled);
  // Sign-extended into the whole container, as the 32-bit containers of the narrow types
  // carry it.
  WriteContainer(static_cast<uint64_t>(integer), layout, sample);
}

}  // namespace asio_test
