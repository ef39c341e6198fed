#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "crossover/crossover_editor.h"
#include "crossover/crossover_effect.h"

namespace crossover {

namespace {

constexpr const char* kClassName = TCrossoverEditor::kClassName;
constexpr int kControlBase = TCrossoverEditor::kControlBase;
constexpr int kTextBase = TCrossoverEditor::kTextBase;
constexpr RECT kPlot = {10, 10, TCrossoverEditor::kWidth - 10, 200};
constexpr double kPlotTopDb = 12.0, kPlotBottomDb = -36.0;
constexpr COLORREF kBandColours[kBandCount] = {RGB(220, 50, 47), RGB(60, 160, 60),
                                               RGB(38, 110, 210), RGB(230, 140, 20)};
int g_open_editors = 0;

HINSTANCE Module() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&Module), &module);
  return module;
}

// Scroll bar resolution of a parameter: one step per displayed unit where it is sensible.
int Steps(int index) {
  if (index >= kParamFirstFrequency && index < kParamFirstBand) return 1000;
  if ((index - kParamFirstBand) % kParamsPerBand == kBandGain) return 360;
  return 2000;
}

bool IsScrolled(int index) {
  if (index >= kParamFirstFrequency && index < kParamFirstBand) return true;
  const int which = (index - kParamFirstBand) % kParamsPerBand;
  return index >= kParamFirstBand && (which == kBandGain || which == kBandDelay);
}

HWND Make(HWND parent, const char* cls, const char* text, DWORD style, int x, int y, int w, int h,
          int id) {
  HWND control =
      CreateWindowExA(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), Module(), nullptr);
  SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
               TRUE);
  return control;
}

void MakeScrolled(HWND parent, int index, const char* caption, int x, int y, int label_w, int bar_w,
                  int text_w) {
  Make(parent, "STATIC", caption, 0, x, y + 2, label_w, 16, -1);
  HWND bar =
      Make(parent, "SCROLLBAR", "", SBS_HORZ, x + label_w, y, bar_w, 16, kControlBase + index);
  SetScrollRange(bar, SB_CTL, 0, Steps(index), FALSE);
  Make(parent, "STATIC", "", 0, x + label_w + bar_w + 4, y + 2, text_w, 16, kTextBase + index);
}

// The caption and the value on one row, the bar across the whole width below them: a band's
// column is too narrow for all three side by side and a bar still fine enough to drag.
void MakeStacked(HWND parent, int index, const char* caption, int x, int y, int width) {
  Make(parent, "STATIC", caption, 0, x, y, 36, 16, -1);
  Make(parent, "STATIC", "", 0, x + 40, y, width - 40, 16, kTextBase + index);
  HWND bar = Make(parent, "SCROLLBAR", "", SBS_HORZ, x, y + 18, width, 16, kControlBase + index);
  SetScrollRange(bar, SB_CTL, 0, Steps(index), FALSE);
}

void BuildControls(HWND window) {
  Make(window, "STATIC", "Bands", 0, 10, 214, 40, 16, -1);
  HWND bands = Make(window, "COMBOBOX", "", CBS_DROPDOWNLIST | WS_VSCROLL, 55, 210, 60, 120,
                    kControlBase + kParamBands);
  for (const char* text : {"2", "3", "4"}) SendMessageA(bands, CB_ADDSTRING, 0, LPARAM(text));
  for (int x = 0; x < kCrossoverCount; ++x) {
    const std::string caption = "Crossover " + std::to_string(x + 1);
    MakeScrolled(window, kParamFirstFrequency + x, caption.c_str(), 130, 212 + 24 * x, 75, 340, 70);
  }
  for (int b = 0; b < kBandCount; ++b) {
    const int left = 10 + b * 155;
    const std::string caption = "Band " + std::to_string(b + 1);
    Make(window, "STATIC", caption.c_str(), 0, left, 288, 80, 16, -1);
    MakeStacked(window, BandParam(b, kBandGain), "Gain", left, 308, 140);
    MakeStacked(window, BandParam(b, kBandDelay), "Delay", left, 348, 140);
    Make(window, "BUTTON", "Invert", BS_AUTOCHECKBOX, left, 392, 60, 18,
         kControlBase + BandParam(b, kBandPolarity));
    Make(window, "BUTTON", "Mute", BS_AUTOCHECKBOX, left + 70, 392, 60, 18,
         kControlBase + BandParam(b, kBandMute));
  }
}

int ScrolledPosition(HWND bar, WPARAM request, int steps) {
  int position = GetScrollPos(bar, SB_CTL);
  switch (LOWORD(request)) {
    case SB_LINELEFT:
      --position;
      break;
    case SB_LINERIGHT:
      ++position;
      break;
    case SB_PAGELEFT:
      position -= steps / 20;
      break;
    case SB_PAGERIGHT:
      position += steps / 20;
      break;
    case SB_LEFT:
      position = 0;
      break;
    case SB_RIGHT:
      position = steps;
      break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION:
      position = HIWORD(request);
      break;
    default:
      break;
  }
  return std::clamp(position, 0, steps);
}

LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(window, GWLP_USERDATA, LONG_PTR(create->lpCreateParams));
  }
  auto* editor = reinterpret_cast<TCrossoverEditor*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  switch (message) {
    case WM_HSCROLL: {
      HWND bar = reinterpret_cast<HWND>(lparam);
      const int index = GetDlgCtrlID(bar) - kControlBase;
      if (!editor || index < 0 || index >= kParamCount) break;
      const int position = ScrolledPosition(bar, wparam, Steps(index));
      SetScrollPos(bar, SB_CTL, position, TRUE);
      editor->UserChanged(index, float(position) / Steps(index));
      return 0;
    }
    case WM_COMMAND: {
      const int index = LOWORD(wparam) - kControlBase;
      if (!editor || index < 0 || index >= kParamCount) break;
      HWND control = reinterpret_cast<HWND>(lparam);
      if (index == kParamBands && HIWORD(wparam) == CBN_SELCHANGE) {
        const int selected = int(SendMessageA(control, CB_GETCURSEL, 0, 0));
        editor->UserChanged(index, ValueForBandCount(selected + 2));
      } else if (HIWORD(wparam) == BN_CLICKED) {
        editor->UserChanged(index, SendMessageA(control, BM_GETCHECK, 0, 0) == BST_CHECKED);
      }
      return 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      if (editor) editor->Paint(dc);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_ERASEBKGND: {
      RECT all;
      GetClientRect(window, &all);
      FillRect(reinterpret_cast<HDC>(wparam), &all, GetSysColorBrush(COLOR_BTNFACE));
      return 1;
    }
    default:
      break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

void DrawPlot(HDC dc, const TCrossoverSettings& settings, double sample_rate) {
  const int width = kPlot.right - kPlot.left, height = kPlot.bottom - kPlot.top;
  const auto x_of = [&](double hz) {
    return kPlot.left + int(std::lround(width * std::log10(hz / 20.0) / 3.0));
  };
  const auto y_of = [&](double db) {
    db = std::clamp(db, kPlotBottomDb, kPlotTopDb);
    return kPlot.top + int(std::lround(height * (kPlotTopDb - db) / (kPlotTopDb - kPlotBottomDb)));
  };
  FillRect(dc, &kPlot, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  HPEN grid = CreatePen(PS_SOLID, 1, RGB(215, 215, 215));
  HGDIOBJ old_pen = SelectObject(dc, grid);
  for (double hz : {50.0, 100.0, 200.0, 500.0, 1000.0, 2000.0, 5000.0, 10000.0}) {
    MoveToEx(dc, x_of(hz), kPlot.top, nullptr);
    LineTo(dc, x_of(hz), kPlot.bottom);
  }
  for (double db = kPlotTopDb; db >= kPlotBottomDb; db -= 12.0) {
    MoveToEx(dc, kPlot.left, y_of(db), nullptr);
    LineTo(dc, kPlot.right, y_of(db));
  }
  SetBkMode(dc, TRANSPARENT);
  SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  for (const auto& [hz, text] : {std::pair{100.0, "100"}, {1000.0, "1k"}, {10000.0, "10k"}})
    TextOutA(dc, x_of(hz) + 2, kPlot.bottom - 14, text, int(std::strlen(text)));
  for (double db = kPlotTopDb - 12.0; db > kPlotBottomDb; db -= 12.0) {
    const std::string text = std::to_string(int(db)) + " dB";
    TextOutA(dc, kPlot.left + 3, y_of(db) + 1, text.c_str(), int(text.size()));
  }
  for (int b = 0; b < settings.band_count; ++b) {
    HPEN pen = CreatePen(PS_SOLID, 2, kBandColours[b]);
    SelectObject(dc, pen);
    for (int x = 0; x < width; ++x) {
      const double hz = 20.0 * std::pow(1000.0, double(x) / width);
      const double magnitude = BandMagnitude(settings, b, hz, sample_rate);
      const int y = y_of(20.0 * std::log10(std::max(magnitude, 1e-6)));
      if (x == 0)
        MoveToEx(dc, kPlot.left, y, nullptr);
      else
        LineTo(dc, kPlot.left + x, y);
    }
    SelectObject(dc, grid);
    DeleteObject(pen);
  }
  SelectObject(dc, old_pen);
  DeleteObject(grid);
  FrameRect(dc, &kPlot, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
}

}  // namespace

bool TCrossoverEditor::Open(void* parent) {
  Close();
  if (!parent) return false;
  if (g_open_editors == 0) {
    WNDCLASSA window_class = {};
    window_class.lpfnWndProc = EditorProc;
    window_class.hInstance = Module();
    window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
    window_class.lpszClassName = kClassName;
    if (!RegisterClassA(&window_class)) return false;
  }
  ++g_open_editors;
  HWND window =
      CreateWindowExA(0, kClassName, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0, kWidth,
                      kHeight, static_cast<HWND>(parent), nullptr, Module(), this);
  if (!window) {
    if (--g_open_editors == 0) UnregisterClassA(kClassName, Module());
    return false;
  }
  window_ = window;
  BuildControls(window);
  Show(effect_.Values());
  return true;
}

void TCrossoverEditor::Close() {
  if (!window_) return;
  DestroyWindow(static_cast<HWND>(window_));
  window_ = nullptr;
  // The class goes with the last window: a reloaded library registers its own procedure.
  if (--g_open_editors == 0) UnregisterClassA(kClassName, Module());
}

void TCrossoverEditor::Idle() {
  if (!window_) return;
  const TParamValues values = effect_.Values();
  if (values != shown_) Show(values);
}

void TCrossoverEditor::UserChanged(int index, float value) {
  effect_.EditParameter(index, value);
  Show(effect_.Values());
}

void TCrossoverEditor::Show(const TParamValues& values) {
  HWND window = static_cast<HWND>(window_);
  for (int index = 0; index < kParamCount; ++index) {
    HWND control = GetDlgItem(window, kControlBase + index);
    if (index == kParamBands) {
      SendMessageA(control, CB_SETCURSEL, BandCountFromValue(values[index]) - 2, 0);
    } else if (IsScrolled(index)) {
      SetScrollPos(control, SB_CTL, int(std::lround(values[index] * Steps(index))), TRUE);
      const std::string text = ParamDisplay(index, values[index]) + " " + ParamUnit(index);
      SetDlgItemTextA(window, kTextBase + index, text.c_str());
    } else {
      SendMessageA(control, BM_SETCHECK, values[index] >= 0.5f ? BST_CHECKED : BST_UNCHECKED, 0);
    }
  }
  shown_ = values;
  InvalidateRect(window, &kPlot, FALSE);
}

void TCrossoverEditor::Paint(void* dc) {
  // Drawn off screen first, so that the plot does not flicker while a control moves.
  HDC target = static_cast<HDC>(dc);
  HDC buffer = CreateCompatibleDC(target);
  HBITMAP bitmap = CreateCompatibleBitmap(target, kWidth, kHeight);
  HGDIOBJ old_bitmap = SelectObject(buffer, bitmap);
  DrawPlot(buffer, SettingsFromValues(shown_), effect_.SampleRate());
  BitBlt(target, kPlot.left, kPlot.top, kPlot.right - kPlot.left, kPlot.bottom - kPlot.top, buffer,
         kPlot.left, kPlot.top, SRCCOPY);
  SelectObject(buffer, old_bitmap);
  DeleteObject(bitmap);
  DeleteDC(buffer);
}

}  // namespace crossover
