// The helper is another process: what it writes into the shared memory is checked before
// the plug-in hands the host anything of it. The hostile helper bends one rule at a time;
// the host gets the effect's true state or none, never other memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/fault_log.h"
#include "vst_bridge/bridge_marshal.h"
#include "vst_bridge/tests/hostile_helper.h"
#include "vst_host/tests/test_support.h"
#include "vst_host/vst_host.h"

namespace {

class BridgeBoundary : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironment("PARTILOOM_HOSTILE_HELPER", "0"); }
  TVstPlugIn& Open(uint32_t bends) {
    SetEnvironment("PARTILOOM_HOSTILE_HELPER", std::to_string(bends));
    TVstPlugIn* item = host_.VstPlugIns().Add();
    item->BridgeHelper = HostileHelperPath();
    item->SetDLLFileName(EffectPath("chunk"));
    item->SetActive(true);
    EXPECT_TRUE(item->Active());
    return *item;
  }
  TVstHost host_;
};

TEST_F(BridgeBoundary, AChunkReachesTheHostWholeOrNotAtAll) {
  struct Case {
    uint32_t bends;
    const char* what;
  };
  const Case cases[] = {
      {0, "an honest helper"},
      {kBendChunkPieceBeyondArea, "a piece beyond its area"},
      {kBendChunkTooLargeWithinLimit, "100 bytes called too large"},
  };
  // Larger than the control channel's data area: it comes back in pieces.
  std::vector<uint8_t> state(2 * 1024 * 1024 + 5);
  for (size_t i = 0; i < state.size(); ++i) state[i] = static_cast<uint8_t>(i * 13 + i / 997);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TVstPlugIn& item = Open(c.bends);
    item.SetChunk(state.data(), static_cast<VstInt32>(state.size()), true);
    const uint32_t faults = platform::TotalFaultCount();
    const std::vector<uint8_t> chunk = item.GetChunk(true);
    if (c.bends == 0) {
      EXPECT_EQ(chunk, state);
    } else {
      EXPECT_TRUE(chunk.empty()) << chunk.size() << " bytes handed out";
      EXPECT_GT(platform::TotalFaultCount(), faults);
    }
    host_.VstPlugIns().Clear();
  }
}

// What the host reads of an arrangement is as many speakers as it says: a count beyond what
// was copied is refused, and the host is given none.
TEST_F(BridgeBoundary, ASpeakerArrangementNeverSaysMoreThanItHolds) {
  TVstPlugIn& item = Open(kBendMillionSpeakers);
  void* inputs = nullptr;
  void* outputs = nullptr;
  const uint32_t faults = platform::TotalFaultCount();
  const VstIntPtr answer = item.VstDispatch(vst_bridge::kEffGetSpeakerArrangement, 0,
                                            reinterpret_cast<VstIntPtr>(&inputs), &outputs);
  EXPECT_EQ(answer, 0);
  for (void* arrangement : {inputs, outputs}) {
    if (!arrangement) continue;
    int32_t channels = 0;
    std::memcpy(&channels, static_cast<uint8_t*>(arrangement) + 4, sizeof channels);
    EXPECT_LE(channels, vst_bridge::kMaxSpeakers);
  }
  EXPECT_GT(platform::TotalFaultCount(), faults);
}

// The host answers a callback by its opcode's low byte alone. A request with high bits set
// is classified by that byte too: otherwise the answer to a time or directory request, an
// address in the player's process, would cross to the helper as a number.
TEST(BridgeMarshal, CallbacksAreClassifiedByTheLowByteAsTheHostAnswersThem) {
  using vst_bridge::CallbackPointerUse;
  using vst_bridge::TPointerUse;
  EXPECT_EQ(CallbackPointerUse(audioMasterGetTime | 0x100, false), TPointerUse::TimeAnswer);
  EXPECT_EQ(CallbackPointerUse(audioMasterGetDirectory | 0x7F00, false),
            TPointerUse::DirectoryAnswer);
  EXPECT_EQ(CallbackPointerUse(audioMasterCanDo | 0x100, true), TPointerUse::TextIn);
}

}  // namespace
