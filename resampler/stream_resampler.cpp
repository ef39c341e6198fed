#include "resampler/stream_resampler.h"

#include <soxr.h>

#include <algorithm>
#include <cstring>
#include <numeric>

namespace resampler {

namespace {

constexpr int kMaxRate = 1'000'000;
constexpr int kMaxBlockFrames = 1 << 20;

// Silence run through the library in Prepare, so that its buffers reach their working size:
// first this many blocks and frames held back in the library, then this many blocks more, or
// up to this fraction of a second, whichever is longer.
constexpr int kHeldBackBlocks = 4;
constexpr int kHeldBackFrames = 16384;
constexpr int kWarmUpBlocks = 8;
constexpr int kWarmUpDivisorOfRate = 4;

constexpr int64_t kMaxFlushSilenceFrames = 1 << 20;

unsigned long SoxrQuality(Quality quality) {
  switch (quality) {
    case Quality::kQuick:
      return SOXR_QQ;
    case Quality::kLow:
      return SOXR_LQ;
    case Quality::kMedium:
      return SOXR_MQ;
    case Quality::kHigh:
      return SOXR_HQ;
    case Quality::kVeryHigh:
      break;
  }
  return SOXR_VHQ;
}

}  // namespace

StreamResampler::~StreamResampler() {
  Release();
}

void StreamResampler::Release() noexcept {
  if (soxr_) soxr_delete(soxr_);
  soxr_ = nullptr;
  ready_ = false;
}

const char* StreamResampler::Prepare(const StreamFormat& format) {
  Release();
  if (format.input_rate <= 0 || format.input_rate > kMaxRate || format.output_rate <= 0 ||
      format.output_rate > kMaxRate)
    return "sample rate out of range";
  if (format.channels < 1 || format.channels > kMaxChannels) return "channel count out of range";
  if (format.max_input_frames < 1 || format.max_input_frames > kMaxBlockFrames)
    return "block size out of range";
  format_ = format;
  flushed_ = false;
  input_total_ = output_total_ = frames_to_skip_ = 0;
  if (PassesThrough()) {
    ready_ = true;
    return nullptr;
  }

  const bool planar = format.layout == Layout::kPlanar;
  const soxr_io_spec_t io = soxr_io_spec(planar ? SOXR_FLOAT32_S : SOXR_FLOAT32_I,
                                         planar ? SOXR_FLOAT32_S : SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SoxrQuality(format.quality), 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_ = soxr_create(format.input_rate, format.output_rate, unsigned(format.channels), &error, &io,
                      &quality, &runtime);
  if (!soxr_) return error ? error : "the resampling library refused the format";

  // The library sizes its buffers as it goes: run silence through it, a whole number of
  // rate periods long so that the conversion's phase comes back to where a stream starts. The
  // output the library still owes for that silence is dropped at the stream's start.
  const int max_block = format.max_input_frames;
  const int64_t period = format.input_rate / std::gcd(format.input_rate, format.output_rate);
  const int64_t held_back = kHeldBackBlocks * int64_t(max_block) + kHeldBackFrames;
  const int64_t least = std::max<int64_t>(held_back + kWarmUpBlocks * int64_t(max_block),
                                          format.input_rate / kWarmUpDivisorOfRate);
  const int64_t warm_up = (least + period - 1) / period * period;
  const int64_t block_output = MaxOutputFrames(max_block);
  const int64_t capacity = MaxOutputFrames(int(held_back)) + block_output + 8192;
  silence_.assign(size_t(max_block) * format.channels, 0.0f);
  std::vector<float> sink(size_t(capacity) * format.channels);
  float* sink_channels[kMaxChannels];
  for (int c = 0; c < format.channels; ++c) {
    silence_channels_[c] = silence_.data() + size_t(c) * max_block;
    sink_channels[c] = sink.data() + size_t(c) * capacity;
  }
  // First silence held back (no output asked for), so that the input and output buffers grow
  // well past what a stream needs; then blocks of every size, as a stream may give them, each
  // drained as Process drains it.
  uint32_t pattern = 1;
  int64_t emitted = 0;
  for (int64_t fed = 0, step = 0; fed < warm_up; ++step) {
    pattern = pattern * 1664525u + 1013904223u;
    const bool holding = fed < held_back;
    const int size = holding || step % 2 ? max_block : 1 + int(pattern >> 8) % max_block;
    const int block = int(std::min<int64_t>(size, warm_up - fed));
    fed += block;
    const int64_t most = (fed * format.output_rate + format.input_rate - 1) / format.input_rate;
    const int64_t asked = fed < held_back ? 0 : std::min(capacity, most - emitted);
    size_t done = 0;
    error = soxr_process(soxr_, Silence(), size_t(block), nullptr,
                         planar ? static_cast<void*>(sink_channels) : sink.data(), size_t(asked),
                         &done);
    if (error) {
      Release();
      return error;
    }
    emitted += int64_t(done);
  }
  frames_to_skip_ = warm_up * format.output_rate / format.input_rate - emitted;
  scratch_.assign(size_t(std::max<int64_t>(frames_to_skip_, 1)) * format.channels, 0.0f);
  for (int c = 0; c < format.channels; ++c)
    scratch_channels_[c] =
        scratch_.data() + size_t(c) * size_t(std::max<int64_t>(frames_to_skip_, 1));
  ready_ = true;
  return nullptr;
}

int64_t StreamResampler::OutputFramesFor(int64_t input_frames) const noexcept {
  if (PassesThrough()) return input_frames;
  // Rounded half up, as the library ends a stream.
  return (2 * input_frames * format_.output_rate + format_.input_rate) / (2 * format_.input_rate);
}

int StreamResampler::MaxOutputFrames(int input_frames) const noexcept {
  if (PassesThrough()) return input_frames;
  const int64_t in = input_total_ + input_frames;
  const int64_t most = (in * format_.output_rate + format_.input_rate - 1) / format_.input_rate;
  return int(std::max<int64_t>(most - output_total_, 0));
}

double StreamResampler::DelayFrames() const noexcept {
  if (PassesThrough()) return 0.0;
  return double(input_total_) * format_.output_rate / format_.input_rate - double(output_total_);
}

const void* StreamResampler::Silence() const noexcept {
  return format_.layout == Layout::kPlanar ? static_cast<const void*>(silence_channels_)
                                           : static_cast<const void*>(silence_.data());
}

void* StreamResampler::ScratchOutput() noexcept {
  return format_.layout == Layout::kPlanar ? static_cast<void*>(scratch_channels_)
                                           : static_cast<void*>(scratch_.data());
}

int64_t StreamResampler::CallLibrary(const void* in, int frames, void* out,
                                     int64_t out_capacity) noexcept {
  size_t done = 0;
  if (soxr_process(soxr_, in, size_t(frames), nullptr, out, size_t(out_capacity), &done)) return 0;
  return int64_t(done);
}

int StreamResampler::Convert(const void* in, int frames, void* out, int out_capacity) noexcept {
  // Without input the library is given an empty block: none at all would end its stream.
  const void* none = Silence();
  if (!in) in = none;
  if (frames_to_skip_ > 0) {
    frames_to_skip_ -= CallLibrary(in, frames, ScratchOutput(), frames_to_skip_);
    in = none;
    frames = 0;
  }
  const int64_t written = frames_to_skip_ > 0 ? 0 : CallLibrary(in, frames, out, out_capacity);
  output_total_ += written;
  return int(written);
}

int StreamResampler::Process(const float* in, int frames, float* out, int out_capacity) noexcept {
  if (!ready_ || flushed_ || format_.layout != Layout::kInterleaved || frames < 0 ||
      frames > format_.max_input_frames || out_capacity < MaxOutputFrames(frames))
    return -1;
  if (PassesThrough()) {
    std::memcpy(out, in, sizeof(float) * size_t(frames) * size_t(format_.channels));
    input_total_ += frames;
    output_total_ += frames;
    return frames;
  }
  const int written = Convert(in, frames, out, out_capacity);
  input_total_ += frames;
  return written;
}

int StreamResampler::Process(const float* const* in, int frames, float* const* out,
                             int out_capacity) noexcept {
  if (!ready_ || flushed_ || format_.layout != Layout::kPlanar || frames < 0 ||
      frames > format_.max_input_frames || out_capacity < MaxOutputFrames(frames))
    return -1;
  if (PassesThrough()) {
    for (int c = 0; c < format_.channels; ++c)
      std::memcpy(out[c], in[c], sizeof(float) * size_t(frames));
    input_total_ += frames;
    output_total_ += frames;
    return frames;
  }
  // The library's array of channel pointers is not const, though it only reads it.
  const int written = Convert(in, frames, const_cast<float**>(out), out_capacity);
  input_total_ += frames;
  return written;
}

int StreamResampler::Drain(void* out, int out_capacity) noexcept {
  flushed_ = true;
  // No more at a time than a full block gives, so that the library's buffers keep the size
  // Prepare gave them.
  const int64_t block_output =
      (int64_t(format_.max_input_frames) * format_.output_rate + format_.input_rate - 1) /
      format_.input_rate;
  const int64_t remaining = OutputFramesFor(input_total_) - output_total_;
  const int want = int(std::min({int64_t(out_capacity), block_output, remaining}));
  if (want <= 0) return 0;
  // What the library holds first; then silence after the stream's end pushes the rest out,
  // as the library's own flush would, but through the buffers that Process uses.
  int written = Convert(nullptr, 0, out, want);
  // The filter's last blocks may need far more silence than the output still owed; the bound
  // only guards against a library that gives nothing.
  for (int64_t pushed = 0; written == 0 && pushed < kMaxFlushSilenceFrames;
       pushed += format_.max_input_frames)
    written = Convert(Silence(), format_.max_input_frames, out, want);
  return written;
}

int StreamResampler::Flush(float* out, int out_capacity) noexcept {
  if (!ready_ || format_.layout != Layout::kInterleaved || out_capacity < 0) return -1;
  return PassesThrough() ? 0 : Drain(out, out_capacity);
}

int StreamResampler::Flush(float* const* out, int out_capacity) noexcept {
  if (!ready_ || format_.layout != Layout::kPlanar || out_capacity < 0) return -1;
  return PassesThrough() ? 0 : Drain(const_cast<float**>(out), out_capacity);
}

}  // namespace resampler
