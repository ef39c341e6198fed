#include "platform/message_box.h"
#include "platform/ui.h"

namespace platform {
namespace {
MessageBoxHandler g_handler = nullptr;
}  // namespace

void ShowMessageBox(const std::string& text) {
  // The handler stands for the box, and so is a modal run.
  const ModalScope scope;
  if (scope.Admitted() && g_handler) g_handler(text);
}

void SetMessageBoxHandler(MessageBoxHandler handler) {
  g_handler = handler;
}

}  // namespace platform
