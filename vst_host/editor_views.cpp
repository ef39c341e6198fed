// The effect item's user interface: the effect's own editor, the two parameter views and
// the item's own tool window.
#include "vst_host/editor_views.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "vst_host/vst_host.h"
#include "vst_host/vst_plugin.h"

namespace editor_views {

namespace {

// Advance widths of the printable ASCII characters (space to '~') in the views' font as
// the system draws it (hinted, so wider than the outlines suggest).
constexpr uint8_t kCharacterWidths[95] = {
    3, 3, 5, 8, 6, 12, 8, 3,  4,  4, 7, 9, 3, 4, 3, 4, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 3, 4, 8, 8,  8, 5,  10, 7, 7, 7, 7, 6, 6, 7, 8, 4, 5, 7, 6, 9, 8, 8,
    6, 8, 7, 6, 7, 7,  7, 10, 6,  7, 7, 4, 4, 4, 8, 6, 6, 7, 6, 6, 7, 7, 4, 7,
    7, 3, 3, 6, 3, 9,  7, 6,  6,  7, 4, 5, 4, 7, 5, 8, 5, 5, 6, 5, 5, 5, 9};
// Any other character is taken as wide as a digit.
constexpr int32_t kOtherWidth = 6;

}  // namespace

std::string ValueCaption(std::string display, const std::string& unit) {
  const auto joined = [&unit](const std::string& text) {
    return unit.empty() ? text : text + " " + unit;
  };
  if (joined(display).size() <= 8) return joined(display);
  // Trailing zeros of a decimal go, all but the last. Zeros followed by another digit are
  // part of the value and stay: 1.0005 must not become 1.5.
  if (display.find('.') != std::string::npos && display.size() >= 2 && display.back() == '0') {
    const size_t end = display.size() - 1;
    size_t keep = end;
    while (keep > 0 && display[keep - 1] == '0') --keep;
    display.erase(keep, end - keep);
  }
  const std::string caption = joined(display);
  return caption.size() > 9 ? display : caption;
}

int32_t TextWidth(const std::string& text) {
  int32_t width = 0;
  for (const unsigned char c : text)
    width += c >= 32 && c < 127 ? kCharacterWidths[c - 32] : kOtherWidth;
  return width;
}

int32_t PositionOf(float value, int32_t maximum) {
  const double scaled = static_cast<double>(value) * maximum;
  if (!(scaled > 0.0)) return 0;  // also NaN
  if (scaled >= maximum) return maximum;
  return static_cast<int32_t>(std::nearbyint(scaled));
}

}  // namespace editor_views

using namespace editor_views;
using platform::Control;
using platform::ControlKind;

namespace {

bool HasOwnEditor(TVstPlugIn& item) {
  return item.EffectOptions().Contains(effFlagsHasEditor) && item.GUIStyle() == gsDefault;
}

}  // namespace

// ---- the views' controls ----------------------------------------------------------------

Control* TVstPlugIn::AddViewControl(ControlKind Kind, Control& Parent, const std::string& Name,
                                    const platform::Bounds& Bounds, const std::string& Caption) {
  FViewControls.push_back(Control::CreateChild(Kind, Parent, Name, Bounds, Caption));
  return FViewControls.back().get();
}

Control* TVstPlugIn::FindViewControl(const std::string& Name) const {
  for (const auto& control : FViewControls)
    if (control->Name() == Name) return control.get();
  return nullptr;
}

bool TVstPlugIn::RemoveViewControl(const std::string& Name) {
  const auto found = std::find_if(FViewControls.begin(), FViewControls.end(),
                                  [&Name](const auto& control) { return control->Name() == Name; });
  if (found == FViewControls.end()) return false;
  FViewControls.erase(found);
  return true;
}

void TVstPlugIn::BuildSelectorView(Control& Control) {
  FEditorForm = &Control;
  FEditVisible = true;
  const int32_t width = Control.GetBounds().width;
  platform::Control* label =
      AddViewControl(ControlKind::Label, Control, "LbL", {10, 64, width - 20, kRowHeight});
  label->SetAlignment(platform::TextAlignment::Center);

  platform::Control* bar =
      AddViewControl(ControlKind::TrackBar, Control, "ParamBar", {5, 33, width - 20, 32});
  bar->SetRange(0, kTrackMaximum);
  bar->SetValue(0);
  bar->SetTabOrder(kFirstTabOrder);
  bar->OnChange = [this] { TrackBarChange(); };

  std::vector<std::string> names;
  const VstInt32 count = WalkableParams();
  for (VstInt32 i = 0; i < count; ++i) names.push_back(GetParamName(i));
  platform::Control* box =
      AddViewControl(ControlKind::ComboBox, Control, "ParamBox", {4, 5, width - 16, 21});
  box->SetItems(names);
  box->SetTabOrder(kFirstTabOrder - 1);
  box->SetSelectedIndex(names.empty() ? -1 : 0);
  box->OnChange = [this] { ComboBoxChange(); };
  ComboBoxChange();
}

void TVstPlugIn::BuildListView(Control& Control) {
  FEditorForm = &Control;
  const VstInt32 rows = WalkableParams();
  // Hidden while the rows are made: one repaint at the end instead of one per control.
  Control.Hide();
  const int32_t width = Control.GetBounds().width;
  Control.SetClientSize(width, ListViewHeight(rows));

  // The scroll bars start right of the widest name.
  int32_t widest = 0;
  for (VstInt32 i = 0; i < rows; ++i) widest = std::max(widest, TextWidth(GetParamName(i) + ":_"));

  for (VstInt32 i = 0; i < rows; ++i) {
    const std::string row = std::to_string(i);
    const int32_t top = RowTop(i);
    const std::string name = GetParamName(i);
    platform::Control* label =
        AddViewControl(ControlKind::Label, Control, "LbL" + row,
                       {kNameLeft, top, TextWidth(name + ":_"), kRowHeight}, name + ":");
    label->SetAlignment(platform::TextAlignment::Center);

    platform::Control* value =
        AddViewControl(ControlKind::Label, Control, "LbV" + row,
                       {width - kValueRightOffset, top, kValueWidth, kRowHeight});
    value->SetAlignment(platform::TextAlignment::Center);

    const int32_t left = widest + kNameLeft;
    platform::Control* bar =
        AddViewControl(ControlKind::ScrollBar, Control, "ParamBar" + row,
                       {left, top, width - left - kValueRightOffset, kRowHeight});
    bar->SetRange(0, kScrollMaximum);
    bar->SetPageSize(kScrollPage);
    bar->SetTabOrder(i + kFirstTabOrder);
    bar->SetValue(PositionOf(GetParameter(i), kScrollMaximum));
    bar->OnChange = [this, i] { ScrollBarChange(i); };
    ScrollBarChange(i);
  }
  Control.Show();
  FEditVisible = true;
}

// ---- handlers -----------------------------------------------------------------------------
// They run from the window layer: nothing may leave them, and a failing effect leaves the
// view as it was.

void TVstPlugIn::ComboBoxChange() {
  try {
    platform::Control* bar = FindViewControl("ParamBar");
    platform::Control* box = FindViewControl("ParamBox");
    if (!bar || !box) return;
    const int32_t index = box->SelectedIndex();
    if (index >= 0 && index < numParams())
      bar->SetValue(PositionOf(GetParameter(index), kTrackMaximum));
  } catch (...) {
  }
}

void TVstPlugIn::TrackBarChange() {
  try {
    platform::Control* bar = FindViewControl("ParamBar");
    platform::Control* box = FindViewControl("ParamBox");
    if (!bar || !box) return;
    const int32_t index = box->SelectedIndex();
    if (index < 0 || index >= numParams()) return;
    SetParameter(index, static_cast<float>(bar->Value() * 0.01));
    if (platform::Control* label = FindViewControl("LbL"))
      label->SetCaption("Value: " + GetParamDisplay(index) + GetParamLabel(index));
  } catch (...) {
  }
}

void TVstPlugIn::ScrollBarChange(VstInt32 Row) {
  try {
    const std::string row = std::to_string(Row);
    platform::Control* bar = FindViewControl("ParamBar" + row);
    if (!bar) return;
    SetParameter(Row, static_cast<float>(bar->Value() * 0.001));
    platform::Control* label = FindViewControl("LbV" + row);
    if (!label) return;
    label->SetCaption(ValueCaption(GetParamDisplay(Row), GetParamLabel(Row)));
  } catch (...) {
  }
}

void TVstPlugIn::EditorFormClose() {
  // The window is inside its own close: CloseEdit may only hand it over for release.
  FClosingEditorForm = true;
  try {
    CloseEdit();
  } catch (...) {
  }
  FClosingEditorForm = false;
}

// ---- showing and closing ------------------------------------------------------------------

void TVstPlugIn::ShowEdit(Control& Control) {
  if (!Effect()) return;
  FEditorThread.store(platform::CurrentThreadToken(), std::memory_order_relaxed);
  if (HasOwnEditor(*this)) {
    if (!FEditVisible) {
      // The control is the editor's form from the start: the editor may ask for its size
      // while it opens.
      platform::Control* const previous = FEditorForm;
      FEditorForm = &Control;
      EditOpen(Control.Handle());
      if (!FEditVisible) FEditorForm = previous;
      EditIdle();
    }
  } else if (!FEditVisible) {
    // A view that is showing stays the only one: a second set of the same names would
    // leave the first unreachable.
    try {
      if (FGUIStyle == gsOld)
        BuildSelectorView(Control);
      else
        BuildListView(Control);
    } catch (...) {
      // A control the system would not make: nothing half-built stays behind.
      FViewControls.clear();
      if (!FOwnEditorForm) FEditorForm = nullptr;
      FEditVisible = false;
      Control.Show();
      throw;
    }
  }
  OnShowEdit(this, FEditorForm);
}

void TVstPlugIn::ShowEdit() {
  // With its editor open in a caller's control, there is nothing to put in a window.
  if (FEditVisible && HasOwnEditor(*this) && !FOwnEditorForm) return;
  if (!FEditorForm) {
    // Nor without an effect.
    if (!Effect()) return;
    std::string caption = VendorString() + " - " + ProductString();
    if (caption == " - ") caption = GetEffectName();
    FOwnEditorForm = Control::CreateTopLevel(ControlKind::ToolWindow, "EditorForm", caption,
                                             nullptr, {0, 0, kOwnWindowWidth, kOwnWindowHeight});
    platform::Control& window = *FOwnEditorForm;
    FEditorForm = &window;
    window.OnClose = [this] { EditorFormClose(); };
    window.OnActivate = [this] { EditTop(); };
    window.OnDeactivate = [this] { EditSleep(); };
    window.CentreOnScreen();
    ShowEdit(window);
    if (HasOwnEditor(*this)) {
      if (!FEditVisible) {
        // The editor would not open: there is nothing to show the window for.
        ReleaseOwnEditorForm();
        return;
      }
      ERect rect{};
      EditGetRect(rect);
      const int32_t width = rect.right - rect.left;
      const int32_t height = rect.bottom - rect.top;
      if (width > 0 && height > 0) window.SetClientSize(width, height);
    }
    window.CentreOnScreen();
  }
  FEditorForm->Show();
}

void TVstPlugIn::CloseEdit() {
  // A failing handler is reported, but only after everything is closed: the effect must not
  // be closed or unloaded with its editor still open.
  std::exception_ptr failure;
  if (Effect()) {
    try {
      OnCloseEdit(this);
    } catch (...) {
      failure = std::current_exception();
    }
    if (HasOwnEditor(*this)) EditClose();
  }
  if (FindViewControl("ParamBox")) {
    RemoveViewControl("ParamBox");
    RemoveViewControl("ParamBar");
    RemoveViewControl("LbL");
  }
  for (VstInt32 i = 0;; ++i) {
    const std::string row = std::to_string(i);
    if (!RemoveViewControl("ParamBar" + row) || !RemoveViewControl("LbL" + row) ||
        !RemoveViewControl("LbV" + row))
      break;
  }
  FViewControls.clear();
  ReleaseOwnEditorForm();
  // A caller's control stays the caller's; it may go as soon as this returns.
  FEditorForm = nullptr;
  FEditorThread.store(0, std::memory_order_relaxed);
  FKeptEditorSize.store(0, std::memory_order_relaxed);
  FEditVisible = false;
  if (failure) std::rethrow_exception(failure);
}

void TVstPlugIn::ReleaseOwnEditorForm() {
  if (!FOwnEditorForm) return;
  FViewControls.clear();
  if (FEditorForm == FOwnEditorForm.get()) FEditorForm = nullptr;
  if (FClosingEditorForm)
    Control::ReleaseLater(std::move(FOwnEditorForm));
  else
    FOwnEditorForm.reset();
}

namespace {
// The sizes a window can take; anything else is the effect's mistake.
constexpr VstIntPtr kLargestEditorSide = 32767;
bool WindowCanTake(VstIntPtr Width, VstIntPtr Height) {
  return Width > 0 && Height > 0 && Width <= kLargestEditorSide && Height <= kLargestEditorSide;
}
}  // namespace

bool TVstPlugIn::SizeEditorForm(VstIntPtr Width, VstIntPtr Height) {
  if (!FEditorForm || !WindowCanTake(Width, Height)) return false;
  FEditorForm->SetClientSize(static_cast<int32_t>(Width), static_cast<int32_t>(Height));
  return true;
}

bool TVstPlugIn::KeepEditorSizeRequest(VstIntPtr Width, VstIntPtr Height) noexcept {
  if (FEditorThread.load(std::memory_order_relaxed) == 0 || !WindowCanTake(Width, Height))
    return false;
  FKeptEditorSize.store(static_cast<uint32_t>(Width) << 16 | static_cast<uint32_t>(Height),
                        std::memory_order_release);
  return true;
}

void TVstPlugIn::TakeEditorSizeRequest() {
  if (!OnEditorThread()) return;
  const uint32_t kept = FKeptEditorSize.exchange(0, std::memory_order_acquire);
  if (kept == 0) return;
  // Through the host callback, as the editor's own thread would ask: the same rules apply.
  AudioMasterCallback(Effect(), audioMasterSizeWindow, static_cast<VstInt32>(kept >> 16),
                      static_cast<VstIntPtr>(kept & 0xFFFF), nullptr, 0.0f);
}

void TVstPlugIn::SetGUIStyle(TGUIStyle Value) {
  if (FEditVisible) throw EVstError("Close Editor first!");
  FGUIStyle = Value;
}
