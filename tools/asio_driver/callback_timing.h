#pragma once

// How long the host's buffer switch callbacks take and how many end after their deadline,
// kept by the test driver per class id from one start to the next. Recording allocates
// nothing; the histogram is allocated when recording starts.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/asio_driver/test_driver_exports.h"

namespace asio_test {

// The duration (whole microseconds) that at least `parts_per_million` of the recorded
// callbacks do not exceed, by nearest rank. `bins[i]` counts callbacks of i to i+1 µs; the
// last bin also holds all longer ones, for which `longest_us` (the exact longest) is
// answered. 0 when nothing is recorded.
int64_t PercentileMicroseconds(const std::vector<uint64_t>& bins, int64_t longest_us,
                               uint32_t parts_per_million);

class CallbackTiming {
 public:
  // 1 µs bins up to 100 ms, beyond the longest block period a driver offers.
  static constexpr size_t kBins = 100000;

  // Blocks this near a start count as the start's (all_late_at_starts): a host that has just
  // reopened its driver may take longer over them.
  static constexpr int64_t kStartBlocks = 4;
  // Forgets what was recorded since the last start, but not the totals of all starts; the
  // block period is the time a callback has.
  void Start(int64_t period_ns);
  // One callback of `duration_ns`; `late` when it ended after its deadline.
  void Record(int64_t duration_ns, bool late);
  AsioTestDriverTiming Summary() const;

 private:
  std::vector<uint64_t> bins_;
  int64_t blocks_ = 0;
  int64_t late_ = 0;
  int64_t overlong_ = 0;
  int64_t longest_ns_ = 0;
  int64_t period_ns_ = 0;
  int64_t starts_ = 0;
  int64_t all_blocks_ = 0;
  int64_t all_late_ = 0;
  int64_t all_overlong_ = 0;
  int64_t all_late_at_starts_ = 0;
};

}  // namespace asio_test
