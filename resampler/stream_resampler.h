#pragma once

// Converts a stream of float frames from one sample rate to another with libsoxr, by default
// at its very high quality setting (linear phase, flat to within 0.01 dB up to 91 % of the
// lower Nyquist frequency). Prepare does every allocation; Process and Flush allocate nothing, so
// they may run on the audio path. Equal rates pass the samples through unchanged, without the
// library.
//
// One stream per Prepare: Process any number of blocks, then Flush until it gives 0 frames.
// The stream then has exactly OutputFramesFor(input frames) frames, the first aligned with
// the first input frame (the filter's delay is taken out).

#include <cstdint>
#include <vector>

struct soxr;

namespace resampler {

enum class Layout {
  kInterleaved,  // one array, frame after frame
  kPlanar,       // one array per channel
};

// libsoxr's quality settings, cheapest first.
enum class Quality {
  kQuick,
  kLow,
  kMedium,
  kHigh,
  kVeryHigh,
};

struct StreamFormat {
  int input_rate = 0;
  int output_rate = 0;
  int channels = 0;
  Layout layout = Layout::kInterleaved;
  // The most input frames one Process call takes.
  int max_input_frames = 0;
  Quality quality = Quality::kVeryHigh;
};

class StreamResampler {
 public:
  static constexpr int kMaxChannels = 32;

  StreamResampler() = default;
  ~StreamResampler();
  StreamResampler(const StreamResampler&) = delete;
  StreamResampler& operator=(const StreamResampler&) = delete;

  // Sets up for a new stream: allocates and runs the library's buffers up to their working
  // size. Off the audio path. On failure returns a reason and the resampler is not ready.
  // Returns nullptr when ready.
  const char* Prepare(const StreamFormat& format);
  bool Ready() const noexcept { return ready_; }
  const StreamFormat& Format() const noexcept { return format_; }
  bool PassesThrough() const noexcept { return format_.input_rate == format_.output_rate; }

  // How many output frames a stream of `input_frames` input frames has in all (rounded to the
  // nearest frame, as Flush ends it).
  int64_t OutputFramesFor(int64_t input_frames) const noexcept;
  // The room Process needs for `input_frames` more frames at this point of the stream: the
  // most frames that call can give.
  int MaxOutputFrames(int input_frames) const noexcept;
  // Output frames still inside the filter: the input so far, converted, less the output so far.
  double DelayFrames() const noexcept;

  // Converts `frames` (at most max_input_frames) input frames into `out`, which holds
  // `out_capacity` frames; returns the frames written. Returns -1 and takes nothing when the
  // resampler is not ready, is flushed, `frames` is out of range or `out_capacity` is less
  // than MaxOutputFrames(frames).
  int Process(const float* in, int frames, float* out, int out_capacity) noexcept;
  int Process(const float* const* in, int frames, float* const* out, int out_capacity) noexcept;

  // Ends the stream: writes up to `out_capacity` (and at most a block's worth) of the remaining
  // output frames; returns how many (0 when the stream is complete), or -1 when not ready.
  int Flush(float* out, int out_capacity) noexcept;
  int Flush(float* const* out, int out_capacity) noexcept;

 private:
  // Converts `frames` frames of `in` (none when null) into `out`, past the output still to skip.
  int Convert(const void* in, int frames, void* out, int out_capacity) noexcept;
  int Drain(void* out, int out_capacity) noexcept;
  // One library call. Returns the frames written to `out`.
  int64_t CallLibrary(const void* in, int frames, void* out, int64_t out_capacity) noexcept;
  void* ScratchOutput() noexcept;
  const void* Silence() const noexcept;
  void Release() noexcept;

  StreamFormat format_;
  soxr* soxr_ = nullptr;
  bool ready_ = false;
  bool flushed_ = false;
  // Output the library still owes for the silence Prepare ran through it: dropped.
  int64_t frames_to_skip_ = 0;
  std::vector<float> silence_;
  const float* silence_channels_[kMaxChannels] = {};
  std::vector<float> scratch_;
  float* scratch_channels_[kMaxChannels] = {};
  int64_t input_total_ = 0;
  int64_t output_total_ = 0;
};

}  // namespace resampler
