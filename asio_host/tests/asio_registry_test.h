#pragma once

#include <cstdio>
#include <string>

#include "asio_host/asio_driver_list.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"

// Registers drivers below the test's own registry place: each name with a class id whose
// server is the test program itself (a file that exists).
class AsioRegistryTest : public RegistryTest {
 protected:
  TAsioDriverRegistry Place() const {
    return {platform::RegistryRoot::CurrentUser, Base() + "\\ASIO",
            platform::RegistryRoot::CurrentUser, Base() + "\\CLSID"};
  }
  void Register(const std::string& name, const std::string& class_id,
                const std::string& server = ProgramPath()) {
    auto driver = platform::RegistryKey::Open(platform::RegistryRoot::CurrentUser,
                                              Base() + "\\ASIO\\" + name,
                                              platform::RegistryAccess::Full, true);
    ASSERT_TRUE(driver);
    if (!class_id.empty()) driver->WriteString("clsid", class_id);
    if (server.empty()) return;
    auto inproc = platform::RegistryKey::Open(platform::RegistryRoot::CurrentUser,
                                              Base() + "\\CLSID\\" + class_id + "\\InprocServer32",
                                              platform::RegistryAccess::Full, true);
    ASSERT_TRUE(inproc);
    inproc->WriteString("", server);
  }
  static std::string ProgramPath() {
    return platform::ModulePath(reinterpret_cast<const void*>(&AsioRegistryTest::ProgramPath));
  }
  static std::string ClassIdText(int n) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-0000-4000-8000-00000000A510}", n);
    return text;
  }
};
