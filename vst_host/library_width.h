#pragma once

// Which processor a library file is built for, read from its header without loading it:
// a Windows library (PE) or, in the native build, an ELF shared object. The host decides from
// it how an effect library loads: in its own process or through the bridge's helper process.
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>

enum class TLibraryWidth : uint8_t {
  x86,    // 32-bit Intel
  x64,    // 64-bit Intel/AMD
  Other,  // a library for another processor
};

// The width of the running program.
inline constexpr TLibraryWidth kHostLibraryWidth =
    sizeof(void*) == 8 ? TLibraryWidth::x64 : TLibraryWidth::x86;

struct TLibraryWidthReading {
  std::optional<TLibraryWidth> Width;  // empty when the file is no library (Error says why)
  uint16_t Machine = 0;                // the header's processor number
  std::string Error;
};

// Reads the header at the start of the stream.
TLibraryWidthReading ReadLibraryWidth(std::istream& Stream);
TLibraryWidthReading ReadLibraryWidth(const std::string& FileName);

// "32-bit (x86)", "64-bit (x64)", "another processor".
std::string LibraryWidthName(TLibraryWidth Width);

enum class TLoadRoute : uint8_t {
  InProcess,  // loaded into the host's own process
  Bridge,     // hosted by a helper process of the library's width
  Refused,    // no process of ours can run it
};

// How a library of this width loads: one of the host's width in process unless the user
// chose a process of its own for the effect; one of the other Intel width through the bridge;
// one for another processor not at all.
TLoadRoute ChooseLoadRoute(TLibraryWidth Width, bool OwnProcess);
