// Controls as real windows of the system. Our own window classes (top-level windows, panels,
// tool bars, and the host that carries a child placed in a foreign window) hand the
// notifications of their children to the children's handlers; the system's controls are
// subclassed to do the same for children of their own (group boxes hold controls).
//
// A window carries two properties: its name, which any module of the process may read (the
// player harness finds controls of the plug-in by name), and its record, which only the
// module that made the window reads (the window's instance handle tells which module that is).
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>

#include "platform/modal_runs.h"
#include "platform/ui.h"
#include "platform/win32/this_module.h"

namespace platform {
namespace {

constexpr char kTopLevelClass[] = "PartiloomTopLevel";
constexpr char kPanelClass[] = "PartiloomPanel";
constexpr char kToolBarClass[] = "PartiloomToolBar";
constexpr char kHostClass[] = "PartiloomChildHost";
constexpr char kMeterClass[] = "PartiloomLevelMeter";

constexpr char kNameProperty[] = "PartiloomName";
constexpr char kRecordProperty[] = "PartiloomControl";
constexpr char kBaseProcedureProperty[] = "PartiloomBaseProcedure";
constexpr char kFontProperty[] = "PartiloomFont";

constexpr UINT kModalStartedMessage = WM_APP + 0x2A0;
// Asks a level meter where bar `wparam` is: the client point at its middle (x low word, y
// high word), or -1. Any module can ask, so the automation clicks where a user would.
constexpr UINT kMeterBarPointMessage = WM_APP + 0x2A1;
constexpr UINT_PTR kTimerId = 0x504C;
// Scroll bars page by this much until told otherwise.
constexpr int32_t kDefaultScrollPage = 10;
// A combo box's list shows up to this many items before it scrolls.
constexpr int kMaxVisibleItems = 16;

constexpr DWORD kTopLevelStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_CLIPSIBLINGS;

bool IsTopLevelKind(ControlKind kind) {
  return kind == ControlKind::Form || kind == ControlKind::ToolWindow;
}

ModalHandler g_modal_handler = nullptr;

// Nothing may leave a window procedure: the frames below it may be the system's or a host's.
void RunHandler(const std::function<void()>& handler) noexcept {
  if (!handler) return;
  try {
    std::function<void()> call = handler;  // the handler may replace itself
    call();
  } catch (...) {
  }
}

bool HasClass(HWND window, const char* name) {
  char found[64] = {};
  GetClassNameA(window, found, sizeof found);
  return lstrcmpiA(found, name) == 0;
}

struct ModalRun {
  bool ended = false;
  bool destroyed = false;
};

}  // namespace

struct Control::Impl {
  Control* self = nullptr;
  HWND host = nullptr;       // a child placed in a foreign window sits in this
  HFONT own_font = nullptr;  // top-level windows own the font their children share
  bool window_alive = true;
  int32_t last_value = 0;  // track bars and scroll bars: the value the handler last saw
  int32_t page = kDefaultScrollPage;
  SIZE client_size{};          // panels: the size the resize handler last saw
  std::vector<MeterBar> bars;  // level meters: what they draw
  std::vector<MeterMark> marks;
  std::string meter_text;
  std::function<void()> timer_handler;
  ModalRun* modal = nullptr;

  HWND Window() const { return static_cast<HWND>(self->handle_); }
  HWND Frame() const { return host ? host : Window(); }
  void Close();
  void TrackBarMoved(int code);
  void ScrollBarMoved(int code);
  void FitComboList();
};

namespace {

// The properties hold addresses, which mean something only in this process; a window of
// another process may sit inside ours (an effect's editor run apart).
bool InThisProcess(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process == GetCurrentProcessId();
}

const char* NameOf(HWND window) {
  if (!window || !InThisProcess(window)) return nullptr;
  return static_cast<const char*>(GetPropA(window, kNameProperty));
}

Control::Impl* RecordOf(HWND window) {
  if (!window) return nullptr;
  if (reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(window, GWLP_HINSTANCE)) != ThisModule() ||
      !InThisProcess(window))
    return nullptr;
  return static_cast<Control::Impl*>(GetPropA(window, kRecordProperty));
}

// A child's notification to its parent, handed to the child's handler.
bool RouteNotification(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message != WM_COMMAND && message != WM_HSCROLL) return false;
  Control::Impl* impl = RecordOf(reinterpret_cast<HWND>(lparam));
  if (!impl) return false;
  const int code = message == WM_COMMAND ? HIWORD(wparam) : LOWORD(wparam);
  switch (impl->self->Kind()) {
    case ControlKind::Button:
    case ControlKind::CheckBox:
      if (message != WM_COMMAND || code != BN_CLICKED) return false;
      RunHandler(impl->self->OnClick);
      return true;
    case ControlKind::ComboBox:
      if (message != WM_COMMAND || code != CBN_SELCHANGE) return false;
      RunHandler(impl->self->OnChange);
      return true;
    case ControlKind::TrackBar:
      if (message != WM_HSCROLL) return false;
      impl->TrackBarMoved(code);
      return true;
    case ControlKind::ScrollBar:
      if (message != WM_HSCROLL) return false;
      impl->ScrollBarMoved(code);
      return true;
    default:
      return false;
  }
}

void ForgetWindow(HWND window) {
  if (Control::Impl* impl = RecordOf(window)) {
    impl->window_alive = false;
    if (impl->modal) impl->modal->ended = true;
  }
  RemovePropA(window, kNameProperty);
  RemovePropA(window, kRecordProperty);
  RemovePropA(window, kFontProperty);
}

void PaintToolBar(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  DrawEdge(dc, &client, EDGE_ETCHED, BF_BOTTOM);
  EndPaint(window, &paint);
}

// A level meter's layout: the scale's texts along the top, the caption along the bottom, and
// between them the bars in rows, in one column for up to four bars and two beyond.
struct MeterLayout {
  static constexpr int kScaleHeight = 13;
  static constexpr int kTextHeight = 16;
  static constexpr int kLargestRow = 16;
  static constexpr int kLabelWidth = 150;
  static constexpr int kClipWidth = 10;
  static constexpr int kGap = 4;

  MeterLayout(const RECT& client, size_t bars) : client(client) {
    columns = bars > 4 ? 2 : 1;
    rows =
        static_cast<int>((bars + static_cast<size_t>(columns) - 1) / static_cast<size_t>(columns));
    const int area = client.bottom - kTextHeight - kScaleHeight;
    row_height = rows > 0 ? std::clamp(area / rows, 1, kLargestRow) : kLargestRow;
  }
  // The row of bar `index`: its label, its bar and its clip marker.
  RECT Row(size_t index) const {
    const int column = static_cast<int>(index) / rows, row = static_cast<int>(index) % rows;
    const int width = client.right / columns;
    const int top = kScaleHeight + row * row_height;
    return {column * width + kGap, top, (column + 1) * width - kGap, top + row_height};
  }
  static RECT Label(const RECT& row) {
    return {row.left, row.top, row.left + kLabelWidth, row.bottom};
  }
  static RECT Trough(const RECT& row) {
    return {row.left + kLabelWidth + kGap, row.top + 2, row.right - kClipWidth - kGap,
            row.bottom - 2};
  }
  static RECT Clip(const RECT& row) {
    return {row.right - kClipWidth, row.top + 2, row.right, row.bottom - 2};
  }
  static int At(const RECT& trough, float position) {
    const float clamped = std::clamp(position, 0.0f, 1.0f);
    return trough.left + static_cast<int>(clamped * static_cast<float>(trough.right - trough.left));
  }

  RECT client;
  int columns = 1;
  int rows = 0;
  int row_height = kLargestRow;
};

// UTF-8 text as the system draws it; bytes that are no UTF-8 are taken in the system's code
// page, as a driver's name may come.
std::wstring WideText(const std::string& text) {
  if (text.empty()) return {};
  UINT page = CP_UTF8;
  int length = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, text.data(),
                                   static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) {
    page = CP_ACP;
    length = MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  }
  std::wstring wide(static_cast<size_t>(std::max(length, 0)), L'\0');
  if (length > 0)
    MultiByteToWideChar(page, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

void FillColour(HDC dc, const RECT& rect, COLORREF colour) {
  if (rect.right <= rect.left || rect.bottom <= rect.top) return;
  SetBkColor(dc, colour);
  ExtTextOutW(dc, 0, 0, ETO_OPAQUE, &rect, nullptr, 0, nullptr);
}

// Arrows the selected font lacks (not every Tahoma has them) are drawn as "<-" and "->".
std::wstring WithDrawableArrows(HDC dc, const std::wstring& text) {
  std::vector<WORD> glyphs(text.size());
  if (text.empty() || GetGlyphIndicesW(dc, text.c_str(), static_cast<int>(text.size()),
                                       glyphs.data(), GGI_MARK_NONEXISTING_GLYPHS) == GDI_ERROR)
    return text;
  std::wstring drawn;
  for (size_t i = 0; i < text.size(); ++i) {
    const bool missing = glyphs[i] == 0xFFFF;
    if (missing && text[i] == L'\u2190')
      drawn += L"<-";
    else if (missing && text[i] == L'\u2192')
      drawn += L"->";
    else
      drawn += text[i];
  }
  return drawn;
}

void DrawMeterText(HDC dc, const std::string& text, RECT rect, UINT format) {
  const std::wstring wide = WithDrawableArrows(dc, WideText(text));
  DrawTextW(dc, wide.c_str(), static_cast<int>(wide.size()), &rect,
            format | DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS);
}

void DrawMeter(HDC dc, const Control::Impl& impl, const RECT& client) {
  FillColour(dc, client, GetSysColor(COLOR_BTNFACE));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
  const MeterLayout layout(client, impl.bars.size());
  for (size_t i = 0; i < impl.bars.size(); ++i) {
    const MeterBar& bar = impl.bars[i];
    const RECT row = layout.Row(i);
    const RECT trough = MeterLayout::Trough(row);
    // The scale above the first row of each column.
    if (static_cast<int>(i) % layout.rows == 0) {
      for (const MeterMark& mark : impl.marks) {
        const int x = MeterLayout::At(trough, mark.position);
        DrawMeterText(dc, mark.text, {x - 20, 0, x + 20, MeterLayout::kScaleHeight}, DT_CENTER);
      }
    }
    DrawMeterText(dc, bar.label, MeterLayout::Label(row), DT_LEFT);
    FillColour(dc, trough, RGB(40, 40, 40));
    struct Zone {
      float from, to;
      COLORREF colour;
    };
    for (const Zone& zone :
         {Zone{0.0f, 0.8f, RGB(40, 200, 70)}, Zone{0.8f, 0.95f, RGB(235, 200, 40)},
          Zone{0.95f, 1.0f, RGB(225, 45, 40)}}) {
      if (bar.level <= zone.from) break;
      FillColour(dc,
                 {MeterLayout::At(trough, zone.from), trough.top,
                  MeterLayout::At(trough, std::min(bar.level, zone.to)), trough.bottom},
                 zone.colour);
    }
    for (const MeterMark& mark : impl.marks) {
      const int x = MeterLayout::At(trough, mark.position);
      FillColour(dc, {x, trough.bottom - 3, x + 1, trough.bottom}, RGB(150, 150, 150));
    }
    if (bar.hold > 0.0f) {
      const int x = std::min(MeterLayout::At(trough, bar.hold), static_cast<int>(trough.right) - 2);
      FillColour(dc, {x, trough.top, x + 2, trough.bottom}, RGB(245, 245, 245));
    }
    FillColour(dc, MeterLayout::Clip(row), bar.clipped ? RGB(255, 30, 30) : RGB(80, 30, 30));
  }
  DrawMeterText(dc, impl.meter_text,
                {MeterLayout::kGap, client.bottom - MeterLayout::kTextHeight,
                 client.right - MeterLayout::kGap, client.bottom},
                DT_LEFT);
}

// Drawn off the screen first: a meter redrawn 25 times a second must not flicker.
void PaintMeter(HWND window, const Control::Impl& impl) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  HDC memory = CreateCompatibleDC(dc);
  HBITMAP bitmap =
      CreateCompatibleBitmap(dc, std::max<LONG>(client.right, 1), std::max<LONG>(client.bottom, 1));
  if (memory && bitmap) {
    HGDIOBJ previous_bitmap = SelectObject(memory, bitmap);
    HGDIOBJ previous_font =
        SelectObject(memory, static_cast<HFONT>(GetPropA(window, kFontProperty)));
    DrawMeter(memory, impl, client);
    BitBlt(dc, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, previous_font);
    SelectObject(memory, previous_bitmap);
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  EndPaint(window, &paint);
}

LRESULT MeterBarPoint(HWND window, const Control::Impl& impl, WPARAM index) {
  if (index >= impl.bars.size()) return -1;
  RECT client;
  GetClientRect(window, &client);
  const RECT row = MeterLayout(client, impl.bars.size()).Row(index);
  return MAKELONG((row.left + row.right) / 2, (row.top + row.bottom) / 2);
}

void MeterClicked(HWND window, const Control::Impl& impl, LPARAM point) {
  RECT client;
  GetClientRect(window, &client);
  const MeterLayout layout(client, impl.bars.size());
  const POINT at{static_cast<short>(LOWORD(point)), static_cast<short>(HIWORD(point))};
  for (size_t i = 0; i < impl.bars.size(); ++i) {
    const RECT row = layout.Row(i);
    if (!PtInRect(&row, at)) continue;
    const std::function<void(int32_t)> handler = impl.self->OnBarClick;
    if (handler) RunHandler([&] { handler(static_cast<int32_t>(i)); });
    return;
  }
}

LRESULT CALLBACK OwnWindowProcedure(HWND window, UINT message, WPARAM wparam,
                                    LPARAM lparam) noexcept {
  try {
    if (RouteNotification(message, wparam, lparam)) return 0;
    switch (message) {
      case WM_CLOSE:
        if (Control::Impl* impl = RecordOf(window); impl && IsTopLevelKind(impl->self->Kind())) {
          impl->Close();
          return 0;
        }
        break;
      case WM_ACTIVATE:
        if (Control::Impl* impl = RecordOf(window); impl && IsTopLevelKind(impl->self->Kind()))
          RunHandler(LOWORD(wparam) == WA_INACTIVE ? impl->self->OnDeactivate
                                                   : impl->self->OnActivate);
        break;
      case kModalStartedMessage:
        if (Control::Impl* impl = RecordOf(window); impl && impl->modal && g_modal_handler) {
          try {
            g_modal_handler(*impl->self);
          } catch (...) {
          }
        }
        return 0;
      case WM_SETFONT:
        SetPropA(window, kFontProperty, reinterpret_cast<HANDLE>(wparam));
        if (LOWORD(lparam)) InvalidateRect(window, nullptr, TRUE);
        return 0;
      case WM_GETFONT:
        return reinterpret_cast<LRESULT>(GetPropA(window, kFontProperty));
      case WM_PAINT:
        if (Control::Impl* impl = RecordOf(window);
            impl && impl->self->Kind() == ControlKind::ToolBar) {
          PaintToolBar(window);
          return 0;
        } else if (impl && impl->self->Kind() == ControlKind::LevelMeter) {
          PaintMeter(window, *impl);
          return 0;
        }
        break;
      case WM_ERASEBKGND:
        if (Control::Impl* impl = RecordOf(window);
            impl && impl->self->Kind() == ControlKind::LevelMeter)
          return 1;  // the painting covers it all
        break;
      case WM_SIZE:
        if (Control::Impl* impl = RecordOf(window);
            impl && impl->self->Kind() == ControlKind::Panel) {
          const SIZE size{LOWORD(lparam), HIWORD(lparam)};
          if (size.cx != impl->client_size.cx || size.cy != impl->client_size.cy) {
            impl->client_size = size;
            RunHandler(impl->self->OnResize);
          }
        }
        break;
      case WM_LBUTTONDOWN:
      case WM_LBUTTONDBLCLK:
        if (Control::Impl* impl = RecordOf(window);
            impl && impl->self->Kind() == ControlKind::LevelMeter) {
          MeterClicked(window, *impl, lparam);
          return 0;
        }
        break;
      case kMeterBarPointMessage:
        if (Control::Impl* impl = RecordOf(window);
            impl && impl->self->Kind() == ControlKind::LevelMeter)
          return MeterBarPoint(window, *impl, wparam);
        return -1;
      case WM_NCDESTROY:
        ForgetWindow(window);
        break;
    }
  } catch (...) {
    return 0;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

// The system's controls run through this first, so that they too can hold controls.
LRESULT CALLBACK SubclassProcedure(HWND window, UINT message, WPARAM wparam,
                                   LPARAM lparam) noexcept {
  auto base = reinterpret_cast<WNDPROC>(GetPropA(window, kBaseProcedureProperty));
  try {
    if (RouteNotification(message, wparam, lparam)) return 0;
    if (message == WM_NCDESTROY) {
      ForgetWindow(window);
      RemovePropA(window, kBaseProcedureProperty);
    }
  } catch (...) {
  }
  return base ? CallWindowProcA(base, window, message, wparam, lparam)
              : DefWindowProcA(window, message, wparam, lparam);
}

void CALLBACK TimerProcedure(HWND window, UINT, UINT_PTR, DWORD) noexcept {
  if (Control::Impl* impl = RecordOf(window)) RunHandler(impl->timer_handler);
}

void RegisterClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    INITCOMMONCONTROLSEX common{sizeof common, ICC_BAR_CLASSES};
    InitCommonControlsEx(&common);
    struct Class {
      const char* name;
      HBRUSH background;
    };
    const HBRUSH face = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    for (const Class& c :
         {Class{kTopLevelClass, face}, Class{kPanelClass, face}, Class{kToolBarClass, face},
          Class{kHostClass, nullptr}, Class{kMeterClass, nullptr}}) {
      WNDCLASSA window_class{};
      window_class.style = CS_DBLCLKS;
      window_class.lpfnWndProc = OwnWindowProcedure;
      window_class.hInstance = ThisModule();
      window_class.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
      window_class.hbrBackground = c.background;
      window_class.lpszClassName = c.name;
      RegisterClassA(&window_class);
    }
  });
}

struct ChildStyle {
  const char* class_name;
  DWORD style;
  DWORD extended_style;
  bool own_class;
};

ChildStyle StyleOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::Panel:
      return {kPanelClass, WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, true};
    case ControlKind::ToolBar:
      return {kToolBarClass, WS_CLIPSIBLINGS, WS_EX_CONTROLPARENT, true};
    case ControlKind::Label:
      // Clipped by the siblings above it: a spacer label that a button overlaps does not
      // paint over the button.
      return {"STATIC", SS_LEFT | SS_NOPREFIX | WS_CLIPSIBLINGS, 0, false};
    case ControlKind::Button:
      return {"BUTTON", BS_PUSHBUTTON | WS_TABSTOP, 0, false};
    case ControlKind::ComboBox:
      return {"COMBOBOX", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, 0, false};
    case ControlKind::GroupBox:
      return {"BUTTON", BS_GROUPBOX, WS_EX_CONTROLPARENT, false};
    case ControlKind::TrackBar:
      return {TRACKBAR_CLASSA, TBS_HORZ | TBS_AUTOTICKS | WS_TABSTOP, 0, false};
    case ControlKind::ScrollBar:
      return {"SCROLLBAR", SBS_HORZ | WS_TABSTOP, 0, false};
    case ControlKind::LevelMeter:
      return {kMeterClass, WS_CLIPSIBLINGS, 0, true};
    case ControlKind::CheckBox:
      return {"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP, 0, false};
    default:
      throw std::invalid_argument("Not a child kind");
  }
}

int NextControlId() {
  static std::atomic<int> next{0};
  // Clear of the identifiers the system gives a dialog's OK and Cancel keys.
  return 1000 + next.fetch_add(1) % 30000;
}

// The window whose position in its parent is the control's: the host of a child placed in a
// foreign window, else the control itself.
HWND FrameOf(HWND window) {
  HWND parent = GetParent(window);
  return parent && HasClass(parent, kHostClass) ? parent : window;
}

bool IsChildWindow(HWND window) {
  return (GetWindowLongPtrA(window, GWL_STYLE) & WS_CHILD) != 0;
}

SIZE OuterSize(HWND window, int32_t client_width, int32_t client_height) {
  RECT outer{0, 0, client_width, client_height};
  AdjustWindowRectEx(&outer, static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE)));
  return {outer.right - outer.left, outer.bottom - outer.top};
}

}  // namespace

void Control::Impl::Close() {
  HWND window = Window();
  ModalRun* run = modal;
  RunHandler(self->OnClose);
  if ((run && run->destroyed) || RecordOf(window) != this) return;
  // A modal run hides the window itself, after giving its owner back the input.
  if (modal) {
    modal->ended = true;
  } else {
    ShowWindow(window, SW_HIDE);
  }
}

void Control::Impl::TrackBarMoved(int code) {
  if (code == TB_ENDTRACK) return;
  const auto value = static_cast<int32_t>(SendMessageA(Window(), TBM_GETPOS, 0, 0));
  // A thumb released where it was still reports its position once.
  const bool fire = value != last_value || code == TB_THUMBPOSITION;
  last_value = value;
  if (fire) RunHandler(self->OnChange);
}

void Control::Impl::ScrollBarMoved(int code) {
  // The bar does not move itself: the position follows from what the user did.
  SCROLLINFO info{};
  info.cbSize = sizeof info;
  info.fMask = SIF_ALL;
  GetScrollInfo(Window(), SB_CTL, &info);
  int64_t value = info.nPos;
  switch (code) {
    case SB_LINELEFT:
      value -= 1;
      break;
    case SB_LINERIGHT:
      value += 1;
      break;
    case SB_PAGELEFT:
      value -= page;
      break;
    case SB_PAGERIGHT:
      value += page;
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
      value = info.nTrackPos;
      break;
    case SB_LEFT:
      value = info.nMin;
      break;
    case SB_RIGHT:
      value = info.nMax;
      break;
    default:
      return;
  }
  const auto clamped = static_cast<int32_t>(std::clamp<int64_t>(value, info.nMin, info.nMax));
  SetScrollPos(Window(), SB_CTL, clamped, TRUE);
  const bool fire = clamped != last_value || code == SB_THUMBPOSITION;
  last_value = clamped;
  if (fire) RunHandler(self->OnChange);
}

void Control::Impl::FitComboList() {
  // The height a drop-down list is given is that of the field and its open list together.
  HWND window = Window();
  const auto field = static_cast<int>(SendMessageA(window, CB_GETITEMHEIGHT, WPARAM(-1), 0));
  const auto item = static_cast<int>(SendMessageA(window, CB_GETITEMHEIGHT, 0, 0));
  const auto count = static_cast<int>(SendMessageA(window, CB_GETCOUNT, 0, 0));
  const int visible = std::clamp(count, 1, kMaxVisibleItems);
  RECT rect;
  GetWindowRect(window, &rect);
  SetWindowPos(window, nullptr, 0, 0, rect.right - rect.left, field + 8 + item * visible,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (host) {
    GetWindowRect(window, &rect);
    SetWindowPos(host, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

Control::Control(ControlKind kind, std::string name)
    : kind_(kind), name_(std::move(name)), impl_(std::make_unique<Impl>()) {
  impl_->self = this;
}

Control::~Control() {
  if (impl_->modal) impl_->modal->ended = impl_->modal->destroyed = true;
  HWND window = static_cast<HWND>(handle_);
  if (window && impl_->window_alive && RecordOf(window) == impl_.get()) {
    KillTimer(window, kTimerId);
    // From here on the window's messages no longer reach this object.
    RemovePropA(window, kRecordProperty);
    RemovePropA(window, kNameProperty);
    DestroyWindow(impl_->host ? impl_->host : window);
  }
  if (impl_->own_font) DeleteObject(impl_->own_font);
}

std::unique_ptr<Control> Control::CreateTopLevel(ControlKind kind, const std::string& name,
                                                 const std::string& caption, NativeWindow owner,
                                                 const Bounds& bounds, const FontSpec& font) {
  if (!IsTopLevelKind(kind)) throw std::invalid_argument("Not a top-level kind: " + name);
  RegisterClasses();
  const DWORD extended_style =
      WS_EX_CONTROLPARENT | (kind == ControlKind::Form ? WS_EX_DLGMODALFRAME : WS_EX_TOOLWINDOW);
  RECT outer{0, 0, bounds.width, bounds.height};
  AdjustWindowRectEx(&outer, kTopLevelStyle, FALSE, extended_style);
  std::unique_ptr<Control> control(new Control(kind, name));
  HWND window =
      CreateWindowExA(extended_style, kTopLevelClass, caption.c_str(), kTopLevelStyle, bounds.left,
                      bounds.top, outer.right - outer.left, outer.bottom - outer.top,
                      static_cast<HWND>(owner), nullptr, ThisModule(), nullptr);
  if (!window) throw std::runtime_error("Cannot create the window " + name);
  control->handle_ = window;
  SetPropA(window, kNameProperty, const_cast<char*>(control->name_.c_str()));
  SetPropA(window, kRecordProperty, control->impl_.get());
  control->impl_->own_font = CreateFontA(
      font.height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
      CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, font.face.c_str());
  SendMessageA(window, WM_SETFONT, reinterpret_cast<WPARAM>(control->impl_->own_font), FALSE);
  return control;
}

std::unique_ptr<Control> Control::CreateChild(ControlKind kind, Control& parent,
                                              const std::string& name, const Bounds& bounds,
                                              const std::string& caption) {
  return CreateChildOf(kind, parent.Handle(), name, bounds, caption);
}

std::unique_ptr<Control> Control::CreateChildOf(ControlKind kind, NativeWindow parent,
                                                const std::string& name, const Bounds& bounds,
                                                const std::string& caption) {
  if (IsTopLevelKind(kind)) throw std::invalid_argument("Not a child kind: " + name);
  HWND parent_window = static_cast<HWND>(parent);
  if (!parent_window || !IsWindow(parent_window))
    throw std::invalid_argument("No parent window for " + name);
  RegisterClasses();
  const ChildStyle style = StyleOf(kind);
  std::unique_ptr<Control> control(new Control(kind, name));
  Impl& impl = *control->impl_;

  // A window we did not make would not pass its children's notifications on: the control
  // sits in a host of ours that does.
  HWND container = parent_window;
  int32_t left = bounds.left, top = bounds.top;
  if (!RecordOf(parent_window)) {
    impl.host = CreateWindowExA(0, kHostClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS,
                                bounds.left, bounds.top, bounds.width, bounds.height, parent_window,
                                nullptr, ThisModule(), nullptr);
    if (!impl.host) throw std::runtime_error("Cannot create the window " + name);
    container = impl.host;
    left = top = 0;
  }
  HWND window = CreateWindowExA(
      style.extended_style, style.class_name, caption.c_str(), WS_CHILD | WS_VISIBLE | style.style,
      left, top, bounds.width, bounds.height, container,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(NextControlId())), ThisModule(), nullptr);
  if (!window) {
    if (impl.host) DestroyWindow(impl.host);
    throw std::runtime_error("Cannot create the window " + name);
  }
  control->handle_ = window;
  SetPropA(window, kNameProperty, const_cast<char*>(control->name_.c_str()));
  SetPropA(window, kRecordProperty, &impl);
  if (!style.own_class) {
    SetPropA(window, kBaseProcedureProperty,
             reinterpret_cast<HANDLE>(GetWindowLongPtrA(window, GWLP_WNDPROC)));
    SetWindowLongPtrA(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&SubclassProcedure));
  }

  auto font = static_cast<WPARAM>(SendMessageA(parent_window, WM_GETFONT, 0, 0));
  if (!font) font = reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT));
  SendMessageA(window, WM_SETFONT, font, FALSE);

  switch (kind) {
    case ControlKind::Panel:
      impl.client_size = {bounds.width, bounds.height};
      break;
    case ControlKind::ComboBox:
      impl.FitComboList();
      break;
    case ControlKind::TrackBar:
      control->SetRange(0, 100);
      break;
    case ControlKind::ScrollBar:
      control->SetRange(0, 100);
      break;
    default:
      break;
  }
  return control;
}

void Control::SetCaption(const std::string& text) {
  SetWindowTextA(static_cast<HWND>(handle_), text.c_str());
  if (kind_ == ControlKind::LevelMeter) {
    impl_->meter_text = text;
    InvalidateRect(static_cast<HWND>(handle_), nullptr, FALSE);
  }
}

std::string Control::Caption() const {
  return WindowCaption(handle_);
}

void Control::SetAlignment(TextAlignment alignment) {
  if (kind_ != ControlKind::Label) return;
  HWND window = static_cast<HWND>(handle_);
  LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE) & ~static_cast<LONG_PTR>(SS_TYPEMASK);
  style |= alignment == TextAlignment::Center  ? SS_CENTER
           : alignment == TextAlignment::Right ? SS_RIGHT
                                               : SS_LEFT;
  SetWindowLongPtrA(window, GWL_STYLE, style);
  InvalidateRect(window, nullptr, TRUE);
}

void Control::SetBounds(const Bounds& bounds) {
  HWND window = static_cast<HWND>(handle_);
  if (IsTopLevelKind(kind_)) {
    const SIZE outer = OuterSize(window, bounds.width, bounds.height);
    SetWindowPos(window, nullptr, bounds.left, bounds.top, outer.cx, outer.cy,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  SetWindowPos(impl_->Frame(), nullptr, bounds.left, bounds.top, bounds.width, bounds.height,
               SWP_NOZORDER | SWP_NOACTIVATE);
  if (impl_->host)
    SetWindowPos(window, nullptr, 0, 0, bounds.width, bounds.height, SWP_NOZORDER | SWP_NOACTIVATE);
  if (kind_ == ControlKind::ComboBox) impl_->FitComboList();
}

Bounds Control::GetBounds() const {
  return WindowBounds(handle_);
}

void Control::SetPosition(int32_t left, int32_t top) {
  SetWindowPos(impl_->Frame(), nullptr, left, top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Control::SetClientSize(int32_t width, int32_t height) {
  if (IsTopLevelKind(kind_)) {
    const SIZE outer = OuterSize(static_cast<HWND>(handle_), width, height);
    SetWindowPos(static_cast<HWND>(handle_), nullptr, 0, 0, outer.cx, outer.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    return;
  }
  Bounds bounds = GetBounds();
  bounds.width = width;
  bounds.height = height;
  SetBounds(bounds);
}

Bounds Control::ClientArea() const {
  return WindowClientArea(handle_);
}

void Control::Show() {
  ShowWindow(impl_->Frame(), IsTopLevelKind(kind_) ? SW_SHOWNORMAL : SW_SHOW);
}

void Control::Hide() {
  ShowWindow(impl_->Frame(), SW_HIDE);
  // A hidden window can no longer be closed by anyone: its modal run ends.
  if (impl_->modal) impl_->modal->ended = true;
}

bool Control::Visible() const {
  return WindowVisible(handle_);
}

void Control::BringToFront() {
  HWND window = static_cast<HWND>(handle_);
  ShowWindow(window, SW_SHOW);
  SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetForegroundWindow(window);
}

void Control::CentreOnScreen() {
  HWND window = static_cast<HWND>(handle_);
  RECT outer;
  GetWindowRect(window, &outer);
  const int width = outer.right - outer.left, height = outer.bottom - outer.top;
  SetPosition((GetSystemMetrics(SM_CXSCREEN) - width) / 2,
              (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
}

void Control::SetTabOrder(int32_t order) {
  // Tab order is the order of the siblings, first on top.
  HWND frame = impl_->Frame();
  HWND parent = GetParent(frame);
  if (!parent || IsTopLevelKind(kind_)) return;
  std::vector<HWND> siblings;
  for (HWND s = GetWindow(parent, GW_CHILD); s; s = GetWindow(s, GW_HWNDNEXT))
    if (s != frame) siblings.push_back(s);
  const auto position = std::clamp<int64_t>(order, 0, static_cast<int64_t>(siblings.size()));
  HWND after = position == 0 ? HWND_TOP : siblings[position - 1];
  SetWindowPos(frame, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Control::ClearItems() {
  if (kind_ != ControlKind::ComboBox) return;
  SendMessageA(static_cast<HWND>(handle_), CB_RESETCONTENT, 0, 0);
  impl_->FitComboList();
}

void Control::AddItem(const std::string& text) {
  if (kind_ != ControlKind::ComboBox) return;
  SendMessageA(static_cast<HWND>(handle_), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  impl_->FitComboList();
}

void Control::SetItems(const std::vector<std::string>& items) {
  if (kind_ != ControlKind::ComboBox) return;
  HWND window = static_cast<HWND>(handle_);
  SendMessageA(window, CB_RESETCONTENT, 0, 0);
  for (const std::string& item : items)
    SendMessageA(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
  impl_->FitComboList();
}

std::vector<std::string> Control::Items() const {
  return WindowItems(handle_);
}
int32_t Control::SelectedIndex() const {
  return WindowSelectedIndex(handle_);
}

void Control::SetSelectedIndex(int32_t index) {
  if (kind_ != ControlKind::ComboBox) return;
  HWND window = static_cast<HWND>(handle_);
  const auto count = static_cast<int32_t>(SendMessageA(window, CB_GETCOUNT, 0, 0));
  SendMessageA(window, CB_SETCURSEL, index >= 0 && index < count ? index : -1, 0);
}

void Control::SetRange(int32_t minimum, int32_t maximum) {
  HWND window = static_cast<HWND>(handle_);
  maximum = std::max(minimum, maximum);
  if (kind_ == ControlKind::TrackBar) {
    SendMessageA(window, TBM_SETRANGEMIN, FALSE, minimum);
    SendMessageA(window, TBM_SETRANGEMAX, TRUE, maximum);
    const int64_t span = int64_t{maximum} - minimum;
    SendMessageA(window, TBM_SETTICFREQ, static_cast<WPARAM>(std::max<int64_t>(1, span / 10)), 0);
    SetValue(Value());
  } else if (kind_ == ControlKind::ScrollBar) {
    const int32_t value = Value();
    SetScrollRange(window, SB_CTL, minimum, maximum, FALSE);
    SetValue(value);
  }
}

int32_t Control::Minimum() const {
  HWND window = static_cast<HWND>(handle_);
  if (kind_ == ControlKind::TrackBar)
    return static_cast<int32_t>(SendMessageA(window, TBM_GETRANGEMIN, 0, 0));
  if (kind_ != ControlKind::ScrollBar) return 0;
  int minimum = 0, maximum = 0;
  GetScrollRange(window, SB_CTL, &minimum, &maximum);
  return minimum;
}

int32_t Control::Maximum() const {
  HWND window = static_cast<HWND>(handle_);
  if (kind_ == ControlKind::TrackBar)
    return static_cast<int32_t>(SendMessageA(window, TBM_GETRANGEMAX, 0, 0));
  if (kind_ != ControlKind::ScrollBar) return 0;
  int minimum = 0, maximum = 0;
  GetScrollRange(window, SB_CTL, &minimum, &maximum);
  return maximum;
}

void Control::SetValue(int32_t value) {
  if (kind_ != ControlKind::TrackBar && kind_ != ControlKind::ScrollBar) return;
  HWND window = static_cast<HWND>(handle_);
  value = std::clamp(value, Minimum(), Maximum());
  if (kind_ == ControlKind::TrackBar)
    SendMessageA(window, TBM_SETPOS, TRUE, value);
  else
    SetScrollPos(window, SB_CTL, value, TRUE);
  impl_->last_value = value;
}

int32_t Control::Value() const {
  return WindowValue(handle_);
}

void Control::SetPageSize(int32_t page) {
  impl_->page = std::max(1, page);
  if (kind_ == ControlKind::TrackBar)
    SendMessageA(static_cast<HWND>(handle_), TBM_SETPAGESIZE, 0, impl_->page);
}

void Control::SetMeterBars(const std::vector<MeterBar>& bars) {
  if (kind_ != ControlKind::LevelMeter || bars == impl_->bars) return;
  impl_->bars = bars;
  InvalidateRect(static_cast<HWND>(handle_), nullptr, FALSE);
}

std::vector<MeterBar> Control::MeterBars() const {
  return impl_->bars;
}

void Control::SetMeterMarks(const std::vector<MeterMark>& marks) {
  if (kind_ != ControlKind::LevelMeter) return;
  impl_->marks = marks;
  InvalidateRect(static_cast<HWND>(handle_), nullptr, FALSE);
}

void Control::SetChecked(bool checked) {
  if (kind_ != ControlKind::CheckBox) return;
  SendMessageA(static_cast<HWND>(handle_), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool Control::Checked() const {
  return WindowChecked(handle_);
}

void Control::StartTimer(uint32_t interval_ms, std::function<void()> handler) {
  impl_->timer_handler = std::move(handler);
  SetTimer(static_cast<HWND>(handle_), kTimerId, std::max<UINT>(USER_TIMER_MINIMUM, interval_ms),
           &TimerProcedure);
}

void Control::StopTimer() {
  KillTimer(static_cast<HWND>(handle_), kTimerId);
  impl_->timer_handler = nullptr;
}

// ---- modal runs: the dialog boxes of the system's loops ---------------------------------

namespace {

// Finds the window of a run that runs the system's loop: the dialog box it makes.
class HookedDialogWatch final : public ModalDialogWatch {
 public:
  HookedDialogWatch()
      : hook_(SetWindowsHookExA(WH_CBT, &WatchDialogCreation, nullptr, GetCurrentThreadId())) {}
  ~HookedDialogWatch() override {
    if (hook_) UnhookWindowsHookEx(hook_);
  }
  HookedDialogWatch(const HookedDialogWatch&) = delete;
  HookedDialogWatch& operator=(const HookedDialogWatch&) = delete;

  void CloseDialog() override {
    // The box's own loop takes the request once the caller has returned to it.
    if (dialog_ && IsWindow(dialog_)) PostMessageA(dialog_, WM_CLOSE, 0, 0);
  }

 private:
  static LRESULT CALLBACK WatchDialogCreation(int code, WPARAM wparam, LPARAM lparam) noexcept {
    if (code == HCBT_CREATEWND) {
      HWND created = reinterpret_cast<HWND>(wparam);
      // Every watch of this side is one of these; the first box of the innermost run is its.
      if (HasClass(created, "#32770"))
        if (auto* watch = static_cast<HookedDialogWatch*>(InnermostModalDialogWatch());
            watch && !watch->dialog_)
          watch->dialog_ = created;
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
  }

  HHOOK hook_;
  HWND dialog_ = nullptr;
};

}  // namespace

std::unique_ptr<ModalDialogWatch> WatchForModalDialog() {
  return std::make_unique<HookedDialogWatch>();
}

void PinThisModule() {
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&PinThisModule), &pinned);
}

void Control::ShowModal() {
  if (!IsTopLevelKind(kind_) || impl_->modal || !impl_->window_alive) return;
  // Locals only: the window's object may be gone when the run ends.
  HWND window = static_cast<HWND>(handle_);
  ModalRun run;
  Impl* impl = impl_.get();
  // Ended from outside as by the close button, unless the window went meanwhile.
  const ModalScope scope([&run, impl, window] {
    if (!run.ended && !run.destroyed && RecordOf(window) == impl) impl->Close();
    run.ended = true;
  });
  if (!scope.Admitted()) return;
  HWND owner = GetWindow(window, GW_OWNER);
  const bool disable_owner = owner && IsWindowEnabled(owner);
  impl_->modal = &run;
  if (disable_owner) EnableWindow(owner, FALSE);
  ShowWindow(window, SW_SHOWNORMAL);
  // As a dialog box does, the window opens with its first control focused: the keys work
  // at once, and Tab goes on to the second.
  if (!IsChild(window, GetFocus()))
    if (HWND first = GetNextDlgTabItem(window, nullptr, FALSE)) SetFocus(first);
  PostMessageA(window, kModalStartedMessage, 0, 0);
  bool quit = false;
  WPARAM quit_code = 0;
  while (!run.ended) {
    MSG message;
    const BOOL got = GetMessageA(&message, nullptr, 0, 0);
    if (got == 0) {
      quit = true;
      quit_code = message.wParam;
      break;
    }
    if (got < 0) break;
    // Tab and the arrow keys move between the window's controls; keys meant for a foreign
    // window inside it (an effect's editor) reach that window untouched.
    if (message.hwnd && RecordOf(message.hwnd) &&
        (message.hwnd == window || IsChild(window, message.hwnd)) &&
        IsDialogMessageA(window, &message))
      continue;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  // The owner takes the input back before the window hides, so it becomes active again.
  if (disable_owner) EnableWindow(owner, TRUE);
  if (!run.destroyed) {
    impl_->modal = nullptr;
    ShowWindow(window, SW_HIDE);
  }
  // The application's loop is the one that ends on this.
  if (quit) PostQuitMessage(static_cast<int>(quit_code));
}

Control* Control::FindChild(const std::string& name) const {
  Impl* found = RecordOf(static_cast<HWND>(FindNamedWindow(handle_, name)));
  return found ? found->self : nullptr;
}

namespace {

std::mutex g_release_mutex;
std::map<UINT_PTR, Control*> g_releases;

void CALLBACK ReleaseProcedure(HWND, UINT, UINT_PTR timer, DWORD) noexcept {
  KillTimer(nullptr, timer);
  Control* control = nullptr;
  {
    std::lock_guard lock(g_release_mutex);
    auto found = g_releases.find(timer);
    if (found == g_releases.end()) return;
    control = found->second;
    g_releases.erase(found);
  }
  try {
    delete control;
  } catch (...) {
  }
}

}  // namespace

void Control::ReleaseLater(std::unique_ptr<Control> control) {
  if (!control) return;
  // A thread timer: any message loop of the thread runs it once the current handler is done.
  std::lock_guard lock(g_release_mutex);
  const UINT_PTR timer = SetTimer(nullptr, 0, 0, &ReleaseProcedure);
  // Without a timer it stays: deleting it now would pull it from under the running handler.
  Control* pending = control.release();
  if (timer) g_releases[timer] = pending;
}

namespace {

struct NameSearch {
  const std::string* name;
  HWND found;
};

BOOL CALLBACK MatchName(HWND window, LPARAM context) noexcept {
  auto* search = reinterpret_cast<NameSearch*>(context);
  const char* name = NameOf(window);
  if (name && *search->name == name) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

NativeWindow FindNamedWindow(NativeWindow root, const std::string& name) {
  if (!root) return nullptr;
  NameSearch search{&name, nullptr};
  EnumChildWindows(static_cast<HWND>(root), &MatchName, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string WindowName(NativeWindow window) {
  if (!window) return {};
  const char* name = NameOf(static_cast<HWND>(window));
  return name ? name : "";
}

std::string WindowCaption(NativeWindow window) {
  HWND w = static_cast<HWND>(window);
  const int length = GetWindowTextLengthA(w);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length) + 1, '\0');
  text.resize(static_cast<size_t>(GetWindowTextA(w, text.data(), length + 1)));
  return text;
}

Bounds WindowBounds(NativeWindow window) {
  HWND w = static_cast<HWND>(window);
  RECT outer;
  if (!w || !GetWindowRect(w, &outer)) return {};
  if (!IsChildWindow(w)) {
    RECT client;
    GetClientRect(w, &client);
    return {outer.left, outer.top, client.right, client.bottom};
  }
  HWND frame = FrameOf(w);
  RECT frame_rect;
  GetWindowRect(frame, &frame_rect);
  POINT corner{frame_rect.left, frame_rect.top};
  ScreenToClient(GetParent(frame), &corner);
  return {corner.x, corner.y, outer.right - outer.left, outer.bottom - outer.top};
}

Bounds WindowClientArea(NativeWindow window) {
  RECT client;
  if (!window || !GetClientRect(static_cast<HWND>(window), &client)) return {};
  return {0, 0, client.right, client.bottom};
}

bool WindowVisible(NativeWindow window) {
  return window && IsWindowVisible(static_cast<HWND>(window));
}

// The automation below tells the parent what the control would tell it, by the system's own
// notifications, so that it works for any module's windows.
void ActivateWindow(NativeWindow top_level) {
  HWND w = static_cast<HWND>(top_level);
  if (!w || !IsWindow(w) || IsChildWindow(w)) return;
  SetActiveWindow(w);
}

void ClickWindow(NativeWindow button) {
  HWND w = static_cast<HWND>(button);
  if (!w || !IsWindow(w) || !IsWindowEnabled(w) || !HasClass(w, "Button")) return;
  const LONG_PTR type = GetWindowLongPtrA(w, GWL_STYLE) & BS_TYPEMASK;
  if (type == BS_AUTOCHECKBOX) {
    // The box turns over first, as under the user's click.
    const bool checked = SendMessageA(w, BM_GETCHECK, 0, 0) == BST_CHECKED;
    SendMessageA(w, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
  } else if (type != BS_PUSHBUTTON && type != BS_DEFPUSHBUTTON) {
    return;
  }
  SendMessageA(GetParent(w), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(w), BN_CLICKED),
               reinterpret_cast<LPARAM>(w));
}

void ClickMeterBar(NativeWindow level_meter, int32_t index) {
  HWND w = static_cast<HWND>(level_meter);
  if (!w || !IsWindow(w) || !HasClass(w, kMeterClass) || index < 0) return;
  const LRESULT point = SendMessageA(w, kMeterBarPointMessage, static_cast<WPARAM>(index), 0);
  if (point == -1) return;
  SendMessageA(w, WM_LBUTTONDOWN, MK_LBUTTON, point);
  SendMessageA(w, WM_LBUTTONUP, 0, point);
}

bool WindowChecked(NativeWindow check_box) {
  HWND w = static_cast<HWND>(check_box);
  if (!w || !IsWindow(w) || !HasClass(w, "Button")) return false;
  return SendMessageA(w, BM_GETCHECK, 0, 0) == BST_CHECKED;
}

void SelectWindowItem(NativeWindow combo_box, int32_t index) {
  HWND w = static_cast<HWND>(combo_box);
  if (!w || !IsWindow(w) || !HasClass(w, "ComboBox")) return;
  const auto count = static_cast<int32_t>(SendMessageA(w, CB_GETCOUNT, 0, 0));
  if (index < 0 || index >= count) return;
  SendMessageA(w, CB_SETCURSEL, index, 0);
  SendMessageA(GetParent(w), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(w), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(w));
}

std::vector<std::string> WindowItems(NativeWindow combo_box) {
  HWND w = static_cast<HWND>(combo_box);
  std::vector<std::string> items;
  if (!w || !HasClass(w, "ComboBox")) return items;
  const auto count = static_cast<int>(SendMessageA(w, CB_GETCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    const auto length = static_cast<int>(SendMessageA(w, CB_GETLBTEXTLEN, i, 0));
    std::string text(static_cast<size_t>(std::max(length, 0)) + 1, '\0');
    const auto copied =
        static_cast<int>(SendMessageA(w, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data())));
    text.resize(static_cast<size_t>(std::max(copied, 0)));
    items.push_back(std::move(text));
  }
  return items;
}

int32_t WindowSelectedIndex(NativeWindow combo_box) {
  HWND w = static_cast<HWND>(combo_box);
  if (!w || !HasClass(w, "ComboBox")) return -1;
  const auto index = static_cast<int32_t>(SendMessageA(w, CB_GETCURSEL, 0, 0));
  return index < 0 ? -1 : index;
}

void MoveWindowValue(NativeWindow control, int32_t value) {
  HWND w = static_cast<HWND>(control);
  if (!w || !IsWindow(w) || !IsWindowEnabled(w)) return;
  if (HasClass(w, TRACKBAR_CLASSA)) {
    SendMessageA(w, TBM_SETPOS, TRUE, value);
    const auto position = static_cast<int32_t>(SendMessageA(w, TBM_GETPOS, 0, 0));
    SendMessageA(GetParent(w), WM_HSCROLL, MAKEWPARAM(TB_THUMBPOSITION, position & 0xFFFF),
                 reinterpret_cast<LPARAM>(w));
  } else if (HasClass(w, "ScrollBar")) {
    // With the bar not tracking, the thumb position it reports is the position just set.
    SetScrollPos(w, SB_CTL, value, TRUE);
    const int position = GetScrollPos(w, SB_CTL);
    SendMessageA(GetParent(w), WM_HSCROLL, MAKEWPARAM(SB_THUMBPOSITION, position & 0xFFFF),
                 reinterpret_cast<LPARAM>(w));
  }
}

int32_t WindowValue(NativeWindow control) {
  HWND w = static_cast<HWND>(control);
  if (!w) return 0;
  if (HasClass(w, TRACKBAR_CLASSA)) return static_cast<int32_t>(SendMessageA(w, TBM_GETPOS, 0, 0));
  if (HasClass(w, "ScrollBar")) return GetScrollPos(w, SB_CTL);
  return 0;
}

void CloseWindowLater(NativeWindow top_level) {
  if (top_level) PostMessageA(static_cast<HWND>(top_level), WM_CLOSE, 0, 0);
}

void SetModalHandler(ModalHandler handler) {
  g_modal_handler = handler;
}

bool CaptureWindowImage(NativeWindow top_level, const std::string& bmp_path) {
  HWND window = static_cast<HWND>(top_level);
  RECT outer;
  if (!window || !GetWindowRect(window, &outer)) return false;
  const int width = outer.right - outer.left, height = outer.bottom - outer.top;
  if (width <= 0 || height <= 0) return false;
  // Whatever is pending is painted first, so the picture shows the current state.
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  // A system that draws windows off the screen first hands the painting on once the thread
  // waits; a wait of no time does, without running any message.
  MsgWaitForMultipleObjectsEx(0, nullptr, 0, QS_ALLINPUT, 0);

  BITMAPINFOHEADER header{};
  header.biSize = sizeof header;
  header.biWidth = width;
  header.biHeight = height;  // bottom-up rows, as a BMP file stores them
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  header.biSizeImage = stride * static_cast<DWORD>(height);

  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  bool copied = false;
  if (bitmap && memory) {
    HGDIOBJ previous = SelectObject(memory, bitmap);
    copied = BitBlt(memory, 0, 0, width, height, screen, outer.left, outer.top,
                    SRCCOPY | CAPTUREBLT) != 0;
    GdiFlush();
    SelectObject(memory, previous);
  }
  bool written = false;
  if (copied) {
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof header;
    file.bfSize = file.bfOffBits + header.biSizeImage;
    std::ofstream out(bmp_path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(static_cast<const char*>(bits), header.biSizeImage);
    written = static_cast<bool>(out);
  }
  if (bitmap) DeleteObject(bitmap);
  if (memory) DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return written;
}

}  // namespace platform
