#include "output_module/level_meters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

float TLevelMeter::PeakDb(float Peak) noexcept {
  const float magnitude = std::fabs(Peak);
  // Below the floor's amplitude (and NaN, which compares false) reads as the floor.
  if (!(magnitude > 0.001f)) return kFloorDb;
  if (magnitude >= kFullScale) return 0.0f;
  return std::max(kFloorDb, 20.0f * std::log10(magnitude));
}

float TLevelMeter::ScaleFraction(float Db) noexcept {
  if (!(Db > kFloorDb)) return 0.0f;
  return std::min(1.0f, (Db - kFloorDb) / -kFloorDb);
}

void TLevelMeter::Update(float Peak, double Seconds) noexcept {
  const double elapsed = Seconds > 0.0 ? Seconds : 0.0;
  if (std::fabs(Peak) >= kFullScale) FClipped = true;
  const float fallen = FLevelDb - static_cast<float>(kFallDbPerSecond * elapsed);
  FLevelDb = std::max({PeakDb(Peak), fallen, kFloorDb});
  FHoldAge += elapsed;
  if (FLevelDb >= FHoldDb || FHoldAge >= kHoldSeconds) {
    FHoldDb = FLevelDb;
    FHoldAge = 0.0;
  }
}

float BlockPeak(const float* Samples, size_t Count) noexcept {
  float peak = 0.0f;
  // std::max keeps `peak` when the other is NaN.
  for (size_t i = 0; i < Count; ++i) peak = std::max(peak, std::fabs(Samples[i]));
  return peak;
}

void TPeakTaps::Publish(size_t Slot, float Peak) noexcept {
  if (Slot >= kSlots) return;
  std::atomic<float>& slot = FPeaks[Slot];
  float previous = slot.load(std::memory_order_relaxed);
  while (Peak > previous &&
         !slot.compare_exchange_weak(previous, Peak, std::memory_order_relaxed)) {
  }
}

void TPeakTaps::PublishBlock(const TSingleChannelArrays& Outputs,
                             const std::array<int32_t, kSlots>& Targets, size_t Frames) noexcept {
  std::array<float, kSlots> peaks{};
  for (size_t i = 0; i < kSlots; ++i) {
    const int32_t channel = Targets[i];
    if (channel < 0 || static_cast<size_t>(channel) >= Outputs.ChannelCount()) continue;
    const auto* measured = std::find(Targets.begin(), Targets.begin() + i, channel);
    peaks[i] = measured != Targets.begin() + i
                   ? peaks[static_cast<size_t>(measured - Targets.begin())]
                   : BlockPeak(Outputs[static_cast<size_t>(channel)],
                               std::min(Frames, Outputs.SampleCount()));
    Publish(i, peaks[i]);
  }
}

float TPeakTaps::Take(size_t Slot) noexcept {
  return Slot < kSlots ? FPeaks[Slot].exchange(0.0f, std::memory_order_relaxed) : 0.0f;
}

void TPeakTaps::Clear() noexcept {
  for (size_t slot = 0; slot < kSlots; ++slot) Take(slot);
}

std::vector<TMeterChannel> MeterChannels(const std::array<int32_t, 8>& Routing,
                                         int32_t EffectOutputs,
                                         const std::vector<std::string>& ChannelTexts) {
  const int32_t outputs =
      std::clamp<int32_t>(EffectOutputs, 0, static_cast<int32_t>(Routing.size()));
  std::vector<TMeterChannel> channels;
  for (size_t channel = 0; channel < ChannelTexts.size(); ++channel) {
    int32_t heard = 0;
    for (int32_t output = 1; output <= outputs; ++output)
      if (Routing[static_cast<size_t>(output - 1)] == static_cast<int32_t>(channel)) heard = output;
    if (heard == 0) continue;
    channels.push_back({static_cast<int32_t>(channel), heard,
                        ChannelTexts[channel] + " \u2190 " + std::to_string(heard)});
  }
  return channels;
}

void TMeterStrip::Follow(std::vector<TMeterChannel> Channels, TPeakTaps& Taps) {
  if (Channels == FChannels) return;
  FChannels = std::move(Channels);
  FReadings.assign(FChannels.size(), TLevelMeter());
  Taps.Clear();
}

void TMeterStrip::Update(TPeakTaps& Taps, double Seconds) {
  std::array<float, TPeakTaps::kSlots> peaks{};
  for (size_t slot = 0; slot < peaks.size(); ++slot) peaks[slot] = Taps.Take(slot);
  for (size_t i = 0; i < FChannels.size(); ++i)
    FReadings[i].Update(peaks[static_cast<size_t>(FChannels[i].Output - 1)], Seconds);
}

void TMeterStrip::ClearClip(size_t Bar) noexcept {
  if (Bar < FReadings.size()) FReadings[Bar].ClearClip();
}

std::vector<platform::MeterBar> TMeterStrip::Bars() const {
  std::vector<platform::MeterBar> bars;
  for (size_t i = 0; i < FChannels.size(); ++i) {
    const TLevelMeter& reading = FReadings[i];
    bars.push_back({FChannels[i].Label, TLevelMeter::ScaleFraction(reading.LevelDb()),
                    TLevelMeter::ScaleFraction(reading.HoldDb()), reading.Clipped()});
  }
  return bars;
}

std::vector<platform::MeterMark> TMeterStrip::Marks() {
  std::vector<platform::MeterMark> marks;
  for (int db = static_cast<int>(TLevelMeter::kFloorDb); db <= 0; db += 10)
    marks.push_back({TLevelMeter::ScaleFraction(static_cast<float>(db)), std::to_string(db)});
  return marks;
}

namespace {

std::string Milliseconds(double frames, double rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", rate > 0.0 ? frames * 1000.0 / rate : 0.0);
  return text;
}

}  // namespace

std::string StatusLine(const TStatusFigures& Figures) {
  constexpr char kSeparator[] = " \u00b7 ";
  std::string line;
  if (Figures.Driver.empty()) {
    line = "No driver";
  } else {
    const auto rate = static_cast<int64_t>(std::llround(Figures.DriverRate));
    line = Figures.Driver + kSeparator;
    if (Figures.StreamRate > 0 && Figures.StreamRate != rate)
      line += std::to_string(Figures.StreamRate) + " \u2192 ";
    line += std::to_string(rate) + " Hz" + kSeparator + "block " +
            std::to_string(Figures.BlockFrames) + " frames (" +
            Milliseconds(Figures.BlockFrames, Figures.DriverRate) + ")" + kSeparator +
            "output latency " + Milliseconds(Figures.OutputLatencyFrames, Figures.DriverRate);
  }
  line += kSeparator + std::string("underruns ") + std::to_string(Figures.Underruns) + kSeparator +
          "faults " + std::to_string(Figures.Faults);
  return line;
}
