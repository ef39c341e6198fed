#include "tools/player/spectrum.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace harness {
namespace {

constexpr double kPi = 3.14159265358979323846;

// In place, iterative radix 2; data.size() is a power of two.
void Transform(std::vector<std::complex<double>>& data) {
  const size_t n = data.size();
  for (size_t i = 1, j = 0; i < n; ++i) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j |= bit;
    if (i < j) std::swap(data[i], data[j]);
  }
  for (size_t length = 2; length <= n; length <<= 1) {
    const std::complex<double> step = std::polar(1.0, -2.0 * kPi / static_cast<double>(length));
    for (size_t start = 0; start < n; start += length) {
      std::complex<double> twiddle = 1.0;
      for (size_t k = 0; k < length / 2; ++k) {
        const std::complex<double> even = data[start + k];
        const std::complex<double> odd = data[start + k + length / 2] * twiddle;
        data[start + k] = even + odd;
        data[start + k + length / 2] = even - odd;
        twiddle *= step;
      }
    }
  }
}

}  // namespace

std::vector<double> AverageSpectrum(const std::vector<double>& samples, size_t first, size_t end,
                                    size_t size) {
  end = std::min(end, samples.size());
  if (size < 16 || (size & (size - 1)) != 0 || first >= end || end - first < size) return {};
  std::vector<double> window(size);
  double window_sum = 0;
  for (size_t i = 0; i < size; ++i) {
    window[i] =
        0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(size));
    window_sum += window[i];
  }
  std::vector<double> power(size / 2 + 1, 0.0);
  std::vector<std::complex<double>> frame(size);
  size_t frames = 0;
  for (size_t start = first; start + size <= end; start += size / 2, ++frames) {
    for (size_t i = 0; i < size; ++i) frame[i] = samples[start + i] * window[i];
    Transform(frame);
    for (size_t k = 0; k < power.size(); ++k) power[k] += std::norm(frame[k]);
  }
  // A sine of amplitude A centred on bin k gives |X_k| = A * sum(window) / 2.
  std::vector<double> amplitude(power.size());
  for (size_t k = 0; k < power.size(); ++k)
    amplitude[k] = 2.0 * std::sqrt(power[k] / static_cast<double>(frames)) / window_sum;
  return amplitude;
}

std::vector<SpectrumPoint> FractionalOctaves(const std::vector<double>& spectrum,
                                             double sample_rate, double low, double high,
                                             int per_octave) {
  std::vector<SpectrumPoint> points;
  if (spectrum.size() < 2 || sample_rate <= 0 || low <= 0 || high < low || per_octave < 1)
    return points;
  const double spacing = sample_rate / (2.0 * static_cast<double>(spectrum.size() - 1));
  const double half_band = std::pow(2.0, 0.5 / per_octave);
  const auto bands = static_cast<int>(std::floor(std::log2(high / low) * per_octave + 1e-9)) + 1;
  for (int band = 0; band < bands; ++band) {
    const double centre = low * std::pow(2.0, static_cast<double>(band) / per_octave);
    const auto lowest = static_cast<size_t>(std::ceil(centre / half_band / spacing));
    const auto highest = std::min(static_cast<size_t>(std::floor(centre * half_band / spacing)),
                                  spectrum.size() - 1);
    double power = 0;
    size_t count = 0;
    for (size_t k = lowest; k <= highest; ++k, ++count) power += spectrum[k] * spectrum[k];
    double amplitude = 0;
    if (count > 0) {
      amplitude = std::sqrt(power / static_cast<double>(count));
    } else {
      const auto nearest =
          std::min(static_cast<size_t>(std::lround(centre / spacing)), spectrum.size() - 1);
      amplitude = spectrum[nearest];
    }
    points.push_back({centre, amplitude});
  }
  return points;
}

}  // namespace harness
