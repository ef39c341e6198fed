#pragma once

// The window an effect's editor opens in when the effect runs in another process than the
// window that shows it (the panel, a window of that other process).
//
// Where the system draws a child window of another process inside its parent, the editor's
// window becomes the panel's child. Where it does not (Wine leaves such a child undrawn), the
// editor opens in a window of this process instead: no caption or border, owned by the
// panel's top-level window (so it stays above that window and goes with it), laid over the
// panel's place on the screen and kept there by Follow.
#include <memory>

#include "platform/ui.h"

namespace platform {

// Whether the system draws a child window that belongs to another process: the one place
// that decides how an editor from another process is shown.
bool DrawsOtherProcessesChildWindows();

// Create, follow and destroy it on the thread that opens the editor: the window over the
// panel belongs to that thread.
class EditorParent {
 public:
  // Throws std::runtime_error when the system cannot make the window over the panel.
  explicit EditorParent(NativeWindow panel);
  // Destroys the window over the panel, and with it whatever the editor left in it.
  ~EditorParent();
  EditorParent(const EditorParent&) = delete;
  EditorParent& operator=(const EditorParent&) = delete;

  // What the editor is given to open in: the panel, or the window over it.
  NativeWindow Handle() const noexcept { return handle_; }
  // The window over the panel takes the panel's place on the screen, its size and its
  // visibility (hidden while the panel is, or its top-level window is minimised).
  void Follow() noexcept;

 private:
  NativeWindow panel_;
  NativeWindow handle_;
};

}  // namespace platform
