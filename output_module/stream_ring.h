#pragma once

// The stream ring between the player's writes and the driver's blocks: one writer (the
// player's thread that calls Write), one reader (the audio callback), no lock. Resizing
// happens on any thread but the audio thread, behind a gate that both sides pass in one
// atomic step: the reader finds it closed and reads silence, the writer waits for it.
//
//   counters run over two laps, 0 .. 2L-1; a position is a counter mod L
//
//      0                 R                      W                  L
//      |.................|######################|..................|
//                        ^ read: the next frame  ^ write: the next frame
//                          the reader takes        the writer stores
//
//   #  queued: written and published, not yet read = (W - R) mod 2L, 0 .. L
//   .  free: L - queued, what CanWrite answers; the writer's alone until it publishes W
//
// Positions alone cannot tell a full ring from an empty one: both have W and R on the same
// frame. The counters can: equal counters mean empty, counters a lap apart (equal positions)
// mean full. The ring starts full of silence: W = L, R = 0, so the player's first frames are
// heard one ring length later and CanWrite answers 0 until the reader has taken some.
//
// The reader takes only what the writer has published (it acquires W before it reads). On a
// shortfall it takes every queued frame, the rest of its block is silence, and R stops on W:
// the ring is empty and wholly free, and what the writer stores next is the next block's
// start, not something a lap away. Whatever the reader took is cleared behind it, so ring
// channels the current stream does not write (an earlier stream had more) stay silent.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/channel_arrays.h"

// Frames on their way into the ring: the player's bytes decoded into float samples. The
// ring asks for them in order, in at most two runs (its end wraps), and may take fewer than
// there are.
class TFrameSource {
 public:
  virtual size_t Channels() const noexcept = 0;
  virtual size_t Frames() const noexcept = 0;
  // The next `Count` frames into channels 0 .. Channels() - 1 of `Ring`, from sample `At`.
  virtual void Produce(size_t Count, TSingleChannelArrays& Ring, size_t At) noexcept = 0;

 protected:
  ~TFrameSource() = default;
};

// Interleaved little-endian integer PCM as the player sends it: 8 bits a sample (unsigned,
// offset 128), 16, 24 (packed, 3 bytes) or 32 (signed). Each sample becomes its value scaled
// to +-1 (divided by 2^(bits - 1)) times the volume, rounded once to float. Whole frames
// only: a partial frame at the end is left out.
class TPcmFrames final : public TFrameSource {
 public:
  // The bytes a sample of `Bits` bits takes: 1 .. 4; 0 for a depth that is not read.
  static size_t SampleBytes(int32_t Bits) noexcept;

  // `Bits` is one that SampleBytes takes; a source of another depth has no frames.
  TPcmFrames(const void* Bytes, size_t Length, size_t Channels, int32_t Bits,
             float Volume) noexcept;
  size_t Channels() const noexcept override { return FChannels; }
  size_t Frames() const noexcept override { return FFrames; }
  void Produce(size_t Count, TSingleChannelArrays& Ring, size_t At) noexcept override;

 private:
  // Stores `Count` frames from sample `At` on; `sample` decodes and scales the sample at a
  // pointer. The width is fixed for each loop: nothing is decided per sample.
  template <size_t Width, typename Sample>
  void Store(size_t Count, TSingleChannelArrays& Ring, size_t At, Sample sample) noexcept;

  const uint8_t* FNext;
  size_t FChannels;
  size_t FSampleBytes;
  size_t FFrames;
  // Up to 24 bits: volume / 2^(bits - 1); a sample times it is exact in double (at most 24
  // bits times the volume's 24), so the float conversion is the only rounding.
  double FScale;
  // 32 bits: a sample times the volume needs up to 55 bits, more than a double keeps, and
  // rounding twice may miss the nearest float. The volume is FMantissa x 2^k instead, the
  // product exact in 64-bit integers, rounded once to float and scaled by FStep =
  // 2^(k - 31), which is exact.
  int64_t FMantissa;
  float FStep;
};

// What one block read did.
struct TRingRead {
  size_t Taken = 0;       // frames taken from the writer; the rest of the block is silence
  size_t Channels = 0;    // ring channels (0 while there is no ring or the gate is closed)
  bool GateOpen = false;  // false: the ring was being resized, the inputs got silence
};

class TStreamRing {
 public:
  static constexpr int32_t kMinimumLength = 8192;
  static constexpr size_t kMinimumChannels = 8;
  // Keeps both laps of the counters inside 32 bits.
  static constexpr int32_t kMaximumLength = 1 << 29;

  // The length for a driver block: at least kMinimumLength and two blocks, so that the
  // player can write while the driver reads.
  static int32_t LengthFor(uint32_t Block) noexcept;

  // Sizes the ring for a stream of `Channels` channels (at least kMinimumChannels ring
  // channels) and a driver block of `Block` frames (the stream's open). The first sizing
  // starts the ring full of silence. A later one keeps the queued frames in order (a ring of
  // the same length keeps its positions too) and never gets shorter than they are. Not on
  // the audio thread: it closes the gate, waits for a read or write in progress and may
  // allocate. May throw std::bad_alloc; the ring is then as it was.
  void Resize(size_t Channels, uint32_t Block);
  // Sizes the ring as Resize does for a stream that starts afresh: whatever was queued goes,
  // and the ring starts full of silence, so that the stream's first frames are heard one
  // ring length after the driver starts and the player has that long to fill it.
  void Restart(size_t Channels, uint32_t Block);
  // Drops the queued frames: the ring is empty and wholly free, and the next frame written
  // is the next one read. Not on the audio thread (it waits for a read in progress).
  void Drop() noexcept;
  // The same for a new driver block while a stream plays, keeping the channels; the ring
  // only grows, so that what FreeFrames answered stays free. Nothing while there is no ring.
  void FitBlock(uint32_t Block);
  // The same for a ring of at least `Length` frames (a stream converted to a higher rate
  // needs more).
  void GrowTo(int32_t Length);

  // Stores as many of `Source`'s frames as are free and answers how many: none without a
  // ring, with fewer ring channels than the source has, or without a free frame. Waits for
  // a resize in progress. The writer's thread only.
  size_t Write(TFrameSource& Source) noexcept;
  // Free frames, the answer to CanWrite; 0 while a resize is in progress.
  int32_t FreeFrames() const noexcept;
  // One block of `Frames` frames into the first samples of the first channels of `Inputs`
  // that both have; inputs beyond the ring's channels keep their contents. Audio thread only.
  TRingRead ReadBlock(uint32_t Frames, TSingleChannelArrays& Inputs) noexcept;

  int32_t Length() const noexcept { return FLength.load(std::memory_order_relaxed); }
  // Frames written and not yet read, silence the ring started with included; any thread.
  int32_t QueuedFrames() const noexcept { return QueuedNow(); }
  // Positions in the ring, 0 .. Length() - 1.
  int32_t WritePos() const noexcept { return Position(FWrite.load(std::memory_order_relaxed)); }
  int32_t ReadPos() const noexcept { return Position(FRead.load(std::memory_order_relaxed)); }
  // The samples; while neither side nor a resize runs.
  const TSingleChannelArrays& Buffer() const noexcept { return FBuffer; }

 private:
  int32_t Position(int32_t Counter) const noexcept;
  // Queued frames for counters of a ring of `Length` frames.
  static int32_t Queued(int32_t Write, int32_t Read, int32_t Length) noexcept;
  static int32_t Advance(int32_t Counter, int32_t Frames, int32_t Length) noexcept;
  int32_t QueuedNow() const noexcept;
  void Relayout(size_t Channels, int32_t Length);

  // The gate: the reader and the writer enter and leave with one atomic step each; a resize
  // sets the closed bit (one resize at a time), waits until neither is inside, and clears it.
  bool Enter() const noexcept;
  void Leave() const noexcept;
  void Close() noexcept;
  void Open() noexcept;

  TSingleChannelArrays FBuffer;
  std::atomic<int32_t> FLength{0};
  // Each counter has one writer and is published with release: the samples behind it
  // travel with it.
  std::atomic<int32_t> FWrite{0};
  std::atomic<int32_t> FRead{0};
  static constexpr int32_t kClosed = 0x40000000;
  mutable std::atomic<int32_t> FGate{0};
};
