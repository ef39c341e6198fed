#pragma once

// One side's end of a channel (bridge_layout.h): posting the message in the slot, waiting for
// the next one, and an exchange that serves the other side's nested requests while it waits
// for its reply. Posting and spinning allocate nothing, take no lock and make no system
// call; a post makes one only when the other side has gone to sleep on its signal.
#include <cstdint>
#include <limits>
#include <thread>

#include "platform/interprocess.h"
#include "platform/system.h"
#include "vst_bridge/bridge_layout.h"

namespace vst_bridge {

// Time in the counter's ticks (platform::PerformanceCounter).
int64_t Now() noexcept;
int64_t MicrosecondsToTicks(int64_t microseconds) noexcept;
int64_t TicksToMicroseconds(int64_t ticks) noexcept;
constexpr int64_t kNoDeadline = std::numeric_limits<int64_t>::max();

// How a side waits for a message: spinning first, then sleeping on its signal in slices,
// asking between slices (and now and then while spinning) whether to give up.
struct TWaitPolicy {
  int64_t spin_ticks = 0;
  int64_t deadline = kNoDeadline;  // absolute, in ticks
  uint32_t slice_ms = 10;          // 0: never sleeps, spins until the deadline
  bool yield_while_spinning = false;
  // What the waiting thread's windows get while it sleeps.
  platform::InterprocessSignal::Messages messages = platform::InterprocessSignal::Messages::Ignored;
};

enum class TWaitResult { Arrived, TimedOut, Abandoned };

class TChannelEnd {
 public:
  TChannelEnd(TChannelArea* area, uint8_t* data, size_t capacity, TSide side,
              platform::InterprocessSignal* own, platform::InterprocessSignal* peer) noexcept
      : area_(area), data_(data), capacity_(capacity), side_(side), own_(own), peer_(peer) {}

  TMessage& Message() const noexcept { return area_->message; }
  uint8_t* Data() const noexcept { return data_; }
  size_t Capacity() const noexcept { return capacity_; }

  // Hands the message to the other side.
  void Post() noexcept {
    TMailbox& peer = area_->box[side_ == kProxySide ? kHelperSide : kProxySide];
    peer.posted.fetch_add(1, std::memory_order_seq_cst);
    if (peer.sleeping.exchange(0, std::memory_order_seq_cst) != 0) {
      peer.woken.fetch_add(1, std::memory_order_relaxed);
      peer_->Post();
    }
  }

  // How often this side's posts had to wake the other through the system.
  uint32_t PeerWakeUps() const noexcept {
    return area_->box[side_ == kProxySide ? kHelperSide : kProxySide].woken.load(
        std::memory_order_relaxed);
  }

  // Whether a message has come for this side; takes it when so.
  bool Take() noexcept {
    const uint32_t posted = area_->box[side_].posted.load(std::memory_order_acquire);
    if (posted == taken_) return false;
    taken_ = posted;
    return true;
  }

  template <class Abandon>
  TWaitResult Wait(const TWaitPolicy& policy, Abandon&& abandon) noexcept;

 private:
  TChannelArea* area_;
  uint8_t* data_;
  size_t capacity_;
  TSide side_;
  platform::InterprocessSignal* own_;
  platform::InterprocessSignal* peer_;
  uint32_t taken_ = 0;
};

template <class Abandon>
TWaitResult TChannelEnd::Wait(const TWaitPolicy& policy, Abandon&& abandon) noexcept {
  const int64_t start = Now();
  const int64_t spin_end =
      policy.slice_ms == 0 ? policy.deadline : std::min(policy.deadline, start + policy.spin_ticks);
  for (uint32_t round = 1;; ++round) {
    if (Take()) return TWaitResult::Arrived;
    if (round % 64 == 0) {
      const int64_t now = Now();
      if (now >= policy.deadline) return TWaitResult::TimedOut;
      if (now >= spin_end) break;
      if (abandon()) return TWaitResult::Abandoned;
      if (policy.yield_while_spinning && round % 1024 == 0) std::this_thread::yield();
    }
    __builtin_ia32_pause();
  }
  std::atomic<uint32_t>& sleeping = area_->box[side_].sleeping;
  for (;;) {
    sleeping.store(1, std::memory_order_seq_cst);
    if (Take()) {
      sleeping.store(0, std::memory_order_relaxed);
      return TWaitResult::Arrived;
    }
    // No slice beyond the deadline: a wait that ends just before a block is due must not
    // sleep through it.
    const int64_t left_ms = TicksToMicroseconds(policy.deadline - Now()) / 1000;
    if (left_ms <= 0) {
      // Less than the system's sleep can measure: the rest is spun.
      sleeping.store(0, std::memory_order_relaxed);
      while (Now() < policy.deadline)
        if (Take()) return TWaitResult::Arrived;
      return Take() ? TWaitResult::Arrived : TWaitResult::TimedOut;
    }
    own_->Wait(static_cast<uint32_t>(std::min<int64_t>(policy.slice_ms, left_ms)), policy.messages);
    if (Take()) return TWaitResult::Arrived;
    if (Now() >= policy.deadline) return TWaitResult::TimedOut;
    if (abandon()) return TWaitResult::Abandoned;
  }
}

// Serves a request of the other side that came while this side waits for its reply: reads
// the message and its data, calls what it asks for, leaves the reply (kind kReply) in the
// slot. The exchange posts it.
class TRequestServer {
 public:
  virtual void Serve(TChannelEnd& channel) noexcept = 0;

 protected:
  ~TRequestServer() = default;
};

// Waits for the reply to a message posted already, serving the other side's requests that
// come first.
template <class Abandon>
TWaitResult AwaitReply(TChannelEnd& channel, TRequestServer& server, const TWaitPolicy& policy,
                       Abandon&& abandon) noexcept {
  for (;;) {
    const TWaitResult result = channel.Wait(policy, abandon);
    if (result != TWaitResult::Arrived) return result;
    if (channel.Message().kind == kReply) return TWaitResult::Arrived;
    server.Serve(channel);
    channel.Post();
  }
}

// Posts the message in the slot and waits for its reply.
template <class Abandon>
TWaitResult Exchange(TChannelEnd& channel, TRequestServer& server, const TWaitPolicy& policy,
                     Abandon&& abandon) noexcept {
  channel.Post();
  return AwaitReply(channel, server, policy, abandon);
}

}  // namespace vst_bridge
