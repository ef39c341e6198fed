#include <gtest/gtest.h>

#include "platform/dynamic_library.h"
#include "platform/fpu.h"
#include "platform/system.h"

namespace {

using namespace platform;

#if defined(_WIN32)
const char* const kServerFile = "platform_test_server.dll";
const char kSeparator = '\\';
#else
const char* const kServerFile = "platform_test_server.so";
const char kSeparator = '/';
#endif

std::string ServerPath() { return ExecutableDirectory() + kSeparator + kServerFile; }

TEST(DynamicLibrary, LoadsFindsExportsAndKeepsTheControlWords) {
  ResetFloatingPointState();
  // The library's start-up code changes both control words; the loader puts them back.
  LibraryLoadResult loaded = LoadLibraryFile(ServerPath());
  ASSERT_NE(loaded.handle, nullptr) << loaded.error_text;
  EXPECT_EQ(ReadX87ControlWord() & kX87ControlWordMask, kHostX87ControlWord);
  EXPECT_EQ(ReadMxcsr(), kHostMxcsr);

  DynamicLibrary library(loaded.handle);
  EXPECT_NE(library.Export("DllGetClassObject"), nullptr);
  EXPECT_EQ(library.Export("NoSuchExport"), nullptr);
}

TEST(DynamicLibrary, AMissingFileFailsWithTheSystemsText) {
  LibraryLoadResult loaded = LoadLibraryFile(ExecutableDirectory() + kSeparator + "missing.dll");
  EXPECT_EQ(loaded.handle, nullptr);
  EXPECT_FALSE(loaded.error_text.empty());
#if defined(_WIN32)
  EXPECT_EQ(loaded.error_code, 126u);  // ERROR_MOD_NOT_FOUND
#endif
}

TEST(DynamicLibrary, SystemMessagesAreTrimmedAndCut) {
  const std::string text = SystemErrorMessage(2);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '\n');
  EXPECT_LE(SystemErrorMessage(2, 5).size(), 5u);
  EXPECT_EQ(SystemErrorMessage(0x7FFFFFF0u).size() <= 256, true);
}

TEST(SystemServices, FilesDirectoriesAndClocks) {
  EXPECT_TRUE(FileExists(ServerPath()));
  EXPECT_FALSE(FileExists(ExecutableDirectory()));  // a folder is no file
  EXPECT_FALSE(FileExists(ServerPath() + ".missing"));
  EXPECT_EQ(ModulePath(reinterpret_cast<const void*>(&ServerPath)).rfind(ExecutableDirectory(), 0),
            0u);
#if defined(_WIN32)
  ASSERT_TRUE(SystemDirectory().has_value());
  ASSERT_TRUE(WindowsDirectory().has_value());
  EXPECT_TRUE(FileExists(*SystemDirectory() + "\\kernel32.dll"));
#else
  // Paths joined the Windows way name the same file.
  EXPECT_TRUE(FileExists(ExecutableDirectory() + "\\" + kServerFile));
#endif
  const int64_t before = PerformanceCounter();
  const uint32_t tick = TickCount();
  SleepMilliseconds(20);
  EXPECT_GE(static_cast<double>(PerformanceCounter() - before) / PerformanceFrequency(), 0.015);
  // The tick count is coarse (Wine updates it in steps); it only has to move on.
  EXPECT_GE(TickCount() - tick, 1u);
}

}  // namespace
