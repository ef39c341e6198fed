#include "output_module/rate_converter.h"

#include <algorithm>
#include <cmath>

namespace {

// Converted frames from the output block into the ring, in at most two runs.
class TConvertedFrames final : public TFrameSource {
 public:
  TConvertedFrames(TSingleChannelArrays& Frames, size_t Count, size_t Channels) noexcept
      : FFrames(Frames), FCount(Count), FChannels(Channels) {}
  size_t Channels() const noexcept override { return FChannels; }
  size_t Frames() const noexcept override { return FCount; }
  void Produce(size_t Count, TSingleChannelArrays& Ring, size_t At) noexcept override {
    for (size_t ch = 0; ch < FChannels; ++ch)
      std::copy_n(FFrames[ch] + FDone, Count, Ring[ch] + At);
    FDone += Count;
  }

 private:
  TSingleChannelArrays& FFrames;
  size_t FCount;
  size_t FChannels;
  size_t FDone = 0;
};

// Input frames' worth of output the filter may hold back, twice the most measured.
constexpr double kHeldBackInputFrames = 2048.0;

}  // namespace

const char* TRateConverter::Start(int32_t StreamRate, int32_t DriverRate, size_t Channels,
                                  resampler::Quality Quality) {
  FStarted = true;
  FStreamRate = StreamRate;
  FDriverRate = DriverRate;
  FChannels = Channels;
  // Until everything is in place (an allocation may throw), the frames pass.
  FPassing = true;
  if (StreamRate == DriverRate) return nullptr;
  const resampler::StreamFormat format{
      StreamRate,   DriverRate, static_cast<int>(Channels), resampler::Layout::kPlanar,
      kBlockFrames, Quality};
  if (const char* reason = FResampler.Prepare(format)) return reason;
  FInput.SetSize(Channels, kBlockFrames);
  // Room for a block's output and twice what the filter may hold back: a call whose room
  // would not do takes fewer frames.
  const auto block_output =
      static_cast<size_t>(std::ceil(double(kBlockFrames) * DriverRate / StreamRate)) + 1;
  FOutput.SetSize(Channels, block_output + 2 * static_cast<size_t>(HeldBackBound()));
  FPassing = false;
  return nullptr;
}

void TRateConverter::Finish(TStreamRing& Ring) noexcept {
  if (Converting()) {
    const auto capacity = static_cast<int>(FOutput.SampleCount());
    for (int written; (written = FResampler.Flush(FOutput.Data(), capacity)) > 0;) {
      TConvertedFrames frames(FOutput, static_cast<size_t>(written), FChannels);
      Ring.Write(frames);
    }
  }
  FStarted = false;
}

int32_t TRateConverter::HeldBackBound() const noexcept {
  const double ratio = double(FDriverRate) / FStreamRate;
  return static_cast<int32_t>(std::ceil(kHeldBackInputFrames * std::max(1.0, ratio)));
}

int32_t TRateConverter::RingLengthFor(int32_t Length) const noexcept {
  if (!Converting()) return Length;
  const double ratio = double(FDriverRate) / FStreamRate;
  const double length = std::ceil(Length * std::max(1.0, ratio)) + HeldBackBound();
  return static_cast<int32_t>(std::min<double>(length, TStreamRing::kMaximumLength));
}

int32_t TRateConverter::StreamFramesFor(int32_t RingFree) const noexcept {
  if (!Converting()) return RingFree;
  // MaxOutputFrames counts from the output so far: it takes in what the filter still owes.
  const int owed = FResampler.MaxOutputFrames(0);
  if (owed >= RingFree) return 0;
  int64_t frames = int64_t(RingFree - owed) * FStreamRate / FDriverRate;
  frames = std::clamp<int64_t>(frames, 0, INT32_MAX - 1);
  auto fits = [&](int64_t n) {
    return FResampler.MaxOutputFrames(static_cast<int>(n)) <= RingFree;
  };
  while (fits(frames + 1)) ++frames;
  while (frames > 0 && !fits(frames)) --frames;
  return static_cast<int32_t>(frames);
}

size_t TRateConverter::Write(TPcmFrames& Pcm, TStreamRing& Ring) noexcept {
  if (!Converting() || Pcm.Channels() != FChannels) return 0;
  const auto allowed =
      std::min(Pcm.Frames(), static_cast<size_t>(StreamFramesFor(Ring.FreeFrames())));
  const auto capacity = static_cast<int>(FOutput.SampleCount());
  size_t taken = 0;
  while (taken < allowed) {
    int count = static_cast<int>(std::min<size_t>(kBlockFrames, allowed - taken));
    while (count > 0 && FResampler.MaxOutputFrames(count) > capacity) count /= 2;
    if (count == 0) break;
    Pcm.Produce(static_cast<size_t>(count), FInput, 0);
    const int written = FResampler.Process(FInput.Data(), count, FOutput.Data(), capacity);
    taken += static_cast<size_t>(count);
    TConvertedFrames frames(FOutput, static_cast<size_t>(std::max(written, 0)), FChannels);
    Ring.Write(frames);
  }
  return taken;
}
