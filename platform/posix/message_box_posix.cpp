#include "platform/message_box.h"

namespace platform {
namespace {
MessageBoxHandler g_handler = nullptr;
}  // namespace

void ShowMessageBox(const std::string& text) {
  if (g_handler) g_handler(text);
}

void SetMessageBoxHandler(MessageBoxHandler handler) { g_handler = handler; }

}  // namespace platform
