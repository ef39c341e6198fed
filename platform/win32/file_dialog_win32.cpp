#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>

#include <vector>

#include "platform/file_dialog.h"
#include "platform/ui.h"

namespace platform {
namespace {
FileDialogHandler g_handler = nullptr;
}  // namespace

std::optional<std::string> RunFileDialog(const FileDialogRequest& request) {
  // A handler stands for the dialog, and so is a modal run too.
  const ModalScope scope;
  if (!scope.Admitted()) return std::nullopt;
  if (g_handler) return g_handler(request);
  // The dialog wants NUL-separated filter pairs ending in two NULs.
  std::string filter = request.filter;
  for (char& c : filter)
    if (c == '|') c = '\0';
  filter.push_back('\0');
  std::vector<char> file(MAX_PATH * 4, '\0');
  OPENFILENAMEA dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = GetActiveWindow();
  dialog.lpstrFilter = filter.size() > 1 ? filter.c_str() : nullptr;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrTitle = request.title.empty() ? nullptr : request.title.c_str();
  dialog.lpstrInitialDir =
      request.initial_directory.empty() ? nullptr : request.initial_directory.c_str();
  // The dialog must not move the process's current directory: the preset file lives there.
  dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                 (request.save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  const BOOL accepted = request.save ? GetSaveFileNameA(&dialog) : GetOpenFileNameA(&dialog);
  if (!accepted) return std::nullopt;
  return std::string(file.data());
}

void SetFileDialogHandler(FileDialogHandler handler) {
  g_handler = handler;
}

}  // namespace platform
