#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/fault_log.h"
#include "platform/fpu.h"
#include "platform/system.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

using ::testing::ElementsAre;

class EffectLifeCycle : public ::testing::Test {
 protected:
  TVstPlugIn& NewItem(const std::string& path) {
    TVstPlugIn* item = host_.VstPlugIns().Add();
    item->SetDLLFileName(path);
    return *item;
  }

  std::string ActivateError(TVstPlugIn& item) {
    try {
      item.SetActive(true);
    } catch (const EVstError& error) {
      return error.what();
    }
    return "";
  }

  TVstHost host_;
};

TEST_F(EffectLifeCycle, OpeningSendsTheStartSequenceOnce) {
  TEffectProbe probe("params");
  TVstPlugIn& item = NewItem(probe.Path());
  int after_load = 0;
  auto loaded = [&](TObject* sender) {
    EXPECT_EQ(sender, &item);
    EXPECT_NE(item.Effect(), nullptr);
    EXPECT_TRUE(probe.Requests().empty());  // before anything is sent
    ++after_load;
  };
  item.OnAfterLoad = TNotifyEvent::FromCallable(&loaded);
  item.SetActive(true);
  item.SetActive(true);
  EXPECT_EQ(after_load, 1);
  // Both entry names are exported: "main" is taken.
  EXPECT_EQ(probe.Entries(kLogEnteredMain).size(), 1u);
  EXPECT_TRUE(probe.Entries(kLogEnteredPluginMain).empty());
  EXPECT_THAT(probe.Requests(),
              ElementsAre(effOpen, effCanDo, effSetSampleRate, effSetBlockSize, effSetBypass,
                          effGetVstVersion, effGetPlugCategory, effMainsChanged));
  const auto rate = probe.Entries(effSetSampleRate);
  EXPECT_EQ(rate[0].opt, 44100.0f);
  EXPECT_EQ(probe.Entries(effSetBlockSize)[0].value, 2048);
  EXPECT_EQ(probe.Entries(effSetBypass)[0].value, 0);
  EXPECT_EQ(probe.Entries(effMainsChanged)[0].value, 1);
  EXPECT_TRUE(item.Active());
}

TEST_F(EffectLifeCycle, IdentityNamesAndCounts) {
  TEffectProbe probe("params");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  EXPECT_EQ(item.uID(), "PlPr");
  EXPECT_EQ(item.Version(), 7);
  EXPECT_EQ(item.PluginVstVersion(), 2400);
  EXPECT_EQ(item.PlugCategory(), vpcEffect);
  EXPECT_EQ(item.numInputs(), 2);
  EXPECT_EQ(item.numOutputs(), 2);
  EXPECT_EQ(item.numPrograms(), 1);
  EXPECT_EQ(item.numParams(), 3);
  EXPECT_EQ(item.InitialDelay(), 64);
  EXPECT_TRUE(item.EffectOptions().Contains(effFlagsCanReplacing));
  EXPECT_EQ(item.GetParamName(0), "Gain");
  EXPECT_EQ(item.GetParamLabel(1), "Hz");
  EXPECT_EQ(item.GetParamDisplay(0), "50.00");
  EXPECT_EQ(item.VendorString(), "Partiloom Tests");
  EXPECT_EQ(item.ProductString(), "Test Effect");
  EXPECT_EQ(item.VendorVersion(), 1234);
  // The effect writes 300 characters; no text request yields more than 255.
  EXPECT_EQ(item.GetEffectName(), std::string(255, 'E'));
  item.SetProgramName("Bright");
  EXPECT_EQ(item.ProgramName(), "Bright");
  EXPECT_EQ(item.ProgramNr(), 0);
  EXPECT_EQ(item.CanDo("bypass"), 1);
}

// The parameter and program texts are taken whatever the effect answers: 0 as the reference
// base class does ("params"), or 1 as many other effects do ("router").
TEST_F(EffectLifeCycle, TextsComeThroughWhateverTheEffectAnswers) {
  for (const char* kind : {"params", "router"}) {
    SCOPED_TRACE(kind);
    TEffectProbe probe(kind);
    TVstPlugIn& item = NewItem(probe.Path());
    item.SetActive(true);
    const struct {
      VstInt32 index;
      const char* name;
      const char* label;
      const char* display;
    } expected[] = {{0, "Gain", "dB", "50.00"},
                    {1, "Freq", "Hz", "25.00"},
                    {2, "Mix", "", "100.00"},
                    {3, "", "", ""}};
    for (const auto& row : expected) {
      EXPECT_EQ(item.GetParamName(row.index), row.name) << row.index;
      EXPECT_EQ(item.GetParamLabel(row.index), row.label) << row.index;
      EXPECT_EQ(item.GetParamDisplay(row.index), row.display) << row.index;
    }
    item.SetProgramName("Night");
    EXPECT_EQ(item.ProgramName(), "Night");
    item.Unload();
  }
}

TEST_F(EffectLifeCycle, ClosingAndReopeningReloadsTheLibrary) {
  TEffectProbe probe("params");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  probe.Clear();
  item.SetActive(false);
  EXPECT_THAT(probe.Requests(), ElementsAre(effClose));  // no effMainsChanged 0
  EXPECT_FALSE(item.Active());
  EXPECT_EQ(item.Effect(), nullptr);
  EXPECT_EQ(item.numInputs(), 0);
  EXPECT_EQ(item.numParams(), 0);
  EXPECT_EQ(item.Version(), 0);

  probe.Clear();
  item.SetActive(true);
  ASSERT_GE(probe.Log().count, 2);
  EXPECT_EQ(probe.Log().entries[0].opcode, kLogEnteredMain);  // the entry runs again first
  EXPECT_EQ(probe.Requests().front(), effOpen);
  EXPECT_EQ(probe.Entries(effOpen).size(), 1u);
}

TEST_F(EffectLifeCycle, UnloadForgetsEverything) {
  TEffectProbe probe("params");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  item.Unload();
  EXPECT_FALSE(item.Active());
  EXPECT_EQ(item.numInputs(), -1);
  EXPECT_EQ(item.numOutputs(), -1);
  EXPECT_EQ(item.numPrograms(), -1);
  EXPECT_EQ(item.Version(), -1);
  EXPECT_EQ(item.numParams(), 0);
  EXPECT_EQ(item.InitialDelay(), 0);
  EXPECT_TRUE(item.EffectOptions().Empty());
  EXPECT_EQ(item.uID(), "");

  // Not active: reads answer their defaults and nothing is sent.
  probe.Clear();
  EXPECT_EQ(item.ProgramNr(), -1);
  item.SetProgramNr(3);
  EXPECT_EQ(item.ProgramName(), "");
  EXPECT_EQ(item.VendorVersion(), -1);
  EXPECT_EQ(item.GetVstVersion(), -1);
  EXPECT_EQ(item.VstDispatch(effGetVendorVersion), 0);
  EXPECT_EQ(probe.Log().count, 0);
}

TEST_F(EffectLifeCycle, EntryRoutinesByNameAndExtension) {
  TEffectProbe main_only("main_only");
  TVstPlugIn& first = NewItem(main_only.Path());
  first.SetActive(true);
  EXPECT_EQ(main_only.Entries(kLogEnteredMain).size(), 1u);

  TEffectProbe plugin_main("plugin_main_only");
  TVstPlugIn& second = NewItem(plugin_main.Path());
  second.SetActive(true);
  EXPECT_EQ(plugin_main.Entries(kLogEnteredPluginMain).size(), 1u);

  // A ".VST3" library is asked for its factory first, then for "VSTPluginMain".
  const std::filesystem::path copy =
      std::filesystem::temp_directory_path() /
      ("partiloom_vst_test_" + std::to_string(platform::TickCount()) + ".VST3");
  std::filesystem::copy_file(EffectPath("params"), copy);
  {
    TVstHost host;
    TVstPlugIn* item = host.VstPlugIns().Add();
    item->SetDLLFileName(copy.string());
    item->SetActive(true);
    EXPECT_EQ(item->uID(), "PlPr");
  }
  std::filesystem::remove(copy);
}

TEST_F(EffectLifeCycle, LibrariesThatAreNoEffectsAreRefusedAndLetGo) {
  for (const char* kind : {"no_entry", "null_entry"}) {
    TVstPlugIn& item = NewItem(EffectPath(kind));
    EXPECT_EQ(ActivateError(item), "This is not a valid Vst Plugin!") << kind;
    EXPECT_FALSE(item.Active());
    EXPECT_EQ(item.numInputs(), -1);
  }
  TVstPlugIn& missing = NewItem(EffectPath("params") + ".missing");
  EXPECT_EQ(ActivateError(missing), "This is not a valid Vst Plugin!");
  TVstPlugIn& not_a_library = NewItem(platform::ExecutableDirectory());
  EXPECT_EQ(ActivateError(not_a_library), "This is not a valid Vst Plugin!");
}

TEST_F(EffectLifeCycle, ARecordWithoutMagicNeverGetsARequest) {
  TEffectProbe probe("bad_magic");
  TVstPlugIn& item = NewItem(probe.Path());
  EXPECT_EQ(ActivateError(item), "There is no magic in it... failed!");
  EXPECT_FALSE(item.Active());
  EXPECT_EQ(item.Effect(), nullptr);
  item.SetActive(false);
  item.Unload();
  EXPECT_TRUE(probe.Requests().empty());
  EXPECT_EQ(probe.Entries(kLogEnteredMain).size(), 1u);
}

TEST_F(EffectLifeCycle, CallbacksDuringTheEntryRoutineAreAnsweredByTheHost) {
  TEffectProbe probe("params");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  const auto answers = probe.Entries(kLogHostAnswer);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].index, audioMasterVersion);
  EXPECT_EQ(answers[0].value, 2300);
  EXPECT_EQ(answers[1].index, audioMasterGetSampleRate);
  EXPECT_EQ(answers[1].value, 44100);
  EXPECT_EQ(answers[2].index, audioMasterIOChanged);
  EXPECT_EQ(answers[2].value, 0);
}

TEST_F(EffectLifeCycle, AShellListsItsNamesBeforeItOpens) {
  TEffectProbe probe("shell");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  const auto requests = probe.Requests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(requests[0], effShellGetNextPlugin);
  EXPECT_EQ(requests[1], effShellGetNextPlugin);
  EXPECT_EQ(requests[2], effShellGetNextPlugin);  // the third answers 0
  EXPECT_EQ(requests[3], effOpen);
  EXPECT_EQ(item.PlugCategory(), vpcShell);
  EXPECT_EQ(item.uID(), std::string(4, '\0'));
}

TEST_F(EffectLifeCycle, RoutingTwoInputsToEightOutputsSampleBySample) {
  TEffectProbe probe("router");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  ASSERT_EQ(item.numOutputs(), 8);
  constexpr int kFrames = 64;
  TSingleChannelArrays inputs(2, kFrames), outputs(8, kFrames);
  for (int i = 0; i < kFrames; ++i) {
    inputs[0][i] = 0.01f * static_cast<float>(i);
    inputs[1][i] = -0.5f + 0.003f * static_cast<float>(i);
  }
  EXPECT_TRUE(item.ProcessReplacing(inputs, outputs, kFrames));
  for (int k = 0; k < 8; ++k)
    for (int i = 0; i < kFrames; ++i)
      ASSERT_EQ(outputs[k][i], static_cast<float>(k + 1) * inputs[k % 2][i]) << k << " " << i;
  // The effect asked for the time from inside its process routine.
  const auto answers = probe.Entries(kLogHostAnswer);
  EXPECT_EQ(answers.back().index, audioMasterGetTime);
  EXPECT_EQ(answers.back().value, reinterpret_cast<intptr_t>(host_.VstTimeInfo().Record()));

  // The accumulating routine adds.
  EXPECT_TRUE(item.Process(inputs, outputs, kFrames));
  EXPECT_EQ(outputs[7][10], 2 * 8 * inputs[1][10]);

  TDoubleChannelArrays double_in(2, kFrames), double_out(8, kFrames);
  double_in[1][5] = 0.25;
  EXPECT_TRUE(item.ProcessDoubleReplacing(double_in, double_out, kFrames));
  EXPECT_EQ(double_out[3][5], 1.0);
}

TEST_F(EffectLifeCycle, ArraysTooSmallForTheEffectAreRefused) {
  TEffectProbe probe("router");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  TSingleChannelArrays inputs(2, 32), outputs(4, 32), short_outputs(8, 16), outputs8(8, 32);
  probe.Clear();
  EXPECT_FALSE(item.ProcessReplacing(inputs, outputs, 32));        // too few channels
  EXPECT_FALSE(item.ProcessReplacing(inputs, short_outputs, 32));  // too short
  EXPECT_FALSE(item.ProcessReplacing(inputs, outputs8, -1));
  EXPECT_TRUE(probe.Entries(kLogProcessReplacing).empty());
  EXPECT_TRUE(item.ProcessReplacing(inputs, outputs8, 32));

  TVstPlugIn& unloaded = NewItem(probe.Path());
  EXPECT_FALSE(unloaded.ProcessReplacing(inputs, outputs8, 32));
  EXPECT_EQ(unloaded.GetParameter(0), 0.0f);
}

TEST_F(EffectLifeCycle, FaultsInsideTheEffectAreContained) {
  TEffectProbe probe("faulty");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);

  probe.Arm(kArmDispatcherFault);
  platform::WriteMxcsr(0x9FC0);  // as if the effect left flush-to-zero on
  EXPECT_EQ(item.VstDispatch(effGetVendorVersion), 0);
  EXPECT_EQ(item.VendorVersion(), 1234);  // later requests work
  EXPECT_EQ(platform::ReadMxcsr(), platform::kHostMxcsr);

  probe.Arm(kArmProcessFault);
  TSingleChannelArrays inputs(2, 16), outputs(2, 16);
  inputs[0][3] = 1.0f;
  outputs[1][2] = 5.0f;
  EXPECT_FALSE(item.ProcessReplacing(inputs, outputs, 16));
  EXPECT_EQ(outputs[1][2], 0.0f);  // silence, not half a block
  probe.Arm(0);
  EXPECT_TRUE(item.ProcessReplacing(inputs, outputs, 16));
  EXPECT_EQ(outputs[0][3], 1.0f);

  probe.Arm(kArmSetChunkFault);
  const uint8_t data[4] = {1, 2, 3, 4};
  item.SetChunk(data, 4, true);
  probe.Arm(0);
  item.SetActive(false);
  EXPECT_EQ(probe.Entries(effClose).size(), 1u);

  // Each contained fault is recorded under the library's name and the call it came from.
  const platform::FaultSourceId source = item.FaultSource();
  EXPECT_NE(source, 0);
  using platform::FaultKind;
  EXPECT_EQ(platform::FaultCount(FaultKind::EffectFault, source, "effGetVendorVersion"), 1u);
  EXPECT_EQ(platform::FaultCount(FaultKind::EffectFault, source, "processReplacing"), 1u);
  EXPECT_EQ(platform::FaultCount(FaultKind::EffectFault, source, "effSetChunk"), 1u);
}

// An effect that changes the floating-point control words in a call on the audio path
// leaves nothing of it behind: the caller's words are back (not the dispatcher's), and what
// the host works out next rounds to nearest and keeps denormals.
TEST_F(EffectLifeCycle, TheCallersFloatingPointControlIsBackAfterAudioPathCalls) {
  TEffectProbe probe("router");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  TSingleChannelArrays inputs(2, 16), outputs(8, 16);
  const struct {
    const char* call;
    std::function<void()> run;
  } cases[] = {{"processReplacing", [&] { item.ProcessReplacing(inputs, outputs, 16); }},
               {"setParameter", [&] { item.SetParameter(0, 0.5f); }},
               {"getParameter", [&] { item.GetParameter(1); }}};
  const uint16_t host_x87 = platform::ReadX87ControlWord();
  const uint32_t host_mxcsr = platform::ReadMxcsr();
  // The audio thread's words: 53-bit precision, and an exception flag raised before.
  const uint16_t audio_x87 = 0x027F;
  const uint32_t audio_mxcsr = platform::kHostMxcsr | 0x20;
  probe.Arm(kArmFloatingPointChange);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.call);
    platform::WriteX87ControlWord(audio_x87);
    platform::WriteMxcsr(audio_mxcsr);
    c.run();
    const uint16_t x87 = platform::ReadX87ControlWord();
    const uint32_t mxcsr = platform::ReadMxcsr();
    volatile float denormal = 1e-39f;
    volatile double one_and_three_quarters = 1.75;
    const float halved = denormal * 0.5f;
    const long rounded = std::lrint(one_and_three_quarters);
    // Back to the test's own words before anything is checked.
    platform::WriteX87ControlWord(host_x87);
    platform::WriteMxcsr(host_mxcsr);
    EXPECT_EQ(x87 & platform::kX87ControlWordMask, audio_x87 & platform::kX87ControlWordMask);
    EXPECT_EQ(mxcsr & ~0x3Fu, audio_mxcsr & ~0x3Fu);  // exception flags aside
    EXPECT_NE(halved, 0.0f);
    EXPECT_EQ(rounded, 2);
  }
  probe.Arm(0);
}

// New counts of an effect are adopted on the host's thread: from a report made inside the
// process call when the host's idle work comes, with a program change at once. The owner's
// handler resizes its arrays; the audio flows again with the new counts.
TEST_F(EffectLifeCycle, NewCountsAreAdoptedOnTheHostsThread) {
  TEffectProbe probe("io");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  TSingleChannelArrays inputs, outputs;
  int adoptions = 0;
  auto resize = [&](TObject* sender) {
    EXPECT_EQ(sender, &item);
    ++adoptions;
    inputs.SetSize(static_cast<size_t>(item.AdoptedInputs()), 32);
    outputs.SetSize(static_cast<size_t>(item.AdoptedOutputs()), 32);
    for (size_t ch = 0; ch < inputs.ChannelCount(); ++ch)
      std::fill_n(inputs[ch], 32, ch == 0 ? 0.5f : -0.25f);
  };
  item.OnIOCountsAdopted = TNotifyEvent::FromCallable(&resize);
  resize(&item);
  adoptions = 0;
  const auto outputs_are = [&](std::vector<float> levels) {
    if (!item.ProcessReplacing(inputs, outputs, 32)) return false;
    if (outputs.ChannelCount() != levels.size()) return false;
    for (size_t k = 0; k < levels.size(); ++k)
      if (outputs[k][31] != levels[k]) return false;
    return true;
  };
  EXPECT_EQ(item.AdoptedOutputs(), 2);
  EXPECT_TRUE(outputs_are({0.5f, -0.5f}));
  EXPECT_FALSE(item.AdoptIOChanges());

  probe.Arm(kArmIOChangeInProcess);
  EXPECT_TRUE(outputs_are({0.5f, -0.5f}));  // reports 2 in 6 out at its end
  EXPECT_FALSE(item.ProcessReplacing(inputs, outputs, 32));
  EXPECT_EQ(adoptions, 0);  // nothing is resized on the calling thread
  EXPECT_TRUE(item.AdoptIOChanges());
  EXPECT_EQ(adoptions, 1);
  EXPECT_EQ(item.AdoptedInputs(), 2);
  EXPECT_EQ(item.AdoptedOutputs(), 6);
  EXPECT_TRUE(outputs_are({0.5f, -0.5f, 1.5f, -1.0f, 2.5f, -1.5f}));

  item.SetProgramNr(2);  // 1 in 1 out
  EXPECT_EQ(adoptions, 2);
  EXPECT_TRUE(outputs_are({0.5f}));
  item.SetProgramNr(2);
  EXPECT_EQ(adoptions, 2);

  // Counts beyond reason are refused, once, and the adopted ones stay.
  const uint32_t refused = item.AnswerRefusals().Count;
  item.Effect()->numOutputs = INT32_MAX;
  EXPECT_FALSE(item.AdoptIOChanges());
  EXPECT_FALSE(item.AdoptIOChanges());
  EXPECT_EQ(item.AnswerRefusals().Count, refused + 1);
  EXPECT_EQ(item.AnswerRefusals().Last, "1 inputs and 2147483647 outputs");
  EXPECT_EQ(item.AdoptedOutputs(), 1);
  item.Effect()->numOutputs = 1;
}

// Counts beyond reason at the opening are refused as later ones are: none are adopted, so
// that no owner sizes arrays by them, and nothing is processed until counts that fit come.
TEST_F(EffectLifeCycle, CountsBeyondReasonAtTheOpeningAreRefused) {
  TEffectProbe probe("io");
  probe.Arm(kArmHugeCountsAtOpen);
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  probe.Arm(0);
  ASSERT_TRUE(item.Active());
  EXPECT_EQ(item.AdoptedInputs(), 0);
  EXPECT_EQ(item.AdoptedOutputs(), 0);
  EXPECT_EQ(item.AnswerRefusals().Count, 1u);
  EXPECT_EQ(item.AnswerRefusals().Last, "2 inputs and 1000000 outputs");
  TSingleChannelArrays none;
  EXPECT_FALSE(item.ProcessReplacing(none, none, 32));
  EXPECT_FALSE(item.AdoptIOChanges());  // refused once only
  EXPECT_EQ(item.AnswerRefusals().Count, 1u);
  item.SetProgramNr(1);  // 2 in 6 out
  EXPECT_EQ(item.AdoptedInputs(), 2);
  EXPECT_EQ(item.AdoptedOutputs(), 6);
}

// While the host's thread adopts counts again and again, an audio thread that holds its
// arrays for each block never meets them being resized.
TEST_F(EffectLifeCycle, AdoptionWaitsForTheAudioBlockInProgress) {
  TEffectProbe probe("io");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  TSingleChannelArrays inputs(2, 64), outputs(2, 64);
  auto resize = [&](TObject*) {
    inputs.SetSize(static_cast<size_t>(item.AdoptedInputs()), 64);
    outputs.SetSize(static_cast<size_t>(item.AdoptedOutputs()), 64);
  };
  item.OnIOCountsAdopted = TNotifyEvent::FromCallable(&resize);
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0}, torn{0};
  std::thread audio([&] {
    while (!stop.load()) {
      const TVstPlugIn::TAudioBlock block(item);
      if (!block) continue;
      const size_t channels = outputs.ChannelCount();
      item.ProcessReplacing(inputs, outputs, 64);
      // Work on the arrays long enough for a resize in the middle to be met.
      for (int pass = 0; pass < 50; ++pass)
        for (size_t ch = 0; ch < std::min(channels, outputs.ChannelCount()); ++ch)
          for (size_t i = 0; i < 64; ++i) outputs[ch][i] += inputs[0][i];
      if (outputs.ChannelCount() != channels) ++torn;
      ++blocks;
    }
  });
  // Each change meets blocks before and after it.
  for (int i = 0; i < 200; ++i) {
    const int seen = blocks.load();
    while (blocks.load() < seen + 2) std::this_thread::yield();
    item.SetProgramNr(i % 3);
  }
  stop = true;
  audio.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(outputs.ChannelCount(), static_cast<size_t>(item.AdoptedOutputs()));
}

TEST_F(EffectLifeCycle, AChunkIsCopiedBeforeTheNextRequest) {
  TEffectProbe probe("chunk");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  const std::vector<uint8_t> chunk = item.GetChunk(true);
  ASSERT_EQ(chunk.size(), 100u);
  item.Identify();  // the effect overwrites what it handed out
  for (size_t i = 0; i < chunk.size(); ++i) ASSERT_EQ(chunk[i], static_cast<uint8_t>(i));
  // The bank chunk carries the effect's mark in front.
  const std::vector<uint8_t> bank = item.GetChunk(false);
  ASSERT_EQ(bank.size(), 101u);
  EXPECT_EQ(bank[0], 'B');
}

TEST_F(EffectLifeCycle, AssignToOpensTheSameLibraryAndHandsOverTheBank) {
  TEffectProbe probe("chunk");
  TVstPlugIn& source = NewItem(probe.Path());
  source.SetDisplayName("Source");
  source.AutomationState = as2Read;
  source.SetActive(true);
  probe.Clear();
  TVstPlugIn& target = *host_.VstPlugIns().Add();
  source.AssignTo(&target);
  EXPECT_TRUE(target.Active());
  EXPECT_EQ(target.GetDisplayName(), "Source");
  EXPECT_EQ(target.AutomationState, as2Read);
  EXPECT_EQ(target.DLLFileName(), probe.Path());
  const auto chunks = probe.Entries(effSetChunk);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].index, 0);  // a bank chunk
  EXPECT_EQ(chunks[0].value, 101);
  // The effect reads one byte beyond the chunk: it is there, and it is a terminating zero.
  const auto ends = probe.Entries(kLogBankChunkEnd);
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].value, 0);
  TObject other;
  EXPECT_THROW(source.AssignTo(&other), EVstError);
}

TEST_F(EffectLifeCycle, ParameterIndicesOutsideTheEffectNeverReachIt) {
  TEffectProbe probe("params");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  item.SetParameter(1, 0.75f);
  item.SetParameter(3, 0.5f);
  item.SetParameter(-1, 0.5f);
  EXPECT_EQ(item.GetParameter(1), 0.75f);
  EXPECT_EQ(item.GetParameter(3), 0.0f);
  const auto writes = probe.Entries(kLogSetParameter);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].index, 1);
}

TEST_F(EffectLifeCycle, CallbacksFromAnotherThreadWhileItemsAreAdded) {
  TEffectProbe probe("router");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  AEffect* const effect = item.Effect();
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::thread audio([&] {
    TSingleChannelArrays inputs(2, 32), outputs(8, 32);
    while (!stop.load()) {
      item.ProcessReplacing(inputs, outputs, 32);
      if (AudioMasterCallback(effect, audioMasterGetBlockSize, 0, 0, nullptr, 0) != 2048) ++wrong;
      AudioMasterCallback(effect, audioMasterIOChanged, 0, 0, nullptr, 0);
    }
  });
  // Items come and go on this thread while the other one keeps calling back.
  for (int i = 0; i < 200; ++i) {
    TVstPlugIn* extra = host_.VstPlugIns().Add();
    extra->SetDLLFileName(EffectPath("params"));
    if (i % 20 == 0) extra->SetActive(true);
  }
  stop = true;
  audio.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(item.numOutputs(), 8);
}

TEST_F(EffectLifeCycle, TheEffectsOwnEditorOpensOnceAndClosesWithTheEffect) {
  TEffectProbe probe("router");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  TEditorPanel panel;
  int shown = 0;
  auto count = [&shown](TObject*, platform::Control*) { ++shown; };
  item.OnShowEdit = TVstShowEditEvent::FromCallable(&count);
  probe.Clear();
  item.ShowEdit(*panel.panel);
  item.ShowEdit(*panel.panel);
  EXPECT_THAT(probe.Requests(), ElementsAre(effEditOpen, effEditIdle));
  EXPECT_EQ(shown, 2);
  EXPECT_TRUE(item.EditVisible());
  EXPECT_THROW(item.SetGUIStyle(gsList), EVstError);  // "Close Editor first!"

  probe.Clear();
  item.EditIdle();
  item.SetActive(false);
  EXPECT_THAT(probe.Requests(), ElementsAre(effEditIdle, effEditClose, effClose));
  EXPECT_FALSE(item.EditVisible());
  item.SetGUIStyle(gsList);
  EXPECT_EQ(item.GUIStyle(), gsList);
}

TEST_F(EffectLifeCycle, AnItemGoesEvenWhenItsCloseHandlerThrows) {
  TEffectProbe probe("router");
  TVstPlugIn& item = NewItem(probe.Path());
  item.SetActive(true);
  TEditorPanel panel;
  item.ShowEdit(*panel.panel);
  auto refuse = [](TObject*) { throw EVstError("handler failed"); };
  item.OnCloseEdit = TNotifyEvent::FromCallable(&refuse);
  probe.Clear();
  host_.VstPlugIns().Clear();
  // The editor is closed all the same, and the effect before its library goes.
  EXPECT_THAT(probe.Requests(), ElementsAre(effEditClose, effClose));
}

}  // namespace
