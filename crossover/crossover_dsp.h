#pragma once

// The signal path of the crossover: a cascade of three Linkwitz-Riley splits (each two
// Butterworth state-variable stages), all-pass compensation of the lower bands so that the
// four bands sum to a flat magnitude, then per band a merge step (for fewer than four
// bands), an integer delay and a signed gain. Works in double precision whatever the
// sample type; allocates only in Prepare.
#include <array>
#include <cstdint>
#include <vector>

namespace crossover {

constexpr int kBandCount = 4;
constexpr int kCrossoverCount = kBandCount - 1;
constexpr int kChannelCount = 2;
constexpr int kOutputCount = kBandCount * kChannelCount;
constexpr double kMaxDelayMs = 20.0;
// Coefficients follow frequency glides in steps of this many samples.
constexpr int kControlInterval = 16;

struct TBandSettings {
  double gain_db = 0.0;
  double delay_ms = 0.0;
  bool inverted = false;
  bool muted = false;
};

struct TCrossoverSettings {
  int band_count = kBandCount;  // 2..4; the bands above it fold into the highest one used
  std::array<double, kCrossoverCount> frequency_hz{100.0, 1000.0, 10000.0};
  std::array<TBandSettings, kBandCount> band{};
};

// The frequency a crossover really runs at: kept below the Nyquist frequency.
double UsableFrequency(double frequency_hz, double sample_rate);
// The band's signed linear gain: 0 when muted, negative when inverted.
double SignedGain(const TBandSettings& band);
int DelaySamples(double delay_ms, double sample_rate);

// Magnitude (linear) of one output band's response at a frequency, as Process produces it
// once all glides have settled (the delay does not change the magnitude).
double BandMagnitude(const TCrossoverSettings& settings, int band, double frequency_hz,
                     double sample_rate);

// A trapezoidal state-variable Butterworth stage (2nd order). It behaves like the bilinear
// transform of the analog filter, and stays well-behaved while its frequency moves.
struct TSvfCoefficients {
  double k = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0;
};
TSvfCoefficients ButterworthStage(double frequency_hz, double sample_rate);

struct TSvfState {
  double ic1 = 0.0, ic2 = 0.0;
};

// Moves linearly to its target over a given number of steps and lands on it exactly.
class TLinearRamp {
 public:
  void Jump(double value) {
    current_ = target_ = value;
    remaining_ = 0;
  }
  void Target(double value, int steps) {
    if (value == target_) return;
    target_ = value;
    remaining_ = steps > 0 ? steps : 1;
    step_ = (target_ - current_) / remaining_;
  }
  double Next() {
    if (remaining_ > 0) current_ = --remaining_ == 0 ? target_ : current_ + step_;
    return current_;
  }
  bool Moving() const { return remaining_ > 0; }
  double Current() const { return current_; }

 private:
  double current_ = 0.0, target_ = 0.0, step_ = 0.0;
  int remaining_ = 0;
};

class TCrossoverEngine {
 public:
  TCrossoverEngine();
  // Sizes the delay lines for the rate and clears all state. Allocates: never call it
  // while Process may run.
  void Prepare(double sample_rate);
  double SampleRate() const { return sample_rate_; }
  // Clears filters and delay lines; the next targets are taken at once, without glides.
  void Reset();
  // New targets; changes glide (gains, merges, frequencies) or cross-fade (delays). The
  // first targets after Prepare or Reset are taken at once; give them before processing.
  void SetTargets(const TCrossoverSettings& settings);
  // Two inputs, eight outputs (band-major: band 1 L, band 1 R, band 2 L, ...). Inputs may
  // be the same arrays as outputs.
  template <typename Sample>
  void Process(const Sample* const* inputs, Sample* const* outputs, int frames);

 private:
  struct TDelayTap {
    int current = 0, next = 0, target = 0, fade_left = 0;
  };
  struct TChannelState {
    std::array<std::array<TSvfState, 3>, kCrossoverCount> split{};
    std::array<TSvfState, 3> allpass{};  // band 1: at 2 and 3; band 2: at 3
  };

  void UpdateCoefficients(int crossover);
  void FilterChannel(TChannelState& state, double x, std::array<double, kBandCount>& bands) const;

  double sample_rate_ = 44100.0;
  bool snap_ = true;
  int glide_samples_ = 1;
  int glide_ticks_ = 1;
  int max_delay_ = 0;
  std::array<TLinearRamp, kCrossoverCount> log_frequency_{};
  std::array<TSvfCoefficients, kCrossoverCount> coefficients_{};
  std::array<TLinearRamp, kBandCount> split_{};  // 1: band stands alone, 0: folds down
  std::array<TLinearRamp, kBandCount> gain_{};
  std::array<TDelayTap, kBandCount> delay_{};
  std::array<TChannelState, kChannelCount> channels_{};
  int tick_left_ = 0;
  std::vector<double> delay_lines_;  // kOutputCount rings of ring_mask_ + 1 samples
  uint32_t ring_mask_ = 0;
  uint32_t write_ = 0;
};

}  // namespace crossover
