#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "output_module/outputasio.h"
#include "output_module/settings.h"
#include "output_module/tests/module_test_support.h"
#include "platform/dynamic_library.h"
#include "platform/fault_log.h"
#include "platform/system.h"
#include "vst_host/tests/test_support.h"

namespace {

#if defined(_WIN32)
const char* const kModuleFile = "\\out_partiloom.dll";
#else
const char* const kModuleFile = "/out_partiloom.so";
#endif

TEST(OutputModuleRecord, ExportedRecordHasThePlayersLayoutAndContents) {
  platform::LibraryLoadResult loaded =
      platform::LoadLibraryFile(platform::ExecutableDirectory() + kModuleFile);
  ASSERT_NE(loaded.handle, nullptr) << loaded.error_text;
  platform::DynamicLibrary library(loaded.handle);
  auto get_module = reinterpret_cast<GetOutModuleRoutine>(library.Export("winampGetOutModule"));
  ASSERT_NE(get_module, nullptr);

  TOutputModule* first = get_module();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->version, 16);
  EXPECT_STREQ(first->description, "Partiloom ASIO Output Plugin");
  EXPECT_EQ(first->id, 0);

  // Every callback slot is filled.
  const auto* slots = reinterpret_cast<void* const*>(&first->Config);
  for (int i = 0; i < 15; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
  EXPECT_EQ(first->About, first->Config);

  // The player fills in its handles; a second call returns the same record and keeps them.
  first->main_window = reinterpret_cast<void*>(0x1234);
  unsigned char before[sizeof(TOutputModule)];
  std::memcpy(before, first, sizeof(before));
  TOutputModule* second = get_module();
  EXPECT_EQ(second, first);
  EXPECT_EQ(std::memcmp(before, second, sizeof(before)), 0);
  EXPECT_EQ(second->id, 0);
  EXPECT_EQ(second->IsPlaying(), 0);
}

class ModuleLifeCycle : public ModuleTest {};

// Without a window (before Init, after Quit) every callback answers as an output with nothing
// to play, and none of them fails.
TEST_F(ModuleLifeCycle, CallbacksWithoutAWindowAreHarmless) {
  TOutputModule* record = winampGetOutModule();
  StoreEffect("router");
  const std::vector<char> pcm = Pcm({1, 2});
  for (const char* phase : {"before Init", "after Quit"}) {
    SCOPED_TRACE(phase);
    ASSERT_EQ(FmASIOConfig, nullptr);
    record->Config(nullptr);
    record->About(nullptr);
    EXPECT_EQ(record->Open(44100, 2, 16, 500, 100), -1);
    EXPECT_EQ(record->Write(pcm.data(), 4), 1);
    EXPECT_EQ(record->CanWrite(), 0);
    EXPECT_EQ(record->IsPlaying(), 0);
    EXPECT_EQ(record->Pause(1), 0);
    record->SetVolume(100);
    record->SetPan(-20);
    record->Flush(1000);
    EXPECT_EQ(record->GetOutputTime(), 0);
    EXPECT_EQ(record->GetWrittenTime(), 0);
    record->Close();
    record->Quit();
    record->Init();
    ASSERT_NE(FmASIOConfig, nullptr);
    ASSERT_NE(StreamLock, nullptr);
    record->Quit();
    EXPECT_EQ(StreamLock, nullptr);
  }
}

// The player initialises every installed output: the effect and the driver wait for this
// one's first use, and another output's choice lets the driver go until the next.
TEST_F(ModuleLifeCycle, InitMakesTheWindowOwnedByThePlayerAndTheFirstUseLoads) {
  TOutputModule* record = winampGetOutModule();
  StoreEffect("router");
  asio_test::DriverConfig config;
  config.clock = asio_test::ClockMode::Manual;
  const std::string driver = InstallDriver(config);
  Key()->WriteString(settings::kDriverName, driver);
  auto owner = platform::Control::CreateTopLevel(platform::ControlKind::Form, "Player", "Player",
                                                 nullptr, platform::Bounds{0, 0, 300, 200});
  for (const std::string first_use : {"About", "mode change", "Open"}) {
    SCOPED_TRACE(first_use);
    Messages().clear();
    settings::WriteBoolean(*Key(), settings::kVisible, false);  // About showed it
    record->main_window = owner->Handle();
    record->Init();
    ASSERT_NE(FmASIOConfig, nullptr);
    EXPECT_FALSE(FmASIOConfig->Effect().Active());
    EXPECT_EQ(Driver().LiveObjects(), 0);
    EXPECT_FALSE(platform::WindowVisible(FmASIOConfig->Form->Handle()));
    Key()->WriteInteger(settings::kDriver, 0);  // found by its name
    if (first_use == "About") {
      record->About(nullptr);
      EXPECT_TRUE(platform::WindowVisible(FmASIOConfig->Form->Handle()));
    } else if (first_use == "Open") {
      EXPECT_GT(record->Open(44100, 2, 16, -1, -1), 0);
      record->Close();
    } else {
      winampGetOutModeChange(0x101);
    }
    EXPECT_TRUE(FmASIOConfig->Effect().Active());
    EXPECT_EQ(Driver().LiveObjects(), 1);
    winampGetOutModeChange(0);
    EXPECT_EQ(Driver().LiveObjects(), 0);
    EXPECT_GT(record->Open(44100, 2, 16, -1, -1), 0);  // the driver comes back
    EXPECT_EQ(Driver().LiveObjects(), 1);
    winampGetOutModeChange(0);  // a stream is open: the driver stays
    EXPECT_EQ(Driver().LiveObjects(), 1);
    record->Close();
    record->Quit();
    EXPECT_TRUE(Messages().empty());
  }
  record->main_window = nullptr;
}

// Quit stores the window's visibility and position and the effect's preset; the next Init
// brings them back.
TEST_F(ModuleLifeCycle, QuitStoresTheWindowStateAndThePreset) {
  TOutputModule* record = winampGetOutModule();
  StoreEffect("params");
  record->Init();
  ASSERT_NE(FmASIOConfig, nullptr);
  record->Config(nullptr);
  FmASIOConfig->Form->SetPosition(140, 90);
  FmASIOConfig->Effect().SetParameter(0, 0.125f);
  record->Quit();
  EXPECT_EQ(FmASIOConfig, nullptr);
  auto key = Key();
  EXPECT_EQ(key->ReadInteger(settings::kVisible), 1);
  EXPECT_EQ(key->ReadInteger(settings::kLeft), 140);
  EXPECT_EQ(key->ReadInteger(settings::kTop), 90);
  EXPECT_TRUE(std::filesystem::exists(settings::kPresetFileName));

  record->Init();
  ASSERT_NE(FmASIOConfig, nullptr);
  EXPECT_TRUE(FmASIOConfig->Form->Visible());
  EXPECT_EQ(FmASIOConfig->Form->GetBounds().left, 140);
  EXPECT_EQ(FmASIOConfig->Form->GetBounds().top, 90);
  EXPECT_EQ(FmASIOConfig->Effect().GetParameter(0), 0.125f);
  record->Quit();
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// An effect that gives no usable state when the player quits leaves the preset of the run
// before as it was, without a message; the fault log says why, once for each kind of answer.
TEST_F(ModuleLifeCycle, QuitKeepsTheEarlierPresetWhenTheEffectGivesNoState) {
  TEffectProbe probe("faulty");
  TOutputModule* record = winampGetOutModule();
  StoreEffect("faulty");
  record->Init();
  ASSERT_NE(FmASIOConfig, nullptr);
  const platform::FaultSourceId source = FmASIOConfig->Effect().FaultSource();
  record->Quit();
  const std::string earlier = ReadFile(settings::kPresetFileName);
  ASSERT_EQ(earlier.size(), 160u);  // the effect's 100 bytes behind the header

  using platform::FaultKind;
  const struct {
    uint32_t arm;
    FaultKind kind;
    const char* call;
  } cases[] = {{kArmChunkZeroSize, FaultKind::RefusedAnswer, "effGetChunk (size 0 or below)"},
               {kArmChunkNegativeSize, FaultKind::RefusedAnswer, "effGetChunk (size 0 or below)"},
               {kArmChunkNull, FaultKind::RefusedAnswer, "effGetChunk (null chunk)"},
               {kArmChunkShort, FaultKind::EffectFault, "effGetChunk (copy)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arm);
    record->Init();
    ASSERT_NE(FmASIOConfig, nullptr);
    const uint32_t recorded = platform::FaultCount(c.kind, source, c.call);
    probe.Arm(c.arm);
    record->Quit();
    probe.Arm(0);
    EXPECT_EQ(ReadFile(settings::kPresetFileName), earlier);
    EXPECT_FALSE(std::filesystem::exists(std::string(settings::kPresetFileName) + ".partial"));
    EXPECT_EQ(platform::FaultCount(c.kind, source, c.call), recorded + 1);
  }
  EXPECT_TRUE(Messages().empty());
}

// The stream callbacks reach the window's stream once Init has made it.
TEST_F(ModuleLifeCycle, StreamCallbacksWorkOnTheWindow) {
  TOutputModule* record = winampGetOutModule();
  StoreEffect("router");
  asio_test::DriverConfig config;
  config.clock = asio_test::ClockMode::Manual;
  const std::string driver = InstallDriver(config);
  record->Init();
  ASSERT_NE(FmASIOConfig, nullptr);
  EXPECT_EQ(record->Open(44100, 2, 16, 2000, 500), -1);  // no driver chosen
  SelectDriver(*FmASIOConfig, driver);
  // The ring (8192 frames) and the driver's output latency (512): 198 ms.
  EXPECT_EQ(record->Open(44100, 2, 16, 2000, 500), 198);
  EXPECT_EQ(record->CanWrite(), 0);
  TSingleChannelArrays inputs(2, 512);
  FmASIOConfig->ReadBlock(512, inputs);
  EXPECT_EQ(record->CanWrite(), 512 * 4);  // bytes
  const std::vector<char> pcm = Pcm({100, 200, 300, 400, 500});
  EXPECT_EQ(record->Write(pcm.data(), static_cast<int32_t>(pcm.size())), 0);
  EXPECT_EQ(record->CanWrite(), 510 * 4);
  EXPECT_EQ(record->GetWrittenTime(), 0);
  EXPECT_EQ(record->IsPlaying(), 1);
  record->SetVolume(0);
  record->SetVolume(-666);  // the current volume stays
  EXPECT_EQ(FmASIOConfig->Volume(), 0.0f);
  EXPECT_EQ(record->Pause(1), 0);
  EXPECT_EQ(record->Pause(0), 1);
  record->Flush(2500);
  EXPECT_EQ(record->CanWrite(), 8192 * 4);
  EXPECT_EQ(record->GetOutputTime(), 2500);
  EXPECT_EQ(record->GetWrittenTime(), 2500);
  EXPECT_EQ(record->IsPlaying(), 0);
  record->Close();
  record->Quit();
}

}  // namespace
