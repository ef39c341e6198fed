#pragma once

// How the player's decoders pace their writes, and what a caller of the time getters saw while
// a track was open. Portable, so that both builds test it; the harness runs it.
#include <cstdint>
#include <optional>

#include "tools/player/harness_script.h"

namespace harness {

struct DecoderPace {
  int64_t block_frames = 0;  // what the decoder measures CanWrite's answer against
  int64_t write_frames = 0;  // what it writes at once (the last write of a track may be less)
  bool or_more = true;       // the answer may equal the threshold (MP3) or must exceed it (WAV)
  int64_t threshold_blocks = 1;

  // Whether the decoder writes when CanWrite answers `free_bytes` for frames of
  // `bytes_per_frame` bytes.
  bool Writes(int64_t free_bytes, int64_t bytes_per_frame) const {
    const int64_t threshold = threshold_blocks * block_frames * bytes_per_frame;
    return or_more ? free_bytes >= threshold : free_bytes > threshold;
  }
};

// MP3: 1152-frame blocks written when CanWrite answers at least a block's bytes; with a DSP
// active 2 x 1152 frames, when it answers at least twice a block's bytes. WAV: 576-frame
// blocks when CanWrite answers more than a block's bytes.
DecoderPace PaceOf(DecoderKind decoder, bool dsp);

// One caller's view of GetOutputTime (and GetWrittenTime when it asks both) during a track.
// Answers are compared with the caller's previous one of the same stretch only: a seek, a
// pause or a resume starts a new stretch, after which the time may go back.
class TimeTally {
 public:
  void Add(uint64_t stretch, int32_t output_ms, std::optional<int32_t> written_ms = {});
  void Merge(const TimeTally& other);

  int64_t samples = 0;
  int64_t output_decreases = 0;
  int64_t output_above_written = 0;
  int64_t max_lag_ms = 0;  // the largest written - output seen

 private:
  std::optional<uint64_t> stretch_;
  int32_t last_output_ = 0;
};

}  // namespace harness
