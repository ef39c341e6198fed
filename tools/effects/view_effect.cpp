// Test effects for the host's editor hosting, one source for all of them: the kind is chosen
// at build time (PL_VIEW_EFFECT_KIND). They record what the host sends them (effect_log.h).
//   painter   an editor of its own: on Windows a real child window that paints the
//             parameters as bars and holds a label and a button, sized by effEditGetRect.
//             With PARTILOOM_PAINTER_GROW=<width>x<height> in its environment, the open
//             editor takes that size a moment later and asks the host for it, from a timer
//             of its window (on the editor's own thread, as a user's drag would)
//   knobs3    three parameters, no editor; display texts that need the value-label rules
//   knobs40   forty parameters, no editor, no vendor or product text
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/effects/effect_log.h"
#include "vst_host/vst_types.h"

#if defined(_WIN32)
#include <windows.h>
#define EFFECT_EXPORT extern "C" __declspec(dllexport)
#else
#define EFFECT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define KIND_PAINTER 1
#define KIND_KNOBS3 2
#define KIND_KNOBS40 3

namespace {

TEffectLog g_log;
AEffect g_effect;
audioMasterCallback g_host = nullptr;
// The window the host gave at effEditOpen, and the editor's own window in it.
void* g_editor_parent = nullptr;
void* g_editor_window = nullptr;

void Log(int32_t opcode, int32_t index, int64_t value, float opt) {
  if (g_log.count < kEffectLogCapacity) g_log.entries[g_log.count++] = {opcode, index, value, opt};
}

void CopyText(void* ptr, const char* text) {
  if (ptr) std::snprintf(static_cast<char*>(ptr), 64, "%s", text);
}

// ---- parameters ---------------------------------------------------------------------------
#if PL_VIEW_EFFECT_KIND == KIND_PAINTER
constexpr int kParamCount = 4;
const char* const kNames[kParamCount] = {"Drive", "Tone", "Level", "Mix"};
const char* const kUnits[kParamCount] = {"%", "", "dB", "%"};
#elif PL_VIEW_EFFECT_KIND == KIND_KNOBS3
constexpr int kParamCount = 3;
const char* const kNames[kParamCount] = {"Gain", "Level", "Cutoff Frequency"};
const char* const kUnits[kParamCount] = {"", "dB", "Hz"};
#else
constexpr int kParamCount = 40;
const char* const kBandNames[4] = {"Gain", "Frequency", "Q", "Shape"};
const char* const kBandUnits[4] = {"dB", "Hz", "", ""};
const char* const kShapes[3] = {"Bell", "Shelf", "Notch"};
#endif

float g_params[kParamCount];

void ParamName(int index, char* text) {
#if PL_VIEW_EFFECT_KIND == KIND_KNOBS40
  std::snprintf(text, 64, "Band %d %s", index / 4 + 1, kBandNames[index % 4]);
#else
  std::snprintf(text, 64, "%s", kNames[index]);
#endif
}

const char* ParamUnit(int index) {
#if PL_VIEW_EFFECT_KIND == KIND_KNOBS40
  return kBandUnits[index % 4];
#else
  return kUnits[index];
#endif
}

// Display texts as effects write them: mostly printf with its six default decimals.
void ParamDisplay(int index, char* text) {
  const float v = g_params[index];
#if PL_VIEW_EFFECT_KIND == KIND_PAINTER
  std::snprintf(text, 64, "%.1f", v * 100.0);
#elif PL_VIEW_EFFECT_KIND == KIND_KNOBS3
  if (index == 2)
    std::snprintf(text, 64, "%.7f", -247.0 * v);
  else
    std::snprintf(text, 64, "%f", 25.0 * v);
#else
  switch (index % 4) {
    case 0:
      std::snprintf(text, 64, "%f", 24.0 * v - 12.0);
      break;
    case 1:
      std::snprintf(text, 64, "%.1f", 20.0 + 19980.0 * v);
      break;
    case 2:
      std::snprintf(text, 64, "%.4f", 0.1 + 9.9 * v);
      break;
    default:
      std::snprintf(text, 64, "%s", kShapes[v < 0.34f ? 0 : v < 0.67f ? 1 : 2]);
      break;
  }
#endif
}

void VSTCALLBACK SetParameter(AEffect*, VstInt32 index, float value) {
  Log(kLogSetParameter, index, 0, value);
  if (index >= 0 && index < kParamCount) g_params[index] = value;
}

float VSTCALLBACK GetParameter(AEffect*, VstInt32 index) {
  return index >= 0 && index < kParamCount ? g_params[index] : 0.0f;
}

// ---- the editor ---------------------------------------------------------------------------
ERect g_editor_rect = MakeERect(0, 0, 360, 200);

#if defined(_WIN32) && PL_VIEW_EFFECT_KIND == KIND_PAINTER
constexpr char kEditorClass[] = "PartiloomTestPainter";
constexpr int kResetButton = 101;
constexpr UINT_PTR kGrowTimer = 1;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

// A background in steps from dark to light blue, one bar per parameter and its name.
void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT client;
  GetClientRect(window, &client);
  for (int y = 0; y < client.bottom; y += 8) {
    HBRUSH band = CreateSolidBrush(RGB(20, 40 + y / 2, 90 + y / 2));
    RECT stripe = {0, y, client.right, y + 8};
    FillRect(dc, &stripe, band);
    DeleteObject(band);
  }
  HGDIOBJ old_font = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, RGB(255, 255, 255));
  HBRUSH bar = CreateSolidBrush(RGB(255, 170, 40));
  for (int i = 0; i < kParamCount; ++i) {
    const int left = 30 + i * 80;
    const int height = static_cast<int>(g_params[i] * 100.0f);
    RECT filled = {left, 150 - height, left + 40, 150};
    FillRect(dc, &filled, bar);
    RECT caption = {left - 20, 154, left + 60, 170};
    DrawTextA(dc, kNames[i], -1, &caption, DT_CENTER | DT_SINGLELINE);
  }
  DeleteObject(bar);
  SelectObject(dc, old_font);
  EndPaint(window, &paint);
}

// The size PARTILOOM_PAINTER_GROW asks for; false without one.
bool GrowSize(int& width, int& height) {
  const char* setting = std::getenv("PARTILOOM_PAINTER_GROW");
  return setting && std::sscanf(setting, "%dx%d", &width, &height) == 2;
}

void Grow(HWND window) {
  int width = 0, height = 0;
  if (!GrowSize(width, height)) return;
  g_editor_rect = MakeERect(0, 0, static_cast<int16_t>(width), static_cast<int16_t>(height));
  SetWindowPos(window, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (g_host) g_host(&g_effect, audioMasterSizeWindow, width, height, nullptr, 0.0f);
}

LRESULT CALLBACK EditorProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_TIMER:
      if (wparam == kGrowTimer) {
        KillTimer(window, kGrowTimer);
        Grow(window);
      }
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == kResetButton) {
        for (float& value : g_params) value = 0.5f;
        InvalidateRect(window, nullptr, TRUE);
      }
      return 0;
    default:
      return DefWindowProcA(window, message, wparam, lparam);
  }
}

HWND AddChild(HWND parent, const char* type, const char* text, DWORD style, int x, int y, int w,
              int h, int id) {
  HWND child =
      CreateWindowExA(0, type, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                      reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), ThisModule(), nullptr);
  SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), 0);
  return child;
}

bool OpenEditor(void* parent) {
  WNDCLASSA type = {};
  type.lpfnWndProc = EditorProc;
  type.hInstance = ThisModule();
  type.hCursor = LoadCursor(nullptr, IDC_ARROW);
  type.lpszClassName = kEditorClass;
  RegisterClassA(&type);  // fails harmlessly when it is registered already
  HWND window = CreateWindowExA(0, kEditorClass, "", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                                g_editor_rect.right, g_editor_rect.bottom,
                                static_cast<HWND>(parent), nullptr, ThisModule(), nullptr);
  if (!window) return false;
  AddChild(window, "STATIC", "Partiloom test painter", SS_LEFT, 10, 10, 200, 16, 100);
  AddChild(window, "BUTTON", "Reset", BS_PUSHBUTTON, 280, 172, 70, 22, kResetButton);
  g_editor_window = window;
  int width = 0, height = 0;
  if (GrowSize(width, height)) SetTimer(window, kGrowTimer, 50, nullptr);
  return true;
}

void CloseEditor() {
  if (g_editor_window) DestroyWindow(static_cast<HWND>(g_editor_window));
  g_editor_window = nullptr;
  // The class points into this library, which the host may unload and load elsewhere.
  UnregisterClassA(kEditorClass, ThisModule());
}
#else
// Without a window system the editor is only the handle it was given.
bool OpenEditor(void* parent) {
  g_editor_window = parent;
  return true;
}
void CloseEditor() {
  g_editor_window = nullptr;
}
#endif

// ---- requests -----------------------------------------------------------------------------
VstIntPtr VSTCALLBACK Dispatcher(AEffect*, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                 void* ptr, float opt) {
  Log(opcode, index, value, opt);
  const bool valid_index = index >= 0 && index < kParamCount;
  switch (opcode) {
    case effGetParamName:
      if (valid_index && ptr) ParamName(index, static_cast<char*>(ptr));
      return 0;
    case effGetParamLabel:
      if (valid_index) CopyText(ptr, ParamUnit(index));
      return 0;
    case effGetParamDisplay:
      if (valid_index && ptr) ParamDisplay(index, static_cast<char*>(ptr));
      return 0;
    case effGetEffectName:
      CopyText(ptr, PL_VIEW_EFFECT_KIND == KIND_PAINTER  ? "Painter"
                    : PL_VIEW_EFFECT_KIND == KIND_KNOBS3 ? "Three Knobs"
                                                         : "Forty Knobs");
      return 1;
    case effGetVendorString:
      CopyText(ptr, PL_VIEW_EFFECT_KIND == KIND_PAINTER  ? "Partiloom Tests"
                    : PL_VIEW_EFFECT_KIND == KIND_KNOBS3 ? "Acme"
                                                         : "");
      return 1;
    case effGetProductString:
      CopyText(ptr, PL_VIEW_EFFECT_KIND == KIND_PAINTER  ? "Painter"
                    : PL_VIEW_EFFECT_KIND == KIND_KNOBS3 ? "Verb"
                                                         : "");
      return 1;
    case effEditGetRect:
      if (!ptr) return 0;
      *static_cast<ERect**>(ptr) = &g_editor_rect;
      return 1;
    case effEditOpen:
      g_editor_parent = ptr;
      return OpenEditor(ptr) ? 1 : 0;
    case effEditClose:
      CloseEditor();
      return 0;
    case effGetVstVersion:
      return 2400;
    case effGetPlugCategory:
      return vpcEffect;
    default:
      return 0;
  }
}

}  // namespace

EFFECT_EXPORT TEffectLog* TestEffectLog() {
  return &g_log;
}
EFFECT_EXPORT void TestEffectArm(uint32_t) {}
EFFECT_EXPORT void* TestEffectEditorParent() {
  return g_editor_parent;
}
EFFECT_EXPORT void* TestEffectEditorWindow() {
  return g_editor_window;
}

EFFECT_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) {
  std::memset(&g_effect, 0, sizeof g_effect);
  g_host = host;
  g_editor_rect = MakeERect(0, 0, 360, 200);
  for (int i = 0; i < kParamCount; ++i)
    g_params[i] =
        PL_VIEW_EFFECT_KIND == KIND_KNOBS40 ? static_cast<float>((i * 37) % 100) / 100.0f : 0.5f;
  g_editor_parent = nullptr;
  g_editor_window = nullptr;
  g_effect.magic = kEffectMagic;
  g_effect.dispatcher = Dispatcher;
  g_effect.setParameter = SetParameter;
  g_effect.getParameter = GetParameter;
  g_effect.numPrograms = 1;
  g_effect.numParams = kParamCount;
  g_effect.numInputs = 2;
  g_effect.numOutputs = 2;
  g_effect.flags = PL_VIEW_EFFECT_KIND == KIND_PAINTER ? 1 << effFlagsHasEditor : 0;
  g_effect.uniqueID = FourCharToLong("PlV0") + PL_VIEW_EFFECT_KIND;
  g_effect.version = 1;
  return &g_effect;
}
