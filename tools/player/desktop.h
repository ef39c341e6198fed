#pragma once

// What the harness sees of the desktop beyond the plug-in's own named controls: the top-level
// windows of its process, the system's message boxes and its open-file dialog. Windows only,
// like the harness: these are the system's own windows, which a user reads and answers.
#include <string>
#include <vector>

namespace harness {

using Window = void*;

// The top-level windows of this process (owned windows included), front to back.
std::vector<Window> ProcessTopLevelWindows();
bool IsWindowAlive(Window window);
bool IsWindowShown(Window window);
std::string WindowClass(Window window);
// The window's text as the system keeps it; reads without waiting for the window's thread.
std::string StoredWindowText(Window window);
// The first shown top-level window of this process with this caption; null if none.
Window FindTopLevelWindow(const std::string& caption);

// A message box: a system dialog with the message text control.
bool IsMessageBox(Window window);
std::string MessageBoxText(Window window);
// Presses a dialog's OK or Cancel button (posted: returns at once).
void ConfirmDialog(Window dialog);
void CancelDialog(Window dialog);
// The open-file dialog: whether its file-name box is there yet; types `path` into its file-name
// box; false when it has none.
bool HasFileNameBox(Window dialog);
bool TypeFileName(Window dialog, const std::string& path);

// Moves a top-level window's outer edge to left, top (call on the window's thread).
void MoveWindowTo(Window window, int left, int top);

}  // namespace harness
