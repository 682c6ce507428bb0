// The PSP's register window: a 1 MiB memory-mapped range whose base lives in two
// internal registers of root bus 0, reached through that root's index/data window.
#pragma once
#include <stdint.h>

#include "platform/register.h"

// The window's base, bits 31:20 in Base (all zero: no base) and bits 63:32 in
// the high register. A placement writes the two flags with the base (their
// names are invented here; the driver only ever sets both).
struct PspWindowBaseLow : reg::Register<uint32_t, 0x13B102E0> {
  using PlacedFlagA = Bit<0>;
  using PlacedFlagB = Bit<8>;
  using Base = Bits<31, 20>;
  static constexpr uint32_t kPlacedFlags = PlacedFlagA::kMask | PlacedFlagB::kMask;
};
struct PspWindowBaseHigh : reg::Register<uint32_t, 0x13B102E4> {};
constexpr uint64_t kPspWindowLength = 0x100000;

// The mailbox status word, at this offset in the window: the PSP sets Booted or
// Recovery once it has booted.
struct PspMailboxStatus : reg::Register<uint32_t, 0x10570> {
  using Booted = Bit<29>;
  using Recovery = Bit<30>;
};

constexpr uint32_t kTrapPspWindowAllocate = 0x20300595;

// Gives the window a base when it has none (boot processor only): 1 MiB below
// 4 GiB from the fabric MMIO allocator, for socket 0, die 0.
void PspBarInitEarlyV2();
// One of root bus 0's internal registers, read through its index/data window.
uint32_t PspWindowRegisterRead(uint32_t index);
