#include "crossover/crossover_dsp.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>

namespace crossover {

namespace {

constexpr double kButterworthDamping = std::numbers::sqrt2;
constexpr double kLowestFrequency = 10.0;
// Crossovers stay below this share of the sample rate, where the prewarped stage is still
// well conditioned.
constexpr double kHighestFrequencyShare = 0.45;
constexpr double kGainGlideSeconds = 0.010;
constexpr double kFrequencyGlideSeconds = 0.030;

struct TStageOutputs {
  double band, low;
};

inline TStageOutputs Tick(const TSvfCoefficients& c, TSvfState& s, double v0) {
  const double v3 = v0 - s.ic2;
  const double v1 = c.a1 * s.ic1 + c.a2 * v3;
  const double v2 = s.ic2 + c.a2 * s.ic1 + c.a3 * v3;
  s.ic1 = 2.0 * v1 - s.ic1;
  s.ic2 = 2.0 * v2 - s.ic2;
  return {v1, v2};
}

// One Linkwitz-Riley split: a shared first stage, then a second low and a second high stage.
inline void Split(const TSvfCoefficients& c, std::array<TSvfState, 3>& s, double x, double& low,
                  double& high) {
  const TStageOutputs first = Tick(c, s[0], x);
  const double high_first = x - c.k * first.band - first.low;
  low = Tick(c, s[1], first.low).low;
  const TStageOutputs second = Tick(c, s[2], high_first);
  high = high_first - c.k * second.band - second.low;
}

inline double AllPass(const TSvfCoefficients& c, TSvfState& s, double x) {
  return x - 2.0 * c.k * Tick(c, s, x).band;
}

using Complex = std::complex<double>;

struct TSplitResponse {
  Complex low, high, all_pass;
};

// The analog prototype at the prewarped frequency: what the trapezoidal stages realise.
TSplitResponse SplitResponse(double frequency_hz, double crossover_hz, double sample_rate) {
  const double pi = std::numbers::pi;
  const double omega = std::tan(pi * frequency_hz / sample_rate) /
                       std::tan(pi * UsableFrequency(crossover_hz, sample_rate) / sample_rate);
  const Complex s(0.0, omega);
  const Complex butterworth = s * s + kButterworthDamping * s + 1.0;
  const Complex squared = butterworth * butterworth;
  return {1.0 / squared, s * s * s * s / squared,
          (s * s - kButterworthDamping * s + 1.0) / butterworth};
}

}  // namespace

double UsableFrequency(double frequency_hz, double sample_rate) {
  return std::clamp(frequency_hz, kLowestFrequency, kHighestFrequencyShare * sample_rate);
}

double SignedGain(const TBandSettings& band) {
  if (band.muted) return 0.0;
  const double gain = std::pow(10.0, band.gain_db / 20.0);
  return band.inverted ? -gain : gain;
}

int DelaySamples(double delay_ms, double sample_rate) {
  return static_cast<int>(std::lround(std::max(delay_ms, 0.0) * sample_rate / 1000.0));
}

double BandMagnitude(const TCrossoverSettings& settings, int band, double frequency_hz,
                     double sample_rate) {
  if (band < 0 || band >= kBandCount || frequency_hz <= 0.0 || frequency_hz >= sample_rate / 2)
    return 0.0;
  std::array<TSplitResponse, kCrossoverCount> split;
  for (int x = 0; x < kCrossoverCount; ++x)
    split[x] = SplitResponse(frequency_hz, settings.frequency_hz[x], sample_rate);
  const std::array<Complex, kBandCount> bands = {
      split[0].low * split[1].all_pass * split[2].all_pass,
      split[0].high * split[1].low * split[2].all_pass,
      split[0].high * split[1].high * split[2].low,
      split[0].high * split[1].high * split[2].high,
  };
  const int highest = std::clamp(settings.band_count, 2, kBandCount) - 1;
  if (band > highest) return 0.0;
  Complex response = bands[band];
  if (band == highest)
    for (int k = band + 1; k < kBandCount; ++k) response += bands[k];
  return std::abs(response) * std::abs(SignedGain(settings.band[band]));
}

TSvfCoefficients ButterworthStage(double frequency_hz, double sample_rate) {
  const double g = std::tan(std::numbers::pi * frequency_hz / sample_rate);
  TSvfCoefficients c;
  c.k = kButterworthDamping;
  c.a1 = 1.0 / (1.0 + g * (g + c.k));
  c.a2 = g * c.a1;
  c.a3 = g * c.a2;
  return c;
}

TCrossoverEngine::TCrossoverEngine() {
  Prepare(sample_rate_);
}

void TCrossoverEngine::Prepare(double sample_rate) {
  sample_rate_ = sample_rate;
  glide_samples_ = std::max(1, static_cast<int>(std::lround(kGainGlideSeconds * sample_rate)));
  glide_ticks_ = std::max(
      1, static_cast<int>(std::ceil(kFrequencyGlideSeconds * sample_rate / kControlInterval)));
  max_delay_ = DelaySamples(kMaxDelayMs, sample_rate);
  uint32_t ring = 1;
  while (ring < static_cast<uint32_t>(max_delay_) + 1) ring <<= 1;
  ring_mask_ = ring - 1;
  delay_lines_.assign(static_cast<size_t>(ring) * kOutputCount, 0.0);
  for (int x = 0; x < kCrossoverCount; ++x) UpdateCoefficients(x);
  Reset();
}

void TCrossoverEngine::Reset() {
  std::fill(delay_lines_.begin(), delay_lines_.end(), 0.0);
  channels_ = {};
  write_ = 0;
  tick_left_ = 0;
  snap_ = true;
}

void TCrossoverEngine::UpdateCoefficients(int crossover) {
  coefficients_[crossover] =
      ButterworthStage(std::exp2(log_frequency_[crossover].Current()), sample_rate_);
}

void TCrossoverEngine::SetTargets(const TCrossoverSettings& settings) {
  for (int x = 0; x < kCrossoverCount; ++x) {
    const double target = std::log2(UsableFrequency(settings.frequency_hz[x], sample_rate_));
    if (snap_) {
      log_frequency_[x].Jump(target);
      UpdateCoefficients(x);
    } else {
      log_frequency_[x].Target(target, glide_ticks_);
    }
  }
  const int band_count = std::clamp(settings.band_count, 2, kBandCount);
  for (int b = 0; b < kBandCount; ++b) {
    const double split = b < band_count ? 1.0 : 0.0;
    const double gain = SignedGain(settings.band[b]);
    const int delay = std::min(DelaySamples(settings.band[b].delay_ms, sample_rate_), max_delay_);
    if (snap_) {
      split_[b].Jump(split);
      gain_[b].Jump(gain);
      delay_[b] = TDelayTap{delay, delay, delay, 0};
    } else {
      split_[b].Target(split, glide_samples_);
      gain_[b].Target(gain, glide_samples_);
      delay_[b].target = delay;
    }
  }
  snap_ = false;
}

void TCrossoverEngine::FilterChannel(TChannelState& state, double x,
                                     std::array<double, kBandCount>& bands) const {
  double low1, high1, low2, high2;
  Split(coefficients_[0], state.split[0], x, low1, high1);
  Split(coefficients_[1], state.split[1], high1, low2, high2);
  Split(coefficients_[2], state.split[2], high2, bands[2], bands[3]);
  // The lower bands pass the all-passes of the crossovers above them, so that their phase
  // matches the upper bands' and the sum is flat.
  bands[0] = AllPass(coefficients_[2], state.allpass[1],
                     AllPass(coefficients_[1], state.allpass[0], low1));
  bands[1] = AllPass(coefficients_[2], state.allpass[2], low2);
}

template <typename Sample>
void TCrossoverEngine::Process(const Sample* const* inputs, Sample* const* outputs, int frames) {
  const size_t ring = static_cast<size_t>(ring_mask_) + 1;
  const double fade_step = 1.0 / glide_samples_;
  for (int i = 0; i < frames; ++i) {
    if (tick_left_ == 0) {
      tick_left_ = kControlInterval;
      for (int x = 0; x < kCrossoverCount; ++x) {
        if (!log_frequency_[x].Moving()) continue;
        log_frequency_[x].Next();
        UpdateCoefficients(x);
      }
    }
    --tick_left_;
    const double in[kChannelCount] = {static_cast<double>(inputs[0][i]),
                                      static_cast<double>(inputs[1][i])};
    std::array<double, kBandCount> split, gain, fade;
    for (int b = 0; b < kBandCount; ++b) {
      split[b] = split_[b].Next();
      gain[b] = gain_[b].Next();
      TDelayTap& tap = delay_[b];
      if (tap.fade_left == 0 && tap.target != tap.current) {
        tap.next = tap.target;
        tap.fade_left = glide_samples_;
      }
      fade[b] = tap.fade_left > 0 ? (glide_samples_ - tap.fade_left + 1) * fade_step : 0.0;
    }
    for (int c = 0; c < kChannelCount; ++c) {
      std::array<double, kBandCount> bands;
      FilterChannel(channels_[c], in[c], bands);
      // Bands above the band count fold, gliding, into the highest band in use.
      double carry = 0.0;
      for (int b = kBandCount - 1; b > 0; --b) {
        const double total = bands[b] + carry;
        bands[b] = split[b] * total;
        carry = total - bands[b];
      }
      bands[0] += carry;
      for (int b = 0; b < kBandCount; ++b) {
        const int output = b * kChannelCount + c;
        double* line = &delay_lines_[static_cast<size_t>(output) * ring];
        line[write_] = bands[b];
        const TDelayTap& tap = delay_[b];
        double y = line[(write_ - static_cast<uint32_t>(tap.current)) & ring_mask_];
        if (fade[b] > 0.0)
          y += fade[b] * (line[(write_ - static_cast<uint32_t>(tap.next)) & ring_mask_] - y);
        outputs[output][i] = static_cast<Sample>(gain[b] * y);
      }
    }
    for (TDelayTap& tap : delay_) {
      if (tap.fade_left > 0 && --tap.fade_left == 0) tap.current = tap.next;
    }
    write_ = (write_ + 1) & ring_mask_;
  }
}

template void TCrossoverEngine::Process<float>(const float* const*, float* const*, int);
template void TCrossoverEngine::Process<double>(const double* const*, double* const*, int);

}  // namespace crossover
