#pragma once

// The system's windows and controls, as far as the plug-in's two forms and the effect's
// parameter views need them. On Windows these are real windows of the system; elsewhere
// headless records that keep the same state and fire the same handlers when driven through
// the automation functions below, so that the portable code that lays them out and reacts to
// them runs in both builds.
//
// Every control belongs to the thread that created it: create, drive and destroy it there.
// Handlers run on that thread, from its message loop (any loop on Windows; elsewhere
// PumpMessages/WaitAndPumpMessages of platform/message_window.h, or the automation call).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A window of the system: HWND on Windows, the headless record elsewhere. Foreign code (an
// effect's editor) is given this as the window to open in.
using NativeWindow = void*;

enum class ControlKind : uint8_t {
  Form,        // top-level, caption and close button, fixed dialog border
  ToolWindow,  // top-level, small caption and close button, fixed tool-window border
  Panel,       // plain child area without bevel; may hold foreign child windows
  ToolBar,     // strip along its parent's top with a line along its bottom edge
  Label,       // static text
  Button,      // push button
  ComboBox,    // drop-down list without typing
  GroupBox,    // frame with a caption
  TrackBar,    // horizontal track bar
  ScrollBar,   // horizontal scroll bar
  LevelMeter,  // owner-drawn level bars (see MeterBar) with a line of text (the caption) below
  CheckBox,    // check box with its caption beside it; a click turns it over
};

enum class TextAlignment : uint8_t { Left, Center, Right };

// A rectangle: for a child in its parent's client coordinates; for a top-level window the
// outer left/top edge on the screen and the client area's width and height.
struct Bounds {
  int32_t left = 0;
  int32_t top = 0;
  int32_t width = 0;
  int32_t height = 0;
};

// One bar of a LevelMeter. Positions are fractions of the scale, 0 at its bottom, 1 at its
// top; the bar is green up to 0.8, yellow up to 0.95 and red above. The caption and the
// labels are UTF-8.
struct MeterBar {
  std::string label;
  float level = 0.0f;    // the current peak
  float hold = 0.0f;     // the held peak: a mark across the bar
  bool clipped = false;  // the clip marker at the bar's end is lit
  friend bool operator==(const MeterBar&, const MeterBar&) = default;
};

// A mark of a LevelMeter's scale: a line across the bars with its text above them.
struct MeterMark {
  float position = 0.0f;
  std::string text;
};

struct FontSpec {
  std::string face = "Tahoma";
  int32_t height = -11;  // negative: character height in pixels, as the system counts it
};

// The create functions throw std::invalid_argument for a kind that cannot stand there or a
// parent that is no window, std::runtime_error when the system cannot make the window.
class Control {
 public:
  // A top-level window (Form or ToolWindow), created hidden, owned by `owner` (may be null):
  // it stays above its owner and goes with it. Children take the window's font.
  static std::unique_ptr<Control> CreateTopLevel(ControlKind kind, const std::string& name,
                                                 const std::string& caption, NativeWindow owner,
                                                 const Bounds& bounds, const FontSpec& font = {});
  // A visible child of `parent`.
  static std::unique_ptr<Control> CreateChild(ControlKind kind, Control& parent,
                                              const std::string& name, const Bounds& bounds,
                                              const std::string& caption = {});
  // A visible child of a window this layer did not make (a caller's control).
  static std::unique_ptr<Control> CreateChildOf(ControlKind kind, NativeWindow parent,
                                                const std::string& name, const Bounds& bounds,
                                                const std::string& caption = {});
  // Destroys the control's window; its children's windows go with it, their objects only
  // stop working.
  virtual ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  NativeWindow Handle() const noexcept { return handle_; }
  ControlKind Kind() const noexcept { return kind_; }
  const std::string& Name() const noexcept { return name_; }

  // Window text, label text, button or group-box caption.
  void SetCaption(const std::string& text);
  std::string Caption() const;
  void SetAlignment(TextAlignment alignment);  // labels

  // On Windows a combo box is as high as its font makes its field, whatever height is asked.
  void SetBounds(const Bounds& bounds);
  Bounds GetBounds() const;
  // Top-level windows: the outer left/top edge on the screen.
  void SetPosition(int32_t left, int32_t top);
  // Resizes the client area; a top-level window grows its frame around it.
  void SetClientSize(int32_t width, int32_t height);
  Bounds ClientArea() const;  // left and top are 0

  void Show();
  void Hide();
  bool Visible() const;
  // Top-level windows: shown and brought in front of the other windows.
  void BringToFront();
  // Top-level windows: centred on the screen.
  void CentreOnScreen();
  // Position in the parent's tab order (0 first).
  void SetTabOrder(int32_t order);

  // Combo boxes. Setting the selection from code fires no handler; -1 selects nothing.
  void ClearItems();
  void AddItem(const std::string& text);
  void SetItems(const std::vector<std::string>& items);
  std::vector<std::string> Items() const;
  int32_t SelectedIndex() const;
  void SetSelectedIndex(int32_t index);

  // Track bars and scroll bars, which start with the range 0 to 100 at 0. The value stays in
  // the range. Setting the value from code fires no handler.
  void SetRange(int32_t minimum, int32_t maximum);
  int32_t Minimum() const;
  int32_t Maximum() const;
  void SetValue(int32_t value);
  int32_t Value() const;
  // Scroll bars: the step of a page click (track bars: of page up/down).
  void SetPageSize(int32_t page);

  // Level meters: the bars (in up to two columns of four and more rows) and the scale.
  void SetMeterBars(const std::vector<MeterBar>& bars);
  std::vector<MeterBar> MeterBars() const;
  void SetMeterMarks(const std::vector<MeterMark>& marks);

  // Check boxes. Setting the mark from code fires no handler.
  void SetChecked(bool checked);
  bool Checked() const;

  // Runs `handler` every `interval_ms` on the control's thread until stopped or destroyed.
  void StartTimer(uint32_t interval_ms, std::function<void()> handler);
  void StopTimer();

  // Top-level windows: shows the window modally (its owner disabled, its first control in
  // tab order focused) and returns once it is closed. The close handler runs first, then the
  // window hides. Hiding the window from code
  // ends the run too, without the close handler.
  void ShowModal();

  // The user's actions. Click: buttons, and check boxes once the mark has turned. Change: a
  // combo-box selection, a track-bar or scroll-bar move. Close: the close button of a top-level
  // window; afterwards the window hides (or, when modal, ends its modal run).
  std::function<void()> OnClick;
  std::function<void()> OnChange;
  std::function<void()> OnClose;
  // Level meters: a click on a bar, with its index. Panels: their size changed.
  std::function<void(int32_t)> OnBarClick;
  std::function<void()> OnResize;
  // Top-level windows: the window became the active one (Activate) or another took that
  // place (Deactivate).
  std::function<void()> OnActivate;
  std::function<void()> OnDeactivate;

  // The child (at any depth) with this name, or null.
  Control* FindChild(const std::string& name) const;

  // Destroys `control` once the current handler has returned: for a window whose own close
  // handler decides to let it go.
  static void ReleaseLater(std::unique_ptr<Control> control);

  struct Impl;

 protected:
  Control(ControlKind kind, std::string name);

 private:
  ControlKind kind_;
  std::string name_;
  NativeWindow handle_ = nullptr;
  std::unique_ptr<Impl> impl_;
};

// ---- Automation: what a user would do, by window, for tests and the player harness (which
// holds only window handles). Each acts on the window's thread, or posts there when called
// from another thread where noted.

// The window below `root` (at any depth) whose control name is `name`; null if none.
NativeWindow FindNamedWindow(NativeWindow root, const std::string& name);
// The name this layer gave the window; empty for other windows.
std::string WindowName(NativeWindow window);
std::string WindowCaption(NativeWindow window);
Bounds WindowBounds(NativeWindow window);  // as Control::GetBounds
Bounds WindowClientArea(NativeWindow window);
bool WindowVisible(NativeWindow window);
// Presses a button or turns a check box over (its click handler runs before this returns;
// a button that opens a modal window returns only when that window has closed).
void ClickWindow(NativeWindow button);
bool WindowChecked(NativeWindow check_box);
// Selects item `index` of a combo box as the user does (the change handler runs).
void SelectWindowItem(NativeWindow combo_box, int32_t index);
std::vector<std::string> WindowItems(NativeWindow combo_box);
int32_t WindowSelectedIndex(NativeWindow combo_box);
// Moves a track bar or scroll bar to `value` as the user does (the change handler runs).
void MoveWindowValue(NativeWindow control, int32_t value);
int32_t WindowValue(NativeWindow control);
// Clicks bar `index` of a level meter as the user does (the bar-click handler runs).
void ClickMeterBar(NativeWindow level_meter, int32_t index);
// Makes a top-level window the active one, as a click on it does (the activation handlers
// run).
void ActivateWindow(NativeWindow top_level);
// Asks a top-level window to close, as its close button does. Safe from any thread: it
// posts the request to the window's thread.
void CloseWindowLater(NativeWindow top_level);

// Called with the window each time a modal run starts (after the window shows), on the
// window's thread: lets a test act in a modal window and close it. Null restores the plain
// modal run (which waits for the user; headless, where there is none, the window closes as
// soon as the handler, if any, is done with it).
using ModalHandler = void (*)(Control& window);
void SetModalHandler(ModalHandler handler);

// ---- Modal runs: loops that wait for the user while the thread's other windows go on getting
// their messages, so that any caller's code may run inside one (a player's Quit too).
// ShowModal, ShowMessageBox and RunFileDialog are modal runs; a ModalScope makes one of a loop
// this layer does not run (a driver's control panel).

// A modal run of the calling thread while it exists.
class ModalScope {
 public:
  // `end` asks the run to end. Without one, the run's window is the first dialog box the
  // thread creates while the scope lasts, and ending the run asks it to close, as its close
  // button does.
  explicit ModalScope(std::function<void()> end = nullptr);
  ~ModalScope();
  ModalScope(const ModalScope&) = delete;
  ModalScope& operator=(const ModalScope&) = delete;

  // False while modal runs are refused (see EndModalRuns): the caller starts no loop.
  bool Admitted() const noexcept { return run_ != nullptr; }

  struct Run;

 private:
  std::unique_ptr<Run> run_;
};

// Modal runs in progress on the calling thread.
int32_t ModalRunDepth();
// Asks every modal run of the calling thread to end, the innermost first: a window in
// ShowModal closes as by its close button (its close handler runs before this returns), a
// dialog box is asked to close. Each run returns once the code above it on the stack has
// returned. From now on new runs are refused (they return at once, as cancelled) until
// AllowModalRuns. While a run is ended this way the module stays loaded to the end of the
// process: whoever unloads it once the caller returns must not pull its code from under the
// frames of the runs still on the stack.
void EndModalRuns();
void AllowModalRuns();

// Saves what the screen shows of a top-level window and its children, as a 24-bit BMP file.
// False where there is no screen (the headless side) or the file cannot be written.
bool CaptureWindowImage(NativeWindow top_level, const std::string& bmp_path);

}  // namespace platform
