#include <windows.h>

#include "tools/player/desktop.h"

namespace harness {
namespace {

// The message text control of the system's message box.
constexpr int kMessageTextId = 0xFFFF;
// The file-name box of the open-file dialog: an edit inside combo boxes in the explorer style,
// a plain edit in older ones.
constexpr int kFileNameComboId = 0x47C;
constexpr int kFileNameEditId = 0x480;

BOOL CALLBACK CollectWindow(HWND window, LPARAM list) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (process == GetCurrentProcessId())
    reinterpret_cast<std::vector<Window>*>(list)->push_back(window);
  return TRUE;
}

HWND AsHandle(Window window) {
  return static_cast<HWND>(window);
}

}  // namespace

std::vector<Window> ProcessTopLevelWindows() {
  std::vector<Window> windows;
  EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&windows));
  return windows;
}

bool IsWindowAlive(Window window) {
  return window && IsWindow(AsHandle(window));
}

bool IsWindowShown(Window window) {
  return IsWindowAlive(window) && IsWindowVisible(AsHandle(window));
}

std::string WindowClass(Window window) {
  char name[256] = {};
  GetClassNameA(AsHandle(window), name, sizeof name);
  return name;
}

std::string StoredWindowText(Window window) {
  WCHAR wide[1024] = {};
  const int length = InternalGetWindowText(AsHandle(window), wide, 1024);
  if (length <= 0) return {};
  char text[4096] = {};
  const int bytes =
      WideCharToMultiByte(CP_ACP, 0, wide, length, text, sizeof text - 1, nullptr, nullptr);
  return std::string(text, bytes > 0 ? static_cast<size_t>(bytes) : 0);
}

Window FindTopLevelWindow(const std::string& caption) {
  for (Window window : ProcessTopLevelWindows())
    if (IsWindowShown(window) && StoredWindowText(window) == caption) return window;
  return nullptr;
}

bool IsMessageBox(Window window) {
  if (WindowClass(window) != "#32770") return false;
  HWND text = GetDlgItem(AsHandle(window), kMessageTextId);
  return text && WindowClass(text) == "Static";
}

std::string MessageBoxText(Window window) {
  HWND text = GetDlgItem(AsHandle(window), kMessageTextId);
  return text ? StoredWindowText(text) : std::string();
}

void ConfirmDialog(Window dialog) {
  PostMessageA(AsHandle(dialog), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(AsHandle(dialog), IDOK)));
}

void CancelDialog(Window dialog) {
  PostMessageA(AsHandle(dialog), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(AsHandle(dialog), IDCANCEL)));
}

// The edit control at or below `window` (the explorer style nests it in two combo boxes).
static HWND InnermostEdit(HWND window) {
  for (int depth = 0; window && depth < 4; ++depth) {
    if (WindowClass(window) == "Edit") return window;
    window = GetWindow(window, GW_CHILD);
  }
  return nullptr;
}

static HWND FileNameBox(Window dialog) {
  if (HWND box = InnermostEdit(GetDlgItem(AsHandle(dialog), kFileNameComboId))) return box;
  return InnermostEdit(GetDlgItem(AsHandle(dialog), kFileNameEditId));
}

bool HasFileNameBox(Window dialog) {
  return FileNameBox(dialog) != nullptr;
}

bool TypeFileName(Window dialog, const std::string& path) {
  HWND box = FileNameBox(dialog);
  if (!box) return false;
  SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
  return true;
}

void MoveWindowTo(Window window, int left, int top) {
  SetWindowPos(AsHandle(window), nullptr, left, top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace harness
