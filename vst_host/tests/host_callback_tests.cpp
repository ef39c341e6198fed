#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "platform/file_dialog.h"
#include "platform/fpu.h"
#include "platform/message_box.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

VstIntPtr Ask(VstInt32 opcode, VstInt32 index = 0, VstIntPtr value = 0, void* ptr = nullptr,
              float opt = 0.0f, AEffect* effect = nullptr) {
  return AudioMasterCallback(effect, opcode, index, value, ptr, opt);
}

class HostCallback : public RegistryTest {
 protected:
  void SetUp() override {
    RegistryTest::SetUp();
    host_ = std::make_unique<TVstHost>();
  }
  void TearDown() override {
    host_.reset();
    FileSelectorDialog.reset();
    HostWindowList.clear();
    platform::SetFileDialogHandler(nullptr);
    RegistryTest::TearDown();
  }
  std::unique_ptr<TVstHost> host_;
};

TEST_F(HostCallback, CapabilitiesAreAnsweredFromTheSetExactly) {
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("acceptIOChanges")), 1);  // default set
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("startStopProcess")), 1);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("supportShell")), 0);
  // The set the host window uses.
  THostCanDos window_set;
  for (int i : {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 15, 17})
    window_set.Include(static_cast<THostCanDo>(i));
  host_->SetCanDos(window_set);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("sizeWindow")), 1);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("editFile")), 1);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("acceptIOChanges")), 1);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("supportShell")), 0);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("openFileSelector")), 0);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("SizeWindow")), 0);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, const_cast<char*>("unknown")), 0);
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, nullptr), 0);
  // A question without its NUL within 255 characters matches nothing and reads no further.
  char long_text[300];
  std::memset(long_text, 'a', sizeof long_text);
  std::memcpy(long_text, "sizeWindow", 10);
  long_text[299] = '\0';
  EXPECT_EQ(Ask(audioMasterCanDo, 0, 0, long_text), 0);
}

TEST_F(HostCallback, VersionsTempoRatesAndQuantization) {
  EXPECT_EQ(Ask(audioMasterVersion), 2300);
  host_->SetVstVersion(2400);
  EXPECT_EQ(Ask(audioMasterVersion), 2400);
  EXPECT_EQ(Ask(audioMasterVersion + 0x100), 2400);  // only the low 8 bits count

  host_->SetTempo(120.0f);
  EXPECT_EQ(Ask(audioMasterTempoAt), 1200000);
  host_->SetTempo(120.5f);
  EXPECT_EQ(Ask(audioMasterTempoAt), 1200000);
  host_->SetTempo(121.5f);
  EXPECT_EQ(Ask(audioMasterTempoAt), 1220000);
  EXPECT_EQ(host_->VstTimeInfo().Tempo(), 121.5);

  host_->VstTimeInfo().SetSampleRate(48000.0);
  EXPECT_EQ(Ask(audioMasterGetSampleRate), 48000);
  EXPECT_EQ(Ask(audioMasterGetBlockSize), 2048);

  host_->ParameterQuantization = 17;
  EXPECT_EQ(Ask(audioMasterGetParameterQuantization, 0, 3), 0);
  EXPECT_EQ(Ask(audioMasterGetParameterQuantization, 0, -1), 17);
  host_->LatencyInput = 5;
  host_->LatencyOutput = 6;
  host_->VendorVersion = 9;
  host_->NumAutomatableParameters = 4;
  host_->Language = kVstLangGerman;
  EXPECT_EQ(Ask(audioMasterGetInputLatency), 5);
  EXPECT_EQ(Ask(audioMasterGetOutputLatency), 6);
  EXPECT_EQ(Ask(audioMasterGetVendorVersion), 9);
  EXPECT_EQ(Ask(audioMasterGetNumAutomatableParameters), 4);
  EXPECT_EQ(Ask(audioMasterGetLanguage), kVstLangGerman);

  Ask(audioMasterSetOutputSampleRate, 0, 0, nullptr, 96000.0f);
  EXPECT_EQ(Ask(audioMasterGetSampleRate), 96000);
  // The version is host-wide and no new host resets it: tests that run later expect 2300.
  host_->SetVstVersion(2300);
}

TEST_F(HostCallback, TheTimeRecordIsHandedOutInPlace) {
  const VstIntPtr first = Ask(audioMasterGetTime, 0, 0xFFFF);
  EXPECT_EQ(first, Ask(audioMasterGetTime));
  const auto* record = reinterpret_cast<const VstTimeInfo*>(first);
  ASSERT_EQ(record, host_->VstTimeInfo().Record());
  EXPECT_EQ(record->sampleRate, 44100.0);
  EXPECT_EQ(record->timeSigNumerator, 4);
  EXPECT_EQ(record->smpteFrameRate, 1);
  EXPECT_EQ(record->flags, 0xFF00);
  host_->VstTimeInfo().SetFlags(TVstTimeInfoFlags::FromBits(0xFFFFFFFFu));
  EXPECT_EQ(record->flags, 0xFFFF);  // never bits 16 to 31
}

TEST_F(HostCallback, UnknownRequestsAndRequestsWithoutTheirItemAnswerZero) {
  for (VstInt32 opcode : {5, 49, 60, 255}) EXPECT_EQ(Ask(opcode, 1, 2, nullptr, 3.5f), 0);
  EXPECT_EQ(Ask(audioMasterPinConnected, 0, 1), 0);
  EXPECT_EQ(Ask(audioMasterSizeWindow, 300, 200), 0);
  EXPECT_EQ(Ask(audioMasterWillReplaceOrAccumulate), 0);
  AEffect stranger{};
  EXPECT_EQ(Ask(audioMasterVendorSpecific, 0, 0, nullptr, 0, &stranger), 0);
  // Without any host the host's answers are 0.
  host_.reset();
  EXPECT_EQ(ActiveVstHost, nullptr);
  EXPECT_EQ(Ask(audioMasterGetTime), 0);
  EXPECT_EQ(Ask(audioMasterGetDirectory), 0);
  EXPECT_EQ(Ask(audioMasterVersion), HostVstVersion);  // host-wide, not the host's
}

// Effects ask unknown things from their process routine too: the answer is 0, counted, and
// no exception is thrown on the way (none may unwind through the effect's frames).
TEST_F(HostCallback, UnknownRequestsAreCountedWithoutThrowing) {
  for (VstInt32 opcode : {5, 49, 60, 200, 255}) {
    VstIntPtr answer = -1;
    EXPECT_NO_THROW(answer = HandleHostRequest(host_.get(), nullptr, opcode, 1, 2, nullptr, 3.5f))
        << opcode;
    EXPECT_EQ(answer, 0) << opcode;
  }
  EXPECT_EQ(host_->UnknownRequests(), 5u);
  EXPECT_EQ(Ask(60), 0);
  EXPECT_EQ(host_->UnknownRequests(), 6u);
}

// The effect gets its own SSE control word back from every request (flush-to-zero, another
// rounding mode, flags it raised); the x87 word is the host's.
TEST_F(HostCallback, TheEffectKeepsItsSseControlWord) {
  const uint32_t saved = platform::ReadMxcsr();
  const struct {
    VstInt32 opcode;
    uint32_t mxcsr;
  } cases[] = {
      {audioMasterVersion, 0x9FC0u},         {audioMasterGetTime, 0x1F80u | 0x6000u},
      {audioMasterGetSampleRate, 0x1F81u},   {60, 0x9F80u | 0x4000u},
      {audioMasterCanDo, 0x1F80u | 0x0020u}, {audioMasterUpdateDisplay, 0x8040u | 0x1F80u}};
  for (const auto& c : cases) {
    platform::WriteMxcsr(c.mxcsr);
    Ask(c.opcode, 0, 0, const_cast<char*>("sizeWindow"));
    const uint32_t after = platform::ReadMxcsr();
    const uint16_t x87 = platform::ReadX87ControlWord();
    platform::WriteMxcsr(saved);
    EXPECT_EQ(after, c.mxcsr) << c.opcode;
    EXPECT_EQ(x87 & platform::kX87ControlWordMask, HostFPUControlWord) << c.opcode;
  }
}

TEST_F(HostCallback, HostTextsAreCutToTheEffectsBuffer) {
  host_->VendorString = std::string(100, 'v');
  host_->ProductString = "Partiloom";
  char buffer[64 + 8];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(Ask(audioMasterGetVendorString, 0, 0, buffer), 0);
  EXPECT_EQ(std::string(buffer), std::string(63, 'v'));
  EXPECT_EQ(buffer[64], 'x');  // nothing beyond the 64 bytes
  EXPECT_EQ(Ask(audioMasterGetProductString, 0, 0, buffer), 0);
  EXPECT_STREQ(buffer, "Partiloom");
  EXPECT_EQ(Ask(audioMasterGetVendorString, 0, 0, nullptr), 0);
}

TEST_F(HostCallback, ThePlugInDirectoryComesFromTheRegistryOrTheProgram) {
  EXPECT_EQ(reinterpret_cast<const char*>(Ask(audioMasterGetDirectory)),
            platform::ExecutableDirectory());
  auto key = platform::RegistryKey::Open(platform::RegistryRoot::LocalMachine, "SOFTWARE\\Vst",
                                         platform::RegistryAccess::Full, true);
  if (!key) GTEST_SKIP() << "the local machine's keys are not writable here";
  key->WriteString("VstPluginsPath", "C:\\Effects");
  TVstHost second;
  EXPECT_EQ(reinterpret_cast<const char*>(Ask(audioMasterGetDirectory)),
            std::string("C:\\Effects"));
  platform::RegistryKey::DeleteTree(platform::RegistryRoot::LocalMachine, "SOFTWARE\\Vst");
}

TEST_F(HostCallback, EventsReachTheCallingItem) {
  TEffectProbe probe("params");
  TVstPlugIn* item = host_->VstPlugIns().Add();
  item->SetDLLFileName(probe.Path());
  item->SetActive(true);
  AEffect* effect = item->Effect();

  int automated = -1, io_changed = 0, begun = -1, sample_rate_events = 0;
  auto automate = [&](TObject* sender, VstInt32 index, VstIntPtr) {
    EXPECT_EQ(sender, item);
    automated = index;
  };
  auto io = [&](TObject*) { ++io_changed; };
  auto begin = [&](TObject*, VstInt32 index) { begun = index; };
  auto rate = [&](TObject*, float) { ++sample_rate_events; };
  auto pins = [](TObject*, VstInt32 pin, bool is_input) { return pin == 0 && is_input; };
  auto vendor = [](TAudioMasterOpcode, VstInt32 index, VstIntPtr, void*, float) -> VstIntPtr {
    return index * 2;
  };
  auto failing = [](TObject*) { throw std::runtime_error("handler failed"); };
  item->OnAudioMasterAutomate = TVstAutomateEvent::FromCallable(&automate);
  item->OnAudioMasterIOChanged = TNotifyEvent::FromCallable(&io);
  item->OnAudioMasterBeginEdit = TVstAutomationNotifyEvent::FromCallable(&begin);
  item->OnAudioMasterSetOutputSampleRate = TVstSampleRateChangedEvent::FromCallable(&rate);
  item->OnAudioMasterPinConnected = TVstPinConnectedEvent::FromCallable(&pins);
  item->OnVendorSpecific = TVendorSpecificEvent::FromCallable(&vendor);
  item->OnAudioMasterUpdateDisplay = TNotifyEvent::FromCallable(&failing);

  Ask(audioMasterAutomate, 2, 0, nullptr, 0.5f, effect);
  EXPECT_EQ(automated, 2);
  Ask(audioMasterBeginEdit, 1, 0, nullptr, 0, effect);
  EXPECT_EQ(begun, 1);
  EXPECT_EQ(Ask(audioMasterPinConnected, 0, 0, nullptr, 0, effect), 0);  // handler: connected
  EXPECT_EQ(Ask(audioMasterPinConnected, 1, 0, nullptr, 0, effect), 1);
  EXPECT_EQ(Ask(audioMasterVendorSpecific, 21, 0, nullptr, 0, effect), 42);
  EXPECT_EQ(Ask(audioMasterUpdateDisplay, 0, 0, nullptr, 0, effect), 0);  // the throw stays here
  Ask(audioMasterSetOutputSampleRate, 0, 0, nullptr, 48000.0f, effect);
  EXPECT_EQ(sample_rate_events, 1);
  EXPECT_EQ(HostSampleRate, 48000.0f);

  // The effect changed its counts; the item takes them on the report.
  effect->numOutputs = 6;
  Ask(audioMasterIOChanged, 0, 0, nullptr, 0, effect);
  EXPECT_EQ(io_changed, 1);
  effect->numOutputs = 2;
  item->ReplaceOrAccumulate = roa1Replace;
  item->CurrentProcessLevel = cpl2AudioThread;
  EXPECT_EQ(Ask(audioMasterWillReplaceOrAccumulate, 0, 0, nullptr, 0, effect), 1);
  EXPECT_EQ(Ask(audioMasterGetCurrentProcessLevel, 0, 0, nullptr, 0, effect), 2);

  // Idle calls go out only once the effect asked for them.
  probe.Clear();
  EXPECT_EQ(item->Idle(), 0);
  host_->ManageIdleAutomaticly = true;
  Ask(audioMasterNeedIdle, 0, 0, nullptr, 0, effect);
  EXPECT_EQ(probe.Entries(effIdle).size(), 1u);
  item->Idle();
  EXPECT_EQ(probe.Entries(effIdle).size(), 2u);
  Ask(audioMasterCurrentId, 0, 0, nullptr, 0, effect);
  EXPECT_EQ(probe.Entries(effIdentify).size(), 1u);
}

TEST_F(HostCallback, BlockSizeReachesEveryOpenEffect) {
  TEffectProbe probe("params");
  TVstPlugIn* open = host_->VstPlugIns().Add();
  open->SetDLLFileName(probe.Path());
  open->SetActive(true);
  host_->VstPlugIns().Add();  // holds no effect
  probe.Clear();
  host_->SetBlockSize(512);
  EXPECT_EQ(Ask(audioMasterGetBlockSize), 512);
  const auto sent = probe.Entries(effSetBlockSize);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].value, 512);
}

platform::FileDialogRequest g_request;
std::optional<std::string> Choose(const platform::FileDialogRequest& request) {
  g_request = request;
  return std::string("C:\\presets\\chosen.fxp");
}
std::optional<std::string> Cancel(const platform::FileDialogRequest& request) {
  g_request = request;
  return std::nullopt;
}

VstFileSelect MakeSelect(VstInt32 command, VstFileType* types, VstInt32 count) {
  VstFileSelect select{};
  select.command = command;
  select.fileTypes = types;
  select.nbFileTypes = count;
  std::strcpy(select.title, "Load preset");
  return select;
}

TEST_F(HostCallback, FileSelectorOpensOneDialogUntilTheEffectClosesIt) {
  platform::SetFileDialogHandler(&Choose);
  VstFileType types[2] = {};
  std::strcpy(types[0].name, "Presets");
  std::strcpy(types[0].dosType, "fxp");
  std::strcpy(types[1].name, "Banks");
  std::strcpy(types[1].dosType, "fxb");
  char initial[] = "C:\\presets";
  VstFileSelect select = MakeSelect(kVstFileLoad, types, 2);
  select.initialPath = initial;

  EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, &select), 1);
  EXPECT_FALSE(g_request.save);
  EXPECT_EQ(g_request.title, "Load preset");
  EXPECT_EQ(g_request.initial_directory, "C:\\presets");
  EXPECT_EQ(g_request.filter, "Presets (*.fxp)|*.fxp|Banks (*.fxb)|*.fxb|");
  ASSERT_NE(select.returnPath, nullptr);
  EXPECT_STREQ(select.returnPath, "C:\\presets\\chosen.fxp");
  EXPECT_EQ(select.sizeReturnPath, 21);
  ASSERT_TRUE(FileSelectorDialog);
  EXPECT_EQ(FileSelectorDialog->Name, "HostDialog");

  VstFileSelect second = MakeSelect(kVstFileSave, nullptr, 0);
  EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, &second), 0);  // one at a time
  EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, nullptr), 0);

  VstFileSelect other_title = MakeSelect(kVstFileLoad, nullptr, 0);
  std::strcpy(other_title.title, "Something else");
  Ask(audioMasterCloseFileSelector, 0, 0, &other_title);
  EXPECT_TRUE(FileSelectorDialog);
  Ask(audioMasterCloseFileSelector, 0, 0, &select);
  EXPECT_FALSE(FileSelectorDialog);
}

TEST_F(HostCallback, ACancelledOrUnknownFileSelectorIsReleasedAtOnce) {
  platform::SetFileDialogHandler(&Cancel);
  VstFileSelect save = MakeSelect(kVstFileSave, nullptr, 0);
  EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, &save), 1);
  EXPECT_TRUE(g_request.save);
  EXPECT_EQ(save.returnPath, nullptr);
  EXPECT_FALSE(FileSelectorDialog);
  VstFileSelect folder = MakeSelect(3, nullptr, 0);
  EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, &folder), 1);
  EXPECT_FALSE(FileSelectorDialog);
}

std::vector<std::string> g_messages;
void RememberMessage(const std::string& text) {
  g_messages.push_back(text);
}

TEST_F(HostCallback, WindowRequestsAreKeptByTheHost) {
  platform::SetMessageBoxHandler(&RememberMessage);
  VstWindow request{};
  std::memset(request.title, 'T', sizeof request.title);  // no NUL: cut at the field
  request.xPos = 10;
  request.yPos = 20;
  request.width = 300;
  request.height = 200;
  request.style = 1;
  EXPECT_EQ(Ask(audioMasterOpenWindow, 0, 0, &request), 0);
  EXPECT_EQ(Ask(audioMasterOpenWindow, 0, 0, nullptr), 0);
  ASSERT_EQ(HostWindowList.size(), 1u);
  EXPECT_EQ(HostWindowList[0].Caption, std::string(128, 'T'));
  EXPECT_EQ(HostWindowList[0].Left, 10);
  EXPECT_EQ(HostWindowList[0].Height, 200);
  EXPECT_EQ(HostWindowList[0].Border, TVstRequestedWindow::bsNone);
  ASSERT_EQ(g_messages.size(), 1u);
  EXPECT_EQ(g_messages[0].rfind("Please contact me if this happens: ", 0), 0u);
  platform::SetMessageBoxHandler(nullptr);
}

int g_dialogs_shown = 0;
std::optional<std::string> CountAndChoose(const platform::FileDialogRequest&) {
  ++g_dialogs_shown;
  return std::string("C:\\chosen.fxp");
}

// Window work asked for from another thread (an effect's own or the audio thread) is
// refused there: no dialog, no window, no message box, no idle walk, no resize; the answers
// are those of a refusal.
TEST_F(HostCallback, WindowWorkIsRefusedOnOtherThreads) {
  TEffectProbe probe("router");
  TVstPlugIn* item = host_->VstPlugIns().Add();
  item->SetDLLFileName(probe.Path());
  item->SetActive(true);
  AEffect* const effect = item->Effect();
  host_->ManageIdleAutomaticly = true;
  g_dialogs_shown = 0;
  platform::SetFileDialogHandler(&CountAndChoose);
  platform::SetMessageBoxHandler(&RememberMessage);
  g_messages.clear();
  VstFileSelect select = MakeSelect(kVstFileLoad, nullptr, 0);
  VstWindow window{};
  probe.Clear();
  std::thread other([&] {
    EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, &select, 0, effect), 0);
    EXPECT_EQ(Ask(audioMasterOpenWindow, 0, 0, &window, 0, effect), 0);
    EXPECT_EQ(Ask(audioMasterIdle, 0, 0, nullptr, 0, effect), 0);
    EXPECT_EQ(Ask(audioMasterNeedIdle, 0, 0, nullptr, 0, effect), 0);
    EXPECT_EQ(Ask(audioMasterCurrentId, 0, 0, nullptr, 0, effect), 0);
    EXPECT_EQ(Ask(audioMasterGetBlockSize, 0, 0, nullptr, 0, effect), 2048);  // not window work
  });
  other.join();
  EXPECT_EQ(g_dialogs_shown, 0);
  EXPECT_FALSE(FileSelectorDialog);
  EXPECT_TRUE(HostWindowList.empty());
  EXPECT_TRUE(g_messages.empty());
  EXPECT_TRUE(probe.Requests().empty());  // neither idle nor identify reached the effect
  EXPECT_EQ(Ask(audioMasterOpenFileSelector, 0, 0, &select, 0, effect), 1);  // here it is done
  EXPECT_EQ(g_dialogs_shown, 1);
  platform::SetMessageBoxHandler(nullptr);
}

// Effects calling from several threads while the host's thread works with the same state:
// nothing is freed under another thread's feet (the checking build watches).
TEST_F(HostCallback, ConcurrentWindowRequestsLeaveTheStateWhole) {
  platform::SetFileDialogHandler(&Cancel);
  platform::SetMessageBoxHandler(&RememberMessage);
  TEffectProbe probe("router");
  TVstPlugIn* item = host_->VstPlugIns().Add();
  item->SetDLLFileName(probe.Path());
  item->SetActive(true);
  AEffect* const effect = item->Effect();
  host_->ManageIdleAutomaticly = true;
  std::atomic<bool> stop{false};
  auto hammer = [&] {
    VstFileSelect select = MakeSelect(kVstFileLoad, nullptr, 0);
    VstWindow window{};
    while (!stop.load()) {
      select.returnPath = nullptr;
      Ask(audioMasterOpenFileSelector, 0, 0, &select, 0, effect);
      Ask(audioMasterCloseFileSelector, 0, 0, &select, 0, effect);
      Ask(audioMasterOpenWindow, 0, 0, &window, 0, effect);
      Ask(audioMasterIdle, 0, 0, nullptr, 0, effect);
    }
  };
  std::thread first(hammer), second(hammer);
  for (int i = 0; i < 300; ++i) {
    VstFileSelect select = MakeSelect(kVstFileSave, nullptr, 0);
    Ask(audioMasterOpenFileSelector, 0, 0, &select, 0, effect);
    Ask(audioMasterIdle, 0, 0, nullptr, 0, effect);
    if (i % 50 == 0) host_->VstPlugIns().Add();
  }
  stop = true;
  first.join();
  second.join();
  EXPECT_TRUE(HostWindowList.empty());
  platform::SetMessageBoxHandler(nullptr);
}

// The editor asks for idle time from inside its idle call; with automatic idle handling the
// host walks the editors again, but not without end.
TEST_F(HostCallback, IdleRequestsFromInsideTheEditorsIdleNestOnlyALittle) {
  TEffectProbe probe("router");
  TVstPlugIn* item = host_->VstPlugIns().Add();
  item->SetDLLFileName(probe.Path());
  item->SetActive(true);
  TEditorPanel panel;
  item->ShowEdit(*panel.panel);
  host_->ManageIdleAutomaticly = true;
  probe.Clear();
  item->EditIdle();
  // The outer call, then two nested walks of (the caller, every item): 1 + 2 + 4.
  EXPECT_EQ(probe.Entries(effEditIdle).size(), 7u);
  item->CloseEdit();
}

TEST(TimeInformation, WritersNotifyOnlyOnChangeAndCopyWhole) {
  TVstHost host;
  TVstTimeInformation& info = host.VstTimeInfo();
  int changes = 0;
  auto changed = [&changes](TObject*) { ++changes; };
  info.FOnChanged = TNotifyEvent::FromCallable(&changed);
  info.SetPpqPos(1.5);
  info.SetPpqPos(1.5);
  info.SetTimeSigNumerator(3);
  info.SetTimeSigNumerator(3);
  info.SetFlags(TVstTimeInfoFlags{vtiTransportPlaying});
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(info.GetDouble(8), 0.0);
  EXPECT_EQ(info.GetInteger(-1), 0);

  TVstTimeInformation copy;
  int copy_changes = 0;
  auto copy_changed = [&copy_changes](TObject*) { ++copy_changes; };
  copy.FOnChanged = TNotifyEvent::FromCallable(&copy_changed);
  info.AssignTo(&copy);
  EXPECT_EQ(copy.PpqPos(), 1.5);
  EXPECT_EQ(copy.TimeSigNumerator(), 3);
  EXPECT_TRUE(copy.Flags().Contains(vtiTransportPlaying));
  EXPECT_EQ(copy_changes, 1);
  TObject other;
  EXPECT_THROW(info.AssignTo(&other), EVstError);
}

TEST(VstHostComponent, CreationAndDestructionEvents) {
  int created = 0;
  auto on_create = [&created](TObject*) { ++created; };
  auto host = std::make_unique<TVstHost>(nullptr, TNotifyEvent::FromCallable(&on_create));
  EXPECT_EQ(created, 1);
  EXPECT_EQ(ActiveVstHost, host.get());
  EXPECT_EQ(host->BlockSize(), 2048);
  EXPECT_TRUE(host->CanDos().Contains(hcdSupplyIdle));
  EXPECT_FALSE(host->CanDos().Contains(hcdSupportShell));
  int destroyed = 0;
  auto on_destroy = [&destroyed](TObject*) { ++destroyed; };
  host->OnDestroy = TNotifyEvent::FromCallable(&on_destroy);
  host->VstPlugIns().Add()->SetDLLFileName(EffectPath("params"));
  host->Items(0)->SetActive(true);
  host->Items(0)->SetDisplayName("Copied");

  // Writing the collection copies it item by item: the copies load and open the library.
  TVstHost other;
  other.SetVstPlugIns(host->VstPlugIns());
  ASSERT_EQ(other.VstPlugIns().Count(), 1);
  EXPECT_EQ(other.Items(0)->GetDisplayName(), "Copied");
  EXPECT_TRUE(other.Items(0)->Active());
  EXPECT_EQ(other.Items(0)->uID(), "PlPr");
  host.reset();
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(ActiveVstHost, &other);  // the host created last answers
}

}  // namespace
