#pragma once

// The system's modal dialogs for choosing a file to open or to save.
#include <optional>
#include <string>

namespace platform {

struct FileDialogRequest {
  bool save = false;
  std::string title;
  std::string initial_directory;
  // Pairs of description and pattern, each followed by '|': "Text (*.txt)|*.txt|".
  std::string filter;
};

// Shows the dialog and waits for it; the chosen path, or nothing when cancelled. Off Windows
// there is no dialog and the answer is "cancelled". A modal run (platform/ui.h): while runs
// are refused the answer is "cancelled" at once.
std::optional<std::string> RunFileDialog(const FileDialogRequest& request);

// Replaces the dialog, for tests that must not wait for a user; null restores it.
using FileDialogHandler = std::optional<std::string> (*)(const FileDialogRequest& request);
void SetFileDialogHandler(FileDialogHandler handler);

}  // namespace platform
