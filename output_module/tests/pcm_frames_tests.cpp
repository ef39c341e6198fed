// The player's PCM bytes of every depth into float samples: the extremes of each depth, the
// volume, and the whole frames a byte length holds.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "output_module/stream_ring.h"

namespace {

// Little-endian bytes of signed values at `bits` bits; 8-bit samples offset by 128.
std::vector<uint8_t> Packed(const std::vector<int64_t>& values, int32_t bits) {
  std::vector<uint8_t> bytes;
  for (const int64_t value : values) {
    const auto word = static_cast<uint64_t>(bits == 8 ? value + 128 : value);
    for (int32_t shift = 0; shift < bits; shift += 8)
      bytes.push_back(static_cast<uint8_t>(word >> shift));
  }
  return bytes;
}

// Every frame of a mono source, decoded in two runs (as the ring asks at its end).
std::vector<float> Decoded(const std::vector<uint8_t>& bytes, int32_t bits, float volume) {
  TPcmFrames source(bytes.data(), bytes.size(), 1, bits, volume);
  const size_t frames = source.Frames();
  TSingleChannelArrays ring(1, frames);
  const size_t first = frames / 2;
  source.Produce(frames - first, ring, first);
  source.Produce(first, ring, 0);
  std::vector<float> samples(ring[0] + first, ring[0] + frames);
  samples.insert(samples.end(), ring[0], ring[0] + first);
  return samples;
}

TEST(PcmFrames, EachDepthScalesItsExtremesToPlusMinusOne) {
  struct Case {
    int32_t bits;
    std::vector<uint8_t> bytes;
    std::vector<float> expected;
  };
  const float two23 = 8388608.0f;
  const float two31 = 2147483648.0f;
  const Case cases[] = {
      // The 8-bit offset: 0x80 is silence, 0x00 the negative full scale.
      {8, {0x00, 0xFF, 0x80, 0x7F, 0x81}, {-1.0f, 127 / 128.0f, 0.0f, -1 / 128.0f, 1 / 128.0f}},
      {16,
       {0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00, 0xFF, 0xFF, 0x34, 0x12},
       {-1.0f, 32767 / 32768.0f, 0.0f, -1 / 32768.0f, 0x1234 / 32768.0f}},
      {24,
       {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x56, 0x34, 0x12},
       {-1.0f, (two23 - 1) / two23, 0.0f, -1 / two23, 0x123456 / two23}},
      // 2^31 - 1 and 0x12345678 have more significant bits than a float: the nearest float.
      {32,
       {0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00,
        0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x78, 0x56, 0x34, 0x12},
       {-1.0f, 1.0f, 0.0f, -1 / two31, static_cast<float>(0x12345680) / two31}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits");
    EXPECT_EQ(Decoded(c.bytes, c.bits, 1.0f), c.expected);
  }
}

TEST(PcmFrames, TheVolumeScalesWithOneRounding) {
  struct Case {
    int32_t bits;
    int64_t value;
    float volume;
    float expected;
  };
  const float v5 = static_cast<float>(5 / 255.0);
  const float v51 = static_cast<float>(51 / 255.0);
  const float v128 = static_cast<float>(128 / 255.0);
  const Case cases[] = {
      {8, -128, v128, -v128},
      {8, 64, v51, static_cast<float>(64 * static_cast<double>(v51) / 128)},
      {16, -32768, v51, -v51},
      {16, 12345, v128, static_cast<float>(12345 * static_cast<double>(v128) / 32768)},
      {24, -8388608, v128, -v128},
      {24, 8388607, v51, static_cast<float>(8388607 * static_cast<double>(v51) / 8388608)},
      {32, -2147483648LL, v51, -v51},
      {32, 2147483647, 0.0f, 0.0f},
      // The product needs 55 bits: rounded to double first, it would land on a tie between
      // two floats and go to the even one, 0x1.84e334p-7.
      {32, 1299792737, v5, 0x1.84e336p-7f},
      {32, -1299792737, v5, -0x1.84e336p-7f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.value) + " at volume " +
                 std::to_string(c.volume));
    EXPECT_EQ(Decoded(Packed({c.value}, c.bits), c.bits, c.volume), std::vector<float>{c.expected});
  }
}

TEST(PcmFrames, ALengthHoldsWholeFramesOnly) {
  struct Case {
    int32_t bits;
    size_t channels;
    size_t length;  // bytes
    size_t frames;
  };
  const Case cases[] = {
      {8, 1, 3, 3},   {8, 2, 3, 1},   {16, 2, 7, 1},  {24, 2, 5, 0},  {24, 2, 11, 1},
      {24, 2, 12, 2}, {24, 3, 9, 1},  {32, 3, 23, 1}, {32, 1, 3, 0},  {24, 0, 12, 0},
      {12, 1, 12, 0}, {20, 2, 60, 0}, {64, 1, 64, 0}, {-16, 1, 8, 0}, {0, 1, 8, 0},
  };
  const std::vector<uint8_t> bytes(64, 0x80);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + " bits, " + std::to_string(c.channels) + " channels, " +
                 std::to_string(c.length) + " bytes");
    TPcmFrames source(bytes.data(), c.length, c.channels, c.bits, 1.0f);
    EXPECT_EQ(source.Frames(), c.frames);
    EXPECT_EQ(source.Channels(), c.channels);
  }
}

}  // namespace
