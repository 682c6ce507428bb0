// Regions of the physical address space that read only inside themselves. The
// boot flash's window is one; what a directory's checksum covers, its entries
// and each entry are cut from it, and a DRUX block (its header, its entries) is
// cut from the space it may lie in: the flash's copy below the flash's end, the
// block in memory anywhere. A read that would leave its region reads nothing
// and answers 0, as does every read of an empty region (what a cut that does
// not fit gives): no magic, signature, count or size check passes on a 0.
// Offsets count from the region's base.
//
// Everything here is inline and small: a region is two numbers, and its bound
// checks compile to the comparisons a call site would write by hand, folded
// away where a cut or a loop's condition already proved them.
#pragma once
#include <stdint.h>

#include "platform/hw.h"

// Inlined even where the link's inliner would not: a call would pass the
// region through memory.
#define REGION_INLINE __attribute__((always_inline))

class PhysRegion {
 public:
  constexpr PhysRegion(uint64_t base, uint64_t size) : base_(base), size_(size) {}

  REGION_INLINE constexpr uint64_t Base() const { return base_; }
  REGION_INLINE constexpr uint64_t Size() const { return size_; }

  // [offset, offset + length) lies in the region; cannot overflow.
  REGION_INLINE constexpr bool Holds(uint64_t offset, uint64_t length) const { return length <= size_ && offset <= size_ - length; }
  // The same for an address (one below the base wraps to an offset beyond any size).
  REGION_INLINE constexpr bool HoldsAddress(uint64_t address, uint64_t length) const { return Holds(address - base_, length); }

  // [offset, offset + length) as a region of its own; empty when it does not lie in this one.
  REGION_INLINE constexpr PhysRegion Cut(uint64_t offset, uint64_t length) const {
    return PhysRegion(base_ + offset, Holds(offset, length) ? length : 0);
  }
  REGION_INLINE constexpr PhysRegion CutAt(uint64_t address, uint64_t length) const { return Cut(address - base_, length); }
  // The region but its first `length` bytes (empty when it is shorter): the
  // entries after the one at its start.
  REGION_INLINE constexpr PhysRegion Skip(uint64_t length) const {
    return PhysRegion(base_ + length, length <= size_ ? size_ - length : 0);
  }

  // Little-endian words at an offset: single reads of exactly that width, or 0
  // without a read when they would leave the region.
  REGION_INLINE uint8_t Read8(uint64_t offset) const { return offset < size_ ? hw::Read8(base_ + offset) : 0; }
  REGION_INLINE uint16_t Read16(uint64_t offset) const { return Holds(offset, 2) ? hw::Read16(base_ + offset) : 0; }
  REGION_INLINE uint32_t Read32(uint64_t offset) const { return Holds(offset, 4) ? hw::Read32(base_ + offset) : 0; }
  REGION_INLINE uint64_t Read64(uint64_t offset) const { return Holds(offset, 8) ? hw::Read64(base_ + offset) : 0; }

  // Fletcher-32 over the region's 16-bit words, in order (an odd last byte is
  // not covered).
  uint32_t Fletcher32() const;

 private:
  uint64_t base_;
  uint64_t size_;
};

// Fletcher-32 over `words` little-endian 16-bit words, read(i) giving word i.
// With 0 words the result is 0xFFFFFFFF.
template <class ReadWord>
constexpr uint32_t Fletcher32Words(uint64_t words, ReadWord read) {
  uint32_t sum1 = 0xFFFF, sum2 = 0xFFFF;
  // Both sums fold after every 359 words (the most for which sum2 cannot
  // overflow before the fold), after the last block, and once more at the end.
  for (uint64_t i = 0, block = 0; i < words; ++i) {
    sum1 += read(i);
    sum2 += sum1;
    if (++block == 359 || i + 1 == words) {
      sum1 = (sum1 & 0xFFFF) + (sum1 >> 16);
      sum2 = (sum2 & 0xFFFF) + (sum2 >> 16);
      block = 0;
    }
  }
  sum1 = (sum1 & 0xFFFF) + (sum1 >> 16);
  sum2 = (sum2 & 0xFFFF) + (sum2 >> 16);
  return (sum2 << 16) | sum1;
}

// Every word lies in the region: the reads need no check of their own.
inline uint32_t PhysRegion::Fletcher32() const {
  return Fletcher32Words(size_ / 2, [this](uint64_t i) -> uint32_t { return hw::Read16(base_ + 2 * i); });
}
