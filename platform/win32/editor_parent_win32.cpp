#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/editor_parent.h"
#include "platform/win32/this_module.h"

namespace platform {
namespace {

constexpr char kOverlayClass[] = "PartiloomEditorOverlay";

LRESULT CALLBACK OverlayProcedure(HWND window, UINT message, WPARAM wparam,
                                  LPARAM lparam) noexcept {
  switch (message) {
    case WM_ACTIVATE: {
      // The keyboard belongs to the editor, as it would inside the panel: where it was when
      // the window lost the activation, else the editor's window.
      if (LOWORD(wparam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          IsChild(window, focus) ? reinterpret_cast<LONG_PTR>(focus) : 0);
        return 0;
      }
      HWND focus = reinterpret_cast<HWND>(GetWindowLongPtrA(window, GWLP_USERDATA));
      if (!IsChild(window, focus)) focus = GetWindow(window, GW_CHILD);
      if (HIWORD(wparam) || !focus) return DefWindowProcA(window, message, wparam, lparam);
      SetFocus(focus);
      return 0;
    }
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

// Whether `lower` lies below `upper` in the order of the top-level windows.
bool Below(HWND lower, HWND upper) {
  for (HWND next = GetWindow(upper, GW_HWNDNEXT); next; next = GetWindow(next, GW_HWNDNEXT))
    if (next == lower) return true;
  return false;
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
  RECT area;
  if (!PanelOnScreen(static_cast<HWND>(panel_), area)) {
    if (IsWindowVisible(overlay))
      SetWindowPos(overlay, nullptr, 0, 0, 0, 0,
                   SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_NOZORDER | SWP_NOMOVE | SWP_NOSIZE |
                       SWP_HIDEWINDOW);
    return;
  }
  // Wine activates an owner without raising its owned windows of other processes: the
  // window goes back to just above its owner (HWND_TOP, which is null, when the owner is the
  // first window).
  const HWND owner = GetWindow(overlay, GW_OWNER);
  const bool raise = owner && !Below(owner, overlay);
  RECT placed;
  GetWindowRect(overlay, &placed);
  if (!raise && EqualRect(&placed, &area) && IsWindowVisible(overlay)) return;
  SetWindowPos(overlay, raise ? GetWindow(owner, GW_HWNDPREV) : nullptr, area.left, area.top,
               area.right - area.left, area.bottom - area.top,
               SWP_NOACTIVATE | SWP_NOOWNERZORDER | SWP_SHOWWINDOW | (raise ? 0 : SWP_NOZORDER));
}

}  // namespace platform
