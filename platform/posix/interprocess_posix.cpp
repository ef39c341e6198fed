#include <fcntl.h>
#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/interprocess.h"

extern char** environ;

namespace platform {
namespace {

std::string PosixName(const std::string& name) {
  return "/" + name;
}

void SetError(std::string* error, const char* what) {
  if (error) *error = std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

// ---- shared memory ---------------------------------------------------------------------

struct SharedMemory::Handle {
  std::string name;  // unlinked when the creator's object goes; empty for an opener
};

SharedMemory::SharedMemory(std::unique_ptr<Handle> handle, void* data, size_t size)
    : handle_(std::move(handle)), data_(data), size_(size) {}

SharedMemory::~SharedMemory() {
  munmap(data_, size_);
  if (!handle_->name.empty()) shm_unlink(handle_->name.c_str());
}

namespace {

void* MapDescriptor(int descriptor, size_t size, std::string* error) {
  void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, descriptor, 0);
  if (data == MAP_FAILED) {
    SetError(error, "mmap");
    data = nullptr;
  }
  close(descriptor);
  return data;
}

}  // namespace

std::unique_ptr<SharedMemory> SharedMemory::Create(const std::string& name, size_t size,
                                                   std::string* error) {
  const std::string posix_name = PosixName(name);
  const int descriptor = shm_open(posix_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (descriptor < 0) {
    SetError(error, "shm_open");
    return nullptr;
  }
  if (ftruncate(descriptor, static_cast<off_t>(size)) != 0) {
    SetError(error, "ftruncate");
    close(descriptor);
    shm_unlink(posix_name.c_str());
    return nullptr;
  }
  void* data = MapDescriptor(descriptor, size, error);
  if (!data) {
    shm_unlink(posix_name.c_str());
    return nullptr;
  }
  return std::unique_ptr<SharedMemory>(
      new SharedMemory(std::make_unique<Handle>(Handle{posix_name}), data, size));
}

std::unique_ptr<SharedMemory> SharedMemory::Open(const std::string& name, size_t size,
                                                 std::string* error) {
  const std::string posix_name = PosixName(name);
  const int descriptor = shm_open(posix_name.c_str(), O_RDWR, 0600);
  if (descriptor < 0) {
    SetError(error, "shm_open");
    return nullptr;
  }
  // Both processes have it now: the name goes, so that none stays if both end unclosed.
  shm_unlink(posix_name.c_str());
  struct stat info;
  if (fstat(descriptor, &info) != 0 || static_cast<size_t>(info.st_size) < size) {
    if (error) *error = "shared memory smaller than expected";
    close(descriptor);
    return nullptr;
  }
  void* data = MapDescriptor(descriptor, size, error);
  if (!data) return nullptr;
  return std::unique_ptr<SharedMemory>(new SharedMemory(std::make_unique<Handle>(), data, size));
}

// ---- signal ------------------------------------------------------------------------------

struct InterprocessSignal::Handle {
  sem_t* semaphore;
  std::string name;  // unlinked when the creator's object goes
};

InterprocessSignal::InterprocessSignal(std::unique_ptr<Handle> handle)
    : handle_(std::move(handle)) {}

InterprocessSignal::~InterprocessSignal() {
  sem_close(handle_->semaphore);
  if (!handle_->name.empty()) sem_unlink(handle_->name.c_str());
}

std::unique_ptr<InterprocessSignal> InterprocessSignal::Create(const std::string& name,
                                                               std::string* error) {
  const std::string posix_name = PosixName(name);
  sem_t* semaphore = sem_open(posix_name.c_str(), O_CREAT | O_EXCL, 0600, 0);
  if (semaphore == SEM_FAILED) {
    SetError(error, "sem_open");
    return nullptr;
  }
  return std::unique_ptr<InterprocessSignal>(
      new InterprocessSignal(std::make_unique<Handle>(Handle{semaphore, posix_name})));
}

std::unique_ptr<InterprocessSignal> InterprocessSignal::Open(const std::string& name,
                                                             std::string* error) {
  const std::string posix_name = PosixName(name);
  sem_t* semaphore = sem_open(posix_name.c_str(), 0);
  if (semaphore == SEM_FAILED) {
    SetError(error, "sem_open");
    return nullptr;
  }
  sem_unlink(posix_name.c_str());  // as the shared memory's
  return std::unique_ptr<InterprocessSignal>(
      new InterprocessSignal(std::make_unique<Handle>(Handle{semaphore, {}})));
}

void InterprocessSignal::Post() noexcept {
  sem_post(handle_->semaphore);
}

bool InterprocessSignal::Wait(uint32_t milliseconds, Messages) noexcept {
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000;
  if (deadline.tv_nsec >= 1000000000) {
    deadline.tv_nsec -= 1000000000;
    ++deadline.tv_sec;
  }
  while (sem_timedwait(handle_->semaphore, &deadline) != 0)
    if (errno != EINTR) return false;
  return true;
}

// ---- processes ---------------------------------------------------------------------------

struct ChildProcess::Handle {
  pid_t pid;
  bool reaped = false;
};

ChildProcess::ChildProcess(std::unique_ptr<Handle> handle, uint32_t id)
    : handle_(std::move(handle)), id_(id) {}

ChildProcess::~ChildProcess() {
  Kill();
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::string& program,
                                                  const std::vector<std::string>& arguments,
                                                  std::string* error) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  // posix_spawn, not fork: the parent has threads (and sanitizers) a fork would copy.
  const int result = posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv.data(), environ);
  if (result != 0) {
    errno = result;
    SetError(error, "posix_spawn");
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(
      new ChildProcess(std::make_unique<Handle>(Handle{pid}), static_cast<uint32_t>(pid)));
}

bool ChildProcess::Running() noexcept {
  if (handle_->reaped) return false;
  int status = 0;
  const pid_t result = waitpid(handle_->pid, &status, WNOHANG);
  if (result == handle_->pid || (result < 0 && errno == ECHILD)) handle_->reaped = true;
  return !handle_->reaped;
}

void ChildProcess::Kill() noexcept {
  if (handle_->reaped) return;
  kill(handle_->pid, SIGKILL);
  int status = 0;
  while (waitpid(handle_->pid, &status, 0) < 0 && errno == EINTR) {
  }
  handle_->reaped = true;
}

bool ChildProcess::WaitForExit(uint32_t milliseconds) noexcept {
  for (uint32_t waited = 0;; waited += 5) {
    if (!Running()) return true;
    if (waited >= milliseconds) return false;
    usleep(5000);
  }
}

uint32_t CurrentProcessId() {
  return static_cast<uint32_t>(getpid());
}

bool KillProcess(uint32_t id) {
  return kill(static_cast<pid_t>(id), SIGKILL) == 0;
}

namespace {

bool ProcessEnded(pid_t pid) {
  if (kill(pid, 0) != 0) return errno == ESRCH;
  // One that ended stays a zombie until its parent reaps it; an orphan's new parent may
  // never do so. Its state is the first field after the parenthesized program name.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const size_t name_end = line.rfind(')');
  if (name_end == std::string::npos || name_end + 2 >= line.size()) return false;
  const char state = line[name_end + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

bool WaitForProcessEnd(uint32_t id, uint32_t milliseconds) {
  for (uint32_t waited = 0;; waited += 5) {
    if (ProcessEnded(static_cast<pid_t>(id))) return true;
    if (waited >= milliseconds) return false;
    usleep(5000);
  }
}

struct ParentWatch::Handle {
  pid_t parent;
};

ParentWatch::ParentWatch(uint32_t parent_id)
    : handle_(std::make_unique<Handle>(Handle{static_cast<pid_t>(parent_id)})) {}

ParentWatch::~ParentWatch() = default;

bool ParentWatch::ParentRunning() noexcept {
  // An orphan is adopted by another process: its parent id changes.
  return getppid() == handle_->parent;
}

}  // namespace platform
