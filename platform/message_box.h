#pragma once

// The system's modal message box with an OK button.
#include <string>

namespace platform {

// Shows the text and waits until it is dismissed. Off Windows there is no box. A modal run
// (platform/ui.h): while runs are refused it shows nothing and returns at once.
void ShowMessageBox(const std::string& text);

// Replaces the box, for tests that must not wait for a user; null restores it.
using MessageBoxHandler = void (*)(const std::string& text);
void SetMessageBoxHandler(MessageBoxHandler handler);

}  // namespace platform
