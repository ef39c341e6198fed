#pragma once

#include <cstdint>
#include <initializer_list>

// A set of enumeration values held as a bit mask, bit n for the value with ordinal n.
// `Storage` fixes the width where the set's bits are stored or exchanged as they stand.
template <typename Enum, typename Storage = uint32_t>
class TEnumSet {
 public:
  constexpr TEnumSet() noexcept = default;
  constexpr TEnumSet(std::initializer_list<Enum> values) noexcept {
    for (Enum value : values) bits_ |= Bit(value);
  }
  static constexpr TEnumSet FromBits(Storage bits) noexcept {
    TEnumSet set;
    set.bits_ = bits;
    return set;
  }
  constexpr Storage Bits() const noexcept { return bits_; }
  constexpr bool Empty() const noexcept { return bits_ == 0; }
  constexpr bool Contains(Enum value) const noexcept { return (bits_ & Bit(value)) != 0; }
  constexpr void Include(Enum value) noexcept { bits_ |= Bit(value); }
  constexpr void Exclude(Enum value) noexcept { bits_ &= static_cast<Storage>(~Bit(value)); }
  constexpr TEnumSet& operator+=(TEnumSet other) noexcept {
    bits_ |= other.bits_;
    return *this;
  }
  friend constexpr bool operator==(TEnumSet a, TEnumSet b) noexcept { return a.bits_ == b.bits_; }

 private:
  static constexpr Storage Bit(Enum value) noexcept {
    return static_cast<Storage>(Storage{1} << static_cast<unsigned>(value));
  }
  Storage bits_ = 0;
};
