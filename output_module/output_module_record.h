#pragma once

#include <cstdint>

// The record through which the player drives an output plug-in. Its layout is the player's:
// on 32-bit Windows 80 bytes of 32-bit fields, every callback cdecl.
#if defined(_WIN32) && defined(__i386__)
#define PLAYER_CALL __cdecl
#else
#define PLAYER_CALL
#endif

struct TOutputModule {
  int32_t version;
  const char* description;
  intptr_t id;
  void* main_window;       // filled in by the player
  void* library_instance;  // filled in by the player
  void(PLAYER_CALL* Config)(void* parent_window);
  void(PLAYER_CALL* About)(void* parent_window);
  void(PLAYER_CALL* Init)();
  void(PLAYER_CALL* Quit)();
  int32_t(PLAYER_CALL* Open)(int32_t sample_rate, int32_t channels, int32_t bits_per_sample,
                             int32_t buffer_length_ms, int32_t prebuffer_ms);
  void(PLAYER_CALL* Close)();
  int32_t(PLAYER_CALL* Write)(const char* data, int32_t length);
  int32_t(PLAYER_CALL* CanWrite)();
  int32_t(PLAYER_CALL* IsPlaying)();
  int32_t(PLAYER_CALL* Pause)(int32_t pause);
  void(PLAYER_CALL* SetVolume)(int32_t volume);
  void(PLAYER_CALL* SetPan)(int32_t pan);
  void(PLAYER_CALL* Flush)(int32_t time_ms);
  int32_t(PLAYER_CALL* GetOutputTime)();
  int32_t(PLAYER_CALL* GetWrittenTime)();
};

#if defined(_WIN32) && defined(__i386__)
static_assert(sizeof(TOutputModule) == 80, "the player reads an 80-byte record");
static_assert(offsetof(TOutputModule, Config) == 20 &&
              offsetof(TOutputModule, GetWrittenTime) == 76);
#endif

constexpr int32_t kOutputModuleVersion = 0x10;
constexpr char kOutputModuleDescription[] = "Partiloom ASIO Output Plugin";

using GetOutModuleRoutine = TOutputModule*(PLAYER_CALL*)();
