// Headless controls: records that keep what a window would show and fire the handlers when
// the automation functions drive them. A record's address is its window handle.
#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_set>

#include "platform/message_window.h"
#include "platform/modal_runs.h"
#include "platform/posix/ui_events.h"
#include "platform/ui.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// What CentreOnScreen centres on when there is no screen.
constexpr int32_t kScreenWidth = 1024;
constexpr int32_t kScreenHeight = 768;
constexpr uint32_t kCloseRequest = kFirstUserMessage;

bool IsTopLevelKind(ControlKind kind) {
  return kind == ControlKind::Form || kind == ControlKind::ToolWindow;
}
bool HasRange(ControlKind kind) {
  return kind == ControlKind::TrackBar || kind == ControlKind::ScrollBar;
}

ModalHandler g_modal_handler = nullptr;
std::atomic<uint64_t> g_timer_serial{0};

// Handlers are the portable code's; whatever they throw stays here, as on Windows, where
// nothing may leave a window procedure.
void RunHandler(const std::function<void()>& handler) {
  if (!handler) return;
  std::function<void()> call = handler;  // the handler may replace itself
  try {
    call();
  } catch (...) {
  }
}

struct ModalRun {
  bool ended = false;
  bool destroyed = false;
};

}  // namespace

struct Control::Impl {
  Control* self = nullptr;
  bool window_alive = true;
  std::string caption;
  TextAlignment alignment = TextAlignment::Left;
  Bounds bounds;
  bool shown = false;
  Impl* parent = nullptr;
  std::vector<Impl*> children;
  FontSpec font;

  std::vector<std::string> items;
  int32_t selected = -1;
  int32_t minimum = 0;
  int32_t maximum = 100;
  int32_t value = 0;
  int32_t page = 10;
  std::vector<MeterBar> bars;
  std::vector<MeterMark> marks;
  bool checked = false;

  bool timer_active = false;
  uint64_t timer_serial = 0;
  Clock::duration timer_interval{};
  Clock::time_point timer_due{};
  std::function<void()> timer_handler;

  ModalRun* modal = nullptr;
  // Top-level windows: close requests posted from any thread.
  std::unique_ptr<MessageWindow> requests;

  bool Visible() const { return window_alive && shown && (!parent || parent->Visible()); }
  void Close();
  void StopTimer();
  void DestroyWindow();
  Impl* FindDescendant(const std::string& name);

  static void OnRequest(void* context, uint32_t message, uintptr_t, intptr_t) noexcept;
};

namespace {

// Every record whose window exists, so that a stale or foreign handle is recognised.
struct Registry {
  std::mutex mutex;
  std::unordered_set<const Control::Impl*> live;
};
Registry& Records() {
  static auto* registry = new Registry;
  return *registry;
}

Control::Impl* Find(NativeWindow window) {
  Registry& registry = Records();
  std::lock_guard lock(registry.mutex);
  auto found = registry.live.find(static_cast<const Control::Impl*>(window));
  return found == registry.live.end() ? nullptr : const_cast<Control::Impl*>(*found);
}

// The calling thread's running timers and controls waiting for release.
struct ThreadEvents {
  std::vector<Control::Impl*> timers;
  std::vector<std::unique_ptr<Control>> releases;
  ~ThreadEvents() {
    // Released controls still in the queue at thread exit go now, while `timers` exists.
    std::vector<std::unique_ptr<Control>> pending = std::move(releases);
    pending.clear();
  }
};
ThreadEvents& Events() {
  thread_local ThreadEvents events;
  return events;
}

}  // namespace

void Control::Impl::Close() {
  ModalRun* run = modal;
  RunHandler(self->OnClose);
  if (run && run->destroyed) return;
  if (modal) {
    modal->ended = true;
  } else if (window_alive) {
    shown = false;
  }
}

void Control::Impl::StopTimer() {
  if (!timer_active) return;
  timer_active = false;
  std::erase(Events().timers, this);
  timer_handler = nullptr;
}

void Control::Impl::DestroyWindow() {
  if (!window_alive) return;
  for (Impl* child : std::vector<Impl*>(children)) child->DestroyWindow();
  if (parent) std::erase(parent->children, this);
  parent = nullptr;
  {
    Registry& registry = Records();
    std::lock_guard lock(registry.mutex);
    registry.live.erase(this);
  }
  window_alive = false;
  shown = false;
  StopTimer();
  requests.reset();
  if (modal) modal->ended = true;
}

Control::Impl* Control::Impl::FindDescendant(const std::string& name) {
  for (Impl* child : children) {
    if (child->self->Name() == name) return child;
    if (Impl* found = child->FindDescendant(name)) return found;
  }
  return nullptr;
}

void Control::Impl::OnRequest(void* context, uint32_t message, uintptr_t, intptr_t) noexcept {
  auto* impl = static_cast<Impl*>(context);
  if (message == kCloseRequest && impl->window_alive) impl->Close();
}

Control::Control(ControlKind kind, std::string name)
    : kind_(kind), name_(std::move(name)), impl_(std::make_unique<Impl>()) {
  impl_->self = this;
  handle_ = impl_.get();
}

Control::~Control() {
  if (impl_->modal) impl_->modal->destroyed = true;
  impl_->DestroyWindow();
}

std::unique_ptr<Control> Control::CreateTopLevel(ControlKind kind, const std::string& name,
                                                 const std::string& caption, NativeWindow,
                                                 const Bounds& bounds, const FontSpec& font) {
  if (!IsTopLevelKind(kind)) throw std::invalid_argument("Not a top-level kind: " + name);
  std::unique_ptr<Control> control(new Control(kind, name));
  Impl& impl = *control->impl_;
  impl.caption = caption;
  impl.bounds = bounds;
  impl.font = font;
  impl.requests = std::make_unique<MessageWindow>(&Impl::OnRequest, &impl);
  Registry& registry = Records();
  std::lock_guard lock(registry.mutex);
  registry.live.insert(&impl);
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
  Impl* parent_impl = Find(parent);
  if (!parent_impl) throw std::invalid_argument("No parent window for " + name);
  std::unique_ptr<Control> control(new Control(kind, name));
  Impl& impl = *control->impl_;
  impl.caption = caption;
  impl.bounds = bounds;
  impl.shown = true;
  impl.font = parent_impl->font;
  impl.parent = parent_impl;
  parent_impl->children.push_back(&impl);
  Registry& registry = Records();
  std::lock_guard lock(registry.mutex);
  registry.live.insert(&impl);
  return control;
}

void Control::SetCaption(const std::string& text) {
  if (impl_->window_alive) impl_->caption = text;
}
std::string Control::Caption() const {
  return impl_->window_alive ? impl_->caption : "";
}
void Control::SetAlignment(TextAlignment alignment) {
  impl_->alignment = alignment;
}

void Control::SetBounds(const Bounds& bounds) {
  const bool resized = bounds.width != impl_->bounds.width || bounds.height != impl_->bounds.height;
  impl_->bounds = bounds;
  if (resized && kind_ == ControlKind::Panel) RunHandler(OnResize);
}
Bounds Control::GetBounds() const {
  return impl_->bounds;
}
void Control::SetPosition(int32_t left, int32_t top) {
  impl_->bounds.left = left;
  impl_->bounds.top = top;
}
void Control::SetClientSize(int32_t width, int32_t height) {
  SetBounds({impl_->bounds.left, impl_->bounds.top, width, height});
}
Bounds Control::ClientArea() const {
  return {0, 0, impl_->bounds.width, impl_->bounds.height};
}

void Control::Show() {
  if (impl_->window_alive) impl_->shown = true;
}
void Control::Hide() {
  impl_->shown = false;
  // A hidden window can no longer be closed by anyone: its modal run ends.
  if (impl_->modal) impl_->modal->ended = true;
}
bool Control::Visible() const {
  return impl_->Visible();
}
void Control::BringToFront() {
  Show();
}
void Control::CentreOnScreen() {
  SetPosition((kScreenWidth - impl_->bounds.width) / 2, (kScreenHeight - impl_->bounds.height) / 2);
}
void Control::SetTabOrder(int32_t order) {
  Impl* parent = impl_->parent;
  if (!parent) return;
  std::vector<Impl*>& siblings = parent->children;
  std::erase(siblings, impl_.get());
  const auto position = std::clamp<int64_t>(order, 0, static_cast<int64_t>(siblings.size()));
  siblings.insert(siblings.begin() + position, impl_.get());
}

void Control::SetChecked(bool checked) {
  if (kind_ == ControlKind::CheckBox) impl_->checked = checked;
}
bool Control::Checked() const {
  return WindowChecked(Handle());
}

void Control::ClearItems() {
  impl_->items.clear();
  impl_->selected = -1;
}
void Control::AddItem(const std::string& text) {
  if (kind_ == ControlKind::ComboBox) impl_->items.push_back(text);
}
void Control::SetItems(const std::vector<std::string>& items) {
  ClearItems();
  for (const std::string& item : items) AddItem(item);
}
std::vector<std::string> Control::Items() const {
  return impl_->items;
}
int32_t Control::SelectedIndex() const {
  return impl_->selected;
}
void Control::SetSelectedIndex(int32_t index) {
  const bool valid = index >= 0 && static_cast<size_t>(index) < impl_->items.size();
  impl_->selected = valid ? index : -1;
}

void Control::SetRange(int32_t minimum, int32_t maximum) {
  if (!HasRange(kind_)) return;
  impl_->minimum = minimum;
  impl_->maximum = std::max(minimum, maximum);
  impl_->value = std::clamp(impl_->value, impl_->minimum, impl_->maximum);
}
int32_t Control::Minimum() const {
  return HasRange(kind_) ? impl_->minimum : 0;
}
int32_t Control::Maximum() const {
  return HasRange(kind_) ? impl_->maximum : 0;
}
void Control::SetValue(int32_t value) {
  if (HasRange(kind_)) impl_->value = std::clamp(value, impl_->minimum, impl_->maximum);
}
int32_t Control::Value() const {
  return HasRange(kind_) ? impl_->value : 0;
}
void Control::SetPageSize(int32_t page) {
  impl_->page = std::max(1, page);
}

void Control::SetMeterBars(const std::vector<MeterBar>& bars) {
  if (kind_ == ControlKind::LevelMeter) impl_->bars = bars;
}
std::vector<MeterBar> Control::MeterBars() const {
  return impl_->bars;
}
void Control::SetMeterMarks(const std::vector<MeterMark>& marks) {
  if (kind_ == ControlKind::LevelMeter) impl_->marks = marks;
}

void Control::StartTimer(uint32_t interval_ms, std::function<void()> handler) {
  if (!impl_->window_alive) return;
  impl_->timer_handler = std::move(handler);
  impl_->timer_interval = std::chrono::milliseconds(std::max<uint32_t>(1, interval_ms));
  impl_->timer_due = Clock::now() + impl_->timer_interval;
  impl_->timer_serial = ++g_timer_serial;
  if (!impl_->timer_active) Events().timers.push_back(impl_.get());
  impl_->timer_active = true;
}
void Control::StopTimer() {
  impl_->StopTimer();
}

// ---- modal runs ---------------------------------------------------------------------------

// Headless, the box and the file dialog are their handlers, which return by themselves: no
// loop of the system's makes a window to close.
std::unique_ptr<ModalDialogWatch> WatchForModalDialog() {
  return nullptr;
}

void PinThisModule() {
  Dl_info info{};
  if (!dladdr(reinterpret_cast<void*>(&PinThisModule), &info) || !info.dli_fname) return;
  // Only a library is unloaded; the program itself is left as it is.
  if (void* library = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE))
    dlclose(library);
}

void Control::ShowModal() {
  if (!IsTopLevelKind(kind_) || !impl_->window_alive || impl_->modal) return;
  ModalRun run;
  Impl* impl = impl_.get();
  // Ended from outside as by the close button, unless the window went meanwhile.
  const ModalScope scope([&run, impl] {
    if (!run.ended && !run.destroyed && impl->window_alive) impl->Close();
    run.ended = true;
  });
  if (!scope.Admitted()) return;
  impl_->modal = &run;
  impl_->shown = true;
  if (g_modal_handler) {
    try {
      g_modal_handler(*this);
    } catch (...) {
    }
    // The handler may have posted the close request.
    if (!run.ended) PumpMessages();
  }
  if (run.destroyed) return;
  // Nobody can close it here: it closes as soon as the handler is done with it.
  if (!run.ended) impl_->Close();
  if (run.destroyed) return;
  impl_->modal = nullptr;
  impl_->shown = false;
}

Control* Control::FindChild(const std::string& name) const {
  Impl* found = impl_->FindDescendant(name);
  return found ? found->self : nullptr;
}

void Control::ReleaseLater(std::unique_ptr<Control> control) {
  if (control) Events().releases.push_back(std::move(control));
}

NativeWindow FindNamedWindow(NativeWindow root, const std::string& name) {
  Control::Impl* impl = Find(root);
  Control::Impl* found = impl ? impl->FindDescendant(name) : nullptr;
  return found;
}

std::string WindowName(NativeWindow window) {
  Control::Impl* impl = Find(window);
  return impl ? impl->self->Name() : "";
}
std::string WindowCaption(NativeWindow window) {
  Control::Impl* impl = Find(window);
  return impl ? impl->caption : "";
}
Bounds WindowBounds(NativeWindow window) {
  Control::Impl* impl = Find(window);
  return impl ? impl->bounds : Bounds{};
}
Bounds WindowClientArea(NativeWindow window) {
  Control::Impl* impl = Find(window);
  return impl ? impl->self->ClientArea() : Bounds{};
}
bool WindowVisible(NativeWindow window) {
  Control::Impl* impl = Find(window);
  return impl && impl->Visible();
}

void ActivateWindow(NativeWindow top_level) {
  // The thread's active window, as the system keeps one per thread.
  thread_local NativeWindow active = nullptr;
  Control::Impl* impl = Find(top_level);
  if (!impl || !IsTopLevelKind(impl->self->Kind()) || active == top_level) return;
  if (Control::Impl* previous = Find(active)) RunHandler(previous->self->OnDeactivate);
  active = top_level;
  RunHandler(impl->self->OnActivate);
}

void ClickWindow(NativeWindow button) {
  Control::Impl* impl = Find(button);
  if (!impl) return;
  if (impl->self->Kind() == ControlKind::CheckBox) {
    impl->checked = !impl->checked;
  } else if (impl->self->Kind() != ControlKind::Button) {
    return;
  }
  RunHandler(impl->self->OnClick);
}

bool WindowChecked(NativeWindow check_box) {
  Control::Impl* impl = Find(check_box);
  return impl && impl->self->Kind() == ControlKind::CheckBox && impl->checked;
}

void SelectWindowItem(NativeWindow combo_box, int32_t index) {
  Control::Impl* impl = Find(combo_box);
  if (!impl || impl->self->Kind() != ControlKind::ComboBox) return;
  if (index < 0 || static_cast<size_t>(index) >= impl->items.size()) return;
  impl->selected = index;
  RunHandler(impl->self->OnChange);
}
std::vector<std::string> WindowItems(NativeWindow combo_box) {
  Control::Impl* impl = Find(combo_box);
  return impl ? impl->items : std::vector<std::string>{};
}
int32_t WindowSelectedIndex(NativeWindow combo_box) {
  Control::Impl* impl = Find(combo_box);
  return impl ? impl->selected : -1;
}

void ClickMeterBar(NativeWindow level_meter, int32_t index) {
  Control::Impl* impl = Find(level_meter);
  if (!impl || impl->self->Kind() != ControlKind::LevelMeter) return;
  if (index < 0 || static_cast<size_t>(index) >= impl->bars.size()) return;
  const std::function<void(int32_t)> handler = impl->self->OnBarClick;
  if (handler) RunHandler([&] { handler(index); });
}

void MoveWindowValue(NativeWindow control, int32_t value) {
  Control::Impl* impl = Find(control);
  if (!impl || !HasRange(impl->self->Kind())) return;
  impl->value = std::clamp(value, impl->minimum, impl->maximum);
  RunHandler(impl->self->OnChange);
}
int32_t WindowValue(NativeWindow control) {
  Control::Impl* impl = Find(control);
  return impl ? impl->self->Value() : 0;
}

void CloseWindowLater(NativeWindow top_level) {
  Registry& registry = Records();
  std::lock_guard lock(registry.mutex);
  auto* impl = static_cast<Control::Impl*>(top_level);
  if (registry.live.count(impl) && impl->requests) impl->requests->Post(kCloseRequest, 0, 0);
}

void SetModalHandler(ModalHandler handler) {
  g_modal_handler = handler;
}

bool CaptureWindowImage(NativeWindow, const std::string&) {
  return false;
}

namespace headless_ui {

int RunDueEvents() {
  ThreadEvents& events = Events();
  int ran = 0;
  if (!events.releases.empty()) {
    std::vector<std::unique_ptr<Control>> pending = std::move(events.releases);
    events.releases.clear();
    ran += static_cast<int>(pending.size());
  }
  const Clock::time_point now = Clock::now();
  std::vector<std::pair<Control::Impl*, uint64_t>> due;
  for (Control::Impl* impl : events.timers)
    if (impl->timer_due <= now) due.emplace_back(impl, impl->timer_serial);
  for (auto [impl, serial] : due) {
    // An earlier handler may have stopped or restarted this timer or destroyed its control.
    if (std::find(events.timers.begin(), events.timers.end(), impl) == events.timers.end() ||
        impl->timer_serial != serial)
      continue;
    impl->timer_due = now + impl->timer_interval;
    RunHandler(impl->timer_handler);
    ++ran;
  }
  return ran;
}

uint32_t MillisecondsUntilNextEvent(uint32_t limit) {
  ThreadEvents& events = Events();
  if (!events.releases.empty()) return 0;
  const Clock::time_point now = Clock::now();
  uint32_t wait = limit;
  for (const Control::Impl* impl : events.timers) {
    if (impl->timer_due <= now) return 0;
    const auto until = std::chrono::ceil<std::chrono::milliseconds>(impl->timer_due - now).count();
    if (until < wait) wait = static_cast<uint32_t>(until);
  }
  return wait;
}

}  // namespace headless_ui
}  // namespace platform
