// A stand-in for the player: loads an output plug-in, owns a main window, drives the
// plug-in's callbacks the way the player does and acts in the plug-in's windows the way a
// user does, by a script of steps. Everything it sees goes to standard output as a log of
// "MS EVENT key=value ..." lines (tools/player/harness_log.h). Run with --help for the steps.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "output_module/output_module_record.h"
#include "platform/com.h"
#include "platform/dynamic_library.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/ui.h"
#include "tools/asio_driver/test_driver.h"
#include "tools/player/capture_check.h"
#include "tools/player/desktop.h"
#include "tools/player/harness_log.h"
#include "tools/player/harness_script.h"
#include "tools/player/pcm_signal.h"
#include "tools/player/player_model.h"
#include "tools/player/spectrum.h"

namespace {

using harness::Step;
using Fields = std::vector<std::pair<std::string, std::string>>;

constexpr char kLibraryDialogTitle[] = "Please select the Partiloom.dll";
constexpr char kPluginWindowCaption[] = "Config ASIO";
constexpr char kSettingsKey[] = "Software\\WinAmp\\Partiloom";
constexpr UINT kRunTaskMessage = WM_APP + 1;
// The main thread's timer that asks GetOutputTime while a track is open, as the player's
// display does.
constexpr UINT_PTR kTimeTimer = 1;
constexpr UINT kTimeTimerMs = 100;
// The player writes in pieces of this many frames, each once CanWrite reports at least as
// much free space as the piece has bytes.
constexpr int64_t kFramesPerWrite = 576;
constexpr int64_t kDefaultTailFrames = 8192 + 4096;
// A press that has not returned by then has opened a modal window.
constexpr DWORD kPressWaitMs = 1500;
constexpr DWORD kCallWaitMs = 120000;
// Frames of the spectrum step: 2.7 Hz bins at 44.1 kHz, fine enough for the lowest band.
constexpr size_t kSpectrumFrame = 16384;

// ---- log ---------------------------------------------------------------------------------
class Log {
 public:
  Log() : start_(platform::PerformanceCounter()) {}
  void Write(const std::string& event, const Fields& fields = {}) {
    const int64_t ticks = platform::PerformanceCounter() - start_;
    const int64_t ms = ticks * 1000 / platform::PerformanceFrequency();
    std::lock_guard lock(mutex_);
    std::string line = harness::FormatLogLine(ms, event, fields);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
  }
  void Error(const Step& step, const std::string& reason) {
    Failure();
    Write("error", {{"step", step.text}, {"reason", reason}});
  }
  void Failure() { failures_++; }
  int Failures() const { return failures_; }

 private:
  int64_t start_;
  std::mutex mutex_;
  std::atomic<int> failures_{0};
};

Log g_log;

std::string Hex(const void* pointer) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%p", pointer);
  return text;
}

// ---- work on the main thread --------------------------------------------------------------
// The plug-in's window and timer live on the thread that called Init, the main thread; every
// call the player makes from its user interface, and every user action, runs there.
struct MainTask {
  std::function<void()> work;
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ~MainTask() { CloseHandle(done); }
};

HWND g_main_window = nullptr;
DWORD g_main_thread = 0;
// What the main thread's timer reads the output time for; set and cleared on the main thread.
std::function<void()> g_time_timer;
std::vector<std::shared_ptr<MainTask>> g_pending;  // calls that opened a modal window

// Runs `work` on the main thread and waits up to `timeout_ms`, or until `held` (when given)
// is signalled; false (and the task in g_pending) when it has not returned by then.
bool RunOnMain(std::function<void()> work, DWORD timeout_ms = kCallWaitMs, HANDLE held = nullptr) {
  auto task = std::make_shared<MainTask>();
  task->work = std::move(work);
  auto* holder = new std::shared_ptr<MainTask>(task);
  if (!PostMessageA(g_main_window, kRunTaskMessage, 0, reinterpret_cast<LPARAM>(holder))) {
    delete holder;
    return false;
  }
  const HANDLE events[2] = {task->done, held};
  if (WaitForMultipleObjects(held ? 2 : 1, events, FALSE, timeout_ms) == WAIT_OBJECT_0 ||
      WaitForSingleObject(task->done, 0) == WAIT_OBJECT_0)
    return true;
  g_pending.push_back(task);
  return false;
}

bool WaitForPending(DWORD timeout_ms) {
  const DWORD start = GetTickCount();
  for (auto& task : g_pending) {
    const DWORD spent = GetTickCount() - start;
    if (spent >= timeout_ms || WaitForSingleObject(task->done, timeout_ms - spent) != WAIT_OBJECT_0)
      return false;
  }
  g_pending.clear();
  return true;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == kRunTaskMessage) {
    auto* holder = reinterpret_cast<std::shared_ptr<MainTask>*>(lparam);
    std::shared_ptr<MainTask> task = *holder;
    delete holder;
    try {
      task->work();
    } catch (const std::exception& failure) {
      g_log.Write("exception", {{"what", failure.what()}});
    } catch (...) {
      g_log.Write("exception");
    }
    SetEvent(task->done);
    return 0;
  }
  if (message == WM_TIMER && wparam == kTimeTimer) {
    if (g_time_timer) g_time_timer();
    return 0;
  }
  if (message == WM_CLOSE) return 0;  // the script decides when the player ends
  return DefWindowProcA(window, message, wparam, lparam);
}

// ---- the watcher: message boxes and the library dialog -------------------------------------
class Watcher {
 public:
  Watcher() : held_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~Watcher() { CloseHandle(held_); }
  void SetLibraryAnswer(const std::string& answer) {
    std::lock_guard lock(mutex_);
    library_answer_ = answer;
  }
  void SetHoldBoxes(bool hold) { hold_boxes_ = hold; }
  // Signalled each time a dialog or box is left open; how many were.
  HANDLE Held() const { return held_; }
  int HeldCount() const { return held_count_; }
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    while (!stop_) {
      for (harness::Window window : harness::ProcessTopLevelWindows()) Look(window);
      std::erase_if(seen_, [](harness::Window w) { return !harness::IsWindowAlive(w); });
      Sleep(10);
    }
  }

  void Look(harness::Window window) {
    if (window == g_main_window || !harness::IsWindowShown(window)) return;
    for (harness::Window known : seen_)
      if (known == window) return;
    const std::string caption = harness::StoredWindowText(window);
    const std::string window_class = harness::WindowClass(window);
    if (window_class == "#32770" && caption == kLibraryDialogTitle) {
      if (!harness::HasFileNameBox(window) && Waited(window)) return;  // not ready yet
      seen_.push_back(window);
      AnswerLibraryDialog(window);
      return;
    }
    seen_.push_back(window);
    if (harness::IsMessageBox(window)) {
      Fields fields = {{"caption", caption}, {"text", harness::MessageBoxText(window)}};
      if (hold_boxes_) fields.push_back({"held", "1"});
      g_log.Write("msgbox", fields);
      if (hold_boxes_)
        Hold();
      else
        harness::ConfirmDialog(window);
      return;
    }
    g_log.Write("shown", {{"caption", caption}, {"class", window_class}});
  }

  void Hold() {
    ++held_count_;
    SetEvent(held_);
  }

  // The dialog's controls come a moment after the dialog; gives them up to a second.
  bool Waited(harness::Window window) {
    if (first_sight_window_ != window) {
      first_sight_window_ = window;
      first_sight_ = GetTickCount();
    }
    return GetTickCount() - first_sight_ < 1000;
  }

  void AnswerLibraryDialog(harness::Window dialog) {
    std::string answer;
    {
      std::lock_guard lock(mutex_);
      answer = library_answer_;
    }
    if (answer == "hold") {
      g_log.Write("dialog", {{"title", kLibraryDialogTitle}, {"answer", "hold"}});
      Hold();
      return;
    }
    if (answer.empty() || answer == "cancel") {
      g_log.Write("dialog", {{"title", kLibraryDialogTitle},
                             {"answer", answer.empty() ? "cancel (no answer given)" : "cancel"}});
      harness::CancelDialog(dialog);
      return;
    }
    const bool typed = harness::TypeFileName(dialog, answer);
    g_log.Write("dialog",
                {{"title", kLibraryDialogTitle}, {"answer", answer}, {"typed", typed ? "1" : "0"}});
    if (typed)
      harness::ConfirmDialog(dialog);
    else
      harness::CancelDialog(dialog);
  }

  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hold_boxes_{false};
  std::atomic<int> held_count_{0};
  HANDLE held_;
  std::mutex mutex_;
  std::string library_answer_;
  std::vector<harness::Window> seen_;
  harness::Window first_sight_window_ = nullptr;
  DWORD first_sight_ = 0;
};

// ---- the decoder thread --------------------------------------------------------------------
struct PlayStats {
  int64_t frames = 0;
  int64_t writes = 0;
  int64_t refused = 0;
  int32_t canwrite_min = INT32_MAX;
  int32_t canwrite_max = INT32_MIN;
  int64_t waits = 0;
  bool stalled = false;
};

class Decoder {
 public:
  Decoder(TOutputModule* module, const harness::PcmSource& source)
      : module_(module), source_(source) {}
  ~Decoder() { Stop(); }

  void Start(int32_t bits, int64_t tail_frames, DWORD stall_ms) {
    bits_ = bits;
    tail_frames_ = tail_frames;
    stall_ms_ = stall_ms;
    done_ = false;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
  }
  void SetPaused(bool paused) { paused_ = paused; }
  bool Running() const { return thread_.joinable(); }
  bool WaitDone(DWORD timeout_ms) {
    std::unique_lock lock(mutex_);
    return finished_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                              [this] { return done_; });
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run() {
    const auto channels = static_cast<size_t>(source_.channels);
    const int64_t source_frames = static_cast<int64_t>(source_.Frames());
    const int64_t total = source_frames + tail_frames_;
    const int64_t piece_bytes = kFramesPerWrite * source_.channels * (bits_ / 8);
    const std::vector<int32_t> silence(static_cast<size_t>(kFramesPerWrite) * channels, 0);
    PlayStats stats;
    int64_t position = 0;
    DWORD last_write = GetTickCount();
    bool first_answer = true;
    while (!stop_ && position < total) {
      const int32_t free_frames = module_->CanWrite();
      stats.canwrite_min = std::min(stats.canwrite_min, free_frames);
      stats.canwrite_max = std::max(stats.canwrite_max, free_frames);
      if (first_answer) {
        g_log.Write("canwrite", {{"frames", std::to_string(free_frames)}, {"first", "1"}});
        first_answer = false;
      }
      if (free_frames < piece_bytes) {
        ++stats.waits;
        if (paused_) last_write = GetTickCount();
        if (GetTickCount() - last_write > stall_ms_) {
          stats.stalled = true;
          g_log.Failure();
          g_log.Write("stalled", {{"frames", std::to_string(position)},
                                  {"canwrite", std::to_string(free_frames)}});
          break;
        }
        Sleep(2);
        continue;
      }
      const int64_t frames = std::min(kFramesPerWrite, total - position);
      const int32_t* samples =
          position < source_frames
              ? source_.samples.data() + static_cast<size_t>(position) * channels
              : silence.data();
      const int64_t from_source = std::clamp<int64_t>(source_frames - position, 0, frames);
      std::vector<uint8_t> bytes;
      if (from_source == frames || from_source == 0) {
        bytes = harness::PackSamples(samples, static_cast<size_t>(frames) * channels, source_.bits,
                                     bits_);
      } else {  // the last piece of the source, filled up with silence
        std::vector<int32_t> piece(samples, samples + static_cast<size_t>(from_source) * channels);
        piece.resize(static_cast<size_t>(frames) * channels, 0);
        bytes = harness::PackSamples(piece.data(), piece.size(), source_.bits, bits_);
      }
      const int32_t result = module_->Write(reinterpret_cast<const char*>(bytes.data()),
                                            static_cast<int32_t>(bytes.size()));
      ++stats.writes;
      if (result != 0 && stats.refused++ == 0)
        g_log.Write("write", {{"bytes", std::to_string(bytes.size())},
                              {"result", std::to_string(result)},
                              {"first_refusal", "1"}});
      const bool source_ends = position < source_frames && position + frames >= source_frames;
      position += frames;
      stats.frames = position;
      last_write = GetTickCount();
      if (source_ends) g_log.Write("source-end", {{"frames", std::to_string(source_frames)}});
    }
    g_log.Write("played", {{"frames", std::to_string(stats.frames)},
                           {"writes", std::to_string(stats.writes)},
                           {"refused", std::to_string(stats.refused)},
                           {"canwrite_min", std::to_string(stats.canwrite_min)},
                           {"canwrite_max", std::to_string(stats.canwrite_max)},
                           {"waits", std::to_string(stats.waits)},
                           {"stalled", stats.stalled ? "1" : "0"}});
    std::lock_guard lock(mutex_);
    done_ = true;
    finished_.notify_all();
  }

  TOutputModule* module_;
  const harness::PcmSource& source_;
  int32_t bits_ = 16;
  int64_t tail_frames_ = 0;
  DWORD stall_ms_ = 3000;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> paused_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
};

// ---- the player's playlist -----------------------------------------------------------------
// The player's own way of playing: tracks back to back, each opened and written by a decode
// thread of its own and closed on the main thread once IsPlaying answers 0, while two
// visualisation threads and the main thread's timer ask the times.
constexpr int64_t kStallMs = 3000;
constexpr int64_t kEndGraceMs = 10000;  // IsPlaying answers 0 within the track's length and this
constexpr DWORD kVisualisationMs = 16;

int64_t NowMs() {
  return platform::PerformanceCounter() * 1000 / platform::PerformanceFrequency();
}

struct Track {
  int32_t index = 0;
  const harness::PcmSource* source = nullptr;  // at the track's rate
  harness::TrackOptions options;               // frames of `source`
  int64_t Ms() const { return options.frames * 1000 / std::max(options.rate, 1); }
};

const char* DecoderName(harness::DecoderKind decoder) {
  return decoder == harness::DecoderKind::Mp3 ? "mp3" : "wav";
}

class Playlist {
 public:
  explicit Playlist(TOutputModule* module) : module_(module) {}
  ~Playlist() { Stop(); }

  void SetVolume(int32_t volume) { volume_ = volume; }
  void SetPan(int32_t pan) { pan_ = pan; }
  // A pause or resume: the times start a new stretch, and a paused track does not stall.
  void SetPaused(bool paused) {
    paused_ = paused;
    ++stretch_;
  }
  void NewStretch() { ++stretch_; }

  // Appends the track; plays it at once when nothing plays.
  void Add(const Track& track) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(track);
      if (running_) return;
    }
    if (controller_.joinable()) controller_.join();
    {
      std::lock_guard lock(mutex_);
      running_ = true;
    }
    stop_ = false;
    controller_ = std::thread([this] { Run(); });
  }

  // The playing track's decode thread flushes to `ms` and goes on from there; false (and why)
  // when no track plays or it did not happen in time.
  bool Seek(int32_t ms, std::string* error) {
    std::unique_lock lock(mutex_);
    if (!running_) {
      *error = "no track plays";
      return false;
    }
    seek_ms_ = ms;
    seek_pending_ = true;
    seek_done_ = false;
    changed_.wait_for(lock, std::chrono::seconds(10), [this] { return seek_done_ || !running_; });
    seek_pending_ = false;
    if (!seek_done_) *error = "the playlist ended before the seek";
    return seek_done_;
  }

  // The player's Stop; false when nothing played.
  bool Stop() {
    {
      std::lock_guard lock(mutex_);
      if (!running_ && !controller_.joinable()) return false;
      if (!running_) {
        controller_.join();
        return false;
      }
    }
    stop_ = true;
    controller_.join();
    return true;
  }

  // Until the playlist has played out or stopped; false after `timeout_ms`.
  bool Wait(DWORD timeout_ms) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                           [this] { return !running_; }))
      return false;
    lock.unlock();
    if (controller_.joinable()) controller_.join();
    return true;
  }

  bool Playing() {
    std::lock_guard lock(mutex_);
    return running_;
  }

  // The length of the tracks still to play, the playing one whole.
  int64_t PendingMs() {
    std::lock_guard lock(mutex_);
    int64_t ms = running_ ? current_ms_ : 0;
    for (const Track& track : queue_) ms += track.Ms();
    return ms;
  }

 private:
  enum class Ending { Played, Stopped, OpenFailed, Stalled };
  // Where each caller's samples go: the two visualisation threads, the main thread's timer.
  enum Caller : size_t { kVisualisation1, kVisualisation2, kMainTimer, kCallers };
  struct Times {
    int32_t output = -1;
    int32_t written = -1;
  };

  void Run() {
    watch_stop_ = false;
    std::thread watchers[2] = {std::thread([this] { Watch(kVisualisation1); }),
                               std::thread([this] { Watch(kVisualisation2); })};
    RunOnMain([this] {
      g_time_timer = [this] { OnMainTimer(); };
      SetTimer(g_main_window, kTimeTimer, kTimeTimerMs, nullptr);
    });
    int played = 0;
    bool stopped = false;
    for (;;) {
      Track track;
      {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) break;
        track = queue_.front();
        queue_.pop_front();
        current_ms_ = track.Ms();
      }
      // The player sets the volume and balance it shows before each Open.
      RunOnMain([this] {
        module_->SetVolume(volume_);
        module_->SetPan(pan_);
      });
      {
        std::lock_guard lock(times_mutex_);
        for (harness::TimeTally& tally : tallies_) tally = {};
        latest_ = end_mark_times_ = last_times_ = {};
      }
      Ending ending = Ending::Stopped;
      std::thread decode([&] { ending = Decode(track); });
      decode.join();
      open_ = false;
      ++stretch_;
      RunOnMain([this] { module_->Close(); });
      g_log.Write("track-closed", {{"index", std::to_string(track.index)}});
      LogTimes(track, ending);
      if (ending == Ending::Played) {
        ++played;
        continue;
      }
      size_t dropped = 0;
      {
        std::lock_guard lock(mutex_);
        dropped = queue_.size();
        queue_.clear();
      }
      const char* reason = ending == Ending::Stopped      ? "stop"
                           : ending == Ending::OpenFailed ? "open"
                                                          : "stall";
      g_log.Write("track-stopped", {{"index", std::to_string(track.index)},
                                    {"reason", reason},
                                    {"dropped", std::to_string(dropped)}});
      stopped = true;
      break;
    }
    RunOnMain([] {
      KillTimer(g_main_window, kTimeTimer);
      g_time_timer = nullptr;
    });
    watch_stop_ = true;
    for (std::thread& watcher : watchers) watcher.join();
    g_log.Write("playlist-end",
                {{"played", std::to_string(played)}, {"stopped", stopped ? "1" : "0"}});
    std::lock_guard lock(mutex_);
    running_ = false;
    current_ms_ = 0;
    changed_.notify_all();
  }

  // The track's decode thread: Open, the decoder's writes, the end mark, then IsPlaying until
  // it answers 0.
  Ending Decode(const Track& track) {
    const harness::TrackOptions& o = track.options;
    const harness::PcmSource& source = *track.source;
    const auto channels = static_cast<size_t>(source.channels);
    const int64_t bytes_per_frame = source.channels * (o.bits / 8);
    const harness::DecoderPace pace = harness::PaceOf(o.decoder, o.dsp);
    const std::string index = std::to_string(track.index);
    const int32_t opened = module_->Open(o.rate, source.channels, o.bits, -1, -1);
    g_log.Write("track-open", {{"index", index},
                               {"rate", std::to_string(o.rate)},
                               {"channels", std::to_string(source.channels)},
                               {"bits", std::to_string(o.bits)},
                               {"frames", std::to_string(o.frames)},
                               {"decoder", DecoderName(o.decoder)},
                               {"dsp", o.dsp ? "1" : "0"},
                               {"result", std::to_string(opened)}});
    if (opened < 0) return Ending::OpenFailed;
    open_ = true;
    ++stretch_;
    module_->SetVolume(-666);  // the decoders keep the volume the player set

    int64_t position = 0;  // of the track
    int64_t written = 0, writes = 0, waits = 0, polls = 0;
    int64_t last_progress = NowMs();
    int64_t end_mark_at = -1;
    int64_t deadline = 0;
    // The decode thread asks the written time itself, as the player's decoders do.
    const auto log_written = [&](bool stalled) {
      g_log.Write("track-written", {{"index", index},
                                    {"frames", std::to_string(written)},
                                    {"writes", std::to_string(writes)},
                                    {"waits", std::to_string(waits)},
                                    {"written_ms", std::to_string(module_->GetWrittenTime())},
                                    {"stalled", stalled ? "1" : "0"},
                                    {"stopped", stop_ ? "1" : "0"}});
    };
    const auto finish = [&](Ending ending) {
      std::lock_guard lock(times_mutex_);
      last_times_ = latest_;
      return ending;
    };
    for (;;) {
      if (stop_) {
        if (end_mark_at < 0) log_written(false);
        return finish(Ending::Stopped);
      }
      if (auto ms = TakeSeek()) {
        ++stretch_;
        module_->Flush(*ms);
        ++stretch_;
        const int64_t to = std::clamp<int64_t>(int64_t{*ms} * o.rate / 1000, 0, o.frames);
        g_log.Write("track-seek", {{"index", index},
                                   {"ms", std::to_string(*ms)},
                                   {"written_frames", std::to_string(written)},
                                   {"written_to", std::to_string(o.from + position)},
                                   {"from", std::to_string(o.from + to)}});
        position = to;
        end_mark_at = -1;
        last_progress = NowMs();
        SeekDone();
        continue;
      }
      if (position < o.frames) {
        const int32_t free_bytes = module_->CanWrite();
        if (!pace.Writes(free_bytes, bytes_per_frame)) {
          ++waits;
          if (paused_) {
            last_progress = NowMs();
          } else if (NowMs() - last_progress > kStallMs) {
            g_log.Failure();
            g_log.Write("track-stalled", {{"index", index},
                                          {"what", "write"},
                                          {"frames", std::to_string(written)},
                                          {"canwrite", std::to_string(free_bytes)}});
            log_written(true);
            return finish(Ending::Stalled);
          }
          Sleep(10);
          continue;
        }
        const int64_t frames = std::min(pace.write_frames, o.frames - position);
        const std::vector<uint8_t> bytes = harness::PackSamples(
            source.samples.data() + static_cast<size_t>(o.from + position) * channels,
            static_cast<size_t>(frames) * channels, source.bits, o.bits);
        module_->Write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<int32_t>(bytes.size()));
        ++writes;
        position += frames;
        written += frames;
        last_progress = NowMs();
        continue;
      }
      if (end_mark_at < 0) {
        log_written(false);
        module_->Write(nullptr, 0);
        end_mark_at = NowMs();
        deadline = end_mark_at + track.Ms() + kEndGraceMs;
        polls = 0;
        std::lock_guard lock(times_mutex_);
        end_mark_times_ = latest_;
      }
      module_->CanWrite();
      ++polls;
      if (module_->IsPlaying() == 0) {
        g_log.Write("track-ended", {{"index", index},
                                    {"polls", std::to_string(polls)},
                                    {"ms_after_end_mark", std::to_string(NowMs() - end_mark_at)}});
        return finish(Ending::Played);
      }
      if (paused_) deadline = std::max(deadline, NowMs() + track.Ms() + kEndGraceMs);
      if (NowMs() > deadline) {
        g_log.Failure();
        g_log.Write("track-stalled",
                    {{"index", index},
                     {"what", "end"},
                     {"polls", std::to_string(polls)},
                     {"ms_after_end_mark", std::to_string(NowMs() - end_mark_at)}});
        return finish(Ending::Stalled);
      }
      Sleep(10);
    }
  }

  std::optional<int32_t> TakeSeek() {
    std::lock_guard lock(mutex_);
    if (!seek_pending_) return std::nullopt;
    seek_pending_ = false;
    return seek_ms_;
  }
  void SeekDone() {
    std::lock_guard lock(mutex_);
    seek_done_ = true;
    changed_.notify_all();
  }

  // A visualisation thread: both times about every 16 ms while a track is open. An answer
  // given while the stretch changed (a seek, a pause, Close) is left out.
  void Watch(Caller caller) {
    while (!watch_stop_) {
      const uint64_t stretch = stretch_;
      if (open_) {
        const int32_t output = module_->GetOutputTime();
        const int32_t written = module_->GetWrittenTime();
        if (stretch_ == stretch && open_) {
          std::lock_guard lock(times_mutex_);
          tallies_[caller].Add(stretch, output, written);
          latest_ = {output, written};
        }
      }
      Sleep(kVisualisationMs);
    }
  }

  void OnMainTimer() {
    const uint64_t stretch = stretch_;
    if (!open_) return;
    const int32_t output = module_->GetOutputTime();
    if (stretch_ != stretch || !open_) return;
    std::lock_guard lock(times_mutex_);
    tallies_[kMainTimer].Add(stretch, output);
  }

  void LogTimes(const Track& track, Ending ending) {
    std::lock_guard lock(times_mutex_);
    harness::TimeTally all;
    for (const harness::TimeTally& tally : tallies_) all.Merge(tally);
    Fields fields = {{"index", std::to_string(track.index)},
                     {"samples", std::to_string(all.samples)},
                     {"main_samples", std::to_string(tallies_[kMainTimer].samples)},
                     {"output_decreases", std::to_string(all.output_decreases)},
                     {"output_above_written", std::to_string(all.output_above_written)},
                     {"max_lag_ms", std::to_string(all.max_lag_ms)},
                     {"track_ms", std::to_string(track.Ms())}};
    if (ending == Ending::Played || end_mark_times_.output >= 0) {
      fields.push_back({"end_mark_output_ms", std::to_string(end_mark_times_.output)});
      fields.push_back({"end_mark_written_ms", std::to_string(end_mark_times_.written)});
    }
    fields.push_back({"output_ms", std::to_string(last_times_.output)});
    fields.push_back({"written_ms", std::to_string(last_times_.written)});
    g_log.Write("track-times", fields);
  }

  TOutputModule* module_;
  std::atomic<int32_t> volume_{255};
  std::atomic<int32_t> pan_{0};
  std::atomic<bool> paused_{false};
  std::atomic<bool> stop_{false};
  std::atomic<bool> open_{false};
  std::atomic<bool> watch_stop_{false};
  std::atomic<uint64_t> stretch_{0};
  std::thread controller_;

  std::mutex mutex_;  // the queue, the state and the seek request
  std::condition_variable changed_;
  std::deque<Track> queue_;
  bool running_ = false;
  int64_t current_ms_ = 0;
  bool seek_pending_ = false;
  bool seek_done_ = false;
  int32_t seek_ms_ = 0;

  std::mutex times_mutex_;
  harness::TimeTally tallies_[kCallers];
  Times latest_;          // the last both times a visualisation thread saw
  Times end_mark_times_;  // ... before the end mark
  Times last_times_;      // ... when the decode thread ended
};

// ---- the script ----------------------------------------------------------------------------
class Player {
 public:
  // `generate` (when given) makes the generated source anew at another rate.
  Player(TOutputModule* module, platform::LibraryHandle library, harness::PcmSource source,
         std::function<harness::PcmSource(int32_t)> generate, Watcher& watcher)
      : module_(module),
        library_(library),
        source_(std::move(source)),
        generate_(std::move(generate)),
        watcher_(watcher),
        playlist_(std::make_unique<Playlist>(module)) {}

  // The plug-in was freed by `quit unload`.
  bool Unloaded() const { return unloaded_; }

  void Run(const std::vector<Step>& steps) {
    for (const Step& step : steps) {
      g_log.Write("step", {{"text", step.text}});
      Do(step);
    }
    if (initialized_ && !quit_) {
      Step quit{"quit", {}, "quit (end of script)"};
      g_log.Write("step", {{"text", quit.text}});
      Do(quit);
    }
    playlist_->Stop();
  }

 private:
  void Do(const Step& step) {
    const std::string& verb = step.verb;
    const auto& words = step.words;
    if (verb == "library") {
      watcher_.SetLibraryAnswer(words[0]);
    } else if (verb == "boxes") {
      if (words[0] != "confirm" && words[0] != "hold") return g_log.Error(step, "confirm or hold");
      watcher_.SetHoldBoxes(words[0] == "hold");
    } else if (verb == "init") {
      if (!words.empty() && words[0] != "unchosen") return g_log.Error(step, "unchosen or nothing");
      initialized_ = true;
      const int held = watcher_.HeldCount();
      ResetEvent(watcher_.Held());  // a window held earlier does not count for this Init
      const ModeChangeRoutine chosen = words.empty() ? FindModeChange() : nullptr;
      if (RunOnMain(
              [this, chosen] {
                module_->Init();
                if (chosen) chosen(1);
              },
              kCallWaitMs, watcher_.Held()))
        g_log.Write("init-done");
      else if (watcher_.HeldCount() > held)
        g_log.Write("init-held");
      else
        g_log.Error(step, "Init did not return");
    } else if (verb == "quit") {
      Quit(step);
    } else if (verb == "config") {
      RunOnMain([this] { module_->Config(g_main_window); });
    } else if (verb == "window") {
      LogPluginWindow();
    } else if (verb == "press") {
      Press(step);
    } else if (verb == "select") {
      Select(step);
    } else if (verb == "items") {
      LogItems(step, words[0]);
    } else if (verb == "close") {
      Close(step);
    } else if (verb == "move") {
      Move(step);
    } else if (verb == "capture") {
      Capture(step);
    } else if (verb == "play") {
      Play(step);
    } else if (verb == "wait") {
      // Real time: the source's length and two minutes more, ten minutes at least.
      const int64_t source_ms =
          static_cast<int64_t>(source_.Frames()) * 1000 / std::max<int32_t>(source_.sample_rate, 1);
      const auto wait_ms = static_cast<DWORD>(std::max<int64_t>(source_ms + 120000, 600000));
      if (!decoder_ || !decoder_->WaitDone(wait_ms)) g_log.Error(step, "nothing playing");
    } else if (verb == "track") {
      AddTrack(step);
    } else if (verb == "track-seek") {
      const auto ms = harness::ParseInteger(words[0], 0, INT32_MAX);
      if (!ms) return g_log.Error(step, "not a time in ms");
      std::string error;
      if (!playlist_->Seek(static_cast<int32_t>(*ms), &error)) g_log.Error(step, error);
    } else if (verb == "track-stop") {
      if (!playlist_->Stop()) g_log.Error(step, "no track plays");
    } else if (verb == "track-wait") {
      const auto wait_ms = static_cast<DWORD>(std::min<int64_t>(
          playlist_->PendingMs() + 120000, std::numeric_limits<DWORD>::max() - 1));
      if (!playlist_->Wait(wait_ms)) g_log.Error(step, "the playlist is still playing");
    } else if (verb == "mode-change") {
      ModeChange(step);
    } else if (verb == "stop") {
      if (decoder_) decoder_->Stop();
      RunOnMain([this] { module_->Close(); });
      g_log.Write("closed-stream");
    } else if (verb == "pause" || verb == "resume") {
      const int32_t flag = verb == "pause" ? 1 : 0;
      if (decoder_) decoder_->SetPaused(flag != 0);
      playlist_->SetPaused(flag != 0);
      int32_t previous = -1;
      RunOnMain([&] { previous = module_->Pause(flag); });
      playlist_->NewStretch();
      g_log.Write(verb, {{"previous", std::to_string(previous)}});
    } else if (verb == "volume" || verb == "pan" || verb == "flush" || verb == "sleep") {
      const auto value = harness::ParseInteger(words[0], -1000000000, 1000000000);
      if (!value) return g_log.Error(step, "not a number");
      const auto v = static_cast<int32_t>(*value);
      if (verb == "volume") {
        playlist_->SetVolume(v);
        RunOnMain([&] { module_->SetVolume(v); });
      }
      if (verb == "pan") {
        playlist_->SetPan(v);
        RunOnMain([&] { module_->SetPan(v); });
      }
      if (verb == "flush") RunOnMain([&] { module_->Flush(v); });
      if (verb == "sleep") Sleep(static_cast<DWORD>(std::max(v, 0)));
    } else if (verb == "time") {
      int32_t output = 0, written = 0;
      RunOnMain([&] {
        output = module_->GetOutputTime();
        written = module_->GetWrittenTime();
      });
      g_log.Write("time",
                  {{"output", std::to_string(output)}, {"written", std::to_string(written)}});
    } else if (verb == "canwrite") {
      int32_t frames = 0;
      RunOnMain([&] { frames = module_->CanWrite(); });
      g_log.Write("canwrite", {{"frames", std::to_string(frames)}});
    } else if (verb.starts_with("asio-")) {
      Asio(step);
    } else if (verb == "analyze") {
      Analyze(step);
    } else if (verb == "counter-check") {
      CheckCounter(step);
    } else if (verb == "spectrum") {
      WriteSpectrum(step);
    } else if (verb == "silences") {
      LogSilences(step);
    }
  }

  // A modal window of the plug-in that is open holds a call (a press, Init) on the main thread:
  // Quit then runs inside the window's loop, and those calls return once it has ended.
  void Quit(const Step& step) {
    decoder_.reset();
    playlist_->Stop();
    quit_ = true;
    const bool unload = !step.words.empty();
    if (unload && step.words[0] != "unload") return g_log.Error(step, "unload or nothing");
    const size_t held = g_pending.size();
    if (!RunOnMain([this, unload] {
          module_->Quit();
          if (!unload) return;
          platform::FreeLibraryHandle(library_);
          unloaded_ = true;
        }))
      return g_log.Error(step, "Quit did not return");
    const bool returned = WaitForPending(10000);
    g_log.Write("quit-done", {{"held_calls", std::to_string(held)},
                              {"returned", returned ? "1" : "0"},
                              {"unloaded", unloaded_ ? "1" : "0"}});
    if (!returned) g_log.Error(step, "a call Quit ran inside does not return");
  }

  static harness::Window PluginWindow() {
    return harness::FindTopLevelWindow(kPluginWindowCaption);
  }

  // The named control in any shown window of the plug-in, the newest window first.
  static harness::Window FindControl(const std::string& name) {
    for (harness::Window top : harness::ProcessTopLevelWindows()) {
      if (top == g_main_window || !harness::IsWindowShown(top)) continue;
      if (harness::Window found = platform::FindNamedWindow(top, name)) return found;
    }
    // The plug-in window may be hidden: the user reaches its controls through Config.
    harness::Window window = nullptr;
    for (harness::Window top : harness::ProcessTopLevelWindows())
      if (harness::StoredWindowText(top) == kPluginWindowCaption) window = top;
    return window ? platform::FindNamedWindow(window, name) : nullptr;
  }

  static std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (size_t i = 0; i < items.size(); ++i) text += (i ? "|" : "") + items[i];
    return text;
  }

  void LogPluginWindow() {
    harness::Window window = nullptr;
    for (harness::Window top : harness::ProcessTopLevelWindows())
      if (harness::StoredWindowText(top) == kPluginWindowCaption) window = top;
    if (!window) {
      g_log.Write("window", {{"caption", kPluginWindowCaption}, {"found", "0"}});
      return;
    }
    Fields fields;
    RunOnMain([&] {
      const platform::Bounds bounds = platform::WindowBounds(window);
      fields = {{"caption", kPluginWindowCaption},
                {"found", "1"},
                {"visible", platform::WindowVisible(window) ? "1" : "0"},
                {"left", std::to_string(bounds.left)},
                {"top", std::to_string(bounds.top)},
                {"width", std::to_string(bounds.width)},
                {"height", std::to_string(bounds.height)}};
      if (harness::Window drivers = platform::FindNamedWindow(window, "CBDriver")) {
        const auto items = platform::WindowItems(drivers);
        const int32_t selected = platform::WindowSelectedIndex(drivers);
        fields.push_back({"drivers", Join(items)});
        fields.push_back({"driver_index", std::to_string(selected)});
        fields.push_back({"driver", selected >= 0 && selected < static_cast<int32_t>(items.size())
                                        ? items[static_cast<size_t>(selected)]
                                        : ""});
      }
    });
    g_log.Write("window", fields);
  }

  // The press may outlast this step (a modal window): what it reports lives in the task.
  void Press(const Step& step) {
    const std::string name = step.words[0];
    auto found = std::make_shared<std::atomic<int>>(-1);
    const bool returned = RunOnMain(
        [found, name] {
          harness::Window button = FindControl(name);
          *found = button ? 1 : 0;
          if (button) platform::ClickWindow(button);
        },
        kPressWaitMs);
    g_log.Write("press", {{"name", name},
                          {"found", std::to_string(found->load())},
                          {"returned", returned ? "1" : "0"}});
    if (found->load() == 0) g_log.Error(step, "no control named " + name);
  }

  void Select(const Step& step) {
    const std::string& name = step.words[0];
    const std::string& text = step.words[1];
    std::string failure;
    int32_t chosen = -1;
    RunOnMain([&] {
      harness::Window box = FindControl(name);
      if (!box) {
        failure = "no control named " + name;
        return;
      }
      const auto items = platform::WindowItems(box);
      for (size_t i = 0; i < items.size() && chosen < 0; ++i)
        if (items[i] == text) chosen = static_cast<int32_t>(i);
      for (size_t i = 0; i < items.size() && chosen < 0; ++i)
        if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, items[i].c_str(), -1, text.c_str(),
                           -1) == CSTR_EQUAL)
          chosen = static_cast<int32_t>(i);
      if (chosen < 0) {
        failure = "no item " + harness::Quote(text) + " in " + name + " (" + Join(items) + ")";
        return;
      }
      platform::SelectWindowItem(box, chosen);
    });
    if (!failure.empty()) return g_log.Error(step, failure);
    g_log.Write("select", {{"name", name}, {"index", std::to_string(chosen)}, {"text", text}});
  }

  void LogItems(const Step& step, const std::string& name) {
    Fields fields;
    RunOnMain([&] {
      harness::Window box = FindControl(name);
      if (!box) return;
      const auto items = platform::WindowItems(box);
      const int32_t selected = platform::WindowSelectedIndex(box);
      fields = {{"name", name},
                {"items", Join(items)},
                {"selected", std::to_string(selected)},
                {"text", selected >= 0 && selected < static_cast<int32_t>(items.size())
                             ? items[static_cast<size_t>(selected)]
                             : ""}};
    });
    if (fields.empty()) return g_log.Error(step, "no control named " + name);
    g_log.Write("items", fields);
  }

  void Close(const Step& step) {
    harness::Window window = harness::FindTopLevelWindow(step.words[0]);
    if (!window) return g_log.Error(step, "no window " + harness::Quote(step.words[0]));
    platform::CloseWindowLater(window);
    const DWORD start = GetTickCount();
    while (harness::IsWindowShown(window) && GetTickCount() - start < 10000) Sleep(5);
    if (harness::IsWindowShown(window)) return g_log.Error(step, "the window stays open");
    if (!WaitForPending(10000)) return g_log.Error(step, "a press does not return");
    g_log.Write("closed", {{"caption", step.words[0]}});
  }

  void Move(const Step& step) {
    harness::Window window = harness::FindTopLevelWindow(step.words[0]);
    const auto left = harness::ParseInteger(step.words[1], -100000, 100000);
    const auto top = harness::ParseInteger(step.words[2], -100000, 100000);
    if (!window || !left || !top) return g_log.Error(step, "no such window or position");
    RunOnMain(
        [&] { harness::MoveWindowTo(window, static_cast<int>(*left), static_cast<int>(*top)); });
    g_log.Write("moved",
                {{"caption", step.words[0]}, {"left", step.words[1]}, {"top", step.words[2]}});
  }

  void Capture(const Step& step) {
    harness::Window window = harness::FindTopLevelWindow(step.words[0]);
    if (!window) return g_log.Error(step, "no window " + harness::Quote(step.words[0]));
    bool saved = false;
    RunOnMain([&] { saved = platform::CaptureWindowImage(window, step.words[1]); });
    if (!saved) return g_log.Error(step, "cannot save " + step.words[1]);
    g_log.Write("captured", {{"caption", step.words[0]}, {"file", step.words[1]}});
  }

  void Play(const Step& step) {
    std::string error;
    auto options = harness::KeyValues(step.words, 0, {"rate", "bits", "tail"}, &error);
    if (!options) return g_log.Error(step, error);
    const auto rate = harness::ParseInteger(
        options->contains("rate") ? (*options)["rate"] : std::to_string(source_.sample_rate), 1,
        100000000);
    // The player opens a stream at its source's depth unless told otherwise.
    const auto bits = harness::ParseInteger(
        options->contains("bits") ? (*options)["bits"] : std::to_string(source_.bits), 8, 32);
    const auto tail = harness::ParseInteger(
        options->contains("tail") ? (*options)["tail"] : std::to_string(kDefaultTailFrames), 0,
        100000000);
    if (!rate || !bits || !tail || *bits % 8 != 0)
      return g_log.Error(step, "bad rate, bits or tail");
    if (decoder_) decoder_->Stop();
    int32_t opened = -1;
    RunOnMain([&] {
      opened = module_->Open(static_cast<int32_t>(*rate), source_.channels,
                             static_cast<int32_t>(*bits), 2000, 500);
    });
    g_log.Write("open", {{"rate", std::to_string(*rate)},
                         {"channels", std::to_string(source_.channels)},
                         {"bits", std::to_string(*bits)},
                         {"result", std::to_string(opened)}});
    decoder_ = std::make_unique<Decoder>(module_, source_);
    decoder_->Start(static_cast<int32_t>(*bits), *tail, 3000);
  }

  void AddTrack(const Step& step) {
    std::string error;
    auto options = harness::ParseTrackOptions(step.words, static_cast<int64_t>(source_.Frames()),
                                              source_.sample_rate, source_.bits, &error);
    if (!options) return g_log.Error(step, error);
    Track track;
    track.index = next_track_++;
    track.options = *options;
    track.source = &source_;
    if (options->rate != source_.sample_rate && generate_) {
      // The same stretch of the programme, generated at the track's rate.
      auto& generated = generated_[options->rate];
      if (!generated) generated = std::make_unique<harness::PcmSource>(generate_(options->rate));
      const auto at_rate = [&](int64_t frames) {
        return static_cast<int64_t>(
            std::llround(static_cast<double>(frames) * options->rate / source_.sample_rate));
      };
      const auto frames = static_cast<int64_t>(generated->Frames());
      track.options.from = std::min(at_rate(options->from), frames);
      track.options.frames = std::min(at_rate(options->frames), frames - track.options.from);
      if (track.options.frames < 1) return g_log.Error(step, "no frames at that rate");
      track.source = generated.get();
    }
    const harness::TrackOptions& o = track.options;
    g_log.Write("track-queued", {{"index", std::to_string(track.index)},
                                 {"from", std::to_string(o.from)},
                                 {"frames", std::to_string(o.frames)},
                                 {"rate", std::to_string(o.rate)},
                                 {"bits", std::to_string(o.bits)},
                                 {"decoder", DecoderName(o.decoder)},
                                 {"dsp", o.dsp ? "1" : "0"},
                                 {"generated", track.source != &source_ ? "1" : "0"}});
    playlist_->Add(track);
  }

  // The plug-in's optional export through which the player tells it that it became (bit 0)
  // or is no longer the active output; null when it has none.
  using ModeChangeRoutine = void(PLAYER_CALL*)(int);
  ModeChangeRoutine FindModeChange() const {
    return reinterpret_cast<ModeChangeRoutine>(
        platform::FindLibraryExport(library_, "winampGetOutModeChange"));
  }

  void ModeChange(const Step& step) {
    const auto mode = harness::ParseInteger(step.words[0], INT32_MIN, INT32_MAX);
    if (!mode) return g_log.Error(step, "not a number");
    if (unloaded_) return g_log.Error(step, "the plug-in is unloaded");
    const ModeChangeRoutine routine = FindModeChange();
    if (routine) RunOnMain([&] { routine(static_cast<int>(*mode)); });
    g_log.Write("mode-change", {{"mode", step.words[0]}, {"found", routine ? "1" : "0"}});
  }

  void Asio(const Step& step) {
    const auto& words = step.words;
    const bool install = step.verb == "asio-install" || step.verb == "asio-uninstall";
    GUID id{};
    if (FAILED(platform::ClassIdFromString(install ? words[1] : words[0], &id)))
      return g_log.Error(step, "not a class id");
    if (step.verb == "asio-install") {
      std::string error;
      auto options = harness::KeyValues(
          words, 2,
          {"outputs", "type", "block", "capture", "reset", "resize", "size2", "rate", "rates"},
          &error);
      if (!options) return g_log.Error(step, error);
      asio_test::DriverConfig config;
      config.driver_name = words[0];
      const auto outputs =
          harness::ParseInteger(options->contains("outputs") ? (*options)["outputs"] : "8", 1, 64);
      const auto type =
          harness::ParseInteger(options->contains("type") ? (*options)["type"] : "19", 0, 100);
      const auto block = harness::ParseInteger(
          options->contains("block") ? (*options)["block"] : "256", 16, 16384);
      const auto interval = [&](const char* key) {
        return harness::ParseInteger(options->contains(key) ? (*options)[key] : "0", 0, 3600000);
      };
      const auto reset = interval("reset"), resize = interval("resize"), rate = interval("rate");
      const auto size2 = harness::ParseInteger(
          options->contains("size2") ? (*options)["size2"] : "512", 16, 16384);
      if (!outputs || !type || !block) return g_log.Error(step, "bad outputs, type or block");
      if (!reset || !resize || !rate || !size2)
        return g_log.Error(step, "bad reset, resize, size2 or rate");
      config.outputs.clear();
      for (int64_t k = 1; k <= *outputs; ++k)
        config.outputs.push_back(
            {"Output " + std::to_string(k), static_cast<ASIOSampleType>(*type)});
      config.preferred_size = static_cast<int32_t>(*block);
      config.output_wav = (*options)["capture"];
      config.reset_request_ms = static_cast<int32_t>(*reset);
      config.buffer_size_change_ms = static_cast<int32_t>(*resize);
      config.alternate_size = static_cast<int32_t>(*size2);
      config.rate_announcement_ms = static_cast<int32_t>(*rate);
      if (options->contains("rates")) {
        // A driver that runs one rate only makes the plug-in convert the others, and keeps
        // the capture, a file of one rate, whole.
        config.sample_rates.clear();
        std::istringstream list((*options)["rates"]);
        for (std::string item; std::getline(list, item, ',');) {
          const auto hz = harness::ParseInteger(item, 1000, 1000000);
          if (!hz) return g_log.Error(step, "bad rates");
          config.sample_rates.push_back(static_cast<double>(*hz));
        }
        if (config.sample_rates.empty()) return g_log.Error(step, "bad rates");
        config.sample_rate = config.sample_rates.front();
      }
      if (!asio_test::InstallDriver(words[0], id, config))
        return g_log.Error(step, "cannot write the registry");
      // The library stays loaded from here on, so that what it keeps per driver (the
      // capture it goes on writing, the counts, the request timers) outlives every reopening.
      Control(id);
      g_log.Write("asio-installed", {{"name", words[0]}, {"outputs", std::to_string(*outputs)}});
    } else if (step.verb == "asio-uninstall") {
      asio_test::UninstallDriver(words[0], id);
      g_log.Write("asio-uninstalled", {{"name", words[0]}});
    } else if (step.verb == "asio-message") {
      const auto selector = harness::ParseInteger(words[1], INT32_MIN, INT32_MAX);
      const auto value =
          harness::ParseInteger(words.size() > 2 ? words[2] : "0", INT32_MIN, INT32_MAX);
      if (!selector || !value) return g_log.Error(step, "bad selector or value");
      const auto answer =
          Control(id).SendMessage(static_cast<int32_t>(*selector), static_cast<int32_t>(*value));
      g_log.Write("asio-message",
                  {{"selector", words[1]}, {"answer", answer ? std::to_string(*answer) : "none"}});
    } else if (step.verb == "asio-switches") {
      asio_test::DriverControl& control = Control(id);
      const AsioTestDriverTiming timing = control.Timing().value_or(AsioTestDriverTiming{});
      const auto microseconds = [](int64_t nanoseconds) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", static_cast<double>(nanoseconds) / 1000.0);
        return std::string(text);
      };
      g_log.Write("asio-switches",
                  {{"count", std::to_string(control.SwitchCount())},
                   {"starts", std::to_string(control.CallCount("start"))},
                   {"inits", std::to_string(control.CallCount("init"))},
                   {"timed", std::to_string(timing.blocks)},
                   {"late", std::to_string(timing.late)},
                   {"overlong", std::to_string(timing.overlong)},
                   {"longest_us", microseconds(timing.longest_ns)},
                   {"p999_us", microseconds(timing.p999_ns)},
                   {"period_us", microseconds(timing.period_ns)},
                   {"starts_timed", std::to_string(timing.starts)},
                   {"all_blocks", std::to_string(timing.all_blocks)},
                   {"all_late", std::to_string(timing.all_late)},
                   {"all_overlong", std::to_string(timing.all_overlong)},
                   {"all_late_at_starts", std::to_string(timing.all_late_at_starts)}});
      // "what value at FRAMES"
      for (const std::string& request : control.Requests()) {
        std::istringstream words(request);
        std::string what, value, at, frame;
        words >> what >> value >> at >> frame;
        g_log.Write("asio-request", {{"what", what}, {"value", value}, {"frame", frame}});
      }
    }
  }

  // The driver library's controls, kept from the first use on: the counts live in the
  // library, which would go (and forget them) with the host's last driver object.
  asio_test::DriverControl& Control(const GUID& id) {
    const std::string key = platform::ClassIdToString(id);
    auto& control = controls_[key];
    if (!control) control = std::make_unique<asio_test::DriverControl>(id);
    return *control;
  }

  // The effect outputs (1 to 8) routed to each of `channels` channels of `driver`, as the
  // plug-in stores its routing.
  static std::vector<std::vector<int32_t>> StoredRouting(const std::string& driver,
                                                         int32_t channels) {
    std::vector<std::vector<int32_t>> routed(static_cast<size_t>(channels));
    auto key = platform::RegistryKey::Open(platform::RegistryRoot::CurrentUser, kSettingsKey,
                                           platform::RegistryAccess::ReadOnly);
    for (int32_t k = 1; key && k <= 8; ++k) {
      const auto text = key->ReadString("Routing " + driver + " Channel " + std::to_string(k));
      const int32_t channel = text ? harness::ChannelNumberOfText(*text) : -1;
      if (channel >= 0 && channel < channels) routed[static_cast<size_t>(channel)].push_back(k);
    }
    return routed;
  }

  void Analyze(const Step& step) {
    std::string error;
    auto options = harness::KeyValues(step.words, 1, {"driver"}, &error);
    if (!options) return g_log.Error(step, error);
    auto capture = harness::ReadCapture(step.words[0], &error);
    if (!capture) return g_log.Error(step, error);
    std::vector<std::string> routed(static_cast<size_t>(capture->channels));
    if (options->contains("driver")) {
      const auto outputs = StoredRouting((*options)["driver"], capture->channels);
      for (size_t c = 0; c < routed.size(); ++c)
        for (int32_t k : outputs[c])
          routed[c] += (routed[c].empty() ? "" : ",") + std::to_string(k);
    }
    const harness::Span span = harness::ActiveSpan(*capture);
    g_log.Write("analysis", {{"file", step.words[0]},
                             {"channels", std::to_string(capture->channels)},
                             {"rate", std::to_string(capture->sample_rate)},
                             {"frames", std::to_string(capture->Frames())},
                             {"sounding_from", std::to_string(span.first)},
                             {"sounding_frames", std::to_string(span.end - span.first)}});
    for (int32_t c = 0; c < capture->channels; ++c) {
      const auto levels =
          harness::MeasureLevels(capture->channel[static_cast<size_t>(c)], span.first, span.end);
      char peak[32], rms[32];
      std::snprintf(peak, sizeof peak, "%.2f", harness::Dbfs(levels.peak));
      std::snprintf(rms, sizeof rms, "%.2f", harness::Dbfs(levels.rms));
      g_log.Write("channel", {{"index", std::to_string(c)},
                              {"outputs", routed[static_cast<size_t>(c)]},
                              {"peak_dbfs", peak},
                              {"rms_dbfs", rms}});
    }
  }

  void CheckCounter(const Step& step) {
    std::string error;
    auto options = harness::KeyValues(step.words, 1, {"driver"}, &error);
    if (!options) return g_log.Error(step, error);
    std::vector<int32_t> outputs;
    if (options->contains("driver")) {
      // A channel that more than one output reaches carries their sum: no counter to follow.
      for (const auto& routed : StoredRouting((*options)["driver"], 64))
        outputs.push_back(routed.size() == 1 ? routed[0] : 0);
    } else {
      for (int32_t k = 1; k <= 8; ++k) outputs.push_back(k);
    }
    const auto findings = harness::CheckCounterCapture(
        step.words[0], static_cast<int64_t>(source_.Frames()), outputs, &error);
    if (!findings) return g_log.Error(step, error);
    const harness::CounterFindings* first = nullptr;
    for (size_t c = 0; c < findings->size() && c < outputs.size(); ++c) {
      if (outputs[c] == 0) continue;
      const harness::CounterFindings& f = (*findings)[c];
      if (!first) first = &f;
      g_log.Write("counter", {{"channel", std::to_string(c)},
                              {"output", std::to_string(outputs[c])},
                              {"captured", std::to_string(f.captured)},
                              {"heard", std::to_string(f.heard)},
                              {"lead", std::to_string(f.lead)},
                              {"gaps", std::to_string(f.gaps)},
                              {"gap_frames", std::to_string(f.gap_frames)},
                              {"unrecognised", std::to_string(f.unrecognised)},
                              {"lost", std::to_string(f.lost)},
                              {"repeated", std::to_string(f.repeated)},
                              {"out_of_order", std::to_string(f.out_of_order)},
                              {"unplayed", std::to_string(f.unplayed)},
                              {"jumps", std::to_string(f.jumps)}});
    }
    if (!first) return g_log.Error(step, "no channel carries a single router output");
    for (const harness::CounterJump& jump : first->first_jumps)
      g_log.Write("counter-jump", {{"at", std::to_string(jump.at)},
                                   {"from", std::to_string(jump.from)},
                                   {"to", std::to_string(jump.to)},
                                   {"silence", std::to_string(jump.silence)}});
  }

  void LogSilences(const Step& step) {
    constexpr size_t kRunsLogged = 100;
    std::string error;
    auto options = harness::KeyValues(step.words, 1, {"below"}, &error);
    if (!options) return g_log.Error(step, error);
    std::optional<double> below_dbfs;
    if (options->contains("below")) {
      below_dbfs = harness::ParseNumber((*options)["below"]);
      if (!below_dbfs || *below_dbfs > 0) return g_log.Error(step, "below= takes dBFS up to 0");
    }
    auto capture = harness::ReadCapture(step.words[0], &error);
    if (!capture) return g_log.Error(step, error);
    const double below = below_dbfs ? std::pow(10.0, *below_dbfs / 20) : 0.0;
    const auto runs = harness::SilentRuns(*capture, below);
    const harness::Span span = harness::ActiveSpan(*capture, below);
    int64_t silent = 0, longest = 0;
    for (const harness::SilentRun& run : runs) {
      silent += run.frames;
      longest = std::max(longest, run.frames);
    }
    g_log.Write("silences", {{"file", step.words[0]},
                             {"rate", std::to_string(capture->sample_rate)},
                             {"below_dbfs", below_dbfs ? (*options)["below"] : "exact"},
                             {"sounding_from", std::to_string(span.first)},
                             {"sounding_frames", std::to_string(span.end - span.first)},
                             {"runs", std::to_string(runs.size())},
                             {"silent_frames", std::to_string(silent)},
                             {"longest", std::to_string(longest)}});
    for (size_t i = 0; i < runs.size() && i < kRunsLogged; ++i)
      g_log.Write("silence",
                  {{"at", std::to_string(runs[i].at)}, {"frames", std::to_string(runs[i].frames)}});
  }

  void WriteSpectrum(const Step& step) {
    std::string error;
    auto capture = harness::ReadCapture(step.words[0], &error);
    if (!capture) return g_log.Error(step, error);
    const harness::Span span = harness::ActiveSpan(*capture);
    std::vector<std::vector<harness::SpectrumPoint>> channels;
    for (const auto& samples : capture->channel)
      channels.push_back(harness::FractionalOctaves(
          harness::AverageSpectrum(samples, span.first, span.end, kSpectrumFrame),
          capture->sample_rate, 20.0, 20000.0, 12));
    if (channels.empty() || channels[0].empty())
      return g_log.Error(step, "too short for a spectrum");
    std::ofstream table(step.words[1]);
    table << "# Hz, then the level per channel in dBFS (" << kSpectrumFrame
          << "-point frames, 1/12-octave bands)\n";
    char cell[32];
    for (size_t band = 0; band < channels[0].size(); ++band) {
      std::snprintf(cell, sizeof cell, "%.2f", channels[0][band].frequency);
      table << cell;
      for (const auto& points : channels) {
        // Silence gets a floor a plot can draw.
        std::snprintf(cell, sizeof cell, " %.2f",
                      std::max(harness::Dbfs(points[band].amplitude), -200.0));
        table << cell;
      }
      table << "\n";
    }
    if (!table.flush()) return g_log.Error(step, "cannot write " + step.words[1]);
    g_log.Write("spectrum", {{"file", step.words[1]},
                             {"channels", std::to_string(channels.size())},
                             {"bands", std::to_string(channels[0].size())}});
  }

  TOutputModule* module_;
  platform::LibraryHandle library_;
  harness::PcmSource source_;
  std::function<harness::PcmSource(int32_t)> generate_;
  std::map<int32_t, std::unique_ptr<harness::PcmSource>> generated_;  // by rate
  Watcher& watcher_;
  std::atomic<bool> unloaded_{false};
  std::unique_ptr<Decoder> decoder_;
  std::unique_ptr<Playlist> playlist_;  // goes before the sources it plays
  int32_t next_track_ = 0;
  std::map<std::string, std::unique_ptr<asio_test::DriverControl>> controls_;
  bool initialized_ = false;
  bool quit_ = false;
};

// ---- command line --------------------------------------------------------------------------
void PrintHelp() {
  std::printf(
      "player_harness: plays audio through an output plug-in as the player does.\n\n"
      "  player_harness [--plugin PATH] [--no-main-window]\n"
      "                 [--wav FILE | --tone SECONDS | --programme SECONDS | --counter SECONDS]\n"
      "                 [--script FILE] [--step STEP]...\n\n"
      "  --plugin PATH    the plug-in (default: out_partiloom.dll beside this program)\n"
      "  --no-main-window leaves the record's main window 0 (the instance is still set), as\n"
      "                   another host of these plug-ins does\n"
      "  --wav FILE       plays a PCM WAV file of 8, 16, 24 or 32 bits\n"
      "  --tone SECONDS   plays a generated stereo signal (440 Hz at -20 dBFS left, 660 Hz at\n"
      "                   -26 dBFS right, 44100 Hz); without a source: silence of 1 second\n"
      "  --programme SECONDS\n"
      "                   plays the demonstration programme (log sweep, pink noise, tones; 18 s\n"
      "                   that repeat; the right channel 6 dB below the left)\n"
      "  --counter SECONDS\n"
      "                   plays a stereo counter: every frame's samples tell its number (for\n"
      "                   the counter-check step)\n"
      "  --script FILE    steps from a file, one a line ('#' starts a comment line)\n"
      "  --step STEP      one step; steps run in the order given, after the script's\n\n"
      "Without steps: init, window, play, wait, stop, quit. A script that ran init ends\n"
      "with quit. The main thread owns the main window (its handle and the plug-in's\n"
      "instance are in the record before Init) and runs Init, Quit, Open, Close, Pause,\n"
      "SetVolume, SetPan, Flush and the time calls, and every user action; a decoder thread\n"
      "calls CanWrite and Write. The playlist (track steps) plays as the player does: a\n"
      "decode thread per track calls Open, Write, CanWrite, IsPlaying and Flush, the main\n"
      "thread SetVolume, SetPan and Close and GetOutputTime every 100 ms, and two\n"
      "visualisation threads GetOutputTime and GetWrittenTime every 16 ms while a track is\n"
      "open. Message boxes are logged with their text and confirmed.\n"
      "Words with blanks go in double quotes.\n\nSteps:\n");
  for (const auto& spec : harness::StepSpecs())
    std::printf("  %s\n      %s\n", spec.usage, spec.help);
  std::printf(
      "\nLog: one line per event, 'MS EVENT key=value ...', MS since start; texts quoted.\n"
      "Exit status: 0 when every step worked, 1 otherwise, 2 for a bad command line.\n");
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  std::stringstream stream;
  stream << file.rdbuf();
  *text = stream.str();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin = platform::ExecutableDirectory() + "\\out_partiloom.dll";
  std::string wav_path;
  double tone_seconds = -1;
  double programme_seconds = -1;
  double counter_seconds = -1;
  bool main_window_in_record = true;
  std::vector<Step> steps;
  std::vector<Step> command_steps;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    const bool has_value = i + 1 < argc;
    std::string error;
    if (option == "--help" || option == "-h") {
      PrintHelp();
      return 0;
    } else if (option == "--no-main-window") {
      main_window_in_record = false;
    } else if (option == "--plugin" && has_value) {
      plugin = argv[++i];
    } else if (option == "--wav" && has_value) {
      wav_path = argv[++i];
    } else if (option == "--tone" && has_value) {
      const auto seconds = harness::ParseNumber(argv[++i]);
      if (!seconds || *seconds < 0 || *seconds > 3600) {
        std::fprintf(stderr, "--tone wants seconds\n");
        return 2;
      }
      tone_seconds = *seconds;
    } else if (option == "--programme" && has_value) {
      const auto seconds = harness::ParseNumber(argv[++i]);
      if (!seconds || *seconds <= 0 || *seconds > 3600) {
        std::fprintf(stderr, "--programme wants seconds\n");
        return 2;
      }
      programme_seconds = *seconds;
    } else if (option == "--counter" && has_value) {
      const auto seconds = harness::ParseNumber(argv[++i]);
      if (!seconds || *seconds <= 0 || *seconds > 3600) {
        std::fprintf(stderr, "--counter wants seconds\n");
        return 2;
      }
      counter_seconds = *seconds;
    } else if (option == "--script" && has_value) {
      std::string text;
      if (!ReadFile(argv[++i], &text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 2;
      }
      auto parsed = harness::ParseScript(text, &error);
      if (!parsed) {
        std::fprintf(stderr, "%s: %s\n", argv[i], error.c_str());
        return 2;
      }
      steps.insert(steps.end(), parsed->begin(), parsed->end());
    } else if (option == "--step" && has_value) {
      auto step = harness::ParseStep(argv[++i], &error);
      if (!step) {
        std::fprintf(stderr, "--step %s: %s\n", argv[i], error.c_str());
        return 2;
      }
      command_steps.push_back(*step);
    } else {
      std::fprintf(stderr, "unknown option %s (see --help)\n", option.c_str());
      return 2;
    }
  }
  steps.insert(steps.end(), command_steps.begin(), command_steps.end());
  if (steps.empty())
    for (const char* text : {"init", "window", "play", "wait", "stop", "quit"})
      steps.push_back(*harness::ParseStep(text, nullptr));

  std::function<harness::PcmSource(int32_t)> generate;
  if (tone_seconds >= 0)
    generate = [tone_seconds](int32_t rate) { return harness::GenerateTone(tone_seconds, rate); };
  if (programme_seconds > 0)
    generate = [programme_seconds](int32_t rate) {
      return harness::GenerateProgramme(programme_seconds, rate);
    };
  if (counter_seconds > 0)
    generate = [counter_seconds](int32_t rate) {
      return harness::GenerateCounter(counter_seconds, rate);
    };
  harness::PcmSource source = generate ? generate(44100) : harness::GenerateTone(0);
  if (!generate && wav_path.empty()) source.samples.assign(44100 * 2, 0);
  if (!wav_path.empty()) {
    std::string error;
    auto read = harness::ReadPcmWav(wav_path, &error);
    if (!read) {
      std::fprintf(stderr, "%s: %s\n", wav_path.c_str(), error.c_str());
      return 2;
    }
    source = std::move(*read);
    generate = nullptr;
  }

  platform::LibraryLoadResult loaded = platform::LoadLibraryFile(plugin);
  if (!loaded.handle) {
    g_log.Write("load-failed", {{"path", plugin}, {"error", loaded.error_text}});
    return 1;
  }
  platform::DynamicLibrary library(loaded.handle);
  auto get_module = reinterpret_cast<GetOutModuleRoutine>(library.Export("winampGetOutModule"));
  if (!get_module) {
    g_log.Write("load-failed", {{"path", plugin}, {"error", "no winampGetOutModule"}});
    return 1;
  }
  TOutputModule* module = get_module();
  char version[16];
  std::snprintf(version, sizeof version, "0x%X", static_cast<unsigned>(module->version));
  g_log.Write("loaded", {{"path", plugin},
                         {"version", version},
                         {"description", module->description ? module->description : ""}});

  WNDCLASSA window_class{};
  window_class.lpfnWndProc = &MainWindowProc;
  window_class.hInstance = GetModuleHandleA(nullptr);
  window_class.lpszClassName = "PartiloomPlayerHarness";
  window_class.hCursor = LoadCursor(nullptr, IDC_ARROW);
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  RegisterClassA(&window_class);
  g_main_window =
      CreateWindowExA(0, window_class.lpszClassName, "Player Harness", WS_OVERLAPPEDWINDOW, 0, 0,
                      300, 100, nullptr, nullptr, window_class.hInstance, nullptr);
  if (!g_main_window) {
    g_log.Write("error", {{"reason", "cannot create the main window"}});
    return 1;
  }
  ShowWindow(g_main_window, SW_SHOWNOACTIVATE);
  g_main_thread = GetCurrentThreadId();
  // Another host of these plug-ins leaves the main window out of the record.
  module->main_window = main_window_in_record ? g_main_window : nullptr;
  module->library_instance = loaded.handle;
  g_log.Write("main-window", {{"handle", Hex(g_main_window)},
                              {"instance", Hex(loaded.handle)},
                              {"in_record", main_window_in_record ? "1" : "0"}});

  Watcher watcher;
  watcher.Start();
  Player player(module, loaded.handle, std::move(source), std::move(generate), watcher);
  std::thread script([&] {
    player.Run(steps);
    PostThreadMessageA(g_main_thread, WM_QUIT, 0, 0);
  });
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  script.join();
  if (player.Unloaded()) library.Release();
  watcher.Stop();
  DestroyWindow(g_main_window);
  g_log.Write("end", {{"failures", std::to_string(g_log.Failures())}});
  return g_log.Failures() == 0 ? 0 : 1;
}
