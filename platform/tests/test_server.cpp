// An in-process server with one class: its object answers 42. Its start-up code changes the
// floating-point control words, as some foreign libraries do, so that loaders can be checked.
#include <atomic>

#include "platform/fpu.h"
#include "platform/registry.h"
#include "platform/system.h"
#include "platform/tests/test_server.h"

#if defined(_WIN32)
#define SERVER_EXPORT extern "C" HRESULT STDMETHODCALLTYPE
#else
#define SERVER_EXPORT extern "C" __attribute__((visibility("default"))) HRESULT
#endif

namespace {

std::atomic<long> g_objects{0};

const int g_changes_fpu_state = [] {
  platform::WriteX87ControlWord(0x027F);
  platform::WriteMxcsr(0x9FC0);
  return 1;
}();

class TestObject final : public ITestObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == kTestServerClassId) {
      AddRef();
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      --g_objects;
      delete this;
    }
    return left;
  }
  int STDMETHODCALLTYPE Answer() override { return 42; }

 private:
  std::atomic<ULONG> references_{1};
};

class Factory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == IID_IUnknown || iid == IID_IClassFactory) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    auto* created = new TestObject;
    ++g_objects;
    const HRESULT result = created->QueryInterface(iid, object);
    created->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

std::string ServerKey() {
  return "CLSID\\" + platform::ClassIdToString(kTestServerClassId) + "\\InprocServer32";
}

}  // namespace

SERVER_EXPORT DllGetClassObject(REFCLSID class_id, REFIID iid, void** object) {
  (void)g_changes_fpu_state;
  if (!(class_id == kTestServerClassId)) {
    *object = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return g_factory.QueryInterface(iid, object);
}

SERVER_EXPORT DllCanUnloadNow() { return g_objects == 0 ? S_OK : S_FALSE; }

SERVER_EXPORT DllRegisterServer() {
  auto key = platform::RegistryKey::Open(platform::RegistryRoot::ClassesRoot, ServerKey(),
                                         platform::RegistryAccess::Full, true);
  if (!key) return SELFREG_E_CLASS;
  const std::string path = platform::ModulePath(reinterpret_cast<const void*>(&DllRegisterServer));
  if (!key->WriteString("", path) || !key->WriteString("ThreadingModel", "Apartment"))
    return SELFREG_E_CLASS;
  return S_OK;
}

SERVER_EXPORT DllUnregisterServer() {
  platform::RegistryKey::DeleteTree(platform::RegistryRoot::ClassesRoot,
                                    "CLSID\\" + platform::ClassIdToString(kTestServerClassId));
  return S_OK;
}
