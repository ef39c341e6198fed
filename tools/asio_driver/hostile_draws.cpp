#include "tools/asio_driver/hostile_draws.h"

#include <cstddef>
#include <limits>

namespace asio_test {
namespace {

template <typename T, size_t N>
T Pick(HostileDraws& draws, const T (&values)[N]) {
  return values[draws.Below(N)];
}

}  // namespace

uint64_t HostileDraws::Next() noexcept {
  // splitmix64 over (seed, draw number): every draw independent of the thread that makes it.
  uint64_t z = (uint64_t{seed_} << 32) +
               counter_.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

uint32_t HostileDraws::Below(uint32_t n) noexcept {
  return n == 0 ? 0 : static_cast<uint32_t>(Next() % n);
}

int32_t HostileDraws::ChannelCount() noexcept {
  static constexpr int32_t kHostile[] = {0,     -1,     std::numeric_limits<int32_t>::min(), 4097,
                                         65543, 100000, std::numeric_limits<int32_t>::max()};
  if (Chance(2)) return static_cast<int32_t>(Below(9));
  return Pick(*this, kHostile);
}

int32_t HostileDraws::BufferSize() noexcept {
  static constexpr int32_t kHostile[] = {0,
                                         -1,
                                         1,
                                         3,
                                         64,
                                         256,
                                         4096,
                                         65530,
                                         65531,
                                         70000,
                                         std::numeric_limits<int32_t>::max(),
                                         std::numeric_limits<int32_t>::min()};
  if (Chance(3)) return static_cast<int32_t>(1 + Below(1024));
  return Pick(*this, kHostile);
}

ASIOSampleType HostileDraws::SampleType() noexcept {
  static constexpr ASIOSampleType kHostile[] = {
      -1, 5, 7, 12, 21, 32, 64, 1000, std::numeric_limits<int32_t>::min()};
  static constexpr ASIOSampleType kConverted[] = {0,  1,  2,  3,  4,  8,  9,  10, 11,
                                                  16, 17, 18, 19, 20, 24, 25, 26, 27};
  return Chance(2) ? Pick(*this, kHostile) : Pick(*this, kConverted);
}

int32_t HostileDraws::Selector() noexcept {
  static constexpr int32_t kActed[] = {kAsioResetRequest, kAsioBufferSizeChange,
                                       kAsioLatenciesChanged};
  static constexpr int32_t kOther[] = {0,
                                       kAsioSelectorSupported,
                                       kAsioEngineVersion,
                                       kAsioResyncRequest,
                                       kAsioSupportsTimeInfo,
                                       kAsioSupportsTimeCode,
                                       kAsioMMCCommand,
                                       10,
                                       13,
                                       -1,
                                       std::numeric_limits<int32_t>::max()};
  return Chance(2) ? Pick(*this, kActed) : Pick(*this, kOther);
}

double HostileDraws::SampleRate() noexcept {
  static constexpr double kRates[] = {44100.0,
                                      48000.0,
                                      96000.0,
                                      0.0,
                                      -44100.0,
                                      1e300,
                                      std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity()};
  return Pick(*this, kRates);
}

}  // namespace asio_test
