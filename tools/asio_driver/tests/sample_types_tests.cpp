#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tools/asio_driver/sample_types.h"

namespace {

using namespace asio_test;

struct Layout {
  ASIOSampleType type;
  std::vector<uint8_t> half;           // the bytes of +0.5
  std::vector<uint8_t> minus_full;     // the bytes of -1.0
};

TEST(SampleTypes, WritesAndReadsEveryTypeInItsByteOrder) {
  const Layout layouts[] = {
      {0, {0x40, 0x00}, {0x80, 0x00}},
      {1, {0x40, 0x00, 0x00}, {0x80, 0x00, 0x00}},
      {2, {0x40, 0x00, 0x00, 0x00}, {0x80, 0x00, 0x00, 0x00}},
      {3, {0x3F, 0x00, 0x00, 0x00}, {0xBF, 0x80, 0x00, 0x00}},
      {4, {0x3F, 0xE0, 0, 0, 0, 0, 0, 0}, {0xBF, 0xF0, 0, 0, 0, 0, 0, 0}},
      {8, {0x00, 0x00, 0x40, 0x00}, {0xFF, 0xFF, 0x80, 0x00}},
      {9, {0x00, 0x01, 0x00, 0x00}, {0xFF, 0xFE, 0x00, 0x00}},
      {10, {0x00, 0x04, 0x00, 0x00}, {0xFF, 0xF8, 0x00, 0x00}},
      {11, {0x00, 0x40, 0x00, 0x00}, {0xFF, 0x80, 0x00, 0x00}},
      {16, {0x00, 0x40}, {0x00, 0x80}},
      {17, {0x00, 0x00, 0x40}, {0x00, 0x00, 0x80}},
      {18, {0x00, 0x00, 0x00, 0x40}, {0x00, 0x00, 0x00, 0x80}},
      {19, {0x00, 0x00, 0x00, 0x3F}, {0x00, 0x00, 0x80, 0xBF}},
      {20, {0, 0, 0, 0, 0, 0, 0xE0, 0x3F}, {0, 0, 0, 0, 0, 0, 0xF0, 0xBF}},
      {24, {0x00, 0x40, 0x00, 0x00}, {0x00, 0x80, 0xFF, 0xFF}},
      {25, {0x00, 0x00, 0x01, 0x00}, {0x00, 0x00, 0xFE, 0xFF}},
      {26, {0x00, 0x00, 0x04, 0x00}, {0x00, 0x00, 0xF8, 0xFF}},
      {27, {0x00, 0x00, 0x40, 0x00}, {0x00, 0x00, 0x80, 0xFF}},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.type);
    ASSERT_TRUE(IsSupportedSampleType(layout.type));
    ASSERT_EQ(SampleTypeBytes(layout.type), static_cast<int32_t>(layout.half.size()));
    std::vector<uint8_t> bytes(layout.half.size());
    EncodeSample(0.5, layout.type, bytes.data());
    EXPECT_EQ(bytes, layout.half);
    EXPECT_EQ(DecodeSample(bytes.data(), layout.type), 0.5);
    EncodeSample(-1.0, layout.type, bytes.data());
    EXPECT_EQ(bytes, layout.minus_full);
    EXPECT_EQ(DecodeSample(bytes.data(), layout.type), -1.0);
    // Integers clip just below full scale; floating point keeps the value.
    EncodeSample(2.0, layout.type, bytes.data());
    const double clipped = DecodeSample(bytes.data(), layout.type);
    if (layout.type % 16 == 3 || layout.type % 16 == 4) EXPECT_EQ(clipped, 2.0);
    else EXPECT_TRUE(clipped < 1.0 && clipped > 0.99);
  }
}

TEST(SampleTypes, UnsupportedTypesAreFourBytesOfSilence) {
  for (ASIOSampleType type : {5, 7, 12, 15, 21, 23, 28, 32, 33, 40, -1}) {
    EXPECT_FALSE(IsSupportedSampleType(type)) << type;
    EXPECT_EQ(SampleTypeStorageBytes(type), 4) << type;
    uint8_t bytes[4] = {1, 2, 3, 4};
    EncodeSample(0.5, type, bytes);
    EXPECT_EQ(bytes[0], 1);
    EXPECT_EQ(DecodeSample(bytes, type), 0.0);
  }
}

}  // namespace
