#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/editor_parent.h"

namespace platform {
namespace {

constexpr char kOverlayClass[] = "PartiloomEditorOverlay";

HINSTANCE ThisModule() {
  HMODULE found = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &found);
  return found;
}

LRESULT CALLBACK OverlayProcedure(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam) noexcept {
  switch (message) {
    case WM_SETFOCUS:
      // The keyboard belongs to the editor, as it would inside the panel.
      if (HWND editor = GetWindow(window, GW_CHILD)) SetFocus(editor);
      return 0;
    case WM_CLOSE:
      // Only the host closes the editor (Alt+F4 here must not pull it from under the effect).
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

void RegisterOverlayClass() {
  WNDCLASSA overlay = {};
  overlay.lpfnWndProc = OverlayProcedure;
  overlay.hInstance = ThisModule();
  overlay.hCursor = LoadCursor(nullptr, IDC_ARROW);
  overlay.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  overlay.lpszClassName = kOverlayClass;
  RegisterClassA(&overlay);  // fails harmlessly when it is registered already
}

// The panel's client area on the screen; false while it is not to be seen.
bool PanelOnScreen(HWND panel, RECT& area) {
  if (!IsWindow(panel) || !IsWindowVisible(panel) || IsIconic(GetAncestor(panel, GA_ROOT)))
    return false;
  if (!GetClientRect(panel, &area)) return false;
  MapWindowPoints(panel, HWND_DESKTOP, reinterpret_cast<POINT*>(&area), 2);
  return true;
}

}  // namespace

bool DrawsOtherProcessesChildWindows() {
  static const bool drawn = [] {
    // Wine's ntdll exports its version; its window system draws no child window that
    // belongs to another process.
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return !(ntdll && GetProcAddress(ntdll, "wine_get_version"));
  }();
  return drawn;
}

EditorParent::EditorParent(NativeWindow panel) : panel_(panel), handle_(panel) {
  if (DrawsOtherProcessesChildWindows()) return;
  RegisterOverlayClass();
  const HWND owner = GetAncestor(static_cast<HWND>(panel), GA_ROOT);
  const HWND overlay = CreateWindowExA(0, kOverlayClass, "", WS_POPUP | WS_CLIPCHILDREN, 0, 0, 0, 0,
                                       owner, nullptr, ThisModule(), nullptr);
  if (!overlay)
    throw std::runtime_error("The window for the effect's editor could not be created (error " +
                             std::to_string(GetLastError()) + ")");
  handle_ = overlay;
  Follow();
}

EditorParent::~EditorParent() {
  if (handle_ != panel_) DestroyWindow(static_cast<HWND>(handle_));
}

void EditorParent::Follow() noexcept {
  if (handle_ == panel_) return;
  const HWND overlay = static_cast<HWND>(handle_);
  constexpr UINT kKeep = SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_NOZORDER;
  RECT area;
  if (!PanelOnScreen(static_cast<HWND>(panel_), area)) {
    if (IsWindowVisible(overlay))
      SetWindowPos(overlay, nullptr, 0, 0, 0, 0, kKeep | SWP_NOMOVE | SWP_NOSIZE | SWP_HIDEWINDOW);
    return;
  }
  RECT placed;
  GetWindowRect(overlay, &placed);
  if (EqualRect(&placed, &area) && IsWindowVisible(overlay)) return;
  SetWindowPos(overlay, nullptr, area.left, area.top, area.right - area.left,
               area.bottom - area.top, kKeep | SWP_SHOWWINDOW);
}

}  // namespace platform
