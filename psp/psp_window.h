// The PSP's register window: a 1 MiB memory-mapped range whose base lives in two
// internal registers of root bus 0, reached through that root's index/data window.
#pragma once
#include <stdint.h>

constexpr uint32_t kPspWindowBaseLow = 0x13B102E0;   // bits 31:20: base bits 31:20; all zero: no base
constexpr uint32_t kPspWindowBaseHigh = 0x13B102E4;  // base bits 63:32
constexpr uint32_t kPspWindowBaseMask = 0xFFF00000;
constexpr uint32_t kPspWindowBaseFlags = 0x101;      // ORed into the low register with the base
constexpr uint64_t kPspWindowLength = 0x100000;

constexpr uint32_t kTrapPspWindowAllocate = 0x20300595;

// Gives the window a base when it has none (boot processor only): 1 MiB below
// 4 GiB from the fabric MMIO allocator, for socket 0, die 0.
void PspBarInitEarlyV2();
// One of root bus 0's internal registers, read through its index/data window.
uint32_t PspWindowRegisterRead(uint32_t index);
