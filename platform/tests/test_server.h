#pragma once

#include "platform/com.h"

// The small in-process server the object-creation tests register and create.
// {6A0B4C1E-3D52-4E8F-9A71-2B5C8D0E4F13}
constexpr GUID kTestServerClassId = {
    0x6A0B4C1E, 0x3D52, 0x4E8F, {0x9A, 0x71, 0x2B, 0x5C, 0x8D, 0x0E, 0x4F, 0x13}};

struct ITestObject : IUnknown {
  virtual int STDMETHODCALLTYPE Answer() = 0;
};
