// The cost of silence after a loud burst. As the filters ring out, their state passes
// through the subnormal range, where arithmetic without flush-to-zero is many times slower.
// Each run: a 100 ms noise burst, then 3 s of silence, in blocks of 512 frames at 48 kHz.
//   Effect/...        the effect's own process routine (flush-to-zero inside)
//   EngineNoFlush/... the same filters driven without flush-to-zero, for comparison
//   Effect/noise      3.1 s of noise through the effect: the steady cost
#include <benchmark/benchmark.h>

#include <vector>

#include "crossover/crossover_effect.h"

namespace {

using namespace crossover;

constexpr double kRate = 48000;
constexpr int kBlock = 512;
constexpr int kBurstBlocks = 10;
constexpr int kSilenceBlocks = 280;

struct TBuffers {
  std::vector<float> noise = std::vector<float>(kBlock), silence = std::vector<float>(kBlock);
  std::vector<std::vector<float>> outputs =
      std::vector<std::vector<float>>(kOutputCount, std::vector<float>(kBlock));
  float* out[kOutputCount];
  TBuffers() {
    uint32_t seed = 99;
    for (float& v : noise) {
      seed = seed * 1664525u + 1013904223u;
      v = static_cast<float>(seed >> 8) / 8388608.0f - 1.0f;
    }
    for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data();
  }
};

template <typename ProcessBlock, typename Restart>
void BurstThenSilence(benchmark::State& state, ProcessBlock process, Restart restart,
                      bool silence_after_burst) {
  TBuffers buffers;
  for (auto _ : state) {
    restart();
    for (int b = 0; b < kBurstBlocks + kSilenceBlocks; ++b) {
      float* source =
          b < kBurstBlocks || !silence_after_burst ? buffers.noise.data() : buffers.silence.data();
      float* in[2] = {source, source};
      process(in, buffers.out);
    }
    benchmark::DoNotOptimize(buffers.outputs[0].data());
  }
  // Processor time per frame (two inputs, eight outputs).
  state.counters["per_frame"] = benchmark::Counter(
      double(kBurstBlocks + kSilenceBlocks) * kBlock,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Effect(benchmark::State& state, bool silence_after_burst) {
  AEffect* effect = CreateCrossoverEffect(nullptr);
  effect->dispatcher(effect, effSetSampleRate, 0, 0, nullptr, static_cast<float>(kRate));
  BurstThenSilence(
      state, [&](float** in, float** out) { effect->processReplacing(effect, in, out, kBlock); },
      [&] { effect->dispatcher(effect, effMainsChanged, 0, 1, nullptr, 0.0f); },
      silence_after_burst);
  effect->dispatcher(effect, effClose, 0, 0, nullptr, 0.0f);
}

void EngineNoFlush(benchmark::State& state) {
  TCrossoverEngine engine;
  engine.Prepare(kRate);
  const TCrossoverSettings settings = SettingsFromValues(FactoryPrograms()[0].values);
  BurstThenSilence(
      state, [&](float** in, float** out) { engine.Process(in, out, kBlock); },
      [&] {
        engine.Reset();
        engine.SetTargets(settings);
      },
      true);
}

BENCHMARK_CAPTURE(Effect, burst_then_silence, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Effect, noise, false)->Unit(benchmark::kMillisecond);
BENCHMARK(EngineNoFlush)->Name("EngineNoFlush/burst_then_silence")->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
