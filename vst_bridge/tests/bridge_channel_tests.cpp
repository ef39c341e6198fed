// The channel between two threads of one process, over the same shared objects the two
// processes use: turns, nested requests, waking a side that sleeps, giving up.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/interprocess.h"
#include "vst_bridge/bridge_channel.h"

namespace {

using namespace vst_bridge;

std::string UniqueName(const char* what) {
  static int counter = 0;
  return std::string("partiloom-test-") + what + "-" +
         std::to_string(platform::CurrentProcessId()) + "-" + std::to_string(counter++);
}

// Both ends of one channel in shared memory, as the proxy and the helper see it.
struct TChannelPair {
  TChannelPair() {
    const std::string name = UniqueName("channel");
    shared = platform::SharedMemory::Create(name, 65536);
    opened = platform::SharedMemory::Open(name, 65536);
    proxy_signal = platform::InterprocessSignal::Create(name + "-p");
    helper_signal = platform::InterprocessSignal::Create(name + "-h");
    auto* area = new (shared->Data()) TChannelArea{};
    auto* data = static_cast<uint8_t*>(shared->Data()) + kChannelAreaBytes;
    // The helper's end reads through its own mapping of the same memory.
    auto* helper_area = static_cast<TChannelArea*>(opened->Data());
    auto* helper_data = static_cast<uint8_t*>(opened->Data()) + kChannelAreaBytes;
    proxy = std::make_unique<TChannelEnd>(area, data, 65536 - kChannelAreaBytes, kProxySide,
                                          proxy_signal.get(), helper_signal.get());
    helper = std::make_unique<TChannelEnd>(helper_area, helper_data, 65536 - kChannelAreaBytes,
                                           kHelperSide, helper_signal.get(), proxy_signal.get());
  }
  std::unique_ptr<platform::SharedMemory> shared, opened;
  std::unique_ptr<platform::InterprocessSignal> proxy_signal, helper_signal;
  std::unique_ptr<TChannelEnd> proxy, helper;
};

TWaitPolicy Policy(int64_t spin_us, uint32_t slice_ms, int64_t limit_us = -1) {
  TWaitPolicy policy;
  policy.spin_ticks = MicrosecondsToTicks(spin_us);
  policy.slice_ms = slice_ms;
  if (limit_us >= 0) policy.deadline = Now() + MicrosecondsToTicks(limit_us);
  return policy;
}

const auto kNever = [] { return false; };

// A request's answer is its value plus one; a request with index > 0 first asks the other
// side back with index - 1 and adds that answer: nesting to any depth.
class TCountingServer : public TRequestServer {
 public:
  explicit TCountingServer(TWaitPolicy policy) : policy_(policy) {}
  void Serve(TChannelEnd& channel) noexcept override {
    TMessage& message = channel.Message();
    const int32_t depth = message.index;
    const int64_t value = message.value;
    int64_t nested = 0;
    if (depth > 0) {
      message.kind = kHostCallback;
      message.index = depth - 1;
      message.value = value * 10;
      if (Exchange(channel, *this, policy_, kNever) == TWaitResult::Arrived)
        nested = channel.Message().result;
    }
    ++served;
    message.kind = kReply;
    message.result = value + 1 + nested;
  }
  std::atomic<int> served{0};

 private:
  TWaitPolicy policy_;
};

// One side serving in a loop until told to stop.
void ServeUntilStopped(TChannelEnd& end, TRequestServer& server, std::atomic<bool>& stop,
                       TWaitPolicy policy) {
  while (!stop.load()) {
    if (end.Wait(policy, [&] { return stop.load(); }) != TWaitResult::Arrived) continue;
    server.Serve(end);
    end.Post();
  }
}

TEST(BridgeChannel, NestedRequestsAreServedWhileWaitingWhetherSidesSpinOrSleep) {
  // (spin µs, sleep slice ms) for both sides: spinning only, sleeping at once, mixed.
  const struct {
    int64_t spin_us;
    uint32_t slice_ms;
  } kPolicies[] = {{1000000, 0}, {0, 5}, {20, 5}};
  for (const auto& p : kPolicies) {
    SCOPED_TRACE(p.spin_us);
    TChannelPair pair;
    const TWaitPolicy policy = Policy(p.spin_us, p.slice_ms == 0 ? 1 : p.slice_ms);
    TCountingServer helper_server(policy), proxy_server(policy);
    std::atomic<bool> stop{false};
    std::thread helper(
        [&] { ServeUntilStopped(*pair.helper, helper_server, stop, Policy(p.spin_us, 5)); });
    for (int32_t depth = 0; depth < 5; ++depth) {
      TMessage& message = pair.proxy->Message();
      message.kind = kDispatch;
      message.index = depth;
      message.value = 1;
      ASSERT_EQ(Exchange(*pair.proxy, proxy_server, policy, kNever), TWaitResult::Arrived);
      // 1 + 1, then 10 + 1 nested, 100 + 1 nested twice, ...
      int64_t expected = 0;
      for (int64_t level = 0, value = 1; level <= depth; ++level, value *= 10)
        expected += value + 1;
      EXPECT_EQ(message.result, expected) << depth;
    }
    stop = true;
    helper.join();
    EXPECT_EQ(helper_server.served + proxy_server.served, 15);
  }
}

TEST(BridgeChannel, ManyRoundTripsLoseNoWakeUp) {
  TChannelPair pair;
  TCountingServer helper_server(Policy(0, 5)), proxy_server(Policy(0, 5));
  std::atomic<bool> stop{false};
  // The helper sleeps after a short spin: every other exchange finds it asleep.
  std::thread helper([&] { ServeUntilStopped(*pair.helper, helper_server, stop, Policy(3, 50)); });
  for (int i = 0; i < 3000; ++i) {
    TMessage& message = pair.proxy->Message();
    message.kind = kDispatch;
    message.index = i % 2;
    message.value = i;
    // A lost wake-up would show as a timed-out exchange: 2 s is far beyond any round trip.
    ASSERT_EQ(Exchange(*pair.proxy, proxy_server, Policy(i % 3 == 0 ? 0 : 5, 5, 2000000), kNever),
              TWaitResult::Arrived)
        << i;
    ASSERT_EQ(message.result, i + 1 + (i % 2 ? i * 10 + 1 : 0)) << i;
  }
  stop = true;
  helper.join();
}

TEST(BridgeChannel, AWaitEndsAtItsDeadlineOrWhenAbandoned) {
  TChannelPair pair;
  // Spinning only, short sleeps, and sleeps longer than the whole wait: none overshoots it
  // by a slice (a helper that sleeps until just before a block is due must not miss it).
  for (const uint32_t slice_ms : {0u, 5u, 200u}) {
    SCOPED_TRACE(slice_ms);
    const int64_t start = Now();
    EXPECT_EQ(pair.proxy->Wait(Policy(100, slice_ms, 30000), kNever), TWaitResult::TimedOut);
    const int64_t waited_us = TicksToMicroseconds(Now() - start);
    EXPECT_GE(waited_us, 30000);
    EXPECT_LT(waited_us, 150000);
  }
  std::atomic<int> asked{0};
  EXPECT_EQ(pair.proxy->Wait(Policy(0, 1), [&] { return ++asked > 3; }), TWaitResult::Abandoned);
}

TEST(BridgeChannel, SharedMemoryAndSignalsReachEveryOpenerAndNamesAreUnique) {
  const std::string name = UniqueName("objects");
  auto created = platform::SharedMemory::Create(name, 4096);
  ASSERT_TRUE(created);
  std::string error;
  EXPECT_FALSE(platform::SharedMemory::Create(name, 4096, &error));
  EXPECT_FALSE(error.empty());
  auto opened = platform::SharedMemory::Open(name, 4096);
  ASSERT_TRUE(opened);
  std::strcpy(static_cast<char*>(created->Data()), "across");
  EXPECT_STREQ(static_cast<const char*>(opened->Data()), "across");
  EXPECT_FALSE(platform::SharedMemory::Open(UniqueName("missing"), 4096));
#if !defined(_WIN32)
  // The opener took the name away.
  EXPECT_FALSE(platform::SharedMemory::Open(name, 4096));
#endif

  // Windows keeps one space of names for every kind of object: a signal is named apart.
  const std::string signal_name = name + "-signal";
  auto signal = platform::InterprocessSignal::Create(signal_name);
  ASSERT_TRUE(signal);
  EXPECT_FALSE(platform::InterprocessSignal::Create(signal_name));
  auto other = platform::InterprocessSignal::Open(signal_name);
  ASSERT_TRUE(other);
#if !defined(_WIN32)
  EXPECT_FALSE(platform::InterprocessSignal::Open(signal_name));
#endif
  EXPECT_FALSE(other->Wait(1));
  std::thread poster([&] {
    platform::SleepMilliseconds(20);
    signal->Post();
  });
  EXPECT_TRUE(other->Wait(5000));
  poster.join();
}

}  // namespace
