#pragma once

// What two processes of ours share: named shared memory, a named signal one process posts and
// the other waits on, starting a program with arguments and watching or ending it. The
// effect bridge drives an effect in a helper process through these.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// A named region of memory that one other process maps by the same name. The name goes with
// the creator's object, or, on posix systems, with the other's Open: then nothing stays in
// the system's names when both processes end without closing. (Windows removes a kernel
// object's name with its last handle.) The signals' names go the same way.
class SharedMemory {
 public:
  // Null (with the system's text in *error) when the region cannot be made or mapped.
  static std::unique_ptr<SharedMemory> Create(const std::string& name, size_t size,
                                              std::string* error = nullptr);
  static std::unique_ptr<SharedMemory> Open(const std::string& name, size_t size,
                                            std::string* error = nullptr);
  ~SharedMemory();
  SharedMemory(const SharedMemory&) = delete;
  SharedMemory& operator=(const SharedMemory&) = delete;

  void* Data() const { return data_; }
  size_t Size() const { return size_; }

 private:
  struct Handle;
  SharedMemory(std::unique_ptr<Handle> handle, void* data, size_t size);
  std::unique_ptr<Handle> handle_;
  void* data_;
  size_t size_;
};

// A wake-up across processes: Post wakes one Wait (or the next one). Extra posts may wake a
// later Wait early: waiters check what they wait for again.
class InterprocessSignal {
 public:
  static std::unique_ptr<InterprocessSignal> Create(const std::string& name,
                                                    std::string* error = nullptr);
  static std::unique_ptr<InterprocessSignal> Open(const std::string& name,
                                                  std::string* error = nullptr);
  ~InterprocessSignal();
  InterprocessSignal(const InterprocessSignal&) = delete;
  InterprocessSignal& operator=(const InterprocessSignal&) = delete;

  void Post() noexcept;
  // True when posted within `milliseconds`. Meanwhile the calling thread's windows may get
  // their messages (Windows; elsewhere there are none): those another thread or process
  // sends (it waits until they are handled: a thread that does not take them while it
  // waits for that one's answer deadlocks), or all of them (a thread that owns windows).
  enum class Messages { Ignored, Sent, All };
  bool Wait(uint32_t milliseconds, Messages messages = Messages::Ignored) noexcept;

 private:
  struct Handle;
  explicit InterprocessSignal(std::unique_ptr<Handle> handle);
  std::unique_ptr<Handle> handle_;
};

// A program this process started. Ending the object kills the program if it still runs.
class ChildProcess {
 public:
  // Null (with the system's text in *error) when the program cannot be started.
  static std::unique_ptr<ChildProcess> Start(const std::string& program,
                                             const std::vector<std::string>& arguments,
                                             std::string* error = nullptr);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  uint32_t Id() const { return id_; }
  bool Running() noexcept;
  // Ends it at once and waits until it has gone.
  void Kill() noexcept;
  // Waits up to `milliseconds` for it to end by itself; true when it has.
  bool WaitForExit(uint32_t milliseconds) noexcept;

 private:
  struct Handle;
  ChildProcess(std::unique_ptr<Handle> handle, uint32_t id);
  std::unique_ptr<Handle> handle_;
  uint32_t id_;
};

uint32_t CurrentProcessId();
// Ends the process with this id at once, as a crash would; false when it cannot.
bool KillProcess(uint32_t id);
// Waits up to `milliseconds` for the process with this id, a child or not, to end; true when
// it has (or no process has this id).
bool WaitForProcessEnd(uint32_t id, uint32_t milliseconds);

// Whether the process that started this one still runs; `parent_id` is the id it gave.
class ParentWatch {
 public:
  explicit ParentWatch(uint32_t parent_id);
  ~ParentWatch();
  ParentWatch(const ParentWatch&) = delete;
  ParentWatch& operator=(const ParentWatch&) = delete;
  bool ParentRunning() noexcept;

 private:
  struct Handle;
  std::unique_ptr<Handle> handle_;
};

}  // namespace platform
