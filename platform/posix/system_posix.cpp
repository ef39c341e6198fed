#include <dlfcn.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/posix/native_path.h"
#include "platform/system.h"

namespace platform {
namespace {

std::optional<std::string> DirectoryFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

int64_t MonotonicNanoseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

}  // namespace

std::optional<std::string> SystemDirectory() {
  return DirectoryFromEnvironment("PARTILOOM_SYSTEM_DIR");
}

std::optional<std::string> WindowsDirectory() {
  return DirectoryFromEnvironment("PARTILOOM_WINDOWS_DIR");
}

bool FileExists(const std::string& path) {
  struct stat info;
  return !path.empty() && stat(NativePath(path).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string ExecutableDirectory() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  std::string directory(path, static_cast<size_t>(length));
  const size_t slash = directory.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : directory.substr(0, slash);
}

std::string ModulePath(const void* address) {
  Dl_info info;
  if (dladdr(address, &info) == 0 || info.dli_fname == nullptr) return std::string();
  char resolved[PATH_MAX];
  return realpath(info.dli_fname, resolved) ? std::string(resolved) : std::string(info.dli_fname);
}

void SleepMilliseconds(uint32_t milliseconds) {
  timespec delay{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1000000};
  while (nanosleep(&delay, &delay) != 0 && errno == EINTR) {
  }
}

// Linux keeps a niceness per thread; lowering it takes a privilege most processes lack.
bool RaiseThreadToAudioPriority() {
  return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), -10) == 0;
}

uint32_t TickCount() {
  return static_cast<uint32_t>(MonotonicNanoseconds() / 1000000);
}
int64_t PerformanceCounter() {
  return MonotonicNanoseconds();
}
int64_t PerformanceFrequency() {
  return 1000000000;
}

void WriteDebugOutput(const std::string&) {}

}  // namespace platform
