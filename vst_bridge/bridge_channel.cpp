#include "vst_bridge/bridge_channel.h"

namespace vst_bridge {
namespace {

int64_t Frequency() noexcept {
  static const int64_t frequency = platform::PerformanceFrequency();
  return frequency;
}

}  // namespace

int64_t Now() noexcept {
  return platform::PerformanceCounter();
}

int64_t MicrosecondsToTicks(int64_t microseconds) noexcept {
  const int64_t frequency = Frequency();
  return microseconds / 1000000 * frequency + microseconds % 1000000 * frequency / 1000000;
}

int64_t TicksToMicroseconds(int64_t ticks) noexcept {
  const int64_t frequency = Frequency();
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

}  // namespace vst_bridge
