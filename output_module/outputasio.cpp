// The library's boundary towards the player: the output-module record and its callbacks.
// The stream, the effect and the driver arrive with the host window; until then the
// callbacks answer as an output with nothing to play.
#include <cstddef>

#include "output_module/output_module_record.h"

#if defined(_WIN32)
#define PLAYER_EXPORT extern "C" __declspec(dllexport)
#else
#define PLAYER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

TOutputModule OutputModule{};

void PLAYER_CALL Config(void*) {}
void PLAYER_CALL Init() {}
void PLAYER_CALL Quit() {}
int32_t PLAYER_CALL Open(int32_t, int32_t, int32_t, int32_t, int32_t) { return 0; }
void PLAYER_CALL Close() {}
int32_t PLAYER_CALL Write(const char*, int32_t) { return 1; }
int32_t PLAYER_CALL CanWrite() { return 0; }
int32_t PLAYER_CALL IsPlaying() { return 0; }
int32_t PLAYER_CALL Pause(int32_t) { return 0; }
void PLAYER_CALL SetVolume(int32_t) {}
void PLAYER_CALL SetPan(int32_t) {}
void PLAYER_CALL Flush(int32_t) {}
int32_t PLAYER_CALL GetOutputTime() { return 0; }

}  // namespace

PLAYER_EXPORT TOutputModule* PLAYER_CALL winampGetOutModule() {
  OutputModule.version = kOutputModuleVersion;
  OutputModule.description = kOutputModuleDescription;
  OutputModule.Config = Config;
  OutputModule.About = Config;  // there is no separate about box
  OutputModule.Init = Init;
  OutputModule.Quit = Quit;
  OutputModule.Open = Open;
  OutputModule.Close = Close;
  OutputModule.Write = Write;
  OutputModule.CanWrite = CanWrite;
  OutputModule.IsPlaying = IsPlaying;
  OutputModule.Pause = Pause;
  OutputModule.SetVolume = SetVolume;
  OutputModule.SetPan = SetPan;
  OutputModule.Flush = Flush;
  OutputModule.GetOutputTime = GetOutputTime;
  OutputModule.GetWrittenTime = GetOutputTime;
  return &OutputModule;
}
