// A player stand-in for tests that kill it without warning: it opens one effect through the
// bridge, shows the test its helper's process id while the helper answers (0 meanwhile, a new
// id after a restart), and waits to be killed.
// vst_bridge_killed_host <helper> <effect library> <shared memory to show the id in>
#include <atomic>
#include <cstdio>
#include <string>

#include "platform/interprocess.h"
#include "platform/system.h"
#include "vst_bridge/effect_proxy.h"

namespace {

VstIntPtr VSTCALLBACK HostCallback(AEffect*, VstInt32 opcode, VstInt32, VstIntPtr, void*, float) {
  return opcode == audioMasterVersion ? 2400 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <helper> <effect library> <shared memory name>\n", argv[0]);
    return 2;
  }
  std::string error;
  std::unique_ptr<platform::SharedMemory> shown =
      platform::SharedMemory::Open(argv[3], sizeof(uint32_t), &error);
  if (!shown) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::unique_ptr<vst_bridge::TEffectProxy> proxy =
      vst_bridge::TEffectProxy::Open(argv[1], argv[2], &HostCallback, error);
  if (!proxy) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::atomic_ref<uint32_t> helper(*static_cast<uint32_t*>(shown->Data()));
  for (;;) {
    const bool answers = proxy->State() == vst_bridge::TBridgeState::Running;
    helper.store(answers ? proxy->HelperId() : 0, std::memory_order_release);
    platform::SleepMilliseconds(10);
  }
}
