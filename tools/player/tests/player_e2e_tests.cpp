// The plug-in as the player and a user meet it: the harness loads out_partiloom.dll, which
// hosts the router effect (output k = k times input (k - 1) mod 2) and plays through the
// capturing test driver (eight Float32LSB outputs). Each test runs the harness in a folder of
// its own with a script, then reads its log, the player's registry key and the capture.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <sstream>

#include "platform/registry.h"
#include "platform/system.h"
#include "tools/asio_driver/test_driver.h"
#include "tools/player/capture_check.h"
#include "tools/player/harness_log.h"
#include "tools/player/pcm_signal.h"

namespace {

using harness::LogLine;
namespace fs = std::filesystem;

constexpr char kSettingsKey[] = "Software\\WinAmp\\Partiloom";
constexpr char kMissingLibraryMessage[] =
    "You have to select the Partiloom.DLL in order to get this plugin running";
constexpr int64_t kRingLatency = 8192;
constexpr ASIOSampleType kFloat32Lsb = 19;

std::string BinPath(const char* file) {
  return platform::ExecutableDirectory() + "\\" + file;
}

struct HarnessRun {
  int exit_code = -1;
  std::string output;
  std::vector<LogLine> lines;

  std::vector<LogLine> All(const std::string& event) const {
    std::vector<LogLine> found;
    for (const LogLine& line : lines)
      if (line.event == event) found.push_back(line);
    return found;
  }
  // The first line of `event` whose field `key` is `value` (any, when key is empty).
  std::optional<LogLine> Find(const std::string& event, const std::string& key = {},
                              const std::string& value = {}) const {
    for (const LogLine& line : lines)
      if (line.event == event &&
          (key.empty() || (line.fields.contains(key) && line.fields.at(key) == value)))
        return line;
    return std::nullopt;
  }
  std::string Field(const std::string& event, const std::string& field) const {
    auto line = Find(event);
    return line && line->fields.contains(field) ? line->fields.at(field) : "<no " + event + ">";
  }
};

// A known signal: noise that repeats nowhere, an eighth of full scale at most, so that every
// router output stays exact in single precision and below full scale.
harness::PcmSource KnownSignal(double seconds) {
  harness::PcmSource source;
  const auto frames = static_cast<size_t>(seconds * 44100);
  source.samples.resize(frames * 2);
  uint32_t state = 12345;
  for (int32_t& sample : source.samples) {
    state = state * 1664525u + 1013904223u;
    sample = static_cast<int16_t>(static_cast<int32_t>(state >> 19) - 4096);
  }
  return source;
}

class PlayerEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() / (std::string("partiloom_e2e_") + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, kSettingsKey);
  }

  void TearDown() override {
    drivers_.clear();
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, kSettingsKey);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& file) const { return (dir_ / file).string(); }

  // A test driver with eight Float32LSB outputs that captures into "<letter>.wav". The names
  // start with '!' so that they come first in the driver list whatever other tests install.
  struct Driver {
    std::string name;
    GUID id;
    std::string id_text;
    std::string capture;
  };
  Driver InstallDriver(char letter, uint32_t number,
                       const std::function<void(asio_test::DriverConfig&)>& adjust = {}) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    Driver driver;
    driver.name = std::string("!E2E ") + info->name() + " " + letter;
    driver.id = {0xE2E00000u + number,
                 0x7A11,
                 0x4E2E,
                 {0x9C, 0x11, 0x3D, 0x5A, 0x00, 0x00, 0x00, static_cast<uint8_t>(letter)}};
    driver.id_text = platform::ClassIdToString(driver.id);
    driver.capture = Path(std::string(1, letter) + ".wav");
    asio_test::DriverConfig config;
    config.driver_name = driver.name;
    config.outputs.clear();
    for (int k = 1; k <= 8; ++k)
      config.outputs.push_back({"Output " + std::to_string(k), kFloat32Lsb});
    config.output_wav = driver.capture;
    if (adjust) adjust(config);
    drivers_.push_back(std::make_unique<asio_test::ScopedDriver>(driver.name, driver.id, config));
    EXPECT_TRUE(drivers_.back()->Installed());
    return driver;
  }

  std::unique_ptr<platform::RegistryKey> Settings(bool create = false) const {
    return platform::RegistryKey::Open(platform::RegistryRoot::CurrentUser, kSettingsKey,
                                       platform::RegistryAccess::Full, create);
  }
  void StoreEffect() {
    ASSERT_TRUE(Settings(true)->WriteString("VST Plugin", BinPath("partiloom_effect_router.dll")));
  }
  std::optional<std::string> StoredString(const std::string& name) const {
    auto key = Settings();
    return key ? key->ReadString(name) : std::nullopt;
  }
  std::optional<int32_t> StoredInteger(const std::string& name) const {
    auto key = Settings();
    return key ? key->ReadInteger(name) : std::nullopt;
  }

  std::string WriteKnownWav(double seconds) {
    signal_ = KnownSignal(seconds);
    return WriteSignal();
  }
  // Writes signal_ as a WAV file of its depth.
  std::string WriteSignal() {
    const std::string path = Path("known" + std::to_string(signal_.bits) + ".wav");
    EXPECT_TRUE(harness::WritePcmWav(path, signal_));
    return path;
  }

  // Runs the harness in the test's folder with these steps (a script file) and extra options.
  HarnessRun Run(const std::vector<std::string>& steps, const std::string& options = {}) {
    // Each run its own files: a process that outlives the harness may still hold the last.
    const std::string run_name = "run" + std::to_string(++runs_);
    const std::string script = Path(run_name + "-script.txt");
    {
      std::ofstream file(script);
      for (const std::string& step : steps) file << step << "\n";
    }
    const std::string log_path = Path(run_name + ".log");
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE log = CreateFileA(log_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    HarnessRun run;
    if (log == INVALID_HANDLE_VALUE) {
      run.output = "cannot create " + log_path + ": error " + std::to_string(GetLastError());
      return run;
    }
    std::string command = "\"" + BinPath("player_harness.exe") + "\" --plugin \"" +
                          BinPath("out_partiloom.dll") + "\" --script \"" + script + "\" " +
                          options;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = log;
    startup.hStdError = log;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    const std::string folder = dir_.string();
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                       &startup, &process)) {
      if (WaitForSingleObject(process.hProcess, 90000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
      }
      DWORD code = 0;
      GetExitCodeProcess(process.hProcess, &code);
      run.exit_code = static_cast<int>(code);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    } else {
      run.output = "cannot start the harness: error " + std::to_string(GetLastError()) + "\n";
    }
    CloseHandle(log);
    std::ifstream file(log_path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    run.output += text.str();
    run.lines = harness::ParseLog(run.output);
    return run;
  }

  // Expects every driver channel to carry what the router output routed there makes of the
  // known signal, after the ring's latency, and silence where no output is routed (0).
  void ExpectRouted(const Driver& driver, const std::vector<int32_t>& output_of_channel,
                    int64_t latency = kRingLatency) {
    std::string error;
    auto capture = harness::ReadCapture(driver.capture, &error);
    ASSERT_TRUE(capture) << error;
    ASSERT_EQ(capture->channels, 8);
    for (size_t c = 0; c < 8; ++c) {
      const int32_t output = c < output_of_channel.size() ? output_of_channel[c] : 0;
      const auto stream =
          output > 0 ? harness::RouterOutput(signal_, output) : std::vector<double>();
      const auto result = harness::CompareWithStream(capture->channel[c], stream, -latency);
      EXPECT_EQ(result.mismatches, 0)
          << "channel " << c << " (output " << output << "): first at frame "
          << result.first_mismatch << ", captured " << result.captured_value << ", expected "
          << result.expected_value;
      EXPECT_EQ(result.missing, 0) << "channel " << c << " ends early";
    }
  }

  // As ExpectRouted, for a run that a loaded machine may hold up: the streams start where the
  // capture first sounds, a whole number of driver blocks after the ring's latency (each
  // block that found the ring empty put them off), and the silence that an underrun leaves
  // up to a block's end is skipped. Every sample is still compared exactly and nothing may
  // be lost or repeated.
  void ExpectRoutedThroughUnderruns(const Driver& driver,
                                    const std::vector<int32_t>& output_of_channel) {
    std::string error;
    auto capture = harness::ReadCapture(driver.capture, &error);
    ASSERT_TRUE(capture) << error;
    ASSERT_EQ(capture->channels, 8);
    std::vector<std::vector<double>> streams(8);
    for (size_t c = 0; c < output_of_channel.size() && c < 8; ++c)
      if (output_of_channel[c] > 0)
        streams[c] = harness::RouterOutput(signal_, output_of_channel[c]);
    const int64_t block = asio_test::DriverConfig{}.preferred_size;
    const auto result = harness::CompareWithGappedStreams(*capture, streams, block);
    ASSERT_GE(result.start, kRingLatency);
    EXPECT_EQ((result.start - kRingLatency) % block, 0) << "starts at frame " << result.start;
    EXPECT_EQ(result.mismatches, 0)
        << "first at frame " << result.first_mismatch << " of channel " << result.channel
        << ", captured " << result.captured_value << ", expected " << result.expected_value << " ("
        << result.gaps << " underrun gaps before)";
    EXPECT_EQ(result.missing, 0) << "the capture ends early";
    if (result.gaps > 0 || result.start != kRingLatency)
      std::cout << "started at frame " << result.start << "; " << result.gaps << " underrun gaps, "
                << result.gap_frames << " frames\n";
  }

  static std::vector<std::string> IdentityRoutingSteps() {
    std::vector<std::string> steps = {"press BtRouting"};
    for (int k = 1; k <= 8; ++k)
      steps.push_back("select CBOutput" + std::to_string(k) + " \"" + std::to_string(k - 1) +
                      " - Output " + std::to_string(k) + "\"");
    steps.push_back("close \"Audio Routing\"");
    return steps;
  }

  static std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
  }

  fs::path dir_;
  std::vector<std::unique_ptr<asio_test::ScopedDriver>> drivers_;
  harness::PcmSource signal_;
  int runs_ = 0;
};

TEST_F(PlayerEndToEnd, FirstStartAsksForTheLibraryAndKeepsTheAnswer) {
  fs::create_directories(dir_ / "library");
  const std::string library = Path("library\\Partiloom.dll");
  fs::copy_file(BinPath("partiloom_effect_router.dll"), library);
  const HarnessRun run = Run({"library \"" + library + "\"", "init", "window", "quit"});
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto dialog = run.Find("dialog");
  ASSERT_TRUE(dialog) << run.output;
  EXPECT_EQ(dialog->fields.at("title"), "Please select the Partiloom.dll");
  EXPECT_TRUE(run.All("msgbox").empty()) << run.output;
  EXPECT_EQ(run.Field("window", "found"), "1") << run.output;
  const auto stored = StoredString("VST Plugin");
  ASSERT_TRUE(stored);
  EXPECT_EQ(
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, stored->c_str(), -1, library.c_str(), -1),
      CSTR_EQUAL)
      << *stored;
  EXPECT_TRUE(StoredInteger("Visible") && StoredInteger("Left") && StoredInteger("Top"));
  // The loaded effect's state, in the player's working directory: the library dialog must
  // leave that directory as it was, or the next start (from the player's directory) misses
  // the state saved now.
  EXPECT_TRUE(fs::exists(Path("out_partiloom.fxp")))
      << "the preset went elsewhere: the dialog moved the working directory";
}

TEST_F(PlayerEndToEnd, CancellingTheLibraryDialogSaysSoAndLeavesAWindowWithoutEffect) {
  const HarnessRun run = Run({"library cancel", "init", "window", "quit"});
  EXPECT_EQ(run.exit_code, 0) << run.output;
  ASSERT_TRUE(run.Find("dialog", "answer", "cancel")) << run.output;
  const auto boxes = run.All("msgbox");
  ASSERT_EQ(boxes.size(), 1u) << run.output;
  EXPECT_EQ(boxes[0].fields.at("text"), kMissingLibraryMessage);
  EXPECT_EQ(run.Field("window", "found"), "1") << run.output;
  EXPECT_FALSE(StoredString("VST Plugin"));
}

TEST_F(PlayerEndToEnd, TheRoutingDialogStoresAndAStoredDriverComesBackWithItsRouting) {
  const Driver a = InstallDriver('A', 0x10);
  StoreEffect();
  const std::string wav = WriteKnownWav(0.5);
  std::vector<std::string> second_steps = {"init", "window", "press BtRouting"};
  for (int k = 1; k <= 8; ++k) second_steps.push_back("items CBOutput" + std::to_string(k));
  second_steps.insert(second_steps.end(),
                      {"close \"Audio Routing\"", "play", "wait", "stop", "quit"});
  // The stored "Driver" is a position in the list of installed drivers, which tests running
  // beside this one change: a round in which the list moved is tried again.
  for (int round = 0; round < 5; ++round) {
    const HarnessRun first = Run(Concat({{"init", "select CBDriver \"" + a.name + "\""},
                                         IdentityRoutingSteps(),
                                         {"window", "quit"}}));
    ASSERT_EQ(first.exit_code, 0) << first.output;
    EXPECT_TRUE(StoredInteger("Driver"));
    for (int k = 1; k <= 8; ++k)
      EXPECT_EQ(StoredString("Routing " + a.name + " Channel " + std::to_string(k)),
                std::to_string(k - 1) + " - Output " + std::to_string(k));

    const HarnessRun second = Run(second_steps, "--wav \"" + wav + "\"");
    ASSERT_EQ(second.exit_code, 0) << second.output;
    if (second.Field("window", "drivers") != first.Field("window", "drivers")) continue;
    EXPECT_EQ(second.Field("window", "driver"), a.name) << second.output;
    const auto items = second.All("items");
    ASSERT_EQ(items.size(), 8u) << second.output;
    for (size_t k = 0; k < 8; ++k)
      EXPECT_EQ(items[k].fields.at("text"),
                std::to_string(k) + " - Output " + std::to_string(k + 1));
    EXPECT_EQ(second.Field("played", "stalled"), "0") << second.output;
    ExpectRouted(a, {1, 2, 3, 4, 5, 6, 7, 8});
    return;
  }
  FAIL() << "the list of installed drivers kept changing";
}

TEST_F(PlayerEndToEnd, ChoosingADriverAppliesTheAlternatingDefaultRouting) {
  const Driver a = InstallDriver('A', 0x20);
  StoreEffect();
  const std::string wav = WriteKnownWav(0.5);
  const HarnessRun run =
      Run({"init", "select CBDriver \"" + a.name + "\"", "play", "wait", "stop", "quit"},
          "--wav \"" + wav + "\"");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_GT(std::atoi(run.Field("open", "result").c_str()), 0) << run.output;
  // Outputs 1, 3, 5, 7 on the first channel and 2, 4, 6, 8 on the second: the last wins.
  ExpectRouted(a, {7, 8});
}

TEST_F(PlayerEndToEnd, EachDriverKeepsItsOwnRouting) {
  const Driver a = InstallDriver('A', 0x30);
  const Driver b = InstallDriver('B', 0x31);
  StoreEffect();
  const std::string wav = WriteKnownWav(0.5);
  const HarnessRun run =
      Run({"init", "select CBDriver \"" + a.name + "\"", "press BtRouting",
           "select CBOutput1 \"5 - Output 6\"", "close \"Audio Routing\"",
           "select CBDriver \"" + b.name + "\"", "press BtRouting",
           "select CBOutput2 \"3 - Output 4\"", "close \"Audio Routing\"",
           "select CBDriver \"" + a.name + "\"", "press BtRouting", "items CBOutput1",
           "items CBOutput2", "close \"Audio Routing\"", "play", "wait", "stop", "quit"},
          "--wav \"" + wav + "\"");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(StoredString("Routing " + a.name + " Channel 1"), "5 - Output 6");
  EXPECT_EQ(StoredString("Routing " + a.name + " Channel 2"), "");
  EXPECT_EQ(StoredString("Routing " + b.name + " Channel 1"), "");
  EXPECT_EQ(StoredString("Routing " + b.name + " Channel 2"), "3 - Output 4");
  EXPECT_TRUE(run.Find("items", "text", "5 - Output 6")) << run.output;
  // Back on A: output 1 where A keeps it, the rest as the driver change left them.
  ExpectRouted(a, {7, 8, 0, 0, 0, 1});
}

TEST_F(PlayerEndToEnd, QuitKeepsTheWindowsPlaceAndTheNextStartRestoresIt) {
  StoreEffect();
  const HarnessRun first =
      Run({"init", "config", "move \"Config ASIO\" 150 120", "window", "quit"});
  ASSERT_EQ(first.exit_code, 0) << first.output;
  EXPECT_EQ(first.Field("window", "left"), "150") << first.output;
  EXPECT_EQ(StoredInteger("Visible"), 1);
  EXPECT_EQ(StoredInteger("Left"), 150);
  EXPECT_EQ(StoredInteger("Top"), 120);

  const HarnessRun second = Run({"init", "window", "quit"});
  ASSERT_EQ(second.exit_code, 0) << second.output;
  EXPECT_EQ(second.Field("window", "visible"), "1") << second.output;
  EXPECT_EQ(second.Field("window", "left"), "150");
  EXPECT_EQ(second.Field("window", "top"), "120");
}

// The player's Quit made from inside a modal loop of the plug-in (its main thread runs them,
// and they hand its messages on), followed at once by the unload a player may do: the loop
// ends, the call that opened it returns into code that is still there, and what Quit saves is
// saved.
TEST_F(PlayerEndToEnd, QuitInsideAModalLoopEndsItAndSurvivesAnUnloadRightAfter) {
  const Driver a = InstallDriver('A', 0x60);
  struct Case {
    const char* name;
    bool effect;
    std::vector<std::string> steps;
    const char* held;     // the log line of the call the open loop keeps from returning
    size_t boxes;         // message boxes shown: none may follow Quit
    const char* routing;  // what output 1 of driver A is stored as, if anything
  };
  const Case cases[] = {
      {"routing dialog",
       true,
       {"init", "select CBDriver \"" + a.name + "\"", "press BtRouting",
        "select CBOutput1 \"2 - Output 3\"", "quit unload"},
       "press",
       0,
       "2 - Output 3"},
      {"library dialog", false, {"library hold", "init", "quit unload"}, "init-held", 0, nullptr},
      {"message box",
       false,
       {"library cancel", "boxes hold", "init", "quit unload"},
       "init-held",
       1,
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, kSettingsKey);
    fs::remove(Path("out_partiloom.fxp"));
    if (c.effect) StoreEffect();
    const HarnessRun run = Run(c.steps);
    EXPECT_EQ(run.exit_code, 0) << run.output;
    if (std::string(c.held) == "press")
      EXPECT_TRUE(run.Find("press", "returned", "0")) << run.output;
    else
      EXPECT_TRUE(run.Find(c.held)) << run.output;
    const auto quit = run.Find("quit-done");
    ASSERT_TRUE(quit) << run.output;
    EXPECT_EQ(quit->fields.at("held_calls"), "1");
    EXPECT_EQ(quit->fields.at("returned"), "1") << run.output;
    EXPECT_EQ(quit->fields.at("unloaded"), "1");
    EXPECT_EQ(run.Field("end", "failures"), "0") << run.output;
    EXPECT_EQ(run.All("msgbox").size(), c.boxes) << run.output;
    EXPECT_TRUE(StoredInteger("Visible")) << "the window state is saved";
    if (c.routing) {
      EXPECT_EQ(StoredString("Routing " + a.name + " Channel 1"), c.routing);
    }
    if (c.effect) {
      EXPECT_TRUE(fs::exists(Path("out_partiloom.fxp"))) << "the preset is saved";
    }
  }
}

// The parameters of a program file: big-endian floats after the program's name.
std::vector<float> PresetParameters(const std::string& bytes) {
  const size_t program = bytes.find("FxCk");
  if (program == std::string::npos || bytes.size() < program + 48) return {};
  auto word = [&](size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
  };
  const uint32_t count = word(program + 16);
  std::vector<float> parameters;
  for (uint32_t i = 0; i < count && program + 48 + 4 * (i + 1) <= bytes.size(); ++i) {
    const uint32_t bits = word(program + 48 + 4 * i);
    float value;
    std::memcpy(&value, &bits, 4);
    parameters.push_back(value);
  }
  return parameters;
}

TEST_F(PlayerEndToEnd, ThePresetFileIsSavedOnQuitAndLoadedAtTheNextStart) {
  StoreEffect();
  ASSERT_EQ(Run({"init", "quit"}).exit_code, 0);
  const std::string preset = Path("out_partiloom.fxp");
  std::string bytes;
  {
    std::ifstream file(preset, std::ios::binary);
    ASSERT_TRUE(file);
    bytes.assign(std::istreambuf_iterator<char>(file), {});
  }
  ASSERT_EQ(bytes.substr(0, 4), "CcnK");
  EXPECT_EQ(PresetParameters(bytes), (std::vector<float>{0.5f, 0.25f, 1.0f}));

  // Other values in the file: the next start loads them into the effect, its Quit saves them.
  const size_t program = bytes.find("FxCk");
  const uint8_t changed[12] = {0x3F, 0x40, 0, 0, 0x3E, 0, 0, 0, 0, 0, 0, 0};  // 0.75, 0.125, 0
  std::memcpy(bytes.data() + program + 48, changed, sizeof changed);
  {
    std::ofstream file(preset, std::ios::binary | std::ios::trunc);
    file << bytes;
  }
  ASSERT_EQ(Run({"init", "quit"}).exit_code, 0);
  std::ifstream file(preset, std::ios::binary);
  const std::string saved{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(PresetParameters(saved), (std::vector<float>{0.75f, 0.125f, 0.0f}));
}

TEST_F(PlayerEndToEnd, PauseHoldsTheDriverAndResumeGoesOnWithoutALostFrame) {
  const Driver a = InstallDriver('A', 0x40);
  StoreEffect();
  const std::string wav = WriteKnownWav(1.0);
  const HarnessRun run =
      Run({"init", "select CBDriver \"" + a.name + "\"", "play", "sleep 300", "pause", "sleep 300",
           "canwrite", "sleep 300", "canwrite", "pause", "resume", "wait", "stop", "quit"},
          "--wav \"" + wav + "\"");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto pauses = run.All("pause");
  ASSERT_EQ(pauses.size(), 2u) << run.output;
  EXPECT_EQ(pauses[0].fields.at("previous"), "0");
  EXPECT_EQ(pauses[1].fields.at("previous"), "1");
  EXPECT_EQ(run.Field("resume", "previous"), "1");
  std::vector<std::string> free_while_paused;
  for (const LogLine& line : run.All("canwrite"))
    if (!line.fields.contains("first")) free_while_paused.push_back(line.fields.at("frames"));
  ASSERT_EQ(free_while_paused.size(), 2u) << run.output;
  EXPECT_EQ(free_while_paused[0], free_while_paused[1]) << "no block is read while paused";
  ExpectRouted(a, {7, 8});
}

// A seek: both times start again at its time, and move on as the stream plays, the output
// time behind the written one.
TEST_F(PlayerEndToEnd, FlushRestartsBothTimesAtItsTime) {
  const Driver a = InstallDriver('A', 0x50);
  StoreEffect();
  const HarnessRun run = Run({"init", "select CBDriver \"" + a.name + "\"", "play", "time",
                              "flush 5000", "time", "sleep 300", "time", "stop", "quit"},
                             "--tone 1");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto times = run.All("time");
  ASSERT_EQ(times.size(), 3u) << run.output;
  const auto time = [&](size_t i, const char* which) {
    return std::atoi(times[i].fields.at(which).c_str());
  };
  EXPECT_EQ(time(0, "output"), 0);  // the silence a stream starts with still plays
  EXPECT_GE(time(1, "output"), 5000);
  EXPECT_LE(time(1, "output"), time(1, "written"));
  EXPECT_LE(time(1, "written"), 5000 + 300);
  EXPECT_GE(time(2, "output"), time(1, "output") + 100);
  EXPECT_LE(time(2, "output"), time(2, "written"));
}

// A known signal of 24 or 32 bits: noise whose every byte varies, an eighth of full scale at
// most. At 32 bits each sample has at most 21 significant bits (a value below 2^20 shifted by
// 0 .. 7), so that the float samples and every router output keep it exactly.
harness::PcmSource DeepKnownSignal(double seconds, int32_t bits) {
  harness::PcmSource source;
  source.bits = bits;
  source.samples.resize(static_cast<size_t>(seconds * 44100) * 2);
  uint32_t state = 54321;
  for (int32_t& sample : source.samples) {
    state = state * 1664525u + 1013904223u;
    const auto value = static_cast<int32_t>(state >> 11) - (1 << 20);
    sample = bits == 32 ? value * (1 << (state >> 4 & 7)) : value;
  }
  return source;
}

// Streams of 8, 24 and 32 bits play every sample exactly, as 16-bit ones do: a 24- or 32-bit
// file at its own depth, and a 16-bit one (whose samples only have their top byte) sent as
// 8 bits.
TEST_F(PlayerEndToEnd, StreamsOf8And24And32BitsComeOutExactly) {
  const Driver a = InstallDriver('A', 0x90);
  StoreEffect();
  for (const int32_t bits : {24, 32, 8}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    if (bits == 8) {
      signal_ = KnownSignal(0.3);
      for (int32_t& sample : signal_.samples) sample &= ~0xFF;
    } else {
      signal_ = DeepKnownSignal(0.3, bits);
    }
    const std::string wav = WriteSignal();
    const HarnessRun run = Run({"init", "select CBDriver \"" + a.name + "\"",
                                "play bits=" + std::to_string(bits), "wait", "stop", "quit"},
                               "--wav \"" + wav + "\"");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    EXPECT_GT(std::atoi(run.Field("open", "result").c_str()), 0) << run.output;
    EXPECT_EQ(run.Field("open", "bits"), std::to_string(bits));
    EXPECT_EQ(run.Field("played", "refused"), "0") << run.output;
    // The alternating default routing: outputs 7 and 8 on the first two channels.
    ExpectRoutedThroughUnderruns(a, {7, 8});
  }
}

// A rate no player sends is refused without a box: Open answers -1 and nothing is stored.
TEST_F(PlayerEndToEnd, AnAbsurdRateIsRefusedWithoutABox) {
  const Driver a = InstallDriver('A', 0x80);
  StoreEffect();
  const HarnessRun run = Run({"init", "select CBDriver \"" + a.name + "\"",
                              "play rate=2000000 tail=0", "sleep 300", "stop", "quit"},
                             "--tone 0.2");
  EXPECT_TRUE(run.All("msgbox").empty()) << run.output;
  EXPECT_EQ(run.Field("open", "result"), "-1") << run.output;
  EXPECT_EQ(run.Field("played", "frames"), "0") << run.output;
}

// A tone's frequency in cycles per sample (from its zero crossings, interpolated) and its
// amplitude (from its RMS) over samples [begin, end).
struct ToneMeasure {
  double cycles_per_sample = 0;
  double amplitude = 0;
};
ToneMeasure MeasureTone(const std::vector<double>& x, size_t begin, size_t end) {
  ToneMeasure tone;
  double first = -1, last = -1, squares = 0;
  int rising = 0;
  for (size_t i = begin; i + 1 < end; ++i) {
    squares += x[i] * x[i];
    if (x[i] < 0 && x[i + 1] >= 0) {
      const double at = static_cast<double>(i) + x[i] / (x[i] - x[i + 1]);
      if (first < 0) first = at;
      last = at;
      ++rising;
    }
  }
  if (rising > 1) tone.cycles_per_sample = (rising - 1) / (last - first);
  if (end > begin) tone.amplitude = std::sqrt(2 * squares / static_cast<double>(end - begin));
  return tone;
}

// The span [first, last] of samples louder than `threshold`.
std::pair<size_t, size_t> AudibleSpan(const std::vector<double>& x, double threshold) {
  size_t first = x.size(), last = 0;
  for (size_t i = 0; i < x.size(); ++i)
    if (std::abs(x[i]) > threshold) first = std::min(first, i), last = i;
  return {first, last};
}

// A driver that runs 48 kHz only: the 44.1 kHz tone (440 Hz left at 0.1, 660 Hz right at
// 0.05; the router's outputs 7 and 8 on the first two channels) comes out at its frequency,
// its level and its length, without a box; a 48 kHz stream on it stays exact.
TEST_F(PlayerEndToEnd, AStreamAtARateTheDriverCannotRunIsResampledToItsPitchLevelAndLength) {
  const Driver a = InstallDriver('A', 0xA0, [](asio_test::DriverConfig& config) {
    config.sample_rates = {48000.0};
    config.sample_rate = 48000.0;
  });
  StoreEffect();
  const HarnessRun run = Run(
      {"init", "select CBDriver \"" + a.name + "\"", "play", "wait", "stop", "quit"}, "--tone 1");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(run.All("msgbox").empty()) << run.output;
  EXPECT_GT(std::atoi(run.Field("open", "result").c_str()), 0) << run.output;
  EXPECT_EQ(run.Field("played", "refused"), "0") << run.output;
  std::string error;
  const auto capture = harness::ReadCapture(a.capture, &error);
  ASSERT_TRUE(capture) << error;
  const struct {
    size_t channel;
    double frequency, amplitude;
  } expected[] = {{0, 440.0, 7 * 3277.0 / 32768}, {1, 660.0, 8 * 1642.0 / 32768}};
  for (const auto& e : expected) {
    SCOPED_TRACE("channel " + std::to_string(e.channel));
    const std::vector<double>& x = capture->channel[e.channel];
    const auto [first, last] = AudibleSpan(x, e.amplitude / 20);
    ASSERT_LT(first, last);
    // One second at 48 kHz, give or take the edges' filter ringing.
    EXPECT_NEAR(static_cast<double>(last - first + 1), 48000.0, 48.0);
    const ToneMeasure tone = MeasureTone(x, first + 2400, last - 2400);
    EXPECT_NEAR(tone.cycles_per_sample * 48000.0, e.frequency, 0.05);
    EXPECT_NEAR(20 * std::log10(tone.amplitude / e.amplitude), 0.0, 0.01);
  }

  // 48 kHz: no conversion, every sample exact.
  drivers_.clear();
  const Driver b = InstallDriver('B', 0xA1, [](asio_test::DriverConfig& config) {
    config.sample_rates = {48000.0};
    config.sample_rate = 48000.0;
  });
  signal_ = KnownSignal(0.3);
  signal_.sample_rate = 48000;
  const std::string wav = WriteSignal();
  const HarnessRun exact =
      Run({"init", "select CBDriver \"" + b.name + "\"", "play", "wait", "stop", "quit"},
          "--wav \"" + wav + "\"");
  ASSERT_EQ(exact.exit_code, 0) << exact.output;
  EXPECT_EQ(exact.Field("open", "rate"), "48000");
  ExpectRouted(b, {7, 8});
}

// The driver's clock goes from 44.1 to 48 kHz while a 44.1 kHz tone plays: after the frames
// the ring held at the change, the tone is heard at its pitch again, converted.
TEST_F(PlayerEndToEnd, ARateChangeDuringPlaybackIsFollowed) {
  const Driver a = InstallDriver('A', 0xA2, [](asio_test::DriverConfig& config) {
    config.clock_change_ms = 400;
    config.clock_change_rate = 48000.0;
  });
  StoreEffect();
  const HarnessRun run = Run(
      {"init", "select CBDriver \"" + a.name + "\"", "play", "wait", "stop", "quit"}, "--tone 2");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(run.All("msgbox").empty()) << run.output;
  std::string error;
  const auto capture = harness::ReadCapture(a.capture, &error);
  ASSERT_TRUE(capture) << error;
  const std::vector<double>& x = capture->channel[0];
  const auto [first, last] = AudibleSpan(x, 0.7 / 20);
  ASSERT_LT(first, last);
  // Before the change (0.4 s after the start, the ring's silence first): 44.1 kHz.
  const ToneMeasure before = MeasureTone(x, first + 1000, first + 8000);
  EXPECT_NEAR(before.cycles_per_sample * 44100.0, 440.0, 0.2);
  // From the change on, past what the ring held then (at most its length): 48 kHz.
  const size_t change = static_cast<size_t>(0.4 * 44100);
  const ToneMeasure after = MeasureTone(x, change + 2 * 16384, last - 2400);
  EXPECT_NEAR(after.cycles_per_sample * 48000.0, 440.0, 0.05);
  EXPECT_NEAR(20 * std::log10(after.amplitude / (7 * 3277.0 / 32768)), 0.0, 0.01);
  // The rest of the two seconds at 48 kHz, and nothing lost at the change.
  EXPECT_GT(last - first, static_cast<size_t>(2 * 44100));
}

TEST_F(PlayerEndToEnd, ADriverResetWhilePlayingKeepsTheAudioExact) {
  const Driver a = InstallDriver('A', 0x70);
  StoreEffect();
  const HarnessRun run = Run(
      {"init", "select CBDriver \"" + a.name + "\"", "play", "sleep 400",
       "asio-message " + a.id_text + " 3", "wait", "stop", "asio-switches " + a.id_text, "quit"},
      "--counter 1.0");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.Field("asio-message", "answer"), "1") << run.output;
  const auto switches = run.Find("asio-switches");
  ASSERT_TRUE(switches) << run.output;
  EXPECT_GE(std::stoi(switches->fields.at("inits")), 2) << "the driver was opened again";
  // The callbacks are timed from the reopened driver's start on, 256 frames at 44100 Hz.
  const int64_t timed = std::stoll(switches->fields.at("timed"));
  EXPECT_GT(timed, 0);
  EXPECT_LT(timed, std::stoll(switches->fields.at("count")));
  EXPECT_EQ(switches->fields.at("period_us"), "5805.0");
  // The capture goes on across the reopening: every frame of the programme once and in
  // order on both routed channels (outputs 7 and 8), silence only while the driver reopened.
  std::string error;
  const auto findings =
      harness::CheckCounterCapture(a.capture, 44100, {7, 8, 0, 0, 0, 0, 0, 0}, &error);
  ASSERT_TRUE(findings) << error;
  for (size_t c = 0; c < 2; ++c) {
    const harness::CounterFindings& f = (*findings)[c];
    EXPECT_EQ(f.heard, 44100) << "channel " << c;
    EXPECT_EQ(f.lost, 0) << "channel " << c;
    EXPECT_EQ(f.repeated, 0) << "channel " << c;
    EXPECT_EQ(f.out_of_order, 0) << "channel " << c;
    EXPECT_EQ(f.unrecognised, 0) << "channel " << c;
    EXPECT_EQ(f.unplayed, 0) << "channel " << c;
    EXPECT_LE(f.gaps, 1) << "channel " << c;
    for (const harness::CounterJump& jump : f.first_jumps)
      ADD_FAILURE() << "channel " << c << " jumps at " << jump.at << " from " << jump.from << " to "
                    << jump.to << " after " << jump.silence << " silent frames";
  }
}

// The user chooses other effect libraries while the counter plays: one that is no effect,
// which is reported and leaves the router playing, then a copy of the router in another
// folder, which takes over and is stored. The routing stays (outputs 7 and 8 on the first
// two channels), and every frame comes out once and in order, silence only while an effect
// was being changed.
TEST_F(PlayerEndToEnd, ChoosingAnotherEffectWhilePlayingKeepsTheAudioAndTheRouting) {
  const Driver a = InstallDriver('A', 0xA0);
  StoreEffect();
  fs::create_directories(dir_ / "other");
  const std::string library = Path("other\\Partiloom.dll");
  fs::copy_file(BinPath("partiloom_effect_router.dll"), library);
  const HarnessRun run =
      Run({"init", "select CBDriver \"" + a.name + "\"", "play", "sleep 300",
           "library \"" + BinPath("partiloom_effect_no_entry.dll") + "\"", "press BtEffect",
           "sleep 200", "library \"" + library + "\"", "press BtEffect", "wait", "stop", "quit"},
          "--counter 1.0");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto boxes = run.All("msgbox");
  ASSERT_EQ(boxes.size(), 1u) << run.output;
  EXPECT_EQ(boxes[0].fields.at("text"), "This is not a valid Vst Plugin!");
  const auto stored = StoredString("VST Plugin");
  ASSERT_TRUE(stored);
  EXPECT_EQ(
      CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, stored->c_str(), -1, library.c_str(), -1),
      CSTR_EQUAL)
      << *stored;
  std::string error;
  const auto findings =
      harness::CheckCounterCapture(a.capture, 44100, {7, 8, 0, 0, 0, 0, 0, 0}, &error);
  ASSERT_TRUE(findings) << error;
  for (size_t c = 0; c < 2; ++c) {
    const harness::CounterFindings& f = (*findings)[c];
    EXPECT_EQ(f.heard, 44100) << "channel " << c;
    EXPECT_EQ(f.lost, 0) << "channel " << c;
    EXPECT_EQ(f.repeated, 0) << "channel " << c;
    EXPECT_EQ(f.out_of_order, 0) << "channel " << c;
    EXPECT_EQ(f.unrecognised, 0) << "channel " << c;
    EXPECT_EQ(f.unplayed, 0) << "channel " << c;
    EXPECT_LE(f.gaps, 2) << "channel " << c;
    for (const harness::CounterJump& jump : f.first_jumps)
      ADD_FAILURE() << "channel " << c << " jumps at " << jump.at << " from " << jump.from << " to "
                    << jump.to << " after " << jump.silence << " silent frames";
  }
}

// ---- the player's own way of playing: a playlist of tracks ---------------------------------
// The track steps play as the player does: a decode thread per track that opens, writes as
// CanWrite's bytes allow, marks the end and waits for IsPlaying to answer 0; Close on the
// main thread; the times asked from three threads meanwhile.
class PlayerPlaylist : public PlayerEndToEnd {
 protected:
  // After its last track the player sits idle while the plug-in plays out what it queued
  // (IsPlaying may answer 0 a moment before the end, for the next track to join in time).
  static constexpr const char* kPlayedOut = "sleep 1000";
  // How long before the end IsPlaying may answer 0, and the visualisation threads' pace that
  // the last output time seen before it is late by.
  static constexpr int64_t kEndNoticeMs = 300 + 50;

  // Starts the player and chooses `driver` in the plug-in's window. Choosing it applies the
  // alternating default routing: outputs 7 and 8 on the first two channels.
  static std::vector<std::string> ChooseDriver(const Driver& driver) {
    return {"init", "config", "select CBDriver \"" + driver.name + "\""};
  }

  // The counter frame each captured frame carries on the first two channels (-1: silence).
  static std::vector<int64_t> HeardCounterFrames(const Driver& driver) {
    std::string error;
    const auto capture = harness::ReadCapture(driver.capture, &error);
    EXPECT_TRUE(capture) << error;
    return capture ? harness::CounterFrames(*capture, 0, 7, 1, 8) : std::vector<int64_t>();
  }

  // The counter heard on both routed channels: every frame of [0, frames) once and in order
  // with no silence between the first and the last.
  static void ExpectEveryCounterFrameOnce(const Driver& driver, int64_t frames) {
    std::string error;
    const auto findings =
        harness::CheckCounterCapture(driver.capture, frames, {7, 8, 0, 0, 0, 0, 0, 0}, &error);
    ASSERT_TRUE(findings) << error;
    for (size_t c = 0; c < 2; ++c) {
      SCOPED_TRACE("channel " + std::to_string(c));
      const harness::CounterFindings& f = (*findings)[c];
      EXPECT_EQ(f.heard, frames);
      EXPECT_EQ(f.lost, 0);
      EXPECT_EQ(f.repeated, 0);
      EXPECT_EQ(f.out_of_order, 0);
      EXPECT_EQ(f.unrecognised, 0);
      EXPECT_EQ(f.unplayed, 0) << "the end is not heard";
      EXPECT_EQ(f.gaps, 0) << f.gap_frames << " silent frames inside";
      for (const harness::CounterJump& jump : f.first_jumps)
        ADD_FAILURE() << "jumps at " << jump.at << " from " << jump.from << " to " << jump.to
                      << " after " << jump.silence << " silent frames";
    }
  }

  static int64_t Number(const LogLine& line, const std::string& field) {
    return line.fields.contains(field) ? std::stoll(line.fields.at(field)) : INT64_MIN;
  }
};

// A DSP in the player makes the MP3 decoder wait for room for two blocks and write 2 x 1152
// frames at once: a CanWrite that answered frames, or a write the plug-in took only in part,
// would stall it or lose audio. Both depths come out exact.
TEST_F(PlayerPlaylist, ADspDoubledStreamOf16Or24BitsPlaysToItsEnd) {
  const Driver a = InstallDriver('A', 0xC0);
  StoreEffect();
  for (const int32_t bits : {16, 24}) {
    SCOPED_TRACE(std::to_string(bits) + " bits");
    signal_ = bits == 16 ? KnownSignal(0.5) : DeepKnownSignal(0.5, 24);
    const std::string wav = WriteSignal();
    const HarnessRun run =
        Run(Concat({ChooseDriver(a), {"track dsp=1", "track-wait", kPlayedOut, "quit"}}),
            "--wav \"" + wav + "\"");
    ASSERT_EQ(run.exit_code, 0) << run.output;
    const auto written = run.Find("track-written");
    ASSERT_TRUE(written) << run.output;
    EXPECT_EQ(written->fields.at("stalled"), "0");
    EXPECT_EQ(Number(*written, "frames"), 22050);
    EXPECT_EQ(Number(*written, "writes"), (22050 + 2303) / 2304);
    EXPECT_EQ(run.Field("track-open", "bits"), std::to_string(bits));
    EXPECT_TRUE(run.Find("track-ended")) << run.output;
    EXPECT_FALSE(run.Find("track-stalled")) << run.output;
    std::string error;
    auto capture = harness::ReadCapture(a.capture, &error);
    ASSERT_TRUE(capture) << error;
    const auto result = harness::CompareWithGappedStreams(
        *capture, {harness::RouterOutput(signal_, 7), harness::RouterOutput(signal_, 8)},
        asio_test::DriverConfig{}.preferred_size);
    EXPECT_GE(result.start, 0) << "nothing heard";
    EXPECT_EQ(result.mismatches, 0) << "first at frame " << result.first_mismatch;
    EXPECT_EQ(result.missing, 0) << "the end is not heard";
  }
}

// After the end mark the plug-in answers IsPlaying 1 until the queue has played: the last
// frame of the last track is heard before the player closes.
TEST_F(PlayerPlaylist, TheLastTrackIsHeardToItsLastFrame) {
  const Driver a = InstallDriver('A', 0xC1);
  StoreEffect();
  const HarnessRun run =
      Run(Concat({ChooseDriver(a), {"track decoder=wav", "track-wait", kPlayedOut, "quit"}}),
          "--counter 1.0");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_TRUE(run.Find("track-ended")) << run.output;
  ExpectEveryCounterFrameOnce(a, 44100);
}

// Two tracks of one format, consecutive stretches of the counter (the first through the MP3
// decoder, the second through the WAV decoder): the second's first frame follows the first's
// last on the driver's next frame, and the driver runs on (one start) across Close and Open.
TEST_F(PlayerPlaylist, TwoTracksOfOneFormatJoinWithoutAGapOnOneDriverStart) {
  const Driver a = InstallDriver('A', 0xC2);
  StoreEffect();
  const HarnessRun run =
      Run(Concat({{"asio-switches " + a.id_text},
                  ChooseDriver(a),
                  {"track frames=26460", "track from=26460 decoder=wav", "track-wait", kPlayedOut,
                   "asio-switches " + a.id_text, "quit"}}),
          "--counter 1.2");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.All("track-closed").size(), 2u) << run.output;
  EXPECT_EQ(run.Field("playlist-end", "played"), "2") << run.output;
  const auto switches = run.All("asio-switches");
  ASSERT_EQ(switches.size(), 2u) << run.output;
  EXPECT_EQ(Number(switches[1], "starts") - Number(switches[0], "starts"), 1)
      << "the driver restarted between the tracks";
  ExpectEveryCounterFrameOnce(a, 52920);
}

// Stop closes with audio queued: none of it is heard later, and nothing of the first track
// comes after the first frame of the next (a stretch 3 s further on).
TEST_F(PlayerPlaylist, AStopDropsWhatWasQueuedBeforeTheNextTrack) {
  const Driver a = InstallDriver('A', 0xC3);
  StoreEffect();
  const HarnessRun run = Run(Concat({ChooseDriver(a),
                                     {"track frames=88200", "sleep 600", "track-stop",
                                      "track from=132300", "track-wait", kPlayedOut, "quit"}}),
                             "--counter 3.5");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto stopped = run.Find("track-stopped");
  ASSERT_TRUE(stopped) << run.output;
  EXPECT_EQ(stopped->fields.at("reason"), "stop");
  const auto written = run.Find("track-written", "index", "0");
  ASSERT_TRUE(written) << run.output;
  EXPECT_EQ(written->fields.at("stopped"), "1");
  const int64_t written_at_stop = Number(*written, "frames");

  const std::vector<int64_t> heard = HeardCounterFrames(a);
  const auto second =
      std::find_if(heard.begin(), heard.end(), [](int64_t frame) { return frame >= 132300; });
  ASSERT_NE(second, heard.end()) << "the second track is not heard";
  EXPECT_EQ(*second, 132300);
  int64_t last_of_first = -1;
  for (auto it = heard.begin(); it != second; ++it)
    if (*it >= 0) last_of_first = std::max(last_of_first, *it);
  int64_t old_after = 0, unrecognised = 0, next = 132300, out_of_turn = 0;
  for (auto it = second; it != heard.end(); ++it) {
    if (*it == harness::kCounterUnrecognised) ++unrecognised;
    if (*it < 0) continue;
    if (*it < 132300) ++old_after;
    if (*it != next++) ++out_of_turn;
  }
  EXPECT_EQ(old_after, 0) << "frames of the first track after the second began";
  EXPECT_EQ(unrecognised, 0);
  EXPECT_EQ(out_of_turn, 0) << "the second track lost or repeated frames";
  EXPECT_EQ(next, 154350) << "the second track is not heard to its end";
  // The queue at the stop (the most of the ring: the decoder keeps it full) was dropped.
  EXPECT_LT(last_of_first, written_at_stop - 2048)
      << "heard up to frame " << last_of_first << " of " << written_at_stop << " written";
}

// A seek drops the queue: after the first frame of the seek's target, nothing from before it;
// the old stretch ends about a queue's length before what was written at the seek; the new
// one runs from the target to the track's end, and the written time ends at its length.
TEST_F(PlayerPlaylist, ASeekDropsTheQueueAndGoesOnFromItsTarget) {
  const Driver a = InstallDriver('A', 0xC4);
  StoreEffect();
  const HarnessRun run =
      Run(Concat({ChooseDriver(a),
                  {"track", "sleep 500", "track-seek 2000", "track-wait", kPlayedOut, "quit"}}),
          "--counter 2.5");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto seek = run.Find("track-seek");
  ASSERT_TRUE(seek) << run.output;
  EXPECT_EQ(Number(*seek, "from"), 88200);
  const int64_t written_at_seek = Number(*seek, "written_to");

  const std::vector<int64_t> heard = HeardCounterFrames(a);
  const auto target = std::find(heard.begin(), heard.end(), 88200);
  ASSERT_NE(target, heard.end()) << "the seek's target is not heard";
  int64_t last_old = -1;
  for (auto it = heard.begin(); it != target; ++it)
    if (*it >= 0) last_old = std::max(last_old, *it);
  int64_t next = 88200, out_of_turn = 0;
  for (auto it = target; it != heard.end(); ++it)
    if (*it != harness::kCounterSilent && *it != next++) ++out_of_turn;
  EXPECT_EQ(out_of_turn, 0) << "old or lost frames after the seek";
  EXPECT_EQ(next, 110250) << "the track is not heard to its end";
  EXPECT_GT(written_at_seek - last_old, 2048) << "the queue at the seek was played";
  EXPECT_LT(written_at_seek - last_old, 44100);

  const auto times = run.Find("track-times");
  ASSERT_TRUE(times) << run.output;
  EXPECT_EQ(Number(*times, "output_decreases"), 0) << run.output;
  EXPECT_EQ(run.Field("track-written", "written_ms"), "2500") << "the times did not restart";
  EXPECT_LE(Number(*times, "output_ms"), 2500);
  EXPECT_GE(Number(*times, "output_ms"), 2500 - kEndNoticeMs);
}

// The times follow what is heard, as each caller sees them: the output time never goes back
// and never passes the written time, trails it by no more than the latency Open answered,
// and reaches the track's length when IsPlaying answers 0.
TEST_F(PlayerPlaylist, TheTimesFollowWhatIsHeard) {
  const Driver a = InstallDriver('A', 0xC5);
  StoreEffect();
  const HarnessRun run =
      Run(Concat({ChooseDriver(a), {"track frames=66150", "track-wait", "quit"}}), "--counter 1.5");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  const auto open = run.Find("track-open");
  const auto times = run.Find("track-times");
  ASSERT_TRUE(open && times) << run.output;
  const int64_t latency = Number(*open, "result");
  ASSERT_GE(latency, 0);
  EXPECT_GE(Number(*times, "samples"), 60) << run.output;
  EXPECT_GE(Number(*times, "main_samples"), 8);
  EXPECT_EQ(Number(*times, "output_decreases"), 0);
  EXPECT_EQ(Number(*times, "output_above_written"), 0);
  // A few ms between the two calls of a sample, and each rounded.
  EXPECT_LE(Number(*times, "max_lag_ms"), latency + 20);
  EXPECT_GT(Number(*times, "max_lag_ms"), 0);
  EXPECT_EQ(run.Field("track-written", "written_ms"), "1500");
  EXPECT_LT(Number(*times, "end_mark_output_ms"), Number(*times, "end_mark_written_ms"))
      << "the queue at the end mark is not heard yet";
  EXPECT_LE(Number(*times, "output_ms"), 1500);
  EXPECT_GE(Number(*times, "output_ms"), 1500 - kEndNoticeMs);
}

// Open answers -1 when it cannot play (no driver chosen, a driver that will not start), and
// otherwise a latency that counts the driver's own (13230 frames, 300 ms at 44100 Hz).
TEST_F(PlayerPlaylist, OpenAnswersMinusOneWhenItCannotPlayAndTheLatencyOtherwise) {
  struct Case {
    const char* name;
    std::function<void(asio_test::DriverConfig&)> adjust;
    bool choose;
    int64_t at_least;  // -1: Open fails
  };
  const Case cases[] = {
      {"no driver chosen", {}, false, -1},
      {"a driver that refuses to start",
       [](asio_test::DriverConfig& config) {
         config.failures["start"] = asio_test::Failure::Refuse;
       },
       true, -1},
      {"a driver with 300 ms of output latency",
       [](asio_test::DriverConfig& config) { config.output_latency = 13230; }, true, 300},
  };
  uint32_t number = 0xC6;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, kSettingsKey);
    drivers_.clear();
    const Driver a = InstallDriver('A', number++, c.adjust);
    StoreEffect();
    const std::vector<std::string> start =
        c.choose ? ChooseDriver(a) : std::vector<std::string>{"init"};
    const HarnessRun run =
        Run(Concat({start, {"track frames=4410", "track-wait", "quit"}}), "--counter 0.2");
    EXPECT_EQ(run.exit_code, 0) << run.output;
    const auto open = run.Find("track-open");
    ASSERT_TRUE(open) << run.output;
    const int64_t result = Number(*open, "result");
    if (c.at_least < 0) {
      EXPECT_EQ(result, -1) << run.output;
      EXPECT_EQ(run.Field("track-stopped", "reason"), "open") << run.output;
    } else {
      EXPECT_GE(result, c.at_least) << run.output;
      EXPECT_TRUE(run.Find("track-ended")) << run.output;
    }
  }
}

// The player starts every installed output, chosen or not: one that is never chosen (Init,
// then Quit) opens no driver and shows nothing, whatever its settings hold. Config, and a
// mode change that makes it the active output, do open the stored driver: the counts can
// tell.
TEST_F(PlayerPlaylist, AnOutputThatIsNeverChosenOpensNoDriverAndShowsNothing) {
  const Driver a = InstallDriver('A', 0xC9);
  struct Case {
    const char* name;
    bool driver_stored;
    bool library_stored;
    std::vector<std::string> steps;  // between Init and Quit
    bool opens;
  };
  const Case cases[] = {
      {"nothing stored", false, false, {}, false},
      {"a driver stored, no library", true, false, {}, false},
      {"a driver and the library stored", true, true, {}, false},
      {"chosen later in Config", true, true, {"config"}, true},
      {"made the active output", true, true, {"mode-change 1"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, kSettingsKey);
    if (c.driver_stored) {
      StoreEffect();
      // As a user leaves it: the window closed again.
      ASSERT_EQ(Run(Concat({ChooseDriver(a), {"close \"Config ASIO\"", "quit"}})).exit_code, 0);
      ASSERT_TRUE(StoredInteger("Driver"));
      if (!c.library_stored) {
        ASSERT_TRUE(Settings()->DeleteValue("VST Plugin"));
      }
    }
    const HarnessRun run = Run(Concat({{"asio-switches " + a.id_text, "init unchosen"},
                                       c.steps,
                                       {"sleep 300", "asio-switches " + a.id_text, "quit"}}));
    EXPECT_EQ(run.exit_code, 0) << run.output;
    const auto switches = run.All("asio-switches");
    ASSERT_EQ(switches.size(), 2u) << run.output;
    const int64_t inits = Number(switches[1], "inits") - Number(switches[0], "inits");
    if (c.opens) {
      if (run.Field("mode-change", "found") == "0") {
        std::cout << c.name << ": the plug-in exports no mode change\n";
        continue;
      }
      EXPECT_GE(inits, 1) << run.output;
      continue;
    }
    EXPECT_EQ(inits, 0) << run.output;
    EXPECT_TRUE(run.All("msgbox").empty()) << run.output;
    EXPECT_TRUE(run.All("dialog").empty()) << run.output;
    EXPECT_TRUE(run.All("shown").empty()) << run.output;
  }
}

// Another host leaves the record's main window 0: the plug-in still plays, all of it.
TEST_F(PlayerPlaylist, AHostWithoutAMainWindowInTheRecordPlays) {
  const Driver a = InstallDriver('A', 0xCA);
  StoreEffect();
  const HarnessRun run = Run(Concat({ChooseDriver(a), {"track", "track-wait", kPlayedOut, "quit"}}),
                             "--counter 0.5 --no-main-window");
  ASSERT_EQ(run.exit_code, 0) << run.output;
  EXPECT_EQ(run.Field("main-window", "in_record"), "0");
  EXPECT_EQ(run.Field("track-written", "stalled"), "0") << run.output;
  EXPECT_TRUE(run.Find("track-ended")) << run.output;
  ExpectEveryCounterFrameOnce(a, 22050);
}

}  // namespace
