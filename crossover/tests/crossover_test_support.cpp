#include "crossover/tests/crossover_test_support.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace crossover_test {

using namespace crossover;

TEffect::TEffect(double sample_rate, audioMasterCallback host)
    : effect_(CreateCrossoverEffect(host)) {
  Dispatch(effOpen);
  Dispatch(effSetSampleRate, 0, 0, nullptr, static_cast<float>(sample_rate));
  Dispatch(effSetBlockSize, 0, 512);
  Dispatch(effMainsChanged, 0, 1);
}

TEffect::~TEffect() {
  Dispatch(effMainsChanged, 0, 0);
  Dispatch(effClose);
}

VstIntPtr TEffect::Dispatch(VstInt32 opcode, VstInt32 index, VstIntPtr value, void* ptr,
                            float opt) const {
  return effect_->dispatcher(effect_, opcode, index, value, ptr, opt);
}

void TEffect::Set(int index, float value) const {
  effect_->setParameter(effect_, index, value);
}
float TEffect::Get(int index) const {
  return effect_->getParameter(effect_, index);
}

void TEffect::SetSettings(const TCrossoverSettings& settings) const {
  Set(kParamBands, ValueForBandCount(settings.band_count));
  for (int x = 0; x < kCrossoverCount; ++x)
    Set(kParamFirstFrequency + x, ValueForFrequency(settings.frequency_hz[x]));
  for (int b = 0; b < kBandCount; ++b) {
    Set(BandParam(b, kBandGain), ValueForGainDb(settings.band[b].gain_db));
    Set(BandParam(b, kBandDelay), ValueForDelayMs(settings.band[b].delay_ms));
    Set(BandParam(b, kBandPolarity), settings.band[b].inverted ? 1.0f : 0.0f);
    Set(BandParam(b, kBandMute), settings.band[b].muted ? 1.0f : 0.0f);
  }
}

std::vector<uint8_t> TEffect::Chunk(bool program) const {
  void* data = nullptr;
  const VstIntPtr size = Dispatch(effGetChunk, program ? 1 : 0, 0, &data);
  const auto* bytes = static_cast<const uint8_t*>(data);
  return size > 0 ? std::vector<uint8_t>(bytes, bytes + size) : std::vector<uint8_t>();
}

bool TEffect::SetChunk(const std::vector<uint8_t>& chunk, bool program) const {
  std::vector<uint8_t> copy = chunk;
  return Dispatch(effSetChunk, program ? 1 : 0, static_cast<VstIntPtr>(copy.size()), copy.data()) ==
         1;
}

std::vector<Signal> TEffect::Process(const Signal& left, const Signal& right, int block) const {
  std::vector<Signal> outputs(kOutputCount, Signal(left.size()));
  for (size_t start = 0; start < left.size(); start += static_cast<size_t>(block)) {
    const int frames = static_cast<int>(std::min<size_t>(block, left.size() - start));
    float* in[kChannelCount] = {const_cast<float*>(left.data() + start),
                                const_cast<float*>(right.data() + start)};
    float* out[kOutputCount];
    for (int k = 0; k < kOutputCount; ++k) out[k] = outputs[k].data() + start;
    effect_->processReplacing(effect_, in, out, frames);
  }
  return outputs;
}

std::vector<Signal> ImpulseResponses(TEffect& effect, int length) {
  Signal impulse(static_cast<size_t>(length), 0.0f);
  impulse[0] = 1.0f;
  return effect.Process(impulse, impulse);
}

std::complex<double> Spectrum(const std::vector<double>& signal, double hz, double sample_rate) {
  // A rotating phasor, renormalised now and then so that rounding cannot let it drift.
  const std::complex<double> turn = std::polar(1.0, -2.0 * std::numbers::pi * hz / sample_rate);
  std::complex<double> phasor = 1.0, sum = 0.0;
  for (size_t n = 0; n < signal.size(); ++n) {
    sum += signal[n] * phasor;
    phasor *= turn;
    if (n % 1024 == 0) phasor /= std::abs(phasor);
  }
  return sum;
}

double Db(double magnitude) {
  return 20.0 * std::log10(magnitude);
}

std::vector<double> AudioFrequencies(int count) {
  std::vector<double> frequencies;
  for (int i = 0; i < count; ++i)
    frequencies.push_back(20.0 * std::pow(1000.0, static_cast<double>(i) / (count - 1)));
  return frequencies;
}

}  // namespace crossover_test
