#include "platform/fault_log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <tuple>
#include <vector>

#include "platform/system.h"

namespace platform {
namespace {

enum : uint32_t { kFree = 0, kClaiming = 1, kReady = 2 };

struct Entry {
  std::atomic<uint32_t> state{kFree};
  FaultKind kind{};
  FaultSourceId source = 0;
  const char* call = nullptr;
  std::atomic<uint32_t> count{0};
  uint32_t first_code = 0;
  bool written = false;  // the flushing thread's own, under g_flush_mutex
};

// Far more distinct (kind, source, call) places than any session meets; when it is full,
// further places only raise the overflow counter, which the flush reports once.
constexpr size_t kEntryCount = 512;
Entry g_entries[kEntryCount];
std::atomic<uint32_t> g_overflow{0};
bool g_overflow_written = false;

constexpr size_t kMaximumSources = 256;
std::mutex g_flush_mutex;                 // names, written flags, the set of written places
std::vector<std::string> g_source_names;  // id - 1
std::set<std::tuple<int, FaultSourceId, std::string>> g_written_places;

// Calls are compared by their text: the same literal may stand at several addresses (one
// per module, or per translation unit where the linker merges no strings).
bool SameCall(const char* a, const char* b) noexcept {
  if (a == b) return true;
  if (!a || !b) return false;
  return std::strcmp(a, b) == 0;
}

size_t StartIndex(FaultKind kind, FaultSourceId source, const char* call) noexcept {
  uint64_t h = 1469598103934665603ull;  // FNV-1a over the call's text
  for (const char* c = call; c && *c; ++c)
    h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ull;
  h ^= (static_cast<uint64_t>(source) << 8) ^ static_cast<uint64_t>(kind);
  h ^= h >> 29;
  return static_cast<size_t>(h % kEntryCount);
}

bool Matches(const Entry& e, FaultKind kind, FaultSourceId source, const char* call) noexcept {
  return e.kind == kind && e.source == source && SameCall(e.call, call);
}

const char* KindText(FaultKind kind) {
  switch (kind) {
    case FaultKind::EffectFault:
      return "effect fault";
    case FaultKind::DriverFault:
      return "driver fault";
    case FaultKind::FailedCall:
      return "failed driver call";
    case FaultKind::RefusedAnswer:
      return "refused answer";
  }
  return "fault";
}

std::string TimeStamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
#if defined(_WIN32)
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  char text[48];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

void WriteLine(const std::string& line) {
  WriteDebugOutput(line + "\n");
  const char* path = std::getenv("PARTILOOM_LOG");
  if (!path || !*path) return;
  if (std::FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s %s\n", TimeStamp().c_str(), line.c_str());
    std::fclose(file);
  }
}

}  // namespace

FaultSourceId RegisterFaultSource(const std::string& name) {
  std::lock_guard<std::mutex> lock(g_flush_mutex);
  for (size_t i = 0; i < g_source_names.size(); ++i)
    if (g_source_names[i] == name) return static_cast<FaultSourceId>(i + 1);
  if (g_source_names.size() >= kMaximumSources) return 0;
  g_source_names.push_back(name);
  return static_cast<FaultSourceId>(g_source_names.size());
}

void RecordFault(FaultKind kind, FaultSourceId source, const char* call, uint32_t code) noexcept {
  const size_t start = StartIndex(kind, source, call);
  for (size_t step = 0; step < kEntryCount; ++step) {
    Entry& entry = g_entries[(start + step) % kEntryCount];
    uint32_t state = entry.state.load(std::memory_order_acquire);
    if (state == kFree) {
      if (entry.state.compare_exchange_strong(state, kClaiming, std::memory_order_acq_rel)) {
        entry.kind = kind;
        entry.source = source;
        entry.call = call;
        entry.first_code = code;
        entry.count.store(1, std::memory_order_relaxed);
        entry.state.store(kReady, std::memory_order_release);
        return;
      }
      // Lost the race for this entry: `state` now holds what the winner wrote.
    }
    // An entry being claimed may be for the same place; going on past it can leave two
    // entries for one place, which the flush writes once.
    if (state == kReady && Matches(entry, kind, source, call)) {
      entry.count.fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
  g_overflow.fetch_add(1, std::memory_order_relaxed);
}

int FlushFaultLog() {
  std::lock_guard<std::mutex> lock(g_flush_mutex);
  int lines = 0;
  for (Entry& entry : g_entries) {
    if (entry.written || entry.state.load(std::memory_order_acquire) != kReady) continue;
    entry.written = true;
    if (!g_written_places
             .emplace(static_cast<int>(entry.kind), entry.source, entry.call ? entry.call : "")
             .second)
      continue;
    const std::string source =
        entry.source > 0 && static_cast<size_t>(entry.source) <= g_source_names.size()
            ? g_source_names[static_cast<size_t>(entry.source) - 1]
            : std::string("(unnamed)");
    WriteLine(DescribeFault(entry.kind, source, entry.call, entry.first_code));
    ++lines;
  }
  if (!g_overflow_written && g_overflow.load(std::memory_order_relaxed) > 0) {
    g_overflow_written = true;
    WriteLine("partiloom: more kinds of faults than the record holds; further ones are not named");
    ++lines;
  }
  return lines;
}

void WriteNotice(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_flush_mutex);
  WriteLine(line);
}

uint32_t FaultCount(FaultKind kind, FaultSourceId source, const char* call) noexcept {
  uint32_t total = 0;
  for (const Entry& entry : g_entries)
    if (entry.state.load(std::memory_order_acquire) == kReady && Matches(entry, kind, source, call))
      total += entry.count.load(std::memory_order_relaxed);
  return total;
}

uint32_t TotalFaultCount() noexcept {
  uint32_t total = g_overflow.load(std::memory_order_relaxed);
  for (const Entry& entry : g_entries)
    if (entry.state.load(std::memory_order_acquire) == kReady)
      total += entry.count.load(std::memory_order_relaxed);
  return total;
}

std::string DescribeFault(FaultKind kind, const std::string& source, const char* call,
                          uint32_t code) {
  std::string line = "partiloom: ";
  line += KindText(kind);
  line += ": \"" + source + "\" in " + (call ? call : "?");
  if (code != 0) {
    char text[24];
    std::snprintf(text, sizeof(text), " (code 0x%08X)", static_cast<unsigned>(code));
    line += text;
  }
  return line;
}

void ResetFaultLog() {
  std::lock_guard<std::mutex> lock(g_flush_mutex);
  for (Entry& entry : g_entries) {
    entry.state.store(kFree, std::memory_order_relaxed);
    entry.count.store(0, std::memory_order_relaxed);
    entry.written = false;
  }
  g_overflow.store(0, std::memory_order_relaxed);
  g_overflow_written = false;
  g_source_names.clear();
  g_written_places.clear();
}

}  // namespace platform
