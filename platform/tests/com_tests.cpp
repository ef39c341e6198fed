#include <gtest/gtest.h>

#include "platform/com.h"
#include "platform/dynamic_library.h"
#include "platform/system.h"
#include "platform/tests/registry_test_support.h"
#include "platform/tests/test_server.h"

namespace {

using namespace platform;

TEST(ClassId, ParsesTheBraceFormAndRejectsEverythingElse) {
  GUID id{};
  ASSERT_EQ(ClassIdFromString("{6a0b4c1e-3d52-4e8f-9a71-2b5c8d0e4f13}", &id), S_OK);
  EXPECT_TRUE(id == kTestServerClassId);
  EXPECT_EQ(ClassIdToString(id), "{6A0B4C1E-3D52-4E8F-9A71-2B5C8D0E4F13}");
  for (const char* bad : {"", "{6A0B4C1E-3D52-4E8F-9A71-2B5C8D0E4F1}", "6A0B4C1E-3D52-4E8F-9A71-2B5C8D0E4F13",
                          "{6A0B4C1E-3D52-4E8F-9A71-2B5C8D0E4F1G}", "{6A0B4C1E+3D52-4E8F-9A71-2B5C8D0E4F13}"})
    EXPECT_TRUE(FAILED(ClassIdFromString(bad, &id))) << bad;
}

using InProcessObjects = RegistryTest;

TEST_F(InProcessObjects, CreatesTheRegisteredClassAndReportsUnregisteredOnes) {
#if defined(_WIN32)
  const std::string server = ExecutableDirectory() + "\\platform_test_server.dll";
#else
  const std::string server = ExecutableDirectory() + "/platform_test_server.so";
#endif
  DynamicLibrary library(LoadLibraryFile(server).handle);
  ASSERT_TRUE(library.Loaded());
  auto register_server = reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)()>(
      library.Export("DllRegisterServer"));
  auto unregister_server = reinterpret_cast<HRESULT(STDMETHODCALLTYPE*)()>(
      library.Export("DllUnregisterServer"));
  ASSERT_NE(register_server, nullptr);
  ASSERT_EQ(register_server(), S_OK);

  ComInitialize();
  void* object = reinterpret_cast<void*>(1);
  ASSERT_EQ(CreateInProcessObject(kTestServerClassId, kTestServerClassId, &object), S_OK);
  ASSERT_NE(object, nullptr);
  auto* test_object = static_cast<ITestObject*>(object);
  EXPECT_EQ(test_object->Answer(), 42);
  test_object->Release();

  GUID unknown{};
  ClassIdFromString("{00000000-1111-2222-3333-444444444444}", &unknown);
  object = reinterpret_cast<void*>(1);
  EXPECT_TRUE(FAILED(CreateInProcessObject(unknown, unknown, &object)));
  EXPECT_EQ(object, nullptr);

  unregister_server();
  object = reinterpret_cast<void*>(1);
  EXPECT_TRUE(FAILED(CreateInProcessObject(kTestServerClassId, kTestServerClassId, &object)));
  EXPECT_EQ(object, nullptr);
  ComUninitialize();
}

}  // namespace
