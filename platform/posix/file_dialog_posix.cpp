#include "platform/file_dialog.h"
#include "platform/ui.h"

namespace platform {
namespace {
FileDialogHandler g_handler = nullptr;
}  // namespace

std::optional<std::string> RunFileDialog(const FileDialogRequest& request) {
  // The handler stands for the dialog, and so is a modal run.
  const ModalScope scope;
  if (scope.Admitted() && g_handler) return g_handler(request);
  return std::nullopt;
}

void SetFileDialogHandler(FileDialogHandler handler) {
  g_handler = handler;
}

}  // namespace platform
