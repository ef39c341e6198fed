// Loads an output plug-in as the player does and shows the record it exports.
// Usage: player_harness [plug-in path]   (default: out_partiloom beside this program)
#include <cstdio>
#include <string>

#include "output_module/output_module_record.h"
#include "platform/dynamic_library.h"
#include "platform/system.h"

int main(int argc, char** argv) {
#if defined(_WIN32)
  std::string path = platform::ExecutableDirectory() + "\\out_partiloom.dll";
#else
  std::string path = platform::ExecutableDirectory() + "/out_partiloom.so";
#endif
  if (argc > 1) path = argv[1];

  platform::LibraryLoadResult loaded = platform::LoadLibraryFile(path);
  if (!loaded.handle) {
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), loaded.error_text.c_str());
    return 1;
  }
  platform::DynamicLibrary library(loaded.handle);
  auto get_module = reinterpret_cast<GetOutModuleRoutine>(library.Export("winampGetOutModule"));
  if (!get_module) {
    std::fprintf(stderr, "%s exports no winampGetOutModule\n", path.c_str());
    return 1;
  }
  TOutputModule* module = get_module();
  std::printf("loaded      %s\n", path.c_str());
  std::printf("record at   %p (%u bytes)\n", static_cast<void*>(module),
              static_cast<unsigned>(sizeof(TOutputModule)));
  std::printf("version     0x%X\n", static_cast<unsigned>(module->version));
  std::printf("description \"%s\"\n", module->description ? module->description : "");
  std::printf("module id   %ld\n", static_cast<long>(module->id));
  static const char* const kNames[] = {"Config", "About", "Init", "Quit", "Open",
                                       "Close", "Write", "CanWrite", "IsPlaying", "Pause",
                                       "SetVolume", "SetPan", "Flush", "GetOutputTime",
                                       "GetWrittenTime"};
  const auto* slots = reinterpret_cast<void* const*>(&module->Config);
  for (int i = 0; i < 15; ++i) std::printf("  %-15s %p\n", kNames[i], slots[i]);
  return 0;
}
