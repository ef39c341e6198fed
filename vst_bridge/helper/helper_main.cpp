// The helper program: partiloom-bridge <shared objects' name> <the plug-in's process id>.
// It hosts one effect for the plug-in and ends when the plug-in says so or has gone.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "vst_bridge/helper/helper_host.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <name> <parent process id>\n", argv[0]);
    return 2;
  }
  std::string error;
  const auto parent = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
  std::unique_ptr<vst_bridge::THelperHost> host =
      vst_bridge::THelperHost::Connect(argv[1], parent, &error);
  if (!host) {
    std::fprintf(stderr, "partiloom-bridge: %s\n", error.c_str());
    return 1;
  }
  host->Run();
  // Without unloading the effect: threads of its own may still run, and the system frees
  // what the process holds.
  std::fflush(nullptr);
  std::_Exit(0);
}
