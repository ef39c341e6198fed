#pragma once

// The level meters and the status line of the host window. The audio thread only measures:
// per effect output, the largest |sample| its driver channel carried in a block, kept as a
// running maximum in an atomic. The window's 40 ms timer takes those maxima, turns them into
// readings (peak level in dBFS, held peak, clip marker) and draws them.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/channel_arrays.h"
#include "platform/ui.h"

// The reading of one meter on a scale from kFloorDb to 0 dBFS.
class TLevelMeter {
 public:
  static constexpr float kFloorDb = -60.0f;
  // How long the held peak stays before it drops to the level.
  static constexpr double kHoldSeconds = 1.5;
  // How fast the level falls when the peaks get lower.
  static constexpr float kFallDbPerSecond = 20.0f;
  // A sample this large (before conversion to the driver's format) lights the clip marker.
  static constexpr float kFullScale = 1.0f;

  // The level of a peak (|sample|) in dBFS, within the scale: kFloorDb for silence and for
  // what is no number, 0 at and beyond full scale.
  static float PeakDb(float Peak) noexcept;
  // Where a level sits on the scale: 0 at kFloorDb, 1 at 0 dBFS.
  static float ScaleFraction(float Db) noexcept;

  // The largest |sample| since the last update, which was `Seconds` ago.
  void Update(float Peak, double Seconds) noexcept;
  float LevelDb() const noexcept { return FLevelDb; }
  float HoldDb() const noexcept { return FHoldDb; }
  // Lit from the first sample at full scale until the user clicks it.
  bool Clipped() const noexcept { return FClipped; }
  void ClearClip() noexcept { FClipped = false; }

 private:
  float FLevelDb = kFloorDb;
  float FHoldDb = kFloorDb;
  double FHoldAge = 0.0;
  bool FClipped = false;
};

// The largest |sample| of `Count` samples; samples that are no number are left out.
float BlockPeak(const float* Samples, size_t Count) noexcept;

// Per effect output (slot 0 is output 1), the largest peak published since it was last
// taken. Publish on the audio thread, Take and Clear on the window's; lock-free.
class TPeakTaps {
 public:
  static constexpr size_t kSlots = 8;
  void Publish(size_t Slot, float Peak) noexcept;
  // The peaks of a driver block: output i + 1 went to channel `Targets[i]` of `Outputs`
  // (-1: to none), for `Frames` frames. A channel fed by several outputs is measured once.
  void PublishBlock(const TSingleChannelArrays& Outputs, const std::array<int32_t, kSlots>& Targets,
                    size_t Frames) noexcept;
  float Take(size_t Slot) noexcept;
  void Clear() noexcept;

 private:
  std::array<std::atomic<float>, kSlots> FPeaks{};
};

// A bar: a driver channel and the effect output heard on it.
struct TMeterChannel {
  int32_t Channel = 0;  // position among the driver's output channels
  int32_t Output = 0;   // 1 .. 8
  std::string Label;
  friend bool operator==(const TMeterChannel&, const TMeterChannel&) = default;
};

// One bar per driver channel that an output the effect has (1 .. `EffectOutputs`, at most 8)
// is routed to, in channel order, labelled "<channel's display text> ← <output>". Several
// outputs on one channel: the highest is heard there (the audio callback copies them in
// order). Positions the driver does not have are skipped.
std::vector<TMeterChannel> MeterChannels(const std::array<int32_t, 8>& Routing,
                                         int32_t EffectOutputs,
                                         const std::vector<std::string>& ChannelTexts);

// The bars' readings on the window's thread.
class TMeterStrip {
 public:
  // Takes another set of bars (the driver, the routing or the effect's outputs changed):
  // the readings and the peaks measured meanwhile start again. The same set changes nothing.
  void Follow(std::vector<TMeterChannel> Channels, TPeakTaps& Taps);
  // Takes each bar's peak from its output's slot; `Seconds` since the last update.
  void Update(TPeakTaps& Taps, double Seconds);
  void ClearClip(size_t Bar) noexcept;
  const std::vector<TMeterChannel>& Channels() const noexcept { return FChannels; }
  const std::vector<TLevelMeter>& Readings() const noexcept { return FReadings; }
  // What the level-meter control draws.
  std::vector<platform::MeterBar> Bars() const;
  // The scale's marks, every 10 dB.
  static std::vector<platform::MeterMark> Marks();

 private:
  std::vector<TMeterChannel> FChannels;
  std::vector<TLevelMeter> FReadings;
};

// What the status line tells.
struct TStatusFigures {
  std::string Driver;  // empty: none is open
  double DriverRate = 0.0;
  int32_t StreamRate = 0;  // 0: no stream opened yet
  uint32_t BlockFrames = 0;
  int32_t OutputLatencyFrames = 0;
  uint32_t Underruns = 0;
  uint32_t Faults = 0;
};

// "Driver · 44100 → 48000 Hz · block 256 frames (5.3 ms) · output latency 11.6 ms ·
// underruns 0 · faults 0"; the stream's rate only when it differs from the driver's.
std::string StatusLine(const TStatusFigures& Figures);
