#include "platform/modal_runs.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ui.h"

namespace platform {

struct ModalScope::Run {
  std::thread::id thread = std::this_thread::get_id();
  std::function<void()> end;
  std::unique_ptr<ModalDialogWatch> watch;  // without `end`
};

namespace {

std::mutex g_runs_mutex;
std::vector<ModalScope::Run*> g_runs;  // oldest first
std::atomic<bool> g_runs_refused{false};

ModalScope::Run* InnermostRun(std::thread::id thread) {
  for (auto run = g_runs.rbegin(); run != g_runs.rend(); ++run)
    if ((*run)->thread == thread) return *run;
  return nullptr;
}

// Nothing may leave a run's end: the frames below it may be the system's or a host's.
void RunEnd(const std::function<void()>& end) noexcept {
  if (!end) return;
  try {
    std::function<void()> call = end;  // the end may replace itself
    call();
  } catch (...) {
  }
}

}  // namespace

ModalScope::ModalScope(std::function<void()> end) {
  if (g_runs_refused.load()) return;
  run_ = std::make_unique<Run>();
  run_->end = std::move(end);
  if (!run_->end) run_->watch = WatchForModalDialog();
  std::lock_guard lock(g_runs_mutex);
  g_runs.push_back(run_.get());
}

ModalScope::~ModalScope() {
  if (!run_) return;
  run_->watch.reset();
  std::lock_guard lock(g_runs_mutex);
  std::erase(g_runs, run_.get());
}

ModalDialogWatch* InnermostModalDialogWatch() {
  std::lock_guard lock(g_runs_mutex);
  ModalScope::Run* run = InnermostRun(std::this_thread::get_id());
  return run && !run->end ? run->watch.get() : nullptr;
}

int32_t ModalRunDepth() {
  const std::thread::id thread = std::this_thread::get_id();
  std::lock_guard lock(g_runs_mutex);
  return static_cast<int32_t>(std::count_if(
      g_runs.begin(), g_runs.end(), [&](ModalScope::Run* run) { return run->thread == thread; }));
}

void EndModalRuns() {
  g_runs_refused = true;
  const std::thread::id thread = std::this_thread::get_id();
  std::vector<ModalScope::Run*> ending;
  {
    std::lock_guard lock(g_runs_mutex);
    for (auto run = g_runs.rbegin(); run != g_runs.rend(); ++run)
      if ((*run)->thread == thread) ending.push_back(*run);
  }
  if (ending.empty()) return;
  PinThisModule();
  // A run may end another's window as it ends (a close handler): each is looked up again.
  for (ModalScope::Run* run : ending) {
    std::function<void()> end;
    ModalDialogWatch* watch = nullptr;
    {
      std::lock_guard lock(g_runs_mutex);
      if (std::find(g_runs.begin(), g_runs.end(), run) == g_runs.end()) continue;
      end = run->end;
      watch = run->watch.get();
    }
    if (end)
      RunEnd(end);
    else if (watch)
      watch->CloseDialog();
  }
}

void AllowModalRuns() {
  g_runs_refused = false;
}

}  // namespace platform
