// Behaviour on the audio thread: changes glide instead of clicking, parameters may change
// from another thread, processing keeps to the frames and the floating-point mode it is given.
#include <gtest/gtest.h>

#include <xmmintrin.h>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <new>
#include <numbers>
#include <thread>

#include "crossover/tests/crossover_test_support.h"

// Every allocation of the test program is counted, so that a test can see whether a call
// allocated. The replacements pair malloc with free; the compiler, seeing only the names,
// would warn about a new/free mismatch wherever it inlines them.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
std::atomic<long> g_allocations{0};

void* operator new(std::size_t size) {
  ++g_allocations;
  if (void* memory = std::malloc(size ? size : 1)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept {
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
  std::free(memory);
}

namespace {

using namespace crossover;
using namespace crossover_test;

constexpr double kRate = 48000;

double LargestStep(const Signal& s, size_t from, size_t to) {
  double largest = 0.0;
  for (size_t n = from + 1; n < to; ++n)
    largest = std::max(largest, double(std::abs(s[n] - s[n - 1])));
  return largest;
}

struct TChangeCase {
  const char* name;
  std::function<void(TEffect&)> change;
};

class Changes : public ::testing::TestWithParam<TChangeCase> {};

// A 20 Hz tone sits in band 1; the change comes near its crest, where a jump would be
// largest. While the change glides, no output steps further from one sample to the next
// than it does in the steady state before or after.
TEST_P(Changes, GlideWithoutClicks) {
  TEffect effect(kRate);
  TCrossoverSettings settings;
  settings.frequency_hz = {200, 2000, 8000};
  effect.SetSettings(settings);
  const size_t change_at = 24700, length = 36000, block = 100;
  Signal tone(length);
  for (size_t n = 0; n < length; ++n)
    tone[n] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * 20 * n / kRate));
  std::vector<Signal> outputs(kOutputCount, Signal(length));
  for (size_t start = 0; start < length; start += block) {
    if (start == change_at - change_at % block) GetParam().change(effect);
    float* in[2] = {tone.data() + start, tone.data() + start};
    float* out[kOutputCount];
    for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data() + start;
    effect.Record()->processReplacing(effect.Record(), in, out, static_cast<VstInt32>(block));
  }
  const size_t settled = change_at + 4800;
  for (int k = 0; k < kOutputCount; ++k) {
    const double steady = std::max(LargestStep(outputs[k], change_at - 4800, change_at - 100),
                                   LargestStep(outputs[k], settled, length));
    EXPECT_LE(LargestStep(outputs[k], change_at - 100, settled), steady + 0.004)
        << "output " << k + 1;
  }
}

std::vector<uint8_t> OtherProgramChunk() {
  TEffect other;
  other.Set(BandParam(0, kBandGain), 1.0f);
  other.Set(BandParam(0, kBandPolarity), 1.0f);
  other.Set(kParamFirstFrequency, ValueForFrequency(40));
  return other.Chunk(true);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Changes,
    ::testing::Values(
        TChangeCase{"gain_up_12db", [](TEffect& e) { e.Set(BandParam(0, kBandGain), 1.0f); }},
        TChangeCase{"gain_down_24db", [](TEffect& e) { e.Set(BandParam(0, kBandGain), 0.0f); }},
        TChangeCase{"mute", [](TEffect& e) { e.Set(BandParam(0, kBandMute), 1.0f); }},
        TChangeCase{"polarity", [](TEffect& e) { e.Set(BandParam(0, kBandPolarity), 1.0f); }},
        TChangeCase{"delay_20ms", [](TEffect& e) { e.Set(BandParam(0, kBandDelay), 1.0f); }},
        TChangeCase{"crossover_down",
                    [](TEffect& e) { e.Set(kParamFirstFrequency, ValueForFrequency(25)); }},
        TChangeCase{"crossover_up",
                    [](TEffect& e) { e.Set(kParamFirstFrequency, ValueForFrequency(5000)); }},
        TChangeCase{"two_bands", [](TEffect& e) { e.Set(kParamBands, ValueForBandCount(2)); }},
        TChangeCase{"program", [](TEffect& e) { e.Dispatch(effSetProgram, 0, 2); }},
        TChangeCase{"chunk", [](TEffect& e) { e.SetChunk(OtherProgramChunk(), true); }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Threads, ParametersChangeWhileAnotherThreadProcesses) {
  TEffect effect(kRate);
  std::atomic<bool> done{false};
  std::atomic<bool> finite{true};
  std::thread audio([&] {
    constexpr int kFrames = 64;
    Signal left(kFrames), right(kFrames);
    std::vector<Signal> outputs(kOutputCount, Signal(kFrames));
    float* out[kOutputCount];
    for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data();
    for (int block = 0; block < 3000; ++block) {
      for (int n = 0; n < kFrames; ++n) {
        left[n] = static_cast<float>(std::sin((block * kFrames + n) * 0.01));
        right[n] = -left[n];
      }
      float* in[2] = {left.data(), right.data()};
      effect.Record()->processReplacing(effect.Record(), in, out, kFrames);
      for (const Signal& s : outputs)
        for (float v : s)
          if (!std::isfinite(v)) finite = false;
    }
    done = true;
  });
  uint32_t seed = 7;
  int changes = 0;
  while (!done) {
    seed = seed * 1664525u + 1013904223u;
    const int index = static_cast<int>(seed % kParamCount);
    effect.Set(index, static_cast<float>(seed >> 8) / 16777216.0f);
    (void)effect.Get((index + 1) % kParamCount);
    if (changes % 101 == 0) effect.Dispatch(effSetProgram, 0, changes % kProgramCount);
    if (changes % 257 == 0) effect.SetChunk(effect.Chunk(true), true);
    ++changes;
    std::this_thread::yield();
  }
  audio.join();
  EXPECT_TRUE(finite);
  EXPECT_GT(changes, 10);
}

class FrameCounts : public ::testing::TestWithParam<int> {};

// The host's buffers may be exactly as long as the block it passes, even when that exceeds
// the block size it announced.
TEST_P(FrameCounts, OnlyTheToldFramesAreWritten) {
  const int frames = GetParam();
  const int capacity = std::max(frames, 0) + 16;
  constexpr float kUntouched = 12345.0f;
  TEffect effect(kRate);
  Signal left(capacity, 0.25f), right(capacity, -0.25f);
  std::vector<Signal> outputs(kOutputCount, Signal(capacity, kUntouched));
  float* in[2] = {left.data(), right.data()};
  float* out[kOutputCount];
  for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data();
  effect.Record()->processReplacing(effect.Record(), in, out, frames);
  for (int k = 0; k < kOutputCount; ++k)
    for (int n = 0; n < capacity; ++n)
      ASSERT_EQ(outputs[k][n] == kUntouched, n >= frames) << "output " << k << " sample " << n;
  EXPECT_EQ(left[0], 0.25f);
}

INSTANTIATE_TEST_SUITE_P(Table, FrameCounts, ::testing::Values(-5, 0, 1, 37, 512, 4096));

TEST(Processing, InputsMayShareTheirArraysWithOutputs) {
  TEffect separate(kRate), shared(kRate);
  const int frames = 1000;
  Signal left(frames), right(frames);
  for (int n = 0; n < frames; ++n) {
    left[n] = static_cast<float>(std::sin(n * 0.02));
    right[n] = static_cast<float>(std::sin(n * 0.3));
  }
  const std::vector<Signal> expected = separate.Process(left, right, frames);
  std::vector<Signal> outputs(kOutputCount, Signal(frames));
  outputs[0] = left;
  outputs[1] = right;
  float* out[kOutputCount];
  for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data();
  float* in[2] = {out[0], out[1]};
  shared.Record()->processReplacing(shared.Record(), in, out, frames);
  for (int k = 0; k < kOutputCount; ++k) EXPECT_EQ(outputs[k], expected[k]) << k;
}

TEST(Processing, AllocatesNothingEvenWhenEverythingChanges) {
  TEffect effect(kRate);
  const int frames = 256;
  std::vector<float> left(frames, 0.5f), right(frames, -0.5f);
  std::vector<double> left_d(frames, 0.5), right_d(frames, -0.5);
  std::vector<Signal> outputs(kOutputCount, Signal(frames));
  std::vector<std::vector<double>> outputs_d(kOutputCount, std::vector<double>(frames));
  float* in[2] = {left.data(), right.data()};
  double* in_d[2] = {left_d.data(), right_d.data()};
  float* out[kOutputCount];
  double* out_d[kOutputCount];
  for (int k = 0; k < kOutputCount; ++k) {
    out[k] = outputs[k].data();
    out_d[k] = outputs_d[k].data();
  }
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < kParamCount; ++i) effect.Set(i, 0.1f + 0.27f * ((i + round) % 4));
    const long before = g_allocations;
    effect.Record()->processReplacing(effect.Record(), in, out, frames);
    effect.Record()->processDoubleReplacing(effect.Record(), in_d, out_d, frames);
    EXPECT_EQ(g_allocations - before, 0) << "round " << round;
  }
}

TEST(Processing, LeavesTheCallersFloatingPointModeAsItFoundIt) {
  TEffect effect(kRate);
  const unsigned before = _mm_getcsr();
  Signal left(64, 1.0f), right(64, 1.0f);
  effect.Process(left, right);
  EXPECT_EQ(_mm_getcsr(), before);
}

}  // namespace
