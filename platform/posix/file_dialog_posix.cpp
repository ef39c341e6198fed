#include "platform/file_dialog.h"

namespace platform {
namespace {
FileDialogHandler g_handler = nullptr;
}  // namespace

std::optional<std::string> RunFileDialog(const FileDialogRequest& request) {
  if (g_handler) return g_handler(request);
  return std::nullopt;
}

void SetFileDialogHandler(FileDialogHandler handler) { g_handler = handler; }

}  // namespace platform
