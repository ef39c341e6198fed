#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/message_window.h"

namespace {

using namespace platform;

struct Received {
  std::thread::id thread;
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

struct Recorder {
  std::vector<Received> received;
  static void Handle(void* context, uint32_t message, uintptr_t wparam, intptr_t lparam) noexcept {
    static_cast<Recorder*>(context)->received.push_back(
        {std::this_thread::get_id(), message, wparam, lparam});
  }
};

TEST(MessageWindow, DeliversMessagesPostedFromOtherThreadsOnTheOwningThreadInOrder) {
  Recorder recorder;
  MessageWindow window(&Recorder::Handle, &recorder);
  EXPECT_NE(window.Handle(), nullptr);
  std::thread poster([&window] {
    EXPECT_TRUE(window.Post(kFirstUserMessage + 1652, 0, 0));
    EXPECT_TRUE(window.Post(kFirstUserMessage + 1653, 7, -9));
  });
  poster.join();
  EXPECT_TRUE(recorder.received.empty()) << "nothing arrives before the owner pumps";

  int handed = 0;
  for (int attempt = 0; attempt < 50 && recorder.received.size() < 2; ++attempt)
    handed += WaitAndPumpMessages(100);
  EXPECT_GE(handed, 2);
  ASSERT_EQ(recorder.received.size(), 2u);
  EXPECT_EQ(recorder.received[0].message, kFirstUserMessage + 1652);
  EXPECT_EQ(recorder.received[1].message, kFirstUserMessage + 1653);
  EXPECT_EQ(recorder.received[1].wparam, 7u);
  EXPECT_EQ(recorder.received[1].lparam, -9);
  for (const Received& r : recorder.received) EXPECT_EQ(r.thread, std::this_thread::get_id());
}

TEST(MessageWindow, RefusesSystemMessageNumbersAndDropsMessagesOfADestroyedWindow) {
  Recorder kept_recorder, gone_recorder;
  MessageWindow kept(&Recorder::Handle, &kept_recorder);
  EXPECT_FALSE(kept.Post(kFirstUserMessage - 1, 0, 0));
  {
    MessageWindow gone(&Recorder::Handle, &gone_recorder);
    EXPECT_TRUE(gone.Post(kFirstUserMessage, 1, 1));
  }
  EXPECT_TRUE(kept.Post(kFirstUserMessage, 2, 2));
  PumpMessages();
  EXPECT_TRUE(gone_recorder.received.empty());
  ASSERT_EQ(kept_recorder.received.size(), 1u);
  EXPECT_EQ(kept_recorder.received[0].wparam, 2u);
}

// A handler that posts again (as a reset that reopens a driver may) neither deadlocks nor
// loses the new message.
TEST(MessageWindow, AHandlerMayPostToItsOwnWindow) {
  struct Again {
    MessageWindow* window = nullptr;
    int calls = 0;
    static void Handle(void* context, uint32_t message, uintptr_t wparam, intptr_t) noexcept {
      auto* self = static_cast<Again*>(context);
      ++self->calls;
      if (wparam < 3) self->window->Post(message, wparam + 1, 0);
    }
  } again;
  MessageWindow window(&Again::Handle, &again);
  again.window = &window;
  window.Post(kFirstUserMessage, 0, 0);
  for (int attempt = 0; attempt < 10 && again.calls < 4; ++attempt) PumpMessages();
  EXPECT_EQ(again.calls, 4);
}

// Ticks arrive on the owning thread while it waits for messages, one per pump at most even
// when the handler takes longer than the interval, and stop with StopTicks or the window.
TEST(MessageWindow, TicksOnTheOwningThreadOncePerPumpUntilStopped) {
  struct Slow {
    int ticks = 0;
    std::thread::id thread;
    static void Handle(void* context, uint32_t message, uintptr_t, intptr_t) noexcept {
      auto* self = static_cast<Slow*>(context);
      if (message != kFirstUserMessage + 7) return;
      ++self->ticks;
      self->thread = std::this_thread::get_id();
      std::this_thread::sleep_for(std::chrono::milliseconds(25));  // longer than the interval
    }
  } slow;
  MessageWindow window(&Slow::Handle, &slow);
  EXPECT_FALSE(window.StartTicks(kFirstUserMessage - 1, 10));
  ASSERT_TRUE(window.StartTicks(kFirstUserMessage + 7, 10));
  for (int attempt = 0; attempt < 200 && slow.ticks < 3; ++attempt) {
    const int before = slow.ticks;
    WaitAndPumpMessages(50);
    EXPECT_LE(slow.ticks - before, 1) << "one tick per pump";
  }
  EXPECT_GE(slow.ticks, 3);
  EXPECT_EQ(slow.thread, std::this_thread::get_id());
  window.StopTicks();
  const int stopped = slow.ticks;
  for (int attempt = 0; attempt < 5; ++attempt) WaitAndPumpMessages(20);
  EXPECT_EQ(slow.ticks, stopped);
}

}  // namespace
