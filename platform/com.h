#pragma once

// In-process object creation by class id. On Windows this is COM; elsewhere a substitute
// that loads the shared object registered for the class id in the substitute registry
// (classes root, "CLSID\{...}\InprocServer32", default value) and asks its class factory,
// so that one in-process server source builds for both.
#include <cstdint>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#include <objbase.h>
#include <olectl.h>
#else
using HRESULT = int32_t;
using ULONG = uint32_t;
using LONG = int32_t;
using DWORD = uint32_t;
using BOOL = int32_t;

struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
bool operator==(const GUID& a, const GUID& b) noexcept;

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154);
constexpr HRESULT CO_E_CLASSSTRING = static_cast<HRESULT>(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = static_cast<HRESULT>(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = static_cast<HRESULT>(0x800401F9);
constexpr HRESULT SELFREG_E_CLASS = static_cast<HRESULT>(0x80040201);
#define STDMETHODCALLTYPE
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)

struct IUnknown {
  virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;
};
struct IClassFactory : IUnknown {
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** object) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;
};
extern const IID IID_IUnknown;
extern const IID IID_IClassFactory;
#endif

namespace platform {

// Parses the registry's brace form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}". S_OK, or the
// system's error (CO_E_CLASSSTRING for text that is no class id).
HRESULT ClassIdFromString(const std::string& text, GUID* id);
// The brace form, upper-case hexadecimal.
std::string ClassIdToString(const GUID& id);

// Per-thread initialisation; every ComInitialize is matched by one ComUninitialize.
HRESULT ComInitialize();
void ComUninitialize();

// Creates the in-process object registered for `class_id` and asks it for `interface_id`.
// S_OK with *object set, or a failure with *object null.
HRESULT CreateInProcessObject(const GUID& class_id, const GUID& interface_id, void** object);

}  // namespace platform
