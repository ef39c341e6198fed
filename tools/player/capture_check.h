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

// The frames from the first to past the last frame in which a channel is louder than
// `below` (not silent, by default); an empty span {0, 0} for silence.
struct Span {
  size_t first = 0;
  size_t end = 0;
};
Span ActiveSpan(const Capture& capture, double below = 0.0);

// The runs of frames in which no channel is louder than `below` (exactly 0 by default),
// between the first and the last frame in which one is (the lead and the tail are no runs).
// A threshold finds gaps that filters ringing on fill with tiny values.
struct SilentRun {
  int64_t at = 0;  // first frame
  int64_t frames = 0;
};
std::vector<SilentRun> SilentRuns(const Capture& capture, double below = 0.0);

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

// Compares every channel of a capture with the stream it should carry (channels beyond
// `streams`, and empty streams: silence) when the ring before the driver may have run short.
// The streams start where the capture first sounds. An underrun leaves silence on every
// channel up to the end of a block of `block` frames (and perhaps whole blocks more), after
// which the streams go on where they stopped: such a gap is skipped when the capture matches
// again from the block's end to `window` frames past the silence. Nothing else is forgiven:
// a wrong, lost or repeated frame is a mismatch.
struct GappedComparison {
  int64_t start = -1;  // captured frame of the streams' first frame; -1: a silent capture
  int64_t gaps = 0;    // underrun gaps skipped
  int64_t gap_frames = 0;
  int64_t mismatches = 0;       // captured frames that differ on any channel
  int64_t first_mismatch = -1;  // captured frame
  size_t channel = 0;           // of the first mismatch
  double captured_value = 0;
  double expected_value = 0;
  int64_t missing = 0;  // stream frames past the capture's end
};
GappedComparison CompareWithGappedStreams(const Capture& capture,
                                          const std::vector<std::vector<double>>& streams,
                                          int64_t block, int64_t window = 64);

// Follows one captured channel of the counter programme (GenerateCounter) as the router
// effect's output `output` carries it (output times programme channel (output - 1) mod 2)
// and counts what became of the programme's frames. Each sample is read as the frame
// nearest after the last one heard whose code it carries: a jump of more than half a code
// period (about 0.74 s) either way is misread.
struct CounterJump {
  int64_t at = 0;       // captured frame where the programme did not go on with the next frame
  int64_t from = -1;    // the programme frame heard last before it (-1: none)
  int64_t to = 0;       // the programme frame heard there
  int64_t silence = 0;  // silent frames just before it
};
struct CounterFindings {
  int64_t captured = 0;      // frames of the channel
  int64_t heard = 0;         // of them, frames that carried a programme frame
  int64_t lead = 0;          // silent frames before the first programme frame
  int64_t gaps = 0;          // runs of silence between two programme frames
  int64_t gap_frames = 0;    // frames of those runs
  int64_t unrecognised = 0;  // frames neither silent nor carrying this channel's code
  int64_t lost = 0;          // programme frames before the last one heard that never came
  int64_t repeated = 0;      // programme frames heard again
  int64_t out_of_order = 0;  // programme frames heard first after a later one
  int64_t unplayed = 0;      // programme frames after the last one heard
  int64_t jumps = 0;         // places where the next programme frame did not follow the last
  std::vector<CounterJump> first_jumps;  // up to CounterCheck::kKeptJumps of them
};

class CounterCheck {
 public:
  static constexpr size_t kKeptJumps = 64;
  CounterCheck(int64_t programme_frames, int32_t output);
  // The channel's next captured sample.
  void Add(double sample);
  CounterFindings Findings() const;

 private:
  int64_t programme_frames_;
  int32_t factor_;
  CounterCode code_;
  std::vector<bool> heard_;  // per programme frame
  int64_t last_ = -1;        // the programme frame heard last
  int64_t highest_ = -1;
  int64_t silence_ = 0;  // silent frames since the last programme frame
  CounterFindings findings_;
};

// Runs a captured WAV file through one CounterCheck per channel, reading it piece by piece;
// `outputs[c]` is the effect output routed to channel c (0: none, the channel is left out:
// its findings stay empty). Nothing, and the reason, when the file does not read.
std::optional<std::vector<CounterFindings>> CheckCounterCapture(const std::string& path,
                                                                int64_t programme_frames,
                                                                const std::vector<int32_t>& outputs,
                                                                std::string* error);

// The counter programme's frame that a captured frame names in two channels: `a` carries
// router output `output_a` of the programme's first channel (an odd output), `b` output
// `output_b` of its second (an even one). Unlike CounterCheck it needs no frame before: the
// two residues name the frame alone, up to 65535 x 65521 frames. -1 when both are silent, -2
// when they name no frame (one silent, or a value no output of the counter carries).
constexpr int64_t kCounterSilent = -1;
constexpr int64_t kCounterUnrecognised = -2;
int64_t CounterFrameOf(double a, int32_t output_a, double b, int32_t output_b);
// Each frame of a capture, read so from its channels `channel_a` and `channel_b`.
std::vector<int64_t> CounterFrames(const Capture& capture, size_t channel_a, int32_t output_a,
                                   size_t channel_b, int32_t output_b);

// The driver channel number at the start of a channel's display text "N - name"; -1 when the
// text does not start with a number and " - ".
int32_t ChannelNumberOfText(const std::string& text);

}  // namespace harness
