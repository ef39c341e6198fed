#include "tools/player/player_model.h"

#include <algorithm>

namespace harness {

DecoderPace PaceOf(DecoderKind decoder, bool dsp) {
  if (decoder == DecoderKind::Wav) return {576, 576, false, 1};
  return dsp ? DecoderPace{1152, 2304, true, 2} : DecoderPace{1152, 1152, true, 1};
}

void TimeTally::Add(uint64_t stretch, int32_t output_ms, std::optional<int32_t> written_ms) {
  ++samples;
  if (stretch_ == stretch && output_ms < last_output_) ++output_decreases;
  stretch_ = stretch;
  last_output_ = output_ms;
  if (!written_ms) return;
  if (output_ms > *written_ms) ++output_above_written;
  max_lag_ms = std::max<int64_t>(max_lag_ms, int64_t{*written_ms} - output_ms);
}

void TimeTally::Merge(const TimeTally& other) {
  samples += other.samples;
  output_decreases += other.output_decreases;
  output_above_written += other.output_above_written;
  max_lag_ms = std::max(max_lag_ms, other.max_lag_ms);
}

}  // namespace harness
