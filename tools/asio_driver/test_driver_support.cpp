#include "tools/asio_driver/test_driver.h"

#include <algorithm>

#include "platform/system.h"
#include "tools/asio_driver/test_driver_exports.h"

namespace asio_test {

std::string DriverLibraryPath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "\\asio_test_driver.dll";
#else
  return platform::ExecutableDirectory() + "/asio_test_driver.so";
#endif
}

bool InstallDriver(const std::string& name, const GUID& class_id, const DriverConfig& config) {
  return WriteDriverConfig(class_id, config) && RegisterDriver(name, class_id, DriverLibraryPath());
}

void UninstallDriver(const std::string& name, const GUID& class_id) {
  UnregisterDriver(name, class_id);
  DeleteDriverConfig(class_id);
}

ScopedDriver::ScopedDriver(std::string name, const GUID& class_id, const DriverConfig& config)
    : name_(std::move(name)),
      class_id_(class_id),
      installed_(InstallDriver(name_, class_id_, config)) {}

ScopedDriver::~ScopedDriver() {
  UninstallDriver(name_, class_id_);
}

DriverControl::DriverControl(const GUID& class_id)
    : class_id_(class_id), library_(platform::LoadLibraryFile(DriverLibraryPath()).handle) {}

bool DriverControl::Loaded() const {
  return library_.Loaded() && Find<decltype(&AsioTestDriverReadLog)>("AsioTestDriverReadLog");
}

namespace {

// The lines of a text an export copies out, as AsioTestDriverReadLog does.
template <typename Read>
std::vector<std::string> ReadLines(Read read, const GUID& class_id) {
  if (!read) return {};
  const size_t length = read(&class_id, nullptr, 0);
  std::string text(length + 1, '\0');
  read(&class_id, text.data(), text.size());  // lines added meanwhile are cut off
  text.resize(length);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

}  // namespace

std::vector<std::string> DriverControl::Log() const {
  return ReadLines(Find<decltype(&AsioTestDriverReadLog)>("AsioTestDriverReadLog"), class_id_);
}

std::vector<std::string> DriverControl::Requests() const {
  return ReadLines(Find<decltype(&AsioTestDriverReadRequests)>("AsioTestDriverReadRequests"),
                   class_id_);
}

void DriverControl::ClearLog() {
  if (auto clear = Find<decltype(&AsioTestDriverClearLog)>("AsioTestDriverClearLog"))
    clear(&class_id_);
}

int32_t DriverControl::CallCount(const std::string& method) const {
  auto count = Find<decltype(&AsioTestDriverCallCount)>("AsioTestDriverCallCount");
  return count ? count(&class_id_, method.c_str()) : 0;
}

int32_t DriverControl::LiveObjects() const {
  auto live = Find<decltype(&AsioTestDriverLiveObjects)>("AsioTestDriverLiveObjects");
  return live ? live(&class_id_) : 0;
}

std::optional<int32_t> DriverControl::SendMessage(int32_t selector, int32_t value) {
  auto send = Find<decltype(&AsioTestDriverSendMessage)>("AsioTestDriverSendMessage");
  int32_t answer = 0;
  if (!send || !send(&class_id_, selector, value, &answer)) return std::nullopt;
  return answer;
}

bool DriverControl::ChangeSampleRate(double rate) {
  auto change = Find<decltype(&AsioTestDriverChangeSampleRate)>("AsioTestDriverChangeSampleRate");
  return change && change(&class_id_, rate) != 0;
}

int32_t DriverControl::RunSwitches(int32_t count) {
  auto run = Find<decltype(&AsioTestDriverRunSwitches)>("AsioTestDriverRunSwitches");
  return run ? run(&class_id_, count) : 0;
}

int64_t DriverControl::SwitchCount() const {
  auto count = Find<decltype(&AsioTestDriverSwitchCount)>("AsioTestDriverSwitchCount");
  return count ? count(&class_id_) : 0;
}

bool DriverControl::WaitForSwitches(int64_t count, int32_t timeout_ms) {
  auto wait = Find<decltype(&AsioTestDriverWaitForSwitches)>("AsioTestDriverWaitForSwitches");
  return wait && wait(&class_id_, count, timeout_ms) != 0;
}

std::optional<AsioTestDriverTiming> DriverControl::Timing() const {
  auto read = Find<decltype(&AsioTestDriverReadTiming)>("AsioTestDriverReadTiming");
  AsioTestDriverTiming timing{};
  if (!read || !read(&class_id_, &timing)) return std::nullopt;
  return timing;
}

bool DriverControl::FeedInput(int32_t channel, const std::vector<uint8_t>& bytes) {
  auto feed = Find<decltype(&AsioTestDriverFeedInput)>("AsioTestDriverFeedInput");
  return feed && feed(&class_id_, channel, bytes.data(), bytes.size()) != 0;
}

void DriverControl::SetCapture(bool enabled) {
  if (auto set = Find<decltype(&AsioTestDriverSetCapture)>("AsioTestDriverSetCapture"))
    set(&class_id_, enabled ? 1 : 0);
}

std::vector<uint8_t> DriverControl::Output(int32_t channel) const {
  auto read = Find<decltype(&AsioTestDriverReadOutput)>("AsioTestDriverReadOutput");
  if (!read) return {};
  std::vector<uint8_t> bytes(read(&class_id_, channel, nullptr, 0));
  bytes.resize(std::min(bytes.size(), read(&class_id_, channel, bytes.data(), bytes.size())));
  return bytes;
}

bool DriverControl::SetFailure(const std::string& method, Failure failure) {
  auto set = Find<decltype(&AsioTestDriverSetFailure)>("AsioTestDriverSetFailure");
  return set && set(&class_id_, method.c_str(), FailureName(failure)) != 0;
}

void DriverControl::SetHostile(uint32_t behaviours, uint32_t seed) {
  if (auto set = Find<decltype(&AsioTestDriverSetHostile)>("AsioTestDriverSetHostile"))
    set(&class_id_, behaviours, seed);
}

void DriverControl::SetLatencies(int32_t input, int32_t output) {
  if (auto set = Find<decltype(&AsioTestDriverSetLatencies)>("AsioTestDriverSetLatencies"))
    set(&class_id_, input, output);
}

}  // namespace asio_test
