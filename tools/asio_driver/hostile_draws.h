#pragma once

// The answers of the test driver's hostile mode, drawn from distributions that favour what
// breaks hosts: counts and sizes at and past every limit, sample types without converter,
// selectors outside the table. A counter-based generator: safe to draw from any thread, and
// the same seed gives the same sequence of draws.
#include <atomic>
#include <cstdint>

#include "asio_host/asio.h"

namespace asio_test {

class HostileDraws {
 public:
  explicit HostileDraws(uint32_t seed) noexcept : seed_(seed) {}

  uint64_t Next() noexcept;
  // Uniform in [0, n); 0 when n is 0.
  uint32_t Below(uint32_t n) noexcept;
  // True once in `one_in` draws on average.
  bool Chance(uint32_t one_in) noexcept { return Below(one_in) == 0; }

  // A channel count: mostly small, else none, negative, huge, or large enough that its
  // product with a buffer size no longer fits 32 bits.
  int32_t ChannelCount() noexcept;
  // A buffer size (minimum, maximum, preferred or granularity): ordinary, zero, negative,
  // odd, at and past the largest sizes a host takes.
  int32_t BufferSize() noexcept;
  // A sample type: one a host converts, or one it does not (unknown, negative, huge).
  ASIOSampleType SampleType() noexcept;
  // An asioMessage selector: the requests a host acts on, most often, and anything else.
  int32_t Selector() noexcept;
  // A sample rate as a driver might report it: ordinary, zero, negative, absurd.
  double SampleRate() noexcept;

 private:
  const uint32_t seed_;
  std::atomic<uint64_t> counter_{0};
};

}  // namespace asio_test
