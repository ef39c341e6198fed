#include "tools/asio_driver/sample_types.h"

#include <cmath>
#include <cstring>

namespace asio_test {
namespace {

struct TypeLayout {
  int32_t bytes;       // container width
  int32_t bits;        // significant bits of an integer type; 0 for floating point
  bool big_endian;
};

// Layout by type number; bytes 0 marks a type without a layout.
bool Layout(ASIOSampleType type, TypeLayout* layout) {
  switch (type) {
    case 0: *layout = {2, 16, true}; return true;    // Int16MSB
    case 1: *layout = {3, 24, true}; return true;    // Int24MSB
    case 2: *layout = {4, 32, true}; return true;    // Int32MSB
    case 3: *layout = {4, 0, true}; return true;     // Float32MSB
    case 4: *layout = {8, 0, true}; return true;     // Float64MSB
    case 8: *layout = {4, 16, true}; return true;    // Int32MSB16
    case 9: *layout = {4, 18, true}; return true;    // Int32MSB18
    case 10: *layout = {4, 20, true}; return true;   // Int32MSB20
    case 11: *layout = {4, 24, true}; return true;   // Int32MSB24
    case 16: *layout = {2, 16, false}; return true;  // Int16LSB
    case 17: *layout = {3, 24, false}; return true;  // Int24LSB
    case 18: *layout = {4, 32, false}; return true;  // Int32LSB
    case 19: *layout = {4, 0, false}; return true;   // Float32LSB
    case 20: *layout = {8, 0, false}; return true;   // Float64LSB
    case 24: *layout = {4, 16, false}; return true;  // Int32LSB16
    case 25: *layout = {4, 18, false}; return true;  // Int32LSB18
    case 26: *layout = {4, 20, false}; return true;  // Int32LSB20
    case 27: *layout = {4, 24, false}; return true;  // Int32LSB24
    default: return false;
  }
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

bool IsSupportedSampleType(ASIOSampleType type) { return SampleTypeBytes(type) > 0; }

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
