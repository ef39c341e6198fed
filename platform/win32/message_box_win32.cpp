#include <windows.h>

#include "platform/message_box.h"
#include "platform/ui.h"

namespace platform {
namespace {
MessageBoxHandler g_handler = nullptr;
}  // namespace

void ShowMessageBox(const std::string& text) {
  // A handler stands for the box, and so is a modal run too.
  const ModalScope scope;
  if (!scope.Admitted()) return;
  if (g_handler) {
    g_handler(text);
    return;
  }
  MessageBoxA(GetActiveWindow(), text.c_str(), nullptr, MB_OK | MB_TASKMODAL);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  g_handler = handler;
}

}  // namespace platform
