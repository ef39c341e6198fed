// The headless side has no screen: an editor opens in the panel's handle as given.
#include "platform/editor_parent.h"

namespace platform {

bool DrawsOtherProcessesChildWindows() {
  return true;
}

EditorParent::EditorParent(NativeWindow panel) : panel_(panel), handle_(panel) {}

EditorParent::~EditorParent() = default;

void EditorParent::Follow() noexcept {}

}  // namespace platform
