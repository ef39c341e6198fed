#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/message_window.h"
#include "platform/posix/ui_events.h"

namespace platform {
namespace {

struct Window;

struct Posted {
  Window* window;
  uint32_t message;
  uintptr_t wparam;
  intptr_t lparam;
};

using Clock = std::chrono::steady_clock;

// The messages waiting for one thread, and its windows that tick.
struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<Posted> messages;
  std::vector<Window*> ticking;
};

struct Window {
  std::shared_ptr<ThreadQueue> queue;
  MessageHandler handler;
  void* context;
  uint32_t tick_message = 0;
  Clock::duration tick_interval{};
  Clock::time_point next_tick{};
};

const std::shared_ptr<ThreadQueue>& CurrentThreadQueue() {
  thread_local std::shared_ptr<ThreadQueue> queue = std::make_shared<ThreadQueue>();
  return queue;
}

}  // namespace

MessageWindow::MessageWindow(MessageHandler handler, void* context) {
  handle_ = new Window{CurrentThreadQueue(), handler, context};
}

MessageWindow::~MessageWindow() {
  auto* window = static_cast<Window*>(handle_);
  {
    std::lock_guard lock(window->queue->mutex);
    std::erase_if(window->queue->messages,
                  [window](const Posted& p) { return p.window == window; });
    std::erase(window->queue->ticking, window);
  }
  delete window;
}

bool MessageWindow::Post(uint32_t message, uintptr_t wparam, intptr_t lparam) noexcept {
  if (message < kFirstUserMessage) return false;
  auto* window = static_cast<Window*>(handle_);
  try {
    std::lock_guard lock(window->queue->mutex);
    window->queue->messages.push_back({window, message, wparam, lparam});
  } catch (...) {
    return false;
  }
  window->queue->arrived.notify_one();
  return true;
}

bool MessageWindow::StartTicks(uint32_t message, uint32_t interval_ms) noexcept {
  if (message < kFirstUserMessage) return false;
  auto* window = static_cast<Window*>(handle_);
  try {
    std::lock_guard lock(window->queue->mutex);
    window->tick_message = message;
    window->tick_interval = std::chrono::milliseconds(interval_ms);
    window->next_tick = Clock::now() + window->tick_interval;
    std::erase(window->queue->ticking, window);
    window->queue->ticking.push_back(window);
  } catch (...) {
    return false;
  }
  return true;
}

void MessageWindow::StopTicks() noexcept {
  auto* window = static_cast<Window*>(handle_);
  std::lock_guard lock(window->queue->mutex);
  window->tick_message = 0;
  std::erase(window->queue->ticking, window);
}

uintptr_t CurrentThreadToken() noexcept {
  return static_cast<uintptr_t>(pthread_self());
}

namespace {

// Hands each due tick over once: its next one lies in the future before its handler runs.
int DeliverDueTicks(ThreadQueue& queue) {
  const Clock::time_point pump = Clock::now();
  int handed = 0;
  for (;;) {
    Posted tick{};
    {
      std::lock_guard lock(queue.mutex);
      for (Window* window : queue.ticking) {
        if (window->next_tick > pump) continue;
        window->next_tick = Clock::now() + window->tick_interval;
        tick = {window, window->tick_message, 0, 0};
        break;
      }
    }
    if (!tick.window) return handed;
    // Outside the lock: the handler may pump again or destroy windows of this thread.
    tick.window->handler(tick.window->context, tick.message, 0, 0);
    ++handed;
  }
}

}  // namespace

int PumpMessages() {
  ThreadQueue& queue = *CurrentThreadQueue();
  int handed = 0;
  for (;;) {
    Posted next;
    {
      std::lock_guard lock(queue.mutex);
      if (queue.messages.empty()) break;
      next = queue.messages.front();
      queue.messages.pop_front();
    }
    // Outside the lock: the handler may post again or destroy windows of this thread.
    next.window->handler(next.window->context, next.message, next.wparam, next.lparam);
    ++handed;
  }
  return handed + DeliverDueTicks(queue) + headless_ui::RunDueEvents();
}

int WaitAndPumpMessages(uint32_t timeout_ms) {
  ThreadQueue& queue = *CurrentThreadQueue();
  // A control's timer due sooner cuts the wait short.
  const uint32_t wait_ms = headless_ui::MillisecondsUntilNextEvent(timeout_ms);
  {
    std::unique_lock lock(queue.mutex);
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(wait_ms);
    for (const Window* window : queue.ticking) until = std::min(until, window->next_tick);
    queue.arrived.wait_until(lock, until, [&queue] { return !queue.messages.empty(); });
  }
  return PumpMessages();
}

}  // namespace platform
