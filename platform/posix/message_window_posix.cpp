#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

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

// The messages waiting for one thread.
struct ThreadQueue {
  std::mutex mutex;
  std::condition_variable arrived;
  std::deque<Posted> messages;
};

struct Window {
  std::shared_ptr<ThreadQueue> queue;
  MessageHandler handler;
  void* context;
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

uintptr_t CurrentThreadToken() noexcept {
  return static_cast<uintptr_t>(pthread_self());
}

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
  return handed + headless_ui::RunDueEvents();
}

int WaitAndPumpMessages(uint32_t timeout_ms) {
  ThreadQueue& queue = *CurrentThreadQueue();
  // A control's timer due sooner cuts the wait short.
  const uint32_t wait_ms = headless_ui::MillisecondsUntilNextEvent(timeout_ms);
  {
    std::unique_lock lock(queue.mutex);
    queue.arrived.wait_for(lock, std::chrono::milliseconds(wait_ms),
                           [&queue] { return !queue.messages.empty(); });
  }
  return PumpMessages();
}

}  // namespace platform
