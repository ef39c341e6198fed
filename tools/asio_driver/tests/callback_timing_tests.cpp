#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tools/asio_driver/callback_timing.h"

namespace {

using asio_test::CallbackTiming;
using asio_test::PercentileMicroseconds;

// Callback times in whole microseconds, as (microseconds, how many).
using Samples = std::vector<std::pair<size_t, uint64_t>>;

std::vector<uint64_t> Histogram(const Samples& samples, size_t bins = CallbackTiming::kBins) {
  std::vector<uint64_t> histogram(bins, 0);
  for (const auto& [microseconds, count] : samples)
    histogram[std::min(microseconds, bins - 1)] += count;
  return histogram;
}

TEST(CallbackTimingPercentile, NearestRankOverTheHistogram) {
  Samples uniform;
  for (size_t us = 1; us <= 1000; ++us) uniform.push_back({us, 1});
  struct Case {
    std::string name;
    Samples samples;
    int64_t longest_us;
    uint32_t parts_per_million;
    int64_t expected;
  } cases[] = {
      {"nothing recorded", {}, 0, 999000, 0},
      {"one callback is every percentile", {{37, 1}}, 37, 999000, 37},
      {"one callback, the median", {{37, 1}}, 37, 500000, 37},
      {"uniform 1..1000: 99.9th is the 999th", uniform, 1000, 999000, 999},
      {"uniform 1..1000: the median", uniform, 1000, 500000, 500},
      {"uniform 1..1000: the 100th is the longest", uniform, 1000, 1000000, 1000},
      // 0.999 x 10000 is 9990 exactly: the 9990th callback, not the 9991st.
      {"ten slow in ten thousand stay above it", {{10, 9990}, {5000, 10}}, 5000, 999000, 10},
      {"eleven slow in ten thousand reach it", {{10, 9989}, {5000, 11}}, 5000, 999000, 5000},
      {"past the last bin: the exact longest", {{10, 999}, {250000, 1}}, 250123, 1000000, 250123},
      {"past the last bin below the rank", {{10, 9999}, {250000, 1}}, 250123, 999000, 10},
      {"a share above everything is the longest", {{3, 2}}, 3, 2000000, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PercentileMicroseconds(Histogram(c.samples), c.longest_us, c.parts_per_million),
              c.expected);
  }
}

TEST(CallbackTimingPercentile, NoBinsAnswerNothingAndASingleBinTheLongest) {
  EXPECT_EQ(PercentileMicroseconds({}, 0, 999000), 0);
  EXPECT_EQ(PercentileMicroseconds(Histogram({{4, 1}}, 1), 4, 999000), 4);
}

TEST(CallbackTiming, RecordsFromStartToStart) {
  CallbackTiming timing;
  timing.Record(5000, true);  // before any start: nothing to record into
  EXPECT_EQ(timing.Summary().blocks, 0);

  timing.Start(1451247);
  for (int i = 0; i < 998; ++i) timing.Record(20400, false);  // 20.4 us
  timing.Record(900000, false);
  timing.Record(150000000, true);  // 150 ms: past the histogram
  timing.Record(-3, false);        // a counter that went back counts as nothing
  AsioTestDriverTiming summary = timing.Summary();
  EXPECT_EQ(summary.blocks, 1001);
  EXPECT_EQ(summary.late, 1);
  EXPECT_EQ(summary.overlong, 1) << "only the 150 ms callback outlasts its 1.45 ms block";
  EXPECT_EQ(summary.longest_ns, 150000000);
  EXPECT_EQ(summary.p999_ns, 900000) << "the 1000th of 1001";
  EXPECT_EQ(summary.period_ns, 1451247);

  timing.Start(5804988);
  timing.Record(20400, false);
  summary = timing.Summary();
  EXPECT_EQ(summary.blocks, 1);
  EXPECT_EQ(summary.late, 0);
  EXPECT_EQ(summary.overlong, 0);
  EXPECT_EQ(summary.longest_ns, 20400);
  EXPECT_EQ(summary.p999_ns, 20000);
  EXPECT_EQ(summary.period_ns, 5804988);
  EXPECT_EQ(summary.starts, 2);
  EXPECT_EQ(summary.all_blocks, 1002);
  EXPECT_EQ(summary.all_late, 1);
  EXPECT_EQ(summary.all_overlong, 1);
  EXPECT_EQ(summary.all_late_at_starts, 0) << "the late one was the start's 1000th block";
}

// Late blocks near a start belong to the start; the totals run on over every start.
TEST(CallbackTiming, CountsLateBlocksNearAStartApart) {
  CallbackTiming timing;
  for (int start = 0; start < 3; ++start) {
    timing.Start(1000000);
    for (int64_t block = 1; block <= 10; ++block)
      timing.Record(block == CallbackTiming::kStartBlocks + start - 1 ? 2000000 : 1000,
                    block == CallbackTiming::kStartBlocks + start - 1);
  }
  const AsioTestDriverTiming summary = timing.Summary();
  EXPECT_EQ(summary.blocks, 10);
  EXPECT_EQ(summary.late, 1);
  EXPECT_EQ(summary.starts, 3);
  EXPECT_EQ(summary.all_blocks, 30);
  EXPECT_EQ(summary.all_late, 3);
  EXPECT_EQ(summary.all_overlong, 3);
  EXPECT_EQ(summary.all_late_at_starts, 2) << "blocks 3 and 4 of a start are its own, 5 is not";
}

}  // namespace
