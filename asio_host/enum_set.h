#pragma once

#include <cstdint>
#include <initializer_list>

// A set of up to eight enumeration values in one byte, bit n for the value n.
template <typename Enum>
class TEnumSet {
 public:
  constexpr TEnumSet() noexcept = default;
  constexpr TEnumSet(std::initializer_list<Enum> values) noexcept {
    for (Enum value : values) bits_ |= Bit(value);
  }
  static constexpr TEnumSet FromBits(uint8_t bits) noexcept {
    TEnumSet set;
    set.bits_ = bits;
    return set;
  }
  constexpr uint8_t Bits() const noexcept { return bits_; }
  constexpr bool Contains(Enum value) const noexcept { return (bits_ & Bit(value)) != 0; }
  constexpr void Include(Enum value) noexcept { bits_ |= Bit(value); }
  constexpr void Exclude(Enum value) noexcept { bits_ &= static_cast<uint8_t>(~Bit(value)); }
  constexpr TEnumSet& operator+=(TEnumSet other) noexcept {
    bits_ |= other.bits_;
    return *this;
  }
  friend constexpr bool operator==(TEnumSet a, TEnumSet b) noexcept { return a.bits_ == b.bits_; }

 private:
  static constexpr uint8_t Bit(Enum value) noexcept {
    return static_cast<uint8_t>(1u << static_cast<unsigned>(value));
  }
  uint8_t bits_ = 0;
};
