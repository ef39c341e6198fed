#include <gtest/gtest.h>

#include <cstring>

#include "output_module/output_module_record.h"
#include "platform/dynamic_library.h"
#include "platform/system.h"

namespace {

#if defined(_WIN32)
const char* const kModuleFile = "\\out_partiloom.dll";
#else
const char* const kModuleFile = "/out_partiloom.so";
#endif

TEST(OutputModuleRecord, ExportedRecordHasThePlayersLayoutAndContents) {
  platform::LibraryLoadResult loaded =
      platform::LoadLibraryFile(platform::ExecutableDirectory() + kModuleFile);
  ASSERT_NE(loaded.handle, nullptr) << loaded.error_text;
  platform::DynamicLibrary library(loaded.handle);
  auto get_module = reinterpret_cast<GetOutModuleRoutine>(library.Export("winampGetOutModule"));
  ASSERT_NE(get_module, nullptr);

  TOutputModule* first = get_module();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->version, 16);
  EXPECT_STREQ(first->description, "Partiloom ASIO Output Plugin");
  EXPECT_EQ(first->id, 0);

  // Every callback slot is filled, and the two time queries are one function.
  const auto* slots = reinterpret_cast<void* const*>(&first->Config);
  for (int i = 0; i < 15; ++i) EXPECT_NE(slots[i], nullptr) << "slot " << i;
  EXPECT_EQ(first->GetWrittenTime, first->GetOutputTime);
  EXPECT_EQ(first->About, first->Config);

  // The player fills in its handles; a second call returns the same record and keeps them.
  first->main_window = reinterpret_cast<void*>(0x1234);
  unsigned char before[sizeof(TOutputModule)];
  std::memcpy(before, first, sizeof(before));
  TOutputModule* second = get_module();
  EXPECT_EQ(second, first);
  EXPECT_EQ(std::memcmp(before, second, sizeof(before)), 0);
  EXPECT_EQ(second->id, 0);
  EXPECT_EQ(second->IsPlaying(), 0);
}

}  // namespace
