// The library's entry routines. Hosts look for "VSTPluginMain" or, older ones, "main".
#include "crossover/crossover_effect.h"

#if defined(_WIN32)
#define ENTRY_EXPORT extern "C" __declspec(dllexport)
// A routine cannot be called "main" in C++: the library's .def file exports it by that name.
#define MAIN_EXPORT extern "C"
#define MAIN_NAME
#else
#define ENTRY_EXPORT extern "C" __attribute__((visibility("default")))
#define MAIN_EXPORT ENTRY_EXPORT
#define MAIN_NAME __asm__("main")
#endif

ENTRY_EXPORT AEffect* VSTCALLBACK VSTPluginMain(audioMasterCallback host) {
  return crossover::CreateCrossoverEffect(host);
}

MAIN_EXPORT AEffect* VSTCALLBACK MainEntry(audioMasterCallback host) MAIN_NAME;
MAIN_EXPORT AEffect* VSTCALLBACK MainEntry(audioMasterCallback host) {
  return crossover::CreateCrossoverEffect(host);
}
