#include "platform/tests/registry_test_support.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <filesystem>
#endif

void RegistryTest::SetUp() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  base_ = std::string("Software\\PartiloomTests\\") + info->test_suite_name() + "." + info->name();
#if defined(_WIN32)
  base_ += "." + std::to_string(GetCurrentProcessId());
#else
  char pattern[] = "/tmp/partiloom-registry-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  directory_ = pattern;
  setenv("PARTILOOM_REGISTRY", directory_.c_str(), 1);
#endif
}

void RegistryTest::TearDown() {
#if defined(_WIN32)
  platform::RegistryKey::DeleteTree(platform::RegistryRoot::CurrentUser, base_);
#else
  std::filesystem::remove_all(directory_);
  unsetenv("PARTILOOM_REGISTRY");
#endif
}
