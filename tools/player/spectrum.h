#pragma once

// Magnitude spectra of captured channels, for the demo's plot of what each output carries.
#include <cstddef>
#include <vector>

namespace harness {

// Welch's average over samples [first, end): Hann-windowed frames of `size` samples (a power
// of two), each half overlapping the next, their power averaged. One amplitude per bin
// 0 ... size / 2, scaled so that a sine centred on a bin reads its amplitude there. Empty when
// `size` is not a power of two of at least 16 or the span is shorter than one frame.
std::vector<double> AverageSpectrum(const std::vector<double>& samples, size_t first, size_t end,
                                    size_t size);

struct SpectrumPoint {
  double frequency = 0;  // Hz, the centre of the band
  double amplitude = 0;
};
// The spectrum in bands of 1/`per_octave` octave whose centres step from `low` up to `high`
// Hz: the power mean of the bins inside each band, or the nearest bin for a band narrower
// than the bins' spacing. A line plot over a log frequency axis reads this better than the
// raw bins, which crowd at the top.
std::vector<SpectrumPoint> FractionalOctaves(const std::vector<double>& spectrum,
                                             double sample_rate, double low, double high,
                                             int per_octave);

}  // namespace harness
