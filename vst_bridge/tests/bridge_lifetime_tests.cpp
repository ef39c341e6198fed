// A player killed without warning: its helper ends with it and no shared object of theirs
// stays behind, also when the helper had died first and was started again.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/interprocess.h"
#include "platform/system.h"
#include "vst_bridge/effect_proxy.h"
#include "vst_host/tests/test_support.h"

#if !defined(_WIN32)
#include <filesystem>
#endif

namespace {

std::string KilledHostPath() {
#if defined(_WIN32)
  return platform::ExecutableDirectory() + "\\vst_bridge_killed_host.exe";
#else
  return platform::ExecutableDirectory() + "/vst_bridge_killed_host";
#endif
}

#if !defined(_WIN32)
// The shared memory and semaphores in /dev/shm of the bridges a process made.
std::vector<std::string> BridgeNamesOf(uint32_t process_id) {
  const std::string mark = "partiloom-bridge-" + std::to_string(process_id) + "-";
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/dev/shm")) {
    const std::string name = entry.path().filename().string();
    if (name.find(mark) != std::string::npos) names.push_back(name);
  }
  return names;
}
#endif

TEST(BridgeLifetime, AKilledPlugInsHelperEndsWithinASecondAndLeavesNoNames) {
  for (const bool helper_died_first : {false, true}) {
    SCOPED_TRACE(helper_died_first ? "after a restart" : "first helper");
    static int count = 0;
    const std::string shown_name = "partiloom-lifetime-test-" +
                                   std::to_string(platform::CurrentProcessId()) + "-" +
                                   std::to_string(count++);
    std::unique_ptr<platform::SharedMemory> shown =
        platform::SharedMemory::Create(shown_name, sizeof(uint32_t));
    ASSERT_TRUE(shown);
    std::atomic_ref<uint32_t> shown_helper(*static_cast<uint32_t*>(shown->Data()));
    std::string error;
    std::unique_ptr<platform::ChildProcess> plug_in = platform::ChildProcess::Start(
        KilledHostPath(),
        {vst_bridge::HelperBesideModule(vst_bridge::THelperWidth::SameAsPlugIn),
         EffectPath("router"), shown_name},
        &error);
    ASSERT_TRUE(plug_in) << error;
    // The helper's id once it answers, other than `gone`; 0 when none comes.
    const auto answering_helper = [&](uint32_t gone) {
      const uint32_t start = platform::TickCount();
      while (plug_in->Running() && platform::TickCount() - start < 20000) {
        const uint32_t id = shown_helper.load(std::memory_order_acquire);
        if (id != 0 && id != gone) return id;
        platform::SleepMilliseconds(10);
      }
      return 0u;
    };
    uint32_t helper = answering_helper(0);
    ASSERT_NE(helper, 0u);
    if (helper_died_first) {
      ASSERT_TRUE(platform::KillProcess(helper));
      helper = answering_helper(helper);
      ASSERT_NE(helper, 0u);
    }

    plug_in->Kill();
    const uint32_t killed_at = platform::TickCount();
    const bool ended = platform::WaitForProcessEnd(helper, 1000);
    const uint32_t ended_ms = platform::TickCount() - killed_at;
    EXPECT_TRUE(ended);
    if (ended)
      std::printf("helper ended %u ms after its plug-in\n", static_cast<unsigned>(ended_ms));
    else
      platform::KillProcess(helper);
#if !defined(_WIN32)
    EXPECT_EQ(BridgeNamesOf(plug_in->Id()), std::vector<std::string>{});
#endif
  }
}

}  // namespace
