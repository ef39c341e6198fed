#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "asio_host/asio_driver_list.h"
#include "asio_host/tests/asio_registry_test.h"
#include "asio_host/tests/fake_asio_driver.h"

namespace {

using DriverList = AsioRegistryTest;

TEST_F(DriverList, IsEmptyWithoutRegisteredDrivers) {
  TAsioDriverList list(3);
  ListAsioDrivers(list, Place());
  EXPECT_TRUE(list.empty());
}

TEST_F(DriverList, KeepsRegistryOrderAndDuplicatesAndLeavesOutDriversThatCannotBeFound) {
  Register("Beta", ClassIdText(2));
  Register("alpha", ClassIdText(1));
  Register("Gamma twin", ClassIdText(2));               // the same class id once more
  Register("No class id", "");                         // key without a "clsid" value
  Register("Unregistered", ClassIdText(9), "");        // class id without a server key
  Register("Missing file", ClassIdText(3), ProgramPath() + ".gone");
  TAsioDriverList list;
  ListAsioDrivers(list, Place());
  ASSERT_EQ(list.size(), 3u);
  // The registry enumerates sub-keys in case-insensitive name order.
  EXPECT_STREQ(list[0].Name, "alpha");
  EXPECT_STREQ(list[1].Name, "Beta");
  EXPECT_STREQ(list[2].Name, "Gamma twin");
  GUID two{};
  platform::ClassIdFromString(ClassIdText(2), &two);
  EXPECT_TRUE(list[1].Id == two);
  EXPECT_TRUE(list[2].Id == two);
  EXPECT_EQ(std::string(list[0].Path), ProgramPath());
}

TEST_F(DriverList, AClassIdThatDoesNotParseEndsTheListingWithAnError) {
  Register("Broken", "not a class id");
  TAsioDriverList list;
  EXPECT_THROW(ListAsioDrivers(list, Place()), EAsioDriverList);
}

TEST_F(DriverList, WritesThePathOnceTheServerKeyOpenedEvenWhenTheFileIsMissing) {
  Register("Missing file", ClassIdText(3), "C:\\nowhere\\driver.dll");
  std::string path = "unchanged";
  EXPECT_EQ(FindAsioDriverPath(ClassIdText(4), path, Place()), -1);
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(FindAsioDriverPath(ClassIdText(3), path, Place()), -1);
  EXPECT_EQ(path, "C:\\nowhere\\driver.dll");
  EXPECT_EQ(FindAsioDriverPath("", path, Place()), -1);
}

// A bare file name is looked for in the system directory first, then in the Windows one.
TEST_F(DriverList, ResolvesBareFileNamesThroughTheSystemAndWindowsDirectories) {
#if defined(_WIN32)
  const std::string in_system = "ole32.dll", only_in_windows = "win.ini";
#else
  const std::string root = testing::TempDir() + "asio-dirs-" + std::to_string(::getpid());
  const std::string system = root + "/system32", windows = root + "/windows";
  std::filesystem::create_directories(system);
  std::filesystem::create_directories(windows);
  std::ofstream(system + "/in_system.dll") << "x";
  std::ofstream(windows + "/only_in_windows.dll") << "x";
  setenv("PARTILOOM_SYSTEM_DIR", system.c_str(), 1);
  setenv("PARTILOOM_WINDOWS_DIR", windows.c_str(), 1);
  const std::string in_system = "in_system.dll", only_in_windows = "only_in_windows.dll";
#endif
  Register("In system", ClassIdText(1), in_system);
  Register("In windows", ClassIdText(2), only_in_windows);
  Register("Nowhere", ClassIdText(3), "nowhere_at_all.dll");
  TAsioDriverList list;
  ListAsioDrivers(list, Place());
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(std::string(list[0].Path), *platform::SystemDirectory() + "\\" + in_system);
  EXPECT_EQ(std::string(list[1].Path), *platform::WindowsDirectory() + "\\" + only_in_windows);
#if !defined(_WIN32)
  unsetenv("PARTILOOM_SYSTEM_DIR");
  unsetenv("PARTILOOM_WINDOWS_DIR");
  std::filesystem::remove_all(root);
#endif
}

}  // namespace
