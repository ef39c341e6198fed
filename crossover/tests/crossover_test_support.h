#pragma once

// Drives the effect inside the test program through its record, as a host would.
#include <complex>
#include <vector>

#include "crossover/crossover_effect.h"

namespace crossover_test {

using Signal = std::vector<float>;

class TEffect {
 public:
  explicit TEffect(double sample_rate = 48000.0, audioMasterCallback host = nullptr);
  ~TEffect();
  TEffect(const TEffect&) = delete;
  TEffect& operator=(const TEffect&) = delete;

  AEffect* Record() const { return effect_; }
  VstIntPtr Dispatch(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
                     float opt = 0.0f) const;
  void Set(int index, float value) const;
  float Get(int index) const;
  void SetSettings(const crossover::TCrossoverSettings& settings) const;
  std::vector<uint8_t> Chunk(bool program) const;
  bool SetChunk(const std::vector<uint8_t>& chunk, bool program) const;

  // The eight outputs for these inputs, processed in blocks of `block` frames.
  std::vector<Signal> Process(const Signal& left, const Signal& right, int block = 512) const;

 private:
  AEffect* effect_;
};

// The eight outputs of a unit impulse on both inputs.
std::vector<Signal> ImpulseResponses(TEffect& effect, int length);
// The response of a signal's spectrum at one frequency (a single-bin transform).
std::complex<double> Spectrum(const std::vector<double>& signal, double hz, double sample_rate);
double Db(double magnitude);
// 20 Hz .. 20 kHz in `count` logarithmic steps.
std::vector<double> AudioFrequencies(int count);

}  // namespace crossover_test
