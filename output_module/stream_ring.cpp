#include "output_module/stream_ring.h"

#include <algorithm>
#include <cmath>
#include <thread>

// ---- the player's bytes -----------------------------------------------------------------------

size_t TPcmFrames::SampleBytes(int32_t Bits) noexcept {
  return Bits == 8 || Bits == 16 || Bits == 24 || Bits == 32 ? static_cast<size_t>(Bits / 8) : 0;
}

TPcmFrames::TPcmFrames(const void* Bytes, size_t Length, size_t Channels, int32_t Bits,
                       float Volume) noexcept
    : FNext(static_cast<const uint8_t*>(Bytes)),
      FChannels(Channels),
      FSampleBytes(SampleBytes(Bits)),
      FFrames(Channels > 0 && FSampleBytes > 0 ? Length / (Channels * FSampleBytes) : 0),
      FScale(FSampleBytes > 0 ? std::ldexp(static_cast<double>(Volume), 1 - Bits) : 0.0) {
  int exponent = 0;
  const float fraction = std::frexp(Volume, &exponent);
  // A float's 24-bit significand as a whole number.
  FMantissa = static_cast<int64_t>(std::ldexp(fraction, 24));
  FStep = std::ldexp(1.0f, exponent - 24 - 31);
}

template <size_t Width, typename Sample>
void TPcmFrames::Store(size_t Count, TSingleChannelArrays& Ring, size_t At,
                       Sample sample) noexcept {
  for (size_t f = 0; f < Count; ++f) {
    for (size_t ch = 0; ch < FChannels; ++ch) {
      Ring[ch][At + f] = sample(FNext);
      FNext += Width;
    }
  }
}

void TPcmFrames::Produce(size_t Count, TSingleChannelArrays& Ring, size_t At) noexcept {
  const double scale = FScale;
  const auto scaled = [scale](int32_t value) {
    return static_cast<float>(static_cast<double>(value) * scale);
  };
  switch (FSampleBytes) {
    case 1:
      Store<1>(Count, Ring, At, [&](const uint8_t* p) { return scaled(int32_t{p[0]} - 128); });
      break;
    case 2:
      Store<2>(Count, Ring, At, [&](const uint8_t* p) {
        return scaled(static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8)));
      });
      break;
    case 3:
      // The top byte's sign spreads down by the arithmetic shift.
      Store<3>(Count, Ring, At, [&](const uint8_t* p) {
        const auto high = static_cast<uint32_t>(p[0] << 8 | p[1] << 16) | uint32_t{p[2]} << 24;
        return scaled(static_cast<int32_t>(high) >> 8);
      });
      break;
    case 4: {
      const int64_t mantissa = FMantissa;
      const float step = FStep;
      Store<4>(Count, Ring, At, [mantissa, step](const uint8_t* p) {
        const auto value = static_cast<int32_t>(uint32_t{p[0]} | uint32_t{p[1]} << 8 |
                                                uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
        return static_cast<float>(value * mantissa) * step;
      });
      break;
    }
    default:
      break;
  }
}

// ---- the ring ---------------------------------------------------------------------------------

int32_t TStreamRing::LengthFor(uint32_t Block) noexcept {
  const uint64_t two_blocks = uint64_t{2} * Block;
  return static_cast<int32_t>(std::clamp<uint64_t>(two_blocks, kMinimumLength, kMaximumLength));
}

int32_t TStreamRing::Position(int32_t Counter) const noexcept {
  const int32_t length = FLength.load(std::memory_order_relaxed);
  return Counter >= length ? Counter - length : Counter;
}

int32_t TStreamRing::Queued(int32_t Write, int32_t Read, int32_t Length) noexcept {
  const int32_t queued = Write - Read;
  return queued < 0 ? queued + 2 * Length : queued;
}

int32_t TStreamRing::Advance(int32_t Counter, int32_t Frames, int32_t Length) noexcept {
  const int32_t next = Counter + Frames;
  return next >= 2 * Length ? next - 2 * Length : next;
}

bool TStreamRing::Enter() const noexcept {
  if ((FGate.fetch_add(1, std::memory_order_acquire) & kClosed) == 0) return true;
  FGate.fetch_sub(1, std::memory_order_release);
  return false;
}

void TStreamRing::Leave() const noexcept {
  FGate.fetch_sub(1, std::memory_order_release);
}

void TStreamRing::Close() noexcept {
  // Another resize (the player's Open and the host's buffer creation run on different
  // threads) finishes first.
  while ((FGate.fetch_or(kClosed, std::memory_order_acq_rel) & kClosed) != 0)
    std::this_thread::yield();
  while ((FGate.load(std::memory_order_acquire) & ~kClosed) != 0) std::this_thread::yield();
}

void TStreamRing::Open() noexcept {
  FGate.fetch_and(~kClosed, std::memory_order_release);
}

int32_t TStreamRing::QueuedNow() const noexcept {
  const int32_t length = FLength.load(std::memory_order_relaxed);
  if (length < 1) return 0;
  return Queued(FWrite.load(std::memory_order_relaxed), FRead.load(std::memory_order_relaxed),
                length);
}

void TStreamRing::Resize(size_t Channels, uint32_t Block) {
  Close();
  try {
    Relayout(std::max(Channels, kMinimumChannels), std::max(LengthFor(Block), QueuedNow()));
  } catch (...) {
    Open();
    throw;
  }
  Open();
}

void TStreamRing::Restart(size_t Channels, uint32_t Block) {
  Close();
  try {
    const size_t channels = std::max(Channels, kMinimumChannels);
    const int32_t length = LengthFor(Block);
    if (length != FLength.load(std::memory_order_relaxed) || channels != FBuffer.ChannelCount())
      FBuffer = TSingleChannelArrays(channels, static_cast<size_t>(length));
    else
      FBuffer.Clear();
    FLength.store(length, std::memory_order_relaxed);
    FRead.store(0, std::memory_order_relaxed);
    FWrite.store(length, std::memory_order_relaxed);
  } catch (...) {
    Open();
    throw;
  }
  Open();
}

void TStreamRing::Drop() noexcept {
  Close();
  // The reader clears what it takes: silence everywhere but in the queue.
  FBuffer.Clear();
  FWrite.store(FRead.load(std::memory_order_relaxed), std::memory_order_relaxed);
  Open();
}

void TStreamRing::FitBlock(uint32_t Block) {
  GrowTo(LengthFor(Block));
}

void TStreamRing::GrowTo(int32_t Length) {
  Close();
  try {
    const int32_t length = FLength.load(std::memory_order_relaxed);
    if (length > 0) Relayout(FBuffer.ChannelCount(), std::clamp(Length, length, kMaximumLength));
  } catch (...) {
    Open();
    throw;
  }
  Open();
}

// Behind the closed gate: neither side runs, the counters and samples are this thread's.
void TStreamRing::Relayout(size_t Channels, int32_t Length) {
  const int32_t length = FLength.load(std::memory_order_relaxed);
  if (Length == length) {
    FBuffer.SetChannelCount(Channels);
    return;
  }
  // The queued frames move to the start of the new ring, oldest first.
  const int32_t queued = QueuedNow();
  TSingleChannelArrays resized(Channels, static_cast<size_t>(Length));
  const auto at = static_cast<size_t>(ReadPos());
  const size_t first = std::min(static_cast<size_t>(queued), static_cast<size_t>(length) - at);
  const size_t second = static_cast<size_t>(queued) - first;
  for (size_t ch = 0; ch < std::min(Channels, FBuffer.ChannelCount()); ++ch) {
    std::copy_n(FBuffer[ch] + at, first, resized[ch]);
    std::copy_n(FBuffer[ch], second, resized[ch] + first);
  }
  FBuffer = std::move(resized);
  FLength.store(Length, std::memory_order_relaxed);
  FRead.store(0, std::memory_order_relaxed);
  // The first sizing starts full of silence: the write counter a lap ahead.
  FWrite.store(length > 0 ? queued : Length, std::memory_order_relaxed);
}

size_t TStreamRing::Write(TFrameSource& Source) noexcept {
  // The writer is never the audio thread: it waits for a resize instead of losing frames.
  while (!Enter()) std::this_thread::yield();
  const int32_t length = FLength.load(std::memory_order_relaxed);
  const size_t channels = Source.Channels();
  if (length < 1 || channels < 1 || FBuffer.ChannelCount() < channels) {
    Leave();
    return 0;
  }
  const int32_t write = FWrite.load(std::memory_order_relaxed);
  // Pairs with the block read's release: the frames it took are free to be overwritten.
  const int32_t read = FRead.load(std::memory_order_acquire);
  const size_t free = static_cast<size_t>(length - Queued(write, read, length));
  const size_t count = std::min(Source.Frames(), free);
  if (count > 0) {
    const auto at = static_cast<size_t>(Position(write));
    const size_t first = std::min(count, static_cast<size_t>(length) - at);
    Source.Produce(first, FBuffer, at);
    if (count > first) Source.Produce(count - first, FBuffer, 0);
    // Publishes the stored frames to the block read.
    FWrite.store(Advance(write, static_cast<int32_t>(count), length), std::memory_order_release);
  }
  Leave();
  return count;
}

int32_t TStreamRing::FreeFrames() const noexcept {
  if (!Enter()) return 0;
  const int32_t length = FLength.load(std::memory_order_relaxed);
  int32_t free = 0;
  if (length > 0) {
    const int32_t write = FWrite.load(std::memory_order_acquire);
    const int32_t read = FRead.load(std::memory_order_acquire);
    free = length - Queued(write, read, length);
  }
  Leave();
  return free;
}

TRingRead TStreamRing::ReadBlock(uint32_t Frames, TSingleChannelArrays& Inputs) noexcept {
  const size_t wanted = std::min<size_t>(Frames, Inputs.SampleCount());
  TRingRead result;
  if (!Enter()) {
    for (size_t ch = 0; ch < Inputs.ChannelCount(); ++ch) std::fill_n(Inputs[ch], wanted, 0.0f);
    return result;
  }
  result.GateOpen = true;
  result.Channels = FBuffer.ChannelCount();
  const int32_t length = FLength.load(std::memory_order_relaxed);
  if (result.Channels == 0 || length < 1 || wanted == 0) {
    Leave();
    return result;
  }
  const int32_t read = FRead.load(std::memory_order_relaxed);
  // Pairs with Write's release: the frames published so far are visible here, and no other.
  const int32_t write = FWrite.load(std::memory_order_acquire);
  const size_t taken = std::min(wanted, static_cast<size_t>(Queued(write, read, length)));
  const auto at = static_cast<size_t>(Position(read));
  const size_t first = std::min(taken, static_cast<size_t>(length) - at);
  const size_t second = taken - first;
  const size_t copied = std::min(Inputs.ChannelCount(), result.Channels);
  for (size_t ch = 0; ch < copied; ++ch) {
    std::copy_n(FBuffer[ch] + at, first, Inputs[ch]);
    std::copy_n(FBuffer[ch], second, Inputs[ch] + first);
    std::fill_n(Inputs[ch] + taken, wanted - taken, 0.0f);
  }
  for (size_t ch = 0; ch < result.Channels; ++ch) {
    std::fill_n(FBuffer[ch] + at, first, 0.0f);
    std::fill_n(FBuffer[ch], second, 0.0f);
  }
  FRead.store(Advance(read, static_cast<int32_t>(taken), length), std::memory_order_release);
  Leave();
  result.Taken = taken;
  return result;
}
