#pragma once

// Reading back what a driver captured: levels per channel, and exact comparison with what a
// router effect makes of the played signal.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/player/pcm_signal.h"

namespace harness {

struct Capture {
  int32_t channels = 0;
  int32_t sample_rate = 0;
  std::vector<std::vector<double>> channel;  // one array of samples per channel
  size_t Frames() const { return channel.empty() ? 0 : channel[0].size(); }
};

std::optional<Capture> ReadCapture(const std::string& path, std::string* error);

// 20 log10 of an amplitude; minus infinity for 0.
double Dbfs(double amplitude);

struct Levels {
  double peak = 0;  // absolute
  double rms = 0;
};
// Over frames [first, end) of one channel.
Levels MeasureLevels(const std::vector<double>& samples, size_t first, size_t end);

// The frames from the first to past the last frame that is not silent on any channel; an
// empty span {0, 0} for silence.
struct Span {
  size_t first = 0;
  size_t end = 0;
};
Span ActiveSpan(const Capture& capture);

// What effect output `output` (1-based) of the router effect carries for `source`: output k
// is k times the source channel (k - 1) mod channels, at full scale -1 .. +1.
std::vector<double> RouterOutput(const PcmSource& source, int32_t output);

// Compares captured[i] with stream[offset + i] for every captured frame (0 where the index
// falls outside the stream), and counts the stream frames the capture does not reach.
struct Comparison {
  int64_t compared = 0;
  int64_t mismatches = 0;
  int64_t first_mismatch = -1;  // captured frame index
  double captured_value = 0;
  double expected_value = 0;
  int64_t missing = 0;  // stream frames past the capture's end
};
Comparison CompareWithStream(const std::vector<double>& captured, const std::vector<double>& stream,
                             int64_t offset);

// The smallest offset at which the capture's first non-silent frame and the `window` frames
// after it equal the stream's; nothing when the capture is silent or no offset matches.
std::optional<int64_t> FindStreamOffset(const std::vector<double>& captured,
                                        const std::vector<double>& stream, size_t window = 64);

// The driver channel number at the start of a channel's display text "N - name"; -1 when the
// text does not start with a number and " - ".
int32_t ChannelNumberOfText(const std::string& text);

}  // namespace harness
