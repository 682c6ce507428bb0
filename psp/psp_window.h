// The PSP's register window: a 1 MiB memory-mapped range whose base lives in two
// internal registers of root bus 0, reached through that root's index/data window.
#pragma once
#include <stdint.h>

constexpr uint32_t kPspWindowBaseLow = 0x13B102E0;   // bits 31:20: base bits 31:20; all zero: no base
constexpr uint32_t kPspWindowBaseHigh = 0x13B102E4;  // base bits 63:32
constexpr uint32_t kPspWindowBaseMask = 0xFFF00000;

// Gives the window a base when it has none (boot processor only).
void PspBarInitEarlyV2();
