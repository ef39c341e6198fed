#include "tools/asio_driver/callback_timing.h"

#include <algorithm>

namespace asio_test {

int64_t PercentileMicroseconds(const std::vector<uint64_t>& bins, int64_t longest_us,
                               uint32_t parts_per_million) {
  uint64_t count = 0;
  for (uint64_t bin : bins) count += bin;
  if (count == 0) return 0;
  // Nearest rank: the fewest callbacks that make up the share of all, at least one.
  const uint64_t rank = std::max<uint64_t>(
      1, (count * std::min<uint32_t>(parts_per_million, 1000000) + 999999) / 1000000);
  uint64_t seen = 0;
  for (size_t i = 0; i + 1 < bins.size(); ++i) {
    seen += bins[i];
    if (seen >= rank) return std::min(static_cast<int64_t>(i), longest_us);
  }
  return longest_us;
}

void CallbackTiming::Start(int64_t period_ns) {
  bins_.assign(kBins, 0);
  blocks_ = 0;
  late_ = 0;
  overlong_ = 0;
  longest_ns_ = 0;
  period_ns_ = period_ns;
  ++starts_;
}

void CallbackTiming::Record(int64_t duration_ns, bool late) {
  if (bins_.empty()) return;  // not started
  duration_ns = std::max<int64_t>(duration_ns, 0);
  const auto bin = static_cast<size_t>(duration_ns / 1000);
  ++bins_[std::min(bin, bins_.size() - 1)];
  const bool overlong = duration_ns > period_ns_;
  ++blocks_;
  ++all_blocks_;
  if (late) {
    ++late_;
    ++all_late_;
    if (blocks_ <= kStartBlocks) ++all_late_at_starts_;
  }
  if (overlong) {
    ++overlong_;
    ++all_overlong_;
  }
  longest_ns_ = std::max(longest_ns_, duration_ns);
}

AsioTestDriverTiming CallbackTiming::Summary() const {
  AsioTestDriverTiming summary{};
  summary.blocks = blocks_;
  summary.late = late_;
  summary.overlong = overlong_;
  summary.longest_ns = longest_ns_;
  summary.p999_ns = PercentileMicroseconds(bins_, longest_ns_ / 1000, 999000) * 1000;
  summary.period_ns = period_ns_;
  summary.starts = starts_;
  summary.all_blocks = all_blocks_;
  summary.all_late = all_late_;
  summary.all_overlong = all_overlong_;
  summary.all_late_at_starts = all_late_at_starts_;
  return summary;
}

}  // namespace asio_test
