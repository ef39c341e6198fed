#include <windows.h>

#include "platform/dynamic_library.h"
#include "platform/interprocess.h"

namespace platform {
namespace {

// Session-local names: the helper runs in the same session as the player.
std::string KernelName(const std::string& name) {
  return "Local\\" + name;
}

void SetError(std::string* error, const char* what) {
  if (error) *error = std::string(what) + ": " + SystemErrorMessage(GetLastError());
}

// A command-line word as the C runtime parses it back.
std::string Quoted(const std::string& word) {
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : word) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(2 * backslashes, '\\');
  return quoted + "\"";
}

}  // namespace

// ---- shared memory ---------------------------------------------------------------------

struct SharedMemory::Handle {
  HANDLE mapping;
};

SharedMemory::SharedMemory(std::unique_ptr<Handle> handle, void* data, size_t size)
    : handle_(std::move(handle)), data_(data), size_(size) {}

SharedMemory::~SharedMemory() {
  UnmapViewOfFile(data_);
  CloseHandle(handle_->mapping);
}

namespace {

std::unique_ptr<SharedMemory> MapView(HANDLE mapping, size_t size, std::string* error,
                                      std::unique_ptr<SharedMemory> (*make)(HANDLE, void*,
                                                                            size_t)) {
  if (!mapping) {
    SetError(error, "file mapping");
    return nullptr;
  }
  void* data = MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, size);
  if (!data) {
    SetError(error, "MapViewOfFile");
    CloseHandle(mapping);
    return nullptr;
  }
  return make(mapping, data, size);
}

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::Create(const std::string& name, size_t size,
                                                   std::string* error) {
  const uint64_t size64 = size;
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(size64 >> 32), static_cast<DWORD>(size64),
                                      KernelName(name).c_str());
  if (mapping && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(mapping);
    if (error) *error = "shared memory " + name + " exists already";
    return nullptr;
  }
  return MapView(mapping, size, error, [](HANDLE handle, void* data, size_t bytes) {
    return std::unique_ptr<SharedMemory>(
        new SharedMemory(std::make_unique<Handle>(Handle{handle}), data, bytes));
  });
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& name, size_t size,
                                                 std::string* error) {
  HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, KernelName(name).c_str());
  return MapView(mapping, size, error, [](HANDLE handle, void* data, size_t bytes) {
    return std::unique_ptr<SharedMemory>(
        new SharedMemory(std::make_unique<Handle>(Handle{handle}), data, bytes));
  });
}

// ---- signal ------------------------------------------------------------------------------

struct InterprocessSignal::Handle {
  HANDLE event;
};

InterprocessSignal::InterprocessSignal(std::unique_ptr<Handle> handle)
    : handle_(std::move(handle)) {}

InterprocessSignal::~InterprocessSignal() {
  CloseHandle(handle_->event);
}

std::unique_ptr<InterprocessSignal> InterprocessSignal::Create(const std::string& name,
                                                               std::string* error) {
  // Auto-reset: one post wakes one wait; posts that nobody waits for do not pile up.
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, KernelName(name).c_str());
  if (!event) {
    SetError(error, "CreateEvent");
    return nullptr;
  }
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(event);
    if (error) *error = "signal " + name + " exists already";
    return nullptr;
  }
  return std::unique_ptr<InterprocessSignal>(
      new InterprocessSignal(std::make_unique<Handle>(Handle{event})));
}

std::unique_ptr<InterprocessSignal> InterprocessSignal::Open(const std::string& name,
                                                             std::string* error) {
  HANDLE event = OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, KernelName(name).c_str());
  if (!event) {
    SetError(error, "OpenEvent");
    return nullptr;
  }
  return std::unique_ptr<InterprocessSignal>(
      new InterprocessSignal(std::make_unique<Handle>(Handle{event})));
}

void InterprocessSignal::Post() noexcept {
  SetEvent(handle_->event);
}

namespace {

// Hands the calling thread's waiting messages to their windows: those sent from other threads
// or processes (looking is enough, the system hands them on the way), or all of them.
void DeliverMessages(InterprocessSignal::Messages messages) {
  MSG message;
  if (messages == InterprocessSignal::Messages::Sent) {
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    return;
  }
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
}

}  // namespace

bool InterprocessSignal::Wait(uint32_t milliseconds, Messages messages) noexcept {
  if (messages == Messages::Ignored)
    return WaitForSingleObject(handle_->event, milliseconds) == WAIT_OBJECT_0;
  const DWORD start = GetTickCount();
  for (;;) {
    // Messages that came before the wait would not wake it: they are delivered first.
    DeliverMessages(messages);
    const DWORD waited = GetTickCount() - start;
    const DWORD left = waited >= milliseconds ? 0 : milliseconds - waited;
    const DWORD result = MsgWaitForMultipleObjectsEx(
        1, &handle_->event, left, messages == Messages::Sent ? QS_SENDMESSAGE : QS_ALLINPUT,
        MWMO_INPUTAVAILABLE);
    if (result == WAIT_OBJECT_0) return true;
    if (result != WAIT_OBJECT_0 + 1 || left == 0) return false;
  }
}

// ---- processes ---------------------------------------------------------------------------

struct ChildProcess::Handle {
  HANDLE process;
};

ChildProcess::ChildProcess(std::unique_ptr<Handle> handle, uint32_t id)
    : handle_(std::move(handle)), id_(id) {}

ChildProcess::~ChildProcess() {
  Kill();
  CloseHandle(handle_->process);
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  std::string* error) {
  std::string command_line = Quoted(program);
  for (const std::string& argument : arguments) command_line += " " + Quoted(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    SetError(error, "CreateProcess");
    return nullptr;
  }
  CloseHandle(info.hThread);
  return std::unique_ptr<ChildProcess>(
      new ChildProcess(std::make_unique<Handle>(Handle{info.hProcess}), info.dwProcessId));
}

bool ChildProcess::Running() noexcept {
  return WaitForSingleObject(handle_->process, 0) == WAIT_TIMEOUT;
}

void ChildProcess::Kill() noexcept {
  if (!Running()) return;
  TerminateProcess(handle_->process, 1);
  WaitForSingleObject(handle_->process, INFINITE);
}

bool ChildProcess::WaitForExit(uint32_t milliseconds) noexcept {
  return WaitForSingleObject(handle_->process, milliseconds) == WAIT_OBJECT_0;
}

uint32_t CurrentProcessId() {
  return GetCurrentProcessId();
}

bool KillProcess(uint32_t id) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
  if (!process) return false;
  const bool killed = TerminateProcess(process, 1) != 0;
  CloseHandle(process);
  return killed;
}

bool WaitForProcessEnd(uint32_t id, uint32_t milliseconds) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
  if (!process) return GetLastError() == ERROR_INVALID_PARAMETER;  // no such process
  const bool ended = WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

struct ParentWatch::Handle {
  HANDLE process;
};

ParentWatch::ParentWatch(uint32_t parent_id)
    : handle_(std::make_unique<Handle>(Handle{OpenProcess(SYNCHRONIZE, FALSE, parent_id)})) {}

ParentWatch::~ParentWatch() {
  if (handle_->process) CloseHandle(handle_->process);
}

bool ParentWatch::ParentRunning() noexcept {
  return handle_->process && WaitForSingleObject(handle_->process, 0) == WAIT_TIMEOUT;
}

}  // namespace platform
