#pragma once

// The player's frames on their way into the ring when the driver runs another rate than the
// stream: decoded to float (TPcmFrames, volume applied), converted to the driver's rate by a
// resampler::StreamResampler, then stored. Equal rates pass through untouched: the caller
// stores the decoded frames itself. The player's side only, never the driver's thread:
// Start allocates, the rest does not.
//
// Nothing the player was told was stored is lost: a write takes only as many stream frames
// as the ring can hold once converted, together with the output the filter still owes for
// the frames before them, so that Finish always finds room for that output.
#include <cstddef>
#include <cstdint>

#include "common/channel_arrays.h"
#include "output_module/stream_ring.h"
#include "resampler/stream_resampler.h"

class TRateConverter {
 public:
  // Stream frames one resampler call takes.
  static constexpr int32_t kBlockFrames = 1024;

  // Starts a stream of `Channels` channels at `StreamRate` Hz for a driver at `DriverRate`
  // Hz; the stream before must have been finished. Returns nullptr, or the reason why the
  // conversion cannot run: the stream then passes unconverted. May throw std::bad_alloc.
  const char* Start(int32_t StreamRate, int32_t DriverRate, size_t Channels,
                    resampler::Quality Quality = resampler::Quality::kVeryHigh);
  // Ends the stream: what the filter still holds goes into `Ring`. Nothing converts until
  // the next Start.
  void Finish(TStreamRing& Ring) noexcept;

  // From Start to Finish.
  bool Started() const noexcept { return FStarted; }
  // Started, at two rates, and the resampler ready.
  bool Converting() const noexcept { return FStarted && FResampler.Ready() && !FPassing; }
  int32_t StreamRate() const noexcept { return FStreamRate; }
  int32_t DriverRate() const noexcept { return FDriverRate; }

  // The ring length a converted stream needs for a ring of `Length` frames at the stream's
  // rate: as much time at the driver's rate, and the output the filter may hold back on top,
  // so that the player always finds room to write. `Length` while not converting.
  int32_t RingLengthFor(int32_t Length) const noexcept;
  // The stream frames a write may take when the ring has `RingFree` free frames.
  int32_t StreamFramesFor(int32_t RingFree) const noexcept;
  // Converts as many of `Pcm`'s frames as StreamFramesFor allows into `Ring`; returns the
  // stream frames taken. Only while converting.
  size_t Write(TPcmFrames& Pcm, TStreamRing& Ring) noexcept;

 private:
  // Output frames the filter may hold back at most (measured: about 900 to 1,900 input
  // frames' worth at the usual ratios), with a margin.
  int32_t HeldBackBound() const noexcept;

  resampler::StreamResampler FResampler;
  bool FStarted = false;
  bool FPassing = true;
  int32_t FStreamRate = 0;
  int32_t FDriverRate = 0;
  size_t FChannels = 0;
  TSingleChannelArrays FInput;
  TSingleChannelArrays FOutput;
};
