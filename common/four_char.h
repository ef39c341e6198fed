#pragma once

#include <cstdint>

// Four characters to a 32-bit code, the first character in the most significant byte
// ('CcnK' -> 0x43636E4B), as the effect magic number and the preset file identifiers use.
constexpr int32_t FourCharToLong(char c1, char c2, char c3, char c4) noexcept {
  return static_cast<int32_t>((uint32_t{static_cast<uint8_t>(c1)} << 24) |
                              (uint32_t{static_cast<uint8_t>(c2)} << 16) |
                              (uint32_t{static_cast<uint8_t>(c3)} << 8) |
                              uint32_t{static_cast<uint8_t>(c4)});
}

constexpr int32_t FourCharToLong(const char (&text)[5]) noexcept {
  return FourCharToLong(text[0], text[1], text[2], text[3]);
}
