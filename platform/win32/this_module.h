#pragma once

#include <windows.h>

namespace platform {

// The module that holds the code at `address`; null when none does.
HMODULE ModuleHolding(const void* address);
// The module this layer is linked into (the plug-in, a helper or a test program): its window
// classes are registered there.
HINSTANCE ThisModule();

}  // namespace platform
