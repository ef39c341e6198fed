#pragma once

#include <cstdint>

// A hidden window that belongs to the thread that creates it. Any thread may post a message
// to it; the message is handed to the window's handler later, on the owning thread, when
// that thread pumps its messages (on Windows any message loop of the thread does; elsewhere
// the thread calls PumpMessages). Its handle can be given to foreign code that wants a
// window handle of its host.
namespace platform {

using MessageHandler = void (*)(void* context, uint32_t message, uintptr_t wparam,
                                intptr_t lparam) noexcept;

constexpr uint32_t kFirstUserMessage = 0x0400;

// Create and destroy it on the thread that pumps its messages.
class MessageWindow {
 public:
  // Throws std::runtime_error when the system cannot make the window.
  MessageWindow(MessageHandler handler, void* context);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  // The window handle (off Windows an opaque value that is never null).
  void* Handle() const noexcept { return handle_; }
  // Queues a message for the owning thread; message numbers start at kFirstUserMessage
  // (below it the system's own messages live). False when the message was not queued.
  bool Post(uint32_t message, uintptr_t wparam, intptr_t lparam) noexcept;
  // Hands `message` (wparam and lparam 0) to the handler about every `interval_ms` on the
  // owning thread, from the same message loops that deliver posted messages, until
  // StopTicks; a second call replaces the first. A tick is due at most once per pump, so a
  // handler that takes long never makes a loop of ticks. Call both on the owning thread.
  bool StartTicks(uint32_t message, uint32_t interval_ms) noexcept;
  void StopTicks() noexcept;

 private:
  void* handle_ = nullptr;
};

// A number for the calling thread, unique among the threads alive; cheap enough for the
// audio path (no system call, no allocation).
uintptr_t CurrentThreadToken() noexcept;

// Hands every message waiting for the calling thread to its window, then the ticks that are
// due (each once); returns how many.
int PumpMessages();
// Waits until a message for the calling thread arrives or `timeout_ms` passes, then pumps.
// Returns how many messages were handed over.
int WaitAndPumpMessages(uint32_t timeout_ms);

}  // namespace platform
