#include <windows.h>

#include <mutex>
#include <stdexcept>

#include "platform/message_window.h"
#include "platform/win32/this_module.h"

namespace platform {
namespace {

constexpr char kClassName[] = "PartiloomMessageWindow";

struct Target {
  MessageHandler handler;
  void* context;
  uint32_t tick_message = 0;
};

constexpr UINT_PTR kTickTimer = 1;

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message >= kFirstUserMessage) {
    auto* target = reinterpret_cast<Target*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (target) {
      target->handler(target->context, message, wparam, lparam);
      return 0;
    }
  }
  if (message == WM_TIMER && wparam == kTickTimer) {
    auto* target = reinterpret_cast<Target*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (target && target->tick_message)
      target->handler(target->context, target->tick_message, 0, 0);
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

std::once_flag g_class_once;

}  // namespace

MessageWindow::MessageWindow(MessageHandler handler, void* context) {
  std::call_once(g_class_once, [] {
    WNDCLASSA window_class{};
    window_class.lpfnWndProc = WindowProcedure;
    window_class.hInstance = ThisModule();
    window_class.lpszClassName = kClassName;
    RegisterClassA(&window_class);
  });
  // A message-only window: never shown, needs no display, still receives posted messages.
  HWND window = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                ThisModule(), nullptr);
  if (!window) throw std::runtime_error("Cannot create the host's message window");
  SetWindowLongPtrA(window, GWLP_USERDATA,
                    reinterpret_cast<LONG_PTR>(new Target{handler, context}));
  handle_ = window;
}

MessageWindow::~MessageWindow() {
  HWND window = static_cast<HWND>(handle_);
  auto* target = reinterpret_cast<Target*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  KillTimer(window, kTickTimer);
  SetWindowLongPtrA(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
  delete target;
}

bool MessageWindow::Post(uint32_t message, uintptr_t wparam, intptr_t lparam) noexcept {
  if (message < kFirstUserMessage) return false;
  return PostMessageA(static_cast<HWND>(handle_), message, wparam, lparam) != 0;
}

bool MessageWindow::StartTicks(uint32_t message, uint32_t interval_ms) noexcept {
  if (message < kFirstUserMessage) return false;
  HWND window = static_cast<HWND>(handle_);
  reinterpret_cast<Target*>(GetWindowLongPtrA(window, GWLP_USERDATA))->tick_message = message;
  // The system's timer message is made only when the queue is otherwise empty, once per
  // pump: ticks never pile up.
  return SetTimer(window, kTickTimer, interval_ms, nullptr) != 0;
}

void MessageWindow::StopTicks() noexcept {
  HWND window = static_cast<HWND>(handle_);
  KillTimer(window, kTickTimer);
  reinterpret_cast<Target*>(GetWindowLongPtrA(window, GWLP_USERDATA))->tick_message = 0;
}

// The address of the thread's environment block, read straight from FS (GS on x64): unique
// per live thread, and no call into the system.
uintptr_t CurrentThreadToken() noexcept {
  uintptr_t block;
#if defined(__x86_64__)
  __asm__("movq %%gs:0x30, %0" : "=r"(block));
#else
  __asm__("movl %%fs:0x18, %0" : "=r"(block));
#endif
  return block;
}

int PumpMessages() {
  int handed = 0;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
    ++handed;
    // The system makes a timer message only once the queue is empty: the posted messages
    // are through, and a tick whose handler outlasts its interval makes no endless pump.
    if (message.message == WM_TIMER) break;
  }
  return handed;
}

int WaitAndPumpMessages(uint32_t timeout_ms) {
  // Also wakes for messages that are waiting already but were seen by an earlier peek.
  MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  return PumpMessages();
}

}  // namespace platform
