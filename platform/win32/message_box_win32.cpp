#include <windows.h>

#include "platform/message_box.h"

namespace platform {
namespace {
MessageBoxHandler g_handler = nullptr;
}  // namespace

void ShowMessageBox(const std::string& text) {
  if (g_handler) {
    g_handler(text);
    return;
  }
  MessageBoxA(GetActiveWindow(), text.c_str(), nullptr, MB_OK | MB_TASKMODAL);
}

void SetMessageBoxHandler(MessageBoxHandler handler) { g_handler = handler; }

}  // namespace platform
