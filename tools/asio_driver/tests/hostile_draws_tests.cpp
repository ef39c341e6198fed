#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "tools/asio_driver/hostile_draws.h"

namespace {

using asio_test::HostileDraws;

TEST(HostileDraws, TheSameSeedDrawsTheSameAndAnotherSeedOtherwise) {
  HostileDraws first(7), again(7), other(8);
  std::vector<uint64_t> a, b, c;
  for (int i = 0; i < 64; ++i) {
    a.push_back(first.Next());
    b.push_back(again.Next());
    c.push_back(other.Next());
  }
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
}

// Every hostile value of each distribution turns up, and so do ordinary ones.
TEST(HostileDraws, EachDistributionReachesItsLimitsAndTheOrdinary) {
  HostileDraws draws(1);
  struct Seen {
    bool none = false, negative = false, past_limit = false, ordinary = false;
  } counts, sizes;
  std::set<ASIOSampleType> types;
  std::set<int32_t> selectors;
  for (int i = 0; i < 4000; ++i) {
    const int32_t count = draws.ChannelCount();
    counts.none |= count == 0;
    counts.negative |= count < 0;
    counts.past_limit |= count > 65536;
    counts.ordinary |= count > 0 && count <= 8;
    const int32_t size = draws.BufferSize();
    sizes.none |= size == 0;
    sizes.negative |= size < 0;
    sizes.past_limit |= size > 65530;
    sizes.ordinary |= size > 0 && size <= 1024;
    types.insert(draws.SampleType());
    selectors.insert(draws.Selector());
  }
  for (const Seen& seen : {counts, sizes}) {
    EXPECT_TRUE(seen.none);
    EXPECT_TRUE(seen.negative);
    EXPECT_TRUE(seen.past_limit);
    EXPECT_TRUE(seen.ordinary);
  }
  EXPECT_TRUE(types.count(18) && types.count(32) && types.count(-1)) << "converted and not";
  EXPECT_TRUE(selectors.count(kAsioResetRequest) && selectors.count(kAsioLatenciesChanged) &&
              selectors.count(-1));
}

// Draws from several threads at once never repeat a draw number: the counter is atomic.
TEST(HostileDraws, DrawsFromSeveralThreadsAreAllDistinct) {
  HostileDraws draws(3);
  std::vector<uint64_t> seen[4];
  std::vector<std::thread> threads;
  for (auto& values : seen)
    threads.emplace_back([&draws, &values] {
      for (int i = 0; i < 2000; ++i) values.push_back(draws.Next());
    });
  for (auto& thread : threads) thread.join();
  std::set<uint64_t> all;
  for (const auto& values : seen) all.insert(values.begin(), values.end());
  EXPECT_EQ(all.size(), 8000u);
}

}  // namespace
